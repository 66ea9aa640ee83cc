"""Memory, references and threads: repeated calls on success and on every
kind of error leave memory and the arguments' reference counts as they
were; concurrent calls give the bytes and draw the random numbers that one
thread would."""

import contextlib
import ctypes
import functools
import gc
import os
import sys
import threading
import tracemalloc
import warnings

import numpy as np
import pytest

import quorvane as q
from catalogue import FUNCTIONS, standard_arguments

LIBC = ctypes.CDLL(None)
LCH = q.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))


def make_args(size=8):
    """Fresh standard arguments; `size` scales the arrays."""
    rng = np.random.default_rng(size)
    ps = rng.integers(0, 50, (16 * size, 2)).astype(np.int32)
    img = rng.integers(0, 256, (size, 16 * size, 3), dtype=np.uint8)
    return standard_arguments(img, ps)


def calls(a):
    """(label, call) for every call of the catalogue, succeeding and failing."""
    return [(label, functools.partial(c.run, entry.fn, a)) for entry in FUNCTIONS for label, c in entry.calls()]


def call_quietly(call):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with contextlib.suppress(Exception):
            call()


ARGS = make_args()
CALLS = calls(ARGS)


@pytest.mark.parametrize("label, call", CALLS, ids=[label for label, _ in CALLS])
def test_repeated_calls_keep_memory_and_references_flat(label, call):
    # A leak costs at least one block per call; free lists, caches and dict
    # resizes cost some blocks and kilobytes now and then.
    refs = {k: sys.getrefcount(v) for k, v in ARGS.items()}
    tracemalloc.start()
    try:
        used = []
        for batch in (2000, 2000):  # the first batch fills free lists and caches
            for _ in range(batch):
                call_quietly(call)
            gc.collect()
            used.append((sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]))
    finally:
        tracemalloc.stop()
    blocks, nbytes = (b - a for a, b in zip(*used))
    assert blocks < 1000 and nbytes < 65536, f"{label}: {blocks} blocks, {nbytes} bytes more after 2000 calls"
    assert {k: sys.getrefcount(v) for k, v in ARGS.items()} == refs


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine holds freed memory")
def test_resident_size_stays_flat_with_fresh_arguments():
    # Each round passes new arrays (an image of 200 kB among them): a call
    # that kept its arguments alive would add 12 MB over the rounds.
    def one_round():
        for _, call in calls(make_args(size=64)):
            call_quietly(call)

    for _ in range(5):
        one_round()
    gc.collect()
    before = resident_bytes()
    for _ in range(60):
        one_round()
    gc.collect()
    assert resident_bytes() - before < 8 << 20


# ------------------------------------------------------------------ threads


def run_threads(n, target):
    errors = []
    barrier = threading.Barrier(n)

    def body(k):
        try:
            barrier.wait()
            target(k)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_mask_passes_from_many_threads_give_the_same_bytes():
    rng = np.random.default_rng(7)
    img = rng.integers(0, 256, (192, 256, 3), dtype=np.uint8)
    crop = img[3:-5, 7:-9]
    bounds = LCH._asdict()
    passes = [
        lambda out: q.mask_image_cy_impl(img, out, bounds),
        lambda out: q.selective_grayscale_impl(img, out, bounds),
        lambda out: q.mask_image(crop, LCH, out[: crop.shape[0], : crop.shape[1]]),
        lambda out: q.selective_grayscale(crop, bounds, out[: crop.shape[0], : crop.shape[1]]),
    ]
    expected = []
    for run in passes:
        out = np.full(img.shape[:2], 255, np.uint8)
        run(out)
        expected.append(out)
    assert expected[0].any() and expected[1].any()
    results = {}

    def work(k):
        outs = [np.full(img.shape[:2], 255, np.uint8) for _ in passes]
        for _ in range(12):
            for run, out in zip(passes, outs):
                run(out)
        results[k] = outs

    run_threads(8, work)
    for outs in results.values():
        for got, want in zip(outs, expected, strict=True):
            assert np.array_equal(got, want)


def test_fitters_from_several_threads_draw_once_per_call():
    ps = np.random.default_rng(3).integers(0, 40, (60, 2)).astype(np.int32)
    one = ps[:1].copy()
    calls_per_thread = [
        lambda ms: q.ransac_line(ps, ms, 15, 1, 0.1),
        lambda ms: q.ransac_line2(ps, ms, 10, 0.5, 1),
        lambda ms: q.ransac_circle(ps, 10, 1, 30, 1),
        lambda ms: q.ransac_ellipse(ps, 5, 1, 30, 3.0, 1),
        lambda ms: q.ransac_line(one, ms, 10, 1, 0.1),  # fewer points than a sample
        lambda ms: q.ransac_circle(None, 10, 1, 30, 1),
        lambda ms: q.ransac_line2(ps, ms, 0, 0.5, 1),
    ]
    failing = [  # conversion errors happen before the draw
        lambda ms: q.ransac_line(ps, ms[:5], 15, 1, 0.1),
        lambda ms: q.ransac_circle(ps, "10", 1, 30, 1),
    ]
    threads, rounds = 6, 10
    k = threads * rounds * len(calls_per_thread)
    LIBC.srand(2024)
    sequence = [LIBC.rand() for _ in range(k + 1)]
    LIBC.srand(2024)

    def work(_):
        ms = np.zeros(len(ps), np.uint8)
        for _ in range(rounds):
            for call in calls_per_thread:
                call(ms)
            for call in failing:
                with contextlib.suppress(TypeError, ValueError):
                    call(ms)

    run_threads(threads, work)
    assert LIBC.rand() == sequence[k]
