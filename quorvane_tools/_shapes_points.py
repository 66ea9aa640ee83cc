"""The fitters' own inlier tests on whole point lists, and the denoised scan-line edge points
the fitters see (the first stages of ``find_shapes``)."""

from __future__ import annotations

import functools
import math
import threading
import time

import numpy as np

import quorvane

from ._records import SAMPLE

# --------------------------------------------------------------------------
# The fitters' own inlier tests, on whole point lists


def inliers_of(kind: str, model, ps, delta: int) -> np.ndarray:
    """Which points the fitter's own inlier test counts for a fitter's record.

    Parameters
    ----------
    kind : {"line", "line2", "circle", "ellipse"}
        The fitter that made ``model``.
    model : dict or tuple of two dicts
        The fitter's exact record (its integers or doubles as returned, not a refined model).
    ps : array_like
        An (n, 2) array of integer (x, y) points.
    delta : int
        The inlier band's half-width the fitter was given.

    Returns
    -------
    numpy.ndarray
        A boolean array of n values: True for the points inside the band or ring.

    Notes
    -----
    Lines and circles are tested exactly as the fitters test them (for coordinates and radii
    whose squares stay within 32 bits). An ellipse's ring is formed from the record's
    semi-axes as the fitter forms it from its conic's: inner ``a - delta``, outer that plus
    ``2 delta``. The record's ``a`` is the fitter's outer semi-axis less ``delta``, a
    subtraction that never rounds, so the outer edge is the fitter's own; the inner edge is
    too, except where the fitter's ``a - delta + 2 delta`` rounded (an inner semi-axis just
    below a power of two and odd in its last bit): then the fitter's inner semi-axis is one
    of two neighbouring doubles that the record cannot tell apart, and a point within that
    last bit of the inner edge may be counted differently.

    Examples
    --------
    >>> import numpy as np
    >>> ps = np.array([[10, 0], [12, 0], [13, 0], [0, 9]], np.int32)
    >>> inliers_of("circle", {"x": 0, "y": 0, "r": 10}, ps, 2)
    array([ True,  True, False,  True])
    """
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
    return ps[:-1] if len(ps) % 2 == 0 and len(ps) > SAMPLE["ellipse"] else ps


def _elongation(obj) -> float:
    """The ratio of the longer to the shorter axis of a region's ellipse of inertia."""
    ys, xs = np.nonzero(obj)
    if len(xs) < 5:
        return 1.0
    cov = np.cov(np.stack([xs, ys]).astype(np.float64))
    lo, hi = np.linalg.eigvalsh(cov)
    return math.sqrt(hi / lo) if lo > 0 else 1.0


def _edge_points_hsv(img, bounds, rows, columns, min_distance, times=None):
    """``_edge_points`` of the window's selection, classifying only the scanned pixels (the
    same points as a scan of the whole selection)."""
    h, w = img.shape[:2]
    edges = _scratch("edges", (min(rows, h) * (w + 1) + min(columns, w) * (h + 1), 2), np.int32)
    n = quorvane.simple_edge_hsv(img, edges, _mapping(bounds), rows, columns)
    return _denoised(edges[:n], h, w, min_distance, times)


def _mapping(bounds) -> dict:
    """A bounds mapping for the edge scan (its M as a list: the scan reads it once)."""
    return {"i": tuple(bounds.i), "c": tuple(bounds.c), "M": np.asarray(bounds.M).ravel().tolist()}


def _edge_points(source, rows, columns, min_distance, times=None):
    """Denoised scan-line edge points of a mask, in a fixed shuffled order; run ends on the
    picture's own edge are left out (the frame cuts the object there: that is no outline)."""
    h, w = source.shape
    # Room for every point the scan can write: at most one per pixel read, plus the closing
    # point of each scan line.
    edges = _scratch("edges", (min(rows, h) * (w + 1) + min(columns, w) * (h + 1), 2), np.int32)
    n = quorvane.simple_edge(source, edges, rows, columns)
    return _denoised(edges[:n], h, w, min_distance, times)


def _denoised(edges, h, w, min_distance, times=None):
    t = time.perf_counter()
    kept = np.empty((max(len(edges), 1), 2), np.int32)
    m = quorvane.simple_denoise(edges, kept, min_distance)
    pts = kept[:m]
    x, y = pts[:, 0], pts[:, 1]
    inner = (x > 0) & (x < w - 1) & (y > 0) & (y < h - 1)
    if not inner.all():
        pts = pts[inner]
    pts = pts[_shuffle(len(pts))]
    if times is not None:
        times["denoise"] = time.perf_counter() - t
    return pts


