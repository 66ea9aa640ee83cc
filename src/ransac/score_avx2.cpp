// AVX2 scoring: eight points per vector. The products come from the
// 32 x 32 -> 64-bit multiply on the points as loaded (x, y interleaved),
// as in the SSE2 kernels; a shuffle gathers the low halves (in the order
// 0 1 4 5 2 3 6 7, which a permute puts right for marking).

#include <cstddef>
#include <cstdint>

#include "color/color_x86.h"
#include "score.h"

#if QV_X86

#define QV_TARGET __attribute__((target("avx2")))

namespace quorvane::detail {
namespace {

struct Isa {
    static constexpr const char* kName = "avx2";

    using V = __m256i;
    using M = __m256i;
    struct Pts {
        __m256i lo, hi;  ///< points 0-3 and 4-7 as (x, y) pairs
    };
    static constexpr int kLanes = 8;

    QV_TARGET static Pts load(const int32_t* p) noexcept {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8))};
    }
    QV_TARGET static Pts pair(int32_t u, int32_t v) noexcept {
        const __m256i q = _mm256_setr_epi32(u, v, u, v, u, v, u, v);
        return {q, q};
    }
    QV_TARGET static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {_mm256_sub_epi32(a.lo, b.lo), _mm256_sub_epi32(a.hi, b.hi)};
    }
    QV_TARGET static __m256i dot2(__m256i p, __m256i q) noexcept {
        const __m256i xx = _mm256_mul_epu32(p, q);
        const __m256i yy = _mm256_mul_epu32(_mm256_srli_epi64(p, 32), _mm256_srli_epi64(q, 32));
        return _mm256_add_epi32(xx, yy);
    }
    template <bool Ordered>
    QV_TARGET static V dot(const Pts& p, const Pts& q) noexcept {
        const __m256 a = _mm256_castsi256_ps(dot2(p.lo, q.lo)), b = _mm256_castsi256_ps(dot2(p.hi, q.hi));
        const __m256i r = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        if constexpr (!Ordered) return r;
        return _mm256_permute4x64_epi64(r, _MM_SHUFFLE(3, 1, 2, 0));
    }
    /// Coordinates within int16: packed to (x, y) word pairs (points in the
    /// order 0 1 4 5 2 3 6 7), one multiply-add.
    QV_TARGET static V dot16(const Pts& p, const Pts& q) noexcept {
        return _mm256_madd_epi16(_mm256_packs_epi32(p.lo, p.hi), _mm256_packs_epi32(q.lo, q.hi));
    }
    QV_TARGET static V splat(int32_t v) noexcept { return _mm256_set1_epi32(v); }
    QV_TARGET static V add(V a, V b) noexcept { return _mm256_add_epi32(a, b); }
    QV_TARGET static V sub(V a, V b) noexcept { return _mm256_sub_epi32(a, b); }
    QV_TARGET static M gt(V a, V b) noexcept { return _mm256_cmpgt_epi32(a, b); }
    QV_TARGET static M le(V a, V b) noexcept {
        return _mm256_xor_si256(_mm256_cmpgt_epi32(a, b), _mm256_set1_epi32(-1));
    }
    QV_TARGET static M both(M a, M b) noexcept { return _mm256_and_si256(a, b); }
    QV_TARGET static M either(M a, M b) noexcept { return _mm256_or_si256(a, b); }
    QV_TARGET static M differ(M a, M b) noexcept { return _mm256_xor_si256(a, b); }
    QV_TARGET static V count(V acc, M m) noexcept { return _mm256_sub_epi32(acc, m); }
    QV_TARGET static uint32_t total(V acc) noexcept {
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)))));
    }
    QV_TARGET static uint32_t bits(M m) noexcept {
        return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
    }

    using F = __m256;  ///< kLanes floats
    /// kLanes points as floats (exact for coordinates within 2^24), lane j point j.
    QV_TARGET static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
        const __m256i lo = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), split);
        const __m256i hi =
            _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8)), split);
        x = _mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x20));
        y = _mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x31));
    }
    QV_TARGET static F splat_f(float v) noexcept { return _mm256_set1_ps(v); }
    QV_TARGET static F mul_f(F a, F b) noexcept { return _mm256_mul_ps(a, b); }
    QV_TARGET static F add_f(F a, F b) noexcept { return _mm256_add_ps(a, b); }
    QV_TARGET static M gt_f(F a, F b) noexcept { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GT_OQ)); }

    using D = __m256d;
    using DM = __m256d;
    using W = __m256i;
    static constexpr int kDLanes = 4;

    QV_TARGET static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i s = _mm256_permutevar8x32_epi32(q, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
        x = _mm256_cvtepi32_pd(_mm256_castsi256_si128(s));
        y = _mm256_cvtepi32_pd(_mm256_extracti128_si256(s, 1));
    }
    QV_TARGET static D splat_d(double v) noexcept { return _mm256_set1_pd(v); }
    QV_TARGET static D mul_d(D a, D b) noexcept { return _mm256_mul_pd(a, b); }
    QV_TARGET static D add_d(D a, D b) noexcept { return _mm256_add_pd(a, b); }
    QV_TARGET static DM ge_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    QV_TARGET static DM le_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    QV_TARGET static DM both_d(DM a, DM b) noexcept { return _mm256_and_pd(a, b); }
    QV_TARGET static DM either_d(DM a, DM b) noexcept { return _mm256_or_pd(a, b); }
    QV_TARGET static D load_dv(const double* p) noexcept { return _mm256_loadu_pd(p); }
    QV_TARGET static void store_dv(double* p, D v) noexcept { _mm256_storeu_pd(p, v); }
    QV_TARGET static D sub_d(D a, D b) noexcept { return _mm256_sub_pd(a, b); }
    QV_TARGET static D div_d(D a, D b) noexcept { return _mm256_div_pd(a, b); }
    QV_TARGET static D sqrt_d(D a) noexcept { return _mm256_sqrt_pd(a); }
    QV_TARGET static D neg_d(D a) noexcept { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    QV_TARGET static DM eq_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    QV_TARGET static DM gt_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    QV_TARGET static DM ne_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    /// a where m is set, else b.
    QV_TARGET static D select_d(DM m, D a, D b) noexcept { return _mm256_blendv_pd(b, a, m); }
    QV_TARGET static uint32_t bits_d(DM m) noexcept { return static_cast<uint32_t>(_mm256_movemask_pd(m)); }
    QV_TARGET static W zero_w() noexcept { return _mm256_setzero_si256(); }
    QV_TARGET static W count_d(W acc, DM m) noexcept { return _mm256_sub_epi64(acc, _mm256_castpd_si256(m)); }
    QV_TARGET static uint32_t total_d(W acc) noexcept {
        const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi64(s, _mm_unpackhi_epi64(s, s))));
    }
};

}  // namespace
}  // namespace quorvane::detail

#include "score_loop.h"

namespace quorvane::detail {
const ScoreKernels* score_kernels_avx2() noexcept { return &kIsaScore; }
}  // namespace quorvane::detail

#else

namespace quorvane::detail {
const ScoreKernels* score_kernels_avx2() noexcept { return nullptr; }
}  // namespace quorvane::detail

#endif
