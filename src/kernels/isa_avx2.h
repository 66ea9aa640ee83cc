// AVX2 primitives. Colour passes: eight pixels come from one 32-byte load
// that starts 4 bytes before them: the low lane holds pixels 0-3 at bytes
// 4..15, the high lane pixels 4-7 at bytes 0..11 (then 4 bytes of the next
// pixels). The scalar range runs the first two pixels so that nothing
// before the image is read, and two pixels must follow a block. Scoring:
// eight points per vector; the products come from the 32 x 32 -> 64-bit
// multiply on the points as loaded (x, y interleaved), as in SSE2, and a
// shuffle gathers the low halves (in the order 0 1 4 5 2 3 6 7, which a
// permute puts right for marking).
#pragma once

#include <cstddef>
#include <cstdint>

#include "color/color_impl.h"
#include "kernels/isa_x86.h"

#if QV_X86

namespace quorvane::detail {

struct Avx2 {
    static constexpr const char* kName = "avx2";
    static constexpr int kLanes = 8;
    using Bytes = X86ByteSearch;

    // ---- 32-bit lanes
    using V = __m256i;
    using M = __m256i;
    QV_AVX2 static V splat(int32_t v) noexcept { return _mm256_set1_epi32(v); }
    QV_AVX2 static V add(V a, V b) noexcept { return _mm256_add_epi32(a, b); }
    QV_AVX2 static V sub(V a, V b) noexcept { return _mm256_sub_epi32(a, b); }
    QV_AVX2 static M gt(V a, V b) noexcept { return _mm256_cmpgt_epi32(a, b); }
    QV_AVX2 static M le(V a, V b) noexcept { return _mm256_xor_si256(_mm256_cmpgt_epi32(a, b), _mm256_set1_epi32(-1)); }
    QV_AVX2 static M both(M a, M b) noexcept { return _mm256_and_si256(a, b); }
    QV_AVX2 static M either(M a, M b) noexcept { return _mm256_or_si256(a, b); }
    QV_AVX2 static M differ(M a, M b) noexcept { return _mm256_xor_si256(a, b); }
    QV_AVX2 static V count(V acc, M m) noexcept { return _mm256_sub_epi32(acc, m); }
    QV_AVX2 static uint32_t total(V acc) noexcept {
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)))));
    }
    QV_AVX2 static uint32_t bits(M m) noexcept {
        return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
    }

    // ---- colour passes
    struct Px {
        V rg, b0;  ///< (R, G) and (B, 0) int16 pairs per pixel
    };
    struct Row {
        V lo_rg, lo_b, hi_rg, hi_b;
    };
    struct PixelLoad {
        V rg, b0;
    };
    static constexpr std::size_t kLead = 2, kTail = 2;

    QV_AVX2 static PixelLoad load_consts() noexcept {
        return {_mm256_setr_epi8(4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1,  //
                                 0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1),
                _mm256_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1,  //
                                 2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1)};
    }
    QV_AVX2 static void load_block(const PixelLoad& ld, const uint8_t* p, Px px[4]) noexcept {
        __m256i x[4];
        for (int j = 0; j < 4; ++j) x[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 4 + 24 * j));
        for (int j = 0; j < 4; ++j) px[j] = {_mm256_shuffle_epi8(x[j], ld.rg), _mm256_shuffle_epi8(x[j], ld.b0)};
    }
    QV_AVX2 static Row make_row(const Params& p, int r) noexcept {
        return {_mm256_set1_epi32(p.lo[r][0]), _mm256_set1_epi32(p.lo[r][1]), _mm256_set1_epi32(p.hi[r][0]),
                _mm256_set1_epi32(p.hi[r][1])};
    }
    template <bool Wide>
    QV_AVX2 static V row_dot(const Px& x, const Row& r) noexcept {
        const V lo = _mm256_add_epi32(_mm256_madd_epi16(x.rg, r.lo_rg), _mm256_madd_epi16(x.b0, r.lo_b));
        if constexpr (!Wide) return lo;
        const V hi = _mm256_add_epi32(_mm256_madd_epi16(x.rg, r.hi_rg), _mm256_madd_epi16(x.b0, r.hi_b));
        return _mm256_add_epi32(lo, _mm256_slli_epi32(hi, 16));
    }
    QV_AVX2 static M positive2(V a, V b) noexcept {
        return _mm256_cmpgt_epi32(_mm256_min_epi32(a, b), _mm256_setzero_si256());
    }
    // The packs work per lane: lanes hold pixels (0-3, 8-11, 16-19, 24-27 |
    // 4-7, ...), which a dword permute interleaves.
    QV_AVX2 static void store(uint8_t* out, __m256i r) noexcept {
        r = _mm256_permutevar8x32_epi32(r, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), r);
    }
    QV_AVX2 static void store_mask(uint8_t* out, const M in[4]) noexcept {
        const __m256i r = _mm256_packs_epi16(_mm256_packs_epi32(in[0], in[1]), _mm256_packs_epi32(in[2], in[3]));
        store(out, _mm256_and_si256(r, _mm256_set1_epi8(1)));
    }
    QV_AVX2 static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        // Byte 1 of v2 is the low byte of v2 >> 8.
        const __m256i sel = _mm256_setr_epi8(1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1,  //
                                             1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1);
        __m256i c[4];
        for (int j = 0; j < 4; ++j) c[j] = _mm256_and_si256(_mm256_shuffle_epi8(v2[j], sel), in[j]);
        store(out, _mm256_packus_epi16(_mm256_packus_epi32(c[0], c[1]), _mm256_packus_epi32(c[2], c[3])));
    }

    // ---- scoring: points
    struct Pts {
        __m256i lo, hi;  ///< points 0-3 and 4-7 as (x, y) pairs
    };
    QV_AVX2 static Pts load(const int32_t* p) noexcept {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8))};
    }
    QV_AVX2 static Pts pair(int32_t u, int32_t v) noexcept {
        const __m256i q = _mm256_setr_epi32(u, v, u, v, u, v, u, v);
        return {q, q};
    }
    QV_AVX2 static Pts sub(const Pts& a, const Pts& b) noexcept {
        return {_mm256_sub_epi32(a.lo, b.lo), _mm256_sub_epi32(a.hi, b.hi)};
    }
    QV_AVX2 static __m256i dot2(__m256i p, __m256i q) noexcept {
        const __m256i xx = _mm256_mul_epu32(p, q);
        const __m256i yy = _mm256_mul_epu32(_mm256_srli_epi64(p, 32), _mm256_srli_epi64(q, 32));
        return _mm256_add_epi32(xx, yy);
    }
    template <bool Ordered>
    QV_AVX2 static V dot(const Pts& p, const Pts& q) noexcept {
        const __m256 a = _mm256_castsi256_ps(dot2(p.lo, q.lo)), b = _mm256_castsi256_ps(dot2(p.hi, q.hi));
        const __m256i r = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        if constexpr (!Ordered) return r;
        return _mm256_permute4x64_epi64(r, _MM_SHUFFLE(3, 1, 2, 0));
    }
    /// Coordinates within int16: packed to (x, y) word pairs (points in the
    /// order 0 1 4 5 2 3 6 7), one multiply-add.
    QV_AVX2 static V dot16(const Pts& p, const Pts& q) noexcept {
        return _mm256_madd_epi16(_mm256_packs_epi32(p.lo, p.hi), _mm256_packs_epi32(q.lo, q.hi));
    }

    // ---- scoring: float lanes
    using F = __m256;
    QV_AVX2 static void load_f(const int32_t* p, F& x, F& y) noexcept {
        const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
        const __m256i lo = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), split);
        const __m256i hi =
            _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8)), split);
        x = _mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x20));
        y = _mm256_cvtepi32_ps(_mm256_permute2x128_si256(lo, hi, 0x31));
    }
    QV_AVX2 static F splat_f(float v) noexcept { return _mm256_set1_ps(v); }
    QV_AVX2 static F mul_f(F a, F b) noexcept { return _mm256_mul_ps(a, b); }
    QV_AVX2 static F add_f(F a, F b) noexcept { return _mm256_add_ps(a, b); }
    QV_AVX2 static M gt_f(F a, F b) noexcept { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GT_OQ)); }

    // ---- scoring: double lanes
    using D = __m256d;
    using DM = __m256d;
    using W = __m256i;
    static constexpr int kDLanes = 4;
    QV_AVX2 static void load_d(const int32_t* p, D& x, D& y) noexcept {
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i s = _mm256_permutevar8x32_epi32(q, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
        x = _mm256_cvtepi32_pd(_mm256_castsi256_si128(s));
        y = _mm256_cvtepi32_pd(_mm256_extracti128_si256(s, 1));
    }
    QV_AVX2 static D splat_d(double v) noexcept { return _mm256_set1_pd(v); }
    QV_AVX2 static D mul_d(D a, D b) noexcept { return _mm256_mul_pd(a, b); }
    QV_AVX2 static D add_d(D a, D b) noexcept { return _mm256_add_pd(a, b); }
    QV_AVX2 static D sub_d(D a, D b) noexcept { return _mm256_sub_pd(a, b); }
    QV_AVX2 static D div_d(D a, D b) noexcept { return _mm256_div_pd(a, b); }
    QV_AVX2 static D sqrt_d(D a) noexcept { return _mm256_sqrt_pd(a); }
    QV_AVX2 static D neg_d(D a) noexcept { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    QV_AVX2 static DM ge_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    QV_AVX2 static DM le_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    QV_AVX2 static DM eq_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    QV_AVX2 static DM gt_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    QV_AVX2 static DM ne_d(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    QV_AVX2 static DM both_d(DM a, DM b) noexcept { return _mm256_and_pd(a, b); }
    QV_AVX2 static DM either_d(DM a, DM b) noexcept { return _mm256_or_pd(a, b); }
    /// a where m is set, else b.
    QV_AVX2 static D select_d(DM m, D a, D b) noexcept { return _mm256_blendv_pd(b, a, m); }
    QV_AVX2 static uint32_t bits_d(DM m) noexcept { return static_cast<uint32_t>(_mm256_movemask_pd(m)); }
    QV_AVX2 static D load_dv(const double* p) noexcept { return _mm256_loadu_pd(p); }
    QV_AVX2 static void store_dv(double* p, D v) noexcept { _mm256_storeu_pd(p, v); }
    QV_AVX2 static W zero_w() noexcept { return _mm256_setzero_si256(); }
    QV_AVX2 static W count_d(W acc, DM m) noexcept { return _mm256_sub_epi64(acc, _mm256_castpd_si256(m)); }
    QV_AVX2 static uint32_t total_d(W acc) noexcept {
        const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi64(s, _mm_unpackhi_epi64(s, s))));
    }
};

}  // namespace quorvane::detail
#endif
