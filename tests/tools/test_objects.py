"""A box names an object: its region grown across shading, its dominant colour, every object of a
window's colour, refinement on dense outlines, horizontal lines, grey and RGBA pictures."""

import json
import math

import numpy as np
import pytest

import quorvane_tools as qt
from quorvane_tools import _native, _regions
from quorvane_tools._refine import refine

H, W = 200, 260
YY, XX = np.mgrid[0:H, 0:W].astype(np.float64)


def _disc(cx, cy, r, k=4):
    """Coverage (0..1) of each pixel by a disc, from k x k samples: an anti-aliased outline."""
    offs = (np.arange(k) + 0.5) / k - 0.5
    cover = np.zeros((H, W))
    for dy in offs:
        for dx in offs:
            cover += (XX + dx - cx) ** 2 + (YY + dy - cy) ** 2 < r * r
    return cover / (k * k)


def _paint(background, layers, noise=3, seed=0):
    """An RGB picture: a background colour, then (coverage, colour image or triple) layers."""
    img = np.empty((H, W, 3))
    img[:] = background
    for cover, colour in layers:
        colour = np.broadcast_to(np.asarray(colour, np.float64), img.shape)
        img = img * (1 - cover[..., None]) + colour * cover[..., None]
    img += np.random.default_rng(seed).integers(-noise, noise + 1, img.shape)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def _circle(found, k=0):
    m = found.shapes[k].shown
    return m["x"], m["y"], m["r"]


# ----------------------------------------------------------------------------
# a box on part of an object gives the whole object


def _shaded_disc():
    """An orange disc lit from the right: its shadowed side darker, more saturated and redder,
    on a blue-grey background."""
    light = np.clip((XX - 70) / 120, 0, 1)[..., None]
    lit, shade = np.array([235, 140, 45]), np.array([95, 30, 12])
    colour = shade + (lit - shade) * light
    return _paint((70, 80, 100), [(_disc(130.3, 100.6, 62.4), colour)])


def _patterned_disc():
    """A yellow disc with dark patches (a patterned ball) on green."""
    patches = np.zeros((H, W))
    for x, y in ((110, 80), (150, 120), (120, 130), (160, 75)):
        patches = np.maximum(patches, _disc(x, y, 11))
    ball = _disc(135.0, 101.0, 55.0)
    return _paint((40, 110, 50), [(ball, (235, 215, 40)), (ball * patches, (30, 30, 35))])


@pytest.mark.parametrize("scene, box, truth", [
    (_shaded_disc, (150, 80, 30, 30), (130.3, 100.6, 62.4)),   # on the lit side only
    (_patterned_disc, (125, 70, 40, 30), (135.0, 101.0, 55.0)),  # a box with a dark patch in it
])
def test_a_box_on_part_of_an_object_gives_the_whole_object(scene, box, truth):
    img = scene()
    s = qt.suggest_window(img, box)
    whole = _disc(*truth) > 0.5
    assert np.count_nonzero(s.region & whole) >= 0.9 * np.count_nonzero(whole)   # patches at the edge: notches
    assert np.count_nonzero(s.region & ~whole) <= 0.03 * np.count_nonzero(whole)
    if s.hue is not None:   # the dominant colour: not widened by the patches or the shadow
        assert s.hue[1] - s.hue[0] < 1.2 and s.image_fraction < 0.5
    found = qt.find_shapes(img, s, ["circle"], box=box, radius=(30, 90), seed=1)
    x, y, r = _circle(found)
    assert math.hypot(x - truth[0], y - truth[1]) < 1.0 and abs(r - truth[2]) < 1.0
    assert found.shapes[0].warning is None
    # the box with the suggestion's window as plain limits: the same object, the same shape
    again = qt.find_shapes(img, qt.Window(*s), ["circle"], box=box, radius=(30, 90), seed=1)
    assert [sh.to_dict() for sh in again.shapes] == [sh.to_dict() for sh in found.shapes]


def test_a_colour_that_matches_the_background_is_bounded_by_edges():
    """A white ball on light grey card, its shadowed side as grey as the card: no colour window
    separates them; the outline comes from the picture's edges (the ball's shadow on the card)."""
    light = np.clip((XX - 60) / 140, 0, 1)[..., None]
    ball = np.repeat(170 + (245 - 170) * light, 3, axis=2)
    shadow = np.clip(1 - (np.hypot(XX - 118.4, YY - 100.2) - 50) / 25, 0, 1) * (1 - light[..., 0])
    card = np.repeat((172 - 50 * shadow)[..., None], 3, axis=2)
    img = _paint((172, 170, 166), [(np.ones((H, W)), card), (_disc(128.4, 98.2, 58.6), ball)])
    box = (140, 70, 40, 40)
    found = qt.find_shapes(img, qt.suggest_window(img, box), ["circle"], box=box, radius=(30, 90), seed=1)
    x, y, r = _circle(found)
    assert math.hypot(x - 128.4, y - 98.2) < 1.5 and abs(r - 58.6) < 1.5


def _ellipse_cover(cx, cy, a, b, theta, k=4):
    offs = (np.arange(k) + 0.5) / k - 0.5
    c, s = math.cos(theta), math.sin(theta)
    cover = np.zeros((H, W))
    for dy in offs:
        for dx in offs:
            u, v = (XX + dx - cx) * c + (YY + dy - cy) * s, -(XX + dx - cx) * s + (YY + dy - cy) * c
            cover += (u / a) ** 2 + (v / b) ** 2 < 1
    return cover / (k * k)


def test_a_box_on_an_elongated_ellipse_gives_all_of_it():
    truth = (128.3, 99.6, 90.0, 13.0, 0.1)   # longer than the fitter's default ratio of 4
    img = _paint((0, 0, 0), [(_ellipse_cover(*truth), (0, 0, 204))], noise=0)
    box = (100, 90, 40, 14)
    found = qt.find_shapes(img, qt.suggest_window(img, box), ["ellipse"], box=box, seed=1)
    m = found.shapes[0].shown
    assert found.shapes[0].found and math.hypot(m["x"] - truth[0], m["y"] - truth[1]) < 1.0
    assert sorted((abs(m["a"]), abs(m["b"]))) == pytest.approx(sorted(truth[2:4]), abs=1.0)


@pytest.mark.parametrize("theta", [0.0, 0.7])
def test_refining_an_ellipse_inside_its_edge_reaches_the_edge(theta):
    """A flat colour's region stops a few pixels short of its sharp edge, on both axes: the
    refinement on the picture's edges moves the outline out to it."""
    from quorvane_tools._judge import refine_on_edges

    truth = dict(x=128.3, y=99.6, a=80.0, b=28.0, theta=theta)
    img = _paint((0, 0, 0), [(_ellipse_cover(*truth.values()), (0, 0, 204))], noise=0)
    inset = dict(truth, a=77.5, b=25.6)
    t = np.linspace(0, 2 * math.pi, 200, endpoint=False)
    c, s = math.cos(theta), math.sin(theta)
    u, v = inset["a"] * np.cos(t), inset["b"] * np.sin(t)
    support = np.stack([truth["x"] + u * c - v * s, truth["y"] + u * s + v * c], axis=1)
    m = refine_on_edges("ellipse", inset, support, img, 3.0)
    assert (m["a"], m["b"]) == pytest.approx((80.0, 28.0), abs=0.5)


def test_a_box_on_a_thin_line_gives_that_line_not_a_longer_one():
    """A grid of one-pixel lines, all joined: the box holds a short piece of one; longer ones
    run past the box's ends. A line that runs beside the box, not through it, scores nothing."""
    from quorvane_tools._judge import box_line_score
    from quorvane_tools._regions import thin_edges

    img = np.full((H, W, 3), 235, np.uint8)
    img[40, 10:250] = img[160, 10:250] = 40
    img[10:190, 30] = img[10:190, 230] = 40
    img[100, 30:140] = 40
    box = (80, 94, 40, 12)
    found = qt.find_shapes(img, qt.suggest_window(img, box), ["line"], box=box, seed=1)
    m = found.shapes[0].shown
    assert found.shapes[0].found and abs(abs(m["ny"]) - 1) < 1e-3 and abs(m["py"] - 100) < 1.0
    edges = thin_edges(img)
    corners = (box[0], box[1], box[0] + box[2], box[1] + box[3])
    scores = [box_line_score(qt.shapes.Shape("line", {"px": 130, "py": y, "nx": 0, "ny": 1}, 100, 100, 5),
                             edges, img, corners) for y in (40, 100)]
    assert scores[0] == 0 < scores[1]


# ----------------------------------------------------------------------------
# every object of a colour; no duplicates


def test_every_object_of_a_colour_once():
    truths = [(50.2, 50.3, 28.0), (200.6, 60.1, 34.0), (80.4, 150.2, 30.0), (139.0, 150.0, 29.4),
              (220.3, 160.0, 22.0)]   # the third and fourth touch
    cover = np.zeros((H, W))
    for t in truths:
        cover = np.maximum(cover, _disc(*t))
    img = _paint((35, 40, 60), [(cover, (220, 60, 50))])
    window = qt.Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9))
    found = qt.find_shapes(img, window, ["circle"], every=True, radius=(15, 60), seed=2)
    got = sorted((sh.shown["x"], sh.shown["y"], sh.shown["r"]) for sh in found.shapes)
    assert found.count == len(truths) == len(got)
    for (x, y, r), t in zip(got, sorted(truths)):
        assert math.hypot(x - t[0], y - t[1]) < 1.5 and abs(r - t[2]) < 1.5
    # fitting one after another never returns a circle inside an earlier one
    one = qt.find_shapes(img[:100, :110], window, ["circle", "circle"], radius=(15, 60), seed=2)
    assert one.shapes[0].found and not one.shapes[1].found


# ----------------------------------------------------------------------------
# refinement: the fitter's shape, then least squares on the dense outline


@pytest.mark.parametrize("kind", ["circle", "ellipse"])
def test_refinement_recovers_an_exact_shape(kind):
    if kind == "circle":
        cover, truth = _disc(121.37, 96.81, 47.45), (121.37, 96.81, 47.45, 47.45, 0.0)
    else:
        u = (XX - 130.6) * math.cos(0.45) + (YY - 95.2) * math.sin(0.45)
        v = -(XX - 130.6) * math.sin(0.45) + (YY - 95.2) * math.cos(0.45)
        cover = ((u / 72.3) ** 2 + (v / 41.8) ** 2 < 1).astype(float)
        truth = (130.6, 95.2, 72.3, 41.8, math.degrees(0.45))
    img = _paint((30, 40, 60), [(cover, (220, 40, 40))], noise=0)
    window = qt.Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9))
    sh = qt.find_shapes(img, window, [kind], radius=(20, 100), seed=4).shapes[0]
    if kind == "ellipse":
        x, y, a, b, angle = qt.shapes.ellipse_axes(sh.shown)
    else:
        (x, y, a), b, angle = sh.shown.values(), sh.shown["r"], 0.0
    assert math.hypot(x - truth[0], y - truth[1]) < 0.3
    assert abs(a - truth[2]) < 0.5 and abs(b - truth[3]) < 0.5 and abs(angle - truth[4]) < 0.5
    unrefined = qt.find_shapes(img, window, [kind], radius=(20, 100), seed=4, refine=False).shapes[0]
    assert unrefined.refined is None and unrefined.model == sh.model
    assert "refined" not in unrefined.to_dict() and unrefined.to_dict()["model"] == sh.model


@pytest.mark.parametrize("kind, truth", [
    ("line", {"px": 40.0, "py": 70.0, "nx": math.sin(0.3), "ny": -math.cos(0.3)}),
    ("circle", {"x": 60.2, "y": 40.7, "r": 25.3}),
    ("ellipse", {"x": 80.1, "y": 60.3, "a": 40.0, "b": 22.0, "theta": 0.6}),
])
def test_native_least_squares_on_noisy_points(kind, truth):
    rng = np.random.default_rng(5)
    t = rng.uniform(0, 2 * math.pi, 400)
    if kind == "line":
        s = rng.uniform(-60, 60, 400)
        pts = np.stack([truth["px"] - truth["ny"] * s, truth["py"] + truth["nx"] * s], 1)
        start = {"px": 41.0, "py": 72.0, "nx": math.sin(0.27), "ny": -math.cos(0.27)}
    elif kind == "circle":
        pts = np.stack([truth["x"] + truth["r"] * np.cos(t), truth["y"] + truth["r"] * np.sin(t)], 1)
        start = {"x": 61.0, "y": 40.0, "r": 24.0}
    else:
        c, s_ = math.cos(truth["theta"]), math.sin(truth["theta"])
        u, v = truth["a"] * np.cos(t), truth["b"] * np.sin(t)
        pts = np.stack([truth["x"] + u * c - v * s_, truth["y"] + u * s_ + v * c], 1)
        start = {"x": 79.0, "y": 61.0, "a": 38.0, "b": 24.0, "theta": 0.55}
    pts = pts + rng.normal(0, 0.4, pts.shape)
    clutter = rng.uniform(0, 150, (60, 2))   # far from the shape: outside the band
    clutter = clutter[np.abs(qt._refine.distance(kind, truth, clutter)) > 6]
    m, inside = refine(kind, start, np.concatenate([pts, clutter]), 3.0)
    assert inside[: len(pts)].mean() > 0.99 and not inside[len(pts):].any()
    if kind == "line":   # the same line: its normal, and the truth's point on it
        assert abs(m["nx"] - truth["nx"]) < 0.003 and abs(m["ny"] - truth["ny"]) < 0.003
        assert abs(qt._refine.distance("line", m, np.array([[truth["px"], truth["py"]]]))[0]) < 0.1
        return
    for k, v in truth.items():
        assert abs(m[k] - v) < 0.15, (k, m[k], v)


# ----------------------------------------------------------------------------
# lines at every angle


@pytest.mark.parametrize("degrees", [0.0, 0.6, 90.0, -31.0])
def test_lines_at_every_angle_horizontal_included(degrees):
    a = math.radians(degrees)
    dist = (XX - 130) * -math.sin(a) + (YY - 100) * math.cos(a)
    img = _paint((30, 40, 60), [(np.clip(12.5 - np.abs(dist), 0, 1), (220, 40, 40))], noise=0)
    window = qt.Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9))
    found = qt.find_shapes(img, window, ["line", "line"], seed=1)
    for sh in found.shapes:
        assert sh.found and abs(((qt.shapes.line_angle(sh.shown) - degrees) + 90) % 180 - 90) < 0.2
    # an explicit slope limit keeps the fitter's own rule: exactly horizontal candidates go
    if degrees == 0.0:
        strict = qt.find_shapes(img, window, ["line"], seed=1, slope_limit=0.0).shapes[0]
        assert not strict.found or strict.model["nx"] != 0


# ----------------------------------------------------------------------------
# grey and RGBA pictures


def test_grey_pictures_select_by_intensity(capsys, tmp_path):
    from PIL import Image

    grey = _paint((70, 70, 70), [(_disc(120.4, 95.6, 44.0), (210, 210, 210))], noise=4)[..., 0]
    s = qt.suggest_window(grey, (110, 85, 20, 20))
    assert s.hue is None and s.chroma is None and s.intensity_only
    sel = s.window.mask(grey)
    assert sel.shape == grey.shape and 0.9 < sel[_disc(120.4, 95.6, 44.0) > 0.5].mean()
    x, y, r = _circle(qt.find_shapes(grey, s, ["circle"], box=(110, 85, 20, 20), seed=1))
    assert math.hypot(x - 120.4, y - 95.6) < 1 and abs(r - 44.0) < 1
    path = tmp_path / "grey.png"
    Image.fromarray(grey).save(path)
    from quorvane_tools.cli import main

    assert main(["probe", str(path), "--box", "110", "85", "20", "20"]) == 0
    out = capsys.readouterr().out
    assert "intensity alone: the picture is grey" in out and out.splitlines()[-1].startswith("--intensity ")
    flags = out.splitlines()[-1].split()
    assert main(["find", str(path), *flags, "--fit", "circle", "--json", str(tmp_path / "f.json")]) == 0
    (rec,) = json.loads((tmp_path / "f.json").read_text())["shapes"]
    assert json.loads((tmp_path / "f.json").read_text())["window"]["hue"] is None
    assert math.hypot(rec["x"] - 120.4, rec["y"] - 95.6) < 1


def test_transparent_pixels_are_never_selected():
    rgb = _paint((30, 40, 60), [(_disc(70, 100, 40), (220, 40, 40)), (_disc(190, 100, 40), (220, 40, 40))])
    rgba = np.dstack([rgb, np.full((H, W), 255, np.uint8)])
    rgba[:, 130:, 3] = 0   # the right disc is transparent
    window = qt.Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9))
    found = qt.find_shapes(rgba, window, ["circle"], every=True, radius=(20, 60), seed=1)
    assert not found.mask[:, 130:].any() and found.count == 1 and abs(found.shapes[0].shown["x"] - 70) < 1
    s = qt.suggest_window(rgba, (60, 90, 20, 20))
    assert not s.region[:, 130:].any() and not s.window.mask(rgba)[:, 130:].any()


# ----------------------------------------------------------------------------
# the native region helpers against plain references


def test_flood_levels_are_minimax_path_costs():
    rng = np.random.default_rng(3)
    cost = rng.integers(0, 40, (23, 31)).astype(np.uint8)
    allowed = rng.random((23, 31)) < 0.8
    seeds = np.zeros_like(allowed)
    seeds[11, 15] = allowed[11, 15] = True
    levels = _regions.flood(cost, seeds, allowed)
    # Dijkstra on the largest cost along a path (4-neighbours), the plain way
    import heapq

    best = np.full(cost.shape, 255)
    heap = [(int(cost[11, 15]), 11, 15)]
    while heap:
        c, y, x = heapq.heappop(heap)
        if best[y, x] <= c:
            continue
        best[y, x] = c
        for dy, dx in ((0, 1), (0, -1), (1, 0), (-1, 0)):
            v, u = y + dy, x + dx
            if 0 <= v < 23 and 0 <= u < 31 and allowed[v, u] and best[v, u] == 255:
                heapq.heappush(heap, (max(c, int(cost[v, u])), v, u))
    assert np.array_equal(levels, best)


def test_convex_fill_and_ring_outlines():
    rng = np.random.default_rng(4)
    mask = np.zeros((60, 80), bool)
    mask[rng.integers(5, 55, 12), rng.integers(5, 75, 12)] = True
    filled = _regions.convex_fill(mask)
    hull = _regions.hull(np.argwhere(mask)[:, ::-1].astype(float))
    ys, xs = np.mgrid[0:60, 0:80]
    inside = np.ones((60, 80), bool)
    for a, b in zip(hull, np.roll(hull, -1, axis=0)):   # on one side of every edge (or on it)
        side = (b[0] - a[0]) * (ys - a[1]) - (b[1] - a[1]) * (xs - a[0])
        inside &= side >= -1e-9
    assert np.array_equal(filled, inside | mask)
    disc = _disc(130, 100, 50) > 0.5
    ring = _regions.outline_ring(disc, 130, 100, 50, 50, 0.0, 3)
    every = _regions.outline_points(disc)
    near = every[np.abs(np.hypot(every[:, 0] - 130, every[:, 1] - 100) - 50) < 2]
    assert {tuple(p) for p in near} <= {tuple(p) for p in ring} and len(ring) == len(every)


# ----------------------------------------------------------------------------
# photographs: a few of the photo benchmark's cases






@pytest.mark.parametrize("name", ["coffee-rim", "astronaut-patch", "coins-big", "moto-indicator",
                                  "rocket-mast", "logo-disc-green"])
def test_photo_cases_from_a_box(bench_photos, name):
    (case,) = [c for c in bench_photos.cases() if c.name == name]
    img = bench_photos.picture(case)
    kw = {"radius": tuple(case.radius)} if case.radius else {}
    found = qt.find_shapes(img, qt.suggest_window(img, case.box), [case.kind], box=case.box, seed=1, **kw)
    sh = found.shapes[0]
    shape = dict(sh.shown)
    err = min(bench_photos.error(shape, t) for t in case.truths)
    assert err <= min(bench_photos.tolerance(t) for t in case.truths), err
    assert sh.warning is None


@pytest.mark.parametrize("shape, box", [((1, 40_000), (15_000, 0, 19_000, 1)), ((3, 30_000), (2_000, 0, 9_000, 3))])
def test_outlines_on_a_thin_picture_stay_bounded(monkeypatch, shape, box):
    # A box along a strip once made rays of four times its length sampled every pixel: memory
    # and time grew with the square of the strip's length (gigabytes on a 1 x 1,000,000 strip).
    from quorvane_tools import _object, _object_regions

    rng = np.random.default_rng(3)
    strip = rng.integers(0, 256, (*shape, 3), dtype=np.uint8)
    strip[:, box[0]:box[2]] = (200, 40, 30)
    seen = []
    real = _native.polar_path
    monkeypatch.setattr(_native, "polar_path",
                        lambda cost, *a: (seen.append(cost.shape), real(cost, *a))[1])
    grown = _object.grow_object(strip, box)
    assert seen and all(cols <= _object_regions.POLAR_SAMPLES for _, cols in seen)
    assert grown.region.shape == shape
