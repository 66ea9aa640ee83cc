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
import contextlib
import io
import json
import math
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import cv2
import numpy as np

HERE = Path(__file__).resolve().parent
CASES_FILE = HERE / "photos_cases.json"
KINDS = ("line", "circle", "ellipse")
ROUTES = ("box", "probe", "all", "baseline")
LINE_TOLERANCE = 3.0  # px: both ends of the true segment within this of the found line


# ==========================================================================
# Cases


@dataclass
class Case:
    """One object (or, with ``every``, all objects of its kind) in one picture.

    Coordinates (box, truths) are in the pixels of the picture after ``crop``. ``picture`` is
    a scikit-image name (``skimage.data.<name>()``; ``motorcycle_left`` is the left view of
    ``stereo_motorcycle``) or a file path. Truths are dicts: ``x, y, r`` (circle), ``x, y, a, b,
    theta`` (ellipse: semi-axis ``a`` along the direction ``theta`` in radians, x right, y
    down) or ``x1, y1, x2, y2`` (a line's true segment)."""

    name: str
    picture: str
    box: tuple
    kind: str
    truths: list
    radius: tuple | None = None
    crop: tuple | None = None
    every: bool = False
    note: str = ""
    source: str = "skimage"  # or the file the case came from

    def target(self) -> int:
        """Index of the truth the box is drawn on: the one whose inside covers most of the box."""
        if len(self.truths) == 1:
            return 0
        x, y, w, h = self.box
        ys, xs = np.mgrid[y:y + h, x:x + w]
        pts = np.c_[xs.ravel(), ys.ravel()]
        return int(np.argmax([np.count_nonzero(inside(t, pts)) for t in self.truths]))


def load_cases(path=CASES_FILE) -> list[Case]:
    """The cases of a JSON file: a list of objects with the fields of ``Case`` ("file" instead
    of "picture" names a picture file, relative to the JSON file's folder)."""
    path = Path(path)
    try:
        records = json.loads(path.read_text())
    except (OSError, ValueError) as e:
        sys.exit(f"bench_photos: cannot read cases from {path}: {e}")
    cases = []
    for rec in records:
        rec = dict(rec)
        if "file" in rec:
            rec["picture"] = str((path.parent / rec.pop("file")).resolve())
            rec["source"] = str(path)
        for key in ("box", "radius", "crop"):
            if rec.get(key) is not None:
                rec[key] = tuple(rec[key])
        case = Case(**rec)
        if case.kind not in KINDS:
            sys.exit(f"bench_photos: case {case.name}: kind {case.kind!r} is not one of {KINDS}")
        cases.append(case)
    return cases


def cases() -> list[Case]:
    """The benchmark's own cases (scikit-image's photographs), for tests that pick a few."""
    return load_cases(CASES_FILE)


def picture(case: Case) -> np.ndarray:
    """The case's picture as loaded (grey 2-D, RGB or RGBA uint8), cropped."""
    img = _picture(case.picture)
    if case.crop is not None:
        x, y, w, h = case.crop
        img = img[y:y + h, x:x + w]
    return np.ascontiguousarray(img)


_PICTURES: dict = {}


def _picture(name: str) -> np.ndarray:
    if name not in _PICTURES:
        if "/" in name or "." in name:
            img = cv2.imread(name, cv2.IMREAD_UNCHANGED)
            if img is None:
                sys.exit(f"bench_photos: cannot read the picture {name}")
            if img.ndim == 3:
                img = cv2.cvtColor(img, cv2.COLOR_BGRA2RGBA if img.shape[2] == 4 else cv2.COLOR_BGR2RGB)
        else:
            import skimage.data

            img = skimage.data.stereo_motorcycle()[0] if name == "motorcycle_left" else getattr(skimage.data, name)()
        _PICTURES[name] = img
    return _PICTURES[name]


def rgb(img) -> np.ndarray:
    """Any picture as RGB uint8 (grey repeated, alpha dropped)."""
    if img.ndim == 2:
        return np.repeat(img[..., None], 3, axis=2)
    return np.ascontiguousarray(img[..., :3])


# ==========================================================================
# Geometry shared by measuring, scoring and drawing


def outline(shape, n: int = 720) -> np.ndarray:
    """(n, 2) points along a circle's or an ellipse's outline."""
    t = np.linspace(0, 2 * np.pi, n, endpoint=False)
    x, y, a, b, th = conic(shape)
    c, s = math.cos(th), math.sin(th)
    u, v = a * np.cos(t), b * np.sin(t)
    return np.c_[x + c * u - s * v, y + s * u + c * v]


def conic(shape):
    """(x, y, a, b, theta) of a circle or an ellipse dict."""
    if "r" in shape:
        return float(shape["x"]), float(shape["y"]), float(shape["r"]), float(shape["r"]), 0.0
    return (float(shape["x"]), float(shape["y"]), abs(float(shape["a"])), abs(float(shape["b"])),
            float(shape["theta"]))


def inside(shape, pts) -> np.ndarray:
    """Which points lie inside a circle or an ellipse (never inside a line)."""
    pts = np.asarray(pts, float)
    if "px" in shape or "x1" in shape:
        return np.zeros(len(pts), bool)
    x, y, a, b, th = conic(shape)
    c, s = math.cos(th), math.sin(th)
    dx, dy = pts[:, 0] - x, pts[:, 1] - y
    u, v = c * dx + s * dy, -s * dx + c * dy
    return (u / max(a, 1e-9)) ** 2 + (v / max(b, 1e-9)) ** 2 < 1


def size(truth) -> float:
    """An object's larger semi-axis (a line's half length)."""
    if "x1" in truth:
        return 0.5 * math.hypot(truth["x2"] - truth["x1"], truth["y2"] - truth["y1"])
    _, _, a, b, _ = conic(truth)
    return max(a, b)


def tolerance(truth) -> float:
    if "x1" in truth:
        return LINE_TOLERANCE
    return max(3.0, 0.05 * size(truth))


def error(found, truth) -> float:
    """How far a found shape is from the truth, in pixels: for circles and ellipses the largest
    distance between the two outlines (both ways), for lines the larger distance of the true
    segment's two ends from the found line."""
    if "x1" in truth:
        if "px" not in found:
            return math.inf
        n = math.hypot(found["nx"], found["ny"])
        if n == 0:
            return math.inf
        return max(abs(found["nx"] * (x - found["px"]) + found["ny"] * (y - found["py"])) / n
                   for x, y in ((truth["x1"], truth["y1"]), (truth["x2"], truth["y2"])))
    if "px" in found:
        return math.inf
    p, q = outline(found), outline(truth)
    from scipy.spatial import cKDTree

    return float(max(cKDTree(q).query(p)[0].max(), cKDTree(p).query(q)[0].max()))


def centre(shape):
    if "px" in shape:
        return None
    return float(shape["x"]), float(shape["y"])


# ==========================================================================
# Truth measuring (only --measure runs this; a normal run reads the stored numbers)
#
# Objects are first located by segmentation (colour or intensity thresholds, morphology,
# connected components, contours, cv2.fitEllipse), or, where the object's colour is shared with
# its surroundings, by a rough outline read off the picture. The outline is then measured on the
# picture's colour gradient: along the normal of the current outline at a few hundred stations,
# the position of the strongest colour change (Lab, Gaussian-smoothed, with sub-pixel peak),
# fitted by geometric least squares without outliers, re-measured on the new outline in a
# narrower band. Stations where the outline is hidden (an occluding object) are left out by the
# robust fit or by an explicit list of arcs.


def colour_gradient(img, sigma: float = 1.0):
    """(gx, gy): x and y derivatives of the Lab channels, each (rows, columns, 3)."""
    from skimage.color import rgb2lab

    lab = rgb2lab(rgb(img)).astype(np.float32)
    lab = cv2.GaussianBlur(lab, (0, 0), sigma)
    gx = cv2.Sobel(lab, cv2.CV_32F, 1, 0, ksize=3) / 8
    gy = cv2.Sobel(lab, cv2.CV_32F, 0, 1, ksize=3) / 8
    return gx, gy


def edge_stations(grad, pts, normals, band: float, *, polarity=None, step: float = 0.25):
    """The strongest colour change along each normal within +-band of each point.

    Returns (points (n, 2), strength (n,), offset (n,)), the sub-pixel position of the peak of
    the directional derivative's magnitude. With ``polarity`` +1 (-1), only changes where the
    lightness L rises (falls) along the normal count."""
    from scipy.ndimage import map_coordinates

    gx, gy = grad
    offs = np.arange(-band, band + step / 2, step)
    xs = pts[:, 0, None] + normals[:, 0, None] * offs
    ys = pts[:, 1, None] + normals[:, 1, None] * offs
    coords = np.array([ys.ravel(), xs.ravel()])
    d = np.zeros(xs.shape + (3,), np.float64)
    for ch in range(3):
        sx = map_coordinates(gx[..., ch], coords, order=1, mode="nearest").reshape(xs.shape)
        sy = map_coordinates(gy[..., ch], coords, order=1, mode="nearest").reshape(xs.shape)
        d[..., ch] = sx * normals[:, 0, None] + sy * normals[:, 1, None]
    mag = np.sqrt((d ** 2).sum(axis=2))
    if polarity is not None:
        mag = np.where(polarity * d[..., 0] > 0, mag, 0)
    k = np.argmax(mag, axis=1)
    kk = np.clip(k, 1, len(offs) - 2)
    rows = np.arange(len(pts))
    m0, m1, m2 = mag[rows, kk - 1], mag[rows, kk], mag[rows, kk + 1]
    den = m0 - 2 * m1 + m2
    frac = np.where(den < 0, 0.5 * (m0 - m2) / np.where(den < 0, den, -1), 0.0)
    off = offs[kk] + np.clip(frac, -0.5, 0.5) * step
    at_end = (k == 0) | (k == len(offs) - 1)
    strength = np.where(at_end, 0.0, mag[rows, k])
    return pts + normals * off[:, None], strength, off


def fit_circle(pts):
    """Geometric least-squares circle {x, y, r}."""
    from scipy.optimize import least_squares

    x0, y0 = pts.mean(axis=0)
    r0 = np.hypot(*(pts - (x0, y0)).T).mean()
    res = least_squares(lambda p: np.hypot(pts[:, 0] - p[0], pts[:, 1] - p[1]) - p[2], (x0, y0, r0))
    x, y, r = res.x
    return {"x": float(x), "y": float(y), "r": float(abs(r))}


def _ellipse_distance(p, pts):
    """Signed distances of points from the ellipse p = (x, y, a, b, theta), by Newton steps on
    the nearest point's parameter."""
    x, y, a, b, th = p
    c, s = math.cos(th), math.sin(th)
    dx, dy = pts[:, 0] - x, pts[:, 1] - y
    u, v = c * dx + s * dy, -s * dx + c * dy
    t = np.arctan2(a * v, b * u)
    for _ in range(8):
        ct, st = np.cos(t), np.sin(t)
        ex, ey = a * ct - u, b * st - v
        f = -a * st * ex + b * ct * ey  # d/dt of half the squared distance
        fp = (a * st) ** 2 + (b * ct) ** 2 - a * ct * ex - b * st * ey
        t = t - f / np.where(np.abs(fp) > 1e-9, fp, 1e-9)
    dist = np.hypot(a * np.cos(t) - u, b * np.sin(t) - v)
    return np.where((u / a) ** 2 + (v / b) ** 2 < 1, -dist, dist)


def fit_ellipse(pts, start=None):
    """Geometric least-squares ellipse {x, y, a, b, theta}, started from cv2.fitEllipse."""
    from scipy.optimize import least_squares

    if start is None:
        (x, y), (w, h), ang = cv2.fitEllipse(pts.astype(np.float32))
        start = (x, y, w / 2, h / 2, math.radians(ang))
    else:
        start = conic(start)
    res = least_squares(lambda p: _ellipse_distance(p, pts), start, x_scale="jac")
    return ellipse_dict(*res.x)


def ellipse_dict(x, y, a, b, theta):
    """An ellipse record with a >= b and theta in [-pi/2, pi/2)."""
    a, b = abs(a), abs(b)
    if a < b:
        a, b, theta = b, a, theta + math.pi / 2
    theta = (theta + math.pi / 2) % math.pi - math.pi / 2
    return {"x": float(x), "y": float(y), "a": float(a), "b": float(b), "theta": float(theta)}


def _keep_fit(pts, fit, residual, rounds: int = 4):
    """Fit, then refit without points far off (3 robust sigmas, at least 1 px), a few times."""
    keep = np.ones(len(pts), bool)
    model = fit(pts)
    for _ in range(rounds):
        r = np.abs(residual(model, pts))
        sigma = 1.4826 * np.median(r[keep]) + 1e-9
        new = r < max(1.0, 3 * sigma)
        if new.sum() < 8 or np.array_equal(new, keep):
            break
        keep = new
        model = fit(pts[keep])
    return model, keep


def _arc_mask(pts, centre_xy, skip):
    """Points outside the listed arcs (degrees around the centre, y down, 0 = +x)."""
    ang = np.degrees(np.arctan2(pts[:, 1] - centre_xy[1], pts[:, 0] - centre_xy[0])) % 360
    keep = np.ones(len(pts), bool)
    for a0, a1 in skip:
        a0, a1 = a0 % 360, a1 % 360
        keep &= ~((ang >= a0) & (ang <= a1) if a0 <= a1 else (ang >= a0) | (ang <= a1))
    return keep


def measure_conic(img, rough, kind, *, band: float = 6, stations: int = 360, skip=(), polarity=None,
                  grad=None, min_strength: float = 0.25, sigma: float = 1.0):
    """A circle or an ellipse measured on the colour gradient around a rough outline."""
    grad = colour_gradient(img, sigma) if grad is None else grad
    shape = dict(rough)
    for bw in (band, max(2.0, band / 2), 2.0):
        x, y, a, b, th = conic(shape)
        t = np.linspace(0, 2 * np.pi, stations, endpoint=False)
        c, s = math.cos(th), math.sin(th)
        u, v = a * np.cos(t), b * np.sin(t)
        pts = np.c_[x + c * u - s * v, y + s * u + c * v]
        nu, nv = b * np.cos(t), a * np.sin(t)  # outward normal in the ellipse's frame
        nrm = np.c_[c * nu - s * nv, s * nu + c * nv]
        nrm /= np.linalg.norm(nrm, axis=1, keepdims=True)
        found, strength, _ = edge_stations(grad, pts, nrm, bw, polarity=polarity)
        h, w = grad[0].shape[:2]
        ok = (strength > min_strength * np.median(strength[strength > 0])) & _arc_mask(found, (x, y), skip)
        ok &= (found[:, 0] > 1) & (found[:, 1] > 1) & (found[:, 0] < w - 2) & (found[:, 1] < h - 2)
        pts = found[ok]
        if kind == "circle":
            shape, _ = _keep_fit(pts, fit_circle,
                                 lambda m, p: np.hypot(p[:, 0] - m["x"], p[:, 1] - m["y"]) - m["r"])
        else:
            start = shape if "a" in shape else {"x": x, "y": y, "a": a, "b": b, "theta": th}
            shape, _ = _keep_fit(pts, lambda p: fit_ellipse(p, start),
                                 lambda m, p: _ellipse_distance(conic(m), p))
    return _rounded(shape)


def measure_line(img, x1, y1, x2, y2, *, band: float = 4, stations: int = 200, polarity=None, grad=None,
                 sigma: float = 1.0):
    """A straight edge measured on the colour gradient near the rough segment (x1, y1)-(x2, y2):
    total least squares on the strongest change along each normal; the segment's ends are the
    rough ends projected on the fitted line."""
    grad = colour_gradient(img, sigma) if grad is None else grad
    p1, p2 = np.array([x1, y1], float), np.array([x2, y2], float)
    for bw in (band, max(1.5, band / 2)):
        d = (p2 - p1) / np.linalg.norm(p2 - p1)
        n = np.array([-d[1], d[0]])
        t = np.linspace(0.03, 0.97, stations)[:, None]
        pts = p1 + t * (p2 - p1)
        found, strength, _ = edge_stations(grad, pts, np.repeat(n[None], len(pts), 0), bw, polarity=polarity)
        found = found[strength > 0.25 * np.median(strength[strength > 0])]

        def tls(p):
            m = p.mean(axis=0)
            _, _, vt = np.linalg.svd(p - m)
            return m, vt[1]

        (m, nn), _ = _keep_fit(found, tls, lambda mod, p: (p - mod[0]) @ mod[1])
        p1 = p1 - ((p1 - m) @ nn) * nn
        p2 = p2 - ((p2 - m) @ nn) * nn
    return _rounded({"x1": p1[0], "y1": p1[1], "x2": p2[0], "y2": p2[1]})


def blobs(mask, *, min_area: int = 20, max_area: int | None = None):
    """Contours of a mask's connected parts (outer contours, holes filled) of a plausible area."""
    contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    out = []
    for c in contours:
        area = cv2.contourArea(c)
        if area >= min_area and (max_area is None or area <= max_area) and len(c) >= 5:
            out.append(c)
    return out


def contour_ellipse(contour):
    """cv2.fitEllipse of a contour as an ellipse record."""
    (x, y), (w, h), ang = cv2.fitEllipse(contour)
    return ellipse_dict(x, y, w / 2, h / 2, math.radians(ang))


def _rounded(d):
    return {k: round(float(v), 2 if k != "theta" else 4) for k, v in d.items()}


MEASURES: dict = {}


def measures(*names):
    """Register the function that measures the truths of the named cases from their picture."""
    def register(fn):
        for n in names:
            MEASURES[n] = fn
        return fn
    return register


def circle_of(x, y, r):
    return {"x": x, "y": y, "r": r}


def ellipse_of(x, y, a, b, degrees=0.0):
    return ellipse_dict(x, y, a, b, math.radians(degrees))


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


# ==========================================================================
# Scoring


@dataclass
class Verdict:
    """One route on one case, scored.

    For one-shape routes, ``verdict`` is "found" (within tolerance of the object the box is
    on; for lines, of any of the object's straight edges), "wrong" or "none"; ``error`` is
    that shape's error in px. For "all", ``matched`` truths are paired one to one with found
    shapes; ``duplicates`` are found shapes that also match an already matched truth or whose
    centre lies inside an earlier found circle or ellipse; ``false`` match no truth."""

    route: str
    verdict: str
    error: float | None = None
    warned: bool = False
    matched: int = 0
    truths: int = 1
    duplicates: int = 0
    false: int = 0
    right_warned: int = 0
    wrong_unwarned: int = 0
    wrong: int = 0
    status: str = "ok"
    message: str = ""
    seconds: float = 0.0
    shapes: list = field(default_factory=list)


def score_one(case: Case, route: str, outcome: Outcome) -> Verdict:
    v = Verdict(route, "none", status=outcome.status, message=outcome.message, seconds=outcome.seconds,
                shapes=outcome.shapes)
    if not outcome.shapes:
        return v
    shape = outcome.shapes[0]
    candidates = case.truths if case.kind == "line" else [case.truths[case.target()]]
    err, tol = min((error(shape, t), tolerance(t)) for t in candidates)
    v.error, v.warned = err, bool(shape.get("warning"))
    if err <= tol:
        v.verdict, v.matched, v.right_warned = "found", 1, int(v.warned)
    else:
        v.verdict, v.wrong, v.wrong_unwarned = "wrong", 1, int(not v.warned)
    return v


def score_all(case: Case, route: str, outcome: Outcome) -> Verdict:
    v = Verdict(route, "none", truths=len(case.truths), status=outcome.status, message=outcome.message,
                seconds=outcome.seconds, shapes=outcome.shapes)
    found = outcome.shapes
    if not found:
        return v
    errs = np.array([[error(f, t) for t in case.truths] for f in found])
    ok = errs <= np.array([tolerance(t) for t in case.truths])[None, :]
    pairs = sorted((errs[i, j], i, j) for i, j in zip(*np.nonzero(ok)))
    used_f, used_t = set(), set()
    for _, i, j in pairs:  # one to one, closest first
        if i not in used_f and j not in used_t:
            used_f.add(i)
            used_t.add(j)
    for i, f in enumerate(found):
        c = centre(f)
        nested = c is not None and any(inside(g, [c])[0] for g in found[:i])
        warned = bool(f.get("warning"))
        if i in used_f and not nested:
            v.right_warned += warned
        elif nested or ok[i].any():
            v.duplicates += 1
            v.wrong += 1
            v.wrong_unwarned += not warned
        else:
            v.false += 1
            v.wrong += 1
            v.wrong_unwarned += not warned
    v.matched = len(used_t)
    v.verdict = f"{v.matched}/{v.truths}"
    v.error = float(np.median([errs[i].min() for i in used_f])) if used_f else None
    return v


def run_case(ws: Workspace, case: Case, routes) -> dict:
    """Every selected route on one case: {route: Verdict}."""
    out = {}
    if "box" in routes:
        out["box"] = score_one(case, "box", route_box(ws, case))
    if "probe" in routes:
        flags = probe_flags(ws, case)
        out["probe"] = score_one(case, "probe", route_probe(ws, case, flags))
        out["flags"] = score_one(case, "flags", route_flags(ws, case, flags))
    if "all" in routes and case.every:
        out["all"] = score_all(case, "all", route_all(ws, case))
    if "baseline" in routes:
        base = route_baseline(ws, case)
        out["baseline"] = score_one(case, "baseline", Outcome(base.shapes[:1], seconds=base.seconds))
        if case.every:
            out["baseline-all"] = score_all(case, "baseline-all", base)
    return out


def summarise(results) -> dict:
    """Per route: objects, found, wrong, none, duplicates, false, right fits warned, wrong fits
    unwarned, seconds."""
    summary = {}
    for case, verdicts in results:
        for route, v in verdicts.items():
            s = summary.setdefault(route, dict(objects=0, found=0, wrong=0, none=0, duplicates=0, false=0,
                                               right_warned=0, wrong_unwarned=0, wrong_fits=0, seconds=0.0))
            s["objects"] += v.truths
            s["found"] += v.matched
            s["wrong"] += v.verdict == "wrong"
            s["none"] += v.verdict == "none" if v.truths == 1 else v.truths - v.matched
            s["duplicates"] += v.duplicates
            s["false"] += v.false
            s["right_warned"] += v.right_warned
            s["wrong_unwarned"] += v.wrong_unwarned
            s["wrong_fits"] += v.wrong
            s["seconds"] += v.seconds
    return summary


def thresholds(summary) -> list:
    """The targets of the rewrite: (what, holds)."""
    def share(route):
        s = summary.get(route)
        return s["found"] / s["objects"] if s and s["objects"] else 0.0

    ours = [r for r in ("box", "probe", "all") if r in summary]
    wrong = sum(summary[r]["wrong_fits"] for r in ours)
    unwarned = sum(summary[r]["wrong_unwarned"] for r in ours)
    checks = []
    if "box" in summary:
        checks.append((f">= 90 % found by find --box ({100 * share('box'):.0f} %)", share("box") >= 0.9))
    if "probe" in summary:
        checks.append((f">= 85 % found by probe then find ({100 * share('probe'):.0f} %)", share("probe") >= 0.85))
    dup = sum(summary[r]["duplicates"] for r in ours)
    checks.append((f"no duplicates ({dup})", dup == 0))
    warned = sum(summary[r]["right_warned"] for r in ours)
    checks.append((f"no right fit warned ({warned})", warned == 0))
    checks.append((f"at most one wrong fit in ten unwarned ({unwarned} of {wrong})", unwarned <= 0.1 * wrong))
    if "baseline" in summary:
        for route, base in (("box", "baseline"), ("probe", "baseline"), ("all", "baseline-all")):
            if route in summary and base in summary:
                a, b = summary[route]["found"], summary[base]["found"]
                checks.append((f"{route} finds more than the baseline ({a} vs {b})", a > b))
    return checks


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


# --------------------------------------------------------------------------
# The measuring of each case (rough outlines are read off the picture, in its pixels)


@measures("coffee-crema", "coffee-rim", "coffee-saucer", "coffee-spoon")
def _coffee(case, img):
    rough = {
        "coffee-crema": ellipse_of(287, 143, 83, 48),  # the liquid's edge against the cup's wall
        "coffee-rim": ellipse_of(290, 113, 117, 95),  # the white rim against the wood
        "coffee-saucer": ellipse_of(278, 230, 202, 160),  # the saucer's rim (behind the cup too)
        "coffee-spoon": ellipse_of(366, 283, 40, 42),  # the spoon's bowl
    }[case.name]
    return [measure_conic(img, rough, "ellipse", band=8)]


@measures("rocket-body")
def _rocket_body(case, img):
    # The body's two sides, between the fairing and the launch tower's lowest arms.
    return [measure_line(img, 311, 190, 311, 380), measure_line(img, 332, 190, 332, 380)]


@measures("rocket-pad")
def _rocket_pad(case, img):
    return [measure_line(img, 270, 407.5, 376, 407.5)]  # the plinth's top edge


@measures("rocket-mast")
def _rocket_mast(case, img):
    return [measure_line(img, 444, 128, 445.5, 190, band=3), measure_line(img, 448.5, 128, 449, 190, band=3)]


@measures("astronaut-patch")
def _astronaut_patch(case, img):
    """The patch is blue and purple on the orange suit: Lab b* below 10, holes filled, the part at
    the patch's middle, cv2.fitEllipse, then measured on the gradient in a narrow band."""
    from skimage.color import rgb2lab

    not_orange = (rgb2lab(img)[..., 2] < 10).astype(np.uint8)
    not_orange = cv2.morphologyEx(not_orange, cv2.MORPH_CLOSE, np.ones((7, 7), np.uint8))
    _, lab = cv2.connectedComponents(not_orange)
    part = (lab == lab[380, 170]).astype(np.uint8)
    rough = contour_ellipse(max(blobs(part), key=cv2.contourArea))
    return [measure_conic(img, rough, "ellipse", band=3)]


@measures("chelsea-eye-left", "chelsea-eye-right")
def _chelsea(case, img):
    rough, band = {
        "chelsea-eye-left": (ellipse_of(168, 116, 33, 29), 5),
        "chelsea-eye-right": (ellipse_of(317.5, 136.5, 26.5, 22.5, 90), 3),
    }[case.name]
    return [measure_conic(img, rough, "ellipse", band=band)]


@measures("moto-headlight", "moto-indicator")
def _moto_lights(case, img):
    rough, band = {
        "moto-headlight": (ellipse_of(540, 158.5, 31.5, 22, 90), 4),  # the chrome ring's outer edge
        "moto-indicator": (ellipse_of(477, 188, 12, 12), 4),  # the orange lens
    }[case.name]
    return [measure_conic(img, rough, "ellipse", band=band)]


@measures("moto-shelf")
def _moto_shelf(case, img):
    """The grey front beam of the upper shelf: its top and bottom edges, left of the mirror."""
    return [measure_line(img, 350, 96, 480, 96, band=3), measure_line(img, 350, 106.5, 480, 106.5, band=3)]


@measures("moto-post")
def _moto_post(case, img):
    """The shelf's right upright: its two edges."""
    return [measure_line(img, 695, 70, 688, 285, band=4), measure_line(img, 707, 70, 700, 285, band=4)]


@measures("coins-all", "coins-big")
def _coins(case, img):
    """Every coin: Otsu's threshold after a top-hat (the lighting falls off to the left), each part's enclosing circle measured on the
    grey gradient."""
    flat = cv2.morphologyEx(img, cv2.MORPH_TOPHAT, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (91, 91)))
    _, m = cv2.threshold(cv2.GaussianBlur(flat, (5, 5), 0), 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    m = cv2.morphologyEx(m, cv2.MORPH_OPEN, np.ones((5, 5), np.uint8))
    grad = colour_gradient(img)
    truths = []
    for c in blobs(m > 0, min_area=300):
        (x, y), r = cv2.minEnclosingCircle(c)
        truths.append(measure_conic(img, circle_of(x, y, r), "circle", band=5, grad=grad))
    truths.sort(key=lambda t: (round(t["y"] / 60), t["x"]))
    if not case.every:  # one coin: the one the box is on
        truths = [t for t in truths if inside(t, [case.box[:2]])[0]]
    return truths


@measures("ihc-gland")
def _ihc_gland(case, img):
    """The gland: brown (Lab b* above 12), closed over its pale nuclei, the part at its middle,
    cv2.fitEllipse of its contour."""
    from skimage.color import rgb2lab

    brown = (cv2.GaussianBlur(rgb2lab(img)[..., 2], (0, 0), 2) > 12).astype(np.uint8)
    brown = cv2.morphologyEx(brown, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (15, 15)))
    brown = cv2.morphologyEx(brown, cv2.MORPH_OPEN, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (9, 9)))
    _, lab = cv2.connectedComponents(brown)
    part = (lab == lab[400, 318]).astype(np.uint8)
    return [_rounded(contour_ellipse(max(blobs(part), key=cv2.contourArea)))]


@measures("hubble-galaxy-big", "hubble-galaxy-red", "hubble-galaxy-oval", "hubble-galaxy-small",
          "hubble-galaxy-round", "hubble-spiral")
def _hubble(case, img):
    """A galaxy's glow down to a fixed brightness (mean channel 60 of 255, the background is
    about 14): the part holding the box's centre, cv2.fitEllipse of its contour."""
    grey = cv2.GaussianBlur(img.astype(np.float32).mean(axis=2), (0, 0), 1.0)
    x, y, w, h = case.box
    _, lab = cv2.connectedComponents((grey > 60).astype(np.uint8))
    part = (lab == lab[y + h // 2, x + w // 2]).astype(np.uint8)
    c = max(blobs(part, min_area=5), key=cv2.contourArea)
    e = contour_ellipse(c)
    if case.kind == "circle":
        return [_rounded(circle_of(e["x"], e["y"], math.sqrt(e["a"] * e["b"])))]
    return [_rounded(e)]


@measures("retina-disk")
def _retina(case, img):
    """The fundus disk: everything brighter than the black surround, its outline measured on
    the gradient (the notch at the top right left out by the robust fit)."""
    grey = rgb(img).mean(axis=2)
    c = max(blobs(grey > 25), key=cv2.contourArea)
    (x, y), r = cv2.minEnclosingCircle(c)
    return [measure_conic(img, circle_of(x, y, r - 5), "circle", band=10, stations=720)]


@measures("logo-disc-green", "logo-disc-orange")
def _logo(case, img):
    """The logo's coloured disc (inside its opaque white border): the saturated pixels (HSV S
    above 80), closed over the white curve, the contour's circle without the points where the
    curve meets the edge, measured on the gradient."""
    hsv = cv2.cvtColor(rgb(img), cv2.COLOR_RGB2HSV)
    coloured = ((hsv[..., 1] > 80) & (img[..., 3] > 127)).astype(np.uint8)
    coloured = cv2.morphologyEx(coloured, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (25, 25)))
    pts = max(blobs(coloured), key=cv2.contourArea)[:, 0, :].astype(float)
    rough, _ = _keep_fit(pts, fit_circle, lambda m, p: np.hypot(p[:, 0] - m["x"], p[:, 1] - m["y"]) - m["r"])
    return [measure_conic(img, rough, "circle", band=4, stations=720)]


def save_cases(cases_, path=CASES_FILE):
    """Write cases as JSON, one field per line and one truth per line (easy to diff)."""
    lines = ["["]
    for k, c in enumerate(cases_):
        fields = [f'"name": {json.dumps(c.name)}', f'"picture": {json.dumps(c.picture)}']
        if c.crop is not None:
            fields.append(f'"crop": {json.dumps(list(c.crop))}')
        fields += [f'"box": {json.dumps(list(c.box))}', f'"kind": {json.dumps(c.kind)}']
        if c.radius is not None:
            fields.append(f'"radius": {json.dumps(list(c.radius))}')
        if c.every:
            fields.append('"every": true')
        if c.note:
            fields.append(f'"note": {json.dumps(c.note)}')
        truths = ",\n".join("    " + json.dumps(t) for t in c.truths)
        fields.append('"truths": [\n' + truths + "\n  ]")
        lines.append("  {" + ",\n   ".join(fields) + "}" + ("," if k < len(cases_) - 1 else ""))
    lines.append("]")
    Path(path).write_text("\n".join(lines) + "\n")


def measure(case: Case) -> list:
    """The case's truths measured afresh from its picture."""
    fn = MEASURES.get(case.name)
    if fn is None:
        raise KeyError(f"no measuring for case {case.name}")
    return fn(case, picture(case))


def _measure_all(selected, update: bool, path=CASES_FILE) -> None:
    changed = 0
    for case in selected:
        new = measure(case)
        old = case.truths
        if len(new) != len(old):
            diff = f"{len(old)} -> {len(new)} truths"
        else:
            diff = f"max change {max((error(a, b) if 'x1' not in b else _segment_change(a, b) for a, b in zip(new, old)), default=0):.2f} px"
        print(f"{case.name}: {diff}")
        for t in new:
            print("    " + json.dumps(t))
        if new != old:
            changed += 1
            case.truths = new
    if update:
        everything = load_cases(path)
        by_name = {c.name: c for c in selected}
        save_cases([by_name.get(c.name, c) for c in everything], path)
        print(f"stored the truths of {len(selected)} cases in {path} ({changed} changed)")


def _segment_change(a, b) -> float:
    return max(math.hypot(a["x1"] - b["x1"], a["y1"] - b["y1"]), math.hypot(a["x2"] - b["x2"], a["y2"] - b["y2"]))


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
