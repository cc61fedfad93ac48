"""Random interleavings of play, take-back, clone, square edits, FEN round trips and queries on
random board sizes, each state checked against a replay of the same events from the start FEN.
"""
import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import murkle_chess as mc
from chess_util import fen, placement

SIZES = st.one_of(
    st.tuples(st.integers(1, 10), st.integers(1, 10)).filter(lambda s: s[0] * s[1] >= 2),
    st.sampled_from([(8, 8), (16, 2), (27, 3), (2, 32), (32, 32), (33, 31), (1024, 1)]),
)
LETTERS = "pnbrqkPNBRQK"


@st.composite
def start_positions(draw):
    """Width, height, castling flag and a FEN with one king of each colour and a few pieces."""
    width, height = draw(SIZES)
    squares = [(c, r) for r in range(height) for c in range(width)]
    chosen = draw(st.lists(st.sampled_from(squares), min_size=2, max_size=min(len(squares), 12), unique=True))
    pieces = {chosen[0]: "K", chosen[1]: "k"}
    for square in chosen[2:]:
        pieces[square] = draw(st.sampled_from(LETTERS[:5] + LETTERS[6:11]))
    text = fen(placement(width, height, pieces), draw(st.sampled_from("wb")), draw(st.sampled_from(["-", "KQkq"])))
    return width, height, draw(st.booleans()), text


def piece_of(letter):
    return None if letter is None else mc.Piece(letter, 1 if letter.isupper() else -1)


def lowest_king(g, color):
    for row in range(g.height()):
        for col in range(g.width()):
            p = g.get_piece(col, row)
            if p is not None and p.piece_type() == "king" and p.color() == color:
                return col, row
    return None


def square(position):
    """Pieces and positions compare by identity; their values are compared instead."""
    return None if position is None else (position.col(), position.row())


def symbol(piece):
    return None if piece is None else piece.symbol()


def summary(g):
    return (g.to_fen(), hash(g), g.turn(), g.halfmove_clock(), g.fullmove_number(), square(g.en_passant_square()),
            g.legal_moves(), g.is_check(), g.outcome())


class GameMachine(RuleBasedStateMachine):
    """The model is the start FEN and the events since: moves made and squares edited. Taking
    back pops the last event, which must be a move: what a take-back across a later edit
    brings back depends on the edit, and is left out here."""

    @initialize(start=start_positions())
    def create(self, start):
        self.width, self.height, self.castling, self.start = start
        self.game = mc.Game(self.width, self.height, self.start, self.castling)
        self.events = []
        # Cached king squares: the lowest king of each colour at creation, then moved by
        # every king move and by nothing else; one entry per event.
        self.kings = [{c: lowest_king(self.game, c) for c in (1, -1)}]

    def replay(self):
        g = mc.Game(self.width, self.height, self.start, self.castling)
        for kind, *args in self.events:
            if kind == "move":
                assert g.make_move(args[0])
            else:
                g.set_piece(*args)
        return g

    def record_move(self, move):
        piece = self.game.get_piece(*move.src_square())
        kings = dict(self.kings[-1])
        if piece.piece_type() == "king":
            kings[piece.color()] = tuple(move.dst_square())
        return kings

    # --- play -----------------------------------------------------------------------------

    @rule(data=st.data())
    def play_legal_move(self, data):
        moves = self.game.legal_moves()
        if not moves:
            return
        move = data.draw(st.sampled_from(moves))
        kings = self.record_move(move)
        assert self.game.make_move(move)
        self.events.append(("move", move))
        self.kings.append(kings)

    @rule(data=st.data())
    def play_action(self, data):
        actions = self.game.legal_action_indices()
        if not actions:
            return
        action = data.draw(st.sampled_from(actions))
        move = self.game.decode_action(action)
        assert self.game.is_legal_move(move) and move.encode(self.width, self.height) == action
        kings = self.record_move(move)
        assert self.game.apply_action(action)
        self.events.append(("move", move))
        self.kings.append(kings)

    @rule(src=st.tuples(st.integers(0, 40), st.integers(0, 40)), dst=st.tuples(st.integers(0, 40), st.integers(0, 40)))
    def play_refused_move(self, src, dst):
        move = mc.Move.from_rowcol(*src, *dst)
        if self.game.is_legal_move(move):
            return
        before = summary(self.game)
        assert not self.game.make_move(move)
        assert summary(self.game) == before

    @precondition(lambda self: not self.events or self.events[-1][0] == "move")
    @rule()
    def take_back(self):
        assert self.game.unmake_move() == bool(self.events)
        if self.events:
            self.events.pop()
            self.kings.pop()

    # --- edits and copies -----------------------------------------------------------------

    @rule(col=st.integers(0, 40), row=st.integers(0, 40), letter=st.sampled_from([None, *LETTERS]))
    def edit_square(self, col, row, letter):
        self.game.set_piece(col, row, piece_of(letter))
        if col < self.width and row < self.height:
            self.events.append(("edit", col, row, piece_of(letter)))
            self.kings.append(self.kings[-1])
            assert symbol(self.game.get_piece(col, row)) == letter

    @rule(switch=st.booleans())
    def clone(self, switch):
        copy = self.game.clone()
        assert summary(copy) == summary(self.game)
        if switch:  # go on with the copy; the old game is left behind
            self.game = copy
            return
        before = summary(self.game)
        if copy.legal_moves():
            copy.make_move(copy.legal_moves()[0])
        copy.set_piece(0, 0, None)
        assert summary(self.game) == before

    # --- FEN round trip -------------------------------------------------------------------

    @rule()
    def fen_round_trip(self):
        text = self.game.to_fen()
        white, black = lowest_king(self.game, 1), lowest_king(self.game, -1)
        if white is None or black is None:
            colour = "white" if white is None else "black"
            try:
                mc.Game(self.width, self.height, text, self.castling)
            except ValueError as e:
                assert str(e) == f"No {colour} king found in FEN position"
            else:
                raise AssertionError("a position without a king was read")
            return
        back = mc.Game(self.width, self.height, text, self.castling)
        assert back.to_fen().split(" ")[:3] == text.split(" ")[:3]
        assert back.to_fen().split(" ")[4:] == text.split(" ")[4:]
        # The reader caches the lowest king of each colour; where the game's caches are the
        # same, the read game is the same game up to its history.
        if self.kings[-1] == {1: white, -1: black}:
            assert back.to_fen() == text
            # Turn, clocks, legal moves, check and outcome; a stored en-passant square that
            # no pawn can use is not written.
            kept = [2, 3, 4, 6, 7, 8]
            assert [summary(back)[k] for k in kept] == [summary(self.game)[k] for k in kept]
            if self.game.en_passant_square() is None or self.game.has_legal_en_passant():
                assert hash(back) == hash(self.game)

    # --- the game is its replay -----------------------------------------------------------

    @invariant()
    def matches_replay(self):
        g = self.replay()
        assert summary(self.game) == summary(g)
        if self.width * self.height <= 256:
            assert self.game.encode_game_planes() == g.encode_game_planes()

    @invariant()
    def queries_agree(self):
        g = self.game
        legal = g.legal_moves()
        assert g.is_checkmate() == (g.is_check() and not legal)
        assert g.is_stalemate() == (not g.is_check() and not legal)
        assert g.is_over() == (g.outcome() is not None)
        pseudo = g.psuedo_legal_moves()
        assert all(m in pseudo and g.is_legal_move(m) for m in legal)
        # A plane names the first legal move that has it.
        planes = [(m.encode(self.width, self.height), m) for m in legal]
        assert g.legal_action_indices() == [p for p, _ in planes if p is not None]
        first = {}
        for p, m in planes:
            if p is not None:
                first.setdefault(p, m)
        assert all(g.decode_action(p) == m for p, m in first.items())

TestGameMachine = GameMachine.TestCase
TestGameMachine.settings = settings(max_examples=30, stateful_step_count=25, deadline=None,
                                    suppress_health_check=[HealthCheck.too_slow])
