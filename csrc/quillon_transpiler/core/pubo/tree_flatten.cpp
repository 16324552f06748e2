// Flattening of higher-order trees (sums, products and powers over polynomial leaves) into one
// binary polynomial, and the square of a binary coefficient map. The sum and product of two
// maps are _binary's, reached through higher_subsititute's add_coeff and mul_coeff.
#include "qtx/binary_keys.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"

#include <string>
#include <utility>
#include <vector>

using namespace qtx;

namespace {

// The walk looks the node classes and combining functions up in this module's namespace at every
// call, as the Python code it stands for would, so replacing them there takes effect.
Obj global(PyObject* name) { return imported(QTX_NAME("quillon_transpiler.core.pubo.tree_flatten"), name); }

/// The Python square of a number: exact for ints, Python's float power otherwise (inf past
/// float64's range, as num_squared gives).
Num squared(const Num& a) {
    if (a.tag() == Num::Int) return num_mul(a, a);
    return num_squared(a);
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
    nb::dict out;
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
    return nb::make_tuple(out, c * c);
}

/// _square_coeff(coeff, constant)
Obj square_coeff(PyObject* const* args) { return square(args[0], args[1]); }

/// The node classes, read once per walk.
struct Classes {
    Obj node, add, mul, power;
};

/// `coeff, constant = value`, as a new pair.
Obj pair_of(nb::handle value) {
    Obj coeff, constant;
    unpack2(value.ptr(), coeff, constant);
    return nb::make_tuple(coeff, constant);
}

Obj flatten(nb::handle tree, nb::handle binarizer, const Classes& cls);

/// Folds the operands of a sum or product with `combine`, first to last.
Obj fold(nb::handle tree, nb::handle binarizer, const Classes& cls, PyObject* combine) {
    nb::object operands = tree.attr("operands");
    Obj coeff, constant;
    unpack2(flatten(operands[nb::int_(0)], binarizer, cls).ptr(), coeff, constant);
    nb::object rest = operands[nb::slice(nb::int_(1), nb::none(), nb::none())];
    for (nb::handle operand : rest) {
        Obj next_coeff, next_constant;
        unpack2(flatten(operand, binarizer, cls).ptr(), next_coeff, next_constant);
        Obj combined = global(combine)(coeff, constant, next_coeff, next_constant);
        unpack2(combined.ptr(), coeff, constant);
    }
    return nb::make_tuple(coeff, constant);
}

Obj flatten_power(nb::handle tree, nb::handle binarizer, const Classes& cls) {
    nb::object operand = tree.attr("operand");
    nb::object power = tree.attr("power");
    nb::int_ one(1), two(2);
    if (power < one) raise(PyExc_ValueError, "power must be at least 1");
    Obj coeff, constant;
    unpack2(flatten(operand, binarizer, cls).ptr(), coeff, constant);
    if (power.equal(one)) return nb::make_tuple(coeff, constant);
    Obj powered = global(QTX_NAME("square_coeff"))(coeff, constant);
    if (power > two) {
        nb::object times = power - two;
        Py_ssize_t n = PyNumber_AsSsize_t(own(PyNumber_Index(times.ptr())).ptr(), PyExc_OverflowError);
        if (n == -1 && PyErr_Occurred()) fail();
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object powered_coeff = powered[nb::int_(0)];
            nb::object powered_constant = powered[one];
            powered = global(QTX_NAME("mul_coeff"))(powered_coeff, powered_constant, coeff, constant);
        }
    }
    check_result(powered.ptr(), &PyTuple_Type);
    return powered;
}

Obj flatten(nb::handle tree, nb::handle binarizer, const Classes& cls) {
    if (Py_EnterRecursiveCall(" while flattening a higher-order tree")) fail();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    if (nb::isinstance(tree, cls.node)) {
        nb::object expr = tree.attr("expr");
        nb::object coeff = expr.attr("coeff");
        nb::object constant = expr.attr("constant");
        return pair_of(binarizer(coeff, constant));
    }
    if (nb::isinstance(tree, cls.add)) return fold(tree, binarizer, cls, QTX_NAME("add_coeff"));
    if (nb::isinstance(tree, cls.mul)) return fold(tree, binarizer, cls, QTX_NAME("mul_coeff"));
    if (nb::isinstance(tree, cls.power)) return flatten_power(tree, binarizer, cls);
    raise(PyExc_TypeError, std::string(nb::str(tree.type()).c_str()) + " is not supported.");
}

/// _higher_tree_to_binary_coeff(expr_tree, binarizer)
Obj higher_tree_to_binary_coeff(PyObject* const* args) {
    Classes cls{global(QTX_NAME("SubsExprNode")), global(QTX_NAME("SubsExprAdd")), global(QTX_NAME("SubsExprMul")),
                global(QTX_NAME("SubsExprPower"))};
    return flatten(args[0], args[1], cls);
}

PyMethodDef functions[] = {
    QTX_FN("_higher_tree_to_binary_coeff", 2, higher_tree_to_binary_coeff),
    QTX_FN("_square_coeff", 2, square_coeff),
    QTX_END,
};

}  // namespace

NB_MODULE(tree_flatten, m) { QTX_MODULE_INIT(m, functions) }
