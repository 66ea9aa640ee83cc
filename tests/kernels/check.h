// A small test harness for the kernel tests: named checks counted as passed
// or failed, a deterministic generator, and a digest of buffers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kernels/kernels.h"

namespace kt {

struct Tally {
    long passed = 0, failed = 0;
};
inline Tally& tally() {
    static Tally t;
    return t;
}

/// Counts one check; a failure prints its name and the formatted detail.
inline bool check(bool ok, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
inline bool check(bool ok, const char* fmt, ...) {
    if (ok) {
        ++tally().passed;
        return true;
    }
    ++tally().failed;
    std::fputs("FAIL: ", stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    return false;
}

/// printf into a std::string.
inline std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

/// splitmix64: the same numbers on every machine.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    /// Uniform in [lo, hi] (hi - lo below 2^32).
    int64_t range(int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(next() % static_cast<uint64_t>(hi - lo + 1));
    }
    int32_t i32() { return static_cast<int32_t>(static_cast<uint32_t>(next())); }
};

/// FNV-1a over bytes.
inline uint64_t digest(const void* p, std::size_t n, uint64_t h = 0xcbf29ce484222325ull) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ull;
    return h;
}

/// The kernel tables this CPU runs, best first; the scalar one last when
/// `scalar` is set. The first call prints the ones skipped and why.
std::vector<const quorvane::Kernels*> runnable_tables(bool scalar);

/// The same, each set of scoring kernels once (the SSE4.1 table scores
/// with the SSE2 kernels), scalar excluded.
std::vector<const quorvane::Kernels*> scoring_tables();

void color_tests(bool quick);
void dispatch_tests();
void fixed_tests(bool record);
void fitter_tests(bool quick);
void sampling_tests(bool quick);
void score_tests(bool quick);

}  // namespace kt
