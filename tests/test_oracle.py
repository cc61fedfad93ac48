"""Random games: move-by-move agreement with python-chess on 8x8, and exact make/unmake, clone and FEN
round trips on every size class."""
import chess
import pytest

import murkle_chess as mc
from chess_util import army_position, fen, lans, make_rng, placement, sparse_position


def pick(rng, moves, board=None):
    """A random move, half of the time a capture or promotion when there is one (reaches endgames)."""
    if rng.random() < 0.5:
        sharp = [m for m in moves if m.promotion() is not None or (board is not None and board.piece_at(
            chess.parse_square(m.to_lan()[2:4])) is not None)]
        if sharp:
            return rng.choice(sharp)
    return rng.choice(moves)


def oracle_pick(rng, moves, board):
    """Random play leaning towards checks, captures and promotions, so that games reach mates."""
    r = rng.random()
    if r < 0.3:
        checks = [m for m in moves if board.gives_check(chess.Move.from_uci(m.to_lan()))]
        if checks:
            return rng.choice(checks)
    return pick(rng, moves, board) if r < 0.6 else rng.choice(moves)


def oracle_game(seed, max_plies=250):
    rng = make_rng(seed)
    board = chess.Board()
    g = mc.Game.standard()
    fens = []
    for _ in range(max_plies):
        ours = g.legal_moves()
        our_lans = lans(ours)
        assert len(set(our_lans)) == len(our_lans)
        assert set(our_lans) == {m.uci() for m in board.legal_moves}, board.fen()
        assert g.is_check() == board.is_check(), board.fen()
        assert g.is_checkmate() == board.is_checkmate(), board.fen()
        assert g.is_stalemate() == board.is_stalemate(), board.fen()
        assert g.to_fen() == board.fen(en_passant="legal")
        assert g.has_legal_en_passant() == board.has_legal_en_passant()
        for m in ours:  # the flags of generated moves are those the LAN reader completes
            assert g.move_from_lan(m.to_lan()) == m
        pseudo = {u for u in lans(g.psuedo_legal_moves()) if not board.is_castling(chess.Move.from_uci(u))}
        assert pseudo == {m.uci() for m in board.pseudo_legal_moves if not board.is_castling(m)}
        if not ours or g.is_insufficient_material():
            break
        fens.append(g.to_fen())
        m = oracle_pick(rng, ours, board)
        board.push_uci(m.to_lan())
        assert g.make_move(m)
    # take every move back; python-chess pops alongside
    while fens:
        assert g.unmake_move()
        board.pop()
        assert g.to_fen() == fens.pop() == board.fen(en_passant="legal")
    assert g.unmake_move() is False


@pytest.mark.parametrize("seed", range(50))
def test_random_games_match_python_chess(seed):
    oracle_game(seed)


@pytest.mark.slow
@pytest.mark.parametrize("block", range(20))
def test_many_random_games_match_python_chess(block):
    for seed in range(1000 + 50 * block, 1050 + 50 * block):
        oracle_game(seed)


# --- every size class ----------------------------------------------------------------------

SIZES = [(8, 8), (5, 6), (3, 4), (2, 3), (9, 8), (12, 12), (16, 16), (18, 16), (19, 19), (20, 20), (22, 22),
         (24, 24), (25, 25), (26, 26), (27, 27), (28, 28), (29, 29), (30, 30), (32, 32), (33, 31), (1024, 1)]


def start_game(width, height, seed):
    """A random position whose side not to move is not in check, so that no king can be taken."""
    rng = make_rng(seed)
    while True:
        if height >= 4:
            pieces = army_position(width, height, rng)
        else:
            pieces = sparse_position(width, height, rng, min(width * height - 2, 12))
        text = placement(width, height, pieces)
        if not mc.Game(width, height, fen(text, "b"), False).is_check():
            return mc.Game(width, height, fen(text), False)


def test_sizes_cover_every_size_class():
    assert sorted({(w * h + 63) // 64 for w, h in SIZES}) == list(range(1, 17))


@pytest.mark.parametrize("width,height", SIZES)
def test_make_unmake_clone_fen_round_trips(width, height):
    plies = 60 if width * height <= 400 else 30
    for seed in range(3):
        rng = make_rng(seed + 1000 * width + height)
        g = start_game(width, height, seed + width * 31 + height)
        start = g.to_fen()
        states = []  # the state before each move made
        clone, clone_at = None, None
        for ply in range(plies):
            moves = g.legal_moves()
            text = g.to_fen()
            # the written FEN reads back to the same position with the same legal moves
            again = mc.Game(width, height, text, False)
            assert again.to_fen() == text
            assert again.legal_moves() == moves
            assert again.legal_action_indices() == g.legal_action_indices()
            en_passant = [m for m in moves if g.get_piece(*m.src_square()).piece_type() == "pawn"
                          and m.src_square()[0] != m.dst_square()[0] and g.get_piece(*m.dst_square()) is None]
            assert g.has_legal_en_passant() is bool(en_passant)
            if ply == plies // 2:
                clone, clone_at = g.clone(), (text, hash(g), len(states))
            if not moves:
                break
            states.append((text, hash(g), lans(moves)))
            assert g.make_move(pick(rng, moves))
        if clone is not None:
            assert (clone.to_fen(), hash(clone)) == clone_at[:2]
            for _ in range(clone_at[2]):
                assert clone.unmake_move()
            assert clone.unmake_move() is False and clone.to_fen() == start
        for text, h, legal in reversed(states):
            assert g.unmake_move()
            assert g.to_fen() == text and hash(g) == h
            assert lans(g.legal_moves()) == legal
        assert g.unmake_move() is False
        assert g.to_fen() == start
