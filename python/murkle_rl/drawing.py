"""Boards as pictures: SVG of any board size, notebook views, animated games, PNG, GIF and arrays.

:func:`svg` draws one position as SVG text; :func:`view` wraps it for notebooks;
:func:`svg_animation` and :func:`gif_animation` draw a whole game; :func:`png` and
:func:`rgb_array` rasterise the same picture. Every picture of a board in this package (the
PettingZoo env's ``rgb_array``, the browser page of ``murkle-zero serve``) is drawn here, so a
board looks the same everywhere.

The SVG needs nothing but the standard library: pieces are paths of our own, defined once per
kind and colour in ``<defs>`` and placed with ``<use>``; the squares are one path; coordinates
are text in a generic sans-serif font. The same input always gives the same bytes.

Rasterising (:func:`png`, :func:`rgb_array`, :func:`gif_animation`) needs the ``svg`` extra
(``pip install 'murkle_chess[svg]'``: ``resvg-py``, a self-contained renderer, and Pillow);
``cairosvg`` is used instead when it is installed and ``resvg-py`` is not.

Squares are given as square text (``"e4"``, ``"26-1"`` for columns from 26 on, as
``murkle_chess.Position`` writes them), as ``(col, row)`` tuples or as ``murkle_chess.Position``.
"""

from __future__ import annotations

import io
import math
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any
from xml.sax.saxutils import quoteattr

import murkle_chess

__all__ = [
    "svg",
    "view",
    "BoardView",
    "svg_animation",
    "gif_animation",
    "png",
    "rgb_array",
    "can_rasterise",
    "game_history",
    "geometry",
]

SQUARE = 45  # user units per square
MARGIN = 20  # the band for the coordinates, left and below
LIGHT, DARK = "#f0d9b5", "#b58863"
LASTMOVE = "#cdd26a"
SQUARE_COLOR = "#e06666"
ARROW = "#15781b"
LABEL = "#6b5a47"
MAX_PIXELS = 720  # the default longer side of the picture, in pixels

# Piece shapes in a 45 x 45 box: a body (filled and outlined) and inner lines drawn in the
# contrasting colour. Order: pawn, knight, bishop, rook, queen, king.
_BASE = "M12 35h21v-3H12z"


def _dots(points: Sequence[tuple[float, float]], r: float) -> str:
    return "".join(f"M{x + r:g} {y:g}a{r:g} {r:g} 0 1 1-{2 * r:g} 0 {r:g} {r:g} 0 1 1 {2 * r:g} 0z" for x, y in points)


_SHAPES: dict[str, tuple[str, str]] = {
    "p": (
        "M22.5 9.5a4.5 4.5 0 0 0-3 7.85c-2.2 1.2-3.5 3-3.5 4.65h3.7c-.4 4-3 7.2-6.2 9.5V35h18v-3.5"
        "c-3.2-2.3-5.8-5.5-6.2-9.5H29c0-1.65-1.3-3.45-3.5-4.65a4.5 4.5 0 0 0-3-7.85z",
        "",
    ),
    "n": (
        "M24 10c7 1 10.5 7 10.5 25h-19c0-5 2.5-7.5 6-10.5 1.5-1.3 1.5-3.5 1.5-3.5-1.5 1.5-3.5 1.5-5 2.5"
        "-1.5 1-2.5 2.5-4 2.5-1 0-2.5-1-2.5-2.5 0-1 .5-2 1.5-3l7-8 1-3.5 1.5 2z",
        "M17.5 16.5h.5M30 33c0-9-1.5-14-5-18",
    ),
    "b": (
        _BASE + "M17 32c-1-3 .5-5.5 1.5-7-3-2-4-5-4-7.5 0-4 4.5-7.5 8-9.5 3.5 2 8 5.5 8 9.5 0 2.5-1 5.5-4 7.5"
        " 1 1.5 2.5 4 1.5 7z" + _dots([(22.5, 6.5)], 2),
        "M18.5 25h8M22.5 12.5v6M19.5 15.5h6",
    ),
    "r": (
        "M12 35h21v-3.5H12zM14 31.5h17l-1.5-3.5h-14zM16 28h13V17.5H16zM13.5 17.5h18l-1.5-2.5H15z"
        "M13 15V9.5h3.5V12H20V9.5h5V12h3.5V9.5H32V15z",
        "",
    ),
    "q": (
        _BASE + "M13.5 32 10.5 14 15 24l1.5-13 3.5 12 2.5-13.5L25 23l3.5-12 1.5 13 4.5-10-3 18z"
        + _dots([(10.5, 12.5), (16.5, 9.5), (22.5, 8), (28.5, 9.5), (34.5, 12.5)], 2),
        "M14 28.5h17",
    ),
    "k": (
        _BASE + "M14 32c-2-4-4-7-4-10 0-3.5 3-5 5.5-5 3 0 5.5 2 7 5.5 1.5-3.5 4-5.5 7-5.5 2.5 0 5.5 1.5 5.5 5"
        " 0 3-2 6-4 10zM21.25 6h2.5v3h3v2.5h-3V18h-2.5v-6.5h-3V9h3z",
        "M14 28h17M22.5 18v10",
    ),
}
_COLORS = {True: ("#fafafa", "#1a1a1a", "#1a1a1a"), False: ("#1e1e1e", "#000", "#d8d8d8")}


def _num(x: float) -> str:
    """A number as short, deterministic text: at most two decimals, no trailing zeros."""
    text = f"{x:.2f}".rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


# ---------------------------------------------------------------------- reading positions


class _Picture:
    """What a picture needs of a position: size, pieces by square, the king in check."""

    def __init__(self, width: int, height: int, placement: str, check_king: str | None) -> None:
        self.width, self.height = width, height
        self.pieces = _parse_placement(placement, width, height)
        self.check: tuple[int, int] | None = None
        if check_king is not None:
            squares = [sq for sq, p in self.pieces.items() if p == check_king]
            if squares:
                self.check = min(squares, key=lambda s: (s[1], s[0]))


def _parse_placement(placement: str, width: int, height: int) -> dict[tuple[int, int], str]:
    rows = placement.split("/")
    if len(rows) != height:
        raise ValueError(f"the placement has {len(rows)} rows, the board {height}")
    pieces: dict[tuple[int, int], str] = {}
    for k, text in enumerate(rows):
        row, col = height - 1 - k, 0
        for run, letter in re.findall(r"(\d+)|(.)", text):
            if run:
                col += int(run)
            elif letter.lower() in "pnbrqk" and col < width:
                pieces[(col, row)] = letter
                col += 1
            else:
                raise ValueError(f"bad placement row {text!r}")
        if col != width:
            raise ValueError(f"placement row {text!r} does not have {width} squares")
    return pieces


def _game_of(position: Any) -> murkle_chess.Game | None:
    """The murkle_chess.Game behind ``position`` if there is one (a Game, a (GameBatch, i) pair)."""
    if isinstance(position, murkle_chess.Game):
        return position
    if isinstance(position, tuple) and len(position) == 2 and hasattr(position[0], "game"):
        return position[0].game(int(position[1]))
    return None


def _read(position: Any, check: bool) -> _Picture:
    game = _game_of(position)
    if game is None and hasattr(position, "game") and hasattr(position, "fens"):
        raise TypeError("a GameBatch holds many games: pass (batch, i) or batch.game(i)")
    if game is not None:
        in_check = check and game.is_check()
        king = ("K" if game.turn() == murkle_chess.WHITE else "k") if in_check else None
        return _Picture(game.width(), game.height(), game.to_fen().split(" ", 1)[0], king)
    if isinstance(position, murkle_chess.Board):
        return _Picture(position.width(), position.height(), position.to_fen(), None)
    if isinstance(position, str):
        position = (position, 8, 8)
    if isinstance(position, tuple) and len(position) == 3 and isinstance(position[0], str):
        fen, width, height = position
        if " " not in fen.strip():  # a placement alone
            return _Picture(int(width), int(height), fen.strip(), None)
        game = murkle_chess.Game(int(width), int(height), fen, False)
        return _read(game, check)
    raise TypeError(
        "position must be a murkle_chess.Game or Board, a (GameBatch, i) pair, a FEN str (8x8) "
        f"or a (fen, width, height) tuple, not {type(position).__name__}"
    )


_SQUARE_TEXT = re.compile(r"([a-z])(\d+)|(\d+)-(\d+)")


def _square(value: Any, width: int, height: int) -> tuple[int, int]:
    """(col, row) of a square given as text, (col, row) or murkle_chess.Position; ValueError
    when it is not on the board."""
    if isinstance(value, murkle_chess.Position):
        col, row = value.col(), value.row()
    elif isinstance(value, str):
        m = _SQUARE_TEXT.fullmatch(value)
        if not m:
            raise ValueError(f"not a square: {value!r}")
        col = ord(m[1]) - ord("a") if m[1] else int(m[3])
        row = int(m[2] or m[4]) - 1
    elif isinstance(value, Sequence) and len(value) == 2:
        col, row = int(value[0]), int(value[1])
    else:
        raise TypeError(f"a square is a str, a (col, row) pair or a murkle_chess.Position, not {value!r}")
    if not (0 <= col < width and 0 <= row < height):
        raise ValueError(f"square {value!r} is not on the {width}x{height} board")
    return col, row


_LAN = re.compile(r"((?:[a-z]|\d+-)\d+?)((?:[a-z]|\d+-)\d+)[nbrq]?")


def _move_squares(move: Any, width: int, height: int) -> tuple[tuple[int, int], tuple[int, int]]:
    """The two squares of a murkle_chess.Move, a LAN str or a (from, to) pair of squares."""
    if isinstance(move, murkle_chess.Move):
        return _square(move.src_square(), width, height), _square(move.dst_square(), width, height)
    if isinstance(move, str):
        # Square texts run together: try every split and keep the first on the board.
        for split in range(2, len(move) - 1):
            head, tail = move[:split], move[split:]
            if tail[-1:] in ("n", "b", "r", "q") and not tail[-2:-1].isalpha():
                tail = tail[:-1]
            try:
                return _square(head, width, height), _square(tail, width, height)
            except ValueError:
                continue
        raise ValueError(f"not a move on the {width}x{height} board: {move!r}")
    if isinstance(move, Sequence) and len(move) == 2:
        return _square(move[0], width, height), _square(move[1], width, height)
    raise TypeError(f"a move is a murkle_chess.Move, a LAN str or a (from, to) pair, not {move!r}")


# ---------------------------------------------------------------------- drawing


def geometry(width: int, height: int, *, flipped: bool = False, coordinates: bool = True) -> dict[str, Any]:
    """Where the squares are in the picture :func:`svg` draws, in its user units (the viewBox):
    ``{"square", "left", "top", "view_width", "view_height", "flipped", "width", "height"}``.
    Square (col, row) has its top left corner at ``left + c * square, top + r * square`` with
    ``c = col`` (``width - 1 - col`` when flipped) and ``r = height - 1 - row`` (``row`` when
    flipped)."""
    margin = MARGIN if coordinates else 0
    return {
        "square": SQUARE,
        "left": margin,
        "top": 0,
        "view_width": margin + width * SQUARE,
        "view_height": height * SQUARE + margin,
        "flipped": bool(flipped),
        "width": width,
        "height": height,
    }


class _Canvas:
    def __init__(self, width: int, height: int, flipped: bool, coordinates: bool) -> None:
        self.width, self.height, self.flipped = width, height, flipped
        self.geo = geometry(width, height, flipped=flipped, coordinates=coordinates)
        self.coordinates = coordinates
        self.used: set[str] = set()  # piece ids referenced

    def xy(self, col: int, row: int) -> tuple[int, int]:
        c = self.width - 1 - col if self.flipped else col
        r = row if self.flipped else self.height - 1 - row
        return self.geo["left"] + c * SQUARE, r * SQUARE

    def center(self, square: tuple[int, int]) -> tuple[float, float]:
        x, y = self.xy(*square)
        return x + SQUARE / 2, y + SQUARE / 2

    def board(self) -> str:
        g = self.geo
        parts = [f'<rect x="{g["left"]}" y="0" width="{self.width * SQUARE}" height="{self.height * SQUARE}" fill="{LIGHT}"/>']
        # The dark squares (col + row even, so a1 is dark) as one path, a run of squares per row.
        d = []
        for row in range(self.height):
            cols = [c for c in range(self.width) if (c + row) % 2 == 0]
            if not cols:
                continue
            xs = sorted(self.xy(c, row)[0] for c in cols)
            y = self.xy(0, row)[1]
            d.append(f"M{xs[0]} {y}h{SQUARE}v{SQUARE}h-{SQUARE}z")
            d.extend(f"m{b - a} 0h{SQUARE}v{SQUARE}h-{SQUARE}z" for a, b in zip(xs, xs[1:]))
        if d:
            parts.append(f'<path d="{"".join(d)}" fill="{DARK}"/>')
        if self.coordinates:
            parts.append(self.labels())
        return "".join(parts)

    def labels(self) -> str:
        size = 13
        out = [f'<g font-family="DejaVu Sans,Helvetica,Arial,sans-serif" font-size="{size}" fill="{LABEL}" text-anchor="middle">']
        for row in range(self.height):
            y = self.xy(0, row)[1] + SQUARE / 2 + size * 0.35
            out.append(f'<text x="{MARGIN // 2}" y="{_num(y)}">{row + 1}</text>')
        base = self.height * SQUARE + MARGIN * 0.72
        for col in range(self.width):
            x = self.xy(col, 0)[0] + SQUARE / 2
            text = chr(ord("a") + col) if col <= 25 else str(col)
            out.append(f'<text x="{_num(x)}" y="{_num(base)}">{text}</text>')
        out.append("</g>")
        return "".join(out)

    def fill(self, squares: Iterable[tuple[int, int]], color: str, opacity: float) -> str:
        d = "".join(f"M{x} {y}h{SQUARE}v{SQUARE}h-{SQUARE}z" for x, y in (self.xy(*s) for s in squares))
        if not d:
            return ""
        return f'<path d="{d}" fill={quoteattr(color)} fill-opacity="{_num(opacity)}"/>'

    def check(self, square: tuple[int, int]) -> str:
        x, y = self.center(square)
        return f'<circle cx="{_num(x)}" cy="{_num(y)}" r="{_num(SQUARE * 0.7)}" fill="url(#m-check)"/>'

    def pieces(self, pieces: Mapping[tuple[int, int], str]) -> str:
        out = []
        for (col, row), letter in sorted(pieces.items(), key=lambda item: (-item[0][1], item[0][0])):
            ident = ("w" if letter.isupper() else "b") + letter.lower()
            self.used.add(ident)
            x, y = self.xy(col, row)
            out.append(f'<use xlink:href="#m-{ident}" x="{x}" y="{y}"/>')
        return "".join(out)

    def arrow(self, src: tuple[int, int], dst: tuple[int, int], color: str) -> str:
        (x0, y0), (x1, y1) = self.center(src), self.center(dst)
        length = math.hypot(x1 - x0, y1 - y0)
        if length == 0:
            return ""
        ux, uy = (x1 - x0) / length, (y1 - y0) / length
        px, py = -uy, ux
        shaft, head, head_len = SQUARE * 0.1, SQUARE * 0.25, SQUARE * 0.45
        tip = (x1 - ux * SQUARE * 0.1, y1 - uy * SQUARE * 0.1)
        neck = (tip[0] - ux * head_len, tip[1] - uy * head_len)
        start = (x0 + ux * SQUARE * 0.25, y0 + uy * SQUARE * 0.25)
        points = [
            (start[0] + px * shaft, start[1] + py * shaft),
            (neck[0] + px * shaft, neck[1] + py * shaft),
            (neck[0] + px * head, neck[1] + py * head),
            tip,
            (neck[0] - px * head, neck[1] - py * head),
            (neck[0] - px * shaft, neck[1] - py * shaft),
            (start[0] - px * shaft, start[1] - py * shaft),
        ]
        d = "M" + "L".join(f"{_num(x)} {_num(y)}" for x, y in points) + "z"
        return f'<path d="{d}" fill={quoteattr(color)} fill-opacity=".8"/>'

    def defs(self, check: bool) -> str:
        out = ["<defs>"]
        if check:
            out.append(
                '<radialGradient id="m-check"><stop offset="0" stop-color="#ff0000"/>'
                '<stop offset=".5" stop-color="#e70000" stop-opacity=".75"/>'
                '<stop offset="1" stop-color="#9e0000" stop-opacity="0"/></radialGradient>'
            )
        for ident in sorted(self.used, key=lambda i: (i[0] == "b", "pnbrqk".index(i[1]))):
            body, lines = _SHAPES[ident[1]]
            fill, stroke, detail = _COLORS[ident[0] == "w"]
            out.append(
                f'<g id="m-{ident}"><path d="{body}" fill="{fill}" stroke="{stroke}" stroke-width="1.5" stroke-linejoin="round"/>'
            )
            if lines:
                out.append(f'<path d="{lines}" fill="none" stroke="{detail}" stroke-width="1.5" stroke-linecap="round"/>')
            out.append("</g>")
        out.append("</defs>")
        return "".join(out)

    def open(self, size: int | None) -> str:
        vw, vh = self.geo["view_width"], self.geo["view_height"]
        longer = max(vw, vh)
        pixels = min(longer, MAX_PIXELS) if size is None else int(size)
        if pixels < 1:
            raise ValueError(f"size must be a positive number of pixels, got {size!r}")
        scale = pixels / longer
        w, h = max(1, round(vw * scale)), max(1, round(vh * scale))
        return (
            '<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
            f'version="1.1" viewBox="0 0 {vw} {vh}" width="{w}" height="{h}">'
        )


def _layer(
    canvas: _Canvas,
    picture: _Picture,
    lastmove: tuple[tuple[int, int], tuple[int, int]] | None,
    arrows: Sequence[tuple[tuple[int, int], tuple[int, int], str]],
    squares: Sequence[tuple[tuple[int, int], str]],
) -> str:
    parts = []
    if lastmove is not None:
        parts.append(canvas.fill(lastmove, LASTMOVE, 0.8))
    by_color: dict[str, list[tuple[int, int]]] = {}
    for square, color in squares:
        by_color.setdefault(color, []).append(square)
    parts.extend(canvas.fill(s, c, 0.6) for c, s in by_color.items())
    if picture.check is not None:
        parts.append(canvas.check(picture.check))
    parts.append(canvas.pieces(picture.pieces))
    parts.extend(canvas.arrow(a, b, c) for a, b, c in arrows)
    return "".join(parts)


def _options(picture: _Picture, lastmove: Any, arrows: Any, squares: Any, game: Any) -> tuple[Any, list, list]:
    w, h = picture.width, picture.height
    if lastmove is True:
        lastmove = _last_move(game) if game is not None else None
    last = None if lastmove is None or lastmove is False else _move_squares(lastmove, w, h)
    arrow_list = []
    for arrow in arrows or ():
        color: Any = ARROW
        if isinstance(arrow, tuple) and len(arrow) == 3:
            color = arrow[2]
            arrow = arrow[:2]
        a, b = _move_squares(arrow, w, h)
        arrow_list.append((a, b, str(color)))
    square_list: list[tuple[tuple[int, int], str]] = []
    if isinstance(squares, Mapping):
        square_list = [(_square(k, w, h), str(v)) for k, v in squares.items()]
    elif squares is not None:
        if isinstance(squares, str):
            squares = [squares]
        square_list = [(_square(s, w, h), SQUARE_COLOR) for s in squares]
    return last, arrow_list, square_list


def svg(
    position: Any,
    *,
    size: int | None = None,
    flipped: bool = False,
    lastmove: Any = None,
    arrows: Iterable[Any] = (),
    squares: Mapping[Any, str] | Iterable[Any] | None = None,
    coordinates: bool = True,
    check: bool = True,
) -> str:
    """The SVG text of a board, of any size from 1x1 to 32x32 and up to 1024x1.

    position: a ``murkle_chess.Game``, a ``murkle_chess.Board``, a ``(GameBatch, i)`` pair (its
        game i), a ``(fen, width, height)`` tuple (a six-field FEN, or the placement field
        alone), or a FEN str of an 8x8 board.
    size: the longer side of the picture in pixels (the SVG's width or height); None: one pixel
        per unit (45 per square), at most 720.
    flipped: Black at the bottom.
    lastmove: the squares to mark as the last move: a ``murkle_chess.Move``, a LAN str, a
        (from, to) pair of squares, or True for the last move of the Game's history.
    arrows: (from, to) pairs, LAN strs or Moves, each optionally with a colour as a third item:
        ``(from, to, "#0000ff")``.
    squares: coloured squares: a dict square -> colour, or an iterable of squares (drawn red).
        A square is a square text (``"e4"``, ``"26-1"``), a (col, row) pair or a
        ``murkle_chess.Position``.
    coordinates: files below the board and ranks on its left, as the engine writes them
        (``a``..``z``, then the column number counted from 0 from column 26 on).
    check: mark the king of the side to move when a Game is in check.

    Raises TypeError for an unknown kind of position, ValueError for a square off the board or
    a bad FEN. The same arguments always give the same text.
    """
    picture = _read(position, check)
    last, arrow_list, square_list = _options(picture, lastmove, arrows, squares, _game_of(position))
    canvas = _Canvas(picture.width, picture.height, bool(flipped), bool(coordinates))
    head = canvas.open(size)
    board = canvas.board()
    layer = _layer(canvas, picture, last, arrow_list, square_list)
    return head + canvas.defs(picture.check is not None) + board + layer + "</svg>"


# ---------------------------------------------------------------------- notebooks


class BoardView:
    """A drawn board for notebooks: Jupyter shows it through ``_repr_svg_`` / ``_repr_html_``;
    ``str(view)`` is the SVG text, ``view.save(path)`` writes it (``.svg``, or ``.png`` with the
    ``svg`` extra)."""

    def __init__(self, svg_text: str) -> None:
        self.svg = svg_text

    def _repr_svg_(self) -> str:
        return self.svg

    def _repr_html_(self) -> str:
        return f'<div style="display:inline-block">{self.svg}</div>'

    def __str__(self) -> str:
        return self.svg

    def __repr__(self) -> str:
        return f"BoardView({len(self.svg)} bytes of SVG)"

    def save(self, path: str) -> None:
        """Writes the picture: PNG when ``path`` ends in .png (needs the ``svg`` extra), else SVG."""
        if str(path).lower().endswith(".png"):
            data = _rasterise(self.svg)
            with open(path, "wb") as f:
                f.write(data)
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(self.svg)


def view(position: Any, **options: Any) -> BoardView:
    """:func:`svg` of ``position`` wrapped for notebooks (same options): the last expression of
    a cell shows the board."""
    return BoardView(svg(position, **options))


# ---------------------------------------------------------------------- games


def game_history(game: murkle_chess.Game) -> list[tuple[murkle_chess.Game, murkle_chess.Move | None]]:
    """The positions of a game from its first to its current one, each with the move that led
    there: ``[(first, None), (after ply 1, move 1), ...]``, each a new ``murkle_chess.Game``
    (clones). Read by taking the moves back on a clone; a step that no legal move explains (a
    square edited between moves) has None as its move."""
    walker = game.clone()
    steps: list[murkle_chess.Game] = [walker.clone()]
    while walker.unmake_move():
        steps.append(walker.clone())
    steps.reverse()
    out: list[tuple[murkle_chess.Game, murkle_chess.Move | None]] = [(steps[0], None)]
    for before, after in zip(steps, steps[1:]):
        out.append((after, _move_between(before, after)))
    return out


def _last_move(game: murkle_chess.Game) -> murkle_chess.Move | None:
    before = game.clone()
    return _move_between(before, game) if before.unmake_move() else None


def _move_between(before: murkle_chess.Game, after: murkle_chess.Game) -> murkle_chess.Move | None:
    target = after.to_fen()
    probe = before.clone()
    placement = _parse_placement(target.split(" ", 1)[0], after.width(), after.height())
    for move in probe.legal_moves():
        if move.src_square() in placement:  # the mover's square is empty afterwards
            continue
        probe.make_move(move)
        same = probe.to_fen() == target
        probe.unmake_move()
        if same:
            return move
    return None


def _frames(game_or_moves: Any) -> list[tuple[murkle_chess.Game, murkle_chess.Move | None]]:
    if isinstance(game_or_moves, murkle_chess.Game):
        return game_history(game_or_moves)
    if isinstance(game_or_moves, tuple) and len(game_or_moves) == 2:
        start, moves = game_or_moves
        game = _game_of(start)
        if game is None:
            if isinstance(start, str):
                start = (start, 8, 8)
            fen, width, height = start
            from .zero.rules import has_castling

            game = murkle_chess.Game(int(width), int(height), fen, has_castling(int(width), int(height)))
        game = game.clone()
        out: list[tuple[murkle_chess.Game, murkle_chess.Move | None]] = [(game.clone(), None)]
        for ply, text in enumerate(moves, 1):
            try:
                move = game.move_from_lan(text) if isinstance(text, str) else text
                legal = game.is_legal_move(move) and game.make_move(move)
            except (ValueError, TypeError) as e:
                raise ValueError(f"move {ply} ({text}) in {game.to_fen()}: {e}") from None
            if not legal:
                raise ValueError(f"move {ply} ({text}) is not legal in {game.to_fen()}")
            out.append((game.clone(), move))
        return out
    raise TypeError("game_or_moves must be a murkle_chess.Game or a (start, moves) pair")


def svg_animation(
    game_or_moves: Any,
    *,
    seconds_per_ply: float = 1.0,
    size: int | None = None,
    flipped: bool = False,
    coordinates: bool = True,
    lastmove: bool = True,
    check: bool = True,
) -> str:
    """A whole game as one animated SVG: a frame per position, shown ``seconds_per_ply`` each,
    looping forever (SMIL ``<animate>`` of each frame's visibility; browsers play it, a viewer
    without animation shows the first position).

    game_or_moves: a ``murkle_chess.Game`` (its history, from the first position to the
        current one) or ``(start, moves)``: a start as :func:`svg` takes it (a Game, a
        ``(GameBatch, i)`` pair, a ``(fen, width, height)`` tuple) and LAN strs or Moves.
    seconds_per_ply: how long each position is shown.
    size, flipped, coordinates, check: as for :func:`svg`; lastmove: mark each frame's move.
    """
    if not seconds_per_ply > 0:
        raise ValueError(f"seconds_per_ply must be positive, got {seconds_per_ply!r}")
    frames = _frames(game_or_moves)
    first = frames[0][0]
    canvas = _Canvas(first.width(), first.height(), bool(flipped), bool(coordinates))
    head, board = canvas.open(size), canvas.board()
    n = len(frames)
    total = _num(n * seconds_per_ply)
    layers, any_check = [], False
    for k, (game, move) in enumerate(frames):
        picture = _read(game, check)
        any_check |= picture.check is not None
        last = _move_squares(move, picture.width, picture.height) if (lastmove and move is not None) else None
        body = _layer(canvas, picture, last, [], [])
        if n == 1:
            layers.append(f"<g>{body}</g>")
            continue
        if k == 0:
            values, times = "visible;hidden", f"0;{1 / n:.6g}"
        elif k == n - 1:
            values, times = "hidden;visible", f"0;{k / n:.6g}"
        else:
            values, times = "hidden;visible;hidden", f"0;{k / n:.6g};{(k + 1) / n:.6g}"
        visibility = "visible" if k == 0 else "hidden"
        layers.append(
            f'<g visibility="{visibility}"><animate attributeName="visibility" values="{values}" '
            f'keyTimes="{times}" dur="{total}s" calcMode="discrete" repeatCount="indefinite"/>{body}</g>'
        )
    return head + canvas.defs(any_check) + board + "".join(layers) + "</svg>"


# ---------------------------------------------------------------------- raster pictures


def can_rasterise() -> bool:
    """Whether :func:`png`, :func:`rgb_array` and :func:`gif_animation` can run: ``resvg-py``
    (or ``cairosvg``) and Pillow are installed (the ``svg`` extra)."""
    try:
        _renderer()
        import PIL  # noqa: F401
    except ModuleNotFoundError:
        return False
    return True


def _renderer() -> Any:
    try:
        import resvg_py  # type: ignore[import-not-found, import-untyped]

        return lambda text: bytes(resvg_py.svg_to_bytes(svg_string=text))
    except ModuleNotFoundError:
        pass
    try:
        import cairosvg  # type: ignore[import-not-found, import-untyped]
    except (ModuleNotFoundError, OSError):
        raise ModuleNotFoundError(
            "drawing boards as images needs the svg extra: pip install 'murkle_chess[svg]' (resvg-py and Pillow)",
            name="resvg_py",
        ) from None
    return lambda text: cairosvg.svg2png(bytestring=text.encode())


def _rasterise(svg_text: str) -> bytes:
    return _renderer()(svg_text)


def png(position: Any, **options: Any) -> bytes:
    """:func:`svg` of ``position`` (same options) as PNG bytes. Needs the ``svg`` extra."""
    return _rasterise(svg(position, **options))


def rgb_array(position: Any, **options: Any) -> Any:
    """:func:`svg` of ``position`` (same options) as an RGB image, numpy uint8 (H, W, 3), as
    Gymnasium's video recorder takes it. Needs the ``svg`` extra (resvg-py and Pillow)."""
    import numpy as np
    from PIL import Image

    with Image.open(io.BytesIO(png(position, **options))) as image:
        return np.asarray(image.convert("RGB"))


def gif_animation(
    game_or_moves: Any,
    path: str | None = None,
    *,
    seconds_per_ply: float = 1.0,
    size: int | None = None,
    flipped: bool = False,
    coordinates: bool = True,
    lastmove: bool = True,
    check: bool = True,
) -> bytes:
    """A whole game as an animated GIF (looping), each position a frame drawn by :func:`svg`;
    written to ``path`` when given, and returned as bytes. Needs the ``svg`` extra (resvg-py
    and Pillow).

    game_or_moves: a ``murkle_chess.Game`` or ``(start, moves)``, as :func:`svg_animation`
    takes them. seconds_per_ply: how long each position is shown. size, flipped, coordinates,
    check: as for :func:`svg`; lastmove: mark each frame's move.
    """
    from PIL import Image

    if not seconds_per_ply > 0:
        raise ValueError(f"seconds_per_ply must be positive, got {seconds_per_ply!r}")
    images = []
    for game, move in _frames(game_or_moves):
        text = svg(
            game, size=size, flipped=flipped, coordinates=coordinates, check=check, lastmove=move if lastmove else None
        )
        with Image.open(io.BytesIO(_rasterise(text))) as image:
            images.append(image.convert("RGB"))
    out = io.BytesIO()
    images[0].save(
        out, format="GIF", save_all=True, append_images=images[1:], duration=round(seconds_per_ply * 1000), loop=0
    )
    data = out.getvalue()
    if path is not None:
        with open(path, "wb") as f:
            f.write(data)
    return data

