// Size classes 5 to 8.
#include "instances/games.hpp"

namespace murkle {
template class Game<5>;
template class Game<6>;
template class Game<7>;
template class Game<8>;
}  // namespace murkle
