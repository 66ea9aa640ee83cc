// The typed table that describes each exported function: its parameters
// with their kinds and defaults, and the call that converts the bound
// arguments and runs its body. function_table.cpp derives one row per
// function from its body (arguments.h); binder.cpp and function_type.cpp
// read the rows.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorvane {

inline constexpr int kMaxParams = 6;

/// What the converter makes of an argument before the body runs; the type
/// of the body's parameter names it (arguments.h).
enum class Kind : uint8_t {
    Object,         ///< PyObject*: passed on unconverted
    Int32,          ///< int32_t, by the `int` rule (__int__, 32-bit range)
    Double,         ///< double, by the float protocol
    BoundsMapping,  ///< const LchBounds&: a mapping with keys "i", "c", "M"
    PointList,      ///< (n, 2) int32, checked and packed for the kernel
    PointListView,  ///< (n, 2) int32 view only; the body checks and packs it
    PointMask,      ///< 1-D bytes, C-contiguous
    RgbImage,       ///< (rows, columns, 3) bytes; element named 'unsigned char'
    RgbImageUchar,  ///< the same, element named 'uchar' (the edge scan's messages)
    ByteImage,      ///< (rows, columns) bytes
};

/// How a parameter gets a value when it is not passed.
enum class Default : uint8_t { Required, None, Int };

struct Param {
    const char* name;
    Kind kind = Kind::Object;
    Default fallback = Default::Required;
    long int_default = 0;
    /// Name used in the packed-shape messages, when not the parameter's own.
    const char* shape_label = nullptr;
};

struct ModuleState;

/// Converts the bound arguments args[0..nparams) strictly left to right as
/// the parameters' kinds say, then runs the body with the converted values;
/// returns a new reference, or nullptr with the exception set (the first
/// conversion that fails stops the call before the body runs).
using Call = PyObject* (*)(ModuleState& state, const Param* params, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const Param* params;
    int nparams;
    Call call;
};

/// The exported functions, in the order the module creates them.
struct FunctionTable {
    const FunctionSpec* rows;
    int size;
};
const FunctionTable& function_table();

}  // namespace quorvane
