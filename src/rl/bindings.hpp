#pragma once
// The parts of murkle_rl._core, each registered by its own file.
#include <nanobind/nanobind.h>

namespace murkle::rl {
namespace nb = nanobind;

void bind_batch(nb::module_& m);   // game_batch.cpp: GameBatch
void bind_games(nb::module_& m);   // games.cpp: single games, start positions
void bind_search(nb::module_& m);  // search_binding.cpp: Search

}  // namespace murkle::rl
