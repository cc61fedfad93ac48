#pragma once
#include <cstdint>
#include <optional>

#include "../color.hpp"

namespace murkle {

enum class GameOutcome : uint8_t {
    WhiteWin = 0,
    BlackWin = 1,
    Stalemate = 2,
    InsufficientMaterial = 3,
    ThreefoldRepetition = 4,
    FiftyMoveRule = 5,
    Other = 6,
};

constexpr const char* outcome_variant_name(GameOutcome o) {
    constexpr const char* names[] = {"WhiteWin",           "BlackWin",      "Stalemate", "InsufficientMaterial",
                                     "ThreefoldRepetition", "FiftyMoveRule", "Other"};
    return names[static_cast<int>(o)];
}

constexpr const char* outcome_name(GameOutcome o) {
    constexpr const char* names[] = {"white_win",           "black_win",       "stalemate", "insufficient_material",
                                     "threefold_repetition", "fifty_move_rule", "other_draw"};
    return names[static_cast<int>(o)];
}

constexpr bool is_draw(GameOutcome o) { return static_cast<uint8_t>(o) >= 2; }

constexpr std::optional<Color> winner(GameOutcome o) {
    if (o == GameOutcome::WhiteWin) return Color::White;
    if (o == GameOutcome::BlackWin) return Color::Black;
    return std::nullopt;
}

// 1.0 when White won, -1.0 when Black won, 0.0 for a draw.
constexpr double encode_winner_absolute(GameOutcome o) {
    if (o == GameOutcome::WhiteWin) return 1.0;
    if (o == GameOutcome::BlackWin) return -1.0;
    return 0.0;
}

// The value seen by `perspective` (1 White, -1 Black); none for any other perspective.
constexpr std::optional<double> encode_winner_from_perspective(GameOutcome o, int8_t perspective) {
    if (perspective != 1 && perspective != -1) return std::nullopt;
    double v = encode_winner_absolute(o);
    return perspective == 1 ? v : (v == 0.0 ? 0.0 : -v);
}

}  // namespace murkle
