// Least-squares refinement of lines, circles and ellipses (see fit.h).
#include "tools/fit.h"

#include <algorithm>
#include <cmath>

namespace quorvane::tools {

namespace {

/// Solves the symmetric positive system a x = b of size m (m <= 5) by
/// Gaussian elimination with partial pivoting; false when it is singular.
bool solve(double a[5][5], double b[5], int m, double x[5]) noexcept {
    for (int i = 0; i < m; ++i) {
        int piv = i;
        for (int k = i + 1; k < m; ++k) {
            if (std::abs(a[k][i]) > std::abs(a[piv][i])) piv = k;
        }
        if (!(std::abs(a[piv][i]) > 1e-300)) return false;
        if (piv != i) {
            for (int j = 0; j < m; ++j) std::swap(a[i][j], a[piv][j]);
            std::swap(b[i], b[piv]);
        }
        for (int k = i + 1; k < m; ++k) {
            const double f = a[k][i] / a[i][i];
            for (int j = i; j < m; ++j) a[k][j] -= f * a[i][j];
            b[k] -= f * b[i];
        }
    }
    for (int i = m - 1; i >= 0; --i) {
        double s = b[i];
        for (int j = i + 1; j < m; ++j) s -= a[i][j] * x[j];
        x[i] = s / a[i][i];
    }
    for (int i = 0; i < m; ++i) {
        if (!std::isfinite(x[i])) return false;
    }
    return true;
}

/// An ellipse's parameters with the sine and cosine of its angle worked out once.
struct Ellipse {
    double x0, y0, a2, b2, c, s;
    explicit Ellipse(const double* p) noexcept
        : x0(p[0]), y0(p[1]), a2(p[2] * p[2]), b2(p[3] * p[3]), c(std::cos(p[4])), s(std::sin(p[4])) {}
    /// The Sampson distance of (x, y) and its derivatives by (x0, y0, a, b, theta).
    double sampson(double x, double y, double* j, double a, double b) const noexcept {
        const double dx = x - x0, dy = y - y0;
        const double u = c * dx + s * dy, v = -s * dx + c * dy;
        const double f = u * u / a2 + v * v / b2 - 1.0;
        const double fu = 2 * u / a2, fv = 2 * v / b2;
        const double g = std::max(std::sqrt(fu * fu + fv * fv), 1e-12);
        // du, dv by x0, y0, theta (a and b do not move u, v).
        const double du[5] = {-c, -s, 0, 0, v}, dv[5] = {s, -c, 0, 0, -u};
        for (int i = 0; i < 5; ++i) {
            double df = fu * du[i] + fv * dv[i];
            double dfu = 2 * du[i] / a2, dfv = 2 * dv[i] / b2;
            if (i == 2) {
                df += -2 * u * u / (a2 * a);
                dfu += -4 * u / (a2 * a);
            } else if (i == 3) {
                df += -2 * v * v / (b2 * b);
                dfv += -4 * v / (b2 * b);
            }
            const double dg = (fu * dfu + fv * dfv) / g;
            j[i] = (df * g - f * dg) / (g * g);
        }
        return f / g;
    }

    double sampson(double x, double y) const noexcept {
        const double dx = x - x0, dy = y - y0;
        const double u = c * dx + s * dy, v = -s * dx + c * dy;
        const double f = u * u / a2 + v * v / b2 - 1.0;
        const double gu = 2 * u / a2, gv = 2 * v / b2;
        return f / std::max(std::sqrt(gu * gu + gv * gv), 1e-12);
    }
};

bool valid(FitKind kind, const double* p) noexcept {
    for (int i = 0; i < fit_params(kind); ++i) {
        if (!std::isfinite(p[i])) return false;
    }
    if (kind == FitKind::Circle) return p[2] > 0;
    if (kind == FitKind::Ellipse) return p[2] > 0 && p[3] > 0;
    return true;
}

/// Total least squares: the line through the centroid along the points' direction of most spread.
bool fit_line(const double* pts, const uint8_t* use, int64_t n, double* p) noexcept {
    double sx = 0, sy = 0;
    int64_t m = 0;
    for (int64_t k = 0; k < n; ++k) {
        if (!use[k]) continue;
        sx += pts[2 * k];
        sy += pts[2 * k + 1];
        ++m;
    }
    if (m < 3) return false;
    const double cx = sx / m, cy = sy / m;
    double xx = 0, xy = 0, yy = 0;
    for (int64_t k = 0; k < n; ++k) {
        if (!use[k]) continue;
        const double dx = pts[2 * k] - cx, dy = pts[2 * k + 1] - cy;
        xx += dx * dx;
        xy += dx * dy;
        yy += dy * dy;
    }
    // The eigenvector of the smaller eigenvalue of [[xx, xy], [xy, yy]] is the normal.
    const double half = 0.5 * (xx - yy);
    const double root = std::sqrt(half * half + xy * xy);
    const double lo = 0.5 * (xx + yy) - root;
    double nx = xy, ny = lo - xx;
    if (std::abs(nx) + std::abs(ny) < 1e-12) {
        nx = lo - yy;
        ny = xy;
    }
    double len = std::hypot(nx, ny);
    if (!(len > 0)) {
        // Isotropic spread: keep the old direction.
        nx = p[2];
        ny = p[3];
        len = std::hypot(nx, ny);
    }
    nx /= len;
    ny /= len;
    if (nx * p[2] + ny * p[3] < 0) {
        nx = -nx;
        ny = -ny;
    }
    p[0] = cx;
    p[1] = cy;
    p[2] = nx;
    p[3] = ny;
    return true;
}

bool fit_circle(const double* pts, const uint8_t* use, int64_t n, double* p) noexcept {
    // Centred coordinates, then the algebraic (Kasa) fit u^2 + v^2 + D u + E v + F = 0.
    double sx = 0, sy = 0;
    int64_t m = 0;
    for (int64_t k = 0; k < n; ++k) {
        if (!use[k]) continue;
        sx += pts[2 * k];
        sy += pts[2 * k + 1];
        ++m;
    }
    if (m < 5) return false;
    const double mx = sx / m, my = sy / m;
    double a[5][5] = {}, b[5] = {}, x[5] = {};
    for (int64_t k = 0; k < n; ++k) {
        if (!use[k]) continue;
        const double u = pts[2 * k] - mx, v = pts[2 * k + 1] - my, w = -(u * u + v * v);
        const double row[3] = {u, v, 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) a[i][j] += row[i] * row[j];
            b[i] += row[i] * w;
        }
    }
    double cx = p[0] - mx, cy = p[1] - my, r = p[2];
    if (solve(a, b, 3, x)) {
        const double ax = -x[0] / 2, ay = -x[1] / 2, r2 = ax * ax + ay * ay - x[2];
        if (r2 > 0) {
            cx = ax;
            cy = ay;
            r = std::sqrt(r2);
        }
    }
    // Gauss-Newton on the distances to the circle.
    for (int it = 0; it < 6; ++it) {
        double g[5][5] = {}, h[5] = {}, step[5] = {};
        for (int64_t k = 0; k < n; ++k) {
            if (!use[k]) continue;
            const double du = pts[2 * k] - mx - cx, dv = pts[2 * k + 1] - my - cy;
            const double d = std::max(std::hypot(du, dv), 1e-9);
            const double res = d - r;
            const double j[3] = {-du / d, -dv / d, -1.0};
            for (int i = 0; i < 3; ++i) {
                for (int q = 0; q < 3; ++q) g[i][q] += j[i] * j[q];
                h[i] -= j[i] * res;
            }
        }
        if (!solve(g, h, 3, step)) break;
        cx += step[0];
        cy += step[1];
        r += step[2];
        if (std::max({std::abs(step[0]), std::abs(step[1]), std::abs(step[2])}) < 1e-7) break;
    }
    p[0] = cx + mx;
    p[1] = cy + my;
    p[2] = r;
    return valid(FitKind::Circle, p);
}

bool fit_ellipse(const double* pts, const uint8_t* use, int64_t n, double* p) noexcept {
    int64_t m = 0;
    for (int64_t k = 0; k < n; ++k) m += use[k] != 0;
    if (m < 8) return false;
    double q[5];
    std::copy(p, p + 5, q);
    double lambda = 1e-3;
    for (int it = 0; it < 5; ++it) {
        // Levenberg-Marquardt on the Sampson distances.
        const Ellipse e0(q);
        double g[5][5] = {}, h[5] = {}, step[5] = {};
        double cost = 0;
        for (int64_t k = 0; k < n; ++k) {
            if (!use[k]) continue;
            double j[5];
            const double res = e0.sampson(pts[2 * k], pts[2 * k + 1], j, q[2], q[3]);
            cost += res * res;
            for (int i = 0; i < 5; ++i) {
                for (int c = i; c < 5; ++c) g[i][c] += j[i] * j[c];
                h[i] -= j[i] * res;
            }
        }
        for (int i = 0; i < 5; ++i) {
            for (int c = 0; c < i; ++c) g[i][c] = g[c][i];
            g[i][i] *= 1.0 + lambda;
        }
        if (!solve(g, h, 5, step)) break;
        double t[5];
        for (int i = 0; i < 5; ++i) t[i] = q[i] + step[i];
        if (!valid(FitKind::Ellipse, t)) break;
        const Ellipse et(t);
        double after = 0;
        for (int64_t k = 0; k < n; ++k) {
            if (!use[k]) continue;
            const double r = et.sampson(pts[2 * k], pts[2 * k + 1]);
            after += r * r;
        }
        if (after <= cost) {
            std::copy(t, t + 5, q);
            lambda *= 0.3;
            double big = 0;
            for (int i = 0; i < 5; ++i) big = std::max(big, std::abs(step[i]));
            if (big < 1e-6) break;
        } else {
            lambda *= 10;
            if (lambda > 1e6) break;
        }
    }
    std::copy(q, q + 5, p);
    return valid(FitKind::Ellipse, p);
}

int64_t within(FitKind kind, const double* pts, int64_t n, double band, const double* p, uint8_t* use) noexcept {
    int64_t m = 0;
    const double unit[5] = {0, 0, 1, 1, 0};
    const Ellipse e(kind == FitKind::Ellipse ? p : unit);
    for (int64_t k = 0; k < n; ++k) {
        const double x = pts[2 * k], y = pts[2 * k + 1];
        const double d = kind == FitKind::Ellipse ? e.sampson(x, y) : fit_distance(kind, p, x, y);
        const bool in = std::abs(d) <= band;
        if (use != nullptr) use[k] = in;
        m += in;
    }
    return m;
}

}  // namespace

double fit_distance(FitKind kind, const double* p, double x, double y) noexcept {
    switch (kind) {
        case FitKind::Line: return p[2] * (x - p[0]) + p[3] * (y - p[1]);
        case FitKind::Circle: return std::hypot(x - p[0], y - p[1]) - p[2];
        default: return Ellipse(p).sampson(x, y);
    }
}

int64_t refine_fit(FitKind kind, const double* pts, int64_t n, double band, int rounds, double* params,
                   uint8_t* use) noexcept {
    int64_t best = within(kind, pts, n, band, params, use);
    for (int round = 0; round < rounds; ++round) {
        double trial[5];
        std::copy(params, params + fit_params(kind), trial);
        bool ok = kind == FitKind::Line     ? fit_line(pts, use, n, trial)
                  : kind == FitKind::Circle ? fit_circle(pts, use, n, trial)
                                            : fit_ellipse(pts, use, n, trial);
        if (!ok || !valid(kind, trial)) break;
        const int64_t now = within(kind, pts, n, band, trial, nullptr);
        if (now < best) break;
        double moved = 0;
        for (int i = 0; i < fit_params(kind); ++i) moved = std::max(moved, std::abs(trial[i] - params[i]));
        std::copy(trial, trial + fit_params(kind), params);
        best = within(kind, pts, n, band, params, use);
        if (moved < 1e-4) break;
    }
    return best;
}

double fit_coverage(FitKind kind, const double* p, const double* pts, int64_t n, double band, int64_t rows,
                    int64_t cols, int64_t samples, double gap, double* scratch) noexcept {
    if (kind == FitKind::Line) {
        // Positions along the direction (-ny, nx) of the points within the band.
        int64_t m = 0;
        for (int64_t k = 0; k < n; ++k) {
            const double x = pts[2 * k], y = pts[2 * k + 1];
            if (std::abs(fit_distance(kind, p, x, y)) <= band) scratch[m++] = -p[3] * x + p[2] * y;
        }
        if (m < 2) return 0.0;
        std::sort(scratch, scratch + m);
        const double extent = scratch[m - 1] - scratch[0];
        if (!(extent > 0)) return 0.0;
        double best = 0, start = scratch[0];
        for (int64_t k = 1; k < m; ++k) {
            if (scratch[k] - scratch[k - 1] > gap) start = scratch[k];
            best = std::max(best, scratch[k] - start);
        }
        return best / extent;
    }
    if (samples < 3) return 0.0;
    // Hits per station, by each point's angle round the centre (in the ellipse's own axes).
    double* hit = scratch;
    std::fill(hit, hit + samples, 0.0);
    const double a = kind == FitKind::Circle ? p[2] : p[2], b = kind == FitKind::Circle ? p[2] : p[3];
    const double th = kind == FitKind::Circle ? 0.0 : p[4];
    const double c = std::cos(th), s = std::sin(th);
    const double tau = 6.283185307179586;
    const double unit[5] = {0, 0, 1, 1, 0};
    const Ellipse e(kind == FitKind::Ellipse ? p : unit);
    for (int64_t k = 0; k < n; ++k) {
        const double x = pts[2 * k], y = pts[2 * k + 1];
        const double d = kind == FitKind::Ellipse ? e.sampson(x, y) : fit_distance(kind, p, x, y);
        if (!(std::abs(d) <= band)) continue;
        const double dx = x - p[0], dy = y - p[1];
        double t = std::atan2((-s * dx + c * dy) / b, (c * dx + s * dy) / a);
        if (t < 0) t += tau;
        const int64_t i = static_cast<int64_t>(std::llround(t / tau * static_cast<double>(samples))) % samples;
        hit[i] = 1.0;
    }
    int64_t inside = 0, covered = 0;
    for (int64_t i = 0; i < samples; ++i) {
        const double t = tau * static_cast<double>(i) / static_cast<double>(samples);
        const double u = a * std::cos(t), v = b * std::sin(t);
        const double x = p[0] + u * c - v * s, y = p[1] + u * s + v * c;
        if (!(x >= 1 && x <= static_cast<double>(cols) - 2 && y >= 1 && y <= static_cast<double>(rows) - 2)) continue;
        ++inside;
        const int64_t prev = (i + samples - 1) % samples, next = (i + 1) % samples;
        covered += hit[i] != 0 || hit[prev] != 0 || hit[next] != 0;
    }
    return inside > 0 ? static_cast<double>(covered) / static_cast<double>(inside) : 0.0;
}

}  // namespace quorvane::tools
