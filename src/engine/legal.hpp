#pragma once
// Legal moves: the pseudo-legal moves after which the mover's king, on its cached square, is
// not attacked. With the king alone on its cached square, checks and pins decide for every
// move but the king's own and en passant, which are tried on the board; otherwise every move
// is tried.
#include "game.hpp"

namespace murkle {

template <int NW>
template <class Sink>
void Game<NW>::legal_moves_of(const KingSafety<NW>& ks, Colors& scratch, uint32_t from, PieceType kind,
                              Sink& out) const {
    if (kind == PieceType::King) {
        // With three or more squares to try, one map of the squares the other side attacks
        // (seen through the king, which no longer shields what stands behind it) costs less
        // than trying each square on the board.
        const Bitboard<NW> targets = geo_->king[from].without(board_.color_bitboards[color_index(turn_)]);
        if (targets.count() >= 3) {
            const Bitboard<NW> danger = attacks_through_king(~turn_);
            generate_piece(from, kind, geo_->all, out, [&](const EMove& m) { return !danger.test(m.to); });
            return;
        }
    }
    Bitboard<NW> allowed = ks.check_mask;
    if (ks.pinned.test(from)) allowed &= ks.pin_ray_through(from);
    generate_piece(from, kind, allowed, out, [&](const EMove& m) { return leaves_king_safe(scratch, m, kind); });
}

template <int NW>
void Game<NW>::legal_moves_into(MoveList& out) const {
    const KingSafety<NW> ks = king_safety();
    if (!ks.exact) return legal_moves_reference(out);
    out.clear();
    Colors scratch = board_.color_bitboards;
    MoveAppender<NW> sink(out, board_.color_bitboards[color_index(~turn_)]);
    board_.color_bitboards[color_index(turn_)].for_each(
        [&](uint32_t i) { legal_moves_of(ks, scratch, i, *board_.kind_at(i), sink); });
}

// Counted without listing: the king by its own rules, pawns that are not pinned all at once,
// knights and sliders by their target sets (a pinned knight never moves, a pinned slider only
// along its pin).
template <int NW>
uint64_t Game<NW>::count_legal_moves() const {
    const KingSafety<NW> ks = king_safety();
    if (!ks.exact) {
        MoveList& buf = scratch_moves();
        legal_moves_reference(buf);
        return buf.size();
    }
    Colors scratch = board_.color_bitboards;
    MoveCounter<NW> counter;
    legal_moves_of(ks, scratch, idx(king_[color_index(turn_)]), PieceType::King, counter);
    if (ks.checkers > 1) return counter.n;

    const Geometry<NW>& geo = *geo_;
    const Bitboard<NW>& mine = board_.color_bitboards[color_index(turn_)];
    const Bitboard<NW> occupied = board_.color_bitboards[0] | board_.color_bitboards[1];
    const Bitboard<NW> open = ks.check_mask.without(mine);
    (pieces(PieceType::Knight) & mine).without(ks.pinned).for_each([&](uint32_t i) {
        counter.n += static_cast<uint64_t>((geo.knight[i] & open).count());
    });
    auto slides = [&]<int FirstRay, int LastRay>(PieceType kind) {
        (pieces(kind) & mine).for_each([&](uint32_t i) {
            Bitboard<NW> to = slider_attacks<FirstRay, LastRay>(geo, i, occupied) & open;
            if (ks.pinned.test(i)) to &= ks.pin_ray_through(i);
            counter.n += static_cast<uint64_t>(to.count());
        });
    };
    slides.template operator()<4, 8>(PieceType::Bishop);
    slides.template operator()<0, 4>(PieceType::Rook);
    slides.template operator()<0, 8>(PieceType::Queen);

    const Bitboard<NW> pawns = pieces(PieceType::Pawn) & mine;
    (pawns & ks.pinned).for_each([&](uint32_t i) { legal_moves_of(ks, scratch, i, PieceType::Pawn, counter); });
    return counter.n + count_pawn_moves(pawns.without(ks.pinned), ks.check_mask, scratch);
}

// The moves of the given pawns of the side to move onto `allowed`, a promotion counting as its
// four moves; en passant is tried on the board.
template <int NW>
uint64_t Game<NW>::count_pawn_moves(const Bitboard<NW>& pawns, const Bitboard<NW>& allowed, Colors& scratch) const {
    const Geometry<NW>& geo = *geo_;
    const bool white = turn_ == Color::White;
    const uint32_t w = static_cast<uint32_t>(width_);
    auto ahead = [&](const Bitboard<NW>& b, uint32_t n) { return (white ? b.shifted_up(n) : b.shifted_down(n)) & geo.all; };
    const Bitboard<NW>& theirs = board_.color_bitboards[color_index(~turn_)];
    const Bitboard<NW> empty = geo.all.without(board_.color_bitboards[0] | board_.color_bitboards[1]);
    const Bitboard<NW>& last = geo.rows[white ? height_ - 1 : 0];
    auto with_promotions = [&](const Bitboard<NW>& targets) {
        return static_cast<uint64_t>(targets.count() + 3 * (targets & last).count());
    };

    const Bitboard<NW> single = ahead(pawns, w) & empty;
    uint64_t n = with_promotions(single & allowed);
    // Double pushes pass over the row just ahead of the start row.
    const int passed_row = white ? 2 : height_ - 3;
    if (passed_row >= 0 && passed_row < height_)
        n += static_cast<uint64_t>((ahead(single & geo.rows[passed_row], w) & empty & allowed).count());
    const Bitboard<NW> targets = theirs & allowed;
    const Bitboard<NW> left = pawns.without(geo.first_col), right = pawns.without(geo.last_col);
    n += with_promotions(ahead(left, white ? w - 1 : w + 1) & targets);
    n += with_promotions(ahead(right, white ? w + 1 : w - 1) & targets);

    if (ep_index_ >= 0) {
        const uint32_t ep = static_cast<uint32_t>(ep_index_);
        (geo.pawn_attackers[color_index(turn_)][ep] & pawns).for_each([&](uint32_t from) {
            const EMove m{static_cast<uint16_t>(from), static_cast<uint16_t>(ep), CAPTURE | EN_PASSANT, NO_PROMOTION};
            if (is_real_en_passant(board_, from, ep, turn_) && leaves_king_safe(scratch, m, PieceType::Pawn)) ++n;
        });
    }
    return n;
}

template <int NW>
void Game<NW>::legal_moves_reference(MoveList& out) const {
    out.clear();
    Colors scratch = board_.color_bitboards;
    board_.color_bitboards[color_index(turn_)].for_each(
        [&](uint32_t i) { reference_moves_for_square(scratch, i, out); });
}

// Every pseudo-legal move of the piece on `from`, tried on the board.
template <int NW>
void Game<NW>::reference_moves_for_square(Colors& scratch, uint32_t from, MoveList& out) const {
    if (!board_.color_bitboards[color_index(turn_)].test(from)) return;
    const PieceType kind = *board_.kind_at(from);
    const size_t start = out.size();
    MoveAppender<NW> sink(out, board_.color_bitboards[color_index(~turn_)]);
    generate_piece(from, kind, geo_->all, sink, AcceptAll{});
    size_t kept = start;
    for (size_t n = start; n < out.size(); ++n)
        if (leaves_king_safe(scratch, out[n], kind)) out[kept++] = out[n];
    out.truncate(kept);
}

// Appends the legal moves of the piece on `from` (nothing for an empty square or a piece of
// the side not to move).
template <int NW>
void Game<NW>::legal_moves_for_square(const KingSafety<NW>& ks, Colors& scratch, uint32_t from,
                                      MoveList& out) const {
    if (!board_.color_bitboards[color_index(turn_)].test(from)) return;
    if (!ks.exact) return reference_moves_for_square(scratch, from, out);
    MoveAppender<NW> sink(out, board_.color_bitboards[color_index(~turn_)]);
    legal_moves_of(ks, scratch, from, *board_.kind_at(from), sink);
}

// Every square a piece of colour `by` attacks, with the king of the side to move taken off the
// board. A king (the one of the side to move, on its cached square) may step exactly onto the
// squares outside it: a piece it takes is guarded when it lies inside.
template <int NW>
Bitboard<NW> Game<NW>::attacks_through_king(Color by) const {
    const Geometry<NW>& geo = *geo_;
    const auto& theirs = board_.color_bitboards[color_index(by)];
    Bitboard<NW> occupied = board_.color_bitboards[0] | board_.color_bitboards[1];
    occupied.clear(idx(king_[color_index(~by)]));
    Bitboard<NW> out;
    // A pawn of colour `by` attacks from p what a pawn of the other colour would be attacked from.
    (pieces(PieceType::Pawn) & theirs).for_each([&](uint32_t p) { out |= geo.pawn_attackers[color_index(~by)][p]; });
    (pieces(PieceType::Knight) & theirs).for_each([&](uint32_t p) { out |= geo.knight[p]; });
    (pieces(PieceType::King) & theirs).for_each([&](uint32_t p) { out |= geo.king[p]; });
    const Bitboard<NW> queens = pieces(PieceType::Queen) & theirs;
    ((pieces(PieceType::Rook) & theirs) | queens).for_each([&](uint32_t p) {
        out |= slider_attacks<0, 4>(geo, p, occupied);
    });
    ((pieces(PieceType::Bishop) & theirs) | queens).for_each([&](uint32_t p) {
        out |= slider_attacks<4, 8>(geo, p, occupied);
    });
    return out;
}

// Tries the move on the colour sets alone and asks whether the king is then attacked. A king
// move takes the cached square along; the castling rook stays where it is.
template <int NW>
bool Game<NW>::leaves_king_safe(Colors& colors, const EMove& m, PieceType kind) const {
    auto& mine = colors[color_index(turn_)];
    auto& theirs = colors[color_index(~turn_)];
    const bool took = theirs.test(m.to);
    mine.clear(m.from);
    mine.set(m.to);
    theirs.clear(m.to);
    const uint32_t passed = idx(col_of(m.to), row_of(m.from));
    const bool en_passant = (m.flags & EN_PASSANT) && theirs.test(passed);
    if (en_passant) theirs.clear(passed);
    const uint32_t king = kind == PieceType::King ? m.to : idx(king_[color_index(turn_)]);
    const bool safe = !attacked(colors, king, ~turn_);
    if (en_passant) theirs.set(passed);
    if (took) theirs.set(m.to);
    mine.clear(m.to);
    mine.set(m.from);
    return safe;
}

template <int NW>
std::vector<Move> Game<NW>::legal_moves() const {
    std::vector<Move> out;
    const LegalView v = legal();
    out.reserve(v.size);
    for (const EMove& m : v) out.push_back(to_move(m));
    return out;
}

template <int NW>
std::vector<Move> Game<NW>::legal_moves_for_position(uint64_t col, uint64_t row) const {
    MoveList& buf = scratch_moves();
    if (board_.on_board(col, row)) {
        Colors scratch = board_.color_bitboards;
        legal_moves_for_square(king_safety(), scratch, board_.index(col, row), buf);
    }
    return to_moves(buf);
}

// The legal move with the squares of m, if there is one.
template <int NW>
std::optional<EMove> Game<NW>::find_legal(const Move& m) const {
    if (!board_.on_board(m.src.col, m.src.row) || !board_.on_board(m.dst.col, m.dst.row)) return std::nullopt;
    const uint32_t from = board_.index(m.src.col, m.src.row), to = board_.index(m.dst.col, m.dst.row);
    if (memo_.ready()) {
        for (const EMove& e : memo_.view())
            if (e.from == from && e.to == to) return e;
        return std::nullopt;
    }
    MoveList& buf = scratch_moves();
    Colors scratch = board_.color_bitboards;
    legal_moves_for_square(king_safety(), scratch, from, buf);
    for (const EMove& e : buf)
        if (e.to == to) return e;
    return std::nullopt;
}

template <int NW>
bool Game<NW>::has_legal_en_passant() const {
    if (ep_index_ < 0) return false;
    const int ec = ep_col(), er = ep_row();
    const int row = er - forward(turn_);
    if (row < 0 || row >= height_) return false;
    MoveList& buf = scratch_moves();
    Colors scratch = board_.color_bitboards;
    const KingSafety<NW> ks = king_safety();
    for (int c : {ec - 1, ec + 1}) {
        if (c < 0 || c >= width_) continue;
        uint32_t i = idx(c, row);
        if (!is_piece(board_, i, turn_, PieceType::Pawn)) continue;
        legal_moves_for_square(ks, scratch, i, buf);
        for (const EMove& m : buf)
            if (m.flags & EN_PASSANT) return true;
    }
    return false;
}

template <int NW>
void Game<NW>::fill_legal(std::vector<EMove>& moves, std::vector<uint32_t>& planes) const {
    MoveList& buf = scratch_moves();
    legal_moves_into(buf);
    moves.assign(buf.begin(), buf.end());
    planes.resize(buf.size());
    for (size_t n = 0; n < buf.size(); ++n) planes[n] = move_plane(buf[n]).value_or(NO_PLANE);
}

template <int NW>
LegalView Game<NW>::legal() const {
    if (memo_.ready()) return memo_.view();
    if (memo_.claim()) {
        try {
            fill_legal(memo_.moves_, memo_.planes_);
        } catch (...) {
            memo_.abandon();
            throw;
        }
        memo_.publish();
        return memo_.view();
    }
    // Another query is filling the memo right now: answer from this thread's own buffers.
    static thread_local std::vector<EMove> moves;
    static thread_local std::vector<uint32_t> planes;
    fill_legal(moves, planes);
    return {moves.data(), planes.data(), moves.size()};
}

}  // namespace murkle
