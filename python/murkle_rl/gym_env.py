"""Chess on any board size as Gymnasium environments: one agent against a fixed opponent.

This module imports Gymnasium, which the rest of ``murkle_rl`` does not need (``pip install
'murkle_chess[pettingzoo]'``). Importing it registers ``"murkle_rl/Chess-v0"``, so that
``gymnasium.make("murkle_rl/Chess-v0", width=6, height=6)`` makes a :class:`ChessEnv` and
``gymnasium.make_vec("murkle_rl/Chess-v0", num_envs=16, vectorization_mode="vector_entry_point")``
a :class:`ChessVectorEnv`; ``gymnasium.make("murkle_rl.gym_env:murkle_rl/Chess-v0")`` imports it
first.

Conventions, shared by both environments:

- observation: the 105 input planes of the position, float32 ``(105, height, width)``, seen from
  the agent's side (its pieces in planes 0-5, the opponent's in 6-11, castling rights likewise;
  plane 98, White to move, stays as it is); a ``Box`` that policies over images or flat vectors
  read directly;
- action: a full action of :mod:`murkle_rl`, ``plane * height * width + row * width + col`` of
  the move's source square, ``Discrete(P * height * width)`` with ``P = 8 * max(width, height) +
  18``; the legal ones are ``info["action_mask"]`` (int8, 1 where legal, what
  ``action_space.sample(mask=...)`` takes) and ``env.action_masks()`` (bool, what
  sb3-contrib's ``MaskablePPO`` reads);
- reward: 0 until the game ends, then +1 when the agent won, -1 when it lost, 0 for a draw;
  ``terminated`` when the rules end the game (checkmate, stalemate, insufficient material, the
  150-ply move clock), ``truncated`` when it reaches ``max_plies`` plies (both sides' moves);
- opponent: ``"random"``, ``"greedy"`` (the most valuable capture, else random), a callable
  ``policy(game) -> move`` (``murkle_chess.Move`` or full action) or ``"uci:COMMAND"`` for a UCI
  engine (:mod:`murkle_rl.opponents`); it answers every move of the agent within the same step;
- ``agent_color``: ``"white"``, ``"black"`` or ``"random"`` (drawn at every reset); when the agent
  plays Black the opponent's first move is made by ``reset``.
"""

from __future__ import annotations

import operator
from typing import Any, Literal

import gymnasium
import numpy as np
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space
from numpy.typing import NDArray

import murkle_chess

from . import drawing
from ._core import GameBatch, decode_action, legal_mask, planes
from .board_image import board_image
from .opponents import OpponentChoice, make_opponent
from .sides import OTHER_SIDE, PLANES, WHITE_TO_MOVE

__all__ = ["ChessEnv", "ChessVectorEnv", "ENV_ID"]

ENV_ID = "murkle_rl/Chess-v0"
COLORS = ("white", "black", "random")
ILLEGAL_ACTIONS = ("penalty", "lose", "raise")
RENDER_MODES = ("ansi", "rgb_array")


def observation_space(width: int, height: int) -> spaces.Box:
    """The space of one observation: float32 (105, height, width), 0 to 1 except the move
    number and the move clock (planes 99 and 104), which are not bounded."""
    high = np.ones((PLANES, height, width), np.float32)
    high[[99, 104]] = np.finfo(np.float32).max
    return spaces.Box(low=0.0, high=high, dtype=np.float32)


def _check_common(width: int, height: int, fen: str | None, castling: bool | None, max_plies: int | None,
                  agent_color: str) -> GameBatch:
    """A one-game batch of the arguments, which the engine checks (ValueError with its message)."""
    if agent_color not in COLORS:
        raise ValueError(f"agent_color must be one of {', '.join(map(repr, COLORS))}, got {agent_color!r}")
    if max_plies is not None and max_plies < 1:
        raise ValueError(f"max_plies must be at least 1 or None, got {max_plies}")
    probe = GameBatch(1, width, height, fen=fen, castling=castling, threads=1, seed=0)
    if fen is None and probe.game(0).is_over():
        raise ValueError(
            f"a {width}x{height} board has no playable start position (two kings need room and something "
            "to play with); pass a fen to play a decided game there"
        )
    return probe


def _agent_view(obs: NDArray[np.float32], agent_white: bool) -> NDArray[np.float32]:
    """``obs`` (105, h, w) from the agent's side: a new array either way."""
    if (obs[WHITE_TO_MOVE, 0, 0] > 0.5) == agent_white:
        return obs.copy()
    return obs[OTHER_SIDE]


def _outcome_name(game: murkle_chess.Game) -> str | None:
    outcome = game.outcome()
    return None if outcome is None else str(outcome.name())


class ChessEnv(gymnasium.Env[NDArray[np.float32], np.int64]):
    """Chess on a width x height board (1 to 32 rows, at most 1024 squares), the agent against
    a fixed opponent.

    Args:
        width, height: the board size (int).
        opponent: ``"random"``, ``"greedy"``, ``"uci:COMMAND"`` or a callable ``policy(game) ->
            move`` (see :mod:`murkle_rl.opponents`).
        agent_color: ``"white"``, ``"black"`` or ``"random"`` (drawn at every reset from the
            env's seeded generator); ``reset(options={"agent_color": ...})`` overrides it for
            one episode.
        max_plies: plies (int, both sides') after which a game is truncated (reward 0); None
            leaves the end to the rules.
        fen: the start position; None for ``murkle_rl.start_fen(width, height)``. ValueError
            for None on a board without a playable start (1x2, 2x1, 1x3, 3x1 and 2x2).
        castling: None allows castling on 8x8 only.
        render_mode: None, ``"ansi"`` (the board as text) or ``"rgb_array"`` (a uint8 image,
            White at the bottom).
        illegal_action: what an action outside ``info["action_mask"]`` does: ``"penalty"``
            (the default: reward ``illegal_reward``, nothing is played, the agent is still to
            move and ``info["illegal_action"]`` is True), ``"lose"`` (the episode terminates
            with reward ``illegal_reward``) or ``"raise"`` (ValueError, nothing changes).
            Illegal attempts are not plies: with ``"penalty"``, only a step limit such as
            Gymnasium's ``TimeLimit`` bounds an episode of an agent that never plays legally.
        illegal_reward: the reward (float) of an illegal action.
        uci_nodes, uci_movetime: the search limit of a UCI opponent, nodes (int) or milliseconds
            (int) a move; movetime wins when both are given.

    ``info`` holds ``"action_mask"`` (int8, all 0 once the episode is over), ``"opponent_move"``
    (the opponent's last move as long algebraic text, None when it has not moved since the
    agent did), ``"outcome"`` (None while the game goes on, else the rules' name of the result
    such as ``"white_win"`` or ``"stalemate"``, ``"max_plies"`` for a truncated game and
    ``"illegal_action"`` for one lost that way), ``"agent_color"`` and ``"illegal_action"``.
    """

    metadata: dict[str, Any] = {"render_modes": list(RENDER_MODES), "render_fps": 2}

    def __init__(
        self,
        width: int = 8,
        height: int = 8,
        opponent: OpponentChoice = "random",
        agent_color: Literal["white", "black", "random"] = "white",
        *,
        max_plies: int | None = None,
        fen: str | None = None,
        castling: bool | None = None,
        render_mode: str | None = None,
        illegal_action: Literal["penalty", "lose", "raise"] = "penalty",
        illegal_reward: float = -1.0,
        uci_nodes: int | None = 100,
        uci_movetime: int | None = None,
    ) -> None:
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(f"render_mode must be None or one of {', '.join(map(repr, RENDER_MODES))}, "
                             f"got {render_mode!r}")
        if illegal_action not in ILLEGAL_ACTIONS:
            raise ValueError(f"illegal_action must be one of {', '.join(map(repr, ILLEGAL_ACTIONS))}, "
                             f"got {illegal_action!r}")
        self._batch = _check_common(width, height, fen, castling, max_plies, agent_color)
        self.width, self.height = width, height
        self.fen, self.castling, self.max_plies = fen, castling, max_plies
        self.agent_color = agent_color
        self.render_mode = render_mode
        self.illegal_action, self.illegal_reward = illegal_action, float(illegal_reward)
        self.num_actions: int = self._batch.num_actions
        self.observation_space = observation_space(width, height)  # type: ignore[assignment]
        self.action_space = spaces.Discrete(self.num_actions)
        self._opponent = make_opponent(opponent, width, height, uci_nodes, uci_movetime)
        p = self._batch.action_planes
        self._planes = np.zeros((1, PLANES, height, width), np.float32)
        self._mask = np.zeros((1, p, height, width), np.bool_)
        self._rewards = np.zeros(1, np.float32)
        self._done = np.zeros(1, np.bool_)
        self._truncated = np.zeros(1, np.bool_)
        self._fresh = True  # no reset yet: the first one makes the batch from the env's seed
        self._agent_white = True
        self._ended = False
        self._outcome: str | None = None

    # ------------------------------------------------------------------ state

    @property
    def game(self) -> murkle_chess.Game:
        """A copy of the current game as a ``murkle_chess.Game`` (history included)."""
        return self._batch.game(0)

    @property
    def agent_white(self) -> bool:
        """Whether the agent plays White in this episode."""
        return self._agent_white

    def action_masks(self) -> NDArray[np.bool_]:
        """The legal full actions of the agent, a new bool array (num_actions,); all False once
        the episode is over. sb3-contrib's ``MaskablePPO`` calls this."""
        if self._ended:
            return np.zeros(self.num_actions, np.bool_)
        return self._mask.reshape(-1).copy()

    # ------------------------------------------------------------------ Gymnasium API

    def reset(self, *, seed: int | None = None,
              options: dict[str, Any] | None = None) -> tuple[NDArray[np.float32], dict[str, Any]]:
        """Starts a new game; returns (observation, info).

        seed: an int that seeds the env (the opponent's and the colour's draws), or None to go
            on from the current generator. options: ``{"agent_color": "white" | "black" |
            "random"}`` for this episode only, or None.
        """
        super().reset(seed=seed)
        if seed is not None or self._fresh:
            self._batch = GameBatch(1, self.width, self.height, fen=self.fen, castling=self.castling, threads=1,
                                    seed=int(self.np_random.integers(2**63)), max_plies=self.max_plies)
            self._fresh = False
        else:
            self._batch.reset()
        color = (options or {}).get("agent_color", self.agent_color)
        if color not in COLORS:
            raise ValueError(f"options['agent_color'] must be one of {', '.join(map(repr, COLORS))}, got {color!r}")
        self._agent_white = color == "white" or (color == "random" and bool(self.np_random.random() < 0.5))
        self._ended, self._outcome = False, None
        self._batch.planes(out=self._planes)
        self._batch.legal_mask(out=self._mask)
        opponent_move = None
        if not self._agent_white and self._mask.any():
            opponent_move = self._opponent_ply()
        if not self._mask.any():  # over already: the next step reports the end, whatever its action
            game = self._batch.game(0)
            self._outcome = "max_plies" if game.outcome() is None else _outcome_name(game)
        return self._observation(), self._info(opponent_move, False)

    def step(self, action: Any) -> tuple[NDArray[np.float32], float, bool, bool, dict[str, Any]]:
        """Plays the agent's full action (int) and the opponent's reply; returns (observation,
        reward, terminated, truncated, info). An illegal action does what ``illegal_action``
        says. RuntimeError once the episode is over (call ``reset``)."""
        if self._ended:
            raise RuntimeError("the episode is over: call reset() before step()")
        a = operator.index(action)
        mask = self._mask.reshape(-1)
        if not mask.any():  # over before the agent moves: a decided start, or the opponent's first move
            game = self._batch.game(0)
            return self._finish(game.reward_absolute(), game.outcome() is None, None)
        if not (0 <= a < self.num_actions and mask[a]):
            return self._illegal(a)
        self._batch.step(np.array([a], np.int64), self._planes, self._mask, self._rewards, self._done,
                         truncated=self._truncated)
        if self._done[0]:
            return self._finish(float(self._rewards[0]), bool(self._truncated[0]), None)
        opponent_move = self._opponent_ply()
        if self._done[0]:
            return self._finish(float(self._rewards[0]), bool(self._truncated[0]), opponent_move)
        return self._observation(), 0.0, False, False, self._info(opponent_move, False)

    def render(self) -> str | NDArray[np.uint8] | None:
        """The position as ``render_mode`` says: "ansi" the board as text, "rgb_array" a uint8
        image (H, W, 3), the picture of :func:`murkle_rl.rgb_array` when the ``svg`` extra is
        installed, else the plainer ``board_image`` of the planes; None without a render_mode."""
        if self.render_mode is None:
            gymnasium.logger.warn("render() was called without a render_mode; pass render_mode to the env")
            return None
        game = self._batch.game(0)
        if self.render_mode == "rgb_array":
            if drawing.can_rasterise():
                image: NDArray[np.uint8] = drawing.rgb_array(game, lastmove=True)
                return image
            return board_image(self._planes[0])
        return str(game).split("\n", 1)[1]  # below the status line

    def close(self) -> None:
        """Stops a UCI opponent's engine; safe to call twice."""
        self._opponent.close()

    # ------------------------------------------------------------------ helpers

    def _opponent_ply(self) -> str:
        """Plays the opponent's move in the batch; its long algebraic text."""
        game = self._batch.game(0)
        action = self._opponent.moves(self._batch, np.ones(1, np.bool_), self.np_random)[:1]
        lan = decode_action(game, int(action[0])).to_lan()
        self._batch.step(action, self._planes, self._mask, self._rewards, self._done, truncated=self._truncated)
        return lan

    def _observation(self) -> NDArray[np.float32]:
        return _agent_view(self._planes[0], self._agent_white)

    def _info(self, opponent_move: str | None, illegal: bool) -> dict[str, Any]:
        mask = np.zeros(self.num_actions, np.int8) if self._ended else self._mask.reshape(-1).astype(np.int8)
        return {
            "action_mask": mask,
            "opponent_move": opponent_move,
            "outcome": self._outcome,
            "agent_color": "white" if self._agent_white else "black",
            "illegal_action": illegal,
        }

    def _finish(self, white_reward: float, truncated: bool,
                opponent_move: str | None) -> tuple[NDArray[np.float32], float, bool, bool, dict[str, Any]]:
        self._ended = True
        self._outcome = "max_plies" if truncated else _outcome_name(self._batch.game(0))
        reward = (white_reward if self._agent_white else -white_reward) + 0.0  # no negative zero
        return self._observation(), reward, not truncated, truncated, self._info(opponent_move, False)

    def _illegal(self, a: int) -> tuple[NDArray[np.float32], float, bool, bool, dict[str, Any]]:
        if self.illegal_action == "raise":
            raise ValueError(f"action {a} is not legal in this position; legal actions are those where "
                             "info['action_mask'] is 1")
        if self.illegal_action == "lose":
            self._ended, self._outcome = True, "illegal_action"
        return self._observation(), self.illegal_reward, self._ended, False, self._info(None, True)


class ChessVectorEnv(VectorEnv[NDArray[np.float32], NDArray[np.int64], NDArray[Any]]):
    """``num_envs`` games of one board size in one :class:`murkle_rl.GameBatch`, stepped together.

    Two modes:

    - against an opponent (the default): each sub-environment is a :class:`ChessEnv` (same
      observations, rewards and ends), the opponent's replies chosen for every game at once;
    - ``self_play=True``: every step plays one move in every game for the side to move there;
      the observation is from the side to move, the reward (+1/-1/0 at the end) is the side's
      that just moved, and there is no opponent.

    Autoreset: ``autoreset_mode`` ``AutoresetMode.NEXT_STEP`` (Gymnasium's default) returns the
    final observation at the step that ends a game, with an all-zero mask, and starts the next
    episode at the following step, whose action for that sub-environment is ignored (reward 0,
    not terminated); ``AutoresetMode.SAME_STEP`` returns the next episode's first observation at
    once, the final one in ``info["final_obs"]`` (an object array, None elsewhere, with
    ``info["_final_obs"]`` marking the sub-environments that ended). Masked policies prefer
    SAME_STEP: a returned mask then has a legal action unless the opponent's first move of an
    episode already ended the game (its next step reports the end, whatever the action).

    Args:
        num_envs: the number of games (int).
        width, height, opponent, agent_color, max_plies, fen, castling, uci_nodes, uci_movetime:
            as for :class:`ChessEnv` (``agent_color`` drawn per game and episode when "random").
        self_play: bool, the mode above.
        autoreset_mode: an ``AutoresetMode`` (or its value, "NextStep" or "SameStep").
        threads: worker threads of the batch (int), None for every core.
        copy: True returns new observation arrays at every call; False returns the env's own
            buffer, which the next step overwrites.

    Actions are an int array (num_envs,) of full actions; an illegal action of a sub-environment
    that plays raises ValueError naming it and no game changes. ``info["action_mask"]`` is int8
    (num_envs, num_actions), ``env.action_masks()`` the same as bool; against an opponent
    ``info["agent_white"]`` (bool, (num_envs,)) says each agent's colour.
    """

    metadata: dict[str, Any] = {"render_modes": [], "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(
        self,
        num_envs: int = 8,
        width: int = 8,
        height: int = 8,
        opponent: OpponentChoice = "random",
        agent_color: Literal["white", "black", "random"] = "random",
        *,
        self_play: bool = False,
        max_plies: int | None = None,
        fen: str | None = None,
        castling: bool | None = None,
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        threads: int | None = None,
        copy: bool = True,
        uci_nodes: int | None = 100,
        uci_movetime: int | None = None,
    ) -> None:
        if num_envs < 1:
            raise ValueError(f"num_envs must be at least 1, got {num_envs}")
        mode = AutoresetMode(autoreset_mode)
        if mode not in (AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP):
            raise ValueError(f"autoreset_mode must be NEXT_STEP or SAME_STEP, got {mode}")
        probe = _check_common(width, height, fen, castling, max_plies, agent_color)
        self.num_envs = num_envs
        self.width, self.height = width, height
        self.fen, self.castling, self.max_plies, self.threads = fen, castling, max_plies, threads
        self.agent_color, self.self_play, self.copy = agent_color, self_play, copy
        self.autoreset_mode = mode
        self.metadata = {**self.metadata, "autoreset_mode": mode}
        self.num_actions: int = probe.num_actions
        self.single_observation_space = observation_space(width, height)
        self.single_action_space = spaces.Discrete(self.num_actions)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._opponent = None if self_play else make_opponent(opponent, width, height, uci_nodes, uci_movetime)
        self._start_action = int(np.flatnonzero(probe.legal_mask().reshape(-1))[0])  # any legal first move
        n, p = num_envs, probe.action_planes
        self._batch: GameBatch | None = None
        self._planes = np.zeros((n, PLANES, height, width), np.float32)
        self._mask = np.zeros((n, p, height, width), np.bool_)
        self._planes_a = np.zeros_like(self._planes)  # after the agent's move, before the reply
        self._mask_a = np.zeros_like(self._mask)
        self._rewards = np.zeros((2, n), np.float32)
        self._done = np.zeros((2, n), np.bool_)
        self._truncated = np.zeros((2, n), np.bool_)
        self._turns = np.zeros(n, np.int8)
        self._agent_white = np.ones(n, np.bool_)
        self._pending = np.zeros(n, np.bool_)  # NEXT_STEP: ended at the last step, restart at this one

    # ------------------------------------------------------------------ Gymnasium API

    def reset(self, *, seed: int | None = None,
              options: dict[str, Any] | None = None) -> tuple[NDArray[np.float32], dict[str, Any]]:
        """Starts every game again; returns (observations, info). seed: an int that seeds the
        batch's random streams and the env's generator, or None to go on from them. options:
        accepted and ignored."""
        super().reset(seed=seed)
        if seed is not None or self._batch is None:
            self._batch = GameBatch(self.num_envs, self.width, self.height, fen=self.fen, castling=self.castling,
                                    threads=self.threads, seed=int(self.np_random.integers(2**63)),
                                    max_plies=self.max_plies)
        self._pending[:] = False
        self._new_episodes(np.arange(self.num_envs))
        return self._output(), self._info()

    def step(self, actions: Any) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.bool_],
                                          NDArray[np.bool_], dict[str, Any]]:
        """Plays one full action per sub-environment (int array (num_envs,)) and, against an
        opponent, its replies; returns (observations, rewards, terminations, truncations,
        info)."""
        batch = self._require_batch()
        acts = np.array(actions, np.int64).reshape(self.num_envs)
        if self.self_play:
            rewards, terminated, truncated, ended = self._step_self_play(batch, acts)
        else:
            rewards, terminated, truncated, ended = self._step_against_opponent(batch, acts)
        info = {}
        if self.autoreset_mode == AutoresetMode.SAME_STEP and ended.any():
            final = np.full(self.num_envs, None, dtype=object)
            for i in np.flatnonzero(ended):
                final[i] = self._planes[i].copy()
            self._new_episodes(np.flatnonzero(ended))
            info = {"final_obs": final, "_final_obs": ended.copy(),
                    "final_info": {}, "_final_info": ended.copy()}
        return self._output(), rewards, terminated, truncated, {**self._info(), **info}

    def action_masks(self) -> NDArray[np.bool_]:
        """The legal full actions of every sub-environment, a new bool array (num_envs,
        num_actions); all False for a game whose final observation is showing."""
        return self._mask.reshape(self.num_envs, -1).copy()

    def close_extras(self, **kwargs: Any) -> None:
        """Stops a UCI opponent's engine."""
        if self._opponent is not None:
            self._opponent.close()

    # ------------------------------------------------------------------ steps

    def _step_self_play(self, batch: GameBatch,
                        acts: NDArray[np.int64]) -> tuple[NDArray[np.float32], NDArray[np.bool_], NDArray[np.bool_],
                                                          NDArray[np.bool_]]:
        # The batch's own restart is NEXT_STEP autoreset: a game that ended restarts at the
        # next step and ignores its action there.
        batch.turns(out=self._turns)
        rewards, done, truncated = batch.step(acts, self._planes, self._mask, self._rewards[0], self._done[0],
                                              truncated=self._truncated[0])
        mover_reward = rewards * self._turns + 0.0  # the side that moved; no negative zero
        return mover_reward, done & ~truncated, truncated.copy(), done.copy()

    def _step_against_opponent(self, batch: GameBatch,
                               acts: NDArray[np.int64]) -> tuple[NDArray[np.float32], NDArray[np.bool_],
                                                                 NDArray[np.bool_], NDArray[np.bool_]]:
        assert self._opponent is not None
        pending = self._pending.copy()
        # A game that restarts at this step plays two moves that do not count, from its start
        # position, and gets its next episode afterwards: the batch steps every game at once.
        if pending.any():
            batch.reset(np.flatnonzero(pending))
            acts[pending] = self._start_action
        batch.step(acts, self._planes_a, self._mask_a, self._rewards[0], self._done[0],
                   truncated=self._truncated[0])
        ended_a = self._done[0] & ~pending
        replies = ~self._done[0] & ~pending
        fill = pending & ~self._done[0]
        reply = np.zeros(self.num_envs, np.int64)
        if replies.any():
            reply = self._opponent.moves(batch, replies, self.np_random)
        if fill.any():
            reply[fill] = self._mask_a[fill].reshape(int(fill.sum()), -1).argmax(axis=1)
        reply[~replies & ~fill] = 0  # ignored: those games restart
        batch.step(reply, self._planes, self._mask, self._rewards[1], self._done[1], truncated=self._truncated[1])
        ended_b = self._done[1] & replies
        if ended_a.any():
            self._planes[ended_a] = self._planes_a[ended_a]
            self._mask[ended_a] = False
        ended = ended_a | ended_b
        white = np.where(ended_a, self._rewards[0], np.where(ended_b, self._rewards[1], 0.0)).astype(np.float32)
        rewards = np.where(self._agent_white, white, -white) + np.float32(0.0)
        truncated = (ended_a & self._truncated[0]) | (ended_b & self._truncated[1])
        for i in np.flatnonzero(ended):
            self._planes[i] = _agent_view(self._planes[i], bool(self._agent_white[i]))
        if pending.any():
            self._new_episodes(np.flatnonzero(pending))
        self._pending[:] = ended if self.autoreset_mode == AutoresetMode.NEXT_STEP else False
        return rewards, ended & ~truncated, truncated, ended

    def _new_episodes(self, idx: NDArray[np.intp]) -> None:
        """Starts the games ``idx`` again (colours drawn, the opponent's first move played where
        the agent is Black) and writes their observations."""
        batch = self._require_batch()
        batch.reset(idx)
        if not self.self_play:
            assert self._opponent is not None
            if self.agent_color == "random":
                self._agent_white[idx] = self.np_random.random(len(idx)) < 0.5
            else:
                self._agent_white[idx] = self.agent_color == "white"
            black = idx[~self._agent_white[idx]]
            if len(black):
                starts = GameBatch(len(black), self.width, self.height, fen=self.fen, castling=self.castling,
                                   threads=1, seed=int(self.np_random.integers(2**63)), max_plies=self.max_plies)
                first = self._opponent.moves(starts, np.ones(len(black), np.bool_), self.np_random)
                starts.step(first)
                for j, i in enumerate(black):
                    batch.set_game(int(i), starts.game(j))
        if len(idx) == self.num_envs:
            batch.planes(out=self._planes)
            batch.legal_mask(out=self._mask)
        else:
            games = [batch.game(int(i)) for i in idx]
            self._planes[idx] = planes(games)
            self._mask[idx] = legal_mask(games)

    # ------------------------------------------------------------------ helpers

    def _require_batch(self) -> GameBatch:
        if self._batch is None:
            raise RuntimeError("call reset() before step()")
        return self._batch

    def _output(self) -> NDArray[np.float32]:
        return self._planes.copy() if self.copy else self._planes

    def _info(self) -> dict[str, Any]:
        info: dict[str, Any] = {
            "action_mask": self._mask.reshape(self.num_envs, -1).astype(np.int8),
            "_action_mask": np.ones(self.num_envs, np.bool_),
        }
        if not self.self_play:
            info["agent_white"] = self._agent_white.copy()
            info["_agent_white"] = np.ones(self.num_envs, np.bool_)
        return info


gymnasium.register(ENV_ID, entry_point=f"{__name__}:ChessEnv", vector_entry_point=f"{__name__}:ChessVectorEnv")
