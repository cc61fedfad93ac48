"""Rules: attacks, move generation and its order, legality, make/unmake, FEN writer, game end, rewards."""
import pytest

import murkle_chess as mc
from chess_util import STANDARD_FEN, U64, error, fen_field, game, lans, make_rng, play

U32 = 2**32 - 1


def panic(call):
    """The message of the PanicException `call()` raises: a BaseException only, not exported."""
    with pytest.raises(BaseException) as e:
        call()
    assert type(e.value).__name__ == "PanicException" and type(e.value).__bases__ == (BaseException,)
    assert not hasattr(mc, "PanicException")
    return str(e.value)


# --- attacks (seen through the check test of the side to move) ---------------------------

K, k = "K", "k"


@pytest.mark.parametrize("pieces,turn,expected", [
    ({(1, 2): k, (0, 1): "P", (7, 7): K}, "b", True),       # white pawn a2 attacks b3
    ({(0, 2): k, (0, 1): "P", (7, 7): K}, "b", False),      # ... not a3
    ({(0, 5): K, (1, 6): "p", (7, 0): k}, "w", True),       # black pawn b7 attacks a6
    ({(1, 5): K, (1, 6): "p", (7, 0): k}, "w", False),      # ... not b6
    ({(0, 7): k, (0, 0): "R", (7, 1): K}, "b", True),       # rook a1 - a8 on an empty file
    ({(0, 7): k, (0, 0): "R", (0, 3): "n", (7, 1): K}, "b", False),
    ({(4, 2): k, (2, 0): "B", (7, 7): K}, "b", True),       # bishop c1 - e3
    ({(4, 2): k, (2, 0): "B", (3, 1): "n", (7, 7): K}, "b", False),
    ({(4, 4): k, (5, 2): "N", (4, 3): "p", (5, 3): "p", (4, 5): "p", (3, 4): "p", (7, 7): K}, "b", True),
    ({(4, 4): k, (1, 1): "Q", (7, 7): K}, "b", True),       # queen diagonal
    ({(4, 4): k, (1, 1): "Q", (3, 3): "n", (7, 7): K}, "b", False),
    ({(4, 4): k, (4, 0): "Q", (6, 0): K}, "b", True),       # queen file
    ({(4, 4): k, (3, 2): "Q", (7, 7): K}, "b", False),      # no queen line
    ({(4, 4): k, (3, 3): K}, "b", True),                    # king neighbour
    ({(4, 4): k, (4, 2): K}, "b", False),
    # nothing wraps around the board edge
    ({(0, 1): k, (7, 0): "R", (4, 7): K}, "b", False),
    ({(1, 2): k, (7, 0): "N", (4, 7): K}, "b", False),
    ({(0, 3): k, (7, 1): "P", (4, 7): K}, "b", False),
    ({(7, 2): k, (0, 2): "P", (4, 7): K}, "b", False),
])
def test_attacks(pieces, turn, expected):
    assert game(8, 8, pieces, turn).is_check() is expected


@pytest.mark.parametrize("letter,expected", [("r", True), ("q", True), ("b", False), ("n", False),
                                             ("k", False), ("p", False)])
def test_attacker_standing_on_the_square(letter, expected):
    g = mc.Game(8, 8, "4k3/8/8/8/8/8/8/K7 b - - 0 1", False)
    g.set_piece(4, 7, mc.Piece(letter, 1))
    assert g.is_check() is expected


def test_check_uses_cached_king_square():
    g = mc.Game(8, 8, "4k3/8/8/8/8/8/8/4K3 w - - 0 1", False)
    g.set_piece(4, 0, None)
    g.set_piece(0, 0, mc.Piece("k", 1))
    g.set_piece(4, 4, mc.Piece("r", -1))
    assert g.is_check()
    # with two white kings the lower square index is the tracked one
    assert mc.Game(8, 8, "1r2k3/8/6K1/8/8/8/8/1K6 w - - 0 1", False).is_check()
    assert not mc.Game(8, 8, "4k1r1/8/6K1/8/8/8/8/1K6 w - - 0 1", False).is_check()


# --- generation order and shape ------------------------------------------------------------

STANDARD_ORDER = ["b1a3", "b1c3", "g1f3", "g1h3"] + [f"{f}2{f}{r}" for f in "abcdefgh" for r in (3, 4)]


def test_standard_order():
    g = mc.Game.standard()
    assert lans(g.legal_moves()) == STANDARD_ORDER
    assert lans(g.psuedo_legal_moves()) == STANDARD_ORDER
    assert g.legal_moves() == g.psuedo_legal_moves()


def walk(col, row, steps, width, height, occupied, own, slide):
    out = []
    for dc, dr in steps:
        c, r = col + dc, row + dr
        while 0 <= c < width and 0 <= r < height:
            if (c, r) in own:
                break
            out.append((c, r))
            if (c, r) in occupied or not slide:
                break
            c, r = c + dc, r + dr
    return out


KNIGHT = [(-2, -1), (-2, 1), (-1, -2), (-1, 2), (1, -2), (1, 2), (2, -1), (2, 1)]
BISHOP = [(1, 1), (1, -1), (-1, 1), (-1, -1)]
ROOK = [(0, 1), (0, -1), (1, 0), (-1, 0)]
QUEEN = ROOK + BISHOP
KING = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]


@pytest.mark.parametrize("letter,steps,slide", [("N", KNIGHT, False), ("B", BISHOP, True), ("R", ROOK, True),
                                                ("Q", QUEEN, True), ("K", KING, False)])
@pytest.mark.parametrize("width,height,square,others", [
    (8, 8, (3, 3), {}),
    (8, 8, (3, 3), {(3, 5): "P", (3, 1): "n", (5, 5): "b", (1, 1): "N", (5, 3): "p", (2, 2): "P"}),
    (10, 6, (0, 0), {(4, 4): "q"}),
    (12, 12, (11, 6), {(11, 9): "r", (6, 6): "B"}),
])
def test_piece_order(letter, steps, slide, width, height, square, others):
    pieces = dict(others)
    pieces[square] = letter
    if letter != "K":
        pieces[(width - 1, height - 1) if square != (width - 1, height - 1) else (0, height - 1)] = "K"
    bk = next((c, r) for r in range(height - 1, -1, -1) for c in range(width)
              if (c, r) not in pieces and all(max(abs(c - a), abs(r - b)) > 2 for (a, b) in pieces))
    pieces[bk] = "k"
    g = game(width, height, pieces)
    occupied = set(pieces)
    own = {sq for sq, l in pieces.items() if l.isupper()}
    expected = walk(*square, steps, width, height, occupied, own, slide)
    moves = [m for m in g.psuedo_legal_moves() if m.src_square() == square]
    assert [m.dst_square() for m in moves] == expected
    for m in moves:  # captures carry the capture flag, quiet moves nothing
        assert (m == mc.Move.from_rowcol(*square, *m.dst_square())) == (m.dst_square() not in occupied)
        if len(m.to_lan()) == 4:  # squares of two characters only can be read back
            assert m == g.move_from_lan(m.to_lan())


@pytest.mark.parametrize("width,height,pieces,square,expected", [
    (3, 3, {(0, 1): "P", (2, 0): K, (2, 2): k}, (0, 1), ["a2a3q", "a2a3r", "a2a3b", "a2a3n"]),
    (4, 2, {(0, 1): "P", (1, 0): K, (3, 1): k}, (0, 1), []),
    (3, 4, {(0, 1): "P", (2, 0): K, (2, 3): k}, (0, 1), ["a2a3", "a2a4"]),
    (3, 4, {(0, 2): "p", (2, 0): K, (2, 3): k}, (0, 2), ["a3a2", "a3a1"]),
    (8, 8, {(0, 1): "P", (7, 2): "p", (1, 2): "p", (4, 0): K, (4, 7): k}, (0, 1), ["a2a3", "a2a4", "a2b3"]),
    (8, 8, {(7, 1): "P", (0, 3): "p", (6, 2): "p", (4, 0): K, (4, 7): k}, (7, 1), ["h2h3", "h2h4", "h2g3"]),
    (8, 8, {(4, 6): "P", (3, 7): "n", (5, 7): "b", (0, 0): K, (7, 0): k}, (4, 6),
     [f"e7{d}8{p}" for d in "edf" for p in "qrbn"]),
])
def test_pawn_shapes(width, height, pieces, square, expected):
    turn = "w" if pieces[square].isupper() else "b"
    g = game(width, height, pieces, turn)
    moves = g.legal_moves_for_position(*square)
    assert lans(moves) == expected
    for m in moves:
        assert m == g.move_from_lan(m.to_lan())
        assert m.promotion() == (m.to_lan()[4:] or None)


def test_double_push_to_last_row_is_not_a_promotion():
    g = game(3, 4, {(0, 1): "P", (2, 0): K, (2, 3): k})
    double = g.legal_moves_for_position(0, 1)[1]
    assert double.to_lan() == "a2a4" and double != mc.Move.from_rowcol(0, 1, 0, 3)
    assert g.make_move(double) and g.get_piece(0, 3).symbol() == "P"


CASTLE = "r3k2r/8/8/8/8/8/8/R3K2R"
E1 = ["e1d1", "e1d2", "e1e2", "e1f1", "e1f2"]  # the king's steps, in generation order


@pytest.mark.parametrize("text,castling_enabled,king,expected", [
    (CASTLE + " w KQkq - 0 1", True, (4, 0), E1 + ["e1g1", "e1c1"]),
    (CASTLE + " w KQkq - 0 1", False, (4, 0), E1),
    (CASTLE + " w K - 0 1", True, (4, 0), E1 + ["e1g1"]),
    (CASTLE + " b KQkq - 0 1", True, (4, 7), ["e8d7", "e8d8", "e8e7", "e8f7", "e8f8", "e8g8", "e8c8"]),
    ("1r2k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", True, (4, 0), E1 + ["e1g1", "e1c1"]),  # attacked b1 does not matter
    ("r3k2r/8/8/8/8/8/8/RN2K2R w KQkq - 0 1", True, (4, 0), E1 + ["e1g1"]),          # occupied b1 does
    ("r3kr2/8/8/8/8/8/8/R3K2R w KQkq - 0 1", True, (4, 0), ["e1d1", "e1d2", "e1e2", "e1c1"]),
    ("r3k1r1/8/8/8/8/8/8/R3K2R w KQkq - 0 1", True, (4, 0), E1 + ["e1c1"]),
    ("r2rk2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", True, (4, 0), ["e1e2", "e1f1", "e1f2", "e1g1"]),
    ("r3k2r/8/8/8/4r3/8/8/R3K2R w KQkq - 0 1", True, (4, 0), ["e1d1", "e1d2", "e1f1", "e1f2"]),
    # the king must stand on its own square and a rook of its colour in the corner
    ("4k3/8/8/8/4K3/8/8/R6R w KQ - 0 1", True, (4, 3),
     ["e4d3", "e4d4", "e4d5", "e4e3", "e4e5", "e4f3", "e4f4", "e4f5"]),
    ("4k3/8/8/8/8/8/8/R2K3R w KQ - 0 1", True, (3, 0), ["d1c1", "d1c2", "d1d2", "d1e1", "d1e2"]),
    ("4k3/8/8/8/8/8/8/4K3 w KQ - 0 1", True, (4, 0), E1),
    ("4k3/8/8/8/8/8/8/B3K2N w KQ - 0 1", True, (4, 0), E1),
    ("4k3/8/8/8/8/8/8/r3K2r w KQ - 0 1", True, (4, 0), ["e1d2", "e1e2", "e1f2"]),
])
def test_castling_generation(text, castling_enabled, king, expected):
    g = mc.Game(8, 8, text, castling_enabled)
    assert lans(g.legal_moves_for_position(*king)) == expected


@pytest.mark.parametrize("width,height,text", [
    (10, 8, "r3k4r/10/10/10/10/10/10/R3K4R w KQkq - 0 1"),
    (8, 10, "r3k2r/8/8/8/8/8/8/8/8/R3K2R w KQkq - 0 1"),
])
def test_no_castling_off_8x8(width, height, text):
    g = mc.Game(width, height, text, True)
    assert g.has_kingside_castling_rights(1)
    assert all(abs(m.dst_square()[0] - m.src_square()[0]) <= 1 for m in g.legal_moves_for_position(4, 0))


def test_castling_moves_the_rook_only_with_its_flag():
    g = mc.Game(8, 8, CASTLE + " w KQkq - 0 1", True)
    castle = [m for m in g.legal_moves() if m.to_lan() == "e1g1"][0]
    assert castle == g.move_from_lan("e1g1") and castle != mc.Move.from_rowcol(4, 0, 6, 0)
    before = g.to_fen()
    assert g.make_move(castle)
    assert g.to_fen() == "r3k2r/8/8/8/8/8/8/R4RK1 b kq - 1 1"
    assert g.unmake_move() and g.to_fen() == before
    assert g.make_move(mc.Move.from_rowcol(4, 0, 2, 0))  # flags 0: only the king moves
    assert g.to_fen() == "r3k2r/8/8/8/8/8/8/R1K4R b kq - 1 1"
    # a castling-flagged move made by a rook moves nothing else
    h = mc.Game(8, 8, "4k3/8/8/8/8/8/8/K3R2R w - - 0 1", False)
    assert h.make_move(castle)
    assert h.to_fen() == "4k3/8/8/8/8/8/8/K5RR b - - 1 1"
    assert h.unmake_move() and h.to_fen() == "4k3/8/8/8/8/8/8/K3R2R w - - 0 1"


# --- legality ------------------------------------------------------------------------------

def test_pins_and_check_evasion():
    g = mc.Game(8, 8, "4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1", False)
    assert g.legal_moves_for_position(4, 1) == []
    assert len([m for m in g.psuedo_legal_moves() if m.src_square() == (4, 1)]) == 9
    assert not g.make_move(mc.Move.from_rowcol(4, 1, 3, 2))
    g = mc.Game(8, 8, "4k3/8/8/4r3/8/R7/8/4K3 w - - 0 1", False)  # in check from e5
    assert sorted(lans(g.legal_moves())) == ["a3e3", "e1d1", "e1d2", "e1f1", "e1f2"]
    g = mc.Game(8, 8, "4k3/4r3/8/8/8/8/8/3K4 w - - 0 1", False)  # cannot step onto attacked squares
    assert sorted(lans(g.legal_moves())) == ["d1c1", "d1c2", "d1d2"]


@pytest.mark.parametrize("col,row", [(4, 4), (4, 6), (8, 0), (0, 8), (100, 100), (U64, U64)])
def test_legal_moves_for_position_empty(col, row):
    assert mc.Game.standard().legal_moves_for_position(col, row) == []


def test_is_legal_move_ignores_flags():
    g = mc.Game.standard()
    assert g.is_legal_move(mc.Move.from_rowcol(4, 1, 4, 3))
    assert not g.is_legal_move(mc.Move.from_rowcol(4, 1, 4, 4))
    assert not g.is_legal_move(mc.Move.from_rowcol(4, 6, 4, 4))
    assert not g.is_legal_move(mc.Move.from_rowcol(9, 9, 4, 4))
    g = game(8, 8, {(4, 6): "P", (0, 0): K, (7, 0): k})
    assert g.is_legal_move(mc.Move.from_lan("e7e8n", 8, 8))
    assert g.is_legal_move(mc.Move.from_rowcol(4, 6, 4, 7))


# --- make / unmake -------------------------------------------------------------------------

def test_make_move_state():
    g = mc.Game.standard()
    e4 = [m for m in g.legal_moves() if m.to_lan() == "e2e4"][0]
    assert e4 == g.move_from_lan("e2e4") != mc.Move.from_lan("e2e4", 8, 8)
    assert g.make_move(e4)
    assert str(g.en_passant_square()) == "e3"
    assert (g.halfmove_clock(), g.turn(), g.fullmove_number()) == (0, -1, 1)
    play(g, "e7e5")
    assert str(g.en_passant_square()) == "e6" and g.fullmove_number() == 2
    play(g, "g1f3")
    assert g.en_passant_square() is None and g.halfmove_clock() == 1
    assert g.to_fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 1 2"
    for expected in (True, True, True, False):
        assert g.unmake_move() is expected
    assert g.to_fen() == STANDARD_FEN


@pytest.mark.parametrize("text,move", [
    (STANDARD_FEN, (4, 6, 4, 4)),                               # not the side to move
    (STANDARD_FEN, (4, 3, 4, 4)),                               # empty source
    (STANDARD_FEN, (4, 1, 4, 4)),                               # not a legal destination
    ("4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1", (4, 1, 3, 2)),        # exposes the king
    (STANDARD_FEN, (8, 1, 8, 2)),                               # off the board
])
def test_refused_moves_change_nothing(text, move):
    g = mc.Game(8, 8, text, True)
    before = (g.to_fen(), hash(g))
    assert g.make_move(mc.Move.from_rowcol(*move)) is False
    assert (g.to_fen(), hash(g)) == before
    assert g.unmake_move() is False


@pytest.mark.parametrize("text,lan,square,symbol", [
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8n", (0, 7), "N"),
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8", (0, 7), "P"),  # no promotion flag: stays a pawn
    # the promotion flag acts only for pawns reaching the last row
    ("4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e1e2q", (4, 1), "K"),
    (STANDARD_FEN, "e2e3q", (4, 2), "P"),
    ("4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "a1a8q", (0, 7), "R"),
])
def test_promotion_effects(text, lan, square, symbol):
    g = mc.Game(8, 8, text, True)
    assert g.make_move(mc.Move.from_lan(lan, 8, 8))
    assert g.get_piece(*square).symbol() == symbol
    assert g.unmake_move() and g.to_fen() == text


def test_en_passant_flag_on_an_ordinary_capture_removes_nothing_else():
    ep = mc.Game(8, 8, "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", False).move_from_lan("e5d6")
    assert ep != mc.Move.from_rowcol(4, 4, 3, 5)
    g = mc.Game(8, 8, "4k3/8/3n4/3pP3/8/8/8/4K3 w - - 0 1", False)
    assert g.make_move(ep)
    assert g.to_fen() == "4k3/8/3P4/3p4/8/8/8/4K3 b - - 0 1"
    assert g.unmake_move() and g.to_fen() == "4k3/8/3n4/3pP3/8/8/8/4K3 w - - 0 1"


def test_en_passant_exposing_the_king():
    g = mc.Game(8, 8, "8/8/8/K2pP2r/8/8/8/4k3 w - d6 0 1", False)
    assert str(g.en_passant_square()) == "d6"
    assert not g.has_legal_en_passant() and fen_field(g, 3) == "-"
    assert "e5d6" not in lans(g.legal_moves())


@pytest.mark.parametrize("text,pawn_moves", [
    ("4k3/8/8/4P3/8/8/8/4K3 w - d6 0 1", ["e5e6"]),          # nobody passed
    ("4k3/8/3N4/3pP3/8/8/8/4K3 w - d6 0 1", ["e5e6"]),       # own piece on the square
    ("4k3/8/8/3PP3/8/8/8/4K3 w - d6 0 1", ["e5e6"]),         # own pawn beside
    ("4k3/8/8/3nP3/8/8/8/4K3 w - d6 0 1", ["e5e6"]),         # not a pawn beside
    ("4k3/8/3n4/3pP3/8/8/8/4K3 w - d6 0 1", ["e5e6", "e5d6"]),  # an ordinary capture, once
    ("4k3/8/8/8/8/8/8/4K3 w - e6 0 1", []),
])
def test_only_real_en_passant(text, pawn_moves):
    g = mc.Game(8, 8, text, False)
    got = [m for m in g.legal_moves() if m.src_square() in ((4, 4), (4, 3))]
    assert lans(got) == pawn_moves
    assert not g.has_legal_en_passant()
    for m in got:
        assert m == g.move_from_lan(m.to_lan())
        assert g.make_move(m)
        assert g.unmake_move() and g.to_fen().split(" ")[0] == text.split(" ")[0]


def test_stray_square_with_a_pawn_beside_is_a_real_capture():
    # the stored square is empty and the enemy pawn stands beside the capturer on that column
    g = mc.Game(8, 8, "4k3/8/8/8/3pP3/8/8/4K3 w - d5 0 1", False)
    ep = [m for m in g.legal_moves() if m.to_lan() == "e4d5"]
    assert len(ep) == 1 and ep[0] == g.move_from_lan("e4d5") != mc.Move.from_rowcol(4, 3, 3, 4)
    assert g.has_legal_en_passant() and fen_field(g, 3) == "d5"
    assert g.make_move(ep[0]) and g.get_piece(3, 3) is None


def test_move_from_lan_on_stray_en_passant_square():
    g = mc.Game(8, 8, "4k3/8/8/4P3/8/8/8/4K3 w - e6 0 1", False)
    assert g.move_from_lan("e5e6") == mc.Move.from_rowcol(4, 4, 4, 5) == g.legal_moves_for_position(4, 4)[0]


def test_move_from_lan_flags():
    g = mc.Game.standard()
    assert g.move_from_lan("e2e4") == g.legal_moves()[13]
    assert g.move_from_lan("e7e5") != mc.Move.from_rowcol(4, 6, 4, 4)   # double push, no legality test
    assert g.move_from_lan("g1f3") == mc.Move.from_rowcol(6, 0, 5, 2)
    assert g.move_from_lan("a1a2") != mc.Move.from_rowcol(0, 0, 0, 1)   # destination occupied: capture
    assert error(lambda: g.move_from_lan("e3e4")) == "No piece at source square"
    assert error(lambda: g.move_from_lan("e2e9")) == "Move positions out of bounds"


@pytest.mark.parametrize("width,height", [(8, 8), (3, 4), (5, 6), (7, 10), (16, 16), (32, 32), (33, 31)])
@pytest.mark.parametrize("mover", ["b", "w"])
def test_en_passant_on_every_size(width, height, mover):
    c = width - 2
    if mover == "b":  # Black pushes two rows past a White pawn, which may take
        pieces = {(c, height - 2): "p", (c + 1, height - 4): "P"}
        push, capture_row, ep_row = height - 2, height - 4, height - 3
    else:
        pieces = {(c, 1): "P", (c + 1, 3): "p"}
        push, capture_row, ep_row = 1, 3, 2
    pieces.update({(0, 0): K, (0, height - 1): k})
    g = game(width, height, pieces, mover)
    double = [m for m in g.legal_moves() if m.src_square() == (c, push)][-1]
    if len(double.to_lan()) == 4:  # squares of two characters only can be read back
        assert g.move_from_lan(double.to_lan()) == double
    assert g.make_move(double)
    assert (g.en_passant_square().col(), g.en_passant_square().row()) == (c, ep_row)
    assert g.has_legal_en_passant()
    text = g.to_fen()
    assert text.split(" ")[3] == str(mc.Position(c, ep_row))
    assert mc.Game(width, height, text, False).legal_moves() == g.legal_moves()
    capture = [m for m in g.legal_moves() if m.dst_square() == (c, ep_row) and m.src_square() == (c + 1, capture_row)]
    assert len(capture) == 1 and capture[0] != mc.Move.from_rowcol(c + 1, capture_row, c, ep_row)
    if len(capture[0].to_lan()) == 4:
        assert g.move_from_lan(capture[0].to_lan()) == capture[0]
    assert g.make_move(capture[0]) and g.get_piece(c, capture_row) is None
    assert g.get_piece(c, ep_row).symbol() == ("P" if mover == "b" else "p")
    assert g.unmake_move() and g.to_fen() == text


@pytest.mark.parametrize("turn,ep", [("w", "18446744073709551615-6"), ("w", "a0"), ("b", "a18446744073709551615"),
                                     ("w", "b18446744073709551615")])
def test_en_passant_square_far_away(turn, ep):
    g = game(8, 8, {(0, 4): "P", (1, 3): "p", (4, 0): K, (4, 7): k}, turn, ep=ep)
    assert not g.has_legal_en_passant()
    assert fen_field(g, 3) == "-"
    assert all(m.dst_square()[0] < 8 and m.dst_square()[1] < 8 for m in g.legal_moves())
    assert len([m for m in g.legal_moves() if m.src_square() in ((0, 4), (1, 3))]) == 1


@pytest.mark.parametrize("width,text,lan,written", [
    (8, CASTLE + " w KQkq - 0 1", "h1h8", "Qq"),
    (8, CASTLE + " w KQkq - 0 1", "a1a2", "Kkq"),
    (8, CASTLE + " w KQkq - 0 1", "e1e2", "kq"),
    (8, "r3k2r/8/8/8/8/8/5n2/R3K2R b KQkq - 0 1", "f2h1", "Qkq"),
    # on a wide board the corner rook is the kingside one, not the rook on the h-file
    (10, "r3k4r/10/10/10/10/10/10/R3K4R w KQkq - 0 1", "j1j2", "Qkq"),
    (10, "r3k4r/10/10/10/10/10/10/R3K2R2 w KQkq - 0 1", "h1h2", "KQkq"),
])
def test_castling_rights_updates(width, text, lan, written):
    g = mc.Game(width, 8, text, True)
    play(g, lan)
    assert fen_field(g, 2) == written
    assert g.unmake_move() and g.to_fen() == text


def test_castling_right_queries_by_colour():
    g = mc.Game(8, 8, CASTLE + " w Kq - 0 1", True)
    assert [g.has_kingside_castling_rights(c) for c in (1, -1, 0, 5)] == [True, False, False, False]
    assert [g.has_queenside_castling_rights(c) for c in (1, -1, 0, 5)] == [False, True, True, True]


@pytest.mark.parametrize("start,moves", [
    ("4k3/8/8/8/8/8/8/4K2N w - - 4294967295 4294967295", ["h1g3", "e8d8", "g3e4", "d8e8"]),
    ("4k3/8/8/8/8/8/8/4K2N b - - 4294967294 4294967294", ["e8d8", "h1g3", "d8e8", "g3e4"]),
])
def test_clocks_saturate_and_unmake_restores_them(start, moves):
    g = mc.Game(8, 8, start, False)
    seen = []
    for lan in moves:
        seen.append((g.halfmove_clock(), g.fullmove_number()))
        play(g, lan)
        assert g.halfmove_clock() <= U32 and g.fullmove_number() <= U32
        assert g.halfmove_clock() == min(seen[-1][0] + 1, U32)
    assert g.halfmove_clock() == U32 and g.fullmove_number() == U32
    for expected in reversed(seen):
        assert g.unmake_move()
        assert (g.halfmove_clock(), g.fullmove_number()) == expected
    assert g.to_fen() == start


# --- game end ------------------------------------------------------------------------------

FOOLS_MATE = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"
STALEMATE = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"


def outcome_name(g):
    o = g.outcome()
    return None if o is None else o.name()


WINNERS = {"white_win": 1, "black_win": -1}


@pytest.mark.parametrize("width,height,text,name", [
    (8, 8, "r1bqkb1r/pppp1Qpp/2n2n2/4p3/2B1P3/8/PPPP1PPP/RNB1K1NR b KQkq - 0 4", "white_win"),
    (8, 8, FOOLS_MATE, "black_win"),
    (8, 8, FOOLS_MATE.replace(" 1 3", " 150 3"), "black_win"),
    (8, 8, STALEMATE, "stalemate"),
    (8, 8, STALEMATE.replace(" 0 1", " 150 1"), "stalemate"),
    (1, 3, "k/1/K b - - 0 1", "stalemate"),
    (8, 8, "4k3/8/8/8/8/8/8/4K3 w - - 150 1", "insufficient_material"),
    (8, 8, "4k3/8/8/8/8/8/8/R3K3 w - - 149 1", None),
    (8, 8, "4k3/8/8/8/8/8/8/R3K3 w - - 150 1", "fifty_move_rule"),
    (8, 8, "4k3/8/8/8/8/8/8/R3K3 w - - 4294967295 1", "fifty_move_rule"),
    (8, 8, STANDARD_FEN, None),
])
def test_outcomes_and_rewards(width, height, text, name):
    g = mc.Game(width, height, text, True)
    assert outcome_name(g) == name
    assert g.is_over() is (name is not None)
    assert g.is_checkmate() is (name in WINNERS)
    assert g.is_stalemate() is (name == "stalemate")
    if name is None:  # an unfinished game is worth nothing, from any perspective
        assert g.reward_absolute() == 0.0
        assert all(g.reward_from_perspective(p) == 0.0 for p in (1, -1, 0, 5, -128, 127))
        return
    o, winner = g.outcome(), WINNERS.get(name)
    value = float(winner or 0)
    assert o.winner() == winner and o.is_draw() is (winner is None)
    assert g.reward_absolute() == o.encode_winner_absolute() == value
    assert g.reward_from_perspective(1) == o.encode_winner_from_perspective(1) == value
    assert g.reward_from_perspective(-1) == o.encode_winner_from_perspective(-1) == -value
    for p in (0, 2, -128, 127):
        assert panic(lambda: o.encode_winner_from_perspective(p)) == "Unrecognized perspective"
        assert panic(lambda: g.reward_from_perspective(p)) == "Invalid perspective"
    assert g.to_fen() == text and o == g.outcome()
    camel = "".join(w.capitalize() for w in name.split("_"))
    assert f"outcome: Some({camel}))\n" in str(g)


def test_checkmate_beats_insufficient_material():
    g = mc.Game(8, 8, "k7/8/8/8/8/8/8/K6B b - - 0 1", False)
    assert g.is_check() and not g.is_checkmate()
    g.set_piece(0, 7, None)  # the cached king square stays attacked; Black has no move left
    assert g.is_insufficient_material()
    assert g.is_checkmate() and outcome_name(g) == "white_win"


@pytest.mark.parametrize("width,height,pieces,expected", [
    (8, 8, {}, True), (8, 8, {(2, 2): "N"}, True), (8, 8, {(2, 2): "B"}, True), (8, 8, {(2, 2): "b"}, True),
    (8, 8, {(0, 0): "B", (1, 1): "b"}, True),          # a1 and b2: one colour
    (8, 8, {(0, 0): "B", (0, 1): "b"}, False),         # a1 and a2: indices both even, colours differ
    (8, 8, {(0, 0): "B", (2, 0): "B", (4, 2): "b", (5, 5): "b"}, True),
    (8, 8, {(0, 0): "B", (0, 1): "B"}, False),
    (8, 8, {(2, 2): "N", (3, 3): "N"}, False), (8, 8, {(2, 2): "N", (3, 3): "n"}, False),
    (8, 8, {(2, 2): "N", (3, 3): "b"}, False), (8, 8, {(2, 2): "n", (3, 3): "B"}, False),
    (8, 8, {(2, 2): "p"}, False), (8, 8, {(2, 2): "R"}, False), (8, 8, {(2, 2): "q"}, False),
    (3, 5, {(0, 0): "B", (1, 1): "b"}, True),          # indices 0 and 4
    (3, 5, {(0, 0): "B", (0, 1): "b"}, False),         # indices 0 and 3
    (10, 10, {(0, 0): "B", (1, 1): "b"}, True),        # indices 0 and 11
    (10, 10, {(0, 0): "B", (1, 0): "b"}, False),
])
def test_insufficient_material(width, height, pieces, expected):
    pieces = dict(pieces)
    pieces[(width - 1, height - 1)] = K
    pieces[(width - 1, height - 3)] = k
    assert game(width, height, pieces).is_insufficient_material() is expected


def material_rule(width, pieces):
    """Insufficient material by piece counts and the (col + row) colour of the bishops."""
    if any(letter in "pPrRqQ" for letter in pieces.values()):
        return False
    bishops = [(c + r) % 2 for (c, r), letter in sorted(pieces.items(), key=lambda kv: kv[0][1] * width + kv[0][0])
               if letter in "bB"]
    if not any(letter in "nN" for letter in pieces.values()) and bishops and len(set(bishops)) == 1:
        return True
    white = sum(letter in "NB" for letter in pieces.values())
    black = sum(letter in "nb" for letter in pieces.values())
    return (white == 0 and black <= 1) or (white == 1 and black == 0)


@pytest.mark.parametrize("width,height", [(8, 8), (7, 9), (10, 10), (3, 12), (33, 31)])
def test_insufficient_material_random(width, height):
    rng = make_rng(width * height)
    for _ in range(200):
        squares = rng.sample([(c, r) for c in range(width) for r in range(height)], 6)
        pieces = {squares[0]: K, squares[1]: k}
        for sq in squares[2:2 + rng.randrange(5)]:
            pieces[sq] = rng.choice("NBnbBbBbr")
        assert game(width, height, pieces).is_insufficient_material() is material_rule(width, pieces), pieces


def test_end_is_recomputed_after_unmake():
    g = mc.Game.standard()
    play(g, "f2f3", "e7e5", "g2g4", "d8h4")
    assert g.is_checkmate() and outcome_name(g) == "black_win"
    assert str(g).startswith("Game(current_player: White, is_over: true, outcome: Some(BlackWin))\n")
    assert repr(g) == "Game(width=8, height=8, turn=White, over=true)"
    assert g.unmake_move()
    assert g.outcome() is None and not g.is_over()
