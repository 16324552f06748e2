// Python number arithmetic with fast paths for the float and small-int cases that dominate.
#pragma once
#include "py.hpp"

namespace qtx {

/// The value of an exact int or float as a double when Python would compute the same.
inline bool as_fast_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        // ints up to 2**53 convert exactly, as Python's int-to-float promotion does
        if (!overflow && v <= (1LL << 53) && v >= -(1LL << 53)) {
            out = (double)v;
            return true;
        }
    }
    return false;
}

/// Either operand a float, the other a float or a small int: the result is a float.
inline bool fast_pair(PyObject* a, PyObject* b, double& x, double& y) {
    if (!(PyFloat_CheckExact(a) || PyFloat_CheckExact(b))) return false;
    return as_fast_double(a, x) && as_fast_double(b, y);
}

inline Obj num_add(PyObject* a, PyObject* b) {
    double x, y;
    if (fast_pair(a, b, x, y)) return own(PyFloat_FromDouble(x + y));
    return own(PyNumber_Add(a, b));
}
inline Obj num_mul(PyObject* a, PyObject* b) {
    double x, y;
    if (fast_pair(a, b, x, y)) return own(PyFloat_FromDouble(x * y));
    return own(PyNumber_Multiply(a, b));
}
inline Obj num_pow(PyObject* a, PyObject* b) { return own(PyNumber_Power(a, b, Py_None)); }

/// Python's `v != 0.0` (NaN counts as different).
inline bool nonzero(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) != 0.0;
    if (PyLong_CheckExact(v)) return truth(v);
    static PyObject* zero = PyFloat_FromDouble(0.0);
    return compare(v, zero, Py_NE);
}

/// Builtin `max(a, b)`: the second wins only when strictly greater.
inline PyObject* py_max(PyObject* a, PyObject* b) { return compare(b, a, Py_GT) ? b : a; }

inline Obj float_zero() { return own(PyFloat_FromDouble(0.0)); }
inline Obj small_int(long v) { return own(PyLong_FromLong(v)); }

}  // namespace qtx
