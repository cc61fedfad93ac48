"""murkle_rl.env: the PettingZoo AEC environment, checked by PettingZoo's own test functions and
against the murkle_chess.Game it plays."""

import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

pytest.importorskip("pettingzoo")

import murkle_chess as mc  # noqa: E402
import murkle_rl  # noqa: E402
from pettingzoo.test import api_test, render_test, seed_test  # noqa: E402

SIZES = [(8, 8), (6, 6), (16, 16)]
FOOLS_MATE = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"  # White is mated
# PettingZoo warns about dict observations unless the env is one of its own board games.
DICT_OBSERVATION_WARNINGS = ("Observation is not a NumPy array", "Observation space for each agent probably")


def play_random(env, plies, seed=0):
    """Steps ``plies`` legal random actions (fewer if the game ends); returns the actions."""
    env.reset(seed=seed)
    actions = []
    for _ in range(plies):
        obs, _, term, trunc, _ = env.last()
        if term or trunc:
            break
        actions.append(env.action_space(env.agent_selection).sample(obs["action_mask"]))
        env.step(actions[-1])
    return actions


@pytest.mark.parametrize("width,height", SIZES)
def test_pettingzoo_test_functions(width, height):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        api_test(murkle_rl.env(width, height), num_cycles=1000)
        seed_test(lambda: murkle_rl.env(width, height), num_cycles=500 if width * height <= 64 else 150)
        render_test(lambda render_mode=None: murkle_rl.env(width, height, render_mode=render_mode))
    unexpected = [str(w.message) for w in caught if not str(w.message).startswith(DICT_OBSERVATION_WARNINGS)]
    assert not unexpected


@pytest.mark.parametrize("width,height", [(8, 8), (5, 7), (12, 4)])
def test_observations_and_actions_follow_the_engine(width, height):
    env = murkle_rl.env(width, height)
    env.reset(seed=3)
    replay = mc.Game(width, height, murkle_rl.start_fen(width, height), (width, height) == (8, 8))
    for _ in range(60):
        game = env.unwrapped.game
        assert game.to_fen() == replay.to_fen()
        mover = env.agent_selection
        assert mover == ("player_0" if game.turn() == mc.WHITE else "player_1")
        obs, _, term, trunc, _ = env.last()
        if term or trunc:
            break
        flat, planes, h, w = game.encode_game_planes()
        assert obs["observation"].shape == (height, width, 105) and obs["observation"].dtype == np.float32
        np.testing.assert_array_equal(obs["observation"], np.array(flat, np.float32).reshape(planes, h, w).transpose(1, 2, 0))
        assert obs["action_mask"].dtype == np.int8
        np.testing.assert_array_equal(obs["action_mask"], murkle_rl.legal_action_mask(game).reshape(-1))

        # Each agent sees its own pieces in planes 0-5 and the opponent's in 6-11, its own
        # castling rights in 100-101; only the agent to move has legal actions.
        for agent, color in (("player_0", mc.WHITE), ("player_1", mc.BLACK)):
            seen = env.observe(agent)["observation"]
            pieces = np.zeros((height, width, 12), np.float32)
            for row in range(height):
                for col in range(width):
                    piece = game.get_piece(col, row)
                    if piece is not None:
                        side = 0 if piece.color() == color else 6
                        pieces[row, col, side + "pnbrqk".index(piece.symbol().lower())] = 1.0
            np.testing.assert_array_equal(seen[:, :, :12], pieces)
            assert seen[0, 0, 100] == game.has_kingside_castling_rights(color)
            assert seen[0, 0, 103] == game.has_queenside_castling_rights(-color)
            assert env.observe(agent)["action_mask"].any() == (agent == mover)

        action = env.action_space(mover).sample(obs["action_mask"])
        assert replay.make_move(murkle_rl.decode_action(replay, int(action)))
        env.step(action)


def test_a_game_ends_with_the_engines_result():
    # Scholar's mate: the winner gets +1, the loser -1, both are done, then removed.
    env = murkle_rl.env()
    env.reset()
    game = mc.Game.standard()
    for lan in ["e2e4", "e7e5", "d1h5", "b8c6", "f1c4", "g8f6", "h5f7"]:
        assert env.rewards == {"player_0": 0.0, "player_1": 0.0}
        move = game.move_from_lan(lan)
        env.step(murkle_rl.encode_action(game, move))
        game.make_move(move)
    assert env.terminations == {"player_0": True, "player_1": True}
    assert env.truncations == {"player_0": False, "player_1": False}
    assert env.rewards == {"player_0": 1.0, "player_1": -1.0}
    assert env.agent_selection == "player_1"
    seen = {}
    for agent in env.agent_iter():
        obs, reward, term, _, _ = env.last()
        assert term and not obs["action_mask"].any()
        seen[agent] = reward
        env.step(None)
    assert seen == {"player_0": 1.0, "player_1": -1.0} and env.agents == []


def test_ply_cap_truncates_and_fens_set_the_start():
    env = murkle_rl.env(10, 6, max_plies=5)
    assert len(play_random(env, 100)) == 5
    assert env.truncations == {"player_0": True, "player_1": True}
    assert env.terminations == {"player_0": False, "player_1": False}
    assert env.rewards == {"player_0": 0.0, "player_1": 0.0}
    assert env.unwrapped.plies == 5

    black_to_move = "4k3/8/8/8/8/8/4P3/4K3 b - - 0 1"
    env = murkle_rl.env(fen=black_to_move)
    env.reset()
    assert env.agent_selection == "player_1" and env.unwrapped.game.to_fen() == black_to_move

    env = murkle_rl.env(fen=FOOLS_MATE)  # decided before any move
    env.reset()
    assert env.terminations == {"player_0": True, "player_1": True}
    assert env.last()[1] == -1.0 and env.agent_selection == "player_0"


# Boards of one, two and three rows or columns, whose start positions need care.
@pytest.mark.parametrize("width,height", [(3, 2), (2, 3), (4, 1), (1, 4), (5, 2), (3, 3), (9, 2)])
def test_api_test_on_narrow_boards(width, height):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        api_test(murkle_rl.env(width, height), num_cycles=200)


def test_bad_input_is_refused_with_a_clear_error():
    with pytest.raises(ValueError, match="'human', 'ansi', 'rgb_array'"):
        murkle_rl.env(render_mode="svg")
    with pytest.raises(ValueError, match="Invalid FEN"):
        murkle_rl.env(fen="not a fen")
    for size in [(0, 8), (33, 33), (2, 33)]:
        with pytest.raises(ValueError, match="at least 1, at most 32 rows and at most 1024 squares"):
            murkle_rl.env(*size)
    with pytest.raises(ValueError, match="max_plies"):
        murkle_rl.env(max_plies=0)
    for size in [(1, 2), (2, 1), (1, 3), (3, 1), (2, 2)]:
        with pytest.raises(ValueError, match=f"a {size[0]}x{size[1]} board has no playable start position"):
            murkle_rl.env(*size)
    murkle_rl.env(2, 2, fen="k1/1K w - - 0 1").reset()  # a FEN of one's own is still taken

    env = murkle_rl.env(6, 6)
    play_random(env, 3)
    before = (env.unwrapped.game.to_fen(), env.agent_selection, env.unwrapped.plies, env.last()[0])
    mask = before[3]["action_mask"]
    illegal = int(np.flatnonzero(mask == 0)[0])
    for action, message in [(illegal, f"action {illegal} is not legal for player_1"),
                            (len(mask), "out of range"), (-1, "out of range"), (None, "needs an action")]:
        with pytest.raises(ValueError, match=message):
            env.step(action)
    with pytest.raises(TypeError):
        env.step(1.5)
    after = (env.unwrapped.game.to_fen(), env.agent_selection, env.unwrapped.plies, env.last()[0])
    assert after[:3] == before[:3]
    np.testing.assert_array_equal(after[3]["observation"], before[3]["observation"])
    np.testing.assert_array_equal(after[3]["action_mask"], mask)


def test_render_modes_draw_the_position(capsys):
    env = murkle_rl.env(render_mode="ansi")
    play_random(env, 6)
    text = env.render()
    assert text == str(env.unwrapped.game).split("\n", 1)[1]
    assert text.splitlines()[-1].split() == list("abcdefgh")

    human = murkle_rl.env(render_mode="human")
    human.reset()
    assert human.render() is None and "R N B Q K B N R" in capsys.readouterr().out

    # 12x10: 384 x 320 pixels, 32 per square; a square has more than its own colour exactly
    # when it holds a piece, whose foot (glyph pixel (12, 7), twice as large) is filled white
    # for White and black for Black.
    env = murkle_rl.env(12, 10, render_mode="rgb_array")
    play_random(env, 9)
    game = env.unwrapped.game
    if murkle_rl.drawing.can_rasterise():  # the picture of murkle_rl.svg, same shape every frame
        frame = env.render()
        np.testing.assert_array_equal(frame, murkle_rl.rgb_array(game, lastmove=True))
        play_random(env, 1)
        assert env.render().shape == frame.shape and frame.dtype == np.uint8
        game = env.unwrapped.game
    # without the svg extra: the plain picture of the planes
    from murkle_rl.pettingzoo_env import board_image

    image = board_image(murkle_rl.planes(game))
    assert image.shape == (320, 384, 3) and image.dtype == np.uint8
    for row in range(10):
        for col in range(12):
            tile = image[(9 - row) * 32 : (10 - row) * 32, col * 32 : (col + 1) * 32]
            colors = {tuple(p) for p in tile.reshape(-1, 3)}
            piece = game.get_piece(col, row)
            assert (len(colors) > 1) == (piece is not None)
            if piece is not None:
                fill = (250, 250, 250) if piece.color() == mc.WHITE else (25, 25, 25)
                assert tuple(tile[25, 15]) == fill


def test_murkle_rl_imports_without_pettingzoo():
    code = textwrap.dedent("""
        import sys
        sys.modules["pettingzoo"] = None
        import murkle_rl
        try:
            murkle_rl.env()
        except ModuleNotFoundError as e:
            print(e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "pip install 'murkle_chess[pettingzoo]'" in out
