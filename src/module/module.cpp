// quorvane module: creation (one module per process, one interpreter),
// execution (numpy, NamedTuple, seeding, the NumPy-level code, the function
// table, the kernel table) and the per-module state with its
// garbage-collection slots.
#include <Python.h>

#include <cstdlib>
#include <ctime>

#include "kernels/kernels.h"
#include "error.h"
#include "function_type.h"
#include "messages.h"
#include "module_state.h"
#include "ref.h"
#include "signature.h"

#ifndef QUORVANE_VERSION
#error "the build defines QUORVANE_VERSION (CMakeLists.txt reads it from pyproject.toml)"
#endif

namespace quorvane {
namespace {

/// The one process-wide record (the module's only global): the interpreter
/// that first created the module, and the module once executed (a strong
/// reference, so a second import returns the same object). A second import
/// makes the loader give that module a fresh, zeroed state block (the old
/// one is abandoned, not freed), so the claim remembers where the state is
/// and exec moves it into the new block.
struct ProcessClaim {
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;
    ModuleState* state = nullptr;
};
ProcessClaim g_claim;

int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g_claim.interpreter_id == -1) {
        g_claim.interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (g_claim.interpreter_id != id) {
        fail(PyExc_ImportError, msg::kInterpreterChange);
        return nullptr;
    }
    if (g_claim.module != nullptr) return Py_NewRef(g_claim.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

bool check_version() {
    const int rt_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int rt_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message, msg::kVersion, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                  "quorvane", "does not match", rt_major, rt_minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool set_attr(PyObject* dict, const char* name, const Ref& value) {
    return value && PyDict_SetItemString(dict, name, value.get()) == 0;
}

Ref import_named_tuple() {
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    if (!typing) return {};
    Ref named_tuple = Ref::steal(PyObject_GetAttrString(typing.get(), "NamedTuple"));
    if (!named_tuple && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        fail(PyExc_ImportError, msg::kNoNamedTuple);
    }
    return named_tuple;
}

/// The exec steps, in order; the first failure aborts.
bool exec_steps(PyObject* module, ModuleState& state) {
    if (!check_version()) return false;
    PyObject* dict = PyModule_GetDict(module);
    if (!set_attr(dict, "__builtins__", Ref::steal(PyImport_ImportModule("builtins")))) return false;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, "quorvane") == nullptr &&
        PyDict_SetItemString(modules, "quorvane", module) < 0) {
        return false;
    }
    if (!set_attr(dict, "np", Ref::steal(PyImport_ImportModule("numpy")))) return false;
    if (!set_attr(dict, "NamedTuple", import_named_tuple())) return false;

    std::srand(static_cast<unsigned>(std::time(nullptr)));

    if (!add_numpy_level_code(module, state)) return false;
    state.function_type = function_type_create(module);
    if (state.function_type == nullptr) return false;
    const FunctionTable& table = function_table();
    for (int k = 0; k < table.size; ++k) {
        const FunctionSpec& spec = table.rows[k];
        if (!set_attr(dict, spec.name, Ref::steal(function_new(state.function_type, module, spec)))) {
            return false;
        }
    }
    // The one dispatch: every body runs the kernels of this table.
    const KernelChoice choice = choose_kernels();
    if (choice.kernels == nullptr) {
        PyErr_SetString(PyExc_ImportError, choice.error);
        return false;
    }
    state.kernels = choice.kernels;
    // The release (pyproject.toml's version, given by the build) and the
    // kernel table chosen, for bug reports and the tests.
    if (!set_attr(dict, "__version__", Ref::steal(PyUnicode_FromString(QUORVANE_VERSION))) ||
        !set_attr(dict, "__color_kernel__", Ref::steal(PyUnicode_FromString(state.kernels->name)))) {
        return false;
    }
    return set_attr(dict, "__test__", Ref::steal(PyDict_New()));
}

int module_exec(PyObject* module) {
    ModuleState* state = &module_state(module);
    if (g_claim.module != nullptr) {
        if (g_claim.module != module) {
            fail(PyExc_RuntimeError, msg::kReinit);
            return -1;
        }
        if (state != g_claim.state) {
            *state = *g_claim.state;  // the references move with the copy
            g_claim.state = state;
        }
        return 0;
    }
    g_claim.module = Py_NewRef(module);
    g_claim.state = state;
    if (!exec_steps(module, *state)) {
        Py_CLEAR(g_claim.module);
        g_claim.state = nullptr;
        return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = module_state(module);
    Py_VISIT(state.function_type);
    Py_VISIT(state.calculate_lch_bounds);
    Py_VISIT(state.mask_image_py);
    Py_VISIT(state.mask_color);
    Py_VISIT(state.prepare_image_call);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState& state = module_state(module);
    Py_CLEAR(state.function_type);
    Py_CLEAR(state.calculate_lch_bounds);
    Py_CLEAR(state.mask_image_py);
    Py_CLEAR(state.mask_color);
    Py_CLEAR(state.prepare_image_call);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane",
    nullptr,  // no docstring
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace quorvane

PyMODINIT_FUNC PyInit_quorvane(void) { return PyModuleDef_Init(&quorvane::module_def); }
