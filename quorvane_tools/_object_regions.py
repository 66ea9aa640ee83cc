"""Candidate regions of an object and how they are judged: the region inside the strongest
closed outline round the box's pixels, the best regions of a growth, and the score of a region
by the ellipse of its convex hull along the picture's edges."""

from __future__ import annotations

import math

import numpy as np

from ._regions import fill_holes

STEP = 3  # levels between the regions looked at
SAME = 3.0  # colour distance within which a pixel has the object's colour
GROWTH = 1.1  # a region looked at holds at least this many times the pixels of the one before
POLAR_STEP_COST = 1.0  # the outline's cost per pixel of radius it moves from one ray to the next
POLAR_WEIGHTS = (0.0, 0.05)  # outlines by edges alone, and by edges and the object's colour
POLAR_NESTED = 2  # outlines looked at per weight: round the seeds, then the next one out
POLAR_SMOOTH = 0.0  # pixels: the Gaussian along the rays before their colour changes are taken
# Samples per ray at most: longer rays (a long side of a thin picture) are sampled every few
# pixels, so that the outline's work and memory stay bounded whatever the picture's shape.
# Pictures grown at full scale (about 1080p and below, 2,203 pixels corner to corner) are
# sampled every pixel.
POLAR_SAMPLES = 2400


def polar_region(img, seeds, rmax: int, bound=None, model=None, weight: float = 0.0, outside=None):
    """The region inside the strongest closed outline round the seeds, or None.

    Rays from the seeds' centre sample the colour every pixel (every few pixels on rays longer
    than ``POLAR_SAMPLES``) out to ``rmax``; the outline is the path through the rays (one radius per ray, beyond every seed) that crosses the largest
    colour changes with the fewest jumps in radius from one ray to the next, found by dynamic
    programming. An object whose outline is a weak edge all round (a shadowed side on a
    background of its colour) is bounded there, where growing by colour runs on. With a colour
    ``model`` and a ``weight``, every pixel of another colour inside the outline, and every pixel
    of the model's colour outside it, costs ``weight`` too (the shadowed side of an object is its
    colour, by the model's shading). ``outside`` (a region) must lie inside the outline too, a
    few pixels in: the next outline out from it."""
    from ._edges import _bilinear
    from ._regions import _native

    ys, xs = np.nonzero(seeds)
    if len(xs) == 0:
        return None
    rows, cols = seeds.shape
    cx, cy = float(xs.mean()), float(ys.mean())
    rmax = int(min(rmax, math.hypot(rows, cols)))
    n_t = int(np.clip(2 * math.pi * min(rmax, 200) / 3, 90, 360))
    th = np.arange(n_t) * (2 * math.pi / n_t)
    step = max(1, math.ceil(rmax / POLAR_SAMPLES))  # pixels between a ray's samples
    rs = np.arange(1, rmax + 1, step, dtype=np.float64)
    dx, dy = np.cos(th), np.sin(th)
    X = cx + dx[:, None] * rs[None]
    Y = cy + dy[:, None] * rs[None]
    inside = (X >= 0) & (X <= cols - 1) & (Y >= 0) & (Y <= rows - 1)
    prof = _bilinear(img, X, Y)
    if POLAR_SMOOTH > 0:  # texture (a fruit's peel, a coin's relief) smoothed away along the rays
        k = np.exp(-0.5 * (np.arange(-3 * POLAR_SMOOTH, 3 * POLAR_SMOOTH + 1) / POLAR_SMOOTH) ** 2)
        k = (k / k.sum()).astype(np.float32)
        pad = len(k) // 2
        padded = np.concatenate([np.repeat(prof[:, :1], pad, axis=1), prof, np.repeat(prof[:, -1:], pad, axis=1)], 1)
        prof = sum(k[j] * padded[:, j: j + prof.shape[1]] for j in range(len(k)))
    change = np.zeros(prof.shape[:2], np.float32)
    change[:, 1:-1] = np.sqrt(((prof[:, 2:] - prof[:, :-2]) ** 2).sum(axis=2)) * 0.5
    change = 0.5 * change + 0.25 * (np.roll(change, 1, axis=0) + np.roll(change, -1, axis=0))
    # Every seed lies inside the outline: per ray, the farthest seed near it.
    ang = np.mod(np.arctan2(ys - cy, xs - cx), 2 * math.pi)
    idx = np.round(ang / (2 * math.pi) * n_t).astype(np.int64) % n_t
    need = np.zeros(n_t)
    np.maximum.at(need, idx, np.hypot(xs - cx, ys - cy))
    need = np.maximum(need, np.maximum(np.roll(need, 1), np.roll(need, -1)))
    if outside is not None:
        oy, ox = np.nonzero(outside)
        if len(ox):
            oi = np.round(np.mod(np.arctan2(oy - cy, ox - cx), 2 * math.pi) / (2 * math.pi) * n_t).astype(np.int64) % n_t
            past = np.zeros(n_t)
            np.maximum.at(past, oi, np.hypot(ox - cx, oy - cy) + 3.0)
            need = np.maximum(need, np.maximum(past, np.maximum(np.roll(past, 1), np.roll(past, -1))))
    ref = max(float(np.percentile(change[rs[None, :] < need[:, None] + 1], 75)) if need.any() else 0.0, 4.0)
    cost = -(change / ref)
    if model is not None and weight > 0:
        f = prof * np.float32(1 / 255)
        r_, g_, b_ = f[..., 0], f[..., 1], f[..., 2]
        xx = r_ - 0.5 * (g_ + b_)
        yy = np.float32(math.sqrt(3) / 2) * (g_ - b_)
        like = np.exp(-0.125 * model.distance(np.arctan2(yy, xx), np.hypot(xx, yy), (r_ + g_ + b_) * np.float32(1 / 3)))
        like = np.where(inside, like, 0.5)
        within = np.cumsum(1 - like, axis=1)  # other colours inside, the outline after sample r
        beyond = np.cumsum(like[:, ::-1], axis=1)[:, ::-1]
        beyond = np.concatenate([beyond[:, 1:], np.zeros((n_t, 1), beyond.dtype)], axis=1)
        cost = cost + (weight * step) * (within + beyond)
    cost[~inside] = np.minimum(cost[~inside], 0.0) if weight > 0 else 0.0
    if bound is not None:
        xi = np.clip(np.round(X).astype(np.int64), 0, cols - 1)
        yi = np.clip(np.round(Y).astype(np.int64), 0, rows - 1)
        cost[inside & ~bound[yi, xi]] += 0.5  # leaving the allowed pixels costs
    cost[rs[None, :] < need[:, None]] = 1e9
    cost = np.ascontiguousarray(cost, np.float32)
    reach = max(1, math.ceil(rmax * 2 * math.pi / n_t * 1.2 / step))
    path = np.empty(n_t, np.int32)
    _native.polar_path(cost, reach, POLAR_STEP_COST * step, path)
    r = rs[path] + 0.5
    pts = np.stack([cx + dx * r, cy + dy * r], axis=1)
    pts[:, 0] = np.clip(pts[:, 0], 0, cols - 1)
    pts[:, 1] = np.clip(pts[:, 1], 0, rows - 1)
    out = np.zeros(seeds.shape, np.uint8)
    from ._regions import hull as convex_hull

    hull = convex_hull(pts)
    if len(hull) < 3:
        return None
    _native.fill_convex(np.ascontiguousarray(hull, np.float64), out)
    region = out.view(bool)
    return region if bound is None else region & bound


def _candidates(img, levels, seeds, model, colour, box_area, bound, floor, keep: int = 6):
    """(score, level, region) of the best few regions of a growth: each region's hull judged by
    its ellipse (see ``judge_region``), the best ``keep`` then again with their holes filled."""
    n = 256
    area = np.cumsum(np.bincount(levels.ravel(), minlength=n)[:n])
    total = levels.size if bound is None else int(np.count_nonzero(bound))
    n_seeds = int(np.count_nonzero(seeds))
    seed_points = seed_sample(seeds)
    scored = []
    last = 0
    for t in range(1, 254, STEP):
        a = int(area[t])
        if a < max(0.3 * box_area, 0.9 * n_seeds, 12) or a > 0.95 * total or a < GROWTH * last:
            continue
        last = a
        region = levels <= t
        s = judge_region(img, region, seed_points, model, floor, refine=False)
        if s is not None:
            scored.append((s[0], t, region, s[1]))
    # The best few, judged again with their ellipses refined on the picture's edges.
    scored.sort(key=lambda x: -x[0])
    again = []
    for _, t, region, _ in scored[: 2 * keep]:
        s = judge_region(img, region, seed_points, model, floor)
        if s is not None:
            again.append((s[0], t, region, s[1]))
    again.sort(key=lambda x: -x[0])
    out = []
    for s, t, region, hull_area in again[:keep]:
        filled = fill_holes(region)
        convexity = min(1.0, float(np.count_nonzero(filled)) / max(hull_area, 1.0))
        out.append((s * convexity, t, filled, float(np.mean(colour[region] <= SAME))))
    return out


EDGE_STRENGTH = 12.0  # colour change (0..255 units per pixel) that counts as an edge at least


MAX_STATIONS = 160  # stations round an ellipse judged at most


def judge_region(img, region, seed_points, model, floor: float, *, refine: bool = True):
    """(score, hull area) of a region, or None.

    The ellipse fitted to the region's convex hull, refined on the picture's edges, is scored by
    the share of its outline that runs along an edge (a colour change of at least ``floor``
    within a pixel and a half) times how well it separates the object's colour inside from
    other colours outside (plus a floor, for objects whose colour matches their surroundings);
    a region whose ellipse leaves out the box's pixels of the object's colour (``seed_points``,
    (n, 2) from ``seed_sample``) scores nothing."""
    from ._edges import _bilinear, edge_points, stations
    from ._judge import refine_on_edges
    from ._refine import direct_ellipse, distance
    from ._regions import outline_points

    hull = _region_hull(region)
    if hull is None or len(hull) < 3:
        return None
    x, y = hull[:, 0], hull[:, 1]
    hull_area = 0.5 * abs(float(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1))))
    m = direct_ellipse(_along_polygon(hull, 2.0))
    rows, cols = img.shape[:2]
    if m is None or max(m["a"], m["b"]) > 2 * max(rows, cols) or min(m["a"], m["b"]) < 1:
        return None
    if refine:
        support = outline_points(region, _rect(m, 6, rows, cols))
        if len(support) >= 8:
            m = refine_on_edges("ellipse", m, support, img, 3.0, rounds=2)
    if np.mean(distance("ellipse", m, seed_points) <= 0) < 0.8:
        return None
    reach = max(m["a"], m["b"])
    st, nm = stations("ellipse", m, None, max(1.0, 2 * math.pi * reach / MAX_STATIONS))
    ok = (st[:, 0] >= 4) & (st[:, 0] <= cols - 5) & (st[:, 1] >= 4) & (st[:, 1] <= rows - 5)
    if ok.sum() < 8:
        return None
    st, nm = st[ok], nm[ok]
    _, strength = edge_points(img, st, nm, 1.5, closed=True)
    edges = float(np.mean(np.minimum(strength, 60.0)))
    both = np.concatenate([st - 2.5 * nm, st + 2.5 * nm])
    f = _bilinear(img, both[:, 0], both[:, 1]) * np.float32(1 / 255)
    r, g, b = f[:, 0], f[:, 1], f[:, 2]
    xx = r - 0.5 * (g + b)
    yy = np.float32(math.sqrt(3) / 2) * (g - b)
    d = model.distance(np.arctan2(yy, xx), np.hypot(xx, yy), (r + g + b) * np.float32(1 / 3))
    like = np.exp(-0.125 * d * d)
    n = len(st)
    separation = float(np.mean(np.maximum(like[:n] - like[n:], 0.0)))
    return edges * (0.25 + separation), hull_area


def seed_sample(seeds, limit: int = 500) -> np.ndarray:
    """At most about ``limit`` of a mask's pixels, evenly spread, as (n, 2) float (x, y)."""
    ys, xs = np.nonzero(seeds)
    step = max(1, len(xs) // limit)
    return np.stack([xs[::step], ys[::step]], axis=1).astype(np.float64)


def _rect(m, margin, rows, cols):
    reach = max(m["a"], m["b"]) + margin
    return (max(0, math.floor(m["x"] - reach)), max(0, math.floor(m["y"] - reach)),
            min(cols, math.ceil(m["x"] + reach) + 1), min(rows, math.ceil(m["y"] + reach) + 1))


def _region_hull(region):
    """The convex hull of a mask's pixel centres, or None for an empty mask."""
    from ._regions import mask_hull

    hull = mask_hull(region)
    return hull if len(hull) else None


def _along_polygon(poly, step):
    """Points about ``step`` apart along a closed polygon's edges."""
    out = []
    for a, b in zip(poly, np.roll(poly, -1, axis=0)):
        n = max(1, int(math.hypot(*(b - a)) / step))
        t = np.arange(n) / n
        out.append(a + t[:, None] * (b - a))
    return np.concatenate(out)
