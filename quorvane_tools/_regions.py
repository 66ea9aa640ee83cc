"""Regions of boolean masks on a coarse grid: connected parts, labels, widening. Quick enough to
run many times while a colour window is tuned."""

from __future__ import annotations

import math

import numpy as np

__all__ = ["dilate", "component", "labels", "widen"]

GRID = 320  # the coarse grid's larger side, in cells


def dilate(mask, r: int = 2):
    out = mask.copy()
    for axis in (0, 1):
        src = out.copy()
        for k in range(1, r + 1):
            if axis == 0:
                out[k:] |= src[:-k]
                out[:-k] |= src[k:]
            else:
                out[:, k:] |= src[:, :-k]
                out[:, :-k] |= src[:, k:]
    return out


def _block_any(mask, f: int):
    rows, cols = mask.shape
    pr, pc = -rows % f, -cols % f
    if pr or pc:
        mask = np.pad(mask, ((0, pr), (0, pc)))
    return mask.reshape(mask.shape[0] // f, f, mask.shape[1] // f, f).any(axis=(1, 3))


try:  # SciPy, when it is there, labels regions faster than the NumPy loop in labels()
    from scipy.ndimage import label as _label
except ImportError:  # pragma: no cover - exercised where SciPy is missing
    _label = None


def component(mask, seed):
    """The pixels of ``mask`` connected (8-neighbours, on a grid coarse enough to be quick) to
    the seed region."""
    lab, f = labels(mask)
    hit = np.zeros(int(lab.max()) + 1, bool)
    hit[lab[_block_any(seed & mask, f) & (lab > 0)]] = True
    hit[0] = False
    return upsample(hit[lab], f, mask.shape) & mask


def widen(mask, r: int):
    """``mask`` widened by about r pixels, on a coarse grid."""
    rows, cols = mask.shape
    f = max(1, math.ceil(max(rows, cols) / GRID))
    small = dilate(_block_any(mask, f), max(1, math.ceil(r / f)))
    return np.repeat(np.repeat(small, f, axis=0), f, axis=1)[:rows, :cols]




def _run_min(values, mask):
    """Each foreground pixel's value replaced by the smallest along its run in its row."""
    rows, cols = mask.shape
    m = np.pad(mask, ((0, 0), (0, 1))).ravel()
    v = np.pad(values, ((0, 0), (0, 1))).ravel()
    starts = np.flatnonzero(m & ~np.concatenate(([False], m[:-1])))
    if len(starts) == 0:
        return values
    ids = np.cumsum(m & ~np.concatenate(([False], m[:-1]))) * m
    big = np.iinfo(values.dtype).max
    low = np.minimum.reduceat(np.where(m, v, big), starts)
    out = np.where(m, low[np.maximum(ids, 1) - 1], 0)
    return out.reshape(rows, cols + 1)[:, :-1]


def labels(mask):
    """Connected parts (8-neighbours) of a mask on the coarse grid.

    Returns (labels, f): an int array of the coarse grid, 0 for background, and the grid's cell
    size in pixels (labels.repeat(f) covers the mask)."""
    rows, cols = mask.shape
    f = max(1, math.ceil(max(rows, cols) / GRID))
    small = _block_any(mask, f)
    if _label is not None:
        lab, _ = _label(small, structure=np.ones((3, 3), bool))
        return lab, f
    big = np.iinfo(np.int64).max
    lab = np.where(small, np.arange(1, small.size + 1).reshape(small.shape), 0)
    while True:
        before = lab
        pad = np.pad(np.where(small, lab, big), 1, constant_values=big)
        low = pad[1:-1, 1:-1]
        for dy in (0, 1, 2):
            for dx in (0, 1, 2):
                low = np.minimum(low, pad[dy:dy + small.shape[0], dx:dx + small.shape[1]])
        lab = np.where(small, low, 0)
        lab = _run_min(lab, small)
        lab = _run_min(lab.T, small.T).T
        if np.array_equal(lab, before):
            break
    _, lab = np.unique(lab, return_inverse=True)  # 0 stays 0: it is the smallest
    return lab.reshape(small.shape), f


def upsample(small, f, shape):
    """A coarse-grid array back on the pixel grid."""
    return np.repeat(np.repeat(small, f, axis=0), f, axis=1)[: shape[0], : shape[1]]
