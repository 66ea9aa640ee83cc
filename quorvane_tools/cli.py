"""The ``quorvane`` command: look at a picture's colours, then find its shapes.

    quorvane probe coffee.png --box 250 120 70 40
    quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import sys
from pathlib import Path

import numpy as np

import quorvane

from ._arrays import ImageError, atomic_output, load_image, region_mask
from .color import PERCENTILES, Window, lch, suggest_window
from .shapes import FITS, find_shapes

__all__ = ["main", "CliError", "check_output", "add_window_options", "add_fit_options", "window_from_args", "fit_kwargs"]

PROG = "quorvane"
EXTRA_COMMANDS = ("video", "tune")  # modules of this package that add a subcommand, when present

MODEL_HELP = """\
colour model: hue is an angle in radians (0 red, 2.09 green, -2.09 blue; a wedge H1 < H2
narrower than pi, written across red as e.g. -0.5 0.5); chroma (0 grey, 1 a pure primary)
and intensity ((R + G + B) / 3, 0 black, 1 white) are fractions of the channel range. A
window selects the pixels strictly inside all three."""


class CliError(Exception):
    """Bad input: main prints 'quorvane: error: <message>' and exits with status 2."""


def add_window_options(parser, *, box_required: bool = False) -> None:
    g = parser.add_argument_group("colour window (give the three bands, or --box to suggest them)")
    g.add_argument("--hue", nargs=2, type=float, metavar=("H1", "H2"), help="hue wedge, radians")
    g.add_argument("--chroma", nargs=2, type=float, metavar=("C1", "C2"), help="chroma band, fractions")
    g.add_argument("--intensity", nargs=2, type=float, metavar=("I1", "I2"), help="intensity band, fractions")
    g.add_argument(
        "--box", nargs=4, type=int, metavar=("X", "Y", "W", "H"), required=box_required,
        help="a box on the object, in pixels from the top-left corner: the window is suggested from it",
    )
    g.add_argument(
        "--outside", nargs=4, type=int, metavar=("X", "Y", "W", "H"),
        help="with --box: a box on what must not be selected; the window is narrowed to leave it out",
    )


def add_fit_options(parser) -> None:
    g = parser.add_argument_group("fitting")
    g.add_argument(
        "--fit", action="append", choices=FITS, required=True,
        help="shape to find; repeat for more (each fit works on the points the ones before it left)",
    )
    g.add_argument("--radius", nargs=2, type=int, metavar=("MIN", "MAX"),
                   help="radius range of circles, semi-axis range of ellipses, in pixels "
                   "(default 8 to half the picture's smaller side)")
    g.add_argument("--delta", type=int, metavar="D",
                   help="half-width of the inlier band in pixels (default 5 for lines, 2 otherwise)")
    g.add_argument("--count", type=int, default=400, metavar="N",
                   help="RANSAC samples per fit (default 400; more finds shapes among more clutter)")
    g.add_argument("--seed", type=int, default=1, metavar="S",
                   help="seed of the C library's generator, for the same shapes on every run (default 1)")


def window_from_args(args, image):
    """The window the options give; with --box, the one suggested from the box (a Suggestion)."""
    bands = (args.hue, args.chroma, args.intensity)
    if args.box is not None:
        if any(b is not None for b in bands):
            raise CliError("give either --box or --hue/--chroma/--intensity, not both")
        try:
            return suggest_window(image, args.box, getattr(args, "outside", None))
        except ValueError as e:
            raise CliError(str(e)) from None
    if getattr(args, "outside", None) is not None:
        raise CliError("--outside goes with --box")
    if any(b is None for b in bands):
        raise CliError("give the colour window as --hue H1 H2 --chroma C1 C2 --intensity I1 I2, or --box X Y W H")
    window = Window(tuple(args.hue), tuple(args.chroma), tuple(args.intensity))
    try:
        window.check()
    except ValueError as e:
        raise CliError(str(e)) from None
    return window


def fit_kwargs(args, image=None) -> dict:
    """Keyword arguments for find_shapes from the fitting options."""
    kw = {"count": args.count, "seed": args.seed}
    if args.count <= 0:
        raise CliError(f"--count {args.count}: give a positive number of samples")
    if args.delta is not None:
        if args.delta < 0:
            raise CliError(f"--delta {args.delta}: give a half-width of 0 or more pixels")
        kw["delta"] = args.delta
    if args.radius is not None:
        lo, hi = args.radius
        if not 0 <= lo <= hi or hi == 0:
            raise CliError(f"--radius {lo} {hi}: give 0 <= MIN <= MAX, MAX above 0")
        if image is not None:
            h, w = image.shape[:2]
            if 2 * lo > max(h, w):
                raise CliError(
                    f"--radius {lo} {hi}: a shape with radius {lo} does not fit in the {w} x {h} picture "
                    f"(its largest radius is {max(h, w) // 2})"
                )
        kw["radius"] = (lo, hi)
    return kw


def _load(path):
    try:
        return load_image(path)
    except ImageError as e:
        raise CliError(str(e)) from None


def _fmt(v):
    return f"{v:.3f}"


def _table(header, rows, align):
    """Columns as wide as their widest cell; align is a string of '<' and '>'."""
    widths = [max(len(str(r[k])) for r in [header, *rows]) for k in range(len(header))]
    out = []
    for r in [header, *rows]:
        out.append("  ".join(f"{str(c):{a}{wd}}" for c, a, wd in zip(r, align, widths)).rstrip())
    return "\n".join(out)


# --------------------------------------------------------------------------
# probe


def _probe(args) -> int:
    image = _load(args.image)
    s = window_from_args(args, image)
    st = s.stats
    print(f"{args.image}: {image.shape[1]} x {image.shape[0]}; box {' '.join(map(str, args.box))}, "
          f"{st['pixels']} pixels")
    header = ["", *(f"p{p}" for p in PERCENTILES)]
    rows = [
        ["hue (rad)", *map(_fmt, st["hue"])],
        ["chroma", *map(_fmt, st["chroma"])],
        ["intensity", *map(_fmt, st["intensity"])],
    ]
    print(_table(header, rows, "<" + ">" * len(PERCENTILES)))
    print(f"suggested window selects {100 * s.inside_fraction:.1f}% of the box and "
          f"{100 * s.image_fraction:.1f}% of the picture"
          + (f", {100 * s.outside_fraction:.1f}% of the outside box" if s.outside_fraction is not None else ""))
    grey = _grey_share(image, args.box)
    if grey > 0.5:
        print(f"note: {100 * grey:.0f}% of the box is grey or white (chroma below 0.02): pixels "
              "without colour lie on the edge of every hue wedge and cannot be selected; a "
              "slightly tinted light or a box on a coloured part helps")
    elif s.inside_fraction < 0.5:
        print("note: the box holds several colours; a smaller box on one colour suggests a tighter window")
    print(Window(*s).flags())
    return 0


def _grey_share(image, box) -> float:
    """Fraction of the box's pixels with almost no chroma."""
    _, chroma, _ = lch(image[region_mask(image.shape, box, "inside")][None])
    return float(np.mean(chroma < 0.02))


# --------------------------------------------------------------------------
# find


STAGES = ("bounds", "mask", "edges", "denoise", "fit", "remove")


def _find(args) -> int:
    check_output(args.json, "--json")
    check_output(args.out, "--out")
    image = _load(args.image)
    window = window_from_args(args, image)
    kw = fit_kwargs(args, image)
    if args.box is not None:
        kw["region"] = window.region
    bounds = Window(*window)
    try:
        found = find_shapes(image, bounds, args.fit, **kw)
    except ValueError as e:
        raise CliError(str(e)) from None
    mask_count = int(np.count_nonzero(found.mask))
    if mask_count == 0:
        hint = ""
        if args.box is not None and _grey_share(image, args.box) > 0.5:
            hint = " (the box is grey or white: pixels without colour cannot be selected)"
        if args.box is None:
            hint = " (try: quorvane probe IMAGE --box X Y W H, on the object, for a window)"
        raise CliError(f"the window {bounds.flags()} selects no pixel of {args.image}{hint}")
    h, w = image.shape[:2]
    print(f"{args.image}: {w} x {h}; window {bounds.flags()}; "
          f"{mask_count} pixels selected, {len(found.points)} edge points; seed {args.seed}")
    rows = []
    for k, s in enumerate(found.shapes, 1):
        rows.append([k, s.kind, s.describe(), s.inliers if s.found else "-", s.warning or ""])
    print(_table(["#", "shape", "where", "inliers", "note"], rows, "><<><"))
    print("times (ms): " + ", ".join(f"{k} {found.times[k] * 1e3:.3f}" for k in STAGES if k in found.times))
    if args.json:
        record = {"image": str(args.image), **found.to_dict()}
        with _writing(args.json, "w") as f:
            json.dump(record, f, indent=2)
            f.write("\n")
        print(f"wrote {args.json}")
    if args.out:
        from .draw import annotate

        try:
            from PIL import Image
        except ImportError:
            raise CliError("--out needs Pillow: python3 -m pip install 'quorvane[demo]'") from None
        pic = Image.fromarray(annotate(image, found))
        fmt = Image.registered_extensions().get("." + str(args.out).rsplit(".", 1)[-1].lower(), "PNG")
        with _writing(args.out, "wb") as f:
            pic.save(f, format=fmt)
        print(f"wrote {args.out}")
    return 0


class _writing:
    """atomic_output, with failures to create or replace the file reported as CliError."""

    def __init__(self, path, mode):
        self.path, self.cm = path, atomic_output(path, mode)

    def __enter__(self):
        try:
            return self.cm.__enter__()
        except OSError as e:
            raise CliError(f"cannot write {self.path}: {e.strerror or e}") from None

    def __exit__(self, *exc):
        try:
            return self.cm.__exit__(*exc)
        except OSError as e:
            raise CliError(f"cannot write {self.path}: {e.strerror or e}") from None


def check_output(path, option):
    """Refuse an output path whose folder does not exist, before any work is done."""
    if path is None:
        return
    parent = Path(path).resolve().parent
    if not parent.is_dir():
        raise CliError(f"{option} {path}: the folder {parent} does not exist")
    if Path(path).is_dir():
        raise CliError(f"{option} {path}: is a folder")


# --------------------------------------------------------------------------


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Find lines, circles and ellipses of one colour in pictures. Start with "
        "'probe' on a box drawn on the object to get a colour window, then 'find' the shapes.",
        epilog=MODEL_HELP + "\n\nexample:\n  quorvane probe coffee.png --box 250 120 70 40\n"
        "  quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", help="print the release and the colour kernel in use",
                        version=f"{PROG} {quorvane.__version__} (colour kernel {quorvane.__color_kernel__})")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    p = sub.add_parser(
        "probe", help="the colours of a box on the picture, and the window they suggest",
        description="Print the hue, chroma and intensity percentiles of a box, how much of the box "
        "and of the picture the suggested window selects, and, as the last line, the window as "
        "flags to paste into 'quorvane find'.",
        epilog=MODEL_HELP + "\n\nexample:\n  quorvane probe coffee.png --box 250 120 70 40 --outside 480 250 100 100",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("image", metavar="IMAGE", help="a picture (PNG, JPEG, ... or a .npy array)")
    p.add_argument("--box", nargs=4, type=int, metavar=("X", "Y", "W", "H"), required=True,
                   help="a box on the object, in pixels from the top-left corner")
    p.add_argument("--outside", nargs=4, type=int, metavar=("X", "Y", "W", "H"),
                   help="a box on what must not be selected")
    p.set_defaults(run=_probe, hue=None, chroma=None, intensity=None)
    f = sub.add_parser(
        "find", help="find shapes of one colour and print, draw or save them",
        description="Select the window's colour, take edge points along scan lines, and fit the "
        "shapes asked for, each on the points the ones before it left. Prints a table; --out "
        "draws the picture, --json saves the records.",
        epilog=MODEL_HELP + "\n\nexamples:\n"
        "  quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png\n"
        "  quorvane find frame.png --hue -0.5 0.5 --chroma 0.1 0.6 --intensity 0.1 0.9 \\\n"
        "      --fit line --fit line --json lines.json",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    f.add_argument("image", metavar="IMAGE", help="a picture (PNG, JPEG, ... or a .npy array)")
    add_window_options(f)
    add_fit_options(f)
    f.add_argument("--out", metavar="PNG", help="write the annotated picture here")
    f.add_argument("--json", metavar="FILE", help="write the window and the shapes as JSON here")
    f.set_defaults(run=_find)
    for name in EXTRA_COMMANDS:
        try:
            module = importlib.import_module(f"{__package__}.{name}")
        except ModuleNotFoundError as e:
            if e.name != f"{__package__}.{name}":
                raise
            continue
        module.register(sub)
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args) or 0)
    except CliError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
