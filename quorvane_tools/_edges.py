"""Edges of the picture along a shape: where the colour changes most across its outline.

A selection's outline lies on the pixel grid and moves with the window's limits; the picture's
own edge between the object and what surrounds it does not. Along the normal of every station
of a shape, the colour profile (bilinear samples of the three channels) is differentiated; the
strongest change within the band, placed to a fraction of a pixel, is an edge point. Refining a
shape on edge points fits it to the picture, not to the mask."""

from __future__ import annotations

import math

import numpy as np

__all__ = ["stations", "edge_points"]

STEP = 0.5  # pixels between the samples of a profile
MAX_STATIONS = 8192  # stations along one shape at most (a huge fit stays cheap)


def _bilinear(img, xs, ys):
    """Samples (..., channels) float32 of a uint8 image at float positions, edges repeated
    outwards."""
    from . import _native

    xs, ys = np.broadcast_arrays(np.asarray(xs, np.float64), np.asarray(ys, np.float64))
    xy = np.ascontiguousarray(np.stack([xs.ravel(), ys.ravel()], axis=1))
    image = np.ascontiguousarray(img)
    if image.ndim == 2:
        image = image[..., None]
    out = np.empty((len(xy), image.shape[2]), np.float32)
    _native.bilinear(image, xy, out)
    return out.reshape(xs.shape + (image.shape[2],))


def stations(kind: str, m: dict, extent=None, step: float = 1.0):
    """(points, unit normals) about ``step`` apart along a float model; lines along ``extent``
    = (lo, hi), positions along the line's direction (-ny, nx) from (px, py)."""
    if kind == "line":
        lo, hi = extent
        step = max(step, (hi - lo) / MAX_STATIONS)
        t = np.arange(lo, hi + step / 2, step)
        d = np.array([-m["ny"], m["nx"]])
        pts = np.array([m["px"], m["py"]]) + t[:, None] * d
        return pts, np.broadcast_to(np.array([m["nx"], m["ny"]]), pts.shape).copy()
    if kind == "circle":
        a = b = m["r"]
        theta = 0.0
    else:
        a, b, theta = m["a"], m["b"], m["theta"]
    perimeter = math.pi * (3 * (a + b) - math.sqrt(max((3 * a + b) * (a + 3 * b), 0.0)))
    n = int(min(max(16, perimeter / step), MAX_STATIONS))
    t = np.linspace(0, 2 * math.pi, n, endpoint=False)
    c, s = math.cos(theta), math.sin(theta)
    u, v = a * np.cos(t), b * np.sin(t)
    pts = np.stack([m["x"] + u * c - v * s, m["y"] + u * s + v * c], axis=1)
    # The normal of (u/a)^2 + (v/b)^2 = 1 at (u, v): (u / a^2, v / b^2) rotated by theta.
    nu, nv = np.cos(t) / a, np.sin(t) / b
    nx, ny = nu * c - nv * s, nu * s + nv * c
    norm = np.hypot(nx, ny)
    return pts, np.stack([nx / norm, ny / norm], axis=1)


def edge_points(image, pts, normals, band: float, *, closed: bool):
    """The strongest colour change along each normal within +-band of each station.

    Returns (points (n, 2), strength (n,)): the peak of the colour derivative's magnitude along
    the normal, placed by a parabola through its neighbours; strength 0 where the peak lies at
    the end of the band (no edge inside it)."""
    offs = np.arange(-band - STEP, band + 1.5 * STEP, STEP)
    xs = pts[:, 0, None] + normals[:, 0, None] * offs
    ys = pts[:, 1, None] + normals[:, 1, None] * offs
    prof = _bilinear(image, xs, ys)  # (n, len(offs), channels)
    deriv = prof[:, 2:] - prof[:, :-2]  # at offs[1:-1]
    mag = np.sqrt((deriv * deriv).sum(axis=2))
    if len(mag) >= 3:  # smooth along the outline: each station with its neighbours
        if closed:
            mag = 0.5 * mag + 0.25 * (np.roll(mag, 1, axis=0) + np.roll(mag, -1, axis=0))
        else:
            mag[1:-1] = 0.5 * mag[1:-1] + 0.25 * (mag[:-2] + mag[2:])
    k = np.argmax(mag, axis=1)
    kk = np.clip(k, 1, mag.shape[1] - 2)
    rows = np.arange(len(pts))
    m0, m1, m2 = mag[rows, kk - 1], mag[rows, kk], mag[rows, kk + 1]
    den = m0 - 2 * m1 + m2
    frac = np.where(den < 0, 0.5 * (m0 - m2) / np.where(den < 0, den, -1.0), 0.0)
    off = offs[1:-1][kk] + np.clip(frac, -0.5, 0.5) * STEP
    at_end = (k == 0) | (k == mag.shape[1] - 1)
    strength = np.where(at_end, 0.0, mag[rows, k])
    return pts + normals * off[:, None], strength
