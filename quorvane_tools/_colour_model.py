"""An object's colour: the model of its colour under shading (hue, saturation, intensity and
their spreads), and the dominant colour of the pixels of a box drawn on it."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

I_FLOOR = 0.03  # intensity floor of the logarithms (channels as fractions)
S_FLOOR = 0.04  # saturation floor
SHADE_SATURATION = 0.6  # log saturation that shading gains per unit of log intensity it loses
HUE_DRIFT = 1.5  # hue may drift this much more per unit of log intensity away from the object's


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


