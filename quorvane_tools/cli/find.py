"""`quorvane probe` and `quorvane find`: the colours of a box on a picture, then its shapes."""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import sys

import numpy as np

from .._arrays import output_target
from ._errors import CliError
from ._options import (
    EXIT_HELP, MAX_COORD, MODEL_HELP, OUTPUT_HELP, add_fit_options, add_limit_options, add_window_options,
    fit_kwargs, load, whole, window_from_args,
)
from ._output import absolute, check_output, fmt, table, writing

# The colour model and the search (quorvane_tools.color, .shapes) are imported when a command
# first runs, so that `quorvane --help` and the commands' own --help start quickly.

STAGES = ("bounds", "mask", "region", "edges", "denoise", "fit", "refine", "remove")


def register(sub) -> None:
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
    p.set_defaults(run=probe, hue=None, chroma=None, intensity=None)
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
    f.set_defaults(run=find)


def probe(args) -> int:
    from ..color import PERCENTILES, Window, is_grey

    image = load(args)
    s = window_from_args(args, image)
    st = s.stats
    print(f"{args.image}: {image.shape[1]} x {image.shape[0]}; box {' '.join(map(str, args.box))}, "
          f"{st['pixels']} pixels")
    header = ["", *(f"p{p}" for p in PERCENTILES)]
    rows = [
        ["hue (rad)", *map(fmt, st["hue"])],
        ["chroma", *map(fmt, st["chroma"])],
        ["intensity", *map(fmt, st["intensity"])],
    ]
    print(table(header, rows, "<" + ">" * len(PERCENTILES)))
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


def find_shapes(*args, **kwargs):
    """``quorvane_tools.shapes.find_shapes``, imported when ``find`` first runs."""
    from ..shapes import find_shapes as search

    return search(*args, **kwargs)


def find(args) -> int:
    from ..color import Window

    check_output(args.json, "--json")
    check_output(args.out, "--out", binary=True)
    if args.json is not None and args.out is not None and output_target(args.json) is None \
            and output_target(args.out) is None:
        raise CliError("--json and --out cannot both go to standard output")
    picture_format = _picture_format(args.out) if args.out is not None else None
    # With an output on standard output, the report goes to standard error.
    report = sys.stderr if any(o is not None and output_target(o) is None for o in (args.json, args.out)) \
        else sys.stdout
    image = load(args)
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
        print(table(["#", "shape", "where", "inliers", "note"], rows, "><<><"), file=report)
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

        from ..draw import annotate

        encoded = io.BytesIO()
        Image.fromarray(annotate(image, found)).save(encoded, format=picture_format)
        files.append((args.out, "wb", encoded.getvalue()))
    with contextlib.ExitStack() as stack:
        for path, mode, data in files:
            stack.enter_context(writing(path, mode)).write(data)
    for path, _, _ in files:
        target = output_target(path)
        if target is not None:
            where = "" if target == absolute(path) else f" (the file it links to: {target})"
            print(f"wrote {path}{where}", file=report)
    return 0


def _picture_format(path) -> str:
    """Pillow's name of the format --out asks for by its extension (PNG when it names none)."""
    try:
        from PIL import Image
    except ImportError:
        raise CliError("--out needs Pillow: python3 -m pip install 'quorvane[demo]'") from None
    name = os.fspath(path)
    ext = "." + name.rsplit(".", 1)[-1].lower() if "." in os.path.basename(name) else ""
    kind = Image.registered_extensions().get(ext, "PNG")
    if kind not in Image.SAVE:
        raise CliError(f"--out {path}: Pillow reads {kind} pictures but cannot write them; use .png or .jpg")
    return kind
