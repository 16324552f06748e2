// PairOperator: powers and remainders of two operands.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

#include <cmath>

using namespace qtx;

namespace {

Obj init(nb::handle self, nb::handle left, nb::handle right, nb::handle kind) {
    set_attr(self, "left", left);
    set_attr(self, "right", right);
    set_attr(self, "kind", kind);
    return nb::none();
}

/// `BinaryOpeKind.<name>`.
Obj kind_member(const char* name) {
    return attr(QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.pair_operator", "BinaryOpeKind"),
                name);
}

/// The operation on two floats: a float power (complex for a negative base and a fractional
/// exponent) or a remainder with the sign of the divisor.
Obj operation(nb::handle self, nb::handle left, nb::handle right) {
    double l = PyFloat_AsDouble(left.ptr());
    if (l == -1.0 && PyErr_Occurred()) fail();
    double r = PyFloat_AsDouble(right.ptr());
    if (r == -1.0 && PyErr_Occurred()) fail();
    Obj kind = attr(self, "kind");
    if (kind.is(kind_member("POW"))) {
        // the principal value |l|^r (cos rπ + i sin rπ), as Python's complex power computes it
        if (l < 0.0 && std::isfinite(l) && std::isfinite(r) && r != std::floor(r)) {
            double m = std::pow(-l, r), phase = M_PI * r;
            return own(PyComplex_FromDoubles(m * std::cos(phase), m * std::sin(phase)));
        }
        // a plain float power: no error for 0.0 ** negative or on overflow (inf)
        return nb::float_(std::pow(l, r));
    }
    if (kind.is(kind_member("MOD"))) {
        if (r == 0.0) raise(PyExc_ZeroDivisionError, "float divmod()");
        // the truncated remainder moved to the divisor's sign; a zero keeps the dividend's sign
        double m = std::fmod(l, r);
        if (m != 0.0 && ((m < 0.0) != (r < 0.0))) m += r;
        return nb::float_(m);
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    fail();
}

Obj extract(nb::handle self, nb::handle check) {
    Obj out = extract_self(self, check);
    extract_into(out, attr(self, "left"), check);
    extract_into(out, attr(self, "right"), check);
    return out;
}

Obj to_str(nb::handle self) {
    Obj kind = attr(attr(self, "kind"), "name");
    return str("(" + child_str(attr(self, "left")) + " " + to_string(kind) + " " + child_str(attr(self, "right")) +
               ")");
}

PyMethodDef functions[] = {
    QTX_DEF("_init", init),
    QTX_DEF("_operation", operation),
    QTX_DEF("_substitute", engine::substitute_entry<engine::NodeType::Pair>),
    QTX_DEF("_extract", extract),
    QTX_DEF("_str", to_str),
    QTX_END,
};

}  // namespace

NB_MODULE(pair_operator, m) { QTX_MODULE_INIT(m, functions) }
