// Helpers shared by the expression-tree node classes.
#pragma once
#include "names.hpp"

namespace qtx {

/// Calls SubstitutableExpr.__init__(self), as the leaves do.
inline void init_base(nb::handle self) {
    Obj base = QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.expression", "SubstitutableExpr");
    call_method(base, QTX_NAME("__init__"), {self});
}

/// A new list holding `self` when check(self) is truthy. Every `extract` starts here, so
/// this is where deep (or cyclic) trees are stopped before the C stack runs out.
inline Obj extract_self(nb::handle self, nb::handle check) {
    check_stack("while listing the nodes of an expression tree");
    nb::list out;
    if (truth(call(check, {self}))) out.append(self);
    return std::move(out);
}

/// list.extend(child.<method>(check)); `method` is `extract` when not given.
inline void extract_into(nb::handle list, nb::handle child, nb::handle check, nb::handle method = nb::handle()) {
    Obj found = call_method(child, method ? method : nb::handle(names().extract), {check});
    Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    if (PyList_SetSlice(list.ptr(), n, n, found.ptr()) < 0) fail();
}

/// `str(o)` of a child node, stopping deep (or cyclic) trees before the C stack runs out.
inline std::string child_str(nb::handle o) {
    check_stack("while printing an expression tree");
    return to_string(o);
}

/// sep.join(str(x) for x in seq).
inline std::string join_str(nb::handle sequence, const char* sep) {
    std::string out;
    bool first = true;
    for (nb::handle item : FastSequence(sequence, "expected a sequence")) {
        if (!first) out += sep;
        first = false;
        out += child_str(item);
    }
    return out;
}

}  // namespace qtx
