"""Random interleavings of Search calls — select and expand, run, step, choose — with changes
made to the games behind the search's back and evaluators that fail, checked after every call:
the policy only on legal actions, every finished search with its simulations, and a choice
legal or -1 exactly where a game takes no action."""
import hypothesis.strategies as st
import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import murkle_rl as rl


class Failure(Exception):
    pass


class SearchMachine(RuleBasedStateMachine):
    @initialize(size=st.sampled_from([(4, 4), (5, 3), (6, 6), (8, 8)]), n=st.integers(1, 3),
                gumbel=st.booleans(), leaves=st.integers(1, 3), sims=st.integers(1, 24), seed=st.integers(0, 9),
                max_plies=st.sampled_from([None, 4, 30]))
    def create(self, size, n, gumbel, leaves, sims, seed, max_plies):
        self.batch = rl.GameBatch(n, *size, seed=seed, threads=1, max_plies=max_plies)
        self.sims = sims
        self.search = rl.Search(self.batch, sims, gumbel=gumbel, max_considered=4, leaves_per_round=leaves, seed=seed)
        rows = n * leaves
        self.planes = np.zeros((rows, 105, size[1], size[0]), np.float32)
        self.rng = np.random.default_rng(seed)
        self.complete = False  # the last search ran to its end and nothing changed since

    def net(self, planes, mask=None):
        k = len(planes)
        return (self.rng.normal(size=(k, self.batch.num_actions)).astype(np.float32),
                self.rng.uniform(-1, 1, k).astype(np.float32))

    @rule()
    def select_expand(self):
        if self.search.pending:
            self.search.cancel()
        if k := self.search.select(self.planes):
            self.search.expand(*self.net(self.planes[:k]))
        else:
            self.complete = True

    @rule()
    def select_only(self):
        if not self.search.pending:
            self.search.select(self.planes)

    @precondition(lambda self: self.search.pending)
    @rule()
    def expand(self):
        k = self.search.pending
        self.search.expand(*self.net(self.planes[:k]))

    @rule(fail=st.booleans())
    def run(self, fail):
        if self.search.pending:
            self.search.cancel()
        calls = []

        def evaluate(planes, mask):
            calls.append(1)
            if fail and len(calls) == 2:
                raise Failure
            return self.net(planes)

        try:
            self.search.run(evaluate)
            self.complete = True
        except Failure:
            self.complete = False

    @rule(temperature=st.sampled_from([0.0, 1.0]))
    def step(self, temperature):
        chosen = self.search.choose(temperature)
        if not self.complete or any(a < 0 and m.any() for a, m in zip(chosen, self.batch.legal_mask().reshape(self.batch.n, -1))):
            chosen = self.batch.random_actions()
        self.search.step(chosen)
        self.complete = False

    @rule(kind=st.sampled_from(["step", "reset", "play_random"]))
    def change_behind(self, kind):
        if kind == "step":
            self.batch.step(self.batch.random_actions())
        elif kind == "reset":
            self.batch.reset()
        else:
            self.batch.play_random(1)
        self.complete = False

    @invariant()
    def results_are_consistent(self):
        if not hasattr(self, "search"):
            return
        mask = self.batch.legal_mask().reshape(self.batch.n, -1)
        policy, visits = self.search.policy(), self.search.visits()
        assert not policy[~mask].any() and not visits[~mask].any()
        chosen = self.search.choose(0)
        for i, a in enumerate(chosen):
            takes = bool(mask[i].any())  # a game over or restarting has no legal action
            assert a < 0 or (takes and mask[i, a])
            if self.complete and not self.search.pending:
                assert (a >= 0) == takes
                if takes:
                    assert visits[i].sum() >= self.sims - 1 and abs(policy[i].sum() - 1) < 1e-4


TestSearchMachine = SearchMachine.TestCase
TestSearchMachine.settings = settings(max_examples=150, stateful_step_count=25, deadline=None,
                                      suppress_health_check=[HealthCheck.too_slow])
