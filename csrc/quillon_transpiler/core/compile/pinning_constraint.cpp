// pinning_constraint: constraints that only pin a decision variable to a data value.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/registry.hpp"

using namespace qtx;

namespace {

const Names& N = names();

Obj decision_variable_class() { return tree_class(QTX_NAME("DecisionVariable")); }

bool has_deci_var(PyObject* expr) {
    Obj check = instance_check(decision_variable_class().ptr());
    return truth(call_method(expr, N.extract.ptr(), {check.ptr()}).ptr());
}

Obj pair(PyObject* a, PyObject* b) { return own(PyTuple_Pack(2, a, b)); }

/// (variable, subscripts) of a bare or subscripted decision variable, else None.
Obj seperate_var_subs(PyObject* variable) {
    Obj dv = decision_variable_class();
    if (is_instance(variable, dv.ptr())) return pair(variable, own(PyList_New(0)).ptr());
    Obj inner = getattr(variable, N.variable.ptr());
    if (is_instance(inner.ptr(), dv.ptr())) return pair(inner.ptr(), getattr(variable, N.subscripts.ptr()).ptr());
    return ref(Py_None);
}

/// The pinning triple of `condition`, or None. `separate` is the caller's splitter, or null
/// for the native one.
Obj check_pinning(PyObject* condition, PyObject* separate) {
    Obj kind = getattr(condition, N.kind.ptr());
    Obj equal = getattr(tree_class(QTX_NAME("ConstraintKind")).ptr(), QTX_NAME("EQUAL"));
    if (compare(kind.ptr(), equal.ptr(), Py_NE)) return ref(Py_None);
    Obj left = getattr(condition, N.left.ptr());
    Obj right = getattr(condition, N.right.ptr());
    Obj subscript = tree_class(QTX_NAME("Subscript"));
    if (!is_instance(left.ptr(), decision_variable_class().ptr()) && !is_instance(left.ptr(), subscript.ptr()))
        return ref(Py_None);
    Obj var_subs = separate ? call(separate, {left.ptr()}) : seperate_var_subs(left.ptr());
    if (var_subs.ptr() == Py_None) return ref(Py_None);
    if (has_deci_var(right.ptr())) return ref(Py_None);
    Obj variable = own(PySequence_GetItem(var_subs.ptr(), 0));
    Obj subscripts = own(PySequence_GetItem(var_subs.ptr(), 1));
    return own(PyTuple_Pack(3, variable.ptr(), subscripts.ptr(), right.ptr()));
}

/// The value an index expression stands for, as an int.
Obj subscript_value(PyObject* expr, PyObject* registry, PyObject* data) {
    Obj poly = call_method(expr, N.substitute.ptr(), {registry, data});
    Obj coeff = getattr(poly.ptr(), N.coeff.ptr());
    if (map_size(coeff.ptr())) raise_substitute("Subscripts must not contain decision variables.");
    Obj value = getattr(poly.ptr(), N.constant.ptr());
    return PyLong_Check(value.ptr()) ? value : own(PyNumber_Long(value.ptr()));
}

Obj convert_to_fixed_vars(PyObject* const* a) {
    PyObject *constraint = a[0], *data = a[1];
    Obj checked = check_pinning(getattr(constraint, N.condition.ptr()).ptr(), nullptr);
    if (checked.ptr() == Py_None) return checked;
    PyObject* variable = PyTuple_GET_ITEM(checked.ptr(), 0);
    PyObject* subscripts = PyTuple_GET_ITEM(checked.ptr(), 1);
    PyObject* value_expr = PyTuple_GET_ITEM(checked.ptr(), 2);
    Obj registry = empty_registry();
    Obj label = getattr(variable, N.name.ptr());
    Obj values = own(PyDict_New());
    Obj fixed_vars = own(PyDict_New());
    dict_set(fixed_vars.ptr(), label.ptr(), values.ptr());

    Obj forall = getattr(constraint, N.forall.ptr());
    Obj unroll = QTX_IMPORT("quillon_transpiler.core.compile.unroll_forall", "unroll_forall");
    Obj assignments = call(unroll.ptr(), {forall.ptr(), data});
    Obj substitute_value = getattr(value_expr, N.substitute.ptr());
    SignalPoll poll;
    for_each(assignments.ptr(), [&](PyObject* assignment) {
        poll.tick(64);  // substitutions of the subscripts and the value per assignment
        // bind every forall element to its value of this assignment
        zip(forall.ptr(), assignment, [&](PyObject* entry, PyObject* value) {
            Obj element = own(PySequence_GetItem(entry, 0));
            Obj name = getattr(element.ptr(), N.name.ptr());
            bind_index(getattr(data, N.indices.ptr()).ptr(), name.ptr(), value);
        });
        Obj key_items = own(PyList_New(0));
        for_each(subscripts, [&](PyObject* expr) {
            if (PyList_Append(key_items.ptr(), subscript_value(expr, registry.ptr(), data).ptr()) < 0) fail();
        });
        Obj poly = call(substitute_value.ptr(), {registry.ptr(), data});
        Obj fixed_value = getattr(poly.ptr(), N.constant.ptr());
        Obj key = own(PyList_AsTuple(key_items.ptr()));
        Obj target = item(fixed_vars.ptr(), label.ptr());
        if (PyObject_SetItem(target.ptr(), key.ptr(), fixed_value.ptr()) < 0) fail();
    });
    return fixed_vars;
}

Obj has_deci_var_fn(PyObject* const* a) { return ref(has_deci_var(a[0]) ? Py_True : Py_False); }
Obj seperate_var_subs_fn(PyObject* const* a) { return seperate_var_subs(a[0]); }
Obj check_pinning_fn(PyObject* const* a) { return check_pinning(a[0], a[1]); }

PyMethodDef functions[] = {
    QTX_FN("_has_deci_var", 1, has_deci_var_fn),
    QTX_FN("_seperate_var_subs", 1, seperate_var_subs_fn),
    QTX_FN("_check_pinning_constraint", 2, check_pinning_fn),
    QTX_FN("_convert_to_fixed_vars", 2, convert_to_fixed_vars),
    QTX_END,
};

}  // namespace

NB_MODULE(pinning_constraint, m) { QTX_MODULE_INIT(m, functions) }
