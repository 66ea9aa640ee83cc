#!/usr/bin/env python3
"""Find shapes in many frames with the extension's raw chain: masks on a thread pool, fitting
on a process pool.

mask_image releases the interpreter lock while it walks the pixels, so a pool of threads masks
several frames at once; simple_edge and simple_denoise hold the lock but take little time, so
they stay on those threads. The RANSAC fitters hold the lock for the whole fit, so fitting goes
to a pool of processes: the edge points travel there as small int32 arrays, and the library's
functions and LCHBounds pickle by reference. Frame k is fitted right after srand(seed + k) in
whichever process gets it, so the shapes do not depend on the number of workers; the script
checks that every run found the same shapes.

    python examples/batch.py                      # 48 frames of the built-in scene
    python examples/batch.py --frames 200 --count 1000
    python examples/batch.py --dir frames/ --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95

It prints frames per second with everything on the calling thread, then with pools of 1, 2 and
all cores (threads and processes alike).
"""

from __future__ import annotations

import argparse
import ctypes
import multiprocessing
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import numpy as np

import quorvane as qv
import find_shapes as fs

SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".npy"}
ROWS = COLUMNS = 128  # scan lines


def extract(frame, windows):
    """Thread-pool part: each window's denoised edge points, in a fixed shuffled order (the
    fitters' sampler draws point `state mod n` of a generator whose low bits cycle)."""
    h, w = frame.shape[:2]
    mask = np.empty((h, w), np.uint8)
    edges = np.empty((ROWS * (w + 1) + COLUMNS * (h + 1), 2), np.int32)  # room for every run end
    points = []
    for bounds, _ in windows:
        qv.mask_image(frame, bounds, mask)
        n = qv.simple_edge(mask, edges, ROWS, COLUMNS)
        kept = np.empty((n, 2), np.int32)
        m = qv.simple_denoise(edges[:n], kept, 3)
        points.append(kept[np.random.default_rng(0).permutation(m)])
    return points


def fit(points, windows, count, max_r, seed):
    """Process-pool part: one frame's models, after srand(seed)."""
    ctypes.CDLL(None).srand(seed)
    models = []
    for ps, (_, fits) in zip(points, windows):
        marks, rest = np.empty(len(ps) + 1, np.uint8), np.empty_like(ps)
        for kind in fits:
            if kind == "line":  # a line, then another among the points it left
                models.append(qv.ransac_line(ps, marks, count, 5, 0.25))
                ps = rest[: qv.remove_inliers(ps, rest, marks[: len(ps)])].copy()
            elif kind == "circle":
                models.append(qv.ransac_circle(ps, count, 8, max_r, 2))
            else:
                models.append(qv.ransac_ellipse(ps, count, 8, max_r, 4.0, 2))
    return models


def fit_chunk(chunk, windows, count, max_r, seed):
    return [fit(points, windows, count, max_r, seed + k) for k, points in enumerate(chunk)]


def run_pools(frames, windows, count, max_r, seed, workers, chunk):
    """Everything with `workers` threads and `workers` processes; returns (seconds, models)."""
    spawn = multiprocessing.get_context("spawn")  # no fork of a process that runs threads
    chunks = [frames[k : k + chunk] for k in range(0, len(frames), chunk)]
    with ThreadPoolExecutor(workers) as threads, ProcessPoolExecutor(workers, mp_context=spawn) as procs:
        for f in [procs.submit(time.sleep, 0.2) for _ in range(workers)]:  # workers up before the clock
            f.result()
        t0 = time.perf_counter()
        points = threads.map(lambda frames: [extract(f, windows) for f in frames], chunks)
        jobs = [procs.submit(fit_chunk, ps, windows, count, max_r, seed + chunk * k) for k, ps in enumerate(points)]
        models = [m for j in jobs for m in j.result()]
        return time.perf_counter() - t0, models


def parse_args(argv):
    p = argparse.ArgumentParser(prog="batch.py", description="Frames per second of the raw chain on 1, 2 and all cores.")
    p.add_argument("--dir", metavar="PATH", help="folder of frames (.png, .jpg, .npy, ...); default: generated")
    p.add_argument("--frames", type=int, default=48, metavar="N", help="number of generated frames (default 48)")
    p.add_argument("--hue", nargs=2, type=float, metavar=("H1", "H2"), help="hue wedge for --dir, radians")
    p.add_argument("--chroma", nargs=2, type=float, metavar=("C1", "C2"), help="chroma band for --dir")
    p.add_argument("--intensity", nargs=2, type=float, metavar=("I1", "I2"), help="intensity band for --dir")
    p.add_argument("--fit", action="append", choices=list(fs.FITS), help="shapes to fit with --dir (default: all)")
    p.add_argument("--count", type=int, default=400, metavar="N", help="RANSAC iterations per fit (default 400)")
    p.add_argument("--chunk", type=int, default=8, metavar="N", help="frames per fitting job (default 8)")
    p.add_argument("--seed", type=int, default=1, metavar="N", help="frame k is fitted after srand(N + k) (default 1)")
    args = p.parse_args(argv)
    window = (args.hue, args.chroma, args.intensity)
    if args.dir is None and (any(window) or args.fit):
        p.error("--hue, --chroma, --intensity and --fit describe the window for --dir")
    if args.dir is not None and (any(window) or args.fit) and not all(window):
        p.error("give all of --hue, --chroma and --intensity (and --fit only with them), or none")
    if args.frames < 1 or args.chunk < 1:
        p.error("--frames and --chunk must be at least 1")
    return args


def load_frames(args):
    if args.dir is None:  # scenes are slow to draw; a few distinct ones are repeated
        scenes = [fs.make_scene(k)[0] for k in range(min(args.frames, 8))]
        return [scenes[k % len(scenes)] for k in range(args.frames)], f"{args.frames} generated frames"
    paths = sorted(p for p in Path(args.dir).iterdir() if p.suffix.lower() in SUFFIXES)
    if not paths:
        raise ValueError(f"{args.dir}: no frames ({', '.join(sorted(SUFFIXES))})")
    return [fs.qt.as_rgb(fs.qt.load_image(p)) for p in paths], f"{len(paths)} frames from {args.dir}"


def main(argv=None):
    args = parse_args(argv)
    try:
        frames, source = load_frames(args)
    except ImportError:
        print("batch.py: reading image files needs Pillow: python3 -m pip install '.[demo]'", file=sys.stderr)
        return 1
    except (OSError, ValueError) as e:
        print(f"batch.py: {e}", file=sys.stderr)
        return 1
    chosen = fs.SCENE_WINDOWS.values()
    if args.hue:
        fits = [f for name in dict.fromkeys(args.fit or fs.FITS) for f in fs.FITS[name]]
        chosen = [((tuple(args.hue), tuple(args.chroma), tuple(args.intensity)), fits)]
    windows = [(qv.calculate_lch_bounds(*w), fits) for w, fits in chosen]  # bounds worked out once
    max_r = min(min(f.shape[:2]) for f in frames) // 2
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1

    print(f"{source}, {len(windows)} colour windows, {args.count} RANSAC iterations per fit; {cores} cores")

    def serial():
        return [fit(extract(f, windows), windows, args.count, max_r, args.seed + k) for k, f in enumerate(frames)]

    t0 = time.perf_counter()
    reference = serial()
    seconds = time.perf_counter() - t0
    print(f"{'workers':>12}  {'frames/s':>9}  {'speed-up':>8}")
    print(f"{'serial':>12}  {len(frames) / seconds:9.1f}  {1.0:8.2f}")
    same = True
    for workers in sorted({1, min(2, cores), cores}):
        t, models = run_pools(frames, windows, args.count, max_r, args.seed, workers, args.chunk)
        same &= models == reference
        label = f"{workers} (all)" if workers == cores else str(workers)
        print(f"{label:>12}  {len(frames) / t:9.1f}  {seconds / t:8.2f}")
    found = sum(1 for frame in reference for m in frame if any(m.values()))
    print(f"shapes found: {found} of {sum(map(len, reference))}; same shapes in every run: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
