// The bodies of the exported functions, one per row of the function table
// and named after the function. They receive converted arguments only.
#pragma once

#include <Python.h>

#include "call_args.h"
#include "module_state.h"

namespace quorvane::body {

// Colour selection (bodies_color.cpp).
PyObject* calculate_lch_bounds(ModuleState& state, CallArgs& args);
PyObject* mask_image_py(ModuleState& state, CallArgs& args);
PyObject* mask_image(ModuleState& state, CallArgs& args);
PyObject* selective_grayscale(ModuleState& state, CallArgs& args);
PyObject* mask_color(ModuleState& state, CallArgs& args);
PyObject* mask_image_cy_impl(ModuleState& state, CallArgs& args);
PyObject* selective_grayscale_impl(ModuleState& state, CallArgs& args);

// Edge points and point-list filters (bodies_points.cpp).
PyObject* simple_edge_hsv(ModuleState& state, CallArgs& args);
PyObject* simple_edge(ModuleState& state, CallArgs& args);
PyObject* simple_denoise(ModuleState& state, CallArgs& args);
PyObject* remove_inliers(ModuleState& state, CallArgs& args);

// RANSAC fitters (bodies_ransac.cpp).
PyObject* ransac_circle(ModuleState& state, CallArgs& args);
PyObject* ransac_ellipse(ModuleState& state, CallArgs& args);
PyObject* ransac_line(ModuleState& state, CallArgs& args);
PyObject* ransac_line2(ModuleState& state, CallArgs& args);

/// A count as a Python int.
inline PyObject* count_result(int64_t n) { return PyLong_FromLongLong(static_cast<long long>(n)); }

}  // namespace quorvane::body
