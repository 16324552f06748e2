// FoldOperator: the sum or product of an operand over the values of an index element.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

using namespace qtx;

namespace {

Obj init(nb::handle self, nb::handle index, nb::handle condition, nb::handle operand, nb::handle kind) {
    self.attr("index") = index;
    self.attr("condition") = condition;
    self.attr("operand") = operand;
    self.attr("kind") = kind;
    return nb::none();
}

Obj extract(nb::handle self, nb::handle check) {
    Obj out = extract_self(self, check);
    extract_into(out, self.attr("index"), check);
    extract_into(out, self.attr("condition"), check, names().extract_expr);
    extract_into(out, self.attr("operand"), check);
    return out;
}

Obj to_str(nb::handle self) {
    Obj kind = self.attr("kind").attr("name").attr("lower")();
    return str(to_string(kind) + "_{" + child_str(self.attr("index")) + "}(" + child_str(self.attr("operand")) + ")");
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
