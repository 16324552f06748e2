// VarRegistry and IntegerBound: dense indices and integer bounds of decision variables.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/plain.hpp"
#include "qtx/registry.hpp"

using namespace qtx;

namespace {

const Names& N = names();

Obj add_variable(PyObject* const* a) { return registry_add(a[0], a[1], a[2]); }

Obj add_int_variable(PyObject* const* a) {
    PyObject *self = a[0], *label = a[1], *subscripts = a[2];
    check_registry_key(label, subscripts);
    Obj bound = make_bound(a[3], a[4]);
    // the variable first: a registry that refuses it must not keep its bounds either
    Obj index = registry_add(self, label, subscripts);
    Obj bounds = getattr(self, N.integer_bound.ptr());
    Obj inner = map_find(bounds.ptr(), label);
    if (!inner) {
        inner = own(PyDict_New());
        map_store(bounds.ptr(), label, inner.ptr());
    }
    map_store(inner.ptr(), subscripts, bound.ptr());
    return index;
}

Obj pairs(PyObject* inner, const char* second, Obj (*value)(nb::handle)) {
    Obj subs = own(PyList_New(0)), vals = own(PyList_New(0));
    map_each(inner, [&](PyObject* k, PyObject* v) {
        if (PyList_Append(subs.ptr(), k) < 0 || PyList_Append(vals.ptr(), value(v).ptr()) < 0) fail();
    });
    nb::dict d;
    d["subscripts"] = subs;
    d[second] = vals;
    return std::move(d);
}

Obj bound_dict(nb::handle bound) {
    nb::dict d;
    d["lower"] = plain(qtx::getattr(bound, N.lower));
    d["upper"] = plain(qtx::getattr(bound, N.upper));
    return std::move(d);
}

Obj to_serializable(PyObject* const* a) {
    PyObject* self = a[0];
    Obj vm = own(PyDict_New()), ib = own(PyDict_New());
    map_each(getattr(self, N.var_map.ptr()).ptr(),
             [&](PyObject* label, PyObject* inner) { dict_set(vm.ptr(), label, pairs(inner, "index", plain).ptr()); });
    Obj var_num = getattr(self, N.var_num.ptr());
    map_each(getattr(self, N.integer_bound.ptr()).ptr(), [&](PyObject* label, PyObject* inner) {
        dict_set(ib.ptr(), label, pairs(inner, "bound", bound_dict).ptr());
    });
    nb::dict d;
    d["class"] = "VarRegistry";
    d["var_map"] = vm;
    d["var_num"] = plain(var_num.ptr());
    d["integer_bound"] = ib;
    return std::move(d);
}

/// {tuple(s): make(v)} over zip(entry["subscripts"], entry[second]).
Obj unzip(PyObject* entry, const char* second, Obj (*make)(PyObject*)) {
    Obj subs = item(entry, "subscripts"), vals = item(entry, second);
    Obj out = own(PyDict_New());
    zip(subs.ptr(), vals.ptr(),
        [&](PyObject* s, PyObject* v) { dict_set(out.ptr(), own(PySequence_Tuple(s)).ptr(), make(v).ptr()); });
    return out;
}

Obj same(PyObject* v) { return ref(v); }
Obj bound_from(PyObject* b) { return make_bound(item(b, "lower").ptr(), item(b, "upper").ptr()); }

Obj from_serializable(PyObject* const* a) {
    PyObject* data = a[1];
    check_arg(data, &PyDict_Type, "data");
    Obj tag = item(data, "class");
    Obj expected = str("VarRegistry");
    if (!compare(tag.ptr(), expected.ptr(), Py_EQ)) raise(PyExc_ValueError, "Invalid class: " + to_string(tag.ptr()));
    Obj vm = own(PyDict_New()), ib = own(PyDict_New());
    map_each(item(data, "var_map").ptr(),
             [&](PyObject* label, PyObject* entry) { dict_set(vm.ptr(), label, unzip(entry, "index", same).ptr()); });
    map_each(item(data, "integer_bound").ptr(), [&](PyObject* label, PyObject* entry) {
        dict_set(ib.ptr(), label, unzip(entry, "bound", bound_from).ptr());
    });
    Obj var_num = item(data, "var_num");
    return call(registry_class(), {vm.ptr(), var_num.ptr(), ib.ptr()});
}

PyMethodDef functions[] = {
    QTX_FN("_add_variable", 3, add_variable),
    QTX_FN("_add_int_variable", 5, add_int_variable),
    QTX_FN("_to_serializable", 1, to_serializable),
    QTX_FN("_from_serializable", 2, from_serializable),
    QTX_END,
};

}  // namespace

NB_MODULE(var_registry, m) { QTX_MODULE_INIT(m, functions) }
