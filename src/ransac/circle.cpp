// Circle fitter: circumcircle of three points in 64-bit integers, 32-bit ring score.
#include <cmath>
#include <cstdint>

#include "kernels/kernels.h"
#include "ransac.h"
#include "sampling.h"
#include "score.h"

namespace quorvane {
namespace {

using namespace ransac_detail;

/// Circle through three points (integer centre and radius, quotients
/// truncated toward zero). False for collinear points and for circles whose
/// centre or radius does not fit in 32 bits.
bool points_to_circle(const int32_t (&p)[3][2], Circle& r) noexcept {
    const int64_t x1 = p[0][0], y1 = p[0][1];
    const int64_t x2 = p[1][0], y2 = p[1][1];
    const int64_t x3 = p[2][0], y3 = p[2][1];

    // Twice the signed area.
    const int64_t A = add64(add64(mul64(x1, y2 - y3), mul64(y1, x3 - x2)),
                            sub64(mul64(x2, y3), mul64(y2, x3)));
    if (A == 0) return false;
    const int64_t c1 = add64(mul64(x1, x1), mul64(y1, y1));
    const int64_t c2 = add64(mul64(x2, x2), mul64(y2, y2));
    const int64_t c3 = add64(mul64(x3, x3), mul64(y3, y3));
    const int64_t A2 = mul64(2, A);
    if (A2 == 0) return false;  // only when 2*A wraps, far outside image coordinates
    const int64_t B = add64(add64(mul64(y3 - y2, c1), mul64(y1 - y3, c2)), mul64(y2 - y1, c3));
    const int64_t C = add64(add64(mul64(x2 - x3, c1), mul64(x3 - x1, c2)), mul64(x1 - x2, c3));
    const int64_t D = add64(add64(mul64(sub64(mul64(x3, y2), mul64(x2, y3)), c1),
                                  mul64(sub64(mul64(x1, y3), mul64(x3, y1)), c2)),
                            mul64(sub64(mul64(x2, y1), mul64(x1, y2)), c3));

    const int64_t cx = div64(neg64(B), A2);
    const int64_t cy = div64(neg64(C), A2);
    if (cx < INT32_MIN || cx > INT32_MAX || cy < INT32_MIN || cy > INT32_MAX) return false;

    // x*x + y*y - D/A, exactly: the squares sum to at most 2^63.
    const int64_t q = div64(D, A);
    const uint64_t sq = static_cast<uint64_t>(cx * cx) + static_cast<uint64_t>(cy * cy);
    int32_t radius = 0;
    if (q < 0 || sq >= static_cast<uint64_t>(q)) {
        const uint64_t uq = static_cast<uint64_t>(q);
        const uint64_t rad = q < 0 ? sq + (0u - uq) : sq - uq;
        if (q < 0 && rad < sq) return false;  // above 2^64: the root is far beyond 32 bits
        const double root = std::sqrt(static_cast<double>(rad));
        if (root >= 2147483648.0) return false;
        radius = static_cast<int32_t>(root);
    }
    r.x = static_cast<int32_t>(cx);
    r.y = static_cast<int32_t>(cy);
    r.r = radius;
    return true;
}

}  // namespace

Circle ransac_circle(const Kernels& kernels, const int32_t* ps, int64_t n, uint32_t seed, int32_t count, int32_t min_r,
                     int32_t max_r, int32_t delta) noexcept {
    const ScoreKernels& sk = kernels.score;
    const Box box = bounding_box(ps, n);
    return sample_best<3, Circle>(
        ps, n, seed, count,
        [&](const int32_t (&p)[3][2], Circle& c) noexcept {
            return points_to_circle(p, c) && !(c.r > max_r || c.r < min_r);
        },
        [&](const Circle& c, int64_t best_score) noexcept {
            const int32_t inner = sub32(c.r, delta), outer = add32(c.r, delta);
            const int32_t lo = mul32(inner, inner), hi = mul32(outer, outer);
            return sk.ring(ps, n, best_score, RingTest{c.x, c.y, lo, hi, box_fits16(box, c.x, c.y)});
        });
}

}  // namespace quorvane
