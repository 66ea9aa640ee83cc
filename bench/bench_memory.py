"""Peak memory of `quorvane probe`, `quorvane find` and one `quorvane tune` suggestion, in bytes
per pixel above the decoded picture itself.

    python3 bench/bench_memory.py [--limit-gb G] [--only NAME]

Pictures: the coffee photo scaled to 1920 x 1080 and to 4000 x 3000 (12 MP), and a strip of
1 x 1,000,000 pixels cut from it, saved as PNG; the box is the one on the crema, scaled (on the
strip, a stretch of its one row). Every measurement runs in a child process of its own: the
child imports everything first and runs the same operation once on a 64 x 64 corner of the
picture (what the commands import on first use is paid once, whatever the size), then
resets its peak resident size (/proc/self/clear_refs) and runs the command (`quorvane_tools.cli.main`, output to /dev/null) or the suggestion
(`TuneApp.suggest` on a TuneApp made beforehand, as `quorvane tune` does at start). The
figure is (peak resident size - resident size before) / pixels, less the 3 bytes a pixel of
the decoded picture for the commands, which read the picture themselves: what they take
beyond the picture. The target is under 30 bytes a pixel. Each child gets an address-space
limit (--limit-gb); a child that runs out prints its error instead. Prints a markdown table.
"""

import argparse
import datetime
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TARGET = 30.0  # bytes per pixel above the picture
PICTURES = {  # name: (width, height)
    "1080p": (1920, 1080),
    "12 MP": (4000, 3000),
    "1 x 1,000,000 strip": (1_000_000, 1),
}
OPERATIONS = ("probe", "find", "tune suggestion")


def _status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {key} in /proc/self/status")


def make_picture(name, folder):
    """The picture as a PNG file, and the box on the crema in its pixels."""
    import numpy as np
    from PIL import Image
    from skimage import data

    w, h = PICTURES[name]
    coffee = Image.fromarray(data.coffee())  # 600 x 400; the crema box is 250 120 70 40
    path = Path(folder) / f"{w}x{h}.png"
    if h == 1:
        row = np.asarray(coffee.resize((w, 400), Image.BILINEAR))[140:141]  # through the crema
        Image.fromarray(np.ascontiguousarray(row)).save(path, compress_level=1)
        box = (round(250 * w / 600), 0, round(70 * w / 600), 1)
    else:
        coffee.resize((w, h), Image.BICUBIC).save(path, compress_level=1)
        box = (round(250 * w / 600), round(120 * h / 400), round(70 * w / 600), round(40 * h / 400))
    return path, box


def child(op, path, box, limit_gb):
    """Runs in the child: one measurement, printed as JSON."""
    if limit_gb:
        cap = int(limit_gb * 2**30)
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    import numpy as np
    from PIL import Image

    import quorvane_tools as qt
    from quorvane_tools import cli, draw  # noqa: F401
    from quorvane_tools.tune.server import TuneApp

    box = [int(v) for v in box.split(",")]

    def run(picture, box):
        if op == "tune suggestion":
            app.suggest({"box": ",".join(map(str, box))})
            return 0
        argv = [op, str(picture), "--box", *map(str, box)]
        if op == "find":
            argv += ["--fit", "ellipse", "--fit", "circle"]
        return cli.main(argv)

    # The same operation once on a small picture first: what it imports on first use (the
    # commands load their modules lazily) is paid once, whatever the picture's size.
    small = Path(path).with_name("warm-up.png")
    corner = np.asarray(Image.open(path).convert("RGB"))[:64, :64].copy()
    Image.fromarray(corner).save(small)
    app = TuneApp(qt.load_image(small), "warm-up.png") if op == "tune suggestion" else None
    with open(os.devnull, "w") as devnull:
        saved, sys.stdout = sys.stdout, devnull
        try:
            run(small, (0, 0, min(16, corner.shape[1]), min(16, corner.shape[0])))
        finally:
            sys.stdout = saved
    if op == "tune suggestion":
        app = TuneApp(qt.load_image(path), os.path.basename(path))
        app.picture()
    with open(os.devnull, "w") as devnull:
        saved = sys.stdout
        sys.stdout = devnull
        try:
            before = _status("VmRSS")
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # the peak starts again from here
            t0 = time.process_time()
            error = None
            try:
                rc = run(path, box)
            except MemoryError:
                rc, error = 1, "MemoryError"
            cpu = time.process_time() - t0
            peak = _status("VmHWM")
        finally:
            sys.stdout = saved
    print(json.dumps({"before": before, "peak": peak, "cpu": cpu, "rc": rc, "error": error}))


def measure(op, path, box, limit_gb):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", op, str(path), ",".join(map(str, box)),
           "--limit-gb", str(limit_gb)]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=3600)
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        return {"error": (done.stderr.strip().splitlines() or ["died"])[-1][:80]}
    return json.loads(lines[-1])


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        ap = argparse.ArgumentParser()
        ap.add_argument("--child", nargs=3)
        ap.add_argument("--limit-gb", type=float, default=0)
        a = ap.parse_args()
        return child(*a.child, a.limit_gb)
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--limit-gb", type=float, default=12.0, help="address-space limit of each child (0: none)")
    ap.add_argument("--only", choices=list(PICTURES), action="append", help="only this picture (repeatable)")
    args = ap.parse_args()
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from benchutil import cpu_name

    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for name in args.only or PICTURES:
            path, box = make_picture(name, folder)
            w, h = PICTURES[name]
            n = w * h
            cells = [name, f"{n / 1e6:.2f} MP"]
            for op in OPERATIONS:
                r = measure(op, path, box, args.limit_gb)
                if r.get("error"):
                    cells.append(f"fails ({r['error']})")
                    continue
                above = (r["peak"] - r["before"]) - (0 if op == "tune suggestion" else 3 * n)
                flag = "" if above / n < TARGET else " (over)"
                cells.append(f"{above / n:.1f} B/px, {r['cpu']:.2f} s{flag}")
                print(f"{name}: {op}: peak {r['peak'] / 2**20:.0f} MiB, before {r['before'] / 2**20:.0f} MiB, "
                      f"cpu {r['cpu']:.2f} s, status {r['rc']}", file=sys.stderr, flush=True)
            rows.append(cells)
    print(f"\nPeak memory above the decoded picture (target under {TARGET:.0f} B/px) and CPU time; "
          f"{cpu_name()}, Python {sys.version.split()[0]}, {datetime.date.today()}, "
          f"load average {os.getloadavg()[0]:.1f}\n")
    print("| picture | pixels | " + " | ".join(OPERATIONS) + " |")
    print("|---|---|" + "---|" * len(OPERATIONS))
    for cells in rows:
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
