// Registering decision variables in a VarRegistry (shared by the registry and the engine).
#pragma once
#include "names.hpp"
#include "maps.hpp"

namespace qtx {

inline PyObject* registry_module_attr(const char* attr, PyObject*& slot) {
    if (!slot) slot = import_attr("quillon_transpiler.core.var_registry", attr).release().ptr();
    return slot;
}
inline PyObject* registry_class() {
    static PyObject* c = nullptr;
    return registry_module_attr("VarRegistry", c);
}
inline PyObject* bound_class() {
    static PyObject* c = nullptr;
    return registry_module_attr("IntegerBound", c);
}

inline Obj make_bound(PyObject* lower, PyObject* upper) {
    Obj kw = own(Py_BuildValue("(ss)", "lower", "upper"));
    return call(bound_class(), {lower, upper}, kw.ptr());
}

/// `VarRegistry({}, 0, {})`: the throw-away registry of ranges, conditions, subscripts and shapes.
inline Obj empty_registry() {
    Obj vm = own(PyDict_New()), zero = small_int(0), ib = own(PyDict_New());
    return call(registry_class(), {vm.ptr(), zero.ptr(), ib.ptr()});
}

inline void check_registry_key(PyObject* label, PyObject* subscripts) {
    check_arg(label, &PyUnicode_Type, "label");
    check_arg(subscripts, &PyTuple_Type, "subscripts");
}

/// `add_variable`: the index of (label, subscripts), handing out `var_num` when new.
inline Obj registry_add(PyObject* self, PyObject* label, PyObject* subscripts) {
    const Names& N = names();
    check_registry_key(label, subscripts);
    Obj vm = getattr(self, N.var_map.ptr());
    Obj inner = map_find(vm.ptr(), label);
    if (!inner) {
        inner = own(PyDict_New());
        map_store(vm.ptr(), label, inner.ptr());
    }
    Obj index = map_find(inner.ptr(), subscripts);
    if (!index) {
        Obj n = getattr(self, N.var_num.ptr());
        map_store(inner.ptr(), subscripts, n.ptr());
        Obj one = small_int(1);
        Obj next = own(PyNumber_Add(n.ptr(), one.ptr()));
        setattr(self, N.var_num.ptr(), next.ptr());
        index = PyLong_CheckExact(n.ptr()) ? n : own(PyNumber_Subtract(next.ptr(), one.ptr()));
    }
    check_result(index.ptr(), &PyLong_Type);
    return index;
}

}  // namespace qtx
