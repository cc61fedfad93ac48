"""The agent as every front end sees it: a network behind one call, and the search that picks a move.

An *agent* is any callable ``agent(planes, mask) -> (logits, values)`` with the attributes
``width``, ``height`` and ``action_planes``: it takes the 105 input planes float32
``(k, 105, H, W)`` of k positions (``mask`` may be None) and answers logits over the full
actions ``(k, A)`` and values ``(k,)`` in [-1, 1] from the side to move, exactly what
:meth:`murkle_rl.Search.run` calls. An agent with an ``input_planes`` attribute (the plane
indices its network reads, in order) may instead be given just those planes
``(k, len(input_planes), H, W)``, as a GameBatch made with ``planes=agent.input_planes``
writes them; it takes the 105 planes as well, unless it reads attack or check planes (105-124),
which only such a batch writes. A network's policy head fixes the number of move planes, so
an agent plays every board with the same ``action_planes`` (``8 * max(width, height) + 18``).

This module imports no network library: :class:`UniformAgent` needs none, and
:func:`load_agent` imports PyTorch only when it reads a file.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

import numpy as np

import murkle_chess
import murkle_rl

from .config import Config

__all__ = ["Agent", "UniformAgent", "load_agent", "can_play", "planes_read", "piece_planes", "play_c_puct", "play_search",
           "Thought", "think", "line_text"]


class Agent(Protocol):
    width: int
    height: int
    action_planes: int

    def __call__(self, planes: np.ndarray, mask: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]: ...


def can_play(agent: Agent, width: int, height: int) -> bool:
    """Whether the agent plays width x height: its policy head fits the board, or it has no
    network (``any_size``, as the uniform agent)."""
    return getattr(agent, "any_size", False) or murkle_chess.Game.get_move_planes_count(width, height) == agent.action_planes


def play_c_puct(agent: Any) -> float:
    """The PUCT exploration weight of the agent's search in play: its configuration's
    ``eval_c_puct``, or the default for an agent that has none."""
    return float(play_setting(getattr(agent, "cfg", None), "eval_c_puct"))


def play_setting(cfg: Any, name: str) -> Any:
    """A field of an agent's configuration, or its default where ``cfg`` lacks it (or is None)."""
    return getattr(cfg, name, getattr(Config, name))


def play_search(cfg: Any, batch: Any, simulations: int, seed: int) -> Any:
    """The search an agent plays with over ``batch`` (evaluations, play): PUCT with
    ``cfg.eval_c_puct``, or a Gumbel root over ``cfg.max_considered`` moves with
    ``cfg.eval_gumbel``; a field ``cfg`` lacks (or ``cfg`` None) takes its default."""
    return murkle_rl.Search(batch, simulations, c_puct=float(play_setting(cfg, "eval_c_puct")),
                            gumbel=bool(play_setting(cfg, "eval_gumbel")),
                            max_considered=int(play_setting(cfg, "max_considered")), seed=seed)


def planes_read(agent: Any) -> list[int] | None:
    """The input planes an agent reads, for ``GameBatch(planes=...)``: its ``input_planes``, or
    None (all 105) for an agent that names none."""
    planes = getattr(agent, "input_planes", None)
    return None if planes is None else [int(p) for p in planes]


def piece_planes(batch: Any) -> np.ndarray:
    """Planes 0-11 of every game of a batch (the side to move's pieces, then the other side's),
    float32 (n, 12, H, W), whichever planes the batch's observations hold."""
    held = batch.plane_indices
    if all(p in held for p in range(12)):
        return batch.planes()[:, [held.index(p) for p in range(12)]]
    return murkle_rl.planes([batch.game(i) for i in range(batch.n)])[:, :12]


class UniformAgent:
    """No network: uniform logits and value 0, so the search alone picks the moves. Plays any
    board size."""

    any_size = True

    def __init__(self, width: int = 8, height: int = 8) -> None:
        self.width, self.height = width, height
        self.action_planes = murkle_chess.Game.get_move_planes_count(width, height)

    def __call__(self, planes: np.ndarray, mask: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
        k, _, h, w = planes.shape
        actions = murkle_chess.Game.get_move_planes_count(w, h) * h * w
        return np.zeros((k, actions), np.float32), np.zeros(k, np.float32)


def load_agent(path: str | Path, threads: int = 1) -> Any:
    """The agent of a run directory, a resumable checkpoint or a small agent file, on
    ``threads`` PyTorch threads. Needs the ``train`` extra."""
    from .network import load_agent as load  # PyTorch only now

    return load(Path(path), threads=threads)


@dataclass
class Thought:
    """What the agent found: its move (None when it has none), the searched value from its own
    side in [-1, 1], its best line in LAN (the move first) and the simulations run."""

    move: murkle_chess.Move | None
    value: float
    line: list[str]
    simulations: int


def think(agent: Agent, game: murkle_chess.Game, simulations: int, seed: int = 0, temperature: float = 0.0) -> Thought:
    """The agent's move in ``game`` after a search of ``simulations`` simulations (PUCT, or the
    Gumbel root when the agent's training configuration asks for it in play), at
    ``temperature`` (0: the most visited move; 1: drawn in proportion to the visits). The game
    is not changed. Raises ValueError for a board the agent's policy head does not fit."""
    if not can_play(agent, game.width(), game.height()):
        raise ValueError(f"this agent plays boards with {agent.action_planes} move planes "
                         f"(trained on {agent.width}x{agent.height}), not {game.width()}x{game.height()}")
    batch = murkle_rl.GameBatch(1, game.width(), game.height(), castling=game.castling_enabled(), threads=1, seed=seed,
                                planes=planes_read(agent))
    batch.set_game(0, game)
    search = play_search(getattr(agent, "cfg", None), batch, max(1, int(simulations)), seed)
    search.run(agent)
    action = int(search.choose(temperature)[0])
    if action < 0:
        return Thought(None, 0.0, [], simulations)
    move = murkle_rl.decode_action(game, action)
    line = line_text(game, chosen_line(search, action)) if temperature == 0 else []
    return Thought(move, float(search.root_values()[0]), line or [str(move)], simulations)


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
