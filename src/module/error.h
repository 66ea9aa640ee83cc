// The module's one error convention: a step that fails sets the Python
// exception and returns false (or an empty Ref); CPython's slots translate
// that at the edge (nullptr, -1).
#pragma once

#include <Python.h>

#include <cstdarg>

namespace quorvane {

/// Sets `type` with a PyErr_Format message; returns false for `return fail(...)`.
[[gnu::cold, gnu::noinline]] inline bool fail(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    return false;
}

}  // namespace quorvane
