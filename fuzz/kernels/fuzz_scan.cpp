// The edge scans of every kernel table this CPU runs on arbitrary images,
// sizes, counts and capacities: the mask scan against a pixel-by-pixel
// scan, the RGB scan against the mask scan of the scalar pass's mask, nothing written past the count or outside
// the list, and a list that overlaps the image seeing its own writes.

#include "fuzz_common.h"
#include "points/points.h"

#include <algorithm>

using namespace quorvane;

namespace {

int64_t lines(int32_t count) { return count <= 0 ? 0 : std::min<int64_t>(count, 65536); }

int64_t position(int64_t i, int64_t n) {
    return static_cast<int64_t>((reverse_bits(static_cast<uint32_t>(i)) * static_cast<uint32_t>(n)) >> 16);
}

/// The scan as written down: pixel by pixel, `fg(x, y)` evaluated when the
/// scan reaches the pixel, after the points before it are written.
template <class Fg>
FUZZ_NO_COVERAGE int64_t reference_scan(Fg fg, int64_t h, int64_t w, int32_t* ps, int64_t cap, int32_t rc, int32_t cc) {
    if (h <= 0 || w <= 0) return 0;
    int64_t o = 0;
    auto put = [&](int64_t x, int64_t y) {
        if (o >= cap) return false;
        ps[2 * o] = static_cast<int32_t>(x);
        ps[2 * o + 1] = static_cast<int32_t>(y);
        ++o;
        return true;
    };
    for (int64_t i = 0; i < lines(rc); ++i) {
        const int64_t y = position(i, h);
        bool inside = false;
        for (int64_t x = 0; x < w; ++x)
            if (fg(x, y) != inside) {
                if (!put(x, y)) return o;
                inside = !inside;
            }
        if (inside && !put(w - 1, y)) return o;
    }
    for (int64_t j = 0; j < lines(cc); ++j) {
        const int64_t x = position(j, w);
        bool inside = false;
        for (int64_t y = 0; y < h; ++y)
            if (fg(x, y) != inside) {
                if (!put(x, y)) return o;
                inside = !inside;
            }
        if (inside && !put(x, h - 1)) return o;
    }
    return o;
}

LchBounds some_bounds(FuzzedDataProvider& in) {
    LchBounds b;
    if (in.ConsumeBool()) {  // anything, wrapping products included
        for (auto& v : b.i) v = fuzz::some_int(in, -70000, 70000);
        for (auto& v : b.c) v = fuzz::some_int(in, -70000, 70000);
        for (auto& v : b.M) v = fuzz::some_int(in, -400, 400);
    } else {  // a window near the usual scale, so both classes occur
        const int32_t lo = in.ConsumeIntegralInRange<int32_t>(0, 65535);
        b.i[0] = lo, b.i[1] = lo + in.ConsumeIntegralInRange<int32_t>(0, 65535);
        b.c[0] = in.ConsumeIntegralInRange<int32_t>(-100, 30000);
        b.c[1] = b.c[0] + in.ConsumeIntegralInRange<int32_t>(0, 60000);
        const int32_t base[9] = {146, -304, 158, 146, 158, -304, 85, 85, 85};
        for (int k = 0; k < 9; ++k) b.M[k] = base[k] + in.ConsumeIntegralInRange<int32_t>(-80, 80);
    }
    return b;
}

/// Runs `scan` into a list of exactly `cap` points pre-filled with a
/// sentinel and checks the rows past the returned count are untouched.
template <class Scan>
FUZZ_NO_COVERAGE std::vector<int32_t> run_scan(int64_t cap, Scan scan) {
    fuzz::Exact<int32_t> ps(static_cast<size_t>(2 * cap), -77777);
    const int64_t n = scan(ps.p);
    FUZZ_CHECK(0 <= n && n <= cap);
    for (int64_t k = 2 * n; k < 2 * cap; ++k) FUZZ_CHECK(ps.p[k] == -77777);
    return std::vector<int32_t>(ps.p, ps.p + 2 * n);
}

/// Image and list in one buffer, the list `offset` bytes from the image's
/// start: the kernel against the pixel-by-pixel scan on a copy.
void check_overlap(const Kernels& k, FuzzedDataProvider& in, int64_t h, int64_t w, int64_t bpp, const LchBounds& b,
                   int32_t rc, int32_t cc) {
    const int64_t image_bytes = h * w * bpp;
    const int64_t cap = in.ConsumeIntegralInRange<int64_t>(0, 64);
    const int64_t offset = 4 * in.ConsumeIntegralInRange<int64_t>(0, (image_bytes + 32) / 4);
    const size_t total = static_cast<size_t>(std::max(image_bytes, offset + 8 * cap));
    std::vector<uint8_t> start = fuzz::bytes(in, total, total);
    fuzz::Exact<uint8_t> got(total, 0), want(total, 0);
    fuzz::copy(got.p, start.data(), total);
    fuzz::copy(want.p, start.data(), total);
    int64_t n;
    if (bpp == 1) {
        n = k.scan.mask(got.p, h, w, reinterpret_cast<int32_t*>(got.p + offset), cap, rc, cc);
    } else {
        n = k.scan.rgb(got.p, h, w, b, reinterpret_cast<int32_t*>(got.p + offset), cap, rc, cc);
    }
    const uint8_t* live = want.p;
    const int64_t m = reference_scan(
        [&](int64_t x, int64_t y) FUZZ_NO_COVERAGE {
            const uint8_t* p = live + (y * w + x) * bpp;
            return bpp == 1 ? *p != 0 : color_mask(p, b) != 0;
        },
        h, w, reinterpret_cast<int32_t*>(want.p + offset), cap, rc, cc);
    FUZZ_CHECK(n == m);
    FUZZ_CHECK(std::memcmp(got.p, want.p, total) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    int64_t h, w;
    switch (in.ConsumeIntegralInRange<int>(0, 63)) {
        case 0:  // columns taller than the stack buffer: read in pieces
            h = in.ConsumeIntegralInRange<int64_t>(8100, 8300), w = in.ConsumeIntegralInRange<int64_t>(1, 3);
            break;
        case 1:  // RGB rows longer than the stack buffer
            h = in.ConsumeIntegralInRange<int64_t>(1, 2), w = in.ConsumeIntegralInRange<int64_t>(16300, 16500);
            break;
        case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 10: case 11:
            h = in.ConsumeIntegralInRange<int64_t>(0, 64), w = in.ConsumeIntegralInRange<int64_t>(0, 100);
            break;
        default:
            h = in.ConsumeIntegralInRange<int64_t>(0, 16), w = in.ConsumeIntegralInRange<int64_t>(0, 40);
    }
    int32_t rc = fuzz::some_int(in, -2, 70), cc = fuzz::some_int(in, -2, 70);
    // Bounded work per input: large counts only on small images.
    constexpr int64_t kReads = 30000;
    if (lines(rc) * w > kReads) rc %= static_cast<int32_t>(kReads / w + 1);
    if (lines(cc) * h > kReads) cc %= static_cast<int32_t>(kReads / h + 1);
    const LchBounds b = some_bounds(in);
    static const std::vector<const Kernels*> tables = fuzz::tables(true);
    const Kernels& k = *tables[in.ConsumeIntegralInRange<size_t>(0, tables.size() - 1)];
    const int what = in.ConsumeIntegralInRange<int>(0, 7);
    if (what == 0) {
        check_overlap(k, in, h, w, in.ConsumeBool() ? 3 : 1, b, rc, cc);
        return 0;
    }
    const int64_t cap = in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(0, 40)
                                         : in.ConsumeIntegralInRange<int64_t>(0, 20000);
    const size_t px = static_cast<size_t>(h * w);
    fuzz::Exact<uint8_t> rgb(3 * px, 0), mask(px, 0), raw(px, 0);
    {
        const std::vector<uint8_t> bytes = fuzz::bytes(in, 4 * px, 4 * px);
        fuzz::copy(rgb.p, bytes.data(), 3 * px);
        fuzz::copy(raw.p, bytes.data() + 3 * px, px);
    }
    // A byte mask with arbitrary non-zero values, sparse or dense.
    fuzz::keep_bits(raw.p, px, in.ConsumeIntegral<uint8_t>());

    const auto got = run_scan(cap, [&](int32_t* ps) { return k.scan.mask(raw.p, h, w, ps, cap, rc, cc); });
    const auto want = run_scan(cap, [&](int32_t* ps) {
        return reference_scan([&](int64_t x, int64_t y) FUZZ_NO_COVERAGE { return raw.p[y * w + x] != 0; }, h, w, ps, cap, rc, cc);
    });
    FUZZ_CHECK(got == want);

    scalar_pass<false>(rgb.p, mask.p, px, b);
    const auto hsv = run_scan(cap, [&](int32_t* ps) { return k.scan.rgb(rgb.p, h, w, b, ps, cap, rc, cc); });
    const auto of_mask = run_scan(cap, [&](int32_t* ps) { return k.scan.mask(mask.p, h, w, ps, cap, rc, cc); });
    FUZZ_CHECK(hsv == of_mask);
    return 0;
}
