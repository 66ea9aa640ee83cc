"""Doubts about a box's shape (a window that selects nearly all of a colour picture, another
outline that the picture's edges follow nearly as strongly), and --all's circles carried out to
their objects' outer outlines."""


import numpy as np
import pytest

import quorvane_tools as qt
from quorvane_tools import _doubts
from quorvane_tools._records import Shape



def _picture(kind):
    rng = np.random.default_rng(5)
    grey = rng.integers(0, 256, (60, 80), dtype=np.uint8)
    if kind == "2-D":
        return grey
    if kind == "grey RGB":
        return np.dstack([grey] * 3)
    if kind == "one channel":
        return grey[..., None]
    colour = np.dstack([grey] * 3)
    colour[30, 40] = (10, 200, 30)  # one coloured pixel is colour
    if kind == "RGBA":
        return np.dstack([colour, np.full((60, 80), 255, np.uint8)])
    return colour


@pytest.mark.parametrize("kind, colour", [("2-D", False), ("grey RGB", False), ("one channel", False),
                                          ("RGB", True), ("RGBA", True)])
def test_colour_pictures_are_told_from_grey_ones(kind, colour):
    img = _picture(kind)
    if kind in ("RGB", "RGBA"):
        img[::2, ::2, 0] = 0  # colour on the sampled pixels, not only on one
    assert _doubts.is_colour(img) is colour


def _disc(r=20.0):
    return Shape("circle", {"x": 40, "y": 30, "r": int(r)}, 50, 60, 2)


@pytest.mark.parametrize("kind, share, before, after", [
    ("RGB", 0.95, None, "doubtful: the window selects 95% of the picture"),
    ("RGB", 0.85, None, None),  # a window that leaves out a fair share still picks out something
    ("grey RGB", 1.0, None, None),  # on a grey picture intensity is all a window can use
    ("RGB", 1.0, "weak: only 5 inliers", "weak: only 5 inliers"),  # the first reason stays
])
def test_a_window_selecting_most_of_a_colour_picture_is_doubtful(kind, share, before, after):
    img = _picture(kind)
    if kind == "RGB":
        img[::2, ::2, 0] = 0
    selected = np.zeros(img.shape[:2], bool)
    selected.flat[:round(share * selected.size)] = True
    sh = _disc()
    sh.warning = before
    missing = Shape("circle", {"x": 0, "y": 0, "r": 0}, 0, 60, 2)
    _doubts.wide_window([sh, missing], selected, img)
    assert sh.warning == after and missing.warning is None


C = {"x": 100.0, "y": 100.0, "r": 40.0}


@pytest.mark.parametrize("others, share", [
    ([(27.0, dict(C, r=52.0))], 0.9),  # a ring round it, nearly as strong: doubtful
    ([(27.0, dict(C, x=110.0))], 0.9),  # beside it
    ([(29.0, dict(C, r=42.0))], None),  # the same outline, refined a little differently
    ([(22.0, dict(C, r=52.0))], None),  # a clearly weaker ring
    ([(22.0, dict(C, r=52.0)), (28.5, dict(C, r=30.0)), (29.5, dict(C, r=41.0))], 0.95),
    ([], None),
])
def test_another_outline_nearly_as_strong_is_a_rival(others, share):
    got = _doubts.rival("circle", C, 30.0, others)
    assert got == pytest.approx(share) if share is not None else got is None


def test_ellipses_apart_by_their_largest_semi_axis():
    e = {"x": 50.0, "y": 50.0, "a": 20.0, "b": 40.0, "theta": 0.3}
    assert _doubts.apart("ellipse", e, dict(e, b=44.0)) == pytest.approx(0.1)
    assert _doubts.apart("ellipse", e, dict(e, a=-20.0, theta=1.2)) == 0.0




@pytest.mark.parametrize("name, warning", [
    ("moto-headlight", "doubtful: another outline"),  # the lamp's glass and its rim
    ("moto-post", "doubtful: the window selects"),  # a grey box on a grey, patterned picture
    ("coffee-crema", None),
    ("chelsea-eye-left", None),
])
def test_photo_doubts(bench_photos, name, warning):
    # As a user meets them: quorvane find --box, the shape read back from its JSON.
    (case,) = [c for c in bench_photos.cases() if c.name == name]
    ws = bench_photos.Workspace()
    try:
        verdict = bench_photos.score_one(case, "box", bench_photos.route_box(ws, case))
    finally:
        ws.close()
    assert verdict.verdict == ("found" if warning is None else "wrong")
    got = verdict.shapes[0]["warning"]
    assert got is None if warning is None else got.startswith(warning)


@pytest.mark.parametrize("relief", [(26, 10), (24, 0), (0, 0)])
def test_every_circle_reaches_its_objects_outline(relief):
    # Bright discs (radius 32) with a darker relief inside (radius r, on the side left of
    # x = cx + k): the window selects the rim, whose inner outline once held the fit.
    r, k = relief
    yy, xx = np.mgrid[0:160, 0:200]
    img = np.full((160, 200, 3), 30, np.uint8)
    for cx in (60, 140):
        d = np.hypot(xx - cx, yy - 80)
        img[d < 32] = 200
        img[(d < r) & (xx < cx + k)] = 90
    found = qt.find_shapes(img, qt.Window(None, None, (0.6, 1.0)), ["circle"], every=True, seed=1,
                           radius=(10, 60))
    got = sorted((round(s.shown["x"]), s.shown["r"]) for s in found.shapes)
    assert [x for x, _ in got] == [60, 140]
    assert all(abs(radius - 31.7) < 1.0 for _, radius in got), got


def test_every_coin(bench_photos):
    (case,) = [c for c in bench_photos.cases() if c.name == "coins-all"]
    ws = bench_photos.Workspace()
    try:
        verdict = bench_photos.score_all(case, "all", bench_photos.route_all(ws, case))
    finally:
        ws.close()
    assert verdict.matched >= 20 and verdict.duplicates == 0, (verdict.matched, verdict.duplicates)
