"""The trained agent as the front ends see it: agent.pt and checkpoints (today's and those of
the trainer's first version) load to the same predictions, play answers legal moves, evaluate
stops on its time budget or Ctrl-C with the games it finished, the movers and Elo are right, and
the command's help works without PyTorch."""

import io
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import murkle_chess as mc
import murkle_rl
from murkle_rl.zero import uci
from murkle_rl.zero.agent import think
from murkle_rl.zero.evaluate import elo
from murkle_rl.zero.games import load_games

DATA = Path(__file__).resolve().parent / "data"
OLD = DATA / "zero_old_checkpoint.pt"  # written by examples/alphazero.py before the package existed


def test_elo_and_its_interval():
    assert elo(5, 0, 5)[0] == 0 and elo(1, 8, 1)[0] == 0
    rating, low, high = elo(3, 0, 1)
    assert rating == pytest.approx(400 * math.log10(3)) and low < rating < high
    assert elo(30, 0, 10)[2] - elo(30, 0, 10)[1] < high - low  # more games, a narrower interval
    r, lo, hi = elo(2, 3, 15)
    big, big_lo, big_hi = elo(15, 3, 2)
    assert (r, lo, hi) == pytest.approx((-big, -big_hi, -big_lo))  # symmetric
    assert elo(4, 0, 0)[0] == math.inf and elo(0, 0, 3)[0] == -math.inf
    assert math.isnan(elo(0, 0, 0)[0])


def test_the_command_and_the_agent_contract_need_no_torch():
    code = ("import sys; sys.modules['torch'] = None\n"
            "import murkle_rl.zero, murkle_rl.zero.agent, murkle_rl.zero.games, murkle_rl.zero.evaluate\n"
            "from murkle_rl.zero.cli import main\n"
            "for argv in (['--help'], ['train', '--help'], ['evaluate', '--help'], ['play', '--help']):\n"
            "    try:\n"
            "        main(argv)\n"
            "    except SystemExit as e:\n"
            "        assert e.code == 0, argv\n"
            "main(['evaluate', '--checkpoint', 'x'])\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 1 and "Traceback" not in run.stderr, run.stderr
    assert "needs the train extra: pip install 'murkle_chess[train]'" in run.stderr
    for text in ("--eval-seconds", "--keep-games", "--torch-threads", "--checkpoint", "uci"):
        assert text in run.stdout


# ------------------------------------------------------------------ with PyTorch

torch_missing = pytest.mark.skipif(
    any(__import__("importlib").util.find_spec(m) is None for m in ("torch", "tqdm", "matplotlib")),
    reason="needs the train extra (torch, tqdm, matplotlib)")


@pytest.fixture(scope="module")
def zero():
    pytest.importorskip("torch")
    import torch

    torch.set_num_threads(1)
    from murkle_rl.zero import cli, evaluate, learner, network

    return types.SimpleNamespace(cli=cli, evaluate=evaluate, learner=learner, network=network, torch=torch)


def predictions(agent, fens, width=5, height=5):
    batch = murkle_rl.GameBatch(len(fens), width, height, fen=list(fens), threads=1,
                                planes=getattr(agent, "input_planes", None))
    return agent(batch.planes(), None)


@torch_missing
def test_an_old_checkpoint_still_evaluates_plays_and_resumes(zero, tmp_path, capsys):
    expected = np.load(DATA / "zero_old_checkpoint_expected.npz")
    from murkle_rl.zero.agent import can_play, load_agent

    agent = load_agent(OLD)
    assert (agent.width, agent.height, agent.cfg.history) == (5, 5, 1) and can_play(agent, 5, 5)
    logits, values = predictions(agent, expected["fens"])
    np.testing.assert_allclose(logits, expected["logits"], rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(values, expected["values"], rtol=1e-5, atol=1e-6)
    run = tmp_path / "run"
    run.mkdir()
    shutil.copy(OLD, run / "checkpoint.pt")
    entry = zero.cli.main(["evaluate", "--checkpoint", str(run), "--games", "2", "--simulations", "2",
                           "--max-plies", "12", "--torch-threads", "1", "--quiet"])
    assert sum(entry["random_result"].values()) == 2 and (run / "curve.png").exists()
    assert len(load_games(run / "evaluate_games.pgn")) == 4
    # The ladder against a UCI engine: one match per node budget, its games as PGN.
    tiny_engine = f"{sys.executable} {Path(__file__).with_name('uci_tiny_engine.py')} first"
    entry = zero.cli.main(["evaluate", "--checkpoint", str(run / "checkpoint.pt"), "--no-movers", "--games", "2",
                           "--simulations", "2", "--opponent", tiny_engine, "--ladder", "1,5", "--torch-threads", "1"])
    assert [(row["nodes"], row["wins"] + row["draws"] + row["losses"]) for row in entry["ladder"]] == [(1, 2), (5, 2)]
    assert len(load_games(run / "ladder-nodes5.pgn")) == 2
    trainer = zero.cli.main(["train", "--resume", "--out", str(run), "--iterations", "3", "--minutes", "0",
                             "--eval-every", "0", "--torch-threads", "1", "--quiet"])
    assert trainer.iteration == 3 and trainer.buffer.size > 0 and not trainer.cfg.mirror  # trained as played
    # The evaluation options come from the command line (0: none), the rest from the checkpoint.
    assert trainer.cfg.eval_every == 0 and trainer.cfg.channels == 8 and not (run / "eval_games.pgn").exists()
    assert (run / "agent.pt").stat().st_size < 100_000
    with pytest.raises(ValueError, match="trained with --attacks"):  # counts computed by layers now gone
        zero.network.Config.from_saved({"attacks": True})


def colours_exchanged(fen, height):
    """The same position with the colours exchanged and the board turned top to bottom."""
    board, turn, castling, ep, half, full = fen.split()
    board = "/".join(row.swapcase() for row in reversed(board.split("/")))
    castling = "".join(sorted(castling.swapcase(), key="KQkq-".index))
    ep = ep if ep == "-" else ep[0] + str(height + 1 - int(ep[1:]))
    return " ".join([board, "b" if turn == "w" else "w", castling, ep, half, full])


@torch_missing
@pytest.mark.parametrize("width,height,attacks", [(8, 8, False), (6, 9, True)])
def test_the_network_sees_black_as_white(zero, width, height, attacks):
    """One position and its colour mirror: the engine's legal moves map onto each other by the
    mirrored move planes, and the network gives both the same value and the same policy."""
    from murkle_rl.zero.config import Config

    cfg = Config(width=width, height=height, channels=8, blocks=1, attack_planes=attacks, check_planes=attacks)
    agent = zero.network.Evaluator(zero.network.make_net(cfg), cfg)
    fens = []
    for plies in (9, 10):  # both sides to move
        played = murkle_rl.GameBatch(16, width, height, seed=plies, threads=1)
        played.play_random(plies)
        fens += played.fens()
    rows = [f"{width - 1}k", f"1P{width - 2}"] + [str(width)] * (height - 4) + [f"1p{width - 2}", f"{width - 1}K"]
    fens += [f"{'/'.join(rows)} {turn} - - 0 1" for turn in "wb"]  # underpromotions both ways
    n = len(fens)
    games = murkle_rl.GameBatch(n, width, height, fen=fens, threads=1, planes=agent.input_planes)
    mirror = murkle_rl.GameBatch(n, width, height, fen=[colours_exchanged(f, height) for f in fens], threads=1,
                                 planes=agent.input_planes)
    assert {f.split()[1] for f in fens} == {"w", "b"} and mirror.fens()[0] == colours_exchanged(fens[0], height)
    planes = zero.torch.tensor(zero.network.mirrored_planes(cfg.action_planes))

    def turned(actions):  # (n, P, H, W) seen from the other side
        return np.asarray(actions)[:, planes.numpy()][:, :, ::-1]

    np.testing.assert_array_equal(turned(games.legal_mask()), mirror.legal_mask())
    (logits, values), (logits2, values2) = agent(games.planes()), agent(mirror.planes())
    shape = (n, cfg.action_planes, height, width)
    np.testing.assert_allclose(turned(logits.reshape(shape)), logits2.reshape(shape), atol=1e-5)
    np.testing.assert_allclose(values, values2, atol=1e-6)
    blind = Config(width=width, height=height, channels=8, blocks=1, canonical=False,  # as the engine orients them
                   attack_planes=attacks, check_planes=attacks)
    logits, values = zero.network.Evaluator(zero.network.make_net(blind), blind)(games.planes())
    assert not np.allclose(turned(logits.reshape(shape)), agent(mirror.planes())[0].reshape(shape), atol=1e-3)


def files_reversed(fen, width):
    """The same position turned left to right (no castling rights)."""
    board, turn, castling, ep, half, full = fen.split()
    board = "/".join("".join(reversed(re.findall(r"\d+|\D", row))) for row in board.split("/"))
    ep = ep if ep == "-" else chr(ord("a") + ord("a") + width - 1 - ord(ep[0])) + ep[1:]
    return " ".join([board, turn, castling, ep, half, full])


@pytest.mark.parametrize("width,height", [(6, 6), (5, 7)])
def test_samples_turned_left_to_right_are_the_engines_mirrored_positions(width, height):
    """--mirror: a replay sample turned left to right is, plane for plane (attack and check planes too) and
    move for move, what the engine gives for the position with its files reversed; positions with
    castling rights are never turned."""
    from murkle_rl.zero.config import Config
    from murkle_rl.zero.replay import ReplayBuffer

    cfg, rng, fens = Config(width=width, height=height, mirror=True, check_planes=True), np.random.default_rng(3), []
    game = mc.Game(width, height, murkle_rl.start_fen(width, height), False)
    while len(fens) < 60:  # random games, en passant squares among them
        moves = game.legal_moves()
        if moves:
            game.make_move(moves[rng.integers(len(moves))])
            fens.append(game.to_fen())
        else:
            game = mc.Game(width, height, murkle_rl.start_fen(width, height), False)
    batch, mirror = (murkle_rl.GameBatch(len(fens), width, height, fen=f, threads=1, planes=cfg.input_planes)
                     for f in (fens, [files_reversed(f, width) for f in fens]))
    assert any(f.split()[3] != "-" for f in fens)
    planes, mask = batch.planes(), batch.legal_mask().reshape(len(fens), -1)
    policy = rng.random(mask.shape) * mask
    ReplayBuffer.turn_files(cfg, planes, mask, policy, np.arange(len(fens)))
    np.testing.assert_array_equal(planes, mirror.planes())
    np.testing.assert_array_equal(mask, mirror.legal_mask().reshape(len(fens), -1))
    assert (policy[~mask] == 0).all()

    cfg = Config(width=8, height=8, mirror=True)  # the start position: castling rights, never turned
    start = murkle_rl.GameBatch(4, 8, 8, threads=1, planes=cfg.input_planes)
    buffer = ReplayBuffer(cfg)
    buffer.add({**buffer.encode(cfg, *start.packed_planes(), start.legal_mask(), start.legal_mask().reshape(4, -1) * 1.0),
                "value": np.zeros(4), "full": np.ones(4), "material": np.zeros(4)})
    np.testing.assert_array_equal(buffer.sample(64, rng)[0], np.repeat(start.planes()[:1], 64, 0))


@torch_missing
def test_agent_file_is_small_and_predicts_like_the_checkpoint(zero, tmp_path):
    from murkle_rl.zero.config import Config

    cfg = Config(width=6, height=6, channels=16, blocks=2, games=4, buffer=50_000, threads=1, attack_planes=True)
    trainer = zero.learner.Trainer(cfg)
    from murkle_rl.zero.replay import Samples

    trainer.buffer.add(Samples(cfg, 2000).rows())  # 2000 samples in the checkpoint, none in the agent
    trainer.save(tmp_path)
    agent_file, checkpoint = tmp_path / "agent.pt", tmp_path / "checkpoint.pt"
    assert agent_file.stat().st_size < 400_000 < checkpoint.stat().st_size  # no buffer in the agent file
    state = zero.torch.load(agent_file, weights_only=True)  # plain data: no code unpickled
    assert set(state) == {"format", "config", "net", "iteration", "minutes", "games"}
    fens = [murkle_rl.start_fen(6, 6), "rnqknr/pppppp/6/6/PPPPPP/RNQKNR b - - 0 1"]
    answers = [predictions(zero.network.load_agent(p), fens, 6, 6) for p in (tmp_path, agent_file, checkpoint)]
    answers.append(predictions(zero.network.Evaluator(trainer.net, cfg, onnx=True), fens, 6, 6))  # as loaded
    for logits, values in answers[1:]:
        np.testing.assert_array_equal(logits, answers[0][0])
        np.testing.assert_array_equal(values, answers[0][1])
    agent = zero.network.load_agent(agent_file)  # it reads attack planes, which the front ends' batches write
    assert think(agent, mc.Game(6, 6, fens[1], False), 8).move is not None
    searcher = uci.Searcher(agent)
    searcher.set_position(6, 6, fens[0], [])
    assert searcher.search(nodes=8).best is not None
    with pytest.raises(ValueError, match="reads attack or check planes, which the 105 planes lack"):
        agent(murkle_rl.GameBatch(1, 6, 6).planes())
    (tmp_path / "junk.pt").write_bytes(b"not a network")
    for bad in (tmp_path / "junk.pt", tmp_path / "missing"):
        with pytest.raises(SystemExit, match="murkle-zero play: "):
            zero.cli.main(["play", "--checkpoint", str(bad)])


@torch_missing
def test_play_answers_legal_moves_and_reports_bad_lines(zero):
    start = murkle_rl.start_fen(5, 5)
    lines = [f"5 5 {start}", "5 5 not a fen", "oops", "8 8 " + murkle_rl.start_fen(8, 8),
             "5 5 k4/5/5/5/K4 w - - 0 1", f"5 5 {start}"]
    out = io.StringIO()
    args = zero.cli.build_parser().parse_args(["play", "--checkpoint", str(OLD), "--simulations", "8"])
    zero.cli.play(args, stdin=io.StringIO("\n".join(lines) + "\n\n"), stdout=out)
    answers = out.getvalue().splitlines()
    assert len(answers) == len(lines)
    legal = {m.to_lan() for m in mc.Game(5, 5, start, False).legal_moves()}
    assert answers[0] in legal and answers[5] == answers[0]
    assert all(a.startswith("error: ") for a in answers[1:5]), answers


@torch_missing
def test_evaluate_stops_at_its_time_budget_or_ctrl_c_with_the_games_it_finished(zero, tmp_path, monkeypatch, capsys):
    base = ["evaluate", "--checkpoint", str(OLD), "--games", "6", "--simulations", "2", "--max-plies", "40",
            "--quiet", "--torch-threads", "1"]
    entry = zero.cli.main([*base, "--eval-seconds", "1e-9", "--save-games", str(tmp_path / "none.txt")])
    out = capsys.readouterr().out
    assert entry["stopped"] and "no game finished" in out and "cut short (--eval-seconds): 0, 0 of 6" in out
    # A real Ctrl-C once the first games have ended: the evaluation stops with what it has.
    load, calls = zero.network.load_agent, []

    def agent_that_is_interrupted(path, threads):
        agent = load(path, threads)

        def call(planes, mask=None):
            calls.append(1)
            if len(calls) == 60:
                os.kill(os.getpid(), signal.SIGINT)
            return agent(planes, mask)
        return Interrupted(agent, call)

    monkeypatch.setattr(zero.network, "load_agent", agent_that_is_interrupted)
    entry = zero.cli.main([*base, "--games", "400", "--save-games", str(tmp_path / "partial.pgn")])
    out, err = capsys.readouterr()
    played = sum(sum(entry[n + "_result"].values()) for n in ("random", "greedy"))
    assert entry["stopped"] and "Ctrl-C: ending the evaluation" in err and "cut short (Ctrl-C)" in out
    assert played < 800 and len(load_games(tmp_path / "partial.pgn")) == played


class Interrupted:
    """An agent that runs a hook on each call."""

    def __init__(self, agent, hook):
        self.cfg, self.width, self.height, self.action_planes = agent.cfg, agent.width, agent.height, agent.action_planes
        self.input_planes = agent.input_planes
        self.hook = hook

    def __call__(self, planes, mask=None):
        return self.hook(planes, mask)


@torch_missing
def test_a_match_counts_every_game_and_stops_when_asked(zero):
    from murkle_rl.zero.config import Config
    from murkle_rl.zero.evaluate import greedy_mover, play_match

    cfg = Config(width=5, height=5, channels=8, blocks=1, threads=1, eval_max_plies=30)
    agent = zero.network.Evaluator(zero.network.make_net(cfg), cfg)
    result = play_match(agent, cfg, "random", 5, simulations=3, seed=1)
    assert result.played == 5 == len(result.games) and not result.stopped
    assert sorted(g.white == "agent" for g in result.games) == [False, False, True, True, True]
    result = play_match(agent, cfg, "greedy", 4, simulations=0, seed=1)
    assert result.played == 4
    seen = []
    result = play_match(agent, cfg, "random", 6, simulations=0, seed=2, stop=lambda: bool(seen),
                        progress=lambda r: seen.append(r.played) if r.played else None)
    assert result.stopped and 1 <= result.played == len(result.games) <= 6
    assert play_match(agent, cfg, "random", 6, simulations=0, seed=2, deadline=0.0).played == 0
    calls = []  # a stop asked during a search of 50 simulations ends it at the next round
    counting = Interrupted(agent, lambda planes, mask: calls.append(1) or agent(planes, mask))
    result = play_match(counting, cfg, "random", 6, simulations=50, seed=2, stop=lambda: bool(calls))
    assert result.stopped and result.played == 0 and len(calls) == 1
    # The greedy mover: the queen on d1 can take the pawn on b3 or the queen on d3.
    batch = murkle_rl.GameBatch(4, 6, 6, fen="k5/6/6/1p1q2/6/K2Q2 w - - 0 1", threads=1, seed=5)
    actions = greedy_mover(batch, np.random.default_rng(0))
    assert {murkle_rl.decode_action(batch.game(0), int(a)).to_lan() for a in actions} == {"d1d3"}
