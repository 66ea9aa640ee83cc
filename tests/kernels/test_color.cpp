// Every colour kernel this CPU runs against the scalar pass: random images
// and bounds (entries within and beyond int16, wrapping products, empty and
// full windows), every size up to a few blocks, in-place and overlapping
// outputs, and all 2^24 colours.

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "check.h"
#include "color/color.h"
#include "color/color_impl.h"
#include "kernels/kernels.h"

namespace kt {
namespace {

using quorvane::ImagePass;
using quorvane::Kernels;
using quorvane::LchBounds;

// Windows of calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)) and
// ((2.0, 2.6), (0.05, 0.3), (0.2, 0.7)).
constexpr LchBounds kLch1{{6554, 58982}, {7468, 44807}, {146, -304, 158, 146, 158, -304, 85, 85, 85}};
constexpr LchBounds kLch2{{13107, 45875}, {3430, 20580}, {234, 220, -453, -412, 43, 370, 85, 85, 85}};
constexpr LchBounds kSweep[] = {
    kLch1,
    kLch2,
    {{INT32_MIN, INT32_MAX}, {0, 1 << 30}, {1 << 24, 3, -5, 7, 1 << 23, 1, 3 << 22, 1 << 21, 99999}},
    {{-100000, 2000000}, {0, INT32_MAX}, {32767, -32768, 32767, 32767, 32767, -32768, -32768, 32767, 1}},
    {{-100000, 2000000}, {0, INT32_MAX}, {32767, -32768, 32767, 32767, 32767, -32768, 32768, 32767, 1}},
};

int32_t dot(const int32_t* m, const uint8_t* c) { return quorvane::detail::dot3(m, c); }

/// A window from sampled values of the image, so that equality happens.
void window(Rng& r, const std::vector<int32_t>& vals, int32_t (&w)[2]) {
    switch (r.range(0, 6)) {
        case 0:
            w[0] = INT32_MIN, w[1] = INT32_MAX;
            return;
        case 1:
            w[0] = r.i32(), w[1] = r.i32();
            return;
        case 2: {  // no integer strictly inside
            const int64_t lo = vals[r.range(0, vals.size() - 1)];
            w[0] = static_cast<int32_t>(lo);
            w[1] = static_cast<int32_t>(std::max<int64_t>(lo + r.range(-2, 1), INT32_MIN));
            return;
        }
        default: {
            int64_t a = vals[r.range(0, vals.size() - 1)], b = vals[r.range(0, vals.size() - 1)];
            if (a > b) std::swap(a, b);
            w[0] = static_cast<int32_t>(std::max<int64_t>(a - r.range(0, 1), INT32_MIN));
            w[1] = static_cast<int32_t>(std::min<int64_t>(b + r.range(0, 1), INT32_MAX));
        }
    }
}

/// kind 0: entries within int16; 1: any int32; 2: the LCH windows' matrices;
/// 3..6: small entries and one of 32768, -32769, 2^24, INT32_MIN.
LchBounds random_bounds(Rng& r, int kind) {
    static constexpr int32_t kBeyond[] = {32768, -32769, 1 << 24, INT32_MIN};
    LchBounds b{};
    for (int j = 0; j < 9; ++j) {
        if (kind == 0) b.M[j] = static_cast<int32_t>(r.range(-32768, 32767));
        else if (kind == 1) b.M[j] = r.i32();
        else if (kind == 2) b.M[j] = (r.next() & 1 ? kLch1 : kLch2).M[j];
        else b.M[j] = static_cast<int32_t>(r.range(-400, 400));
    }
    if (kind >= 3) b.M[r.range(0, 8)] = kBeyond[kind - 3];
    std::vector<int32_t> vi, vc;
    for (int k = 0; k < 64; ++k) {
        const uint8_t c[3] = {static_cast<uint8_t>(r.next()), static_cast<uint8_t>(r.next()),
                              static_cast<uint8_t>(r.next())};
        vi.push_back(dot(b.M + 6, c));
        vc.push_back(quorvane::add32(dot(b.M, c), dot(b.M + 3, c)));
    }
    window(r, vi, b.i);
    window(r, vc, b.c);
    return b;
}

std::string show(const LchBounds& b) {
    return format("i=(%d,%d) c=(%d,%d) M=[%d %d %d %d %d %d %d %d %d]", b.i[0], b.i[1], b.c[0], b.c[1], b.M[0],
                  b.M[1], b.M[2], b.M[3], b.M[4], b.M[5], b.M[6], b.M[7], b.M[8]);
}

/// Runs `pass` of `k` and of scalar on the same buffer layout and compares
/// every byte of it. offset == LONG_MIN: a separate output with guard bytes;
/// otherwise the output starts `offset` bytes after the image's first byte.
bool same_as_scalar(const Kernels& t, bool sel, const std::vector<uint8_t>& image, const LchBounds& b,
                    long offset, const char* what) {
    const std::size_t n = image.size() / 3;
    const quorvane::ColorKernels &k = t.color, &s = quorvane::kColorScalar;
    const ImagePass kp = sel ? k.selective : k.mask, sp = sel ? s.selective : s.mask;
    std::vector<uint8_t> got, want;
    if (offset == LONG_MIN) {
        got.assign(n + 64, 0xa5);
        want = got;
        kp(image.data(), got.data() + 32, n, b);
        sp(image.data(), want.data() + 32, n, b);
    } else {
        const std::size_t pad = static_cast<std::size_t>(offset < 0 ? -offset : offset) + 32;
        got.assign(image.size() + 2 * pad, 0x5a);
        std::memcpy(got.data() + pad, image.data(), image.size());
        want = got;
        kp(got.data() + pad, got.data() + pad + offset, n, b);
        sp(want.data() + pad, want.data() + pad + offset, n, b);
    }
    std::size_t first = 0;
    while (first < got.size() && got[first] == want[first]) ++first;
    return check(first == got.size(), "%s %s %s, %zu pixels, %s: byte %zu is %d, scalar %d", t.name,
                 sel ? "selective" : "mask", what, n, show(b).c_str(), first,
                 first < got.size() ? got[first] : -1, first < want.size() ? want[first] : -1);
}

std::vector<uint8_t> random_image(Rng& r, std::size_t n) {
    std::vector<uint8_t> img(3 * n);
    for (auto& v : img) v = static_cast<uint8_t>(r.next());
    return img;
}

void compare_kernel(const Kernels& k, bool quick) {
    Rng r{0x5eed0001};
    // Every size up to a few blocks of the widest kernel, fresh output.
    for (std::size_t n = 0; n <= 200; ++n) {
        const auto img = random_image(r, n);
        for (int sel = 0; sel < 2; ++sel) same_as_scalar(k, sel, img, random_bounds(r, n % 7), LONG_MIN, "fresh");
    }
    // In place and overlapping, at sizes around the block limits.
    static constexpr long kOffsets[] = {0, -1, -7, -40, 1, 2, 3, 5, 40};
    for (std::size_t n : {17, 18, 19, 35, 36, 37, 69, 70, 71, 137, 1000}) {
        for (long off : kOffsets) {
            const auto img = random_image(r, n);
            for (int sel = 0; sel < 2; ++sel) {
                same_as_scalar(k, sel, img, random_bounds(r, static_cast<int>(r.range(0, 6))), off,
                               format("output at image%+ld", off).c_str());
            }
        }
    }
    // Larger random images.
    for (int t = 0; t < (quick ? 20 : 100); ++t) {
        const auto img = random_image(r, static_cast<std::size_t>(r.range(200, 5000)));
        for (int sel = 0; sel < 2; ++sel) {
            same_as_scalar(k, sel, img, random_bounds(r, t % 7), t % 3 ? LONG_MIN : -3 * (t % 5), "random");
        }
    }
    // Windows with no integer strictly inside, next to one open to all.
    static constexpr int32_t kEmpty[][2] = {{5, 6},         {7, 7}, {10, 3}, {INT32_MAX, INT32_MAX},
                                           {INT32_MIN, INT32_MIN + 1}, {INT32_MAX, INT32_MIN}};
    const auto img = random_image(r, 300);
    for (const auto& w : kEmpty) {
        for (int which = 0; which < 2; ++which) {
            LchBounds b = kLch1;
            int32_t* set = which ? b.c : b.i;
            int32_t* open = which ? b.i : b.c;
            set[0] = w[0], set[1] = w[1], open[0] = INT32_MIN, open[1] = INT32_MAX;
            same_as_scalar(k, false, img, b, LONG_MIN, "empty window");
        }
    }
}

/// All 2^24 colours, once per sweep window, against scalar outputs
/// computed once.
void all_colours(const std::vector<const Kernels*>& ks) {
    std::vector<uint8_t> img(3u << 24);
    for (uint32_t p = 0; p < (1u << 24); ++p) {
        img[3 * p] = static_cast<uint8_t>(p >> 16);
        img[3 * p + 1] = static_cast<uint8_t>(p >> 8);
        img[3 * p + 2] = static_cast<uint8_t>(p);
    }
    std::vector<uint8_t> want(1u << 24), got(1u << 24);
    for (const LchBounds& b : kSweep) {
        for (int sel = 0; sel < 2; ++sel) {
            const quorvane::ColorKernels& s = quorvane::kColorScalar;
            (sel ? s.selective : s.mask)(img.data(), want.data(), want.size(), b);
            std::size_t inside = 0;
            for (uint8_t v : want) inside += v != 0;
            check(inside > 0 && inside < want.size(), "all colours %s: the window holds %zu of 2^24",
                  show(b).c_str(), inside);
            for (const Kernels* k : ks) {
                (sel ? k->color.selective : k->color.mask)(img.data(), got.data(), got.size(), b);
                const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
                const std::size_t at = static_cast<std::size_t>(diff.first - got.begin());
                check(at == got.size(), "%s %s all colours, %s: colour %06zx gives %d, scalar %d", k->name,
                      sel ? "selective" : "mask", show(b).c_str(), at, at < got.size() ? got[at] : -1,
                      at < got.size() ? want[at] : -1);
            }
        }
    }
}

}  // namespace

void color_tests(bool quick) {
    const std::vector<const Kernels*> runs = runnable_tables(false);
    for (const Kernels* k : runs) {
        std::printf("colour passes of %s against scalar\n", k->name);
        compare_kernel(*k, quick);
    }
    if (!runs.empty()) all_colours(runs);
}

}  // namespace kt
