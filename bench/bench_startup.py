"""Start-up of the quorvane command against the imports any picture tool pays.

Each command runs in a child process, the contenders interleaved, best of --rounds by the wall
clock and by the child's CPU time (user + system, from the operating system's accounting of
the finished child):

  python -c "import numpy, PIL.Image"      the floor: NumPy and Pillow, which every command needs
  quorvane --help                          the parser with every subcommand
  quorvane find --help
  quorvane find PICTURE --hue ... --fit ellipse   a 600 x 400 photograph (scikit-image's coffee,
  quorvane find PICTURE --box ... --fit ellipse   or a made-up one without scikit-image) from
  quorvane probe PICTURE --box ...                disk; --box suggests the window (more work)

For the commands that work on the picture, the command's own work is timed as well, in this
process once it has run it a first time; the wall time less that work is the start-up. Each row
also says which heavy modules the command imported (SciPy, Dask, PyAV, OpenCV, paho-mqtt, the
tune server, the video and live modules...), which should be none. The package's modules are
compiled first (an installed package has its .pyc files; PYTHONDONTWRITEBYTECODE would
otherwise make every child compile them).

    python bench/bench_startup.py               # 15 rounds, interleaved
    python bench/bench_startup.py --rounds 30
"""

from __future__ import annotations

import argparse
import compileall
import datetime
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchutil import cpu_name  # noqa: E402

HEAVY = ("scipy", "dask", "distributed", "av", "cv2", "paho", "selenium", "skimage",
         "quorvane_tools.tune.server", "quorvane_tools.video", "quorvane_tools.live",
         "quorvane_tools.tracks")

# Prints the heavy modules a command left imported (run in the child, after the command).
REPORT = ("import atexit, sys\n"
          "def _report():\n"
          f"    heavy = sorted({{m.split('.')[0] if not m.startswith('quorvane_tools') else m "
          f"for m in sys.modules if m in {HEAVY!r} or m.split('.')[0] in {HEAVY!r}}})\n"
          "    sys.__stderr__.write('HEAVY:' + ','.join(heavy) + '\\n')\n"
          "atexit.register(_report)\n")


def quorvane_command() -> list:
    script = Path(sys.executable).with_name("quorvane")
    if script.exists():
        return [sys.executable, str(script)]
    found = shutil.which("quorvane")
    return [sys.executable, found] if found else [sys.executable, "-m", "quorvane_tools"]


def picture(folder: Path) -> Path:
    import numpy as np
    from PIL import Image

    try:
        from skimage import data

        img = data.coffee()
    except ImportError:  # a cup-like ellipse on a gradient
        y, x = np.mgrid[0:400, 0:600]
        img = np.stack([x * 255 // 600, y * 255 // 400, np.full_like(x, 90)], -1).astype(np.uint8)
        img[((x - 285) / 60.0) ** 2 + ((y - 140) / 35.0) ** 2 < 1] = (200, 120, 60)
    path = folder / "coffee.png"
    Image.fromarray(img).save(path)
    return path


def run(argv):
    """(wall seconds, child CPU seconds) of one child process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, argv))} failed ({done.returncode}): {done.stderr.strip()[-400:]}")
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def heavy_modules(argv) -> list:
    """The heavy modules left imported by the command (run once more, with a report at exit)."""
    if argv[1] == "-c":
        code = REPORT + argv[2]
    else:
        code = REPORT + f"import runpy, sys; sys.argv = {argv[1:]!r}; runpy.run_path(sys.argv[0], run_name='__main__')"
    done = subprocess.run([argv[0], "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in done.stderr.splitlines():
        if line.startswith("HEAVY:"):
            return [m for m in line[6:].split(",") if m]
    raise SystemExit(f"no report from {argv}: {done.stderr.strip()[-400:]}")


def warm(args) -> float:
    """Seconds of one run of the command in this process (its own work, once it has run here)."""
    import contextlib
    import io

    from quorvane_tools import cli

    t0 = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        try:
            cli.main(args)
        except SystemExit:
            pass
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=15, help="rounds (best counts; default 15)")
    args = ap.parse_args()
    q = quorvane_command()
    compileall.compile_dir(str(Path(quorvane_tools_dir())), quiet=1)  # as an installed package has them
    with tempfile.TemporaryDirectory() as d:
        pic = str(picture(Path(d)))
        box = ["--box", "250", "120", "70", "40"]
        window = ["--hue", "0.2004", "0.6111", "--chroma", "0.4428", "0.646", "--intensity", "0.1945", "0.6287"]
        fit = ["--fit", "ellipse", "--radius", "20", "150"]
        contenders = {
            'python -c "import numpy, PIL.Image"': [sys.executable, "-c", "import numpy, PIL.Image"],
            "quorvane --help": [*q, "--help"],
            "quorvane find --help": [*q, "find", "--help"],
            "quorvane find coffee.png --hue ... --fit ellipse": [*q, "find", pic, *window, *fit],
            "quorvane find coffee.png --box ... --fit ellipse": [*q, "find", pic, *box, *fit],
            "quorvane probe coffee.png --box ...": [*q, "probe", pic, *box],
        }
        load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
        print(f"machine: {cpu_name()}, {os.cpu_count()} cores, Python {platform.python_version()}; "
              f"{datetime.date.today()}; load average {load:.1f} at the start")
        print(f"command: {' '.join(q)}")
        heavy = {name: heavy_modules(argv) for name, argv in contenders.items()}
        ours = {name: argv[len(q):] for name, argv in contenders.items() if argv[:len(q)] == q}
        for name, argv in contenders.items():  # warm the file cache, and this process
            run(argv)
            if name in ours:
                warm(ours[name])
        best = {name: [float("inf"), float("inf")] for name in contenders}
        work = dict.fromkeys(ours, float("inf"))
        for _ in range(args.rounds):  # each command, then its work here, side by side
            for name, argv in contenders.items():
                wall, cpu = run(argv)
                best[name][0] = min(best[name][0], wall)
                best[name][1] = min(best[name][1], cpu)
                if name in ours:
                    work[name] = min(work[name], warm(ours[name]))
        floor_wall, floor_cpu = next(iter(best.values()))
        print("\nstart-up: the wall time less the command's own work (the same command run in this warm "
              "process), in ms and against the floor's wall time")
        print("\n| command | wall ms | CPU ms | vs the floor (wall / CPU) | its work, warm | start-up "
              "| heavy modules imported |")
        print("|---|---:|---:|---:|---:|---:|---|")
        for name, (wall, cpu) in best.items():
            mods = ", ".join(heavy[name]) or "none"
            w = work.get(name)
            own = f"{1e3 * w:.0f} ms" if w is not None else ""
            start = f"{1e3 * (wall - w):.0f} ms, {(wall - w) / floor_wall:.2f}x" if w is not None else ""
            print(f"| `{name}` | {1e3 * wall:.0f} | {1e3 * cpu:.0f} | {wall / floor_wall:.2f}x / "
                  f"{cpu / floor_cpu:.2f}x | {own} | {start} | {mods} |")


def quorvane_tools_dir() -> str:
    import importlib.util

    spec = importlib.util.find_spec("quorvane_tools")
    return os.path.dirname(spec.origin)


if __name__ == "__main__":
    main()
