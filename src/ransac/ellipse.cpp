// Ellipse fitter: conic through five points, ring between two conics.
//
// Every double expression is evaluated left to right exactly as written
// (squares expanded in place, e.g. A*E*E is (A*E)*E); the build must not
// contract or reassociate floating-point operations, because with delta = 0
// only points exactly on the conic count.
#include <cmath>
#include <cstdint>

#include "ransac.h"
#include "sampling.h"
#include "score.h"

namespace quorvane {
namespace {

using namespace ransac_detail;

/// Gauss elimination of the 5x6 augmented system in place (signed pivot
/// rule, no magnitudes). False on a zero pivot; the solution is in column 5.
bool solve_matrix(double (&m)[5][6]) noexcept {
    for (int i = 0; i < 5; ++i) {
        for (int k = i + 1; k < 5; ++k) {
            if (m[i][i] == 0.0 || (m[k][i] > m[i][i] && m[k][i] != 0.0)) {
                for (int j = 0; j < 6; ++j) {
                    const double t = m[i][j];
                    m[i][j] = m[k][j];
                    m[k][j] = t;
                }
            }
        }
        if (m[i][i] == 0.0) return false;
        const double pivot = m[i][i];
        for (int j = i; j < 6; ++j) m[i][j] = m[i][j] / pivot;
        for (int k = i + 1; k < 5; ++k) {
            const double f = m[k][i];
            for (int j = i; j < 6; ++j) m[k][j] = m[k][j] - f * m[i][j];
        }
    }
    for (int i = 3; i >= 0; --i) {
        for (int j = 4; j > i; --j) m[i][5] = m[i][5] - m[i][j] * m[j][5];
    }
    return true;
}

/// Centre, semi-axes and angle of the conic A x^2 + B xy + C y^2 + D x + E y = 1
/// through the five points. False when singular or not an ellipse.
bool points_to_ellipse(const int32_t (&p)[5][2], Ellipse& r) noexcept {
    double m[5][6];
    for (int j = 0; j < 5; ++j) {
        const int32_t x = p[j][0], y = p[j][1];
        m[j][0] = static_cast<double>(mul32(x, x));
        m[j][1] = static_cast<double>(mul32(x, y));
        m[j][2] = static_cast<double>(mul32(y, y));
        m[j][3] = static_cast<double>(x);
        m[j][4] = static_cast<double>(y);
        m[j][5] = 1.0;
    }
    if (!solve_matrix(m)) return false;
    const double A = m[0][5], B = m[1][5], C = m[2][5], D = m[3][5], E = m[4][5];

    const double delta = B * B - 4.0 * A * C;
    if (delta >= 0.0) return false;
    const double q = std::sqrt((A - C) * (A - C) + B * B);
    const double g = 2.0 * (A * E * E + C * D * D - B * D * E - delta);
    r.x = (2.0 * C * D - B * E) / delta;
    r.y = (2.0 * A * E - B * D) / delta;
    r.a = -std::sqrt((A + C + q) * g) / delta;
    r.b = -std::sqrt((A + C - q) * g) / delta;
    if (B == 0.0) {
        r.theta = C > A ? 0.0 : 1.5707963267948966;
    } else {
        r.theta = std::atan((C - A - q) / B);
    }
    return true;
}

/// The conic of the ellipse with centre (x0, y0), semi-axes a, b and an angle
/// whose sine is s and cosine k.
Conic ellipse_coeffs(double x0, double y0, double a, double b, double s, double k) noexcept {
    Conic c;
    c.xx = a * a * s * s + b * b * k * k;
    c.xy = 2.0 * (b * b - a * a) * s * k;
    c.yy = a * a * k * k + b * b * s * s;
    c.x = -2.0 * c.xx * x0 - c.xy * y0;
    c.y = -c.xy * x0 - 2.0 * c.yy * y0;
    c.c = c.xx * x0 * x0 + c.xy * x0 * y0 + c.yy * y0 * y0 - a * a * b * b;
    return c;
}

struct Candidate {
    Ellipse e;            // semi-axes already taken back from the outer ring
    Conic inner, outer;   // the ring
};

}  // namespace

Ellipse ransac_ellipse(const int32_t* ps, int64_t n, uint32_t seed, int32_t count,
                       int32_t min_r, int32_t max_r, double ratio, int32_t delta) noexcept {
    return ransac_ellipse(score_kernels(), ps, n, seed, count, min_r, max_r, ratio, delta);
}

Ellipse ransac_ellipse(const ScoreKernels& sk, const int32_t* ps, int64_t n, uint32_t seed,
                       int32_t count, int32_t min_r, int32_t max_r, double ratio,
                       int32_t delta) noexcept {
    const double lo = static_cast<double>(min_r), hi = static_cast<double>(max_r);
    const double d = static_cast<double>(delta);
    const double d2 = static_cast<double>(mul32(2, delta));
    const Candidate best = sample_best<5, Candidate>(
        ps, n, seed, count,
        [&](const int32_t (&p)[5][2], Candidate& c) noexcept {
            Ellipse e;
            if (!points_to_ellipse(p, e)) return false;
            if (ratio * e.a < e.b || e.a > hi || e.a < lo || e.b > hi || e.b < lo) return false;
            const double s = std::sin(e.theta), k = std::cos(e.theta);
            const double ia = e.a - d, ib = e.b - d;
            const double oa = ia + d2, ob = ib + d2;
            c.e = {e.x, e.y, oa - d, ob - d, e.theta};
            c.inner = ellipse_coeffs(e.x, e.y, ia, ib, s, k);
            c.outer = ellipse_coeffs(e.x, e.y, oa, ob, s, k);
            return true;
        },
        [&](const Candidate& c, int64_t best_score) noexcept {
            return sk.shell(ps, n, best_score, c.inner, c.outer);
        });
    return best.e;
}

}  // namespace quorvane
