"""murkle_rl.gym_env: the Gymnasium environments, checked by Gymnasium's own checker, against
Gymnasium's SyncVectorEnv over single environments, and against the murkle_chess.Game they play."""

import os
import shlex
import sys
import warnings

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")

import murkle_chess as mc  # noqa: E402
import murkle_rl  # noqa: E402
from gymnasium.utils.env_checker import check_env  # noqa: E402
from gymnasium.vector import AutoresetMode, SyncVectorEnv  # noqa: E402
from murkle_rl.gym_env import ENV_ID, ChessEnv, ChessVectorEnv  # noqa: E402
from murkle_rl.sides import OTHER_SIDE  # noqa: E402
from murkle_rl.zero.match import EngineError  # noqa: E402

TINY = os.path.join(os.path.dirname(__file__), "uci_tiny_engine.py")


def tiny(mode):
    return "uci:" + shlex.join([sys.executable, TINY, mode])


def varied_policy(game):
    """A deterministic opponent that does not always play the same kind of move."""
    moves = game.legal_moves()
    return moves[len(game.to_fen()) % len(moves)]


def engine_view(game, agent_white):
    """The planes and flat mask of ``game`` by murkle_chess, the planes from the agent's side."""
    flat, n, h, w = game.encode_game_planes()
    planes = np.array(flat, np.float32).reshape(n, h, w)
    if (game.turn() == mc.WHITE) != agent_white:
        planes = planes[OTHER_SIDE]
    return planes, murkle_rl.legal_action_mask(game).reshape(-1)


@pytest.mark.parametrize("width,height,color", [(5, 5, "white"), (6, 6, "random"), (8, 8, "white"), (3, 7, "black")])
def test_gymnasium_check_env(width, height, color):
    env = gym.make(ENV_ID, width=width, height=height, agent_color=color, render_mode="ansi").unwrapped
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # every complaint of the checker fails the test
        check_env(env)
    env.close()


@pytest.mark.parametrize("width,height,color,opponent,max_plies", [
    (6, 6, "white", "random", None), (6, 6, "black", "random", None), (5, 4, "random", "greedy", None),
    (8, 8, "random", "random", 30),
])
def test_single_env_equals_the_engine_and_scores_from_the_agent_side(width, height, color, opponent, max_plies):
    env = ChessEnv(width, height, opponent, color, max_plies=max_plies)
    rng = np.random.default_rng(0)
    ends = set()
    for episode in range(6):
        obs, info = env.reset(seed=episode)
        agent_white = info["agent_color"] == "white"
        game = murkle_rl.zero.rules.new_game(width, height)
        if not agent_white:
            game.make_move(game.move_from_lan(info["opponent_move"]))
        while True:
            planes, mask = engine_view(game, agent_white)
            np.testing.assert_array_equal(obs, planes)
            np.testing.assert_array_equal(info["action_mask"], mask)
            np.testing.assert_array_equal(env.action_masks(), mask)
            if not mask.any():  # the opponent's first move ended the game: the next step says so
                assert game.is_over() and info["outcome"] == game.outcome().name()
                obs, reward, terminated, truncated, info = env.step(0)
                break
            action = int(rng.choice(np.flatnonzero(mask)))
            obs, reward, terminated, truncated, info = env.step(action)
            game.make_move(murkle_rl.decode_action(game, action))
            if info["opponent_move"] is not None:
                game.make_move(game.move_from_lan(info["opponent_move"]))
            if terminated or truncated:
                break
            assert reward == 0.0 and info["outcome"] is None
        planes, _ = engine_view(game, agent_white)
        np.testing.assert_array_equal(obs, planes)
        assert not info["action_mask"].any() and not env.action_masks().any()
        if truncated:
            assert info["outcome"] == "max_plies" and reward == 0.0 and not game.is_over()
            ends.add("max_plies")
        else:
            expected = game.reward_absolute() * (1 if agent_white else -1)
            assert reward == expected and info["outcome"] == game.outcome().name()
            ends.add(reward)
        with pytest.raises(RuntimeError, match="reset"):
            env.step(0)
    assert ends == ({"max_plies"} if max_plies else ends - {"max_plies"}) and len(ends) >= 1


@pytest.mark.parametrize("kwargs,match", [
    ({"opponent": "stockfish"}, "an opponent is"), ({"agent_color": "red"}, "agent_color"),
    ({"illegal_action": "ignore"}, "illegal_action"), ({"render_mode": "human"}, "render_mode"),
    ({"width": 2, "height": 2}, "no playable start"), ({"max_plies": 0}, "max_plies"),
    ({"opponent": "uci:no-such-engine", "uci_nodes": None}, "uci_nodes or uci_movetime"),
])
def test_refused_arguments(kwargs, match):
    with pytest.raises(ValueError, match=match):
        ChessEnv(**{"width": 5, "height": 5, **kwargs})


@pytest.mark.parametrize("mode", ["penalty", "lose", "raise"])
def test_illegal_actions(mode):
    env = ChessEnv(6, 6, agent_color="white", illegal_action=mode, illegal_reward=-0.5)
    obs, info = env.reset(seed=1)
    fen = env.game.to_fen()
    illegal = int(np.flatnonzero(info["action_mask"] == 0)[0])
    if mode == "raise":
        with pytest.raises(ValueError, match="not legal"):
            env.step(illegal)
        assert env.game.to_fen() == fen
        return
    after, reward, terminated, truncated, info = env.step(illegal)
    assert reward == -0.5 and info["illegal_action"] and not truncated and info["opponent_move"] is None
    assert env.game.to_fen() == fen and (after == obs).all()
    if mode == "lose":
        assert terminated and info["outcome"] == "illegal_action" and not info["action_mask"].any()
    else:  # the agent is still to move, and a legal action plays
        assert not terminated and info["action_mask"].any()
        assert not env.step(int(np.flatnonzero(info["action_mask"])[0]))[4]["illegal_action"]


def test_greedy_opponent_takes_the_queen():
    # After any king move, Black's rook takes the queen on d1 rather than the pawn on h5.
    env = ChessEnv(8, 8, "greedy", "white", fen="7k/8/8/3r3P/8/8/8/K2Q4 w - - 0 1")
    _, info = env.reset(seed=0)
    game = env.game
    king_move = next(m for m in game.legal_moves() if m.to_lan().startswith("a1"))
    _, _, _, _, info = env.step(murkle_rl.encode_action(game, king_move))
    assert info["opponent_move"] == "d5d1"


def test_callable_opponent_and_render_modes():
    env = ChessEnv(5, 5, lambda game: game.legal_moves()[-1], "black", render_mode="rgb_array")
    _, info = env.reset(seed=0)
    start = murkle_rl.zero.rules.new_game(5, 5)
    assert info["opponent_move"] == start.legal_moves()[-1].to_lan()
    image = env.render()
    assert image.dtype == np.uint8 and image.ndim == 3 and image.shape[2] == 3
    ansi = ChessEnv(5, 5, render_mode="ansi")
    ansi.reset(seed=0)
    assert ansi.render() == str(start).split("\n", 1)[1]


def test_uci_opponent():
    env = ChessEnv(5, 5, tiny("first"), "black", max_plies=12)
    try:
        _, info = env.reset(seed=0)
        game = murkle_rl.zero.rules.new_game(5, 5)
        for _ in range(3):  # the tiny engine plays the first legal move murkle_chess lists
            expected = game.legal_moves()[0]
            assert info["opponent_move"] == expected.to_lan()
            game.make_move(expected)
            action = int(np.flatnonzero(info["action_mask"])[-1])
            game.make_move(murkle_rl.decode_action(game, action))
            _, _, terminated, truncated, info = env.step(action)
            assert not (terminated or truncated)
    finally:
        env.close()
    bad = ChessEnv(5, 5, tiny("illegal"), "white")
    try:
        _, info = bad.reset(seed=0)
        with pytest.raises(EngineError, match="not legal"):
            bad.step(int(np.flatnonzero(info["action_mask"])[0]))
    finally:
        bad.close()


def mates_at_once(game):
    # On 5x4, White's e2d3 mates at the first move: an episode then starts with the game over.
    moves = game.legal_moves()
    return next((m for m in moves if m.to_lan() == "e2d3" and game.fullmove_number() == 1), varied_policy(game))


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
@pytest.mark.parametrize("color,opponent", [("white", varied_policy), ("black", varied_policy),
                                            ("black", mates_at_once)])
def test_vector_env_equals_gymnasiums_sync_vector_env_of_single_envs(mode, color, opponent):
    # Gymnasium's own vector env over ChessEnvs is the reference for autoreset, rewards, ends and
    # observations; a deterministic opponent makes the two play the same games.
    n, kw = 6, dict(width=5, height=4, opponent=opponent, agent_color=color, max_plies=14)
    ours = ChessVectorEnv(n, **kw, autoreset_mode=mode, threads=2)
    reference = SyncVectorEnv([lambda: ChessEnv(**kw) for _ in range(n)], autoreset_mode=mode)
    assert ours.single_observation_space == reference.single_observation_space
    assert ours.observation_space == reference.observation_space
    assert ours.action_space == reference.action_space
    assert ours.metadata["autoreset_mode"] == mode
    (obs, info), (ref_obs, ref_info) = ours.reset(seed=0), reference.reset(seed=0)
    rng = np.random.default_rng(1)
    ends = {"terminated": 0, "truncated": 0}
    for _ in range(40):
        np.testing.assert_array_equal(obs, ref_obs)
        np.testing.assert_array_equal(info["action_mask"], ref_info["action_mask"])
        np.testing.assert_array_equal(ours.action_masks(), ref_info["action_mask"].astype(bool))
        actions = np.array([rng.choice(np.flatnonzero(m)) if m.any() else 0 for m in info["action_mask"]])
        obs, rewards, terminated, truncated, info = ours.step(actions)
        ref_obs, ref_rewards, ref_terminated, ref_truncated, ref_info = reference.step(actions)
        np.testing.assert_array_equal(rewards, ref_rewards)
        np.testing.assert_array_equal(terminated, ref_terminated)
        np.testing.assert_array_equal(truncated, ref_truncated)
        if mode == AutoresetMode.SAME_STEP:
            np.testing.assert_array_equal(info.get("_final_obs", np.zeros(n, bool)),
                                          ref_info.get("_final_obs", np.zeros(n, bool)))
            for i in np.flatnonzero(terminated | truncated):
                np.testing.assert_array_equal(info["final_obs"][i], ref_info["final_obs"][i])
        ends["terminated"] += terminated.sum()
        ends["truncated"] += truncated.sum()
    assert ends["terminated"] and (ends["truncated"] or opponent is mates_at_once)
    ours.close()
    reference.close()


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
def test_vector_self_play_equals_the_engine(mode):
    n = 5
    env = ChessVectorEnv(n, 5, 5, self_play=True, max_plies=14, autoreset_mode=mode, threads=1)
    obs, info = env.reset(seed=2)
    games = [murkle_rl.zero.rules.new_game(5, 5) for _ in range(n)]
    restart = np.zeros(n, bool)
    plies = np.zeros(n, int)
    rng = np.random.default_rng(0)
    finished = 0
    for _ in range(40):
        for i, game in enumerate(games):
            if not restart[i]:
                planes, mask = engine_view(game, game.turn() == mc.WHITE)  # the side to move's view
                np.testing.assert_array_equal(obs[i], planes)
                np.testing.assert_array_equal(info["action_mask"][i], mask)
        actions = np.array([rng.choice(np.flatnonzero(m)) if m.any() else 0 for m in info["action_mask"]])
        obs, rewards, terminated, truncated, info = env.step(actions)
        for i in range(n):
            if restart[i]:  # NEXT_STEP: this step started the next game and ignored the action
                assert rewards[i] == 0 and not terminated[i] and not truncated[i]
                games[i], restart[i], plies[i] = murkle_rl.zero.rules.new_game(5, 5), False, 0
                continue
            mover = games[i].turn()
            games[i].make_move(murkle_rl.decode_action(games[i], int(actions[i])))
            assert terminated[i] == games[i].is_over()
            plies[i] += 1
            assert truncated[i] == (not games[i].is_over() and plies[i] >= 14)
            assert rewards[i] == (games[i].reward_absolute() * mover if terminated[i] else 0.0)
            if terminated[i] or truncated[i]:
                finished += 1
                if mode == AutoresetMode.SAME_STEP:
                    planes, _ = engine_view(games[i], games[i].turn() == mc.WHITE)
                    np.testing.assert_array_equal(info["final_obs"][i], planes)
                    games[i], plies[i] = murkle_rl.zero.rules.new_game(5, 5), 0
                else:
                    restart[i] = True
    assert finished


def test_vector_env_is_deterministic_under_a_seed_and_returns_fresh_arrays():
    def run(seed):
        env = ChessVectorEnv(4, 6, 6, "greedy", "random", max_plies=20, threads=1)
        obs, info = env.reset(seed=seed)
        out = [obs, info["agent_white"]]
        for _ in range(25):
            masks = info["action_mask"]
            obs, rewards, terminated, truncated, info = env.step(masks.argmax(axis=1))
            out += [obs, rewards, terminated, truncated]
        return out

    first, again, other = run(7), run(7), run(8)
    assert all(np.array_equal(a, b) for a, b in zip(first, again))
    assert not all(np.array_equal(a, b) for a, b in zip(first, other))
    assert not any(np.shares_memory(a, b) for a, b in zip(first[::4], first[4::4]))


def test_vector_env_refuses_an_illegal_action_and_changes_nothing():
    env = ChessVectorEnv(3, 6, 6, agent_color="white", threads=1)
    obs, info = env.reset(seed=0)
    fens = env._batch.fens()
    actions = info["action_mask"].argmax(axis=1)
    actions[1] = int(np.flatnonzero(info["action_mask"][1] == 0)[0])
    with pytest.raises(ValueError, match="game 1"):
        env.step(actions)
    assert env._batch.fens() == fens


def test_registration_and_lazy_export(monkeypatch):
    assert murkle_rl.ChessEnv is ChessEnv and murkle_rl.ChessVectorEnv is ChessVectorEnv
    env = gym.make(ENV_ID, width=6, height=6)
    assert isinstance(env.unwrapped, ChessEnv) and env.observation_space.shape == (105, 6, 6)
    vec = gym.make_vec(ENV_ID, num_envs=3, vectorization_mode="vector_entry_point", width=6, height=6)
    assert isinstance(vec.unwrapped, ChessVectorEnv) and vec.observation_space.shape == (3, 105, 6, 6)
    monkeypatch.setitem(sys.modules, "gymnasium", None)
    monkeypatch.delitem(sys.modules, "murkle_rl.gym_env")
    monkeypatch.delattr(murkle_rl, "gym_env")
    with pytest.raises(ModuleNotFoundError, match="needs Gymnasium"):
        murkle_rl.ChessEnv
    with pytest.raises(AttributeError):
        murkle_rl.NoSuchThing
