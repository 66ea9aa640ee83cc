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
        """Colour distance of pixels (float arrays) from the model, in units of its spreads."""
        s = chroma / (intensity + I_FLOOR)
        low = np.minimum(s, self.saturation)
        rel = low / (low + 0.08)  # hue means little at low saturation
        dh = _wrap(hue - self.hue) * (rel / self.sd_hue)
        ds = (np.log(s + S_FLOOR) - self.log_s) / self.sd_log_s
        di = (np.log(intensity + I_FLOOR) - self.log_i) / (self.sd_log_i * self.shading)
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


def grow_object(image, box, *, allowed=None, alpha=None) -> Grown:
    """Grow the object named by ``box`` = (x0, y0, x1, y1) (clipped, ends excluded) over the RGB
    ``image``. ``allowed`` (a mask: e.g. a colour window's selection) bounds the growth;
    ``alpha`` (a mask of the pixels that are not transparent) too."""
    rows, cols = image.shape[:2]
    k = work_scale(image.shape)
    img = _shrink(image, k)
    bound = None
    for m in (allowed, alpha):
        if m is not None:
            m = _shrink_mask(np.asarray(m, bool), k)
            bound = m if bound is None else bound & m
    x0, y0, x1, y1 = box
    bx0, by0 = x0 // k, y0 // k
    bx1, by1 = max(bx0 + 1, -(-x1 // k)), max(by0 + 1, -(-y1 // k))
    bx1, by1 = min(bx1, img.shape[1]), min(by1, img.shape[0])
    h, c, i = hci(img)
    sub = (slice(by0, by1), slice(bx0, bx1))
    weights = _centre_weights(by1 - by0, bx1 - bx0)
    inside = np.ones((by1 - by0) * (bx1 - bx0), bool) if bound is None else bound[sub].ravel()
    if not inside.any():
        empty = np.zeros((rows, cols), bool)
        return Grown(empty, _model(h[sub].ravel(), c[sub].ravel(), i[sub].ravel(), weights), empty, 0.0, 0.0)
    step = max(1, math.isqrt(int(inside.sum()) // 20_000))  # at most about 20,000 pixels to cluster
    pick = np.flatnonzero(inside)[::step]
    bh, bc, bi = (a[sub].ravel()[pick] for a in (h, c, i))
    model, chosen = dominant_colour(bh, bc, bi, weights[pick])
    grad = gradient(img)
    g0 = max(float(np.percentile(grad[sub].ravel()[pick][chosen], 75)), 3.0)
    colour = model.distance(h, c, i)
    del h, c, i
    edge = np.maximum(grad * np.float32(1 / g0) - 1.0, 0.0) * np.float32(0.5)
    cost = np.minimum((colour + edge) * LEVELS_PER_UNIT, 254).astype(np.uint8)
    del edge
    seeds = np.zeros(img.shape[:2], bool)
    flat = np.zeros((by1 - by0) * (bx1 - bx0), bool)
    flat[pick[chosen]] = True
    if step > 1:  # the pixels between the sampled ones that have the same colour
        near = model.distance(*hci(img[sub])).ravel() <= 2.0
        flat |= near & inside
    seeds[sub] = flat.reshape(by1 - by0, bx1 - bx0)
    levels = flood(cost, seeds, bound)
    tau, contrast = _choose_level(levels, grad, colour, int(seeds.sum()), bound)
    region = levels <= tau
    region = _clean(region, seeds)
    if k > 1:
        region = np.repeat(np.repeat(region, k, axis=0), k, axis=1)
        full = np.zeros((rows, cols), bool)
        full[: region.shape[0], : region.shape[1]] = region
        region = full
        big_seeds = np.zeros((rows, cols), bool)
        big_seeds[: seeds.shape[0] * k, : seeds.shape[1] * k] = np.repeat(np.repeat(seeds, k, 0), k, 1)
        seeds = big_seeds
    return Grown(region, model, seeds, tau / LEVELS_PER_UNIT, contrast)


def _shrink_mask(m, k: int):
    if k == 1:
        return m
    rows, cols = m.shape[0] // k, m.shape[1] // k
    return m[: rows * k, : cols * k].reshape(rows, k, cols, k).mean(axis=(1, 3)) >= 0.5


def _choose_level(levels, grad, colour, n_seeds: int, bound):
    """The level whose region's outline has the largest mean gradient, among regions that hold
    most of the seeds and stay within the material's colour distance."""
    lv = levels.astype(np.int16)
    nb = np.zeros_like(lv)
    # The largest level among the 4-neighbours: a pixel is on the outline of the regions
    # {levels <= t} for lv <= t < nb.
    np.maximum(nb[:, :-1], lv[:, 1:], out=nb[:, :-1])
    np.maximum(nb[:, 1:], lv[:, :-1], out=nb[:, 1:])
    np.maximum(nb[:-1], lv[1:], out=nb[:-1])
    np.maximum(nb[1:], lv[:-1], out=nb[1:])
    on = (lv < 255) & (nb > lv)
    lo, hi, g = lv[on], nb[on], grad[on].astype(np.float64)
    n = 256
    length = np.cumsum(np.bincount(lo, minlength=n)[:n] - np.bincount(hi, minlength=n)[:n])
    strength = np.cumsum(np.bincount(lo, g, minlength=n)[:n] - np.bincount(hi, g, minlength=n)[:n])
    area = np.cumsum(np.bincount(lv.ravel(), minlength=n)[:n])
    total = levels.size if bound is None else int(np.count_nonzero(bound))
    cap = int(MATERIAL * LEVELS_PER_UNIT)
    t = np.arange(n)
    ok = (area >= 0.9 * n_seeds) & (t <= min(cap, 254)) & (length > 0) & (area <= 0.97 * total)
    contrast = np.where(ok, strength / np.maximum(length, 1), -1.0)
    tau = int(np.argmax(contrast))
    if contrast[tau] < 0:  # nothing qualifies: everything reached
        return 254, 0.0
    return tau, float(contrast[tau])


def _clean(region, seeds):
    """The region with its holes filled and thin bridges to other things cut (an opening by
    two pixels, then the part that holds the seeds)."""
    region = fill_holes(region)
    if region.sum() > 400:
        opened = dilate(~dilate(~region, 2), 2)  # eroded by 2, then widened by 2
        part = component(opened, seeds & opened)
        if part.sum() >= 0.5 * region.sum():
            region = fill_holes(part)
    return region
