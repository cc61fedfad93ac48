"""The trainer's configuration: one dataclass, one command-line option per field.

No PyTorch here: ``murkle-zero --help`` and the front ends read configurations without it.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field, fields, replace
from typing import Any

import numpy as np

import murkle_chess

SCALAR_PLANES = range(96, 105)  # repetitions, side to move, move number, castling, clock: one value each
ATTACK_PLANES = range(105, 117)  # squares the side to move's pawns ... king attack, then the other side's
CHECK_PLANES = range(117, 125)  # squares from which its pawns ... rooks would check the other king, then theirs
WHITE_TO_MOVE = 98  # the plane of 1s when White is to move
CASTLING_PLANES = range(100, 104)  # the four castling rights
PIECE_VALUES = np.array([1, 3, 3, 5, 9, 0], np.float32)  # pawn, knight, bishop, rook, queen, king
MATERIAL_SCALE = 4.0  # a material difference m is taught as tanh(m / this)
DIRECTIONS = [(0, 1), (1, 1), (1, 0), (1, -1), (0, -1), (-1, -1), (-1, 0), (-1, 1)]  # (column, row) steps
KNIGHT_JUMPS = [(1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1), (-2, 1), (-1, 2)]


def native_bf16() -> bool:
    """Whether this CPU computes bfloat16 natively (AMX or AVX-512 BF16), where self-play's small
    convolutions run faster in bfloat16 than in float32."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), [])
    except OSError:  # not Linux: no way to tell, so float32
        return False
    return "amx_bf16" in flags or "avx512_bf16" in flags


def mirrored_planes(action_planes: int, files: bool = False) -> tuple[int, ...]:
    """For each move plane, the plane of the same move seen in a mirror: the board turned top to
    bottom (rows reversed, the row step negated), or with ``files`` left to right (files
    reversed, the column step negated). Underpromotions keep their piece. An involution."""
    key = (action_planes, files)
    if key not in _MIRRORS:  # the replay buffer asks for it every minibatch
        _MIRRORS[key] = _mirror(action_planes, files)
    return _MIRRORS[key]


_MIRRORS: dict[tuple[int, bool], tuple[int, ...]] = {}


def _mirror(action_planes: int, files: bool) -> tuple[int, ...]:
    d = (action_planes - 26) // 8  # the longest straight distance

    def turned(dc: int, dr: int) -> tuple[int, int]:
        return (-dc, dr) if files else (dc, -dr)

    out = [DIRECTIONS.index(turned(*DIRECTIONS[p // d])) * d + p % d for p in range(8 * d)]
    out += [8 * d + KNIGHT_JUMPS.index(turned(*jump)) for jump in KNIGHT_JUMPS]
    for p in range(18):  # underpromotions: 9 with dr = +1, then 9 with dr = -1; 3 x (dc + 1) + piece
        dc, dr = turned(p % 9 // 3 - 1, 1 if p < 9 else -1)
        out.append(8 * d + 8 + 9 * (dr < 0) + 3 * (dc + 1) + p % 3)
    return tuple(out)


MAX_DISTANCE = 31  # the longest straight move on the largest board, 32x32


def layout_planes(max_distance: int) -> int:
    """The move planes of the layout whose longest straight move is ``max_distance`` squares:
    the planes of a board with ``max(width, height) == max_distance + 1``."""
    return 8 * max_distance + 26


def planes_into(action_planes: int, layout: int) -> np.ndarray:
    """Where each move plane of a board with ``action_planes`` planes sits in the larger layout
    of ``layout`` planes: a straight plane ``direction * d + (distance - 1)`` to the same
    direction and distance there, the knight jumps and both underpromotion blocks in their
    order. An int64 array of ``action_planes`` distinct planes of the layout."""
    d, big = (action_planes - 26) // 8, (layout - 26) // 8
    if d > big:
        raise ValueError(f"a board of {action_planes} move planes does not fit a layout of {layout}")
    straight = [p // d * big + p % d for p in range(8 * d)]
    return np.array(straight + [8 * big + j for j in range(26)], np.int64)


GROUPS = ("board", "network", "self-play", "training", "play", "run")


def option(default: Any, group: str, help: str, resume: bool = False) -> Any:
    """A configuration field: its default, its group, its help text (the command line's) and
    whether a resumed run takes it from its command line."""
    assert group in GROUPS
    return field(default=default, metadata={"group": group, "help": help, "resume": resume})


@dataclass(frozen=True)
class Config:
    """A training run's configuration, and the agent's it makes: one field per command-line option of
    ``murkle-zero train``, each with its help, its group (board, network, self-play, training, play,
    run) and whether a resumed run takes it from its command line (``resume``), in its metadata.
    Frozen: a changed configuration is a new one (``dataclasses.replace``)."""

    width: int = option(6, "board", "board width")
    height: int = option(6, "board", "board height")
    channels: int = option(32, "network", "network width")
    blocks: int = option(2, "network", "residual blocks")
    history: int = option(1, "network", "positions the network sees (1: only the current one; at most 8)")
    canonical: bool = option(True, "network", "the network sees Black's positions turned top to bottom, as if White "
                                              "were to move, so one set of weights learns both sides "
                                              "(--no-canonical: as the engine encodes them)")
    attack_planes: bool = option(True, "network", "the network also reads 12 planes of the current position: the "
                                                  "squares that each side's pawns, knights, bishops, rooks, queens "
                                                  "and king attack, written by the engine with the pieces, so a "
                                                  "young network sees what hangs (--no-attack-planes: the pieces "
                                                  "alone)")
    check_planes: bool = option(False, "network", "the network also reads 8 planes: the squares from which each "
                                                  "side's pawns, knights, bishops and rooks would check the other "
                                                  "king (a queen: the bishop's and the rook's), so a checking move "
                                                  "is a square's business for the first layer")
    any_size: bool = option(True, "network", "one network for every board: the policy head has the move planes of "
                                             "the largest board (32x32), into which every board's planes map, and "
                                             "the value head also reads its pooled features scaled by the board's "
                                             "size, so the agent plays any board up to 32x32 (--no-any-size: the "
                                             "training board's planes only, as agents of earlier versions)")
    mirror: bool = option(True, "network", "train on a random half of the samples turned left to right (files "
                                           "reversed, the moves with them), as the rules are the same in that "
                                           "mirror; positions with a castling right are never turned (--no-mirror: "
                                           "as played)")
    sizes: str = option("", "board", "train on several board sizes at once, e.g. 6x6,8x8: one network, a self-play "
                                    "batch per size, minibatches of one size each (empty: --width x --height; "
                                    "with --sizes those are the first size)")
    size_weights: str = option("", "board", "with --sizes: each size's share of the self-play moves, in the order of "
                                            "--sizes, e.g. 1,2 (empty: equal shares)")
    size_schedule: str = option("uniform", "board", "with --sizes: 'uniform' keeps each size's share all run; "
                                                    "'small-first' gives the smaller boards the moves first and "
                                                    "shifts them to the larger ones as the run goes on, each size "
                                                    "playing as many moves over the run as with 'uniform'")
    games: int = option(128, "self-play", "self-play games played at once")
    simulations: int = option(16, "self-play", "search simulations per self-play move")
    fast_simulations: int = option(0, "self-play", "playout cap randomisation: moves not searched in full get this "
                                                   "many simulations and teach only the value (0: every move "
                                                   "searched in full)")
    full_fraction: float = option(0.25, "self-play", "with --fast-simulations: the share of moves searched in full "
                                                     "(--simulations)")
    gumbel: bool = option(True, "self-play", "Gumbel root search in self-play (--no-gumbel: PUCT with Dirichlet "
                                             "noise)")
    max_considered: int = option(8, "self-play", "Gumbel: root moves considered")
    dirichlet_alpha: float = option(0.3, "self-play", "PUCT self-play: root noise")
    c_puct: float = option(1.25, "self-play", "PUCT self-play: exploration weight")
    forced_playouts: float = option(0.0, "self-play", "PUCT self-play: every root move gets at least sqrt(this x "
                                                      "prior x visits) visits, so the noise's choices are judged, "
                                                      "and the policy target drops the forced visits that did not "
                                                      "pay (0: none; 2 as published)")
    material_mix: float = option(0.0, "self-play", "share of a leaf's value in the self-play search that is the "
                                                   "material a capture search finds there, tanh(points / 4); the "
                                                   "rest is the network's (--eval-material-mix: the agent's)")
    temperature_plies: int = option(8, "self-play", "plies that sample moves from the visits")
    value_mix: float = option(0.5, "self-play", "weight of the searched root value in the value target (0: the "
                                                "game's result only)")
    max_plies: int = option(150, "self-play", "a self-play game ends at this many plies")
    adjudicate: float = option(4.0, "self-play", "a game ended by --max-plies teaches tanh(material difference / "
                                                 "this), 0: a draw", resume=True)
    adjudicate_until: float = option(1.0, "self-play", "with --adjudicate: the share of the budget during which "
                                                       "capped games are adjudicated; later they teach a draw, so "
                                                       "the network learns that a won ending must still be won (1: "
                                                       "the whole run)", resume=True)
    capped_value: float = option(0.5, "self-play", "with --adjudicate: a capped game teaches this x tanh(material "
                                                   "difference / --adjudicate), so that a won ending not mated "
                                                   "within --max-plies is worth less than a mate (1: as much; on 8x8"
                                                   " most self-play games reach the cap, and 1 leaves the agent "
                                                   "content with a won ending it cannot mate)", resume=True)
    resign: float = option(0.0, "self-play", "a self-play game ends when the side to move's searched value is below "
                                             "-this: it loses, and its remaining plies go to new games (0: games are"
                                             " played out)", resume=True)
    resign_check: float = option(0.1, "self-play", "with --resign: the share of games that never resign; where they "
                                                   "would have, the run counts whether that side went on to lose, "
                                                   "and reports the rest as false resignations", resume=True)
    material_weight: float = option(0.0, "self-play", "weight of an auxiliary loss: a head on the value features "
                                                      "predicts tanh(material difference / 4) for the side to move "
                                                      "--material-plies later, which teaches the trunk what a loose "
                                                      "piece is worth (0: no such head)")
    material_plies: int = option(8, "self-play", "with --material-weight or --material-value: how many plies ahead "
                                                 "the material is read (the game's end if sooner)")
    material_value: float = option(0.0, "self-play", "share of the material balance in the value target: each "
                                                     "position learns (1 - this) x its target + this x tanh(material"
                                                     " difference / 4) for the side to move --material-plies later, "
                                                     "so a young network values a loose piece as the engines it "
                                                     "meets do (0: the target alone)")
    plies_per_iter: int = option(8, "self-play", "self-play moves per iteration")
    keep_games: int = option(2, "self-play", "self-play games written to selfplay_games.pgn in --out per iteration",
                             resume=True)
    batch_size: int = option(256, "training", "training minibatch")
    replay_ratio: float = option(4.0, "training", "times each new sample is trained on, on average")
    train_while_waiting: bool = option(False, "training", "with --actors: after its --replay-ratio steps, the "
                                                          "learner goes on training while it waits for the actors' "
                                                          "next moves, up to twice as many steps, so its core is not"
                                                          " left idle (the steps a run takes then depend on the "
                                                          "machine's speed)", resume=True)
    buffer: int = option(100_000, "training", "replay buffer samples")
    policy_top: int = option(64, "training", "policy entries kept per sample")
    lr: float = option(2e-3, "training", "peak learning rate")
    weight_decay: float = option(1e-4, "training", "AdamW weight decay")
    ema: float = option(0.0, "training", "self-play, evaluations and the saved agent use an exponential moving "
                                         "average of the trained weights, updated after each training step with this"
                                         " decay, e.g. 0.995 (0: the trained weights themselves)")
    eval_every: float = option(5.0, "play", "minutes between evaluations (0: none)", resume=True)
    eval_games: int = option(20, "play", "games per opponent in each evaluation", resume=True)
    eval_simulations: int = option(32, "play", "search simulations per move in evaluations (0: the network's "
                                               "favourite move)", resume=True)
    eval_max_plies: int = option(200, "play", "an evaluation game ends drawn at this many plies", resume=True)
    eval_gumbel: bool = option(False, "play", "evaluations search with a Gumbel root (--no-eval-gumbel: PUCT)",
                               resume=True)
    eval_c_puct: float = option(0.3, "play", "PUCT exploration weight of the agent's search in evaluations, play, "
                                             "matches and UCI, saved with the agent (lower: fewer moves searched, "
                                             "more deeply)", resume=True)
    eval_material_mix: float = option(0.5, "play", "share of a leaf's value in the agent's search (evaluations, "
                                                   "play, matches and UCI) that is the material a capture search "
                                                   "finds there, tanh(points / 4); the rest is the network's. "
                                                   "Saved with the agent", resume=True)
    eval_seconds: float = option(60.0, "play", "wall-clock seconds one evaluation may take; the games finished by "
                                               "then count (0: no limit)", resume=True)
    minutes: float = option(30.0, "run", "budget of self-play and training", resume=True)
    iterations: int = option(0, "run", "stop after this many iterations (0: no limit)", resume=True)
    checkpoint_every: float = option(5.0, "run", "minutes between checkpoints", resume=True)
    seed: int = option(0, "run", "random seed")
    actors: int = option(1, "run", "self-play processes that play while the learner trains, each on one core with "
                                   "the weights of the round before (0: self-play and training take turns in one "
                                   "process); with --ray, Ray actors", resume=True)
    threads: int = option(0, "run", "search threads (0: every core; an actor's own: 1)", resume=True)
    torch_threads: int = option(0, "run", "PyTorch threads (0: every core)", resume=True)
    device: str = option("cpu", "run", "the device of the learner's network and of self-play's network in PyTorch, "
                                      "e.g. cuda (written for any device PyTorch has, tested on the CPU only; "
                                      "ONNX Runtime and bfloat16 self-play stay on the CPU)", resume=True)
    onnx: bool = option(True, "run", "self-play and evaluations run the network in ONNX Runtime (in the train extra)"
                                     " when it is installed, given the new weights after each training round; faster"
                                     " than PyTorch on single positions and small batches (--no-onnx: PyTorch; with "
                                     "--bf16, self-play runs in PyTorch)", resume=True)
    bf16: bool = option(native_bf16(), "run", "self-play runs the network in bfloat16 in PyTorch (instead of ONNX "
                                              "Runtime) and training steps compute in bfloat16 autocast, which a CPU"
                                              " with AMX or AVX-512 BF16 computes natively (default: on where the "
                                              "CPU has them; --no-bf16: float32)", resume=True)

    @property
    def input_planes(self) -> np.ndarray:
        """The planes the network sees, as a GameBatch's ``planes=`` names them: 12 piece planes
        per position of history, the 12 attack planes 105-116 with ``attack_planes``, the 8 check
        planes 117-124 with ``check_planes``, then 96 to 104. The planes before 96-104 are bits
        (``bit_planes`` of them); those are constant."""
        return np.r_[0: 12 * self.history, ATTACK_PLANES if self.attack_planes else [],
                     CHECK_PLANES if self.check_planes else [], SCALAR_PLANES].astype(int)

    @property
    def bit_planes(self) -> int:
        """How many of the input planes are 0/1 squares (the rest, 96-104, are constant)."""
        return len(self.input_planes) - len(SCALAR_PLANES)

    @property
    def reads_material(self) -> bool:
        """Whether self-play samples carry the material balance some plies ahead."""
        return self.material_weight > 0 or self.material_value > 0

    @property
    def action_planes(self) -> int:
        """The move planes of the training board (of the first size with ``sizes``)."""
        return murkle_chess.Game.get_move_planes_count(self.width, self.height)

    @property
    def policy_planes(self) -> int:
        """The move planes of the policy head: the largest board's with ``any_size``."""
        return layout_planes(MAX_DISTANCE) if self.any_size else self.action_planes

    @property
    def board_sizes(self) -> list[tuple[int, int]]:
        """The sizes a run trains on: ``sizes``, or the one board ``width`` x ``height``."""
        if not self.sizes:
            return [(self.width, self.height)]
        out = []
        for part in self.sizes.split(","):
            w, sep, h = part.strip().lower().partition("x")
            if not (sep and w.isdigit() and h.isdigit()):
                raise ValueError(f"--sizes takes sizes such as 6x6,8x8, not {part.strip()[:20]!r}")
            if (int(w), int(h)) not in out:
                out.append((int(w), int(h)))
        return out

    @property
    def weights_of_sizes(self) -> list[float]:
        """``size_weights`` as numbers (1 for every size without them); ValueError if one is not."""
        if not self.size_weights:
            return [1.0] * len(self.board_sizes)
        return [float(w) for w in self.size_weights.split(",")]

    def size_shares(self, progress: float) -> list[float]:
        """Each size's self-play moves per round, as a multiple of ``plies_per_iter``, when
        ``progress`` of the budget is spent: the weights scaled to add up to the number of sizes,
        and with 'small-first' a linear ramp from the smallest board (by area) to the largest
        whose average over the run is 1, so only the order of the moves changes."""
        sizes, weights = self.board_sizes, self.weights_of_sizes
        shares = [w * len(sizes) / sum(weights) for w in weights]
        if self.size_schedule == "small-first" and len(sizes) > 1:
            t = min(max(progress, 0.0), 1.0)
            rank = {k: r for r, k in enumerate(sorted(range(len(sizes)), key=lambda k: sizes[k][0] * sizes[k][1]))}
            shares = [s * (1 + (2 * rank[k] / (len(sizes) - 1) - 1) * (2 * t - 1)) for k, s in enumerate(shares)]
        return shares

    def at_size(self, width: int, height: int) -> Config:
        """This configuration on one board of the run (what a self-play batch or a replay
        buffer of that size takes)."""
        return replace(self, width=width, height=height)

    @classmethod
    def from_saved(cls, saved: dict[str, Any], **overrides: Any) -> Config:
        """The configuration a checkpoint stored. Checkpoints written before ``history``,
        ``value_mix`` and ``canonical`` existed fed the network all 105 planes (history 8) as the
        engine orients them and taught results only; those written before ``attack_planes``
        read none, those written before ``mirror`` trained on their samples as played, and
        agents saved before ``eval_material_mix`` play with the network's values alone;
        options added since take their defaults, and names this version does not know are
        dropped."""
        if saved.get("attacks"):  # counts of attackers, computed by layers of the network that are gone
            raise ValueError("this network was trained with --attacks, whose layers this version replaced by "
                             "--attack-planes: it cannot be loaded")
        known = {f.name for f in fields(cls)}
        legacy = {"history": 8, "value_mix": 0.0, "canonical": False, "attack_planes": False, "mirror": False,
                  "any_size": False, "eval_material_mix": 0.0}
        values = legacy | saved | overrides
        return cls(**{k: v for k, v in values.items() if k in known})

    def problems(self) -> list[str]:
        """What makes this configuration unusable, in words for the command line."""
        out = []
        try:
            sizes = self.board_sizes
        except ValueError as err:
            out.append(str(err))
            sizes = []
        for w, h in sizes:
            try:
                import murkle_rl

                murkle_rl.start_fen(w, h)
            except ValueError as err:
                out.append(f"board {w}x{h}: {err}")
        if self.size_schedule not in ("uniform", "small-first"):
            out.append(f"--size-schedule is uniform or small-first, not {self.size_schedule[:20]!r}")
        if self.size_weights:
            try:
                weights = self.weights_of_sizes
            except ValueError:
                weights = []
            if len(weights) != len(sizes) or not all(0 <= w < float("inf") for w in weights) or sum(weights) <= 0:
                out.append(f"--size-weights takes one weight of 0 or more per size of --sizes ({len(sizes)}), "
                           "not all 0")
        if len(sizes) > 1 and not self.any_size:
            out.append("--sizes needs --any-size: one network for every board")
        if self.minutes == 0 and self.iterations == 0:
            out.append("give a budget: --minutes or --iterations")
        if not 1 <= self.history <= 8:
            out.append(f"--history must be 1 to 8, got {self.history}")
        if self.full_fraction > 1:
            out.append(f"--full-fraction must be between 0 and 1, got {self.full_fraction}")
        if self.ema >= 1:
            out.append(f"--ema must be below 1, got {self.ema}")
        if self.resign > 1 or self.resign_check > 1:
            out.append("--resign and --resign-check must be between 0 and 1")
        if max(self.value_mix, self.material_value, self.material_mix, self.eval_material_mix) > 1:
            out.append("--value-mix, --material-value, --material-mix and --eval-material-mix must be between 0 "
                       "and 1")
        if self.device != "cpu":
            try:
                import torch

                torch.empty(0, device=self.device)
            except (ImportError, RuntimeError) as err:
                out.append(f"--device {self.device}: {err}")
        if self.gumbel and self.forced_playouts:
            out.append("--forced-playouts is for PUCT self-play: add --no-gumbel")
        if self.games < 1 or self.simulations < 1 or self.batch_size < 1 or self.buffer < 1:
            out.append("--games, --simulations, --batch-size and --buffer must be at least 1")
        return out


# The help of the front ends' --c-puct, which overrides the agent's own --eval-c-puct.
C_PUCT_OVERRIDE = (f"the agent's PUCT exploration weight (default: its --eval-c-puct, {Config.eval_c_puct:g} "
                   "unless trained with another)")


def non_negative(kind: type) -> Any:
    """An argparse type: a number of ``kind`` that is not negative."""
    def parse(text: str) -> Any:
        value = kind(text)
        if value < 0:
            raise argparse.ArgumentTypeError(f"must be >= 0, got {text}")
        return value
    parse.__name__ = kind.__name__  # argparse names the type in its error
    return parse


count = non_negative(int)  # the argparse type of the commands' counts: a whole number >= 0


def config_parser() -> argparse.ArgumentParser:
    """The training options, one per Config field, with its default and help, in its group."""
    parser = argparse.ArgumentParser(add_help=False)
    groups = {name: parser.add_argument_group(f"{name} options") for name in GROUPS}
    for f in fields(Config):
        default, meta = getattr(Config, f.name), f.metadata
        flag = "--" + f.name.replace("_", "-")
        if isinstance(default, bool):
            groups[meta["group"]].add_argument(flag, action=argparse.BooleanOptionalAction, default=default,
                                               help=meta["help"])
        elif isinstance(default, str):
            groups[meta["group"]].add_argument(flag, default=default, help=meta["help"])
        else:
            groups[meta["group"]].add_argument(flag, type=non_negative(type(default)), default=default,
                                               help=f"{meta['help']} (default {default})")
    return parser


def resume_options() -> set[str]:
    """The fields a resumed run takes from its command line; the others are its checkpoint's."""
    return {f.name for f in fields(Config) if f.metadata["resume"]}


def config_of(args: argparse.Namespace) -> Config:
    """The Config of parsed options."""
    cfg = Config(**{f.name: getattr(args, f.name) for f in fields(Config)})
    if cfg.sizes:  # the first size is the run's board (its start, its curve's title, its agent file)
        try:
            (width, height), *_ = cfg.board_sizes
        except ValueError:
            return cfg  # problems() says why
        cfg = replace(cfg, width=width, height=height)
    return cfg
