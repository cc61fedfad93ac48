"""Pictures of boards: murkle_rl.svg and friends, read back through the XML they write."""

import io
import random
import xml.etree.ElementTree as ET

import pytest

import murkle_chess as mc
import murkle_rl as rl
from murkle_rl import drawing

NS = {"s": "http://www.w3.org/2000/svg"}
HREF = "{http://www.w3.org/1999/xlink}href"


def placed(root, width, height, flipped=False, coordinates=True):
    """{(col, row): piece letter} read from the <use> elements of a picture."""
    geo = drawing.geometry(width, height, flipped=flipped, coordinates=coordinates)
    out = {}
    for use in root.iter("{http://www.w3.org/2000/svg}use"):
        c = (int(use.get("x")) - geo["left"]) // geo["square"]
        r = int(use.get("y")) // geo["square"]
        col, row = (width - 1 - c, r) if flipped else (c, height - 1 - r)
        ident = use.get(HREF)[3:]  # "#m-wn"
        letter = ident[1].upper() if ident[0] == "w" else ident[1]
        assert (col, row) not in out
        out[(col, row)] = letter
    return out


def pieces_of(game):
    w, h = (game.width(), game.height())
    return {(c, r): p.symbol() for r in range(h) for c in range(w) if (p := game.get_piece(c, r)) is not None}


def random_game(width, height, plies, seed):
    game = mc.Game(width, height, rl.start_fen(width, height), width == height == 8)
    rng, played = random.Random(seed), []
    for _ in range(plies):
        moves = game.legal_moves()
        if not moves:
            break
        move = rng.choice(moves)
        game.make_move(move)
        played.append(move)
    return game, played


@pytest.mark.parametrize("width,height", [(8, 8), (10, 10), (5, 3), (32, 32), (1024, 1), (33, 31), (2, 1)])
def test_pieces_squares_and_labels_are_where_the_game_has_them(width, height):
    game, _ = random_game(width, height, 12, seed=width * 100 + height)
    for flipped in (False, True):
        text = rl.svg(game, flipped=flipped)
        assert text == rl.svg(game, flipped=flipped)  # deterministic
        root = ET.fromstring(text)
        assert placed(root, width, height, flipped) == pieces_of(game)
        defined = {g.get("id") for g in root.find("s:defs", NS).findall("s:g", NS)}
        assert defined == {u.get(HREF)[1:] for u in root.iter("{http://www.w3.org/2000/svg}use")}
        labels = [t.text for t in root.iter("{http://www.w3.org/2000/svg}text")]
        files = [chr(97 + c) if c < 26 else str(c) for c in range(width)]
        assert sorted(labels) == sorted([str(r + 1) for r in range(height)] + files)
        assert "<image" not in text and "<script" not in text
    # squares alternate and a1 is dark: the dark path holds exactly the squares with col + row even
    dark = next(p for p in ET.fromstring(rl.svg(game)).iter("{http://www.w3.org/2000/svg}path") if p.get("fill") == drawing.DARK)
    assert dark.get("d").count("z") == sum((c + r) % 2 == 0 for c in range(width) for r in range(height))


def test_every_kind_of_position_and_the_sizes_in_bytes():
    board = mc.Board(10, 2, "10/4k5")
    assert placed(ET.fromstring(rl.svg(board)), 10, 2) == {(4, 0): "k"}
    assert placed(ET.fromstring(rl.svg(mc.Board(1, 1, "K"))), 1, 1) == {(0, 0): "K"}
    start = pieces_of(mc.Game.standard())
    assert placed(ET.fromstring(rl.svg(mc.Game.standard().to_fen())), 8, 8) == start
    assert placed(ET.fromstring(rl.svg(("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR", 8, 8))), 8, 8) == start
    batch = rl.GameBatch(3, 6, 6, seed=1)
    batch.play_random(5) if hasattr(batch, "play_random") else None
    assert rl.svg((batch, 2)) == rl.svg(batch.game(2))
    with pytest.raises(TypeError, match="batch"):
        rl.svg(batch)
    with pytest.raises(TypeError):
        rl.svg(42)
    with pytest.raises(ValueError):
        rl.svg(("8/8 w - - 0 1", 8, 8))
    with pytest.raises(ValueError):
        rl.svg(("9/8/8/8/8/8/8/8", 8, 8))
    # small: shapes defined once, placed by reference
    assert len(rl.svg(mc.Game.standard())) < 8_000
    assert len(rl.svg(mc.Game(32, 32, rl.start_fen(32, 32), False))) < 25_000
    assert 'width="720"' in rl.svg(mc.Game(32, 32, rl.start_fen(32, 32), False))
    assert 'width="200"' in rl.svg(mc.Game.standard(), size=200)


def test_marks_last_move_check_arrows_and_squares():
    game = mc.Game.standard()
    for lan in ["e2e4", "f7f6", "d1h5"]:
        game.make_move(game.move_from_lan(lan))
    geo = drawing.geometry(8, 8)
    text = rl.svg(game, lastmove=True, arrows=["g1f3", ("a2", "a4", "#00f")], squares={"d4": "blue", (0, 0): "red"})
    root = ET.fromstring(text)
    paths = {p.get("fill"): p.get("d") for p in root.iter("{http://www.w3.org/2000/svg}path")}
    # d1 (col 3, row 0) and h5 (col 7, row 4)
    assert paths[drawing.LASTMOVE] == f"M{20 + 3 * 45} {7 * 45}h45v45h-45zM{20 + 7 * 45} {3 * 45}h45v45h-45z"
    assert paths["blue"] == f"M{20 + 3 * 45} {4 * 45}h45v45h-45z" and paths["red"] == f"M20 {7 * 45}h45v45h-45z"
    assert "#00f" in paths and drawing.ARROW in paths
    circle = root.find("s:circle", NS)  # the black king on e8 is in check
    assert (float(circle.get("cx")), float(circle.get("cy"))) == (geo["left"] + 4.5 * 45, 22.5)
    assert root.find("s:circle", NS) is not None and "m-check" in text
    assert "m-check" not in rl.svg(game, check=False) and "m-check" not in rl.svg(mc.Game.standard())
    # wide boards: square texts from column 26 on, and LAN that runs them together
    wide = mc.Game(32, 32, rl.start_fen(32, 32), False)
    assert drawing._move_squares("26-127-2", 32, 32) == ((26, 0), (27, 1))
    assert drawing._square("31-32", 32, 32) == (31, 31) and drawing._square(mc.Position(3, 2), 8, 8) == (3, 2)
    rl.svg(wide, arrows=["26-127-2"], squares=["26-1"], lastmove=wide.legal_moves()[0])
    for bad in (["i1"], ["a9"], ["e"], ["32-1"]):
        with pytest.raises(ValueError):
            rl.svg(mc.Game.standard(), squares=bad)
    with pytest.raises(ValueError):
        rl.svg(mc.Game.standard(), arrows=["e2e9"])
    with pytest.raises(TypeError):
        rl.svg(mc.Game.standard(), arrows=[3.5])


def test_history_and_animation_follow_the_game():
    # castling, en passant and a promotion in one 8x8 game
    game = mc.Game.standard()
    lans = "e2e4 g8f6 e4e5 d7d5 e5d6 e7e6 g1f3 f8e7 f1c4 e8g8 e1g1 a7a6 d6c7 a6a5 c7b8q".split()
    for lan in lans:
        assert game.make_move(game.move_from_lan(lan))
    history = drawing.game_history(game)
    assert [str(m) for _, m in history[1:]] == lans and history[0][1] is None
    assert history[-1][0].to_fen() == game.to_fen() and history[0][0].to_fen() == mc.Game.standard().to_fen()
    wide, played = random_game(12, 10, 40, seed=3)
    assert [m for _, m in drawing.game_history(wide)[1:]] == played

    text = rl.svg_animation(game, seconds_per_ply=0.5)
    root = ET.fromstring(text)
    frames = [g for g in root.findall("s:g", NS) if g.find("s:animate", NS) is not None]
    assert len(frames) == len(lans) + 1
    assert frames[-1].find("s:animate", NS).get("dur") == f"{(len(lans) + 1) * 0.5:g}s"
    for frame, (position, _) in zip(frames, history):
        assert placed(frame, 8, 8) == pieces_of(position)
    assert rl.svg_animation((mc.Game.standard(), lans), seconds_per_ply=0.5) == text
    with pytest.raises(ValueError, match="move 2"):
        rl.svg_animation((mc.Game.standard().to_fen(), ["e2e4", "e2e4"]))
    with pytest.raises(ValueError):
        rl.svg_animation(game, seconds_per_ply=0)


def test_view_for_notebooks():
    v = rl.view(mc.Game.standard(), flipped=True)
    assert v._repr_svg_() == rl.svg(mc.Game.standard(), flipped=True) == str(v)
    assert v._repr_html_().startswith("<div") and v.svg in v._repr_html_()


@pytest.mark.skipif(not drawing.can_rasterise(), reason="needs the svg extra (resvg-py and Pillow)")
def test_pictures_as_arrays_png_and_gif(tmp_path):
    from PIL import Image

    game, _ = random_game(12, 10, 9, seed=5)
    image = rl.rgb_array(game, coordinates=False, size=12 * 32)
    assert image.shape == (320, 384, 3) and image.dtype.name == "uint8"
    for (col, row), letter in pieces_of(game).items():
        # white pieces are the only white pixels; black ones fill a good part of their square
        tile = image[(9 - row) * 32 : (10 - row) * 32, col * 32 : (col + 1) * 32].mean(axis=2)
        white, black = (tile > 240).mean(), (tile < 40).mean()
        assert white > 0.03 if letter.isupper() else (white == 0 and black > 0.1), (col, row, letter)
    empty = next((c, r) for r in range(10) for c in range(12) if (c, r) not in pieces_of(game))
    tile = image[(9 - empty[1]) * 32 + 4 : (10 - empty[1]) * 32 - 4, empty[0] * 32 + 4 : (empty[0] + 1) * 32 - 4]
    assert len({tuple(p) for p in tile.reshape(-1, 3)}) == 1
    assert rl.png(game).startswith(b"\x89PNG")
    rl.view(game).save(tmp_path / "board.png")
    assert Image.open(tmp_path / "board.png").size == Image.open(io.BytesIO(rl.png(game))).size

    data = rl.gif_animation(game, tmp_path / "game.gif", seconds_per_ply=0.25, size=120)
    with Image.open(io.BytesIO(data)) as gif:
        assert gif.n_frames == 10 and gif.info["duration"] == 250 and gif.info["loop"] == 0
    assert (tmp_path / "game.gif").read_bytes() == data
