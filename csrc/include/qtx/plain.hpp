// NumPy scalars and zero-dimensional arrays as the equal plain Python numbers.
#pragma once
#include "names.hpp"

namespace qtx {

/// `numpy.generic` and `numpy.ndarray`, or null when NumPy is absent.
inline PyTypeObject* numpy_type(const char* name) {
    static PyObject* generic = nullptr;
    static PyObject* ndarray = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        PyObject* np = PyImport_ImportModule("numpy");
        if (np) {
            generic = PyObject_GetAttrString(np, "generic");
            ndarray = PyObject_GetAttrString(np, "ndarray");
            Py_DECREF(np);
        }
        PyErr_Clear();
    }
    PyObject* t = name[0] == 'g' ? generic : ndarray;
    return t && PyType_Check(t) ? (PyTypeObject*)t : nullptr;
}

/// `v.item()` for NumPy scalars and zero-dimensional arrays; anything else as it is.
inline Obj plain(PyObject* v) {
    if (PyFloat_CheckExact(v) || PyLong_CheckExact(v) || v == Py_None) return ref(v);
    PyTypeObject* generic = numpy_type("generic");
    PyTypeObject* ndarray = numpy_type("ndarray");
    bool scalar = generic && PyObject_TypeCheck(v, generic);
    if (!scalar && ndarray && PyObject_TypeCheck(v, ndarray)) {
        Obj nd = getattr(v, names().ndim.ptr());
        scalar = PyLong_Check(nd.ptr()) && PyLong_AsLong(nd.ptr()) == 0;
    }
    if (!scalar) return ref(v);
    return own(PyObject_CallMethodObjArgs(v, names().item.ptr(), nullptr));
}

}  // namespace qtx
