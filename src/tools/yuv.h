// RGB to YUV 4:2:0 (the planar format video encoders take), for the companion
// tools' annotated video: a plain function over raw pointers, no allocation.
#pragma once

#include <cstdint>

namespace quorvane::tools {

/// Converts the top-left `width` x `height` pixels (both even, at least 2) of
/// an 8-bit RGB or RGBA picture (`channels` 3 or 4, rows `rgb_stride` bytes
/// apart; an alpha byte is ignored) into the planes of YUV 4:2:0: `y` of
/// width x height bytes, `u` and `v` of (width / 2) x (height / 2), rows
/// `*_stride` bytes apart.
///
/// BT.601, limited range, in integer arithmetic with 16 fractional bits:
///
///   Y  = (16829 R + 33039 G +  6416 B + (16 << 16) + (1 << 15)) >> 16
///   Cb = (-9714 R - 19070 G + 28784 B + (128 << 16) + (1 << 15)) >> 16
///   Cr = (28784 R - 24103 G -  4681 B + (128 << 16) + (1 << 15)) >> 16
///
/// that is Y = 16 + 219 (0.299 R + 0.587 G + 0.114 B) / 255 and Cb, Cr =
/// 128 + 224 (B - Y') / (1.772 * 255), 224 (R - Y') / (1.402 * 255), each
/// rounded to the nearest whole number (the coefficients are those values
/// times 65536, rounded, with the chroma rows summing to 0 so that greys
/// have Cb = Cr = 128 exactly). Cb and Cr are taken from the sums of R, G
/// and B over each 2 x 2 block (shifted by 18 instead of 16): the block's
/// mean colour, sited at the block's centre. Y is 16..235, Cb and Cr 16..240;
/// every intermediate value lies in 0..2^32, computed in wrapping uint32_t.
void rgb_to_yuv420(const uint8_t* rgb, int64_t rgb_stride, int channels, int64_t width, int64_t height,
                   uint8_t* y, int64_t y_stride, uint8_t* u, int64_t u_stride, uint8_t* v,
                   int64_t v_stride) noexcept;

}  // namespace quorvane::tools
