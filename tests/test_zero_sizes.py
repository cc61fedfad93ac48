"""One network for every board size: each board's move planes sit exactly in the larger layout."""

import numpy as np
import pytest

import murkle_chess as mc
import murkle_rl
from murkle_rl.zero.config import layout_planes, mirrored_planes, planes_into

SIZES = [(2, 1), (1, 2), (8, 1), (1, 8), (3, 7), (7, 3), (5, 5), (6, 6), (8, 8), (10, 10), (12, 10), (32, 4), (4, 32)]


def moves_seen(width, height, games=6, plies=60):
    """Legal moves of random games from the start position (every move of every position seen)."""
    rng = np.random.default_rng(width * 100 + height)
    seen = []
    for _ in range(games):
        try:
            game = mc.Game(width, height, murkle_rl.start_fen(width, height), (width, height) == (8, 8))
        except ValueError:  # no start position on this board: the two kings alone
            game = mc.Game(width, height, "K" + ("k" if width > 1 else "/k") + " w - - 0 1", False)
        for _ in range(plies):
            legal = game.legal_moves()
            if not legal or game.is_over():
                break
            seen += legal
            game.make_move(legal[rng.integers(len(legal))])
    return seen


@pytest.mark.parametrize("width,height", SIZES)
def test_a_boards_planes_keep_their_moves_in_the_largest_layout(width, height):
    planes = mc.Game.get_move_planes_count(width, height)
    layout = layout_planes(31)
    into = planes_into(planes, layout)
    assert len(set(into.tolist())) == planes and into.max() < layout
    # The plane in the layout decodes, on the largest board, to the same step from the same square
    # (and the same piece for an underpromotion; a queen's is a plain step, promoted by the rules).
    for move in moves_seen(width, height):
        (sc, sr), plane = move.src_square(), move.encode(width, height)
        decoded = mc.Move.decode_from_plane(int(into[plane]), sc, sr, 32, 32)
        under = move.promotion() if move.promotion() in ("n", "b", "r") else None
        assert decoded is not None and (decoded.dst_square(), decoded.promotion()) == (move.dst_square(), under), move
    # Black's flip commutes with the map, top to bottom and left to right.
    for files in (False, True):
        small, big = np.array(mirrored_planes(planes, files)), np.array(mirrored_planes(layout, files))
        np.testing.assert_array_equal(into[small], big[into])


def test_a_larger_board_does_not_fit_a_smaller_layout():
    assert planes_into(layout_planes(5), layout_planes(5)).tolist() == list(range(layout_planes(5)))
    with pytest.raises(ValueError, match="does not fit"):
        planes_into(layout_planes(7), layout_planes(5))


@pytest.fixture(scope="module")
def any_size_agent():
    pytest.importorskip("torch")
    from murkle_rl.zero.config import Config
    from murkle_rl.zero.network import Evaluator, make_net

    cfg = Config(width=6, height=6, channels=8, blocks=1)
    return cfg, make_net(cfg)


def test_one_network_answers_every_size_alike_in_pytorch_and_onnx(any_size_agent):
    pytest.importorskip("onnxruntime")
    from murkle_rl.zero.agent import can_play
    from murkle_rl.zero.network import Evaluator

    cfg, net = any_size_agent
    torch_agent, onnx_agent = Evaluator(net, cfg), Evaluator(net, cfg, onnx=True)
    for width, height in [(6, 6), (8, 8), (3, 7), (12, 10), (32, 4), (2, 1)]:
        batch = murkle_rl.GameBatch(4, width, height, planes=torch_agent.input_planes, seed=width)
        batch.play_random(3)
        logits, values = torch_agent(batch.planes())
        assert logits.shape == (4, batch.num_actions) and values.shape == (4,)
        onnx_logits, onnx_values = onnx_agent(batch.planes())
        np.testing.assert_allclose(onnx_logits, logits, atol=1e-4)
        np.testing.assert_allclose(onnx_values, values, atol=1e-5)
    assert can_play(torch_agent, 32, 32) and not can_play(torch_agent, 33, 31)


def test_a_network_of_one_size_still_loads_and_plays_its_boards_only(tmp_path):
    pytest.importorskip("torch")
    from murkle_rl.zero.agent import can_play
    from murkle_rl.zero.config import Config
    from murkle_rl.zero.network import load_agent, make_net, save_agent

    cfg = Config(width=6, height=6, channels=8, blocks=1, any_size=False)
    save_agent(tmp_path / "agent.pt", make_net(cfg), cfg)
    agent = load_agent(tmp_path / "agent.pt")
    assert not agent.any_size and can_play(agent, 6, 6) and can_play(agent, 6, 3) and not can_play(agent, 8, 8)
    assert Config.from_saved({"width": 6, "height": 6}).any_size is False  # agents of earlier versions


def test_a_run_on_two_sizes_trains_one_agent_that_resumes_and_plays_a_size_it_never_saw(tmp_path):
    pytest.importorskip("torch")
    import subprocess
    import sys

    from murkle_rl.zero.agent import load_agent, think
    from murkle_rl.zero.learner import Trainer

    tiny = ["--sizes", "5x5,4x6", "--games", "4", "--simulations", "4", "--max-considered", "4", "--channels", "8",
            "--blocks", "1", "--plies-per-iter", "6", "--batch-size", "16", "--buffer", "500", "--minutes", "0",
            "--eval-every", "0", "--max-plies", "12", "--threads", "1", "--torch-threads", "1", "--quiet",
            "--out", str(tmp_path)]
    for iterations, extra in ((3, ["--actors", "1"]), (5, ["--actors", "0", "--resume"])):
        run = subprocess.run([sys.executable, "-m", "murkle_rl.zero", "train", *tiny, "--iterations", str(iterations),
                              *extra], capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
    trainer = Trainer.load(tmp_path)
    assert trainer.iteration == 5 and trainer.cfg.board_sizes == [(5, 5), (4, 6)]
    assert (trainer.cfg.width, trainer.cfg.height) == (5, 5)
    # the actor's games went on, each size's (its round under way at the first stop counted too)
    assert [p.rounds for p in trainer.player.players] == [6, 6]
    assert all(b.size > 0 for b in trainer.buffer.buffers.values())
    agent = load_agent(tmp_path)
    for width, height in ((5, 5), (4, 6), (7, 7), (8, 8)):  # 7x7 and 8x8: sizes it never saw
        game = mc.Game(width, height, murkle_rl.start_fen(width, height), (width, height) == (8, 8))
        assert think(agent, game, 8).move in game.legal_moves()


def test_export_writes_an_onnx_model_that_answers_as_the_agent(tmp_path, any_size_agent, capsys):
    ort = pytest.importorskip("onnxruntime")
    from murkle_rl.zero import cli
    from murkle_rl.zero.network import Evaluator, save_agent

    cfg, net = any_size_agent
    save_agent(tmp_path / "agent.pt", net, cfg)
    assert cli.main(["export", str(tmp_path / "agent.pt"), "--onnx", str(tmp_path / "a.onnx"), "--width", "7",
                     "--height", "5"]) == 0
    session = ort.InferenceSession(str(tmp_path / "a.onnx"), providers=["CPUExecutionProvider"])
    meta = session.get_modelmeta().custom_metadata_map
    planes = [int(p) for p in meta["input_planes"].split(",")]
    batch = murkle_rl.GameBatch(3, 7, 5, planes=planes, seed=2)
    batch.play_random(5)  # Black to move in some: the graph turns them itself
    logits, values = session.run(None, {"planes": batch.planes()})
    want = Evaluator(net, cfg)(batch.planes())
    np.testing.assert_allclose(logits, want[0], atol=1e-4) and np.testing.assert_allclose(values, want[1], atol=1e-5)
    with pytest.raises(SystemExit, match="at most 32 rows and columns"):
        cli.main(["export", str(tmp_path / "agent.pt"), "--onnx", str(tmp_path / "b.onnx"), "--width", "40",
                  "--height", "2"])


def test_evaluate_plays_a_size_the_agent_never_saw_and_says_so(tmp_path, any_size_agent, capsys):
    pytest.importorskip("tqdm")
    from murkle_rl.zero import cli
    from murkle_rl.zero.games import load_games
    from murkle_rl.zero.network import save_agent

    cfg, net = any_size_agent
    save_agent(tmp_path / "agent.pt", net, cfg)
    entry = cli.main(["evaluate", "--checkpoint", str(tmp_path / "agent.pt"), "--width", "7", "--height", "7",
                      "--games", "2", "--simulations", "2", "--max-plies", "10", "--torch-threads", "1", "--quiet"])
    assert sum(entry["greedy_result"].values()) == 2
    assert "7x7 is a size this agent never trained on (it trained on 6x6)" in capsys.readouterr().err
    assert {(g.width, g.height) for g in load_games(tmp_path / "evaluate_games.pgn")} == {(7, 7)}


def test_the_shipped_agents_load_by_name_and_play_their_boards():
    pytest.importorskip("torch")
    from murkle_rl.zero import cli
    from murkle_rl.zero.agent import shipped_agent

    for name, size in (("6x6", (6, 6)), ("8x8", (8, 8))):
        agent = shipped_agent(name)
        assert (agent.width, agent.height) == size and agent.any_size
    with pytest.raises(ValueError, match="the shipped agents are 6x6, 8x8"):
        shipped_agent("9x9")
    import io

    out = io.StringIO()
    args = cli.build_parser().parse_args(["play", "--agent", "8x8", "--simulations", "4"])
    cli.play(args, stdin=io.StringIO(f"8 8 {murkle_rl.start_fen(8, 8)}\n"), stdout=out)
    assert out.getvalue().strip() in {m.to_lan() for m in mc.Game.standard().legal_moves()}


def test_size_shares_weigh_the_sizes_and_small_first_only_reorders_their_moves():
    from murkle_rl.zero.config import Config

    cfg = Config(sizes="8x8,6x6,7x7", size_weights="2,1,1")
    assert cfg.size_shares(0.3) == [1.5, 0.75, 0.75]
    ramp = Config(sizes="8x8,6x6,7x7", size_schedule="small-first")
    assert ramp.size_shares(0.0) == [0.0, 2.0, 1.0] and ramp.size_shares(1.0) == [2.0, 0.0, 1.0]
    # over the run, each size plays what the uniform mix gives it, and every round as many moves
    t = np.linspace(0, 1, 101)
    shares = np.array([ramp.size_shares(x) for x in t])
    assert np.allclose(shares.sum(1), 3) and np.allclose(np.trapezoid(shares, t, axis=0), 1)
    assert Config(size_schedule="small-first").size_shares(0.0) == [1.0]  # one size: nothing to order
    for bad in (dict(size_schedule="large-first"), dict(size_weights="1"), dict(size_weights="0,0"),
                dict(size_weights="a,b")):
        assert Config(sizes="6x6,8x8", **bad).problems()


def test_a_size_plays_its_share_of_the_moves_with_the_fractions_carried(monkeypatch):
    pytest.importorskip("torch")
    from murkle_rl.zero.config import Config
    from murkle_rl.zero.selfplay import MixedPlayer, SelfPlayer

    played: list[tuple[int, int]] = []
    monkeypatch.setattr(SelfPlayer, "play", lambda self, net, plies, adjudicate: played.append((self.cfg.width, plies)))
    player = MixedPlayer(Config(sizes="4x4,5x5", games=2), 0)
    for shares in ([0.5, 1.5], [0.5, 1.5], [0.5, 1.5], [0.0, 2.0]):
        player.play(None, 3, 0.0, shares)
    assert played == [(4, 1), (5, 4), (4, 2), (5, 5), (4, 1), (5, 4), (5, 6)]  # 1.5 and 4.5: the halves carried
