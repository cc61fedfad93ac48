"""murkle_rl under hostile use: lying arrays, calls from inside calls, refused pickles, finished
games, Ctrl-C and memory shortage, and the message of every refused argument.

What could crash or hang the test process runs in a child interpreter with a timeout.
"""
import gc
import json
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import murkle_chess as mc
import murkle_rl as rl

LINUX_ONLY = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and resource limits")


def run_child(code, timeout=120):
    """The JSON the child prints last, or a skip when it says it cannot measure here."""
    try:
        proc = subprocess.run([sys.executable, "-"], input=textwrap.dedent(code), capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child did not finish in {timeout} s (a hang)")
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    if "skip" in result:
        pytest.skip(result["skip"])
    return result


# --- arrays are judged by their memory ---------------------------------------------------

LYING_ARRAYS_CHILD = """
    import json
    import numpy as np
    import murkle_rl as rl

    batch = rl.GameBatch(2, 4, 4, seed=0, threads=1)
    real = (2, 105, 4, 4)

    class Shape(np.ndarray):
        shape = property(lambda self: real)

    class Dtype(np.ndarray):
        dtype = property(lambda self: np.dtype(np.float32))

    class Flags(np.ndarray):
        class flags:
            c_contiguous = writeable = True

    frozen = np.zeros(real, np.float32)
    frozen.flags.writeable = False
    cases = {
        "shape": np.zeros(8, np.float32).view(Shape),
        "dtype": np.zeros(real, np.float64).view(Dtype),
        "strides": np.zeros((2, 105, 4, 8), np.float32)[..., ::2].view(Flags),
        "readonly": frozen.view(Flags),
        "big_endian": np.zeros(real, ">f4"),
    }
    result = {}
    for name, out in cases.items():
        try:
            batch.planes(out=out)
            result[name] = "written"
        except (TypeError, ValueError) as e:
            result[name] = str(e)
    print(json.dumps(result))
"""


def test_out_is_judged_by_its_memory_not_its_attributes():
    assert run_child(LYING_ARRAYS_CHILD) == {
        "shape": "out must have shape (2, 105, 4, 4), got (8,)",
        "dtype": "out must have dtype float32, got float64",
        "strides": "out must be C-contiguous",
        "readonly": "out must be writeable",
        "big_endian": "out must have dtype float32, got big-endian float32",
    }


def test_a_subclass_of_the_right_layout_is_written_in_place():
    batch = rl.GameBatch(2, 5, 3, seed=1)
    out = np.zeros((2, batch.action_planes, 3, 5), bool).view(np.ma.MaskedArray)
    assert batch.legal_mask(out=out) is out
    np.testing.assert_array_equal(np.asarray(out), batch.legal_mask())


# --- a call from inside a call ---------------------------------------------------------------

REENTRY_CHILD = """
    import json, os, signal, threading
    import numpy as np
    import murkle_rl as rl

    batch = rl.GameBatch(4, 6, 6, seed=0, threads=2)
    result = {}

    # An out= array whose dtype calls back into the batch: arguments are read before the
    # batch is taken, from the memory, so the call simply works.
    class Calls(np.ndarray):
        @property
        def dtype(self):
            batch.fens()
            return super().dtype

    out = np.zeros((4, 105, 6, 6), np.float32).view(Calls)
    result["out_written"] = batch.planes(out=out) is out

    # A signal handler runs inside play_random, between plies: a call on the same batch
    # from there is refused, not waited for.
    seen = []
    def handler(signum, frame):
        try:
            batch.plies()
            seen.append("ran")
        except RuntimeError as e:
            seen.append(str(e))
        raise KeyboardInterrupt
    signal.signal(signal.SIGUSR1, handler)
    threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGUSR1)).start()
    try:
        batch.play_random(10**9)
    except KeyboardInterrupt:
        pass
    result["inner_call"] = seen
    result["usable_after"] = len(batch.fens()) == 4
    print(json.dumps(result))
"""


def test_a_call_from_inside_a_call_is_refused_not_deadlocked():
    result = run_child(REENTRY_CHILD, timeout=60)
    assert result == {"out_written": True, "usable_after": True,
                      "inner_call": ["GameBatch is busy with a call of this same thread: a call on a batch cannot "
                                     "be made from inside another call on it"]}


# --- refused pickles leave nothing behind ------------------------------------------------------

def thread_count():
    """Threads of this process once the count holds still: threads of earlier tests may still be
    leaving, so only a count that rose can mean a leak."""
    gc.collect()
    counts = [len(os.listdir("/proc/self/task"))]
    for _ in range(100):
        time.sleep(0.01)
        counts.append(len(os.listdir("/proc/self/task")))
        if len(counts) >= 5 and len(set(counts[-5:])) == 1:
            break
    return counts[-1]


@LINUX_ONLY
def test_a_refused_state_leaves_no_thread_behind():
    state = rl.GameBatch(4, 6, 6, seed=0, threads=4).__getstate__()
    bad = list(state)
    bad[4] = bad[4][:-1] + [b"not a game"]
    before = thread_count()
    for _ in range(50):
        with pytest.raises(ValueError, match=r"GameBatch state: games\[3\]: invalid game bytes of a 6x6 game"):
            rl.GameBatch.__new__(rl.GameBatch).__setstate__(tuple(bad))
    assert thread_count() <= before


def test_badly_typed_states_name_the_item():
    state = list(rl.GameBatch(2, 4, 4, seed=0).__getstate__())
    for k, value, error, text in [
        (0, 2, ValueError, "unsupported GameBatch state"),
        (1, "4", TypeError, "width must be an integer, not str"),
        (3, b"bytes", TypeError, "GameBatch state: starts must be a list, not bytes"),
        (4, [5, b"x"], TypeError, r"GameBatch state: games\[0\] must be bytes, not int"),
        (5, [True, 1], TypeError, r"GameBatch state: restart\[1\] must be a bool, not int"),
        (6, [0, -1], ValueError, r"GameBatch state: rng\[1\] must be at least 0, got -1"),
        (6, [0], ValueError, "inconsistent GameBatch state"),
        (7, None, TypeError, "GameBatch state: max_plies must be an integer, not NoneType"),
        (8, 0, ValueError, "GameBatch state: threads must be at least 1, got 0"),
    ]:
        bad = list(state)
        bad[k] = value
        with pytest.raises(error, match=text):
            rl.GameBatch.__new__(rl.GameBatch).__setstate__(tuple(bad))


# --- a finished game takes no action -----------------------------------------------------------

def shows_no_action(batch, i):
    assert not batch.legal_mask()[i].any()
    assert batch.random_actions()[i] == -1


@pytest.mark.parametrize("fen,width,height", [
    ("Kk w - - 0 1", 2, 1),                               # insufficient material: K takes k otherwise
    ("4k3/8/8/8/8/8/8/R3K3 w - - 150 90", 8, 8),          # the move clock ran out
])
def test_a_game_over_by_any_rule_takes_no_action(fen, width, height):
    batch = rl.GameBatch(1, width, height, fen=fen, castling=False, seed=0)
    capture_or_move = int(np.flatnonzero(rl.legal_action_mask(batch.game(0)))[0])
    shows_no_action(batch, 0)
    rewards, done, _ = batch.step([capture_or_move])  # whatever the action says, nothing is played
    assert done[0] and rewards[0] == 0.0 and batch.plies()[0] == 0
    assert batch.fens()[0] == mc.Game(width, height, fen, False).to_fen()


def test_a_game_set_past_the_ply_cap_takes_no_action():
    g = mc.Game.standard()
    for _ in range(10):
        g.make_move(g.legal_moves()[0])
    batch = rl.GameBatch(2, seed=0, max_plies=4)
    batch.set_game(1, g)
    shows_no_action(batch, 1)
    rewards, done, _ = batch.step([batch.random_actions()[0], -1])
    assert done.tolist() == [False, True] and batch.plies().tolist() == [1, 10]
    batch.play_random(3)  # game 1 restarts; nothing is played past the cap
    assert max(batch.plies()) <= 4


def test_a_truncated_game_has_an_empty_mask_until_it_restarts():
    batch = rl.GameBatch(1, seed=0, max_plies=2)
    batch.step(batch.random_actions())
    _, done, _ = batch.step(batch.random_actions())
    assert done[0]
    shows_no_action(batch, 0)
    _, done, _ = batch.step([-1])
    assert not done[0] and batch.plies()[0] == 0 and batch.legal_mask()[0].any()


# --- start positions -----------------------------------------------------------------------

NO_PLAYABLE_START = {(1, 2), (2, 1), (1, 3), (3, 1), (2, 2)}


def start_problem(width, height):
    """What keeps start_fen(width, height) from being a playable start, or None."""
    fen = rl.start_fen(width, height)
    g = mc.Game(width, height, fen, (width, height) == (8, 8))
    other = mc.Game(width, height, fen.replace(" w ", " b "), False)
    placement = fen.split(" ")[0]
    if g.is_check() or other.is_check():
        return "a side in check"
    if g.is_over():
        return g.outcome().name()
    if sorted(c for c in placement if c.isupper()) != sorted(c.upper() for c in placement if c.islower()):
        return "unequal pieces"
    return None


def narrow_sizes():
    """Every size up to 12 x 12, and every board of one to three rows or one column."""
    sizes = {(w, h) for w in range(1, 13) for h in range(1, 13)}
    sizes |= {(w, h) for h in (1, 2, 3) for w in range(1, 1024 // h + 1)}
    sizes |= {(1, h) for h in range(1, 33)}
    return sorted(sizes - {(1, 1)})


def test_every_board_that_admits_one_gets_a_playable_start():
    problems = {}
    for w, h in narrow_sizes():
        problem = start_problem(w, h)
        if (problem is None) == ((w, h) in NO_PLAYABLE_START):
            problems[(w, h)] = problem or "playable"
    assert not problems
    assert rl.start_fen(8, 8) == "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
    assert rl.start_fen(4, 1) == "KRrk w - - 0 1"
    assert rl.start_fen(3, 2) == "1rk/KR1 w - - 0 1"
    assert rl.start_fen(8, 3) == "rnrqkbnr/8/RNRQKBNR w - - 0 1"


@pytest.mark.slow
def test_every_board_size_gets_a_playable_start():
    sizes = [(w, h) for h in range(1, 33) for w in range(1, 1024 // h + 1) if (w, h) != (1, 1)]
    assert {s for s in sizes if start_problem(*s) is not None} == NO_PLAYABLE_START


# --- Ctrl-C and memory shortage in play_random -------------------------------------------------

INTERRUPT_CHILD = """
    import json, os, signal, threading, time
    import murkle_rl as rl

    def batch():
        return rl.GameBatch(64, 6, 6, seed=3, threads=2, max_plies=60)

    b = batch()
    # A shell that starts a job in the background hands it SIGINT ignored: take it back.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    try:
        b.play_random(10**9)
        interrupted = False
    except KeyboardInterrupt:
        interrupted = True
    # Every game stopped at the same ply: a fresh batch meets the same games after some whole
    # number of chunks (64 games: 1024 plies a chunk).
    fens, replay, chunks = b.fens(), batch(), 0
    while replay.fens() != fens and chunks < 10000:
        replay.play_random(1024)
        chunks += 1
    print(json.dumps({"interrupted": interrupted, "same_ply": replay.fens() == fens,
                      "same_plies": replay.plies().tolist() == b.plies().tolist()}))
"""


@LINUX_ONLY
def test_ctrl_c_stops_play_random_between_plies():
    assert run_child(INTERRUPT_CHILD, timeout=120) == {"interrupted": True, "same_ply": True, "same_plies": True}


# Game 1's history holds 2**16 entries exactly at capacity (a copy), so its next ply must grow
# it by megabytes, which the lowered limit refuses; game 0 has room to play.
# The start of a child that lowers its address-space limit: report() prints the JSON result,
# limit_memory(extra) allows `extra` bytes beyond what the process holds now, unlimit() undoes it.
LIMITED_CHILD = """
    import json, os, resource, sys
    import numpy as np
    import murkle_chess as mc
    import murkle_rl as rl

    def report(**kw):
        print(json.dumps(kw))
        sys.exit(0)

    if "asan" in os.environ.get("LD_PRELOAD", ""):
        report(skip="the address sanitizer aborts instead of failing an allocation")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def limit_memory(extra):
        with open("/proc/self/statm") as f:
            limit = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE") + extra
        if hard != resource.RLIM_INFINITY and hard < limit:
            report(skip="the address-space limit is already lower than the test needs")
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))

    def unlimit():
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""

MEMORY_CHILD = LIMITED_CHILD + """

    g = mc.Game.standard()
    shuffle = []
    for text in ("g1f3", "g8f6", "f3g1", "f6g8"):
        shuffle.append(g.move_from_lan(text))
        g.make_move(shuffle[-1])
    for i in range((1 << 16) - 4):
        g.make_move(shuffle[i % 4])
    g.make_move(g.move_from_lan("e2e4"))  # a pawn move: the clock starts again
    batch = rl.GameBatch(2, seed=0, threads=1)
    batch.play_random(2)
    batch.set_game(1, g)
    before = (batch.fens(), batch.plies().tolist())

    limit_memory(2 << 20)
    try:
        batch.play_random(5)
        result = "played"
    except MemoryError:
        result = "MemoryError"
    finally:
        unlimit()
    if result == "played":
        report(skip="the allocator found room for the history under the lowered limit")
    unchanged = (batch.fens(), batch.plies().tolist()) == before
    batch.play_random(5)
    report(result=result, unchanged=unchanged, plies=batch.plies().tolist() == [before[1][0] + 5, before[1][1] + 5])
"""


@LINUX_ONLY
def test_memory_shortage_leaves_every_game_at_the_same_ply():
    assert run_child(MEMORY_CHILD) == {"result": "MemoryError", "unchanged": True, "plies": True}


SEARCH_MEMORY_CHILD = LIMITED_CHILD + """
    batch = rl.GameBatch(8, 8, 8, seed=0, threads=1)
    search = rl.Search(batch, 1 << 30, leaves_per_round=64, seed=0)
    planes = np.zeros((8 * 64, 105, 8, 8), np.float32)
    logits = np.zeros((8 * 64, batch.num_actions), np.float32)
    values = np.zeros(8 * 64, np.float32)
    fens = batch.fens()
    limit_memory(24 << 20)
    try:
        for _ in range(100000):
            k = search.select(planes)
            search.expand(logits[:k], values[:k])
        result = "searched"
    except MemoryError:
        result = "MemoryError"
    finally:
        unlimit()
    if result == "searched":
        report(skip="the allocator found room for the trees under the lowered limit")
    refusals = []
    for call in (lambda: search.run(), lambda: search.select(planes), lambda: search.choose(0),
                 lambda: search.step(batch.random_actions())):
        try:
            call()
            refusals.append("ran")
        except RuntimeError as e:
            refusals.append("make a new Search" in str(e))
    del search
    fresh = rl.Search(batch, 16, seed=0)
    fresh.run()
    report(result=result, refusals=refusals, unchanged=batch.fens() == fens, fresh=int(fresh.visits().sum()))
"""


@LINUX_ONLY
def test_a_search_that_ran_out_of_memory_refuses_to_go_on():
    assert run_child(SEARCH_MEMORY_CHILD) == {"result": "MemoryError", "refusals": [True] * 4, "unchanged": True,
                                              "fresh": 8 * 16}
