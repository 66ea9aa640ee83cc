// Bodies of colour selection: the NumPy-level functions (Python code kept
// in the module state), and the image passes, which run with the
// interpreter lock released.
#include "bodies.h"
#include "convert.h"
#include "error.h"
#include "kernels/kernels.h"
#include "messages.h"
#include "ref.h"

namespace quorvane::body {
namespace {

/// Calls one of the NumPy-level functions with the arguments as bound.
template <class... Args>
PyObject* call_numpy_level(PyObject* function, Args... args) {
    PyObject* const argv[] = {args...};
    return PyObject_Vectorcall(function, argv, sizeof...(Args), nullptr);
}

/// Runs `pass` from the image to the output (both packed), after checking
/// that the output has a byte for every pixel. False with the error set.
bool run_image_pass(ArrayArg& image, ArrayArg& output, const LchBounds& bounds, ImagePass pass) {
    const int64_t pixels = image.extent(0) * image.extent(1);
    const int64_t room = output.extent(0) * output.extent(1);
    if (room < pixels) {
        return fail(PyExc_ValueError, msg::kShortImageOutput, static_cast<long long>(room),
                    static_cast<long long>(pixels));
    }
    Py_BEGIN_ALLOW_THREADS
    if (pixels > 0) pass(image.bytes(), output.bytes(), static_cast<size_t>(pixels), bounds);
    Py_END_ALLOW_THREADS
    output.commit();
    return true;
}

/// mask_image / selective_grayscale: the NumPy-level preparation makes the
/// default buffer and says how to read the bounds; then image, buffer and
/// bounds are converted in that order and the pass runs.
PyObject* prepared_image_pass(ModuleState& state, PyObject* image, PyObject* bounds, PyObject* buffer,
                              ImagePass ColorKernels::*pass) {
    Ref prepared = Ref::steal(call_numpy_level(state.prepare_image_call, image, bounds, buffer));
    if (!prepared) return nullptr;
    PyObject* output_obj = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* bounds_obj = PyTuple_GET_ITEM(prepared.get(), 1);
    const bool fields = PyTuple_GET_ITEM(prepared.get(), 2) == Py_True;
    RgbImage view;
    ByteImage output;
    LchBounds b;
    if (!convert_array(image, Kind::RgbImage, "image", view) ||
        !convert_array(output_obj, Kind::ByteImage, "buffer", output) ||
        !(fields ? lch_bounds_fields(bounds_obj, b) : to_lch_bounds(bounds_obj, b)) ||
        !run_image_pass(view, output, b, state.kernels->color.*pass)) {
        return nullptr;
    }
    return Py_NewRef(output_obj);
}

PyObject* bare_image_pass(ArrayArg& image, ArrayArg& output, const LchBounds& bounds, ImagePass pass) {
    if (!run_image_pass(image, output, bounds, pass)) return nullptr;
    return count_result(image.extent(0) * image.extent(1));
}

}  // namespace

PyObject* calculate_lch_bounds(ModuleState& state, PyObject* hue_limit, PyObject* chroma_limit,
                               PyObject* intensity_limit, PyObject* rgb_bits) {
    return call_numpy_level(state.calculate_lch_bounds, hue_limit, chroma_limit, intensity_limit, rgb_bits);
}

PyObject* mask_image_py(ModuleState& state, PyObject* image, PyObject* bounds) {
    return call_numpy_level(state.mask_image_py, image, bounds);
}

PyObject* mask_color(ModuleState& state, PyObject* color, PyObject* bounds) {
    return call_numpy_level(state.mask_color, color, bounds);
}

PyObject* mask_image(ModuleState& state, PyObject* image, PyObject* bounds, PyObject* buffer) {
    return prepared_image_pass(state, image, bounds, buffer, &ColorKernels::mask);
}

PyObject* selective_grayscale(ModuleState& state, PyObject* image, PyObject* bounds, PyObject* buffer) {
    return prepared_image_pass(state, image, bounds, buffer, &ColorKernels::selective);
}

PyObject* mask_image_cy_impl(ModuleState& state, RgbImage& _image, ByteImage& _output, const LchBounds& bounds) {
    return bare_image_pass(_image, _output, bounds, state.kernels->color.mask);
}

PyObject* selective_grayscale_impl(ModuleState& state, RgbImage& _image, ByteImage& _output,
                                   const LchBounds& bounds) {
    return bare_image_pass(_image, _output, bounds, state.kernels->color.selective);
}

}  // namespace quorvane::body
