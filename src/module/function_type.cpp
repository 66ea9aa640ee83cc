// quorvane function type: vectorcall entry, parameter table, introspection
// (__name__, __qualname__, __module__, __defaults__, __code__, ...) and
// pickling by reference, like built-in functions.
#include "function_type.h"

#include <structmember.h>

#ifndef Py_T_PYSSIZET
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include "binder.h"
#include "ref.h"

namespace quorvane {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    BoundNames sig;
    PyObject* name;         // str
    PyObject* defaults;     // tuple or nullptr
    PyObject* code;         // code object
    PyObject* annotations;  // dict
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    PyObject* bound[kMaxParams];
    if (!bind_arguments(f->sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return f->def->impl(bound);
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* tp = Py_TYPE(self);
    for (int p = 0; p < f->sig.nparams; ++p) {
        Py_XDECREF(f->sig.names[p]);
        Py_XDECREF(f->sig.defaults[p]);
    }
    Py_XDECREF(f->name);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->code);
    Py_XDECREF(f->annotations);
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
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->annotations);
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

/// A code object whose leading variable names are the parameters.
Ref make_code(const FunctionDef& def, PyObject* names_tuple) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("quorvane", def.name, 1)));
    if (!empty) return {};
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return {};
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", def.nparams, "co_nlocals",
                                          def.nparams, "co_varnames", names_tuple));
    if (!kwargs) return {};
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return {};
    return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

}  // namespace

PyTypeObject* function_type_create() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
}

PyObject* function_new(PyTypeObject* type, const FunctionDef& def) {
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(FunctionObject, type)));
    if (!self) return nullptr;
    FunctionObject* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->sig = BoundNames{};
    f->sig.nparams = 0;
    f->sig.nrequired = 0;
    f->sig.fname = def.name;
    f->name = nullptr;
    f->defaults = nullptr;
    f->code = nullptr;
    f->annotations = nullptr;

    Ref names = Ref::steal(PyTuple_New(def.nparams));
    if (!names) return nullptr;
    int ndefaults = 0;
    for (int p = 0; p < def.nparams; ++p) {
        PyObject* name = PyUnicode_InternFromString(def.params[p].name);
        if (!name) return nullptr;
        f->sig.names[p] = name;
        f->sig.defaults[p] = nullptr;
        f->sig.nparams = p + 1;
        PyTuple_SET_ITEM(names.get(), p, Py_NewRef(name));
        switch (def.params[p].dflt) {
            case Default::Required:
                f->sig.nrequired = p + 1;
                break;
            case Default::None:
                f->sig.defaults[p] = Py_NewRef(Py_None);
                ++ndefaults;
                break;
            case Default::Int:
                f->sig.defaults[p] = PyLong_FromLong(def.params[p].dval);
                if (!f->sig.defaults[p]) return nullptr;
                ++ndefaults;
                break;
        }
    }
    if (ndefaults > 0) {
        f->defaults = PyTuple_New(ndefaults);
        if (!f->defaults) return nullptr;
        for (int p = def.nparams - ndefaults, k = 0; p < def.nparams; ++p, ++k) {
            PyTuple_SET_ITEM(f->defaults, k, Py_NewRef(f->sig.defaults[p]));
        }
    }
    f->name = PyUnicode_InternFromString(def.name);
    if (!f->name) return nullptr;
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
    f->code = make_code(def, names.get()).release();
    if (!f->code) return nullptr;
    return self.release();
}

}  // namespace quorvane
