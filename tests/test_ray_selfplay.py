"""examples/ray_selfplay.py on a local Ray instance: the samples two actors stream to the driver
replay exactly through murkle_chess.Game. Each actor plays a fixed number of positions (no
clock involved)."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("ray")

import murkle_chess as mc  # noqa: E402
import murkle_rl  # noqa: E402

pytestmark = pytest.mark.ray

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "ray_selfplay.py"
GAME_ID_STRIDE = 1 << 40
WIDTH, HEIGHT, MAX_PLIES = 6, 6, 40


def load(path):
    with np.load(path) as npz:
        data = dict(npz)
    data["planes"] = murkle_rl.unpack_planes(data["bits"], data["scalars"], HEIGHT, WIDTH)
    return data


def check_buffer(data):
    """Every game of the saved buffer that it holds whole replays through murkle_chess.Game:
    planes, masks, game bytes, result and values. Returns the number of such games per actor."""
    planes_count = mc.Game.get_move_planes_count(WIDTH, HEIGHT)
    assert data["planes"].shape[1:] == (105, HEIGHT, WIDTH)
    assert data["masks"].shape[1:] == (planes_count, HEIGHT, WIDTH)
    start = murkle_rl.start_fen(WIDTH, HEIGHT)
    complete = {0: 0, 1: 0}
    offsets = data["finished_offsets"]
    for k, gid in enumerate(data["finished_ids"].tolist()):
        rows = np.flatnonzero(data["game_ids"] == gid)
        length = int(data["finished_lengths"][k])
        if len(rows) < length:  # its first plies fell out of the ring buffer
            continue
        rows = rows[np.argsort(data["plies"][rows])]
        assert data["plies"][rows].tolist() == list(range(length))
        game = mc.Game(WIDTH, HEIGHT, start, False)
        for r in rows:
            flat, _, h, w = game.encode_game_planes()
            np.testing.assert_array_equal(data["planes"][r], np.array(flat, np.float32).reshape(105, h, w))
            np.testing.assert_array_equal(data["masks"][r], murkle_rl.legal_action_mask(game))
            assert game.make_move(murkle_rl.decode_action(game, int(data["actions"][r])))
        sent = bytes(data["finished_bytes"][offsets[k] : offsets[k + 1]])
        assert murkle_rl.dumps_game(game) == sent
        truncated = not game.is_over()
        assert truncated == bool(data["finished_truncated"][k])
        assert length == MAX_PLIES or not truncated
        z = 0.0 if truncated else game.reward_absolute()
        assert data["finished_results"][k] == z
        white_to_move = data["planes"][rows, 98, 0, 0] == 1.0
        np.testing.assert_array_equal(data["values"][rows], np.where(white_to_move, z, -z) + 0.0)
        complete[gid // GAME_ID_STRIDE] += 1

    # Samples of games still going have no value yet; all others have one.
    finished = np.isin(data["game_ids"], data["finished_ids"])
    assert np.isnan(data["values"][~finished]).all() and not np.isnan(data["values"][finished]).any()
    return complete


def test_two_actors_stream_complete_consistent_games(tmp_path):
    out = tmp_path / "buffer.npz"
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    run = subprocess.run(
        [sys.executable, str(SCRIPT), "--workers", "2", "--games", "4", "--size", f"{WIDTH}x{HEIGHT}",
         "--max-plies", str(MAX_PLIES), "--positions", "800", "--seconds", "600", "--chunk", "8",
         "--buffer", "5000", "--save", str(out)],
        capture_output=True, text=True, env=env, timeout=600,
    )
    assert run.returncode == 0, run.stderr
    assert "positions/s" in run.stdout
    data = load(out)
    assert len(data["actions"]) >= 2 * 800
    complete = check_buffer(data)
    assert complete[0] >= 4 and complete[1] >= 4
    assert len(data["finished_ids"]) == sum(complete.values())  # nothing was dropped


def test_ring_buffer_keeps_the_newest_samples(tmp_path):
    # The actors' class is plain Python: two of them feed a buffer that wraps many times.
    module_spec = importlib.util.spec_from_file_location("ray_selfplay", SCRIPT)
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    actors = [example.SelfPlayWorker(w, WIDTH, HEIGHT, 4, seed=w, max_plies=MAX_PLIES, threads=1) for w in (0, 1)]
    buffer = example.ReplayBuffer(500, WIDTH, HEIGHT)
    for _ in range(12):
        for actor in actors:
            buffer.add(actor.run(7))
    buffer.save(tmp_path / "buffer.npz")
    data = load(tmp_path / "buffer.npz")
    assert len(data["actions"]) == 500
    complete = check_buffer(data)
    assert complete[0] > 0 and complete[1] > 0
    planes, masks, values = buffer.sample(64, np.random.default_rng(0))
    assert planes.shape == (64, 105, HEIGHT, WIDTH) and not np.isnan(values).any()


def test_a_local_start_that_times_out_is_tried_again(monkeypatch, capsys):
    module_spec = importlib.util.spec_from_file_location("ray_start", SCRIPT.parent / "ray_start.py")
    ray_start = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(ray_start)
    import ray

    calls = []

    def init(**kwargs):
        calls.append(kwargs)
        if len(calls) < 3:
            raise Exception("The current node timed out during startup. This could happen because ...")

    monkeypatch.setattr(ray, "is_initialized", lambda: False)
    monkeypatch.setattr(ray, "init", init)
    monkeypatch.setattr(ray, "shutdown", lambda: None)
    ray_start.init_ray(None, num_cpus=2)
    assert calls == [{"address": "local", "num_cpus": 2, "include_dashboard": False}] * 3  # never a stranger's cluster
    assert capsys.readouterr().err.count("did not start in time") == 2
    # The last timeout allowed is raised, and so is any other failure, or one to join a cluster.
    calls.clear()
    with pytest.raises(Exception, match="timed out"):
        ray_start.init_ray(None, num_cpus=2, attempts=2)
    monkeypatch.setattr(ray, "init", lambda **kw: calls.append(kw) or 1 / 0)
    calls.clear()
    with pytest.raises(ZeroDivisionError):
        ray_start.init_ray(None, num_cpus=2)
    with pytest.raises(ZeroDivisionError):
        ray_start.init_ray("auto", num_cpus=2)
    assert calls == [{"address": "local", "num_cpus": 2, "include_dashboard": False}, {"address": "auto"}]
