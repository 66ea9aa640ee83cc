"""The built-in sample scene of the examples: a photograph-like frame of a grass field with two
white lines, an orange ball and a yellow elliptical marker, lit by a warm gradient, slightly
blurred and noisy, drawn with NumPy alone, and where its shapes were drawn."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

WIDTH, HEIGHT = 640, 480


@dataclass(frozen=True)
class Truth:
    """Where the scene's shapes were drawn (pixel centres at integer coordinates)."""

    lines: tuple[tuple[tuple[float, float], tuple[float, float]], ...]  # centre lines, end to end
    line_width: float
    ball: tuple[float, float, float]  # x, y, r
    marker: tuple[float, float, float, float, float]  # x, y, a, b, theta (a >= b; a along theta)


def _blur(img):
    """3x3 binomial blur, edges repeated."""
    p = np.pad(img, ((1, 1), (1, 1), (0, 0)), mode="edge")
    rows = (p[:-2] + 2 * p[1:-1] + p[2:]) / 4
    return (rows[:, :-2] + 2 * rows[:, 1:-1] + rows[:, 2:]) / 4


def _coverage(d):
    """Fraction of a pixel covered by a shape, from the signed distance d of its centre
    to the shape's border (negative inside)."""
    return np.clip(0.5 - d, 0.0, 1.0)[..., None]


def make_scene(seed=0):
    """The built-in sample frame (HEIGHT x WIDTH x 3 uint8) and where its shapes are.

    Seed 0 is the scene shown by the example; other seeds move the shapes a little and
    draw other grass, paint texture and sensor noise. NumPy only, deterministic."""
    rng = np.random.default_rng(seed)

    def jitter(span):
        return float(rng.uniform(-span, span)) if seed else 0.0

    dx, dy = jitter(15), jitter(15)
    truth = Truth(
        lines=(
            ((60 + jitter(20), 479.0), (250 + jitter(20), 0.0)),
            ((600 + jitter(20), 479.0), (420 + jitter(20), 0.0)),
        ),
        line_width=5.0,
        ball=(300 + dx, 170 + dy, 38 + jitter(4)),
        marker=(360 - dx, 370 - dy, 70 + jitter(6), 28 + jitter(3), 0.15 + jitter(0.2)),
    )
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float64)

    # Grass: mowing stripes, slow patches and blade texture (streaks along y).
    stripes = 0.07 * np.tanh(3 * np.sin(2 * np.pi * (0.93 * x + 0.37 * y) / 90 + rng.uniform(0, 6)))
    patches = sum(
        0.03 * np.sin(2 * np.pi * (fx * x + fy * y) + ph)
        for fx, fy, ph in rng.uniform((-0.01, -0.01, 0), (0.01, 0.01, 6), (4, 3))
    )
    blades = rng.normal(0, 1, (HEIGHT + 4, WIDTH))
    blades = sum(blades[k : k + HEIGHT] for k in range(5)) / np.sqrt(5)
    shade = 1 + stripes + patches + 0.07 * blades
    tone = rng.normal(0, 0.02, (HEIGHT, WIDTH, 3))
    img = (np.array([0.27, 0.55, 0.20]) + tone) * shade[..., None]

    # The ball's shadow on the grass.
    bx, by, br = truth.ball
    img *= (
        1
        - 0.4
        * np.exp(-(((x - bx - 0.5 * br) / (1.1 * br)) ** 2 + ((y - by - 0.9 * br) / (0.45 * br)) ** 2))[
            ..., None
        ]
    )

    # White lines: painted stripes, their texture following the grass.
    paint = np.array([0.92, 0.92, 0.92]) * (1 + 0.03 * blades)[..., None]
    for (x0, y0), (x1, y1) in truth.lines:
        length = math.hypot(x1 - x0, y1 - y0)
        dist = np.abs((x - x0) * (y1 - y0) - (y - y0) * (x1 - x0)) / length
        alpha = _coverage(dist - truth.line_width / 2)
        img = img * (1 - alpha) + paint * alpha

    # Yellow marker: a flat disc on the ground, seen as an ellipse.
    mx, my, ma, mb, mt = truth.marker
    u = (x - mx) * math.cos(mt) + (y - my) * math.sin(mt)
    v = -(x - mx) * math.sin(mt) + (y - my) * math.cos(mt)
    rho = np.sqrt((u / ma) ** 2 + (v / mb) ** 2)
    grad = np.hypot(u / ma**2, v / mb**2) / np.maximum(rho, 1e-9)
    alpha = _coverage((rho - 1) / np.maximum(grad, 1e-9))
    img = img * (1 - alpha) + np.array([0.93, 0.80, 0.13]) * (1 - 0.1 * rho[..., None]) * alpha

    # Orange ball, shaded as a sphere lit from the upper left.
    r2 = ((x - bx) ** 2 + (y - by) ** 2) / br**2
    nz = np.sqrt(np.clip(1 - r2, 0, 1))
    light = np.array([-0.45, -0.55, 0.70]) / np.linalg.norm([-0.45, -0.55, 0.70])
    lit = np.clip(((x - bx) / br * light[0] + (y - by) / br * light[1] + nz * light[2]), 0, 1)
    alpha = _coverage(np.sqrt(r2) * br - br)
    img = img * (1 - alpha) + np.array([0.93, 0.45, 0.10]) * (0.55 + 0.45 * lit)[..., None] * alpha

    # Warm light falling off towards the upper left, mild blur, sensor noise.
    img *= (0.80 + 0.28 * (0.6 * x / WIDTH + 0.4 * y / HEIGHT))[..., None]
    img *= np.array([1.0, 0.97, 0.90])
    img = _blur(img) * 255 + rng.normal(0, 2.5, img.shape)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8), truth
