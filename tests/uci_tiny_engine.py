"""A tiny UCI engine for the match tests, on every board size.

Modes (first argument): ``first`` plays the first legal move by murkle_chess; ``illegal`` plays a
move no position allows (its king's square to itself); ``crash`` exits at the first ``go``;
``latin1`` plays as ``first`` with Latin-1 bytes in its ``id author`` and info lines; ``flood``
plays as ``first`` after 100,000 info lines per move; ``once FILE`` plays as ``first`` but exits
when its second game starts, and once FILE exists (it makes it) does not start again.
"""

import os
import sys

import murkle_chess
from murkle_rl.zero.uci import board_size_of_fen, new_game

mode = sys.argv[1] if len(sys.argv) > 1 else "first"
if mode == "once":
    if os.path.exists(sys.argv[2]):
        sys.exit(4)
    open(sys.argv[2], "w").close()
games = 0
game = None
for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    if words[0] == "uci":
        print("id name tiny-" + mode)
        if mode == "latin1":
            sys.stdout.flush()
            sys.stdout.buffer.write(b"id author Ren\xe9 M\xfcller\n")
        print("option name Unused type spin default 1 min 1 max 9")
        print("uciok")
    elif words[0] == "ucinewgame":
        games += 1
        if mode == "once" and games == 2:
            sys.exit(3)
    elif words[0] == "isready":
        print("readyok")
    elif words[0] == "position":
        moves = words[words.index("moves") + 1:] if "moves" in words else []
        start = words[1:words.index("moves")] if "moves" in words else words[1:]
        fen = murkle_chess.Game.standard().to_fen() if start[0] == "startpos" else " ".join(start[1:])
        w, h = board_size_of_fen(fen)
        game = new_game(w, h, fen)
        for lan in moves:
            game.make_move(next(m for m in game.legal_moves() if m.to_lan() == lan))
    elif words[0] == "go":
        if mode == "crash":
            sys.exit(3)
        legal = game.legal_moves()
        if mode == "flood":
            sys.stdout.write("info depth 1 score cp 0 nodes 1 pv a1a2 and some words to make it longer\n" * 100000)
        elif mode == "latin1":
            sys.stdout.flush()
            sys.stdout.buffer.write(b"info string caf\xe9\n")
        if mode == "illegal":
            print("bestmove a1a1")
        else:
            print("bestmove " + (legal[0].to_lan() if legal else "(none)"))
    elif words[0] == "quit":
        break
    sys.stdout.flush()
