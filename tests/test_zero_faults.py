"""The trainer under faults: agent files that would run code are refused, damaged files and
checkpoints are said in a line, SIGTERM saves as Ctrl-C does, a dead self-play process is
replaced, a full disk keeps the last checkpoint."""

import errno
import io
import json
import os
import signal
import subprocess
import sys
import time
from dataclasses import asdict

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("tqdm")
pytest.importorskip("matplotlib")

from murkle_rl.zero import cli, network  # noqa: E402
from murkle_rl.zero.config import Config  # noqa: E402
from murkle_rl.zero.learner import Trainer  # noqa: E402
from murkle_rl.zero.network import load_agent, make_net  # noqa: E402

torch.set_num_threads(1)

TINY = ["--actors", "0", "--width", "5", "--height", "5", "--games", "8", "--simulations", "4", "--max-considered", "4",
        "--channels", "8", "--blocks", "1", "--plies-per-iter", "6", "--batch-size", "32", "--buffer", "2000",
        "--minutes", "0", "--eval-every", "0", "--max-plies", "10", "--threads", "1", "--torch-threads", "1", "--quiet"]
ZERO = [sys.executable, "-m", "murkle_rl.zero"]


def tiny_cfg(**changes):
    return Config(**({"width": 5, "height": 5, "games": 8, "simulations": 4, "max_considered": 4, "channels": 8,
                      "blocks": 1, "plies_per_iter": 6, "batch_size": 32, "buffer": 2000, "threads": 1,
                      "minutes": 0, "iterations": 2, "max_plies": 10} | changes))


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    """A run of 2 iterations in this process: its checkpoint, agent and curve."""
    out = tmp_path_factory.mktemp("run")
    cli.main(["train", *TINY, "--iterations", "2", "--out", str(out)])
    return out


class Marker:
    """A pickled object that, once unpickled, creates a file: code run by a load."""

    def __init__(self, path):
        self.path = str(path)

    def __reduce__(self):
        return open, (self.path, "w")


def old_agent_file(path, cfg):
    """An agent file as earlier versions wrote it: torch.save of plain values and weights."""
    torch.save({"format": "murkle-zero agent", "config": asdict(cfg), "net": make_net(cfg).state_dict(),
                "iteration": 3, "minutes": 0.5, "games": 24}, path)


# ------------------------------------------------------------------ files that would run code


@pytest.mark.parametrize("kind", ["agent", "checkpoint"])
def test_a_file_that_would_run_code_is_refused_and_runs_nothing(run_dir, tmp_path, kind):
    marker = tmp_path / "ran"
    name = "agent.pt" if kind == "agent" else "checkpoint.pt"
    state = torch.load(run_dir / name, weights_only=False)
    state["extra"] = Marker(marker)
    crafted = tmp_path / name
    torch.save(state, crafted)
    with pytest.raises(ValueError, match=f"{crafted}: refused: it holds a pickled object .*could run code"):
        load_agent(crafted)
    assert not marker.exists()
    # The command says it in a line, and runs nothing either.
    with pytest.raises(SystemExit, match="murkle-zero play: .*refused"):
        cli.main(["play", "--checkpoint", str(crafted)])
    assert not marker.exists()


def test_agent_files_of_earlier_versions_and_checkpoints_load_safely(run_dir, tmp_path):
    cfg = tiny_cfg()
    old_agent_file(tmp_path / "agent.pt", cfg)
    agent = load_agent(tmp_path / "agent.pt")
    assert (agent.width, agent.cfg.channels) == (5, 8)
    # A checkpoint's games in flight are engine objects: the safe load reads it as an agent and
    # leaves them unread; resuming reads them.
    state, _, _ = network.read_state(run_dir / "checkpoint.pt")
    [player], [buffer] = state["player"]["players"], state["buffer"]["buffers"]
    assert isinstance(player["batch"], network.Unread) and buffer["size"] > 0
    a, b = load_agent(run_dir / "checkpoint.pt"), load_agent(run_dir / "agent.pt")
    planes = np.random.default_rng(0).random((3, len(a.inputs), 5, 5), dtype=np.float32)
    np.testing.assert_array_equal(a(planes)[1], b(planes)[1])
    assert [p.batch.n for p in Trainer.load(run_dir).player.players] == [8]


def test_evaluate_draws_the_curve_from_the_metrics_without_reading_the_checkpoint(run_dir, tmp_path, capsys):
    marker = tmp_path / "ran"
    run = tmp_path / "run"
    run.mkdir()
    for name in ("agent.pt", "metrics.jsonl"):
        (run / name).write_bytes((run_dir / name).read_bytes())
    state = torch.load(run_dir / "checkpoint.pt", weights_only=False)
    state["extra"] = Marker(marker)
    torch.save(state, run / "checkpoint.pt")
    cli.main(["evaluate", "--checkpoint", str(run), "--games", "1", "--simulations", "1", "--max-plies", "4",
              "--torch-threads", "1", "--quiet"])
    assert not marker.exists() and (run / "curve.png").exists()


# ------------------------------------------------------------------ damaged files


def damage(path, how, good):
    if how == "truncated":
        path.write_bytes(good[: len(good) // 2])
    elif how == "zeros":
        path.write_bytes(bytes(len(good)))
    elif how == "empty":
        path.write_bytes(b"")
    elif how == "json":
        path.write_text(json.dumps({"net": [1, 2], "config": {}}))
    elif how == "list":  # a PyTorch file, but not of an agent
        torch.save([1, 2, 3], path)


DAMAGE = {"truncated": "damaged", "zeros": "not a PyTorch file", "empty": "empty", "json": "not a PyTorch file",
          "list": "not a murkle-zero agent"}


@pytest.mark.parametrize("how", DAMAGE)
def test_a_damaged_agent_file_is_one_clear_error(run_dir, tmp_path, how):
    path = tmp_path / "agent.pt"
    damage(path, how, (run_dir / "agent.pt").read_bytes())
    with pytest.raises(ValueError) as error:
        load_agent(path)
    assert str(error.value).startswith(str(path)) and DAMAGE[how] in str(error.value)
    assert "\n" not in str(error.value) and len(str(error.value)) < 300


def test_a_directory_without_an_agent_or_weights_that_do_not_fit(tmp_path):
    with pytest.raises(FileNotFoundError, match=f"{tmp_path} holds neither agent.pt nor checkpoint.pt"):
        load_agent(tmp_path)
    path = tmp_path / "agent.pt"
    cfg = tiny_cfg()
    torch.save({"format": "murkle-zero agent", "config": asdict(tiny_cfg(channels=16)),
                "net": make_net(cfg).state_dict()}, path)
    with pytest.raises(ValueError, match=f"{path}: its weights do not fit its configuration"):
        load_agent(path)


@pytest.mark.parametrize("how", ["truncated", "zeros", "empty"])
def test_resuming_a_damaged_checkpoint_is_one_line_and_a_failure(run_dir, tmp_path, how):
    damage(tmp_path / "checkpoint.pt", how, (run_dir / "checkpoint.pt").read_bytes())
    with pytest.raises(SystemExit) as stop:
        cli.main(["train", *TINY, "--iterations", "3", "--resume", "--out", str(tmp_path)])
    message = str(stop.value.code)
    assert message.startswith(f"murkle-zero train: {tmp_path / 'checkpoint.pt'} cannot be resumed: ")
    assert DAMAGE[how] in message and "\n" not in message


def test_resuming_a_damaged_checkpoint_as_a_command(run_dir, tmp_path):
    damage(tmp_path / "checkpoint.pt", "truncated", (run_dir / "checkpoint.pt").read_bytes())
    run = subprocess.run([*ZERO, *TINY, "--iterations", "3", "--resume", "--out", str(tmp_path)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode != 0 and "Traceback" not in run.stderr
    assert run.stderr.strip().count("\n") == 0 and "cannot be resumed" in run.stderr


# ------------------------------------------------------------------ a full disk


class FullDisk(io.FileIO):
    """A file whose writes fail once ``room`` bytes are written, as on a full disk."""

    room = 100

    def __init__(self, path, mode):
        super().__init__(path, mode)
        self.written = 0

    def write(self, data):
        self.written += len(data)
        if self.written > self.room:
            raise OSError(errno.ENOSPC, "No space left on device")
        return super().write(data)


def test_a_full_disk_is_said_in_a_line_and_keeps_the_last_checkpoint(run_dir, tmp_path, monkeypatch):
    out = tmp_path / "run"
    out.mkdir()
    for name in ("checkpoint.pt", "agent.pt"):
        (out / name).write_bytes((run_dir / name).read_bytes())
    before = (out / "checkpoint.pt").read_bytes()
    trainer = Trainer.load(out)
    trainer.iteration += 1
    monkeypatch.setattr(network, "open", lambda path, mode: FullDisk(path, mode.replace("b", "")), raising=False)
    with pytest.raises(network.DiskFull, match=f"the disk is full: {out / 'checkpoint.pt'} could not be written"):
        trainer.save(out)
    assert sorted(p.name for p in out.iterdir()) == ["agent.pt", "checkpoint.pt"]  # no partial file
    assert (out / "checkpoint.pt").read_bytes() == before
    # A run that meets a full disk says so in a line; the checkpoint of before stands.
    with pytest.raises(SystemExit) as stop:
        cli.main(["train", *TINY, "--iterations", "4", "--resume", "--out", str(out)])
    assert str(stop.value.code).startswith("murkle-zero train: the disk is full: ") and "\n" not in str(stop.value.code)
    monkeypatch.undo()
    assert Trainer.load(out).iteration == 2 and not list(out.glob("*.tmp"))


@pytest.mark.parametrize("target", ["metrics", "games", "curve"])
def test_a_full_disk_names_the_file_of_the_metrics_games_or_curve(tmp_path, monkeypatch, target):
    from murkle_rl.zero import games, report
    from murkle_rl.zero.games import GameRecord, save_games

    def full(path, mode="r", encoding=None):
        return io.TextIOWrapper(FullDisk(path, mode.replace("b", "")), encoding=encoding or "utf-8")

    monkeypatch.setattr(FullDisk, "room", 0)
    monkeypatch.setattr(report if target == "metrics" else games, "open", full, raising=False)
    if target == "curve":
        import matplotlib.figure

        def savefig(self, path, **kwargs):
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    write = {"metrics": lambda: report.MetricsLog(tmp_path).write({"kind": "end"}),
             "games": lambda: save_games(tmp_path / "games.pgn", [GameRecord(5, 5, "4k/5/5/5/K4 w - - 0 1")]),
             "curve": lambda: report.plot_curve(report.RunReport([]), tmp_path / "curve.png")}
    name = {"metrics": "metrics.jsonl", "games": "games.pgn", "curve": "curve.png"}[target]
    with pytest.raises(OSError, match=f"^the disk is full: {tmp_path / name} could not be written"):
        write[target]()


# ------------------------------------------------------------------ SIGTERM


def logged_iteration(out):
    """The last iteration the run's metrics name (0 before any)."""
    try:
        lines = (out / "metrics.jsonl").read_text().splitlines()
    except FileNotFoundError:
        return 0
    return max([json.loads(line)["iteration"] for line in lines if line.endswith("}")], default=0)


def run_until(args, out, ready, send):
    """Starts a run, calls ``send(process)`` once ``ready()``; returns (code, stdout, stderr)."""
    run = subprocess.Popen([*ZERO, *args, "--out", str(out)], stderr=subprocess.PIPE, stdout=subprocess.PIPE,
                           text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not ready() and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        send(run)
        stdout, stderr = run.communicate(timeout=120)
    finally:
        run.kill()
    return run.returncode, stdout, stderr


@pytest.mark.parametrize("actors, group", [(0, False), (1, True)])
def test_sigterm_stops_after_the_iteration_saves_and_resumes(tmp_path, actors, group):
    # SIGTERM to the trainer alone (docker stop), or to every process of the run (systemd).
    def sigterm(run):
        os.killpg(run.pid, signal.SIGTERM) if group else run.send_signal(signal.SIGTERM)

    # The first checkpoint is written after the first iteration, the next one minutes later.
    code, out, err = run_until([*TINY, "--actors", str(actors), "--iterations", "1000000"], tmp_path,
                               lambda: logged_iteration(tmp_path) >= 4, sigterm)
    assert code == 0 and "Traceback" not in err, err
    assert "SIGTERM: stopping after this iteration" in err and "self-play games" in out
    trainer = Trainer.load(tmp_path)
    assert trainer.iteration >= 4
    end = json.loads((tmp_path / "metrics.jsonl").read_text().splitlines()[-1])
    assert end["kind"] == "end" and end["stopped_by"] == "SIGTERM" and end["saved"]
    assert end["iteration"] == trainer.iteration
    resumed = cli.main(["train", *TINY, "--actors", str(actors), "--iterations", str(trainer.iteration + 1),
                        "--resume", "--out", str(tmp_path)])
    assert resumed.iteration == trainer.iteration + 1


# ------------------------------------------------------------------ a dead self-play process


def test_a_killed_self_play_process_is_replaced_and_the_run_goes_on(tmp_path, monkeypatch, capsys):
    from murkle_rl.zero import actors

    collect, kills = actors.ProcessSelfPlay.collect, []

    def collect_killing_an_actor(self):  # kill -9 of one actor, then of the other
        if self.trainer.iteration in (1, 3):
            victim = self.processes[self.trainer.iteration // 2]
            kills.append(victim.pid)
            victim.kill()
        return collect(self)

    monkeypatch.setattr(actors.ProcessSelfPlay, "collect", collect_killing_an_actor)
    trainer = cli.main(["train", *TINY, "--actors", "2", "--iterations", "5", "--out", str(tmp_path)])
    err = capsys.readouterr().err
    assert trainer.iteration == 5 and len(kills) == 2 == err.count("a self-play process died (exit code -9)")
    assert len(Trainer.load(tmp_path).actor_players) == 2


def test_a_run_whose_actors_keep_dying_saves_and_stops(tmp_path, monkeypatch, capsys):
    from murkle_rl.zero import actors

    collect = actors.ProcessSelfPlay.collect

    def collect_killing_an_actor(self):
        if self.trainer.iteration >= 2:
            self.processes[0].kill()
        return collect(self)

    monkeypatch.setattr(actors.ProcessSelfPlay, "collect", collect_killing_an_actor)
    with pytest.raises(SystemExit) as stop:
        cli.main(["train", *TINY, "--actors", "2", "--iterations", "1000", "--out", str(tmp_path)])
    assert "after 3 others were replaced: the run stops" in str(stop.value.code)
    trainer = Trainer.load(tmp_path)
    assert trainer.iteration >= 2 + 3 and trainer.buffer.size > 0  # saved as it stopped, not at its first checkpoint
    end = json.loads((tmp_path / "metrics.jsonl").read_text().splitlines()[-1])
    assert end["stopped_by"] == "self-play failure" and end["iteration"] == trainer.iteration
    assert len(trainer.actor_players) == 1  # the survivor's games; the dead one's are lost


# ------------------------------------------------------------------ games files


def write_game(path, movetext, **tags):
    tags = {"Event": "x", "White": "a", "Black": "b", "Result": "*"} | tags
    path.write_text("".join(f'[{k} "{v}"]\n' for k, v in tags.items()) + "\n" + movetext + "\n", encoding="utf-8")


def test_unclosed_comments_are_read_in_linear_time(tmp_path):
    from murkle_rl.pgn import movetext_tokens, read_pgn

    # 150,000 braces never closed: a reader that looks for the close from each of them makes
    # 10^10 steps (minutes); one pass makes 300,000.
    path = tmp_path / "braces.pgn"
    write_game(path, "1. e4 " + "{ " * 150_000)
    with pytest.raises(SystemExit, match=r"game 0: a comment opened with \{ is never closed"):
        cli.main(["games", str(path)])
    tokens, comments, closed = movetext_tokens("1. e4 {a good\nmove} e5 ; to the end\n2. Nf3 {b} *")
    assert tokens == ["1.", "e4", "e5", "2.", "Nf3", "*"] and comments == ["a good move", "b"] and closed
    [game] = read_pgn("[Event \"x\"]\n\n1. e4 {" + "{ " * 100_000 + "} e5 *\n")  # braces within a comment
    assert game.moves == ["e2e4", "e7e5"]


def test_games_prints_control_characters_escaped(tmp_path, capsys):
    path = tmp_path / "games.pgn"
    write_game(path, "1. e4 e5 *", White="\x1b]0;owned\x07\x1b[2JEvil", Black="\u202eB\x9bC")
    cli.main(["games", str(path)])
    out = capsys.readouterr().out
    assert "\\x1b]0;owned\\x07\\x1b[2JEvil vs \\u202eB\\x9bC" in out
    assert not {"\x1b", "\x07", "\x9b", "\u202e"} & set(out)
    write_game(path, "1. e4 \x1b[2J *")  # a move that is not one, quoted in the error
    with pytest.raises(SystemExit) as stop:
        cli.main(["games", str(path)])
    assert "(\\x1b[2J)" in str(stop.value.code) and "\x1b" not in str(stop.value.code)


@pytest.mark.parametrize("variant, said", [("100000x100000", "board size 100000x100000 is out of range"),
                                           ("9" * 5000 + "x8", "board size '9999"),
                                           ("3x1000000000", "board size '3x1000000000' is out of range"),
                                           ("8x8x8", "unknown variant '8x8x8'")],
                         ids=["large", "5000 digits", "10 digits", "three sides"])
def test_a_huge_variant_is_one_clear_line(tmp_path, variant, said):
    path = tmp_path / "games.pgn"
    write_game(path, "1. e4 *", Variant=variant, FEN="8/8/8/8/8/8/8/8 w - - 0 1")
    run = subprocess.run([*ZERO, "games", str(path)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 1 and "Traceback" not in run.stderr
    assert run.stderr.startswith(f"murkle-zero games: {path}: game 0: ") and said in run.stderr
    assert run.stderr.count("\n") == 1 and len(run.stderr) < 400


# ------------------------------------------------------------------ what a run shows


def test_the_progress_bar_shows_no_loss_before_the_first(tmp_path, capsys):
    cli.main(["train", *[a for a in TINY if a != "--quiet"], "--iterations", "1", "--out", str(tmp_path)])
    err = capsys.readouterr().err
    assert "loss - (buffer 0/32)" in err and "nan" not in err


def test_the_summary_gives_an_actors_average_share_of_the_clock():
    from murkle_rl.zero.learner import trainer_stats
    from murkle_rl.zero.report import RunReport, summary

    trainer = Trainer(tiny_cfg(actors=2))
    trainer.seconds = 60.0
    trainer.player.stats.update(search_s=30.0, network_s=94.0, positions=1000)  # two actors, summed
    text = summary(RunReport([{"kind": "end", **trainer_stats(trainer)}]))
    assert "search (per actor, the average of 2) 15 s (25%)" in text
    assert "network in self-play (per actor, the average of 2) 47 s (78%, 1000 positions in all)" in text


def test_read_only_weights_reach_an_actor_without_a_warning():
    # PyTorch warns once a process of a read-only array (Ray hands the weights so): a fresh one.
    code = ("import warnings, numpy as np\n"
            "from murkle_rl.zero.actors import SelfPlayActor, numpy_weights\n"
            "from murkle_rl.zero.config import Config\n"
            "cfg = Config(width=5, height=5, games=2, simulations=2, max_considered=2, channels=8, blocks=1,\n"
            "             threads=1)\n"
            "actor = SelfPlayActor(cfg, 1)\n"
            "weights = numpy_weights(actor.net)\n"
            "for w in weights.values(): w.setflags(write=False)\n"
            "warnings.simplefilter('error')\n"
            "actor.play(weights, 1, 0.0)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr


@pytest.mark.slow
@pytest.mark.ray
def test_a_ray_actor_on_a_lost_node_is_started_again_elsewhere(tmp_path):
    pytest.importorskip("ray")
    from ray.cluster_utils import Cluster

    # One CPU on the head and one on a second node: an actor on each. Once the run trains, a
    # third node joins and the second is lost: its actor starts again on the third.
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1})
    try:
        doomed = cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
        env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
        run = subprocess.Popen([*ZERO, *TINY, "--ray", "--actors", "2", "--address", cluster.address,
                                "--iterations", "12", "--out", str(tmp_path)], stderr=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True, env=env)
        try:
            deadline = time.monotonic() + 300
            while logged_iteration(tmp_path) < 3 and run.poll() is None and time.monotonic() < deadline:
                time.sleep(0.2)
            cluster.add_node(num_cpus=1)
            cluster.wait_for_nodes()
            cluster.remove_node(doomed, allow_graceful=False)
            out, err = run.communicate(timeout=600)
        finally:
            run.kill()
        assert run.returncode == 0, err
        trainer = Trainer.load(tmp_path)
        assert trainer.iteration == 12 and len(trainer.actor_players) == 2, err
    finally:
        cluster.shutdown()
