"""The library's colour model in floating point, and colour windows chosen from a region."""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field

import numpy as np

from ._arrays import as_rgb, region_mask
from ._object import grow_object
from ._regions import component, dilate
from ._window import Window, _wrap, lch, in_window, selected_fraction
from ._window_choice import _mean_hue, _narrow_any, _window_of

# The colour model's names and the window's choice, importable from here as they always were.
from . import _native  # noqa: F401
from ._window import _SQRT3_2, _bounds, _num, _wedge_offsets  # noqa: F401
from ._window_choice import (  # noqa: F401
    BAND_MARGIN, GREY_CHROMA, HUE_MARGIN, _band, _narrow, _narrow_intensity,
)

__all__ = ["Window", "Suggestion", "lch", "in_window", "suggest_window", "selected_fraction"]

@dataclass(frozen=True, eq=False)
class Suggestion:
    """A suggested window (``window``) with what it found and how well it separates the regions.

    It reads as its window does: ``calculate_lch_bounds(*suggestion)`` and ``Window(*suggestion)``
    work, and so do the window's fields and methods (``hue``, ``bounds()``, ``flags()``, ...).

    Attributes
    ----------
    window : Window
        The suggested window, its limits rounded as ``Window.flags()`` prints them.
    inside_fraction : float
        The share of the inside region's pixels that the window selects.
    outside_fraction : float or None
        The same for the outside region (None without one).
    image_fraction : float
        The share of the picture's pixels that the window selects.
    region_fraction : float
        The share of the object's pixels that the window selects.
    outside_region : float
        The share of the picture selected away from the object.
    region : numpy.ndarray
        The object: a (rows, columns) boolean mask of its pixels, grown from the box under the
        window (holes filled), as ``find_shapes(..., box=...)`` grows it.
    box : tuple
        The box as (x0, y0, x1, y1), ends excluded.
    note : str or None
        Why the window deserves a second look (unusually wide, or selecting much besides the
        object), else None.
    stats : dict
        The inside region's pixel count and its hue, chroma and intensity percentiles.

    Examples
    --------
    >>> import numpy as np
    >>> import quorvane_tools as qt
    >>> yy, xx = np.mgrid[0:120, 0:160]
    >>> img = np.full((120, 160, 3), 90, np.uint8)
    >>> img[(xx - 80) ** 2 + (yy - 60) ** 2 < 30 ** 2] = (200, 40, 40)   # a red disc on grey
    >>> s = qt.suggest_window(img, (70, 50, 20, 20))
    >>> s.window
    Window(hue=(-0.04, 0.04), chroma=(0.615, 0.635), intensity=(0.3546, 0.3746))
    >>> tuple(s) == s.window and s.hue == s.window.hue
    True
    >>> int(s.region.sum()) > 2000
    True
    """

    window: Window
    inside_fraction: float
    outside_fraction: float | None
    image_fraction: float
    region_fraction: float
    outside_region: float
    region: np.ndarray = field(repr=False)
    box: tuple
    note: str | None
    stats: dict = field(repr=False)

    # The window's own reading.
    hue = property(lambda self: self.window.hue, doc="The window's hue wedge (radians), or None.")
    chroma = property(lambda self: self.window.chroma, doc="The window's chroma band, or None.")
    intensity = property(lambda self: self.window.intensity, doc="The window's intensity band.")
    intensity_only = property(lambda self: self.window.intensity_only,
                              doc="True for a window that selects by intensity alone.")

    def __iter__(self):
        return iter(self.window)

    def __len__(self) -> int:
        return len(self.window)

    def __getitem__(self, index):
        return self.window[index]

    def bounds(self):
        """``Window.bounds`` of the window."""
        return self.window.bounds()

    def intensity_sums(self) -> tuple[int, int]:
        """``Window.intensity_sums`` of the window."""
        return self.window.intensity_sums()

    def mask(self, image, out=None) -> np.ndarray:
        """``Window.mask`` of the window."""
        return self.window.mask(image, out)

    def flags(self) -> str:
        """``Window.flags`` of the window."""
        return self.window.flags()

    def to_dict(self) -> dict:
        """``Window.to_dict`` of the window."""
        return self.window.to_dict()

    def rounded(self, decimals: int = 4) -> Window:
        """``Window.rounded`` of the window."""
        return self.window.rounded(decimals)

    def check(self) -> None:
        """``Window.check`` of the window."""
        self.window.check()


PERCENTILES = (5, 25, 50, 75, 95)


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

    The object is the inside region's dominant colour (not its average: highlights and dark
    patches of a patterned object are not the object); with ``grow`` it is grown over the
    picture through pixels of the same material, following shading in hue, chroma and
    intensity, until real colour or intensity edges. The window bounds the grown object's
    colours robustly; on a grey picture, or for a grey or white object, it is a window of
    intensity alone. RGBA pictures keep their transparent pixels out.

    Parameters
    ----------
    image : array_like
        The picture (RGB, RGBA or grey).
    inside : tuple or array_like
        A box ``(x, y, w, h)`` in pixels on the object, or a boolean mask of the picture's
        (rows, columns).
    outside : tuple or array_like, optional
        A box or mask on what must not be selected: the limits are then tightened to leave
        those colours out, while at least ``keep`` of the inside stays selected.
    grow : bool, optional
        Grow the object from the region (default True); else the region is the object.
    keep : float, optional
        The share of the inside that stays selected when ``outside`` narrows the window (0.9).

    Returns
    -------
    Suggestion
        The window (``suggestion.window``, its limits rounded as ``Window.flags()`` prints
        them, so that the printed flags are this window), the object's region and how well the
        window separates it; it goes to ``find_shapes`` as it is.

    Raises
    ------
    ValueError
        For a region without pixels.

    Examples
    --------
    >>> import numpy as np
    >>> import quorvane_tools as qt
    >>> yy, xx = np.mgrid[0:120, 0:160]
    >>> img = np.full((120, 160, 3), 90, np.uint8)
    >>> img[(xx - 80) ** 2 + (yy - 60) ** 2 < 30 ** 2] = (200, 40, 40)   # a red disc on grey
    >>> s = qt.suggest_window(img, (70, 50, 20, 20))   # a box on the disc
    >>> s.flags()
    '--hue -0.04 0.04 --chroma 0.615 0.635 --intensity 0.3546 0.3746'
    >>> s.inside_fraction, s.box, s.note
    (1.0, (70, 50, 90, 70), None)
    >>> qt.find_shapes(img, s, ["circle"], box=(70, 50, 20, 20), seed=1).count
    1
    """
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
    inside_fraction = selected_fraction(selection, inside_m)
    outside_fraction = selected_fraction(selection, outside_m) if outside_m is not None else None
    image_fraction = n_sel / selection.size
    region_fraction = selected_fraction(selection, region)
    outside_region = away / selection.size
    suggestion = Suggestion(window, inside_fraction, outside_fraction, image_fraction, region_fraction,
                            outside_region, region, box, None, stats)
    suggestion = dataclasses.replace(suggestion, note=_note(window, suggestion, int(np.count_nonzero(region))))
    return suggestion


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
