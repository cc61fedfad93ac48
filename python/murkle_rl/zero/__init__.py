"""murkle-zero: an AlphaZero trainer and agent over murkle_rl, as a package and a command.

The command ``murkle-zero`` (or ``python -m murkle_rl.zero``) trains an agent, evaluates it,
speaks UCI and plays matches against UCI engines. PyTorch is imported only by the modules that
need it (``pip install 'murkle_chess[train]'``); the UCI protocol, the match runner and the
browser page import without it.
"""
