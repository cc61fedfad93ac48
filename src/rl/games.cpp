// Full actions, masks and bytes of single murkle_chess.Game objects, and the start positions.
#include "engine/codec.hpp"
#include "rl/arrays.hpp"
#include "rl/bindings.hpp"
#include "rl/exact.hpp"
#include "rl/game_batch.hpp"

namespace murkle::rl {
namespace {

template <class G>
uint64_t full_action_of(const G& g, const Move& m) {
    if (m.src.col >= g.width() || m.src.row >= g.height()) throw nb::value_error("move starts off the board");
    auto plane = encode_move(m, g.width(), g.height());
    if (!plane) throw nb::value_error(("move " + to_lan(m) + " has no move plane on this board").c_str());
    return static_cast<uint64_t>(*plane) * g.width() * g.height() + m.src.row * g.width() + m.src.col;
}

uint64_t encode_action(nb::handle game, nb::handle move) {
    const Move m = move_value(move);
    return std::visit([&](const auto& g) { return full_action_of(g, m); }, game_value(game));
}

nb::object decode_action(nb::handle game, nb::handle action_arg) {
    const nb::int_ action = integer_value(action_arg, "action");
    const std::optional<int64_t> wanted = int64_value(action);  // none beyond int64: no move has it
    return std::visit(
        [&](const auto& g) -> nb::object {
            const LegalView v = g.legal();
            for (size_t k = 0; wanted && k < v.size; ++k)
                if (full_action(v, k, g.width() * g.height()) == *wanted) return move_object(v.moves[k].to_move(g.width()));
            throw nb::value_error(("action " + std::string(nb::str(action).c_str()) + " is not a legal move of this game").c_str());
        },
        game_value(game));
}

nb::object legal_action_mask(nb::handle game) {
    return std::visit(
        [&](const auto& g) {
            const size_t planes = static_cast<size_t>(g.action_size());
            auto [array, data] = output_array<bool>(nb::none(), {planes, g.height(), g.width()}, "bool");
            std::fill(data, data + planes * g.width() * g.height(), false);
            const LegalView v = g.legal();
            for (size_t k = 0; k < v.size; ++k) data[full_action(v, k, g.width() * g.height())] = true;
            return array;
        },
        game_value(game));
}

nb::bytes dumps_game(nb::handle game) {
    const std::string bytes = std::visit([](const auto& g) { return write_game(g); }, game_value(game));
    return nb::bytes(bytes.data(), bytes.size());
}

nb::object loads_game(nb::bytes data) {
    const std::string_view bytes(data.c_str(), data.size());
    // The size class follows from the board size at the start of the bytes.
    ByteReader head(bytes);
    head.raw(GAME_BYTES_MAGIC);
    const uint64_t width = head.u16(), height = head.u16();
    if (!head.ok() || !game_size_ok(width, height)) throw nb::value_error("invalid game bytes");
    return with_size_class(static_cast<int>(size_class(width, height)), [&](auto NW) -> nb::object {
        auto g = GameCodec<NW()>::read(bytes);
        if (!g) throw nb::value_error("invalid game bytes");
        return game_object(GameVariant(std::in_place_type<Game<NW()>>, g.take()));
    });
}

std::string start_fen_of(nb::handle width, nb::handle height) {
    const auto [w, h] = board_size_args(width, height);
    return start_fen_or_raise(w, h);
}

}  // namespace

void bind_games(nb::module_& m) {
    m.def("start_fen", &start_fen_of, "width"_a, "height"_a,
          nb::sig("def start_fen(width: int, height: int) -> str"),
          "The start position of a width x height board (ints), as a six-field FEN str, playable\n"
          "wherever the board admits one (neither side in check, the game not over, the same pieces\n"
          "a side): the standard position on 8x8; from three rows the back ranks (RNBQKBNR-like,\n"
          "king in the middle) on the first and last rows, with pawns in front from four rows (on\n"
          "three rows a knight beside a king or a bishop two files from it, which would give check,\n"
          "stands as a rook); on one row or column a king in each corner with a rook in front\n"
          "(KR...rk); on two rows K R at the left of the first row and r k at the right of the\n"
          "second. 1x2, 2x1, 1x3, 3x1 and 2x2 admit none and get the two bare kings, a game drawn\n"
          "at once.");
    m.def("encode_action", &encode_action, "game"_a, "move"_a,
          nb::sig("def encode_action(game: murkle_chess.Game, move: murkle_chess.Move) -> int"),
          "The full action (int) of ``move``, a murkle_chess.Move, in ``game``, a murkle_chess.Game:\n"
          "plane * height * width + row * width + col of its source square. Legality is not\n"
          "checked; ValueError when the move has no move plane on this board.");
    m.def("decode_action", &decode_action, "game"_a, "action"_a,
          nb::sig("def decode_action(game: murkle_chess.Game, action: int) -> murkle_chess.Move"),
          "The legal move (a new murkle_chess.Move) of ``game``, a murkle_chess.Game, named by\n"
          "``action``, an int full action; ValueError when there is none.");
    m.def("legal_action_mask", &legal_action_mask, "game"_a,
          nb::sig("def legal_action_mask(game: murkle_chess.Game) -> numpy.typing.NDArray[numpy.bool_]"),
          "The legal full actions of ``game``, a murkle_chess.Game: a new bool array of shape\n"
          "(P, height, width), P = 8 * max(width, height) + 18, True where legal.");
    m.def("dumps_game", &dumps_game, "game"_a,
          nb::sig("def dumps_game(game: murkle_chess.Game) -> bytes"),
          "``game``, a murkle_chess.Game, as bytes: its whole state with every history entry.");
    m.def("loads_game", &loads_game, "data"_a,
          nb::sig("def loads_game(data: bytes) -> murkle_chess.Game"),
          "The murkle_chess.Game that ``dumps_game`` wrote into ``data`` (bytes); ValueError for\n"
          "any other bytes.");
}

}  // namespace murkle::rl
