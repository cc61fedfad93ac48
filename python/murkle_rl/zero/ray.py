"""Self-play on Ray actors, and :func:`init_ray`, which starts Ray or joins a cluster.

Ray is imported only when used (``pip install 'murkle_chess[ray]'``), PyTorch only by the
actors and the trainer's side, so ``init_ray`` serves scripts without either.
"""

from __future__ import annotations

import os
import sys
import time
import warnings
from typing import Any

import numpy as np

from .actors import MAX_RESTARTS, ActorDied, SelfPlayActor, actor_configs, add_counts, numpy_weights, play_args
from .config import Config

STARTUP_TIMEOUT = "timed out during startup"
UNAVAILABLE_S = 300  # seconds an actor may take to come back on another node


def init_ray(address: str | None, num_cpus: int, attempts: int = 3) -> None:
    """Joins the Ray cluster at ``address``, or starts a local one of ``num_cpus`` for this run
    alone (a cluster someone else started on the machine is not joined).

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
            # "local": a Ray of this run's own, never another user's cluster found on the machine
            ray.init(address="local", num_cpus=num_cpus, include_dashboard=False)
            return
        except Exception as e:
            if STARTUP_TIMEOUT not in str(e) or attempt == attempts:
                raise
            # What the failed start left running shares this process's fate; the next start
            # takes new ports, so it does not collide with it.
            print(f"Ray's local node did not start in time (attempt {attempt} of {attempts}); "
                  "starting it again", file=sys.stderr, flush=True)
            ray.shutdown()


class RayActor(SelfPlayActor):
    """A self-play actor on Ray. Ray starts it again when its process or node is lost (up to
    ``MAX_RESTARTS`` times) with the arguments it was first given; one started again plays new
    games (with a seed of its own) rather than the games it began with, which the learner has
    already trained on. The moves it had in flight are played again by the new one."""

    def __init__(self, cfg: Config, seed: int, state: dict[str, Any] | None = None) -> None:
        import ray

        with warnings.catch_warnings():  # Ray's property reads a deprecated one of its own
            warnings.simplefilter("ignore", DeprecationWarning)
            again = ray.get_runtime_context().was_current_actor_reconstructed
        if again:
            # A restart is no more reproducible than the loss that caused it.
            state, seed = None, int.from_bytes(os.urandom(4), "little")
        super().__init__(cfg, seed, state)


class RaySelfPlay:
    """Self-play on Ray actors (:class:`~murkle_rl.zero.actors.SelfPlayActor`), on this machine
    or a cluster, in the shape of :class:`~murkle_rl.zero.actors.ProcessSelfPlay`."""

    def __init__(self, cfg: Config, address: str | None, trainer: Any) -> None:
        try:
            import ray
        except ModuleNotFoundError:
            raise ValueError("--ray needs Ray: pip install 'murkle_chess[ray]'") from None
        self.ray = ray
        init_ray(address, num_cpus=max(cfg.actors, 1))
        self.trainer = trainer
        self.kept: list[Any] = []  # the game records the last collected actor kept
        # A lost actor is started again by Ray, and the call it was answering is made again.
        actor: Any = ray.remote(num_cpus=1, max_restarts=MAX_RESTARTS, max_task_retries=MAX_RESTARTS)(RayActor)
        self.actors: list[Any] = [actor.remote(*a) for a in actor_configs(cfg, trainer, cfg.actors)]
        self.publish()
        self.pending: dict[Any, Any] = {a.play.remote(*self.round): a for a in self.actors}

    def get(self, ref: Any, actor: Any, method: str, *args: Any) -> Any:
        """The answer of ``actor.method(*args)`` already asked as ``ref``. An actor being started
        again (its node lost) is asked again once it is back, for at most ``UNAVAILABLE_S``; one
        lost past its restarts is said as ActorDied."""
        deadline = time.monotonic() + UNAVAILABLE_S
        while True:
            try:
                return self.ray.get(ref)
            except self.ray.exceptions.ActorUnavailableError:
                if time.monotonic() > deadline:
                    raise ActorDied(f"a self-play actor was unavailable for {UNAVAILABLE_S} s: the run stops") from None
                time.sleep(1.0)
                ref = getattr(actor, method).remote(*args)
            except self.ray.exceptions.RayActorError as e:
                reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
                raise ActorDied(f"a self-play actor was lost after {MAX_RESTARTS} restarts: the run stops "
                                f"({reason[:200]})") from None

    def collect(self) -> dict[Any, dict[str, np.ndarray]]:
        """The samples of the first actor to finish its moves; it starts on the next ones."""
        [ref], _ = self.ray.wait(list(self.pending), num_returns=1)
        actor = self.pending.pop(ref)
        samples, stats, self.kept = self.get(ref, actor, "play", *self.round)
        add_counts(self.trainer, stats)
        self.pending[actor.play.remote(*self.round)] = actor
        return samples

    def waiting(self) -> bool:
        """Whether no actor has finished its moves yet (``collect`` would wait)."""
        return not self.ray.wait(list(self.pending), num_returns=1, timeout=0)[0]

    def publish(self) -> None:
        self.round = play_args(self.trainer, self.ray.put(numpy_weights(self.trainer.playing_net)))

    def keep_states(self) -> None:
        """Puts the actors' games in the trainer, for its checkpoint. Each actor answers once
        its current moves are made; their samples reach the buffer after this checkpoint, so a
        run resumed from it misses them but replays no move."""
        states = []
        for actor, ref in [(a, a.state.remote()) for a in self.actors]:
            try:
                states.append(self.get(ref, actor, "state"))
            except ActorDied:  # an actor lost for good leaves its games out; collect says so
                pass
        self.trainer.actor_players = states

    def close(self) -> None:
        for a in self.actors:
            self.ray.kill(a)
        self.ray.shutdown()
