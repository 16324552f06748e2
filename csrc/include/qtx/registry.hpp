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

/// The largest index a variable can get: polynomial keys hold 32-bit indices.
constexpr long long kMaxVariableIndex = 2147483647;

/// `add_variable`: the index of (label, subscripts), handing out `var_num` when new. A new
/// variable is checked before anything is stored, so a refused one leaves no trace.
inline Obj registry_add(PyObject* self, PyObject* label, PyObject* subscripts) {
    const Names& N = names();
    check_registry_key(label, subscripts);
    Obj vm = getattr(self, N.var_map.ptr());
    Obj inner = map_find(vm.ptr(), label);
    if (inner) {
        if (Obj index = map_find(inner.ptr(), subscripts)) {
            check_result(index.ptr(), &PyLong_Type);
            return index;
        }
    }
    Obj index = getattr(self, N.var_num.ptr());
    check_result(index.ptr(), &PyLong_Type, false);  // indices are ints (a float var_num is refused)
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) fail();
    if (overflow > 0 || n > kMaxVariableIndex)
        raisef(PyExc_OverflowError,
               "Cannot register decision variable `%U` at %R: the registry already holds var_num=%S variables and "
               "variable indices stop at 2**31 - 1. Fix some variables or split the model.",
               label, subscripts, index.ptr());
    Obj one = small_int(1);
    Obj next = own(PyNumber_Add(index.ptr(), one.ptr()));
    if (!inner) {
        if (PyObject_Hash(subscripts) == -1) fail();  // unhashable: refused before the label is added
        inner = own(PyDict_New());
        map_store(vm.ptr(), label, inner.ptr());
    }
    map_store(inner.ptr(), subscripts, index.ptr());
    setattr(self, N.var_num.ptr(), next.ptr());
    return index;
}

}  // namespace qtx
