"""Self-play beside the learner: actors, each a MixedPlayer with its own copy of the network, in
child processes (:class:`ProcessSelfPlay`, the default) or on Ray (``murkle_rl.zero.ray``).

While the learner trains on the samples of one round of moves, the actors already play the
next round with the weights of the round before: self-play and training overlap instead of
taking turns, at the cost of weights one round older in self-play.
"""

from __future__ import annotations

import multiprocessing
import signal
import sys
import traceback
from multiprocessing.connection import Connection, wait
from typing import Any, cast

import numpy as np

from .config import Config


class SelfPlayActor:
    """One actor's self-play: a MixedPlayer and its own copy of the network, on one core."""

    def __init__(self, cfg: Config, seed: int, state: dict[str, Any] | None = None) -> None:
        from .network import make_net, use_threads
        from .selfplay import MixedPlayer

        use_threads(cfg.torch_threads or 1)  # an actor has one core
        self.cfg = cfg
        self.net = make_net(cfg)
        self.player = MixedPlayer(cfg, seed) if state is None else MixedPlayer.from_state(cfg, state)

    def state(self) -> dict[str, Any]:
        return self.player.state()

    def play(self, weights: dict[str, Any], plies: int, adjudicate: float, shares: list[float] | None = None,
             ) -> tuple[dict[Any, dict[str, np.ndarray]], dict[str, Any], list[Any]]:
        """Loads ``weights``, plays ``plies`` moves in every game (each size its ``shares`` of
        them; capped games adjudicated at ``adjudicate``): the samples of the games that ended,
        the counts these moves added, and the game records kept."""
        import torch

        # A copy: the weights may come read-only (from Ray's object store), which PyTorch warns of.
        self.net.load_state_dict({k: torch.tensor(v) for k, v in weights.items()})
        before = dict(self.player.stats)
        samples = self.player.play(self.net, plies, adjudicate, shares)
        return samples, {k: v - before.get(k, 0) for k, v in self.player.stats.items()}, self.player.kept


def actor_configs(cfg: Config, trainer: Any, workers: int) -> list[tuple[Config, int, dict[str, Any] | None]]:
    """Each actor's configuration, seed and games in flight. An actor plays on one core; a run
    resumed goes on with the games its actors had in flight, and the first actor of a run that
    played in the learner's process so far takes over those games."""
    from dataclasses import replace

    saved = trainer.actor_players or [trainer.player.state()]
    one_core = replace(cfg, threads=cfg.threads or 1, torch_threads=cfg.torch_threads or 1)
    return [(one_core, cfg.seed * 1000 + 1 + w, saved[w] if w < len(saved) else None) for w in range(workers)]


def numpy_weights(net: Any) -> dict[str, np.ndarray]:
    """The network's weights as NumPy arrays: what crosses to an actor."""
    return {k: v.detach().cpu().numpy() for k, v in net.state_dict().items()}


def play_args(trainer: Any, weights: Any) -> tuple[Any, int, float, list[float]]:
    """What an actor's next ``play`` takes: the weights as shared, the moves of a round, the
    learner's adjudication of capped games now, and each size's share of the moves now."""
    return weights, trainer.cfg.plies_per_iter, trainer.adjudication(), trainer.cfg.size_shares(trainer.progress())


def add_counts(trainer: Any, stats: dict[str, Any]) -> None:
    """Adds what an actor's moves counted to the trainer's player, which stays idle."""
    for k, v in stats.items():
        trainer.player.stats[k] += v


class ActorDied(RuntimeError):
    """Self-play cannot go on: an actor failed, or actors died more often than they are replaced."""


class ActorLost(Exception):
    """A self-play process ended (killed, out of memory): it is replaced."""


# Self-play processes that may die in a run, each replaced by a new one, before the run stops.
MAX_RESTARTS = 3
# What the learner handles and the actors leave to it: it stops them once it has saved.
STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def serve(conn: Connection, cfg: Config, seed: int, state: dict[str, Any] | None) -> None:
    """A child process's loop: answers ("play", weights, plies, adjudicate, shares) and ("state",) until ("stop",).
    Ctrl-C and SIGTERM are the learner's to handle: it stops the run, then this process."""
    for s in STOP_SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    try:
        actor = SelfPlayActor(cfg, seed, state)
        while True:
            request = conn.recv()
            if request[0] == "stop":
                return
            conn.send(("ok", actor.play(*request[1:]) if request[0] == "play" else actor.state()))
    except (EOFError, ConnectionError, KeyboardInterrupt):  # the learner is gone
        return
    except BaseException:
        conn.send(("error", traceback.format_exc()))


class ProcessSelfPlay:
    """Self-play in ``workers`` child processes. ``collect`` returns the samples of the first
    actor to finish its moves and sends it the next ones with the weights ``publish`` last
    shared; ``keep_states`` puts the actors' games in the trainer for its checkpoint.

    A process that dies (killed, out of memory) is replaced by a new one with new games: the
    moves it had in flight are lost, nothing else. After ``MAX_RESTARTS`` replacements the next
    death raises ActorDied. An actor that fails with an error raises ActorDied at once (it would
    fail again)."""

    def __init__(self, cfg: Config, trainer: Any, workers: int) -> None:
        self.context = multiprocessing.get_context("spawn")  # no fork of a process that runs thread pools
        self.trainer = trainer
        self.kept: list[Any] = []
        self.ready: dict[Connection, Any] = {}  # answers already read (by keep_states) and not yet collected
        self.conns: list[Connection] = []
        self.processes: list[Any] = []
        self.restarts = 0
        self.given_up = False
        configs = actor_configs(cfg, trainer, workers)
        self.config, self.next_seed = configs[0][0], configs[-1][1] + 1
        for _, seed, state in configs:
            self.start(seed, state)
        self.publish()
        for conn in self.conns:
            conn.send(("play", *self.round))
        self.busy = set(self.conns)

    def start(self, seed: int, state: dict[str, Any] | None, at: int | None = None) -> Connection:
        """Starts an actor process (in place of actor ``at``, or as a new one); returns its end of the pipe."""
        here, there = self.context.Pipe()
        process = self.context.Process(target=serve, args=(there, self.config, seed, state), daemon=True,
                                       name="murkle-zero self-play")
        # A child starts with Ctrl-C and SIGTERM held back until it ignores them (the mask outlives
        # exec), so a signal at the terminal while it is still starting cannot kill it; the
        # learner's own are delivered once the child is started.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        try:
            process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        there.close()
        if at is None:
            self.conns.append(here)
            self.processes.append(process)
        else:
            self.conns[at], self.processes[at] = here, process
        return here

    def replace(self, conn: Connection) -> Connection | None:
        """Starts a new actor with new games in place of the dead one on ``conn``; None once
        given up (while keeping states after ActorDied). Raises ActorDied past MAX_RESTARTS."""
        at = self.conns.index(conn)
        dead = self.processes[at]
        dead.join(timeout=10)
        code = dead.exitcode
        conn.close()
        self.busy.discard(conn)
        self.ready.pop(conn, None)
        if self.given_up:
            return None
        if self.restarts >= MAX_RESTARTS:
            self.given_up = True
            raise ActorDied(f"a self-play process died (exit code {code}) after {MAX_RESTARTS} others were "
                            "replaced: the run stops")
        self.restarts += 1
        print(f"a self-play process died (exit code {code}): a new one takes its place with new games "
              f"({self.restarts} of {MAX_RESTARTS} replacements)", file=sys.stderr, flush=True)
        self.next_seed += 1
        return self.start(self.next_seed, None, at)

    def answer(self, conn: Connection) -> Any:
        """An actor's answer; raises ActorLost when its process is gone, ActorDied when it failed."""
        try:
            kind, value = conn.recv()
        except (EOFError, OSError):
            raise ActorLost from None
        if kind == "error":
            self.given_up = True  # no process takes its place: the run stops
            raise ActorDied("a self-play process failed:\n" + value)
        return value

    def ask(self, conn: Connection, *request: Any) -> None:
        try:
            conn.send(request)
        except OSError:  # its process is gone: the next answer says so
            pass

    def collect(self) -> dict[Any, dict[str, np.ndarray]]:
        """The samples of the first actor to finish; it starts on the next moves at once."""
        while True:
            conn = next(iter(self.ready), None) or cast(Connection, wait(self.busy)[0])
            try:
                samples, stats, self.kept = self.ready.pop(conn) if conn in self.ready else self.answer(conn)
                break
            except ActorLost:
                new = self.replace(conn)
                if new is not None:
                    self.ask(new, "play", *self.round)
                    self.busy.add(new)
        self.busy.discard(conn)
        add_counts(self.trainer, stats)
        self.ask(conn, "play", *self.round)
        self.busy.add(conn)
        return samples

    def waiting(self) -> bool:
        """Whether no actor has finished its moves yet (``collect`` would wait)."""
        return not self.ready and not any(conn.poll() for conn in self.busy)

    def publish(self) -> None:
        """Shares the learner's weights and its adjudication of capped games with the next moves."""
        self.round = play_args(self.trainer, numpy_weights(self.trainer.playing_net))

    def keep_states(self) -> None:
        """Puts the actors' games in the trainer, for its checkpoint. An actor answers once its
        current moves are made; their samples reach the buffer after this checkpoint, so a run
        resumed from it misses them but replays no move. An actor found dead is replaced (its
        new games are kept); once given up, it is left out."""
        for conn in list(self.busy):
            self.busy.discard(conn)
            try:
                self.ready[conn] = self.answer(conn)
            except ActorLost:
                self.replace(conn)  # a new actor, idle: it is asked for its games below
        states = []
        for at in range(len(self.conns)):
            while not self.conns[at].closed:
                conn = self.conns[at]
                self.ask(conn, "state")
                try:
                    states.append(self.answer(conn))
                    break
                except ActorLost:
                    self.replace(conn)
        for conn in self.conns:  # new actors start on their moves
            if not conn.closed and conn not in self.ready and conn not in self.busy:
                self.ask(conn, "play", *self.round)
                self.busy.add(conn)
        self.trainer.actor_players = states

    def close(self) -> None:
        """Ends the processes; an actor still playing is stopped (keep its games first)."""
        for conn, process in zip(self.conns, self.processes):
            if conn in self.busy or conn.closed:
                process.kill()
            else:
                try:
                    conn.send(("stop",))
                except OSError:
                    process.kill()
        for process in self.processes:
            process.join(timeout=10)
            if process.is_alive():
                process.kill()
        for conn in self.conns:
            conn.close()
