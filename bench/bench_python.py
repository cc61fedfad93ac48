#!/usr/bin/env python3
"""murkle_chess against python-chess on 8x8, and the input planes against a list-building floor.

First the self-play ply (legal actions, apply a random one, is the game over?) of murkle_chess,
python-chess and, when installed, OpenSpiel, each playing its own random games from the same
seed.

Both libraries work on the same positions: random games are played with python-chess, and
every position reached is set up in both (murkle_chess by replaying the moves, so each game
keeps its history). Each operation runs over all positions, the two libraries taking turns
for --rounds rounds; the median ratio with its smallest and largest is what to read, absolute
times on a shared machine are noise.

    PYTHONPATH=build-bench python bench/bench_python.py [--games 40] [--seed 1] [--rounds 5]
"""

import array
import random
import sys

import chess

import murkle_chess
from common import Spread, cpu_line, game_arguments, ns_per_call, paired_ns, random_games


def build_positions(games):
    """The positions of the games in both libraries: (murkle game, chess board, ply)."""
    positions = []
    for moves in games:
        game = murkle_chess.Game.standard()
        board = chess.Board()
        positions.append((game.clone(), board.copy(), 0))
        for ply, uci in enumerate(moves, 1):
            if not game.make_move(game.move_from_lan(uci)):
                sys.exit(f"murkle_chess refused {uci} in {game.to_fen()}")
            board.push_uci(uci)
            positions.append((game.clone(), board.copy(), ply))
    return positions


def check_agreement(positions):
    """The two libraries must be answering the same question: compare a few results once."""
    bad = 0
    for game, board, _ in positions:
        ours = sorted(m.to_lan() for m in game.legal_moves())
        theirs = sorted(m.uci() for m in board.legal_moves)
        if ours != theirs or game.is_checkmate() != board.is_checkmate():
            bad += 1
    return bad


def pairs(positions):
    return [(g, b) for g, b, _ in positions]


def bench_rules(positions):
    gb = pairs(positions)
    games = [g for g, _ in gb]
    boards = [b for _, b in gb]
    our_moves = [(g, g.legal_moves()) for g in games]
    their_moves = [(b, list(b.legal_moves)) for b in boards]

    def ours_legal():
        for g in games:
            g.legal_moves()
        return len(games)

    def theirs_legal():
        for b in boards:
            list(b.legal_moves)
        return len(boards)

    def ours_make_unmake():
        n = 0
        for g, moves in our_moves:
            for m in moves:
                g.make_move(m)
                g.unmake_move()
            n += len(moves)
        return n

    def theirs_make_unmake():
        n = 0
        for b, moves in their_moves:
            for m in moves:
                b.push(m)
                b.pop()
            n += len(moves)
        return n

    def ours_checkmate():
        for g in games:
            g.is_checkmate()
        return len(games)

    def theirs_checkmate():
        for b in boards:
            b.is_checkmate()
        return len(boards)

    def ours_over():
        for g in games:
            g.is_over()
        return len(games)

    def theirs_over():
        for b in boards:
            b.is_game_over()
        return len(boards)

    def ours_fen():
        for g in games:
            g.to_fen()
        return len(games)

    def theirs_fen():
        for b in boards:
            b.fen()
        return len(boards)

    return [
        ("legal moves", "legal_moves()", "list(legal_moves)", ours_legal, theirs_legal),
        ("make + unmake (per move)", "make_move+unmake_move", "push+pop",
         ours_make_unmake, theirs_make_unmake),
        ("is_checkmate", "is_checkmate()", "is_checkmate()", ours_checkmate, theirs_checkmate),
        ("game over?", "is_over()", "is_game_over()", ours_over, theirs_over),
        ("FEN", "to_fen()", "fen()", ours_fen, theirs_fen),
    ]


def print_rules(rows, rounds):
    print(f"{'operation':<26} {'murkle_chess':>22} {'python-chess':>22} {'speed-up [min-max]':>22}")
    for name, ours_label, theirs_label, ours, theirs in rows:
        ns_ours, ns_theirs, ratio = paired_ns(ours, theirs, rounds)
        print(f"{name:<26} {ns_ours:>12,.0f} ns/call {ns_theirs:>14,.0f} ns/call "
              f"{ratio:>22.1f}")
        print(f"{'':<26} {ours_label:>22} {theirs_label:>22}")


def bench_planes(positions, rounds):
    """encode_game_planes on 8x8 with a full history against building a 6,720-float list."""
    full = [g for g, _, ply in positions if ply >= 7]
    fresh = [g for g, _, ply in positions if ply == 0]
    size = murkle_chess.TOTAL_INPUT_PLANES * 8 * 8
    template = full[0].encode_game_planes()[0]
    floats = array.array("f", template)
    reps = max(1, 2000 // len(full))  # enough calls for the cheap floors to time well

    def encode(games):
        def run():
            for _ in range(reps):
                for g in games:
                    g.encode_game_planes()
            return reps * len(games)
        return run

    def floor(make):
        def run():
            for _ in range(reps):
                for _g in full:
                    make()
            return reps * len(full)
        return run

    cases = [
        ("encode_game_planes, 7 earlier positions", encode(full)),
        ("encode_game_planes, no history (start)", encode(fresh)),
        ("[0.0] * 6720", floor(lambda: [0.0] * size)),
        ("list(a planes list)  (copy, shared floats)", floor(lambda: list(template))),
        ("list(array('f', planes))  (a float each)", floor(lambda: list(floats))),
    ]
    # The cases take turns, round by round; each is compared with the first in its own round.
    costs = {name: [] for name, _ in cases}
    for _ in range(rounds):
        for name, fn in cases:
            costs[name].append(ns_per_call(fn))
    base = costs[cases[0][0]]
    print(f"\ninput planes on 8x8 ({size:,} floats per call; {len(full)} positions with "
          f"full history; {rounds} rounds)")
    print(f"{'':<46} {'ns/call':>12} {'encode / this [min-max]':>24}")
    for name, ns in costs.items():
        ratio = Spread(b / a for a, b in zip(ns, base))
        print(f"{name:<46} {Spread(ns).median:>12,.0f} {ratio:>24.2f}")


# ----------------------------------------------------------------------------- self-play ply

PLY_TARGETS = {"python-chess": 30.0, "OpenSpiel": 3.0}


def murkle_selfplay(games, max_plies, seed):
    rng = random.Random(seed)
    plies = 0
    for _ in range(games):
        g = murkle_chess.Game.standard()
        for _ in range(max_plies):
            actions = g.legal_action_indices()
            g.apply_action(actions[rng.randrange(len(actions))])
            plies += 1
            if g.is_over():
                break
    return plies


def chess_selfplay(games, max_plies, seed):
    rng = random.Random(seed)
    plies = 0
    for _ in range(games):
        board = chess.Board()
        for _ in range(max_plies):
            moves = list(board.legal_moves)
            board.push(moves[rng.randrange(len(moves))])
            plies += 1
            if board.is_game_over():
                break
    return plies


def openspiel_selfplay(spiel_game):
    def run(games, max_plies, seed):
        rng = random.Random(seed)
        plies = 0
        for _ in range(games):
            state = spiel_game.new_initial_state()
            for _ in range(max_plies):
                actions = state.legal_actions()
                state.apply_action(actions[rng.randrange(len(actions))])
                plies += 1
                if state.is_terminal():
                    break
        return plies
    return run


def bench_ply(args):
    """ns per self-play ply: legal actions, apply a random one, game over?"""
    peers = [("python-chess", "list(legal_moves) push is_game_over", chess_selfplay)]
    try:
        import pyspiel
        peers.append(("OpenSpiel", "legal_actions apply_action is_terminal",
                      openspiel_selfplay(pyspiel.load_game("chess"))))
    except ImportError:
        print("(OpenSpiel not installed: pip install open_spiel)")
    games = max(1, args.games // 2)

    def plies(fn):
        return lambda: fn(games, args.max_plies, args.seed)

    print(f"self-play ply on 8x8, {games} random games of up to {args.max_plies} plies each; "
          f"{args.rounds} interleaved rounds per peer")
    print(f"{'library':<14} {'calls per ply':<40} {'ns/ply':>10} {'murkle speed-up [min-max]':>26}")
    for name, calls, fn in peers:
        ours, theirs, ratio = paired_ns(plies(murkle_selfplay), plies(fn), args.rounds)
        target = PLY_TARGETS[name]
        verdict = "reached" if ratio.median >= target else f"below {target:g}x"
        print(f"{'murkle_chess':<14} {'legal_action_indices apply_action is_over':<40} {ours:>10,.0f}")
        print(f"{name:<14} {calls:<40} {theirs:>10,.0f} {ratio:>26.1f}  target {target:g}x: {verdict}")
    print()


def main(argv=None):
    args = game_arguments(__doc__, 40).parse_args(argv)
    print(cpu_line())
    bench_ply(args)

    rng = random.Random(args.seed)
    games = random_games(args.games, args.max_plies, rng)
    positions = build_positions(games)
    bad = check_agreement(positions)
    print(f"murkle_chess vs python-chess {chess.__version__} on 8x8: {len(games)} random games, "
          f"{len(positions):,} positions, {args.rounds} interleaved rounds; Python "
          f"{sys.version.split()[0]}")
    if bad:
        print(f"WARNING: the libraries disagree on {bad} positions (legal moves or checkmate)")
    print()
    print_rules(bench_rules(positions), args.rounds)
    bench_planes(positions, args.rounds)


if __name__ == "__main__":
    main()
