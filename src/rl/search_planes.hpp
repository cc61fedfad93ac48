#pragma once
// The leaves' input planes in rows of an array that only the search writes: each row keeps what
// it holds, and a new leaf changes just the squares and constant planes that differ from it.
// A leaf is usually near the position its row held the round before (the same tree, a few
// plies away), so a row costs a few dozen stores instead of clearing and refilling every plane.
// No Python here.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "rl/batch.hpp"

namespace murkle::rl {

template <int NW>
class PlaneRows {
public:
    // Rows of `planes` selected planes of `area` squares each, held nowhere yet: the first
    // write of each row rewrites it whole.
    void reset(size_t rows, size_t planes, size_t area) {
        planes_ = planes;
        area_ = area;
        squares_.assign(rows * planes, Bitboard<NW>{});
        values_.assign(rows * planes, 0.0f);
        filled_.assign(rows, SlotSet{});
        whole_.assign(rows, 1);
    }

    // Forgets what every row holds (someone else may have written them): the next write of
    // each row rewrites it whole.
    void forget() { std::fill(whole_.begin(), whole_.end(), 1); }

    size_t rows() const { return whole_.size(); }

    // Row r (at `out`) holds the planes of game g as write_game_planes writes them.
    void write(size_t r, float* out, const Game<NW>& g, const PlaneSelection& sel, bool repetitions) {
        start(r, out);
        Bitboard<NW>* held = &squares_[r * planes_];
        SlotSet& filled = filled_[r];
        SlotSet seen{};
        visit_selected_piece_planes(g, sel, [&](size_t s, const Bitboard<NW>& now) {
            seen[s / 64] |= uint64_t{1} << (s % 64);
            set_squares(out + s * area_, held[s], now);
            if (now.empty()) filled[s / 64] &= ~(uint64_t{1} << (s % 64));
            else filled[s / 64] |= uint64_t{1} << (s % 64);
        });
        // Piece planes of history steps the game does not have (yet) are empty.
        for (size_t w = 0; w < filled.size(); ++w) {
            for (uint64_t left = filled[w] & ~seen[w]; left; left &= left - 1) {
                const size_t s = 64 * w + static_cast<size_t>(std::countr_zero(left));
                set_squares(out + s * area_, held[s], Bitboard<NW>{});
            }
            filled[w] &= seen[w];
        }
        float now[TOTAL_INPUT_PLANES - REPETITION_PLANE] = {};
        auto constant = [&](int plane, float v) { now[plane - REPETITION_PLANE] = v; };
        g.visit_constant_planes(constant);
        visit_repetition_planes(g, repetitions, constant);
        for (int p = REPETITION_PLANE; p < TOTAL_INPUT_PLANES; ++p)
            if (const int s = sel.slot[p]; s >= 0) set_value(r, out, static_cast<size_t>(s), now[p - REPETITION_PLANE]);
    }

    // Row `to` (at `out`) comes to hold what row `from` holds, changing only what differs.
    void copy(size_t from, size_t to, float* out) {
        start(to, out);
        const Bitboard<NW>* source = &squares_[from * planes_];
        Bitboard<NW>* held = &squares_[to * planes_];
        filled_[to] = filled_[from];
        for (size_t s = 0; s < planes_; ++s) {
            set_squares(out + s * area_, held[s], source[s]);
            set_value(to, out, s, values_[from * planes_ + s]);
        }
    }

private:
    // A row held nowhere is cleared first, so that what it holds is known.
    void start(size_t r, float* out) {
        if (!whole_[r]) return;
        std::memset(out, 0, sizeof(float) * planes_ * area_);
        std::fill_n(&squares_[r * planes_], planes_, Bitboard<NW>{});
        std::fill_n(&values_[r * planes_], planes_, 0.0f);
        filled_[r] = SlotSet{};
        whole_[r] = 0;
    }

    // A plane whose 1.0 squares were `held` gets those of `now`.
    static void set_squares(float* plane, Bitboard<NW>& held, const Bitboard<NW>& now) {
        const Bitboard<NW> changed = held ^ now;
        if (changed.empty()) return;
        (changed & held).for_each([&](uint32_t sq) { plane[sq] = 0.0f; });
        (changed & now).for_each([&](uint32_t sq) { plane[sq] = 1.0f; });
        held = now;
    }

    // Constant plane s of row r (at `out`) takes value v.
    void set_value(size_t r, float* out, size_t s, float v) {
        float& held = values_[r * planes_ + s];
        if (held == v) return;
        std::fill_n(out + s * area_, area_, v);
        held = v;
    }

    // A bit per plane of the selection.
    using SlotSet = std::array<uint64_t, (SELECTABLE_PLANES + 63) / 64>;

    size_t planes_ = 0, area_ = 0;
    std::vector<SlotSet> filled_;        // per row: the planes with a square at 1.0
    std::vector<Bitboard<NW>> squares_;  // per row and plane: the squares at 1.0
    std::vector<float> values_;          // per row and plane: a constant plane's value
    std::vector<char> whole_;            // per row: held nowhere, to be rewritten whole
};

}  // namespace murkle::rl
