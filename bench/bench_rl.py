#!/usr/bin/env python3
"""Random self-play plies per second when every ply yields the network's input as NumPy arrays.

Each loop does, every ply, what a trainer's data generator does: it produces the input planes
and the legal-move mask of the position as NumPy arrays, picks a random legal move and plays
it, starting a new game whenever one ends. Compared side by side in one run:

  - murkle_rl.GameBatch on one thread and on two: ``random_actions(out=)`` and
    ``step(actions, planes, mask)``, which writes the next observations in the pass that
    plays the moves, over n games at once; on 8x8 also packed (``bits`` and ``scalars``
    instead of ``planes``, ``mask_bits`` instead of ``mask``), with 1,024 games, and as two processes of one thread
    each running at the same time (what the machine gives two independent loops),
  - the murkle_chess API one game at a time, with the plane list and the legal action
    indices as they come, and converted to the NumPy arrays a trainer feeds its network,
  - OpenSpiel chess (observation tensor, legal-actions mask), 8x8 only, skipped when absent,
  - python-chess with 12 piece planes and a 64x64 from/to mask, 8x8 only,

plus, on 8x8, the step with planes out (no mask) of a batch made with ``planes=`` the 21 planes a
network of the trainer reads, against all 105; and references for the batch on one thread: the same loop without the planes or without
the mask, the engine's own random play (``play_random``, no arrays) and zeroing the arrays
(a floor for writing them). Each case runs --rounds times for about
--seconds in all, the runs of all cases taking turns in each round; each ratio is the median of
its per-round ratios, shown with their smallest and largest, and is what to read. Last, one game's planes as an array: ``murkle_rl.planes(game)`` against
``np.asarray(game.encode_game_planes()[0])``.

    python bench/bench_rl.py [--seconds 2] [--rounds 5] [--max-plies 300] [--quick] [--only TEXT]...
                             [--chart docs/bench_rl.png]

--chart draws the plies per second of every case and size as a bar chart (needs matplotlib).
"""

import argparse
import multiprocessing
import os
import random
import sys
import time

import numpy as np

import murkle_chess
import murkle_rl
import statistics

from common import cpu_line, paired_ns, ratio_spread, round_rates, sized

try:
    import chess
except ImportError:
    chess = None

try:
    import pyspiel
except ImportError:
    pyspiel = None

SIZES = [(8, 8, 256), (16, 16, 64)]  # width, height, games per batch

# (faster case, slower case, target ratio); the per-game rate of 1,024 games is its plies per
# second, since every ply is one game's.
TARGETS = [
    ("GameBatch, 1 thread", "murkle_chess, plane lists", 8),
    ("GameBatch, 1 thread", "OpenSpiel", 50),
    ("GameBatch, 1 thread", "python-chess, 12 planes", 100),
    ("GameBatch, 2 threads", "GameBatch, 1 thread", 1.6),
    ("GameBatch, 2 threads", "2 processes x 1 thread", 0.9),
    ("GameBatch, 1 thread, 1,024 games", "GameBatch, 1 thread", 0.8),
    ("GameBatch, 1 thread, packed", "GameBatch, 1 thread", 2.5),
    ("(1 thread, no mask, 21 planes)", "(1 thread, no mask)", None),
]
NETWORK_PLANES = list(range(12)) + list(range(96, 105))


def batch_case(width, height, n, threads, max_plies, seed, with_planes=True, with_mask=True, packed=False,
               planes=None):
    """The trainer's loop over a batch: the observations of each position are written by the
    step that reaches it, and the arrays are made once."""
    b = murkle_rl.GameBatch(n, width, height, threads=threads, seed=seed, max_plies=max_plies, planes=planes)
    obs = {}
    if with_planes and packed:
        obs["bits"], obs["scalars"] = b.packed_planes()
    elif with_planes:
        obs["planes"] = b.planes()
    if with_mask and packed:
        obs["mask_bits"] = b.packed_legal_mask()
    elif with_mask:
        obs["mask"] = b.legal_mask()
    actions = np.empty(n, np.int64)
    results = {"rewards": np.empty(n, np.float32), "done": np.empty(n, np.bool_),
               "truncated": np.empty(n, np.bool_)}

    def play(plies):
        played = 0
        while played < plies:
            b.random_actions(out=actions)
            b.step(actions, **obs, **results)
            played += int(np.count_nonzero(actions >= 0))  # restarts play no move
        return played
    return b, play


def process_loop(width, height, n, max_plies, seed, seconds, barrier, results):
    """One process of the pair: a one-thread batch loop for `seconds` after both are ready."""
    _, play = batch_case(width, height, n, 1, max_plies, seed)
    play(4 * n)
    barrier.wait()
    start, played = time.perf_counter(), 0
    while time.perf_counter() - start < seconds:
        played += play(n)
    results.put(played / (time.perf_counter() - start))


def two_processes_rate(width, height, n, max_plies, seed, seconds):
    """Plies per second of two one-thread loops in two processes running at the same time."""
    ctx = multiprocessing.get_context("spawn")
    barrier, results = ctx.Barrier(2), ctx.Queue()
    procs = [ctx.Process(target=process_loop, args=(width, height, n, max_plies, seed + k, seconds, barrier, results))
             for k in range(2)]
    for p in procs:
        p.start()
    rates = [results.get() for _ in procs]
    for p in procs:
        p.join()
    return sum(rates)


def part_cases(width, height, n, max_plies, seed):
    """What a batch ply costs without one of its parts, on one thread: (name, play, note)."""
    planes = np.empty((n, murkle_chess.TOTAL_INPUT_PLANES, height, width), np.float32)
    mask = np.empty((n, 8 * max(width, height) + 18, height, width), np.bool_)
    engine = murkle_rl.GameBatch(n, width, height, threads=1, seed=seed, max_plies=max_plies)

    def zero(plies):
        calls = max(1, plies // n)
        for _ in range(calls):
            planes.fill(0.0)
            mask.fill(False)
        return calls * n

    selected = []
    if (width, height) == (8, 8):
        selected = [("(1 thread, no mask, 21 planes)",
                     batch_case(width, height, n, 1, max_plies, seed, with_mask=False, planes=NETWORK_PLANES)[1],
                     "planes 0-11 and 96-104, step")]
    return selected + [
        ("(1 thread, no planes)",
         batch_case(width, height, n, 1, max_plies, seed, with_planes=False)[1], "mask, step"),
        ("(1 thread, no mask)",
         batch_case(width, height, n, 1, max_plies, seed, with_mask=False)[1], "planes, step"),
        ("(engine only: play_random)",
         lambda plies: engine.play_random(max(1, plies // n))["moves"], "1 thread, no arrays"),
        ("(floor: zero the arrays)", zero, "fill(0) per position"),
    ]


def game_loop_case(width, height, max_plies, rng, to_numpy):
    """The murkle_chess API, one game at a time; with to_numpy, the trainer's arrays too."""
    fen = murkle_rl.start_fen(width, height)
    castling = (width, height) == (8, 8)
    state = {"game": murkle_chess.Game(width, height, fen, castling), "ply": 0}
    planes_shape = (murkle_chess.TOTAL_INPUT_PLANES, height, width)
    mask = np.zeros(state["game"].action_size(), np.bool_)

    def play(plies):
        game = state["game"]
        for _ in range(plies):
            planes = game.encode_game_planes()[0]
            actions = game.legal_action_indices()
            if to_numpy:
                planes = np.asarray(planes, np.float32).reshape(planes_shape)
                mask.fill(False)
                mask[actions] = True
            game.apply_action(rng.choice(actions))
            state["ply"] += 1
            if game.is_over() or state["ply"] >= max_plies:
                game = state["game"] = murkle_chess.Game(width, height, fen, castling)
                state["ply"] = 0
        state["game"] = game
        return plies
    return play


def openspiel_case(rng):
    spiel = pyspiel.load_game("chess")
    state = [spiel.new_initial_state()]

    def play(plies):
        s = state[0]
        for _ in range(plies):
            np.asarray(s.observation_tensor(), np.float32)
            np.asarray(s.legal_actions_mask(), np.bool_)
            s.apply_action(rng.choice(s.legal_actions()))
            if s.is_terminal():
                s = spiel.new_initial_state()
        state[0] = s
        return plies
    return play


def python_chess_case(max_plies, rng):
    board = chess.Board()
    planes = np.zeros((12, 8, 8), np.float32)
    mask = np.zeros((64, 64), np.bool_)
    offset = {chess.WHITE: -1, chess.BLACK: 5}  # planes 0-5 White's P N B R Q K, 6-11 Black's

    def play(plies):
        for _ in range(plies):
            pieces = board.piece_map()
            planes.fill(0.0)
            planes[[p.piece_type + offset[p.color] for p in pieces.values()],
                   [s >> 3 for s in pieces], [s & 7 for s in pieces]] = 1.0
            moves = list(board.legal_moves)
            mask.fill(False)
            mask[[m.from_square for m in moves], [m.to_square for m in moves]] = True
            board.push(rng.choice(moves))
            if board.is_game_over() or board.ply() >= max_plies:
                board.reset()
        return plies
    return play


def cases(width, height, n, args):
    """(name, play(plies) -> plies, note) of one board size; absent peers are skipped."""
    rng = random.Random(args.seed)
    single_play = batch_case(width, height, n, 1, args.max_plies, args.seed)[1]
    double_play = batch_case(width, height, n, 2, args.max_plies, args.seed)[1]
    out = [
        ("GameBatch, 1 thread", single_play, f"n={n}"),
        ("GameBatch, 2 threads", double_play, f"n={n}"),
    ]
    if (width, height) == (8, 8):
        out += [
            ("GameBatch, 1 thread, packed", batch_case(width, height, n, 1, args.max_plies, args.seed,
                                                       packed=True)[1], f"n={n}, bits, scalars, mask_bits"),
            ("GameBatch, 1 thread, 1,024 games", batch_case(width, height, 1024, 1, args.max_plies,
                                                            args.seed)[1], "n=1024"),
        ]
    out += [
        ("murkle_chess, plane lists", game_loop_case(width, height, args.max_plies, rng, False),
         "1 game, lists"),
        ("murkle_chess, NumPy", game_loop_case(width, height, args.max_plies, rng, True),
         "1 game, lists -> arrays"),
    ]
    if (width, height) == (8, 8):
        if pyspiel is not None:
            out.append(("OpenSpiel", openspiel_case(rng), "observation, mask"))
        if chess is not None:
            out.append(("python-chess, 12 planes", python_chess_case(args.max_plies, rng),
                        "12x8x8, 64x64 mask"))
    return out + part_cases(width, height, n, args.max_plies, args.seed)


def run_size(width, height, n, args):
    first = n if args.quick else 4 * n
    print(f"\n{width}x{height}: planes float32 (105, {height}, {width}), mask bool "
          f"({8 * max(width, height) + 18}, {height}, {width}); games capped at "
          f"{args.max_plies} plies")
    sized_cases = [(name, sized(play, first), note)
                   for name, play, note in cases(width, height, n, args)
                   if args.only is None or any(text in name for text in args.only)]
    rates = round_rates(sized_cases, args.seconds / args.rounds, args.rounds)
    notes = {name: note for name, _, note in sized_cases}
    if (width, height) == (8, 8) and args.only is None:
        name = "2 processes x 1 thread"
        rates[name] = [two_processes_rate(width, height, n, args.max_plies, args.seed, args.seconds / args.rounds)
                       for _ in range(args.rounds)]
        notes[name] = f"n={n} each, together, after the others"
    medians = {name: statistics.median(values) for name, values in rates.items()}
    print(f"{'loop':<34} {'plies/s':>12} {'us/ply':>9}  notes (medians of {args.rounds} rounds)")
    for name in rates:
        print(f"{name:<34} {medians[name]:>12,.0f} {1e6 / medians[name]:>9.2f}  {notes[name]}")

    print(f"\n{'ratio':<52} {'median [min-max]':>22} {'target':>7}")
    for fast, slow, target in TARGETS:
        if fast in rates and slow in rates:
            ratio = ratio_spread(rates, fast, slow)
            verdict = "" if target is None else ("reached" if ratio.median >= target else "NOT reached")
            shown = "" if target is None else f"{target}x"
            print(f"{fast + ' / ' + slow:<52} {ratio:>22.2f} {shown:>7}  {verdict}")
    return medians


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0,
                        help="time per case, all runs together (default 2)")
    parser.add_argument("--rounds", type=int, default=5,
                        help="interleaved rounds per case (default 5); medians are shown")
    parser.add_argument("--max-plies", type=int, default=300,
                        help="games restart after this many plies (default 300)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--chart", metavar="PNG", help="also draw the results into this PNG file")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 0.2 s per case, one round")
    parser.add_argument("--only", metavar="TEXT", action="append",
                        help="run only the cases whose name holds TEXT (give it again for more cases)")
    args = parser.parse_args(argv)
    if args.quick:
        args.seconds, args.rounds = 0.2, 1

    print(f"random self-play with NumPy observations every ply; {os.cpu_count()} cores, "
          f"Python {sys.version.split()[0]}, NumPy {np.__version__}, murkle_rl "
          f"{murkle_rl.__version__}")
    print(cpu_line())
    if pyspiel is None:
        print("OpenSpiel (pyspiel) is not installed: skipped (pip install open_spiel)")
    if chess is None:
        print("python-chess is not installed: skipped (pip install chess)")
    results = {f"{width}x{height}": run_size(width, height, n, args) for width, height, n in SIZES}
    one_game_planes(args)
    if args.chart:
        draw_chart(results, args.chart)
        print(f"\nchart written to {args.chart}")


def one_game_planes(args):
    """One game's planes as an array, 8x8 with seven earlier positions."""
    game = murkle_chess.Game.standard()
    for lan in ["g1f3", "g8f6", "b1c3", "b8c6", "e2e4", "e7e5", "d2d4", "d7d6"]:
        game.make_move(game.move_from_lan(lan))
    calls = 200 if args.quick else 2000

    def helper():
        for _ in range(calls):
            murkle_rl.planes(game)
        return calls

    def lists():
        for _ in range(calls // 10):
            np.asarray(game.encode_game_planes()[0], np.float32)
        return calls // 10

    helper_ns, lists_ns, ratio = paired_ns(helper, lists, max(args.rounds, 3))
    print(f"\none 8x8 game to a float32 array: murkle_rl.planes {helper_ns / 1e3:.1f} us, "
          f"np.asarray(encode_game_planes()[0]) {lists_ns / 1e3:.1f} us: {ratio:.1f} "
          f"(target 20x, {'reached' if ratio.median >= 20 else 'NOT reached'})")


def draw_chart(results, path):
    """One panel per board size: plies per second of each loop, on a log scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(results), figsize=(6 * len(results), 4), squeeze=False)
    for ax, (size, rates) in zip(axes[0], results.items()):
        names = sorted(rates, key=rates.get)
        colors = ["tab:blue" if name.startswith("GameBatch") else "tab:gray" for name in names]
        ax.barh(names, [rates[n] for n in names], color=colors)
        ax.set_xscale("log")
        ax.set_title(f"{size}: self-play, planes and mask every ply")
        ax.set_xlabel("plies per second (log scale)")
        for y, name in enumerate(names):
            ax.text(rates[name], y, f" {rates[name]:,.0f}", va="center", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
