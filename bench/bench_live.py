"""Latency and frames per second of quorvane live on a loopback MJPEG stream, beside OpenCV.

A server process sends an MJPEG stream over HTTP on 127.0.0.1 (an orange ball whose place spells
the frame number, tests/livestreams.py) at 30 or 60 frames a second, 640x480 or 1280x720. Two
consumers read it, each in its own process pinned to one core (the server and this script on
the other):

  quorvane live   the command, records read from its standard output
  OpenCV          cv2.VideoCapture on the same URL, cvtColor to HSV, inRange, HoughCircles,
                  one JSON line per frame (cv2.setNumThreads(1))

For every record: the added latency (frame decoded to record written: quorvane's own
"latency_ms"; for OpenCV, from cap.read() returning to the line written) and the end-to-end
latency (the frame leaving the server, by its number read from the pixels, to the line
arriving here). Frames/s are records per second; "missed" counts frames the server sent that
no record shows. CPU ms/record is the consumer's process CPU time per record after its first
second (start-up left out). Best of
--rounds interleaved runs (by p99 of the added latency: the tail is what other work on the
machine disturbs).

    python bench/bench_live.py                      # 6 s per run, 3 rounds
    python bench/bench_live.py --seconds 10 --rounds 5
    python bench/bench_live.py --slow-only          # the slow consumer alone

First, a consumer slower than the camera: the Python twin with 100 ms of its own work per record
on the 640x480 stream at 30 frames/s; end to end runs from the frame leaving the server to the
consumer holding its record, which should stay within one frame time plus the search.

Needs quorvane[live] and opencv-python-headless.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))
from benchutil import cpu_name  # noqa: E402

CONFIGS = [((640, 480), 30), ((640, 480), 60), ((1280, 720), 30), ((1280, 720), 60)]


def _cpu(pid) -> float:
    """Seconds of CPU time (user + system) a process has used so far, all its threads."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _pin(cpu):
    def f():
        if hasattr(os, "sched_setaffinity") and cpu in os.sched_getaffinity(0):
            os.sched_setaffinity(0, {cpu})
    return f


# --------------------------------------------------------------------------
# The server process


def serve(fps, size, seconds, out):
    from livestreams import MjpegServer

    with MjpegServer(fps=fps, size=size, limit=seconds + 30) as s:
        print(s.url, flush=True)
        sys.stdin.readline()  # until the bench says stop
        with open(out, "w") as f:
            json.dump({str(k): v for k, v in s.sent.items()}, f)


# --------------------------------------------------------------------------
# The OpenCV consumer


def opencv(url, size, count):
    import cv2

    from livestreams import ball_at

    cv2.setNumThreads(1)
    _, _, r = ball_at(0, size)
    cap = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    if not cap.isOpened():
        sys.exit(f"OpenCV cannot open {url}")
    lo, hi = np.array([5, 120, 100], np.uint8), np.array([25, 255, 255], np.uint8)
    out = sys.stdout
    for k in range(count):
        ok, bgr = cap.read()
        if not ok:
            break
        t0 = time.perf_counter()
        hsv = cv2.cvtColor(bgr, cv2.COLOR_BGR2HSV)
        mask = cv2.inRange(hsv, lo, hi)
        circles = cv2.HoughCircles(mask, cv2.HOUGH_GRADIENT, dp=1.5, minDist=4 * r, param1=100,
                                   param2=12, minRadius=max(r - 5, 1), maxRadius=r + 10)
        shapes = []
        if circles is not None:
            x, y, rr = circles[0][0]
            shapes = [{"shape": "circle", "x": float(x), "y": float(y), "r": float(rr)}]
        rec = {"frame": k, "shapes": shapes}
        rec["latency_ms"] = round((time.perf_counter() - t0) * 1e3, 3)
        out.write(json.dumps(rec) + "\n")
        out.flush()


# --------------------------------------------------------------------------
# A slow consumer: the Python twin, 100 ms of the consumer's own work per record


def twin(url, size, count, work):
    import quorvane_tools as qt

    from livestreams import WINDOW, ball_at

    _, _, r = ball_at(0, size)
    w = qt.Window(*(tuple(map(float, WINDOW[k + 1:k + 3])) for k in (0, 3, 6)))
    with qt.live(url, w, ["circle"], radius=(max(r - 5, 1), r + 10)) as stream:
        for k, rec in enumerate(stream):
            rec["got"] = time.monotonic()  # when the consumer has the record
            sys.stdout.write(json.dumps(rec) + "\n")
            sys.stdout.flush()
            if k + 1 >= count:
                break
            time.sleep(work)  # the consumer's own work


def slow_run(size, fps, seconds, work=0.1):
    from livestreams import number_of

    sent_file = Path(f"/tmp/bench_live_sent_{os.getpid()}.json")
    server = subprocess.Popen([sys.executable, __file__, "--serve", str(fps), f"{size[0]}x{size[1]}",
                               str(seconds), str(sent_file)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, preexec_fn=_pin(1))
    url = server.stdout.readline().strip()
    count = int(seconds / work)
    consumer = subprocess.run([sys.executable, __file__, "--twin", url, f"{size[0]}x{size[1]}",
                               str(count), str(work)], capture_output=True, text=True,
                              preexec_fn=_pin(0), timeout=seconds + 60)
    server.stdin.write("\n")
    server.stdin.flush()
    server.wait(10)
    sent = sorted((int(k), v) for k, v in json.loads(sent_file.read_text()).items())
    sent_file.unlink()
    recs = [json.loads(line) for line in consumer.stdout.splitlines()][5:]  # past the start
    ends, waits = [], []
    for rec in recs:
        if rec["shapes"]:
            n = number_of(rec["shapes"][0]["x"], rec["shapes"][0]["y"], size)
            k, s = [(k, s) for k, s in sent if k % 200 == n and s <= rec["got"]][-1]
            ends.append((rec["got"] - s) * 1e3)
        waits.append(rec["stages_ms"]["wait"])
    return {"records": len(recs), "e2e50": float(np.percentile(ends, 50)),
            "e2e99": float(np.percentile(ends, 99)), "e2emax": max(ends),
            "wait99": float(np.percentile(waits, 99)), "added99": float(np.percentile([r["latency_ms"] for r in recs], 99)),
            "dropped": recs[-1]["dropped"] - recs[0]["dropped"]}


# --------------------------------------------------------------------------
# One run


def one_run(kind, size, fps, seconds):
    from livestreams import ball_at, number_of

    sent_file = Path(f"/tmp/bench_live_sent_{os.getpid()}.json")
    server = subprocess.Popen([sys.executable, __file__, "--serve", str(fps), f"{size[0]}x{size[1]}",
                               str(seconds), str(sent_file)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, preexec_fn=_pin(1))
    url = server.stdout.readline().strip()
    _, _, r = ball_at(0, size)
    count = int(seconds * fps * 2)
    if kind == "quorvane":
        from livestreams import WINDOW

        argv = ["quorvane", "live", url, *WINDOW, "--fit", "circle", "--radius", str(max(r - 5, 1)),
                str(r + 10), "--stop-after", str(count)]
    else:
        argv = [sys.executable, __file__, "--opencv", url, f"{size[0]}x{size[1]}", str(count)]
    consumer = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                preexec_fn=_pin(0))
    arrived = []
    start = cpu0 = cpu1 = None
    try:
        for line in consumer.stdout:
            now = time.monotonic()
            if start is None:
                start = now
            if cpu0 is None and now - start >= 1.0:
                cpu0 = _cpu(consumer.pid)  # the steady state: after start-up
            arrived.append((now, json.loads(line)))
            if now - start >= seconds:
                cpu1 = _cpu(consumer.pid)
                break
    finally:
        consumer.terminate()
        consumer.wait(10)
        server.stdin.write("\n")
        server.stdin.flush()
        server.wait(10)
    sent = {int(k): v for k, v in json.loads(sent_file.read_text()).items()}
    sent_file.unlink()
    # Skip the first second (start-up, probing), then read each record's frame from its ball.
    recs = [(t, rec) for t, rec in arrived if t - start >= 1.0]
    added, ends, numbers = [], [], []
    by_number = sorted(sent.items())
    for t, rec in recs:
        added.append(rec["latency_ms"])
        if not rec["shapes"]:
            continue
        n = number_of(rec["shapes"][0]["x"], rec["shapes"][0]["y"], size)
        # The latest frame sent before t whose number is n modulo 200.
        cands = [(k, s) for k, s in by_number if k % 200 == n and s <= t]
        if cands:
            k, s = cands[-1]
            numbers.append(k)
            ends.append((t - s) * 1e3)
    span = recs[-1][0] - recs[0][0] if len(recs) > 1 else float("nan")
    sent_in_span = sum(1 for _, s in sent.items() if recs and recs[0][0] - 0.05 <= s <= recs[-1][0])
    return {
        "p50": float(np.percentile(added, 50)), "p99": float(np.percentile(added, 99)),
        "e2e50": float(np.percentile(ends, 50)) if ends else float("nan"),
        "e2e99": float(np.percentile(ends, 99)) if ends else float("nan"),
        "fps": (len(recs) - 1) / span, "missed": max(sent_in_span - len(set(numbers)), 0),
        "found": len(ends) / max(len(recs), 1), "cpu_ms": (cpu1 - cpu0) * 1e3 / max(len(recs), 1),
        "records": len(recs),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=6.0)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--serve", nargs=4, help=argparse.SUPPRESS)
    ap.add_argument("--opencv", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--twin", nargs=4, help=argparse.SUPPRESS)
    ap.add_argument("--slow-only", action="store_true", help="only the slow consumer")
    args = ap.parse_args()
    if args.twin:
        url, size, count, work = args.twin
        return twin(url, tuple(map(int, size.split("x"))), int(count), float(work))
    if args.serve:
        fps, size, seconds, out = args.serve
        return serve(float(fps), tuple(map(int, size.split("x"))), float(seconds), out)
    if args.opencv:
        url, size, count = args.opencv
        return opencv(url, tuple(map(int, size.split("x"))), int(count))

    import av
    import cv2

    print(f"{cpu_name()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"PyAV {av.__version__}, OpenCV {cv2.__version__}; {datetime.date.today()}; "
          f"load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    slow = slow_run((640, 480), 30, max(args.seconds, 6.0))
    print(f"slow consumer (Python twin, 100 ms of work per record), 640x480 at 30 frames/s: "
          f"{slow['records']} records, end to end p50 {slow['e2e50']:.1f} ms, p99 {slow['e2e99']:.1f} ms, "
          f"worst {slow['e2emax']:.1f} ms; wait in the slot p99 {slow['wait99']:.2f} ms; added latency "
          f"p99 {slow['added99']:.2f} ms; {slow['dropped']} frames dropped", flush=True)
    if args.slow_only:
        return
    best = {}
    for rnd in range(args.rounds):
        for size, fps in CONFIGS:
            for kind in ("quorvane", "OpenCV"):
                res = one_run(kind, size, fps, args.seconds)
                key = (kind, size, fps)
                if key not in best or res["p99"] < best[key]["p99"]:
                    best[key] = res
                print(f"  round {rnd + 1}: {kind:8s} {size[0]}x{size[1]} @{fps}: "
                      f"p50 {res['p50']:.2f} p99 {res['p99']:.2f} ms, {res['fps']:.1f} frames/s", flush=True)
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print()
    print("| stream | consumer | added latency p50 / p99 (ms) | end to end p50 / p99 (ms) "
          "| records/s | frames not searched | ball found | CPU ms per record |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for size, fps in CONFIGS:
        for kind in ("quorvane", "OpenCV"):
            r = best[(kind, size, fps)]
            print(f"| {size[0]}x{size[1]} at {fps} | {'`quorvane live`' if kind == 'quorvane' else kind} "
                  f"| {r['p50']:.2f} / {r['p99']:.2f} | {r['e2e50']:.1f} / {r['e2e99']:.1f} "
                  f"| {r['fps']:.1f} | {r['missed']} | {100 * r['found']:.0f}% | {r['cpu_ms']:.2f} |")


if __name__ == "__main__":
    main()
