"""PGN with SAN on every board size: :mod:`murkle_rl.pgn`, under the name of earlier versions."""

from ..pgn import PgnGame, file_name, read_pgn, san, square_name, write_pgn

__all__ = ["square_name", "file_name", "san", "PgnGame", "write_pgn", "read_pgn"]
