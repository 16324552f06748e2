// Helpers of the binary-lowering modules: the reduction of a monomial key by x * x = x, and
// accumulating coefficients.
#pragma once
#include "num.hpp"
#include "plumbing.hpp"

#include <algorithm>
#include <vector>

namespace qtx {

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
            auto last =
                std::unique(items.begin(), items.end(), [](const Item& x, const Item& y) { return x.v == y.v; });
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
