"""Colour selection, edge points and RANSAC shape fitting for RGB images.

The functions chain: ``calculate_lch_bounds`` once per colour, ``mask_image`` to get
a byte mask, ``simple_edge`` to get edge points, ``simple_denoise`` on the filled
rows, a fitter such as ``ransac_line``, then ``remove_inliers`` and a fitter again.

Point lists are int32 arrays of shape (n, 2) holding (x, y) = (column, row); point
masks hold one byte per point; RGB images are uint8 (rows, columns, 3); byte images
are uint8 (rows, columns). Outputs are written in place from the first element and
the functions return how much they wrote. Any object exporting a buffer of the right
element type and layout is accepted at run time, and None stands for an empty array;
the types below name NumPy arrays.

The fitters' dicts are described by the TypedDicts ``_Line``, ``_Circle`` and
``_Ellipse``, which exist for type checkers only (import them under
``if TYPE_CHECKING:``).
"""

from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple, SupportsFloat, SupportsIndex, SupportsInt, TypedDict, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

_PointList = NDArray[np.int32]
_PointMask = NDArray[np.uint8] | NDArray[np.bool_]
_RGBImage = NDArray[np.uint8]
_ByteImage = NDArray[np.uint8] | NDArray[np.bool_]
_ByteImageT = TypeVar("_ByteImageT", NDArray[np.uint8], NDArray[np.bool_])
_Int = SupportsInt
_Float = SupportsFloat | SupportsIndex
_Limits = Sequence[float] | NDArray[np.floating[Any] | np.integer[Any]]
_BoundsMapping = Mapping[str, Any]

class LCHBounds(NamedTuple):
    """A colour window as returned by ``calculate_lch_bounds``.

    ``M`` holds the 9 entries of the 3x3 matrix, row-major, that maps a pixel's
    (R, G, B) to (a, b, I): int32 scaled by 2**rgb_bits, or float64 when unscaled.
    ``i`` and ``c`` are the exclusive (lower, upper) bounds of the intensity I and of
    the chroma measure a + b, scaled by 2**(2 * rgb_bits). ``bounds._asdict()`` is the
    bounds mapping that ``mask_image_cy_impl``, ``selective_grayscale_impl`` and
    ``simple_edge_hsv`` take.
    """

    M: NDArray[Any]
    i: tuple[float, float]
    c: tuple[float, float]

class _Line(TypedDict):
    """A line through (px, py) with normal (nx, ny) = (y1 - y0, x0 - x1), not normalised.
    All zero when nothing was found."""

    px: int
    py: int
    nx: int
    ny: int

class _Circle(TypedDict):
    """Centre (x, y) and radius r, truncated to integers. All zero when nothing was found."""

    x: int
    y: int
    r: int

class _Ellipse(TypedDict):
    """Centre (x, y), semi-axis a along the angle theta (radians, to the x axis) and
    semi-axis b across it. Either may be the longer one. All 0.0 when nothing was found."""

    x: float
    y: float
    a: float
    b: float
    theta: float

__test__: dict[str, Any]
__version__: str  # the release, e.g. "0.1.0"
__color_kernel__: str  # the colour kernel chosen at import: "avx512", "avx2", "sse41", "sse2", "neon" or "scalar"

def calculate_lch_bounds(
    hue_limit: _Limits, chroma_limit: _Limits, intensity_limit: _Limits, rgb_bits: int | None = 8
) -> LCHBounds:
    """Turn a colour window given in the hue / chroma / intensity model into bounds.

    For channels taken as fractions of their range, the chroma vector of a pixel is
    (R - G/2 - B/2, sqrt(3)/2 * (G - B)); its angle is the hue (0 red, 2pi/3 green,
    -2pi/3 blue), its length the chroma, and (R + G + B) / 3 is the intensity.

    hue_limit: (theta1, theta2) in radians, theta1 < theta2 and theta2 - theta1 below
        pi. Not reduced modulo 2pi: a wedge around red is written (-0.5, 0.5).
    chroma_limit: (lower, upper) bound of the chroma measured along the wedge's
        bisector, as fractions (0..1) of the channel range.
    intensity_limit: (lower, upper) bound of the intensity, as fractions.
    rgb_bits: bits per channel of the images to classify (fixed-point scale); None
        returns the unscaled float64 matrix and the limits as given.

    All bounds are exclusive. Only items 0 and 1 of each limit are read.
    """

def mask_image_py(
    image: NDArray[Any], bounds: LCHBounds | tuple[NDArray[Any], Sequence[float], Sequence[float]]
) -> NDArray[np.uint8]:
    """Classify every pixel with NumPy expressions: 255 inside the window, 0 outside.

    image: any numeric array whose last extent is 3; channels are converted to int32
        (floats truncated toward zero). bounds: an ``LCHBounds`` or a tuple (M, i, c);
        a mapping is refused. Returns a new uint8 array of shape ``image.shape[:-1]``.
    """

@overload
def mask_image(
    image: _RGBImage, bounds: LCHBounds | _BoundsMapping, buffer: None = None
) -> NDArray[np.uint8]:
    """Mask of an RGB image: 1 where the pixel lies inside the colour window, else 0.

    image: uint8 array (rows, columns, 3). bounds: an ``LCHBounds`` or a bounds
    mapping with keys "i", "c", "M". buffer: None to get a new (rows, columns) uint8
    array, or a byte image of at least rows * columns bytes, overwritten and returned.
    The pixel loop runs with the interpreter lock released.
    """

@overload
def mask_image(
    image: _RGBImage | None, bounds: LCHBounds | _BoundsMapping, buffer: _ByteImageT
) -> _ByteImageT:
    """Mask of an RGB image written into ``buffer`` (1 inside the window, 0 outside),
    which is returned. The pixel loop runs with the interpreter lock released."""

@overload
def selective_grayscale(
    image: _RGBImage, bounds: LCHBounds | _BoundsMapping, buffer: None = None
) -> NDArray[np.uint8]:
    """Grey levels of the pixels inside the colour window, 0 elsewhere.

    The grey level is bits 8 to 15 of the intensity row of M applied to the pixel:
    about the mean of the channels with default bounds (white gives 254), and 0 for
    very dark pixels even inside the window. image, bounds and buffer as for
    ``mask_image``. The pixel loop runs with the interpreter lock released.
    """

@overload
def selective_grayscale(
    image: _RGBImage | None, bounds: LCHBounds | _BoundsMapping, buffer: _ByteImageT
) -> _ByteImageT:
    """Grey levels of the pixels inside the colour window (0 elsewhere) written into
    ``buffer``, which is returned. The pixel loop runs with the interpreter lock released."""

def mask_color(
    color: ArrayLike, bounds: LCHBounds | tuple[NDArray[Any], Sequence[float], Sequence[float]]
) -> np.bool_:
    """True when one colour of three channel values lies inside the window.

    bounds: an ``LCHBounds`` or a tuple (M, i, c); a mapping is refused.
    """

def mask_image_cy_impl(_image: _RGBImage | None, _output: _ByteImage | None, bounds: _BoundsMapping) -> int:
    """Write the mask of ``_image`` (1 inside the window, 0 outside) into ``_output``.

    bounds: a mapping with keys "i", "c", "M" such as ``LCHBounds._asdict()``; an
    ``LCHBounds`` itself is refused. ``_output`` needs rows * columns bytes. Returns
    the number of pixels processed. Runs with the interpreter lock released.
    """

def selective_grayscale_impl(
    _image: _RGBImage | None, _output: _ByteImage | None, bounds: _BoundsMapping
) -> int:
    """Write the grey levels of the pixels inside the window (0 elsewhere) into ``_output``.

    bounds: a bounds mapping, as for ``mask_image_cy_impl``. Returns the number of
    pixels processed. Runs with the interpreter lock released.
    """

def simple_edge_hsv(
    _image: _RGBImage | None,
    _ps: _PointList | None,
    bounds: _BoundsMapping,
    row_count: _Int,
    column_count: _Int,
) -> int:
    """Edge points of the pixels inside a colour window, classified while scanning.

    Like ``simple_edge`` on the mask that ``mask_image`` would give, without building
    the mask. bounds: a bounds mapping such as ``LCHBounds._asdict()``.
    """

def simple_edge(
    _image: _ByteImage | None, _ps: _PointList | None, row_count: _Int, column_count: _Int
) -> int:
    """Start and end points of the foreground runs along sampled rows and columns.

    _image: byte image; any non-zero byte is foreground. _ps: output point list; its
    row count is the capacity. row_count, column_count: how many rows and columns to
    scan, spread over the image in bit-reversed order (row 0, h/2, h/4, 3h/4, ...).
    A run is written as its first pixel and the first background pixel after it (or
    the line's last pixel). Returns the number of points written; stops early when
    ``_ps`` is full.
    """

def simple_denoise(_ps_in: _PointList | None, _ps_out: _PointList | None, min_distance: _Int) -> int:
    """Join runs separated by gaps shorter than ``min_distance`` and keep the joined
    segments at least ``min_distance`` long.

    _ps_in: (start, end) pairs as ``simple_edge`` writes them. _ps_out: receives the
    kept pairs; as many rows as ``_ps_in`` always suffice (it may be ``_ps_in``
    itself). Returns the number of points written, always even.
    """

def remove_inliers(_ps_in: _PointList | None, _ps_out: _PointList | None, _ms: _PointMask | None) -> int:
    """Copy the points whose mask byte is 0 into ``_ps_out``, in order.

    _ms: one byte per point of ``_ps_in``, as a line fitter marks it. _ps_out may be
    ``_ps_in`` itself. Returns the number of points kept.
    """

def ransac_circle(_ps: _PointList | None, count: _Int, min_r: _Int, max_r: _Int, delta: _Int) -> _Circle:
    """Circle with radius in [min_r, max_r] that the most points lie within ``delta`` of.

    Tries ``count`` random samples of three points. Draws one value from the C
    library's generator (``srand`` makes fitting reproducible).
    """

def ransac_ellipse(
    _ps: _PointList | None, count: _Int, min_r: _Int, max_r: _Int, ratio: _Float, delta: _Int
) -> _Ellipse:
    """Ellipse with both semi-axes in [min_r, max_r] that the most points lie within
    ``delta`` of.

    Tries ``count`` random samples of five points. ``ratio`` bounds b / a; for
    ellipses that do not contain the point (0, 0), the usual case in image
    coordinates, it is the largest accepted ratio of the longer to the shorter
    semi-axis. Samples containing the point (0, 0) are skipped. Draws one value from
    the C library's generator.
    """

def ransac_line(
    _ps: _PointList | None, _ms: _PointMask | None, count: _Int, delta: _Int, slope_limit: _Float
) -> _Line:
    """Line that the most points lie within ``delta`` of; its inliers are marked in ``_ms``.

    Tries ``count`` random pairs of points. Candidates within asin(slope_limit) of
    the x axis are skipped (0 skips only exactly horizontal ones). _ms: one byte per
    point, all overwritten with 1 (inlier) or 0; when nothing is found the result is
    all zero and every point is marked. Draws one value from the C library's
    generator.
    """

def ransac_line2(
    _ps: _PointList | None, _ms: _PointMask | None, count: _Int, ratio: _Float, delta: _Int
) -> tuple[_Line, _Line]:
    """Pair of nearly parallel lines, such as the two edges of a stripe.

    Tries ``count`` random samples of four points; a pair is kept when the |cos| of
    the angle between its lines is at least ``ratio``, and scored by the points lying
    within ``delta`` of exactly one line. The points near either line are marked in
    ``_ms``. Draws one value from the C library's generator.
    """
