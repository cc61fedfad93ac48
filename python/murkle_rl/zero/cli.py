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
or SIGTERM stops the run (an evaluation under way ends at once; a second stops the run at once);
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
import json
import sys
import time
import warnings
from dataclasses import replace
from pathlib import Path
from typing import Any, Callable, TextIO

from .config import C_PUCT_OVERRIDE, config_of, config_parser, count, non_negative
from .protocol import utf8_stream
from .agent import SHIPPED
from .rules import board_side, check_size, size_argument, start_fen

TRAIN_EXTRA = "needs the train extra: pip install 'murkle_chess[train]'"
# Commands that need PyTorch; the others run on the core install (a uniform agent needs no network,
# a report only matplotlib).
NEEDS_TRAIN = {"train", "evaluate", "play", "export"}


def needs_train_extra(command: str) -> None:
    """Raises CommandError with a clear message when PyTorch, tqdm or matplotlib is missing."""
    for module in ("torch", "tqdm", "matplotlib"):
        try:
            importlib.import_module(module)
        except ImportError:
            raise CommandError(f"murkle-zero {command} {TRAIN_EXTRA} ({module} is missing)") from None


class CommandError(Exception):
    """A command that cannot go on, said in one line; ``code`` is the exit status."""

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(message)
        self.code = code


# ------------------------------------------------------------------ options shared by the front ends

HELP = {
    "checkpoint": "the agent: a run directory, its checkpoint.pt or its agent.pt",
    "agent": "a shipped agent instead: 6x6 or 8x8 (one network trained by murkle-zero on both, which plays "
             "any board; the name is the board it plays by default)",
    "uniform": "no network: uniform priors and value 0, the search alone, on any board size (the default "
               "without --checkpoint)",
    "simulations": "the agent's search simulations per move",
    "c_puct": C_PUCT_OVERRIDE,
    "threads": "search threads: the games searched at once are split between them (0: every core)",
    "torch_threads": "the network's PyTorch threads (0: every core)",
    "batch": "positions per network call in the agent's search, kept apart by virtual loss",
}


class OldSpelling(argparse.Action):
    """An option's earlier name: still taken, with a warning naming the new one."""

    def __init__(self, option_strings: list[str], dest: str, new: str = "", **kwargs: Any) -> None:
        self.new = new
        super().__init__(option_strings, dest, help=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: Any, namespace: Any, values: Any, option_string: str | None = None) -> None:
        warnings.warn(f"{option_string} is now {self.new}", FutureWarning, stacklevel=2)
        print(f"murkle-zero: {option_string} is now {self.new}", file=sys.stderr)
        setattr(namespace, self.dest, values)


def agent_options(*, checkpoint_required: bool = False, uniform: bool = True, simulations: int | None = 200,
                  torch_threads: int = 1, batch: bool = True) -> argparse.ArgumentParser:
    """The options of the agent a front end plays with, one meaning and one help text in every
    command: --checkpoint, --uniform, --simulations, --c-puct, --threads, --torch-threads, --batch."""
    p = argparse.ArgumentParser(add_help=False)
    g = p.add_argument_group("the agent")
    checkpoint = g.add_mutually_exclusive_group(required=checkpoint_required)
    checkpoint.add_argument("--checkpoint", help=HELP["checkpoint"])
    checkpoint.add_argument("--agent", choices=sorted(SHIPPED), help=HELP["agent"])
    if uniform:
        g.add_argument("--uniform", action="store_true", help=HELP["uniform"])
    if simulations is not None:
        g.add_argument("--simulations", type=count, default=simulations,
                       help=f"{HELP['simulations']} (default {simulations})")
    g.add_argument("--c-puct", type=non_negative(float), default=None, help=HELP["c_puct"])
    g.add_argument("--threads", type=count, default=1, help=f"{HELP['threads']} (default 1)")
    g.add_argument("--torch-threads", type=count, default=torch_threads,
                   help=f"{HELP['torch_threads']} (default {torch_threads})")
    if batch:
        g.add_argument("--batch", type=count, default=1, help=f"{HELP['batch']} (default 1)")
    return p


def board_options(default: str = "the agent's; 8 for --uniform") -> argparse.ArgumentParser:
    """--width and --height of the board a front end plays."""
    p = argparse.ArgumentParser(add_help=False)
    p.add_argument("--width", type=board_side, default=None, help=f"board width (default: {default})")
    p.add_argument("--height", type=board_side, default=None, help=f"board height (default: {default})")
    return p


def agent_of(args: argparse.Namespace, width: int | None = None, height: int | None = None) -> Any:
    """The agent the options name: the trained one of --checkpoint, or the uniform agent."""
    from .agent import agent_from

    if (args.checkpoint or args.agent) and not getattr(args, "uniform", False):
        needs_train_extra(args.command)
    try:
        return agent_from(args.checkpoint, uniform=getattr(args, "uniform", False), width=width or 8,
                          height=height or 8, threads=args.torch_threads, shipped=args.agent)
    except (OSError, ValueError) as e:
        raise CommandError(f"murkle-zero {args.command}: {e}") from None


def board_of(args: argparse.Namespace, agent: Any) -> tuple[int, int]:
    """The board a front end plays: --size, else --width/--height, else the agent's; refused
    (CommandError) when it has no board or the agent cannot play it."""
    from .agent import check_can_play

    width, height = getattr(args, "size", None) or (args.width or agent.width, args.height or agent.height)
    try:
        check_size(width, height)
        start_fen(width, height)  # a board the games start on: not 1x1
        check_can_play(agent, width, height)
    except ValueError as e:
        raise CommandError(f"murkle-zero {args.command}: {e}", 2) from None
    return width, height


# ------------------------------------------------------------------ the command line


def build_parser() -> argparse.ArgumentParser:
    """The command line: every command registered the same way, the agent's options shared."""
    from .evaluate import parse_budgets

    parser = argparse.ArgumentParser(prog="murkle-zero", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="commands: " + ", ".join(COMMANDS) + " (train is the default); "
                                            "'murkle-zero COMMAND --help' lists each one's options")
    commands = parser.add_subparsers(dest="command")

    def command(name: str, summary: str, *parents: argparse.ArgumentParser, description: str = "") -> Any:
        return commands.add_parser(name, parents=list(parents), help=summary, description=description or summary)

    t = command("train", "train an agent (the default command)", config_parser(),
                description="Train an agent: self-play, learning, evaluations, checkpoints. SIGTERM and the first "
                            "Ctrl-C stop the run after its current iteration and save it.")
    t.add_argument("--out", default="runs/alphazero", help="directory of checkpoint, agent, metrics, curve and games")
    t.add_argument("--resume", action="store_true", help="continue from the checkpoint in --out")
    t.add_argument("--ray", action="store_true", help="self-play on Ray actors")
    t.add_argument("--workers", type=int, dest="actors", default=argparse.SUPPRESS, action=OldSpelling, new="--actors")
    t.add_argument("--address", default=None, help="Ray cluster to join (default: start a local one)")
    t.add_argument("--tensorboard", default=None, metavar="DIR",
                   help="also write the losses and scores to TensorBoard in DIR (pip install 'murkle_chess[tensorboard]')")
    t.add_argument("--quiet", action="store_true", help="no progress bar")

    e = command("evaluate", "score an agent against the random and greedy movers, or laddered against a UCI engine",
                agent_options(checkpoint_required=True, uniform=False, torch_threads=0), board_options("the agent's"),
                description="Score an agent against the random and greedy movers, with Elo differences and their "
                            "95% intervals. Ctrl-C ends it with the games finished so far.")
    e.add_argument("--games", type=count, default=100, help="games per opponent, colours alternating (default 100)")
    e.add_argument("--max-plies", type=count, default=300, help="plies after which a game is drawn (default 300)")
    e.add_argument("--eval-seconds", type=non_negative(float), default=0.0,
                   help="wall-clock budget in seconds; the games finished by then count (default 0: no limit)")
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
    e.add_argument("--seed", type=int, default=12345)
    e.add_argument("--quiet", action="store_true", help="no progress bar")

    p = command("play", "answer 'WIDTH HEIGHT FEN' lines on standard input with a move",
                agent_options(checkpoint_required=True, uniform=False))
    p.add_argument("--movetime", type=non_negative(float), default=None,
                   help="seconds the agent may think per move, at most (default: no limit)")
    p.add_argument("--seed", type=int, default=0)

    g = command("games", "print the games of a games file (eval_games.pgn, selfplay_games.pgn)")
    g.add_argument("file", help="a games file, or a run directory (its eval_games.pgn)")
    g.add_argument("--index", type=int, default=None, help="print only this game (0 is the first; -1 the last)")
    g.add_argument("--svg", default=None, metavar="FILE",
                   help="also draw the game (--index, default the last) as an animated SVG into FILE")
    g.add_argument("--seconds-per-ply", type=float, default=1.0, help="the animation's pace (default 1.0)")

    r = command("report", "a run's summary from its metrics.jsonl, and its curve.png drawn anew")
    r.add_argument("run", help="a run directory (or its metrics.jsonl)")
    r.add_argument("--curve", default=None, metavar="PNG", help="where to draw the curve (default: curve.png in the run)")

    x = command("export", "the agent's network as an ONNX model, for serving it elsewhere",
                description="Writes the agent's network with its weights as an ONNX model for one board size: input "
                            "'planes' float32 (k, C, H, W), the input planes the agent reads (listed in the model's "
                            "metadata, input_planes), as the engine encodes them for the side to move; outputs "
                            "'logits' (k, P*H*W) over the full actions (move plane, then row, then column of the "
                            "source square) and 'values' (k,) in [-1, 1] for the side to move.")
    x.add_argument("agent", help=HELP["checkpoint"])
    x.add_argument("--onnx", required=True, metavar="FILE", help="the ONNX file to write")
    x.add_argument("--width", type=board_side, default=None, help="board width (default: the agent's)")
    x.add_argument("--height", type=board_side, default=None, help="board height (default: the agent's)")

    u = command("uci", "speak UCI on standard input and output (GUIs, python-chess, tournament managers)",
                agent_options(simulations=None), board_options("8"),
                description="The agent as a UCI engine on standard input and output. Board size: the FEN of "
                            "'position fen', or for startpos the UCI_Variant option (chess, or WxH such as 6x6) or "
                            "the BoardSize option (any WxH); --width/--height give the startpos before either.")
    u.add_argument("--simulations", type=count, default=800,
                   help=f"{HELP['simulations']} of a bare 'go' (the Simulations option's default; default 800)")

    m = command("match", "play matches against UCI engines, refereed by murkle_chess",
                agent_options(), board_options(),
                description="Plays the agent against a UCI engine, refereed by murkle_chess; prints wins, draws, "
                            "losses, the score and the Elo difference with its 95% interval.")
    m.add_argument("--size", type=size_argument, help="board as WxH or 'chess' (instead of --width/--height)")
    m.add_argument("--opponent", required=True,
                   help="the engine's command line, e.g. fairy-stockfish (looked for in /usr/games too)")
    m.add_argument("--option", action="append", default=[], metavar="NAME=VALUE",
                   help="a UCI option for the engine (repeatable)")
    limit = m.add_mutually_exclusive_group()
    limit.add_argument("--nodes", type=count, help="the engine's nodes per move (default 1)")
    limit.add_argument("--movetime", type=count, help="the engine's milliseconds per move")
    limit.add_argument("--ladder", type=parse_budgets, help="comma-separated node budgets, one match each, e.g. 1,10,100,1000")
    m.add_argument("--games", type=count, default=10, help="games per match, in pairs of colours (default 10)")
    m.add_argument("--opening-plies", type=count, default=4, help="random plies of each pair's opening (default 4)")
    m.add_argument("--max-plies", type=count, default=600, help="games longer than this are drawn (default 600)")
    m.add_argument("--seed", type=int, default=0, help="the openings' seed (default 0)")
    m.add_argument("--timeout", type=non_negative(float), default=60.0,
                   help="seconds an engine may take beyond its limit (default 60)")
    m.add_argument("--pgn", help="write the games here as PGN (with --ladder: one file per budget, suffixed)")
    m.add_argument("--json", action="store_true", help="print the results as JSON")
    m.add_argument("--quiet", action="store_true", help="no line per game on standard error")

    s = command("serve", "play the agent in your browser", agent_options(simulations=None, batch=False),
                board_options("8, or the agent's"))
    s.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1: this machine only)")
    s.add_argument("--port", type=int, default=8000, help="port (default 8000; 0 picks a free one)")
    s.add_argument("--max-sessions", type=int, default=64, help="games kept at once (default 64)")
    s.add_argument("--movetime", type=non_negative(float), default=None,
                   help="seconds the agent may think per move, at most (default: no limit; the page sets the simulations)")
    return parser


COMMANDS = ("train", "evaluate", "play", "games", "report", "export", "uci", "match", "serve")


def main(argv: list[str] | None = None) -> Any:
    """The ``murkle-zero`` command; returns what the command made (a Trainer, an evaluation, an
    exit status). Raises SystemExit, with its message, for a command that cannot go on."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    if not argv or argv[0] not in (*COMMANDS, "-h", "--help"):
        argv.insert(0, "train")
    args = parser.parse_args(argv)
    handlers: dict[str, Callable[[argparse.Namespace], Any]] = {
        "evaluate": evaluate, "play": play, "games": show_games, "report": report_command, "export": export_command,
        "uci": uci_command, "match": match_command, "serve": serve_command}
    try:
        if args.command in NEEDS_TRAIN:
            needs_train_extra(args.command)
        if args.command == "train":
            return train_command(args, argv, parser)
        return handlers[args.command](args)
    except CommandError as err:
        if err.code == 2:
            parser.error(str(err))
        if err.code == 1:
            raise SystemExit(str(err)) from None  # the message on standard error, status 1
        print(err, file=sys.stderr)
        raise SystemExit(err.code) from None
    except (FileNotFoundError, ValueError) as err:  # a missing or unreadable file, said in a line
        raise SystemExit(f"murkle-zero {args.command}: {err}") from None
    except KeyboardInterrupt:
        print("\nstopped", file=sys.stderr)
        raise SystemExit(130) from None


def train_command(args: argparse.Namespace, argv: list[str], parser: argparse.ArgumentParser) -> Any:
    """Trains (or resumes) a run to its budget."""
    cfg = config_of(args)
    for problem in cfg.problems():
        parser.error(problem)
    from .actors import ActorDied
    from .learner import RunOptions, train
    from .network import use_threads

    use_threads(cfg.torch_threads)
    options = RunOptions(out=Path(args.out), resume=args.resume, ray=args.ray, address=args.address, quiet=args.quiet,
                         given=frozenset(given_options(argv)), tensorboard=args.tensorboard)
    try:
        return train(cfg, options)
    except KeyboardInterrupt:  # a second Ctrl-C
        raise CommandError(f"\nstopped at once: the last checkpoint in {args.out} stands") from None
    except ActorDied as err:
        raise CommandError(f"murkle-zero train: {err}\nthe last checkpoint in {args.out} stands: --resume goes on "
                           "from it") from None
    except (OSError, ValueError) as err:  # a checkpoint that cannot be resumed, a full disk: said in a line
        raise CommandError(f"murkle-zero train: {err}") from None


def given_options(argv: list[str]) -> set[str]:
    """The Config fields named on a command line (``--eval-every 2``, ``--eval-every=2``, ``--no-gumbel``)."""
    from dataclasses import fields

    from .config import Config

    flags = {a.split("=", 1)[0] for a in argv if a.startswith("--")}
    return {f.name for f in fields(Config)
            if {"--" + f.name.replace("_", "-"), "--no-" + f.name.replace("_", "-")} & flags}


# ------------------------------------------------------------------ play


def play(args: argparse.Namespace, stdin: TextIO | None = None, stdout: TextIO | None = None) -> int:
    """Answers ``WIDTH HEIGHT FEN`` lines with the agent's move in long algebraic notation; the
    tree is kept from one line to the next when the position follows on. UTF-8 both ways,
    whatever the locale: a stray byte is one bad line, not the session's end."""
    from .play import SearchSession

    agent = agent_of(args)
    stdin = stdin or utf8_stream(sys.stdin)
    stdout = stdout or utf8_stream(sys.stdout, write=True)
    session = SearchSession(agent, seed=args.seed, simulations=args.simulations, c_puct=args.c_puct,
                            leaves=args.batch)
    for line in stdin:
        line = line.strip()
        if not line:
            continue
        try:
            answer = best_move(session, line, args.simulations, args.movetime)
        except Exception as e:  # one bad line must not end the session
            answer = f"error: {e}"
        print(answer, file=stdout, flush=True)
    return 0


def best_move(session: Any, line: str, simulations: int, movetime: float | None = None) -> str:
    """The agent's move (LAN) in the position of a ``WIDTH HEIGHT FEN`` line, after
    ``simulations`` or ``movetime`` seconds, whichever comes first."""
    from .play import Limit
    from .rules import new_game

    parts = line.split(maxsplit=2)
    if len(parts) < 3:
        raise ValueError("expected WIDTH HEIGHT FEN")
    try:
        width, height = int(parts[0]), int(parts[1])
    except ValueError:
        raise ValueError(f"width and height must be numbers, got {parts[0][:20]!r} {parts[1][:20]!r}") from None
    game = new_game(width, height, parts[2])
    if game.is_over():
        raise ValueError("the game is over")
    session.set_game(game)
    best = session.search(Limit(nodes=simulations, seconds=movetime)).best
    if best is None:
        raise ValueError("the game is over")
    return best


# ------------------------------------------------------------------ evaluate


def evaluate(args: argparse.Namespace) -> dict[str, Any]:
    """Scores an agent against the movers, prints scores and Elo, saves the games and, for a
    run's checkpoint, draws the curve with these scores at its end."""
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    from .evaluate import OPPONENTS, MatchResult, elo, evaluate_agent, score
    from .games import save_games
    from .interrupts import CtrlC
    from .report import CURVE, RunReport, plot_curve

    agent = agent_of(args)
    width, height = board_of(args, agent)
    say_new_size(agent, width, height)
    cfg = replace(agent.cfg, eval_max_plies=args.max_plies or agent.cfg.eval_max_plies, threads=args.threads,
                  eval_c_puct=agent.cfg.eval_c_puct if args.c_puct is None else args.c_puct, width=width, height=height)
    source = Path(args.checkpoint) if args.checkpoint else Path.cwd()  # a shipped agent's games go here
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
        return {"ladder": engine_ladder(args, agent, folder, width, height)}
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
        entry["ladder"] = engine_ladder(args, agent, folder, width, height)
    records = run_records(source) if args.checkpoint else []
    if any(r.get("kind") in ("train", "eval") for r in records):  # a run's curve, with these scores at its end
        plot_curve(RunReport(records), folder / CURVE, final=entry | {"games": args.games})
    return entry


def run_records(source: Path) -> list[dict[str, Any]]:
    """The records of the run ``source`` (a directory or a file in one) belongs to: its
    metrics, or for a run older than them what its checkpoint keeps, read safely; none for an
    agent file alone."""
    from .network import CHECKPOINT, read_state, resolve
    from .report import METRICS, read_metrics, records_of_checkpoint

    folder = source if source.is_dir() else source.parent
    if (folder / METRICS).is_file():
        return read_metrics(folder)
    try:
        checkpoint = resolve(source, prefer=CHECKPOINT)
        if checkpoint.name != CHECKPOINT:
            return []
        return records_of_checkpoint(read_state(checkpoint, prefer=CHECKPOINT)[0])
    except (OSError, ValueError) as err:
        print(f"no curve drawn: {err}", file=sys.stderr)
        return []


def engine_ladder(args: argparse.Namespace, agent: Any, folder: Path, width: int, height: int) -> list[dict[str, Any]]:
    """The agent against ``--opponent`` at each node budget of ``--ladder`` on width x height:
    prints each score with its Elo interval, writes the games as PGN beside the agent
    (``ladder-nodesN.pgn``, ``ladder-WxH-nodesN.pgn`` off the agent's own board), returns the
    rows. Ctrl-C ends the match under way with its games and skips the budgets after it."""
    from .match import ladder, plain_rows

    def show(row: dict[str, Any]) -> None:
        print(f"vs {args.opponent} at {row['nodes']} nodes: {row['result'].summary()}  (games: {row['pgn']})",
              flush=True)

    name = "ladder.pgn" if (width, height) == (agent.width, agent.height) else f"ladder-{width}x{height}.pgn"
    rows = ladder(agent, args.opponent, args.ladder, args.ladder_games or args.games, args.simulations,
                  pgn_path=str(folder / name), done=show, seed=args.seed, leaves=args.batch, c_puct=args.c_puct,
                  width=width, height=height)
    return plain_rows(rows)


def say_new_size(agent: Any, width: int, height: int) -> None:
    """Notes on standard error when the agent plays a board size it never trained on."""
    cfg = getattr(agent, "cfg", None)
    if cfg is not None and (width, height) not in cfg.board_sizes:
        trained = ", ".join(f"{w}x{h}" for w, h in cfg.board_sizes)
        print(f"note: {width}x{height} is a size this agent never trained on (it trained on {trained})",
              file=sys.stderr, flush=True)


# ------------------------------------------------------------------ report


def report_command(args: argparse.Namespace) -> int:
    """Prints a run's summary from its metrics and draws its curve anew."""
    from .report import CURVE, RunReport, plot_curve, read_metrics, summary

    run = Path(args.run)
    report = RunReport(read_metrics(run))
    print(summary(report))
    curve = Path(args.curve) if args.curve else (run if run.is_dir() else run.parent) / CURVE
    plot_curve(report, curve)
    print(f"curve: {curve}")
    return 0


def export_command(args: argparse.Namespace) -> int:
    """Writes the agent's network as an ONNX model for one board size."""
    from .agent import check_can_play, load_agent
    from .network import onnx_model

    try:
        agent = load_agent(args.agent)
    except (OSError, ValueError) as e:
        raise CommandError(f"murkle-zero export: {e}") from None
    width, height = args.width or agent.width, args.height or agent.height
    try:
        check_can_play(agent, width, height)
        model = onnx_model(agent.net, agent.cfg, height, width)
    except (ValueError, ImportError) as e:
        raise CommandError(f"murkle-zero export: {e}") from None
    meta = {"input_planes": ",".join(map(str, agent.input_planes)), "board": f"{width}x{height}",
            "any_size": str(bool(agent.any_size)).lower()}
    for key, value in meta.items():
        entry = model.metadata_props.add()
        entry.key, entry.value = key, value
    Path(args.onnx).write_bytes(model.SerializeToString())
    print(f"{args.onnx}: {width}x{height}, input planes {meta['input_planes']}")
    return 0


# ------------------------------------------------------------------ uci, match, serve


def uci_command(args: argparse.Namespace, stdin: TextIO | None = None, stdout: TextIO | None = None) -> int:
    """Runs the UCI engine on standard input and output until ``quit`` or the end of its input."""
    from .uci import Engine

    width, height = args.width or 8, args.height or 8
    try:
        check_size(width, height)
    except ValueError as e:
        raise CommandError(f"murkle-zero uci: {e}", 2) from None
    if (args.checkpoint or args.agent) and not args.uniform:
        agent_of(args)  # a file that cannot be read is said before the protocol starts

    def loader(threads: int) -> Any:
        args.torch_threads = threads
        return agent_of(args, width, height)

    engine = Engine(loader, stdout or utf8_stream(sys.stdout, write=True), simulations=args.simulations,
                    c_puct=args.c_puct, batch=args.batch)
    for line in stdin or utf8_stream(sys.stdin):
        if not engine.handle(line):
            break
    else:
        engine.stop_search()
    return 0


def match_command(args: argparse.Namespace) -> int:
    """Plays a match (or a ladder) against a UCI engine; prints the results. Returns 1 when the
    match could not be played whole."""
    from .match import EngineError, ladder, plain_rows, run_match
    from .records import GameRecord

    agent = agent_of(args, *(args.size or (args.width or 8, args.height or 8)))
    width, height = board_of(args, agent)
    say_new_size(agent, width, height)
    options = {}
    for item in args.option:
        name, sep, value = item.partition("=")
        if not sep:
            print(f"error: --option takes NAME=VALUE, not {item!r}", file=sys.stderr)
            return 2
        options[name.strip()] = value.strip()

    def progress(r: GameRecord) -> None:
        if not args.quiet:
            colour = "White" if r.agent_white else "Black"
            print(f"round {r.round} agent {colour}: {r.outcome} {r.result} "
                  f"({len(r.moves)} plies{', ' + r.note if r.note else ''})", file=sys.stderr)

    common = dict(width=width, height=height, options=options, opening_plies=args.opening_plies,
                  seed=args.seed, max_plies=args.max_plies, progress=progress, engine_timeout=args.timeout,
                  leaves=args.batch, c_puct=args.c_puct)
    try:
        if args.ladder:
            def show(row: dict[str, Any]) -> None:
                if not args.json:
                    print(f"nodes {row['nodes']:>6}: {row['result'].summary()}")

            rows = ladder(agent, args.opponent, args.ladder, args.games, args.simulations,
                          pgn_path=args.pgn, done=show, **common)
            if args.json:
                print(json.dumps(plain_rows(rows)))
            aborted = rows[-1]["aborted"] if rows else None
        else:
            r = run_match(agent, args.opponent, args.games, args.simulations, nodes=args.nodes,
                          movetime=args.movetime, pgn_path=args.pgn, **common)
            print(json.dumps(r.to_dict()) if args.json else r.summary())
            aborted = r.aborted
    except (EngineError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    if aborted:  # the games played are above (and in --pgn); the match is not whole
        print(f"error: the match ended early: {aborted}", file=sys.stderr)
        return 1
    return 0


def serve_command(args: argparse.Namespace) -> int:
    """Serves the page until Ctrl-C."""
    from .serve import make_server

    if args.max_sessions < 1:  # a page whose game is dropped as soon as it starts could never play
        raise CommandError(f"--max-sessions must be at least 1, got {args.max_sessions}", 2)
    agent = agent_of(args, args.width or 8, args.height or 8)
    width, height = board_of(args, agent)
    description = ("no network: the search alone" if args.uniform or not (args.checkpoint or args.agent)
                   else f"the shipped {args.agent} agent" if args.agent else f"network from {args.checkpoint}")
    try:
        httpd = make_server(agent, width, height, args.host, args.port, max_sessions=args.max_sessions,
                            description=description, movetime=args.movetime)
    except OSError as e:
        raise CommandError(f"cannot listen on {args.host}:{args.port}: {e}", 2) from None
    host, port = str(httpd.server_address[0]), int(httpd.server_address[1])
    print(f"murkle-zero serve: {width}x{height}, {description}; open http://{host}:{port}/ (Ctrl-C stops)",
          flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        httpd.server_close()
    return 0


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


def run(argv: list[str] | None = None) -> int:
    """The console script: ``main`` with its result turned into an exit status (the status a
    command returns; 0 for a finished training or evaluation)."""
    result = main(argv)
    return result if isinstance(result, int) and not isinstance(result, bool) else 0


if __name__ == "__main__":
    sys.exit(run())
