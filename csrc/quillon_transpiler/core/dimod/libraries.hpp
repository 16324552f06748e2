// The libraries the bridge calls (dimod, NumPy, quillon), and the numbers dimod takes as biases.
#pragma once
#include "qtx/plumbing.hpp"

#include <cmath>
#include <utility>

namespace qtx::bridge {

using namespace nb::literals;

/// The modules, imported on first use; attributes are read at every use, as Python reads them.
inline nb::object dimod() { return imported(QTX_NAME("dimod")); }
inline nb::object numpy() { return imported(QTX_NAME("numpy")); }
inline nb::object quillon() { return imported(QTX_NAME("quillon")); }

inline nb::object binary_vartype() { return dimod().attr("Vartype").attr("BINARY"); }
inline nb::object integer_vartype() { return dimod().attr("Vartype").attr("INTEGER"); }

/// `m.items()` as a list of pairs, for any mapping (a dict's own items, whatever its class).
inline nb::list items_of(nb::handle m) {
    PyObject* items = PyDict_Check(m.ptr()) ? PyDict_Items(m.ptr()) : PyMapping_Items(m.ptr());
    if (!items) fail();
    return nb::steal<nb::list>(items);
}

/// `list(iterable)`, a new list. (nb::list(x.attr("name")) would instead take the attribute
/// itself as the list, unconverted.)
inline nb::list list_of(nb::handle iterable) { return nb::list(iterable); }

/// The key and value of an `items()` pair, borrowed from it.
inline std::pair<nb::handle, nb::handle> pair_of(nb::handle item) {
    auto pair = nb::borrow<nb::tuple>(item);
    return {pair[0], pair[1]};
}

/// `key in container`, as Python's `in` asks it.
inline bool contains(nb::handle container, nb::handle key) {
    int found = PySequence_Contains(container.ptr(), key.ptr());
    if (found < 0) fail();
    return found != 0;
}

/// A real number that dimod's arithmetic takes as a bias: int, float, a NumPy integer or float.
inline bool real_number(nb::handle o) {
    if (PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr())) return true;
    nb::object np = numpy();
    return nb::isinstance(o, np.attr("integer")) || nb::isinstance(o, np.attr("floating"));
}

/// `float(o)`; per coefficient, so on the raw API.
inline double as_double(nb::handle o) {
    double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) fail();
    return v;
}

/// Whether `number` is an int that its finite float64 `v` (as_double's) rounds: one of
/// 2**53 or more in magnitude that v differs from.
inline bool rounded_int(nb::handle number, double v) {
    if (!PyLong_Check(number.ptr()) || !std::isfinite(v) || std::fabs(v) < 0x1p53) return false;
    int differs = PyObject_RichCompareBool(nb::float_(v).ptr(), number.ptr(), Py_NE);
    if (differs < 0) fail();
    return differs != 0;
}

}  // namespace qtx::bridge
