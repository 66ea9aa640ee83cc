// The exported functions' bodies (bound arguments in, result out) and the
// helpers they share with the module object.
#pragma once

#include <Python.h>

namespace quorvane {

// Module-global lookup as Python code does it: the module's dict, then
// builtins; NameError when absent. Returns a new reference.
PyObject* module_global(const char* name);

PyObject* calculate_lch_bounds_impl(PyObject* const* args);
PyObject* mask_image_py_impl(PyObject* const* args);
PyObject* mask_image_impl(PyObject* const* args);
PyObject* selective_grayscale_wrap_impl(PyObject* const* args);
PyObject* mask_color_impl(PyObject* const* args);
PyObject* mask_image_cy_impl_impl(PyObject* const* args);
PyObject* selective_grayscale_impl_impl(PyObject* const* args);
PyObject* simple_edge_hsv_impl(PyObject* const* args);
PyObject* simple_edge_impl(PyObject* const* args);
PyObject* simple_denoise_impl(PyObject* const* args);
PyObject* remove_inliers_impl(PyObject* const* args);
PyObject* ransac_circle_impl(PyObject* const* args);
PyObject* ransac_ellipse_impl(PyObject* const* args);
PyObject* ransac_line_impl(PyObject* const* args);
PyObject* ransac_line2_impl(PyObject* const* args);

}  // namespace quorvane
