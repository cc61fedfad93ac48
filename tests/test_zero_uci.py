"""The agent's UCI engine: the protocol in scripted exchanges, python-chess as a client, bad input."""

from __future__ import annotations

import io
import os
import queue
import subprocess
import sys
import threading

import numpy as np
import pytest

import murkle_chess
import murkle_rl
from murkle_rl.zero import uci
from murkle_rl.zero.agent import UniformAgent
from murkle_rl.zero.config import Config

WAIT = 60  # seconds before a missing answer fails the test (a hang fails, never hangs)


class Session:
    """``python -m murkle_rl.zero uci`` driven line by line."""

    def __init__(self, *args: str, env: dict[str, str] | None = None) -> None:
        self.proc = subprocess.Popen([sys.executable, "-m", "murkle_rl.zero", "uci", *args], text=True, env=env,
                                     encoding="utf-8", stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=1)
        self.lines: queue.Queue[str] = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(x.strip()) for x in self.proc.stdout], daemon=True).start()
        # lines go out from a thread of their own: an engine that stops reading fails expect(), not send()
        self.outbox: queue.Queue[bytes] = queue.Queue()
        threading.Thread(target=self._write, daemon=True).start()

    def _write(self) -> None:
        try:
            while True:
                self.proc.stdin.buffer.write(self.outbox.get())
                self.proc.stdin.buffer.flush()
        except OSError:
            pass

    def send(self, *lines: str) -> None:
        self.send_bytes("".join(line + "\n" for line in lines).encode())

    def send_bytes(self, data: bytes) -> None:
        self.outbox.put(data)

    def expect(self, prefix: str) -> list[str]:
        """Lines up to the first that starts with prefix."""
        seen = []
        while True:
            try:
                line = self.lines.get(timeout=WAIT)
            except queue.Empty:
                self.proc.kill()  # a hung engine must not outlive its test
                pytest.fail(f"no {prefix!r} after {[x[:200] for x in seen]}")
            seen.append(line)
            if line.startswith(prefix):
                return seen

    def close(self) -> int:
        self.send("quit")
        return self.proc.wait(timeout=WAIT)


def legal(width: int, height: int, fen: str | None, moves: list[str]) -> set[str]:
    game = uci.play_moves(uci.new_game(width, height, fen), moves)
    return {m.to_lan() for m in game.legal_moves()}


def test_protocol_exchange():
    s = Session("--uniform")
    s.send("uci")
    head = s.expect("uciok")
    assert head[0] == "id name murkle-zero" and head[1].startswith("id author")
    for name in ("Simulations", "Threads", "MultiPV", "UCI_Variant", "BoardSize"):
        assert any(line.startswith(f"option name {name} type") for line in head)
    s.send("isready")
    s.expect("readyok")
    # go before position: the start position of the board size
    s.send("go nodes 20")
    assert s.expect("bestmove")[-1].split()[1] in legal(8, 8, None, [])
    s.send("ucinewgame", "position startpos moves e2e4 e7e5", "go nodes 50")
    out = s.expect("bestmove")
    info = [x for x in out if x.startswith("info depth")][-1].split()
    for key in ("seldepth", "nodes", "nps", "time", "score", "pv"):
        assert key in info
    assert "wdl" not in info  # the agent predicts no draws: no draw share to show
    assert int(info[info.index("nodes") + 1]) >= 50
    assert out[-1].split()[1] in legal(8, 8, None, ["e2e4", "e7e5"])
    # infinite: isready is answered while searching, bestmove only after stop
    s.send("position startpos moves e2e4", "go infinite", "isready")
    assert not any(x.startswith("bestmove") for x in s.expect("readyok"))
    s.send("stop")
    assert s.expect("bestmove")[-1].split()[1] in legal(8, 8, None, ["e2e4"])
    # the board size comes from the FEN: 6x6, and 10x10 with two-digit ranks and runs
    fen6 = murkle_rl.start_fen(6, 6)
    s.send(f"position fen {fen6[:-4]} moves a2a3", "go nodes 30")  # without the clocks
    assert s.expect("bestmove")[-1].split()[1] in legal(6, 6, fen6, ["a2a3"])
    fen10 = murkle_rl.start_fen(10, 10)
    s.send(f"position fen {fen10} moves a2a4 b10c8", "go movetime 200")
    assert s.expect("bestmove")[-1].split()[1] in legal(10, 10, fen10, ["a2a4", "b10c8"])
    # startpos of the size the options name; MultiPV lines
    s.send("setoption name UCI_Variant value 5x5", "setoption name MultiPV value 3",
           "position startpos", "go nodes 100")
    out = s.expect("bestmove")
    assert {f"multipv {k}" for k in (1, 2, 3)} <= {" ".join(x.split()[5:7]) for x in out if "multipv" in x}
    assert out[-1].split()[1] in legal(5, 5, None, [])
    s.send("setoption name BoardSize value 8x8", "setoption name MultiPV value 1", "setoption name Batch value 8",
           "position startpos", "go nodes 100")
    assert s.expect("bestmove")[-1].split()[1] in legal(8, 8, None, [])
    # a clock, a ponder search turned timed by ponderhit
    s.send("position startpos", "go wtime 2000 btime 2000 winc 10 binc 10")
    s.expect("bestmove")
    s.send("go ponder wtime 1000 btime 1000", "isready")
    s.expect("readyok")
    s.send("ponderhit")
    s.expect("bestmove")
    # a mate in one: found and scored as a mate
    s.send("position fen 7k/5Q2/6K1/8/8/8/8/8 w - - 0 1", "go nodes 200")
    out = s.expect("bestmove")
    assert "score mate 1" in out[-2] and out[-1].split()[1] in {"f7f8", "f7g7"}
    # the game is over: no move
    s.send("position fen 7k/6Q1/6K1/8/8/8/8/8 b - - 0 1", "go nodes 10")
    assert s.expect("bestmove")[-1] == "bestmove 0000"
    assert s.close() == 0


BAD_LINES = [
    "foo bar", "position", "position middle", "position fen 8/8/8", "position fen x y z w 0 1",
    "position startpos moves e2e5", "position startpos moves e2e4 zz9", "go nodes abc",
    "go searchmoves e2e4", "go sideways", "setoption name Nope value 1", "setoption name MultiPV value 0",
    "setoption name UCI_Variant value 99x99", "setoption name BoardSize value banana",
    "setoption name CPuct value -1", "setoption value 3", "position fen 7k/8/8/8/8/8/8/K7 w - - 0 1 moves a1a1",
]


def test_bad_input_never_kills_the_engine():
    s = Session("--uniform")
    for line in BAD_LINES:
        s.send(line, "isready")
        out = s.expect("readyok")
        assert any(x.startswith("info string error:") for x in out), line
    # an illegal move leaves the legal prefix; the engine still searches
    s.send("position startpos moves e2e4 e7e5 e1e3", "go nodes 10")
    assert s.expect("bestmove")[-1].split()[1] in legal(8, 8, None, ["e2e4", "e7e5"])
    s.send("go nodes 100000", "go nodes 5", "stop")  # go while searching is refused, not queued
    out = s.expect("bestmove")
    assert any("already searching" in x for x in out)
    s.send("isready")
    s.expect("readyok")
    assert s.close() == 0


def run(*lines: str) -> list[str]:
    """An engine's answers to lines, each search waited for."""
    out = io.StringIO()
    engine = uci.Engine(lambda threads: UniformAgent(8, 8), out)
    for line in lines:
        engine.handle(line)
        if engine.thread is not None:
            engine.thread.join()
    return out.getvalue().splitlines()


REFUSED = "4k3/8/8/8/8/8/8/4R1K1 w - - 0 1"  # the side not to move is in check: its king can be taken


@pytest.mark.parametrize("lines, says, moves", [
    (["go sideways"], "unknown go argument", None),
    (["go nodes 0"], None, legal(8, 8, None, [])),  # nodes 0 taken as 1
    (["go nodes -3 searchmoves a2a3 h2h4"], None, {"a2a3", "h2h4"}),
    (["setoption name MultiPV value 3", "go nodes 60 searchmoves g1f3 b1c3"], None, {"g1f3", "b1c3"}),
    (["go searchmoves e2e5 nodes 5"], "'e2e5' is not legal", None),
    (["setoption name BoardSize value 1x1", "go nodes 5"], "1x1", None),
    (["position startpos", "position fen 8/8 w - - 0 1", "go nodes 5"], "refused", None),  # not the older one
    ([f"position fen {REFUSED}", "go nodes 5"], "the side not to move is in check", None),
    (["position fen 7k/6Q1/6K1/8/8/8/8/8 b - - 0 1", "go nodes 5"], None, None),  # mated: no move
])
def test_every_go_is_answered_with_a_bestmove(lines, says, moves):
    out = run(*lines)
    assert out[-1].startswith("bestmove ") and "(none)" not in out[-1]
    errors = [x for x in out if x.startswith("info string error")]
    assert (says is None and not errors) or (says is not None and says in errors[-1]), out
    assert out[-1].split()[1] in (moves or {"0000"}), out
    if "searchmoves" in lines[-1]:  # the info lines show only allowed moves
        assert all(x.split()[x.split().index("pv") + 1] in moves for x in out if " pv " in x)


def test_hostile_lines_are_answered_at_once():
    s = Session("--uniform")
    # a name followed by a megabyte of spaces: read by words, not by a backtracking pattern
    s.send("setoption name Hash" + " " * 1_000_000 + "x", "setoption name Hash" + " " * 100_000 + "value   64",
           "isready")
    out = s.expect("readyok")
    assert len(out) == 2 and "no option 'Hash x'" in out[0]  # the second was read: Hash 64
    s.send("position moves e2e4", "z" * 10_000_000, "setoption name " + "y" * 1_000_000 + " value 1", "isready")
    out = s.expect("readyok")
    assert "expected startpos or fen FEN before moves" in out[0]
    assert all(len(x) < 200 and x.endswith("…'") for x in out[1:3]), [x[:300] for x in out]
    assert s.close() == 0


@pytest.mark.parametrize("env", [{"PYTHONIOENCODING": "utf-8:strict"}, {"LANG": "C", "LC_ALL": "C"},
                                 {"PYTHONIOENCODING": "ascii"}], ids=["utf-8-strict", "C", "ascii"])
def test_bytes_that_are_not_utf8_are_one_bad_line(env):
    base = {k: v for k, v in os.environ.items() if k not in ("PYTHONIOENCODING", "LANG", "LC_ALL", "LC_CTYPE")}
    s = Session("--uniform", env={**base, **env})
    s.send_bytes(b"position startpos moves \xe9\xff e2e4\nsetoption name caf\xc3\xa9 value 1\nisready\n")
    out = s.expect("readyok")
    assert "\ufffd" in out[0] and "'café'" in out[1]  # UTF-8 in and out, a stray byte replaced
    s.send("go nodes 5")
    assert s.expect("bestmove")[-1].split()[1] in legal(8, 8, None, [])
    assert s.close() == 0


def test_play_reads_utf8_whatever_the_locale():
    pytest.importorskip("torch")
    checkpoint = os.path.join(os.path.dirname(__file__), "data", "zero_old_checkpoint.pt")
    start = murkle_rl.start_fen(5, 5)
    env = {**os.environ, "PYTHONIOENCODING": "utf-8:strict"}
    out = subprocess.run([sys.executable, "-m", "murkle_rl.zero", "play", "--checkpoint", checkpoint,
                          "--simulations", "4"], input=f"5 5 caf\xe9\n5 5 {start}\n".encode("latin-1"),
                         capture_output=True, env=env, timeout=300)
    answers = out.stdout.decode("utf-8").splitlines()
    assert out.returncode == 0 and len(answers) == 2, out.stderr[-2000:]
    assert answers[0].startswith("error: ") and answers[1] in legal(5, 5, start, [])


@pytest.mark.parametrize("argv, says", [(["--width", "9" * 20], "a board side is 1 to 1024"),
                                        (["--width", "40", "--height", "40"], "no board of 40x40")])
def test_command_line_sizes(argv, says):
    out = subprocess.run([sys.executable, "-m", "murkle_rl.zero", "uci", *argv], capture_output=True, text=True,
                         input="quit\n", timeout=WAIT)
    assert out.returncode == 2 and says in out.stderr and "Traceback" not in out.stderr


class SixBySix:
    """A network-like agent of 6x6 (its head fits 6x6, 5x6, 6x3, ... but not 8x8)."""

    width = height = 6
    action_planes = murkle_chess.Game.get_move_planes_count(6, 6)

    def __call__(self, planes, mask=None):
        k, _, h, w = planes.shape
        return np.zeros((k, self.action_planes * h * w), np.float32), np.full(k, 0.25, np.float32)


def test_board_sizes_of_an_agent():
    out = io.StringIO()
    engine = uci.Engine(lambda threads: SixBySix(), out)
    engine.handle("uci")
    variant = next(x for x in out.getvalue().splitlines() if x.startswith("option name UCI_Variant"))
    assert "default 6x6" in variant and "var 5x6" in variant and "var chess" not in variant
    for line in ("position startpos", f"position fen {murkle_rl.start_fen(8, 8)}",
                 "setoption name UCI_Variant value chess", "setoption name BoardSize value 7x7"):
        engine.handle(line)
    errors = [x for x in out.getvalue().splitlines() if x.startswith("info string error")]
    assert len(errors) == 3 and all("8x8" in e or "7x7" in e or "'chess'" in e for e in errors)
    engine.handle("setoption name BoardSize value 6x4")
    engine.handle("position startpos")
    engine.handle("go nodes 20")
    engine.stop_search()
    last = out.getvalue().splitlines()
    assert last[-1].split()[1] in legal(6, 4, None, [])


def test_the_agents_exploration_weight_is_the_searchs_default():
    agent = UniformAgent(6, 6)
    assert uci.Searcher(agent).c_puct == Config.eval_c_puct  # an agent without a configuration
    agent.cfg = Config(eval_c_puct=0.3)  # type: ignore[attr-defined]
    out = io.StringIO()
    engine = uci.Engine(lambda threads: agent, out)
    engine.handle("uci")
    assert "option name CPuct type string default 0.3" in out.getvalue() and engine.searcher.c_puct == 0.3
    engine.handle("setoption name CPuct value 2")
    assert engine.searcher.c_puct == 2.0 and uci.Searcher(agent, c_puct=1.5).c_puct == 1.5


def test_tree_reuse():
    searcher = uci.Searcher(UniformAgent(6, 6))
    fen = murkle_rl.start_fen(6, 6)
    searcher.set_position(6, 6, fen, [])
    best = searcher.search(nodes=300).best
    kept = searcher.search_
    searcher.set_position(6, 6, fen, [best])  # continues: the chosen child's subtree is kept
    assert searcher.search_ is kept
    r = searcher.search(nodes=1)
    assert r.simulations >= 1 and int(kept.visits().sum()) > 2
    other = next(m for m in legal(6, 6, fen, []) if m != best)
    searcher.set_position(6, 6, fen, [other])  # does not continue: a fresh tree
    assert searcher.search_ is not kept
    searcher.search(nodes=1)
    assert int(searcher.search_.visits().sum()) == 1
    with pytest.raises(ValueError, match="illegal move"):
        searcher.set_position(6, 6, fen, [other, "a1a1"])


def test_scores_sizes_and_clock():
    cps = [uci.centipawns(v) for v in np.linspace(-1, 1, 41)]
    assert cps == sorted(cps) and cps[20] == 0 and max(cps) == -min(cps) <= uci.MAX_CP
    assert uci.board_size_of_fen(murkle_rl.start_fen(12, 10)) == (12, 10)
    assert uci.board_size_of_fen("k10/11/K10 w - - 0 1") == (11, 3)
    assert uci.parse_size("chess") == (8, 8) and uci.parse_size("10x6") == (10, 6)
    with pytest.raises(ValueError):
        uci.parse_size("40x40")
    assert uci.time_budget({"movetime": 1000}, True, 50) == pytest.approx(0.95)
    assert uci.time_budget({"wtime": 60000, "btime": 10, "winc": 1000}, True, 0) == pytest.approx(2.75)
    assert uci.time_budget({"wtime": 60000, "btime": 1000, "movestogo": 1}, False, 0) == pytest.approx(0.5)
    assert uci.time_budget({"nodes": 5}, True, 0) is None


chess = pytest.importorskip("chess")
import chess.engine  # noqa: E402


def test_python_chess_client():
    engine = chess.engine.SimpleEngine.popen_uci([sys.executable, "-m", "murkle_rl.zero", "uci", "--uniform"],
                                                 timeout=WAIT)
    try:
        engine.configure({"Simulations": 50})
        board = chess.Board("r3k2r/pppq1ppp/2n2n2/3pp3/3PP3/2N2N2/PPPQ1PPP/R3K2R w KQkq - 0 8")
        for limit in (chess.engine.Limit(nodes=50), chess.engine.Limit(time=0.1), chess.engine.Limit(depth=3)):
            result = engine.play(board, limit)
            assert result.move in board.legal_moves
            board.push(result.move)
        info = engine.analyse(board, chess.engine.Limit(nodes=200), multipv=2)
        assert [i["multipv"] for i in info] == [1, 2]
        assert all(i["pv"][0] in board.legal_moves for i in info) and info[0]["nodes"] >= 200
        info = engine.analyse(board, chess.engine.Limit(time=0.2))
        assert isinstance(info["score"].relative, chess.engine.Cp) and "wdl" not in info
        root_moves = list(board.legal_moves)[-2:]  # sent as searchmoves
        assert engine.play(board, chess.engine.Limit(nodes=40), root_moves=root_moves).move in root_moves
        mate = chess.Board("7k/5Q2/6K1/8/8/8/8/8 w - - 0 1")
        info = engine.analyse(mate, chess.engine.Limit(nodes=300))
        assert info["score"].white() == chess.engine.Mate(1)
    finally:
        engine.quit()


def test_a_network_that_reads_attack_planes_gets_them_on_every_path():
    # MultiPV values each other root move, and a position drawn by the rules with moves left is
    # answered by the network alone: both give the network exactly the planes it reads.
    torch = pytest.importorskip("torch")
    from murkle_rl.zero.network import Evaluator, make_net

    torch.manual_seed(0)
    cfg = Config(width=6, height=6, channels=8, blocks=1, attack_planes=True)
    agent = Evaluator(make_net(cfg), cfg)
    out = io.StringIO()
    engine = uci.Engine(lambda threads: agent, out)
    for line in ("setoption name MultiPV value 2", "position startpos", "go nodes 30"):
        engine.handle(line)
    engine.thread.join()  # the search ends on its own, with its bestmove
    lines = out.getvalue().splitlines()
    assert not any("error" in x for x in lines), lines
    assert any(" multipv 2 " in x for x in lines) and lines[-1].startswith("bestmove ")
    out.truncate(0)
    drawn = "k5/6/6/6/6/5K w - - 0 1"  # two bare kings: drawn by the rules, moves left
    for line in ("position fen " + drawn, "go nodes 5"):
        engine.handle(line)
    engine.thread.join()  # the search ends on its own, with its bestmove
    legal = {m.to_lan() for m in murkle_chess.Game(6, 6, drawn, False).legal_moves()}
    answer = out.getvalue().splitlines()
    assert not any("error" in x for x in answer) and answer[-1].split()[1] in legal, answer
