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

from .play import Limit, SearchSession, line_text, play_settings
from .rules import check_size

__all__ = ["Agent", "UniformAgent", "load_agent", "agent_from", "shipped_agent", "SHIPPED", "can_play", "check_can_play", "planes_read",
           "piece_planes", "play_c_puct", "Thought", "think", "line_text"]


class Agent(Protocol):
    width: int
    height: int
    action_planes: int

    def __call__(self, planes: np.ndarray, mask: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]: ...


def can_play(agent: Agent, width: int, height: int) -> bool:
    """Whether the agent plays width x height: an agent of any size (``any_size``: the uniform
    agent, a network trained for every board) up to its ``max_side``, else one whose policy
    head has the board's move planes."""
    if getattr(agent, "any_size", False):
        return max(width, height) <= getattr(agent, "max_side", max(width, height))
    return murkle_chess.Game.get_move_planes_count(width, height) == agent.action_planes


def check_can_play(agent: Agent, width: int, height: int) -> None:
    """ValueError, said plainly, when the agent cannot play width x height."""
    check_size(width, height)
    if not can_play(agent, width, height):
        if getattr(agent, "any_size", False):
            raise ValueError(f"this agent plays boards of at most {getattr(agent, 'max_side', '?')} rows and columns, "
                             f"not {width}x{height}")
        raise ValueError(f"this agent plays boards with {agent.action_planes} move planes "
                         f"(trained on {agent.width}x{agent.height}), not {width}x{height}")


def play_c_puct(agent: Any) -> float:
    """The PUCT exploration weight of the agent's search in play: its configuration's
    ``eval_c_puct``, or the default for an agent that has none."""
    return float(play_settings(agent)["c_puct"])


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


# The agents shipped in the package: one network, trained by murkle-zero on 6x6 and 8x8 at once,
# that plays any board; each name is the board it is meant for (the lab notebook has its command
# and ladder).
SHIPPED_FILE = Path(__file__).with_name("agents") / "any-size.pt"
SHIPPED = {"6x6": (6, 6), "8x8": (8, 8)}


def shipped_agent(name: str, threads: int = 1) -> Any:
    """A shipped agent by name (``"6x6"``, ``"8x8"``): its ``width`` and ``height`` are the
    name's board, which it plays without further options. Needs the ``train`` extra."""
    if name not in SHIPPED:
        raise ValueError(f"no shipped agent {name[:20]!r}: the shipped agents are {', '.join(SHIPPED)}")
    if not SHIPPED_FILE.is_file():
        raise FileNotFoundError(f"this installation ships no agent ({SHIPPED_FILE} is missing)")
    agent = load_agent(SHIPPED_FILE, threads=threads)
    agent.width, agent.height = SHIPPED[name]
    return agent


def agent_from(checkpoint: str | Path | None = None, *, uniform: bool = False, width: int = 8, height: int = 8,
               threads: int = 1, shipped: str | None = None) -> Any:
    """The agent a front end plays with: a shipped agent by name (``shipped``), the trained
    agent of ``checkpoint`` (a run directory, checkpoint or agent file), or with ``uniform`` or
    neither the search alone (:class:`UniformAgent`, on width x height by default)."""
    if uniform:
        return UniformAgent(width, height)
    if shipped:
        return shipped_agent(shipped, threads)
    if checkpoint:
        return load_agent(checkpoint, threads=threads)
    return UniformAgent(width, height)


@dataclass
class Thought:
    """What the agent found: its move (None when it has none), the searched value from its own
    side in [-1, 1], its best line in LAN (the move first) and the simulations run."""

    move: murkle_chess.Move | None
    value: float
    line: list[str]
    simulations: int


def think(agent: Agent, game: murkle_chess.Game, simulations: int, seed: int = 0, temperature: float = 0.0,
          session: SearchSession | None = None, limit: Limit | None = None) -> Thought:
    """The agent's move in ``game`` after a search of ``simulations`` simulations (or until
    ``limit``), at ``temperature`` (0: the most visited move; 1: drawn in proportion to the
    visits). The game is not changed. A ``session`` keeps the tree between calls (a new one
    otherwise). Raises ValueError for a board the agent cannot play."""
    check_can_play(agent, game.width(), game.height())
    if session is None:
        session = SearchSession(agent, seed=seed, simulations=max(1, int(simulations)))
    session.set_game(game)
    result = session.search(limit or Limit(nodes=max(1, int(simulations))))
    if result.best is None:
        return Thought(None, result.value, [], result.simulations)
    move = session.choose(temperature) if temperature > 0 and result.simulations > 0 else game.move_from_lan(result.best)
    line = result.pv if temperature == 0 or str(move) == result.best else [str(move)]
    return Thought(move, float(result.value), line or [str(move)], result.simulations)
