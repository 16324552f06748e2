// Interned attribute names, and the package classes every module names: its exceptions, the tree.
// Glue reads attributes as `attr(o, "name")` and `set_attr(o, "name", v)`: nanobind's `.attr()`
// with the name interned once, which glue run per tree node or per assignment needs to be as
// fast as the interned names it replaced.
#pragma once
#include "plumbing.hpp"

#include <unordered_map>

namespace qtx {

struct Names {
    // clang-format off: one list of names, laid out by hand
#define QTX_NAMES(X)                                                                              \
    X(coeff) X(constant) X(order) X(var_map) X(var_num) X(integer_bound) X(name) X(ndim) X(kind)   \
    X(start) X(end) X(shape) X(lower) X(upper) X(variable) X(subscripts) X(array) X(axis) X(left) \
    X(right) X(operands) X(index) X(condition) X(operand) X(terms) X(indices) X(fixed_variables)   \
    X(substitute) X(_substitute) X(get_value) X(get_length) X(get_index_values) X(add_variable)   \
    X(add_int_variable) X(label) X(value) X(extract) X(extract_expr) X(item) X(items) X(forall)   \
    X(expression) X(objective) X(constraints) X(penalties) X(sense) X(instance_data) X(_data)
// clang-format on
#define QTX_DECLARE(n) Obj n;
    QTX_NAMES(QTX_DECLARE)
#undef QTX_DECLARE
    Names() {
#define QTX_INIT(n) n = interned(#n);
        QTX_NAMES(QTX_INIT)
#undef QTX_INIT
    }
};

/// Never freed: the module outlives every call that uses them.
inline const Names& names() {
    static Names* n = new Names();
    return *n;
}

/// The interned str of a name literal, made on first use and kept by the literal's address:
/// a lookup with it hashes once and compares by identity, as Python's own names do, where
/// `.attr("name")` makes and hashes a new str each time. For code run per tree node or per
/// assignment; a literal's str is found in a few instructions (a slot by address).
inline nb::handle name_of(const char* literal) {
    struct Slot {
        const char* literal;
        PyObject* name;
    };
    static Slot recent[256];
    Slot& slot = recent[((uintptr_t)literal >> 3) & 255];
    if (slot.literal == literal) return slot.name;
    static auto* made = new std::unordered_map<const char*, PyObject*>();
    auto found = made->find(literal);
    if (found == made->end()) found = made->emplace(literal, interned(literal).release().ptr()).first;
    slot = Slot{literal, found->second};
    return found->second;
}

/// `o.<name>`, the name interned once (name_of).
inline Obj attr(nb::handle o, const char* name) { return o.attr(name_of(name)); }
/// `o.<name> = value`, the name interned once (name_of).
inline void set_attr(nb::handle o, const char* name, nb::handle value) { qtx::setattr(o, name_of(name), value); }

}  // namespace qtx

namespace qtx {

/// `quillon_transpiler.exceptions.<name>`. Safe with an error pending: it is set aside for
/// the lookup (the first one imports), so that this can name the class of a pending error.
inline Obj exception_class(nb::handle name) {
    ErrorAside pending;
    return imported(QTX_NAME("quillon_transpiler.exceptions"), name);
}

/// The package's SubstituteError (borrowed: its module holds it).
inline PyObject* substitute_error() { return exception_class(QTX_NAME("SubstituteError")).ptr(); }

[[noreturn]] inline void raise_substitute(const std::string& msg) { raise(substitute_error(), msg); }

/// The SubstituteError pending, or being handled inside a `catch`; any other error is rethrown.
inline Obj caught_substitute_error() {
    if (!PyErr_Occurred()) return caught_error(substitute_error());
    Obj e = catch_error(substitute_error());
    if (!e) fail();
    return e;
}

/// Whether the error pending is Python's ValueError for int() of a float NaN (a NaN in the
/// data where a range end or a subscript needs an integer).
inline bool nan_to_int_pending() {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    bool nan = false;
    if (value) {
        PyObject* text = PyObject_Str(value);
        nan = text && PyUnicode_CompareWithASCIIString(text, "cannot convert float NaN to integer") == 0;
        Py_XDECREF(text);
        if (!text) PyErr_Clear();
    }
    PyErr_Restore(type, value, trace);
    return nan;
}

/// caught_substitute_error(), where an arithmetic error of the data (a division or modulo by
/// zero, zero to a negative power, an overflow: Python's own errors, which pass through unchanged) gets a
/// note naming `where` in the model before it goes on (Python prints notes under the message).
/// The innermost item that notes it names it: an error noted already goes on as it is.
/// `where()` is asked once the error is set aside.
template <class Where>
Obj caught_substitute_error(Where&& where) {
    if (!PyErr_Occurred()) {
        try {
            throw;
        } catch (nb::python_error& e) {
            e.restore();
        } catch (PyErrSet&) {}
    }
    if ((PyErr_ExceptionMatches(PyExc_ArithmeticError) || nan_to_int_pending()) &&
        !PyErr_ExceptionMatches(substitute_error())) {
        Obj error = catch_error(PyExc_Exception);
        if (!PyObject_HasAttrString(error.ptr(), "__notes__")) {
            Obj note = str(where() +
                           ": raised by arithmetic on the instance data (a division or modulo by zero, zero "
                           "raised to a negative power, a number too large, a NaN where an integer is "
                           "needed); check the data this reads");
            Obj notes = nb::steal(PyList_New(0));
            if (!notes || PyList_Append(notes.ptr(), note.ptr()) < 0 ||
                PyObject_SetAttrString(error.ptr(), "__notes__", notes.ptr()) < 0)
                PyErr_Clear();  // no note: the error goes on as it came
        }
        PyObject* type = (PyObject*)Py_TYPE(error.ptr());
        PyErr_Restore(ref(type).release().ptr(), error.ptr(), PyException_GetTraceback(error.ptr()));
        error.release();
        fail();
    }
    return caught_substitute_error();
}

/// `indices[name] = value` on an instance data's element bindings.
inline void bind_index(nb::handle indices, nb::handle name, nb::handle value) {
    if (indices.is_none()) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    if (PyDict_CheckExact(indices.ptr())) return dict_set(indices, name, value);
    if (PyObject_SetItem(indices.ptr(), name.ptr(), value.ptr()) < 0) fail();
}

/// A class of the substitutable expression tree: `substitutable_expr.<name>`.
inline Obj tree_class(nb::handle name) {
    return imported(QTX_NAME("quillon_transpiler.core.substitute.substitutable_expr"), name);
}

}  // namespace qtx
