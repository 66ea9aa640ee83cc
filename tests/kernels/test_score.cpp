// The scoring kernels of every kernel table this CPU runs against the
// scalar ones: the counts (early exits included) and the masks on random
// point lists of every length up to a few blocks, coordinates small, wide
// and near the int32 limits, tests with and without inliers; and the float
// pass's error bound.

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "kernels/kernels.h"
#include "random_points.h"
#include "ransac/score.h"

namespace kt {
namespace {

using quorvane::BandTest;
using quorvane::Conic;
using quorvane::Kernels;
using quorvane::RingTest;
using quorvane::ScoreKernels;

/// A band through two points of the list (as the line fitter makes them),
/// or an arbitrary one.
BandTest random_band(Rng& r, const Points& ps) {
    const int64_t n = static_cast<int64_t>(ps.size() / 2);
    if (n < 2 || r.range(0, 5) == 0) return {r.i32(), r.i32(), r.i32(), r.i32()};
    const int64_t i = r.range(0, n - 1), j = r.range(0, n - 1);
    const int32_t nx = quorvane::sub32(ps[2 * j + 1], ps[2 * i + 1]), ny = quorvane::sub32(ps[2 * i], ps[2 * j]);
    const int32_t c = quorvane::neg32(quorvane::add32(quorvane::mul32(nx, ps[2 * i]), quorvane::mul32(ny, ps[2 * i + 1])));
    const int32_t s = static_cast<int32_t>(r.range(-3, 5000));
    return {nx, ny, quorvane::add32(c, s), quorvane::sub32(c, s)};
}

RingTest random_ring(Rng& r, const Points& ps) {
    const int64_t n = static_cast<int64_t>(ps.size() / 2);
    if (n < 1 || r.range(0, 5) == 0) return {r.i32(), r.i32(), r.i32(), r.i32()};
    const int64_t i = r.range(0, n - 1), j = r.range(0, n - 1);
    const RingTest probe{ps[2 * i], ps[2 * i + 1], 0, 0};
    const int32_t dx = quorvane::sub32(ps[2 * j], probe.cx), dy = quorvane::sub32(ps[2 * j + 1], probe.cy);
    const int32_t d = quorvane::add32(quorvane::mul32(dx, dx), quorvane::mul32(dy, dy));  // on the ring
    const int32_t w = static_cast<int32_t>(r.range(0, 3) == 0 ? r.range(-50, 0) : r.range(0, 1 << 20));
    switch (r.range(0, 2)) {  // that point on the inner edge, the outer edge, or inside
        case 0: return {probe.cx, probe.cy, d, quorvane::add32(d, w)};
        case 1: return {probe.cx, probe.cy, quorvane::sub32(d, w), d};
        default: return {probe.cx, probe.cy, quorvane::sub32(d, w), quorvane::add32(d, w)};
    }
}

/// Conics whose value at a point of the list is 0 or within rounding of it,
/// so that the order of the operations decides the sign.
Conic random_conic(Rng& r, const Points& ps, double shift) {
    Conic c{};
    double* f = &c.xx;
    for (int j = 0; j < 5; ++j) {
        f[j] = r.range(0, 1) ? static_cast<double>(r.range(-4, 4))
                             : std::ldexp(static_cast<double>(r.i32()), -static_cast<int>(r.next() % 40));
    }
    const int64_t n = static_cast<int64_t>(ps.size() / 2);
    if (n > 0) {
        const int64_t k = r.range(0, n - 1);
        const double x = ps[2 * k], y = ps[2 * k + 1];
        c.c = -(c.xx * x * x + c.xy * x * y + c.yy * y * y + c.x * x + c.y * y) + shift;
    }
    if (r.range(0, 9) == 0) c.c = r.range(0, 1) ? __builtin_nan("") : __builtin_inf();
    return c;
}

/// Sets up the float pass of `s` for the points, as the ellipse fitter does
/// (without its check that the pass pays).
bool float_pass(quorvane::ShellTest& s, const int32_t* p, int64_t n) {
    return quorvane::shell_bounds(s, quorvane::bounding_box(p, n));
}

/// The mask after `mark`, with guard bytes after the n marked ones.
template <class F>
std::vector<uint8_t> marked(int64_t n, F mark) {
    std::vector<uint8_t> ms(static_cast<std::size_t>(n) + 64, 0xa5);
    mark(ms.data());
    return ms;
}

void compare_scorers(const Kernels& table, Rng& r, int rounds) {
    const ScoreKernels &k = table.score, &s = quorvane::kScoreScalar;
    long bad = 0, narrow_rounds = 0, quick_rounds = 0;
    for (int round = 0; round < rounds && bad < 5; ++round) {
        const int64_t n = round < rounds / 2 ? round : r.range(0, 2100);
        const Range range = static_cast<Range>(r.range(0, 4) == 0 ? r.range(1, 4) : 0);
        const Points ps = random_points(r, n, range);
        const int32_t* p = ps.data();
        // best: none yet, a few, most or all of the points (early exits).
        const int64_t best = r.range(0, 2) == 0 ? 0 : r.range(-1, n + 1);
        BandTest b1 = random_band(r, ps), b2 = random_band(r, ps);
        RingTest ring = random_ring(r, ps);
        // The 16-bit paths where they may run (every other round), else the
        // 32-bit ones on the same data.
        if (round % 2 == 0) {
            const quorvane::Box box = quorvane::bounding_box(p, n);
            for (BandTest* b : {&b1, &b2}) {
                b->narrow = quorvane::box_fits16(box, 0, 0) && quorvane::fits16(b->a) && quorvane::fits16(b->b);
            }
            ring.narrow = quorvane::box_fits16(box, ring.cx, ring.cy);
            narrow_rounds += b1.narrow + ring.narrow;
        }
        quorvane::ShellTest shell{random_conic(r, ps, 0.0), random_conic(r, ps, r.range(0, 1) ? 0.0 : 1e-9), {}, {}, 0, 0};
        if (round % 2 == 1) quick_rounds += float_pass(shell, p, n);
        const std::string at = format("%s n=%lld best=%lld range=%d round=%d narrow=%d%d", table.name,
                                      static_cast<long long>(n), static_cast<long long>(best), static_cast<int>(range),
                                      round, b1.narrow, ring.narrow);
        bool ok = true;
        ok &= check(k.line(p, n, best, b1) == s.line(p, n, best, b1), "line count, %s", at.c_str());
        ok &= check(k.pair(p, n, best, b1, b2) == s.pair(p, n, best, b1, b2), "pair count, %s", at.c_str());
        ok &= check(k.ring(p, n, best, ring) == s.ring(p, n, best, ring), "ring count, %s", at.c_str());
        ok &= check(k.shell(p, n, best, shell) == s.shell(p, n, best, shell), "shell count (float pass %d), %s",
                    shell.quick, at.c_str());
        const auto ml = [&](const ScoreKernels& q) { return marked(n, [&](uint8_t* m) { q.mark_line(p, n, m, b1); }); };
        const auto mp = [&](const ScoreKernels& q) {
            return marked(n, [&](uint8_t* m) { q.mark_pair(p, n, m, b1, b2); });
        };
        ok &= check(ml(k) == ml(s), "line marks, %s", at.c_str());
        ok &= check(mp(k) == mp(s), "pair marks, %s", at.c_str());
        bad += !ok;
    }
    check(narrow_rounds > rounds / 4, "%s: the 16-bit paths ran in only %ld rounds", table.name, narrow_rounds);
    check(quick_rounds > rounds / 8, "%s: the float pass ran in only %ld rounds", table.name, quick_rounds);
}

/// The float pass hands a candidate to the double one when a block leaves
/// too many points open: rings whose edges run through many points of the
/// list (points repeated on them), at every early-exit bound.
void compare_shell_handoff(const Kernels& table, Rng& r) {
    const ScoreKernels &k = table.score, &s = quorvane::kScoreScalar;
    long bad = 0, handed = 0;
    for (int round = 0; round < 400 && bad < 5; ++round) {
        const int64_t n = r.range(60, 700);
        Points ps = random_points(r, n, kImage);
        quorvane::ShellTest shell{random_conic(r, ps, 0.0), random_conic(r, ps, 0.0), {}, {}, 0, 0};
        // Copies of a point on each edge from some block on.
        const int64_t from = r.range(0, n - 1);
        for (const Conic* c : {&shell.inner, &shell.outer}) {
            for (int64_t j = 0; j < n; ++j) {
                const double x = ps[2 * j], y = ps[2 * j + 1];
                if (j >= from && quorvane::conic_eval(*c, x, y) == 0.0) {
                    for (int64_t q = from; q < n; q += r.range(2, 9)) ps[2 * q] = ps[2 * j], ps[2 * q + 1] = ps[2 * j + 1];
                    break;
                }
            }
        }
        if (!float_pass(shell, ps.data(), n)) continue;
        ++handed;
        for (const int64_t best : {int64_t{-1}, int64_t{0}, n / 3, n / 2, n - 1}) {
            bad += !check(k.shell(ps.data(), n, best, shell) == s.shell(ps.data(), n, best, shell),
                          "%s: shell count with many points on an edge, round %d n=%lld best=%lld", table.name, round,
                          static_cast<long long>(n), static_cast<long long>(best));
        }
    }
    check(handed > 100, "%s: the float pass was set up in only %ld rounds", table.name, handed);
}

/// Bands whose tests t + c1 >= 0, t + c2 <= 0 are checked at the edges of
/// each test and of the int32 range: with a = 1, b = 0, t is x itself, so
/// the points sit exactly on every edge (the vector kernels fold the two
/// tests into one interval of t when they can).
void compare_band_edges(const Kernels& table, Rng& r) {
    const ScoreKernels &k = table.score, &s = quorvane::kScoreScalar;
    long bad = 0;
    for (int round = 0; round < 3000 && bad < 5; ++round) {
        int32_t c1 = r.i32(), c2 = r.i32();
        if (round % 3 != 0) {  // as the fitters make them: c +- trunc(delta * |n|)
            const int32_t c = r.i32();
            const int32_t w = static_cast<int32_t>(round % 3 == 1 ? r.range(-3, 3) : r.range(-100000, 1 << 30));
            c1 = quorvane::add32(c, w), c2 = quorvane::sub32(c, w);
            if (r.range(0, 15) == 0) c1 = c2 = quorvane::add32(c, INT32_MIN);  // an out-of-range shift
        }
        Points ps;
        const uint32_t s1 = 0u - static_cast<uint32_t>(c1), s2 = 0x80000000u - static_cast<uint32_t>(c2);
        for (uint32_t base : {s1, s1 + 0x80000000u, s2, s2 + 0x80000000u, 0u, 0x80000000u}) {
            for (uint32_t off : {0xfffffffeu, 0xffffffffu, 0u, 1u, 2u}) {
                ps.push_back(static_cast<int32_t>(base + off));
                ps.push_back(static_cast<int32_t>(r.next()));
            }
        }
        for (int j = 0; j < 10; ++j) ps.push_back(r.i32()), ps.push_back(r.i32());
        const int64_t n = static_cast<int64_t>(ps.size() / 2);
        const BandTest b{1, 0, c1, c2}, other{0, 1, r.i32(), r.i32()};
        const int32_t* p = ps.data();
        bool ok = check(k.line(p, n, -1, b) == s.line(p, n, -1, b), "%s: band edges, c1=%d c2=%d", table.name, c1, c2);
        ok &= check(k.pair(p, n, -1, b, other) == s.pair(p, n, -1, b, other), "%s: band edges (pair), c1=%d c2=%d",
                    table.name, c1, c2);
        bad += !ok;
    }
}

/// The mask inside the point list (above its first byte): the vector
/// marking must give way to the scalar order.
void compare_aliased_marks(const Kernels& table, Rng& r) {
    for (int off : {0, 1, 3, 8, 17, 64}) {
        for (int64_t n : {int64_t{5}, int64_t{40}, int64_t{300}}) {
            std::vector<uint8_t> want, got;
            for (const ScoreKernels* q : {&quorvane::kScoreScalar, &table.score}) {
                Rng rr{static_cast<uint64_t>(off * 1000 + n)};
                Points ps = random_points(rr, n, kImage);
                const BandTest b = random_band(rr, ps);
                // Room for the mask's last byte when it starts past most of the list.
                ps.resize(std::max(ps.size(), static_cast<std::size_t>(off + n + 3) / 4), 0);
                auto* bytes = reinterpret_cast<uint8_t*>(ps.data());
                q->mark_line(ps.data(), n, bytes + off, b);
                (q == &table.score ? got : want).assign(bytes, bytes + ps.size() * 4);
            }
            check(got == want, "%s: mask inside the point list at byte %d, n=%lld", table.name, off,
                  static_cast<long long>(n));
        }
    }
    (void)r;
}

/// The float pass's bound itself: at random points of the box it was made
/// for, the float and the double values of each conic differ by at most t.
/// Conics of ellipses as the fitter makes them, and arbitrary ones with
/// coefficients over a wide range of magnitudes (subnormal floats
/// included); coordinates up to 2^24.
void check_float_bound(Rng& r, int rounds) {
    long bad = 0, set_up = 0;
    for (int round = 0; round < rounds && bad < 5; ++round) {
        const double X = static_cast<double>(r.range(0, 3) == 0 ? r.range(0, 1 << 24) : r.range(0, 5000));
        const double Y = static_cast<double>(r.range(0, 3) == 0 ? r.range(0, 1 << 24) : r.range(0, 5000));
        Conic c{};
        double* f = &c.xx;
        for (int j = 0; j < 6; ++j) {
            const double m = static_cast<double>(r.i32()) / 2147483648.0;
            f[j] = r.range(0, 5) == 0 ? 0.0 : std::ldexp(m, static_cast<int>(r.range(-160, 100)));
        }
        if (round % 2 == 0) {  // an ellipse inside the box, as ellipse_coeffs gives it
            const double a = static_cast<double>(r.range(1, 400)), b = static_cast<double>(r.range(1, 400));
            const double t = static_cast<double>(r.range(0, 314)) / 100.0, s = std::sin(t), k = std::cos(t);
            const double x0 = static_cast<double>(r.range(0, static_cast<int64_t>(X))),
                         y0 = static_cast<double>(r.range(0, static_cast<int64_t>(Y)));
            c = quorvane::ransac_detail::ellipse_coeffs(x0, y0, a, b, s, k);
        }
        quorvane::ShellTest st{c, c, {}, {}, 0, 0};
        if (!quorvane::shell_bounds(st, X, Y)) continue;
        ++set_up;
        double worst = 0.0;
        for (int j = 0; j < 64; ++j) {
            const int32_t x = static_cast<int32_t>(r.range(-static_cast<int64_t>(X), static_cast<int64_t>(X)));
            const int32_t y = static_cast<int32_t>(r.range(-static_cast<int64_t>(Y), static_cast<int64_t>(Y)));
            const double d = quorvane::conic_eval(c, x, y);
            const float e = quorvane::conic_eval_f(st.fi, static_cast<float>(x), static_cast<float>(y));
            worst = std::max(worst, std::fabs(static_cast<double>(e) - d));
        }
        bad += !check(worst <= st.ti, "float bound, round %d: difference %g beyond the bound %g", round, worst,
                      static_cast<double>(st.ti));
    }
    check(set_up > rounds / 2, "the float bound was set up in only %ld of %d rounds", set_up, rounds);
}

}  // namespace

void score_tests(bool quick) {
    {
        Rng r{0xf10a7};
        check_float_bound(r, quick ? 2000 : 20000);
    }
    const std::vector<const Kernels*> tables = scoring_tables();
    std::printf("scoring kernels against scalar:");
    for (const Kernels* t : tables) std::printf(" %s", t->name);
    std::printf("%s\n", tables.empty() ? " none on this CPU" : "");
    for (const Kernels* t : tables) {
        Rng r{0x5c0e + static_cast<uint64_t>(std::strlen(t->name))};
        compare_scorers(*t, r, quick ? 300 : 1500);
        compare_band_edges(*t, r);
        compare_shell_handoff(*t, r);
        compare_aliased_marks(*t, r);
    }
}

}  // namespace kt
