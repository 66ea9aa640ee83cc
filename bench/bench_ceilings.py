"""How long one fitter call takes at the command's ceiling on --count, single core.

    python3 bench/bench_ceilings.py [--rounds N]

A fitter call holds the interpreter lock, so Ctrl+C waits for it; `quorvane_tools.cli.MAX_COUNT`
is chosen so that the longest call a command makes takes at most about a second. That call is
find_shapes' second look at a doubtful circle or ellipse, with 8 x --count samples. The point
lists: the outline of an ellipse (semi-axes 4000 x 3000, 2 px of noise) of 150,000 points,
about what the default 128 x 128 scan lines take from a 100-megapixel picture, and the
150,000 points of the scan of a 100-megapixel picture of noise. Prints the samples per second
of every fitter (best of --rounds, process CPU time) and the seconds of MAX_COUNT and
8 x MAX_COUNT samples.
"""

import ctypes
import time

import numpy as np

import quorvane
from benchutil import cpu_name, setup
from quorvane_tools.cli import MAX_COUNT

N = 150_001  # odd, as find_shapes hands the fitters


def ring(rng):
    t = rng.random(N) * 2 * np.pi
    x = 5000 + 4000 * np.cos(t) + rng.normal(0, 2, N)
    y = 5000 + 3000 * np.sin(t) + rng.normal(0, 2, N)
    return np.ascontiguousarray(np.stack([x, y], 1).round().astype(np.int32))


def noise(rng):
    return np.ascontiguousarray(rng.integers(0, 10000, (N, 2)).astype(np.int32))


def main():
    args = setup(__doc__)
    libc = ctypes.CDLL(None)
    rng = np.random.default_rng(1)
    ms = np.empty(N, np.uint8)
    fitters = {
        "ellipse": lambda ps, k: quorvane.ransac_ellipse(ps, k, 8, 5000, 4.0, 2),
        "circle": lambda ps, k: quorvane.ransac_circle(ps, k, 8, 5000, 2),
        "line": lambda ps, k: quorvane.ransac_line(ps, ms, k, 5, 0.0),
        "line2": lambda ps, k: quorvane.ransac_line2(ps, ms, k, 0.95, 5),
    }
    print(f"{cpu_name()}; --count ceiling {MAX_COUNT}\n")
    print("| points | fitter | samples/s | MAX_COUNT samples | 8 x MAX_COUNT samples |")
    print("|---|---|---|---|---|")
    for name, ps in (("ellipse outline", ring(rng)), ("noise", noise(rng))):
        for fitter, fit in fitters.items():
            best = float("inf")
            for _ in range(args.rounds):
                libc.srand(1)
                t0 = time.process_time()
                fit(ps, MAX_COUNT)
                best = min(best, time.process_time() - t0)
            rate = MAX_COUNT / best
            print(f"| {name} ({N:,}) | {fitter} | {rate:,.0f} | {best:.3f} s | {8 * best:.2f} s |")


if __name__ == "__main__":
    main()
