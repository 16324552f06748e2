// Monomial-key maps held as Python mappings: dicts on the fast path, any mapping otherwise.
#pragma once
#include "names.hpp"
#include "num.hpp"

namespace qtx {

inline Py_ssize_t map_size(nb::handle m) {
    if (!m) return 0;
    if (PyDict_CheckExact(m.ptr())) return PyDict_GET_SIZE(m.ptr());
    Py_ssize_t n = PyObject_Length(m.ptr());
    if (n < 0) fail();
    return n;
}

/// `m[key]` or null when absent.
inline Obj map_find(nb::handle m, nb::handle key) {
    if (PyDict_CheckExact(m.ptr())) {
        PyObject* v = dict_get(m, key);
        return v ? ref(v) : Obj();
    }
    int has = PySequence_Contains(m.ptr(), key.ptr());
    if (has < 0) fail();
    return has ? own(PyObject_GetItem(m.ptr(), key.ptr())) : Obj();
}

inline void map_store(nb::handle m, nb::handle key, nb::handle v) {
    if (PyDict_CheckExact(m.ptr())) return dict_set(m, key, v);
    if (PyObject_SetItem(m.ptr(), key.ptr(), v.ptr()) < 0) fail();
}

/// Calls f(key, value) for every term in insertion order, passing PyObject* (f may take
/// nb::handle). f must not add keys to `m`.
template <class F>
inline void map_each(nb::handle map, F&& f) {
    PyObject* m = map.ptr();
    if (!m) return;
    if (PyDict_CheckExact(m)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(m, &pos, &k, &v)) {
            Obj kk = ref(k), vv = ref(v);  // the callback may replace the entry
            f(kk.ptr(), vv.ptr());
        }
        return;
    }
    Obj items = own(PyMapping_Items(m));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        Obj k = own(PySequence_GetItem(pair, 0)), v = own(PySequence_GetItem(pair, 1));
        f(k.ptr(), v.ptr());
    }
}

/// Adds v to the coefficient under key, inserting it when absent: `m[key] = m[key] + v`.
inline void map_accumulate(nb::handle m, nb::handle key, nb::handle v) {
    Obj old = map_find(m, key);
    if (old)
        map_store(m, key, num_add(old, v));
    else
        map_store(m, key, v);
}

}  // namespace qtx
