#pragma once
// The sixteen size classes of the game are compiled once each, in the files beside this one,
// spread over several translation units so that a parallel build shares them out. Code that
// includes this header uses those instances instead of compiling its own: the game, its board
// geometry and its byte codec, which the modules and murkle-perft would otherwise each compile
// again for every size class.
#include "engine/codec.hpp"
#include "engine/game.hpp"

#define MURKLE_SIZE_CLASS(extern_, NW)    \
    extern_ template class Game<NW>;      \
    extern_ template struct Geometry<NW>; \
    extern_ template struct GameCodec<NW>;

namespace murkle {
MURKLE_SIZE_CLASS(extern, 1)
MURKLE_SIZE_CLASS(extern, 2)
MURKLE_SIZE_CLASS(extern, 3)
MURKLE_SIZE_CLASS(extern, 4)
MURKLE_SIZE_CLASS(extern, 5)
MURKLE_SIZE_CLASS(extern, 6)
MURKLE_SIZE_CLASS(extern, 7)
MURKLE_SIZE_CLASS(extern, 8)
MURKLE_SIZE_CLASS(extern, 9)
MURKLE_SIZE_CLASS(extern, 10)
MURKLE_SIZE_CLASS(extern, 11)
MURKLE_SIZE_CLASS(extern, 12)
MURKLE_SIZE_CLASS(extern, 13)
MURKLE_SIZE_CLASS(extern, 14)
MURKLE_SIZE_CLASS(extern, 15)
MURKLE_SIZE_CLASS(extern, 16)
}  // namespace murkle
