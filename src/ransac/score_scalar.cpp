// Scalar scoring and marking: the reference the vector kernels must match,
// and the dispatch from the colour passes' choice to a scoring kernel.

#include <cstring>

#include "color/color.h"
#include "sampling.h"
#include "score.h"

namespace quorvane {
namespace {

using ransac_detail::count_inliers;

int64_t line_count(const int32_t* ps, int64_t n, int64_t best, const BandTest& band) noexcept {
    const BandTest b = band;
    return count_inliers<kCountBlock>(ps, n, best, [&](int32_t x, int32_t y) { return band_contains(b, x, y); });
}

int64_t pair_count(const int32_t* ps, int64_t n, int64_t best, const BandTest& band1,
                   const BandTest& band2) noexcept {
    const BandTest b1 = band1, b2 = band2;
    return count_inliers<kCountBlock>(ps, n, best, [&](int32_t x, int32_t y) {
        return band_contains(b1, x, y) != band_contains(b2, x, y);
    });
}

int64_t ring_count(const int32_t* ps, int64_t n, int64_t best, const RingTest& ring) noexcept {
    const RingTest r = ring;
    return count_inliers<kCountBlock>(ps, n, best, [=](int32_t x, int32_t y) { return ring_contains(r, x, y); });
}

int64_t shell_count(const int32_t* ps, int64_t n, int64_t best, const ShellTest& s) noexcept {
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
    for (int64_t k = 0; k < n; ++k) ms[k] = band_contains(b, ps[2 * k], ps[2 * k + 1]) ? 1 : 0;
}

void mark_pair(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& band1,
               const BandTest& band2) noexcept {
    const BandTest b1 = band1, b2 = band2;
    for (int64_t k = 0; k < n; ++k) {
        const int32_t x = ps[2 * k], y = ps[2 * k + 1];
        const bool in1 = band_contains(b1, x, y), in2 = band_contains(b2, x, y);
        ms[k] = (in1 | in2) ? 1 : 0;
    }
}

constexpr ScoreKernels kScalar{line_count, pair_count, ring_count, shell_count, conics, mark_line, mark_pair, "scalar"};

}  // namespace

namespace detail {
const ScoreKernels* score_kernels_sse2() noexcept;
const ScoreKernels* score_kernels_avx2() noexcept;
const ScoreKernels* score_kernels_avx512() noexcept;
const ScoreKernels* score_kernels_neon() noexcept;
}  // namespace detail

const ScoreKernels& score_kernels_scalar() noexcept { return kScalar; }

const ScoreKernels* score_kernels_for(const char* name) noexcept {
    if (std::strcmp(name, "scalar") == 0) return &kScalar;
    if (std::strcmp(name, "sse2") == 0 || std::strcmp(name, "sse41") == 0) return detail::score_kernels_sse2();
    if (std::strcmp(name, "avx2") == 0) return detail::score_kernels_avx2();
    if (std::strcmp(name, "avx512") == 0) return detail::score_kernels_avx512();
    if (std::strcmp(name, "neon") == 0) return detail::score_kernels_neon();
    return nullptr;
}

const ScoreKernels& score_kernels() noexcept {
    const ScoreKernels* k = score_kernels_for(color_kernels().name);
    return k != nullptr ? *k : kScalar;
}

}  // namespace quorvane
