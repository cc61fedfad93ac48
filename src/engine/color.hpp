#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace murkle {

enum class Color : int8_t { White = 1, Black = -1 };

constexpr Color operator~(Color c) { return c == Color::White ? Color::Black : Color::White; }

// 0 for White, 1 for Black: the index of the colour's square set on the board.
constexpr int color_index(Color c) { return c == Color::White ? 0 : 1; }

constexpr const char* color_name(Color c) { return c == Color::White ? "White" : "Black"; }

inline std::optional<Color> color_from_int(int64_t v) {
    if (v == 1) return Color::White;
    if (v == -1) return Color::Black;
    return std::nullopt;
}

inline std::string invalid_color_message(int64_t v) {
    return "Invalid color: must be 1 (White) or -1 (Black), got " + std::to_string(v);
}

}  // namespace murkle
