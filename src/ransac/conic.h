// The ellipse fitter's candidates: the conic through five points, solved by
// elimination and turned into centre and semi-axes. This is the scalar
// reference; the vector kernels (score_loop.h) run the very same operations
// lane by lane, one sample per lane.
//
// Every double expression is evaluated left to right exactly as written
// (squares expanded in place, e.g. A*E*E is (A*E)*E); the build must not
// contract or reassociate floating-point operations, because with delta = 0
// only points exactly on the conic count.
#pragma once

#include <cmath>
#include <cstdint>

#include "wrap.h"

namespace quorvane {

/// Conic coefficients (xx, xy, yy, x, y, 1); negative inside the ellipse.
struct Conic {
    double xx, xy, yy, x, y, c;
};

/// A conic A x^2 + B xy + C y^2 + D x + E y = 1 through five points, as an
/// ellipse: centre (x, y) and semi-axes a, b, with A, B, C and
/// q = sqrt((A - C)^2 + B^2) for its angle (conic_angle).
struct ConicFit {
    double x, y, a, b;
    double A, B, C, q;
};

/// Most samples one call of a conic kernel takes.
constexpr int kConicBatch = 8;

namespace ransac_detail {

/// Gauss elimination of the 5x6 augmented system in place (signed pivot
/// rule, no magnitudes). False on a zero pivot; the solution is in column 5.
inline bool solve_matrix(double (&m)[5][6]) noexcept {
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

/// Row j of the system for the point (x, y): the products formed in
/// wrapping 32-bit arithmetic, then converted.
inline void conic_row(int32_t x, int32_t y, double (&row)[6]) noexcept {
    row[0] = static_cast<double>(mul32(x, x));
    row[1] = static_cast<double>(mul32(x, y));
    row[2] = static_cast<double>(mul32(y, y));
    row[3] = static_cast<double>(x);
    row[4] = static_cast<double>(y);
    row[5] = 1.0;
}

/// The conic through the five points as an ellipse. False when the system
/// is singular or the conic is not an ellipse.
inline bool points_to_conic(const int32_t (&p)[5][2], ConicFit& r) noexcept {
    double m[5][6];
    for (int j = 0; j < 5; ++j) conic_row(p[j][0], p[j][1], m[j]);
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
    r.A = A;
    r.B = B;
    r.C = C;
    r.q = q;
    return true;
}

/// The conic of the ellipse with centre (x0, y0), semi-axes a, b and an
/// angle whose sine is s and cosine k.
inline Conic ellipse_coeffs(double x0, double y0, double a, double b, double s, double k) noexcept {
    Conic c;
    c.xx = a * a * s * s + b * b * k * k;
    c.xy = 2.0 * (b * b - a * a) * s * k;
    c.yy = a * a * k * k + b * b * s * s;
    c.x = -2.0 * c.xx * x0 - c.xy * y0;
    c.y = -c.xy * x0 - 2.0 * c.yy * y0;
    c.c = c.xx * x0 * x0 + c.xy * x0 * y0 + c.yy * y0 * y0 - a * a * b * b;
    return c;
}

/// Angle of the `a` axis to the x axis.
inline double conic_angle(const ConicFit& f) noexcept {
    if (f.B == 0.0) return f.C > f.A ? 0.0 : 1.5707963267948966;
    return std::atan((f.C - f.A - f.q) / f.B);
}

}  // namespace ransac_detail
}  // namespace quorvane
