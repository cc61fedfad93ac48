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

// Whether a board admits a playable start: two kings apart and something to play with.
// Boards of two or three squares in a line and 2 x 2 do not.
inline bool has_playable_start(uint64_t width, uint64_t height) {
    return game_size_ok(width, height) && width * height >= 4 && !(width == 2 && height == 2);
}

// The start position: neither side in check, the game not over, both sides with the same
// pieces, White to move.
// - 8 x 8: the standard position.
// - One row or one column: a king in each corner with a rook in front ("KR...rk").
// - Two rows: the same pair for White at the left of the first row and for Black at the right
//   of the second.
// - Three rows and more: the back ranks on the first and last rows, Black's the mirror of
//   White's, with pawns in front of them from four rows on. On three rows the middle row is
//   empty, so a knight beside a king or a bishop two files from it would give check at once:
//   it stands there as a rook instead.
// A board without a playable start (see has_playable_start) gets the two bare kings, a game
// drawn at once; none for a board too small for two kings.
inline std::optional<std::string> start_fen(uint64_t width, uint64_t height) {
    if (!game_size_ok(width, height) || width * height < 2) return std::nullopt;
    if (width == 8 && height == 8) return std::string(STANDARD_FEN);
    std::vector<std::string> rows(height, std::string(width, ' '));  // rows[0] is White's first rank
    auto put = [&](uint64_t k, char c) {  // k-th square along the board's only row or column
        if (height == 1) rows[0][k] = c;
        else rows[k][0] = c;
    };
    if (!has_playable_start(width, height)) {
        rows[0][0] = 'K';
        rows[height - 1][width - 1] = 'k';
    } else if (width == 1 || height == 1) {
        const uint64_t n = width * height;
        put(0, 'K'), put(1, 'R'), put(n - 2, 'r'), put(n - 1, 'k');
    } else if (height == 2) {
        rows[0][0] = 'K', rows[0][1] = 'R';
        rows[1][width - 2] = 'r', rows[1][width - 1] = 'k';
    } else {
        rows[0] = back_rank(width);
        if (height == 3) {
            const uint64_t king = width / 2;
            if (king + 1 < width && rows[0][king + 1] == 'N') rows[0][king + 1] = 'R';
            if (king >= 2 && rows[0][king - 2] == 'B') rows[0][king - 2] = 'R';
            if (king + 2 < width && rows[0][king + 2] == 'B') rows[0][king + 2] = 'R';
        }
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
