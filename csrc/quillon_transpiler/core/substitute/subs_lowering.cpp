// Lowering of quillon expressions and conditions into substitutable expression trees.
//
// Dispatch itself is a functools.singledispatch built by the module source; the handlers it
// calls live here. Children are always lowered through the module's public entries (looked up
// in the module namespace at call time), so every enclosing node adds its " -> " prefix to a
// SubstituteError raised below it.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"

#include <string>

using namespace qtx;

namespace {

const Names& N = names();

// Interned names only this module needs.
struct Local {
    // clang-format off: one list of names, laid out by hand
#define LOCAL_NAMES(X)                                                                              \
    X(ql) X(subs_expr) X(VariableTypes) X(convert_to_substitutable) X(convert_to_subs_condition)    \
    X(_convert_to_substitutable) X(_convert_to_subs_condition) X(belong_to) X(base) X(exponent)    \
    X(lower_bound) X(upper_bound) X(__class__) X(__name__) X(Number) X(Placeholder) X(Element)     \
    X(ArrayLength) X(Subscript) X(DecisionVariable) X(create_binaryvar) X(create_intvar)           \
    X(MultipleOperator) X(MultipleOpeKind) X(UnaryOperator) X(UnaryOpeKind) X(PairOperator)        \
    X(BinaryOpeKind) X(FoldOperator) X(ReductionOpeKind) X(TrueCondition) X(ConstraintCondition)   \
    X(ConstraintKind) X(OtherConstraintCondition) X(OtherConstraintKind) X(ConditionOperator)      \
    X(ConditionOperatorKind) X(NumberLit) X(Range) X(AddOp) X(MulOp) X(MaxOp) X(MinOp) X(LnOp)     \
    X(Log2Op) X(Log10Op) X(CeilOp) X(FloorOp) X(AbsOp) X(ModOp) X(PowOp) X(SumOp) X(ProdOp)        \
    X(BinaryVar) X(IntegerVar) X(EqualOp) X(LessThanEqualOp) X(GreaterThanEqualOp) X(NotEqualOp)   \
    X(LessThanOp) X(GreaterThanOp) X(AndOp) X(OrOp) X(XorOp) X(ADD) X(MUL) X(MAX) X(MIN) X(LN)     \
    X(LOG2) X(LOG10) X(CEIL) X(FLOOR) X(ABS) X(MOD) X(POW) X(SUM) X(PROD) X(EQUAL)                 \
    X(LESSTHANEQUAL) X(NOTEQUAL) X(LESSTHAN) X(AND) X(OR) X(XOR)
// clang-format on
#define LOCAL_DECLARE(n) Obj n;
    LOCAL_NAMES(LOCAL_DECLARE)
#undef LOCAL_DECLARE
    Local() {
#define LOCAL_INIT(n) n = interned(#n);
        LOCAL_NAMES(LOCAL_INIT)
#undef LOCAL_INIT
    }
};

const Local& L() {
    static Local* l = new Local();
    return *l;
}

using Name = Obj Local::*;

/// A module global, looked up at call time like Python code does.
Obj global(Name name) {
    PyObject* key = (L().*name).ptr();
    Obj module = imported(QTX_NAME("quillon_transpiler.core.substitute.subs_lowering"));
    PyObject* v = dict_get(PyModule_GetDict(module.ptr()), key);
    if (!v) raisef(PyExc_NameError, "name '%U' is not defined", key);
    return ref(v);
}

Obj tree(Name cls) { return getattr(global(&Local::subs_expr).ptr(), (L().*cls).ptr()); }
Obj ql(Name cls) { return getattr(global(&Local::ql).ptr(), (L().*cls).ptr()); }
/// `subs_expr.<enum_cls>.<member>`
Obj tree_kind(Name enum_cls, Name member) { return getattr(tree(enum_cls).ptr(), (L().*member).ptr()); }

bool is_tree(PyObject* o, Name cls) { return is_instance(o, tree(cls).ptr()); }
bool is_ql(PyObject* o, Name cls) { return is_instance(o, ql(cls).ptr()); }

/// `str(type(o))`: the class's full string form, e.g. "<class 'quillon.expressions.Range'>".
std::string class_str(PyObject* o) { return to_string((PyObject*)Py_TYPE(o)); }
/// `o.__class__.__name__`
std::string class_name(PyObject* o) {
    Obj cls = getattr(o, L().__class__.ptr());
    return to_string(getattr(cls.ptr(), L().__name__.ptr()).ptr());
}

void check_el_map(PyObject* el_map) { check_arg(el_map, &PyDict_Type, "el_map"); }

void check_str(PyObject* o) {
    if (!PyUnicode_CheckExact(o)) raisef(PyExc_TypeError, "Expected %s, got %.200s", "unicode", type_name(o));
}
void check_int(PyObject* o) {
    if (!PyLong_CheckExact(o)) raisef(PyExc_TypeError, "Expected %s, got %.200s", "int", type_name(o));
}

Obj pair(PyObject* node, PyObject* el_map) { return own(PyTuple_Pack(2, node, el_map)); }

/// The conversion result `(node, el_map)`, unpacked as Python's two-target assignment does.
struct Lowered {
    Obj node, el_map;
};

Lowered unpack(PyObject* result) {
    Lowered l;
    unpack2(result, l.node, l.el_map);
    check_result(l.el_map.ptr(), &PyDict_Type, false);
    return l;
}

/// Lowers a child through the public entry `entry` and moves `el_map` on to the returned map.
Obj lower_with(Name entry, PyObject* child, Obj& el_map) {
    Obj f = global(entry);
    Obj result = call(f.ptr(), {child, el_map.ptr()});
    Lowered l = unpack(result.ptr());
    el_map = l.el_map;
    return l.node;
}
Obj lower(PyObject* child, Obj& el_map) { return lower_with(&Local::convert_to_substitutable, child, el_map); }
Obj lower_condition(PyObject* child, Obj& el_map) {
    return lower_with(&Local::convert_to_subs_condition, child, el_map);
}

/// `[lower(item) for item in items]`, threading el_map.
Obj lower_all(PyObject* items, Obj& el_map, Obj (*lower_one)(PyObject*, Obj&)) {
    Obj out = own(PyList_New(0));
    for_each(items, [&](PyObject* item) {
        if (PyList_Append(out.ptr(), lower_one(item, el_map).ptr()) < 0) fail();
    });
    return out;
}

[[noreturn]] void not_supported(PyObject* expr) {
    raise_substitute(class_str(expr) + " is not supported. Please ask to Tavik team.");
}

/// The kind of the first quillon class `expr` is an instance of; "not supported" otherwise.
struct Pick {
    Name ql_cls, member;
};
Obj pick_kind(PyObject* expr, Name enum_cls, std::initializer_list<Pick> picks) {
    for (const Pick& p : picks)
        if (is_ql(expr, p.ql_cls)) return tree_kind(enum_cls, p.member);
    not_supported(expr);
}

/// Runs a dispatcher call, re-raising a SubstituteError with the printed node as prefix.
Obj prefixed(PyObject* expr, Name dispatcher, PyObject* el_map) {
    // every level of the model passes here: its C frames need the C stack, whatever Python's
    // recursion limit allows
    check_stack("while lowering an expression");
    try {
        Obj f = global(dispatcher);
        return call(f.ptr(), {expr, el_map});
    } catch (...) {
        Obj err = caught_substitute_error();
        std::string msg = to_string(expr) + " -> " + to_string(err.ptr());
        raise_during(call(substitute_error(), {str(msg).ptr()}), err.ptr());
    }
}

// ---- expressions ----

Obj is_scalar_impl(PyObject* expr) {
    Obj types = global(&Local::VariableTypes);
    if (!is_instance(expr, types.ptr())) return ref(Py_True);
    Obj ndim = getattr(expr, N.ndim.ptr());
    Obj zero = integer(0);
    return ref(compare(ndim.ptr(), zero.ptr(), Py_EQ) ? Py_True : Py_False);
}

Obj is_scalar(PyObject* const* a) { return is_scalar_impl(a[0]); }

Obj convert_expr(PyObject* const* a) {
    check_el_map(a[1]);
    return prefixed(a[0], &Local::_convert_to_substitutable, a[1]);
}

Obj cannot_convert_expr(PyObject* const* a) {
    check_el_map(a[1]);
    raise_substitute("Cannot convert " + class_str(a[0]) + " to substitutable expression.");
}

Obj lower_number(PyObject* const* a) {
    check_el_map(a[1]);
    Obj value = getattr(a[0], N.value.ptr());
    return pair(call(tree(&Local::Number).ptr(), {value.ptr()}).ptr(), a[1]);
}

Obj new_element(PyObject* name, PyObject* start, PyObject* end) {
    return call(tree(&Local::Element).ptr(), {name, start, end}, kwnames({"start", "end"}).ptr());
}

Obj lower_element(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj name = getattr(expr, N.name.ptr());
    Obj belong_to = getattr(expr, L().belong_to.ptr());

    // A range or a scalar length: a new element every time, replacing the map entry.
    Obj start, end;
    if (is_ql(belong_to.ptr(), &Local::Range)) {
        start = lower(getattr(belong_to.ptr(), N.start.ptr()).ptr(), el_map);
        end = lower(getattr(belong_to.ptr(), N.end.ptr()).ptr(), el_map);
    } else if (is_scalar_impl(belong_to.ptr()).ptr() == Py_True) {
        start = call(tree(&Local::Number).ptr(), {integer(0).ptr()});
        end = lower(belong_to.ptr(), el_map);
    }
    if (start) {
        Obj element = new_element(name.ptr(), start.ptr(), end.ptr());
        dict_set(el_map.ptr(), name.ptr(), element.ptr());
        return pair(element.ptr(), el_map.ptr());
    }

    // An array: the element stands for the array's entry at an index element over axis 0.
    // That index is built once per name, so every occurrence shares it.
    Obj array = lower(belong_to.ptr(), el_map);
    if (!is_tree(array.ptr(), &Local::Placeholder) && !is_tree(array.ptr(), &Local::Subscript))
        raise_substitute("Error in Algebric expression conversion. Please check expression or ask to Tavik team.");
    Obj index;
    if (PyObject* known = dict_get(el_map.ptr(), name.ptr())) {
        index = ref(known);
    } else {
        Obj size = call(tree(&Local::ArrayLength).ptr(), {array.ptr(), integer(0).ptr()}, kwnames({"axis"}).ptr());
        Obj zero = call(tree(&Local::Number).ptr(), {integer(0).ptr()});
        index = new_element(name.ptr(), zero.ptr(), size.ptr());
        dict_set(el_map.ptr(), name.ptr(), index.ptr());
    }
    Obj entry = own(PyObject_GetItem(array.ptr(), index.ptr()));
    return pair(entry.ptr(), el_map.ptr());
}

Obj lower_multiple(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj operands = lower_all(getattr(expr, N.terms.ptr()).ptr(), el_map, lower);
    Obj kind = pick_kind(expr, &Local::MultipleOpeKind,
                         {{&Local::AddOp, &Local::ADD},
                          {&Local::MulOp, &Local::MUL},
                          {&Local::MaxOp, &Local::MAX},
                          {&Local::MinOp, &Local::MIN}});
    Obj node = call(tree(&Local::MultipleOperator).ptr(), {operands.ptr(), kind.ptr()}, kwnames({"kind"}).ptr());
    return pair(node.ptr(), el_map.ptr());
}

Obj lower_unary(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj operand = lower(getattr(expr, N.operand.ptr()).ptr(), el_map);
    Obj kind = pick_kind(expr, &Local::UnaryOpeKind,
                         {{&Local::LnOp, &Local::LN},
                          {&Local::Log2Op, &Local::LOG2},
                          {&Local::Log10Op, &Local::LOG10},
                          {&Local::CeilOp, &Local::CEIL},
                          {&Local::FloorOp, &Local::FLOOR},
                          {&Local::AbsOp, &Local::ABS}});
    Obj node = call(tree(&Local::UnaryOperator).ptr(), {operand.ptr(), kind.ptr()});
    return pair(node.ptr(), el_map.ptr());
}

Obj lower_pair(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    // The class decides which attributes hold the operands, so it is tested first.
    Obj left, right, kind;
    if (is_ql(expr, &Local::ModOp)) {
        left = lower(getattr(expr, N.left.ptr()).ptr(), el_map);
        right = lower(getattr(expr, N.right.ptr()).ptr(), el_map);
        kind = tree_kind(&Local::BinaryOpeKind, &Local::MOD);
    } else if (is_ql(expr, &Local::PowOp)) {
        left = lower(getattr(expr, L().base.ptr()).ptr(), el_map);
        right = lower(getattr(expr, L().exponent.ptr()).ptr(), el_map);
        kind = tree_kind(&Local::BinaryOpeKind, &Local::POW);
    } else {
        not_supported(expr);
    }
    Obj node = call(tree(&Local::PairOperator).ptr(), {left.ptr(), right.ptr(), kind.ptr()}, kwnames({"kind"}).ptr());
    return pair(node.ptr(), el_map.ptr());
}

Obj lower_fold(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    // Lowering the index only registers its element; the fold runs over the map's entry,
    // which for an element over an array is its index element, not the array entry.
    lower(getattr(expr, N.index.ptr()).ptr(), el_map);
    Obj name = getattr(getattr(expr, N.index.ptr()).ptr(), N.name.ptr());
    Obj index = ref(dict_item(el_map.ptr(), name.ptr()));
    if (!is_tree(index.ptr(), &Local::Element))
        raise_substitute("Error: " + class_name(index.ptr()) + " is not supported as index. Please ask to Tavik team.");
    Obj operand = lower(getattr(expr, N.operand.ptr()).ptr(), el_map);
    Obj condition = lower_condition(getattr(expr, N.condition.ptr()).ptr(), el_map);
    Obj kind =
        pick_kind(expr, &Local::ReductionOpeKind, {{&Local::SumOp, &Local::SUM}, {&Local::ProdOp, &Local::PROD}});
    Obj node = call(tree(&Local::FoldOperator).ptr(), {index.ptr(), condition.ptr(), operand.ptr(), kind.ptr()},
                    kwnames({"index", "condition", "operand", "kind"}).ptr());
    return pair(node.ptr(), el_map.ptr());
}

Obj lower_subscript(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj subscripts = lower_all(getattr(expr, N.subscripts.ptr()).ptr(), el_map, lower);
    Obj variable = lower(getattr(expr, N.variable.ptr()).ptr(), el_map);
    Obj cls = tree(&Local::Subscript);
    Obj node;
    if (is_instance(variable.ptr(), cls.ptr())) {
        // x[i][j] is one access x[i, j]: the tree never nests subscripts.
        Obj inner = getattr(variable.ptr(), N.subscripts.ptr());
        Obj all = own(PyNumber_Add(inner.ptr(), subscripts.ptr()));
        node = call(cls.ptr(), {getattr(variable.ptr(), N.variable.ptr()).ptr(), all.ptr()});
    } else if (is_tree(variable.ptr(), &Local::Placeholder) || is_tree(variable.ptr(), &Local::DecisionVariable)) {
        node = call(cls.ptr(), {variable.ptr(), subscripts.ptr()});
    } else {
        raise_substitute("Error: `" + class_name(variable.ptr()) +
                         "` is not supported as variable of `Subscript`. Please ask to Tavik team.");
    }
    return pair(node.ptr(), el_map.ptr());
}

Obj lower_placeholder(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj name = getattr(expr, N.name.ptr());
    check_str(name.ptr());
    Obj ndim = getattr(expr, N.ndim.ptr());
    check_int(ndim.ptr());
    Obj node = call(tree(&Local::Placeholder).ptr(), {name.ptr(), ndim.ptr()});
    return pair(node.ptr(), a[1]);
}

Obj lower_array_length(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj array = lower(getattr(expr, N.array.ptr()).ptr(), el_map);
    if (!is_tree(array.ptr(), &Local::Placeholder) && !is_tree(array.ptr(), &Local::DecisionVariable) &&
        !is_tree(array.ptr(), &Local::Subscript))
        raise_substitute("Error: " + class_str(array.ptr()) + " is not supported as array. Please ask to Tavik team.");
    Obj axis = getattr(expr, N.axis.ptr());
    check_int(axis.ptr());
    Obj node = call(tree(&Local::ArrayLength).ptr(), {array.ptr(), axis.ptr()}, kwnames({"axis"}).ptr());
    return pair(node.ptr(), el_map.ptr());
}

Obj lower_decision_var(PyObject* const* a) {
    PyObject* expr = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj name = getattr(expr, N.name.ptr());
    check_str(name.ptr());
    Obj shape = own(PyList_AsTuple(lower_all(getattr(expr, N.shape.ptr()).ptr(), el_map, lower).ptr()));
    Obj cls = tree(&Local::DecisionVariable);
    Obj node;
    if (is_ql(expr, &Local::BinaryVar)) {
        node = call(getattr(cls.ptr(), L().create_binaryvar.ptr()).ptr(), {name.ptr(), shape.ptr()});
    } else if (is_ql(expr, &Local::IntegerVar)) {
        Obj lower_node = lower(getattr(expr, L().lower_bound.ptr()).ptr(), el_map);
        Obj upper_node = lower(getattr(expr, L().upper_bound.ptr()).ptr(), el_map);
        node = call(getattr(cls.ptr(), L().create_intvar.ptr()).ptr(),
                    {name.ptr(), shape.ptr(), lower_node.ptr(), upper_node.ptr()}, kwnames({"lower", "upper"}).ptr());
    } else {
        raise_substitute(class_str(expr) + " is not supported yet. Please ask to Tavik team.");
    }
    return pair(node.ptr(), el_map.ptr());
}

// ---- conditions ----

Obj convert_condition(PyObject* const* a) {
    check_el_map(a[1]);
    return prefixed(a[0], &Local::_convert_to_subs_condition, a[1]);
}

Obj cannot_convert_condition(PyObject* const* a) {
    check_el_map(a[1]);
    raise_substitute("Cannot convert " + class_str(a[0]) + " to substitutable condition.");
}

Obj lower_true(PyObject* const* a) {
    check_el_map(a[1]);
    return pair(call(tree(&Local::TrueCondition).ptr(), {}).ptr(), a[1]);
}

/// One row of a comparison handler: the quillon class, the kind, and whether the sides swap.
struct Comparison {
    Name ql_cls, member;
    bool swap;
};

// Greater-than comparisons become less-than ones with the sides swapped, so no greater kind
// ever reaches the tree.
Obj lower_comparison(PyObject* const* a, Name node_cls, Name enum_cls, std::initializer_list<Comparison> rows) {
    PyObject* cond = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj left = lower(getattr(cond, N.left.ptr()).ptr(), el_map);
    Obj right = lower(getattr(cond, N.right.ptr()).ptr(), el_map);
    for (const Comparison& row : rows) {
        if (!is_ql(cond, row.ql_cls)) continue;
        Obj kind = tree_kind(enum_cls, row.member);
        PyObject* first = row.swap ? right.ptr() : left.ptr();
        PyObject* second = row.swap ? left.ptr() : right.ptr();
        Obj node = call(tree(node_cls).ptr(), {first, second, kind.ptr()}, kwnames({"kind"}).ptr());
        return pair(node.ptr(), el_map.ptr());
    }
    not_supported(cond);
}

Obj lower_constraint(PyObject* const* a) {
    return lower_comparison(a, &Local::ConstraintCondition, &Local::ConstraintKind,
                            {{&Local::EqualOp, &Local::EQUAL, false},
                             {&Local::LessThanEqualOp, &Local::LESSTHANEQUAL, false},
                             {&Local::GreaterThanEqualOp, &Local::LESSTHANEQUAL, true}});
}

Obj lower_other_constraint(PyObject* const* a) {
    return lower_comparison(a, &Local::OtherConstraintCondition, &Local::OtherConstraintKind,
                            {{&Local::NotEqualOp, &Local::NOTEQUAL, false},
                             {&Local::LessThanOp, &Local::LESSTHAN, false},
                             {&Local::GreaterThanOp, &Local::LESSTHAN, true}});
}

Obj lower_logical(PyObject* const* a) {
    PyObject* cond = a[0];
    check_el_map(a[1]);
    Obj el_map = ref(a[1]);
    Obj terms = lower_all(getattr(cond, N.terms.ptr()).ptr(), el_map, lower_condition);
    Obj kind = pick_kind(cond, &Local::ConditionOperatorKind,
                         {{&Local::AndOp, &Local::AND}, {&Local::OrOp, &Local::OR}, {&Local::XorOp, &Local::XOR}});
    Obj node = call(tree(&Local::ConditionOperator).ptr(), {terms.ptr(), kind.ptr()}, kwnames({"kind"}).ptr());
    return pair(node.ptr(), el_map.ptr());
}

PyMethodDef functions[] = {
    QTX_FN("_is_scalar", 1, is_scalar),
    QTX_FN("_convert_expr", 2, convert_expr),
    QTX_FN("_cannot_convert_expr", 2, cannot_convert_expr),
    QTX_FN("_lower_number", 2, lower_number),
    QTX_FN("_lower_element", 2, lower_element),
    QTX_FN("_lower_multiple", 2, lower_multiple),
    QTX_FN("_lower_unary", 2, lower_unary),
    QTX_FN("_lower_pair", 2, lower_pair),
    QTX_FN("_lower_fold", 2, lower_fold),
    QTX_FN("_lower_subscript", 2, lower_subscript),
    QTX_FN("_lower_placeholder", 2, lower_placeholder),
    QTX_FN("_lower_array_length", 2, lower_array_length),
    QTX_FN("_lower_decision_var", 2, lower_decision_var),
    QTX_FN("_convert_condition", 2, convert_condition),
    QTX_FN("_cannot_convert_condition", 2, cannot_convert_condition),
    QTX_FN("_lower_true", 2, lower_true),
    QTX_FN("_lower_constraint", 2, lower_constraint),
    QTX_FN("_lower_other_constraint", 2, lower_other_constraint),
    QTX_FN("_lower_logical", 2, lower_logical),
    QTX_END,
};

}  // namespace

NB_MODULE(subs_lowering, m) { QTX_MODULE_INIT(m, functions) }
