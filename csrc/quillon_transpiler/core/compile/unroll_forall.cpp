// unroll_forall: the explicit index assignments of a constraint's forall list.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/registry.hpp"

#include <vector>

using namespace qtx;

namespace {

const Names& N = names();

/// One forall level, read when the enumeration first reaches it.
struct Level {
    Obj element, condition, name;
    Obj test;                       // condition.substitute, for conditions not planned natively
    engine::Node* cond = nullptr;   // the planned condition, or null
    engine::Node* range = nullptr;  // the planned element, when it is the package's own
    bool ready = false;
};

/// The assignments of the levels from `start` on, appended to `expanded`: every value of a
/// level is bound, and where its condition holds the next level is enumerated or, at the
/// innermost level, a copy of `indices` is recorded. Depth-first and outer-level-major, as a
/// recursion over the levels would go, but with an explicit stack: the nesting depth is the
/// length of the forall list, which has no bound.
void unroll_levels(PyObject* forall, PyObject* data, Py_ssize_t start, PyObject* expanded, Obj indices) {
    Py_ssize_t levels = PyList_GET_SIZE(forall);
    if (start < 0) raise(PyExc_IndexError, "depth must not be negative");
    // ranges and conditions are evaluated against a registry nobody keeps, so whatever they
    // touch never reaches the compilation's registry
    Obj empty = empty_registry();
    // The package's own elements and conditions are evaluated in C++; others through their
    // methods, as called here.
    engine::Planner planner;
    engine::Engine native(empty.ptr(), data);
    std::vector<Level> info;
    std::vector<Obj> iters;  // the values still to try at each open level
    SignalPoll poll;

    auto level = [&](Py_ssize_t d) -> Level& {
        if ((size_t)d >= info.size()) info.resize((size_t)d + 1);
        Level& l = info[(size_t)d];
        if (l.ready) return l;
        Obj entry = own(PySequence_GetItem(forall, d));
        unpack2(entry.ptr(), l.element, l.condition, TooFew::need_more);
        l.cond = planner.plan_condition(l.condition.ptr());
        if (l.cond->k == engine::K::CFallback) l.cond = nullptr;
        if (Py_TYPE(l.element.ptr()) == (PyTypeObject*)engine::types().element)
            l.range = planner.plan_as(l.element.ptr(), engine::K::Element);
        l.name = getattr(l.element.ptr(), N.name.ptr());
        if (!l.cond) l.test = getattr(l.condition.ptr(), N.substitute.ptr());
        l.ready = true;
        return l;
    };
    // recomputed for every outer assignment: an inner range may read the outer bindings
    auto open = [&](Py_ssize_t d) {
        Level& l = level(d);
        native.rebind();
        Obj values = l.range ? native.index_range(l.range)
                             : call_method(l.element.ptr(), N.get_index_values.ptr(), {empty.ptr(), data});
        if ((size_t)d >= iters.size()) iters.resize((size_t)d + 1);
        iters[(size_t)d] = own(PyObject_GetIter(values.ptr()));
    };

    open(start);
    if (start == 0) {
        indices = own(PyList_New(levels));
        for (Py_ssize_t k = 0; k < levels; ++k) PyList_SET_ITEM(indices.ptr(), k, small_int(0).release().ptr());
    }
    Py_ssize_t d = start;
    while (d >= start) {
        poll.tick();
        PyObject* v = PyIter_Next(iters[(size_t)d].ptr());
        if (!v) {
            if (PyErr_Occurred()) fail();
            iters[(size_t)d] = Obj();
            --d;
            continue;
        }
        Obj index = nb::steal(v);
        Level& l = info[(size_t)d];
        bind_index(getattr(data, N.indices.ptr()).ptr(), l.name.ptr(), index.ptr());
        native.rebind();
        bool holds = l.cond ? native.test(l.cond)
                            : truth(call(l.test.ptr(), {empty.ptr(), data}, kwnames({"instance_data"}).ptr()).ptr());
        if (!holds) continue;
        if (PySequence_SetItem(indices.ptr(), d, index.ptr()) < 0) fail();
        if (d < levels - 1) {
            open(++d);
        } else {
            Obj copy = own(PySequence_GetSlice(indices.ptr(), 0, PY_SSIZE_T_MAX));
            if (PyList_Append(expanded, copy.ptr()) < 0) fail();
        }
    }
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
        unroll_levels(forall, data, 0, expanded.ptr(), indices);
        return expanded;
    } catch (...) {
        Obj caught = caught_substitute_error();
        raise_from(call(substitute_error(), {str("in forall: " + to_string(caught.ptr())).ptr()}), caught.ptr());
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
    unroll_levels(forall, data, d, expanded, ref(indices));
    return ref(Py_None);
}

PyMethodDef functions[] = {
    QTX_FN("_unroll", 2, unroll),
    QTX_FN("_unroll_level", 5, unroll_from),
    QTX_END,
};

}  // namespace

NB_MODULE(unroll_forall, m) { QTX_MODULE_INIT(m, functions) }
