"""Least-squares refinement of a fitter's shape on dense outline points.

The random search picks the best sample; its shape passes through two or five of the points
and is only as good as they are. A least-squares fit on all the points within the band refines
it: lines by total least squares, circles by an algebraic fit followed by geometric
(Gauss-Newton) iterations on the distances, ellipses by the direct algebraic fit followed by
Gauss-Newton iterations on the first-order geometric (Sampson) distances. Each round collects the
points within the band of the current shape again.

Shapes here are float models with the fitter's keys: lines ``px, py, nx, ny`` (a point and a
unit normal), circles ``x, y, r``, ellipses ``x, y, a, b, theta`` (``a`` along ``theta``).
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["distance", "fit", "refine", "as_float", "outline_samples"]

MIN_POINTS = {"line": 3, "circle": 5, "ellipse": 8}
MAX_POINTS = 240  # points a refinement round fits at most


def as_float(kind: str, model: dict) -> dict:
    """A fitter's model as a float model (a line's normal made a unit vector)."""
    if kind == "line":
        nx, ny = float(model["nx"]), float(model["ny"])
        n = math.hypot(nx, ny)
        return {"px": float(model["px"]), "py": float(model["py"]), "nx": nx / n, "ny": ny / n}
    return {k: float(v) for k, v in model.items()}


def distance(kind: str, m: dict, pts: np.ndarray) -> np.ndarray:
    """Signed distances of points (n, 2) from a float model (first order for ellipses)."""
    x, y = pts[:, 0], pts[:, 1]
    if kind == "line":
        return m["nx"] * (x - m["px"]) + m["ny"] * (y - m["py"])
    if kind == "circle":
        return np.hypot(x - m["x"], y - m["y"]) - m["r"]
    return _sampson(m["x"], m["y"], m["a"], m["b"], m["theta"], x, y)


def _sampson(x0, y0, a, b, theta, x, y):
    c, s = math.cos(theta), math.sin(theta)
    dx, dy = x - x0, y - y0
    u, v = c * dx + s * dy, -s * dx + c * dy
    a2, b2 = a * a, b * b
    f = u * u / a2 + v * v / b2 - 1.0
    gu, gv = 2 * u / a2, 2 * v / b2
    g = np.sqrt(gu * gu + gv * gv)
    return f / np.maximum(g, 1e-12)


_KIND = {"line": 0, "circle": 1, "ellipse": 2}
_ORDER = {"line": ("px", "py", "nx", "ny"), "circle": ("x", "y", "r"), "ellipse": ("x", "y", "a", "b", "theta")}


def _native_fit(kind, pts, init, band, rounds):
    """The native least-squares rounds from ``init``: (model, mask of the points in the band)."""
    from . import _native

    p = np.array([init[k] for k in _ORDER[kind]], np.float64)
    pts = np.ascontiguousarray(pts, np.float64)
    inside = np.empty(len(pts), np.uint8)
    _native.refine_fit(_KIND[kind], pts, p, float(band), int(rounds), inside)
    m = dict(zip(_ORDER[kind], p.tolist()))
    if kind == "ellipse":
        m = _oriented(m["x"], m["y"], m["a"], m["b"], m["theta"], init["theta"])
    return m, inside.view(bool)


def fit(kind: str, pts: np.ndarray, init: dict) -> dict | None:
    """A least-squares float model of points (n, 2), starting from ``init``; None when the
    points do not determine one. Lines by total least squares; circles by the algebraic fit,
    then Gauss-Newton on the distances; ellipses by the direct algebraic fit (when ``init`` is
    not an ellipse already), then Gauss-Newton on the Sampson distances."""
    if len(pts) < MIN_POINTS[kind]:
        return None
    if kind == "ellipse" and not all(k in init for k in _ORDER["ellipse"]):
        start = direct_ellipse(pts)
        if start is None:
            return None
        init = start
    m, _ = _native_fit(kind, pts, init, math.inf, 1)
    return m if all(math.isfinite(v) for v in m.values()) else None


def _line(pts, init):
    centre = pts.mean(axis=0)
    d = pts - centre
    cov = d.T @ d
    w, v = np.linalg.eigh(cov)
    n = v[:, 0]  # the direction of least spread
    if n[0] * init["nx"] + n[1] * init["ny"] < 0:
        n = -n
    return {"px": float(centre[0]), "py": float(centre[1]), "nx": float(n[0]), "ny": float(n[1])}


def _circle(pts, init):
    x, y = pts[:, 0], pts[:, 1]
    mx, my = x.mean(), y.mean()
    u, v = x - mx, y - my
    # Algebraic (Kasa) fit in centred coordinates: u^2 + v^2 + D u + E v + F = 0.
    a = np.stack([u, v, np.ones_like(u)], axis=1)
    rhs = -(u * u + v * v)
    try:
        (d, e, f), *_ = np.linalg.lstsq(a, rhs, rcond=None)
    except np.linalg.LinAlgError:
        return None
    cx, cy = -d / 2, -e / 2
    r2 = cx * cx + cy * cy - f
    if not r2 > 0:
        cx, cy, r = init["x"] - mx, init["y"] - my, init["r"]
    else:
        r = math.sqrt(r2)
    # Geometric iterations: least squares of the distances to the circle.
    for _ in range(4):
        du, dv = u - cx, v - cy
        dist = np.hypot(du, dv)
        dist = np.maximum(dist, 1e-9)
        res = dist - r
        jac = np.stack([-du / dist, -dv / dist, -np.ones_like(dist)], axis=1)
        try:
            step, *_ = np.linalg.lstsq(jac, -res, rcond=None)
        except np.linalg.LinAlgError:
            break
        cx, cy, r = cx + step[0], cy + step[1], r + step[2]
        if abs(step).max() < 1e-6:
            break
    if not (np.isfinite([cx, cy, r]).all() and r > 0):
        return None
    return {"x": float(cx + mx), "y": float(cy + my), "r": float(r)}


def _conic_to_ellipse(conic):
    """(x0, y0, a, b, theta) of a conic A x^2 + B x y + C y^2 + D x + E y + F, or None."""
    A, B, C, D, E, F = conic
    den = B * B - 4 * A * C
    if not den < 0:
        return None
    x0 = (2 * C * D - B * E) / den
    y0 = (2 * A * E - B * D) / den
    # Value at the centre, then the quadratic form's eigen-decomposition.
    f0 = A * x0 * x0 + B * x0 * y0 + C * y0 * y0 + D * x0 + E * y0 + F
    q = np.array([[A, B / 2], [B / 2, C]])
    w, v = np.linalg.eigh(q)
    if f0 == 0 or not np.all(w * -f0 > 0):
        return None
    a, b = math.sqrt(-f0 / w[0]), math.sqrt(-f0 / w[1])
    theta = math.atan2(v[1, 0], v[0, 0])
    return x0, y0, a, b, theta


def direct_ellipse(pts) -> dict | None:
    """The direct least-squares ellipse of points (n, 2) (no geometric iterations), or None."""
    params = _direct(pts)
    if params is None:
        return None
    x0, y0, a, b, theta = params
    return {"x": x0, "y": y0, "a": a, "b": b, "theta": theta}


def _direct(pts):
    """(x0, y0, a, b, theta) of the direct least-squares ellipse of points, or None."""
    if len(pts) < 6:
        return None
    mx, my = pts.mean(axis=0)
    scale = float(np.sqrt(((pts - (mx, my)) ** 2).sum(axis=1).mean())) or 1.0
    x, y = (pts[:, 0] - mx) / scale, (pts[:, 1] - my) / scale
    d1 = np.stack([x * x, x * y, y * y], axis=1)
    d2 = np.stack([x, y, np.ones_like(x)], axis=1)
    s1, s2, s3 = d1.T @ d1, d1.T @ d2, d2.T @ d2
    try:
        t = -np.linalg.solve(s3, s2.T)
        m = s1 + s2 @ t
        m = np.array([m[2] / 2, -m[1], m[0] / 2])
        w, v = np.linalg.eig(m)
    except np.linalg.LinAlgError:
        return None
    v = np.real(v)
    cond = 4 * v[0] * v[2] - v[1] ** 2
    ok = np.flatnonzero(cond > 0)
    if len(ok) == 0:
        return None
    a1 = v[:, ok[0]]
    A, B, C, D, E, F = np.concatenate([a1, t @ a1])
    s = scale
    A2, B2, C2 = A / s**2, B / s**2, C / s**2
    D2 = D / s - 2 * A2 * mx - B2 * my
    E2 = E / s - 2 * C2 * my - B2 * mx
    F2 = F + A2 * mx * mx + B2 * mx * my + C2 * my * my - D / s * mx - E / s * my
    return _conic_to_ellipse((A2, B2, C2, D2, E2, F2))


def _ellipse(pts, init):
    # The direct least-squares fit, then Gauss-Newton on the Sampson distances.
    params = _direct(pts)
    if params is None:
        params = (init["x"], init["y"], init["a"], init["b"], init["theta"])
    p = np.array(params, np.float64)
    # Gauss-Newton on the Sampson distances (numerical Jacobian, five parameters).
    xs, ys = pts[:, 0], pts[:, 1]
    for _ in range(8):
        res = _sampson(*p, xs, ys)
        jac = np.empty((len(xs), 5))
        for k in range(5):
            h = 1e-6 * max(1.0, abs(p[k]))
            q = p.copy()
            q[k] += h
            jac[:, k] = (_sampson(*q, xs, ys) - res) / h
        try:
            step, *_ = np.linalg.lstsq(jac, -res, rcond=None)
        except np.linalg.LinAlgError:
            break
        if not np.isfinite(step).all():
            break
        p = p + step
        if abs(step).max() < 1e-7:
            break
    x0, y0, a, b, theta = (float(v) for v in p)
    if not (np.isfinite(p).all() and a > 0 and b > 0):
        return None
    return _oriented(x0, y0, a, b, theta, init["theta"])


def _oriented(x0, y0, a, b, theta, near):
    """The same ellipse with ``theta`` turned by a multiple of pi/2 (axes swapped on odd turns)
    to lie within pi/4 of ``near``, so that ``a`` keeps the direction the fitter gave it."""
    k = round((theta - near) / (math.pi / 2))
    theta -= k * math.pi / 2
    if k % 2:
        a, b = b, a
    return {"x": x0, "y": y0, "a": abs(a), "b": abs(b), "theta": theta}


def refine(kind: str, model: dict, pts: np.ndarray, band: float, rounds: int = 2):
    """Refine a float model on the points (n, 2) within ``band`` of it, ``rounds`` times.

    Returns (model, inliers): the refined model (the given one when no fit improves on it:
    fewer points within the band, or none) and the mask of the points within its band."""
    if len(pts) < MIN_POINTS[kind]:
        inside = np.abs(distance(kind, model, pts)) <= band if len(pts) else np.zeros(0, bool)
        return dict(model), inside
    if len(pts) > MAX_POINTS:  # evenly thinned: the fit needs no more
        step = -(-len(pts) // MAX_POINTS)
        m, _ = _native_fit(kind, pts[::step], model, band, rounds)
        return m, np.abs(distance(kind, m, pts)) <= band
    return _native_fit(kind, pts, model, band, rounds)


def _moved(kind, a, b):
    return max(abs(a[k] - b[k]) for k in a)


def outline_samples(kind: str, m: dict, step: float = 1.0) -> np.ndarray:
    """Points along a float circle or ellipse about ``step`` pixels apart, (n, 2)."""
    if kind == "circle":
        a = b = m["r"]
        theta = 0.0
    else:
        a, b, theta = m["a"], m["b"], m["theta"]
    perimeter = math.pi * (3 * (a + b) - math.sqrt((3 * a + b) * (a + 3 * b)))
    n = int(min(max(16, perimeter / step), 8192))
    t = np.linspace(0, 2 * math.pi, n, endpoint=False)
    c, s = math.cos(theta), math.sin(theta)
    u, v = a * np.cos(t), b * np.sin(t)
    return np.stack([m["x"] + u * c - v * s, m["y"] + u * s + v * c], axis=1)
