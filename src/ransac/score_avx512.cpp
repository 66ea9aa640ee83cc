// AVX-512 scoring: sixteen points per vector (eight for the doubles), lane
// masks from the comparisons. Two-source permutes split the x and the y of
// sixteen points; the products are 32-bit lane multiplies.

#include <cstddef>
#include <cstdint>

#include "color/color_x86.h"
#include "score.h"

#if QV_X86

#define QV_TARGET __attribute__((target("avx512f,avx512bw")))

namespace quorvane::detail {
namespace {

struct Isa {
    static constexpr const char* kName = "avx512";

    using V = __m512i;
    using M = __mmask16;
    struct Pts {
        __m512i lo, hi;  ///< points 0-7 and 8-15 as (x, y) pairs
    };
    static constexpr int kLanes = 16;

    QV_TARGET static Pts load(const int32_t* p) noexcept {
        return {_mm512_loadu_si512(p), _mm512_loadu_si512(p + 16)};
    }
    QV_TARGET static Pts pair(int32_t u, int32_t v) noexcept {
        const __m512i q = _mm512_set1_epi64(static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(v)) << 32 |
                                                                 static_cast<uint32_t>(u)));
        return {q, q};
    }
    QV_TARGET static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {_mm512_sub_epi32(a.lo, b.lo), _mm512_sub_epi32(a.hi, b.hi)};
    }
    template <bool Ordered>
    QV_TARGET static V dot(const Pts& p, const Pts& q) noexcept {
        // Split x and y, then the 32-bit lane multiply (faster here than the
        // 64-bit one on the interleaved pairs).
        const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        const __m512i px = _mm512_permutex2var_epi32(p.lo, even, p.hi), py = _mm512_permutex2var_epi32(p.lo, odd, p.hi);
        const __m512i qx = _mm512_permutex2var_epi32(q.lo, even, q.hi), qy = _mm512_permutex2var_epi32(q.lo, odd, q.hi);
        return _mm512_add_epi32(_mm512_mullo_epi32(px, qx), _mm512_mullo_epi32(py, qy));
    }
    /// Coordinates within int16: packed to (x, y) word pairs (points in
    /// lane order), one multiply-add.
    QV_TARGET static V dot16(const Pts& p, const Pts& q) noexcept {
        return _mm512_madd_epi16(_mm512_packs_epi32(p.lo, p.hi), _mm512_packs_epi32(q.lo, q.hi));
    }
    QV_TARGET static V splat(int32_t v) noexcept { return _mm512_set1_epi32(v); }
    QV_TARGET static V add(V a, V b) noexcept { return _mm512_add_epi32(a, b); }
    QV_TARGET static V sub(V a, V b) noexcept { return _mm512_sub_epi32(a, b); }
    QV_TARGET static M gt(V a, V b) noexcept { return _mm512_cmpgt_epi32_mask(a, b); }
    QV_TARGET static M le(V a, V b) noexcept { return _mm512_cmple_epi32_mask(a, b); }
    QV_TARGET static M both(M a, M b) noexcept { return static_cast<M>(a & b); }
    QV_TARGET static M either(M a, M b) noexcept { return static_cast<M>(a | b); }
    QV_TARGET static M differ(M a, M b) noexcept { return static_cast<M>(a ^ b); }
    QV_TARGET static V count(V acc, M m) noexcept { return _mm512_mask_sub_epi32(acc, m, acc, _mm512_set1_epi32(-1)); }
    QV_TARGET static uint32_t total(V acc) noexcept { return static_cast<uint32_t>(_mm512_reduce_add_epi32(acc)); }
    QV_TARGET static uint32_t bits(M m) noexcept { return m; }

    using F = __m512;  ///< kLanes floats
    /// kLanes points as floats (exact for coordinates within 2^24), lane j point j.
    QV_TARGET static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const __m512i lo = _mm512_loadu_si512(p), hi = _mm512_loadu_si512(p + 16);
        const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        x = _mm512_cvtepi32_ps(_mm512_permutex2var_epi32(lo, even, hi));
        y = _mm512_cvtepi32_ps(_mm512_permutex2var_epi32(lo, odd, hi));
    }
    QV_TARGET static F splat_f(float v) noexcept { return _mm512_set1_ps(v); }
    QV_TARGET static F mul_f(F a, F b) noexcept { return _mm512_mul_ps(a, b); }
    QV_TARGET static F add_f(F a, F b) noexcept { return _mm512_add_ps(a, b); }
    QV_TARGET static M gt_f(F a, F b) noexcept { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }

    using D = __m512d;
    using DM = __mmask8;
    using W = __m512i;
    static constexpr int kDLanes = 8;

    QV_TARGET static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const __m512i q = _mm512_loadu_si512(p);
        const __m512i s =
            _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15), q);
        x = _mm512_cvtepi32_pd(_mm512_castsi512_si256(s));
        y = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(s, 1));
    }
    QV_TARGET static D splat_d(double v) noexcept { return _mm512_set1_pd(v); }
    QV_TARGET static D mul_d(D a, D b) noexcept { return _mm512_mul_pd(a, b); }
    QV_TARGET static D add_d(D a, D b) noexcept { return _mm512_add_pd(a, b); }
    QV_TARGET static DM ge_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    QV_TARGET static DM le_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    QV_TARGET static DM both_d(DM a, DM b) noexcept { return static_cast<DM>(a & b); }
    QV_TARGET static DM either_d(DM a, DM b) noexcept { return static_cast<DM>(a | b); }
    QV_TARGET static D load_dv(const double* p) noexcept { return _mm512_loadu_pd(p); }
    QV_TARGET static void store_dv(double* p, D v) noexcept { _mm512_storeu_pd(p, v); }
    QV_TARGET static D sub_d(D a, D b) noexcept { return _mm512_sub_pd(a, b); }
    QV_TARGET static D div_d(D a, D b) noexcept { return _mm512_div_pd(a, b); }
    QV_TARGET static D sqrt_d(D a) noexcept { return _mm512_sqrt_pd(a); }
    QV_TARGET static D neg_d(D a) noexcept {
        return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MIN)));
    }
    QV_TARGET static DM eq_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    QV_TARGET static DM gt_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    QV_TARGET static DM ne_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    /// a where m is set, else b.
    QV_TARGET static D select_d(DM m, D a, D b) noexcept { return _mm512_mask_blend_pd(m, b, a); }
    QV_TARGET static uint32_t bits_d(DM m) noexcept { return m; }
    QV_TARGET static W zero_w() noexcept { return _mm512_setzero_si512(); }
    QV_TARGET static W count_d(W acc, DM m) noexcept {
        return _mm512_mask_sub_epi64(acc, m, acc, _mm512_set1_epi64(-1));
    }
    QV_TARGET static uint32_t total_d(W acc) noexcept { return static_cast<uint32_t>(_mm512_reduce_add_epi64(acc)); }
};

}  // namespace
}  // namespace quorvane::detail

#include "score_loop.h"

namespace quorvane::detail {
const ScoreKernels* score_kernels_avx512() noexcept { return &kIsaScore; }
}  // namespace quorvane::detail

#else

namespace quorvane::detail {
const ScoreKernels* score_kernels_avx512() noexcept { return nullptr; }
}  // namespace quorvane::detail

#endif
