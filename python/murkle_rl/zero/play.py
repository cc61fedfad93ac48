"""The play layer: the one loop that drives a search with a network, its limits, and the
search session every front end plays through.

- :func:`run` is the only place that drives a search with a network (``Search.run_in_place``:
  the search's own arrays, one round at a time where a limit must be looked at). Self-play
  and evaluations run it over a batch of games until every tree has its simulations; a
  :class:`SearchSession` runs it over one game until its :class:`Limit` says stop.
- A :class:`Limit` gathers the reasons to stop (simulations, time, a stop request, memory), each
  a small :class:`Stopper` of its own.
- :class:`SearchSession` keeps one game's tree from move to move: ``uci``, ``match``, ``serve``
  and ``play`` all search through it, so all of them reuse their trees and take time limits.
- :func:`network_actions` is the agent's move without a search: the legal move its policy
  likes best.

No PyTorch here: an agent is any callable of the :mod:`murkle_rl.zero.agent` contract.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any, Callable, Protocol, Sequence

import numpy as np

import murkle_chess
import murkle_rl

from .rules import legal_by_lan, new_game, play_moves

__all__ = ["Limit", "Stopper", "Progress", "run", "network_actions", "batch_actions", "Stopped",
           "SearchResult", "SearchSession", "play_settings", "make_search", "chosen_line", "line_text"]

UNBOUNDED = 1 << 22  # simulations of a search that only its limits end


# ------------------------------------------------------------------ limits


@dataclass
class Progress:
    """Where a search stands: its simulations (counted where a limit or a report needs them),
    rounds of select/expand, seconds in the tree and in the network, and why it ended."""

    started: float = field(default_factory=time.monotonic)
    simulations: int = 0
    rounds: int = 0
    tree_seconds: float = 0.0
    network_seconds: float = 0.0
    complete: bool = False  # every tree has the simulations it was made with
    stopped: bool = False  # ended by a stop request


class Stopper(Protocol):
    """One reason to stop a search."""

    def reached(self, search: Any, progress: Progress) -> bool: ...


@dataclass(frozen=True)
class NodeLimit:
    nodes: int

    def reached(self, search: Any, progress: Progress) -> bool:
        return progress.simulations >= self.nodes


@dataclass(frozen=True)
class TimeLimit:
    deadline: Callable[[], float | None]  # the time.monotonic() to stop at, asked every round

    def reached(self, search: Any, progress: Progress) -> bool:
        at = self.deadline()
        return at is not None and time.monotonic() >= at


@dataclass(frozen=True)
class MemoryLimit:
    max_bytes: int

    def reached(self, search: Any, progress: Progress) -> bool:
        return int(search.memory_bytes) >= self.max_bytes


@dataclass(frozen=True)
class Limit:
    """When a search stops. Any limit given ends it; with none, it runs until every tree has the
    simulations its ``Search`` was made with.

    nodes: simulations of this search (visits a kept tree already had not counted). seconds:
    thinking time from the start. deadline: a function giving the ``time.monotonic()`` to stop
    at, or None for none yet (asked every round: a ponder search becomes timed). stop: an event
    (or any object with ``is_set()``) that ends the search at once. max_bytes: the tree stops
    growing at this size. wait: while it returns True, a search whose limits are reached idles
    instead of ending (infinite and ponder searches), until ``stop``.
    """

    nodes: int | None = None
    seconds: float | None = None
    deadline: Callable[[], float | None] | None = None
    stop: Any = None
    max_bytes: int | None = None
    wait: Callable[[], bool] | None = None

    def stoppers(self, started: float) -> list[Stopper]:
        out: list[Stopper] = []
        if self.nodes is not None:
            out.append(NodeLimit(self.nodes))
        if self.seconds is not None:
            at = started + self.seconds
            out.append(TimeLimit(lambda: at))
        if self.deadline is not None:
            out.append(TimeLimit(self.deadline))
        if self.max_bytes is not None:
            out.append(MemoryLimit(self.max_bytes))
        return out

    @property
    def counts(self) -> bool:
        """Whether the loop must count simulations."""
        return self.nodes is not None


class Stopped(Exception):
    """A search given up because its caller asked to stop."""


# ------------------------------------------------------------------ the loop


def run(search: Any, evaluate: Callable[..., tuple[Any, Any]], limit: Limit | None = None,
        *, min_simulations: int = 0, on_round: Callable[[Progress], None] | None = None,
        count: bool = False) -> Progress:
    """Runs ``search`` with ``evaluate(planes) -> (logits, values)`` until ``limit`` says stop
    (None: until every tree has its simulations). ``planes`` are views of the search's own
    float32 array of the batch's planes; no legal masks are written (the search takes only the
    legal moves' logits), and the answers are read where they lie (NumPy, or a PyTorch or JAX
    array in CPU memory).

    The search ends between rounds, with no leaf left waiting, and only once it has run
    ``min_simulations`` (a session needs one to have a move). ``on_round`` is
    called after every round; ``count`` (or a node limit) counts the simulations of game 0's
    tree, as a session needs. Returns the :class:`Progress` at the end.
    """
    limit = limit or Limit()
    progress = Progress()
    stoppers = limit.stoppers(progress.started)
    counting = count or limit.counts
    baseline: int | None = None
    stop = limit.stop

    def answer(planes: np.ndarray, logits: np.ndarray, values: np.ndarray) -> tuple[Any, Any]:
        started = time.perf_counter()
        try:
            return evaluate(planes)
        finally:
            progress.network_seconds += time.perf_counter() - started
            progress.rounds += 1

    def rounds(bound: int | None) -> int:
        started, network = time.perf_counter(), progress.network_seconds
        k = search.run_in_place(answer, rounds=bound)
        progress.tree_seconds += time.perf_counter() - started - (progress.network_seconds - network)
        return k

    watched = (stop is not None or stoppers or limit.wait is not None or on_round is not None or counting
               or min_simulations > 0)
    if not watched:  # nothing to look at between rounds: the search runs them all in one call
        progress.simulations = rounds(None)
        progress.rounds += 1  # the last round, which found every tree complete
        progress.complete = True
        return progress
    while True:
        if progress.simulations >= min_simulations:
            if stop is not None and (stop.is_set() if hasattr(stop, "is_set") else stop()):
                progress.stopped = True
                return progress
            if progress.complete or any(s.reached(search, progress) for s in stoppers):
                if limit.wait is not None and limit.wait():
                    time.sleep(0.005)
                    continue
                return progress
        k = rounds(1)
        if not k:
            progress.rounds += 1
        progress.complete = k == 0
        if counting:
            total = int(search.visits()[0].sum())
            if baseline is None:
                # after the first round: a fresh root was evaluated (no visits yet), a kept one
                # has had one simulation on top of its reused visits
                baseline = total - 1 if total > 0 else 0
            progress.simulations = total - baseline
            if total == 0 and progress.rounds >= 3:  # the root takes no action: never wait on it
                raise RuntimeError("the search makes no progress in this position")
        else:
            progress.simulations += k
        if on_round is not None:
            on_round(progress)


def network_actions(agent: Any, batch: Any, masks: np.ndarray | None = None) -> np.ndarray:
    """The agent's move without a search in every game of ``batch``: the legal full action its
    policy likes best, -1 for a game with no move (a finished game has none in the batch; give
    ``masks`` of its own legal actions to choose among them). The network reads the batch's
    own planes."""
    n = batch.n
    logits, _ = agent(batch.planes())
    logits = np.array(logits, np.float32).reshape(n, -1)
    mask = (batch.legal_mask() if masks is None else masks).reshape(n, -1)
    logits[~mask] = -np.inf
    return np.where(mask.any(1), logits.argmax(1), -1)


# ------------------------------------------------------------------ how the agent searches in play


def play_settings(agent_or_cfg: Any) -> dict[str, Any]:
    """The agent's search in play: PUCT with its ``eval_c_puct``, or a Gumbel root over
    ``max_considered`` moves with ``eval_gumbel``, each leaf's value mixed with a capture
    search's by ``eval_material_mix``; a field the configuration lacks (or no configuration)
    takes its default, but for the mix: without a configuration (the uniform agent, the search
    alone) there is none."""
    from .config import Config

    cfg = getattr(agent_or_cfg, "cfg", agent_or_cfg)
    return {"c_puct": float(getattr(cfg, "eval_c_puct", Config.eval_c_puct)),
            "gumbel": bool(getattr(cfg, "eval_gumbel", Config.eval_gumbel)),
            "max_considered": int(getattr(cfg, "max_considered", Config.max_considered)),
            "material_mix": float(getattr(cfg, "eval_material_mix", 0.0))}


def make_search(settings: dict[str, Any], batch: Any, simulations: int, seed: int, *, c_puct: float | None = None,
                leaves: int = 1) -> Any:
    """A ``Search`` over ``batch`` with the play ``settings`` (``c_puct`` overrides their weight)."""
    return murkle_rl.Search(batch, simulations, c_puct=settings["c_puct"] if c_puct is None else float(c_puct),
                            gumbel=settings["gumbel"], max_considered=settings["max_considered"], seed=seed,
                            leaves_per_round=leaves, material_mix=settings.get("material_mix", 0.0))


def batch_actions(agent: Any, settings: dict[str, Any], batch: Any, simulations: int, seed: int,
                  stop: Callable[[], bool] | None = None) -> tuple[np.ndarray, Any]:
    """The agent's move in every game of the batch: the most visited after a search of
    ``simulations``, or with 0 the legal move the network likes best. Returns the actions (-1
    for a game with no move) and the search (None with 0 simulations). Raises :class:`Stopped`
    once ``stop()`` turns true during the search."""
    if simulations == 0:
        return network_actions(agent, batch), None
    search = make_search(settings, batch, simulations, seed)
    if run(search, agent, Limit(stop=stop)).stopped:
        raise Stopped
    return search.choose(0.0), search


# ------------------------------------------------------------------ one game's search


@dataclass
class SearchResult:
    """What a search found: the best move and its line, from the side to move."""

    best: str | None  # LAN, None when the side to move has no move
    pv: list[str]
    value: float  # root value in [-1, 1] from the side to move
    simulations: int  # simulations of this search (reused ones not counted)
    seconds: float
    depth: int
    seldepth: int
    mate: int | None = None  # plies to a mate along the pv, signed as the UCI "mate" score
    lines: list[tuple[str, int, float]] = field(default_factory=list)  # (lan, visits, value) best first

    @property
    def ponder(self) -> str | None:
        return self.pv[1] if len(self.pv) > 1 else None


class SearchSession:
    """The agent's search over one game, keeping its tree from move to move.

    ``set_position(width, height, start_fen, moves)`` (or ``set_game``) brings the tree to a
    position (``Search.step`` when the moves continue the previous position, a fresh tree
    otherwise); ``search(limit)`` runs the search until the limit and reads the results.
    ``c_puct`` None plays with the agent's own weight; ``leaves`` is the positions per network
    call, kept apart by virtual loss; ``simulations`` is the most one search may run (a Gumbel
    root plans its halving over it, so give the node budget there).
    """

    def __init__(self, agent: Any, *, c_puct: float | None = None, seed: int = 0, simulations: int = UNBOUNDED,
                 leaves: int = 1) -> None:
        self.agent = agent
        self.settings = play_settings(agent)
        self.c_puct = self.settings["c_puct"] if c_puct is None else float(c_puct)
        self.leaves = leaves
        self.simulations = simulations
        self.seed = seed
        self.batch: Any = None
        self.search_: Any = None
        self.size: tuple[int, int] | None = None
        self.start: str | None = None
        self.moves: list[str] = []
        self.game: murkle_chess.Game | None = None  # the batch's game, mirrored

    # -- position

    def set_game(self, game: murkle_chess.Game) -> None:
        """Moves the tree to a copy of ``game``: the kept tree when ``game`` is the session's
        position or one or two moves on from it (the agent's move and the reply), else a fresh
        one."""
        from .agent import check_can_play

        check_can_play(self.agent, game.width(), game.height())
        path = self._path_to(game)
        if path is not None:
            try:
                if self._step(path):
                    return
            except Exception:  # the fresh tree below is exact
                pass
        self._fresh(game.clone(), game.width(), game.height(), None, [])

    def _path_to(self, game: murkle_chess.Game) -> list[str] | None:
        """The moves (at most two) from the session's position to ``game``'s, or None."""
        mine = self.game
        if mine is None or (mine.width(), mine.height()) != (game.width(), game.height()):
            return None
        target = game.to_fen()
        if mine.to_fen() == target:
            return []
        for first in mine.legal_moves():
            mine.make_move(first)
            try:
                if mine.to_fen() == target:
                    return [first.to_lan()]
                for second in mine.legal_moves():
                    mine.make_move(second)
                    found = mine.to_fen() == target
                    mine.unmake_move()
                    if found:
                        return [first.to_lan(), second.to_lan()]
            finally:
                mine.unmake_move()
        return None

    def set_position(self, width: int, height: int, start_fen: str, moves: Sequence[str]) -> None:
        """Moves the tree to ``start_fen`` (a board of width x height) followed by ``moves``
        (LAN); ValueError names an illegal move or a board the agent cannot play."""
        from .agent import check_can_play

        check_can_play(self.agent, width, height)
        moves = list(moves)
        continues = (self.game is not None and self.size == (width, height) and self.start == start_fen
                     and moves[:len(self.moves)] == self.moves)
        if continues:
            try:
                continues = self._step(moves[len(self.moves):])
            except Exception:  # whatever went wrong, the fresh tree below is exact (or says why not)
                continues = False
        if not continues:
            self._fresh(play_moves(new_game(width, height, start_fen), moves), width, height, start_fen, moves)

    def _fresh(self, game: murkle_chess.Game, width: int, height: int, start: str | None, moves: list[str]) -> None:
        from .agent import planes_read

        if self.size != (width, height):
            self.batch = murkle_rl.GameBatch(1, width, height, castling=game.castling_enabled(), threads=1,
                                             seed=self.seed, planes=planes_read(self.agent))
            self.size = (width, height)
        self.batch.set_game(0, game)
        # a new tree: a search left unfinished would go on with its old tree after set_game
        self.search_ = make_search(self.settings, self.batch, self.simulations, self.seed, c_puct=self.c_puct,
                                   leaves=self.leaves)
        self.game = game.clone()
        self.start = start
        self.moves = list(moves)

    def _step(self, moves: list[str]) -> bool:
        """Plays moves through the search, keeping the tree; False where the batch would not
        follow (a finished game restarts at its next step)."""
        assert self.game is not None
        for lan in moves:
            if self.game.is_over():
                return False
            move = legal_by_lan(self.game).get(lan)
            if move is None:
                raise ValueError(f"illegal move {lan} in {self.game.to_fen()}")
            self.search_.step(np.array([murkle_rl.encode_action(self.game, move)], np.int64))
            self.game.make_move(move)
            self.moves.append(lan)
        return True

    # -- search

    def search(self, limit: Limit | None = None, multipv: int = 1,
               on_info: Callable[[SearchResult], None] | None = None, info_every: float = 1.0, *,
               nodes: int | None = None) -> SearchResult:
        """Searches the current position until ``limit`` (``nodes`` alone is short for
        ``Limit(nodes=...)``; neither: the session's ``simulations``), at least one simulation.
        ``on_info`` gets the results so far every ``info_every`` seconds."""
        assert self.game is not None and self.search_ is not None, "no position set"
        limit = limit or Limit(nodes=self.simulations if nodes is None else nodes)
        started = time.monotonic()
        game = self.game
        if not game.legal_moves():
            return SearchResult(None, [], -1.0 if game.is_check() else 0.0, 0, 0.0, 0, 0)
        if game.is_over():  # drawn by the rules but moves remain: the network's choice
            return self._network_move(started)
        ends = self._ending_moves()
        if ends is not None:  # every move ends the game: no tree to grow
            return ends
        if self.settings["gumbel"] and limit.nodes is not None and limit.nodes != self.search_.simulations:
            # a Gumbel root plans its halving over the search's budget, and keeps no tree
            self.simulations = limit.nodes
            self._fresh(game.clone(), game.width(), game.height(), self.start, self.moves)
        last_info = [started]

        def report(progress: Progress) -> None:
            now = time.monotonic()
            if on_info is not None and now - last_info[0] >= info_every:
                last_info[0] = now
                on_info(self.result(progress.simulations, now - started, multipv))

        progress = run(self.search_, self.agent, limit, min_simulations=1, on_round=report, count=True)
        return self.result(progress.simulations, time.monotonic() - started, multipv)

    def choose(self, temperature: float = 0.0) -> murkle_chess.Move | None:
        """A move of the last search: the most visited (0), or drawn in proportion to the visits
        (1); None with no move."""
        assert self.game is not None
        action = int(self.search_.choose(temperature)[0])
        return None if action < 0 else murkle_rl.decode_action(self.game, action)

    def _ending_moves(self) -> SearchResult | None:
        """When every legal move ends the game: the best of them (a mate, else a draw)."""
        game = self.game
        assert game is not None
        best, best_value = None, -2.0
        for move in game.legal_moves():
            game.make_move(move)
            try:
                if not game.is_over():
                    return None
                value = -float(game.reward_from_perspective(game.turn()))
            finally:
                game.unmake_move()
            if value > best_value:
                best, best_value = move.to_lan(), value
        assert best is not None
        return SearchResult(best, [best], best_value, 0, 0.0, 1, 1, 1 if best_value > 0 else None)

    def _network_move(self, started: float) -> SearchResult:
        assert self.game is not None
        # drawn by the rules with moves left: the batch has finished the game, the rules list its moves
        masks = murkle_rl.legal_action_mask(self.game)[None]
        best = murkle_rl.decode_action(self.game, int(network_actions(self.agent, self.batch, masks)[0])).to_lan()
        _, values = self.agent(self.batch.planes())
        v = float(np.asarray(values).reshape(-1)[0])
        return SearchResult(best, [best], v, 0, time.monotonic() - started, 1, 1)

    def result(self, simulations: int, seconds: float, multipv: int = 1) -> SearchResult:
        """The results so far of the current search."""
        game = self.game
        assert game is not None
        search = self.search_
        visits = search.visits()[0]
        value = float(search.root_values()[0])
        best_action = int(search.choose(0.0)[0])
        visited = np.flatnonzero(visits)
        visited = visited[np.argsort(-visits[visited], kind="stable")]
        order = [best_action] + [int(a) for a in visited if a != best_action]
        pv_actions = chosen_line(search, best_action)
        pv = line_text(game, pv_actions)
        lines = []
        for a in order[:max(1, multipv)]:
            lan = murkle_rl.decode_action(game, int(a)).to_lan()
            lines.append((lan, int(visits[a]), value if int(a) == best_action else self._child_value(int(a))))
        return SearchResult(pv[0] if pv else None, pv, value, simulations, seconds, len(pv),
                            max(search.max_depth(0), len(pv)), mate_along(game, pv_actions), lines)

    def _child_value(self, action: int) -> float:
        """The value of a root move other than the best, from the side to move at the root: the
        network's value of the position after it, read from the planes the network reads (the
        search exposes no per-child value)."""
        game = self.game
        assert game is not None
        child = game.clone()
        child.make_move(murkle_rl.decode_action(game, action))
        if child.is_over():
            return -float(child.reward_from_perspective(child.turn()))
        probe = murkle_rl.GameBatch(1, game.width(), game.height(), castling=game.castling_enabled(), threads=1,
                                    planes=self.batch.plane_indices)
        probe.set_game(0, child)
        _, values = self.agent(probe.planes())
        return -float(np.asarray(values).reshape(-1)[0])


# ------------------------------------------------------------------ lines


def chosen_line(search: Any, best: int, plies: int = 64) -> list[int]:
    """The line the search of game 0 found after its chosen move ``best`` (full actions): the
    most visited line when it starts with that move, else the move alone. The two differ where a
    Gumbel root breaks a tie in visits by its own score, or before any simulation has reached a
    child."""
    line = [int(a) for a in search.principal_variation(0, plies)]
    if line and line[0] == best:
        return line
    return [best] if best >= 0 else []


def line_text(game: murkle_chess.Game, line: Any) -> list[str]:
    """A line of full actions, Moves or LAN texts from ``game`` as LAN texts, up to its first
    move that is not legal."""
    out, probe = [], game.clone()
    for item in line:
        if isinstance(item, str):
            move = probe.move_from_lan(item)
        elif isinstance(item, murkle_chess.Move):
            move = item
        else:
            move = murkle_rl.decode_action(probe, int(item))
        if not probe.make_move(move):
            break
        out.append(str(move))
    return out


def mate_along(game: murkle_chess.Game, actions: list[int]) -> int | None:
    """UCI mate score when the line ends in checkmate: +n moves when the side to move mates."""
    g = game.clone()
    for a in actions:
        g.make_move(murkle_rl.decode_action(g, int(a)))
    if not actions or not g.is_checkmate():
        return None
    plies = len(actions)
    return (plies + 1) // 2 if plies % 2 == 1 else -(plies // 2)
