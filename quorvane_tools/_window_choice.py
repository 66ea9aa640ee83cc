"""A colour window around an object's colours, and its limits tightened to leave other colours
out (for ``suggest_window``)."""

from __future__ import annotations

import math

import numpy as np

from ._window import Window, _wrap, in_window


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
