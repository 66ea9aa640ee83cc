"""The library's colour model in floating point, and colour windows chosen from a region."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

import quorvane

from ._arrays import as_rgb, region_mask
from ._regions import component, dilate, widen

__all__ = ["Window", "Suggestion", "lch", "in_window", "suggest_window", "selected_fraction"]

_SQRT3_2 = math.sqrt(3.0) / 2.0


class Window(NamedTuple):
    """A colour window: hue wedge (radians), chroma band and intensity band (fractions).

    ``quorvane.calculate_lch_bounds(*window)`` accepts it as it is."""

    hue: tuple[float, float]
    chroma: tuple[float, float]
    intensity: tuple[float, float]

    def bounds(self):
        """The window as ``LCHBounds`` for the image passes (worked out once per window: a
        video finds shapes of one window frame after frame)."""
        try:
            limits = np.array(self, np.float64)
        except (TypeError, ValueError, OverflowError):
            limits = None
        if limits is None or limits.shape != (3, 2):
            return quorvane.calculate_lch_bounds(*self)  # its own message for odd limits
        b = _bounds(limits.tobytes())  # by the limits' bits: 0.0 and -0.0 differ
        return b._replace(M=b.M.copy())  # the caller's own matrix

    def flags(self) -> str:
        """The window as command-line flags: ``--hue A B --chroma C D --intensity E F``."""
        return " ".join(
            f"--{name} {_num(lo)} {_num(hi)}"
            for name, (lo, hi) in zip(("hue", "chroma", "intensity"), self)
        )

    def to_dict(self) -> dict:
        return {name: [float(lo), float(hi)] for name, (lo, hi) in zip(self._fields, self)}

    def check(self) -> None:
        """Raise ValueError unless the window can select anything."""
        (h1, h2), (c1, c2), (i1, i2) = self
        if not all(math.isfinite(v) for v in (h1, h2, c1, c2, i1, i2)):
            raise ValueError("window limits must be finite numbers")
        if not 0 < h2 - h1 < math.pi:
            raise ValueError(
                f"hue wedge ({_num(h1)}, {_num(h2)}) needs H1 < H2 and H2 - H1 below pi; "
                "write a wedge around red as -0.5 0.5"
            )
        if not c1 < c2:
            raise ValueError(f"chroma band ({_num(c1)}, {_num(c2)}) needs C1 < C2")
        if not i1 < i2:
            raise ValueError(f"intensity band ({_num(i1)}, {_num(i2)}) needs I1 < I2")


@functools.lru_cache(maxsize=64)
def _bounds(key: bytes):
    """``calculate_lch_bounds`` of the limits (three pairs of doubles) whose bits are ``key``."""
    return quorvane.calculate_lch_bounds(*(tuple(pair) for pair in np.frombuffer(key).reshape(3, 2).tolist()))


def _num(v: float) -> str:
    s = f"{v:.4f}".rstrip("0").rstrip(".")
    return "0" if s in ("-0", "") else s


def lch(image, rgb_bits: int = 8):
    """Hue (radians, in (-pi, pi]), chroma and intensity of every pixel, as float64 arrays of
    the image's (rows, columns).

    Channels are taken as fractions ``value / 2**rgb_bits``, as ``calculate_lch_bounds`` and the
    image passes take them, so a pure primary at full scale has chroma 255/256 with 8-bit
    channels; intensity is (R + G + B) / 3. A pixel with no chroma (grey) has hue 0."""
    img = np.asarray(image)
    if img.ndim != 3 or img.shape[-1] != 3:
        raise ValueError(f"expected an RGB image (rows, columns, 3), got shape {img.shape}")
    rgb = img.astype(np.float64) / float(1 << rgb_bits)
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    x = r - 0.5 * g - 0.5 * b
    y = _SQRT3_2 * (g - b)
    hue = np.arctan2(y, x)
    hue[hue == -np.pi] = np.pi  # only for y == -0.0, which g - b never gives; kept for safety
    return hue, np.hypot(x, y), (r + g + b) / 3.0


def _wedge_offsets(window: Window, hue):
    """Hue relative to the wedge's bisector, wrapped into (-pi, pi]."""
    mid = 0.5 * (window.hue[0] + window.hue[1])
    return _wrap(np.asarray(hue) - mid)


def _wrap(angle):
    """Angles wrapped into [-pi, pi)."""
    return np.remainder(angle + math.pi, 2 * math.pi) - math.pi


def in_window(window: Window, hue, chroma, intensity):
    """Whether colours given by ``lch`` lie inside the window, in exact arithmetic (the image
    passes decide in fixed point, so colours within a fixed-point step of a limit may differ)."""
    half = 0.5 * (window.hue[1] - window.hue[0])
    off = _wedge_offsets(window, hue)
    chroma = np.asarray(chroma)
    along = chroma * np.cos(off)  # projection of the chroma vector on the bisector
    return (
        (np.abs(off) < half)
        & (chroma > 0)
        & (window.chroma[0] < along)
        & (along < window.chroma[1])
        & (window.intensity[0] < intensity)
        & (intensity < window.intensity[1])
    )


def selected_fraction(mask, region) -> float:
    """Fraction of a region's pixels that a mask selects (0 for an empty region)."""
    n = int(np.count_nonzero(region))
    return float(np.count_nonzero(mask[region])) / n if n else 0.0


class Suggestion(Window):
    """A suggested window: a ``Window`` (so ``calculate_lch_bounds(*suggestion)`` works) that
    also says how well it separates the regions.

    ``inside_fraction``, ``outside_fraction`` (None without an outside region) and
    ``image_fraction`` are the fractions of those pixels that the window selects, as
    ``mask_image`` decides. ``region`` is where the object is: the selected pixels connected to
    the inside region, widened by a few pixels (pass it to ``find_shapes(region=...)`` to fit
    only there). ``stats`` holds the inside region's percentiles."""

    inside_fraction: float
    outside_fraction: float | None
    image_fraction: float
    region: np.ndarray
    stats: dict

    @property
    def window(self) -> Window:
        return Window(*self)


PERCENTILES = (5, 25, 50, 75, 95)


def _mean_hue(h, c) -> float:
    """The chroma-weighted circular mean of hues."""
    w = np.maximum(c, 1e-9)
    return math.atan2(float(np.sum(w * np.sin(h))), float(np.sum(w * np.cos(h))))


def _core_window(h, c, i, mid: float, *, hue_margin: float, band_margin: float) -> Window:
    """A window around the bulk of the colours (h, c, i), whose mean hue is ``mid``."""
    off = _wrap(h - mid)
    coloured = c > 0.02
    use = off[coloured] if np.count_nonzero(coloured) >= max(8, 0.05 * len(c)) else off
    lo, hi = np.percentile(use, (2, 98)) if len(use) else (-0.1, 0.1)
    lo, hi = float(lo) - hue_margin, float(hi) + hue_margin
    # Recentre so that the wedge is symmetric in width budget, then keep it below pi.
    limit = 0.94 * math.pi
    if hi - lo > limit:
        centre = 0.5 * (lo + hi)
        lo, hi = centre - limit / 2, centre + limit / 2
    if hi - lo < 0.08:
        centre = 0.5 * (lo + hi)
        lo, hi = centre - 0.04, centre + 0.04
    h1, h2 = mid + lo, mid + hi
    shift = 2 * math.pi * round(0.5 * (h1 + h2) / (2 * math.pi))  # bisector in [-pi, pi]
    h1, h2 = h1 - shift, h2 - shift
    along = c * np.cos(_wrap(h - 0.5 * (h1 + h2)))
    c_lo, c_hi = (float(v) for v in np.percentile(along, (5, 95)))
    i_lo, i_hi = (float(v) for v in np.percentile(i, (5, 95)))
    window = Window(
        (h1, h2),
        (max(0.0, c_lo * (1 - band_margin)), min(1.2, c_hi * (1 + band_margin) + 0.01)),
        (max(0.0, i_lo * (1 - band_margin)), min(1.0, i_hi * (1 + band_margin) + 0.01)),
    )
    return window


def _mask(image, window: Window):
    return quorvane.mask_image(image, window.bounds()).view(bool)


_GROW_STEPS = {  # a step moves these limits a third of the way to their targets
    "dark": ("c1", "i1"),  # shading scales chroma and intensity together
    "bright": ("c2", "i2"),
    "c1": ("c1",),
    "i1": ("i1",),
    "c2": ("c2",),
    "i2": ("i2",),
}


def _grow(image, window: Window, inside, *, rounds: int = 6) -> Window:
    """Widen the chroma and intensity bands step by step, as shading and highlights spread the
    object's colours, for as long as the newly selected pixels are connected to the object (the
    selection connected to the inside region) rather than lying elsewhere in the picture."""
    (h1, h2), (c1, c2), (i1, i2) = window
    target = {"c1": c1 * 0.4, "i1": i1 * 0.4, "c2": min(1.2, c2 * 1.4), "i2": min(1.0, i2 * 1.35)}
    cur = {"c1": c1, "c2": c2, "i1": i1, "i2": i2}
    stopped = set()
    mask = _mask(image, window)
    for _ in range(rounds):
        grew = False
        for step, keys in _GROW_STEPS.items():
            if step in stopped or all(abs(target[k] - cur[k]) < 1e-4 for k in keys):
                continue
            trial = dict(cur)
            for k in keys:
                trial[k] = cur[k] + (target[k] - cur[k]) / 3
            w = Window((h1, h2), (trial["c1"], trial["c2"]), (trial["i1"], trial["i2"]))
            new_mask = _mask(image, w)
            added = new_mask & ~mask
            n_added = int(np.count_nonzero(added))
            if n_added == 0:
                continue  # nothing there: no reason to widen
            joined = int(np.count_nonzero(added & component(new_mask, inside)))
            if joined >= 0.85 * n_added:
                cur, mask, grew = trial, new_mask, True
            else:
                stopped.add(step)  # widening this way reaches other things: stop here
        if not grew:
            break
    return Window((h1, h2), (cur["c1"], cur["c2"]), (cur["i1"], cur["i2"]))


def _narrow(window: Window, inside_lch, outside_lch, *, keep: float = 0.9) -> Window:
    """Tighten limits one at a time, each time the one that leaves out the most outside
    colours per inside colour lost, while the window keeps at least ``keep`` of the inside."""
    hi_, ci_, ii_ = inside_lch
    ho_, co_, io_ = outside_lch
    n_in = max(len(hi_), 1)
    w = window
    for _ in range(24):
        sel_in = in_window(w, *inside_lch)
        sel_out = in_window(w, *outside_lch)
        n_out = int(np.count_nonzero(sel_out))
        if n_out == 0:
            break
        base_in = int(np.count_nonzero(sel_in))
        best = None
        mid = 0.5 * (w.hue[0] + w.hue[1])
        off_in = _wrap(hi_ - mid)[sel_in]
        along_in = (ci_ * np.cos(_wrap(hi_ - mid)))[sel_in]
        ints_in = ii_[sel_in]
        for q in (0.5, 1, 2, 4):
            lo_q, hi_q = q, 100 - q
            cands = []
            if len(off_in):
                a, b = np.percentile(off_in, (lo_q, hi_q))
                cands += [
                    Window((mid + a - 0.01, w.hue[1]), w.chroma, w.intensity),
                    Window((w.hue[0], mid + b + 0.01), w.chroma, w.intensity),
                ]
                a, b = np.percentile(along_in, (lo_q, hi_q))
                cands += [
                    Window(w.hue, (a - 0.005, w.chroma[1]), w.intensity),
                    Window(w.hue, (w.chroma[0], b + 0.005), w.intensity),
                ]
                a, b = np.percentile(ints_in, (lo_q, hi_q))
                cands += [
                    Window(w.hue, w.chroma, (a - 0.005, w.intensity[1])),
                    Window(w.hue, w.chroma, (w.intensity[0], b + 0.005)),
                ]
            for cand in cands:
                if not (cand.hue[0] < cand.hue[1] and cand.chroma[0] < cand.chroma[1]
                        and cand.intensity[0] < cand.intensity[1]):
                    continue
                if (cand.hue[0] < w.hue[0] or cand.hue[1] > w.hue[1] or cand.chroma[0] < w.chroma[0]
                        or cand.chroma[1] > w.chroma[1] or cand.intensity[0] < w.intensity[0]
                        or cand.intensity[1] > w.intensity[1]):
                    continue  # only ever tighten
                kept = int(np.count_nonzero(in_window(cand, *inside_lch)))
                if kept < keep * n_in:
                    continue
                removed = n_out - int(np.count_nonzero(in_window(cand, *outside_lch)))
                if removed <= 0:
                    continue
                score = removed / len(ho_) - (base_in - kept) / n_in
                if score > 0 and (best is None or score > best[0]):
                    best = (score, cand)
        if best is None:
            break
        w = best[1]
    return w


def suggest_window(image, inside, outside=None, *, grow: bool = True, keep: float = 0.9) -> Suggestion:
    """Suggest a colour window from a region of an image.

    ``inside`` (and ``outside``) are boxes ``(x, y, w, h)`` in pixels or boolean masks of the
    image's (rows, columns). The window covers the bulk of the inside colours by robust
    percentiles (a hue wedge around red comes out as (-a, b); its width stays below pi). With
    ``grow`` (default), its chroma and intensity bands widen as far as shading across the object
    spreads them, as long as the newly selected pixels join the selection instead of appearing
    elsewhere. With ``outside``, limits are then tightened to leave those colours out, while at
    least ``keep`` of the inside stays selected.

    Returns a ``Suggestion``; ``suggestion.window`` goes to ``calculate_lch_bounds(*window)``."""
    img = as_rgb(image)
    inside_m = region_mask(img.shape, inside, "inside")
    outside_m = region_mask(img.shape, outside, "outside") if outside is not None else None
    if outside_m is not None:
        outside_m = outside_m & ~inside_m
    h, c, i = lch(img)
    ins = (h[inside_m], c[inside_m], i[inside_m])
    mid = _mean_hue(ins[0], ins[1])
    window = _core_window(*ins, mid, hue_margin=0.06, band_margin=0.12)
    # Growing and narrowing look at where colours lie, not at every pixel: on large pictures
    # they run on every k-th row and column.
    k = max(1, math.ceil(max(img.shape[:2]) / 800))
    work, work_in = img, inside_m
    if k > 1 and inside_m[::k, ::k].any():
        work, work_in = np.ascontiguousarray(img[::k, ::k]), inside_m[::k, ::k]
    else:
        k = 1
    if grow:
        window = _grow(work, window, work_in)
    # Colours selected away from the object (not connected to the inside region) are most
    # likely other things of a similar colour: leave out what can be left out cheaply.
    mask = _mask(work, window)
    obj = component(mask, work_in)
    elsewhere = mask & ~dilate(obj, 2)
    if np.count_nonzero(elsewhere) > 0.02 * max(np.count_nonzero(obj), 1):
        hw, cw, iw = (a[::k, ::k] for a in (h, c, i))
        window = _narrow(
            window, (hw[obj], cw[obj], iw[obj]), (hw[elsewhere], cw[elsewhere], iw[elsewhere]), keep=0.95
        )
    if outside_m is not None and outside_m.any():
        step = max(1, math.isqrt(int(np.count_nonzero(outside_m)) // 200_000 + 1))
        out_m = outside_m[::step, ::step]
        hs, cs, is_ = (a[::step, ::step][out_m] for a in (h, c, i))
        window = _narrow(window, ins, (hs, cs, is_), keep=keep)
    window = Window(*(tuple(float(v) for v in pair) for pair in window))
    mask = _mask(img, window)
    obj = component(mask, inside_m)
    stats = {
        "pixels": int(np.count_nonzero(inside_m)),
        "percentiles": PERCENTILES,
        "hue": _hue_percentiles(ins[0], mid),
        "chroma": [float(v) for v in np.percentile(ins[1], PERCENTILES)],
        "intensity": [float(v) for v in np.percentile(ins[2], PERCENTILES)],
    }
    suggestion = Suggestion(*window)
    suggestion.inside_fraction = selected_fraction(mask, inside_m)
    suggestion.outside_fraction = selected_fraction(mask, outside_m) if outside_m is not None else None
    suggestion.image_fraction = float(np.count_nonzero(mask)) / mask.size
    suggestion.region = widen(obj | inside_m, max(4, round(0.05 * max(mask.shape))))
    suggestion.stats = stats
    return suggestion


def _hue_percentiles(h, mid: float):
    """Hue percentiles taken around the region's mean hue, so a red region is not split at
    +-pi; reported in (-pi, pi]."""
    off = _wrap(h - mid)
    return [float(np.angle(np.exp(1j * (mid + v)))) for v in np.percentile(off, PERCENTILES)]
