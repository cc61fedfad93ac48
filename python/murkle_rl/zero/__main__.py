"""``python -m murkle_rl.zero``: the murkle-zero command."""

import sys

from .cli import run

if __name__ == "__main__":
    sys.exit(run())
