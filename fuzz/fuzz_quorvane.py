#!/usr/bin/env python3
"""Fuzz target: every exported function of quorvane, fed hostile arguments.

Each input seeds a private random generator, from which one call is
composed: the function (from tests/catalogue.py, whose parameter kinds name
the generators below), how its arguments are bound (positional, by keyword,
missing, extra, repeated, unknown keywords) and every argument, drawn from a
grammar of nasty values (the hostile objects live in tests/hostile.py):

* arrays: NumPy arrays of every dtype and byte order, 0 to 4 dimensions, any
  strides (negative, zero, overlapping, huge on unit extents, misaligned),
  read-only, with astronomically large zero-stride shapes; memoryviews,
  ctypes arrays and buffer-test exporters with struct formats, repeat counts,
  padding, unknown characters, indirect (suboffset) layouts and failing
  exports; objects exporting buffers from Python (`__buffer__`); None and
  non-exporters;
* numbers: the 32-bit limits and just beyond, huge and tiny ints, int
  subclasses, NaN and infinities, NumPy scalars, and objects whose
  `__int__` / `__float__` / `__index__` raise, return odd types, call back
  into the module, try to resize arrays already taken, or replace module
  attributes;
* sequences and mappings whose `__len__`, `__iter__` or `__getitem__` raise,
  lie about their length or yield odd items; lists that shrink while being
  read; dict keys that collide with the looked-up keys and mutate the dict.

Checks on every call:

* no crash, hang or sanitizer report;
* an exception escaping a function has an expected type. The functions that
  convert their arguments in C++ (mask_image_cy_impl to ransac_line2) may
  raise TypeError, ValueError, IndexError, OverflowError, BufferError,
  MemoryError, a warning turned into an error (the DeprecationWarning of an
  `__int__` returning an int subclass), or pass on the Boom of a hostile
  object. The functions that work through NumPy's Python interface
  (calculate_lch_bounds, mask_image_py, mask_color, and mask_image /
  selective_grayscale, which allocate through it) may pass on whatever NumPy
  or a hostile argument raises. SystemError, the interpreter's sign of a
  broken C-API contract, is never allowed;
* after an exception, every array argument is byte for byte unchanged;
* after a success, no byte outside an array argument's own elements changed,
  and the result is well formed (counts within capacity, dict keys, ...).

Work per call is bounded (RANSAC iterations x points, scan lines x extents,
buffer sizes), so a slow call is a finding, not a feature of the grammar.

Usage (fuzz/run.sh sets up the environment):
    python fuzz/fuzz_quorvane.py [libFuzzer flags] [CORPUS_DIR | CRASH_FILE]
"""

import math
import random
import sys
import warnings
from pathlib import Path

import atheris
import numpy as np

import quorvane as q

# The catalogue and the hostile objects are shared with the tests; the
# grammar (grammar_values.py, grammar_arrays.py) lives beside this file.
sys.path[:0] = [str(Path(__file__).resolve().parents[1] / "tests"), str(Path(__file__).resolve().parent)]
import catalogue  # noqa: E402
import grammar_arrays  # noqa: E402
import grammar_values  # noqa: E402
from grammar_arrays import ArrayArg, gen_array, gen_np_image  # noqa: E402
from grammar_values import (LCHBOUNDS, gen_bounds_map, gen_color, gen_double, gen_int, gen_limit,  # noqa: E402
                            gen_np_bounds, gen_rgb_bits, gen_window)
from hostile import Boom  # noqa: E402

WORK = 2_000_000  # bound on points x iterations, pixels scanned, ...
NP = np


class Finding(AssertionError):
    """A broken contract: atheris reports it and keeps the input."""


# Functions that work through NumPy's Python interface (or allocate through
# it first): whatever NumPy or a hostile argument raises may propagate.
NUMPY_LEVEL = {f.name for f in catalogue.FUNCTIONS if f.numpy_level}
# Everything else converts its arguments in C++ and runs kernels: only the
# errors of conversion, of exporters and of the hostile objects themselves.
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, BufferError, MemoryError, Boom, Warning)


# ------------------------------------------------------------- functions

# The catalogue's parameter kinds name the generators; the sample size of
# the fitters bounds the work.
FUNCTIONS = catalogue.FUNCTIONS


def extents(obj):
    """The shape the module would see for `obj`, or None when unknown."""
    if obj is None:
        return ()
    try:
        with memoryview(obj) as mv:
            return mv.shape
    except Exception:
        return None


def gen_arg(rng, ctx, entry, param):
    kind = param.kind
    if kind == "bytes" and param.default is None:  # an output that may be left to the function
        return gen_array(rng, ctx, "bytes") if rng.random() < 0.6 else ArrayArg(None)
    if kind in ("points", "mask", "rgb", "bytes"):
        a = gen_array(rng, ctx, kind)
        shape = extents(a.obj)
        if kind == "points" and ctx["n_actual"] is None:
            ctx["n_actual"] = shape[0] if shape else (0 if shape == () else 1 << 62)
            ctx["n"] = min(ctx["n_actual"], 4096)
        elif kind in ("rgb", "bytes") and shape and len(shape) >= 2:
            ctx["img"] = shape[:2]
        return a
    if kind == "count":  # RANSAC iterations, bounded by the points actually passed
        n = ctx["n_actual"]
        if n < entry.sample:
            return gen_int(rng, ctx)
        return gen_int(rng, ctx, -2, max(1, min(300, WORK // max(n, 1))))
    if kind == "lines":  # scan lines, bounded by the image actually passed
        h, w = ctx["img"] if ctx["img"] is not None else (1 << 20, 1 << 20)
        if max(h, w) * 65536 <= WORK:
            return gen_int(rng, ctx)
        return gen_int(rng, ctx, -2, max(1, WORK // (2 * max(h, w, 1))))
    gen = {"int": gen_int, "double": gen_double, "bounds": gen_bounds_map, "np_bounds": gen_np_bounds,
           "np_image": gen_np_image, "color": gen_color, "limit": gen_limit, "rgb_bits": gen_rgb_bits}
    if kind == "lch":
        if rng.random() < 0.5:
            m, i, c = gen_window(rng)
            return LCHBOUNDS(np.array(m, np.int32), tuple(i), tuple(c))
        return gen_bounds_map(rng, ctx)
    return gen[kind](rng, ctx)


def new_context(rng):
    h, w = rng.choice([(0, 0), (0, 5), (5, 0), (1, 1), (2, 3), (7, 5), (16, 16), (31, 33), (64, 64), (1, 200)])
    # nasty: hostile values everywhere; otherwise well-formed calls that reach
    # the kernels, with only sizes, layouts and values varied.
    return {"rng": rng, "nasty": rng.random() < 0.6, "depth": 0, "bytearrays": [], "hw": (h, w),
            "n": None, "n_actual": None, "img": None,
            "sizes": [0, 1, 2, 3, 4, 5, 6, 8, 13, 33, 64, rng.randint(0, 200)]}


def bind(rng, names, values):
    """Positional and keyword arguments for a call, sometimes wrongly bound."""
    k = len(values)
    split = rng.choice([k] * 6 + list(range(k + 1)))
    args, kwargs = list(values[:split]), dict(zip(names[split:], values[split:]))
    r = rng.random()
    if r < 0.04 and kwargs:
        kwargs.pop(rng.choice(list(kwargs)))
    elif r < 0.08 and args:
        args.pop()
    elif r < 0.11:
        args.append(values[0] if values else None)
    elif r < 0.14:
        kwargs[rng.choice(["ps", "slope", "_ms_", "buffer", "count", "bounds", "x"])] = 1
    elif r < 0.145:
        kwargs[rng.choice([1, b"x"])] = 1  # refused by the interpreter itself
    elif r < 0.17 and names:
        kwargs[names[0]] = values[0]
    if rng.random() < 0.3:
        items = list(kwargs.items())
        rng.shuffle(items)
        kwargs = dict(items)
    return args, kwargs


# ----------------------------------------------------------------- checks


def system_error_in(exc):
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, SystemError):
            return True
        seen.add(id(exc))
        exc = exc.__context__ or exc.__cause__
    return False


def resolve(names, args, kwargs, defaults):
    bound = dict(zip(names, args))
    for name in names:
        if name not in bound:
            bound[name] = kwargs.get(name, defaults.get(name))
    return bound


def mask_bytes(obj, n):
    with memoryview(obj) as mv:
        return mv.tobytes()[:n]


def check_result(name, b, res):
    """Shape of a successful result, from the arguments actually bound."""
    def n_of(key):
        shape = extents(b[key])
        return shape[0] if shape else 0

    def fail(why):
        raise Finding(f"{name}: {why}; result {res!r}")

    if name in ("mask_image_cy_impl", "selective_grayscale_impl"):
        shape = extents(b["_image"])
        if res != (shape[0] * shape[1] if shape else 0):
            fail("pixel count is not rows x columns")
    elif name in ("mask_image", "selective_grayscale"):
        if b["buffer"] is not None and res is not b["buffer"]:
            fail("did not return the buffer passed")
    elif name in ("simple_edge", "simple_edge_hsv"):
        if not (type(res) is int and 0 <= res <= n_of("_ps")):
            fail("point count outside the list's capacity")
    elif name == "simple_denoise":
        if not (type(res) is int and res % 2 == 0 and 0 <= res <= min(n_of("_ps_out"), n_of("_ps_in"))):
            fail("bad denoised count")
    elif name == "remove_inliers":
        n = n_of("_ps_in")
        kept = mask_bytes(b["_ms"], n).count(0) if n else 0
        if res != kept:
            fail(f"kept {res} points, the mask leaves {kept}")
    elif name in ("ransac_line", "ransac_line2"):
        n = n_of("_ps")
        keys = ["px", "py", "nx", "ny"]
        if name == "ransac_line2" and not (type(res) is tuple and len(res) == 2):
            fail("not a pair of lines")
        dicts = list(res) if name == "ransac_line2" else [res]
        if any(type(d) is not dict or list(d) != keys or any(type(v) is not int for v in d.values()) for d in dicts):
            fail("malformed line")
        if n and set(mask_bytes(b["_ms"], n)) - {0, 1}:
            fail("mask bytes other than 0 and 1")
    elif name == "ransac_circle":
        if type(res) is not dict or list(res) != ["x", "y", "r"] or any(type(v) is not int for v in res.values()):
            fail("malformed circle")
    elif name == "ransac_ellipse":
        if type(res) is not dict or list(res) != ["x", "y", "a", "b", "theta"] or \
                any(type(v) is not float for v in res.values()):
            fail("malformed ellipse")


def compose(rng):
    entry = rng.choice(FUNCTIONS)
    name, fn = entry.name, entry.fn
    names = [p.name for p in entry.params]
    defaults = {p.name: p.default for p in entry.params if p.default is not catalogue.REQUIRED}
    ctx = new_context(rng)
    arrays, values = [], []
    for param in entry.params:
        v = gen_arg(rng, ctx, entry, param)
        if isinstance(v, ArrayArg):
            arrays.append(v)
            v = v.obj
        values.append(v)
    if defaults and rng.random() < 0.3:  # leave the defaults out
        values = values[: len(names) - len(defaults)]
    args, kwargs = bind(rng, names, values) if ctx["nasty"] else \
        (values[:(s := rng.randint(0, len(values)))], dict(zip(names[s:], values[s:])))
    return name, fn, names, defaults, args, kwargs, arrays, ctx


def TestOneInput(data):
    rng = random.Random(data)
    name, fn, names, defaults, args, kwargs, arrays, ctx = compose(rng)
    if name in NUMPY_LEVEL and rng.random() < 0.03:
        q.np = rng.choice([None, object(), math])
    for a in arrays:
        a.take_snapshot()
    strict_warnings = rng.random() < 0.5
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error" if strict_warnings else "ignore")
            try:
                res = fn(*args, **kwargs)
            except Exception as e:
                if system_error_in(e):
                    raise Finding(f"{name}: SystemError") from e
                if name not in NUMPY_LEVEL and not isinstance(e, ALLOWED):
                    raise Finding(f"{name}: unexpected {type(e).__name__}: {e}") from e
                for a in arrays:
                    changed, _ = a.changed()
                    if len(changed):
                        raise Finding(f"{name}: raised {type(e).__name__} ({e}) after writing "
                                      f"{len(changed)} bytes of an argument") from e
                return
    finally:
        q.np, q.LCHBounds = NP, LCHBOUNDS
    for a in arrays:
        _, outside = a.changed()
        if len(outside):
            raise Finding(f"{name}: wrote {len(outside)} bytes outside an array argument (at {outside[:8]})")
    check_result(name, resolve(names, args, kwargs, defaults), res)


def instrument_harness():
    """Coverage of the harness's and the grammar's functions guides libFuzzer
    (plain runs; atheris patches their code objects in place). ArrayArg
    compares NumPy arrays, on which atheris's comparison hooks leak."""
    for module in (sys.modules[__name__], grammar_values, grammar_arrays):
        for obj in list(vars(module).values()):
            if getattr(obj, "__module__", None) != module.__name__ or obj is ArrayArg:
                continue
            if isinstance(obj, type(main)):
                atheris.instrument_func(obj)
            elif isinstance(obj, type):
                for member in vars(obj).values():
                    if isinstance(member, type(main)):
                        atheris.instrument_func(member)


def main():
    sys.unraisablehook = lambda unraisable: None  # hostile exporters' release errors
    instrument_harness()
    atheris.Setup(sys.argv, globals()["TestOneInput"])
    atheris.Fuzz()


if __name__ == "__main__":
    main()
