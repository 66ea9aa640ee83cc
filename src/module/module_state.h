// The per-module state: everything the C++ layer keeps between calls.
// np, NamedTuple, LCHBounds and round are not kept here: the NumPy-level
// functions look them up in the module's attributes (then builtins) at
// every call, as Python code does, so replacing an attribute takes effect.
#pragma once

#include <Python.h>

namespace quorvane {

struct Kernels;

struct ModuleState {
    /// The kernel table chosen when the module executed (kernels/kernels.h),
    /// handed to every kernel the bodies run.
    const Kernels* kernels;
    PyObject* function_type;  ///< quorvane.function
    // The NumPy-level functions, compiled from embedded Python source at
    // module execution (numpy_level.cpp); their globals are the module's dict.
    PyObject* calculate_lch_bounds;
    PyObject* mask_image_py;
    PyObject* mask_color;
    /// (image, bounds, buffer) -> (buffer, bounds, fields): the default buffer,
    /// and the bounds as a mapping, or (fields true) an LCHBounds whose fields
    /// the body reads.
    PyObject* prepare_image_call;
};

inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

/// Compiles the NumPy-level code into the module's dict (LCHBounds stays as
/// an attribute) and keeps its functions in `state`. False with the error set.
bool add_numpy_level_code(PyObject* module, ModuleState& state);

}  // namespace quorvane
