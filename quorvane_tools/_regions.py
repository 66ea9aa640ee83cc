"""Regions of boolean masks at full resolution: connected parts, holes, widening and outlines.

The labelling and the seeded growth run in the package's native helper, a few milliseconds on a
1080p mask, and cost a few bytes per pixel."""

from __future__ import annotations

import math

import numpy as np

from . import _native

__all__ = ["labels", "component", "fill_holes", "dilate", "outline_points", "flood", "gradient"]


def _plane(mask) -> np.ndarray:
    """A C-contiguous one-byte view of a boolean or uint8 mask (no copy when it already is one)."""
    m = np.asarray(mask)
    if m.dtype != np.bool_ and m.dtype != np.uint8:
        m = m != 0
    return np.ascontiguousarray(m).view(np.uint8)


def labels(mask, connectivity: int = 8):
    """Connected parts of a mask: (labels, stats).

    ``labels`` is an int32 array of the mask's shape, 0 for background and 1..n for the parts in
    raster order of their first pixel; ``stats`` is an (n, 5) int32 array of each part's pixel
    count and bounding box ``x0, y0, x1, y1`` (ends excluded)."""
    m = _plane(mask)
    out = np.empty(m.shape, np.int32)
    n, stats = _native.label(m, out, connectivity)
    return out, np.frombuffer(stats, np.int32).reshape(n, 5)


def part_stats(mask, connectivity: int = 8) -> np.ndarray:
    """The stats of ``labels`` without the label image."""
    n, stats = _native.label(_plane(mask), None, connectivity)
    return np.frombuffer(stats, np.int32).reshape(n, 5)


def component(mask, seed):
    """The pixels of ``mask`` 8-connected to the pixels of ``seed`` (a mask of the same shape)."""
    m = np.asarray(mask, bool)
    lab, _ = labels(m)
    hit = np.zeros(int(lab.max()) + 1 if lab.size else 1, bool)
    hit[lab[np.asarray(seed, bool) & m]] = True
    hit[0] = False
    return hit[lab]


def fill_holes(mask):
    """The mask with every hole filled: background parts (4-connected) that do not reach the
    picture's edge become foreground."""
    m = np.asarray(mask, bool)
    if not m.any():
        return m.copy()
    lab, stats = labels(~m, 4)
    rows, cols = m.shape
    x0, y0, x1, y1 = stats[:, 1], stats[:, 2], stats[:, 3], stats[:, 4]
    inner = np.concatenate(([False], (x0 > 0) & (y0 > 0) & (x1 < cols) & (y1 < rows)))
    return m | inner[lab]


def dilate(mask, r: int = 2):
    """``mask`` widened by ``r`` pixels along rows and columns (a square of side 2r + 1)."""
    out = np.asarray(mask, bool)
    if r <= 0 or out.size == 0:
        return out.copy()
    for axis in (0, 1):
        n = out.shape[axis]
        # Pixels set within r of each position: a difference of running counts.
        counts = np.cumsum(out, axis=axis, dtype=np.int32)
        hi = np.take(counts, np.minimum(np.arange(n) + r, n - 1), axis=axis)
        lo_idx = np.arange(n) - r - 1
        lo = np.take(counts, np.maximum(lo_idx, 0), axis=axis)
        shape = [1, 1]
        shape[axis] = n
        lo = np.where((lo_idx >= 0).reshape(shape), lo, 0)
        out = hi > lo
    return out


def outline_points(mask, rect=None, line=None) -> np.ndarray:
    """Points on the outline of a mask, half-way between each foreground pixel and each of its
    background 4-neighbours (the picture's own edge is no outline: a shape cut by the frame keeps
    only its real edge), as an (n, 2) float64 array of (x, y). ``rect`` = (x0, y0, x1, y1) limits
    the search to a rectangle; ``line`` = (a, b, c, band) to pixels (x, y) with
    |a x + b y + c| <= band."""
    m = _plane(mask)
    rows, cols = m.shape
    x0, y0, x1, y1 = (0, 0, cols, rows) if rect is None else (int(v) for v in rect)
    a, b, c, band = (0.0, 0.0, 0.0, -1.0) if line is None else (float(v) for v in line)
    raw = _native.outline(m, x0, y0, x1, y1, a, b, c, band)
    return np.frombuffer(raw, np.int32).reshape(-1, 2) * 0.5


def outline_ring(mask, x, y, a, b, theta, band) -> np.ndarray:
    """``outline_points`` of the pixels in the ring within ``band`` of the ellipse (a, b,
    theta) round (x, y) (a circle when a = b), as an (n, 2) float64 array."""
    raw = _native.outline_ring(_plane(mask), float(x), float(y), float(a), float(b), float(theta), float(band))
    return np.frombuffer(raw, np.int32).reshape(-1, 2) * 0.5


def flood(cost, seeds, allowed=None) -> np.ndarray:
    """Minimax growth levels: for each pixel reachable from ``seeds`` through 4-connected pixels
    of ``allowed``, the smallest possible largest ``cost`` (uint8, at most 254) along a path
    from a seed; 255 where unreached."""
    cost = np.ascontiguousarray(cost, np.uint8)
    out = np.empty(cost.shape, np.uint8)
    _native.flood(cost, _plane(seeds), None if allowed is None else _plane(allowed), out)
    return out


def thin_edges(image, threshold: int = 8) -> np.ndarray:
    """The picture's thin edges: pixels where the colour gradient (as ``gradient`` measures it)
    is at least ``threshold`` and a maximum across the edge, as a boolean mask."""
    img = np.ascontiguousarray(image, np.uint8)
    out = np.empty(img.shape[:2], np.uint8)
    _native.edge_mask(img, int(threshold), out)
    return out.view(bool)


def gradient(image) -> np.ndarray:
    """The largest of the three channels' Sobel magnitudes (|gx| + |gy|) / 8, as uint8."""
    img = np.ascontiguousarray(image, np.uint8)
    out = np.empty(img.shape[:2], np.uint8)
    _native.gradient(img, out)
    return out


def hull(points) -> np.ndarray:
    """The convex hull of (n, 2) float points (a few hundred: the chain runs in Python)."""
    pts = np.unique(np.asarray(points, np.float64), axis=0)  # sorted by x, then y
    if len(pts) < 3:
        return pts

    def chain(seq):
        out = []
        for p in seq:
            while len(out) >= 2:
                (ax, ay), (bx, by) = out[-2], out[-1]
                if (bx - ax) * (p[1] - ay) - (by - ay) * (p[0] - ax) > 0:
                    break
                out.pop()
            out.append((float(p[0]), float(p[1])))
        return out

    lower, upper = chain(pts), chain(pts[::-1])
    return np.array(lower[:-1] + upper[:-1])


def mask_hull(mask) -> np.ndarray:
    """The convex hull of a mask's pixel centres, as an (n, 2) float64 array of vertices in
    order (empty for an empty mask)."""
    raw = _native.mask_hull(_plane(mask))
    return np.frombuffer(raw, np.int32).reshape(-1, 2).astype(np.float64)


def convex_fill(mask) -> np.ndarray:
    """The convex hull of a mask's pixels, as a mask (every pixel whose centre lies in the hull
    of the pixel centres, or on its edge)."""
    m = np.asarray(mask, bool)
    hull = mask_hull(m)
    out = np.zeros(m.shape, np.uint8)
    if len(hull):
        _native.fill_convex(np.ascontiguousarray(hull), out)
    return out.view(bool) | m
