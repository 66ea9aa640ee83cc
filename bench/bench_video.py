"""Frames per second of quorvane video on a 1080p H.264 clip that the benchmark makes itself.

Contenders, each on the same clip (an orange ball on a known path over textured grass, passing
behind a blue bar), in interleaved rounds (every contender once per round, best of --rounds):

  decode                  PyAV decoding alone (as quorvane video decodes: FFmpeg's own threads)
  decode + RGB            the same, plus the conversion of every frame to an RGB array
  quorvane, 1 process     track_video in this process: records only
  quorvane, 1 process + --out   the same, drawing and encoding the annotated video (the
                          encoder on a thread of its own, as quorvane video runs it)
  ... + --out, encoder on the same thread   the encoder called in line, for comparison
  quorvane, Dask 2 workers      a LocalCluster of two worker processes (started before the clock)
  OpenCV                  cv2.VideoCapture, cvtColor to HSV, inRange, HoughCircles on the mask

Each row gives frames per second by the wall clock and the process's CPU time per frame (all
its threads; the Dask rows count only this process, not the workers). Then one pass with a
stopwatch on every stage (decode, RGB, mask, edges, denoise, fit, annotate, conversion to
YUV 4:2:0, encode), in milliseconds per frame, how close each pipeline's ball is to the truth,
and the CPU time of drawing one annotated frame on bands of rows against the whole frame.

    python bench/bench_video.py                 # 180 frames, 3 rounds
    python bench/bench_video.py --frames 240 --rounds 5 --no-dask

Needs quorvane[video,dask] and opencv-python-headless (the bench extra). The processes are not
pinned to a core: decoding, encoding, Dask and OpenCV all use what the machine has.
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
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchutil import cpu_name  # noqa: E402

import av  # noqa: E402

import quorvane_tools as qt  # noqa: E402
from quorvane_tools import video  # noqa: E402

W, H, FPS, R = 1920, 1080, 30, 40
BAR = (1150, 1200)
WINDOW = qt.Window((0.15, 0.7), (0.3, 1.0), (0.15, 0.95))
RADIUS = (20, 80)


def ball(i, n):
    t = i / max(n - 1, 1)
    return 60 + 1800 * t, 540 + 300 * math.sin(2 * math.pi * t)


def make_clip(path, n, gop):
    """n frames of 1080p H.264 (libx264, veryfast, crf 20, a keyframe every `gop` frames)."""
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:H, 0:W].astype(np.float32)
    grass = np.array([0.25, 0.5, 0.22], np.float32) * (1 + 0.12 * np.sin(x / 7 + y / 11))[..., None]
    grass += rng.normal(0, 0.03, (H, W, 3)).astype(np.float32)
    grass[:, BAR[0] : BAR[1]] = (0.2, 0.3, 0.8)
    base = np.clip(grass * 255, 0, 255).astype(np.uint8)
    bar = base[:, BAR[0] : BAR[1]].copy()
    orange = np.array([0.93, 0.45, 0.10], np.float32) * 255
    with av.open(str(path), "w") as c:
        s = c.add_stream("libx264", rate=FPS)
        s.width, s.height, s.pix_fmt = W, H, "yuv420p"
        s.options = {"preset": "veryfast", "crf": "20", "g": str(gop)}
        for i in range(n):
            img = base.copy()
            bx, by = ball(i, n)
            x0, x1 = max(int(bx) - R - 2, 0), min(int(bx) + R + 3, W)
            y0, y1 = max(int(by) - R - 2, 0), min(int(by) + R + 3, H)
            yy, xx = np.mgrid[y0:y1, x0:x1]
            a = np.clip(R + 0.5 - np.hypot(xx - bx, yy - by), 0, 1)[..., None]
            img[y0:y1, x0:x1] = np.rint(img[y0:y1, x0:x1] * (1 - a) + orange * a).astype(np.uint8)
            img[:, BAR[0] : BAR[1]] = bar
            c.mux(s.encode(av.VideoFrame.from_ndarray(img, format="rgb24")))
        c.mux(s.encode(None))


def timed(fn):
    """(wall seconds, process CPU seconds, result) of one call."""
    w0, c0 = time.perf_counter(), time.process_time()
    out = fn()
    return time.perf_counter() - w0, time.process_time() - c0, out


def decode(path, rgb):
    n = 0
    with av.open(str(path)) as c:
        s = c.streams.video[0]
        s.thread_type = "AUTO"
        for f in c.decode(s):
            if rgb:
                f.to_ndarray(format="rgb24")
            n += 1
    return n


def opencv(path):
    import cv2

    cap = cv2.VideoCapture(str(path))
    found = []
    while True:
        ok, bgr = cap.read()
        if not ok:
            break
        hsv = cv2.cvtColor(bgr, cv2.COLOR_BGR2HSV)
        mask = cv2.inRange(hsv, (5, 100, 60), (25, 255, 250))
        c = cv2.HoughCircles(mask, cv2.HOUGH_GRADIENT, dp=2, minDist=2000, param1=100, param2=20,
                             minRadius=RADIUS[0], maxRadius=RADIUS[1])
        found.append(None if c is None else tuple(float(v) for v in c[0, 0]))
    cap.release()
    return found


def stages(path, n, tmp):
    """One pass over the clip with a stopwatch on every stage, the encoder in line; ms per frame."""
    from quorvane_tools.draw import annotate_into

    t = dict.fromkeys(("decode", "rgb", "bounds", "mask", "edges", "denoise", "fit", "remove",
                       "annotate", "yuv", "encode"), 0.0)
    enc = video._Encoder(str(tmp / "stages.mp4"), video.pick_codec(), FPS, (W, H), threaded=False)
    clock = time.perf_counter
    with av.open(str(path)) as c:
        s = c.streams.video[0]
        s.thread_type = "AUTO"
        frames = c.decode(s)
        k = 0
        while True:
            t0 = clock()
            f = next(frames, None)
            if f is None:
                break
            t1 = clock()
            rgb = f.to_ndarray(format="rgb24")
            t2 = clock()
            found = qt.find_shapes(rgb, WINDOW, ["circle"], radius=RADIUS, seed=video.frame_seed(1, k))
            t3 = clock()
            pic = annotate_into(rgb, found)
            t4 = clock()
            frame = enc._frame(pic)
            t5 = clock()
            frame.pts, frame.time_base = k, enc.tb
            enc.container.mux(enc.stream.encode(frame))
            t6 = clock()
            t["decode"] += t1 - t0
            t["rgb"] += t2 - t1
            for key, v in found.times.items():
                if key in t:
                    t[key] += v
            t["annotate"] += t4 - t3
            t["yuv"] += t5 - t4
            t["encode"] += t6 - t5
            k += 1
    enc.close()
    return {key: 1e3 * v / n for key, v in t.items()}


def drawing(path, rounds=20):
    """ms of process CPU time (best of `rounds`) to draw one frame of the clip: annotate (a copy,
    as for a picture), annotate_into (on the frame itself, as quorvane video does) and annotate
    with every band of rows the whole frame (what drawing the whole picture through Pillow costs)."""
    from quorvane_tools import draw

    with av.open(str(path)) as c:
        for k, f in enumerate(c.decode(video=0)):
            if k == 40:
                rgb = f.to_ndarray(format="rgb24")
                break
    found = qt.find_shapes(rgb, WINDOW, ["circle"], radius=RADIUS, seed=1)

    def best(fn):
        t = float("inf")
        for _ in range(rounds):
            frame = rgb.copy()
            c0 = time.process_time()
            fn(frame)
            t = min(t, time.process_time() - c0)
        return 1e3 * t

    out = {"annotate (a copy, bands of rows)": best(lambda f: qt.annotate(f, found)),
           "annotate_into (the frame itself)": best(lambda f: draw.annotate_into(f, found))}
    margin = draw.MARGIN
    draw.MARGIN = 1 << 30
    try:
        out["annotate, the whole frame through Pillow"] = best(lambda f: qt.annotate(f, found))
    finally:
        draw.MARGIN = margin
    return out


def error(centres, n):
    """Mean and worst distance (px) of found centres to the truth over frames where the ball is
    clear of the bar; and the count of such frames where nothing was found."""
    d, missed = [], 0
    for i, c in enumerate(centres):
        bx, by = ball(i, n)
        if not (bx + R + 1 < BAR[0] or bx - R - 1 > BAR[1] - 1) or bx < R + 1 or bx > W - R - 2:
            continue
        if c is None:
            missed += 1
        else:
            d.append(math.dist(c[:2], (bx, by)))
    return (float(np.mean(d)) if d else float("nan")), (max(d) if d else float("nan")), missed


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=180, help="frames in the clip (default 180)")
    ap.add_argument("--gop", type=int, default=30, help="frames between keyframes (default 30)")
    ap.add_argument("--rounds", type=int, default=3, help="timed rounds per contender (best counts)")
    ap.add_argument("--no-dask", action="store_true", help="leave out the Dask rows")
    ap.add_argument("--no-opencv", action="store_true", help="leave out the OpenCV row")
    args = ap.parse_args()
    n = args.frames
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        path = tmp / "clip.mp4"
        t0 = time.perf_counter()
        make_clip(path, n, args.gop)
        print(f"clip: {n} frames 1920 x 1080 H.264 (libx264 veryfast, crf 20, keyframe every "
              f"{args.gop}), {path.stat().st_size / 1e6:.1f} MB, "
              f"made in {time.perf_counter() - t0:.1f} s")
        load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
        print(f"machine: {cpu_name()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
              f"PyAV {av.__version__}; {datetime.date.today()}; load average {load:.1f} at the start")

        run = lambda **kw: video.track_video(path, WINDOW, ["circle"], radius=RADIUS, **kw)  # noqa: E731

        def in_line(**kw):  # the encoder called on the search's thread
            video._Encoder.THREADED = False
            try:
                return run(**kw)
            finally:
                video._Encoder.THREADED = True

        contenders = {
            "decode": lambda: decode(path, False),
            "decode + RGB": lambda: decode(path, True),
            "quorvane video, 1 process": run,
            "quorvane video, 1 process, --out": lambda: run(out=tmp / "out.mp4"),
            "  the same, encoder on the same thread": lambda: in_line(out=tmp / "out1.mp4"),
        }
        cluster = client = None
        if not args.no_dask:
            from distributed import Client, LocalCluster

            cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address="127.0.0.1:0", silence_logs=40)
            client = Client(cluster)
            client.run(lambda: __import__("quorvane_tools.video"))  # imports done before the clock
            contenders["quorvane video, Dask 2 workers"] = lambda: run(client=client)
            contenders["quorvane video, Dask 2 workers, --out"] = lambda: run(client=client, out=tmp / "o2.mp4")
        cv2 = None
        if not args.no_opencv:
            try:
                import cv2
            except ImportError:
                print("  OpenCV: not installed (pip install opencv-python-headless)")
            else:
                contenders[f"OpenCV {cv2.__version__} HSV + inRange + Hough"] = lambda: opencv(path)
        best = {name: (float("inf"), float("inf")) for name in contenders}
        results = {}
        try:
            for _ in range(args.rounds):
                for name, fn in contenders.items():
                    wall, cpu, out = timed(fn)
                    best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
                    results[name] = out
        finally:
            if client is not None:
                client.close()
                cluster.close()

        notes = {}
        records = results["quorvane video, 1 process"]
        centres = [(s[0]["x"], s[0]["y"]) if s else None for s in (f["shapes"] for f in records["frames"])]
        mean, worst, missed = error(centres, n)
        notes["quorvane video, 1 process"] = f"ball: mean {mean:.2f} px, worst {worst:.2f} px, missed {missed}"
        for name in ("quorvane video, 1 process, --out", "quorvane video, Dask 2 workers"):
            if name in results:
                notes[name] = "same records" if results[name] == records else "RECORDS DIFFER"
        for name, out in results.items():
            if name.startswith("OpenCV"):
                mean, worst, missed = error(out, n)
                notes[name] = f"ball: mean {mean:.2f} px, worst {worst:.2f} px, missed {missed}"
        for name, (wall, cpu) in best.items():
            print(f"  {name:42} {n / wall:7.1f} frames/s  {1e3 * cpu / n:6.2f} ms CPU/frame  "
                  f"{notes.get(name, '')}", flush=True)
        ratio = best["quorvane video, 1 process, --out"][0] / best["quorvane video, 1 process"][0]
        print(f"  --out takes {ratio:.2f}x the time of records alone, "
              f"{best['quorvane video, 1 process, --out'][0] / best['decode'][0]:.2f}x that of decoding alone")

        st = stages(path, n, tmp)
        total = sum(st.values())
        print("\nwhere the time goes (one process, --out, the encoder in line; ms per frame):")
        for k, v in st.items():
            print(f"  {k:9} {v:7.2f}  {100 * v / total:5.1f}%")
        print(f"  {'total':9} {total:7.2f}")

        print("\ndrawing one annotated frame (ms of CPU, best of 20):")
        for k, v in drawing(path).items():
            print(f"  {k:42} {v:6.2f}")

        print("\n| pipeline | frames/s | CPU ms/frame |\n|---|---:|---:|")
        for name, (wall, cpu) in best.items():
            print(f"| {name.strip()} | {n / wall:.1f} | {1e3 * cpu / n:.2f} |")


if __name__ == "__main__":
    main()
