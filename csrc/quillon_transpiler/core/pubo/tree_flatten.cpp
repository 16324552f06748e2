// Flattening of higher-order trees (sums, products and powers over polynomial leaves) into one
// binary polynomial, and the square of a binary coefficient map. The sum and product of two
// maps are _binary's, reached through higher_subsititute's add_coeff and mul_coeff.
#include "qtx/binary_keys.hpp"
#include "qtx/module.hpp"
#include "qtx/maps.hpp"
#include "surface.hpp"

#include <cmath>
#include <vector>

using namespace qtx;

namespace {

const Names& N = names();

// The walk looks the node classes and combining functions up in this module's namespace at every
// call, as the Python code it stands for would, so replacing them there takes effect.
Obj global(PyObject* name) { return imported(QTX_NAME("quillon_transpiler.core.pubo.tree_flatten"), name); }

/// The Python square of a number: exact for ints, Python's float power otherwise.
Num squared(const Num& a) {
    if (a.tag() == Num::Int) return num_mul(a, a);
    Obj two = small_int(2);
    return Num::steal(own(PyNumber_Power(a.py().ptr(), two.ptr(), Py_None)));
}

/// The square of c + sum a_k m_k with m * m = m on the diagonal; contributions to one key add up.
Obj square(PyObject* coeff, PyObject* constant) {
    check_arg(coeff, &PyDict_Type, "coeff");
    double c = PyFloat_AsDouble(constant);
    if (c == -1.0 && PyErr_Occurred()) fail();
    std::vector<std::pair<Obj, Num>> terms;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(coeff, &pos, &k, &v)) terms.emplace_back(ref(k), Num::of(v));
    Obj out = own(PyDict_New());
    Num zero = Num::of_int(0), two = Num::of_int(2), d = Num::of_float(c + c);
    for (size_t i = 0; i < terms.size(); ++i) {
        const Num& ai = terms[i].second;
        Num twice = num_mul(two, ai);
        for (size_t j = i + 1; j < terms.size(); ++j) {
            Obj key = concat_key(terms[i].first.ptr(), terms[j].first.ptr());
            dict_accumulate(out.ptr(), key.ptr(), num_mul(twice, terms[j].second), &zero);
        }
        dict_accumulate(out.ptr(), terms[i].first.ptr(), num_add(squared(ai), num_mul(d, ai)), &zero);
    }
    Obj sq = own(PyFloat_FromDouble(c * c));
    return own(PyTuple_Pack(2, out.ptr(), sq.ptr()));
}

Obj square_coeff(PyObject* const* a) { return square(a[0], a[1]); }

struct Classes {
    Obj node, add, mul, power;
};

Obj pair(const Obj& a, const Obj& b) { return own(PyTuple_Pack(2, a.ptr(), b.ptr())); }

Obj flatten(PyObject* tree, PyObject* binarizer, const Classes& cls);

/// Folds the operands of a sum or product with `combine`, first to last.
Obj fold(PyObject* tree, PyObject* binarizer, const Classes& cls, PyObject* combine) {
    Obj operands = getattr(tree, N.operands.ptr());
    Obj zero = small_int(0);
    Obj first = own(PyObject_GetItem(operands.ptr(), zero.ptr()));
    Obj coeff, constant;
    unpack2(flatten(first.ptr(), binarizer, cls).ptr(), coeff, constant);
    Obj one = small_int(1);
    Obj from = own(PySlice_New(one.ptr(), Py_None, Py_None));
    Obj rest = own(PyObject_GetItem(operands.ptr(), from.ptr()));
    for_each(rest.ptr(), [&](PyObject* operand) {
        Obj c2, k2;
        unpack2(flatten(operand, binarizer, cls).ptr(), c2, k2);
        Obj f = global(combine);
        Obj r = call(f.ptr(), {coeff.ptr(), constant.ptr(), c2.ptr(), k2.ptr()});
        unpack2(r.ptr(), coeff, constant);
    });
    return pair(coeff, constant);
}

Obj flatten_power(PyObject* tree, PyObject* binarizer, const Classes& cls) {
    Obj operand = getattr(tree, N.operand.ptr());
    Obj power = getattr(tree, QTX_NAME("power"));
    Obj one = small_int(1);
    if (compare(power.ptr(), one.ptr(), Py_LT)) raise(PyExc_ValueError, "power must be at least 1");
    Obj oc, ok;
    unpack2(flatten(operand.ptr(), binarizer, cls).ptr(), oc, ok);
    if (compare(power.ptr(), one.ptr(), Py_EQ)) return pair(oc, ok);
    Obj powered = call(global(QTX_NAME("square_coeff")).ptr(), {oc.ptr(), ok.ptr()});
    Obj two = small_int(2);
    if (compare(power.ptr(), two.ptr(), Py_GT)) {
        Obj times = own(PyNumber_Subtract(power.ptr(), two.ptr()));
        Py_ssize_t n = PyNumber_AsSsize_t(own(PyNumber_Index(times.ptr())).ptr(), PyExc_OverflowError);
        if (n == -1 && PyErr_Occurred()) fail();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Obj p0 = own(PyObject_GetItem(powered.ptr(), small_int(0).ptr()));
            Obj p1 = own(PyObject_GetItem(powered.ptr(), one.ptr()));
            Obj f = global(QTX_NAME("mul_coeff"));
            powered = call(f.ptr(), {p0.ptr(), p1.ptr(), oc.ptr(), ok.ptr()});
        }
    }
    check_result(powered.ptr(), &PyTuple_Type);
    return powered;
}

Obj flatten(PyObject* tree, PyObject* binarizer, const Classes& cls) {
    if (Py_EnterRecursiveCall(" while flattening a higher-order tree")) fail();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    if (is_instance(tree, cls.node.ptr())) {
        Obj expr = getattr(tree, QTX_NAME("expr"));
        Obj coeff = getattr(expr.ptr(), N.coeff.ptr());
        Obj constant = getattr(expr.ptr(), N.constant.ptr());
        Obj a, b;
        unpack2(call(binarizer, {coeff.ptr(), constant.ptr()}).ptr(), a, b);
        return pair(a, b);
    }
    if (is_instance(tree, cls.add.ptr())) return fold(tree, binarizer, cls, QTX_NAME("add_coeff"));
    if (is_instance(tree, cls.mul.ptr())) return fold(tree, binarizer, cls, QTX_NAME("mul_coeff"));
    if (is_instance(tree, cls.power.ptr())) return flatten_power(tree, binarizer, cls);
    std::string msg = to_string((PyObject*)Py_TYPE(tree)) + " is not supported.";
    raise(PyExc_TypeError, msg);
}

Obj higher_tree_to_binary_coeff(PyObject* const* a) {
    Classes cls{global(QTX_NAME("SubsExprNode")), global(QTX_NAME("SubsExprAdd")), global(QTX_NAME("SubsExprMul")),
                global(QTX_NAME("SubsExprPower"))};
    return flatten(a[0], a[1], cls);
}

PyMethodDef functions[] = {
    QTX_FN("_higher_tree_to_binary_coeff", 2, higher_tree_to_binary_coeff),
    QTX_FN("_square_coeff", 2, square_coeff),
    QTX_END,
};

}  // namespace

NB_MODULE(tree_flatten, m) { QTX_MODULE_INIT(m, functions) }
