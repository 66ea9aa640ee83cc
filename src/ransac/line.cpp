// Line primitives, the single-line fitter and the parallel-pair fitter.
#include <cmath>
#include <cstdint>

#include "kernels/kernels.h"
#include "ransac.h"
#include "sampling.h"
#include "score.h"

namespace quorvane {
namespace {

using namespace ransac_detail;

/// c[0]*x + c[1]*y + c[2] = 0, all 32-bit.
struct Coeffs {
    int32_t a, b, c;
};

/// Line through p0 and p1 with normal (dy, -dx); false for equal points.
bool points_to_line(const int32_t* p0, const int32_t* p1, Line& l) noexcept {
    if (p0[0] == p1[0] && p0[1] == p1[1]) return false;
    l.px = p0[0];
    l.py = p0[1];
    l.nx = sub32(p1[1], p0[1]);
    l.ny = sub32(p0[0], p1[0]);
    return true;
}

Coeffs line_coeffs(const Line& l) noexcept {
    return {l.nx, l.ny, neg32(add32(mul32(l.nx, l.px), mul32(l.ny, l.py)))};
}

/// line_coeffs moved by trunc(delta * |n|) in the constant term.
Coeffs line_shift(const Line& l, int32_t delta) noexcept {
    Coeffs c = line_coeffs(l);
    const int32_t len2 = add32(mul32(l.nx, l.nx), mul32(l.ny, l.ny));
    const double v = std::sqrt(static_cast<double>(len2)) * static_cast<double>(delta);
    c.c = add32(c.c, trunc_i32(v));
    return c;
}

/// The band of half-width delta around a line: inside when the +delta line
/// evaluates >= 0 and the -delta line <= 0. Both lines share the normal, so
/// one product pair serves both tests (the sums wrap, so this is exact).
/// `small`: every coordinate of the points lies in int16.
BandTest band_of(const Line& l, int32_t delta, bool small) noexcept {
    const Coeffs p = line_shift(l, delta);
    const Coeffs m = line_shift(l, neg32(delta));
    return {p.a, p.b, p.c, m.c, small && fits16(p.a) && fits16(p.b)};
}

}  // namespace

Line ransac_line(const Kernels& kernels, const int32_t* ps, int64_t n, uint8_t* ms, uint32_t seed, int32_t count,
                 int32_t delta, double slope_limit) noexcept {
    const ScoreKernels& sk = kernels.score;
    const double limit2 = slope_limit * slope_limit;
    const bool small = box_fits16(bounding_box(ps, n), 0, 0);
    const Line best = sample_best<2, Line>(
        ps, n, seed, count,
        [&](const int32_t (&p)[2][2], Line& l) noexcept {
            if (!points_to_line(p[0], p[1], l)) return false;
            // Too close to horizontal: |sin| of the angle at most slope_limit.
            const int32_t nx2 = mul32(l.nx, l.nx);
            const int32_t len2 = add32(nx2, mul32(l.ny, l.ny));
            return !(static_cast<double>(nx2) <= limit2 * static_cast<double>(len2));
        },
        [&](const Line& l, int64_t best_score) noexcept {
            return sk.line(ps, n, best_score, band_of(l, delta, small));
        });
    sk.mark_line(ps, n, ms, band_of(best, delta, false));
    return best;
}

Line2 ransac_line2(const Kernels& kernels, const int32_t* ps, int64_t n, uint8_t* ms, uint32_t seed, int32_t count,
                   double ratio, int32_t delta) noexcept {
    const ScoreKernels& sk = kernels.score;
    const double ratio2 = ratio * ratio;
    const bool small = box_fits16(bounding_box(ps, n), 0, 0);
    const Line2 best = sample_best<4, Line2>(
        ps, n, seed, count,
        [&](const int32_t (&p)[4][2], Line2& c) noexcept {
            if (!points_to_line(p[0], p[1], c.l1) || !points_to_line(p[2], p[3], c.l2)) {
                return false;
            }
            // Parallelism: cos^2 of the angle between the normals >= ratio^2,
            // with the integer products formed in 64 bits.
            const int64_t nx1 = c.l1.nx, ny1 = c.l1.ny, nx2 = c.l2.nx, ny2 = c.l2.ny;
            const auto sq = [](int64_t v) noexcept { return static_cast<uint64_t>(v * v); };
            const uint64_t n1_l = sq(nx1) + sq(ny1);  // up to 2^63: fits unsigned
            const uint64_t n2_l = sq(nx2) + sq(ny2);
            const int64_t ncos = add64(nx1 * nx2, ny1 * ny2);
            const double lhs = static_cast<double>(ncos) * static_cast<double>(ncos);
            const double rhs = ratio2 * static_cast<double>(n1_l) * static_cast<double>(n2_l);
            return !(lhs < rhs);
        },
        [&](const Line2& c, int64_t best_score) noexcept {
            return sk.pair(ps, n, best_score, band_of(c.l1, delta, small), band_of(c.l2, delta, small));
        });
    sk.mark_pair(ps, n, ms, band_of(best.l1, delta, false), band_of(best.l2, delta, false));
    return best;
}

}  // namespace quorvane
