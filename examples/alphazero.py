#!/usr/bin/env python3
"""AlphaZero on any board size, on a CPU: the trainer of the installed package murkle_rl.zero,
the ``murkle-zero`` command, run as a script with the same command line.

    python examples/alphazero.py --width 6 --height 6 --minutes 30 --out runs/6x6
    python examples/alphazero.py evaluate --checkpoint runs/6x6 --games 100 --simulations 200

``murkle-zero --help`` (or ``python -m murkle_rl.zero --help``) describes every command.
Needs PyTorch, tqdm and matplotlib: ``pip install 'murkle_chess[train]'``.
"""

from murkle_rl.zero.cli import main

if __name__ == "__main__":
    main()
