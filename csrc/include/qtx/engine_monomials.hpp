// The engine on sums of monomials: an operand that is a product of data factors and decision
// variables (or a single variable) gives at most one term per index value. Such operands are
// evaluated here without intermediate polynomials; the arithmetic is that of multi() and
// npoly_add() step by step, so terms, coefficients and number kinds are the same. Anything
// else (a Python number object, a product that would hold two terms) is left to eval().
#pragma once
#include "engine.hpp"

namespace qtx::engine {

/// Whether `n` is a product of data factors and decision-variable subscripts (with at least
/// one of the latter), or such a subscript alone. Decided once per node.
inline bool Engine::monomial_operand(Node* n) {
    if (n->mono_state != 0) return n->mono_state > 0;
    auto variable = [](Node* k) { return k->k == K::Subscript && k->var->k == K::DecVar; };
    bool yes = false;
    if (variable(n)) {
        yes = true;
    } else if (n->k == K::Multi && !n->pure && n->kind.ptr() == types().mul && !n->kids.empty() &&
               n->kids.size() <= Mono::kMax) {
        yes = true;
        for (Node* k : n->kids) yes = yes && (k->pure || variable(k));
    }
    n->mono_state = yes ? 1 : -1;
    return yes;
}

/// The product `n` (see monomial_operand) for the current bindings, as multi() computes it:
/// false when a value is not a native int or float, or the product would hold two terms;
/// the caller then evaluates `n` with eval() (which finds the variables registered here).
inline bool Engine::monomial(Node* n, Mono& m) {
    const Num zero_int = Num::of_int(0), one = Num::of_int(1);
    auto factor = [&](Node* k, Num& out, int32_t& var) {
        if (k->pure) {
            out = value(k);
            return;
        }
        if (known_variable(k, var)) return;
        Access a = access(k);
        out = std::move(a.value);
        var = a.index;
    };
    Node* const* kids = n->k == K::Multi ? n->kids.data() : &n;
    size_t count = n->k == K::Multi ? n->kids.size() : 1;
    m.term = false;
    m.nv = 0;
    for (size_t i = 0; i < count; ++i) {
        Num c;
        int32_t var = -1;
        factor(kids[i], c, var);
        if (!c.empty() && c.tag() == Num::Object) return false;
        if (i == 0) {
            // eval() of the first operand: a constant, or the variable's polynomial
            if (c.empty()) {
                m.term = true, m.nv = 1, m.vars[0] = var;
                m.val = one, m.constant = zero_int, m.order = one;
            } else {
                m.constant = std::move(c), m.order = zero_int;
            }
            continue;
        }
        if (!c.empty()) {  // npoly_scale
            if (m.term) {
                if (num_nonzero(c))
                    m.val = num_add(num_mul(m.val, c), Num::of_float(0.0));
                else
                    m.term = false;
            }
            m.constant = num_mul(m.constant, c);
            m.order = num_add(m.order, zero_int);
            continue;
        }
        // npoly_mul_variable
        bool constant = num_nonzero(m.constant);
        if (m.term) {
            if (constant) return false;  // two terms
            m.val = num_mul(m.val, one);
            uint32_t j = m.nv++;
            for (; j > 0 && m.vars[j - 1] > var; --j) m.vars[j] = m.vars[j - 1];
            m.vars[j] = var;
        } else if (constant) {
            m.term = true, m.nv = 1, m.vars[0] = var;
            m.val = num_mul(one, m.constant);
        }
        m.constant = num_mul(m.constant, zero_int);
        m.order = num_add(m.order, one);
    }
    return true;
}

/// access(n) for a variable met before in this substitution, with no fixed values and our own
/// registry: its subscripts as machine ints and one lookup, without the general checks. False
/// for anything else (access() then does the whole work, reading the same operands again).
inline bool Engine::known_variable(Node* n, int32_t& index) {
    if (!fast_registry_ || n->kids.size() > Index::kMax) return false;
    fixed_variables();
    if (!no_fixed_) return false;
    const Types& T = types();
    Node* var = n->var;
    if (var->kind.ptr() != T.binary && var->kind.ptr() != T.integer) return false;
    int64_t v[Index::kMax];
    for (size_t i = 0; i < n->kids.size(); ++i)
        if (!n->kids[i]->pure || !int_value(n->kids[i], v[i])) return false;
    PyObject* label = var->name.ptr();
    if (label != last_label_) {
        last_label_ = label;
        last_seen_ = &known_[label];
    }
    index = last_seen_->find(v, n->kids.size());
    return index >= 0;
}

inline Key Engine::Mono::key() const {
    Key k(nv);
    for (uint32_t i = 0; i < nv; ++i) k.data()[i] = vars[i];
    return k;
}

/// acc += the operand's value at the current bindings: npoly_add(acc, eval(operand)).
inline void Engine::add_operand(NPoly& acc, Node* operand) {
    Mono& m = mono_;
    if (!monomial_operand(operand) || !monomial(operand, m)) {
        npoly_add(acc, eval(operand));
        return;
    }
    if (m.term) acc.terms.accumulate(m.key(), std::move(m.val));
    acc.constant = num_add(acc.constant, m.constant);
    if (num_compare(m.order, acc.order, Py_GT)) acc.order = m.order;
}

/// eval(operand), through monomial() where it applies.
inline NPoly Engine::eval_operand(Node* operand) {
    Mono& m = mono_;
    if (!monomial_operand(operand) || !monomial(operand, m)) return eval(operand);
    NPoly p;
    if (m.term) p.terms.store(m.key(), std::move(m.val));
    p.constant = std::move(m.constant);
    p.order = std::move(m.order);
    return p;
}

}  // namespace qtx::engine
