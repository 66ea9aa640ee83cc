"""How well a fitted shape holds: refinement on the selection's dense outline, the share of the
shape's outline the selection follows, and the warnings that follow from it.

Warnings say why a shape deserves a second look: too few inliers, a radius at a limit of the
range asked for, an outline the selection follows for too little of its length (circles and
ellipses), inliers scattered along a line instead of one continuous stretch, or a shape that
lies inside an earlier one."""

from __future__ import annotations

import math

import numpy as np

from ._refine import as_float, distance, outline_samples, refine as refine_model
from ._regions import outline_points

__all__ = ["judge", "coverage", "quick_coverage", "inside_earlier"]

MIN_INLIERS = 12  # fewer inliers than this: weak
MIN_COVERAGE = 0.45  # circles, ellipses: the selection follows less of the outline: weak
MIN_CONTINUITY = 0.5  # lines: the longest continuous stretch is less of the inliers' extent
GAP = 4.0  # pixels: a line's stretch continues over gaps up to this


def _near(kind, m, source, band):
    """The source's outline points within ``band`` (plus a margin) of a float model."""
    rows, cols = source.shape
    if kind == "line":
        c = -(m["nx"] * m["px"] + m["ny"] * m["py"])
        return outline_points(source, None, (m["nx"], m["ny"], c, band + 1.0))
    reach = (m["r"] if kind == "circle" else max(abs(m["a"]), abs(m["b"]))) + band + 2
    x0, y0 = math.floor(m["x"] - reach), math.floor(m["y"] - reach)
    x1, y1 = math.ceil(m["x"] + reach) + 1, math.ceil(m["y"] + reach) + 1
    if x1 <= 0 or y1 <= 0 or x0 >= cols or y0 >= rows:
        return np.empty((0, 2))
    pts = outline_points(source, (x0, y0, x1, y1))
    return pts[np.abs(distance(kind, m, pts)) <= band + 1.0] if len(pts) else pts


def _valid(m):
    return all(np.isfinite(v) for v in m.values()) and (
        "r" not in m or m["r"] > 0) and ("a" not in m or (m["a"] != 0 and m["b"] != 0))


def coverage(kind, m, pts, shape_hw, band) -> float:
    """Circles and ellipses: the share of the outline (where it lies inside the picture, off its
    edge) with an outline point of the selection within ``band``. Lines: the longest continuous
    stretch of points along the line over the extent of all of them."""
    if kind == "line":
        near = pts[np.abs(distance(kind, m, pts)) <= band] if len(pts) else pts
        if len(near) < 2:
            return 0.0
        along = np.sort(near[:, 0] * -m["ny"] + near[:, 1] * m["nx"])
        extent = along[-1] - along[0]
        if extent <= 0:
            return 0.0
        cuts = np.flatnonzero(np.diff(along) > GAP)
        starts = np.concatenate(([0], cuts + 1))
        ends = np.concatenate((cuts, [len(along) - 1]))
        return float(np.max(along[ends] - along[starts]) / extent)
    rows, cols = shape_hw
    samples = outline_samples(kind, m, 1.0)
    n = len(samples)
    inside = (samples[:, 0] >= 1) & (samples[:, 0] <= cols - 2) & (samples[:, 1] >= 1) & (samples[:, 1] <= rows - 2)
    if not inside.any():
        return 0.0
    near = pts[np.abs(distance(kind, m, pts)) <= band] if len(pts) else pts
    if len(near) == 0:
        return 0.0
    dx, dy = near[:, 0] - m["x"], near[:, 1] - m["y"]
    if kind == "circle":
        t = np.arctan2(dy, dx)
    else:
        c, s = math.cos(m["theta"]), math.sin(m["theta"])
        u, v = (c * dx + s * dy) / m["a"], (-s * dx + c * dy) / m["b"]
        t = np.arctan2(v, u)
    idx = np.round(np.mod(t, 2 * math.pi) / (2 * math.pi) * n).astype(np.int64) % n
    hit = np.zeros(n, bool)
    hit[idx] = True
    hit = hit | np.roll(hit, 1) | np.roll(hit, -1)  # a point covers its neighbours' samples too
    return float(np.count_nonzero(hit & inside) / np.count_nonzero(inside))


def quick_coverage(shape, source) -> float:
    """The coverage of a fitter's model (circles and ellipses), without refinement."""
    if not shape.found or shape.kind not in ("circle", "ellipse"):
        return 0.0
    m = as_float(shape.kind, shape.model)
    if not _valid(m):
        return 0.0
    return coverage(shape.kind, m, _near(shape.kind, m, source, shape.delta), source.shape, shape.delta + 0.5)


def judge(shape, source, min_r, max_r, *, refine: bool, earlier) -> None:
    """Refine a found shape on the source's outline (``refine``), measure its coverage and set
    its warning; ``earlier`` are the shapes found before it."""
    kind = shape.kind
    parts = shape.model if kind == "line2" else (shape.model,)
    sub = "line" if kind == "line2" else kind
    refined, covers = [], []
    for model in parts:
        if sub == "line" and not (model["nx"] or model["ny"]):
            refined.append(None)
            continue
        m = as_float(sub, model)
        if not _valid(m):
            refined.append(None)
            continue
        band = shape.delta + 1.0
        pts = _near(sub, m, source, band)
        if refine and len(pts):
            m, _ = refine_model(sub, m, pts, band)
        covers.append(coverage(sub, m, pts, source.shape, shape.delta + 0.5))
        refined.append(m)
    if refine and all(r is not None for r in refined):
        shape.refined = tuple(refined) if kind == "line2" else refined[0]
    shape.coverage = min(covers) if covers else 0.0
    shape.warning = _warning(shape, min_r, max_r, earlier)


def _warning(shape, min_r, max_r, earlier):
    n, kind = shape.inliers, shape.kind
    if n < MIN_INLIERS:
        return f"weak: only {n} inliers"
    m = shape.shown
    if kind in ("circle", "ellipse"):
        radii = (m["r"],) if kind == "circle" else (abs(m["a"]), abs(m["b"]))
        for r in radii:
            if r <= min_r + 1 or r >= max_r - 1:
                return f"at the radius limit ({min_r}..{max_r}): widen --radius"
        if shape.coverage < MIN_COVERAGE:
            return f"weak: the selection follows {100 * shape.coverage:.0f}% of its outline"
        k = _inside(shape, earlier)
        if k is not None:
            return f"inside shape {k}"
    elif shape.coverage < MIN_CONTINUITY:
        return f"scattered: its longest stretch is {100 * shape.coverage:.0f}% of the inliers' extent"
    if n < 0.05 * shape.points:
        return f"weak: {n} inliers of {shape.points} points"
    return None


def _centre(shape):
    m = shape.shown
    return m["x"], m["y"]


def _contains(shape, x, y) -> bool:
    m = shape.shown
    if shape.kind == "circle":
        return math.hypot(x - m["x"], y - m["y"]) < m["r"]
    c, s = math.cos(m["theta"]), math.sin(m["theta"])
    dx, dy = x - m["x"], y - m["y"]
    u, v = (c * dx + s * dy) / m["a"], (-s * dx + c * dy) / m["b"]
    return u * u + v * v < 1


def _inside(shape, earlier):
    """The number (from 1) of the first earlier circle or ellipse whose inside holds this
    shape's centre, or None."""
    x, y = _centre(shape)
    for k, e in enumerate(earlier, 1):
        if e.found and e.kind in ("circle", "ellipse") and _contains(e, x, y):
            return k
    return None


def inside_earlier(shape, earlier) -> bool:
    """Whether a circle or an ellipse has its centre inside an earlier one of the same kind."""
    if shape.kind not in ("circle", "ellipse") or not shape.found:
        return False
    x, y = _centre(shape)
    return any(e.found and e.kind == shape.kind and _contains(e, x, y) for e in earlier)
