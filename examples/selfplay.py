#!/usr/bin/env python3
"""Random self-play on several board sizes: the data a trainer's generator produces.

Every position of every game yields one training sample:
  - the 105 input planes of the position, float32 (105, height, width),
  - the legal-move mask, the policy's support,
  - once the game has ended, its final reward seen by the side to move in that position.

By default the games run in a ``murkle_rl.GameBatch``: many games of one size stepped together
on every core, the planes and masks written each ply into the same NumPy arrays, moves drawn
uniformly among the legal full actions. ``--loop`` plays one game at a time on the plain
``murkle_chess`` API instead (planes as lists, legal action indices, ``Game.apply_action``),
for comparison.

A game ends when the rules say so or when it reaches the ply cap (``--max-plies``); capped
games count as "capped" and their positions get the reward 0.0.

    python examples/selfplay.py
    python examples/selfplay.py --games 500 --sizes 8x8,10x10 --seed 7 --max-plies 300
    python examples/selfplay.py --loop --games 12

The samples are counted and dropped (a real trainer would hand them to its replay buffer).
"""

import argparse
import random
import sys
import time

import numpy as np

import murkle_chess
import murkle_rl

DEFAULT_SIZES = "8x8,10x10,16x16,32x32"
DEFAULT_GAMES = 64  # per board size; --loop plays DEFAULT_LOOP_GAMES
DEFAULT_LOOP_GAMES = 12
MAX_BATCH = 256  # games stepped together, at most
BATCH_BYTES = 32 << 20  # and no more than this for one ply's planes and masks
OUTCOME_ORDER = ["white_win", "black_win", "stalemate", "insufficient_material",
                 "fifty_move_rule", "threefold_repetition", "other_draw", "capped"]
COLUMN_NAMES = {"fifty_move_rule": "clock_150_plies"}


def parse_size(text):
    try:
        w, h = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"board size must look like 8x8, got {text!r}")
    try:
        murkle_rl.start_fen(w, h)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"board {text}: {e}")
    return w, h


def parse_sizes(text):
    return [parse_size(part.strip()) for part in text.split(",") if part.strip()]


# GameBatch.outcomes() codes, in the order of murkle_chess.GameOutcome.
OUTCOME_BY_CODE = ["white_win", "black_win", "stalemate", "insufficient_material",
                   "threefold_repetition", "fifty_move_rule", "other_draw"]


def outcome_name(game):
    outcome = game.outcome()
    return outcome.name() if outcome is not None else "capped"


class Stats:
    """What one board size produced: games, outcomes, samples and their reward labels."""

    def __init__(self, width, height, planes_shape, actions):
        self.size = f"{width}x{height}"
        self.planes = "x".join(map(str, planes_shape))
        self.actions = actions  # size of the action space
        self.games = self.plies = self.positions = self.legal = 0
        self.outcomes = {}
        self.labels = {1.0: 0, -1.0: 0, 0.0: 0}  # samples by reward
        self.capped_samples = 0
        self.seconds = 0.0
        self.threads = 1

    def finish_game(self, name, plies, white_samples, black_samples, white_reward):
        """A finished game: white_samples positions had White to move, and so on."""
        self.games += 1
        self.plies += plies
        self.positions += white_samples + black_samples
        self.outcomes[name] = self.outcomes.get(name, 0) + 1
        self.labels[float(white_reward)] += white_samples
        self.labels[float(-white_reward)] += black_samples
        if name == "capped":
            self.capped_samples += white_samples + black_samples


class Progress:
    """One status line on stderr: rewritten in place on a terminal (ten times a second at
    most), else printed every few seconds."""

    def __init__(self, total_games):
        self.total = total_games
        self.done = 0
        self.tty = sys.stderr.isatty()
        self.last = 0.0

    def update(self, size, game_no, games, plies, finished=1):
        """finished games have just ended; game_no of games of this size are done."""
        self.done += finished
        now = time.perf_counter()
        if now - self.last < (0.1 if self.tty else 5.0) and self.done < self.total:
            return
        self.last = now
        text = (f"[{self.done}/{self.total}] {size}: game {game_no}/{games}, "
                f"{plies} plies so far")
        if self.tty:
            sys.stderr.write("\r" + text.ljust(60))
            sys.stderr.flush()
        else:
            print(text, file=sys.stderr, flush=True)

    def close(self):
        if self.tty:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()


# ------------------------------------------------------------------ GameBatch


def batch_size(width, height, args):
    """Games per batch: --batch, else enough to spread the work within a memory budget, and
    as even a share of the games per slot as can be (no slot idles through a last round)."""
    if args.batch is not None:
        return min(args.batch, args.games)
    per_game = murkle_chess.TOTAL_INPUT_PLANES * width * height * 4 \
        + (8 * max(width, height) + 18) * width * height
    most = max(1, min(MAX_BATCH, BATCH_BYTES // per_game))
    rounds = -(-args.games // most)
    return -(-args.games // rounds)


def play_batch(width, height, args, progress):
    """Plays args.games games of one size in a GameBatch; returns their Stats.

    Each slot of the batch plays game after game until args.games have started; a slot whose
    last counted game is over keeps stepping (the batch moves all its games) but is ignored.
    """
    n = batch_size(width, height, args)
    batch = murkle_rl.GameBatch(n, width, height, threads=args.threads, seed=args.seed,
                                max_plies=args.max_plies)
    planes = batch.planes()  # then written by each step, in the pass that plays the moves
    mask = batch.legal_mask()
    stats = Stats(width, height, planes.shape[1:], batch.num_actions)
    stats.threads = batch.threads

    counting = np.ones(n, np.bool_)  # the slot's game is one of the args.games
    started = n
    plies = np.zeros(n, np.int64)  # of the slot's current game
    white_samples = np.zeros(n, np.int64)  # positions of that game with White to move
    start = time.perf_counter()
    while counting.any():
        actions = batch.random_actions()
        # A sample is a position where a move is chosen: not the final position a game
        # shows before it restarts (action -1), not a game that no longer counts.
        sample = counting & (actions >= 0)
        stats.legal += np.count_nonzero(mask) - np.count_nonzero(mask[~sample])
        white_samples += sample & (batch.turns() == murkle_chess.WHITE)
        plies += sample
        # (a trainer would copy planes[sample] and mask[sample] to its buffer here)

        rewards, done, _ = batch.step(actions, planes, mask)

        finished = np.flatnonzero(done & counting)
        codes = batch.outcomes() if len(finished) else None
        for i in finished:
            name = OUTCOME_BY_CODE[codes[i]] if codes[i] >= 0 else "capped"
            stats.finish_game(name, int(plies[i]), int(white_samples[i]),
                              int(plies[i] - white_samples[i]), rewards[i])
            plies[i] = white_samples[i] = 0
            if started < args.games:
                started += 1
            else:
                counting[i] = False
        progress.update(stats.size, stats.games, args.games,
                        stats.plies + int(plies.sum()), len(finished))
    stats.seconds = time.perf_counter() - start
    return stats


# ------------------------------------------------------------------ murkle_chess, one game


def new_game(width, height):
    if (width, height) == (8, 8):
        return murkle_chess.Game.standard()
    return murkle_chess.Game(width, height, murkle_rl.start_fen(width, height), False)


def play_game(width, height, rng, max_plies):
    """Plays one random game; returns (outcome name, plies, samples).

    A sample is (planes, legal action indices, reward for the side to move)."""
    game = new_game(width, height)
    positions = []  # (planes, actions, side to move) until the result is known
    plies = 0
    while not game.is_over():
        if plies >= max_plies:
            break
        planes = game.encode_game_planes()[0]
        actions = game.legal_action_indices()
        positions.append((planes, actions, game.turn()))
        if not game.apply_action(rng.choice(actions)):
            raise RuntimeError(f"apply_action refused a legal action in {game.to_fen()}")
        plies += 1

    reward = {murkle_chess.WHITE: game.reward_from_perspective(murkle_chess.WHITE),
              murkle_chess.BLACK: game.reward_from_perspective(murkle_chess.BLACK)}
    samples = [(planes, actions, reward[turn]) for planes, actions, turn in positions]
    return outcome_name(game), plies, samples


def play_loop(width, height, args, progress, rng):
    """Plays args.games games of one size one at a time; returns their Stats."""
    first = new_game(width, height)
    stats = Stats(width, height, (murkle_chess.TOTAL_INPUT_PLANES, height, width),
                  first.action_size())
    start = time.perf_counter()
    for game_no in range(1, args.games + 1):
        name, plies, samples = play_game(width, height, rng, args.max_plies)
        white = (len(samples) + 1) // 2  # every game starts with White to move
        white_reward = samples[0][2] if samples else 0.0
        stats.legal += sum(len(actions) for _planes, actions, _reward in samples)
        stats.finish_game(name, plies, white, len(samples) - white, white_reward)
        del samples  # a trainer would hand them to its replay buffer here
        progress.update(stats.size, game_no, args.games, stats.plies)
    stats.seconds = time.perf_counter() - start
    return stats


# ------------------------------------------------------------------ report


def print_table(rows, args):
    kinds = [k for k in OUTCOME_ORDER if any(k in r.outcomes for r in rows)]
    kinds += sorted({k for r in rows for k in r.outcomes} - set(kinds))
    # The engine names the move-clock draw "fifty_move_rule"; it comes at 150 half-moves here.
    header = (["board", "games", "plies", "plies/game"] + [COLUMN_NAMES.get(k, k) for k in kinds]
              + ["positions", "legal/pos", "pos/s", "planes", "actions"])
    table = [header]
    for r in rows:
        table.append([r.size, str(r.games), str(r.plies), f"{r.plies / r.games:.1f}"]
                     + [str(r.outcomes.get(k, 0)) for k in kinds]
                     + [str(r.positions),
                        f"{r.legal / r.positions:.1f}" if r.positions else "-",
                        f"{r.positions / r.seconds:.0f}" if r.seconds > 0 else "-",
                        r.planes, str(r.actions)])
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    rule = "  ".join("-" * w for w in widths)
    for i, row in enumerate(table):
        print("  ".join(cell.rjust(w) if j else cell.ljust(w) for j, (cell, w) in
                        enumerate(zip(row, widths))))
        if i == 0:
            print(rule)

    positions = sum(r.positions for r in rows)
    seconds = sum(r.seconds for r in rows)
    labels = {k: sum(r.labels[k] for r in rows) for k in (1.0, -1.0, 0.0)}
    capped = sum(r.outcomes.get("capped", 0) for r in rows)
    capped_samples = sum(r.capped_samples for r in rows)
    mode = ("one game at a time on murkle_chess; actions are move planes" if args.loop else
            f"murkle_rl.GameBatch on {max(r.threads for r in rows)} threads; actions are full "
            "actions")
    print(f"\n{positions} samples in {seconds:.1f} s ({mode}).")
    print(f"Rewards for the side to move: {labels[1.0]} samples +1, {labels[-1.0]} -1, "
          f"{labels[0.0]} 0.")
    print(f"{capped} games reached the cap of {args.max_plies} plies and count as capped: "
          f"their {capped_samples} samples got reward 0 (raise the cap with --max-plies).")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--games", type=int, default=None,
                        help=f"games per board size (default {DEFAULT_GAMES}, "
                             f"{DEFAULT_LOOP_GAMES} with --loop)")
    parser.add_argument("--sizes", type=parse_sizes, default=parse_sizes(DEFAULT_SIZES),
                        help=f"comma-separated board sizes WxH (default {DEFAULT_SIZES})")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument("--max-plies", type=int, default=600,
                        help="ply cap per game (default 600)")
    parser.add_argument("--threads", type=int, default=None,
                        help="worker threads of the batch (default: every core)")
    parser.add_argument("--batch", type=int, default=None,
                        help=f"games stepped together (default: up to {MAX_BATCH}, with at most "
                             f"{BATCH_BYTES >> 20} MB of planes and masks per ply)")
    parser.add_argument("--loop", action="store_true",
                        help="one game at a time on the plain murkle_chess API")
    args = parser.parse_args(argv)
    if args.games is None:
        args.games = DEFAULT_LOOP_GAMES if args.loop else DEFAULT_GAMES
    if args.games < 1 or args.max_plies < 1 or not args.sizes:
        parser.error("need --games >= 1, --max-plies >= 1 and at least one board size")
    if (args.threads is not None and args.threads < 1) or (args.batch is not None
                                                           and args.batch < 1):
        parser.error("need --threads >= 1 and --batch >= 1")

    progress = Progress(args.games * len(args.sizes))
    rng = random.Random(args.seed)
    rows = []
    for width, height in args.sizes:
        if args.loop:
            rows.append(play_loop(width, height, args, progress, rng))
        else:
            rows.append(play_batch(width, height, args, progress))
    progress.close()
    print_table(rows, args)


if __name__ == "__main__":
    main()
