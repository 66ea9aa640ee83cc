"""The whole chain in one call: a colour window's selection (or the object a box names), edge
points along scan lines, denoising, then the fits asked for, each refined on dense outline
points and judged for how well it holds."""

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
from ._judge import box_line_score, finish_box_line, inside_earlier, judge, outer_outline
from ._records import FITS, SAMPLE, Shape, ellipse_axes, empty_model, line_angle
from . import _checks, _refine
from ._regions import convex_fill, fill_holes, labels, thin_edges
from ._object import box_colour
from ._selection import Selection
from .color import Suggestion, Window, object_region

__all__ = ["FITS", "Shape", "Found", "find_shapes", "inliers_of", "scan_lines", "seed_c_generator",
           "ellipse_axes", "line_angle"]

_libc = None

MAX_LINES = 4096  # scan lines per direction at most (work grows with them)
RATIO = 4.0  # the ellipses' default bound on the ratio of their semi-axes
ELONGATION_ROOM = 1.25  # with a box, the bound is the object's elongation times this, if larger
SPARSE = 0.12  # classify only the scanned pixels while they are at most this share of the picture
AUTO_LINES = (128, 512)  # the range of the automatic scan-line counts
EVERY_LIMIT = 64  # shapes per fit kind with every=True at most
DOUBTFUL = 0.6  # circles and ellipses whose outline the selection follows less get a second look
FAINT = 15.0  # a box's circle or ellipse whose outline crosses weaker edges (mean colour change) is weak
CLEAR = 30.0  # ... and one whose outline crosses edges this strong holds, whatever its colour's outline


def seed_c_generator(seed: int) -> None:
    """Seed the C library's generator, which every fitter call draws from once."""
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None)
    _libc.srand(ctypes.c_uint(int(seed) & 0xFFFFFFFF))


@dataclass
class Found:
    """What ``find_shapes`` found: the shapes, the colour selection (``mask``), the object's
    region when a box named one (else None), the denoised edge points the fitters saw, and the
    time of every stage in seconds. With ``every``, only shapes that were found are listed;
    otherwise one per fit asked for, in that order."""

    window: Window | None
    shapes: list
    selection: Selection
    points: np.ndarray
    times: dict
    region: np.ndarray | None = None

    @property
    def mask(self) -> np.ndarray:
        """The window's selection of the picture, a (rows, columns) uint8 array of 0 and 1 (made
        on first use when the search did not need it)."""
        return self.selection.full()

    @property
    def count(self) -> int:
        """The number of shapes found."""
        return sum(1 for s in self.shapes if s.found)

    def to_dict(self) -> dict:
        """The window, the count and the records of the shapes that were found."""
        window = self.window.to_dict() if self.window is not None else None
        return {"window": window, "count": self.count, "shapes": [s.to_dict() for s in self.shapes if s.found]}


# --------------------------------------------------------------------------
# The fitters' own inlier tests, on whole point lists


def inliers_of(kind: str, model, ps, delta: int) -> np.ndarray:
    """Boolean array: which points of ``ps`` the fitter's test counts as inliers of the fitter's
    ``model`` (its exact integer or double record, not a refined one). For ellipses the ring is
    rebuilt from the returned semi-axes, which can differ from the fitter's own values in the last
    bit: a point within a rounding of the ring's edge may be counted differently."""
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
    return ps[:-1] if len(ps) % 2 == 0 and len(ps) > SAMPLE["ellipse"] else ps


def scan_lines(shape, min_r: int, fits) -> tuple[int, int]:
    """The scan-line counts (rows, columns) for a picture of ``shape``: lines about a third of
    the smallest radius asked for apart (circles and ellipses), so that small objects get enough
    points, within 128 to 512 per direction; 128 each when only lines are asked for."""
    h, w = shape[:2]
    if not any(f in ("circle", "ellipse") for f in fits):
        return min(AUTO_LINES[0], h), min(AUTO_LINES[0], w)
    spacing = max(min_r, 1) / 3.0
    lo, hi = AUTO_LINES
    return (min(h, max(lo, min(hi, math.ceil(h / spacing)))),
            min(w, max(lo, min(hi, math.ceil(w / spacing)))))


def find_shapes(
    image,
    window,
    fits=("circle",),
    *,
    box=None,
    every: bool = False,
    refine: bool = True,
    radius=None,
    delta=None,
    count: int = 400,
    seed=None,
    rows: int | None = None,
    columns: int | None = None,
    min_distance: int = 3,
    slope_limit: float | None = None,
    ratio: float | None = None,
    parallel: float = 0.95,
    region=None,
) -> Found:
    """Find shapes of one colour in an RGB image.

    ``window`` is a ``Window`` (a window of intensity alone too) or a ``Suggestion`` (or three
    limit pairs, a dict of them, or the ``LCHBounds`` of ``calculate_lch_bounds``, then
    ``Found.window`` is None); ``fits`` is a sequence of "line", "line2", "circle" and
    "ellipse". ``image`` may be RGB, RGBA (transparent pixels are never selected), or grey
    (rows, columns) or (rows, columns, 1).

    ``box`` = (x, y, w, h) names the object: its region is grown from the box under the window
    (``Found.region``) and the shapes are fitted to its outline. Without a box the whole
    selection is used. ``every`` finds every object of the window's colour: each connected
    part of the selection that could hold a shape of the kind and radius asked for is fitted,
    again while further fits are strong and explain new points (touching objects); shapes
    inside earlier ones or sharing most of their points are dropped, and fitting stops when fits
    turn weak. Without ``every`` each fit runs on the points the fits before it left (so
    ``["line", "line"]`` finds two lines), and never returns a shape inside an earlier one of
    its kind.

    ``refine`` (default) refines each shape by least squares on the dense outline points within
    its band (``Shape.refined``). ``radius`` = (min, max) bounds circles' radii and ellipses'
    semi-axes (default: 8 to half the image's smaller side); ``delta`` is the inlier band's
    half-width (default 5 for lines, 2 for circles and ellipses). ``seed`` seeds the C library's
    generator once before the first fit, so the same image and seed give the same shapes
    (None: not seeded). ``rows``, ``columns`` are the scan lines (default: ``scan_lines``),
    ``min_distance`` the denoising gap; ``slope_limit`` (default NaN, which never discards a
    candidate, so lines at every angle are found, horizontal ones included), ``ratio`` and
    ``parallel`` are passed to ``ransac_line``, ``ransac_ellipse`` and ``ransac_line2``.
    ``ratio`` (the largest ratio of an ellipse's semi-axes) defaults to 4, or with a box to the
    object's own elongation (from its region's second moments) with room to spare, if larger.
    ``region`` (a box (x, y, w, h) or a boolean mask) keeps only the edge points inside it."""
    clock = time.perf_counter
    np.random.default_rng  # NumPy's generator module loads on first use: here, not in a timed stage
    src = np.asarray(image)
    alpha = src[..., 3] != 0 if src.ndim == 3 and src.shape[2] == 4 else None
    img = as_rgb(src)
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
    min_r, max_r = _checks.radius(radius)
    auto = scan_lines(img.shape, min_r, fits)
    rows = auto[0] if rows is None else int(rows)
    columns = auto[1] if columns is None else int(columns)
    for name, v in (("rows", rows), ("columns", columns)):
        if not 0 <= v <= MAX_LINES:
            raise ValueError(f"{name} {v}: give 0 to {MAX_LINES} scan lines")
    slope = math.nan if slope_limit is None else float(slope_limit)

    times: dict[str, float] = {}
    t0 = clock()
    if window is not None and not window.intensity_only:
        bounds = window.bounds()
    t1 = clock()
    times["bounds"] = t1 - t0
    plain = box is None and not every and region is None and bounds is not None and alpha is None
    # Classifying only the scanned pixels pays while they are few; with dense scan lines one
    # pass over the picture is quicker.
    sparse = plain and (rows * w + columns * h) <= SPARSE * h * w
    selection = Selection(img, bounds, window, alpha)
    if sparse:
        # Only the scanned pixels are classified: the whole selection is made later only if
        # something needs it (a look at the selection's parts, a picture).
        points = _edge_points_hsv(img, bounds, rows, columns, min_distance, times)
        times["mask"] = 0.0
        times["edges"] = clock() - t1 - times["denoise"]
    else:
        mask = selection.full()
        t2 = clock()
        times["mask"] = t2 - t1
    obj = None
    if box is not None and not every:
        if window is None:
            raise ValueError("a box needs a Window (the object grows under it), not bounds")
        obj = _object(img, window, box, mask, alpha)
        support = obj.view(np.uint8)
        # Circles and ellipses bound convex objects: their points come from the object's convex
        # hull, so that a notch (a pupil, a highlight, a dark patch at the edge) is no outline.
        closed = all(f in ("circle", "ellipse") for f in fits)
        source = convex_fill(obj).view(np.uint8) if closed and obj.any() else support
        times["region"] = clock() - t2
        t2 = clock()
        points = _edge_points(source, rows, columns, min_distance, times)
        alt = _edge_points(support, rows, columns, min_distance) if source is not support else None
        times["edges"] = clock() - t2 - times["denoise"]
    elif not sparse:
        support = mask
        points = _edge_points(mask, rows, columns, min_distance, times)
        times["edges"] = clock() - t2 - times["denoise"]
    if ratio is None:
        ratio = max(RATIO, ELONGATION_ROOM * _elongation(obj)) if obj is not None and "ellipse" in fits else RATIO
    if region is not None:
        keep = region_mask(img.shape, region, "region")
        points = points[keep[points[:, 1], points[:, 0]]]
    if seed is not None:
        seed_c_generator(seed)
    # Photos (a box names the object, or every object is asked for) refine on the picture's
    # edges; a plain call, as video makes frame after frame, on the selection's outline.
    ctx = _Context(selection if sparse else support.view(bool), points, min_r, max_r, delta, count, slope,
                   ratio, parallel, refine, every, obj is not None, img if (box is not None or every) else None)
    if obj is not None:
        ctx.alt_points = alt
        x, y, bw, bh = (int(v) for v in box)
        ctx.box = (max(x, 0), max(y, 0), min(x + bw, w), min(y + bh, h))
        ctx.model = box_colour(img, ctx.box)
        ctx.seeds = obj & region_mask(img.shape, box, "box")
    if every:
        shapes = _every_shape(ctx, fits)
    else:
        shapes = _one_after_another(ctx, fits)
    times["fit"] = sum(s.times.get("fit", 0.0) for s in shapes)
    times["refine"] = sum(s.times.get("refine", 0.0) for s in shapes)
    times["remove"] = sum(s.times.get("remove", 0.0) for s in shapes)
    return Found(window, shapes, selection, points, times, obj)


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


def _as_window(window):
    """(Window or None, LCHBounds or None) from a Window, a Suggestion, three limit pairs (the
    hue and chroma pairs may be None), a dict with "hue", "chroma" and "intensity", or bounds
    from ``calculate_lch_bounds``. A Suggestion stays one (it carries its object's region)."""
    if isinstance(window, Suggestion):
        return window, None
    if isinstance(window, Window):
        return Window(*window), None
    if isinstance(window, dict):
        window = (window.get("hue"), window.get("chroma"), window["intensity"])
    elif hasattr(window, "_fields") and tuple(window._fields) == ("M", "i", "c"):
        return None, window
    try:
        hue, chroma, intensity = window
        pairs = (None if p is None else tuple(float(v) for v in p[:2]) for p in (hue, chroma, intensity))
        return Window(*pairs), None
    except (TypeError, ValueError):
        raise TypeError(
            "window must be a Window, (hue, chroma, intensity) limit pairs, or LCHBounds"
        ) from None


def _object(img, window, box, mask, alpha):
    """The object's region: a suggestion's own when the window is one for this very box, else
    grown from the box under the window."""
    if isinstance(window, Suggestion) and getattr(window, "region", None) is not None:
        x, y, bw, bh = (int(v) for v in np.asarray(box).tolist()) if np.ndim(box) == 1 else (0, 0, 0, 0)
        if window.box == (max(x, 0), max(y, 0), min(x + bw, img.shape[1]), min(y + bh, img.shape[0])):
            return window.region
    return object_region(img, Window(*window), box, alpha=alpha, selection=mask.view(bool))


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
    from ._judge import edge_support

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
    if ctx.refine and sh.refined is not None and kind in ("circle", "ellipse"):
        grown = outer_outline(sh, ctx.image, ctx.seeds, scored[0][0], ctx.max_r)
        if grown is not None:
            sh.refined, score = grown
            scored[0] = (score, best)
    if scored[0][0] < FAINT and sh.warning is None:
        sh.warning = f"weak: the picture's edge along its outline is faint ({scored[0][0]:.0f})"
    elif scored[0][0] >= CLEAR and sh.warning is not None and sh.warning.startswith("weak: the selection follows"):
        sh.warning = None  # the picture's edges follow it all round, where the colour does not
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
        for _ in range(EVERY_LIMIT):
            if len(ps) < max(SAMPLE[kind], 8) or len(out) >= EVERY_LIMIT:
                break
            shape, marks = _fit_one(ctx, kind, ps)
            if not shape.found:
                break
            _finish(ctx, shape, earlier + out)
            if shape.weak or inside_earlier(shape, earlier + out):
                break
            out.append(shape)
            ps = ps[~marks]
    return out
