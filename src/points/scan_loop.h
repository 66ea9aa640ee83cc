// The edge scans over the primitives of one instruction set (QV_TARGET is
// its function attribute): scan_mask<Bytes> and scan_rgb<Bytes, Pass> are
// its ScanKernels, searching bytes with `Bytes` (next_set, next_clear) and
// classifying RGB pixels with the image pass `Pass`.
//
// Lines are classified in pieces into byte buffers on the stack (non-zero =
// foreground), and one run tracker turns the bytes into points, searching
// many bytes at a time. A mask row is its own classification; an RGB row
// goes through the colour pass in blocks. Columns are gathered a few at a
// time, one pass over the rows per group, so that the strided reads of a
// group are in flight together; each column's runs are then emitted in
// column order as before.
//
// When the point list overlaps the image, a point written by the scan can
// change pixels it has yet to read; that case runs pixel by pixel, each
// pixel read when the scan reaches it.
#pragma once

#ifndef QV_TARGET
#error "define QV_TARGET before including scan_loop.h"
#endif

#include <cstdint>
#include <cstring>

#include "points/points.h"

namespace quorvane::detail {
namespace {

constexpr int32_t kMaxLines = 65536;
/// Classified pixels held at once: whole columns of a group, or a piece of one.
constexpr int64_t kLineBytes = 16384;
/// Columns read together in one pass over the rows.
constexpr int64_t kMaxGroup = 8;
/// Rows ahead of the RGB gather whose pixels are prefetched (a mask is
/// small enough to sit in cache).
constexpr int64_t kPrefetchRows = 16;
/// Gathered RGB pixels classified per call, for all columns of a group.
constexpr int64_t kGatherPixels = 2048;

inline int64_t clamp_lines(int32_t n) noexcept {
    return n <= 0 ? 0 : (n > kMaxLines ? kMaxLines : n);
}

/// Position of scan line `i` across an extent of `n` pixels. For i < 2^16
/// the result is below n when n <= 2^16, and below 2^16 otherwise.
inline int64_t line_position(int64_t i, int64_t n) noexcept {
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

/// Run state of one scan line fed in consecutive pieces, searching with
/// `Bytes`. `at(sink, k)` writes the point at position k along the line;
/// every call returns false once the list is full.
template <class Bytes>
struct RunTracker {
    bool inside = false;

    /// Classified pixels `base`..`base + m - 1` of the line.
    template <class At>
    QV_TARGET bool feed(const uint8_t* cls, int64_t m, int64_t base, PointSink& out, At at) noexcept {
        for (int64_t k = 0;; ++k) {
            k = inside ? Bytes::next_clear(cls, k, m) : Bytes::next_set(cls, k, m);
            if (k == m) return true;
            if (!at(out, base + k)) return false;
            inside = !inside;
        }
    }
    /// End of the line: a run still open closes at the line's last pixel.
    template <class At>
    QV_TARGET bool close(int64_t last, PointSink& out, At at) noexcept {
        return !inside || at(out, last);
    }
};

/// Asks for the pixels of one row in columns xs[0..g-1] ahead of their use.
inline void prefetch_row(const uint8_t* row, const int64_t* xs, int64_t g, int64_t bpp) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    for (int64_t k = 0; k < g; ++k) __builtin_prefetch(row + xs[k] * bpp);
#else
    (void)row, (void)xs, (void)g, (void)bpp;
#endif
}

/// Byte mask: non-zero is foreground, so a row is its own classification.
struct MaskLines {
    static constexpr int64_t bytes = 1;
    static constexpr int64_t row_piece = INT64_MAX;

    static const uint8_t* row(const uint8_t* px, int64_t, uint8_t*) noexcept { return px; }
    static bool fg(const uint8_t* px) noexcept { return *px != 0; }

    /// Pixels of rows r0..r0+m-1 in columns xs[0..g-1]: column k's bytes go
    /// to cls + k * cls_stride.
    static void gather(const uint8_t* image, int64_t w, const int64_t* xs, int64_t g, int64_t r0,
                       int64_t m, uint8_t* cls, int64_t cls_stride) noexcept {
        const uint8_t* p = image + r0 * w;
        for (int64_t y = 0; y < m; ++y, p += w)
            for (int64_t k = 0; k < g; ++k) cls[k * cls_stride + y] = p[xs[k]];
    }
};

/// RGB pixels classified by the colour window through the image pass `Pass`.
template <ImagePass Pass>
struct RgbLines {
    static constexpr int64_t bytes = 3;
    static constexpr int64_t row_piece = kLineBytes;
    const LchBounds& b;

    QV_TARGET const uint8_t* row(const uint8_t* px, int64_t m, uint8_t* buf) const noexcept {
        Pass(px, buf, static_cast<std::size_t>(m), b);
        return buf;
    }
    bool fg(const uint8_t* px) const noexcept { return color_mask(px, b) != 0; }

    /// As MaskLines::gather, in blocks of rows: the block's pixels of all
    /// columns are copied together, classified in one call, and the bytes
    /// moved to their columns.
    QV_TARGET void gather(const uint8_t* image, int64_t w, const int64_t* xs, int64_t g, int64_t r0,
                int64_t m, uint8_t* cls, int64_t cls_stride) const noexcept {
        alignas(64) uint8_t px[3 * kGatherPixels];
        alignas(64) uint8_t fg[kGatherPixels];
        const int64_t block = kGatherPixels / g;
        for (int64_t r = 0; r < m; r += block) {
            const int64_t n = m - r < block ? m - r : block;
            const uint8_t* p = image + (r0 + r) * w * 3;
            for (int64_t y = 0; y < n; ++y, p += w * 3) {
                if (r + y + kPrefetchRows < m) prefetch_row(p + kPrefetchRows * w * 3, xs, g, 3);
                for (int64_t k = 0; k < g; ++k) std::memcpy(px + (k * n + y) * 3, p + xs[k] * 3, 3);
            }
            Pass(px, fg, static_cast<std::size_t>(g * n), b);
            for (int64_t k = 0; k < g; ++k)
                std::memcpy(cls + k * cls_stride + r, fg + k * n, static_cast<std::size_t>(n));
        }
    }
};

template <class Bytes, class Lines>
QV_TARGET int64_t scan_blocks(const Lines& ln, const uint8_t* image, int64_t h, int64_t w, PointSink& out,
                    int64_t rows, int64_t cols) noexcept {
    constexpr int64_t bpp = Lines::bytes;
    alignas(64) uint8_t buf[kLineBytes];

    for (int64_t i = 0; i < rows; ++i) {
        const int64_t y = line_position(i, h);
        const auto at = [y](PointSink& s, int64_t x) { return s.put(x, y); };
        const uint8_t* row = image + y * w * bpp;
        RunTracker<Bytes> runs;
        for (int64_t c = 0; c < w; c += Lines::row_piece) {
            const int64_t m = w - c < Lines::row_piece ? w - c : Lines::row_piece;
            if (!runs.feed(ln.row(row + c * bpp, m, buf), m, c, out, at)) return out.o;
        }
        if (!runs.close(w - 1, out, at)) return out.o;
    }

    if (2 * h <= kLineBytes) {
        // Whole columns fit: a group of them per pass over the rows.
        const int64_t group = kLineBytes / h < kMaxGroup ? kLineBytes / h : kMaxGroup;
        int64_t xs[kMaxGroup];
        for (int64_t j = 0; j < cols; j += group) {
            const int64_t g = cols - j < group ? cols - j : group;
            for (int64_t k = 0; k < g; ++k) xs[k] = line_position(j + k, w);
            ln.gather(image, w, xs, g, 0, h, buf, h);
            for (int64_t k = 0; k < g; ++k) {
                const int64_t x = xs[k];
                const auto at = [x](PointSink& s, int64_t y) { return s.put(x, y); };
                RunTracker<Bytes> runs;
                if (!runs.feed(buf + k * h, h, 0, out, at) || !runs.close(h - 1, out, at))
                    return out.o;
            }
        }
        return out.o;
    }
    // Tall images: one column at a time, in pieces.
    for (int64_t j = 0; j < cols; ++j) {
        const int64_t x = line_position(j, w);
        const auto at = [x](PointSink& s, int64_t y) { return s.put(x, y); };
        RunTracker<Bytes> runs;
        for (int64_t r = 0; r < h; r += kLineBytes) {
            const int64_t m = h - r < kLineBytes ? h - r : kLineBytes;
            ln.gather(image, w, &x, 1, r, m, buf, 0);
            if (!runs.feed(buf, m, r, out, at)) return out.o;
        }
        if (!runs.close(h - 1, out, at)) return out.o;
    }
    return out.o;
}

/// One line read pixel by pixel, `stride` bytes apart, each pixel tested
/// after the points before it are written.
template <class Lines, class At>
QV_TARGET bool scan_pixels(const Lines& ln, const uint8_t* p, int64_t stride, int64_t n, PointSink& out,
                 At at) noexcept {
    bool inside = false;
    for (int64_t k = 0; k < n; ++k, p += stride) {
        if (ln.fg(p) == inside) continue;
        if (!at(out, k)) return false;
        inside = !inside;
    }
    return !inside || at(out, n - 1);
}

template <class Lines>
QV_TARGET int64_t scan_pixelwise(const Lines& ln, const uint8_t* image, int64_t h, int64_t w,
                       PointSink& out, int64_t rows, int64_t cols) noexcept {
    constexpr int64_t bpp = Lines::bytes;
    for (int64_t i = 0; i < rows; ++i) {
        const int64_t y = line_position(i, h);
        if (!scan_pixels(ln, image + y * w * bpp, bpp, w, out,
                         [y](PointSink& s, int64_t x) { return s.put(x, y); }))
            return out.o;
    }
    for (int64_t j = 0; j < cols; ++j) {
        const int64_t x = line_position(j, w);
        if (!scan_pixels(ln, image + x * bpp, w * bpp, h, out,
                         [x](PointSink& s, int64_t y) { return s.put(x, y); }))
            return out.o;
    }
    return out.o;
}

/// Whether byte ranges [a, a + na) and [b, b + nb) share a byte.
inline bool overlap(const void* a, uint64_t na, const void* b, uint64_t nb) noexcept {
    const auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + nb && pb < pa + na;
}

template <class Bytes, class Lines>
QV_TARGET int64_t edge_scan(const Lines& ln, const uint8_t* image, int64_t h, int64_t w, int32_t* ps,
                  int64_t cap, int32_t row_count, int32_t column_count) noexcept {
    if (h <= 0 || w <= 0 || cap <= 0) return 0;
    const int64_t rows = clamp_lines(row_count);
    const int64_t cols = clamp_lines(column_count);
    PointSink out{ps, cap};
    const uint64_t image_bytes = static_cast<uint64_t>(h) * static_cast<uint64_t>(w) * Lines::bytes;
    if (overlap(ps, static_cast<uint64_t>(cap) * 8, image, image_bytes))
        return scan_pixelwise(ln, image, h, w, out, rows, cols);
    return scan_blocks<Bytes>(ln, image, h, w, out, rows, cols);
}

template <class Bytes>
QV_TARGET int64_t scan_mask(const uint8_t* image, int64_t h, int64_t w, int32_t* ps, int64_t cap, int32_t row_count,
                            int32_t column_count) noexcept {
    return edge_scan<Bytes>(MaskLines{}, image, h, w, ps, cap, row_count, column_count);
}

template <class Bytes, ImagePass Pass>
QV_TARGET int64_t scan_rgb(const uint8_t* image, int64_t h, int64_t w, const LchBounds& b, int32_t* ps, int64_t cap,
                           int32_t row_count, int32_t column_count) noexcept {
    return edge_scan<Bytes>(RgbLines<Pass>{b}, image, h, w, ps, cap, row_count, column_count);
}

}  // namespace
}  // namespace quorvane::detail
