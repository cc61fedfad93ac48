// The GameBatch class as Python sees it.
#include "rl/bindings.hpp"
#include "rl/game_batch.hpp"

namespace murkle::rl {

namespace {

// step and step_planes take the same outputs; they differ in how the actions name the moves.
template <nb::tuple (GameBatch::*Step)(nb::handle, const StepOutputs&)>
auto step_method() {
    return [](GameBatch& self, nb::handle actions, nb::handle planes, nb::handle mask, nb::handle rewards,
              nb::handle done, nb::handle truncated, nb::handle bits, nb::handle scalars, nb::handle mask_bits) {
        return (self.*Step)(actions, {planes, mask, rewards, done, truncated, bits, scalars, mask_bits});
    };
}
#define STEP_OUTPUTS                                                                                    \
    "planes"_a = nb::none(), "mask"_a = nb::none(), "rewards"_a = nb::none(), "done"_a = nb::none(),   \
        nb::kw_only(), "truncated"_a = nb::none(), "bits"_a = nb::none(), "scalars"_a = nb::none(),      \
        "mask_bits"_a = nb::none()

// The signature text of a step method; kept for the life of the module.
const char* step_sig(const char* name, const char* first) {
    static std::vector<std::unique_ptr<std::string>> kept;
    kept.push_back(std::make_unique<std::string>(
        std::string("def ") + name + "(self, " + first + ": numpy.typing.ArrayLike, " +
        "planes: numpy.typing.NDArray[numpy.float32] | None = None, "
        "mask: numpy.typing.NDArray[numpy.bool_] | None = None, "
        "rewards: numpy.typing.NDArray[numpy.float32] | None = None, "
        "done: numpy.typing.NDArray[numpy.bool_] | None = None, *, "
        "truncated: numpy.typing.NDArray[numpy.bool_] | None = None, "
        "bits: numpy.typing.NDArray[numpy.uint8] | None = None, "
        "scalars: numpy.typing.NDArray[numpy.float32] | None = None, "
        "mask_bits: numpy.typing.NDArray[numpy.uint8] | None = None) -> "
        "tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.bool_], "
        "numpy.typing.NDArray[numpy.bool_]]"));
    return kept.back()->c_str();
}

}  // namespace

void bind_batch(nb::module_& m) {
    // Its instances have their own layout, so the class cannot be mixed with another such base.
    nb::class_<GameBatch>(m, "GameBatch", nb::sig("@typing_extensions.disjoint_base\nclass GameBatch()"),
        "N games of one board size, stepped together on a pool of worker threads.\n\n"
        "Observations are NumPy arrays in the layout of the input planes: ``planes()`` is\n"
        "float32 ``(n, 105, height, width)`` and ``legal_mask()`` is bool\n"
        "``(n, P, height, width)`` with ``P = 8 * max(width, height) + 18`` move planes. The flat\n"
        "index ``p * height * width + row * width + col`` of a mask entry is a *full action*: the\n"
        "legal move from square (col, row) whose move plane is p. Each full action names\n"
        "exactly one move, so a policy over ``num_actions`` entries reaches every legal move.\n\n"
        "``step(actions)`` plays one full action in every game and returns ``(rewards, done,\n"
        "truncated)``; given ``planes``/``mask``/``bits``/``scalars``/``mask_bits`` arrays it also\n"
        "writes the next observations in the same pass.\n"
        "A game that ends at a step keeps its final position (observations stay readable) and\n"
        "restarts from its start position at the *next* step, whose action for that game is\n"
        "ignored (its reward is 0.0 and done is False then). A game already over when stepped\n"
        "(a decided start FEN, a game set past ``max_plies``) takes no action and reports done\n"
        "at once.\n\n"
        "Work runs with the GIL released, split over ``threads`` worker threads made once per\n"
        "batch; every game has its own random stream, so results depend on ``seed`` only, never\n"
        "on the number of threads. Pass ``out=`` arrays to write observations in place.")
        .def(nb::init<nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle,
                      nb::handle, nb::handle, nb::handle>(),
             "n"_a, "width"_a = 8, "height"_a = 8, nb::kw_only(), "fen"_a = nb::none(), "castling"_a = nb::none(),
             "threads"_a = nb::none(), "seed"_a = nb::none(), "max_plies"_a = nb::none(), "repetitions"_a = nb::bool_(false),
             "planes"_a = nb::none(),
             nb::sig("def __init__(self, n: int, width: int = 8, height: int = 8, *, "
                     "fen: str | collections.abc.Sequence[str] | None = None, castling: bool | None = None, "
                     "threads: int | None = None, seed: int | None = None, max_plies: int | None = None, "
                     "repetitions: bool = False, planes: collections.abc.Sequence[int] | None = None) -> None"),
             "Makes n games of width x height, each at its start position.\n\n"
             "n: the number of games (int, 1 or more). width, height: the board size (int), 1 to 32\n"
             "    rows and at most 1024 squares.\n"
             "fen: one FEN str for every game, a sequence of n FEN strs (one start per game), or None\n"
             "    for ``start_fen(width, height)``. castling: bool, or None for on on 8x8 only.\n"
             "threads: worker threads (int), None for every core. seed: int, None draws one from the\n"
             "    system. max_plies: int, a game that reaches this many plies ends as truncated (done,\n"
             "    reward 0.0); None leaves the end to the rules. repetitions: bool; when\n"
             "    True, a position occurring for the third time (same placement, side to move,\n"
             "    castling rights and en-passant capture) ends the game drawn (outcome code 4), and\n"
             "    planes 96 and 97 are 1.0 when the position has occurred before, and twice before.\n"
             "    Off by default, so that every value equals the exact module's.\n"
             "planes: None for all 105 input planes, or a sequence of distinct plane indices in\n"
             "    [0, 125) (any order, e.g. ``list(range(12)) + list(range(96, 105))``): then every\n"
             "    plane observation (``planes()``, ``packed_planes()``, the arrays of ``step`` and a\n"
             "    Search's ``select``) holds just those planes, in that order, and only they are\n"
             "    computed (no walk back through the history when none of planes 12-95 is asked for).\n"
             "    ``plane_indices`` tells which. Planes 105-116 are attack planes of the current\n"
             "    position, 1.0 on every square that the side to move's pawns, knights, bishops,\n"
             "    rooks, queens, king attack (105-110), then the other side's (111-116); a slider\n"
             "    attacks up to and including the first piece in its way, of either colour. Planes\n"
             "    117-124 are check planes: 1.0 on every square from which a pawn, knight, bishop,\n"
             "    rook of the side to move would attack the other side's king (117-120), then the\n"
             "    other side's against the side to move's king (121-124).")
        .def("planes", &GameBatch::planes, "out"_a = nb::none(),
             nb::sig("def planes(self, out: numpy.typing.NDArray[numpy.float32] | None = None) -> "
                     "numpy.typing.NDArray[numpy.float32]"),
             "The input planes of every game: float32 (n, k, height, width), equal to\n"
             "``murkle_chess.Game.encode_game_planes()`` at the planes ``plane_indices`` (k = 105,\n"
             "all of them, unless the batch was made with ``planes=``; attack planes as described\n"
             "there).\n\n"
             "out: None for a new array, or a C-contiguous writable float32 array of that shape,\n"
             "    which is filled and returned.")
        .def("legal_mask", &GameBatch::legal_mask, "out"_a = nb::none(),
             nb::sig("def legal_mask(self, out: numpy.typing.NDArray[numpy.bool_] | None = None) -> "
                     "numpy.typing.NDArray[numpy.bool_]"),
             "The legal full actions of every game: bool (n, P, height, width), True where legal.\n"
             "A game that takes no action at the next step (it ended, or it is over) has an empty\n"
             "mask.\n\n"
             "out: None for a new array, or a C-contiguous writable bool array of that shape,\n"
             "    which is filled and returned.")
        .def("packed_planes", &GameBatch::packed_planes, "bits"_a = nb::none(), "scalars"_a = nb::none(),
             nb::sig("def packed_planes(self, bits: numpy.typing.NDArray[numpy.uint8] | None = None, "
                     "scalars: numpy.typing.NDArray[numpy.float32] | None = None) -> "
                     "tuple[numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.float32]]"),
             "The input planes of every game, packed: ``bits`` uint8 (n, 105, ceil(height * width\n"
             "/ 8)) holds each plane's squares in row-major order as\n"
             "``numpy.packbits(plane.reshape(-1), bitorder=\"little\")`` for the piece planes 0-95\n"
             "(zero bytes for 96-104), and ``scalars`` float32 (n, 105) the value of each plane that\n"
             "is constant over the board, 96-104 (0.0 for 0-95 and the attack planes, which pack\n"
             "as bits). A dense plane is its bits plus its\n"
             "scalar; ``unpack_planes`` gives exactly ``planes()``. Written into the arrays given.\n"
             "A batch made with ``planes=`` packs just those planes, in that order: bits\n"
             "(n, k, bytes) and scalars (n, k).")
        .def("packed_legal_mask", &GameBatch::packed_legal_mask, "out"_a = nb::none(),
             nb::sig("def packed_legal_mask(self, out: numpy.typing.NDArray[numpy.uint8] | None = None) -> "
                     "numpy.typing.NDArray[numpy.uint8]"),
             "The legal mask of every game packed eight full actions a byte: uint8 (n,\n"
             "ceil(num_actions / 8)), where full action a is bit a % 8 of byte a // 8, as\n"
             "``numpy.packbits(legal_mask().reshape(n, -1), axis=1, bitorder=\"little\")``;\n"
             "``numpy.unpackbits(m, axis=1, count=num_actions, bitorder=\"little\")`` gives the\n"
             "flat mask back. An eighth of the memory of ``legal_mask()``, for replay buffers.\n\n"
             "out: None for a new array, or a C-contiguous writable uint8 array of that shape,\n"
             "    which is filled and returned.")
        .def("step", step_method<&GameBatch::step>(), "actions"_a, STEP_OUTPUTS, nb::sig(step_sig("step", "actions")),
             "Plays one full action in every game; returns (rewards float32 (n,), done bool (n,),\n"
             "truncated bool (n,)), written into ``rewards``, ``done`` and ``truncated`` when given.\n\n"
             "actions: integers of shape (n,), any integer dtype (a list works too): the full action\n"
             "    of each game, ``p * height * width + row * width + col``.\n\n"
             "rewards holds ``reward_absolute()`` of each game that ended (1.0 White won, -1.0\n"
             "Black won, 0.0 draw or truncated) and 0.0 elsewhere: White's reward. The reward of\n"
             "the side that moved is ``rewards * turns``, with ``turns = batch.turns()`` read before\n"
             "the step. done is True for every game that ended, by the rules or by ``max_plies``;\n"
             "truncated is True for those ended by ``max_plies`` only, so ``done & ~truncated`` is\n"
             "the ending by the rules (a draw among them has reward 0.0 too).\n\n"
             "Given ``planes``, ``mask``, ``bits`` and ``scalars`` or ``mask_bits`` (the arrays of\n"
             "``planes()``, ``legal_mask()``, ``packed_planes()`` and ``packed_legal_mask()``), the\n"
             "observations after the step are written there in the same pass over the games,\n"
             "exactly as those calls would write them.\n\n"
             "If any action is not legal in its game, ValueError names the game and the action and\n"
             "no game changes. The actions of games that take no action (they restart, or they are\n"
             "over) are ignored.")
        .def("step_planes", step_method<&GameBatch::step_planes>(), "plane_actions"_a, STEP_OUTPUTS,
             nb::sig(step_sig("step_planes", "plane_actions")),
             "Like ``step`` with move planes instead of full actions: each game plays the first\n"
             "legal move whose move plane is given, as ``murkle_chess.Game.apply_action`` does.\n\n"
             "plane_actions: integers of shape (n,), any integer dtype: the move plane of each game.\n"
             "planes, mask, rewards, done, truncated, bits, scalars, mask_bits and the result as in\n"
             "``step``.")
        .def("random_actions", &GameBatch::random_actions, "out"_a = nb::none(),
             nb::sig("def random_actions(self, out: numpy.typing.NDArray[numpy.int64] | None = None) -> "
                     "numpy.typing.NDArray[numpy.int64]"),
             "A uniformly chosen legal full action for every game, int64 (n,), from each game's\n"
             "own seeded stream; -1 for a game that takes no action at the next step.\n\n"
             "out: None for a new array, or a C-contiguous writable int64 array of that shape,\n"
             "    which is filled and returned.")
        .def("sample", &GameBatch::sample, "logits"_a, "temperature"_a = 1.0, "out"_a = nb::none(),
             nb::sig("def sample(self, logits: numpy.typing.ArrayLike, temperature: float = 1.0, "
                     "out: numpy.typing.NDArray[numpy.int64] | None = None) -> numpy.typing.NDArray[numpy.int64]"),
             "A full action for every game, int64 (n,), drawn from the softmax of\n"
             "``logits / temperature`` over the game's legal actions, from the game's own seeded\n"
             "stream (as ``random_actions`` draws); -1 for a game that takes no action at the next\n"
             "step. logits: (n, num_actions) or (n, P, height, width), float32 or float64 (other\n"
             "dtypes are converted); entries of illegal actions are never read. temperature 0\n"
             "takes the first legal action of highest logit. ValueError names the game whose legal\n"
             "logits hold NaN or +inf or are all -inf; then no stream moves.\n\n"
             "out: None for a new array, or a C-contiguous writable int64 array of that shape,\n"
             "    which is filled and returned.")
        .def("legal_actions", &GameBatch::legal_actions,
             nb::sig("def legal_actions(self) -> "
                     "tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]"),
             "The legal full actions of every game in legal-move order, as compressed rows:\n"
             "``(actions, offsets)``, int64, where game i's actions are\n"
             "``actions[offsets[i]:offsets[i + 1]]`` (offsets has n + 1 entries). The same actions\n"
             "as ``legal_mask()`` (none for a game that takes no action), for policies over the\n"
             "legal moves only.")
        .def("play_random", &GameBatch::play_random, "plies"_a,
             nb::sig("def play_random(self, plies: int) -> dict[str, int]"),
             "Steps every game ``plies`` (int) times with random actions, inside the engine (the\n"
             "same as ``plies`` calls of ``step(random_actions())``). Returns a dict of int counts\n"
             "over all games: steps, moves, finished, white_wins, black_wins, draws, truncated.\n\n"
             "Ctrl-C (any signal handler that raises) stops it between plies, every game at the\n"
             "same ply, and raises. Before each run of plies every game's history is given room\n"
             "for them, so running out of memory there raises MemoryError with every game at the\n"
             "same ply too; running out inside a ply (the legal moves of a new position) raises\n"
             "MemoryError with every game whole and legal, but the games may then have taken\n"
             "different numbers of plies.")
        .def("turns", &GameBatch::turns, "out"_a = nb::none(),
             nb::sig("def turns(self, out: numpy.typing.NDArray[numpy.int8] | None = None) -> "
                     "numpy.typing.NDArray[numpy.int8]"),
             "The side to move in every game, int8 (n,): 1 White, -1 Black.\n\n"
             "out: None for a new array, or a C-contiguous writable int8 array of that shape,\n"
             "    which is filled and returned.")
        .def("plies", &GameBatch::plies, "out"_a = nb::none(),
             nb::sig("def plies(self, out: numpy.typing.NDArray[numpy.int64] | None = None) -> "
                     "numpy.typing.NDArray[numpy.int64]"),
             "The moves played in every game since its start position, int64 (n,).\n\n"
             "out: None for a new array, or a C-contiguous writable int64 array of that shape,\n"
             "    which is filled and returned.")
        .def("outcomes", &GameBatch::outcomes, "out"_a = nb::none(),
             nb::sig("def outcomes(self, out: numpy.typing.NDArray[numpy.int8] | None = None) -> "
                     "numpy.typing.NDArray[numpy.int8]"),
             "The result of every game, int8 (n,): the code of ``murkle_chess.GameOutcome`` (0 White\n"
             "won, 1 Black won, 2 and above a draw; 4 a threefold repetition when the batch counts\n"
             "repetitions) once the rules end it, else -1. A game ended by ``max_plies`` shows -1\n"
             "with ``plies() >= max_plies``.\n\n"
             "out: None for a new array, or a C-contiguous writable int8 array of that shape,\n"
             "    which is filled and returned.")
        .def("game", &GameBatch::game, "i"_a, nb::sig("def game(self, i: int) -> murkle_chess.Game"),
             "A new murkle_chess.Game equal to game i (int, negative counts from the end; IndexError\n"
             "out of range): board, rights, clocks, history and hash.")
        .def("set_game", &GameBatch::set_game, "i"_a, "game"_a,
             nb::sig("def set_game(self, i: int, game: murkle_chess.Game) -> None"),
             "Replaces game i (int, negative counts from the end) by a copy of ``game``, a\n"
             "murkle_chess.Game of the batch's board size. Its history counts towards max_plies; it\n"
             "restarts from the batch's start position.")
        .def("fens", &GameBatch::fens, "The FEN of every game: a list of n str.")
        .def("reset", &GameBatch::reset, "indices"_a = nb::none(),
             nb::sig("def reset(self, indices: numpy.typing.ArrayLike | None = None) -> None"),
             "Puts games back to their start positions. indices: integers of shape (k,) naming\n"
             "games (any integer dtype, or a list), or None for every game.")
        .def("__len__", &GameBatch::size, "The number of games, n.")
        .def("__repr__", &GameBatch::repr, "``GameBatch(n=..., width=..., height=..., threads=...)``, with ``planes=[...]`` when the\n"
                             "observations hold a selection of the planes.")
        .def_prop_ro("n", &GameBatch::size, "The number of games.")
        .def_prop_ro("width", &GameBatch::width, "Board width.")
        .def_prop_ro("height", &GameBatch::height, "Board height.")
        .def_prop_ro("threads", &GameBatch::threads, "Worker threads of this batch (the caller's included).")
        .def_prop_ro("max_plies", &GameBatch::max_plies, "The ply cap, or None.")
        .def_prop_ro("repetitions", &GameBatch::repetitions, "Whether a threefold repetition ends a game.")
        .def_prop_ro("plane_indices", &GameBatch::plane_indices, nb::sig("def plane_indices(self) -> tuple[int, ...]"),
                     "The input planes the observations hold, in order: a tuple of k ints (0 to 104 when\n"
                     "the batch was made without ``planes=``).")
        .def_prop_ro("action_planes", &GameBatch::action_planes, "P, the number of move planes: 8 * max(width, height) + 18.")
        .def_prop_ro("num_actions", &GameBatch::num_actions, "The size of the full action space: P * height * width.")
        .def("__getstate__", &GameBatch::state, "For pickle: the whole batch (games, start positions, random streams, the planes it holds).")
        .def("__setstate__", &GameBatch::restore, "For pickle: the batch of a ``__getstate__`` tuple.");

}

}  // namespace murkle::rl
