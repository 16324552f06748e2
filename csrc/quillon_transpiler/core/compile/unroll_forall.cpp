// unroll_forall: the explicit index assignments of a constraint's forall list.
#include "qtx/engine.hpp"
#include "qtx/kept.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/registry.hpp"

#include <vector>

using namespace qtx;
using engine::NodeType;

namespace {

/// One forall level, read when the enumeration first reaches it.
struct Level {
    Obj element, condition, name;
    Obj test;                       // condition.substitute, for conditions not planned natively
    engine::Node* cond = nullptr;   // the planned condition, or null
    engine::Node* range = nullptr;  // the planned element, when it is the package's own
    bool ready = false;
};

/// The levels of one forall list as read and planned, kept in its model's kept entry between
/// compiles (reading the levels through Python costs a small compile more than enumerating
/// them does); their data is forgotten at each use.
struct KeptLevels {
    engine::Planner planner;
    std::vector<Level> info;
    bool busy = false;  // in use: a compile of the same model nested in this one reads its own
};

/// The assignments of the levels from `start` on, appended to `expanded`: every value of a
/// level is bound, and where its condition holds the next level is enumerated or, at the
/// innermost level, a copy of `indices` is recorded. Depth-first and outer-level-major, as a
/// recursion over the levels would go, but with an explicit stack: the nesting depth is the
/// length of the forall list, which has no bound. `kept`: the levels read before, if any.
void unroll_levels(nb::handle forall, nb::handle data, Py_ssize_t start, nb::handle expanded, Obj indices,
                   KeptLevels* kept = nullptr) {
    Py_ssize_t levels = PyList_GET_SIZE(forall.ptr());
    if (start < 0) raise(PyExc_IndexError, "depth must not be negative");
    // ranges and conditions are evaluated against a registry nobody keeps, so whatever they
    // touch never reaches the compilation's registry; made when first asked for
    // The package's own elements and conditions are evaluated in C++; others through their
    // methods, as called here.
    engine::Planner own_planner;
    std::vector<Level> own_info;
    engine::Planner& planner = kept ? kept->planner : own_planner;
    std::vector<Level>& info = kept ? kept->info : own_info;
    engine::Engine native(nb::handle(), data);
    auto empty = [&] { return nb::handle(native.registry()); };
    std::vector<Obj> iters;  // the values still to try at each open level
    SignalPoll poll;

    auto level = [&](Py_ssize_t depth) -> Level& {
        if ((size_t)depth >= info.size()) info.resize((size_t)depth + 1);
        Level& l = info[(size_t)depth];
        if (l.ready) return l;
        unpack2(forall[depth], l.element, l.condition, TooFew::need_more);
        l.cond = planner.plan_condition(l.condition);
        if (l.cond->type == NodeType::CFallback) l.cond = nullptr;
        if (l.element.type().is(engine::types().element)) l.range = planner.plan_as(l.element, NodeType::Element);
        l.name = attr(l.element, "name");
        if (!l.cond) l.test = attr(l.condition, "substitute");
        l.ready = true;
        return l;
    };
    // recomputed for every outer assignment: an inner range may read the outer bindings
    auto open = [&](Py_ssize_t depth) {
        Level& l = level(depth);
        native.rebind();
        // only the runs a comparison of the index with a constant lets through (i < 3 of 10**12)
        Obj values = l.range ? native.index_runs(l.range, l.cond)
                             : call_method(l.element, names().get_index_values, {empty(), data});
        if ((size_t)depth >= iters.size()) iters.resize((size_t)depth + 1);
        iters[(size_t)depth] = own(PyObject_GetIter(values.ptr()));
    };

    open(start);
    if (start == 0) {
        indices = own(PyList_New(levels));
        for (Py_ssize_t k = 0; k < levels; ++k) PyList_SET_ITEM(indices.ptr(), k, small_int(0).release().ptr());
    }
    Py_ssize_t depth = start;
    while (depth >= start) {
        poll.tick();
        PyObject* next = PyIter_Next(iters[(size_t)depth].ptr());
        if (!next) {
            if (PyErr_Occurred()) fail();
            iters[(size_t)depth] = Obj();
            --depth;
            continue;
        }
        Obj index = nb::steal(next);
        Level& l = info[(size_t)depth];
        bind_index(qtx::getattr(data, names().indices), l.name, index);
        native.rebind();
        bool holds = l.cond ? native.test(l.cond) : truth(call(l.test, {empty(), data}, kwnames({"instance_data"})));
        if (!holds) continue;
        if (PySequence_SetItem(indices.ptr(), depth, index.ptr()) < 0) fail();
        if (depth < levels - 1) {
            open(++depth);
        } else {
            Obj copy = own(PyList_GetSlice(indices.ptr(), 0, PY_SSIZE_T_MAX));
            if (PyList_Append(expanded.ptr(), copy.ptr()) < 0) fail();
        }
    }
}

Obj unroll_with(nb::handle forall, nb::handle data, KeptLevels* kept) {
    check_arg(forall, &PyList_Type, "forall");
    try {
        if (nb::len(forall) == 0) {
            // one empty assignment: a constraint without forall is instantiated once
            nb::list once;
            once.append(nb::list());
            return std::move(once);
        }
        nb::list expanded;
        unroll_levels(forall, data, 0, expanded, nb::list(), kept);
        return std::move(expanded);
    } catch (...) {
        Obj caught = caught_substitute_error();
        raise_from(call(substitute_error(), {str("in forall: " + to_string(caught))}), caught);
    }
}

Obj unroll(nb::handle forall, nb::handle data) { return unroll_with(forall, data, nullptr); }

/// unroll(forall, data) with the levels kept in `store` (a model's kept entry) under `key`,
/// read there on first use; read anew when the kept ones are in use.
Obj unroll_kept(nb::handle forall, nb::handle data, nb::handle store, nb::handle key) {
    check_arg(store, &PyDict_Type, "store");
    Lent<KeptLevels> lent(store, key, "qtx.kept_levels");
    KeptLevels* kept = lent.get();
    if (kept) kept->planner.forget_data();
    return unroll_with(forall, data, kept);
}

Obj unroll_from(nb::handle forall, nb::handle data, nb::handle depth, nb::handle expanded, nb::handle indices) {
    check_arg(forall, &PyList_Type, "forall");
    check_arg(depth, &PyLong_Type, "depth");
    check_arg(expanded, &PyList_Type, "expanded_values");
    check_arg(indices, &PyList_Type, "indices");
    Py_ssize_t start = PyLong_AsSsize_t(depth.ptr());
    if (start == -1 && PyErr_Occurred()) fail();
    unroll_levels(forall, data, start, expanded, nb::borrow(indices));
    return nb::none();
}

PyMethodDef functions[] = {
    QTX_DEF("_unroll", unroll),
    QTX_DEF("_unroll_kept", unroll_kept),
    QTX_DEF("_unroll_level", unroll_from),
    QTX_END,
};

}  // namespace

NB_MODULE(unroll_forall, m) { QTX_MODULE_INIT(m, functions) }
