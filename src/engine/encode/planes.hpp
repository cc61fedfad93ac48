#pragma once
// The input planes of a game: twelve piece planes for each of the last eight positions, the
// side to move's first, then the constant planes of turn, move number, castling and clock.
#include "../game.hpp"

namespace murkle {

template <int NW>
void Game<NW>::encode_game_planes(std::vector<float>& out) const {
    const size_t area = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    out.clear();
    out.resize(TOTAL_INPUT_PLANES * area);  // zero-filled
    visit_game_planes([&](size_t offset) { out[offset] = 1.0f; },
                      [&](int plane, float v) {
                          std::fill(out.begin() + plane * area, out.begin() + (plane + 1) * area, v);
                      });
}

template <int NW>
template <class One, class Constant>
void Game<NW>::visit_game_planes(One&& one, Constant&& constant) const {
    const size_t area = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    visit_history_boards([&](size_t k, const Board<NW>& b) { fill_chess_planes(one, b, turn_, k, area); });
    visit_constant_planes(constant);
}

template <int NW>
template <class Step>
void Game<NW>::visit_history_boards(Step&& step) const {
    step(size_t{0}, board_);
    const size_t steps = std::min<size_t>(history_.size(), 7);
    if (steps == 0) return;
    Board<NW> scratch = board_;
    for (size_t k = 1; k <= steps; ++k) {
        undo_squares(scratch, history_[history_.size() - k]);
        step(k, static_cast<const Board<NW>&>(scratch));
    }
}

template <int NW>
template <class Constant>
void Game<NW>::visit_constant_planes(Constant&& constant) const {
    const Color them = ~turn_;
    auto fill = [&](int plane, float v) {
        if (v != 0.0f) constant(plane, v);
    };
    fill(98, turn_ == Color::White ? 1.0f : 0.0f);
    fill(99, static_cast<float>(fullmove_) / 100.0f);
    fill(100, has_kingside_castling_rights(turn_) ? 1.0f : 0.0f);
    fill(101, has_queenside_castling_rights(turn_) ? 1.0f : 0.0f);
    fill(102, has_kingside_castling_rights(them) ? 1.0f : 0.0f);
    fill(103, has_queenside_castling_rights(them) ? 1.0f : 0.0f);
    fill(104, static_cast<float>(halfmove_) / 50.0f);
}

// The 1.0 squares of the twelve piece planes of history step k, the own side first.
template <int NW>
template <class One>
void Game<NW>::fill_chess_planes(One& one, const Board<NW>& b, Color own, size_t k, size_t area) {
    for (int c = 0; c < 2; ++c) {
        const bool is_own = (c == color_index(own));
        for (int t = 0; t < 6; ++t) {
            const size_t plane = (12 * k + (is_own ? 0 : 6) + t) * area;
            (b.piece_bitboards[t] & b.color_bitboards[c]).for_each([&](uint32_t i) { one(plane + i); });
        }
    }
}

}  // namespace murkle
