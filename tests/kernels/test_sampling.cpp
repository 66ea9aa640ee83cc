// The index draw's arithmetic: the multiply-high without a 128-bit type
// (what 32-bit ARM runs) against the 128-bit product where the compiler has
// one, and the remainder it gives against the % operator everywhere.

#include <cstdint>

#include "check.h"
#include "ransac/sampling.h"

namespace kt {
namespace {

using quorvane::ransac_detail::mulhi64x32;
using quorvane::ransac_detail::mulhi64x32_split;
using quorvane::ransac_detail::Remainder;

/// Factors near the edges of their ranges: 0, 1, powers of two and their
/// neighbours, all ones.
uint64_t edge64(Rng& r) {
    const int k = static_cast<int>(r.range(0, 63));
    const uint64_t p = uint64_t{1} << k;
    switch (r.range(0, 4)) {
        case 0: return 0;
        case 1: return UINT64_MAX - static_cast<uint64_t>(r.range(0, 3));
        case 2: return p - 1;
        case 3: return p + 1;
        default: return p;
    }
}

}  // namespace

void sampling_tests(bool quick) {
    std::puts("multiply-high and remainders of the index draw");
    Rng r{0x128};
    const long cases = quick ? 200000 : 2000000;
    long wrong_split = 0, wrong_rem = 0;
    for (long j = 0; j < cases; ++j) {
        const uint64_t a = j % 8 == 0 ? edge64(r) : r.next();
        const uint32_t b = j % 8 == 1 ? static_cast<uint32_t>(edge64(r)) : static_cast<uint32_t>(r.next());
#if defined(__SIZEOF_INT128__)
        const uint64_t want = static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
        if (mulhi64x32_split(a, b) != want && wrong_split++ == 0) {
            check(false, "mulhi64x32_split(%#llx, %#x) = %#llx, the 128-bit product gives %#llx",
                  static_cast<unsigned long long>(a), b, static_cast<unsigned long long>(mulhi64x32_split(a, b)),
                  static_cast<unsigned long long>(want));
        }
#endif
        if (mulhi64x32(a, b) != mulhi64x32_split(a, b) && wrong_split++ == 0) {
            check(false, "mulhi64x32 and mulhi64x32_split differ at %#llx * %#x", static_cast<unsigned long long>(a), b);
        }
        const uint32_t n = b == 0 ? 1 : (j % 3 == 0 ? b >> (j % 31) | 1 : b);
        const uint32_t x = static_cast<uint32_t>(a);
        if (Remainder(n).of(x) != x % n && wrong_rem++ == 0) {
            check(false, "Remainder(%u).of(%u) = %u, want %u", n, x, Remainder(n).of(x), x % n);
        }
    }
#if defined(__SIZEOF_INT128__)
    check(wrong_split == 0, "the split multiply-high differs from the 128-bit product in %ld of %ld cases", wrong_split,
          cases);
#else
    std::puts("  (no 128-bit type here: the split product is the one in use, checked through the remainders)");
    check(wrong_split == 0, "mulhi64x32 differs from the split product in %ld cases", wrong_split);
#endif
    check(wrong_rem == 0, "the remainder differs from %% in %ld of %ld cases", wrong_rem, cases);
}

}  // namespace kt
