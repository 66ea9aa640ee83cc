"""The query values of the tune page's requests: parsed and checked, every refusal a
BadRequest whose message is sent back with status 400."""

from __future__ import annotations

import math
from urllib.parse import parse_qsl

import quorvane_tools as qt

MAX_VALUE = 64  # longest query value
MAX_FIELDS = 12
DECIMALS = 4  # the page's step, and the precision of Window.flags()
HUE_RANGE = (-7.0, 7.0)  # radians; a wedge may run past +-pi
BAND_RANGE = (-1.0, 2.0)  # chroma and intensity limits, fractions of the channel range
MIN_WIDTH = 1e-3  # hue wedge width kept away from 0 and pi, where the bounds overflow


class BadRequest(ValueError):
    """A query the server refuses; the message is sent back with status 400."""



def parse_query(query: str, allowed: tuple[str, ...]) -> dict[str, str]:
    """The query's fields as a dict; unknown, repeated or overlong fields are refused."""
    try:
        pairs = parse_qsl(query, keep_blank_values=True, max_num_fields=MAX_FIELDS)
    except ValueError:
        raise BadRequest(f"too many query fields (at most {MAX_FIELDS})") from None
    fields: dict[str, str] = {}
    for key, value in pairs:
        if key not in allowed:
            raise BadRequest(f"unknown query field {key[:MAX_VALUE]!r}; expected {', '.join(allowed)}")
        if key in fields:
            raise BadRequest(f"{key} is given twice")
        if len(value) > MAX_VALUE:
            raise BadRequest(f"{key} is longer than {MAX_VALUE} characters")
        fields[key] = value
    return fields


def _numbers(fields, key, n, kind, lo, hi):
    text = fields.get(key)
    if text is None:
        raise BadRequest(f"{key} is missing")
    parts = text.split(",")
    if len(parts) != n:
        raise BadRequest(f"{key} needs {n} comma-separated numbers, got {text!r}")
    try:
        values = [kind(p) for p in parts]
    except ValueError:
        raise BadRequest(f"{key} needs {n} comma-separated numbers, got {text!r}") from None
    for v in values:
        if not (math.isfinite(v) and lo <= v <= hi):
            raise BadRequest(f"{key} values must lie in [{lo:g}, {hi:g}], got {text!r}")
    return values


def parse_window(fields) -> qt.Window:
    """The colour window of a query, each limit rounded to the page's step of 0.0001 so
    that the flags shown describe exactly the window that was computed. Without hue and
    chroma it is a window of intensity alone."""
    if "hue" not in fields and "chroma" not in fields:
        intensity = [round(v, DECIMALS) for v in _numbers(fields, "intensity", 2, float, *BAND_RANGE)]
        if intensity[0] >= intensity[1]:
            raise BadRequest(f"intensity needs its lower limit below its upper limit, got {fields['intensity']!r}")
        return qt.Window(None, None, tuple(intensity))
    hue = [round(v, DECIMALS) for v in _numbers(fields, "hue", 2, float, *HUE_RANGE)]
    chroma = [round(v, DECIMALS) for v in _numbers(fields, "chroma", 2, float, *BAND_RANGE)]
    intensity = [round(v, DECIMALS) for v in _numbers(fields, "intensity", 2, float, *BAND_RANGE)]
    width = hue[1] - hue[0]
    if not MIN_WIDTH <= width <= math.pi - MIN_WIDTH:
        raise BadRequest(
            f"hue needs A < B with B - A between {MIN_WIDTH:g} and pi - {MIN_WIDTH:g}, "
            f"got {fields['hue']!r}; write a wedge around red as -0.5,0.5"
        )
    for key, (a, b) in (("chroma", chroma), ("intensity", intensity)):
        if a >= b:
            raise BadRequest(f"{key} needs its lower limit below its upper limit, got {fields[key]!r}")
    return qt.Window(tuple(hue), tuple(chroma), tuple(intensity))


def parse_box(fields, key, width, height):
    """A box X,Y,W,H in pixels, clipped to the picture; refused if nothing of it is left."""
    x, y, w, h = _numbers(fields, key, 4, int, -(1 << 20), 1 << 20)
    if w <= 0 or h <= 0:
        raise BadRequest(f"{key} needs a positive width and height, got {fields[key]!r}")
    x0, y0 = max(x, 0), max(y, 0)
    x1, y1 = min(x + w, width), min(y + h, height)
    if x1 <= x0 or y1 <= y0:
        raise BadRequest(f"{key} {fields[key]!r} lies outside the {width} x {height} picture")
    return (x0, y0, x1 - x0, y1 - y0)
