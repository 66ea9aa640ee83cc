"""quorvane_tools: the colour model in floating point, window suggestion, and find_shapes records."""

import math

import numpy as np
import pytest

import quorvane
import quorvane_tools as qt

SQRT3_2 = math.sqrt(3.0) / 2.0
RED = qt.Window((-0.6, 0.6), (0.3, 1.1), (0.1, 0.9))

# ----------------------------------------------------------------------------
# lch against the image pass


def _rgb_from_lch(hue, chroma, intensity):
    x, y = chroma * np.cos(hue), chroma * np.sin(hue)
    rgb = np.stack([intensity + 2 * x / 3, intensity - x / 3 + y / math.sqrt(3),
                    intensity - x / 3 - y / math.sqrt(3)], axis=-1)
    return np.clip(np.rint(rgb * 256), 0, 255).astype(np.uint8)


def _pixels_around(window, rng, n=16384):
    """Half uniform colours, half spread around the window's limits."""
    (h1, h2), (c1, c2), (i1, i2) = window
    mid, half = (h1 + h2) / 2, (h2 - h1) / 2
    k = n // 2
    dc, di = 0.5 * (c2 - c1) + 0.03, 0.5 * (i2 - i1) + 0.03
    near = _rgb_from_lch(mid + rng.uniform(-1.5, 1.5, k) * half,
                         rng.uniform(max(c1 - dc, 0), min(c2 + dc, 1), k),
                         rng.uniform(i1 - di, i2 + di, k))
    uniform = rng.integers(0, 256, (n - k, 3), dtype=np.uint8)
    return np.concatenate([near, uniform]).reshape(64, -1, 3)


def _margins(img, window):
    """Signed margins (positive: passes) of the six tests, in exact arithmetic from the model's
    formulas, each with the largest fixed-point error it can carry.

    The matrix is rounded to 1/256 (error <= 1/512 per entry), so a row's value for channels
    summing to at most 3 * 255/256 is off by at most 765/131072 < 1.5/256 in the model's units;
    the chroma test adds two rows (< 3/256); the intensity row 85/256 is off by 1/768 per channel
    (< 1/256 in all). Bounds are rounded to 1/65536, which the epsilons below also absorb."""
    f = img.astype(np.float64) / 256
    r, g, b = f[..., 0], f[..., 1], f[..., 2]
    x, y, i = r - g / 2 - b / 2, SQRT3_2 * (g - b), (r + g + b) / 3
    (h1, h2), (c1, c2), (i1, i2) = window
    mid, half = (h1 + h2) / 2, (h2 - h1) / 2
    c = np.hypot(x, y)
    off = np.angle(np.exp(1j * (np.arctan2(y, x) - mid)))
    along = c * np.cos(off)
    # distance of the chroma vector from each edge of the wedge (sign: which side)
    m = [c * np.sin(half - off), c * np.sin(half + off), i - i1, i2 - i, along - c1, c2 - along]
    eps = [1.5 / 256, 1.5 / 256, 1 / 256, 1 / 256, 3 / 256, 3 / 256]
    sure_in = np.all([mk > e for mk, e in zip(m, eps)], axis=0)
    sure_out = np.any([mk < -e for mk, e in zip(m, eps)], axis=0)
    return sure_in, sure_out


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
    sure_in, sure_out = _margins(img, window)
    sure = sure_in | sure_out
    assert not (sure_in & sure_out).any()
    assert np.array_equal(mask[sure], sure_in[sure])  # the epsilons are sound
    by_lch = qt.in_window(window, *qt.lch(img))
    wrong = np.argwhere(by_lch != mask & sure)
    assert np.array_equal(by_lch[sure], mask[sure]), f"differs at {wrong[:5].tolist()}"
    assert sure.mean() > 0.8, f"{100 * (1 - sure.mean()):.1f}% of the pixels are near a limit"
    assert sure_in.sum() > 100 and sure_out.sum() > 2000


def test_lch_reference_colours():
    levels = np.arange(0, 256, 5, dtype=np.uint8)
    grid = np.stack(np.meshgrid(levels, levels, levels, indexing="ij"), -1).reshape(-1, 1, 3)
    hue, chroma, intensity = qt.lch(grid)
    assert hue.shape == chroma.shape == intensity.shape == (len(grid), 1)
    assert hue.dtype == np.float64
    assert np.all(hue > -math.pi) and np.all(hue <= math.pi)
    grey = grid[..., 0] == grid[..., 1]
    grey &= grid[..., 1] == grid[..., 2]
    assert np.all(chroma[grey] == 0) and np.all(hue[grey] == 0)
    named = np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255], [0, 255, 255], [128, 128, 128]]], np.uint8)
    hue, chroma, intensity = qt.lch(named)
    # channels are fractions value/256, so a full primary has chroma 255/256
    np.testing.assert_allclose(chroma[0], [255 / 256] * 4 + [0], atol=1e-12)
    np.testing.assert_allclose(hue[0], [0, 2 * math.pi / 3, -2 * math.pi / 3, math.pi, 0], atol=1e-12)
    np.testing.assert_allclose(intensity[0], [85 / 256] * 3 + [170 / 256, 128 / 256], atol=1e-12)


# ----------------------------------------------------------------------------
# suggest_window

ROWS, COLS = 120, 160
YY, XX = np.mgrid[0:ROWS, 0:COLS]


def _noisy(rng, colour, shape, spread=6):
    return np.clip(np.asarray(colour) + rng.integers(-spread, spread + 1, (*shape, 3)), 0, 255)


def _selected(img, window):
    return quorvane.mask_image(img, qt.Window(*window).bounds()).astype(bool)


def _red_on_green_and_blue():
    rng = np.random.default_rng(3)
    img = np.empty((ROWS, COLS, 3), np.int64)
    img[:, :80] = _noisy(rng, (60, 150, 70), (ROWS, 80))
    img[:, 80:] = _noisy(rng, (50, 80, 170), (ROWS, 80))
    obj = (XX - 80) ** 2 + (YY - 60) ** 2 < 35 ** 2
    # hues on both sides of 0: green above blue on half the pixels, below on the other half
    reds = np.where(rng.random((ROWS, COLS, 1)) < 0.5, (200, 40, 75), (200, 75, 40))
    img[obj] = (reds + rng.integers(-6, 7, (ROWS, COLS, 3)))[obj]
    return img.astype(np.uint8), obj


def test_suggestion_around_red_wraps_and_separates():
    img, obj = _red_on_green_and_blue()
    s = qt.suggest_window(img, (70, 50, 20, 20))
    (h1, h2) = s.hue
    assert h1 < 0 < h2 and h2 - h1 < math.pi
    sel = _selected(img, s)
    assert qt.selected_fraction(sel, obj) >= 0.9
    assert qt.selected_fraction(sel, ~obj) <= 0.002
    box = qt.region_mask(img.shape, (70, 50, 20, 20))
    assert s.inside_fraction == pytest.approx(qt.selected_fraction(sel, box))
    assert s.image_fraction == pytest.approx(sel.mean())
    assert s.outside_fraction is None
    # a Suggestion is a Window: it unpacks into calculate_lch_bounds
    b = quorvane.calculate_lch_bounds(*s)
    assert np.array_equal(b.M, s.bounds().M) and b.c == s.bounds().c and b.i == s.bounds().i
    assert tuple(s.window) == tuple(s)


def test_suggestion_follows_shading_across_the_object():
    rng = np.random.default_rng(4)
    img = _noisy(rng, (40, 70, 110), (ROWS, COLS)).astype(np.float64)
    obj = (XX - 80) ** 2 + (YY - 60) ** 2 < 45 ** 2
    light = 0.4 + 0.6 * np.clip((XX - 35) / 90, 0, 1)   # lit from the right: 0.4 .. 1.0
    img[obj] = (np.array([230.0, 130.0, 40.0]) * light[..., None] + rng.normal(0, 3, (ROWS, COLS, 3)))[obj]
    img = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    s = qt.suggest_window(img, (100, 50, 18, 20))   # on the bright side only
    sel = _selected(img, s)
    assert qt.selected_fraction(sel, obj) >= 0.85
    assert qt.selected_fraction(sel, ~obj) <= 0.01


def test_outside_region_narrows_the_window():
    rng = np.random.default_rng(5)
    img = _noisy(rng, (30, 30, 40), (ROWS, COLS))
    mine, other = (XX < 80) & (YY > 20) & (YY < 100), (XX >= 80) & (YY > 20) & (YY < 100)
    img[mine] = _noisy(rng, (230, 120, 40), (ROWS, COLS))[mine]     # two touching objects, hues 0.1 apart
    img[other] = _noisy(rng, (220, 130, 50), (ROWS, COLS))[other]
    img = img.astype(np.uint8)
    wide = qt.suggest_window(img, (20, 40, 30, 40))
    assert qt.selected_fraction(_selected(img, wide), other) > 0.5   # the case needs narrowing
    s = qt.suggest_window(img, (20, 40, 30, 40), (100, 40, 30, 40))
    sel = _selected(img, s)
    assert qt.selected_fraction(sel, mine) >= 0.9
    assert qt.selected_fraction(sel, other) <= 0.1
    assert s.outside_fraction == pytest.approx(qt.selected_fraction(sel, qt.region_mask(img.shape, (100, 40, 30, 40))))
    assert s.inside_fraction == pytest.approx(qt.selected_fraction(sel, qt.region_mask(img.shape, (20, 40, 30, 40))))


def test_boxes_are_clipped_and_masks_work_like_boxes():
    img, _ = _red_on_green_and_blue()
    assert tuple(qt.suggest_window(img, (-20, -30, 50, 60))) == tuple(qt.suggest_window(img, (0, 0, 30, 30)))
    assert tuple(qt.suggest_window(img, (150, 100, 40, 40))) == tuple(qt.suggest_window(img, (150, 100, 10, 20)))
    box = np.zeros((ROWS, COLS), bool)
    box[50:70, 70:90] = True
    a, b = qt.suggest_window(img, (70, 50, 20, 20)), qt.suggest_window(img, box)
    assert tuple(a) == tuple(b) and a.inside_fraction == b.inside_fraction


@pytest.mark.parametrize("box", [
    (160, 0, 10, 10), (0, 120, 5, 5), (-30, -30, 10, 10), (10, 10, 0, 5), (10, 10, 5, -1),
    pytest.param("empty mask", marks=pytest.mark.xfail(
        strict=True, raises=IndexError, reason="an all-False mask is taken, then percentiles of no pixels")),
])
def test_boxes_without_pixels_raise(box):
    img, _ = _red_on_green_and_blue()
    if box == "empty mask":
        box = np.zeros((ROWS, COLS), bool)
    with pytest.raises(ValueError, match="outside|no area"):
        qt.suggest_window(img, box)
    with pytest.raises(ValueError):
        qt.suggest_window(img, (70, 50, 20, 20), box)


@pytest.mark.parametrize("scipy", [True, False])
@pytest.mark.parametrize("density", [0.3, 0.55, 0.7])
def test_object_component_is_the_connected_selection(monkeypatch, scipy, density):
    ndimage = pytest.importorskip("scipy.ndimage")
    from quorvane_tools import color

    if not scipy:
        monkeypatch.setattr(color, "_label", None)   # the NumPy path, for installs without SciPy
    rng = np.random.default_rng(int(density * 100))
    mask = rng.random((90, 130)) < density
    seed = np.zeros_like(mask)
    seed[40:50, 60:70] = True
    seed[0, :] = True
    labels, _ = ndimage.label(mask, structure=np.ones((3, 3), bool))
    expected = np.isin(labels, labels[seed & mask]) & mask
    assert np.array_equal(color.component(mask, seed), expected)
    assert not color.component(mask, np.zeros_like(mask)).any()


@pytest.mark.xfail(strict=True, reason="load_image converts 16-bit grey PNGs with Pillow's convert('RGB'), "
                   "which clips every value above 255 to white instead of scaling")
def test_sixteen_bit_grey_pictures_are_scaled_or_refused(tmp_path):
    from PIL import Image

    grey = np.arange(0, 65536, 256, dtype=np.uint16).reshape(16, 16)
    Image.fromarray(grey).save(tmp_path / "deep.png")
    try:
        img = qt.load_image(tmp_path / "deep.png")
    except qt.ImageError:
        return
    assert np.abs(img[..., 0].astype(int) - grey / 257).max() <= 1




def _filled(inside, colour=(220, 40, 40), background=(30, 40, 60)):
    img = np.empty((200, 240, 3), np.uint8)
    img[:] = background
    img[inside] = colour
    return img


Y2, X2 = np.mgrid[0:200, 0:240]
ELLIPSE = dict(x=130.0, y=95.0, a=70.0, b=40.0, theta=0.5)
_u = (X2 - 130) * math.cos(0.5) + (Y2 - 95) * math.sin(0.5)
_v = -(X2 - 130) * math.sin(0.5) + (Y2 - 95) * math.cos(0.5)
SCENES = {
    "circle": (_filled((X2 - 110) ** 2 + (Y2 - 100) ** 2 < 50 ** 2), ["circle"], dict(x=110, y=100, r=50)),
    "ellipse": (_filled((_u / 70) ** 2 + (_v / 40) ** 2 < 1), ["ellipse"], ELLIPSE),
    "line": (_filled(np.abs(X2 - 0.25 * Y2 - 90) < 15), ["line", "line"], None),
    "line2": (_filled(np.abs(X2 - 0.25 * Y2 - 90) < 15), ["line2"], None),
}
KEYS = {"circle": {"x", "y", "r"}, "line": {"px", "py", "nx", "ny"},
        "ellipse": {"x", "y", "a", "b", "theta"}, "line2": {"lines"}}


@pytest.mark.parametrize("kind", SCENES)
def test_records_hold_the_model_and_its_inliers(kind):
    img, fits, truth = SCENES[kind]
    found = qt.find_shapes(img, RED, fits, seed=3, radius=(10, 100))
    left = found.points
    assert len(found.shapes) == len(fits)
    for shape in found.shapes:
        assert shape.found and shape.warning is None and shape.points == len(left)
        marks = qt.inliers_of(shape.kind, shape.model, left, shape.delta)
        assert shape.inliers == marks.sum() >= 0.8 * len(left) / len(fits)
        left = left[~marks]
        d = shape.to_dict()
        assert set(d) == KEYS[kind] | {"shape", "inliers", "warning"} and d["shape"] == kind
        if kind == "line2":
            assert [set(li) for li in d["lines"]] == [KEYS["line"]] * 2
    if kind == "circle":
        m = found.shapes[0].model
        assert abs(m["x"] - 110) <= 1 and abs(m["y"] - 100) <= 1 and abs(m["r"] - 50) <= 2
    if kind == "ellipse":
        x, y, a, b, angle = qt.shapes.ellipse_axes(found.shapes[0].model)
        assert math.hypot(x - 130, y - 95) < 1.5 and abs(a - 70) < 2 and abs(b - 40) < 2
        assert abs(angle - math.degrees(0.5)) < 2
    if kind in ("line", "line2"):
        lines = found.shapes[0].model if kind == "line2" else [s.model for s in found.shapes]
        for m in lines:   # both sides of the stripe: x = 0.25 y + 75 and + 105
            assert abs(qt.shapes.line_angle(m) - math.degrees(math.atan2(1, 0.25))) < 1.5
        offsets = sorted(m["px"] - 0.25 * m["py"] for m in lines)
        assert abs(offsets[0] - 75) < 2.5 and abs(offsets[1] - 105) < 2.5
    assert sum(s.times["fit"] for s in found.shapes) == pytest.approx(found.times["fit"])


def test_only_found_shapes_are_listed():
    img = SCENES["circle"][0]
    found = qt.find_shapes(img, RED, ["circle", "ellipse"], seed=1)
    assert found.shapes[0].found and not found.shapes[1].found
    d = found.to_dict()
    assert [s["shape"] for s in d["shapes"]] == ["circle"]
    assert d["window"] == {"hue": [-0.6, 0.6], "chroma": [0.3, 1.1], "intensity": [0.1, 0.9]}


def test_warnings_for_weak_fits():
    img = SCENES["circle"][0]
    at_limit = qt.find_shapes(img, RED, ["circle"], radius=(10, 50), seed=1).shapes[0]
    assert at_limit.model["r"] >= 48 and "radius limit" in at_limit.warning
    inside = qt.find_shapes(img, RED, ["circle"], radius=(10, 60), seed=1).shapes[0]
    assert inside.warning is None
    rng = np.random.default_rng(0)
    specks = _filled(rng.random((200, 240)) < 0.01)
    weak = qt.find_shapes(specks, RED, ["circle", "line"], seed=1)
    for shape in weak.shapes:
        assert shape.found and shape.warning and shape.warning.startswith("weak"), shape


def test_same_seed_same_shapes_whatever_the_array():
    img = SCENES["ellipse"][0]
    ref = qt.find_shapes(img, RED, ["ellipse", "line"], seed=7)
    ro = img.copy()
    ro.flags.writeable = False
    for variant in (img, ro, img[..., ::-1][..., ::-1], np.asfortranarray(img)):
        again = qt.find_shapes(variant, RED, ["ellipse", "line"], seed=7)
        assert [s.model for s in again.shapes] == [s.model for s in ref.shapes]
        assert [s.inliers for s in again.shapes] == [s.inliers for s in ref.shapes]
    other = qt.find_shapes(img, RED, ["ellipse", "line"], seed=8)
    assert other.shapes[0].model != ref.shapes[0].model
    # a grey picture is taken as three equal channels
    grey = (img.sum(axis=2) // 3).astype(np.uint8)
    window = qt.Window((-1, 1), (-0.1, 0.1), (0.1, 0.2))
    assert not qt.find_shapes(grey, window, ["circle"], seed=1).mask.any()
    assert qt.find_shapes(grey, window, ["circle"], seed=1).mask.shape == grey.shape


def test_point_counts_with_power_of_two_factors_still_vary_with_the_seed():
    rng = np.random.default_rng(7)
    ang = np.arctan2(Y2 - 100, X2 - 120)
    blob = (X2 - 120) ** 2 + (Y2 - 100) ** 2 < (45 * (1 + 0.06 * np.sin(5 * ang))) ** 2
    img = _filled(blob | (rng.random((200, 240)) < 0.002))
    for rows in range(64, 200, 2):   # scan-line counts until the points number 2**k
        found = qt.find_shapes(img, RED, ["ellipse"], rows=rows, columns=rows, seed=1)
        n = len(found.points)
        if n >= 64 and n & (n - 1) == 0:
            break
    else:
        pytest.fail("no scan that gives a power-of-two point count")
    pts = np.ascontiguousarray(found.points)
    raw, tools = set(), set()
    for seed in range(2, 21):
        qt.seed_c_generator(seed)
        raw.add(tuple(quorvane.ransac_ellipse(pts, 400, 8, 100, 4.0, 2).values()))
        f = qt.find_shapes(img, RED, ["ellipse"], rows=rows, columns=rows, seed=seed)
        tools.add(tuple(f.shapes[0].model.values()))
    assert len(raw) <= 2   # the raw fitter draws the same samples whatever the seed
    assert len(tools) >= 10
