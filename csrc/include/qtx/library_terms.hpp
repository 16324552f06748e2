// The modeling library's sums and products made term by term (quillon.expressions: `_add`,
// `_mul`, read through `_ChainedTerms`), read without its Python frames. A model written out
// with Python's sum() has one such node per step of every sum and product, and reading their
// `terms` through the library's frames cost more than lowering them.
#pragma once
#include "names.hpp"

#include <cstring>

namespace qtx {

/// Whether `type` reads `terms` through the modeling library's own reader (its class attribute
/// is a quillon.expressions._ChainedTerms) and nothing else comes between: the attribute is
/// then the instance's "terms" once made, else what library_first_read() makes.
inline bool library_terms_class(PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* reader = _PyType_Lookup(type, name_of("terms").ptr());  // borrowed
    if (!reader) return false;
    PyTypeObject* kind = Py_TYPE(reader);
    PyObject* module =
        (kind->tp_flags & Py_TPFLAGS_HEAPTYPE) ? PyDict_GetItemString(kind->tp_dict, "__module__") : nullptr;
    const char* name = module && PyUnicode_Check(module) ? PyUnicode_AsUTF8(module) : nullptr;
    if (!name) PyErr_Clear();
    return name && std::strcmp(name, "quillon.expressions") == 0 && std::strcmp(kind->tp_name, "_ChainedTerms") == 0;
}

/// What the library's reader does on the first read of such a node, given its `__dict__`: the
/// first `_len` items of the list it shares (`_shared`) copied out as "terms", the shared list
/// dropped. False, with nothing changed, when the node is not as the library makes it: the
/// caller reads `terms` through Python.
inline bool library_first_read(const Obj& state) {
    PyObject* shared = PyDict_GetItemWithError(state.ptr(), name_of("_shared").ptr());  // borrowed
    PyObject* length = shared ? PyDict_GetItemWithError(state.ptr(), name_of("_len").ptr()) : nullptr;
    if (!shared || !length || !PyList_CheckExact(shared) || !PyLong_CheckExact(length)) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n = PyLong_AsSsize_t(length);
    if (n < 0 || n > PyList_GET_SIZE(shared)) {
        PyErr_Clear();
        return false;
    }
    Obj terms = nb::steal(PyList_GetSlice(shared, 0, n));
    if (!terms || !PyDict_SetDefault(state.ptr(), name_of("terms").ptr(), terms.ptr())) fail();
    for (const char* key : {"_shared", "_len"})
        if (PyDict_DelItem(state.ptr(), name_of(key).ptr()) < 0) PyErr_Clear();  // gone meanwhile
    return true;
}

/// `node.terms` of a node whose class library_terms_class() accepts, read natively; a null
/// object when it cannot be (the caller reads the attribute).
inline Obj library_terms(nb::handle node) {
    Obj state = nb::steal(PyObject_GenericGetDict(node.ptr(), nullptr));
    if (!state || !PyDict_Check(state.ptr())) {
        PyErr_Clear();
        return Obj();
    }
    PyObject* terms = PyDict_GetItemWithError(state.ptr(), name_of("terms").ptr());
    if (!terms && !PyErr_Occurred() && library_first_read(state))
        terms = PyDict_GetItemWithError(state.ptr(), name_of("terms").ptr());
    if (!terms) {
        PyErr_Clear();
        return Obj();
    }
    return ref(terms);
}

}  // namespace qtx
