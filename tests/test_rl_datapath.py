"""The trainer's data path of murkle_rl: the fused step, packed planes, observations of single
games, sampling, compressed legal actions, repetitions and the pool's behaviour across forks and
failed thread starts. Each is checked against the exact module or the batch's plain calls."""
import collections
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import murkle_chess as mc
import murkle_rl as rl
from test_legal_generator import attacks
from test_rl import SIZES, exact_planes

IDS = [f"{w}x{h}" for w, h, _ in SIZES]


def packed_by_numpy(planes):
    """The packed format as the README defines it, from dense planes."""
    n, p, h, w = planes.shape
    flat = planes.reshape(n, p, h * w)
    scalars = np.zeros((n, p), np.float32)
    scalars[:, 96:] = flat[:, 96:, 0]
    bits = np.packbits(flat[:, :96] != 0, axis=-1, bitorder="little")
    return np.concatenate([bits, np.zeros((n, p - 96, bits.shape[-1]), np.uint8)], axis=1), scalars


@pytest.mark.parametrize("width,height,steps", SIZES, ids=IDS)
def test_fused_step_and_packed_planes_equal_the_plain_calls(width, height, steps):
    kw = dict(seed=width * 31 + height, threads=2, max_plies=9)
    plain, fused = rl.GameBatch(3, width, height, **kw), rl.GameBatch(3, width, height, **kw)
    n, p = 3, plain.action_planes
    planes = np.full((n, 105, height, width), 7, np.float32)
    mask = np.ones((n, p, height, width), bool)
    bits = np.full((n, 105, (height * width + 7) // 8), 255, np.uint8)
    scalars = np.full((n, 105), 7, np.float32)
    mask_bits = np.full((n, (plain.num_actions + 7) // 8), 255, np.uint8)
    rewards, done, truncated = np.empty(n, np.float32), np.empty(n, bool), np.empty(n, bool)
    for _ in range(steps):
        actions = plain.random_actions()
        np.testing.assert_array_equal(actions, fused.random_actions())
        want = plain.step(actions)
        got = fused.step(actions, planes, mask, rewards, done, truncated=truncated, bits=bits, scalars=scalars,
                         mask_bits=mask_bits)
        assert got[0] is rewards and got[1] is done and got[2] is truncated
        for w, g in zip(want, got):
            np.testing.assert_array_equal(w, g)
        # A game is truncated only by the ply cap, never by the rules.
        np.testing.assert_array_equal(truncated, done & (plain.outcomes() == -1))
        dense = plain.planes()
        np.testing.assert_array_equal(planes, dense)
        np.testing.assert_array_equal(mask, plain.legal_mask())
        np.testing.assert_array_equal(mask_bits, np.packbits(mask.reshape(n, -1), axis=1, bitorder="little"))
        np.testing.assert_array_equal(plain.packed_legal_mask(), mask_bits)
        want_bits, want_scalars = packed_by_numpy(dense)
        np.testing.assert_array_equal(bits, want_bits)
        np.testing.assert_array_equal(scalars, want_scalars)
        np.testing.assert_array_equal(rl.unpack_planes(bits, scalars, height, width), dense)
        b, s = plain.packed_planes()
        np.testing.assert_array_equal(b, bits)
        np.testing.assert_array_equal(s, scalars)
        # The single-game helpers give the same arrays, one game or a list.
        games = [plain.game(i) for i in range(n)]
        np.testing.assert_array_equal(rl.planes(games), dense)
        np.testing.assert_array_equal(rl.planes(games[1]), exact_planes(games[1]))
        single = rl.legal_mask(games)  # a game's own moves, also where the batch takes none
        acting = mask.reshape(n, -1).any(axis=1)
        np.testing.assert_array_equal(single[acting], mask[acting])
        np.testing.assert_array_equal(rl.packed_legal_mask(games)[acting], mask_bits[acting])
        gb, gs = rl.packed_planes(games[2])
        np.testing.assert_array_equal(gb, bits[2])
        np.testing.assert_array_equal(gs, scalars[2])


def test_out_arrays_are_filled_and_returned():
    batch = rl.GameBatch(4, 6, 6, seed=1, threads=2)
    for name, dtype in [("random_actions", np.int64), ("turns", np.int8), ("plies", np.int64),
                        ("outcomes", np.int8)]:
        copy = pickle.loads(pickle.dumps(batch))  # random_actions moves the streams on
        out = np.empty(4, dtype)
        assert getattr(batch, name)(out=out) is out
        np.testing.assert_array_equal(out, getattr(copy, name)())
    logits = np.zeros((4, batch.num_actions), np.float32)
    out = np.empty(4, np.int64)
    assert batch.sample(logits, out=out) is out
    games = [batch.game(i) for i in range(4)]
    out = np.empty((4, 105, 6, 6), np.float32)
    assert rl.planes(games, out=out) is out
    with pytest.raises(ValueError, match=r"shape \(105, 6, 6\)"):
        rl.planes(games[0], out=out)
    with pytest.raises(ValueError, match="bits and scalars go together"):
        batch.step(batch.random_actions(), bits=np.empty((4, 105, 5), np.uint8))
    with pytest.raises(ValueError, match="shape"):
        batch.step(batch.random_actions(), planes=np.empty((4, 105, 6, 5), np.float32))
    assert (batch.plies() == 0).all()  # a refused output array stops the step before any move


def test_single_game_helpers_refuse_bad_input():
    with pytest.raises(ValueError, match="game 1 is 6x6 but game 0 is 8x8"):
        rl.planes([mc.Game.standard(), mc.Game(6, 6, rl.start_fen(6, 6), False)])
    with pytest.raises(ValueError, match="empty"):
        rl.legal_mask([])
    with pytest.raises(TypeError, match="game 1 must be a murkle_chess.Game"):
        rl.packed_planes([mc.Game.standard(), "e2e4"])
    with pytest.raises(TypeError):
        rl.planes("rnbqkbnr/8")
    bits, scalars = rl.packed_planes(mc.Game.standard())
    with pytest.raises(ValueError, match="bits must have shape"):
        rl.unpack_planes(bits, scalars, 8, 7)
    with pytest.raises(ValueError, match="scalars must have shape"):
        rl.unpack_planes(bits, scalars[:-1], 8, 8)
    with pytest.raises(TypeError, match="uint8"):
        rl.unpack_planes(bits.astype(np.int16), scalars, 8, 8)
    # Shared borrows are released again: the games stay usable, also after a refusal.
    g = mc.Game.standard()
    with pytest.raises(TypeError):
        rl.planes([g, g, 3])
    assert g.make_move(g.move_from_lan("e2e4"))


def test_legal_actions_are_the_legal_moves_in_order():
    batch = rl.GameBatch(5, 8, 8, seed=3, threads=2)
    for _ in range(12):
        batch.step(batch.random_actions())
    actions, offsets = batch.legal_actions()
    assert offsets.shape == (6,) and offsets[0] == 0 and offsets[-1] == len(actions)
    mask = batch.legal_mask().reshape(5, -1)
    for i in range(5):
        g = batch.game(i)
        row = list(actions[offsets[i]:offsets[i + 1]])
        assert sorted(row) == list(np.flatnonzero(mask[i]))
        assert row == ([rl.encode_action(g, m) for m in g.legal_moves()] if mask[i].any() else [])


def test_sample_draws_legal_actions_from_the_softmax():
    n, fen = 4000, mc.Game.standard().to_fen()
    batch = rl.GameBatch(n, 8, 8, seed=11, threads=2, fen=fen)
    rng = np.random.default_rng(0)
    logits = np.tile(rng.normal(size=batch.num_actions).astype(np.float32) * 1.5, (n, 1))
    logits[:, 0] = 1e30  # illegal actions are never read, however large
    g = mc.Game.standard()
    legal = [rl.encode_action(g, m) for m in g.legal_moves()]
    drawn = batch.sample(logits, temperature=0.8)
    assert set(drawn) <= set(legal)
    z = logits[0, legal].astype(np.float64) / 0.8
    expected = np.exp(z - z.max())
    expected *= n / expected.sum()
    counts = np.array([np.sum(drawn == a) for a in legal])
    chi2 = ((counts - expected) ** 2 / expected).sum()
    assert chi2 < 45.3, (chi2, counts, expected)  # 19 degrees of freedom, p = 0.001
    # Temperature 0 takes the best legal action; float64 logits are read as they are, in
    # either byte order.
    best = legal[int(np.argmax(logits[0, legal]))]
    assert (batch.sample(logits.astype(np.float64), temperature=0) == best).all()
    assert (batch.sample(logits.astype(">f8"), temperature=0) == best).all()


@pytest.mark.threads
def test_sample_is_the_same_on_any_number_of_threads_and_refuses_bad_logits():
    def run(threads):
        batch = rl.GameBatch(16, 6, 6, seed=5, threads=threads, max_plies=30)
        rng = np.random.default_rng(1)
        trace = []
        for _ in range(40):
            logits = rng.normal(size=(16, batch.action_planes, 6, 6)).astype(np.float32)
            actions = batch.sample(logits)
            trace.append(actions)
            batch.step(actions)
        return np.array(trace), batch
    one, _ = run(1)
    two, batch = run(2)
    np.testing.assert_array_equal(one, two)
    logits = np.zeros((16, batch.num_actions), np.float32)
    copy = pickle.loads(pickle.dumps(batch))
    legal, offsets = batch.legal_actions()
    target = next(i for i in range(16) if offsets[i + 1] > offsets[i])
    bad = logits.copy()
    bad[target, legal[offsets[target]:offsets[target + 1]]] = np.nan
    with pytest.raises(ValueError, match=f"game {target}: the logits of legal actions must be finite"):
        batch.sample(bad)
    bad[target, legal[offsets[target]:offsets[target + 1]]] = -np.inf
    with pytest.raises(ValueError, match=f"game {target}: every legal action has logit -inf"):
        batch.sample(bad)
    with pytest.raises(ValueError, match="temperature"):
        batch.sample(logits, temperature=-1)
    with pytest.raises(ValueError, match="logits must have shape"):
        batch.sample(logits[:, :-1])
    # A refused draw moves no stream: the next draw is what it would have been.
    np.testing.assert_array_equal(batch.sample(logits), copy.sample(logits))


def position_key(game):
    return " ".join(game.to_fen().split()[:4])


@pytest.mark.parametrize("width,height,fen", [
    (4, 4, "k3/4/1r2/R2K w - - 0 1"),
    (5, 3, "kq3/5/2Q1K w - - 0 1"),
    (8, 8, "r3k3/8/8/8/8/8/8/R3K2R w KQq - 0 1"),
])
def test_repetitions_follow_a_plain_count_of_positions(width, height, fen):
    n, max_plies = 6, 120
    batch = rl.GameBatch(n, width, height, fen=fen, seed=9, threads=2, repetitions=True, max_plies=max_plies)
    assert batch.repetitions
    mirrors = [batch.game(i) for i in range(n)]
    seen = [collections.Counter([position_key(g)]) for g in mirrors]
    restart = [False] * n
    repeated = threefolds = 0
    for _ in range(300):
        planes = batch.planes()
        # Planes 96 and 97 count the repetitions; every other plane is the exact module's.
        exact = rl.planes(mirrors)
        np.testing.assert_array_equal(planes[:, :96], exact[:, :96])
        np.testing.assert_array_equal(planes[:, 98:], exact[:, 98:])
        for i in range(n):
            count = seen[i][position_key(mirrors[i])]
            assert (planes[i, 96] == (count >= 2)).all() and (planes[i, 97] == (count >= 3)).all()
            repeated += count >= 2
        actions = batch.random_actions()
        rewards, done, truncated = batch.step(actions)
        outcomes, plies = batch.outcomes(), batch.plies()
        for i in range(n):
            if restart[i]:
                mirrors[i] = batch.game(i)
                seen[i] = collections.Counter([position_key(mirrors[i])])
                restart[i] = False
                continue
            g = mirrors[i]
            assert g.make_move(rl.decode_action(g, int(actions[i])))
            seen[i][position_key(g)] += 1
            third = seen[i][position_key(g)] >= 3
            capped = plies[i] >= max_plies
            assert done[i] == (g.is_over() or third or capped)
            assert truncated[i] == (capped and not g.is_over() and not third)
            if not g.is_over() and third:
                assert outcomes[i] == 4 and rewards[i] == 0.0 and not truncated[i]
                threefolds += 1
            restart[i] = bool(done[i])
    assert repeated > 0 and (threefolds > 0 or width == 8)  # random 8x8 games seldom reach a third


@pytest.mark.parametrize("legal_capture", [True, False])
def test_repetition_counts_an_en_passant_capture_as_part_of_the_position(legal_capture):
    # After e2e4 the position has an en-passant square; it is a different position from the
    # one that comes back after each round of king and knight moves only when the capture is
    # legal (a black pawn on f4). Then the first position seen three times is the one after
    # e8d8 (steps 1, 5, 9); otherwise the one after e2e4 (steps 0, 4, 8).
    fen = "4k3/8/8/8/5p2/8/4P3/4K1N1 w - - 0 1" if legal_capture else "4k3/p7/8/8/8/8/4P3/4K1N1 w - - 0 1"
    batch = rl.GameBatch(1, 8, 8, fen=fen, seed=0, threads=1, repetitions=True)
    lans = ["e2e4"] + ["e8d8", "g1f3", "d8e8", "f3g1"] * 3
    ended_at = None
    for k, lan in enumerate(lans):
        g = batch.game(0)
        _, done, _ = batch.step([rl.encode_action(g, g.move_from_lan(lan))])
        if done[0]:
            ended_at = k
            break
    assert batch.outcomes()[0] == 4
    assert ended_at == (9 if legal_capture else 8)


def test_repetitions_survive_pickling():
    batch = rl.GameBatch(2, 6, 6, seed=4, repetitions=True)
    assert pickle.loads(pickle.dumps(batch)).repetitions


def run_script(code, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


# Not among the `threads` tests: a process under ThreadSanitizer may not start threads after a fork.
def test_a_forked_child_uses_and_drops_a_threaded_batch():
    result = run_script("""
        import os, numpy as np, murkle_rl as rl
        batch = rl.GameBatch(64, 8, 8, seed=2, threads=2, max_plies=40)
        batch.play_random(5)
        r, w = os.pipe()
        pid = os.fork()
        trace = []
        for _ in range(30):
            a = batch.random_actions()
            trace.append(a)
            batch.step(a, batch.planes(), batch.legal_mask())
        if pid == 0:
            # The child plays the same games as the parent, then drops the batch without
            # waiting for the parent's workers.
            os.write(w, np.array(trace).tobytes())
            del batch
            os._exit(0)
        os.close(w)
        child = b"".join(iter(lambda: os.read(r, 1 << 16), b""))
        _, status = os.waitpid(pid, 0)
        print(status, child == np.array(trace).tobytes())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "True"]


def test_a_child_forked_while_another_thread_holds_the_batch_refuses_it_without_hanging():
    result = run_script("""
        import os, threading, time, murkle_rl as rl
        batch = rl.GameBatch(64, 8, 8, seed=2, threads=1)
        threading.Thread(target=batch.play_random, args=(10**7,), daemon=True).start()
        time.sleep(0.3)  # the thread is inside play_random, holding the batch
        pid = os.fork()
        if pid == 0:
            try:
                batch.fens()
                code = 1
            except RuntimeError as e:
                code = 0 if "forked" in str(e) else 2
            fresh = rl.GameBatch(2, 4, 4, seed=0, threads=1)  # a new batch works in the child
            fresh.play_random(3)
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), flush=True)
        os._exit(0)  # the thread is still playing
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"]


def test_a_worker_that_cannot_start_is_a_runtime_error():
    result = run_script("""
        import os, resource, time, murkle_rl as rl
        def tasks(at_most=None):  # a joined thread may stay listed for a moment
            for _ in range(200):
                n = len(os.listdir("/proc/self/task"))
                if at_most is None or n <= at_most:
                    break
                time.sleep(0.01)
            return n
        before = tasks()
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (96 << 20), hard))
        try:
            rl.GameBatch(64, 6, 6, threads=64)
        except RuntimeError as e:
            print("refused:", e)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(tasks(before) <= before)
        b = rl.GameBatch(8, 6, 6, threads=2, seed=0)
        print(b.play_random(10)["steps"])
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("refused: could not start worker thread ") and " of 63: " in lines[0]
    assert lines[1:] == ["True", "80"]


NETWORK_PLANES = list(range(12)) + list(range(96, 105))
SELECTIONS = [NETWORK_PLANES, [104, 3, 50, 97, 0, 95, 12], [99], list(range(105))[::-1]]


@pytest.mark.parametrize("width,height,steps", SIZES[:7], ids=IDS[:7])
def test_selected_planes_equal_the_full_planes_at_their_indices(width, height, steps):
    kw = dict(seed=width * 7 + height, threads=2, max_plies=steps, repetitions=True)
    full = rl.GameBatch(3, width, height, **kw)
    chosen = [rl.GameBatch(3, width, height, planes=np.array(idx), **kw) for idx in SELECTIONS]
    n, h, w = 3, height, width
    outs = [(np.full((n, len(idx), h, w), 7, np.float32),
             np.full((n, len(idx), (h * w + 7) // 8), 255, np.uint8),
             np.full((n, len(idx)), 7, np.float32)) for idx in SELECTIONS]
    for step in range(steps + 2):
        dense, (bits, scalars) = full.planes(), full.packed_planes()
        for idx, b, (planes, sbits, sscalars) in zip(SELECTIONS, chosen, outs):
            assert b.plane_indices == tuple(idx)
            got_bits, got_scalars = b.packed_planes()
            np.testing.assert_array_equal(b.planes(), dense[:, idx])
            np.testing.assert_array_equal(got_bits, bits[:, idx])
            np.testing.assert_array_equal(got_scalars, scalars[:, idx])
            np.testing.assert_array_equal(rl.unpack_planes(got_bits, got_scalars, h, w), dense[:, idx])
            if step:  # what the last step wrote
                for got, want in [(planes, dense), (sbits, bits), (sscalars, scalars)]:
                    np.testing.assert_array_equal(got, want[:, idx])
        actions = full.random_actions()
        result = full.step(actions)
        for b, (planes, sbits, sscalars) in zip(chosen, outs):
            for got, want in zip(b.step(actions, planes, bits=sbits, scalars=sscalars), result):
                np.testing.assert_array_equal(got, want)


def attack_planes_by_rules(game):
    """Planes 105-124 from the exact module's board, each square asked by the legal-move tests'
    attack rule: of each piece (attacks), and of each piece kind put there against each king
    (checks)."""
    w, h = game.width(), game.height()
    board = {(c, r): p.symbol() for r in range(h) for c in range(w) if (p := game.get_piece(c, r))}
    out = np.zeros((20, h, w), np.float32)
    for (c, r), letter in board.items():
        theirs = letter.isupper() != (game.turn() == mc.WHITE)
        for y in range(h):
            for x in range(w):  # a rook on its own square is not attacking it here
                if (x, y) != (c, r) and attacks(letter, c, r, x, y, board):
                    out[6 * theirs + "pnbrqk".index(letter.lower()), y, x] = 1
                for kind in "pnbr" if letter in "kK" and (x, y) != (c, r) else "":  # who checks this king from (x, y)
                    if attacks(kind if letter == "K" else kind.upper(), x, y, c, r, board):
                        out[12 + 4 * (1 - theirs) + "pnbr".index(kind), y, x] = 1
    return out


@pytest.mark.parametrize("width,height,steps", SIZES[1:8], ids=IDS[1:8])
def test_attack_and_check_planes_mark_the_squares_each_side_attacks_and_checks_from(width, height, steps):
    """Dense and packed, against the rules' attack test on every size class, and on 8x8 against
    python-chess's attackers (and, for checks, the attacks of each kind put on the king's square)."""
    chess = pytest.importorskip("chess") if (width, height) == (8, 8) else None
    picked = list(range(124, 104, -1)) + [98]  # reversed, then a constant plane
    batch = rl.GameBatch(6, width, height, seed=width + height, threads=2, planes=picked)
    for _ in range(4):
        dense, (bits, scalars) = batch.planes(), batch.packed_planes()
        np.testing.assert_array_equal(rl.unpack_planes(bits, scalars, height, width), dense)
        for i in range(batch.n):
            game = batch.game(i)
            want = attack_planes_by_rules(game)
            np.testing.assert_array_equal(dense[i, :20], want[::-1], err_msg=game.to_fen())
            if chess:
                board = chess.Board(game.to_fen())
                for side, colour in enumerate((board.turn, not board.turn)):
                    for square in chess.SQUARES:
                        kinds = {board.piece_type_at(a) for a in board.attackers(colour, square)}
                        for kind in range(1, 7):
                            assert want[6 * side + kind - 1, square // 8, square % 8] == (kind in kinds)
                    for king in board.pieces(chess.KING, not colour):
                        for kind in range(1, 5):  # a piece of the king's colour there attacks the checking squares
                            probe = board.copy()
                            probe.set_piece_at(king, chess.Piece(kind, not colour))
                            checks = np.zeros(64, np.float32)
                            checks[list(probe.attacks(king))] = 1
                            np.testing.assert_array_equal(want[12 + 4 * side + kind - 1].ravel(), checks)
        batch.play_random(max(1, steps // 4))


def test_plane_selection_is_kept_shown_and_checked():
    b = rl.GameBatch(2, 6, 6, seed=1, planes=(98, 0, 12))
    b.play_random(5)
    assert "planes=[98, 0, 12]" in repr(b) and "planes" not in repr(rl.GameBatch(1, 6, 6))
    assert rl.GameBatch(1, 6, 6).plane_indices == tuple(range(105))
    copy = pickle.loads(pickle.dumps(b))
    assert copy.plane_indices == (98, 0, 12)
    np.testing.assert_array_equal(copy.planes(), b.planes())
    old_state = rl.GameBatch(1, 6, 6).__getstate__()[:10]   # a state without its planes: all of them
    restored = rl.GameBatch.__new__(rl.GameBatch)
    restored.__setstate__(old_state)
    assert restored.plane_indices == tuple(range(105))
    with pytest.raises(ValueError, match=r"planes must have shape \(2, 3, 6, 6\)"):
        b.step(b.random_actions(), np.zeros((2, 105, 6, 6), np.float32))
    for bad, error, text in [([], ValueError, "planes must name at least one plane"),
                             ([0, 125], ValueError, r"planes\[1\] must be at most 124"),
                             ([-1], ValueError, r"planes\[0\] must be at least 0"),
                             ([3, 4, 3], ValueError, "planes names plane 3 twice"),
                             ([1.0], TypeError, r"planes\[0\] must be an integer"),
                             ([True], TypeError, r"planes\[0\] must be an integer plane index"),
                             ("012", TypeError, "planes must be a sequence"),
                             (7, TypeError, "planes must be a sequence"),
                             (list(range(125)) + [0], ValueError, "planes names 126 planes")]:
        with pytest.raises(error, match=text):
            rl.GameBatch(1, 6, 6, planes=bad)
    state = list(b.__getstate__())
    state[10] = [0, 0]
    with pytest.raises(ValueError, match="GameBatch state: planes names plane 0 twice"):
        rl.GameBatch.__new__(rl.GameBatch).__setstate__(tuple(state))
