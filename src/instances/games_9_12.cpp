// Size classes 9 to 12.
#include "instances/games.hpp"

namespace murkle {
MURKLE_SIZE_CLASS(, 9)
MURKLE_SIZE_CLASS(, 10)
MURKLE_SIZE_CLASS(, 11)
MURKLE_SIZE_CLASS(, 12)
}  // namespace murkle
