"""How the examples start Ray: join the cluster at ``address``, or start a local one.

Ray gives a new local node 30 seconds to register its raylet and raises a bare ``Exception``
when it misses that deadline, which a loaded machine sometimes does. A local start that times
out is tried again; anything else is raised as it is.
"""

from __future__ import annotations

import sys

import ray

STARTUP_TIMEOUT = "timed out during startup"


def init_ray(address: str | None, num_cpus: int, attempts: int = 3) -> None:
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
