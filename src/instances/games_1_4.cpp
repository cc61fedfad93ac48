// Size classes 1 to 4.
#include "instances/games.hpp"

namespace murkle {
template class Game<1>;
template class Game<2>;
template class Game<3>;
template class Game<4>;
}  // namespace murkle
