// Size classes 5 to 8.
#include "instances/games.hpp"

namespace murkle {
MURKLE_SIZE_CLASS(, 5)
MURKLE_SIZE_CLASS(, 6)
MURKLE_SIZE_CLASS(, 7)
MURKLE_SIZE_CLASS(, 8)
}  // namespace murkle
