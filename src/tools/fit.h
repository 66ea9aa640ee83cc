// Least-squares refinement of lines, circles and ellipses on points, for the
// companion tools (plain functions over raw pointers, no allocation).
#pragma once

#include <cstdint>

namespace quorvane::tools {

enum class FitKind : int { Line = 0, Circle = 1, Ellipse = 2 };

/// Number of parameters of a kind: line (px, py, nx, ny) with a unit normal,
/// circle (x, y, r), ellipse (x, y, a, b, theta) with `a` along `theta`.
constexpr int fit_params(FitKind k) noexcept { return k == FitKind::Line ? 4 : k == FitKind::Circle ? 3 : 5; }

/// Signed distance of (x, y) from a model (first order, Sampson, for ellipses).
double fit_distance(FitKind kind, const double* p, double x, double y) noexcept;

/// Refines `params` in place on the `n` points (x, y pairs) within `band` of
/// the model: each round fits the points within the band by least squares
/// (lines by total least squares; circles algebraically, then by Gauss-Newton
/// on the distances; ellipses by Gauss-Newton on the Sampson distances) and
/// keeps the fit when it holds at least as many points within the band.
/// Returns the number of points within the band of the final model; `use`
/// (scratch of n bytes) then flags them.
int64_t refine_fit(FitKind kind, const double* pts, int64_t n, double band, int rounds, double* params,
                   uint8_t* use) noexcept;

/// Circles and ellipses: the share of `samples` stations evenly spaced round
/// the model (those inside the picture, a pixel in from its edge) that have a
/// point within `band` of the model nearby (at the station or a neighbour).
/// Lines: the longest stretch of the points within `band` along the line,
/// with gaps of at most `gap` pixels, over the extent of all of them.
/// `scratch` holds room for max(samples, n) doubles.
double fit_coverage(FitKind kind, const double* p, const double* pts, int64_t n, double band, int64_t rows,
                    int64_t cols, int64_t samples, double gap, double* scratch) noexcept;

}  // namespace quorvane::tools
