"""Perft node counts against published and independently computed numbers."""
import pathlib
import re
import shutil
import subprocess

import pytest

import murkle_chess as mc
from chess_util import STANDARD_FEN, lans, perft

DATA = pathlib.Path(__file__).parent / "data" / "perft_suite.txt"
# Interior nodes the Python perft may visit per position (keeps this file to a few seconds).
PY_BUDGET = 250000
# Deeper published counts for the command-line tool.
DEEP = [
    (8, 8, True, STANDARD_FEN, 6, 119060324),
    (8, 8, True, "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 6, 11030083),
    (8, 8, True, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 5, 193690690),
]


def load_suite():
    """Rows of WIDTH HEIGHT castling|nocastling FEN ;D1 n ;D2 n ..."""
    rows = []
    for line in DATA.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            head, *depths = line.split(";")
            width, height, mode, fen_text = head.strip().split(" ", 3)
            counts = {int(key[1:]): int(value) for key, value in map(str.split, depths)}
            rows.append((int(width), int(height), mode == "castling", fen_text.strip(), counts))
    return rows


SUITE = load_suite()


def suite_id(row):
    width, height, castling, fen_text, _ = row
    return f"{width}x{height}-{'c' if castling else 'nc'}-{fen_text.split(' ')[0][:18]}"


def python_depth(counts):
    return max(d for d in counts if d == 1 or counts[d - 1] <= PY_BUDGET)


def test_suite_is_complete():
    assert len(SUITE) == 30
    assert {(w, h) for w, h, *_ in SUITE} >= {(8, 8), (10, 10), (12, 10), (9, 8), (5, 6), (6, 5), (4, 4), (3, 8),
                                               (11, 7), (7, 10)}


@pytest.mark.parametrize("row", SUITE, ids=suite_id)
def test_perft_python(row):
    width, height, castling, fen_text, counts = row
    g = mc.Game(width, height, fen_text, castling)
    before = g.to_fen()
    depth = python_depth(counts)
    for d in range(1, depth + 1):
        assert perft(g, d) == counts[d], f"depth {d}"
    assert g.to_fen() == before
    assert g.unmake_move() is False


# --- the command-line tool -----------------------------------------------------------------

def perft_tool():
    return shutil.which("murkle-perft")


needs_tool = pytest.mark.skipif(perft_tool() is None, reason="murkle-perft is not on PATH")
LAST_LINE = re.compile(r"^nodes (\d+) time (\S+) nps (\S+)$")


def run_tool(width, height, castling, fen_text, depth, divide=False):
    args = [perft_tool(), "--width", str(width), "--height", str(height)]
    if not castling:
        args.append("--no-castling")
    if divide:
        args.append("--divide")
    args += [fen_text, str(depth)]
    return subprocess.run(args, capture_output=True, text=True, timeout=3600)


def tool_nodes(result):
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    match = LAST_LINE.match(lines[-1])
    assert match, lines[-1]
    assert float(match.group(2)) >= 0 and float(match.group(3)) >= 0
    return int(match.group(1)), lines[:-1]


@needs_tool
@pytest.mark.parametrize("row", SUITE, ids=suite_id)
def test_tool_divide(row):
    width, height, castling, fen_text, counts = row
    nodes, lines = tool_nodes(run_tool(width, height, castling, fen_text, 2, divide=True))
    assert nodes == counts[2]
    divide = [line for line in lines if re.match(r"^\S+: \d+$", line)]
    g = mc.Game(width, height, fen_text, castling)
    assert [line.split(":")[0] for line in divide] == lans(g.legal_moves())
    assert sum(int(line.split(": ")[1]) for line in divide) == nodes


@needs_tool
def test_tool_defaults_and_errors():
    nodes, _ = tool_nodes(subprocess.run([perft_tool(), "startpos", "3"], capture_output=True, text=True))
    assert nodes == 8902
    bad = subprocess.run([perft_tool(), "8/8 w - - 0 1", "2"], capture_output=True, text=True)
    assert bad.returncode == 2 and "Invalid FEN: expected 8 rows, got 2" in bad.stderr
    bad = subprocess.run([perft_tool(), "--width", "0", STANDARD_FEN, "2"], capture_output=True, text=True)
    assert bad.returncode == 2 and bad.stderr.strip()


@needs_tool
def test_tool_help_and_option_errors():
    shown = subprocess.run([perft_tool(), "--help"], capture_output=True, text=True)
    assert shown.returncode == 0
    for word in ("--width", "--height", "--no-castling", "--divide", "--reference", "startpos"):
        assert word in shown.stdout
    for args, message in [
        (["--fast", "startpos", "1"], "unknown option: --fast"),
        (["-x", "startpos", "1"], "unknown option: -x"),
        (["--width", "40", "--height", "40", "startpos", "1"],
         "Unsupported board size 40x40: a board has 1 to 1024 squares and at most 32 rows"),
        (["--width", "0", "startpos", "1"], "Unsupported board size 0x8: a board has 1 to 1024 squares and at most 32 rows"),
        (["startpos", "-1"], "Invalid depth: -1"),
    ]:
        bad = subprocess.run([perft_tool(), *args], capture_output=True, text=True)
        assert (bad.returncode, bad.stdout, bad.stderr.splitlines()[0]) == (2, "", message)


@pytest.mark.slow
@needs_tool
@pytest.mark.parametrize("row", SUITE + [(w, h, c, f, {d: n}) for w, h, c, f, d, n in DEEP], ids=suite_id)
def test_tool_full_depth(row):
    width, height, castling, fen_text, counts = row
    depth = max(counts)
    nodes, _ = tool_nodes(run_tool(width, height, castling, fen_text, depth))
    assert nodes == counts[depth]
