"""Measuring a photo case's truths on its picture: colour gradients, edge stations and
least-squares fits."""

from __future__ import annotations

import math

import cv2
import numpy as np
from photos_cases import conic, rgb

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
