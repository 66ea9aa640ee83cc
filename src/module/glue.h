// Shared pieces of the function bodies.
#pragma once

#include <Python.h>

#include <cstdint>

#include "messages.h"

namespace quorvane {

/// IndexError for a missing element (0, 0) of an array argument.
[[gnu::cold]] inline PyObject* raise_out_of_bounds(int axis) {
    PyErr_Format(PyExc_IndexError, msg::kOutOfBounds, axis);
    return nullptr;
}

inline PyObject* py_int(int64_t v) { return PyLong_FromLongLong(static_cast<long long>(v)); }

}  // namespace quorvane
