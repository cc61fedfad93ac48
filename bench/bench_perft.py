#!/usr/bin/env python3
"""Perft speed of murkle-perft against python-chess, Stockfish and Fairy-Stockfish.

All counters run in this one process, on the same positions and depths, so the ratios compare
like with like; each pair runs in interleaved rounds (one run of each per round) and the median
ratio is shown with its smallest and largest. Node counts are checked to agree. Stockfish and
Fairy-Stockfish are used when installed (Debian: apt-get install stockfish fairy-stockfish,
found in PATH or /usr/games); otherwise their columns are skipped.

    python bench/bench_perft.py [--perft build-bench/murkle-perft] [--rounds 5] [--deep]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from common import cpu_line, interleaved

HERE = os.path.dirname(os.path.abspath(__file__))
STARTPOS = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
# The published 8x8 perft positions and a depth of a few million nodes each.
STANDARD = (
    ("startpos", STARTPOS, 5),
    ("kiwipete", KIWIPETE, 4),
    ("position3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 6),
    ("position4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 5),
    ("position5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", 4),
    ("position6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10", 4),
)
# Other sizes, positions reached by random play (no castling), each with a chess variant of its
# size for Fairy-Stockfish: promotion on the last rank, double steps from the second rank.
LARGE = (
    ("10x10", 10, 10, "nbrnnknbbb/pppppppppp/10/10/10/10/10/1N8/PPPPPPPPPP/1BRNNKNBBB b - - 1 1", 5),
    ("12x10", 12, 10, "rbqrb1kbnrbr/ppp1pppppppp/3pn7/12/12/12/12/2P3N3P1/PP1PPPPPPP1P/RBQRB1KBNRBR b - - 0 3", 4),
)
# The start positions of those sizes (start_fen) and their depths.
LARGE_START = (("10x10 start", 10, 10, 5), ("12x10 start", 12, 10, 4))
VARIANT = """[murkle{w}x{h}:chess]
maxRank = {h}
maxFile = {file}
castling = false
promotionRank = {h}
doubleStep = true
"""


def start_fen(width, height):
    """A start position of any width: pieces on the back ranks (one king), pawns in front."""
    back = ("rnbqkbnr" + "rnbqbnr" * 5)[:width]
    rows = [back, "p" * width] + [str(width)] * (height - 4) + ["P" * width, back.upper()]
    return "/".join(rows) + " w - - 0 1"


# Nodes per second on the largest boards, where no peer plays.
HUGE = (("16x16", 16, 16, 4), ("32x32", 32, 32, 3))
TARGETS = {"stockfish": 1.0, "fairy-stockfish": 8.0}


# ----------------------------------------------------------------------------- murkle-perft

def find_murkle_perft(given):
    candidates = [given, os.environ.get("MURKLE_PERFT"), shutil.which("murkle-perft"),
                  os.path.join(HERE, "..", "build-bench", "murkle-perft"),
                  os.path.join(HERE, "..", "build", "murkle-perft")]
    for path in candidates:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    sys.exit("murkle-perft not found: pass --perft PATH, set MURKLE_PERFT, or pip install .")


def murkle_perft(exe, fen, depth, width=8, height=8, castling=True):
    """(nodes, seconds) of one run, as the tool itself measures them."""
    cmd = [exe, "--width", str(width), "--height", str(height)]
    if not castling:
        cmd.append("--no-castling")
    cmd += [fen, str(depth)]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    fields = out.strip().splitlines()[-1].split()  # nodes N time S nps X
    nodes = int(fields[1])
    # the nps field comes from the exact time; the time field is rounded to milliseconds
    nps = float(fields[5])
    return nodes, max(nodes / nps if nps > 0 else float(fields[3]), 1e-9)


# ----------------------------------------------------------------------------- python-chess

def chess_perft(board, depth):
    """Perft with the last ply counted from the legal move count, as the engines do."""
    if depth == 0:
        return 1
    if depth == 1:
        return board.legal_moves.count()
    nodes = 0
    for move in board.legal_moves:
        board.push(move)
        nodes += chess_perft(board, depth - 1)
        board.pop()
    return nodes


def python_chess_perft(fen, depth):
    import chess
    board = chess.Board(fen)
    start = time.perf_counter()
    nodes = chess_perft(board, depth)
    return nodes, time.perf_counter() - start


# ----------------------------------------------------------------------------- UCI engines

def find_engine(name):
    path = shutil.which(name) or shutil.which(name, path="/usr/games:/usr/local/games")
    return path


class UciEngine:
    """A UCI engine driven through its pipes; times `go perft` from command to node count."""

    def __init__(self, path, options=()):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.send("uci")
        self.wait_for("uciok")
        for name, value in options:
            self.send(f"setoption name {name} value {value}")
        self.sync()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait_for(self, prefix):
        for line in self.proc.stdout:
            if line.startswith(prefix):
                return line
        raise RuntimeError(f"engine ended before {prefix!r}")

    def sync(self):
        self.send("isready")
        self.wait_for("readyok")

    def perft(self, fen, depth):
        """(nodes, seconds) of one run."""
        self.send(f"position fen {fen}")
        self.sync()
        start = time.perf_counter()
        self.send(f"go perft {depth}")
        nodes = int(self.wait_for("Nodes searched").split(":")[1])
        return nodes, time.perf_counter() - start

    def close(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()


def open_engine(name, options=()):
    path = find_engine(name)
    if not path:
        return None
    try:
        return UciEngine(path, options)
    except (OSError, RuntimeError) as exc:
        print(f"({name} would not start: {exc})")
        return None


# ----------------------------------------------------------------------------- report

def pair(ours, theirs, rounds):
    """Interleaved rounds of two counters, each a function () -> (nodes, seconds): (our
    nodes, their nodes, median seconds ours, median seconds theirs, Spread of the speed ratio)."""
    counts = {}

    def timed(side, run):
        def once():
            counts[side], seconds = run()
            return seconds
        return once

    mine, peer, ratio = interleaved(timed("ours", ours), timed("theirs", theirs), rounds)
    return counts["ours"], counts["theirs"], statistics.median(mine), statistics.median(peer), ratio


def line(name, depth, measured, peer):
    """Prints one comparison; returns the Spread of our speed over the peer's."""
    nodes, their_nodes, ours, theirs, ratio = measured
    target = TARGETS.get(peer)
    mark = "" if target is None else ("  reached" if ratio.median >= target else f"  below {target:g}x")
    flag = "" if nodes == their_nodes else "   NODE COUNTS DIFFER"
    print(f"{name:<12} {depth:>2} {nodes:>12,} {nodes / ours / 1e6:>10.2f} {nodes / theirs / 1e6:>10.3f} "
          f"{ratio:>19.2f}{mark}{flag}")
    return ratio


def header(peer_title):
    print(f"{'position':<12} {'d':>2} {'nodes':>12} {'murkle Mn/s':>10} {peer_title:>10} "
          f"{'murkle/peer [min-max]':>20}")


def compare(engine, engine_name, exe, cases, rounds, titled=True):
    """Runs every case on murkle-perft and the engine in interleaved rounds; the Spreads."""
    if titled:
        header("peer Mn/s")
    ratios = []
    for name, width, height, fen, depth in cases:
        castling = (width, height) == (8, 8)
        measured = pair(lambda: murkle_perft(exe, fen, depth, width, height, castling),
                        lambda: engine.perft(fen, depth), rounds)
        ratios.append(line(name, depth, measured, engine_name))
    return ratios


def variant_engine(tmp, width, height):
    ini = os.path.join(tmp, f"variants{width}x{height}.ini")
    with open(ini, "w") as f:
        f.write(VARIANT.format(w=width, h=height, file=chr(ord("a") + width - 1)))
    return open_engine("fairy-stockfish", [("VariantPath", ini), ("UCI_Variant", f"murkle{width}x{height}")])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--perft", help="path of murkle-perft")
    parser.add_argument("--rounds", type=int, default=5,
                        help="interleaved rounds per pair (default 5); the median ratio is shown")
    parser.add_argument("--deep", action="store_true", help="one ply deeper everywhere")
    args = parser.parse_args(argv)
    exe = find_murkle_perft(args.perft)
    d = 1 if args.deep else 0
    rounds = args.rounds
    print(f"murkle-perft: {exe}; {rounds} interleaved rounds, medians; Mn/s = million nodes per "
          f"second; every counter counts the last ply from the legal move count")
    print(cpu_line() + "\n")
    summary = []

    # python-chess: small depths, it is a pure Python library.
    try:
        import chess
        print(f"-- python-chess {chess.__version__} (pure Python perft)")
        header("peer Mn/s")
        for name, fen, depth in (("startpos", STARTPOS, 4), ("kiwipete", KIWIPETE, 3)):
            measured = pair(lambda: murkle_perft(exe, fen, depth), lambda: python_chess_perft(fen, depth),
                            min(rounds, 3))
            line(name, depth, measured, "python-chess")
    except ImportError:
        print("-- python-chess not installed: skipped (pip install chess)")

    standard = [(name, 8, 8, fen, depth + d) for name, fen, depth in STANDARD]
    engine = open_engine("stockfish")
    if engine is None:
        print("\n-- stockfish: not installed, skipped")
    else:
        print(f"\n-- stockfish ({find_engine('stockfish')}), go perft; target {TARGETS['stockfish']}x")
        try:
            summary.append(("stockfish, standard 8x8 positions", compare(engine, "stockfish", exe, standard,
                                                                         rounds)))
        finally:
            engine.close()

    if not find_engine("fairy-stockfish"):
        print("\n-- fairy-stockfish: not installed, skipped")
    else:
        print(f"\n-- fairy-stockfish ({find_engine('fairy-stockfish')}), go perft; "
              f"target {TARGETS['fairy-stockfish']}x")
        ratios = []
        engine = open_engine("fairy-stockfish")
        if engine is None:
            header("peer Mn/s")
        else:
            try:
                ratios += compare(engine, "fairy-stockfish", exe, standard[:2], rounds)
            finally:
                engine.close()
        with tempfile.TemporaryDirectory() as tmp:
            large = [(name, w, h, fen, depth + d) for name, w, h, fen, depth in LARGE]
            large += [(name, w, h, start_fen(w, h), depth + d) for name, w, h, depth in LARGE_START]
            for case in sorted(large, key=lambda case: (case[1], case[2])):
                engine = variant_engine(tmp, case[1], case[2])
                if engine is None:
                    continue
                try:
                    ratios += compare(engine, "fairy-stockfish", exe, [case], rounds, titled=False)
                finally:
                    engine.close()
        summary.append(("fairy-stockfish, 8x8 10x10 12x10", ratios))

    print("\n-- start positions of the largest boards (no peer)")
    print(f"{'board':<12} {'d':>2} {'nodes':>12} {'murkle Mn/s':>10}")
    for name, width, height, depth in HUGE:
        nodes, ours = min(murkle_perft(exe, start_fen(width, height), depth + d, width, height, False)
                          for _ in range(min(rounds, 3)))
        print(f"{name:<12} {depth + d:>2} {nodes:>12,} {nodes / ours / 1e6:>10.2f}")

    if summary:
        print("\n-- summary: murkle-perft speed / peer speed")
        for title, ratios in summary:
            if ratios:
                medians = [r.median for r in ratios]
                print(f"{title:<36} medians from {min(medians):.2f}x to {max(medians):.2f}x; "
                      f"rounds from {min(r.low for r in ratios):.2f}x to {max(r.high for r in ratios):.2f}x")


if __name__ == "__main__":
    main()
