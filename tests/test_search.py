"""murkle_rl.Search against search_reference, a tree search in pure Python that follows
docs/search.md: the same visit counts for the same network, and the properties a trainer
relies on (visit totals, policy targets, mates, terminal leaves, tree reuse, seeds, refusals)."""
import _thread
import threading
import time

import numpy as np
import pytest

import murkle_chess as mc
import murkle_rl as rl
import search_reference as ref
from chess_util import STANDARD_FEN, fen, placement

ITALIAN = "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4"
FOOLS_MATE = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"  # White is mated
# Few root moves, so that spaced root logits decide every Gumbel choice there.
THREE_MOVES_8X8 = "7k/8/8/8/8/p7/P7/K6N w - - 0 1"        # Kb1, Nf2, Ng3


class FakeNet:
    """A deterministic stand-in for a network: logits and values are a fixed function of the
    planes and the mask, computed row by row in integer arithmetic up to a few elementwise
    float steps, so that no batch size or memory layout can change a bit of the result."""

    FEATURES = 6

    def __init__(self, width, height, seed=0):
        rng = np.random.default_rng(seed)
        area = width * height
        self.num_actions = (8 * max(width, height) + 18) * area
        self.plane_weights = rng.integers(-3, 4, size=(105 * area, self.FEATURES))
        self.mask_weights = rng.integers(-3, 4, size=(self.num_actions, self.FEATURES))
        self.logit_weights = rng.standard_normal((self.FEATURES, self.num_actions)) * 0.5
        self.value_weights = rng.standard_normal(self.FEATURES) * 0.2
        self.rows = 0

    def features(self, planes, mask):
        x = np.rint(planes.reshape(-1).astype(np.float64) * 100).astype(np.int64)
        return (x @ self.plane_weights + mask.reshape(-1).astype(np.int64) @ self.mask_weights) / 2000.0

    def __call__(self, planes, mask):
        k = len(planes)
        logits = np.empty((k, self.num_actions), np.float32)
        values = np.empty(k, np.float32)
        for i in range(k):
            f = self.features(planes[i], mask[i])
            acc = np.zeros(self.num_actions)
            v = 0.0
            for j in range(self.FEATURES):
                acc += self.logit_weights[j] * f[j]
                v += float(self.value_weights[j]) * float(f[j])
            logits[i] = acc
            values[i] = np.tanh(v)
        self.rows += k
        return logits, values


class RootSpread:
    """Wraps a network: at the given root position the logits of its legal moves are spread
    40 apart (in `order`), far more than Gumbel samples and sigma(q) can bridge, so every choice
    at the root is the same whatever the samples are."""

    def __init__(self, net, game, order):
        self.net = net
        self.planes = ref.game_planes(game)
        actions = [ref.full_action(game, m) for m in game.legal_moves()]
        self.actions = [actions[i] for i in order]

    def __call__(self, planes, mask):
        logits, values = self.net(planes, mask)
        for i in range(len(planes)):
            if np.array_equal(planes[i], self.planes):
                logits[i, self.actions] = -40.0 * np.arange(len(self.actions))
        return logits, values


def buffers(batch, leaves=1):
    rows = batch.n * leaves
    planes = np.zeros((rows, 105, batch.height, batch.width), np.float32)
    mask = np.zeros((rows, batch.action_planes, batch.height, batch.width), bool)
    return planes, mask


def drive(search, batch, net, how="manual", leaves=1):
    """Runs a search to its end, by run(net) or by select/expand; returns the rows handed over."""
    if how == "run":
        rows = []

        def evaluate(planes, mask):
            rows.append(len(planes))
            return net(planes, mask)

        search.run(evaluate)
        return rows
    planes, mask = buffers(batch, leaves)
    rows = []
    while k := search.select(planes, mask):
        rows.append(k)
        search.expand(*net(planes[:k], mask[:k]))
    return rows


def reference_trees(batch, simulations, net, **kwargs):
    return [ref.Tree(batch.game(i), simulations, max_plies=batch.max_plies, evaluate=net, **kwargs).search()
            for i in range(batch.n)]


def legal_mask(batch):
    return batch.legal_mask().reshape(batch.n, -1)


def rook_mate_fen(width, height, turn="w"):
    """A bare king in a top corner (White to move) or a bottom corner (Black to move), held by
    the other king two rows away; the rook in the far corner mates along the king's edge row."""
    top, far = height - 1, width - 1
    if turn == "w":
        pieces = {(0, top): "k", (0, top - 2): "K", (far, 0): "R"}
    else:
        pieces = {(0, 0): "K", (0, 2): "k", (far, top): "r"}
    return fen(placement(width, height, pieces), turn)


def mating_actions(game):
    mates = set()
    for move in game.legal_moves():
        g = game.clone()
        g.make_move(move)
        if g.is_checkmate():
            mates.add(ref.full_action(game, move))
    return mates


# ----- the reference on its own ----------------------------------------------------------------

def test_reference_finds_mates_and_counts_simulations():
    for width, height, turn in [(8, 8, "w"), (5, 7, "b"), (3, 4, "w")]:
        game = mc.Game(width, height, rook_mate_fen(width, height, turn), False)
        tree = ref.Tree(game, 120).search()
        visits = tree.visits()
        assert visits.sum() == 120 and tree.root.n == 121
        assert int(visits.argmax()) in mating_actions(game)
        assert tree.root_value() > 0.3
    table = ref.considered_visits(4, 16)
    assert table == (0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5)


# ----- exact agreement with the reference ----------------------------------------------------

EXACT = [  # (width, height, fens or None for the start or "random", simulations, driver)
    (8, 8, [STANDARD_FEN, ITALIAN], 40, "run"),
    (8, 8, [STANDARD_FEN, ITALIAN], 40, "manual"),
    (6, 6, None, 64, "manual"),
    (5, 7, None, 64, "run"),
    (3, 4, None, 64, "manual"),
    (7, 5, "random", 48, "run"),
    (12, 12, None, 10, "manual"),
]
EXACT_SLOW = [
    (8, 8, [STANDARD_FEN, ITALIAN, FOOLS_MATE], 300, "manual"),
    (6, 6, "random", 400, "run"),
    (4, 5, "random", 600, "manual"),
    (9, 7, "random", 200, "run"),
    (16, 16, None, 40, "manual"),
]


def exact_batch(width, height, fens):
    if fens == "random":
        batch = rl.GameBatch(3, width, height, seed=5, threads=1, max_plies=60)
        batch.play_random(9)
        return batch
    return rl.GameBatch(len(fens) if fens else 1, width, height, fen=fens, threads=1)


def exact_ids(cases):
    return [f"{w}x{h}-{s}-{how}" for w, h, _, s, how in cases]


@pytest.mark.parametrize("width,height,fens,simulations,how",
                         EXACT + [pytest.param(*case, marks=pytest.mark.slow) for case in EXACT_SLOW],
                         ids=exact_ids(EXACT + EXACT_SLOW))
def test_puct_visits_equal_reference(width, height, fens, simulations, how):
    batch = exact_batch(width, height, fens)
    net = FakeNet(width, height, seed=width * 31 + height)
    kw = dict(c_puct=2.5 if width == 6 else 1.25, fpu_reduction=0.3 if height % 2 else 0.0,
              forced_playouts=2.0 if how == "run" else 0.0)
    search = rl.Search(batch, simulations, seed=0, **kw)
    rows = drive(search, batch, net, how)
    trees = reference_trees(batch, simulations, net, **kw)
    visits = search.visits()
    policy = search.policy()
    for i, tree in enumerate(trees):
        np.testing.assert_array_equal(visits[i], tree.visits(), err_msg=f"game {i}")
        np.testing.assert_allclose(policy[i], tree.policy(), rtol=1e-6, atol=1e-7)
        assert search.root_values()[i] == pytest.approx(tree.root_value(), abs=1e-6)
    assert sum(rows) == sum(t.evaluations for t in trees)   # only new, unfinished leaves


def test_uniform_search_equals_reference():
    batch = rl.GameBatch(2, 6, 6, fen=[rl.start_fen(6, 6), rook_mate_fen(6, 6)], threads=1)
    search = rl.Search(batch, 100, seed=0)
    search.run()
    for i in range(2):
        np.testing.assert_array_equal(search.visits()[i], ref.Tree(batch.game(i), 100).search().visits())


def three_move_root(width, height):
    """A position with three legal moves on width x height: White Ka1 walled in by its a2 pawn
    (blocked, and b2 covered by the a3 pawn), a knight in the bottom-right corner."""
    if (width, height) == (8, 8):
        return THREE_MOVES_8X8
    pieces = {(0, 0): "K", (0, 1): "P", (0, 2): "p", (width - 1, 0): "N", (width - 1, height - 1): "k"}
    return fen(placement(width, height, pieces))


GUMBEL = [(8, 8, 24, 4), (6, 6, 32, 16), (5, 7, 16, 2), (4, 6, 8, 4)]


@pytest.mark.parametrize("how", ["run", "manual"])
@pytest.mark.parametrize("width,height,simulations,max_considered", GUMBEL,
                         ids=[f"{w}x{h}-{s}-{m}" for w, h, s, m in GUMBEL])
def test_gumbel_visits_equal_reference(width, height, simulations, max_considered, how):
    start = three_move_root(width, height)
    game = mc.Game(width, height, start, False)
    assert len(game.legal_moves()) == 3
    batch = rl.GameBatch(1, width, height, fen=start, castling=False, threads=1)
    net = RootSpread(FakeNet(width, height, seed=7), game, order=[2, 0, 1])
    search = rl.Search(batch, simulations, gumbel=True, max_considered=max_considered, seed=3)
    drive(search, batch, net, how)
    tree = ref.Tree(game, simulations, gumbel=True, max_considered=max_considered, evaluate=net).search()
    np.testing.assert_array_equal(search.visits()[0], tree.visits())
    np.testing.assert_allclose(search.policy()[0], tree.policy(), rtol=1e-5, atol=1e-7)
    assert search.root_values()[0] == pytest.approx(tree.root_value(), abs=1e-6)
    assert search.choose(0)[0] == tree.choose()


@pytest.mark.parametrize("width,height,simulations,max_considered",
                         [(8, 8, 32, 16), (6, 6, 30, 8), (5, 7, 17, 4), (9, 9, 24, 5), (3, 4, 12, 16)])
def test_gumbel_halving_shapes_root_visits(width, height, simulations, max_considered):
    """Whatever the samples, sequential halving fixes the multiset of root visit counts."""
    batch = rl.GameBatch(2, width, height, seed=width, threads=1)
    batch.play_random(2)
    net = FakeNet(width, height, seed=1)
    search = rl.Search(batch, simulations, gumbel=True, max_considered=max_considered, seed=11)
    search.run(net)
    rng = np.random.default_rng(0)
    mask = legal_mask(batch)
    for i in range(batch.n):
        tree = ref.Tree(batch.game(i), simulations, gumbel=True, max_considered=max_considered, evaluate=net,
                        gumbel_noise=lambda count: rng.gumbel(size=count)).search()
        visits = search.visits()[i]
        assert sorted(visits[visits > 0]) == sorted(tree.visits()[tree.visits() > 0])
        policy = search.policy()[i]
        assert policy.sum() == pytest.approx(1.0, abs=1e-5)
        assert (policy[~mask[i]] == 0).all() and (policy[mask[i]] > 0).all()
        assert visits[search.choose(0)[i]] == visits.max()


# ----- properties on many sizes ----------------------------------------------------------------

SIZES = [(8, 8), (6, 6), (5, 7), (7, 5), (3, 4), (4, 3), (2, 6), (9, 9), (12, 10), (16, 16)]


@pytest.mark.parametrize("gumbel", [False, True])
@pytest.mark.parametrize("width,height", SIZES, ids=[f"{w}x{h}" for w, h in SIZES])
def test_visit_totals_and_policy_targets(width, height, gumbel):
    batch = rl.GameBatch(3, width, height, seed=width * height, threads=1, max_plies=30)
    batch.play_random(3)
    simulations = 50
    search = rl.Search(batch, simulations, gumbel=gumbel, dirichlet_alpha=None if gumbel else 0.3, seed=1)
    search.run()
    mask = legal_mask(batch)
    visits, policy = search.visits(), search.policy()
    assert visits.dtype == np.int32 and policy.dtype == np.float32
    assert visits.shape == policy.shape == (batch.n, batch.num_actions)
    for i in range(batch.n):
        assert visits[i].sum() == simulations
        assert (visits[i][~mask[i]] == 0).all() and (policy[i][~mask[i]] == 0).all()
        assert policy[i].sum() == pytest.approx(1.0, abs=1e-5)
        assert mask[i][search.choose(0)[i]]
    assert ((-1 <= search.root_values()) & (search.root_values() <= 1)).all()
    out = np.full_like(policy, 7.0)
    assert search.policy(out=out) is out
    np.testing.assert_array_equal(out, policy)


MATES = [(8, 8, "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"), (8, 8, "r5k1/8/8/8/8/8/5PPP/6K1 b - - 0 1"),
         (5, 7, None), (7, 5, None), (3, 4, None), (9, 9, None), (11, 6, None), (4, 13, None), (16, 16, None)]


@pytest.mark.parametrize("width,height,start", MATES, ids=[f"{w}x{h}" for w, h, _ in MATES])
def test_mate_in_one_found_with_uniform_priors(width, height, start):
    fens = [start] if start else [rook_mate_fen(width, height, "w"), rook_mate_fen(width, height, "b")]
    batch = rl.GameBatch(len(fens), width, height, fen=fens, threads=1)
    search = rl.Search(batch, 300, seed=0)
    search.run()
    visits = search.visits()
    for i, f in enumerate(fens):
        game = mc.Game(width, height, f, (width, height) == (8, 8))
        mates = mating_actions(game)
        assert mates, f
        assert int(visits[i].argmax()) in mates and search.choose(0)[i] in mates
        assert search.root_values()[i] > 0.3


def test_terminal_leaves_never_reach_the_network():
    # A mate in one, a position a clock tick from the 150-ply draw, a capture into bare kings,
    # and a ply cap two moves ahead: most leaves here are over.
    width = height = 6
    fens = [rook_mate_fen(6, 6), fen(placement(6, 6, {(0, 0): "K", (5, 5): "k", (2, 3): "Q", (4, 1): "P"}),
                                     halfmove=149),
            fen(placement(6, 6, {(0, 0): "K", (1, 1): "N", (2, 3): "p", (5, 5): "k"})),
            rl.start_fen(6, 6)]
    batch = rl.GameBatch(len(fens), width, height, fen=fens, threads=1, max_plies=2)
    net = FakeNet(width, height, seed=2)
    seen = []

    def evaluate(planes, mask):
        for p, m in zip(planes, mask):
            assert m.any() and p[104, 0, 0] * 50 < 150
            seen.append((p.copy(), m.copy()))
        return net(planes, mask)

    search = rl.Search(batch, 60, seed=0)
    search.run(evaluate)
    trees = reference_trees(batch, 60, net)
    assert len(seen) == sum(t.evaluations for t in trees)
    for i, tree in enumerate(trees):
        np.testing.assert_array_equal(search.visits()[i], tree.visits())
    expected = [(p.tobytes(), m.tobytes()) for t in trees for p, m in t.evaluated]
    assert sorted(p.tobytes() + m.tobytes() for p, m in seen) == sorted(p + m for p, m in expected)


def test_tree_reuse_equals_search_from_kept_subtree():
    batch = rl.GameBatch(2, 6, 6, fen=[rl.start_fen(6, 6), rook_mate_fen(6, 6, "b")], threads=1, max_plies=40)
    net = FakeNet(6, 6, seed=4)
    simulations = 30
    search = rl.Search(batch, simulations, seed=0)
    trees = [ref.Tree(batch.game(i), simulations, max_plies=40, evaluate=net) for i in range(2)]
    kept = [0, 0]      # the visits below the kept child's own evaluation
    for move in range(3):
        drive(search, batch, net, "manual")
        for i, tree in enumerate(trees):
            tree.search()
            assert search.visits()[i].sum() == (kept[i] + simulations if tree.searched() else 0)
            np.testing.assert_array_equal(search.visits()[i], tree.visits(), err_msg=f"move {move} game {i}")
        actions = search.choose(0)
        assert list(actions) == [t.choose() for t in trees]
        before = search.visits()
        rewards, done, _ = search.step(actions)
        for i, tree in enumerate(trees):
            if actions[i] >= 0:
                kept[i] = before[i][actions[i]] - 1
                assert tree.step(actions[i]).root.n == before[i][actions[i]]
            else:   # the game restarts: a fresh tree
                kept[i] = 0
                trees[i] = ref.Tree(batch.game(i), simulations, max_plies=40, evaluate=net)
        if move == 0:
            assert done[1] and rewards[1] == -1.0   # Black mated at once
    assert batch.fens()[0] == trees[0].game.to_fen()


@pytest.mark.threads
@pytest.mark.parametrize("kwargs", [dict(dirichlet_alpha=0.3), dict(gumbel=True, max_considered=8),
                                    dict(dirichlet_alpha=0.5, leaves_per_round=4)], ids=["dirichlet", "gumbel", "leaves"])
def test_same_seed_same_policy_on_any_threads(kwargs):
    results = []
    for threads in (1, 2):
        batch = rl.GameBatch(6, 6, 6, seed=3, threads=threads)
        batch.play_random(4)
        net = FakeNet(6, 6, seed=5)
        search = rl.Search(batch, 40, seed=9, **kwargs)
        out = []
        for _ in range(2):
            search.run(net)
            out.append((search.policy(), search.visits(), search.choose(1.0)))
            search.step(search.choose(0))
        results.append(out)
    for (p1, v1, c1), (p2, v2, c2) in zip(*results):
        np.testing.assert_array_equal(p1, p2)
        np.testing.assert_array_equal(v1, v2)
        np.testing.assert_array_equal(c1, c2)
    batch = rl.GameBatch(6, 6, 6, seed=3, threads=1)
    batch.play_random(4)
    other = rl.Search(batch, 40, seed=10, **kwargs)
    other.run(FakeNet(6, 6, seed=5))
    assert not np.array_equal(other.policy(), results[0][0][0])   # the seed reaches the noise


@pytest.mark.parametrize("change", ["batch.step", "set_game", "reset"])
def test_game_changed_behind_the_search_gets_a_fresh_tree(change):
    batch = rl.GameBatch(1, 6, 6, threads=1, max_plies=50)
    net = FakeNet(6, 6, seed=6)
    search = rl.Search(batch, 20, seed=0)
    drive(search, batch, net)
    search.step(search.choose(0))
    drive(search, batch, net)
    if change == "batch.step":
        batch.step(search.choose(0))
    elif change == "set_game":
        g = batch.game(0)
        g.make_move(g.legal_moves()[-1])
        batch.set_game(0, g)
    else:
        batch.reset()
    drive(search, batch, net)
    tree = ref.Tree(batch.game(0), 20, max_plies=50, evaluate=net).search()
    np.testing.assert_array_equal(search.visits()[0], tree.visits())


def test_finished_search_does_not_search_again():
    batch = rl.GameBatch(2, 5, 7, threads=1)
    search = rl.Search(batch, 25, seed=0)
    search.run()
    visits = search.visits()
    planes, mask = buffers(batch)
    assert search.select(planes, mask) == 0
    search.run()
    np.testing.assert_array_equal(search.visits(), visits)


# ----- refusals --------------------------------------------------------------------------------

def test_bad_input_is_refused_and_changes_nothing():
    width, height = 5, 6
    net = FakeNet(width, height, seed=8)

    def fresh():
        batch = rl.GameBatch(2, width, height, seed=8, threads=1)
        return batch, rl.Search(batch, 12, seed=0)

    batch, search = fresh()
    planes, mask = buffers(batch)
    refused = (ValueError, TypeError)
    with pytest.raises(refused):
        search.expand(np.zeros((1, batch.num_actions), np.float32), np.zeros(1, np.float32))   # nothing pending
    for bad_planes, bad_mask in [(planes[:1], mask), (planes, mask[:1]), (planes.astype(np.float64), mask),
                                 (planes, mask.astype(np.uint8)), (planes[:, :104], mask), (planes, mask[:, 1:]),
                                 (planes[..., ::-1], mask)]:
        with pytest.raises(refused):
            search.select(bad_planes, bad_mask)
    rounds = 0
    while k := search.select(planes, mask):
        with pytest.raises(refused):
            search.select(planes, mask)                      # select twice
        logits, values = net(planes[:k], mask[:k])
        legal = np.flatnonzero(mask[0].reshape(-1))[0]
        nan_at_legal, inf_at_legal = logits.copy(), logits.copy()
        nan_at_legal[0, legal] = np.nan
        inf_at_legal[0, legal] = -np.inf
        too_big, nan_value = values.copy(), values.copy()
        too_big[-1] = 1.0001
        nan_value[0] = np.nan
        for bad_logits, bad_values in [(logits[:-1], values), (logits, values[:-1]), (logits[:, :-1], values),
                                       (logits.astype(np.complex64), values), (logits.astype(object), values), ([["x"] * logits.shape[1]] * k, values),
                                       (nan_at_legal, values), (inf_at_legal, values), (logits, too_big),
                                       (logits, -too_big), (logits, nan_value)]:
            with pytest.raises(refused):
                search.expand(bad_logits, bad_values)
        # Illegal entries are ignored, whatever they hold.
        logits[~mask[:k].reshape(k, -1)] = np.nan if rounds % 2 else np.inf
        search.expand(logits, values)
        rounds += 1
    calm_batch, calm = fresh()
    drive(calm, calm_batch, net)
    np.testing.assert_array_equal(search.visits(), calm.visits())
    np.testing.assert_array_equal(search.root_values(), calm.root_values())


def test_bad_construction_and_actions():
    batch = rl.GameBatch(2, 6, 6, threads=1)
    for kwargs in [dict(simulations=4, leaves_per_round=0), dict(simulations=4, dirichlet_alpha=0.0), dict(simulations=4, dirichlet_fraction=1.5),
                   dict(simulations=4, gumbel=True, max_considered=0), dict(simulations=4, fpu_reduction=-0.1),
                   dict(simulations=4, forced_playouts=-1.0)]:
        with pytest.raises((ValueError, TypeError)):
            rl.Search(batch, **kwargs)
    search = rl.Search(batch, 8, seed=0)
    search.run()
    visits = search.visits()
    for actions in [np.zeros(3, np.int64), np.full(2, batch.num_actions), np.full(2, -5)]:
        with pytest.raises(ValueError):
            search.step(actions)
    with pytest.raises(ValueError):
        search.choose(-1.0)
    np.testing.assert_array_equal(search.visits(), visits)
    assert batch.fens() == [rl.start_fen(6, 6)] * 2


# ----- choosing, finished games, several leaves -----------------------------------------------

def test_choose():
    batch = rl.GameBatch(3, 6, 6, fen=[rl.start_fen(6, 6), rook_mate_fen(6, 6), rook_mate_fen(6, 6, "b")], threads=1)
    search = rl.Search(batch, 60, seed=2)
    search.run(FakeNet(6, 6, seed=9))
    visits = search.visits()
    best = search.choose(0)
    assert best.dtype == np.int64
    for i in range(3):
        assert best[i] == np.flatnonzero(visits[i] == visits[i].max())[0]
    mask = legal_mask(batch)
    picked = set()
    for _ in range(30):
        actions = search.choose(1.0)
        assert all(mask[i][a] and visits[i][a] > 0 for i, a in enumerate(actions))
        picked.add(int(actions[0]))
    assert len(picked) > 1                       # it samples
    np.testing.assert_array_equal(search.choose(1e-4), best)


def test_games_without_action_are_not_searched():
    batch = rl.GameBatch(2, 8, 8, fen=[FOOLS_MATE, "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"], threads=1)
    search = rl.Search(batch, 40, seed=0)
    search.run()
    assert search.visits()[0].sum() == 0 and search.policy()[0].sum() == 0
    assert search.root_values()[0] == 0 and search.choose(0)[0] == -1 and search.choose(1.0)[0] == -1
    rewards, done, _ = search.step(search.choose(0))
    assert list(done) == [True, True] and list(rewards) == [-1.0, 1.0]
    search.run()                                 # both games restart at the next step
    assert (search.visits() == 0).all() and list(search.choose(0)) == [-1, -1]
    search.step(search.choose(0))
    assert batch.fens() == [FOOLS_MATE, "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"]
    search.run()
    assert search.visits()[0].sum() == 0 and search.visits()[1].sum() == 40
    # Drawn before a move: bare kings, and the 150-ply clock run out.
    drawn = rl.GameBatch(2, 6, 6, fen=["5k/6/6/6/6/K5 w - - 0 1", "5k/6/6/6/4P1/K5 w - - 150 80"], threads=1)
    search = rl.Search(drawn, 10, seed=0)
    search.run()
    assert (search.visits() == 0).all() and list(search.choose(0)) == [-1, -1]


@pytest.mark.parametrize("width,height,leaves", [(8, 8, 4), (5, 7, 3), (3, 4, 8), (12, 10, 2)])
def test_several_leaves_per_round(width, height, leaves):
    batch = rl.GameBatch(3, width, height, seed=width + height, threads=1)
    batch.play_random(4)
    assert len(set(batch.fens())) == 3               # so that rows of different trees differ
    simulations = 40
    search = rl.Search(batch, simulations, leaves_per_round=leaves, seed=0)
    planes, mask = buffers(batch, leaves)
    # A search asked for no masks hands over the same leaves and planes.
    bare, bare_planes = rl.Search(batch, simulations, leaves_per_round=leaves, seed=0), planes.copy()
    net = FakeNet(width, height, seed=3)
    seen = set()
    rounds = 0
    while k := search.select(planes, mask):
        assert 1 <= k <= batch.n * leaves
        for p, m in zip(planes[:k], mask[:k]):
            assert m.any()
            row = p.tobytes() + m.tobytes()
            assert row not in seen                   # distinct leaves, each handed over once
            seen.add(row)
        assert bare.select(bare_planes) == k
        np.testing.assert_array_equal(bare_planes[:k], planes[:k])
        answer = net(planes[:k], mask[:k])
        search.expand(*answer)
        bare.expand(*answer)
        rounds += 1
    assert (search.visits().sum(axis=1) == simulations).all()
    assert bare.select(bare_planes) == 0
    np.testing.assert_array_equal(bare.visits(), search.visits())
    assert rounds < simulations + 1                  # several leaves were taken per round
    uniform = rl.Search(batch, simulations, leaves_per_round=leaves, seed=0)
    uniform.run()
    assert (uniform.visits().sum(axis=1) == simulations).all()


LEAVES = [(8, 8, 4, 40, False), (5, 7, 3, 30, False), (3, 4, 8, 40, False), (6, 6, 16, 64, False),
          (8, 8, 4, 24, True), (5, 7, 3, 16, True)]


@pytest.mark.parametrize("width,height,leaves,simulations,gumbel", LEAVES,
                         ids=[f"{w}x{h}-{L}{'-gumbel' if g else ''}" for w, h, L, _, g in LEAVES])
def test_several_leaves_equal_reference(width, height, leaves, simulations, gumbel):
    if gumbel:
        start = three_move_root(width, height)
        game = mc.Game(width, height, start, False)
        batch = rl.GameBatch(1, width, height, fen=start, castling=False, threads=1)
        net = RootSpread(FakeNet(width, height, seed=leaves), game, order=[1, 2, 0])
    else:
        batch = rl.GameBatch(1, width, height, seed=leaves, threads=1)
        batch.play_random(2)
        net = FakeNet(width, height, seed=leaves)
    kwargs = dict(leaves_per_round=leaves, gumbel=gumbel, max_considered=4)
    search = rl.Search(batch, simulations, seed=0, **kwargs)
    rows = drive(search, batch, net, "manual", leaves)
    tree = ref.Tree(batch.game(0), simulations, evaluate=net, **kwargs).search()
    assert rows == [1] + [k for k in tree.rounds if k]
    np.testing.assert_array_equal(search.visits()[0], tree.visits())
    assert search.root_values()[0] == pytest.approx(tree.root_value(), abs=1e-6)


# ----- interrupts ------------------------------------------------------------------------------

def test_keyboard_interrupt_in_evaluate_leaves_search_usable():
    batch = rl.GameBatch(2, 6, 6, seed=1, threads=1)
    net = FakeNet(6, 6, seed=1)
    calls = 0

    def interrupted(planes, mask):
        nonlocal calls
        calls += 1
        if calls == 4:
            raise KeyboardInterrupt
        return net(planes, mask)

    search = rl.Search(batch, 20, seed=0)
    with pytest.raises(KeyboardInterrupt):
        search.run(interrupted)
    search.run(net)
    calm = rl.Search(rl.GameBatch(2, 6, 6, seed=1, threads=1), 20, seed=0)
    calm.run(net)
    np.testing.assert_array_equal(search.visits(), calm.visits())


def test_ctrl_c_stops_a_long_search_between_rounds():
    batch = rl.GameBatch(8, 5, 5, seed=1, threads=1)
    simulations = 100_000
    search = rl.Search(batch, simulations, seed=0)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    finished = False
    try:
        search.run()
        finished = True
        time.sleep(30)      # the interrupt lands here instead
    except KeyboardInterrupt:
        pass
    timer.join()
    if finished:
        pytest.skip("the search ended before the interrupt came")
    visits = search.visits().sum(axis=1)
    assert (visits < simulations).all()
    planes, mask = buffers(batch)   # still usable: the next round goes on from where it stopped
    k = search.select(planes, mask)
    assert 1 <= k <= batch.n
    search.expand(np.zeros((k, batch.num_actions), np.float32), np.zeros(k, np.float32))
    assert (search.visits().sum(axis=1) >= visits).all() and search.visits().sum() > visits.sum()


@pytest.mark.parametrize("repetitions", [False, True])
def test_threefold_repetition_ends_leaves_when_the_batch_counts_it(repetitions):
    # The knights have danced out and back twice; Black's Nf6-g8 would bring the start
    # position a third time.
    game = mc.Game(8, 8, STANDARD_FEN, True)
    for lan in ["g1f3", "g8f6", "f3g1", "f6g8", "g1f3", "g8f6", "f3g1"]:
        assert game.make_move(game.move_from_lan(lan))
    batch = rl.GameBatch(1, 8, 8, repetitions=repetitions, threads=1)
    batch.set_game(0, game)
    children = len(game.legal_moves())
    evaluated = []

    def evaluate(planes, mask):
        evaluated.extend(planes[:, 96, 0, 0].tolist())
        return np.zeros((len(planes), batch.num_actions), np.float32), np.zeros(len(planes), np.float32)

    search = rl.Search(batch, children, seed=0)   # uniform priors, value 0: each child once
    search.run(evaluate)
    assert search.visits().sum() == children and (search.visits()[0] <= 1).all()
    # The root, then every child but the repetition when it ends the game.
    assert len(evaluated) == 1 + children - repetitions
    # With repetitions counted, the root (seen once before) shows it in plane 96.
    assert evaluated[0] == float(repetitions)


# ----- kept subtrees, changing games, the Gumbel schedule, conversions ------------------------

def legal_at(batch, actions):
    mask = batch.legal_mask().reshape(batch.n, -1)
    return [a < 0 or bool(mask[i, a]) for i, a in enumerate(actions)]


@pytest.mark.parametrize("fen, n", [("kqrr4/8/8/8/8/8/8/7K w - - 0 1", 1), (None, 4)])
def test_results_after_step_describe_the_kept_subtree(fen, n):
    size = 8 if fen else 6
    batch = rl.GameBatch(n, size, size, fen=fen, seed=0, threads=1)
    search = rl.Search(batch, 400 if fen else 60, seed=0)
    search.run()
    chosen = search.choose(0)
    kept = [int(search.visits()[i, a]) for i, a in enumerate(chosen)]
    search.step(chosen)
    visits, policy = search.visits(), search.policy()
    mask = batch.legal_mask().reshape(n, -1)
    assert not visits[~mask].any() and not policy[~mask].any()
    # The kept root's children carry its visits, less its own evaluation.
    assert visits.sum(axis=1).tolist() == [k - 1 for k in kept]
    assert all(legal_at(batch, search.choose(0))) and all(legal_at(batch, search.choose(1.0)))
    line = search.principal_variation(0)
    assert line and line[0] == search.choose(0)[0] and len(line) <= search.max_depth(0)


def test_step_is_one_critical_section():
    # The actions' __array__ resets the game under the search: the kept subtree must not be
    # labelled as the new position.
    batch = rl.GameBatch(1, 6, 6, seed=0, threads=1)
    search = rl.Search(batch, 40, seed=0)
    search.run()
    calls = []

    class Sneaky:
        def __array__(self, dtype=None, copy=None):
            calls.append(1)
            if len(calls) > 1:
                batch.reset()
            return np.asarray(search.choose(0), dtype=dtype)

    search.step(Sneaky())
    assert len(calls) == 1  # read once
    search.run()
    assert all(legal_at(batch, search.choose(0))) and search.visits().sum() >= 40


@pytest.mark.parametrize("when", ["between rounds", "between select and expand"])
def test_a_game_changed_during_a_search_is_searched_afresh(when):
    batch = rl.GameBatch(2, 6, 6, seed=1, threads=1)
    net = FakeNet(6, 6, seed=1)
    search = rl.Search(batch, 30, seed=0)
    planes, mask = buffers(batch)
    for round_ in range(6):
        k = search.select(planes, mask)
        if round_ == 3 and when == "between select and expand":
            batch.step(batch.random_actions())
        search.expand(*net(planes[:k], mask[:k]))
        if round_ == 3 and when == "between rounds":
            batch.step(batch.random_actions())
    drive(search, batch, net)
    assert (search.visits().sum(axis=1) >= 30).all()
    assert all(legal_at(batch, search.choose(0)))
    search.step(search.choose(0))


def test_gumbel_memory_does_not_grow_with_simulations():
    batch = rl.GameBatch(1, 4, 4, seed=0, threads=1)
    huge = rl.Search(batch, 1 << 30, gumbel=True, max_considered=4096, seed=0)
    assert huge.memory_bytes < 1 << 20
    # A budget met exactly: sequential halving still plans every visit.
    search = rl.Search(batch, 200, gumbel=True, max_considered=4096, seed=0)
    search.run()
    assert search.visits().sum() == 200


def test_numpy_scalars_and_real_dtypes_are_accepted():
    batch = rl.GameBatch(2, 5, 6, seed=8, threads=1)
    net = FakeNet(5, 6, seed=8)
    runs = []
    for convert in [lambda x: x, lambda x: x.astype(np.float64),
                    lambda x: x.reshape(len(x), batch.action_planes, 6, 5) if x.ndim == 2 else x]:
        search = rl.Search(rl.GameBatch(2, 5, 6, seed=8, threads=1), np.int64(12), gumbel=np.bool_(False),
                           max_considered=np.int32(4), seed=np.uint8(0))
        search.run(lambda p, m: tuple(convert(a) for a in net(p, m)))
        runs.append(search.visits())
    for r in runs[1:]:
        np.testing.assert_array_equal(r, runs[0])
    search = rl.Search(batch, 4, seed=0)
    for bad in [None, (np.zeros(1),), 3]:
        with pytest.raises(TypeError, match=r"evaluate must return \(logits, values\)"):
            search.run(lambda p, m, bad=bad: bad)
    with pytest.raises(TypeError, match="gumbel must be a bool"):
        rl.Search(batch, 4, gumbel=1)
    planes, mask = buffers(batch)
    k = search.select(planes, mask)
    logits, values = net(planes[:k], mask[:k])
    values[0] = np.nextafter(np.float32(1), np.float32(2))
    with pytest.raises(ValueError, match=r"got 1\.0000001"):
        search.expand(logits, values)


def test_numpy_bools_are_bools_everywhere():
    batch = rl.GameBatch(1, 8, 8, castling=np.bool_(False), repetitions=np.bool_(True))
    assert batch.fens()[0].split()[2] == "-"
    for kwargs in [dict(castling=1), dict(repetitions="yes")]:
        with pytest.raises(TypeError, match="must be a bool"):
            rl.GameBatch(1, 8, 8, **kwargs)


class SelectedPlanes:
    """A network that reads only the planes `idx` of the 105: given all 105 planes or just
    those (in the order of `idx`), it answers as `net` does on the 105 with the others zero."""

    def __init__(self, net, idx):
        self.net, self.idx = net, list(idx)

    def __call__(self, planes, mask):
        full = np.zeros((len(planes), 105) + planes.shape[2:], np.float32)
        full[:, self.idx] = planes[:, self.idx] if planes.shape[1] == 105 else planes
        return self.net(full, mask)


@pytest.mark.parametrize("width,height,how", [(8, 8, "manual"), (6, 5, "run"), (9, 8, "manual")])
def test_a_batch_of_selected_planes_searches_as_with_all_planes(width, height, how):
    idx = [100, 98, 104, 99] + list(range(12)) + [13, 30]
    net = SelectedPlanes(FakeNet(width, height, seed=width + height), idx)
    results = []
    for planes in (None, idx):
        batch = rl.GameBatch(3, width, height, seed=5, threads=1, max_plies=60, planes=planes)
        batch.play_random(9)
        search = rl.Search(batch, 24, seed=0, leaves_per_round=2)
        if how == "run" or planes is None:
            drive(search, batch, net, how, leaves=2)
        else:
            rows = batch.n * 2
            buf = np.zeros((rows, len(idx), height, width), np.float32)
            mask = np.zeros((rows, batch.action_planes, height, width), bool)
            with pytest.raises(ValueError, match="planes must have shape"):
                search.select(np.zeros((rows, 105, height, width), np.float32), mask)
            while k := search.select(buf, mask):
                search.expand(*net(buf[:k], mask[:k]))
        results.append(search.visits())
    np.testing.assert_array_equal(results[0], results[1])
    trees = reference_trees(batch, 24, net, leaves_per_round=2)
    for i, tree in enumerate(trees):
        np.testing.assert_array_equal(results[1][i], tree.visits(), err_msg=f"game {i}")


@pytest.mark.parametrize("planes", [None, [104, 0, 7, 99, 12, 96]])
def test_select_writes_packed_planes_that_unpack_to_its_dense_ones(planes):
    batch = rl.GameBatch(4, 6, 5, seed=3, threads=2, max_plies=40, planes=planes, repetitions=True)
    batch.play_random(7)
    twin = rl.GameBatch(4, 6, 5, seed=3, threads=2, max_plies=40, planes=planes, repetitions=True)
    twin.play_random(7)
    net = SelectedPlanes(FakeNet(6, 5, seed=2), batch.plane_indices)
    k, rows = len(batch.plane_indices), batch.n * 2
    packed, dense = rl.Search(batch, 20, seed=1, leaves_per_round=2), rl.Search(twin, 20, seed=1, leaves_per_round=2)
    bits, scalars = np.zeros((rows, k, 4), np.uint8), np.zeros((rows, k), np.float32)
    planes_out, mask = np.zeros((rows, k, 5, 6), np.float32), np.zeros((rows, batch.action_planes, 5, 6), bool)
    with pytest.raises(ValueError, match="bits and scalars go together"):
        packed.select(bits=bits)
    with pytest.raises(ValueError, match="give one"):
        packed.select(mask=mask)
    with pytest.raises(ValueError, match=r"bits must have shape \(8, %d, 4\)" % k):
        packed.select(bits=bits[:, :, :3].copy(), scalars=scalars)
    while n := packed.select(mask=mask, bits=bits, scalars=scalars):
        assert dense.select(planes_out, mask) == n
        unpacked = rl.unpack_planes(bits[:n], scalars[:n], 5, 6)
        np.testing.assert_array_equal(unpacked, planes_out[:n])
        logits, values = net(unpacked, mask[:n])
        packed.expand(logits, values)
        dense.expand(logits, values)
    assert dense.select(planes_out) == 0
    np.testing.assert_array_equal(packed.visits(), dense.visits())
