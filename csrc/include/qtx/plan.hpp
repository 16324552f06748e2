// Plans: an expression tree read once into C++ nodes, so evaluation loops never look up
// Python attributes. The core's words: GLOSSARY.md beside this header.
#pragma once
#include "names.hpp"
#include "num.hpp"

#include <deque>
#include <memory>
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
        // held for good: the classes live as long as the interpreter
        auto cls = [](const char* name) { return tree_class(str(name)).release().ptr(); };
        auto member = [](const char* enumeration, const char* name) {
            return qtx::getattr(tree_class(str(enumeration)), str(name)).release().ptr();
        };
        auto attr = [](const char* module, const char* name) {
            return imported(str(module), str(name)).release().ptr();
        };
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

/// What the engine makes of a tree node: the package's own classes by class (conditions start
/// with C), anything else a fallback asked through its `substitute`.
enum class NodeType {
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

/// What the engine keeps on a node between its evaluations (a sum's kernel): the plan owns it.
struct NodeCache {
    virtual ~NodeCache() = default;
};

/// One tree node as the engine needs it; which fields are used depends on the kind.
struct Node {
    NodeType type = NodeType::Fallback;
    PyObject* obj = nullptr;  // the tree node, held by `hold`
    Obj hold;
    Obj name, kind, value;    // value: a Number's value, an ArrayLength's axis
    Node* var = nullptr;      // Subscript: the indexed leaf; ArrayLength: the array; Fold: the index
    std::vector<Node*> kids;  // operands, subscripts, bounds, sides, or (condition, operand)
    int op = 0;               // rich-comparison operator of a comparison
    bool pure = false;        // data only: no decision variable or foreign node below
    bool done = false;        // fully read: a node met again before is inside its own subtree
    Num cached;               // a Number's value, a Placeholder's or a whole array's length once read
    // a pure subtree of ints as a postfix program (see Engine::int_value): 0 not compiled yet,
    // 1 compiled into `ints`, -1 not made of such nodes
    int8_t ints_state = 0;
    int8_t mono_state = 0;  // as an operand of a sum: 1 a monomial (Engine::monomial_operand), -1 not
    std::vector<struct IntOp> ints;
    std::unique_ptr<NodeCache> cache;
};

/// One step of an int program: push a constant, an element's value or a placeholder's, or
/// combine the two values on top.
struct IntOp {
    enum Code : uint8_t { Const, Elem, Value, Add, Mul, Mod } code;
    int64_t v = 0;
    Node* node = nullptr;  // Elem, Value: the node read

    /// l = l (code) r for Add, Mul, Mod; false when the result leaves int64 or the modulo is not
    /// one of a non-negative by a positive number (the caller then takes the general path).
    static bool combine(Code code, int64_t& l, int64_t r) {
        if (code == Add) return !__builtin_add_overflow(l, r, &l);
        if (code == Mul) return !__builtin_mul_overflow(l, r, &l);
        if (r <= 0 || l < 0) return false;
        // wrap-arounds like (t + 1) % N need no division, which costs tens of cycles
        if (l >= r) l = l - r < r ? l - r : l % r;
        return true;
    }
};

/// Runs an int program, `read(op, value)` giving each element's and placeholder's value (false:
/// not an int here). False when a read fails, a step leaves int64 or the program is too deep.
template <class Read>
inline bool run_int_program(const std::vector<IntOp>& ops, int64_t& out, Read&& read) {
    int64_t stack[40];
    size_t top = 0;
    for (const IntOp& op : ops) {
        if (top >= 40) return false;
        if (op.code == IntOp::Const) {
            stack[top++] = op.v;
        } else if (op.code == IntOp::Elem || op.code == IntOp::Value) {
            if (!read(op, stack[top])) return false;
            ++top;
        } else {
            if (top < 2) return false;
            int64_t r = stack[--top];
            if (!IntOp::combine(op.code, stack[top - 1], r)) return false;
        }
    }
    if (top != 1) return false;
    out = stack[0];
    return true;
}

/// SubstituteError for a tree that loops back on itself: evaluating it would never end.
[[noreturn]] inline void cyclic_tree(nb::handle o) {
    raise_substitute(std::string("The expression tree is cyclic: a ") + qtx::type_name(o) +
                     " node is among its own operands (directly or further down). Build the tree from new nodes.");
}

class Planner {
public:
    Node* plan(nb::handle o) { return plan_as(o, type_of(o)); }

    /// Plans `node` as a node of type `type` (the root is planned by the class whose method ran).
    /// Shared subtrees are read once; a node met again while it is still being read lies in
    /// its own subtree.
    Node* plan_as(nb::handle node, NodeType type) {
        PyObject* o = node.ptr();
        auto it = memo_.find(MemoKey{o, type});
        if (it != memo_.end()) {
            if (!it->second->done) cyclic_tree(o);
            return it->second;
        }
        // deep trees: evaluation recurses as deep as this. Python's limit is honoured, and the
        // C stack itself is checked, for callers that raise that limit.
        if (stack_exhausted(floor_)) stack_overflow("while reading an expression tree");
        Node* n = make(o, type);
        memo_[MemoKey{o, type}] = n;
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

    Node* plan_condition(nb::handle o) { return plan_cond_as(o, condition_type_of(o)); }

    /// Whether any tree planned here holds an index element (a model written out term by term
    /// holds none: nothing in it can read one unbound).
    bool has_elements() const { return elements_ != 0; }

    /// Forgets what the nodes learnt of the data they were last evaluated with (placeholders'
    /// values, the int programs built on them), so that the plan serves other data; what they
    /// hold of the tree's shape stays. Sums' kernels are made again by every new engine.
    void forget_data() {
        for (Node& n : nodes_) {
            if (n.type == NodeType::Placeholder || n.type == NodeType::ArrayLength) n.cached = Num();
            n.ints_state = 0;
            n.ints.clear();
        }
    }

    Node* plan_cond_as(nb::handle condition, NodeType type) {
        PyObject* o = condition.ptr();
        if (stack_exhausted(floor_)) stack_overflow("while reading a condition");
        if (!open_conditions_.insert(o).second) cyclic_tree(o);
        if (Py_EnterRecursiveCall(" while reading a condition")) fail();
        try {
            Node* n = fill_condition(o, type);
            Py_LeaveRecursiveCall();
            open_conditions_.erase(o);
            return n;
        } catch (...) {
            Py_LeaveRecursiveCall();
            open_conditions_.erase(o);
            throw;
        }
    }

    Node* fill_condition(PyObject* o, NodeType type) {
        Node* n = make(o, type);
        const Types& tree = types();
        const Names& field = names();
        if (type == NodeType::CCompare) {
            n->kind = qtx::getattr(o, field.kind);
            PyObject* kind = n->kind.ptr();
            n->op = kind == tree.eq   ? Py_EQ
                    : kind == tree.le ? Py_LE
                    : kind == tree.ge ? Py_GE
                    : kind == tree.ne ? Py_NE
                    : kind == tree.lt ? Py_LT
                                      : -1;
            if (n->op < 0) {
                n->type = NodeType::CFallback;
                return n;
            }
            n->kids = {plan(qtx::getattr(o, field.left)), plan(qtx::getattr(o, field.right))};
        } else if (type == NodeType::COp) {
            n->kind = qtx::getattr(o, field.kind);
            PyObject* kind = n->kind.ptr();
            if (kind != tree.c_and && kind != tree.c_or && kind != tree.c_xor) {
                n->type = NodeType::CFallback;
                return n;
            }
            for (nb::handle term : FastSequence(qtx::getattr(o, field.terms), "terms must be a sequence"))
                n->kids.push_back(plan_condition(term));
        }
        return n;
    }

private:
    Node* make(PyObject* o, NodeType type) {
        Node* n = &nodes_.emplace_back();
        elements_ += type == NodeType::Element;
        n->type = type;
        n->obj = o;
        n->hold = ref(o);
        return n;
    }

    static NodeType type_of(nb::handle o) {
        const Types& tree = types();
        PyObject* t = (PyObject*)Py_TYPE(o.ptr());
        if (t == tree.number) return NodeType::Number;
        if (t == tree.subscript) return NodeType::Subscript;
        if (t == tree.element) return NodeType::Element;
        if (t == tree.multi) return NodeType::Multi;
        if (t == tree.fold) return NodeType::Fold;
        if (t == tree.pair) return NodeType::Pair;
        if (t == tree.placeholder) return NodeType::Placeholder;
        if (t == tree.decvar) return NodeType::DecVar;
        if (t == tree.arraylen) return NodeType::ArrayLength;
        if (t == tree.unary) return NodeType::Unary;
        return NodeType::Fallback;
    }
    static NodeType condition_type_of(nb::handle o) {
        const Types& tree = types();
        PyObject* t = (PyObject*)Py_TYPE(o.ptr());
        if (t == tree.c_true) return NodeType::CTrue;
        if (t == tree.c_constraint || t == tree.c_other) return NodeType::CCompare;
        if (t == tree.c_operator) return NodeType::COp;
        return NodeType::CFallback;
    }

    /// A leaf read for its attributes only (the indexed variable of a subscript).
    Node* leaf(nb::handle o) {
        const Types& tree = types();
        if (is_instance(o, tree.decvar)) return plan_as(o, NodeType::DecVar);
        if (is_instance(o, tree.placeholder)) return plan_as(o, NodeType::Placeholder);
        return make(o.ptr(), NodeType::Fallback);
    }

    Node* array(nb::handle o) {
        const Types& tree = types();
        if (is_instance(o, tree.placeholder)) return plan_as(o, NodeType::Placeholder);
        if (is_instance(o, tree.subscript)) return plan_as(o, NodeType::Subscript);
        return make(o.ptr(), NodeType::Fallback);
    }

    void kids_of(Node* n, nb::handle expressions) {
        for (nb::handle kid : FastSequence(expressions, "expected a list of expressions")) n->kids.push_back(plan(kid));
    }

    void fill(Node* n) {
        const Names& field = names();
        const Types& tree = types();
        PyObject* o = n->obj;
        auto attr = [&](const Obj& name) { return qtx::getattr(o, name); };
        switch (n->type) {
            case NodeType::Number:
                n->value = attr(field.value);
                n->cached = Num::of(n->value);
                break;
            case NodeType::Placeholder: n->name = attr(field.name); break;
            case NodeType::Element:
                n->name = interned_name(attr(field.name));
                n->kids = {plan(attr(field.start)), plan(attr(field.end))};
                break;
            case NodeType::DecVar:
                n->name = attr(field.name);
                n->kind = attr(field.kind);
                n->kids = {plan(attr(field.lower)), plan(attr(field.upper))};
                break;
            case NodeType::Subscript:
                n->var = leaf(attr(field.variable));
                kids_of(n, attr(field.subscripts));
                break;
            case NodeType::ArrayLength:
                n->var = array(attr(field.array));
                n->value = attr(field.axis);
                break;
            case NodeType::Pair:
                n->kids = {plan(attr(field.left)), plan(attr(field.right))};
                n->kind = attr(field.kind);
                break;
            case NodeType::Multi:
                kids_of(n, attr(field.operands));
                n->kind = attr(field.kind);
                break;
            case NodeType::Fold: {
                Obj index = attr(field.index);
                n->var = Py_TYPE(index.ptr()) == (PyTypeObject*)tree.element ? plan_as(index, NodeType::Element)
                                                                             : leaf_any(index);
                n->kids = {plan_condition(attr(field.condition)), plan(attr(field.operand))};
                n->kind = attr(field.kind);
                break;
            }
            case NodeType::Unary:
                n->kids = {plan(attr(field.operand))};
                n->kind = attr(field.kind);
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
        switch (n->type) {
            case NodeType::Number:
            case NodeType::Placeholder:
            case NodeType::Element: return true;
            case NodeType::Subscript: return n->var->type == NodeType::Placeholder && all_pure(n->kids);
            case NodeType::ArrayLength:
                return n->var->type == NodeType::Placeholder ||
                       (n->var->type == NodeType::Subscript && n->var->var->type == NodeType::Placeholder &&
                        all_pure(n->var->kids));
            case NodeType::Pair:
            case NodeType::Multi:
            case NodeType::Unary: return all_pure(n->kids);
            case NodeType::Fold: return n->var->type == NodeType::Element && all_pure(n->var->kids) && n->kids[1]->pure;
            default: return false;
        }
    }

    Node* leaf_any(nb::handle o) { return make(o.ptr(), NodeType::Fallback); }

    struct MemoKey {
        PyObject* o;
        NodeType type;
        bool operator==(const MemoKey& m) const { return o == m.o && type == m.type; }
    };
    struct MemoHash {
        size_t operator()(const MemoKey& m) const { return std::hash<PyObject*>()(m.o) ^ (size_t)m.type; }
    };

    std::deque<Node> nodes_;
    size_t elements_ = 0;                                // nodes of type Element
    std::unordered_map<MemoKey, Node*, MemoHash> memo_;  // (object, type) -> its node
    std::unordered_set<PyObject*> open_conditions_;      // conditions being read
    uintptr_t floor_ = stack_floor();
};

}  // namespace qtx::engine
