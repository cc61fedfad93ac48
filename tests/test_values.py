"""Value texts and readers: squares, moves (LAN), pieces, board placement and the FEN reader."""
import pytest

import murkle_chess as mc
from chess_util import STANDARD_FEN, U64, error, fen, grouped, make_rng, parse_placement, placement

# --- squares -------------------------------------------------------------------------------


@pytest.mark.parametrize("col,row,text", [
    (0, 0, "a1"), (7, 7, "h8"), (25, 11, "z12"), (0, 9, "a10"), (26, 0, "26-1"), (31, 31, "31-32"),
    (0, U64, "a18446744073709551616"), (U64, U64, "18446744073709551615-18446744073709551616"),
])
def test_square_text(col, row, text):
    p = mc.Position(col, row)
    assert str(p) == text
    assert repr(p) == f"Position({col}, {row})"
    assert (p.col(), p.row()) == (col, row)


def ep_square_read(text):
    """Reads a square text through the en-passant field of a FEN (the full square reader)."""
    sq = mc.Game(8, 8, f"4k3/8/8/8/8/8/8/4K3 w - {text} 0 1", False).en_passant_square()
    return sq.col(), sq.row()


@pytest.mark.parametrize("text,square", [
    ("a1", (0, 0)), ("z26", (25, 25)), ("a0", (0, 0)), ("a+5", (0, 4)), ("h007", (7, 6)), ("a10", (0, 9)),
    ("b18446744073709551615", (1, U64 - 1)), ("26-6", (26, 5)), ("31-32", (31, 31)),
])
def test_square_reader(text, square):
    assert ep_square_read(text) == square


@pytest.mark.parametrize("text,message", grouped({
    # the numeric form exists only from column 26 on; other digit texts keep the letter-form message
    "Invalid file character": ["A1", "1a", "é1", "5-6"],
    "Invalid position string": ["a", ""],
    "Invalid row number": ["a-1", "a+", "a1x", "aa1", "a18446744073709551616", "a++1"],
}))
def test_square_reader_messages(text, message):
    assert error(lambda: ep_square_read(text)) == message


# --- moves and LAN -------------------------------------------------------------------------

def test_from_lan_plain():
    m = mc.Move.from_lan("e2e4", 8, 8)
    assert m.src_square() == (4, 1) and m.dst_square() == (4, 3) and m.promotion() is None
    assert m == mc.Move.from_rowcol(4, 1, 4, 3)
    assert m.to_lan() == str(m) == "e2e4" and repr(m) == "Move(e2e4)"
    assert mc.Move.from_lan("e2e9", 5, 9).dst_square() == (4, 8)
    m = mc.Move.from_lan("a0a1", 8, 8)
    assert m.src_square() == m.dst_square() == (0, 0)


@pytest.mark.parametrize("text,letter", [("e7e8q", "q"), ("e7e8r", "r"), ("e7e8b", "b"), ("e7e8n", "n"),
                                         ("e7e8qxyz", "q")])
def test_from_lan_promotion(text, letter):
    m = mc.Move.from_lan(text, 8, 8)
    assert m.promotion() == letter
    assert m.to_lan() == str(m) == "e7e8" + letter and repr(m) == f"Move(e7e8{letter})"
    assert m != mc.Move.from_rowcol(4, 6, 4, 7)
    assert hash(m) == hash(mc.Move.from_rowcol(4, 6, 4, 7))


@pytest.mark.parametrize("text,width,height,message", grouped({
    # the order of checks is: length, source, destination, bounds, promotion letter
    "Invalid LAN move": [("e2e", 8, 8), ("", 8, 8), ("x", 8, 8)],
    "Invalid file character": [("E2e4", 8, 8), ("e2E4", 8, 8), ("a10a12", 8, 16), ("X2e9k", 8, 8), ("e9X2", 8, 8)],
    "Invalid row number": [("e2ex", 8, 8), ("a+1a1", 8, 8)],
    "Move positions out of bounds": [("e2e9", 8, 8), ("e2e4", 4, 4), ("i1a1", 8, 8), ("e2e9k", 8, 8)],
    "Invalid promotion piece": [("e7e8Q", 8, 8), ("e7e8k", 8, 8), ("e7e8p", 8, 8), ("e2e4 ", 8, 8), ("e7e8é", 8, 8)],
    # a character of two bytes must not be split; any reader error will do
    None: [("é2e4", 8, 8), ("eé24", 8, 8), ("e2eé", 8, 8)],
}))
def test_from_lan_messages(text, width, height, message):
    got = error(lambda: mc.Move.from_lan(text, width, height))
    assert message is None or got == message


@pytest.mark.parametrize("squares,text", [
    ((0, 9, 0, 11), "a10a12"), ((26, 0, 27, 1), "26-127-2"), ((27, 0, 28, 0), "27-128-1"),
    ((U64, 0, 0, U64), "18446744073709551615-1a18446744073709551616"),
])
def test_to_lan(squares, text):
    m = mc.Move.from_rowcol(*squares)
    assert m.to_lan() == str(m) == text
    assert repr(m) == f"Move({text})"


# --- pieces --------------------------------------------------------------------------------

@pytest.mark.parametrize("name,letter,debug", [("pawn", "p", "Pawn"), ("knight", "n", "Knight"),
                                               ("bishop", "b", "Bishop"), ("rook", "r", "Rook"),
                                               ("queen", "q", "Queen"), ("king", "k", "King")])
@pytest.mark.parametrize("color", [1, -1])
def test_piece_names(name, letter, debug, color):
    for text in (name, name.upper(), name.capitalize(), letter, letter.upper()):
        p = mc.Piece(text, color)
        assert p.piece_type() == name
        assert p.color() == color
        assert p.symbol() == str(p) == (letter.upper() if color == 1 else letter)
        assert repr(p) == f"Piece({debug}, {'White' if color == 1 else 'Black'})"


def test_piece_kind_uses_unicode_lower_casing():
    assert mc.Piece("\u212a", 1).piece_type() == "king"  # KELVIN SIGN lower-cases to "k"


@pytest.mark.parametrize("kind,color,message", grouped({
    "Invalid piece type": [("x", 5), ("kn", 1), (" pawn", 1), ("pawn ", 1), ("", 1), ("pawns", -1),
                           ("KİNG", 1)],  # "İ" lower-cases to two characters
    "Invalid color: must be 1 (White) or -1 (Black), got 0": [("pawn", 0)],
    "Invalid color: must be 1 (White) or -1 (Black), got 5": [("Q", 5)],
    "Invalid color: must be 1 (White) or -1 (Black), got -128": [("king", -128)],
}))
def test_piece_messages(kind, color, message):
    assert error(lambda: mc.Piece(kind, color)) == message


# --- board placement reader ----------------------------------------------------------------

@pytest.mark.parametrize("width,height,text,message", [
    (8, 8, "8/8/8/8/8/8/8", "Invalid FEN: expected 8 rows, got 7"),
    (8, 3, "8//8", "Invalid FEN: row 1 has wrong number of squares"),
    (8, 8, "x/8", "Invalid FEN: expected 8 rows, got 2"),
    (8, 2, "/".join(["8"] * 40), "Invalid FEN: expected 2 rows, got 40"),
    (10, 2, "10/4k4", "Invalid FEN: row 0 has wrong number of squares"),
    (3, 1, "2pp", "Invalid FEN: col index out of bounds"),
    (3, 1, "4", "Invalid FEN: row 0 has wrong number of squares"),
    (3, 1, "1x1", "Invalid FEN character: x"),
    (3, 1, "1é1", "Invalid FEN character: é"),
    (3, 1, "1\x00p", "Invalid FEN character: \x00"),
    (8, 1, "9x", "Invalid FEN character: x"),
    (8, 1, "9p", "Invalid FEN: col index out of bounds"),
    (2, 2, "x1/3", "Invalid FEN character: x"),
    (2, 2, "3/x1", "Invalid FEN: row 1 has wrong number of squares"),
    (2, 2, "2/18446744073709551616", "Invalid FEN number: 18446744073709551616"),
    (2, 1, "18446744073709551615", "Invalid FEN: row 0 has wrong number of squares"),
    # the column counter must not wrap around: the third pawn lies far beyond the last column
    (3, 1, "pp18446744073709551615p1", "Invalid FEN: col index out of bounds"),
])
def test_placement_messages(width, height, text, message):
    # the same reader behind Board(...) and Game(...)
    assert error(lambda: mc.Board(width, height, text)) == message
    assert error(lambda: mc.Game(width, height, fen(text), False)) == message


@pytest.mark.parametrize("call,message", [
    (lambda: mc.Board(8, 8, STANDARD_FEN), "Invalid FEN character:  "),  # a full FEN is not a placement
    (lambda: mc.Board.empty(8, 33), "Board height must be between 1 and 32"),
    (lambda: mc.Game(33, 32, STANDARD_FEN, True), "NW out of range: 17"),
], ids=["full-fen", "board-height", "size-class"])
def test_board_and_size_messages(call, message):
    assert error(call) == message


@pytest.mark.parametrize("width,height", [(1, 33), (2, 40), (1, 1024), (1, 64)])
def test_game_higher_than_32_rows(width, height):
    pieces = {(0, height - 1): "k", (0, 0): "K"}
    assert "32" in error(lambda: mc.Game(width, height, fen(placement(width, height, pieces)), False))


@pytest.mark.parametrize("width,height", [(0, 8), (2**32, 2**32), (U64, U64), (2**63, 2), (2**62, 4)])
def test_size_class_errors_never_wrap(width, height):
    with pytest.raises(ValueError, match="^NW out of range: "):
        mc.Game(width, height, STANDARD_FEN, True)


def test_placement_readers_accept():
    assert repr(mc.Board(10, 2, "10/4k5").get_piece(4, 0)) == "Piece(King, Black)"
    b = mc.Board(2, 1, "0P0p")
    assert b.get_piece(0, 0).symbol() == "P" and b.get_piece(1, 0).symbol() == "p"
    assert b.to_fen() == "Pp"
    b = mc.Board(8, 8, "8/8/8/8/8/8/8/8")
    assert all(b.get_piece(c, r) is None for c in range(8) for r in range(8))
    assert mc.Board(16, 2, "16/15R").to_fen() == "16/15R"


def test_off_board_squares_never_wrap():
    b = mc.Board.standard()
    for col, row in [(8, 0), (0, 8), (U64, 0), (0, U64), (U64, U64), (0, 2**61), (2**61, 0)]:
        assert b.get_piece(col, row) is None
        b.set_piece(col, row, mc.Piece("q", 1))
    assert b.to_fen() == "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR"
    g = mc.Game.standard()
    g.set_piece(U64, 0, mc.Piece("q", 1))
    assert g.get_piece(0, 2**61) is None
    assert g.to_fen() == STANDARD_FEN


def picture(width, height, pieces):
    lines = [f"{row + 1:>2} " + "".join(pieces.get((c, row), ".") + " " for c in range(width)) + "\n"
             for row in range(height - 1, -1, -1)]
    return "".join(lines) + "   " + "".join((chr(97 + c) if c <= 25 else str(c)) + " " for c in range(width))


def random_pieces(width, height, rng, density):
    return {(col, row): rng.choice("PNBRQKpnbrqk")
            for row in range(height) for col in range(width) if rng.random() < density}


@pytest.mark.parametrize("width,height", [(1, 1), (8, 8), (9, 8), (16, 16), (32, 32), (1, 32), (32, 1)])
def test_board_placement_round_trip(width, height):
    rng = make_rng(width * 100 + height)
    for density in (0.0, 0.05, 0.3, 1.0):
        pieces = random_pieces(width, height, rng, density)
        text = placement(width, height, pieces)
        b = mc.Board(width, height, text)
        assert b.to_fen() == text
        assert {(c, r): b.get_piece(c, r).symbol() for c in range(width) for r in range(height)
                if b.get_piece(c, r)} == pieces
        assert str(b) == picture(width, height, pieces)
        # square edits agree with an independent placement writer
        for _ in range(20):
            sq = (rng.randrange(width), rng.randrange(height))
            letter = rng.choice("PNBRQKpnbrqk-")
            if letter == "-":
                b.set_piece(*sq, None)
                pieces.pop(sq, None)
            else:
                b.set_piece(*sq, mc.Piece(letter, 1 if letter.isupper() else -1))
                pieces[sq] = letter
        assert b.to_fen() == placement(width, height, pieces)
        b.clear()
        assert b.to_fen() == placement(width, height, {})
        assert (b.width(), b.height()) == (width, height)


@pytest.mark.parametrize("width,height", [(8, 8), (9, 8), (16, 16), (32, 32), (33, 31), (1024, 1), (2, 32)])
def test_game_placement_round_trip(width, height):
    rng = make_rng(width * 7 + height)
    for density in (0.0, 0.1, 0.5):
        pieces = {sq: l for sq, l in random_pieces(width, height, rng, density).items() if l not in "Kk"}
        squares = [(c, r) for c in range(width) for r in range(height) if (c, r) not in pieces]
        if len(squares) < 2:
            squares = [(0, 0), (width - 1, height - 1)]
        wk, bk = rng.sample(squares, 2)
        pieces[wk], pieces[bk] = "K", "k"
        text = fen(placement(width, height, pieces), "b", "-", "-", 7, 9)
        g = mc.Game(width, height, text, False)
        assert g.to_fen() == text
        assert parse_placement(width, g.to_fen().split(" ")[0]) == pieces
        assert str(g).split("\n", 1)[1] == picture(width, height, pieces)  # after the summary line
        assert (g.width(), g.height()) == (width, height)


# --- board picture (also checked in the round trips above) ---------------------------------

def test_board_picture_examples():
    assert str(mc.Board(1, 1, "K")) == " 1 K \n   a "
    assert str(mc.Board.empty(1, 1)) == " 1 . \n   a "
    assert str(mc.Board.empty(3, 12)).startswith("12 . . . \n11 . . . \n")


# --- six-field FEN reader ------------------------------------------------------------------

KINGS = "4k3/8/8/8/8/8/8/4K3"


@pytest.mark.parametrize("text,castling_enabled,message", grouped({
    "Invalid FEN: expected 6 parts, got 5": [(KINGS + " w - - 0", True), (KINGS + "\tw - - 0 1", True)],
    "Invalid FEN: expected 6 parts, got 1": [("", True)],
    "Invalid FEN: expected 6 parts, got 7": [(KINGS + " w -  - 0 1", True), (KINGS + " w - - 0 1 ", True)],
    "Invalid FEN: expected 8 rows, got 7": [("8/8/8/8/8/8/8 x xyz xyz x x", True)],
    "Invalid turn in FEN": [(KINGS + " W xyz xyz x x", True), (KINGS + " white - - 0 1", True),
                            (KINGS + "  - - 0 1", True)],
    "Invalid castling rights in FEN": [(KINGS + " w xyz xyz x x", True), (KINGS + " w KQkq1 - 0 1", True)],
    "Invalid row number": [(KINGS + " w xyz xyz x x", False)],  # the castling field is not read at all
    "Invalid position string": [(KINGS + " w - a x x", True)],
    "Invalid halfmove clock in FEN": [(KINGS + " w - e3 x x", True), (KINGS + " w - - 4294967296 1", True),
                                      (KINGS + " w - - -0 1", True), (KINGS + " w - - + 1", True),
                                      (KINGS + " w - - 1.0 1", True), (KINGS + " w - -  1", True)],
    "Invalid fullmove number in FEN": [(KINGS + " w - - 0 x", True), (KINGS + " w - - 0 4294967296", True),
                                       (KINGS + " w - - 0 -1", True), ("8/8/8/8/8/8/8/8 w - - 0 x", True)],
    "No white king found in FEN position": [("8/8/8/8/8/8/8/8 w - - 0 1", True),
                                            ("4k3/8/8/8/8/8/8/8 w - - 0 1", True)],
    "No black king found in FEN position": [("8/8/8/8/8/8/8/4K3 w - - 0 1", True)],
}))
def test_fen_reader_messages(text, castling_enabled, message):
    assert error(lambda: mc.Game(8, 8, text, castling_enabled)) == message


def castling_rights(g):
    return tuple(f(c) for c in (1, -1) for f in (g.has_kingside_castling_rights, g.has_queenside_castling_rights))


@pytest.mark.parametrize("field,rights,written", [
    ("KQkqKQ", (True, True, True, True), "KQkq"), ("-K", (True, False, False, False), "K"),
    ("qkQK-", (True, True, True, True), "KQkq"), ("-", (False,) * 4, "-"), ("q", (False, False, False, True), "q"),
    ("k-Q", (False, True, True, False), "Qk"),
])
def test_castling_field(field, rights, written):
    g = mc.Game(8, 8, f"r3k2r/8/8/8/8/8/8/R3K2R w {field} - 0 1", True)
    assert g.castling_enabled() and g.turn() == 1 and castling_rights(g) == rights
    assert g.to_fen().split(" ")[2] == written


@pytest.mark.parametrize("field", ["xyz", "KQkq"])
def test_castling_field_ignored_when_disabled(field):
    g = mc.Game(8, 8, f"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w {field} - 0 1", False)
    assert not g.castling_enabled() and castling_rights(g) == (False,) * 4
    assert g.to_fen() == "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w - - 0 1"


@pytest.mark.parametrize("halfmove,fullmove,written", [
    ("+5", "+12", ("5", "12")), ("007", "0", ("7", "0")), ("4294967295", "4294967295", ("4294967295", "4294967295")),
])
def test_clock_fields(halfmove, fullmove, written):
    g = mc.Game(8, 8, f"{KINGS} b - - {halfmove} {fullmove}", False)
    assert (str(g.halfmove_clock()), str(g.fullmove_number())) == written
    assert g.to_fen().split(" ")[4:] == list(written)


def test_stray_en_passant_square_is_stored_not_written():
    g = mc.Game(8, 8, "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq e3 0 1", True)
    assert str(g.en_passant_square()) == "e3"
    assert not g.has_legal_en_passant()
    assert g.to_fen() == STANDARD_FEN
