// Plans: an expression tree read once into C++ nodes, so evaluation loops never look up
// Python attributes.
#pragma once
#include "names.hpp"
#include "num.hpp"

#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qtx::engine {

/// The tree's classes and kind members, fetched from the package on first use.
struct Types {
    PyObject *number, *unary, *placeholder, *element, *decvar, *subscript, *arraylen, *pair, *multi, *fold;
    PyObject *c_true, *c_constraint, *c_other, *c_operator;
    PyObject *binary, *integer, *continuous, *unary_kind;
    PyObject *pow, *mod, *add, *mul, *max, *min, *sum, *prod;
    PyObject *eq, *le, *ge, *ne, *lt, *c_and, *c_or, *c_xor;
    PyObject *unary_value, *poly_cls, *registry_cls, *data_cls, *np_array;
    PyObject *zero, *one, *empty_tuple;

    Types() {
        auto cls = [](const char* n) { return tree_class(str(n).ptr()).release().ptr(); };
        auto member = [](const char* e, const char* n) {
            return getattr(tree_class(str(e).ptr()).ptr(), str(n).ptr()).release().ptr();
        };
        auto attr = [](const char* m, const char* n) { return imported(str(m).ptr(), str(n).ptr()).release().ptr(); };
        number = cls("Number"), unary = cls("UnaryOperator"), placeholder = cls("Placeholder");
        element = cls("Element"), decvar = cls("DecisionVariable"), subscript = cls("Subscript");
        arraylen = cls("ArrayLength"), pair = cls("PairOperator"), multi = cls("MultipleOperator");
        fold = cls("FoldOperator"), c_true = cls("TrueCondition"), c_constraint = cls("ConstraintCondition");
        c_other = cls("OtherConstraintCondition"), c_operator = cls("ConditionOperator");
        binary = member("DecisionVarKind", "BINARY"), integer = member("DecisionVarKind", "INTEGER");
        continuous = member("DecisionVarKind", "CONTINUOUS");
        unary_kind = cls("UnaryOpeKind");
        pow = member("BinaryOpeKind", "POW"), mod = member("BinaryOpeKind", "MOD");
        add = member("MultipleOpeKind", "ADD"), mul = member("MultipleOpeKind", "MUL");
        max = member("MultipleOpeKind", "MAX"), min = member("MultipleOpeKind", "MIN");
        sum = member("ReductionOpeKind", "SUM"), prod = member("ReductionOpeKind", "PROD");
        eq = member("ConstraintKind", "EQUAL"), le = member("ConstraintKind", "LESSTHANEQUAL");
        ge = member("ConstraintKind", "GREATERTHANEQUAL"), ne = member("OtherConstraintKind", "NOTEQUAL");
        lt = member("OtherConstraintKind", "LESSTHAN"), c_and = member("ConditionOperatorKind", "AND");
        c_or = member("ConditionOperatorKind", "OR"), c_xor = member("ConditionOperatorKind", "XOR");
        unary_value = attr("quillon_transpiler.core.substitute.substitutable_expr.expression", "_unary_value");
        poly_cls = attr("quillon_transpiler.core.substitute.subs_poly", "SubstitutedExpression");
        registry_cls = attr("quillon_transpiler.core.var_registry", "VarRegistry");
        data_cls = attr("quillon_transpiler.core.instance_data", "InstanceData");
        np_array = attr("numpy", "array");
        zero = PyLong_FromLong(0), one = PyLong_FromLong(1), empty_tuple = PyTuple_New(0);
    }
};

/// Never freed: the classes live as long as the interpreter.
inline const Types& types() {
    static Types* t = new Types();
    return *t;
}

enum class K {
    Number,
    Unary,
    Placeholder,
    Element,
    DecVar,
    Subscript,
    ArrayLength,
    Pair,
    Multi,
    Fold,
    Fallback,
    CTrue,
    CCompare,
    COp,
    CFallback
};

/// The interned equal of an exact str, so that equal names are one object; others as they are.
inline Obj interned_name(Obj name) {
    if (!PyUnicode_CheckExact(name.ptr())) return name;
    PyObject* p = name.release().ptr();
    PyUnicode_InternInPlace(&p);
    return nb::steal(p);
}

/// One tree node as the engine needs it; which fields are used depends on the kind.
struct Node {
    K k = K::Fallback;
    PyObject* obj = nullptr;  // the tree node, held by `hold`
    Obj hold;
    Obj name, kind, value;    // value: a Number's value, an ArrayLength's axis
    Node* var = nullptr;      // Subscript: the indexed leaf; ArrayLength: the array; Fold: the index
    std::vector<Node*> kids;  // operands, subscripts, bounds, sides, or (condition, operand)
    int op = 0;               // rich-comparison operator of a comparison
    bool pure = false;        // data only: no decision variable or foreign node below
    bool done = false;        // fully read: a node met again before is inside its own subtree
    Num cached;               // a Number's value, a Placeholder's once read
    // a pure subtree of ints as a postfix program (see Engine::int_value): 0 not compiled yet,
    // 1 compiled into `ints`, -1 not made of such nodes
    int8_t ints_state = 0;
    int8_t mono_state = 0;  // as an operand of a sum: 1 a monomial (Engine::monomial_operand), -1 not
    std::vector<struct IntOp> ints;
};

/// One step of an int program: push a constant, an element's value or a placeholder's, or
/// combine the two values on top.
struct IntOp {
    enum Code : uint8_t { Const, Elem, Value, Add, Mul, Mod } code;
    int64_t v = 0;
    Node* node = nullptr;  // Elem, Value: the node read
};

/// SubstituteError for a tree that loops back on itself: evaluating it would never end.
[[noreturn]] inline void cyclic_tree(PyObject* o) {
    raise_substitute(std::string("The expression tree is cyclic: a ") + type_name(o) +
                     " node is among its own operands (directly or further down). Build the tree from new nodes.");
}

class Planner {
public:
    Node* plan(PyObject* o) { return plan_as(o, kind_of(o)); }

    /// Plans `o` as a node of kind `k` (the root is planned by the class whose method ran).
    /// Shared subtrees are read once; a node met again while it is still being read lies in
    /// its own subtree.
    Node* plan_as(PyObject* o, K k) {
        auto it = memo_.find(MemoKey{o, k});
        if (it != memo_.end()) {
            if (!it->second->done) cyclic_tree(o);
            return it->second;
        }
        // deep trees: evaluation recurses as deep as this. Python's limit is honoured, and the
        // C stack itself is checked, for callers that raise that limit.
        if (stack_exhausted(floor_)) stack_overflow("while reading an expression tree");
        Node* n = make(o, k);
        memo_[MemoKey{o, k}] = n;
        if (Py_EnterRecursiveCall(" while reading an expression tree")) fail();
        try {
            fill(n);
        } catch (...) {
            Py_LeaveRecursiveCall();
            throw;
        }
        Py_LeaveRecursiveCall();
        n->done = true;
        return n;
    }

    Node* plan_condition(PyObject* o) { return plan_cond_as(o, cond_kind_of(o)); }

    Node* plan_cond_as(PyObject* o, K k) {
        if (stack_exhausted(floor_)) stack_overflow("while reading a condition");
        if (!open_conditions_.insert(o).second) cyclic_tree(o);
        if (Py_EnterRecursiveCall(" while reading a condition")) fail();
        try {
            Node* n = fill_condition(o, k);
            Py_LeaveRecursiveCall();
            open_conditions_.erase(o);
            return n;
        } catch (...) {
            Py_LeaveRecursiveCall();
            open_conditions_.erase(o);
            throw;
        }
    }

    Node* fill_condition(PyObject* o, K k) {
        Node* n = make(o, k);
        const Types& T = types();
        const Names& N = names();
        if (k == K::CCompare) {
            n->kind = getattr(o, N.kind.ptr());
            PyObject* kd = n->kind.ptr();
            n->op = kd == T.eq   ? Py_EQ
                    : kd == T.le ? Py_LE
                    : kd == T.ge ? Py_GE
                    : kd == T.ne ? Py_NE
                    : kd == T.lt ? Py_LT
                                 : -1;
            if (n->op < 0) {
                n->k = K::CFallback;
                return n;
            }
            n->kids = {plan(getattr(o, N.left.ptr()).ptr()), plan(getattr(o, N.right.ptr()).ptr())};
        } else if (k == K::COp) {
            n->kind = getattr(o, N.kind.ptr());
            PyObject* kd = n->kind.ptr();
            if (kd != T.c_and && kd != T.c_or && kd != T.c_xor) {
                n->k = K::CFallback;
                return n;
            }
            Obj terms = getattr(o, N.terms.ptr());
            Obj seq = own(PySequence_Fast(terms.ptr(), "terms must be a sequence"));
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i)
                n->kids.push_back(plan_condition(PySequence_Fast_GET_ITEM(seq.ptr(), i)));
        }
        return n;
    }

private:
    Node* make(PyObject* o, K k) {
        Node* n = &nodes_.emplace_back();
        n->k = k;
        n->obj = o;
        n->hold = ref(o);
        return n;
    }

    static K kind_of(PyObject* o) {
        const Types& T = types();
        PyObject* t = (PyObject*)Py_TYPE(o);
        if (t == T.number) return K::Number;
        if (t == T.subscript) return K::Subscript;
        if (t == T.element) return K::Element;
        if (t == T.multi) return K::Multi;
        if (t == T.fold) return K::Fold;
        if (t == T.pair) return K::Pair;
        if (t == T.placeholder) return K::Placeholder;
        if (t == T.decvar) return K::DecVar;
        if (t == T.arraylen) return K::ArrayLength;
        if (t == T.unary) return K::Unary;
        return K::Fallback;
    }
    static K cond_kind_of(PyObject* o) {
        const Types& T = types();
        PyObject* t = (PyObject*)Py_TYPE(o);
        if (t == T.c_true) return K::CTrue;
        if (t == T.c_constraint || t == T.c_other) return K::CCompare;
        if (t == T.c_operator) return K::COp;
        return K::CFallback;
    }

    /// A leaf read for its attributes only (the indexed variable of a subscript).
    Node* leaf(PyObject* o) {
        const Types& T = types();
        if (is_instance(o, T.decvar)) return plan_as(o, K::DecVar);
        if (is_instance(o, T.placeholder)) return plan_as(o, K::Placeholder);
        return make(o, K::Fallback);
    }

    Node* array(PyObject* o) {
        const Types& T = types();
        if (is_instance(o, T.placeholder)) return plan_as(o, K::Placeholder);
        if (is_instance(o, T.subscript)) return plan_as(o, K::Subscript);
        return make(o, K::Fallback);
    }

    void kids_of(Node* n, PyObject* seq_obj) {
        Obj seq = own(PySequence_Fast(seq_obj, "expected a list of expressions"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i)
            n->kids.push_back(plan(PySequence_Fast_GET_ITEM(seq.ptr(), i)));
    }

    void fill(Node* n) {
        const Names& N = names();
        const Types& T = types();
        PyObject* o = n->obj;
        auto attr = [&](const Obj& name) { return getattr(o, name.ptr()); };
        switch (n->k) {
            case K::Number:
                n->value = attr(N.value);
                n->cached = Num::of(n->value.ptr());
                break;
            case K::Placeholder: n->name = attr(N.name); break;
            case K::Element:
                n->name = interned_name(attr(N.name));
                n->kids = {plan(attr(N.start).ptr()), plan(attr(N.end).ptr())};
                break;
            case K::DecVar:
                n->name = attr(N.name);
                n->kind = attr(N.kind);
                n->kids = {plan(attr(N.lower).ptr()), plan(attr(N.upper).ptr())};
                break;
            case K::Subscript:
                n->var = leaf(attr(N.variable).ptr());
                kids_of(n, attr(N.subscripts).ptr());
                break;
            case K::ArrayLength:
                n->var = array(attr(N.array).ptr());
                n->value = attr(N.axis);
                break;
            case K::Pair:
                n->kids = {plan(attr(N.left).ptr()), plan(attr(N.right).ptr())};
                n->kind = attr(N.kind);
                break;
            case K::Multi:
                kids_of(n, attr(N.operands).ptr());
                n->kind = attr(N.kind);
                break;
            case K::Fold: {
                Obj index = attr(N.index);
                n->var = Py_TYPE(index.ptr()) == (PyTypeObject*)T.element ? plan_as(index.ptr(), K::Element)
                                                                          : leaf_any(index.ptr());
                n->kids = {plan_condition(attr(N.condition).ptr()), plan(attr(N.operand).ptr())};
                n->kind = attr(N.kind);
                break;
            }
            case K::Unary:
                n->kids = {plan(attr(N.operand).ptr())};
                n->kind = attr(N.kind);
                break;
            default: break;
        }
        n->pure = purity(n);
    }

    static bool all_pure(const std::vector<Node*>& kids) {
        for (Node* k : kids)
            if (!k->pure) return false;
        return true;
    }

    /// Whether the subtree always substitutes to a constant (order 0, no terms).
    static bool purity(Node* n) {
        switch (n->k) {
            case K::Number:
            case K::Placeholder:
            case K::Element: return true;
            case K::Subscript: return n->var->k == K::Placeholder && all_pure(n->kids);
            case K::ArrayLength:
                return n->var->k == K::Placeholder ||
                       (n->var->k == K::Subscript && n->var->var->k == K::Placeholder && all_pure(n->var->kids));
            case K::Pair:
            case K::Multi:
            case K::Unary: return all_pure(n->kids);
            case K::Fold: return n->var->k == K::Element && all_pure(n->var->kids) && n->kids[1]->pure;
            default: return false;
        }
    }

    Node* leaf_any(PyObject* o) { return make(o, K::Fallback); }

    struct MemoKey {
        PyObject* o;
        K k;
        bool operator==(const MemoKey& m) const { return o == m.o && k == m.k; }
    };
    struct MemoHash {
        size_t operator()(const MemoKey& m) const { return std::hash<PyObject*>()(m.o) ^ (size_t)m.k; }
    };

    std::deque<Node> nodes_;
    std::unordered_map<MemoKey, Node*, MemoHash> memo_;  // (object, kind) -> its node
    std::unordered_set<PyObject*> open_conditions_;      // conditions being read
    uintptr_t floor_ = stack_floor();
};

}  // namespace qtx::engine
