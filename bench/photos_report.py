"""The photo benchmark's pictures (overlays, the contact sheet) and printed reports."""

from __future__ import annotations

import math
import sys

import cv2
import numpy as np
from photos_cases import Case, centre, outline, picture, rgb, size
from photos_score import thresholds

# ==========================================================================
# Drawing

GREEN, BLUE, WHITE, AMBER, CYAN = (40, 220, 40), (60, 120, 255), (255, 255, 255), (255, 176, 0), (0, 230, 230)
ROUTE_COLOURS = {"box": WHITE, "probe": (255, 90, 200), "flags": (170, 120, 255), "all": (255, 255, 120),
                 "baseline": CYAN}


def draw_shape(canvas, shape, colour, *, scale=1.0, offset=(0, 0), thickness=1):
    """Draw a truth or a found shape on an RGB canvas showing the picture scaled by ``scale``
    from the picture point ``offset``. Found lines are drawn across the whole canvas."""
    ox, oy = offset
    sh = 4  # sub-pixel bits

    def px(p):  # pixel centres are at whole coordinates: pixel k spans k - 0.5 to k + 0.5
        return np.round(((np.asarray(p, float) - (ox, oy) + 0.5) * scale - 0.5) * (1 << sh)).astype(np.int32)

    if "x1" in shape:
        cv2.line(canvas, tuple(px((shape["x1"], shape["y1"]))), tuple(px((shape["x2"], shape["y2"]))),
                 colour, thickness, cv2.LINE_AA, sh)
        for p in ((shape["x1"], shape["y1"]), (shape["x2"], shape["y2"])):
            cv2.circle(canvas, tuple(px(p)), 3 << sh, colour, thickness, cv2.LINE_AA, sh)
    elif "px" in shape:
        n = np.array([shape["nx"], shape["ny"]], float)
        if not n.any():
            return
        d = np.array([-n[1], n[0]]) / np.linalg.norm(n)
        p = np.array([shape["px"], shape["py"]], float)
        far = 4 * max(canvas.shape) / scale + math.hypot(p[0] - ox, p[1] - oy)
        cv2.line(canvas, tuple(px(p - far * d)), tuple(px(p + far * d)), colour, thickness, cv2.LINE_AA, sh)
    else:
        cv2.polylines(canvas, [px(outline(shape, 360))], True, colour, thickness, cv2.LINE_AA, sh)


def draw_box(canvas, box, colour, *, scale=1.0, offset=(0, 0), thickness=1):
    x, y, w, h = box
    ox, oy = offset
    p0 = (int(round((x - ox) * scale)), int(round((y - oy) * scale)))
    p1 = (int(round((x + w - ox) * scale)) - 1, int(round((y + h - oy) * scale)) - 1)
    cv2.rectangle(canvas, p0, p1, colour, thickness, cv2.LINE_AA)


def focus(case: Case, margin: float = 0.25):
    """(x, y, w, h) around the boxed object and the box, with a margin, inside the picture."""
    t = case.truths[case.target()]
    if "x1" in t:
        xs, ys = [t["x1"], t["x2"]], [t["y1"], t["y2"]]
    else:
        o = outline(t, 90)
        xs, ys = list(o[:, 0]), list(o[:, 1])
    bx, by, bw, bh = case.box
    xs += [bx, bx + bw]
    ys += [by, by + bh]
    if case.every:
        for tr in case.truths:
            c = centre(tr)
            if c:
                xs.append(c[0])
                ys.append(c[1])
    x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
    m = margin * max(x1 - x0, y1 - y0, 20)
    h, w = picture(case).shape[:2]
    x0, y0 = max(0, int(x0 - m)), max(0, int(y0 - m))
    x1, y1 = min(w, int(math.ceil(x1 + m))), min(h, int(math.ceil(y1 + m)))
    return x0, y0, x1 - x0, y1 - y0


def overlay(case: Case, zoom_to: int = 900) -> np.ndarray:
    """The picture around the case with its truths (green) and box (blue), scaled up so that a
    pixel's error can be seen."""
    img = rgb(picture(case))
    x, y, w, h = focus(case)
    scale = max(1.0, min(8.0, zoom_to / max(w, h)))
    canvas = cv2.resize(img[y:y + h, x:x + w], None, fx=scale, fy=scale, interpolation=cv2.INTER_CUBIC)
    for t in case.truths:
        draw_shape(canvas, t, GREEN, scale=scale, offset=(x, y))
    draw_box(canvas, case.box, BLUE, scale=scale, offset=(x, y), thickness=2)
    cv2.putText(canvas, case.name, (6, 22), cv2.FONT_HERSHEY_SIMPLEX, 0.7, (0, 0, 0), 3, cv2.LINE_AA)
    cv2.putText(canvas, case.name, (6, 22), cv2.FONT_HERSHEY_SIMPLEX, 0.7, WHITE, 1, cv2.LINE_AA)
    return canvas


def write_png(path, canvas_rgb):
    if not cv2.imwrite(str(path), cv2.cvtColor(canvas_rgb, cv2.COLOR_RGB2BGR)):
        sys.exit(f"bench_photos: cannot write {path}")


def contact_sheet(results, tile: int = 300, columns: int = 6) -> np.ndarray:
    """One tile per case: the picture around the object, the truth in green, the box in blue,
    each route's shapes in its colour (the box route's in amber when warned), the case's name
    and verdicts below."""
    label_h = 34
    tiles = []
    for case, verdicts in results:
        img = rgb(picture(case))
        x, y, w, h = focus(case, 0.3)
        scale = tile / max(w, h)
        crop = cv2.resize(img[y:y + h, x:x + w], None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA if scale < 1 else cv2.INTER_CUBIC)
        canvas = np.zeros((tile + label_h, tile, 3), np.uint8)
        canvas[:crop.shape[0], :crop.shape[1]] = crop[:tile, :tile]
        view = canvas[:tile]
        for t in case.truths:
            draw_shape(view, t, GREEN, scale=scale, offset=(x, y), thickness=2)
        draw_box(view, case.box, BLUE, scale=scale, offset=(x, y), thickness=2)
        for route, v in verdicts.items():
            colour = CYAN if route.startswith("baseline") else ROUTE_COLOURS.get(route, WHITE)
            for shape in v.shapes:
                c = AMBER if route == "box" and shape.get("warning") else colour
                draw_shape(view, shape, c, scale=scale, offset=(x, y), thickness=1)
        words = [f"{_short(r)} {_verdict_word(v)}" for r, v in verdicts.items()]
        cv2.putText(canvas, case.name, (4, tile + 13), cv2.FONT_HERSHEY_SIMPLEX, 0.42, WHITE, 1, cv2.LINE_AA)
        cv2.putText(canvas, " ".join(words), (4, tile + 29), cv2.FONT_HERSHEY_SIMPLEX, 0.36, (200, 200, 200), 1, cv2.LINE_AA)
        tiles.append(canvas)
    while len(tiles) % columns:
        tiles.append(np.zeros_like(tiles[0]))
    rows = [np.hstack(tiles[k:k + columns]) for k in range(0, len(tiles), columns)]
    sheet = np.vstack(rows)
    legend = np.zeros((28, sheet.shape[1], 3), np.uint8)
    xpos = 6
    for text, colour in (("truth", GREEN), ("box", BLUE), ("find --box", WHITE), ("warned", AMBER),
                         ("probe+find", ROUTE_COLOURS["probe"]), ("flags", ROUTE_COLOURS["flags"]),
                         ("--all", ROUTE_COLOURS["all"]), ("baseline", CYAN)):
        cv2.putText(legend, text, (xpos, 19), cv2.FONT_HERSHEY_SIMPLEX, 0.5, colour, 1, cv2.LINE_AA)
        xpos += 14 * len(text) + 20
    return np.vstack([legend, sheet])


def _short(route):
    return {"box": "B", "probe": "P", "flags": "F", "all": "A", "baseline": "O", "baseline-all": "OA"}[route]


def _verdict_word(v) -> str:
    if v.truths > 1:
        return v.verdict
    return {"found": "ok", "wrong": "x", "none": "-"}[v.verdict]


# ==========================================================================
# Reports


def _fmt_err(v) -> str:
    return "" if v.error is None else ("inf" if not math.isfinite(v.error) else f"{v.error:.1f}")


def print_route_table(route, results):
    rows = []
    for case, verdicts in results:
        v = verdicts.get(route)
        if v is None:
            continue
        note = ""
        if v.shapes and v.shapes[0].get("warning"):
            note = "warned: " + str(v.shapes[0]["warning"])
        elif v.status != "ok":
            note = f"{v.status}: {v.message}"
        elif v.verdict == "none":
            note = "no shape"
        if v.truths > 1:
            note = f"dup {v.duplicates}, false {v.false}" + (f"; {note}" if note else "")
        rows.append((case.name, v.verdict, _fmt_err(v), note[:90]))
    if not rows:
        return
    print(f"\nroute {route}")
    _print_table(("case", "verdict", "err px", "note"), rows)


def _print_table(header, rows):
    widths = [max(len(str(r[k])) for r in [header, *rows]) for k in range(len(header))]
    for r in [header, *rows]:
        print("  ".join(f"{str(c):<{w}}" for c, w in zip(r, widths)).rstrip())


def print_case_lines(results):
    print("\nper case (verdict, error px)")
    rows = []
    for case, verdicts in results:
        cells = [f"{r} {v.verdict} {_fmt_err(v)}".rstrip() for r, v in verdicts.items()]
        rows.append((case.name, f"{size(case.truths[case.target()]):.0f}", *cells))
    width = max(len(r) for r in rows)
    rows = [r + ("",) * (width - len(r)) for r in rows]
    _print_table(("case", "size", *[""] * (width - 2)), rows)


def print_summary(summary):
    print("\nsummary")
    rows = []
    for route, s in summary.items():
        rows.append((route, s["objects"], f"{s['found']} ({100 * s['found'] / max(1, s['objects']):.0f} %)",
                     s["wrong"], s["none"], s["duplicates"], s["false"], s["right_warned"], s["wrong_unwarned"],
                     f"{s['seconds']:.1f}"))
    _print_table(("route", "objects", "found", "wrong", "none", "dup", "false", "right warned", "wrong unwarned",
                  "seconds"), rows)
    print("\ntargets")
    for what, holds in thresholds(summary):
        print(f"  {'yes' if holds else 'NO '}  {what}")


def results_json(results, summary) -> dict:
    cases_out = []
    for case, verdicts in results:
        rec = {"name": case.name, "picture": case.picture, "kind": case.kind, "routes": {}}
        for route, v in verdicts.items():
            rec["routes"][route] = {
                "verdict": v.verdict, "error": v.error if v.error is None or math.isfinite(v.error) else None,
                "matched": v.matched, "truths": v.truths, "duplicates": v.duplicates, "false": v.false,
                "right_warned": v.right_warned, "wrong_unwarned": v.wrong_unwarned, "status": v.status,
                "message": v.message, "seconds": round(v.seconds, 4), "shapes": v.shapes,
            }
        cases_out.append(rec)
    return {"cases": cases_out, "summary": summary,
            "targets": [{"what": w, "holds": h} for w, h in thresholds(summary)]}
