"""Speed of the RANSAC fitters, per scoring kernel, next to scikit-image and vectorised NumPy.

    python bench/bench_ransac.py [--rounds N] [--repeat N] [--ellipse-trials N]

Needs the `bench` extra (NumPy, scikit-image). Every fitter runs 500
iterations. The fitters score with the instruction set of the colour passes;
each kernel this CPU runs is timed in its own child process
(QUORVANE_COLOR_KERNEL=name), and the children and the peers take turns
round after round (the machine may be busy with other work: interleaving
spreads that over all contenders), timing process CPU time; the best round
counts. The NumPy peers draw nothing themselves: they get the very samples
the fitter draws (reproduced from the C library generator, outside the timed
region) and fit and score all 500 of them at once with the same integer
tests, so for lines, line pairs and circles their winner must be identical,
which is checked. scikit-image's ransac ends early once its inlier ratio
allows, and its ellipse model measures residuals with one least-squares solve
per point (so it runs only a few trials here); its times are scaled to 500
trials from the trials it ran. Prints a markdown table: ms per call, point
tests per second (iterations x points / time) against the peak of the
kernel's lanes x the clock, and how many times slower each peer is.
"""

import argparse
import ctypes
import json
import math
import os
import subprocess
import sys
import time
import warnings

import numpy as np
from benchutil import cpu_name
from ransac_peers import (SafeEllipseModel, np_band, np_lines, np_ransac_circle, np_ransac_ellipse,  # noqa: F401
                          np_ransac_line, np_ransac_line2, real_eig, sk_fit, tdiv, winner)
from skimage.measure import CircleModel, LineModelND

import quorvane as qv

LIBC = ctypes.CDLL(None)
ITERATIONS = 500


def samples_of(seed, n, m, count=ITERATIONS):
    """Index samples the fitters draw after srand(seed); leaves the generator reseeded."""
    LIBC.srand(seed)
    i = LIBC.rand() & 0xFFFFFFFF
    LIBC.srand(seed)
    out = np.empty((count, m), np.int64)
    for s in range(count):
        for j in range(m):
            while i % n in out[s, :j]:
                i = (i * 1664525 + 1013904223) & 0xFFFFFFFF
            out[s, j] = i % n
            i = (i * 1664525 + 1013904223) & 0xFFFFFFFF
    return out


# ---- test data: shapes with +-1 noise plus uniform outliers in a 640 x 480 frame


def scatter(rng, n, size=(640, 480)):
    return np.stack([rng.integers(0, size[0], n), rng.integers(0, size[1], n)], 1)


def jitter(rng, xy):
    return np.rint(xy).astype(np.int64) + rng.integers(-1, 2, xy.shape)


def line_points(rng):
    x = rng.uniform(0, 640, 1000)
    return np.vstack([jitter(rng, np.stack([x, 0.5 * x + 60], 1)), scatter(rng, 1000)])


def parallel_points(rng):
    x = rng.uniform(0, 640, 1400)
    y = 0.25 * x + np.where(np.arange(1400) < 700, 80.0, 200.0)
    return np.vstack([jitter(rng, np.stack([x, y], 1)), scatter(rng, 600)])


def ellipse_points(rng, cx, cy, a, b, theta, size=(640, 480)):
    t = rng.uniform(0, 2 * math.pi, 1000)
    u, v = a * np.cos(t), b * np.sin(t)
    s, c = math.sin(theta), math.cos(theta)
    on = np.stack([cx + u * c - v * s, cy + u * s + v * c], 1)
    return np.vstack([jitter(rng, on), scatter(rng, 500, size)])


KERNELS = ["scalar", "sse2", "sse41", "avx2", "avx512", "neon"]
# Point tests per vector: 32-bit lanes for the lines and circles, and float
# lanes (as many) for the ellipse's ring, which decides nearly every point in
# float first (SSE4.1 scores with the SSE2 kernels).
LANES = {"scalar": 1, "sse2": 4, "sse41": 4, "avx2": 8, "avx512": 16, "neon": 4}


def cases(rng):
    """(name, points, fitter call) for the four fitters, the same data every time."""
    line = line_points(rng).astype(np.int32)
    pair = parallel_points(rng).astype(np.int32)
    circle = ellipse_points(rng, 320, 240, 100, 100, 0.0).astype(np.int32)
    ellipse = ellipse_points(rng, 300, 220, 150, 80, 0.5).astype(np.int32)
    wide = ellipse_points(rng, 1200, 700, 150, 80, 0.5, (1920, 1080)).astype(np.int32)
    ms = np.zeros(len(line), np.uint8)
    return [
        ("ransac_line", line, lambda: qv.ransac_line(line, ms, ITERATIONS, 2, 0.1)),
        # delta 0: next to no inliers, so no early exit: (almost) every
        # candidate is tested against every point, the scoring's throughput.
        ("line, delta 0", line, lambda: qv.ransac_line(line, ms, ITERATIONS, 0, 0.0)),
        ("ransac_line2", pair, lambda: qv.ransac_line2(pair, ms, ITERATIONS, 0.99, 2)),
        ("ransac_circle", circle, lambda: qv.ransac_circle(circle, ITERATIONS, 20, 300, 2)),
        ("circle, delta 0", circle, lambda: qv.ransac_circle(circle, ITERATIONS, 0, 2**31 - 1, 0)),
        ("ransac_ellipse", ellipse, lambda: qv.ransac_ellipse(ellipse, ITERATIONS, 20, 300, 3.0, 2)),
        # The same shape in a 1920 x 1080 frame: larger coordinates widen the
        # bound of the ring's float pass, which then runs less often.
        ("ellipse, 1080p frame", wide, lambda: qv.ransac_ellipse(wide, ITERATIONS, 20, 300, 3.0, 2)),
    ]


def cpu_ms(fn, repeat, batch=5):
    """Process CPU time per call in ms: the best of `repeat` batches."""
    best = math.inf
    for _ in range(repeat):
        t0 = time.process_time()
        for _ in range(batch):
            fn()
        best = min(best, (time.process_time() - t0) / batch)
    return best * 1e3


def child(repeat):
    """Times the four fitters with the kernel the environment forces; prints JSON."""
    out = {}
    for name, _, call in cases(np.random.default_rng(1)):
        out[name] = cpu_ms(lambda: (LIBC.srand(7), call()), repeat)
    print(json.dumps(out))


def run_child(kernel, repeat):
    """{fitter: ms} with `kernel`, or None when this CPU cannot run it."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_")}
    env["QUORVANE_COLOR_KERNEL"] = kernel
    r = subprocess.run([sys.executable, __file__, "--child", "--repeat", str(repeat)], env=env,
                       capture_output=True, text=True)
    return json.loads(r.stdout) if r.returncode == 0 else None


def clock_mhz():
    """The clock the kernel reports (nominal under a hypervisor), in MHz."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1])
    except OSError:
        pass
    return math.nan


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=5, help="interleaved rounds (best counts)")
    ap.add_argument("--repeat", type=int, default=7, help="timed batches per round and contender")
    ap.add_argument("--ellipse-trials", type=int, default=5, help="scikit-image ellipse trials")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.repeat)
        return
    warnings.simplefilter("ignore")
    data = cases(np.random.default_rng(1))
    peers = {}
    for name, ps, call in data:
        n = len(ps)
        if "delta 0" in name:
            continue
        if name == "ransac_line":
            smp = samples_of(7, n, 2)
            LIBC.srand(7)
            same = tuple(call().values()) == np_ransac_line(ps, smp, 2, 0.1)
            peers[name] = (lambda ps=ps, smp=smp: np_ransac_line(ps, smp, 2, 0.1),
                           sk_fit(ps, LineModelND, 2, 2, ITERATIONS), same)
        elif name == "ransac_line2":
            smp = samples_of(7, n, 4)
            LIBC.srand(7)
            l1, l2 = call()
            same = tuple(l1.values()) + tuple(l2.values()) == np_ransac_line2(ps, smp, 0.99, 2)
            peers[name] = (lambda ps=ps, smp=smp: np_ransac_line2(ps, smp, 0.99, 2), None, same)
        elif name == "ransac_circle":
            smp = samples_of(7, n, 3)
            LIBC.srand(7)
            same = tuple(call().values()) == np_ransac_circle(ps, smp, 20, 300, 2)
            peers[name] = (lambda ps=ps, smp=smp: np_ransac_circle(ps, smp, 20, 300, 2),
                           sk_fit(ps, CircleModel, 3, 2, ITERATIONS), same)
        else:  # the ellipses; scikit-image, which takes seconds, only on the first
            smp = samples_of(7, n, 5)
            sk = sk_fit(ps, SafeEllipseModel, 5, 2, args.ellipse_trials) if name == "ransac_ellipse" else None
            peers[name] = (lambda ps=ps, smp=smp: np_ransac_ellipse(ps, smp, 20, 300, 3.0, 2), sk, None)

    ours = {k: {} for k in KERNELS}
    np_ms = {}
    sk_ms = {}
    sk_trials = {name: sk() for name, (_, sk, _) in peers.items() if sk}
    runs = [k for k in KERNELS if run_child(k, 1) is not None]
    for r in range(args.rounds):
        print(f"round {r + 1} of {args.rounds}", file=sys.stderr)
        for k in runs:
            for name, ms in run_child(k, args.repeat).items():
                ours[k][name] = min(ours[k].get(name, math.inf), ms)
        for name, (np_fn, sk, _) in peers.items():
            np_ms[name] = min(np_ms.get(name, math.inf), cpu_ms(np_fn, max(1, args.repeat // 3), batch=1))
            if sk and r < 2:  # slow: two rounds
                sk_ms[name] = min(sk_ms.get(name, math.inf), cpu_ms(sk, 1, batch=1) * ITERATIONS / sk_trials[name])

    default = next(k for k in ("avx512", "avx2", "sse41", "sse2", "neon", "scalar") if k in runs)
    mhz = clock_mhz()
    print(f"{cpu_name()}, {mhz:.0f} MHz as reported; {ITERATIONS} iterations per call; process CPU time, best of "
          f"{args.rounds} interleaved rounds of {args.repeat} batches; ms per call.")
    print(f"Kernels this CPU runs: {', '.join(runs)} (default {default}); not run: "
          f"{', '.join(k for k in KERNELS if k not in runs) or 'none'}.")
    print("Tests/s = iterations x points / time (early exits skip some: the rates of the fitters can pass")
    print("the peak); peak = lanes x clock (one point test per lane and cycle). The delta 0 rows score")
    print("(almost) every candidate against every point: the scoring's own rate.")
    print(f"scikit-image stops once its inlier ratio says it may; its time is scaled to {ITERATIONS} trials")
    print("from the trials it ran (in brackets).\n")
    print("| fitter | kernel | ms | G tests/s | of peak | vs scalar | NumPy / quorvane | scikit-image / quorvane |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for name, ps, _ in data:
        tests = ITERATIONS * len(ps)
        for k in runs:
            t = ours[k][name]
            lanes = LANES[k]
            peak = lanes * mhz * 1e6
            rate = tests / (t * 1e-3)
            sk_txt = f"{sk_ms[name] / t:.0f}x" if name in sk_ms else "n/a"
            np_txt = f"{np_ms[name] / t:.0f}x" if name in np_ms else "n/a"
            print(f"| {name} ({len(ps)} points) | {k} | {t:.3f} | {rate / 1e9:.2f} | {100 * rate / peak:.0f}% | "
                  f"{ours['scalar'][name] / t:.1f}x | {np_txt} | {sk_txt} |")
    print("\n| peer | fitter | ms | same winner as quorvane |")
    print("|---|---|---:|---|")
    for name, ps, _ in data:
        if name not in peers:
            continue
        same = peers[name][2]
        same_txt = "n/a (float solve)" if same is None else ("yes" if same else "NO")
        print(f"| NumPy | {name} | {np_ms[name]:.2f} | {same_txt} |")
        if name in sk_ms:
            print(f"| scikit-image | {name} | {sk_ms[name]:.1f} ({sk_trials[name]}) | |")


if __name__ == "__main__":
    main()
