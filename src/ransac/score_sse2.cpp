// SSE2 scoring: the x86-64 floor. Without a 32-bit lane multiply, the
// products come from the 32 x 32 -> 64-bit one on the points as loaded
// (x, y interleaved): the low 32 bits of x_p x_q + y_p y_q per 64-bit lane
// are exact modulo 2^32, and a shuffle gathers them.

#include <cstddef>
#include <cstdint>

#include "color/color_x86.h"
#include "score.h"

#if QV_X86

#define QV_TARGET __attribute__((target("sse2")))

namespace quorvane::detail {
namespace {

struct Isa {
    static constexpr const char* kName = "sse2";

    using V = __m128i;
    using M = __m128i;
    struct Pts {
        __m128i lo, hi;  ///< points 0, 1 and 2, 3 as (x, y) pairs
    };
    static constexpr int kLanes = 4;

    QV_TARGET static Pts load(const int32_t* p) noexcept {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4))};
    }
    QV_TARGET static Pts pair(int32_t u, int32_t v) noexcept {
        const __m128i q = _mm_setr_epi32(u, v, u, v);
        return {q, q};
    }
    QV_TARGET static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {_mm_sub_epi32(a.lo, b.lo), _mm_sub_epi32(a.hi, b.hi)};
    }
    /// Per 64-bit lane, low half: x_p x_q + y_p y_q modulo 2^32.
    QV_TARGET static __m128i dot2(__m128i p, __m128i q) noexcept {
        const __m128i xx = _mm_mul_epu32(p, q);
        const __m128i yy = _mm_mul_epu32(_mm_srli_epi64(p, 32), _mm_srli_epi64(q, 32));
        return _mm_add_epi32(xx, yy);
    }
    template <bool Ordered>
    QV_TARGET static V dot(const Pts& p, const Pts& q) noexcept {
        const __m128 a = _mm_castsi128_ps(dot2(p.lo, q.lo)), b = _mm_castsi128_ps(dot2(p.hi, q.hi));
        return _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));  // always in order
    }
    /// Coordinates within int16: packed to (x, y) word pairs, one multiply-add.
    QV_TARGET static V dot16(const Pts& p, const Pts& q) noexcept {
        return _mm_madd_epi16(_mm_packs_epi32(p.lo, p.hi), _mm_packs_epi32(q.lo, q.hi));
    }
    QV_TARGET static V splat(int32_t v) noexcept { return _mm_set1_epi32(v); }
    QV_TARGET static V add(V a, V b) noexcept { return _mm_add_epi32(a, b); }
    QV_TARGET static V sub(V a, V b) noexcept { return _mm_sub_epi32(a, b); }
    QV_TARGET static M gt(V a, V b) noexcept { return _mm_cmpgt_epi32(a, b); }
    QV_TARGET static M le(V a, V b) noexcept { return _mm_xor_si128(_mm_cmpgt_epi32(a, b), _mm_set1_epi32(-1)); }
    QV_TARGET static M both(M a, M b) noexcept { return _mm_and_si128(a, b); }
    QV_TARGET static M either(M a, M b) noexcept { return _mm_or_si128(a, b); }
    QV_TARGET static M differ(M a, M b) noexcept { return _mm_xor_si128(a, b); }
    QV_TARGET static V count(V acc, M m) noexcept { return _mm_sub_epi32(acc, m); }
    QV_TARGET static uint32_t total(V acc) noexcept {
        const __m128i s = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)))));
    }
    QV_TARGET static uint32_t bits(M m) noexcept {
        return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(m)));
    }

    using F = __m128;  ///< kLanes floats
    /// kLanes points as floats (exact for coordinates within 2^24), lane j point j.
    QV_TARGET static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const __m128 lo = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m128 hi = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)));
        x = _mm_cvtepi32_ps(_mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0))));
        y = _mm_cvtepi32_ps(_mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))));
    }
    QV_TARGET static F splat_f(float v) noexcept { return _mm_set1_ps(v); }
    QV_TARGET static F mul_f(F a, F b) noexcept { return _mm_mul_ps(a, b); }
    QV_TARGET static F add_f(F a, F b) noexcept { return _mm_add_ps(a, b); }
    QV_TARGET static M gt_f(F a, F b) noexcept { return _mm_castps_si128(_mm_cmpgt_ps(a, b)); }

    using D = __m128d;
    using DM = __m128d;
    using W = __m128i;
    static constexpr int kDLanes = 2;

    QV_TARGET static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i s = _mm_shuffle_epi32(q, _MM_SHUFFLE(3, 1, 2, 0));  // x0 x1 y0 y1
        x = _mm_cvtepi32_pd(s);
        y = _mm_cvtepi32_pd(_mm_unpackhi_epi64(s, s));
    }
    QV_TARGET static D splat_d(double v) noexcept { return _mm_set1_pd(v); }
    QV_TARGET static D mul_d(D a, D b) noexcept { return _mm_mul_pd(a, b); }
    QV_TARGET static D add_d(D a, D b) noexcept { return _mm_add_pd(a, b); }
    QV_TARGET static DM ge_d(D a, D b) noexcept { return _mm_cmpge_pd(a, b); }
    QV_TARGET static DM le_d(D a, D b) noexcept { return _mm_cmple_pd(a, b); }
    QV_TARGET static DM both_d(DM a, DM b) noexcept { return _mm_and_pd(a, b); }
    QV_TARGET static DM either_d(DM a, DM b) noexcept { return _mm_or_pd(a, b); }
    QV_TARGET static D load_dv(const double* p) noexcept { return _mm_loadu_pd(p); }
    QV_TARGET static void store_dv(double* p, D v) noexcept { _mm_storeu_pd(p, v); }
    QV_TARGET static D sub_d(D a, D b) noexcept { return _mm_sub_pd(a, b); }
    QV_TARGET static D div_d(D a, D b) noexcept { return _mm_div_pd(a, b); }
    QV_TARGET static D sqrt_d(D a) noexcept { return _mm_sqrt_pd(a); }
    QV_TARGET static D neg_d(D a) noexcept { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
    QV_TARGET static DM eq_d(D a, D b) noexcept { return _mm_cmpeq_pd(a, b); }
    QV_TARGET static DM gt_d(D a, D b) noexcept { return _mm_cmpgt_pd(a, b); }
    QV_TARGET static DM ne_d(D a, D b) noexcept { return _mm_cmpneq_pd(a, b); }
    /// a where m is set, else b.
    QV_TARGET static D select_d(DM m, D a, D b) noexcept { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
    QV_TARGET static uint32_t bits_d(DM m) noexcept { return static_cast<uint32_t>(_mm_movemask_pd(m)); }
    QV_TARGET static W zero_w() noexcept { return _mm_setzero_si128(); }
    QV_TARGET static W count_d(W acc, DM m) noexcept { return _mm_sub_epi64(acc, _mm_castpd_si128(m)); }
    QV_TARGET static uint32_t total_d(W acc) noexcept {
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc))));
    }
};

}  // namespace
}  // namespace quorvane::detail

#include "score_loop.h"

namespace quorvane::detail {
const ScoreKernels* score_kernels_sse2() noexcept { return &kIsaScore; }
}  // namespace quorvane::detail

#else

namespace quorvane::detail {
const ScoreKernels* score_kernels_sse2() noexcept { return nullptr; }
}  // namespace quorvane::detail

#endif
