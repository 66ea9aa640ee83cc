// The x86 intrinsics for the colour passes' vector implementations.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics initialise their "undefined" operands with
// themselves, which -Wmaybe-uninitialized reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#define QV_X86 1
#endif

#if QV_X86
#define QV_SSE2 __attribute__((target("sse2")))
#include "color_impl.h"

namespace quorvane::detail {

/// What the SSE2 and SSE4.1 passes share: 32-bit lanes of four pixels, each pixel as (R, G)
/// and (B, 0) int16 pairs, rows of the matrix split into int16 halves. SSE2 is every x86-64
/// CPU's floor, so these need nothing more than it.
struct Sse128 {
    using V = __m128i;
    using M = __m128i;
    struct Px {
        V rg, b0;  ///< (R, G) and (B, 0) int16 pairs per pixel
    };
    struct Row {
        V lo_rg, lo_b, hi_rg, hi_b;
    };
    QV_SSE2 static Row make_row(const Params& p, int r) noexcept {
        return {_mm_set1_epi32(p.lo[r][0]), _mm_set1_epi32(p.lo[r][1]), _mm_set1_epi32(p.hi[r][0]),
                _mm_set1_epi32(p.hi[r][1])};
    }
    template <bool Wide>
    QV_SSE2 static V dot(const Px& x, const Row& r) noexcept {
        const V lo = _mm_add_epi32(_mm_madd_epi16(x.rg, r.lo_rg), _mm_madd_epi16(x.b0, r.lo_b));
        if constexpr (!Wide) return lo;
        const V hi = _mm_add_epi32(_mm_madd_epi16(x.rg, r.hi_rg), _mm_madd_epi16(x.b0, r.hi_b));
        return _mm_add_epi32(lo, _mm_slli_epi32(hi, 16));
    }
    QV_SSE2 static V splat(int32_t v) noexcept { return _mm_set1_epi32(v); }
    QV_SSE2 static V add(V a, V b) noexcept { return _mm_add_epi32(a, b); }
    QV_SSE2 static V sub(V a, V b) noexcept { return _mm_sub_epi32(a, b); }
    QV_SSE2 static M gt(V a, V b) noexcept { return _mm_cmpgt_epi32(a, b); }
    QV_SSE2 static M both(M a, M b) noexcept { return _mm_and_si128(a, b); }
};

}  // namespace quorvane::detail
#endif
