#pragma once
// Square geometry of one board size: for every square, its column and row, the squares a
// knight or king reaches (as sets and in the order the move generator visits them), the
// squares from which a pawn attacks it, and the eight rays leading away from it; and the move
// plane of every step between two squares. Built once per board size and shared by every game
// of that size while any of them lives.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "bitboard.hpp"
#include "encode/action.hpp"
#include "magics.hpp"

namespace murkle {

// Rays: the four lines of a rook, then the four diagonals of a bishop. Rays with an even
// number run towards higher square indices, the others towards lower ones.
constexpr Step ROOK_RAYS[4] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
constexpr Step BISHOP_RAYS[4] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
constexpr Step KNIGHT_OFFSETS[8] = {{-2, -1}, {-2, 1}, {-1, -2}, {-1, 2}, {1, -2}, {1, 2}, {2, -1}, {2, 1}};
constexpr Step KING_STEPS[8] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};

// The squares one piece reaches by its steps, in the order of its step table.
struct StepTargets {
    uint8_t count = 0;
    uint16_t to[8] = {};
};

// The square of `set` nearest to the start of ray d (even rays run towards higher indices).
template <int NW>
uint32_t first_along(int d, const Bitboard<NW>& set) {
    return d % 2 == 0 ? set.lowest() : set.highest();
}

// Calls f(std::integral_constant<int, d>) for the rays d = First .. Last - 1, each direction
// known when compiling.
template <int First, int Last, class F>
[[gnu::always_inline]] inline void for_rays(F&& f) {
    [&]<int... D>(std::integer_sequence<int, D...>) {
        (f(std::integral_constant<int, First + D>{}), ...);
    }(std::make_integer_sequence<int, Last - First>{});
}

template <int NW>
struct Geometry {
    int width = 0, height = 0;
    Bitboard<NW> all;  // every square of the board
    Bitboard<NW> first_col, last_col;
    std::vector<Bitboard<NW>> rows;
    std::vector<uint16_t> col, row;
    std::vector<StepTargets> knight_steps, king_steps;
    std::vector<Bitboard<NW>> knight, king;
    std::vector<Bitboard<NW>> pawn_attackers[2];  // by colour index: where such a pawn attacks from
    // ROOK_RAYS then BISHOP_RAYS, for every index a Bitboard<NW> can hold: past the board's
    // last square every ray is empty, so the last index can stop a ray towards higher indices
    // as square 0 stops one towards lower indices (ray_attacks).
    std::vector<Bitboard<NW>> ray[8];
    std::vector<Bitboard<NW>> lines;              // all eight rays together
    std::vector<uint32_t> step_plane;             // by step_index(dc, dr); NO_PLANE for none
    const SliderMagics* magics = nullptr;         // boards of one word only

    // Steps run from -(width - 1) to width - 1 columns and likewise rows.
    size_t step_index(int dc, int dr) const {
        return static_cast<size_t>(dr + height - 1) * static_cast<size_t>(2 * width - 1) +
               static_cast<size_t>(dc + width - 1);
    }

    Geometry(int w, int h) : width(w), height(h) {
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
        rows.resize(static_cast<size_t>(h));
        col.resize(n);
        row.resize(n);
        knight_steps.resize(n);
        king_steps.resize(n);
        knight.resize(n);
        king.resize(n);
        pawn_attackers[0].resize(n);
        pawn_attackers[1].resize(n);
        for (auto& r : ray) r.resize(64 * NW);
        lines.resize(n);
        auto on = [&](int c, int r) { return c >= 0 && c < w && r >= 0 && r < h; };
        step_plane.resize(static_cast<size_t>(2 * w - 1) * static_cast<size_t>(2 * h - 1));
        for (int dr = 1 - h; dr < h; ++dr) {
            for (int dc = 1 - w; dc < w; ++dc) {
                const auto p = plane_of_step<int32_t>(dc, dr, std::nullopt, std::max(w, h) - 1);
                step_plane[step_index(dc, dr)] = p ? static_cast<uint32_t>(*p) : NO_PLANE;
            }
        }
        auto index = [&](int c, int r) { return static_cast<uint32_t>(r * w + c); };
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                const uint32_t sq = index(c, r);
                all.set(sq);
                rows[static_cast<size_t>(r)].set(sq);
                if (c == 0) first_col.set(sq);
                if (c == w - 1) last_col.set(sq);
                col[sq] = static_cast<uint16_t>(c);
                row[sq] = static_cast<uint16_t>(r);
                auto steps = [&](const Step(&table)[8], StepTargets& list, Bitboard<NW>& set) {
                    for (const Step& s : table) {
                        if (!on(c + s.dc, r + s.dr)) continue;
                        list.to[list.count++] = static_cast<uint16_t>(index(c + s.dc, r + s.dr));
                        set.set(index(c + s.dc, r + s.dr));
                    }
                };
                steps(KNIGHT_OFFSETS, knight_steps[sq], knight[sq]);
                steps(KING_STEPS, king_steps[sq], king[sq]);
                for (int dc : {-1, 1}) {
                    if (on(c + dc, r - 1)) pawn_attackers[0][sq].set(index(c + dc, r - 1));
                    if (on(c + dc, r + 1)) pawn_attackers[1][sq].set(index(c + dc, r + 1));
                }
                for (int d = 0; d < 8; ++d) {
                    const Step s = d < 4 ? ROOK_RAYS[d] : BISHOP_RAYS[d - 4];
                    for (int cc = c + s.dc, rr = r + s.dr; on(cc, rr); cc += s.dc, rr += s.dr) {
                        ray[d][sq].set(index(cc, rr));
                        lines[sq].set(index(cc, rr));
                    }
                }
            }
        }
        if constexpr (NW == 1)
            magics = SliderMagics::of(w, h, [&](int d, uint32_t sq) { return ray[d][sq].words[0]; });
    }

    // The shared geometry of a board size.
    static std::shared_ptr<const Geometry> of(int w, int h) {
        static std::mutex mutex;
        static std::map<std::pair<int, int>, std::weak_ptr<const Geometry>> cache;
        std::lock_guard<std::mutex> lock(mutex);
        auto& slot = cache[{w, h}];
        if (auto g = slot.lock()) return g;
        auto g = std::make_shared<const Geometry>(w, h);
        slot = g;
        return g;
    }
};

}  // namespace murkle
