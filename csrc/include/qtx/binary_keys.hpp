// Binary polynomials as Python dicts, for the binary-lowering modules: the reduction of a
// monomial key by x * x = x, keys joined, coefficients accumulated, and native terms written
// into a dict.
#pragma once
#include "num.hpp"
#include "plumbing.hpp"
#include "poly.hpp"

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

/// tuple(a) + tuple(b).
inline Obj concat_key(PyObject* a, PyObject* b) {
    Obj ta = PyTuple_CheckExact(a) ? ref(a) : own(PySequence_Tuple(a));
    Obj tb = PyTuple_CheckExact(b) ? ref(b) : own(PySequence_Tuple(b));
    return own(PySequence_Concat(ta.ptr(), tb.ptr()));
}

/// Python ints 0..n-1, made once per output.
struct IndexCache {
    std::vector<Obj> ints;
    PyObject* get(int32_t i) {
        if ((size_t)i >= ints.size()) {
            size_t old = ints.size();
            ints.resize(std::max((size_t)i + 1, old * 2));
            for (size_t j = old; j < ints.size(); ++j) ints[j] = integer((long long)j);
        }
        return ints[(size_t)i].ptr();
    }
};

/// Adds the terms into dict `d` (d[key] = d[key] + value, or value for a new key), calling
/// check(entry) on each first.
template <class Check>
void flush(Terms& t, PyObject* d, IndexCache& ints, Check&& check) {
    SignalPoll poll;  // millions of terms take a while
    for (auto& entry : t) {
        poll.tick();
        check(entry);
        uint32_t n = entry.key.size();
        PyObject* tup = PyTuple_New(n);
        if (!tup) fail();
        for (uint32_t i = 0; i < n; ++i) {
            PyObject* o = ints.get(entry.key.data()[i]);
            Py_INCREF(o);
            PyTuple_SET_ITEM(tup, i, o);
        }
        PyObject_GC_UnTrack(tup);  // ints only: never part of a cycle
        Obj key = own(tup);
        Obj value = entry.val.py();
        // one lookup for a new key; inserted when the dict grew (small ints are shared objects,
        // so the returned value cannot tell)
        Py_ssize_t size = PyDict_GET_SIZE(d);
        PyObject* old = PyDict_SetDefault(d, key.ptr(), value.ptr());
        if (!old) fail();
        if (PyDict_GET_SIZE(d) == size) dict_set(d, key.ptr(), num_add(Num::of(old), entry.val).py().ptr());
    }
}

/// The terms as a new dict; check(entry) is called on each first.
template <class Check>
Obj to_dict(Terms& t, IndexCache& ints, Check&& check) {
    Obj d = own(_PyDict_NewPresized((Py_ssize_t)t.size()));
    flush(t, d.ptr(), ints, check);
    return d;
}
inline Obj to_dict(Terms& t, IndexCache& ints) {
    return to_dict(t, ints, [](const Terms::Entry&) {});
}

}  // namespace qtx
