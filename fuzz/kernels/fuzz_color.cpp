// libFuzzer target: the colour passes of every kernel table this CPU runs
// against the scalar ones, on arbitrary pixels and bounds, with fresh, in-place and
// overlapping outputs. Buffers are allocated to the byte, so AddressSanitizer
// sees any read or write outside the image and the output.
//
// Input: one control byte, 52 bytes of bounds (i, c, M as little-endian
// int32), then the pixels (a trailing partial pixel is ignored).
// Control bits: 0-1 layout (fresh output; output at the image's start;
// output before the image; output inside the image above its start),
// 2 entries reduced to int16, 3 windows centred on the first pixel's values,
// 4-7 the overlap distance.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "color/color.h"
#include "fuzz_common.h"

namespace {

using quorvane::Kernels;
using quorvane::LchBounds;

int32_t read32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

/// A window of half-width `w` around `v`, clamped to int32.
void around(int32_t v, int32_t w, int32_t (&out)[2]) {
    const int64_t lo = static_cast<int64_t>(v) - w, hi = static_cast<int64_t>(v) + w;
    out[0] = static_cast<int32_t>(lo < INT32_MIN ? INT32_MIN : lo);
    out[1] = static_cast<int32_t>(hi > INT32_MAX ? INT32_MAX : hi);
}

/// The whole buffer after running `pass` with the given layout.
std::vector<uint8_t> run(quorvane::ImagePass pass, const uint8_t* pixels, std::size_t n, const LchBounds& b,
                         int layout, std::size_t dist) {
    const std::size_t bytes = 3 * n;
    std::size_t size, image_at, out_at;
    switch (layout) {
        case 0: size = bytes + n, image_at = 0, out_at = bytes; break;   // separate
        case 1: size = bytes, image_at = 0, out_at = 0; break;           // in place
        case 2: size = bytes + dist, image_at = dist, out_at = 0; break;  // before the image
        default:                                                         // inside, above the start
            dist = n == 0 ? 0 : 1 + dist % bytes;
            size = std::max(bytes, dist + n), image_at = 0, out_at = dist;
    }
    // Exactly `size` bytes on the heap, so the sanitizer sees any overrun.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size == 0 ? 1 : size]);
    std::memset(buf.get(), 0xa5, size);
    if (bytes) std::memcpy(buf.get() + image_at, pixels, bytes);
    if (layout == 0) {
        // The output in its own allocation, to the byte.
        std::unique_ptr<uint8_t[]> out(new uint8_t[n == 0 ? 1 : n]);
        std::memset(out.get(), 0xa5, n);
        pass(buf.get(), out.get(), n, b);
        return std::vector<uint8_t>(out.get(), out.get() + n);
    }
    pass(buf.get() + image_at, buf.get() + out_at, n, b);
    return std::vector<uint8_t>(buf.get(), buf.get() + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 53) return 0;
    const uint8_t ctl = data[0];
    LchBounds b;
    b.i[0] = read32(data + 1), b.i[1] = read32(data + 5);
    b.c[0] = read32(data + 9), b.c[1] = read32(data + 13);
    for (int j = 0; j < 9; ++j) b.M[j] = read32(data + 17 + 4 * j);
    const uint8_t* pixels = data + 53;
    const std::size_t n = (size - 53) / 3;
    if (ctl & 4) {
        for (int32_t& m : b.M) m = static_cast<int16_t>(static_cast<uint16_t>(m));
    }
    if ((ctl & 8) && n > 0) {
        int32_t v2;
        quorvane::color_classify(pixels, b, v2);
        const int32_t v0 = quorvane::detail::dot3(b.M, pixels), v1 = quorvane::detail::dot3(b.M + 3, pixels);
        around(v2, b.i[0] & 0xff, b.i);
        around(quorvane::add32(v0, v1), b.c[0] & 0xff, b.c);
    }
    const int layout = ctl & 3;
    const std::size_t dist = ctl >> 4;
    static const std::vector<const Kernels*> tables = fuzz::tables(false);
    const quorvane::ColorKernels& s = quorvane::kColorScalar;
    for (int sel = 0; sel < 2; ++sel) {
        const auto want = run(sel ? s.selective : s.mask, pixels, n, b, layout, dist);
        for (const Kernels* k : tables) {
            const auto got = run(sel ? k->color.selective : k->color.mask, pixels, n, b, layout, dist);
            if (got != want) {
                std::size_t at = 0;
                while (got[at] == want[at]) ++at;
                std::fprintf(stderr, "%s %s differs from scalar: %zu pixels, layout %d, byte %zu is %d, scalar %d\n",
                             k->name, sel ? "selective" : "mask", n, layout, at, got[at], want[at]);
                std::abort();
            }
        }
    }
    return 0;
}
