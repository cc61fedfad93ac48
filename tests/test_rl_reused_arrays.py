"""Observations of a batch must equal the single-game helpers' ply after ply, in arrays that
already hold something (the previous ply's, another batch's, or garbage), whatever happened to
the games in between: the batch keeps each game's recent boards from ply to ply and adds one
board per move, so a reset, restart, take-back or run of moves it missed would show here."""
import numpy as np
import pytest

import murkle_rl as rl

NETWORK_PLANES = list(range(12)) + list(range(96, 105))

# (width, height, planes, repetitions): areas that are and are not whole 16-square blocks,
# one-row boards, a two-word board, history and selections with attack planes.
CASES = [
    (8, 8, None, False),
    (5, 3, None, False),
    (7, 1, None, True),
    (10, 10, None, False),
    (9, 8, NETWORK_PLANES, False),
    (6, 6, [104, 3, 50, 97, 110, 120, 0, 96], True),
]
IDS = [f"{w}x{h}-{'all' if p is None else len(p)}{'-rep' if r else ''}" for w, h, p, r in CASES]


def garbage(shape, dtype, rng):
    """Bytes no observation holds: NaN, -0.0 and 7.0 for floats, bytes 2 and 255 for bools."""
    if dtype == np.float32:
        return rng.choice(np.array([np.nan, -0.0, 7.0, 1.0, 0.0], np.float32), size=shape)
    return rng.choice(np.array([0, 1, 2, 255], np.uint8), size=shape).view(np.bool_)


def expected(batch, takes_action):
    """Planes and mask of every game from the one-game helpers, into fresh arrays. They know no
    attack planes and count no repetitions: those rows come from the batch into fresh arrays."""
    games = [batch.game(i) for i in range(len(batch))]
    planes = batch.planes(out=np.zeros((len(batch), len(batch.plane_indices), batch.height, batch.width), np.float32))
    engine = rl.planes(games)
    for row, plane in enumerate(batch.plane_indices):
        if plane < 105 and not (batch.repetitions and plane in (96, 97)):
            planes[:, row] = engine[:, plane]
    mask = rl.legal_mask(games)
    mask[~takes_action] = False
    bits, scalars = batch.packed_planes()
    engine_bits, engine_scalars = rl.packed_planes(games)
    for row, plane in enumerate(batch.plane_indices):
        if plane < 105 and not (batch.repetitions and plane in (96, 97)):
            bits[:, row], scalars[:, row] = engine_bits[:, plane], engine_scalars[:, plane]
    return planes, mask, bits, scalars


def assert_same_bytes(got, want):
    np.testing.assert_array_equal(got.view(np.uint8), np.ascontiguousarray(want).view(np.uint8))


@pytest.mark.parametrize("width,height,planes,repetitions", CASES, ids=IDS)
def test_reused_arrays_hold_exactly_each_plys_observation(width, height, planes, repetitions):
    rng = np.random.default_rng(width * 7 + height)
    n = 4
    kw = dict(seed=width + 13 * height, threads=2, max_plies=11, planes=planes, repetitions=repetitions)
    batch, other = rl.GameBatch(n, width, height, **kw), rl.GameBatch(n, width, height, **{**kw, "seed": 99})
    k = len(batch.plane_indices)
    obs = dict(planes=garbage((n, k, height, width), np.float32, rng),
               mask=garbage((n, batch.action_planes, height, width), np.bool_, rng),
               bits=rng.integers(0, 256, (n, k, (width * height + 7) // 8), np.uint8),
               scalars=garbage((n, k), np.float32, rng))
    for ply in range(30):
        if ply % 7 == 3:
            batch.reset([ply % n])  # a game put back to its start between two plies
        if ply % 9 == 5:
            # a take-back: a game set to its own earlier position, history and all
            g = batch.game(1)
            g.unmake_move()
            batch.set_game(1, g)
        if ply % 13 == 6:
            batch.play_random(2)  # moves made without an observation in between
        if ply % 10 == 8:
            other.step(other.random_actions(), **obs)  # another batch's observations left behind
        if ply % 11 == 10:
            obs = {name: garbage(a.shape, a.dtype, rng) if a.dtype != np.uint8 else rng.integers(0, 256, a.shape, np.uint8)
                   for name, a in obs.items()}
        actions = batch.random_actions()
        batch.step(actions, **obs)
        takes_action = batch.random_actions(out=np.empty(n, np.int64)) >= 0
        for name, want in zip(["planes", "mask", "bits", "scalars"], expected(batch, takes_action)):
            assert_same_bytes(obs[name], want)
