// MultipleOperator: sums, products, maxima and minima over any number of operands.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

using namespace qtx;

namespace {

/// `MultipleOpeKind.<name>`.
Obj kind_member(const char* name) {
    return attr(
        QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.variadic_operator", "MultipleOpeKind"), name);
}

Obj init(nb::handle self, nb::handle operands, nb::handle kind) {
    check_arg(operands, &PyList_Type, "operands");
    set_attr(self, "operands", operands);
    set_attr(self, "kind", kind);
    return nb::none();
}

Obj operation(nb::handle self, nb::handle values) {
    check_arg(values, &PyList_Type, "values");
    Obj kind = attr(self, "kind");
    if (kind.is(kind_member("ADD"))) return QTX_IMPORT("builtins", "sum")(values);
    if (kind.is(kind_member("MUL"))) {
        Obj product = small_int(1);
        for (nb::handle value : FastSequence(values, "values must be a list")) product = product * value;
        return product;
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    fail();
}

Obj extract(nb::handle self, nb::handle check) {
    Obj out = extract_self(self, check);
    for (nb::handle operand : FastSequence(attr(self, "operands"), "operands must be a list"))
        extract_into(out, operand, check);
    return out;
}

Obj to_str(nb::handle self) {
    Obj kind = attr(self, "kind");
    Obj operands = attr(self, "operands");
    bool add = kind.is(kind_member("ADD"));
    if (add || kind.is(kind_member("MUL"))) return str("(" + join_str(operands, add ? "+" : "*") + ")");
    return str(to_string(attr(kind, "name")) + "(" + join_str(operands, ", ") + ")");
}

PyMethodDef functions[] = {
    QTX_DEF("_init", init),
    QTX_DEF("_operation", operation),
    QTX_DEF("_substitute", engine::substitute_entry<engine::NodeType::Multi>),
    QTX_DEF("_extract", extract),
    QTX_DEF("_str", to_str),
    QTX_END,
};

}  // namespace

NB_MODULE(variadic_operator, m) { QTX_MODULE_INIT(m, functions) }
