"""Training samples kept compactly, and the replay buffer that holds them. NumPy only."""

from __future__ import annotations

from typing import Any

import numpy as np

from .config import CASTLING_PLANES, SCALAR_PLANES, Config, mirrored_planes


class Samples:
    """Training samples kept compactly: the piece (and attack) planes the network sees as bits
    (the packed format of ``GameBatch.packed_planes``), planes 96-104 as one value each, the legal mask as
    bits, the policy as its largest entries, whether that policy teaches (1: a full search's;
    0: a fast search's, which teaches only the value), and the material target."""

    FIELDS = ("bits", "scalars", "mask", "policy_index", "policy_p", "value", "full", "material")

    def __init__(self, cfg: Config, capacity: int) -> None:
        hw = cfg.height * cfg.width
        self.cfg = cfg
        self.bits = np.zeros((capacity, cfg.bit_planes, (hw + 7) // 8), np.uint8)
        self.scalars = np.zeros((capacity, len(SCALAR_PLANES)), np.float32)
        self.mask = np.zeros((capacity, (cfg.action_planes * hw + 7) // 8), np.uint8)
        self.policy_index = np.zeros((capacity, cfg.policy_top), np.int32)
        self.policy_p = np.zeros((capacity, cfg.policy_top), np.float16)
        self.value = np.zeros(capacity, np.float32)
        self.full = np.ones(capacity, np.float32)
        self.material = np.zeros(capacity, np.float32)

    def rows(self) -> dict[str, np.ndarray]:
        return {f: getattr(self, f) for f in self.FIELDS}

    @staticmethod
    def encode(cfg: Config, bits: np.ndarray, scalars: np.ndarray, mask: np.ndarray,
               policy: np.ndarray) -> dict[str, np.ndarray]:
        """The compact form of positions from ``packed_planes`` (bits (k, 105, B), scalars
        (k, 105), or those of a batch holding ``cfg.input_planes``, which attack planes need: its
        bit planes first, planes 96-104 last), masks (k, P, H, W) and policies (k, A)."""
        k = len(bits)
        top = min(cfg.policy_top, policy.shape[1])
        index = np.argpartition(-policy, top - 1, axis=1)[:, :top].astype(np.int32)
        p = np.take_along_axis(policy, index, 1)
        p /= np.maximum(p.sum(1, keepdims=True), 1e-12)
        return {
            "bits": np.ascontiguousarray(bits[:, : cfg.bit_planes]),  # a copy unless given just these planes
            "scalars": scalars[:, -len(SCALAR_PLANES):].copy(),  # planes 96-104 come last either way
            "mask": np.packbits(mask.reshape(k, policy.shape[1]), axis=1),
            "policy_index": index,
            "policy_p": p.astype(np.float16),
        }

    @staticmethod
    def decode(cfg: Config, rows: dict[str, np.ndarray]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The network's inputs (k, len(cfg.input_planes), H, W), masks (k, A) and dense
        policies (k, A) of compact rows."""
        h, w, p_planes = cfg.height, cfg.width, cfg.action_planes
        k, bit = len(rows["bits"]), cfg.bit_planes
        inputs = np.empty((k, bit + len(SCALAR_PLANES), h, w), np.float32)
        inputs[:, :bit] = np.unpackbits(rows["bits"], axis=2, count=h * w, bitorder="little").reshape(k, bit, h, w)
        inputs[:, bit:] = rows["scalars"][:, :, None, None]
        mask = np.unpackbits(rows["mask"], axis=1, count=p_planes * h * w).astype(bool)
        policy = np.zeros((k, p_planes * h * w), np.float32)
        np.put_along_axis(policy, rows["policy_index"].astype(np.int64), rows["policy_p"].astype(np.float32), 1)
        return inputs, mask, policy

    @staticmethod
    def turn_files(cfg: Config, planes: np.ndarray, mask: np.ndarray, policy: np.ndarray, rows: np.ndarray) -> None:
        """Turns decoded samples ``rows`` left to right in place: their squares with the files
        reversed, their legal moves and policy moved to the mirrored moves. The rules are the same in
        that mirror, castling apart: give only rows without castling rights."""
        k, p_planes, h, w = len(planes), cfg.action_planes, cfg.height, cfg.width
        turned = list(mirrored_planes(p_planes, files=True))
        planes[rows] = planes[rows][..., ::-1]
        for moves in (mask.reshape(k, p_planes, h, w), policy.reshape(k, p_planes, h, w)):
            moves[rows] = moves[rows][:, turned, :, ::-1]


class ReplayBuffer(Samples):
    """The newest ``capacity`` samples of finished games, in a ring."""

    def __init__(self, cfg: Config) -> None:
        super().__init__(cfg, cfg.buffer)
        self.capacity = cfg.buffer
        self.size = 0
        self.next = 0

    def add(self, rows: dict[str, np.ndarray]) -> None:
        """Adds samples, overwriting the oldest once full."""
        k = len(rows["value"])
        if k > self.capacity:  # keep the newest
            rows = {f: v[-self.capacity:] for f, v in rows.items()}
            k = self.capacity
        at = (self.next + np.arange(k)) % self.capacity
        for f in self.FIELDS:
            getattr(self, f)[at] = rows[f]
        self.next = (self.next + k) % self.capacity
        self.size = min(self.capacity, self.size + k)

    def sample(self, n: int, rng: np.random.Generator) -> tuple[np.ndarray, ...]:
        """A minibatch of n samples drawn with replacement: inputs, masks, policies, values, the
        weights of the policies (1 full, 0 fast) and the material targets. With ``cfg.mirror`` a
        random half of those without castling rights are turned left to right."""
        idx = rng.integers(0, self.size, n)
        planes, mask, policy = self.decode(self.cfg, {f: getattr(self, f)[idx] for f in self.FIELDS})
        if self.cfg.mirror:
            castling = self.scalars[idx[:, None], np.subtract(CASTLING_PLANES, SCALAR_PLANES.start)].any(1)
            self.turn_files(self.cfg, planes, mask, policy, np.flatnonzero((rng.random(n) < 0.5) & ~castling))
        return planes, mask, policy, self.value[idx], self.full[idx], self.material[idx]

    def state(self) -> dict[str, Any]:
        return {"size": self.size, "next": self.next,
                **{f: getattr(self, f)[: self.size].copy() for f in self.FIELDS}}

    def load(self, state: dict[str, Any]) -> None:
        self.size, self.next = state["size"], state["next"]
        for f in self.FIELDS:
            if f in state:  # a buffer saved before fast searches (or material) existed: full ones (or 0)
                getattr(self, f)[: self.size] = state[f]


class MixedBuffer:
    """A replay buffer per board size of a run, each of ``cfg.buffer`` samples. ``add`` takes
    samples by size; ``sample`` draws a minibatch of one size, the size chosen in proportion to
    the samples each holds (one network learns every size, a minibatch stays one shape)."""

    def __init__(self, cfg: Config) -> None:
        self.cfg = cfg
        self.buffers = {(w, h): ReplayBuffer(cfg.at_size(w, h)) for w, h in cfg.board_sizes}

    @property
    def size(self) -> int:
        return sum(b.size for b in self.buffers.values())

    def add(self, samples: dict[Any, Any]) -> int:
        """Adds samples by size, or the rows of the run's first size; returns how many."""
        if "value" in samples:
            samples = {(self.cfg.width, self.cfg.height): samples}
        added = 0
        for size, rows in samples.items():
            if len(rows["value"]):
                self.buffers[size].add(rows)
                added += len(rows["value"])
        return added

    def sample(self, n: int, rng: np.random.Generator) -> tuple[np.ndarray, ...]:
        """A minibatch of n samples of one board size (see :meth:`ReplayBuffer.sample`)."""
        buffers = [b for b in self.buffers.values() if b.size]
        if len(buffers) == 1:  # one size: the draws of a buffer alone
            return buffers[0].sample(n, rng)
        counts = np.array([b.size for b in buffers], float)
        return buffers[int(rng.choice(len(buffers), p=counts / counts.sum()))].sample(n, rng)

    def state(self) -> dict[str, Any]:
        return {"sizes": list(self.buffers), "buffers": [b.state() for b in self.buffers.values()]}

    def load(self, state: dict[str, Any]) -> None:
        """A state of :meth:`state`, or of one ReplayBuffer (earlier versions: the run's first size)."""
        if "buffers" not in state:
            state = {"sizes": [(self.cfg.width, self.cfg.height)], "buffers": [state]}
        for size, saved in zip(state["sizes"], state["buffers"]):
            if tuple(size) in self.buffers:
                self.buffers[tuple(size)].load(saved)
