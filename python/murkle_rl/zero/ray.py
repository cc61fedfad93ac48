"""Self-play on Ray actors, and :func:`init_ray`, which starts Ray or joins a cluster.

Ray is imported only when used (``pip install 'murkle_chess[ray]'``), PyTorch only by the
actors and the trainer's side, so ``init_ray`` serves scripts without either.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any

import numpy as np

from .config import Config

STARTUP_TIMEOUT = "timed out during startup"


def init_ray(address: str | None, num_cpus: int, attempts: int = 3) -> None:
    """Joins the Ray cluster at ``address``, or starts a local one of ``num_cpus``.

    Ray gives a new local node 30 seconds to register its raylet and raises a bare ``Exception``
    when it misses that deadline, which a loaded machine sometimes does. A local start that
    times out is tried again, ``attempts`` times in all; anything else is raised as it is.
    """
    import ray

    if ray.is_initialized():
        return
    if address is not None:
        ray.init(address=address)
        return
    for attempt in range(1, attempts + 1):
        try:
            ray.init(num_cpus=num_cpus, include_dashboard=False)
            return
        except Exception as e:
            if STARTUP_TIMEOUT not in str(e) or attempt == attempts:
                raise
            # What the failed start left running shares this process's fate; the next start
            # takes new ports, so it does not collide with it.
            print(f"Ray's local node did not start in time (attempt {attempt} of {attempts}); "
                  "starting it again", file=sys.stderr, flush=True)
            ray.shutdown()


class RaySelfPlay:
    """Self-play on Ray actors: each owns a SelfPlayer and a copy of the network; the driver
    collects their finished games and sends new weights after each training round."""

    def __init__(self, cfg: Config, args: argparse.Namespace, trainer: Any) -> None:
        try:
            import ray
        except ModuleNotFoundError:
            sys.exit("--ray needs Ray: pip install 'murkle_chess[ray]'")

        self.ray = ray
        init_ray(args.address, num_cpus=max(args.workers, 1))
        self.trainer = trainer
        self.kept: list[Any] = []  # the game records the last collected actor kept
        actor: Any = ray.remote(num_cpus=1)(RayActor)
        saved = trainer.ray_players  # a resumed run goes on with the games its actors had in flight
        self.actors: list[Any] = [actor.remote(cfg, cfg.seed * 1000 + 1 + w, saved[w] if w < len(saved) else None)
                       for w in range(args.workers)]
        self.weights = ray.put(self.trainer.net.state_dict())
        self.pending: dict[Any, Any] = {a.play.remote(self.weights, cfg.plies_per_iter): a for a in self.actors}

    def collect(self) -> dict[str, np.ndarray]:
        """The samples of the first actor to finish its moves; it starts on the next ones."""
        [ref], _ = self.ray.wait(list(self.pending), num_returns=1)
        actor = self.pending.pop(ref)
        samples, stats, self.kept = self.ray.get(ref)
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
    """One Ray actor's self-play: a SelfPlayer and its own copy of the network."""

    def __init__(self, cfg: Config, seed: int, state: dict[str, Any] | None = None) -> None:
        from .network import make_net, use_threads
        from .selfplay import SelfPlayer

        use_threads(cfg.torch_threads or 1)  # an actor has one core
        self.cfg = cfg
        self.net = make_net(cfg)
        self.player = SelfPlayer(cfg, seed) if state is None else SelfPlayer.from_state(cfg, state)

    def state(self) -> dict[str, Any]:
        return self.player.state()

    def play(self, weights: dict[str, Any], plies: int) -> tuple[dict[str, np.ndarray], dict[str, Any], list[Any]]:
        self.net.load_state_dict(weights)
        before = dict(self.player.stats)
        samples = self.player.play(self.net, plies)
        return samples, {k: v - before[k] for k, v in self.player.stats.items()}, self.player.kept
