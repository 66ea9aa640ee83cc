// The bodies of the exported functions, one per row of the function table
// and named after the function: each takes the module state and its
// converted arguments as named parameters, whose types give the row its
// kinds (arguments.h); function_table.cpp gives their Python names, the
// same as the C++ ones here.
#pragma once

#include <Python.h>

#include <cstdint>

#include "arguments.h"
#include "module_state.h"

namespace quorvane::body {

// Colour selection (bodies_color.cpp).
PyObject* calculate_lch_bounds(ModuleState& state, PyObject* hue_limit, PyObject* chroma_limit,
                               PyObject* intensity_limit, PyObject* rgb_bits);
PyObject* mask_image_py(ModuleState& state, PyObject* image, PyObject* bounds);
PyObject* mask_image(ModuleState& state, PyObject* image, PyObject* bounds, PyObject* buffer);
PyObject* selective_grayscale(ModuleState& state, PyObject* image, PyObject* bounds, PyObject* buffer);
PyObject* mask_color(ModuleState& state, PyObject* color, PyObject* bounds);
PyObject* mask_image_cy_impl(ModuleState& state, RgbImage& _image, ByteImage& _output, const LchBounds& bounds);
PyObject* selective_grayscale_impl(ModuleState& state, RgbImage& _image, ByteImage& _output,
                                   const LchBounds& bounds);

// Edge points and point-list filters (bodies_points.cpp).
PyObject* simple_edge_hsv(ModuleState& state, RgbImageUchar& _image, PointList& _ps, const LchBounds& bounds,
                          int32_t row_count, int32_t column_count);
PyObject* simple_edge(ModuleState& state, ByteImage& _image, PointList& _ps, int32_t row_count,
                      int32_t column_count);
PyObject* simple_denoise(ModuleState& state, PointListView& _ps_in, PointListView& _ps_out, int32_t min_distance);
PyObject* remove_inliers(ModuleState& state, PointListView& _ps_in, PointListView& _ps_out, PointMask& _ms);

// RANSAC fitters (bodies_ransac.cpp).
PyObject* ransac_circle(ModuleState& state, PointList& _ps, int32_t count, int32_t min_r, int32_t max_r,
                        int32_t delta);
PyObject* ransac_ellipse(ModuleState& state, PointList& _ps, int32_t count, int32_t min_r, int32_t max_r,
                         double ratio, int32_t delta);
PyObject* ransac_line(ModuleState& state, PointList& _ps, PointMask& _ms, int32_t count, int32_t delta,
                      double slope_limit);
PyObject* ransac_line2(ModuleState& state, PointList& _ps, PointMask& _ms, int32_t count, double ratio,
                       int32_t delta);

/// A count as a Python int.
inline PyObject* count_result(int64_t n) { return PyLong_FromLongLong(static_cast<long long>(n)); }

}  // namespace quorvane::body
