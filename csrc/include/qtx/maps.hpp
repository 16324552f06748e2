// Monomial-key maps held as Python mappings: dicts on the fast path, any mapping otherwise.
#pragma once
#include "names.hpp"
#include "num.hpp"

namespace qtx {

inline Py_ssize_t map_size(PyObject* m) {
    if (!m) return 0;
    if (PyDict_CheckExact(m)) return PyDict_GET_SIZE(m);
    Py_ssize_t n = PyObject_Length(m);
    if (n < 0) fail();
    return n;
}

/// `m[key]` or null when absent.
inline Obj map_find(PyObject* m, PyObject* key) {
    if (PyDict_CheckExact(m)) {
        PyObject* v = dict_get(m, key);
        return v ? ref(v) : Obj();
    }
    int has = PySequence_Contains(m, key);
    if (has < 0) fail();
    return has ? own(PyObject_GetItem(m, key)) : Obj();
}

inline void map_store(PyObject* m, PyObject* key, PyObject* v) {
    if (PyDict_CheckExact(m)) return dict_set(m, key, v);
    if (PyObject_SetItem(m, key, v) < 0) fail();
}

/// Calls f(key, value) for every term in insertion order. f must not add keys to `m`.
template <class F>
inline void map_each(PyObject* m, F&& f) {
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
inline void map_accumulate(PyObject* m, PyObject* key, PyObject* v) {
    Obj old = map_find(m, key);
    if (old)
        map_store(m, key, num_add(old.ptr(), v).ptr());
    else
        map_store(m, key, v);
}

}  // namespace qtx
