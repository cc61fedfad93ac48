"""murkle_rl: batched chess games for self-play reinforcement learning.

Built on the same engine as :mod:`murkle_chess`, on any board from 1x2 to 32x32 (up to 1024
squares, at most 32 rows):

- :class:`GameBatch`: N games stepped together on every core, NumPy observations
  (input planes and legal-action masks) and a full action space that reaches every legal
  move: ``plane * height * width + row * width + col`` of the move's source square.
- :func:`encode_action`, :func:`decode_action`, :func:`legal_action_mask`: the same full
  actions for a single ``murkle_chess.Game``.
- :func:`dumps_game` / :func:`loads_game`: a ``murkle_chess.Game`` as bytes and back, whole
  (history included), for multiprocessing and Ray workers. ``GameBatch`` pickles directly.
- :func:`start_fen`: the start position used for every board size.
"""

from ._core import (
    GameBatch,
    decode_action,
    dumps_game,
    encode_action,
    legal_action_mask,
    loads_game,
    start_fen,
)

__version__ = "0.2.0"

__all__ = [
    "GameBatch",
    "decode_action",
    "dumps_game",
    "encode_action",
    "legal_action_mask",
    "loads_game",
    "start_fen",
    "__version__",
]
