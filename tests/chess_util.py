"""Small independent helpers shared by the tests."""
import random
import re

import pytest

import murkle_chess as mc

STANDARD_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
U64 = 2**64 - 1


def make_rng(seed):
    return random.Random(seed)


def placement(width, height, pieces):
    """FEN placement field for {(col, row): letter}; empty runs are never split."""
    rows = ("".join(pieces.get((col, row), ".") for col in range(width)) for row in range(height - 1, -1, -1))
    return "/".join(re.sub(r"\.+", lambda run: str(len(run.group())), row) for row in rows)


def parse_placement(width, text):
    """{(col, row): letter} from a placement field (digit runs may have several digits)."""
    rows = text.split("/")
    pieces = {}
    for k, row_text in enumerate(rows):
        col = 0
        for token in re.findall(r"\d+|\D", row_text):
            if token.isdigit():
                col += int(token)
            else:
                pieces[(col, len(rows) - 1 - k)] = token
                col += 1
        assert col == width
    return pieces


def fen(placement_text, turn="w", castling="-", ep="-", halfmove="0", fullmove="1"):
    return " ".join([placement_text, turn, castling, ep, str(halfmove), str(fullmove)])


def game(width, height, pieces, turn="w", castling="-", ep="-", halfmove=0, fullmove=1, castling_enabled=False):
    return mc.Game(width, height, fen(placement(width, height, pieces), turn, castling, ep, halfmove, fullmove),
                   castling_enabled)


def fen_field(g, index):
    return g.to_fen().split(" ")[index]


def lans(moves):
    return [m.to_lan() for m in moves]


def play(g, *texts):
    for t in texts:
        assert g.make_move(g.move_from_lan(t)), t


def error(call, kind=ValueError):
    """The message of the `kind` exception that `call()` raises."""
    with pytest.raises(kind) as e:
        call()
    return str(e.value)


def grouped(table):
    """Parameter rows (*case, message) from {message: [case, ...]}; a case is a value or a tuple."""
    return [(*(case if isinstance(case, tuple) else (case,)), message)
            for message, cases in table.items() for case in cases]


def perft(g, depth):
    if depth == 0:
        return 1
    moves = g.legal_moves()
    if depth == 1:
        return len(moves)
    total = 0
    for m in moves:
        assert g.make_move(m)
        total += perft(g, depth - 1)
        assert g.unmake_move()
    return total


def army_position(width, height, rng):
    """A start-like position: back ranks of random pieces, pawns in front, one king each."""
    assert height >= 4 and width >= 1
    pieces = {}
    for col in range(width):
        pieces[(col, 0)] = rng.choice("nbrq").upper()
        pieces[(col, height - 1)] = rng.choice("nbrq")
        if rng.random() < 0.8:
            pieces[(col, 1)] = "P"
        if rng.random() < 0.8:
            pieces[(col, height - 2)] = "p"
    pieces[(rng.randrange(width), 0)] = "K"
    pieces[(rng.randrange(width), height - 1)] = "k"
    return pieces


def sparse_position(width, height, rng, count):
    """Two kings and `count` random other pieces on random squares."""
    squares = rng.sample([(c, r) for c in range(width) for r in range(height)], count + 2)
    pieces = {squares[0]: "K", squares[1]: "k"}
    for sq in squares[2:]:
        letter = rng.choice("pnbrq")
        if letter == "p" and sq[1] in (0, height - 1):
            letter = "n"
        pieces[sq] = letter.upper() if rng.random() < 0.5 else letter
    return pieces
