// Every user-visible message of the module, in one place: the C++ layer
// formats the C strings below; the NumPy-level Python code receives the
// table kPythonMessages at module execution (Python %-formatting).
#pragma once

namespace quorvane::msg {

// Argument binding.
inline constexpr const char* kArity =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* kUnexpectedKeyword =
    "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kMultipleValues =
    "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* kKeywordsMustBeStrings =
    "%.200s() keywords must be strings";
inline constexpr const char* kFunctionCleared =
    "%U() was cleared by the garbage collector";

// Scalar conversion.
inline constexpr const char* kIntOverflow =
    "value too large to convert to int";
inline constexpr const char* kIntRequired =
    "an integer is required";
inline constexpr const char* kIntReturnedNonInt =
    "__%.4s__ returned non-%.4s (type %.200s)";
inline constexpr const char* kIntReturnedSubclass =
    "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python.";

// Array arguments: the checks in the order they run.
inline constexpr const char* kWrongDims =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* kBigEndian =
    "Big-endian buffer not supported on little-endian compiler";
inline constexpr const char* kUnexpectedFormatChar =
    "Unexpected format string character: '%c'";
inline constexpr const char* kNoStandardLongDouble =
    "Python does not define a standard format string size for long double ('g')..";
inline constexpr const char* kDtypeMismatch =
    "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr const char* kItemSize =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
inline constexpr const char* kNotContiguous =
    "Buffer and memoryview are not contiguous in the same dimension.";
inline constexpr const char* kIndirect =
    "Buffer not compatible with direct access in dimension %d.";
inline constexpr const char* kOutOfBounds =
    "Out of bounds on buffer access (axis %d)";
inline constexpr const char* kNotPointList =
    "%s must be a point list of shape (n, 2), got shape (%lld, %lld)";
inline constexpr const char* kNotRgbImage =
    "%s must be an RGB image of shape (rows, columns, 3), got shape (%lld, %lld, %lld)";
inline constexpr const char* kTooLargeToPack =
    "array too large for a packed copy";

// Sizes of outputs and masks, checked before a kernel runs.
inline constexpr const char* kShortImageOutput =
    "output holds %lld bytes but the image has %lld pixels";
inline constexpr const char* kShortDenoiseOutput =
    "_ps_out has room for %lld points but the kept segments need %lld";
inline constexpr const char* kShortFilterOutput =
    "_ps_out has room for %lld points but %lld are kept";
inline constexpr const char* kShortMask =
    "%s has %lld entries but %s has %lld points";

// Bounds mappings and sequences.
inline constexpr const char* kExpectedMapping =
    "Expected %s, got %.200s";
inline constexpr const char* kNoStructValue =
    "No value specified for struct attribute '%s'";
inline constexpr const char* kTooManyArrayValues =
    "too many values found during array assignment, expected %zd";
inline constexpr const char* kTooFewArrayValues =
    "not enough values found during array assignment, expected %zd, got %zd";

// Module life cycle.
inline constexpr const char* kInterpreterChange =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char* kReinit =
    "Module 'quorvane' has already been imported. Re-initialisation is not supported.";
inline constexpr const char* kVersion =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
inline constexpr const char* kNoNamedTuple =
    "cannot import name 'NamedTuple' from 'typing'";

/// Messages of the NumPy-level functions, by the key their Python code uses.
struct PythonMessage {
    const char* key;
    const char* text;
};
inline constexpr PythonMessage kPythonMessages[] = {
    {"not_real", "%s[%d] must be a real number, not %.200s"},
    {"zero_width", "hue_limit must span a non-zero width"},
    {"not_float64", "the colour matrix is not a float64 array"},
    {"non_finite", "hue limits give a colour matrix with non-finite entries"},
    {"out_of_range", "hue limits give a scaled colour matrix entry outside the 32-bit range"},
    {"too_many_to_unpack", "too many values to unpack (expected %d)"},
    {"need_more_to_unpack", "need more than %d value%.1s to unpack"},
};

}  // namespace quorvane::msg
