// AVX-512BW colour passes. Sixteen pixels come from one 64-byte load at
// their first byte (then 16 bytes of the next pixels, so six pixels must
// follow a block); a dword permute spreads them to 12 bytes per 128-bit
// lane. Comparisons give lane masks.

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"
#include "color_x86.h"

#if QV_X86

#define QV_TARGET __attribute__((target("avx512f,avx512bw")))

namespace quorvane::detail {
namespace {

struct Isa {
    using V = __m512i;
    using M = __mmask16;
    struct Px {
        V rg, b0;  ///< (R, G) and (B, 0) int16 pairs per pixel
    };
    struct Row {
        V lo_rg, lo_b, hi_rg, hi_b;
    };
    struct Load {
        V lanes, rg, b0;
    };
    static constexpr std::size_t kLanes = 16, kLead = 0, kTail = 6;
    static constexpr const char* kName = "avx512";

    /// The same 16-byte pattern in all four lanes.
    QV_TARGET static __m512i lanes4(__m128i x) noexcept { return _mm512_broadcast_i32x4(x); }

    QV_TARGET static Load load_consts() noexcept {
        // After `lanes`, lane L holds pixels 4L..4L+3 at bytes 0..11.
        return {_mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12),
                lanes4(_mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1)),
                lanes4(_mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1))};
    }
    QV_TARGET static void load_block(const Load& ld, const uint8_t* p, Px px[4]) noexcept {
        __m512i x[4];
        for (int j = 0; j < 4; ++j) x[j] = _mm512_loadu_si512(p + 48 * j);
        for (int j = 0; j < 4; ++j) {
            const __m512i y = _mm512_permutexvar_epi32(ld.lanes, x[j]);
            px[j] = {_mm512_shuffle_epi8(y, ld.rg), _mm512_shuffle_epi8(y, ld.b0)};
        }
    }
    QV_TARGET static Row make_row(const Params& p, int r) noexcept {
        return {_mm512_set1_epi32(p.lo[r][0]), _mm512_set1_epi32(p.lo[r][1]), _mm512_set1_epi32(p.hi[r][0]),
                _mm512_set1_epi32(p.hi[r][1])};
    }
    template <bool Wide>
    QV_TARGET static V dot(const Px& x, const Row& r) noexcept {
        const V lo = _mm512_add_epi32(_mm512_madd_epi16(x.rg, r.lo_rg), _mm512_madd_epi16(x.b0, r.lo_b));
        if constexpr (!Wide) return lo;
        const V hi = _mm512_add_epi32(_mm512_madd_epi16(x.rg, r.hi_rg), _mm512_madd_epi16(x.b0, r.hi_b));
        return _mm512_add_epi32(lo, _mm512_slli_epi32(hi, 16));
    }
    QV_TARGET static V splat(int32_t v) noexcept { return _mm512_set1_epi32(v); }
    QV_TARGET static V add(V a, V b) noexcept { return _mm512_add_epi32(a, b); }
    QV_TARGET static V sub(V a, V b) noexcept { return _mm512_sub_epi32(a, b); }
    QV_TARGET static M gt(V a, V b) noexcept { return _mm512_cmpgt_epi32_mask(a, b); }
    QV_TARGET static M both(M a, M b) noexcept { return static_cast<M>(a & b); }
    QV_TARGET static M positive2(V a, V b) noexcept {
        return _mm512_cmpgt_epi32_mask(_mm512_min_epi32(a, b), _mm512_setzero_si512());
    }
    QV_TARGET static void store_mask(uint8_t* out, const M in[4]) noexcept {
        const __mmask64 all = _mm512_kunpackd(_mm512_kunpackw(in[3], in[2]), _mm512_kunpackw(in[1], in[0]));
        _mm512_storeu_si512(out, _mm512_maskz_mov_epi8(all, _mm512_set1_epi8(1)));
    }
    QV_TARGET static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        const __m512i ff = _mm512_set1_epi32(0xff);
        __m512i c[4];
        for (int j = 0; j < 4; ++j) c[j] = _mm512_and_si512(_mm512_maskz_srli_epi32(in[j], v2[j], 8), ff);
        __m512i r = _mm512_packus_epi16(_mm512_packus_epi32(c[0], c[1]), _mm512_packus_epi32(c[2], c[3]));
        // The packs work per lane: interleave the lanes' dwords.
        r = _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), r);
        _mm512_storeu_si512(out, r);
    }
};

}  // namespace
}  // namespace quorvane::detail

#include "color_loop.h"

namespace quorvane::detail {
const ColorKernels* color_kernels_avx512() noexcept { return &kIsaKernels; }
}  // namespace quorvane::detail

#endif
