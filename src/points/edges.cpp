// Edge points along bit-reversed scan lines.
//
// One scan drives both entry points; a pixel policy supplies the foreground
// test and, for rows (contiguous pixels), the search for the next pixel of
// either kind. The byte-mask policy searches rows 16 bytes at a time.

#include "points.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUORVANE_EDGES_SSE2 1
#endif

namespace quorvane {
namespace {

constexpr int32_t kMaxLines = 65536;

int64_t clamp_lines(int32_t n) noexcept {
    return n <= 0 ? 0 : (n > kMaxLines ? kMaxLines : n);
}

/// Position of scan line `i` across an extent of `n` pixels. For i < 2^16
/// the result is below n when n <= 2^16, and below 2^16 otherwise.
int64_t line_position(int64_t i, int64_t n) noexcept {
    const uint32_t r = reverse_bits(static_cast<uint32_t>(i));
    return static_cast<int64_t>((r * static_cast<uint32_t>(n)) >> 16);
}

/// Appends points to the caller's list; refuses once it is full.
struct PointSink {
    int32_t* ps;
    int64_t cap;
    int64_t o = 0;

    bool put(int64_t x, int64_t y) noexcept {
        if (o >= cap) return false;
        ps[2 * o] = static_cast<int32_t>(x);
        ps[2 * o + 1] = static_cast<int32_t>(y);
        ++o;
        return true;
    }
};

/// Pixels along one column: `n` pixels, `stride` bytes apart. The policy's
/// test is applied pixel by pixel.
template <class Pixel>
struct ColumnReader {
    const Pixel& px;
    const uint8_t* base;
    int64_t stride;
    int64_t n;

    int64_t next(int64_t k, bool want_fg) const noexcept {
        const uint8_t* p = base + k * stride;
        for (; k < n; ++k, p += stride)
            if (px.fg(p) == want_fg) return k;
        return n;
    }
};

/// Pixels along one row: the policy's own search over contiguous pixels.
template <class Pixel>
struct RowReader {
    const Pixel& px;
    const uint8_t* base;
    int64_t n;

    int64_t next(int64_t k, bool want_fg) const noexcept {
        return want_fg ? px.next_fg(base, k, n) : px.next_bg(base, k, n);
    }
};

/// Emits the start and end of every run along one line. `at(k)` maps the
/// position along the line to the image point. Returns false when the list
/// filled up before the line was done.
template <class Reader, class At>
bool scan_line(const Reader& rd, PointSink& out, At at) noexcept {
    const int64_t n = rd.n;
    int64_t k = 0;
    for (;;) {
        const int64_t start = rd.next(k, true);
        if (start == n) return true;
        if (!at(out, start)) return false;
        const int64_t end = rd.next(start + 1, false);
        if (end == n) return at(out, n - 1);  // run reaches the border
        if (!at(out, end)) return false;
        k = end + 1;
    }
}

template <class Pixel>
int64_t edge_scan(const Pixel& px, const uint8_t* image, int64_t h, int64_t w, int32_t* ps,
                  int64_t cap, int32_t row_count, int32_t column_count) noexcept {
    if (h <= 0 || w <= 0 || cap <= 0) return 0;
    const int64_t rows = clamp_lines(row_count);
    const int64_t cols = clamp_lines(column_count);
    constexpr int64_t bpp = Pixel::bytes;
    PointSink out{ps, cap};

    for (int64_t i = 0; i < rows; ++i) {
        const int64_t y = line_position(i, h);
        const RowReader<Pixel> rd{px, image + y * w * bpp, w};
        if (!scan_line(rd, out, [y](PointSink& s, int64_t x) { return s.put(x, y); }))
            return out.o;
    }
    for (int64_t j = 0; j < cols; ++j) {
        const int64_t x = line_position(j, w);
        const ColumnReader<Pixel> rd{px, image + x * bpp, w * bpp, h};
        if (!scan_line(rd, out, [x](PointSink& s, int64_t y) { return s.put(x, y); }))
            return out.o;
    }
    return out.o;
}

/// Byte mask: non-zero is foreground.
struct MaskPixel {
    static constexpr int64_t bytes = 1;

    static bool fg(const uint8_t* p) noexcept { return *p != 0; }

#ifdef QUORVANE_EDGES_SSE2
    // Bit b of the result is set when byte b of row[k..k+15] is zero.
    static uint32_t zero_bits(const uint8_t* row, int64_t k) noexcept {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k));
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    }
    static int64_t next_fg(const uint8_t* row, int64_t k, int64_t n) noexcept {
        for (; k + 32 <= n; k += 32) {
            const uint32_t z = zero_bits(row, k) | (zero_bits(row, k + 16) << 16);
            if (z != 0xffffffffu) return k + std::countr_one(z);
        }
        for (; k + 16 <= n; k += 16) {
            const uint32_t z = zero_bits(row, k);
            if (z != 0xffffu) return k + std::countr_one(z);
        }
        for (; k < n; ++k)
            if (row[k] != 0) return k;
        return n;
    }
    static int64_t next_bg(const uint8_t* row, int64_t k, int64_t n) noexcept {
        for (; k + 32 <= n; k += 32) {
            const uint32_t z = zero_bits(row, k) | (zero_bits(row, k + 16) << 16);
            if (z != 0) return k + std::countr_zero(z);
        }
        for (; k + 16 <= n; k += 16) {
            const uint32_t z = zero_bits(row, k);
            if (z != 0) return k + std::countr_zero(z);
        }
        for (; k < n; ++k)
            if (row[k] == 0) return k;
        return n;
    }
#else
    // Portable fallback: eight bytes at a time through a 64-bit word.
    static uint64_t load_le(const uint8_t* p) noexcept {
        uint64_t v;
        std::memcpy(&v, p, 8);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
        return v;
    }
    static int64_t next_fg(const uint8_t* row, int64_t k, int64_t n) noexcept {
        for (; k + 8 <= n; k += 8) {
            const uint64_t v = load_le(row + k);
            if (v != 0) return k + std::countr_zero(v) / 8;
        }
        for (; k < n; ++k)
            if (row[k] != 0) return k;
        return n;
    }
    static int64_t next_bg(const uint8_t* row, int64_t k, int64_t n) noexcept {
        constexpr uint64_t lo = 0x0101010101010101u, hi = 0x8080808080808080u;
        for (; k + 8 <= n; k += 8) {
            const uint64_t v = load_le(row + k);
            // The lowest flagged byte is exactly the first zero byte.
            const uint64_t z = (v - lo) & ~v & hi;
            if (z != 0) return k + std::countr_zero(z) / 8;
        }
        for (; k < n; ++k)
            if (row[k] == 0) return k;
        return n;
    }
#endif
};

/// RGB pixel classified by the colour window.
struct RgbPixel {
    static constexpr int64_t bytes = 3;
    const LchBounds& b;

    bool fg(const uint8_t* p) const noexcept { return color_mask(p, b) != 0; }

    int64_t next(const uint8_t* row, int64_t k, int64_t n, bool want_fg) const noexcept {
        const uint8_t* p = row + 3 * k;
        for (; k < n; ++k, p += 3)
            if (fg(p) == want_fg) return k;
        return n;
    }
    int64_t next_fg(const uint8_t* row, int64_t k, int64_t n) const noexcept {
        return next(row, k, n, true);
    }
    int64_t next_bg(const uint8_t* row, int64_t k, int64_t n) const noexcept {
        return next(row, k, n, false);
    }
};

}  // namespace

int64_t edge_scan_mask(const uint8_t* image, int64_t h, int64_t w, int32_t* ps, int64_t cap,
                       int32_t row_count, int32_t column_count) noexcept {
    return edge_scan(MaskPixel{}, image, h, w, ps, cap, row_count, column_count);
}

int64_t edge_scan_rgb(const uint8_t* image, int64_t h, int64_t w, const LchBounds& b,
                      int32_t* ps, int64_t cap, int32_t row_count,
                      int32_t column_count) noexcept {
    return edge_scan(RgbPixel{b}, image, h, w, ps, cap, row_count, column_count);
}

}  // namespace quorvane
