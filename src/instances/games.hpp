#pragma once
// The sixteen size classes of the game are compiled once each, in the files beside this one,
// spread over several translation units so that a parallel build shares them out. Code that
// includes this header uses those instances instead of compiling its own.
#include "engine/game.hpp"

namespace murkle {
extern template class Game<1>;
extern template class Game<2>;
extern template class Game<3>;
extern template class Game<4>;
extern template class Game<5>;
extern template class Game<6>;
extern template class Game<7>;
extern template class Game<8>;
extern template class Game<9>;
extern template class Game<10>;
extern template class Game<11>;
extern template class Game<12>;
extern template class Game<13>;
extern template class Game<14>;
extern template class Game<15>;
extern template class Game<16>;
}  // namespace murkle
