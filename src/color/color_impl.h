// Private to the colour passes: the scalar pixel range every pass uses
// (whole passes, and the pixels before and after the vector blocks) and the
// bounds turned into vector constants.
#pragma once

#include <cstddef>
#include <cstdint>

#include "color.h"

namespace quorvane::detail {

/// Bytes from..to-1 of `out` from the same pixels of `rgb`, in increasing
/// order, pixel i read before byte i is written.
template <bool Sel>
inline void scalar_range(const uint8_t* rgb, uint8_t* out, std::size_t from, std::size_t to,
                         const LchBounds& b) noexcept {
    for (std::size_t i = from; i < to; ++i) {
        const uint8_t* c = rgb + 3 * i;
        if constexpr (Sel) {
            out[i] = static_cast<uint8_t>(static_cast<uint32_t>(color_selective(c, b)));
        } else {
            out[i] = static_cast<uint8_t>(color_mask(c, b));
        }
    }
}

/// Bounds turned into the constants of the vector passes.
///
/// The six strict comparisons fold into three signed ones:
///  - v0 > 0 && v1 > 0   <=>  min(v0, v1) > 0
///  - lo < v < hi        <=>  (uint32)(v - lo - 1) < (uint32)(hi - lo - 1) when
///    hi - lo - 1 > 0 (exactly; an empty window gets a limit of 0). Flipping
///    the sign bit of both sides makes the unsigned compare a signed one; the
///    flip is folded into the subtracted constant.
///
/// The products: channels are 0..255, so with an entry m split as
/// m = hi * 2^16 + lo (lo in int16, hi taken modulo 2^16 as an int16),
/// c * m == c * lo + (c * hi << 16) modulo 2^32, and each row is two sums of
/// three products of a byte by an int16, far inside int32: 16-bit
/// multiply-adds give the wrapping 32-bit row exactly. When every entry fits
/// in int16, hi is 0 and the second sum is skipped ("narrow").
struct Params {
    int32_t m[9];      ///< the matrix as given
    int32_t lo[3][2];  ///< row r: (lo[3r], lo[3r+1]) and (lo[3r+2], 0) as int16 pairs
    int32_t hi[3][2];  ///< the same for the high halves
    int32_t ki, wi;    ///< intensity: inside <=> (int32)(v2 - ki) < wi
    int32_t kc, wc;    ///< chroma:    inside <=> (int32)(v0 + v1 - kc) < wc
    bool wide;         ///< some entry does not fit in int16
};

/// Two int16 factors in one int32 lane: `lo` multiplies the low word.
inline int32_t pair16(uint32_t lo, uint32_t hi) noexcept {
    return static_cast<int32_t>((hi << 16) | (lo & 0xffffu));
}

inline void open_interval(int32_t lo, int32_t hi, int32_t& k, int32_t& w) noexcept {
    const int64_t width = static_cast<int64_t>(hi) - lo - 1;
    const uint32_t limit = width > 0 ? static_cast<uint32_t>(width) : 0u;
    k = static_cast<int32_t>(static_cast<uint32_t>(lo) + 1u + 0x80000000u);
    w = static_cast<int32_t>(limit ^ 0x80000000u);
}

inline Params make_params(const LchBounds& b) noexcept {
    Params p{};
    uint32_t lo[9], hi[9];
    for (int j = 0; j < 9; ++j) {
        const uint32_t m = static_cast<uint32_t>(b.M[j]);
        p.m[j] = b.M[j];
        if (b.M[j] < -32768 || b.M[j] > 32767) p.wide = true;
        // lo: the low 16 bits read as int16; hi: the rest, m - lo, shifted.
        lo[j] = (m & 0xffffu) ^ 0x8000u;
        lo[j] = lo[j] - 0x8000u;
        hi[j] = (m - lo[j]) >> 16;
    }
    for (int r = 0; r < 3; ++r) {
        p.lo[r][0] = pair16(lo[3 * r], lo[3 * r + 1]);
        p.lo[r][1] = pair16(lo[3 * r + 2], 0);
        p.hi[r][0] = pair16(hi[3 * r], hi[3 * r + 1]);
        p.hi[r][1] = pair16(hi[3 * r + 2], 0);
    }
    open_interval(b.i[0], b.i[1], p.ki, p.wi);
    open_interval(b.c[0], b.c[1], p.kc, p.wc);
    return p;
}

/// True when the vector blocks may run: the output does not start inside
/// the image above its first byte (see color_loop.h).
inline bool blocks_allowed(const uint8_t* rgb, const uint8_t* out, std::size_t n) noexcept {
    const auto in = reinterpret_cast<std::uintptr_t>(rgb);
    const auto o = reinterpret_cast<std::uintptr_t>(out);
    return o <= in || (o - in) / 3 >= n;
}

}  // namespace quorvane::detail
