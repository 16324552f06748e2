// The libraries the bridge calls (dimod, NumPy, quillon) and the numbers dimod takes as biases.
#pragma once
#include "qtx/plumbing.hpp"

namespace qtx::bridge {

inline Obj attr(PyObject* o, const char* name) { return own(PyObject_GetAttrString(o, name)); }
inline Obj dimod_attr(const char* name) { return attr(imported(QTX_NAME("dimod")).ptr(), name); }
inline Obj numpy_attr(const char* name) { return attr(imported(QTX_NAME("numpy")).ptr(), name); }
inline Obj ql_attr(const char* name) { return attr(imported(QTX_NAME("quillon")).ptr(), name); }

inline Obj method(PyObject* o, const char* name, std::initializer_list<PyObject*> args = {}) {
    return call(attr(o, name).ptr(), args);
}

/// `m.items()` as a list of pairs, for any mapping.
inline Obj items_of(PyObject* m) {
    if (PyDict_Check(m)) return own(PyDict_Items(m));
    return own(PyMapping_Items(m));
}

/// A real number that dimod's arithmetic takes as a bias: int, float, a NumPy integer or float.
inline bool real_number(PyObject* o) {
    if (PyFloat_Check(o) || PyLong_Check(o)) return true;
    return is_instance(o, numpy_attr("integer").ptr()) || is_instance(o, numpy_attr("floating").ptr());
}

inline double as_double(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) fail();
    return v;
}

}  // namespace qtx::bridge
