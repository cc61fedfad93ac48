#!/usr/bin/env python3
"""murkle_chess against OpenSpiel's chess game on 8x8: the calls a self-play loop makes.

Random games are played with python-chess; every position reached is set up in both
libraries by replaying the moves. Each case runs over all positions, the two libraries taking turns for --rounds rounds; the
median ratio is shown with its smallest and largest.
Skips (exit status 0) when OpenSpiel is not installed (pip install open_spiel).

    PYTHONPATH=build-bench python bench/bench_openspiel.py [--games 30] [--rounds 5]
"""

import random
import sys

try:
    import pyspiel
except ImportError:
    print("OpenSpiel (pyspiel) is not installed: skipped (pip install open_spiel)")
    sys.exit(0)

import murkle_chess
from common import cpu_line, game_arguments, paired_ns, random_games


def build_positions(games):
    spiel = pyspiel.load_game("chess")
    positions = []
    for moves in games:
        game = murkle_chess.Game.standard()
        state = spiel.new_initial_state()
        positions.append((game.clone(), state.clone()))
        for uci, san in moves:
            if not game.make_move(game.move_from_lan(uci)):
                sys.exit(f"murkle_chess refused {uci} in {game.to_fen()}")
            state.apply_action(state.string_to_action(san))
            positions.append((game.clone(), state.clone()))
    return positions


def cases(positions):
    games = [g for g, _ in positions]
    states = [s for _, s in positions]
    our_actions = [(g, g.legal_action_indices()) for g in games]
    their_actions = [(s, s.current_player(), s.legal_actions()) for s in states]
    observers = [(s, max(s.current_player(), 0)) for s in states]  # finished: White's view

    def loop(objects, call):
        def run():
            for o in objects:
                call(o)
            return len(objects)
        return run

    def apply_undo(ours, with_queries):
        if ours:
            def run():
                n = 0
                for g, actions in our_actions:
                    for a in actions:
                        g.apply_action(a)
                        if with_queries:
                            g.legal_action_indices()
                            g.is_over()
                        g.unmake_move()
                    n += len(actions)
                return n
        else:
            def run():
                n = 0
                for s, player, actions in their_actions:
                    for a in actions:
                        s.apply_action(a)
                        if with_queries:
                            s.legal_actions()
                            s.is_terminal()
                        s.undo_action(player, a)
                    n += len(actions)
                return n
        return run

    # OpenSpiel keeps a state's legal actions once computed (and works them out while applying
    # a move), so asking the same state again measures its cache: the queries are timed as a
    # self-play step meets them, on the position a move has just made, move and undo included.
    return [
        ("apply + undo", "apply_action+unmake_move", "apply_action+undo_action",
         apply_undo(True, False), apply_undo(False, False)),
        ("apply + queries + undo", "+legal_action_indices", "+legal_actions",
         apply_undo(True, True), apply_undo(False, True)),
        ("clone", "clone()", "clone()",
         loop(games, lambda g: g.clone()), loop(states, lambda s: s.clone())),
        ("network input", "encode_game_planes()", "observation_tensor()",
         loop(games, lambda g: g.encode_game_planes()),
         loop(observers, lambda sp: sp[0].observation_tensor(sp[1]))),
    ]


def report(name, ours_label, theirs_label, ns_ours, ns_theirs, ratio):
    print(f"{name:<26} {ns_ours:>14,.0f} ns/call {ns_theirs:>16,.0f} ns/call "
          f"{ratio:>22.1f}")
    if ours_label:
        print(f"{'':<26} {ours_label:>24} {theirs_label:>24}")


def main(argv=None):
    args = game_arguments(__doc__, 30).parse_args(argv)

    games = random_games(args.games, args.max_plies, random.Random(args.seed),
                         notation=lambda board, move: (move.uci(), board.san(move)))
    positions = build_positions(games)
    game, state = positions[-1]
    ours_len, theirs_len = len(game.encode_game_planes()[0]), len(state.observation_tensor(0))
    try:
        from importlib.metadata import version
        spiel_version = version("open_spiel")
    except Exception:
        spiel_version = "?"
    print(f"murkle_chess vs OpenSpiel {spiel_version} chess on 8x8: {args.games} random games, "
          f"{len(positions):,} positions, {args.rounds} interleaved rounds")
    print(cpu_line() + "\n")
    print(f"{'operation':<26} {'murkle_chess':>24} {'OpenSpiel':>24} {'speed-up [min-max]':>22}")
    for name, ours_label, theirs_label, ours, theirs in cases(positions):
        report(name, ours_label, theirs_label, *paired_ns(ours, theirs, args.rounds))
        if name == "apply + queries + undo":
            print(f"{'':<26} {'+is_over()':>24} {'+is_terminal()':>24}")
    print(f"\nnetwork input sizes differ: encode_game_planes gives {ours_len:,} values "
          f"(105 planes, 8 positions of history), observation_tensor {theirs_len:,} "
          f"(current position only)")


if __name__ == "__main__":
    main()
