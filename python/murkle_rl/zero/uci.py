"""The agent as a UCI engine: ``murkle-zero uci --checkpoint DIR`` (or ``python -m murkle_rl.zero.uci``).

The engine speaks UCI on standard input and output. Its search is the agent's tree search
(:class:`Searcher`, PUCT over the agent's priors and values), run in a background thread so that
``stop``, ``isready`` and ``quit`` are answered while it thinks. It plays any board size its agent
fits (``can_play``); the size comes from the FEN of ``position fen``, or for ``position startpos``
from the ``UCI_Variant`` option (``chess`` is 8x8 with castling, ``WxH`` any other board, e.g.
``6x6``), or the ``BoardSize`` string option, which takes any ``WxH`` (the option set last wins).

Behaviour worth knowing:

- ``go`` before any ``position`` searches the start position of the current board size.
- A ``moves`` list with an illegal move stops at that move (the position is the legal prefix) and
  says so with ``info string error: ...``; so does every other line the engine cannot read. The
  engine never exits on bad input, and echoes at most 100 characters of a word it cannot read.
- A ``position`` the engine refuses (a bad FEN, a board its agent cannot play, a side not to move
  in check, whose king could be taken) leaves no position: a ``go`` after it answers
  ``bestmove 0000``.
- Every ``go`` is answered with ``bestmove``, ``0000`` when there is no move to give (the game is
  over, or the ``go`` or its position was refused, said in an ``info string error``).
- ``go searchmoves M1 M2 ...``: the search runs over every root move as usual (the tree search
  cannot be held to some of them), and the answer is the most visited of the allowed moves (the
  first of them given when the search visited none).
- ``go nodes N`` runs N simulations, ``movetime`` and the clock (``wtime``/``btime``/``winc``/
  ``binc``/``movestogo``) stop the search by time, ``infinite`` and ``ponder`` search until
  ``stop`` (or ``ponderhit``, which turns a ponder search into a timed one); a bare ``go`` runs
  ``Simulations``. ``depth`` and ``mate`` are not limits here and are ignored. The tree also stops
  growing once it holds ``Hash`` MB; a search that must wait for ``stop`` then idles.
- The score: ``cp = round(111.71 * tan(1.5620688 * v))`` of the root value v in [-1, 1] (from the
  side to move), clipped to +-12800, a monotone map that gives 0 at 0 and about 100 at v = 0.5;
  ``score mate`` when the principal variation ends in checkmate. No ``wdl`` unless
  ``UCI_ShowWDL`` is set: the agent predicts no draws, so it comes from the value alone
  (win = round(500 * (1 + v)), draw 0, loss the rest).
- Input is read and answers written as UTF-8 whatever the locale; bytes that are not UTF-8 read
  as U+FFFD.
- Tree reuse: a ``position`` that continues the previous one (same start, the old moves then more)
  keeps the search tree through ``Search.step``; any other position starts a fresh tree.
"""

from __future__ import annotations

import argparse
import io
import math
import re
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, TextIO

import numpy as np

import murkle_chess
import murkle_rl

from .agent import UniformAgent, can_play, chosen_line, line_text, load_agent, planes_read, play_c_puct

__all__ = ["Searcher", "SearchResult", "Engine", "board_size_of_fen", "parse_size", "can_play", "main"]

NAME = "murkle-zero"
AUTHOR = "the murkle_chess developers"
MAX_CP = 12800
SHOWN = 100  # characters of an unreadable word echoed back


def shown(text: str, limit: int = SHOWN) -> str:
    """``repr`` of text from the other side, cut to ``limit`` characters with an ellipsis."""
    text = str(text)
    return repr(text if len(text) <= limit else text[:limit] + "…")


def utf8_stream(stream: TextIO, write: bool = False) -> TextIO:
    """``sys.stdin`` or ``sys.stdout`` set to UTF-8 whatever the locale, in place (a new wrapper
    would close the process's stream when dropped): bytes that are not UTF-8 read as U+FFFD
    instead of ending the session; written lines go out at once. A stream that is not the
    system's (a test's capture) is taken as it is."""
    try:
        stream.reconfigure(encoding="utf-8", errors="replace",  # type: ignore[attr-defined]
                           **({"line_buffering": True} if write else {}))
    except (AttributeError, ValueError, io.UnsupportedOperation):
        pass
    return stream


# ------------------------------------------------------------------ positions


def board_size_of_fen(fen: str) -> tuple[int, int]:
    """(width, height) of a FEN's placement: one row per '/'-separated part, the width of the
    first row counted from its piece letters and its (possibly multi-digit) empty runs."""
    placement = fen.strip().split(" ")[0]
    rows = placement.split("/")
    tokens = re.findall(r"\d+|.", rows[0])
    width = sum(int(t) if t.isdigit() else 1 for t in tokens)
    if width < 1:
        raise ValueError(f"cannot read a board width from {shown(rows[0])}")
    return width, len(rows)


def parse_size(text: str) -> tuple[int, int]:
    """A board size from ``chess`` (8x8) or ``WxH``."""
    text = text.strip().lower()
    if text in ("chess", "standard"):
        return 8, 8
    m = re.fullmatch(r"(\d+)\s*x\s*(\d+)", text)
    if not m:
        raise ValueError(f"a board size is 'chess' or WxH (e.g. 6x6), not {shown(text)}")
    w, h = int(m.group(1)), int(m.group(2))
    if not (1 <= h <= 32 and 1 <= w * h <= 1024):
        raise ValueError(f"no board of {w}x{h}: 1 to 32 rows and at most 1024 squares")
    return w, h


def board_side(text: str) -> int:
    """A board's width or height on a command line: 1 to 1024 (argparse type)."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {shown(text)}") from None
    if not 1 <= n <= 1024:
        raise argparse.ArgumentTypeError(f"a board side is 1 to 1024 squares, not {shown(text, 24)}")
    return n


def size_argument(text: str) -> tuple[int, int]:
    """:func:`parse_size` as an argparse type."""
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def side_not_to_move_in_check(game: murkle_chess.Game) -> bool:
    """Whether the side that has just moved is in check: its king could be taken, a position no
    game reaches. The rules module accepts such FENs; the front ends refuse them."""
    fields = game.to_fen().split(" ")
    fields[1] = "b" if fields[1] == "w" else "w"
    fields[3] = "-"  # an en passant square belongs to the side to move
    return murkle_chess.Game(game.width(), game.height(), " ".join(fields), game.castling_enabled()).is_check()


def new_game(width: int, height: int, fen: str | None = None) -> murkle_chess.Game:
    """A game of our rules: castling exists on 8x8 only; ``fen`` None is the start position."""
    return murkle_chess.Game(width, height, fen or murkle_rl.start_fen(width, height), width == height == 8)


def legal_by_lan(game: murkle_chess.Game) -> dict[str, murkle_chess.Move]:
    """The legal moves of a game by their long algebraic text (which reads every board size,
    squares like ``a10`` and ``26-1`` included)."""
    return {m.to_lan(): m for m in game.legal_moves()}


# ------------------------------------------------------------------ search


@dataclass
class SearchResult:
    """What a search found: the best move and its line, from the side to move."""

    best: str | None  # LAN, None when the side to move has no move
    pv: list[str]
    value: float  # root value in [-1, 1] from the side to move
    simulations: int  # simulations of this search (reused ones not counted)
    seconds: float
    depth: int
    seldepth: int
    mate: int | None = None  # plies to a mate along the pv, signed as the UCI "mate" score
    lines: list[tuple[str, int, float]] = field(default_factory=list)  # (lan, visits, value) best first

    @property
    def ponder(self) -> str | None:
        return self.pv[1] if len(self.pv) > 1 else None


class Searcher:
    """The agent's search over one game, keeping its tree from move to move.

    ``set_position(fen, moves)`` brings the tree to a position (``Search.step`` when the moves
    continue the previous position, a fresh tree otherwise); ``search(...)`` runs PUCT rounds of
    the agent until a limit and reads the results. Used by the UCI engine and the match runner.
    """

    def __init__(self, agent: Any, *, c_puct: float | None = None, seed: int = 0, simulations: int = 1 << 22,
                 leaves: int = 1) -> None:
        self.agent = agent
        self.leaves = leaves  # leaves per network call, kept apart by virtual loss
        # the most simulations of one search: a search whose every descent ends on a finished
        # position runs them all at once inside one select(), so it stays bounded
        self.simulations = simulations
        self.c_puct = play_c_puct(agent) if c_puct is None else c_puct  # None: the agent's own
        self.seed = seed
        self.batch: Any = None
        self.search_: Any = None
        self.size: tuple[int, int] | None = None
        self.start: str | None = None
        self.moves: list[str] = []
        self.game: murkle_chess.Game | None = None  # the batch's game, mirrored

    # -- position

    def set_position(self, width: int, height: int, start_fen: str, moves: list[str]) -> None:
        """Moves the tree to ``start_fen`` (a board of width x height) followed by ``moves``
        (LAN, all legal: see :func:`play_moves`)."""
        if not can_play(self.agent, width, height):
            raise ValueError(f"this agent plays boards with {self.agent.action_planes} move planes "
                             f"({self.agent.width}x{self.agent.height}), not {width}x{height}")
        continues = (self.game is not None and self.size == (width, height) and self.start == start_fen
                     and moves[:len(self.moves)] == self.moves)
        if continues:
            try:
                continues = self._step(moves[len(self.moves):])
            except Exception:  # whatever went wrong, the fresh tree below is exact (or says why not)
                continues = False
        if not continues:
            game = play_moves(new_game(width, height, start_fen), moves)
            if self.size != (width, height):
                self.batch = murkle_rl.GameBatch(1, width, height, fen=start_fen, threads=1, seed=self.seed,
                                                 planes=planes_read(self.agent))
                self.size = (width, height)
            self.batch.set_game(0, game)
            # a new tree: a search left unfinished (all of ours are: they stop on a limit of
            # their own) would go on with its old tree after set_game
            self.search_ = murkle_rl.Search(self.batch, self.simulations, c_puct=self.c_puct, seed=self.seed,
                                            leaves_per_round=self.leaves)
            self.game = game.clone()
            self.start = start_fen
            self.moves = list(moves)

    def _step(self, moves: list[str]) -> bool:
        """Plays moves through the search, keeping the tree; False where the batch would not
        follow (a finished game restarts at its next step)."""
        assert self.game is not None
        for lan in moves:
            if self.game.is_over():
                return False
            move = legal_by_lan(self.game).get(lan)
            if move is None:
                raise ValueError(f"illegal move {lan} in {self.game.to_fen()}")
            self.search_.step(np.array([murkle_rl.encode_action(self.game, move)], np.int64))
            self.game.make_move(move)
            self.moves.append(lan)
        return True

    # -- search

    def search(self, nodes: int | None = None, deadline: Callable[[], float | None] | None = None,
               stop: threading.Event | None = None, wait: Callable[[], bool] | None = None,
               max_bytes: int | None = None, multipv: int = 1,
               on_info: Callable[[SearchResult], None] | None = None, info_every: float = 1.0) -> SearchResult:
        """Searches the current position.

        nodes: simulations to run (None: no node limit). deadline: a function giving the
        ``time.monotonic()`` at which to stop, or None for no time limit (asked every round, so
        that a ponder search can become timed). stop: an event that ends the search. wait: while
        it returns True, a search whose limits are reached idles instead of returning (infinite
        and ponder searches). max_bytes: the tree stops growing at this size. on_info: called
        with the results so far every ``info_every`` seconds.
        """
        assert self.game is not None and self.search_ is not None
        started = time.monotonic()
        game = self.game
        if not game.legal_moves():
            return SearchResult(None, [], -1.0 if game.is_check() else 0.0, 0, 0.0, 0, 0)
        if game.is_over():  # drawn by the rules but moves remain: the network's choice
            return self._network_move(started)
        ends = self._ending_moves()
        if ends is not None:  # every move ends the game: no tree to grow
            return ends
        planes = np.zeros((self.leaves, len(self.batch.plane_indices), game.height(), game.width()), np.float32)
        search = self.search_
        baseline: int | None = None
        done = rounds = 0
        complete = False
        last_info = started
        while True:
            stopping = stop is not None and stop.is_set()
            limit = (nodes is not None and done >= nodes)
            if deadline is not None:
                d = deadline()
                limit = limit or (d is not None and time.monotonic() >= d)
            full = complete or (max_bytes is not None and search.memory_bytes >= max_bytes)
            if baseline is not None and done >= 1 and (stopping or ((limit or full) and not (wait and wait()))):
                break
            if baseline is not None and done >= 1 and (limit or full):  # waiting for stop
                time.sleep(0.005)
                continue
            k = search.select(planes)
            complete = k == 0
            if k:
                logits, values = self.agent(planes[:k], None)
                search.expand(np.asarray(logits, np.float32), np.asarray(values, np.float32))
            total = int(search.visits().sum())
            if baseline is None:
                # after the first round: a fresh root was evaluated (no visits yet), a kept one
                # has had one simulation on top of its reused visits
                baseline = total - 1 if total > 0 else 0
            done = total - baseline
            rounds += 1
            if total == 0 and rounds >= 3:  # the root takes no action: never wait on it
                raise RuntimeError("the search makes no progress in this position")
            now = time.monotonic()
            if on_info is not None and now - last_info >= info_every:
                last_info = now
                on_info(self.result(done, now - started, multipv))
        return self.result(done, time.monotonic() - started, multipv)

    def _ending_moves(self) -> SearchResult | None:
        """When every legal move ends the game: the best of them (a mate, else a draw)."""
        game = self.game
        assert game is not None
        best, best_value = None, -2.0
        for move in game.legal_moves():
            game.make_move(move)
            try:
                if not game.is_over():
                    return None
                value = -float(game.reward_from_perspective(game.turn()))
            finally:
                game.unmake_move()
            if value > best_value:
                best, best_value = move.to_lan(), value
        assert best is not None
        mate = 1 if best_value > 0 else None
        return SearchResult(best, [best], best_value, 0, 0.0, 1, 1, mate)

    def _network_move(self, started: float) -> SearchResult:
        game = self.game
        assert game is not None
        planes = murkle_rl.planes(game)[None]
        logits, values = self.agent(planes, None)
        logits = np.asarray(logits, np.float64).reshape(-1).copy()
        mask = murkle_rl.legal_action_mask(game).reshape(-1)
        logits[~mask] = -np.inf
        best = murkle_rl.decode_action(game, int(logits.argmax())).to_lan()
        v = float(np.asarray(values).reshape(-1)[0])
        return SearchResult(best, [best], v, 0, time.monotonic() - started, 1, 1)

    def result(self, simulations: int, seconds: float, multipv: int = 1) -> SearchResult:
        """The results so far of the current search."""
        game = self.game
        assert game is not None
        search = self.search_
        visits = search.visits()[0]
        value = float(search.root_values()[0])
        best_action = int(search.choose(0.0)[0])
        visited = np.flatnonzero(visits)
        visited = visited[np.argsort(-visits[visited], kind="stable")]
        order = [best_action] + [int(a) for a in visited if a != best_action]
        pv_actions = chosen_line(search, best_action)
        pv = line_text(game, pv_actions)
        mate = mate_along(game, pv_actions)
        lines = []
        for a in order[:max(1, multipv)]:
            lan = murkle_rl.decode_action(game, int(a)).to_lan()
            lines.append((lan, int(visits[a]), value if int(a) == best_action else self._child_value(int(a))))
        seldepth = search.max_depth(0)
        return SearchResult(pv[0] if pv else None, pv, value, simulations, seconds, len(pv),
                            max(seldepth, len(pv)), mate, lines)

    def _child_value(self, action: int) -> float:
        """The value of a root move other than the best, from the side to move at the root:
        the network's value of the position after it (the search exposes no per-child value)."""
        game = self.game
        assert game is not None
        child = game.clone()
        child.make_move(murkle_rl.decode_action(game, action))
        if child.is_over():
            return -float(child.reward_from_perspective(child.turn()))
        _, values = self.agent(murkle_rl.planes(child)[None], None)
        return -float(np.asarray(values).reshape(-1)[0])


def mate_along(game: murkle_chess.Game, actions: list[int]) -> int | None:
    """UCI mate score when the line ends in checkmate: +n moves when the side to move mates."""
    g = game.clone()
    for a in actions:
        g.make_move(murkle_rl.decode_action(g, int(a)))
    if not actions or not g.is_checkmate():
        return None
    plies = len(actions)
    return (plies + 1) // 2 if plies % 2 == 1 else -(plies // 2)


def play_moves(game: murkle_chess.Game, moves: list[str], played: list[str] | None = None) -> murkle_chess.Game:
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


def centipawns(value: float) -> int:
    """The UCI centipawn score of a value in [-1, 1]."""
    v = max(-1.0, min(1.0, float(value)))
    return int(max(-MAX_CP, min(MAX_CP, round(111.71 * math.tan(1.5620688 * v)))))


# ------------------------------------------------------------------ the engine


@dataclass
class Option:
    name: str
    kind: str  # spin, check, combo, string
    default: Any
    min: int | None = None
    max: int | None = None
    vars: tuple[str, ...] = ()

    def declaration(self) -> str:
        text = f"option name {self.name} type {self.kind} default {str(self.default).lower() if self.kind == 'check' else self.default}"
        if self.kind == "spin":
            text += f" min {self.min} max {self.max}"
        for v in self.vars:
            text += f" var {v}"
        return text

    def parse(self, value: str) -> Any:
        if self.kind == "spin":
            try:
                n = int(value)
            except ValueError:
                raise ValueError(f"option {self.name} takes an integer, not {shown(value)}") from None
            if not (self.min <= n <= self.max):  # type: ignore[operator]
                raise ValueError(f"option {self.name} takes {self.min} to {self.max}, not {n}")
            return n
        if self.kind == "check":
            if value.lower() not in ("true", "false"):
                raise ValueError(f"option {self.name} takes true or false, not {shown(value)}")
            return value.lower() == "true"
        if self.kind == "combo":
            for v in self.vars:
                if v.lower() == value.lower():
                    return v
            raise ValueError(f"option {self.name} takes one of {', '.join(self.vars)}, not {shown(value)}")
        return value


def variant_names(agent: Any) -> tuple[str, ...]:
    """The board sizes offered as UCI_Variant values: ``chess`` when the agent plays 8x8, then
    the sizes of its policy head (every WxH with max(W, H) of the agent's board, from 3 rows and
    columns on); for an agent of any size, the square boards 4x4 to 16x16."""
    names = []
    if can_play(agent, 8, 8):
        names.append("chess")
    if isinstance(agent, UniformAgent):
        sizes = [(n, n) for n in range(4, 17)]
    else:
        m = max(agent.width, agent.height)
        sizes = [(agent.width, agent.height)] + [(w, h) for w in range(3, m + 1) for h in range(3, m + 1)
                                                 if max(w, h) == m and (w, h) != (agent.width, agent.height)]
    names += [f"{w}x{h}" for w, h in sizes if can_play(agent, w, h) and (w, h) != (8, 8)]
    return tuple(names)


class Engine:
    """One UCI session: ``handle(line)`` answers a line of the protocol (``False`` after
    ``quit``); answers go to ``out`` through one lock, from this thread and the search thread.

    agent_loader: makes the agent for a number of threads (the Threads option reloads it).
    """

    def __init__(self, agent_loader: Callable[[int], Any], out: TextIO = sys.stdout) -> None:
        self.load = agent_loader
        self.agent = agent_loader(1)
        self.out = out
        self.lock = threading.Lock()
        w, h = self.agent.width, self.agent.height
        names = variant_names(self.agent)
        default_variant = "chess" if (w, h) == (8, 8) else f"{w}x{h}"
        self.options = {o.name.lower(): o for o in [
            Option("Simulations", "spin", 800, 1, 10**7),
            Option("Threads", "spin", 1, 1, 256),
            Option("MultiPV", "spin", 1, 1, 500),
            Option("Hash", "spin", 1024, 16, 1 << 20),
            Option("Move Overhead", "spin", 50, 0, 10000),
            Option("CPuct", "string", f"{play_c_puct(self.agent):g}"),
            Option("Batch", "spin", 1, 1, 256),
            Option("UCI_Variant", "combo", default_variant if default_variant in names else names[0], vars=names),
            Option("BoardSize", "string", f"{w}x{h}"),
            # off: the value head predicts no draws, so the draw share would always be 0
            Option("UCI_ShowWDL", "check", False),
            Option("Ponder", "check", False),
        ]}
        self.values = {k: o.default for k, o in self.options.items()}
        self.size = (w, h)
        self.searcher = self.new_searcher()
        self.position: tuple[int, int, str, list[str]] | None = None
        self.refused: str | None = None  # why the last position command was refused
        self.thread: threading.Thread | None = None
        self.busy = False
        self.stop_event = threading.Event()
        self.pondering = False
        self.infinite = False
        self.deadline: float | None = None
        self.pending_budget: float | None = None

    # -- output

    def send(self, text: str) -> None:
        with self.lock:
            self.out.write(text + "\n")
            self.out.flush()

    def error(self, text: str) -> None:
        # every echo of input is cut where it is made; this bounds what is left (FENs included)
        self.send(f"info string error: {text[:4000]}")

    # -- input

    def handle(self, line: str) -> bool:
        """Answers one line; returns False once the engine should exit."""
        words = line.strip().split()
        if not words:
            return True
        command, args = words[0], words[1:]
        try:
            if command == "quit":
                self.stop_search()
                return False
            handler = getattr(self, "cmd_" + command, None)
            if handler is None:
                self.error(f"unknown command {shown(command)}")
            else:
                handler(args, line.strip())
        except Exception as e:  # one bad line never ends the session
            self.error(f"{command}: {e}")
        return True

    def cmd_uci(self, args: list[str], line: str) -> None:
        self.send(f"id name {NAME}")
        self.send(f"id author {AUTHOR}")
        for o in self.options.values():
            self.send(o.declaration())
        self.send("uciok")

    def cmd_isready(self, args: list[str], line: str) -> None:
        self.send("readyok")

    def cmd_debug(self, args: list[str], line: str) -> None:
        pass

    def cmd_register(self, args: list[str], line: str) -> None:
        pass

    def cmd_ucinewgame(self, args: list[str], line: str) -> None:
        if self.searching():
            raise ValueError("ucinewgame while searching; send stop first")
        self.position = None
        self.refused = None
        self.searcher = self.new_searcher()

    def cmd_setoption(self, args: list[str], line: str) -> None:
        # by words: a name and a value may hold spaces, and "value" ends the name
        if not args or args[0] != "name" or len(args) < 2 or args[1] == "value":
            raise ValueError("expected setoption name NAME [value VALUE]")
        end = args.index("value") if "value" in args else len(args)
        name, value = " ".join(args[1:end]), " ".join(args[end + 1:])
        option = self.options.get(name.lower())
        if option is None:
            raise ValueError(f"no option {shown(name)}")
        if self.searching():
            raise ValueError("cannot set options while searching")
        parsed = option.parse(value)
        key = option.name.lower()
        if key in ("uci_variant", "boardsize"):
            size = parse_size(parsed)
            if not can_play(self.agent, *size):
                raise ValueError(f"this agent cannot play {size[0]}x{size[1]}")
            self.size = size
        elif key == "cpuct":
            c = float(parsed)
            if not (c > 0 and math.isfinite(c)):
                raise ValueError(f"CPuct must be a positive number, not {shown(parsed)}")
        elif key == "threads" and parsed != self.values[key]:
            self.agent = self.load(parsed)
        self.values[key] = parsed
        if key in ("cpuct", "threads", "batch"):
            self.searcher = self.new_searcher()

    def new_searcher(self) -> Searcher:
        """A searcher (a fresh tree) of the current options."""
        return Searcher(self.agent, c_puct=float(self.values["cpuct"]), leaves=self.values["batch"])

    def cmd_position(self, args: list[str], line: str) -> None:
        # a refused position leaves none: a go after it must not search an older one
        self.position = None
        try:
            self._set_position(args)
        except Exception as e:
            if self.position is None:
                self.refused = str(e)
            raise
        self.refused = None

    def _set_position(self, args: list[str]) -> None:
        if not args:
            raise ValueError("expected position startpos | fen FEN [moves ...]")
        if "moves" in args:
            i = args.index("moves")
            start, moves = args[:i], args[i + 1:]
        else:
            start, moves = args, []
        if not start:
            raise ValueError("expected startpos or fen FEN before moves")
        if start[0] == "startpos" and len(start) == 1:
            width, height = self.size
            fen = murkle_rl.start_fen(width, height)
        elif start[0] == "fen" and len(start) > 1:
            fields = start[1:]
            if len(fields) in (4, 5):  # the clocks left out, as some programs write FENs
                fields += ["0", "1"][len(fields) - 4:]
            fen = " ".join(fields)
            width, height = board_size_of_fen(fen)
        else:
            raise ValueError(f"expected startpos or fen FEN, got {shown(' '.join(start))}")
        if not can_play(self.agent, width, height):
            raise ValueError(f"this agent plays boards with {self.agent.action_planes} move planes "
                             f"({self.agent.width}x{self.agent.height}), not {width}x{height}")
        game = new_game(width, height, fen)  # ValueError for a bad FEN
        if side_not_to_move_in_check(game):
            raise ValueError(f"the side not to move is in check in {game.to_fen()}")
        fen = game.to_fen()
        played: list[str] = []
        self.position = (width, height, fen, played)
        self.refused = None
        play_moves(game, moves, played)  # an illegal move leaves the legal prefix

    def cmd_go(self, args: list[str], line: str) -> None:
        if self.searching():  # the search under way answers with its bestmove
            raise ValueError("already searching; send stop first")
        try:
            self._go(args)
        except Exception as e:  # a client waits for a bestmove to every go it sends
            self.error(f"go: {e}")
            self.send("bestmove 0000")

    def _go(self, args: list[str]) -> None:
        limits = parse_go(args)
        if self.refused is not None:
            raise ValueError(f"no position to search: the last one was refused ({self.refused[:200]})")
        if self.position is None:
            w, h = self.size
            self.position = (w, h, murkle_rl.start_fen(w, h), [])
        width, height, fen, moves = self.position
        self.searcher.set_position(width, height, fen, moves)
        allowed = searchable(self.searcher.game, limits.get("searchmoves"))  # type: ignore[arg-type]
        white = self.searcher.game.turn() == murkle_chess.WHITE  # type: ignore[union-attr]
        budget = time_budget(limits, white, self.values["move overhead"])
        nodes = limits.get("nodes")
        if nodes is None and budget is None and not (limits.get("infinite") or limits.get("ponder")):
            nodes = self.values["simulations"]
        self.stop_event.clear()
        self.pondering = bool(limits.get("ponder"))
        self.infinite = bool(limits.get("infinite"))
        started = time.monotonic()
        self.pending_budget = budget
        self.deadline = None if budget is None or self.pondering else started + budget
        if self.thread is not None:  # the last search has answered; let its thread end
            self.thread.join()
        self.busy = True
        self.thread = threading.Thread(target=self._think, args=(nodes, allowed), daemon=True)
        self.thread.start()

    def cmd_ponderhit(self, args: list[str], line: str) -> None:
        if self.searching() and self.pondering:
            if self.pending_budget is not None:
                self.deadline = time.monotonic() + self.pending_budget
            self.pondering = False

    def cmd_stop(self, args: list[str], line: str) -> None:
        self.stop_search()

    # -- searching

    def searching(self) -> bool:
        """Whether a search has not yet answered bestmove (its thread may still be ending)."""
        return self.busy

    def stop_search(self) -> None:
        if self.thread is not None:
            self.stop_event.set()
            self.thread.join()
            self.thread = None

    def _think(self, nodes: int | None, allowed: list[str] | None = None) -> None:
        best = None
        result = None
        multipv = self.values["multipv"]

        def info(r: SearchResult) -> None:
            self.info(r if allowed is None else restricted(r, allowed, multipv))

        try:
            result = self.searcher.search(
                nodes=nodes, deadline=lambda: None if self.pondering else self.deadline,
                stop=self.stop_event, wait=lambda: self.pondering or self.infinite,
                max_bytes=self.values["hash"] << 20,
                # with searchmoves: every visited root move, to choose among the allowed ones
                multipv=multipv if allowed is None else 1 << 16, on_info=info)
            if allowed is not None:
                result = restricted(result, allowed, multipv)
            self.info(result)
            best = result.best
        except Exception as e:
            self.error(f"search: {e}")
            game = self.searcher.game
            moves = [m.to_lan() for m in game.legal_moves()] if game is not None else []
            choices = allowed or moves
            best = choices[0] if choices else None
        # infinite and ponder searches answer only once told to
        while (self.pondering or self.infinite) and not self.stop_event.is_set():
            time.sleep(0.005)
        answer = f"bestmove {best or '0000'}"
        if best and result is not None and result.ponder:
            answer += f" ponder {result.ponder}"
        with self.lock:  # no longer searching once bestmove is out
            self.busy = False
            self.out.write(answer + "\n")
            self.out.flush()

    def info(self, r: SearchResult) -> None:
        if r.best is None:
            self.send("info depth 0 score " + ("mate 0" if r.value < 0 else "cp 0"))
            return
        nps = int(r.simulations / r.seconds) if r.seconds > 0 else 0
        for i, (lan, visits, value) in enumerate(r.lines or [(r.best, 0, r.value)]):
            first = i == 0
            score = f"mate {r.mate}" if first and r.mate is not None else f"cp {centipawns(value)}"
            text = (f"info depth {r.depth if first else 1} seldepth {r.seldepth if first else 1}")
            if self.values["multipv"] > 1:
                text += f" multipv {i + 1}"
            text += f" score {score}"
            if self.values["uci_showwdl"]:
                win = int(round(500 * (1 + max(-1.0, min(1.0, value)))))
                text += f" wdl {win} 0 {1000 - win}"
            text += (f" nodes {r.simulations} nps {nps} time {int(r.seconds * 1000)}"
                     f" pv {' '.join(r.pv) if first else lan}")
            self.send(text)


def parse_go(args: list[str]) -> dict[str, Any]:
    """The limits of a ``go`` command as a dict (``searchmoves`` a list of LAN texts); ValueError
    for a malformed one."""
    limits: dict[str, Any] = {}
    numeric = {"wtime", "btime", "winc", "binc", "movestogo", "depth", "nodes", "mate", "movetime"}
    keywords = numeric | {"infinite", "ponder", "searchmoves"}
    i = 0
    while i < len(args):
        word = args[i]
        if word == "searchmoves":  # the moves run up to the next keyword
            i += 1
            moves = limits.setdefault("searchmoves", [])
            while i < len(args) and args[i] not in keywords:
                moves.append(args[i])
                i += 1
        elif word in ("infinite", "ponder"):
            limits[word] = True
            i += 1
        elif word in numeric:
            if i + 1 >= len(args):
                raise ValueError(f"go {word} needs a number")
            try:
                limits[word] = int(args[i + 1])
            except ValueError:
                raise ValueError(f"go {word} needs a number, not {shown(args[i + 1])}") from None
            i += 2
        else:
            raise ValueError(f"unknown go argument {shown(word)}")
    if "nodes" in limits:  # a search gives its move after one simulation at the least
        limits["nodes"] = max(1, limits["nodes"])
    return limits


def searchable(game: murkle_chess.Game, searchmoves: list[str] | None) -> list[str] | None:
    """The legal moves of a ``searchmoves`` list (None: every move); ValueError when it names
    none, or names a move that is not legal."""
    if searchmoves is None:
        return None
    legal = legal_by_lan(game)
    wrong = [m for m in searchmoves if m not in legal]
    if wrong:
        raise ValueError(f"searchmoves: {shown(wrong[0])} is not legal in {game.to_fen()}")
    if not searchmoves:
        raise ValueError("searchmoves names no move")
    return list(dict.fromkeys(searchmoves))


def restricted(r: SearchResult, allowed: list[str], multipv: int) -> SearchResult:
    """A search's result held to the ``allowed`` root moves: the most visited of them (``r.lines``
    holds every visited root move, most visited first), else the first allowed one."""
    lines = [line for line in r.lines if line[0] in allowed]
    if not lines:
        lines = [(allowed[0], 0, r.value)]
    best, _, value = lines[0]
    keep_pv = r.pv[:1] == [best]
    pv = r.pv if keep_pv else [best]
    return SearchResult(best, pv, value if not keep_pv else r.value, r.simulations, r.seconds, len(pv),
                        max(len(pv), r.seldepth if keep_pv else 1), r.mate if keep_pv else None,
                        lines[:max(1, multipv)])


def time_budget(limits: dict[str, Any], white: bool, overhead_ms: int) -> float | None:
    """Seconds to think: ``movetime`` less the overhead, or a share of the clock (the remaining
    time over ``movestogo`` or 30 moves, plus three quarters of the increment, at most half of
    what remains); None without a time limit."""
    if "movetime" in limits:
        return max(0.001, (limits["movetime"] - overhead_ms) / 1000)
    remaining = limits.get("wtime" if white else "btime")
    if remaining is None:
        return None
    inc = limits.get("winc" if white else "binc", 0)
    moves = max(1, limits.get("movestogo", 30))
    budget = remaining / moves + 0.75 * inc
    budget = min(budget, remaining / 2) - overhead_ms
    return max(0.001, budget / 1000)


# ------------------------------------------------------------------ command line


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="murkle-zero uci", description=(
        "The agent as a UCI engine on standard input and output. Board size: the FEN of "
        "'position fen', or for startpos the UCI_Variant option (chess, or WxH such as 6x6) or "
        "the BoardSize option (any WxH)."))
    p.add_argument("--checkpoint", help="a run directory, checkpoint or agent file of a trained agent")
    p.add_argument("--uniform", action="store_true",
                   help="no network: uniform priors and value 0, any board size (the default without --checkpoint)")
    p.add_argument("--width", type=board_side, default=8,
                   help="board width of the uniform agent's startpos (default 8)")
    p.add_argument("--height", type=board_side, default=8,
                   help="board height of the uniform agent's startpos (default 8)")
    return p


def main(argv: list[str] | None = None, stdin: TextIO | None = None, stdout: TextIO | None = None) -> int:
    """Runs the UCI engine until ``quit`` or the end of its input."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        parse_size(f"{args.width}x{args.height}")
    except ValueError as e:
        parser.error(str(e))
    stdin = stdin or utf8_stream(sys.stdin)
    stdout = stdout or utf8_stream(sys.stdout, write=True)
    if args.checkpoint and not args.uniform:
        path = args.checkpoint

        def loader(threads: int) -> Any:
            return load_agent(path, threads=threads)
    else:
        def loader(threads: int) -> Any:
            return UniformAgent(args.width, args.height)
    engine = Engine(loader, stdout)
    for line in stdin:
        if not engine.handle(line):
            break
    else:
        engine.stop_search()
    return 0


if __name__ == "__main__":
    sys.exit(main())
