"""Games as records and as files: what evaluations and self-play keep, and ``murkle-zero games``
reads. No PyTorch here.

A games file is PGN (:mod:`murkle_rl.pgn`): SAN moves on every board size, a ``Variant
"WxH"`` tag off 8x8, ``SetUp``/``FEN`` tags where the start is not the standard one; the result
``1-0``, ``0-1`` or ``1/2-1/2`` (a game cut by a ply cap counts as drawn).
"""

from __future__ import annotations

from pathlib import Path
from typing import Iterable

from .disk import writing
from ..pgn import read_pgn
from .protocol import printable
from .records import GameRecord, record_of, result_text

__all__ = ["GameRecord", "record_of", "result_text", "save_games", "load_games", "describe"]


def save_games(path: str | Path, games: Iterable[GameRecord]) -> None:
    """Appends games to a PGN file (made if missing)."""
    texts = [str(g.pgn) + "\n" for g in games]
    if texts:
        with writing(path, "the games before stand"), open(path, "a", encoding="utf-8") as f:
            f.writelines(texts)


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
