"""The learner: a Trainer holds a whole run (network, optimizer, replay buffer, self-play, clock)
and saves it in a checkpoint; :func:`train` is the training loop, with its progress bar, its
evaluations, Ctrl-C handling, metrics and curve."""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import threading
import time
from dataclasses import asdict
from pathlib import Path
from typing import Any, Callable

import numpy as np
import torch
import torch.nn.functional as F
from torch.optim.swa_utils import AveragedModel, get_ema_multi_avg_fn
from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

from .config import Config, resume_options
from .evaluate import OPPONENTS, MatchResult, evaluate_agent, score
from .games import save_games
from .actors import ActorDied
from .disk import writing
from .network import AGENT, CHECKPOINT, Evaluator, make_net, read_checkpoint, save_agent, save_whole, use_threads
from .replay import MixedBuffer
from .selfplay import MixedPlayer

METRICS = "metrics.jsonl"
CURVE = "curve.png"
EVAL_GAMES = "eval_games.pgn"
SELFPLAY_GAMES = "selfplay_games.pgn"
# Options a resumed run takes from its command line; the others are the checkpoint's.
RESUME_OPTIONS = resume_options()


class Trainer:
    """Everything a run is made of, saved whole in a checkpoint."""

    def __init__(self, cfg: Config) -> None:
        self.cfg = cfg
        torch.manual_seed(cfg.seed)
        self.net = make_net(cfg)
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
        with torch.autocast("cpu", torch.bfloat16, enabled=cfg.bf16):  # the losses in float32
            logits, v, *m = (t.float() for t in self.net(torch.from_numpy(planes), material=cfg.material_weight > 0))
        logits = logits.masked_fill(~torch.from_numpy(mask), -1e9)
        target = torch.from_numpy(policy)
        weight = torch.from_numpy(full)  # a fast search's policy teaches nothing
        policy_loss = -((target * F.log_softmax(logits, 1)).sum(1) * weight).sum() / weight.sum().clamp(min=1)
        value_loss = F.mse_loss(v, torch.from_numpy(value))
        loss = policy_loss + value_loss
        losses = {"policy": policy_loss, "value": value_loss}
        if m:
            losses["material"] = F.mse_loss(m[0], torch.from_numpy(material))
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
        if "value" in samples:  # the rows of the run's one size
            samples = {(cfg.width, cfg.height): samples}
        self.buffer.add(samples)
        self.samples_seen += sum(len(rows["value"]) for rows in samples.values())
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
            raise SystemExit(f"{path} was written by an older trainer: its replay buffer "
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


class CtrlC:
    """Within ``with``, a first Ctrl-C (or SIGTERM, which schedulers, ``docker stop`` and
    Kubernetes send before they kill) asks the run to stop: an evaluation under way ends at once
    with the games it finished, self-play and training after the current iteration, and the run
    saves a checkpoint that ``--resume`` continues; a second one stops at once. ``by`` names the
    signal that asked (None: none did)."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, message: str = "Ctrl-C: stopping after this iteration and saving a checkpoint "
                                      "(an evaluation under way ends now; Ctrl-C again: stop at once)") -> None:
        self.by: str | None = None
        self.previous: dict[int, Any] = {}
        self.message = message

    @property
    def asked(self) -> bool:
        return self.by is not None

    def __enter__(self) -> CtrlC:
        if threading.current_thread() is threading.main_thread():
            self.previous = {s: signal.signal(s, self.handle) for s in self.SIGNALS}
        return self

    def __exit__(self, *exc: Any) -> None:
        for s, handler in self.previous.items():
            signal.signal(s, handler)

    def handle(self, signum: int, frame: Any) -> None:
        if self.asked:
            raise KeyboardInterrupt
        self.by = "Ctrl-C" if signum == signal.SIGINT else signal.Signals(signum).name
        print("\n" + self.message.replace("Ctrl-C:", self.by + ":", 1), file=sys.stderr, flush=True)

    def __call__(self) -> bool:
        return self.asked


def trainer_stats(trainer: Trainer) -> dict[str, Any]:
    """The run's counts and times so far."""
    s = dict(trainer.player.stats)
    minutes = trainer.seconds / 60
    s.update(minutes=minutes, wall_minutes=trainer.wall_s / 60, iteration=trainer.iteration,
             train_steps=trainer.train_steps, train_s=trainer.train_s, buffer=trainer.buffer.size,
             games_per_minute=s["games"] / minutes if minutes else 0.0)
    return s


def percent(x: float | None) -> str:
    return "-" if x is None else f"{x:.0%}"


def describe_eval(entry: dict[str, Any]) -> str:
    """An evaluation in one line: each opponent's score and results."""
    parts = []
    for name in OPPONENTS:
        r = entry[name + "_result"]
        parts.append(f"vs {name} {percent(entry[name])} ({r['wins']} wins, {r['draws']} draws, {r['losses']} losses)")
    return ", ".join(parts) + (" [cut short]" if entry.get("stopped") else "")


def summary(trainer: Trainer, s: dict[str, Any]) -> str:
    """The closing report of a run."""
    lines = [f"{s['minutes']:.1f} minutes, {s['iteration']} iterations: {s['games']} self-play games "
             f"({s['games_per_minute']:.0f} per minute), {s['moves']} moves, {s['train_steps']} training steps"]
    if s["games"]:
        lines.append(f"results: {s['white_wins']} White wins, {s['black_wins']} Black wins, {s['draws']} draws "
                     f"({s['capped']} at the ply cap), {s['plies'] / s['games']:.0f} plies per game")
    if trainer.cfg.resign:
        checked = s["resign_checks"]
        lines.append(f"resignations: {s['resigned']} games resigned; of {checked} games played on past a "
                     f"resignation, {s['resign_false']} ({s['resign_false'] / max(checked, 1):.0%}) were not lost "
                     f"by the side that would have resigned, {s['resign_false_capped']} of them drawn at the ply cap")
    total = trainer.seconds or 1.0
    # Actors play side by side, each on its clock: their times are summed in the counts, and
    # said here as one actor's average share of the run's clock.
    actors = max(1, trainer.cfg.actors)
    search, network = s["search_s"] / actors, s["network_s"] / actors
    each = f" (per actor, the average of {actors})" if actors > 1 else ""
    lines.append(f"time: search{each} {search:.0f} s ({search / total:.0%}), network in self-play{each} "
                 f"{network:.0f} s ({network / total:.0%}, {s['positions']} positions in all), "
                 f"training {s['train_s']:.0f} s ({s['train_s'] / total:.0%}); "
                 f"wall time {s['wall_minutes']:.1f} minutes")
    if trainer.history:
        h = trainer.history[-1]
        lines.append(f"last evaluation ({h['simulations']} simulations): {describe_eval(h)}")
    return "\n".join(lines)


# ------------------------------------------------------------------ curve


def curve_title(cfg: Config) -> str:
    return (f"AlphaZero on {cfg.width}x{cfg.height}: {cfg.channels}x{cfg.blocks} net, "
            f"{cfg.simulations} simulations in self-play")


def rate(minutes: np.ndarray, games: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Self-play games per minute of training clock, over a window of an eighth of the run
    (at least half a minute, at most the run): (minutes, rate) at each point past the first window."""
    if len(minutes) < 2 or minutes[-1] <= minutes[0]:
        return np.array([]), np.array([])
    window = min(max(minutes[-1] / 8, 0.5), minutes[-1] - minutes[0])
    earlier = np.searchsorted(minutes, minutes - window, side="right") - 1
    ok = earlier >= 0
    t, g, t0, g0 = minutes[ok], games[ok], minutes[earlier[ok]], games[earlier[ok]]
    good = t > t0
    return t[good], (g[good] - g0[good]) / (t[good] - t0[good])


def plot_curve(trainer: Trainer | dict[str, Any], path: Path, final: dict[str, Any] | None = None) -> None:
    """The run in four panels against minutes of training clock: policy loss, value loss,
    self-play games per minute, evaluation scores (``final``, an evaluation of the last
    network, as stars at the end). Takes a Trainer or a checkpoint's state."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    get = (lambda k: getattr(trainer, k)) if isinstance(trainer, Trainer) else (lambda k: trainer.get(k))
    cfg = trainer.cfg if isinstance(trainer, Trainer) else Config.from_saved(trainer["config"])
    losses, history = get("losses") or [], get("history") or []
    clock = (get("seconds") or 0.0) / 60
    wall = (get("wall_s") or 0.0) / 60
    fig, axes = plt.subplots(2, 2, figsize=(11, 7), sharex=True)
    (ax_p, ax_v), (ax_g, ax_s) = axes
    t = np.array([l["minutes"] for l in losses], float)
    for ax, key, label, colour in ((ax_p, "policy", "policy loss (cross-entropy)", "C2"),
                                   (ax_v, "value", "value loss (squared error)", "C3")):
        y = np.array([l[key] for l in losses], float)
        if len(y):
            ax.plot(t, y, "-", color=colour, alpha=0.35 if len(y) > 20 else 1.0, marker="" if len(y) > 20 else "o")
            if len(y) > 20:  # a running mean over a twentieth of the points
                k = max(2, len(y) // 20)
                ax.plot(t[k - 1:], np.convolve(y, np.ones(k) / k, "valid"), "-", color=colour)
            ax.set_ylim(0, max(float(np.nanmax(y)) * 1.1, 1e-3))
        else:
            ax.text(0.5, 0.5, "no training step yet", ha="center", va="center", transform=ax.transAxes)
        ax.set_title(label, fontsize=10)
    g = np.array([l.get("games", math.nan) for l in losses], float)
    ok = ~np.isnan(g)
    rt, rg = rate(t[ok], g[ok])
    if len(rt):
        ax_g.plot(rt, rg, "-", color="C4")
        ax_g.set_ylim(0, max(float(rg.max()) * 1.15, 1.0))
    else:
        ax_g.text(0.5, 0.5, "too early to tell", ha="center", va="center", transform=ax_g.transAxes)
    ax_g.set_title("self-play games per minute of training clock", fontsize=10)
    scored = False
    for name, style, colour in (("random", "o-", "C0"), ("greedy", "s-", "C1")):
        points = [(h["minutes"], 100 * h[name]) for h in history if h.get(name) is not None]
        if points:
            scored = True
            xs, ys = zip(*points)
            ax_s.plot(xs, ys, style, color=colour, label=f"vs {name} mover")
            if final is not None and final.get(name) is not None:
                ax_s.plot([clock], [100 * final[name]], "*", color=colour, markersize=14,
                          label=f"vs {name}: {final['games']} games, {final['simulations']} simulations")
    if scored:
        ax_s.legend(loc="lower right", fontsize=8)
    else:
        ax_s.text(0.5, 0.5, "no evaluation yet" if cfg.eval_every else "no evaluations (--eval-every 0)",
                  ha="center", va="center", transform=ax_s.transAxes)
    ax_s.set_ylim(0, 102)
    ax_s.set_title(f"score % (wins + ½ draws), {cfg.eval_games} games per opponent, "
                   f"{cfg.eval_simulations} simulations", fontsize=10)
    right = max(clock, float(t.max()) if len(t) else 0.0, 0.05) * 1.03
    for ax in axes.flat:
        ax.set_xlim(0, right)
        ax.grid(alpha=0.3)
    for ax in axes[1]:
        ax.set_xlabel("training clock, minutes (self-play + learning)")
    fig.suptitle(f"{curve_title(cfg)}\n{clock:.1f} minutes of training clock, {wall:.1f} minutes of wall time "
                 f"(evaluations and saving included), {get('iteration')} iterations")
    fig.tight_layout()
    with writing(path):
        fig.savefig(path, dpi=100)
    plt.close(fig)


# ------------------------------------------------------------------ the loop


def write_metrics(out: Path, record: dict[str, Any]) -> None:
    with writing(out / METRICS, "the lines before stand"), open(out / METRICS, "a") as f:
        f.write(json.dumps(record) + "\n")


def start_actors(trainer: Trainer, args: argparse.Namespace) -> Any:
    """The run's self-play actors: ``cfg.actors`` child processes, or Ray actors with ``args.ray``;
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
    if args.ray:
        from .ray import RaySelfPlay

        return RaySelfPlay(cfg, args, trainer)
    from .actors import ProcessSelfPlay

    return ProcessSelfPlay(cfg, trainer, cfg.actors)


def train(cfg: Config, args: argparse.Namespace) -> Trainer:
    """Trains to the budget of ``cfg`` in ``args.out`` (``args``: out, resume, ray, address,
    quiet), or goes on from the checkpoint there with ``args.resume``."""
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    if args.resume and (out / CHECKPOINT).exists():
        given = set(getattr(args, "given", ()))
        trainer = Trainer.load(out, **{k: getattr(cfg, k) for k in given & RESUME_OPTIONS | {"minutes", "iterations"}})
        ignored = {k for k in given - RESUME_OPTIONS if getattr(cfg, k) != getattr(trainer.cfg, k)}
        if ignored:
            print("a resumed run keeps its own " + ", ".join("--" + k.replace("_", "-") for k in sorted(ignored))
                  + f" (only {', '.join('--' + k.replace('_', '-') for k in sorted(RESUME_OPTIONS))} change)",
                  file=sys.stderr)
        print(f"resumed from {out / CHECKPOINT}: iteration {trainer.iteration}, "
              f"{trainer.seconds / 60:.1f} minutes, {trainer.player.stats['games']} games", file=sys.stderr)
    else:
        trainer = Trainer(cfg)
    cfg = trainer.cfg
    remote = start_actors(trainer, args)
    budget = cfg.minutes * 60
    bar = tqdm(total=round(budget), unit="s", desc="training", disable=args.quiet,
               bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} s{postfix}")
    bar.update(min(round(trainer.seconds), round(budget)))
    session_start, wall_before = time.monotonic(), trainer.wall_s
    log_every = min(2.0, budget / 200) if budget else 0.0  # seconds of clock between loss lines in the metrics
    logged_at, pending = trainer.seconds, len(trainer.losses)

    interrupted = CtrlC()

    def tick() -> None:
        trainer.wall_s = wall_before + time.monotonic() - session_start

    def done() -> bool:
        return (interrupted.asked or (cfg.minutes > 0 and trainer.seconds >= budget)
                or (0 < cfg.iterations <= trainer.iteration))

    def save(plot: bool = True) -> None:
        tick()
        if remote is not None:
            remote.keep_states()
        trainer.save(out)
        if plot:
            plot_curve(trainer, out / CURVE)

    def postfix(extra: str = "") -> None:
        text = f"games {trainer.player.stats['games']}, loss "
        if trainer.losses:
            text += f"{trainer.losses[-1]['policy']:.2f}+{trainer.losses[-1]['value']:.2f}"
        else:  # no training step until the buffer holds a minibatch
            text += f"- (buffer {trainer.buffer.size}/{cfg.batch_size})"
        if trainer.history:
            h = trainer.history[-1]
            text += ", " + ", ".join(f"{name} {percent(h[name])}" for name in OPPONENTS)
        bar.set_postfix_str(text + extra)

    def log_eval() -> None:
        save(plot=False)  # an evaluation never stands between the run and its last checkpoint
        shown = [0.0]

        def progress(name: str, r: MatchResult) -> None:
            now = time.monotonic()
            if now - shown[0] >= 0.5:
                shown[0] = now
                postfix(f" | evaluating vs {name}: {r.played}/{cfg.eval_games} games, "
                        f"score {percent(score(r.counts()) if r.played else None)}")

        entry, games = trainer.evaluate(stop=interrupted, progress=progress)
        trainer.last_eval = trainer.seconds
        tick()
        save_games(out / EVAL_GAMES, games)
        if entry["stopped"]:
            bar.write(f"evaluation cut short ({interrupted.by or '--eval-seconds'}): "
                      f"{describe_eval(entry)}", file=sys.stderr)
        if any(entry[name] is not None for name in OPPONENTS):
            trainer.history.append(entry)
        write_metrics(out, {"kind": "eval", **entry, **trainer_stats(trainer)})
        plot_curve(trainer, out / CURVE)
        postfix()

    def log_losses(force: bool = False) -> None:
        nonlocal logged_at, pending
        new = trainer.losses[pending:]
        if not new or (not force and trainer.seconds - logged_at < log_every):
            return
        write_metrics(out, {"kind": "train", "iteration": trainer.iteration, "minutes": trainer.seconds / 60,
                            "wall_minutes": trainer.wall_s / 60, "steps": trainer.train_steps,
                            **{k: float(np.mean([l[k] for l in new])) for k in ("policy", "value", "material")
                               if k in new[-1]},
                            "games": trainer.player.stats["games"], "buffer": trainer.buffer.size})
        logged_at, pending = trainer.seconds, len(trainer.losses)

    first = True
    lost: ActorDied | None = None  # self-play that could not go on: the run saves what it holds and stops
    try:
        with interrupted:
            while not done():
                if cfg.eval_every > 0 and trainer.seconds - trainer.last_eval >= cfg.eval_every * 60:
                    log_eval()
                    if done():
                        break
                started = time.perf_counter()
                if remote is not None:
                    samples = remote.collect()
                    kept = remote.kept
                else:
                    samples = trainer.player.play(trainer.playing_net, cfg.plies_per_iter, trainer.adjudication())
                    kept = trainer.player.kept
                trained = len(trainer.losses)
                trainer.iterate(samples, remote.waiting if remote is not None and cfg.train_while_waiting else None)
                if remote is not None:
                    remote.publish()
                elapsed = time.perf_counter() - started
                trainer.seconds += elapsed
                tick()
                if len(trainer.losses) > trained:
                    trainer.losses[-1].update(games=trainer.player.stats["games"], wall_minutes=trainer.wall_s / 60)
                save_games(out / SELFPLAY_GAMES, kept[: cfg.keep_games])
                log_losses()
                bar.update(min(round(trainer.seconds), round(budget)) - bar.n)
                postfix()
                if first or trainer.seconds - trainer.last_checkpoint >= cfg.checkpoint_every * 60:
                    first = False
                    trainer.last_checkpoint = trainer.seconds
                    save()
    except ActorDied as e:
        lost = e
    except BaseException:  # a second Ctrl-C, a full disk: the actors end with the run
        if remote is not None:
            remote.close()
        raise
    finally:
        bar.close()
    stopped_by = interrupted.by
    if remote is not None:
        remote.keep_states()
        remote.close()
        remote = None
    if cfg.eval_every > 0 and stopped_by is None and lost is None:
        with CtrlC("Ctrl-C: ending the last evaluation now and saving (Ctrl-C again: stop at once)") as last:
            interrupted = last
            log_eval()
    log_losses(force=True)
    tick()
    trainer.save(out)
    plot_curve(trainer, out / CURVE)
    stats = trainer_stats(trainer)
    write_metrics(out, {"kind": "end", **stats, "stopped_by": stopped_by or ("self-play failure" if lost else None),
                        "saved": True})
    print(summary(trainer, stats))
    if lost is not None:
        raise lost
    return trainer
