"""quorvane_tools: the colour model in floating point, window suggestion, and find_shapes records."""

import ctypes
import dataclasses
import math

import numpy as np
import pytest

import quorvane
import quorvane_tools as qt
from quorvane_tools import _native

RED = qt.Window((-0.6, 0.6), (0.3, 1.1), (0.1, 0.9))

# ----------------------------------------------------------------------------
# lch against the image pass


def _pixels_around(window, rng, n=16384):
    """Half uniform colours, half spread around the window's limits."""
    (h1, h2), (c1, c2), (i1, i2) = window
    k, dc, di = n // 2, (c2 - c1) / 2 + 0.03, (i2 - i1) / 2 + 0.03
    hue = (h1 + h2) / 2 + rng.uniform(-0.75, 0.75, k) * (h2 - h1)
    chroma = rng.uniform(max(c1 - dc, 0), min(c2 + dc, 1), k)
    i = rng.uniform(i1 - di, i2 + di, k)
    x, y = chroma * np.cos(hue), chroma * np.sin(hue)
    near = np.stack([i + 2 * x / 3, i - x / 3 + y / math.sqrt(3), i - x / 3 - y / math.sqrt(3)], -1)
    near = np.clip(np.rint(near * 256), 0, 255).astype(np.uint8)
    return np.concatenate([near, rng.integers(0, 256, (n - k, 3), np.uint8)]).reshape(64, -1, 3)


def _sure(img, window):
    """Pixels surely inside and surely outside: the margins of the six tests in exact arithmetic
    exceed the largest fixed-point error. The matrix is rounded to 1/256 (<= 1/512 per entry),
    so a row for channels summing to at most 765/256 is off by < 765/131072 < 1.5/256; the chroma
    test sums two rows (+ a bound rounded to 1/65536: < 3/256); the intensity row 85/256 is off
    by 1/768 per channel (+ bound rounding: < 1/256). The wedge tests are written as the chroma
    vector's distance from each edge, a * sin(width), which carries at most the error of a."""
    f = img.astype(np.float64) / 256
    r, g, b = f[..., 0], f[..., 1], f[..., 2]
    x, y, i = r - g / 2 - b / 2, math.sqrt(3) / 2 * (g - b), (r + g + b) / 3
    (h1, h2), (c1, c2), (i1, i2) = window
    half, c = (h2 - h1) / 2, np.hypot(x, y)
    off = np.angle(np.exp(1j * (np.arctan2(y, x) - (h1 + h2) / 2)))
    along = c * np.cos(off)
    margins = [c * np.sin(half - off), c * np.sin(half + off), i - i1, i2 - i, along - c1, c2 - along]
    eps = [1.5 / 256] * 2 + [1 / 256] * 2 + [3 / 256] * 2
    return (np.all([m > e for m, e in zip(margins, eps)], axis=0),
            np.any([m < -e for m, e in zip(margins, eps)], axis=0))


@pytest.mark.parametrize("window", [
    ((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)),
    ((2.8, 3.6), (0.05, 0.5), (0.2, 0.8)),       # across +-pi, written above pi
    ((-3.6, -2.8), (0.2, 0.7), (0.3, 0.7)),      # across +-pi, written below -pi
    ((1.0, 1.12), (0.3, 0.36), (0.4, 0.46)),     # narrow everything
    ((-1.5, 1.5), (0.0, 1.2), (0.0, 1.0)),       # wide everything
    ((0.5, 3.5), (0.3, 0.35), (0.3, 0.6)),       # wide wedge across +-pi, thin chroma band
    ((-2.3, -1.9), (0.02, 0.9), (0.05, 0.15)),   # blue, dark
])
@pytest.mark.parametrize("seed", [0, 1])
def test_lch_agrees_with_the_image_pass(window, seed):
    window = qt.Window(*window)
    img = _pixels_around(window, np.random.default_rng(seed))
    mask = quorvane.mask_image(img, window.bounds()).astype(bool)
    sure_in, sure_out = _sure(img, window)
    sure = sure_in | sure_out
    assert np.array_equal(mask[sure], sure_in[sure])  # the error bounds hold
    by_lch = qt.in_window(window, *qt.lch(img))
    assert np.array_equal(by_lch[sure], mask[sure]), np.argwhere((by_lch != mask) & sure)[:5].tolist()
    assert sure.mean() > 0.8 and sure_in.sum() > 100 and sure_out.sum() > 2000


@pytest.mark.parametrize("limits", [
    ((0.1, 0.9), (0.2, 1.0), (0.0, 1.0)),
    ((-0.0, 0.5), (0.0, 1.0), (0.0, 1.0)),       # -0.0 and 0.0 are told apart
    ((0.0, 0.5), (0.0, 1.0), (0.0, 1.0)),
    ([2.8, 3.6], [0, 1], [0.25, 0.75]),          # lists and ints
])
def test_window_bounds_are_the_library_bounds_and_the_callers_own(limits):
    w = qt.Window(*limits)
    for _ in range(2):  # worked out once, then remembered
        got, want = w.bounds(), quorvane.calculate_lch_bounds(*w)
        assert type(got) is type(want) and got.i == want.i and got.c == want.c
        assert np.array_equal(got.M, want.M) and got.M.dtype == want.M.dtype
        got.M[:] = 0  # a caller's change reaches no later caller


def test_lch_reference_colours():
    levels = np.arange(0, 256, 5, dtype=np.uint8)
    grid = np.stack(np.meshgrid(levels, levels, levels, indexing="ij"), -1).reshape(-1, 1, 3)
    hue, chroma, intensity = qt.lch(grid)
    assert hue.shape == chroma.shape == intensity.shape == (len(grid), 1) and hue.dtype == np.float64
    assert np.all(hue > -math.pi) and np.all(hue <= math.pi)
    grey = (grid[..., 0] == grid[..., 1]) & (grid[..., 1] == grid[..., 2])
    assert np.all(chroma[grey] == 0) and np.all(hue[grey] == 0)
    named = np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255], [0, 255, 255], [128, 128, 128]]], np.uint8)
    hue, chroma, intensity = qt.lch(named)
    # channels are fractions value/256, so a full primary has chroma 255/256
    np.testing.assert_allclose(chroma[0], [255 / 256] * 4 + [0], atol=1e-12)
    np.testing.assert_allclose(hue[0], [0, 2 * math.pi / 3, -2 * math.pi / 3, math.pi, 0], atol=1e-12)
    np.testing.assert_allclose(intensity[0], [85 / 256] * 3 + [170 / 256, 128 / 256], atol=1e-12)


# ----------------------------------------------------------------------------
# suggest_window

YY, XX = np.mgrid[0:120, 0:160]
DISC = (XX - 80) ** 2 + (YY - 60) ** 2 < 40 ** 2


def _scene(seed, background, objects, spread=6):
    """A 160 x 120 picture: each (region, colour) painted with uniform noise of +-spread."""
    rng = np.random.default_rng(seed)
    img = np.empty((120, 160, 3))
    for region, colour in [(np.ones_like(DISC), background), *objects]:
        noisy = np.asarray(colour, float) + rng.integers(-spread, spread + 1, (120, 160, 3))
        img[region] = np.broadcast_to(noisy, img.shape)[region]
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def _selected(img, window):
    return quorvane.mask_image(img, qt.Window(*window).bounds()).astype(bool)


# a red disc whose hues lie on both sides of 0 (G above B and below), on green and blue
RED_DISC = _scene(3, (60, 150, 70), [(XX >= 80, (50, 80, 170)), (DISC & (XX % 2 == 0), (200, 40, 75)),
                                     (DISC & (XX % 2 == 1), (200, 75, 40))])


def test_suggestion_around_red_wraps_and_separates():
    s = qt.suggest_window(RED_DISC, (70, 50, 20, 20))
    assert s.hue[0] < 0 < s.hue[1] and s.hue[1] - s.hue[0] < math.pi
    sel = _selected(RED_DISC, s)
    assert qt.selected_fraction(sel, DISC) >= 0.9 and qt.selected_fraction(sel, ~DISC) <= 0.002
    assert s.inside_fraction == qt.selected_fraction(sel, qt.region_mask(sel.shape, (70, 50, 20, 20)))
    assert s.image_fraction == pytest.approx(sel.mean()) and s.outside_fraction is None
    b = quorvane.calculate_lch_bounds(*s)   # a Suggestion reads as its Window
    assert np.array_equal(b.M, s.bounds().M) and (b.c, b.i) == (s.bounds().c, s.bounds().i)
    assert type(s.window) is qt.Window and qt.Window(*s) == s.window and s.flags() == s.window.flags()
    with pytest.raises(dataclasses.FrozenInstanceError):
        s.note = "changed"


def test_suggestion_follows_shading_across_the_object():
    light = 0.4 + 0.6 * np.clip((XX - 40) / 80, 0, 1)[..., None]   # lit from the right: 0.4 .. 1.0
    img = _scene(4, (40, 70, 110), [(DISC, np.array([230, 130, 40]) * light)], spread=4)
    s = qt.suggest_window(img, (100, 50, 18, 20))   # on the bright side only
    sel = _selected(img, s)
    assert qt.selected_fraction(sel, DISC) >= 0.85 and qt.selected_fraction(sel, ~DISC) <= 0.01


def test_outside_region_narrows_the_window():
    mine, other = (XX < 80) & (YY > 20) & (YY < 100), (XX >= 80) & (YY > 20) & (YY < 100)
    img = _scene(5, (30, 30, 40), [(mine, (230, 120, 40)), (other, (220, 130, 50))])  # hues 0.1 apart
    s = qt.suggest_window(img, (20, 40, 30, 40), (100, 40, 30, 40))
    sel = _selected(img, s)
    assert qt.selected_fraction(sel, mine) >= 0.9 and qt.selected_fraction(sel, other) <= 0.1
    assert s.inside_fraction == qt.selected_fraction(sel, qt.region_mask(sel.shape, (20, 40, 30, 40)))
    assert s.outside_fraction == qt.selected_fraction(sel, qt.region_mask(sel.shape, (100, 40, 30, 40)))


def test_boxes_are_clipped_and_masks_work_like_boxes():
    def window(region):
        return tuple(qt.suggest_window(RED_DISC, region))

    assert window((-20, -30, 50, 60)) == window((0, 0, 30, 30))
    assert window((150, 100, 40, 40)) == window((150, 100, 10, 20))
    assert window((70, 50, 20, 20)) == window((XX >= 70) & (XX < 90) & (YY >= 50) & (YY < 70))


@pytest.mark.parametrize("box", [
    (160, 0, 10, 10), (0, 120, 5, 5), (-30, -30, 10, 10), (10, 10, 0, 5), (10, 10, 5, -1),
    np.zeros((120, 160), bool),
])
def test_regions_without_pixels_raise(box):
    with pytest.raises(ValueError):
        qt.suggest_window(RED_DISC, box)
    with pytest.raises(ValueError):
        qt.suggest_window(RED_DISC, (70, 50, 20, 20), box)


@pytest.mark.parametrize("connectivity", [4, 8])
@pytest.mark.parametrize("density", [0.3, 0.55, 0.7])
def test_parts_are_those_of_a_reference_labelling(connectivity, density):
    ndimage = pytest.importorskip("scipy.ndimage")
    mask = np.random.default_rng(int(density * 100)).random((90, 130)) < density
    structure = np.ones((3, 3), bool) if connectivity == 8 else None
    ref, n = ndimage.label(mask, structure=structure)
    lab, stats = qt._regions.labels(mask, connectivity)
    assert np.array_equal(lab, ref) and len(stats) == n   # numbered alike: raster order
    for k in (1, n // 2, n):
        ys, xs = np.nonzero(ref == k)
        assert stats[k - 1].tolist() == [len(xs), xs.min(), ys.min(), xs.max() + 1, ys.max() + 1]
    seed = np.zeros_like(mask)
    seed[40:50, 60:70] = seed[0] = True
    if connectivity == 8:
        assert np.array_equal(qt._regions.component(mask, seed), np.isin(ref, ref[seed & mask]) & mask)
        assert not qt._regions.component(mask, np.zeros_like(mask)).any()


def test_sixteen_bit_grey_pictures_are_scaled_or_refused(tmp_path):
    from PIL import Image

    grey = np.arange(0, 65536, 256, dtype=np.uint16).reshape(16, 16)
    Image.fromarray(grey).save(tmp_path / "deep.png")
    try:
        img = qt.load_image(tmp_path / "deep.png")
    except qt.ImageError:
        return
    assert np.abs(img[..., 0] - grey / 257).max() <= 1


# ----------------------------------------------------------------------------
# find_shapes

Y2, X2 = np.mgrid[0:200, 0:240]


def _filled(inside):
    img = np.empty((200, 240, 3), np.uint8)
    img[:] = (30, 40, 60)
    img[inside] = (220, 40, 40)
    return img


_U = (X2 - 130) * math.cos(0.5) + (Y2 - 95) * math.sin(0.5)
_V = (Y2 - 95) * math.cos(0.5) - (X2 - 130) * math.sin(0.5)
STRIPE = _filled(np.abs(X2 - 0.25 * Y2 - 90) < 15)   # sides x = 0.25 y + 75 and x = 0.25 y + 105
SCENES = {
    "circle": (_filled((X2 - 110) ** 2 + (Y2 - 100) ** 2 < 50 ** 2), ["circle"], (110, 100, 50, 50, 0)),
    "ellipse": (_filled((_U / 70) ** 2 + (_V / 40) ** 2 < 1), ["ellipse"], (130, 95, 70, 40, 28.65)),
    "line": (STRIPE, ["line", "line"], (75, 105)),
    "line2": (STRIPE, ["line2"], (75, 105)),
}
KEYS = {"circle": {"x", "y", "r"}, "line": {"px", "py", "nx", "ny"},
        "ellipse": {"x", "y", "a", "b", "theta"}, "line2": {"lines"}}


def _native_count(kind, m, ps, delta):
    ps = np.ascontiguousarray(ps, np.int32)
    if kind == "circle":
        return _native.ring_inliers(ps, m["x"], m["y"], m["r"], delta)
    return _native.shell_inliers(ps, m["x"], m["y"], m["a"], m["b"], m["theta"], delta)


def _ring_points(rng, kind, n):
    """Points on a random circle or ellipse, rounded, with noise and outliers, and every
    integer point of a strip across the ring's edges (where a rounding decides)."""
    x, y, a = rng.uniform(60, 140), rng.uniform(60, 140), rng.uniform(12, 50)
    b = a if kind == "circle" else a * rng.uniform(0.5, 0.95)
    t = rng.uniform(0, 2 * np.pi, n)
    th = rng.uniform(-np.pi, np.pi)
    u, v = a * np.cos(t) + rng.normal(0, 1.2, n), b * np.sin(t) + rng.normal(0, 1.2, n)
    pts = np.stack([x + u * np.cos(th) - v * np.sin(th), y + u * np.sin(th) + v * np.cos(th)], 1)
    pts = np.concatenate([pts, rng.uniform(0, 200, (n // 4, 2))])
    gx, gy = np.meshgrid(np.arange(int(x) - 60, int(x) + 61), np.arange(int(y) - 3, int(y) + 4))
    grid = np.stack([gx.ravel(), gy.ravel()], 1)
    return np.ascontiguousarray(np.concatenate([np.round(pts), grid]), np.int32)


@pytest.mark.parametrize("kind", ["line", "line2", "circle", "ellipse"])
@pytest.mark.parametrize("delta", [0, 2])   # 0: only points exactly on the conic count, every bit matters
@pytest.mark.parametrize("seed", range(5))
def test_inliers_of_is_the_fitters_own_test(kind, delta, seed):
    rng = np.random.default_rng(seed)
    ps = _ring_points(rng, "ellipse" if kind == "ellipse" else "circle", 301)
    ctypes.CDLL(None).srand(seed)
    if kind in ("line", "line2"):   # the fitters mark their inliers themselves
        ms = np.empty(len(ps), np.uint8)
        if kind == "line":
            model = quorvane.ransac_line(ps, ms, 200, delta + 1, math.nan)
        else:
            model = quorvane.ransac_line2(ps, ms, 200, 0.9, delta + 1)
        assert np.array_equal(qt.inliers_of(kind, model, ps, delta + 1), ms.view(bool))
        return
    if kind == "circle":
        model = quorvane.ransac_circle(ps, 200, 8, 80, delta)
    else:
        model = quorvane.ransac_ellipse(ps, 200, 8, 80, 4.0, delta)
    assert any(model.values())
    assert qt.inliers_of(kind, model, ps, delta).sum() == _native_count(kind, model, ps, delta) > 0


@pytest.mark.parametrize("kind", SCENES)
def test_records_hold_the_model_and_its_inliers(kind):
    img, fits, truth = SCENES[kind]
    found = qt.find_shapes(img, RED, fits, seed=3, radius=(10, 100))
    left = found.points
    assert len(found.shapes) == len(fits)
    for shape in found.shapes:   # each fit sees the points the one before it left
        assert shape.found and shape.warning is None and shape.points == len(left)
        marks = qt.inliers_of(shape.kind, shape.model, left, shape.delta)
        assert shape.inliers == marks.sum() >= 0.8 * len(left) / len(fits)
        if kind in ("circle", "ellipse"):   # the count is the fitter's scoring kernel's
            assert shape.inliers == _native_count(kind, shape.model, left, shape.delta)
        left = left[~marks]
        d = shape.to_dict()
        assert set(d) == KEYS[kind] | {"shape", "inliers", "warning", "model", "refined"} and d["shape"] == kind
        if kind == "line2":
            assert [set(li) for li in d["lines"]] == [KEYS["line"]] * 2
            assert d["model"] == [dict(m) for m in shape.model] and d["lines"] == d["refined"]
        else:   # the shape's own fields are the refined ones; the fitter's record stays as it was
            assert d["model"] == shape.model and {k: d[k] for k in KEYS[kind]} == d["refined"]
    assert sum(s.times["fit"] for s in found.shapes) == pytest.approx(found.times["fit"])
    if kind in ("line", "line2"):
        lines = found.shapes[0].model if kind == "line2" else [s.model for s in found.shapes]
        assert all(abs(qt.shapes.line_angle(m) - math.degrees(math.atan2(1, 0.25))) < 1.5 for m in lines)
        offsets = sorted(m["px"] - 0.25 * m["py"] for m in lines)
        assert abs(offsets[0] - truth[0]) < 2.5 and abs(offsets[1] - truth[1]) < 2.5
    else:
        m = found.shapes[0].model
        x, y, a, b, angle = qt.shapes.ellipse_axes(m) if kind == "ellipse" else (*m.values(), m["r"], 0)
        assert math.hypot(x - truth[0], y - truth[1]) < 1.5 and abs(angle - truth[4]) < 2
        assert abs(a - truth[2]) <= 2 and abs(b - truth[3]) <= 2


def test_only_found_shapes_are_listed():
    found = qt.find_shapes(SCENES["circle"][0], RED, ["circle", "ellipse"], seed=1)
    assert found.shapes[0].found and not found.shapes[1].found   # no points left for it
    d = found.to_dict()
    assert [s["shape"] for s in d["shapes"]] == ["circle"]
    assert d["window"] == {"hue": [-0.6, 0.6], "chroma": [0.3, 1.1], "intensity": [0.1, 0.9]}


def test_warnings_for_weak_fits():
    img = SCENES["circle"][0]
    at_limit = qt.find_shapes(img, RED, ["circle"], radius=(10, 50), seed=1).shapes[0]
    assert at_limit.model["r"] >= 48 and "radius limit" in at_limit.warning
    assert qt.find_shapes(img, RED, ["circle"], radius=(10, 60), seed=1).shapes[0].warning is None
    specks = _filled(np.random.default_rng(0).random((200, 240)) < 0.01)
    for shape in qt.find_shapes(specks, RED, ["circle", "line"], seed=1).shapes:
        assert shape.found and shape.warning and shape.warning.startswith("weak"), shape


def test_same_seed_same_shapes_whatever_the_array():
    img = SCENES["ellipse"][0]
    first = qt.find_shapes(img, RED, ["ellipse", "line"], seed=7)
    ref = [(s.model, s.inliers) for s in first.shapes]
    points, mask = first.points.copy(), first.mask.copy()
    ro = img.copy()
    ro.flags.writeable = False
    for variant in (img, ro, img[..., ::-1][..., ::-1], np.asfortranarray(img)):
        again = qt.find_shapes(variant, RED, ["ellipse", "line"], seed=7)
        assert [(s.model, s.inliers) for s in again.shapes] == ref
    assert qt.find_shapes(img, RED, ["ellipse"], seed=8).shapes[0].model != ref[0][0]
    assert np.array_equal(first.points, points) and np.array_equal(first.mask, mask)   # not reused
    grey = img.sum(axis=2, dtype=np.uint16) // 3   # grey pictures are taken; no window selects grey
    assert qt.find_shapes(grey.astype(np.uint8), RED, ["circle"]).mask.shape == grey.shape


def test_point_counts_with_power_of_two_factors_still_vary_with_the_seed():
    ang = np.arctan2(Y2 - 100, X2 - 120)
    blob = (X2 - 120) ** 2 + (Y2 - 100) ** 2 < (45 * (1 + 0.06 * np.sin(5 * ang))) ** 2
    img = _filled(blob | (np.random.default_rng(7).random((200, 240)) < 0.002))
    for rows in range(64, 200, 2):   # scan-line counts until the points number 2**k
        n = len(qt.find_shapes(img, RED, ["ellipse"], rows=rows, columns=rows).points)
        if n >= 64 and n & (n - 1) == 0:
            break
    else:
        pytest.fail("no scan gives a power-of-two point count")
    pts = qt.find_shapes(img, RED, ["ellipse"], rows=rows, columns=rows).points
    raw, tools = set(), set()
    for seed in range(2, 21):
        qt.seed_c_generator(seed)
        raw.add(tuple(quorvane.ransac_ellipse(pts, 400, 8, 100, 4.0, 2).values()))
        found = qt.find_shapes(img, RED, ["ellipse"], rows=rows, columns=rows, seed=seed)
        tools.add(tuple(found.shapes[0].model.values()))
    assert len(raw) <= 2 and len(tools) >= 10   # the raw fitter draws the same samples for every seed
