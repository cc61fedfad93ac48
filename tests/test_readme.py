"""Every ```python block of README.md and of the guide pages (docs/guide/*.md) runs as pasted.

The blocks of one page are one session: block i is tested by running blocks 0..i-1 of the same
page and then block i in one fresh namespace, as a reader pasting them in order into one
interpreter would, so a block may use what an earlier one defined and each test still stands
alone and names the page and block that broke.

A block that needs an optional package carries a marker on the line before its opening fence:

    <!-- readme-test: requires pettingzoo numpy -->

and is skipped when one of them is missing (it is then also left out of the later blocks' run,
so later blocks must not depend on it). An unknown marker is an error.
"""

import importlib.util
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs" / "guide").glob("*.md"))]
MARKER = re.compile(r"<!--\s*readme-test:\s*(.*?)\s*-->")


def python_blocks(text, name="README.md"):
    """(first line number, source, required modules) of each python block, in order."""
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        if lines[i].strip() != "```python":
            i += 1
            continue
        requires = []
        before = next((line for line in reversed(lines[:i]) if line.strip()), "")
        marker = MARKER.fullmatch(before.strip())
        if marker:
            words = marker.group(1).split()
            if not words or words[0] != "requires" or len(words) < 2:
                raise ValueError(f"{name}:{i}: unknown marker {before.strip()!r}")
            requires = words[1:]
        end = next((j for j in range(i + 1, len(lines)) if lines[j].strip() == "```"), None)
        if end is None:
            raise ValueError(f"{name}:{i + 1}: python block without a closing fence")
        blocks.append((i + 2, "\n".join(lines[i + 1:end]) + "\n", requires))
        i = end + 1
    return blocks


BLOCKS = {page: python_blocks(page.read_text(encoding="utf-8"), page.name) for page in PAGES}
CASES = [(page, index) for page, blocks in BLOCKS.items() for index in range(len(blocks))]


def missing(requires):
    return [name for name in requires if importlib.util.find_spec(name) is None]


def run(page, block, namespace):
    line, source, _ = block
    # Padding puts the block's lines at their line numbers in the page in a traceback.
    code = compile("\n" * (line - 1) + source, str(page), "exec")
    exec(code, namespace)


@pytest.mark.parametrize(("page", "index"), CASES,
                         ids=[f"{p.relative_to(ROOT)}:line{BLOCKS[p][i][0]}" for p, i in CASES])
def test_block_runs_as_pasted(page, index, tmp_path, monkeypatch):
    blocks = BLOCKS[page]
    absent = missing(blocks[index][2])
    if absent:
        pytest.skip(f"needs {', '.join(absent)}")
    monkeypatch.chdir(tmp_path)  # whatever a block writes lands in a scratch directory
    namespace = {"__name__": "__readme__"}
    for earlier in blocks[:index]:
        if not missing(earlier[2]):
            run(page, earlier, namespace)
    run(page, blocks[index], namespace)


def test_block_extraction_and_markers():
    text = "\n".join([
        "```python", "a = 1", "```",
        "```sh", "not python", "```",
        "<!-- readme-test: requires numpy  json -->", "", "```python", "b = a", "```",
    ])
    assert python_blocks(text) == [(2, "a = 1\n", []), (10, "b = a\n", ["numpy", "json"])]
    for bad in ("<!-- readme-test: skip -->", "<!-- readme-test: requires -->"):
        with pytest.raises(ValueError, match="page.md:1: unknown marker"):
            python_blocks(bad + "\n```python\nx\n```", "page.md")
    with pytest.raises(ValueError, match="closing fence"):
        python_blocks("```python\nx = 1\n")
    # The README itself has blocks to check (the overview among them), and so does the guide.
    assert any("apply_action" in source for _, source, _ in BLOCKS[README])
    guide = {page.stem for page in PAGES[1:] if BLOCKS[page]}
    assert {"engine", "batches", "search", "drawing", "uci"} <= guide
