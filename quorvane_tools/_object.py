"""The object a box names: its dominant colour, and its region grown over the picture.

A box drawn on an object holds the object's colour and usually some of something else (a
highlight, a dark patch, the background at a corner). The object's colour is the box's dominant
colour cluster (clusters of the box's pixels, weighted towards the box's middle, nearby clusters
merged as shading of one colour). From the box's pixels of that colour the region grows over the
picture by the minimax path cost of a per-pixel cost made of

- the colour's distance from the object's, in hue, saturation (chroma over intensity, which
  shading leaves alone) and intensity (which shading changes: it counts less for coloured
  objects, whose hue and saturation say more), each in units of the box's own spread;
- the colour gradient above the box's own texture.

Growing by levels of that cost gives nested regions; the region kept is the one whose outline
runs along the strongest edges (the largest mean gradient along its outline) among those that
cover the box and stay the same material. Where the object's colour matches its background
(a white ball on grey wood), the edges bound it; where its outline is soft, colour does.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ._colour_model import ColourModel, _centre_weights, _model, dominant_colour, hci
from ._object_regions import (
    EDGE_STRENGTH, POLAR_NESTED, POLAR_WEIGHTS, SAME, _candidates, judge_region, polar_region, seed_sample,
)
from ._regions import flood, gradient

# Names of the growth's parts, importable from here as they always were.
from ._colour_model import (  # noqa: F401
    HUE_DRIFT, I_FLOOR, S_FLOOR, SHADE_SATURATION, _kmeans, _wrap, box_colour,
)
from ._object_regions import (  # noqa: F401
    GROWTH, MAX_STATIONS, POLAR_SMOOTH, POLAR_STEP_COST, STEP,
    _along_polygon, _rect, _region_hull,
)
from ._regions import component, dilate, fill_holes  # noqa: F401

__all__ = ["ColourModel", "Grown", "dominant_colour", "grow_object", "work_scale"]

LEVELS_PER_UNIT = 16  # quantisation of the growth cost: levels per unit of colour distance
MATERIAL = 6.0  # colour distance (in the box's spreads) beyond which a pixel is other material
WORK_PIXELS = 2_200_000  # larger pictures grow at a coarser scale (about 1080p and below: full)


@dataclass
class Grown:
    """A grown object: its region (filled, at the picture's resolution), the colour model, the
    box's pixels of the dominant colour (seeds), the level kept and the outline's mean
    gradient."""

    region: np.ndarray
    model: ColourModel
    seeds: np.ndarray
    level: float
    contrast: float


def work_scale(shape) -> int:
    """The integer factor by which a picture is shrunk for growing (1 up to about 1080p)."""
    return max(1, math.ceil(math.sqrt(shape[0] * shape[1] / WORK_PIXELS)))


def _shrink(a, k: int):
    """Block means (colour image) of k x k blocks; rows and columns beyond a multiple dropped."""
    if k == 1:
        return a
    rows, cols = a.shape[0] // k, a.shape[1] // k
    a = a[: rows * k, : cols * k]
    s = a.reshape(rows, k, cols, k, *a.shape[2:]).sum(axis=(1, 3), dtype=np.uint32)
    return (s // (k * k)).astype(np.uint8)


# The growths tried: (box weighting, weight of the colour distance, weight of the edges).
# Colour first follows shading across soft outlines; edges first stop at an outline that colour
# crosses (a colour that matches the background, a shadow of another hue); edges alone bound a
# patterned object by its outline.
GROWTHS = (("centre", 1.0, 0.5), ("centre", 0.4, 1.0), ("centre", 0.0, 1.0), ("flat", 1.0, 0.5))
NEARLY = 0.9  # a region scoring this share of the best one's counts as good
HOMOGENEOUS = 0.75  # a larger good region keeps at least this share of the best one's homogeneity


def grow_object(image, box, *, allowed=None, alpha=None) -> Grown:
    """Grow the object named by ``box`` = (x0, y0, x1, y1) (clipped, ends excluded) over the RGB
    ``image``. ``allowed`` (a mask: e.g. a colour window's selection) bounds the growth;
    ``alpha`` (a mask of the pixels that are not transparent) too.

    Several growths (colour and edges weighted differently) each give nested regions, one per
    level; each region is judged by the ellipse that fits its convex hull: how strongly the
    picture's edges follow that ellipse, how well it separates the object's colour inside from
    other colours outside, how convex the region is, and whether it holds the box's pixels of
    the object's colour. The best region wins."""
    rows, cols = image.shape[:2]
    k = work_scale(image.shape)
    img = _shrink(image, k)
    bound = None
    for m in (allowed, alpha):
        if m is not None:
            m = _shrink_mask(np.asarray(m, bool), k)
            bound = m if bound is None else bound & m
    x0, y0, x1, y1 = box
    bx0, by0 = min(x0 // k, img.shape[1] - 1), min(y0 // k, img.shape[0] - 1)
    bx1, by1 = max(bx0 + 1, -(-x1 // k)), max(by0 + 1, -(-y1 // k))
    bx1, by1 = min(bx1, img.shape[1]), min(by1, img.shape[0])
    h, c, i = hci(img)
    sub = (slice(by0, by1), slice(bx0, bx1))
    bw, bh = bx1 - bx0, by1 - by0
    inside = np.ones(bh * bw, bool) if bound is None else bound[sub].ravel()
    empty = np.zeros((rows, cols), bool)
    if not inside.any():
        return Grown(empty, _model(h[sub].ravel(), c[sub].ravel(), i[sub].ravel(), np.ones(bh * bw)), empty, 0.0, 0.0)
    step = max(1, math.isqrt(int(inside.sum()) // 20_000))  # at most about 20,000 pixels to cluster
    pick = np.flatnonzero(inside)[::step]
    bhue, bchroma, bint = (a[sub].ravel()[pick] for a in (h, c, i))
    grad = gradient(img)
    gbox = grad[sub].ravel()[pick]
    models = {}
    for name, weights in (("centre", _centre_weights(bh, bw)[pick]), ("flat", np.ones(len(pick)))):
        model, chosen = dominant_colour(bhue, bchroma, bint, weights)
        flat = np.zeros(bh * bw, bool)
        flat[pick[chosen]] = True
        if step > 1:  # the pixels between the sampled ones that have the same colour
            flat |= (model.distance(*hci(img[sub])).ravel() <= 2.0) & inside
        seeds = np.zeros(img.shape[:2], bool)
        seeds[sub] = flat.reshape(bh, bw)
        g0 = max(float(np.percentile(gbox[chosen], 75)), 3.0)
        models[name] = (model, seeds, g0)
    # An edge is a colour change well above the box's own texture.
    floor = max(EDGE_STRENGTH, 2.0 * float(np.median(gbox)) * 8 / 4)
    found = []
    done = set()
    for name, wc, we in GROWTHS:
        model, seeds, g0 = models[name]
        key = (model, wc, we)
        if key in done:
            continue  # both weightings found the same colour
        done.add(key)
        colour = model.distance(h, c, i) if wc > 0 else None
        edge = grad * np.float32(1 / g0)
        if wc > 0:
            cost = (wc * colour + we * np.maximum(edge - 1.0, 0.0)) * LEVELS_PER_UNIT
        else:
            cost = edge * (LEVELS_PER_UNIT / 2)
        levels = flood(np.minimum(cost, 254).astype(np.uint8), seeds, bound)
        if colour is None:
            colour = model.distance(h, c, i)
        found += [cand + (model, seeds) for cand in _candidates(img, levels, seeds, model, colour, (bw * bh),
                                                                 bound, floor)]
    model, seeds, _ = models["centre"]
    for weight in POLAR_WEIGHTS:
        ring = None
        for _ in range(POLAR_NESTED):  # the outline round the seeds, then the next one out
            ring = polar_region(img, seeds, max(16, 4 * max(bw, bh)), bound, model, weight, outside=ring)
            if ring is None:
                break
            s = judge_region(img, ring, seed_sample(seeds), model, floor)
            if s is not None:
                same = float(np.mean(model.distance(h[ring], c[ring], i[ring]) <= SAME))
                found.append((s[0], 0, ring, same, model, seeds))
    if not found:
        return Grown(empty, models["centre"][0], empty, 0.0, 0.0)
    # The whole object rather than a part of it: the largest region that scores nearly as well
    # as the best one.
    # A larger region must not owe its size to another material: at least most as much of it
    # has the object's colour as of the best region.
    best = max(found, key=lambda c: c[0])
    score, tau, region, _, model, seeds = max(
        (c for c in found if c[0] >= NEARLY * best[0] and c[3] >= HOMOGENEOUS * best[3]),
        key=lambda c: int(np.count_nonzero(c[2])))
    if k > 1:
        region = _grow_back(region, k, rows, cols)
        seeds = _grow_back(seeds, k, rows, cols)
    return Grown(region, model, seeds, tau / LEVELS_PER_UNIT, score)



def _grow_back(m, k, rows, cols):
    big = np.zeros((rows, cols), bool)
    big[: m.shape[0] * k, : m.shape[1] * k] = np.repeat(np.repeat(m, k, axis=0), k, axis=1)
    return big


def _shrink_mask(m, k: int):
    if k == 1:
        return m
    rows, cols = m.shape[0] // k, m.shape[1] // k
    return m[: rows * k, : cols * k].reshape(rows, k, cols, k).mean(axis=(1, 3)) >= 0.5


