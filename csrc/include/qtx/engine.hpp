// The substitution engine: instantiates a whole expression tree against instance data in C++.
//
// A tree is first read into a plan (its attributes fetched once), then evaluated into Poly
// values. Nodes of the package's own classes are evaluated here; any other node (a user
// subclass, say) is asked through its public `substitute`. Only the result becomes a
// SubstitutedExpression.
//
// This header holds the engine's state, its dispatch and its results; each node family is
// evaluated in a header of its own, its constant path (data-only subtrees) beside the full one:
// engine_data.hpp, engine_variables.hpp, engine_operators.hpp, engine_folds.hpp. The core's
// words (plan, bindings, views, kernel, rows, parts): GLOSSARY.md beside this header.
#pragma once
#include "bindings.hpp"
#include "data_view.hpp"
#include "native_num.hpp"
#include "poly.hpp"
#include "plan.hpp"
#include "registry.hpp"
#include "seen_index.hpp"

#include <exception>
#include <memory>
#include <unordered_map>
#include <vector>

namespace qtx::engine {

/// Operand polynomials, inline for the common few.
class SmallPolys {
public:
    explicit SmallPolys(size_t n) : n_(n) {
        if (n > 4) heap_.resize(n);
    }
    Poly& operator[](size_t i) { return n_ > 4 ? heap_[i] : inline_[i]; }
    Poly* begin() { return n_ > 4 ? heap_.data() : inline_; }
    Poly* end() { return begin() + n_; }
    bool empty() const { return n_ == 0; }
    size_t size() const { return n_; }

private:
    size_t n_;
    Poly inline_[4];
    std::vector<Poly> heap_;
};

/// Subscript values of one access: ints, or Python objects when they do not fit.
struct Index {
    static constexpr size_t kMax = 8;
    int64_t v[kMax];
    size_t n = 0;
    Obj big;  // the Python index tuple when some value is not a machine int
};

class Engine {
public:
    /// `known`: the variables met before by a compile's earlier items (all of the same
    /// registry), shared and extended; none: this substitution's own. A null `var_map`: a
    /// throw-away registry (ranges, conditions, shapes), made when first asked for: most
    /// such evaluations meet no variable.
    Engine(nb::handle var_map, nb::handle data, KnownVariables* known = nullptr)
        : known_(known ? known : &own_known_),
          var_map_(var_map.ptr()),
          data_(data.ptr()),
          views_(data),
          fast_registry_(!var_map || var_map.type().is(types().registry_cls)),
          // our own registry and instance data never look at element bindings
          bindings_(data, fast_registry_ && data.type().is(types().data_cls)) {}

    /// The registry variables go to (the throw-away one made now if need be).
    PyObject* registry() {
        if (!var_map_) {
            throwaway_ = empty_registry();
            var_map_ = throwaway_.ptr();
        }
        return var_map_;
    }

    Poly eval(Node* n) {
        // evaluation recurses as deep as the plan; its frames are larger than the planner's
        if (stack_exhausted(floor_)) stack_overflow("while substituting an expression tree");
        if (n->pure) return constant(value(n));
        switch (n->type) {
            case NodeType::Number: return constant(Num::of(n->value));
            case NodeType::Element: return constant(element_value(n));
            case NodeType::Placeholder: return constant(Num::steal(views_.whole(n->name)));
            case NodeType::DecVar: return decision_variable(n);
            case NodeType::Subscript: return subscript(n);
            case NodeType::ArrayLength: return array_length(n);
            case NodeType::Pair: return pair(n);
            case NodeType::Multi: return multi(n);
            case NodeType::Fold: return fold(n);
            case NodeType::Unary: return unary(n);
            default: return fallback(n);
        }
    }

    bool test(Node* n) {
        const Types& tree = types();
        switch (n->type) {
            case NodeType::CTrue: return true;
            case NodeType::CCompare: {
                Poly l = eval(n->kids[0]);
                Poly r = eval(n->kids[1]);
                if (!l.terms.empty() || !r.terms.empty())
                    raise_substitute("Conditions must not contain decision variables.");
                if (l.constant.tag() == Num::Object || r.constant.tag() == Num::Object)
                    return truth(own(PyObject_RichCompare(l.constant.py().ptr(), r.constant.py().ptr(), n->op)));
                return num_compare(l.constant, r.constant, n->op);
            }
            case NodeType::COp: {
                if (stack_exhausted(floor_)) stack_overflow("while testing a condition");
                if (n->kind.is(tree.c_and)) {
                    for (Node* t : n->kids)
                        if (!test(t)) return false;
                    return true;
                }
                if (n->kind.is(tree.c_or)) {
                    for (Node* t : n->kids)
                        if (test(t)) return true;
                    return false;
                }
                bool odd = false;
                for (Node* t : n->kids) odd ^= test(t);
                return odd;
            }
            default: return truth(callout(n->obj, names().substitute));
        }
    }

    /// The value of `n` when it is a machine int of constants and placeholders alone (a
    /// shape's size, which no index binds); false for any other node or value.
    bool constant_int(Node* n, int64_t& out);

    /// eval(root), except that a root `base ** 2` whose base has terms, each of one variable,
    /// gives its base unexpanded and sets `squared` (poly_power(base, 2) is the value).
    Poly eval_square(Node* root, bool& squared, Num* scale = nullptr) {
        // c * (base)^2 with c a plain non-zero number (a weight written in the model): the base,
        // and c in `scale`, when a caller reads the scale
        Node* square = root;
        Poly first;
        if (scale && root->type == NodeType::Multi && root->kind.is(types().mul) && root->kids.size() == 2 &&
            root->kids[0]->pure && root->kids[1]->type == NodeType::Pair && root->kids[1]->kind.is(types().pow)) {
            first = eval(root->kids[0]);  // as multi() evaluates it, first
            const Num& c = first.constant;
            if (first.terms.empty() && (c.tag() == Num::Int || c.tag() == Num::Float) && num_nonzero(c))
                square = root->kids[1];
        }
        square_root_ = square;
        squared_ = false;
        Poly p = eval(square);
        squared = squared_;
        square_root_ = nullptr;
        squared_ = false;
        if (square == root) return p;
        if (squared) {
            *scale = first.constant;
            return p;
        }
        combine(root, 1, [&] { poly_mul(first, std::move(p)); });  // c * the expanded square, as multi() makes it
        return first;
    }

    /// eval(root), except that when the root is a sum over an index its operands' terms are
    /// left unmerged: `parts` receives them in order and the result holds no terms. When the
    /// root's operand is itself a sum, its operands' terms are the parts, and a part's group
    /// tells its outer value (0, 1, ...); otherwise every part is a group of its own. Adding
    /// up each group's parts in order, then the groups in order, gives exactly eval(root)'s
    /// terms (see merge_parts); the native route merges them with the rest of the model.
    Poly eval_parts(Node* root, Parts& parts) {
        parts_ = &parts;
        struct Reset {
            Engine& e;
            ~Reset() { e.parts_ = nullptr, e.parts_root_ = nullptr; }
        } reset{*this};
        if (root->type == NodeType::Multi && root->kind.is(types().add) && root->kids.size() > 1)
            return add_parts(root);
        parts_root_ = root;
        return eval(root);
    }

    /// Forgets what was read from the data's bindings and fixed values: for callers that
    /// rebind elements, or run Python code, between evaluations.
    void rebind() {
        bindings_.reload();
        fixed_ = Obj();
    }

    /// range(int(start), int(end)) of an index element's evaluated bounds; bounds past 64-bit
    /// ints are refused, as a sum's are (a forall over such a range filled the memory first).
    Obj index_range(Node* el) {
        Poly s = eval(el->kids[0]);
        Poly e = eval(el->kids[1]);
        if (!s.terms.empty() || !e.terms.empty()) raise_substitute("Range bounds must not contain decision variables.");
        Obj start = to_int(s.constant.py()), end = to_int(e.constant.py());
        range_bound(el, start, "start");
        range_bound(el, end, "end");
        return call(&PyRange_Type, {start, end});
    }

    /// The values of index_range(el) in runs where `cond` (null: none), a comparison of the
    /// index with what is known already (kernel_condition), can hold: an iterable that skips
    /// the values it refuses, or index_range(el) itself when the runs cannot be told.
    Obj index_runs(Node* el, Node* cond) {
        Obj whole = index_range(el);
        if (!cond || !kernel_condition(cond, el->name)) return whole;
        long long lo = 0, hi = 0;
        range_of(el, lo, hi);
        Runs runs;
        runs.from[0] = lo, runs.to[0] = hi, runs.n = 1;
        // what the comparison reads is read the general way (a forall's engine has read nothing)
        if (hi - lo <= 64 || !narrow_runs(cond, el->name, runs, 0, true)) return whole;
        nb::list parts;
        for (size_t r = 0; r < runs.n; ++r)
            parts.append(call(&PyRange_Type, {integer(runs.from[r]), integer(runs.to[r])}));
        return call_method(QTX_IMPORT("itertools", "chain"), QTX_NAME("from_iterable"), {parts});
    }

    /// The SubstitutedExpression of a finished polynomial: the object it was read from, when it
    /// came from a node outside the engine (operators hand back their first operand's object).
    Obj result(Poly&& p) {
        share_ints_for(p.terms.size(), max_index(p.terms));
        Obj coeff = terms_dict(p.terms, [&](int32_t i) { return index_object(i); });
        if (p.origin) {
            poly_write(p.origin, p, coeff);
            return p.origin;
        }
        return call(types().poly_cls, {coeff, p.constant.py(), p.order.py()});
    }

    /// The same for a polynomial whose terms eval_parts left in parts: the dict is filled
    /// group by group, each group's parts merged first, so its keys and values are those of
    /// merge_parts without a map of all the terms. Empties `parts`.
    Obj result(Poly&& p, Parts& parts) {
        if (parts.empty()) return result(std::move(p));
        int64_t top = 0;
        for (size_t i = 0; i < parts.size(); ++i) top = std::max(top, max_index(parts.begin(i), parts.end(i)));
        size_t count = parts.total();
        share_ints_for(count, top);
#if PY_VERSION_HEX < 0x030D0000
        Obj coeff = own(_PyDict_NewPresized((Py_ssize_t)count));  // room for the keys if all distinct
#else
        Obj coeff = own(PyDict_New());
#endif
        SignalPoll poll;
        auto put = [&](const Terms::Entry* from, const Terms::Entry* to) {
            poll.tick((size_t)(to - from));
            for (const auto* e = from; e != to; ++e) {
                Obj key = key_tuple(e->key, [&](int32_t x) { return index_object(x); });
                Obj v = e->val.py();
                // a key already there leaves the size as it was (values may be shared objects)
                Py_ssize_t size = PyDict_GET_SIZE(coeff.ptr());
                PyObject* old = PyDict_SetDefault(coeff.ptr(), key.ptr(), v.ptr());
                if (!old) fail();
                if (PyDict_GET_SIZE(coeff.ptr()) == size) dict_set(coeff, key, num_add(Num::of(old), e->val).py());
            }
        };
        std::vector<uint64_t> seen;
        for (size_t i = 0; i < parts.size();) {
            size_t end = i + 1;
            while (end < parts.size() && parts.group(end) == parts.group(i)) ++end;
            if (distinct_keys(parts, i, end, seen)) {
                // no key twice within the group: its sum is its parts one after the other
                for (; i < end; ++i) put(parts.begin(i), parts.end(i));
                continue;
            }
            Terms merged = merge_in_order(parts, i, end);
            put(merged.begin(), merged.end());
            i = end;
        }
        parts.clear();
        return call(types().poly_cls, {coeff, p.constant.py(), p.order.py()});
    }

private:
    /// Whether parts [from, to) have no key in common, told by their keys' hashes: equal hashes
    /// count as a common key, which only costs the caller the general path.
    static bool distinct_keys(const Parts& parts, size_t from, size_t to, std::vector<uint64_t>& set) {
        if (to - from == 1) return true;  // one part is a map: its keys are distinct
        size_t count = 0;
        for (size_t i = from; i < to; ++i) count += parts.terms(i);
        size_t slots = 16;
        while (slots < count * 2) slots *= 2;
        set.assign(slots, 0);
        size_t mask = slots - 1;
        for (size_t i = from; i < to; ++i)
            for (const auto* e = parts.begin(i); e != parts.end(i); ++e) {
                uint64_t h = e->key.hash() | 1;  // 0 marks a free slot
                size_t s = (size_t)(h ^ (h >> 29)) & mask;
                for (; set[s]; s = (s + 1) & mask)
                    if (set[s] == h) return false;
                set[s] = h;
            }
        return true;
    }

    static int64_t max_index(const Terms::Entry* from, const Terms::Entry* to) {
        int64_t top = 0;
        for (const auto* e = from; e != to; ++e)
            for (uint32_t i = 0; i < e->key.size(); ++i) top = std::max<int64_t>(top, e->key.data()[i]);
        return top;
    }
    static int64_t max_index(const Terms& terms) { return max_index(terms.begin(), terms.end()); }

    // big results share one int object per variable index, when the indices they use are
    // dense enough for a table to pay off
    void share_ints_for(size_t count, int64_t top) { share_ints_ = count >= 256 && (int64_t)count * 8 > top; }

    Obj index_object(int32_t i) {
        if (i < 0 || !share_ints_) return own(PyLong_FromLong(i));
        if ((size_t)i >= ints_.size()) ints_.resize((size_t)i + 1);
        Obj& o = ints_[(size_t)i];
        if (!o) o = own(PyLong_FromLong(i));
        return o;
    }

    static Poly constant(Num v) {
        Poly p;
        p.constant = std::move(v);
        p.order = Num::of_int(0);
        return p;
    }

    static Poly variable_poly(int32_t index) {
        Poly p;
        Key k(1);
        k.data()[0] = index;
        p.terms.store(std::move(k), Num::of_int(1));
        p.constant = Num::of_int(0);
        p.order = Num::of_int(1);
        return p;
    }

    Num element_value(Node* n) { return bindings_.value(n->name); }
    void bind(nb::handle name, int64_t v) { bindings_.bind(name, v); }
    void flush() { bindings_.flush(); }

    /// Open while a fold loops. A fold's end writes its bindings to the dict only when no
    /// enclosing fold still runs: the outermost one writes every binding left (Python code
    /// in between is preceded by a flush all the same), so a row of a nested sum writes none.
    struct FoldScope {
        Engine& e;
        explicit FoldScope(Engine& e) : e(e) { ++e.open_folds_; }
        ~FoldScope() { --e.open_folds_; }
        FoldScope(const FoldScope&) = delete;
        FoldScope& operator=(const FoldScope&) = delete;
    };
    void fold_done() {
        if (open_folds_ == 1) flush();
    }

    // ---- calls into Python-level nodes; they may rebind anything read from the data ----

    Obj callout(nb::handle obj, nb::handle method) {
        flush();
        Obj r = own(PyObject_CallMethodObjArgs(obj.ptr(), method.ptr(), registry(), data_, nullptr));
        bindings_.reload();
        fixed_ = Obj();
        return r;
    }

    Poly fallback(Node* n) {
        Obj r = callout(n->obj, names().substitute);
        Poly p = poly_read(r);
        p.origin = r;
        return p;
    }

    /// The value of a data-only subtree, computed without polynomials: it is the constant that
    /// substitution would give (such subtrees have no terms and order 0). Each family's constant
    /// path sits beside its polynomial one.
    Num value(Node* n) {
        if (stack_exhausted(floor_)) stack_overflow("while substituting an expression tree");
        switch (n->type) {
            case NodeType::Number: return n->cached;
            case NodeType::Element: return element_value(n);
            case NodeType::Placeholder:
                // instance data is read-only during a substitution
                if (n->cached.empty()) n->cached = Num::steal(views_.whole(n->name));
                return n->cached;
            case NodeType::Subscript: return data_value(n);
            case NodeType::ArrayLength:
                // a whole array's length, like a placeholder's value, holds for the whole substitution
                if (n->var->type != NodeType::Placeholder) return array_length(n).constant;
                if (n->cached.empty()) n->cached = array_length(n).constant;
                return n->cached;
            case NodeType::Pair: return pair_value(n);
            case NodeType::Multi: return multi_value(n);
            case NodeType::Unary: return unary(n).constant;
            case NodeType::Fold: return fold_value(n);
            default: return eval(n).constant;
        }
    }

    // ---- data: subscripts of placeholders, index values, array lengths (engine_data.hpp) ----

    Num data_value(Node* n);
    Poly array_length(Node* n);

    /// int(start) and int(end) of an index element's evaluated bounds.
    void range_of(Node* el, long long& lo, long long& hi);
    /// The int bound of element `el`'s range, refused past 64-bit ints.
    long long range_bound(Node* el, const Obj& v, const char* which) {
        long long out = PyLong_AsLongLong(v.ptr());
        if (out == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) fail();
            PyErr_Clear();
            raise_substitute("The " + std::string(which) + " of the range of element `" + to_string(el->name) +
                             "` is " + to_string(v) + ", beyond 64-bit ints: check the data that sets it.");
        }
        return out;
    }

    bool int_value(Node* n, int64_t& out);

    /// The evaluated subscripts of an access: machine ints when they fit.
    void index_of(const std::vector<Node*>& subs, Index& ix);

    static Obj tuple_of(const Index& ix);

    // ---- decision variables (engine_variables.hpp) ----

    PyObject* fixed_variables();

    /// The fixed value of label[subs] (subs built on demand), or an empty Num.
    Num fixed_value(nb::handle label, const Index& ix);

    int32_t register_binary(nb::handle label, nb::handle subs);

    int32_t register_integer(nb::handle label, nb::handle subs, nb::handle lower, nb::handle upper);

    Poly decision_variable(Node* n);

    /// A subscript resolved: a data value or fixed value (`value`), or a registered variable.
    struct Access {
        Num value;
        int32_t index = -1;
    };

    Access access(Node* n);

    Poly subscript(Node* n);

    int32_t integer_subscript(Node* var, nb::handle subs);

    /// Bounds are data: a decision variable there would be silently dropped.
    static void check_bounds(const Poly& lo, const Poly& hi);

    /// A bound array indexed at the variable's subscripts, unless it is zero-dimensional.
    static Obj element_bound(const Obj& bound, nb::handle label, nb::handle subs);

    // ---- operators (engine_operators.hpp) ----

    Num pair_value(Node* n);
    Num multi_value(Node* n);
    /// The product of two constant polynomials: `mul` tests both constants against 0.0 first,
    /// which fails for arrays.
    static Num mul_constants(const Num& a, const Num& b);

    static Num remainder(const Num& l, const Num& r);

    Poly pair(Node* n);

    /// Folds operand i into the accumulator. Operands are folded as they come, but every
    /// operand is substituted before an arithmetic error reaches the caller, as when all are
    /// substituted first: the later ones still register their variables (or fail first).
    template <class F>
    void combine(Node* n, size_t i, F&& step);

    Poly multi(Node* n);

    Poly unary(Node* n);

    // ---- folds (engine_folds.hpp) ----

    template <class Step>
    void each_index(Node* n, Step&& step, size_t* count = nullptr);
    Poly fold(Node* n);
    Poly fold_parts(Node* n, uint32_t group);
    void push_part(Terms&& t, uint32_t group) { parts_->push(std::move(t), group); }
    Poly add_parts(Node* n);
    Num fold_value(Node* n);

    // ---- sums of monomials (engine_monomials.hpp) ----

    /// A product of data factors and variables at one index value: at most one term. Its
    /// numbers are Nums, or Natives in the kernels' loops.
    template <class N>
    struct MonoOf {
        static constexpr size_t kMax = 8;
        bool term = false;
        uint32_t nv = 0;
        int32_t vars[kMax];  // the term's variables, ascending
        N val, constant, order;
        N value[kMax];  // each factor's value (empty for a variable), as monomial() read them
        Key key() const { return Key(vars, nv); }
    };
    using Mono = MonoOf<Num>;
    bool monomial_operand(Node* n);
    bool monomial(Node* n, Mono& m);
    template <class M, class Factor>
    static bool mono_product(size_t count, M& m, Factor&& factor);
    bool known_variable(Node* n, int32_t& index);

    /// A sum over a native range, without a condition, of a monomial: its factors read once per
    /// engine (kept on the sum's node, so a sum evaluated again for other outer values is not
    /// read again), then each index value only computes what depends on it: the variables,
    /// found in their lines of the seen index's box (any axis, any invariant subscripts), and the
    /// data entries that read the index, straight from their buffers. The arithmetic is that of
    /// monomial() (mono_product), so keys, values and number kinds are the same.
    struct RangeKernel final : NodeCache {
        enum State : uint8_t { Untried, Ready, Off } state = Untried;
        struct Factor {
            // Constant: data that does not read the index; Data: an entry of a numeric buffer at
            // subscripts that are invariant, the index or the index shifted; Variable: a decision
            // variable's subscript; Bound: other data that reads the index, evaluated bound
            enum Kind : uint8_t { Constant, Data, Variable, Bound } kind = Constant;
            Node* node = nullptr;
            size_t n = 0;              // subscripts (Data, Variable)
            uint8_t how[Index::kMax];  // 0 invariant, 1 the index itself, 2 an int program,
                                       // 3 index + add[s], modulo mod[s] when that is not 0
            int64_t add[Index::kMax], mod[Index::kMax];
            int64_t v[Index::kMax];      // the subscripts; the invariant ones set per evaluation
            Num value;                   // Constant: per evaluation
            Native native;               // the same
            SeenIndex* seen = nullptr;   // Variable
            const View* view = nullptr;  // Data
            bool line = false;           // Variable: the invariant subscripts lie in the box, at `base`
            int64_t base = 0;
            uint64_t generation = ~0ULL;  // of the seen index, when `line` and `base` were found
        } f[Mono::kMax];
        size_t count = 0;
        uint64_t engine = 0;      // the engine whose indices and buffers the factors point to
        bool bindless = false;    // nothing reads the bindings: the index need not be bound
        bool same_value = false;  // no factor reads the index but variables: one coefficient
        bool distinct = false;    // no two index values give the same key (see distinct_keys)
        Mono mono;                // the product at one value; with same_value, at every value
        MonoOf<Native> fast;      // the product at one value, in range_run()
        Num order;                // every value's order: the number of variables
    };
    RangeKernel& kernel_of(Node* fold);
    static bool reads_index(Node* n, nb::handle name, int depth = 0);
    static bool distinct_keys(const RangeKernel& k, size_t count);
    static bool shifted_index(Node* sub, nb::handle name, int64_t& add, int64_t& mod);
    static bool shifted(int64_t t, int64_t add, int64_t mod, int64_t& out);
    bool peek_int(Node* n, int64_t& out);
    bool peek_value(Node* n, Num& out);
    void kernel_setup(RangeKernel& k, Node* fold);
    bool kernel_prepare(RangeKernel& k, const Mono* first, size_t count);
    bool kernel_step(RangeKernel& k, Poly& acc, int64_t t, bool run, bool* registered = nullptr);
    int32_t register_met(RangeKernel::Factor& f);
    int64_t range_run(RangeKernel& k, Poly& acc, int64_t from, int64_t to);
    Poly kernel_fold(Node* n);
    /// The values of a range a kernel's condition lets through, as runs [from, to) in order.
    struct Runs {
        static constexpr size_t kMax = 8;
        int64_t from[kMax], to[kMax];
        size_t n = 0;
    };
    static bool kernel_condition(Node* cond, nb::handle name, int depth = 0);
    bool narrow_runs(Node* cond, nb::handle name, Runs& runs, int depth = 0, bool general = false);
    void add_operand(Poly& acc, Node* operand);
    void add_mono(Poly& acc, Mono& m);
    Poly eval_operand(Node* operand);

    KnownVariables own_known_;
    KnownVariables* known_;  // label -> subscripts -> index
    PyObject* var_map_;
    Obj throwaway_;  // the registry made by registry(), when asked
    PyObject* data_;
    Parts* parts_ = nullptr;  // see eval_parts
    Node* parts_root_ = nullptr;
    Node* square_root_ = nullptr;  // see eval_square
    bool squared_ = false;
    uintptr_t floor_ = stack_floor();
    SignalPoll poll_;
    int open_folds_ = 0;  // folds looping now (FoldScope)
    DataViews views_;
    bool fast_registry_;
    bool no_fixed_ = false;
    Obj fixed_;
    std::vector<Obj> ints_;  // Python ints of variable indices, for the result's keys
    bool share_ints_ = false;
    Bindings bindings_;
    uint64_t serial_ = next_serial();  // tells the engines apart, for what nodes keep

    static uint64_t next_serial() {
        static uint64_t serial = 0;
        return ++serial;
    }

    PyObject* last_label_ = nullptr;
    SeenIndex* last_seen_ = nullptr;
    Mono mono_;  // scratch of add_operand and eval_operand
};

/// Pauses the cyclic collector: substitution makes many small acyclic objects.
class GcPause {
public:
    GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
        was_ = PyGC_Disable();
#endif
    }
    ~GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
        if (was_) PyGC_Enable();
#endif
    }

    /// Runs `f`, the caller's own Python code (a progress callback), with the collector as the
    /// caller left it, and keeps what `f` does to it: a gc.disable() there stays in force.
    template <class F>
    void around(F&& f) {
#if PY_VERSION_HEX >= 0x030A0000
        if (was_) PyGC_Enable();
        struct Again {
            int& was;
            ~Again() { was = PyGC_Disable(); }  // on after f: to switch on again at the end
        } again{was_};
#endif
        f();
    }

private:
    int was_ = 0;
};

/// `node._substitute(var_map, instance_data)` of a node whose class is evaluated as `type`.
template <NodeType type>
Obj substitute_entry(nb::handle node, nb::handle var_map, nb::handle instance_data) {
    GcPause pause;
    Planner planner;
    Node* root = planner.plan_as(node, type);
    Engine engine(var_map, instance_data);
    if (type != NodeType::Fold) return engine.result(engine.eval(root));
    // a sum's terms go to the dict without a map of them all
    Parts parts;
    Poly p = engine.eval_parts(root, parts);
    return engine.result(std::move(p), parts);
}

/// `element.get_index_values(var_map, instance_data)`.
inline Obj range_entry(nb::handle element, nb::handle var_map, nb::handle instance_data) {
    Planner planner;
    Node* root = planner.plan_as(element, NodeType::Element);
    Engine engine(var_map, instance_data);
    return engine.index_range(root);
}

}  // namespace qtx::engine

#include "engine_data.hpp"
#include "engine_folds.hpp"
#include "engine_monomials.hpp"
#include "engine_operators.hpp"
#include "engine_variables.hpp"
