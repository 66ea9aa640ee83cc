// quorvane function type: vectorcall entry (bind, then the row's call:
// convert, run the body),
// garbage collection (traverse, clear), introspection (__name__,
// __qualname__, __module__, __defaults__, __code__, ...) and pickling by
// reference, like built-in functions.
#include "function_type.h"

#include <structmember.h>

#ifndef Py_T_PYSSIZET
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include "binder.h"
#include "error.h"
#include "messages.h"
#include "module_state.h"
#include "ref.h"

namespace quorvane {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    BoundNames sig;
    PyObject* module;       // the module whose state the body uses
    PyObject* name;         // str
    PyObject* defaults;     // tuple or nullptr
    PyObject* code;         // code object
    PyObject* annotations;  // dict, writable by users: a possible cycle
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    if (f->module == nullptr) {
        fail(PyExc_RuntimeError, msg::kFunctionCleared, f->name);
        return nullptr;
    }
    PyObject* bound[kMaxParams];  // borrowed
    if (!bind_arguments(f->sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return f->spec->call(module_state(f->module), f->spec->params, bound);
}

/// The references a function object owns that may take part in a cycle.
PyObject** collectable_fields(FunctionObject* f, int k) {
    PyObject** fields[] = {&f->module, &f->defaults, &f->code, &f->annotations};
    return k < 4 ? fields[k] : nullptr;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (int k = 0; PyObject** field = collectable_fields(as_function(self), k); ++k) Py_VISIT(*field);
    return 0;
}

int function_clear(PyObject* self) {
    for (int k = 0; PyObject** field = collectable_fields(as_function(self), k); ++k) Py_CLEAR(*field);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    for (int p = 0; p < f->sig.nparams; ++p) {
        Py_CLEAR(f->sig.names[p]);
        Py_CLEAR(f->sig.defaults[p]);
    }
    function_clear(self);
    Py_CLEAR(f->name);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->name);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_code(PyObject* self, void*) {
    PyObject* code = as_function(self)->code;
    return Py_NewRef(code ? code : Py_None);
}
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) return nullptr;
    return Py_NewRef(f->annotations);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference: the loader finds quorvane.<name>.
    return Py_NewRef(as_function(self)->name);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "quorvane.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

/// A code object whose leading variable names are the parameters.
Ref make_code(const FunctionSpec& spec, PyObject* names_tuple) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("quorvane", spec.name, 1)));
    if (!empty) return {};
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return {};
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", spec.nparams, "co_nlocals",
                                          spec.nparams, "co_varnames", names_tuple));
    if (!kwargs) return {};
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return {};
    return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

}  // namespace

PyObject* function_type_create(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &function_spec, nullptr);
}

PyObject* function_new(PyObject* type, PyObject* module, const FunctionSpec& spec) {
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(
        PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(type))));
    if (!self) return nullptr;
    FunctionObject* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->sig = BoundNames{};
    f->sig.fname = spec.name;
    f->module = Py_NewRef(module);
    f->name = nullptr;
    f->defaults = nullptr;
    f->code = nullptr;
    f->annotations = nullptr;
    PyObject_GC_Track(self.get());

    Ref names = Ref::steal(PyTuple_New(spec.nparams));
    if (!names) return nullptr;
    int ndefaults = 0;
    for (int p = 0; p < spec.nparams; ++p) {
        const Param& param = spec.params[p];
        PyObject* name = PyUnicode_InternFromString(param.name);
        if (!name) return nullptr;
        f->sig.names[p] = name;
        f->sig.nparams = p + 1;
        PyTuple_SET_ITEM(names.get(), p, Py_NewRef(name));
        switch (param.fallback) {
            case Default::Required:
                f->sig.nrequired = p + 1;
                break;
            case Default::None:
                f->sig.defaults[p] = Py_NewRef(Py_None);
                ++ndefaults;
                break;
            case Default::Int:
                f->sig.defaults[p] = PyLong_FromLong(param.int_default);
                if (!f->sig.defaults[p]) return nullptr;
                ++ndefaults;
                break;
        }
    }
    if (ndefaults > 0) {
        f->defaults = PyTuple_New(ndefaults);
        if (!f->defaults) return nullptr;
        for (int p = spec.nparams - ndefaults, k = 0; p < spec.nparams; ++p, ++k) {
            PyTuple_SET_ITEM(f->defaults, k, Py_NewRef(f->sig.defaults[p]));
        }
    }
    f->name = PyUnicode_InternFromString(spec.name);
    if (!f->name) return nullptr;
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
    f->code = make_code(spec, names.get()).release();
    if (!f->code) return nullptr;
    return self.release();
}

}  // namespace quorvane
