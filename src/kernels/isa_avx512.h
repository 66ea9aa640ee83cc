// AVX-512BW primitives; comparisons give lane masks. Colour passes: sixteen
// pixels come from one 64-byte load at their first byte (then 16 bytes of
// the next pixels, so six pixels must follow a block); a dword permute
// spreads them to 12 bytes per 128-bit lane. Scoring: sixteen points per
// vector (eight for the doubles); two-source permutes split the x and the
// y of sixteen points, and the products are 32-bit lane multiplies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "color/color_impl.h"
#include "kernels/isa_x86.h"

#if QV_X86

namespace quorvane::detail {

struct Avx512 {
    static constexpr const char* kName = "avx512";
    static constexpr int kLanes = 16;
    using Bytes = X86ByteSearch;

    // ---- 32-bit lanes
    using V = __m512i;
    using M = __mmask16;
    QV_AVX512 static V splat(int32_t v) noexcept { return _mm512_set1_epi32(v); }
    QV_AVX512 static V add(V a, V b) noexcept { return _mm512_add_epi32(a, b); }
    QV_AVX512 static V sub(V a, V b) noexcept { return _mm512_sub_epi32(a, b); }
    QV_AVX512 static M gt(V a, V b) noexcept { return _mm512_cmpgt_epi32_mask(a, b); }
    QV_AVX512 static M le(V a, V b) noexcept { return _mm512_cmple_epi32_mask(a, b); }
    QV_AVX512 static M both(M a, M b) noexcept { return static_cast<M>(a & b); }
    QV_AVX512 static M either(M a, M b) noexcept { return static_cast<M>(a | b); }
    QV_AVX512 static M differ(M a, M b) noexcept { return static_cast<M>(a ^ b); }
    QV_AVX512 static V count(V acc, M m) noexcept { return _mm512_mask_sub_epi32(acc, m, acc, _mm512_set1_epi32(-1)); }
    QV_AVX512 static uint32_t total(V acc) noexcept { return static_cast<uint32_t>(_mm512_reduce_add_epi32(acc)); }
    QV_AVX512 static uint32_t bits(M m) noexcept { return m; }

    /// The 32-bit lanes of sixteen points split into their x (`even`) and y
    /// (`odd`): two-source permute indices.
    QV_AVX512 static __m512i even() noexcept {
        return _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    }
    QV_AVX512 static __m512i odd() noexcept {
        return _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    }

    // ---- colour passes
    struct Px {
        V rg, b0;  ///< (R, G) and (B, 0) int16 pairs per pixel
    };
    struct Row {
        V lo_rg, lo_b, hi_rg, hi_b;
    };
    struct PixelLoad {
        V lanes, rg, b0;
    };
    static constexpr std::size_t kLead = 0, kTail = 6;

    /// The same 16-byte pattern in all four lanes.
    QV_AVX512 static __m512i lanes4(__m128i x) noexcept { return _mm512_broadcast_i32x4(x); }
    QV_AVX512 static PixelLoad load_consts() noexcept {
        // After `lanes`, lane L holds pixels 4L..4L+3 at bytes 0..11.
        return {_mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12),
                lanes4(_mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1)),
                lanes4(_mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1))};
    }
    QV_AVX512 static void load_block(const PixelLoad& ld, const uint8_t* p, Px px[4]) noexcept {
        __m512i x[4];
        for (int j = 0; j < 4; ++j) x[j] = _mm512_loadu_si512(p + 48 * j);
        for (int j = 0; j < 4; ++j) {
            const __m512i y = _mm512_permutexvar_epi32(ld.lanes, x[j]);
            px[j] = {_mm512_shuffle_epi8(y, ld.rg), _mm512_shuffle_epi8(y, ld.b0)};
        }
    }
    QV_AVX512 static Row make_row(const Params& p, int r) noexcept {
        return {_mm512_set1_epi32(p.lo[r][0]), _mm512_set1_epi32(p.lo[r][1]), _mm512_set1_epi32(p.hi[r][0]),
                _mm512_set1_epi32(p.hi[r][1])};
    }
    template <bool Wide>
    QV_AVX512 static V row_dot(const Px& x, const Row& r) noexcept {
        const V lo = _mm512_add_epi32(_mm512_madd_epi16(x.rg, r.lo_rg), _mm512_madd_epi16(x.b0, r.lo_b));
        if constexpr (!Wide) return lo;
        const V hi = _mm512_add_epi32(_mm512_madd_epi16(x.rg, r.hi_rg), _mm512_madd_epi16(x.b0, r.hi_b));
        return _mm512_add_epi32(lo, _mm512_slli_epi32(hi, 16));
    }
    QV_AVX512 static M positive2(V a, V b) noexcept {
        return _mm512_cmpgt_epi32_mask(_mm512_min_epi32(a, b), _mm512_setzero_si512());
    }
    QV_AVX512 static void store_mask(uint8_t* out, const M in[4]) noexcept {
        const __mmask64 all = _mm512_kunpackd(_mm512_kunpackw(in[3], in[2]), _mm512_kunpackw(in[1], in[0]));
        _mm512_storeu_si512(out, _mm512_maskz_mov_epi8(all, _mm512_set1_epi8(1)));
    }
    QV_AVX512 static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        const __m512i ff = _mm512_set1_epi32(0xff);
        __m512i c[4];
        for (int j = 0; j < 4; ++j) c[j] = _mm512_and_si512(_mm512_maskz_srli_epi32(in[j], v2[j], 8), ff);
        __m512i r = _mm512_packus_epi16(_mm512_packus_epi32(c[0], c[1]), _mm512_packus_epi32(c[2], c[3]));
        // The packs work per lane: interleave the lanes' dwords.
        r = _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), r);
        _mm512_storeu_si512(out, r);
    }

    // ---- scoring: points
    struct Pts {
        __m512i lo, hi;  ///< points 0-7 and 8-15 as (x, y) pairs
    };
    QV_AVX512 static Pts load(const int32_t* p) noexcept { return {_mm512_loadu_si512(p), _mm512_loadu_si512(p + 16)}; }
    QV_AVX512 static Pts pair(int32_t u, int32_t v) noexcept {
        const __m512i q = _mm512_set1_epi64(static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(v)) << 32 |
                                                                 static_cast<uint32_t>(u)));
        return {q, q};
    }
    QV_AVX512 static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {_mm512_sub_epi32(a.lo, b.lo), _mm512_sub_epi32(a.hi, b.hi)};
    }
    template <bool Ordered>
    QV_AVX512 static V dot(const Pts& p, const Pts& q) noexcept {
        // Split x and y, then the 32-bit lane multiply (faster here than the
        // 64-bit one on the interleaved pairs).
        const __m512i px = _mm512_permutex2var_epi32(p.lo, even(), p.hi), py = _mm512_permutex2var_epi32(p.lo, odd(), p.hi);
        const __m512i qx = _mm512_permutex2var_epi32(q.lo, even(), q.hi), qy = _mm512_permutex2var_epi32(q.lo, odd(), q.hi);
        return _mm512_add_epi32(_mm512_mullo_epi32(px, qx), _mm512_mullo_epi32(py, qy));
    }
    /// Coordinates within int16: packed to (x, y) word pairs (points in
    /// lane order), one multiply-add.
    QV_AVX512 static V dot16(const Pts& p, const Pts& q) noexcept {
        return _mm512_madd_epi16(_mm512_packs_epi32(p.lo, p.hi), _mm512_packs_epi32(q.lo, q.hi));
    }

    // ---- scoring: float lanes
    using F = __m512;
    QV_AVX512 static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const __m512i lo = _mm512_loadu_si512(p), hi = _mm512_loadu_si512(p + 16);
        x = _mm512_cvtepi32_ps(_mm512_permutex2var_epi32(lo, even(), hi));
        y = _mm512_cvtepi32_ps(_mm512_permutex2var_epi32(lo, odd(), hi));
    }
    QV_AVX512 static F splat_f(float v) noexcept { return _mm512_set1_ps(v); }
    QV_AVX512 static F mul_f(F a, F b) noexcept { return _mm512_mul_ps(a, b); }
    QV_AVX512 static F add_f(F a, F b) noexcept { return _mm512_add_ps(a, b); }
    QV_AVX512 static M gt_f(F a, F b) noexcept { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }

    // ---- scoring: double lanes
    using D = __m512d;
    using DM = __mmask8;
    using W = __m512i;
    static constexpr int kDLanes = 8;
    QV_AVX512 static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const __m512i q = _mm512_loadu_si512(p);
        const __m512i s =
            _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15), q);
        x = _mm512_cvtepi32_pd(_mm512_castsi512_si256(s));
        y = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(s, 1));
    }
    QV_AVX512 static D splat_d(double v) noexcept { return _mm512_set1_pd(v); }
    QV_AVX512 static D mul_d(D a, D b) noexcept { return _mm512_mul_pd(a, b); }
    QV_AVX512 static D add_d(D a, D b) noexcept { return _mm512_add_pd(a, b); }
    QV_AVX512 static D sub_d(D a, D b) noexcept { return _mm512_sub_pd(a, b); }
    QV_AVX512 static D div_d(D a, D b) noexcept { return _mm512_div_pd(a, b); }
    QV_AVX512 static D sqrt_d(D a) noexcept { return _mm512_sqrt_pd(a); }
    QV_AVX512 static D neg_d(D a) noexcept {
        return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MIN)));
    }
    QV_AVX512 static DM ge_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    QV_AVX512 static DM le_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    QV_AVX512 static DM eq_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    QV_AVX512 static DM gt_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    QV_AVX512 static DM ne_d(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    QV_AVX512 static DM both_d(DM a, DM b) noexcept { return static_cast<DM>(a & b); }
    QV_AVX512 static DM either_d(DM a, DM b) noexcept { return static_cast<DM>(a | b); }
    /// a where m is set, else b.
    QV_AVX512 static D select_d(DM m, D a, D b) noexcept { return _mm512_mask_blend_pd(m, b, a); }
    QV_AVX512 static uint32_t bits_d(DM m) noexcept { return m; }
    QV_AVX512 static D load_dv(const double* p) noexcept { return _mm512_loadu_pd(p); }
    QV_AVX512 static void store_dv(double* p, D v) noexcept { _mm512_storeu_pd(p, v); }
    QV_AVX512 static W zero_w() noexcept { return _mm512_setzero_si512(); }
    QV_AVX512 static W count_d(W acc, DM m) noexcept { return _mm512_mask_sub_epi64(acc, m, acc, _mm512_set1_epi64(-1)); }
    QV_AVX512 static uint32_t total_d(W acc) noexcept { return static_cast<uint32_t>(_mm512_reduce_add_epi64(acc)); }
};

}  // namespace quorvane::detail
#endif
