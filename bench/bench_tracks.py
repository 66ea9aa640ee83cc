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
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchutil import cpu_name  # noqa: E402

import quorvane_tools as qt  # noqa: E402
from quorvane_tools import tracks  # noqa: E402

CLOCK = time.process_time
FPS = 25.0


@dataclass
class Scene:
    """Ground truth: ball centres ``pos[frame, ball]`` in frame pixels (may lie outside the
    frame), radii, the frame size, the bar's columns, and for the photograph clip the camera's
    offset in the photograph per frame."""

    name: str
    pos: np.ndarray
    radius: np.ndarray
    size: tuple
    bar: tuple | None = None
    camera: np.ndarray | None = None
    photo: str | None = None

    @property
    def frames(self) -> int:
        return len(self.pos)

    def present(self):
        """Some of the ball is in the frame."""
        w, h = self.size
        x, y = self.pos[..., 0], self.pos[..., 1]
        r = self.radius[None, :]
        return (x >= -r) & (x < w + r) & (y >= -r) & (y < h + r)

    def inside(self):
        """The ball's centre is in the frame."""
        w, h = self.size
        x, y = self.pos[..., 0], self.pos[..., 1]
        return (x >= 0) & (x < w) & (y >= 0) & (y < h)

    def visible(self):
        """The ball's centre is in the frame and not behind the bar."""
        vis = self.inside()
        if self.bar is not None:
            x0, x1 = self.bar
            x = self.pos[..., 0]
            r = self.radius[None, :]
            vis &= ~((x > x0 - r / 2) & (x < x1 + r / 2))
        return vis


# --------------------------------------------------------------------------
# Clips


def _frame_for(speed, frames):
    w = int(max(640, 0.6 * speed * frames)) // 2 * 2
    return w, int(w * 9 / 16) // 2 * 2


def crossing(rng, n=3, r=15.0, speed=6.0, frames=90, curve=0.0, size=None):
    """Balls on lines (arcs with ``curve`` radians per frame) through the frame's centre, each
    passing it within a third of a radius and two frames of the others."""
    w, h = size or _frame_for(speed, frames)
    c = np.array([w / 2, h / 2])
    f = np.arange(frames, dtype=float)
    pos = np.empty((frames, n, 2))
    for k in range(n):
        th = math.pi * (k + rng.uniform(-0.25, 0.25)) / n + rng.choice([0, math.pi])
        fc = frames / 2 + rng.uniform(-2, 2)
        off = rng.uniform(-r / 3, r / 3) * np.array([-math.sin(th), math.cos(th)])
        tau = f - fc
        if abs(curve) < 1e-9:
            d = np.stack([np.cos(th) * tau, np.sin(th) * tau], axis=1) * speed
        else:
            d = (speed / curve) * np.stack([np.sin(th + curve * tau) - math.sin(th),
                                            -(np.cos(th + curve * tau) - math.cos(th))], axis=1)
        pos[:, k] = c + off + d
    radius = r * rng.uniform(0.9, 1.1, n)
    return Scene("crossing", pos, radius, (w, h))


def occlusion(rng, n=3, r=15.0, speed=6.0, frames=90, bar=None, size=None):
    """Balls moving across a vertical bar ``bar`` pixels wide (default three radii) in the
    middle, one above the other, every other one leftwards."""
    w, h = size or _frame_for(speed, frames)
    h = max(h, int((n + 1) * 3 * r)) // 2 * 2
    bar = 3 * r if bar is None else bar
    f = np.arange(frames, dtype=float)
    pos = np.empty((frames, n, 2))
    for k in range(n):
        v = speed * rng.uniform(0.8, 1.2) * (1 if k % 2 == 0 else -1)
        fc = frames / 2 + rng.uniform(-3, 3)
        pos[:, k, 0] = w / 2 + v * (f - fc)
        pos[:, k, 1] = h * (k + 1) / (n + 1) + rng.uniform(-r / 4, r / 4)
    radius = r * rng.uniform(0.9, 1.1, n)
    return Scene("occlusion", pos, radius, (w, h), bar=(w / 2 - bar / 2, w / 2 + bar / 2))


def leave(rng, r=15.0, speed=6.0, frames=90, gap=4, size=None):
    """Ball 0 leaves through the right edge at mid-clip; ball 1 comes in there ``gap`` frames
    later, three radii lower, going left and down; ball 2 crosses the frame meanwhile."""
    w, h = size or _frame_for(speed, frames)
    f = np.arange(frames, dtype=float)
    out = frames / 2
    y0 = h / 2 - 1.5 * r
    pos = np.empty((frames, 3, 2))
    pos[:, 0, 0] = w + r + speed * (f - out)
    pos[:, 0, 1] = y0 + 0.2 * speed * (f - out)
    t_in = out + gap
    pos[:, 1, 0] = w + r - speed * (f - t_in)
    pos[:, 1, 1] = y0 + 3 * r + 0.3 * speed * (f - t_in)
    pos[:, 2, 0] = w / 3 + 0.3 * speed * (f - frames / 2)
    pos[:, 2, 1] = h / 2 + speed * (f - frames / 2)
    return Scene("leave", pos, r * rng.uniform(0.9, 1.1, 3), (w, h))


def bounce(rng, n=10, r=12.0, speed=5.0, frames=300, size=(640, 360)):
    """Balls bouncing off the walls of the frame (passing through each other)."""
    w, h = size
    lo, hi = np.array([r, r]), np.array([w - r, h - r])
    p = rng.uniform(lo, hi, (n, 2))
    ang = rng.uniform(0, 2 * math.pi, n)
    v = speed * rng.uniform(0.7, 1.3, n)[:, None] * np.stack([np.cos(ang), np.sin(ang)], axis=1)
    pos = np.empty((frames, n, 2))
    for k in range(frames):
        pos[k] = p
        p = p + v
        low, high = p < lo, p > hi
        p = np.where(low, 2 * lo - p, np.where(high, 2 * hi - p, p))
        v = np.where(low | high, -v, v)
    return Scene("bounce", pos, r * rng.uniform(0.9, 1.1, n), (w, h))


def pan(rng, n=3, r=14.0, speed=4.0, frames=120, size=(640, 360), photo="rocket"):
    """The camera pans across a scikit-image photograph (scaled up so that it is larger than the
    frame) while balls move in it."""
    w, h = size
    big = (2 * w, 2 * h)
    f = np.arange(frames, dtype=float)
    t = f / max(frames - 1, 1)
    camera = np.stack([(big[0] - w) * t, (big[1] - h) * (0.5 + 0.4 * np.sin(2 * math.pi * t))], axis=1)
    pos = np.empty((frames, n, 2))
    for k in range(n):
        start = camera[0] + np.array([w * (k + 1) / (n + 1), h * rng.uniform(0.25, 0.75)])
        ang = rng.uniform(-0.25, 0.25) + (0 if k % 2 else math.pi)
        world = start + speed * f[:, None] * np.array([math.cos(ang), math.sin(ang)])
        world = world + camera * 0.8  # the balls drift with the camera, slower than it
        pos[:, k] = world - camera
    return Scene("pan", pos, r * rng.uniform(0.9, 1.1, n), (w, h), camera=camera, photo=photo)


# --------------------------------------------------------------------------
# Synthetic detections: what a shape finder gives, with its faults


def detect(scene, rng, drop=0.0, false=0.0, noise=0.03, dup=0.0):
    """Per frame, circle records as find_shapes gives them: integer centres and radii, with
    Gaussian noise (``noise`` radii, plus rounding), each dropped with probability ``drop``;
    of two balls that overlap by more than half, one is found; balls that overlap less are
    pulled towards each other; ``dup`` the chance of a second, smaller fit on a ball; and
    ``false`` false fits per frame on average, anywhere."""
    vis = scene.visible()
    w, h = scene.size
    rmin, rmax = float(scene.radius.min()), float(scene.radius.max())
    out = []
    for k in range(scene.frames):
        idx = np.flatnonzero(vis[k])
        p = scene.pos[k, idx].copy()
        r = scene.radius[idx]
        keep = np.ones(len(idx), bool)
        shift = np.zeros_like(p)
        for a in range(len(idx)):
            for b in range(a + 1, len(idx)):
                d = float(np.hypot(*(p[b] - p[a])))
                reach = r[a] + r[b]
                if d < reach / 2:
                    keep[a if rng.random() < 0.5 else b] = False
                elif d < reach:
                    u = (p[b] - p[a]) / d
                    o = 1 - d / reach
                    shift[a] += u * o * 0.3 * r[a] * rng.random()
                    shift[b] -= u * o * 0.3 * r[b] * rng.random()
        keep &= rng.random(len(idx)) >= drop
        recs = []
        for q, rr, s in zip(p[keep], r[keep], shift[keep]):
            c = q + s + rng.normal(0, noise * rr, 2)
            recs.append(_circle(c[0], c[1], rr * (1 + rng.normal(0, 0.04))))
            if rng.random() < dup:
                a = rng.uniform(0, 2 * math.pi)
                recs.append(_circle(c[0] + 0.3 * rr * math.cos(a), c[1] + 0.3 * rr * math.sin(a), 0.8 * rr))
        for _ in range(rng.poisson(false)):
            recs.append(_circle(rng.uniform(0, w), rng.uniform(0, h), rng.uniform(0.6 * rmin, 1.4 * rmax)))
        order = rng.permutation(len(recs))  # the finder's order says nothing about identity
        out.append([recs[j] for j in order])
    return out


def _circle(x, y, r):
    return {"shape": "circle", "x": int(round(x)), "y": int(round(y)), "r": max(1, int(round(r))),
            "inliers": 50, "warning": None}


# --------------------------------------------------------------------------
# Scoring


def score(scene, steps, log=None):
    """The counts of the module docstring, from the tracks of every frame. As in CLEAR MOT, a
    ball keeps the track it had in the frame before while that track still covers it; the
    others are matched by least total distance. ``log``: a list to append what went wrong to."""
    present, inside, visible = scene.present(), scene.inside(), scene.visible()
    c = dict(gt=int(visible.sum()), miss=0, false=0, switch=0, frag=0, err=[])
    last, owner = {}, {}
    for k, step in enumerate(steps):
        hyps = step["tracks"]
        gts = np.flatnonzero(present[k])
        pairs = []
        if len(hyps) and len(gts):
            hp = np.array([(t["x"], t["y"]) for t in hyps])
            gp = scene.pos[k, gts]
            d2 = ((gp[:, None, :] - hp[None, :, :]) ** 2).sum(axis=2)
            ok = d2 <= (scene.radius[gts] ** 2)[:, None]
            ids = [t["id"] for t in hyps]
            for a, g in enumerate(gts):  # the track of the frame before, if it still covers
                b = ids.index(last[g]) if last.get(g) in ids else -1
                if b >= 0 and ok[a, b]:
                    pairs.append((a, b))
                    ok[a, :] = False
                    ok[:, b] = False
            pairs += tracks.match_pairs([(a, b, float(d2[a, b])) for a, b in zip(*np.nonzero(ok))])
        for g in np.flatnonzero(~inside[k]):
            last.pop(int(g), None)  # a ball that left the frame may come back with a new id
        got_g = {a for a, _ in pairs}
        got_h = {b for _, b in pairs}
        c["miss"] += sum(1 for a, g in enumerate(gts) if visible[k, g] and a not in got_g)
        c["false"] += len(hyps) - len(got_h)
        if log is not None:
            log += [f"frame {k}: false track {t['id']} ({t['state']}) at ({t['x']:.0f}, {t['y']:.0f})"
                    for b, t in enumerate(hyps) if b not in got_h]
        for a, b in pairs:
            g, t = int(gts[a]), hyps[b]
            tid = t["id"]
            if t["state"] == "confirmed":
                c["err"].append(math.dist((t["x"], t["y"]), scene.pos[k, g]))
            if last.get(g) is None:
                if owner.get(tid, g) != g:
                    c["switch"] += 1
                    if log is not None:
                        log.append(f"frame {k}: ball {g} taken by track {tid} of ball {owner[tid]}")
            elif tid != last[g]:
                what = "switch" if owner.get(tid, g) != g else "frag"
                c[what] += 1
                if log is not None:
                    log.append(f"frame {k}: ball {g} went from track {last[g]} to {tid} ({what})")
            owner.setdefault(tid, g)
            last[g] = tid
    c["mota"] = 1 - (c["miss"] + c["false"] + c["switch"]) / max(c["gt"], 1)
    c["err"] = float(np.mean(c["err"])) if c["err"] else float("nan")
    return c


def run_tracker(scene, dets, options):
    tracker = qt.Tracker(frame=scene.size, **options)
    return [tracker.update(d, k / FPS) for k, d in enumerate(dets)]


def cost(scene, dets, options, rounds):
    """Microseconds of process CPU time per Tracker.update, best of ``rounds`` passes."""
    best = math.inf
    for _ in range(rounds):
        tracker = qt.Tracker(frame=scene.size, **options)
        t0 = CLOCK()
        for k, d in enumerate(dets):
            tracker.update(d, k / FPS)
        best = min(best, (CLOCK() - t0) / len(dets))
    return 1e6 * best


# --------------------------------------------------------------------------
# The real chain: rendered clips through track_video(track=True)

ORANGE = np.array([0.93, 0.45, 0.10])
WINDOW = qt.Window((0.15, 0.7), (0.3, 1.0), (0.15, 0.95))


def render(scene, path, rng):
    """The scene as H.264 (MPEG-4 part 2 without libx264): orange balls over textured grass or
    the photograph, the blue bar in front of them."""
    import av

    w, h = scene.size
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    if scene.photo is None:
        grass = np.array([0.25, 0.5, 0.22], np.float32) * (1 + 0.12 * np.sin(x / 7 + y / 11))[..., None]
        base = grass + rng.normal(0, 0.03, (h, w, 3)).astype(np.float32)
        photo = None
    else:
        from skimage import data, transform

        img = getattr(data, scene.photo)()
        big = (int(np.ceil(scene.camera[:, 1].max())) + h + 1, int(np.ceil(scene.camera[:, 0].max())) + w + 1)
        photo = transform.resize(img, big, order=1, anti_aliasing=True).astype(np.float32)
    codec = "libx264" if "libx264" in av.codecs_available else "mpeg4"
    with av.open(str(path), "w") as c:
        s = c.add_stream(codec, rate=int(FPS))
        s.width, s.height, s.pix_fmt, s.bit_rate = w, h, "yuv420p", 4_000_000
        s.options = {"crf": "18", "g": "25"} if codec == "libx264" else {"g": "25"}
        for k in range(scene.frames):
            if photo is not None:
                cx, cy = scene.camera[k]
                ix, iy = int(cx), int(cy)
                img = photo[iy:iy + h, ix:ix + w].copy()
            else:
                img = base.copy()
            for (bx, by), r in zip(scene.pos[k], scene.radius):
                x0, x1 = max(int(bx - r) - 2, 0), min(int(bx + r) + 3, w)
                y0, y1 = max(int(by - r) - 2, 0), min(int(by + r) + 3, h)
                if x0 >= x1 or y0 >= y1:
                    continue
                a = np.clip(r + 0.5 - np.hypot(x[y0:y1, x0:x1] - bx, y[y0:y1, x0:x1] - by), 0, 1)[..., None]
                img[y0:y1, x0:x1] = img[y0:y1, x0:x1] * (1 - a) + ORANGE * a
            if scene.bar is not None:
                img[:, int(scene.bar[0]):int(math.ceil(scene.bar[1]))] = (0.2, 0.3, 0.8)
            rgb = np.clip(img * 255, 0, 255).astype(np.uint8)
            c.mux(s.encode(av.VideoFrame.from_ndarray(rgb, format="rgb24")))
        c.mux(s.encode(None))


def chain(scene, tmp, rng, options, rounds):
    """track_video(track=True) on the rendered scene: (counts, records)."""
    from quorvane_tools import video

    path = tmp / f"{scene.name}.mp4"
    render(scene, path, rng)
    r = scene.radius
    fits = ["circle"] * len(r)
    radius = (max(3, int(r.min() * 0.6)), int(r.max() * 1.5) + 1)
    result = video.track_video(path, WINDOW, fits, radius=radius, seed=1,
                               track=dict(options) if options else True)
    frames = result["frames"]
    dets = [f["shapes"] for f in frames]
    c = score(scene, frames)
    c["us"] = cost(scene, dets, options, rounds)
    c["dets"] = sum(len(d) for d in dets)
    present = scene.present()
    c["false_fits"] = 0
    for k, d in enumerate(dets):
        balls = scene.pos[k, present[k]]
        radii = scene.radius[present[k]]
        for s in d:
            if not len(balls) or (np.hypot(balls[:, 0] - s["x"], balls[:, 1] - s["y"]) > radii).all():
                c["false_fits"] += 1
    return c


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
