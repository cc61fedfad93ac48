#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bitboard.hpp"
#include "color.hpp"
#include "pieces.hpp"
#include "position.hpp"
#include "result.hpp"
#include "text.hpp"

namespace murkle {

constexpr std::string_view STANDARD_PLACEMENT = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR";

// Largest number of rows any board can have.
constexpr uint64_t MAX_ROWS = 32;

template <int NW>
struct Board {
    std::array<Bitboard<NW>, 6> piece_bitboards{};
    std::array<Bitboard<NW>, 2> color_bitboards{};
    // What stands on each square (piece codes), kept beside the sets so that asking is one load.
    std::array<uint8_t, 64 * NW> codes = empty_codes();
    uint64_t width = 0;
    uint64_t height = 0;

    static Board empty(uint64_t width, uint64_t height) {
        Board b;
        b.width = width;
        b.height = height;
        return b;
    }

    // Reads the FEN piece-placement field; the first failure ends the construction.
    static Result<Board> from_fen(uint64_t width, uint64_t height, std::string_view fen) {
        Board b = empty(width, height);
        // The rows are counted before any is read, so a text with too many costs no memory.
        const size_t row_count = count_pieces(fen, '/');
        if (row_count > MAX_ROWS && height > MAX_ROWS)
            return fail("Invalid FEN: a board has at most 32 rows, got " + std::to_string(row_count));
        if (row_count != height)
            return fail("Invalid FEN: expected " + std::to_string(height) + " rows, got " +
                        std::to_string(row_count));
        if (static_cast<unsigned __int128>(width) * height > 64u * NW)
            return fail("Invalid FEN: board does not fit its size class");
        Pieces rows(fen, '/');
        for (size_t k = 0; k < row_count; ++k) {
            uint64_t row = height - 1 - k;
            std::string_view text = rows.next();
            unsigned __int128 col = 0;
            size_t i = 0;
            while (i < text.size()) {
                unsigned char c = static_cast<unsigned char>(text[i]);
                if (c >= '0' && c <= '9') {
                    size_t j = i;
                    while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
                    std::string_view digits = text.substr(i, j - i);
                    auto n = parse_u64(digits);
                    if (!n) return fail("Invalid FEN number: " + std::string(digits));
                    col += *n;
                    i = j;
                    continue;
                }
                size_t len = std::min(utf8_length(c), text.size() - i);
                auto kind = c < 0x80 ? piece_type_from_letter(static_cast<char32_t>(c)) : std::nullopt;
                if (!kind) return fail("Invalid FEN character: " + std::string(text.substr(i, len)));
                if (col >= width) return fail("Invalid FEN: col index out of bounds");
                Color color = (c >= 'A' && c <= 'Z') ? Color::White : Color::Black;
                b.put(static_cast<uint32_t>(row * width + static_cast<uint64_t>(col)), Piece{color, *kind});
                col += 1;
                i += len;
            }
            if (col != width)
                return fail("Invalid FEN: row " + std::to_string(row) + " has wrong number of squares");
        }
        return b;
    }

    static Board standard() { return from_fen(8, 8, STANDARD_PLACEMENT).take(); }

    void clear() {
        piece_bitboards = {};
        color_bitboards = {};
        codes = empty_codes();
    }

    bool on_board(uint64_t col, uint64_t row) const { return col < width && row < height; }
    uint32_t index(uint64_t col, uint64_t row) const { return static_cast<uint32_t>(row * width + col); }
    Position position(uint32_t i) const { return Position{i % width, i / width}; }

    // Square-level access by index (the index lies on the board).
    bool occupied(uint32_t i) const { return codes[i] != EMPTY_SQUARE; }
    // The piece code on the square, or EMPTY_SQUARE.
    uint8_t code_at(uint32_t i) const { return codes[i]; }
    std::optional<PieceType> kind_at(uint32_t i) const {
        if (codes[i] == EMPTY_SQUARE) return std::nullopt;
        return static_cast<PieceType>(codes[i] >> 1);
    }
    Color color_at(uint32_t i) const { return color_bitboards[0].test(i) ? Color::White : Color::Black; }
    std::optional<Piece> piece_at(uint32_t i) const { return decode_piece(codes[i]); }
    void remove(uint32_t i) {
        if (codes[i] != EMPTY_SQUARE) take_code(i, codes[i]);
    }
    void put(uint32_t i, Piece p) {
        remove(i);
        put_on_empty(i, p);
    }
    // put() onto a square known to be empty.
    void put_on_empty(uint32_t i, Piece p) { put_code(i, piece_code(p.color, p.piece_type)); }
    void put_code(uint32_t i, uint8_t code) {
        piece_bitboards[code >> 1].set(i);
        color_bitboards[code & 1].set(i);
        codes[i] = code;
    }
    // remove() of the piece known to stand on the square (every square holds at most one).
    void take(uint32_t i, Piece p) { take_code(i, piece_code(p.color, p.piece_type)); }
    void take_code(uint32_t i, uint8_t code) {
        piece_bitboards[code >> 1].clear(i);
        color_bitboards[code & 1].clear(i);
        codes[i] = EMPTY_SQUARE;
    }

    std::optional<Piece> get_piece(uint64_t col, uint64_t row) const {
        if (!on_board(col, row)) return std::nullopt;
        return piece_at(index(col, row));
    }

    void set_piece(uint64_t col, uint64_t row, std::optional<Piece> piece) {
        if (!on_board(col, row)) return;
        uint32_t i = index(col, row);
        remove(i);
        if (piece) put(i, *piece);
    }

    static constexpr std::array<uint8_t, 64 * NW> empty_codes() {
        std::array<uint8_t, 64 * NW> a{};
        a.fill(EMPTY_SQUARE);
        return a;
    }

    std::vector<std::pair<Position, Piece>> pieces(Color c) const {
        std::vector<std::pair<Position, Piece>> out;
        color_bitboards[color_index(c)].for_each([&](uint32_t i) {
            out.emplace_back(position(i), Piece{c, kind_at(i).value_or(PieceType::King)});
        });
        return out;
    }

    std::optional<Position> find_king(Color c) const {
        auto i = (piece_bitboards[static_cast<int>(PieceType::King)] & color_bitboards[color_index(c)]).first();
        if (!i) return std::nullopt;
        return position(*i);
    }

    std::string to_fen() const {
        std::string s;
        for (uint64_t r = height; r-- > 0;) {
            uint64_t empty_run = 0;
            for (uint64_t c = 0; c < width; ++c) {
                auto p = piece_at(index(c, r));
                if (!p) {
                    ++empty_run;
                    continue;
                }
                if (empty_run) s += std::to_string(empty_run);
                empty_run = 0;
                s += p->symbol();
            }
            if (empty_run) s += std::to_string(empty_run);
            if (r > 0) s += '/';
        }
        return s;
    }

    // Rows from the top, each "NN " then one symbol and a space per square; then the file labels.
    std::string picture() const {
        std::string s;
        for (uint64_t r = height; r-- > 0;) {
            std::string num = std::to_string(r + 1);
            if (num.size() < 2) num.insert(0, 2 - num.size(), ' ');
            s += num;
            s += ' ';
            for (uint64_t c = 0; c < width; ++c) {
                auto p = piece_at(index(c, r));
                s += p ? p->symbol() : '.';
                s += ' ';
            }
            s += '\n';
        }
        s += "   ";
        for (uint64_t c = 0; c < width; ++c) {
            s += file_text(c);
            s += ' ';
        }
        return s;
    }
};

}  // namespace murkle
