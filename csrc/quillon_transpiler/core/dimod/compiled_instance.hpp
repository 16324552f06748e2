// What the bridge reads of a compiled instance's problem: its sense and its constraints' comparisons.
#pragma once
#include "libraries.hpp"
#include "qtx/names.hpp"

namespace qtx::bridge {

inline bool is_minimize(nb::handle compiled) {
    nb::object sense = compiled.attr("problem").attr(names().sense);
    nb::object senses = QTX_IMPORT("quillon_transpiler.core.compile.convert_to_substitutable", "ProblemSense");
    return sense.equal(senses.attr("MINIMIZE"));
}

/// The comparison operator of a constraint label's condition kind; an unknown kind raises,
/// or counts as <= when `strict` is off.
inline int constraint_op(nb::handle compiled, nb::handle label, bool strict = true) {
    const Names& names = qtx::names();
    nb::object kinds = tree_class(QTX_NAME("ConstraintKind"));
    nb::object constraint = compiled.attr("problem").attr(names.constraints)[label];
    nb::object kind = constraint.attr(names.condition).attr(names.kind);
    if (kind.equal(kinds.attr("EQUAL"))) return Py_EQ;
    if (kind.equal(kinds.attr("LESSTHANEQUAL"))) return Py_LE;
    if (kind.equal(kinds.attr("GREATERTHANEQUAL"))) return Py_GE;
    if (!strict) return Py_LE;
    raise(PyExc_ValueError, "unknown condition");
}

}  // namespace qtx::bridge
