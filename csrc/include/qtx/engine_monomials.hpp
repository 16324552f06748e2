// The engine on sums of monomials: an operand that is a product of data factors and decision
// variables (or a single variable) gives at most one term per index value. Such operands are
// evaluated here without intermediate polynomials; the arithmetic is that of multi() and
// poly_add() step by step, so terms, coefficients and number kinds are the same. Anything
// else (a Python number object, a product that would hold two terms) is left to eval().
#pragma once
#include "engine.hpp"

namespace qtx::engine {

/// Whether `n` is a product of data factors and decision-variable subscripts (with at least
/// one of the latter), or such a subscript alone. Decided once per node.
inline bool Engine::monomial_operand(Node* n) {
    if (n->mono_state != 0) return n->mono_state > 0;
    auto variable = [](Node* k) { return k->type == NodeType::Subscript && k->var->type == NodeType::DecVar; };
    bool yes = false;
    if (variable(n)) {
        yes = true;
    } else if (n->type == NodeType::Multi && !n->pure && n->kind.is(types().mul) && !n->kids.empty() &&
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
    Node* const* kids = n->type == NodeType::Multi ? n->kids.data() : &n;
    size_t count = n->type == NodeType::Multi ? n->kids.size() : 1;
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
        if (!c.empty()) {  // poly_scale
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
        // poly_mul_variable
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
    const Types& tree = types();
    Node* var = n->var;
    if (!var->kind.is(tree.binary) && !var->kind.is(tree.integer)) return false;
    int64_t v[Index::kMax];
    for (size_t i = 0; i < n->kids.size(); ++i)
        if (!n->kids[i]->pure || !int_value(n->kids[i], v[i])) return false;
    PyObject* label = var->name.ptr();
    if (label != last_label_) {
        last_label_ = label;
        last_seen_ = &known_->of(label);
    }
    index = last_seen_->find(v, n->kids.size());
    return index >= 0;
}

inline Key Engine::Mono::key() const { return Key(vars, nv); }

/// Whether two names (of elements, or labels of variables) may be the same text: true unless
/// both are strings that differ.
inline bool maybe_same_name(nb::handle first, nb::handle second) {
    PyObject *a = first.ptr(), *b = second.ptr();
    if (a == b) return true;
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) return true;
    int c = PyUnicode_Compare(a, b);
    if (c == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return c == 0;
}

/// Whether a pure subtree may read the element `name` (conservatively: anything beyond data,
/// elements and arithmetic counts as reading it).
inline bool Engine::reads_index(Node* n, nb::handle name, int depth) {
    if (depth > 32) return true;
    switch (n->type) {
        case NodeType::Number:
        case NodeType::Placeholder: return false;
        case NodeType::Element: return maybe_same_name(n->name, name);
        case NodeType::Subscript:
            if (n->var->type != NodeType::Placeholder) return true;
            [[fallthrough]];
        case NodeType::Multi:
        case NodeType::Pair:
        case NodeType::Unary:
            for (Node* k : n->kids)
                if (reads_index(k, name, depth + 1)) return true;
            return false;
        default: return true;
    }
}

/// Whether the compiled subscript `sub` is `index + add` or `(index + add) % mod` (mod 0: none)
/// with constants add and mod > 0, as every cyclic or shifted neighbour is.
inline bool Engine::shifted_index(Node* sub, nb::handle name, int64_t& add, int64_t& mod) {
    const std::vector<IntOp>& ops = sub->ints;
    if (sub->ints_state != 1 || ops.empty() || ops[0].code != IntOp::Elem) return false;
    if (!reads_index(ops[0].node, name)) return false;  // another element
    // a constant, or a placeholder's value (kept once read: the program ran at the first value)
    auto constant = [](const IntOp& op, int64_t& out) {
        if (op.code == IntOp::Const) {
            out = op.v;
            return true;
        }
        if (op.code != IntOp::Value || op.node->cached.tag() != Num::Int) return false;
        out = op.node->cached.as_int();
        return true;
    };
    size_t i = 1;
    add = 0, mod = 0;
    if (i + 1 < ops.size() && ops[i + 1].code == IntOp::Add) {
        if (!constant(ops[i], add)) return false;
        i += 2;
    }
    if (i + 1 < ops.size() && ops[i + 1].code == IntOp::Mod) {
        if (!constant(ops[i], mod) || mod <= 0) return false;
        i += 2;
    }
    return i == ops.size();
}

/// Prepares `k` for the sum `fold`, whose operand gave `m` at its first index value, or turns
/// it off when the operand does not qualify.
inline void Engine::range_setup(RangeKernel& k, Node* fold, const Mono& m) {
    k.state = RangeKernel::Off;
    Node* index = fold->var;
    Node* operand = fold->kids[1];
    if (index->type != NodeType::Element || fold->kids[0]->type != NodeType::CTrue || !fast_registry_) return;
    fixed_variables();
    if (!no_fixed_) return;
    const Types& tree = types();
    nb::handle name = index->name;
    Node* const* kids = operand->type == NodeType::Multi ? operand->kids.data() : &operand;
    size_t count = operand->type == NodeType::Multi ? operand->kids.size() : 1;
    k.nvars = 0;
    for (size_t i = 0; i < count; ++i) {
        Node* kid = kids[i];
        if (kid->pure) {
            if (reads_index(kid, name)) return;
            continue;
        }
        Node* var = kid->var;  // a decision variable's subscript (monomial_operand)
        if (!var->kind.is(tree.binary) && !var->kind.is(tree.integer)) return;
        if (kid->kids.size() > Index::kMax || k.nvars == Mono::kMax) return;
        RangeKernel::Var& v = k.vars[k.nvars++];
        v.node = kid;
        v.n = kid->kids.size();
        v.fixed_row = v.n > 0;
        for (size_t s = 0; s < v.n; ++s) {
            Node* sub = kid->kids[s];
            if (!sub->pure || !int_value(sub, v.v[s])) return;
            bool reads = reads_index(sub, name);
            v.how[s] = !reads                                         ? 0
                       : sub->type == NodeType::Element               ? 1
                       : shifted_index(sub, name, v.add[s], v.mod[s]) ? 3
                                                                      : 2;
            if (s + 1 < v.n && v.how[s] != 0) v.fixed_row = false;
        }
        v.seen = &known_->of(var->name);
        v.row = nullptr;
        v.generation = ~0ULL;
    }
    k.bindless = true;
    for (size_t i = 0; i < k.nvars; ++i)
        for (size_t s = 0; s < k.vars[i].n; ++s) k.bindless = k.bindless && k.vars[i].how[s] != 2;
    k.term = m.term;
    k.val = m.val;
    k.constant = m.constant;
    k.state = RangeKernel::Ready;
}

/// Whether `count` consecutive index values give keys that differ pairwise: true when one
/// variable of the product is one-to-one in the index (its leading subscripts fixed, its last
/// one the index, or the index shifted, modulo at least `count`) and every other variable of
/// the product lies elsewhere (another array, or another row of the same one): the keys of two
/// values then differ in that variable. False whenever this cannot be told.
inline bool Engine::distinct_keys(const RangeKernel& k, size_t count) {
    for (size_t a = 0; a < k.nvars; ++a) {
        const RangeKernel::Var& A = k.vars[a];
        size_t last = A.n - 1;
        bool one_to_one = A.fixed_row && (A.how[last] == 1 ||
                                          (A.how[last] == 3 && (A.mod[last] == 0 || (uint64_t)A.mod[last] >= count)));
        if (!one_to_one) continue;
        bool apart = true;
        for (size_t b = 0; b < k.nvars && apart; ++b) {
            if (b == a) continue;
            const RangeKernel::Var& B = k.vars[b];
            if (!maybe_same_name(A.node->var->name, B.node->var->name) || B.n != A.n) continue;
            // the same array: B must keep to another row
            bool other_row = B.fixed_row;
            bool differs = false;
            for (size_t s = 0; s < last && other_row; ++s) differs = differs || B.v[s] != A.v[s];
            apart = other_row && differs;
        }
        if (apart) return true;
    }
    return false;
}

/// (t + add) % mod (mod 0: none) as the subscript's int program computes it, without its
/// interpreter; false where the sum overflows, or is negative under a remainder (Python's
/// remainder differs from C's there): the program then does it.
inline bool Engine::shifted(int64_t t, int64_t add, int64_t mod, int64_t& out) {
    int64_t l;
    if (__builtin_add_overflow(t, add, &l)) return false;
    if (mod) {
        if (l < 0) return false;
        if (l >= mod) l = l - mod < mod ? l - mod : l % mod;
    }
    out = l;
    return true;
}

/// acc += the operand at index value t (bound or not: see RangeKernel::bindless), through the
/// kernel: false (and nothing done) when a variable was not met before or a subscript is not a
/// machine int; the caller then takes the general way, which registers it.
inline bool Engine::range_step(RangeKernel& k, Poly& acc, int64_t t) {
    int32_t key[Mono::kMax];
    for (size_t i = 0; i < k.nvars; ++i) {
        RangeKernel::Var& v = k.vars[i];
        for (size_t s = 0; s < v.n; ++s) {
            uint8_t how = v.how[s];
            if (how == 1) {
                v.v[s] = t;
            } else if (how == 3) {
                if (!shifted(t, v.add[s], v.mod[s], v.v[s])) return false;
            } else if (how == 2 && !int_value(v.node->kids[s], v.v[s])) {
                return false;
            }
        }
        int32_t index = -1;
        if (v.fixed_row) {
            if (v.generation != v.seen->generation()) {
                v.row = v.seen->row_of(v.v, v.n);
                v.generation = v.seen->generation();
            }
            uint64_t last = (uint64_t)v.v[v.n - 1];
            if (v.row && last < v.row->size()) index = (*v.row)[last];
        }
        if (index < 0) index = v.seen->find(v.v, v.n);
        if (index < 0) return false;
        // ascending, as monomial() inserts them
        size_t j = i;
        for (; j > 0 && key[j - 1] > index; --j) key[j] = key[j - 1];
        key[j] = index;
    }
    if (k.term) {
        Key kk(key, (uint32_t)k.nvars);
        if (k.distinct)
            acc.terms.push_new(std::move(kk), Num(k.val));
        else
            acc.terms.accumulate(std::move(kk), Num(k.val));
    }
    acc.constant = num_add(acc.constant, k.constant);
    return true;
}

/// range_step() for the values from, from + 1, ... up to `to` or the first value it cannot
/// take; returns that value. When every variable keeps to one row and its last subscript is
/// invariant, the index or the index shifted, the rows are looked up once and the values run
/// in one loop: keys and coefficient as range_step() makes them, in the same order.
inline int64_t Engine::range_run(RangeKernel& k, Poly& acc, int64_t from, int64_t to) {
    bool rows = k.term && k.nvars > 0;
    const std::vector<int32_t>* row[Mono::kMax];
    for (size_t i = 0; i < k.nvars && rows; ++i) {
        RangeKernel::Var& v = k.vars[i];
        rows = v.fixed_row && v.how[v.n - 1] != 2;
        if (!rows) break;
        if (v.generation != v.seen->generation()) {
            v.row = v.seen->row_of(v.v, v.n);
            v.generation = v.seen->generation();
        }
        row[i] = v.row;
        rows = v.row != nullptr;
    }
    int64_t t = from;
    if (!rows) {
        for (; t < to; ++t) {
            poll_.tick();
            if (!range_step(k, acc, t)) break;
        }
        return t;
    }
    // a constant of 0 (the only one a term comes with) changes the sum's constant at most once
    bool constant_once = !num_nonzero(k.constant);
    bool distinct = k.distinct && acc.terms.open_run();
    const size_t nv = k.nvars;
    for (; t < to; ++t) {
        poll_.tick();
        int32_t key[Mono::kMax];
        for (size_t i = 0; i < nv; ++i) {
            const RangeKernel::Var& v = k.vars[i];
            size_t s = v.n - 1;
            int64_t l;
            switch (v.how[s]) {
                case 0: l = v.v[s]; break;
                case 1: l = t; break;
                default:  // 3
                    if (!shifted(t, v.add[s], v.mod[s], l)) goto miss;
            }
            if ((uint64_t)l >= row[i]->size()) goto miss;
            int32_t index = (*row[i])[(size_t)l];
            if (index < 0) goto miss;
            size_t j = i;
            for (; j > 0 && key[j - 1] > index; --j) key[j] = key[j - 1];
            key[j] = index;
        }
        if (distinct)
            acc.terms.run_append(key, (uint32_t)nv, k.val);
        else
            acc.terms.accumulate(Key(key, (uint32_t)nv), Num(k.val));
        if (!constant_once || t == from) acc.constant = num_add(acc.constant, k.constant);
        continue;
    miss:  // a row that does not hold it: range_step() finds it in the map, or gives up
        if (!range_step(k, acc, t)) break;
    }
    return t;
}

/// acc += the operand's value at the current bindings: poly_add(acc, eval(operand)). With a
/// kernel (a sum's own), the first value that gives a monomial prepares it.
inline void Engine::add_operand(Poly& acc, Node* operand, RangeKernel* kernel, Node* fold) {
    Mono& m = mono_;
    if (!monomial_operand(operand) || !monomial(operand, m)) {
        poly_add(acc, eval(operand));
        return;
    }
    if (kernel && kernel->state == RangeKernel::Untried) range_setup(*kernel, fold, m);
    if (m.term) acc.terms.accumulate(m.key(), std::move(m.val));
    acc.constant = num_add(acc.constant, m.constant);
    if (num_compare(m.order, acc.order, Py_GT)) acc.order = m.order;
}

/// eval(operand), through monomial() where it applies.
inline Poly Engine::eval_operand(Node* operand) {
    Mono& m = mono_;
    if (!monomial_operand(operand) || !monomial(operand, m)) return eval(operand);
    Poly p;
    if (m.term) p.terms.store(m.key(), std::move(m.val));
    p.constant = std::move(m.constant);
    p.order = std::move(m.order);
    return p;
}

}  // namespace qtx::engine
