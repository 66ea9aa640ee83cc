// Inlier scoring and marking of the fitters: the tests of one point and
// the kernels' signatures. The scalar reference is score_scalar.cpp; the
// vector kernels come from score_loop.h, one per instruction set.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "conic.h"
#include "wrap.h"

namespace quorvane {

/// The band of a line: a point is inside when t + c1 >= 0 and t + c2 <= 0,
/// t = a*x + b*y, all in wrapping 32-bit arithmetic. `narrow` may be set
/// only when a, b and every coordinate of the points lie in int16: the
/// vector kernels then form t with 16-bit multiply-adds (exact: the one sum
/// beyond int32, 2 * 32768^2, wraps to the same INT32_MIN).
struct BandTest {
    int32_t a, b, c1, c2;
    bool narrow = false;
};

/// The ring of a circle: inside when lo <= (x - cx)^2 + (y - cy)^2 <= hi,
/// all in wrapping 32-bit arithmetic, signed comparisons. `narrow` may be
/// set only when x - cx and y - cy lie in int16 for every point.
struct RingTest {
    int32_t cx, cy, lo, hi;
    bool narrow = false;
};

/// The smallest box around the points (x0 > x1 when there are none).
struct Box {
    int32_t x0, y0, x1, y1;
};

inline Box bounding_box(const int32_t* ps, int64_t n) noexcept {
    Box b{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (int64_t k = 0; k < n; ++k) {
        const int32_t x = ps[2 * k], y = ps[2 * k + 1];
        b.x0 = x < b.x0 ? x : b.x0;
        b.x1 = x > b.x1 ? x : b.x1;
        b.y0 = y < b.y0 ? y : b.y0;
        b.y1 = y > b.y1 ? y : b.y1;
    }
    return b;
}

constexpr bool fits16(int64_t v) noexcept { return v >= -32768 && v <= 32767; }

/// Every point minus (cx, cy) lies in int16 (coordinates too with cx = cy = 0).
inline bool box_fits16(const Box& b, int32_t cx, int32_t cy) noexcept {
    return b.x0 > b.x1 || (fits16(int64_t{b.x0} - cx) && fits16(int64_t{b.x1} - cx) &&
                           fits16(int64_t{b.y0} - cy) && fits16(int64_t{b.y1} - cy));
}

inline bool band_contains(const BandTest& b, int32_t x, int32_t y) noexcept {
    const int32_t t = add32(mul32(b.a, x), mul32(b.b, y));
    const int32_t u = add32(t, b.c1), v = add32(t, b.c2);
    return (u >= 0) & (v <= 0);
}

inline bool ring_contains(const RingTest& r, int32_t x, int32_t y) noexcept {
    const int32_t dx = sub32(x, r.cx), dy = sub32(y, r.cy);
    const int32_t d = add32(mul32(dx, dx), mul32(dy, dy));
    return (r.lo <= d) & (d <= r.hi);
}

/// ms[k] for points from..n-1: 1 inside the band, else 0 (the scalar
/// marking, and the vector one's tail).
inline void mark_band(const int32_t* ps, int64_t from, int64_t n, uint8_t* ms, const BandTest& b) noexcept {
    for (int64_t k = from; k < n; ++k) ms[k] = band_contains(b, ps[2 * k], ps[2 * k + 1]) ? 1 : 0;
}

/// The same for a pair of bands: 1 inside either.
inline void mark_bands(const int32_t* ps, int64_t from, int64_t n, uint8_t* ms, const BandTest& b1,
                       const BandTest& b2) noexcept {
    for (int64_t k = from; k < n; ++k) {
        const int32_t x = ps[2 * k], y = ps[2 * k + 1];
        const bool in1 = band_contains(b1, x, y), in2 = band_contains(b2, x, y);
        ms[k] = (in1 | in2) ? 1 : 0;
    }
}

/// Evaluated left to right as written (the vector versions repeat this
/// order exactly, without contraction).
inline double conic_eval(const Conic& c, double x, double y) noexcept {
    return c.xx * x * x + c.xy * x * y + c.yy * y * y + c.x * x + c.y * y + c.c;
}

/// On or outside `inner` and on or inside `outer`.
inline bool shell_contains(const Conic& inner, const Conic& outer, int32_t x, int32_t y) noexcept {
    const double px = static_cast<double>(x), py = static_cast<double>(y);
    const double ei = conic_eval(inner, px, py), eo = conic_eval(outer, px, py);
    return (ei >= 0.0) & (eo <= 0.0);
}

/// The ring of an ellipse: a point is inside when it is on or outside
/// `inner` and on or inside `outer` (shell_contains, in double).
///
/// With `quick` set (by shell_bounds, never by hand) the vector kernels
/// first evaluate both conics in float, twice the lanes, and decide every
/// point whose float value lies beyond the bound `ti` (`to`) from zero:
/// there the double value has the same sign, and is not zero. A vector
/// holding a point within the bounds is tested in double, and once a block
/// has many such vectors, so is the rest of the list. The scalar kernel
/// ignores the float part.
struct ShellTest {
    Conic inner, outer;
    float fi[6], fo[6];  ///< the conics rounded to float
    float ti, to;        ///< |float value - double value| <= t at every point
    bool quick = false;
};

/// The float evaluation of the vector kernels, ((c0 x + c1 y) + c3) x +
/// (c2 y + c4) y + c5: at most seven roundings on the way of any term,
/// the conversion of the coefficient included.
inline float conic_eval_f(const float (&c)[6], float x, float y) noexcept {
    return ((c[0] * x + c[1] * y) + c[3]) * x + (c[2] * y + c[4]) * y + c[5];
}

/// Sets up the float pass of `s` for points with |x| <= X and |y| <= Y
/// (then exact in float) and returns true, or returns false (and leaves
/// `quick` unset) when it does not apply: X or Y beyond 2^24, or a
/// coefficient or bound not finite or beyond 2^100 (no float overflow).
///
/// The bound: both evaluations are sums of the six terms c_k m_k(x, y),
/// each term through at most seven roundings (unit 2^-24 in float, 2^-53 in
/// double), so each differs from the exact value by at most
/// gamma_7 * sum |c_k| m_k(X, Y), and from each other by at most
/// 2^-20 * that sum (twice the two gammas together: room for the rounding
/// of the sum itself and for any rounding mode). The absolute 2^-60 covers
/// underflow, even with subnormals flushed to zero: at most sixteen errors
/// of 2^-126, each multiplied by at most 2^48.
inline bool shell_bounds(ShellTest& s, double X, double Y) noexcept {
    s.quick = false;
    if (!(X <= 16777216.0 && Y <= 16777216.0)) return false;
    const auto prepare = [X, Y](const Conic& c, float (&f)[6], float& t) noexcept {
        const double v[6] = {c.xx, c.xy, c.yy, c.x, c.y, c.c};
        for (double e : v) {
            if (!(std::fabs(e) <= 0x1p100)) return false;
        }
        const double m = std::fabs(v[0]) * X * X + std::fabs(v[1]) * X * Y + std::fabs(v[2]) * Y * Y +
                         std::fabs(v[3]) * X + std::fabs(v[4]) * Y + std::fabs(v[5]);
        const double bound = m * 0x1p-20 + 0x1p-60;
        if (!(bound <= 0x1p100)) return false;
        for (int k = 0; k < 6; ++k) f[k] = static_cast<float>(v[k]);
        t = static_cast<float>(bound);
        if (static_cast<double>(t) < bound) t = std::nextafter(t, 0x1p127f);
        return true;
    };
    s.quick = prepare(s.inner, s.fi, s.ti) && prepare(s.outer, s.fo, s.to);
    return s.quick;
}

/// shell_bounds for the points in box `b`.
inline bool shell_bounds(ShellTest& s, const Box& b) noexcept {
    const auto reach = [](int32_t lo, int32_t hi) noexcept {
        const int64_t a = lo < 0 ? -int64_t{lo} : lo, c = hi < 0 ? -int64_t{hi} : hi;
        return static_cast<double>(a > c ? a : c);
    };
    return shell_bounds(s, reach(b.x0, b.x1), reach(b.y0, b.y1));
}

/// Points per block of the counts: after each block they check whether the
/// points left can still lift the count above `best`. The cheap integer
/// tests check less often than the conics, where a check costs little
/// against the block and stopping sooner saves more.
constexpr int64_t kCountBlock = 256;
constexpr int64_t kShellBlock = 64;

/// The scoring and marking passes of one instruction set (one part of a
/// kernel table, kernels/kernels.h) over `n` packed (x, y) points. The counts stop early, exactly as the scalar reference:
/// in blocks (kCountBlock points, kShellBlock for the conics), as soon as
/// the points left cannot lift the count above `best`, returning the count
/// so far (then <= best). Otherwise they return the exact count.
struct ScoreKernels {
    /// Points inside the band.
    int64_t (*line)(const int32_t* ps, int64_t n, int64_t best, const BandTest& b) noexcept;
    /// Points inside exactly one of the two bands.
    int64_t (*pair)(const int32_t* ps, int64_t n, int64_t best, const BandTest& b1,
                    const BandTest& b2) noexcept;
    /// Points inside the ring.
    int64_t (*ring)(const int32_t* ps, int64_t n, int64_t best, const RingTest& r) noexcept;
    /// Points in the ring of an ellipse.
    int64_t (*shell)(const int32_t* ps, int64_t n, int64_t best, const ShellTest& s) noexcept;
    /// The ellipse fitter's candidates: the conics of `count` (at most
    /// kConicBatch) five-point samples into out[0 .. count-1], as
    /// ransac_detail::points_to_conic. Bit j of the result is set when
    /// sample j gives an ellipse; the other entries hold no meaning.
    uint32_t (*conics)(const int32_t (*p)[5][2], int count, ConicFit* out) noexcept;
    /// ms[k] = 1 when point k is inside the band, else 0.
    void (*mark_line)(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& b) noexcept;
    /// ms[k] = 1 when point k is inside either band, else 0.
    void (*mark_pair)(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& b1,
                      const BandTest& b2) noexcept;
};

/// The scalar reference (kernels/kernels.h puts it in the scalar table).
namespace score_scalar {
int64_t line(const int32_t* ps, int64_t n, int64_t best, const BandTest& b) noexcept;
int64_t pair(const int32_t* ps, int64_t n, int64_t best, const BandTest& b1, const BandTest& b2) noexcept;
int64_t ring(const int32_t* ps, int64_t n, int64_t best, const RingTest& r) noexcept;
int64_t shell(const int32_t* ps, int64_t n, int64_t best, const ShellTest& s) noexcept;
uint32_t conics(const int32_t (*p)[5][2], int count, ConicFit* out) noexcept;
void mark_line(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& b) noexcept;
void mark_pair(const int32_t* ps, int64_t n, uint8_t* ms, const BandTest& b1, const BandTest& b2) noexcept;
}  // namespace score_scalar

inline constexpr ScoreKernels kScoreScalar{score_scalar::line,   score_scalar::pair,   score_scalar::ring,
                                           score_scalar::shell,  score_scalar::conics, score_scalar::mark_line,
                                           score_scalar::mark_pair};

}  // namespace quorvane
