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

from ._regions import fill_holes, flood, gradient, component, dilate

__all__ = ["ColourModel", "Grown", "dominant_colour", "grow_object", "work_scale"]

I_FLOOR = 0.03  # intensity floor of the logarithms (channels as fractions)
S_FLOOR = 0.04  # saturation floor
SHADE_SATURATION = 0.6  # log saturation that shading gains per unit of log intensity it loses
HUE_DRIFT = 1.5  # hue may drift this much more per unit of log intensity away from the object's
LEVELS_PER_UNIT = 16  # quantisation of the growth cost: levels per unit of colour distance
MATERIAL = 6.0  # colour distance (in the box's spreads) beyond which a pixel is other material
WORK_PIXELS = 2_200_000  # larger pictures grow at a coarser scale (about 1080p and below: full)


@dataclass(frozen=True)
class ColourModel:
    """An object's colour: mean hue (radians), median log saturation, median log intensity and
    their spreads, and the median saturation and intensity."""

    hue: float
    log_s: float
    log_i: float
    sd_hue: float
    sd_log_s: float
    sd_log_i: float
    saturation: float
    intensity: float

    @property
    def shading(self) -> float:
        """How much less intensity counts than hue and saturation (1 for grey objects, up to 3
        for saturated ones)."""
        rel = self.saturation / (self.saturation + 0.15)
        return 1.0 + 2.0 * rel

    def distance(self, hue, chroma, intensity):
        """Colour distance of pixels (float arrays) from the model, in units of its spreads.

        Shading moves colours along lines, not in every direction: a shadow is darker and,
        lit by the light its surroundings reflect, often more saturated and of a drifted hue; a
        highlight is brighter and paler. So the saturation's change counts net of what the
        intensity's change explains, and hue may drift in proportion to the intensity's change;
        a colour paler or more saturated at the same intensity is another material."""
        s = chroma / (intensity + I_FLOOR)
        low = np.minimum(s, self.saturation)
        rel = low / (low + 0.08)  # hue means little at low saturation
        di = np.log(intensity + I_FLOOR) - self.log_i
        drift = 1.0 + HUE_DRIFT * np.abs(di)
        dh = _wrap(hue - self.hue) * (rel / (self.sd_hue * drift))
        ds = (np.log(s + S_FLOOR) - self.log_s + SHADE_SATURATION * di) / self.sd_log_s
        di = di / (self.sd_log_i * self.shading)
        return np.sqrt(dh * dh + ds * ds + di * di)


def _wrap(a):
    return (a + np.pi) % (2 * np.pi) - np.pi


def hci(rgb):
    """Hue, chroma and intensity as float32 arrays, channels as fractions of 255 (for growing:
    the colour model of the image passes, up to the channel scale)."""
    f = rgb.astype(np.float32) * np.float32(1 / 255)
    r, g, b = f[..., 0], f[..., 1], f[..., 2]
    x = r - 0.5 * (g + b)
    y = np.float32(math.sqrt(3) / 2) * (g - b)
    return np.arctan2(y, x), np.hypot(x, y), (r + g + b) * np.float32(1 / 3)


def _model(h, c, i, w) -> ColourModel:
    wc = w * (c + 1e-6)
    mh = math.atan2(float(np.sum(wc * np.sin(h))), float(np.sum(wc * np.cos(h))))
    s = c / (i + I_FLOOR)
    ls, li = np.log(s + S_FLOOR), np.log(i + I_FLOOR)
    mls, mli = float(np.median(ls)), float(np.median(li))

    def spread(v, centre, floor):
        return max(1.4826 * float(np.median(np.abs(v - centre))), floor)

    return ColourModel(
        mh, mls, mli,
        spread(_wrap(h - mh), 0.0, 0.06), spread(ls, mls, 0.12), spread(li, mli, 0.25),
        float(np.median(s)), float(np.median(i)),
    )


def _kmeans(x, w, k: int, rounds: int = 12):
    """Weighted k-means with a fixed k-means++ start (seeded: the same box gives the same
    clusters). Returns each point's cluster."""
    rng = np.random.default_rng(0)
    p = w / w.sum()
    centres = [x[rng.choice(len(x), p=p)]]
    for _ in range(k - 1):
        d2 = np.min(((x[:, None, :] - np.asarray(centres)[None]) ** 2).sum(-1), axis=1)
        q = w * d2
        if q.sum() <= 0:
            break
        centres.append(x[rng.choice(len(x), p=q / q.sum())])
    c = np.asarray(centres)
    lab = np.zeros(len(x), np.int64)
    for _ in range(rounds):
        lab = np.argmin(((x[:, None, :] - c[None]) ** 2).sum(-1), axis=1)
        for j in range(len(c)):
            m = lab == j
            if m.any():
                c[j] = np.average(x[m], axis=0, weights=w[m])
    return lab


def dominant_colour(h, c, i, weights):
    """The box's dominant colour: (ColourModel, which of the given pixels have it).

    The pixels are clustered in (chroma vector, log intensity); clusters whose colours lie
    within two spreads of each other are one colour under different shading and merge; the
    heaviest colour, by the weights (the box's middle counts most), wins."""
    feats = np.stack([3 * c * np.cos(h), 3 * c * np.sin(h), np.log(i + I_FLOOR)], axis=1)
    k = min(4, max(1, len(h) // 8))
    lab = _kmeans(feats.astype(np.float64), weights, k) if k > 1 else np.zeros(len(h), np.int64)
    groups = [np.flatnonzero(lab == j) for j in range(k) if np.any(lab == j)]
    while len(groups) > 1:
        models = [_model(h[g], c[g], i[g], weights[g]) for g in groups]
        best = None
        for a in range(len(groups)):
            for b in range(a + 1, len(groups)):
                ma, mb = models[a], models[b]
                # each cluster's middle seen from the other's model, the nearer of the two
                d = min(
                    float(np.median(ma.distance(h[groups[b]], c[groups[b]], i[groups[b]]))),
                    float(np.median(mb.distance(h[groups[a]], c[groups[a]], i[groups[a]]))),
                )
                if best is None or d < best[0]:
                    best = (d, a, b)
        if best[0] > 2.0:
            break
        _, a, b = best
        groups[a] = np.concatenate([groups[a], groups[b]])
        del groups[b]
    heaviest = max(groups, key=lambda g: float(weights[g].sum()))
    chosen = np.zeros(len(h), bool)
    chosen[heaviest] = True
    return _model(h[chosen], c[chosen], i[chosen], weights[chosen]), chosen


def box_colour(img, box) -> ColourModel:
    """The dominant colour of a box (x0, y0, x1, y1) of an RGB image, its middle weighted most."""
    x0, y0, x1, y1 = box
    h, c, i = (a.ravel() for a in hci(img[y0:y1, x0:x1]))
    step = max(1, math.isqrt(len(h) // 20_000))
    w = _centre_weights(y1 - y0, x1 - x0)
    return dominant_colour(h[::step], c[::step], i[::step], w[::step])[0]


def _centre_weights(rows: int, cols: int) -> np.ndarray:
    yy, xx = np.mgrid[0:rows, 0:cols]
    u = (xx - (cols - 1) / 2) / (0.5 * cols)
    v = (yy - (rows - 1) / 2) / (0.5 * rows)
    return (np.exp(-(u * u + v * v)) + 0.05).ravel()


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
STEP = 3  # levels between the regions looked at
NEARLY = 0.9  # a region scoring this share of the best one's counts as good
SAME = 3.0  # colour distance within which a pixel has the object's colour
HOMOGENEOUS = 0.75  # a larger good region keeps at least this share of the best one's homogeneity
GROWTH = 1.1  # a region looked at holds at least this many times the pixels of the one before


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


POLAR_STEP_COST = 1.0  # the outline's cost per pixel of radius it moves from one ray to the next
POLAR_WEIGHTS = (0.0, 0.05)  # outlines by edges alone, and by edges and the object's colour
POLAR_NESTED = 2  # outlines looked at per weight: round the seeds, then the next one out
POLAR_SMOOTH = 0.0  # pixels: the Gaussian along the rays before their colour changes are taken


def polar_region(img, seeds, rmax: int, bound=None, model=None, weight: float = 0.0, outside=None):
    """The region inside the strongest closed outline round the seeds, or None.

    Rays from the seeds' centre sample the colour every pixel out to ``rmax``; the outline is
    the path through the rays (one radius per ray, beyond every seed) that crosses the largest
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
    rs = np.arange(1, rmax + 1, dtype=np.float64)
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
        cost = cost + weight * (within + beyond)
    cost[~inside] = np.minimum(cost[~inside], 0.0) if weight > 0 else 0.0
    if bound is not None:
        xi = np.clip(np.round(X).astype(np.int64), 0, cols - 1)
        yi = np.clip(np.round(Y).astype(np.int64), 0, rows - 1)
        cost[inside & ~bound[yi, xi]] += 0.5  # leaving the allowed pixels costs
    cost[rs[None, :] < need[:, None]] = 1e9
    cost = np.ascontiguousarray(cost, np.float32)
    reach = max(1, math.ceil(rmax * 2 * math.pi / n_t * 1.2))
    path = np.empty(n_t, np.int32)
    _native.polar_path(cost, reach, POLAR_STEP_COST, path)
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


def _grow_back(m, k, rows, cols):
    big = np.zeros((rows, cols), bool)
    big[: m.shape[0] * k, : m.shape[1] * k] = np.repeat(np.repeat(m, k, axis=0), k, axis=1)
    return big


def _shrink_mask(m, k: int):
    if k == 1:
        return m
    rows, cols = m.shape[0] // k, m.shape[1] // k
    return m[: rows * k, : cols * k].reshape(rows, k, cols, k).mean(axis=(1, 3)) >= 0.5


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
