"""The records of tracks: a track's state and value, its record in a frame, and the
detections (circles and ellipses) a frame's shapes give."""

from __future__ import annotations

import math
from dataclasses import dataclass

TENTATIVE, CONFIRMED, LOST = "tentative", "confirmed", "lost"
CIRCLE, ELLIPSE = "circle", "ellipse"
_floor = math.floor


class Track:
    """A track as it stands after the last ``update``: ``state`` is "tentative", "confirmed"
    or "lost"; ``id`` is None while tentative. ``x``, ``y``, ``r`` (equivalent radius: the
    geometric mean of an ellipse's semi-axes), ``a`` >= ``b`` (semi-axes), ``theta`` (the
    major axis's angle, radians) are smoothed; for a lost track ``x`` and ``y`` are where it
    is predicted to be at the last frame's time. ``vx``, ``vy`` are in pixels per second;
    ``seen`` counts the frames it was matched in, ``missed`` the frames since the last."""

    id: int | None
    state: str
    kind: str
    x: float
    y: float
    r: float
    a: float
    b: float
    theta: float
    vx: float
    vy: float
    seen: int
    missed: int


class _State:
    """One live track: the filter's state at the time ``t`` of its last match."""

    __slots__ = ("x", "y", "vx", "vy", "r", "a", "b", "c2", "s2", "t", "kind", "seen",
                 "missed", "state", "id")

    def __init__(self, d, time):
        self.x, self.y, self.r, self.kind, self.a, self.b, self.c2, self.s2 = d[:8]
        self.vx = self.vy = 0.0
        self.t = time
        self.seen, self.missed = 1, 0
        self.state, self.id = TENTATIVE, None



def _record(s, j, x, y, where):
    f = _floor
    rec = {"id": s.id, "state": s.state, "shape": s.kind,
           "x": f(x * 100 + 0.5) / 100, "y": f(y * 100 + 0.5) / 100}
    if s.kind == CIRCLE:
        rec["r"] = f(s.r * 100 + 0.5) / 100
    else:
        rec["a"] = f(s.a * 100 + 0.5) / 100
        rec["b"] = f(s.b * 100 + 0.5) / 100
        rec["theta"] = f(_theta(s.c2, s.s2) * 10000 + 0.5) / 10000
    rec["vx"] = f(s.vx * 100 + 0.5) / 100
    rec["vy"] = f(s.vy * 100 + 0.5) / 100
    rec["match"] = where[j] if j >= 0 else None
    return rec


def _detections(shapes):
    """Tuples (x, y, radius, kind, major, minor, cos 2theta, sin 2theta, index in ``shapes``)
    of the circles and ellipses among ``shapes`` with a finite centre and a positive size
    (None stands for a number that is not finite, as in the JSON of ``quorvane live``)."""
    out = []
    isfinite = math.isfinite

    def num(v):
        return math.nan if v is None else float(v)

    for k, s in enumerate(shapes):
        if not isinstance(s, dict):
            if not getattr(s, "found", True):
                continue
            s = s.to_dict()
        kind = s.get("shape")
        if kind == CIRCLE:
            x, y, r = num(s["x"]), num(s["y"]), num(s["r"])
            if r > 0 and isfinite(x) and isfinite(y) and isfinite(r):
                out.append((x, y, r, CIRCLE, r, r, 1.0, 0.0, k))
        elif kind == ELLIPSE:
            x, y = num(s["x"]), num(s["y"])
            a, b, th = abs(num(s["a"])), abs(num(s["b"])), num(s["theta"])
            if a < b:
                a, b, th = b, a, th + math.pi / 2
            if b > 0 and all(isfinite(v) for v in (x, y, a, th)):
                out.append((x, y, math.sqrt(a * b), ELLIPSE, a, b, math.cos(2 * th),
                            math.sin(2 * th), k))
    return out


def _theta(c2, s2) -> float:
    """The major axis's angle in radians within [-pi/2, pi/2), from its doubled angle."""
    t = 0.5 * math.atan2(s2, c2)
    return t - math.pi if t >= math.pi / 2 else t

