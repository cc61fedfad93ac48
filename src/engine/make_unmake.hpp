#pragma once
// Making and unmaking moves: a move's flags decide its side effects; the take-back records
// every square the move changed so that taking it back restores exactly those squares.
#include "game.hpp"

namespace murkle {

template <int NW>
bool Game<NW>::make_move(const Move& m) {
    if (!find_legal(m)) return false;
    apply(Move(m), board_.index(m.src.col, m.src.row), board_.index(m.dst.col, m.dst.row));
    return true;
}

template <int NW>
bool Game<NW>::unmake_move() {
    if (history_.empty()) return false;
    memo_.invalidate();
    take_back(history_.back());
    history_.pop_back();
    return true;
}

template <int NW>
void Game<NW>::take_back(const TakeBack& h) {
    turn_ = ~turn_;
    undo_squares(board_, h);
    king_[color_index(turn_)] = h.prev_king;
    set_en_passant(h.prev_en_passant_square);
    castling_ = h.prev_castling_rights;
    halfmove_ = h.prev_halfmove_clock;
    fullmove_ = h.prev_fullmove_number;
}

// Makes the move whole or not at all: the history's room is taken before anything changes,
// so running out of memory leaves the game as it was. The entry is written in place.
template <int NW>
void Game<NW>::apply(const Move& mv, uint32_t from, uint32_t to) {
    if (history_.size() == history_.capacity()) history_.reserve(std::max<size_t>(8, 2 * history_.size()));
    memo_.invalidate();
    HistoryEntry& h = history_.emplace_back();
    h.mv = mv;
    const uint8_t promo = mv.promotion ? static_cast<uint8_t>(*mv.promotion) : NO_PROMOTION;
    h.captured = decode_piece(play(h, from, to, mv.flags, promo));
}

template <int NW>
uint8_t Game<NW>::play(TakeBack& h, uint32_t from, uint32_t to, uint8_t flags, uint8_t promo) {
    const Color us = turn_;
    const uint8_t moved = board_.code_at(from);
    const PieceType mover = static_cast<PieceType>(moved >> 1);
    const uint8_t captured = board_.code_at(to);
    h.prev_en_passant_square = ep_;
    h.prev_castling_rights = castling_;
    h.prev_halfmove_clock = halfmove_;
    h.prev_fullmove_number = fullmove_;
    h.prev_king = king_[color_index(us)];
    // Each changed square with what stood there, then what stands there now.
    auto change = [&](uint32_t sq, uint8_t before, uint8_t after) {
        h.changes[h.change_count++] = SquareChange{static_cast<uint16_t>(sq), before};
        if (before != EMPTY_SQUARE) board_.take_code(sq, before);
        if (after != EMPTY_SQUARE) board_.put_code(sq, after);
    };

    const Geometry<NW>& geo = *geo_;
    const int fc = geo.col[from], fr = geo.row[from], tc = geo.col[to], tr = geo.row[to];
    const int last_row = us == Color::White ? height_ - 1 : 0;
    const bool en_passant = (flags & EN_PASSANT) && mover == PieceType::Pawn && is_real_en_passant(board_, from, to, us);
    PieceType placed = mover;
    if ((flags & PROMOTION) && mover == PieceType::Pawn && tr == last_row)
        placed = promo == NO_PROMOTION ? PieceType::Queen : static_cast<PieceType>(promo);

    change(from, moved, EMPTY_SQUARE);
    change(to, captured, piece_code(us, placed));
    if (mover == PieceType::King) king_[color_index(us)] = Position{static_cast<uint64_t>(tc), static_cast<uint64_t>(tr)};
    if (en_passant) change(idx(tc, fr), piece_code(~us, PieceType::Pawn), EMPTY_SQUARE);
    if ((flags & CASTLING) && mover == PieceType::King) {
        const bool kingside = tc > fc;
        const uint32_t rook_from = idx(kingside ? width_ - 1 : 0, fr);
        if (const uint8_t rook = board_.code_at(rook_from); rook != EMPTY_SQUARE) {
            const int rc = kingside ? tc - 1 : tc + 1;
            if (rc >= 0 && rc < width_) {
                change(rook_from, rook, EMPTY_SQUARE);
                const uint32_t rook_to = idx(rc, tr);
                change(rook_to, board_.code_at(rook_to), rook);
            }
        }
    }

    if (castling_[0] || castling_[1] || castling_[2] || castling_[3]) {
        if (mover == PieceType::King) {
            castling_[us == Color::White ? WHITE_KINGSIDE : BLACK_KINGSIDE] = false;
            castling_[us == Color::White ? WHITE_QUEENSIDE : BLACK_QUEENSIDE] = false;
        } else if (mover == PieceType::Rook) {
            clear_corner_rights(fc, fr);
        }
        clear_corner_rights(tc, tr);
    }

    // A double step leaves the square it passed, which lies between its two squares.
    ep_.reset();
    ep_index_ = -1;
    if (mover == PieceType::Pawn && std::abs(tr - fr) == 2) {
        ep_ = Position{static_cast<uint64_t>(fc), static_cast<uint64_t>((fr + tr) / 2)};
        ep_index_ = static_cast<int32_t>((from + to) / 2);
    }

    if (mover == PieceType::Pawn || captured != EMPTY_SQUARE) halfmove_ = 0;
    else if (halfmove_ < CLOCK_MAX) ++halfmove_;
    if (us == Color::Black && fullmove_ < CLOCK_MAX) ++fullmove_;

    turn_ = ~us;
    return captured;
}

template <int NW>
void Game<NW>::clear_corner_rights(int c, int r) {
    if (c == 0 && r == 0) castling_[WHITE_QUEENSIDE] = false;
    if (c == width_ - 1 && r == 0) castling_[WHITE_KINGSIDE] = false;
    if (c == 0 && r == height_ - 1) castling_[BLACK_QUEENSIDE] = false;
    if (c == width_ - 1 && r == height_ - 1) castling_[BLACK_KINGSIDE] = false;
}

template <int NW>
void Game<NW>::undo_squares(Board<NW>& b, const TakeBack& h) {
    for (int n = h.change_count; n-- > 0;) {
        const SquareChange& ch = h.changes[n];
        if (const uint8_t now = b.code_at(ch.square); now != EMPTY_SQUARE) b.take_code(ch.square, now);
        if (ch.prev != EMPTY_SQUARE) b.put_code(ch.square, ch.prev);
    }
}

}  // namespace murkle
