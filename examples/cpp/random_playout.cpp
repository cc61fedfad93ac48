// random_playout: uniformly random games from one position on any board size the engine takes,
// played with the header-only engine (make, then unmake back to the start), and their results.
//
//   random_playout [--width W] [--height H] [--fen FEN] [--no-castling]
//                  [--playouts N] [--seed S] [--max-plies P] [--moves]
//
// Each size class a program names is compiled once, and a Game<NW> holds any board of at most
// 64 * NW squares; this program compiles five classes and plays each board in the smallest of
// them that holds it (murkle::make_game_inner, which picks the exact class, compiles all sixteen).
//
// Without --fen it starts from the engine's start position of the size (murkle::start_fen): the
// standard position on 8 x 8, elsewhere back ranks with pawns in front from four rows on.
// The same seed gives the same games. --moves prints each game's moves in long algebraic notation.
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <murkle/engine/game.hpp>
#include <murkle/engine/start.hpp>

namespace {

constexpr const char* USAGE =
    "usage: random_playout [--width W] [--height H] [--fen FEN] [--no-castling]\n"
    "                      [--playouts N] [--seed S] [--max-plies P] [--moves]";

struct Options {
    uint64_t width = 8, height = 8;
    std::string fen;  // empty: the default start position
    bool castling = true;
    uint64_t playouts = 100, seed = 1, max_plies = 1000;
    bool print_moves = false;
};

struct Tally {
    std::map<std::string, uint64_t> outcomes;
    uint64_t plies = 0;
    double white_score = 0;  // 1 per White win, 1/2 per draw
};

template <int NW>
void play(murkle::Game<NW> game, const Options& opt, Tally& tally) {
    std::mt19937_64 rng(opt.seed);
    murkle::MoveList moves;
    std::vector<std::string> played;
    for (uint64_t n = 1; n <= opt.playouts; ++n) {
        played.clear();
        uint64_t ply = 0;
        for (; ply < opt.max_plies && !game.is_over(); ++ply) {
            game.legal_moves_into(moves);
            const murkle::EMove& m = moves[rng() % moves.size()];
            if (opt.print_moves) played.push_back(murkle::to_lan(m.to_move(game.width())));
            game.do_move(m);
        }
        const auto outcome = game.outcome();
        const std::string name = outcome ? murkle::outcome_name(*outcome) : "unfinished";
        ++tally.outcomes[name];
        tally.plies += ply;
        if (outcome) tally.white_score += (murkle::encode_winner_absolute(*outcome) + 1) / 2;
        else tally.white_score += 0.5;
        if (opt.print_moves) {
            std::printf("playout %llu: %s %llu:", static_cast<unsigned long long>(n), name.c_str(),
                        static_cast<unsigned long long>(ply));
            for (const std::string& lan : played) std::printf(" %s", lan.c_str());
            std::printf("\n");
        }
        while (ply-- > 0) game.unmake_move();
    }
}

// Plays in Game<NW> if the board fits it, else in the next class of the list.
template <int NW, int... Larger>
murkle::Result<Tally> play_in_size_class(const std::string& fen, const Options& opt) {
    if (opt.width * opt.height > 64u * NW) {
        if constexpr (sizeof...(Larger) > 0) return play_in_size_class<Larger...>(fen, opt);
        else return murkle::fail("Board does not fit any size class");
    } else {
        auto game = murkle::Game<NW>::from_fen(opt.width, opt.height, fen, opt.castling);
        if (!game) return murkle::fail(game.error());
        Tally tally;
        play(game.take(), opt, tally);
        return tally;
    }
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s\n%s\n", message.c_str(), USAGE);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    const std::map<std::string_view, uint64_t*> numbers = {
        {"--width", &opt.width},       {"--height", &opt.height}, {"--playouts", &opt.playouts},
        {"--seed", &opt.seed},         {"--max-plies", &opt.max_plies}};
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (auto it = numbers.find(a); it != numbers.end()) {
            if (i + 1 >= argc) return usage_error(std::string(a) + " needs a value");
            auto v = murkle::parse_u64(argv[++i]);
            if (!v || argv[i][0] == '+') return usage_error("Invalid " + std::string(a.substr(2)) + ": " + argv[i]);
            *it->second = *v;
        } else if (a == "--fen") {
            if (i + 1 >= argc) return usage_error("--fen needs a value");
            opt.fen = argv[++i];
        } else if (a == "--no-castling") {
            opt.castling = false;
        } else if (a == "--moves") {
            opt.print_moves = true;
        } else if (a == "-h" || a == "--help") {
            std::printf("%s\n", USAGE);
            return 0;
        } else {
            return usage_error("Unknown argument: " + std::string(a));
        }
    }
    if (opt.width == 0 || opt.height == 0 || opt.height > 32 || opt.width > 1024 || opt.width * opt.height > 1024)
        return usage_error("Board must have 1 to 32 rows and at most 1024 squares");
    const auto start = murkle::start_fen(opt.width, opt.height);
    if (opt.fen.empty() && !start) return usage_error("A 1x1 board has no start position: two kings need two squares");
    const std::string fen = opt.fen.empty() ? *start : opt.fen;

    auto result = play_in_size_class<1, 2, 4, 8, 16>(fen, opt);
    if (!result) {
        std::fprintf(stderr, "%s\n", result.error().c_str());
        return 2;
    }
    const Tally& tally = result.value();

    std::printf("board %llux%llu, start %s, seed %llu\n", static_cast<unsigned long long>(opt.width),
                static_cast<unsigned long long>(opt.height), fen.c_str(), static_cast<unsigned long long>(opt.seed));
    for (const auto& [name, count] : tally.outcomes)
        std::printf("%-22s %llu\n", name.c_str(), static_cast<unsigned long long>(count));
    if (opt.playouts > 0) {
        std::printf("plies per playout      %.1f\n", static_cast<double>(tally.plies) / opt.playouts);
        std::printf("White's score          %.3f\n", tally.white_score / opt.playouts);
    }
    return 0;
}
