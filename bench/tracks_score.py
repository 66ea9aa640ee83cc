"""Scoring tracks against a clip's truth (the counts of bench_tracks.py), and the cost of
Tracker.update."""

from __future__ import annotations

import math
import time

import numpy as np

import quorvane_tools as qt
from quorvane_tools import tracks

CLOCK = time.process_time
FPS = 25.0


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
