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

import array
import contextlib
import ctypes
import math
import random
import struct
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

from pathlib import Path

import atheris
import numpy as np

import quorvane as q

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import catalogue  # noqa: E402  (the fifteen functions, shared with the tests)
from hostile import (GUARD, Boom, EvilKey, FloatSub, HostileMapping, HostileNumber,  # noqa: E402
                     IndexOnly, IntSub, Seq, Shrinker, guarded_array, small_call)

try:
    import _testbuffer as tb
except ImportError:  # not shipped by every CPython build
    tb = None

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
# Offsets of an array's first element from an aligned address (elements of
# NumPy arrays need not be aligned).
MISALIGNMENTS = (0, 0, 0, 1, 2, 3)
WORK = 2_000_000  # bound on points x iterations, pixels scanned, ...
NP = np
LCHBOUNDS = q.LCHBounds


class Finding(AssertionError):
    """A broken contract: atheris reports it and keeps the input."""


# Functions that work through NumPy's Python interface (or allocate through
# it first): whatever NumPy or a hostile argument raises may propagate.
NUMPY_LEVEL = {f.name for f in catalogue.FUNCTIONS if f.numpy_level}
# Everything else converts its arguments in C++ and runs kernels: only the
# errors of conversion, of exporters and of the hostile objects themselves.
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, BufferError, MemoryError, Boom, Warning)


# --------------------------------------------------------------- numbers

SPECIAL_INTS = [0, 1, -1, 2, 3, 7, 8, 16, 255, 256, 46340, 46341, 65535, 65536, 65537,
                I32_MAX, I32_MIN, I32_MAX + 1, I32_MIN - 1, 2**32, 2**63, -(2**63) - 1, 10**40]
SPECIAL_FLOATS = [0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.9, -2.9, 0.99, 1e-300, 1e300,
                  math.nan, math.inf, -math.inf, 2147483647.5, -2147483648.9, 2147483648.0]


def gen_int(rng, ctx, lo=None, hi=None):
    """An argument for an `int` parameter; [lo, hi] bounds the value it
    stands for when the call's work depends on it."""
    r = rng.random()
    if lo is not None:
        v = rng.choice([lo, hi, rng.randint(lo, hi), rng.randint(lo, min(hi, lo + 20))])
    elif r < 0.5:
        v = rng.choice(SPECIAL_INTS) if rng.random() < 0.5 else rng.randint(-50, 50)
    else:
        v = rng.randint(I32_MIN, I32_MAX)
    if not ctx["nasty"]:
        v = min(max(v, I32_MIN), I32_MAX)
        return np.int32(v) if rng.random() < 0.1 else v
    r = rng.random()
    if r < 0.55:
        return v
    if r < 0.6:
        return IntSub(v)
    if r < 0.65:
        return bool(v & 1)
    if r < 0.75 and I32_MIN <= v <= I32_MAX:
        return rng.choice([np.int32, np.int64, np.float64])(v)
    if r < 0.8:
        return float(v) + rng.choice([0.0, 0.25, -0.75]) if abs(v) < 2**53 else rng.choice(SPECIAL_FLOATS)
    if r < 0.92:
        return hostile_number(rng.choice(["ok", "ok", "raise", "str", "float", "sub", "bool", "reenter", "resize",
                                   "globals"]), v, ctx)
    junk = [None, "10", b"1", [1], Decimal("2.5"), Fraction(7, 2), 3 + 0j, IndexOnly(v), np.float64("nan"),
            np.int64(2**40), object()]
    return rng.choice(junk if lo is not None else junk + [rng.choice(SPECIAL_FLOATS)])


def gen_double(rng, ctx):
    r = rng.random()
    if r < 0.5 or not ctx["nasty"]:
        return rng.choice(SPECIAL_FLOATS + [rng.uniform(-2, 2)])
    if r < 0.65:
        return rng.choice(SPECIAL_INTS + [2**1100])
    if r < 0.75:
        return rng.choice([np.float32(0.5), np.float64("nan"), np.int32(1), FloatSub(0.9), IndexOnly(1),
                           IndexOnly(2**1100), Fraction(1, 3), Decimal("0.5")])
    if r < 0.9:
        return hostile_number(rng.choice(["ok", "raise", "str", "sub", "int", "reenter", "resize"]),
                       rng.choice(SPECIAL_FLOATS), ctx)
    return rng.choice([None, "0.5", object(), [0.5], 1j])


# ---------------------------------------------------- sequences, mappings


def gen_seq(rng, ctx, values):
    """`values` (a list of numbers) as one of many sequence-like objects."""
    vals = list(values)
    r = rng.random()
    if r < 0.1 and vals:  # wrong length
        vals = vals[:-1] if rng.random() < 0.5 else vals + [1]
    if rng.random() < 0.1 and vals:  # one hostile item
        k = rng.randrange(len(vals))
        vals[k] = gen_int(rng, ctx)
    r = rng.random()
    if r < 0.3:
        return tuple(vals)
    if r < 0.45:
        out = list(vals)
        if out and rng.random() < 0.2:
            out[rng.randrange(len(out))] = Shrinker(out, 1, rng.random() < 0.5)
        return out
    if r < 0.6 and all(isinstance(v, int) and I32_MIN <= v <= I32_MAX for v in vals):
        return np.array(vals, dtype=rng.choice([np.int32, np.int64, np.float64, object]))
    if r < 0.65:
        return iter(vals)
    if r < 0.7:
        return (v for v in vals)
    if r < 0.75 and all(isinstance(v, int) for v in vals) and len(vals) > 1:
        step = vals[1] - vals[0]
        return range(vals[0], vals[0] + step * len(vals), step) if step else range(len(vals))
    return Seq(vals, len(vals) + rng.choice([0, 0, -1, 1, 50]),
               rng.choice(["ok", "ok", "type", "overflow", "raise", "huge", "neg", "str"]),
               rng.choice(["ok", "ok", "raise", "bad", "midway"]))


def gen_window(rng):
    """Valid bounds as Python ints: (M, i, c)."""
    r = rng.random()
    if r < 0.25:
        b = rng.choice(LCH_SAMPLES)
        return [int(v) for v in b.M], list(b.i), list(b.c)
    if r < 0.6:
        m = [rng.randint(-400, 400) for _ in range(9)]
    elif r < 0.8:
        m = [rng.randint(-32768, 32767) for _ in range(9)]
    else:
        m = [rng.choice([rng.randint(I32_MIN, I32_MAX), I32_MIN, I32_MAX, 1 << 24]) for _ in range(9)]

    def window():
        if rng.random() < 0.3:
            return [I32_MIN, I32_MAX]
        a, b = rng.randint(-(2**20), 2**20), rng.randint(-(2**20), 2**24)
        return [min(a, b), max(a, b)] if rng.random() < 0.9 else [b, a]

    return m, window(), window()


def gen_bounds_map(rng, ctx):
    """An argument for a bounds-mapping parameter."""
    m, i, c = gen_window(rng)
    if not ctx["nasty"]:
        return {"i": tuple(i), "c": list(c), "M": rng.choice([tuple(m), np.array(m, np.int32)])}
    r = rng.random()
    if r < 0.1:
        return rng.choice([None, 5, (m, i, c), [1, 2], "iMc", LCHBOUNDS(np.array(m, np.int32), tuple(i), tuple(c))])
    d = {"i": gen_seq(rng, ctx, i) if rng.random() < 0.5 else tuple(i),
         "c": gen_seq(rng, ctx, c) if rng.random() < 0.5 else tuple(c),
         "M": gen_seq(rng, ctx, m) if rng.random() < 0.5 else np.array(m, np.int32)}
    if rng.random() < 0.1:
        del d[rng.choice("icM")]
    r = rng.random()
    if r < 0.6:
        return d
    if r < 0.7:
        d[EvilKey(rng.choice("icM"), d)] = 0
        return d
    if r < 0.8:
        return type("DictSub", (dict,), {})(d)
    return HostileMapping(d, rng.choice(["ok", "raise", "keyerror", "lookup", "flip"]))


def gen_np_bounds(rng, ctx):
    """Bounds for the NumPy-expression variants: a sequence (M, i, c)."""
    m, i, c = gen_window(rng)
    dtype = rng.choice([np.int32] * 6 + [np.int64, np.float64, np.uint8, object])
    M = np.array(m, dtype=np.int64).astype(dtype)
    r = rng.random()
    if r < 0.1:
        M = M.reshape(3, 3)
    elif r < 0.15:
        M = M[:8]
    elif r < 0.2:
        M = m
    r = rng.random()
    if not ctx["nasty"]:
        M = np.array(m, np.int32)
    if r < 0.4 or not ctx["nasty"]:
        return LCHBOUNDS(M, tuple(i), tuple(c))
    if r < 0.7:
        return (M, i, c)
    if r < 0.8:
        return gen_seq(rng, ctx, [M, gen_seq(rng, ctx, i), c])
    return rng.choice([{"M": M, "i": i, "c": c}, (M, i), (M, i, c, c), None, iter([M, i, c]), [M, i, 5]])


# ------------------------------------------------------------------ arrays


class ArrayArg:
    """An argument object plus what is needed to check writes around it.

    `base` is the writable storage the object lives in (a uint8 NumPy array
    or a bytearray, guard bytes included); `covered` marks the bytes that
    belong to the object's elements (None: only guards are known)."""

    def __init__(self, obj, base=None, covered=None):
        self.obj, self.base, self.covered = obj, base, covered
        self.snapshot = None

    def take_snapshot(self):
        if self.base is not None:
            self.snapshot = bytes(self.base)

    def changed(self):
        """Indices of changed bytes: (all changes, changes outside the elements)."""
        if self.snapshot is None or len(self.base) != len(self.snapshot):
            return [], []
        now = np.frombuffer(bytes(self.base), np.uint8)
        old = np.frombuffer(self.snapshot, np.uint8)
        diff = now != old
        outside = diff & ~self.covered if self.covered is not None else np.zeros_like(diff)
        if self.covered is None:
            outside[:GUARD] = diff[:GUARD]
            outside[len(diff) - GUARD:] = diff[len(diff) - GUARD:]
        return np.flatnonzero(diff), np.flatnonzero(outside)


def fill(rng, kind, count):
    """`count` values for elements of `kind` as a list of ints/floats."""
    if kind == "coord":
        style = rng.random()
        if style < 0.4:
            return [rng.randint(0, 20) for _ in range(count)]
        if style < 0.6:
            return [rng.randint(-1000, 1000) for _ in range(count)]
        pool = [I32_MIN, I32_MAX, 0, -1, 1, 46340, 46341, 32767, -32768, 16383, 137, 138, 65535]
        return [rng.choice(pool) if rng.random() < 0.5 else rng.randint(I32_MIN, I32_MAX) for _ in range(count)]
    if kind == "mask":
        return [rng.choice([0, 0, 1, 255, rng.randint(0, 255)]) for _ in range(count)]
    return [rng.randint(0, 255) for _ in range(count)]


def gen_numpy(rng, dtype, shape, values, layout=None):
    dtype = np.dtype(dtype)
    itemsize = dtype.itemsize
    shape = tuple(shape)
    if dtype.hasobject:
        arr = np.empty(shape, dtype)
        arr[...] = rng.choice([None, 1, "x", 2**40])
        return ArrayArg(arr)
    packed = []
    step = itemsize
    for e in reversed(shape):
        packed.insert(0, step)
        step *= max(e, 1)
    layout = layout or rng.choice(["packed"] * 4 + ["steps", "reverse", "transpose", "zero", "random", "huge"])
    strides = list(packed)
    if layout == "steps":
        strides = [s * rng.choice([1, 2, 3]) for s in packed]
        strides[-1:] = [itemsize] if shape else []
    elif layout == "reverse":
        strides = [s * rng.choice([1, -1]) for s in packed]
        if shape and rng.random() < 0.8:
            strides[-1] = itemsize
    elif layout == "transpose" and len(shape) > 1:
        perm = list(range(len(shape)))
        rng.shuffle(perm)
        inner = gen_numpy(rng, dtype, [shape[p] for p in perm], None, "packed")
        back = np.argsort(perm)
        arr = inner.obj.transpose(back)
        if values is not None:
            with contextlib.suppress(Exception):
                arr[...] = np.array(values).reshape(shape).astype(dtype)
        inner.obj = arr
        return inner
    elif layout == "zero":
        strides = [0 if (d < len(shape) - 1 and rng.random() < 0.7) else s for d, s in enumerate(packed)]
    elif layout == "random":
        strides = [rng.choice([s, 0, itemsize, -s, 2 * s, s + itemsize, 1]) for s in packed]
        if shape and rng.random() < 0.7:
            strides[-1] = itemsize
    elif layout == "huge":
        strides = [rng.choice([2**40, -(2**40), 2**62]) if e <= 1 else s for e, s in zip(shape, packed)]
    misalign = rng.choice(MISALIGNMENTS) if itemsize > 1 else 0
    arr, base, covered = guarded_array(dtype, shape, strides, values, misalign, rng=rng)
    if rng.random() < 0.03:
        arr.flags.writeable = False
    return ArrayArg(arr, base, covered)


def astronomical(rng, dtype, ndim):
    """A writable zero-stride array whose packed size is at least 2**62 bytes."""
    dtype = np.dtype(dtype)
    for _ in range(20):
        shape = [rng.choice([2**20, 2**29, 2**31, 2**40, 2**59, 2**61]) for _ in range(ndim - 1)]
        shape.append(rng.choice([1, 2, 3]))
        total = math.prod(shape) * dtype.itemsize
        if 2**62 <= total < 2**63:
            strides = [0] * (ndim - 1) + [dtype.itemsize]
            base = np.frombuffer(bytearray(rng.randbytes(3 * dtype.itemsize + 2 * GUARD)), np.uint8)
            arr = np.ndarray(shape, dtype, buffer=base, offset=GUARD, strides=strides)
            return ArrayArg(arr, base, None)
    return ArrayArg(None)


ALL_DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", "c8", "c16", "G",
              "O", "S3", "U2", "V4", "i4,i4", [("x", "<i4"), ("y", "u1")], ">i4", ">u1", ">f8", "<i4", "=i4",
              np.intc, np.uintc, np.byte, np.ubyte, np.int_, np.longlong]

CT_TYPES = [ctypes.c_int32, ctypes.c_int64, ctypes.c_long, ctypes.c_uint8, ctypes.c_int8, ctypes.c_bool,
            ctypes.c_char, ctypes.c_wchar, ctypes.c_double, ctypes.c_int32.__ctype_be__, ctypes.c_void_p,
            ctypes.c_uint32, ctypes.c_int16]


class Pair(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int32), ("y", ctypes.c_int32)]


TB_FORMATS = ["i", "<i", "=i", "@i", "<l", "=l", "l", "q", ">i", "!i", "2i", "ii", "ix", "xi", "xxxxi", "n", "N",
              "e", "P", "?", "B", "b", "c", "3s", "xB", "Bx", "f", "d", "I", "h", "H", "Q"]


def struct_item(rng, fmt):
    size = struct.calcsize(fmt)
    fields = struct.unpack(fmt, rng.randbytes(size))
    return fields[0] if len(fields) == 1 else fields


class Exporter:
    """Exports a buffer from Python (`__buffer__`), misbehaving on request."""

    def __init__(self, ba, fmt, shape, mode):
        self.ba, self.fmt, self.shape, self.mode = ba, fmt, shape, mode

    def __buffer__(self, flags):
        if self.mode == "raise":
            raise Boom("__buffer__")
        mv = memoryview(self.ba)[GUARD:len(self.ba) - GUARD]
        return mv.cast("B").cast(self.fmt, self.shape) if self.shape else mv

    def __release_buffer__(self, view):
        view.release()
        if self.mode == "release":
            with contextlib.suppress(BufferError):
                self.ba.extend(b"xxxx")  # the export count must keep this from working
                del self.ba[-4:]


def gen_foreign(rng, ctx, shape, fmt):
    """A non-NumPy exporter of roughly `shape` / `fmt`."""
    size = {"i": 4, "B": 1}.get(fmt, 1)
    n = math.prod(shape)
    r = rng.random()
    if r < 0.3:
        ba = bytearray(GUARD) + bytearray(rng.randbytes(n * size)) + bytearray(GUARD)
        if rng.random() < 0.1:
            with contextlib.suppress(TypeError, ValueError):
                return ArrayArg(memoryview(bytes(ba))[GUARD:GUARD + n * size].cast("B").cast(fmt, shape))
        cast_fmt = rng.choice([fmt] * 4 + ["b", "c", "?", "h", "l", "q", "f", "d", "I", "L"])
        csize = {"b": 1, "c": 1, "?": 1, "h": 2, "l": 8, "q": 8, "f": 4, "d": 8, "I": 4, "L": 8}.get(cast_fmt, size)
        nbytes = n * size
        cshape = list(shape)
        if csize != size:
            cshape = [nbytes // csize] if nbytes % csize == 0 else []
        mv = memoryview(ba)[GUARD:GUARD + nbytes].cast("B")
        try:
            obj = mv.cast(cast_fmt, cshape) if cshape else mv
        except (TypeError, ValueError):
            obj = mv
        ctx["bytearrays"].append(ba)
        return ArrayArg(obj, ba, None)
    if r < 0.5:
        t = rng.choice(CT_TYPES + [Pair])
        for extent in reversed(shape[1:] if t is not Pair else shape[1:-1]):
            t = t * extent
        return ArrayArg((t * (shape[0] if shape else 1))())
    if r < 0.75 and tb is not None:
        f = rng.choice(TB_FORMATS + [fmt] * 6)
        items = [struct_item(rng, f) for _ in range(max(n, 1))]
        flags = rng.choice([tb.ND_WRITABLE] * 5 + [0, tb.ND_WRITABLE | tb.ND_PIL, tb.ND_WRITABLE | tb.ND_FORTRAN,
                                                   tb.ND_GETBUF_FAIL, tb.ND_GETBUF_FAIL | tb.ND_GETBUF_UNDEFINED])
        kwargs = {"shape": list(shape) if n else [0] + list(shape[1:]), "format": f, "flags": flags}
        if rng.random() < 0.3 and shape and n:
            kwargs["strides"] = [-s for s in memoryview(tb.ndarray(items, shape=list(shape), format=f)).strides]
            kwargs["offset"] = sum((e - 1) * -s for e, s in zip(shape, kwargs["strides"]))
        try:
            return ArrayArg(tb.ndarray(items if n else [], **kwargs))
        except Exception:
            return ArrayArg(None)
    if r < 0.9:
        ba = bytearray(GUARD) + bytearray(rng.randbytes(n * size)) + bytearray(GUARD)
        ctx["bytearrays"].append(ba)
        return ArrayArg(Exporter(ba, fmt, list(shape), rng.choice(["ok", "ok", "raise", "release"])), ba, None)
    return ArrayArg(rng.choice([b"abc", bytearray(8), array.array("i", [1, 2]), array.array("B", [1]), "str", 5,
                                [[1, 2]], {"a": 1}, object(), memoryview(b"xyz")]))


def gen_array(rng, ctx, kind):
    """An argument for an array parameter of `kind`: points, mask, rgb, bytes."""
    r = rng.random()
    if r < (0.06 if ctx["nasty"] else 0.02):
        return ArrayArg(None)
    if kind == "points":
        n = rng.choice(ctx["sizes"])
        if ctx["n"] is not None and rng.random() < 0.6:  # a second list: sized after the first
            n = max(0, ctx["n"] + rng.choice([0, 0, 1, -1, -2, 5]))
        shape, dtype, fmt, vkind = [n, rng.choice([2] * 12 + [0, 1, 3])], np.int32, "i", "coord"
    elif kind == "mask":
        n = ctx["n"] or 0
        n = max(0, n + rng.choice([0, 0, 0, 0, 5, -1, -n]))
        shape, dtype, fmt, vkind = [n], rng.choice([np.uint8] * 4 + [np.bool_]), "B", "mask"
    elif kind == "rgb":
        h, w = ctx["hw"]
        shape, dtype, fmt, vkind = [h, w, rng.choice([3] * 12 + [0, 1, 4])], np.uint8, "B", "byte"
    else:
        h, w = ctx["hw"]
        if rng.random() < 0.3:
            h, w = rng.choice([(h, w + 1), (h - 1 if h else 0, w), (0, 0), (1, h * w), (h * w + 3, 1)])
        shape, dtype, fmt, vkind = [h, w], np.uint8, "B", "byte"
    if not ctx["nasty"]:
        shape[-1] = {"points": 2, "rgb": 3}.get(kind, shape[-1])
    r = rng.random()
    if r < 0.72 or not ctx["nasty"]:
        values = fill(rng, vkind, math.prod(shape))
        if dtype is np.bool_:
            values = [v & 1 for v in values]
        layout = None if ctx["nasty"] else rng.choice(["packed"] * 3 + ["steps", "reverse", "zero", "huge"])
        return gen_numpy(rng, dtype, shape, values, layout)
    if r < 0.77:
        return astronomical(rng, dtype, len(shape))
    if r < 0.87:
        nd = rng.choice([0, 1, 2, 3, 4, len(shape), len(shape)])
        rshape = [rng.choice([0, 1, 2, 3, 5]) for _ in range(nd)]
        return gen_numpy(rng, rng.choice(ALL_DTYPES), rshape, None)
    return gen_foreign(rng, ctx, shape, fmt)


def gen_np_image(rng, ctx):
    h, w = ctx["hw"]
    shape = rng.choice([[h, w, 3], [h * w, 3], [3], [2, h, w, 3], [h, w, 4], [h, w]])
    dtype = rng.choice([np.uint8] * 5 + [np.int32, np.float64, np.int8, np.uint16, np.bool_, object])
    if not ctx["nasty"]:
        shape, dtype = [h, w, 3], np.uint8
    r = rng.random()
    if r < 0.85:
        values = fill(rng, "byte", math.prod(shape))
        return gen_numpy(rng, dtype, shape, values if np.dtype(dtype).kind != "O" else None).obj
    return rng.choice([[[1, 2, 3]], None, "img", 5, gen_seq(rng, ctx, [1, 2, 3])])


def gen_color(rng, ctx):
    r = rng.random()
    rgb = [rng.randint(0, 255) for _ in range(3)]
    if r < 0.4 or not ctx["nasty"]:
        return rgb
    if r < 0.6:
        return np.array(rgb, dtype=rng.choice([np.uint8, np.int32, np.float32]))
    if r < 0.8:
        return gen_seq(rng, ctx, rgb)
    return rng.choice([np.zeros((4, 3), np.uint8), [1, 2], 7, "abc", None, [[1, 2, 3]], [gen_int(rng, ctx)] * 3])


def gen_limit(rng, ctx):
    a, b = sorted(rng.uniform(-4, 4) for _ in range(2))
    r = rng.random()
    if r < 0.1:
        a = b
    elif r < 0.15:
        a, b = b, a
    elif r < 0.2:
        b = a + math.pi
    vals = [a, b]
    r = rng.random()
    if r < 0.5 or not ctx["nasty"]:
        return tuple(vals)
    if r < 0.6:
        return np.array(vals, dtype=rng.choice([np.float64, np.float32, np.longdouble, np.int64]))
    if r < 0.7:
        return [rng.choice(SPECIAL_FLOATS + SPECIAL_INTS), rng.choice(SPECIAL_FLOATS)]
    if r < 0.85:
        return gen_seq(rng, ctx, vals)
    # Strings and bytes are refused before any scaling (no huge repeated strings).
    return rng.choice([None, 5, b"", "ab", b"ab", [b"a", b"b"], ("0.1", "0.2"), {0: 1.0, 1: 2.0}, [0.1], [1j, 2j], [Fraction(1, 3), Decimal("0.4")],
                       [hostile_number("raise", 0.1, ctx), 0.4]])


def gen_rgb_bits(rng, ctx):
    if not ctx["nasty"]:
        return rng.choice([8, 8, None, 0, 4, 12])
    return rng.choice([8] * 4 + [None, 0, 1, 7, 15, 16, 24, 30, 31, 32, 62, 63, 64, 1000, -1, True, 8.0, "8",
                                 np.int8(8), IntSub(8), hostile_number("raise", 8, ctx), hostile_number("ok", 8, ctx)])


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


def hostile_number(mode, value, ctx):
    """A HostileNumber whose conversions may also re-enter the module, try to
    resize the arrays already taken, or replace module attributes."""
    def act(mode):
        if mode == "reenter" and ctx["depth"] < 2:
            ctx["depth"] += 1
            try:
                with contextlib.suppress(Exception):
                    small_call(ctx["rng"])
            finally:
                ctx["depth"] -= 1
        if mode == "resize":
            for ba in ctx["bytearrays"]:
                try:
                    ba.extend(bytes(4096))  # must fail while a view is held
                    del ba[-4096:]
                except BufferError:
                    pass
        if mode == "globals":
            q.np = ctx["rng"].choice([None, object(), math])
            q.LCHBounds = ctx["rng"].choice([tuple, dict, None])

    return HostileNumber(mode, value, act)


LCH_SAMPLES = [q.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)),
               q.calculate_lch_bounds((0.0, math.pi / 2), (0.05, 0.5), (0.2, 0.8)),
               q.calculate_lch_bounds((1.0, 2.5), (0.0, 1.0), (0.0, 1.0)),
               q.calculate_lch_bounds((-3.0, -2.0), (0.2, 0.3), (0.5, 0.6))]


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
    """Coverage of the harness's own functions guides libFuzzer (plain runs).
    ArrayArg compares NumPy arrays, on which atheris's comparison hooks leak."""
    space = globals()
    for name, obj in list(space.items()):
        if getattr(obj, "__module__", None) != __name__ or obj is ArrayArg:
            continue
        if isinstance(obj, type(main)):
            space[name] = atheris.instrument_func(obj)
        elif isinstance(obj, type):
            for attr, member in list(vars(obj).items()):
                if isinstance(member, type(main)):
                    setattr(obj, attr, atheris.instrument_func(member))


def main():
    sys.unraisablehook = lambda unraisable: None  # hostile exporters' release errors
    instrument_harness()
    atheris.Setup(sys.argv, globals()["TestOneInput"])
    atheris.Fuzz()


if __name__ == "__main__":
    main()
