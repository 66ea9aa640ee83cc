"""A colour window's selection of a picture, made only where something looks at it."""

from __future__ import annotations

import numpy as np

import quorvane

__all__ = ["Selection"]


class Selection:
    """The pixels a window selects (``bounds`` from ``calculate_lch_bounds``, or a window of
    intensity alone), with transparent pixels (``alpha`` False) left out. The whole mask is made
    on first use of ``full()``; ``crop(rect)`` makes only a rectangle's, unless the whole is at
    hand already."""

    def __init__(self, image, bounds=None, window=None, alpha=None, mask=None):
        self.image, self.bounds, self.window, self.alpha = image, bounds, window, alpha
        self.shape = image.shape[:2]
        self._full = mask

    def full(self) -> np.ndarray:
        """The whole selection, a (rows, columns) uint8 array of 0 and 1."""
        if self._full is None:
            self._full = self._make(self.image, self.alpha)
        return self._full

    def crop(self, rect) -> np.ndarray:
        """The selection within rect = (x0, y0, x1, y1) (clipped), a uint8 array."""
        x0, y0, x1, y1 = rect
        rows, cols = self.shape
        x0, y0, x1, y1 = max(0, x0), max(0, y0), min(cols, x1), min(rows, y1)
        if self._full is not None:
            return self._full[y0:y1, x0:x1]
        alpha = None if self.alpha is None else self.alpha[y0:y1, x0:x1]
        # A copy of the rectangle first: one pass over contiguous pixels beats a strided one.
        return self._make(np.ascontiguousarray(self.image[y0:y1, x0:x1]), alpha)

    def _make(self, image, alpha) -> np.ndarray:
        out = np.empty(image.shape[:2], np.uint8)
        if self.bounds is not None:
            quorvane.mask_image(image, self.bounds, out)
        else:
            self.window.mask(np.ascontiguousarray(image), out)
        if alpha is not None:
            out &= alpha
        return out
