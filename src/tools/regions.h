// Region kernels of the companion tools: labelling, seeded growth, colour
// gradients and intensity masks on packed 2-D images. Plain functions over
// raw pointers: no Python, no allocation (scratch comes from the caller).
#pragma once

#include <cstdint>

namespace quorvane::tools {

/// A horizontal run of foreground pixels [x0, x1) in row y, and its label.
struct Run {
    int32_t y, x0, x1, label;
};

/// The number of runs of non-zero bytes in a packed rows x cols mask.
int64_t count_runs(const uint8_t* mask, int64_t rows, int64_t cols) noexcept;

/// Labels the 4- or 8-connected parts of the non-zero pixels of `mask`,
/// writing 1..n in raster order of each part's first pixel (0 for the
/// background) into `out` when it is not null. `runs` holds room for
/// count_runs() runs, `parent` as many int32; on return runs[k].label is the
/// final label of run k. Returns n.
int32_t label(const uint8_t* mask, int64_t rows, int64_t cols, int connectivity, int32_t* out, Run* runs,
              int32_t* parent) noexcept;

/// Seeded growth by the minimax path cost: for every pixel reachable from a
/// seed (a non-zero byte of `seeds` that `allowed` admits) through
/// 4-connected pixels of `allowed` (every pixel when null), the smallest
/// possible largest `cost` along a path from a seed, both ends included.
/// Unreached pixels get 255; costs above 254 count as 254. `next` is scratch
/// of rows * cols int32.
void flood(const uint8_t* cost, const uint8_t* seeds, const uint8_t* allowed, int64_t rows, int64_t cols,
           uint8_t* out, int32_t* next) noexcept;

/// Colour gradient: the largest of the three channels' Sobel magnitudes
/// (|gx| + |gy|) / 8, at most 255, for an image of `channels` interleaved
/// bytes per pixel (the first three are used); the picture's edge pixels are
/// repeated outwards.
void gradient(const uint8_t* image, int64_t rows, int64_t cols, int channels, uint8_t* out) noexcept;

/// 1 where lo <= R + G + B <= hi (and, with 4 channels, alpha is not 0),
/// else 0. Returns the number of 1s.
int64_t intensity_mask(const uint8_t* image, int64_t rows, int64_t cols, int channels, int32_t lo, int32_t hi,
                       uint8_t* out) noexcept;

/// Outline points of a mask within the rectangle [x0, x1) x [y0, y1) (clipped
/// to the mask): one point half-way between every foreground pixel and each of
/// its 4-neighbours that is background and lies inside the picture (the
/// picture's own edge is no outline). Points are written as (2x + dx, 2y + dy)
/// pairs, in half pixels, into `out` (room for `capacity` points); with
/// `band` >= 0 only pixels whose centre (x, y) has |a x + b y + c| <= band
/// count. Returns the number of points found (more than `capacity` when they
/// did not all fit: only the first `capacity` were written).
int64_t outline(const uint8_t* mask, int64_t rows, int64_t cols, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                double a, double b, double c, double band, int32_t* out, int64_t capacity) noexcept;

/// The convex hull of the centres of a mask's non-zero pixels (found from each
/// row's first and last pixel), counter-clockwise in image axes (y down: the
/// turn test is on x, y as given), as (x, y) pairs into `out` (room for 2 *
/// rows + 1 points); `scratch` holds room for 4 * rows + 2 int32. Returns the
/// number of vertices (0 for an empty mask; collinear points are dropped).
int64_t mask_hull(const uint8_t* mask, int64_t rows, int64_t cols, int32_t* out, int32_t* scratch) noexcept;

/// Sets to 1 every pixel of `out` (rows x cols) whose centre lies in the
/// convex polygon of `n` vertices (x, y pairs, in hull order) or on its edge.
void fill_convex(const double* poly, int64_t n, int64_t rows, int64_t cols, uint8_t* out) noexcept;

/// The closed path of least cost through a polar cost table: one radius index
/// per angle (rows: `angles`, columns: `radii`, packed float32), moving at most
/// `reach` radius steps from one angle to the next at `step_cost` per step.
/// The path closes approximately: it is the second of two turns round the
/// table. `acc` is scratch of 2 * radii floats and `back` of 2 * angles *
/// radii int32; the radius index of each angle goes to `path`.
void polar_path(const float* cost, int64_t angles, int64_t radii, int64_t reach, float step_cost, float* acc,
                int32_t* back, int32_t* path) noexcept;

/// Outline points as `outline` writes them, from the pixels of the ring
/// between the ellipses with semi-axes (a - band, b - band) and (a + band,
/// b + band) round (x0, y0) at angle theta (a circle: a = b). Returns the number
/// of points found (only the first `capacity` are written).
int64_t outline_ring(const uint8_t* mask, int64_t rows, int64_t cols, double x0, double y0, double a, double b,
                     double theta, double band, int32_t* out, int64_t capacity) noexcept;

/// Bilinear samples of an interleaved image (`channels` bytes per pixel) at
/// `n` float positions (x, y pairs), clamped into the picture: `channels`
/// floats per position into `out`.
void bilinear(const uint8_t* image, int64_t rows, int64_t cols, int channels, const double* xy, int64_t n,
              float* out) noexcept;

/// Thin edges: 1 where the colour gradient (the Sobel pair of the channel
/// that changes most, magnitude (|gx| + |gy|) / 8) is at least `threshold`
/// and no smaller than at both neighbours across the edge (the gradient's
/// direction rounded to a multiple of 45 degrees), else 0. The picture's
/// outermost pixels are 0.
void edge_mask(const uint8_t* image, int64_t rows, int64_t cols, int channels, int threshold, uint8_t* out,
               uint8_t* magnitude, uint8_t* direction) noexcept;

}  // namespace quorvane::tools
