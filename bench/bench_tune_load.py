"""`quorvane tune` under load: latencies, threads and memory of the server process.

    python3 bench/bench_tune_load.py [--requests N] [--concurrency C]

Starts `quorvane tune` on the coffee photo scaled to 1920 x 1080 (a process of its own, so
that its threads and memory can be read from /proc), then, over loopback:

1. opens 200 connections that stay idle and one client that sends its request a byte every
   0.2 s, then sends 2,000 requests from 50 clients at once (tests/tuneload.py: four clients in
   five keep their connection alive; one request in twenty is heavy: a fit or a suggestion);
2. sends 20 suggestions at once and reads the server's peak and resident memory after.

Prints the latencies of light and heavy requests, the 503s, the server's thread count (the
most seen while the load ran) and how long the slow client was let go on. The load average is
printed too: the clients and the server share the machine.
"""

import argparse
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import tuneload  # noqa: E402
from benchutil import cpu_name  # noqa: E402

W, H = 1920, 1080


def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def start_server(picture):
    proc = subprocess.Popen([sys.executable, "-m", "quorvane_tools", "tune", str(picture), "--no-browser"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    url = line.rsplit(" ", 1)[1].strip()
    return proc, int(url.rsplit(":", 1)[1].strip("/"))


def ms(v):
    return f"{1000 * v:.1f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--requests", type=int, default=2000)
    ap.add_argument("--concurrency", type=int, default=50)
    args = ap.parse_args()
    import tempfile

    from PIL import Image
    from skimage import data

    with tempfile.TemporaryDirectory() as folder:
        picture = Path(folder) / "coffee-1080p.png"
        Image.fromarray(data.coffee()).resize((W, H), Image.BICUBIC).save(picture)
        proc, port = start_server(picture)
        try:
            threads_idle = status(proc.pid, "Threads")
            idle = tuneload.idle_connections(port, 200)
            time.sleep(0.5)
            threads_200 = status(proc.pid, "Threads")
            slow = tuneload.SlowClient(port, pause=0.2, limit=60).start()
            most, stop = [0], threading.Event()

            def watch():
                while not stop.is_set():
                    most[0] = max(most[0], status(proc.pid, "Threads"))
                    time.sleep(0.01)

            watcher = threading.Thread(target=watch, daemon=True)
            watcher.start()
            load = tuneload.run(port, tuneload.targets(args.requests), args.concurrency)
            stop.set()
            watcher.join()
            slow.join()
            for s in idle:
                s.close()
            box = f"/api/suggest?box={round(250 * W / 600)},{round(120 * H / 400)},{round(70 * W / 600)},{round(40 * H / 400)}"
            rss0 = status(proc.pid, "VmRSS")
            burst = tuneload.run(port, [box] * 20, 20, timeout=120)
            time.sleep(0.5)
            hwm, rss = status(proc.pid, "VmHWM"), status(proc.pid, "VmRSS")
        finally:
            proc.terminate()
            proc.communicate(timeout=30)

    light = sorted(a.seconds for a in load.light())
    heavy = sorted(a.seconds for a in load.heavy() if a.status == 200)
    busy = sum(a.status == 503 for a in load.heavy())
    pick = lambda v, q: v[min(int(q * len(v)), len(v) - 1)]  # noqa: E731
    print(f"\n`quorvane tune` on a {W} x {H} picture, {cpu_name()}, load average {os.getloadavg()[0]:.1f}; "
          f"{len(load.answers)} answers, {len(load.errors)} errors, {load.seconds:.2f} s\n")
    print("| | count | median ms | p99 ms | max ms |")
    print("|---|---|---|---|---|")
    print(f"| light requests | {len(light)} | {ms(pick(light, 0.5))} | {ms(pick(light, 0.99))} | {ms(light[-1])} |")
    if heavy:
        print(f"| heavy requests answered | {len(heavy)} | {ms(pick(heavy, 0.5))} | {ms(pick(heavy, 0.99))} | "
              f"{ms(heavy[-1])} |")
    print(f"| heavy requests refused (503, Retry-After) | {busy} | | | |")
    print(f"\nserver threads: {threads_idle} at rest, {threads_200} with 200 idle connections, at most {most[0]} "
          f"under load; the slow client was cut off after "
          f"{'never' if slow.closed_after is None else f'{slow.closed_after:.1f} s'}")
    answered = sum(a.status == 200 for a in burst.answers)
    print(f"20 suggestions at once: {answered} answered, {len(burst.answers) - answered} refused (503); server memory "
          f"{rss0 / 1024:.0f} MiB before, peak {hwm / 1024:.0f} MiB (over the whole run), {rss / 1024:.0f} MiB after")


if __name__ == "__main__":
    main()
