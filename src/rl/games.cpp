// Full actions, observations and bytes of single murkle_chess.Game objects (or lists of them),
// the packed planes' unpacking, and the start positions.
#include <tuple>

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
            auto [array, data] = output_array<bool>(nb::none(), {g.action_size(), g.height(), g.width()}, "bool");
            write_game_mask(g, data);
            return array;
        },
        game_value(game));
}

// One murkle_chess.Game or a sequence of them, all of one board size, read in place under
// their shared borrows for as long as this lives.
class GameList {
public:
    explicit GameList(nb::handle games) {
        bind_exact_module();
        if (Py_TYPE(games.ptr()) == py::GameObj::type) {
            single_ = true;
            add(games);
            return;
        }
        if (!nb::isinstance<nb::sequence>(games) || nb::isinstance<nb::str>(games) || nb::isinstance<nb::bytes>(games))
            throw nb::type_error(("games must be a murkle_chess.Game or a sequence of them, not " +
                                  std::string(nb::inst_name(games).c_str()))
                                     .c_str());
        for (nb::handle g : games) add(g);
        if (objects_.empty()) throw nb::value_error("games is empty");
    }
    GameList(const GameList&) = delete;
    GameList& operator=(const GameList&) = delete;

    // The shape of one observation per game: with a leading game axis for a sequence.
    std::vector<size_t> shape(std::vector<size_t> each) const {
        if (!single_) each.insert(each.begin(), games_.size());
        return each;
    }
    const GameVariant& first() const { return *games_[0]; }

    // f(game, k) for every game, as the engine type of the first, without the GIL.
    template <class F>
    void each(F&& f) const {
        std::visit(
            [&](const auto& first) {
                using G = std::remove_cvref_t<decltype(first)>;
                nb::gil_scoped_release release;
                for (size_t k = 0; k < games_.size(); ++k) f(std::get<G>(*games_[k]), k);
            },
            first());
    }

private:
    void add(nb::handle obj) {
        if (Py_TYPE(obj.ptr()) != py::GameObj::type)
            throw nb::type_error(("game " + std::to_string(games_.size()) + " must be a murkle_chess.Game, not " +
                                  nb::inst_name(obj).c_str())
                                     .c_str());
        auto& self = py::GameObj::cast(obj.ptr());
        const GameVariant& g = self.value;
        if (!games_.empty() && size_text(g) != size_text(first()))
            throw nb::value_error(("game " + std::to_string(games_.size()) + " is " + size_text(g) + " but game 0 is " +
                                   size_text(first()))
                                      .c_str());
        if (!self.borrow.try_shared()) throw std::runtime_error("Already mutably borrowed");
        borrows_.flags.push_back(&self.borrow);
        objects_.push_back(nb::borrow(obj));
        games_.push_back(&g);
    }

    // Released as a member, so also when the constructor gives up half-way.
    struct SharedBorrows {
        std::vector<py::BorrowFlag*> flags;
        ~SharedBorrows() {
            for (auto* flag : flags) flag->release_shared();
        }
    };

    bool single_ = false;
    std::vector<nb::object> objects_;
    SharedBorrows borrows_;
    std::vector<const GameVariant*> games_;
};

size_t game_area(const GameVariant& g) {
    return std::visit([](const auto& x) { return static_cast<size_t>(x.width() * x.height()); }, g);
}

nb::object planes_of(nb::handle games, nb::handle out) {
    GameList list(games);
    const auto [h, w] = std::visit([](const auto& g) { return std::pair<size_t, size_t>(g.height(), g.width()); }, list.first());
    auto [array, data] = output_array<float>(out, list.shape({TOTAL_INPUT_PLANES, h, w}), "float32");
    list.each([&, data = data](const auto& g, size_t k) { write_game_planes(g, data + k * TOTAL_INPUT_PLANES * h * w); });
    return array;
}

nb::object legal_mask_of(nb::handle games, nb::handle out) {
    GameList list(games);
    const auto [p, h, w] = std::visit(
        [](const auto& g) { return std::tuple<size_t, size_t, size_t>(g.action_size(), g.height(), g.width()); },
        list.first());
    auto [array, data] = output_array<bool>(out, list.shape({p, h, w}), "bool");
    list.each([&, data = data](const auto& g, size_t k) { write_game_mask(g, data + k * p * h * w); });
    return array;
}

nb::object packed_legal_mask_of(nb::handle games, nb::handle out) {
    GameList list(games);
    const size_t bytes = std::visit([](const auto& g) { return packed_plane_bytes(g.action_size() * g.width() * g.height()); },
                                    list.first());
    auto [array, data] = output_array<uint8_t>(out, list.shape({bytes}), "uint8");
    list.each([&, data = data](const auto& g, size_t k) { write_game_mask_bits(g, data + k * bytes); });
    return array;
}

nb::tuple packed_planes_of(nb::handle games, nb::handle bits, nb::handle scalars) {
    GameList list(games);
    const size_t bytes = packed_plane_bytes(game_area(list.first()));
    auto [b, bd] = output_array<uint8_t>(bits, list.shape({TOTAL_INPUT_PLANES, bytes}), "uint8");
    auto [s, sd] = output_array<float>(scalars, list.shape({TOTAL_INPUT_PLANES}), "float32");
    list.each([&, bd = bd, sd = sd](const auto& g, size_t k) {
        write_game_packed(g, bd + k * TOTAL_INPUT_PLANES * bytes, sd + k * TOTAL_INPUT_PLANES);
    });
    return nb::make_tuple(b, s);
}

// Dense planes from packed ones: each square is its bit plus its plane's scalar.
nb::object unpack_planes(nb::handle bits, nb::handle scalars, uint64_t height, uint64_t width, nb::handle out) {
    if (height < 1 || width < 1 || height > 1024 || width > 1024)
        throw nb::value_error("height and width must be between 1 and 1024");
    const size_t area = height * width, bytes = packed_plane_bytes(area);
    const ArrayInput b = array_input(bits, "bits");
    if (const ItemType item = b.item(); item.kind != 'u' || item.size != 1)
        throw nb::type_error(("bits must have dtype uint8, got " + item.name()).c_str());
    const auto shape = b.shape();
    if (shape.size() < 2 || shape[shape.size() - 2] < 1 || shape.back() != bytes)
        throw nb::value_error(("bits must have shape (..., planes, " + std::to_string(bytes) + ") for " +
                               std::to_string(height) + "x" + std::to_string(width) + " planes, got " + shape_text(shape))
                                  .c_str());
    const std::vector<size_t> scalar_shape(shape.begin(), shape.end() - 1);
    const CArray<float> values = float32_input(scalars, {scalar_shape}, "scalars");
    const CArray<uint8_t> in = c_array<uint8_t>(b, "uint8", "bits");
    std::vector<size_t> dense = scalar_shape;
    dense.push_back(height);
    dense.push_back(width);
    auto [array, data] = output_array<float>(out, dense, "float32");
    size_t planes = 1;
    for (size_t d : scalar_shape) planes *= d;
    {
        nb::gil_scoped_release release;
        for (size_t p = 0; p < planes; ++p) {
            float* o = data + p * area;
            const uint8_t* row = in.data + p * bytes;
            const float v = values.data[p];
            for (size_t sq = 0; sq < area; ++sq) o[sq] = static_cast<float>((row[sq / 8] >> (sq % 8)) & 1) + v;
        }
    }
    return array;
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
    m.def("planes", &planes_of, "games"_a, "out"_a = nb::none(),
          nb::sig("def planes(games: murkle_chess.Game | collections.abc.Sequence[murkle_chess.Game], "
                  "out: numpy.typing.NDArray[numpy.float32] | None = None) -> numpy.typing.NDArray[numpy.float32]"),
          "The input planes of a game, float32 (105, height, width), or of a sequence of games of one\n"
          "board size, (n, 105, height, width): ``encode_game_planes()`` as an array, written into\n"
          "``out`` (None, or a C-contiguous writable float32 array of that shape) when given.");
    m.def("legal_mask", &legal_mask_of, "games"_a, "out"_a = nb::none(),
          nb::sig("def legal_mask(games: murkle_chess.Game | collections.abc.Sequence[murkle_chess.Game], "
                  "out: numpy.typing.NDArray[numpy.bool_] | None = None) -> numpy.typing.NDArray[numpy.bool_]"),
          "The legal full actions of a game, bool (P, height, width), or of a sequence of games of\n"
          "one board size, (n, P, height, width); written into ``out`` (None, or a C-contiguous\n"
          "writable bool array of that shape) when given.");
    m.def("packed_legal_mask", &packed_legal_mask_of, "games"_a, "out"_a = nb::none(),
          nb::sig("def packed_legal_mask(games: murkle_chess.Game | collections.abc.Sequence[murkle_chess.Game], "
                  "out: numpy.typing.NDArray[numpy.uint8] | None = None) -> numpy.typing.NDArray[numpy.uint8]"),
          "The legal full actions of a game packed as ``GameBatch.packed_legal_mask`` packs them:\n"
          "uint8 (ceil(num_actions / 8),), with a leading game axis for a sequence of games of one\n"
          "board size; written into ``out`` (None, or a C-contiguous writable uint8 array of that\n"
          "shape) when given.");
    m.def("packed_planes", &packed_planes_of, "games"_a, "bits"_a = nb::none(), "scalars"_a = nb::none(),
          nb::sig("def packed_planes(games: murkle_chess.Game | collections.abc.Sequence[murkle_chess.Game], "
                  "bits: numpy.typing.NDArray[numpy.uint8] | None = None, "
                  "scalars: numpy.typing.NDArray[numpy.float32] | None = None) -> "
                  "tuple[numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.float32]]"),
          "The input planes of a game (or a sequence of games) packed as ``GameBatch.packed_planes``\n"
          "packs them: bits uint8 (105, ceil(height * width / 8)) and scalars float32 (105,), with a\n"
          "leading game axis for a sequence; written into ``bits`` and ``scalars`` when given.");
    m.def("unpack_planes", &unpack_planes, "bits"_a, "scalars"_a, "height"_a, "width"_a, "out"_a = nb::none(),
          nb::sig("def unpack_planes(bits: numpy.typing.ArrayLike, scalars: numpy.typing.ArrayLike, height: int, "
                  "width: int, out: numpy.typing.NDArray[numpy.float32] | None = None) -> "
                  "numpy.typing.NDArray[numpy.float32]"),
          "Dense float32 planes (..., k, height, width) from packed ones: bits uint8\n"
          "(..., k, ceil(height * width / 8)) and scalars (..., k), k = 105 or the planes of a\n"
          "batch made with ``planes=``. Every square is its bit plus\n"
          "its plane's scalar, so the result equals the planes that were packed exactly. height and\n"
          "width (ints) are the board's; written into ``out`` (float32) when given.");
    m.def("dumps_game", &dumps_game, "game"_a,
          nb::sig("def dumps_game(game: murkle_chess.Game) -> bytes"),
          "``game``, a murkle_chess.Game, as bytes: its whole state with every history entry.");
    m.def("loads_game", &loads_game, "data"_a,
          nb::sig("def loads_game(data: bytes) -> murkle_chess.Game"),
          "The murkle_chess.Game that ``dumps_game`` wrote into ``data`` (bytes); ValueError for\n"
          "any other bytes.");
}

}  // namespace murkle::rl
