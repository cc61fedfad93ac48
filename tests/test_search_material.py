"""The capture search a Search mixes into its leaves' values (material_mix), against a plain
minimax over python-chess's moves, and the mix as the search and the agent use it."""

import math
import random

import chess
import numpy as np
import pytest

import murkle_rl

POINTS = {chess.PAWN: 1, chess.KNIGHT: 3, chess.BISHOP: 3, chess.ROOK: 5, chess.QUEEN: 9, chess.KING: 0}
MATE, MAX_PLIES = 10000, 10


def zero(planes, logits, values):
    logits.fill(0)
    values.fill(0)


def leaf_value(fen, width=8, height=8, mix=1.0, network=0.0):
    """The root's value after its own evaluation (the first round), by a network that answers
    ``network``."""
    batch = murkle_rl.GameBatch(1, width, height, fen=fen, threads=1)
    search = murkle_rl.Search(batch, 1, seed=0, material_mix=mix)
    search.select(np.zeros((1, len(batch.plane_indices), height, width), np.float32))
    search.expand(np.zeros((1, batch.num_actions), np.float32), np.full(1, network, np.float32))
    return float(search.root_values()[0])


class TooBig(Exception):
    pass


def minimax(board, ply=0, budget=None):
    """Material after the captures and promotions that pay, for the side to move; (points,
    nodes). Raises TooBig past 400 positions, where the search's own budget would stop it."""
    budget = budget if budget is not None else [400]
    budget[0] -= 1
    if budget[0] < 0:
        raise TooBig
    moves = list(board.legal_moves)
    if not moves:
        return (-MATE if board.is_check() else 0), 1
    stand = sum(POINTS[p.piece_type] * (1 if p.color == board.turn else -1) for p in board.piece_map().values())
    check = board.is_check()
    if ply >= MAX_PLIES:
        return stand, 1
    best, nodes = (-MATE if check else stand), 1
    for m in moves:
        if not check and not (board.is_capture(m) or m.promotion):
            continue
        board.push(m)
        score, n = minimax(board, ply + 1, budget)
        board.pop()
        best, nodes = max(best, -score), nodes + n
    return best, nodes


def test_capture_search_matches_minimax_over_python_chess():
    rng = random.Random(7)
    compared = 0
    while compared < 150:
        board = chess.Board()
        for _ in range(rng.randrange(4, 80)):
            moves = list(board.legal_moves)
            if not moves or board.is_game_over():
                break
            captures = [m for m in moves if board.is_capture(m)]
            board.push(rng.choice(captures if captures and rng.random() < 0.3 else moves))
        if board.is_game_over(claim_draw=False) or board.can_claim_fifty_moves():
            continue
        try:
            points, _ = minimax(board)
        except TooBig:  # the search stops at 400 positions; beyond, its order decides
            continue
        assert leaf_value(board.fen()) == pytest.approx(math.tanh(points / 4), abs=1e-6), board.fen()
        compared += 1


@pytest.mark.parametrize("fen, width, height, points", [
    ("rnb1kbnr/pppp1ppp/8/3q4/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 1", 8, 8, 10),  # a queen left hanging, a pawn up
    ("4k3/8/4p3/3p4/4P3/8/8/4K3 w - - 0 1", 8, 8, -1),  # exd5 exd5 loses: stand pat
    ("4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1", 8, 8, 1),  # en passant
    ("4k3/P7/8/8/8/8/8/4K3 w - - 0 1", 8, 8, 9),  # a promotion
    ("k7/8/8/8/8/8/1q6/K7 w - - 0 1", 8, 8, 0),  # in check: the king takes the queen
    ("kr6/8/1K6 w - - 0 1", 8, 3, -5),  # in check: every evasion is tried, none takes
    ("k1r/3/K1R b - - 0 1", 3, 3, MATE),  # Rxc1 mates
])
def test_capture_search_positions(fen, width, height, points):
    if (width, height) == (8, 8):
        assert minimax(chess.Board(fen))[0] == points
    assert leaf_value(fen, width, height) == pytest.approx(math.tanh(points / 4), abs=1e-6)


def test_mix_weights_network_and_material():
    fen = "rnb1kbnr/pppp1ppp/8/3q4/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 1"
    for mix in (0.0, 0.25, 1.0):
        assert leaf_value(fen, mix=mix, network=0.5) == pytest.approx((1 - mix) * 0.5 + mix * math.tanh(10 / 4), abs=1e-6)
    # a uniform network finds the capture only with the material mixed in
    batch = murkle_rl.GameBatch(1, 8, 8, fen=fen, threads=1)
    choice = {}
    for mix in (0.0, 0.5):
        search = murkle_rl.Search(batch, 200, c_puct=0.3, seed=1, material_mix=mix)
        search.run_in_place(zero)
        choice[mix] = murkle_rl.decode_action(batch.game(0), int(search.choose(0.0)[0])).to_lan()
    assert choice[0.5] == "e4d5" != choice[0.0]
    with pytest.raises(ValueError, match="material_mix"):
        murkle_rl.Search(batch, 8, material_mix=1.5)


def test_capture_search_on_large_boards_stays_bounded():
    # many captures at once on a 32x32 board: the search stops at its node budget
    batch = murkle_rl.GameBatch(4, 32, 32, threads=1, seed=3)
    for _ in range(60):
        batch.step(batch.random_actions())
    search = murkle_rl.Search(batch, 16, seed=0, material_mix=0.5)
    search.run_in_place(zero)
    assert np.all(np.abs(search.root_values()) <= 1)


def test_the_agents_and_self_plays_mix_reach_their_searches():
    from murkle_rl.zero.agent import UniformAgent
    from murkle_rl.zero.config import Config
    from murkle_rl.zero.play import SearchSession, play_settings

    fen = "rnb1kbnr/pppp1ppp/8/3q4/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 1"
    agent = UniformAgent(8, 8)
    found = {}
    for mix in (0.0, 0.5):
        agent.cfg = Config(eval_material_mix=mix)
        assert play_settings(agent)["material_mix"] == mix
        session = SearchSession(agent, seed=1)
        session.set_position(8, 8, fen, [])
        found[mix] = session.search(nodes=200).best
    assert found[0.5] == "e4d5" != found[0.0]
    # a new agent mixes; the uniform agent (the search alone) and agents saved before the option do not
    assert play_settings(Config())["material_mix"] == 0.5
    assert play_settings(UniformAgent(8, 8))["material_mix"] == 0.0
    assert play_settings(Config.from_saved({"width": 8, "height": 8}))["material_mix"] == 0.0
