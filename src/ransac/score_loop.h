// The one scoring and marking loop of the fitters, over the primitives of
// one instruction set (kernels/generic.h lists them; QV_TARGET is the set's
// function attribute): ScoreLoop<I>'s static functions are the ScoreKernels
// of instruction set I, except the conics (conic_loop.h).
//
// The counts follow the scalar reference (count_inliers in sampling.h)
// block for block, so they return the very same numbers: blocks of
// kCountBlock points (kShellBlock for the conics), after each full block a
// check whether the points left can still lift the count above `best`, the
// last partial block counted whole (its whole vectors, then its last points
// with the scalar test).
#pragma once

#ifndef QV_TARGET
#error "define QV_TARGET before including score_loop.h"
#endif

#include <cstddef>
#include <cstdint>

#include "ransac/score.h"

namespace quorvane::detail {
namespace {

/// The band's two tests, t + c1 >= 0 and t + c2 <= 0 (wrapping), as one
/// interval of t modulo 2^32 when they are one (the usual case): then
/// inside <=> (uint32)(t - lo) <= width. Each test alone is an interval:
/// t - s1 in [0, 2^31) with s1 = -c1, and t - s2 in [0, 2^31] with
/// s2 = 2^31 - c2. False when the intersection is empty or two intervals.
inline bool band_interval(const BandTest& b, uint32_t& lo, uint32_t& width) noexcept {
    constexpr uint64_t kHalf = uint64_t{1} << 31, kFull = uint64_t{1} << 32;
    const uint32_t s1 = 0u - static_cast<uint32_t>(b.c1);
    const uint32_t s2 = static_cast<uint32_t>(kHalf) - static_cast<uint32_t>(b.c2);
    const uint64_t len1 = kHalf, len2 = kHalf + 1;
    // The second interval from the first one's start: [d, d + len2) mod 2^32.
    const uint64_t d = static_cast<uint32_t>(s2 - s1);
    const bool head = d < len1;           // [d, min(d + len2, len1))
    const bool wrap = d + len2 > kFull;   // [0, min(d + len2 - 2^32, len1))
    if (head == wrap) return false;
    const uint64_t from = head ? d : 0;
    const uint64_t end = head ? d + len2 : d + len2 - kFull;
    const uint64_t to = end < len1 ? end : len1;
    lo = s1 + static_cast<uint32_t>(from);
    width = static_cast<uint32_t>(to - from - 1);
    return true;
}

/// The vector marking runs unless the mask starts inside the point list
/// above its first byte: then a store could change points not read yet,
/// and the scalar pass (point k read before byte k is written) defines the
/// result.
inline bool vector_marking(const int32_t* ps, int64_t n, const uint8_t* ms) noexcept {
    const auto p = reinterpret_cast<std::uintptr_t>(ps), m = reinterpret_cast<std::uintptr_t>(ms);
    return m <= p || (m - p) / 8 >= static_cast<std::uintptr_t>(n);
}

template <class I>
struct ScoreLoop {
    using Pts = typename I::Pts;
    using V = typename I::V;
    using M = typename I::M;

    /// A signed comparison for (uint32)(v - lo) <= width: the sign bits of
    /// both sides flipped, the flip folded into the subtracted constant.
    struct Interval {
        V k, w;
        QV_TARGET Interval(uint32_t lo, uint32_t width) noexcept
            : k(I::splat(static_cast<int32_t>(lo ^ 0x80000000u))),
              w(I::splat(static_cast<int32_t>(width ^ 0x80000000u))) {}
        QV_TARGET M contains(V v) const noexcept { return I::le(I::sub(v, k), w); }
    };

    /// x_p x_q + y_p y_q for counting; Narrow: the coordinates lie in int16.
    template <bool Narrow>
    QV_TARGET static V dot_counted(const Pts& p, const Pts& q) noexcept {
        if constexpr (Narrow) {
            return I::dot16(p, q);
        } else {
            return I::template dot<false>(p, q);
        }
    }

    /// What the counting loop needs to know of the integer tests (lines,
    /// pairs, circles): one point per 32-bit lane, blocks of kCountBlock.
    struct IntegerTest {
        static constexpr bool kDouble = false;
        static constexpr bool kQuick = false;
        static constexpr int kStep = I::kLanes;
        static constexpr int64_t kBlock = kCountBlock;
    };

    /// Band of a line: t + c1 >= 0 and t + c2 <= 0 with t = a x + b y; as one
    /// interval of t (OneInterval, band_interval true) or two comparisons.
    template <bool OneInterval>
    struct BandV {
        Pts ab;
        V c1, c2, m1, p1;
        Interval in;

        QV_TARGET BandV(const BandTest& b, uint32_t lo, uint32_t width) noexcept
            : ab(I::pair(b.a, b.b)), c1(I::splat(b.c1)), c2(I::splat(b.c2)), m1(I::splat(-1)),
              p1(I::splat(1)), in(lo, width) {}

        QV_TARGET M test(V t) const noexcept {
            if constexpr (OneInterval) {
                return in.contains(t);
            } else {
                return I::both(I::gt(I::add(t, c1), m1), I::gt(p1, I::add(t, c2)));
            }
        }
        template <bool Narrow>
        QV_TARGET M counted(const Pts& p) const noexcept { return test(dot_counted<Narrow>(p, ab)); }
        QV_TARGET M ordered(const Pts& p) const noexcept { return test(I::template dot<true>(p, ab)); }
    };

    template <bool Narrow, bool OneInterval>
    struct LineV : IntegerTest {
        BandTest b;
        BandV<OneInterval> v;
        QV_TARGET LineV(const BandTest& band, uint32_t lo, uint32_t width) noexcept : b(band), v(band, lo, width) {}
        QV_TARGET M inside(const int32_t* p) const noexcept { return v.template counted<Narrow>(I::load(p)); }
        bool scalar(int32_t x, int32_t y) const noexcept { return band_contains(b, x, y); }
    };

    template <bool Narrow, bool OneInterval>
    struct PairV : IntegerTest {
        BandTest b1, b2;
        BandV<OneInterval> v1, v2;
        QV_TARGET PairV(const BandTest& band1, const BandTest& band2, const uint32_t (&lo)[2],
                        const uint32_t (&width)[2]) noexcept
            : b1(band1), b2(band2), v1(band1, lo[0], width[0]), v2(band2, lo[1], width[1]) {}
        QV_TARGET M inside(const int32_t* p) const noexcept {
            const Pts q = I::load(p);
            return I::differ(v1.template counted<Narrow>(q), v2.template counted<Narrow>(q));
        }
        bool scalar(int32_t x, int32_t y) const noexcept {
            return band_contains(b1, x, y) != band_contains(b2, x, y);
        }
    };

    /// lo <= d <= hi for lo <= hi, as one unsigned comparison made signed:
    /// (uint32)(d - lo) <= (uint32)(hi - lo) with the sign bit of both sides
    /// flipped (the flip folded into the subtracted constant).
    template <bool Narrow>
    struct RingV : IntegerTest {
        RingTest r;
        Pts c;
        V k, w;
        QV_TARGET explicit RingV(const RingTest& ring) noexcept
            : r(ring),
              c(I::pair(ring.cx, ring.cy)),
              k(I::splat(static_cast<int32_t>(static_cast<uint32_t>(ring.lo) ^ 0x80000000u))),
              w(I::splat(static_cast<int32_t>(
                  (static_cast<uint32_t>(ring.hi) - static_cast<uint32_t>(ring.lo)) ^ 0x80000000u))) {}
        QV_TARGET M inside(const int32_t* p) const noexcept {
            const Pts d = I::sub(I::load(p), c);
            return I::le(I::sub(dot_counted<Narrow>(d, d), k), w);
        }
        bool scalar(int32_t x, int32_t y) const noexcept { return ring_contains(r, x, y); }
    };

    /// The two conics, evaluated term by term in the scalar order:
    /// ((((xx*x*x + xy*x*y) + yy*y*y) + cx*x) + cy*y) + c, products left to right.
    struct ShellV {
        static constexpr bool kDouble = true;
        static constexpr bool kQuick = false;
        static constexpr int kStep = I::kDLanes;
        static constexpr int64_t kBlock = kShellBlock;
        Conic ci, co;
        typename I::D i[6], o[6], zero;
        QV_TARGET ShellV(const Conic& inner, const Conic& outer) noexcept : ci(inner), co(outer) {
            const double vi[6] = {inner.xx, inner.xy, inner.yy, inner.x, inner.y, inner.c};
            const double vo[6] = {outer.xx, outer.xy, outer.yy, outer.x, outer.y, outer.c};
            for (int j = 0; j < 6; ++j) i[j] = I::splat_d(vi[j]), o[j] = I::splat_d(vo[j]);
            zero = I::splat_d(0.0);
        }
        using D = typename I::D;
        QV_TARGET static D eval(const D (&c)[6], D x, D y) noexcept {
            D e = I::add_d(I::mul_d(I::mul_d(c[0], x), x), I::mul_d(I::mul_d(c[1], x), y));
            e = I::add_d(e, I::mul_d(I::mul_d(c[2], y), y));
            e = I::add_d(e, I::mul_d(c[3], x));
            e = I::add_d(e, I::mul_d(c[4], y));
            return I::add_d(e, c[5]);
        }
        QV_TARGET typename I::DM inside(const int32_t* p) const noexcept {
            D x, y;
            I::load_d(p, x, y);
            return I::both_d(I::ge_d(eval(i, x, y), zero), I::le_d(eval(o, x, y), zero));
        }
        bool scalar(int32_t x, int32_t y) const noexcept { return shell_contains(ci, co, x, y); }
    };

    /// The ring in float first (ShellTest::quick): a point is surely inside
    /// when the inner conic's float value exceeds ti and the outer one's lies
    /// below -to, surely outside when the inner one's lies below -ti or the
    /// outer one's exceeds to. A vector with any other point is tested in
    /// double as a whole.
    struct ShellF {
        static constexpr bool kDouble = false;
        static constexpr bool kQuick = true;
        static constexpr int kStep = I::kLanes;
        static constexpr int64_t kBlock = kShellBlock;
        static_assert(kStep % I::kDLanes == 0);
        using F = typename I::F;
        ShellV v;
        F i[6], o[6], ti, to, nti, nto;
        QV_TARGET explicit ShellF(const ShellTest& s) noexcept
            : v(s.inner, s.outer), ti(I::splat_f(s.ti)), to(I::splat_f(s.to)), nti(I::splat_f(-s.ti)),
              nto(I::splat_f(-s.to)) {
            for (int j = 0; j < 6; ++j) i[j] = I::splat_f(s.fi[j]), o[j] = I::splat_f(s.fo[j]);
        }
        /// conic_eval_f (score.h), lane by lane.
        QV_TARGET static F eval(const F (&c)[6], F x, F y) noexcept {
            const F u = I::add_f(I::add_f(I::mul_f(c[0], x), I::mul_f(c[1], y)), c[3]);
            const F w = I::add_f(I::mul_f(c[2], y), c[4]);
            return I::add_f(I::add_f(I::mul_f(u, x), I::mul_f(w, y)), c[5]);
        }
        /// `in` the points surely inside, `decided` those surely inside or
        /// surely outside.
        QV_TARGET void classify(const int32_t* p, M& in, M& decided) const noexcept {
            F x, y;
            I::load_f(p, x, y);
            const F ei = eval(i, x, y), eo = eval(o, x, y);
            in = I::both(I::gt_f(ei, ti), I::gt_f(nto, eo));
            decided = I::either(in, I::either(I::gt_f(nti, ei), I::gt_f(eo, to)));
        }
        /// The points inside among the kStep points at p, in double.
        QV_TARGET uint32_t exact_count(const int32_t* p) const noexcept {
            uint32_t c = 0;
            for (int h = 0; h < kStep; h += I::kDLanes) {
                c += static_cast<uint32_t>(__builtin_popcount(I::bits_d(v.inside(p + 2 * h))));
            }
            return c;
        }
        const ShellV& exact() const noexcept { return v; }
        bool scalar(int32_t x, int32_t y) const noexcept { return v.scalar(x, y); }
    };

    /// Points inside among the `m` points from p (m a multiple of T::kStep).
    /// The float pass adds the number of vectors it left open to `open`.
    template <class T>
    QV_TARGET static uint32_t count_run(const T& t, const int32_t* p, int64_t m, uint32_t& open) noexcept {
        if constexpr (T::kDouble) {
            typename I::W acc = I::zero_w();
            for (int64_t j = 0; j < m; j += T::kStep) acc = I::count_d(acc, t.inside(p + 2 * j));
            return I::total_d(acc);
        } else if constexpr (T::kQuick) {
            constexpr uint32_t kAll = (uint32_t{1} << T::kStep) - 1;
            V acc = I::splat(0);
            uint32_t c = 0;
            for (int64_t j = 0; j < m; j += T::kStep) {
                M in, decided;
                t.classify(p + 2 * j, in, decided);
                if (I::bits(decided) == kAll) {
                    acc = I::count(acc, in);
                } else {  // rare: a point near an edge
                    c += t.exact_count(p + 2 * j);
                    ++open;
                }
            }
            return I::total(acc) + c;
        } else {
            V acc = I::splat(0);
            for (int64_t j = 0; j < m; j += T::kStep) acc = I::count(acc, t.inside(p + 2 * j));
            return I::total(acc);
        }
    }

    /// The count over blocks from point k0 on, `total` counted before k0 (k0 a
    /// multiple of the block). The float pass hands the rest of the points to
    /// the double one (ShellF::exact, same blocks) once it leaves more than a
    /// third of a block's vectors open: then it no longer pays.
    template <class T>
    QV_TARGET static int64_t count_points(const int32_t* ps, int64_t n, int64_t best, const T& t, int64_t k0 = 0,
                                   int64_t total = 0) noexcept {
        constexpr int64_t kBlock = T::kBlock;
        static_assert(kBlock % T::kStep == 0);
        for (; k0 + kBlock <= n; k0 += kBlock) {
            uint32_t open = 0;
            total += count_run(t, ps + 2 * k0, kBlock, open);
            if (total + (n - k0 - kBlock) <= best) return total;
            if constexpr (T::kQuick) {
                if (3 * open > kBlock / T::kStep) return count_points(ps, n, best, t.exact(), k0 + kBlock, total);
            }
        }
        const int64_t m = (n - k0) / T::kStep * T::kStep;
        uint32_t open = 0;
        uint32_t c = count_run(t, ps + 2 * k0, m, open);
        for (int64_t k = k0 + m; k < n; ++k) c += t.scalar(ps[2 * k], ps[2 * k + 1]) ? 1u : 0u;
        return total + c;
    }

    QV_TARGET static int64_t line_count(const int32_t* ps, int64_t n, int64_t best, const BandTest& b) noexcept {
        uint32_t lo = 0, width = 0;
        const bool one = band_interval(b, lo, width);
        if (b.narrow) {
            return one ? count_points(ps, n, best, LineV<true, true>(b, lo, width))
                       : count_points(ps, n, best, LineV<true, false>(b, lo, width));
        }
        return one ? count_points(ps, n, best, LineV<false, true>(b, lo, width))
                   : count_points(ps, n, best, LineV<false, false>(b, lo, width));
    }

    QV_TARGET static int64_t pair_count(const int32_t* ps, int64_t n, int64_t best, const BandTest& b1,
                                 const BandTest& b2) noexcept {
        uint32_t lo[2] = {0, 0}, width[2] = {0, 0};
        const bool one1 = band_interval(b1, lo[0], width[0]);
        const bool one2 = band_interval(b2, lo[1], width[1]);
        const bool one = one1 && one2;
        if (b1.narrow && b2.narrow) {
            return one ? count_points(ps, n, best, PairV<true, true>(b1, b2, lo, width))
                       : count_points(ps, n, best, PairV<true, false>(b1, b2, lo, width));
        }
        return one ? count_points(ps, n, best, PairV<false, true>(b1, b2, lo, width))
                   : count_points(ps, n, best, PairV<false, false>(b1, b2, lo, width));
    }

    QV_TARGET static int64_t ring_count(const int32_t* ps, int64_t n, int64_t best, const RingTest& r) noexcept {
        // An empty range (lo > hi) holds no point: the scalar count is 0 too.
        if (r.lo > r.hi) return 0;
        return r.narrow ? count_points(ps, n, best, RingV<true>(r)) : count_points(ps, n, best, RingV<false>(r));
    }

    QV_TARGET static int64_t shell_count(const int32_t* ps, int64_t n, int64_t best, const ShellTest& s) noexcept {
        return s.quick ? count_points(ps, n, best, ShellF(s)) : count_points(ps, n, best, ShellV(s.inner, s.outer));
    }

    QV_TARGET static void mark_line(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& band) noexcept {
        const BandTest b = band;  // a copy: the stores may alias the caller's record
        int64_t k = 0;
        if (vector_marking(ps, n, ms)) {
            const BandV<false> v(b, 0, 0);
            for (; k + I::kLanes <= n; k += I::kLanes) {
                const uint32_t bits = I::bits(v.ordered(I::load(ps + 2 * k)));
                for (int j = 0; j < I::kLanes; ++j) ms[k + j] = static_cast<uint8_t>((bits >> j) & 1u);
            }
        }
        mark_band(ps, k, n, ms, b);
    }

    QV_TARGET static void mark_pair(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& band1,
                             const BandTest& band2) noexcept {
        const BandTest b1 = band1, b2 = band2;
        int64_t k = 0;
        if (vector_marking(ps, n, ms)) {
            const BandV<false> v1(b1, 0, 0), v2(b2, 0, 0);
            for (; k + I::kLanes <= n; k += I::kLanes) {
                const Pts q = I::load(ps + 2 * k);
                const uint32_t bits = I::bits(I::either(v1.ordered(q), v2.ordered(q)));
                for (int j = 0; j < I::kLanes; ++j) ms[k + j] = static_cast<uint8_t>((bits >> j) & 1u);
            }
        }
        mark_bands(ps, k, n, ms, b1, b2);
    }
};

}  // namespace
}  // namespace quorvane::detail
