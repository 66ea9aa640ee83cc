"""The options that several commands share (the colour window, the fitting, the pixel limit),
the types that refuse bad numbers in one line, and what the options give once checked."""

from __future__ import annotations

import argparse
import math

from .. import _checks
from .._arrays import MAX_PIXELS, ImageError, load_image
from .._records import FITS
from ._errors import CliError

MODEL_HELP = """\
colour model: hue is an angle in radians (0 red, 2.09 green, -2.09 blue; a wedge H1 < H2
narrower than pi, written across red as e.g. -0.5 0.5); chroma (0 grey, 1 a pure primary)
and intensity ((R + G + B) / 3, 0 black, 1 white) are fractions of the channel range. A
window selects the pixels strictly inside all three."""

EXIT_HELP = """\
exit status: 0 done; 1 a failure after the input was accepted (out of memory, disk full...);
2 bad input (one line on standard error, nothing written); 130 interrupted (Ctrl+C);
141 standard output was closed early (e.g. by | head)."""

OUTPUT_HELP = """\
outputs: written to a temporary file beside the target, renamed over it once complete (a
failure or Ctrl+C leaves the old file as it was). A symbolic link is followed: the file it leads
to is replaced, the link stays. A folder, device, pipe or socket is never replaced: it is
refused before any work. '-' is standard output (for a picture, only when that is not a
terminal); the report then goes to standard error."""

# Ceilings on what one command may ask for, shared by every command (find, probe, tune, video).
#
# A fitter call holds the interpreter lock, so Ctrl+C waits for it: the count is bounded so that
# one call takes at most about a second here. The slowest fitter, the ellipse, scores about
# 37,000 samples a second on the points of an ellipse's outline among 150,000 (what the
# default scan lines take from a 100-megapixel picture); find_shapes gives a doubtful circle or
# ellipse a second look with 8 x --count samples in one call, hence 8 x MAX_COUNT = 32,000.
# The time of a sample grows with the points, that is with the scan lines: MAX_LINES keeps the
# scan's point list at most 8 times the default one (and its buffer under 8 x MAX_LINES x
# (rows + columns) bytes).
MAX_COUNT = 4000  # --count: RANSAC samples per fit
MAX_LINES = 1024  # scan lines per direction (--lines ROWS COLUMNS)
MAX_RADIUS = 45000  # --radius; radius + delta stays below 46341, where the fitters' squares wrap
MAX_DELTA = 1000  # --delta
MAX_COORD = 1 << 30  # |X|, |Y|, W, H of --box and --outside
MAX_SEED = (1 << 32) - 1  # --seed: the C library's generator takes 32 bits
MAX_MAX_PIXELS = 1 << 40  # --max-pixels


def whole(lo: int, hi: int):
    """An argparse type: a whole number from lo to hi, refused with one clear message."""

    def parse(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text[:40]!r} is not a whole number") from None
        if not lo <= value <= hi:
            raise argparse.ArgumentTypeError(f"{text[:40]} is out of range: give {lo} to {hi}")
        return value

    parse.__name__ = "whole number"
    return parse


def finite(text: str) -> float:
    """An argparse type: a finite decimal number (no nan, no inf)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text[:40]!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text[:40]} is not a finite number")
    return value


def port(text: str) -> int:
    """An argparse type: a TCP port, 0 (any free one) to 65535."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid port {text!r}: expected a number from 0 to 65535") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"invalid port {text!r}: expected a number from 0 to 65535")
    return value


def add_window_options(parser) -> None:
    g = parser.add_argument_group(
        "colour window (the three bands, --intensity alone for grey, or --box to suggest them)")
    g.add_argument("--hue", nargs=2, type=finite, metavar=("H1", "H2"), help="hue wedge, radians")
    g.add_argument("--chroma", nargs=2, type=finite, metavar=("C1", "C2"), help="chroma band, fractions")
    g.add_argument("--intensity", nargs=2, type=finite, metavar=("I1", "I2"),
                   help="intensity band, fractions; alone (without --hue and --chroma) it selects by "
                   "intensity only, for grey pictures and grey or white objects")
    g.add_argument(
        "--box", nargs=4, type=whole(-MAX_COORD, MAX_COORD), metavar=("X", "Y", "W", "H"),
        help="a box on the object, in pixels from the top-left corner: alone it suggests the window; "
        "with the window flags the flags choose the colour and the box names the object",
    )
    g.add_argument(
        "--outside", nargs=4, type=whole(-MAX_COORD, MAX_COORD), metavar=("X", "Y", "W", "H"),
        help="with --box: a box on what must not be selected; the window is narrowed to leave it out",
    )


def add_fit_options(parser) -> None:
    g = parser.add_argument_group("fitting")
    g.add_argument(
        "--fit", action="append", choices=FITS, required=True,
        help="shape to find; repeat for more (each fit works on the points the ones before it left)",
    )
    g.add_argument("--all", action="store_true",
                   help="every object of the window's colour: each part of the selection that could "
                   "hold the shape is fitted (touching objects one after another); with line and "
                   "line2, fits repeat while they stay strong")
    g.add_argument("--radius", nargs=2, type=whole(0, MAX_RADIUS), metavar=("MIN", "MAX"),
                   help="radius range of circles, semi-axis range of ellipses, in pixels "
                   f"(default 8 to half the picture's smaller side; at most {MAX_RADIUS})")
    g.add_argument("--delta", type=whole(0, MAX_DELTA), metavar="D",
                   help="half-width of the inlier band in pixels (default 5 for lines, 2 otherwise; "
                   f"at most {MAX_DELTA})")
    g.add_argument("--count", type=whole(1, MAX_COUNT), default=400, metavar="N",
                   help=f"RANSAC samples per fit, 1 to {MAX_COUNT} (default 400; more finds shapes among "
                   "more clutter; the ceiling keeps one fit to about a second, so Ctrl+C is prompt)")
    g.add_argument("--lines", nargs=2, type=whole(1, MAX_LINES), metavar=("ROWS", "COLUMNS"),
                   help="scan lines for edge points (default: about a third of the smallest radius "
                   f"apart, 128 to 512 each way; 128 each for lines; at most {MAX_LINES})")
    g.add_argument("--no-refine", dest="refine", action="store_false",
                   help="report the fitter's shapes as they are, without the least-squares refinement")
    g.add_argument("--seed", type=whole(0, MAX_SEED), default=1, metavar="S",
                   help=f"seed of the C library's generator, 0 to {MAX_SEED}, for the same shapes on "
                   "every run (default 1)")


def add_limit_options(parser) -> None:
    """--max-pixels: the largest picture (or frame) a command accepts."""
    parser.add_argument(
        "--max-pixels", type=whole(1, MAX_MAX_PIXELS), default=MAX_PIXELS, metavar="N",
        help=f"refuse pictures of more than N pixels, from their header, before decoding them "
        f"(default {MAX_PIXELS:,})",
    )


def window_from_args(args, image):
    """The window the options give: the flags' window, or with --box alone the one suggested from
    the box (a Suggestion)."""
    from ..color import suggest_window  # the colour model loads with the first command that needs it

    bands = (args.hue, args.chroma, args.intensity)
    outside = getattr(args, "outside", None)
    if args.box is not None and all(b is None for b in bands):
        try:
            return suggest_window(image, args.box, outside)
        except ValueError as e:
            raise CliError(str(e)) from None
    if outside is not None:
        raise CliError("--outside goes with --box alone (it narrows the suggested window)")
    if args.intensity is None or (args.hue is None) != (args.chroma is None):
        raise CliError("give the colour window as --hue H1 H2 --chroma C1 C2 --intensity I1 I2 "
                       "(or --intensity I1 I2 alone), or --box X Y W H")
    window = _checks.window(bands, error=CliError)
    if args.box is not None:
        _checks.box(image.shape, args.box, error=CliError)
    return window


def fit_kwargs(args, image=None) -> dict:
    """Keyword arguments for find_shapes from the fitting options (their numbers are in range:
    the options' types saw to it); --radius is checked against the picture when one is given."""
    kw = {"count": args.count, "seed": args.seed, "refine": getattr(args, "refine", True),
          "every": getattr(args, "all", False)}
    if args.delta is not None:
        kw["delta"] = args.delta
    lines = getattr(args, "lines", None)
    if lines is not None:
        kw["rows"], kw["columns"] = lines
    if args.radius is not None:
        kw["radius"] = _checks.radius(args.radius, "--radius", None if image is None else image.shape,
                                      error=CliError)
    return kw


def load(args):
    """The picture of the command's IMAGE, within --max-pixels."""
    try:
        return load_image(args.image, max_pixels=getattr(args, "max_pixels", MAX_PIXELS))
    except ImageError as e:
        raise CliError(str(e)) from None
