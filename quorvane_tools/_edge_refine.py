"""Refinement of a float model on the picture's edges: at the stations of the shape, the
strongest colour change across its outline within a band, fitted by least squares; closed
shapes carried round their whole outline where the selection stops short of it."""

from __future__ import annotations

import math

import numpy as np

from ._edges import edge_points, stations
from ._refine import distance, fit


def _valid(m):
    return all(np.isfinite(v) for v in m.values()) and (
        "r" not in m or m["r"] > 0) and ("a" not in m or (m["a"] != 0 and m["b"] != 0))


def _station_index(kind, m, pts, n, lo=0.0):
    """The station (0..n-1) nearest to each point, by angle round a circle or an ellipse, or by
    position along a line (stations from ``lo`` one pixel apart)."""
    if kind == "line":
        t = pts[:, 0] * -m["ny"] + pts[:, 1] * m["nx"] - (m["px"] * -m["ny"] + m["py"] * m["nx"])
        return np.clip(np.round(t - lo).astype(np.int64), 0, n - 1)
    dx, dy = pts[:, 0] - m["x"], pts[:, 1] - m["y"]
    if kind == "circle":
        t = np.arctan2(dy, dx)
    else:
        c, s = math.cos(m["theta"]), math.sin(m["theta"])
        t = np.arctan2((-s * dx + c * dy) / m["b"], (c * dx + s * dy) / m["a"])
    return np.round(np.mod(t, 2 * math.pi) / (2 * math.pi) * n).astype(np.int64) % n


def _along(m, pts):
    return pts[:, 0] * -m["ny"] + pts[:, 1] * m["nx"] - (m["px"] * -m["ny"] + m["py"] * m["nx"])


def refine_on_edges(kind, m, support, image, band, rounds: int = 3, complete: bool = False):
    """Refine a float model on the picture's edges: at the stations of the shape that the
    selection's outline (``support``, points) follows, the strongest colour change across the
    outline within the band; a least-squares fit on those, outliers left out, a few rounds with
    a narrowing band. Returns the model (the given one when the edges do not make a better)."""
    cur = m
    reach = band
    for _ in range(rounds):
        near = support[np.abs(distance(kind, cur, support)) <= reach + 1.0] if len(support) else support
        if len(near) < 3:
            break
        extent = None
        if kind == "line":
            t = _along(cur, near)
            extent = (float(t.min()), float(t.max()))
        st, nm = stations(kind, cur, extent)
        n = len(st)
        hit = np.zeros(n, bool)
        hit[_station_index(kind, cur, near, n, extent[0] if extent else 0.0)] = True
        closed = kind != "line"
        if closed:
            hit = hit | np.roll(hit, 1) | np.roll(hit, -1)
        if hit.sum() < 3:
            break
        ep, strength = edge_points(image, st[hit], nm[hit], reach, closed=closed)
        live = strength[strength > 0]
        if len(live) < 3:
            break
        good = strength >= max(6.0, 0.35 * float(np.median(live)))
        if good.sum() < 5:
            break
        new = fit(kind, ep[good], cur)
        if new is None or not _valid(new):
            break
        res = np.abs(distance(kind, new, ep[good]))
        keep = res <= max(1.0, 3.0 * 1.4826 * float(np.median(res)))
        if keep.sum() >= 5 and not keep.all():
            again = fit(kind, ep[good][keep], new)
            if again is not None and _valid(again):
                new = again
        if _shift(kind, cur, new) > band + 1.0:
            break  # the edges lie elsewhere: keep what the selection says
        cur = new
        reach = max(1.5, 0.6 * reach)
    if kind != "line" and complete:
        cur = _complete(kind, cur, image, band)
    return cur


def _complete(kind, m, image, band):
    """A closed shape carried round its whole outline: where the selection stops short of it
    (a shadowed side, a colour that matches the background) the picture may still show its
    edge. A fit on the edges at every station with a clear edge within the band is kept when it
    has more such stations than the shape had."""
    rows, cols = image.shape[:2]

    def strong(model):
        st, nm = stations(kind, model, None)
        ok = (st[:, 0] >= 2) & (st[:, 0] <= cols - 3) & (st[:, 1] >= 2) & (st[:, 1] <= rows - 3)
        if ok.sum() < 8:
            return None
        ep, strength = edge_points(image, st[ok], nm[ok], band, closed=True)
        live = strength[strength > 0]
        if len(live) < 8:
            return None
        good = strength >= max(6.0, 0.5 * float(np.median(live)))
        return ep[good], int(good.sum())

    first = strong(m)
    if first is None:
        return m
    pts, n_before = first
    new = fit(kind, pts, m)
    if new is None or not _valid(new) or _shift(kind, m, new) > band + 1.0:
        return m
    res = np.abs(distance(kind, new, pts))
    keep = res <= max(1.0, 3.0 * 1.4826 * float(np.median(res)))
    if 8 <= keep.sum() < len(pts):
        again = fit(kind, pts[keep], new)
        if again is not None and _valid(again):
            new = again
    after = strong(new)
    return new if after is not None and after[1] > n_before else m


def _shift(kind, a, b) -> float:
    """How far apart two float models of a kind lie, in pixels (roughly)."""
    if kind == "line":
        return abs(distance("line", a, np.array([[b["px"], b["py"]]]))[0])
    d = math.hypot(a["x"] - b["x"], a["y"] - b["y"])
    if kind == "circle":
        return d + abs(a["r"] - b["r"])
    # The outline moves by the centre's shift plus the larger change of a semi-axis, plus what a
    # turn moves the ends of the longer axis relative to the shorter one.
    major, minor = max(a["a"], a["b"]), min(a["a"], a["b"])
    turn = abs(math.remainder(_major_angle(a) - _major_angle(b), math.pi))
    return (d + max(abs(major - max(b["a"], b["b"])), abs(minor - min(b["a"], b["b"])))
            + turn * (major - minor))


def _major_angle(m) -> float:
    return m["theta"] if abs(m["a"]) >= abs(m["b"]) else m["theta"] + 0.5 * math.pi

