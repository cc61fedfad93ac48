// The engine's floor for a search simulation: one legal-move generation, one make and one
// unmake, measured as a full-width walk of the tree below a position that lists the moves at
// every node (leaves included), so each node past the root costs exactly that.
//
//     engine_floor FEN DEPTH SECONDS     (8x8, castling allowed)
//
// Walks until SECONDS have passed; prints "nodes N seconds S".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/game.hpp"

namespace {

using Game = murkle::Game<1>;  // 64 squares: one word per square set

uint64_t walk(Game& game, int depth, std::vector<murkle::MoveList>& lists) {
    murkle::MoveList& moves = lists[depth];
    game.legal_moves_into(moves);
    uint64_t nodes = 1;
    if (depth == 0) return nodes;
    for (const murkle::EMove& m : moves) {
        game.do_move(m);
        nodes += walk(game, depth - 1, lists);
        game.unmake_move();
    }
    return nodes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: engine_floor FEN DEPTH SECONDS\n");
        return 2;
    }
    auto made = Game::from_fen(8, 8, argv[1], true);
    if (!made) {
        std::fprintf(stderr, "%s\n", made.error().c_str());
        return 2;
    }
    Game game = made.take();
    const int depth = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    std::vector<murkle::MoveList> lists(depth + 1);
    uint64_t nodes = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
        nodes += walk(game, depth, lists);
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (elapsed < seconds);
    std::printf("nodes %llu seconds %.6f\n", static_cast<unsigned long long>(nodes), elapsed);
    return 0;
}
