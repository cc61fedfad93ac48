"""Two-player chess on any board size as a PettingZoo AEC environment.

Made by :func:`murkle_rl.env`; this module imports PettingZoo and Gymnasium, which the rest of
``murkle_rl`` does not need (``pip install 'murkle_chess[pettingzoo]'``).

Conventions (those of PettingZoo's classic board games):

- agents ``"player_0"`` (White) and ``"player_1"`` (Black); the side to move is
  ``agent_selection``, so a FEN with Black to move starts with ``"player_1"``;
- observation of an agent: a dict with ``"observation"``, the 105 input planes as float32 in
  (height, width, 105) order seen from that agent's side, and ``"action_mask"``, int8 over the
  full action space (1 for each legal action of the agent to move, all 0 for the other agent
  and once the game is over);
- actions are full actions of :mod:`murkle_rl` (``plane * height * width + row * width + col``
  of the move's source square), ``Discrete(P * height * width)`` with
  ``P = 8 * max(width, height) + 18``;
- rewards are 0 until the game ends, then +1 to the winner and -1 to the loser (0 both for a
  draw); a game that reaches ``max_plies`` is truncated with reward 0;
- an action that is not legal raises ``ValueError`` and changes nothing.
"""

from __future__ import annotations

import operator
from typing import Any

import gymnasium
import numpy as np
from gymnasium import spaces
from numpy.typing import NDArray
from pettingzoo import AECEnv  # type: ignore[import-untyped]
from pettingzoo.utils import wrappers  # type: ignore[import-untyped]

import murkle_chess

from . import drawing
from ._core import GameBatch
from .board_image import board_image
from .sides import OTHER_SIDE as _OTHER_SIDE
from .sides import WHITE_TO_MOVE as _WHITE_TO_MOVE

__all__ = ["env", "raw_env", "board_image"]

PLANES = 105
AGENTS = ("player_0", "player_1")
RENDER_MODES = ("human", "ansi", "rgb_array")


def env(
    width: int = 8,
    height: int = 8,
    fen: str | None = None,
    render_mode: str | None = None,
    max_plies: int | None = None,
    castling: bool | None = None,
) -> AECEnv[str, Observation, int]:
    """A chess game of width x height as a PettingZoo AEC environment.

    The :class:`raw_env` wrapped in PettingZoo's ``OrderEnforcingWrapper`` (no call before
    ``reset``). The arguments are those of :class:`raw_env`: width and height (int), fen (str
    or None), render_mode (str or None), max_plies (int or None) and castling (bool or None).
    """
    return wrappers.OrderEnforcingWrapper(
        raw_env(width, height, fen=fen, render_mode=render_mode, max_plies=max_plies, castling=castling)
    )


Observation = dict[str, NDArray[Any]]


class raw_env(AECEnv[str, Observation, int]):
    """Chess on a width x height board (1 to 32 rows, at most 1024 squares) for two agents.

    Args:
        width, height: the board size (int).
        fen: the start position; None for ``murkle_rl.start_fen(width, height)`` (the standard
            position on 8x8). ValueError with the engine's message when it does not parse, and
            for None on a board without a playable start (1x2, 2x1, 1x3, 3x1 and 2x2).
        render_mode: None, ``"human"`` (prints the board picture), ``"ansi"`` (returns it) or
            ``"rgb_array"`` (returns a uint8 image, White at the bottom).
        max_plies: plies (int) after which a game that goes on is truncated (reward 0); None
            leaves the end to the rules (checkmate, stalemate, insufficient material, the
            150-ply move clock).
        castling: None allows castling on 8x8 only.
    """

    metadata: dict[str, Any] = {
        "render_modes": list(RENDER_MODES),
        "name": "murkle_chess_v0",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(
        self,
        width: int = 8,
        height: int = 8,
        fen: str | None = None,
        render_mode: str | None = None,
        max_plies: int | None = None,
        castling: bool | None = None,
    ) -> None:
        super().__init__()
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(
                f"render_mode must be None or one of {', '.join(map(repr, RENDER_MODES))}, got {render_mode!r}"
            )
        if max_plies is not None and max_plies < 1:
            raise ValueError(f"max_plies must be at least 1 or None, got {max_plies}")
        # The engine checks the size and the FEN (ValueError with its message).
        self._batch = GameBatch(1, width, height, fen=fen, castling=castling, threads=1, seed=0)
        if fen is None and self._batch.game(0).is_over():
            raise ValueError(
                f"a {width}x{height} board has no playable start position (two kings need room and something "
                "to play with); pass a fen to play a decided game there"
            )
        self.width, self.height = width, height
        self.render_mode = render_mode
        self.max_plies = max_plies
        self.num_actions: int = self._batch.num_actions

        self.possible_agents = list(AGENTS)
        self.agents: list[str] = []
        high = np.ones((height, width, PLANES), np.float32)
        high[:, :, [99, 104]] = np.finfo(np.float32).max  # move number / 100, move clock / 50
        observation_space = spaces.Dict(
            {
                "observation": spaces.Box(low=0.0, high=high, dtype=np.float32),
                "action_mask": spaces.Box(low=0, high=1, shape=(self.num_actions,), dtype=np.int8),
            }
        )
        self.observation_spaces = {a: observation_space for a in AGENTS}
        self.action_spaces = {a: spaces.Discrete(self.num_actions) for a in AGENTS}
        self.rewards: dict[str, float] = {}
        self._cumulative_rewards: dict[str, float] = {}
        self.terminations: dict[str, bool] = {}
        self.truncations: dict[str, bool] = {}
        self.infos: dict[str, dict[str, Any]] = {}
        self.agent_selection = AGENTS[0]
        self._plies = 0
        self._planes: NDArray[np.float32] | None = None  # (105, h, w) of the current position
        self._mask: NDArray[np.bool_] | None = None  # flat legal actions of the side to move

    # ------------------------------------------------------------------ spaces

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        """The observation space of ``agent`` (a name in ``possible_agents``): a ``Dict`` of
        "observation" ``Box`` float32 (height, width, 105) and "action_mask" ``Box`` int8
        (num_actions,); the same object on every call."""
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        """The action space of ``agent``: ``Discrete(num_actions)`` over the full actions, with
        ``num_actions = P * height * width``; the same object on every call."""
        return self.action_spaces[agent]

    # ------------------------------------------------------------------ state

    @property
    def game(self) -> murkle_chess.Game:
        """A copy of the current game as a ``murkle_chess.Game`` (history included)."""
        return self._batch.game(0)

    @property
    def plies(self) -> int:
        """Plies played since the last reset (int)."""
        return self._plies

    def _current_planes(self) -> NDArray[np.float32]:
        if self._planes is None:
            self._planes = self._batch.planes()[0]
        return self._planes

    def _current_mask(self) -> NDArray[np.bool_]:
        if self._mask is None:
            self._mask = self._batch.legal_mask().reshape(-1)
        return self._mask

    def _white_to_move(self) -> bool:
        return bool(self._current_planes()[_WHITE_TO_MOVE, 0, 0])

    def _mover(self) -> str:
        return AGENTS[0] if self._white_to_move() else AGENTS[1]

    # ------------------------------------------------------------------ AEC API

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        """Starts the game again from the start position.

        seed: an int that seeds the agents' action spaces (``seed`` and ``seed + 1``), or None.
        options: accepted for the API and ignored.
        """
        self._batch.reset()
        self._planes = self._mask = None
        self._plies = 0
        if seed is not None:
            for i, agent in enumerate(AGENTS):
                self.action_spaces[agent].seed(seed + i)
        self.agents = list(AGENTS)
        self.rewards = dict.fromkeys(AGENTS, 0.0)
        self._cumulative_rewards = dict.fromkeys(AGENTS, 0.0)
        self.terminations = dict.fromkeys(AGENTS, False)
        self.truncations = dict.fromkeys(AGENTS, False)
        self.infos = {a: {} for a in AGENTS}
        self.agent_selection = self._mover()
        game = self._batch.game(0)
        if game.is_over():  # a decided start FEN
            self._finish(game.reward_absolute())
            self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def observe(self, agent: str) -> Observation:
        """The observation of ``agent``, a dict of new arrays.

        "observation": float32 (height, width, 105), the input planes with ``agent``'s pieces
        in planes 0-5 and the opponent's in 6-11. "action_mask": int8 (num_actions,), 1 at the
        legal full actions when ``agent`` is to move and not done, else all 0.
        """
        planes = self._current_planes()
        if (agent == AGENTS[0]) != self._white_to_move():
            planes = planes[_OTHER_SIDE]
        mask = np.zeros(self.num_actions, np.int8)
        if agent == self.agent_selection and not (self.terminations[agent] or self.truncations[agent]):
            mask[self._current_mask()] = 1
        return {"observation": np.ascontiguousarray(planes.transpose(1, 2, 0)), "action_mask": mask}

    def step(self, action: int | None) -> None:
        """Plays a full action for ``agent_selection``.

        action: an int full action (``p * height * width + row * width + col``) where the
        agent's "action_mask" is 1, or None once that agent is done. ValueError, with nothing
        changed, for an action that is not legal in the position.
        """
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        if action is None:
            raise ValueError(f"{agent} is to move: step needs an action, got None")
        a = operator.index(action)
        if not 0 <= a < self.num_actions:
            raise ValueError(f"action {a} is out of range: the action space has {self.num_actions} actions")
        if not self._current_mask()[a]:
            side = "White" if agent == AGENTS[0] else "Black"
            raise ValueError(
                f"action {a} is not legal for {agent} ({side}) in this position; "
                "legal actions are those where observation['action_mask'] is 1"
            )
        reward, done, _ = self._batch.step(np.array([a], np.int64))
        self._planes = self._mask = None
        self._plies += 1
        self._cumulative_rewards[agent] = 0.0
        self._clear_rewards()
        self.agent_selection = AGENTS[1] if agent == AGENTS[0] else AGENTS[0]
        if done[0]:
            self._finish(float(reward[0]))
        elif self.max_plies is not None and self._plies >= self.max_plies:
            self.truncations = dict.fromkeys(self.agents, True)
        self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def _finish(self, white_reward: float) -> None:
        self.terminations = dict.fromkeys(self.agents, True)
        self.rewards = {AGENTS[0]: white_reward, AGENTS[1]: -white_reward}
        if white_reward == 0.0:  # no negative zero for a draw
            self.rewards = dict.fromkeys(AGENTS, 0.0)

    # ------------------------------------------------------------------ rendering

    def render(self) -> str | NDArray[np.uint8] | None:
        """Draws the position as ``render_mode`` says: "human" prints the board picture and
        returns None, "ansi" returns it as a str, "rgb_array" returns a uint8 image (H, W, 3):
        the picture of :func:`murkle_rl.svg` (coordinates, last move, check) when the ``svg``
        extra (resvg-py and Pillow) is installed, else the plainer ``board_image`` of the
        planes, (height * cell, width * cell, 3). Either way every frame of one env has the same
        shape."""
        if self.render_mode is None:
            gymnasium.logger.warn("render() was called without a render_mode; pass render_mode to env()")
            return None
        if self.render_mode == "rgb_array":
            if drawing.can_rasterise():
                return drawing.rgb_array(self._batch.game(0), lastmove=True)
            return board_image(self._current_planes())
        picture = str(self._batch.game(0)).split("\n", 1)[1]  # below the status line
        if self.render_mode == "ansi":
            return picture
        print(picture)
        return None

    def close(self) -> None:
        """Nothing to release: the game lives in memory only."""
