// unroll_forall: the explicit index assignments of a constraint's forall list.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/registry.hpp"

using namespace qtx;

namespace {

const Names& N = names();

PyObject* kw_instance_data() {
    static PyObject* kw = own(Py_BuildValue("(s)", "instance_data")).release().ptr();
    return kw;
}

/// Ranges and conditions are evaluated against a registry nobody keeps, so whatever they
/// touch never reaches the compilation's registry.
[[noreturn]] void unpack_error(Py_ssize_t n) {
    if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    raisef(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
}

/// `first, second = entry`.
void unpack_pair(PyObject* entry, Obj& first, Obj& second) {
    if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(entry);
        if (n != 2) unpack_error(n);
        first = ref(PySequence_Fast_GET_ITEM(entry, 0));
        second = ref(PySequence_Fast_GET_ITEM(entry, 1));
        return;
    }
    PyObject* it = PyObject_GetIter(entry);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raisef(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(entry));
        }
        fail();
    }
    Obj iter = nb::steal(it);
    Obj items[3];
    Py_ssize_t n = 0;
    while (n < 3) {
        PyObject* v = PyIter_Next(iter.ptr());
        if (!v) break;
        items[n++] = nb::steal(v);
    }
    if (PyErr_Occurred()) fail();
    if (n != 2) unpack_error(n);
    first = items[0];
    second = items[1];
}

/// `data.indices[name] = value`.
/// One forall level: binds every value of its element, keeps those whose condition holds and
/// either descends or, at the innermost level, records a copy of the shared `indices`.
void unroll_level(PyObject* forall, PyObject* data, Py_ssize_t depth, PyObject* expanded, Obj indices) {
    Obj empty = empty_registry();
    Obj entry = own(PySequence_GetItem(forall, depth));
    Obj element, condition;
    unpack_pair(entry.ptr(), element, condition);
    // The package's own elements and conditions are evaluated in C++; others through their
    // methods, as called here.
    engine::Planner planner;
    engine::Engine native(empty.ptr(), data);
    bool native_element = Py_TYPE(element.ptr()) == (PyTypeObject*)engine::types().element;
    engine::Node* cond = planner.plan_condition(condition.ptr());
    if (cond->k == engine::K::CFallback) cond = nullptr;
    // recomputed for every outer assignment: an inner range may read the outer bindings
    Obj values = native_element ? native.index_range(planner.plan_as(element.ptr(), engine::K::Element))
                                : call(getattr(element.ptr(), N.get_index_values.ptr()).ptr(), {empty.ptr(), data});
    Py_ssize_t levels = PyList_GET_SIZE(forall);
    if (depth == 0) {
        indices = own(PyList_New(levels));
        for (Py_ssize_t k = 0; k < levels; ++k) PyList_SET_ITEM(indices.ptr(), k, small_int(0).release().ptr());
    }
    bool outer = depth < levels - 1;
    Obj name = getattr(element.ptr(), N.name.ptr());
    Obj test = cond ? Obj() : getattr(condition.ptr(), N.substitute.ptr());
    Obj iter = own(PyObject_GetIter(values.ptr()));
    for (;;) {
        PyObject* v = PyIter_Next(iter.ptr());
        if (!v) break;
        Obj index = nb::steal(v);
        bind_index(getattr(data, N.indices.ptr()).ptr(), name.ptr(), index.ptr());
        if (cond ? !native.test(cond) : !truth(call(test.ptr(), {empty.ptr(), data}, kw_instance_data()).ptr()))
            continue;
        if (PySequence_SetItem(indices.ptr(), depth, index.ptr()) < 0) fail();
        if (outer) {
            unroll_level(forall, data, depth + 1, expanded, indices);
        } else {
            Obj copy = own(PySequence_GetSlice(indices.ptr(), 0, PY_SSIZE_T_MAX));
            if (PyList_Append(expanded, copy.ptr()) < 0) fail();
        }
    }
    if (PyErr_Occurred()) fail();
}

/// `raise SubstituteError(msg) from caught`, as raised inside the `except` that caught it.
[[noreturn]] void raise_chained(const std::string& msg, PyObject* caught) {
    Obj err = call(substitute_error(), {str(msg).ptr()});
    Py_INCREF(caught);
    PyException_SetContext(err.ptr(), caught);
    Py_INCREF(caught);
    PyException_SetCause(err.ptr(), caught);
    PyObject* type = (PyObject*)Py_TYPE(err.ptr());
    Py_INCREF(type);
    PyErr_Restore(type, err.release().ptr(), nullptr);
    fail();
}

Obj unroll(PyObject* const* a) {
    PyObject *forall = a[0], *data = a[1];
    check_arg(forall, &PyList_Type, "forall");
    try {
        if (PyList_GET_SIZE(forall) == 0) {
            // one empty assignment: a constraint without forall is instantiated once
            Obj none = own(PyList_New(0));
            Obj out = own(PyList_New(1));
            PyList_SET_ITEM(out.ptr(), 0, none.release().ptr());
            return out;
        }
        Obj expanded = own(PyList_New(0));
        Obj indices = own(PyList_New(0));
        unroll_level(forall, data, 0, expanded.ptr(), indices);
        return expanded;
    } catch (PyErrSet&) {
        // the class may be imported on first use, which must not run with an error pending
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* cls = substitute_error();
        PyErr_Restore(type, value, tb);
        Obj caught = catch_error(cls);
        if (!caught) throw;
        raise_chained("in forall: " + to_string(caught.ptr()), caught.ptr());
    }
}

Obj unroll_from(PyObject* const* a) {
    PyObject *forall = a[0], *data = a[1], *depth = a[2], *expanded = a[3], *indices = a[4];
    check_arg(forall, &PyList_Type, "forall");
    check_arg(depth, &PyLong_Type, "depth");
    check_arg(expanded, &PyList_Type, "expanded_values");
    check_arg(indices, &PyList_Type, "indices");
    Py_ssize_t d = PyLong_AsSsize_t(depth);
    if (d == -1 && PyErr_Occurred()) fail();
    unroll_level(forall, data, d, expanded, ref(indices));
    return ref(Py_None);
}

PyMethodDef functions[] = {
    QTX_FN("_unroll", 2, unroll),
    QTX_FN("_unroll_level", 5, unroll_from),
    QTX_END,
};


}  // namespace

NB_MODULE(unroll_forall, m) { QTX_MODULE_INIT(m, functions) }
