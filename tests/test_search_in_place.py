"""Search.run_in_place: the network's round trip on the search's own arrays gives the same
trees as run(evaluate), reads returned arrays of any real dtype and layout, and refuses bad
answers with the search left usable."""

import re

import numpy as np
import pytest

import murkle_rl as rl
from test_search import FakeNet


def planes_net(width, height, seed=0):
    """FakeNet reading the planes alone (no mask), as run_in_place's callback sees them."""
    net = FakeNet(width, height, seed)

    def evaluate(planes):
        k, _, h, w = planes.shape
        return net(planes, np.zeros((k, net.num_actions // (h * w), h, w), bool))
    return evaluate


def pair(width, height, n=3, leaves=1, simulations=40, **kw):
    """Two equal batches, each with a Search of the same seed and Dirichlet noise."""
    def one():
        batch = rl.GameBatch(n, width, height, seed=5, threads=1)
        return rl.Search(batch, simulations, seed=9, leaves_per_round=leaves, dirichlet_alpha=0.3, **kw)
    return one(), one()


def written(net):
    def evaluate(planes, logits, values):
        logits[:], values[:] = net(planes)
    return evaluate


def returned_numpy_variants(net):
    """Returns its answers as float64 (k, P, H, W) logits viewed through a transpose and
    (k, 1) values: strided and of another dtype, read where they lie."""
    def evaluate(planes, logits, values):
        lg, v = net(planes)
        k, _, h, w = planes.shape
        lg = np.ascontiguousarray(lg.astype(np.float64).reshape(k, -1, h, w).transpose(0, 1, 3, 2)).transpose(0, 1, 3, 2)
        return lg, v[:, None].astype(np.float64)
    return evaluate


def packed(net, height, width):
    def evaluate(bits, scalars, logits, values):
        return net(rl.unpack_planes(bits, scalars, height, width))
    return evaluate


@pytest.mark.parametrize("width,height,leaves", [(8, 8, 1), (6, 5, 3), (7, 1, 2), (4, 3, 4)])
@pytest.mark.parametrize("how", ["written", "returned", "packed", "by rounds"])
def test_same_trees_as_run_with_the_same_network(width, height, leaves, how):
    net = planes_net(width, height, seed=width + height)
    expected, search = pair(width, height, leaves=leaves)
    expected.run(lambda planes, mask: net(planes))
    if how == "written":
        leaves_evaluated = search.run_in_place(written(net))
    elif how == "returned":
        leaves_evaluated = search.run_in_place(returned_numpy_variants(net))
    elif how == "packed":
        leaves_evaluated = search.run_in_place(packed(net, height, width), packed=True)
    else:
        rounds = []
        while k := search.run_in_place(written(net), rounds=1):
            rounds.append(k)
        assert max(rounds) <= 3 * leaves
        leaves_evaluated = sum(rounds)
    np.testing.assert_array_equal(search.visits(), expected.visits())
    np.testing.assert_array_equal(search.policy(), expected.policy())
    np.testing.assert_array_equal(search.root_values(), expected.root_values())
    assert leaves_evaluated > 0 and search.run_in_place(written(net)) == 0   # complete: nothing more


def test_same_trees_after_steps_with_kept_subtrees():
    net = planes_net(6, 6, seed=2)
    expected, search = pair(6, 6, n=4, leaves=2)
    for _ in range(3):
        expected.run(lambda planes, mask: net(planes))
        search.run_in_place(written(net))
        np.testing.assert_array_equal(search.visits(), expected.visits())
        expected.step(expected.choose(0))
        search.step(search.choose(0))


def test_arrays_are_made_once_and_views_given_each_round():
    _, search = pair(5, 5, leaves=2)
    seen = []

    def evaluate(planes, logits, values):
        seen.append((planes.ctypes.data, logits.ctypes.data, values.ctypes.data, planes.shape[0]))
        assert planes.dtype == logits.dtype == values.dtype == np.float32
        assert planes.shape[1:] == (len(search.batch.plane_indices), 5, 5)
        assert logits.shape == (planes.shape[0], search.batch.num_actions) and values.shape == (planes.shape[0],)
        assert np.isnan(values).all()                     # unwritten values are refused below
        logits[:] = 0.0
        values[:] = 0.0
    search.run_in_place(evaluate)
    assert len({s[:3] for s in seen}) == 1 and len(seen) > 3


def torch_answers(torch, net, dtype, transpose):
    def evaluate(planes, logits, values):
        lg, v = net(planes)
        lg = torch.from_numpy(lg).to(dtype)
        if transpose:   # the same tensor through a column-major layout
            lg = lg.t().contiguous().t()
        return lg, torch.from_numpy(v).to(dtype)
    return evaluate


@pytest.mark.parametrize("dtype,transpose", [("float32", False), ("float32", True), ("float64", False),
                                             ("float16", False), ("bfloat16", True)])
def test_torch_tensors_are_read_in_place(dtype, transpose):
    torch = pytest.importorskip("torch")
    dtype = getattr(torch, dtype)
    net = planes_net(6, 6, seed=4)

    def rounded(planes):   # the answers as the tensor's dtype holds them
        lg, v = net(planes)
        return torch.from_numpy(lg).to(dtype).float().numpy(), torch.from_numpy(v).to(dtype).float().numpy()
    expected, search = pair(6, 6, leaves=2)
    expected.run(lambda planes, mask: rounded(planes))
    search.run_in_place(torch_answers(torch, net, dtype, transpose))
    np.testing.assert_array_equal(search.visits(), expected.visits())


def test_returned_arrays_are_read_without_numpy_conversion(monkeypatch):
    torch = pytest.importorskip("torch")
    net = planes_net(5, 5, seed=8)
    expected, search = pair(5, 5, leaves=2)
    expected.run(lambda planes, mask: net(planes))
    answers = [returned_numpy_variants(net), torch_answers(torch, net, torch.float32, True)]

    in_network = False

    def only_in_network(convert):
        def wrapped(*args, **kwargs):
            assert in_network, "converted by NumPy"
            return convert(*args, **kwargs)
        return wrapped
    monkeypatch.setattr(np, "asarray", only_in_network(np.asarray))
    monkeypatch.setattr(np, "ascontiguousarray", only_in_network(np.ascontiguousarray))
    calls = 0

    def alternating(planes, logits, values):
        nonlocal calls, in_network
        calls += 1
        in_network = True      # the network itself may use NumPy
        try:
            return answers[calls % 2](planes, logits, values)
        finally:
            in_network = False
    search.run_in_place(alternating)
    monkeypatch.undo()
    np.testing.assert_array_equal(search.visits(), expected.visits())


def test_jax_arrays_are_read_in_place():
    jnp = pytest.importorskip("jax.numpy")
    net = planes_net(5, 6, seed=1)
    expected, search = pair(5, 6)
    expected.run(lambda planes, mask: net(planes))
    search.run_in_place(lambda planes, logits, values: tuple(jnp.asarray(a) for a in net(planes)))
    np.testing.assert_array_equal(search.visits(), expected.visits())


BAD = [  # (what evaluate does once it has written good answers, exception, words of the message)
    (lambda p, lg, v: (lg[:, :5], v), ValueError, "logits must have shape"),
    (lambda p, lg, v: (lg, np.zeros((len(p), 2), np.float32)), ValueError, "values must have shape"),
    (lambda p, lg, v: (lg.astype(np.complex64), v), TypeError, "real numbers, got dtype complex64"),
    (lambda p, lg, v: lg.fill(np.nan), ValueError, "of a legal action must be finite, got nan"),
    (lambda p, lg, v: v.fill(1.5), ValueError, "must be within [-1, 1], got 1.5"),
    (lambda p, lg, v: v.fill(np.nan), ValueError, "evaluate must write every row's value"),
    (lambda p, lg, v: (lg, v, v), TypeError, "got a sequence of 3"),
    (lambda p, lg, v: "logits", TypeError, "or return (logits, values); got str"),
    (lambda p, lg, v: 1 / 0, ZeroDivisionError, "division"),
    (lambda p, lg, v: (_ for _ in ()).throw(KeyboardInterrupt), KeyboardInterrupt, None),
]


@pytest.mark.parametrize("bad,error,words", BAD)
def test_bad_answers_and_errors_leave_the_search_usable(bad, error, words):
    net = planes_net(6, 6, seed=3)
    calls = 0

    def sometimes_bad(planes, logits, values):
        nonlocal calls
        calls += 1
        written(net)(planes, logits, values)
        return bad(planes, logits, values) if calls == 3 else None
    expected, search = pair(6, 6, leaves=2)
    expected.run(lambda planes, mask: net(planes))
    with pytest.raises(error, match=words and re.escape(words)):
        search.run_in_place(sometimes_bad)
    assert search.pending == 0
    search.run_in_place(sometimes_bad)    # goes on from where it stopped, as if never refused
    np.testing.assert_array_equal(search.visits(), expected.visits())


def test_refused_arguments():
    _, search = pair(4, 4)
    with pytest.raises(TypeError, match="evaluate must be callable"):
        search.run_in_place(None)
    with pytest.raises(ValueError, match="rounds must be at least 1"):
        search.run_in_place(lambda *a: None, rounds=0)
    with pytest.raises(TypeError, match="packed must be a bool"):
        search.run_in_place(lambda *a: None, packed=1)
    planes = np.zeros((3, 105, 4, 4), np.float32)
    search.select(planes)
    with pytest.raises(ValueError, match="while a select"):
        search.run_in_place(lambda *a: None)


@pytest.mark.parametrize("limit", [None, "nodes"])
def test_the_play_loop_searches_as_run(limit):
    from murkle_rl.zero.play import Limit, run

    net = planes_net(6, 6, seed=6)
    expected, search = pair(6, 6, n=2, simulations=30)
    expected.run(lambda planes, mask: net(planes))
    progress = run(search, net, Limit(nodes=10**6) if limit else None)   # a limit: one round per call
    np.testing.assert_array_equal(search.visits(), expected.visits())
    assert progress.complete and progress.simulations > 0 and progress.rounds > 3


# ----------------------------------------------------------------- rows kept from round to round

CASTLING = "r3k2r/pppq1ppp/2n2n2/3pp3/1b1PP1b1/2N2N2/PPPQ1PPP/R3K2R w KQkq - 0 1"
EN_PASSANT = "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3"
PROMOTIONS = "8/1P4k1/8/8/8/8/6p1/K7 w - - 0 1"
SHUFFLING = "k7/8/8/8/8/8/R7/K7 w - - 90 60"   # a rook's moves soon repeat positions
MATED = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"   # no leaf: later rows move up
NETWORK_PLANES = list(range(12)) + list(range(96, 105))


def scribble(planes):
    """Writes into the planes through a writable alias of their memory, as a caller breaking
    the read-only contract (or a crash half-way through such a write) would."""
    import ctypes
    alias = np.ctypeslib.as_array(ctypes.cast(planes.ctypes.data, ctypes.POINTER(ctypes.c_float)), planes.shape)
    alias[...] = 7.0


def lockstep(make_batch, leaves, simulations=30, searches=3, between=None, fail_round=None):
    """Runs run_in_place a round at a time beside select() on an equal batch, the same network
    answering both, and checks that every round hands evaluate the very planes select() writes
    afresh. between(batch, search_index, round) may change both batches between rounds;
    fail_round: the round (counted over all searches) whose evaluate scribbles and raises."""
    batches = make_batch(), make_batch()
    _, h, w = batches[0].planes().shape[1:]
    net = planes_net(w, h, seed=h * w)
    rounds = 0

    def reference(planes):   # FakeNet's weights cover the 105 planes: pad a selection
        full = np.zeros((len(planes), 105, h, w), np.float32)
        full[:, : planes.shape[1]] = planes
        return net(full)
    mine, theirs = (rl.Search(b, simulations, seed=9, leaves_per_round=leaves, dirichlet_alpha=0.3) for b in batches)
    buffer = np.full((len(batches[0]) * leaves, len(batches[0].plane_indices), h, w), -1.0, np.float32)
    for search_index in range(searches):
        while True:
            seen = []

            def evaluate(planes, logits, values):
                assert not planes.flags.writeable
                seen.append(planes.copy())
                if rounds == fail_round:
                    scribble(planes)
                    raise KeyError("evaluate failed")
                logits[:], values[:] = reference(planes)
            try:
                k = mine.run_in_place(evaluate, rounds=1)
            except KeyError:
                rounds += 1
                continue   # the round's leaves were dropped: the next round hands them out again
            expected = theirs.select(buffer)
            assert k == expected
            if not k:
                break
            np.testing.assert_array_equal(seen[0], buffer[:k], err_msg=f"search {search_index}, round {rounds}")
            theirs.expand(*reference(buffer[:k]))
            rounds += 1
            if between:
                between(batches, search_index, rounds)
        np.testing.assert_array_equal(mine.visits(), theirs.visits())
        actions = theirs.choose(0)
        mine.step(actions)
        theirs.step(actions)
    return rounds


@pytest.mark.parametrize("fens,size,kw,leaves", [
    ([CASTLING, EN_PASSANT, PROMOTIONS, SHUFFLING], 8, {}, 1),
    ([CASTLING, MATED, EN_PASSANT, PROMOTIONS, SHUFFLING], 8, {"repetitions": True}, 3),   # rows move up
    ([SHUFFLING, PROMOTIONS, MATED, CASTLING], 8, {"planes": NETWORK_PLANES + [105, 117, 124]}, 2),
    (None, 6, {"max_plies": 6}, 2),           # games end mid-search and restart
    (None, 5, {"planes": [98, 0, 60, 97, 104, 6]}, 4),
])
def test_every_round_hands_out_the_planes_select_writes(fens, size, kw, leaves):
    def make():
        return rl.GameBatch(len(fens) if fens else 3, size, size, fen=fens, threads=2, seed=4, **kw)
    assert lockstep(make, leaves) > 20


def test_rows_follow_games_changed_between_rounds():
    def change(batches, search_index, rounds):   # a few times only: a reset tree starts over
        for b in batches:
            if rounds in (3, 10, 24):
                b.reset([rounds % len(b)])
            if rounds in (5, 16):
                b.set_game(1, b.game(2))
    assert lockstep(lambda: rl.GameBatch(3, 6, 6, threads=1, seed=2), 2, between=change) > 20


@pytest.mark.parametrize("fail_round", [0, 1, 5])
def test_a_failed_round_leaves_no_row_behind(fail_round):
    lockstep(lambda: rl.GameBatch(3, 6, 6, threads=1, seed=2, repetitions=True), 2, fail_round=fail_round)


def test_a_new_search_rewrites_rows_written_behind_its_back():
    batch = rl.GameBatch(2, 6, 6, threads=1, seed=2)
    search = rl.Search(batch, 10, seed=1)
    kept = []
    search.run_in_place(lambda planes, logits, values: kept.append(planes) or values.fill(0))
    scribble(kept[0])   # after the search: the next one must not trust the rows
    batch.reset()       # fresh trees: the next round hands out the roots
    firsts = []

    def evaluate(planes, logits, values):
        firsts.append(planes.copy())
        values.fill(0)
    search.run_in_place(evaluate, rounds=1)
    np.testing.assert_array_equal(firsts[0], batch.planes()[: len(firsts[0])])


def test_the_planes_cannot_be_made_writeable():
    _, search = pair(4, 4)

    def evaluate(planes, logits, values):
        with pytest.raises(ValueError, match="WRITEABLE"):
            planes.flags.writeable = True
        values.fill(0)
    search.run_in_place(evaluate, rounds=2)
