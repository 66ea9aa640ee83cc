// Ellipse fitter: conic through five points (conic.h, solved kConicBatch
// samples at a time by the scoring kernels), ring between two conics.
//
// Every double expression is evaluated left to right exactly as written
// (squares expanded in place, e.g. A*E*E is (A*E)*E); the build must not
// contract or reassociate floating-point operations, because with delta = 0
// only points exactly on the conic count.
#include <cmath>
#include <cstdint>

#include "kernels/kernels.h"
#include "ransac.h"
#include "sampling.h"
#include "score.h"

namespace quorvane {
namespace {

using namespace ransac_detail;

struct Candidate {
    Ellipse e;        // semi-axes already taken back from the outer ring
    ShellTest ring;
};

/// Whether the float pass of the ring pays: its bound `t` against the
/// conic's slope on the ellipse with semi-axes a, b (at least
/// 2 |a b| min(|a|, |b|), the conic being b^2 u^2 + a^2 v^2 - a^2 b^2 in the
/// ellipse's axes) leaves open only points within 1/8 of the edge. Beyond
/// that (small ellipses among points spread over a large frame) the points
/// it leaves open cost more than it saves.
bool float_pays(float t, double a, double b) noexcept {
    const double pa = std::fabs(a), pb = std::fabs(b);
    return static_cast<double>(t) * 8.0 <= 2.0 * pa * pb * (pa < pb ? pa : pb);
}

}  // namespace

Ellipse ransac_ellipse(const Kernels& kernels, const int32_t* ps, int64_t n, uint32_t seed, int32_t count,
                       int32_t min_r, int32_t max_r, double ratio, int32_t delta) noexcept {
    const ScoreKernels& sk = kernels.score;
    const double lo = static_cast<double>(min_r), hi = static_cast<double>(max_r);
    const double d = static_cast<double>(delta);
    const double d2 = static_cast<double>(mul32(2, delta));
    const Box box = bounding_box(ps, n);  // for the float pass of the scoring
    const Candidate best = sample_best_batched<5, kConicBatch, Candidate>(
        ps, n, seed, count,
        [&](const int32_t (&p)[kConicBatch][5][2], int b, Candidate (&c)[kConicBatch]) noexcept {
            ConicFit f[kConicBatch];
            uint32_t usable = sk.conics(p, b, f);
            for (int j = 0; j < b; ++j) {
                if (((usable >> j) & 1u) == 0) continue;
                const ConicFit& e = f[j];
                if (ratio * e.a < e.b || e.a > hi || e.a < lo || e.b > hi || e.b < lo) {
                    usable &= ~(1u << j);
                    continue;
                }
                const double theta = conic_angle(e);
                const double s = std::sin(theta), k = std::cos(theta);
                const double ia = e.a - d, ib = e.b - d;
                const double oa = ia + d2, ob = ib + d2;
                c[j].e = {e.x, e.y, oa - d, ob - d, theta};
                ShellTest& r = c[j].ring;
                r.inner = ellipse_coeffs(e.x, e.y, ia, ib, s, k);
                r.outer = ellipse_coeffs(e.x, e.y, oa, ob, s, k);
                if (shell_bounds(r, box)) r.quick = float_pays(r.ti, ia, ib) && float_pays(r.to, oa, ob);
            }
            return usable;
        },
        [&](const Candidate& c, int64_t best_score) noexcept {
            return sk.shell(ps, n, best_score, c.ring);
        });
    return best.e;
}

}  // namespace quorvane
