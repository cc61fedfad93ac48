// Size classes 13 to 16.
#include "instances/games.hpp"

namespace murkle {
template class Game<13>;
template class Game<14>;
template class Game<15>;
template class Game<16>;
}  // namespace murkle
