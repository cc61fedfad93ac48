// murkle-perft: perft node counts and per-move divide for any FEN on any supported board size.
//   murkle-perft [--width W] [--height H] [--no-castling] [--divide] FEN DEPTH
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/variant.hpp"

namespace {

constexpr const char* USAGE = "usage: murkle-perft [--width W] [--height H] [--no-castling] [--divide] FEN DEPTH";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s\n%s\n", message.c_str(), USAGE);
    return 2;
}

template <int NW>
uint64_t run(murkle::Game<NW>& game, int depth, bool divide) {
    if (!divide || depth < 1) return game.perft(depth);
    std::vector<murkle::MoveList> buffers(depth);
    murkle::MoveList root;
    game.legal_moves_into(root);
    uint64_t total = 0;
    for (const murkle::EMove& m : root) {
        game.do_move(m);
        const uint64_t n = game.perft_at(depth - 1, buffers);
        game.unmake_move();
        std::printf("%s: %llu\n", murkle::to_lan(m.to_move(game.width())).c_str(), static_cast<unsigned long long>(n));
        total += n;
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t width = 8, height = 8;
    bool castling = true, divide = false;
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
            divide = true;
        } else if (a == "-h" || a == "--help") {
            std::printf("%s\n", USAGE);
            return 0;
        } else {
            positional.emplace_back(a);
        }
    }
    if (positional.size() != 2) return usage_error("Expected a FEN and a depth");
    const std::string fen = positional[0] == "startpos" ? std::string(murkle::STANDARD_FEN) : positional[0];
    auto depth = murkle::parse_u64(positional[1]);
    if (!depth || positional[1][0] == '+' || *depth > 64) return usage_error("Invalid depth: " + positional[1]);

    auto game = murkle::make_game_inner(width, height, fen, castling);
    if (!game) {
        std::fprintf(stderr, "%s\n", game.error().c_str());
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const uint64_t nodes =
        std::visit([&](auto& g) { return run(g, static_cast<int>(*depth), divide); }, game.value());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("nodes %llu time %.3f nps %.0f\n", static_cast<unsigned long long>(nodes), seconds,
                seconds > 0 ? nodes / seconds : 0.0);
    return 0;
}
