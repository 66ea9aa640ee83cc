// SSE2 colour passes: the x86-64 floor, so no x86-64 CPU runs the scalar
// pass. Without a byte shuffle, four pixels come from a 16-byte load at
// their first byte: byte shifts by 3, 6 and 9 and dword interleaves put
// pixel k in the low three bytes of dword k, and masks and a shift split
// them into (R, G) and (B, 0) int16 pairs. Each load reads 4 bytes past its
// pixels, so two pixels must follow a block.

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"
#include "color_x86.h"

#if QV_X86

#define QV_TARGET __attribute__((target("sse2")))

namespace quorvane::detail {
namespace {

struct Isa : Sse128 {
    struct Load {
        V byte0, byte1;  ///< 0x000000ff and 0x0000ff00 per dword
    };
    static constexpr std::size_t kLanes = 4, kLead = 0, kTail = 2;
    static constexpr const char* kName = "sse2";

    QV_TARGET static Load load_consts() noexcept {
        return {_mm_set1_epi32(0xff), _mm_set1_epi32(0xff00)};
    }
    QV_TARGET static Px pixels(const Load& ld, __m128i x) noexcept {
        const __m128i p01 = _mm_unpacklo_epi32(x, _mm_srli_si128(x, 3));
        const __m128i p23 = _mm_unpacklo_epi32(_mm_srli_si128(x, 6), _mm_srli_si128(x, 9));
        const __m128i y = _mm_unpacklo_epi64(p01, p23);  // pixel k in bytes 0..2 of dword k
        const __m128i rg = _mm_or_si128(_mm_and_si128(y, ld.byte0), _mm_slli_epi32(_mm_and_si128(y, ld.byte1), 8));
        return {rg, _mm_and_si128(_mm_srli_epi32(y, 16), ld.byte0)};
    }
    QV_TARGET static void load_block(const Load& ld, const uint8_t* p, Px px[4]) noexcept {
        __m128i x[4];
        for (int j = 0; j < 4; ++j) x[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12 * j));
        for (int j = 0; j < 4; ++j) px[j] = pixels(ld, x[j]);
    }
    QV_TARGET static M positive2(V a, V b) noexcept {
        const __m128i zero = _mm_setzero_si128();
        return _mm_and_si128(_mm_cmpgt_epi32(a, zero), _mm_cmpgt_epi32(b, zero));
    }
    QV_TARGET static void store_mask(uint8_t* out, const M in[4]) noexcept {
        const __m128i r = _mm_packs_epi16(_mm_packs_epi32(in[0], in[1]), _mm_packs_epi32(in[2], in[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_and_si128(r, _mm_set1_epi8(1)));
    }
    QV_TARGET static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        // Bits 8..15 of v2, zero-extended: 0..255, which both packs keep.
        __m128i c[4];
        for (int j = 0; j < 4; ++j) c[j] = _mm_and_si128(_mm_srli_epi32(_mm_slli_epi32(v2[j], 16), 24), in[j]);
        const __m128i r = _mm_packus_epi16(_mm_packs_epi32(c[0], c[1]), _mm_packs_epi32(c[2], c[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), r);
    }
};

}  // namespace
}  // namespace quorvane::detail

#include "color_loop.h"

namespace quorvane::detail {
const ColorKernels* color_kernels_sse2() noexcept { return &kIsaKernels; }
}  // namespace quorvane::detail

#endif
