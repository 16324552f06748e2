// In-place polynomial arithmetic on the fields of SubstitutedExpression objects (the methods
// add, mul and power). The substitution engine has its own C++ form of the same steps
// (npoly.hpp); the tests hold the two to the same keys, orders and number types.
#pragma once
#include "names.hpp"
#include "numbers.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qtx {

/// A SubstitutedExpression's fields, read once; `coeff` is its (dict-like) map.
struct Poly {
    Obj coeff, constant, order;
};

// ---- monomial-key maps: dicts on the fast path, any mapping otherwise ----

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

// ---- monomial keys ----

/// `tuple(sorted(a + b))`, without Python calls when both are tuples of machine-size ints.
inline Obj sorted_concat(PyObject* a, PyObject* b) {
    if (PyTuple_CheckExact(a) && PyTuple_CheckExact(b)) {
        Py_ssize_t na = PyTuple_GET_SIZE(a), nb = PyTuple_GET_SIZE(b);
        struct Item {
            long long v;
            PyObject* o;
        };
        Item buf[16];
        std::vector<Item> heap;
        Item* items = buf;
        if (na + nb > 16) {
            heap.resize((size_t)(na + nb));
            items = heap.data();
        }
        bool fast = true;
        for (Py_ssize_t i = 0; i < na + nb && fast; ++i) {
            PyObject* o = i < na ? PyTuple_GET_ITEM(a, i) : PyTuple_GET_ITEM(b, i - na);
            int overflow = 0;
            long long v = PyLong_CheckExact(o) ? PyLong_AsLongLongAndOverflow(o, &overflow) : (fast = false, 0);
            if (overflow) fast = false;
            items[i] = Item{v, o};
        }
        if (fast) {
            for (Py_ssize_t i = 1; i < na + nb; ++i)  // keys are short: insertion sort, stable
                for (Py_ssize_t j = i; j > 0 && items[j].v < items[j - 1].v; --j) std::swap(items[j], items[j - 1]);
            PyObject* t = PyTuple_New(na + nb);
            if (!t) fail();
            for (Py_ssize_t i = 0; i < na + nb; ++i) {
                Py_INCREF(items[i].o);
                PyTuple_SET_ITEM(t, i, items[i].o);
            }
            PyObject_GC_UnTrack(t);  // ints only: it cannot be part of a cycle
            return own(t);
        }
    }
    Obj cat = own(PyNumber_Add(a, b));
    Obj list = own(PySequence_List(cat.ptr()));
    if (PyList_Sort(list.ptr()) < 0) fail();
    return own(PyList_AsTuple(list.ptr()));
}

// ---- the three in-place operations ----

/// self *= other; the product map is complete before self changes.
inline void poly_mul(Poly& self, const Poly& other) {
    Obj out = own(PyDict_New());
    PyObject* m = out.ptr();
    PyObject *sc = self.coeff.ptr(), *oc = other.coeff.ptr();
    if (nonzero(self.constant.ptr()))
        map_each(oc, [&](PyObject* k, PyObject* v) { dict_set(m, k, num_mul(v, self.constant.ptr()).ptr()); });
    if (nonzero(other.constant.ptr())) {
        map_each(sc, [&](PyObject* k, PyObject* v) {
            Obj scaled = num_mul(v, other.constant.ptr());
            PyObject* old = dict_get(m, k);
            Obj base = old ? ref(old) : float_zero();
            dict_set(m, k, num_add(scaled.ptr(), base.ptr()).ptr());
        });
    }
    if (map_size(oc)) {
        map_each(sc, [&](PyObject* k1, PyObject* v1) {
            map_each(oc, [&](PyObject* k2, PyObject* v2) {
                Obj key = sorted_concat(k1, k2);
                map_accumulate(m, key.ptr(), num_mul(v1, v2).ptr());
            });
        });
    }
    Obj constant = num_mul(self.constant.ptr(), other.constant.ptr());
    Obj order = own(PyNumber_Add(self.order.ptr(), other.order.ptr()));
    self.coeff = out;
    self.constant = constant;
    self.order = order;
}

/// Raises SubstituteError-class `error` for exponents that cannot expand a polynomial.
inline void check_exponent(double e, PyObject* error) {
    if (std::isfinite(e) && e >= 0 && std::floor(e) == e) return;
    Obj r = own(PyFloat_FromDouble(e));
    std::string msg = "Cannot raise a polynomial with variables to the power " +
                      to_string(own(PyObject_Repr(r.ptr())).ptr()) +
                      ": only non-negative integer exponents are supported.";
    raise(error, msg);
}

/// self **= exponent. Constants use Python's power; polynomials need a non-negative integral
/// exponent (checked by the caller) and are squared directly, then multiplied by the base.
inline void poly_power(Poly& self, double exponent, PyObject* error) {
    if (map_size(self.coeff.ptr()) == 0) {
        Obj e = own(PyFloat_FromDouble(exponent));
        self.constant = num_pow(self.constant.ptr(), e.ptr());
        return;
    }
    check_exponent(exponent, error);
    if (exponent == 0) {
        self.coeff = own(PyDict_New());
        self.constant = small_int(1);
        self.order = small_int(0);
        return;
    }
    if (exponent == 1) return;
    Obj two = small_int(2);
    Poly sq;
    sq.constant = num_pow(self.constant.ptr(), two.ptr());
    sq.coeff = own(PyDict_New());
    PyObject* m = sq.coeff.ptr();
    std::vector<std::pair<Obj, Obj>> terms;
    map_each(self.coeff.ptr(), [&](PyObject* k, PyObject* v) { terms.emplace_back(ref(k), ref(v)); });
    for (size_t i = 0; i < terms.size(); ++i) {
        PyObject* key = terms[i].first.ptr();
        PyObject* value = terms[i].second.ptr();
        Obj twice = num_mul(two.ptr(), value);
        map_accumulate(m, key, num_mul(twice.ptr(), self.constant.ptr()).ptr());
        for (size_t j = i + 1; j < terms.size(); ++j) {
            Obj cross = sorted_concat(key, terms[j].first.ptr());
            map_accumulate(m, cross.ptr(), num_mul(twice.ptr(), terms[j].second.ptr()).ptr());
        }
        Obj self_key = own(PyNumber_Add(key, key));
        map_accumulate(m, self_key.ptr(), num_pow(value, two.ptr()).ptr());
    }
    sq.order = own(PyNumber_Multiply(self.order.ptr(), two.ptr()));
    for (double k = 2; k < exponent; ++k) poly_mul(sq, self);
    self = std::move(sq);
}

}  // namespace qtx
