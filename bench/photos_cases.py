"""The photo benchmark's cases (an object, its box and its true outline) and the geometry shared by
measuring, scoring and drawing."""

from __future__ import annotations

import json
import math
import sys
from dataclasses import dataclass
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
