"""Colour passes on one 1080p frame, single core, side by side.

    python3 bench/bench_color.py [--rounds N]

Compares mask_image and selective_grayscale (preallocated output) with
OpenCV's cvtColor(RGB2HSV) + inRange (one thread, preallocated outputs) and
with the NumPy int32 expression of the same classification (mask_image_py).
Each contender is timed in turns, in batches; the best batch average per
call counts. Prints a markdown table for the README. QUORVANE_COLOR_KERNEL
selects the colour implementation to measure.
"""

import datetime
import os

import numpy as np

import quorvane as qv
from benchutil import best_per_call, cpu_name, setup

try:
    import cv2
except ImportError:  # the "bench" extra installs it
    cv2 = None

W, H = 1920, 1080
TARGET_VS_OPENCV = 4.0
TARGET_VS_NUMPY = 20.0


def main():
    args = setup(__doc__)
    if cv2 is not None:
        cv2.setNumThreads(1)

    # A frame with smooth colour regions and noise, so a real share of it
    # falls inside the window.
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:H, 0:W].astype(np.float64)
    base = np.stack([128 + 100 * np.sin(x / 97), 128 + 100 * np.sin(y / 61), 128 + 100 * np.cos((x + y) / 149)], -1)
    frame = np.clip(base + rng.normal(0, 20, base.shape), 0, 255).astype(np.uint8)
    bounds = qv.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))
    out = np.empty((H, W), np.uint8)

    contenders = {
        "mask_image": lambda: qv.mask_image(frame, bounds, out),
        "selective_grayscale": lambda: qv.selective_grayscale(frame, bounds, out),
        "numpy int32 (mask_image_py)": lambda: qv.mask_image_py(frame, bounds),
    }
    if cv2 is not None:
        hsv = np.empty_like(frame)
        cv_mask = np.empty((H, W), np.uint8)
        lo, hi = np.array([0, 40, 25], np.uint8), np.array([15, 255, 230], np.uint8)

        def opencv_pair():
            cv2.cvtColor(frame, cv2.COLOR_RGB2HSV, dst=hsv)
            cv2.inRange(hsv, lo, hi, dst=cv_mask)

        contenders["OpenCV cvtColor(RGB2HSV) + inRange"] = opencv_pair

    # Batches of roughly 50 ms; rounds alternate between contenders.
    batch = {}
    for name, fn in contenders.items():
        per_call = best_per_call(fn, 1, 3)
        batch[name] = max(1, int(0.05 / per_call))
    best = dict.fromkeys(contenders, float("inf"))
    for _ in range(args.rounds):
        for name, fn in contenders.items():
            best[name] = min(best[name], best_per_call(fn, 1, batch[name]))

    opencv = best.get("OpenCV cvtColor(RGB2HSV) + inRange")
    numpy_t = best["numpy int32 (mask_image_py)"]
    forced = os.environ.get("QUORVANE_COLOR_KERNEL") or (
        "scalar" if os.environ.get("QUORVANE_FORCE_SCALAR", "0") not in ("", "0") else None)
    print(f"quorvane colour kernel: {forced or 'best the CPU runs'} "
          "(set QUORVANE_COLOR_KERNEL=scalar|sse2|sse41|avx2|avx512|neon to pick one)")
    print(f"{cpu_name()}, {datetime.date.today().isoformat()}, one core, {W}x{H} frame; "
          f"numpy {np.__version__}, OpenCV {cv2.__version__ if cv2 else 'not installed'}")
    print()
    print("| pass | ms / frame | Mpixel/s | vs OpenCV pair | vs NumPy int32 |")
    print("|---|---:|---:|---:|---:|")
    for name, t in best.items():
        vs_cv = f"{opencv / t:.1f}x" if opencv else "n/a"
        print(f"| {name} | {t * 1e3:.3f} | {W * H / t / 1e6:.0f} | {vs_cv} | {numpy_t / t:.1f}x |")
    print()
    for name in ("mask_image", "selective_grayscale"):
        checks = [f"{numpy_t / best[name]:.1f}x NumPy (target {TARGET_VS_NUMPY:g}x)"]
        ok = numpy_t / best[name] >= TARGET_VS_NUMPY
        if opencv:
            checks.insert(0, f"{opencv / best[name]:.1f}x OpenCV (target {TARGET_VS_OPENCV:g}x)")
            ok = ok and opencv / best[name] >= TARGET_VS_OPENCV
        print(f"{name}: {', '.join(checks)}: {'met' if ok else 'NOT met'}")


if __name__ == "__main__":
    main()
