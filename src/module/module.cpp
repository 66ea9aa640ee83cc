// quorvane module: creation (one module per process, one interpreter),
// execution (numpy, NamedTuple, seeding, LCHBounds, the function table).
#include <Python.h>

#include <cstdlib>
#include <ctime>

#include "color/color.h"
#include "function_type.h"
#include "functions.h"
#include "messages.h"
#include "ref.h"

namespace quorvane {
namespace {

/// The one module object of this process (strong reference), set at exec.
PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;

constexpr Param kCalculateLchBounds[] = {
    {"hue_limit"}, {"chroma_limit"}, {"intensity_limit"}, {"rgb_bits", Default::Int, 8}};
constexpr Param kImageBounds[] = {{"image"}, {"bounds"}};
constexpr Param kImageBoundsBuffer[] = {{"image"}, {"bounds"}, {"buffer", Default::None}};
constexpr Param kColorBounds[] = {{"color"}, {"bounds"}};
constexpr Param kImageOutputBounds[] = {{"_image"}, {"_output"}, {"bounds"}};
constexpr Param kSimpleEdgeHsv[] = {
    {"_image"}, {"_ps"}, {"bounds"}, {"row_count"}, {"column_count"}};
constexpr Param kSimpleEdge[] = {{"_image"}, {"_ps"}, {"row_count"}, {"column_count"}};
constexpr Param kSimpleDenoise[] = {{"_ps_in"}, {"_ps_out"}, {"min_distance"}};
constexpr Param kRemoveInliers[] = {{"_ps_in"}, {"_ps_out"}, {"_ms"}};
constexpr Param kRansacCircle[] = {{"_ps"}, {"count"}, {"min_r"}, {"max_r"}, {"delta"}};
constexpr Param kRansacEllipse[] = {
    {"_ps"}, {"count"}, {"min_r"}, {"max_r"}, {"ratio"}, {"delta"}};
constexpr Param kRansacLine[] = {{"_ps"}, {"_ms"}, {"count"}, {"delta"}, {"slope_limit"}};
constexpr Param kRansacLine2[] = {{"_ps"}, {"_ms"}, {"count"}, {"ratio"}, {"delta"}};

template <std::size_t N>
constexpr FunctionDef def(const char* name, const Param (&params)[N], Impl impl) {
    return FunctionDef{name, params, static_cast<int>(N), impl};
}

/// The exported functions, in the order they are created.
const FunctionDef kFunctions[] = {
    def("calculate_lch_bounds", kCalculateLchBounds, calculate_lch_bounds_impl),
    def("mask_image_py", kImageBounds, mask_image_py_impl),
    def("mask_image", kImageBoundsBuffer, mask_image_impl),
    def("selective_grayscale", kImageBoundsBuffer, selective_grayscale_wrap_impl),
    def("mask_color", kColorBounds, mask_color_impl),
    def("mask_image_cy_impl", kImageOutputBounds, mask_image_cy_impl_impl),
    def("selective_grayscale_impl", kImageOutputBounds, selective_grayscale_impl_impl),
    def("simple_edge_hsv", kSimpleEdgeHsv, simple_edge_hsv_impl),
    def("simple_edge", kSimpleEdge, simple_edge_impl),
    def("simple_denoise", kSimpleDenoise, simple_denoise_impl),
    def("remove_inliers", kRemoveInliers, remove_inliers_impl),
    def("ransac_circle", kRansacCircle, ransac_circle_impl),
    def("ransac_ellipse", kRansacEllipse, ransac_ellipse_impl),
    def("ransac_line", kRansacLine, ransac_line_impl),
    def("ransac_line2", kRansacLine2, ransac_line2_impl),
};

constexpr const char* kLchBoundsSource =
    "class LCHBounds(NamedTuple):\n"
    "    M: 'np.ndarray'\n"
    "    i: 'tuple'\n"
    "    c: 'tuple'\n"
    "LCHBounds.__annotations__ = {'M': 'np.ndarray', 'i': 'tuple', 'c': 'tuple'}\n";

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
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError, msg::kInterpreterChange);
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
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

int check_version() {
    const int rt_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int rt_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message, msg::kVersion, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                  "quorvane", "does not match", rt_major, rt_minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

int exec_steps(PyObject* module) {
    if (check_version() < 0) return -1;
    PyObject* dict = PyModule_GetDict(module);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemString(modules, "quorvane");
    if (registered == nullptr && PyDict_SetItemString(modules, "quorvane", module) < 0) return -1;

    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    if (!np || PyDict_SetItemString(dict, "np", np.get()) < 0) return -1;
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    if (!typing) return -1;
    Ref named_tuple = Ref::steal(PyObject_GetAttrString(typing.get(), "NamedTuple"));
    if (!named_tuple) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, "cannot import name 'NamedTuple' from 'typing'");
        }
        return -1;
    }
    if (PyDict_SetItemString(dict, "NamedTuple", named_tuple.get()) < 0) return -1;

    std::srand(static_cast<unsigned>(std::time(nullptr)));

    Ref result = Ref::steal(PyRun_String(kLchBoundsSource, Py_file_input, dict, dict));
    if (!result) return -1;

    Ref type = Ref::steal(reinterpret_cast<PyObject*>(function_type_create()));
    if (!type) return -1;
    for (const FunctionDef& f : kFunctions) {
        Ref fn = Ref::steal(function_new(reinterpret_cast<PyTypeObject*>(type.get()), f));
        if (!fn || PyDict_SetItemString(dict, f.name, fn.get()) < 0) return -1;
    }

    color_kernels_init();
    if (const char* why = color_kernels_error()) {
        PyErr_SetString(PyExc_ImportError, why);
        return -1;
    }

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return -1;
    return 0;
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, msg::kReinit);
        return -1;
    }
    g_module = Py_NewRef(module);
    if (exec_steps(module) < 0) {
        Py_CLEAR(g_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane",
    nullptr,  // no docstring
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* module_global(const char* name) {
    if (g_module != nullptr) {
        PyObject* v = PyDict_GetItemString(PyModule_GetDict(g_module), name);
        if (v != nullptr) return Py_NewRef(v);
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        PyObject* v = PyDict_GetItemString(builtins, name);
        if (v != nullptr) return Py_NewRef(v);
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return nullptr;
}

}  // namespace quorvane

PyMODINIT_FUNC PyInit_quorvane(void) { return PyModuleDef_Init(&quorvane::module_def); }
