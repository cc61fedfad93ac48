"""A run's report, read from its ``metrics.jsonl``: the summary in words and the curve as a PNG.

The learner only writes records (:class:`MetricsLog`: one JSON object a line, and the same
scalars to TensorBoard with ``--tensorboard DIR``); everything a person reads is made here, from
those records alone, so ``murkle-zero report RUN`` tells about a run while it trains, after it
ends, or on another machine. No PyTorch here; matplotlib only to draw.

The records, by their ``kind``:

- ``start``: the run's configuration (``config``), written when a run starts or resumes;
- ``train``: the mean losses of the training steps since the last record, at ``minutes`` of
  training clock, with ``games`` played so far;
- ``eval``: an evaluation's scores against each mover (``random``, ``greedy``, with
  ``*_result`` counts) and the run's counts at that moment;
- ``end``: the run's closing counts and times.
"""

from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any, Iterable

import numpy as np

from .disk import writing

__all__ = ["METRICS", "CURVE", "MetricsLog", "read_metrics", "records_of_checkpoint", "RunReport", "plot_curve",
           "summary", "describe_eval"]

METRICS = "metrics.jsonl"
CURVE = "curve.png"
OPPONENTS = ("random", "greedy")


class MetricsLog:
    """Appends records to ``out/metrics.jsonl``, and their numbers to TensorBoard under
    ``tensorboard`` when given (needs the ``tensorboard`` package)."""

    def __init__(self, out: Path, tensorboard: str | Path | None = None) -> None:
        self.path = Path(out) / METRICS
        self.writer: Any = None
        if tensorboard:
            try:
                from torch.utils.tensorboard import SummaryWriter
            except ImportError as e:
                raise ValueError("--tensorboard needs the tensorboard package: pip install 'murkle_chess[tensorboard]' "
                                 f"({e})") from None
            self.writer = SummaryWriter(str(tensorboard))

    def write(self, record: dict[str, Any]) -> None:
        with writing(self.path, "the lines before stand"), open(self.path, "a", encoding="utf-8") as f:
            f.write(json.dumps(record) + "\n")
        if self.writer is not None and record.get("kind") in ("train", "eval"):
            step = int(record.get("steps", record.get("train_steps", 0)) or 0)
            for key, value in record.items():
                if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
                    self.writer.add_scalar(f"{record['kind']}/{key}", value, step)
            self.writer.flush()

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()
            self.writer = None


def read_metrics(path: str | Path) -> list[dict[str, Any]]:
    """The records of a run directory's (or a file's) metrics, skipping a torn last line."""
    path = Path(path)
    if path.is_dir():
        path = path / METRICS
    records = []
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        try:
            record = json.loads(line)
        except json.JSONDecodeError:  # a line cut by a crash while it was written
            continue
        if isinstance(record, dict):
            records.append(record)
    return records


def records_of_checkpoint(state: dict[str, Any]) -> list[dict[str, Any]]:
    """The records a run older than its metrics keeps in its checkpoint: its configuration, the
    losses and evaluations of its curve, its clock."""
    config = state.get("config") or {}
    out: list[dict[str, Any]] = [{"kind": "start", "config": config}]
    out += [{"kind": "train", **loss} for loss in state.get("losses") or []]
    out += [{"kind": "eval", **entry} for entry in state.get("history") or []]
    out.append({"kind": "end", "minutes": (state.get("seconds") or 0.0) / 60,
                "wall_minutes": (state.get("wall_s") or 0.0) / 60, "iteration": state.get("iteration", 0)})
    return out


class RunReport:
    """A run as its records tell it: configuration, losses, evaluations, latest counts."""

    def __init__(self, records: Iterable[dict[str, Any]]) -> None:
        self.config: dict[str, Any] = {}
        self.losses: list[dict[str, Any]] = []
        self.evals: list[dict[str, Any]] = []
        self.stats: dict[str, Any] = {}
        self.ended = False
        for r in records:
            kind = r.get("kind")
            if kind == "start":
                self.config = dict(r.get("config") or {})
                self.ended = False
            elif kind == "train":
                self.losses.append(r)
            elif kind == "eval":
                self.evals.append(r)
                self.stats = r
            elif kind == "end":
                self.stats = r
                self.ended = True
        if self.losses:  # the latest loss line tells the clock and the games where it is newer
            last = self.losses[-1]
            newer = last.get("minutes", 0) > self.stats.get("minutes", -1)
            latest: dict[str, Any] = {k: last[k] for k in ("minutes", "wall_minutes", "iteration", "games") if k in last}
            self.stats = {**self.stats, **latest} if newer else {**latest, **self.stats}

    @property
    def minutes(self) -> float:
        return float(self.stats.get("minutes", 0.0))

    def title(self) -> str:
        c = self.config
        if not c:
            return "AlphaZero run"
        return (f"AlphaZero on {c.get('width')}x{c.get('height')}: {c.get('channels')}x{c.get('blocks')} net, "
                f"{c.get('simulations')} simulations in self-play")


def percent(x: float | None) -> str:
    return "-" if x is None else f"{x:.0%}"


def describe_eval(entry: dict[str, Any]) -> str:
    """An evaluation in one line: each opponent's score and results."""
    parts = []
    for name in OPPONENTS:
        r = entry.get(name + "_result")
        if r is None:
            continue
        parts.append(f"vs {name} {percent(entry.get(name))} ({r['wins']} wins, {r['draws']} draws, "
                     f"{r['losses']} losses)")
    return ", ".join(parts) + (" [cut short]" if entry.get("stopped") else "")


def summary(report: RunReport) -> str:
    """The run in a few lines: budget and games, results, where the time went, last evaluation."""
    s = report.stats
    if not s:
        return "no record yet"
    games, minutes = int(s.get("games", 0)), float(s.get("minutes", 0.0))
    lines = [f"{minutes:.1f} minutes, {s.get('iteration', 0)} iterations: {games} self-play games "
             f"({games / minutes if minutes else 0:.0f} per minute)"
             + (f", {s['moves']} moves" if "moves" in s else "")
             + (f", {s['train_steps']} training steps" if "train_steps" in s else "")
             + ("" if report.ended else " (still running, or stopped without its closing record)")]
    if games and "white_wins" in s:
        lines.append(f"results: {s['white_wins']} White wins, {s['black_wins']} Black wins, {s['draws']} draws "
                     f"({s['capped']} at the ply cap), {s['plies'] / games:.0f} plies per game")
    if report.config.get("resign") or s.get("resigned") or s.get("resign_checks"):
        checked = s["resign_checks"]
        lines.append(f"resignations: {s['resigned']} games resigned; of {checked} games played on past a "
                     f"resignation, {s['resign_false']} ({s['resign_false'] / max(checked, 1):.0%}) were not lost "
                     f"by the side that would have resigned, {s['resign_false_capped']} of them drawn at the ply cap")
    if "search_s" in s:
        total = minutes * 60 or 1.0
        # Actors play side by side, each on its clock: their times are summed in the counts, and
        # said here as one actor's average share of the run's clock.
        actors = max(1, int(s.get("actors", 1) or 1))
        search, network = s["search_s"] / actors, s["network_s"] / actors
        each = f" (per actor, the average of {actors})" if actors > 1 else ""
        lines.append(f"time: search{each} {search:.0f} s ({search / total:.0%}), network in self-play{each} "
                     f"{network:.0f} s ({network / total:.0%}, {s['positions']} positions in all), "
                     f"training {s.get('train_s', 0):.0f} s ({s.get('train_s', 0) / total:.0%}); "
                     f"wall time {s.get('wall_minutes', 0):.1f} minutes")
    scored = [e for e in report.evals if any(e.get(n) is not None for n in OPPONENTS)]
    if scored:
        lines.append(f"last evaluation ({scored[-1].get('simulations')} simulations): {describe_eval(scored[-1])}")
    return "\n".join(lines)


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


def plot_curve(report: RunReport, path: str | Path, final: dict[str, Any] | None = None) -> None:
    """The run in four panels against minutes of training clock: policy loss, value loss,
    self-play games per minute, evaluation scores (``final``, an evaluation of the last network,
    as stars at the end)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    losses, c = report.losses, report.config
    clock = report.minutes
    fig, axes = plt.subplots(2, 2, figsize=(11, 7), sharex=True)
    (ax_p, ax_v), (ax_g, ax_s) = axes
    t = np.array([r["minutes"] for r in losses], float)
    for ax, key, label, colour in ((ax_p, "policy", "policy loss (cross-entropy)", "C2"),
                                   (ax_v, "value", "value loss (squared error)", "C3")):
        y = np.array([r.get(key, math.nan) for r in losses], float)
        if len(y) and not np.isnan(y).all():
            many = len(y) > 20
            ax.plot(t, y, "-", color=colour, alpha=0.35 if many else 1.0, marker="" if many else "o")
            if many:  # a running mean over a twentieth of the points
                k = max(2, len(y) // 20)
                ax.plot(t[k - 1:], np.convolve(y, np.ones(k) / k, "valid"), "-", color=colour)
            ax.set_ylim(0, max(float(np.nanmax(y)) * 1.1, 1e-3))
        else:
            ax.text(0.5, 0.5, "no training step yet", ha="center", va="center", transform=ax.transAxes)
        ax.set_title(label, fontsize=10)
    g = np.array([r.get("games", math.nan) for r in losses], float)
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
        points = [(e["minutes"], 100 * e[name]) for e in report.evals if e.get(name) is not None]
        if points:
            scored = True
            xs, ys = zip(*points)
            ax_s.plot(xs, ys, style, color=colour, label=f"vs {name} mover")
        if final is not None and final.get(name) is not None:
            scored = True
            ax_s.plot([clock], [100 * final[name]], "*", color=colour, markersize=14,
                      label=f"vs {name}: {final.get('games')} games, {final.get('simulations')} simulations")
    if scored:
        ax_s.legend(loc="lower right", fontsize=8)
    else:
        ax_s.text(0.5, 0.5, "no evaluation yet" if c.get("eval_every", 1) else "no evaluations (--eval-every 0)",
                  ha="center", va="center", transform=ax_s.transAxes)
    ax_s.set_ylim(0, 102)
    ax_s.set_title(f"score % (wins + ½ draws), {c.get('eval_games', '?')} games per opponent, "
                   f"{c.get('eval_simulations', '?')} simulations", fontsize=10)
    right = max(clock, float(t.max()) if len(t) else 0.0, 0.05) * 1.03
    for ax in axes.flat:
        ax.set_xlim(0, right)
        ax.grid(alpha=0.3)
    for ax in axes[1]:
        ax.set_xlabel("training clock, minutes (self-play + learning)")
    fig.suptitle(f"{report.title()}\n{clock:.1f} minutes of training clock, "
                 f"{float(report.stats.get('wall_minutes', 0.0)):.1f} minutes of wall time "
                 f"(evaluations and saving included), {report.stats.get('iteration', 0)} iterations")
    fig.tight_layout()
    try:
        with writing(path):
            fig.savefig(path, dpi=100)
    finally:
        plt.close(fig)
