"""The ``quorvane`` command: look at a picture's colours, then find its shapes.

    quorvane probe coffee.png --box 250 120 70 40
    quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import io
import json
import math
import os
import sys
from pathlib import Path

import numpy as np

from ._arrays import MAX_PIXELS, ImageError, OutputError, atomic_output, load_image, output_target, region_mask
from ._records import FITS

# The colour model and the search (quorvane_tools.color, .shapes) are imported by the commands
# that use them, and video, live and tune only when their command is run, so that
# `quorvane --help` and the commands' own --help start quickly.

__all__ = [
    "main", "CliError", "check_output", "add_window_options", "add_fit_options", "add_limit_options",
    "window_from_args", "fit_kwargs", "whole", "finite",
]

PROG = "quorvane"
# Modules of this package that add a subcommand, when present, and their line in `quorvane --help`
# (the module registers its whole parser only when its command is the one run).
EXTRA_COMMANDS = {
    "video": "find shapes in every frame of a video (one process or a Dask cluster)",
    "live": "find shapes in a camera or a stream as the frames arrive; records out at once",
    "tune": "pick a colour window by eye on a local web page",
}

MODEL_HELP = """\
colour model: hue is an angle in radians (0 red, 2.09 green, -2.09 blue; a wedge H1 < H2
narrower than pi, written across red as e.g. -0.5 0.5); chroma (0 grey, 1 a pure primary)
and intensity ((R + G + B) / 3, 0 black, 1 white) are fractions of the channel range. A
window selects the pixels strictly inside all three."""


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

EXIT_OK, EXIT_FAILED, EXIT_BAD_INPUT, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141

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


class CliError(Exception):
    """Bad input: main prints 'quorvane: error: <message>' and exits with status 2."""


class _Parser(argparse.ArgumentParser):
    """argparse whose usage errors are one line: 'quorvane: error: find: <message>; see ...'."""

    def error(self, message):
        where = self.prog[len(PROG):].strip()
        self.exit(EXIT_BAD_INPUT, f"{PROG}: error: {where + ': ' if where else ''}{message}; "
                  f"see '{self.prog} --help'\n")


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
    from .color import Window, suggest_window

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
    window = Window(
        None if args.hue is None else tuple(args.hue),
        None if args.chroma is None else tuple(args.chroma),
        tuple(args.intensity),
    )
    try:
        window.check()
    except ValueError as e:
        raise CliError(str(e)) from None
    if args.box is not None:
        try:
            region_mask(image.shape, args.box, "box")
        except ValueError as e:
            raise CliError(str(e)) from None
    return window


def fit_kwargs(args, image=None) -> dict:
    """Keyword arguments for find_shapes from the fitting options."""
    kw = {"count": args.count, "seed": args.seed, "refine": getattr(args, "refine", True),
          "every": getattr(args, "all", False)}
    if args.count <= 0:
        raise CliError(f"--count {args.count}: give a positive number of samples")
    if args.delta is not None:
        if args.delta < 0:
            raise CliError(f"--delta {args.delta}: give a half-width of 0 or more pixels")
        kw["delta"] = args.delta
    lines = getattr(args, "lines", None)
    if lines is not None:
        lo = min(lines)
        if lo < 1 or max(lines) > MAX_LINES:
            raise CliError(f"--lines {lines[0]} {lines[1]}: give 1 to {MAX_LINES} rows and columns")
        kw["rows"], kw["columns"] = lines
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


def _load(args):
    try:
        return load_image(args.image, max_pixels=getattr(args, "max_pixels", MAX_PIXELS))
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
    from .color import PERCENTILES, Window, is_grey

    image = _load(args)
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
    region = int(np.count_nonzero(s.region))
    print(f"suggested window selects {100 * s.inside_fraction:.1f}% of the box and "
          f"{100 * s.image_fraction:.1f}% of the picture"
          + (f", {100 * s.outside_fraction:.1f}% of the outside box" if s.outside_fraction is not None else ""))
    print(f"object grown from the box: {region} pixels ({100 * region / s.region.size:.1f}% of the picture), "
          f"{100 * s.region_fraction:.0f}% of them selected")
    if s.intensity_only:
        why = "the picture is grey" if is_grey(image) else "the object is grey or white"
        print(f"window of intensity alone: {why}, so hue and chroma say nothing about it")
    if s.note:
        print(f"note: {s.note}")
    print(Window(*s).flags())
    return 0


# --------------------------------------------------------------------------
# find


STAGES = ("bounds", "mask", "region", "edges", "denoise", "fit", "refine", "remove")


def find_shapes(*args, **kwargs):
    """``quorvane_tools.shapes.find_shapes``, imported when ``find`` first runs."""
    from .shapes import find_shapes as find

    return find(*args, **kwargs)


def _find(args) -> int:
    from .color import Window

    check_output(args.json, "--json")
    check_output(args.out, "--out", binary=True)
    if args.json is not None and args.out is not None and output_target(args.json) is None \
            and output_target(args.out) is None:
        raise CliError("--json and --out cannot both go to standard output")
    picture_format = _picture_format(args.out) if args.out is not None else None
    # With an output on standard output, the report goes to standard error.
    report = sys.stderr if any(o is not None and output_target(o) is None for o in (args.json, args.out)) \
        else sys.stdout
    image = _load(args)
    window = window_from_args(args, image)
    kw = fit_kwargs(args, image)
    if args.box is not None:
        kw["box"] = tuple(args.box)
    try:
        found = find_shapes(image, window, args.fit, **kw)
    except ValueError as e:
        raise CliError(str(e)) from None
    flags = Window(*window).flags()
    mask_count = int(np.count_nonzero(found.mask))
    if mask_count == 0:
        hint = " (try: quorvane probe IMAGE --box X Y W H, on the object, for a window)"
        raise CliError(f"the window {flags} selects no pixel of {args.image}{hint}")
    h, w = image.shape[:2]
    where = ""
    if found.region is not None:
        where = f", object {int(np.count_nonzero(found.region))} pixels"
    print(f"{args.image}: {w} x {h}; window {flags}; {mask_count} pixels selected{where}, "
          f"{len(found.points)} edge points; seed {args.seed}", file=report)
    rows = []
    for k, sh in enumerate(found.shapes, 1):
        rows.append([k, sh.kind, sh.describe(), sh.inliers if sh.found else "-", sh.warning or ""])
    if rows:
        print(_table(["#", "shape", "where", "inliers", "note"], rows, "><<><"), file=report)
    n = found.count
    print(f"{n} shape{'s' if n != 1 else ''} found", file=report)
    print("times (ms): " + ", ".join(f"{k} {found.times[k] * 1e3:.3f}" for k in STAGES if k in found.times),
          file=report)
    # Both outputs are made in memory first, then written together: each to a temporary file,
    # both renamed only once both are complete.
    files = []
    if args.json:
        record = {"image": str(args.image), **found.to_dict()}
        files.append((args.json, "w", json.dumps(record, indent=2) + "\n"))
    if args.out:
        from PIL import Image

        from .draw import annotate

        encoded = io.BytesIO()
        Image.fromarray(annotate(image, found)).save(encoded, format=picture_format)
        files.append((args.out, "wb", encoded.getvalue()))
    with contextlib.ExitStack() as stack:
        for path, mode, data in files:
            stack.enter_context(_writing(path, mode)).write(data)
    for path, _, _ in files:
        target = output_target(path)
        if target is not None:
            where = "" if target == _absolute(path) else f" (the file it links to: {target})"
            print(f"wrote {path}{where}", file=report)
    return 0


def _absolute(path):
    return Path(os.path.abspath(path))


def _picture_format(path) -> str:
    """Pillow's name of the format --out asks for by its extension (PNG when it names none)."""
    try:
        from PIL import Image
    except ImportError:
        raise CliError("--out needs Pillow: python3 -m pip install 'quorvane[demo]'") from None
    name = os.fspath(path)
    ext = "." + name.rsplit(".", 1)[-1].lower() if "." in os.path.basename(name) else ""
    fmt = Image.registered_extensions().get(ext, "PNG")
    if fmt not in Image.SAVE:
        raise CliError(f"--out {path}: Pillow reads {fmt} pictures but cannot write them; use .png or .jpg")
    return fmt


class _writing:
    """atomic_output, with failures to create or replace the file reported as errors after
    the input was accepted (status 1)."""

    def __init__(self, path, mode):
        self.path, self.cm = path, atomic_output(path, mode)

    def __enter__(self):
        try:
            return self.cm.__enter__()
        except OutputError as e:
            raise CliError(str(e)) from None
        except OSError as e:
            raise WriteError(f"cannot write {self.path}: {e.strerror or e}") from None

    def __exit__(self, *exc):
        try:
            return self.cm.__exit__(*exc)
        except OutputError as e:
            raise CliError(str(e)) from None
        except OSError as e:
            if isinstance(e, BrokenPipeError):
                raise
            raise WriteError(f"cannot write {self.path}: {e.strerror or e}") from None


class WriteError(Exception):
    """A failure after the input was accepted: main prints the line and exits with status 1."""


def check_output(path, option, *, binary: bool = False):
    """Refuse, before any work is done, an output that atomic_output would refuse (a folder, a
    device, a pipe, a symbolic link loop, a missing folder...); with ``binary``, also '-' while
    standard output is a terminal. None (the option not given) passes."""
    if path is None:
        return
    try:
        target = output_target(path)
    except OutputError as e:
        raise CliError(f"{option} {e}") from None
    if target is None and binary and _stdout_is_terminal():
        raise CliError(f"{option} {path}: standard output is a terminal; send the picture to a file "
                       "or a program (> found.png, | display)")


def _stdout_is_terminal() -> bool:
    try:
        return os.isatty(sys.stdout.fileno())
    except (AttributeError, OSError, ValueError):
        return False


# --------------------------------------------------------------------------


class _Version(argparse.Action):
    """--version: the release and the colour kernel, read from the extension only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        import quorvane

        sys.stdout.write(f"{PROG} {quorvane.__version__} (colour kernel {quorvane.__color_kernel__})\n")
        parser.exit()


def _command_of(argv) -> str | None:
    """The subcommand named by the arguments (the first that is not an option), if any."""
    args = iter(argv)
    for a in args:
        if not isinstance(a, str):
            return None
        if a == "--":
            return next(args, None)
        if not a.startswith("-"):
            return a
    return None


def build_parser(argv=None):
    """The parser of every command; given ``argv``, one in which only the command that argv names
    among EXTRA_COMMANDS has its whole parser (its module imported), the others a line of help."""
    command = None if argv is None else _command_of(argv)
    parser = _Parser(
        prog=PROG,
        description="Find lines, circles and ellipses of one colour in pictures. Start with "
        "'probe' on a box drawn on the object to get a colour window, then 'find' the shapes.",
        epilog=MODEL_HELP + "\n\nexample:\n  quorvane probe coffee.png --box 250 120 70 40\n"
        "  quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png"
        "\n\n" + EXIT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_Version, help="print the release and the colour kernel in use")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    p = sub.add_parser(
        "probe", help="the colours of a box on the picture, and the window they suggest",
        description="Print the hue, chroma and intensity percentiles of a box, how much of the box "
        "and of the picture the suggested window selects, and, as the last line, the window as "
        "flags to paste into 'quorvane find'.",
        epilog=MODEL_HELP + "\n\nexample:\n  quorvane probe coffee.png --box 250 120 70 40 --outside 480 250 100 100"
        "\n\n" + EXIT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("image", metavar="IMAGE", help="a picture (PNG, JPEG, ... or a .npy array)")
    p.add_argument("--box", nargs=4, type=whole(-MAX_COORD, MAX_COORD), metavar=("X", "Y", "W", "H"),
                   required=True, help="a box on the object, in pixels from the top-left corner")
    p.add_argument("--outside", nargs=4, type=whole(-MAX_COORD, MAX_COORD), metavar=("X", "Y", "W", "H"),
                   help="a box on what must not be selected")
    add_limit_options(p)
    p.set_defaults(run=_probe, hue=None, chroma=None, intensity=None)
    f = sub.add_parser(
        "find", help="find shapes of one colour and print, draw or save them",
        description="Select the window's colour, take edge points along scan lines, and fit the "
        "shapes asked for, each on the points the ones before it left. Prints a table; --out "
        "draws the picture, --json saves the records.",
        epilog=MODEL_HELP + "\n\nexamples:\n"
        "  quorvane find coffee.png --box 250 120 70 40 --fit ellipse --radius 20 150 --out found.png\n"
        "  quorvane find frame.png --hue -0.5 0.5 --chroma 0.1 0.6 --intensity 0.1 0.9 \\\n"
        "      --fit line --fit line --json lines.json\n"
        "  quorvane find coffee.png --box 250 120 70 40 --fit ellipse --json - | jq .shapes"
        "\n\n" + OUTPUT_HELP + "\n\n" + EXIT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    f.add_argument("image", metavar="IMAGE", help="a picture (PNG, JPEG, ... or a .npy array)")
    add_window_options(f)
    add_fit_options(f)
    f.add_argument("--out", metavar="PNG",
                   help="write the annotated picture here (its format from the extension, PNG if none; "
                   "'-': standard output)")
    f.add_argument("--json", metavar="FILE",
                   help="write the window and the shapes as JSON here ('-': standard output)")
    add_limit_options(f)
    f.set_defaults(run=_find)
    for name, line in EXTRA_COMMANDS.items():
        if argv is not None and name != command:
            if importlib.util.find_spec(f"{__package__}.{name}") is not None:
                sub.add_parser(name, help=line)
            continue
        try:
            module = importlib.import_module(f"{__package__}.{name}")
        except ModuleNotFoundError as e:
            if e.name != f"{__package__}.{name}":
                raise
            continue
        module.register(sub)
    return parser


def _say(message: str) -> None:
    """The one line of an error, on standard error."""
    text = " ".join(str(message).split()) or "(no message)"
    try:
        print(f"{PROG}: error: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # standard error closed: nothing left to tell


def _quiet_stdout() -> None:
    """After a closed pipe on standard output: point it at /dev/null, so that the interpreter's
    final flush does not fail again and print 'Exception ignored' (as the Python docs advise)."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):
        pass


def main(argv=None) -> int:
    """The ``quorvane`` command. Every failure ends as one 'quorvane: error: ...' line on standard
    error and a status (see EXIT_HELP); usage errors and --help leave through SystemExit."""
    try:
        args = build_parser(sys.argv[1:] if argv is None else argv).parse_args(argv)
        code = int(args.run(args) or 0)
        sys.stdout.flush()  # a closed pipe shows here, not at the interpreter's exit
        return code
    except CliError as e:
        _say(e)
        return EXIT_BAD_INPUT
    except (ImageError, OutputError) as e:  # raised by a command that did not turn them into CliError
        _say(e)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (| head): stop quietly, with the status a
        # shell reports for a program that a closed pipe ended.
        _quiet_stdout()
        return EXIT_PIPE
    except WriteError as e:
        _say(e)
        return EXIT_FAILED
    except MemoryError:
        _say("out of memory (a smaller picture, or a lower --max-pixels, needs less)")
        return EXIT_FAILED
    except RecursionError as e:
        _say(f"internal error: RecursionError: {e}")
        return EXIT_FAILED
    except OSError as e:
        where = f"{e.filename}: " if getattr(e, "filename", None) else ""
        _say(f"{where}{e.strerror or e}")
        return EXIT_FAILED
    except Exception as e:  # a fault of this program: one line all the same, and say so
        _say(f"internal error: {type(e).__name__}: {e} (please report it)")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
