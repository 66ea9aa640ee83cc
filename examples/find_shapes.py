#!/usr/bin/env python3
"""Find lines, a ball and an elliptical marker in a picture, and draw what was found.

With no arguments the script draws its built-in sample scene (scene.py: a grass field with two
white lines, an orange ball and a yellow elliptical marker), finds the shapes of three colour
windows with quorvane_tools.find_shapes and writes the annotated frame to shapes.png:

    python examples/find_shapes.py                       # built-in scene -> shapes.png
    python examples/find_shapes.py --seed 7 --out a.png  # another seed of the fitters
    python examples/find_shapes.py --image pitch.jpg \\
        --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95 --fit circle

Per window, find_shapes runs the extension's chain (calculate_lch_bounds, the mask or the
scan-line colour pass, simple_edge, simple_denoise, then ransac_line, remove_inliers and
ransac_line again, ransac_circle or ransac_ellipse) and refines each fit on the outline. The
script prints one row per shape with its inlier count and the time of every stage that led to
it, in milliseconds. Colour windows are in the library's colour model (docs/reference.md): hue
in radians (0 red, 2pi/3 green, -2pi/3 blue), a wedge H1 < H2 narrower than pi; chroma and
intensity as fractions of the channel range. Fitting draws from the C library's generator,
seeded with --seed (default 1) before the first fit, so a run repeats.

Writing the picture needs Pillow (pip install ".[demo]"); so does reading --image files other
than .npy arrays.
"""

from __future__ import annotations

import argparse
import math
import sys

import numpy as np

import quorvane_tools as qt
from scene import HEIGHT, WIDTH, make_scene

__all__ = ["SCENE_WINDOWS", "FITS", "find_shapes", "report", "main", "make_scene"]

# The built-in scene's colours: name -> (window, fits).
SCENE_WINDOWS = {
    # Paint under warm light: a faint yellow cast, little chroma, bright.
    "white": (qt.Window((-0.7, 2.4), (0.0, 0.16), (0.55, 1.0)), ("line", "line")),
    "orange": (qt.Window((0.15, 0.68), (0.3, 1.0), (0.12, 0.95)), ("circle",)),
    "yellow": (qt.Window((0.72, 1.25), (0.45, 1.0), (0.4, 1.0)), ("ellipse",)),
}
FITS = {"lines": ("line", "line"), "circle": ("circle",), "ellipse": ("ellipse",)}  # --fit choices
STAGES = ("bounds", "mask", "edges", "denoise", "fit", "refine", "remove")


def find_shapes(image, windows=SCENE_WINDOWS, count=400, seed=None):
    """Every window's shapes in an RGB image: a list of (window name, quorvane_tools.Found).

    ``seed`` seeds the C library's generator once, before the first window (None: as it is).
    Lines within asin(0.25), about 14 degrees, of horizontal are skipped, so that the stripes of
    the grass give none."""
    if seed is not None:
        qt.seed_c_generator(seed)
    radius = (8, min(np.shape(image)[:2]) // 2)
    return [
        (name, qt.find_shapes(image, window, fits, radius=radius, count=count, rows=128, columns=128,
                              slope_limit=0.25))
        for name, (window, fits) in windows.items()
    ]


def report(found):
    """One row per shape, every stage time in milliseconds, columns as wide as their cells."""
    header = ["shape", "colour", "where", "inliers", *STAGES]
    rows = []
    for name, result in found:
        stages = {k: v for k, v in result.times.items() if k in ("bounds", "mask", "edges", "denoise")}
        for shape in result.shapes:
            times = {**stages, **shape.times}
            rows.append([shape.kind, name, shape.describe(), str(shape.inliers)]
                        + [f"{times[k] * 1e3:.3f}" if k in times else "-" for k in STAGES])
            stages = {}  # the window's own stages are paid once, by its first shape
    widths = [max(len(r[k]) for r in [header, *rows]) for k in range(len(header))]
    lines = ["  ".join(c.ljust(w) if k < 3 else c.rjust(w) for k, (c, w) in enumerate(zip(r, widths)))
             for r in [header, *rows]]
    lines[0] += "  (ms)"
    return "\n".join(lines)


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
    p.add_argument("--fit", action="append", choices=list(FITS),
                   help="shapes to fit to the --image window (repeat; default: all three)")
    p.add_argument("--seed", type=int, default=1, metavar="N",
                   help="seed of the C library's generator, which the fitters draw from (default 1)")
    p.add_argument("--count", type=int, default=400, metavar="N", help="RANSAC iterations per fit (default 400)")
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
        from PIL import Image
    except ImportError:
        print("find_shapes.py: writing the annotated PNG needs Pillow; install it with\n"
              "    python3 -m pip install '.[demo]'    (or: python3 -m pip install Pillow)", file=sys.stderr)
        return 1
    if args.image is None:
        image, _ = make_scene(0)
        windows, source = SCENE_WINDOWS, f"built-in scene, {WIDTH} x {HEIGHT}"
    else:
        try:
            image = qt.as_rgb(qt.load_image(args.image))  # .npy arrays through NumPy, the rest Pillow
        except (OSError, ValueError) as e:
            print(f"find_shapes.py: {e}", file=sys.stderr)
            return 1
        fits = [f for name in dict.fromkeys(args.fit or FITS) for f in FITS[name]]
        windows = {"window": (qt.Window(tuple(args.hue), tuple(args.chroma), tuple(args.intensity)), fits)}
        source = f"{args.image}, {image.shape[1]} x {image.shape[0]}"
    found = find_shapes(image, windows, args.count, args.seed)
    print(f"{source}; seed {args.seed}")
    print(report(found))
    Image.fromarray(qt.annotate(image, [result for _, result in found])).save(args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
