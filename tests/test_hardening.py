"""Hardening: a move is made whole or not at all, and rejecting a huge text costs little memory.

Both are measured in a child interpreter: one lowers its address-space limit, the other reads
its own peak resident size, and neither may disturb the test process.
"""
import json
import shutil
import subprocess
import sys
import textwrap

import pytest

import murkle_chess as mc

PERFT = shutil.which("murkle-perft")
LINUX_ONLY = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and resource limits")


def run_child(code):
    """The JSON the child prints last, or a skip when it says it cannot measure here."""
    proc = subprocess.run([sys.executable, "-"], input=textwrap.dedent(code), capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    if "skip" in result:
        pytest.skip(result["skip"])
    return result


# --- all-or-nothing moves -------------------------------------------------------------------

# The child plays a knight shuffle of 2**16 plies, so that the history vector holds 2**16
# entries; a clone copies it into a vector exactly at capacity, whatever the growth policy.
# Its next move must grow the history by megabytes, which the lowered limit refuses.
OUT_OF_MEMORY_CHILD = """
    import json, os, resource, sys
    import murkle_chess as mc

    def report(**kw):
        print(json.dumps(kw))
        sys.exit(0)

    if "asan" in os.environ.get("LD_PRELOAD", ""):
        report(skip="the address sanitizer aborts instead of failing an allocation")

    PLIES = 1 << 16
    SHUFFLE = ["g1f3", "g8f6", "f3g1", "f6g8"]
    g = mc.Game.standard()
    moves = []
    for text in SHUFFLE:
        moves.append(g.move_from_lan(text))
        assert g.make_move(moves[-1])
    g = mc.Game.standard()
    fens = [g.to_fen()]
    for i in range(PLIES):
        assert g.make_move(moves[i % 4])
        fens.append(g.to_fen())
    g = g.clone()

    def state(g):
        return [g.to_fen(), hash(g), g.encode_game_planes()]

    before = state(g)
    page = os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def starved(call):
        # Room for the interpreter's own small needs, far less than the history must grow by.
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * page
        limit = in_use + (2 << 20)
        if hard != resource.RLIM_INFINITY and hard < limit:
            report(skip="the address-space limit is already lower than the test needs")
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        try:
            call()
            return "made"
        except MemoryError:
            return "MemoryError"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    action = g.legal_action_indices()[g.legal_moves().index(moves[0])]
    results = {
        "make_move": starved(lambda: g.make_move(moves[0])),
        "make_move_unchanged": state(g) == before,
    }
    results["apply_action"] = starved(lambda: g.apply_action(action))
    results["apply_action_unchanged"] = state(g) == before
    if "made" in (results["make_move"], results["apply_action"]):
        report(skip="the allocator found room for the history under the lowered limit")

    # The history is intact: every move comes back, in order, and then nothing.
    taken_back = []
    for i in range(PLIES):
        taken_back.append(g.unmake_move() and g.to_fen() == fens[PLIES - 1 - i])
    results["history_intact"] = all(taken_back) and not g.unmake_move()
    # With room again the move is made as usual.
    results["made_after"] = g.make_move(moves[0]) and g.to_fen() == fens[1]
    report(**results)
"""


@LINUX_ONLY
def test_a_move_is_made_whole_or_not_at_all():
    assert run_child(OUT_OF_MEMORY_CHILD) == {
        "make_move": "MemoryError", "make_move_unchanged": True,
        "apply_action": "MemoryError", "apply_action_unchanged": True,
        "history_intact": True, "made_after": True,
    }


# --- parsing cost of rejected texts ---------------------------------------------------------

SIZE = 10**7

PEAK_CHILD = """
    import json, resource
    import murkle_chess as mc

    text = {text}
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        {call}
        message = None
    except ValueError as e:
        message = str(e)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
    print(json.dumps({{"message": message, "grown": grown * 1024, "size": len(text.encode())}}))
"""


@LINUX_ONLY
@pytest.mark.parametrize("text,call,message", [
    ('"/" * {n}', "mc.Board(8, 8, text)", f"Invalid FEN: expected 8 rows, got {SIZE + 1}"),
    ('"/" * {n} + " w - - 0 1"', "mc.Game(8, 8, text, True)", f"Invalid FEN: expected 8 rows, got {SIZE + 1}"),
    ('"/" * {n} + " w - - 0 1"', "mc.Game(25, 40, text, True)",
     f"Invalid FEN: a board has at most 32 rows, got {SIZE + 1}"),
    ('" " * {n}', "mc.Game(8, 8, text, False)", f"Invalid FEN: expected 6 parts, got {SIZE + 1}"),
    ('"8/" * ({n} // 2) + " w - - 0 1"', "mc.Game(8, 8, text, True)",
     f"Invalid FEN: expected 8 rows, got {SIZE // 2 + 1}"),
    ('"é/" * ({n} // 3)', "mc.Board(32, 32, text)", f"Invalid FEN: expected 32 rows, got {SIZE // 3 + 1}"),
    # A digit run is quoted whole in its message.
    ('"9" * {n}', "mc.Board(8, 1, text)", "Invalid FEN number: " + "9" * SIZE),
], ids=["board-rows", "game-rows", "game-above-32-rows", "game-fields", "game-full-rows", "board-utf8-rows",
        "digit-run"])
def test_rejected_text_costs_a_small_multiple_of_its_size(text, call, message):
    result = run_child(PEAK_CHILD.format(text=text.format(n=SIZE), call=call))
    assert result["message"] == message
    assert result["grown"] <= 4 * result["size"]


@pytest.mark.skipif(PERFT is None, reason="murkle-perft is not on PATH")
def test_tool_refuses_a_long_text_with_the_reader_message():
    many = " ".join(["8"] * 20000)
    bad = subprocess.run([PERFT, many, "1"], capture_output=True, text=True)
    assert bad.returncode == 2 and bad.stderr.startswith("Invalid FEN: expected 6 parts, got 20000\n")
    rows = "/" * 100000 + " w - - 0 1"
    bad = subprocess.run([PERFT, "--width", "4", "--height", "256", rows, "1"], capture_output=True, text=True)
    assert bad.returncode == 2 and bad.stderr.startswith("Invalid FEN: a board has at most 32 rows, got 100001\n")


def test_game_higher_than_32_rows_is_refused_by_the_row_limit():
    with pytest.raises(ValueError, match=r"^Invalid FEN: a board has at most 32 rows, got 40$"):
        mc.Game(1, 40, "/".join(["1"] * 39 + ["K"]) + " w - - 0 1", True)
    with pytest.raises(ValueError, match=r"^Invalid FEN: expected 33 rows, got 32$"):
        mc.Game(1, 33, "/".join(["1"] * 31 + ["K"]) + " w - - 0 1", True)
