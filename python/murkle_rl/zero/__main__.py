"""``python -m murkle_rl.zero``: the murkle-zero command."""

from .cli import main

main()
