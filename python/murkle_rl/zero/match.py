"""Matches of the agent against UCI engines: ``murkle-zero match --opponent CMD ...``.

The agent plays with its own search (:class:`murkle_rl.zero.play.SearchSession`, a fixed number of
simulations per move, its tree kept from move to move); the opponent is any UCI engine, spoken to
through :class:`UciEngine`, a small client over pipes that works on every board size (it checks
nothing itself). ``murkle_chess`` referees every game: an engine move it refuses ends the game as
a *rules mismatch*, which is reported apart and never scored. Games longer than ``max_plies`` are
adjudicated drawn.

The client trusts its engine little: it reads the engine's output as UTF-8 whatever the locale
(bytes that are not UTF-8 read as U+FFFD), keeps only the last of its ``info`` lines, and a line
is read at most 64 KB at a time. An engine that dies is restarted for the next game; one that
cannot be restarted ends the match with the games finished so far (``MatchResult.aborted``),
which are still counted and written.

Openings: games come in pairs; each pair plays one random opening of ``opening_plies`` plies
(drawn from the match seed), once with the agent White and once Black.

Boards other than 8x8: an engine with a ``VariantPath`` option (Fairy-Stockfish) gets a variant
definition of our rules (:func:`fairy_variant`) and plays it as ``UCI_Variant``; an engine whose
``UCI_Variant`` offers ``WxH`` (our own UCI engine) gets that. On 8x8 the opponent plays standard
chess (castling on): the referee's only difference there is the move-clock draw at 150 plies
instead of 100, which an engine may count differently but which never makes a move illegal.

Score and Elo: the score is (wins + draws / 2) / games over the scored games; its 95% interval is
the normal approximation mean +- 1.96 * sd / sqrt(n) of the per-game scores (1, 1/2, 0), and
the Elo difference and its interval are ``-400 * log10(1 / s - 1)`` of the score and of the
interval's ends (infinite at a score of 0 or 1).
"""

from __future__ import annotations

import io
import os
import queue
import shlex
import shutil
import subprocess
import tempfile
import threading
import time
from typing import Any, Callable, Sequence

import numpy as np

import murkle_chess
import murkle_rl

from .agent import check_can_play
from ..pgn import write_pgn
from .play import Limit, SearchSession
from .records import GameRecord, MatchResult
from .rules import STANDARD_FEN, legal_by_lan, new_game, start_fen

__all__ = ["UciEngine", "EngineError", "fairy_variant", "MatchResult", "play_game", "run_match",
           "ladder"]

FAIRY_MAX = (12, 10)  # files and ranks of Fairy-Stockfish's large-board build
MAX_LINE = 1 << 16  # characters of an engine's line kept; the rest of a longer line is dropped
QUEUED_LINES = 1024  # lines read ahead of the client; the engine waits on its pipe beyond them


class EngineError(RuntimeError):
    """The engine died, hung or said something the client cannot use."""


# ------------------------------------------------------------------ UCI client


def resolve_command(cmd: str | Sequence[str]) -> list[str]:
    """The command as a list; a first word that is not on PATH is also looked for in /usr/games
    (where Debian puts its chess engines)."""
    words = shlex.split(cmd) if isinstance(cmd, str) else list(cmd)
    if not words:
        raise ValueError("empty engine command")
    if os.sep not in words[0] and shutil.which(words[0]) is None:
        found = shutil.which(words[0], path="/usr/games")
        if found:
            words[0] = found
    return words


class UciEngine:
    """A UCI engine in a subprocess: ``bestmove(fen, moves, nodes=|movetime=)`` asks it for a move.

    Every wait has a timeout, after which the engine is told to stop and, if it still does not
    answer, killed (EngineError). ``options`` maps names to values (set after ``uci``).
    """

    def __init__(self, cmd: str | Sequence[str], options: dict[str, str] | None = None,
                 timeout: float = 30.0) -> None:
        self.cmd = resolve_command(cmd)
        self.timeout = timeout
        try:
            self.proc = subprocess.Popen(self.cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL)
        except OSError as e:
            raise EngineError(f"cannot start {self.cmd[0]}: {e}") from None
        # UTF-8 both ways whatever the locale: a stray byte must not end the reader
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.stdin = io.TextIOWrapper(self.proc.stdin, encoding="utf-8", errors="replace", line_buffering=True)
        self.stdout = io.TextIOWrapper(self.proc.stdout, encoding="utf-8", errors="replace")
        self.lines: queue.Queue[str | None] = queue.Queue(QUEUED_LINES)
        self.last_info = ""  # the engine's last info line: the only one kept
        self.closed = False
        threading.Thread(target=self._read, daemon=True).start()
        self.name = self.cmd[0]
        self.options: dict[str, dict[str, Any]] = {}

        def handshake(line: str) -> None:
            if line.startswith("id name "):
                self.name = line[8:].strip()[:200]
            elif line.startswith("option name "):
                self._option(line)

        try:
            self.send("uci")
            self._until(lambda s: s == "uciok", timeout, handshake)
            for name, value in (options or {}).items():
                self.set_option(name, value)
            self.ready()
        except EngineError:
            self.close()
            raise

    def _read(self) -> None:
        """Passes the engine's lines to the client, all but its info lines (a search may send
        them without end), of which the last is kept; the queue's bound makes the engine wait."""
        whole = True  # the last piece read ended its line
        while True:
            try:
                piece = self.stdout.readline(MAX_LINE)
            except (OSError, ValueError):
                break
            if not piece:
                break
            start, whole = whole, piece.endswith("\n")
            if not start:  # the rest of an overlong line
                continue
            line = piece.rstrip("\r\n")
            if line.startswith("info"):
                self.last_info = line
            elif not self._put(line):
                return
        self._put(None)

    def _put(self, line: str | None) -> bool:
        """Queues a line, waiting while the queue is full; False once the client has closed."""
        while not self.closed:
            try:
                self.lines.put(line, timeout=0.5)
                return True
            except queue.Full:
                pass
        return False

    def _option(self, line: str) -> None:
        words = line.split()
        t = words.index("type") if "type" in words else len(words)
        name = " ".join(words[2:t])
        kind = words[t + 1] if t + 1 < len(words) else ""
        vars_ = [words[i + 1] for i, w in enumerate(words[:-1]) if w == "var"]
        self.options[name.lower()] = {"name": name, "type": kind, "vars": vars_}

    def send(self, line: str) -> None:
        try:
            self.stdin.write(line + "\n")
            self.stdin.flush()
        except (OSError, ValueError) as e:
            raise EngineError(f"{self.name} is gone ({e})") from None

    def _until(self, done: Callable[[str], bool], timeout: float,
               each: Callable[[str], None] | None = None) -> str:
        """Reads lines up to the first for which done(line) holds, and returns it; each line
        before it goes to ``each``."""
        end = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                raise EngineError(f"{self.name} did not answer within {timeout:g} s") from None
            if line is None:
                try:
                    status = self.proc.wait(timeout=1)
                except subprocess.TimeoutExpired:
                    status = None
                raise EngineError(f"{self.name} exited (status {status})")
            if done(line):
                return line
            if each is not None:
                each(line)

    def has_option(self, name: str) -> bool:
        return name.lower() in self.options

    def set_option(self, name: str, value: Any) -> None:
        self.send(f"setoption name {name} value {value}")

    def ready(self) -> None:
        self.send("isready")
        self._until(lambda s: s == "readyok", self.timeout)

    def new_game(self) -> None:
        self.send("ucinewgame")
        self.ready()

    def bestmove(self, fen: str, moves: Sequence[str], nodes: int | None = None,
                 movetime: int | None = None) -> str | None:
        """The engine's move (its text as sent, None for ``(none)``/``0000``) in the position
        ``fen`` after ``moves``."""
        pos = "position startpos" if fen == STANDARD_FEN else f"position fen {fen}"
        self.send(pos + (" moves " + " ".join(moves) if moves else ""))
        if nodes is not None:
            self.send(f"go nodes {nodes}")
            wait = self.timeout
        elif movetime is not None:
            self.send(f"go movetime {movetime}")
            wait = movetime / 1000 + self.timeout
        else:
            raise ValueError("give nodes or movetime")
        try:
            line = self._until(lambda s: s.startswith("bestmove"), wait)
        except EngineError:
            if self.proc.poll() is not None:
                raise
            self.send("stop")
            line = self._until(lambda s: s.startswith("bestmove"), 5.0)
        words = line.split()
        if len(words) < 2 or words[1] in ("(none)", "0000", "none"):
            return None
        return words[1]

    def close(self) -> None:
        """Quits the engine (kills it if it does not exit)."""
        self.closed = True
        try:
            self.send("quit")
        except EngineError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def __enter__(self) -> UciEngine:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


# ------------------------------------------------------------------ Fairy-Stockfish


def fairy_variant(width: int, height: int, name: str | None = None) -> tuple[str, str]:
    """(name, text) of a Fairy-Stockfish variant definition of our rules on width x height:
    our start position, no castling, pawns that double-step from their second rank (en passant as
    usual) and promote on the last rank to queen, rook, bishop or knight, and the move-clock draw
    at 150 plies (75 moves). Fairy-Stockfish's large-board build plays up to 12 files and 10 ranks.
    Repetitions, which our rules never count, stay draws for that engine's own search."""
    if width > FAIRY_MAX[0] or height > FAIRY_MAX[1]:
        raise ValueError(f"Fairy-Stockfish plays boards of at most {FAIRY_MAX[0]} files and "
                         f"{FAIRY_MAX[1]} ranks, not {width}x{height}")
    name = name or f"murkle{width}x{height}"
    text = "\n".join([
        f"[{name}:chess]",
        f"maxFile = {chr(ord('a') + width - 1)}",
        f"maxRank = {height}",
        f"startFen = {murkle_rl.start_fen(width, height)}",
        "castling = false",
        f"promotionRank = {height}",
        "promotionPieceTypes = nbrq",
        "doubleStep = true",
        "doubleStepRank = 2",
        "firstRankDoubleSteps = false",
        "nMoveRule = 75",
        "",
    ])
    return name, text


def prepare_board(engine: UciEngine, width: int, height: int, workdir: str) -> None:
    """Tells an engine the board it plays: standard chess on 8x8; elsewhere our variant file
    (engines with VariantPath), or its own ``WxH`` UCI_Variant when it offers one."""
    variant = engine.options.get("uci_variant")
    if (width, height) == (8, 8):
        if variant and "chess" in variant["vars"]:
            engine.set_option("UCI_Variant", "chess")
    elif engine.has_option("VariantPath"):
        name, text = fairy_variant(width, height)
        path = os.path.join(workdir, f"{name}.ini")
        with open(path, "w") as f:
            f.write(text)
        engine.set_option("VariantPath", path)
        engine.set_option("UCI_Variant", name)
    elif variant and f"{width}x{height}" in variant["vars"]:
        engine.set_option("UCI_Variant", f"{width}x{height}")
    engine.ready()


# ------------------------------------------------------------------ games


def play_game(session: SearchSession, simulations: int, engine: UciEngine, width: int, height: int,
              opening: Sequence[str] = (), agent_white: bool = True, nodes: int | None = None,
              movetime: int | None = None, max_plies: int = 600, agent_name: str = "agent") -> GameRecord:
    """One game from the start position of width x height after ``opening`` (LAN); the agent
    searches ``simulations`` per move, the engine ``nodes`` or ``movetime`` ms."""
    start = start_fen(width, height)
    game = new_game(width, height, start)
    moves: list[str] = []
    for step in opening:
        game.make_move(legal_by_lan(game)[step])
        moves.append(step)
    white, black = (agent_name, engine.name) if agent_white else (engine.name, agent_name)
    record = GameRecord(width, height, start, moves, white=white, black=black, outcome="error",
                        agent_white=agent_white)
    try:
        engine.new_game()
        while True:
            if game.is_over():
                code = game.outcome()
                assert code is not None
                record.termination = "normal"
                if code.is_draw():
                    record.result, record.outcome = "1/2-1/2", "draw"
                else:
                    white_won = code.winner() == murkle_chess.WHITE
                    record.result = "1-0" if white_won else "0-1"
                    record.outcome = "win" if white_won == agent_white else "loss"
                record.note = code.name()
                break
            if len(moves) >= max_plies:
                record.result, record.termination, record.outcome = "1/2-1/2", "adjudication", "draw"
                record.note = f"drawn at the {max_plies}-ply cap"
                break
            agent_turn = (game.turn() == murkle_chess.WHITE) == agent_white
            lan: str | None
            if agent_turn:
                session.set_position(width, height, start, moves)
                lan = session.search(Limit(nodes=simulations)).best
                assert lan is not None  # the game is not over
            else:
                lan = engine.bestmove(start, moves, nodes=nodes, movetime=movetime)
                if lan is None or lan not in legal_by_lan(game):
                    record.result, record.termination, record.outcome = "*", "rules infraction", "mismatch"
                    played = "no move" if lan is None else f"{lan}"
                    record.note = f"{engine.name} played {played}, which our rules refuse in {game.to_fen()}"
                    break
            game.make_move(legal_by_lan(game)[lan])
            moves.append(lan)
    except EngineError as e:
        record.result, record.termination, record.outcome, record.note = "*", "abandoned", "error", str(e)
    return record


def random_opening(width: int, height: int, plies: int, rng: np.random.Generator) -> list[str]:
    """``plies`` random legal moves from the start position that leave the game going."""
    start = start_fen(width, height)
    for _ in range(100):
        game = new_game(width, height, start)
        moves = []
        for _ in range(plies):
            legal = game.legal_moves()
            if not legal or game.is_over():
                break
            move = legal[int(rng.integers(len(legal)))]
            game.make_move(move)
            moves.append(move.to_lan())
        if len(moves) == plies and not game.is_over():
            return moves
    return []


def run_match(agent: Any, opponent: str | Sequence[str], games: int, simulations: int = 200,
              nodes: int | None = None, movetime: int | None = None, width: int | None = None,
              height: int | None = None, options: dict[str, str] | None = None, opening_plies: int = 4,
              seed: int = 0, max_plies: int = 600, pgn_path: str | None = None,
              progress: Any = None, engine_timeout: float = 60.0, leaves: int = 1,
              c_puct: float | None = None) -> MatchResult:
    """Plays ``games`` games (rounded up to pairs of colours) of the agent against the UCI engine
    ``opponent`` (a command line), on the agent's board unless width and height are given.

    nodes / movetime: the engine's limit per move (nodes 1 when neither is given). options: UCI
    options for the engine. leaves: the agent's positions per network call (virtual loss keeps
    them apart). c_puct: the agent's PUCT exploration weight (None: its own, ``eval_c_puct``).
    progress: called with each finished GameRecord. The PGN of every game
    goes to ``pgn_path`` when given. Ctrl-C ends the match with the games finished so far
    (``stopped``), whose PGN is still written; so does an engine that cannot be restarted
    after it died (``aborted`` says why).
    """
    width = width or agent.width
    height = height or agent.height
    check_can_play(agent, width, height)
    if nodes is None and movetime is None:
        nodes = 1
    rng = np.random.default_rng(seed)
    result = MatchResult()
    session = SearchSession(agent, c_puct=c_puct, seed=seed, simulations=simulations, leaves=leaves)
    agent_name = "agent"  # as in the games of training
    with tempfile.TemporaryDirectory(prefix="murkle-match-") as workdir:
        engine: UciEngine | None = None
        try:
            pairs = (games + 1) // 2
            for pair in range(pairs):
                opening = random_opening(width, height, opening_plies, rng)
                for agent_white in (True, False):
                    if engine is None:
                        try:
                            engine = UciEngine(opponent, options, timeout=engine_timeout)
                            prepare_board(engine, width, height, workdir)
                        except EngineError as e:
                            if not result.games:  # nothing played: the engine never worked
                                raise
                            if engine is not None:
                                engine.close()
                                engine = None
                            result.aborted = f"the engine could not be restarted: {e}"
                            break
                    record = play_game(session, simulations, engine, width, height, opening,
                                       agent_white, nodes, movetime, max_plies, agent_name)
                    record.round = f"{pair + 1}.{1 if agent_white else 2}"
                    record.event = f"{agent_name} vs {engine.name}"
                    result.add(record)
                    if record.outcome == "error":  # start afresh for the next game
                        engine.close()
                        engine = None
                    if progress is not None:
                        progress(record)
                if result.aborted:
                    break
        except KeyboardInterrupt:
            result.stopped, result.reason = True, "Ctrl-C"
        finally:
            if engine is not None:
                engine.close()
    if pgn_path:
        write_pgn([g.pgn for g in result.games], pgn_path)
    return result


def plain_rows(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """:func:`ladder`'s rows without their ``MatchResult``, ready for JSON."""
    return [{k: v for k, v in row.items() if k != "result"} for row in rows]


def ladder(agent: Any, opponent_cmd: str | Sequence[str], nodes: Sequence[int] = (1, 10, 100, 1000),
           games: int = 10, simulations: int = 200, pgn_path: str | None = None,
           done: Callable[[dict[str, Any]], None] | None = None, **kwargs: Any) -> list[dict[str, Any]]:
    """A match at each engine node budget: a list of ``{"nodes": n, **MatchResult.to_dict(),
    "pgn": path or None, "result": MatchResult}``, weakest budget first, each also passed to
    ``done`` as it ends. ``pgn_path`` gets a ``-nodesN`` suffix per budget. Ctrl-C ends the
    match under way with its games finished and plays no later budget. Other arguments go to
    :func:`run_match`."""
    out = []
    for n in nodes:
        pgn = f"{os.path.splitext(pgn_path)[0]}-nodes{n}.pgn" if pgn_path else None
        r = run_match(agent, opponent_cmd, games, simulations, nodes=n, pgn_path=pgn, **kwargs)
        out.append({"nodes": n, **r.to_dict(), "pgn": pgn, "result": r})
        if done is not None:
            done(out[-1])
        if r.stopped or r.aborted:  # the budgets after it are not played
            break
    return out
