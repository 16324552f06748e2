// The modeling library's sums and products made term by term (quillon.expressions: `_add`,
// `_mul`, read through `_ChainedTerms`), read without its Python frames. A model written out
// with Python's sum() has one such node per step of every sum and product, and reading their
// `terms` through the library's frames cost more than lowering them.
#pragma once
#include "names.hpp"

#include <cstring>
#include <vector>

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
/// node's own list, made from the steps its link goes through when it has none (kept as
/// `_own`, the link dropped), and a copy of it kept as "terms". False, with nothing changed,
/// when a step is not as the library makes it: the caller reads `terms` through Python.
inline bool library_first_read(const Obj& state) {
    auto clear_false = [] {
        PyErr_Clear();
        return false;
    };
    PyObject* own = PyDict_GetItemWithError(state.ptr(), name_of("_own").ptr());  // borrowed
    std::vector<PyObject*> added;
    PyObject* step = state.ptr();
    Obj held;  // the step's dict, while it is read
    while (!own) {
        if (PyErr_Occurred()) return clear_false();
        PyObject* link = PyDict_GetItemWithError(step, name_of("_link").ptr());
        if (!link || !PyTuple_CheckExact(link) || PyTuple_GET_SIZE(link) != 2) return clear_false();
        added.push_back(PyTuple_GET_ITEM(link, 1));
        held = nb::steal(PyObject_GenericGetDict(PyTuple_GET_ITEM(link, 0), nullptr));
        if (!held || !PyDict_Check(held.ptr())) return clear_false();
        step = held.ptr();
        own = PyDict_GetItemWithError(step, name_of("_own").ptr());
    }
    if (!PyList_CheckExact(own)) return false;
    Obj made = nb::steal(PyList_GetSlice(own, 0, PyList_GET_SIZE(own)));
    if (!made) fail();
    for (auto term = added.rbegin(); term != added.rend(); ++term)
        if (PyList_Append(made.ptr(), *term) < 0) fail();
    if (!added.empty()) {
        PyObject* kept = PyDict_SetDefault(state.ptr(), name_of("_own").ptr(), made.ptr());  // borrowed
        if (!kept) fail();
        made = ref(kept);
        if (PyDict_DelItem(state.ptr(), name_of("_link").ptr()) < 0) PyErr_Clear();
    }
    Obj terms = nb::steal(PyList_GetSlice(made.ptr(), 0, PyList_GET_SIZE(made.ptr())));
    if (!terms || !PyDict_SetDefault(state.ptr(), name_of("terms").ptr(), terms.ptr())) fail();
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
