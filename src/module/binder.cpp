// Argument binding: arity, keyword lookup in parameter order, then the
// keywords that were not consumed (unknown, duplicate or non-string names).
#include "binder.h"

#include "error.h"
#include "messages.h"

namespace quorvane {
namespace {

bool raise_arity(const BoundNames& sig, Py_ssize_t found) {
    const bool exact = sig.nrequired == sig.nparams;
    Py_ssize_t expected;
    const char* wording;
    if (found < sig.nrequired) {
        expected = sig.nrequired;
        wording = "at least";
    } else {
        expected = sig.nparams;
        wording = "at most";
    }
    if (exact) wording = "exactly";
    return fail(PyExc_TypeError, msg::kArity, sig.fname, wording, expected, expected == 1 ? "" : "s",
                found);
}

/// 1 when `a` and `b` name the same keyword, 0 when not, -1 on error.
int same_name(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
    }
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

/// Value of keyword `name`, nullptr if absent (error set only on failure).
PyObject* keyword_value(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int eq = same_name(name, PyTuple_GET_ITEM(kwnames, i));
        if (eq < 0) return nullptr;
        if (eq) return kwvalues[i];
    }
    return nullptr;
}

/// Examines every keyword once the required parameters are bound.
bool check_keywords(const BoundNames& sig, PyObject* kwnames, Py_ssize_t nargs) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        bool found = false;
        for (int p = static_cast<int>(nargs); p < sig.nparams && !found; ++p) {
            found = sig.names[p] == key;
        }
        if (found) continue;
        if (!PyUnicode_Check(key)) return fail(PyExc_TypeError, msg::kKeywordsMustBeStrings, sig.fname);
        for (int p = static_cast<int>(nargs); p < sig.nparams && !found; ++p) {
            const int eq = same_name(sig.names[p], key);
            if (eq < 0) return false;
            found = eq != 0;
        }
        if (found) continue;
        for (int p = 0; p < nargs; ++p) {
            const int eq = same_name(sig.names[p], key);
            if (eq < 0) return false;
            if (eq) return fail(PyExc_TypeError, msg::kMultipleValues, sig.fname, key);
        }
        return fail(PyExc_TypeError, msg::kUnexpectedKeyword, sig.fname, key);
    }
    return true;
}

}  // namespace

bool bind_arguments(const BoundNames& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    if (nargs > sig.nparams) return raise_arity(sig, nargs);
    for (Py_ssize_t p = 0; p < nargs; ++p) out[p] = args[p];
    if (kwnames == nullptr) {
        if (nargs < sig.nrequired) return raise_arity(sig, nargs);
        for (int p = static_cast<int>(nargs); p < sig.nparams; ++p) out[p] = sig.defaults[p];
        return true;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unused = PyTuple_GET_SIZE(kwnames);
    for (int p = static_cast<int>(nargs); p < sig.nparams; ++p) {
        PyObject* v = nullptr;
        if (p < sig.nrequired || unused > 0) {
            v = keyword_value(kwnames, kwvalues, sig.names[p]);
            if (v == nullptr && PyErr_Occurred()) return false;
        }
        if (v != nullptr) {
            --unused;
            out[p] = v;
        } else if (p < sig.nrequired) {
            return raise_arity(sig, p);
        } else {
            out[p] = sig.defaults[p];
        }
    }
    if (unused > 0 && !check_keywords(sig, kwnames, nargs)) return false;
    return true;
}

}  // namespace quorvane
