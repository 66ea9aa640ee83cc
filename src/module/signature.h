// The typed table that describes each exported function: its parameters
// with their kinds and defaults, and its body. One row per function lives
// in function_table.cpp; binder.cpp, call_args.cpp and function_type.cpp
// read the rows.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorvane {

inline constexpr int kMaxParams = 6;

/// What the converter makes of an argument before the body runs.
enum class Kind : uint8_t {
    Object,         ///< passed on unconverted (object[k])
    Int32,          ///< int32[k], by the `int` rule (__int__, 32-bit range)
    Double,         ///< real[k], by the float protocol
    BoundsMapping,  ///< bounds: a mapping with keys "i", "c", "M"
    PointList,      ///< array[k]: (n, 2) int32, checked and packed for the kernel
    PointListView,  ///< array[k]: (n, 2) int32 view only; the body checks and packs it
    PointMask,      ///< array[k]: 1-D bytes, C-contiguous
    RgbImage,       ///< array[k]: (rows, columns, 3) bytes; element named 'unsigned char'
    RgbImageUchar,  ///< the same, element named 'uchar' (the edge scan's messages)
    ByteImage,      ///< array[k]: (rows, columns) bytes
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
struct CallArgs;

/// The body of an exported function: receives converted arguments only and
/// returns a new reference, or nullptr with the exception set.
using Body = PyObject* (*)(ModuleState& state, CallArgs& args);

struct FunctionSpec {
    const char* name;
    const Param* params;
    int nparams;
    Body body;
};

/// The exported functions, in the order the module creates them.
struct FunctionTable {
    const FunctionSpec* rows;
    int size;
};
const FunctionTable& function_table();

}  // namespace quorvane
