"""Matches and scores: the agent against a random and a greedy mover, and Elo with its interval.

No PyTorch here: an agent is any callable of the :mod:`murkle_rl.zero.agent` contract.
Matches stop early, with the games finished so far counted, at a wall-clock deadline or when
``stop()`` says so (Ctrl-C).
"""

from __future__ import annotations

import argparse
import functools
import math
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

import murkle_chess
import murkle_rl

from .agent import piece_planes, planes_read, play_search, think
from .config import PIECE_VALUES, Config
from .games import GameRecord, record_of


def random_mover(batch: Any, rng: np.random.Generator) -> np.ndarray:
    """A legal move at random in every game."""
    return batch.random_actions()


def greedy_mover(batch: Any, rng: np.random.Generator) -> np.ndarray:
    """Takes the most valuable piece it can (an en-passant capture takes a pawn); otherwise, or
    among equal captures, a move at random."""
    planes = piece_planes(batch)
    victims = np.tensordot(PIECE_VALUES, planes[:, 6:12], axes=(0, 1))  # (n, H, W): the other side's pieces
    actions = batch.random_actions()
    for i in np.flatnonzero(actions >= 0):
        game = batch.game(int(i))
        best, choices = 0.0, []
        for move in game.legal_moves():
            (sc, sr), (dc, dr) = move.src_square(), move.dst_square()
            value = victims[i, dr, dc]
            if value == 0 and sc != dc and planes[i, 0, sr, sc] > 0:  # a pawn moving diagonally: en passant
                value = 1.0
            if value > best:
                best, choices = value, [move]
            elif value == best and value > 0:
                choices.append(move)
        if choices:
            actions[i] = murkle_rl.encode_action(game, choices[int(rng.integers(len(choices)))])
    return actions


OPPONENTS = {"random": random_mover, "greedy": greedy_mover}


class Stopped(Exception):
    """A search given up because its caller asked to stop."""


def search_moves(search: Any, agent: Any, planes: np.ndarray, stop: Callable[[], bool] | None = None) -> None:
    """Runs a search to its end with the agent (no legal masks written). Raises Stopped, the
    search's waiting leaves dropped, once ``stop()`` is true."""
    while (k := search.select(planes)) > 0:
        if stop is not None and stop():
            search.cancel()
            raise Stopped
        logits, values = agent(planes[:k])
        search.expand(logits, values)


def agent_moves(agent: Any, cfg: Config, batch: Any, simulations: int, seed: int,
                stop: Callable[[], bool] | None = None) -> tuple[np.ndarray, Any]:
    """The agent's move in every game of the batch: the best after a search of ``simulations``
    (PUCT, or Gumbel with ``cfg.eval_gumbel``), or with 0 the legal move the network likes best.
    Returns the actions (-1 for a game over) and the search (None with 0 simulations). Raises
    Stopped when ``stop()`` turns true during the search."""
    n = batch.n
    if simulations == 0:
        logits, _ = agent(batch.planes())
        logits = np.array(logits, np.float32)
        logits[~batch.legal_mask().reshape(n, -1)] = -np.inf
        actions = logits.argmax(1)
        return np.where(batch.random_actions() >= 0, actions, -1), None
    search = play_search(cfg, batch, simulations, seed)
    planes = np.zeros((n, len(batch.plane_indices), batch.height, batch.width), np.float32)
    search_moves(search, agent, planes, stop)
    return search.choose(0.0), search


def choose_move(agent: Any, game: murkle_chess.Game, simulations: int, seed: int = 0) -> murkle_chess.Move:
    """The move the agent plays in a single game (searching with the options of ``agent.cfg``
    when it has them). Raises ValueError for a game that is over or a board the agent's policy
    head does not fit."""
    if game.is_over():
        raise ValueError("the game is over")
    move = think(agent, game, simulations, seed).move
    assert move is not None  # a game not over has a legal move
    return move


@dataclass
class MatchResult:
    """Wins, draws and losses of the agent, and the games played (as records)."""

    wins: int = 0
    draws: int = 0
    losses: int = 0
    games: list[GameRecord] = field(default_factory=list)
    stopped: bool = False  # ended early (deadline or stop request): the counts are the games finished

    def counts(self) -> dict[str, int]:
        return {"wins": self.wins, "draws": self.draws, "losses": self.losses}

    @property
    def played(self) -> int:
        return self.wins + self.draws + self.losses


def play_match(agent: Any, cfg: Config, opponent: str, games: int, simulations: int, seed: int,
               deadline: float | None = None, stop: Callable[[], bool] | None = None,
               progress: Callable[[MatchResult], None] | None = None, name: str = "agent") -> MatchResult:
    """``games`` games against an opponent, the agent White in half of them (the extra one) and
    Black in the others, both halves played side by side. Stops early at ``deadline``
    (``time.monotonic()``) or once ``stop()`` is true, even in the middle of a search, counting
    only the games finished.
    ``progress`` is called after every move with the result so far."""
    rng = np.random.default_rng(seed)
    result = MatchResult()
    halves = []
    for agent_white, count in ((True, (games + 1) // 2), (False, games // 2)):
        if count:
            batch = murkle_rl.GameBatch(count, cfg.width, cfg.height, seed=int(rng.integers(2**63)),
                                        max_plies=cfg.eval_max_plies, threads=cfg.threads or None,
                                        planes=planes_read(agent))
            halves.append(_Half(batch, agent_white, [batch.game(i) for i in range(count)], [[] for _ in range(count)]))

    def halt() -> bool:
        return (stop is not None and stop()) or (deadline is not None and time.monotonic() >= deadline)

    while halves:
        for half in list(halves):
            if halt():
                result.stopped = True
                return result
            batch = half.batch
            agent_turn = (batch.turns()[0] == murkle_chess.WHITE) == half.agent_white  # the games move in step
            if agent_turn:
                try:
                    actions, _ = agent_moves(agent, cfg, batch, simulations, int(rng.integers(2**63)), stop=halt)
                except Stopped:
                    result.stopped = True
                    return result
            else:
                actions = OPPONENTS[opponent](batch, rng)
            for moves, a in zip(half.moves, actions):
                moves.append(int(a))
            rewards, done, _ = batch.step(actions)
            for i in np.flatnonzero(done):
                r = float(rewards[i])
                mine = r if half.agent_white else -r
                if mine > 0:
                    result.wins += 1
                elif mine < 0:
                    result.losses += 1
                else:
                    result.draws += 1
                players = (name, opponent) if half.agent_white else (opponent, name)
                result.games.append(record_of(half.starts[i], half.moves[i], r, *players))
            if done.all():
                halves.remove(half)
            elif done.any():  # keep the games still running; the others would restart
                keep = np.flatnonzero(~done)
                half.batch = rebatch(batch, keep, cfg)
                half.starts = [half.starts[i] for i in keep]
                half.moves = [half.moves[i] for i in keep]
            if progress is not None:
                progress(result)
    return result


@dataclass
class _Half:
    """The games of a match in which the agent has one colour: their batch, starts and moves."""

    batch: Any
    agent_white: bool
    starts: list[murkle_chess.Game]
    moves: list[list[int]]


def rebatch(batch: Any, keep: np.ndarray, cfg: Config) -> Any:
    """A batch of the games ``keep`` of ``batch``, with its planes."""
    new = murkle_rl.GameBatch(len(keep), cfg.width, cfg.height, seed=0, max_plies=cfg.eval_max_plies,
                              threads=cfg.threads or None, planes=batch.plane_indices)
    for j, i in enumerate(keep):
        new.set_game(j, batch.game(int(i)))
    return new


def evaluate_agent(agent: Any, cfg: Config, games: int, simulations: int, seed: int, seconds: float = 0.0,
                   stop: Callable[[], bool] | None = None,
                   progress: Callable[[str, MatchResult], None] | None = None) -> tuple[dict[str, Any], list[GameRecord]]:
    """Scores against every opponent and the games played: ({"random": score, "random_result":
    {wins...}, ..., "stopped": bool}, games). ``seconds`` (0: no limit) is the wall-clock budget
    of the whole evaluation, shared out between the opponents (time one leaves goes to the
    next); a match cut short counts the games it finished."""
    entry: dict[str, Any] = {"simulations": simulations, "stopped": False}
    records: list[GameRecord] = []
    started = time.monotonic()
    for k, name in enumerate(OPPONENTS):
        deadline = started + seconds * (k + 1) / len(OPPONENTS) if seconds > 0 else None
        result = play_match(agent, cfg, name, games, simulations, seed=seed * 2 + k, deadline=deadline, stop=stop,
                            progress=None if progress is None else functools.partial(progress, name))
        entry[name] = score(result.counts())
        entry[name + "_result"] = result.counts()
        entry["stopped"] |= result.stopped
        records += result.games
    return entry, records


def score(result: dict[str, int]) -> float:
    """Wins + half the draws, over the games (0 with none)."""
    games = sum(result.values())
    return (result["wins"] + 0.5 * result["draws"]) / games if games else 0.0


def parse_budgets(text: str) -> list[int]:
    """A ladder's node budgets from ``"1,10,100"`` (an argparse type: a bad list is a usage
    error naming it)."""
    try:
        budgets = [int(x) for x in text.split(",") if x.strip()]
    except ValueError:
        budgets = []
    if not budgets or min(budgets) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a list of node budgets such as 1,10,100")
    return budgets


def elo(wins: int, draws: int, losses: int, confidence: float = 0.95) -> tuple[float, float, float]:
    """The Elo difference a match result gives, and its confidence interval (default 95%):
    (elo, low, high). The interval comes from the score's standard error over the games
    (a normal approximation, per-game variance from the results themselves). A score of 0 or 1
    gives an infinite bound; no games give (nan, -inf, inf)."""
    n = wins + draws + losses
    if n == 0:
        return math.nan, -math.inf, math.inf
    p = (wins + 0.5 * draws) / n
    var = (wins * (1 - p) ** 2 + draws * (0.5 - p) ** 2 + losses * p ** 2) / n
    z = _normal_quantile(0.5 + confidence / 2)
    se = math.sqrt(var / n)
    return elo_of_score(p), elo_of_score(p - z * se), elo_of_score(p + z * se)


def elo_of_score(p: float) -> float:
    """The Elo difference whose expected score is p (±inf at 0 and 1)."""
    if p <= 0:
        return -math.inf
    if p >= 1:
        return math.inf
    return -400 * math.log10(1 / p - 1) + 0.0  # + 0.0: no -0 at an even score


def _normal_quantile(q: float) -> float:
    from statistics import NormalDist

    return NormalDist().inv_cdf(q)
