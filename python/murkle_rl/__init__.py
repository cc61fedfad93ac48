"""murkle_rl: batched chess games for self-play reinforcement learning.

Built on the same engine as :mod:`murkle_chess`, on any board from 1x2 to 32x32 (up to 1024
squares, at most 32 rows):

- :class:`GameBatch`: N games stepped together on every core, NumPy observations
  (input planes and legal-action masks) and a full action space that reaches every legal
  move: ``plane * height * width + row * width + col`` of the move's source square.
- :class:`Search`: a batched tree search (PUCT or Gumbel) in C++, one tree per game of a
  ``GameBatch``, driven by your network through arrays: ``select`` -> network -> ``expand``.
- :func:`encode_action`, :func:`decode_action`, :func:`legal_action_mask`: the same full
  actions for a single ``murkle_chess.Game``.
- :func:`planes`, :func:`legal_mask`, :func:`packed_planes`, :func:`packed_legal_mask`: the
  observations of one ``murkle_chess.Game`` or a sequence of them as arrays; :func:`unpack_planes` turns packed
  planes (bits and scalars, an eighth of the memory or less) back into dense float32 planes.
- :func:`dumps_game` / :func:`loads_game`: a ``murkle_chess.Game`` as bytes and back, whole
  (history included), for multiprocessing and Ray workers. ``GameBatch`` pickles directly.
- :func:`start_fen`: the start position used for every board size.
- :func:`env`: one game as a PettingZoo AEC environment (needs the ``pettingzoo`` extra).
- ``ChessEnv``, ``ChessVectorEnv``: the agent against a fixed opponent as Gymnasium
  environments, one game or a batch of them (``murkle_rl.gym_env``, imported on first use;
  needs Gymnasium, in the ``pettingzoo`` extra).
- ``murkle_rl.pgn``: games as PGN with SAN on every board size (``write_pgn``, ``read_pgn``,
  ``san`` of a move, ``PgnGame``).
- :func:`svg`, :func:`view`, :func:`svg_animation`: any board as SVG text, as a notebook view,
  a whole game as an animated SVG; :func:`gif_animation`, :func:`png`, :func:`rgb_array` the
  same as pictures (need the ``svg`` extra). See ``murkle_rl.drawing``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._core import (
    GameBatch,
    Search,
    decode_action,
    dumps_game,
    encode_action,
    legal_action_mask,
    legal_mask,
    loads_game,
    packed_legal_mask,
    packed_planes,
    planes,
    start_fen,
    unpack_planes,
)

from .drawing import gif_animation, png, rgb_array, svg, svg_animation, view

if TYPE_CHECKING:
    from pettingzoo import AECEnv as _AECEnv  # type: ignore[import-untyped]

    from .gym_env import ChessEnv, ChessVectorEnv

__version__ = "0.2.0"


def env(
    width: int = 8,
    height: int = 8,
    fen: str | None = None,
    render_mode: str | None = None,
    max_plies: int | None = None,
    castling: bool | None = None,
) -> _AECEnv:
    """A chess game of width x height as a PettingZoo AEC environment.

    Agents "player_0" (White) and "player_1" (Black); observations are dicts of the 105 input
    planes, float32 (height, width, 105) from the agent's side, and an int8 mask over the
    ``8 * max(width, height) + 18`` x height x width full actions; rewards +1/-1/0 when the
    game ends. ``fen`` sets the start position (default ``start_fen(width, height)``),
    ``render_mode`` is None, "human", "ansi" or "rgb_array", ``max_plies`` truncates long games
    and ``castling=None`` allows castling on 8x8 only. See ``murkle_rl.pettingzoo_env``.

    Needs PettingZoo: ``pip install 'murkle_chess[pettingzoo]'``.
    """
    try:
        from . import pettingzoo_env
    except ModuleNotFoundError as e:
        if e.name not in ("pettingzoo", "gymnasium"):
            raise
        raise ModuleNotFoundError(
            "murkle_rl.env needs PettingZoo: pip install 'murkle_chess[pettingzoo]'", name=e.name
        ) from e
    return pettingzoo_env.env(width, height, fen=fen, render_mode=render_mode, max_plies=max_plies, castling=castling)


_GYMNASIUM_NAMES = ("ChessEnv", "ChessVectorEnv")


def __getattr__(name: str) -> Any:
    # The Gymnasium environments import Gymnasium, which the rest of the package does not need.
    if name not in _GYMNASIUM_NAMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        from . import gym_env
    except ModuleNotFoundError as e:
        if e.name != "gymnasium":
            raise
        raise ModuleNotFoundError(
            f"murkle_rl.{name} needs Gymnasium: pip install 'murkle_chess[pettingzoo]'", name=e.name
        ) from e
    return getattr(gym_env, name)


def __dir__() -> list[str]:
    return sorted([*globals(), *_GYMNASIUM_NAMES])


__all__ = [
    "GameBatch",
    "Search",
    "decode_action",
    "dumps_game",
    "encode_action",
    "env",
    "legal_action_mask",
    "legal_mask",
    "loads_game",
    "packed_legal_mask",
    "packed_planes",
    "gif_animation",
    "planes",
    "png",
    "rgb_array",
    "start_fen",
    "svg",
    "svg_animation",
    "unpack_planes",
    "view",
    "__version__",
]
