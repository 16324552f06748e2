// pinning_constraint: constraints that only pin a decision variable to a data value.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/registry.hpp"
#include "qtx/warnings.hpp"

using namespace qtx;

namespace {

Obj decision_variable_class() { return tree_class(QTX_NAME("DecisionVariable")); }

bool has_deci_var(nb::handle expr) { return truth(attr(expr, "extract")(instance_check(decision_variable_class()))); }

/// (variable, subscripts) of a bare or subscripted decision variable, else None.
Obj seperate_var_subs(nb::handle variable) {
    Obj decision_variable = decision_variable_class();
    if (is_instance(variable, decision_variable)) return nb::make_tuple(variable, nb::list());
    Obj inner = attr(variable, "variable");
    if (is_instance(inner, decision_variable)) return nb::make_tuple(inner, attr(variable, "subscripts"));
    return nb::none();
}

/// The pinning triple (variable, subscripts, value) of `condition`, or None. `separate` is the
/// caller's splitter, or null for the native one.
Obj check_pinning(nb::handle condition, nb::handle separate) {
    Obj kind = attr(condition, "kind");
    if (compare(kind, attr(tree_class(QTX_NAME("ConstraintKind")), "EQUAL"), Py_NE)) return nb::none();
    Obj left = attr(condition, "left");
    Obj right = attr(condition, "right");
    if (!is_instance(left, decision_variable_class()) && !is_instance(left, tree_class(QTX_NAME("Subscript"))))
        return nb::none();
    Obj var_subs = separate ? separate(left) : seperate_var_subs(left);
    if (var_subs.is_none()) return nb::none();
    if (has_deci_var(right)) return nb::none();
    Obj variable = var_subs[0], subscripts = var_subs[1];
    return nb::make_tuple(variable, subscripts, right);
}

/// The value an index expression stands for, as an int.
Obj subscript_value(nb::handle expr, nb::handle registry, nb::handle data) {
    Obj poly = attr(expr, "substitute")(registry, data);
    if (map_size(attr(poly, "coeff"))) raise_substitute("Subscripts must not contain decision variables.");
    Obj value = attr(poly, "constant");
    return nb::isinstance<nb::int_>(value) ? value : to_int(value);
}

Obj convert_to_fixed_vars(nb::handle constraint, nb::handle data) {
    Obj pinned = check_pinning(attr(constraint, "condition"), nb::handle());
    if (pinned.is_none()) return pinned;
    nb::tuple triple = nb::borrow<nb::tuple>(pinned);
    nb::handle variable = triple[0], subscripts = triple[1], value_expr = triple[2];
    Obj registry = empty_registry();
    Obj label = attr(variable, "name");
    nb::dict fixed_vars;
    fixed_vars[label] = nb::dict();

    Obj forall = attr(constraint, "forall");
    Obj unroll = QTX_IMPORT("quillon_transpiler.core.compile.unroll_forall", "unroll_forall");
    Obj assignments = unroll(forall, data);
    Obj substitute_value = attr(value_expr, "substitute");
    SignalPoll poll;
    std::string conflict;  // the first subscript pinned to two values
    for (nb::handle assignment : assignments) {
        poll.tick(64);  // substitutions of the subscripts and the value per assignment
        // bind every forall element to its value of this assignment
        zip(forall, assignment, [&](nb::handle entry, nb::handle value) {
            Obj name = attr(entry[0], "name");
            bind_index(attr(data, "indices"), name, value);
        });
        nb::list key;
        for (nb::handle expr : subscripts) key.append(subscript_value(expr, registry, data));
        Obj fixed_value = attr(substitute_value(registry, data), "constant");
        nb::tuple at(key);
        Obj pins = fixed_vars[label];
        PyObject* before = dict_get(pins, at);
        if (before && conflict.empty() && !compare(before, fixed_value, Py_EQ))
            conflict =
                variable_text(label, at) + " to " + to_repr(nb::handle(before)) + " and to " + to_repr(fixed_value);
        pins[at] = fixed_value;
    }
    // the later value is kept, as for any pin; the model it leaves is not the one written
    if (!conflict.empty())
        warn("constraint `" + to_string(attr(constraint, "name")) + "` pins " + conflict +
             " for two assignments of its forall: no assignment satisfies the constraint; the value pinned last is "
             "used.");
    return std::move(fixed_vars);
}

Obj has_deci_var_fn(nb::handle expr) { return nb::bool_(has_deci_var(expr)); }

Obj seperate_var_subs_fn(nb::handle variable) { return seperate_var_subs(variable); }

Obj check_pinning_fn(nb::handle condition, nb::handle separate) { return check_pinning(condition, separate); }

PyMethodDef functions[] = {
    QTX_DEF("_has_deci_var", has_deci_var_fn),
    QTX_DEF("_seperate_var_subs", seperate_var_subs_fn),
    QTX_DEF("_check_pinning_constraint", check_pinning_fn),
    QTX_DEF("_convert_to_fixed_vars", convert_to_fixed_vars),
    QTX_END,
};

}  // namespace

NB_MODULE(pinning_constraint, m) { QTX_MODULE_INIT(m, functions) }
