// Helpers shared by the expression-tree node classes.
#pragma once
#include "names.hpp"

namespace qtx {

/// Calls SubstitutableExpr.__init__(self), as the leaves do.
inline void init_base(PyObject* self) {
    Obj base = QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.expression", "SubstitutableExpr");
    call_method(base.ptr(), QTX_NAME("__init__"), {self});
}

/// A new list holding `self` when check(self) is truthy. Every `extract` starts here, so
/// this is where deep (or cyclic) trees are stopped before the C stack runs out.
inline Obj extract_self(PyObject* self, PyObject* check) {
    check_stack("while listing the nodes of an expression tree");
    Obj hit = call(check, {self});
    Obj out = own(PyList_New(0));
    if (truth(hit.ptr()) && PyList_Append(out.ptr(), self) < 0) fail();
    return out;
}

/// list.extend(child.<method>(check)).
inline void extract_into(PyObject* list, PyObject* child, PyObject* check, PyObject* method = nullptr) {
    Obj found = own(PyObject_CallMethodObjArgs(child, method ? method : names().extract.ptr(), check, nullptr));
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (PyList_SetSlice(list, n, n, found.ptr()) < 0) fail();
}

/// `str(o)` of a child node, stopping deep (or cyclic) trees before the C stack runs out.
inline std::string child_str(PyObject* o) {
    check_stack("while printing an expression tree");
    return to_string(o);
}

/// ", ".join(str(x) for x in seq).
inline std::string join_str(PyObject* seq_obj, const char* sep) {
    Obj seq = own(PySequence_Fast(seq_obj, "expected a sequence"));
    std::string out;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
        if (i) out += sep;
        out += child_str(PySequence_Fast_GET_ITEM(seq.ptr(), i));
    }
    return out;
}

}  // namespace qtx
