"""Games as records and as files: what evaluations and self-play keep, and ``murkle-zero games``
reads. No PyTorch here.

A games file holds one game a line: ``WIDTH HEIGHT FEN<TAB>moves<TAB>result``, the moves in long
algebraic notation separated by spaces, the result ``1-0``, ``0-1`` or ``1/2-1/2`` (a game cut
by a ply cap counts as drawn), then optionally ``<TAB>White<TAB>Black``, the players' names.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Sequence

import murkle_chess
import murkle_rl


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

    def line(self) -> str:
        cells = [f"{self.width} {self.height} {self.fen}", " ".join(self.moves), self.result]
        if self.white or self.black:
            cells += [self.white, self.black]
        return "\t".join(cells)


def result_text(white_reward: float) -> str:
    """The result of a game from White's reward (+1, -1 or 0)."""
    return "1-0" if white_reward > 0 else "0-1" if white_reward < 0 else "1/2-1/2"


def record_of(start: murkle_chess.Game, actions: Sequence[int], white_reward: float,
              white: str = "", black: str = "") -> GameRecord:
    """The record of the game that played full ``actions`` from ``start`` (left unchanged)."""
    game = start.clone()
    moves = []
    for a in actions:
        move = murkle_rl.decode_action(game, int(a))
        moves.append(move.to_lan())
        game.make_move(move)
    return GameRecord(start.width(), start.height(), start.to_fen(), moves, result_text(white_reward), white, black)


def save_games(path: str | Path, games: Iterable[GameRecord]) -> None:
    """Appends games to a games file, one line each (the file is made if missing)."""
    lines = [g.line() + "\n" for g in games]
    if lines:
        with open(path, "a", encoding="utf-8") as f:
            f.writelines(lines)


def load_games(path: str | Path) -> list[GameRecord]:
    """The games of a games file. Raises ValueError naming the first line it cannot read."""
    games = []
    for number, line in enumerate(Path(path).read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip():
            continue
        cells = line.split("\t")
        head = cells[0].split(maxsplit=2)
        if len(cells) not in (3, 5) or len(head) != 3 or not head[0].isdigit() or not head[1].isdigit():
            raise ValueError(f"{path}:{number}: not a game line (WIDTH HEIGHT FEN<TAB>moves<TAB>result)")
        names = cells[3:5] if len(cells) == 5 else ["", ""]
        games.append(GameRecord(int(head[0]), int(head[1]), head[2], cells[1].split(), cells[2], *names))
    return games


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
    return "\n".join(lines + text + [game.result])
