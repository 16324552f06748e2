// Helpers of the binary-lowering modules: Python-style pair unpacking and the reduction of a
// monomial key by x * x = x.
#pragma once
#include "num.hpp"

#include <algorithm>
#include <vector>

namespace qtx {

/// `a, b = value`, with Python's messages.
inline void unpack2(PyObject* value, Obj& a, Obj& b) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n == 2) {
            a = ref(PySequence_Fast_GET_ITEM(value, 0));
            b = ref(PySequence_Fast_GET_ITEM(value, 1));
            return;
        }
        if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    }
    PyObject* it = PyObject_GetIter(value);
    if (!it) {
        PyErr_Clear();
        raisef(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(value));
    }
    Obj iter = own(it);
    Obj got[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* v = PyIter_Next(it);
        if (!v) {
            if (PyErr_Occurred()) fail();
            raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        got[i] = own(v);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) fail();
    a = got[0];
    b = got[1];
}

/// `tuple(sorted(set(key)))`; a key that already is strictly increasing is returned itself.
inline Obj reduced_key(PyObject* key) {
    if (PyTuple_CheckExact(key)) {
        Py_ssize_t n = PyTuple_GET_SIZE(key);
        struct Item {
            long long v;
            PyObject* o;
        };
        std::vector<Item> items((size_t)n);
        bool fast = true, increasing = true;
        for (Py_ssize_t i = 0; i < n && fast; ++i) {
            PyObject* o = PyTuple_GET_ITEM(key, i);
            int overflow = 0;
            long long v = PyLong_CheckExact(o) ? PyLong_AsLongLongAndOverflow(o, &overflow) : (fast = false, 0);
            if (overflow) fast = false;
            items[(size_t)i] = Item{v, o};
            if (i && v <= items[(size_t)i - 1].v) increasing = false;
        }
        if (fast) {
            if (increasing) return ref(key);
            std::stable_sort(items.begin(), items.end(), [](const Item& x, const Item& y) { return x.v < y.v; });
            auto last = std::unique(items.begin(), items.end(), [](const Item& x, const Item& y) { return x.v == y.v; });
            Py_ssize_t m = last - items.begin();
            PyObject* t = PyTuple_New(m);
            if (!t) fail();
            for (Py_ssize_t i = 0; i < m; ++i) {
                Py_INCREF(items[(size_t)i].o);
                PyTuple_SET_ITEM(t, i, items[(size_t)i].o);
            }
            return own(t);
        }
    }
    Obj set = own(PySet_New(key));
    Obj list = own(PySequence_List(set.ptr()));
    if (PyList_Sort(list.ptr()) < 0) fail();
    return own(PyList_AsTuple(list.ptr()));
}

/// `d[key] = d[key] + v`, or `d[key] = start + v` when absent (start: none stores v itself).
inline void dict_accumulate(PyObject* d, PyObject* key, const Num& v, const Num* start = nullptr) {
    PyObject* old = dict_get(d, key);
    if (old)
        dict_set(d, key, num_add(Num::of(old), v).py().ptr());
    else
        dict_set(d, key, (start ? num_add(*start, v) : v).py().ptr());
}

}  // namespace qtx
