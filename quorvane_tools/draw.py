"""Pictures of what was found: the selection tinted, outlines, numbered labels, a legend."""

from __future__ import annotations

import colorsys
import functools
import math
import threading

import numpy as np

from ._records import ellipse_axes

__all__ = ["annotate", "annotate_into", "contrast_tint"]

OUTLINE = (255, 255, 255)
LEGEND_SHAPES = 6  # shapes listed in the legend at most
WEAK = (255, 200, 0)


def contrast_tint(image, mask):
    """A saturated colour far in hue from the selected pixels' mean colour.

    Their complement, so that the tint reads as a highlight rather than as the object's own
    colour (magenta for a greyish or empty selection).

    Parameters
    ----------
    image : numpy.ndarray
        An RGB uint8 picture.
    mask : numpy.ndarray
        A boolean (rows, columns) mask of the selected pixels.

    Returns
    -------
    tuple of int
        The colour as (R, G, B), 0 to 255.

    Examples
    --------
    >>> import numpy as np
    >>> red = np.zeros((4, 4, 3), np.uint8)
    >>> red[...] = (200, 40, 40)
    >>> contrast_tint(red, np.ones((4, 4), bool))   # cyan for red
    (0, 255, 255)
    """
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
    """A copy of the picture with what ``find_shapes`` found drawn on it.

    The selected pixels are tinted in translucent diagonal stripes of a colour that contrasts
    with them (so the object's own colour still shows between the stripes), every found shape
    is outlined and numbered (weak fits in amber), and a legend is added. Needs Pillow.

    Parameters
    ----------
    image : array_like
        The RGB picture searched.
    found : Found or list of Found
        One result, or one per colour window.
    legend : bool, optional
        Draw the legend (default True).
    tint : tuple, optional
        The stripes' (R, G, B) colour (default: ``contrast_tint`` of each selection).
    alpha : float, optional
        The stripes' opacity (default 0.6).

    Returns
    -------
    numpy.ndarray
        An RGB uint8 array of the picture's shape.

    Examples
    --------
    >>> import numpy as np
    >>> import quorvane_tools as qt
    >>> yy, xx = np.mgrid[0:120, 0:160]
    >>> img = np.full((120, 160, 3), 90, np.uint8)
    >>> img[(xx - 80) ** 2 + (yy - 60) ** 2 < 30 ** 2] = (200, 40, 40)   # a red disc on grey
    >>> found = qt.find_shapes(img, qt.Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9)), ["circle"], seed=1)
    >>> drawn = qt.annotate(img, found)
    >>> drawn.shape, drawn.dtype, bool((drawn != img).any())
    ((120, 160, 3), dtype('uint8'), True)
    """
    img = np.asarray(image)
    return annotate_into(np.array(img, np.uint8), found, legend=legend, tint=tint, alpha=alpha, source=img)


def annotate_into(picture: np.ndarray, found, *, legend: bool = True, tint=None, alpha: float = 0.6,
                  source=None) -> np.ndarray:
    """``annotate`` drawn on ``picture`` itself (a writable uint8 array; returned), for video
    frames that need no copy. The tints contrast with ``source`` (default: ``picture`` as it
    is before anything is drawn).

    Only the rows with something on them pass through Pillow: the outlines, labels and the
    legend are drawn on bands of rows around them, in the order a drawing of the whole picture
    takes, each band put back before the next is taken, so the result is the picture drawn
    whole, pixel for pixel (see ``_Canvas``)."""
    img = picture if source is None else source
    out = picture
    h, w = out.shape[:2]
    results = list(found) if isinstance(found, (list, tuple)) else [found]
    masks = [r.mask.view(bool) if r.mask.dtype == np.uint8 else r.mask.astype(bool) for r in results]
    # Every tint from the picture as it was, before any stripes are drawn on it.
    colours = [tuple(tint) if tint is not None else contrast_tint(img, m) for m in masks]
    tints = []
    keep = round(256 * (1 - alpha))
    for mask, colour in zip(masks, colours):
        count = int(np.count_nonzero(mask))
        tints.append((colour, count))
        if count:  # stripes only within the selection's bounding box: quick on large frames
            rows = np.flatnonzero(mask.any(axis=1))
            y0, y1 = rows[0], rows[-1] + 1
            cols = np.flatnonzero(mask[y0:y1].any(axis=0))
            x0, x1 = cols[0], cols[-1] + 1
            sel = mask[y0:y1, x0:x1] & _stripes(h, w)[y0:y1, x0:x1]
            part = out[y0:y1, x0:x1]
            blend = (part[sel].astype(np.uint16) * keep + np.asarray(colour, np.uint16) * (256 - keep)) >> 8
            part[sel] = blend.astype(np.uint8)
    canvas = _Canvas(out)
    size = max(11, round(min(w, h) / 40))
    font = _font(size)
    measure = canvas.measure
    width = max(2, round(min(w, h) / 300))
    taken = []
    entries = []
    outline_points = []
    shapes = [s for r in results for s in r.shapes if s.found]
    for number, shape in enumerate(shapes, 1):
        colour = WEAK if shape.warning else OUTLINE
        polys, (ax, ay) = _outlines(shape, w, h)
        for poly in polys:
            canvas.stroke(poly, ((0, 0, 0), width + 2), (colour, width))
            outline_points += _along(poly)
        text = str(number)
        l, t, r, b = measure.textbbox((0, 0), text, font=font, stroke_width=2)
        box = _place((ax, ay, r - l + 6, b - t + 4), taken, w, h)
        taken.append(box)
        canvas.label(box, (box[0] + 3 - l, box[1] + 2 - t), text, colour, font)
        note = f"  ({shape.warning})" if shape.warning else ""
        entries.append((colour, f"{number}  {shape.kind}: {shape.describe()}, {shape.inliers} inliers{note}"))
    if legend:
        _legend(canvas, results, shapes, entries, tints, outline_points, font)
    canvas.flush()
    return out


def _legend(canvas, results, shapes, entries, tints, outline_points, font) -> None:
    h, w = canvas.h, canvas.w
    measure = canvas.measure
    if len(entries) > LEGEND_SHAPES:  # many shapes (every object): the first few, then a count
        weak = sum(1 for s in shapes if s.warning)
        rest = len(entries) - (LEGEND_SHAPES - 1)
        entries[:] = entries[: LEGEND_SHAPES - 1] + [
            (OUTLINE, f"... and {rest} more, numbered on the picture" + (f" ({weak} weak)" if weak else ""))]
    lines = [
        (colour, f"selected{f' ({k})' if len(tints) > 1 else ''}: {count} pixels")
        for k, (colour, count) in enumerate(tints, 1)
    ] + entries
    if not entries:
        lines.append((WEAK, "no shape found"))
    boxes = [measure.textbbox((0, 0), t, font=font) for _, t in lines]
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
    steps = [("rectangle", (x0, y0, x0 + lw - 1, y0 + bh - 1), (0, 0, 0, 170))]
    top, bottom = y0, y0 + bh
    for k, ((colour, text), tb) in enumerate(zip(lines, boxes)):
        y = y0 + 4 + k * lh
        steps.append(("rectangle", (x0 + 5, y + 2, x0 + 5 + lh - 6, y + lh - 4), colour))
        steps.append(("text", (x0 + lh + 6, y), text, (255, 255, 255), font))
        top, bottom = min(top, y + tb[1]), max(bottom, y + tb[3])
    canvas.add((top, bottom), steps, "RGBA")  # translucent fills blend with the picture


_fonts = threading.local()  # a FreeType face is not for two threads at once: one per thread


def _font(size: int):
    """Pillow's default font at ``size`` pixels, loaded once per size (and per thread)."""
    from PIL import ImageFont

    cache = getattr(_fonts, "by_size", None)
    if cache is None:
        cache = _fonts.by_size = {}
    font = cache.get(size)
    if font is None:
        if len(cache) >= 8:
            cache.clear()
        try:
            font = ImageFont.load_default(size=size)
        except TypeError:  # older Pillow
            font = ImageFont.load_default()
        cache[size] = font
    return font


MARGIN = 3  # rows round every footprint, beyond what Pillow's drawing reaches
GAP = 32  # rows between two footprints that share a crop all the same


class _Canvas:
    """Pillow's drawing on a NumPy picture, a band of rows at a time.

    ``add(rows, steps, mode)`` queues drawing steps with the rows (y0, y1) they draw on at
    most; consecutive steps whose rows overlap, or nearly, share a band. Each band is copied
    out of the picture, drawn on with the steps moved up to it, and copied back before the
    next one is taken, so bands that overlap see each other's drawing in the order the steps
    came.

    Bands span whole rows, so only y coordinates move, by whole pixels: Pillow fills a shape
    row by row from its corners' x coordinates and the differences of their y coordinates,
    which then stay the same, so a band comes out as the same rows of the picture drawn whole
    (moving x coordinates as well would change how its single-precision sums round, now and
    then a pixel at an outline's edge)."""

    def __init__(self, out: np.ndarray):
        from PIL import Image, ImageDraw

        self.out = out
        self.h, self.w = out.shape[:2]
        self.Image, self.ImageDraw = Image, ImageDraw
        mode = Image.fromarray(out[:1, :1]).mode
        self.measure = ImageDraw.Draw(Image.new(mode, (1, 1)))
        self.pending = None  # (y0, y1, [(steps, mode)]) not drawn yet

    def add(self, rows, steps, mode=None) -> None:
        y0 = max(int(math.floor(rows[0])) - MARGIN, 0)
        y1 = min(int(math.ceil(rows[1])) + MARGIN, self.h)
        if y0 >= y1:
            return
        if self.pending is not None:
            a0, a1, queued = self.pending
            if y0 <= a1 + GAP and a0 <= y1 + GAP:
                self.pending = (min(a0, y0), max(a1, y1), queued + [(steps, mode)])
                return
            self.flush()
        self.pending = (y0, y1, [(steps, mode)])

    def flush(self) -> None:
        if self.pending is None:
            return
        y0, y1, queued = self.pending
        self.pending = None
        crop = self.Image.fromarray(self.out[y0:y1])
        draws = {}
        for steps, mode in queued:
            draw = draws.get(mode)
            if draw is None:
                draw = draws[mode] = self.ImageDraw.Draw(crop, mode)
            for step in steps:
                _step(draw, step, y0)
        self.out[y0:y1] = np.asarray(crop)

    def label(self, box, at, text, colour, font) -> None:
        """A black box with the text in it (the box was measured round the text drawn with a
        stroke, so the text's rows are within the box's)."""
        self.add((box[1], box[3] + 1), [("rectangle", box, (0, 0, 0)), ("text", at, text, colour, font)])

    def stroke(self, poly, *passes) -> None:
        """A polyline drawn with each (colour, width) of ``passes`` in turn."""
        if len(poly) < 2:
            return
        # Pillow truncates the coordinates of a wide line to whole pixels, toward zero: done
        # here, in the picture's coordinates, so that moving them to a band changes nothing.
        pts = [(int(x), int(y)) for x, y in poly]
        reach = max(wd for _, wd in passes) // 2 + 1
        ys = [y for _, y in pts]
        self.add((min(ys) - reach, max(ys) + reach + 1), [("lines", pts, colour, wd) for colour, wd in passes])


def _step(draw, step, y0) -> None:
    kind = step[0]
    if kind == "lines":
        _, pts, colour, wd = step
        draw.line([(x, y - y0) for x, y in pts], fill=colour, width=wd)
    elif kind == "rectangle":
        _, (a, b, c, d), colour = step
        draw.rectangle((a, b - y0, c, d - y0), fill=colour)
    else:
        _, (x, y), text, colour, font = step
        draw.text((x, y - y0), text, fill=colour, font=font)


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
