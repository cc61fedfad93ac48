#pragma once
// Move planes: a move's direction and distance, knight jump or underpromotion, but not its
// source square. Directions are absolute; nothing is mirrored for Black.
#include <cstdint>
#include <optional>

#include "../move.hpp"

namespace murkle {

using i128 = __int128;
using u128 = unsigned __int128;


// A move plane that no move has.
constexpr uint32_t NO_PLANE = UINT32_MAX;

// Straight and diagonal directions, clockwise from "up" (towards Black).
constexpr Step PLANE_DIRECTIONS[8] = {{0, 1}, {1, 1}, {1, 0}, {1, -1}, {0, -1}, {-1, -1}, {-1, 0}, {-1, 1}};
constexpr Step PLANE_KNIGHT_JUMPS[8] = {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};

// 8 * max(width, height) + 18, exact for any 64-bit width and height.
constexpr u128 move_planes_count(uint64_t width, uint64_t height) {
    return u128{8} * (width > height ? width : height) + 18;
}

// The plane of a step (dc, dr) with an optional promotion kind, on a board whose larger side
// is D + 1 (at least 1), or none. Written for any integer type wide enough for the values.
template <class I>
constexpr std::optional<I> plane_of_step(I dc, I dr, std::optional<PieceType> promotion, I D) {
    for (int k = 0; k < 8; ++k)
        if (dc == PLANE_KNIGHT_JUMPS[k].dc && dr == PLANE_KNIGHT_JUMPS[k].dr) return I(8 * D + k);

    if (promotion && *promotion != PieceType::Queen && (dr == 1 || dr == -1)) {
        if (dc < -1 || dc > 1) return std::nullopt;
        PieceType t = *promotion;
        if (t != PieceType::Knight && t != PieceType::Bishop && t != PieceType::Rook) return std::nullopt;
        int kind = static_cast<int>(t) - 1;
        return I(8 * D + 8 + (dr == -1 ? 9 : 0) + 3 * (dc + 1) + kind);
    }

    int direction;
    if (dc == 0) {
        if (dr == 0) return std::nullopt;
        direction = dr > 0 ? 0 : 4;
    } else if (dc > 0) {
        if (dr == dc) direction = 1;
        else if (dr == 0) direction = 2;
        else if (dr == -dc) direction = 3;
        else return std::nullopt;
    } else {
        if (dr == dc) direction = 5;
        else if (dr == 0) direction = 6;
        else if (dr == -dc) direction = 7;
        else return std::nullopt;
    }
    const I adc = dc < 0 ? -dc : dc, adr = dr < 0 ? -dr : dr;
    const I distance = adc > adr ? adc : adr;
    if (distance > D) return std::nullopt;
    return I(direction * D + distance - 1);
}

// The plane of a move on a board of the given size, or none.
inline std::optional<u128> encode_move(const Move& m, uint64_t width, uint64_t height) {
    const i128 M = width > height ? width : height;
    if (M == 0) return std::nullopt;
    const i128 dc = i128(m.dst.col) - i128(m.src.col);
    const i128 dr = i128(m.dst.row) - i128(m.src.row);
    auto p = plane_of_step<i128>(dc, dr, m.promotion, M - 1);
    if (!p) return std::nullopt;
    return u128(*p);
}

// The move from (src_col, src_row) along a plane, or none when the plane does not exist or
// the destination is off the board. The source square itself is not tested.
inline std::optional<Move> decode_from_plane(uint64_t plane, uint64_t src_col, uint64_t src_row, uint64_t width,
                                             uint64_t height) {
    const i128 M = width > height ? width : height;
    const i128 D = M - 1;
    const i128 p = plane;
    i128 dc, dr;
    std::optional<PieceType> promotion;
    uint8_t flags = 0;
    if (p < 8 * D) {
        const Step s = PLANE_DIRECTIONS[static_cast<int>(p / D)];
        const i128 distance = p % D + 1;
        dc = distance * s.dc;
        dr = distance * s.dr;
    } else if (p < 8 * M) {
        const Step s = PLANE_KNIGHT_JUMPS[static_cast<int>(p - 8 * D)];
        dc = s.dc;
        dr = s.dr;
    } else if (p < 8 * M + 18) {
        const int u = static_cast<int>(p - 8 * M);
        dr = u < 9 ? 1 : -1;
        const int w = u < 9 ? u : u - 9;
        dc = w / 3 - 1;
        promotion = static_cast<PieceType>(w % 3 + 1);
        flags = PROMOTION;
    } else {
        return std::nullopt;
    }
    const i128 col = i128(src_col) + dc, row = i128(src_row) + dr;
    if (col < 0 || col >= i128(width) || row < 0 || row >= i128(height)) return std::nullopt;
    return Move{{src_col, src_row}, {static_cast<uint64_t>(col), static_cast<uint64_t>(row)}, flags, promotion};
}

}  // namespace murkle
