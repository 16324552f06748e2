// eval_value: the value of a substituted polynomial at an assignment by variable index.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/num.hpp"
#include "qtx/maps.hpp"

#include <algorithm>
#include <vector>

namespace qtx::eval_value {

/// `deci_var.get(index, 0)`, read from a dense table when the dict's keys are all small
/// non-negative ints: a long polynomial then pays one table read per factor, not a dict probe.
/// Read per factor of every term, so on the raw API.
class Values {
public:
    Values(PyObject* deci_var, Py_ssize_t terms) : dict_(deci_var) {
        Py_ssize_t n = PyDict_GET_SIZE(deci_var);
        // the table costs a pass over the dict and one slot per index up to the largest key:
        // worth it only when the terms outnumber both
        if (n == 0 || terms < n) return;
        long long limit = std::max(2 * (long long)n + 64, (long long)terms), top = -1;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(deci_var, &pos, &k, &v)) {
            if (!PyLong_CheckExact(k)) return;
            int overflow = 0;
            long long i = PyLong_AsLongLongAndOverflow(k, &overflow);
            if (overflow || i < 0 || i >= limit) return;
            top = std::max(top, i);
        }
        table_.assign((size_t)top + 1, Num::of_int(0));
        pos = 0;
        while (PyDict_Next(deci_var, &pos, &k, &v)) table_[(size_t)PyLong_AsLongLong(k)] = Num::of(v);
        dense_ = true;
    }

    Num operator()(PyObject* index) const {
        if (dense_ && PyLong_CheckExact(index)) {
            // every key is an exact int inside the table, so any other int is absent
            int overflow = 0;
            long long i = PyLong_AsLongLongAndOverflow(index, &overflow);
            return !overflow && i >= 0 && (size_t)i < table_.size() ? table_[(size_t)i] : Num::of_int(0);
        }
        PyObject* v = dict_get(dict_, index);
        return v ? Num::of(v) : Num::of_int(0);
    }

private:
    PyObject* dict_;
    bool dense_ = false;
    std::vector<Num> table_;
};

/// constant + sum(coeff * (1.0 * v[i] * v[j] * ...)), each step as Python computes it, so
/// ints and floats are multiplied natively and any other number keeps its own arithmetic.
Obj value(PyObject* const* args) {
    nb::handle deci_var = args[0], poly = args[1];
    check_arg(deci_var.ptr(), &PyDict_Type, "deci_var");
    nb::object constant = poly.attr(names().constant);
    nb::object coeff = poly.attr(names().coeff);
    if (map_size(coeff.ptr()) == 0) return constant;
    Values value_of(deci_var.ptr(), map_size(coeff.ptr()));
    Num result = Num::of(constant.ptr());
    map_each(coeff.ptr(), [&](PyObject* key, PyObject* c) {
        Num term = Num::of_float(1.0);
        if (PyTuple_CheckExact(key)) {
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(key); i < n; ++i)
                term = num_mul(term, value_of(PyTuple_GET_ITEM(key, i)));
        } else {
            for_each(key, [&](PyObject* index) { term = num_mul(term, value_of(index)); });
        }
        result = num_add(result, num_mul(Num::of(c), term));
    });
    return result.py();
}

}  // namespace qtx::eval_value

namespace {

PyMethodDef functions[] = {
    QTX_FN("_value", 2, qtx::eval_value::value),
    QTX_END,
};

}  // namespace

NB_MODULE(eval_value, m) { QTX_MODULE_INIT(m, functions) }
