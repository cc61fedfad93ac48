"""The legal move generator against the trial method: every pseudo-legal move played on the board
and kept when the mover's king, on its cached square, is then not attacked.

Two independent routes: a Python trial filter over the engine's pseudo-legal moves (any board,
including boards edited with set_piece so that the cached king squares no longer hold the king),
and murkle-perft, whose --divide output (move order and counts) must not change under
--reference, which tries every move on the board.
"""
import math
import shutil
import subprocess

import pytest

import murkle_chess as mc
from chess_util import fen, make_rng, placement, sparse_position

WHITE, BLACK = 1, -1


# --- the trial method, written from the rules ------------------------------------------------

def between_empty(pieces, col, row, dc, dr, steps):
    return all((col + k * dc, row + k * dr) not in pieces for k in range(1, steps))


def attacks(letter, pc, pr, col, row, pieces):
    kind, white = letter.lower(), letter.isupper()
    dc, dr = col - pc, row - pr
    if kind == "p":
        return abs(dc) == 1 and dr == (1 if white else -1)
    if kind == "n":
        return {abs(dc), abs(dr)} == {1, 2}
    if kind == "k":
        return max(abs(dc), abs(dr)) == 1
    # A rook or queen on the square itself counts as attacking it.
    if kind in "rq" and (dc == 0 or dr == 0):
        steps = abs(dc) + abs(dr)
        if between_empty(pieces, pc, pr, (dc > 0) - (dc < 0), (dr > 0) - (dr < 0), steps):
            return True
    if kind in "bq" and dc != 0 and abs(dc) == abs(dr):
        return between_empty(pieces, pc, pr, (dc > 0) - (dc < 0), (dr > 0) - (dr < 0), abs(dc))
    return False


def attacked(pieces, square, by):
    return any(attacks(letter, pc, pr, *square, pieces)
               for (pc, pr), letter in pieces.items() if letter.isupper() == (by == WHITE))


def trial_legal(g, pieces, kings):
    """The legal moves (as text) by playing each pseudo-legal move on a copy of the board."""
    turn = g.turn()
    kept = []
    for m in g.psuedo_legal_moves():
        src, dst = m.src_square(), m.dst_square()
        board = dict(pieces)
        mover = board.pop(src)
        # A pawn's diagonal step onto an empty square takes en passant.
        if mover.lower() == "p" and src[0] != dst[0] and dst not in board:
            board.pop((dst[0], src[1]), None)
        board[dst] = mover  # only colour and occupancy matter to the test
        king = dst if mover.lower() == "k" else kings[turn]
        if not attacked(board, king, -turn):
            kept.append(m.to_lan())
    return kept


# --- positions ---------------------------------------------------------------------------------

def shapes():
    """A board shape (width, height) for every size class, at most 32 rows."""
    rng = make_rng(7)
    out = []
    for nw in range(1, 17):
        fits = [(w, h) for h in range(1, 33) for w in range(1, 1025)
                if math.ceil(w * h / 64) == nw and w * h <= 1024 and w >= 3 and h >= 3]
        out.append(rng.choice(fits))
    return out


SHAPES = shapes()


def lowest_king(pieces, width, letter):
    squares = [sq for sq, p in pieces.items() if p == letter]
    return min(squares, key=lambda sq: sq[1] * width + sq[0])


def random_setup(width, height, rng):
    count = rng.randrange(2, max(3, min(40, width * height // 3)))
    pieces = sparse_position(width, height, rng, count)
    turn = rng.choice("wb")
    ep = "-"
    # Sometimes an en-passant square behind a pawn of the side not to move, which may sit
    # beside a pawn of the side to move on the same row as its king.
    pawn = "p" if turn == "w" else "P"
    candidates = [(c, r) for (c, r), p in pieces.items() if p == pawn and 1 <= r + (1 if turn == "w" else -1) < height]
    if candidates and rng.random() < 0.4:
        c, r = rng.choice(candidates)
        behind = (c, r + (1 if turn == "w" else -1))
        if behind not in pieces:
            ep = f"{chr(97 + c)}{behind[1] + 1}" if c < 26 else "-"
    return pieces, turn, ep


def edit(g, pieces, width, height, rng):
    """A few set_piece edits, which leave the cached king squares where they were."""
    for _ in range(rng.randrange(1, 4)):
        sq = (rng.randrange(width), rng.randrange(height))
        letter = rng.choice([None, "K", "k", "R", "r", "Q", "q", "B", "N", "P", "p"])
        if letter is None:
            g.set_piece(sq[0], sq[1], None)
            pieces.pop(sq, None)
        else:
            g.set_piece(sq[0], sq[1], mc.Piece(letter.lower(), WHITE if letter.isupper() else BLACK))
            pieces[sq] = letter


@pytest.mark.parametrize("width,height", SHAPES, ids=[f"{w}x{h}" for w, h in SHAPES])
def test_random_positions_against_the_trial_method(width, height):
    rng = make_rng(width * 100 + height)
    for _ in range(12):
        pieces, turn, ep = random_setup(width, height, rng)
        g = mc.Game(width, height, fen(placement(width, height, pieces), turn, "-", ep), False)
        kings = {WHITE: lowest_king(pieces, width, "K"), BLACK: lowest_king(pieces, width, "k")}
        assert [m.to_lan() for m in g.legal_moves()] == trial_legal(g, pieces, kings)
        # The remembered list must follow every edit of the board.
        edit(g, pieces, width, height, rng)
        expected = trial_legal(g, pieces, kings)
        assert [m.to_lan() for m in g.legal_moves()] == expected
        assert len(g.legal_action_indices()) == len(expected)
        assert (g.is_checkmate() or g.is_stalemate()) == (not expected)


# Hand-made cases: double checks, pins in all eight directions, en passant that would open the
# king's row, a pinned pawn that may take its pinner, check evasions by capture and block.
SPECIAL = [
    (8, 8, "4k3/8/8/8/1b6/3n4/8/4K3 w - - 0 1"),           # knight and bishop: double check
    (8, 8, "4k3/8/8/8/4r3/3n4/8/4K2R w - - 0 1"),           # rook and knight: double check
    (8, 8, "7k/8/8/1b1r1b2/8/1rRNB3/8/3K4 w - - 0 1"),     # shields that are not pinned
    (8, 8, "k7/3r4/1b3b2/2RNB3/1rNKQ1r1/2BPN3/1q3q2/3r4 w - - 0 1"),  # a piece pinned in each direction
    (8, 8, "8/8/8/K2pP2r/8/8/8/7k w - d6 0 1"),              # en passant would open the row
    (8, 8, "8/8/8/r2pP2K/8/8/8/7k w - d6 0 1"),              # the same from the other side
    (8, 8, "8/8/8/3pP3/8/8/8/K6k w - d6 0 1"),               # en passant allowed
    (8, 8, "7k/8/8/3pP3/4K3/8/8/8 w - d6 0 1"),              # en passant takes the checking pawn
    (8, 8, "8/8/3k4/8/5pP1/8/7B/3K4 b - g3 0 1"),            # en passant along a pinning diagonal
    (8, 8, "4k3/8/8/1b6/8/3P4/8/5K2 w - - 0 1"),             # a pinned pawn may not push
    (8, 8, "4k3/8/8/8/2b5/3P4/4K3/8 w - - 0 1"),             # pawn captures its pinner
    (8, 8, "4k3/4r3/8/8/8/8/3B4/4K3 w - - 0 1"),             # block a rook check
    (8, 8, "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"),
    (8, 8, "r3k2r/8/8/8/8/8/5r2/R3K2R w KQkq - 0 1"),       # castling open, one side through an attack
    (8, 8, "r3k2r/8/8/8/8/8/4r3/R3K2R w KQkq - 0 1"),       # castling open, the king in check
    # Rays that run to the last square a set can hold, or past the last square of the board.
    (7, 9, "k5r/7/6b/7/7/7/7/1Q5/K5R w - - 0 1"),            # pinned queen; a rook up to the last square
    (8, 16, "k6r/8/8/8/8/8/8/8/7R/8/8/8/3Q4/8/8/7K w - - 0 1"),  # pinned by a rook on square 127
    (10, 10, "9k/10/10/6q3/10/10/3B6/10/10/K9 w - - 0 1"),   # a pin across the two words
    (10, 10, "4k5/10/10/10/10/r2pP3K1/10/10/10/10 w - d6 0 1"),
    (12, 10, "k11/12/12/12/12/12/12/1q10/12/K2R2r5 w - - 0 1"),
    (20, 20, "k19/20/20/20/20/20/20/20/20/20/20/20/20/20/20/20/20/20/q5R13/9K7b2 w - - 0 1"),
    (32, 32, "/".join(["k31"] + ["32"] * 29 + ["r8Q2K19", "32"]) + " w - - 0 1"),
]


def perft_tool():
    return shutil.which("murkle-perft")


def divide(width, height, text, depth, *extra):
    args = [perft_tool(), "--width", str(width), "--height", str(height), "--divide", *extra, text, str(depth)]
    if "KQ" not in text:
        args.append("--no-castling")
    result = subprocess.run(args, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip().splitlines()[:-1]


needs_tool = pytest.mark.skipif(perft_tool() is None, reason="murkle-perft is not on PATH")


@needs_tool
@pytest.mark.parametrize("width,height,text", SPECIAL, ids=[f"{w}x{h}-{t.split()[0][:14]}" for w, h, t in SPECIAL])
def test_special_positions_divide_like_the_reference(width, height, text):
    fast = divide(width, height, text, 3)
    assert fast and fast == divide(width, height, text, 3, "--reference")
    # and the Python surface agrees with the trial method on the position itself
    g = mc.Game(width, height, text, "KQ" in text)
    pieces = {(col, row): g.get_piece(col, row).symbol()
              for col in range(width) for row in range(height) if g.get_piece(col, row) is not None}
    kings = {WHITE: lowest_king(pieces, width, "K"), BLACK: lowest_king(pieces, width, "k")}
    assert [m.to_lan() for m in g.legal_moves()] == trial_legal(g, pieces, kings)


@needs_tool
@pytest.mark.parametrize("width,height", SHAPES, ids=[f"{w}x{h}" for w, h in SHAPES])
def test_random_positions_divide_like_the_reference(width, height):
    rng = make_rng(width * 31 + height)
    for _ in range(3):
        pieces, turn, ep = random_setup(width, height, rng)
        text = fen(placement(width, height, pieces), turn, "-", ep)
        assert divide(width, height, text, 2) == divide(width, height, text, 2, "--reference")


# Boards of at most 64 squares look slider attacks up in tables of their own size (none for a
# rook line of more than twelve blockers): every shape up to 8 x 8, and long thin ones.
SMALL_SHAPES = [(w, h) for w in range(1, 9) for h in range(1, 9) if w * h >= 9] + [
    (16, 4), (4, 16), (13, 3), (3, 21), (2, 32), (32, 2), (1, 32), (64, 1)]


@pytest.mark.parametrize("width,height", SMALL_SHAPES, ids=[f"{w}x{h}" for w, h in SMALL_SHAPES])
def test_small_boards_against_the_trial_method(width, height):
    rng = make_rng(width * 1000 + height)
    for _ in range(4):
        pieces, turn, ep = random_setup(width, height, rng)
        text = fen(placement(width, height, pieces), turn, "-", ep)
        g = mc.Game(width, height, text, False)
        kings = {WHITE: lowest_king(pieces, width, "K"), BLACK: lowest_king(pieces, width, "k")}
        assert [m.to_lan() for m in g.legal_moves()] == trial_legal(g, pieces, kings)
        if perft_tool():
            assert divide(width, height, text, 2) == divide(width, height, text, 2, "--reference")


def test_remembered_moves_follow_every_change():
    """Each write ends the remembered list; a clone keeps the list of its own position."""
    rng = make_rng(5)
    g = mc.Game.standard()

    def fresh_indices(game):
        return mc.Game(8, 8, game.to_fen(), True).legal_action_indices()

    for _ in range(60):
        before = g.legal_action_indices()
        copy = g.clone()
        assert g.apply_action(before[rng.randrange(len(before))])
        assert g.legal_action_indices() == fresh_indices(g)
        assert copy.legal_action_indices() == before  # the clone did not move
        assert g.unmake_move() and g.legal_action_indices() == before
        moves = g.legal_moves()
        assert g.make_move(moves[rng.randrange(len(moves))])
        assert g.legal_action_indices() == fresh_indices(g)
        if g.is_over():
            break
