#pragma once
// The end of the game, computed from the current position whenever it is asked for: checkmate,
// stalemate, insufficient material and the move-count rule; and the rewards built on it.
#include "game.hpp"

namespace murkle {

template <int NW>
bool Game<NW>::is_over() const {
    if (!has_legal_move()) return true;  // checkmate or stalemate
    if (halfmove_ >= 150) return true;
    return is_insufficient_material();
}

template <int NW>
std::optional<GameOutcome> Game<NW>::outcome() const {
    const bool check = in_check();
    if (!has_legal_move()) {
        if (!check) return GameOutcome::Stalemate;
        return turn_ == Color::White ? GameOutcome::BlackWin : GameOutcome::WhiteWin;
    }
    if (is_insufficient_material()) return GameOutcome::InsufficientMaterial;
    if (halfmove_ >= 150) return GameOutcome::FiftyMoveRule;
    return std::nullopt;
}

template <int NW>
bool Game<NW>::is_insufficient_material() const {
    int minors[2] = {0, 0}, knights = 0, bishops = 0;
    for (int c = 0; c < 2; ++c) {
        const auto& own = board_.color_bitboards[c];
        for (PieceType t : {PieceType::Pawn, PieceType::Rook, PieceType::Queen})
            if (!(board_.piece_bitboards[static_cast<int>(t)] & own).empty()) return false;
        int n = (board_.piece_bitboards[static_cast<int>(PieceType::Knight)] & own).count();
        int b = (board_.piece_bitboards[static_cast<int>(PieceType::Bishop)] & own).count();
        minors[c] = n + b;
        knights += n;
        bishops += b;
    }
    if (knights == 0 && bishops > 0) {
        // Square colour is the parity of col + row, which on even widths differs from the
        // parity of the index on every other row.
        int first = -1;
        bool same = true;
        board_.piece_bitboards[static_cast<int>(PieceType::Bishop)].for_each([&](uint32_t i) {
            int colour = static_cast<int>((i % board_.width + i / board_.width) & 1);
            if (first < 0) first = colour;
            else if (colour != first) same = false;
        });
        if (same) return true;
    }
    return (minors[0] == 0 && minors[1] <= 1) || (minors[0] == 1 && minors[1] == 0);
}

template <int NW>
int Game<NW>::repetition_count() const {
    // Captures and pawn moves cannot be undone, so only positions since the last one can recur,
    // and a position needs four plies at least to come back with the same side to move. In
    // that window the current position has no en-passant square (only a pawn's double step,
    // which resets the clock, sets one).
    const size_t window = std::min<size_t>(halfmove_, history_.size());
    if (window < 4) return 1;
    int count = 1;
    Board<NW> scratch = board_;
    for (size_t k = 1; k <= window; ++k) {
        const HistoryEntry& h = history_[history_.size() - k];
        undo_squares(scratch, h);
        if (k % 2 || h.prev_castling_rights != castling_ || scratch.piece_bitboards != board_.piece_bitboards ||
            scratch.color_bitboards != board_.color_bitboards)
            continue;
        if (h.prev_en_passant_square) {
            // The earlier position had an en-passant square: it differs when the capture was legal.
            Game earlier = *this;
            earlier.set_en_passant(h.prev_en_passant_square);
            earlier.memo_.invalidate();
            if (earlier.has_legal_en_passant()) continue;
        }
        ++count;
    }
    return count;
}

template <int NW>
double Game<NW>::reward_absolute() const {
    auto o = outcome();
    return o ? encode_winner_absolute(*o) : 0.0;
}

template <int NW>
std::optional<double> Game<NW>::reward_from_perspective(int8_t perspective) const {
    auto o = outcome();
    if (!o) return 0.0;
    return encode_winner_from_perspective(*o, perspective);
}

}  // namespace murkle
