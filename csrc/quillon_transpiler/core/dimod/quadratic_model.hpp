// Polynomials to dimod QuadraticModels: the folded sum filled in through dimod's array entry
// points, or dimod's arithmetic term by term where the fast path gives way.
#pragma once
#include "model_sum.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace qtx::bridge {

/// A new NumPy array of `n` items of `dtype` and a pointer to its data.
inline Obj np_empty(Py_ssize_t n, const char* dtype, void** data) {
    Obj arr = call(numpy_attr("empty").ptr(), {ssize(n).ptr(), str(dtype).ptr()});
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) fail();
    *data = view.buf;  // the array owns its memory; the pointer outlives the view
    PyBuffer_Release(&view);
    return arr;
}

/// With an item, finite coefficients whose sums overflowed are refused: the model would no
/// longer be the polynomial's.
inline void check_sums(const ModelSum& m, const std::vector<Term>& terms, const VarTable& t, const Item* item) {
    if (!item) return;
    auto fail_at = [&](const std::string& where, double v) {
        not_finite(*item, "the sum of the coefficients of " + where, v);
    };
    for (size_t l = 0; l < m.lin.size(); ++l)
        if (!std::isfinite(m.lin[l])) fail_at(t.name(m.vars[l]), m.lin[l]);
    for (const Term& term : terms)
        if (!std::isfinite(term.bias))
            fail_at(t.name(m.vars[term.key >> 32]) + "*" + t.name(m.vars[(uint32_t)term.key]), term.bias);
    if (!std::isfinite(m.offset)) not_finite(*item, "the sum of the constants", m.offset);
}

/// The dimod QuadraticModel of an assembled sum: variables labelled 0..k-1 (so that dimod
/// takes the biases as arrays), then relabelled.
inline Obj build_model(ModelSum& m, const VarTable& t, const Item* item = nullptr) {
    Obj qm = call(dimod_attr("QuadraticModel").ptr(), {});
    Py_ssize_t k = (Py_ssize_t)m.vars.size();
    if (k == 0) check_sums(m, {}, t, item);
    if (k > 0) {
        Obj data = attr(qm.ptr(), "data");
        Obj kw = kwnames({"lower_bound", "upper_bound"});
        Obj add_variable = attr(data.ptr(), "add_variable");
        Obj add_from = attr(qm.ptr(), "add_variables_from");
        Obj bin = binary_vartype(), intv = integer_vartype();
        for (Py_ssize_t i = 0; i < k;) {
            const Var& v = t.vars[(size_t)m.vars[(size_t)i]];
            if (v.integer) {
                Obj label = ssize(i);
                call(add_variable.ptr(), {intv.ptr(), label.ptr(), v.lower.ptr(), v.upper.ptr()}, kw.ptr());
                ++i;
                continue;
            }
            Py_ssize_t j = i;
            while (j < k && !t.vars[(size_t)m.vars[(size_t)j]].integer) ++j;
            Obj r = own(PyObject_CallFunction((PyObject*)&PyRange_Type, "nn", i, j));
            call(add_from.ptr(), {bin.ptr(), r.ptr()});
            i = j;
        }
        void* p;
        Obj linear = np_empty(k, "float64", &p);
        std::memcpy(p, m.lin.data(), (size_t)k * sizeof(double));
        method(data.ptr(), "add_linear_from_array", {linear.ptr()});

        // interactions sorted by (u, v): each lands at the end of both neighbourhoods
        const std::vector<Term>& terms = m.interactions();
        check_sums(m, terms, t, item);
        size_t n = terms.size();
        if (n > 0) {
            void *pu, *pv, *pb;
            Obj rows = np_empty((Py_ssize_t)n, "int32", &pu);
            Obj cols = np_empty((Py_ssize_t)n, "int32", &pv);
            Obj biases = np_empty((Py_ssize_t)n, "float64", &pb);
            for (size_t s = 0; s < n; ++s) {
                ((int32_t*)pu)[s] = (int32_t)(terms[s].key >> 32);
                ((int32_t*)pv)[s] = (int32_t)(uint32_t)terms[s].key;
                ((double*)pb)[s] = terms[s].bias;
            }
            // dimod refuses more interactions per call than the model has variables
            Obj add_quadratic = attr(data.ptr(), "add_quadratic_from_arrays");
            for (size_t s = 0; s < n; s += (size_t)k) {
                Py_ssize_t lo = (Py_ssize_t)s, hi = (Py_ssize_t)std::min(n, s + (size_t)k);
                Obj r = own(PySequence_GetSlice(rows.ptr(), lo, hi));
                Obj c = own(PySequence_GetSlice(cols.ptr(), lo, hi));
                Obj b = own(PySequence_GetSlice(biases.ptr(), lo, hi));
                call(add_quadratic.ptr(), {r.ptr(), c.ptr(), b.ptr()});
            }
        }
    }
    Obj off = own(PyFloat_FromDouble(m.offset));
    if (PyObject_SetAttrString(qm.ptr(), "offset", off.ptr()) < 0) fail();
    if (k > 0) {
        Obj mapping = own(PyDict_New());
        for (Py_ssize_t i = 0; i < k; ++i) {
            Obj key = ssize(i);
            dict_set(mapping.ptr(), key.ptr(), t.vars[(size_t)m.vars[(size_t)i]].label.ptr());
        }
        method(qm.ptr(), "relabel_variables", {mapping.ptr()});
    }
    return qm;
}

/// A term's variables as users read them: x[0]*y[1].
inline std::string term_text(PyObject* key, VarTable& t) {
    std::string s;
    for_each(key, [&](PyObject* index) { s += (s.empty() ? "" : "*") + t.name(t.find(index)); });
    return s.empty() ? "()" : s;
}

/// With an item, a coefficient or constant of the arithmetic path that converts to a float
/// which is not finite is refused; what does not convert is left to dimod.
template <class What>
inline void check_number(const Item* item, PyObject* number, What&& what) {
    if (!item) return;
    double v = PyFloat_AsDouble(number);
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return;
        }
        PyErr_Clear();
        v = compare(number, integer(0).ptr(), Py_LT) ? -HUGE_VAL : HUGE_VAL;
    }
    if (!std::isfinite(v)) not_finite(*item, what(), v);
}

/// The model of one polynomial by dimod's arithmetic, term by term.
inline Obj arithmetic(PyObject* poly, VarTable& t, const Item* item = nullptr) {
    const Names& N = names();
    PolyCapsule* np = poly_capsule(poly);
    Obj held = np ? native_expression(*np) : ref(poly);
    PyObject* expr = held.ptr();
    Obj qm_class = dimod_attr("QuadraticModel");
    Obj kw = kwnames({"offset"});
    Obj one = integer(1);
    Obj model = call(qm_class.ptr(), {});
    Obj terms = items_of(getattr(expr, N.coeff.ptr()).ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(terms.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(terms.ptr(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        check_number(item, PyTuple_GET_ITEM(pair, 1), [&] { return "the coefficient of " + term_text(key, t); });
        Obj term = call(qm_class.ptr(), {one.ptr()}, kw.ptr());
        try {
            for_each(key, [&](PyObject* index) {
                Obj factor = t.model(index);
                term = own(PyNumber_InPlaceMultiply(term.ptr(), factor.ptr()));
            });
        } catch (PyErrSet&) {
            // dimod refuses a product past degree two with a TypeError
            if (!item || !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
            Obj caught = caught_error(PyExc_TypeError);
            Obj exc =
                call(PyExc_TypeError, {str(item->text() + ": the term " + term_text(key, t) + kNotQuadratic).ptr()});
            raise_from(exc, caught.ptr());
        }
        Obj scaled = own(PyNumber_Multiply(term.ptr(), PyTuple_GET_ITEM(pair, 1)));
        model = own(PyNumber_InPlaceAdd(model.ptr(), scaled.ptr()));
    }
    Obj constant = getattr(expr, N.constant.ptr());
    check_number(item, constant.ptr(), [] { return std::string("the constant"); });
    return own(PyNumber_InPlaceAdd(model.ptr(), constant.ptr()));
}

/// The model of one polynomial; `item` names it in errors (null for a caller's expression).
inline Obj convert(PyObject* expr, VarTable& t, const Item* item = nullptr) {
    try {
        ModelSum m(t);
        m.add(expr, item);
        return build_model(m, t, item);
    } catch (NeedArithmetic&) {
        return arithmetic(expr, t, item);
    }
}

/// One model summing the polynomials of every forall key of custom penalty `label`:
/// QuadraticModel(offset=0.0) plus each polynomial's model, in order.
inline Obj convert_sum(PyObject* label, PyObject* by_forall, VarTable& t) {
    Obj polys = items_of(by_forall);
    Py_ssize_t n = PyList_GET_SIZE(polys.ptr());
    Item whole{"penalty", label};
    std::vector<Item> items((size_t)n, whole);
    for (Py_ssize_t i = 0; i < n; ++i) items[(size_t)i].key = PyTuple_GET_ITEM(PyList_GET_ITEM(polys.ptr(), i), 0);
    try {
        ModelSum m(t);
        for (Py_ssize_t i = 0; i < n; ++i)
            m.add(PyTuple_GET_ITEM(PyList_GET_ITEM(polys.ptr(), i), 1), &items[(size_t)i]);
        return build_model(m, t, &whole);
    } catch (NeedArithmetic&) {
        Obj kw = kwnames({"offset"});
        Obj zero = own(PyFloat_FromDouble(0.0));
        Obj model = call(dimod_attr("QuadraticModel").ptr(), {zero.ptr()}, kw.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Obj one = arithmetic(PyTuple_GET_ITEM(PyList_GET_ITEM(polys.ptr(), i), 1), t, &items[(size_t)i]);
            model = own(PyNumber_InPlaceAdd(model.ptr(), one.ptr()));
        }
        return model;
    }
}

}  // namespace qtx::bridge
