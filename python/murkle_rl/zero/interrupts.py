"""Stopping a long command cleanly: the first Ctrl-C (or SIGTERM) asks, the second insists."""

from __future__ import annotations

import signal
import sys
import threading
from typing import Any

__all__ = ["CtrlC"]


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
