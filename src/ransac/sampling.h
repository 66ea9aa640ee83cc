// The sampling loop shared by the four fitters, plus the truncating
// conversions and the early-exit inlier count they all use.
#pragma once

#include <cstdint>

#include "wrap.h"

namespace quorvane::ransac_detail {

/// Quotient truncated toward zero; `b` must not be 0. INT64_MIN / -1 wraps.
constexpr int64_t div64(int64_t a, int64_t b) noexcept {
    return b == -1 ? neg64(a) : a / b;
}

/// Double to int32, truncating toward zero. NaN and values outside the int32
/// range give INT32_MIN (what the x86 truncating conversion produces).
inline int32_t trunc_i32(double v) noexcept {
    if (v > -2147483649.0 && v < 2147483648.0) return static_cast<int32_t>(v);
    return INT32_MIN;
}

// ---- sampling

/// Advance of the per-call generator state.
constexpr uint32_t lcg_next(uint32_t i) noexcept { return i * 1664525u + 1013904223u; }

/// a % n for a fixed n > 0 by one multiply-high (exact for every 32-bit a
/// and n: Lemire, Kaser and Kurz, "Faster remainder by direct computation").
struct Remainder {
    uint64_t m;
    uint32_t n;
    explicit Remainder(uint32_t d) noexcept : m(UINT64_MAX / d + 1), n(d) {}
    uint32_t of(uint32_t a) const noexcept {
        const uint64_t low = m * a;
        return static_cast<uint32_t>((static_cast<unsigned __int128>(low) * n) >> 64);
    }
};

/// Draws samples of M distinct point indices from a list of `n` points.
template <int M>
struct Sampler {
    const int32_t* ps;
    Remainder n;  // n >= M
    uint32_t i;   // generator state

    /// Next sample: indices into `pi`, the points' (x, y) into `p`.
    void draw(int32_t (&p)[M][2], uint32_t (&pi)[M]) noexcept {
        for (int j = 0; j < M; ++j) {
            uint32_t k = n.of(i);
            for (int t = 0; t < j; ++t) {
                if (pi[t] == k) {  // duplicate: advance and check all again
                    i = lcg_next(i);
                    k = n.of(i);
                    t = -1;
                }
            }
            pi[j] = k;
            p[j][0] = ps[2 * static_cast<uint64_t>(k)];
            p[j][1] = ps[2 * static_cast<uint64_t>(k) + 1];
            i = lcg_next(i);
        }
    }
};

/// The random-sample, score, keep-the-best loop.
///
/// `build(p, cand)` turns a sample into a candidate and returns false when the
/// sample is degenerate or filtered out. `score(cand, best)` counts inliers;
/// it may stop early and return any value <= `best` once the candidate can no
/// longer beat `best`. The winner is the first candidate with the highest
/// score; with no scoring candidate (or `count` <= 0, or fewer than M points)
/// the value-initialised `Cand` is returned.
template <int M, class Cand, class Build, class Score>
Cand sample_best(const int32_t* ps, int64_t n, uint32_t seed, int32_t count, Build&& build,
                 Score&& score) noexcept {
    Cand best{};
    if (count <= 0 || n < M) return best;
    int64_t best_score = 0;
    // The list length enters the index draw as an unsigned 32-bit number.
    Sampler<M> s{ps, Remainder(n > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(n)), seed};
    int32_t p[M][2];
    uint32_t pi[M];
    for (int32_t it = 0; it < count; ++it) {
        s.draw(p, pi);
        Cand curr;
        if (!build(p, curr)) continue;
        const int64_t curr_score = score(curr, best_score);
        if (curr_score > best_score) {
            best = curr;
            best_score = curr_score;
        }
    }
    return best;
}

/// Number of points k in [0, n) with test(x_k, y_k) true. Counts in blocks
/// (branch-free inside a block) and stops as soon as the points left cannot
/// lift the count above `best`; the value returned then is <= `best`.
template <class Test>
inline int64_t count_inliers(const int32_t* ps, int64_t n, int64_t best, Test&& test) noexcept {
    constexpr int64_t kBlock = 256;
    int64_t total = 0;
    int64_t k0 = 0;
    for (; k0 + kBlock <= n; k0 += kBlock) {
        const int32_t* q = ps + 2 * k0;
        uint32_t c = 0;
        for (int j = 0; j < kBlock; ++j) c += test(q[2 * j], q[2 * j + 1]) ? 1u : 0u;
        total += c;
        if (total + (n - k0 - kBlock) <= best) return total;
    }
    uint32_t c = 0;
    for (int64_t k = k0; k < n; ++k) c += test(ps[2 * k], ps[2 * k + 1]) ? 1u : 0u;
    return total + c;
}

}  // namespace quorvane::ransac_detail
