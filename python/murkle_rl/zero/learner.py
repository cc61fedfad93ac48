"""The learner: a Trainer holds a whole run (network, optimizer, replay buffer, self-play, clock)
and saves it in a checkpoint; :func:`train` is the training loop, with its progress bar, its
evaluations, Ctrl-C handling, metrics and curve."""

from __future__ import annotations

import math
import os
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, Callable

import numpy as np
import torch
import torch.nn.functional as F
from torch.optim.swa_utils import AveragedModel, get_ema_multi_avg_fn
from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

from .config import Config, resume_options
from .evaluate import OPPONENTS, MatchResult, evaluate_agent, score
from .interrupts import CtrlC
from .games import save_games
from .report import CURVE, METRICS, MetricsLog, RunReport, describe_eval, percent, plot_curve, read_metrics, summary

__all__ = ["Trainer", "RunOptions", "Run", "train", "trainer_stats", "METRICS", "CURVE"]
from .actors import ActorDied
from .network import AGENT, CHECKPOINT, Evaluator, make_net, read_checkpoint, save_agent, save_whole, use_threads
from .replay import MixedBuffer
from .selfplay import MixedPlayer

EVAL_GAMES = "eval_games.pgn"
SELFPLAY_GAMES = "selfplay_games.pgn"
# Options a resumed run takes from its command line; the others are the checkpoint's.
RESUME_OPTIONS = resume_options()


class Trainer:
    """Everything a run is made of, saved whole in a checkpoint."""

    def __init__(self, cfg: Config) -> None:
        self.cfg = cfg
        torch.manual_seed(cfg.seed)
        self.net = make_net(cfg).to(cfg.device)
        self.opt = torch.optim.AdamW(self.net.parameters(), lr=cfg.lr, weight_decay=cfg.weight_decay)
        self.ema = self.average()
        self.buffer = MixedBuffer(cfg)
        self.rng = np.random.default_rng(cfg.seed)
        self.player = MixedPlayer(cfg, cfg.seed)
        self.iteration = 0
        self.train_steps = 0
        self.samples_seen = 0  # samples added to the buffer
        self.seconds = 0.0  # the training clock: self-play and training
        self.wall_s = 0.0  # wall time of the run, evaluations and saving included
        self.train_s = 0.0
        self.last_eval = -math.inf
        self.last_checkpoint = 0.0
        self.history: list[dict[str, Any]] = []  # evaluations, for the curve
        self.losses: list[dict[str, float]] = []  # per iteration that trained: losses, clock, games
        self.actor_players: list[dict[str, Any]] = []  # the games of the self-play actors, when they play

    def average(self) -> AveragedModel | None:
        """The moving average of the network's weights (and batch-norm statistics) that plays,
        starting from its present weights; None without ``cfg.ema``."""
        if not self.cfg.ema:
            return None
        return AveragedModel(self.net, multi_avg_fn=get_ema_multi_avg_fn(self.cfg.ema), use_buffers=True)

    @property
    def playing_net(self) -> Any:
        """The network self-play, evaluations and the saved agent use: the average, if any."""
        return self.net if self.ema is None else self.ema.module

    # -- one iteration
    def progress(self) -> float:
        """The share of the budget (minutes or iterations, whichever is further along) spent."""
        cfg = self.cfg
        progress = self.seconds / (cfg.minutes * 60) if cfg.minutes else 0.0
        if cfg.iterations:
            progress = max(progress, self.iteration / cfg.iterations)
        return progress

    def lr(self) -> float:
        """Warm up over the first 100 steps, then cosine decay to a tenth over the budget."""
        warm = min(1.0, (self.train_steps + 1) / 100)
        return self.cfg.lr * warm * (0.1 + 0.9 * 0.5 * (1 + math.cos(math.pi * min(self.progress(), 1.0))))

    def adjudication(self) -> float:
        """The adjudication scale of capped self-play games now: 0 (a draw) once
        ``cfg.adjudicate_until`` of the budget is spent."""
        return self.cfg.adjudicate if self.progress() < self.cfg.adjudicate_until else 0.0

    def train_step(self) -> dict[str, float]:
        """One optimizer step on a minibatch from the buffer; returns its losses."""
        cfg = self.cfg
        planes, mask, policy, value, full, material = self.buffer.sample(cfg.batch_size, self.rng)
        for g in self.opt.param_groups:
            g["lr"] = self.lr()
        self.net.train()
        device = torch.device(cfg.device)

        def tensor(a: np.ndarray) -> torch.Tensor:
            return torch.from_numpy(a).to(device)

        with torch.autocast(device.type, torch.bfloat16, enabled=cfg.bf16):  # the losses in float32
            logits, v, *m = (t.float() for t in self.net(tensor(planes), material=cfg.material_weight > 0))
        logits = logits.masked_fill(~tensor(mask), -1e9)
        target = tensor(policy)
        weight = tensor(full)  # a fast search's policy teaches nothing
        policy_loss = -((target * F.log_softmax(logits, 1)).sum(1) * weight).sum() / weight.sum().clamp(min=1)
        value_loss = F.mse_loss(v, tensor(value))
        loss = policy_loss + value_loss
        losses = {"policy": policy_loss, "value": value_loss}
        if m:
            losses["material"] = F.mse_loss(m[0], tensor(material))
            loss = loss + cfg.material_weight * losses["material"]
        self.opt.zero_grad(set_to_none=True)
        loss.backward()
        self.opt.step()
        if self.ema is not None:
            self.ema.update_parameters(self.net)
        self.train_steps += 1
        return {k: l.item() for k, l in losses.items()}

    def iterate(self, samples: dict[Any, Any], waiting: Callable[[], bool] | None = None) -> None:
        """Adds the samples of finished games and trains on the buffer: ``replay_ratio`` steps per
        new sample, then, while ``waiting()`` says the next samples have not come, up to as many
        more."""
        cfg = self.cfg
        self.samples_seen += self.buffer.add(samples)
        # positions made per iteration, finished or not, on every size
        new = cfg.games * cfg.plies_per_iter * len(cfg.board_sizes)
        if self.buffer.size >= cfg.batch_size:
            started = time.perf_counter()
            steps = max(1, round(new * cfg.replay_ratio / cfg.batch_size))
            losses = [self.train_step() for _ in range(steps)]
            while waiting is not None and len(losses) < 2 * steps and waiting():
                losses.append(self.train_step())
            self.losses.append({k: float(np.mean([l[k] for l in losses])) for k in losses[0]}
                               | {"minutes": self.seconds / 60, "steps": self.train_steps})
            self.train_s += time.perf_counter() - started
        self.iteration += 1

    # -- evaluation
    def evaluate(self, stop: Any = None, progress: Any = None) -> tuple[dict[str, Any], list[Any]]:
        """An evaluation of the current network against every opponent, within
        ``cfg.eval_seconds``; returns its entry for the history and its games."""
        cfg = self.cfg
        entry, games = evaluate_agent(Evaluator(self.playing_net, cfg, cfg.onnx), cfg, cfg.eval_games,
                                      cfg.eval_simulations, seed=cfg.seed * 7919 + self.iteration, seconds=cfg.eval_seconds,
                                      stop=stop, progress=progress)
        for name in OPPONENTS:  # no game finished against it: no score
            if not sum(entry[name + "_result"].values()):
                entry[name] = None
        return {"minutes": self.seconds / 60, "wall_minutes": self.wall_s / 60,
                "games": self.player.stats["games"], "iteration": self.iteration, **entry}, games

    # -- checkpoints
    COUNTS = ("iteration", "train_steps", "samples_seen", "seconds", "train_s", "last_eval", "last_checkpoint",
              "history", "losses", "actor_players", "wall_s")

    def state(self) -> dict[str, Any]:
        return {
            "config": asdict(self.cfg), "net": self.net.state_dict(), "opt": self.opt.state_dict(),
            "buffer": self.buffer.state(), "rng": self.rng.bit_generator.state,
            "torch_rng": torch.get_rng_state(), "player": self.player.state(),
            **({} if self.ema is None else {"ema": self.ema.state_dict()}),
            **{k: getattr(self, k) for k in self.COUNTS},
        }

    def save(self, out: Path) -> None:
        """Writes checkpoint.pt (all of the run) and agent.pt (the network and its configuration);
        a failed write keeps the last checkpoint (a full disk raises DiskFull)."""
        out = Path(out)
        save_whole(self.state(), out / CHECKPOINT)
        save_agent(out / AGENT, self.playing_net, self.cfg, iteration=self.iteration, minutes=self.seconds / 60,
                   games=int(self.player.stats["games"]))

    @classmethod
    def load(cls, path: Path, **overrides: Any) -> Trainer:
        """The run a checkpoint (or its directory) holds, with ``overrides`` of its configuration."""
        state, cfg = read_checkpoint(path, **overrides)
        if "bits" not in state["buffer"] and "buffers" not in state["buffer"]:
            raise ValueError(f"{path} was written by an older trainer: its replay buffer "
                             "cannot be resumed (evaluate and play still take it)")
        self = cls(cfg)
        self.net.load_state_dict(state["net"])
        self.ema = self.average()  # a checkpoint without an average starts it from its weights
        if self.ema is not None and "ema" in state:
            self.ema.load_state_dict(state["ema"])
        self.opt.load_state_dict(state["opt"])
        self.buffer.load(state["buffer"])
        self.rng.bit_generator.state = state["rng"]
        torch.set_rng_state(state["torch_rng"])
        self.player = MixedPlayer.from_state(cfg, state["player"])
        state.setdefault("actor_players", state.get("ray_players", []))  # the name of older checkpoints
        for k in self.COUNTS:
            if k in state:  # wall_s is newer than some checkpoints
                setattr(self, k, state[k])
        return self


def trainer_stats(trainer: Trainer) -> dict[str, Any]:
    """The run's counts and times so far."""
    s = dict(trainer.player.stats)
    minutes = trainer.seconds / 60
    s.update(minutes=minutes, wall_minutes=trainer.wall_s / 60, iteration=trainer.iteration,
             train_steps=trainer.train_steps, train_s=trainer.train_s, buffer=trainer.buffer.size,
             games_per_minute=s["games"] / minutes if minutes else 0.0, actors=trainer.cfg.actors)
    return s


@dataclass(frozen=True)
class RunOptions:
    """Where and how a run trains, beside its configuration: its directory ``out``, whether it
    goes on from the checkpoint there (``resume``, with the options ``given`` on its command line
    taking precedence where a resumed run may change them), self-play on Ray (``ray``, joining
    ``address``), no progress bar (``quiet``), and a TensorBoard directory."""

    out: Path = Path("runs/alphazero")
    resume: bool = False
    ray: bool = False
    address: str | None = None
    quiet: bool = False
    given: frozenset[str] = frozenset()
    tensorboard: str | None = None


def start_actors(trainer: Trainer, run: RunOptions) -> Any:
    """The run's self-play actors: ``cfg.actors`` child processes, or Ray actors with ``run.ray``;
    None when self-play takes turns with training in this process (``--actors 0``), which then
    goes on with the games the actors had in flight, if any. Beside actors, the learner's
    PyTorch takes the cores they leave (``--torch-threads 0``)."""
    cfg = trainer.cfg
    if cfg.actors == 0:
        if trainer.actor_players:
            stats = trainer.player.stats
            trainer.player = MixedPlayer.from_state(cfg, trainer.actor_players[0])
            trainer.player.stats = stats
            trainer.actor_players = []
        return None
    if not cfg.torch_threads:
        use_threads(max(1, len(os.sched_getaffinity(0)) - cfg.actors))
    if run.ray:
        from .ray import RaySelfPlay

        return RaySelfPlay(cfg, run.address, trainer)
    from .actors import ProcessSelfPlay

    return ProcessSelfPlay(cfg, trainer, cfg.actors)


def open_run(cfg: Config, run: RunOptions) -> Trainer:
    """The run's trainer: the one its checkpoint holds with ``run.resume`` (taking from ``cfg``
    the options given that a resumed run may change), else a new one."""
    out = Path(run.out)
    if not (run.resume and (out / CHECKPOINT).exists()):
        return Trainer(cfg)
    trainer = Trainer.load(out, **{k: getattr(cfg, k) for k in run.given & RESUME_OPTIONS | {"minutes", "iterations"}})
    ignored = {k for k in run.given - RESUME_OPTIONS if getattr(cfg, k) != getattr(trainer.cfg, k)}
    if ignored:
        print("a resumed run keeps its own " + ", ".join("--" + k.replace("_", "-") for k in sorted(ignored))
              + f" (only {', '.join('--' + k.replace('_', '-') for k in sorted(RESUME_OPTIONS))} change)",
              file=sys.stderr)
    print(f"resumed from {out / CHECKPOINT}: iteration {trainer.iteration}, "
          f"{trainer.seconds / 60:.1f} minutes, {trainer.player.stats['games']} games", file=sys.stderr)
    return trainer


class Run:
    """One session of a run: the loop of self-play and training to the budget, with its
    evaluations, checkpoints, metrics and progress bar. What a person reads (the curve, the
    summary) comes from the metrics, through :mod:`murkle_rl.zero.report`."""

    def __init__(self, trainer: Trainer, run: RunOptions) -> None:
        self.trainer, self.cfg, self.out = trainer, trainer.cfg, Path(run.out)
        self.metrics = MetricsLog(self.out, run.tensorboard)
        self.metrics.write({"kind": "start", "config": asdict(self.cfg), "iteration": trainer.iteration})
        self.remote = start_actors(trainer, run)
        self.budget = self.cfg.minutes * 60
        self.bar = tqdm(total=round(self.budget), unit="s", desc="training", disable=run.quiet,
                        bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} s{postfix}")
        self.bar.update(min(round(trainer.seconds), round(self.budget)))
        self.session_start, self.wall_before = time.monotonic(), trainer.wall_s
        # seconds of clock between loss lines in the metrics
        self.log_every = min(2.0, self.budget / 200) if self.budget else 0.0
        self.logged_at, self.pending = trainer.seconds, len(trainer.losses)
        self.interrupted = CtrlC()

    # -- bookkeeping

    def tick(self) -> None:
        self.trainer.wall_s = self.wall_before + time.monotonic() - self.session_start

    def done(self) -> bool:
        cfg, t = self.cfg, self.trainer
        return (self.interrupted.asked or (cfg.minutes > 0 and t.seconds >= self.budget)
                or (0 < cfg.iterations <= t.iteration))

    def draw(self, final: dict[str, Any] | None = None) -> None:
        plot_curve(RunReport(read_metrics(self.out)), self.out / CURVE, final)

    def save(self, plot: bool = True) -> None:
        self.tick()
        if self.remote is not None:
            self.remote.keep_states()
        self.trainer.save(self.out)
        if plot:
            self.draw()

    def postfix(self, extra: str = "") -> None:
        t = self.trainer
        text = f"games {t.player.stats['games']}, loss "
        if t.losses:
            text += f"{t.losses[-1]['policy']:.2f}+{t.losses[-1]['value']:.2f}"
        else:  # no training step until the buffer holds a minibatch
            text += f"- (buffer {t.buffer.size}/{self.cfg.batch_size})"
        if t.history:
            h = t.history[-1]
            text += ", " + ", ".join(f"{name} {percent(h[name])}" for name in OPPONENTS)
        self.bar.set_postfix_str(text + extra)

    def log_eval(self) -> None:
        self.save(plot=False)  # an evaluation never stands between the run and its last checkpoint
        t, shown = self.trainer, [0.0]

        def progress(name: str, r: MatchResult) -> None:
            now = time.monotonic()
            if now - shown[0] >= 0.5:
                shown[0] = now
                self.postfix(f" | evaluating vs {name}: {r.played}/{self.cfg.eval_games} games, "
                             f"score {percent(score(r.counts()) if r.played else None)}")

        entry, games = t.evaluate(stop=self.interrupted, progress=progress)
        t.last_eval = t.seconds
        self.tick()
        save_games(self.out / EVAL_GAMES, games)
        if entry["stopped"]:
            self.bar.write(f"evaluation cut short ({self.interrupted.by or '--eval-seconds'}): "
                           f"{describe_eval(entry)}", file=sys.stderr)
        if any(entry[name] is not None for name in OPPONENTS):
            t.history.append(entry)
        self.metrics.write({"kind": "eval", **entry, **trainer_stats(t)})
        self.draw()
        self.postfix()

    def log_losses(self, force: bool = False) -> None:
        t = self.trainer
        new = t.losses[self.pending:]
        if not new or (not force and t.seconds - self.logged_at < self.log_every):
            return
        self.metrics.write({"kind": "train", "iteration": t.iteration, "minutes": t.seconds / 60,
                            "wall_minutes": t.wall_s / 60, "steps": t.train_steps,
                            **{k: float(np.mean([l[k] for l in new])) for k in ("policy", "value", "material")
                               if k in new[-1]},
                            "games": t.player.stats["games"], "buffer": t.buffer.size})
        self.logged_at, self.pending = t.seconds, len(t.losses)

    # -- the loop

    def iteration(self) -> None:
        """Self-play's next moves (from an actor, or here), then training on them."""
        t, cfg, remote = self.trainer, self.cfg, self.remote
        started = time.perf_counter()
        if remote is not None:
            samples, kept = remote.collect(), remote.kept
        else:
            samples = t.player.play(t.playing_net, cfg.plies_per_iter, t.adjudication(), cfg.size_shares(t.progress()))
            kept = t.player.kept
        trained = len(t.losses)
        t.iterate(samples, remote.waiting if remote is not None and cfg.train_while_waiting else None)
        if remote is not None:
            remote.publish()
        t.seconds += time.perf_counter() - started
        self.tick()
        if len(t.losses) > trained:
            t.losses[-1].update(games=t.player.stats["games"], wall_minutes=t.wall_s / 60)
        save_games(self.out / SELFPLAY_GAMES, kept[: cfg.keep_games])
        self.log_losses()
        self.bar.update(min(round(t.seconds), round(self.budget)) - self.bar.n)
        self.postfix()

    def loop(self) -> ActorDied | None:
        """Iterations to the budget (or a stop request), evaluating and saving as they fall due;
        the self-play failure that ended it early, if any."""
        t, cfg, first = self.trainer, self.cfg, True
        try:
            with self.interrupted:
                while not self.done():
                    if cfg.eval_every > 0 and t.seconds - t.last_eval >= cfg.eval_every * 60:
                        self.log_eval()
                        if self.done():
                            break
                    self.iteration()
                    if first or t.seconds - t.last_checkpoint >= cfg.checkpoint_every * 60:
                        first = False
                        t.last_checkpoint = t.seconds
                        self.save()
        except ActorDied as e:  # self-play that could not go on: the run saves what it holds and stops
            return e
        except BaseException:  # a second Ctrl-C, a full disk: the actors end with the run
            if self.remote is not None:
                self.remote.close()
            raise
        finally:
            self.bar.close()
        return None

    def finish(self, lost: ActorDied | None) -> None:
        """The last evaluation (unless stopped), the last checkpoint, the closing record and summary."""
        stopped_by = self.interrupted.by
        if self.remote is not None:
            self.remote.keep_states()
            self.remote.close()
            self.remote = None
        if self.cfg.eval_every > 0 and stopped_by is None and lost is None:
            with CtrlC("Ctrl-C: ending the last evaluation now and saving (Ctrl-C again: stop at once)") as last:
                self.interrupted = last
                self.log_eval()
        self.log_losses(force=True)
        self.tick()
        self.trainer.save(self.out)
        self.metrics.write({"kind": "end", **trainer_stats(self.trainer),
                            "stopped_by": stopped_by or ("self-play failure" if lost else None), "saved": True})
        self.metrics.close()
        report = RunReport(read_metrics(self.out))
        plot_curve(report, self.out / CURVE)
        print(summary(report))


def train(cfg: Config, run: RunOptions) -> Trainer:
    """Trains to the budget of ``cfg`` in ``run.out``, or goes on from the checkpoint there with
    ``run.resume``. Raises ActorDied (after saving) when self-play could not go on."""
    Path(run.out).mkdir(parents=True, exist_ok=True)
    session = Run(open_run(cfg, run), run)
    lost = session.loop()
    session.finish(lost)
    if lost is not None:
        raise lost
    return session.trainer
