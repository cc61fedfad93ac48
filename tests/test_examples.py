"""The README's first command, examples/selfplay.py, run small in both of its modes: its closing
table must account for every game and every sample it claims."""

import os
import re
import subprocess
import sys

import pytest

SELFPLAY = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "selfplay.py")
GAMES, MAX_PLIES = 8, 40
SIZES = ["4x4", "8x8", "3x7"]


def selfplay(*args):
    proc = subprocess.run([sys.executable, SELFPLAY, "--games", str(GAMES),
                           "--max-plies", str(MAX_PLIES), "--sizes", ",".join(SIZES), *args],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def table(out):
    """The closing table as {board: {column: text}}."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("board "))
    header = lines[start].split()
    assert set(lines[start + 1]) <= {"-", " "}
    rows = {}
    for line in lines[start + 2:]:
        if not line.strip():
            break
        cells = line.split()
        assert len(cells) == len(header), line
        rows[cells[0]] = dict(zip(header, cells))
    return rows


@pytest.mark.parametrize("mode", [["--batch", "2", "--threads", "2"], ["--loop"]],
                         ids=["batch", "loop"])
def test_selfplay_accounts_for_every_game_and_sample(mode):
    out = selfplay("--seed", "3", *mode)
    rows = table(out)
    assert list(rows) == SIZES
    outcome_columns = [c for c in next(iter(rows.values()))
                       if c not in {"board", "games", "plies", "plies/game", "positions",
                                    "legal/pos", "pos/s", "planes", "actions"}]
    assert "capped" in outcome_columns  # 8x8 games hardly end in 40 random plies
    for size, row in rows.items():
        w, h = map(int, size.split("x"))
        assert int(row["games"]) == GAMES
        assert sum(int(row[c]) for c in outcome_columns) == GAMES
        # one sample per move played; capped games have exactly the cap, the others fewer
        capped, plies = int(row["capped"]), int(row["plies"])
        assert int(row["positions"]) == plies
        assert capped * MAX_PLIES <= plies <= capped * MAX_PLIES + (GAMES - capped) * (MAX_PLIES - 1)
        assert float(row["legal/pos"]) > 0
        assert row["planes"] == f"105x{h}x{w}"
        planes = 8 * max(w, h) + 18
        assert int(row["actions"]) == (planes if "--loop" in mode else planes * w * h)

    total = sum(int(r["positions"]) for r in rows.values())
    assert f"{total} samples in" in out
    plus, minus, zero = map(int, re.search(r"(\d+) samples \+1, (\d+) -1, (\d+) 0\.", out).groups())
    assert plus + minus + zero == total
    # The side that moved last won a decisive game: its positions, labelled +1, are as many
    # as the loser's or one more; draws and capped games label every position 0.
    decisive = sum(int(r.get(k, 0)) for r in rows.values() for k in ("white_win", "black_win"))
    assert 0 <= plus - minus <= decisive
    capped = sum(int(r["capped"]) for r in rows.values())
    assert zero >= capped * MAX_PLIES
    assert re.search(rf"{capped} games reached the cap of {MAX_PLIES} plies .*--max-plies", out)


def test_selfplay_batch_depends_on_the_seed_only():
    def without_speed(out):
        return {size: {k: v for k, v in row.items() if k != "pos/s"}
                for size, row in table(out).items()}

    one = without_speed(selfplay("--seed", "5", "--threads", "1"))
    assert one == without_speed(selfplay("--seed", "5", "--threads", "2"))
    assert one != without_speed(selfplay("--seed", "6"))
