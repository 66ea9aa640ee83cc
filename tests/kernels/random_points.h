// Random point lists for the scoring and fitter tests: coordinates in an
// image, anywhere, or near the int32 limits, with repeated points.
#pragma once

#include <cstdint>
#include <vector>

#include "check.h"

namespace kt {

using Points = std::vector<int32_t>;

enum Range { kImage, kWide, kNearMax, kNearMin, kNearBoth };

inline int32_t coord(Rng& r, Range range) {
    switch (range) {
        case kImage: return static_cast<int32_t>(r.range(-8, 700));
        case kWide: return r.i32();
        case kNearMax: return static_cast<int32_t>(r.range(INT32_MAX - 300, INT32_MAX));
        case kNearMin: return static_cast<int32_t>(r.range(INT32_MIN, INT32_MIN + 300));
        default: return static_cast<int32_t>(r.next() & 1 ? r.range(INT32_MAX - 300, INT32_MAX)
                                                          : r.range(INT32_MIN, INT32_MIN + 300));
    }
}

inline Points random_points(Rng& r, int64_t n, Range range) {
    Points ps(static_cast<std::size_t>(2 * n));
    for (auto& v : ps) v = coord(r, range);
    // Repeats, so that equal points and exact boundaries occur.
    for (int64_t k = 1; k < n; ++k) {
        if (r.range(0, 7) == 0) {
            const int64_t j = r.range(0, k - 1);
            ps[2 * k] = ps[2 * j], ps[2 * k + 1] = ps[2 * j + 1];
        }
    }
    return ps;
}

}  // namespace kt
