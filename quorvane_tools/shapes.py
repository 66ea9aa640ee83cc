"""The whole chain in one call: mask, edge points, denoise, then fit, remove the inliers and fit
again, once per requested shape."""

from __future__ import annotations

import ctypes
import functools
import math
import threading
import time
from dataclasses import dataclass, field

import numpy as np

import quorvane

from ._arrays import as_rgb, region_mask
from ._regions import dilate, labels
from .color import Window

__all__ = ["FITS", "Shape", "Found", "find_shapes", "inliers_of"]

FITS = ("line", "line2", "circle", "ellipse")
_KEYS = {
    "line": ("px", "py", "nx", "ny"),
    "circle": ("x", "y", "r"),
    "ellipse": ("x", "y", "a", "b", "theta"),
}
_SAMPLE = {"line": 2, "line2": 4, "circle": 3, "ellipse": 5}
_libc = None
np.random.default_rng(0)  # NumPy's generator module loads on first use: not inside a timed stage


def seed_c_generator(seed: int) -> None:
    """Seed the C library's generator, which every fitter call draws from once."""
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None)
    _libc.srand(ctypes.c_uint(int(seed) & 0xFFFFFFFF))


@dataclass
class Shape:
    """One fitted shape.

    ``model`` is the fitter's dict (a tuple of two dicts for ``line2``); ``inliers`` counts the
    points within ``delta`` of it, by the fitter's own test, among the ``points`` it was given;
    ``warning`` says why a fit looks weak, or is None; ``times`` maps stages to seconds."""

    kind: str
    model: dict | tuple
    inliers: int
    points: int
    delta: int
    warning: str | None = None
    times: dict = field(default_factory=dict)

    @property
    def found(self) -> bool:
        if self.kind == "line2":
            return any(_line_found(m) for m in self.model)
        if self.kind == "line":
            return _line_found(self.model)
        return _model_found(self.model) and self.inliers > 0

    def to_dict(self) -> dict:
        """The record as written by ``quorvane find --json``."""
        if self.kind == "line2":
            rec = {"shape": "line2", "lines": [dict(m) for m in self.model]}
        else:
            rec = {"shape": self.kind, **self.model}
        rec["inliers"] = self.inliers
        rec["warning"] = self.warning
        return rec

    def describe(self) -> str:
        """One phrase for where the shape is (angles in degrees from the x axis, y down)."""
        if not self.found:
            return "not found"
        m = self.model
        if self.kind == "line":
            return f"through ({m['px']}, {m['py']}) at {line_angle(m):.1f} deg"
        if self.kind == "line2":
            a, b = m
            return (
                f"through ({a['px']}, {a['py']}) and ({b['px']}, {b['py']}) "
                f"at {line_angle(a):.1f} / {line_angle(b):.1f} deg"
            )
        if self.kind == "circle":
            return f"centre ({m['x']}, {m['y']}), radius {m['r']}"
        x, y, major, minor, angle = ellipse_axes(m)
        return f"centre ({x:.1f}, {y:.1f}), semi-axes {major:.1f} x {minor:.1f} at {angle:.1f} deg"


def _model_found(m) -> bool:
    return any(v != 0 for v in m.values())


def _line_found(m) -> bool:
    return bool(m["nx"] or m["ny"])


def line_angle(m) -> float:
    """A line's direction in degrees, in [-90, 90)."""
    angle = math.degrees(math.atan2(m["nx"], -m["ny"]))  # direction (-ny, nx)
    return (angle + 90) % 180 - 90


def ellipse_axes(m):
    """(x, y, major, minor, angle of the major axis in degrees within [-90, 90))."""
    a, b, theta = abs(m["a"]), abs(m["b"]), m["theta"]
    if a < b:
        a, b, theta = b, a, theta + math.pi / 2
    return m["x"], m["y"], a, b, (math.degrees(theta) + 90) % 180 - 90


@dataclass
class Found:
    """What ``find_shapes`` found: the shapes in the order asked for, the colour mask, the
    denoised edge points the fitters saw, and the time of every stage in seconds."""

    window: Window
    shapes: list
    mask: np.ndarray
    points: np.ndarray
    times: dict

    def to_dict(self) -> dict:
        """The window and the records of the shapes that were found."""
        window = self.window.to_dict() if self.window is not None else None
        return {"window": window, "shapes": [s.to_dict() for s in self.shapes if s.found]}


# --------------------------------------------------------------------------
# The fitters' own inlier tests, on whole point lists


def inliers_of(kind: str, model, ps, delta: int) -> np.ndarray:
    """Boolean array: which points of ``ps`` the fitter's test counts as inliers of ``model``."""
    ps = np.asarray(ps)
    x = ps[:, 0].astype(np.int64)
    y = ps[:, 1].astype(np.int64)
    if kind == "line":
        nx, ny, px, py = (int(model[k]) for k in ("nx", "ny", "px", "py"))
        s = int(delta * math.sqrt(float(nx * nx + ny * ny)))
        e = nx * (x - px) + ny * (y - py)
        return (-s <= e) & (e <= s)
    if kind == "line2":
        return inliers_of("line", model[0], ps, delta) | inliers_of("line", model[1], ps, delta)
    if kind == "circle":
        cx, cy, r = (int(model[k]) for k in ("x", "y", "r"))
        d = (x - cx) ** 2 + (y - cy) ** 2
        return ((r - delta) ** 2 <= d) & (d <= (r + delta) ** 2)
    if kind == "ellipse":
        inner = _conic(model, model["a"] - delta, model["b"] - delta)
        outer = _conic(model, (model["a"] - delta) + float(2 * delta), (model["b"] - delta) + float(2 * delta))
        xf, yf = x.astype(np.float64), y.astype(np.float64)
        return (_eval(inner, xf, yf) >= 0) & (_eval(outer, xf, yf) <= 0)
    raise ValueError(f"unknown shape {kind!r}")


def _on_line(m, x, y, delta) -> bool:
    """The line fitters' band test for one point."""
    nx, ny = m["nx"], m["ny"]
    s = int(delta * math.sqrt(float(nx * nx + ny * ny)))
    return -s <= nx * (x - m["px"]) + ny * (y - m["py"]) <= s


def _conic(m, a, b):
    s, k = math.sin(m["theta"]), math.cos(m["theta"])
    x0, y0 = m["x"], m["y"]
    cxx = a * a * s * s + b * b * k * k
    cxy = 2 * (b * b - a * a) * s * k
    cyy = a * a * k * k + b * b * s * s
    cx = -2 * cxx * x0 - cxy * y0
    cy = -cxy * x0 - 2 * cyy * y0
    c1 = cxx * x0 * x0 + cxy * x0 * y0 + cyy * y0 * y0 - a * a * b * b
    return cxx, cxy, cyy, cx, cy, c1


def _eval(c, x, y):
    cxx, cxy, cyy, cx, cy, c1 = c
    return cxx * x * x + cxy * x * y + cyy * y * y + cx * x + cy * y + c1


# --------------------------------------------------------------------------
# The chain


_local = threading.local()


def _scratch(name, shape, dtype):
    """A per-thread array reused from call to call, for buffers that never leave this module."""
    arr = getattr(_local, name, None)
    if arr is None or arr.shape != shape or arr.dtype != dtype:
        arr = np.empty(shape, dtype)
        setattr(_local, name, arr)
    return arr


@functools.lru_cache(maxsize=64)
def _shuffle(m: int) -> np.ndarray:
    """A fixed shuffle of m indices, so that points next to each other on a scan line do not
    sit at indices that the sampler's short cycles pair up."""
    order = np.random.default_rng(0).permutation(m)
    order.flags.writeable = False
    return order


def _odd(ps):
    """The fitters pick point ``state mod n`` of a linear congruential state whose low bits
    repeat in short cycles: with n even (worst: a power of two) whole families of samples are
    never drawn. Leaving out the last point makes n odd, so every bit of the state counts."""
    return ps[:-1] if len(ps) % 2 == 0 and len(ps) > _SAMPLE["ellipse"] else ps


def _expected_outline_points(kind, model, rows, cols, shape):
    """About how many scan-line crossings the outline of a circle or an ellipse has."""
    if kind == "circle":
        a = b = float(model["r"])
    else:
        a, b = abs(model["a"]), abs(model["b"])
    th = model.get("theta", 0.0)
    # Extents of the outline along y and x, each crossed twice by every scan line through it.
    ext_y = 2 * math.hypot(a * math.sin(th), b * math.cos(th))
    ext_x = 2 * math.hypot(a * math.cos(th), b * math.sin(th))
    h, w = shape
    return 2 * (ext_y * min(rows, h) / h + ext_x * min(cols, w) / w)


def find_shapes(
    image,
    window,
    fits=("circle",),
    *,
    radius=None,
    delta=None,
    count: int = 400,
    seed=None,
    rows: int = 128,
    columns: int = 128,
    min_distance: int = 3,
    slope_limit: float = 0.0,
    ratio: float = 4.0,
    parallel: float = 0.95,
    region=None,
) -> Found:
    """Find shapes of one colour in an RGB image.

    ``window`` is a ``Window`` or a ``Suggestion`` (or three limit pairs, a dict of them, or the
    ``LCHBounds`` of ``calculate_lch_bounds``, then ``Found.window`` is None); ``fits`` is
    a sequence of "line", "line2", "circle" and "ellipse": each fit runs on the points that the
    fits before it left over (their inliers are removed), so ``["line", "line"]`` finds two lines.
    ``radius`` = (min, max) bounds circles' radii and ellipses' semi-axes (default: 8 to half the
    image's smaller side); ``delta`` is the inlier band's half-width (default 5 for lines, 2 for
    circles and ellipses). ``seed`` seeds the C library's generator once before the first fit, so
    the same image and seed give the same shapes. ``rows``, ``columns`` are the scan lines,
    ``min_distance`` the denoising gap, ``slope_limit``, ``ratio`` and ``parallel`` are passed to
    ``ransac_line``, ``ransac_ellipse`` and ``ransac_line2``. ``region`` (a box (x, y, w, h) or a
    boolean mask, e.g. ``suggestion.region``) keeps only the edge points inside it."""
    img = as_rgb(image)
    window, bounds = _as_window(window)
    if window is not None:
        window.check()
    fits = [fits] if isinstance(fits, str) else list(fits)
    for f in fits:
        if f not in FITS:
            raise ValueError(f"unknown fit {f!r}; expected one of {', '.join(FITS)}")
    h, w = img.shape[:2]
    if radius is None:
        radius = (8, max(8, min(h, w) // 2))
    min_r, max_r = (int(v) for v in radius)
    if min_r > max_r or max_r <= 0:
        raise ValueError(f"radius range {min_r} {max_r} needs 0 <= MIN <= MAX and MAX > 0")

    times: dict[str, float] = {}
    clock = time.perf_counter
    t0 = clock()
    bounds = window.bounds() if bounds is None else bounds
    t1 = clock()
    mask = np.empty((h, w), np.uint8)  # every byte is written: no need to clear it first
    quorvane.mask_image(img, bounds, mask)
    t2 = clock()
    # Room for every point the scan can write: at most one per pixel read, plus the closing
    # point of each scan line.
    edges = _scratch("edges", (min(rows, h) * (w + 1) + min(columns, w) * (h + 1), 2), np.int32)
    n = quorvane.simple_edge(mask, edges, rows, columns)
    t3 = clock()
    kept = np.empty((max(n, 1), 2), np.int32)
    m = quorvane.simple_denoise(edges[:n], kept, min_distance)
    points = kept[:m][_shuffle(m)]
    t4 = clock()
    times.update(bounds=t1 - t0, mask=t2 - t1, edges=t3 - t2, denoise=t4 - t3)
    if region is not None:
        keep = region_mask(img.shape, region, "region")
        points = points[keep[points[:, 1], points[:, 0]]]
        times["region"] = clock() - t4

    if seed is not None:
        seed_c_generator(seed)
    shapes = []
    ps = points
    ms = np.empty(max(len(points), 1), np.uint8)
    for kind in fits:
        d = int(delta) if delta is not None else (5 if kind in ("line", "line2") else 2)
        st: dict[str, float] = {}
        args = (ms, d, count, min_r, max_r, slope_limit, ratio, parallel)
        shape, marks = _fit_one(kind, ps, *args, st)
        if shape.found:
            shape.warning = _weakness(shape, min_r, max_r, rows, columns, (h, w))
        scan = (rows, columns, (h, w))
        if kind in ("circle", "ellipse") and (_weak(shape) or _coverage(shape, scan) < DOUBTFUL):
            # A weak or doubtful fit among clutter: look again within each large part of the
            # selection, then with more samples, and keep the best candidate that is not weak.
            t = clock()
            candidates = [(shape, marks)] if shape.found and not _weak(shape) else []
            if region is None:
                candidates += _focused(kind, ps, mask, args, scan)
            if not any(_coverage(c, scan) >= 0.8 for c, _ in candidates):
                candidates += _retry(kind, ps, (ms, d, 8 * count, *args[3:]), scan)
            if candidates:
                shape, marks = max(candidates, key=lambda c: _score(c[0], scan))
            st["fit"] = st.get("fit", 0.0) + clock() - t
        shape.times = st
        if shape.found:
            t = clock()
            ps = ps[~marks]
            st["remove"] = clock() - t
        shapes.append(shape)
    times["fit"] = sum(s.times.get("fit", 0.0) for s in shapes)
    times["remove"] = sum(s.times.get("remove", 0.0) for s in shapes)
    return Found(window, shapes, mask, points, times)


def _as_window(window):
    """(Window or None, LCHBounds or None) from a Window, a Suggestion, three limit pairs, a dict
    with "hue", "chroma" and "intensity", or bounds from ``calculate_lch_bounds``."""
    if isinstance(window, Window):
        return Window(*window), None
    if isinstance(window, dict):
        window = (window["hue"], window["chroma"], window["intensity"])
    elif hasattr(window, "_fields") and tuple(window._fields) == ("M", "i", "c"):
        return None, window
    try:
        hue, chroma, intensity = window
        return Window(*(tuple(float(v) for v in pair[:2]) for pair in (hue, chroma, intensity))), None
    except (TypeError, ValueError):
        raise TypeError(
            "window must be a Window, (hue, chroma, intensity) limit pairs, or LCHBounds"
        ) from None


def _weak(shape) -> bool:
    return not shape.found or (shape.warning is not None and shape.warning.startswith("weak"))


DOUBTFUL = 0.6  # circles and ellipses whose inliers cover less of the outline get a second look


def _coverage(shape, scan) -> float:
    """Inliers of a circle or an ellipse over the scan-line crossings its outline should have."""
    if not shape.found:
        return 0.0
    expected = _expected_outline_points(shape.kind, shape.model, *scan)
    return shape.inliers / expected if expected > 0 else 0.0


def _score(shape, scan) -> float:
    """Inliers, discounted when they cover little of the outline: a large shape drawn through
    scattered clutter scores below a smaller one that its points trace all round."""
    return shape.inliers * min(1.0, _coverage(shape, scan) / 0.8)


def _candidate(kind, sub, ps, args, scan):
    """A fit on the points ``sub``, judged on all the points ``ps``; [] if weak or not found."""
    cand, _ = _fit_one(kind, sub, *args, {})
    if not cand.found:
        return []
    marks = inliers_of(kind, cand.model, ps, cand.delta)
    cand.inliers, cand.points = int(np.count_nonzero(marks)), len(ps)
    cand.warning = _weakness(cand, args[3], args[4], *scan)
    return [] if _weak(cand) else [(cand, marks)]


def _focused(kind, ps, mask, args, scan):
    """Fits within each of the largest connected parts of the selection, widened by a margin:
    the candidates that are not weak, as (shape, marks) pairs."""
    lab, f = labels(mask.view(bool))
    sizes = np.bincount(lab.ravel())[1:]
    if len(sizes) < 2:
        return []  # one part: the first fit saw it alone already
    h, w = mask.shape
    margin = max(1, math.ceil(max(4, 0.05 * max(h, w)) / f))
    out = []
    for k in np.argsort(sizes)[::-1][:4]:
        if sizes[k] < 4:
            break
        part = dilate(lab == k + 1, margin)
        sub = ps[part[ps[:, 1] // f, ps[:, 0] // f]]
        if len(sub) >= _SAMPLE[kind]:
            out += _candidate(kind, sub, ps, args, scan)
    return out


def _retry(kind, ps, args, scan):
    """One more fit over all the points, with the given (larger) sample count."""
    return _candidate(kind, ps, ps, args, scan)


def _fit_one(kind, ps, ms, d, count, min_r, max_r, slope_limit, ratio, parallel, st):
    """One fitter call; returns the Shape and which points of ``ps`` are its inliers."""
    n_all = len(ps)
    empty = (
        tuple(dict.fromkeys(_KEYS["line"], 0) for _ in range(2))
        if kind == "line2"
        else dict.fromkeys(_KEYS[kind], 0.0 if kind == "ellipse" else 0)
    )
    if n_all < _SAMPLE[kind] or count <= 0:
        return Shape(kind, empty, 0, n_all, d), None
    sample = _odd(ps)
    t = time.perf_counter()
    if kind == "line":
        model = quorvane.ransac_line(sample, ms, count, d, slope_limit)
    elif kind == "line2":
        model = quorvane.ransac_line2(sample, ms, count, parallel, d)
    elif kind == "circle":
        model = quorvane.ransac_circle(sample, count, min_r, max_r, d)
    else:
        model = quorvane.ransac_ellipse(sample, count, min_r, max_r, ratio, d)
    st["fit"] = time.perf_counter() - t
    shape = Shape(kind, model, 0, n_all, d)
    if kind in ("line", "line2"):
        if not shape.found:
            return shape, None
        # The fitter marked its inliers among the points it saw; test the one left out.
        marks = np.empty(n_all, bool)
        marks[: len(sample)] = ms[: len(sample)].view(bool)
        for k in range(len(sample), n_all):  # one point at most: plain arithmetic is quicker
            x, y = int(ps[k, 0]), int(ps[k, 1])
            lines = model if kind == "line2" else (model,)
            marks[k] = any(_on_line(m, x, y, d) for m in lines)
    elif _model_found(model):
        marks = inliers_of(kind, model, ps, d)
    else:
        return shape, None
    shape.inliers = int(np.count_nonzero(marks))
    return shape, marks


def _weakness(shape, min_r, max_r, rows, columns, size):
    """Why a fit looks weak, or None."""
    m, k, n = shape.model, shape.kind, shape.inliers
    if n < 12:
        return f"weak: only {n} inliers"
    if k in ("circle", "ellipse"):
        radii = (m["r"],) if k == "circle" else (abs(m["a"]), abs(m["b"]))
        for r in radii:
            if r <= min_r + 1 or r >= max_r - 1:
                return f"at the radius limit ({min_r}..{max_r}): widen --radius"
        expected = _expected_outline_points(k, m, rows, columns, size)
        if expected > 0 and n < 0.35 * expected:
            return f"weak: inliers cover {100 * n / expected:.0f}% of the outline"
    if n < 0.05 * shape.points:
        return f"weak: {n} inliers of {shape.points} points"
    return None
