"""The RANSAC benchmark's peers: vectorised NumPy fitters that score the fitters' own samples, and
scikit-image's ransac."""

import contextlib
import math

import numpy as np
from skimage.measure import EllipseModel, ransac


# ---- vectorised NumPy peers (int32 arithmetic wraps as in the fitters)


def np_band(ps, px, py, nx, ny, delta):
    """(count, n) band membership of every point for every line."""
    s = np.trunc(np.sqrt((nx * nx + ny * ny).astype(np.float64)) * delta).astype(np.int32)
    c = -(nx * px + ny * py)
    t = nx[:, None] * ps[:, 0] + ny[:, None] * ps[:, 1] + c[:, None]
    return (t + s[:, None] >= 0) & (t - s[:, None] <= 0)


def np_lines(ps, a, b):
    p0, p1 = ps[a], ps[b]
    return p0[:, 0], p0[:, 1], p1[:, 1] - p0[:, 1], p0[:, 0] - p1[:, 0]


def winner(ok, score):
    """Index of the first best-scoring candidate; only those passing the filters are scored."""
    idx = np.flatnonzero(ok)
    if len(idx) == 0:
        return None
    scores = score(idx)
    j = int(scores.argmax())  # first of the highest
    return int(idx[j]) if scores[j] > 0 else None


def np_ransac_line(ps, samples, delta, slope_limit):
    px, py, nx, ny = np_lines(ps, samples[:, 0], samples[:, 1])
    len2 = nx * nx + ny * ny
    ok = (len2 != 0) & ~((nx * nx).astype(np.float64) <= slope_limit**2 * len2.astype(np.float64))
    k = winner(ok, lambda i: np_band(ps, px[i], py[i], nx[i], ny[i], delta).sum(1))
    return (0, 0, 0, 0) if k is None else (px[k], py[k], nx[k], ny[k])


def np_ransac_line2(ps, samples, ratio, delta):
    l1 = np_lines(ps, samples[:, 0], samples[:, 1])
    l2 = np_lines(ps, samples[:, 2], samples[:, 3])
    n1, n2 = (l[2].astype(np.int64) ** 2 + l[3].astype(np.int64) ** 2 for l in (l1, l2))
    ncos = (l1[2].astype(np.int64) * l2[2] + l1[3].astype(np.int64) * l2[3]).astype(np.float64)
    ok = (n1 != 0) & (n2 != 0) & ~(ncos * ncos < ratio * ratio * n1.astype(float) * n2.astype(float))
    k = winner(ok, lambda i: (np_band(ps, *(v[i] for v in l1), delta)
                              != np_band(ps, *(v[i] for v in l2), delta)).sum(1))
    return (0,) * 8 if k is None else tuple(int(v[k]) for v in l1 + l2)


def tdiv(a, b):
    q = np.abs(a) // np.abs(b)
    return np.where((a < 0) != (b < 0), -q, q)


def np_ransac_circle(ps, samples, min_r, max_r, delta):
    (x1, y1), (x2, y2), (x3, y3) = (ps[samples[:, j]].astype(np.int64).T for j in range(3))
    A = x1 * (y2 - y3) + y1 * (x3 - x2) + (x2 * y3 - y2 * x3)
    ok = A != 0
    A = np.where(ok, A, 1)
    c1, c2, c3 = x1 * x1 + y1 * y1, x2 * x2 + y2 * y2, x3 * x3 + y3 * y3
    B = (y3 - y2) * c1 + (y1 - y3) * c2 + (y2 - y1) * c3
    C = (x2 - x3) * c1 + (x3 - x1) * c2 + (x1 - x2) * c3
    D = (x3 * y2 - x2 * y3) * c1 + (x1 * y3 - x3 * y1) * c2 + (x2 * y1 - x1 * y2) * c3
    cx, cy = tdiv(-B, 2 * A), tdiv(-C, 2 * A)
    rad = cx * cx + cy * cy - tdiv(D, A)
    r = np.where(rad < 0, 0, np.trunc(np.sqrt(np.maximum(rad, 0).astype(np.float64)))).astype(np.int32)
    ok &= (r <= max_r) & (r >= min_r)
    cx, cy = cx.astype(np.int32), cy.astype(np.int32)

    def score(i):
        dx = ps[:, 0] - cx[i, None]
        dy = ps[:, 1] - cy[i, None]
        d = dx * dx + dy * dy
        lo, hi = ((r[i] - delta) ** 2)[:, None], ((r[i] + delta) ** 2)[:, None]
        return ((lo <= d) & (d <= hi)).sum(1)

    k = winner(ok, score)
    return (0, 0, 0) if k is None else (int(cx[k]), int(cy[k]), int(r[k]))


def np_ransac_ellipse(ps, samples, min_r, max_r, ratio, delta):
    p = ps[samples].astype(np.float64)  # (count, 5, 2)
    x, y = p[..., 0], p[..., 1]
    m = np.stack([x * x, x * y, y * y, x, y], -1)
    ok = np.abs(np.linalg.det(m)) > 1e-9
    m[~ok] = np.eye(5)
    A, B, C, D, E = np.linalg.solve(m, np.ones((len(p), 5, 1)))[..., 0].T
    dl = B * B - 4 * A * C
    ok &= dl < 0
    with np.errstate(all="ignore"):
        q = np.sqrt((A - C) ** 2 + B * B)
        g = 2 * (A * E * E + C * D * D - B * D * E - dl)
        cx, cy = (2 * C * D - B * E) / dl, (2 * A * E - B * D) / dl
        a, b = -np.sqrt((A + C + q) * g) / dl, -np.sqrt((A + C - q) * g) / dl
        th = np.where(B == 0, np.where(C > A, 0.0, math.pi / 2), np.arctan((C - A - q) / B))
        ok &= ~((ratio * a < b) | (a > max_r) | (a < min_r) | (b > max_r) | (b < min_r))

        def score(i):
            s, c = np.sin(th[i])[:, None], np.cos(th[i])[:, None]
            u = ps[:, 0] - cx[i, None]
            v = ps[:, 1] - cy[i, None]
            along, across = u * c + v * s, v * c - u * s  # in the ellipse's own axes
            inner, outer = ((along / (a[i, None] + dd)) ** 2 + (across / (b[i, None] + dd)) ** 2
                            for dd in (-delta, delta))
            return ((inner >= 1) & (outer <= 1)).sum(1)

        k = winner(ok, score)
    return (0.0,) * 5 if k is None else (cx[k], cy[k], a[k], b[k], th[k])


# ---- scikit-image peers


@contextlib.contextmanager
def real_eig():
    """np.linalg.eig giving real arrays when every eigenvalue is real (as before
    NumPy 2.5), which the scikit-image ellipse estimator relies on."""
    eig = np.linalg.eig

    def patched(a):
        w, v = eig(a)
        return (w.real, v.real) if np.iscomplexobj(w) and not w.imag.any() else (w, v)

    np.linalg.eig = patched
    try:
        yield
    finally:
        np.linalg.eig = eig


class SafeEllipseModel(EllipseModel):
    """EllipseModel for which a sample with complex eigenvectors is a failed fit, not a TypeError."""

    def _estimate(self, data, warn_only=True):
        try:
            with real_eig():
                return super()._estimate(data, warn_only)
        except TypeError:
            return "degenerate sample"

    def estimate(self, data):  # API of scikit-image before 0.26
        try:
            with real_eig():
                return super().estimate(data)
        except TypeError:
            return False


def sk_fit(ps, model, m, delta, trials):
    """A ransac call returning how many trials it ran: its trial count adapts
    to the inlier ratio found, so it may stop before `trials`."""

    class Counted(model):
        fits = 0

        def _estimate(self, *a, **k):
            Counted.fits += 1
            return super()._estimate(*a, **k)

        def estimate(self, *a, **k):  # API of scikit-image before 0.26
            Counted.fits += 1
            return super().estimate(*a, **k)

    data = ps.astype(np.float64)

    def run():
        Counted.fits = 0
        _, inliers = ransac(data, Counted, m, delta, max_trials=trials, rng=0)
        return Counted.fits - (inliers is not None)  # the final fit on all inliers is no trial

    return run
