"""Shape records: the fitter's model, the refined one, inliers and a warning."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

__all__ = ["FITS", "SAMPLE", "KEYS", "Shape", "empty_model", "ellipse_axes", "line_angle"]

FITS = ("line", "line2", "circle", "ellipse")
KEYS = {
    "line": ("px", "py", "nx", "ny"),
    "circle": ("x", "y", "r"),
    "ellipse": ("x", "y", "a", "b", "theta"),
}
SAMPLE = {"line": 2, "line2": 4, "circle": 3, "ellipse": 5}


def empty_model(kind: str):
    """The fitters' all-zero record of a kind."""
    if kind == "line2":
        return tuple(dict.fromkeys(KEYS["line"], 0) for _ in range(2))
    return dict.fromkeys(KEYS[kind], 0.0 if kind == "ellipse" else 0)


@dataclass
class Shape:
    """One fitted shape.

    Attributes
    ----------
    kind : str
        "line", "line2", "circle" or "ellipse".
    model : dict or tuple of two dicts
        The fitter's exact record (a tuple of two for ``line2``).
    inliers : int
        The points within ``delta`` of the model by the fitter's own test, among the ``points``
        it was given.
    points : int
        The points the fitter was given.
    delta : int
        The inlier band's half-width.
    warning : str or None
        Why a fit looks weak or doubtful, or None.
    times : dict
        Seconds spent in each stage.
    refined : dict or tuple or None
        The least-squares refinement of the model on the dense outline points within its band
        (the same keys, floats; a line's normal a unit vector), or None.
    coverage : float or None
        The share of the shape's outline that the selection's outline follows (circles,
        ellipses), or the share of the line's extent that is one continuous stretch (lines).
    segment : tuple or None
        Lines: the stretch (from, to) along the line that the edges follow.

    Examples
    --------
    >>> s = Shape("circle", {"x": 80, "y": 60, "r": 29}, 210, 210, 2)
    >>> s.found, s.describe()
    (True, 'centre (80, 60), radius 29')
    >>> s.to_dict()["shape"]
    'circle'
    """

    kind: str
    model: dict | tuple
    inliers: int
    points: int
    delta: int
    warning: str | None = None
    times: dict = field(default_factory=dict)
    refined: dict | tuple | None = None
    coverage: float | None = None
    segment: tuple | None = None  # lines: the stretch (from, to) along the line that the edges follow

    @property
    def found(self) -> bool:
        if self.kind == "line2":
            return any(_line_found(m) for m in self.model)
        if self.kind == "line":
            return _line_found(self.model)
        return any(v != 0 for v in self.model.values()) and self.inliers > 0

    @property
    def weak(self) -> bool:
        """Not found, or found with a warning that it is weak."""
        return not self.found or (self.warning is not None and self.warning.startswith("weak"))

    @property
    def shown(self):
        """The shape as drawn and described: the refined model when there is one."""
        return self.refined if self.refined is not None else self.model

    def to_dict(self) -> dict:
        """The record as written by ``quorvane find --json``: the shape's fields (the refined
        ones when refined), ``inliers``, ``warning``, then ``model`` (the fitter's exact record)
        and, when refined, ``refined``."""
        shown = self.shown
        if self.kind == "line2":
            rec = {"shape": "line2", "lines": [dict(m) for m in shown]}
        else:
            rec = {"shape": self.kind, **shown}
        rec["inliers"] = self.inliers
        rec["warning"] = self.warning
        if self.kind == "line2":
            rec["model"] = [dict(m) for m in self.model]
        else:
            rec["model"] = dict(self.model)
        if self.refined is not None:
            rec["refined"] = [dict(m) for m in self.refined] if self.kind == "line2" else dict(self.refined)
        return rec

    def describe(self) -> str:
        """One phrase for where the shape is (angles in degrees from the x axis, y down)."""
        if not self.found:
            return "not found"
        m = self.shown
        if self.kind == "line":
            return f"through ({_n(m['px'])}, {_n(m['py'])}) at {line_angle(m):.1f} deg"
        if self.kind == "line2":
            a, b = m
            return (
                f"through ({_n(a['px'])}, {_n(a['py'])}) and ({_n(b['px'])}, {_n(b['py'])}) "
                f"at {line_angle(a):.1f} / {line_angle(b):.1f} deg"
            )
        if self.kind == "circle":
            return f"centre ({_n(m['x'])}, {_n(m['y'])}), radius {_n(m['r'])}"
        x, y, major, minor, angle = ellipse_axes(m)
        return f"centre ({x:.1f}, {y:.1f}), semi-axes {major:.1f} x {minor:.1f} at {angle:.1f} deg"


def _n(v) -> str:
    """Integers as they are, floats with one decimal."""
    return str(v) if isinstance(v, int) else f"{v:.1f}"


def _line_found(m) -> bool:
    return bool(m["nx"] or m["ny"])


def line_angle(m) -> float:
    """A line's direction in degrees, in [-90, 90)."""
    angle = math.degrees(math.atan2(m["nx"], -m["ny"]))  # direction (-ny, nx)
    return (angle + 90) % 180 - 90


def ellipse_axes(m):
    """(x, y, major, minor, angle of the major axis in degrees within [-90, 90))."""
    a, b, theta = abs(m["a"]), abs(m["b"]), m["theta"]
    if a < b:
        a, b, theta = b, a, theta + math.pi / 2
    return m["x"], m["y"], a, b, (math.degrees(theta) + 90) % 180 - 90
