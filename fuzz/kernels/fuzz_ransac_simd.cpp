// libFuzzer target: the scoring kernels of every kernel table this CPU runs
// against the scalar ones, on arbitrary points and tests: the four counts (with the early
// exit), the two markings (mask to the byte, so AddressSanitizer sees any
// write past it), the ellipse fitter's batched conic solve (the points taken
// five at a time as samples), and the four fitters draw for draw.
//
// Input: 4 bytes best (little-endian int32), 16 bytes band 1, 16 bytes band
// 2, 16 bytes ring, 2 x 48 bytes of conics (six doubles each), 4 bytes
// generator state, 1 control byte, then the points (8 bytes each; a
// trailing partial point is ignored). Control bits: 0-1 fitter iterations
// (0, 1, 20 or 100; bit 1 also: the ring's float pass when it applies),
// 2 the ring and the bands placed on the first points, 3 conics through
// the first point, 4-7 the fitters' delta (-2 .. 13).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_common.h"
#include "ransac/ransac.h"
#include "ransac/score.h"

namespace {

using quorvane::BandTest;
using quorvane::Conic;
using quorvane::Kernels;
using quorvane::RingTest;
using quorvane::ScoreKernels;

int32_t read32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

[[noreturn]] void differs(const Kernels* k, const char* what, std::size_t n) {
    std::fprintf(stderr, "%s %s differs from scalar (%zu points)\n", k->name, what, n);
    std::abort();
}

/// The mask `mark` writes, in an allocation of exactly n bytes.
template <class F>
std::vector<uint8_t> marks(std::size_t n, F mark) {
    std::unique_ptr<uint8_t[]> ms(new uint8_t[n == 0 ? 1 : n]);
    std::memset(ms.get(), 0xa5, n);
    mark(ms.get());
    return std::vector<uint8_t>(ms.get(), ms.get() + n);
}

/// Equal bits, or both NaN (a NaN candidate never scores).
bool same_fit(const quorvane::ConicFit& a, const quorvane::ConicFit& b) {
    const double* x = &a.x;
    const double* y = &b.x;
    for (int f = 0; f < 8; ++f) {
        if (std::memcmp(x + f, y + f, sizeof(double)) != 0 && !(x[f] != x[f] && y[f] != y[f])) return false;
    }
    return true;
}

constexpr std::size_t kHeader = 4 + 16 + 16 + 16 + 96 + 4 + 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < kHeader) return 0;
    const int64_t best = read32(data);
    BandTest b1{}, b2{};
    RingTest ring{};
    std::memcpy(&b1, data + 4, 16);  // a, b, c1, c2
    std::memcpy(&b2, data + 20, 16);
    std::memcpy(&ring, data + 36, 16);  // cx, cy, lo, hi
    Conic inner, outer;
    std::memcpy(&inner, data + 52, 48);
    std::memcpy(&outer, data + 100, 48);
    const uint32_t seed = static_cast<uint32_t>(read32(data + 148));
    const uint8_t ctl = data[152];
    const std::size_t n = (size - kHeader) / 8;
    // The points in an allocation of exactly their size.
    std::unique_ptr<int32_t[]> pts(new int32_t[2 * n + 1]);
    std::memcpy(pts.get(), data + kHeader, 8 * n);
    const int32_t* ps = pts.get();
    const int64_t m = static_cast<int64_t>(n);

    if ((ctl & 4) && n >= 2) {  // tests through the points, so that inliers exist
        using namespace quorvane;
        b1.a = sub32(ps[3], ps[1]), b1.b = sub32(ps[0], ps[2]);
        const int32_t c = neg32(add32(mul32(b1.a, ps[0]), mul32(b1.b, ps[1])));
        b1.c1 = add32(c, b1.c1 & 0xff), b1.c2 = sub32(c, b1.c2 & 0xff);
        ring.cx = ps[0], ring.cy = ps[1];
        const int32_t dx = sub32(ps[2], ps[0]), dy = sub32(ps[3], ps[1]);
        const int32_t d = add32(mul32(dx, dx), mul32(dy, dy));
        ring.lo = sub32(d, ring.lo & 0xfff), ring.hi = add32(d, ring.hi & 0xfff);
    }
    if ((ctl & 8) && n >= 1) {
        for (Conic* c : {&inner, &outer}) {
            const double x = ps[0], y = ps[1];
            c->c = -(c->xx * x * x + c->xy * x * y + c->yy * y * y + c->x * x + c->y * y);
        }
    }

    // The 16-bit paths where they may run.
    const quorvane::Box box = quorvane::bounding_box(ps, m);
    for (BandTest* b : {&b1, &b2}) {
        b->narrow = quorvane::box_fits16(box, 0, 0) && quorvane::fits16(b->a) && quorvane::fits16(b->b);
    }
    ring.narrow = quorvane::box_fits16(box, ring.cx, ring.cy);

    const ScoreKernels& s = quorvane::kScoreScalar;
    const Kernels& scalar = quorvane::kernels_scalar();
    const int64_t line = s.line(ps, m, best, b1), pair = s.pair(ps, m, best, b1, b2);
    // The float pass of the ring when it can be set up for these points.
    quorvane::ShellTest st{inner, outer, {}, {}, 0, 0};
    if (ctl & 2) quorvane::shell_bounds(st, box);
    const int64_t rng = s.ring(ps, m, best, ring), shell = s.shell(ps, m, best, st);
    const auto ml = marks(n, [&](uint8_t* ms) { s.mark_line(ps, m, ms, b1); });
    const auto mp = marks(n, [&](uint8_t* ms) { s.mark_pair(ps, m, ms, b1, b2); });
    static constexpr int32_t kCounts[] = {0, 1, 20, 100};
    const int32_t count = kCounts[ctl & 3];
    const int32_t delta = (ctl >> 4) - 2;
    std::vector<uint8_t> ms0(n + 1), ms1(n + 1);
    const quorvane::Line fl = quorvane::ransac_line(scalar, ps, m, ms0.data(), seed, count, delta, 0.1);
    const quorvane::Line2 fp = quorvane::ransac_line2(scalar, ps, m, ms1.data(), seed, count, 0.5, delta);
    const quorvane::Circle fc = quorvane::ransac_circle(scalar, ps, m, seed, count, 0, 1 << 20, delta);
    const quorvane::Ellipse fe = quorvane::ransac_ellipse(scalar, ps, m, seed, count, 0, 1 << 20, 4.0, delta);
    // Up to kConicBatch samples of five points from the list.
    int32_t samples[quorvane::kConicBatch][5][2];
    const int batch = static_cast<int>(n / 5 < quorvane::kConicBatch ? n / 5 : quorvane::kConicBatch);
    std::memcpy(samples, ps, sizeof(int32_t) * 10 * static_cast<std::size_t>(batch));
    quorvane::ConicFit fits[quorvane::kConicBatch], kfits[quorvane::kConicBatch];
    const uint32_t usable = batch > 0 ? s.conics(samples, batch, fits) : 0;

    // Each set of scoring kernels once (the SSE4.1 table scores with SSE2's).
    static const std::vector<const Kernels*> tables = [] {
        std::vector<const Kernels*> v;
        for (const Kernels* k : fuzz::tables(false)) {
            bool seen = false;
            for (const Kernels* o : v) seen = seen || o->score.line == k->score.line;
            if (!seen) v.push_back(k);
        }
        return v;
    }();
    for (const Kernels* k : tables) {
        if (k->score.line(ps, m, best, b1) != line) differs(k, "line count", n);
        if (k->score.pair(ps, m, best, b1, b2) != pair) differs(k, "pair count", n);
        if (k->score.ring(ps, m, best, ring) != rng) differs(k, "ring count", n);
        if (k->score.shell(ps, m, best, st) != shell) differs(k, "shell count", n);
        if (marks(n, [&](uint8_t* ms) { k->score.mark_line(ps, m, ms, b1); }) != ml) differs(k, "line marks", n);
        if (marks(n, [&](uint8_t* ms) { k->score.mark_pair(ps, m, ms, b1, b2); }) != mp) differs(k, "pair marks", n);
        if (batch > 0) {
            const uint32_t kusable = k->score.conics(samples, batch, kfits);
            if (kusable != usable) differs(k, "conics", n);
            for (int j = 0; j < batch; ++j) {
                if (((usable >> j) & 1u) != 0 && !same_fit(kfits[j], fits[j])) differs(k, "conic fit", n);
            }
        }
        std::vector<uint8_t> ks0(n + 1), ks1(n + 1);
        const quorvane::Line gl = quorvane::ransac_line(*k, ps, m, ks0.data(), seed, count, delta, 0.1);
        const quorvane::Line2 gp = quorvane::ransac_line2(*k, ps, m, ks1.data(), seed, count, 0.5, delta);
        const quorvane::Circle gc = quorvane::ransac_circle(*k, ps, m, seed, count, 0, 1 << 20, delta);
        const quorvane::Ellipse ge = quorvane::ransac_ellipse(*k, ps, m, seed, count, 0, 1 << 20, 4.0, delta);
        if (std::memcmp(&gl, &fl, sizeof gl) != 0 || ks0 != ms0) differs(k, "ransac_line", n);
        if (std::memcmp(&gp, &fp, sizeof gp) != 0 || ks1 != ms1) differs(k, "ransac_line2", n);
        if (std::memcmp(&gc, &fc, sizeof gc) != 0) differs(k, "ransac_circle", n);
        if (std::memcmp(&ge, &fe, sizeof ge) != 0) differs(k, "ransac_ellipse", n);
    }
    return 0;
}
