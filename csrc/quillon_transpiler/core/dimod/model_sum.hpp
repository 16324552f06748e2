// Folding polynomials' terms into one dimod model's biases, as dimod's arithmetic would.
#pragma once
#include "pair_sums.hpp"
#include "variables.hpp"
#include "qtx/poly_capsule.hpp"

#include <cmath>
#include <vector>

namespace qtx::bridge {

/// A native coefficient as dimod takes it: ints and floats, or a real number object.
inline double native_bias(const Num& v) {
    if (v.tag() == Num::Float) return v.as_float();
    if (v.tag() == Num::Int) return (double)v.as_int();  // rounds to nearest, as float(int) does
    nb::object number = v.py();
    if (!real_number(number)) throw NeedArithmetic{};
    return as_double(number);
}

/// One dimod model being assembled: its variables in dimod's order with their linear biases,
/// its interactions and offset. A polynomial's terms are summed on their own first (they form
/// one model) and then added to the model, as `running += _expr_conversion(poly)` adds them.
class ModelSum {
public:
    explicit ModelSum(VarTable& table) : table_(table) {}
    ~ModelSum() {
        for (int id : vars) table_.local[(size_t)id] = -1;
    }

    /// Folds one polynomial: a SubstitutedExpression, or a polynomial kept in C++ by the
    /// native compile (read without a Python object per term). With `element` (the routes), a
    /// term of degree above two and a number that is not finite are refused, naming the element.
    void add(nb::handle expr, const ModelElement* element = nullptr) {
        element_ = element;
        poly_.clear();
        touched_.clear();
        double offset = 0.0;
        if (PolyCapsule* np = poly_capsule(expr.ptr())) {
            np->merge();
            for (const auto& e : np->poly.terms) {
                const int32_t* key = e.key.data();
                term((Py_ssize_t)e.key.size(), [&](Py_ssize_t i) { return table_.find((int64_t)key[i]); },
                     [&] { return native_bias(e.val); }, offset);
            }
            offset += bias([&] { return native_bias(np->poly.constant); }, [] { return std::string("the constant"); });
        } else {
            // per term: the raw API
            nb::object coeff = expr.attr(names().coeff);
            if (!PyDict_Check(coeff.ptr())) throw NeedArithmetic{};
            Py_ssize_t pos = 0;
            PyObject *key, *c;
            while (PyDict_Next(coeff.ptr(), &pos, &key, &c)) {
                if (!PyTuple_CheckExact(key)) throw NeedArithmetic{};
                term(
                    PyTuple_GET_SIZE(key), [&](Py_ssize_t i) { return table_.find(PyTuple_GET_ITEM(key, i)); },
                    [&] {
                        if (!real_number(c)) throw NeedArithmetic{};
                        return as_double(c);
                    },
                    offset);
            }
            nb::object constant = expr.attr(names().constant);
            if (!real_number(constant)) throw NeedArithmetic{};
            offset += bias([&] { return as_double(constant); }, [] { return std::string("the constant"); });
        }

        // the polynomial's model added to the running one
        for (uint32_t l : touched_) {
            lin[l] += poly_lin_[l];
            poly_lin_[l] = 0.0;
            seen_[l] = 0;
        }
        sum_terms(poly_, tmp_, vars.size());
        if (polys_++ == 0) {
            sorted_.swap(poly_);  // 0 + x is x: the first polynomial's sums stand
        } else {
            if (!sorted_.empty()) {
                for (const Term& t : sorted_) summed_.at(t.key) += t.bias;
                sorted_.clear();
            }
            for (const Term& t : poly_) summed_.at(t.key) += t.bias;
        }
        this->offset += offset;
    }

    /// One term: the product of its factors (factor(i) gives factor i's variable), as dimod
    /// multiplies them -- a constant, one variable (bias 1) or one interaction (bias 1)
    /// between `first` and `second` in dimod's order -- times the coefficient that
    /// coefficient() gives.
    template <class Factor, class Coefficient>
    void term(Py_ssize_t len, Factor&& factor, Coefficient&& coefficient, double& offset) {
        int degree = 0, first = -1, second = -1;
        for (Py_ssize_t i = 0; i < len; ++i) {
            int f = factor(i);
            if (degree == 2) {
                if (!element_) raise(PyExc_TypeError, "cannot multiply QMs with interactions");
                raise(PyExc_TypeError, element_->text() + ": the term " + term_text(len, factor) + kNotQuadratic);
            }
            if (degree == 0) {
                first = f;
                degree = 1;
            } else if (f == first) {
                if (table_.vars[(size_t)f].integer) second = f, degree = 2;  // a self-loop; binary x*x is x
            } else if (table_.vars[(size_t)f].bqm) {
                second = first, first = f, degree = 2;  // BQM * state: dimod multiplies a BQM factor from the left
            } else {
                second = f, degree = 2;  // state * QM: the state's variable first
            }
        }
        double cv = bias(coefficient, [&] { return "the coefficient of " + term_text(len, factor); });
        // the product times the coefficient, every bias scaled (0 * inf is NaN in dimod too)
        if (degree == 0) {
            offset += 1.0 * cv;
            return;
        }
        offset += 0.0 * cv;
        uint32_t la = local(first);
        if (degree == 1) {
            linear(la) += 1.0 * cv;
            return;
        }
        uint32_t lb = second == first ? la : local(second);
        linear(la) += 0.0 * cv;
        if (lb != la) linear(lb) += 0.0 * cv;
        poly_.push_back(Term{pair_key(la, lb), 1.0 * cv});
    }

    /// The interactions sorted by pair.
    std::vector<Term>& interactions() {
        if (polys_ > 1) {
            sorted_.swap(summed_.terms);
            sort_terms(sorted_, tmp_, vars.size());
        }
        return sorted_;
    }

    std::vector<int> vars;    // variable ids in dimod's order
    std::vector<double> lin;  // linear biases by local index
    double offset = 0.0;

private:
    /// A coefficient or constant as `read` gives it; with an element, one that is not a finite
    /// float (an int past the float range too) is refused, `what()` naming it.
    template <class Read, class What>
    double bias(Read&& read, What&& what) {
        double v;
        try {
            v = read();
        } catch (PyErrSet&) {
            if (!element_ || !PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
            nb::object caught = caught_error(PyExc_OverflowError);
            nb::object error = nb::handle(PyExc_ValueError)(
                str(element_->text() + ": " + what() +
                    " is too large for a float, but a CQM takes finite numbers only; check the instance data and "
                    "the model's coefficients"));
            raise_from(error, caught.ptr());
        }
        if (element_ && !std::isfinite(v)) not_finite(*element_, what(), v);
        return v;
    }

    /// A term as users read it: x[0]*y[1].
    template <class Factor>
    std::string term_text(Py_ssize_t len, Factor&& factor) const {
        if (len == 0) return "()";
        std::string s;
        for (Py_ssize_t i = 0; i < len; ++i) s += (i ? "*" : "") + table_.name(factor(i));
        return s;
    }

    uint32_t local(int id) {
        if ((size_t)id >= table_.local.size()) table_.local.resize(table_.vars.size(), -1);
        int32_t& l = table_.local[(size_t)id];
        if (l < 0) {
            l = (int32_t)vars.size();
            vars.push_back(id);
            lin.push_back(0.0);
            poly_lin_.push_back(0.0);
            seen_.push_back(0);
        }
        return (uint32_t)l;
    }
    double& linear(uint32_t l) {
        if (!seen_[l]) {
            seen_[l] = 1;
            touched_.push_back(l);
        }
        return poly_lin_[l];
    }

    VarTable& table_;
    const ModelElement* element_ = nullptr;
    std::vector<Term> poly_, sorted_, tmp_;
    PairSums summed_;
    int polys_ = 0;
    std::vector<double> poly_lin_;
    std::vector<char> seen_;
    std::vector<uint32_t> touched_;
};

}  // namespace qtx::bridge
