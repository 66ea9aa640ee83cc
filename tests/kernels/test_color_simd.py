"""The colour kernel choice at import, and one smoke test per kernel table.

The exhaustive comparisons of every kernel table with the scalar one (all
2^24 colours, every size around the block limits, in-place and overlapping
outputs, wrapping matrices) are the C++ kernel tests (tests/kernels,
scripts/kernel-test, scripts/cross-test) and the kernel fuzzers
(fuzz/kernels). Here each table runs once through the module, in a child
process started with QUORVANE_COLOR_KERNEL=name (the module refuses to import
when the CPU cannot run the table asked for, so a child that ran names its
table), against a child with QUORVANE_COLOR_KERNEL=scalar; and what only the
import can show is checked: the choice, the refusals and their messages. A
kernel the CPU lacks (by /proc/cpuinfo) is skipped with the reason, and its
refusal is checked instead.
"""

import ctypes
import os
import pathlib
import pickle
import platform
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


def make_cases():
    """A few images and windows: a block and a tail of every table, entries
    within int16, any int32 and beyond int16 by one, in place and overlapping."""
    rng = np.random.default_rng(20240611)
    cases = []
    for k, shape in enumerate([(1, 33), (5, 14), (37, 53)]):
        image = rng.integers(0, 256, shape + (3,), dtype=np.uint8)
        for kind in ("mask", "sel"):
            for mkind in ("int16", "wrap", BEYOND_INT16[k]):
                cases.append((image, random_bounds(rng, mkind), kind, None))
            for offset in (0, -7, 5):
                cases.append((image, random_bounds(rng, ("int16", "wrap")[k % 2]), kind, offset))
    return cases


WORKER = """
import sys, pickle
sys.path[:0] = sys.argv[3:]
import test_color_simd as t
with open(sys.argv[1], "rb") as f:
    cases = pickle.load(f)
with open(sys.argv[2], "wb") as f:
    pickle.dump([t.run_case(*c) for c in cases], f)
"""


def cpu_flags():
    """The CPU's feature flags (x86 "flags", aarch64 "Features"; on 32-bit ARM the
    kernel's hardware capabilities, which emulators report for the emulated CPU)."""
    if ARM32:
        hwcap = ctypes.CDLL(None).getauxval
        hwcap.restype, hwcap.argtypes = ctypes.c_ulong, [ctypes.c_ulong]
        return {"neon"} if hwcap(16) & (1 << 12) else set()  # AT_HWCAP, HWCAP_NEON
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        key = line.split(":", 1)[0].strip()
        if key in ("flags", "Features"):
            return set(line.split(":", 1)[1].split())
    return set()


X86 = platform.machine().lower() in ("x86_64", "amd64", "i386", "i686")
ARM64 = platform.machine().lower() in ("aarch64", "arm64") and ctypes.sizeof(ctypes.c_void_p) == 8
ARM32 = platform.machine().lower().startswith(("arm", "aarch64")) and not ARM64

# Best first: the default is the first one the CPU runs. Each kernel: the
# CPU family it is built for, and the /proc/cpuinfo flags it needs next to
# the names the refusal uses for them.
KERNELS = {
    "avx512": (X86, {"avx512f": "avx512f", "avx512bw": "avx512bw"}),
    "avx2": (X86, {"avx2": "avx2"}),
    "sse41": (X86, {"ssse3": "ssse3", "sse4_1": "sse4.1"}),
    "sse2": (X86, {"sse2": "sse2"}),
    "neon": (ARM64 or ARM32, {"neon": "neon"} if ARM32 else {}),
}


def missing(kernel):
    """None when this machine runs `kernel`, else why not (for skips and refusals)."""
    built, needs = KERNELS[kernel]
    if not built:
        return f"{kernel} is not built for {platform.machine()}"
    flags = cpu_flags()
    lacking = [name for flag, name in needs.items() if flag not in flags]
    return f"this CPU lacks {', '.join(lacking)}" if lacking else None


def default_kernel():
    """What the import of this process runs, as the environment and CPU make it."""
    env = os.environ.get("QUORVANE_COLOR_KERNEL") or None
    if os.environ.get("QUORVANE_FORCE_SCALAR", "0") not in ("", "0"):
        env = "scalar"
    return env or next((k for k in KERNELS if missing(k) is None), "scalar")


def child_env(extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_")}
    env.update(extra)
    return env


def run_in_child(tmp, kernel, worker, cases):
    """What the worker script gives for the pickled cases in a child that runs `kernel`."""
    with open(tmp / "cases.pkl", "wb") as f:
        pickle.dump(cases, f)
    paths = [str(pathlib.Path(__file__).parent), str(pathlib.Path(qv.__file__).parent)]
    subprocess.run([sys.executable, "-c", worker, str(tmp / "cases.pkl"), str(tmp / "out.pkl"), *paths],
                   env=child_env({"QUORVANE_COLOR_KERNEL": kernel}), check=True)
    with open(tmp / "out.pkl", "rb") as f:
        return pickle.load(f)


def run_child(tmp, kernel):
    return run_in_child(tmp, kernel, WORKER, make_cases())


def import_error(env):
    """The last stderr line of importing quorvane under `env`, or None when it imports."""
    paths = os.pathsep.join([str(pathlib.Path(qv.__file__).parent), *sys.path])
    r = subprocess.run([sys.executable, "-c", "import quorvane"], env=child_env(dict(env, PYTHONPATH=paths)),
                       capture_output=True, text=True)
    return r.stderr.strip().splitlines()[-1] if r.returncode else None


@pytest.fixture(scope="module")
def scalar_results(tmp_path_factory):
    return run_child(tmp_path_factory.mktemp("scalar"), "scalar")


def assert_same(got, want, label):
    assert got.shape == want.shape
    diff = np.flatnonzero(got != want)
    assert diff.size == 0, f"{label}: {diff.size} bytes differ, first at {diff[0]}: {got[diff[0]]} vs scalar {want[diff[0]]}"


@pytest.mark.parametrize("kernel", list(KERNELS))
def test_kernel_matches_scalar(kernel, scalar_results, tmp_path):
    if why := missing(kernel):
        pytest.skip(f"kernel {kernel} not run: {why}")
    got = run_child(tmp_path, kernel)
    for j, (case, g, want) in enumerate(zip(make_cases(), got, scalar_results, strict=True)):
        image, bounds, kind, offset = case
        assert_same(g, want, f"kernel {kernel}, case {j} {image.shape} {kind} offset={offset} {bounds}")


FAMILY = "32-bit ARM" if ARM32 else {"x86_64": "x86-64", "amd64": "x86-64", "i386": "x86", "i686": "x86",
                                     "aarch64": "aarch64", "arm64": "aarch64"}.get(platform.machine().lower(),
                                                                                   "this CPU family")


@pytest.mark.parametrize("kernel", list(KERNELS))
def test_kernel_the_cpu_lacks_is_refused(kernel):
    if missing(kernel) is None:
        pytest.skip(f"this machine runs kernel {kernel}: no refusal to see")
    built, needs = KERNELS[kernel]
    if built:
        lacking = next(name for flag, name in needs.items() if flag not in cpu_flags())
        why = f"this CPU lacks {lacking}, which the {kernel} kernel needs"
    else:
        why = f"this build for {FAMILY} has no {kernel} kernel"
    assert import_error({"QUORVANE_COLOR_KERNEL": kernel}) == f"ImportError: QUORVANE_COLOR_KERNEL={kernel}: {why}"


NAMES = "one of scalar, sse2, sse41, avx2, avx512, neon"


@pytest.mark.parametrize(("env", "message"), [
    ({"QUORVANE_COLOR_KERNEL": "avx3"}, f"QUORVANE_COLOR_KERNEL=avx3: no such colour kernel ({NAMES})"),
    ({"QUORVANE_COLOR_KERNEL": "AVX2"}, f"QUORVANE_COLOR_KERNEL=AVX2: no such colour kernel ({NAMES})"),
    ({"QUORVANE_FORCE_SCALAR": "1", "QUORVANE_COLOR_KERNEL": "sse2"},
     "QUORVANE_FORCE_SCALAR=1 contradicts QUORVANE_COLOR_KERNEL=sse2"),
])
def test_bad_request_is_refused(env, message):
    assert import_error(env) == "ImportError: " + message


@pytest.mark.parametrize("env", [{}, {"QUORVANE_COLOR_KERNEL": ""}, {"QUORVANE_COLOR_KERNEL": "scalar"},
                                 {"QUORVANE_FORCE_SCALAR": "1"}, {"QUORVANE_FORCE_SCALAR": "0"},
                                 {"QUORVANE_FORCE_SCALAR": "1", "QUORVANE_COLOR_KERNEL": "scalar"}])
def test_plain_requests_import(env):
    assert import_error(env) is None


def test_import_chose_the_best_kernel_the_cpu_runs():
    # A toolchain whose runtime reports no CPU features would leave the scalar
    # pass running on a CPU with AVX-512 without a word: the choice is checked
    # against the CPU's own flags.
    assert qv.__color_kernel__ == default_kernel()
