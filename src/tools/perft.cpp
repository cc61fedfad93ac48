// murkle-perft: perft node counts and per-move divide for any FEN on any supported board size.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/variant.hpp"
#include "instances/games.hpp"

namespace {

constexpr const char* USAGE =
    "usage: murkle-perft [--width W] [--height H] [--no-castling] [--divide] [--reference] FEN DEPTH";

constexpr const char* HELP =
    "Counts the positions reached after DEPTH plies from FEN (perft).\n"
    "\n"
    "  FEN             a six-field FEN text, or startpos for the standard position\n"
    "  DEPTH           plies to play, 0 to 64\n"
    "  --width W       board width (default 8)\n"
    "  --height H      board height (default 8); a board has 1 to 1024 squares and at most 32 rows\n"
    "  --no-castling   no castling moves (castling exists on the 8x8 board only)\n"
    "  --divide        one line per legal move of FEN with the count below it\n"
    "  --reference     try every move on the board instead of using checks and pins (slower;\n"
    "                  for checking the fast generator)\n"
    "  -h, --help      this text\n"
    "\n"
    "The last line is: nodes N time SECONDS nps NODES_PER_SECOND. Errors go to standard error\n"
    "with exit status 2.";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s\n%s\n", message.c_str(), USAGE);
    return 2;
}

struct Options {
    int depth = 0;
    bool divide = false;
    bool reference = false;
};

template <int NW>
uint64_t run(murkle::Game<NW>& game, const Options& o) {
    if (!o.divide || o.depth < 1) return game.perft(o.depth, o.reference);
    std::vector<murkle::MoveList> buffers(o.depth);
    murkle::MoveList root;
    o.reference ? game.legal_moves_reference(root) : game.legal_moves_into(root);
    uint64_t total = 0;
    for (const murkle::EMove& m : root) {
        game.do_move(m);
        const uint64_t n = game.perft_at(o.depth - 1, buffers, o.reference);
        game.unmake_move();
        std::printf("%s: %llu\n", murkle::to_lan(game.to_move(m)).c_str(), static_cast<unsigned long long>(n));
        total += n;
    }
    return total;
}

// Options start with a dash; a lone dash or a dash before a digit is an argument.
bool is_option(std::string_view a) { return a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9'); }

}  // namespace

int main(int argc, char** argv) {
    uint64_t width = 8, height = 8;
    bool castling = true;
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--width" || a == "--height") {
            if (i + 1 >= argc) return usage_error(std::string(a) + " needs a value");
            auto v = murkle::parse_u64(argv[++i]);
            if (!v || argv[i][0] == '+') return usage_error("Invalid " + std::string(a.substr(2)) + ": " + argv[i]);
            (a == "--width" ? width : height) = *v;
        } else if (a == "--no-castling") {
            castling = false;
        } else if (a == "--divide") {
            options.divide = true;
        } else if (a == "--reference") {
            options.reference = true;
        } else if (a == "-h" || a == "--help") {
            std::printf("%s\n\n%s\n", USAGE, HELP);
            return 0;
        } else if (is_option(a)) {
            return usage_error("unknown option: " + std::string(a));
        } else {
            positional.emplace_back(a);
        }
    }
    if (positional.size() != 2) return usage_error("Expected a FEN and a depth");
    const std::string fen = positional[0] == "startpos" ? std::string(murkle::STANDARD_FEN) : positional[0];
    auto depth = murkle::parse_u64(positional[1]);
    if (!depth || positional[1][0] == '+' || *depth > 64) return usage_error("Invalid depth: " + positional[1]);
    options.depth = static_cast<int>(*depth);

    // The FEN reader itself explains a board of too many rows.
    const unsigned __int128 squares = static_cast<unsigned __int128>(width) * height;
    if (squares == 0 || squares > 1024)
        return usage_error("Unsupported board size " + std::to_string(width) + "x" + std::to_string(height) +
                           ": a board has 1 to 1024 squares and at most 32 rows");

    auto game = murkle::make_game_inner(width, height, fen, castling);
    if (!game) {
        std::fprintf(stderr, "%s\n", game.error().c_str());
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const uint64_t nodes = std::visit([&](auto& g) { return run(g, options); }, game.value());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("nodes %llu time %.3f nps %.0f\n", static_cast<unsigned long long>(nodes), seconds,
                seconds > 0 ? nodes / seconds : 0.0);
    return 0;
}
