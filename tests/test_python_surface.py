"""The Python surface of the module: names, classes, signatures, argument handling, borrows,
exceptions, hashes and text forms. Chess rules are tested elsewhere."""

import os
import subprocess
import sys
import textwrap

import pytest

import murkle_chess as mc
from chess_util import STANDARD_FEN, U64, error
from murkle_chess import Board, Game, GameOutcome, Move, Piece, Position

MATED_BLACK_FEN = "7k/5QQ1/8/8/8/8/8/K7 b - - 0 1"  # Black is checkmated


def game():
    return Game.standard()


# ---------------------------------------------------------------- module


def test_module_names_and_constants():
    assert mc.__all__ == ["Board", "Game", "Move", "Piece", "Position", "GameOutcome",
                          "WHITE", "BLACK", "TOTAL_INPUT_PLANES"]
    assert (mc.WHITE, mc.BLACK, mc.TOTAL_INPUT_PLANES) == (1, -1, 105)
    assert all(type(getattr(mc, n)) is int for n in ("WHITE", "BLACK", "TOTAL_INPUT_PLANES"))


def test_same_module_object_on_reimport():
    first = sys.modules.pop("murkle_chess")
    try:
        import murkle_chess as again
        assert again is first and again.Game is Game
    finally:
        sys.modules["murkle_chess"] = first


def test_second_interpreter_is_refused():
    code = textwrap.dedent("""
        import murkle_chess
        try:
            import _interpreters as si
        except ImportError:
            try:
                import _xxsubinterpreters as si
            except ImportError:
                raise SystemExit(3)
        interp = si.create()
        try:
            result = si.run_string(interp, "import murkle_chess")
            failure = result is not None and "ImportError" in str(result)
        except Exception as e:
            failure = "ImportError" in str(e)
        raise SystemExit(0 if failure else 1)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if proc.returncode == 3:
        pytest.skip("no sub-interpreter support in this Python")
    assert proc.returncode == 0, proc.stderr


# ---------------------------------------------------------------- classes


CLASS_SIGNATURES = {Game: "(width, height, fen, castling_enabled)", Board: "(width, height, fen)",
                    Piece: "(piece_type, color)", Position: "(col, row)", Move: None, GameOutcome: None}


@pytest.mark.parametrize("cls", CLASS_SIGNATURES, ids=lambda c: c.__qualname__)
def test_class_identity_and_signature(cls):
    assert cls.__module__ == "builtins" and cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    assert cls.__text_signature__ == CLASS_SIGNATURES[cls]
    if CLASS_SIGNATURES[cls] is None:  # made only by the module itself
        with pytest.raises(TypeError):
            cls()


METHODS = {
    Game: """standard() turn($self) fullmove_number($self) halfmove_clock($self)
        castling_enabled($self) has_kingside_castling_rights($self, color)
        has_queenside_castling_rights($self, color) make_move($self, move_) unmake_move($self)
        is_legal_move($self, move_) legal_moves($self) psuedo_legal_moves($self)
        legal_moves_for_position($self, col, row) move_from_lan($self, lan) is_check($self)
        is_checkmate($self) is_stalemate($self) is_over($self) width($self) height($self)
        get_piece($self, col, row) set_piece($self, col, row, piece) legal_action_indices($self)
        apply_action($self, action) action_size($self) board_shape($self) input_plane_count($self)
        reward_absolute($self) reward_from_perspective($self, perspective) name($self)
        is_insufficient_material($self) has_legal_en_passant($self) en_passant_square($self)
        outcome($self) to_fen($self) clone($self) encode_game_planes($self)
        get_move_planes_count(width, height) decode_action($self, action)""",
    Board: """standard() empty(width, height) to_fen($self) clear($self) width($self) height($self)
        get_piece($self, col, row) set_piece($self, col, row, piece)""",
    Move: """from_rowcol(src_col, src_row, dst_col, dst_row)
        from_lan($cls, lan, board_width, board_height) src_square($self) dst_square($self)
        promotion($self) to_lan($self) encode($self, width, height)
        decode_from_plane(plane_idx, src_col, src_row, width, height)""",
    Piece: "piece_type($self) color($self) symbol($self)",
    Position: "col($self) row($self)",
    GameOutcome: """winner($self) encode_winner_absolute($self)
        encode_winner_from_perspective($self, perspective) is_draw($self) name($self)""",
}


def split_signatures(text):
    sigs = [s.strip() + ")" for s in " ".join(text.split()).split(")") if s.strip()]
    return [(s[:s.index("(")], s[s.index("("):]) for s in sigs]


@pytest.mark.parametrize("cls", METHODS, ids=lambda c: c.__qualname__)
def test_methods_and_text_signatures(cls):
    expected = split_signatures(METHODS[cls])
    listed = [n for n in vars(cls) if not n.startswith("_")]
    assert listed == [name for name, _ in expected]
    for name, signature in expected:
        method = getattr(cls, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name


def test_equality_and_hashing_kinds():
    g, board = Game.standard(), Board.standard()
    assert g != Game.standard() and board != Board.standard()
    assert Piece("p", 1) != Piece("p", 1) and Position(0, 0) != Position(0, 0)
    assert hash(board) != hash(Board.standard())  # identity hashes
    mv = Move.from_lan("e2e4", 8, 8)
    assert mv == Move.from_rowcol(4, 1, 4, 3) and not mv != Move.from_rowcol(4, 1, 4, 3)
    assert mv != "e2e4" and not mv == "e2e4"
    with pytest.raises(TypeError):
        mv < mv
    outcome = Game(8, 8, MATED_BLACK_FEN, False).outcome()
    assert outcome == Game(8, 8, MATED_BLACK_FEN, False).outcome() and outcome != "white_win"
    with pytest.raises(TypeError):
        hash(outcome)
    with pytest.raises(TypeError):
        outcome <= outcome


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize("call, message", [
    (lambda: game().make_move(), "Game.make_move() missing 1 required positional argument: 'move_'"),
    (lambda: game().set_piece(0), "Game.set_piece() missing 2 required positional arguments: 'row' and 'piece'"),
    (lambda: Move.decode_from_plane(1, 2),
     "Move.decode_from_plane() missing 3 required positional arguments: 'src_row', 'width', and 'height'"),
    (lambda: game().turn(1), "Game.turn() takes 0 positional arguments but 1 was given"),
    (lambda: game().get_piece(1, 2, 3), "Game.get_piece() takes 2 positional arguments but 3 were given"),
    (lambda: game().is_legal_move(1, 2), "Game.is_legal_move() takes 1 positional argument but 2 were given"),
    (lambda: game().get_piece(1, col=2), "Game.get_piece() got multiple values for argument 'col'"),
    (lambda: game().get_piece(1, column=2), "Game.get_piece() got an unexpected keyword argument 'column'"),
    (lambda: Game.standard(x=1), "Game.standard() got an unexpected keyword argument 'x'"),
    (lambda: Game(8, 8, STANDARD_FEN), "Game.__new__() missing 1 required positional argument: 'castling_enabled'"),
    (lambda: Board(8, 8, "8", width=8), "Board.__new__() got multiple values for argument 'width'"),
    (lambda: Position(1, 2, 3), "Position.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: Move.from_lan("e2e4", 8), "Move.from_lan() missing 1 required positional argument: 'board_height'"),
    (lambda: game().to_fen(x=1), "Game.to_fen() got an unexpected keyword argument 'x'"),
])
def test_argument_matching_errors(call, message):
    assert error(call, TypeError) == message


def test_keywords_in_any_order():
    g = game()
    assert g.get_piece(row=0, col=4).symbol() == "K"
    assert Game(fen=STANDARD_FEN, castling_enabled=True, height=8, width=8).to_fen() == STANDARD_FEN
    assert Move.from_lan(board_height=8, lan="e2e4", board_width=8).to_lan() == "e2e4"
    assert Game.get_move_planes_count(height=12, width=5) == 114


@pytest.mark.parametrize("call, prefix", [
    (lambda: Game(8, 8, STANDARD_FEN, 1), "argument 'castling_enabled': "),
    (lambda: Game(8, 8, STANDARD_FEN, None), "argument 'castling_enabled': "),
    (lambda: Game(8, 8, b"fen", True), "argument 'fen': "),
    (lambda: Game("8", 8, STANDARD_FEN, True), "argument 'width': "),
    (lambda: game().get_piece(0, 1.0), "argument 'row': "),
    (lambda: game().make_move("e2e4"), "argument 'move_': "),
    (lambda: game().make_move(Position(0, 0)), "argument 'move_': "),
    (lambda: game().set_piece(0, 0, "p"), "argument 'piece': "),
    (lambda: Board.standard().set_piece(0, 0, 0), "argument 'piece': "),
    (lambda: Piece(1, 1), "argument 'piece_type': "),
    (lambda: Piece("p", "1"), "argument 'color': "),
    (lambda: game().reward_from_perspective(0.5), "argument 'perspective': "),
    (lambda: Move.from_lan(None, 8, 8), "argument 'lan': "),
])
def test_wrong_types(call, prefix):
    assert error(call, TypeError).startswith(prefix)


@pytest.mark.parametrize("call", [
    lambda: Game(-1, 8, STANDARD_FEN, True), lambda: Position(0, 2**64), lambda: Position(-1, 0),
    lambda: game().get_piece(2**100, 0), lambda: game().reward_from_perspective(128),
    lambda: game().has_kingside_castling_rights(-129), lambda: Piece("p", 2**70),
    lambda: Move.from_rowcol(0, 0, 0, -5),
])
def test_out_of_range_integers(call):
    assert not error(call, OverflowError).startswith("argument")


def test_integer_and_bool_conversions():
    np = pytest.importorskip("numpy")
    assert Game(8, 8, STANDARD_FEN, np.bool_(False)).castling_enabled() is False
    assert Game(np.uint64(8), np.int8(8), STANDARD_FEN, np.True_).castling_enabled() is True

    class Index:
        def __index__(self):
            return 4

    assert game().get_piece(Index(), 0).symbol() == "K"
    assert game().get_piece(True, False).symbol() == "N"
    assert game().has_kingside_castling_rights(127)


def test_failed_conversion_leaves_object_unchanged():
    g = game()
    before = g.to_fen()
    for call in (lambda: g.set_piece(0, -1, None), lambda: g.set_piece(0, 0, 5),
                 lambda: g.apply_action(-1), lambda: g.make_move(None)):
        with pytest.raises((TypeError, OverflowError)):
            call()
    assert g.to_fen() == before


# ---------------------------------------------------------------- borrows


class CallsBack:
    """An integer whose conversion calls back into the object being called."""

    def __init__(self, callback, value=0):
        self.callback, self.value = callback, value

    def __index__(self):
        self.callback()
        return self.value


@pytest.mark.parametrize("make, call, callback, message", [
    (Game.standard, lambda g, x: g.set_piece(x, 0, None), lambda g: g.turn(), "Already mutably borrowed"),
    (Game.standard, lambda g, x: g.apply_action(x), lambda g: g.legal_moves(), "Already mutably borrowed"),
    (Game.standard, lambda g, x: g.get_piece(x, 0), lambda g: g.unmake_move(), "Already borrowed"),
    (Game.standard, lambda g, x: g.decode_action(x), lambda g: g.encode_game_planes(), "Already borrowed"),
    (Game.standard, lambda g, x: g.reward_from_perspective(x), lambda g: g.set_piece(0, 0, None),
     "Already borrowed"),
    (Board.standard, lambda b, x: b.set_piece(x, 0, None), lambda b: b.to_fen(), "Already mutably borrowed"),
    (Board.standard, lambda b, x: b.get_piece(x, 0), lambda b: b.clear(), "Already borrowed"),
])
def test_borrow_refused_on_reentry(make, call, callback, message):
    obj = make()
    before = obj.to_fen()
    assert error(lambda: call(obj, CallsBack(lambda: callback(obj))), RuntimeError) == message
    assert obj.to_fen() == before  # nothing changed, and the borrow was released
    call(obj, 0)
    assert repr(obj)


def test_order_of_checks():
    """Argument matching comes before the borrow, the borrow before argument conversion."""
    g = game()
    errors = []

    def probe():
        for call in (lambda: g.get_piece(0), lambda: g.get_piece("x", 0)):
            try:
                call()
            except (TypeError, RuntimeError) as e:
                errors.append(type(e))

    g.set_piece(CallsBack(probe), 0, None)
    assert errors == [TypeError, RuntimeError] and g.get_piece(0, 0) is None


def test_shared_borrows_overlap():
    g = game()
    seen = []
    assert g.get_piece(CallsBack(lambda: seen.append(g.to_fen()), 4), 0).symbol() == "K"
    assert seen == [STANDARD_FEN]


# ---------------------------------------------------------------- hashes


def siphash13(data: bytes) -> int:
    mask = 2**64 - 1

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & mask

    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]

    def sipround():
        v[0] = (v[0] + v[1]) & mask; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & mask; v[3] = rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & mask; v[3] = rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & mask; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    tail = len(data) % 8
    blocks = [int.from_bytes(data[i:i + 8], "little") for i in range(0, len(data) - tail, 8)]
    blocks.append(int.from_bytes(data[len(data) - tail:], "little") | ((len(data) & 0xFF) << 56))
    for m in blocks:
        v[3] ^= m
        sipround()
        v[0] ^= m
    v[2] ^= 0xFF
    for _ in range(3):
        sipround()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def python_hash(h):
    h = h - 2**64 if h >= 2**63 else h
    return -2 if h == -1 else h


def test_reference_siphash_matches_the_interpreter():
    """With hash randomisation off the interpreter hashes bytes with SipHash-1-3 and zero keys."""
    if sys.hash_info.algorithm != "siphash13":
        pytest.skip("interpreter uses another hash algorithm")
    samples = [b"a", b"abcdefgh", b"0123456789abcdefXYZ", bytes(range(40))]
    code = f"print([hash(s) for s in {samples!r}])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYTHONHASHSEED": "0"}, check=True).stdout
    assert eval(out) == [python_hash(siphash13(s)) for s in samples]


def u64(*values):
    return b"".join(v.to_bytes(8, "little") for v in values)


@pytest.mark.parametrize("move", [
    Move.from_rowcol(4, 1, 4, 3), Move.from_lan("e7e8n", 8, 8), Move.from_rowcol(U64, 0, 31, 2**63),
])
def test_move_hash(move):
    (sc, sr), (dc, dr) = move.src_square(), move.dst_square()
    assert hash(move) == python_hash(siphash13(u64(sc, sr, dc, dr)))


def expected_game_hash(g):
    width, height = g.width(), g.height()
    nw = (width * height + 63) // 64
    sets = [0] * 8  # pawn .. king, White, Black
    for row in range(height):
        for col in range(width):
            piece = g.get_piece(col, row)
            if piece is not None:
                bit = 1 << (row * width + col)
                sets["pnbrqk".index(piece.symbol().lower())] |= bit
                sets[6 if piece.color() == 1 else 7] |= bit
    data = b""
    for s in sets:
        data += u64(nw) + b"".join(u64((s >> (64 * k)) & (2**64 - 1)) for k in range(nw))
    data += u64(width, height) + bytes([0x01 if g.turn() == 1 else 0xFF])
    data += bytes(int(f(c)) for c in (1, -1)
                  for f in (g.has_kingside_castling_rights, g.has_queenside_castling_rights))
    ep = g.en_passant_square()
    if ep is not None:
        data += u64(ep.col(), ep.row())
    data += g.halfmove_clock().to_bytes(4, "little")
    return python_hash(siphash13(data))


@pytest.mark.parametrize("width, height, fen", [
    (8, 8, STANDARD_FEN),
    (8, 8, "rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w Kq d6 7 3"),
    (9, 8, "k8/9/9/9/9/9/9/8K b - - 12 40"),
    (32, 32, "k31/" + "32/" * 30 + "31K w - - 0 1"),
])
def test_game_hash(width, height, fen):
    g = Game(width, height, fen, True)
    h = hash(g)
    assert h == expected_game_hash(g)
    assert g.make_move(g.legal_moves()[-1])  # the hash follows the state, not the history
    assert hash(g) == expected_game_hash(g) != h
    assert g.unmake_move() and hash(g) == h == hash(g.clone())


# ---------------------------------------------------------------- results and text forms


def test_text_forms():
    g = game()
    assert repr(g) == "Game(width=8, height=8, turn=White, over=false)"
    assert str(g).split("\n")[0] == "Game(current_player: White, is_over: false, outcome: None)"
    assert str(g).split("\n", 1)[1] == str(Board.standard())
    mated = Game(8, 8, MATED_BLACK_FEN, False)
    assert repr(mated) == "Game(width=8, height=8, turn=Black, over=true)"
    assert str(mated).startswith("Game(current_player: Black, is_over: true, outcome: Some(WhiteWin))\n")
    assert repr(mated.outcome()) == "GameOutcome(white_win)" and str(mated.outcome()) == "white_win"
    assert repr(Board.empty(3, 2)) == "Board(width=3, height=2)"


def test_result_types():
    g = game()
    assert type(g.turn()) is int and type(g.reward_absolute()) is float
    assert type(g.legal_moves()) is list and all(type(m) is Move for m in g.legal_moves())
    assert g.set_piece(3, 3, None) is None and Board.standard().clear() is None
