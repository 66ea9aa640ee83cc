// AVX2 colour passes. Eight pixels come from one 32-byte load that starts 4
// bytes before them: the low lane holds pixels 0-3 at bytes 4..15, the high
// lane pixels 4-7 at bytes 0..11 (then 4 bytes of the next pixels). The
// scalar range runs the first two pixels so that nothing before the image
// is read, and two pixels must follow a block.

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"
#include "color_x86.h"

#if QV_X86

#define QV_TARGET __attribute__((target("avx2")))

namespace quorvane::detail {
namespace {

struct Isa {
    using V = __m256i;
    using M = __m256i;
    struct Px {
        V rg, b0;  ///< (R, G) and (B, 0) int16 pairs per pixel
    };
    struct Row {
        V lo_rg, lo_b, hi_rg, hi_b;
    };
    struct Load {
        V rg, b0;
    };
    static constexpr std::size_t kLanes = 8, kLead = 2, kTail = 2;
    static constexpr const char* kName = "avx2";

    QV_TARGET static Load load_consts() noexcept {
        return {_mm256_setr_epi8(4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1,  //
                                 0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1),
                _mm256_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1,  //
                                 2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1)};
    }
    QV_TARGET static void load_block(const Load& ld, const uint8_t* p, Px px[4]) noexcept {
        __m256i x[4];
        for (int j = 0; j < 4; ++j) x[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 4 + 24 * j));
        for (int j = 0; j < 4; ++j) px[j] = {_mm256_shuffle_epi8(x[j], ld.rg), _mm256_shuffle_epi8(x[j], ld.b0)};
    }
    QV_TARGET static Row make_row(const Params& p, int r) noexcept {
        return {_mm256_set1_epi32(p.lo[r][0]), _mm256_set1_epi32(p.lo[r][1]), _mm256_set1_epi32(p.hi[r][0]),
                _mm256_set1_epi32(p.hi[r][1])};
    }
    template <bool Wide>
    QV_TARGET static V dot(const Px& x, const Row& r) noexcept {
        const V lo = _mm256_add_epi32(_mm256_madd_epi16(x.rg, r.lo_rg), _mm256_madd_epi16(x.b0, r.lo_b));
        if constexpr (!Wide) return lo;
        const V hi = _mm256_add_epi32(_mm256_madd_epi16(x.rg, r.hi_rg), _mm256_madd_epi16(x.b0, r.hi_b));
        return _mm256_add_epi32(lo, _mm256_slli_epi32(hi, 16));
    }
    QV_TARGET static V splat(int32_t v) noexcept { return _mm256_set1_epi32(v); }
    QV_TARGET static V add(V a, V b) noexcept { return _mm256_add_epi32(a, b); }
    QV_TARGET static V sub(V a, V b) noexcept { return _mm256_sub_epi32(a, b); }
    QV_TARGET static M gt(V a, V b) noexcept { return _mm256_cmpgt_epi32(a, b); }
    QV_TARGET static M both(M a, M b) noexcept { return _mm256_and_si256(a, b); }
    QV_TARGET static M positive2(V a, V b) noexcept {
        return _mm256_cmpgt_epi32(_mm256_min_epi32(a, b), _mm256_setzero_si256());
    }
    // The packs work per lane: lanes hold pixels (0-3, 8-11, 16-19, 24-27 |
    // 4-7, ...), which a dword permute interleaves.
    QV_TARGET static void store(uint8_t* out, __m256i r) noexcept {
        r = _mm256_permutevar8x32_epi32(r, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), r);
    }
    QV_TARGET static void store_mask(uint8_t* out, const M in[4]) noexcept {
        const __m256i r =
            _mm256_packs_epi16(_mm256_packs_epi32(in[0], in[1]), _mm256_packs_epi32(in[2], in[3]));
        store(out, _mm256_and_si256(r, _mm256_set1_epi8(1)));
    }
    QV_TARGET static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        // Byte 1 of v2 is the low byte of v2 >> 8.
        const __m256i sel = _mm256_setr_epi8(1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1,  //
                                             1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1);
        __m256i c[4];
        for (int j = 0; j < 4; ++j) c[j] = _mm256_and_si256(_mm256_shuffle_epi8(v2[j], sel), in[j]);
        store(out, _mm256_packus_epi16(_mm256_packus_epi32(c[0], c[1]), _mm256_packus_epi32(c[2], c[3])));
    }
};

}  // namespace
}  // namespace quorvane::detail

#include "color_loop.h"

namespace quorvane::detail {
const ColorKernels* color_kernels_avx2() noexcept { return &kIsaKernels; }
}  // namespace quorvane::detail

#endif
