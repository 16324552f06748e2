// The engine on decision variables: fixed values, registration, integer bounds.
#pragma once
#include "engine.hpp"

namespace qtx::engine {

inline PyObject* Engine::fixed_variables() {
    if (!fixed_) {
        fixed_ = getattr(data_, names().fixed_variables.ptr());
        no_fixed_ = PyDict_CheckExact(fixed_.ptr()) && PyDict_GET_SIZE(fixed_.ptr()) == 0;
    }
    return fixed_.ptr();
}

/// The fixed value of label[subs] (subs built on demand), or an empty Num.
inline Num Engine::fixed_value(PyObject* label, const Index& ix) {
    PyObject* fv = fixed_variables();
    if (no_fixed_) return Num();
    Obj inner = map_find(fv, label);
    if (!inner) return Num();
    Obj v = map_find(inner.ptr(), tuple_of(ix).ptr());
    return v ? Num::of(v.ptr()) : Num();
}

inline int32_t Engine::register_binary(PyObject* label, PyObject* subs) {
    if (!fast_registry_) {
        Obj kw = own(Py_BuildValue("(ss)", "label", "subscripts"));
        Obj m = getattr(var_map_, names().add_variable.ptr());
        return py_index(call(m.ptr(), {label, subs}, kw.ptr()).ptr());
    }
    return py_index(registry_add(var_map_, label, subs).ptr());
}

inline int32_t Engine::register_integer(PyObject* label, PyObject* subs, PyObject* lower, PyObject* upper) {
    Obj kw = own(Py_BuildValue("(ssss)", "label", "subscripts", "lower", "upper"));
    Obj m = getattr(var_map_, names().add_int_variable.ptr());
    return py_index(call(m.ptr(), {label, subs, lower, upper}, kw.ptr()).ptr());
}

inline Poly Engine::decision_variable(Node* n) {
    const Types& T = types();
    PyObject* label = n->name.ptr();
    // fixed at the empty subscripts; an empty map (a pinning constraint that pinned nothing)
    // leaves it free; subscripts without () can only be a caller's mistake, never ignored
    if (Obj inner = map_find(fixed_variables(), label)) {
        if (Obj v = map_find(inner.ptr(), T.empty_tuple)) return constant(Num::steal(v));
        if (map_size(inner.ptr()) != 0) {
            Obj error = QTX_IMPORT("quillon_transpiler.exceptions", "FixedValueKeyError");
            std::string message = "decision variable `" + to_string(label) +
                                  "` has no subscripts, but its fixed values are keyed by subscripts (" +
                                  to_string(own(PyObject_Repr(inner.ptr())).ptr()) +
                                  "): fix it under the key (), as {'" + to_string(label) + "': {(): value}}";
            PyErr_SetObject(error.ptr(), str(message).ptr());
            fail();
        }
    }
    PyObject* kind = n->kind.ptr();
    if (kind == T.binary) return variable_poly(register_binary(label, T.empty_tuple));
    if (kind == T.integer) {
        Poly lo = eval(n->kids[0]);
        Poly hi = eval(n->kids[1]);
        check_bounds(lo, hi);
        return variable_poly(register_integer(label, T.empty_tuple, lo.constant.py().ptr(), hi.constant.py().ptr()));
    }
    if (kind == T.continuous) raise_substitute("Continuous variables are not supported yet.");
    raise_substitute("Unknown decision variable kind.");
}

inline Engine::Access Engine::access(Node* n) {
    const Types& T = types();
    Node* var = n->var;
    Index ix;
    index_of(n->kids, ix);
    Access a;
    if (var->k == K::Placeholder) {
        if (!ix.big) a.value = views_.number(var->name.ptr(), ix.v, ix.n);
        if (a.value.empty()) a.value = Num::steal(views_.at(var->name.ptr(), tuple_of(ix).ptr()));
        return a;
    }
    if (var->k != K::DecVar) raise_substitute("Unknown variable type.");
    PyObject* label = var->name.ptr();
    a.value = fixed_value(label, ix);
    if (!a.value.empty()) return a;
    PyObject* kind = var->kind.ptr();
    if (kind != T.binary && kind != T.integer) raise_substitute("Unknown decision variable kind.");
    // variables met before in this substitution: one lookup in C++
    bool cacheable = fast_registry_ && !ix.big;  // others see every registration
    if (label != last_label_) {
        last_label_ = label;
        last_seen_ = &known_->of(label);
    }
    auto& seen = *last_seen_;
    if (cacheable) {
        a.index = seen.find(ix.v, ix.n);
        if (a.index >= 0) return a;
    }
    Obj subs = tuple_of(ix);
    a.index = kind == T.binary ? register_binary(label, subs.ptr()) : integer_subscript(var, subs.ptr());
    if (cacheable) seen.store(ix.v, ix.n, a.index);
    return a;
}

inline Poly Engine::subscript(Node* n) {
    Access a = access(n);
    return a.value.empty() ? variable_poly(a.index) : constant(std::move(a.value));
}

inline int32_t Engine::integer_subscript(Node* var, PyObject* subs) {
    const Names& N = names();
    PyObject* label = var->name.ptr();
    Obj bounds = getattr(var_map_, N.integer_bound.ptr());
    Obj inner = map_find(bounds.ptr(), label);
    if (inner && map_find(inner.ptr(), subs)) {
        Obj vm = getattr(var_map_, N.var_map.ptr());
        return py_index(item(item(vm.ptr(), label).ptr(), subs).ptr());
    }
    Poly lp = eval(var->kids[0]);
    Poly hp = eval(var->kids[1]);
    check_bounds(lp, hp);
    // both bounds become arrays before either is indexed
    Obj lo = call(types().np_array, {lp.constant.py().ptr()});
    Obj hi = call(types().np_array, {hp.constant.py().ptr()});
    lo = element_bound(lo, label, subs);
    hi = element_bound(hi, label, subs);
    return register_integer(label, subs, lo.ptr(), hi.ptr());
}

/// Bounds are data: a decision variable there would be silently dropped.
inline void Engine::check_bounds(const Poly& lo, const Poly& hi) {
    if (!lo.terms.empty() || !hi.terms.empty()) raise_substitute("Bounds must not contain decision variables.");
}

/// A bound array indexed at the variable's subscripts, unless it is zero-dimensional.
inline Obj Engine::element_bound(const Obj& a, PyObject* label, PyObject* subs) {
    Obj nd = getattr(a.ptr(), names().ndim.ptr());
    if (PyLong_AsLong(nd.ptr()) <= 0) return a;
    PyObject* v = PyObject_GetItem(a.ptr(), subs);
    if (!v && PyErr_ExceptionMatches(PyExc_IndexError)) {
        Obj caught = catch_error(PyExc_IndexError);
        std::string detail = to_string(caught.ptr());
        Obj error = call(exception_class(QTX_NAME("DataIndexError")).ptr(),
                         {str("The bounds of integer variable `" + to_string(label) + "` have no entry at " +
                              to_string(subs) + " (" + detail + "): give bound arrays the variable's shape.")
                              .ptr(),
                          str(detail).ptr()});
        PyErr_SetObject((PyObject*)Py_TYPE(error.ptr()), error.ptr());
        fail();
    }
    return own(v);
}

}  // namespace qtx::engine
