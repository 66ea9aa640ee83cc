"""The fuzzer's grammar of arrays: NumPy arrays of every dtype, byte order,
dimension count and stride pattern inside guard bytes, astronomically large
zero-stride arrays, and foreign exporters (memoryviews, ctypes arrays,
buffer-test arrays, objects exporting from Python). ArrayArg keeps what is
needed to check the writes around each argument afterwards."""

import array
import contextlib
import ctypes
import math
import struct

import numpy as np

from hostile import GUARD, Boom, guarded_array
from grammar_values import I32_MAX, I32_MIN, gen_seq

try:
    import _testbuffer as tb
except ImportError:  # not shipped by every CPython build
    tb = None

# Offsets of an array's first element from an aligned address (elements of
# NumPy arrays need not be aligned).
MISALIGNMENTS = (0, 0, 0, 1, 2, 3)


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
