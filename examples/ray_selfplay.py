#!/usr/bin/env python3
"""Self-play on a Ray cluster: actors drive GameBatch games, the driver keeps a replay buffer.

Each actor owns one ``murkle_rl.GameBatch`` and plays random self-play in chunks of steps. A
chunk carries, as NumPy arrays, every position it saw (input planes packed as bits and scalars,
legal-action mask, the full action played, the game id and ply) and the games that ended in it
(their result and their ``murkle_rl.dumps_game`` bytes). Packed planes take 1.3 KB an 8x8
position instead of 26.9 KB of float32; ``ReplayBuffer.sample`` unpacks a minibatch with
``murkle_rl.unpack_planes``. The driver writes the samples into a fixed-size ring
buffer and fills in each sample's value once its game has ended: the final result from the
side to move in that position (+1 won, -1 lost, 0 draw or capped by --max-plies). A trainer
would draw minibatches with ``ReplayBuffer.sample`` and send new weights to the actors; here
the policy stays uniform random.

    python examples/ray_selfplay.py                      # local Ray instance, one actor per core
    python examples/ray_selfplay.py --workers 4 --size 16x16 --seconds 60
    python examples/ray_selfplay.py --positions 100000   # stop after 100k positions per actor
    python examples/ray_selfplay.py --address auto       # join the running cluster
    python examples/ray_selfplay.py --address ray://head:10001 --workers 32

Needs Ray: ``pip install 'murkle_chess[ray]'``. ``--save FILE.npz`` writes the buffer.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

import numpy as np

import murkle_chess
import murkle_rl

try:
    import ray
except ModuleNotFoundError:
    sys.exit("ray_selfplay.py needs Ray: pip install 'murkle_chess[ray]'")

GAME_ID_STRIDE = 1 << 40  # game id = worker * GAME_ID_STRIDE + the worker's game count


class SelfPlayWorker:
    """One GameBatch of random self-play; ``run`` plays some steps and returns a chunk."""

    def __init__(self, worker: int, width: int, height: int, games: int, seed: int,
                 max_plies: int | None, threads: int) -> None:
        self.worker = worker
        self.batch = murkle_rl.GameBatch(games, width, height, seed=seed, threads=threads,
                                         max_plies=max_plies)
        # The observations of the current positions, rewritten by every step.
        self.bits, self.scalars = self.batch.packed_planes()
        self.mask = self.batch.legal_mask()
        self.game_ids = worker * GAME_ID_STRIDE + np.arange(games, dtype=np.int64)
        self.next_id = games
        self.plies = np.zeros(games, np.int32)
        # A game that ended at a step shows its final position until the next step restarts it;
        # that step plays no move for it and yields no sample.
        self.restarting = np.zeros(games, bool)

    def run(self, steps: int) -> dict[str, Any]:
        started = time.perf_counter()
        n = self.batch.n
        # Positions go straight into the chunk's arrays: one copy from the batch's output.
        samples = {
            "bits": np.empty((steps * n, *self.bits.shape[1:]), np.uint8),
            "scalars": np.empty((steps * n, *self.scalars.shape[1:]), np.float32),
            "masks": np.empty((steps * n, *self.mask.shape[1:]), bool),
            "actions": np.empty(steps * n, np.int64),
            "game_ids": np.empty(steps * n, np.int64),
            "plies": np.empty(steps * n, np.int32),
        }
        finished: dict[str, list[Any]] = {k: [] for k in ("game_ids", "results", "truncated", "lengths", "game_bytes")}
        moves = 0
        for _ in range(steps):
            playing = ~self.restarting
            rows = slice(moves, moves + int(playing.sum()))
            np.compress(playing, self.bits, axis=0, out=samples["bits"][rows])
            np.compress(playing, self.scalars, axis=0, out=samples["scalars"][rows])
            np.compress(playing, self.mask, axis=0, out=samples["masks"][rows])
            actions = self.batch.random_actions()
            rewards, done, truncated = self.batch.step(actions, mask=self.mask, bits=self.bits, scalars=self.scalars)
            samples["actions"][rows] = actions[playing]
            samples["game_ids"][rows] = self.game_ids[playing]
            samples["plies"][rows] = self.plies[playing]
            moves = rows.stop
            self.plies[playing] += 1
            for i in np.flatnonzero(done):
                game = self.batch.game(int(i))
                finished["game_ids"].append(self.game_ids[i])
                finished["results"].append(rewards[i])
                finished["truncated"].append(truncated[i])
                finished["lengths"].append(self.plies[i])
                finished["game_bytes"].append(murkle_rl.dumps_game(game))
            restarted = self.restarting
            self.game_ids[restarted] = self.worker * GAME_ID_STRIDE + self.next_id + np.arange(restarted.sum())
            self.next_id += int(restarted.sum())
            self.plies[restarted] = 0
            self.restarting = done
        chunk: dict[str, Any] = {k: v[:moves] for k, v in samples.items()}
        chunk["finished"] = {
            "game_ids": np.array(finished["game_ids"], np.int64),
            "results": np.array(finished["results"], np.float32),
            "truncated": np.array(finished["truncated"], bool),
            "lengths": np.array(finished["lengths"], np.int32),
            "game_bytes": finished["game_bytes"],
        }
        chunk["worker"] = self.worker
        chunk["moves"] = moves
        chunk["seconds"] = time.perf_counter() - started
        return chunk


class ReplayBuffer:
    """The newest ``capacity`` samples, with values filled in as their games end."""

    def __init__(self, capacity: int, width: int, height: int) -> None:
        planes = murkle_chess.Game.get_move_planes_count(width, height)
        self.capacity, self.width, self.height = capacity, width, height
        self.bits = np.zeros((capacity, 105, (width * height + 7) // 8), np.uint8)
        self.scalars = np.zeros((capacity, 105), np.float32)
        self.masks = np.zeros((capacity, planes, height, width), bool)
        self.actions = np.zeros(capacity, np.int64)
        self.game_ids = np.full(capacity, -1, np.int64)
        self.plies = np.zeros(capacity, np.int32)
        self.values = np.full(capacity, np.nan, np.float32)
        self.size = 0
        self.next = 0
        self.games: dict[int, dict[str, Any]] = {}  # finished games with samples still held

    def add(self, chunk: dict[str, Any]) -> None:
        n = len(chunk["actions"])
        for start in range(0, n, self.capacity):  # a chunk larger than the buffer keeps its tail
            self._write(chunk, start, min(n, start + self.capacity))
        done = chunk["finished"]
        for k, gid in enumerate(done["game_ids"]):
            self.games[int(gid)] = {key: done[key][k] for key in ("results", "truncated", "lengths", "game_bytes")}
        if len(done["game_ids"]):
            held = self.game_ids[: self.size]
            sel = np.isin(held, done["game_ids"])
            result = dict(zip(done["game_ids"].tolist(), done["results"].tolist()))
            white = self.scalars[: self.size, 98][sel] > 0.5  # White to move in that position
            z = np.array([result[g] for g in held[sel].tolist()], np.float32)
            self.values[: self.size][sel] = np.where(white, z, -z) + 0.0
        live = set(np.unique(self.game_ids[: self.size]).tolist())
        self.games = {g: r for g, r in self.games.items() if g in live}

    def _write(self, chunk: dict[str, Any], lo: int, hi: int) -> None:
        count = hi - lo
        first = min(count, self.capacity - self.next)
        for dst, a, b in ((self.next, lo, lo + first), (0, lo + first, hi)):
            if b > a:
                span = slice(dst, dst + b - a)
                self.bits[span] = chunk["bits"][a:b]
                self.scalars[span] = chunk["scalars"][a:b]
                self.masks[span] = chunk["masks"][a:b]
                self.actions[span] = chunk["actions"][a:b]
                self.game_ids[span] = chunk["game_ids"][a:b]
                self.plies[span] = chunk["plies"][a:b]
                self.values[span] = np.nan
        self.next = (self.next + count) % self.capacity
        self.size = min(self.capacity, self.size + count)

    def ready(self) -> np.ndarray:
        """Indices of the samples whose game has ended (their value is known)."""
        return np.flatnonzero(~np.isnan(self.values[: self.size]))

    def sample(self, n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """A minibatch (dense float32 planes, legal masks, values) drawn uniformly from the ready
        samples."""
        idx = rng.choice(self.ready(), size=n)
        planes = murkle_rl.unpack_planes(self.bits[idx], self.scalars[idx], self.height, self.width)
        return planes, self.masks[idx], self.values[idx]

    def save(self, path: str) -> None:
        """Writes the samples (planes packed: ``murkle_rl.unpack_planes(bits, scalars, height,
        width)`` unpacks them) and the finished games they come from to a .npz file."""
        ids = np.array(sorted(self.games), np.int64)
        blobs = [self.games[g]["game_bytes"] for g in ids.tolist()]
        np.savez(
            path,
            bits=self.bits[: self.size], scalars=self.scalars[: self.size], masks=self.masks[: self.size],
            actions=self.actions[: self.size], game_ids=self.game_ids[: self.size],
            plies=self.plies[: self.size], values=self.values[: self.size],
            finished_ids=ids,
            finished_results=np.array([self.games[g]["results"] for g in ids.tolist()], np.float32),
            finished_truncated=np.array([self.games[g]["truncated"] for g in ids.tolist()], bool),
            finished_lengths=np.array([self.games[g]["lengths"] for g in ids.tolist()], np.int32),
            finished_bytes=np.frombuffer(b"".join(blobs), np.uint8),
            finished_offsets=np.cumsum([0] + [len(b) for b in blobs]),
        )


def parse_size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"board size must look like 8x8, got {text!r}") from None
    try:
        murkle_rl.start_fen(width, height)  # refuses sizes that hold no game
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return width, height


def main(argv: list[str] | None = None) -> ReplayBuffer:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", default=None,
                        help="Ray cluster to join (e.g. auto or ray://host:10001); default: start a local one")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="actors (default: one per core)")
    parser.add_argument("--games", type=int, default=32, help="games per actor (default 32)")
    parser.add_argument("--size", type=parse_size, default=(8, 8), help="board WIDTHxHEIGHT (default 8x8)")
    parser.add_argument("--max-plies", type=int, default=300,
                        help="plies after which a game is capped with value 0 (default 300)")
    parser.add_argument("--threads", type=int, default=1, help="GameBatch threads per actor (default 1)")
    parser.add_argument("--seconds", type=float, default=20.0, help="how long to play (default 20)")
    parser.add_argument("--positions", type=int, default=None,
                        help="stop an actor once it has sent this many positions (default: no limit)")
    parser.add_argument("--chunk", type=int, default=16, help="steps per chunk an actor sends (default 16)")
    parser.add_argument("--buffer", type=int, default=20000, help="samples the driver keeps (default 20000)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--save", metavar="FILE.npz", help="write the buffer and its finished games here")
    args = parser.parse_args(argv)
    width, height = args.size

    from ray_start import init_ray  # beside this script, which Python puts on the path

    init_ray(args.address, num_cpus=max(args.workers * args.threads, 1))
    try:
        remote = ray.remote(num_cpus=args.threads)(SelfPlayWorker)
        actors: list[Any] = [remote.remote(w, width, height, args.games, args.seed * 1000 + w, args.max_plies, args.threads)
                  for w in range(args.workers)]
        buffer = ReplayBuffer(args.buffer, width, height)
        moves = np.zeros(args.workers, np.int64)
        busy = np.zeros(args.workers)
        games = np.zeros(args.workers, np.int64)
        started = time.perf_counter()
        # Two chunks in flight per actor, so that it plays the next while the driver takes the
        # last; the driver takes each actor's chunks in the order they were played (a game's
        # samples before its result).
        queues = {w: [actor.run.remote(args.chunk) for _ in range(2)] for w, actor in enumerate(actors)}
        received = 0
        while queues:
            heads = {queue[0]: w for w, queue in queues.items()}
            [ref], _ = ray.wait(list(heads), num_returns=1)
            w = heads[ref]
            queues[w].pop(0)
            chunk = ray.get(ref)
            buffer.add(chunk)
            moves[w] += chunk["moves"]
            busy[w] += chunk["seconds"]
            games[w] += len(chunk["finished"]["game_ids"])
            received += sum(a.nbytes for a in chunk.values() if isinstance(a, np.ndarray))
            enough = args.positions is not None and moves[w] >= args.positions
            if not enough and time.perf_counter() - started < args.seconds:
                queues[w].append(actors[w].run.remote(args.chunk))
            elif not queues[w]:
                del queues[w]
        elapsed = time.perf_counter() - started
    finally:
        ray.shutdown()

    print(f"{args.workers} actors x {args.games} games on {width}x{height} for {elapsed:.1f} s")
    print(f"{'actor':>5} {'positions':>10} {'games':>7} {'pos/s busy':>11}")
    for w in range(args.workers):
        print(f"{w:>5} {moves[w]:>10} {games[w]:>7} {moves[w] / max(busy[w], 1e-9):>11.0f}")
    print(f"total: {moves.sum()} positions, {games.sum()} games, {moves.sum() / elapsed:.0f} positions/s "
          f"at the driver, {received / elapsed / 1e6:.1f} MB/s of samples")
    print(f"buffer: {buffer.size} samples, {len(buffer.ready())} with a known value")
    if args.save:
        buffer.save(args.save)
        print(f"saved to {args.save}")
    return buffer


if __name__ == "__main__":
    main()
