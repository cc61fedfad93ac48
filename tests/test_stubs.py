"""The type stubs of murkle_chess and murkle_rl: they match the modules (mypy's stubtest), a
type checker reading them accepts correct code and refuses wrong calls, and they explain every
class and method of the exact module, which carries no docstrings of its own."""
import ast
import importlib.util
import re
import shutil
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import murkle_chess
import murkle_rl

ALLOWLIST = Path(__file__).parent / "data" / "stubtest_allowlist.txt"
STUBS = Path(__file__).parent.parent / "python" / "murkle_chess-stubs" / "__init__.pyi"

# The stubs live beside the installed modules; a build tree put on the path (the sanitizer run)
# has none for mypy to find.
_installed = {Path(p).resolve() for p in [*site.getsitepackages(), site.getusersitepackages()]}
installed_only = pytest.mark.skipif(
    Path(murkle_chess.__file__).resolve().parent not in _installed
    or Path(murkle_rl.__file__).resolve().parent.parent not in _installed,
    reason="the type stubs are checked only for an installed wheel",
)


def run(args, cwd):
    # From an empty directory, so that neither the runtime import nor mypy sees the sources.
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True)


# The trainer's modules that need the train extra, checked only where it is installed; mypy is
# told that every library of an extra beyond `test` may be missing, as it is after the README's
# `pip install '.[test]'`.
TRAIN_ONLY = r"murkle_rl\.zero\.(learner|network|selfplay)"
OPTIONAL = ("torch", "ray", "matplotlib", "tqdm", "onnx", "onnxruntime", "safetensors", "tensorboard")
MYPY_CONFIG = f"[mypy]\n\n[mypy-{','.join(m + '.*' for m in OPTIONAL)}]\nignore_missing_imports = True\n"


@installed_only
def test_stubtest_finds_no_mismatch(tmp_path):
    (tmp_path / "mypy.ini").write_text(MYPY_CONFIG)
    args = ["mypy.stubtest", "murkle_chess", "murkle_rl", "--allowlist", str(ALLOWLIST),
            "--mypy-config-file", "mypy.ini"]
    if importlib.util.find_spec("torch") is None:
        (tmp_path / "train_only.txt").write_text(TRAIN_ONLY + "\n")
        args += ["--allowlist", str(tmp_path / "train_only.txt"), "--ignore-unused-allowlist"]
    elif importlib.util.find_spec("ray") is None:  # the allowlist's entry for Ray's module is then unused
        args.append("--ignore-unused-allowlist")
    result = run(args, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


GOOD = """\
import numpy as np
import numpy.typing as npt

import murkle_chess as mc
import murkle_rl as rl

game = mc.Game(8, 8, rl.start_fen(8, 8), np.bool_(True))
moves: list[mc.Move] = game.legal_moves()
src: tuple[int, int] = moves[0].src_square()
made: bool = game.make_move(moves[0])
turn: int = game.turn()
ep: mc.Position | None = game.en_passant_square()
outcome: mc.GameOutcome | None = game.outcome()
winner: int | None = outcome.winner() if outcome is not None else None
flat, planes, height, width = game.encode_game_planes()
first: float = flat[0]
piece = game.get_piece(4, 0)
symbol: str = piece.symbol() if piece is not None else "."
game.set_piece(4, 0, None)
board = mc.Board.empty(8, 8)
board.set_piece(0, 0, mc.Piece("king", mc.WHITE))
plane_move: mc.Move | None = mc.Move.decode_from_plane(0, 0, 1, 8, 8)
promotion: str | None = mc.Move.from_lan("e7e8q", 8, 8).promotion()
seen: set[mc.Move] = set(moves)

batch = rl.GameBatch(2, 8, 8, seed=1)
obs: npt.NDArray[np.float32] = batch.planes()
mask: npt.NDArray[np.bool_] = batch.legal_mask()
rewards, done, truncated = batch.step(batch.random_actions())
bits, scalars = batch.packed_planes()
sampled: npt.NDArray[np.int64] = batch.sample(np.zeros((2, batch.num_actions), np.float32))
dense: npt.NDArray[np.float32] = rl.unpack_planes(bits, scalars, 8, 8)
moves_played: int = batch.play_random(4)["moves"]
copy: mc.Game = rl.loads_game(rl.dumps_game(batch.game(0)))
action: int = rl.encode_action(copy, rl.decode_action(copy, 0))
"""

# Each line must draw the mypy error code after its "# E:".
BAD = """\
import murkle_chess as mc
import murkle_rl as rl

game = mc.Game.standard()
rl.encode_action("e2e4", game.legal_moves()[0])  # E: arg-type
game.make_move("e2e4")  # E: arg-type
mc.Game(8, 8, game.to_fen(), 1)  # E: arg-type
game.set_piece(0, 0)  # E: call-arg
square: tuple[int, int] = game.en_passant_square()  # E: assignment
count: str = rl.GameBatch(1).play_random(1)["moves"]  # E: assignment
class MyGame(mc.Game): ...  # E: misc
"""


@installed_only
def test_mypy_reads_the_stubs(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    result = run(["mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                  "good.py", "bad.py"], tmp_path)
    output = result.stdout + result.stderr
    found = set(re.findall(r"^(\w+\.py):(\d+): error: .*\[([\w-]+)\]$", output, re.MULTILINE))
    expected = {("bad.py", str(n), m.group(1))
                for n, line in enumerate(BAD.splitlines(), 1) if (m := re.search(r"# E: ([\w-]+)", line))}
    assert found == expected, output


def test_every_class_and_method_has_a_one_line_docstring():
    # Read from the source tree, so that the check needs no installed wheel.
    classes = {node.name: node for node in ast.parse(STUBS.read_text()).body if isinstance(node, ast.ClassDef)}
    undocumented = []
    for name in murkle_chess.__all__:
        runtime = getattr(murkle_chess, name)
        if not isinstance(runtime, type):
            continue
        stub = classes.get(name)
        defs = {f.name: f for f in stub.body if isinstance(f, ast.FunctionDef)} if stub else {}
        # Every public method the module has, and every special method the stub declares.
        methods = sorted({m for m in vars(runtime) if not m.startswith("_")} | set(defs))
        for label, node in [(name, stub), *((f"{name}.{m}", defs.get(m)) for m in methods)]:
            doc = ast.get_docstring(node) if node else None
            if not doc or "\n" in doc:
                undocumented.append(label)
    assert undocumented == []


@pytest.mark.skipif(not (shutil.which("cmake") and shutil.which("ninja")), reason="needs cmake and ninja")
def test_the_stub_step_waits_for_every_module_it_imports(tmp_path):
    # The stubs are written by importing murkle_rl._core, and with it murkle_chess: in a parallel
    # build the step must come after both are linked, or it reads a half-written library.
    root = Path(__file__).resolve().parent.parent
    subprocess.run(["cmake", "-S", str(root), "-B", str(tmp_path), "-G", "Ninja",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, capture_output=True)
    query = subprocess.run(["ninja", "-C", str(tmp_path), "-t", "query", "murkle_rl/_core.pyi"],
                           check=True, capture_output=True, text=True).stdout
    inputs = query.split("input:", 1)[1].split("outputs:", 1)[0].split()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert {f"murkle_chess{suffix}", f"murkle_rl/_core{suffix}"} <= set(inputs), query
