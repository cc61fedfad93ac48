"""Games as records and as files: what evaluations and self-play keep, and ``murkle-zero games``
reads. No PyTorch here.

A games file is PGN (:mod:`murkle_rl.zero.pgn`): SAN moves on every board size, a ``Variant
"WxH"`` tag off 8x8, ``SetUp``/``FEN`` tags where the start is not the standard one; the result
``1-0``, ``0-1`` or ``1/2-1/2`` (a game cut by a ply cap counts as drawn).
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Sequence

import murkle_chess

from .agent import line_text
from .disk import writing
from .pgn import PgnGame, read_pgn


@dataclass
class GameRecord:
    """A played game: the board, the position it started from, its moves (LAN) and result."""

    width: int
    height: int
    fen: str
    moves: list[str] = field(default_factory=list)
    result: str = "*"
    white: str = ""
    black: str = ""

    def start(self) -> murkle_chess.Game:
        """The position the game started from."""
        return murkle_chess.Game(self.width, self.height, self.fen, (self.width, self.height) == (8, 8))

    def pgn(self) -> PgnGame:
        return PgnGame(self.width, self.height, self.fen, list(self.moves), white=self.white or "?",
                       black=self.black or "?", result=self.result, event="murkle-zero")


def result_text(white_reward: float) -> str:
    """The result of a game from White's reward (+1, -1 or 0)."""
    return "1-0" if white_reward > 0 else "0-1" if white_reward < 0 else "1/2-1/2"


def record_of(start: murkle_chess.Game, actions: Sequence[int], white_reward: float,
              white: str = "", black: str = "") -> GameRecord:
    """The record of the game that played full ``actions`` from ``start`` (left unchanged)."""
    moves = line_text(start, actions)
    return GameRecord(start.width(), start.height(), start.to_fen(), moves, result_text(white_reward), white, black)


def save_games(path: str | Path, games: Iterable[GameRecord]) -> None:
    """Appends games to a PGN file (made if missing)."""
    texts = [str(g.pgn()) + "\n" for g in games]
    if texts:
        with writing(path, "the games before stand"), open(path, "a", encoding="utf-8") as f:
            f.writelines(texts)


# Characters a terminal acts on rather than shows: C0 and C1 controls (escape sequences among
# them) and the marks that reverse the direction of text.
_CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def printable(text: str) -> str:
    """``text`` with every character a terminal would act on written as its escape (``\\x1b``),
    for text read from a file to be printed as it is."""
    return _CONTROLS.sub(lambda m: f"\\x{ord(m.group()):02x}" if ord(m.group()) < 0x100 else f"\\u{ord(m.group()):04x}",
                         text)


def load_games(path: str | Path) -> list[GameRecord]:
    """The games of a PGN file. Raises ValueError naming the first game it cannot read (its
    text, quoted from the file, escaped by :func:`printable`)."""
    try:
        games = read_pgn(Path(path).read_text(encoding="utf-8"))
    except ValueError as e:  # UnicodeDecodeError among them
        raise ValueError(printable(f"{path}: {e}")) from None
    return [GameRecord(g.width, g.height, g.start_fen, g.moves, g.result, "" if g.white == "?" else g.white,
                       "" if g.black == "?" else g.black) for g in games]


def describe(game: GameRecord, index: int) -> str:
    """A game for a person to read: players, start, numbered moves, result."""
    who = f"{game.white or 'White'} vs {game.black or 'Black'}"
    lines = [f"game {index}: {who}, {game.width}x{game.height}, {len(game.moves)} plies, {game.result}",
             f"start: {game.fen}"]
    pairs = [f"{i // 2 + 1}. " + " ".join(game.moves[i:i + 2]) for i in range(0, len(game.moves), 2)]
    if game.fen.split()[1:2] == ["b"] and game.moves:  # Black moved first
        pairs = [f"1... {game.moves[0]}"] + [f"{i // 2 + 2}. " + " ".join(game.moves[i:i + 2])
                                             for i in range(1, len(game.moves), 2)]
    text, line = [], ""
    for p in pairs:
        if len(line) + len(p) > 78:
            text.append(line.rstrip())
            line = ""
        line += p + " "
    if line:
        text.append(line.rstrip())
    return printable("\n".join(lines + text + [game.result]))
