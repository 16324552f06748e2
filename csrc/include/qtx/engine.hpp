// The substitution engine: instantiates a whole expression tree against instance data in C++.
//
// A tree is first read into a plan (its attributes fetched once), then evaluated. Nodes of the
// package's own classes are evaluated here; any other node (a user subclass, say) is asked
// through its public `substitute`. Polynomials in flight are Poly triples; only the result
// becomes a SubstitutedExpression.
#pragma once
#include "data_view.hpp"
#include "plan.hpp"
#include "registry.hpp"

#include <vector>

namespace qtx::engine {

/// Operand polynomials, inline for the common few.
class SmallPolys {
public:
    explicit SmallPolys(size_t n) : n_(n) {
        if (n > 4) heap_.resize(n);
    }
    Poly& operator[](size_t i) { return n_ > 4 ? heap_[i] : inline_[i]; }
    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    Poly* begin() { return n_ > 4 ? heap_.data() : inline_; }
    Poly* end() { return begin() + n_; }

private:
    size_t n_;
    Poly inline_[4];
    std::vector<Poly> heap_;
};

class Engine {
public:
    Engine(PyObject* var_map, PyObject* data) : var_map_(var_map), data_(data), views_(data) {
        const Types& T = types();
        fast_registry_ = Py_TYPE(var_map) == (PyTypeObject*)T.registry_cls;
    }

    Poly eval(Node* n) {
        switch (n->k) {
            case K::Number: return constant(n->value.ptr());
            case K::Element: return constant(element_value(n));
            case K::Placeholder: return constant(views_.whole(n->name.ptr()).ptr());
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
                Poly l = eval(n->kids[0]);
                Poly r = eval(n->kids[1]);
                if (term_count(l) || term_count(r))
                    raise_substitute("Conditions must not contain decision variables.");
                return truth(own(PyObject_RichCompare(l.constant.ptr(), r.constant.ptr(), n->op)).ptr());
            }
            case K::COp: {
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
            default: {
                Obj r = callout(n->obj, names().substitute.ptr());
                return truth(r.ptr());
            }
        }
    }

    /// range(int(start), int(end)) of an index element's evaluated bounds.
    Obj index_range(Node* el) {
        Poly s = eval(el->kids[0]);
        Poly e = eval(el->kids[1]);
        if (term_count(s) || term_count(e))
            raise_substitute("Range bounds must not contain decision variables.");
        Obj lo = own(PyNumber_Long(s.constant.ptr())), hi = own(PyNumber_Long(e.constant.ptr()));
        return call((PyObject*)&PyRange_Type, {lo.ptr(), hi.ptr()});
    }

    Obj result(Poly p) {
        ensure_map(p);
        return call(types().poly_cls, {p.coeff.ptr(), p.constant.ptr(), p.order.ptr()});
    }

private:
    static Poly constant(PyObject* v) { return Poly{Obj(), ref(v), ref(types().zero), Obj(), Obj()}; }

    Poly variable_poly(PyObject* index) {
        const Types& T = types();
        return Poly{Obj(), ref(T.zero), ref(T.one), var_key(index), ref(T.one)};
    }

    /// The monomial key (index,), made once per variable and evaluation.
    Obj var_key(PyObject* index) {
        Py_ssize_t i = PyLong_CheckExact(index) ? PyLong_AsSsize_t(index) : -1;
        if (i < 0 || i > (1 << 26)) {
            PyErr_Clear();
            Obj key = own(PyTuple_Pack(1, index));
            PyObject_GC_UnTrack(key.ptr());
            return key;
        }
        if ((size_t)i >= keys_.size()) keys_.resize((size_t)i + 1);
        Obj& key = keys_[(size_t)i];
        if (!key) {
            key = own(PyTuple_Pack(1, index));
            PyObject_GC_UnTrack(key.ptr());
        }
        return key;
    }

    // ---- element bindings live in instance_data.indices ----

    PyObject* indices() {
        if (!indices_) indices_ = getattr(data_, names().indices.ptr());
        return indices_.ptr();
    }

    PyObject* element_value(Node* n) {
        PyObject* ix = indices();
        if (PyDict_CheckExact(ix)) return dict_item(ix, n->name.ptr());
        held_ = item(ix, n->name.ptr());
        return held_.ptr();
    }

    void bind(PyObject* name, PyObject* value) {
        PyObject* ix = indices();
        if (PyDict_CheckExact(ix)) return dict_set(ix, name, value);
        if (ix == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
        if (PyObject_SetItem(ix, name, value) < 0) fail();
    }

    // ---- calls into Python-level nodes; they may change anything we cached ----

    Obj callout(PyObject* obj, PyObject* method) {
        Obj r = own(PyObject_CallMethodObjArgs(obj, method, var_map_, data_, nullptr));
        invalidate();
        return r;
    }
    void invalidate() {
        indices_ = Obj();
        fixed_ = Obj();
        labels_.clear();
    }

    Poly fallback(Node* n) {
        Obj r = callout(n->obj, names().substitute.ptr());
        const Names& N = names();
        return Poly{getattr(r.ptr(), N.coeff.ptr()), getattr(r.ptr(), N.constant.ptr()), getattr(r.ptr(), N.order.ptr()),
                    Obj(), Obj()};
    }

    // ---- leaves ----

    /// int() of one evaluated subscript; data only.
    Obj index_value(Node* sub) {
        Poly p = eval(sub);
        if (term_count(p)) raise_substitute("Subscripts must not contain decision variables.");
        return PyLong_CheckExact(p.constant.ptr()) ? p.constant : own(PyNumber_Long(p.constant.ptr()));
    }

    /// The evaluated index tuple of a subscript list.
    Obj index_tuple(const std::vector<Node*>& subs) {
        Obj t = own(PyTuple_New((Py_ssize_t)subs.size()));
        for (size_t i = 0; i < subs.size(); ++i)
            PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, index_value(subs[i]).release().ptr());
        PyObject_GC_UnTrack(t.ptr());
        return t;
    }

    PyObject* fixed_variables() {
        if (!fixed_) fixed_ = getattr(data_, names().fixed_variables.ptr());
        return fixed_.ptr();
    }

    /// The fixed value of label[subs], or null.
    Obj fixed_value(PyObject* label, PyObject* subs) {
        PyObject* fv = fixed_variables();
        if (PyDict_CheckExact(fv) && PyDict_GET_SIZE(fv) == 0) return Obj();
        Obj inner = map_find(fv, label);
        if (!inner) return Obj();
        return map_find(inner.ptr(), subs);
    }

    Obj register_binary(PyObject* label, PyObject* subs) {
        if (!fast_registry_) {
            Obj kw = own(Py_BuildValue("(ss)", "label", "subscripts"));
            Obj m = getattr(var_map_, names().add_variable.ptr());
            return call(m.ptr(), {label, subs}, kw.ptr());
        }
        // known variables: one dict lookup in the label's map, cached per label
        auto it = labels_.find(label);
        if (it != labels_.end()) {
            PyObject* idx = dict_get(it->second.ptr(), subs);
            if (idx && PyLong_CheckExact(idx)) return ref(idx);
        }
        Obj idx = registry_add(var_map_, label, subs);
        if (it == labels_.end()) {
            Obj vm = getattr(var_map_, names().var_map.ptr());
            if (PyDict_CheckExact(vm.ptr())) {
                PyObject* inner = dict_get(vm.ptr(), label);
                if (inner && PyDict_CheckExact(inner)) labels_.emplace(label, ref(inner));
            }
        }
        return idx;
    }

    Obj register_integer(PyObject* label, PyObject* subs, PyObject* lower, PyObject* upper) {
        Obj kw = own(Py_BuildValue("(ssss)", "label", "subscripts", "lower", "upper"));
        Obj m = getattr(var_map_, names().add_int_variable.ptr());
        Obj idx = call(m.ptr(), {label, subs, lower, upper}, kw.ptr());
        labels_.erase(label);
        return idx;
    }

    Poly decision_variable(Node* n) {
        const Types& T = types();
        PyObject* label = n->name.ptr();
        PyObject* fv = fixed_variables();
        Obj inner = map_find(fv, label);
        if (inner) return constant(item(inner.ptr(), T.empty_tuple).ptr());
        PyObject* kind = n->kind.ptr();
        Obj idx;
        if (kind == T.binary) {
            idx = register_binary(label, T.empty_tuple);
        } else if (kind == T.integer) {
            Poly lo = eval(n->kids[0]);
            Poly hi = eval(n->kids[1]);
            idx = register_integer(label, T.empty_tuple, lo.constant.ptr(), hi.constant.ptr());
        } else if (kind == T.continuous) {
            raise_substitute("Continuous variables are not supported yet.");
        } else {
            raise_substitute("Unknown decision variable kind.");
        }
        return variable_poly(idx.ptr());
    }

    Poly subscript(Node* n) {
        const Types& T = types();
        Node* var = n->var;
        if (var->k == K::Placeholder) {
            if (Obj v = placeholder_entry(n)) return constant(v.ptr());
        }
        Obj subs = index_tuple(n->kids);
        if (var->k == K::DecVar) {
            PyObject* label = var->name.ptr();
            if (Obj v = fixed_value(label, subs.ptr())) return constant(v.ptr());
            PyObject* kind = var->kind.ptr();
            Obj idx;
            if (kind == T.binary) {
                idx = register_binary(label, subs.ptr());
            } else if (kind == T.integer) {
                idx = integer_subscript(var, subs.ptr());
            } else {
                raise_substitute("Unknown decision variable kind.");
            }
            return variable_poly(idx.ptr());
        }
        if (var->k == K::Placeholder) return constant(views_.at(var->name.ptr(), subs.ptr()).ptr());
        raise_substitute("Unknown variable type.");
    }

    /// A placeholder entry read straight from its array, or null when that is not possible.
    Obj placeholder_entry(Node* n) {
        constexpr size_t kMax = 8;
        size_t k = n->kids.size();
        if (k > kMax) return Obj();
        Obj held[kMax];
        for (size_t i = 0; i < k; ++i) held[i] = index_value(n->kids[i]);
        PyObject* items[kMax];
        for (size_t i = 0; i < k; ++i) items[i] = held[i].ptr();
        if (Obj v = views_.read(n->var->name.ptr(), items, k)) return v;
        Obj t = own(PyTuple_New((Py_ssize_t)k));
        for (size_t i = 0; i < k; ++i) PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, held[i].release().ptr());
        return views_.at(n->var->name.ptr(), t.ptr());
    }

    Obj integer_subscript(Node* var, PyObject* subs) {
        const Names& N = names();
        PyObject* label = var->name.ptr();
        Obj bounds = getattr(var_map_, N.integer_bound.ptr());
        Obj inner = map_find(bounds.ptr(), label);
        if (inner && map_find(inner.ptr(), subs)) {
            Obj vm = getattr(var_map_, N.var_map.ptr());
            return item(item(vm.ptr(), label).ptr(), subs);
        }
        Obj lo = element_bound(eval(var->kids[0]).constant.ptr(), subs);
        Obj hi = element_bound(eval(var->kids[1]).constant.ptr(), subs);
        return register_integer(label, subs, lo.ptr(), hi.ptr());
    }

    /// numpy.array(bound), indexed at the variable's subscripts when it is an array.
    static Obj element_bound(PyObject* value, PyObject* subs) {
        Obj a = call(types().np_array, {value});
        Obj nd = getattr(a.ptr(), names().ndim.ptr());
        if (PyLong_AsLong(nd.ptr()) > 0) return own(PyObject_GetItem(a.ptr(), subs));
        return a;
    }

    Poly array_length(Node* n) {
        const Types& T = types();
        Node* arr = n->var;
        Obj length;
        if (arr->k == K::Placeholder) {
            Obj kw = own(Py_BuildValue("(s)", "axis"));
            Obj m = getattr(data_, names().get_length.ptr());
            length = call(m.ptr(), {arr->name.ptr(), T.empty_tuple, n->value.ptr()}, kw.ptr());
        } else if (arr->k == K::Subscript && arr->var->k != K::Fallback) {
            Obj subs = index_tuple(arr->kids);
            Obj m = getattr(data_, names().get_length.ptr());
            length = call(m.ptr(), {arr->var->name.ptr(), subs.ptr(), n->value.ptr()});
        } else {
            raise_substitute("Unknown variable type.");
        }
        return Poly{Obj(), length, ref(T.zero), Obj(), Obj()};
    }

    // ---- operators ----

    Poly pair(Node* n) {
        const Types& T = types();
        Poly l = eval(n->kids[0]);
        Poly r = eval(n->kids[1]);
        if (n->kind.ptr() == T.pow) {
            if (term_count(r)) raise_substitute("The exponent of POW must not contain decision variables.");
            double e = PyFloat_AsDouble(r.constant.ptr());
            if (e == -1.0 && PyErr_Occurred()) fail();
            poly_power(l, e, substitute_error());
            return l;
        }
        if (n->kind.ptr() == T.mod) {
            if (term_count(l) || term_count(r))
                raise_substitute("MOD needs operands without decision variables.");
            return Poly{Obj(), own(PyNumber_Remainder(l.constant.ptr(), r.constant.ptr())), ref(T.zero), Obj(), Obj()};
        }
        raise_substitute("Unknown BinaryOpeKind");
    }

    Poly multi(Node* n) {
        const Types& T = types();
        SmallPolys ps(n->kids.size());
        for (size_t i = 0; i < n->kids.size(); ++i) ps[i] = eval(n->kids[i]);
        PyObject* kind = n->kind.ptr();
        if (kind == T.add || kind == T.mul) {
            bool add = kind == T.add;
            if (ps.empty()) return Poly{Obj(), ref(add ? T.zero : T.one), ref(T.zero), Obj(), Obj()};
            for (size_t i = 1; i < ps.size(); ++i) add ? poly_add(ps[0], ps[i]) : poly_mul(ps[0], ps[i]);
            return std::move(ps[0]);
        }
        if (kind == T.max || kind == T.min) {
            bool is_max = kind == T.max;
            for (Poly& p : ps)
                if (term_count(p))
                    raise_substitute(is_max ? "MAX needs operands without decision variables."
                                            : "MIN needs operands without decision variables.");
            if (ps.empty()) return Poly{Obj(), ref(T.zero), ref(T.zero), Obj(), Obj()};
            PyObject* best = ps[0].constant.ptr();
            for (size_t i = 1; i < ps.size(); ++i)
                best = is_max ? py_max(best, ps[i].constant.ptr()) : py_min(best, ps[i].constant.ptr());
            return Poly{Obj(), ref(best), ref(T.zero), Obj(), Obj()};
        }
        raise_substitute("Unknown MultipleOpeKind");
    }

    Poly unary(Node* n) {
        const Types& T = types();
        Poly p = eval(n->kids[0]);
        if (term_count(p))
            raise_substitute(to_string(getattr(n->kind.ptr(), names().name.ptr()).ptr()) +
                             " needs an operand without decision variables.");
        Obj v = call(T.unary_value, {n->kind.ptr(), p.constant.ptr()});
        return Poly{Obj(), v, ref(T.zero), Obj(), Obj()};
    }

    /// The values an index element runs over: [start, end) of its evaluated bounds.
    void element_range(Node* el, long long& lo, long long& hi) {
        Poly s = eval(el->kids[0]);
        Poly e = eval(el->kids[1]);
        if (term_count(s) || term_count(e))
            raise_substitute("Range bounds must not contain decision variables.");
        lo = PyLong_AsLongLong(own(PyNumber_Long(s.constant.ptr())).ptr());
        if (lo == -1 && PyErr_Occurred()) fail();
        hi = PyLong_AsLongLong(own(PyNumber_Long(e.constant.ptr())).ptr());
        if (hi == -1 && PyErr_Occurred()) fail();
    }

    Poly fold(Node* n) {
        const Types& T = types();
        Node* index = n->var;
        Node* cond = n->kids[0];
        Node* operand = n->kids[1];
        PyObject* kind = n->kind.ptr();
        bool native_range = index->k == K::Element;
        long long lo = 0, hi = 0;
        Obj values;
        if (native_range)
            element_range(index, lo, hi);
        else
            values = callout(index->obj, names().get_index_values.ptr());
        if (kind != T.sum && kind != T.prod) raise_substitute("Unknown ReductionOpeKind");
        bool sum = kind == T.sum;
        Poly acc{Obj(), ref(sum ? T.zero : T.one), ref(T.zero), Obj(), Obj()};
        PyObject* name = native_range ? index->name.ptr() : getattr(index->obj, names().name.ptr()).release().ptr();
        Obj name_ref = native_range ? Obj() : nb::steal(name);
        auto step = [&](PyObject* v) {
            bind(name, v);
            if (!test(cond)) return;
            Poly p = eval(operand);
            sum ? poly_add(acc, p) : poly_mul(acc, p);
        };
        if (native_range) {
            for (long long v = lo; v < hi; ++v) step(own(PyLong_FromLongLong(v)).ptr());
        } else {
            Obj it = own(PyObject_GetIter(values.ptr()));
            while (PyObject* v = PyIter_Next(it.ptr())) {
                Obj vv = nb::steal(v);
                step(v);
            }
            if (PyErr_Occurred()) fail();
        }
        return acc;
    }

    PyObject* var_map_;
    PyObject* data_;
    bool fast_registry_ = false;
    DataViews views_;
    Obj indices_, fixed_, held_;
    std::vector<Obj> keys_;  // (index,) keys by variable index
    std::unordered_map<PyObject*, Obj> labels_;  // label -> its index map in the registry
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

/// `substitute` of a condition node, evaluated natively.
inline Obj test_entry(PyObject* const* a) {
    Planner planner;
    Node* root = planner.plan_condition(a[0]);
    Engine e(a[1], a[2]);
    return ref(e.test(root) ? Py_True : Py_False);
}

}  // namespace qtx::engine
