"""Photo benchmark: does a box drawn on an object in a photograph give that object's shape?

Every case is an object in one of scikit-image's photographs (or, with --cases, in any picture
file): the box a new user would draw on it, the kind of shape asked for, and the object's true
outline, measured without quorvane (segmentation, edges and least squares with OpenCV, SciPy and
scikit-image; `--measure` recomputes the truths from the pictures). The routes are what a user
does with the command line, run in-process through quorvane_tools.cli.main:

    box       quorvane find IMG --box X Y W H --fit KIND [--radius A B]
    probe     quorvane probe IMG --box X Y W H, then find with the box and the printed window
    flags     (side column) find with the printed window alone, no box
    all       quorvane find IMG --box X Y W H --all --fit KIND   (cases with several objects)
    baseline  the short OpenCV script a typical user writes from the same box

A shape is found when its outline lies within max(3 px, 5 % of the object's larger semi-axis)
of the truth everywhere (lines: both ends of the true segment within 3 px of the line).

    python bench/bench_photos.py                       the tables and the summary
    python bench/bench_photos.py --route box -k coin   a subset
    python bench/bench_photos.py --overlay DIR         the truths drawn on the pictures
    python bench/bench_photos.py --sheet sheet.png     every case's shapes on one contact sheet
    python bench/bench_photos.py --measure [--update]  re-measure the truths (and store them)
    python bench/bench_photos.py --cases other.json    more cases, on picture files
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

# The benchmark's parts; their names are this module's too (tests read the cases through it).
from photos_cases import (CASES_FILE, HERE, KINDS, LINE_TOLERANCE, ROUTES, Case, cases,  # noqa: F401
                          centre, conic, error, inside, load_cases, outline, picture, rgb, save_cases, size,
                          tolerance)
from photos_measure import (MEASURES, blobs, circle_of, colour_gradient, contour_ellipse,  # noqa: F401
                            edge_stations, ellipse_dict, ellipse_of, fit_circle, fit_ellipse, measure_conic,
                            measure_line, measures)
from photos_report import (AMBER, BLUE, CYAN, GREEN, ROUTE_COLOURS, WHITE, contact_sheet,  # noqa: F401
                           draw_box, draw_shape, focus, overlay, print_case_lines, print_route_table,
                           print_summary, results_json, write_png)
from photos_routes import (SHAPE_KEYS, Outcome, Workspace, opencv_baseline, probe_flags,  # noqa: F401
                           route_all, route_baseline, route_box, route_flags, route_probe, run_cli)
from photos_score import Verdict, run_case, score_all, score_one, summarise, thresholds  # noqa: F401
from photos_truths import _measure_all, measure  # noqa: F401


# ==========================================================================


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__.split("\n\n", 1)[1],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--route", action="append", choices=ROUTES,
                    help="run only this route (repeat for more; default all; probe also gives the flags column)")
    ap.add_argument("-k", metavar="SUBSTRING", action="append", help="only cases whose name holds this (repeatable)")
    ap.add_argument("--cases", metavar="FILE.json", action="append", default=[],
                    help="more cases, from a JSON file (pictures as files); repeatable")
    ap.add_argument("--no-builtin", action="store_true", help="with --cases: leave out the built-in cases")
    ap.add_argument("--json", metavar="OUT", help="write the per-case results here")
    ap.add_argument("--sheet", metavar="FILE.png", help="write a contact sheet of every case's shapes")
    ap.add_argument("--overlay", metavar="DIR", help="write each case's truths and box over its picture, and stop")
    ap.add_argument("--measure", action="store_true", help="re-measure the truths of the built-in cases, print them, and stop")
    ap.add_argument("--update", action="store_true", help="with --measure: store the new truths in photos_cases.json")
    ap.add_argument("--quiet", action="store_true", help="only the summary and the targets")
    args = ap.parse_args(argv)

    selected = [] if args.no_builtin else cases()
    for f in args.cases:
        selected += load_cases(f)
    if args.k:
        selected = [c for c in selected if any(k in c.name for k in args.k)]
    if not selected:
        sys.exit("bench_photos: no case selected")

    if args.measure:
        _measure_all([c for c in selected if c.source == "skimage"], args.update)
        return 0
    if args.overlay:
        out = Path(args.overlay)
        out.mkdir(parents=True, exist_ok=True)
        for case in selected:
            write_png(out / f"{case.name}.png", overlay(case))
        print(f"wrote {len(selected)} overlays to {out}")
        return 0

    routes = args.route or list(ROUTES)
    ws = Workspace()
    results = []
    t0 = time.perf_counter()
    try:
        for k, case in enumerate(selected, 1):
            print(f"\r{k}/{len(selected)} {case.name:<30}", end="", file=sys.stderr, flush=True)
            results.append((case, run_case(ws, case, routes)))
    finally:
        print("\r" + " " * 40 + "\r", end="", file=sys.stderr)
        ws.close()
    summary = summarise(results)
    n_obj = sum(len(c.truths) if c.every else 1 for c in selected)
    pictures = len({c.picture for c in selected})
    print(f"{len(selected)} cases ({n_obj} objects) on {pictures} pictures; routes {', '.join(routes)}; "
          f"{time.perf_counter() - t0:.1f} s")
    if not args.quiet:
        for route in ("box", "probe", "flags", "all", "baseline", "baseline-all"):
            print_route_table(route, results)
        print_case_lines(results)
    print_summary(summary)
    if args.json:
        Path(args.json).write_text(json.dumps(results_json(results, summary), indent=1) + "\n")
        print(f"wrote {args.json}")
    if args.sheet:
        write_png(args.sheet, contact_sheet(results))
        print(f"wrote {args.sheet}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
