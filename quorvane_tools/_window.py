"""The library's colour model in floating point: colour windows, the hue, chroma and intensity
of pixels, and whether colours lie inside a window."""

from __future__ import annotations

import functools
import math
from typing import NamedTuple

import numpy as np

import quorvane

from . import _native
from ._arrays import as_rgb

_SQRT3_2 = math.sqrt(3.0) / 2.0


class Window(NamedTuple):
    """A colour window: hue wedge (radians), chroma band and intensity band (fractions).

    ``quorvane.calculate_lch_bounds(*window)`` accepts it as it is. A window whose ``hue`` and
    ``chroma`` are None selects by intensity alone (grey pictures, grey or white objects): the
    image passes cannot express it (a pixel without chroma lies on the edge of every hue wedge),
    so ``mask`` computes it itself.

    Parameters
    ----------
    hue : tuple of float or None
        The hue wedge (H1, H2) in radians, H1 < H2 and H2 - H1 below pi (a wedge around red is
        written -0.5 0.5).
    chroma : tuple of float or None
        The chroma band (C1, C2).
    intensity : tuple of float
        The intensity band (I1, I2); a pixel is selected strictly inside all three.

    Examples
    --------
    >>> import numpy as np
    >>> w = Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9))
    >>> w.flags()
    '--hue -0.5 0.5 --chroma 0.3 1.1 --intensity 0.1 0.9'
    >>> img = np.zeros((2, 2, 3), np.uint8)
    >>> img[0, 0] = (200, 40, 40)
    >>> w.mask(img).tolist()
    [[1, 0], [0, 0]]
    >>> Window(None, None, (0.5, 1.0)).intensity_only
    True
    """

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
    """Hue, chroma and intensity of every pixel, in the library's colour model.

    Channels are taken as fractions ``value / 2**rgb_bits``, as ``calculate_lch_bounds`` and the
    image passes take them, so a pure primary at full scale has chroma 255/256 with 8-bit
    channels; intensity is (R + G + B) / 3. A pixel with no chroma (grey) has hue 0.

    Parameters
    ----------
    image : array_like
        An RGB (rows, columns, 3) picture.
    rgb_bits : int, optional
        Bits per channel (default 8).

    Returns
    -------
    hue, chroma, intensity : numpy.ndarray
        float64 arrays of the picture's (rows, columns); hue in radians, in (-pi, pi].

    Examples
    --------
    >>> import numpy as np
    >>> h, c, i = lch(np.array([[[255, 0, 0], [128, 128, 128]]], np.uint8))
    >>> round(float(h[0, 0]), 4), round(float(c[0, 0]), 4), round(float(i[0, 0]), 4)
    (0.0, 0.9961, 0.332)
    >>> float(c[0, 1])   # grey: no chroma
    0.0
    """
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
    """Hue relative to the wedge's bisector, wrapped as ``_wrap`` wraps it (into [-pi, pi])."""
    mid = 0.5 * (window.hue[0] + window.hue[1])
    return _wrap(np.asarray(hue) - mid)


def _wrap(angle):
    """Angles wrapped into [-pi, pi]: pi too, for an angle just below -pi (mod 2 pi) whose
    remainder rounds up to 2 pi."""
    return np.remainder(angle + math.pi, 2 * math.pi) - math.pi


def in_window(window: Window, hue, chroma, intensity):
    """Whether colours given by ``lch`` lie inside a window, in exact arithmetic.

    The image passes decide in fixed point, so colours within a fixed-point step of a limit may
    differ. A window of intensity alone tests the intensity only.

    Parameters
    ----------
    window : Window
        The window.
    hue, chroma, intensity : array_like
        Colours as ``lch`` gives them.

    Returns
    -------
    numpy.ndarray
        Booleans of the colours' shape.

    Examples
    --------
    >>> import numpy as np
    >>> colours = lch(np.array([[[200, 40, 40], [40, 200, 40]]], np.uint8))
    >>> in_window(Window((-0.5, 0.5), (0.3, 1.1), (0.1, 0.9)), *colours).tolist()
    [[True, False]]
    """
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
    """The share of a region's pixels that a mask selects.

    Parameters
    ----------
    mask : numpy.ndarray
        A (rows, columns) selection (booleans, or 0 and 1).
    region : numpy.ndarray
        A boolean (rows, columns) mask of the region.

    Returns
    -------
    float
        The fraction, 0 for an empty region.

    Examples
    --------
    >>> import numpy as np
    >>> mask = np.array([[1, 0], [1, 1]], np.uint8)
    >>> selected_fraction(mask, np.array([[True, True], [False, False]]))
    0.5
    """
    n = int(np.count_nonzero(region))
    return float(np.count_nonzero(mask[region])) / n if n else 0.0
