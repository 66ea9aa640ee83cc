"""The fuzzer's grammar of values: numbers (with hostile ones that raise,
lie, re-enter the module or replace its attributes), sequences, bounds
mappings and (M, i, c) bounds, limits, colours and bit counts. Every
generator takes the input's private random generator and the call's
context (fuzz_quorvane.new_context)."""

import contextlib
import math
from decimal import Decimal
from fractions import Fraction

import numpy as np

import quorvane as q
from hostile import EvilKey, FloatSub, HostileMapping, HostileNumber, IndexOnly, IntSub, Seq, Shrinker, small_call

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
LCHBOUNDS = q.LCHBounds


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


LCH_SAMPLES = [q.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)),
               q.calculate_lch_bounds((0.0, math.pi / 2), (0.05, 0.5), (0.2, 0.8)),
               q.calculate_lch_bounds((1.0, 2.5), (0.0, 1.0), (0.0, 1.0)),
               q.calculate_lch_bounds((-3.0, -2.0), (0.2, 0.3), (0.5, 0.6))]


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
