#pragma once
// FEN: reading a game from the six-field text and writing it back.
#include "game.hpp"

namespace murkle {

template <int NW>
Result<Game<NW>> Game<NW>::from_fen(uint64_t width, uint64_t height, std::string_view fen, bool castling_enabled) {
    // Fields are separated by single spaces: two spaces in a row make an empty field.
    // Counted before any field is taken, so a text with too many costs no memory.
    const size_t part_count = count_pieces(fen, ' ');
    if (part_count != 6) return fail("Invalid FEN: expected 6 parts, got " + std::to_string(part_count));
    std::array<std::string_view, 6> parts;
    Pieces fields(fen, ' ');
    for (auto& part : parts) part = fields.next();

    Game g;
    auto board = Board<NW>::from_fen(width, height, parts[0]);
    if (!board) return fail(board.error());
    g.board_ = board.value();
    g.width_ = static_cast<int>(width);
    g.height_ = static_cast<int>(height);
    g.geo_ = Geometry<NW>::of(g.width_, g.height_);

    if (parts[1] == "w") g.turn_ = Color::White;
    else if (parts[1] == "b") g.turn_ = Color::Black;
    else return fail("Invalid turn in FEN");

    g.castling_enabled_ = castling_enabled;
    if (castling_enabled) {
        for (char c : parts[2]) {
            switch (c) {
                case 'K': g.castling_[WHITE_KINGSIDE] = true; break;
                case 'Q': g.castling_[WHITE_QUEENSIDE] = true; break;
                case 'k': g.castling_[BLACK_KINGSIDE] = true; break;
                case 'q': g.castling_[BLACK_QUEENSIDE] = true; break;
                case '-': break;
                default: return fail("Invalid castling rights in FEN");
            }
        }
    }

    if (parts[3] != "-") {
        // The writer's numeric form for columns from 26 on reads back; otherwise the letter form.
        if (auto numeric = from_numeric_square(parts[3])) {
            g.set_en_passant(*numeric);
        } else {
            auto sq = from_algebraic(parts[3]);
            if (!sq) return fail(sq.error());
            g.set_en_passant(sq.value());
        }
    }

    auto clock = parse_clock(parts[4]);
    if (!clock) return fail("Invalid halfmove clock in FEN");
    g.halfmove_ = *clock;
    auto fullmove = parse_clock(parts[5]);
    if (!fullmove) return fail("Invalid fullmove number in FEN");
    g.fullmove_ = *fullmove;

    auto wk = g.board_.find_king(Color::White);
    if (!wk) return fail("No white king found in FEN position");
    auto bk = g.board_.find_king(Color::Black);
    if (!bk) return fail("No black king found in FEN position");
    g.king_[0] = *wk;
    g.king_[1] = *bk;
    return g;
}

template <int NW>
std::optional<uint32_t> Game<NW>::parse_clock(std::string_view s) {
    auto v = parse_u64(s);
    if (!v || *v > CLOCK_MAX) return std::nullopt;
    return static_cast<uint32_t>(*v);
}

// The en-passant field names the stored square only when a capture there is legal.
template <int NW>
std::string Game<NW>::to_fen() const {
    std::string s = board_.to_fen();
    s += turn_ == Color::White ? " w " : " b ";
    const char letters[4] = {'K', 'Q', 'k', 'q'};
    size_t before = s.size();
    for (int i = 0; i < 4; ++i)
        if (castling_[i]) s += letters[i];
    if (s.size() == before) s += '-';
    s += ' ';
    s += (ep_ && has_legal_en_passant()) ? square_text(*ep_) : "-";
    s += ' ';
    s += std::to_string(halfmove_);
    s += ' ';
    s += std::to_string(fullmove_);
    return s;
}

}  // namespace murkle
