"""The photo benchmark's routes: the commands a user runs on a case, and the OpenCV baseline."""

from __future__ import annotations

import contextlib
import io
import json
import math
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import cv2
import numpy as np
from photos_cases import Case, picture, rgb
from photos_measure import ellipse_dict

# ==========================================================================
# Routes: what a user runs, and what each gives


@dataclass
class Outcome:
    """What one route gave on one case: the shapes (dicts with the shape's fields and
    "warning"), or none with the reason (a refusal's message, an error)."""

    shapes: list = field(default_factory=list)
    status: str = "ok"  # "ok", "refused" (exit status 2 or an unknown option), "error" (a crash)
    message: str = ""
    seconds: float = 0.0


class Workspace:
    """A temporary folder with the cases' pictures written as PNG files (grey stays grey, RGBA
    keeps its alpha) and room for the command's JSON output."""

    def __init__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="bench_photos.")
        self.path = Path(self._dir.name)
        self._files: dict = {}
        self._count = 0

    def picture_file(self, case: Case) -> str:
        key = (case.picture, case.crop)
        if key not in self._files:
            img = picture(case)
            if img.ndim == 3:
                img = cv2.cvtColor(img, cv2.COLOR_RGBA2BGRA if img.shape[2] == 4 else cv2.COLOR_RGB2BGR)
            f = self.path / f"picture{len(self._files)}.png"
            cv2.imwrite(str(f), img)
            self._files[key] = str(f)
        return self._files[key]

    def json_file(self) -> str:
        self._count += 1
        return str(self.path / f"found{self._count}.json")

    def close(self):
        self._dir.cleanup()


def run_cli(argv):
    """quorvane_tools.cli.main(argv) in this process: (exit status or "error", stdout, stderr)."""
    from quorvane_tools import cli

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = cli.main([str(a) for a in argv])
        except SystemExit as e:  # argparse: an unknown option or a bad value
            status = e.code if isinstance(e.code, int) else 2
        except Exception as e:  # a crash is reported, not raised: the other cases still run
            status = "error"
            err.write(f"{type(e).__name__}: {e}")
    return status, out.getvalue(), err.getvalue()


SHAPE_KEYS = {"line": ("px", "py", "nx", "ny"), "circle": ("x", "y", "r"), "ellipse": ("x", "y", "a", "b", "theta")}


def _find(ws: Workspace, case: Case, extra, *, first_only: bool) -> Outcome:
    """quorvane find on the case's picture with the given options, the shapes read back from
    its JSON (the records' shape fields and warning; other keys are ignored)."""
    out = ws.json_file()
    argv = ["find", ws.picture_file(case), *extra, "--fit", case.kind]
    if case.radius is not None:
        argv += ["--radius", *case.radius]
    t = time.perf_counter()
    status, stdout, stderr = run_cli(argv + ["--json", out])
    seconds = time.perf_counter() - t
    if status != 0:
        kind = "error" if status == "error" else "refused"
        message = (stderr.strip().splitlines() or [f"exit status {status}"])[-1]
        return Outcome([], kind, message, seconds)
    try:
        records = json.loads(Path(out).read_text()).get("shapes", [])
    except (OSError, ValueError) as e:
        return Outcome([], "error", f"no readable JSON: {e}", seconds)
    shapes = []
    for rec in records:
        if rec.get("shape") != case.kind:
            continue
        shape = {k: float(rec[k]) for k in SHAPE_KEYS[case.kind]}
        shape["warning"] = rec.get("warning")
        shapes.append(shape)
    return Outcome(shapes[:1] if first_only else shapes, "ok", "", seconds)


def route_box(ws, case):
    return _find(ws, case, ["--box", *case.box], first_only=True)


def probe_flags(ws, case):
    """The window flags that quorvane probe prints on its last line, or an Outcome on failure."""
    status, stdout, stderr = run_cli(["probe", ws.picture_file(case), "--box", *case.box])
    lines = [ln for ln in stdout.splitlines() if ln.strip()]
    if status != 0 or not lines:
        return Outcome([], "error" if status == "error" else "refused",
                       (stderr.strip().splitlines() or [f"exit status {status}"])[-1])
    return lines[-1].split()


def route_probe(ws, case, flags):
    if isinstance(flags, Outcome):
        return flags
    return _find(ws, case, ["--box", *case.box, *flags], first_only=True)


def route_flags(ws, case, flags):
    if isinstance(flags, Outcome):
        return flags
    return _find(ws, case, flags, first_only=True)


def route_all(ws, case):
    return _find(ws, case, ["--box", *case.box, "--all"], first_only=False)


def route_baseline(ws, case):
    t = time.perf_counter()
    shapes = opencv_baseline(rgb(picture(case)), case.box, case.kind, case.radius, every=case.every)
    return Outcome(shapes if case.every else shapes[:1], "ok", "", time.perf_counter() - t)


def opencv_baseline(image, box, kind, radius=None, *, every=False):
    """What a typical OpenCV user writes from a box: the box's median HSV colour plus or minus a
    tolerance (the hue wrapped), inRange, a little morphology, the outer contours, the one
    that overlaps the box most (with ``every``: all contours of a plausible size), then its
    enclosing circle or fitted ellipse. For lines: Canny edges of the grey picture around the
    box, HoughLinesP, the longest segment that passes through the box."""
    x, y, w, h = box
    if kind == "line":
        grey = cv2.cvtColor(image, cv2.COLOR_RGB2GRAY)
        m = max(w, h)
        x0, y0 = max(0, x - m), max(0, y - m)
        edges = cv2.Canny(grey[y0:y + h + m, x0:x + w + m], 50, 150)
        segs = cv2.HoughLinesP(edges, 1, np.pi / 180, 30, minLineLength=max(10, m // 2), maxLineGap=5)
        best = None
        for x1, y1, x2, y2 in ([] if segs is None else segs.reshape(-1, 4)):
            x1, y1, x2, y2 = x1 + x0, y1 + y0, x2 + x0, y2 + y0
            pts = np.linspace((x1, y1), (x2, y2), 50)
            through = np.any((pts[:, 0] >= x) & (pts[:, 0] < x + w) & (pts[:, 1] >= y) & (pts[:, 1] < y + h))
            length = math.hypot(x2 - x1, y2 - y1)
            if through and (best is None or length > best[0]):
                best = (length, (x1, y1, x2, y2))
        if best is None:
            return []
        x1, y1, x2, y2 = best[1]
        return [{"px": float(x1), "py": float(y1), "nx": float(y1 - y2), "ny": float(x2 - x1), "warning": None}]

    hsv = cv2.cvtColor(image, cv2.COLOR_RGB2HSV)
    hm, sm, vm = (int(v) for v in np.median(hsv[y:y + h, x:x + w].reshape(-1, 3), axis=0))
    tol_h, tol_s, tol_v = 10, 60, 60
    lo_sv, hi_sv = (max(0, sm - tol_s), max(0, vm - tol_v)), (min(255, sm + tol_s), min(255, vm + tol_v))
    mask = np.zeros(hsv.shape[:2], np.uint8)
    for h_lo, h_hi in ((hm - tol_h, hm + tol_h), (hm - tol_h + 180, hm + tol_h + 180), (hm - tol_h - 180, hm + tol_h - 180)):
        if h_hi >= 0 and h_lo <= 179:  # the hue wraps at 180: the range's other pieces
            mask |= cv2.inRange(hsv, (max(0, h_lo), *lo_sv), (min(179, h_hi), *hi_sv))
    kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (5, 5))
    mask = cv2.morphologyEx(cv2.morphologyEx(mask, cv2.MORPH_OPEN, kernel), cv2.MORPH_CLOSE, kernel)
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    contours = [c for c in contours if len(c) >= 5]
    if not contours:
        return []

    def overlap(c):
        filled = np.zeros_like(mask)
        cv2.drawContours(filled, [c], -1, 1, cv2.FILLED)
        return int(filled[y:y + h, x:x + w].sum())

    chosen = max(contours, key=overlap)
    if overlap(chosen) == 0:
        return []
    if every:  # the contours of about the chosen one's size, or within the radius range
        area = cv2.contourArea(chosen)
        if radius is not None:
            picked = [c for c in contours if radius[0] <= cv2.minEnclosingCircle(c)[1] <= radius[1]]
        else:
            picked = [c for c in contours if area / 4 <= cv2.contourArea(c) <= area * 4]
        picked = sorted(picked, key=lambda c: c is not chosen)
    else:
        picked = [chosen]
    shapes = []
    for c in picked:
        if kind == "circle":
            (cx, cy), r = cv2.minEnclosingCircle(c)
            shapes.append({"x": cx, "y": cy, "r": r, "warning": None})
        else:
            (cx, cy), (ew, eh), ang = cv2.fitEllipse(c)
            shapes.append({**ellipse_dict(cx, cy, ew / 2, eh / 2, math.radians(ang)), "warning": None})
    return shapes
