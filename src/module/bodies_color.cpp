// Bodies of colour selection: the NumPy-level functions (Python code kept
// in the module state), and the image passes, which run with the
// interpreter lock released.
#include "bodies.h"
#include "convert.h"
#include "error.h"
#include "messages.h"
#include "ref.h"

namespace quorvane::body {
namespace {

/// Calls one of the NumPy-level functions with the bound arguments.
PyObject* call_numpy_level(PyObject* function, CallArgs& a, size_t nargs) {
    return PyObject_Vectorcall(function, a.object, nargs, nullptr);
}

/// Runs `pass` from the image to the output (both packed), after checking
/// that the output has a byte for every pixel. False with the error set.
bool run_image_pass(ArrayArg& image, ArrayArg& output, const LchBounds& bounds, ImagePass ColorKernels::*pass) {
    const int64_t pixels = image.extent(0) * image.extent(1);
    const int64_t room = output.extent(0) * output.extent(1);
    if (room < pixels) {
        return fail(PyExc_ValueError, msg::kShortImageOutput, static_cast<long long>(room),
                    static_cast<long long>(pixels));
    }
    const ImagePass run = color_kernels().*pass;
    Py_BEGIN_ALLOW_THREADS
    if (pixels > 0) run(image.bytes(), output.bytes(), static_cast<size_t>(pixels), bounds);
    Py_END_ALLOW_THREADS
    output.commit();
    return true;
}

/// mask_image / selective_grayscale: the NumPy-level preparation makes the
/// default buffer and turns an LCHBounds into a mapping; then image,
/// buffer and bounds are converted in that order and the pass runs.
PyObject* prepared_image_pass(ModuleState& state, CallArgs& a, ImagePass ColorKernels::*pass) {
    Ref prepared = Ref::steal(PyObject_Vectorcall(state.prepare_image_call, a.object, 3, nullptr));
    if (!prepared) return nullptr;
    PyObject* buffer = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* bounds_mapping = PyTuple_GET_ITEM(prepared.get(), 1);
    ArrayArg image, output;
    LchBounds bounds;
    if (!convert_array(a.object[0], Kind::RgbImage, "image", image) ||
        !convert_array(buffer, Kind::ByteImage, "buffer", output) || !to_lch_bounds(bounds_mapping, bounds) ||
        !run_image_pass(image, output, bounds, pass)) {
        return nullptr;
    }
    return Py_NewRef(buffer);
}

PyObject* bare_image_pass(CallArgs& a, ImagePass ColorKernels::*pass) {
    ArrayArg &image = a.array[0], &output = a.array[1];
    if (!run_image_pass(image, output, a.bounds, pass)) return nullptr;
    return count_result(image.extent(0) * image.extent(1));
}

}  // namespace

PyObject* calculate_lch_bounds(ModuleState& state, CallArgs& a) {
    return call_numpy_level(state.calculate_lch_bounds, a, 4);
}

PyObject* mask_image_py(ModuleState& state, CallArgs& a) { return call_numpy_level(state.mask_image_py, a, 2); }

PyObject* mask_color(ModuleState& state, CallArgs& a) { return call_numpy_level(state.mask_color, a, 2); }

PyObject* mask_image(ModuleState& state, CallArgs& a) {
    return prepared_image_pass(state, a, &ColorKernels::mask);
}

PyObject* selective_grayscale(ModuleState& state, CallArgs& a) {
    return prepared_image_pass(state, a, &ColorKernels::selective);
}

PyObject* mask_image_cy_impl(ModuleState&, CallArgs& a) { return bare_image_pass(a, &ColorKernels::mask); }

PyObject* selective_grayscale_impl(ModuleState&, CallArgs& a) {
    return bare_image_pass(a, &ColorKernels::selective);
}

}  // namespace quorvane::body
