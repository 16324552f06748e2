// Interned attribute names, made once per module on first use.
#pragma once
#include "py.hpp"

namespace qtx {

struct Names {
#define QTX_NAMES(X)                                                                              \
    X(coeff) X(constant) X(order) X(var_map) X(var_num) X(integer_bound) X(name) X(ndim) X(kind)   \
    X(start) X(end) X(shape) X(lower) X(upper) X(variable) X(subscripts) X(array) X(axis) X(left) \
    X(right) X(operands) X(index) X(condition) X(operand) X(terms) X(indices) X(fixed_variables)   \
    X(substitute) X(_substitute) X(get_value) X(get_length) X(get_index_values) X(add_variable)   \
    X(add_int_variable) X(label) X(value) X(extract) X(extract_expr) X(item) X(items) X(forall)   \
    X(expression) X(objective) X(constraints) X(penalties) X(sense) X(instance_data) X(_data)
#define QTX_DECLARE(n) Obj n;
    QTX_NAMES(QTX_DECLARE)
#undef QTX_DECLARE
    Names() {
#define QTX_INIT(n) n = interned(#n);
        QTX_NAMES(QTX_INIT)
#undef QTX_INIT
    }
};

/// Never freed: the module outlives every call that uses them.
inline const Names& names() {
    static Names* n = new Names();
    return *n;
}

}  // namespace qtx

namespace qtx {

/// `quillon_transpiler.exceptions.SubstituteError`, imported on first use.
/// Safe with an error pending: the import on first use sets it aside.
inline PyObject* exception_class(const char* name, PyObject*& slot) {
    if (!slot) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        slot = PyImport_ImportModule("quillon_transpiler.exceptions");
        if (slot) {
            PyObject* m = slot;
            slot = PyObject_GetAttrString(m, name);
            Py_DECREF(m);
        }
        if (!slot) {
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
            fail();
        }
        PyErr_Restore(t, v, tb);
    }
    return slot;
}

inline PyObject* substitute_error() {
    static PyObject* cls = nullptr;
    return exception_class("SubstituteError", cls);
}

[[noreturn]] inline void raise_substitute(const std::string& msg) { raise(substitute_error(), msg); }

}  // namespace qtx

namespace qtx {

/// `indices[name] = value` on an instance data's element bindings.
inline void bind_index(PyObject* indices, PyObject* name, PyObject* value) {
    if (indices == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    if (PyDict_CheckExact(indices)) return dict_set(indices, name, value);
    if (PyObject_SetItem(indices, name, value) < 0) fail();
}

/// A module imported on first use and kept; its attributes are read at every use.
inline PyObject* lazy_module(const char* path, PyObject*& slot) {
    if (!slot) slot = own(PyImport_ImportModule(path)).release().ptr();
    return slot;
}

}  // namespace qtx

/// An interned attribute name made once; never freed, like `names()`.
#define QTX_NAME(s)                                              \
    ([]() -> PyObject* {                                         \
        static PyObject* o = ::qtx::interned(s).release().ptr(); \
        return o;                                                \
    }())

/// Defines `fn()`, the module at `path`, imported on first use.
#define QTX_LAZY_MODULE(fn, path)          \
    PyObject* fn() {                       \
        static PyObject* m = nullptr;      \
        return ::qtx::lazy_module(path, m); \
    }
