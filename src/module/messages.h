// Every user-visible message of the module, in one place.
#pragma once

namespace quorvane::msg {

// Argument binding.
inline constexpr const char* kArity = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kMultipleValues = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* kKeywordsMustBeStrings = "%.200s() keywords must be strings";

// Scalar conversion.
inline constexpr const char* kIntOverflow = "value too large to convert to int";
inline constexpr const char* kIntRequired = "an integer is required";
inline constexpr const char* kIntReturnedNonInt = "__%.4s__ returned non-%.4s (type %.200s)";
inline constexpr const char* kIntReturnedSubclass =
    "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python.";

// Array arguments.
inline constexpr const char* kWrongDims = "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* kBigEndian = "Big-endian buffer not supported on little-endian compiler";
inline constexpr const char* kUnexpectedFormatChar = "Unexpected format string character: '%c'";
inline constexpr const char* kDtypeMismatch = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr const char* kItemSize =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
inline constexpr const char* kNotContiguous = "Buffer and memoryview are not contiguous in the same dimension.";
inline constexpr const char* kIndirect = "Buffer not compatible with direct access in dimension %d.";
inline constexpr const char* kOutOfBounds = "Out of bounds on buffer access (axis %d)";

// Bounds mappings and sequences.
inline constexpr const char* kExpectedMapping = "Expected %s, got %.200s";
inline constexpr const char* kNoStructValue = "No value specified for struct attribute '%s'";
inline constexpr const char* kTooManyArrayValues = "too many values found during array assignment, expected %zd";
inline constexpr const char* kTooFewArrayValues =
    "not enough values found during array assignment, expected %zd, got %zd";

// Unpacking of (M, i, c).
inline constexpr const char* kTooManyToUnpack = "too many values to unpack (expected %zd)";
inline constexpr const char* kNeedMoreToUnpack = "need more than %zd value%.1s to unpack";

// Module life cycle.
inline constexpr const char* kInterpreterChange =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char* kReinit =
    "Module 'quorvane' has already been imported. Re-initialisation is not supported.";
inline constexpr const char* kVersion =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";

}  // namespace quorvane::msg
