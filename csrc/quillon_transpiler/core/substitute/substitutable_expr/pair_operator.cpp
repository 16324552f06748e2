// PairOperator: powers and remainders of two operands.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

#include <cmath>

using namespace qtx;

namespace {

const Names& N = names();

Obj init(PyObject* const* a) {
    setattr(a[0], N.left.ptr(), a[1]);
    setattr(a[0], N.right.ptr(), a[2]);
    setattr(a[0], N.kind.ptr(), a[3]);
    return ref(Py_None);
}

Obj kind_member(PyObject* name) {
    Obj kinds = QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.pair_operator", "BinaryOpeKind");
    return getattr(kinds.ptr(), name);
}

/// The operation on two floats: a float power (complex for a negative base and a fractional
/// exponent) or a remainder with the sign of the divisor.
Obj operation(PyObject* const* a) {
    double l = PyFloat_AsDouble(a[1]);
    if (l == -1.0 && PyErr_Occurred()) fail();
    double r = PyFloat_AsDouble(a[2]);
    if (r == -1.0 && PyErr_Occurred()) fail();
    Obj kind = getattr(a[0], N.kind.ptr());
    if (kind.ptr() == kind_member(QTX_NAME("POW")).ptr()) {
        // the principal value |l|^r (cos rπ + i sin rπ), as Python's complex power computes it
        if (l < 0.0 && std::isfinite(l) && std::isfinite(r) && r != std::floor(r)) {
            double m = std::pow(-l, r), phase = M_PI * r;
            return own(PyComplex_FromDoubles(m * std::cos(phase), m * std::sin(phase)));
        }
        // a plain float power: no error for 0.0 ** negative or on overflow (inf)
        return own(PyFloat_FromDouble(std::pow(l, r)));
    }
    if (kind.ptr() == kind_member(QTX_NAME("MOD")).ptr()) {
        if (r == 0.0) raise(PyExc_ZeroDivisionError, "float divmod()");
        // the truncated remainder moved to the divisor's sign; a zero keeps the dividend's sign
        double m = std::fmod(l, r);
        if (m != 0.0 && ((m < 0.0) != (r < 0.0))) m += r;
        return own(PyFloat_FromDouble(m));
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    fail();
}

Obj extract(PyObject* const* a) {
    Obj out = extract_self(a[0], a[1]);
    extract_into(out.ptr(), getattr(a[0], N.left.ptr()).ptr(), a[1]);
    extract_into(out.ptr(), getattr(a[0], N.right.ptr()).ptr(), a[1]);
    return out;
}

Obj to_str(PyObject* const* a) {
    Obj kind_name = getattr(getattr(a[0], N.kind.ptr()).ptr(), N.name.ptr());
    return str("(" + child_str(getattr(a[0], N.left.ptr()).ptr()) + " " + to_string(kind_name.ptr()) + " " +
               child_str(getattr(a[0], N.right.ptr()).ptr()) + ")");
}

PyMethodDef functions[] = {
    QTX_FN("_init", 4, init),
    QTX_FN("_operation", 3, operation),
    QTX_FN("_substitute", 3, engine::entry<engine::K::Pair>),
    QTX_FN("_extract", 2, extract),
    QTX_FN("_str", 1, to_str),
    QTX_END,
};

}  // namespace

NB_MODULE(pair_operator, m) { QTX_MODULE_INIT(m, functions) }
