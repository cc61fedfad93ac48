"""examples/alphazero.py on tiny budgets: the network learns from its samples, a checkpoint
comes back whole (same predictions, and a resumed run equals an unbroken one), the evaluation
opponents and the compact buffer are right, and the play protocol answers legal moves."""

import importlib.util
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("tqdm")
pytest.importorskip("matplotlib")

import murkle_chess as mc  # noqa: E402
import murkle_rl  # noqa: E402

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "alphazero.py"
loader_info = importlib.util.spec_from_file_location("alphazero", SCRIPT)
az = importlib.util.module_from_spec(loader_info)
sys.modules["alphazero"] = az  # its dataclass looks its module up
loader_info.loader.exec_module(az)

# A tiny run on 5x5: 8 games, 4 simulations, a 8x1 network, 3 iterations of 6 plies.
TINY = ["--width", "5", "--height", "5", "--games", "8", "--simulations", "4", "--max-considered", "4",
        "--channels", "8", "--blocks", "1", "--plies-per-iter", "6", "--batch-size", "32", "--buffer", "2000",
        "--minutes", "0", "--eval-every", "0", "--eval-games", "4", "--threads", "1", "--quiet"]


def tiny_cfg(**changes):
    return az.Config(**({"width": 5, "height": 5, "games": 8, "simulations": 4, "max_considered": 4, "channels": 8,
                         "blocks": 1, "plies_per_iter": 6, "batch_size": 32, "buffer": 2000, "threads": 1,
                         "minutes": 0, "iterations": 3} | changes))


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("run")
    az.main(["train", *TINY, "--iterations", "3", "--eval-every", "0.0001", "--out", str(out)])
    return out


def test_a_run_writes_checkpoint_metrics_and_curve(run_dir):
    assert {"checkpoint.pt", "metrics.jsonl", "curve.png"} <= {p.name for p in run_dir.iterdir()}
    lines = (run_dir / "metrics.jsonl").read_text().splitlines()
    assert '"kind": "end"' in lines[-1] and '"kind": "eval"' in lines[0]
    trainer = az.Trainer.load(run_dir)
    assert trainer.iteration == 3 and trainer.history
    for entry in trainer.history:
        for name in az.OPPONENTS:
            assert sum(entry[name + "_result"].values()) == 4
            assert 0 <= entry[name] <= 1


def test_training_lowers_the_loss_on_self_play_samples():
    cfg = tiny_cfg(games=16, plies_per_iter=40, max_plies=40, batch_size=64, lr=1e-2)
    trainer = az.Trainer(cfg)
    samples = trainer.player.play(trainer.net, cfg.plies_per_iter)
    assert len(samples["value"]) >= 16  # every game ended by the cap at the latest
    trainer.buffer.add(samples)
    inputs, mask, policy = az.Samples.decode(cfg, samples)
    value = torch.from_numpy(samples["value"])
    target = torch.from_numpy(policy)
    entropy = -(target * torch.log(target.clamp_min(1e-30))).sum(1).mean()

    def losses():
        """KL divergence of the policy from its targets, and the value's squared error."""
        trainer.net.eval()
        with torch.no_grad():
            logits, v = trainer.net(torch.from_numpy(inputs))
            logits = logits.masked_fill(~torch.from_numpy(mask), -1e9)
            ce = -(target * torch.log_softmax(logits, 1)).sum(1).mean()
            return float(ce - entropy), float(torch.mean((v - value) ** 2))

    kl, mse = losses()
    for _ in range(60):
        trainer.train_step()
    kl_after, mse_after = losses()
    assert kl_after < 0.98 * kl and mse_after < 0.5 * mse


@pytest.mark.parametrize("adjudicate", [0.0, 4.0])
def test_capped_games_teach_a_draw_or_their_material(adjudicate):
    # The games move in step, so with a cap of 4 plies all of them end together, and at the next
    # step every game restarts and none makes a sample.
    cfg = tiny_cfg(max_plies=4, adjudicate=adjudicate, value_mix=0.0)
    player = az.SelfPlayer(cfg, seed=2)
    samples = player.play(az.make_net(cfg), 4)
    assert player.stats["games"] == cfg.games == player.stats["capped"]
    values = samples["value"].reshape(cfg.games, 4)  # four positions per game, White to move first
    np.testing.assert_array_equal(values[:, 0::2], -values[:, 1::2])
    if adjudicate == 0:
        assert not values.any()
    else:
        white = np.tanh(az.material(player.batch) / adjudicate)  # the final positions, shown until restart
        np.testing.assert_allclose(values[:, 0], white, rtol=1e-6)
    samples = player.play(az.make_net(cfg), 2)  # a step that restarts every game, then one move
    assert player.stats["moves"] == 5 * cfg.games and len(samples["value"]) == 0


def test_checkpoint_reloads_to_the_same_predictions(run_dir):
    net, cfg = az.load_net(run_dir)
    trainer = az.Trainer.load(run_dir)
    batch = murkle_rl.GameBatch(6, cfg.width, cfg.height, seed=3, threads=1)
    batch.play_random(5)
    planes = batch.planes()
    for a, b in zip(az.Evaluator(net, cfg)(planes), az.Evaluator(trainer.net, cfg)(planes)):
        np.testing.assert_array_equal(a, b)


def test_a_resumed_run_equals_an_unbroken_one(tmp_path):
    straight, broken = tmp_path / "straight", tmp_path / "broken"
    a = az.main(["train", *TINY, "--iterations", "4", "--out", str(straight)])
    az.main(["train", *TINY, "--iterations", "2", "--out", str(broken)])
    b = az.main(["train", *TINY, "--iterations", "4", "--out", str(broken), "--resume"])
    assert b.iteration == 4 and b.train_steps == a.train_steps
    for (name, x), y in zip(a.net.state_dict().items(), b.net.state_dict().values()):
        assert torch.equal(x, y), name
    assert a.buffer.size == b.buffer.size
    for field in az.Samples.FIELDS:
        np.testing.assert_array_equal(getattr(a.buffer, field), getattr(b.buffer, field))
    assert a.player.batch.fens() == b.player.batch.fens()


def test_ctrl_c_stops_after_the_iteration_and_saves_a_checkpoint(tmp_path):
    run = subprocess.Popen([sys.executable, str(SCRIPT), *TINY, "--iterations", "1000000", "--checkpoint-every",
                            "0.00001", "--out", str(tmp_path)], stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while not (tmp_path / "checkpoint.pt").exists() and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)  # the first iteration is done once its checkpoint is there
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=120)
    finally:
        run.kill()
    assert run.returncode == 0, err
    assert "Ctrl-C: stopping after this iteration" in err and "self-play games" in out
    trainer = az.Trainer.load(tmp_path)
    assert 1 <= trainer.iteration < 1000000
    assert '"kind": "end"' in (tmp_path / "metrics.jsonl").read_text().splitlines()[-1]


@pytest.mark.parametrize("history", [1, 3, 8])
def test_compact_samples_give_back_inputs_masks_and_policies(history):
    cfg = tiny_cfg(width=6, height=4, policy_top=64, history=history)
    batch = murkle_rl.GameBatch(5, 6, 4, seed=1, threads=1, repetitions=True)
    batch.play_random(7)
    planes, mask = batch.planes(), batch.legal_mask()
    search = murkle_rl.Search(batch, 12, seed=1)
    search.run()
    policy = search.policy()
    rows = az.Samples.encode(cfg, *batch.packed_planes(), mask, policy)
    back_inputs, back_mask, back_policy = az.Samples.decode(cfg, rows)
    np.testing.assert_array_equal(back_inputs, planes[:, cfg.input_planes])
    np.testing.assert_array_equal(back_mask, mask.reshape(5, -1))
    np.testing.assert_allclose(back_policy, policy, atol=1e-3)


def test_the_buffer_keeps_the_newest_samples_when_it_wraps():
    cfg = tiny_cfg(buffer=10)
    buffer = az.ReplayBuffer(cfg)
    rows = az.Samples(cfg, 7).rows()
    for start in (0, 7, 14):
        rows["value"] = np.arange(start, start + 7, dtype=np.float32)
        buffer.add(rows)
    assert buffer.size == 10 and sorted(buffer.value.tolist()) == list(range(11, 21))


def test_greedy_mover_takes_the_most_valuable_piece():
    # The queen on d1 can take the pawn on b3 or the queen on d3.
    fen = "k5/6/6/1p1q2/6/K2Q2 w - - 0 1"
    batch = murkle_rl.GameBatch(4, 6, 6, fen=fen, threads=1, seed=5)
    actions = az.greedy_mover(batch, np.random.default_rng(0))
    game = batch.game(0)
    assert {murkle_rl.decode_action(game, int(a)).to_lan() for a in actions} == {"d1d3"}


def test_a_match_counts_every_game_with_colours_alternating():
    cfg = tiny_cfg(eval_max_plies=30)
    net = az.make_net(cfg)
    result = az.play_match(net, cfg, "random", 5, simulations=3, seed=1)
    assert sum(result.values()) == 5
    result = az.play_match(net, cfg, "greedy", 4, simulations=0, seed=1)
    assert sum(result.values()) == 4


def test_play_answers_legal_moves_and_reports_bad_lines(run_dir):
    start = murkle_rl.start_fen(5, 5)
    lines = [f"5 5 {start}", "5 5 not a fen", "oops", "8 8 " + murkle_rl.start_fen(8, 8),
             "5 5 k4/5/5/5/K4 w - - 0 1", f"5 5 {start}"]
    run = subprocess.run([sys.executable, str(SCRIPT), "play", "--checkpoint", str(run_dir), "--simulations", "8"],
                         input="\n".join(lines) + "\n", capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    answers = run.stdout.splitlines()
    assert len(answers) == len(lines)
    game = mc.Game(5, 5, start, False)
    legal = {m.to_lan() for m in game.legal_moves()}
    assert answers[0] in legal and answers[5] == answers[0]
    assert all(a.startswith("error: ") for a in answers[1:5]), answers


@pytest.mark.ray
def test_ray_self_play_feeds_the_learner(tmp_path):
    pytest.importorskip("ray")
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    run = subprocess.run([sys.executable, str(SCRIPT), *TINY, "--iterations", "3", "--ray", "--workers", "1",
                          "--out", str(tmp_path)], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr
    assert "self-play games" in run.stdout and "per minute" in run.stdout
    trainer = az.Trainer.load(tmp_path)
    assert trainer.iteration == 3 and trainer.buffer.size > 0
    [kept] = trainer.ray_players
    assert kept["rounds"] >= 3 and kept["stats"]["moves"] > 0
    # A resumed run goes on with the games the actor had in flight, not with new ones.
    run = subprocess.run([sys.executable, str(SCRIPT), *TINY, "--iterations", "5", "--ray", "--workers", "1",
                          "--out", str(tmp_path), "--resume"], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr
    [resumed] = az.Trainer.load(tmp_path).ray_players
    assert resumed["rounds"] >= kept["rounds"] + 2
    assert resumed["stats"]["moves"] >= kept["stats"]["moves"] + 2 * 6 * 8
