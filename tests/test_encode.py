"""Network encodings: the action space of move planes and the 105 input planes."""
import numpy as np
import pytest

import murkle_chess as mc
from chess_util import STANDARD_FEN, U64, army_position, fen, lans, make_rng, parse_placement, placement, play

Move = mc.Move
rc = Move.from_rowcol


def planes_count(width, height):
    return 8 * max(width, height) + 18


# --- action space --------------------------------------------------------------------------

@pytest.mark.parametrize("lan,plane", [
    ("e2e3", 0), ("e2e4", 1), ("e7e5", 29), ("g1f3", 63), ("b1c3", 56), ("a7a8n", 67), ("b2a1r", 75),
    ("e7e8q", 0), ("e7e8r", 69), ("e2e1r", 78), ("a2b1b", 80), ("h7g8b", 65), ("a1h8", 13), ("h8a1", 41),
    ("a1a8", 6), ("h1a1", 48), ("e2f4", 56), ("e4d2", 60), ("e4f2", 59), ("e4c3", 61), ("e4c5", 62),
    ("e4g3", 58), ("e3e2", 28), ("a6a8n", 1), ("e7g8r", 57), ("e7f5n", 59),  # knight shapes win over promotions
])
def test_worked_planes(lan, plane):
    assert Move.from_lan(lan, 8, 8).encode(8, 8) == plane


@pytest.mark.parametrize("move,width,height,plane", [
    (rc(3, 3, 3, 3), 8, 8, None),      # no move
    (rc(0, 0, 0, 8), 8, 8, None),      # longer than the board
    (rc(0, 0, 0, 9), 8, 9, None),
    (rc(0, 0, 1, 3), 8, 8, None),      # no line
    (rc(0, 0, 8, 0), 8, 8, None),
    (rc(0, 0, 3, 2), 8, 8, None),
    (Move.from_lan("a7d8n", 8, 8), 8, 8, None),      # underpromotion too wide
    (Move.from_lan("a7e8r", 8, 8), 8, 8, None),
    # huge coordinates never overflow
    (rc(2**31, 0, 2**31 + 1, 1), 2**32, 2**32, 2**32 - 1),
    (rc(2**31 - 1, 0, 2**31, 0), 2**32, 1, 2 * (2**32 - 1)),
    (rc(0, 0, 2**40, 0), 2**41, 1, 2 * (2**41 - 1) + 2**40 - 1),
    (rc(2**63, 5, 0, 5), 2**63 + 1, 6, 7 * 2**63 - 1),
    (rc(0, 0, 2**63, 0), 2**63, 1, None),
    (rc(U64, U64, U64 - 1, U64 - 2), U64, U64, 8 * (U64 - 1) + 4),
    (rc(0, U64, 0, 0), U64, U64, None),
    (rc(2**63, 2**40, 2**63, 2**40 + 5), U64, U64, 4),  # up, distance 5
    (rc(U64, 0, 0, U64), U64, U64, None),
])
def test_encode_edges(move, width, height, plane):
    assert move.encode(width, height) == plane


@pytest.mark.parametrize("width,height,count", [(8, 8, 82), (10, 6, 98), (6, 10, 98), (1, 1, 26), (0, 0, 18),
                                                (5, 12, 114), (32, 32, 274), (1024, 1, 8210),
                                                (U64, 0, 8 * U64 + 18)])
def test_plane_counts(width, height, count):
    assert mc.Game.get_move_planes_count(width, height) == count


@pytest.mark.parametrize("width,height", [(8, 8), (10, 6), (6, 10), (33, 31), (1024, 1), (3, 4)])
def test_action_size_and_shape(width, height):
    pieces = {(0, 0): "K", (width - 1, height - 1): "k"}
    g = mc.Game(width, height, fen(placement(width, height, pieces)), False)
    assert g.action_size() == planes_count(width, height)
    assert g.board_shape() == (height, width)
    assert g.input_plane_count() == 105 == mc.TOTAL_INPUT_PLANES


def test_black_underpromotion_is_nine_planes_above_white():
    for white_lan, black_lan in (("e7e8", "e2e1"), ("e7d8", "e2d1"), ("e7f8", "e2f1")):
        for kind in "nbr":
            white = Move.from_lan(white_lan + kind, 8, 8).encode(8, 8)
            assert 64 <= white <= 72 and Move.from_lan(black_lan + kind, 8, 8).encode(8, 8) == white + 9


@pytest.mark.parametrize("args,expected", [
    ((0, 4, 1, 8, 8), ((4, 1), (4, 2), None)),
    ((56, 1, 0, 8, 8), ((1, 0), (2, 2), None)),
    ((67, 0, 6, 8, 8), ((0, 6), (0, 7), "n")),
    ((75, 1, 1, 8, 8), ((1, 1), (0, 0), "r")),
    ((28, 3, 8, 8, 8), ((3, 8), (3, 7), None)),          # source off the board, destination on it
    ((8, 0, 0, 10, 6), None),                             # distance 9 straight up on a 6-high board
    ((26, 0, 0, 10, 6), ((0, 0), (9, 0), None)),          # distance 9 to the right
    ((82, 0, 0, 8, 8), None), ((81, 0, 0, 8, 8), None), ((U64, 0, 0, 8, 8), None),
    ((0, 7, 7, 8, 8), None), ((48, 0, 0, 8, 8), None),
    ((0, 0, 0, 0, 0), None), ((3, 0, 0, 0, 8), None), ((10, 0, 0, 8, 0), None),
    ((8, 0, 0, 1, 1), None), ((25, 0, 0, 1, 1), None),
    ((2 * (2**32 - 1), 2**31 - 1, 0, 2**32, 1), ((2**31 - 1, 0), (2**31, 0), None)),
    ((2 * (2**41 - 1) + 2**40 - 1, 0, 0, 2**41, 1), ((0, 0), (2**40, 0), None)),
    ((8 * (2**33 - 1), 2**32, 2**32, 2**33, 2**33), ((2**32, 2**32), (2**32 + 1, 2**32 + 2), None)),
    ((8 * 2**33 + 3, 2**32, 2**32, 2**33, 2**33), ((2**32, 2**32), (2**32, 2**32 + 1), "n")),
    ((8 * 2**33 + 17, 2**32, 2**32, 2**33, 2**33), ((2**32, 2**32), (2**32 + 1, 2**32 - 1), "r")),
    ((8 * (2**61 - 1) + 1, 2**61 - 3, 0, 2**61, 2), ((2**61 - 3, 0), (2**61 - 1, 1), None)),  # knight jump (+2, +1)
    ((2 * (2**62 - 1), U64, 0, 2**62, 1), None),      # one step right of the last column never wraps to 0
    ((6 * (2**61 - 1), 0, 0, 2**61, 1), None),
    ((4 * (2**62 - 1), 0, 0, 1, 2**62), None),
])
def test_decode_from_plane(args, expected):
    m = Move.decode_from_plane(*args)
    if expected is None:
        assert m is None
        return
    assert (m.src_square(), m.dst_square(), m.promotion()) == expected
    assert m.encode(args[3], args[4]) == args[0]  # and back


def test_standard_action_indices():
    g = mc.Game.standard()
    indices = g.legal_action_indices()
    assert indices[:6] == [63, 56, 63, 56, 0, 1] and set(indices) == {0, 1, 56, 63}
    assert g.decode_action(0).to_lan() == "a2a3"
    assert g.decode_action(1) == g.legal_moves()[5] != Move.from_rowcol(0, 1, 0, 3)
    assert g.decode_action(56).to_lan() == "b1c3"
    for a in (2, 57, 81, 82, 10**6):
        assert g.decode_action(a) is None
        assert g.apply_action(a) is False
    assert g.to_fen() == STANDARD_FEN
    assert g.apply_action(63) and g.get_piece(0, 2).symbol() == "N"
    assert g.unmake_move() and g.to_fen() == STANDARD_FEN


def test_promotion_actions():
    g = mc.Game(8, 8, "1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1", False)
    moves = g.legal_moves_for_position(0, 6)
    assert lans(moves) == ["a7a8q", "a7a8r", "a7a8b", "a7a8n", "a7b8q", "a7b8r", "a7b8b", "a7b8n"]
    assert [m.encode(8, 8) for m in moves] == [0, 69, 68, 67, 7, 72, 71, 70]
    assert g.decode_action(71).to_lan() == "a7b8b"
    assert g.decode_action(7).to_lan() == "e1f2"  # the king comes first in the legal move list
    assert g.apply_action(72) and g.get_piece(1, 7).symbol() == "R"
    g = mc.Game(8, 8, "4k3/8/8/8/8/8/1p6/R3K3 b - - 0 1", False)
    assert g.decode_action(75).to_lan() == "b2a1r" and g.decode_action(78).to_lan() == "b2b1r"
    assert g.apply_action(73) and g.get_piece(0, 0).symbol() == "n"


def test_no_actions_after_mate():
    g = mc.Game(8, 8, "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", True)
    assert g.legal_action_indices() == []
    assert all(g.decode_action(a) is None and g.apply_action(a) is False for a in range(82))


SIZES = [(8, 8), (10, 6), (6, 10), (5, 5), (3, 4), (16, 16), (32, 32), (33, 31)]


@pytest.mark.parametrize("width,height", SIZES)
def test_decode_inverts_encode_on_random_positions(width, height):
    rng = make_rng(width * 1000 + height)
    count = planes_count(width, height)
    for seed in range(2):
        pieces = army_position(width, height, rng) if height >= 4 else {(0, 0): "K", (width - 1, height - 1): "k"}
        g = mc.Game(width, height, fen(placement(width, height, pieces)), False)
        for _ in range(40 if width * height < 500 else 12):
            moves = g.legal_moves()
            if not moves:
                break
            indices = g.legal_action_indices()
            assert len(indices) == len(moves)
            first = {}
            for m, p in zip(moves, indices):
                assert p == m.encode(width, height) and 0 <= p < count
                first.setdefault(p, m)
                d = Move.decode_from_plane(p, *m.src_square(), width, height)
                assert d.src_square() == m.src_square() and d.dst_square() == m.dst_square()
                if m.promotion() in ("n", "b", "r"):
                    assert d.promotion() == m.promotion()
                else:
                    assert d == Move.from_rowcol(*m.src_square(), *m.dst_square())
            for p, m in first.items():
                assert g.decode_action(p) == m
            # the chosen action is the move that gets made
            p = rng.choice(indices)
            expected = g.clone()
            assert expected.make_move(first[p])
            assert g.apply_action(p)
            assert g.to_fen() == expected.to_fen()


# --- input planes --------------------------------------------------------------------------

def f32(x):
    return float(np.float32(x))


def expected_planes(placements, g):
    """The planes built independently from the recorded placements (oldest first) and the game state."""
    w, h, turn = g.width(), g.height(), g.turn()
    n = w * h
    out = [0.0] * (105 * n)
    for k in range(min(len(placements) - 1, 7) + 1):
        for (c, r), letter in placements[-1 - k].items():
            own = letter.isupper() == (turn == 1)
            out[(12 * k + (0 if own else 6) + "pnbrqk".index(letter.lower())) * n + r * w + c] = 1.0
    rights = [f(c) for c in (turn, -turn) for f in (g.has_kingside_castling_rights, g.has_queenside_castling_rights)]
    constants = [1.0 if turn == 1 else 0.0, f32(np.float32(g.fullmove_number()) / np.float32(100)),
                 *map(float, rights), f32(np.float32(g.halfmove_clock()) / np.float32(50))]
    for k, value in enumerate(constants):  # planes 98 to 104
        out[(98 + k) * n:(99 + k) * n] = [value] * n
    return out


def plane(flat, p, n=64):
    return flat[p * n:(p + 1) * n]


def ones(flat, p):
    return [i for i, v in enumerate(plane(flat, p)) if v == 1.0]


def test_planes_at_start_and_after_e2e4():
    g = mc.Game.standard()
    flat, count, height, width = g.encode_game_planes()
    assert (count, height, width, len(flat)) == (105, 8, 8, 6720)
    assert all(type(v) is float for v in flat)
    assert ones(flat, 0) == list(range(8, 16)) and ones(flat, 6) == list(range(48, 56))
    assert ones(flat, 5) == [4] and ones(flat, 11) == [60] and ones(flat, 3) == [0, 7] and ones(flat, 10) == [59]
    assert all(v == 0.0 for v in flat[12 * 64:98 * 64])
    assert plane(flat, 98) == [1.0] * 64 and plane(flat, 99) == [0.009999999776482582] * 64
    assert flat[100 * 64:104 * 64] == [1.0] * 256 and plane(flat, 104) == [0.0] * 64

    play(g, "e2e4")
    flat, *_ = g.encode_game_planes()
    assert ones(flat, 0) == list(range(48, 56))  # own side is Black now, nothing mirrored
    assert ones(flat, 6) == [8, 9, 10, 11, 13, 14, 15, 28]
    assert ones(flat, 12) == list(range(48, 56)) and ones(flat, 18) == list(range(8, 16))
    assert plane(flat, 98) == [0.0] * 64 and plane(flat, 99) == [0.009999999776482582] * 64
    assert all(v == 0.0 for v in flat[24 * 64:98 * 64])


@pytest.mark.parametrize("width,height,plies", [(8, 8, 3), (8, 8, 12), (10, 6, 9), (5, 7, 15), (16, 16, 10)])
def test_planes_follow_history(width, height, plies):
    rng = make_rng(plies * 100 + width)
    if (width, height) == (8, 8):
        g = mc.Game.standard()
    else:
        g = mc.Game(width, height, fen(placement(width, height, army_position(width, height, rng))), False)
    placements = [parse_placement(width, g.to_fen().split(" ")[0])]
    for _ in range(plies):
        moves = g.legal_moves()
        if not moves:
            break
        assert g.make_move(rng.choice(moves))
        placements.append(parse_placement(width, g.to_fen().split(" ")[0]))
    before = (g.to_fen(), hash(g))
    first = g.encode_game_planes()
    assert first == (expected_planes(placements, g), 105, height, width)
    assert g.encode_game_planes() == first
    assert (g.to_fen(), hash(g)) == before
    for _ in range(len(placements) - 1):
        assert g.unmake_move()
    assert g.unmake_move() is False


@pytest.mark.parametrize("text,castling_enabled", [
    ("r3k2r/8/8/8/8/8/8/R3K2R b Kq - 75 150", True),
    ("r3k2r/8/8/8/8/8/8/R3K2R w Qk - 7 33", True),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 1 1", False),
    ("r3k2r/8/8/8/8/8/8/R3K2R w - - 4294967295 4294967295", True),
])
def test_constant_planes(text, castling_enabled):
    g = mc.Game(8, 8, text, castling_enabled)
    flat, *_ = g.encode_game_planes()
    assert flat == expected_planes([parse_placement(8, text.split(" ")[0])], g)
    assert len({id(v) for v in flat}) == len(set(flat))  # equal values share one float object, across planes
    if text.endswith("75 150"):
        assert plane(flat, 99) == [1.5] * 64 and plane(flat, 104) == [1.5] * 64
        assert [plane(flat, p)[0] for p in range(100, 104)] == [0.0, 1.0, 1.0, 0.0]
    if not castling_enabled:
        assert flat[100 * 64:104 * 64] == [0.0] * 256


def test_planes_on_a_ten_by_six_board():
    g = mc.Game(10, 6, fen(placement(10, 6, {(0, 0): "K", (9, 5): "k", (3, 2): "p"})), False)
    flat, count, height, width = g.encode_game_planes()
    assert (len(flat), count, height, width) == (6300, 105, 6, 10)
    assert plane(flat, 6, 60)[23] == plane(flat, 5, 60)[0] == plane(flat, 11, 60)[59] == 1.0


def test_planes_leave_an_edited_game_unchanged():
    g = mc.Game.standard()
    play(g, "e2e4", "e7e5", "g1f3", "b8c6")
    g.set_piece(5, 2, None)   # the knight that moved to f3 disappears
    g.set_piece(2, 5, mc.Piece("q", 1))
    copy = g.clone()
    before = (g.to_fen(), hash(g))
    for _ in range(2):
        g.encode_game_planes()
        assert (g.to_fen(), hash(g)) == before
    for _ in range(4):
        assert g.unmake_move() and copy.unmake_move()
        assert (g.to_fen(), hash(g)) == (copy.to_fen(), hash(copy))
    assert g.unmake_move() is False
