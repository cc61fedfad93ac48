"""Matches against UCI engines: referee, mismatches, openings, PGN and SAN, Elo, Fairy-Stockfish's rules."""

from __future__ import annotations

import io
import json
import math
import os
import random
import shutil
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import murkle_chess
import murkle_rl
from murkle_rl.zero import cli, match
from murkle_rl.zero.agent import UniformAgent
from murkle_rl.zero.cli import main as zero_main
from murkle_rl import pgn
from murkle_rl.pgn import PgnGame, san
from murkle_rl.zero.uci import new_game

TINY = os.path.join(os.path.dirname(__file__), "uci_tiny_engine.py")
FAIRY = shutil.which("fairy-stockfish") or shutil.which("fairy-stockfish", path="/usr/games")


def tiny(mode: str) -> list[str]:
    return [sys.executable, TINY, mode]


def test_match_against_a_tiny_engine(tmp_path):
    pgn = tmp_path / "games.pgn"
    seen = []
    r = match.run_match(UniformAgent(6, 6), tiny("first"), games=4, simulations=30, max_plies=120,
                        pgn_path=str(pgn), progress=seen.append, seed=3)
    assert r.scored == 4 == len(seen) and r.mismatches == r.errors == 0
    assert [g.agent_white for g in r.games] == [True, False, True, False]
    assert [g.pgn.white if g.agent_white else g.pgn.black for g in r.games] == ["agent"] * 4  # as in training
    # each pair shares its opening, the pairs differ
    openings = [tuple(g.pgn.moves[:4]) for g in r.games]
    assert openings[0] == openings[1] and openings[2] == openings[3] and openings[0] != openings[2]
    for g in r.games:  # the referee's result agrees with the last position
        game = new_game(6, 6, None)
        for lan in g.pgn.moves:
            game.make_move(next(m for m in game.legal_moves() if m.to_lan() == lan))
        if g.pgn.termination == "normal":
            assert game.is_over()
            white = {"1-0": 1.0, "0-1": -1.0, "1/2-1/2": 0.0}[g.pgn.result]
            assert game.reward_absolute() == white
        else:
            assert g.pgn.termination == "adjudication" and len(g.pgn.moves) == 120
    text = pgn.read_text()
    assert text.count('[Variant "6x6"]') == 4 and text.count('[SetUp "1"]') == 4
    assert f'[FEN "{murkle_rl.start_fen(6, 6)}"]' in text


def test_ctrl_c_ends_a_match_with_the_games_finished(tmp_path):
    def interrupt(record):
        if len(seen) == 2:
            raise KeyboardInterrupt
        seen.append(record)

    seen: list = []
    r = match.run_match(UniformAgent(5, 5), tiny("first"), games=6, simulations=5, max_plies=40,
                        pgn_path=str(tmp_path / "g.pgn"), progress=interrupt)
    assert r.stopped and r.to_dict()["stopped"] and len(r.games) == 3
    assert "stopped by Ctrl-C after 3 games" in r.summary()
    assert (tmp_path / "g.pgn").read_text().count("[Round ") == 3


@pytest.mark.parametrize("mode, outcome", [("illegal", "mismatch"), ("crash", "error")])
def test_unscored_games(mode, outcome):
    r = match.run_match(UniformAgent(5, 5), tiny(mode), games=2, simulations=5)
    assert r.scored == 0 and len(r.games) == 2 and all(g.outcome == outcome for g in r.games)
    assert r.mismatches + r.errors == 2 and math.isnan(r.score)
    g = r.games[0].pgn
    assert g.result == "*"
    assert g.termination == ("rules infraction" if mode == "illegal" else "abandoned")
    if mode == "illegal":
        assert "a1a1" in r.games[0].note and "rules mismatch" in r.summary()


def test_an_engine_that_cannot_restart_ends_the_match_with_its_games(tmp_path, capsys):
    cmd = tiny("once") + [str(tmp_path / "started")]  # dies as its second game starts, then never starts
    r = match.run_match(UniformAgent(5, 5), cmd, games=6, simulations=5, max_plies=40,
                        pgn_path=str(tmp_path / "g.pgn"))
    assert [g.outcome for g in r.games][1:] == ["error"] and r.scored == 1
    assert "could not be restarted" in r.aborted and "ended after 2 games" in r.summary()
    assert (tmp_path / "g.pgn").read_text().count("[Round ") == 2
    (tmp_path / "started").unlink()
    assert cli.run(["match", "--size", "5x5", "--opponent", " ".join(cmd), "--games", "6", "--simulations", "5",
                       "--max-plies", "40", "--quiet", "--pgn", str(tmp_path / "cli.pgn")]) == 1
    out, err = capsys.readouterr()
    assert "+" in out and "ended after 2 games" in out and "the match ended early" in err
    assert (tmp_path / "cli.pgn").read_text().count("[Round ") == 2


def test_an_engine_that_says_too_much_or_in_latin1():
    r = match.run_match(UniformAgent(5, 5), tiny("latin1"), games=2, simulations=5, max_plies=30, engine_timeout=20)
    assert r.scored == 2, [g.note for g in r.games]
    with match.UciEngine(tiny("flood"), timeout=60) as engine:
        tracemalloc.start()
        try:
            first = murkle_chess.Game.standard().legal_moves()[0].to_lan()
            assert engine.bestmove(match.STANDARD_FEN, [], nodes=1) == first
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert peak < 4_000_000  # its 100,000 info lines (over 8 MB) are not kept
    assert engine.last_info.startswith("info depth 1")


def test_match_result_counts_and_elo():
    r = match.MatchResult(wins=6, draws=2, losses=2)
    d = r.to_dict()
    assert d["score"] == pytest.approx(0.7) and d["elo"] == pytest.approx(147.19, abs=0.01)
    assert d["elo_low"] < d["elo"] < d["elo_high"]
    assert match.MatchResult(wins=3).to_dict()["elo_high"] == math.inf


def test_cli_and_ladder(capsys):
    cmd = f"{sys.executable} {TINY} first"
    assert cli.run(["match", "--size", "5x5", "--opponent", cmd, "--games", "2", "--simulations", "5",
                       "--ladder", "1,2", "--json", "--quiet", "--max-plies", "60"]) == 0
    rows = json.loads(capsys.readouterr().out)
    assert [row["nodes"] for row in rows] == [1, 2]
    assert all(row["wins"] + row["draws"] + row["losses"] == 2 for row in rows)
    assert cli.run(["match", "--opponent", "no-such-engine-here", "--games", "2", "--quiet"]) == 1
    assert "cannot start" in capsys.readouterr().err
    for argv, bad, says in [(["match", "--opponent", cmd], ["--ladder", "1,x"], "'1,x' is not a list of node budgets"),
                            (["evaluate", "--checkpoint", "x"], ["--ladder", "0"], "'0' is not a list of node budgets"),
                            (["match", "--opponent", cmd], ["--games", "-2"], "--games: must be >= 0"),
                            (["play", "--checkpoint", "x"], ["--simulations", "-5"], "--simulations: must be >= 0"),
                            (["match", "--opponent", cmd], ["--size", "banana"], "a board size is 'chess' or WxH"),
                            (["match", "--opponent", cmd], ["--size", "40x40"], "no board of 40x40"),
                            (["match", "--opponent", cmd], ["--width", "9" * 20], "a board side is 1 to 1024"),
                            (["match", "--opponent", cmd], ["--width", "40", "--height", "40"], "no board of 40x40")]:
        with pytest.raises(SystemExit):
            zero_main([*argv, *bad])
        assert says in capsys.readouterr().err
    rows = match.ladder(UniformAgent(4, 4), tiny("first"), nodes=(1, 3), games=2, simulations=5)
    assert [row["nodes"] for row in rows] == [1, 3] and rows[0]["result"].scored == 2


# ------------------------------------------------------------------ SAN and PGN

SAN_CASES = [
    # (width, height, FEN, LAN, SAN)
    (10, 10, "k9/10/10/10/10/10/10/10/K9/R8R w - - 0 1", "a1e1", "Rae1"),       # by file
    (10, 10, "k9/10/10/10/10/10/N9/10/N9/9K w - - 0 1", "a2c3", "N2c3"),        # by rank
    (10, 10, "9k/10/10/10/10/10/Q1Q7/10/Q9/K9 w - - 0 1", "a4b3", "Qa4b3"),     # by both
    (10, 10, "1r7k/P9/10/10/10/10/10/10/10/K9 w - - 0 1", "a9b10q", "axb10=Q+"),
    (10, 10, "k9/9R/10/10/10/10/10/10/10/K7R1 w - - 0 1", "i1i10", "Ri10#"),
    (30, 3, "k29/30/K26R1R w - - 0 1", "27-128-1", "R27-28-1"),                # files past z
    (30, 4, "k29/28R1/30/K27R1 w - - 0 1", "28-128-2", "R128-2"),
    (8, 8, "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1c1", "O-O-O"),
    (8, 8, "8/8/8/3pP3/8/8/8/k6K w - d6 0 1", "e5d6", "exd6"),
]


@pytest.mark.parametrize("width, height, fen, lan, expected", SAN_CASES)
def test_san(width, height, fen, lan, expected):
    game = new_game(width, height, fen)
    move = next(m for m in game.legal_moves() if m.to_lan() == lan)
    before = game.to_fen()
    assert san(game, move) == expected and game.to_fen() == before


chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402


def test_pgn_reads_back_with_python_chess():
    rng = random.Random(7)
    games = []
    for i in range(12):
        game, board, moves = murkle_chess.Game.standard(), chess.Board(), []
        while not game.is_over() and len(moves) < 160:
            move = rng.choice(game.legal_moves())
            assert san(game, move) == board.san(chess.Move.from_uci(move.to_lan()))
            board.push_uci(move.to_lan())
            game.make_move(move)
            moves.append(move.to_lan())
        games.append(PgnGame(8, 8, match.STANDARD_FEN, moves, white="a", black="b", result="1/2-1/2",
                             termination="adjudication"))
    games.append(PgnGame(8, 8, "4k3/8/8/8/8/8/8/R3K3 b Q - 3 40", ["e8d7", "e1c1"], result="*",
                         termination="rules infraction", comment="engine played a1a1"))
    stream = io.StringIO("\n".join(str(g) for g in games))
    for g in games:
        read = chess.pgn.read_game(stream)
        assert [m.uci() for m in read.mainline_moves()] == g.moves
        assert read.headers["Result"] == g.result and read.headers["Termination"] == g.termination
        assert ("FEN" in read.headers) == (g.start_fen != match.STANDARD_FEN) and not read.errors


# ------------------------------------------------------------------ Fairy-Stockfish

PERFT = [  # (width, height, FEN, depth): starts, midgames, en passant and promotions
    (6, 6, None, 3), (6, 6, "r2q2/pp1p2/n1Nk2/2pP1p/PPP1PP/R3KR b - - 3 11", 3),
    (6, 6, "k5/3p2/6/2P3/6/K5 b - - 0 1", 4), (6, 6, "1r3k/2P3/6/6/3p2/K1N3 w - - 0 1", 3),
    (8, 8, None, 3), (8, 8, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 2),
    (10, 10, None, 3), (10, 10, "k9/4p5/10/3P6/10/10/10/10/10/K9 b - - 0 1", 4),
    (10, 10, "rnbr1krb2/1p1p1q1ppr/2p1ppp3/p8p/B9/2N6P/1QP3P1P1/3P3P1N/nP2PP4/R1BRK1R2R b - - 3 19", 2),
    (10, 10, "9k/1P8/10/10/10/10/10/10/6p3/K6N2 b - - 0 1", 3),
    (12, 10, None, 2), (5, 4, "k4/5/PP3/4K w - - 0 1", 3), (4, 4, "3k/4/P3/K3 w - - 0 1", 2),
]


def our_perft(game: murkle_chess.Game, depth: int) -> int:
    if depth == 0:
        return 1
    total = 0
    for move in game.legal_moves():
        game.make_move(move)
        total += our_perft(game, depth - 1)
        game.unmake_move()
    return total


@pytest.mark.skipif(FAIRY is None, reason="fairy-stockfish is not installed")
def test_variant_file_matches_our_rules_in_perft(tmp_path):
    for width, height, fen, depth in PERFT:
        game = new_game(width, height, fen)
        commands = ["uci"]
        if (width, height) != (8, 8):
            name, text = match.fairy_variant(width, height)
            (tmp_path / "v.ini").write_text(text)
            commands += [f"setoption name VariantPath value {tmp_path / 'v.ini'}",
                         f"setoption name UCI_Variant value {name}"]
        commands += [f"position fen {game.to_fen()}", f"go perft {depth}", "quit"]
        out = subprocess.run([FAIRY], input="\n".join(commands) + "\n", capture_output=True, text=True,
                             timeout=120).stdout
        theirs = [line for line in out.splitlines() if line.startswith("Nodes searched")]
        assert theirs == [f"Nodes searched: {our_perft(game, depth)}"], (width, height, fen)
    with pytest.raises(ValueError, match="12 files and 10 ranks"):
        match.fairy_variant(12, 11)


@pytest.mark.skipif(FAIRY is None, reason="fairy-stockfish is not installed")
def test_fairy_stockfish_plays_our_rules():
    for size in ((6, 6), (8, 8)):
        r = match.run_match(UniformAgent(*size), "fairy-stockfish", games=2, simulations=10, nodes=1,
                            max_plies=100)
        assert r.scored == 2 and r.mismatches == r.errors == 0, [g.note for g in r.games]


@pytest.mark.parametrize("width, height", [(6, 6), (8, 8), (10, 12), (30, 4)])
def test_pgn_reads_back_our_own_games(width, height):
    rng = np.random.default_rng(width * height)
    games = []
    for k in range(3):
        start = pgn.STANDARD_FEN if (width, height) == (8, 8) else murkle_rl.start_fen(width, height)
        g, moves = murkle_chess.Game(width, height, start, (width, height) == (8, 8)), []
        while not g.is_over() and len(moves) < 120:
            m = g.legal_moves()[int(rng.integers(len(g.legal_moves())))]
            moves.append(m.to_lan())
            g.make_move(m)
        games.append(pgn.PgnGame(width, height, start, moves, white=f"w{k}", result="*", comment="a {note}"))
    text = "\n".join(str(g) for g in games)
    back = pgn.read_pgn(text)
    assert [(b.width, b.height, b.start_fen, b.moves, b.white) for b in back] == \
        [(g.width, g.height, g.start_fen, g.moves, g.white) for g in games]
    with pytest.raises(ValueError, match="not legal"):
        pgn.read_pgn(text.replace("\n1. ", "\n1. Kz9 ", 1))


def test_pgn_is_public_api_and_reads_back_what_it_writes(tmp_path):
    from murkle_rl.pgn import PgnGame as Public, read_pgn, san as public_san, write_pgn

    assert Public is PgnGame and public_san is san  # the trainer's name of earlier versions is the same module
    game = new_game(10, 8)
    moves = [m.to_lan() for m in [game.legal_moves()[0]]]
    write_pgn([Public(10, 8, game.to_fen(), moves, white="a", black="b")], str(tmp_path / "g.pgn"))
    [back] = read_pgn((tmp_path / "g.pgn").read_text())
    assert (back.width, back.height, back.moves, back.white) == (10, 8, moves, "a")
