"""Edge points on 1080p frames, 64 rows and 64 columns, side by side.

    python3 bench/bench_edges.py [--rounds N]

Two tables. First, simple_edge against the obvious NumPy version: the same
scan lines, np.diff over each line to find where runs start and end. Both
produce the same point list (checked before timing). Three masks: a
mostly-background one (a few filled shapes and strokes), the mask of a
noisy colour frame, and the mask of a photograph. Second, simple_edge_hsv
on photographs (scikit-image's coffee and astronaut, resized to 1920x1080)
against mask_image into a ready buffer followed by simple_edge: the same
points (checked), without building the mask. Each contender is timed in
turns, in batches; the best batch average per call counts. Prints markdown
tables for the README. Needs the bench extra (`pip install .[bench]`).
"""


import numpy as np

import quorvane as qv
from benchutil import best_per_call, cpu_name, setup

W, H = 1920, 1080
LINES = 64
TARGET = 10.0


def line_positions(count, extent):
    """Scan-line positions: bit-reversed line numbers scaled to the extent."""
    rev = np.array([int(f"{i:016b}"[::-1], 2) for i in range(count)], np.int64)
    return (rev * extent) >> 16


def numpy_edges(mask, rows, cols):
    h, w = mask.shape
    parts = []
    for fixed, lines, n in ((1, rows, w), (0, cols, h)):
        for pos in lines:
            line = (mask[pos] if fixed else mask[:, pos]) != 0
            d = np.diff(line.astype(np.int8), prepend=0, append=0)
            starts = np.flatnonzero(d == 1)
            ends = np.minimum(np.flatnonzero(d == -1), n - 1)
            pts = np.empty((2 * len(starts), 2), np.int32)
            pts[0::2, 1 - fixed] = starts
            pts[1::2, 1 - fixed] = ends
            pts[:, fixed] = pos
            parts.append(pts)
    return np.concatenate(parts)


def sparse_mask():
    mask = np.zeros((H, W), np.uint8)
    y, x = np.mgrid[0:H, 0:W]
    mask[(x - 600) ** 2 + (y - 500) ** 2 < 180**2] = 1
    mask[((x - 1400) / 300) ** 2 + ((y - 650) / 160) ** 2 < 1] = 1
    for k in range(6):  # strokes a few pixels wide
        mask[np.abs(y - (0.3 + 0.05 * k) * x - 90 * k) < 3] = 1
    rng = np.random.default_rng(7)
    mask[rng.integers(0, H, 400), rng.integers(0, W, 400)] = 1  # specks
    return mask


def noisy_mask():
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:H, 0:W].astype(np.float64)
    base = np.stack([128 + 100 * np.sin(x / 97), 128 + 100 * np.sin(y / 61),
                     128 + 100 * np.cos((x + y) / 149)], -1)
    frame = np.clip(base + rng.normal(0, 20, base.shape), 0, 255).astype(np.uint8)
    return qv.mask_image(frame, qv.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)))


def photo_frames():
    """(name, 1080p frame, bounds): photographs scaled up, with a colour present in each."""
    try:
        from skimage import data
        from skimage.transform import resize
    except ImportError:
        raise SystemExit("bench_edges.py: scikit-image is missing; install the bench extra: pip install '.[bench]'")
    frames = []
    for name, hue in (("coffee", (0.5, 1.5)), ("astronaut", (-0.5, 0.5))):
        frame = resize(getattr(data, name)(), (H, W), order=1, preserve_range=True, anti_aliasing=False)
        frames.append((name, np.ascontiguousarray(frame.astype(np.uint8)),
                       qv.calculate_lch_bounds(hue, (0.1, 0.6), (0.1, 0.9))))
    return frames


def main():
    args = setup(__doc__)

    rows, cols = line_positions(LINES, H), line_positions(LINES, W)
    ps = np.empty((LINES * (W + 1) + LINES * (H + 1), 2), np.int32)
    print(f"CPU: {cpu_name()}; mask {W}x{H}, {LINES} rows and {LINES} columns; "
          f"best of {args.rounds} batches per contender\n")
    print("| mask | points | simple_edge | NumPy (np.diff per line) | speed-up |")
    print("|---|---:|---:|---:|---:|")
    worst = float("inf")
    photos = photo_frames()
    name, frame, bounds = photos[0]
    masks = (("mostly background", sparse_mask()), ("noisy colour mask", noisy_mask()),
             (f"photograph ({name})", qv.mask_image(frame, bounds)))
    for name, mask in masks:
        n = qv.simple_edge(mask, ps, LINES, LINES)
        ref = numpy_edges(mask, rows, cols)
        assert np.array_equal(ps[:n], ref), "the two versions disagree"
        t_q = best_per_call(lambda: qv.simple_edge(mask, ps, LINES, LINES), args.rounds, 200)
        t_np = best_per_call(lambda: numpy_edges(mask, rows, cols), args.rounds, 10)
        worst = min(worst, t_np / t_q)
        print(f"| {name} | {n} | {t_q * 1e6:.1f} µs | {t_np * 1e6:.0f} µs | {t_np / t_q:.0f}x |")
    print(f"\nTarget: at least {TARGET:.0f}x on every mask: {'met' if worst >= TARGET else 'NOT met'}")

    print("\n| frame | foreground | points | simple_edge_hsv | mask_image + simple_edge | speed-up |")
    print("|---|---:|---:|---:|---:|---:|")
    slowest = float("inf")
    for name, frame, bounds in photos:
        b = bounds._asdict()
        mask = np.empty((H, W), np.uint8)
        n = qv.simple_edge_hsv(frame, ps, b, LINES, LINES)
        hsv_points = ps[:n].copy()
        assert qv.simple_edge(qv.mask_image(frame, bounds, mask), ps, LINES, LINES) == n
        assert np.array_equal(ps[:n], hsv_points), "simple_edge_hsv disagrees with the mask's scan"
        t_hsv = best_per_call(lambda: qv.simple_edge_hsv(frame, ps, b, LINES, LINES), args.rounds, 50)
        t_two = best_per_call(lambda: qv.simple_edge(qv.mask_image(frame, bounds, mask), ps, LINES, LINES),
                              args.rounds, 20)
        slowest = min(slowest, t_two / t_hsv)
        print(f"| {name} | {mask.mean():.0%} | {n} | {t_hsv * 1e6:.0f} µs | {t_two * 1e6:.0f} µs "
              f"| {t_two / t_hsv:.1f}x |")
    print(f"\nsimple_edge_hsv ahead of mask_image + simple_edge on every frame: "
          f"{'yes' if slowest > 1 else 'NO'}")


if __name__ == "__main__":
    main()
