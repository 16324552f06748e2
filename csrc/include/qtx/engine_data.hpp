// The engine on data: subscripts of placeholders, evaluated index values and array lengths.
#pragma once
#include "engine.hpp"

namespace qtx::engine {

/// A placeholder's entry: read straight from a numeric buffer when the subscripts are machine
/// ints, through the instance data otherwise.
inline Num Engine::data_value(Node* n) {
    Index ix;
    index_of(n->kids, ix);
    if (!ix.big) {
        Num v = views_.number(n->var->name, ix.v, ix.n);
        if (!v.empty()) return v;
    }
    return Num::steal(views_.at(n->var->name, tuple_of(ix)));
}

/// int(start) and int(end) of an index element's evaluated bounds.
inline void Engine::range_of(Node* el, long long& lo, long long& hi) {
    // bounds that are machine ints (numbers, placeholders read before, bound indices): the
    // ints int() gives, without a polynomial or a Python int made for them
    int64_t a = 0, b = 0;
    Node *start = el->kids[0], *end = el->kids[1];
    if (start->pure && end->pure && int_value(start, a) && int_value(end, b)) {
        lo = a, hi = b;
        return;
    }
    Poly s = eval(el->kids[0]);
    Poly e = eval(el->kids[1]);
    if (!s.terms.empty() || !e.terms.empty()) raise_substitute("Range bounds must not contain decision variables.");
    lo = range_bound(el, to_int(s.constant.py()), "start");
    hi = range_bound(el, to_int(e.constant.py()), "end");
}

/// The evaluated subscripts of an access: machine ints when they fit.
inline void Engine::index_of(const std::vector<Node*>& subs, Index& ix) {
    ix.n = subs.size();
    bool native = ix.n <= Index::kMax;
    std::vector<Obj> objs;
    for (size_t i = 0; i < subs.size(); ++i) {
        Num c;
        if (subs[i]->pure) {
            int64_t v;
            if (native && int_value(subs[i], v)) {
                ix.v[i] = v;
                continue;
            }
            c = value(subs[i]);
        } else {
            Poly p = eval(subs[i]);
            if (!p.terms.empty()) raise_substitute("Subscripts must not contain decision variables.");
            c = std::move(p.constant);
        }
        if (native && c.tag() == Num::Int) {
            ix.v[i] = c.as_int();
            continue;
        }
        if (native && c.tag() == Num::Float && std::isfinite(c.as_float()) && std::fabs(c.as_float()) < 9e18) {
            ix.v[i] = (int64_t)c.as_float();  // int() truncates toward zero
            continue;
        }
        // a value Python must convert: keep every subscript as a Python int from here on
        if (native) {
            native = false;
            for (size_t j = 0; j < i; ++j) objs.push_back(own(PyLong_FromLongLong(ix.v[j])));
        }
        objs.push_back(c.tag() == Num::Int ? c.py() : to_int(c.py()));
    }
    if (!native) {
        ix.big = own(PyTuple_New((Py_ssize_t)objs.size()));
        for (size_t i = 0; i < objs.size(); ++i) PyTuple_SET_ITEM(ix.big.ptr(), (Py_ssize_t)i, objs[i].release().ptr());
    }
}

/// Compiles a pure subtree of numbers, elements, placeholders, sums, products and remainders
/// into a postfix int program; false for any other node.
inline bool compile_ints(Node* n, std::vector<IntOp>& out, int depth = 0) {
    const Types& tree = types();
    if (depth > 32) return false;  // deep subscripts are left to value() and its stack checks
    switch (n->type) {
        case NodeType::Number:
            if (n->cached.tag() != Num::Int) return false;
            out.push_back(IntOp{IntOp::Const, n->cached.as_int(), nullptr});
            return true;
        case NodeType::Element: out.push_back(IntOp{IntOp::Elem, 0, n}); return true;
        case NodeType::Placeholder: out.push_back(IntOp{IntOp::Value, 0, n}); return true;
        case NodeType::ArrayLength:
            // a whole array's length is read once, as a placeholder's value is (see value())
            if (n->var->type != NodeType::Placeholder) return false;
            out.push_back(IntOp{IntOp::Value, 0, n});
            return true;
        case NodeType::Pair:
            if (!n->kind.is(tree.mod)) return false;
            if (!compile_ints(n->kids[0], out, depth + 1) || !compile_ints(n->kids[1], out, depth + 1)) return false;
            out.push_back(IntOp{IntOp::Mod, 0, nullptr});
            return true;
        case NodeType::Multi: {
            bool add = n->kind.is(tree.add);
            if (!add && !n->kind.is(tree.mul)) return false;
            if (n->kids.empty()) out.push_back(IntOp{IntOp::Const, add ? 0 : 1, nullptr});
            for (size_t i = 0; i < n->kids.size(); ++i) {
                if (!compile_ints(n->kids[i], out, depth + 1)) return false;
                if (i > 0) out.push_back(IntOp{add ? IntOp::Add : IntOp::Mul, 0, nullptr});
            }
            return true;
        }
        default: return false;
    }
}

/// The value of a pure subtree when it is an int computed with machine ints all the way: the
/// int value() gives. False as soon as anything else comes up (a float, an overflow, a
/// remainder Python's sign rules decide, a node of another kind); value() is asked then, and
/// raises any error itself, as the program reads the same operands in the same order.
inline bool Engine::int_value(Node* n, int64_t& out) {
    if (n->ints_state == 0) {
        n->ints_state = compile_ints(n, n->ints) ? 1 : -1;
        if (n->ints_state < 0) n->ints.clear();
    }
    if (n->ints_state < 0) return false;
    if (n->ints.size() == 1 && n->ints[0].code == IntOp::Elem) {  // an index alone: the common subscript
        const Num* bound = bindings_.peek(n->ints[0].node->name);
        if (bound && bound->tag() == Num::Int) {
            out = bound->as_int();
            return true;
        }
    }
    return run_int_program(n->ints, out, [&](const IntOp& op, int64_t& v) {
        if (op.code == IntOp::Elem) {
            const Num* bound = bindings_.peek(op.node->name);
            if (bound && bound->tag() == Num::Int) {
                v = bound->as_int();
                return true;
            }
            Num read = bound ? *bound : element_value(op.node);
            if (read.tag() != Num::Int) return false;
            v = read.as_int();
            return true;
        }
        // a placeholder read once keeps its value (instance data is read-only meanwhile)
        const Num& cached = op.node->cached;
        if (cached.tag() == Num::Int) {
            v = cached.as_int();
            return true;
        }
        Num read = value(op.node);
        if (read.tag() != Num::Int) return false;
        v = read.as_int();
        return true;
    });
}

inline bool Engine::constant_int(Node* n, int64_t& out) {
    if (n->ints_state == 0) {
        n->ints_state = compile_ints(n, n->ints) ? 1 : -1;
        if (n->ints_state < 0) n->ints.clear();
    }
    if (n->ints_state < 0) return false;
    for (const IntOp& op : n->ints)
        if (op.code == IntOp::Elem) return false;
    return int_value(n, out);
}

inline Obj Engine::tuple_of(const Index& ix) {
    if (ix.big) return ix.big;
    Obj t = own(PyTuple_New((Py_ssize_t)ix.n));
    for (size_t i = 0; i < ix.n; ++i) PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, PyLong_FromLongLong(ix.v[i]));
    for (size_t i = 0; i < ix.n; ++i)
        if (!PyTuple_GET_ITEM(t.ptr(), (Py_ssize_t)i)) fail();
    PyObject_GC_UnTrack(t.ptr());
    return t;
}

// A sum over `a.len_at(0)` reads the length at every pass of the sums around it: a NumPy
// array's is read from its buffer's shape, as get_length would give it; anything else (lists,
// subscripts outside the array, bad axes) goes through get_length, which reports errors.
inline Poly Engine::array_length(Node* n) {
    const Types& tree = types();
    Node* arr = n->var;
    int64_t length = 0;
    if (arr->type == NodeType::Placeholder) {
        if (views_.length(arr->name, nullptr, 0, n->value, length)) return constant(Num::of_int(length));
        Obj get_length = qtx::getattr(data_, names().get_length);
        return constant(Num::steal(call(get_length, {arr->name, tree.empty_tuple, n->value}, kwnames({"axis"}))));
    }
    // a decision variable's length is no data: one of its rows is not either (data named as the
    // variable would be read instead)
    if (arr->type == NodeType::Subscript && arr->var->type != NodeType::Fallback &&
        arr->var->type != NodeType::DecVar) {
        Index ix;
        index_of(arr->kids, ix);
        if (!ix.big && views_.length(arr->var->name, ix.v, ix.n, n->value, length))
            return constant(Num::of_int(length));
        Obj get_length = qtx::getattr(data_, names().get_length);
        return constant(Num::steal(call(get_length, {arr->var->name, tuple_of(ix), n->value})));
    }
    raise_substitute("Unknown variable type.");
}

}  // namespace qtx::engine
