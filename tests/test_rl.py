"""murkle_rl against the exact module: every observation, reward and state of a batch must
equal what murkle_chess gives for the same moves."""
import pickle
import threading

import numpy as np
import pytest

import murkle_chess as mc
import murkle_rl as rl

# (width, height, steps): every size class from one to sixteen words, odd shapes included.
SIZES = [(1, 2, 6), (3, 4, 30), (8, 8, 60), (9, 8, 40), (12, 10, 30), (16, 16, 12), (32, 32, 4), (33, 31, 4),
         (1024, 1, 8)]


OUTCOME_CODES = {"white_win": 0, "black_win": 1, "stalemate": 2, "insufficient_material": 3,
                 "threefold_repetition": 4, "fifty_move_rule": 5, "other_draw": 6}


def exact_planes(game):
    flat, n, h, w = game.encode_game_planes()
    return np.asarray(flat, dtype=np.float32).reshape(n, h, w)


def exact_mask(game):
    """The full-action mask built from the exact module's legal moves and move planes."""
    w, h = game.width(), game.height()
    mask = np.zeros((game.action_size(), h, w), dtype=bool)
    moves = {}
    for move in game.legal_moves():
        col, row = move.src_square()
        action = move.encode(w, h) * h * w + row * w + col
        assert action not in moves, f"{moves[action]} and {move} share action {action}"
        moves[action] = move
        mask.flat[action] = True
    return mask, moves


def same_game(a, b):
    """Equal FEN and hash, and equal again after each take-back: the histories agree."""
    a, b = a.clone(), b.clone()
    while True:
        assert a.to_fen() == b.to_fen() and hash(a) == hash(b)
        took_back = a.unmake_move()
        assert took_back == b.unmake_move()
        if not took_back:
            return


def mirror_start(width, height):
    return mc.Game(width, height, rl.start_fen(width, height), (width, height) == (8, 8))


@pytest.mark.parametrize("width,height,steps", SIZES, ids=[f"{w}x{h}" for w, h, _ in SIZES])
def test_batch_equals_exact_module(width, height, steps):
    max_plies = 25
    batch = rl.GameBatch(3, width, height, seed=width * 100 + height, threads=2, max_plies=max_plies)
    games = [mirror_start(width, height) for _ in range(3)]
    restart = [False] * 3
    planes = np.empty((3, 105, height, width), np.float32)
    mask = np.empty((3, batch.action_planes, height, width), bool)
    for _ in range(steps):
        assert batch.planes(out=planes) is planes and batch.legal_mask(out=mask) is mask
        actions = batch.random_actions()
        for i, g in enumerate(games):
            np.testing.assert_array_equal(planes[i], exact_planes(g))
            want_mask, moves = exact_mask(g)
            # A game that restarts or is over, by the rules or the cap, takes no action.
            if restart[i] or g.is_over() or len(exact_history(g)) >= max_plies:
                assert actions[i] == -1 and not mask[i].any()
            else:
                np.testing.assert_array_equal(mask[i], want_mask)
                assert actions[i] in moves
        rewards, done, _ = batch.step(actions)
        for i, g in enumerate(games):
            if restart[i]:
                games[i] = mirror_start(width, height)
                assert not done[i] and rewards[i] == 0.0
                restart[i] = False
            else:
                if actions[i] >= 0:
                    assert g.make_move(exact_mask(g)[1][actions[i]])
                capped = len(exact_history(g)) >= max_plies
                assert done[i] == (g.is_over() or capped)
                assert rewards[i] == g.reward_absolute()
                restart[i] = bool(done[i])
            same_game(batch.game(i), games[i])
        assert batch.fens() == [g.to_fen() for g in games]
        assert batch.turns().tolist() == [g.turn() for g in games]
        assert batch.plies().tolist() == [len(exact_history(g)) for g in games]
        assert batch.outcomes().tolist() == [OUTCOME_CODES[g.outcome().name()] if g.outcome() else -1
                                             for g in games]


def exact_history(game):
    """The moves of a game, oldest first, found by taking them back on a copy."""
    g, moves = game.clone(), []
    while g.unmake_move():
        moves.append(g.to_fen())
    return moves


def test_full_actions_are_a_bijection_on_legal_moves():
    rng = np.random.default_rng(5)
    for width, height, _ in SIZES:
        batch = rl.GameBatch(2, width, height, seed=3)
        for _ in range(10):
            batch.play_random(int(rng.integers(1, 6)))
            for i in range(2):
                g = batch.game(i)
                mask = rl.legal_action_mask(g)
                _, moves = exact_mask(g)
                assert mask.sum() == len(moves) == len(g.legal_moves())
                for action, move in moves.items():
                    assert rl.encode_action(g, move) == action
                    assert rl.decode_action(g, action) == move


def test_step_planes_follows_apply_action():
    batch = rl.GameBatch(4, 10, 10, seed=11, threads=2)
    games = [mirror_start(10, 10) for _ in range(4)]
    rng = np.random.default_rng(0)
    for _ in range(30):
        planes = [int(rng.choice(g.legal_action_indices())) for g in games]
        rewards, done, _ = batch.step_planes(planes)
        for i, g in enumerate(games):
            assert g.apply_action(planes[i])
            assert rewards[i] == g.reward_absolute() and done[i] == g.is_over()
            same_game(batch.game(i), g)


@pytest.mark.threads
def test_same_seed_same_games_whatever_the_threads():
    def run(threads):
        b = rl.GameBatch(7, 8, 8, seed=42, threads=threads, max_plies=40)
        b.play_random(60)
        trace = [b.random_actions()]
        for _ in range(20):
            trace.append(np.concatenate(b.step(b.random_actions())))
        return b.fens(), np.concatenate(trace)

    one, two, again = run(1), run(2), run(2)
    assert one[0] == two[0] == again[0]
    np.testing.assert_array_equal(one[1], two[1])
    other = rl.GameBatch(7, 8, 8, seed=43, threads=2, max_plies=40)
    other.play_random(60)
    assert other.fens() != one[0]


def test_illegal_action_changes_nothing():
    batch = rl.GameBatch(3, seed=1)
    batch.step(batch.random_actions())
    before = batch.fens()
    actions = batch.random_actions()
    actions[1] = 0  # a plane-0 move from a1: blocked by the white pawn on a2
    with pytest.raises(ValueError, match=r"^game 1: action 0 is not legal$"):
        batch.step(actions)
    with pytest.raises(ValueError, match=r"^game 0: move plane 9999 is not legal$"):
        batch.step_planes([9999, 0, 0])
    assert batch.fens() == before


def test_finished_game_restarts_at_next_step():
    mate_in_one = "6k1/5ppp/8/8/8/8/8/R6K w - - 0 1"
    batch = rl.GameBatch(2, fen=mate_in_one, castling=False, seed=0)
    mate = rl.encode_action(batch.game(0), mc.Move.from_lan("a1a8", 8, 8))
    quiet = rl.encode_action(batch.game(0), mc.Move.from_lan("h1g1", 8, 8))
    rewards, done, _ = batch.step([mate, quiet])
    assert rewards.tolist() == [1.0, 0.0] and done.tolist() == [True, False]
    assert batch.game(0).is_checkmate()  # the final position stays readable
    assert not batch.legal_mask()[0].any()
    assert batch.random_actions()[0] == -1
    rewards, done, _ = batch.step([-1, batch.random_actions()[1]])  # game 0 ignores its action
    assert batch.fens()[0] == mate_in_one and not done[0] and rewards[0] == 0.0


def test_decided_start_reports_done_at_once():
    stalemate = "k7/8/1Q6/8/8/8/8/7K b - - 0 1"
    batch = rl.GameBatch(1, fen=stalemate, seed=0)
    assert batch.random_actions()[0] == -1
    rewards, done, _ = batch.step([-1])
    assert done[0] and rewards[0] == 0.0


def test_per_game_fens_and_errors_name_the_game():
    fens = [rl.start_fen(8, 8), "4k3/8/8/8/8/8/8/4K3 w - - 0 1"]
    batch = rl.GameBatch(2, fen=fens)
    assert batch.fens() == [mc.Game(8, 8, f, True).to_fen() for f in fens]
    with pytest.raises(ValueError, match=r"^game 1: Invalid FEN: expected 6 parts, got 1$"):
        rl.GameBatch(2, fen=[fens[0], "nonsense"])
    with pytest.raises(ValueError, match="sequence of n = 3 FENs, got 2"):
        rl.GameBatch(3, fen=fens)


@pytest.mark.parametrize("kwargs,error,text", [
    (dict(n=0), ValueError, "n must be at least 1"),
    (dict(n=1, width=0), ValueError, "at most 32 rows and at most 1024 squares"),
    (dict(n=1, width=8, height=33), ValueError, "board size 8x33 is out of range"),
    (dict(n=1, width=64, height=32), ValueError, "out of range"),
    (dict(n=1, width=1, height=1), ValueError, "two kings need two squares"),
    (dict(n=1, threads=0), ValueError, "threads must be at least 1"),
    (dict(n=1, max_plies=0), ValueError, "max_plies must be at least 1"),
    (dict(n=1, fen=5), TypeError, "fen must be a str, a sequence of str or None, not int"),
    (dict(n=-1), ValueError, "n must be at least 1, got -1"),
    (dict(n=2.0), TypeError, "n must be an integer, not float"),
    (dict(n=2**64 - 1), ValueError, "n must be at most 4294967296, got 18446744073709551615"),
    (dict(n=1, threads=-1), ValueError, "threads must be at least 1, got -1"),
    (dict(n=1, seed=-1), ValueError, "seed must be at least 0, got -1"),
    (dict(n=1, seed=2**64), ValueError, "seed must be at most 18446744073709551615"),
    (dict(n=1, max_plies=-5), ValueError, "max_plies must be at least 1, got -5"),
    (dict(n=1, width=-3), ValueError, "board size -3x8 is out of range"),
    (dict(n=1, height="8"), TypeError, "height must be an integer, not str"),
    (dict(n=2, fen=[rl.start_fen(8, 8), 5]), TypeError, r"fen\[1\] must be a str, not int"),
])
def test_bad_construction(kwargs, error, text):
    with pytest.raises(error, match=text):
        rl.GameBatch(**kwargs)


def test_bad_calls_are_refused_naming_the_argument():
    batch = rl.GameBatch(2, 4, 4, seed=0)
    before = batch.fens()
    with pytest.raises(ValueError, match=r"actions must have shape \(2,\), got \(3,\)"):
        batch.step([0, 0, 0])
    with pytest.raises(TypeError, match="actions must hold integers, got dtype float64"):
        batch.step([0.0, 1.0])
    with pytest.raises(TypeError, match="out must have dtype float32, got float64"):
        batch.planes(out=np.zeros((2, 105, 4, 4)))
    with pytest.raises(ValueError, match=r"out must have shape \(2, 50, 4, 4\), got \(2, 50, 4, 5\)"):
        batch.legal_mask(out=np.zeros((2, 50, 4, 5), bool))
    with pytest.raises(ValueError, match="C-contiguous"):
        batch.planes(out=np.zeros((2, 105, 4, 8), np.float32)[..., ::2])
    # The arrays a step writes are named by their keywords.
    with pytest.raises(ValueError, match=r"mask_bits must have shape \(2, 100\), got \(2, 99\)"):
        batch.step(batch.random_actions(), mask_bits=np.zeros((2, 99), np.uint8))
    with pytest.raises(TypeError, match="planes must have dtype float32, got float64"):
        batch.step(batch.random_actions(), planes=np.zeros((2, 105, 4, 4)))
    with pytest.raises(ValueError, match=r"truncated must have shape \(2,\), got \(3,\)"):
        batch.step(batch.random_actions(), truncated=np.zeros(3, bool))
    frozen = np.zeros((2, 105, 4, 4), np.float32)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        batch.planes(out=frozen)
    with pytest.raises(TypeError, match="numpy.ndarray"):
        batch.planes(out=[0.0])
    with pytest.raises(IndexError, match="game index 2 is out of range for 2 games"):
        batch.game(2)
    with pytest.raises(ValueError, match="game is 8x8 but the batch plays 4x4"):
        batch.set_game(0, mc.Game.standard())
    with pytest.raises(TypeError, match="murkle_chess.Game"):
        batch.set_game(0, "not a game")
    with pytest.raises(ValueError, match=r"actions\[1\] is 18446744073709551615, beyond the int64 range"):
        batch.step(np.array([0, 2**64 - 1], np.uint64))
    with pytest.raises(ValueError, match="plies must be at least 0, got -1"):
        batch.play_random(-1)
    with pytest.raises(TypeError, match="plies must be an integer, not float"):
        batch.play_random(1.0)
    with pytest.raises(IndexError, match="game index 1180591620717411303424 is out of range for 2 games"):
        batch.game(2**70)
    with pytest.raises(TypeError, match="i must be an integer, not str"):
        batch.set_game("0", mc.Game.standard())
    batch.reset([])  # nothing to reset, whatever dtype NumPy gives an empty list
    assert batch.fens() == before
    g = mc.Game.standard()
    with pytest.raises(ValueError, match="action 1180591620717411303424 is not a legal move of this game"):
        rl.decode_action(g, 2**70)
    with pytest.raises(TypeError, match="action must be an integer, not float"):
        rl.decode_action(g, 1.0)
    with pytest.raises(ValueError, match="board size 3x-1 is out of range"):
        rl.start_fen(3, -1)
    assert rl.decode_action(g, np.int64(rl.encode_action(g, g.move_from_lan("e2e4")))) == g.move_from_lan("e2e4")
    assert pickle.loads(pickle.dumps(batch)).fens() == before


def test_games_cross_both_ways_and_reset():
    batch = rl.GameBatch(3, 6, 6, seed=2)
    batch.play_random(9)
    g = batch.game(-1)
    assert g.make_move(g.legal_moves()[0])
    batch.set_game(0, g)
    same_game(batch.game(0), g)
    batch.reset([0, 2])
    assert batch.fens()[0] == batch.fens()[2] == mirror_start(6, 6).to_fen()
    batch.reset()
    assert set(batch.fens()) == {mirror_start(6, 6).to_fen()}


def test_pickle_keeps_every_game_and_stream():
    batch = rl.GameBatch(4, 9, 8, seed=8, max_plies=30, threads=2)
    batch.play_random(37)
    edited = batch.game(1)
    edited.set_piece(0, 3, mc.Piece("queen", mc.WHITE))  # an edit no FEN replay could carry
    batch.set_game(1, edited)
    copy = pickle.loads(pickle.dumps(batch))
    assert (copy.n, copy.width, copy.height, copy.max_plies) == (4, 9, 8, 30)
    for i in range(4):
        same_game(copy.game(i), batch.game(i))
    for _ in range(25):
        np.testing.assert_array_equal(copy.random_actions(), a := batch.random_actions())
        for x, y in zip(copy.step(a), batch.step(a)):
            np.testing.assert_array_equal(x, y)


def test_game_bytes_round_trip_and_refusal():
    g = mc.Game(10, 10, rl.start_fen(10, 10), False)
    for _ in range(12):
        g.apply_action(g.legal_action_indices()[-1])
    g.set_piece(4, 4, None)
    back = rl.loads_game(rl.dumps_game(g))
    same_game(back, g)
    np.testing.assert_array_equal(exact_planes(back), exact_planes(g))
    data = rl.dumps_game(g)
    for bad in (b"", data[:-1], data + b"\0", b"XXXX" + data[4:], data[:4] + b"\xff\xff" + data[6:]):
        with pytest.raises(ValueError, match="invalid game bytes"):
            rl.loads_game(bad)
    # Every single-byte change is either refused or read back as some valid game.
    for k in range(0, len(data), 7):
        changed = data[:k] + bytes([data[k] ^ 0xA5]) + data[k + 1:]
        try:
            h = rl.loads_game(changed)
        except ValueError:
            continue
        h.legal_moves(), h.to_fen(), h.encode_game_planes()
        while h.unmake_move():
            pass


@pytest.mark.threads
def test_threads_share_batches_safely():
    """Four Python threads step one shared batch and a batch of their own at once."""
    shared = rl.GameBatch(16, seed=4, threads=2)
    own = [rl.GameBatch(8, 6, 6, seed=k, threads=2, max_plies=20) for k in range(4)]
    errors = []

    def work(mine):
        try:
            for _ in range(30):
                mine.planes(), mine.legal_mask()
                mine.step(mine.random_actions())
                mine.play_random(2)
                try:
                    shared.planes()
                    shared.step(shared.random_actions())
                except ValueError:
                    pass  # another thread moved the shared games between our two calls
        except Exception as e:  # pragma: no cover - a real fault
            errors.append(e)

    threads = [threading.Thread(target=work, args=(b,)) for b in own]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for batch in [shared] + own:
        planes = batch.planes()
        for i in range(batch.n):
            np.testing.assert_array_equal(planes[i], exact_planes(batch.game(i)))


def test_start_fen():
    assert rl.start_fen(8, 8) == "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
    assert rl.start_fen(5, 3) == "rqkrr/5/RQKRR w - - 0 1"  # no knight beside the king on three rows
    assert rl.start_fen(6, 1) == "KR2rk w - - 0 1"
    assert rl.start_fen(2, 1) == "Kk w - - 0 1"
    with pytest.raises(ValueError, match="two kings need two squares"):
        rl.start_fen(1, 1)
    for w, h, _ in SIZES:
        mc.Game(w, h, rl.start_fen(w, h), False)  # every start position reads
