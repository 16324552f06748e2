// Registering decision variables in a VarRegistry (shared by the registry and the engine).
#pragma once
#include "names.hpp"
#include "maps.hpp"

namespace qtx {

/// The VarRegistry class (borrowed: its module holds it).
inline PyObject* registry_class() { return QTX_IMPORT("quillon_transpiler.core.var_registry", "VarRegistry").ptr(); }

/// `IntegerBound(lower=lower, upper=upper)`.
inline Obj make_bound(nb::handle lower, nb::handle upper) {
    using namespace nb::literals;
    Obj cls = QTX_IMPORT("quillon_transpiler.core.var_registry", "IntegerBound");
    return cls("lower"_a = lower, "upper"_a = upper);
}

/// `VarRegistry({}, 0, {})`: a compile's registry, or the throw-away one of ranges,
/// conditions, subscripts and shapes.
inline Obj empty_registry() {
    return record(registry_class(), {{QTX_NAME("var_map"), nb::dict()},
                                     {QTX_NAME("var_num"), small_int(0)},
                                     {QTX_NAME("integer_bound"), nb::dict()}});
}

inline void check_registry_key(nb::handle label, nb::handle subscripts) {
    check_arg(label, &PyUnicode_Type, "label");
    check_arg(subscripts, &PyTuple_Type, "subscripts");
}

/// The largest index a variable can get: polynomial keys hold 32-bit indices.
constexpr long long kMaxVariableIndex = 2147483647;

/// `add_variable`: the index of (label, subscripts), handing out `var_num` when new. A new
/// variable is checked before anything is stored, so a refused one leaves no trace.
/// `exact`: `self` is a VarRegistry itself (not a subclass), whose fields live in its instance
/// dict, which nothing of its class shadows; they are read and written there, as getattr and
/// setattr would, for a third of the cost (every variable of every compile comes here).
inline Obj registry_add(nb::handle self, nb::handle label, nb::handle subscripts, bool exact = false) {
    const Names& attr = names();
    check_registry_key(label, subscripts);
    Obj fields = exact ? own(PyObject_GenericGetDict(self.ptr(), nullptr)) : Obj();
    auto field = [&](nb::handle name) {
        if (fields) {
            if (PyObject* value = PyDict_GetItemWithError(fields.ptr(), name.ptr())) return ref(value);
            if (PyErr_Occurred()) fail();
        }
        return qtx::getattr(self, name);  // not there: getattr says why
    };
    Obj vm = field(attr.var_map);
    Obj inner = map_find(vm, label);
    // The common case, a plain registry of plain dicts with room left: one probe of the
    // label's dict finds the variable or adds it (the subscripts hashed once), and var_num
    // moves only when it was added.
    if (fields && inner && PyDict_CheckExact(inner.ptr())) {
        PyObject* num = PyDict_GetItemWithError(fields.ptr(), attr.var_num.ptr());
        if (!num && PyErr_Occurred()) fail();
        int overflow = 0;
        long long n = num && PyLong_CheckExact(num) ? PyLong_AsLongLongAndOverflow(num, &overflow) : -1;
        if (n >= 0 && !overflow && n < kMaxVariableIndex) {
            Obj index = ref(num), next = integer(n + 1);
            Py_ssize_t before = PyDict_GET_SIZE(inner.ptr());
            PyObject* found = PyDict_SetDefault(inner.ptr(), subscripts.ptr(), index.ptr());
            if (!found) fail();
            if (PyDict_GET_SIZE(inner.ptr()) == before) {  // registered before
                Obj known = ref(found);
                check_result(known, &PyLong_Type);
                return known;
            }
            if (PyDict_SetItem(fields.ptr(), attr.var_num.ptr(), next.ptr()) < 0) fail();
            return index;
        }
        if (PyErr_Occurred()) fail();
    }
    if (inner) {
        if (Obj index = map_find(inner, subscripts)) {
            check_result(index, &PyLong_Type);
            return index;
        }
    }
    Obj index = field(attr.var_num);
    check_result(index, &PyLong_Type, false);  // indices are ints (a float var_num is refused)
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) fail();
    if (overflow > 0 || n > kMaxVariableIndex)
        raisef(PyExc_OverflowError,
               "Cannot register decision variable `%U` at %R: the registry already holds var_num=%S variables and "
               "variable indices stop at 2**31 - 1. Fix some variables or split the model.",
               label.ptr(), subscripts.ptr(), index.ptr());
    // a var_num below int64's range (a registry loaded as stored) moves on by one all the same
    Obj next = overflow < 0 ? own(PyNumber_Add(index.ptr(), integer(1).ptr())) : integer(n + 1);
    if (!inner) {
        if (PyObject_Hash(subscripts.ptr()) == -1) fail();  // unhashable: refused before the label is added
        inner = own(PyDict_New());
        map_store(vm, label, inner);
    }
    map_store(inner, subscripts, index);
    if (fields) {
        if (PyDict_SetItem(fields.ptr(), attr.var_num.ptr(), next.ptr()) < 0) fail();
    } else {
        qtx::setattr(self, attr.var_num, next);
    }
    return index;
}

}  // namespace qtx
