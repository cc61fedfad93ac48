// Size classes 13 to 16.
#include "instances/games.hpp"

namespace murkle {
MURKLE_SIZE_CLASS(, 13)
MURKLE_SIZE_CLASS(, 14)
MURKLE_SIZE_CLASS(, 15)
MURKLE_SIZE_CLASS(, 16)
}  // namespace murkle
