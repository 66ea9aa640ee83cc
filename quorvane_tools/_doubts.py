"""Doubts about a box's shape that its own outline cannot show: a window that selects nearly all
of a colour picture (the colour does not set the object apart, so the shape came from whatever
edges lie near the box), and another outline, clearly apart, that the picture's edges follow
nearly as strongly (rings round a wheel, a lamp's glass inside its rim: the edges alone cannot
tell which one the box meant)."""

from __future__ import annotations

import math

import numpy as np

MOST = 0.9  # a window selecting this share of a colour picture or more does not pick out an object
APART = 0.1  # outlines whose centres or sizes differ by this share of the size are other outlines
RIVAL = 0.85  # ... and one whose edge support is this share of the winner's or more rivals it


def is_colour(image) -> bool:
    """Whether a picture has colour: three or four channels that are not all equal."""
    if image.ndim != 3 or image.shape[2] < 3:
        return False
    step = max(1, int(math.sqrt(image.shape[0] * image.shape[1] / 65536)))
    s = image[::step, ::step, :3]
    return bool(np.any(s[..., 0] != s[..., 1]) or np.any(s[..., 1] != s[..., 2]))


def wide_window(shapes, selected, image) -> None:
    """Warn every found shape without a warning when the window selects ``MOST`` of a colour
    picture or more (``selected``: the window's selection as a boolean mask). On a grey picture
    intensity is all a window can use, and the region grown from the box still bounds it."""
    if selected is None or not is_colour(image):
        return
    share = float(np.count_nonzero(selected)) / max(selected.size, 1)
    if share < MOST:
        return
    for sh in shapes:
        if sh.found and sh.warning is None:
            sh.warning = f"doubtful: the window selects {100 * share:.0f}% of the picture"


def size(kind, m) -> float:
    return float(m["r"]) if kind == "circle" else max(abs(float(m["a"])), abs(float(m["b"])))


def apart(kind, a, b) -> float:
    """How far two circles or ellipses lie apart: the larger of the distance between their
    centres and the difference of their sizes (largest semi-axis), over the first one's size."""
    s = size(kind, a)
    d = max(math.hypot(float(a["x"]) - float(b["x"]), float(a["y"]) - float(b["y"])), abs(s - size(kind, b)))
    return d / max(s, 1.0)


def rival(kind, shown, score, others):
    """The share of ``score`` (the winner's edge support) reached by the strongest of ``others``
    ((support, model) pairs) that lies ``APART`` from ``shown``, when it reaches ``RIVAL``; else
    None."""
    if score <= 0:
        return None
    best = max((s for s, m in others if apart(kind, shown, m) > APART), default=0.0)
    return best / score if best >= RIVAL * score else None
