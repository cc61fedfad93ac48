#!/usr/bin/env python3
"""Tree-search simulations per second on 8x8: murkle_rl.Search against other searches.

Every case searches the same position afresh, 800 simulations per search (--simulations),
with a zero evaluator (uniform priors over the legal moves, value 0), on one thread unless
said otherwise. Two positions: the start position and a middlegame. Compared side by side in
one run:

  (a) ``murkle_rl.Search`` with ``evaluate=None`` (no network input written), n games at once,
      one Search reused from search to search as a trainer runs it (each search on fresh trees,
      its arenas warm), and for reference a new Search (cold arenas) every time,
  (b) ``murkle_rl.Search`` driven by a NumPy ``evaluate`` that returns uniform logits: the
      input planes and legal masks of every leaf are written (the select/expand path), and
      the same network through ``run_in_place`` (the search's own arrays, no masks): with
      the 105 planes, packed (``packed=True``) and with the 21 planes of the trainer's network,
  (c) OpenSpiel's C++ MCTS (``MCTSBot``, PUCT) with a zero evaluator written in C++: pyspiel
      offers only a rollout evaluator, so bench/openspiel_mcts.cpp is compiled on the fly
      against the headers and the library of the installed wheel (g++; skipped if that fails),
  (d) OpenSpiel's Python MCTS (``open_spiel.python.algorithms.mcts``) with a zero evaluator,
  (e) a pure-Python PUCT over ``murkle_chess``, as a new user writes it: without network input,
      and encoding each leaf's planes with ``Game.encode_game_planes`` into a NumPy array,
  (f) the engine's floor: one legal-move generation + one make + one unmake, in C++
      (bench/engine_floor.cpp, a full-width walk that lists the moves at every node, compiled
      on the fly against src/),

plus (a) and (b) on two threads, and (b) with a batch made with ``planes=`` the 21 planes a
network of the trainer reads (its 12 piece planes and 96-104): the whole loop, and select()
alone (no masks, as the trainer calls it) with 21 planes against 105. Each case runs --rounds
times for about --seconds in all, the runs of all cases taking turns in each round; each ratio
is the median of its per-round ratios, shown with their smallest and largest, and is what to
read.

    python bench/bench_search.py [--seconds 3] [--rounds 5] [--games 64] [--quick] [--only TEXT]
"""

import argparse
import ctypes
import importlib.util
import math
import os
import shutil
import subprocess
import sys
import time

import numpy as np

import murkle_chess
import murkle_rl
import statistics

from common import cpu_line, ratio_spread, round_rates, sized

try:
    import pyspiel
    from open_spiel.python.algorithms import mcts as openspiel_mcts
except ImportError:
    pyspiel = None

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "bench")

POSITIONS = [
    ("start position", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"),
    # A closed Spanish after 9.h3, Black to move, 30 legal moves.
    ("middlegame", "r1bq1rk1/2p1bppp/p1np1n2/1p2p3/4P3/1BP2N1P/PP1P1PP1/RNBQR1K1 b - - 0 9"),
]
C_PUCT = 1.25
FLOOR_DEPTH = 3

SEARCH_NONE = "Search, evaluate=None"
SEARCH_NONE_2 = "Search, evaluate=None, 2 thr"
SEARCH_NONE_COLD = "Search, evaluate=None, new"
SEARCH_NUMPY = "Search, NumPy evaluate"
SEARCH_NUMPY_2 = "Search, NumPy evaluate, 2 thr"
SEARCH_IN_PLACE = "Search, in place"
SEARCH_IN_PLACE_PACKED = "Search, in place, packed"
SEARCH_IN_PLACE_21 = "Search, in place, 21 planes"
OPENSPIEL_CPP = "OpenSpiel C++ MCTS"
OPENSPIEL_PY = "OpenSpiel Python MCTS"
SEARCH_NUMPY_21 = "Search, NumPy evaluate, 21 planes"
SELECT_105 = "select() alone, 105 planes"
SELECT_21 = "select() alone, 21 planes"
PUCT = "Python PUCT"
PUCT_PLANES = "Python PUCT, planes"
FLOOR = "engine floor"

# (faster case, slower case, target ratio); None: shown for orientation
TARGETS = [
    (SEARCH_NONE, OPENSPIEL_CPP, 15),
    (SEARCH_NONE, FLOOR, 0.25),
    (SEARCH_NUMPY, OPENSPIEL_CPP, 4),
    (SEARCH_NUMPY, PUCT_PLANES, 50),
    (SEARCH_IN_PLACE, OPENSPIEL_CPP, 4),
    (SEARCH_IN_PLACE, SEARCH_NONE, 0.6),
    (SEARCH_IN_PLACE, SEARCH_NUMPY, None),
    (SEARCH_IN_PLACE_21, SEARCH_NONE, None),
    (SEARCH_IN_PLACE_PACKED, SEARCH_NONE, None),
    (SEARCH_NONE_2, SEARCH_NONE, 1.6),
    (SEARCH_NUMPY_2, SEARCH_NUMPY, 1.6),
    (SEARCH_NONE, OPENSPIEL_PY, None),
    (SEARCH_NONE, PUCT, None),
    (OPENSPIEL_CPP, FLOOR, None),
    (SEARCH_NUMPY_21, SEARCH_NUMPY, None),
    (SELECT_21, SELECT_105, None),
]
NETWORK_PLANES = list(range(12)) + list(range(96, 105))


# ----------------------------------------------------------------------------- murkle_rl.Search

def search_case(fen, n, threads, simulations, network, reuse=True, planes=None):
    """k searches of n games from `fen`, each on fresh trees. `network`: None (``run()``, no
    network), "numpy" (``run(evaluate)``), "in place" or "packed" (``run_in_place``). With
    `reuse`, as a trainer runs it: one Search whose arenas stay warm from search to search
    (after each, the chosen moves are played and the games reset, which gives the next search
    fresh trees; only the searches are timed); else a new Search each time."""
    batch = murkle_rl.GameBatch(n, 8, 8, fen=fen, threads=threads, seed=1, planes=planes)
    logits = np.zeros((n, batch.num_actions), np.float32)
    values = np.zeros(n, np.float32)

    def uniform(planes, *outputs):  # (planes, mask), (planes, logits, values) or (bits, ...)
        k = planes.shape[0]
        return logits[:k], values[:k]
    search = murkle_rl.Search(batch, simulations, c_puct=C_PUCT, seed=1)

    def one(search):
        if network in ("in place", "packed"):
            search.run_in_place(uniform, packed=network == "packed")
        else:
            search.run(uniform if network else None)

    def play(k):
        elapsed = 0.0
        for _ in range(k):
            start = time.perf_counter()
            if reuse:
                one(search)
            else:
                one(murkle_rl.Search(batch, simulations, c_puct=C_PUCT, seed=1))
            elapsed += time.perf_counter() - start
            if reuse:
                search.step(search.choose(0))
                batch.reset()
        return k * n * simulations, elapsed
    return play


# ----------------------------------------------------------------------------- OpenSpiel

def compile_openspiel_peer():
    """The C++ MCTS with a zero evaluator as a ctypes function, or (None, why not)."""
    found = importlib.util.find_spec("pyspiel")
    library = found.origin
    site = os.path.dirname(library)
    headers = os.path.join(site, "open_spiel")
    if not os.path.exists(os.path.join(headers, "algorithms", "mcts.h")):
        return None, f"the OpenSpiel wheel has no C++ headers in {headers}"
    source = os.path.join(HERE, "openspiel_mcts.cpp")
    target = os.path.join(BUILD, "openspiel_mcts.so")
    command = [os.environ.get("CXX") or "g++", "-std=c++17", "-O2", "-DNDEBUG", "-shared", "-fPIC",
               f"-I{site}", f"-I{os.path.join(headers, 'abseil-cpp')}",
               f"-I{os.path.join(headers, 'json', 'include')}",
               source, library, f"-Wl,-rpath,{site}", "-o", target]
    error = build(command, target, [source, library])
    if error:
        return None, error
    function = ctypes.CDLL(target).openspiel_mcts_seconds
    function.restype = ctypes.c_double
    function.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    return function, None


def openspiel_cpp_case(function, fen, simulations):
    def run(seconds):
        # One search timed, then as many as fit in `seconds`, timed in C++.
        per_search = function(fen.encode(), simulations, 1)
        k = max(1, round(seconds / per_search))
        return k * simulations, function(fen.encode(), simulations, k)
    return run


class ZeroEvaluator(openspiel_mcts.Evaluator if pyspiel else object):
    """Uniform priors over the legal actions, value 0."""

    def evaluate(self, state):
        return np.zeros(2)

    def prior(self, state):
        legal = state.legal_actions()
        return [(a, 1.0 / len(legal)) for a in legal]


def openspiel_python_case(fen, simulations):
    game = pyspiel.load_game("chess")
    state = game.new_initial_state(fen)
    bot = openspiel_mcts.MCTSBot(game, C_PUCT, simulations, ZeroEvaluator(), solve=False,
                                 random_state=np.random.RandomState(1),
                                 child_selection_fn=openspiel_mcts.SearchNode.puct_value)

    def play(k):
        for _ in range(k):
            bot.mcts_search(state)
        return k * simulations
    return play


# ----------------------------------------------------------------------------- pure-Python PUCT

class Node:
    __slots__ = ("n", "w", "moves", "priors", "children", "value")

    def __init__(self):
        self.n, self.w = 0, 0.0
        self.moves = self.priors = self.children = self.value = None  # value: terminal nodes


def python_puct(game, simulations, with_planes):
    """A PUCT search with a zero evaluator on a murkle_chess.Game, made and unmade in place."""
    shape = (murkle_chess.TOTAL_INPUT_PLANES, 8, 8)
    root = Node()
    for _ in range(simulations):
        node, path = root, [root]
        while node.children is not None:
            sqrt_n = math.sqrt(node.n)
            first_play = node.w / node.n
            best, best_score = 0, -math.inf
            for i, child in enumerate(node.children):
                q = -child.w / child.n if child.n else first_play
                score = q + C_PUCT * node.priors[i] * sqrt_n / (1 + child.n)
                if score > best_score:
                    best, best_score = i, score
            game.make_move(node.moves[best])
            node = node.children[best]
            path.append(node)
        if node.value is None and game.is_over():
            node.value = -1.0 if game.is_checkmate() else 0.0
        if node.value is not None:
            value = node.value
        else:
            if with_planes:
                np.asarray(game.encode_game_planes()[0], np.float32).reshape(shape)
            node.moves = game.legal_moves()
            node.priors = [1.0 / len(node.moves)] * len(node.moves)
            node.children = [Node() for _ in node.moves]
            value = 0.0
        for visited in reversed(path):
            visited.n += 1
            visited.w += value
            value = -value
        for _ in range(len(path) - 1):
            game.unmake_move()
    return root


def python_puct_case(fen, simulations, with_planes):
    game = murkle_chess.Game(8, 8, fen, True)

    def play(k):
        for _ in range(k):
            python_puct(game, simulations, with_planes)
        return k * simulations
    return play


# ----------------------------------------------------------------------------- the engine floor

def compile_floor():
    """The path of the engine-floor program, or (None, why not)."""
    source = os.path.join(HERE, "engine_floor.cpp")
    src = os.path.join(ROOT, "src")
    if not os.path.isdir(os.path.join(src, "engine")):
        return None, f"no engine sources in {src}"
    target = os.path.join(BUILD, "engine_floor")
    headers = [os.path.join(d, f) for d, _, files in os.walk(os.path.join(src, "engine")) for f in files]
    command = [os.environ.get("CXX") or "g++", "-std=c++20", "-O3", "-DNDEBUG", "-mpopcnt",
               f"-I{src}", source, "-o", target]
    error = build(command, target, [source, *headers])
    return (None, error) if error else (target, None)


def floor_case(program, fen):
    def run(seconds):
        out = subprocess.run([program, fen, str(FLOOR_DEPTH), str(seconds)], check=True,
                             capture_output=True, text=True).stdout.split()
        return int(out[1]), float(out[3])
    return run


def build(command, target, inputs):
    """Runs the compiler unless target is newer than every input; an error text or None."""
    if os.path.exists(target) and os.path.getmtime(target) >= max(map(os.path.getmtime, inputs)):
        return None
    if shutil.which(command[0]) is None:
        return f"no C++ compiler ({command[0]}; set CXX)"
    os.makedirs(BUILD, exist_ok=True)
    proc = subprocess.run(command, capture_output=True, text=True)
    if proc.returncode != 0:
        tail = "\n    ".join(proc.stderr.strip().splitlines()[-5:])
        return f"compiling {os.path.basename(target)} failed:\n    {tail}"
    return None


def select_case(fen, n, simulations, planes=None):
    """Searches of n games driven by select(planes) and expand() with uniform logits, as the
    trainer's self-play drives them (no masks); only the select() calls are timed."""
    batch = murkle_rl.GameBatch(n, 8, 8, fen=fen, threads=1, seed=1, planes=planes)
    logits = np.zeros((n, batch.num_actions), np.float32)
    values = np.zeros(n, np.float32)
    out = np.zeros((n, len(batch.plane_indices), 8, 8), np.float32)
    search = murkle_rl.Search(batch, simulations, c_puct=C_PUCT, seed=1)

    def play(k):
        elapsed = 0.0
        for _ in range(k):
            while True:
                start = time.perf_counter()
                rows = search.select(out)
                elapsed += time.perf_counter() - start
                if not rows:
                    break
                search.expand(logits[:rows], values[:rows])
            search.step(search.choose(0))
            batch.reset()
        return k * n * simulations, elapsed
    return play


# ----------------------------------------------------------------------------- the run

def cases(fen, args, openspiel_cpp, floor):
    """(name, run(seconds) -> (simulations, seconds), note) of one position."""
    sims, n = args.simulations, args.games
    out = []
    if hasattr(murkle_rl, "Search"):
        out += [
            (SEARCH_NONE, sized(search_case(fen, n, 1, sims, None)), f"n={n}"),
            (SEARCH_NONE_2, sized(search_case(fen, n, 2, sims, None)), f"n={n}, threads=2"),
            (SEARCH_NONE_COLD, sized(search_case(fen, n, 1, sims, None, reuse=False)),
             f"n={n}, a new Search (cold arenas) each time"),
            (SEARCH_NUMPY, sized(search_case(fen, n, 1, sims, "numpy")), f"n={n}, planes + masks"),
            (SEARCH_NUMPY_2, sized(search_case(fen, n, 2, sims, "numpy")), f"n={n}, threads=2"),
            (SEARCH_NUMPY_21, sized(search_case(fen, n, 1, sims, "numpy", planes=NETWORK_PLANES)),
             f"n={n}, planes=12 piece + 96-104"),
            (SEARCH_IN_PLACE, sized(search_case(fen, n, 1, sims, "in place")), f"n={n}, run_in_place, 105 planes"),
            (SEARCH_IN_PLACE_PACKED, sized(search_case(fen, n, 1, sims, "packed")),
             f"n={n}, run_in_place(packed=True)"),
            (SEARCH_IN_PLACE_21, sized(search_case(fen, n, 1, sims, "in place", planes=NETWORK_PLANES)),
             f"n={n}, run_in_place, planes=12 piece + 96-104"),
            (SELECT_105, sized(select_case(fen, n, sims)), f"n={n}, select() time only"),
            (SELECT_21, sized(select_case(fen, n, sims, NETWORK_PLANES)), f"n={n}, select() time only"),
        ]
    if openspiel_cpp:
        out.append((OPENSPIEL_CPP, openspiel_cpp_case(openspiel_cpp, fen, sims), "PUCT, no observation"))
    if pyspiel:
        out.append((OPENSPIEL_PY, sized(openspiel_python_case(fen, sims)), "PUCT, no observation"))
    out += [
        (PUCT, sized(python_puct_case(fen, sims, False)), "murkle_chess, no network input"),
        (PUCT_PLANES, sized(python_puct_case(fen, sims, True)), "encode_game_planes -> NumPy"),
    ]
    if floor:
        out.append((FLOOR, floor_case(floor, fen), "movegen + make + unmake, C++"))
    return [case for case in out if args.only is None or args.only in case[0]]


def run_position(name, fen, args, openspiel_cpp, floor):
    print(f"\n{name}: {fen}")
    position_cases = cases(fen, args, openspiel_cpp, floor)
    rates = round_rates(position_cases, args.seconds / args.rounds, args.rounds)
    medians = {name: statistics.median(values) for name, values in rates.items()}
    print(f"{'case':<36} {'sims/s':>12} {'us/sim':>9}  notes (medians of {args.rounds} rounds)")
    for case, _, note in position_cases:
        print(f"{case:<36} {medians[case]:>12,.0f} {1e6 / medians[case]:>9.3f}  {note}")

    print(f"\n{'ratio':<58} {'median [min-max]':>22} {'target':>7}")
    for fast, slow, target in TARGETS:
        if fast in rates and slow in rates:
            ratio = ratio_spread(rates, fast, slow)
            shown = f"{ratio:.2f}" if ratio.median < 10 else f"{ratio:.1f}"
            verdict = "" if target is None else ("reached" if ratio.median >= target else "NOT reached")
            print(f"{fast + ' / ' + slow:<58} {shown:>22} {'' if target is None else f'{target}x':>7}"
                  f"  {verdict}")
    return medians


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="time per case and position, all runs together (default 3)")
    parser.add_argument("--rounds", type=int, default=5,
                        help="interleaved rounds per case (default 5); medians are shown")
    parser.add_argument("--simulations", type=int, default=800, help="per search (default 800)")
    parser.add_argument("--games", type=int, default=64, help="games per Search (default 64)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 100 simulations, 8 games, 0.1 s per case, one round")
    parser.add_argument("--only", metavar="TEXT", help="run only the cases whose name holds TEXT")
    args = parser.parse_args(argv)
    if args.quick:
        args.seconds, args.rounds, args.simulations, args.games = 0.1, 1, 100, 8

    print(f"tree search with a zero evaluator, {args.simulations} simulations per search, "
          f"c_puct {C_PUCT}; {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}, "
          f"Python {sys.version.split()[0]}, NumPy {np.__version__}, murkle_rl {murkle_rl.__version__}")
    print(cpu_line())
    if not hasattr(murkle_rl, "Search"):
        print("murkle_rl has no Search in this build: its cases are skipped")
    openspiel_cpp = None
    if pyspiel is None:
        print("OpenSpiel (pyspiel) is not installed: its MCTS is skipped (pip install open_spiel)")
    else:
        openspiel_cpp, why = compile_openspiel_peer()
        if why:
            print(f"OpenSpiel's C++ MCTS is skipped: {why}")
    floor, why = compile_floor() if args.only is None or args.only in FLOOR else (None, None)
    if why:
        print(f"the engine floor is skipped: {why}")
    for name, fen in POSITIONS:
        run_position(name, fen, args, openspiel_cpp, floor)


if __name__ == "__main__":
    main()
