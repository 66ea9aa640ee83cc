"""Properties that hold for every input: the colour variants agree, the
filters keep exactly what they should, fitted lines mark exactly their band,
failing calls write nothing, and strided views behave as packed copies."""

import ctypes
import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import quorvane as q
from catalogue import FUNCTIONS, GOOD, Arg, standard_arguments
from hostile import guarded_array

LIBC = ctypes.CDLL(None)
I32_MIN, I32_MAX = -(2**31), 2**31 - 1
SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
ZERO_LINE = {"px": 0, "py": 0, "nx": 0, "ny": 0}
LCH = [q.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)),
       q.calculate_lch_bounds((0.0, math.pi / 2), (0.05, 0.5), (0.2, 0.8)),
       q.calculate_lch_bounds((1.5, 3.0), (0.0, 1.0), (0.0, 1.0))]

int32s = st.integers(I32_MIN, I32_MAX)


def wrap(v):
    return (v - I32_MIN) % 2**32 + I32_MIN


@st.composite
def lch_bounds(draw):
    if draw(st.booleans()):
        return draw(st.sampled_from(LCH))
    entry = st.one_of(st.integers(-400, 400), int32s, st.sampled_from([I32_MIN, I32_MAX, 1 << 24, -32768]))
    m = draw(st.lists(entry, min_size=9, max_size=9))
    window = st.one_of(st.just((I32_MIN, I32_MAX)), st.tuples(int32s, int32s),
                       st.tuples(st.integers(-(2**20), 2**20), st.integers(-(2**20), 2**26)))
    return q.LCHBounds(np.array(m, np.int32), draw(window), draw(window))


def rgb_images(side=6):
    return arrays(np.uint8, st.tuples(st.integers(0, side), st.integers(0, side), st.just(3)))


def point_lists(coords=st.integers(0, 12), max_n=24):
    values = st.one_of(coords, coords, coords, int32s)
    return st.integers(0, max_n).flatmap(lambda n: arrays(np.int32, (n, 2), elements=values))


@SETTINGS
@given(image=rgb_images(), bounds=lch_bounds())
def test_expression_variants_agree_with_the_kernel(image, bounds):
    mask = q.mask_image(image, bounds)
    assert np.array_equal(q.mask_image_py(image, bounds), mask * np.uint8(255))
    with np.errstate(over="ignore"):  # NumPy warns when scalar sums wrap
        for (y, x), inside in np.ndenumerate(mask):
            assert bool(q.mask_color(image[y, x], bounds)) == bool(inside)


@SETTINGS
@given(image=rgb_images(24), bounds=lch_bounds(), rows=st.integers(-2, 40), cols=st.integers(-2, 40),
       cap=st.integers(0, 120))
def test_colour_edge_scan_equals_scan_of_the_mask(image, bounds, rows, cols, cap):
    a = np.full((cap, 2), -7, np.int32)
    b = a.copy()
    n = q.simple_edge_hsv(image, a, bounds._asdict(), rows, cols)
    assert n == q.simple_edge(q.mask_image(image, bounds), b, rows, cols)
    assert np.array_equal(a, b)


@SETTINGS
@given(ps=point_lists(int32s), data=st.data(), in_place=st.booleans())
def test_remove_inliers_keeps_exactly_the_unmarked_points(ps, data, in_place):
    n = len(ps)
    ms = data.draw(arrays(np.uint8, n + data.draw(st.integers(0 if n else 1, 3)),
                          elements=st.sampled_from([0, 0, 1, 255, 7])))
    keep = ps[ms[:n] == 0].copy()
    out = ps if in_place else np.full((max(1, len(keep) + data.draw(st.integers(0, 3))), 2), -5, np.int32)
    before = out.copy()
    k = q.remove_inliers(ps, out, ms)
    assert k == len(keep)
    assert np.array_equal(out[:k], keep) and np.array_equal(out[k:], before[k:])


def joined_segments(points, d):
    """Runs joined across gaps below d, kept when at least d long."""
    def sub(a, b):
        return wrap(a - b)

    def bridges(t, p):
        return (p[1] == t[1] and sub(p[0], t[0]) < d) or (p[0] == t[0] and sub(p[1], t[1]) < d)

    def long_enough(h, t):
        return (t[1] == h[1] and sub(t[0], h[0]) >= d) or (t[0] == h[0] and sub(t[1], h[1]) >= d)

    pairs = [(points[i], points[i + 1]) for i in range(0, len(points) - 1, 2)]
    if not pairs:
        return []
    kept = []
    head, tail = pairs[0]
    for p, end in pairs[1:]:
        if bridges(tail, p):
            tail = end
            continue
        if long_enough(head, tail):
            kept += [head, tail]
        head, tail = p, end
    return kept + [head, tail] if long_enough(head, tail) else kept


@SETTINGS
@given(ps=point_lists(max_n=30), d=st.one_of(st.integers(-3, 8), int32s), in_place=st.booleans())
def test_denoise_keeps_joined_segments_that_are_long_enough(ps, d, in_place):
    expected = joined_segments([tuple(p) for p in ps.tolist()], d)
    out = ps if in_place else np.full((len(ps) + 1, 2), -5, np.int32)
    before = out.copy()
    k = q.simple_denoise(ps, out, d)
    assert [tuple(p) for p in out[:k].tolist()] == expected
    assert np.array_equal(out[k:], before[k:])


def in_band(line, delta, x, y):
    px, py, nx, ny = line.values()
    e = nx * (x - px) + ny * (y - py)
    s = int(delta * math.sqrt(nx * nx + ny * ny))
    return -s <= e <= s


def check_line_drawn_from(line, pts):
    if line == ZERO_LINE:
        return
    assert (line["px"], line["py"]) in pts
    x1, y1 = line["px"] - line["ny"], line["py"] + line["nx"]
    assert (x1, y1) in pts


# Points on a few lines of a coarse grid, so that fits find real lines.
fit_points = st.lists(st.tuples(st.integers(0, 30), st.integers(0, 30)), max_size=40).map(
    lambda pts: [(x * 100, y * 100 + x % 3) for x, y in pts])


@SETTINGS
@given(pts=fit_points, count=st.integers(-1, 40), delta=st.integers(-2, 150), limit=st.floats(-1.1, 1.1),
       ratio=st.floats(-1.1, 1.1), seed=st.integers(0, I32_MAX), pair=st.booleans())
def test_fitted_lines_mark_exactly_their_bands(pts, count, delta, limit, ratio, seed, pair):
    ps = np.array(pts, np.int32).reshape(-1, 2)
    n = len(pts)
    ms = np.full(n + 3, 9, np.uint8)
    LIBC.srand(seed)
    if pair:
        lines = q.ransac_line2(ps, ms, count, ratio, delta)
    else:
        lines = (q.ransac_line(ps, ms, count, delta, limit),)
    for line in lines:
        check_line_drawn_from(line, pts)
    assert ms.tolist() == [int(any(in_band(l, delta, x, y) for l in lines)) for x, y in pts] + [9, 9, 9]


@SETTINGS
@given(pts=fit_points, count=st.integers(-1, 30), lo=st.integers(-5, 1500), hi=st.integers(-5, 3000),
       delta=st.integers(-3, 60), seed=st.integers(0, I32_MAX))
def test_fitted_circles_respect_the_radius_limits(pts, count, lo, hi, delta, seed):
    LIBC.srand(seed)
    c = q.ransac_circle(np.array(pts, np.int32).reshape(-1, 2), count, lo, hi, delta)
    assert c == {"x": 0, "y": 0, "r": 0} or lo <= c["r"] <= hi


# ------------------------------------------- failing calls write nothing


@SETTINGS
@given(img=rgb_images(8).filter(lambda a: a.shape[0] and a.shape[1]), ps=point_lists(int32s).filter(len),
       data=st.data())
def test_failing_calls_leave_outputs_untouched(img, ps, data):
    out = data.draw(arrays(np.uint8, img.shape[:2]))
    ps_out = data.draw(arrays(np.int32, ps.shape))
    ms = data.draw(arrays(np.uint8, len(ps)))
    arguments = standard_arguments(img, ps, out, ps_out, ms)
    outputs = [out, ps_out, ms]
    before = [a.copy() for a in outputs]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for entry in FUNCTIONS:
            for call in entry.failing:
                with pytest.raises(call.raises):
                    call.run(entry.fn, arguments)
                assert all(np.array_equal(a, b) for a, b in zip(outputs, before)), entry.name


# ----------------------------------------- strided views as packed copies


def scattered(data, arr, fill):
    """A view with `arr`'s contents whose leading dimensions are strided
    (steps, reversals) inside a guarded base filled with `fill`; returns the
    view and a check that no byte outside its elements changed."""
    lead = arr.ndim - 1 if arr.ndim > 1 else 1
    steps = [data.draw(st.sampled_from([1, 2, 3, -1, -2])) for _ in range(lead)] + [1] * (arr.ndim - lead)
    # The strides of a larger packed array (each stepped extent one longer), signed by the steps.
    larger = [e * abs(k) + 1 if d < lead else e for d, (e, k) in enumerate(zip(arr.shape, steps))]
    strides = [s * (1 if k > 0 else -1) * (abs(k) if d < lead else 1)
               for d, (s, k) in enumerate(zip(np.zeros(larger, arr.dtype).strides, steps))]
    view, base, covered = guarded_array(arr.dtype, arr.shape, strides, fill=fill)
    view[...] = arr
    return view, lambda: (base[~covered] == fill).all()


def run_fn(entry, arguments):
    LIBC.srand(12345)
    return entry.valid.run(entry.fn, arguments)


# Every function that takes arrays, with its packed call.
VIEW_CASES = [f for f in FUNCTIONS if any(p.kind in ("rgb", "bytes", "points", "mask") for p in f.params)]


@pytest.mark.parametrize("entry", VIEW_CASES, ids=lambda e: e.name)
@settings(max_examples=15, deadline=None)
@given(img=rgb_images(12), ps=point_lists(), data=st.data())
def test_strided_views_behave_as_packed_copies(entry, img, ps, data):
    h, w = img.shape[:2]
    packed = {"img": img, "mask": img[:, :, 0] & 1, "out": np.full((h, w), 3, np.uint8), "ps": ps,
              "ps_out": np.full((len(ps) + 4, 2), 3, np.int32), "ms": np.append(ps[:, 0] & 1, 0).astype(np.uint8),
              "lch": LCH[0], "bounds": LCH[0]._asdict(), "good": GOOD}
    arrays_used = [a.name for a in entry.valid.args if isinstance(a, Arg) and a.name in packed]
    strided, untouched_outside = dict(packed), []
    for name in arrays_used:
        if isinstance(packed[name], np.ndarray) and name != "ms":  # a point mask must be contiguous
            strided[name], check = scattered(data, packed[name].copy(), 77)
            untouched_outside.append((name, check))
        elif isinstance(packed[name], np.ndarray):
            strided[name] = packed[name].copy()
    packed = {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in packed.items()}
    expected = run_fn(entry, packed)
    got = run_fn(entry, strided)
    if entry.params[-1].default is None:  # the function returns its buffer
        assert got is strided["out"]
    else:
        assert got == expected
    for param, arg in zip(entry.params, entry.valid.args):
        if param.output:
            assert np.array_equal(strided[arg.name], packed[arg.name])
    for name, check in untouched_outside:
        assert check(), f"{name} written outside its elements"
