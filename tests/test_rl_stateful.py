"""Random interleavings of GameBatch operations — steps with any actions, play_random, set_game,
reset, pickling — checked against murkle_chess games kept beside the batch; and byte strings
given to loads_game and to a batch's pickled state, changed at random, refused or read whole.
"""
import pickle

import hypothesis.strategies as st
import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import murkle_chess as mc
import murkle_rl as rl

SIZES = st.one_of(st.tuples(st.integers(1, 6), st.integers(1, 6)).filter(lambda s: s[0] * s[1] >= 2),
                  st.sampled_from([(8, 8), (9, 2), (12, 1)]))


def planes_of(game):
    flat, n, h, w = game.encode_game_planes()
    return np.asarray(flat, dtype=np.float32).reshape(n, h, w)


def history_length(game):
    g, n = game.clone(), 0
    while g.unmake_move():
        n += 1
    return n


class BatchMachine(RuleBasedStateMachine):
    """The model: a murkle_chess.Game per slot and whether the slot restarts at its next step."""

    @initialize(size=SIZES, n=st.integers(1, 3), threads=st.integers(1, 2), seed=st.integers(0, 2**64 - 1),
                max_plies=st.sampled_from([None, 1, 3, 12]))
    def create(self, size, n, threads, seed, max_plies):
        self.width, self.height = size
        self.max_plies = max_plies
        self.batch = rl.GameBatch(n, *size, threads=threads, seed=seed, max_plies=max_plies)
        self.games = [self.start() for _ in range(n)]
        self.restart = [False] * n

    def start(self):
        return mc.Game(self.width, self.height, rl.start_fen(self.width, self.height), (self.width, self.height) == (8, 8))

    def over(self, i):
        g = self.games[i]
        return g.is_over() or (self.max_plies is not None and history_length(g) >= self.max_plies)

    def takes_action(self, i):
        return not self.restart[i] and not self.over(i)

    def step_model(self, actions, rewards, done, truncated):
        for i, g in enumerate(self.games):
            if self.restart[i]:
                self.games[i], self.restart[i] = self.start(), False
                assert not done[i] and not truncated[i] and rewards[i] == 0.0
                continue
            if self.takes_action(i):
                assert g.make_move(rl.decode_action(g, int(actions[i])))
            assert done[i] == self.over(i)
            assert rewards[i] == (g.reward_absolute() if g.is_over() else 0.0)
            assert truncated[i] == (bool(done[i]) and not g.is_over())
            self.restart[i] = bool(done[i])

    # --- operations ---------------------------------------------------------------------

    @rule(data=st.data())
    def step(self, data):
        mask = self.batch.legal_mask().reshape(self.batch.n, -1)
        actions = []
        for i in range(self.batch.n):
            legal = np.flatnonzero(mask[i]).tolist()
            actions.append(data.draw(st.sampled_from(legal)) if legal else data.draw(st.integers(-2**63, 2**63 - 1)))
        self.step_model(actions, *self.batch.step(np.array(actions, np.int64)))

    @rule(plies=st.integers(0, 8))
    def play_random_is_stepping_random_actions(self, plies):
        twin = pickle.loads(pickle.dumps(self.batch))
        self.batch.play_random(plies)
        for _ in range(plies):
            actions = twin.random_actions()
            self.step_model(actions, *twin.step(actions))
        assert twin.fens() == self.batch.fens()
        np.testing.assert_array_equal(twin.random_actions(), self.batch.random_actions())

    @rule(data=st.data(), plies=st.integers(0, 14))
    def set_game(self, data, plies):
        i = data.draw(st.integers(0, self.batch.n - 1))
        g = self.start()
        for k in range(plies):
            moves = g.legal_moves()
            if not moves:
                break
            g.make_move(moves[(k * 7) % len(moves)])
        self.batch.set_game(i, g)
        self.games[i], self.restart[i] = g.clone(), False

    @rule(data=st.data())
    def reset(self, data):
        which = data.draw(st.lists(st.integers(0, self.batch.n - 1), max_size=3))
        self.batch.reset(which)
        for i in which:
            self.games[i], self.restart[i] = self.start(), False

    @rule()
    def pickle_round_trip(self):
        self.batch = pickle.loads(pickle.dumps(self.batch))

    @rule(data=st.data())
    def game_bytes_round_trip(self, data):
        i = data.draw(st.integers(0, self.batch.n - 1))
        back = rl.loads_game(rl.dumps_game(self.batch.game(i)))
        assert back.to_fen() == self.games[i].to_fen() and hash(back) == hash(self.games[i])
        assert history_length(back) == history_length(self.games[i])

    # --- the batch is its model ---------------------------------------------------------

    @invariant()
    def matches_model(self):
        b = self.batch
        assert b.fens() == [g.to_fen() for g in self.games]
        assert b.plies().tolist() == [history_length(g) for g in self.games]
        planes, mask = b.planes(), b.legal_mask()
        actions = b.random_actions()
        for i, g in enumerate(self.games):
            np.testing.assert_array_equal(planes[i], planes_of(g))
            if self.takes_action(i):
                np.testing.assert_array_equal(mask[i], rl.legal_action_mask(g))
                assert mask[i].flat[actions[i]]
            else:
                assert not mask[i].any() and actions[i] == -1


TestBatchMachine = BatchMachine.TestCase
TestBatchMachine.settings = settings(max_examples=25, stateful_step_count=20, deadline=None,
                                     suppress_health_check=[HealthCheck.too_slow])


def mutations():
    """A byte string and changes to it: flipped bytes, cuts and insertions."""
    return st.lists(st.tuples(st.sampled_from(["flip", "cut", "insert"]), st.integers(0, 10**6),
                              st.integers(1, 255)), min_size=1, max_size=4)


def mutate(data, changes):
    data = bytearray(data)
    for kind, at, value in changes:
        at %= len(data) + 1
        if kind == "flip" and at < len(data):
            data[at] ^= value
        elif kind == "cut":
            del data[at:at + value % 9]
        else:
            data[at:at] = bytes([value])
    return bytes(data)


def played_game(width, height, plies):
    g = mc.Game(width, height, rl.start_fen(width, height), False)
    for k in range(plies):
        moves = g.legal_moves()
        if not moves:
            break
        g.make_move(moves[(k * 5) % len(moves)])
    return g


def use_whole(g):
    """Every query of a read game answers, and its history unwinds to the end."""
    g.legal_moves(), g.to_fen(), g.encode_game_planes(), g.outcome(), rl.legal_action_mask(g)
    while g.unmake_move():
        g.legal_moves()


@settings(max_examples=150, deadline=None)
@given(size=SIZES, plies=st.integers(0, 20), changes=mutations())
def test_changed_game_bytes_are_refused_or_read_whole(size, plies, changes):
    data = mutate(rl.dumps_game(played_game(*size, plies)), changes)
    try:
        g = rl.loads_game(data)
    except ValueError as e:
        assert str(e) == "invalid game bytes"
        return
    use_whole(g)


@settings(max_examples=60, deadline=None)
@given(size=SIZES, plies=st.integers(0, 12), which=st.integers(0, 10), changes=mutations())
def test_changed_batch_states_are_refused_or_read_whole(size, plies, which, changes):
    batch = rl.GameBatch(2, *size, seed=plies, threads=2, max_plies=30)
    batch.play_random(plies)
    state = list(batch.__getstate__())
    games = list(state[4])
    games[which % 2] = mutate(games[which % 2], changes)
    state[4] = games
    copy = rl.GameBatch.__new__(rl.GameBatch)
    try:
        copy.__setstate__(tuple(state))
    except ValueError as e:
        assert "invalid game bytes" in str(e)
        return
    for i in range(2):
        use_whole(copy.game(i))
    copy.planes(), copy.legal_mask()
    copy.play_random(3)
