"""The checks of a colour window, a box, a radius range and a frame range, with their messages.

One place for each, used by the library's entry points and by the commands alike; ``name`` is
how the value is called where it was given ("--radius" on the command line, "radius range" in
a call), ``error`` the exception the caller raises (ValueError unless it says otherwise).

    >>> radius((20, 10), "--radius")
    Traceback (most recent call last):
    ...
    ValueError: --radius 20 10: give 0 <= MIN <= MAX, MAX above 0
    >>> box((120, 160), (150, 100, 20, 30))
    (150, 100, 160, 120)
"""

from __future__ import annotations

__all__ = ["window", "box", "radius", "frame_range"]


def window(limits, error=ValueError):
    """A plain, checked ``Window`` from a ``Window``, a ``Suggestion`` or three limit pairs
    (``None`` for the hue and chroma of a window of intensity alone)."""
    from .color import Window

    w = Window(*(None if pair is None else tuple(map(float, pair)) for pair in limits))
    try:
        w.check()
    except ValueError as e:
        raise error(str(e)) from None
    return w


def box(shape, xywh, name: str = "box", error=ValueError) -> tuple[int, int, int, int]:
    """The box ``(x, y, w, h)`` clipped to a picture of ``shape`` (rows, columns, ...), as
    ``(x0, y0, x1, y1)``; a box without area or wholly outside the picture is refused."""
    rows, cols = shape[:2]
    x, y, w, h = (int(v) for v in xywh)
    if w <= 0 or h <= 0:
        raise error(f"{name} {x} {y} {w} {h} has no area (W and H must be positive)")
    x0, y0, x1, y1 = max(x, 0), max(y, 0), min(x + w, cols), min(y + h, rows)
    if x0 >= x1 or y0 >= y1:
        raise error(f"{name} {x} {y} {w} {h} lies outside the {cols} x {rows} image")
    return x0, y0, x1, y1


def radius(lo_hi, name: str = "radius range", shape=None, error=ValueError) -> tuple[int, int]:
    """The radius range ``(MIN, MAX)`` as whole numbers, 0 <= MIN <= MAX and MAX above 0; with
    the picture's ``shape``, MIN must also leave room for a shape in it."""
    lo, hi = (int(v) for v in lo_hi)
    if not 0 <= lo <= hi or hi == 0:
        raise error(f"{name} {lo} {hi}: give 0 <= MIN <= MAX, MAX above 0")
    if shape is not None:
        h, w = shape[:2]
        if 2 * lo > max(h, w):
            raise error(f"{name} {lo} {hi}: a shape with radius {lo} does not fit in the {w} x {h} "
                        f"picture (its largest radius is {max(h, w) // 2})")
    return lo, hi


def frame_range(start_stop, frames: int | None = None, name: str = "frame range", path=None,
                error=ValueError) -> tuple[int, int]:
    """Frames START..STOP-1 as whole numbers, 0 <= START < STOP; with the video's frame count
    ``frames`` (and its ``path``, for the message), STOP may not pass its end."""
    start, stop = (int(v) for v in start_stop)
    if not 0 <= start < stop:
        raise error(f"{name} {start} {stop} needs 0 <= START < STOP")
    if frames is not None and stop > frames:
        raise error(f"{path}: {name} {start} {stop} is beyond its end ({frames} frames)")
    return start, stop
