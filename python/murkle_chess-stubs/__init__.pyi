"""Type stubs for murkle_chess, the chess rules engine on boards up to 1024 squares.

Squares cross as (col, row) counted from 0 (col 0 is file "a", row 0 is rank "1");
colours as 1 (White) and -1 (Black). Integer arguments take any object with __index__.
"""

from typing import ClassVar, Final, Literal, SupportsIndex, TypeAlias, final

import numpy

__all__ = [
    "Board",
    "Game",
    "Move",
    "Piece",
    "Position",
    "GameOutcome",
    "WHITE",
    "BLACK",
    "TOTAL_INPUT_PLANES",
]

_Color: TypeAlias = Literal[1, -1]
_Square: TypeAlias = tuple[int, int]
_PieceType: TypeAlias = Literal["pawn", "knight", "bishop", "rook", "queen", "king"]
_OutcomeName: TypeAlias = Literal[
    "white_win",
    "black_win",
    "stalemate",
    "insufficient_material",
    "threefold_repetition",
    "fifty_move_rule",
    "other_draw",
]

WHITE: Final[int]
BLACK: Final[int]
TOTAL_INPUT_PLANES: Final[int]

@final
class Board:
    """A bare board of 1..32 x 1..32 squares, without turn, rights or clocks: FEN placement and squares."""
    def __new__(cls, width: SupportsIndex, height: SupportsIndex, fen: str) -> Board:
        """A width x height board (each 1..32) from a FEN placement field like "8/8/..."; ValueError if invalid."""
    @staticmethod
    def standard() -> Board:
        """The 8x8 board in the standard starting placement."""
    @staticmethod
    def empty(width: SupportsIndex, height: SupportsIndex) -> Board:
        """An empty board of width x height (each 1..32); ValueError otherwise."""
    def to_fen(self) -> str:
        """The FEN piece-placement field of the board, top row first."""
    def clear(self) -> None:
        """Empties every square; width and height stay."""
    def width(self) -> int:
        """The number of columns."""
    def height(self) -> int:
        """The number of rows."""
    def get_piece(self, col: SupportsIndex, row: SupportsIndex) -> Piece | None:
        """The piece on square (col, row), or None for an empty square or one off the board."""
    def set_piece(self, col: SupportsIndex, row: SupportsIndex, piece: Piece | None) -> None:
        """Puts piece on (col, row), or empties it when piece is None; squares off the board are ignored."""

@final
class Game:
    """A whole game on one board size: play, take-back, queries, FEN, actions, input planes, rewards."""
    def __new__(
        cls,
        width: SupportsIndex,
        height: SupportsIndex,
        fen: str,
        castling_enabled: bool | numpy.bool_,
    ) -> Game:
        """A width x height game (1..1024 squares, 1..32 rows) from a six-field FEN; ValueError if invalid."""
    def __hash__(self) -> int:
        """A hash of the board, turn, castling rights, en-passant square and halfmove clock."""
    @staticmethod
    def standard() -> Game:
        """The standard 8x8 starting position with castling enabled."""
    def turn(self) -> _Color:
        """The side to move: 1 White, -1 Black."""
    def fullmove_number(self) -> int:
        """The FEN fullmove number: starts at the FEN's value and grows after each Black move."""
    def halfmove_clock(self) -> int:
        """Half-moves since the last capture or pawn move (the game is drawn at 150)."""
    def castling_enabled(self) -> bool:
        """Whether castling moves are generated (only ever on 8x8)."""
    def has_kingside_castling_rights(self, color: SupportsIndex) -> bool:
        """White's kingside castling right for color 1, Black's for any other color."""
    def has_queenside_castling_rights(self, color: SupportsIndex) -> bool:
        """White's queenside castling right for color 1, Black's for any other color."""
    def make_move(self, move_: Move) -> bool:
        """Plays move_ with its own flags if its squares make a legal move; False (nothing changed) if not."""
    def unmake_move(self) -> bool:
        """Takes back the last move; False when there is none."""
    def is_legal_move(self, move_: Move) -> bool:
        """Whether a legal move goes from move_'s source square to its destination square."""
    def legal_moves(self) -> list[Move]:
        """The legal moves of the side to move, by ascending source square, then in generator order."""
    def psuedo_legal_moves(self) -> list[Move]:
        """The moves of the side to move, before the test that its king is left safe (spelled psuedo)."""
    def legal_moves_for_position(self, col: SupportsIndex, row: SupportsIndex) -> list[Move]:
        """The legal moves of the piece on (col, row); empty for an empty square or one off the board."""
    def move_from_lan(self, lan: str) -> Move:
        """The move of LAN text ("e2e4", "e7e8q") with flags from this position; ValueError if invalid."""
    def is_check(self) -> bool:
        """Whether the king of the side to move is attacked (from the king square the game tracks)."""
    def is_checkmate(self) -> bool:
        """Whether the side to move is in check and has no legal move."""
    def is_stalemate(self) -> bool:
        """Whether the side to move is not in check and has no legal move."""
    def is_over(self) -> bool:
        """Whether the game has ended: mate, stalemate, insufficient material or 150 half-moves."""
    def width(self) -> int:
        """The number of columns."""
    def height(self) -> int:
        """The number of rows."""
    def get_piece(self, col: SupportsIndex, row: SupportsIndex) -> Piece | None:
        """The piece on square (col, row), or None for an empty square or one off the board."""
    def set_piece(self, col: SupportsIndex, row: SupportsIndex, piece: Piece | None) -> None:
        """Puts piece on (col, row), or empties it when None; turn, rights, clocks and king squares stay."""
    def legal_action_indices(self) -> list[int]:
        """The move plane of each legal move that has one, in legal_moves() order (planes may repeat)."""
    def apply_action(self, action: SupportsIndex) -> bool:
        """Plays the first legal move whose move plane is action; False (nothing changed) if there is none."""
    def action_size(self) -> int:
        """The number of move planes of this board: 8 * max(width, height) + 18."""
    def board_shape(self) -> tuple[int, int]:
        """(height, width)."""
    def input_plane_count(self) -> int:
        """The number of input planes per position: always 105."""
    def reward_absolute(self) -> float:
        """1.0 when White has won, -1.0 when Black has won, 0.0 for a draw or a game still going on."""
    def reward_from_perspective(self, perspective: SupportsIndex) -> float:
        """reward_absolute() for perspective 1, its negation for -1; 0.0 while the game goes on."""
    def name(self) -> str:
        """The name "chess_<width>x<height>", e.g. "chess_8x8"."""
    def is_insufficient_material(self) -> bool:
        """Whether neither side has the material left to mate."""
    def has_legal_en_passant(self) -> bool:
        """Whether the side to move has a legal en-passant capture."""
    def en_passant_square(self) -> Position | None:
        """The stored en-passant square (whether or not a capture there is legal), or None."""
    def outcome(self) -> GameOutcome | None:
        """The result once the game is over, or None while it goes on."""
    def to_fen(self) -> str:
        """The six-field FEN of the game."""
    def clone(self) -> Game:
        """An independent copy of the whole game, history included (unmake_move works on it alike)."""
    def encode_game_planes(self) -> tuple[list[float], int, int, int]:
        """(flat planes of 105 * height * width floats, 105, height, width)."""
    @staticmethod
    def get_move_planes_count(width: SupportsIndex, height: SupportsIndex) -> int:
        """The number of move planes of a width x height board: 8 * max(width, height) + 18."""
    def decode_action(self, action: SupportsIndex) -> Move | None:
        """The first legal move whose move plane is action, or None when there is none."""

@final
class Move:
    """A move value: squares, flags and promotion; equal by all of them, hashed by its squares."""
    def __hash__(self) -> int:
        """A hash of the source and destination squares (flags and promotion not included)."""
    def __eq__(self, value: object, /) -> bool:
        """Equal when squares, flags and promotion all match."""
    def __ne__(self, value: object, /) -> bool:
        """Not equal when squares, flags or promotion differ."""
    @staticmethod
    def from_rowcol(
        src_col: SupportsIndex, src_row: SupportsIndex, dst_col: SupportsIndex, dst_row: SupportsIndex
    ) -> Move:
        """A move between two squares, given column before row; flags 0, no promotion, nothing checked."""
    @classmethod
    def from_lan(cls, lan: str, board_width: SupportsIndex, board_height: SupportsIndex) -> Move:
        """A move read from LAN text on a board of that size, with only the promotion flag; ValueError if invalid."""
    def src_square(self) -> _Square:
        """The source square as (col, row)."""
    def dst_square(self) -> _Square:
        """The destination square as (col, row)."""
    def promotion(self) -> Literal["n", "b", "r", "q"] | None:
        """The promotion piece letter ("n", "b", "r" or "q"), or None for no promotion."""
    def to_lan(self) -> str:
        """The move in long algebraic text, e.g. "e2e4" or "e7e8q"."""
    def encode(self, width: SupportsIndex, height: SupportsIndex) -> int | None:
        """The move plane of this move on a width x height board, or None when it has none."""
    @staticmethod
    def decode_from_plane(
        plane_idx: SupportsIndex,
        src_col: SupportsIndex,
        src_row: SupportsIndex,
        width: SupportsIndex,
        height: SupportsIndex,
    ) -> Move | None:
        """The move of plane plane_idx from (src_col, src_row) on a width x height board, or None."""

@final
class Piece:
    """A coloured piece: its kind and its colour."""
    def __new__(cls, piece_type: str, color: SupportsIndex) -> Piece:
        """A piece from its kind ("pawn", "n", "Knight", ...) and colour (1 or -1); ValueError otherwise."""
    def piece_type(self) -> _PieceType:
        """The kind in lower case: "pawn", "knight", "bishop", "rook", "queen" or "king"."""
    def color(self) -> _Color:
        """1 for White, -1 for Black."""
    def symbol(self) -> str:
        """The FEN letter: upper case for White, lower case for Black."""

@final
class Position:
    """A square (col, row) counted from 0, not tied to any board; str() gives its text, e.g. "e4"."""
    def __new__(cls, col: SupportsIndex, row: SupportsIndex) -> Position:
        """The square (col, row), both from 0."""
    def col(self) -> int:
        """The column, from 0 (file "a")."""
    def row(self) -> int:
        """The row, from 0 (rank "1")."""

@final
class GameOutcome:
    """The result of a finished game, as returned by Game.outcome(); equal by value, not hashable."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, value: object, /) -> bool:
        """Equal when both hold the same result."""
    def __ne__(self, value: object, /) -> bool:
        """Not equal when the results differ."""
    def winner(self) -> _Color | None:
        """1 when White won, -1 when Black won, None for a draw."""
    def encode_winner_absolute(self) -> float:
        """1.0 when White won, -1.0 when Black won, 0.0 for a draw."""
    def encode_winner_from_perspective(self, perspective: SupportsIndex) -> float:
        """encode_winner_absolute() for perspective 1, its negation for -1."""
    def is_draw(self) -> bool:
        """Whether the result is a draw."""
    def name(self) -> _OutcomeName:
        """The result's name: "white_win", "black_win", "stalemate", "insufficient_material", ..."""
