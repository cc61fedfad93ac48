#!/usr/bin/env python3
"""Perft speed of murkle-perft against python-chess, Stockfish and Fairy-Stockfish.

All counters run one after the other in this one process, on the same positions and depths,
so the ratios compare like with like. Node counts are checked to agree. Stockfish and
Fairy-Stockfish are used when installed (Debian: apt-get install stockfish fairy-stockfish,
found in PATH or /usr/games); otherwise their columns are skipped.

    python bench/bench_perft.py [--perft build-bench/murkle-perft] [--repeat 3] [--deep]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STARTPOS = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
# A 10x10 position (random play, no castling) and its 10x10 chess variant for Fairy-Stockfish:
# promotion on the last rank, double steps from the second rank.
BIG_FEN = "nbrnnknbbb/pppppppppp/10/10/10/10/10/1N8/PPPPPPPPPP/1BRNNKNBBB b - - 1 1"
BIG_VARIANT = """[murkle10x10:chess]
maxRank = 10
maxFile = j
castling = false
promotionRank = 10
doubleStep = true
"""


# ----------------------------------------------------------------------------- murkle-perft

def find_murkle_perft(given):
    candidates = [given, os.environ.get("MURKLE_PERFT"), shutil.which("murkle-perft"),
                  os.path.join(HERE, "..", "build-bench", "murkle-perft"),
                  os.path.join(HERE, "..", "build", "murkle-perft")]
    for path in candidates:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    sys.exit("murkle-perft not found: pass --perft PATH, set MURKLE_PERFT, or pip install .")


def murkle_perft(exe, fen, depth, repeat, width=8, height=8, castling=True):
    """(nodes, best seconds) as the tool itself measures them."""
    cmd = [exe, "--width", str(width), "--height", str(height)]
    if not castling:
        cmd.append("--no-castling")
    cmd += [fen, str(depth)]
    best, nodes = float("inf"), None
    for _ in range(repeat):
        out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
        fields = out.strip().splitlines()[-1].split()  # nodes N time S nps X
        nodes = int(fields[1])
        # the nps field comes from the exact time; the time field is rounded to milliseconds
        nps = float(fields[5])
        best = min(best, nodes / nps if nps > 0 else float(fields[3]))
    return nodes, max(best, 1e-9)


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


def python_chess_perft(fen, depth, repeat):
    import chess
    best, nodes = float("inf"), None
    for _ in range(repeat):
        board = chess.Board(fen)
        start = time.perf_counter()
        nodes = chess_perft(board, depth)
        best = min(best, time.perf_counter() - start)
    return nodes, best


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

    def perft(self, fen, depth, repeat):
        best, nodes = float("inf"), None
        for _ in range(repeat):
            self.send(f"position fen {fen}")
            self.sync()
            start = time.perf_counter()
            self.send(f"go perft {depth}")
            nodes = int(self.wait_for("Nodes searched").split(":")[1])
            best = min(best, time.perf_counter() - start)
        return nodes, best

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

def line(name, depth, nodes, ours, theirs, peer, ok):
    nps_ours, nps_theirs = nodes / ours, nodes / theirs
    flag = "" if ok else "   NODE COUNTS DIFFER"
    print(f"{name:<12} {depth:>2} {nodes:>12,} {nps_ours / 1e6:>10.2f} {nps_theirs / 1e6:>10.3f} "
          f"{nps_ours / nps_theirs:>9.2f}x  {peer}{flag}")


def header(peer_title):
    print(f"{'position':<12} {'d':>2} {'nodes':>12} {'murkle Mn/s':>10} {peer_title:>10} "
          f"{'murkle/peer':>10}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--perft", help="path of murkle-perft")
    parser.add_argument("--repeat", type=int, default=3, help="runs per case, best kept")
    parser.add_argument("--deep", action="store_true",
                        help="one ply deeper for the native engines (startpos 6, kiwipete 5)")
    args = parser.parse_args(argv)
    exe = find_murkle_perft(args.perft)
    d = 1 if args.deep else 0
    print(f"murkle-perft: {exe}; best of {args.repeat} runs; Mn/s = million nodes per second; "
          f"every counter counts the last ply from the legal move count\n")

    # python-chess: small depths, it is a pure Python library.
    try:
        import chess
        print(f"-- python-chess {chess.__version__} (pure Python perft)")
        header("peer Mn/s")
        for name, fen, depth in (("startpos", STARTPOS, 4), ("kiwipete", KIWIPETE, 3)):
            nodes, ours = murkle_perft(exe, fen, depth, args.repeat)
            n2, theirs = python_chess_perft(fen, depth, args.repeat)
            line(name, depth, nodes, ours, theirs, "python-chess", nodes == n2)
    except ImportError:
        print("-- python-chess not installed: skipped (pip install chess)")

    # Native engines: deeper, the same depth for every counter.
    deep = (("startpos", STARTPOS, 5 + d), ("kiwipete", KIWIPETE, 4 + d))
    for engine_name in ("stockfish", "fairy-stockfish"):
        engine = open_engine(engine_name)
        if engine is None:
            print(f"\n-- {engine_name}: not installed, skipped")
            continue
        print(f"\n-- {engine_name} ({find_engine(engine_name)}), go perft")
        header("peer Mn/s")
        try:
            for name, fen, depth in deep:
                nodes, ours = murkle_perft(exe, fen, depth, args.repeat)
                n2, theirs = engine.perft(fen, depth, args.repeat)
                line(name, depth, nodes, ours, theirs, engine_name, nodes == n2)
        finally:
            engine.close()

    # Another board size: Fairy-Stockfish with a 10x10 variant definition.
    if find_engine("fairy-stockfish"):
        with tempfile.TemporaryDirectory() as tmp:
            ini = os.path.join(tmp, "variants.ini")
            with open(ini, "w") as f:
                f.write(BIG_VARIANT)
            engine = open_engine("fairy-stockfish",
                                 [("VariantPath", ini), ("UCI_Variant", "murkle10x10")])
            if engine is not None:
                print("\n-- fairy-stockfish, 10x10 (variant file), go perft")
                header("peer Mn/s")
                try:
                    depth = 4 + d
                    nodes, ours = murkle_perft(exe, BIG_FEN, depth, args.repeat, 10, 10, False)
                    n2, theirs = engine.perft(BIG_FEN, depth, args.repeat)
                    line("10x10", depth, nodes, ours, theirs, "fairy-stockfish", nodes == n2)
                finally:
                    engine.close()


if __name__ == "__main__":
    main()
