// What the bridge reads of a compiled instance's problem: its sense and its constraints' comparisons.
#pragma once
#include "libraries.hpp"
#include "qtx/names.hpp"

namespace qtx::bridge {

inline bool is_minimize(PyObject* compiled) {
    Obj problem = attr(compiled, "problem");
    Obj sense = getattr(problem.ptr(), names().sense.ptr());
    Obj senses = QTX_IMPORT("quillon_transpiler.core.compile.convert_to_substitutable", "ProblemSense");
    Obj minimize = attr(senses.ptr(), "MINIMIZE");
    return compare(sense.ptr(), minimize.ptr(), Py_EQ);
}

/// The comparison operator of a constraint label's condition kind; an unknown kind raises,
/// or counts as <= when `strict` is off.
inline int constraint_op(PyObject* compiled, PyObject* label, bool strict = true) {
    Obj kinds = tree_class(QTX_NAME("ConstraintKind"));
    Obj constraints = getattr(attr(compiled, "problem").ptr(), names().constraints.ptr());
    Obj condition = getattr(item(constraints.ptr(), label).ptr(), names().condition.ptr());
    Obj kind = getattr(condition.ptr(), names().kind.ptr());
    if (compare(kind.ptr(), attr(kinds.ptr(), "EQUAL").ptr(), Py_EQ)) return Py_EQ;
    if (compare(kind.ptr(), attr(kinds.ptr(), "LESSTHANEQUAL").ptr(), Py_EQ)) return Py_LE;
    if (compare(kind.ptr(), attr(kinds.ptr(), "GREATERTHANEQUAL").ptr(), Py_EQ)) return Py_GE;
    if (!strict) return Py_LE;
    raise(PyExc_ValueError, "unknown condition");
}

}  // namespace qtx::bridge
