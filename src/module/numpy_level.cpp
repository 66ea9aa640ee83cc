// The NumPy-level code (numpy_level.py, embedded at build time), compiled
// into the module's dict at module execution: the LCHBounds class,
// calculate_lch_bounds with its matrix checks, the NumPy-expression masks
// (mask_image_py, mask_color) and the preparation of mask_image /
// selective_grayscale. Its globals are the module's dict: np and
// NamedTuple are set before it runs, and np, LCHBounds and round are looked
// up there (then in builtins) at every call, so replacing an attribute
// takes effect. The file has no docstring, which would become the
// module's. The factory _numpy_level is taken out of the dict again; it
// receives the messages (messages.h) and returns the functions kept in the
// module state.
#include "error.h"
#include "messages.h"
#include "numpy_level_py.h"  // numpy_level.py as kNumpyLevelPy, made by the build
#include "module_state.h"
#include "ref.h"

namespace quorvane {
namespace {

constexpr const char* kSourceName = "<quorvane NumPy-level code>";


Ref python_messages() {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return {};
    for (const msg::PythonMessage& m : msg::kPythonMessages) {
        Ref text = Ref::steal(PyUnicode_FromString(m.text));
        if (!text || PyDict_SetItemString(table.get(), m.key, text.get()) < 0) return {};
    }
    return table;
}

}  // namespace

bool add_numpy_level_code(PyObject* module, ModuleState& state) {
    PyObject* dict = PyModule_GetDict(module);
    Ref code = Ref::steal(Py_CompileString(reinterpret_cast<const char*>(kNumpyLevelPy), kSourceName, Py_file_input));
    if (!code) return false;
    Ref ran = Ref::steal(PyEval_EvalCode(code.get(), dict, dict));
    if (!ran) return false;
    // The factory is not a module attribute: take it out of the dict.
    Ref factory = Ref::borrow(PyDict_GetItemString(dict, "_numpy_level"));
    if (!factory || PyDict_DelItemString(dict, "_numpy_level") < 0) return false;
    Ref messages = python_messages();
    if (!messages) return false;
    Ref functions = Ref::steal(PyObject_CallOneArg(factory.get(), messages.get()));
    if (!functions) return false;
    PyObject** slots[] = {&state.calculate_lch_bounds, &state.mask_image_py, &state.mask_color,
                          &state.prepare_image_call};
    for (Py_ssize_t k = 0; k < 4; ++k) *slots[k] = Py_NewRef(PyTuple_GET_ITEM(functions.get(), k));
    return true;
}

}  // namespace quorvane
