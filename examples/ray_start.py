"""How the examples start Ray: join the cluster at ``address``, or start a local one, trying a
local start that times out again. The helper lives in the trainer's package."""

from murkle_rl.zero.ray import STARTUP_TIMEOUT, init_ray

__all__ = ["STARTUP_TIMEOUT", "init_ray"]
