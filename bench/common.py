"""Helpers shared by the benchmarks: timing, the options of the random-game replays, and
random 8x8 games played with python-chess."""

import argparse
import time


def best_ns_per_call(fn, repeat):
    """Runs fn() (which returns its number of calls) repeat times; the best ns per call."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter_ns()
        calls = fn()
        elapsed = time.perf_counter_ns() - start
        best = min(best, elapsed / calls)
    return best


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


def best_rates(cases, seconds, repeat):
    """Units per second of each (name, run, note) case, best of `repeat` runs of about
    `seconds`; the runs of all cases take turns, so that a change of load on the machine meets
    them all."""
    best = {name: 0.0 for name, _, _ in cases}
    for _ in range(repeat):
        for name, run, _ in cases:
            units, elapsed = run(seconds)
            best[name] = max(best[name], units / elapsed)
    return best


def game_arguments(doc, games):
    """The options shared by the benchmarks that replay random games."""
    parser = argparse.ArgumentParser(description=doc.split("\n")[0])
    parser.add_argument("--games", type=int, default=games, help=f"random games (default {games})")
    parser.add_argument("--max-plies", type=int, default=120, help="plies per game (default 120)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=5, help="runs per case, best kept")
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
