"""Matches and scores: the agent against a random and a greedy mover, and Elo with its interval.

No PyTorch here: an agent is any callable of the :mod:`murkle_rl.zero.agent` contract.
Matches stop early, with the games finished so far counted, at a wall-clock deadline or when
``stop()`` says so (Ctrl-C).
"""

from __future__ import annotations

import argparse
import functools
import time
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

import murkle_chess
import murkle_rl

from .agent import piece_planes, planes_read
from .config import PIECE_VALUES, Config
from .play import Stopped, batch_actions, play_settings
from .records import GameRecord, MatchResult, elo, record_of, score

__all__ = ["random_mover", "greedy_mover", "OPPONENTS", "play_match", "evaluate_agent", "parse_budgets",
           "MatchResult", "elo", "score"]


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
    settings = play_settings(cfg)
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
                result.stopped, result.reason = True, "the deadline" if not (stop and stop()) else "a stop request"
                return result
            batch = half.batch
            agent_turn = (batch.turns()[0] == murkle_chess.WHITE) == half.agent_white  # the games move in step
            if agent_turn:
                try:
                    actions, _ = batch_actions(agent, settings, batch, simulations, int(rng.integers(2**63)), stop=halt)
                except Stopped:
                    result.stopped, result.reason = True, "the deadline" if not (stop and stop()) else "a stop request"
                    return result
            else:
                actions = OPPONENTS[opponent](batch, rng)
            for moves, a in zip(half.moves, actions):
                moves.append(int(a))
            rewards, done, _ = batch.step(actions)
            for i in np.flatnonzero(done):
                players = (name, opponent) if half.agent_white else (opponent, name)
                result.add(record_of(half.starts[i], half.moves[i], float(rewards[i]), *players,
                                     agent_white=half.agent_white))
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
