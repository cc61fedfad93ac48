"""Small independent helpers shared by the rules and encoding tests."""
import random

import murkle_chess as mc

STANDARD_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"




def placement(width, height, pieces):
    """FEN placement field for {(col, row): letter}; empty runs are never split."""
    rows = []
    for row in range(height - 1, -1, -1):
        text, run = "", 0
        for col in range(width):
            letter = pieces.get((col, row))
            if letter is None:
                run += 1
                continue
            if run:
                text += str(run)
                run = 0
            text += letter
        if run:
            text += str(run)
        rows.append(text)
    return "/".join(rows)


def parse_placement(width, text):
    """{(col, row): letter} from a placement field (digit runs may have several digits)."""
    rows = text.split("/")
    height = len(rows)
    pieces = {}
    for k, row_text in enumerate(rows):
        row = height - 1 - k
        col, i = 0, 0
        while i < len(row_text):
            if row_text[i].isdigit():
                j = i
                while j < len(row_text) and row_text[j].isdigit():
                    j += 1
                col += int(row_text[i:j])
                i = j
            else:
                pieces[(col, row)] = row_text[i]
                col += 1
                i += 1
        assert col == width
    return pieces


def fen(placement_text, turn="w", castling="-", ep="-", halfmove="0", fullmove="1"):
    return " ".join([placement_text, turn, castling, ep, str(halfmove), str(fullmove)])


def game(width, height, pieces, turn="w", castling="-", ep="-", halfmove=0, fullmove=1, castling_enabled=False):
    return mc.Game(width, height, fen(placement(width, height, pieces), turn, castling, ep, halfmove, fullmove),
                   castling_enabled)




def lans(moves):
    return [m.to_lan() for m in moves]


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
    kinds = "nbrq"
    for col in range(width):
        pieces[(col, 0)] = rng.choice(kinds).upper()
        pieces[(col, height - 1)] = rng.choice(kinds)
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




def make_rng(seed):
    return random.Random(seed)
