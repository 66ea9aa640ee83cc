// Scalar conversion with the module's messages, and bounds mappings.
#include "convert.h"

#include <cmath>

#include "compat.h"
#include "error.h"
#include "messages.h"
#include "ref.h"

namespace quorvane {
namespace {

bool long_to_int32(PyObject* v, int32_t& out) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || x < INT32_MIN || x > INT32_MAX) return fail(PyExc_OverflowError, msg::kIntOverflow);
    out = static_cast<int32_t>(x);
    return true;
}

/// The result of __int__, checked: an int, or an empty Ref with the error set.
Ref call_int(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        fail(PyExc_TypeError, msg::kIntRequired);
        return {};
    }
    Ref res = Ref::steal(nb->nb_int(o));
    if (!res) {
        if (!PyErr_Occurred()) fail(PyExc_TypeError, msg::kIntRequired);
        return {};
    }
    if (PyLong_CheckExact(res.get())) return res;
    if (PyLong_Check(res.get())) {
        const char* type_name = Py_TYPE(res.get())->tp_name;
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, msg::kIntReturnedSubclass, type_name) < 0) {
            return {};
        }
        return res;
    }
    fail(PyExc_TypeError, msg::kIntReturnedNonInt, "int", "int", Py_TYPE(res.get())->tp_name);
    return {};
}

/// Raises ValueError("No value specified ...") with the KeyError as context.
bool raise_missing_field(const char* field) {
    PyObject* key_error = compat::take_exception();
    fail(PyExc_ValueError, msg::kNoStructValue, field);
    PyObject* value_error = compat::take_exception();
    PyException_SetContext(value_error, key_error);  // steals key_error
    compat::restore_exception(value_error);
    return false;
}

bool bounds_field(PyObject* o, const char* field, int32_t* out, Py_ssize_t n) {
    Ref key = Ref::steal(PyUnicode_InternFromString(field));
    if (!key) return false;
    Ref value;
    if (PyDict_CheckExact(o)) {
        PyObject* v = PyDict_GetItemWithError(o, key.get());
        if (v == nullptr) {
            if (PyErr_Occurred()) return false;
            PyErr_SetObject(PyExc_KeyError, key.get());
            return raise_missing_field(field);
        }
        value = Ref::borrow(v);
    } else {
        value = Ref::steal(PyObject_GetItem(o, key.get()));
        if (!value) {
            return PyErr_ExceptionMatches(PyExc_KeyError) ? raise_missing_field(field) : false;
        }
    }
    return to_int32_array(value.get(), out, n);
}

}  // namespace

bool to_int32(PyObject* o, int32_t& out) {
    if (PyLong_Check(o)) return long_to_int32(o, out);
    Ref v = call_int(o);
    if (!v) return false;
    return long_to_int32(v.get(), out);
}

bool to_double(PyObject* o, double& out) {
    out = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_int32_array(PyObject* o, int32_t* out, Py_ssize_t n) {
    Py_ssize_t len = PyObject_Length(o);
    if (len < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return false;
        }
        PyErr_Clear();
        len = n;
    }
    if (len > n) return fail(PyExc_IndexError, msg::kTooManyArrayValues, n);
    if (len < n) return fail(PyExc_IndexError, msg::kTooFewArrayValues, n, len);
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // A list may have changed its length inside an item's __int__.
        for (Py_ssize_t k = 0; k < n; ++k) {
            const Py_ssize_t size = PyList_CheckExact(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
            if (k >= size) return fail(PyExc_IndexError, msg::kTooFewArrayValues, n, k);
            Ref item = Ref::borrow(PyList_CheckExact(o) ? PyList_GET_ITEM(o, k) : PyTuple_GET_ITEM(o, k));
            if (!to_int32(item.get(), out[k])) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    Py_ssize_t k = 0;
    for (; k < n; ++k) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            break;
        }
        if (!to_int32(item.get(), out[k])) return false;
    }
    if (k < n) return fail(PyExc_IndexError, msg::kTooFewArrayValues, n, k);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return fail(PyExc_IndexError, msg::kTooManyArrayValues, n);
    return !PyErr_Occurred();
}

bool to_lch_bounds(PyObject* o, LchBounds& out) {
    if (!PyMapping_Check(o)) return fail(PyExc_TypeError, msg::kExpectedMapping, "a mapping", Py_TYPE(o)->tp_name);
    LchBounds b{};
    if (!bounds_field(o, "i", b.i, 2)) return false;
    if (!bounds_field(o, "c", b.c, 2)) return false;
    if (!bounds_field(o, "M", b.M, 9)) return false;
    out = b;
    return true;
}

bool lch_bounds_fields(PyObject* t, LchBounds& out) {
    LchBounds b{};
    // The mapping's order: i, c, then M (items 1, 2 and 0 of the tuple).
    if (!to_int32_array(PyTuple_GET_ITEM(t, 1), b.i, 2)) return false;
    if (!to_int32_array(PyTuple_GET_ITEM(t, 2), b.c, 2)) return false;
    if (!to_int32_array(PyTuple_GET_ITEM(t, 0), b.M, 9)) return false;
    out = b;
    return true;
}

}  // namespace quorvane
