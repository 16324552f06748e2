// Polynomials to dimod QuadraticModels: the folded sum filled in through dimod's array entry
// points, or dimod's arithmetic term by term where the fast path gives way.
#pragma once
#include "model_sum.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace qtx::bridge {

/// A new NumPy array of `n` items of `dtype` and a pointer to its data.
inline nb::object np_empty(Py_ssize_t n, const char* dtype, void** data) {
    nb::object array = numpy().attr("empty")(n, dtype);
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) fail();
    *data = view.buf;  // the array owns its memory; the pointer outlives the view
    PyBuffer_Release(&view);
    return array;
}

/// With an element, finite coefficients whose sums overflowed are refused: the model would no
/// longer be the polynomial's.
inline void check_sums(const ModelSum& sum, const std::vector<Term>& terms, const VarTable& table,
                       const ModelElement* element) {
    if (!element) return;
    auto fail_at = [&](const std::string& where, double v) {
        not_finite(*element, "the sum of the coefficients of " + where, v);
    };
    for (size_t l = 0; l < sum.lin.size(); ++l)
        if (!std::isfinite(sum.lin[l])) fail_at(table.name(sum.vars[l]), sum.lin[l]);
    for (const Term& term : terms)
        if (!std::isfinite(term.bias))
            fail_at(table.name(sum.vars[term.key >> 32]) + "*" + table.name(sum.vars[(uint32_t)term.key]), term.bias);
    if (!std::isfinite(sum.offset)) not_finite(*element, "the sum of the constants", sum.offset);
}

/// A model folded natively, before dimod holds it: its variables (ids of the table) in dimod's
/// order with their linear biases, its interactions by pair of local indices, sorted, and its
/// offset. What build_model() hands to dimod, and what get_model weighs and adds up.
struct Folded {
    std::vector<int> vars;
    std::vector<double> lin;
    std::vector<Term> terms;
    double offset = 0.0;
    nb::object arrays;  // or, instead of terms, the interactions already in dimod's arrays
    size_t in_arrays = 0;
    size_t interactions() const { return arrays ? in_arrays : terms.size(); }
};

/// Interactions written once, in order, into dimod's index arrays (rows, columns, biases) of
/// room for at most `capacity`; done() hands them to a folded model.
class ArrayWriter {
public:
    explicit ArrayWriter(size_t capacity) : capacity_(capacity) {
        void *pu, *pv, *pb;
        rows_ = np_empty((Py_ssize_t)capacity, "int32", &pu);
        cols_ = np_empty((Py_ssize_t)capacity, "int32", &pv);
        biases_ = np_empty((Py_ssize_t)capacity, "float64", &pb);
        u_ = (int32_t*)pu, v_ = (int32_t*)pv, b_ = (double*)pb;
    }
    void put(uint64_t key, double bias) {
        u_[n_] = (int32_t)(key >> 32);
        v_[n_] = (int32_t)(uint32_t)key;
        b_[n_++] = bias;
    }
    void done(Folded& f) {
        if (n_ < capacity_) {
            nb::slice used(nb::int_(0), nb::int_(n_), nb::none());  // views, still contiguous
            rows_ = rows_[used], cols_ = cols_[used], biases_ = biases_[used];
        }
        f.terms.clear();
        f.arrays = nb::make_tuple(rows_, cols_, biases_);
        f.in_arrays = n_;
    }

private:
    nb::object rows_, cols_, biases_;
    int32_t *u_, *v_;
    double* b_;
    size_t n_ = 0, capacity_;
};

/// The folded model of an assembled sum; with an element, sums that overflowed are refused.
inline Folded folded(ModelSum& sum, const VarTable& table, const ModelElement* element = nullptr) {
    Folded f;
    f.terms = std::move(sum.interactions());
    check_sums(sum, f.terms, table, element);
    f.vars = sum.vars;  // the sum's own, which it clears from the table when it goes
    f.lin = std::move(sum.lin);
    f.offset = sum.offset;
    return f;
}

/// The interactions of a folded model as dimod's index arrays (rows, columns, biases).
inline nb::tuple interaction_arrays(const Folded& f) {
    if (f.arrays) return nb::borrow<nb::tuple>(f.arrays);
    size_t n = f.terms.size();
    void *pu, *pv, *pb;
    nb::object rows = np_empty((Py_ssize_t)n, "int32", &pu);
    nb::object cols = np_empty((Py_ssize_t)n, "int32", &pv);
    nb::object biases = np_empty((Py_ssize_t)n, "float64", &pb);
    for (size_t s = 0; s < n; ++s) {
        ((int32_t*)pu)[s] = (int32_t)(f.terms[s].key >> 32);
        ((int32_t*)pv)[s] = (int32_t)(uint32_t)f.terms[s].key;
        ((double*)pb)[s] = f.terms[s].bias;
    }
    return nb::make_tuple(rows, cols, biases);
}

/// The dimod QuadraticModel of a folded model: variables labelled 0..k-1 (so that dimod takes
/// the biases as arrays), then relabelled.
inline nb::object build_model(const Folded& f, const VarTable& table) {
    nb::object qm = dimod().attr("QuadraticModel")();
    Py_ssize_t k = (Py_ssize_t)f.vars.size();
    if (k > 0) {
        nb::object data = qm.attr("data");
        nb::object binary = binary_vartype(), integer = integer_vartype();  // dimod's vartypes
        nb::handle range = (PyObject*)&PyRange_Type;
        for (Py_ssize_t i = 0; i < k;) {
            const Var& v = table.vars[(size_t)f.vars[(size_t)i]];
            if (v.integer) {
                data.attr("add_variable")(integer, i, "lower_bound"_a = v.lower, "upper_bound"_a = v.upper);
                ++i;
                continue;
            }
            Py_ssize_t j = i;
            while (j < k && !table.vars[(size_t)f.vars[(size_t)j]].integer) ++j;
            qm.attr("add_variables_from")(binary, range(i, j));
            i = j;
        }
        void* p;
        nb::object linear = np_empty(k, "float64", &p);
        std::memcpy(p, f.lin.data(), (size_t)k * sizeof(double));
        data.attr("add_linear_from_array")(linear);

        // interactions sorted by (u, v): each lands at the end of both neighbourhoods
        size_t n = f.interactions();
        if (n > 0) {
            nb::tuple arrays = interaction_arrays(f);
            nb::object rows = arrays[0], cols = arrays[1], biases = arrays[2];
            // dimod refuses more interactions per call than the model has variables
            for (size_t s = 0; s < n; s += (size_t)k) {
                nb::slice part(nb::int_(s), nb::int_(std::min(n, s + (size_t)k)), nb::none());
                data.attr("add_quadratic_from_arrays")(rows[part], cols[part], biases[part]);
            }
        }
    }
    qm.attr("offset") = f.offset;
    if (k > 0) {
        nb::dict mapping;
        for (Py_ssize_t i = 0; i < k; ++i) mapping[nb::int_(i)] = table.vars[(size_t)f.vars[(size_t)i]].label;
        qm.attr("relabel_variables")(mapping);
    }
    return qm;
}

/// A folded model to be copied into a CQM as its objective: the same variables, vartypes,
/// bounds, biases and offset as build_model's. A model of binaries only is filled as a BQM,
/// whose array entry point takes every interaction in one call and labels on the way.
inline nb::object objective_model(const Folded& f, const VarTable& table) {
    for (int id : f.vars)
        if (table.vars[(size_t)id].integer) return build_model(f, table);
    Py_ssize_t k = (Py_ssize_t)f.vars.size();
    void* p;
    nb::object linear = np_empty(k, "float64", &p);
    if (k > 0) std::memcpy(p, f.lin.data(), (size_t)k * sizeof(double));
    nb::list labels;
    for (int id : f.vars) labels.append(table.vars[(size_t)id].label);
    return dimod()
        .attr("BinaryQuadraticModel")
        .attr("from_numpy_vectors")(linear, interaction_arrays(f), f.offset, binary_vartype(),
                                    "variable_order"_a = labels);
}

/// The dimod QuadraticModel of an assembled sum.
inline nb::object build_model(ModelSum& sum, const VarTable& table, const ModelElement* element = nullptr) {
    return build_model(folded(sum, table, element), table);
}

/// A term's variables as users read them: x[0]*y[1].
inline std::string term_text(nb::handle key, VarTable& table) {
    std::string s;
    for (nb::handle index : key) s += (s.empty() ? "" : "*") + table.name(table.find(index.ptr()));
    return s.empty() ? "()" : s;
}

/// With an element, a coefficient or constant of the arithmetic path that converts to a float
/// which is not finite is refused; what does not convert is left to dimod. A number of another
/// kind (a Fraction, a Decimal, a NumPy number) is handed to dimod as its float, as dimod's
/// biases hold it: dimod's arithmetic does not mix a Decimal with its floats at all.
template <class What>
inline nb::object checked_number(const ModelElement* element, nb::handle number, What&& what) {
    nb::object n = nb::borrow(number);
    bool plain = PyFloat_Check(number.ptr()) || PyLong_Check(number.ptr());
    if (!plain && !PyComplex_Check(number.ptr()) && PyIndex_Check(number.ptr())) {
        n = own(PyNumber_Index(number.ptr()));  // a NumPy int: compared as the int it is
        plain = true;
    }
    double v = PyFloat_AsDouble(n.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        if (!element) {
            PyErr_Clear();
            return nb::borrow(number);
        }
        if (PyComplex_Check(n.ptr())) not_real(*element, what(), to_string(catch_error(PyExc_TypeError)));
        bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
        PyErr_Clear();
        if (!overflow) return nb::borrow(number);
        v = n < nb::int_(0) ? -HUGE_VAL : HUGE_VAL;
    }
    if (element && !std::isfinite(v)) not_finite(*element, what(), v);
    if (element && rounded_int(n, v)) not_exact(*element, what());
    if (plain) return nb::borrow(number);
    return nb::float_(v);
}

/// The model of one polynomial by dimod's arithmetic, term by term.
inline nb::object arithmetic(nb::handle poly, VarTable& table, const ModelElement* element = nullptr) {
    PolyCapsule* capsule = poly_capsule(poly.ptr());
    nb::object expr = capsule ? native_expression(*capsule) : nb::borrow(poly);
    nb::object qm_class = dimod().attr("QuadraticModel");
    nb::object model = qm_class();
    for (nb::handle entry : items_of(expr.attr(names().coeff))) {
        auto [key, coefficient] = pair_of(entry);
        nb::object number =
            checked_number(element, coefficient, [&] { return "the coefficient of " + term_text(key, table); });
        // a term that cancelled to 0 (x*y*z - z*y*x) holds nothing a CQM must take
        if (element && nb::len(key) > 2 && !PyObject_IsTrue(number.ptr())) continue;
        nb::object term = qm_class("offset"_a = 1);
        try {
            for (nb::handle index : key) term *= table.model(index);
        } catch (...) {
            // dimod refuses a product past degree two with a TypeError; other errors pass
            if (!element) throw;
            nb::object caught = caught_error(PyExc_TypeError);
            nb::object error = nb::handle(PyExc_TypeError)(
                str(element->text() + ": the term " + term_text(key, table) + kNotQuadratic));
            raise_from(error, caught.ptr());
        }
        model += term * number;
    }
    nb::object constant = expr.attr(names().constant);
    model += checked_number(element, constant, [] { return std::string("the constant"); });
    return model;
}

/// The folded model of one polynomial; NeedArithmetic when only dimod's arithmetic can tell it.
inline Folded fold(nb::handle expr, VarTable& table, const ModelElement* element = nullptr) {
    ModelSum sum(table);
    sum.add(expr, element);
    return folded(sum, table, element);
}

/// The model of one polynomial; `element` names it in errors (null for a caller's expression).
inline nb::object convert(nb::handle expr, VarTable& table, const ModelElement* element = nullptr) {
    try {
        return build_model(fold(expr, table, element), table);
    } catch (NeedArithmetic&) {
        return arithmetic(expr, table, element);
    }
}

/// The polynomials of every forall key of custom penalty `label`, each with its element.
struct PenaltyItems {
    PenaltyItems(nb::handle label, nb::handle by_forall) : entries(items_of(by_forall)), whole{"penalty", label} {
        for (nb::handle entry : entries) {
            auto [key, poly] = pair_of(entry);
            elements.push_back(whole);
            elements.back().key = key;
            polys.push_back(poly);
        }
    }
    nb::list entries;
    ModelElement whole;
    std::vector<ModelElement> elements;
    std::vector<nb::handle> polys;  // held by `entries`
};

/// The folded model summing the polynomials of custom penalty `label` (see convert_sum);
/// NeedArithmetic when only dimod's arithmetic can tell it.
inline Folded fold_sum(const PenaltyItems& items, VarTable& table) {
    ModelSum sum(table);
    for (size_t i = 0; i < items.polys.size(); ++i) sum.add(items.polys[i], &items.elements[i]);
    return folded(sum, table, &items.whole);
}

/// The model summing a penalty's polynomials by dimod's arithmetic, one by one.
inline nb::object arithmetic_sum(const PenaltyItems& items, VarTable& table) {
    nb::object model = dimod().attr("QuadraticModel")("offset"_a = 0.0);
    for (size_t i = 0; i < items.polys.size(); ++i) model += arithmetic(items.polys[i], table, &items.elements[i]);
    return model;
}

/// One model summing the polynomials of every forall key of custom penalty `label`:
/// QuadraticModel(offset=0.0) plus each polynomial's model, in order.
inline nb::object convert_sum(nb::handle label, nb::handle by_forall, VarTable& table) {
    PenaltyItems items(label, by_forall);
    try {
        return build_model(fold_sum(items, table), table);
    } catch (NeedArithmetic&) {
        return arithmetic_sum(items, table);
    }
}

}  // namespace qtx::bridge
