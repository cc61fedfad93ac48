#!/usr/bin/env python3
"""Random self-play on several board sizes: the data a trainer's generator produces.

Every position of every game yields one training sample:
  - the 105 input planes of the position (``Game.encode_game_planes``),
  - the legal action indices (the policy's support, ``Game.legal_action_indices``),
  - once the game has ended, its final reward seen by the side to move in that position.

Moves are picked uniformly among the legal action indices and played with
``Game.apply_action``. A game ends when ``Game.is_over()`` says so or when it reaches the
ply cap; capped games count as "unfinished" and their positions get the reward 0.0.

    python examples/selfplay.py
    python examples/selfplay.py --games 50 --sizes 8x8,10x10 --seed 7 --max-plies 300

Only the standard library is used; the samples are counted and dropped after each game
(a real trainer would hand them to its replay buffer instead).
"""

import argparse
import random
import sys
import time

import murkle_chess

DEFAULT_SIZES = "8x8,10x10,16x16,32x32"
OUTCOME_ORDER = ["white_win", "black_win", "stalemate", "insufficient_material",
                 "fifty_move_rule", "threefold_repetition", "other_draw", "unfinished"]


def parse_size(text):
    try:
        w, h = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"board size must look like 8x8, got {text!r}")
    if w < 1 or h < 2 or h > 32 or w * h > 1024:
        raise argparse.ArgumentTypeError(  # two rows at least: one for each king
            f"board {text}: need 2 <= height <= 32 and width * height <= 1024")
    return w, h


def parse_sizes(text):
    return [parse_size(part.strip()) for part in text.split(",") if part.strip()]


def back_rank(width):
    """Pieces of White's first rank: king in the middle, queen to its left, then
    rook, knight, bishop repeating from each corner inwards (RNBQKBNR on 8 files)."""
    if width == 1:
        return "K"
    rank = [""] * width
    king, queen = width // 2, width // 2 - 1
    rank[king], rank[queen] = "K", "Q"
    cycle = "RNB"
    for i, col in enumerate(range(0, queen)):
        rank[col] = cycle[i % 3]
    for i, col in enumerate(range(width - 1, king, -1)):
        rank[col] = cycle[i % 3]
    return "".join(rank)


def fen_rank(cells):
    """One FEN rank from a list of piece letters and None for empty squares."""
    out, run = [], 0
    for c in cells:
        if c is None:
            run += 1
            continue
        if run:
            out.append(str(run))
            run = 0
        out.append(c)
    if run:
        out.append(str(run))
    return "".join(out)


def start_fen(width, height):
    """A start position for any board: back ranks on the first and last rows, pawns in
    front of them when the board is at least four rows high."""
    white = list(back_rank(width))
    rows = [[None] * width for _ in range(height)]  # rows[0] is White's first rank
    rows[0] = white
    if height >= 2:
        rows[height - 1] = [c.lower() for c in white]
    if height >= 4:
        rows[1] = ["P"] * width
        rows[height - 2] = ["p"] * width
    placement = "/".join(fen_rank(rows[r]) for r in range(height - 1, -1, -1))
    return f"{placement} w - - 0 1"


def new_game(width, height):
    if (width, height) == (8, 8):
        return murkle_chess.Game.standard()
    return murkle_chess.Game(width, height, start_fen(width, height), False)


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

    outcome = game.outcome()
    name = outcome.name() if outcome is not None else "unfinished"
    reward = {murkle_chess.WHITE: game.reward_from_perspective(murkle_chess.WHITE),
              murkle_chess.BLACK: game.reward_from_perspective(murkle_chess.BLACK)}
    samples = [(planes, actions, reward[turn]) for planes, actions, turn in positions]
    return name, plies, samples


class Progress:
    """One status line on stderr: rewritten in place on a terminal, else every few seconds."""

    def __init__(self, total_games):
        self.total = total_games
        self.done = 0
        self.tty = sys.stderr.isatty()
        self.last = 0.0

    def update(self, size, game_no, games, plies):
        self.done += 1
        now = time.perf_counter()
        text = (f"[{self.done}/{self.total}] {size}: game {game_no}/{games}, "
                f"{plies} plies so far")
        if self.tty:
            sys.stderr.write("\r" + text.ljust(60))
            sys.stderr.flush()
        elif now - self.last >= 5.0 or self.done == self.total:
            self.last = now
            print(text, file=sys.stderr, flush=True)

    def close(self):
        if self.tty:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()


def run(args):
    rng = random.Random(args.seed)
    progress = Progress(args.games * len(args.sizes))
    rows = []
    for width, height in args.sizes:
        size = f"{width}x{height}"
        stats = {"size": size, "games": 0, "plies": 0, "positions": 0, "floats": 0,
                 "actions": 0, "outcomes": {}, "seconds": 0.0}
        start = time.perf_counter()
        for game_no in range(1, args.games + 1):
            name, plies, samples = play_game(width, height, rng, args.max_plies)
            stats["games"] += 1
            stats["plies"] += plies
            stats["outcomes"][name] = stats["outcomes"].get(name, 0) + 1
            stats["positions"] += len(samples)
            for planes, actions, _reward in samples:
                stats["floats"] += len(planes)
                stats["actions"] += len(actions)
            del samples  # a trainer would hand them to its replay buffer here
            progress.update(size, game_no, args.games, stats["plies"])
        stats["seconds"] = time.perf_counter() - start
        rows.append(stats)
    progress.close()
    return rows


def print_table(rows, max_plies):
    kinds = [k for k in OUTCOME_ORDER if any(k in r["outcomes"] for r in rows)]
    kinds += sorted({k for r in rows for k in r["outcomes"]} - set(kinds))
    total = {"size": "all", "games": 0, "plies": 0, "positions": 0, "floats": 0, "actions": 0,
             "outcomes": {}, "seconds": 0.0}
    for r in rows:
        for key in ("games", "plies", "positions", "floats", "actions", "seconds"):
            total[key] += r[key]
        for k, n in r["outcomes"].items():
            total["outcomes"][k] = total["outcomes"].get(k, 0) + n

    header = ["board", "games", "plies", "plies/game"] + kinds + ["positions", "legal/pos", "pos/s"]
    table = [header]
    for r in rows + [total]:
        games, positions = r["games"], r["positions"]
        table.append([r["size"], str(games), str(r["plies"]),
                      f"{r['plies'] / games:.1f}" if games else "-"]
                     + [str(r["outcomes"].get(k, 0)) for k in kinds]
                     + [str(positions),
                        f"{r['actions'] / positions:.1f}" if positions else "-",
                        f"{positions / r['seconds']:.0f}" if r["seconds"] > 0 else "-"])
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    rule = "  ".join("-" * w for w in widths)
    for i, row in enumerate(table):
        if i == len(table) - 1:
            print(rule)
        print("  ".join(cell.rjust(w) if j else cell.ljust(w) for j, (cell, w) in
                        enumerate(zip(row, widths))))
        if i == 0:
            print(rule)
    print(f"\n{total['positions']} samples ({total['floats'] / 1e6:.1f} M plane values) in "
          f"{total['seconds']:.1f} s; games still going after {max_plies} plies count as unfinished.")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--games", type=int, default=12, help="games per board size (default 12)")
    parser.add_argument("--sizes", type=parse_sizes, default=parse_sizes(DEFAULT_SIZES),
                        help=f"comma-separated board sizes WxH (default {DEFAULT_SIZES})")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument("--max-plies", type=int, default=600,
                        help="ply cap per game (default 600)")
    args = parser.parse_args(argv)
    if args.games < 1 or args.max_plies < 0 or not args.sizes:
        parser.error("need --games >= 1, --max-plies >= 0 and at least one board size")
    rows = run(args)
    print_table(rows, args.max_plies)


if __name__ == "__main__":
    main()
