"""PGN with SAN on every board size: :mod:`murkle_rl.pgn`, under the name of earlier versions."""

from ..pgn import *  # noqa: F401,F403
from ..pgn import __all__  # noqa: F401
