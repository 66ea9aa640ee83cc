"""Timing helpers shared by the benchmarks."""

import argparse
import os
import platform
import time


def setup(doc):
    """Parses --rounds and pins the process to one core; returns the arguments."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=7, help="timed rounds per contender (best counts)")
    args = ap.parse_args()
    if hasattr(os, "sched_setaffinity"):  # one core for everyone
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    return args


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def best_per_call(fn, rounds, batch, clock=time.perf_counter):
    """Seconds per call: the best average over `rounds` batches of `batch` calls."""
    best = float("inf")
    for _ in range(rounds):
        t0 = clock()
        for _ in range(batch):
            fn()
        best = min(best, (clock() - t0) / batch)
    return best
