// RANSAC fitters: the shared sampling loop and the four shape models.
// Kernels take the generator's first value (`seed`, one rand() per call,
// drawn by the caller) and never touch the C library generator themselves.
#pragma once

#include <cstdint>

namespace quorvane {

struct Kernels;

struct Line {
    int32_t px, py, nx, ny;
};
struct Line2 {
    Line l1, l2;
};
struct Circle {
    int32_t x, y, r;
};
struct Ellipse {
    double x, y, a, b, theta;
};

// Each fitter scores and marks with the kernels of table `kernels`; every table
// gives the same results.

/// Best line of `n` packed points; writes ms[0..n-1] (0/1) from the winner.
/// n below 2 with count >= 1 behaves as count <= 0.
Line ransac_line(const Kernels& kernels, const int32_t* ps, int64_t n, uint8_t* ms, uint32_t seed, int32_t count,
                 int32_t delta, double slope_limit) noexcept;

/// Best pair of nearly parallel lines; writes ms[0..n-1] (either band).
Line2 ransac_line2(const Kernels& kernels, const int32_t* ps, int64_t n, uint8_t* ms, uint32_t seed, int32_t count,
                   double ratio, int32_t delta) noexcept;

Circle ransac_circle(const Kernels& kernels, const int32_t* ps, int64_t n, uint32_t seed, int32_t count, int32_t min_r,
                     int32_t max_r, int32_t delta) noexcept;

Ellipse ransac_ellipse(const Kernels& kernels, const int32_t* ps, int64_t n, uint32_t seed, int32_t count,
                       int32_t min_r, int32_t max_r, double ratio, int32_t delta) noexcept;

}  // namespace quorvane
