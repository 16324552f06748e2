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

/// Whether monomial() gives a value up: one Python computes (a Num's object, a Native lost).
inline bool python_value(const Num& c) { return c.tag() == Num::Object; }
inline bool python_value(const Native& c) { return c.lost_value(); }

/// The product of `count` factors as multi() computes it, the factors given in order by
/// factor(i, value, var): a value, or a variable (value left empty); false when factor() gives
/// up, or a value is not a native int or float, or the product would hold two terms. The same
/// steps for Nums and for Natives (whose results are the Nums', or lost).
template <class M, class Factor>
inline bool Engine::mono_product(size_t count, M& m, Factor&& factor) {
    using N = std::decay_t<decltype(m.val)>;
    const N zero_int = N::of_int(0), one = N::of_int(1);
    m.term = false;
    m.nv = 0;
    for (size_t i = 0; i < count; ++i) {
        N c;
        int32_t var = -1;
        if (!factor(i, c, var)) return false;
        if (!c.empty() && python_value(c)) return false;
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
                    m.val = plus_zero(num_mul(m.val, c));
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

/// The product `n` (see monomial_operand) for the current bindings, as multi() computes it:
/// false when a value is not a native int or float, or the product would hold two terms;
/// the caller then evaluates `n` with eval() (which finds the variables registered here).
/// Each factor's value is kept in m.value.
inline bool Engine::monomial(Node* n, Mono& m) {
    Node* const* kids = n->type == NodeType::Multi ? n->kids.data() : &n;
    size_t count = n->type == NodeType::Multi ? n->kids.size() : 1;
    return mono_product(count, m, [&](size_t i, Num& out, int32_t& var) {
        Node* k = kids[i];
        if (k->pure) {
            out = value(k);
        } else if (!known_variable(k, var)) {
            Access a = access(k);
            out = std::move(a.value);
            var = a.index;
        }
        m.value[i] = out;
        return true;
    });
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

/// Whether two names (of elements, or labels of variables) are the same text; `unsure` when
/// that cannot be told (they are not both strings).
inline bool same_name(nb::handle first, nb::handle second, bool unsure) {
    PyObject *a = first.ptr(), *b = second.ptr();
    if (a == b) return true;
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) return unsure;
    int c = PyUnicode_Compare(a, b);
    if (c == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return unsure;
    }
    return c == 0;
}

/// Whether two names may be the same text: true unless both are strings that differ.
inline bool maybe_same_name(nb::handle first, nb::handle second) { return same_name(first, second, true); }

/// Whether a pure subtree may read the element `name` (conservatively: anything beyond data,
/// elements and arithmetic counts as reading it).
inline bool Engine::reads_index(Node* n, nb::handle name, int depth) {
    if (depth > 32) return true;
    switch (n->type) {
        case NodeType::Number:
        case NodeType::Placeholder: return false;
        case NodeType::Element: return maybe_same_name(n->name, name);
        case NodeType::ArrayLength: return reads_index(n->var, name, depth + 1);  // the array's subscripts
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

/// Whether `n` is the element `name` itself (equal names for certain).
inline bool same_element(Node* n, nb::handle name) {
    return n->type == NodeType::Element && same_name(n->name, name, false);
}

/// Whether a sum's condition leaves its kernel usable: none, or comparisons of the index
/// itself with a data-only side that does not read it (i < j, j != i, k >= lo), joined by &.
/// The values it lets through are then runs of the range (narrow_runs), found without testing
/// every value: such a test neither raises nor registers anything.
inline bool Engine::kernel_condition(Node* cond, nb::handle name, int depth) {
    if (depth > 8) return false;
    switch (cond->type) {
        case NodeType::CTrue: return true;
        case NodeType::CCompare: {
            bool left = same_element(cond->kids[0], name), right = same_element(cond->kids[1], name);
            if (left == right) return false;
            Node* other = cond->kids[left ? 1 : 0];
            return other->pure && !reads_index(other, name);
        }
        case NodeType::COp:
            if (!cond->kind.is(types().c_and)) return false;
            for (Node* t : cond->kids)
                if (!kernel_condition(t, name, depth + 1)) return false;
            return true;
        default: return false;
    }
}

/// Narrows `runs` to the values where the kernel condition `cond` holds. False when a side is
/// no int known without the general way (not read yet, a float, ...; with `general`, no int
/// the general way reads) or the runs would be too many: the caller then tests every value as
/// each_index does.
inline bool Engine::narrow_runs(Node* cond, nb::handle name, Runs& runs, int depth, bool general) {
    if (cond->type == NodeType::CTrue) return true;
    if (depth > 8) return false;
    if (cond->type == NodeType::COp && cond->kind.is(types().c_and)) {
        for (Node* t : cond->kids)
            if (!narrow_runs(t, name, runs, depth + 1, general)) return false;
        return true;
    }
    if (cond->type != NodeType::CCompare) return false;
    bool left = same_element(cond->kids[0], name);
    if (left == same_element(cond->kids[1], name)) return false;
    Node* other = cond->kids[left ? 1 : 0];
    if (other->ints_state == 0) {
        other->ints_state = compile_ints(other, other->ints) ? 1 : -1;
        if (other->ints_state < 0) other->ints.clear();
    }
    int64_t c;
    if (!peek_int(other, c) && !(general && int_value(other, c))) return false;
    int op = cond->op;
    if (!left) op = op == Py_LT ? Py_GT : op == Py_GT ? Py_LT : op == Py_LE ? Py_GE : op == Py_GE ? Py_LE : op;
    // v op c for the values v of [a, b), or every value but c
    int64_t a = INT64_MIN, b = INT64_MAX;
    switch (op) {
        case Py_LT: b = c; break;
        case Py_LE: b = c == INT64_MAX ? INT64_MAX : c + 1; break;  // a range ends below INT64_MAX
        case Py_GT: a = c == INT64_MAX ? INT64_MAX : c + 1; break;
        case Py_GE: a = c; break;
        case Py_EQ: a = c, b = c == INT64_MAX ? INT64_MAX : c + 1; break;
        case Py_NE: break;
        default: return false;
    }
    Runs out;
    auto keep = [&](int64_t from, int64_t to) {
        if (from >= to) return true;
        if (out.n == Runs::kMax) return false;
        out.from[out.n] = from, out.to[out.n] = to, ++out.n;
        return true;
    };
    for (size_t r = 0; r < runs.n; ++r) {
        int64_t from = runs.from[r], to = runs.to[r];
        bool kept = op == Py_NE ? keep(from, std::min(to, c)) && keep(std::max(from, c + (c < to)), to)
                                : keep(std::max(from, a), std::min(to, b));
        if (!kept) return false;
    }
    runs = out;
    return true;
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

/// The kernel kept on the sum `fold` for this engine: read again when another engine made it.
inline Engine::RangeKernel& Engine::kernel_of(Node* fold) {
    if (!fold->cache) fold->cache.reset(new RangeKernel);
    auto& k = static_cast<RangeKernel&>(*fold->cache);
    if (k.engine != serial_) {
        k.engine = serial_;
        k.state = RangeKernel::Untried;
    }
    return k;
}

/// Reads the factors of the sum `fold`'s operand, which gave a monomial at the current value,
/// or turns the kernel off when they do not qualify.
inline void Engine::kernel_setup(RangeKernel& k, Node* fold) {
    k.state = RangeKernel::Off;
    Node* index = fold->var;
    Node* operand = fold->kids[1];
    if (index->type != NodeType::Element || !kernel_condition(fold->kids[0], index->name) || !fast_registry_) return;
    fixed_variables();
    if (!no_fixed_) return;
    const Types& tree = types();
    nb::handle name = index->name;
    Node* const* kids = operand->type == NodeType::Multi ? operand->kids.data() : &operand;
    size_t count = operand->type == NodeType::Multi ? operand->kids.size() : 1;
    if (count > Mono::kMax) return;
    size_t vars = 0;
    // the subscripts of a variable or a data entry: how each follows the index
    auto subscripts = [&](RangeKernel::Factor& f, Node* kid) {
        if (kid->kids.size() > Index::kMax) return false;
        f.n = kid->kids.size();
        for (size_t s = 0; s < f.n; ++s) {
            Node* sub = kid->kids[s];
            if (!sub->pure || !int_value(sub, f.v[s])) return false;
            bool reads = reads_index(sub, name);
            f.how[s] = !reads                                         ? 0
                       : sub->type == NodeType::Element               ? 1
                       : shifted_index(sub, name, f.add[s], f.mod[s]) ? 3
                                                                      : 2;
        }
        return true;
    };
    k.bindless = true;
    k.same_value = true;
    for (size_t i = 0; i < count; ++i) {
        Node* kid = kids[i];
        RangeKernel::Factor& f = k.f[i];
        f = RangeKernel::Factor();
        f.node = kid;
        if (kid->pure) {
            if (!reads_index(kid, name)) {
                f.kind = RangeKernel::Factor::Constant;
                continue;
            }
            k.same_value = false;
            f.kind = RangeKernel::Factor::Bound;
            if (kid->type == NodeType::Subscript && kid->var->type == NodeType::Placeholder && subscripts(f, kid)) {
                f.view = views_.buffer(kid->var->name);
                bool programs = false;
                for (size_t s = 0; s < f.n; ++s) programs = programs || f.how[s] == 2;
                if (f.view && !programs) f.kind = RangeKernel::Factor::Data;
            }
            k.bindless = k.bindless && f.kind == RangeKernel::Factor::Data;
            continue;
        }
        Node* var = kid->var;  // a decision variable's subscript (monomial_operand)
        if (!var->kind.is(tree.binary) && !var->kind.is(tree.integer)) return;
        if (!subscripts(f, kid)) return;
        f.kind = RangeKernel::Factor::Variable;
        f.seen = &known_->of(var->name);
        for (size_t s = 0; s < f.n; ++s) k.bindless = k.bindless && f.how[s] != 2;
        ++vars;
    }
    k.count = count;
    k.order = Num::of_int((int64_t)vars);
    k.state = RangeKernel::Ready;
}

/// int_value() when it needs nothing but the bindings of enclosing sums and placeholders read
/// before: never raises, never calls Python. False otherwise.
inline bool Engine::peek_int(Node* n, int64_t& out) {
    if (n->ints_state != 1) return false;
    return run_int_program(n->ints, out, [&](const IntOp& op, int64_t& v) {
        const Num* read = op.code == IntOp::Elem ? bindings_.peek(op.node->name) : &op.node->cached;
        if (!read || read->tag() != Num::Int) return false;
        v = read->as_int();
        return true;
    });
}

/// value() of a data factor when it is a number, an index bound by an enclosing sum, a
/// placeholder read before, or a numeric buffer's entry at such subscripts: what is read
/// without raising or calling Python. False otherwise.
inline bool Engine::peek_value(Node* n, Num& out) {
    switch (n->type) {
        case NodeType::Number: out = n->cached; return true;
        case NodeType::Placeholder:
            if (n->cached.empty()) return false;
            out = n->cached;
            return true;
        case NodeType::Element: {
            const Num* bound = bindings_.peek(n->name);
            if (!bound) return false;
            out = *bound;
            return true;
        }
        case NodeType::Subscript: {
            if (n->var->type != NodeType::Placeholder || n->kids.size() > Index::kMax) return false;
            const View* view = views_.buffer(n->var->name);
            if (!view) return false;
            int64_t v[Index::kMax];
            for (size_t s = 0; s < n->kids.size(); ++s)
                if (!peek_int(n->kids[s], v[s])) return false;
            out = view->number(v, (Py_ssize_t)n->kids.size());
            return !out.empty();
        }
        default: return false;
    }
}

/// Sets the kernel's values for this evaluation of its sum: the invariant subscripts, the data
/// that does not read the index (from `first`, the operand at the first value computed the
/// general way, or read where that raises nothing), and with them whether keys are distinct
/// and, when the coefficient is the same at every value, that product. False when some value
/// cannot be had so (the sum then takes the general way at its first value, and tries again).
inline bool Engine::kernel_prepare(RangeKernel& k, const Mono* first, size_t count) {
    for (size_t i = 0; i < k.count; ++i) {
        RangeKernel::Factor& f = k.f[i];
        if (f.kind == RangeKernel::Factor::Constant) {
            if (first) {
                f.value = first->value[i];
            } else if (!peek_value(f.node, f.value)) {
                return false;
            }
            if (f.value.tag() == Num::Object) return false;  // monomial() gives those up
            f.native = Native::of(f.value);
            continue;
        }
        if (f.kind == RangeKernel::Factor::Bound) continue;
        // after a general step its programs ran at these bindings: running them again raises nothing
        for (size_t s = 0; s < f.n; ++s)
            if (f.how[s] == 0 && !(first ? int_value(f.node->kids[s], f.v[s]) : peek_int(f.node->kids[s], f.v[s])))
                return false;
        f.generation = ~0ULL;  // the line moves with the invariant subscripts
    }
    k.distinct = distinct_keys(k, count);
    if (!k.same_value) return true;
    int32_t placeholder = 0;
    return mono_product(k.count, k.mono, [&](size_t i, Num& c, int32_t& var) {
        if (k.f[i].kind == RangeKernel::Factor::Variable)
            var = placeholder++;  // the product's coefficient does not depend on which variable
        else
            c = k.f[i].value;
        return true;
    });
}

/// Whether `count` consecutive index values give keys that differ pairwise: true when one
/// variable of the product is one-to-one in the index (some subscript is the index, or the
/// index shifted, modulo at least `count`) and every other variable of the product lies
/// elsewhere (another array, or a subscript invariant in both that differs): the keys of two
/// values then differ in that variable. False whenever this cannot be told.
inline bool Engine::distinct_keys(const RangeKernel& k, size_t count) {
    using Factor = RangeKernel::Factor;
    for (size_t a = 0; a < k.count; ++a) {
        const Factor& A = k.f[a];
        if (A.kind != Factor::Variable) continue;
        bool one_to_one = false;
        for (size_t s = 0; s < A.n; ++s)
            one_to_one =
                one_to_one || A.how[s] == 1 || (A.how[s] == 3 && (A.mod[s] == 0 || (uint64_t)A.mod[s] >= count));
        if (!one_to_one) continue;
        bool apart = true;
        for (size_t b = 0; b < k.count && apart; ++b) {
            const Factor& B = k.f[b];
            if (b == a || B.kind != Factor::Variable) continue;
            if (!maybe_same_name(A.node->var->name, B.node->var->name) || B.n != A.n) continue;
            // the same array: some subscript, invariant in both, must tell them apart
            bool differs = false;
            for (size_t s = 0; s < A.n && !differs; ++s) differs = A.how[s] == 0 && B.how[s] == 0 && A.v[s] != B.v[s];
            apart = differs;
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

/// Registers the binary variable of a kernel's factor, met for the first time at the factor's
/// subscripts, as access() does for a model that fixes nothing (the only kind a kernel runs):
/// its index, or -1 for an integer variable, whose bounds the general way reads.
inline int32_t Engine::register_met(RangeKernel::Factor& f) {
    Node* var = f.node->var;
    if (!var->kind.is(types().binary)) return -1;
    Index ix;
    ix.n = f.n;
    std::copy(f.v, f.v + f.n, ix.v);
    int32_t index = register_binary(var->name, tuple_of(ix));
    f.seen->store(f.v, f.n, index);
    return index;
}

/// acc += the operand at index value t through the kernel (the index bound unless bindless);
/// `run`: acc's terms take distinct keys appended (Terms::open_run). A binary variable met
/// for the first time is registered (`registered` is then set: the seen indices' boxes may
/// have moved). False, with nothing added, when a subscript or entry cannot be read so, a
/// value is not a native number or an integer variable is new: the caller then takes the
/// general way, which registers the variable or raises the error.
inline bool Engine::kernel_step(RangeKernel& k, Poly& acc, int64_t t, bool run, bool* registered) {
    using Factor = RangeKernel::Factor;
    int32_t vars[Mono::kMax];
    // a subscript at t: false when it is no machine int
    auto at = [&](Factor& f, size_t s, int64_t& l) {
        switch (f.how[s]) {
            case 0: l = f.v[s]; return true;
            case 1: l = t; return true;
            case 3: return shifted(t, f.add[s], f.mod[s], l);
            default: return int_value(f.node->kids[s], l);
        }
    };
    for (size_t i = 0; i < k.count; ++i) {
        Factor& f = k.f[i];
        if (f.kind != Factor::Variable) continue;
        const SeenIndex::Box& box = f.seen->box();
        if (f.generation != f.seen->generation()) {
            f.generation = f.seen->generation();
            f.line = box.at && box.n == f.n;
            f.base = 0;
            for (size_t s = 0; s < f.n && f.line; ++s) {
                if (f.how[s] != 0) continue;
                f.line = (uint64_t)f.v[s] < (uint64_t)box.ext[s];
                f.base += f.v[s] * box.stride[s];
            }
        }
        bool line = f.line;
        int64_t off = f.base;
        for (size_t s = 0; s < f.n; ++s) {
            if (f.how[s] == 0) continue;
            int64_t l;
            if (!at(f, s, l)) return false;
            f.v[s] = l;
            if ((uint64_t)l < (uint64_t)box.ext[s])
                off += l * box.stride[s];
            else
                line = false;
        }
        int32_t index = line ? box.at[off] : -1;
        if (index < 0) index = f.seen->find(f.v, f.n);  // outside the box, or not met yet
        if (index < 0) {
            index = register_met(f);
            if (index < 0) return false;
            if (registered) *registered = true;
        }
        vars[i] = index;
    }
    Mono& m = k.mono;
    if (!k.same_value) {
        bool ok = mono_product(k.count, m, [&](size_t i, Num& c, int32_t& var) {
            Factor& f = k.f[i];
            switch (f.kind) {
                case Factor::Constant: c = f.value; return true;
                case Factor::Variable: var = vars[i]; return true;
                case Factor::Bound: c = value(f.node); return true;
                default:
                    for (size_t s = 0; s < f.n; ++s)
                        if (f.how[s] != 0 && !at(f, s, f.v[s])) return false;
                    c = f.view->number(f.v, (Py_ssize_t)f.n);
                    return !c.empty();
            }
        });
        if (!ok) return false;
    } else if (m.term) {
        // one coefficient: the variables sorted as mono_product() inserts them
        uint32_t nv = 0;
        for (size_t i = 0; i < k.count; ++i) {
            if (k.f[i].kind != Factor::Variable) continue;
            int32_t index = vars[i];
            uint32_t j = nv++;
            for (; j > 0 && m.vars[j - 1] > index; --j) m.vars[j] = m.vars[j - 1];
            m.vars[j] = index;
        }
    }
    if (m.term) {
        if (run)
            acc.terms.run_append(m.vars, m.nv, m.val);
        else if (k.distinct)
            acc.terms.push_new(m.key(), Num(m.val));
        else
            acc.terms.accumulate(m.key(), Num(m.val));
    }
    acc.constant = num_add(acc.constant, m.constant);
    return true;
}

/// kernel_step() for the values from, from + 1, ... up to `to` or the first value it cannot
/// take, the index left unbound (the kernel is bindless); returns that value. When every
/// variable's invariant subscripts lie in its box and every data entry is in a buffer, the
/// lines and buffers are fetched once and the values run in one loop: keys, values and
/// constants as kernel_step() makes them, in the same order.
inline int64_t Engine::range_run(RangeKernel& k, Poly& acc, int64_t from, int64_t to) {
    using Factor = RangeKernel::Factor;
    bool run = k.distinct && acc.terms.open_run();
    // a subscript that follows the index: where it reads (stride in slots or bytes), its extent
    struct Follow {
        int64_t add, mod, stride, ext;
        bool shift;
    };
    struct Line {  // a variable's line in its box, or a data entry's in its buffer
        const int32_t* at;
        const char* data;
        int64_t base;
        size_t factor, nfollow;
        Follow follow[Index::kMax];
    };
    Line lines[Mono::kMax];
    size_t nlines = 0;
    // the lines of the factors, read again after a registration (which may move a box)
    auto read_lines = [&] {
        nlines = 0;
        bool fast = true;
        for (size_t i = 0; i < k.count && fast; ++i) {
            Factor& f = k.f[i];
            if (f.kind == Factor::Constant) continue;
            Line& L = lines[nlines++];
            L.factor = i;
            L.nfollow = 0;
            if (f.kind == Factor::Variable) {
                const SeenIndex::Box& box = f.seen->box();
                fast = box.at && box.n == f.n;
                L.at = box.at;
                L.base = 0;
                for (size_t s = 0; s < f.n && fast; ++s) {
                    if (f.how[s] == 0) {
                        fast = (uint64_t)f.v[s] < (uint64_t)box.ext[s];
                        L.base += f.v[s] * box.stride[s];
                    } else {
                        L.follow[L.nfollow++] = Follow{f.add[s], f.mod[s], box.stride[s], box.ext[s], f.how[s] == 3};
                    }
                }
                continue;
            }
            // Data (bindless kernels have no Bound factor): byte offsets in the buffer
            const Py_buffer& buf = f.view->buf;
            fast = buf.ndim == (int)f.n;
            L.at = nullptr;
            L.data = (const char*)buf.buf;
            L.base = 0;
            for (size_t s = 0; s < f.n && fast; ++s) {
                if (f.how[s] == 0) {
                    fast = (uint64_t)f.v[s] < (uint64_t)buf.shape[s];
                    L.base += f.v[s] * buf.strides[s];
                } else {
                    L.follow[L.nfollow++] = Follow{f.add[s], f.mod[s], buf.strides[s], buf.shape[s], f.how[s] == 3};
                }
            }
        }
        return fast;
    };
    bool fast = read_lines();
    int64_t t = from;
    if (!fast) {
        for (; t < to; ++t) {
            poll_.tick();
            if (!kernel_step(k, acc, t, run)) break;
        }
        if (t > from && num_compare(k.order, acc.order, Py_GT)) acc.order = k.order;
        return t;
    }
    const Mono& same = k.mono;
    MonoOf<Native>& m = k.fast;
    if (k.same_value) {
        m.term = same.term, m.nv = same.nv;
    }
    // a constant of 0, which every term comes with, changes the sum's constant at most once;
    // other constants are added up natively while the sum's is a native number
    bool constant_once = k.same_value && !num_nonzero(same.constant);
    Native constant = Native::of(acc.constant);
    bool native_constant = !constant_once && !constant.lost_value();
    // every value a double (float constants, float64 buffers): the product in doubles
    bool floats = !k.same_value;
    uint8_t kinds[Mono::kMax];
    for (size_t i = 0; i < k.count; ++i) {
        const Factor& f = k.f[i];
        kinds[i] = f.kind;
        if (f.kind == Factor::Constant) floats = floats && f.native.tag() == Native::Float;
        if (f.kind == Factor::Data) floats = floats && f.view->fmt == 'd';
    }
    // a run's terms are written straight into room taken ahead (closed before kernel_step()
    // appends): a little at first, twice as much at each refill up to a few thousand, so that
    // a run cut short (a variable met for the first time ends it, and the sum calls again)
    // makes little room it does not fill; room for the whole rest each time made a long sum
    // of new variables quadratic
    Terms::Entry *out = nullptr, *room_end = nullptr;
    size_t room = 64;
    auto open_room = [&](int64_t at) {
        size_t n = std::min<size_t>((size_t)(to - at), room);
        room = std::min<size_t>(room * 2, 4096);
        out = acc.terms.open_room(n);
        room_end = out + n;
    };
    if (run) open_room(t);
    auto put = [&](const int32_t* key, uint32_t nv, Num&& v) __attribute__((always_inline)) {
        if (out) {
            if (out == room_end) {
                acc.terms.close_room(out);
                open_room(t);
            }
            out->key.assign(key, nv);
            out->val = std::move(v);
            ++out;
        } else if (k.distinct) {
            acc.terms.push_new(Key(key, nv), std::move(v));
        } else {
            acc.terms.accumulate(Key(key, nv), std::move(v));
        }
    };
    // put() of a key of one or two factors and a value that is no Python object, over the empty
    // entry open_room() made: nothing to release, count or swap
    auto put_native = [&](const int32_t* key, uint32_t nv, const Num& v) __attribute__((always_inline)) {
        if (out && out != room_end) {
            out->key.assign_short(key, nv);
            out->val.set_native(v);
            ++out;
            return;
        }
        put(key, nv, Num(v));
    };
    // a float constant of the floats' loop is added up here, stored back before anything reads it
    bool float_constant = floats && native_constant && constant.tag() == Native::Float;
    double sum_of_constants = float_constant ? constant.as_float() : 0.0;
    int32_t vars[Mono::kMax];
    Native values[Mono::kMax];
    double doubles[Mono::kMax];
    // the floats' factors in order: values (a constant's, or a data entry's slot in doubles),
    // and variables
    double constant_values[Mono::kMax];
    const double* value_at[Mono::kMax];
    size_t value_factor[Mono::kMax], var_factor[Mono::kMax];
    size_t nvalues = 0, nvars = 0;
    for (size_t i = 0; floats && i < k.count; ++i) {
        if (kinds[i] == Factor::Variable) {
            var_factor[nvars++] = i;
            continue;
        }
        constant_values[i] = kinds[i] == Factor::Constant ? k.f[i].native.as_float() : 0.0;
        value_at[nvalues] = kinds[i] == Factor::Constant ? &constant_values[i] : nullptr;
        value_factor[nvalues++] = i;
    }
    // the variables of factors var_factor[0..n) into m.vars, sorted as mono_product() inserts
    // them; their count
    auto sorted_vars = [&](size_t n) __attribute__((always_inline)) {
        uint32_t nv = 0;
        for (size_t l = 0; l < n; ++l) {
            int32_t var = vars[var_factor[l]];
            uint32_t j = nv++;
            for (; j > 0 && m.vars[j - 1] > var; --j) m.vars[j] = m.vars[j - 1];
            m.vars[j] = var;
        }
        return nv;
    };
    // every value an int (int constants, buffers of ints) and written before every variable
    // (w[i, j] * d[k, l] * x[i, k] * x[j, l]): mono_product()'s steps multiply the values as
    // ints, then give the term their product (none when it is 0) and a constant of int 0, which
    // changes the sum's constant once at most; the product in int64, a value it overflows goes
    // the careful way
    bool ints = !k.same_value && !floats;
    size_t int_values = 0, int_vars = 0;
    int64_t int_constant[Mono::kMax];
    size_t int_factor[Mono::kMax];
    for (size_t i = 0; ints && i < k.count; ++i) {
        if (kinds[i] == Factor::Variable) {
            var_factor[int_vars++] = i;
            continue;
        }
        ints = int_vars == 0 &&
               (kinds[i] == Factor::Constant ? k.f[i].native.tag() == Native::Int : k.f[i].view->reads_int());
        int_constant[i] = ints && kinds[i] == Factor::Constant ? k.f[i].native.as_int() : 0;
        int_factor[int_values++] = i;
    }
    ints = ints && int_values && int_vars;
    bool zero_added = false;  // the constant's int 0, added once
    // The commonest rows, one coefficient times one or two variables that each follow the index
    // once (x[i, t] * x[j, t + 1], a sum of x[i, t]): the loop below for them alone, without its
    // generality; the same keys, values and constants in the same order. Returns the first value
    // it leaves to that loop (a slot the box does not hold, or not met yet).
    bool simple = k.same_value && same.term && same.nv == nlines && (nlines == 1 || nlines == 2);
    using One = std::integral_constant<uint32_t, 1>;
    using Two = std::integral_constant<uint32_t, 2>;
    auto run_simple = [&](int64_t t, auto nvar) {
        constexpr uint32_t NV = decltype(nvar)::value;
        for (size_t l = 0; l < NV; ++l)
            if (!lines[l].at || lines[l].nfollow != 1) return t;
        // copied: the loop keeps them in registers rather than read them through the closure
        const Follow FA = lines[0].follow[0], FB = lines[NV - 1].follow[0];
        const int32_t *at_a = lines[0].at + lines[0].base, *at_b = lines[NV - 1].at + lines[NV - 1].base;
        const bool native_value = same.val.tag() != Num::Object, each_constant = !constant_once;
        const int64_t first = from, end = to;
        for (; t < end; ++t) {
            int64_t a = t, b = t;
            if (FA.shift && !shifted(t, FA.add, FA.mod, a)) break;
            if (FB.shift && !shifted(t, FB.add, FB.mod, b)) break;
            if ((uint64_t)a >= (uint64_t)FA.ext || (uint64_t)b >= (uint64_t)FB.ext) break;
            int32_t ia = at_a[a * FA.stride], ib = at_b[b * FB.stride];
            if (ia < 0 || ib < 0) break;
            poll_.tick();
            int32_t key[2] = {std::min(ia, ib), std::max(ia, ib)};  // sorted as mono_product() inserts them
            if (native_value)
                put_native(key, NV, same.val);
            else
                put(key, NV, Num(same.val));
            if (each_constant || t == first) acc.constant = num_add(acc.constant, same.constant);
        }
        return t;
    };
    // The commonest rows with a value per term: one data entry (times constants) times one or
    // two variables, each line following the index once at most (d[i, j] * x[i, t] * x[j, t + 1]
    // summed over j). The loop below for them alone, without its generality: the same keys,
    // values and constants in the same order, once the first term has set the constant's kind
    // (float_constant, zero_added). Returns the first value it leaves to that loop: a slot the
    // box does not hold, a product of 0, inf or NaN, an int product that overflows.
    struct ValueRow {  // set by value_row()
        const Line* var[2];
        size_t nvar;
        const Line* data;
        double pre_f, post_f[Mono::kMax];  // constants before the entry (their product), after
        int64_t pre_i, post_i[Mono::kMax];
        size_t npre, npost;
        bool ok;
    } row;
    auto value_row = [&] {
        row.ok = false;
        if (k.same_value || !(floats || ints) || nlines < 2 || nlines > 3) return;
        row.nvar = row.npre = row.npost = 0;
        row.data = nullptr;
        row.pre_f = 1.0, row.pre_i = 1;
        for (size_t l = 0; l < nlines; ++l) {
            const Line& L = lines[l];
            if (L.nfollow > 1) return;
            if (L.at) {
                row.var[row.nvar++] = &L;
            } else {
                if (row.data) return;
                const View& view = *k.f[L.factor].view;
                // an int entry is read as int64: 'l' is that wide only where long is
                bool int64 = view.fmt == 'q' || (view.fmt == 'l' && sizeof(long) == sizeof(int64_t));
                if (floats ? view.fmt != 'd' : !int64) return;
                row.data = &L;
            }
        }
        if (!row.data || row.nvar == 0 || row.nvar > 2) return;
        // the constants in factor order, around the entry: its product is theirs left to right
        for (size_t i = 0; i < k.count; ++i) {
            if (kinds[i] != Factor::Constant) continue;
            const Native& c = k.f[i].native;
            bool before = i < row.data->factor;
            if (floats) {
                if (before)
                    row.pre_f = row.npre++ ? row.pre_f * c.as_float() : c.as_float();
                else
                    row.post_f[row.npost++] = c.as_float();
            } else if (before) {
                if (row.npre++ == 0)
                    row.pre_i = c.as_int();
                else if (__builtin_mul_overflow(row.pre_i, c.as_int(), &row.pre_i))
                    return;
            } else {
                row.post_i[row.npost++] = c.as_int();
            }
        }
        row.ok = true;
    };
    // where line L reads at value t (false: past its extent, or no machine int)
    auto line_at = [&](const Line& L, int64_t t, int64_t& off) __attribute__((always_inline)) {
        off = L.base;
        if (!L.nfollow) return true;
        const Follow& F = L.follow[0];
        int64_t at = t;
        if (F.shift && !shifted(t, F.add, F.mod, at)) return false;
        if ((uint64_t)at >= (uint64_t)F.ext) return false;
        off += at * F.stride;
        return true;
    };
    auto run_values = [&](int64_t t, auto nvar, auto is_float) {
        constexpr uint32_t NV = decltype(nvar)::value;
        constexpr bool F = decltype(is_float)::value;
        if (F ? !float_constant : !zero_added) return t;
        const Line &A = *row.var[0], &B = *row.var[NV - 1], &D = *row.data;
        for (; t < to; ++t) {
            int64_t oa, ob, od;
            if (!line_at(A, t, oa) || !line_at(B, t, ob) || !line_at(D, t, od)) break;
            int32_t ia = A.at[oa], ib = B.at[ob];
            if (ia < 0 || ib < 0) break;
            int32_t key[2] = {std::min(ia, ib), std::max(ia, ib)};
            if constexpr (F) {
                double p = *(const double*)(D.data + od);
                if (row.npre) p = row.pre_f * p;
                for (size_t c = 0; c < row.npost; ++c) p *= row.post_f[c];
                if (!(p != 0.0 && std::isfinite(p))) break;
                poll_.tick();
                put_native(key, NV, Num::of_float(p));
                sum_of_constants += 0.0 * p;
            } else {
                int64_t p = *(const int64_t*)(D.data + od);
                if (row.npre && __builtin_mul_overflow(row.pre_i, p, &p)) break;
                bool over = false;
                for (size_t c = 0; c < row.npost; ++c) over |= __builtin_mul_overflow(p, row.post_i[c], &p);
                if (over) break;
                poll_.tick();
                if (p != 0) put_native(key, NV, Num::of_int(p));
            }
        }
        return t;
    };
    value_row();
    using Float = std::true_type;
    using Int = std::false_type;
    auto run_row = [&](int64_t t) {
        if (row.nvar == 1) return floats ? run_values(t, One{}, Float{}) : run_values(t, One{}, Int{});
        return floats ? run_values(t, Two{}, Float{}) : run_values(t, Two{}, Int{});
    };
    for (; t < to; ++t) {
        if (simple) {
            t = nlines == 2 ? run_simple(t, Two{}) : run_simple(t, One{});
            if (t >= to) break;
        } else if (row.ok) {
            t = run_row(t);
            if (t >= to) break;
        }
        poll_.tick();
        for (size_t l = 0; l < nlines; ++l) {
            const Line& L = lines[l];
            int64_t off = L.base;
            for (size_t s = 0; s < L.nfollow; ++s) {
                const Follow& F = L.follow[s];
                int64_t at = t;
                if (F.shift && !shifted(t, F.add, F.mod, at)) goto careful;
                if ((uint64_t)at >= (uint64_t)F.ext) goto careful;
                off += at * F.stride;
            }
            if (L.at) {
                int32_t index = L.at[off];
                if (index < 0) goto careful;
                vars[L.factor] = index;
            } else {
                if (floats) {
                    doubles[L.factor] = *(const double*)(L.data + off);
                    continue;
                }
                values[L.factor] = k.f[L.factor].view->read<Native>(L.data + off);
                if (values[L.factor].empty()) goto careful;
            }
        }
        if (k.same_value) {
            if (m.term) {
                // one coefficient: the variables sorted as mono_product() inserts them
                uint32_t nv = 0;
                for (size_t l = 0; l < nlines; ++l) {
                    int32_t index = vars[lines[l].factor];
                    uint32_t j = nv++;
                    for (; j > 0 && m.vars[j - 1] > index; --j) m.vars[j] = m.vars[j - 1];
                    m.vars[j] = index;
                }
                put(m.vars, m.nv, Num(same.val));
            }
            if (!constant_once || t == from) acc.constant = num_add(acc.constant, same.constant);
            continue;
        }
        if (ints) {
            int64_t p = 1;
            for (size_t v = 0; v < int_values; ++v) {
                size_t i = int_factor[v];
                int64_t x = kinds[i] == Factor::Constant ? int_constant[i] : values[i].as_int();
                if (v == 0)
                    p = x;
                else if (__builtin_mul_overflow(p, x, &p))
                    goto careful;
            }
            if (p != 0) put(m.vars, sorted_vars(int_vars), Num::of_int(p));
            if (!zero_added) {
                zero_added = true;
                Native sum = native_constant ? num_add(constant, Native::of_int(0)) : Native::lost();
                if (!sum.lost_value()) {
                    constant = sum;
                    acc.constant = sum.num();
                } else {
                    native_constant = false;
                    acc.constant = num_add(acc.constant, Num::of_int(0));
                }
            }
            continue;
        }
        if (floats && nvalues) {
            // mono_product()'s steps, when the product of the values (left to right) is finite
            // and nonzero, come to that product with every variable, and a constant of 0.0
            // times it (every + 0.0 and * 1.0 on the way leaves a nonzero finite value as is)
            double p = value_at[0] ? *value_at[0] : doubles[value_factor[0]];
            for (size_t v = 1; v < nvalues; ++v) p *= value_at[v] ? *value_at[v] : doubles[value_factor[v]];
            if (p != 0.0 && std::isfinite(p)) {
                put(m.vars, sorted_vars(nvars), Num::of_float(p));
                if (float_constant) {
                    sum_of_constants += 0.0 * p;
                    continue;
                }
                Native sum = native_constant ? num_add(constant, Native::of_float(0.0 * p)) : Native::lost();
                if (!sum.lost_value()) {
                    constant = sum;
                    acc.constant = sum.num();
                    float_constant = true;
                    sum_of_constants = sum.as_float();
                } else {
                    native_constant = false;
                    acc.constant = num_add(acc.constant, Num::of_float(0.0 * p));
                }
                continue;
            }
        }
        if (floats) {
            // mono_product()'s steps where every value is a double: its ints are only the 1 of a
            // variable's term and the 0 of its constant
            bool term = false, val_int = false, c_int = false;
            double val = 0.0, c = 0.0;
            uint32_t nv = 0;
            for (size_t i = 0; i < k.count; ++i) {
                uint8_t kind = kinds[i];
                if (kind == Factor::Variable) {
                    int32_t var = vars[i];
                    bool nonzero = !c_int && c != 0.0;
                    if (i == 0) {
                        term = true, val_int = true, c_int = true;
                    } else if (term) {
                        if (nonzero) goto careful;  // two terms
                        if (!val_int) val = val * 1.0;
                    } else if (nonzero) {
                        term = true, val_int = false, val = 1.0 * c, nv = 0;
                    } else {
                        if (!c_int) c = c * 0.0;
                        continue;
                    }
                    uint32_t j = nv++;
                    for (; j > 0 && m.vars[j - 1] > var; --j) m.vars[j] = m.vars[j - 1];
                    m.vars[j] = var;
                    if (i > 0 && !c_int) c = c * 0.0;
                    continue;
                }
                double x = kind == Factor::Constant ? k.f[i].native.as_float() : doubles[i];
                if (i == 0) {
                    c = x;
                    continue;
                }
                if (term) {
                    if (x != 0.0)
                        val = (val_int ? 1.0 * x : val * x) + 0.0, val_int = false;
                    else
                        term = false;
                }
                c = c_int ? 0.0 * x : c * x;
                c_int = false;
            }
            if (term) put(m.vars, nv, val_int ? Num::of_int(1) : Num::of_float(val));
            if (float_constant) {  // num_add of two floats, or of a float and the int 0
                sum_of_constants += c_int ? 0.0 : c;
                continue;
            }
            Native sum =
                native_constant ? num_add(constant, c_int ? Native::of_int(0) : Native::of_float(c)) : Native::lost();
            if (!sum.lost_value()) {
                constant = sum;
                acc.constant = sum.num();
                float_constant = sum.tag() == Native::Float;
                sum_of_constants = float_constant ? sum.as_float() : 0.0;
            } else {
                native_constant = false;
                acc.constant = num_add(acc.constant, c_int ? Num::of_int(0) : Num::of_float(c));
            }
            continue;
        }
        {
            bool ok = mono_product(k.count, m, [&](size_t i, Native& c, int32_t& var) {
                const Factor& f = k.f[i];
                if (f.kind == Factor::Variable)
                    var = vars[i];
                else
                    c = f.kind == Factor::Constant ? f.native : values[i];
                return true;
            });
            // a product that met a number Num holds in Python is computed as Nums
            if (!ok || m.constant.lost_value() || (m.term && m.val.lost_value())) goto careful;
            if (m.term) put(m.vars, m.nv, m.val.num());
            Native sum = native_constant ? num_add(constant, m.constant) : Native::lost();
            if (!sum.lost_value()) {
                constant = sum;
                acc.constant = sum.num();
            } else {
                native_constant = false;
                acc.constant = num_add(acc.constant, m.constant.num());
            }
        }
        continue;
    careful:  // a slot the box does not hold, an entry not read so: kernel_step() finds it, or gives up
        if (float_constant) acc.constant = Num::of_float(sum_of_constants);
        float_constant = false;
        if (out) acc.terms.close_room(out);
        out = nullptr;
        bool registered = false;
        if (!kernel_step(k, acc, t, run, &registered)) break;
        // the lines read from the boxes may have moved: read again in place (a first meeting of
        // every variable, as each compile's first row has, would otherwise set the run up anew
        // for every term), or the caller starts again where they no longer serve
        if (registered && !read_lines()) {
            ++t;
            break;
        }
        if (registered) value_row();  // its lines point into `lines`, read again
        if (run && t + 1 < to) {
            room = 4;  // careful steps may come often (each variable met first): each zeroes little room
            open_room(t + 1);
        }
        constant = Native::of(acc.constant);
        native_constant = native_constant && !constant.lost_value();
        float_constant = floats && native_constant && constant.tag() == Native::Float;
        sum_of_constants = float_constant ? constant.as_float() : 0.0;
    }
    if (float_constant) acc.constant = Num::of_float(sum_of_constants);
    if (out) acc.terms.close_room(out);
    if (t > from && num_compare(k.order, acc.order, Py_GT)) acc.order = k.order;
    return t;
}

/// acc += a monomial computed at the current bindings, as poly_add(acc, eval(operand)).
inline void Engine::add_mono(Poly& acc, Mono& m) {
    if (m.term) acc.terms.accumulate(m.key(), std::move(m.val));
    acc.constant = num_add(acc.constant, m.constant);
    if (num_compare(m.order, acc.order, Py_GT)) acc.order = m.order;
}

/// acc += the operand's value at the current bindings: poly_add(acc, eval(operand)).
inline void Engine::add_operand(Poly& acc, Node* operand) {
    Mono& m = mono_;
    if (!monomial_operand(operand) || !monomial(operand, m)) {
        poly_add(acc, eval(operand));
        return;
    }
    add_mono(acc, m);
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
