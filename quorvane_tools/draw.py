"""Pictures of what was found: the selection tinted, outlines, numbered labels, a legend."""

from __future__ import annotations

import colorsys
import functools
import math

import numpy as np

from ._records import ellipse_axes

__all__ = ["annotate", "contrast_tint"]

OUTLINE = (255, 255, 255)
LEGEND_SHAPES = 6  # shapes listed in the legend at most
WEAK = (255, 200, 0)


def contrast_tint(image, mask):
    """A saturated colour far in hue from the selected pixels' mean colour (their complement),
    so the tint reads as a highlight rather than as the object's own colour."""
    k = max(1, int(math.sqrt(mask.size / (1 << 16))))  # the mean colour needs few pixels
    image, mask = image[::k, ::k], mask[::k, ::k]
    sel = image[mask]
    if len(sel) == 0:
        return (255, 0, 200)
    r, g, b = (sel.reshape(-1, 3).mean(axis=0) / 255.0).tolist()
    h, _, s = colorsys.rgb_to_hls(r, g, b)
    if s < 0.15:  # greyish selection: any strong colour contrasts; magenta reads well
        return (255, 0, 200)
    r, g, b = colorsys.hls_to_rgb((h + 0.5) % 1.0, 0.5, 1.0)
    return (round(r * 255), round(g * 255), round(b * 255))


def _line_ends(m, w, h):
    """Where a line enters and leaves the frame."""
    px, py, nx, ny = m["px"], m["py"], m["nx"], m["ny"]
    ends = []
    if ny:
        ends += [(x, py - nx * (x - px) / ny) for x in (0, w - 1)]
    if nx:
        ends += [(px - ny * (y - py) / nx, y) for y in (0, h - 1)]
    ends = [(x, y) for x, y in ends if -0.5 <= x <= w - 0.5 and -0.5 <= y <= h - 0.5]
    ends.sort()
    return [ends[0], ends[-1]] if ends else []


def _outlines(shape, w, h):
    """Polylines of a shape (the refined one when there is one), and a point to put its label
    near."""
    m = shape.shown
    t = np.linspace(0, 2 * np.pi, 181)
    if shape.kind in ("line", "line2"):
        lines = m if shape.kind == "line2" else (m,)
        polys = [_line_ends(li, w, h) for li in lines if li["nx"] or li["ny"]]
        polys = [p for p in polys if p]
        anchor = polys[0][0] if polys else (w / 2, h / 2)
        if polys:  # the middle of the first line's visible part
            (x0, y0), (x1, y1) = polys[0]
            anchor = ((x0 + x1) / 2, (y0 + y1) / 2)
        return polys, anchor
    if shape.kind == "circle":
        x, y, r = m["x"], m["y"], m["r"]
        return [list(zip(x + r * np.cos(t), y + r * np.sin(t)))], (x + r * 0.72, y - r * 0.72)
    x, y, a, b, angle = ellipse_axes(m)
    c, s = math.cos(math.radians(angle)), math.sin(math.radians(angle))
    u, v = a * np.cos(t), b * np.sin(t)
    return [list(zip(x + u * c - v * s, y + u * s + v * c))], (x + a * c * 0.72, y + a * s * 0.72 - b * 0.72)


def _place(box, taken, w, h):
    """Move a label box down (then up) until it overlaps no placed label; keep it in frame."""
    x0, y0, bw, bh = box
    x0 = min(max(x0, 2), max(2, w - bw - 2))
    for dy in [0] + [s * k * (bh + 2) for k in range(1, 40) for s in (1, -1)]:
        y = min(max(y0 + dy, 2), max(2, h - bh - 2))
        cand = (x0, y, x0 + bw, y + bh)
        if all(cand[2] <= t[0] or cand[0] >= t[2] or cand[3] <= t[1] or cand[1] >= t[3] for t in taken):
            return cand
    return (x0, y0, x0 + bw, y0 + bh)


def annotate(image, found, *, legend: bool = True, tint=None, alpha: float = 0.6) -> np.ndarray:
    """A copy of the RGB image with the selected pixels tinted in translucent diagonal stripes
    of a colour that contrasts with them (so the object's own colour still shows between the
    stripes), every found shape outlined and numbered (weak fits in amber) and a legend.

    ``found`` is a ``Found`` or a list of them (one per colour window). Needs Pillow. Returns an
    RGB uint8 array."""
    from PIL import Image, ImageDraw, ImageFont

    img = np.asarray(image)
    h, w = img.shape[:2]
    results = list(found) if isinstance(found, (list, tuple)) else [found]
    out = np.array(img, np.uint8)
    tints = []
    keep = round(256 * (1 - alpha))
    for r in results:
        mask = r.mask.view(bool) if r.mask.dtype == np.uint8 else r.mask.astype(bool)
        colour = tuple(tint) if tint is not None else contrast_tint(img, mask)
        count = int(np.count_nonzero(mask))
        tints.append((colour, count))
        if count:  # stripes only within the selection's bounding box: quick on large frames
            rows, cols = np.flatnonzero(mask.any(axis=1)), np.flatnonzero(mask.any(axis=0))
            y0, y1, x0, x1 = rows[0], rows[-1] + 1, cols[0], cols[-1] + 1
            sel = mask[y0:y1, x0:x1] & _stripes(h, w)[y0:y1, x0:x1]
            part = out[y0:y1, x0:x1]
            blend = (part[sel].astype(np.uint16) * keep + np.asarray(colour, np.uint16) * (256 - keep)) >> 8
            part[sel] = blend.astype(np.uint8)
    pic = Image.fromarray(out)
    draw = ImageDraw.Draw(pic)
    size = max(11, round(min(w, h) / 40))
    try:
        font = ImageFont.load_default(size=size)
    except TypeError:  # older Pillow
        font = ImageFont.load_default()
    width = max(2, round(min(w, h) / 300))
    taken = []
    entries = []
    outline_points = []
    shapes = [s for r in results for s in r.shapes if s.found]
    for number, shape in enumerate(shapes, 1):
        colour = WEAK if shape.warning else OUTLINE
        polys, (ax, ay) = _outlines(shape, w, h)
        for poly in polys:
            draw.line(poly, fill=(0, 0, 0), width=width + 2)
            draw.line(poly, fill=colour, width=width)
            outline_points += _along(poly)
        text = str(number)
        l, t, r, b = draw.textbbox((0, 0), text, font=font, stroke_width=2)
        box = _place((ax, ay, r - l + 6, b - t + 4), taken, w, h)
        taken.append(box)
        draw.rectangle(box, fill=(0, 0, 0))
        draw.text((box[0] + 3 - l, box[1] + 2 - t), text, fill=colour, font=font)
        note = f"  ({shape.warning})" if shape.warning else ""
        entries.append((colour, f"{number}  {shape.kind}: {shape.describe()}, {shape.inliers} inliers{note}"))
    if not legend:
        return np.asarray(pic)
    if len(entries) > LEGEND_SHAPES:  # many shapes (every object): the first few, then a count
        weak = sum(1 for s in shapes if s.warning)
        rest = len(entries) - (LEGEND_SHAPES - 1)
        entries = entries[: LEGEND_SHAPES - 1] + [
            (OUTLINE, f"... and {rest} more, numbered on the picture" + (f" ({weak} weak)" if weak else ""))]
    lines = [
        (colour, f"selected{f' ({k})' if len(tints) > 1 else ''}: {count} pixels")
        for k, (colour, count) in enumerate(tints, 1)
    ] + entries
    if not entries:
        lines.append((WEAK, "no shape found"))
    boxes = [draw.textbbox((0, 0), t, font=font) for _, t in lines]
    lh = max(b[3] - b[1] for b in boxes) + 4
    lw = min(w, max(b[2] - b[0] for b in boxes) + lh + 14)
    bh = min(h, lh * len(lines) + 8)
    # The corner where the legend hides the least of the selections and of the outlines.
    corners = [(6, h - 6 - bh), (w - 6 - lw, h - 6 - bh), (6, 6), (w - 6 - lw, 6)]
    corners = [(max(0, x), max(0, y)) for x, y in corners]
    pts = np.asarray(outline_points, float).reshape(-1, 2)

    def hidden(corner):
        x, y = corner
        n = sum(int(np.count_nonzero(r.mask[y:y + bh, x:x + lw])) for r in results)
        inside = (pts[:, 0] >= x) & (pts[:, 0] < x + lw) & (pts[:, 1] >= y) & (pts[:, 1] < y + bh)
        return n + 50 * int(np.count_nonzero(inside))

    x0, y0 = min(corners, key=hidden)
    draw = ImageDraw.Draw(pic, "RGBA")  # translucent fills blend with the picture
    draw.rectangle((x0, y0, x0 + lw - 1, y0 + bh - 1), fill=(0, 0, 0, 170))
    for k, (colour, text) in enumerate(lines):
        y = y0 + 4 + k * lh
        draw.rectangle((x0 + 5, y + 2, x0 + 5 + lh - 6, y + lh - 4), fill=colour)
        draw.text((x0 + lh + 6, y), text, fill=(255, 255, 255), font=font)
    return np.asarray(pic)


@functools.lru_cache(maxsize=4)
def _stripes(h: int, w: int) -> np.ndarray:
    """Diagonal stripes three pixels wide, for a frame size (kept: video frames repeat it)."""
    stripes = ((np.arange(h)[:, None] + np.arange(w)[None, :]) % 6) < 3
    stripes.flags.writeable = False
    return stripes


def _along(poly, step: float = 8.0):
    """Points every few pixels along a polyline."""
    pts = []
    for (x0, y0), (x1, y1) in zip(poly[:-1], poly[1:]):
        n = max(1, int(math.hypot(x1 - x0, y1 - y0) / step))
        pts += [(x0 + (x1 - x0) * k / n, y0 + (y1 - y0) * k / n) for k in range(n)]
    return pts
