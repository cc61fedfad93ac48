#pragma once
// A leaf's material once the captures that pay are made: a small alpha-beta search over
// captures and promotions, in which the side to move may always stop ("stand pat") unless it is
// in check, where every evasion is tried and having none is a mate. A network that has trained
// for an hour misjudges a piece left hanging; the search mixes this count into a leaf's value
// (SearchParams::material_mix), so a capture one or two plies on is seen. Pawn 1, knight and
// bishop 3, rook 5, queen 9, on every board size. No Python here.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/game.hpp"

namespace murkle::rl {

inline constexpr std::array<int, 6> PIECE_POINTS = {1, 3, 3, 5, 9, 0};  // by PieceType
inline constexpr int MATE_POINTS = 10000;  // a mate counts as more than every piece of the largest board

template <int NW>
class Quiescence {
public:
    static constexpr int MAX_PLIES = 10;     // captures deep
    static constexpr uint32_t MAX_NODES = 400;  // positions per leaf, so no leaf costs much

    // The side to move's material after the best captures, minus the other side's.
    int points(Game<NW>& g) {
        nodes_ = 0;
        if (lists_.size() < MAX_PLIES + 1) lists_.resize(MAX_PLIES + 1);
        return search(g, -MATE_POINTS - 1, MATE_POINTS + 1, 0, balance(g));
    }

    // The value in [-1, 1] of those points, as the trainer teaches material: tanh(points / 4).
    float value(Game<NW>& g) { return static_cast<float>(std::tanh(points(g) / 4.0)); }

    static int balance(const Game<NW>& g) {
        const auto& b = g.board();
        const auto& mine = b.color_bitboards[color_index(g.turn())];
        const auto& theirs = b.color_bitboards[color_index(~g.turn())];
        int total = 0;
        for (int t = 0; t < 5; ++t)
            total += PIECE_POINTS[t] * ((b.piece_bitboards[t] & mine).count() - (b.piece_bitboards[t] & theirs).count());
        return total;
    }

private:
    // What a move wins at once: the piece it takes and what a pawn becomes.
    static int gain(const Game<NW>& g, const EMove& m) {
        int won = 0;
        if (m.flags & EN_PASSANT) won = PIECE_POINTS[0];
        else if (m.flags & CAPTURE) won = PIECE_POINTS[g.board().code_at(m.to) >> 1];
        if (m.promo != NO_PROMOTION) won += PIECE_POINTS[m.promo] - PIECE_POINTS[0];
        return won;
    }

    int search(Game<NW>& g, int alpha, int beta, int ply, int stand) {
        ++nodes_;
        MoveList& moves = lists_[ply];
        g.legal_moves_into(moves);
        const bool check = g.is_check();
        if (moves.empty()) return check ? -MATE_POINTS : 0;
        if (!check) {
            if (stand >= beta || ply >= MAX_PLIES || nodes_ >= MAX_NODES) return stand;
            alpha = std::max(alpha, stand);
        } else if (ply >= MAX_PLIES || nodes_ >= MAX_NODES) {
            return stand;
        }
        // The moves worth trying, most valuable victim first, then the cheapest attacker.
        auto& order = orders_[ply];
        order.clear();
        for (size_t k = 0; k < moves.size(); ++k) {
            const EMove& m = moves[k];
            const int won = gain(g, m);
            if (!check && won <= 0) continue;
            const int attacker = PIECE_POINTS[g.board().code_at(m.from) >> 1];
            order.push_back({won * 16 - attacker, static_cast<uint32_t>(k)});
        }
        std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        int best = check ? -MATE_POINTS : stand;
        for (const auto& [_, k] : order) {
            const EMove m = moves[k];
            const int won = gain(g, m);
            TakeBack tb;
            g.play(m, tb);
            const int score = -search(g, -beta, -alpha, ply + 1, -(stand + won));
            g.take_back(tb);
            if (score > best) best = score;
            if (score > alpha) alpha = score;
            if (alpha >= beta) break;
        }
        return best;
    }

    std::vector<MoveList> lists_;
    std::array<std::vector<std::pair<int, uint32_t>>, MAX_PLIES + 1> orders_;
    uint32_t nodes_ = 0;
};

}  // namespace murkle::rl
