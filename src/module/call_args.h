// The typed argument pack a function body receives: one slot per parameter
// position, filled by the converter loop according to the parameter's kind.
#pragma once

#include <Python.h>

#include <cstdint>

#include "buffer_view.h"
#include "color/color.h"
#include "signature.h"

namespace quorvane {

struct CallArgs {
    PyObject* object[kMaxParams];  ///< the bound arguments (borrowed), every kind
    int32_t int32[kMaxParams];     ///< Kind::Int32
    double real[kMaxParams];       ///< Kind::Double
    ArrayArg array[kMaxParams];    ///< the array kinds; released when the call ends
    LchBounds bounds;              ///< Kind::BoundsMapping (at most one per function)
};

/// Converts args.object[0..nparams) into the typed slots, strictly left to
/// right; stops at the first failure (false, exception set).
bool convert_arguments(const FunctionSpec& spec, CallArgs& args);

/// Converts one array argument as `kind` says (view, checks, packing).
bool convert_array(PyObject* obj, Kind kind, const char* shape_label, ArrayArg& out);

}  // namespace quorvane
