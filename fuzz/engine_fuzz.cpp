// Fuzz target over the engine itself: a board size, a FEN or placement text, then a sequence of
// moves, take-backs, square edits, text readers, action decoding and plane encoding, with the
// engine's invariants checked after each step. Any broken invariant aborts with its line.
//
// Input layout (FuzzedDataProvider): numbers are taken from the end of the input, texts from
// the front. The last bytes give width, height and whether castling is enabled; the first
// text is the FEN (or, failing that, the board is built from the bytes).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/codec.hpp"
#include "engine/variant.hpp"

namespace {

using namespace murkle;

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::fprintf(stderr, "engine_fuzz.cpp:%d: broken: %s\n", __LINE__, #cond); \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

// Everything a game holds, for "nothing changed" comparisons.
template <int NW>
struct State {
    std::string fen;
    uint64_t hash;
    size_t history;
    std::array<Bitboard<NW>, 6> kinds;
    std::array<Bitboard<NW>, 2> colors;
    Position white_king, black_king;
    std::optional<Position> en_passant;
    std::array<bool, 4> rights;
    uint32_t halfmove, fullmove;
    Color turn;
    bool operator==(const State&) const = default;
};

template <int NW>
State<NW> state(const Game<NW>& g) {
    return {g.to_fen(),
            g.hash(),
            g.history().size(),
            g.board().piece_bitboards,
            g.board().color_bitboards,
            g.king_square(Color::White),
            g.king_square(Color::Black),
            g.en_passant_square(),
            g.castling_rights(),
            g.halfmove_clock(),
            g.fullmove_number(),
            g.turn()};
}

bool same_entry(const HistoryEntry& a, const HistoryEntry& b) {
    return a.mv == b.mv && a.prev_en_passant_square == b.prev_en_passant_square &&
           a.prev_castling_rights == b.prev_castling_rights && a.prev_halfmove_clock == b.prev_halfmove_clock &&
           a.captured == b.captured;
}

template <int NW>
bool same_board(const Board<NW>& a, const Board<NW>& b) {
    return a.piece_bitboards == b.piece_bitboards && a.color_bitboards == b.color_bitboards && a.width == b.width &&
           a.height == b.height;
}

std::optional<Piece> piece_from(uint8_t v) {
    if (v % 13 == 12) return std::nullopt;
    return Piece{(v % 13) & 1 ? Color::Black : Color::White, static_cast<PieceType>((v % 13) / 2)};
}

// ---------------------------------------------------------------------------------------------

template <int NW>
class Session {
public:
    Session(FuzzedDataProvider& in, Game<NW> g, bool castling) : in_(in), g_(std::move(g)), castling_(castling) {}

    void run() {
        check_queries();
        while (in_.remaining_bytes() > 0) step();
    }

private:
    FuzzedDataProvider& in_;
    Game<NW> g_;
    bool castling_;

    uint64_t width() const { return g_.width(); }
    uint64_t height() const { return g_.height(); }

    // A coordinate, mostly on the board, sometimes far off it.
    uint64_t coordinate(uint64_t size) {
        const uint8_t b = in_.ConsumeIntegral<uint8_t>();
        if (b == 255) return in_.ConsumeIntegral<uint64_t>();
        return b % (size + 2);
    }

    void step() {
        switch (in_.ConsumeIntegralInRange<int>(0, 14)) {
            case 0: case 1: case 2: play_legal(); break;
            case 3: play_anything(); break;
            case 4: take_back(); break;
            case 5: edit_square(); break;
            case 6: play_action(); break;
            case 7: check_actions(); break;
            case 8: check_planes(); break;
            case 9: check_fen_round_trip(); break;
            case 10: check_lan(); break;
            case 11: check_square_texts(); break;
            case 12: check_clone(); break;
            case 13: check_queries(); break;
            case 14: check_bytes(); break;
        }
    }

    // Makes the move, checks what every move does, takes it back and checks that everything
    // is as before; then makes it again to go on from there.
    void make_and_unmake(const Move& m, bool expect_legal) {
        const State<NW> before = state(g_);
        const std::optional<HistoryEntry> last =
            g_.history().empty() ? std::nullopt : std::optional<HistoryEntry>(g_.history().back());
        const bool made = g_.make_move(m);
        if (expect_legal) CHECK(made);
        if (!made) {
            CHECK(state(g_) == before);
            return;
        }
        CHECK(g_.history().size() == before.history + 1);
        CHECK(g_.history().back().mv == m);
        CHECK(g_.turn() == ~before.turn);
        CHECK(g_.unmake_move());
        CHECK(state(g_) == before);
        if (last) CHECK(same_entry(g_.history().back(), *last));
        CHECK(g_.make_move(m));
    }

    void play_legal() {
        const std::vector<Move> moves = g_.legal_moves();
        if (moves.empty()) return;
        const Move m = moves[in_.ConsumeIntegralInRange<size_t>(0, moves.size() - 1)];
        CHECK(g_.is_legal_move(m));
        make_and_unmake(m, true);
    }

    // Any squares, flags and promotion kind: refused unchanged, or made and undone exactly.
    void play_anything() {
        Move m;
        m.src = Position{coordinate(width()), coordinate(height())};
        m.dst = Position{coordinate(width()), coordinate(height())};
        m.flags = in_.ConsumeIntegral<uint8_t>();
        const uint8_t promo = in_.ConsumeIntegral<uint8_t>();
        if (promo < 6) m.promotion = static_cast<PieceType>(promo);
        const bool legal = g_.is_legal_move(m);
        make_and_unmake(m, legal);
    }

    void take_back() {
        const size_t n = g_.history().size();
        CHECK(g_.unmake_move() == (n > 0));
        CHECK(g_.history().size() == (n > 0 ? n - 1 : 0));
    }

    // Edits only the board: kings' cached squares, rights and clocks stay.
    void edit_square() {
        const uint64_t col = coordinate(width()), row = coordinate(height());
        const auto piece = piece_from(in_.ConsumeIntegral<uint8_t>());
        State<NW> before = state(g_);
        g_.set_piece(col, row, piece);
        const State<NW> after = state(g_);
        CHECK(after.white_king == before.white_king && after.black_king == before.black_king);
        CHECK(after.rights == before.rights && after.halfmove == before.halfmove && after.turn == before.turn);
        CHECK(after.history == before.history);
        if (col < width() && row < height()) CHECK(g_.get_piece(col, row) == piece);
        else CHECK(after.kinds == before.kinds && after.colors == before.colors);
    }

    void play_action() {
        const uint64_t action = in_.ConsumeIntegralInRange<uint64_t>(0, g_.action_size() + 2);
        const auto decoded = g_.decode_action(action);
        const State<NW> before = state(g_);
        const bool applied = g_.apply_action(action);
        CHECK(applied == decoded.has_value());
        if (!applied) {
            CHECK(state(g_) == before);
            return;
        }
        CHECK(g_.history().back().mv == *decoded);
        CHECK(g_.unmake_move());
        CHECK(state(g_) == before);
        CHECK(g_.apply_action(action));
    }

    // Every legal move's plane decodes to a legal move with the same plane. Decoding builds
    // the whole move list, so on crowded boards a spread of the moves is decoded.
    void check_actions() {
        const std::vector<Move> moves = g_.legal_moves();
        const std::vector<uint32_t> indices = g_.legal_action_indices();
        const size_t stride = moves.size() / 16 + 1;
        size_t k = 0;
        for (size_t n = 0; n < moves.size(); ++n) {
            const Move& m = moves[n];
            const auto plane = encode_move(m, width(), height());
            if (!plane) continue;
            CHECK(*plane < g_.action_size());
            CHECK(k < indices.size() && indices[k++] == *plane);
            if (n % stride != 0) continue;
            const auto decoded = g_.decode_action(static_cast<uint64_t>(*plane));
            CHECK(decoded && g_.is_legal_move(*decoded));
            CHECK(encode_move(*decoded, width(), height()) == plane);
            const auto back = decode_from_plane(static_cast<uint64_t>(*plane), m.src.col, m.src.row, width(), height());
            CHECK(back && back->dst == m.dst);
        }
        CHECK(k == indices.size());
    }

    void check_planes() {
        std::vector<float> planes;
        g_.encode_game_planes(planes);
        const size_t area = static_cast<size_t>(width() * height());
        CHECK(planes.size() == TOTAL_INPUT_PLANES * area);
        // The current position's twelve piece planes hold exactly the pieces on the board.
        size_t ones = 0;
        for (size_t i = 0; i < 12 * area; ++i) {
            CHECK(planes[i] == 0.0f || planes[i] == 1.0f);
            ones += planes[i] == 1.0f;
        }
        CHECK(ones == static_cast<size_t>((g_.board().color_bitboards[0] | g_.board().color_bitboards[1]).count()));
        CHECK(planes[98 * area] == (g_.turn() == Color::White ? 1.0f : 0.0f));
    }

    // A game's FEN reads back to the same game, as far as the FEN carries it.
    void check_fen_round_trip() {
        const std::string fen = g_.to_fen();
        const auto back = Game<NW>::from_fen(width(), height(), fen, castling_);
        const auto white = g_.board().find_king(Color::White), black = g_.board().find_king(Color::Black);
        if (!white || !black) {
            CHECK(!back);
            CHECK(back.error() == (white ? "No black king found in FEN position" : "No white king found in FEN position"));
            return;
        }
        CHECK(back);
        const Game<NW>& r = back.value();
        CHECK(same_board(r.board(), g_.board()));
        CHECK(r.turn() == g_.turn() && r.castling_rights() == g_.castling_rights());
        CHECK(r.halfmove_clock() == g_.halfmove_clock() && r.fullmove_number() == g_.fullmove_number());
        CHECK(r.history().empty());
        // The reader tracks the lowest king of each colour; the game may follow another one.
        if (*white == g_.king_square(Color::White) && *black == g_.king_square(Color::Black)) {
            CHECK(r.to_fen() == fen);
            if (!g_.en_passant_square() || g_.has_legal_en_passant()) CHECK(r.hash() == g_.hash());
        }
    }

    // LAN of a legal move reads back to the same move, flags included; any text is safe.
    void check_lan() {
        const std::string text = in_.ConsumeRandomLengthString(12);
        (void)g_.move_from_lan(text);
        (void)from_lan(text, width(), height());
        for (const Move& m : g_.legal_moves()) {
            // The reader takes two-character squares only.
            if (square_text(m.src).size() != 2 || square_text(m.dst).size() != 2) continue;
            const auto back = g_.move_from_lan(to_lan(m));
            CHECK(back && back.value() == m);
        }
    }

    void check_square_texts() {
        const std::string text = in_.ConsumeRandomLengthString(12);
        (void)from_algebraic(text);
        (void)from_numeric_square(text);
        const Position p{coordinate(width()), coordinate(height())};
        if (p.col >= width() || p.row >= height()) return;
        const std::string s = square_text(p);
        if (p.col <= 25) {
            const auto back = from_algebraic(s);
            CHECK(back && back.value() == p);
        } else {
            CHECK(from_numeric_square(s) == p);
        }
    }

    // A copy is the same game, and playing on it leaves the original alone.
    void check_clone() {
        Game<NW> copy = g_;
        const State<NW> before = state(g_);
        CHECK(state(copy) == before);
        const std::vector<Move> moves = copy.legal_moves();
        if (!moves.empty()) CHECK(copy.make_move(moves.front()));
        copy.set_piece(0, 0, std::nullopt);
        CHECK(state(g_) == before);
    }

    // The game's bytes read back as the same game, history entry by entry; changed by the
    // input, they are refused or read as a game whose every query answers and whose history
    // unwinds to its end.
    void check_bytes() {
        const std::string bytes = write_game(g_);
        auto back = GameCodec<NW>::read(bytes);
        CHECK(back);
        CHECK(state(back.value()) == state(g_));
        for (size_t k = 0; k < g_.history().size(); ++k) CHECK(same_entry(back.value().history()[k], g_.history()[k]));
        std::string changed = bytes;
        for (int edits = in_.ConsumeIntegralInRange<int>(1, 4); edits > 0; --edits) {
            const size_t at = in_.ConsumeIntegralInRange<size_t>(0, changed.size() - 1);
            changed[at] = static_cast<char>(in_.ConsumeIntegral<uint8_t>());
        }
        if (in_.ConsumeBool()) changed.resize(in_.ConsumeIntegralInRange<size_t>(0, changed.size()));
        auto other = GameCodec<NW>::read(changed);
        if (!other) return;
        Game<NW> h = other.take();
        for (;;) {
            const std::vector<Move> legal = h.legal_moves();
            CHECK(h.is_over() == h.outcome().has_value());
            std::vector<float> planes;
            h.encode_game_planes(planes);
            (void)h.to_fen();
            if (!h.unmake_move()) break;
        }
    }

    void check_queries() {
        const std::vector<Move> legal = g_.legal_moves();
        const std::vector<Move> pseudo = g_.pseudo_legal_moves();
        const bool check = g_.is_check();
        CHECK(g_.is_checkmate() == (check && legal.empty()));
        CHECK(g_.is_stalemate() == (!check && legal.empty()));
        CHECK(g_.is_over() == g_.outcome().has_value());
        CHECK(g_.perft(1) == legal.size());
        if (legal.size() + pseudo.size() < 400) {
            for (const Move& m : legal) {
                CHECK(std::find(pseudo.begin(), pseudo.end(), m) != pseudo.end());
                const auto here = g_.legal_moves_for_position(m.src.col, m.src.row);
                CHECK(std::find(here.begin(), here.end(), m) != here.end());
            }
        }
        (void)g_.legal_moves_for_position(coordinate(width()), coordinate(height()));
        (void)g_.reward_from_perspective(in_.ConsumeIntegral<int8_t>());
        (void)g_.reward_absolute();
        (void)g_.is_insufficient_material();
        (void)g_.get_piece(coordinate(width()), coordinate(height()));
    }
};

// A position from the bytes when the text is not one: two kings, then pieces anywhere.
template <int NW>
std::string position_from_bytes(FuzzedDataProvider& in, uint64_t width, uint64_t height, bool castling) {
    const uint64_t area = width * height;
    Board<NW> b = Board<NW>::empty(width, height);
    auto square = [&] { return in.ConsumeIntegralInRange<uint64_t>(0, area - 1); };
    const uint64_t pieces = in.ConsumeIntegralInRange<uint64_t>(0, std::min<uint64_t>(area, 40));
    for (uint64_t n = 0; n < pieces; ++n) {
        const uint64_t i = square();
        b.set_piece(i % width, i / width, piece_from(in.ConsumeIntegral<uint8_t>()));
    }
    const uint64_t white = square();
    const uint64_t black = (white + 1 + in.ConsumeIntegralInRange<uint64_t>(0, area - 2)) % area;
    b.set_piece(white % width, white / width, Piece{Color::White, PieceType::King});
    b.set_piece(black % width, black / width, Piece{Color::Black, PieceType::King});
    std::string fen = b.to_fen() + (in.ConsumeBool() ? " b " : " w ");
    fen += castling && in.ConsumeBool() ? "KQkq" : "-";
    fen += ' ';
    if (in.ConsumeBool()) {
        const uint64_t i = square();
        fen += square_text(Position{i % width, i / width});
    } else {
        fen += '-';
    }
    fen += " " + std::to_string(in.ConsumeIntegralInRange<uint32_t>(0, 160)) + " " +
           std::to_string(in.ConsumeIntegralInRange<uint32_t>(0, 300));
    return fen;
}

// A game keeps the square geometry of its board size alive while it lives. Holding a game of
// each recent size spares rebuilding that geometry for every input, as a long-running program
// would share it.
template <int NW>
void keep_geometry(const Game<NW>& g) {
    static std::map<std::pair<uint64_t, uint64_t>, Game<NW>> kept;
    if (kept.size() >= 8) kept.clear();
    kept.try_emplace({g.width(), g.height()}, g);
}

template <int NW>
void fuzz_size_class(FuzzedDataProvider& in, uint64_t width, uint64_t height, bool castling, const std::string& text) {
    // The placement reader alone: what it reads, it writes back the same.
    if (auto b = Board<NW>::from_fen(width, height, text.substr(0, text.find(' ')))) {
        const std::string placement = b.value().to_fen();
        auto again = Board<NW>::from_fen(width, height, placement);
        CHECK(again && same_board(again.value(), b.value()) && again.value().to_fen() == placement);
    }
    auto g = Game<NW>::from_fen(width, height, text, castling);
    if (!g) {
        if (height > MAX_ROWS || width * height < 2) return;  // no game can be built
        const std::string fen = position_from_bytes<NW>(in, width, height, castling);
        g = Game<NW>::from_fen(width, height, fen, castling);
        CHECK(g);
    }
    keep_geometry(g.value());
    Session<NW>(in, g.take(), castling).run();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint64_t width = in.ConsumeIntegralInRange<uint64_t>(0, 66);
    const uint64_t height = in.ConsumeIntegralInRange<uint64_t>(0, 34);
    const bool castling = in.ConsumeBool();
    const std::string text = in.ConsumeRandomLengthString(4096);

    // The readers of every size class refuse what they cannot hold; none may crash.
    (void)make_board_inner(width, height, text);
    const auto nw = size_class(width, height);
    if (nw == 0 || nw > 16) {
        CHECK(!make_game_inner(width, height, text, castling));
        return 0;
    }
    with_size_class(static_cast<int>(nw), [&](auto NW) {
        fuzz_size_class<NW()>(in, width, height, castling, text);
        return 0;
    });
    return 0;
}
