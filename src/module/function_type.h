// The module's own function type: a vectorcall callable driven by a table
// of parameters, with enough introspection for inspect.signature.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorvane {

inline constexpr int kMaxParams = 6;

/// How a parameter gets a value when it is not passed.
enum class Default : uint8_t { Required, None, Int };

struct Param {
    const char* name;
    Default dflt = Default::Required;
    long dval = 0;
};

/// The body of an exported function: receives exactly nparams borrowed
/// arguments (defaults already filled in) and returns a new reference or
/// nullptr with an exception set.
using Impl = PyObject* (*)(PyObject* const* args);

struct FunctionDef {
    const char* name;
    const Param* params;
    int nparams;
    Impl impl;
};

/// Creates the function type (once per module exec).
PyTypeObject* function_type_create();

/// Creates one function object of `type` for `def`.
PyObject* function_new(PyTypeObject* type, const FunctionDef& def);

}  // namespace quorvane
