"""Games as PGN, with standard algebraic notation (SAN) on every board size.

Squares are written as the engine writes them: a file letter ``a``..``z`` and the rank number
(``a10`` on tall boards), and from the 27th file on the file number, a hyphen and the rank
(``26-1``). A square's file part is everything before its rank (``e``, or ``26-``), which is
what a disambiguation by file writes (``Rad1``; ``R26-27-1``, the rook of file 26 to 27-1). SAN
follows the
usual rules: piece letter (none for pawns), disambiguation by file, else by rank, else both, ``x``
for captures (a pawn capture names its file), ``=Q`` for promotions, ``O-O`` / ``O-O-O`` for
castling, ``+`` for check and ``#`` for mate. On 8x8 the games read back with python-chess.
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass, field

import murkle_chess

from .zero.rules import STANDARD_FEN, has_castling, start_fen

__all__ = ["square_name", "file_name", "san", "PgnGame", "write_pgn", "read_pgn"]

LETTERS = {"pawn": "", "knight": "N", "bishop": "B", "rook": "R", "queen": "Q", "king": "K"}


def file_name(col: int) -> str:
    """The file part of a square's name: ``a``..``z``, then ``26-``, ``27-`` ..."""
    return chr(ord("a") + col) if col < 26 else f"{col}-"


def square_name(col: int, row: int) -> str:
    """The name of a square, as the engine writes it (``e4``, ``a10``, ``26-1``)."""
    return f"{file_name(col)}{row + 1}"


def san(game: murkle_chess.Game, move: murkle_chess.Move) -> str:
    """The SAN of a legal ``move`` in ``game`` (the position before the move; left unchanged)."""
    (sc, sr), (dc, dr) = move.src_square(), move.dst_square()
    piece = game.get_piece(sc, sr)
    if piece is None:
        raise ValueError(f"no piece on {square_name(sc, sr)} for {move.to_lan()}")
    kind = piece.piece_type()
    target = game.get_piece(dc, dr)
    if kind == "king" and abs(dc - sc) == 2 and game.castling_enabled():
        text = "O-O" if dc > sc else "O-O-O"
    elif kind == "pawn":
        capture = dc != sc  # diagonal: a capture, en passant included
        text = (file_name(sc) + "x" if capture else "") + square_name(dc, dr)
        promotion = move.promotion()
        if promotion:
            text += "=" + promotion.upper()
    else:
        rivals = [m.src_square() for m in game.legal_moves()
                  if m.dst_square() == (dc, dr) and m.src_square() != (sc, sr)
                  and getattr(game.get_piece(*m.src_square()), "piece_type", str)() == kind]
        if not rivals:
            where = ""
        elif all(c != sc for c, _ in rivals):
            where = file_name(sc)
        elif all(r != sr for _, r in rivals):
            where = str(sr + 1)
        else:
            where = square_name(sc, sr)
        text = LETTERS[kind] + where + ("x" if target is not None else "") + square_name(dc, dr)
    game.make_move(move)
    try:
        if game.is_checkmate():
            text += "#"
        elif game.is_check():
            text += "+"
    finally:
        game.unmake_move()
    return text


@dataclass
class PgnGame:
    """One game for PGN: its start (board size and FEN), moves in LAN, players and result.

    result: "1-0", "0-1", "1/2-1/2" or "*" (not decided, or not scored: a rules mismatch).
    termination: the Termination tag ("normal", "adjudication", "rules infraction", ...).
    """

    width: int
    height: int
    start_fen: str
    moves: list[str]
    white: str = "?"
    black: str = "?"
    result: str = "*"
    termination: str | None = None
    comment: str | None = None  # written after the last move
    event: str = "?"
    round: str = "?"
    date: str | None = None
    extra: dict[str, str] = field(default_factory=dict)

    def headers(self) -> list[tuple[str, str]]:
        tags = [("Event", self.event), ("Site", "?"),
                ("Date", self.date or datetime.date.today().strftime("%Y.%m.%d")),
                ("Round", self.round), ("White", self.white), ("Black", self.black), ("Result", self.result)]
        if (self.width, self.height) != (8, 8):
            tags.append(("Variant", f"{self.width}x{self.height}"))
        if (self.width, self.height) != (8, 8) or self.start_fen != STANDARD_FEN:
            tags += [("SetUp", "1"), ("FEN", self.start_fen)]
        if self.termination:
            tags.append(("Termination", self.termination))
        tags += list(self.extra.items())
        return tags

    def movetext(self) -> str:
        game = murkle_chess.Game(self.width, self.height, self.start_fen, has_castling(self.width, self.height))
        tokens = []
        for i, lan in enumerate(self.moves):
            move = {m.to_lan(): m for m in game.legal_moves()}.get(lan)
            if move is None:
                raise ValueError(f"move {i + 1} ({lan}) is not legal in {game.to_fen()}")
            number = game.fullmove_number()
            if game.turn() == murkle_chess.WHITE:
                tokens.append(f"{number}.")
            elif i == 0:
                tokens.append(f"{number}...")
            tokens.append(san(game, move))
            game.make_move(move)
        if self.comment:
            tokens.append("{" + self.comment.replace("}", ")") + "}")
        tokens.append(self.result)
        lines, line = [], ""
        for t in tokens:
            if line and len(line) + 1 + len(t) > 79:
                lines.append(line)
                line = t
            else:
                line = f"{line} {t}" if line else t
        lines.append(line)
        return "\n".join(lines)

    def __str__(self) -> str:
        tags = "\n".join(f'[{k} "{v.replace(chr(92), chr(92) * 2).replace(chr(34), chr(92) + chr(34))}"]'
                         for k, v in self.headers())
        return f"{tags}\n\n{self.movetext()}\n"


def write_pgn(games: list[PgnGame], path: str) -> None:
    """Writes games to a PGN file, one blank line between them."""
    with open(path, "w", encoding="utf-8") as f:
        for g in games:
            f.write(str(g) + "\n")



_TAG = re.compile(r'^\[(\w+)\s+"((?:[^"\\]|\\.)*)"\]\s*$')
_RESULTS = ("1-0", "0-1", "1/2-1/2", "*")


def read_pgn(text: str) -> list[PgnGame]:
    """The games of a PGN text written by :func:`write_pgn` (or any PGN of our rules: the
    ``Variant "WxH"`` tag gives the board, ``FEN`` the start). Moves come back in LAN. Raises
    ValueError naming the game and the move it cannot read."""
    games: list[PgnGame] = []
    tags: dict[str, str] = {}
    movetext: list[str] = []

    def finish() -> None:
        if not tags and not movetext:
            return
        games.append(_game_of(tags, "\n".join(movetext), len(games)))
        tags.clear()
        movetext.clear()

    for line in text.splitlines():
        m = _TAG.match(line.strip())
        if m:
            if movetext:
                finish()
            tags[m.group(1)] = re.sub(r"\\(.)", r"\1", m.group(2))
        elif line.strip():
            movetext.append(line.strip())
    finish()
    return games


# The tokens of movetext, found in one pass: a comment in braces (to the end when never closed,
# which the reader refuses), a comment to the end of the line, or a token.
_MOVETEXT = re.compile(r"\{(?P<comment>[^}]*)(?P<closed>\}?)|;[^\n]*|(?P<token>[^\s{;]+)")


def movetext_tokens(movetext: str) -> tuple[list[str], list[str], bool]:
    """The tokens and comments of movetext, in time linear in its length, and whether every
    comment is closed."""
    tokens, comments, closed = [], [], True
    for m in _MOVETEXT.finditer(movetext):
        if m.group("token") is not None:
            tokens.append(m.group("token"))
        elif m.group("comment") is not None:
            comments.append(m.group("comment").replace("\n", " "))
            closed = closed and bool(m.group("closed"))
    return tokens, comments, closed


def _game_of(tags: dict[str, str], movetext: str, index: int) -> PgnGame:
    width, height = 8, 8
    if "Variant" in tags:
        size = re.fullmatch(r"(\d+)x(\d+)", tags["Variant"].strip())
        if not size:
            raise ValueError(f"game {index}: unknown variant {tags['Variant'][:40]!r}")
        if max(len(size.group(1)), len(size.group(2))) > 6:  # not worth reading as a number
            raise ValueError(f"game {index}: board size {tags['Variant'][:40]!r} is out of range")
        width, height = int(size.group(1)), int(size.group(2))
    try:
        default = start_fen(width, height)  # says when the board size is out of range
        start = tags.get("FEN") or default
        game = murkle_chess.Game(width, height, start, has_castling(width, height))
    except ValueError as e:
        raise ValueError(f"game {index}: {e}") from None
    tokens, comments, closed = movetext_tokens(movetext)
    if not closed:
        raise ValueError(f"game {index}: a comment opened with {{ is never closed")
    comment = " ".join(comments) or None
    moves: list[str] = []
    result = tags.get("Result", "*")
    for token in tokens:
        if token in _RESULTS:
            result = token
            continue
        token = re.sub(r"^\d+\.+", "", token)
        if not token:
            continue
        wanted = token.rstrip("+#!?")
        for move in game.legal_moves():
            if san(game, move).rstrip("+#") == wanted:
                break
        else:
            raise ValueError(f"game {index}: move {len(moves) + 1} ({token}) is not legal in {game.to_fen()}")
        moves.append(move.to_lan())
        game.make_move(move)
    extra = {k: v for k, v in tags.items()
             if k not in ("Event", "Site", "Date", "Round", "White", "Black", "Result", "Variant", "SetUp", "FEN",
                          "Termination")}
    return PgnGame(width, height, start, moves, white=tags.get("White", "?"), black=tags.get("Black", "?"),
                   result=result, termination=tags.get("Termination"), comment=comment,
                   event=tags.get("Event", "?"), round=tags.get("Round", "?"), date=tags.get("Date"), extra=extra)
