#pragma once
// The start position of any board size a game can be played on.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "game.hpp"

namespace murkle {

constexpr const char* BOARD_RANGE_TEXT =
    "a game needs a width and a height of at least 1, at most 32 rows and at most 1024 squares";

inline bool game_size_ok(uint64_t width, uint64_t height) {
    return width >= 1 && height >= 1 && height <= MAX_ROWS && width <= 1024 && width * height <= 1024;
}

// White's first rank: king in the middle, queen to its left, then rook, knight, bishop
// repeating from each corner inwards (RNBQKBNR on eight files).
inline std::string back_rank(uint64_t width) {
    if (width == 1) return "K";
    std::string rank(width, ' ');
    const uint64_t king = width / 2, queen = king - 1;
    rank[king] = 'K';
    rank[queen] = 'Q';
    const char cycle[3] = {'R', 'N', 'B'};
    for (uint64_t c = 0; c < queen; ++c) rank[c] = cycle[c % 3];
    for (uint64_t c = width - 1, k = 0; c > king; --c, ++k) rank[c] = cycle[k % 3];
    return rank;
}

// One FEN rank from letters, with ' ' for an empty square.
inline std::string fen_rank(const std::string& cells) {
    std::string out;
    uint64_t run = 0;
    for (char c : cells) {
        if (c == ' ') {
            ++run;
            continue;
        }
        if (run) out += std::to_string(run);
        run = 0;
        out += c;
    }
    if (run) out += std::to_string(run);
    return out;
}

inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The standard position on 8 x 8. Elsewhere the back ranks stand on the first and last rows,
// with pawns in front of them when the board has four rows or more; a board of one row holds
// a rook and king a side ("RK...kr"), or just the kings when it is narrower than four files.
// None for a board too small for two kings.
inline std::optional<std::string> start_fen(uint64_t width, uint64_t height) {
    if (!game_size_ok(width, height) || width * height < 2) return std::nullopt;
    if (width == 8 && height == 8) return std::string(STANDARD_FEN);
    std::vector<std::string> rows(height, std::string(width, ' '));  // rows[0] is White's first rank
    if (height == 1) {
        const bool rooks = width >= 4;
        rows[0][rooks ? 1 : 0] = 'K';
        rows[0][width - (rooks ? 2 : 1)] = 'k';
        if (rooks) rows[0][0] = 'R', rows[0][width - 1] = 'r';
    } else {
        rows[0] = back_rank(width);
        for (uint64_t c = 0; c < width; ++c) rows[height - 1][c] = lower(rows[0][c]);
        if (height >= 4) {
            rows[1] = std::string(width, 'P');
            rows[height - 2] = std::string(width, 'p');
        }
    }
    std::string fen;
    for (uint64_t r = height; r-- > 0;) {
        fen += fen_rank(rows[r]);
        if (r) fen += '/';
    }
    return fen + " w - - 0 1";
}

}  // namespace murkle
