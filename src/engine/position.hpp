#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"
#include "text.hpp"

namespace murkle {

struct Position {
    uint64_t col = 0;
    uint64_t row = 0;
    constexpr bool operator==(const Position&) const = default;
};

// A step between two squares: columns, then rows.
struct Step {
    int dc, dr;
};

// File label: a letter for columns 0..25, the column number (from 0) beyond.
inline std::string file_text(uint64_t col) {
    if (col <= 25) return std::string(1, static_cast<char>('a' + col));
    return std::to_string(col);
}

// "e4"; from column 26 on "26-1" (column counted from 0, a hyphen, the rank number).
inline std::string square_text(Position p) {
    std::string s = file_text(p.col);
    if (p.col > 25) s += '-';
    s += u128_to_string(static_cast<unsigned __int128>(p.row) + 1);
    return s;
}

// Reads "e4" style square texts (letter file only); no board bounds are tested here.
inline Result<Position> from_algebraic(std::string_view text) {
    if (text.size() < 2) return fail("Invalid position string");
    char f = text[0];
    if (f < 'a' || f > 'z') return fail("Invalid file character");
    auto n = parse_u64(text.substr(1));
    if (!n) return fail("Invalid row number");
    return Position{static_cast<uint64_t>(f - 'a'), *n == 0 ? 0 : *n - 1};
}

// The numeric form written for columns from 26 on: column number, '-', rank number.
inline std::optional<Position> from_numeric_square(std::string_view text) {
    auto dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0) return std::nullopt;
    std::string_view c = text.substr(0, dash), r = text.substr(dash + 1);
    for (char ch : c)
        if (ch < '0' || ch > '9') return std::nullopt;
    if (r.empty() || r[0] == '+') return std::nullopt;
    auto col = parse_u64(c);
    auto row = parse_u64(r);
    if (!col || !row || *col < 26 || *row == 0) return std::nullopt;
    return Position{*col, *row - 1};
}

}  // namespace murkle
