// OpenSpiel's C++ MCTS on chess with a zero evaluator (uniform prior over the legal actions,
// value 0): the peer that bench_search.py compares the search with. OpenSpiel's Python module
// offers only a rollout evaluator to C++ searches, so this file is compiled against the headers
// its wheel ships and linked with its shared library (bench_search.py does both).
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "open_spiel/algorithms/mcts.h"
#include "open_spiel/spiel.h"

namespace {

namespace os = open_spiel;

class ZeroEvaluator : public os::algorithms::Evaluator {
public:
    std::vector<double> Evaluate(const os::State& state) override {
        return std::vector<double>(state.NumPlayers(), 0.0);
    }
    os::ActionsAndProbs Prior(const os::State& state) override {
        std::vector<os::Action> legal = state.LegalActions();
        os::ActionsAndProbs prior;
        prior.reserve(legal.size());
        for (os::Action a : legal) prior.emplace_back(a, 1.0 / legal.size());
        return prior;
    }
};

}  // namespace

// Runs `searches` searches of `simulations` simulations each from `fen` (PUCT selection,
// c = 1.25, no solver, no noise), every one on a fresh tree; returns their seconds in all.
extern "C" double openspiel_mcts_seconds(const char* fen, int simulations, int searches) {
    std::shared_ptr<const os::Game> game = os::LoadGame("chess");
    std::unique_ptr<os::State> state = game->NewInitialState(std::string(fen));
    auto evaluator = std::make_shared<ZeroEvaluator>();
    os::algorithms::MCTSBot bot(*game, evaluator, 1.25, simulations, /*max_memory_mb=*/1 << 14,
                                /*solve=*/false, /*seed=*/1, /*verbose=*/false,
                                os::algorithms::ChildSelectionPolicy::PUCT);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < searches; ++i) bot.MCTSearch(*state);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
