"""Self-play: a GameBatch of games the network plays against itself, with the search."""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Any

import numpy as np

import murkle_chess
import murkle_rl

from .agent import piece_planes
from .config import MATERIAL_SCALE, PIECE_VALUES, Config
from .network import Evaluator, Net
from .play import run
from .records import GameRecord, record_of
from .replay import Samples


class SelfPlayer:
    """A GameBatch of games that the network plays against itself. ``play`` makes some moves
    and returns the samples of the games that ended (their values known); the positions of
    the games still running wait here. The first ``cfg.keep_games`` games to end in each call
    are kept as records in ``kept``, for the caller to write."""

    def __init__(self, cfg: Config, seed: int) -> None:
        self.cfg = cfg
        self.batch = murkle_rl.GameBatch(cfg.games, cfg.width, cfg.height, seed=seed, max_plies=cfg.max_plies,
                                         threads=cfg.threads or None, planes=input_planes(cfg))
        self.make_arrays(cfg)
        n = cfg.games
        self.waiting: list[list[dict[str, np.ndarray]]] = [[] for _ in range(n)]  # per game: rows so far
        self.white: list[list[bool]] = [[] for _ in range(n)]  # White to move at each row
        self.actions: list[list[int]] = [[] for _ in range(n)]  # per game: the moves so far
        self.rounds = 0  # searches made so far, numbering the searches' seeds
        self.seed = seed
        self.stats = {"games": 0, "moves": 0, "white_wins": 0, "black_wins": 0, "draws": 0, "capped": 0,
                      "plies": 0, "search_s": 0.0, "network_s": 0.0, "positions": 0, **RESIGN_COUNTS}
        self.start_resigning(cfg)

    WORK = ("mask", "policy", "bits", "scalars", "kept")  # rewritten at every move, or per call

    def make_arrays(self, cfg: Config) -> None:
        self.cfg = cfg
        n, hw = cfg.games, (cfg.height, cfg.width)
        self.mask = np.zeros((n, cfg.action_planes, *hw), bool)
        self.policy = np.zeros((n, cfg.action_planes * hw[0] * hw[1]), np.float32)
        self.bits, self.scalars = self.batch.packed_planes()
        self.kept: list[GameRecord] = []

    def new_search(self, simulations: int, stream: int = 0) -> Any:
        cfg = self.cfg
        return murkle_rl.Search(
            self.batch, simulations, c_puct=cfg.c_puct, gumbel=cfg.gumbel, max_considered=cfg.max_considered,
            dirichlet_alpha=None if cfg.gumbel else cfg.dirichlet_alpha,
            forced_playouts=cfg.forced_playouts, material_mix=cfg.material_mix,
            seed=self.seed * 1_000_003 + self.rounds + (stream << 32))

    def play(self, net: Net, plies: int, adjudicate: float | None = None) -> dict[str, np.ndarray]:
        """Every game plays ``plies`` moves; returns the samples of the games that ended. A game
        ended by the ply cap teaches ``cfg.capped_value`` x tanh(material / ``adjudicate``), or a
        draw if it is 0 (default: ``cfg.adjudicate``).

        With ``cfg.fast_simulations``, playout cap randomisation (Wu 2019, "Accelerating
        self-play learning in Go"): each move of the batch is searched in full with probability
        ``cfg.full_fraction``, else with the fast budget, and only full searches teach the
        policy; every position teaches the value."""
        cfg = self.cfg
        adjudicate = cfg.adjudicate if adjudicate is None else adjudicate
        evaluate = Evaluator(net, cfg, cfg.onnx, cfg.bf16)
        full_search = self.new_search(cfg.simulations)  # searches per call, seeded by its number: resumable
        fast_search: Any = self.new_search(cfg.fast_simulations, 1) if cfg.fast_simulations else None
        coin = np.random.default_rng([self.seed, self.rounds])
        self.rounds += 1
        self.kept = []
        finished: list[dict[str, np.ndarray]] = []
        for _ in range(plies):
            full = fast_search is None or coin.random() < cfg.full_fraction
            search = full_search if full else fast_search
            self.stats["search_s"] += run(search, evaluate).tree_seconds
            search.policy(out=self.policy)
            explore = search.choose(1.0)
            best = search.choose(0.0)
            played = self.batch.plies()
            actions = np.where(played < cfg.temperature_plies, explore, best)
            moving = np.flatnonzero(actions >= 0)
            self.batch.packed_planes(self.bits, self.scalars)
            self.batch.legal_mask(out=self.mask)
            rows = Samples.encode(cfg, self.bits[moving, : cfg.bit_planes], self.scalars[moving], self.mask[moving],
                                  self.policy[moving])
            rows["q"] = search.root_values()[moving]
            rows["full"] = np.full(len(moving), float(full), np.float32)
            white = self.batch.turns() == murkle_chess.WHITE
            for j, i in enumerate(moving):
                self.waiting[i].append({f: v[j] for f, v in rows.items()})
                self.white[i].append(bool(white[i]))
                self.actions[i].append(int(actions[i]))
            self.stats["moves"] += len(moving)
            resigning = self.resigning(moving, rows["q"], white[moving])
            started = time.perf_counter()
            rewards, done, capped = search.step(actions)
            self.stats["search_s"] += time.perf_counter() - started
            resigning = resigning[~done[resigning]]  # a move that ended the game stands
            if len(resigning):
                rewards[resigning] = np.where(white[resigning], -1.0, 1.0)
                done[resigning] = True
                self.stats["resigned"] += len(resigning)
            if done.any():
                targets, final = rewards.copy(), np.zeros(len(rewards))
                if cfg.reads_material or (adjudicate > 0 and capped.any()):
                    final = material(self.batch)  # an ended game keeps its last position until it restarts
                if adjudicate > 0 and capped.any():
                    targets[capped] = cfg.capped_value * np.tanh(final[capped] / adjudicate)
                for i in np.flatnonzero(done):
                    finished.append(self.finish(int(i), float(rewards[i]), bool(capped[i]), float(targets[i]),
                                                float(final[i]), i in resigning))
            if len(resigning):  # the search sees their games restart, and starts their trees afresh
                self.batch.reset(resigning)
        self.stats["network_s"] += evaluate.seconds
        self.stats["positions"] += evaluate.positions
        if not finished:
            return Samples(cfg, 0).rows()
        return {f: np.concatenate([r[f] for r in finished]) for f in Samples.FIELDS}

    def finish(self, i: int, white_reward: float, capped: bool, target: float,
               final_material: float, resigned: bool = False) -> dict[str, np.ndarray]:
        """The samples of game i, which just ended with ``white_reward``; ``target`` is the value
        for White that its positions learn, ``final_material`` White's material balance at the end.
        A game ``resigned`` by its side to move keeps that position, but not the move it chose."""
        rows, white = self.waiting[i], np.array(self.white[i])
        actions = self.actions[i]
        self.waiting[i], self.white[i], self.actions[i] = [], [], []
        if len(self.kept) < self.cfg.keep_games and len(actions) == len(rows):
            if resigned:
                actions = actions[:-1]
            self.kept.append(record_of(self.start_game(), actions, white_reward, "self-play", "self-play"))
        s = self.stats
        s["games"] += 1
        s["plies"] += len(rows)
        s["white_wins"] += white_reward > 0
        s["black_wins"] += white_reward < 0
        s["draws"] += white_reward == 0
        s["capped"] += capped
        if self.would_resign[i]:  # a game that played on past a resignation: did that side lose?
            s["resign_checks"] += 1
            false = white_reward * self.would_resign[i] >= 0
            s["resign_false"] += int(false)
            s["resign_false_capped"] += int(false and capped)  # most often a won ending not mated in time
            self.would_resign[i] = 0
        self.plays_on[i] = self.resign_rng.random() < self.cfg.resign_check
        out = {f: np.stack([r[f] for r in rows]) for f in rows[0]}
        if "full" not in out:  # rows waiting in a checkpoint from before fast searches: full ones
            out["full"] = np.ones(len(rows), np.float32)
        mix = self.cfg.value_mix
        out["value"] = ((1 - mix) * np.where(white, target, -target) + mix * out.pop("q")).astype(np.float32) + 0.0
        out["material"] = np.zeros(len(rows), np.float32)
        if self.cfg.reads_material:  # White's balance at each position, then at the end
            counts = np.unpackbits(out["bits"][:, :12], axis=2, count=self.cfg.height * self.cfg.width,
                                   bitorder="little").sum(2)
            ahead = np.append(np.where(white, 1, -1) * balance(counts), final_material)
            if resigned:  # the game ends in the position the resigning side saw, before its move
                ahead[-1] = ahead[-2]
            later = ahead[np.minimum(np.arange(len(rows)) + self.cfg.material_plies, len(rows))]
            out["material"] += np.tanh(np.where(white, later, -later) / MATERIAL_SCALE)
            share = self.cfg.material_value
            out["value"] = ((1 - share) * out["value"] + share * out["material"]).astype(np.float32)
        return out

    def start_resigning(self, cfg: Config) -> None:
        """Draws which games never resign; none would have yet."""
        self.resign_rng = np.random.default_rng([self.seed, 1])
        self.plays_on = self.resign_rng.random(cfg.games) < cfg.resign_check  # games that never resign
        self.would_resign = np.zeros(cfg.games, np.int8)  # in those: the side that would have (1 White, -1 Black)

    def resigning(self, moving: np.ndarray, q: np.ndarray, white: np.ndarray) -> np.ndarray:
        """Of the ``moving`` games, those whose side to move resigns: its searched value ``q`` is
        below ``-cfg.resign``. A game that plays on notes the side that would have resigned first."""
        if not self.cfg.resign:
            return moving[:0]
        lost = q < -self.cfg.resign
        check = lost & self.plays_on[moving] & (self.would_resign[moving] == 0)
        self.would_resign[moving[check]] = np.where(white[check], 1, -1)
        return moving[lost & ~self.plays_on[moving]]

    def start_game(self) -> murkle_chess.Game:
        """The position every game of the batch starts from."""
        return murkle_rl.GameBatch(1, self.cfg.width, self.cfg.height, threads=1).game(0)

    def state(self) -> dict[str, Any]:
        """What a checkpoint keeps: the games (GameBatch pickles), their waiting samples, counts."""
        return {k: v for k, v in self.__dict__.items() if k not in ("cfg", *self.WORK)}

    @classmethod
    def from_state(cls, cfg: Config, state: dict[str, Any]) -> SelfPlayer:
        self = cls.__new__(cls)
        self.__dict__.update(state)
        if self.batch.plane_indices != tuple(input_planes(cfg)):  # games pickled with other planes
            self.batch = with_planes(self.batch, input_planes(cfg))
        if "actions" not in state:  # a checkpoint from before games were kept: those in flight go unrecorded
            self.actions = [[] for _ in range(cfg.games)]
        if "resign_rng" not in state:  # ... or before resignation
            self.start_resigning(cfg)
        self.plays_on, self.would_resign = self.plays_on.copy(), self.would_resign.copy()  # Ray's are read-only
        self.stats = RESIGN_COUNTS | self.stats
        self.make_arrays(cfg)
        return self


RESIGN_COUNTS = {"resigned": 0, "resign_checks": 0, "resign_false": 0, "resign_false_capped": 0}


def input_planes(cfg: Config) -> list[int]:
    """The planes the network reads, as the batches ask for them."""
    return [int(p) for p in cfg.input_planes]


def with_planes(batch: Any, planes: list[int]) -> Any:
    """The same games (positions, histories, random streams) in a batch whose observations hold
    ``planes``."""
    state = batch.__getstate__()
    new = murkle_rl.GameBatch.__new__(murkle_rl.GameBatch)
    new.__setstate__((*state[:10], planes))
    return new


def balance(counts: np.ndarray) -> np.ndarray:
    """The side to move's material minus the other side's, from piece counts (k, 12) in the
    order of planes 0-11 (pawn 1, knight and bishop 3, rook 5, queen 9)."""
    return counts[:, :6] @ PIECE_VALUES - counts[:, 6:12] @ PIECE_VALUES


def material(batch: Any) -> np.ndarray:
    """White's material minus Black's in every game."""
    return balance(piece_planes(batch).sum((2, 3))) * batch.turns()


Size = tuple[int, int]


class MixedPlayer:
    """Self-play on every board size of a run (``cfg.board_sizes``): a :class:`SelfPlayer` per
    size, each playing ``cfg.games`` games with the one network. ``play`` returns the samples of
    the games that ended, by size; ``stats`` adds up every size's counts; ``kept`` holds the
    records each size kept. A run of one size is a MixedPlayer of one SelfPlayer, whose games
    and random streams are those a SelfPlayer alone would have."""

    def __init__(self, cfg: Config, seed: int) -> None:
        self.cfg = cfg
        self.players = [SelfPlayer(cfg.at_size(w, h), seed + 7919 * k) for k, (w, h) in enumerate(cfg.board_sizes)]
        self.stats: dict[str, Any] = dict(self.players[0].stats)
        self.kept: list[GameRecord] = []
        self.owed = [0.0] * len(self.players)  # moves a size's share has earned but not yet played

    @property
    def rounds(self) -> int:
        """Calls of ``play`` so far."""
        return max(p.rounds for p in self.players)

    @property
    def sizes(self) -> list[Size]:
        return [(p.cfg.width, p.cfg.height) for p in self.players]

    def play(self, net: Net, plies: int, adjudicate: float | None = None,
             shares: Sequence[float] | None = None) -> dict[Size, dict[str, np.ndarray]]:
        """Every game of every size plays ``plies`` moves (see :meth:`SelfPlayer.play`), or
        with ``shares`` (``Config.size_shares``) each size that share of ``plies``, the
        fractions carried over to the next call."""
        out, self.kept = {}, []
        for k, player in enumerate(self.players):
            size = (player.cfg.width, player.cfg.height)
            if shares is None:
                moves = plies
            else:
                self.owed[k] += plies * shares[k]
                moves = int(self.owed[k])
                self.owed[k] -= moves
            if moves == 0:
                out[size] = Samples(player.cfg, 0).rows()
                continue
            before = dict(player.stats)
            out[size] = player.play(net, moves, adjudicate)
            for key, v in player.stats.items():
                self.stats[key] = self.stats.get(key, 0) + v - before.get(key, 0)
            self.kept += player.kept
        return out

    def state(self) -> dict[str, Any]:
        return {"sizes": self.sizes, "players": [p.state() for p in self.players], "stats": dict(self.stats),
                "rounds": self.rounds}

    @classmethod
    def from_state(cls, cfg: Config, state: dict[str, Any]) -> MixedPlayer:
        """The players a state holds; a size of the run that the state lacks starts new games,
        and a state of one SelfPlayer (earlier versions) is the run's first size."""
        self = cls.__new__(cls)
        self.cfg, self.kept = cfg, []
        self.owed = [0.0] * len(cfg.board_sizes)
        if "players" not in state:
            state = {"sizes": [(cfg.width, cfg.height)], "players": [state], "stats": dict(state["stats"])}
        saved = {tuple(size): s for size, s in zip(state["sizes"], state["players"])}
        self.players = [SelfPlayer.from_state(cfg.at_size(w, h), saved[(w, h)]) if (w, h) in saved
                        else SelfPlayer(cfg.at_size(w, h), cfg.seed + 7919 * k)
                        for k, (w, h) in enumerate(cfg.board_sizes)]
        self.stats = RESIGN_COUNTS | dict(state["stats"])
        return self
