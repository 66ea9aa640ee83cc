"""How well a fitted shape holds: refinement on the selection's dense outline, the share of the
shape's outline the selection follows, and the warnings that follow from it.

Warnings say why a shape deserves a second look: too few inliers, a radius at a limit of the
range asked for, an outline the selection follows for too little of its length (circles and
ellipses), inliers scattered along a line instead of one continuous stretch, or a shape that
lies inside an earlier one."""

from __future__ import annotations

import math

import numpy as np

from ._edge_refine import _along, _complete, _valid, refine_on_edges
from ._edges import edge_points, stations
from ._refine import as_float, distance, refine as refine_model
from ._regions import outline_points, outline_ring

# Names of the refinement on the picture's edges, importable from here as they always were.
from ._edge_refine import _major_angle, _shift, _station_index  # noqa: F401
from ._refine import fit, outline_samples  # noqa: F401

__all__ = ["judge", "coverage", "edge_support", "inside_earlier", "box_line_score", "finish_box_line"]

MIN_INLIERS = 12  # fewer inliers than this: weak
MIN_COVERAGE = 0.45  # circles, ellipses: the selection follows less of the outline: weak
MIN_CONTINUITY = 0.5  # lines: the longest continuous stretch is less of the inliers' extent
GAP = 4.0  # pixels: a line's stretch continues over gaps up to this


def _outline(source, rect=None, line=None):
    """Outline points of a mask, or of a lazily made selection (only the rectangle's crop is
    made when a rectangle is asked for)."""
    if hasattr(source, "crop"):
        if rect is None:
            return outline_points(source.full(), None, line)
        x0, y0 = max(0, rect[0]), max(0, rect[1])
        return outline_points(source.crop(rect), None, None) + (x0, y0)
    return outline_points(source, rect, line)


def _near(kind, m, source, band):
    """The source's outline points within ``band`` (plus a margin) of a float model."""
    rows, cols = source.shape
    if kind == "line":
        c = -(m["nx"] * m["px"] + m["ny"] * m["py"])
        return _outline(source, None, (m["nx"], m["ny"], c, band + 1.0))
    a, b, theta = (m["r"], m["r"], 0.0) if kind == "circle" else (abs(m["a"]), abs(m["b"]), m["theta"])
    reach = max(a, b) + band + 2
    x0, y0 = math.floor(m["x"] - reach), math.floor(m["y"] - reach)
    x1, y1 = math.ceil(m["x"] + reach) + 1, math.ceil(m["y"] + reach) + 1
    if x1 <= 0 or y1 <= 0 or x0 >= cols or y0 >= rows:
        return np.empty((0, 2))
    if hasattr(source, "crop"):
        return _outline(source, (x0, y0, x1, y1))
    return outline_ring(source, m["x"], m["y"], a, b, theta, band + 1.5)



def coverage(kind, m, pts, shape_hw, band) -> float:
    """Circles and ellipses: the share of the outline (where it lies inside the picture, off its
    edge) with an outline point of the selection within ``band``. Lines: the longest continuous
    stretch of points along the line over the extent of all of them."""
    from ._refine import _KIND, _ORDER
    from ._regions import _native

    if len(pts) == 0:
        return 0.0
    p = np.array([m[k] for k in _ORDER[kind]], np.float64)
    samples = 0
    if kind != "line":
        a, b = (m["r"], m["r"]) if kind == "circle" else (abs(m["a"]), abs(m["b"]))
        perimeter = math.pi * (3 * (a + b) - math.sqrt(max((3 * a + b) * (a + 3 * b), 0.0)))
        samples = int(min(max(16, perimeter), 8192))
    rows, cols = shape_hw
    return _native.coverage(_KIND[kind], np.ascontiguousarray(pts, np.float64), p, float(band), float(rows),
                            float(cols), float(samples), GAP)


OUTER = 0.9  # a wider outline keeps at least this share of the edge support of the shape
EDGE_CAP = 60.0  # colour change per pixel beyond which an edge counts no more


def edge_support(shape, image, seeds=None) -> float:
    """How strongly the picture's edges follow a shape's (refined) outline: the mean colour
    change across it (capped, so that a few very strong edges do not decide), times the share of
    ``seeds`` (the object's pixels in the box) that the shape holds (circles and ellipses)."""
    kind = "line" if shape.kind == "line2" else shape.kind
    models = shape.shown if shape.kind == "line2" else (shape.shown,)
    total = []
    for m in models:
        if kind == "line":
            m = as_float("line", m) if isinstance(m["nx"], int) else m
            rows, cols = image.shape[:2]
            t = _along(m, np.array([[0, 0], [cols, 0], [0, rows], [cols, rows]], float))
            st, nm = stations("line", m, (float(t.min()), float(t.max())), 2.0)
        else:
            m = as_float(kind, m)
            if not _valid(m):
                return 0.0
            st, nm = stations(kind, m, None, 1.0)
        rows, cols = image.shape[:2]
        ok = (st[:, 0] >= 2) & (st[:, 0] <= cols - 3) & (st[:, 1] >= 2) & (st[:, 1] <= rows - 3)
        if ok.sum() < 8:
            return 0.0
        _, strength = edge_points(image, st[ok], nm[ok], 1.5, closed=kind != "line")
        total.append(float(np.mean(np.minimum(strength, EDGE_CAP))))
    score = min(total) if total else 0.0
    if seeds is not None and kind != "line" and seeds.any():
        ys, xs = np.nonzero(seeds)
        step = max(1, len(xs) // 2000)
        pts = np.stack([xs[::step], ys[::step]], axis=1).astype(float)
        m = as_float(kind, shape.shown)
        score *= float(np.mean(distance(kind, m, pts) <= 0))
    return score


def outer_outline(shape, image, seeds, score, max_r, scales=(1.08, 1.16, 1.25, 1.35)):
    """A box's circle or ellipse carried out to the object's outer outline, or None: where the
    object's rim differs from its face (a cap's lighter rim, a wheel's tyre) or its far side
    lies in shadow, the selection stops inside the outline. The shape is widened about its
    centre and refined on the picture's edges; the widest that keeps nearly the edge support of
    the shape and holds it wins (None when no wider one does)."""
    kind = shape.kind
    m = shape.shown
    band = shape.delta + 1.0
    best = None
    for s in scales:
        if kind == "circle":
            wide = dict(m, r=m["r"] * s)
            if wide["r"] > max_r:
                break
        else:
            wide = dict(m, a=m["a"] * s, b=m["b"] * s)
            if max(wide["a"], wide["b"]) > max_r:
                break
        new = _complete(kind, wide, image, band)
        if new is wide or not _valid(new):
            continue
        size_new = new["r"] if kind == "circle" else max(new["a"], new["b"])
        size_old = m["r"] if kind == "circle" else max(m["a"], m["b"])
        if size_new < size_old * (1 + 0.5 * (s - 1)):
            continue  # the edges pulled it back in: the same outline
        trial = type(shape)(kind, shape.model, shape.inliers, shape.points, shape.delta, refined=new)
        support = edge_support(trial, image, seeds)
        if support >= OUTER * score:
            best = (new, support)
    return best



def _run_through(m, pts, box, gap: float = 6.0):
    """The points (n, 2) of the continuous stretch of ``pts`` along a line that passes the box
    (gaps up to ``gap`` pixels), or an empty array."""
    if len(pts) < 2:
        return pts[:0]
    t = _along(m, pts)
    order = np.argsort(t)
    t, pts = t[order], pts[order]
    x0, y0, x1, y1 = box
    # A stretch reaches the box when one of its points lies in it (or within a gap of it).
    inside = ((pts[:, 0] >= x0 - gap) & (pts[:, 0] < x1 + gap)
              & (pts[:, 1] >= y0 - gap) & (pts[:, 1] < y1 + gap))
    reach = np.concatenate(([0], np.cumsum(inside)))
    cuts = np.flatnonzero(np.diff(t) > gap)
    starts = np.concatenate(([0], cuts + 1))
    ends = np.concatenate((cuts, [len(t) - 1]))
    best = None
    for a, b in zip(starts, ends):
        if reach[b + 1] > reach[a]:
            if best is None or t[b] - t[a] > t[best[1]] - t[best[0]]:
                best = (a, b)
    if best is None:
        return pts[:0]
    return pts[best[0]: best[1] + 1]


def finish_box_line(shape, edges, image, box, *, refine: bool) -> None:
    """Refine a line fitted near a box on the picture's thin edges: on the continuous stretch of
    edges along it that passes the box; the shape's coverage is that stretch's share of all the
    edge points along the line within the box's reach."""
    m = as_float("line", shape.model)
    band = 2.0
    for _ in range(2):
        c = -(m["nx"] * m["px"] + m["ny"] * m["py"])
        near = outline_points(edges, None, (m["nx"], m["ny"], c, band + 1.0))
        run = _run_through(m, near, box)
        if len(run) < 3 or not refine:
            break
        new = refine_on_edges("line", m, run, image, band)
        if new is m:
            break
        m = new
    c = -(m["nx"] * m["px"] + m["ny"] * m["py"])
    near = outline_points(edges, None, (m["nx"], m["ny"], c, band))
    run = _run_through(m, near, box)
    if refine:
        shape.refined = m
    shape.coverage = 1.0 if len(run) >= 3 else 0.0
    shape.segment = _segment(m, run)
    shape.warning = None if shape.inliers >= MIN_INLIERS else f"weak: only {shape.inliers} inliers"


def _segment(m, run):
    if len(run) < 2:
        return None
    t = _along(m, run)
    return float(t.min()), float(t.max())


def side_contrast(m, st, nm, image, model, off: float = 2.5) -> float:
    """How differently the two sides of an outline look from a colour model: the mean absolute
    difference of the model's likeness (0..1) a few pixels either side of each station."""
    from ._edges import _bilinear

    like = []
    for side in (-off, off):
        p = st + side * nm
        f = _bilinear(image, p[:, 0], p[:, 1]) * np.float32(1 / 255)
        r, g, b = f[:, 0], f[:, 1], f[:, 2]
        xx = r - 0.5 * (g + b)
        yy = np.float32(math.sqrt(3) / 2) * (g - b)
        d = model.distance(np.arctan2(yy, xx), np.hypot(xx, yy), (r + g + b) * np.float32(1 / 3))
        like.append(np.exp(-0.125 * d * d))
    return float(np.mean(np.abs(like[0] - like[1])))


def box_line_score(shape, edges, image, box, model=None) -> float:
    """A line's score near a box: the length of the continuous stretch of the picture's edges
    along it through the box, times the mean strength of those edges (capped), times how well it
    separates the box's colour on one side from other colours on the other (plus a floor: a
    line between two other colours, or on a grey picture, still counts)."""
    if not shape.found:
        return 0.0
    m = shape.shown
    m = as_float("line", m) if isinstance(m["nx"], int) else m
    c = -(m["nx"] * m["px"] + m["ny"] * m["py"])
    run = _run_through(m, outline_points(edges, None, (m["nx"], m["ny"], c, 1.5)), box)
    if len(run) < 3:
        return 0.0
    t = _along(m, run)
    lo, hi = float(t.min()), float(t.max())
    st, nm = stations("line", m, (lo, hi), 1.0)
    _, strength = edge_points(image, st, nm, 1.5, closed=False)
    score = (hi - lo) * float(np.mean(np.minimum(strength, EDGE_CAP))) * side_coherence(st, nm, image)
    if model is not None:
        score *= 0.25 + side_contrast(m, st, nm, image, model)
    return score


SIDES_ALIKE = 24.0  # a colour difference (0..255 levels) too small to tell a line's sides apart


def side_coherence(st, nm, image, off: float = 2.5) -> float:
    """How consistently the colour changes across a line along its stations (0..1): the length
    of the mean colour difference between its two sides over the mean length of those
    differences. Along one object's edge the change keeps its direction (the same two colours on
    the same sides); a line laid slantwise through texture, or from one edge of a narrow object
    to the other, meets changes of every direction and sign. A thin line has one colour on both
    sides: differences below ``SIDES_ALIKE`` say nothing either way, so it keeps about 1."""
    from ._edges import _bilinear

    a = _bilinear(image, st[:, 0] - off * nm[:, 0], st[:, 1] - off * nm[:, 1]).astype(np.float64)
    b = _bilinear(image, st[:, 0] + off * nm[:, 0], st[:, 1] + off * nm[:, 1]).astype(np.float64)
    d = (b - a).reshape(len(st), -1)
    total = float(np.mean(np.sqrt((d * d).sum(axis=1))))
    return (float(np.linalg.norm(d.mean(axis=0))) + SIDES_ALIKE) / (total + SIDES_ALIKE)


def judge(shape, source, min_r, max_r, *, refine: bool, earlier, image=None) -> None:
    """Refine a found shape (``refine``) on the picture's edges (with ``image``) or on the
    source's outline, measure its coverage and set its warning; ``earlier`` are the shapes found
    before it."""
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
            if image is not None:
                m = refine_on_edges(sub, m, pts, image, band, complete=True)
            else:
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
