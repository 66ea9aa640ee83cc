#!/usr/bin/env python3
"""Find lines, a ball and an elliptical marker in a picture, and draw what was found.

With no arguments the script draws its built-in sample scene (a photograph-like
frame of a grass field with two white lines, an orange ball and a yellow
elliptical marker, lit by a warm gradient, slightly blurred and noisy), runs the
whole chain on it and writes the annotated frame to shapes.png:

    calculate_lch_bounds per colour -> mask_image -> simple_edge -> simple_denoise
    -> ransac_line, remove_inliers, ransac_line   (white points)
    -> ransac_circle                              (orange points)
    -> ransac_ellipse                             (yellow points)

It prints one line per shape with its inlier count and the time of every stage
that led to it, in milliseconds.

    python examples/find_shapes.py                      # built-in scene -> shapes.png
    python examples/find_shapes.py --seed 7 --out a.png  # reproducible fitting
    python examples/find_shapes.py --image pitch.jpg \\
        --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95 --fit circle

Colour windows are given in the library's colour model. For channels R, G, B as
fractions of the channel range, the chroma vector is (R - G/2 - B/2,
sqrt(3)/2 * (G - B)): its angle is the hue (0 red, 2pi/3 green, -2pi/3 blue, in
radians), its length the chroma (1 for pure primaries and secondaries), and the
intensity is (R + G + B) / 3. A window is a hue wedge (h1, h2) with h1 < h2 and
h2 - h1 below pi (write a wedge around red as, e.g., -0.5 0.5), a chroma band and
an intensity band, all bounds exclusive. Chroma is measured along the wedge's
bisector, so it is a band of saturation for colours near the middle of the wedge.

Fitting is random: every RANSAC call draws one value from the C library's
generator, which the module seeds from the clock when it is imported. --seed N
calls the C library's srand(N) (through ctypes) before the first fit, so the
same image and seed give the same shapes.

Writing the picture needs Pillow (pip install "quorvane[demo]"); so does reading
--image files other than .npy arrays.
"""

from __future__ import annotations

import argparse
import ctypes
import math
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import quorvane as qv
import quorvane_tools as qt

WIDTH, HEIGHT = 640, 480


# --------------------------------------------------------------------------
# Colour windows and fitting settings


@dataclass(frozen=True)
class Window:
    """A colour window in the model's units, and what to fit to its points."""

    name: str
    hue: tuple[float, float]  # radians
    chroma: tuple[float, float]  # fractions of the channel range
    intensity: tuple[float, float]  # fractions of the channel range
    fits: tuple[str, ...]  # any of "lines", "circle", "ellipse"


SCENE_WINDOWS = (
    # Paint under warm light: a faint yellow cast, little chroma, bright.
    Window("white", (-0.7, 2.4), (0.0, 0.16), (0.55, 1.0), ("lines",)),
    Window("orange", (0.15, 0.68), (0.3, 1.0), (0.12, 0.95), ("circle",)),
    Window("yellow", (0.72, 1.25), (0.45, 1.0), (0.4, 1.0), ("ellipse",)),
)
FITS = ("lines", "circle", "ellipse")


@dataclass(frozen=True)
class Settings:
    rows: int = 128  # horizontal scan lines
    columns: int = 128  # vertical scan lines
    min_distance: int = 3  # simple_denoise joins shorter gaps and keeps segments this long
    count: int = 400  # RANSAC iterations per fit
    line_delta: int = 5  # half-width of a line's inlier band, wide enough for both edges of a painted line
    slope_limit: float = 0.25  # lines within asin(0.25) ~ 14 degrees of horizontal are skipped
    delta: int = 2  # half-width of the circle's and the ellipse's inlier ring
    min_r: int = 8  # smallest radius or semi-axis
    max_r: int | None = None  # largest; None: half the image's smaller side
    ratio: float = 4.0  # largest ratio of the ellipse's semi-axes


@dataclass
class Shape:
    kind: str  # "line", "circle" or "ellipse"
    window: str
    model: dict  # the fitter's result dict
    inliers: int  # 0 when nothing was found
    times: dict[str, float]  # stage -> seconds

    @property
    def found(self) -> bool:
        return self.inliers > 0


@dataclass
class Found:
    shapes: list[Shape]
    masks: dict[str, np.ndarray] = field(default_factory=dict)
    points: dict[str, np.ndarray] = field(default_factory=dict)  # denoised edge points
    results: list = field(default_factory=list)  # quorvane_tools.Found, one per window


# --------------------------------------------------------------------------
# The built-in scene


@dataclass(frozen=True)
class Truth:
    """Where the scene's shapes were drawn (pixel centres at integer coordinates)."""

    lines: tuple[tuple[tuple[float, float], tuple[float, float]], ...]  # centre lines, end to end
    line_width: float
    ball: tuple[float, float, float]  # x, y, r
    marker: tuple[float, float, float, float, float]  # x, y, a, b, theta (a >= b; a along theta)


def _blur(img):
    """3x3 binomial blur, edges repeated."""
    p = np.pad(img, ((1, 1), (1, 1), (0, 0)), mode="edge")
    rows = (p[:-2] + 2 * p[1:-1] + p[2:]) / 4
    return (rows[:, :-2] + 2 * rows[:, 1:-1] + rows[:, 2:]) / 4


def _coverage(d):
    """Fraction of a pixel covered by a shape, from the signed distance d of its centre
    to the shape's border (negative inside)."""
    return np.clip(0.5 - d, 0.0, 1.0)[..., None]


def make_scene(seed=0):
    """The built-in sample frame (HEIGHT x WIDTH x 3 uint8) and where its shapes are.

    Seed 0 is the scene shown by the example; other seeds move the shapes a little and
    draw other grass, paint texture and sensor noise. NumPy only, deterministic."""
    rng = np.random.default_rng(seed)

    def jitter(span):
        return float(rng.uniform(-span, span)) if seed else 0.0

    dx, dy = jitter(15), jitter(15)
    truth = Truth(
        lines=(
            ((60 + jitter(20), 479.0), (250 + jitter(20), 0.0)),
            ((600 + jitter(20), 479.0), (420 + jitter(20), 0.0)),
        ),
        line_width=5.0,
        ball=(300 + dx, 170 + dy, 38 + jitter(4)),
        marker=(360 - dx, 370 - dy, 70 + jitter(6), 28 + jitter(3), 0.15 + jitter(0.2)),
    )
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float64)

    # Grass: mowing stripes, slow patches and blade texture (streaks along y).
    stripes = 0.07 * np.tanh(3 * np.sin(2 * np.pi * (0.93 * x + 0.37 * y) / 90 + rng.uniform(0, 6)))
    patches = sum(
        0.03 * np.sin(2 * np.pi * (fx * x + fy * y) + ph)
        for fx, fy, ph in rng.uniform((-0.01, -0.01, 0), (0.01, 0.01, 6), (4, 3))
    )
    blades = rng.normal(0, 1, (HEIGHT + 4, WIDTH))
    blades = sum(blades[k : k + HEIGHT] for k in range(5)) / np.sqrt(5)
    shade = 1 + stripes + patches + 0.07 * blades
    tone = rng.normal(0, 0.02, (HEIGHT, WIDTH, 3))
    img = (np.array([0.27, 0.55, 0.20]) + tone) * shade[..., None]

    # The ball's shadow on the grass.
    bx, by, br = truth.ball
    img *= (
        1
        - 0.4
        * np.exp(-(((x - bx - 0.5 * br) / (1.1 * br)) ** 2 + ((y - by - 0.9 * br) / (0.45 * br)) ** 2))[
            ..., None
        ]
    )

    # White lines: painted stripes, their texture following the grass.
    paint = np.array([0.92, 0.92, 0.92]) * (1 + 0.03 * blades)[..., None]
    for (x0, y0), (x1, y1) in truth.lines:
        length = math.hypot(x1 - x0, y1 - y0)
        dist = np.abs((x - x0) * (y1 - y0) - (y - y0) * (x1 - x0)) / length
        alpha = _coverage(dist - truth.line_width / 2)
        img = img * (1 - alpha) + paint * alpha

    # Yellow marker: a flat disc on the ground, seen as an ellipse.
    mx, my, ma, mb, mt = truth.marker
    u = (x - mx) * math.cos(mt) + (y - my) * math.sin(mt)
    v = -(x - mx) * math.sin(mt) + (y - my) * math.cos(mt)
    rho = np.sqrt((u / ma) ** 2 + (v / mb) ** 2)
    grad = np.hypot(u / ma**2, v / mb**2) / np.maximum(rho, 1e-9)
    alpha = _coverage((rho - 1) / np.maximum(grad, 1e-9))
    img = img * (1 - alpha) + np.array([0.93, 0.80, 0.13]) * (1 - 0.1 * rho[..., None]) * alpha

    # Orange ball, shaded as a sphere lit from the upper left.
    r2 = ((x - bx) ** 2 + (y - by) ** 2) / br**2
    nz = np.sqrt(np.clip(1 - r2, 0, 1))
    light = np.array([-0.45, -0.55, 0.70]) / np.linalg.norm([-0.45, -0.55, 0.70])
    lit = np.clip(((x - bx) / br * light[0] + (y - by) / br * light[1] + nz * light[2]), 0, 1)
    alpha = _coverage(np.sqrt(r2) * br - br)
    img = img * (1 - alpha) + np.array([0.93, 0.45, 0.10]) * (0.55 + 0.45 * lit)[..., None] * alpha

    # Warm light falling off towards the upper left, mild blur, sensor noise.
    img *= (0.80 + 0.28 * (0.6 * x / WIDTH + 0.4 * y / HEIGHT))[..., None]
    img *= np.array([1.0, 0.97, 0.90])
    img = _blur(img) * 255 + rng.normal(0, 2.5, img.shape)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8), truth


# --------------------------------------------------------------------------
# The pipeline


def _timed(times, stage, fn, *args):
    t0 = time.perf_counter()
    result = fn(*args)
    times[stage] = times.get(stage, 0.0) + time.perf_counter() - t0
    return result


def window_points(image, window, settings=Settings()):
    """The mask and the denoised edge points of one colour window.

    Returns (mask, points, times): points is an (n, 2) int32 array of (x, y) in a fixed
    shuffled order, times maps each stage to seconds."""
    times = {}
    bounds = _timed(times, "bounds", qv.calculate_lch_bounds, window.hue, window.chroma, window.intensity)
    mask = _timed(times, "mask", qv.mask_image, image, bounds)
    h, w = mask.shape
    # Room for every point the scan can write: at most one per pixel read, plus the
    # closing point of each scan line.
    edges = np.empty((settings.rows * (w + 1) + settings.columns * (h + 1), 2), np.int32)
    n = _timed(times, "edges", qv.simple_edge, mask, edges, settings.rows, settings.columns)
    kept = np.empty((n, 2), np.int32)
    m = _timed(times, "denoise", qv.simple_denoise, edges[:n], kept, settings.min_distance)
    # The fitters draw point indices with a linear congruential generator whose low
    # bits repeat with a short period, so in a list ordered as the scan wrote it
    # (start, end, start, end along each line) some pairs of points are never drawn
    # together. A fixed shuffle breaks that link between index and position.
    return mask, kept[np.random.default_rng(0).permutation(m)], times


def fit_lines(ps, settings, n_lines=2):
    """ransac_line; then remove_inliers and ransac_line again on the points left."""
    shapes = []
    ms = np.empty(max(len(ps), 1), np.uint8)
    buffers = [np.empty_like(ps), np.empty_like(ps)]  # the caller's points stay as they are
    stages = {}
    for k in range(n_lines):
        if k > 0:
            out = buffers[k % 2]
            n = _timed(stages, "remove", qv.remove_inliers, ps, out, ms)
            ps = out[:n]
        if len(ps) < 2:
            break
        args = (settings.count, settings.line_delta, settings.slope_limit)
        line = _timed(stages, "fit", qv.ransac_line, ps, ms, *args)
        if line["nx"] == 0 and line["ny"] == 0:
            break
        shapes.append(Shape("line", "", line, int(np.count_nonzero(ms[: len(ps)])), stages))
        stages = {}
    while len(shapes) < n_lines:
        shapes.append(Shape("line", "", dict.fromkeys(("px", "py", "nx", "ny"), 0), 0, stages))
        stages = {}
    return shapes


def fit_points(ps, fits, settings=Settings(), max_r=None):
    """Fit the shapes named in `fits` ("lines", "circle", "ellipse") to one window's points.

    max_r defaults to settings.max_r, else 240 (half the built-in scene's height)."""
    if max_r is None:
        max_r = settings.max_r if settings.max_r is not None else HEIGHT // 2
    shapes = []
    for fit in fits:
        t = {}
        if fit == "lines":
            shapes += fit_lines(ps, settings)
        elif fit == "circle":
            c = dict.fromkeys(("x", "y", "r"), 0)
            if len(ps) >= 3:
                args = (settings.count, settings.min_r, max_r, settings.delta)
                c = _timed(t, "fit", qv.ransac_circle, ps, *args)
            inliers = int(qt.inliers_of("circle", c, ps, settings.delta).sum()) if any(c.values()) else 0
            shapes.append(Shape("circle", "", c, inliers, t))
        elif fit == "ellipse":
            e = dict.fromkeys(("x", "y", "a", "b", "theta"), 0.0)
            if len(ps) >= 5:
                args = (settings.count, settings.min_r, max_r, settings.ratio, settings.delta)
                e = _timed(t, "fit", qv.ransac_ellipse, ps, *args)
            inliers = int(qt.inliers_of("ellipse", e, ps, settings.delta).sum()) if any(e.values()) else 0
            shapes.append(Shape("ellipse", "", e, inliers, t))
        else:
            raise ValueError(f"unknown fit {fit!r}; expected one of {', '.join(FITS)}")
    return shapes


def find_shapes(image, windows=SCENE_WINDOWS, settings=Settings()):
    """Run the whole chain on an RGB image (rows, columns, 3) of uint8; returns a Found.

    Per window, quorvane_tools.find_shapes: calculate_lch_bounds, mask_image, simple_edge,
    simple_denoise, then the window's fits, each on the points the fits before it left. Each
    Shape's times hold every stage that led to it, in seconds."""
    image = qt.as_rgb(image)
    max_r = settings.max_r if settings.max_r is not None else min(image.shape[:2]) // 2
    found = Found([])
    for window in windows:
        fits = [f for fit in window.fits for f in (("line", "line") if fit == "lines" else (fit,))]
        result = qt.find_shapes(
            image,
            qt.Window(window.hue, window.chroma, window.intensity),
            fits,
            radius=(settings.min_r, max_r),
            count=settings.count,
            rows=settings.rows,
            columns=settings.columns,
            min_distance=settings.min_distance,
            slope_limit=settings.slope_limit,
            ratio=settings.ratio,
        )
        found.masks[window.name] = result.mask
        found.points[window.name] = result.points
        found.results.append(result)
        stages = {k: result.times[k] for k in ("bounds", "mask", "edges", "denoise")}
        for shape in result.shapes:
            found.shapes.append(Shape(shape.kind, window.name, shape.model, shape.inliers, {**stages, **shape.times}))
            stages = {}
    return found


# --------------------------------------------------------------------------
# Reporting and drawing


def describe(shape):
    """One phrase for where a shape is; angles in degrees from the x axis, y pointing down."""
    return qt.Shape(shape.kind, shape.model, shape.inliers, 0, 0).describe()


STAGES = ("bounds", "mask", "edges", "denoise", "remove", "fit")


def report(found):
    """The table that main prints: one row per shape, stage times in milliseconds, every column
    as wide as its widest cell."""
    header = ["shape", "colour", "where", "inliers", *STAGES]
    rows = [
        [s.kind, s.window, describe(s), str(s.inliers)]
        + [f"{s.times[k] * 1e3:.3f}" if k in s.times else "-" for k in STAGES]
        for s in found.shapes
    ]
    widths = [max(len(r[k]) for r in [header, *rows]) for k in range(len(header))]
    lines = []
    for r in [header, *rows]:
        cells = [c.ljust(w) if k < 3 else c.rjust(w) for k, (c, w) in enumerate(zip(r, widths))]
        lines.append("  ".join(cells) + ("  (ms)" if r is header else ""))
    return "\n".join(lines)


def annotate(image, found):
    """The frame with every window's selection tinted, the shapes outlined and numbered, and a
    legend (quorvane_tools.annotate). Needs Pillow; returns a PIL image."""
    from PIL import Image

    return Image.fromarray(qt.annotate(image, found.results))


# --------------------------------------------------------------------------
# Command line


def load_image(path):
    """An RGB image as a writable (rows, columns, 3) uint8 array: .npy files through
    NumPy, anything else through Pillow."""
    path = Path(path)
    if path.suffix.lower() == ".npy":
        img = np.load(path)
    else:
        from PIL import Image

        with Image.open(path) as f:
            img = np.array(f.convert("RGB"))
    if img.dtype != np.uint8 or img.ndim != 3 or img.shape[2] != 3:
        raise ValueError(f"{path}: expected an RGB image of uint8, got {img.dtype} {img.shape}")
    return np.ascontiguousarray(img)


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="find_shapes.py",
        description="Find lines, circles and ellipses of chosen colours and draw them. "
        "Without --image: the built-in sample scene.",
        epilog="Colour model: hue in radians (0 red, 2pi/3 green, -2pi/3 blue), a wedge h1 < h2 "
        "narrower than pi; chroma and intensity as fractions 0..1 of the channel range. "
        "Example: --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95 selects orange.",
    )
    p.add_argument("--image", metavar="PATH", help="an RGB image (.npy, or any format Pillow reads)")
    p.add_argument("--hue", nargs=2, type=float, metavar=("H1", "H2"), help="hue wedge, radians")
    p.add_argument("--chroma", nargs=2, type=float, metavar=("C1", "C2"), help="chroma band, fractions")
    p.add_argument("--intensity", nargs=2, type=float, metavar=("I1", "I2"), help="intensity band, fractions")
    p.add_argument(
        "--fit",
        action="append",
        choices=FITS,
        help="shapes to fit to the --image window (repeat; default: all three)",
    )
    p.add_argument(
        "--seed",
        type=int,
        metavar="N",
        help="seed the C library's generator with srand(N) (through ctypes) before fitting, "
        "for reproducible shapes; without it the clock-based seed set at import is used",
    )
    p.add_argument(
        "--count",
        type=int,
        default=Settings.count,
        metavar="N",
        help=f"RANSAC iterations per fit (default {Settings.count})",
    )
    p.add_argument("--out", default="shapes.png", metavar="PATH", help="annotated PNG (default shapes.png)")
    args = p.parse_args(argv)
    window = (args.hue, args.chroma, args.intensity)
    if args.image is None and (any(window) or args.fit):
        p.error("--hue, --chroma, --intensity and --fit describe the window for --image")
    if args.image is not None:
        if not all(window):
            p.error("--image needs its colour window: --hue H1 H2 --chroma C1 C2 --intensity I1 I2")
        h1, h2 = args.hue
        if not 0 < h2 - h1 < math.pi:
            p.error("--hue needs H1 < H2 and H2 - H1 below pi; write a wedge around red as -0.5 0.5")
    return args


def main(argv=None):
    args = parse_args(argv)
    try:
        import PIL  # noqa: F401
    except ImportError:
        print(
            "find_shapes.py: writing the annotated PNG needs Pillow; install it with\n"
            "    python3 -m pip install 'quorvane[demo]'    (or: python3 -m pip install Pillow)",
            file=sys.stderr,
        )
        return 1
    if args.image is None:
        image, _ = make_scene(0)
        windows, source = SCENE_WINDOWS, f"built-in scene, {WIDTH} x {HEIGHT}"
    else:
        try:
            image = load_image(args.image)
        except (OSError, ValueError) as e:
            print(f"find_shapes.py: {e}", file=sys.stderr)
            return 1
        windows = (
            Window(
                "window",
                tuple(args.hue),
                tuple(args.chroma),
                tuple(args.intensity),
                tuple(dict.fromkeys(args.fit or FITS)),
            ),
        )
        source = f"{args.image}, {image.shape[1]} x {image.shape[0]}"
    if args.seed is not None:
        ctypes.CDLL(None).srand(args.seed)
        source += f"; C library generator seeded with {args.seed}"
    found = find_shapes(image, windows, Settings(count=args.count))
    print(source)
    print(report(found))
    annotate(image, found).save(args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
