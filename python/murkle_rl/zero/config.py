"""The trainer's configuration: one dataclass, one command-line option per field.

No PyTorch here: ``murkle-zero --help`` and the front ends read configurations without it.
"""

from __future__ import annotations

import argparse
from dataclasses import asdict, dataclass, fields
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
    """Whether this CPU computes bfloat16 natively (AMX or AVX-512 BF16): where it does, PyTorch
    runs the small convolutions of self-play about twice as fast in bfloat16 as in float32."""
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


@dataclass
class Config:
    width: int = 6
    height: int = 6
    # network
    channels: int = 32
    blocks: int = 2
    history: int = 1  # positions the network sees: the current one and the plies before it (at most 8)
    canonical: bool = True  # Black's positions reach the network turned top to bottom, as White's
    attack_planes: bool = True  # the network also reads which squares each side's pieces of each kind attack
    check_planes: bool = False  # ... and from which squares each side's pieces of each kind would give check
    mirror: bool = True  # a random half of the training samples are turned left to right
    # self-play
    games: int = 128  # games played at once
    simulations: int = 16
    fast_simulations: int = 0  # playout cap randomisation: simulations of a fast search (0: every search is full)
    full_fraction: float = 0.25  # ... and the share of moves searched in full; only those teach the policy
    gumbel: bool = True
    max_considered: int = 8
    dirichlet_alpha: float = 0.3  # PUCT only
    c_puct: float = 1.25
    forced_playouts: float = 0.0  # PUCT only: k of the root's forced visits, pruned from the policy target
    temperature_plies: int = 8  # moves sampled from the visits before this ply, then the best
    value_mix: float = 0.5  # value target: (1 - this) x the result + this x the searched root value
    max_plies: int = 150  # a self-play game reaching this many plies ends
    adjudicate: float = 4.0  # ... and its value target is tanh(material difference / this); 0: a draw
    adjudicate_until: float = 1.0  # ... for this share of the budget; later, capped games teach a draw
    capped_value: float = 0.5  # ... scaled by this: a won ending not mated in time is worth less than a mate
    resign: float = 0.0  # a side whose searched value falls below -this resigns (0: never)
    resign_check: float = 0.1  # ... except in this share of the games, which play on and count false resignations
    material_weight: float = 0.0  # an auxiliary head learns the material balance some plies ahead (0: none)
    material_plies: int = 8  # ... this many plies ahead, or at the game's end if sooner
    material_value: float = 0.0  # share of that balance in the value target (0: none)
    plies_per_iter: int = 8
    keep_games: int = 2  # self-play games written to selfplay_games.pgn per iteration
    # training
    batch_size: int = 256
    replay_ratio: float = 4.0
    train_while_waiting: bool = False  # with actors: train on until their next moves come (up to twice the steps)
    buffer: int = 100_000
    policy_top: int = 64  # policy entries kept per sample
    lr: float = 2e-3
    weight_decay: float = 1e-4
    ema: float = 0.0  # self-play, evaluations and the agent use the weights averaged with this decay per step
    # evaluation during training
    eval_every: float = 5.0  # minutes
    eval_games: int = 20  # per opponent
    eval_simulations: int = 32  # 0: the network's own most likely move
    eval_max_plies: int = 200
    eval_gumbel: bool = False  # the agent's search in evaluations and play: Gumbel root, else PUCT
    eval_c_puct: float = 0.3  # ... its PUCT exploration weight (in matches and UCI too)
    eval_seconds: float = 60.0  # wall-time budget of one evaluation (0: none)
    # budget
    minutes: float = 30.0
    iterations: int = 0  # stop after this many iterations (0: no limit)
    checkpoint_every: float = 5.0  # minutes
    seed: int = 0
    actors: int = 1  # self-play processes beside the learner (0: self-play and training take turns)
    threads: int = 0  # search threads (0: every core)
    torch_threads: int = 0  # 0: every core
    onnx: bool = True  # self-play and evaluations run the network in ONNX Runtime when it is installed
    bf16: bool = native_bf16()  # self-play's network and the training steps in bfloat16 (PyTorch, not ONNX)

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
        return murkle_chess.Game.get_move_planes_count(self.width, self.height)

    @classmethod
    def from_saved(cls, saved: dict[str, Any], **overrides: Any) -> Config:
        """The configuration a checkpoint stored. Checkpoints written before ``history``,
        ``value_mix`` and ``canonical`` existed fed the network all 105 planes (history 8) as the
        engine orients them and taught results only; those written before ``attack_planes``
        read none, and those written before ``mirror`` trained on their samples as played;
        options added since take their defaults, and names this version does not know are
        dropped."""
        if saved.get("attacks"):  # counts of attackers, computed by layers of the network that are gone
            raise ValueError("this network was trained with --attacks, whose layers this version replaced by "
                             "--attack-planes: it cannot be loaded")
        known = {f.name for f in fields(cls)}
        legacy = {"history": 8, "value_mix": 0.0, "canonical": False, "attack_planes": False, "mirror": False}
        values = legacy | saved | overrides
        return cls(**{k: v for k, v in values.items() if k in known})

    def problems(self) -> list[str]:
        """What makes this configuration unusable, in words for the command line."""
        out = []
        try:
            import murkle_rl

            murkle_rl.start_fen(self.width, self.height)
        except ValueError as err:
            out.append(f"board {self.width}x{self.height}: {err}")
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
        if self.value_mix > 1 or self.material_value > 1:
            out.append("--value-mix and --material-value must be between 0 and 1")
        if self.gumbel and self.forced_playouts:
            out.append("--forced-playouts is for PUCT self-play: add --no-gumbel")
        if self.games < 1 or self.simulations < 1 or self.batch_size < 1 or self.buffer < 1:
            out.append("--games, --simulations, --batch-size and --buffer must be at least 1")
        return out


HELPS = {
    "width": "board width", "height": "board height", "channels": "network width", "blocks": "residual blocks",
    "history": "positions the network sees (1: only the current one; at most 8)",
    "canonical": "the network sees Black's positions turned top to bottom, as if White were to move, so one set "
                 "of weights learns both sides (--no-canonical: as the engine encodes them)",
    "attack_planes": "the network also reads 12 planes of the current position: the squares that each side's "
                     "pawns, knights, bishops, rooks, queens and king attack, written by the engine with the pieces, "
                     "so a young network sees what hangs (--no-attack-planes: the pieces alone)",
    "check_planes": "the network also reads 8 planes: the squares from which each side's pawns, knights, bishops "
                    "and rooks would check the other king (a queen: the bishop's and the rook's), so a checking "
                    "move is a square's business for the first layer",
    "mirror": "train on a random half of the samples turned left to right (files reversed, the moves with "
              "them), as the rules are the same in that mirror; positions with a castling right are never "
              "turned (--no-mirror: as played)",
    "value_mix": "weight of the searched root value in the value target (0: the game's result only)",
    "games": "self-play games played at once", "simulations": "search simulations per self-play move",
    "gumbel": "Gumbel root search in self-play (--no-gumbel: PUCT with Dirichlet noise)",
    "fast_simulations": "playout cap randomisation: moves not searched in full get this many simulations and "
                        "teach only the value (0: every move searched in full)",
    "full_fraction": "with --fast-simulations: the share of moves searched in full (--simulations)",
    "max_considered": "Gumbel: root moves considered", "dirichlet_alpha": "PUCT self-play: root noise",
    "c_puct": "PUCT self-play: exploration weight",
    "forced_playouts": "PUCT self-play: every root move gets at least sqrt(this x prior x visits) visits, so the "
                       "noise's choices are judged, and the policy target drops the forced visits that did not "
                       "pay (0: none; 2 as published)",
    "temperature_plies": "plies that sample moves from the visits",
    "max_plies": "a self-play game ends at this many plies",
    "adjudicate": "a game ended by --max-plies teaches tanh(material difference / this), 0: a draw",
    "adjudicate_until": "with --adjudicate: the share of the budget during which capped games are adjudicated; "
                        "later they teach a draw, so the network learns that a won ending must still be won "
                        "(1: the whole run)",
    "capped_value": "with --adjudicate: a capped game teaches this x tanh(material difference / --adjudicate), "
                    "so that a won ending not mated within --max-plies is worth less than a mate (1: as much; on 8x8 "
                    "most self-play games reach the cap, and 1 leaves the agent content with a won ending it cannot "
                    "mate)",
    "resign": "a self-play game ends when the side to move's searched value is below -this: it loses, and its "
              "remaining plies go to new games (0: games are played out)",
    "resign_check": "with --resign: the share of games that never resign; where they would have, the run counts "
                    "whether that side went on to lose, and reports the rest as false resignations",
    "material_weight": "weight of an auxiliary loss: a head on the value features predicts tanh(material "
                       "difference / 4) for the side to move --material-plies later, which teaches the trunk what "
                       "a loose piece is worth (0: no such head)",
    "material_plies": "with --material-weight or --material-value: how many plies ahead the material is read (the "
                      "game's end if sooner)",
    "material_value": "share of the material balance in the value target: each position learns (1 - this) x its "
                      "target + this x tanh(material difference / 4) for the side to move --material-plies later, "
                      "so a young network values a loose piece as the engines it meets do (0: the target alone)",
    "plies_per_iter": "self-play moves per iteration",
    "keep_games": "self-play games written to selfplay_games.pgn in --out per iteration",
    "batch_size": "training minibatch", "replay_ratio": "times each new sample is trained on, on average",
    "train_while_waiting": "with --actors: after its --replay-ratio steps, the learner goes on training while it "
                           "waits for the actors' next moves, up to twice as many steps, so its core is not left "
                           "idle (the steps a run takes then depend on the machine's speed)",
    "buffer": "replay buffer samples", "policy_top": "policy entries kept per sample", "lr": "peak learning rate",
    "weight_decay": "AdamW weight decay",
    "ema": "self-play, evaluations and the saved agent use an exponential moving average of the trained weights, "
           "updated after each training step with this decay, e.g. 0.995 (0: the trained weights themselves)",
    "eval_every": "minutes between evaluations (0: none)",
    "eval_games": "games per opponent in each evaluation",
    "eval_simulations": "search simulations per move in evaluations (0: the network's favourite move)",
    "eval_max_plies": "an evaluation game ends drawn at this many plies",
    "eval_gumbel": "evaluations search with a Gumbel root (--no-eval-gumbel: PUCT)",
    "eval_c_puct": "PUCT exploration weight of the agent's search in evaluations, play, matches and UCI, saved with "
                   "the agent (lower: fewer moves searched, more deeply)",
    "eval_seconds": "wall-clock seconds one evaluation may take; the games finished by then count (0: no limit)",
    "minutes": "budget of self-play and training", "iterations": "stop after this many iterations (0: no limit)",
    "checkpoint_every": "minutes between checkpoints", "seed": "random seed",
    "actors": "self-play processes that play while the learner trains, each on one core with the weights of the "
              "round before (0: self-play and training take turns in one process); with --ray, Ray actors",
    "threads": "search threads (0: every core; an actor's own: 1)", "torch_threads": "PyTorch threads (0: every core)",
    "onnx": "self-play and evaluations run the network in ONNX Runtime (in the train extra) when it is installed, "
            "given the new weights after each training round: 6-17x PyTorch's speed on single positions, 1.2-1.7x on "
            "self-play batches on an AVX2 CPU (0.8x on one with AVX-512; with --bf16, self-play runs in PyTorch) "
            "(--no-onnx: PyTorch)",
    "bf16": "self-play runs the network in bfloat16 in PyTorch (instead of ONNX Runtime) and training steps "
            "compute in bfloat16 autocast: on a CPU with AMX or AVX-512 BF16, 2.3x the positions a second of "
            "float32 on self-play batches and 1.45x the training steps (default: on where the CPU has them; "
            "--no-bf16: float32)",
}


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
    """The training options, one per Config field, with its default."""
    parser = argparse.ArgumentParser(add_help=False)
    for name, default in asdict(Config()).items():
        flag = "--" + name.replace("_", "-")
        if isinstance(default, bool):
            parser.add_argument(flag, action=argparse.BooleanOptionalAction, default=default, help=HELPS[name])
        else:
            parser.add_argument(flag, type=non_negative(type(default)), default=default,
                                help=f"{HELPS[name]} (default {default})")
    return parser


def config_of(args: argparse.Namespace) -> Config:
    """The Config of parsed options."""
    return Config(**{f.name: getattr(args, f.name) for f in fields(Config)})
