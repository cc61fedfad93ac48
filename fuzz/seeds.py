"""Writes the fuzz target's seed corpus: every position of the perft suite and every FEN-like
text quoted in the tests, each with its board size and a fixed run of operation bytes.

    python3 fuzz/seeds.py OUT_DIR

The target takes the FEN as its first text (read from the front, a backslash followed by any
other character ends it) and width, height and the castling flag from the last three bytes.
"""
import hashlib
import pathlib
import random
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUITE = ROOT / "tests" / "data" / "perft_suite.txt"
QUOTED = re.compile(r'"([^"\\\n]*/[^"\\\n]*)"')
OPERATION_BYTES = 64


def suite_positions():
    for line in SUITE.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            width, height, mode, fen = line.split(";")[0].strip().split(" ", 3)
            yield int(width), int(height), mode == "castling", fen.strip()


def size_of(placement):
    """Width and height a placement describes, or the standard size when it does not parse."""
    rows = placement.split("/")
    width = 0
    for token in re.findall(r"\d+|\D", rows[0]):
        width += int(token) if token.isdigit() else 1
    return (width, len(rows)) if 0 < width * len(rows) <= 1024 else (8, 8)


def test_texts():
    for path in sorted((ROOT / "tests").glob("*.py")):
        for text in QUOTED.findall(path.read_text()):
            if "{" not in text:
                width, height = size_of(text.split(" ")[0])
                yield width, height, True, text


def seed(width, height, castling, text):
    body = text.encode().replace(b"\\", b"\\\\") + b"\\;"
    rng = random.Random(hashlib.sha256(body).digest())
    return body + rng.randbytes(OPERATION_BYTES) + bytes([int(castling), height, width])


def main(out):
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    seeds = {seed(*entry) for entry in [*suite_positions(), *test_texts()]}
    for data in seeds:
        (out / hashlib.sha1(data).hexdigest()).write_bytes(data)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv[1])
