#!/usr/bin/env python3
"""AlphaZero on any board size, on a CPU: self-play with murkle_rl.Search, a small residual
network in PyTorch, a compact replay buffer, evaluation against a random and a greedy mover.

    python examples/alphazero.py --width 6 --height 6 --minutes 30 --out runs/6x6
    python examples/alphazero.py --resume --out runs/6x6 --minutes 45     # go on to 45 minutes
    python examples/alphazero.py evaluate --checkpoint runs/6x6 --games 100 --simulations 200
    echo "6 6 rnqknr/pppppp/6/6/PPPPPP/RNQKNR w - - 0 1" | \\
        python examples/alphazero.py play --checkpoint runs/6x6 --simulations 200
    python examples/alphazero.py --ray --workers 2 --out runs/ray      # self-play on Ray actors

Training repeats one iteration: every game of the self-play batch plays ``--plies-per-iter``
moves chosen by a search that the current network drives (Gumbel at the root by default, or
PUCT with Dirichlet noise); each position becomes a sample (input planes, legal mask, the
search's policy) whose value target, once its game has ended, mixes the final result seen
from the side to move with the value the search found for the position (``--value-mix``);
then the network takes enough training steps on random minibatches from the replay buffer
that each new sample is seen ``--replay-ratio`` times on average. The network sees the piece
planes of the current position (of ``--history`` positions with more) and the planes of
repetitions, side to move, move number, castling rights and clock. Every
``--eval-every`` minutes the network plays a random mover and a greedy mover (takes the most
valuable piece it can, else plays at random), and the scores go to ``metrics.jsonl`` and the
learning curve ``curve.png`` in ``--out``. The clock (``--minutes``) counts self-play and
training only, not evaluation.

The output directory holds ``checkpoint.pt`` (network, optimizer, replay buffer, the games in
flight, random states and the clock), written every ``--checkpoint-every`` minutes and at the
end, and when a first Ctrl-C stops the run after its current iteration (a second one stops it
at once); ``--resume`` continues from it exactly where it stopped.

``play`` reads lines ``WIDTH HEIGHT FEN`` on standard input and answers each with the long
algebraic notation of the move its search chooses (most visited), or a line starting with
``error:`` for a line it cannot answer.

Needs PyTorch, tqdm and matplotlib: ``pip install 'murkle_chess[train]'`` (and Ray for
``--ray``).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import threading
import time
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

import numpy as np

import murkle_chess
import murkle_rl

try:
    import torch
    import torch.nn.functional as F
    from torch import nn
    from tqdm import tqdm
except ModuleNotFoundError as e:
    sys.exit(f"alphazero.py needs {e.name}: pip install 'murkle_chess[train]'")

SCALAR_PLANES = range(96, 105)  # repetitions, side to move, move number, castling, clock: one value each
PIECE_VALUES = np.array([1, 3, 3, 5, 9, 0], np.float32)  # pawn, knight, bishop, rook, queen, king
CHECKPOINT = "checkpoint.pt"


# ------------------------------------------------------------------ configuration


@dataclass
class Config:
    width: int = 6
    height: int = 6
    # network
    channels: int = 32
    blocks: int = 3
    history: int = 1  # positions the network sees: the current one and the plies before it (at most 8)
    # self-play
    games: int = 128  # games played at once
    simulations: int = 16
    gumbel: bool = True
    max_considered: int = 8
    dirichlet_alpha: float = 0.3  # PUCT only
    c_puct: float = 1.25
    temperature_plies: int = 8  # moves sampled from the visits before this ply, then the best
    value_mix: float = 0.5  # value target: (1 - this) x the result + this x the searched root value
    max_plies: int = 150  # a self-play game reaching this many plies ends
    adjudicate: float = 4.0  # ... and its value target is tanh(material difference / this); 0: a draw
    plies_per_iter: int = 8
    # training
    batch_size: int = 256
    replay_ratio: float = 4.0
    buffer: int = 100_000
    policy_top: int = 64  # policy entries kept per sample
    lr: float = 2e-3
    weight_decay: float = 1e-4
    # evaluation during training
    eval_every: float = 5.0  # minutes
    eval_games: int = 20  # per opponent
    eval_simulations: int = 32  # 0: the network's own most likely move
    eval_max_plies: int = 200
    eval_gumbel: bool = False  # the agent's search in evaluations and play: Gumbel root, else PUCT
    # budget
    minutes: float = 30.0
    iterations: int = 0  # stop after this many iterations (0: no limit)
    checkpoint_every: float = 5.0  # minutes
    seed: int = 0
    threads: int = 0  # search threads (0: every core)
    torch_threads: int = 0  # 0: every core

    @property
    def input_planes(self) -> np.ndarray:
        """The planes the network sees: 12 piece planes per position of history, then 96 to 104."""
        return np.r_[0: 12 * self.history, SCALAR_PLANES]

    @property
    def action_planes(self) -> int:
        return murkle_chess.Game.get_move_planes_count(self.width, self.height)


# ------------------------------------------------------------------ network


class ResBlock(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        return F.relu(x + self.bn2(self.conv2(y)))


class Net(nn.Module):
    """A residual tower over the input planes (``Config.input_planes`` of the 105). The policy
    head is convolutional: its (P, H, W) output is the full action layout, flattened to logits
    over every full action. The value head pools the board, so the same layers fit any board
    with the same P."""

    def __init__(self, input_planes: int, action_planes: int, channels: int, blocks: int) -> None:
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(input_planes, channels, 3, padding=1, bias=False),
                                  nn.BatchNorm2d(channels), nn.ReLU())
        self.tower = nn.Sequential(*(ResBlock(channels) for _ in range(blocks)))
        self.policy = nn.Sequential(nn.Conv2d(channels, channels, 3, padding=1, bias=False),
                                    nn.BatchNorm2d(channels), nn.ReLU(), nn.Conv2d(channels, action_planes, 1))
        self.value_conv = nn.Sequential(nn.Conv2d(channels, channels, 1, bias=False), nn.BatchNorm2d(channels), nn.ReLU())
        self.value_fc = nn.Sequential(nn.Linear(2 * channels, 64), nn.ReLU(), nn.Linear(64, 1))

    def forward(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        h = self.tower(self.stem(x))
        logits = self.policy(h).flatten(1)
        v = self.value_conv(h)
        v = torch.cat([v.mean((2, 3)), v.amax((2, 3))], 1)
        return logits, torch.tanh(self.value_fc(v)).squeeze(1)


def use_threads(n: int) -> None:
    """PyTorch on n threads, or on every core this process may use with 0."""
    torch.set_num_threads(n or len(os.sched_getaffinity(0)))


def make_net(cfg: Config) -> Net:
    return Net(len(cfg.input_planes), cfg.action_planes, cfg.channels, cfg.blocks)


class Evaluator:
    """The network as the search sees it: the 105 planes in, (logits, values) out, as NumPy arrays."""

    def __init__(self, net: Net, cfg: Config) -> None:
        self.net = net
        self.inputs = cfg.input_planes
        self.seconds = 0.0
        self.positions = 0

    def __call__(self, planes: np.ndarray, mask: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
        started = time.perf_counter()
        self.net.eval()
        with torch.inference_mode():
            logits, values = self.net(torch.from_numpy(planes[:, self.inputs]))
        self.seconds += time.perf_counter() - started
        self.positions += len(planes)
        return logits.numpy(), values.numpy()


def search_moves(search: Any, evaluate: Evaluator, planes: np.ndarray) -> float:
    """Runs a search to its end with the network; returns the seconds spent in the tree. The
    network reads no legal mask (the search takes only the legal moves' logits), so none is
    written."""
    tree = 0.0
    while True:
        started = time.perf_counter()
        k = search.select(planes)
        tree += time.perf_counter() - started
        if k == 0:
            return tree
        logits, values = evaluate(planes[:k])
        started = time.perf_counter()
        search.expand(logits, values)
        tree += time.perf_counter() - started


# ------------------------------------------------------------------ compact samples


class Samples:
    """Training samples kept compactly: the piece planes the network sees as bits (the packed
    format of ``GameBatch.packed_planes``), planes 96-104 as one value each, the legal mask as
    bits, the policy as its largest entries."""

    FIELDS = ("bits", "scalars", "mask", "policy_index", "policy_p", "value")

    def __init__(self, cfg: Config, capacity: int) -> None:
        hw = cfg.height * cfg.width
        self.cfg = cfg
        self.bits = np.zeros((capacity, 12 * cfg.history, (hw + 7) // 8), np.uint8)
        self.scalars = np.zeros((capacity, len(SCALAR_PLANES)), np.float32)
        self.mask = np.zeros((capacity, (cfg.action_planes * hw + 7) // 8), np.uint8)
        self.policy_index = np.zeros((capacity, cfg.policy_top), np.int32)
        self.policy_p = np.zeros((capacity, cfg.policy_top), np.float16)
        self.value = np.zeros(capacity, np.float32)

    def rows(self) -> dict[str, np.ndarray]:
        return {f: getattr(self, f) for f in self.FIELDS}

    @staticmethod
    def encode(cfg: Config, bits: np.ndarray, scalars: np.ndarray, mask: np.ndarray,
               policy: np.ndarray) -> dict[str, np.ndarray]:
        """The compact form of positions from ``packed_planes`` (bits (k, 105, B), scalars
        (k, 105)), masks (k, P, H, W) and policies (k, A)."""
        k = len(bits)
        top = min(cfg.policy_top, policy.shape[1])
        index = np.argpartition(-policy, top - 1, axis=1)[:, :top].astype(np.int32)
        p = np.take_along_axis(policy, index, 1)
        p /= np.maximum(p.sum(1, keepdims=True), 1e-12)
        return {
            "bits": np.ascontiguousarray(bits[:, : 12 * cfg.history]),  # a copy unless given just these planes
            "scalars": scalars[:, SCALAR_PLANES],  # indexed by a range: a copy
            "mask": np.packbits(mask.reshape(k, policy.shape[1]), axis=1),
            "policy_index": index,
            "policy_p": p.astype(np.float16),
        }

    @staticmethod
    def decode(cfg: Config, rows: dict[str, np.ndarray]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The network's inputs (k, len(cfg.input_planes), H, W), masks (k, A) and dense
        policies (k, A) of compact rows."""
        h, w, p_planes = cfg.height, cfg.width, cfg.action_planes
        k, pieces = len(rows["bits"]), 12 * cfg.history
        inputs = np.empty((k, pieces + len(SCALAR_PLANES), h, w), np.float32)
        inputs[:, :pieces] = np.unpackbits(rows["bits"], axis=2, count=h * w, bitorder="little").reshape(k, pieces, h, w)
        inputs[:, pieces:] = rows["scalars"][:, :, None, None]
        mask = np.unpackbits(rows["mask"], axis=1, count=p_planes * h * w).astype(bool)
        policy = np.zeros((k, p_planes * h * w), np.float32)
        np.put_along_axis(policy, rows["policy_index"].astype(np.int64), rows["policy_p"].astype(np.float32), 1)
        return inputs, mask, policy


class ReplayBuffer(Samples):
    """The newest ``capacity`` samples of finished games, in a ring."""

    def __init__(self, cfg: Config) -> None:
        super().__init__(cfg, cfg.buffer)
        self.capacity = cfg.buffer
        self.size = 0
        self.next = 0

    def add(self, rows: dict[str, np.ndarray]) -> None:
        k = len(rows["value"])
        if k > self.capacity:  # keep the newest
            rows = {f: v[-self.capacity:] for f, v in rows.items()}
            k = self.capacity
        at = (self.next + np.arange(k)) % self.capacity
        for f in self.FIELDS:
            getattr(self, f)[at] = rows[f]
        self.next = (self.next + k) % self.capacity
        self.size = min(self.capacity, self.size + k)

    def sample(self, n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        idx = rng.integers(0, self.size, n)
        planes, mask, policy = self.decode(self.cfg, {f: getattr(self, f)[idx] for f in self.FIELDS})
        return planes, mask, policy, self.value[idx]

    def state(self) -> dict[str, Any]:
        return {"size": self.size, "next": self.next,
                **{f: getattr(self, f)[: self.size].copy() for f in self.FIELDS}}

    def load(self, state: dict[str, Any]) -> None:
        self.size, self.next = state["size"], state["next"]
        for f in self.FIELDS:
            getattr(self, f)[: self.size] = state[f]


# ------------------------------------------------------------------ self-play


class SelfPlayer:
    """A GameBatch of games that the network plays against itself. ``play`` makes some moves
    and returns the samples of the games that ended (their values known); the positions of
    the games still running wait here."""

    def __init__(self, cfg: Config, seed: int) -> None:
        self.cfg = cfg
        self.batch = murkle_rl.GameBatch(cfg.games, cfg.width, cfg.height, seed=seed,
                                         max_plies=cfg.max_plies, threads=cfg.threads or None)
        self.make_arrays(cfg)
        n = cfg.games
        self.waiting: list[list[dict[str, np.ndarray]]] = [[] for _ in range(n)]  # per game: rows so far
        self.white: list[list[bool]] = [[] for _ in range(n)]  # White to move at each row
        self.rounds = 0  # searches made so far, numbering the searches' seeds
        self.seed = seed
        self.stats = {"games": 0, "moves": 0, "white_wins": 0, "black_wins": 0, "draws": 0, "capped": 0,
                      "plies": 0, "search_s": 0.0, "network_s": 0.0, "positions": 0}

    WORK = ("planes", "mask", "policy", "bits", "scalars")  # arrays rewritten at every move

    def make_arrays(self, cfg: Config) -> None:
        self.cfg = cfg
        n, hw = cfg.games, (cfg.height, cfg.width)
        self.planes = np.zeros((n, murkle_chess.TOTAL_INPUT_PLANES, *hw), np.float32)
        self.mask = np.zeros((n, cfg.action_planes, *hw), bool)
        self.policy = np.zeros((n, cfg.action_planes * hw[0] * hw[1]), np.float32)
        self.bits, self.scalars = self.batch.packed_planes()

    def new_search(self) -> Any:
        cfg = self.cfg
        return murkle_rl.Search(
            self.batch, cfg.simulations, c_puct=cfg.c_puct, gumbel=cfg.gumbel, max_considered=cfg.max_considered,
            dirichlet_alpha=None if cfg.gumbel else cfg.dirichlet_alpha, seed=self.seed * 1_000_003 + self.rounds)

    def play(self, net: Net, plies: int) -> dict[str, np.ndarray]:
        """Every game plays ``plies`` moves; returns the samples of the games that ended."""
        cfg = self.cfg
        evaluate = Evaluator(net, cfg)
        search = self.new_search()  # one search per call, seeded by its number: resumable
        self.rounds += 1
        finished: list[dict[str, np.ndarray]] = []
        for _ in range(plies):
            self.stats["search_s"] += search_moves(search, evaluate, self.planes)
            search.policy(out=self.policy)
            explore = search.choose(1.0)
            best = search.choose(0.0)
            played = self.batch.plies()
            actions = np.where(played < cfg.temperature_plies, explore, best)
            moving = np.flatnonzero(actions >= 0)
            self.batch.packed_planes(self.bits, self.scalars)
            self.batch.legal_mask(out=self.mask)
            rows = Samples.encode(cfg, self.bits[moving, : 12 * cfg.history], self.scalars[moving], self.mask[moving],
                                  self.policy[moving])
            rows["q"] = search.root_values()[moving]
            white = self.batch.turns() == murkle_chess.WHITE
            for j, i in enumerate(moving):
                self.waiting[i].append({f: v[j] for f, v in rows.items()})
                self.white[i].append(bool(white[i]))
            self.stats["moves"] += len(moving)
            started = time.perf_counter()
            rewards, done, capped = search.step(actions)
            self.stats["search_s"] += time.perf_counter() - started
            if done.any():
                targets = rewards.copy()
                if cfg.adjudicate > 0 and capped.any():
                    targets[capped] = np.tanh(material(self.batch)[capped] / cfg.adjudicate)
                for i in np.flatnonzero(done):
                    finished.append(self.finish(int(i), float(rewards[i]), bool(capped[i]), float(targets[i])))
        self.stats["network_s"] += evaluate.seconds
        self.stats["positions"] += evaluate.positions
        if not finished:
            return Samples(cfg, 0).rows()
        return {f: np.concatenate([r[f] for r in finished]) for f in Samples.FIELDS}

    def finish(self, i: int, white_reward: float, capped: bool, target: float) -> dict[str, np.ndarray]:
        """The samples of game i, which just ended with ``white_reward``; ``target`` is the value
        for White that its positions learn."""
        rows, white = self.waiting[i], np.array(self.white[i])
        self.waiting[i], self.white[i] = [], []
        s = self.stats
        s["games"] += 1
        s["plies"] += len(rows)
        s["white_wins"] += white_reward > 0
        s["black_wins"] += white_reward < 0
        s["draws"] += white_reward == 0
        s["capped"] += capped
        out = {f: np.stack([r[f] for r in rows]) for f in rows[0]}
        mix = self.cfg.value_mix
        out["value"] = ((1 - mix) * np.where(white, target, -target) + mix * out.pop("q")).astype(np.float32) + 0.0
        return out

    def state(self) -> dict[str, Any]:
        """What a checkpoint keeps: the games (GameBatch pickles), their waiting samples, counts."""
        return {k: v for k, v in self.__dict__.items() if k not in ("cfg", *self.WORK)}

    @classmethod
    def from_state(cls, cfg: Config, state: dict[str, Any]) -> SelfPlayer:
        self = cls.__new__(cls)
        self.__dict__.update(state)
        self.make_arrays(cfg)
        return self


def material(batch: Any) -> np.ndarray:
    """White's material minus Black's in every game (pawn 1, knight and bishop 3, rook 5, queen 9)."""
    planes = batch.planes()
    own = np.einsum("k,nkhw->n", PIECE_VALUES, planes[:, 0:6])
    other = np.einsum("k,nkhw->n", PIECE_VALUES, planes[:, 6:12])
    return (own - other) * batch.turns()


# ------------------------------------------------------------------ opponents and evaluation


def random_mover(batch: Any, rng: np.random.Generator) -> np.ndarray:
    return batch.random_actions()


def greedy_mover(batch: Any, rng: np.random.Generator) -> np.ndarray:
    """Takes the most valuable piece it can (an en-passant capture takes a pawn); otherwise, or
    among equal captures, a move at random."""
    planes = batch.planes()
    victims = np.tensordot(PIECE_VALUES, planes[:, 6:12], axes=(0, 1))  # (n, H, W): the other side's pieces
    actions = batch.random_actions()
    for i in np.flatnonzero(actions >= 0):
        game = batch.game(int(i))
        best, choices = 0.0, []
        for move in game.legal_moves():
            (sc, sr), (dc, dr) = move.src_square(), move.dst_square()
            value = victims[i, dr, dc]
            if value == 0 and sc != dc and planes[i, 0, sr, sc] > 0:  # a pawn moving diagonally: en passant
                value = 1.0
            if value > best:
                best, choices = value, [move]
            elif value == best and value > 0:
                choices.append(move)
        if choices:
            actions[i] = murkle_rl.encode_action(game, choices[int(rng.integers(len(choices)))])
    return actions


OPPONENTS = {"random": random_mover, "greedy": greedy_mover}


def agent_moves(net: Net, cfg: Config, batch: Any, simulations: int, seed: int) -> tuple[np.ndarray, Any]:
    """The agent's move in every game of the batch: the best after a search of ``simulations``
    (PUCT, or Gumbel with ``cfg.eval_gumbel``), or with 0 the legal move the network likes best."""
    n = batch.n
    if simulations == 0:
        logits, _ = Evaluator(net, cfg)(batch.planes())
        logits[~batch.legal_mask().reshape(n, -1)] = -np.inf
        actions = logits.argmax(1)
        return np.where(batch.random_actions() >= 0, actions, -1), None
    search = murkle_rl.Search(batch, simulations, c_puct=cfg.c_puct, gumbel=cfg.eval_gumbel,
                              max_considered=cfg.max_considered, seed=seed)
    planes = np.zeros((n, murkle_chess.TOTAL_INPUT_PLANES, batch.height, batch.width), np.float32)
    search_moves(search, Evaluator(net, cfg), planes)
    return search.choose(0.0), search


def play_match(net: Net, cfg: Config, opponent: str, games: int, simulations: int, seed: int,
               progress: tqdm | None = None) -> dict[str, int]:
    """``games`` games against an opponent, the agent White in the first half and Black in the
    second. Returns wins, draws and losses of the agent."""
    rng = np.random.default_rng(seed)
    result = {"wins": 0, "draws": 0, "losses": 0}
    for agent_white, count in ((True, (games + 1) // 2), (False, games // 2)):
        if count == 0:
            continue
        batch = murkle_rl.GameBatch(count, cfg.width, cfg.height, seed=int(rng.integers(2**63)),
                                    max_plies=cfg.eval_max_plies, threads=cfg.threads or None)
        while True:
            agent_turn = (batch.turns()[0] == murkle_chess.WHITE) == agent_white  # the games move in step
            if agent_turn:
                actions, _ = agent_moves(net, cfg, batch, simulations, int(rng.integers(2**63)))
            else:
                actions = OPPONENTS[opponent](batch, rng)
            rewards, done, _ = batch.step(actions)
            for r in rewards[done]:
                mine = r if agent_white else -r
                result["wins" if mine > 0 else "losses" if mine < 0 else "draws"] += 1
            if progress is not None:
                progress.update(int(done.sum()))
            if done.all():
                break
            if done.any():  # keep the games still running; the others would restart
                batch = rebatch(batch, np.flatnonzero(~done), cfg)
    return result


def rebatch(batch: Any, keep: np.ndarray, cfg: Config) -> Any:
    new = murkle_rl.GameBatch(len(keep), cfg.width, cfg.height, seed=0,
                              max_plies=cfg.eval_max_plies, threads=cfg.threads or None)
    for j, i in enumerate(keep):
        new.set_game(j, batch.game(int(i)))
    return new


def evaluate_net(net: Net, cfg: Config, games: int, simulations: int, seed: int,
                 progress: bool = False) -> dict[str, Any]:
    """Scores against every opponent: {"random": score, "random_result": {wins...}, ...}."""
    entry: dict[str, Any] = {"simulations": simulations}
    for k, name in enumerate(OPPONENTS):
        bar = tqdm(total=games, desc=f"vs {name}", leave=False, disable=not progress)
        result = play_match(net, cfg, name, games, simulations, seed=seed * 2 + k, progress=bar)
        bar.close()
        entry[name] = score(result)
        entry[name + "_result"] = result
    return entry


def score(result: dict[str, int]) -> float:
    games = sum(result.values())
    return (result["wins"] + 0.5 * result["draws"]) / games if games else 0.0


# ------------------------------------------------------------------ training


class Trainer:
    """Everything a run is made of, saved whole in a checkpoint."""

    def __init__(self, cfg: Config) -> None:
        self.cfg = cfg
        torch.manual_seed(cfg.seed)
        self.net = make_net(cfg)
        self.opt = torch.optim.AdamW(self.net.parameters(), lr=cfg.lr, weight_decay=cfg.weight_decay)
        self.buffer = ReplayBuffer(cfg)
        self.rng = np.random.default_rng(cfg.seed)
        self.player = SelfPlayer(cfg, cfg.seed)
        self.iteration = 0
        self.train_steps = 0
        self.samples_seen = 0  # samples added to the buffer
        self.seconds = 0.0  # self-play and training
        self.train_s = 0.0
        self.last_eval = -math.inf
        self.last_checkpoint = 0.0
        self.history: list[dict[str, Any]] = []  # evaluations, for the curve
        self.losses: list[dict[str, float]] = []
        self.ray_players: list[dict[str, Any]] = []  # the games of the Ray actors, when self-play is there

    # -- one iteration
    def lr(self) -> float:
        """Warm up over the first 100 steps, then cosine decay to a tenth over the budget."""
        cfg = self.cfg
        progress = self.seconds / (cfg.minutes * 60) if cfg.minutes else 0.0
        if cfg.iterations:
            progress = max(progress, self.iteration / cfg.iterations)
        warm = min(1.0, (self.train_steps + 1) / 100)
        return cfg.lr * warm * (0.1 + 0.9 * 0.5 * (1 + math.cos(math.pi * min(progress, 1.0))))

    def train_step(self) -> dict[str, float]:
        cfg = self.cfg
        planes, mask, policy, value = self.buffer.sample(cfg.batch_size, self.rng)
        for g in self.opt.param_groups:
            g["lr"] = self.lr()
        self.net.train()
        logits, v = self.net(torch.from_numpy(planes))
        logits = logits.masked_fill(~torch.from_numpy(mask), -1e9)
        target = torch.from_numpy(policy)
        policy_loss = -(target * F.log_softmax(logits, 1)).sum(1).mean()
        value_loss = F.mse_loss(v, torch.from_numpy(value))
        loss = policy_loss + value_loss
        self.opt.zero_grad(set_to_none=True)
        loss.backward()
        self.opt.step()
        self.train_steps += 1
        return {"policy": policy_loss.item(), "value": value_loss.item()}

    def iterate(self, samples: dict[str, np.ndarray]) -> None:
        """Adds the samples of finished games and trains on the buffer."""
        cfg = self.cfg
        if len(samples["value"]):
            self.buffer.add(samples)
            self.samples_seen += len(samples["value"])
        new = cfg.games * cfg.plies_per_iter  # positions made per iteration, finished or not
        if self.buffer.size >= cfg.batch_size:
            started = time.perf_counter()
            steps = max(1, round(new * cfg.replay_ratio / cfg.batch_size))
            losses = [self.train_step() for _ in range(steps)]
            self.losses.append({k: float(np.mean([l[k] for l in losses])) for k in losses[0]}
                               | {"minutes": self.seconds / 60, "steps": self.train_steps})
            self.train_s += time.perf_counter() - started
        self.iteration += 1

    # -- evaluation
    def evaluate(self) -> dict[str, Any]:
        cfg = self.cfg
        return {"minutes": self.seconds / 60, "games": trainer_stats(self)["games"], "iteration": self.iteration,
                **evaluate_net(self.net, cfg, cfg.eval_games, cfg.eval_simulations,
                               seed=cfg.seed * 7919 + self.iteration)}

    # -- checkpoints
    COUNTS = ("iteration", "train_steps", "samples_seen", "seconds", "train_s", "last_eval", "last_checkpoint",
              "history", "losses", "ray_players")

    def state(self) -> dict[str, Any]:
        return {
            "config": asdict(self.cfg), "net": self.net.state_dict(), "opt": self.opt.state_dict(),
            "buffer": self.buffer.state(), "rng": self.rng.bit_generator.state,
            "torch_rng": torch.get_rng_state(), "player": self.player.state(),
            **{k: getattr(self, k) for k in self.COUNTS},
        }

    def save(self, out: Path) -> None:
        tmp = out / (CHECKPOINT + ".tmp")
        torch.save(self.state(), tmp)
        os.replace(tmp, out / CHECKPOINT)  # a crash while saving keeps the last checkpoint

    @classmethod
    def load(cls, path: Path, **overrides: Any) -> Trainer:
        state, cfg = read_checkpoint(path, **overrides)
        if "bits" not in state["buffer"]:
            raise SystemExit(f"{path / CHECKPOINT} was written by an older alphazero.py: its replay buffer "
                             "cannot be resumed (evaluate and play still take it)")
        self = cls(cfg)
        self.net.load_state_dict(state["net"])
        self.opt.load_state_dict(state["opt"])
        self.buffer.load(state["buffer"])
        self.rng.bit_generator.state = state["rng"]
        torch.set_rng_state(state["torch_rng"])
        self.player = SelfPlayer.from_state(cfg, state["player"])
        for k in self.COUNTS:
            setattr(self, k, state[k])
        return self


def read_checkpoint(path: Path, **overrides: Any) -> tuple[dict[str, Any], Config]:
    """A checkpoint's state and configuration; those written before --history and --value-mix
    fed the network all 105 planes, which is history 8, and taught results only."""
    state = torch.load(Path(path) / CHECKPOINT, weights_only=False)
    return state, Config(**({"history": 8, "value_mix": 0.0} | state["config"] | overrides))


def net_of(state: dict[str, Any], cfg: Config) -> Net:
    """The network of a checkpoint's state, for play and evaluation."""
    net = make_net(cfg)
    net.load_state_dict(state["net"])
    net.eval()
    return net


def load_net(path: Path) -> tuple[Net, Config]:
    """The network of a checkpoint and its configuration."""
    state, cfg = read_checkpoint(path)
    return net_of(state, cfg), cfg


def curve_title(cfg: Config) -> str:
    return (f"AlphaZero on {cfg.width}x{cfg.height}: {cfg.channels}x{cfg.blocks} net, {cfg.simulations} simulations "
            f"in self-play\nscores over {cfg.eval_games} games per opponent, {cfg.eval_simulations} simulations per move")


def plot_curve(history: list[dict[str, Any]], path: Path, title: str, final: dict[str, Any] | None = None) -> None:
    """Scores over training minutes and self-play games; ``final``, an evaluation of the last
    checkpoint, as stars at the end."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if not history:
        return
    fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    for ax, key, label in ((axes[0], "minutes", "training minutes (self-play + learning)"),
                           (axes[1], "games", "self-play games")):
        x = [h[key] for h in history]
        for name, style, colour in (("random", "o-", "C0"), ("greedy", "s-", "C1")):
            ax.plot(x, [100 * h[name] for h in history], style, color=colour, label=f"vs {name} mover")
            if final is not None:
                ax.plot([x[-1]], [100 * final[name]], "*", color=colour, markersize=14,
                        label=f"vs {name}: {final['games']} games, {final['simulations']} simulations")
        ax.set_xlabel(label)
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("score % (wins + ½ draws)")
    axes[0].set_ylim(0, 102)
    axes[0].legend(loc="lower right")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def train(cfg: Config, args: argparse.Namespace) -> Trainer:
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    if args.resume and (out / CHECKPOINT).exists():
        trainer = Trainer.load(out, minutes=cfg.minutes, iterations=cfg.iterations)
        print(f"resumed from {out / CHECKPOINT}: iteration {trainer.iteration}, "
              f"{trainer.seconds / 60:.1f} minutes, {trainer.player.stats['games']} games", file=sys.stderr)
    else:
        trainer = Trainer(cfg)
    cfg = trainer.cfg
    if args.ray:
        from_ray = RaySelfPlay(cfg, args, trainer)
    budget = cfg.minutes * 60
    title = curve_title(cfg)
    bar = tqdm(total=round(budget), unit="s", desc="training", disable=args.quiet,
               bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} s {postfix}")
    bar.update(min(round(trainer.seconds), round(budget)))

    interrupted = CtrlC()

    def done() -> bool:
        return (interrupted.asked or (cfg.minutes > 0 and trainer.seconds >= budget)
                or (0 < cfg.iterations <= trainer.iteration))

    def log_eval() -> None:
        entry = trainer.evaluate()
        trainer.history.append(entry)
        trainer.last_eval = trainer.seconds
        with open(out / "metrics.jsonl", "a") as f:
            f.write(json.dumps({"kind": "eval", **entry, **trainer_stats(trainer)}) + "\n")
        plot_curve(trainer.history, out / "curve.png", title)

    with interrupted:
        while not done():
            if cfg.eval_every > 0 and trainer.seconds - trainer.last_eval >= cfg.eval_every * 60:
                log_eval()
            started = time.perf_counter()
            if args.ray:
                samples = from_ray.collect()
            else:
                samples = trainer.player.play(trainer.net, cfg.plies_per_iter)
            trainer.iterate(samples)
            if args.ray:
                from_ray.publish()
            elapsed = time.perf_counter() - started
            trainer.seconds += elapsed
            bar.update(min(round(trainer.seconds), round(budget)) - bar.n)
            stats = trainer_stats(trainer)
            last = trainer.losses[-1] if trainer.losses else {"policy": float("nan"), "value": float("nan")}
            bar.set_postfix_str(f"games {stats['games']}, loss {last['policy']:.2f}+{last['value']:.2f}, "
                                + (f"random {trainer.history[-1]['random']:.0%}, greedy {trainer.history[-1]['greedy']:.0%}"
                                   if trainer.history else ""))
            if trainer.seconds - trainer.last_checkpoint >= cfg.checkpoint_every * 60:
                trainer.last_checkpoint = trainer.seconds
                if args.ray:
                    from_ray.keep_states()
                trainer.save(out)
    bar.close()
    if args.ray:
        from_ray.keep_states()
        from_ray.close()
    if cfg.eval_every > 0 and not interrupted.asked:
        log_eval()
    trainer.save(out)
    stats = trainer_stats(trainer)
    with open(out / "metrics.jsonl", "a") as f:
        f.write(json.dumps({"kind": "end", **stats}) + "\n")
    print(summary(trainer, stats))
    return trainer


class CtrlC:
    """Within ``with``, a first Ctrl-C asks the run to stop after its current iteration (it then
    saves a checkpoint that ``--resume`` continues); a second one stops it at once."""

    def __init__(self) -> None:
        self.asked = False
        self.previous: Any = None

    def __enter__(self) -> CtrlC:
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, self.handle)
        return self

    def __exit__(self, *exc: Any) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)

    def handle(self, signum: int, frame: Any) -> None:
        if self.asked:
            raise KeyboardInterrupt
        self.asked = True
        print("\nCtrl-C: stopping after this iteration and saving a checkpoint (Ctrl-C again: stop now)",
              file=sys.stderr, flush=True)


def trainer_stats(trainer: Trainer) -> dict[str, Any]:
    s = dict(trainer.player.stats)
    minutes = trainer.seconds / 60
    s.update(minutes=minutes, iteration=trainer.iteration, train_steps=trainer.train_steps,
             train_s=trainer.train_s, buffer=trainer.buffer.size,
             games_per_minute=s["games"] / minutes if minutes else 0.0)
    return s


def summary(trainer: Trainer, s: dict[str, Any]) -> str:
    lines = [f"{s['minutes']:.1f} minutes, {s['iteration']} iterations: {s['games']} self-play games "
             f"({s['games_per_minute']:.0f} per minute), {s['moves']} moves, {s['train_steps']} training steps"]
    if s["games"]:
        lines.append(f"results: {s['white_wins']} White wins, {s['black_wins']} Black wins, {s['draws']} draws "
                     f"({s['capped']} at the ply cap), {s['plies'] / s['games']:.0f} plies per game")
    total = trainer.seconds or 1.0
    lines.append(f"time: search {s['search_s']:.0f} s ({s['search_s'] / total:.0%}), network in self-play "
                 f"{s['network_s']:.0f} s ({s['network_s'] / total:.0%}, {s['positions']} positions), "
                 f"training {s['train_s']:.0f} s ({s['train_s'] / total:.0%})")
    if trainer.history:
        h = trainer.history[-1]
        lines.append(f"last evaluation ({h['simulations']} simulations): vs random {h['random']:.0%} "
                     f"{h['random_result']}, vs greedy {h['greedy']:.0%} {h['greedy_result']}")
    return "\n".join(lines)


# ------------------------------------------------------------------ Ray


class RaySelfPlay:
    """Self-play on Ray actors: each owns a SelfPlayer and a copy of the network; the driver
    collects their finished games and sends new weights after each training round."""

    def __init__(self, cfg: Config, args: argparse.Namespace, trainer: Trainer) -> None:
        try:
            import ray
        except ModuleNotFoundError:
            sys.exit("--ray needs Ray: pip install 'murkle_chess[ray]'")
        from ray_start import init_ray  # beside this script, which Python puts on the path

        self.ray = ray
        init_ray(args.address, num_cpus=max(args.workers, 1))
        self.trainer = trainer
        actor = ray.remote(num_cpus=1)(RayActor)
        saved = trainer.ray_players  # a resumed run goes on with the games its actors had in flight
        self.actors = [actor.remote(cfg, cfg.seed * 1000 + 1 + w, saved[w] if w < len(saved) else None)
                       for w in range(args.workers)]
        self.weights = ray.put(self.trainer.net.state_dict())
        self.pending = {a.play.remote(self.weights, cfg.plies_per_iter): a for a in self.actors}

    def collect(self) -> dict[str, np.ndarray]:
        """The samples of the first actor to finish its moves; it starts on the next ones."""
        [ref], _ = self.ray.wait(list(self.pending), num_returns=1)
        actor = self.pending.pop(ref)
        samples, stats = self.ray.get(ref)
        for k, v in stats.items():  # the driver's own player stays idle: it keeps the counts
            self.trainer.player.stats[k] += v
        self.pending[actor.play.remote(self.weights, self.trainer.cfg.plies_per_iter)] = actor
        return samples

    def publish(self) -> None:
        self.weights = self.ray.put(self.trainer.net.state_dict())

    def keep_states(self) -> None:
        """Puts the actors' games in the trainer, for its checkpoint. Each actor answers once
        its current moves are made; their samples reach the buffer after this checkpoint, so a
        run resumed from it misses them but replays no move."""
        self.trainer.ray_players = self.ray.get([a.state.remote() for a in self.actors])

    def close(self) -> None:
        for a in self.actors:
            self.ray.kill(a)
        self.ray.shutdown()


class RayActor:
    def __init__(self, cfg: Config, seed: int, state: dict[str, Any] | None = None) -> None:
        use_threads(cfg.torch_threads or 1)  # an actor has one core
        self.cfg = cfg
        self.net = make_net(cfg)
        self.player = SelfPlayer(cfg, seed) if state is None else SelfPlayer.from_state(cfg, state)

    def state(self) -> dict[str, Any]:
        return self.player.state()

    def play(self, weights: dict[str, torch.Tensor], plies: int) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
        self.net.load_state_dict(weights)
        before = dict(self.player.stats)
        samples = self.player.play(self.net, plies)
        return samples, {k: v - before[k] for k, v in self.player.stats.items()}


# ------------------------------------------------------------------ play protocol


def play(args: argparse.Namespace, stdin: Any = sys.stdin, stdout: Any = sys.stdout) -> None:
    """Answers ``WIDTH HEIGHT FEN`` lines with the agent's move in long algebraic notation."""
    net, cfg = load_net(args.checkpoint)
    for line in stdin:
        line = line.strip()
        if not line:
            continue
        try:
            answer = best_move(net, cfg, line, args.simulations, args.seed)
        except Exception as e:  # one bad line must not end the session
            answer = f"error: {e}"
        print(answer, file=stdout, flush=True)


def best_move(net: Net, cfg: Config, line: str, simulations: int, seed: int) -> str:
    parts = line.split(maxsplit=2)
    if len(parts) < 3:
        raise ValueError("expected WIDTH HEIGHT FEN")
    try:
        width, height = int(parts[0]), int(parts[1])
    except ValueError:
        raise ValueError(f"width and height must be numbers, got {parts[0]!r} {parts[1]!r}") from None
    batch = murkle_rl.GameBatch(1, width, height, fen=parts[2], threads=1)
    if batch.action_planes != cfg.action_planes:  # the network's policy head fixes P
        raise ValueError(f"this agent plays boards with {cfg.action_planes} move planes "
                         f"(trained on {cfg.width}x{cfg.height}), not {width}x{height}")
    game = batch.game(0)
    if game.is_over():
        raise ValueError("the game is over")
    sub = Config(**(asdict(cfg) | {"width": width, "height": height, "threads": 1}))
    actions, _ = agent_moves(net, sub, batch, simulations, seed)
    return murkle_rl.decode_action(game, int(actions[0])).to_lan()


# ------------------------------------------------------------------ command line


def positive(kind: type) -> Any:
    def parse(text: str) -> Any:
        value = kind(text)
        if value < 0:
            raise argparse.ArgumentTypeError(f"must be >= 0, got {text}")
        return value
    return parse


def config_parser() -> argparse.ArgumentParser:
    """The training options, one per Config field, with its default."""
    parser = argparse.ArgumentParser(add_help=False)
    helps = {
        "width": "board width", "height": "board height", "channels": "network width", "blocks": "residual blocks",
        "history": "positions the network sees (1: only the current one; at most 8)",
        "value_mix": "weight of the searched root value in the value target (0: the game's result only)",
        "games": "self-play games played at once", "simulations": "search simulations per self-play move",
        "gumbel": "Gumbel root search in self-play (--no-gumbel: PUCT with Dirichlet noise)",
        "max_considered": "Gumbel: root moves considered", "dirichlet_alpha": "PUCT self-play: root noise",
        "c_puct": "PUCT exploration weight", "temperature_plies": "plies that sample moves from the visits",
        "max_plies": "a self-play game ends at this many plies",
        "adjudicate": "a game ended by --max-plies teaches tanh(material difference / this), 0: a draw", "plies_per_iter": "self-play moves per iteration",
        "batch_size": "training minibatch", "replay_ratio": "times each new sample is trained on, on average",
        "buffer": "replay buffer samples", "policy_top": "policy entries kept per sample", "lr": "peak learning rate",
        "weight_decay": "AdamW weight decay", "eval_every": "minutes between evaluations (0: none)",
        "eval_games": "games per opponent in each evaluation",
        "eval_simulations": "search simulations per move in evaluations (0: the network's favourite move)",
        "eval_max_plies": "an evaluation game ends drawn at this many plies",
        "eval_gumbel": "evaluations search with a Gumbel root (--no-eval-gumbel: PUCT)",
        "minutes": "budget of self-play and training", "iterations": "stop after this many iterations (0: no limit)",
        "checkpoint_every": "minutes between checkpoints", "seed": "random seed",
        "threads": "search threads (0: every core)", "torch_threads": "PyTorch threads (0: every core)",
    }
    for name, default in asdict(Config()).items():
        flag = "--" + name.replace("_", "-")
        if isinstance(default, bool):
            parser.add_argument(flag, action=argparse.BooleanOptionalAction, default=default, help=helps[name])
        else:
            parser.add_argument(flag, type=positive(type(default)), default=default,
                                help=f"{helps[name]} (default {default})")
    return parser


def main(argv: list[str] | None = None) -> Any:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="commands: train (the default), evaluate, play; "
                                            "'alphazero.py COMMAND --help' lists each one's options")
    commands = parser.add_subparsers(dest="command")
    t = commands.add_parser("train", parents=[config_parser()], help="train an agent (the default command)")
    t.add_argument("--out", default="runs/alphazero", help="directory of checkpoint, metrics and curve")
    t.add_argument("--resume", action="store_true", help="continue from the checkpoint in --out")
    t.add_argument("--ray", action="store_true", help="self-play on Ray actors")
    t.add_argument("--workers", type=int, default=2, help="Ray actors (default 2)")
    t.add_argument("--address", default=None, help="Ray cluster to join (default: start a local one)")
    t.add_argument("--quiet", action="store_true", help="no progress bar")
    e = commands.add_parser("evaluate", help="score a checkpoint against the random and greedy movers")
    e.add_argument("--checkpoint", required=True, help="the --out directory of a run")
    e.add_argument("--games", type=int, default=100, help="games per opponent, colours alternating (default 100)")
    e.add_argument("--simulations", type=int, default=200, help="search simulations per move (default 200)")
    e.add_argument("--max-plies", type=int, default=300, help="plies after which a game is drawn (default 300)")
    e.add_argument("--seed", type=int, default=12345)
    p = commands.add_parser("play", help="answer 'WIDTH HEIGHT FEN' lines on standard input with a move")
    p.add_argument("--checkpoint", required=True, help="the --out directory of a run")
    p.add_argument("--simulations", type=int, default=200, help="search simulations per move (default 200)")
    p.add_argument("--seed", type=int, default=0)
    if not argv or argv[0] not in ("train", "evaluate", "play", "-h", "--help"):
        argv.insert(0, "train")
    args = parser.parse_args(argv)

    if args.command == "play":
        torch.set_num_threads(1)
        return play(args)
    if args.command == "evaluate":
        return evaluate_checkpoint(args)
    cfg = Config(**{name: getattr(args, name) for name in asdict(Config())})
    try:
        murkle_rl.start_fen(cfg.width, cfg.height)
    except ValueError as err:
        parser.error(f"board {cfg.width}x{cfg.height}: {err}")
    if cfg.minutes == 0 and cfg.iterations == 0:
        parser.error("give a budget: --minutes or --iterations")
    if not 1 <= cfg.history <= 8:
        parser.error(f"--history must be 1 to 8, got {cfg.history}")
    if cfg.value_mix > 1:
        parser.error(f"--value-mix must be between 0 and 1, got {cfg.value_mix}")
    use_threads(cfg.torch_threads)
    return train(cfg, args)


def evaluate_checkpoint(args: argparse.Namespace) -> dict[str, Any]:
    use_threads(0)
    state, cfg = read_checkpoint(args.checkpoint)
    net = net_of(state, cfg)
    if args.max_plies:
        cfg.eval_max_plies = args.max_plies
    started = time.perf_counter()
    entry = evaluate_net(net, cfg, args.games, args.simulations, seed=args.seed, progress=True)
    minutes = (time.perf_counter() - started) / 60
    for name in OPPONENTS:
        r = entry[name + "_result"]
        print(f"vs {name}: {entry[name]:.1%} ({r['wins']} wins, {r['draws']} draws, {r['losses']} losses)")
    print(f"{args.games} games per opponent, {args.simulations} simulations per move, {minutes:.1f} minutes")
    if state["history"]:  # the run's curve, with these scores at its end
        plot_curve(state["history"], Path(args.checkpoint) / "curve.png", curve_title(cfg), final=entry | {"games": args.games})
    return entry


if __name__ == "__main__":
    main()
