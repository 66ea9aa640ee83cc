"""The track benchmark's clips, made with their ground truth, and the synthetic detections a shape
finder would give on them."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


@dataclass
class Scene:
    """Ground truth: ball centres ``pos[frame, ball]`` in frame pixels (may lie outside the
    frame), radii, the frame size, the bar's columns, and for the photograph clip the camera's
    offset in the photograph per frame."""

    name: str
    pos: np.ndarray
    radius: np.ndarray
    size: tuple
    bar: tuple | None = None
    camera: np.ndarray | None = None
    photo: str | None = None

    @property
    def frames(self) -> int:
        return len(self.pos)

    def present(self):
        """Some of the ball is in the frame."""
        w, h = self.size
        x, y = self.pos[..., 0], self.pos[..., 1]
        r = self.radius[None, :]
        return (x >= -r) & (x < w + r) & (y >= -r) & (y < h + r)

    def inside(self):
        """The ball's centre is in the frame."""
        w, h = self.size
        x, y = self.pos[..., 0], self.pos[..., 1]
        return (x >= 0) & (x < w) & (y >= 0) & (y < h)

    def visible(self):
        """The ball's centre is in the frame and not behind the bar."""
        vis = self.inside()
        if self.bar is not None:
            x0, x1 = self.bar
            x = self.pos[..., 0]
            r = self.radius[None, :]
            vis &= ~((x > x0 - r / 2) & (x < x1 + r / 2))
        return vis


# --------------------------------------------------------------------------
# Clips


def _frame_for(speed, frames):
    w = int(max(640, 0.6 * speed * frames)) // 2 * 2
    return w, int(w * 9 / 16) // 2 * 2


def crossing(rng, n=3, r=15.0, speed=6.0, frames=90, curve=0.0, size=None):
    """Balls on lines (arcs with ``curve`` radians per frame) through the frame's centre, each
    passing it within a third of a radius and two frames of the others."""
    w, h = size or _frame_for(speed, frames)
    c = np.array([w / 2, h / 2])
    f = np.arange(frames, dtype=float)
    pos = np.empty((frames, n, 2))
    for k in range(n):
        th = math.pi * (k + rng.uniform(-0.25, 0.25)) / n + rng.choice([0, math.pi])
        fc = frames / 2 + rng.uniform(-2, 2)
        off = rng.uniform(-r / 3, r / 3) * np.array([-math.sin(th), math.cos(th)])
        tau = f - fc
        if abs(curve) < 1e-9:
            d = np.stack([np.cos(th) * tau, np.sin(th) * tau], axis=1) * speed
        else:
            d = (speed / curve) * np.stack([np.sin(th + curve * tau) - math.sin(th),
                                            -(np.cos(th + curve * tau) - math.cos(th))], axis=1)
        pos[:, k] = c + off + d
    radius = r * rng.uniform(0.9, 1.1, n)
    return Scene("crossing", pos, radius, (w, h))


def occlusion(rng, n=3, r=15.0, speed=6.0, frames=90, bar=None, size=None):
    """Balls moving across a vertical bar ``bar`` pixels wide (default three radii) in the
    middle, one above the other, every other one leftwards."""
    w, h = size or _frame_for(speed, frames)
    h = max(h, int((n + 1) * 3 * r)) // 2 * 2
    bar = 3 * r if bar is None else bar
    f = np.arange(frames, dtype=float)
    pos = np.empty((frames, n, 2))
    for k in range(n):
        v = speed * rng.uniform(0.8, 1.2) * (1 if k % 2 == 0 else -1)
        fc = frames / 2 + rng.uniform(-3, 3)
        pos[:, k, 0] = w / 2 + v * (f - fc)
        pos[:, k, 1] = h * (k + 1) / (n + 1) + rng.uniform(-r / 4, r / 4)
    radius = r * rng.uniform(0.9, 1.1, n)
    return Scene("occlusion", pos, radius, (w, h), bar=(w / 2 - bar / 2, w / 2 + bar / 2))


def leave(rng, r=15.0, speed=6.0, frames=90, gap=4, size=None):
    """Ball 0 leaves through the right edge at mid-clip; ball 1 comes in there ``gap`` frames
    later, three radii lower, going left and down; ball 2 crosses the frame meanwhile."""
    w, h = size or _frame_for(speed, frames)
    f = np.arange(frames, dtype=float)
    out = frames / 2
    y0 = h / 2 - 1.5 * r
    pos = np.empty((frames, 3, 2))
    pos[:, 0, 0] = w + r + speed * (f - out)
    pos[:, 0, 1] = y0 + 0.2 * speed * (f - out)
    t_in = out + gap
    pos[:, 1, 0] = w + r - speed * (f - t_in)
    pos[:, 1, 1] = y0 + 3 * r + 0.3 * speed * (f - t_in)
    pos[:, 2, 0] = w / 3 + 0.3 * speed * (f - frames / 2)
    pos[:, 2, 1] = h / 2 + speed * (f - frames / 2)
    return Scene("leave", pos, r * rng.uniform(0.9, 1.1, 3), (w, h))


def bounce(rng, n=10, r=12.0, speed=5.0, frames=300, size=(640, 360)):
    """Balls bouncing off the walls of the frame (passing through each other)."""
    w, h = size
    lo, hi = np.array([r, r]), np.array([w - r, h - r])
    p = rng.uniform(lo, hi, (n, 2))
    ang = rng.uniform(0, 2 * math.pi, n)
    v = speed * rng.uniform(0.7, 1.3, n)[:, None] * np.stack([np.cos(ang), np.sin(ang)], axis=1)
    pos = np.empty((frames, n, 2))
    for k in range(frames):
        pos[k] = p
        p = p + v
        low, high = p < lo, p > hi
        p = np.where(low, 2 * lo - p, np.where(high, 2 * hi - p, p))
        v = np.where(low | high, -v, v)
    return Scene("bounce", pos, r * rng.uniform(0.9, 1.1, n), (w, h))


def pan(rng, n=3, r=14.0, speed=4.0, frames=120, size=(640, 360), photo="rocket"):
    """The camera pans across a scikit-image photograph (scaled up so that it is larger than the
    frame) while balls move in it."""
    w, h = size
    big = (2 * w, 2 * h)
    f = np.arange(frames, dtype=float)
    t = f / max(frames - 1, 1)
    camera = np.stack([(big[0] - w) * t, (big[1] - h) * (0.5 + 0.4 * np.sin(2 * math.pi * t))], axis=1)
    pos = np.empty((frames, n, 2))
    for k in range(n):
        start = camera[0] + np.array([w * (k + 1) / (n + 1), h * rng.uniform(0.25, 0.75)])
        ang = rng.uniform(-0.25, 0.25) + (0 if k % 2 else math.pi)
        world = start + speed * f[:, None] * np.array([math.cos(ang), math.sin(ang)])
        world = world + camera * 0.8  # the balls drift with the camera, slower than it
        pos[:, k] = world - camera
    return Scene("pan", pos, r * rng.uniform(0.9, 1.1, n), (w, h), camera=camera, photo=photo)


# --------------------------------------------------------------------------
# Synthetic detections: what a shape finder gives, with its faults


def detect(scene, rng, drop=0.0, false=0.0, noise=0.03, dup=0.0):
    """Per frame, circle records as find_shapes gives them: integer centres and radii, with
    Gaussian noise (``noise`` radii, plus rounding), each dropped with probability ``drop``;
    of two balls that overlap by more than half, one is found; balls that overlap less are
    pulled towards each other; ``dup`` the chance of a second, smaller fit on a ball; and
    ``false`` false fits per frame on average, anywhere."""
    vis = scene.visible()
    w, h = scene.size
    rmin, rmax = float(scene.radius.min()), float(scene.radius.max())
    out = []
    for k in range(scene.frames):
        idx = np.flatnonzero(vis[k])
        p = scene.pos[k, idx].copy()
        r = scene.radius[idx]
        keep = np.ones(len(idx), bool)
        shift = np.zeros_like(p)
        for a in range(len(idx)):
            for b in range(a + 1, len(idx)):
                d = float(np.hypot(*(p[b] - p[a])))
                reach = r[a] + r[b]
                if d < reach / 2:
                    keep[a if rng.random() < 0.5 else b] = False
                elif d < reach:
                    u = (p[b] - p[a]) / d
                    o = 1 - d / reach
                    shift[a] += u * o * 0.3 * r[a] * rng.random()
                    shift[b] -= u * o * 0.3 * r[b] * rng.random()
        keep &= rng.random(len(idx)) >= drop
        recs = []
        for q, rr, s in zip(p[keep], r[keep], shift[keep]):
            c = q + s + rng.normal(0, noise * rr, 2)
            recs.append(_circle(c[0], c[1], rr * (1 + rng.normal(0, 0.04))))
            if rng.random() < dup:
                a = rng.uniform(0, 2 * math.pi)
                recs.append(_circle(c[0] + 0.3 * rr * math.cos(a), c[1] + 0.3 * rr * math.sin(a), 0.8 * rr))
        for _ in range(rng.poisson(false)):
            recs.append(_circle(rng.uniform(0, w), rng.uniform(0, h), rng.uniform(0.6 * rmin, 1.4 * rmax)))
        order = rng.permutation(len(recs))  # the finder's order says nothing about identity
        out.append([recs[j] for j in order])
    return out


def _circle(x, y, r):
    return {"shape": "circle", "x": int(round(x)), "y": int(round(y)), "r": max(1, int(round(r))),
            "inliers": 50, "warning": None}
