// SSE4.1 primitives (with SSSE3's byte shuffle): the SSE2 ones, except how
// the colour passes load pixels, test the hue and store grey levels. Four pixels (12 bytes) come
// from a 16-byte load that starts 4 bytes before them, so they sit at bytes
// 4..15 and no load reaches past the block; the scalar range runs the
// first two pixels so that nothing before the image is read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/isa_sse2.h"

#if QV_X86

namespace quorvane::detail {

struct Sse41 : Sse2 {
    static constexpr const char* kName = "sse41";

    struct PixelLoad {
        V rg, b0;
    };
    static constexpr std::size_t kLead = 2, kTail = 0;

    QV_SSE41 static PixelLoad load_consts() noexcept {
        return {_mm_setr_epi8(4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1),
                _mm_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1)};
    }
    QV_SSE41 static void load_block(const PixelLoad& ld, const uint8_t* p, Px px[4]) noexcept {
        __m128i x[4];
        for (int j = 0; j < 4; ++j) x[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 4 + 12 * j));
        for (int j = 0; j < 4; ++j) px[j] = {_mm_shuffle_epi8(x[j], ld.rg), _mm_shuffle_epi8(x[j], ld.b0)};
    }
    QV_SSE41 static M positive2(V a, V b) noexcept { return _mm_cmpgt_epi32(_mm_min_epi32(a, b), _mm_setzero_si128()); }
    QV_SSE41 static void store_sel(uint8_t* out, const V v2[4], const M in[4]) noexcept {
        // Byte 1 of v2 is the low byte of v2 >> 8.
        const __m128i sel = _mm_setr_epi8(1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1);
        __m128i c[4];
        for (int j = 0; j < 4; ++j) c[j] = _mm_and_si128(_mm_shuffle_epi8(v2[j], sel), in[j]);
        const __m128i r = _mm_packus_epi16(_mm_packus_epi32(c[0], c[1]), _mm_packus_epi32(c[2], c[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), r);
    }
};

}  // namespace quorvane::detail
#endif
