// murkle_rl._core: batched games and tree search over the engine, NumPy arrays in and out, the
// GIL released while the engine works. Games cross to and from `murkle_chess.Game` objects by
// value.
#include "rl/bindings.hpp"

NB_MODULE(_core, m) {
    m.doc() = "The compiled core of murkle_rl: batched games and tree search over the murkle_chess engine.";
    murkle::rl::bind_batch(m);
    murkle::rl::bind_games(m);
    murkle::rl::bind_search(m);
}
