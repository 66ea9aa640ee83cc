"""The fifteen functions of quorvane, described once.

Each entry gives the parameters (name, kind, default, whether the function
writes the argument), a call that succeeds with packed arrays, further calls
that succeed, and calls that fail before writing anything. Calls name their
array and bounds arguments through `A` (`A.ps`, `A.img`, ...) and are
resolved against a dict of standard arguments (`standard_arguments`), so one
description serves the binding, leak, property and view tests, the fuzzer
(fuzz/fuzz_quorvane.py) and the hostile-object helpers (hostile.py).

Parameter kinds (the fuzzer draws arguments by kind):
  limit        two real numbers, indexable by 0 and 1 (calculate_lch_bounds)
  rgb_bits     bits per channel, or None
  np_image     anything NumPy reshapes to (-1, 3) pixels
  np_bounds    a sequence (M, i, c) for the NumPy-expression variants
  color        anything numpy.array turns into three channel values
  lch          an LCHBounds or a bounds mapping
  bounds       a bounds mapping with keys "i", "c", "M"
  rgb          an RGB image, uint8 (rows, columns, 3)
  bytes        a byte image, uint8 (rows, columns)
  points       a point list, int32 (n, 2)
  mask         a point mask, uint8 (n,)
  int, double  scalars
  count        an int: RANSAC iterations (bounded by the fuzzer)
  lines        an int: scan lines of an edge scan (bounded by the fuzzer)
"""

from dataclasses import dataclass, field

import numpy as np

import quorvane as q
from hostile import Boom, HostileNumber

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
REQUIRED = object()


class Arg:
    """A placeholder for the standard argument of that name."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"A.{self.name}"


class _Args:
    def __getattr__(self, name):
        return Arg(name)


A = _Args()


@dataclass(frozen=True)
class Param:
    name: str
    kind: str
    default: object = REQUIRED
    output: bool = False


@dataclass(frozen=True)
class Call:
    args: tuple
    kwargs: dict = field(default_factory=dict)
    raises: object = None  # exception type(s) a failing call raises
    label: str = ""

    def resolve(self, arguments):
        """(args, kwargs) with every placeholder replaced from `arguments`."""
        def value(v):
            return arguments[v.name] if isinstance(v, Arg) else v

        return [value(v) for v in self.args], {k: value(v) for k, v in self.kwargs.items()}

    def run(self, fn, arguments):
        args, kwargs = self.resolve(arguments)
        return fn(*args, **kwargs)


def fails(raises, *args, label="", **kwargs):
    return Call(args, kwargs, raises, label)


@dataclass(frozen=True)
class Function:
    name: str
    params: tuple
    valid: Call  # succeeds; arrays packed, in the order of the parameters
    more: tuple = ()  # further calls that succeed (views, keywords, ...)
    failing: tuple = ()
    numpy_level: bool = False  # works through NumPy's Python interface
    sample: int = 0  # points per RANSAC sample

    @property
    def fn(self):
        return getattr(q, self.name)

    @property
    def signature(self):
        return "(" + ", ".join(p.name if p.default is REQUIRED else f"{p.name}={p.default!r}"
                               for p in self.params) + ")"

    @property
    def defaults(self):
        values = tuple(p.default for p in self.params if p.default is not REQUIRED)
        return values or None

    def calls(self):
        """(label, call) for every call, succeeding and failing."""
        yield self.name, self.valid
        for k, c in enumerate(self.more):
            yield f"{self.name}: {c.label or k + 1}", c
        for c in self.failing:
            yield f"{self.name}: {c.label or c.raises.__name__}", c


def P(name, kind, default=REQUIRED, output=False):
    return Param(name, kind, default, output)


def succeeds(label, *args, **kwargs):
    return Call(args, kwargs, None, label)


LIMITS = ((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))
LCH = q.calculate_lch_bounds(*LIMITS)
# A window that lets every pixel with a positive product through.
GOOD = {"i": (I32_MIN, I32_MAX), "c": (0, I32_MAX), "M": [256, 0, 0, 0, 256, 0, 0, 0, 256]}


def standard_arguments(img, ps, out=None, ps_out=None, ms=None):
    """Every argument the calls name, made from a non-empty RGB image and a
    non-empty point list (outputs are zeros unless given)."""
    n = len(ps)
    out = np.zeros(img.shape[:2], np.uint8) if out is None else out
    ps_out = np.zeros_like(ps) if ps_out is None else ps_out
    ms = np.zeros(n, np.uint8) if ms is None else ms
    frozen = np.array(ps)
    frozen.flags.writeable = False
    return {
        "img": img, "crop": img[:, 1:-1], "out": out, "mask": (img[:, :, 0] & 1).copy(),
        "short": out.reshape(1, -1)[:, :-1],  # one byte fewer than the image has pixels
        "ps": ps, "ps_view": ps[::-1], "ps_out": ps_out, "ps_out_none": ps_out[:0], "ps_out_one": ps_out[:1],
        "two_segments": np.array([[0, 0], [9, 0], [0, 5], [9, 5]], np.int32),
        "ps_out_short": ps_out[: n - 1], "ms": ms, "ms_short": ms[: n - 1], "ms_full": np.zeros(n, np.uint8),
        "lch": LCH, "bounds": LCH._asdict(), "good": GOOD,
        "good_lch": q.LCHBounds(np.array(GOOD["M"]), GOOD["i"], GOOD["c"]),
        "float_bounds": {k: [float(x) + 0.5 for x in v] for k, v in LCH._asdict().items()},
        "hue": LIMITS[0], "chroma": LIMITS[1], "intensity": LIMITS[2],
        "img4": np.zeros((2, 2, 4), np.uint8), "f64": np.zeros((3, 2)), "max_r": np.int64(4000),
        "frozen": frozen, "raises": HostileNumber("raise"), "subclass": HostileNumber("sub", 3),
    }


FUNCTIONS = [
    Function(
        "calculate_lch_bounds",
        (P("hue_limit", "limit"), P("chroma_limit", "limit"), P("intensity_limit", "limit"),
         P("rgb_bits", "rgb_bits", 8)),
        valid=Call((A.hue, A.chroma, A.intensity)),
        more=(succeeds("unscaled", A.hue, A.chroma, A.intensity, None),),
        failing=(fails(ValueError, (1, 1), A.chroma, A.intensity, label="zero width"),
                 fails(TypeError, A.hue, A.chroma, A.intensity, "x", label="shift"),
                 fails(TypeError, A.hue, A.chroma, (b"a", b"b"), 16, label="bytes limits")),
        numpy_level=True),
    Function(
        "mask_image_py", (P("image", "np_image"), P("bounds", "np_bounds")),
        valid=Call((A.img, A.lch)),
        failing=(fails(ValueError, A.img, LIMITS[:2], label="unpack"),),
        numpy_level=True),
    Function(
        "mask_image", (P("image", "rgb"), P("bounds", "lch"), P("buffer", "bytes", None, True)),
        valid=Call((A.img, A.lch, A.out)),
        more=(succeeds("default buffer", A.img, A.lch), succeeds("crop into out", A.crop, A.bounds, A.out)),
        failing=(fails(ValueError, A.img, A.good_lch, A.short, label="short"),
                 fails(ValueError, A.img4, A.lch, label="4 channels")),
        numpy_level=True),
    Function(
        "selective_grayscale", (P("image", "rgb"), P("bounds", "lch"), P("buffer", "bytes", None, True)),
        valid=Call((A.img, A.lch, A.out)),
        more=(succeeds("crop, default buffer", A.crop, A.lch),),
        failing=(fails(ValueError, A.img, {"i": (0, 1)}, A.out, label="no M"),),
        numpy_level=True),
    Function(
        "mask_color", (P("color", "color"), P("bounds", "np_bounds")),
        valid=Call(([200, 100, 100], A.lch)),
        failing=(fails(TypeError, A.img, None, label="no bounds"),),
        numpy_level=True),
    Function(
        "mask_image_cy_impl", (P("_image", "rgb"), P("_output", "bytes", output=True), P("bounds", "bounds")),
        valid=Call((A.img, A.out, A.good)),
        more=(succeeds("crop", A.crop, A.out, A.bounds),),
        failing=(fails(IndexError, A.img, A.out, dict(GOOD, M=[1] * 8), label="8 matrix entries"),
                 fails(TypeError, A.img, A.out, A.lch, label="LCHBounds"),
                 fails(ValueError, A.img, A.short, A.good, label="short")),
    ),
    Function(
        "selective_grayscale_impl",
        (P("_image", "rgb"), P("_output", "bytes", output=True), P("bounds", "bounds")),
        valid=Call((A.img, A.out, A.good)),
        more=(succeeds("crop", A.crop, A.out, A.bounds),),
        failing=(fails(TypeError, A.img, A.out, A.good_lch, label="LCHBounds"),
                 fails(ValueError, A.img, A.f64, A.bounds, label="f64 output")),
    ),
    Function(
        "simple_edge_hsv",
        (P("_image", "rgb"), P("_ps", "points", output=True), P("bounds", "bounds"), P("row_count", "lines"),
         P("column_count", "lines")),
        valid=Call((A.img, A.ps_out, A.bounds, 9, 9)),
        more=(succeeds("float bounds", A.img, A.ps_out, A.float_bounds, 8, 8),),
        failing=(fails(Boom, A.crop, A.ps_out, A.good, 3, A.raises, label="__int__ raises"),),
    ),
    Function(
        "simple_edge",
        (P("_image", "bytes"), P("_ps", "points", output=True), P("row_count", "lines"), P("column_count", "lines")),
        valid=Call((A.mask, A.ps_out, 9, 9)),
        failing=(fails(TypeError, A.out, A.ps_out, 5, "x"),
                 fails(OverflowError, A.mask, A.ps_out, 2**31, 8)),
    ),
    Function(
        "simple_denoise", (P("_ps_in", "points"), P("_ps_out", "points", output=True), P("min_distance", "int")),
        valid=Call((A.ps, A.ps_out, 3)),
        more=(succeeds("reversed", A.ps_view, A.ps_out, 2),),
        failing=(fails(OverflowError, A.ps, A.ps_out, 2**31),
                 fails(IndexError, A.ps, A.ps_out_none, I32_MIN, label="no room"),
                 fails(ValueError, A.two_segments, A.ps_out_one, 2, label="room for one point")),
    ),
    Function(
        "remove_inliers", (P("_ps_in", "points"), P("_ps_out", "points", output=True), P("_ms", "mask")),
        valid=Call((A.ps, A.ps_out, A.ms)),
        more=(succeeds("reversed", A.ps_view, A.ps_out, A.ms),),
        failing=(fails((ValueError, IndexError), A.ps, A.ps_out, A.ms_short, label="short mask"),
                 fails((ValueError, IndexError), A.ps, A.ps_out_short, A.ms_full, label="short output")),
    ),
    Function(
        "ransac_circle",
        (P("_ps", "points"), P("count", "count"), P("min_r", "int"), P("max_r", "int"), P("delta", "int")),
        valid=Call((A.ps, 30, 1, 50, 2)),
        more=(succeeds("reversed", A.ps_view, 20, 1, A.max_r, 2),),
        failing=(fails(ValueError, A.frozen, 20, 1, 40, 2, label="read-only"),),
        sample=3,
    ),
    Function(
        "ransac_ellipse",
        (P("_ps", "points"), P("count", "count"), P("min_r", "int"), P("max_r", "int"), P("ratio", "double"),
         P("delta", "int")),
        valid=Call((A.ps, 30, 1, 50, 3.0, 2)),
        failing=(fails(TypeError, A.ps, 20, 1, 40, 2.0, 2, ratio=1.0, label="keyword twice"),),
        sample=5,
    ),
    Function(
        "ransac_line",
        (P("_ps", "points"), P("_ms", "mask", output=True), P("count", "count"), P("delta", "int"),
         P("slope_limit", "double")),
        valid=Call((A.ps, A.ms, 30, 2, 0.2)),
        more=(succeeds("reversed", A.ps_view, A.ms, 20, 2, 0.1),),
        failing=(fails(DeprecationWarning, A.ps, A.ms, A.subclass, 1, 0.1),
                 fails(ValueError, A.ps, A.ms_short, 5, 1, 0.1, label="short mask"),
                 fails(ValueError, A.f64, A.ms, 20, 2, 0.1, label="dtype")),
        sample=2,
    ),
    Function(
        "ransac_line2",
        (P("_ps", "points"), P("_ms", "mask", output=True), P("count", "count"), P("ratio", "double"),
         P("delta", "int")),
        valid=Call((A.ps, A.ms, 30, 0.8, 2)),
        failing=(fails(TypeError, A.ps, A.ms, 5, "ratio", 1),
                 fails(TypeError, A.ps, A.ms, 5, 0.5, 1, delta=1, label="keyword twice"),
                 fails(ValueError, A.ps, A.ms_short, 20, 0.9, 2, label="short mask")),
        sample=4,
    ),
]

BY_NAME = {f.name: f for f in FUNCTIONS}
