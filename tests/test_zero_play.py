"""The play layer every front end uses: limits, the search session's tree, the one command line."""

import argparse
import subprocess
import sys
import threading
import time

import pytest

import murkle_chess as mc
import murkle_rl
from murkle_rl.zero import cli
from murkle_rl.zero.agent import UniformAgent, think
from murkle_rl.zero.play import Limit, SearchSession, batch_actions, network_actions, play_settings, run
from murkle_rl.zero.rules import check_size, has_castling, new_game, parse_size

START6 = murkle_rl.start_fen(6, 6)


def test_each_limit_ends_the_search_and_a_stop_ends_it_at_once():
    session = SearchSession(UniformAgent(6, 6))
    session.set_position(6, 6, START6, [])
    assert session.search(Limit(nodes=50)).simulations == 50
    started = time.monotonic()
    r = session.search(Limit(seconds=0.2))
    assert r.simulations > 0 and 0.15 < time.monotonic() - started < 5
    stop = threading.Event()
    threading.Timer(0.2, stop.set).start()
    r = session.search(Limit(stop=stop, wait=lambda: True))  # infinite: only the stop ends it
    assert stop.is_set() and r.best is not None
    r = session.search(Limit(max_bytes=1))  # a full tree still gives its move after one simulation
    assert r.simulations >= 1 and r.best in {m.to_lan() for m in new_game(6, 6).legal_moves()}
    infos: list = []  # the results so far, between rounds, as uci's info lines take them
    last = session.search(Limit(nodes=40), on_info=infos.append, info_every=0.0)
    counts = [i.simulations for i in infos]
    assert len(counts) >= 5 and counts == sorted(counts) and counts[-1] <= last.simulations == 40


def test_a_session_keeps_its_tree_when_the_game_follows_on():
    agent = UniformAgent(6, 6)
    session, game = SearchSession(agent), new_game(6, 6)
    first = think(agent, game, 200, session=session)
    kept = session.search_
    game.make_move(first.move)
    game.make_move(game.legal_moves()[0])  # the reply: two moves on, the same tree
    think(agent, game, 10, session=session)
    assert session.search_ is kept
    think(agent, new_game(6, 6, "k5/6/6/6/6/K5 w - - 0 1"), 10, session=session)  # elsewhere: a new tree
    assert session.search_ is not kept


def test_the_batched_loop_and_the_network_move_agree_with_the_search():
    batch = murkle_rl.GameBatch(4, 5, 5, seed=3, threads=1)
    batch.play_random(2)
    actions, search = batch_actions(UniformAgent(5, 5), play_settings(None), batch, 16, seed=1)
    assert search.visits().sum(1).tolist() == [16] * 4 and (actions >= 0).all()
    greedy = network_actions(UniformAgent(5, 5), batch)  # uniform logits: the first legal action
    mask = batch.legal_mask().reshape(4, -1)
    assert all(mask[i, a] for i, a in enumerate(greedy))
    fresh = murkle_rl.Search(batch, 8, seed=1)
    progress = run(fresh, UniformAgent(5, 5), Limit(stop=lambda: True))
    assert progress.stopped and progress.simulations == 0 and fresh.pending == 0


def test_the_rules_helper_says_which_boards_exist():
    assert parse_size("chess") == (8, 8) == parse_size(" 8 x 8 ") and has_castling(8, 8) and not has_castling(8, 7)
    assert check_size(1024, 1) == (1024, 1) and check_size(1, 1) == (1, 1)
    for bad in ("33x33", "0x5", "banana", "9" * 30 + "x1"):
        with pytest.raises(ValueError):
            parse_size(bad)


def test_the_front_ends_share_the_agents_options():
    parser = cli.build_parser()
    subparsers = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices
    for option in ("--threads", "--c-puct", "--torch-threads", "--checkpoint"):
        helps = {name: next((a.help for a in subparsers[name]._actions if option in a.option_strings), None)
                 for name in ("uci", "match", "serve", "play", "evaluate")}
        texts = {h.split(" (default")[0] for h in helps.values() if h is not None}
        assert None not in helps.values() and len(texts) == 1, (option, helps)
    with pytest.warns(FutureWarning, match="--workers is now --actors"):
        assert parser.parse_args(["train", "--workers", "3"]).actors == 3


def test_report_prints_a_runs_summary_from_its_metrics(tmp_path):
    pytest.importorskip("matplotlib")
    from murkle_rl.zero.report import MetricsLog

    log = MetricsLog(tmp_path)
    log.write({"kind": "start", "config": {"width": 5, "height": 5, "channels": 8, "blocks": 1, "simulations": 4}})
    for minute in range(1, 4):
        log.write({"kind": "train", "minutes": minute, "policy": 3.0 / minute, "value": 0.5, "games": 100 * minute})
    log.write({"kind": "eval", "minutes": 3, "random": 0.75, "random_result": {"wins": 3, "draws": 0, "losses": 1},
               "simulations": 8})
    (tmp_path / "metrics.jsonl").open("a").write('{"kind": "end", "minu')  # a line torn by a crash
    out = subprocess.run([sys.executable, "-m", "murkle_rl.zero", "report", str(tmp_path)], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "300 self-play games" in out.stdout and "vs random 75% (3 wins" in out.stdout
    assert (tmp_path / "curve.png").stat().st_size > 1000


def test_tensorboard_gets_the_numbers_of_the_metrics(tmp_path):
    pytest.importorskip("tensorboard")
    pytest.importorskip("torch")
    from murkle_rl.zero.report import MetricsLog

    log = MetricsLog(tmp_path, tmp_path / "tb")
    log.write({"kind": "train", "steps": 10, "policy": 2.5, "value": 0.3, "stopped": False})
    log.close()
    from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

    events = EventAccumulator(str(tmp_path / "tb"))
    events.Reload()
    assert [s.value for s in events.Scalars("train/policy")] == [2.5] and "train/stopped" not in events.Tags()["scalars"]
