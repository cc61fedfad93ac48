"""The trainer (murkle_rl.zero) on tiny budgets: the network learns from its samples, a run
writes its checkpoint, agent, metrics, curve and games, a resumed run equals an unbroken one,
Ctrl-C saves (also in the middle of an evaluation), and the compact buffer is right."""

import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import replace

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("tqdm")
pytest.importorskip("matplotlib")

import murkle_chess as mc  # noqa: E402
import murkle_rl  # noqa: E402
from murkle_rl.zero import cli  # noqa: E402
from murkle_rl.zero.config import Config  # noqa: E402
from murkle_rl.zero.games import load_games  # noqa: E402
from murkle_rl.zero.learner import Trainer  # noqa: E402
from murkle_rl.zero.network import Evaluator, load_net, make_net  # noqa: E402
from murkle_rl.zero.replay import ReplayBuffer, Samples  # noqa: E402
from murkle_rl.zero.selfplay import SelfPlayer, material, with_planes  # noqa: E402

torch.set_num_threads(1)  # the tests share a small machine

# A tiny run on 5x5: 8 games, 4 simulations, a 8x1 network, iterations of 6 plies, self-play in
# the learner's process.
TINY = ["--actors", "0", "--width", "5", "--height", "5", "--games", "8", "--simulations", "4", "--max-considered", "4",
        "--channels", "8", "--blocks", "1", "--plies-per-iter", "6", "--batch-size", "32", "--buffer", "2000",
        "--minutes", "0", "--eval-every", "0", "--eval-games", "4", "--eval-simulations", "2",
        "--eval-max-plies", "20", "--threads", "1", "--torch-threads", "1", "--quiet"]
ZERO = [sys.executable, "-m", "murkle_rl.zero"]


def tiny_cfg(**changes):
    """A tiny network on the engine's planes alone (they come in 105 too); runs from the command
    line read the attack planes, as the defaults do."""
    return Config(**({"width": 5, "height": 5, "games": 8, "simulations": 4, "max_considered": 4, "channels": 8,
                      "blocks": 1, "plies_per_iter": 6, "batch_size": 32, "buffer": 2000, "threads": 1,
                      "minutes": 0, "iterations": 3, "attack_planes": False} | changes))


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    """A run of 3 iterations with self-play in a process of its own, evaluated before the first and
    at the end, games capped at 12 plies."""
    out = tmp_path_factory.mktemp("run")
    run = subprocess.run([*ZERO, "train", *TINY, "--actors", "1", "--iterations", "3", "--eval-every", "1", "--max-plies", "12",
                          "--keep-games", "1", "--out", str(out)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return out


def test_a_run_writes_checkpoint_agent_metrics_curve_and_games(run_dir):
    assert {"checkpoint.pt", "agent.pt", "metrics.jsonl", "curve.png", "eval_games.pgn",
            "selfplay_games.pgn"} <= {p.name for p in run_dir.iterdir()}
    records = [__import__("json").loads(line) for line in (run_dir / "metrics.jsonl").read_text().splitlines()]
    assert records[-1]["kind"] == "end" and records[0]["kind"] == "start" and records[1]["kind"] == "eval"
    assert records[0]["config"]["width"] == 5  # a report reads the run from its metrics alone
    assert [r["iteration"] for r in records if r["kind"] == "eval"] == [0, 3]
    assert any(r["kind"] == "train" and r["policy"] > 0 for r in records)
    trainer = Trainer.load(run_dir)
    assert trainer.iteration == 3 and len(trainer.history) == 2
    assert trainer.losses and all("games" in entry for entry in trainer.losses)
    for entry in trainer.history:
        for name in ("random", "greedy"):
            assert sum(entry[name + "_result"].values()) == 4 and 0 <= entry[name] <= 1
    # Every evaluation game is kept; self-play games that ended are kept, one per iteration at most.
    evaluated = load_games(run_dir / "eval_games.pgn")
    assert len(evaluated) == 2 * 2 * 4
    kept = load_games(run_dir / "selfplay_games.pgn")
    # (a game reaching the cap of 12 plies is drawn; one may end sooner, by the rules)
    assert 1 <= len(kept) <= 3 and all(len(g.moves) < 12 or g.result == "1/2-1/2" for g in kept)
    assert all(len(g.moves) <= 12 for g in kept)
    for game in evaluated + kept:  # the moves replay legally from the start and end as recorded
        board = mc.Game(game.width, game.height, game.fen, False)
        for lan in game.moves:
            board.make_move(board.move_from_lan(lan))
        assert not board.is_over() or game.result == {1: "1-0", -1: "0-1", 0: "1/2-1/2"}[int(board.reward_absolute())]


def test_games_prints_the_kept_games(run_dir, capsys):
    cli.main(["games", str(run_dir / "selfplay_games.pgn"), "--index", "0"])
    game = load_games(run_dir / "selfplay_games.pgn")[0]
    out = capsys.readouterr().out
    assert game.fen in out and " ".join(game.moves[2:4]) in out and out.rstrip().endswith(game.result)
    cli.main(["games", str(run_dir)])
    assert capsys.readouterr().out.rstrip().endswith(f"16 games in {run_dir / 'eval_games.pgn'}")
    with pytest.raises(SystemExit, match="no game 99"):
        cli.main(["games", str(run_dir), "--index", "99"])
    # As a command, a finished command exits 0 (the console script turns results into a status).
    proc = subprocess.run([sys.executable, "-m", "murkle_rl.zero", "games", str(run_dir), "--index", "-1"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip(), proc.stderr
    drawn = run_dir / "game.svg"
    cli.main(["games", str(run_dir), "--svg", str(drawn)])
    assert drawn.read_text().count("<animate") >= len(load_games(run_dir / "eval_games.pgn")[-1].moves)


@pytest.mark.parametrize("bf16", [False, True])
def test_training_lowers_the_loss_on_self_play_samples(bf16):
    cfg = tiny_cfg(games=16, plies_per_iter=40, max_plies=40, batch_size=64, lr=1e-2, bf16=False)
    trainer = Trainer(cfg)
    [samples] = trainer.player.play(trainer.net, cfg.plies_per_iter).values()
    trainer.cfg = replace(cfg, bf16=bf16)  # the same samples, trained on in either precision
    assert len(samples["value"]) >= 16  # every game ended by the cap at the latest
    trainer.buffer.add(samples)
    inputs, mask, policy = Samples.decode(cfg, samples)
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


@pytest.mark.parametrize("adjudicate, late, scale", [(0.0, False, 1.0), (4.0, False, 1.0), (4.0, True, 1.0),
                                                    (4.0, False, 0.5)])
def test_capped_games_teach_a_draw_or_their_material(adjudicate, late, scale):
    # The games move in step, so with a cap of 4 plies all of them end together, and at the next
    # step every game restarts and none makes a sample. Late in a run that adjudicates only its
    # first half, capped games teach a draw; `capped_value` scales what they teach.
    cfg = tiny_cfg(max_plies=4, adjudicate=adjudicate, value_mix=0.0, keep_games=3, iterations=4,
                   adjudicate_until=0.5, capped_value=scale)
    trainer = Trainer(cfg)
    trainer.iteration = 2 if late else 1
    if late:
        adjudicate = 0.0
    player = SelfPlayer(cfg, seed=2)
    samples = player.play(make_net(cfg), 4, trainer.adjudication())
    assert player.stats["games"] == cfg.games == player.stats["capped"]
    assert len(player.kept) == 3 and all(len(g.moves) == 4 for g in player.kept)
    values = samples["value"].reshape(cfg.games, 4)  # four positions per game, White to move first
    np.testing.assert_array_equal(values[:, 0::2], -values[:, 1::2])
    if adjudicate == 0:
        assert not values.any()
    else:
        white = scale * np.tanh(material(player.batch) / adjudicate)  # the final positions, shown until restart
        np.testing.assert_allclose(values[:, 0], white, rtol=1e-6)
    samples = player.play(make_net(cfg), 2)  # a step that restarts every game, then one move
    assert player.stats["moves"] == 5 * cfg.games and len(samples["value"]) == 0 and not player.kept


@pytest.mark.parametrize("plies, resign", [(0, 0.0), (3, 1e-6), (500, 0.0)])
def test_material_targets_are_the_balance_some_plies_later(plies, resign):
    # Counted from the FENs of the kept games, replayed move by move: the side to move's balance
    # `plies` later, or at the game's end (for a resigned game, the position it was resigned in).
    worth = dict(zip("pnbrqk", [1, 3, 3, 5, 9, 0]))
    cfg = tiny_cfg(max_plies=12, keep_games=99, material_weight=1.0, material_plies=plies, resign=resign,
                   resign_check=0.0)
    player = SelfPlayer(cfg, seed=4)
    torch.manual_seed(0)
    samples = player.play(make_net(cfg), 13)
    assert (player.stats["resigned"] > 0) == (resign > 0)
    want = []
    for record in player.kept:
        game, balance, sign = record.start(), [], []
        for move in [*record.moves, None]:
            board = game.to_fen().split()[0]
            balance.append(sum(worth[c.lower()] * (1 if c.isupper() else -1) for c in board if c.isalpha()))
            sign.append(1 if game.turn() == mc.WHITE else -1)
            if move:
                game.make_move(game.move_from_lan(move))
        n = len(record.moves)
        resigned = not game.is_over() and n < cfg.max_plies
        want += [np.tanh(sign[t] * balance[min(t + plies, n)] / 4) for t in range(n + resigned)]
    assert len(want) == len(samples["material"]) > 0
    np.testing.assert_allclose(samples["material"], want, atol=1e-6)
    trainer = Trainer(cfg)
    trainer.buffer.add(samples)
    assert set(trainer.train_step()) == {"policy", "value", "material"}
    with pytest.raises(ValueError, match="no material head"):
        make_net(tiny_cfg())(torch.zeros(1, len(cfg.input_planes), 5, 5), material=True)


def test_material_value_mixes_the_balance_into_the_value_target():
    runs = []
    for share in (0.0, 0.25):  # the same games twice: only the value targets differ
        cfg = tiny_cfg(max_plies=12, material_weight=1.0, material_plies=3, material_value=share)
        torch.manual_seed(0)
        runs.append(SelfPlayer(cfg, seed=4).play(make_net(cfg), 13))
    plain, mixed = runs
    np.testing.assert_array_equal(plain["material"], mixed["material"])
    np.testing.assert_allclose(mixed["value"], 0.75 * plain["value"] + 0.25 * plain["material"], atol=1e-6)
    for wrong in ("material_value", "material_mix", "eval_material_mix"):
        assert Config(**{wrong: 1.5}).problems() == [
            "--value-mix, --material-value, --material-mix and --eval-material-mix must be between 0 and 1"]


def test_fast_searches_teach_only_the_value():
    cfg = tiny_cfg(fast_simulations=2, full_fraction=0.5, max_plies=6, value_mix=0.0)
    player = SelfPlayer(cfg, seed=3)
    samples = player.play(make_net(cfg), 6)  # every game ends at the cap: 6 rows each
    full = samples["full"].reshape(cfg.games, 6)
    assert (full == full[:1]).all() and 0 < full.mean() < 1  # a whole ply is searched in full or fast
    trainer = Trainer(cfg)
    trainer.buffer.add(samples | {"full": np.zeros_like(samples["full"])})
    assert trainer.train_step()["policy"] == 0


def test_forced_playouts_thin_the_puct_policy_targets():
    assert Config(forced_playouts=2.0).problems() == ["--forced-playouts is for PUCT self-play: add --no-gumbel"]
    kept = []  # moves given a share of the policy targets, without and with forced playouts
    for k in (0.0, 2.0):
        cfg = tiny_cfg(gumbel=False, forced_playouts=k, simulations=12, max_plies=4)
        torch.manual_seed(0)
        samples = SelfPlayer(cfg, seed=3).play(make_net(cfg), 4)
        np.testing.assert_allclose(samples["policy_p"].astype(np.float32).sum(1), 1.0, atol=2e-2)
        kept.append((samples["policy_p"] > 0).sum())
    assert kept[1] < kept[0]


@pytest.mark.parametrize("check, gumbel", [(0.0, True), (0.0, False), (1.0, True)])
def test_a_losing_side_resigns_unless_its_game_plays_on_to_check(check, gumbel):
    # An untrained network: some sides to move see a value below -1e-6 and resign.
    cfg = tiny_cfg(resign=1e-6, resign_check=check, value_mix=0.0, adjudicate=0.0, max_plies=6, keep_games=99,
                   gumbel=gumbel)
    player = SelfPlayer(cfg, seed=5)
    torch.manual_seed(0)  # a network that values some positions below 0 for the side to move
    samples = player.play(make_net(cfg), 6)
    s, values, at = player.stats, samples["value"], 0
    assert len(player.kept) == s["games"] and s["resigned"] == (s["games"] - s["capped"]) * (check == 0)
    for record in player.kept:  # finished in this order; a resigned game keeps the position, not its move
        game = record.start()
        for move in record.moves:
            game.make_move(game.move_from_lan(move))
        resigned = not game.is_over() and len(record.moves) < cfg.max_plies
        rows = values[at: at + len(record.moves) + resigned]
        at += len(rows)
        want = {"1-0": 1.0, "0-1": -1.0}.get(record.result, 0.0) * (1 if game.turn() == mc.WHITE else -1)
        assert rows[-1] == (-1 if resigned else want) and (rows[:-1] == -rows[1:]).all()
    assert at == len(values)
    if check:
        assert s["resign_checks"] == s["resign_false"] == s["resign_false_capped"] == s["games"] == cfg.games
        assert all(type(v) in (int, float) for v in s.values())  # the metrics write them as JSON
    else:
        assert s["resigned"] > 0 and (player.batch.plies() < 6).any()  # their games restarted


@pytest.mark.parametrize("fast", [[], ["--fast-simulations", "2", "--full-fraction", "0.5", "--resign", "1e-6",
                                         "--resign-check", "0.5", "--ema", "0.9"], ["--ema", "0.9", "--no-onnx"]])
def test_a_resumed_run_equals_an_unbroken_one(tmp_path, fast, monkeypatch):
    fast = [*fast, "--max-plies", "10"]  # games end, and train, in the first half
    # The learning rate follows each command's budget (--iterations 2, then 4): held here.
    monkeypatch.setattr(Trainer, "lr", lambda self: self.cfg.lr)
    straight, broken = tmp_path / "straight", tmp_path / "broken"
    a = cli.main(["train", *TINY, *fast, "--iterations", "4", "--out", str(straight)])
    cli.main(["train", *TINY, *fast, "--iterations", "2", "--out", str(broken)])
    b = cli.main(["train", *TINY, *fast, "--iterations", "4", "--out", str(broken), "--resume"])
    assert b.iteration == 4 and b.train_steps == a.train_steps > 0
    assert (a.playing_net is not a.net) == ("--ema" in fast)  # the average plays, and is the agent
    agent, _ = load_net(straight)
    for one, other in ((a.net, b.net), (a.playing_net, b.playing_net), (a.playing_net, agent)):
        for (name, x), y in zip(one.state_dict().items(), other.state_dict().values()):
            assert torch.equal(x, y), name
    assert a.buffer.size == b.buffer.size
    [(size, buffer)] = a.buffer.buffers.items()
    for field in Samples.FIELDS:
        np.testing.assert_array_equal(getattr(buffer, field), getattr(b.buffer.buffers[size], field))
    assert [p.batch.fens() for p in a.player.players] == [p.batch.fens() for p in b.player.players]
    counts = ("games", "resigned", "resign_checks", "resign_false")
    assert [a.player.stats[k] for k in counts] == [b.player.stats[k] for k in counts]
    assert (a.player.stats["resigned"] > 0) == ("--resign" in fast)


def interrupt(args, tmp_path, wait_for):
    """Starts a run, sends SIGINT to its processes once ``wait_for`` exists, as Ctrl-C at a
    terminal does; returns (returncode, stdout, stderr)."""
    run = subprocess.Popen([*ZERO, *args, "--out", str(tmp_path)], stderr=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not (tmp_path / wait_for).exists() and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        os.killpg(run.pid, signal.SIGINT)
        out, err = run.communicate(timeout=120)
    finally:
        run.kill()
    return run.returncode, out, err


def test_ctrl_c_stops_after_the_iteration_and_saves_a_checkpoint(tmp_path, monkeypatch, capsys):
    play = SelfPlayer.play

    def play_then_ctrl_c(self, *args):  # a real SIGINT in the middle of the second iteration
        if self.rounds == 1:
            os.kill(os.getpid(), signal.SIGINT)
        return play(self, *args)

    monkeypatch.setattr(SelfPlayer, "play", play_then_ctrl_c)
    before = signal.getsignal(signal.SIGINT)  # ignored when the tests run in the background
    trainer = cli.main(["train", *TINY, "--iterations", "1000000", "--out", str(tmp_path)])
    assert trainer.iteration == 2
    out, err = capsys.readouterr()
    assert "Ctrl-C: stopping after this iteration" in err and "self-play games" in out
    assert Trainer.load(tmp_path).iteration == 2 and (tmp_path / "agent.pt").exists()
    assert '"kind": "end"' in (tmp_path / "metrics.jsonl").read_text().splitlines()[-1]
    assert signal.getsignal(signal.SIGINT) is before


def test_ctrl_c_ends_an_evaluation_at_once_with_its_partial_scores(tmp_path):
    # A first evaluation of minutes (200 games, 64 simulations a move, no time limit); the
    # checkpoint written before it says it is starting.
    code, out, err = interrupt([*TINY, "--iterations", "5", "--eval-every", "1", "--eval-games", "200",
                                "--eval-simulations", "64", "--eval-seconds", "0", "--eval-max-plies", "300"],
                               tmp_path, "checkpoint.pt")
    assert code == 0, err
    assert "evaluation cut short (Ctrl-C)" in err and "last evaluation" not in out
    trainer = Trainer.load(tmp_path)
    assert trainer.iteration == 0 and trainer.history == []
    lines = (tmp_path / "metrics.jsonl").read_text().splitlines()
    assert '"stopped": true' in lines[1] and '"kind": "end"' in lines[-1]


def test_ctrl_c_stops_a_run_with_an_actor_and_keeps_its_games(tmp_path):
    code, out, err = interrupt([*TINY, "--actors", "1", "--iterations", "1000000"], tmp_path, "checkpoint.pt")
    assert code == 0 and "Traceback" not in err, err
    trainer = Trainer.load(tmp_path)
    [actor] = trainer.actor_players
    assert actor["rounds"] == trainer.iteration + 1  # the round under way when the run stopped


@pytest.mark.parametrize("history", [1, 3, 8])
def test_compact_samples_give_back_inputs_masks_and_policies(history):
    cfg = tiny_cfg(width=6, height=4, policy_top=64, history=history)
    batch = murkle_rl.GameBatch(5, 6, 4, seed=1, threads=1, repetitions=True)
    batch.play_random(7)
    planes, mask = batch.planes(), batch.legal_mask()
    search = murkle_rl.Search(batch, 12, seed=1)
    search.run()
    policy = search.policy()
    rows = Samples.encode(cfg, *batch.packed_planes(), mask, policy)
    back_inputs, back_mask, back_policy = Samples.decode(cfg, rows)
    np.testing.assert_array_equal(back_inputs, planes[:, cfg.input_planes])
    np.testing.assert_array_equal(back_mask, mask.reshape(5, -1))
    np.testing.assert_allclose(back_policy, policy, atol=1e-3)
    chosen = murkle_rl.GameBatch(5, 6, 4, seed=1, threads=1, repetitions=True, planes=cfg.input_planes)
    chosen.play_random(7)  # the same games, holding just the network's planes
    for field, value in Samples.encode(cfg, *chosen.packed_planes(), mask, policy).items():
        np.testing.assert_array_equal(value, rows[field], err_msg=field)


def test_the_evaluator_takes_all_planes_or_just_those_it_reads():
    cfg = tiny_cfg(history=2)
    evaluator = Evaluator(make_net(cfg), cfg)
    batch = murkle_rl.GameBatch(3, 5, 5, seed=0, threads=1, max_plies=9)
    batch.play_random(5)
    chosen = with_planes(batch, evaluator.input_planes)
    assert chosen.plane_indices == tuple(cfg.input_planes) and chosen.fens() == batch.fens()
    assert chosen.max_plies == 9 and chosen.planes().shape == (3, 33, 5, 5)
    for got, want in zip(evaluator(chosen.planes()), evaluator(batch.planes())):
        np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(material(chosen), material(batch))
    with pytest.raises(ValueError, match="planes must have shape"):
        evaluator(batch.planes()[:, :5])
    seven = tiny_cfg(history=7, attack_planes=True)  # reads 105 planes, not the engine's 105
    assert len(seven.input_planes) == 105 and Evaluator(make_net(seven), seven)(
        with_planes(batch, list(seven.input_planes)).planes())[1].shape == (3,)


@pytest.mark.parametrize("canonical", [True, False])
def test_onnx_runtime_and_bfloat16_compute_what_pytorch_does(canonical, monkeypatch):
    pytest.importorskip("onnxruntime")
    cfg = tiny_cfg(width=6, height=9, canonical=canonical, material_weight=float(canonical))
    net = make_net(cfg)
    trainer_like = torch.optim.SGD(net.parameters(), lr=0.1)  # weights and batch statistics away from their start
    net.train()
    net(torch.rand(8, len(cfg.input_planes), 9, 6))[1].sum().backward()
    trainer_like.step()
    batch = murkle_rl.GameBatch(5, 6, 9, seed=1, threads=1)
    batch.play_random(7)
    fast, slow = Evaluator(net, cfg, onnx=True), Evaluator(net, cfg)
    assert fast.session is not None and slow.session is None and net.training  # the export leaves the mode
    for k in (1, 5):
        for got, want in zip(fast(batch.planes()[:k]), slow(batch.planes()[:k])):
            np.testing.assert_allclose(got, want, atol=1e-5)
    half = Evaluator(net, cfg, onnx=True, bf16=True)
    assert half.session is None
    for got, want in zip(half(batch.planes()), slow(batch.planes())):
        assert got.dtype == np.float32
        np.testing.assert_allclose(got, want, rtol=0.03, atol=0.03)
    monkeypatch.setitem(sys.modules, "onnx", None)  # an exporter that cannot run: PyTorch computes
    with pytest.warns(RuntimeWarning, match="runs in PyTorch"):
        assert Evaluator(net, cfg, onnx=True).session is None


def test_the_buffer_keeps_the_newest_samples_when_it_wraps():
    cfg = tiny_cfg(buffer=10)
    buffer = ReplayBuffer(cfg)
    rows = Samples(cfg, 7).rows()
    for start in (0, 7, 14):
        rows["value"] = np.arange(start, start + 7, dtype=np.float32)
        buffer.add(rows)
    assert buffer.size == 10 and sorted(buffer.value.tolist()) == list(range(11, 21))


@pytest.mark.ray
def test_ray_self_play_feeds_the_learner(tmp_path):
    pytest.importorskip("ray")
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    run = subprocess.run([*ZERO, *TINY, "--max-plies", "12", "--iterations", "3", "--ray", "--actors", "1",
                          "--train-while-waiting", "--out", str(tmp_path)], capture_output=True, text=True, env=env,
                         timeout=600)
    assert run.returncode == 0, run.stderr
    assert "self-play games" in run.stdout and "per minute" in run.stdout
    trainer = Trainer.load(tmp_path)
    assert trainer.iteration == 3 and trainer.buffer.size > 0
    [kept] = trainer.actor_players
    assert kept["rounds"] >= 3 and kept["stats"]["moves"] > 0
    # A resumed run goes on with the games the actor had in flight, not with new ones.
    run = subprocess.run([*ZERO, *TINY, "--iterations", "5", "--ray", "--workers", "1",  # --actors' old name
                          "--out", str(tmp_path), "--resume"], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr
    [resumed] = Trainer.load(tmp_path).actor_players
    assert resumed["rounds"] >= kept["rounds"] + 2
    assert resumed["stats"]["moves"] >= kept["stats"]["moves"] + 2 * 6 * 8


def test_a_run_goes_on_in_process_with_its_actors_games_and_a_failed_actor_says_why(run_dir, tmp_path):
    from murkle_rl.zero.actors import MAX_RESTARTS, ActorDied, ProcessSelfPlay

    shutil.copytree(run_dir, tmp_path / "run")
    trainer = Trainer.load(tmp_path / "run")
    [actor] = trainer.actor_players
    assert actor["rounds"] == 4 and trainer.player.stats["games"] >= 1  # the last round's samples are missed
    resumed = cli.main(["train", *TINY, "--iterations", "4", "--out", str(tmp_path / "run"), "--resume",
                        "--resign", "0.99", "--adjudicate", "0", "--adjudicate-until", "0.5",
                        "--capped-value", "0.5"])
    assert resumed.actor_players == [] and resumed.player.rounds == 5  # the actor's games went on
    assert resumed.cfg.resign == resumed.player.cfg.resign == 0.99  # resignation can start in a resumed run,
    assert resumed.player.cfg.adjudicate == 0 and resumed.cfg.adjudicate_until == 0.5  # and the adjudication
    assert resumed.player.cfg.capped_value == 0.5
    assert 0 < resumed.player.stats["moves"] - trainer.player.stats["moves"] <= 8 * 6  # the counts too
    trainer.actor_players = [{"broken": True}]
    remote = ProcessSelfPlay(trainer.cfg, trainer, 1)
    with pytest.raises(ActorDied, match="failed:(.|\n)*Traceback"):
        remote.collect()
    remote.close()
    trainer.actor_players = []
    remote = ProcessSelfPlay(trainer.cfg, trainer, 1)
    first = remote.processes[0]
    first.kill()  # a dead process is replaced, with new games, up to MAX_RESTARTS times
    [samples] = remote.collect().values()
    assert len(samples["value"]) >= 0 and remote.processes[0] is not first and remote.restarts == 1
    remote.restarts = MAX_RESTARTS
    remote.processes[0].kill()
    with pytest.raises(ActorDied, match="died .* after 3 others were replaced"):
        remote.collect()
    remote.close()


def test_the_learner_trains_on_while_its_actor_plays_up_to_twice_its_steps(run_dir):
    from murkle_rl.zero.actors import ProcessSelfPlay

    trainer = Trainer.load(run_dir)
    steps = round(8 * 6 * 4 / 32)  # games x plies per iteration x the replay ratio / the batch
    for waiting, more in [(lambda: False, 0), (lambda: True, steps)]:
        before = trainer.train_steps
        trainer.iterate({"value": np.zeros(0)}, waiting)
        assert trainer.train_steps - before == steps + more
    remote = ProcessSelfPlay(trainer.cfg, trainer, 1)
    deadline = time.monotonic() + 120
    while remote.waiting() and time.monotonic() < deadline:  # the actor plays its moves, then answers
        time.sleep(0.05)
    assert not remote.waiting()
    remote.collect()  # at once
    remote.close()


def test_the_device_option_is_checked_and_cpu_trains(tmp_path):
    assert Config(device="no-such-device").problems()[0].startswith("--device no-such-device:")
    trainer = Trainer(tiny_cfg(device="cpu", max_plies=6))  # every game ends in the one call
    trainer.buffer.add(trainer.player.play(trainer.net, 6))
    assert set(trainer.train_step()) == {"policy", "value"} and next(trainer.net.parameters()).device.type == "cpu"
