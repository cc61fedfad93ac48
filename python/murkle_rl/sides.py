"""The input planes of a position seen from the side not to move.

Planes 0-95 and 100-103 say "own" and "other" from the side to move; an observation for the
other player swaps them: ``planes[OTHER_SIDE]``. Plane 98 (White to move) is absolute and stays.
"""

from __future__ import annotations

import numpy as np

__all__ = ["OTHER_SIDE", "WHITE_TO_MOVE"]

PLANES = 105
WHITE_TO_MOVE = 98

# Own and other pieces of each of the 8 history steps change places, and so do the castling
# rights (100-101 own, 102-103 other).
OTHER_SIDE = np.arange(PLANES)
for _k in range(8):
    OTHER_SIDE[12 * _k : 12 * _k + 6], OTHER_SIDE[12 * _k + 6 : 12 * _k + 12] = (
        np.arange(12 * _k + 6, 12 * _k + 12),
        np.arange(12 * _k, 12 * _k + 6),
    )
OTHER_SIDE[100:104] = [102, 103, 100, 101]
