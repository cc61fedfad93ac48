"""What games and matches leave behind: one game record and one match result, for self-play,
evaluations against the movers and matches against UCI engines alike. No PyTorch here.

Score and Elo: the score is (wins + draws / 2) / games over the scored games; its interval is
the normal approximation mean +- z * sd / sqrt(n) of the per-game scores (1, 1/2, 0), and the
Elo difference and its interval are ``-400 * log10(1 / s - 1)`` of the score and of the
interval's ends (infinite at a score of 0 or 1).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from statistics import NormalDist
from typing import Any, Sequence

import murkle_chess

from ..pgn import PgnGame
from .play import line_text
from .rules import new_game

__all__ = ["GameRecord", "MatchResult", "record_of", "result_text", "score", "elo", "elo_of_score"]

OUTCOMES = ("win", "draw", "loss", "mismatch", "error")


@dataclass
class GameRecord:
    """A played game: the board, the position it started from, its moves (LAN), its result and
    players; in a game the agent played, how it counts for the agent (``outcome``: ``win``,
    ``draw``, ``loss``, or ``mismatch`` / ``error``, which are not scored) and its colour.
    ``note`` says how the game ended (written as the PGN's closing comment)."""

    width: int
    height: int
    fen: str
    moves: list[str] = field(default_factory=list)
    result: str = "*"
    white: str = ""
    black: str = ""
    outcome: str = ""
    agent_white: bool | None = None
    note: str = ""
    termination: str = ""
    event: str = "murkle-zero"
    round: str = "?"

    def start(self) -> murkle_chess.Game:
        """The position the game started from."""
        return new_game(self.width, self.height, self.fen)

    @property
    def pgn(self) -> PgnGame:
        """The game as PGN."""
        return PgnGame(self.width, self.height, self.fen, list(self.moves), white=self.white or "?",
                       black=self.black or "?", result=self.result, termination=self.termination or None,
                       comment=self.note or None, event=self.event, round=self.round)


def result_text(white_reward: float) -> str:
    """The result of a game from White's reward (+1, -1 or 0)."""
    return "1-0" if white_reward > 0 else "0-1" if white_reward < 0 else "1/2-1/2"


def record_of(start: murkle_chess.Game, actions: Sequence[int], white_reward: float, white: str = "",
              black: str = "", agent_white: bool | None = None) -> GameRecord:
    """The record of the game that played full ``actions`` from ``start`` (left unchanged); with
    ``agent_white`` given, its outcome for the agent."""
    record = GameRecord(start.width(), start.height(), start.to_fen(), line_text(start, actions),
                        result_text(white_reward), white, black, agent_white=agent_white)
    if agent_white is not None:
        mine = white_reward if agent_white else -white_reward
        record.outcome = "win" if mine > 0 else "loss" if mine < 0 else "draw"
    return record


@dataclass
class MatchResult:
    """A match's count and games: wins, draws and losses are the agent's; rules mismatches and
    engine errors are counted apart and never scored. ``stopped``: the match ended early (a
    deadline, Ctrl-C, an opponent that could not go on) with the games finished by then."""

    wins: int = 0
    draws: int = 0
    losses: int = 0
    mismatches: int = 0
    errors: int = 0
    games: list[GameRecord] = field(default_factory=list)
    stopped: bool = False
    reason: str = ""  # why it stopped early ("Ctrl-C", "the deadline", ...)
    aborted: str = ""  # why the match ended early, its opponent unable to go on, or ""

    def add(self, record: GameRecord) -> None:
        """Counts a finished game by its ``outcome``."""
        if record.outcome not in OUTCOMES:
            raise ValueError(f"a game of a match has an outcome among {OUTCOMES}, not {record.outcome!r}")
        self.games.append(record)
        key = {"win": "wins", "draw": "draws", "loss": "losses", "mismatch": "mismatches", "error": "errors"}
        setattr(self, key[record.outcome], getattr(self, key[record.outcome]) + 1)

    def counts(self) -> dict[str, int]:
        return {"wins": self.wins, "draws": self.draws, "losses": self.losses}

    @property
    def scored(self) -> int:
        """The games that count: wins, draws and losses."""
        return self.wins + self.draws + self.losses

    played = scored

    @property
    def score(self) -> float:
        """Wins and half the draws over the scored games (nan with none)."""
        return (self.wins + 0.5 * self.draws) / self.scored if self.scored else math.nan

    def to_dict(self) -> dict[str, Any]:
        rating, low, high = elo(self.wins, self.draws, self.losses)
        return {"wins": self.wins, "draws": self.draws, "losses": self.losses,
                "mismatches": self.mismatches, "errors": self.errors, "score": self.score,
                "elo": rating, "elo_low": low, "elo_high": high, "stopped": self.stopped,
                "aborted": self.aborted or None}

    def summary(self) -> str:
        d = self.to_dict()
        text = f"+{self.wins} ={self.draws} -{self.losses}"
        if self.scored:
            text += (f"  score {100 * d['score']:.1f}%  Elo {d['elo']:+.0f} "
                     f"[{d['elo_low']:+.0f}, {d['elo_high']:+.0f}]")
        if self.mismatches:
            text += f"  rules mismatches {self.mismatches} (not scored)"
        if self.errors:
            text += f"  engine errors {self.errors} (not scored)"
        if self.stopped:
            text += f"  (stopped{' by ' + self.reason if self.reason else ''} after {len(self.games)} games)"
        if self.aborted:
            text += f"  (ended after {len(self.games)} games: {self.aborted})"
        return text


def score(result: dict[str, int]) -> float:
    """Wins + half the draws, over the games (0 with none)."""
    games = sum(result.values())
    return (result["wins"] + 0.5 * result["draws"]) / games if games else 0.0


def elo(wins: int, draws: int, losses: int, confidence: float = 0.95) -> tuple[float, float, float]:
    """The Elo difference a match result gives, and its confidence interval (default 95%):
    (elo, low, high). The interval comes from the score's standard error over the games
    (a normal approximation, per-game variance from the results themselves). A score of 0 or 1
    gives an infinite bound; no games give (nan, -inf, inf)."""
    n = wins + draws + losses
    if n == 0:
        return math.nan, -math.inf, math.inf
    p = (wins + 0.5 * draws) / n
    var = (wins * (1 - p) ** 2 + draws * (0.5 - p) ** 2 + losses * p ** 2) / n
    z = NormalDist().inv_cdf(0.5 + confidence / 2)
    se = math.sqrt(var / n)
    return elo_of_score(p), elo_of_score(p - z * se), elo_of_score(p + z * se)


def elo_of_score(p: float) -> float:
    """The Elo difference whose expected score is p (±inf at 0 and 1)."""
    if p <= 0:
        return -math.inf
    if p >= 1:
        return math.inf
    return -400 * math.log10(1 / p - 1) + 0.0  # + 0.0: no -0 at an even score
