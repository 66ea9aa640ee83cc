#!/usr/bin/env python3
"""Find shapes in many frames: masks on a thread pool, fitting on a process pool.

mask_image releases the interpreter lock while it walks the pixels, so a pool of
threads runs the colour masks of several frames at once. Edge extraction and
denoising hold the lock but take little time, so they stay on those threads.
The RANSAC fitters hold the lock for the whole fit, so the fitting goes to a
pool of processes: the frames' edge points travel there as small int32 arrays,
and the library's functions pickle by reference, like built-in functions.

Each frame k is fitted right after srand(seed + k) in whichever process gets it,
so the shapes do not depend on the number of workers; the script checks that
every run found the same shapes.

    python examples/batch.py                      # 48 generated frames
    python examples/batch.py --frames 200 --count 1000
    python examples/batch.py --dir frames/ --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95

It reports frames per second with everything on the calling thread, then with
pools of 1, 2 and all cores (threads and processes alike).
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

import find_shapes as fs

SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".npy"}


def extract(frame, windows, settings):
    """Thread-pool part: each window's denoised edge points of one frame."""
    return [fs.window_points(frame, w, settings)[1] for w in windows]


def fit(points, windows, settings, seed):
    """Process-pool part: the shapes of one frame, as (kind, window, model, inliers)."""
    ctypes.CDLL(None).srand(seed)
    return [
        (s.kind, w.name, s.model, s.inliers)
        for ps, w in zip(points, windows)
        for s in fs.fit_points(ps, w.fits, settings)
    ]


def fit_chunk(chunk, windows, settings, seed):
    """Several frames per job, so that sending the job costs little next to the fitting."""
    return [fit(points, windows, settings, seed + k) for k, points in enumerate(chunk)]


def run_serial(frames, windows, settings, seed):
    return [fit(extract(f, windows, settings), windows, settings, seed + k) for k, f in enumerate(frames)]


def run_pools(frames, windows, settings, seed, workers, chunk):
    """Everything with `workers` threads and `workers` processes; returns (seconds, shapes).

    Frames go out in chunks, so that handing over a job costs little next to the work."""
    spawn = multiprocessing.get_context("spawn")  # no fork of a process that runs threads
    chunks = [frames[k : k + chunk] for k in range(0, len(frames), chunk)]
    with ThreadPoolExecutor(workers) as threads, ProcessPoolExecutor(workers, mp_context=spawn) as procs:
        # Start every worker process before the clock runs.
        for f in [procs.submit(time.sleep, 0.2) for _ in range(workers)]:
            f.result()
        t0 = time.perf_counter()
        points = threads.map(lambda frames: [extract(f, windows, settings) for f in frames], chunks)
        jobs = [
            procs.submit(fit_chunk, ps, windows, settings, seed + chunk * k) for k, ps in enumerate(points)
        ]
        shapes = [s for j in jobs for s in j.result()]
        return time.perf_counter() - t0, shapes


def load_frames(args):
    if args.dir is None:
        # Scenes are slow to draw; a few distinct ones are repeated.
        scenes = [fs.make_scene(k)[0] for k in range(min(args.frames, 8))]
        return [scenes[k % len(scenes)] for k in range(args.frames)], f"{args.frames} generated frames"
    paths = sorted(p for p in Path(args.dir).iterdir() if p.suffix.lower() in SUFFIXES)
    if not paths:
        raise ValueError(f"{args.dir}: no frames ({', '.join(sorted(SUFFIXES))})")
    return [fs.load_image(p) for p in paths], f"{len(paths)} frames from {args.dir}"


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="batch.py", description="Frames per second of the shape-finding chain on 1, 2 and all cores."
    )
    p.add_argument(
        "--dir", metavar="PATH", help="folder of frames (.png, .jpg, .npy, ...); default: generated"
    )
    p.add_argument(
        "--frames", type=int, default=48, metavar="N", help="number of generated frames (default 48)"
    )
    p.add_argument("--hue", nargs=2, type=float, metavar=("H1", "H2"), help="hue wedge for --dir, radians")
    p.add_argument("--chroma", nargs=2, type=float, metavar=("C1", "C2"), help="chroma band for --dir")
    p.add_argument("--intensity", nargs=2, type=float, metavar=("I1", "I2"), help="intensity band for --dir")
    p.add_argument("--fit", action="append", choices=fs.FITS, help="shapes to fit with --dir (default: all)")
    p.add_argument(
        "--count", type=int, default=fs.Settings.count, metavar="N", help="RANSAC iterations per fit"
    )
    p.add_argument("--chunk", type=int, default=8, metavar="N", help="frames per fitting job (default 8)")
    p.add_argument(
        "--seed",
        type=int,
        default=1,
        metavar="N",
        help="frame k is fitted after srand(N + k) of the C library (default 1)",
    )
    args = p.parse_args(argv)
    window = (args.hue, args.chroma, args.intensity)
    if args.dir is None and (any(window) or args.fit):
        p.error("--hue, --chroma, --intensity and --fit describe the window for --dir")
    if args.dir is not None and (any(window) or args.fit) and not all(window):
        p.error("give all of --hue, --chroma and --intensity (and --fit only with them), or none")
    if args.frames < 1 or args.chunk < 1:
        p.error("--frames and --chunk must be at least 1")
    return args


def main(argv=None):
    args = parse_args(argv)
    try:
        frames, source = load_frames(args)
    except ImportError:
        print(
            "batch.py: reading image files needs Pillow: python3 -m pip install 'quorvane[demo]'",
            file=sys.stderr,
        )
        return 1
    except (OSError, ValueError) as e:
        print(f"batch.py: {e}", file=sys.stderr)
        return 1
    windows = fs.SCENE_WINDOWS
    if args.hue:
        windows = (
            fs.Window(
                "window",
                tuple(args.hue),
                tuple(args.chroma),
                tuple(args.intensity),
                tuple(dict.fromkeys(args.fit or fs.FITS)),
            ),
        )
    max_r = min(min(f.shape[:2]) for f in frames) // 2
    settings = fs.Settings(count=args.count, max_r=max_r)
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1

    print(f"{source}, {len(windows)} colour windows, {args.count} RANSAC iterations per fit; {cores} cores")
    run_serial(frames[:1], windows, settings, args.seed)  # first calls pay for lazy set-up
    t0 = time.perf_counter()
    reference = run_serial(frames, windows, settings, args.seed)
    serial = time.perf_counter() - t0
    print(f"{'workers':>12}  {'frames/s':>9}  {'speed-up':>8}")
    print(f"{'serial':>12}  {len(frames) / serial:9.1f}  {1.0:8.2f}")
    same = True
    for workers in sorted({1, min(2, cores), cores}):
        seconds, shapes = run_pools(frames, windows, settings, args.seed, workers, args.chunk)
        same &= shapes == reference
        label = f"{workers} (all)" if workers == cores else str(workers)
        print(f"{label:>12}  {len(frames) / seconds:9.1f}  {serial / seconds:8.2f}")
    found = sum(1 for frame in reference for *_, inliers in frame if inliers)
    print(
        f"shapes found: {found} of {sum(map(len, reference))}; "
        f"same shapes in every run: {'yes' if same else 'NO'}"
    )
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
