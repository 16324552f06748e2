// The engine on pair, multiple and unary operators: polynomial and constant paths side by side.
#pragma once
#include "engine.hpp"

namespace qtx::engine {

/// The exponent of a power as `power` takes it: converted to a float.
inline double exponent_of(const Num& r) {
    double e;
    if (!r.promotes(e)) {
        e = PyFloat_AsDouble(r.py().ptr());
        if (e == -1.0 && PyErr_Occurred()) fail();
    }
    return e;
}

inline Poly Engine::pair(Node* n) {
    const Types& tree = types();
    Poly l = eval(n->kids[0]);
    Poly r = eval(n->kids[1]);
    if (n->kind.is(tree.pow)) {
        if (!r.terms.empty()) raise_substitute("The exponent of POW must not contain decision variables.");
        double exponent = exponent_of(r.constant);
        if (n == square_root_ && exponent == 2 && !l.terms.empty()) {
            bool linear = true;
            for (const auto& e : l.terms) linear = linear && e.key.size() == 1;
            if (linear) {  // left for the reader to expand (see eval_square)
                squared_ = true;
                return l;
            }
        }
        poly_power(l, exponent, substitute_error());
        return l;
    }
    if (n->kind.is(tree.mod)) {
        if (!l.terms.empty() || !r.terms.empty()) raise_substitute("MOD needs operands without decision variables.");
        return constant(remainder(l.constant, r.constant));
    }
    raise_substitute("Unknown BinaryOpeKind");
}

inline Num Engine::pair_value(Node* n) {
    const Types& tree = types();
    Num l = value(n->kids[0]);
    Num r = value(n->kids[1]);
    if (n->kind.is(tree.pow)) {
        Obj e = own(PyFloat_FromDouble(exponent_of(r)));
        return Num::steal(num_pow(l.py(), e));
    }
    if (n->kind.is(tree.mod)) return remainder(l, r);
    raise_substitute("Unknown BinaryOpeKind");
}

inline Num Engine::remainder(const Num& l, const Num& r) {
    if (l.tag() == Num::Int && r.tag() == Num::Int && r.as_int() > 0 && l.as_int() >= 0)
        return Num::of_int(l.as_int() % r.as_int());
    return Num::steal(own(PyNumber_Remainder(l.py().ptr(), r.py().ptr())));
}

/// Folds operand i into the accumulator. Operands are folded as they come, but every
/// operand is substituted before an arithmetic error reaches the caller, as when all are
/// substituted first: the later ones still register their variables (or fail first).
template <class F>
inline void Engine::combine(Node* n, size_t i, F&& step) {
    try {
        step();
    } catch (PyErrSet&) {
        {
            ErrorAside aside;  // a later operand's own error wins, as it would in Python
            for (size_t j = i + 1; j < n->kids.size(); ++j) eval(n->kids[j]);
        }
        throw;
    }
}

inline Poly Engine::multi(Node* n) {
    const Types& tree = types();
    PyObject* kind = n->kind.ptr();
    if (kind == tree.add || kind == tree.mul) {
        // operands are substituted in order and folded left to right as they come
        bool add = kind == tree.add;
        if (n->kids.empty()) return constant(Num::of_int(add ? 0 : 1));
        Poly acc = eval(n->kids[0]);
        for (size_t i = 1; i < n->kids.size(); ++i) {
            Node* k = n->kids[i];
            if (add) {
                Poly p = eval(k);
                combine(n, i, [&] { poly_add(acc, std::move(p)); });
            } else if (k->pure) {
                Num v = value(k);  // a data factor: no polynomial needed
                combine(n, i, [&] { poly_scale(acc, v); });
            } else if (k->type == NodeType::Subscript) {
                Access a = access(k);  // a variable factor, multiplied in directly
                combine(n, i, [&] { a.value.empty() ? poly_mul_variable(acc, a.index) : poly_scale(acc, a.value); });
            } else {
                Poly p = eval(k);
                combine(n, i, [&] { poly_mul(acc, std::move(p), &poll_); });
            }
        }
        return acc;
    }
    SmallPolys ps(n->kids.size());
    for (size_t i = 0; i < n->kids.size(); ++i) ps[i] = eval(n->kids[i]);
    if (kind == tree.max || kind == tree.min) {
        bool is_max = kind == tree.max;
        for (Poly& p : ps)
            if (!p.terms.empty())
                raise_substitute(is_max ? "MAX needs operands without decision variables."
                                        : "MIN needs operands without decision variables.");
        if (ps.empty()) return constant(Num::of_int(0));
        size_t best = 0;
        for (size_t i = 1; i < ps.size(); ++i)
            if (num_compare(ps[i].constant, ps[best].constant, is_max ? Py_GT : Py_LT)) best = i;
        return constant(ps[best].constant);
    }
    raise_substitute("Unknown MultipleOpeKind");
}

/// The product of two constant polynomials: `mul` tests both constants against 0.0 first,
/// which fails for arrays.
inline Num Engine::mul_constants(const Num& a, const Num& b) {
    if (a.tag() == Num::Object || b.tag() == Num::Object) {
        num_nonzero(a);
        num_nonzero(b);
    }
    return num_mul(a, b);
}

inline Num Engine::multi_value(Node* n) {
    const Types& tree = types();
    PyObject* kind = n->kind.ptr();
    if (kind == tree.add || kind == tree.mul) {
        bool add = kind == tree.add;
        if (n->kids.empty()) return Num::of_int(add ? 0 : 1);
        Num acc = value(n->kids[0]);
        for (size_t i = 1; i < n->kids.size(); ++i) {
            Num v = value(n->kids[i]);
            combine(n, i, [&] { acc = add ? num_add(acc, v) : mul_constants(acc, v); });
        }
        return acc;
    }
    std::vector<Num> vs;
    for (Node* k : n->kids) vs.push_back(value(k));
    if (kind != tree.max && kind != tree.min) raise_substitute("Unknown MultipleOpeKind");
    if (vs.empty()) return Num::of_int(0);
    size_t best = 0;
    for (size_t i = 1; i < vs.size(); ++i)
        if (num_compare(vs[i], vs[best], kind == tree.max ? Py_GT : Py_LT)) best = i;
    return vs[best];
}

inline Poly Engine::unary(Node* n) {
    Poly p = eval(n->kids[0]);
    if (!is_instance(n->kind, types().unary_kind)) raise_substitute("Unknown UnaryOpeKind");
    if (!p.terms.empty())
        raise_substitute(to_string(qtx::getattr(n->kind, names().name)) +
                         " needs an operand without decision variables.");
    return constant(Num::steal(call(types().unary_value, {n->kind, p.constant.py()})));
}

}  // namespace qtx::engine
