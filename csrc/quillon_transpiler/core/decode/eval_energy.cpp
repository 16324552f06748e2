// eval_energy: objective + squared constraint numbers + penalty numbers of a compiled instance.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/maps.hpp"

namespace qtx::eval_energy {

/// Calls f(key, value) for every pair of `m.items()`; None fails like Python's attribute lookup.
template <class F>
void each_item(nb::handle m, F&& f) {
    if (PyDict_CheckExact(m.ptr())) return map_each(m.ptr(), f);
    for (nb::handle pair : m.attr(names().items)()) {
        nb::object key = pair[0], value = pair[1];
        f(key, value);
    }
}

std::string repr_of(nb::handle o) { return to_string(nb::repr(o).ptr()); }

[[noreturn]] void unregistered(nb::handle label, nb::handle subscripts) {
    std::string what = subscripts ? "`" + to_string(label.ptr()) + "` at subscripts " + repr_of(subscripts)
                                  : "`" + to_string(label.ptr()) + "`";
    raise_key_error("decision variable " + what +
                    " is not registered in the compiled instance; pass values only for the "
                    "variables its polynomials use (fixed elements are never registered)");
}

/// _eval_energy(var_value, compiled_instance).
Obj energy(PyObject* const* args) {
    nb::handle var_value = args[0], compiled = args[1];
    check_arg(var_value.ptr(), &PyDict_Type, "var_value");
    const Names& names = qtx::names();
    nb::object registry = compiled.attr(names.var_map).attr(names.var_map);

    // labelled values to values by variable index
    nb::dict by_index;
    map_each(var_value.ptr(), [&](nb::handle label, nb::handle values) {
        if (!PyDict_Check(values.ptr()) && !nb::hasattr(values, names.items))
            raise(PyExc_TypeError, "eval_energy takes values as {label: {subscripts: value}}; the values of `" +
                                       to_string(label.ptr()) + "` are " + repr_of(values) +
                                       ", not a dict keyed by tuples of subscripts (use {(): value} for a scalar)");
        nb::object by_subscripts;
        each_item(values, [&](nb::handle subscripts, nb::handle value) {
            if (!nb::isinstance<nb::tuple>(subscripts)) {
                // still the KeyError of a subscript the registry does not hold, saying why
                std::string shown = repr_of(subscripts);
                raise_key_error("decision variable `" + to_string(label.ptr()) + "` is keyed by " + shown +
                                ", not by a tuple of subscripts: use (" + shown +
                                ",) for one subscript, () for a "
                                "scalar");
            }
            if (!by_subscripts) {
                by_subscripts = map_find(registry.ptr(), label.ptr());
                if (!by_subscripts) unregistered(label, nb::handle());
            }
            nb::object index = map_find(by_subscripts.ptr(), subscripts.ptr());
            if (!index) unregistered(label, subscripts);
            by_index[index] = value;
        });
    });

    // read from this module's namespace at every call, as the surface imported it
    nb::object calc_expr = QTX_IMPORT("quillon_transpiler.core.decode.eval_energy", "calc_expr");
    nb::object result = calc_expr(by_index, compiled);
    nb::object total = result.attr(names.objective);
    nb::int_ two(2);
    each_item(result.attr("constraint"), [&](nb::handle, nb::handle by_key) {
        each_item(by_key,
                  [&](nb::handle, nb::handle x) { total = num_add(total.ptr(), num_pow(x.ptr(), two.ptr()).ptr()); });
    });
    each_item(result.attr("penalty"), [&](nb::handle, nb::handle by_key) {
        each_item(by_key, [&](nb::handle, nb::handle x) { total = num_add(total.ptr(), x.ptr()); });
    });
    return total;
}

}  // namespace qtx::eval_energy

namespace {

PyMethodDef functions[] = {
    QTX_FN("_eval_energy", 2, qtx::eval_energy::energy),
    QTX_END,
};

}  // namespace

NB_MODULE(eval_energy, m) { QTX_MODULE_INIT(m, functions) }
