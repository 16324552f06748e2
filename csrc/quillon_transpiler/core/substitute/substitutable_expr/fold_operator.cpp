// FoldOperator: the sum or product of an operand over the values of an index element.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

using namespace qtx;

namespace {

Obj init(nb::handle self, nb::handle index, nb::handle condition, nb::handle operand, nb::handle kind) {
    set_attr(self, "index", index);
    set_attr(self, "condition", condition);
    set_attr(self, "operand", operand);
    set_attr(self, "kind", kind);
    return nb::none();
}

Obj extract(nb::handle self, nb::handle check) {
    Obj out = extract_self(self, check);
    extract_into(out, attr(self, "index"), check);
    extract_into(out, attr(self, "condition"), check, names().extract_expr);
    extract_into(out, attr(self, "operand"), check);
    return out;
}

Obj to_str(nb::handle self) {
    Obj kind = attr(attr(self, "kind"), "name");
    return str(to_string(kind.attr("lower")()) + "_{" + child_str(attr(self, "index")) + "}(" +
               child_str(attr(self, "operand")) + ")");
}

PyMethodDef functions[] = {
    QTX_DEF("_init", init),
    QTX_DEF("_substitute", engine::substitute_entry<engine::NodeType::Fold>),
    QTX_DEF("_extract", extract),
    QTX_DEF("_str", to_str),
    QTX_END,
};

}  // namespace

NB_MODULE(fold_operator, m) { QTX_MODULE_INIT(m, functions) }
