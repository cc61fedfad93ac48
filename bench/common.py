"""Helpers shared by the benchmarks: the CPU they ran on, interleaved rounds and the spread of
their ratios, timing, the options of the random-game replays, and random 8x8 games played
with python-chess.

A ratio is measured in rounds: each round runs both sides of a pair back to back (the side that
goes first alternating), so that a change of load on the shared machine meets both; the report
is the median of the per-round ratios with their smallest and largest value."""

import argparse
import statistics
import time

# The instruction-set extensions worth knowing when reading a ratio.
CPU_FLAGS = ("avx2", "bmi2", "avx512f", "avx512_bf16", "amx_tile", "amx_bf16", "amx_int8")


def cpu_flags(path="/proc/cpuinfo"):
    """The flags of CPU_FLAGS the first processor reports, in that order ([] if unreadable)."""
    try:
        with open(path) as f:
            for row in f:
                if row.startswith("flags"):
                    present = set(row.split(":", 1)[1].split())
                    return [flag for flag in CPU_FLAGS if flag in present]
    except OSError:
        pass
    return []


def cpu_line():
    """One line naming the CPU flags a benchmark ran with."""
    flags = cpu_flags()
    return "CPU flags: " + (" ".join(flags) if flags else "(none of " + " ".join(CPU_FLAGS) + ")")


class Spread:
    """The median of some per-round values with their smallest and largest."""

    def __init__(self, values):
        self.values = list(values)
        self.median = statistics.median(self.values)
        self.low = min(self.values)
        self.high = max(self.values)

    def __format__(self, fmt):
        """"1.23x [1.10-1.30]"; the format's precision (".2f") formats each number, the width
        and alignment before it ("<20") the whole text."""
        layout, dot, number = fmt.partition(".")
        number = dot + number if dot else ".2f"
        text = f"{self.median:{number}}x [{self.low:{number}}-{self.high:{number}}]"
        return format(text, layout or "")


def interleaved(ours, theirs, rounds):
    """Per-round costs of two sides: ours() and theirs() each return a cost (seconds, ns per
    call; lower is faster) and run back to back in every round, the first alternating. Returns
    (our costs, their costs, Spread of their cost / our cost)."""
    mine, peer = [], []
    for r in range(rounds):
        if r % 2:
            b = theirs()
            a = ours()
        else:
            a = ours()
            b = theirs()
        mine.append(a)
        peer.append(b)
    return mine, peer, Spread(b / a for a, b in zip(mine, peer))


def ns_per_call(fn):
    """Runs fn() (which returns its number of calls) once; ns per call."""
    start = time.perf_counter_ns()
    calls = fn()
    return (time.perf_counter_ns() - start) / calls


def paired_ns(ours, theirs, rounds):
    """ns per call of fn() -> calls for both sides over interleaved rounds: (median ns ours,
    median ns theirs, Spread of the speed-up)."""
    mine, peer, ratio = interleaved(lambda: ns_per_call(ours), lambda: ns_per_call(theirs), rounds)
    return statistics.median(mine), statistics.median(peer), ratio


def sized(play, first=1):
    """run(seconds) -> (units, seconds) for play(k) -> units done by k steps (plies, searches),
    or (units, seconds) when play times its own work; k is set from a timing of `first` steps,
    after a warm-up of as many."""
    per_step = []

    def run(seconds):
        if not per_step:
            play(first)
            start = time.perf_counter()
            play(first)
            per_step.append((time.perf_counter() - start) / first)
        k = max(first, round(seconds / per_step[0]))
        start = time.perf_counter()
        done = play(k)
        return done if isinstance(done, tuple) else (done, time.perf_counter() - start)
    return run


def round_rates(cases, seconds, rounds):
    """Units per second of each (name, run, note) case in each of `rounds` rounds of runs of
    about `seconds`: {name: [rate per round]}. Within a round the cases take turns, in
    alternating order from round to round, so that a change of load on the machine meets them
    all and the ratio of two cases can be taken round by round."""
    rates = {name: [] for name, _, _ in cases}
    for r in range(rounds):
        for name, run, _ in (cases if r % 2 == 0 else cases[::-1]):
            units, elapsed = run(seconds)
            rates[name].append(units / elapsed)
    return rates


def ratio_spread(rates, fast, slow):
    """The Spread over the rounds of rates[fast] / rates[slow]."""
    return Spread(a / b for a, b in zip(rates[fast], rates[slow]))


def game_arguments(doc, games):
    """The options shared by the benchmarks that replay random games."""
    parser = argparse.ArgumentParser(description=doc.split("\n")[0])
    parser.add_argument("--games", type=int, default=games, help=f"random games (default {games})")
    parser.add_argument("--max-plies", type=int, default=120, help="plies per game (default 120)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=5,
                        help="interleaved rounds per pair (default 5); the median ratio is shown")
    return parser


def random_games(n_games, max_plies, rng, notation=lambda board, move: move.uci()):
    """Random games played with python-chess, each a list of notation(board, move)."""
    import chess
    games = []
    for _ in range(n_games):
        board = chess.Board()
        moves = []
        while len(moves) < max_plies and not board.is_game_over():
            move = rng.choice(list(board.legal_moves))
            moves.append(notation(board, move))
            board.push(move)
        games.append(moves)
    return games
