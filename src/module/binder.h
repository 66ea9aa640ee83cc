// Binding of positional and keyword arguments to a parameter table.
#pragma once

#include <Python.h>

#include "signature.h"

namespace quorvane {

/// The interned names and default values of one function's parameters.
struct BoundNames {
    PyObject* names[kMaxParams];  ///< interned parameter names
    PyObject* defaults[kMaxParams];  ///< default values (owned), nullptr if required
    int nparams;
    int nrequired;  ///< parameters without default; they come first
    const char* fname;
};

/// Binds `args` (nargs positional, then one value per name in `kwnames`)
/// into `out[0..nparams)`, borrowed. Returns false with a TypeError set.
bool bind_arguments(const BoundNames& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

}  // namespace quorvane
