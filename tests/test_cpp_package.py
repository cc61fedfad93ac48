"""The engine as a CMake package for C++ programs.

`cmake --install` of the project into a scratch prefix, then examples/cpp configured with
find_package(murkle CONFIG REQUIRED) against that prefix, built, and run on every size class it
compiles; its games are replayed through murkle_chess. The wheel's copy of the package is found
from the environment's data directory. Skipped without cmake or a C++ compiler.
"""

import collections
import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import murkle_chess as mc
import murkle_rl

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "cpp"
CMAKE = shutil.which("cmake")
CXX = os.environ.get("CXX") or next(filter(None, map(shutil.which, ("c++", "g++", "clang++"))), None)

pytestmark = pytest.mark.skipif(not (CMAKE and CXX), reason="needs cmake and a C++ compiler")

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
MAX_PLIES = 150


def tool_env():
    # The sanitizer run preloads its runtimes for the interpreter; the tools must not get them.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def cmake(*args):
    generator = ["-G", "Ninja"] if args[0] == "-S" and shutil.which("ninja") else []
    result = subprocess.run([CMAKE, *args, *generator], capture_output=True, text=True, env=tool_env())
    assert result.returncode == 0, f"cmake {' '.join(map(str, args))}:\n{result.stdout}\n{result.stderr}"
    return result


def configure_example(build, prefix, *extra):
    cmake("-S", EXAMPLE, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}", f"-DCMAKE_CXX_COMPILER={CXX}", *extra)
    cache = (build / "CMakeCache.txt").read_text()
    found = next(line.split("=", 1)[1] for line in cache.splitlines() if line.startswith("murkle_DIR:"))
    assert pathlib.Path(found).resolve() == (pathlib.Path(prefix) / "share/cmake/murkle").resolve()


@pytest.fixture(scope="module")
def playout(tmp_path_factory):
    """The example built against a `cmake --install` of the project; returns a runner."""
    tmp = tmp_path_factory.mktemp("cpp_package")
    prefix = tmp / "prefix"
    cmake("-S", ROOT, "-B", tmp / "project", f"-DPython_EXECUTABLE={sys.executable}",
          f"-DCMAKE_CXX_COMPILER={CXX}")
    cmake("--install", tmp / "project", "--prefix", prefix)  # headers and package files only
    assert (prefix / "include/murkle/engine/encode/action.hpp").is_file()
    configure_example(tmp / "example", prefix, "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror")
    cmake("--build", tmp / "example")
    program = tmp / "example" / "random_playout"

    def run(*args):
        return subprocess.run([program, *map(str, args)], capture_output=True, text=True, env=tool_env())
    return run


def parse(stdout):
    """(start FEN, [(outcome, plies, moves)], {outcome: count}, White's score text)."""
    games, summary, start, score = [], {}, None, None
    for line in stdout.splitlines():
        if line.startswith("playout "):
            head, _, moves = line.partition(": ")[2].partition(":")
            name, plies = head.split()
            games.append((name, int(plies), moves.split()))
        elif line.startswith("board "):
            start = line.split(", start ")[1].rsplit(", seed ", 1)[0]
        elif line.startswith("White's score"):
            score = line.split()[-1]
        elif not line.startswith("plies per playout"):
            name, count = line.split()
            summary[name] = int(count)
    return start, games, summary, score


# One board per size class the example compiles (1, 2, 4, 8, 16 words), and a FEN with castling
# rights and en-passant chances.
@pytest.mark.parametrize("width,height,fen", [
    (8, 8, None), (10, 10, None), (16, 16, None), (20, 20, None), (33, 31, None), (8, 8, KIWIPETE),
])
def test_example_games_replay_in_the_module(playout, width, height, fen):
    args = ["--width", width, "--height", height, "--playouts", 6, "--seed", 11,
            "--max-plies", MAX_PLIES, "--moves"] + (["--fen", fen] if fen else [])
    result = playout(*args)
    assert result.returncode == 0, result.stderr
    start, games, summary, score = parse(result.stdout)

    if fen:
        assert start == fen
    elif (width, height) == (8, 8):
        assert start == mc.Game.standard().to_fen()
    else:  # the engine's start position, as murkle_rl gives it
        assert start == murkle_rl.start_fen(width, height)

    assert len(games) == 6
    for name, plies, moves in games:
        game = mc.Game(width, height, start, True)
        assert len(moves) == plies <= MAX_PLIES
        for lan in moves:  # by text among the legal moves: move_from_lan reads 8 x 8 squares only
            legal = {m.to_lan(): m for m in game.legal_moves()}
            assert lan in legal, (lan, game.to_fen())
            assert game.make_move(legal[lan])
        if name == "unfinished":
            assert plies == MAX_PLIES and not game.is_over()
        else:
            assert game.outcome().name() == name

    names = [name for name, _, _ in games]
    assert summary == collections.Counter(names)
    white = sum(1.0 if n == "white_win" else 0.0 if n == "black_win" else 0.5 for n in names)
    assert score == f"{white / len(names):.3f}"


def test_example_seed_and_errors(playout):
    first, again, other = (playout("--playouts", 20, "--seed", s, "--moves").stdout for s in (5, 5, 6))
    assert first == again and first != other

    for args, message in [
        (["--width", 1, "--height", 1], "A 1x1 board has no start position: two kings need two squares"),
        (["--fen", "8/8/8/8/8/8/8/8 w - - 0 1"], "No white king found in FEN position"),
        (["--fen", "8/8 w"], "Invalid FEN: expected 6 parts, got 2"),
        (["--width", 2, "--height", 33], "Board must have 1 to 32 rows and at most 1024 squares"),
        (["--playouts", "-1"], "Invalid playouts: -1"),
        (["--depth", 3], "Unknown argument: --depth"),
    ]:
        result = playout(*args)
        assert (result.returncode, result.stdout) == (2, ""), args
        assert result.stderr.splitlines()[0] == message


def test_wheel_installs_the_package_into_the_environment(tmp_path):
    try:
        dist = importlib.metadata.distribution("murkle_chess")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("murkle_chess is not installed as a distribution")
    config = next((f for f in dist.files or [] if f.name == "murkle-config.cmake"), None)
    assert config is not None, "the installed wheel has no CMake package: reinstall with pip install ."
    prefix = pathlib.Path(dist.locate_file(config)).resolve().parents[3]
    data_dirs = {pathlib.Path(sysconfig.get_path("data", scheme)).resolve()
                 for scheme in (sysconfig.get_default_scheme(), f"{os.name}_user")}
    assert prefix in data_dirs
    assert (prefix / "include/murkle/engine/variant.hpp").is_file()
    configure_example(tmp_path / "example", prefix)  # imports murkle::engine from the wheel's files
