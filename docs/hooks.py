"""MkDocs hook: where the API reference reads murkle_rl from.

The reference is read statically from `python/` (nothing is imported). One file there is made
by the build, not kept in git: `murkle_rl/_core.pyi`, the stubs nanobind writes from the compiled
module, which document GameBatch, Search and the array functions. A checkout that has not been
built lacks it; the reference then reads a copy of `python/` completed with the stubs of the
installed package (`pip install .`), and refuses to build without either.
"""

from __future__ import annotations

import shutil
import sysconfig
import tempfile
from pathlib import Path

from mkdocs.exceptions import PluginError
from mkdocs.plugins import event_priority

STUB = Path("murkle_rl") / "_core.pyi"
copies: list[Path] = []


def installed_stub() -> Path | None:
    for key in ("platlib", "purelib"):
        path = Path(sysconfig.get_paths()[key]) / STUB
        if path.is_file():
            return path
    return None


@event_priority(100)  # before mkdocstrings reads its handlers' paths
def on_config(config):
    sources = Path(config.config_file_path).parent / "python"
    if (sources / STUB).is_file():
        return config
    stub = installed_stub()
    if stub is None:
        raise PluginError(f"the API reference needs {STUB}, which the build writes: run `pip install .` first")
    copies.append(Path(tempfile.mkdtemp(prefix="murkle-docs-")))
    copy = copies[-1] / "python"
    shutil.copytree(sources, copy, ignore=shutil.ignore_patterns("__pycache__", "*.so"))
    shutil.copy(stub, copy / STUB)
    python = config.plugins["mkdocstrings"].config.handlers["python"]
    python["paths"] = [str(copy)]
    return config


def on_shutdown():
    for path in copies:
        shutil.rmtree(path, ignore_errors=True)
