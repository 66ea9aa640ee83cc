"""The vector colour passes agree byte for byte with the scalar passes.

The default path (whatever the CPU selects) runs in this process; the same
cases run again in a child process started with QUORVANE_FORCE_SCALAR=1, and
in one child per vector implementation the CPU can run
(QUORVANE_COLOR_KERNEL=sse41|avx2|avx512).
"""

import functools
import os
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

import quorvane as qv

I32 = 2**31


def wrap32(x):
    return (np.asarray(x, np.int64) + I32) % 2**32 - I32


def run_case(image, bounds, kind, offset):
    """One pass; returns every byte it could have touched.

    offset None: a fresh output. Otherwise the output shares memory with the
    image and starts `offset` bytes after its first byte (before it if < 0).
    """
    fn = qv.selective_grayscale_impl if kind == "sel" else qv.mask_image_cy_impl
    h, w, _ = image.shape
    n = h * w
    if offset is None:
        out = np.full((h, w), 0xA5, np.uint8)
        assert fn(image, out, bounds) == n
        return out.ravel()
    pad = abs(offset)
    buf = np.full(3 * n + 2 * pad, 0x5A, np.uint8)
    view = buf[pad : pad + 3 * n].reshape(h, w, 3)
    view[...] = image
    out = buf[pad + offset : pad + offset + n].reshape(h, w)
    assert fn(view, out, bounds) == n
    return buf


@functools.cache
def all_colours():
    p = np.arange(2**24, dtype=np.uint32)
    return np.stack([p >> 16, (p >> 8) & 255, p & 255], axis=-1).astype(np.uint8).reshape(4096, 4096, 3)


BEYOND_INT16 = [32768, -32769, 1 << 24, -I32]


def random_bounds(rng, kind):
    """M by kind; windows placed on sampled pixels (sometimes empty or extreme).

    kind: "int16", "wrap" (any int32) or an int: one entry of that value, the
    rest small.
    """
    if kind == "int16":
        m = rng.integers(-32768, 32768, 9)
    elif kind == "wrap":
        m = rng.integers(-I32, I32, 9)
    else:
        m = rng.integers(-400, 401, 9)
        m[rng.integers(9)] = kind
    px = rng.integers(0, 256, (64, 3))
    v = wrap32(px @ m.reshape(3, 3).T)
    bounds = {"M": [int(x) for x in m]}
    for key, vals in (("i", v[:, 2]), ("c", wrap32(v[:, 0] + v[:, 1]))):
        choice = rng.integers(7)
        if choice == 0:
            bounds[key] = (-I32, I32 - 1)
        elif choice == 1:
            bounds[key] = tuple(int(x) for x in rng.integers(-I32, I32, 2))
        elif choice == 2:  # no integer strictly inside
            lo = int(rng.choice(vals))
            bounds[key] = (lo, max(lo + int(rng.integers(-2, 2)), -I32))
        else:  # on sampled values, exactly or one off, so equality is exercised
            lo, hi = np.sort(rng.choice(vals, 2))
            bounds[key] = (int(max(lo - rng.integers(2), -I32)), int(min(hi + rng.integers(2), I32 - 1)))
    return bounds


LCH = qv.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))._asdict()
SWEEP_BOUNDS = [
    LCH,
    {"i": (-I32, I32 - 1), "c": (0, 1 << 30), "M": [1 << 24, 3, -5, 7, 1 << 23, 1, 3 << 22, 1 << 21, 99999]},
    {"i": (-100000, 2000000), "c": (0, I32 - 1), "M": [32767, -32768, 32767, 32767, 32767, -32768, -32768, 32767, 1]},
    {"i": (-100000, 2000000), "c": (0, I32 - 1), "M": [32767, -32768, 32767, 32767, 32767, -32768, 32768, 32767, 1]},
]


def make_cases():
    rng = np.random.default_rng(20240611)
    cases = []
    for k, shape in enumerate([(0, 5), (1, 1), (1, 33), (3, 23), (2, 35), (5, 14), (37, 53), (480, 641)]):
        image = rng.integers(0, 256, shape + (3,), dtype=np.uint8)
        for kind in ("mask", "sel"):
            for mkind in ("int16", "wrap", *BEYOND_INT16):
                cases.append((image, random_bounds(rng, mkind), kind, None))
            for offset in (0, -7, 2, 5, 40):
                cases.append((image, random_bounds(rng, ("int16", "wrap")[k % 2]), kind, offset))
    # windows with no integer strictly inside, next to a window open to all
    for lo, hi in [(5, 6), (7, 7), (10, 3), (I32 - 1, I32 - 1), (-I32, -I32 + 1), (I32 - 1, -I32)]:
        for key, other in (("i", "c"), ("c", "i")):
            bounds = dict(LCH, **{key: (lo, hi), other: (-I32, I32 - 1)})
            cases.append((image, bounds, "mask", None))
    return cases


WORKER = """
import sys, pickle, numpy as np
sys.path[:0] = sys.argv[3:]
import test_color_simd as t
import quorvane as qv
with open(sys.argv[1], "rb") as f:
    cases = pickle.load(f)
out = {"cases": [t.run_case(*c) for c in cases]}
image = t.all_colours()
out["sweep"] = [t.run_case(image, b, kind, None) for b in t.SWEEP_BOUNDS for kind in ("mask", "sel")]
with open(sys.argv[2], "wb") as f:
    pickle.dump(out, f)
"""


def cpu_flags():
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


KERNEL_FLAGS = {"sse41": {"sse4_1"}, "avx2": {"avx2"}, "avx512": {"avx512f", "avx512bw"}}


def run_child(tmp, env_extra):
    with open(tmp / "cases.pkl", "wb") as f:
        pickle.dump(make_cases(), f)
    paths = [str(pathlib.Path(__file__).parent), str(pathlib.Path(qv.__file__).parent)]
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_")}
    env.update(env_extra)
    subprocess.run([sys.executable, "-c", WORKER, str(tmp / "cases.pkl"), str(tmp / "out.pkl"), *paths],
                   env=env, check=True)
    with open(tmp / "out.pkl", "rb") as f:
        return pickle.load(f)


@pytest.fixture(scope="module")
def scalar_results(tmp_path_factory):
    return run_child(tmp_path_factory.mktemp("scalar"), {"QUORVANE_FORCE_SCALAR": "1"})


def assert_same(got, want, label):
    assert got.shape == want.shape
    diff = np.flatnonzero(got != want)
    assert diff.size == 0, f"{label}: {diff.size} bytes differ, first at {diff[0]}: {got[diff[0]]} vs scalar {want[diff[0]]}"


@pytest.mark.parametrize("kernel", sorted(KERNEL_FLAGS))
def test_each_vector_kernel_matches_scalar(kernel, scalar_results, tmp_path):
    if not KERNEL_FLAGS[kernel] <= cpu_flags():
        pytest.skip(f"this CPU cannot run {kernel}")
    got = run_child(tmp_path, {"QUORVANE_COLOR_KERNEL": kernel})
    for j, (g, want) in enumerate(zip(got["cases"], scalar_results["cases"], strict=True)):
        assert_same(g, want, f"{kernel} case {j}")
    for j, (g, want) in enumerate(zip(got["sweep"], scalar_results["sweep"], strict=True)):
        assert_same(g, want, f"{kernel} sweep {j}")


def test_random_images_and_bounds(scalar_results):
    for j, (case, want) in enumerate(zip(make_cases(), scalar_results["cases"], strict=True)):
        image, bounds, kind, offset = case
        assert_same(run_case(*case), want, f"case {j} {image.shape} {kind} offset={offset} {bounds}")


@pytest.mark.parametrize("j", range(len(SWEEP_BOUNDS)))
@pytest.mark.parametrize("kind", ["mask", "sel"])
def test_every_colour(scalar_results, j, kind):
    want = scalar_results["sweep"][2 * j + (kind == "sel")]
    got = run_case(all_colours(), SWEEP_BOUNDS[j], kind, None)
    assert 0 < np.count_nonzero(want) < want.size  # the sweep exercises both sides
    assert_same(got, want, f"all colours, {kind}, {SWEEP_BOUNDS[j]}")
