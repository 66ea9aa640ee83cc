"""find_shapes against the raw calls it makes, on a 1080p frame.

The raw chain is what a user writes by hand (README, "A typical frame"): calculate_lch_bounds,
mask_image, simple_edge, simple_denoise and the fitter, into preallocated arrays. find_shapes adds
input checks, a fixed shuffle of the points, the inlier count of every fit and the records.

    python bench/bench_tools.py [--rounds 7]
"""

import ctypes
import sys
import time
from pathlib import Path

import numpy as np

import quorvane as qv
import quorvane_tools as qt
from benchutil import best_per_call, cpu_name, setup

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import find_shapes as example  # noqa: E402  (the built-in scene)

LIBC = ctypes.CDLL(None)
CLOCK = time.process_time  # CPU time of this process: other work on the machine counts less


def frame_1080p():
    img, _ = example.make_scene(0)  # 640 x 480
    ys = (np.arange(1080) * img.shape[0] // 1080)
    xs = (np.arange(1920) * img.shape[1] // 1920)
    return np.ascontiguousarray(img[ys][:, xs])


def main():
    args = setup(__doc__)
    img = frame_1080p()
    h, w = img.shape[:2]
    cases = [
        ("circle (orange ball)", qt.Window((0.15, 0.68), (0.3, 1.0), (0.12, 0.95)), "circle", (24, 540)),
        ("ellipse (yellow marker)", qt.Window((0.72, 1.25), (0.45, 1.0), (0.4, 1.0)), "ellipse", (24, 540)),
        ("two lines (white paint)", qt.Window((-0.7, 2.4), (0.0, 0.16), (0.55, 1.0)), "line", None),
    ]
    print(f"{cpu_name()}; 1920 x 1080 frame; 128 + 128 scan lines; count 400; "
          f"best of {args.rounds} interleaved batches of 50, process CPU time")
    print(f"{'fits':26} {'raw calls ms':>12} {'find_shapes ms':>14} {'overhead':>9}")
    for name, window, kind, radius in cases:
        mask = np.empty((h, w), np.uint8)
        pts = np.empty((128 * (w + 1) + 128 * (h + 1), 2), np.int32)
        clean = np.empty_like(pts)
        marks = np.empty(len(pts), np.uint8)
        rest = np.empty_like(pts)
        lo, hi = radius or (8, 540)

        def raw():
            LIBC.srand(1)
            b = qv.calculate_lch_bounds(*window)
            qv.mask_image(img, b, mask)
            n = qv.simple_edge(mask, pts, 128, 128)
            m = qv.simple_denoise(pts[:n], clean, 3)
            if kind == "circle":
                qv.ransac_circle(clean[:m], 400, lo, hi, 2)
            elif kind == "ellipse":
                qv.ransac_ellipse(clean[:m], 400, lo, hi, 4.0, 2)
            else:
                qv.ransac_line(clean[:m], marks, 400, 5, 0.0)
                k = qv.remove_inliers(clean[:m], rest, marks[:m])
                qv.ransac_line(rest[:k], marks, 400, 5, 0.0)

        fits = ["line", "line"] if kind == "line" else [kind]

        def tools():
            qt.find_shapes(img, window, fits, radius=radius, seed=1)

        t_raw, t_tools = float("inf"), float("inf")
        for _ in range(args.rounds):  # interleaved, so that load from elsewhere hits both alike
            t_raw = min(t_raw, best_per_call(raw, 1, 50, clock=CLOCK))
            t_tools = min(t_tools, best_per_call(tools, 1, 50, clock=CLOCK))
        print(f"{name:26} {t_raw * 1e3:12.3f} {t_tools * 1e3:14.3f} {100 * (t_tools / t_raw - 1):8.1f}%")
    found = qt.find_shapes(img, cases[0][1], ["circle"], radius=(24, 540), seed=1)
    print("stages of the circle run (ms):", ", ".join(f"{k} {v * 1e3:.3f}" for k, v in found.times.items()))


if __name__ == "__main__":
    main()
