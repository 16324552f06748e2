// Leaves of the expression tree (placeholders, index elements, decision variables) and the
// subscript and array-length nodes that index them.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

using namespace qtx;
using engine::NodeType;

namespace {

Obj subscript_class() {
    return QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.variable", "Subscript");
}

void init_variable(nb::handle self, nb::handle name, nb::handle ndim) {
    check_arg(name, &PyUnicode_Type, "name");
    check_arg(ndim, &PyLong_Type, "ndim");
    set_attr(self, "name", name);
    set_attr(self, "ndim", ndim);
    init_base(self);
}

Obj variable_init(nb::handle self, nb::handle name, nb::handle ndim) {
    init_variable(self, name, ndim);
    return nb::none();
}

Obj element_init(nb::handle self, nb::handle name, nb::handle start, nb::handle end) {
    check_arg(name, &PyUnicode_Type, "name");
    set_attr(self, "start", start);
    set_attr(self, "end", end);
    init_variable(self, name, nb::int_(1));
    return nb::none();
}

void check_var_args(nb::handle name, nb::handle shape) {
    check_arg(name, &PyUnicode_Type, "name");
    check_arg(shape, &PyTuple_Type, "shape");
}

Obj decvar_init(nb::handle self, nb::handle name, nb::handle shape, nb::handle kind, nb::handle lower,
                nb::handle upper) {
    check_var_args(name, shape);
    set_attr(self, "shape", shape);
    set_attr(self, "kind", kind);
    set_attr(self, "lower", lower);
    set_attr(self, "upper", upper);
    init_variable(self, name, nb::int_(nb::len(shape)));
    return nb::none();
}

/// cls(name, shape, kind, lower=lower, upper=upper) after the class methods' argument checks.
Obj create_var(nb::handle cls, nb::handle name, nb::handle shape, nb::handle kind, nb::handle lower, nb::handle upper) {
    using namespace nb::literals;
    check_var_args(name, shape);
    return cls(name, shape, kind, "lower"_a = lower, "upper"_a = upper);
}

Obj variable_extract(nb::handle self, nb::handle check) { return extract_self(self, check); }

/// The nodes of `self` and of its two children `first` and `second`.
Obj extract_with(nb::handle self, nb::handle check, const char* first, const char* second) {
    Obj out = extract_self(self, check);
    extract_into(out, attr(self, first), check);
    extract_into(out, attr(self, second), check);
    return out;
}
Obj element_extract(nb::handle self, nb::handle check) { return extract_with(self, check, "start", "end"); }
Obj decvar_extract(nb::handle self, nb::handle check) { return extract_with(self, check, "lower", "upper"); }

Obj variable_str(nb::handle self) { return attr(self, "name"); }

Obj placeholder_getitem(nb::handle self, nb::handle subscripts) {
    return subscript_class()(self, nb::list(subscripts));
}

Obj subscript_init(nb::handle self, nb::handle variable, nb::handle subscripts) {
    check_arg(subscripts, &PyList_Type, "subscripts");
    set_attr(self, "variable", variable);
    set_attr(self, "subscripts", subscripts);
    init_base(self);
    return nb::none();
}

Obj subscript_getitem(nb::handle self, nb::handle subscripts) {
    nb::list more(subscripts);
    Obj all = attr(self, "subscripts") + more;
    return subscript_class()(attr(self, "variable"), all);
}

Obj subscript_extract(nb::handle self, nb::handle check) {
    Obj out = extract_self(self, check);
    extract_into(out, attr(self, "variable"), check);
    for (nb::handle subscript : FastSequence(attr(self, "subscripts"), "subscripts must be a list"))
        extract_into(out, subscript, check);
    return out;
}

Obj subscript_str(nb::handle self) {
    return str(child_str(attr(self, "variable")) + "[" + join_str(attr(self, "subscripts"), ", ") + "]");
}

Obj arraylength_init(nb::handle self, nb::handle array, nb::handle axis) {
    check_arg(axis, &PyLong_Type, "axis");
    set_attr(self, "array", array);
    set_attr(self, "axis", axis);
    init_base(self);
    return nb::none();
}

Obj arraylength_extract(nb::handle self, nb::handle check) {
    Obj out = extract_self(self, check);
    extract_into(out, attr(self, "array"), check);
    return out;
}

PyMethodDef functions[] = {
    QTX_DEF("_variable_init", variable_init),
    QTX_DEF("_variable_extract", variable_extract),
    QTX_DEF("_variable_str", variable_str),
    QTX_DEF("_element_init", element_init),
    QTX_DEF("_element_substitute", engine::substitute_entry<NodeType::Element>),
    QTX_DEF("_element_index_values", engine::range_entry),
    QTX_DEF("_element_extract", element_extract),
    QTX_DEF("_decvar_init", decvar_init),
    QTX_DEF("_create_var", create_var),
    QTX_DEF("_decvar_substitute", engine::substitute_entry<NodeType::DecVar>),
    QTX_DEF("_decvar_extract", decvar_extract),
    QTX_DEF("_placeholder_substitute", engine::substitute_entry<NodeType::Placeholder>),
    QTX_DEF("_placeholder_getitem", placeholder_getitem),
    QTX_DEF("_subscript_init", subscript_init),
    QTX_DEF("_subscript_getitem", subscript_getitem),
    QTX_DEF("_subscript_substitute", engine::substitute_entry<NodeType::Subscript>),
    QTX_DEF("_subscript_extract", subscript_extract),
    QTX_DEF("_subscript_str", subscript_str),
    QTX_DEF("_arraylength_init", arraylength_init),
    QTX_DEF("_arraylength_substitute", engine::substitute_entry<NodeType::ArrayLength>),
    QTX_DEF("_arraylength_extract", arraylength_extract),
    QTX_END,
};

}  // namespace

NB_MODULE(variable, m) { QTX_MODULE_INIT(m, functions) }
