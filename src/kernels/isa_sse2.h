// SSE2 primitives: the x86-64 floor, so no x86-64 CPU runs the scalar
// kernels. Colour passes: without a byte shuffle, four pixels come from a
// 16-byte load at their first byte; byte shifts by 3, 6 and 9 and dword
// interleaves put pixel k in the low three bytes of dword k, and masks and
// a shift split them into (R, G) and (B, 0) int16 pairs. Each load reads 4
// bytes past its pixels, so two pixels must follow a block. Scoring:
// without a 32-bit lane multiply, the products come from the
// 32 x 32 -> 64-bit one on the points as loaded (x, y interleaved): the low
// 32 bits of x_p x_q + y_p y_q per 64-bit lane are exact modulo 2^32, and
// a shuffle gathers them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "color/color_impl.h"
#include "kernels/isa_x86.h"

#if QV_X86

namespace quorvane::detail {

struct Sse2 {
    static constexpr const char* kName = "sse2";
    static constexpr int kLanes = 4;
    using Bytes = X86ByteSearch;

    // ---- 32-bit lanes
    using V = __m128i;
    using M = __m128i;
    QV_SSE2 static V splat(int32_t v) noexcept { return _mm_set1_epi32(v); }
    QV_SSE2 static V add(V a, V b) noexcept { return _mm_add_epi32(a, b); }
    QV_SSE2 static V sub(V a, V b) noexcept { return _mm_sub_epi32(a, b); }
    QV_SSE2 static M gt(V a, V b) noexcept { return _mm_cmpgt_epi32(a, b); }
    QV_SSE2 static M le(V a, V b) noexcept { return _mm_xor_si128(_mm_cmpgt_epi32(a, b), _mm_set1_epi32(-1)); }
    QV_SSE2 static M both(M a, M b) noexcept { return _mm_and_si128(a, b); }
    QV_SSE2 static M either(M a, M b) noexcept { return _mm_or_si128(a, b); }
    QV_SSE2 static M differ(M a, M b) noexcept { return _mm_xor_si128(a, b); }
    QV_SSE2 static V count(V acc, M m) noexcept { return _mm_sub_epi32(acc, m); }
    QV_SSE2 static uint32_t total(V acc) noexcept {
        const __m128i s = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)))));
    }
    QV_SSE2 static uint32_t bits(M m) noexcept { return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(m))); }

    // ---- colour passes: pixels as (R, G) and (B, 0) int16 pairs, rows of
    // the matrix split into int16 halves (shared with the SSE4.1 passes)
    struct Px {
        V rg, b0;
    };
    struct Row {
        V lo_rg, lo_b, hi_rg, hi_b;
    };
    struct PixelLoad {
        V byte0, byte1;  ///< 0x000000ff and 0x0000ff00 per dword
    };
    static constexpr std::size_t kLead = 0, kTail = 2;

    QV_SSE2 static PixelLoad load_consts() noexcept { return {_mm_set1_epi32(0xff), _mm_set1_epi32(0xff00)}; }
    QV_SSE2 static Px pixels(const PixelLoad& ld, __m128i x) noexcept {
        const __m128i p01 = _mm_unpacklo_epi32(x, _mm_srli_si128(x, 3));
        const __m128i p23 = _mm_unpacklo_epi32(_mm_srli_si128(x, 6), _mm_srli_si128(x, 9));
        const __m128i y = _mm_unpacklo_epi64(p01, p23);  // pixel k in bytes 0..2 of dword k
        const __m128i rg = _mm_or_si128(_mm_and_si128(y, ld.byte0), _mm_slli_epi32(_mm_and_si128(y, ld.byte1), 8));
        return {rg, _mm_and_si128(_mm_srli_epi32(y, 16), ld.byte0)};
    }
    QV_SSE2 static void load_block(const PixelLoad& ld, const uint8_t* p, Px px[4]) noexcept {
        __m128i x[4];
        for (int j = 0; j < 4; ++j) x[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12 * j));
        for (int j = 0; j < 4; ++j) px[j] = pixels(ld, x[j]);
    }
    QV_SSE2 static Row make_row(const Params& p, int r) noexcept {
        return {_mm_set1_epi32(p.lo[r][0]), _mm_set1_epi32(p.lo[r][1]), _mm_set1_epi32(p.hi[r][0]),
                _mm_set1_epi32(p.hi[r][1])};
    }
    template <bool Wide>
    QV_SSE2 static V row_dot(const Px& x, const Row& r) noexcept {
        const V lo = _mm_add_epi32(_mm_madd_epi16(x.rg, r.lo_rg), _mm_madd_epi16(x.b0, r.lo_b));
        if constexpr (!Wide) return lo;
        const V hi = _mm_add_epi32(_mm_madd_epi16(x.rg, r.hi_rg), _mm_madd_epi16(x.b0, r.hi_b));
        return _mm_add_epi32(lo, _mm_slli_epi32(hi, 16));
    }
    QV_SSE2 static M positive2(V a, V b) noexcept {
        const __m128i zero = _mm_setzero_si128();
        return _mm_and_si128(_mm_cmpgt_epi32(a, zero), _mm_cmpgt_epi32(b, zero));
    }
    QV_SSE2 static void store_mask(uint8_t* out, const M in[4]) noexcept {
        const __m128i r = _mm_packs_epi16(_mm_packs_epi32(in[0], in[1]), _mm_packs_epi32(in[2], in[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_and_si128(r, _mm_set1_epi8(1)));
    }
    QV_SSE2 static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        // Bits 8..15 of v2, zero-extended: 0..255, which both packs keep.
        __m128i c[4];
        for (int j = 0; j < 4; ++j) c[j] = _mm_and_si128(_mm_srli_epi32(_mm_slli_epi32(v2[j], 16), 24), in[j]);
        const __m128i r = _mm_packus_epi16(_mm_packs_epi32(c[0], c[1]), _mm_packs_epi32(c[2], c[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), r);
    }

    // ---- scoring: points
    struct Pts {
        __m128i lo, hi;  ///< points 0, 1 and 2, 3 as (x, y) pairs
    };
    QV_SSE2 static Pts load(const int32_t* p) noexcept {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4))};
    }
    QV_SSE2 static Pts pair(int32_t u, int32_t v) noexcept {
        const __m128i q = _mm_setr_epi32(u, v, u, v);
        return {q, q};
    }
    QV_SSE2 static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {_mm_sub_epi32(a.lo, b.lo), _mm_sub_epi32(a.hi, b.hi)};
    }
    /// Per 64-bit lane, low half: x_p x_q + y_p y_q modulo 2^32.
    QV_SSE2 static __m128i dot2(__m128i p, __m128i q) noexcept {
        const __m128i xx = _mm_mul_epu32(p, q);
        const __m128i yy = _mm_mul_epu32(_mm_srli_epi64(p, 32), _mm_srli_epi64(q, 32));
        return _mm_add_epi32(xx, yy);
    }
    template <bool Ordered>
    QV_SSE2 static V dot(const Pts& p, const Pts& q) noexcept {
        const __m128 a = _mm_castsi128_ps(dot2(p.lo, q.lo)), b = _mm_castsi128_ps(dot2(p.hi, q.hi));
        return _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));  // always in order
    }
    /// Coordinates within int16: packed to (x, y) word pairs, one multiply-add.
    QV_SSE2 static V dot16(const Pts& p, const Pts& q) noexcept {
        return _mm_madd_epi16(_mm_packs_epi32(p.lo, p.hi), _mm_packs_epi32(q.lo, q.hi));
    }

    // ---- scoring: float lanes
    using F = __m128;
    QV_SSE2 static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const __m128 lo = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m128 hi = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)));
        x = _mm_cvtepi32_ps(_mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0))));
        y = _mm_cvtepi32_ps(_mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))));
    }
    QV_SSE2 static F splat_f(float v) noexcept { return _mm_set1_ps(v); }
    QV_SSE2 static F mul_f(F a, F b) noexcept { return _mm_mul_ps(a, b); }
    QV_SSE2 static F add_f(F a, F b) noexcept { return _mm_add_ps(a, b); }
    QV_SSE2 static M gt_f(F a, F b) noexcept { return _mm_castps_si128(_mm_cmpgt_ps(a, b)); }

    // ---- scoring: double lanes
    using D = __m128d;
    using DM = __m128d;
    using W = __m128i;
    static constexpr int kDLanes = 2;
    QV_SSE2 static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i s = _mm_shuffle_epi32(q, _MM_SHUFFLE(3, 1, 2, 0));  // x0 x1 y0 y1
        x = _mm_cvtepi32_pd(s);
        y = _mm_cvtepi32_pd(_mm_unpackhi_epi64(s, s));
    }
    QV_SSE2 static D splat_d(double v) noexcept { return _mm_set1_pd(v); }
    QV_SSE2 static D mul_d(D a, D b) noexcept { return _mm_mul_pd(a, b); }
    QV_SSE2 static D add_d(D a, D b) noexcept { return _mm_add_pd(a, b); }
    QV_SSE2 static D sub_d(D a, D b) noexcept { return _mm_sub_pd(a, b); }
    QV_SSE2 static D div_d(D a, D b) noexcept { return _mm_div_pd(a, b); }
    QV_SSE2 static D sqrt_d(D a) noexcept { return _mm_sqrt_pd(a); }
    QV_SSE2 static D neg_d(D a) noexcept { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
    QV_SSE2 static DM ge_d(D a, D b) noexcept { return _mm_cmpge_pd(a, b); }
    QV_SSE2 static DM le_d(D a, D b) noexcept { return _mm_cmple_pd(a, b); }
    QV_SSE2 static DM eq_d(D a, D b) noexcept { return _mm_cmpeq_pd(a, b); }
    QV_SSE2 static DM gt_d(D a, D b) noexcept { return _mm_cmpgt_pd(a, b); }
    QV_SSE2 static DM ne_d(D a, D b) noexcept { return _mm_cmpneq_pd(a, b); }
    QV_SSE2 static DM both_d(DM a, DM b) noexcept { return _mm_and_pd(a, b); }
    QV_SSE2 static DM either_d(DM a, DM b) noexcept { return _mm_or_pd(a, b); }
    /// a where m is set, else b.
    QV_SSE2 static D select_d(DM m, D a, D b) noexcept { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
    QV_SSE2 static uint32_t bits_d(DM m) noexcept { return static_cast<uint32_t>(_mm_movemask_pd(m)); }
    QV_SSE2 static D load_dv(const double* p) noexcept { return _mm_loadu_pd(p); }
    QV_SSE2 static void store_dv(double* p, D v) noexcept { _mm_storeu_pd(p, v); }
    QV_SSE2 static W zero_w() noexcept { return _mm_setzero_si128(); }
    QV_SSE2 static W count_d(W acc, DM m) noexcept { return _mm_sub_epi64(acc, _mm_castpd_si128(m)); }
    QV_SSE2 static uint32_t total_d(W acc) noexcept {
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc))));
    }
};

}  // namespace quorvane::detail
#endif
