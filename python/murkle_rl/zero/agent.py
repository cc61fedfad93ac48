"""The agent as every front end sees it: a network behind one call, and the search that picks a move.

An *agent* is any callable ``agent(planes, mask) -> (logits, values)`` with the attributes
``width``, ``height`` and ``action_planes``: it takes the 105 input planes float32
``(k, 105, H, W)`` of k positions (``mask`` may be None) and answers logits over the full
actions ``(k, A)`` and values ``(k,)`` in [-1, 1] from the side to move, exactly what
:meth:`murkle_rl.Search.run` calls. A network's policy head fixes the number of move planes, so
an agent plays every board with the same ``action_planes`` (``8 * max(width, height) + 18``).

This module imports no network library: :class:`UniformAgent` needs none, and
:func:`load_agent` imports PyTorch only when it reads a file.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Protocol

import numpy as np

import murkle_chess

__all__ = ["Agent", "UniformAgent", "load_agent", "can_play"]


class Agent(Protocol):
    width: int
    height: int
    action_planes: int

    def __call__(self, planes: np.ndarray, mask: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]: ...


def can_play(agent: Agent, width: int, height: int) -> bool:
    """Whether the agent's policy head fits a board of width x height."""
    return murkle_chess.Game.get_move_planes_count(width, height) == agent.action_planes


class UniformAgent:
    """No network: uniform logits and value 0, so the search alone picks the moves. Plays any
    board size."""

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
