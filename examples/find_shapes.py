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


def circle_inliers(ps, c, delta):
    d = (ps[:, 0].astype(np.int64) - c["x"]) ** 2 + (ps[:, 1].astype(np.int64) - c["y"]) ** 2
    return int(np.count_nonzero(((c["r"] - delta) ** 2 <= d) & (d <= (c["r"] + delta) ** 2)))


def ellipse_inliers(ps, e, delta):
    """Points on or outside the ellipse with semi-axes a - delta, b - delta and on or
    inside the one with a + delta, b + delta (same centre and angle)."""
    s, k = math.sin(e["theta"]), math.cos(e["theta"])
    dx, dy = ps[:, 0] - e["x"], ps[:, 1] - e["y"]
    u, v = dx * k + dy * s, -dx * s + dy * k
    with np.errstate(divide="ignore", invalid="ignore"):
        inner = (u / (e["a"] - delta)) ** 2 + (v / (e["b"] - delta)) ** 2
        outer = (u / (e["a"] + delta)) ** 2 + (v / (e["b"] + delta)) ** 2
    return int(np.count_nonzero((inner >= 1.0) & (outer <= 1.0)))


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
            inliers = circle_inliers(ps, c, settings.delta) if any(c.values()) else 0
            shapes.append(Shape("circle", "", c, inliers, t))
        elif fit == "ellipse":
            e = dict.fromkeys(("x", "y", "a", "b", "theta"), 0.0)
            if len(ps) >= 5:
                args = (settings.count, settings.min_r, max_r, settings.ratio, settings.delta)
                e = _timed(t, "fit", qv.ransac_ellipse, ps, *args)
            inliers = ellipse_inliers(ps, e, settings.delta) if any(e.values()) else 0
            shapes.append(Shape("ellipse", "", e, inliers, t))
        else:
            raise ValueError(f"unknown fit {fit!r}; expected one of {', '.join(FITS)}")
    return shapes


def find_shapes(image, windows=SCENE_WINDOWS, settings=Settings()):
    """Run the whole chain on an RGB image (rows, columns, 3) of uint8; returns a Found.

    Per window: calculate_lch_bounds, mask_image, simple_edge, simple_denoise, then the
    window's fits. Each Shape's times hold every stage that led to it, in seconds."""
    image = np.asarray(image)
    if image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3:
        raise ValueError(
            f"expected an RGB image of uint8 (rows, columns, 3), got {image.dtype} {image.shape}"
        )
    if not (image.flags.c_contiguous and image.flags.writeable):  # the library wants both
        image = image.copy()
    max_r = settings.max_r if settings.max_r is not None else min(image.shape[:2]) // 2
    found = Found([])
    for window in windows:
        mask, ps, times = window_points(image, window, settings)
        found.masks[window.name] = mask
        found.points[window.name] = ps
        for shape in fit_points(ps, window.fits, settings, max_r):
            shape.window = window.name
            shape.times = {**times, **shape.times}
            found.shapes.append(shape)
    return found


# --------------------------------------------------------------------------
# Reporting and drawing


def describe(shape):
    """One phrase for where a shape is; angles in degrees from the x axis, y pointing down."""
    m = shape.model
    if not shape.found:
        return "not found"
    if shape.kind == "line":
        angle = math.degrees(math.atan2(m["nx"], -m["ny"]))  # direction (-ny, nx)
        angle = (angle + 90) % 180 - 90
        return f"through ({m['px']}, {m['py']}) at {angle:.1f} deg"
    if shape.kind == "circle":
        return f"centre ({m['x']}, {m['y']}), radius {m['r']}"
    a, b, theta = abs(m["a"]), abs(m["b"]), m["theta"]
    if a < b:  # report the major axis first
        a, b, theta = b, a, theta + math.pi / 2
    angle = (math.degrees(theta) + 90) % 180 - 90
    return f"centre ({m['x']:.1f}, {m['y']:.1f}), semi-axes {a:.1f} x {b:.1f} at {angle:.1f} deg"


STAGES = ("bounds", "mask", "edges", "denoise", "remove", "fit")


def report(found):
    """The table that main prints: one row per shape, stage times in milliseconds."""
    rows = [
        f"{'shape':8} {'colour':7} {'where':56} {'inliers':>7}  "
        + " ".join(f"{s:>7}" for s in STAGES)
        + "  (ms)"
    ]
    for s in found.shapes:
        times = " ".join(f"{s.times[k] * 1e3:7.3f}" if k in s.times else f"{'-':>7}" for k in STAGES)
        rows.append(f"{s.kind:8} {s.window:7} {describe(s):56} {s.inliers:7d}  {times}")
    return "\n".join(rows)


def _line_ends(m, w, h):
    """Where the line of a ransac_line result enters and leaves the frame."""
    px, py, nx, ny = m["px"], m["py"], m["nx"], m["ny"]
    ends = []
    if ny:  # crossings with x = 0 and x = w - 1
        ends += [(x, py - nx * (x - px) / ny) for x in (0, w - 1)]
    if nx:  # crossings with y = 0 and y = h - 1
        ends += [(px - ny * (y - py) / nx, y) for y in (0, h - 1)]
    ends = [(x, y) for x, y in ends if -0.5 <= x <= w - 0.5 and -0.5 <= y <= h - 0.5]
    ends.sort()
    return [ends[0], ends[-1]] if ends else []


def annotate(image, found, tint=(255, 0, 200)):
    """The frame with the masks tinted, the shapes drawn and labelled and the edge points
    that the fitters saw dotted in black. Needs Pillow; returns a PIL image."""
    from PIL import Image, ImageDraw

    out = image.astype(np.float32)
    for mask in found.masks.values():
        sel = mask.astype(bool)
        out[sel] = 0.4 * out[sel] + 0.6 * np.array(tint, np.float32)
    pic = Image.fromarray(np.clip(np.rint(out), 0, 255).astype(np.uint8))
    draw = ImageDraw.Draw(pic)
    for ps in found.points.values():
        draw.point([tuple(p) for p in ps.tolist()], fill=(0, 0, 0))
    h, w = image.shape[:2]
    labels, numbers = [], {}
    for s in found.shapes:
        if not s.found:
            continue
        m = s.model
        numbers[s.kind] = numbers.get(s.kind, 0) + 1
        t = np.linspace(0, 2 * np.pi, 121)
        label = f"{s.kind} {numbers[s.kind]}: {s.inliers} inliers"
        if s.kind == "line":
            outline = _line_ends(m, w, h)
            y = 0.9 * h  # label low in the frame, on the side of the frame's middle
            x = m["px"] - m["ny"] * (y - m["py"]) / m["nx"] if m["nx"] else m["px"]
            at = (x + 10 if x < w / 2 else x - 10 - draw.textlength(label), y)
        elif s.kind == "circle":
            outline = list(zip(m["x"] + m["r"] * np.cos(t), m["y"] + m["r"] * np.sin(t)))
            at = (m["x"] + m["r"] + 10, m["y"] - 6)
        else:
            c, sn = math.cos(m["theta"]), math.sin(m["theta"])
            u, v = m["a"] * np.cos(t), m["b"] * np.sin(t)
            outline = list(zip(m["x"] + u * c - v * sn, m["y"] + u * sn + v * c))
            at = (m["x"] + max(abs(m["a"]), abs(m["b"])) + 10, m["y"] - 6)
        if outline:
            draw.line(outline, fill=(0, 255, 255), width=2)
        labels.append((at, label))
    for (x, y), text in labels:
        x = min(max(x, 2), w - 2 - draw.textlength(text))
        draw.text((x, y), text, fill=(255, 255, 255), stroke_width=2, stroke_fill=(0, 0, 0))
    return pic


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
