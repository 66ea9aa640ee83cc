// Conversion of scalar arguments and bounds mappings to C values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "color/color.h"

namespace quorvane {

/// Python object -> 32-bit signed int (int, or anything with __int__).
/// Returns false with the exception set.
bool to_int32(PyObject* o, int32_t& out);

/// Python object -> double (exact float directly, else the float protocol).
bool to_double(PyObject* o, double& out);

/// Sequence of exactly `n` integers -> out[0..n).
bool to_int32_array(PyObject* o, int32_t* out, Py_ssize_t n);

/// Mapping with keys "i", "c", "M" -> LchBounds.
bool to_lch_bounds(PyObject* o, LchBounds& out);

/// An LCHBounds (a tuple of at least three items, M, i and c) -> LchBounds,
/// its fields converted as to_lch_bounds converts bounds._asdict().
bool lch_bounds_fields(PyObject* t, LchBounds& out);

}  // namespace quorvane
