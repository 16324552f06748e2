// The substitution engine: instantiates a whole expression tree against instance data in C++.
//
// A tree is first read into a plan (its attributes fetched once), then evaluated into NPoly
// values. Nodes of the package's own classes are evaluated here; any other node (a user
// subclass, say) is asked through its public `substitute`. Only the result becomes a
// SubstitutedExpression.
#pragma once
#include "bindings.hpp"
#include "data_view.hpp"
#include "npoly.hpp"
#include "plan.hpp"
#include "registry.hpp"

#include <exception>
#include <unordered_map>
#include <vector>

namespace qtx::engine {

/// Operand polynomials, inline for the common few.
class SmallPolys {
public:
    explicit SmallPolys(size_t n) : n_(n) {
        if (n > 4) heap_.resize(n);
    }
    NPoly& operator[](size_t i) { return n_ > 4 ? heap_[i] : inline_[i]; }
    NPoly* begin() { return n_ > 4 ? heap_.data() : inline_; }
    NPoly* end() { return begin() + n_; }
    bool empty() const { return n_ == 0; }
    size_t size() const { return n_; }

private:
    size_t n_;
    NPoly inline_[4];
    std::vector<NPoly> heap_;
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
    Engine(PyObject* var_map, PyObject* data)
        : var_map_(var_map),
          data_(data),
          views_(data),
          fast_registry_(Py_TYPE(var_map) == (PyTypeObject*)types().registry_cls),
          // our own registry and instance data never look at element bindings
          bindings_(data, fast_registry_ && Py_TYPE(data) == (PyTypeObject*)types().data_cls) {}

    NPoly eval(Node* n) {
        // evaluation recurses as deep as the plan; its frames are larger than the planner's
        if (stack_exhausted(floor_)) stack_overflow("while substituting an expression tree");
        if (n->pure) return constant(value(n));
        switch (n->k) {
            case K::Number: return constant(Num::of(n->value.ptr()));
            case K::Element: return constant(element_value(n));
            case K::Placeholder: return constant(Num::steal(views_.whole(n->name.ptr())));
            case K::DecVar: return decision_variable(n);
            case K::Subscript: return subscript(n);
            case K::ArrayLength: return array_length(n);
            case K::Pair: return pair(n);
            case K::Multi: return multi(n);
            case K::Fold: return fold(n);
            case K::Unary: return unary(n);
            default: return fallback(n);
        }
    }

    bool test(Node* n) {
        const Types& T = types();
        switch (n->k) {
            case K::CTrue: return true;
            case K::CCompare: {
                NPoly l = eval(n->kids[0]);
                NPoly r = eval(n->kids[1]);
                if (!l.terms.empty() || !r.terms.empty())
                    raise_substitute("Conditions must not contain decision variables.");
                if (l.constant.tag() == Num::Object || r.constant.tag() == Num::Object)
                    return truth(own(PyObject_RichCompare(l.constant.py().ptr(), r.constant.py().ptr(), n->op)).ptr());
                return num_compare(l.constant, r.constant, n->op);
            }
            case K::COp: {
                if (stack_exhausted(floor_)) stack_overflow("while testing a condition");
                if (n->kind.ptr() == T.c_and) {
                    for (Node* t : n->kids)
                        if (!test(t)) return false;
                    return true;
                }
                if (n->kind.ptr() == T.c_or) {
                    for (Node* t : n->kids)
                        if (test(t)) return true;
                    return false;
                }
                bool odd = false;
                for (Node* t : n->kids) odd ^= test(t);
                return odd;
            }
            default: return truth(callout(n->obj, names().substitute.ptr()).ptr());
        }
    }

    /// eval(root), except that when the root is a sum over an index element its operands'
    /// terms are left unmerged: `parts` receives them in order and the result holds no terms.
    /// Accumulating the parts in order into an empty map gives exactly eval(root)'s terms; the
    /// native route merges them with the rest of the model instead, saving a pass.
    NPoly eval_parts(Node* root, std::vector<Terms>& parts) {
        parts_ = &parts;
        parts_root_ = root;
        struct Reset {
            Engine& e;
            ~Reset() { e.parts_ = nullptr, e.parts_root_ = nullptr; }
        } reset{*this};
        return eval(root);
    }

    /// Forgets what was read from the data's bindings and fixed values: for callers that
    /// rebind elements, or run Python code, between evaluations.
    void rebind() {
        bindings_.reload();
        fixed_ = Obj();
    }

    /// range(int(start), int(end)) of an index element's evaluated bounds.
    Obj index_range(Node* el) {
        NPoly s = eval(el->kids[0]);
        NPoly e = eval(el->kids[1]);
        if (!s.terms.empty() || !e.terms.empty()) raise_substitute("Range bounds must not contain decision variables.");
        Obj lo = own(PyNumber_Long(s.constant.py().ptr())), hi = own(PyNumber_Long(e.constant.py().ptr()));
        return call((PyObject*)&PyRange_Type, {lo.ptr(), hi.ptr()});
    }

    /// The SubstitutedExpression of a finished polynomial: the object it was read from, when it
    /// came from a node outside the engine (operators hand back their first operand's object).
    Obj result(NPoly&& p) {
        // big results share one int object per variable index, when the indices they use are
        // dense enough for a table to pay off
        int64_t top = 0;
        for (const auto& e : p.terms)
            for (uint32_t i = 0; i < e.key.size(); ++i) top = std::max<int64_t>(top, e.key.data()[i]);
        share_ints_ = p.terms.size() >= 256 && (int64_t)p.terms.size() * 8 > top;
        Obj coeff = terms_dict(p.terms, [&](int32_t i) { return index_object(i); });
        if (p.origin) {
            npoly_write(p.origin.ptr(), p, coeff);
            return p.origin;
        }
        return call(types().poly_cls, {coeff.ptr(), p.constant.py().ptr(), p.order.py().ptr()});
    }

private:
    Obj index_object(int32_t i) {
        if (i < 0 || !share_ints_) return own(PyLong_FromLong(i));
        if ((size_t)i >= ints_.size()) ints_.resize((size_t)i + 1);
        Obj& o = ints_[(size_t)i];
        if (!o) o = own(PyLong_FromLong(i));
        return o;
    }

    static NPoly constant(Num v) {
        NPoly p;
        p.constant = std::move(v);
        p.order = Num::of_int(0);
        return p;
    }

    static NPoly variable_poly(int32_t index) {
        NPoly p;
        Key k(1);
        k.data()[0] = index;
        p.terms.store(std::move(k), Num::of_int(1));
        p.constant = Num::of_int(0);
        p.order = Num::of_int(1);
        return p;
    }

    Num element_value(Node* n) { return bindings_.value(n->name.ptr()); }
    void bind(PyObject* name, int64_t v) { bindings_.bind(name, v); }
    void flush() { bindings_.flush(); }

    // ---- calls into Python-level nodes; they may rebind anything read from the data ----

    Obj callout(PyObject* obj, PyObject* method) {
        flush();
        Obj r = own(PyObject_CallMethodObjArgs(obj, method, var_map_, data_, nullptr));
        bindings_.reload();
        fixed_ = Obj();
        return r;
    }

    NPoly fallback(Node* n) {
        Obj r = callout(n->obj, names().substitute.ptr());
        NPoly p = npoly_read(r.ptr());
        p.origin = r;
        return p;
    }

    static int32_t to_index(PyObject* o) {
        if (!PyLong_Check(o)) raise(PyExc_TypeError, "variable indices must be ints");
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) fail();
        // monomial keys hold 32-bit indices
        if (overflow || v < INT32_MIN || v > INT32_MAX)
            raisef(PyExc_OverflowError, "variable index %S does not fit the 32-bit indices of polynomial keys", o);
        return (int32_t)v;
    }

    // ---- subscripts ----

    /// The value of a data-only subtree, computed without polynomials: it is the constant that
    /// substitution would give (such subtrees have no terms and order 0).
    Num value(Node* n) {
        const Types& T = types();
        if (stack_exhausted(floor_)) stack_overflow("while substituting an expression tree");
        switch (n->k) {
            case K::Number: return n->cached;
            case K::Element: return element_value(n);
            case K::Placeholder:
                // instance data is read-only during a substitution
                if (n->cached.empty()) n->cached = Num::steal(views_.whole(n->name.ptr()));
                return n->cached;
            case K::Subscript: {
                Index ix;
                index_of(n->kids, ix);
                if (!ix.big) {
                    Num v = views_.number(n->var->name.ptr(), ix.v, ix.n);
                    if (!v.empty()) return v;
                }
                return Num::steal(views_.at(n->var->name.ptr(), tuple_of(ix).ptr()));
            }
            case K::ArrayLength: return array_length(n).constant;
            case K::Pair: {
                Num l = value(n->kids[0]);
                Num r = value(n->kids[1]);
                if (n->kind.ptr() == T.pow) {
                    double e;
                    if (!r.promotes(e)) {
                        e = PyFloat_AsDouble(r.py().ptr());
                        if (e == -1.0 && PyErr_Occurred()) fail();
                    }
                    Obj ef = own(PyFloat_FromDouble(e));
                    return Num::steal(own(PyNumber_Power(l.py().ptr(), ef.ptr(), Py_None)));
                }
                if (n->kind.ptr() == T.mod) return remainder(l, r);
                raise_substitute("Unknown BinaryOpeKind");
            }
            case K::Multi: {
                PyObject* kind = n->kind.ptr();
                if (kind == T.add || kind == T.mul) {
                    bool add = kind == T.add;
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
                if (kind != T.max && kind != T.min) raise_substitute("Unknown MultipleOpeKind");
                if (vs.empty()) return Num::of_int(0);
                size_t best = 0;
                for (size_t i = 1; i < vs.size(); ++i)
                    if (num_compare(vs[i], vs[best], kind == T.max ? Py_GT : Py_LT)) best = i;
                return vs[best];
            }
            case K::Unary: return unary(n).constant;
            case K::Fold: {
                long long lo, hi;
                range_of(n->var, lo, hi);
                PyObject* kind = n->kind.ptr();
                if (kind != T.sum && kind != T.prod) raise_substitute("Unknown ReductionOpeKind");
                bool sum = kind == T.sum;
                Num acc = Num::of_int(sum ? 0 : 1);
                Bindings::FlushOnUnwind guard{bindings_};
                for (long long v = lo; v < hi; ++v) {
                    poll_.tick();
                    bind(n->var->name.ptr(), v);
                    if (!test(n->kids[0])) continue;
                    acc = sum ? num_add(acc, value(n->kids[1])) : mul_constants(acc, value(n->kids[1]));
                }
                flush();
                return acc;
            }
            default: return eval(n).constant;
        }
    }

    /// The product of two constant polynomials: `mul` tests both constants against 0.0 first,
    /// which fails for arrays.
    static Num mul_constants(const Num& a, const Num& b) {
        if (a.tag() == Num::Object || b.tag() == Num::Object) {
            num_nonzero(a);
            num_nonzero(b);
        }
        return num_mul(a, b);
    }

    static Num remainder(const Num& l, const Num& r) {
        if (l.tag() == Num::Int && r.tag() == Num::Int && r.as_int() > 0 && l.as_int() >= 0)
            return Num::of_int(l.as_int() % r.as_int());
        return Num::steal(own(PyNumber_Remainder(l.py().ptr(), r.py().ptr())));
    }

    /// int(start) and int(end) of an index element's evaluated bounds.
    void range_of(Node* el, long long& lo, long long& hi) {
        NPoly s = eval(el->kids[0]);
        NPoly e = eval(el->kids[1]);
        if (!s.terms.empty() || !e.terms.empty()) raise_substitute("Range bounds must not contain decision variables.");
        lo = PyLong_AsLongLong(own(PyNumber_Long(s.constant.py().ptr())).ptr());
        if (lo == -1 && PyErr_Occurred()) fail();
        hi = PyLong_AsLongLong(own(PyNumber_Long(e.constant.py().ptr())).ptr());
        if (hi == -1 && PyErr_Occurred()) fail();
    }

    /// The evaluated subscripts of an access: machine ints when they fit.
    void index_of(const std::vector<Node*>& subs, Index& ix) {
        ix.n = subs.size();
        bool native = ix.n <= Index::kMax;
        std::vector<Obj> objs;
        for (size_t i = 0; i < subs.size(); ++i) {
            Num c;
            if (subs[i]->pure) {
                c = value(subs[i]);
            } else {
                NPoly p = eval(subs[i]);
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
            objs.push_back(c.tag() == Num::Int ? c.py() : own(PyNumber_Long(c.py().ptr())));
        }
        if (!native) {
            ix.big = own(PyTuple_New((Py_ssize_t)objs.size()));
            for (size_t i = 0; i < objs.size(); ++i) PyTuple_SET_ITEM(ix.big.ptr(), (Py_ssize_t)i, objs[i].release().ptr());
        }
    }

    static Obj tuple_of(const Index& ix) {
        if (ix.big) return ix.big;
        Obj t = own(PyTuple_New((Py_ssize_t)ix.n));
        for (size_t i = 0; i < ix.n; ++i) PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, PyLong_FromLongLong(ix.v[i]));
        for (size_t i = 0; i < ix.n; ++i)
            if (!PyTuple_GET_ITEM(t.ptr(), (Py_ssize_t)i)) fail();
        PyObject_GC_UnTrack(t.ptr());
        return t;
    }

    static bool small_key(const Index& ix, Key& k) {
        if (ix.big) return false;
        k = Key((uint32_t)ix.n);
        for (size_t i = 0; i < ix.n; ++i) {
            if (ix.v[i] < INT32_MIN || ix.v[i] > INT32_MAX) return false;
            k.data()[i] = (int32_t)ix.v[i];
        }
        return true;
    }

    // ---- decision variables ----

    PyObject* fixed_variables() {
        if (!fixed_) {
            fixed_ = getattr(data_, names().fixed_variables.ptr());
            no_fixed_ = PyDict_CheckExact(fixed_.ptr()) && PyDict_GET_SIZE(fixed_.ptr()) == 0;
        }
        return fixed_.ptr();
    }

    /// The fixed value of label[subs] (subs built on demand), or an empty Num.
    Num fixed_value(PyObject* label, const Index& ix) {
        PyObject* fv = fixed_variables();
        if (no_fixed_) return Num();
        Obj inner = map_find(fv, label);
        if (!inner) return Num();
        Obj v = map_find(inner.ptr(), tuple_of(ix).ptr());
        return v ? Num::of(v.ptr()) : Num();
    }

    int32_t register_binary(PyObject* label, PyObject* subs) {
        if (!fast_registry_) {
            Obj kw = own(Py_BuildValue("(ss)", "label", "subscripts"));
            Obj m = getattr(var_map_, names().add_variable.ptr());
            return to_index(call(m.ptr(), {label, subs}, kw.ptr()).ptr());
        }
        return to_index(registry_add(var_map_, label, subs).ptr());
    }

    int32_t register_integer(PyObject* label, PyObject* subs, PyObject* lower, PyObject* upper) {
        Obj kw = own(Py_BuildValue("(ssss)", "label", "subscripts", "lower", "upper"));
        Obj m = getattr(var_map_, names().add_int_variable.ptr());
        return to_index(call(m.ptr(), {label, subs, lower, upper}, kw.ptr()).ptr());
    }

    NPoly decision_variable(Node* n) {
        const Types& T = types();
        PyObject* label = n->name.ptr();
        // fixed only where its map has the empty subscripts; fixed elsewhere it is still free
        if (Obj inner = map_find(fixed_variables(), label))
            if (Obj v = map_find(inner.ptr(), T.empty_tuple)) return constant(Num::steal(v));
        PyObject* kind = n->kind.ptr();
        if (kind == T.binary) return variable_poly(register_binary(label, T.empty_tuple));
        if (kind == T.integer) {
            NPoly lo = eval(n->kids[0]);
            NPoly hi = eval(n->kids[1]);
            check_bounds(lo, hi);
            return variable_poly(register_integer(label, T.empty_tuple, lo.constant.py().ptr(), hi.constant.py().ptr()));
        }
        if (kind == T.continuous) raise_substitute("Continuous variables are not supported yet.");
        raise_substitute("Unknown decision variable kind.");
    }

    /// A subscript resolved: a data value or fixed value (`value`), or a registered variable.
    struct Access {
        Num value;
        int32_t index = -1;
    };

    Access access(Node* n) {
        const Types& T = types();
        Node* var = n->var;
        Index ix;
        index_of(n->kids, ix);
        Access a;
        if (var->k == K::Placeholder) {
            if (!ix.big) a.value = views_.number(var->name.ptr(), ix.v, ix.n);
            if (a.value.empty()) a.value = Num::steal(views_.at(var->name.ptr(), tuple_of(ix).ptr()));
            return a;
        }
        if (var->k != K::DecVar) raise_substitute("Unknown variable type.");
        PyObject* label = var->name.ptr();
        a.value = fixed_value(label, ix);
        if (!a.value.empty()) return a;
        PyObject* kind = var->kind.ptr();
        if (kind != T.binary && kind != T.integer) raise_substitute("Unknown decision variable kind.");
        // variables met before in this substitution: one lookup in C++
        Key key;
        bool cacheable = fast_registry_ && small_key(ix, key);  // others see every registration
        if (label != last_label_) {
            last_label_ = label;
            last_seen_ = &known_[label];
        }
        auto& seen = *last_seen_;
        if (cacheable) {
            if (Num* known = seen.find(key)) {
                a.index = (int32_t)known->as_int();
                return a;
            }
        }
        Obj subs = tuple_of(ix);
        a.index = kind == T.binary ? register_binary(label, subs.ptr()) : integer_subscript(var, subs.ptr());
        if (cacheable) seen.store(std::move(key), Num::of_int(a.index));
        return a;
    }

    NPoly subscript(Node* n) {
        Access a = access(n);
        return a.value.empty() ? variable_poly(a.index) : constant(std::move(a.value));
    }

    int32_t integer_subscript(Node* var, PyObject* subs) {
        const Names& N = names();
        PyObject* label = var->name.ptr();
        Obj bounds = getattr(var_map_, N.integer_bound.ptr());
        Obj inner = map_find(bounds.ptr(), label);
        if (inner && map_find(inner.ptr(), subs)) {
            Obj vm = getattr(var_map_, N.var_map.ptr());
            return to_index(item(item(vm.ptr(), label).ptr(), subs).ptr());
        }
        NPoly lp = eval(var->kids[0]);
        NPoly hp = eval(var->kids[1]);
        check_bounds(lp, hp);
        // both bounds become arrays before either is indexed
        Obj lo = call(types().np_array, {lp.constant.py().ptr()});
        Obj hi = call(types().np_array, {hp.constant.py().ptr()});
        lo = element_bound(lo, label, subs);
        hi = element_bound(hi, label, subs);
        return register_integer(label, subs, lo.ptr(), hi.ptr());
    }

    /// Bounds are data: a decision variable there would be silently dropped.
    static void check_bounds(const NPoly& lo, const NPoly& hi) {
        if (!lo.terms.empty() || !hi.terms.empty()) raise_substitute("Bounds must not contain decision variables.");
    }

    /// A bound array indexed at the variable's subscripts, unless it is zero-dimensional.
    static Obj element_bound(const Obj& a, PyObject* label, PyObject* subs) {
        Obj nd = getattr(a.ptr(), names().ndim.ptr());
        if (PyLong_AsLong(nd.ptr()) <= 0) return a;
        PyObject* v = PyObject_GetItem(a.ptr(), subs);
        if (!v && PyErr_ExceptionMatches(PyExc_IndexError)) {
            Obj caught = catch_error(PyExc_IndexError);
            std::string detail = to_string(caught.ptr());
            static PyObject* cls = nullptr;
            Obj error = call(exception_class("DataIndexError", cls),
                             {str("The bounds of integer variable `" + to_string(label) + "` have no entry at " +
                                  to_string(subs) + " (" + detail + "): give bound arrays the variable's shape.")
                                  .ptr(),
                              str(detail).ptr()});
            PyErr_SetObject((PyObject*)Py_TYPE(error.ptr()), error.ptr());
            fail();
        }
        return own(v);
    }

    NPoly array_length(Node* n) {
        const Types& T = types();
        Node* arr = n->var;
        Obj m = getattr(data_, names().get_length.ptr());
        if (arr->k == K::Placeholder) {
            Obj kw = own(Py_BuildValue("(s)", "axis"));
            return constant(Num::steal(call(m.ptr(), {arr->name.ptr(), T.empty_tuple, n->value.ptr()}, kw.ptr())));
        }
        if (arr->k == K::Subscript && arr->var->k != K::Fallback) {
            Index ix;
            index_of(arr->kids, ix);
            Obj subs = tuple_of(ix);
            return constant(Num::steal(call(m.ptr(), {arr->var->name.ptr(), subs.ptr(), n->value.ptr()})));
        }
        raise_substitute("Unknown variable type.");
    }

    // ---- operators ----

    NPoly pair(Node* n) {
        const Types& T = types();
        NPoly l = eval(n->kids[0]);
        NPoly r = eval(n->kids[1]);
        if (n->kind.ptr() == T.pow) {
            if (!r.terms.empty()) raise_substitute("The exponent of POW must not contain decision variables.");
            double e;
            if (!r.constant.promotes(e)) {
                e = PyFloat_AsDouble(r.constant.py().ptr());
                if (e == -1.0 && PyErr_Occurred()) fail();
            }
            npoly_power(l, e, substitute_error());
            return l;
        }
        if (n->kind.ptr() == T.mod) {
            if (!l.terms.empty() || !r.terms.empty()) raise_substitute("MOD needs operands without decision variables.");
            return constant(remainder(l.constant, r.constant));
        }
        raise_substitute("Unknown BinaryOpeKind");
    }

    /// Folds operand i into the accumulator. Operands are folded as they come, but every
    /// operand is substituted before an arithmetic error reaches the caller, as when all are
    /// substituted first: the later ones still register their variables (or fail first).
    template <class F>
    void combine(Node* n, size_t i, F&& step) {
        try {
            step();
        } catch (PyErrSet&) {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            Obj held_t = nb::steal(t), held_v = nb::steal(v), held_tb = nb::steal(tb);
            for (size_t j = i + 1; j < n->kids.size(); ++j) eval(n->kids[j]);
            PyErr_Restore(held_t.release().ptr(), held_v.release().ptr(), held_tb.release().ptr());
            throw;
        }
    }

    NPoly multi(Node* n) {
        const Types& T = types();
        PyObject* kind = n->kind.ptr();
        if (kind == T.add || kind == T.mul) {
            // operands are substituted in order and folded left to right as they come
            bool add = kind == T.add;
            if (n->kids.empty()) return constant(Num::of_int(add ? 0 : 1));
            NPoly acc = eval(n->kids[0]);
            for (size_t i = 1; i < n->kids.size(); ++i) {
                Node* k = n->kids[i];
                if (add) {
                    NPoly p = eval(k);
                    combine(n, i, [&] { npoly_add(acc, std::move(p)); });
                } else if (k->pure) {
                    Num v = value(k);  // a data factor: no polynomial needed
                    combine(n, i, [&] { npoly_scale(acc, v); });
                } else if (k->k == K::Subscript) {
                    Access a = access(k);  // a variable factor, multiplied in directly
                    combine(n, i, [&] { a.value.empty() ? npoly_mul_variable(acc, a.index) : npoly_scale(acc, a.value); });
                } else {
                    NPoly p = eval(k);
                    combine(n, i, [&] { npoly_mul(acc, std::move(p)); });
                }
            }
            return acc;
        }
        SmallPolys ps(n->kids.size());
        for (size_t i = 0; i < n->kids.size(); ++i) ps[i] = eval(n->kids[i]);
        if (kind == T.max || kind == T.min) {
            bool is_max = kind == T.max;
            for (NPoly& p : ps)
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

    NPoly unary(Node* n) {
        NPoly p = eval(n->kids[0]);
        int known = PyObject_IsInstance(n->kind.ptr(), types().unary_kind);
        if (known < 0) fail();
        if (!known) raise_substitute("Unknown UnaryOpeKind");
        if (!p.terms.empty())
            raise_substitute(to_string(getattr(n->kind.ptr(), names().name.ptr()).ptr()) +
                             " needs an operand without decision variables.");
        return constant(Num::steal(call(types().unary_value, {n->kind.ptr(), p.constant.py().ptr()})));
    }

    NPoly fold(Node* n) {
        const Types& T = types();
        Node* index = n->var;
        Node* cond = n->kids[0];
        Node* operand = n->kids[1];
        PyObject* kind = n->kind.ptr();
        bool native_range = index->k == K::Element;
        long long lo = 0, hi = 0;
        Obj values;
        if (native_range) {
            range_of(index, lo, hi);
        } else {
            values = callout(index->obj, names().get_index_values.ptr());
        }
        if (kind != T.sum && kind != T.prod) raise_substitute("Unknown ReductionOpeKind");
        bool sum = kind == T.sum;
        NPoly acc = constant(Num::of_int(sum ? 0 : 1));
        Obj name = native_range ? index->name : interned_name(getattr(index->obj, names().name.ptr()));
        std::vector<Terms>* parts = sum && n == parts_root_ ? parts_ : nullptr;
        parts_root_ = nullptr;
        auto step = [&]() {
            if (!test(cond)) return;
            if (parts) {
                // npoly_add with the terms kept apart
                NPoly p = eval(operand);
                if (!p.terms.empty()) parts->push_back(std::move(p.terms));
                acc.constant = num_add(acc.constant, p.constant);
                if (num_compare(p.order, acc.order, Py_GT)) acc.order = p.order;
                return;
            }
            sum ? npoly_add(acc, eval(operand)) : npoly_mul(acc, eval(operand));
        };
        Bindings::FlushOnUnwind guard{bindings_};
        if (native_range) {
            for (long long v = lo; v < hi; ++v) {
                poll_.tick();
                bind(name.ptr(), v);
                step();
            }
            flush();
        } else {
            Obj it = own(PyObject_GetIter(values.ptr()));
            while (PyObject* v = PyIter_Next(it.ptr())) {
                Obj held = nb::steal(v);
                poll_.tick();
                bindings_.bind_object(name.ptr(), v);
                step();
            }
            if (PyErr_Occurred()) fail();
        }
        return acc;
    }

    PyObject* var_map_;
    PyObject* data_;
    std::vector<Terms>* parts_ = nullptr;  // see eval_parts
    Node* parts_root_ = nullptr;
    uintptr_t floor_ = stack_floor();
    SignalPoll poll_;
    DataViews views_;
    bool fast_registry_;
    bool no_fixed_ = false;
    Obj fixed_;
    std::vector<Obj> ints_;  // Python ints of variable indices, for the result's keys
    bool share_ints_ = false;
    Bindings bindings_;
    using Seen = Terms;  // subscripts -> index, as an int
    std::unordered_map<PyObject*, Seen> known_;  // label -> subscripts -> index
    PyObject* last_label_ = nullptr;
    Seen* last_seen_ = nullptr;
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

private:
    int was_ = 0;
};

/// `_substitute(self, var_map, instance_data)` of a node whose class is evaluated as `kind`.
template <K kind>
Obj entry(PyObject* const* a) {
    GcPause pause;
    Planner planner;
    Node* root = planner.plan_as(a[0], kind);
    Engine e(a[1], a[2]);
    return e.result(e.eval(root));
}

/// `Element.get_index_values(var_map, instance_data)`.
inline Obj range_entry(PyObject* const* a) {
    Planner planner;
    Node* el = planner.plan_as(a[0], K::Element);
    Engine e(a[1], a[2]);
    return e.index_range(el);
}

}  // namespace qtx::engine
