"""The whole chain in one call: a colour window's selection (or the object a box names), edge
points along scan lines, denoising, then the fits asked for, each refined on dense outline
points and judged for how well it holds."""

from __future__ import annotations

import ctypes
import math
import time
from dataclasses import dataclass

import numpy as np

from ._arrays import as_rgb, region_mask
from . import _checks
from ._object import box_colour
from ._records import FITS, Shape, ellipse_axes, line_angle
from ._regions import convex_fill
from ._selection import Selection
from ._doubts import wide_window
from ._shapes_fit import _Context, _every_shape, _one_after_another
from ._shapes_points import _edge_points, _edge_points_hsv, _elongation, inliers_of
from .color import Suggestion, Window, object_region

# Names of the chain's parts, importable from here as they always were.
from . import _refine  # noqa: F401
from ._judge import box_line_score, finish_box_line, inside_earlier, judge, outer_outline  # noqa: F401
from ._records import SAMPLE, empty_model  # noqa: F401
from ._regions import fill_holes, labels, thin_edges  # noqa: F401
from ._shapes_fit import (  # noqa: F401
    CLEAR, DOUBTFUL, EVERY_LIMIT, FAINT, _best, _best_boxed, _box_lines, _every_line, _every_round, _finish, _fit_one,
    _part_points, _per_part, _rank,
)
from ._shapes_points import (  # noqa: F401
    _conic, _denoised, _eval, _local, _mapping, _odd, _on_line, _scratch, _shuffle,
)

__all__ = ["FITS", "Shape", "Found", "find_shapes", "inliers_of", "scan_lines", "seed_c_generator",
           "ellipse_axes", "line_angle"]

_libc = None

MAX_LINES = 4096  # scan lines per direction at most (work grows with them)
RATIO = 4.0  # the ellipses' default bound on the ratio of their semi-axes
ELONGATION_ROOM = 1.25  # with a box, the bound is the object's elongation times this, if larger
SPARSE = 0.12  # classify only the scanned pixels while they are at most this share of the picture
AUTO_LINES = (128, 512)  # the range of the automatic scan-line counts


def seed_c_generator(seed: int) -> None:
    """Seed the C library's generator, which every fitter call draws from once.

    Parameters
    ----------
    seed : int
        The seed; taken modulo 2**32, as ``srand`` takes it.

    Examples
    --------
    >>> import numpy as np
    >>> import quorvane
    >>> t = np.linspace(0, 2 * np.pi, 60, endpoint=False)
    >>> ps = np.round(np.stack([50 + 20 * np.cos(t), 40 + 20 * np.sin(t)], 1)).astype(np.int32)
    >>> seed_c_generator(1)
    >>> first = quorvane.ransac_circle(ps, 50, 5, 40, 1)
    >>> seed_c_generator(1)
    >>> quorvane.ransac_circle(ps, 50, 5, 40, 1) == first   # the same draws, the same circle
    True
    """
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None)
    _libc.srand(ctypes.c_uint(int(seed) & 0xFFFFFFFF))


@dataclass
class Found:
    """What ``find_shapes`` found.

    Attributes
    ----------
    window : Window or None
        The window searched (None when it was given as ``LCHBounds``).
    shapes : list of Shape
        With ``every``, the shapes found; otherwise one per fit asked for, in that order
        (``Shape.found`` says whether it was found).
    selection : Selection
        The window's selection of the picture, made where something looks at it.
    points : numpy.ndarray
        The denoised (n, 2) int32 edge points the fitters saw.
    times : dict
        Seconds spent in every stage.
    region : numpy.ndarray or None
        The object's region when a box named one, else None.

    Examples
    --------
    >>> import numpy as np
    >>> import quorvane_tools as qt
    >>> yy, xx = np.mgrid[0:120, 0:160]
    >>> img = np.full((120, 160, 3), 90, np.uint8)
    >>> img[(xx - 80) ** 2 + (yy - 60) ** 2 < 30 ** 2] = (200, 40, 40)   # a red disc on grey
    >>> found = qt.find_shapes(img, qt.Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9)), ["circle"], seed=1)
    >>> found.count, found.mask.shape
    (1, (120, 160))
    >>> found.to_dict()["shapes"][0]["model"]
    {'x': 80, 'y': 60, 'r': 29}
    """

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

    Parameters
    ----------
    image : array_like
        An RGB picture (rows, columns, 3), RGBA (transparent pixels are never selected), or
        grey (rows, columns) or (rows, columns, 1).
    window : Window, Suggestion, tuple, dict or LCHBounds
        The colour: a ``Window`` (a window of intensity alone too), a ``Suggestion`` (which also
        carries its object's region), three limit pairs, a dict of them, or the ``LCHBounds`` of
        ``calculate_lch_bounds`` (then ``Found.window`` is None).
    fits : str or sequence of str, optional
        "line", "line2", "circle" and "ellipse" (default: one circle).
    box : tuple, optional
        ``(x, y, w, h)`` names the object: its region is grown from the box under the window
        (``Found.region``) and the shapes are fitted to its outline. Without a box the whole
        selection is used.
    every : bool, optional
        Find every object of the window's colour: each connected part of the selection that
        could hold a shape of the kind and radius asked for is fitted, again while further fits
        are strong and explain new points (touching objects); shapes inside earlier ones or
        sharing most of their points are dropped, and fitting stops when fits turn weak. Without
        ``every`` each fit runs on the points the fits before it left (so ``["line", "line"]``
        finds two lines), and never returns a shape inside an earlier one of its kind.
    refine : bool, optional
        Refine each shape by least squares on the dense outline points within its band
        (``Shape.refined``; default True).
    radius : tuple, optional
        (min, max) bounds circles' radii and ellipses' semi-axes (default: 8 to half the image's
        smaller side).
    delta : int, optional
        The inlier band's half-width (default 5 for lines, 2 for circles and ellipses).
    count : int, optional
        RANSAC samples per fit (default 400).
    seed : int, optional
        Seeds the C library's generator once before the first fit, so the same image and seed
        give the same shapes (None: not seeded).
    rows, columns : int, optional
        The scan lines (default: ``scan_lines``).
    min_distance : int, optional
        The denoising gap (default 3).
    slope_limit : float, optional
        Passed to ``ransac_line`` (default NaN, which never discards a candidate, so lines at
        every angle are found, horizontal ones included).
    ratio : float, optional
        The largest ratio of an ellipse's semi-axes, passed to ``ransac_ellipse``; defaults to
        4, or with a box to the object's own elongation (from its region's second moments) with
        room to spare, if larger.
    parallel : float, optional
        Passed to ``ransac_line2`` (default 0.95).
    region : tuple or array_like, optional
        A box (x, y, w, h) or a boolean mask: only the edge points inside it are kept.

    Returns
    -------
    Found
        The shapes, the selection, the edge points and the stages' times.

    Examples
    --------
    >>> import numpy as np
    >>> import quorvane_tools as qt
    >>> yy, xx = np.mgrid[0:120, 0:160]
    >>> img = np.full((120, 160, 3), 90, np.uint8)
    >>> img[(xx - 80) ** 2 + (yy - 60) ** 2 < 30 ** 2] = (200, 40, 40)   # a red disc on grey
    >>> window = qt.Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9))   # hue, chroma, intensity
    >>> found = qt.find_shapes(img, window, ["circle"], radius=(10, 50), seed=1)
    >>> disc = found.shapes[0]
    >>> disc.describe(), disc.warning
    ('centre (80.0, 60.0), radius 29.9', None)
    >>> found.to_dict()["count"]
    1
    """
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
    if obj is not None:
        wide_window(shapes, mask, img)
    times["fit"] = sum(s.times.get("fit", 0.0) for s in shapes)
    times["refine"] = sum(s.times.get("refine", 0.0) for s in shapes)
    times["remove"] = sum(s.times.get("remove", 0.0) for s in shapes)
    return Found(window, shapes, selection, points, times, obj)


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


