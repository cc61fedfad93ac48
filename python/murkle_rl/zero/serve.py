"""``murkle-zero serve``: play the agent in a browser.

A small web server from the standard library (no framework, nothing loaded from the internet):
the page in ``web/`` draws the board the server sends, drawn by :func:`murkle_rl.svg`, with the
legal moves as JSON; the player picks a side, clicks a piece and a target, and the agent
answers with a tree search of the strength set on the page.

Each browser keeps its own game (a session cookie); at most ``--max-sessions`` games are kept,
the one idle longest is dropped first. Every request that cannot be served — an illegal move,
a malformed FEN, an unknown session, a body over 16 KB, bad JSON — gets a 4xx answer with
``{"error": message}`` and leaves the game as it was.

Other sites' pages are kept out: a request whose ``Host`` is not one of this server's names (its
address, ``localhost``, ``127.0.0.1``, ``[::1]``, the ``--host`` it was given) is refused, which
stops DNS rebinding; so is one whose ``Origin`` is another site, and a POST whose body is not
``application/json`` (a type no page of another site may send without asking first). A
connection idle for ``idle_timeout`` seconds is closed, and at most ``max_connections`` are
served at once: the ones beyond get 503 at once.

Without ``--checkpoint`` the agent has no network (uniform priors, value 0: the search alone,
its move drawn in proportion to the visits, so close to a random mover that takes the mates
it sees) and plays any ``--width`` x ``--height``; with one, PyTorch loads the agent
(the ``train`` extra) and the board is its size.
"""

from __future__ import annotations

import json
import math
import secrets
import socket
import threading
import time
from collections import OrderedDict
from dataclasses import dataclass, field
from http.cookies import SimpleCookie
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import murkle_chess

from .. import drawing
from .._core import start_fen
from . import agent as agents
from .agent import Thought, think
from .play import Limit, SearchSession
from .rules import new_game, side_not_to_move_in_check

WEB = Path(__file__).with_name("web")
STATIC = {"/": ("index.html", "text/html; charset=utf-8"), "/app.js": ("app.js", "text/javascript; charset=utf-8"),
          "/style.css": ("style.css", "text/css; charset=utf-8")}
MAX_BODY = 16 * 1024
MAX_SIMULATIONS = 5000
COOKIE = "murkle_session"
IDLE_TIMEOUT = 30.0  # seconds a connection may stay silent
MAX_CONNECTIONS = 32  # connections served at once (each holds a thread and a descriptor)


# ---------------------------------------------------------------------- games


class Refused(Exception):
    """A request that cannot be served; the status and the message go back as JSON."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def _color_name(color: int) -> str:
    return "white" if color == murkle_chess.WHITE else "black"


@dataclass
class Session:
    game: murkle_chess.Game
    human: int
    flipped: bool
    played: list[murkle_chess.Move] = field(default_factory=list)
    thought: Thought | None = None
    lock: threading.Lock = field(default_factory=threading.Lock)
    touched: float = field(default_factory=time.monotonic)
    seed: int = field(default_factory=lambda: secrets.randbits(32))
    search: SearchSession | None = None  # the agent's tree, kept from move to move


class Server:
    """The games of every browser and the agent that plays them."""

    def __init__(self, agent: Any, width: int, height: int, *, max_sessions: int = 64, description: str = "",
                 movetime: float | None = None) -> None:
        self.agent, self.width, self.height = agent, width, height
        self.movetime = movetime  # the most seconds the agent thinks per move (None: no limit)
        self.max_sessions = max_sessions
        self.description = description
        self.sessions: OrderedDict[str, Session] = OrderedDict()
        self.lock = threading.Lock()  # the session table
        self.agent_lock = threading.Lock()  # one search at a time: the network may not be thread-safe

    # sessions
    def session(self, sid: str | None) -> Session:
        with self.lock:
            session = self.sessions.get(sid or "")
            if session is None:
                raise Refused(404, "unknown session: start a new game")
            self.sessions.move_to_end(sid or "")
            session.touched = time.monotonic()
            return session

    def new(self, sid: str | None, body: dict[str, Any]) -> tuple[str, Session]:
        side = body.get("side", "white")
        if side not in ("white", "black"):
            raise Refused(400, f"side must be 'white' or 'black', not {side!r}")
        fen = body.get("fen") or start_fen(self.width, self.height)
        if not isinstance(fen, str) or len(fen) > 4096:
            raise Refused(400, "fen must be a FEN text")
        try:
            game = new_game(self.width, self.height, fen.strip())
        except ValueError as e:
            raise Refused(400, f"bad FEN for a {self.width}x{self.height} board: {e}") from None
        if side_not_to_move_in_check(game):
            raise Refused(400, "bad FEN: the side not to move is in check")
        human = murkle_chess.WHITE if side == "white" else murkle_chess.BLACK
        session = Session(game, human, flipped=human == murkle_chess.BLACK)
        with self.lock:
            if not sid or sid not in self.sessions:
                sid = secrets.token_urlsafe(18)
            self.sessions[sid] = session
            self.sessions.move_to_end(sid)
            while len(self.sessions) > self.max_sessions:
                self.sessions.popitem(last=False)
        return sid, session

    # moves
    def move(self, session: Session, body: dict[str, Any]) -> None:
        game = session.game
        if game.is_over():
            raise Refused(409, "the game is over")
        if game.turn() != session.human:
            raise Refused(409, "it is the agent's turn")
        move = self._read_move(game, body)
        game.make_move(move)
        session.played.append(move)
        session.thought = None

    def _read_move(self, game: murkle_chess.Game, body: dict[str, Any]) -> murkle_chess.Move:
        legal = game.legal_moves()
        if "lan" in body:
            lan = body["lan"]
            if not isinstance(lan, str):
                raise Refused(400, "lan must be a str")
            found = [m for m in legal if str(m) == lan.strip()]
            if not found:
                raise Refused(400, f"illegal move: {lan.strip()[:40]}")
            return found[0]
        try:
            src, dst = tuple(int(v) for v in body["from"]), tuple(int(v) for v in body["to"])
            promotion = body.get("promotion")
        except (KeyError, TypeError, ValueError, OverflowError):
            raise Refused(400, 'a move is {"lan": "e2e4"} or {"from": [col, row], "to": [col, row]}') from None
        if len(src) != 2 or len(dst) != 2:
            raise Refused(400, "a square is [col, row]")
        for col, row in (src, dst):
            if not (0 <= col < game.width() and 0 <= row < game.height()):
                raise Refused(400, f"square [{col}, {row}] is off the board"[:80])
        if promotion is not None and promotion not in ("q", "r", "b", "n"):
            raise Refused(400, "promotion must be q, r, b or n")
        found = [m for m in legal if m.src_square() == src and m.dst_square() == dst]
        if promotion is not None:
            found = [m for m in found if m.promotion() == promotion]
        elif len(found) > 1:  # a promotion without its piece: the queen
            found = [m for m in found if m.promotion() == "q"] or found
        if not found:
            raise Refused(400, f"illegal move: {_square_text(src)}{_square_text(dst)}{promotion or ''}")
        return found[0]

    def agent_move(self, session: Session, simulations: Any) -> None:
        game = session.game
        try:
            simulations = int(simulations)
        except (TypeError, ValueError, OverflowError):
            raise Refused(400, "simulations must be a whole number") from None
        if not 1 <= simulations <= MAX_SIMULATIONS:
            raise Refused(400, f"simulations must be between 1 and {MAX_SIMULATIONS}")
        if game.is_over():
            raise Refused(409, "the game is over")
        if game.turn() == session.human:
            raise Refused(409, "it is your turn")
        with self.agent_lock:
            # without a network the visits are near uniform: drawing from them plays a varied
            # game that still takes a mate it finds; a network plays its most visited move
            temperature = 1.0 if isinstance(self.agent, agents.UniformAgent) else 0.0
            if session.search is None:
                session.search = SearchSession(self.agent, seed=session.seed)
            thought = think(self.agent, game, simulations, temperature=temperature, session=session.search,
                            limit=Limit(nodes=simulations, seconds=self.movetime))
        if thought.move is not None:
            game.make_move(thought.move)
            session.played.append(thought.move)
        session.thought = thought

    def undo(self, session: Session) -> None:
        """Takes back to the player's last turn: the agent's reply and the player's move."""
        if not session.played:
            raise Refused(409, "no move to take back")
        session.game.unmake_move()
        session.played.pop()
        if session.played and session.game.turn() != session.human:
            session.game.unmake_move()
            session.played.pop()
        session.thought = None

    # the page's view of a game
    def state(self, session: Session) -> dict[str, Any]:
        game = session.game
        human_turn = game.turn() == session.human and not game.is_over()
        legal = []
        if human_turn:
            for m in game.legal_moves():
                (fc, fr), (tc, tr) = m.src_square(), m.dst_square()
                legal.append([fc, fr, tc, tr, m.promotion(), str(m), game.get_piece(tc, tr) is not None])
        outcome = game.outcome()
        thought = session.thought
        return {
            "svg": drawing.svg(
                game, flipped=session.flipped, lastmove=session.played[-1] if session.played else None, size=None
            ),
            "geometry": drawing.geometry(game.width(), game.height(), flipped=session.flipped),
            "fen": game.to_fen(),
            "moves": [str(m) for m in session.played],
            "turn": _color_name(game.turn()),
            "human": _color_name(session.human),
            "agent_to_move": not game.is_over() and game.turn() != session.human,
            "over": game.is_over(),
            "result": None if outcome is None else outcome.name(),
            "check": game.is_check(),
            "legal": legal,
            "thought": None
            if thought is None or thought.move is None
            else {"move": str(thought.move), "value": round(thought.value, 3), "line": thought.line,
                  "simulations": thought.simulations},
            "width": game.width(),
            "height": game.height(),
            "agent": self.description,
        }


def _square_text(square: tuple[int, ...]) -> str:
    return str(murkle_chess.Position(square[0], square[1]))


# ---------------------------------------------------------------------- HTTP


def host_names(host: str, port: int) -> set[str]:
    """The ``Host`` values that name this server: its names with the port, and without it on
    port 80. A server on every address also answers to this machine's name."""
    names = {"localhost", "127.0.0.1", "[::1]", host.lower()}
    if ":" in host:  # an IPv6 address is bracketed in a Host
        names.add(f"[{host.lower()}]")
    if host in ("", "0.0.0.0", "::"):
        names.add(socket.gethostname().lower())
    return {f"{n}:{port}" for n in names} | (names if port == 80 else set())


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text[:20]} is not a finite number")
    return value


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def make_handler(server: Server, hosts: set[str] | None = None,
                 idle_timeout: float | None = IDLE_TIMEOUT) -> type[BaseHTTPRequestHandler]:
    """The request handler of ``server``; ``hosts`` the Host values it answers (None: any)."""

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "murkle-zero"
        timeout = idle_timeout  # a silent connection gives its thread back
        names = hosts

        def log_message(self, format: str, *args: Any) -> None:  # quiet; errors still answer
            pass

        def _send(self, status: int, body: bytes, ctype: str, cookie: str | None = None) -> None:
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.send_header("X-Content-Type-Options", "nosniff")
            # the page and its board come from here only; nothing is loaded from elsewhere
            self.send_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data:")
            if cookie:
                self.send_header("Set-Cookie", f"{COOKIE}={cookie}; Path=/; HttpOnly; SameSite=Strict")
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def _json(self, status: int, data: Any, cookie: str | None = None) -> None:
            self._send(status, json.dumps(data).encode(), "application/json", cookie)

        def _sid(self) -> str | None:
            cookie = SimpleCookie()
            try:
                cookie.load(self.headers.get("Cookie", ""))
            except Exception:
                return None
            return cookie[COOKIE].value if COOKIE in cookie else None

        def _guard(self) -> None:
            """Refuses a request of another site: a foreign Host (DNS rebinding) or Origin."""
            host = (self.headers.get("Host") or "").strip().lower()
            if not host:
                raise Refused(400, "no Host header")
            if self.names is not None and host not in self.names:
                raise Refused(403, f"this server does not answer to {host[:100]!r}")
            origin = self.headers.get("Origin")
            if origin is not None:  # a browser's request: from a page of this server only
                scheme, _, name = origin.strip().lower().partition("://")
                if scheme != "http" or name != host:
                    raise Refused(403, f"requests from {origin[:100]!r} are not served")

        def do_GET(self) -> None:
            path = self.path.split("?", 1)[0]
            try:
                self._guard()
                if path in STATIC:
                    name, ctype = STATIC[path]
                    self._send(200, (WEB / name).read_bytes(), ctype)
                elif path == "/favicon.ico":
                    self._send(204, b"", "image/x-icon")
                elif path == "/api/state":
                    sid = self._sid()
                    if sid is None:  # a first visit: no game yet, which the page then starts
                        self._json(200, None)
                        return
                    session = server.session(sid)
                    with session.lock:
                        self._json(200, server.state(session))
                else:
                    self._json(404, {"error": f"no such page: {path[:100]}"})
            except Refused as e:
                self._json(e.status, {"error": str(e)})
            except TimeoutError:
                self.close_connection = True
            except Exception as e:  # never lose the server to one request
                self._json(500, {"error": f"{type(e).__name__}: {e}"})

        def do_POST(self) -> None:
            try:
                try:
                    self._guard()
                    if self.headers.get_content_type() != "application/json":
                        raise Refused(415, "the body must be application/json")
                except Refused:
                    self.close_connection = True  # the body stays unread
                    raise
                body = self._body()
                path, sid = self.path.split("?", 1)[0], self._sid()
                if path == "/api/new":
                    sid, session = server.new(sid, body)
                    with session.lock:
                        self._json(200, server.state(session), cookie=sid)
                    return
                actions = {
                    "/api/move": lambda s: server.move(s, body),
                    "/api/agent": lambda s: server.agent_move(s, body.get("simulations", 64)),
                    "/api/undo": server.undo,
                    "/api/flip": lambda s: setattr(s, "flipped", not s.flipped),
                }
                if path not in actions:
                    raise Refused(404, f"no such call: {path[:100]}")
                session = server.session(sid)
                with session.lock:
                    actions[path](session)
                    self._json(200, server.state(session))
            except Refused as e:
                self._json(e.status, {"error": str(e)})
            except TimeoutError:  # the body never came
                self.close_connection = True
            except Exception as e:
                self._json(500, {"error": f"{type(e).__name__}: {e}"})

        def _body(self) -> dict[str, Any]:
            try:
                length = int(self.headers.get("Content-Length") or 0)
            except ValueError:
                raise Refused(400, "bad Content-Length") from None
            if length < 0:
                self.close_connection = True
                raise Refused(400, "bad Content-Length")
            if length > MAX_BODY:
                self.close_connection = True  # the body stays unread
                raise Refused(413, f"request body over {MAX_BODY} bytes")
            raw = self.rfile.read(length) if length else b"{}"
            try:
                # numbers are finite (no Infinity, NaN or 1e999); nesting is bounded by the
                # body's size, but deep enough to exhaust the parser's recursion
                body = json.loads(raw.decode("utf-8"), parse_float=_finite, parse_constant=_no_constant)
            except (UnicodeDecodeError, ValueError, RecursionError):
                raise Refused(400, "the body is not JSON") from None
            if not isinstance(body, dict):
                raise Refused(400, "the body must be a JSON object")
            return body

    return Handler


class BoundedServer(ThreadingHTTPServer):
    """A thread per connection, at most ``max_connections`` at once: one more gets 503 and is
    closed, so that silent clients cannot take every thread and descriptor."""

    daemon_threads = True
    BUSY = b'{"error": "the server is busy: try again"}'

    def __init__(self, address: tuple[str, int], handler: type[BaseHTTPRequestHandler], max_connections: int) -> None:
        self.slots = threading.BoundedSemaphore(max_connections)
        super().__init__(address, handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self.slots.acquire(blocking=False):
            try:
                request.settimeout(1.0)
                request.sendall(b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                                b"Connection: close\r\nContent-Length: %d\r\n\r\n%s" % (len(self.BUSY), self.BUSY))
            except OSError:
                pass
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self.slots.release()
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.slots.release()


def make_server(
    agent: Any, width: int, height: int, host: str = "127.0.0.1", port: int = 0, *,
    idle_timeout: float | None = IDLE_TIMEOUT, max_connections: int = MAX_CONNECTIONS, **options: Any
) -> ThreadingHTTPServer:
    """An HTTP server (not yet serving) for ``agent`` on width x height; ``port`` 0 picks a free
    port (``server.server_address``). ``server.games`` is the :class:`Server` behind it.
    idle_timeout: seconds before a silent connection is closed; max_connections: connections
    served at once."""
    games = Server(agent, width, height, **options)
    handler = make_handler(games, None, idle_timeout)
    httpd = BoundedServer((host, port), handler, max_connections)
    bound, port = str(httpd.server_address[0]), int(httpd.server_address[1])  # port 0 is now chosen
    handler.names = host_names(host, port) | host_names(bound, port)  # type: ignore[attr-defined]
    httpd.games = games  # type: ignore[attr-defined]
    return httpd
