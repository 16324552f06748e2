// eval_energy: objective + squared constraint numbers + penalty numbers of a compiled instance.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/maps.hpp"

using namespace qtx;

namespace {

const Names& N = names();

/// Calls f(key, value) for every pair of `m.items()`; None fails like Python's attribute lookup.
template <class F>
void each_item(PyObject* m, F&& f) {
    if (PyDict_CheckExact(m)) return map_each(m, f);
    Obj items = call_method(m, N.items.ptr());
    for_each(items.ptr(), [&](PyObject* pair) {
        Obj k = own(PySequence_GetItem(pair, 0)), v = own(PySequence_GetItem(pair, 1));
        f(k.ptr(), v.ptr());
    });
}

[[noreturn]] void unregistered(PyObject* label, PyObject* subscripts) {
    std::string what =
        subscripts ? "`" + to_string(label) + "` at subscripts " + to_string(own(PyObject_Repr(subscripts)).ptr())
                   : "`" + to_string(label) + "`";
    raise_key_error("decision variable " + what +
                    " is not registered in the compiled instance; pass values only for the "
                    "variables its polynomials use (fixed elements are never registered)");
}

Obj energy(PyObject* const* a) {
    PyObject *var_value = a[0], *compiled = a[1];
    check_arg(var_value, &PyDict_Type, "var_value");
    Obj registry = getattr(getattr(compiled, N.var_map.ptr()).ptr(), N.var_map.ptr());

    // labelled values to values by variable index
    Obj by_index = own(PyDict_New());
    map_each(var_value, [&](PyObject* label, PyObject* values) {
        Obj by_subscripts;
        if (!PyDict_Check(values) && !PyObject_HasAttr(values, N.items.ptr()))
            raise(PyExc_TypeError, "eval_energy takes values as {label: {subscripts: value}}; the values of `" +
                                       to_string(label) + "` are " + to_string(own(PyObject_Repr(values)).ptr()) +
                                       ", not a dict keyed by tuples of subscripts (use {(): value} for a scalar)");
        each_item(values, [&](PyObject* subscripts, PyObject* v) {
            if (!PyTuple_Check(subscripts)) {
                // still the KeyError of a subscript the registry does not hold, saying why
                std::string shown = to_string(own(PyObject_Repr(subscripts)).ptr());
                raise_key_error("decision variable `" + to_string(label) + "` is keyed by " + shown +
                                ", not by a tuple of subscripts: use (" + shown +
                                ",) for one subscript, () for a "
                                "scalar");
            }
            if (!by_subscripts) {
                by_subscripts = map_find(registry.ptr(), label);
                if (!by_subscripts) unregistered(label, nullptr);
            }
            Obj index = map_find(by_subscripts.ptr(), subscripts);
            if (!index) unregistered(label, subscripts);
            dict_set(by_index.ptr(), index.ptr(), v);
        });
    });

    // read from this module's namespace at every call, as the surface imported it
    Obj calc_expr = QTX_IMPORT("quillon_transpiler.core.decode.eval_energy", "calc_expr");
    Obj result = call(calc_expr.ptr(), {by_index.ptr(), compiled});
    Obj total = getattr(result.ptr(), N.objective.ptr());
    Obj two = small_int(2);
    Obj constraint = getattr(result.ptr(), QTX_NAME("constraint"));
    each_item(constraint.ptr(), [&](PyObject*, PyObject* by_key) {
        each_item(by_key, [&](PyObject*, PyObject* x) { total = num_add(total.ptr(), num_pow(x, two.ptr()).ptr()); });
    });
    Obj penalty = getattr(result.ptr(), QTX_NAME("penalty"));
    each_item(penalty.ptr(), [&](PyObject*, PyObject* by_key) {
        each_item(by_key, [&](PyObject*, PyObject* x) { total = num_add(total.ptr(), x); });
    });
    return total;
}

PyMethodDef functions[] = {
    QTX_FN("_eval_energy", 2, energy),
    QTX_END,
};

}  // namespace

NB_MODULE(eval_energy, m) { QTX_MODULE_INIT(m, functions) }
