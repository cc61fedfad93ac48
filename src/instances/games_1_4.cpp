// Size classes 1 to 4.
#include "instances/games.hpp"

namespace murkle {
MURKLE_SIZE_CLASS(, 1)
MURKLE_SIZE_CLASS(, 2)
MURKLE_SIZE_CLASS(, 3)
MURKLE_SIZE_CLASS(, 4)
}  // namespace murkle
