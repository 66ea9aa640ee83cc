// Edge points along bit-reversed scan lines and the two point-list filters.
// Plain functions over packed buffers: points are (x, y) int32 pairs.
#pragma once

#include <cstdint>

#include "color/color.h"

namespace quorvane {

/// Reverses the bit order of each 16-bit half of `n` separately.
constexpr uint32_t reverse_bits(uint32_t n) noexcept {
    n = ((n << 8) & 0xff00ff00u) | ((n >> 8) & 0x00ff00ffu);
    n = ((n << 4) & 0xf0f0f0f0u) | ((n >> 4) & 0x0f0f0f0fu);
    n = ((n << 2) & 0xccccccccu) | ((n >> 2) & 0x33333333u);
    n = ((n << 1) & 0xaaaaaaaau) | ((n >> 1) & 0x55555555u);
    return n;
}

/// The edge scans of one instruction set (one part of a kernel table,
/// kernels/kernels.h; scan_loop.h builds them). Both scan the rows, then the
/// columns, at bit-reversed positions and write the start and end of each
/// run into `ps` (capacity `cap` points). Counts are clamped to 0..65536; an
/// image with no rows or columns yields 0. They return the points written.
/// `ps` may overlap the image: each pixel is then read after the points
/// before it are written. They use about 24 KiB of stack.
struct ScanKernels {
    /// A packed byte image (h rows, w columns; non-zero is foreground).
    int64_t (*mask)(const uint8_t* image, int64_t h, int64_t w, int32_t* ps, int64_t cap, int32_t row_count,
                    int32_t column_count) noexcept;
    /// A packed RGB image, foreground = color_mask(pixel, b), classified in
    /// blocks by the same table's colour pass.
    int64_t (*rgb)(const uint8_t* image, int64_t h, int64_t w, const LchBounds& b, int32_t* ps, int64_t cap,
                   int32_t row_count, int32_t column_count) noexcept;
};

/// Number of points `denoise` writes for this input (dry pass, writes nothing).
int64_t denoise_count(const int32_t* in, int64_t in_size, int32_t min_distance) noexcept;

/// Joins pairs across gaps below `min_distance`, keeps segments of at least
/// `min_distance`; writes start/end rows into `out` (may alias `in`).
/// The caller guarantees room for denoise_count() points.
int64_t denoise(const int32_t* in, int64_t in_size, int32_t* out, int32_t min_distance) noexcept;

/// Number of zero bytes among ms[0..n-1].
int64_t count_unmarked(const uint8_t* ms, int64_t n) noexcept;

/// Copies the points whose mask byte is 0, in order, into `out` (may alias
/// `in`). The caller guarantees room for count_unmarked() points.
int64_t remove_marked(const int32_t* in, int64_t n, const uint8_t* ms, int32_t* out) noexcept;

}  // namespace quorvane
