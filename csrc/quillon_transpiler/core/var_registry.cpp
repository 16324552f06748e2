// VarRegistry and IntegerBound: dense indices and integer bounds of decision variables.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/plain.hpp"
#include "qtx/registry.hpp"

using namespace qtx;

namespace {

Obj add_variable(nb::handle self, nb::handle label, nb::handle subscripts) {
    return registry_add(self, label, subscripts);
}

Obj add_int_variable(nb::handle self, nb::handle label, nb::handle subscripts, nb::handle lower, nb::handle upper) {
    check_registry_key(label, subscripts);
    Obj bound = make_bound(lower, upper);
    // the variable first: a registry that refuses it must not keep its bounds either
    Obj index = registry_add(self, label, subscripts);
    Obj bounds = attr(self, "integer_bound");
    Obj inner = map_find(bounds, label);
    if (!inner) {
        inner = nb::dict();
        map_store(bounds, label, inner);
    }
    map_store(inner, subscripts, bound);
    return index;
}

/// {"subscripts": [...], <second>: [value(v), ...]} over the (subscripts, v) pairs of `inner`.
template <class Value>
nb::dict pairs(nb::handle inner, const char* second, Value&& value) {
    nb::list subscripts, values;
    map_each(inner, [&](nb::handle key, nb::handle v) {
        subscripts.append(key);
        values.append(value(v));
    });
    nb::dict out;
    out["subscripts"] = subscripts;
    out[second] = values;
    return out;
}

nb::dict bound_dict(nb::handle bound) {
    nb::dict out;
    out["lower"] = plain(attr(bound, "lower"));
    out["upper"] = plain(attr(bound, "upper"));
    return out;
}

Obj to_serializable(nb::handle self) {
    nb::dict var_map, integer_bound;
    map_each(attr(self, "var_map"), [&](nb::handle label, nb::handle inner) {
        var_map[label] = pairs(inner, "index", [](nb::handle index) { return plain(index); });
    });
    Obj var_num = attr(self, "var_num");
    map_each(attr(self, "integer_bound"),
             [&](nb::handle label, nb::handle inner) { integer_bound[label] = pairs(inner, "bound", bound_dict); });
    nb::dict out;
    out["class"] = "VarRegistry";
    out["var_map"] = var_map;
    out["var_num"] = plain(var_num);
    out["integer_bound"] = integer_bound;
    return std::move(out);
}

/// {tuple(s): make(v)} over zip(entry["subscripts"], entry[second]).
template <class Make>
nb::dict unzip(nb::handle entry, const char* second, Make&& make) {
    Obj subscripts = item(entry, "subscripts"), values = item(entry, second);
    nb::dict out;
    zip(subscripts, values, [&](nb::handle s, nb::handle v) { out[nb::tuple(s)] = make(v); });
    return out;
}

/// Always a VarRegistry, also when called on a subclass (the first argument, the class, is not read).
Obj from_serializable(nb::handle /*cls*/, nb::handle data) {
    check_arg(data, &PyDict_Type, "data");
    Obj tag = item(data, "class");
    if (!compare(tag, str("VarRegistry"), Py_EQ)) raise(PyExc_ValueError, "Invalid class: " + to_string(tag));
    nb::dict var_map, integer_bound;
    map_each(item(data, "var_map"), [&](nb::handle label, nb::handle entry) {
        var_map[label] = unzip(entry, "index", [](nb::handle index) { return nb::borrow(index); });
    });
    map_each(item(data, "integer_bound"), [&](nb::handle label, nb::handle entry) {
        integer_bound[label] =
            unzip(entry, "bound", [](nb::handle b) { return make_bound(item(b, "lower"), item(b, "upper")); });
    });
    Obj var_num = item(data, "var_num");
    return nb::handle(registry_class())(var_map, var_num, integer_bound);
}

PyMethodDef functions[] = {
    QTX_DEF("_add_variable", add_variable),
    QTX_DEF("_add_int_variable", add_int_variable),
    QTX_DEF("_to_serializable", to_serializable),
    QTX_DEF("_from_serializable", from_serializable),
    QTX_END,
};

}  // namespace

NB_MODULE(var_registry, m) { QTX_MODULE_INIT(m, functions) }
