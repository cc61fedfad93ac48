"""A small tree search in pure Python over murkle_chess, for checking murkle_rl.Search.

It follows docs/search.md step by step, round by round (with several leaves per round under
virtual loss when asked), so that with the same network and no noise it reaches the same visit
counts as the batched search:

- a node's N counts its own evaluation; W (a Python float, i.e. double) sums the values backed
  up through it from the side to move there; P is a float32 prior;
- children are the legal moves in ``Game.legal_moves()`` order; ties go to the first child;
- priors are the softmax over the children's logits, in double precision after subtracting
  the maximum, each rounded to float32;
- a node is terminal when the position has no legal move, the halfmove clock is at 150 or
  more, the material is insufficient, or the history holds ``max_plies`` moves or more;
- a fresh root is evaluated first, and that evaluation is not a simulation.

Gumbel (``gumbel=True``) is the root sequential halving and the interior rule of the
published Gumbel search with completed Q by the mixed value (value scale 0.1, visit scale
50). Its Gumbel samples are the caller's (``gumbel_noise``), zero by default.
"""
from __future__ import annotations

import math

import numpy as np

import murkle_chess as mc

VALUE_SCALE = 0.1
MAXVISIT_INIT = 50.0
RESCALE_EPSILON = 1e-8
LOW_LOGIT = -1e9


def f32(x: float) -> float:
    """x rounded to float32, back as a Python float."""
    return float(np.float32(x))


def full_action(game: mc.Game, move: mc.Move) -> int:
    """The full action of a move: its move plane, then its source square."""
    w, h = game.width(), game.height()
    col, row = move.src_square()
    return move.encode(w, h) * h * w + row * w + col


def history_length(game: mc.Game) -> int:
    """The number of moves the game can take back."""
    g = game.clone()
    n = 0
    while g.unmake_move():
        n += 1
    return n


def game_planes(game: mc.Game) -> np.ndarray:
    flat, n, h, w = game.encode_game_planes()
    return np.asarray(flat, dtype=np.float32).reshape(n, h, w)


def game_mask(game: mc.Game, actions: list[int]) -> np.ndarray:
    mask = np.zeros((game.action_size(), game.height(), game.width()), dtype=bool)
    mask.flat[actions] = True
    return mask


def terminal_value(game: mc.Game, moves: list, plies: int, max_plies: int | None) -> float | None:
    """The value of a finished position for the side to move there, or None if it goes on."""
    if not moves or game.halfmove_clock() >= 150 or game.is_insufficient_material():
        return game.reward_from_perspective(game.turn())
    if max_plies and plies >= max_plies:
        return 0.0
    return None


def softmax_priors(logits: np.ndarray, actions: list[int]) -> list[float]:
    """Float32 priors: softmax in double over the children's logits, maximum subtracted."""
    ls = [float(logits[a]) for a in actions]
    top = max(ls)
    es = [math.exp(x - top) for x in ls]
    total = 0.0
    for e in es:
        total += e
    return [f32(e / total) for e in es]


def considered_visits(max_considered: int, simulations: int) -> tuple[int, ...]:
    """The visit target of each simulation under sequential halving over max_considered actions."""
    if max_considered <= 1:
        return tuple(range(simulations))
    log2max = int(math.ceil(math.log2(max_considered)))
    sequence: list[int] = []
    visits = [0] * max_considered
    considered = max_considered
    while len(sequence) < simulations:
        extra = max(1, int(simulations / (log2max * considered)))
        for _ in range(extra):
            sequence.extend(visits[:considered])
            for i in range(considered):
                visits[i] += 1
        considered = max(2, considered // 2)
    return tuple(sequence[:simulations])


class Node:
    __slots__ = ("move", "action", "prior", "logit", "n", "w", "vl", "raw", "children", "terminal", "pending")

    def __init__(self, move=None, action=-1, prior=0.0):
        self.move = move
        self.action = action
        self.prior = prior
        self.logit = 0.0        # log(prior), for the Gumbel rules
        self.n = 0
        self.w = 0.0
        self.vl = 0             # descents of this round through here still waiting for the network
        self.raw = 0.0          # the network's value of this position
        self.children: list[Node] | None = None   # None until listed
        self.terminal: float | None = None        # set when the position is over
        self.pending = False    # listed and handed to the network, priors not back yet

    # Visits and value as selection sees them: a waiting descent counts as a visit lost by the
    # side that chose this node.
    def seen_n(self) -> int:
        return self.n + self.vl

    def seen_w(self) -> float:
        return self.w + self.vl

    def q(self) -> float:
        """The node's value for the player who moved into it."""
        return -self.seen_w() / self.seen_n()


class Tree:
    """One search tree over a copy of ``game``.

    ``evaluate(planes (k, 105, H, W) float32, mask (k, P, H, W) bool) -> (logits (k, A), values (k,))``
    as murkle_rl.Search.run takes it; None means uniform priors and value 0.
    """

    def __init__(self, game: mc.Game, simulations: int, *, c_puct: float = 1.25, fpu_reduction: float = 0.0,
                 forced_playouts: float = 0.0, gumbel: bool = False,
                 max_considered: int = 16, leaves_per_round: int = 1, max_plies: int | None = None,
                 evaluate=None, gumbel_noise=None):
        self.game = game.clone()
        self.simulations = simulations
        self.c_puct = c_puct
        self.fpu_reduction = fpu_reduction
        self.forced_playouts = forced_playouts
        self.gumbel = gumbel
        self.max_considered = max_considered
        self.leaves_per_round = leaves_per_round
        self.max_plies = max_plies
        self.evaluate = evaluate
        self.gumbel_noise = gumbel_noise    # callable(count) -> list of floats, or None for zeros
        self.plies = history_length(game)
        self.root = Node()
        self.gumbel_values: list[float] = []
        self.evaluations = 0                # positions handed to the network, root included
        self.evaluated: list[tuple[np.ndarray, np.ndarray]] = []
        self.rounds: list[int] = []         # the leaves handed out by each round

    # ----- the search --------------------------------------------------------------------------

    def searched(self) -> bool:
        """Whether the root's game takes an action at all."""
        moves = self.game.legal_moves()
        return terminal_value(self.game, moves, self.plies, self.max_plies) is None

    def search(self) -> "Tree":
        if not self.searched():
            return self
        if self.root.children is None:     # the root's evaluation: a round of its own, not a simulation
            self._list(self.root, self.game.legal_moves())
            self._evaluate([[self.root]])
            if self.gumbel:
                count = len(self.root.children)
                self.gumbel_values = list(self.gumbel_noise(count)) if self.gumbel_noise else [0.0] * count
        self.table = considered_visits(min(self.max_considered, len(self.root.children)), self.simulations)
        self.sims = 0
        while self.sims < self.simulations:
            self.round()
        return self

    def round(self) -> None:
        """Up to leaves_per_round descents; terminal leaves are backed up at once, new leaves
        wait for the network under a virtual loss on their path below the root."""
        waiting: list[list[Node]] = []
        while len(waiting) < self.leaves_per_round and self.sims + len(waiting) < self.simulations:
            path = self._descend()
            leaf = path[-1]
            if leaf.pending:                 # a leaf of this round waits here already
                self._undo(path)
                break
            if leaf.terminal is None:        # a new leaf
                moves = self.game.legal_moves()
                leaf.terminal = terminal_value(self.game, moves, self.plies + len(path) - 1, self.max_plies)
                if leaf.terminal is None:
                    self._list(leaf, moves)
                    waiting.append(path)
                    for node in path[1:]:
                        node.vl += 1
                    self._undo(path)
                    continue
            self._undo(path)
            self._backup(path, leaf.terminal)
            self.sims += 1
        self.rounds.append(len(waiting))
        self._evaluate(waiting)
        self.sims += len(waiting)

    def _descend(self) -> list[Node]:
        path = [self.root]
        node = self.root
        while node.children and not node.pending:
            node = self.select_child(node, node is self.root)
            self.game.make_move(node.move)
            path.append(node)
        return path

    def _undo(self, path: list[Node]) -> None:
        for _ in range(len(path) - 1):
            self.game.unmake_move()

    def _backup(self, path: list[Node], value: float) -> None:
        for node in reversed(path):
            node.n += 1
            node.w += value
            value = -value

    def _list(self, leaf: Node, moves: list) -> None:
        """Lists the leaf's children and keeps its planes and mask for the network."""
        leaf.children = [Node(m, full_action(self.game, m)) for m in moves]
        leaf.pending = True
        self.evaluations += 1
        if self.evaluate is not None:
            self.evaluated.append((game_planes(self.game), game_mask(self.game, [c.action for c in leaf.children])))

    def _evaluate(self, waiting: list[list[Node]]) -> None:
        """The network's priors and values for the waiting leaves, backed up in order."""
        if not waiting:
            return
        if self.evaluate is not None:
            rows = self.evaluated[len(self.evaluated) - len(waiting):]
            logits, values = self.evaluate(np.stack([p for p, _ in rows]), np.stack([m for _, m in rows]))
            logits = np.asarray(logits, dtype=np.float32).reshape(len(waiting), -1)
            values = np.asarray(values, dtype=np.float32).reshape(-1)
        for k, path in enumerate(waiting):
            leaf = path[-1]
            count = len(leaf.children)
            if self.evaluate is None:
                priors, leaf.raw = [f32(1.0 / count)] * count, 0.0
            else:
                priors = softmax_priors(logits[k], [c.action for c in leaf.children])
                leaf.raw = float(values[k])
            for c, p in zip(leaf.children, priors):
                c.prior = p
                c.logit = math.log(p) if p > 0 else -math.inf
            leaf.pending = False
            for node in path[1:]:
                node.vl -= 1
            self._backup(path, leaf.raw)

    # ----- selection ---------------------------------------------------------------------------

    def select_child(self, node: Node, at_root: bool) -> Node:
        if not self.gumbel:
            return self._puct(node, self.forced_playouts if at_root else 0.0)
        if at_root:
            return self._halving(node)
        return self._gumbel_interior(node)

    def _puct(self, node: Node, forced: float = 0.0) -> Node:
        sqrt_n = math.sqrt(node.seen_n())
        visited = sum(c.prior for c in node.children if c.seen_n() > 0)
        fpu = node.seen_w() / node.seen_n() - self.fpu_reduction * math.sqrt(visited)
        # forced playouts: the children below sqrt(k P N) visits come before the others
        forced_ones = [c for c in node.children if c.seen_n() < math.sqrt(forced * c.prior * node.seen_n())]
        best, best_score = None, -math.inf
        for c in forced_ones or node.children:
            q = c.q() if c.seen_n() > 0 else fpu
            score = q + self.c_puct * c.prior * sqrt_n / (1 + c.seen_n())
            if best is None or score > best_score:
                best, best_score = c, score
        return best

    def sigma(self, node: Node) -> list[float]:
        """sigma(completed, rescaled Q) of every child of node."""
        children = node.children
        total = sum(c.seen_n() for c in children)
        if total > 0:
            sum_probs = sum(c.prior for c in children if c.seen_n() > 0)
            weighted = sum(c.prior * c.q() / sum_probs for c in children if c.seen_n() > 0)
            mixed = (node.raw + total * weighted) / (1 + total)
        else:
            mixed = node.raw
        qs = [c.q() if c.seen_n() > 0 else mixed for c in children]
        lo, hi = min(qs), max(qs)
        span = max(hi - lo, RESCALE_EPSILON)
        scale = (MAXVISIT_INIT + max(c.seen_n() for c in children)) * VALUE_SCALE
        return [scale * ((q - lo) / span) for q in qs]

    def improved_policy(self, node: Node) -> list[float]:
        """softmax(log prior + sigma(q)) over the children of node."""
        xs = [c.logit + s for c, s in zip(node.children, self.sigma(node))]
        top = max(xs)
        es = [math.exp(x - top) for x in xs]
        total = sum(es)
        return [e / total for e in es]

    def _gumbel_interior(self, node: Node) -> Node:
        pi = self.improved_policy(node)
        total = sum(c.seen_n() for c in node.children)
        scores = [p - c.seen_n() / (1 + total) for p, c in zip(pi, node.children)]
        return node.children[scores.index(max(scores))]

    def halving_scores(self, node: Node, target: int) -> list[float]:
        top = max(c.logit for c in node.children)
        sig = self.sigma(node)
        return [max(LOW_LOGIT, g + c.logit - top + s) if c.seen_n() == target else -math.inf
                for g, c, s in zip(self.gumbel_values, node.children, sig)]

    def _halving(self, node: Node) -> Node:
        target = self.table[min(sum(c.seen_n() for c in node.children), len(self.table) - 1)]
        scores = self.halving_scores(node, target)
        return node.children[scores.index(max(scores))]

    # ----- results -----------------------------------------------------------------------------

    @property
    def num_actions(self) -> int:
        return self.game.action_size() * self.game.height() * self.game.width()

    def visits(self) -> np.ndarray:
        out = np.zeros(self.num_actions, np.int32)
        for c in self.root.children or []:
            out[c.action] = c.n
        return out

    def policy(self) -> np.ndarray:
        out = np.zeros(self.num_actions, np.float32)
        children = self.root.children or []
        total = sum(c.n for c in children)
        if not total:
            return out
        if self.gumbel:
            for c, p in zip(children, self.improved_policy(self.root)):
                out[c.action] = p
        else:
            kept = self.pruned() if self.forced_playouts else [c.n for c in children]
            for c, n in zip(children, kept):
                out[c.action] = n / sum(kept)
        return out

    def pruned(self) -> list[float]:
        """The root's visits less the forced ones that did not pay: each child but the most
        visited gives back up to sqrt(k P N) visits while its PUCT score stays below the best's
        (the boundary found by bisection); one visit or fewer left counts none."""
        children, n = self.root.children, self.root.n
        best = next(c for c in children if c.n == max(d.n for d in children))
        def score(c, visits):
            return c.q() + self.c_puct * c.prior * math.sqrt(n) / (1 + visits)
        kept = []
        for c in children:
            left = float(c.n)
            if c is not best and c.n > 0:
                lo, hi = max(0.0, c.n - math.sqrt(self.forced_playouts * c.prior * n)), float(c.n)
                if score(c, lo) >= score(best, best.n):
                    for _ in range(200):
                        mid = (lo + hi) / 2
                        lo, hi = (lo, mid) if score(c, mid) < score(best, best.n) else (mid, hi)
                    lo = hi
                left = lo if lo > 1 else 0.0
            kept.append(left)
        return kept

    def root_value(self) -> float:
        return self.root.w / self.root.n if self.root.n and self.root.children else 0.0

    def choose(self) -> int:
        """The most visited child's action (ties: the first; Gumbel: the halving score)."""
        children = self.root.children or []
        if not children or not sum(c.n for c in children):
            return -1
        most = max(c.n for c in children)
        if self.gumbel:
            scores = self.halving_scores(self.root, most)
            return children[scores.index(max(scores))].action
        return next(c.action for c in children if c.n == most)

    def step(self, action: int) -> "Tree":
        """Plays an action and keeps its subtree (PUCT) or starts afresh (Gumbel)."""
        child = next(c for c in self.root.children if c.action == action)
        self.game.make_move(child.move)
        self.plies += 1
        self.root = Node() if self.gumbel else child
        self.gumbel_values = []
        return self
