#pragma once
// Pseudo-legal move generation: the moves each piece's movement rules allow, in the generator's
// order (the step or ray table of the piece, nearest square first along a ray). The legality
// filter narrows the targets with a mask and an exact test (legal.hpp).
#include "game.hpp"

namespace murkle {

// Generated moves appended to a list, in generator order.
template <int NW>
class MoveAppender {
public:
    MoveAppender(MoveList& list, const Bitboard<NW>& theirs) : list_(list), theirs_(theirs) {}

    void reserve(size_t n) { list_.reserve_more(n); }
    void add(const EMove& m) { list_.push_unchecked(m); }
    void add(uint32_t from, uint32_t to, uint8_t flags) {
        add(EMove{static_cast<uint16_t>(from), static_cast<uint16_t>(to), flags, NO_PROMOTION});
    }
    void promotions(uint32_t from, uint32_t to, uint8_t flags) {
        for (uint8_t p : PROMOTION_ORDER)
            add(EMove{static_cast<uint16_t>(from), static_cast<uint16_t>(to), flags, p});
    }
    // The targets along one ray, nearest first.
    void ray(uint32_t from, const Bitboard<NW>& targets, bool ascending) {
        auto one = [&](uint32_t to) { add(from, to, theirs_.test(to) ? CAPTURE : 0); };
        if (ascending) targets.for_each(one);
        else targets.for_each_reverse(one);
    }
    // The targets among a piece's steps, in step-table order.
    void steps(uint32_t from, const StepTargets& list, const Bitboard<NW>& targets) {
        for (int n = 0; n < list.count; ++n)
            if (targets.test(list.to[n])) add(from, list.to[n], theirs_.test(list.to[n]) ? CAPTURE : 0);
    }

private:
    MoveList& list_;
    const Bitboard<NW>& theirs_;
};

// Generated moves only counted.
template <int NW>
struct MoveCounter {
    uint64_t n = 0;
    void reserve(size_t) {}
    void add(const EMove&) { ++n; }
    void add(uint32_t, uint32_t, uint8_t) { ++n; }
    void promotions(uint32_t, uint32_t, uint8_t) { n += 4; }
    void ray(uint32_t, const Bitboard<NW>& targets, bool) { n += static_cast<uint64_t>(targets.count()); }
    void steps(uint32_t, const StepTargets&, const Bitboard<NW>& targets) {
        n += static_cast<uint64_t>(targets.count());
    }
};

// Any move passes.
struct AcceptAll {
    bool operator()(const EMove&) const { return true; }
};

template <int NW>
std::vector<Move> Game<NW>::pseudo_legal_moves() const {
    MoveList& buf = scratch_moves();
    MoveAppender<NW> sink(buf, board_.color_bitboards[color_index(~turn_)]);
    board_.color_bitboards[color_index(turn_)].for_each(
        [&](uint32_t i) { generate_piece(i, *board_.kind_at(i), geo_->all, sink, AcceptAll{}); });
    return to_moves(buf);
}

// The moves of the side to move's piece of the given kind on `from`. Moves other than the
// king's and en passant land only on `allowed`; those two kinds of move are kept when
// exact(move) says so.
template <int NW>
template <class Sink, class Exact>
void Game<NW>::generate_piece(uint32_t from, PieceType kind, const Bitboard<NW>& allowed, Sink& out,
                              Exact&& exact) const {
    // Room for the most moves any piece has here: a queen's lines, or a pawn's twelve.
    out.reserve(2 * static_cast<size_t>(width_ + height_) + 16);
    const Geometry<NW>& geo = *geo_;
    switch (kind) {
        case PieceType::Pawn: generate_pawn_moves(from, allowed, out, exact); break;
        case PieceType::Knight:
            out.steps(from, geo.knight_steps[from],
                      (geo.knight[from] & allowed).without(board_.color_bitboards[color_index(turn_)]));
            break;
        case PieceType::Bishop: generate_slider<4, 8>(from, allowed, out); break;
        case PieceType::Rook: generate_slider<0, 4>(from, allowed, out); break;
        case PieceType::Queen: generate_slider<0, 8>(from, allowed, out); break;
        case PieceType::King:
            generate_king_moves(from, out, exact);
            generate_castling(from, out, exact);
            break;
    }
}

// Rays FirstRay..LastRay - 1: the rook's four, then the bishop's four.
template <int NW>
template <int FirstRay, int LastRay, class Sink>
void Game<NW>::generate_slider(uint32_t from, const Bitboard<NW>& allowed, Sink& out) const {
    const Bitboard<NW>& mine = board_.color_bitboards[color_index(turn_)];
    const Bitboard<NW> occupied = board_.color_bitboards[0] | board_.color_bitboards[1];
    for_rays<FirstRay, LastRay>([&](auto d) {
        out.ray(from, (ray_attacks(*geo_, d, from, occupied) & allowed).without(mine), d % 2 == 0);
    });
}

template <int NW>
template <class Sink, class Exact>
void Game<NW>::generate_pawn_moves(uint32_t from, const Bitboard<NW>& allowed, Sink& out, Exact&& exact) const {
    const Color us = turn_;
    const int col = col_of(from), row = row_of(from), fwd = forward(us);
    const int promotion_row = us == Color::White ? height_ - 2 : 1;
    const int start_row = us == Color::White ? 1 : height_ - 2;
    const bool promotes = row == promotion_row;
    const int r1 = row + fwd;
    if (r1 < 0 || r1 >= height_) return;
    const auto& theirs = board_.color_bitboards[color_index(~us)];

    const uint32_t push = idx(col, r1);
    if (!board_.occupied(push)) {
        if (allowed.test(push)) {
            if (promotes) out.promotions(from, push, PROMOTION);
            else out.add(from, push, 0);
        }
        const int r2 = row + 2 * fwd;
        if (row == start_row && r2 >= 0 && r2 < height_ && !board_.occupied(idx(col, r2)) &&
            allowed.test(idx(col, r2)))
            out.add(from, idx(col, r2), DOUBLE_PUSH);
    }
    for (int c : {col - 1, col + 1}) {
        if (c < 0 || c >= width_) continue;
        const uint32_t to = idx(c, r1);
        if (theirs.test(to) && allowed.test(to)) {
            if (promotes) out.promotions(from, to, CAPTURE | PROMOTION);
            else out.add(from, to, CAPTURE);
        }
        if (is_real_en_passant(board_, from, to, us)) {
            const EMove m{static_cast<uint16_t>(from), static_cast<uint16_t>(to), CAPTURE | EN_PASSANT, NO_PROMOTION};
            if (exact(m)) out.add(m);
        }
    }
}

template <int NW>
template <class Sink, class Exact>
void Game<NW>::generate_king_moves(uint32_t from, Sink& out, Exact&& exact) const {
    const Bitboard<NW>& mine = board_.color_bitboards[color_index(turn_)];
    const Bitboard<NW>& theirs = board_.color_bitboards[color_index(~turn_)];
    const StepTargets& steps = geo_->king_steps[from];
    for (int n = 0; n < steps.count; ++n) {
        const uint16_t to = steps.to[n];
        if (mine.test(to)) continue;
        const EMove m{static_cast<uint16_t>(from), to, static_cast<uint8_t>(theirs.test(to) ? CAPTURE : 0),
                      NO_PROMOTION};
        if (exact(m)) out.add(m);
    }
}

// Castling exists on the 8 x 8 board only, for a king on its original square with the rook
// in its corner, not in check, over empty and unattacked squares.
template <int NW>
template <class Sink, class Exact>
void Game<NW>::generate_castling(uint32_t from, Sink& out, Exact&& exact) const {
    if (width_ != 8 || height_ != 8 || !castling_enabled_) return;
    const Color us = turn_;
    const int back = us == Color::White ? 0 : 7;
    if (from != idx(4, back)) return;
    auto empty = [&](int c) { return !board_.occupied(idx(c, back)); };
    auto rook_in = [&](int c) { return is_piece(board_, idx(c, back), us, PieceType::Rook); };
    // The placement is cheap to read; the attack tests run only for a side it leaves open.
    const bool kingside = has_kingside_castling_rights(us) && rook_in(7) && empty(5) && empty(6);
    const bool queenside = has_queenside_castling_rights(us) && rook_in(0) && empty(1) && empty(2) && empty(3);
    if (!kingside && !queenside) return;
    const Color them = ~us;
    if (attacked(board_.color_bitboards, idx(king_[color_index(us)]), them)) return;
    auto safe = [&](int c) { return !attacked(board_.color_bitboards, idx(c, back), them); };
    auto castle = [&](int c) {
        const EMove m{static_cast<uint16_t>(from), static_cast<uint16_t>(idx(c, back)), CASTLING, NO_PROMOTION};
        if (exact(m)) out.add(m);
    };
    if (kingside && safe(5) && safe(6)) castle(6);
    if (queenside && safe(2) && safe(3) && safe(4)) castle(2);
}

// A pawn of colour `c` going from `from` to `to` takes en passant: a diagonal step forward
// onto the empty stored square with a pawn of the other colour beside it.
template <int NW>
bool Game<NW>::is_real_en_passant(const Board<NW>& b, uint32_t from, uint32_t to, Color c) const {
    if (ep_index_ < 0 || to != static_cast<uint32_t>(ep_index_) || b.occupied(to)) return false;
    const int fc = col_of(from), fr = row_of(from), tc = col_of(to), tr = row_of(to);
    if (std::abs(tc - fc) != 1 || tr - fr != forward(c)) return false;
    return is_piece(b, idx(tc, fr), ~c, PieceType::Pawn);
}

template <int NW>
Result<Move> Game<NW>::move_from_lan(std::string_view lan) const {
    auto r = from_lan(lan, board_.width, board_.height);
    if (!r) return r;
    Move m = r.value();
    const uint32_t from = board_.index(m.src.col, m.src.row), to = board_.index(m.dst.col, m.dst.row);
    auto kind = board_.kind_at(from);
    if (!kind) return fail("No piece at source square");
    if (board_.occupied(to)) m.flags |= CAPTURE;
    const int64_t dc = static_cast<int64_t>(m.dst.col) - static_cast<int64_t>(m.src.col);
    const int64_t dr = static_cast<int64_t>(m.dst.row) - static_cast<int64_t>(m.src.row);
    if (*kind == PieceType::King && (dc == 2 || dc == -2)) m.flags |= CASTLING;
    if (*kind == PieceType::Pawn) {
        if (is_real_en_passant(board_, from, to, board_.color_at(from))) m.flags |= CAPTURE | EN_PASSANT;
        if (dr == 2 || dr == -2) m.flags |= DOUBLE_PUSH;
    }
    return m;
}

}  // namespace murkle
