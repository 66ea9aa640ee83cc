"""Tracks: identity switches, fragmented tracks, misses and false tracks, and the cost per frame of
Tracker.update, on clips that this script makes with their ground truth.

Clips:
  crossing   N balls on straight lines through one point (they overlap there)
  occlusion  N balls passing behind a bar (hidden for a few frames)
  drops      N balls crossing, a fifth of the detections dropped at random, plus false and
             duplicate detections
  leave      one ball leaves through the right edge and another comes in there soon after
  bounce     ten balls bouncing in a box (crossings, sudden turns at the walls)
  pan        the camera pans over a scikit-image photograph while balls move across it

Every clip is first run on synthetic detections (the truth plus noise, drops, merges where balls
overlap, false detections) fed straight to the Tracker; then (unless --no-chain) crossing,
occlusion, leave and pan are rendered with PyAV and run through the whole chain:
track_video(..., track=True), the shape finder's own misses and false fits included.

Counts, over all frames (a track counts for a ball when its centre is within the ball's radius;
lost tracks count with their predicted centre; a ball is visible when its centre is in the frame
and not behind the bar; one that is hidden, or partly out of the frame, need not be covered):
  miss    a visible ball no track covers
  false   a track covering no ball
  switch  a ball taken over by an id that followed another ball (or an id moving to another ball)
  frag    a ball that got a new id of its own (its track broke in two)
  MOTA    1 - (miss + false + switch) / visible balls
  err     mean distance (px) of the confirmed tracks' smoothed centres to the truth
  us/frame  Tracker.update, process CPU time, best of --rounds
  fits, false fits  (the real chain) the shape finder's shapes, and those on no ball

    python bench/bench_tracks.py                              # all clips, then the real chain
    python bench/bench_tracks.py --clip crossing --objects 5 --radius 8 --speed 12 --drop 0.1
    python bench/bench_tracks.py --sweep 300 --no-chain       # random clips, many settings
    python bench/bench_tracks.py --option max_lost=30 --option gate=2.5

Needs quorvane[video] and scikit-image for the real chain and the photograph.
"""

from __future__ import annotations

import argparse
import datetime
import math
import os
import platform
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchutil import cpu_name  # noqa: E402

# The benchmark's parts; their names are this module's too.
from tracks_chain import ORANGE, WINDOW, chain, render  # noqa: E402, F401
from tracks_clips import Scene, bounce, crossing, detect, leave, occlusion, pan  # noqa: E402, F401
from tracks_score import CLOCK, FPS, cost, run_tracker, score  # noqa: E402, F401


# --------------------------------------------------------------------------


CLIPS = {
    "crossing": lambda rng, a: crossing(rng, a.objects or 3, a.radius, a.speed, a.frames),
    "occlusion": lambda rng, a: occlusion(rng, a.objects or 3, a.radius, a.speed, a.frames),
    "drops": lambda rng, a: crossing(rng, a.objects or 4, a.radius, a.speed, a.frames),
    "leave": lambda rng, a: leave(rng, a.radius, a.speed, a.frames),
    "bounce": lambda rng, a: bounce(rng, a.objects or 10, a.radius * 0.8, a.speed * 0.8, 3 * a.frames + 30),
    "pan": lambda rng, a: pan(rng, a.objects or 3, a.radius, a.speed * 0.6, a.frames + 30),
}
FAULTS = {"drops": dict(drop=0.2, false=0.5, dup=0.05), "pan": dict(false=0.3)}


def faults_for(name, a):
    base = dict(drop=a.drop, false=a.false, noise=a.noise, dup=a.dup)
    for k, v in FAULTS.get(name, {}).items():
        if getattr(a, k) is None:
            base[k] = v
    return {k: (0.0 if v is None else v) for k, v in base.items()}


HEAD = f"{'clip':34} {'balls':>5} {'frames':>6} {'visible':>7} {'miss':>5} {'false':>5} {'switch':>6} " \
       f"{'frag':>5} {'MOTA':>6} {'err':>5} {'us/frame':>8}"


def line(name, scene, c):
    return (f"{name:34} {len(scene.radius):5d} {scene.frames:6d} {c['gt']:7d} {c['miss']:5d} "
            f"{c['false']:5d} {c['switch']:6d} {c['frag']:5d} {c['mota']:6.3f} {c['err']:5.2f} "
            f"{c['us']:8.1f}")


def random_clip(rng, k, max_lost):
    """The k-th clip of a sweep: (kind, scene, faults, settings), drawn from ``rng``."""
    kind = ["crossing", "occlusion", "leave", "crossing-curved", "drops"][k % 5]
    n = int(rng.integers(2, 11))
    r = float(np.exp(rng.uniform(math.log(4), math.log(60))))
    speed = r * float(np.exp(rng.uniform(math.log(0.1), math.log(1.5))))
    frames = int(rng.integers(60, 200))
    seed = int(rng.integers(1 << 30))
    hidden = int(rng.integers(2, max_lost + 1))
    srng = np.random.default_rng(seed)
    faults = dict(noise=float(rng.uniform(0, 0.06)))
    if kind == "crossing":
        scene = crossing(srng, min(n, 5), r, speed, frames)
    elif kind == "crossing-curved":
        scene = crossing(srng, min(n, 5), r, speed, frames, curve=float(rng.uniform(-0.02, 0.02)))
    elif kind == "occlusion":
        # A bar that hides each ball for 2 to max_lost frames (the balls' speeds differ by 20%).
        scene = occlusion(srng, n, r, speed, frames, bar=max(0.0, 0.8 * hidden * speed - r))
    elif kind == "leave":
        scene = leave(srng, r, speed, frames, gap=int(rng.integers(1, 10)))
    else:
        scene = crossing(srng, min(n, 5), r, speed, frames)
        faults.update(drop=float(rng.uniform(0, 0.25)), false=float(rng.uniform(0, 1)),
                      dup=float(rng.uniform(0, 0.08)))
    return kind, scene, faults, srng, dict(r=r, speed=speed, frames=frames, seed=seed)


def merged_run(scene):
    """The longest run of frames in which a visible ball lies within one radius of another
    (where a shape finder sees one blob), over all balls."""
    vis = scene.visible()
    d = np.linalg.norm(scene.pos[:, :, None, :] - scene.pos[:, None, :, :], axis=3)
    n = len(scene.radius)
    d[:, np.arange(n), np.arange(n)] = np.inf
    close = ((d < scene.radius[None, :, None]) & vis[:, None, :]).any(axis=2) & vis
    best = 0
    for k in range(n):
        run = 0
        for v in close[:, k]:
            run = run + 1 if v else 0
            best = max(best, run)
    return best


def sweep(args, options):
    """Random clips with settings the defaults were not tuned on; prints the totals and the
    clips that had a switch or a fragment."""
    rng = np.random.default_rng(args.seed + 1000)
    max_lost = int(options.get("max_lost", 15))
    totals = dict(clips=0, switch=0, frag=0, gt=0, miss=0, false=0)
    buckets = {}  # longest merge in frames -> [clips, switches, fragments]
    bad = []
    worst_us = 0.0
    for k in range(args.sweep):
        kind, scene, faults, srng, how = random_clip(rng, k, max_lost)
        dets = detect(scene, srng, **faults)
        c = score(scene, run_tracker(scene, dets, options))
        merged = merged_run(scene)
        totals["clips"] += 1
        for key in ("switch", "frag", "gt", "miss", "false"):
            totals[key] += c[key]
        b = next(lo for lo in (21, 11, 6, 0) if merged >= lo)
        row = buckets.setdefault(b, [0, 0, 0])
        row[0] += 1
        row[1] += c["switch"]
        row[2] += c["frag"]
        if len(scene.radius) >= 10:
            worst_us = max(worst_us, cost(scene, dets, options, 1))
        if c["switch"] or c["frag"]:
            bad.append((k, kind, len(scene.radius), how, faults, c, merged))
    print(f"sweep: {totals['clips']} random clips (2 to 10 balls, radius 4 to 60 px, 0.1 to 1.5 "
          f"radii per frame, 60 to 200 frames; crossings straight and curved, bars hiding the balls "
          f"for 2 to {max_lost} frames, leaving and entering, drops up to 25%, up to one false fit "
          f"per frame)")
    print(f"  visible {totals['gt']}, miss {totals['miss']}, false {totals['false']}, "
          f"switches {totals['switch']}, fragments {totals['frag']}; "
          f"clips with a switch or a fragment: {len(bad)}; slowest update with ten balls "
          f"{worst_us:.1f} us/frame")
    names = {0: "0-5", 6: "6-10", 11: "11-20", 21: "over 20"}
    print("  by the longest time two balls were one blob (centres within a radius):")
    for b in sorted(buckets):
        n, sw, fr = buckets[b]
        print(f"    {names[b]:>8} frames: {n:4d} clips, {sw:3d} switches, {fr:3d} fragments")
    for k, kind, n, how, faults, c, merged in bad[:40]:
        f = ", ".join(f"{key} {v:.2f}" for key, v in faults.items())
        print(f"    #{k:<4d} {kind:16} {n:2d} balls r {how['r']:5.1f} speed {how['speed']:6.2f} px/frame "
              f"({how['speed'] / how['r']:.2f} r) {how['frames']} frames; {f}: "
              f"switch {c['switch']} frag {c['frag']}; merged for {merged} frames")
    return totals, bad


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--clip", choices=list(CLIPS), action="append", help="only these clips (repeat)")
    ap.add_argument("--objects", type=int, help="balls per clip (default: 3, 4 for drops, 10 for bounce)")
    ap.add_argument("--radius", type=float, default=15.0, help="ball radius in pixels (default 15)")
    ap.add_argument("--speed", type=float, default=6.0, help="pixels per frame (default 6)")
    ap.add_argument("--frames", type=int, default=90, help="frames per clip (default 90)")
    ap.add_argument("--drop", type=float, help="chance a detection is dropped (drops: 0.2, else 0)")
    ap.add_argument("--false", type=float, help="false detections per frame (drops: 0.5, pan: 0.3)")
    ap.add_argument("--noise", type=float, default=0.03, help="centre noise in radii (default 0.03)")
    ap.add_argument("--dup", type=float, help="chance of a second fit on a ball (drops: 0.05)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the clips (default 1)")
    ap.add_argument("--rounds", type=int, default=5, help="timed passes per clip (best counts)")
    ap.add_argument("--sweep", type=int, default=0, metavar="N", help="also N random clips")
    ap.add_argument("--no-chain", action="store_true", help="skip the rendered clips")
    ap.add_argument("--option", action="append", default=[], metavar="KEY=VALUE",
                    help="a Tracker parameter, e.g. max_lost=30")
    args = ap.parse_args()
    options = {}
    for o in args.option:
        k, _, v = o.partition("=")
        options[k] = int(v) if k in ("confirm", "max_lost") else float(v)
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    print(f"machine: {cpu_name()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"NumPy {np.__version__}; load average {os.getloadavg()[0]:.1f}; {datetime.date.today()}")
    print(f"tracker: {options or 'defaults'}; radius {args.radius:g} px, speed {args.speed:g} px/frame, "
          f"seed {args.seed}\n")
    names = args.clip or list(CLIPS)
    print("synthetic detections fed to Tracker.update:")
    print(HEAD)
    for name in names:
        rng = np.random.default_rng(args.seed)
        scene = CLIPS[name](rng, args)
        faults = faults_for(name, args)
        dets = detect(scene, rng, **faults)
        c = score(scene, run_tracker(scene, dets, options))
        c["us"] = cost(scene, dets, options, args.rounds)
        print(line(name, scene, c), flush=True)
    if args.sweep:
        print()
        sweep(args, options)
    if not args.no_chain:
        print("\nthe real chain: rendered clips through track_video(..., track=True):")
        print(HEAD + f" {'fits':>5} {'false fits':>10}")
        with tempfile.TemporaryDirectory() as d:
            for name in [n for n in names if n in ("crossing", "occlusion", "leave", "pan")]:
                rng = np.random.default_rng(args.seed)
                scene = CLIPS[name](rng, args)
                c = chain(scene, Path(d), rng, options, args.rounds)
                print(line(name + " (track_video)", scene, c) + f" {c['dets']:5d} {c['false_fits']:10d}",
                      flush=True)


if __name__ == "__main__":
    main()
