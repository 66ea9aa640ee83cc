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

/// The product a * b shifted right by 64 (below b), from two 32 x 32 -> 64-bit
/// products: a * b = hi * 2^32 + lo with hi = (a >> 32) b and lo = (a mod 2^32) b,
/// so the result is (hi + (lo >> 32)) >> 32, and that sum stays below 2^64.
/// For targets without a 128-bit integer type (32-bit ARM).
constexpr uint64_t mulhi64x32_split(uint64_t a, uint32_t b) noexcept {
    const uint64_t lo = (a & 0xffffffffu) * b;
    const uint64_t hi = (a >> 32) * b;
    return (hi + (lo >> 32)) >> 32;
}

/// (a * b) >> 64: one 128-bit product where the compiler has the type, else
/// mulhi64x32_split (the same value; the kernel tests compare the two).
constexpr uint64_t mulhi64x32(uint64_t a, uint32_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
#else
    return mulhi64x32_split(a, b);
#endif
}

/// a % n for a fixed n > 0 by one multiply-high (exact for every 32-bit a
/// and n: Lemire, Kaser and Kurz, "Faster remainder by direct computation").
struct Remainder {
    uint64_t m;
    uint32_t n;
    explicit Remainder(uint32_t d) noexcept : m(UINT64_MAX / d + 1), n(d) {}
    uint32_t of(uint32_t a) const noexcept { return static_cast<uint32_t>(mulhi64x32(m * a, n)); }
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

/// The random-sample, score, keep-the-best loop, building the candidates
/// B samples at a time (the draws do not depend on the scores, so the
/// samples, candidates and scores are those of one sample at a time).
///
/// `build(p, b, cands)` turns the samples p[0 .. b-1] into candidates and
/// returns a bit per usable one (bit j for sample j; unset when the sample
/// is degenerate or the candidate filtered out). `score(cand, best)` counts
/// inliers; it may stop early and return any value <= `best` once the
/// candidate can no longer beat `best`. The winner is the first candidate
/// with the highest score; with no scoring candidate (or `count` <= 0, or
/// fewer than M points) the value-initialised `Cand` is returned.
template <int M, int B, class Cand, class Build, class Score>
Cand sample_best_batched(const int32_t* ps, int64_t n, uint32_t seed, int32_t count, Build&& build,
                         Score&& score) noexcept {
    static_assert(B >= 1 && B <= 32);
    Cand best{};
    if (count <= 0 || n < M) return best;
    int64_t best_score = 0;
    // The list length enters the index draw as an unsigned 32-bit number.
    Sampler<M> s{ps, Remainder(n > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(n)), seed};
    int32_t p[B][M][2];
    uint32_t pi[M];
    Cand cands[B];
    for (int64_t it = 0; it < count; it += B) {
        const int b = count - it < B ? static_cast<int>(count - it) : B;
        for (int j = 0; j < b; ++j) s.draw(p[j], pi);
        const uint32_t usable = build(p, b, cands);
        for (int j = 0; j < b; ++j) {
            if (((usable >> j) & 1u) == 0) continue;
            const int64_t curr_score = score(cands[j], best_score);
            if (curr_score > best_score) {
                best = cands[j];
                best_score = curr_score;
            }
        }
    }
    return best;
}

/// The same loop one sample at a time: `build(p, cand)` returns false when
/// the sample is degenerate or the candidate filtered out.
template <int M, class Cand, class Build, class Score>
Cand sample_best(const int32_t* ps, int64_t n, uint32_t seed, int32_t count, Build&& build,
                 Score&& score) noexcept {
    return sample_best_batched<M, 1, Cand>(
        ps, n, seed, count,
        [&](const int32_t (&p)[1][M][2], int, Cand (&c)[1]) noexcept {
            c[0] = Cand{};  // small; and the compiler sees it written whatever build does
            return build(p[0], c[0]) ? 1u : 0u;
        },
        score);
}

/// Number of points k in [0, n) with test(x_k, y_k) true. Counts in blocks
/// of kBlock points (branch-free inside a block) and stops as soon as the
/// points left cannot lift the count above `best`; the value returned then
/// is <= `best`.
template <int64_t kBlock, class Test>
inline int64_t count_inliers(const int32_t* ps, int64_t n, int64_t best, Test&& test) noexcept {
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
