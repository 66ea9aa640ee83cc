// Scalar scoring and marking: the reference the vector kernels must match.

#include "sampling.h"
#include "score.h"

namespace quorvane::score_scalar {

using ransac_detail::count_inliers;

int64_t line(const int32_t* ps, int64_t n, int64_t best, const BandTest& band) noexcept {
    const BandTest b = band;
    return count_inliers<kCountBlock>(ps, n, best, [&](int32_t x, int32_t y) { return band_contains(b, x, y); });
}

int64_t pair(const int32_t* ps, int64_t n, int64_t best, const BandTest& band1, const BandTest& band2) noexcept {
    const BandTest b1 = band1, b2 = band2;
    return count_inliers<kCountBlock>(ps, n, best, [&](int32_t x, int32_t y) {
        return band_contains(b1, x, y) != band_contains(b2, x, y);
    });
}

int64_t ring(const int32_t* ps, int64_t n, int64_t best, const RingTest& ring) noexcept {
    const RingTest r = ring;
    return count_inliers<kCountBlock>(ps, n, best, [=](int32_t x, int32_t y) { return ring_contains(r, x, y); });
}

int64_t shell(const int32_t* ps, int64_t n, int64_t best, const ShellTest& s) noexcept {
    const Conic i = s.inner, o = s.outer;
    return count_inliers<kShellBlock>(ps, n, best, [=](int32_t x, int32_t y) { return shell_contains(i, o, x, y); });
}

uint32_t conics(const int32_t (*p)[5][2], int count, ConicFit* out) noexcept {
    uint32_t ok = 0;
    for (int j = 0; j < count; ++j) ok |= ransac_detail::points_to_conic(p[j], out[j]) ? 1u << j : 0u;
    return ok;
}

void mark_line(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& band) noexcept {
    const BandTest b = band;  // a copy: the stores may alias the caller's record
    mark_band(ps, 0, n, ms, b);
}

void mark_pair(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& band1, const BandTest& band2) noexcept {
    const BandTest b1 = band1, b2 = band2;
    mark_bands(ps, 0, n, ms, b1, b2);
}

}  // namespace quorvane::score_scalar
