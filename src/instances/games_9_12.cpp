// Size classes 9 to 12.
#include "instances/games.hpp"

namespace murkle {
template class Game<9>;
template class Game<10>;
template class Game<11>;
template class Game<12>;
}  // namespace murkle
