// The engine on sums and products over an index: one loop for polynomials and for constants.
#pragma once
#include "engine.hpp"

namespace qtx::engine {

/// Runs `step` for every value of the fold's index whose condition holds, with the value bound
/// under the index's name: a native range for the package's own elements, the element's
/// `get_index_values` otherwise. The kind is checked once the range is known.
template <class Step>
inline void Engine::each_index(Node* n, Step&& step) {
    const Types& T = types();
    Node* index = n->var;
    Node* cond = n->kids[0];
    bool native_range = index->k == K::Element;
    long long lo = 0, hi = 0;
    Obj values;
    if (native_range) {
        range_of(index, lo, hi);
    } else {
        values = callout(index->obj, names().get_index_values.ptr());
    }
    PyObject* kind = n->kind.ptr();
    if (kind != T.sum && kind != T.prod) raise_substitute("Unknown ReductionOpeKind");
    Obj name = native_range ? index->name : interned_name(getattr(index->obj, names().name.ptr()));
    Bindings::FlushOnUnwind guard{bindings_};
    if (native_range) {
        for (long long v = lo; v < hi; ++v) {
            poll_.tick();
            bind(name.ptr(), v);
            if (test(cond)) step();
        }
        flush();
    } else {
        Obj it = own(PyObject_GetIter(values.ptr()));
        while (PyObject* v = PyIter_Next(it.ptr())) {
            Obj held = nb::steal(v);
            poll_.tick();
            bindings_.bind_object(name.ptr(), v);
            if (test(cond)) step();
        }
        if (PyErr_Occurred()) fail();
    }
}

inline NPoly Engine::fold(Node* n) {
    bool sum = n->kind.ptr() == types().sum;
    Node* operand = n->kids[1];
    NPoly acc = constant(Num::of_int(sum ? 0 : 1));
    // the native route's outermost sum keeps its parts apart, to be merged later in one pass
    std::vector<Terms>* parts = sum && n == parts_root_ ? parts_ : nullptr;
    parts_root_ = nullptr;
    each_index(n, [&] {
        if (!parts) return sum ? npoly_add(acc, eval(operand)) : npoly_mul(acc, eval(operand));
        // npoly_add with the terms kept apart
        NPoly p = eval(operand);
        if (!p.terms.empty()) parts->push_back(std::move(p.terms));
        acc.constant = num_add(acc.constant, p.constant);
        if (num_compare(p.order, acc.order, Py_GT)) acc.order = p.order;
    });
    return acc;
}

inline Num Engine::fold_value(Node* n) {
    bool sum = n->kind.ptr() == types().sum;
    Node* operand = n->kids[1];
    Num acc = Num::of_int(sum ? 0 : 1);
    each_index(n, [&] { acc = sum ? num_add(acc, value(operand)) : mul_constants(acc, value(operand)); });
    return acc;
}

}  // namespace qtx::engine
