"""The agent as a UCI engine: ``murkle-zero uci --checkpoint DIR`` (or ``python -m murkle_rl.zero uci``).

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

import math
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, TextIO

import murkle_chess
import murkle_rl

from .agent import can_play, play_c_puct
from .play import Limit, SearchResult, SearchSession
from .protocol import shown
from .rules import (board_size_of_fen, legal_by_lan, new_game, parse_size, play_moves, side_not_to_move_in_check)

__all__ = ["Searcher", "SearchResult", "Engine", "board_size_of_fen", "parse_size", "can_play"]

Searcher = SearchSession  # the name of earlier versions

NAME = "murkle-zero"
AUTHOR = "the murkle_chess developers"
MAX_CP = 12800
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
    columns on); for an agent of any size, its own board and the square boards 4x4 to 16x16
    (BoardSize takes any other)."""
    names = []
    if can_play(agent, 8, 8):
        names.append("chess")
    if getattr(agent, "any_size", False):  # the uniform agent, a network trained for every board
        sizes = [(agent.width, agent.height)] + [(n, n) for n in range(4, 17)]
    else:
        m = max(agent.width, agent.height)
        sizes = [(agent.width, agent.height)] + [(w, h) for w in range(3, m + 1) for h in range(3, m + 1)
                                                 if max(w, h) == m and (w, h) != (agent.width, agent.height)]
    names += [f"{w}x{h}" for w, h in sizes if can_play(agent, w, h) and (w, h) != (8, 8)]
    return tuple(dict.fromkeys(names))


class Engine:
    """One UCI session: ``handle(line)`` answers a line of the protocol (``False`` after
    ``quit``); answers go to ``out`` through one lock, from this thread and the search thread.

    agent_loader: makes the agent for a number of threads (the Threads option reloads it).
    simulations, c_puct, batch: the defaults of the Simulations, CPuct and Batch options (c_puct
    None: the agent's own weight).
    """

    def __init__(self, agent_loader: Callable[[int], Any], out: TextIO = sys.stdout, *, simulations: int = 800,
                 c_puct: float | None = None, batch: int = 1) -> None:
        self.load = agent_loader
        self.agent = agent_loader(1)
        self.out = out
        self.lock = threading.Lock()
        w, h = self.agent.width, self.agent.height
        names = variant_names(self.agent)
        default_variant = "chess" if (w, h) == (8, 8) else f"{w}x{h}"
        self.options = {o.name.lower(): o for o in [
            Option("Simulations", "spin", max(1, min(simulations, 10**7)), 1, 10**7),
            Option("Threads", "spin", 1, 1, 256),
            Option("MultiPV", "spin", 1, 1, 500),
            Option("Hash", "spin", 1024, 16, 1 << 20),
            Option("Move Overhead", "spin", 50, 0, 10000),
            Option("CPuct", "string", f"{play_c_puct(self.agent) if c_puct is None else c_puct:g}"),
            Option("Batch", "spin", max(1, min(batch, 256)), 1, 256),
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
            limit = Limit(nodes=nodes, deadline=lambda: None if self.pondering else self.deadline,
                          stop=self.stop_event, wait=lambda: self.pondering or self.infinite,
                          max_bytes=self.values["hash"] << 20)
            # with searchmoves: every visited root move, to choose among the allowed ones
            result = self.searcher.search(limit, multipv=multipv if allowed is None else 1 << 16, on_info=info)
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
