"""murkle-zero: train an AlphaZero agent on any board size on a CPU, evaluate it, play with it.

    murkle-zero --width 6 --height 6 --minutes 30 --out runs/6x6
    murkle-zero --resume --out runs/6x6 --minutes 45          # go on to 45 minutes
    murkle-zero evaluate --checkpoint runs/6x6 --games 100 --simulations 200
    echo "6 6 rnqknr/pppppp/6/6/PPPPPP/RNQKNR w - - 0 1" | murkle-zero play --checkpoint runs/6x6
    murkle-zero evaluate --checkpoint runs/6x6 --no-movers --opponent fairy-stockfish --ladder 1,10,100
    murkle-zero games runs/6x6/eval_games.pgn --index 0 --svg game.svg
    murkle-zero uci --checkpoint runs/6x6                     # a UCI engine for GUIs and python-chess
    murkle-zero match --checkpoint runs/6x6 --opponent fairy-stockfish --nodes 100 --games 20
    murkle-zero serve --checkpoint runs/6x6                   # play it in your browser
    murkle-zero --ray --actors 2 --out runs/ray               # self-play on Ray actors

Training repeats one iteration: every game of the self-play batch plays ``--plies-per-iter``
moves chosen by a search that the current network drives (Gumbel at the root by default, or
PUCT with Dirichlet noise); each position becomes a sample (input planes, legal mask, the
search's policy) whose value target, once its game has ended, mixes the final result seen
from the side to move with the value the search found for the position (``--value-mix``);
then the network takes enough training steps on random minibatches from the replay buffer
that each new sample is seen ``--replay-ratio`` times on average. Every ``--eval-every``
minutes the network plays a random mover and a greedy mover (takes the most valuable piece it
can, else plays at random) for at most ``--eval-seconds``; the scores and losses go to
``metrics.jsonl`` and the picture ``curve.png`` in ``--out``, the games to ``eval_games.pgn``
(and ``--keep-games`` self-play games per iteration to ``selfplay_games.pgn``). The clock
(``--minutes``) counts self-play and training only, not evaluation.

The output directory holds ``checkpoint.pt`` (network, optimizer, replay buffer, the games in
flight, random states and the clock), written after the first iteration, every
``--checkpoint-every`` minutes, before each evaluation, at the end, and when a first Ctrl-C
stops the run (an evaluation under way ends at once; a second Ctrl-C stops the run at once);
``--resume`` continues from it exactly where it stopped. Beside it, ``agent.pt`` holds the
network and its configuration only: ``evaluate``, ``play`` and ``uci`` take either file, or the
directory.

``play`` reads lines ``WIDTH HEIGHT FEN`` on standard input and answers each with the long
algebraic notation of the move its search chooses (most visited), or a line starting with
``error:`` for a line it cannot answer.

Training, evaluate and play need PyTorch, tqdm and matplotlib: pip install 'murkle_chess[train]'
(and Ray for --ray).
"""

from __future__ import annotations

import argparse
import importlib
import sys
import time
from pathlib import Path
from typing import Any, TextIO

from .config import C_PUCT_OVERRIDE, config_of, config_parser, count, non_negative

TRAIN_EXTRA = "needs the train extra: pip install 'murkle_chess[train]'"
COMMANDS = ("train", "evaluate", "play", "games", "uci", "match", "serve")
HANDED_OVER = {"uci": "murkle_rl.zero.uci", "match": "murkle_rl.zero.match", "serve": "murkle_rl.zero.serve"}


def needs_train_extra(command: str) -> None:
    """Exits with a clear message when PyTorch, tqdm or matplotlib is missing."""
    for module in ("torch", "tqdm", "matplotlib"):
        try:
            importlib.import_module(module)
        except ImportError:
            sys.exit(f"murkle-zero {command} {TRAIN_EXTRA} ({module} is missing)")


def build_parser() -> argparse.ArgumentParser:
    """The command line: train (the default), evaluate, play, games, uci, match."""
    from .evaluate import parse_budgets

    parser = argparse.ArgumentParser(prog="murkle-zero", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="commands: train (the default), evaluate, play, games, uci, match, serve; "
                                            "'murkle-zero COMMAND --help' lists each one's options")
    commands = parser.add_subparsers(dest="command")
    t = commands.add_parser("train", parents=[config_parser()], help="train an agent (the default command)",
                            description="Train an agent: self-play, learning, evaluations, checkpoints.")
    t.add_argument("--out", default="runs/alphazero", help="directory of checkpoint, agent, metrics, curve and games")
    t.add_argument("--resume", action="store_true", help="continue from the checkpoint in --out")
    t.add_argument("--ray", action="store_true", help="self-play on Ray actors")
    t.add_argument("--workers", type=int, dest="actors", default=argparse.SUPPRESS, help=argparse.SUPPRESS)  # --actors' old name
    t.add_argument("--address", default=None, help="Ray cluster to join (default: start a local one)")
    t.add_argument("--quiet", action="store_true", help="no progress bar")
    e = commands.add_parser("evaluate", help="score an agent against the random and greedy movers",
                            description="Score an agent against the random and greedy movers, with Elo "
                                        "differences and their 95% intervals. Ctrl-C ends it with the games "
                                        "finished so far.")
    e.add_argument("--checkpoint", required=True, help="a run directory, its checkpoint.pt or its agent.pt")
    e.add_argument("--games", type=count, default=100, help="games per opponent, colours alternating (default 100)")
    e.add_argument("--simulations", type=count, default=200, help="search simulations per move (default 200)")
    e.add_argument("--max-plies", type=count, default=300, help="plies after which a game is drawn (default 300)")
    e.add_argument("--eval-seconds", type=non_negative(float), default=0.0,
                   help="wall-clock budget in seconds; the games finished by then count (default 0: no limit)")
    e.add_argument("--torch-threads", type=count, default=0, help="PyTorch threads (default 0: every core)")
    e.add_argument("--save-games", default=None,
                   help="file the games are appended to (default: evaluate_games.pgn beside the agent)")
    e.add_argument("--opponent", default=None, metavar="CMD",
                   help="also play a ladder against this UCI engine, e.g. fairy-stockfish (looked for in /usr/games "
                        "too; off 8x8 it gets a variant file of our rules)")
    e.add_argument("--ladder", type=parse_budgets, default="1,10,100,1000",
                   help="the engine's node budgets per move, one match each (default 1,10,100,1000)")
    e.add_argument("--ladder-games", type=count, default=None,
                   help="games per ladder match, in pairs of colours with paired random openings (default --games)")
    e.add_argument("--no-movers", action="store_true", help="skip the random and greedy movers (only the ladder)")
    e.add_argument("--batch", type=count, default=1,
                   help="ladder: the agent's positions per network call, kept apart by virtual loss (default 1)")
    e.add_argument("--c-puct", type=non_negative(float), default=None, help=C_PUCT_OVERRIDE)
    e.add_argument("--seed", type=int, default=12345)
    e.add_argument("--quiet", action="store_true", help="no progress bar")
    p = commands.add_parser("play", help="answer 'WIDTH HEIGHT FEN' lines on standard input with a move")
    p.add_argument("--checkpoint", required=True, help="a run directory, its checkpoint.pt or its agent.pt")
    p.add_argument("--simulations", type=count, default=200, help="search simulations per move (default 200)")
    p.add_argument("--torch-threads", type=count, default=1, help="PyTorch threads (default 1)")
    p.add_argument("--seed", type=int, default=0)
    g = commands.add_parser("games", help="print the games of a games file (eval_games.pgn, selfplay_games.pgn)")
    g.add_argument("file", help="a games file, or a run directory (its eval_games.pgn)")
    g.add_argument("--index", type=int, default=None, help="print only this game (0 is the first; -1 the last)")
    g.add_argument("--svg", default=None, metavar="FILE",
                   help="also draw the game (--index, default the last) as an animated SVG into FILE")
    g.add_argument("--seconds-per-ply", type=float, default=1.0, help="the animation's pace (default 1.0)")
    commands.add_parser("uci", help="speak UCI on standard input and output (murkle-zero uci --help)", add_help=False)
    commands.add_parser("match", help="play matches against UCI engines (murkle-zero match --help)", add_help=False)
    commands.add_parser("serve", help="play the agent in your browser (murkle-zero serve --help)", add_help=False)
    return parser


def main(argv: list[str] | None = None) -> Any:
    """The ``murkle-zero`` command; returns what the command made (a Trainer, an evaluation)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] in HANDED_OVER:
        try:
            module = importlib.import_module(HANDED_OVER[argv[0]])
        except ModuleNotFoundError as err:
            if err.name != HANDED_OVER[argv[0]]:
                raise
            sys.exit(f"murkle-zero {argv[0]} is not part of this installation")
        return module.main(argv[1:])
    parser = build_parser()
    if not argv or argv[0] not in (*COMMANDS, "-h", "--help"):
        argv.insert(0, "train")
    args = parser.parse_args(argv)
    if args.command != "games":
        needs_train_extra(args.command)
    if args.command == "train":
        cfg = config_of(args)
        args.given = given_options(argv)
        for problem in cfg.problems():
            parser.error(problem)
        from .actors import ActorDied
        from .learner import train
        from .network import use_threads

        use_threads(cfg.torch_threads)
        try:
            return train(cfg, args)
        except KeyboardInterrupt:  # a second Ctrl-C
            sys.exit(f"\nstopped at once: the last checkpoint in {args.out} stands")
        except ActorDied as err:
            sys.exit(f"murkle-zero train: {err}\nthe last checkpoint in {args.out} stands: --resume goes on from it")
    try:
        return {"games": show_games, "play": play, "evaluate": evaluate}[args.command](args)
    except (FileNotFoundError, ValueError) as err:  # a missing or unreadable file, said in a line
        sys.exit(f"murkle-zero {args.command}: {err}")
    except KeyboardInterrupt:
        print("\nstopped", file=sys.stderr)
        sys.exit(130)


def given_options(argv: list[str]) -> set[str]:
    """The Config fields named on a command line (``--eval-every 2``, ``--eval-every=2``, ``--no-gumbel``)."""
    from dataclasses import fields

    from .config import Config

    flags = {a.split("=", 1)[0] for a in argv if a.startswith("--")}
    return {f.name for f in fields(Config)
            if {"--" + f.name.replace("_", "-"), "--no-" + f.name.replace("_", "-")} & flags}


# ------------------------------------------------------------------ play


def play(args: argparse.Namespace, stdin: TextIO | None = None, stdout: TextIO | None = None) -> None:
    """Answers ``WIDTH HEIGHT FEN`` lines with the agent's move in long algebraic notation
    (UTF-8 both ways whatever the locale: a stray byte is one bad line, not the session's end)."""
    from .network import load_agent
    from .uci import utf8_stream

    stdin = stdin or utf8_stream(sys.stdin)
    stdout = stdout or utf8_stream(sys.stdout, write=True)

    agent = load_agent(args.checkpoint, threads=args.torch_threads)
    for line in stdin:
        line = line.strip()
        if not line:
            continue
        try:
            answer = best_move(agent, line, args.simulations, args.seed)
        except Exception as e:  # one bad line must not end the session
            answer = f"error: {e}"
        print(answer, file=stdout, flush=True)


def best_move(agent: Any, line: str, simulations: int, seed: int) -> str:
    """The agent's move (LAN) in the position of a ``WIDTH HEIGHT FEN`` line."""
    import murkle_rl

    from .evaluate import choose_move

    parts = line.split(maxsplit=2)
    if len(parts) < 3:
        raise ValueError("expected WIDTH HEIGHT FEN")
    try:
        width, height = int(parts[0]), int(parts[1])
    except ValueError:
        raise ValueError(f"width and height must be numbers, got {parts[0]!r} {parts[1]!r}") from None
    game = murkle_rl.GameBatch(1, width, height, fen=parts[2], threads=1).game(0)
    return choose_move(agent, game, simulations, seed).to_lan()


# ------------------------------------------------------------------ evaluate


def evaluate(args: argparse.Namespace) -> dict[str, Any]:
    """Scores an agent against the movers, prints scores and Elo, saves the games and, for a
    run's checkpoint, draws the curve with these scores at its end."""
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    from .evaluate import OPPONENTS, MatchResult, elo, evaluate_agent, score
    from .games import save_games
    from .learner import CURVE, CtrlC, plot_curve
    from .network import CHECKPOINT, load_agent, read_checkpoint, resolve

    agent = load_agent(args.checkpoint, threads=args.torch_threads)
    cfg = agent.cfg
    if args.max_plies:
        cfg.eval_max_plies = args.max_plies
    if args.c_puct is not None:  # the movers' games and the ladder's alike
        cfg.eval_c_puct = args.c_puct
    source = Path(args.checkpoint)
    folder = source if source.is_dir() else source.parent
    bars: dict[str, Any] = {}

    def progress(name: str, r: MatchResult) -> None:
        bar = bars.get(name)
        if bar is None:
            for other in bars.values():
                other.close()
            bar = bars[name] = tqdm(total=args.games, desc=f"vs {name}", unit="game", disable=args.quiet,
                                    leave=False)
        bar.update(r.played - bar.n)
        if r.played:
            bar.set_postfix_str(f"{r.wins} wins, {r.draws} draws, {r.losses} losses: {score(r.counts()):.0%}",
                                refresh=False)

    if args.no_movers:
        return {"ladder": engine_ladder(args, agent, folder)}
    started = time.perf_counter()
    with CtrlC("Ctrl-C: ending the evaluation with the games finished so far (Ctrl-C again: stop at once)") as stop:
        entry, games = evaluate_agent(agent, cfg, args.games, args.simulations, seed=args.seed,
                                      seconds=args.eval_seconds, stop=stop, progress=progress)
    for bar in bars.values():
        bar.close()
    minutes = (time.perf_counter() - started) / 60
    for name in OPPONENTS:
        r = entry[name + "_result"]
        n = sum(r.values())
        if not n:
            print(f"vs {name}: no game finished")
            continue
        rating, low, high = elo(r["wins"], r["draws"], r["losses"])
        print(f"vs {name}: {entry[name]:.1%} of {n} games ({r['wins']} wins, {r['draws']} draws, "
              f"{r['losses']} losses), Elo {rating:+.0f} (95%: {low:+.0f} to {high:+.0f})")
    played = ", ".join(str(sum(entry[n + "_result"].values())) for n in OPPONENTS)
    cut = f"; cut short ({'Ctrl-C' if stop.asked else '--eval-seconds'}): {played} of {args.games} games" \
        if entry["stopped"] else ""
    print(f"{args.games} games per opponent, {args.simulations} simulations per move, {minutes:.1f} minutes{cut}")
    games_file = Path(args.save_games) if args.save_games else folder / "evaluate_games.pgn"
    try:
        save_games(games_file, games)
        print(f"games: {games_file}")
    except OSError as err:
        print(f"could not save the games to {games_file}: {err}", file=sys.stderr)
    if args.opponent:
        entry["ladder"] = engine_ladder(args, agent, folder)
    try:
        checkpoint = resolve(source, prefer=CHECKPOINT)
    except FileNotFoundError:
        checkpoint = None
    if checkpoint is not None and checkpoint.name == CHECKPOINT:
        state, _ = read_checkpoint(checkpoint)
        if state.get("history") or state.get("losses"):  # the run's curve, with these scores at its end
            plot_curve(state, checkpoint.parent / CURVE, final=entry | {"games": args.games})
    return entry


def engine_ladder(args: argparse.Namespace, agent: Any, folder: Path) -> list[dict[str, Any]]:
    """The agent against ``--opponent`` at each node budget of ``--ladder``: prints each score
    with its Elo interval, writes the games as PGN beside the agent (``ladder-nodesN.pgn``),
    returns the rows. Ctrl-C ends the match under way with its games and skips the budgets after it."""
    from .match import ladder, plain_rows

    def show(row: dict[str, Any]) -> None:
        print(f"vs {args.opponent} at {row['nodes']} nodes: {row['result'].summary()}  (games: {row['pgn']})",
              flush=True)

    rows = ladder(agent, args.opponent, args.ladder, args.ladder_games or args.games,
                  args.simulations, pgn_path=str(folder / "ladder.pgn"), done=show, seed=args.seed, leaves=args.batch)
    return plain_rows(rows)


# ------------------------------------------------------------------ games


def show_games(args: argparse.Namespace) -> None:
    """Prints the games of a games file (or of a run directory's eval_games.pgn)."""
    from .games import describe, load_games

    path = Path(args.file)
    if path.is_dir():
        path = path / "eval_games.pgn"
    games = load_games(path)
    if args.svg:
        if not games:
            raise ValueError(f"{path} holds no game to draw")
        index = -1 if args.index is None else args.index
        if not -len(games) <= index < len(games):
            raise ValueError(f"{path} holds {len(games)} games: no game {index}")
        game = games[index]
        from murkle_rl import svg_animation

        Path(args.svg).write_text(svg_animation((game.start(), game.moves), seconds_per_ply=args.seconds_per_ply),
                                  encoding="utf-8")
        print(f"game {index % len(games)} drawn into {args.svg}")
    if args.index is not None:
        if not -len(games) <= args.index < len(games):
            raise ValueError(f"{path} holds {len(games)} games: no game {args.index}")
        index = args.index % len(games)
        print(describe(games[index], index))
        return
    for i, game in enumerate(games):
        print(describe(game, i) + "\n")
    print(f"{len(games)} games in {path}")


def run() -> int:
    """The console script: ``main`` with its result turned into an exit status (the status a
    handed-over command returns; 0 for a finished training or evaluation)."""
    result = main()
    return result if isinstance(result, int) and not isinstance(result, bool) else 0


if __name__ == "__main__":
    sys.exit(run())
