// The module's own function type: a vectorcall callable driven by a row of
// the function table, garbage-collected, with enough introspection for
// inspect.signature and pickling by reference.
#pragma once

#include <Python.h>

#include "signature.h"

namespace quorvane {

/// Creates the function type, associated with `module`.
PyObject* function_type_create(PyObject* module);

/// Creates one function object of `type` for `spec`, holding `module`.
PyObject* function_new(PyObject* type, PyObject* module, const FunctionSpec& spec);

}  // namespace quorvane
