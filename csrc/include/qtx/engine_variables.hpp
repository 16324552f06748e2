// The engine on decision variables: fixed values, registration, integer bounds.
#pragma once
#include "engine.hpp"

namespace qtx::engine {

inline PyObject* Engine::fixed_variables() {
    if (!fixed_) {
        fixed_ = qtx::getattr(data_, names().fixed_variables);
        no_fixed_ = PyDict_CheckExact(fixed_.ptr()) && PyDict_GET_SIZE(fixed_.ptr()) == 0;
    }
    return fixed_.ptr();
}

/// The fixed value of label[subs] (subs built on demand), or an empty Num.
inline Num Engine::fixed_value(nb::handle label, const Index& ix) {
    PyObject* fv = fixed_variables();
    if (no_fixed_) return Num();
    Obj inner = map_find(fv, label);
    if (!inner) return Num();
    Obj v = map_find(inner, tuple_of(ix));
    return v ? Num::of(v) : Num();
}

// Registration: our own VarRegistry directly; any other registry through its methods, called
// by keyword as the package's Python code would.

inline int32_t Engine::register_binary(nb::handle label, nb::handle subs) {
    using namespace nb::literals;
    if (!fast_registry_)
        return py_index(nb::handle(var_map_).attr("add_variable")("label"_a = label, "subscripts"_a = subs));
    return py_index(registry_add(registry(), label, subs, true));
}

inline int32_t Engine::register_integer(nb::handle label, nb::handle subs, nb::handle lower, nb::handle upper) {
    using namespace nb::literals;
    return py_index(
        nb::handle(registry())
            .attr("add_int_variable")("label"_a = label, "subscripts"_a = subs, "lower"_a = lower, "upper"_a = upper));
}

inline Poly Engine::decision_variable(Node* n) {
    const Types& tree = types();
    PyObject* label = n->name.ptr();
    // fixed at the empty subscripts; an empty map (a pinning constraint that pinned nothing)
    // leaves it free; subscripts without () can only be a caller's mistake, never ignored
    if (Obj inner = map_find(fixed_variables(), label)) {
        if (Obj v = map_find(inner, tree.empty_tuple)) return constant(Num::steal(v));
        if (map_size(inner) != 0)
            raise(QTX_IMPORT("quillon_transpiler.exceptions", "FixedValueKeyError"),
                  "decision variable `" + to_string(label) +
                      "` has no subscripts, but its fixed values are keyed by subscripts (" + to_repr(inner) +
                      "): fix it under the key (), as {'" + to_string(label) + "': {(): value}}");
    }
    PyObject* kind = n->kind.ptr();
    if (kind == tree.binary) return variable_poly(register_binary(label, tree.empty_tuple));
    if (kind == tree.integer) {
        Poly lo = eval(n->kids[0]);
        Poly hi = eval(n->kids[1]);
        check_bounds(lo, hi);
        return variable_poly(register_integer(label, tree.empty_tuple, lo.constant.py(), hi.constant.py()));
    }
    if (kind == tree.continuous) raise_substitute("Continuous variables are not supported yet.");
    raise_substitute("Unknown decision variable kind.");
}

inline Engine::Access Engine::access(Node* n) {
    const Types& tree = types();
    Node* var = n->var;
    Index ix;
    index_of(n->kids, ix);
    Access a;
    if (var->type == NodeType::Placeholder) {
        if (!ix.big) a.value = views_.number(var->name, ix.v, ix.n);
        if (a.value.empty()) a.value = Num::steal(views_.at(var->name, tuple_of(ix)));
        return a;
    }
    if (var->type != NodeType::DecVar) raise_substitute("Unknown variable type.");
    PyObject* label = var->name.ptr();
    a.value = fixed_value(label, ix);
    if (!a.value.empty()) return a;
    PyObject* kind = var->kind.ptr();
    if (kind != tree.binary && kind != tree.integer) raise_substitute("Unknown decision variable kind.");
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
    a.index = kind == tree.binary ? register_binary(label, subs) : integer_subscript(var, subs);
    if (cacheable) seen.store(ix.v, ix.n, a.index);
    return a;
}

inline Poly Engine::subscript(Node* n) {
    Access a = access(n);
    return a.value.empty() ? variable_poly(a.index) : constant(std::move(a.value));
}

inline int32_t Engine::integer_subscript(Node* var, nb::handle subs) {
    const Names& field = names();
    nb::handle label = var->name;
    Obj bounds = qtx::getattr(registry(), field.integer_bound);
    Obj inner = map_find(bounds, label);
    if (inner && map_find(inner, subs)) {
        Obj vm = qtx::getattr(var_map_, field.var_map);
        return py_index(item(item(vm, label), subs));
    }
    Poly lp = eval(var->kids[0]);
    Poly hp = eval(var->kids[1]);
    check_bounds(lp, hp);
    // both bounds become arrays before either is indexed
    auto as_array = [&](const Poly& bound, const char* which) {
        PyObject* made = PyObject_CallOneArg(types().np_array, bound.constant.py().ptr());
        if (!made && PyErr_ExceptionMatches(PyExc_ValueError)) {  // a ragged list of lists
            std::string detail = to_string(catch_error(PyExc_ValueError));
            raise_substitute(std::string("The ") + which + " bound of integer variable `" + to_string(label) +
                             "` is no array NumPy can make (" + detail + "): give bound arrays the variable's shape.");
        }
        if (!made) fail();
        return own(made);
    };
    Obj lo = as_array(lp, "lower");
    Obj hi = as_array(hp, "upper");
    lo = element_bound(lo, label, subs);
    hi = element_bound(hi, label, subs);
    return register_integer(label, subs, lo, hi);
}

/// Bounds are data: a decision variable there would be silently dropped.
inline void Engine::check_bounds(const Poly& lo, const Poly& hi) {
    if (!lo.terms.empty() || !hi.terms.empty()) raise_substitute("Bounds must not contain decision variables.");
}

/// A bound array indexed at the variable's subscripts, unless it is zero-dimensional.
inline Obj Engine::element_bound(const Obj& bound, nb::handle label, nb::handle subs) {
    Obj nd = qtx::getattr(bound, names().ndim);
    if (PyLong_AsLong(nd.ptr()) <= 0) return bound;
    PyObject* v = PyObject_GetItem(bound.ptr(), subs.ptr());
    if (!v && PyErr_ExceptionMatches(PyExc_IndexError)) {
        std::string detail = to_string(catch_error(PyExc_IndexError));
        std::string message = "The bounds of integer variable `" + to_string(label) + "` have no entry at " +
                              to_string(subs) + " (" + detail + "): give bound arrays the variable's shape.";
        raise_instance(call(exception_class(QTX_NAME("DataIndexError")), {str(message), str(detail)}));
    }
    return own(v);
}

}  // namespace qtx::engine
