"""Hostile argument objects and guarded arrays, shared by the robustness
tests and the fuzzer (fuzz/fuzz_quorvane.py): numbers whose conversions
raise, lie or call back; sequences and mappings that misbehave; arrays with
any strides inside guard bytes; and a small call of any function, taken
from the catalogue, for objects that re-enter the module."""

import contextlib
import math

import numpy as np
from numpy.lib.stride_tricks import as_strided

GUARD = 16  # guard bytes around every guarded array


class Boom(Exception):
    """Raised by the hostile objects; must propagate unchanged."""


class IntSub(int):
    pass


class FloatSub(float):
    pass


class HostileNumber:
    """A number whose conversions misbehave as `mode` says: "raise" (Boom),
    "sub" (an int or float subclass), "str", "float", "int", "bool" (a value
    of that wrong type), anything else (the value itself). `act(mode)`, when
    given, runs at every conversion first (re-entering the module, resizing
    arrays, replacing module attributes, ...)."""

    def __init__(self, mode, value=7, act=None):
        self.mode, self.value, self.act = mode, value, act

    def _act(self):
        if self.mode == "raise":
            raise Boom(self.mode)
        if self.act is not None:
            self.act(self.mode)

    def __int__(self):
        self._act()
        if self.mode == "sub":
            return IntSub(self.value)
        return {"str": "7", "float": 7.0, "bool": True}.get(self.mode, self.value)

    def __float__(self):
        self._act()
        if self.mode == "sub":
            return FloatSub(self.value)
        return {"str": "7", "int": 7}.get(self.mode, self.value)

    def __index__(self):
        self._act()
        return self.value if isinstance(self.value, int) else 7


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    """A sequence whose length, iteration and indexing misbehave on request."""

    def __init__(self, items, length, len_mode, iter_mode):
        self.items, self.length, self.len_mode, self.iter_mode = items, length, len_mode, iter_mode

    def __len__(self):
        m = self.len_mode
        if m == "type":
            raise TypeError("no len")
        if m == "overflow":
            raise OverflowError("no len")
        if m == "raise":
            raise Boom("__len__")
        return {"huge": 2**70, "neg": -1, "str": "2"}.get(m, self.length)

    def __iter__(self):
        if self.iter_mode == "raise":
            raise Boom("__iter__")
        if self.iter_mode == "bad":
            return 5
        return self._gen()

    def _gen(self):
        for k, x in enumerate(self.items):
            if self.iter_mode == "midway" and k == len(self.items) // 2:
                raise Boom("next")
            yield x

    def __getitem__(self, k):
        if self.iter_mode == "raise":
            raise Boom("__getitem__")
        return self.items[k]


class Shrinker:
    """An item of a plain list that empties (or grows) the list when read."""

    def __init__(self, owner, value, grow):
        self.owner, self.value, self.grow = owner, value, grow

    def __int__(self):
        if self.grow:
            self.owner.extend(range(100))
        else:
            self.owner.clear()
        return self.value


class EvilKey:
    """Collides with the key it imitates and mutates the dict when compared."""

    def __init__(self, name, owner):
        self.name, self.owner = name, owner

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.owner.clear()
        return False


class HostileMapping:
    """A mapping whose item access raises, fails once, or flips its values."""

    def __init__(self, data, mode):
        self.data, self.mode = data, mode
        self.calls = 0

    def __getitem__(self, key):
        self.calls += 1
        if self.mode == "raise":
            raise Boom(key)
        if self.mode == "keyerror" and self.calls == 2:
            raise KeyError(key)
        if self.mode == "lookup":
            raise IndexError(key)
        if self.mode == "flip" and self.calls % 2 == 0:
            return (1, 2, 3)
        return self.data[key]

    def __len__(self):
        return 3


def guarded_array(dtype, shape, strides, values=None, misalign=0, fill=None, rng=None):
    """An array of `shape` with byte `strides` (any sign, zero, overlapping)
    over a uint8 base with GUARD bytes on each side, filled with `fill` (or
    random bytes from `rng`). Returns (array, base, covered): `covered`
    marks the base bytes that belong to the array's elements, so a test can
    check that nothing outside them changed."""
    dtype = np.dtype(dtype)
    itemsize = dtype.itemsize
    n = math.prod(shape)
    lo = sum(min(0, (e - 1) * s) for e, s in zip(shape, strides)) if n else 0
    hi = sum(max(0, (e - 1) * s) for e, s in zip(shape, strides)) + itemsize if n else 0
    span = hi - lo
    size = span + 2 * GUARD + misalign
    base = np.frombuffer(bytearray(rng.randbytes(size) if fill is None else bytes([fill]) * size), np.uint8)
    start = GUARD + misalign - lo
    arr = np.ndarray(shape, dtype, buffer=base, offset=start, strides=strides)
    if values is not None and n:
        with contextlib.suppress(Exception):
            arr[...] = np.array(values, dtype=np.int64).astype(dtype).reshape(shape) if dtype.kind in "iub" \
                else np.array(values).reshape(shape).astype(dtype)
    covered = np.zeros(len(base), bool)
    if n:
        idx = np.arange(len(base), dtype=np.intp)
        steps = tuple(s * idx.itemsize if e > 1 else 0 for e, s in zip(shape, strides)) + (idx.itemsize,)
        elem = as_strided(idx[start:], shape=tuple(shape) + (itemsize,), strides=steps)
        covered[elem.ravel()] = True
    return arr, base, covered


def small_call(rng):
    """A small successful call of a function that converts its arguments in
    C++ (the catalogue's packed call on fresh arguments), for objects that
    call back into the module from inside a conversion."""
    import catalogue

    ps = np.array([[rng.randint(0, 9), rng.randint(0, 9)] for _ in range(6)], np.int32)
    img = np.array([[[rng.randint(0, 255) for _ in range(3)] for _ in range(3)] for _ in range(2)], np.uint8)
    entry = rng.choice([f for f in catalogue.FUNCTIONS if not f.numpy_level])
    return entry.valid.run(entry.fn, catalogue.standard_arguments(img, ps))
