"""One smoke test per kernel table: the fitters give the scalar results, draw for draw.

The exhaustive comparisons of every table's scoring kernels, conic solves
and fitters with the scalar ones are the C++ kernel tests (tests/kernels)
and the kernel fuzzers (fuzz/kernels). Here the fitters of each table run
through the module, in a child process started with
QUORVANE_COLOR_KERNEL=name, against a child with
QUORVANE_COLOR_KERNEL=scalar. Every case seeds the C library generator, so
both draw the same samples; the returned models and the marked masks must be
equal (doubles bit for bit). A kernel the CPU lacks is skipped with the
reason.
"""

import ctypes

import numpy as np
import pytest

import quorvane as qv
from test_color_simd import KERNELS, missing, run_in_child

LIBC = ctypes.CDLL(None)
I32 = 2**31


def make_cases():
    """(points, seed, count, delta): a line, a ring and an ellipse with noise and
    outliers, a list past a scoring block, and extreme coordinates."""
    rng = np.random.default_rng(20261208)
    cases = []

    def add(ps, count=120, delta=2):
        cases.append((np.ascontiguousarray(ps, dtype=np.int32).reshape(-1, 2), int(rng.integers(1 << 31)), count, delta))

    for n in (17, 300):
        t = rng.uniform(0, 2 * np.pi, n)
        ring = np.stack([320 + 100 * np.cos(t), 240 + 60 * np.sin(t)], 1)
        line = np.stack([t * 100, t * 50 + 7], 1)
        noise = rng.integers(0, 640, (n, 2))
        pick = rng.integers(0, 3, n)
        ps = np.rint(np.where(pick[:, None] == 0, ring, np.where(pick[:, None] == 1, line, noise)))
        add(ps + rng.integers(-1, 2, ps.shape))
        add(ps, delta=0)
    add(rng.integers(-I32, I32, (33, 2)))  # anywhere: wrapping products
    add(np.where(rng.integers(0, 2, (40, 2)) == 1, I32 - 1 - rng.integers(0, 50, (40, 2)),
                 -I32 + rng.integers(0, 50, (40, 2))))  # both ends of int32
    return cases


def run_case(ps, seed, count, delta):
    """Every fitter on one list; the results and the masks."""
    ms = np.full(len(ps) + 8, 0xA5, np.uint8)
    out = []
    for fit, args, marks in (
        (qv.ransac_line, (count, delta, 0.1), True),
        (qv.ransac_line2, (count, 0.9, delta), True),
        (qv.ransac_circle, (count, 5, 400, delta), False),
        (qv.ransac_ellipse, (count, 5, 400, 3.0, delta), False),
    ):
        LIBC.srand(seed)
        r = fit(ps, ms[: len(ps)], *args) if marks else fit(ps, *args)
        out.append((r, ms.tobytes() if marks else None))
    return out


WORKER = """
import sys, pickle
sys.path[:0] = sys.argv[3:]
import test_ransac_simd as t
with open(sys.argv[1], "rb") as f:
    cases = pickle.load(f)
with open(sys.argv[2], "wb") as f:
    pickle.dump([t.run_case(*c) for c in cases], f)
"""


def run_child(tmp, kernel):
    return run_in_child(tmp, kernel, WORKER, make_cases())


@pytest.fixture(scope="module")
def scalar_results(tmp_path_factory):
    return run_child(tmp_path_factory.mktemp("scalar"), "scalar")


def exact(v):
    """Results with doubles as their bits (so -0.0 and NaN compare exactly)."""
    if isinstance(v, float):
        return np.float64(v).view(np.uint64).item()
    if isinstance(v, dict):
        return {k: exact(x) for k, x in v.items()}
    if isinstance(v, tuple):
        return tuple(exact(x) for x in v)
    return v


@pytest.mark.parametrize("kernel", list(KERNELS))
def test_fitters_match_scalar(kernel, scalar_results, tmp_path):
    if why := missing(kernel):
        pytest.skip(f"kernel {kernel} not run: {why}")
    got = run_child(tmp_path, kernel)
    names = ("ransac_line", "ransac_line2", "ransac_circle", "ransac_ellipse")
    for j, (case, g, want) in enumerate(zip(make_cases(), got, scalar_results, strict=True)):
        ps, seed, count, delta = case
        for name, (res, ms), (res0, ms0) in zip(names, g, want, strict=True):
            label = f"kernel {kernel}, case {j} ({len(ps)} points, seed {seed}, delta {delta}), {name}"
            assert exact(res) == exact(res0), f"{label}: {res} vs scalar {res0}"
            assert ms == ms0, f"{label}: masks differ"


def test_cases_exercise_the_fitters(scalar_results):
    """The reference finds a shape with every fitter in most shape cases (so the
    comparison means something; few points with delta 0, or scattered extreme
    coordinates, may find less)."""
    found = [sum(any(v != 0 for v in (r if isinstance(r, dict) else r[0]).values()) for r, _ in case)
             for case in scalar_results[:4]]
    assert sum(found) >= 14
