// eval_value: the value of a substituted polynomial at an assignment by variable index.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/num.hpp"
#include "qtx/poly.hpp"

using namespace qtx;

namespace {

const Names& N = names();

/// `deci_var.get(index, 0)`.
Num value_of(PyObject* deci_var, PyObject* index) {
    PyObject* v = dict_get(deci_var, index);
    return v ? Num::of(v) : Num::of_int(0);
}

/// constant + sum(coeff * (1.0 * v[i] * v[j] * ...)), each step as Python computes it, so
/// ints and floats are multiplied natively and any other number keeps its own arithmetic.
Obj value(PyObject* const* a) {
    PyObject* deci_var = a[0];
    check_arg(deci_var, &PyDict_Type, "deci_var");
    Obj constant = getattr(a[1], N.constant.ptr());
    Obj coeff = getattr(a[1], N.coeff.ptr());
    if (map_size(coeff.ptr()) == 0) return constant;
    Num result = Num::of(constant.ptr());
    map_each(coeff.ptr(), [&](PyObject* key, PyObject* c) {
        Num term = Num::of_float(1.0);
        if (PyTuple_CheckExact(key)) {
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(key); i < n; ++i)
                term = num_mul(term, value_of(deci_var, PyTuple_GET_ITEM(key, i)));
        } else {
            Obj it = own(PyObject_GetIter(key));
            while (PyObject* index = PyIter_Next(it.ptr())) {
                Obj owned = nb::steal(index);
                term = num_mul(term, value_of(deci_var, index));
            }
            if (PyErr_Occurred()) fail();
        }
        result = num_add(result, num_mul(Num::of(c), term));
    });
    return result.py();
}

PyMethodDef functions[] = {
    QTX_FN("_value", 2, value),
    QTX_END,
};

}  // namespace

NB_MODULE(eval_value, m) { QTX_MODULE_INIT(m, functions) }
