"""Fixed opponents for the Gymnasium environments: each picks the moves of a GameBatch's games.

An opponent answers ``moves(batch, select, rng)`` with a full action (int64) for every game
where ``select`` is True and a legal move exists; the other entries are not read. Four kinds:

- ``"random"``: a legal move at random, from each game's own stream of the batch;
- ``"greedy"``: takes the most valuable piece it can, else a move at random
  (:func:`murkle_rl.zero.evaluate.greedy_mover`);
- a callable ``policy(game) -> move``: given a copy of the game (a ``murkle_chess.Game``) it
  returns a ``murkle_chess.Move`` or an int full action;
- ``"uci:COMMAND"``: a UCI engine started as COMMAND (:class:`murkle_rl.zero.match.UciEngine`),
  searching ``nodes`` nodes or ``movetime`` milliseconds a move; it is told the board size as a
  match tells it, and sees each position as a FEN.

Nothing here imports PyTorch or Gymnasium.
"""

from __future__ import annotations

import shutil
import tempfile
from typing import Any, Callable, Protocol, Union

import numpy as np
from numpy.typing import NDArray

import murkle_chess

from ._core import GameBatch, encode_action

__all__ = ["Opponent", "OpponentChoice", "make_opponent"]

Policy = Callable[[murkle_chess.Game], Union[murkle_chess.Move, int]]
OpponentChoice = Union[str, Policy]


class Opponent(Protocol):
    """What the environments ask of an opponent."""

    def moves(self, batch: GameBatch, select: NDArray[np.bool_], rng: np.random.Generator) -> NDArray[np.int64]:
        """Full actions, int64 (n,), for the selected games of ``batch`` that have a legal move."""
        ...

    def close(self) -> None:
        """Releases what the opponent holds (an engine process)."""
        ...


class RandomOpponent:
    """A legal move at random."""

    def moves(self, batch: GameBatch, select: NDArray[np.bool_], rng: np.random.Generator) -> NDArray[np.int64]:
        return batch.random_actions()

    def close(self) -> None:
        pass


class GreedyOpponent:
    """The most valuable capture, else a move at random."""

    def moves(self, batch: GameBatch, select: NDArray[np.bool_], rng: np.random.Generator) -> NDArray[np.int64]:
        from .zero.evaluate import greedy_mover

        return np.asarray(greedy_mover(batch, rng), np.int64)

    def close(self) -> None:
        pass


class OneGameAtATime:
    """An opponent asked one position at a time: ``move(game)`` gives the full action of each
    selected game not over."""

    def moves(self, batch: GameBatch, select: NDArray[np.bool_], rng: np.random.Generator) -> NDArray[np.int64]:
        actions = np.full(batch.n, -1, np.int64)
        for i in np.flatnonzero(select):
            game = batch.game(int(i))
            if not game.is_over():
                actions[i] = self.move(game)
        return actions

    def move(self, game: murkle_chess.Game) -> int:
        raise NotImplementedError

    def close(self) -> None:
        pass


class PolicyOpponent(OneGameAtATime):
    """A callable that maps a game to its move."""

    def __init__(self, policy: Policy) -> None:
        self.policy = policy

    def move(self, game: murkle_chess.Game) -> int:
        move = self.policy(game)
        return encode_action(game, move) if isinstance(move, murkle_chess.Move) else int(move)


class UciOpponent(OneGameAtATime):
    """A UCI engine in a subprocess."""

    def __init__(self, command: str, width: int, height: int, nodes: int | None, movetime: int | None,
                 timeout: float = 30.0) -> None:
        from .zero.match import UciEngine, prepare_board

        if nodes is None and movetime is None:
            raise ValueError("a UCI opponent needs uci_nodes or uci_movetime")
        self.nodes, self.movetime = nodes, movetime
        self.workdir = tempfile.mkdtemp(prefix="murkle-uci-")  # where a variant file for the engine goes
        try:
            self.engine: Any = UciEngine(command, timeout=timeout)
            try:
                prepare_board(self.engine, width, height, self.workdir)
            except BaseException:
                self.engine.close()
                raise
        except BaseException:
            shutil.rmtree(self.workdir, ignore_errors=True)
            raise

    def move(self, game: murkle_chess.Game) -> int:
        from .zero.match import EngineError

        fen = game.to_fen()
        lan = self.engine.bestmove(fen, [], nodes=self.nodes, movetime=self.movetime)
        legal = {m.to_lan(): m for m in game.legal_moves()}
        if lan not in legal:
            raise EngineError(f"{self.engine.name} played {lan or 'no move'}, which is not legal in {fen}")
        return encode_action(game, legal[lan])

    def close(self) -> None:
        self.engine.close()
        shutil.rmtree(self.workdir, ignore_errors=True)


def make_opponent(choice: OpponentChoice, width: int, height: int, nodes: int | None = 100,
                  movetime: int | None = None) -> Opponent:
    """The opponent that ``choice`` names: "random", "greedy", "uci:COMMAND" or a callable policy
    (see the module's docstring). ``nodes`` and ``movetime`` limit a UCI engine's search
    (movetime, when given, wins). ValueError for anything else."""
    if callable(choice):
        return PolicyOpponent(choice)
    if choice == "random":
        return RandomOpponent()
    if choice == "greedy":
        return GreedyOpponent()
    if isinstance(choice, str) and choice.startswith("uci:") and choice[4:].strip():
        return UciOpponent(choice[4:].strip(), width, height, None if movetime is not None else nodes, movetime)
    raise ValueError(f'an opponent is "random", "greedy", "uci:COMMAND" or a callable game -> move, not {choice!r}')
