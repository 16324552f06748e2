// NumPy scalars and zero-dimensional arrays as the equal plain Python numbers.
#pragma once
#include "names.hpp"

namespace qtx {

/// `numpy.generic` or `numpy.ndarray` (borrowed: NumPy holds it), or null when NumPy is absent.
inline PyTypeObject* numpy_type(const char* name) {
    try {
        Obj t = imported(QTX_NAME("numpy"), name[0] == 'g' ? QTX_NAME("generic") : QTX_NAME("ndarray"));
        return PyType_Check(t.ptr()) ? (PyTypeObject*)t.ptr() : nullptr;
    } catch (PyErrSet&) {
        PyErr_Clear();
        return nullptr;
    }
}

/// `v.item()` for NumPy scalars and zero-dimensional arrays; anything else as it is.
inline Obj plain(nb::handle v) {
    if (PyFloat_CheckExact(v.ptr()) || PyLong_CheckExact(v.ptr()) || v.is_none()) return ref(v);
    PyTypeObject* generic = numpy_type("generic");
    PyTypeObject* ndarray = numpy_type("ndarray");
    bool scalar = generic && PyObject_TypeCheck(v.ptr(), generic);
    if (!scalar && ndarray && PyObject_TypeCheck(v.ptr(), ndarray)) {
        Obj nd = qtx::getattr(v, names().ndim);
        scalar = PyLong_Check(nd.ptr()) && PyLong_AsLong(nd.ptr()) == 0;
    }
    if (!scalar) return ref(v);
    return call_method(v, names().item);
}

}  // namespace qtx
