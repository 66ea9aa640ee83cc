// SIMD image passes (SSE4.1, AVX2, AVX-512BW). Each ISA lives behind a
// function target attribute, so the file builds without any -m flag and the
// choice is made at run time (dispatch.cpp). Results are bit-identical to
// the scalar passes: every product and sum is a 32-bit wrapping operation.
// Whole blocks run in SIMD; the pixels left over run the inline scalar
// kernels of color.h.
//
// Two arithmetic flavours per ISA:
//  - "madd": when all nine matrix entries fit in int16, each row is two
//    pmaddwd on (R, G) and (B, 0) 16-bit pairs. Channels are 0..255, so the
//    products and their sums stay far inside int32 and never wrap; the
//    exact sum equals the wrapped one.
//  - "mullo": any entries, nine 32-bit wrapping multiplies (pmulld).
//
// The six strict comparisons fold into three signed compares:
//  - v0 > 0 && v1 > 0        <=>  min(v0, v1) > 0
//  - lo < v < hi             <=>  (uint32)(v - lo - 1) < (uint32)(hi - lo - 1),
//    when hi - lo - 1 > 0 (exactly; an empty window gets a limit of 0).
//    The unsigned compare becomes a signed one by flipping the sign bit of
//    both sides, which is folded into the subtracted constant.
//
// Pixel loads:
//  - SSE4.1: four packed pixels (12 bytes) come from a 16-byte load that
//    starts 4 bytes before them, so they sit at bytes 4..15 and no load
//    reaches past the block.
//  - AVX2: eight pixels come from one 32-byte load from the same place: the
//    low lane holds pixels 0-3 at bytes 4..15, the high lane pixels 4-7 at
//    bytes 0..11 (then 4 bytes of the next pixels).
//    Both start at pixel 2, after two scalar pixels, so nothing before the
//    image is read.
//  - AVX-512: sixteen pixels come from one 64-byte load at their first byte
//    (then 16 bytes of the next pixels); a dword permute spreads them to
//    12 bytes per 128-bit lane.
//  Blocks stop early enough that no load reaches past the image.
//
// In-place use (out == rgb, or any out <= rgb): each block loads all its
// pixels before it stores, and a block's store (out[i .. i+B)) ends below
// the first input byte any later block reads (at least rgb + 3(i+B) - 4),
// so every pixel is read before anything overwrites it, as in the
// sequential pass. Any other overlap (out inside the image above its start)
// runs the scalar pass, whose strictly increasing order defines the result.

#include <cstddef>
#include <cstdint>

#include "color.h"
#include "color_impl.h"

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics initialise their "undefined" operands with
// themselves, which -Wmaybe-uninitialized reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#define QV_X86 1
#endif

namespace quorvane::detail {

#if QV_X86

namespace {

/// Bounds turned into the constants of the folded comparisons.
struct Params {
    int32_t m[9];
    int32_t ki, wi;  ///< intensity: inside <=> (int32)(v2 - ki) < wi
    int32_t kc, wc;  ///< chroma:    inside <=> (int32)(v0 + v1 - kc) < wc
    bool fits16;     ///< every matrix entry fits in int16
};

inline void open_interval(int32_t lo, int32_t hi, int32_t& k, int32_t& w) noexcept {
    const int64_t width = static_cast<int64_t>(hi) - lo - 1;
    const uint32_t limit = width > 0 ? static_cast<uint32_t>(width) : 0u;
    k = static_cast<int32_t>(static_cast<uint32_t>(lo) + 1u + 0x80000000u);
    w = static_cast<int32_t>(limit ^ 0x80000000u);
}

inline Params make_params(const LchBounds& b) noexcept {
    Params p{};
    p.fits16 = true;
    for (int j = 0; j < 9; ++j) {
        p.m[j] = b.M[j];
        if (b.M[j] < -32768 || b.M[j] > 32767) p.fits16 = false;
    }
    open_interval(b.i[0], b.i[1], p.ki, p.wi);
    open_interval(b.c[0], b.c[1], p.kc, p.wc);
    return p;
}

/// Two int16 factors in one int32 lane: `lo` multiplies the low word.
inline int32_t pair16(int32_t lo, int32_t hi) noexcept {
    return static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) |
                                (static_cast<uint32_t>(lo) & 0xffffu));
}

/// True when the vector passes may run: the output does not start inside
/// the image above its first byte (see the header comment).
inline bool blocks_allowed(const uint8_t* rgb, const uint8_t* out, std::size_t n) noexcept {
    const auto in = reinterpret_cast<std::uintptr_t>(rgb);
    const auto o = reinterpret_cast<std::uintptr_t>(out);
    return o <= in || (o - in) / 3 >= n;
}

// ---------------------------------------------------------------- SSE4.1

#define QV_SSE41 __attribute__((target("sse4.1")))

struct Sse41K {
    __m128i sh0, sh1, sh2;  // madd: (R,G) pairs, (B,0); mullo: R, G, B
    __m128i m[9];           // madd: row pairs m[0..2] = (M0,M1),(M3,M4),(M6,M7),
                            //       m[3..5] = (M2,0),(M5,0),(M8,0); mullo: M0..M8
    __m128i ki, wi, kc, wc, zero, sel, one;
};

template <bool Madd>
QV_SSE41 inline Sse41K sse41_consts(const Params& p) noexcept {
    Sse41K k;
    if constexpr (Madd) {
        k.sh0 = _mm_setr_epi8(4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1);
        k.sh1 = _mm_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1);
        k.sh2 = k.sh1;
        for (int r = 0; r < 3; ++r) {
            k.m[r] = _mm_set1_epi32(pair16(p.m[3 * r], p.m[3 * r + 1]));
            k.m[3 + r] = _mm_set1_epi32(pair16(p.m[3 * r + 2], 0));
        }
    } else {
        k.sh0 = _mm_setr_epi8(4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1, 13, -1, -1, -1);
        k.sh1 = _mm_setr_epi8(5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 14, -1, -1, -1);
        k.sh2 = _mm_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1);
        for (int j = 0; j < 9; ++j) k.m[j] = _mm_set1_epi32(p.m[j]);
    }
    k.ki = _mm_set1_epi32(p.ki);
    k.wi = _mm_set1_epi32(p.wi);
    k.kc = _mm_set1_epi32(p.kc);
    k.wc = _mm_set1_epi32(p.wc);
    k.zero = _mm_setzero_si128();
    k.sel = _mm_setr_epi8(1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1);
    k.one = _mm_set1_epi8(1);
    return k;
}

/// Four pixels at bytes 4..15 of `x`: all-ones lanes for inside pixels,
/// and the intensity row in `v2`.
template <bool Madd>
QV_SSE41 inline __m128i sse41_classify(__m128i x, const Sse41K& k, __m128i& v2) noexcept {
    __m128i v0, v1;
    if constexpr (Madd) {
        const __m128i rg = _mm_shuffle_epi8(x, k.sh0);
        const __m128i b0 = _mm_shuffle_epi8(x, k.sh1);
        v0 = _mm_add_epi32(_mm_madd_epi16(rg, k.m[0]), _mm_madd_epi16(b0, k.m[3]));
        v1 = _mm_add_epi32(_mm_madd_epi16(rg, k.m[1]), _mm_madd_epi16(b0, k.m[4]));
        v2 = _mm_add_epi32(_mm_madd_epi16(rg, k.m[2]), _mm_madd_epi16(b0, k.m[5]));
    } else {
        const __m128i r = _mm_shuffle_epi8(x, k.sh0);
        const __m128i g = _mm_shuffle_epi8(x, k.sh1);
        const __m128i b = _mm_shuffle_epi8(x, k.sh2);
        v0 = _mm_add_epi32(_mm_add_epi32(_mm_mullo_epi32(r, k.m[0]), _mm_mullo_epi32(g, k.m[1])),
                           _mm_mullo_epi32(b, k.m[2]));
        v1 = _mm_add_epi32(_mm_add_epi32(_mm_mullo_epi32(r, k.m[3]), _mm_mullo_epi32(g, k.m[4])),
                           _mm_mullo_epi32(b, k.m[5]));
        v2 = _mm_add_epi32(_mm_add_epi32(_mm_mullo_epi32(r, k.m[6]), _mm_mullo_epi32(g, k.m[7])),
                           _mm_mullo_epi32(b, k.m[8]));
    }
    const __m128i hue = _mm_cmpgt_epi32(_mm_min_epi32(v0, v1), k.zero);
    const __m128i in_i = _mm_cmpgt_epi32(k.wi, _mm_sub_epi32(v2, k.ki));
    const __m128i in_c = _mm_cmpgt_epi32(k.wc, _mm_sub_epi32(_mm_add_epi32(v0, v1), k.kc));
    return _mm_and_si128(hue, _mm_and_si128(in_i, in_c));
}

/// Blocks of 16 pixels from `i` (>= 2) while they fit below `n`; returns
/// the first pixel not done.
template <bool Sel, bool Madd>
QV_SSE41 std::size_t sse41_blocks(const uint8_t* rgb, uint8_t* out, std::size_t i, std::size_t n,
                                  const Params& p) noexcept {
    const Sse41K k = sse41_consts<Madd>(p);
    for (; n - i >= 16; i += 16) {
        const uint8_t* src = rgb + 3 * i - 4;
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 12));
        const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 24));
        const __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 36));
        __m128i v0, v1, v2, v3;
        __m128i c0 = sse41_classify<Madd>(x0, k, v0);
        __m128i c1 = sse41_classify<Madd>(x1, k, v1);
        __m128i c2 = sse41_classify<Madd>(x2, k, v2);
        __m128i c3 = sse41_classify<Madd>(x3, k, v3);
        __m128i r;
        if constexpr (Sel) {
            // Byte 1 of v2 is the low byte of v2 >> 8.
            c0 = _mm_and_si128(_mm_shuffle_epi8(v0, k.sel), c0);
            c1 = _mm_and_si128(_mm_shuffle_epi8(v1, k.sel), c1);
            c2 = _mm_and_si128(_mm_shuffle_epi8(v2, k.sel), c2);
            c3 = _mm_and_si128(_mm_shuffle_epi8(v3, k.sel), c3);
            r = _mm_packus_epi16(_mm_packus_epi32(c0, c1), _mm_packus_epi32(c2, c3));
        } else {
            r = _mm_packs_epi16(_mm_packs_epi32(c0, c1), _mm_packs_epi32(c2, c3));
            r = _mm_and_si128(r, k.one);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), r);
    }
    return i;
}

template <bool Sel>
QV_SSE41 void sse41_pass(const uint8_t* rgb, uint8_t* out, std::size_t n,
                         const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    std::size_t i = 0;
    if (n >= 2 + 16 && blocks_allowed(rgb, out, n)) {
        scalar_range<Sel>(rgb, out, 0, 2, b);
        const Params p = make_params(b);
        i = p.fits16 ? sse41_blocks<Sel, true>(rgb, out, 2, n, p)
                     : sse41_blocks<Sel, false>(rgb, out, 2, n, p);
    }
    scalar_range<Sel>(rgb, out, i, n, b);
}

// ------------------------------------------------------------------ AVX2

#define QV_AVX2 __attribute__((target("avx2")))

struct Avx2K {
    __m256i sh0, sh1, sh2;
    __m256i m[9];
    __m256i ki, wi, kc, wc, zero, sel, one, order;
};

template <bool Madd>
QV_AVX2 inline Avx2K avx2_consts(const Params& p) noexcept {
    Avx2K k;
    // Low lane: pixels at bytes 4..15; high lane: at bytes 0..11.
    if constexpr (Madd) {
        k.sh0 = _mm256_setr_epi8(4, -1, 5, -1, 7, -1, 8, -1, 10, -1, 11, -1, 13, -1, 14, -1,  //
                                 0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
        k.sh1 = _mm256_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1,  //
                                 2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
        k.sh2 = k.sh1;
        for (int r = 0; r < 3; ++r) {
            k.m[r] = _mm256_set1_epi32(pair16(p.m[3 * r], p.m[3 * r + 1]));
            k.m[3 + r] = _mm256_set1_epi32(pair16(p.m[3 * r + 2], 0));
        }
    } else {
        k.sh0 = _mm256_setr_epi8(4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1, 13, -1, -1, -1,  //
                                 0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
        k.sh1 = _mm256_setr_epi8(5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 14, -1, -1, -1,  //
                                 1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1);
        k.sh2 = _mm256_setr_epi8(6, -1, -1, -1, 9, -1, -1, -1, 12, -1, -1, -1, 15, -1, -1, -1,  //
                                 2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
        for (int j = 0; j < 9; ++j) k.m[j] = _mm256_set1_epi32(p.m[j]);
    }
    k.ki = _mm256_set1_epi32(p.ki);
    k.wi = _mm256_set1_epi32(p.wi);
    k.kc = _mm256_set1_epi32(p.kc);
    k.wc = _mm256_set1_epi32(p.wc);
    k.zero = _mm256_setzero_si256();
    k.sel = _mm256_setr_epi8(1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1,  //
                             1, -1, -1, -1, 5, -1, -1, -1, 9, -1, -1, -1, 13, -1, -1, -1);
    k.one = _mm256_set1_epi8(1);
    k.order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    return k;
}

template <bool Madd>
QV_AVX2 inline __m256i avx2_classify(__m256i x, const Avx2K& k, __m256i& v2) noexcept {
    __m256i v0, v1;
    if constexpr (Madd) {
        const __m256i rg = _mm256_shuffle_epi8(x, k.sh0);
        const __m256i b0 = _mm256_shuffle_epi8(x, k.sh1);
        v0 = _mm256_add_epi32(_mm256_madd_epi16(rg, k.m[0]), _mm256_madd_epi16(b0, k.m[3]));
        v1 = _mm256_add_epi32(_mm256_madd_epi16(rg, k.m[1]), _mm256_madd_epi16(b0, k.m[4]));
        v2 = _mm256_add_epi32(_mm256_madd_epi16(rg, k.m[2]), _mm256_madd_epi16(b0, k.m[5]));
    } else {
        const __m256i r = _mm256_shuffle_epi8(x, k.sh0);
        const __m256i g = _mm256_shuffle_epi8(x, k.sh1);
        const __m256i b = _mm256_shuffle_epi8(x, k.sh2);
        v0 = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(r, k.m[0]), _mm256_mullo_epi32(g, k.m[1])),
            _mm256_mullo_epi32(b, k.m[2]));
        v1 = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(r, k.m[3]), _mm256_mullo_epi32(g, k.m[4])),
            _mm256_mullo_epi32(b, k.m[5]));
        v2 = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(r, k.m[6]), _mm256_mullo_epi32(g, k.m[7])),
            _mm256_mullo_epi32(b, k.m[8]));
    }
    const __m256i hue = _mm256_cmpgt_epi32(_mm256_min_epi32(v0, v1), k.zero);
    const __m256i in_i = _mm256_cmpgt_epi32(k.wi, _mm256_sub_epi32(v2, k.ki));
    const __m256i in_c =
        _mm256_cmpgt_epi32(k.wc, _mm256_sub_epi32(_mm256_add_epi32(v0, v1), k.kc));
    return _mm256_and_si256(hue, _mm256_and_si256(in_i, in_c));
}

/// Blocks of 32 pixels from `i` (>= 2). The last load of a block reads 4
/// bytes past it, so a block runs only when two more pixels follow it.
template <bool Sel, bool Madd>
QV_AVX2 std::size_t avx2_blocks(const uint8_t* rgb, uint8_t* out, std::size_t i, std::size_t n,
                                const Params& p) noexcept {
    const Avx2K k = avx2_consts<Madd>(p);
    for (; n - i >= 32 + 2; i += 32) {
        const uint8_t* src = rgb + 3 * i - 4;
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 24));
        const __m256i x2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 48));
        const __m256i x3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 72));
        __m256i v0, v1, v2, v3;
        __m256i c0 = avx2_classify<Madd>(x0, k, v0);
        __m256i c1 = avx2_classify<Madd>(x1, k, v1);
        __m256i c2 = avx2_classify<Madd>(x2, k, v2);
        __m256i c3 = avx2_classify<Madd>(x3, k, v3);
        __m256i r;
        if constexpr (Sel) {
            c0 = _mm256_and_si256(_mm256_shuffle_epi8(v0, k.sel), c0);
            c1 = _mm256_and_si256(_mm256_shuffle_epi8(v1, k.sel), c1);
            c2 = _mm256_and_si256(_mm256_shuffle_epi8(v2, k.sel), c2);
            c3 = _mm256_and_si256(_mm256_shuffle_epi8(v3, k.sel), c3);
            r = _mm256_packus_epi16(_mm256_packus_epi32(c0, c1), _mm256_packus_epi32(c2, c3));
        } else {
            r = _mm256_packs_epi16(_mm256_packs_epi32(c0, c1), _mm256_packs_epi32(c2, c3));
            r = _mm256_and_si256(r, k.one);
        }
        // Lanes hold pixels (0-3, 8-11, 16-19, 24-27 | 4-7, ...): interleave.
        r = _mm256_permutevar8x32_epi32(r, k.order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), r);
    }
    return i;
}

template <bool Sel>
QV_AVX2 void avx2_pass(const uint8_t* rgb, uint8_t* out, std::size_t n,
                       const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    std::size_t i = 0;
    if (n >= 2 + 32 + 2 && blocks_allowed(rgb, out, n)) {
        scalar_range<Sel>(rgb, out, 0, 2, b);
        const Params p = make_params(b);
        i = p.fits16 ? avx2_blocks<Sel, true>(rgb, out, 2, n, p)
                     : avx2_blocks<Sel, false>(rgb, out, 2, n, p);
    }
    scalar_range<Sel>(rgb, out, i, n, b);
}

// --------------------------------------------------------------- AVX-512

#define QV_AVX512 __attribute__((target("avx512f,avx512bw")))

struct Avx512K {
    __m512i sh0, sh1, sh2;
    __m512i m[9];
    __m512i lanes, ki, wi, kc, wc, zero, one, order;
};

/// The same 16-byte pattern in all four lanes.
QV_AVX512 inline __m512i avx512_lanes4(__m128i x) noexcept {
    alignas(16) int32_t d[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(d), x);
    return _mm512_set4_epi32(d[3], d[2], d[1], d[0]);
}

template <bool Madd>
QV_AVX512 inline Avx512K avx512_consts(const Params& p) noexcept {
    Avx512K k;
    // After `lanes`, lane L holds pixels 4L..4L+3 at bytes 0..11.
    if constexpr (Madd) {
        k.sh0 = avx512_lanes4(
            _mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1));
        k.sh1 = avx512_lanes4(
            _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1));
        k.sh2 = k.sh1;
        for (int r = 0; r < 3; ++r) {
            k.m[r] = _mm512_set1_epi32(pair16(p.m[3 * r], p.m[3 * r + 1]));
            k.m[3 + r] = _mm512_set1_epi32(pair16(p.m[3 * r + 2], 0));
        }
    } else {
        k.sh0 = avx512_lanes4(
            _mm_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1));
        k.sh1 = avx512_lanes4(
            _mm_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1));
        k.sh2 = avx512_lanes4(
            _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1));
        for (int j = 0; j < 9; ++j) k.m[j] = _mm512_set1_epi32(p.m[j]);
    }
    k.lanes = _mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12);
    k.ki = _mm512_set1_epi32(p.ki);
    k.wi = _mm512_set1_epi32(p.wi);
    k.kc = _mm512_set1_epi32(p.kc);
    k.wc = _mm512_set1_epi32(p.wc);
    k.zero = _mm512_setzero_si512();
    k.one = _mm512_set1_epi8(1);
    k.order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    return k;
}

template <bool Madd>
QV_AVX512 inline __mmask16 avx512_classify(__m512i x, const Avx512K& k, __m512i& v2) noexcept {
    x = _mm512_permutexvar_epi32(k.lanes, x);
    __m512i v0, v1;
    if constexpr (Madd) {
        const __m512i rg = _mm512_shuffle_epi8(x, k.sh0);
        const __m512i b0 = _mm512_shuffle_epi8(x, k.sh1);
        v0 = _mm512_add_epi32(_mm512_madd_epi16(rg, k.m[0]), _mm512_madd_epi16(b0, k.m[3]));
        v1 = _mm512_add_epi32(_mm512_madd_epi16(rg, k.m[1]), _mm512_madd_epi16(b0, k.m[4]));
        v2 = _mm512_add_epi32(_mm512_madd_epi16(rg, k.m[2]), _mm512_madd_epi16(b0, k.m[5]));
    } else {
        const __m512i r = _mm512_shuffle_epi8(x, k.sh0);
        const __m512i g = _mm512_shuffle_epi8(x, k.sh1);
        const __m512i b = _mm512_shuffle_epi8(x, k.sh2);
        v0 = _mm512_add_epi32(
            _mm512_add_epi32(_mm512_mullo_epi32(r, k.m[0]), _mm512_mullo_epi32(g, k.m[1])),
            _mm512_mullo_epi32(b, k.m[2]));
        v1 = _mm512_add_epi32(
            _mm512_add_epi32(_mm512_mullo_epi32(r, k.m[3]), _mm512_mullo_epi32(g, k.m[4])),
            _mm512_mullo_epi32(b, k.m[5]));
        v2 = _mm512_add_epi32(
            _mm512_add_epi32(_mm512_mullo_epi32(r, k.m[6]), _mm512_mullo_epi32(g, k.m[7])),
            _mm512_mullo_epi32(b, k.m[8]));
    }
    __mmask16 in = _mm512_cmpgt_epi32_mask(_mm512_min_epi32(v0, v1), k.zero);
    in = _mm512_mask_cmpgt_epi32_mask(in, k.wi, _mm512_sub_epi32(v2, k.ki));
    return _mm512_mask_cmpgt_epi32_mask(in, k.wc,
                                        _mm512_sub_epi32(_mm512_add_epi32(v0, v1), k.kc));
}

/// Blocks of 64 pixels from `i`. Each 64-byte load covers 16 pixels and 16
/// bytes past them, so a block runs only when six more pixels follow it.
template <bool Sel, bool Madd>
QV_AVX512 std::size_t avx512_blocks(const uint8_t* rgb, uint8_t* out, std::size_t i,
                                    std::size_t n, const Params& p) noexcept {
    const Avx512K k = avx512_consts<Madd>(p);
    for (; n - i >= 64 + 6; i += 64) {
        const uint8_t* src = rgb + 3 * i;
        const __m512i x0 = _mm512_loadu_si512(src);
        const __m512i x1 = _mm512_loadu_si512(src + 48);
        const __m512i x2 = _mm512_loadu_si512(src + 96);
        const __m512i x3 = _mm512_loadu_si512(src + 144);
        __m512i v0, v1, v2, v3;
        const __mmask16 c0 = avx512_classify<Madd>(x0, k, v0);
        const __mmask16 c1 = avx512_classify<Madd>(x1, k, v1);
        const __mmask16 c2 = avx512_classify<Madd>(x2, k, v2);
        const __mmask16 c3 = avx512_classify<Madd>(x3, k, v3);
        __m512i r;
        if constexpr (Sel) {
            v0 = _mm512_maskz_srli_epi32(c0, v0, 8);
            v1 = _mm512_maskz_srli_epi32(c1, v1, 8);
            v2 = _mm512_maskz_srli_epi32(c2, v2, 8);
            v3 = _mm512_maskz_srli_epi32(c3, v3, 8);
            const __m512i ff = _mm512_set1_epi32(0xff);
            v0 = _mm512_and_si512(v0, ff);
            v1 = _mm512_and_si512(v1, ff);
            v2 = _mm512_and_si512(v2, ff);
            v3 = _mm512_and_si512(v3, ff);
            r = _mm512_packus_epi16(_mm512_packus_epi32(v0, v1), _mm512_packus_epi32(v2, v3));
            r = _mm512_permutexvar_epi32(k.order, r);
        } else {
            const __mmask64 all = _mm512_kunpackd(_mm512_kunpackw(c3, c2), _mm512_kunpackw(c1, c0));
            r = _mm512_maskz_mov_epi8(all, k.one);
        }
        _mm512_storeu_si512(out + i, r);
    }
    return i;
}

template <bool Sel>
QV_AVX512 void avx512_pass(const uint8_t* rgb, uint8_t* out, std::size_t n,
                           const LchBounds& bounds) noexcept {
    const LchBounds b = bounds;
    std::size_t i = 0;
    if (n >= 64 + 6 && blocks_allowed(rgb, out, n)) {
        const Params p = make_params(b);
        i = p.fits16 ? avx512_blocks<Sel, true>(rgb, out, 0, n, p)
                     : avx512_blocks<Sel, false>(rgb, out, 0, n, p);
    }
    scalar_range<Sel>(rgb, out, i, n, b);
}

constexpr ColorKernels kSse41{sse41_pass<false>, sse41_pass<true>, "sse41"};
constexpr ColorKernels kAvx2{avx2_pass<false>, avx2_pass<true>, "avx2"};
constexpr ColorKernels kAvx512{avx512_pass<false>, avx512_pass<true>, "avx512"};

}  // namespace

const ColorKernels* color_kernels_sse41() noexcept { return &kSse41; }
const ColorKernels* color_kernels_avx2() noexcept { return &kAvx2; }
const ColorKernels* color_kernels_avx512() noexcept { return &kAvx512; }

#else  // not x86

const ColorKernels* color_kernels_sse41() noexcept { return nullptr; }
const ColorKernels* color_kernels_avx2() noexcept { return nullptr; }
const ColorKernels* color_kernels_avx512() noexcept { return nullptr; }

#endif

}  // namespace quorvane::detail
