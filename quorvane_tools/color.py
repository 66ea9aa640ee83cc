"""The library's colour model in floating point, and colour windows chosen from a region."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

import quorvane

from . import _native
from ._arrays import as_rgb, region_mask
from ._object import grow_object
from ._regions import component, dilate

__all__ = ["Window", "Suggestion", "lch", "in_window", "suggest_window", "selected_fraction"]

_SQRT3_2 = math.sqrt(3.0) / 2.0


class Window(NamedTuple):
    """A colour window: hue wedge (radians), chroma band and intensity band (fractions).

    ``quorvane.calculate_lch_bounds(*window)`` accepts it as it is. A window whose ``hue`` and
    ``chroma`` are None selects by intensity alone (grey pictures, grey or white objects): the
    image passes cannot express it (a pixel without chroma lies on the edge of every hue wedge),
    so ``mask`` computes it itself."""

    hue: tuple[float, float] | None
    chroma: tuple[float, float] | None
    intensity: tuple[float, float]

    @property
    def intensity_only(self) -> bool:
        """True for a window that selects by intensity alone."""
        return self.hue is None and self.chroma is None

    def bounds(self):
        """The window as ``LCHBounds`` for the image passes (worked out once per window: a
        video finds shapes of one window frame after frame)."""
        if self.intensity_only:
            raise ValueError("a window of intensity alone has no LCH bounds; use Window.mask")
        try:
            limits = np.array(self, np.float64)
        except (TypeError, ValueError, OverflowError):
            limits = None
        if limits is None or limits.shape != (3, 2):
            return quorvane.calculate_lch_bounds(*self)  # its own message for odd limits
        b = _bounds(limits.tobytes())  # by the limits' bits: 0.0 and -0.0 differ
        return b._replace(M=b.M.copy())  # the caller's own matrix

    def intensity_sums(self) -> tuple[int, int]:
        """The inclusive range of R + G + B (8-bit channels) strictly inside the intensity band:
        I = (R + G + B) / 768 with channels as fractions of 256, as the image passes take them."""
        i1, i2 = self.intensity
        return math.floor(768 * i1) + 1, math.ceil(768 * i2) - 1

    def mask(self, image, out=None) -> np.ndarray:
        """The window's selection of an RGB (or RGBA: transparent pixels are never selected)
        uint8 image, as a (rows, columns) uint8 array of 0 and 1."""
        img = np.asarray(image)
        rgb = img if img.ndim == 3 and img.shape[2] == 3 else None
        if self.intensity_only:
            src = np.ascontiguousarray(img if img.ndim == 3 and img.shape[2] == 4 else as_rgb(img))
            if out is None:
                out = np.empty(src.shape[:2], np.uint8)
            lo, hi = self.intensity_sums()
            _native.intensity_mask(src, lo, hi, out)
            return out
        if rgb is None:
            rgb = as_rgb(img)
        if out is None:
            out = np.empty(rgb.shape[:2], np.uint8)
        quorvane.mask_image(rgb, self.bounds(), out)
        if img.ndim == 3 and img.shape[2] == 4:
            out &= img[..., 3] != 0
        return out

    def flags(self) -> str:
        """The window as command-line flags: ``--hue A B --chroma C D --intensity E F``
        (``--intensity E F`` alone for a window of intensity alone)."""
        return " ".join(
            f"--{name} {_num(pair[0])} {_num(pair[1])}"
            for name, pair in zip(("hue", "chroma", "intensity"), self)
            if pair is not None
        )

    def to_dict(self) -> dict:
        return {
            name: None if pair is None else [float(pair[0]), float(pair[1])]
            for name, pair in zip(self._fields, self)
        }

    def rounded(self, decimals: int = 4) -> "Window":
        """The window with its limits rounded as ``flags`` prints them, so that pasting the flags
        gives this very window."""
        return Window(*(None if p is None else (round(float(p[0]), decimals), round(float(p[1]), decimals))
                        for p in self))

    def check(self) -> None:
        """Raise ValueError unless the window can select anything."""
        if (self.hue is None) != (self.chroma is None):
            raise ValueError("give the hue wedge and the chroma band together, or neither (intensity alone)")
        values = [v for pair in self if pair is not None for v in pair]
        if not all(math.isfinite(v) for v in values):
            raise ValueError("window limits must be finite numbers")
        if not self.intensity_only:
            (h1, h2), (c1, c2) = self.hue, self.chroma
            if not 0 < h2 - h1 < math.pi:
                raise ValueError(
                    f"hue wedge ({_num(h1)}, {_num(h2)}) needs H1 < H2 and H2 - H1 below pi; "
                    "write a wedge around red as -0.5 0.5"
                )
            if not c1 < c2:
                raise ValueError(f"chroma band ({_num(c1)}, {_num(c2)}) needs C1 < C2")
        i1, i2 = self.intensity
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
    # arctan2 gives -pi only for y == -0.0, which g - b never is
    return np.arctan2(y, x), np.hypot(x, y), (r + g + b) / 3.0


def _wedge_offsets(window: Window, hue):
    """Hue relative to the wedge's bisector, wrapped into [-pi, pi)."""
    mid = 0.5 * (window.hue[0] + window.hue[1])
    return _wrap(np.asarray(hue) - mid)


def _wrap(angle):
    """Angles wrapped into [-pi, pi)."""
    return np.remainder(angle + math.pi, 2 * math.pi) - math.pi


def in_window(window: Window, hue, chroma, intensity):
    """Whether colours given by ``lch`` lie inside the window, in exact arithmetic (the image
    passes decide in fixed point, so colours within a fixed-point step of a limit may differ).
    A window of intensity alone tests the intensity only."""
    inside_band = (window.intensity[0] < intensity) & (intensity < window.intensity[1])
    if window.intensity_only:
        return inside_band
    half = 0.5 * (window.hue[1] - window.hue[0])
    off = _wedge_offsets(window, hue)
    chroma = np.asarray(chroma)
    along = chroma * np.cos(off)  # projection of the chroma vector on the bisector
    return (
        (np.abs(off) < half)
        & (chroma > 0)
        & (window.chroma[0] < along)
        & (along < window.chroma[1])
        & inside_band
    )


def selected_fraction(mask, region) -> float:
    """Fraction of a region's pixels that a mask selects (0 for an empty region)."""
    n = int(np.count_nonzero(region))
    return float(np.count_nonzero(mask[region])) / n if n else 0.0


class Suggestion(Window):
    """A suggested window: a ``Window`` (so ``calculate_lch_bounds(*suggestion)`` works) that
    also says what it found and how well it separates the regions.

    ``region`` is the object: its pixels grown from the box under the window (holes filled),
    as ``find_shapes(..., box=...)`` grows it; ``box`` is the box (x0, y0, x1, y1, ends
    excluded). ``inside_fraction``, ``outside_fraction`` (None without an outside region),
    ``image_fraction`` and ``region_fraction`` are the fractions of those pixels (the last: of
    the object's) that the window selects; ``outside_region`` the share of the picture selected
    away from the object. ``note`` says when the window looks unusually wide or selects much
    besides the object (None otherwise); ``stats`` holds the box's percentiles."""

    inside_fraction: float
    outside_fraction: float | None
    image_fraction: float
    region_fraction: float
    outside_region: float
    region: np.ndarray
    box: tuple
    note: str | None
    stats: dict

    @property
    def window(self) -> Window:
        return Window(*self)


PERCENTILES = (5, 25, 50, 75, 95)


def _mean_hue(h, c) -> float:
    """The chroma-weighted circular mean of hues."""
    w = np.maximum(c, 1e-9)
    return math.atan2(float(np.sum(w * np.sin(h))), float(np.sum(w * np.cos(h))))


HUE_MARGIN = 0.04  # radians beyond the object's hues
BAND_MARGIN = 0.1  # of a band's width beyond the object's chroma and intensity, at least 0.01
GREY_CHROMA = 0.03  # below this chroma a hue is noise


def _band(values, lo_q, hi_q, floor=None, ceil=None):
    lo, hi = (float(v) for v in np.percentile(values, (lo_q, hi_q)))
    pad = max(BAND_MARGIN * (hi - lo), 0.01)
    lo, hi = lo - pad, hi + pad
    if floor is not None:
        lo = max(lo, floor)
    if ceil is not None:
        hi = min(hi, ceil)
    return lo, hi


def _window_of(h, c, i, *, grey: bool) -> Window:
    """A window around the colours (h, c, i) of an object's pixels (from ``lch``): the hue
    wedge, chroma band and intensity band of their bulk, or the intensity band alone when the
    pixels are grey (in a grey picture, or mostly without chroma), since a wedge cannot hold
    them."""
    intensity = _band(i, 1, 99, 0.0, 1.0)
    coloured = c > GREY_CHROMA
    if grey or np.count_nonzero(coloured) < 0.8 * len(c):
        return Window(None, None, intensity)
    mid = _mean_hue(h[coloured], c[coloured])
    off = _wrap(h[coloured] - mid)
    lo, hi = (float(v) for v in np.percentile(off, (2, 98)))
    lo, hi = lo - HUE_MARGIN, hi + HUE_MARGIN
    limit = 0.94 * math.pi
    if hi - lo > limit:  # hues all round: no wedge holds them, so intensity alone
        return Window(None, None, intensity)
    if hi - lo < 0.08:
        centre = 0.5 * (lo + hi)
        lo, hi = centre - 0.04, centre + 0.04
    h1, h2 = mid + lo, mid + hi
    shift = 2 * math.pi * round(0.5 * (h1 + h2) / (2 * math.pi))  # bisector in [-pi, pi]
    h1, h2 = h1 - shift, h2 - shift
    along = c * np.cos(_wrap(h - 0.5 * (h1 + h2)))
    chroma = _band(along[coloured], 1, 99, 0.0, 1.2)
    return Window((h1, h2), chroma, intensity)


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


def is_grey(image) -> bool:
    """Whether every pixel of an RGB image has R = G = B."""
    img = np.asarray(image)
    return bool(np.array_equal(img[..., 0], img[..., 1]) and np.array_equal(img[..., 1], img[..., 2]))


def _sample(mask, limit: int = 100_000):
    """Indices (flat) of at most about ``limit`` of the mask's pixels, evenly spread."""
    idx = np.flatnonzero(mask)
    step = max(1, len(idx) // limit)
    return idx[::step]


def _lch_at(image, idx):
    """``lch`` of the pixels at flat indices ``idx``."""
    return lch(image.reshape(-1, 3)[idx][None])


def _box_of(mask) -> tuple:
    rows, cols = np.flatnonzero(mask.any(axis=1)), np.flatnonzero(mask.any(axis=0))
    return int(cols[0]), int(rows[0]), int(cols[-1]) + 1, int(rows[-1]) + 1


def object_region(image, window: Window, box, *, alpha=None, selection=None):
    """The object a box names, under a colour window: the window's selection grown from the
    box's pixels of its dominant colour, stopping at edges (holes filled). ``box`` is
    (x, y, w, h) or a boolean mask; ``image`` an RGB array (``alpha``: a mask of the pixels
    that are not transparent; ``selection``: the window's selection, when it is at hand)."""
    img = as_rgb(image)
    inside = region_mask(img.shape, box, "box")
    if selection is None:
        selection = window.mask(img).view(bool)
    return _grown(img, selection, inside, alpha).region


def _grown(img, selection, inside, alpha):
    bound = selection if alpha is None else selection & alpha
    return grow_object(img, _box_of(inside), allowed=bound, alpha=None)


def suggest_window(image, inside, outside=None, *, grow: bool = True, keep: float = 0.9) -> Suggestion:
    """Suggest a colour window from a region of an image.

    ``inside`` (and ``outside``) are boxes ``(x, y, w, h)`` in pixels or boolean masks of the
    image's (rows, columns). The object is the inside region's dominant colour (not its average:
    highlights and dark patches of a patterned object are not the object); with ``grow``
    (default) it is grown over the picture through pixels of the same material, following
    shading in hue, chroma and intensity, until real colour or intensity edges. The window
    bounds the grown object's colours robustly; on a grey picture, or for a grey or white
    object, it is a window of intensity alone. With ``outside``, limits are then tightened to
    leave those colours out, while at least ``keep`` of the inside stays selected. RGBA pictures
    keep their transparent pixels out.

    Returns a ``Suggestion``; ``suggestion.window`` goes to ``find_shapes``, and its limits are
    rounded as ``Window.flags()`` prints them, so that the printed flags are this window."""
    src = np.asarray(image)
    alpha = src[..., 3] != 0 if src.ndim == 3 and src.shape[2] == 4 else None
    img = as_rgb(image)
    inside_m = region_mask(img.shape, inside, "inside")
    outside_m = region_mask(img.shape, outside, "outside") if outside is not None else None
    if outside_m is not None:
        outside_m = outside_m & ~inside_m
    grey = is_grey(img)
    box = _box_of(inside_m)
    if grow:
        first = grow_object(img, box, alpha=alpha)
        obj = first.region & (alpha if alpha is not None else True)
    else:
        obj = inside_m
    if not obj.any():
        obj = inside_m
    # The object's own colours: its pixels off its outline (pixels on it mix in their
    # neighbours' colours), when that leaves enough of them.
    core = ~dilate(~obj, 1) & obj
    idx = _sample(core if np.count_nonzero(core) >= max(16, 0.3 * np.count_nonzero(obj)) else obj)
    inside_lch = _lch_at(img, idx)
    window = _window_of(*inside_lch, grey=grey)
    # What surrounds the object: left out where that costs little of the object, so that the
    # window also finds the object's like elsewhere in the picture (not its background).
    reach = max(3, round(0.15 * math.sqrt(max(int(np.count_nonzero(obj)), 1))))
    ring = dilate(obj, reach) & ~obj
    if alpha is not None:
        ring &= alpha
    if ring.any():
        window = _narrow_any(window, _lch_at(img, _sample(obj, 20_000)), _lch_at(img, _sample(ring, 20_000)), 0.9)
    if outside_m is not None and outside_m.any():
        # What the user says is not the object: left out, while the object stays selected (the
        # box alone, when the object grown from it reaches into the outside box).
        keep_m = inside_m if (obj & outside_m).any() else obj
        window = _narrow_any(window, _lch_at(img, _sample(keep_m, 50_000)),
                             _lch_at(img, _sample(outside_m, 200_000)), keep)
    window = window.rounded()
    selection = window.mask(img).view(bool)
    if alpha is not None:
        selection = selection & alpha
    region = _grown(img, selection, inside_m, alpha).region if grow else component(selection, inside_m)
    if not region.any():
        region = inside_m & selection
    ins = _lch_at(img, np.flatnonzero(inside_m)) if inside_m.sum() <= 400_000 else _lch_at(img, _sample(inside_m, 400_000))
    mid = _mean_hue(ins[0], ins[1])
    stats = {
        "pixels": int(np.count_nonzero(inside_m)),
        "percentiles": PERCENTILES,
        "hue": _hue_percentiles(ins[0], mid),
        "chroma": [float(v) for v in np.percentile(ins[1], PERCENTILES)],
        "intensity": [float(v) for v in np.percentile(ins[2], PERCENTILES)],
    }
    n_sel = int(np.count_nonzero(selection))
    away = n_sel - int(np.count_nonzero(selection & region))
    suggestion = Suggestion(*window)
    suggestion.inside_fraction = selected_fraction(selection, inside_m)
    suggestion.outside_fraction = selected_fraction(selection, outside_m) if outside_m is not None else None
    suggestion.image_fraction = n_sel / selection.size
    suggestion.region_fraction = selected_fraction(selection, region)
    suggestion.outside_region = away / selection.size
    suggestion.region = region
    suggestion.box = box
    suggestion.note = _note(window, suggestion, int(np.count_nonzero(region)))
    suggestion.stats = stats
    return suggestion


def _narrow_any(window, inside_lch, outside_lch, keep):
    if window.intensity_only:
        return _narrow_intensity(window, inside_lch[2], outside_lch[2], keep)
    return _narrow(window, inside_lch, outside_lch, keep=keep)


def _narrow_intensity(window, inside_i, outside_i, keep):
    """The intensity band tightened from either end while it keeps ``keep`` of the inside and
    leaves out more of the outside than it loses of the inside."""
    lo, hi = window.intensity
    best = (lo, hi)
    best_score = 0.0
    for q in np.linspace(0, 1 - keep, 11):
        for a, b in ((q, 0.0), (0.0, q)):
            l2, h2 = np.percentile(inside_i, (100 * a, 100 * (1 - b)))
            l2, h2 = max(lo, float(l2) - 0.005), min(hi, float(h2) + 0.005)
            if l2 >= h2:
                continue
            kept = np.mean((inside_i > l2) & (inside_i < h2))
            out = np.mean((outside_i > l2) & (outside_i < h2))
            score = (np.mean((outside_i > lo) & (outside_i < hi)) - out) - (1 - kept)
            if kept >= keep and score > best_score:
                best, best_score = (l2, h2), score
    return Window(None, None, best)


def _note(window, s, region_pixels: int):
    """Why a suggestion deserves a second look, or None."""
    notes = []
    if not window.intensity_only and window.hue[1] - window.hue[0] > 1.2:
        notes.append(f"the hue wedge is wide ({window.hue[1] - window.hue[0]:.2f} rad)")
    if s.image_fraction > 0.3:
        notes.append(f"it selects {100 * s.image_fraction:.0f}% of the picture")
    elif s.outside_region * s.region.size > 1.5 * max(region_pixels, 1) and s.outside_region > 0.02:
        notes.append(f"it selects {100 * s.outside_region:.0f}% of the picture away from the object")
    if not notes:
        return None
    hint = ("a box on one colour of the object, --outside on what must be left out, or --box "
            "with find (which keeps to the object)")
    return "; ".join(notes) + f": {hint}"


def _hue_percentiles(h, mid: float):
    """Hue percentiles taken around the region's mean hue, so a red region is not split at
    +-pi; reported in (-pi, pi]."""
    off = _wrap(h - mid)
    return [float(np.angle(np.exp(1j * (mid + v)))) for v in np.percentile(off, PERCENTILES)]
