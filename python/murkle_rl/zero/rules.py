"""The rules every front end shares: board sizes, start positions, castling, games from text.

A board has 1 to 32 rows and at most 1,024 squares. Castling exists on 8x8 only; every other
size plays without it. The start position of any size is :func:`murkle_rl.start_fen`, the
standard one on 8x8. No PyTorch here.
"""

from __future__ import annotations

import argparse
import re
from typing import Sequence

import murkle_chess
import murkle_rl

from .protocol import shown

__all__ = ["STANDARD_FEN", "MAX_ROWS", "MAX_SQUARES", "has_castling", "start_fen", "check_size", "parse_size",
           "board_side", "size_argument", "board_size_of_fen", "new_game", "side_not_to_move_in_check",
           "legal_by_lan", "play_moves"]

STANDARD_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
MAX_ROWS = 32
MAX_SQUARES = 1024


def has_castling(width: int, height: int) -> bool:
    """Whether the rules have castling on this board: on 8x8 only."""
    return (width, height) == (8, 8)


def start_fen(width: int, height: int) -> str:
    """The start position of width x height (the standard one on 8x8)."""
    return murkle_rl.start_fen(width, height)


def check_size(width: int, height: int) -> tuple[int, int]:
    """(width, height) when a board of that size exists, else ValueError."""
    if not (1 <= height <= MAX_ROWS and 1 <= width and width * height <= MAX_SQUARES):
        raise ValueError(f"no board of {width}x{height}: 1 to {MAX_ROWS} rows and at most {MAX_SQUARES} squares")
    return width, height


def parse_size(text: str) -> tuple[int, int]:
    """A board size from ``chess`` or ``standard`` (8x8) or ``WxH``; ValueError otherwise."""
    text = text.strip().lower()
    if text in ("chess", "standard"):
        return 8, 8
    m = re.fullmatch(r"(\d{1,4})\s{0,4}x\s{0,4}(\d{1,4})", text)
    if not m:
        raise ValueError(f"a board size is 'chess' or WxH (e.g. 6x6), not {shown(text)}")
    return check_size(int(m.group(1)), int(m.group(2)))


def board_side(text: str) -> int:
    """A board's width or height on a command line: 1 to 1024 (argparse type)."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {shown(text)}") from None
    if not 1 <= n <= MAX_SQUARES:
        raise argparse.ArgumentTypeError(f"a board side is 1 to {MAX_SQUARES} squares, not {shown(text, 24)}")
    return n


def size_argument(text: str) -> tuple[int, int]:
    """:func:`parse_size` as an argparse type."""
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def board_size_of_fen(fen: str) -> tuple[int, int]:
    """(width, height) of a FEN's placement: one row per '/'-separated part, the width of the
    first row counted from its piece letters and its (possibly multi-digit) empty runs."""
    placement = fen.strip().split(" ")[0]
    rows = placement.split("/")
    width = sum(int(t) if t.isdigit() else 1 for t in re.findall(r"\d+|.", rows[0]))
    if width < 1:
        raise ValueError(f"cannot read a board width from {shown(rows[0])}")
    return width, len(rows)


def new_game(width: int, height: int, fen: str | None = None) -> murkle_chess.Game:
    """A game of our rules on width x height from ``fen`` (None: the start position);
    ValueError for a size with no board or a FEN the engine refuses."""
    check_size(width, height)
    return murkle_chess.Game(width, height, fen or start_fen(width, height), has_castling(width, height))


def side_not_to_move_in_check(game: murkle_chess.Game) -> bool:
    """Whether the side that has just moved is in check: its king could be taken, a position no
    game reaches. The engine accepts such FENs; the front ends refuse them."""
    fields = game.to_fen().split(" ")
    fields[1] = "b" if fields[1] == "w" else "w"
    fields[3] = "-"  # an en passant square belongs to the side to move
    return murkle_chess.Game(game.width(), game.height(), " ".join(fields), game.castling_enabled()).is_check()


def legal_by_lan(game: murkle_chess.Game) -> dict[str, murkle_chess.Move]:
    """The legal moves of a game by their long algebraic text (which reads every board size,
    squares like ``a10`` and ``26-1`` included)."""
    return {m.to_lan(): m for m in game.legal_moves()}


def play_moves(game: murkle_chess.Game, moves: Sequence[str], played: list[str] | None = None) -> murkle_chess.Game:
    """Plays LAN moves on ``game`` (in place, and returns it), each also appended to ``played``
    when given; ValueError names the first move that is not legal, with the game left before it."""
    for i, lan in enumerate(moves):
        move = legal_by_lan(game).get(lan)
        if move is None:
            raise ValueError(f"illegal move {shown(lan)} (move {i + 1} of the list) in {game.to_fen()}; "
                             f"the position is the one before it")
        game.make_move(move)
        if played is not None:
            played.append(lan)
    return game
