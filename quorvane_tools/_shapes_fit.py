"""The fits of ``find_shapes``: one fitter call, the search for the best fit of a kind (with a
box, within the selection's parts, with more samples), and every object of a colour."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass

import numpy as np

import quorvane

from . import _refine
from ._doubts import rival
from ._judge import box_line_score, edge_support, finish_box_line, inside_earlier, judge, outer_outline
from ._records import SAMPLE, Shape, empty_model
from ._regions import fill_holes, labels, thin_edges
from ._selection import Selection
from ._shapes_points import _odd, _on_line, _shuffle, inliers_of

EVERY_LIMIT = 64  # shapes per fit kind with every=True at most
DOUBTFUL = 0.6  # circles and ellipses whose outline the selection follows less get a second look
FAINT = 15.0  # a box's circle or ellipse whose outline crosses weaker edges (mean colour change) is weak
CLEAR = 30.0  # ... and one whose outline crosses edges this strong holds, whatever its colour's outline


@dataclass
class _Context:
    """What every fit of one call shares."""

    source: np.ndarray  # the mask the points come from (bool)
    points: np.ndarray
    min_r: int
    max_r: int
    delta: int | None
    count: int
    slope: float
    ratio: float
    parallel: float
    refine: bool
    every: bool
    boxed: bool
    image: np.ndarray | None = None  # the picture, for refining on its edges
    box: tuple | None = None  # a box's corners (x0, y0, x1, y1), clipped
    model: object = None  # a box's dominant colour (ColourModel)
    edge_map: np.ndarray | None = None  # the picture's thin edges, when needed
    alt_points: np.ndarray | None = None  # a box's object: the points of its region (not its hull)
    seeds: np.ndarray | None = None  # a box's object: its pixels within the box
    ms: np.ndarray = None
    parts: tuple = None  # (labels, stats) of the source, when needed

    def __post_init__(self):
        self.ms = np.empty(max(len(self.points), 1), np.uint8)

    def band(self, kind) -> int:
        return int(self.delta) if self.delta is not None else (5 if kind in ("line", "line2") else 2)

    def edges(self):
        if self.edge_map is None:
            self.edge_map = thin_edges(self.image)
        return self.edge_map

    def labelled(self):
        if self.parts is None:
            src = self.source.full().view(bool) if isinstance(self.source, Selection) else self.source
            self.parts = labels(fill_holes(src))
        return self.parts


def _fit_one(ctx, kind, ps, count=None, band=None):
    """One fitter call on ``ps`` (inlier band ``band``, default the context's); returns the Shape
    and which points of ``ps`` are its inliers (None when nothing was found)."""
    d = ctx.band(kind) if band is None else band
    count = ctx.count if count is None else count
    n_all = len(ps)
    shape = Shape(kind, empty_model(kind), 0, n_all, d)
    if n_all < SAMPLE[kind] or count <= 0:
        return shape, None
    sample = _odd(ps)
    ms = ctx.ms if len(ctx.ms) >= len(sample) else np.empty(len(sample), np.uint8)
    t = time.perf_counter()
    if kind == "line":
        model = quorvane.ransac_line(sample, ms, count, d, ctx.slope)
    elif kind == "line2":
        model = quorvane.ransac_line2(sample, ms, count, ctx.parallel, d)
    elif kind == "circle":
        model = quorvane.ransac_circle(sample, count, ctx.min_r, ctx.max_r, d)
    else:
        model = quorvane.ransac_ellipse(sample, count, ctx.min_r, ctx.max_r, ctx.ratio, d)
    shape.times["fit"] = time.perf_counter() - t
    shape.model = model
    if kind in ("circle", "ellipse") and not any(v != 0 for v in model.values()):
        return shape, None
    if kind in ("line", "line2") and not shape.found:
        return shape, None
    if kind in ("line", "line2"):
        # The fitter marked its inliers among the points it saw; test the one left out.
        marks = np.empty(n_all, bool)
        marks[: len(sample)] = ms[: len(sample)].view(bool)
        for k in range(len(sample), n_all):  # one point at most: plain arithmetic is quicker
            x, y = int(ps[k, 0]), int(ps[k, 1])
            lines = model if kind == "line2" else (model,)
            marks[k] = any(_on_line(m, x, y, d) for m in lines)
    else:
        marks = inliers_of(kind, model, ps, d)
    shape.inliers = int(np.count_nonzero(marks))
    return shape, marks


def _finish(ctx, shape, earlier):
    """Refine and judge a found shape (in place; a shape not found is left alone)."""
    if not shape.found:
        return shape
    t = time.perf_counter()
    judge(shape, ctx.source, ctx.min_r, ctx.max_r, refine=ctx.refine, earlier=earlier, image=ctx.image)
    shape.times["refine"] = time.perf_counter() - t
    return shape


def _one_after_another(ctx, fits):
    """Each fit on the points the fits before it left; a shape inside an earlier one of its kind
    is not returned (its points are set aside and the fit tried again, twice at most)."""
    shapes = []
    ps = ctx.points
    for kind in fits:
        idx = np.arange(len(ps))  # the points this fit may use
        kept = marks = None
        for _ in range(3):
            shape, marks = _best(ctx, kind, ps[idx] if len(idx) < len(ps) else ps, shapes)
            if not shape.found:
                break
            if not inside_earlier(shape, shapes):
                kept = shape
                break
            idx = idx[~marks]
        if kept is None:
            shapes.append(Shape(kind, empty_model(kind), 0, len(ps), ctx.band(kind)))
            continue
        t = time.perf_counter()
        used = np.zeros(len(ps), bool)
        used[idx[marks]] = True
        ps = ps[~used]
        kept.times["remove"] = time.perf_counter() - t
        shapes.append(kept)
    return shapes


def _best(ctx, kind, ps, earlier):
    """The best fit of a kind on ``ps``, refined and judged: the fitter's winner, or, when it
    looks weak, the best of more candidates. A box's object: fits on its hull's points and on its
    region's points, with eight times the samples when they are weak, ranked by the picture's
    edges along their refined outlines; otherwise, for circles and ellipses, fits within each
    large part of the selection and a fit with eight times the samples, ranked by inliers
    discounted for poor coverage."""
    shape, marks = _fit_one(ctx, kind, ps)
    if ctx.boxed:
        return _best_boxed(ctx, kind, ps, earlier, shape, marks)
    _finish(ctx, shape, earlier)
    if kind not in ("circle", "ellipse") or (shape.found and not shape.weak and shape.coverage >= DOUBTFUL):
        return shape, marks
    t = time.perf_counter()
    candidates = [(shape, marks)] if shape.found else []
    for cand, cand_marks in _per_part(ctx, kind, ps):
        candidates.append((_finish(ctx, cand, earlier), cand_marks))
    if not any(c.coverage >= 0.8 for c, _ in candidates):
        again, again_marks = _fit_one(ctx, kind, ps, 8 * ctx.count)
        if again.found:
            candidates.append((_finish(ctx, again, earlier), again_marks))
    if candidates:
        # Strong candidates first; among them, inliers discounted for poor coverage and for the
        # share of their part's points they leave unexplained (a part that is the shape).
        shape, marks = max(candidates, key=lambda c: (not c[0].weak, _rank(c[0])))
    shape.times["fit"] = shape.times.get("fit", 0.0) + time.perf_counter() - t
    return shape, marks


def _rank(shape) -> float:
    return shape.inliers * min(1.0, shape.coverage / 0.8) * math.sqrt(shape.inliers / max(shape.points, 1))


def _best_boxed(ctx, kind, ps, earlier, shape, marks):
    t = time.perf_counter()
    candidates = []

    def add(sh, mk):
        if sh.found:
            _finish(ctx, sh, earlier)
            candidates.append((sh, mk))

    add(shape, marks)
    if shape.weak:
        add(*_fit_one(ctx, kind, ps, 8 * ctx.count))
    if ctx.alt_points is not None and len(ctx.alt_points) >= SAMPLE[kind] and ps is ctx.points:
        alt, alt_marks = _fit_one(ctx, kind, ctx.alt_points)
        if alt.found:
            alt_marks = inliers_of(kind, alt.model, ps, alt.delta)
            alt.inliers, alt.points = int(np.count_nonzero(alt_marks)), len(ps)
            add(alt, alt_marks)
    if kind == "line":
        candidates = [(c, mk, box_line_score(c, ctx.edges(), ctx.image, ctx.box, ctx.model)) for c, mk in candidates]
        candidates += _box_lines(ctx, ps, earlier)
        if not candidates:
            return shape, marks
        best = max(candidates, key=lambda c: c[2])[:2]
        best[0].times["fit"] = best[0].times.get("fit", 0.0) + time.perf_counter() - t
        return best
    if not candidates:
        return shape, marks
    scored = sorted(((edge_support(c[0], ctx.image, ctx.seeds), c) for c in candidates), key=lambda x: -x[0])
    best = scored[0][1]
    sh = best[0]
    others = [(s, c[0].shown) for s, c in scored[1:]]
    if ctx.refine and sh.refined is not None and kind in ("circle", "ellipse"):
        grown = outer_outline(sh, ctx.image, ctx.seeds, scored[0][0], ctx.max_r)
        if grown is not None:
            others.append((scored[0][0], sh.shown))  # the outline it was widened from
            sh.refined, score = grown
            scored[0] = (score, best)
    if scored[0][0] < FAINT and sh.warning is None:
        sh.warning = f"weak: the picture's edge along its outline is faint ({scored[0][0]:.0f})"
    elif scored[0][0] >= CLEAR and sh.warning is not None and sh.warning.startswith("weak: the selection follows"):
        sh.warning = None  # the picture's edges follow it all round, where the colour does not
    if sh.warning is None:
        share = rival(kind, sh.shown, scored[0][0], others)
        if share is not None:
            sh.warning = ("doubtful: another outline follows the picture's edges nearly as strongly "
                          f"({100 * share:.0f}%)")
    best[0].times["fit"] = best[0].times.get("fit", 0.0) + time.perf_counter() - t
    return best


def _box_lines(ctx, ps, earlier, tries: int = 4):
    """Lines along the picture's edges through a box: fits on the thin edges in and around it,
    refined on the edge's continuous stretch through the box; (shape, marks over ps, score)."""
    edges = ctx.edges()
    x0, y0, x1, y1 = ctx.box
    rows, cols = edges.shape
    margin = max(6, int(0.5 * min(x1 - x0, y1 - y0)))
    wx0, wy0 = max(0, x0 - margin), max(0, y0 - margin)
    wx1, wy1 = min(cols, x1 + margin), min(rows, y1 + margin)
    ys, xs = np.nonzero(edges[wy0:wy1, wx0:wx1])
    pts = np.stack([xs + wx0, ys + wy0], axis=1).astype(np.int32)
    for e in earlier:  # the edges of lines found before are theirs
        for m in (e.shown if e.kind == "line2" else (e.shown,)) if e.kind in ("line", "line2") else ():
            if not (m["nx"] or m["ny"]):
                continue
            f = _refine.as_float("line", m) if isinstance(m["nx"], int) else m
            pts = pts[np.abs(_refine.distance("line", f, pts.astype(np.float64))) > ctx.band("line")]
    if len(pts) < 8:
        return []
    pts = np.ascontiguousarray(pts[_shuffle(len(pts))])
    out = []
    rest = pts
    d = ctx.band("line")
    for _ in range(tries):
        # Thin edges lie within a pixel of the picture's edge: a narrow band keeps a line on one
        # edge of a narrow object instead of between its two.
        sh, mk = _fit_one(ctx, "line", rest, band=1)
        if not sh.found:
            break
        # The record counts the edge points within the usual band (those are the points the
        # line was fitted to); the marks say which of the object's points it explains.
        sh.inliers = int(np.count_nonzero(inliers_of("line", sh.model, rest, d)))
        sh.delta = d
        marks = inliers_of("line", sh.model, ps, d)
        finish_box_line(sh, edges, ctx.image, ctx.box, refine=ctx.refine)
        out.append((sh, marks, box_line_score(sh, edges, ctx.image, ctx.box, ctx.model)))
        rest = rest[~mk]
        if len(rest) < 8:
            break
    return out


def _part_points(ctx, ps):
    """The label of the part each point lies in (0: none)."""
    lab, _ = ctx.labelled()
    return lab[ps[:, 1], ps[:, 0]]


def _per_part(ctx, kind, ps, limit: int = 6):
    """Fits within each of the largest parts of the selection: (shape, marks over ps) pairs."""
    lab, stats = ctx.labelled()
    if len(stats) < 2:
        return []
    where = _part_points(ctx, ps)
    out = []
    for k in np.argsort(stats[:, 0])[::-1][:limit]:
        sel = where == k + 1
        if np.count_nonzero(sel) < max(SAMPLE[kind], 8):
            continue
        cand, cm = _fit_one(ctx, kind, ps[sel])
        if cand.found:
            marks = inliers_of(kind, cand.model, ps, cand.delta)
            cand.inliers = int(np.count_nonzero(marks))  # its points: those of its part
            out.append((cand, marks))
    return out


def _every_shape(ctx, fits):
    """every=True: for each kind asked for, every object of the selection."""
    shapes: list[Shape] = []
    for kind in dict.fromkeys(fits):
        if kind in ("line", "line2"):
            shapes += _every_line(ctx, kind, shapes)
        else:
            shapes += _every_round(ctx, kind, shapes)
    return shapes


def _every_line(ctx, kind, earlier):
    """Lines (or pairs) one after another on the points left, while they stay strong."""
    out = []
    ps = ctx.points
    while len(out) < EVERY_LIMIT:
        shape, marks = _fit_one(ctx, kind, ps)
        if not shape.found:
            break
        _finish(ctx, shape, earlier + out)
        if shape.weak:
            break
        out.append(shape)
        ps = ps[~marks]
    return out


def _every_round(ctx, kind, earlier):
    """Circles or ellipses: within each part of the selection that could hold one, fits again
    and again while they are strong and explain points the earlier ones did not."""
    lab, stats = ctx.labelled()
    where = _part_points(ctx, ctx.points)
    out: list[Shape] = []
    lo, hi = ctx.min_r, ctx.max_r
    order = np.argsort(stats[:, 0])[::-1] if len(stats) else []
    for k in order:
        area, x0, y0, x1, y1 = (int(v) for v in stats[k])
        span = max(x1 - x0, y1 - y0)
        if span < max(lo, 2) or area < max(0.25 * math.pi * lo * lo, 12):
            continue  # too small to hold a shape of the smallest radius asked for
        ps = ctx.points[where == k + 1]
        # The outlines of holes in a part (an object's darker pattern) are no object's outline.
        rim = np.zeros(len(ps), bool)
        rows, cols = lab.shape
        for dx, dy in ((-2, 0), (2, 0), (0, -2), (0, 2)):
            x, y = np.clip(ps[:, 0] + dx, 0, cols - 1), np.clip(ps[:, 1] + dy, 0, rows - 1)
            rim |= lab[y, x] != k + 1
        if np.count_nonzero(rim) >= max(SAMPLE[kind], 8):
            ps = ps[rim]
        for _ in range(EVERY_LIMIT):
            if len(ps) < max(SAMPLE[kind], 8) or len(out) >= EVERY_LIMIT:
                break
            shape, marks = _fit_one(ctx, kind, ps)
            if not shape.found:
                break
            _finish(ctx, shape, earlier + out)
            if shape.weak or inside_earlier(shape, earlier + out):
                break
            if ctx.refine and shape.refined is not None and ctx.image is not None:
                # An object's inner pattern can hold the fit inside its outline (a coin's relief
                # darker than its rim): carried out to the outline where the edges hold as well.
                grown = outer_outline(shape, ctx.image, None, edge_support(shape, ctx.image), ctx.max_r)
                if grown is not None:
                    shape.refined = grown[0]
            out.append(shape)
            ps = ps[~marks]
    return out
