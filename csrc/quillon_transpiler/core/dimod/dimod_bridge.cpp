// dimod bridge: compiled instances to dimod constrained quadratic models, and dimod sample sets
// back to quillon sample sets.
//
// A polynomial's quadratic model is defined by dimod's own arithmetic: the sum over the terms
// of QuadraticModel(offset=1) times each factor's variable model, times the coefficient, plus
// the constant. Doing that per term costs a Python model per term (minutes at 10^6 terms), so
// the terms are folded here in C++ with the same outcome -- the variable order of dimod's
// products, the same biases summed in the same order, the same reductions (binary x*x is x)
// and the same TypeError for a product of more than two variables -- and the model is then
// filled through dimod's array entry points. Anything outside that fast path (a coefficient
// that is not a real number, a variable model that is not a plain variable) is computed by
// the arithmetic itself.
#include "qtx/module.hpp"
#include "qtx/names.hpp"
#include "qtx/poly_capsule.hpp"
#include "surface.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace qtx;

namespace {

Obj attr(PyObject* o, const char* name) { return own(PyObject_GetAttrString(o, name)); }
Obj dimod_attr(const char* name) { return attr(imported(QTX_NAME("dimod")).ptr(), name); }
Obj numpy_attr(const char* name) { return attr(imported(QTX_NAME("numpy")).ptr(), name); }
Obj ql_attr(const char* name) { return attr(imported(QTX_NAME("quillon")).ptr(), name); }

Obj method(PyObject* o, const char* name, std::initializer_list<PyObject*> args = {}) {
    return call(attr(o, name).ptr(), args);
}

/// `m.items()` as a list of pairs, for any mapping.
Obj items_of(PyObject* m) {
    if (PyDict_Check(m)) return own(PyDict_Items(m));
    return own(PyMapping_Items(m));
}

/// A real number that dimod's arithmetic takes as a bias: int, float, a NumPy integer or float.
bool real_number(PyObject* o) {
    if (PyFloat_Check(o) || PyLong_Check(o)) return true;
    return is_instance(o, numpy_attr("integer").ptr()) || is_instance(o, numpy_attr("floating").ptr());
}

double as_double(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) fail();
    return v;
}

/// The end of the message for a term a CQM cannot hold. dimod multiplies no further once a
/// product has an interaction, so x*y*y is refused as x*y*z is.
constexpr const char* kNotQuadratic =
    " has more than two variable factors, but a CQM holds quadratic terms only; reformulate it with an "
    "auxiliary variable, or use the binary route (to_pubo, to_qubo_arrays), which keeps terms of any degree";

/// Raised inside the fast path when only dimod's arithmetic can tell the outcome.
struct NeedArithmetic {};

std::string repr(PyObject* o) { return to_string(own(PyObject_Repr(o)).ptr()); }

/// A variable as users write it: y[0, 1], or y for a scalar.
std::string var_name(PyObject* label, PyObject* subscripts) {
    std::string s = to_string(label);
    if (PyObject_Length(subscripts) > 0) {
        Obj list = own(PySequence_List(subscripts));
        s += to_string(list.ptr());
    }
    return s;
}

/// The model element a polynomial comes from, named in the errors of the routes: the objective,
/// or a constraint or custom penalty by label and forall key. A caller's own expression
/// (`_expr_conversion`) has none and gets dimod's behaviour unchanged.
struct Item {
    const char* kind;  // "objective", "constraint" or "penalty"
    PyObject* label = nullptr;
    PyObject* key = nullptr;  // the forall key; null for a penalty's summed model

    std::string text() const {
        if (!label) return std::string("In ") + kind;
        std::string s = std::string("In ") + kind + " `" + to_string(label) + "`";
        if (key && PyObject_Length(key) > 0) s += " forall key " + repr(key);
        return s;
    }
};

/// The message for a term or constant that is not a finite number.
[[noreturn]] void not_finite(const Item& item, const std::string& what, double value) {
    Obj v = own(PyFloat_FromDouble(value));
    raise(PyExc_ValueError, item.text() + ": " + what + " is " + repr(v.ptr()) +
                                ", but a CQM takes finite numbers only; check the instance data and the model's "
                                "coefficients");
}

// ---------------------------------------------------------------------------------------------
// Variables

/// One dimod variable: its label, whether it is integer (else binary), for an integer its
/// bounds as given to dimod, and whether its model is a BinaryQuadraticModel (dimod then
/// multiplies it from the left, which decides the order of a product's variables).
struct Var {
    Obj label;
    bool integer = false;
    bool bqm = true;
    Obj lower, upper;
    Obj model;  // its one-variable dimod model, made only for the arithmetic path
};

/// The variables a conversion may meet, found by the polynomial's index objects.
class VarTable {
public:
    virtual ~VarTable() = default;
    /// The variable of index `key`: KeyError when unknown, NeedArithmetic when the fast path
    /// cannot model it.
    int find(PyObject* key) {
        if (PyLong_CheckExact(key)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
            if (!overflow && v >= 0 && v < (long long)dense_.size() && dense_[(size_t)v] >= 0) return dense_[(size_t)v];
        }
        return lookup(key);
    }
    /// The same for a variable index held natively.
    int find(int64_t index) {
        if (index >= 0 && index < (int64_t)dense_.size() && dense_[(size_t)index] >= 0) return dense_[(size_t)index];
        return find(integer(index).ptr());
    }
    /// The one-variable model of index `key`, for the arithmetic path.
    virtual Obj model(PyObject* key) = 0;
    /// Variable `id` as errors name it: y[0] for a registry label (label, subscripts).
    std::string name(int id) const {
        PyObject* l = vars[(size_t)id].label.ptr();
        if (PyTuple_Check(l) && PyTuple_GET_SIZE(l) == 2 && PyUnicode_Check(PyTuple_GET_ITEM(l, 0)) &&
            PyTuple_Check(PyTuple_GET_ITEM(l, 1)))
            return var_name(PyTuple_GET_ITEM(l, 0), PyTuple_GET_ITEM(l, 1));
        return repr(l);
    }

    std::vector<Var> vars;
    std::vector<int32_t> local;  // variable id -> index in the model being assembled, or -1

protected:
    virtual int lookup(PyObject* key) = 0;
    /// The dict finds any key equal to an index (a NumPy integer, 3.0), as a dict lookup
    /// would; the dense table is its shortcut for the registry's plain ints 0..n-1.
    void remember(PyObject* key, int id) {
        Obj i = integer(id);
        dict_set(index_.ptr(), key, i.ptr());
        if (PyLong_CheckExact(key)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
            if (!overflow && v >= 0 && v < (long long)vars.size() * 2 + 1024) {
                if ((size_t)v >= dense_.size()) dense_.resize((size_t)v + 1, -1);
                dense_[(size_t)v] = id;
            }
        }
    }
    int from_dict(PyObject* key) {
        PyObject* v = dict_get(index_.ptr(), key);
        return v ? (int)PyLong_AsLong(v) : -1;
    }
    Obj index_ = own(PyDict_New());

private:
    std::vector<int> dense_;
};

Obj binary_vartype() { return attr(dimod_attr("Vartype").ptr(), "BINARY"); }
Obj integer_vartype() { return attr(dimod_attr("Vartype").ptr(), "INTEGER"); }

/// `dimod.Integer(label, lower_bound=..., upper_bound=...)` or `dimod.Binary(label)`.
Obj variable_model(const Var& v) {
    if (!v.integer) return call(dimod_attr("Binary").ptr(), {v.label.ptr()});
    Obj kw = kwnames({"lower_bound", "upper_bound"});
    return call(dimod_attr("Integer").ptr(), {v.label.ptr(), v.lower.ptr(), v.upper.ptr()}, kw.ptr());
}

/// An integer variable's bound rounded inward (a lower bound up, an upper one down), as the QUBO
/// route's encoders round it: dimod would keep 3.5 as the upper bound, and a CQM solver may
/// then return 3.5's floor or, with a real-valued relaxation, a value the model never allows.
Obj integer_bound(PyObject* value, bool upper, const std::string& name) {
    Obj v = ref(value);
    if (!PyLong_Check(value) && !PyFloat_Check(value)) {
        // NumPy scalars and zero-dimensional arrays as the Python number they hold
        bool scalar = is_instance(value, numpy_attr("generic").ptr());
        if (!scalar && is_instance(value, numpy_attr("ndarray").ptr()))
            scalar = compare(attr(value, "ndim").ptr(), integer(0).ptr(), Py_EQ);
        if (scalar) v = method(value, "item");
    }
    if (PyLong_Check(v.ptr())) return v;
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_ValueError, "Integer variable " + name + " has the non-numeric bound " + repr(value) +
                                    "; give numbers as its bounds in the instance data");
    }
    if (!std::isfinite(d))
        raise(PyExc_ValueError, "Integer variable " + name + " has the bound " + to_string(value) +
                                    ", but a CQM needs finite integer bounds; give finite bounds in the instance data");
    return own(PyLong_FromDouble(upper ? std::floor(d) : std::ceil(d)));
}

/// The registry's variables, labelled (label, subscripts): binary, or integer when the label
/// has bounds. Integer bounds are rounded inward and checked by dimod as `dimod.Integer`
/// would, up front, so that a refusal names the variable.
class RegistryTable : public VarTable {
public:
    explicit RegistryTable(PyObject* registry) {
        const Names& N = names();
        Obj var_map = getattr(registry, N.var_map.ptr());
        Obj bounds = getattr(registry, N.integer_bound.ptr());
        Obj scratch;  // takes every integer variable once, so that dimod validates its bounds
        Obj kw = kwnames({"lower_bound", "upper_bound"});
        Obj labels = items_of(var_map.ptr());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.ptr()); ++i) {
            PyObject* pair = PyList_GET_ITEM(labels.ptr(), i);
            PyObject* label = PyTuple_GET_ITEM(pair, 0);
            int is_int = PySequence_Contains(bounds.ptr(), label);
            if (is_int < 0) fail();
            Obj label_bounds = is_int ? item(bounds.ptr(), label) : Obj();
            Obj subs = items_of(PyTuple_GET_ITEM(pair, 1));
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(subs.ptr()); ++j) {
                PyObject* entry = PyList_GET_ITEM(subs.ptr(), j);
                PyObject* subscripts = PyTuple_GET_ITEM(entry, 0);
                Var v;
                v.label = own(PyTuple_Pack(2, label, subscripts));
                if (is_int) {
                    Obj bound = item(label_bounds.ptr(), subscripts);
                    v.integer = true;
                    v.bqm = false;
                    std::string name = var_name(label, subscripts);
                    Obj lower = getattr(bound.ptr(), N.lower.ptr()), upper = getattr(bound.ptr(), N.upper.ptr());
                    v.lower = integer_bound(lower.ptr(), false, name);
                    v.upper = integer_bound(upper.ptr(), true, name);
                    std::string given = "[" + to_string(lower.ptr()) + ", " + to_string(upper.ptr()) + "]";
                    if (compare(v.lower.ptr(), v.upper.ptr(), Py_GT))
                        raise(PyExc_ValueError, "Integer variable " + name +
                                                    " has no integer value within its bounds " + given +
                                                    "; check the bounds in the instance data");
                    if (!scratch) scratch = call(dimod_attr("QuadraticModel").ptr(), {});
                    Obj add = attr(scratch.ptr(), "add_variable");
                    Obj vt = integer_vartype();
                    try {
                        call(add.ptr(), {vt.ptr(), v.label.ptr(), v.lower.ptr(), v.upper.ptr()}, kw.ptr());
                    } catch (PyErrSet&) {
                        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
                            throw;
                        Obj caught = caught_error(PyExc_Exception);
                        Obj exc = call(PyExc_ValueError, {str("Integer variable " + name + " has the bounds " + given +
                                                              ", which dimod refuses (" + to_string(caught.ptr()) +
                                                              "); give bounds dimod takes")
                                                              .ptr()});
                        raise_from(exc, caught.ptr());
                    }
                }
                vars.push_back(std::move(v));
                remember(PyTuple_GET_ITEM(entry, 1), (int)vars.size() - 1);
            }
        }
    }

    Obj model(PyObject* key) override {
        Var& v = vars[(size_t)find(key)];
        if (!v.model) v.model = variable_model(v);
        return v.model;
    }

protected:
    int lookup(PyObject* key) override {
        int id = from_dict(key);
        if (id < 0) dict_item(index_.ptr(), key);  // KeyError(key), as var_map[key] raises
        return id;
    }
};

/// The variables of a caller's `var_map` (index -> dimod model). The fast path takes a model
/// that is one binary or integer variable with bias 1 and nothing else; two indices may share
/// a variable (same label, vartype and bounds). Anything else leaves it to the arithmetic.
class ModelTable : public VarTable {
public:
    explicit ModelTable(PyObject* var_map) : var_map_(var_map) {}

    Obj model(PyObject* key) override { return ref(dict_item(var_map_, key)); }

protected:
    int lookup(PyObject* key) override {
        int id = from_dict(key);
        if (id >= 0) return id;
        PyObject* m = dict_item(var_map_, key);
        Var v = inspect(m);
        PyObject* seen = dict_get(labels_.ptr(), v.label.ptr());
        if (seen) {
            id = (int)PyLong_AsLong(seen);
            const Var& w = vars[(size_t)id];
            if (w.integer != v.integer || w.bqm != v.bqm) throw NeedArithmetic{};
            if (v.integer &&
                (!compare(w.lower.ptr(), v.lower.ptr(), Py_EQ) || !compare(w.upper.ptr(), v.upper.ptr(), Py_EQ)))
                throw NeedArithmetic{};
        } else {
            vars.push_back(std::move(v));
            id = (int)vars.size() - 1;
            Obj i = integer(id);
            dict_set(labels_.ptr(), vars.back().label.ptr(), i.ptr());
        }
        remember(key, id);
        return id;
    }

private:
    Var inspect(PyObject* m) {
        bool is_bqm = Py_TYPE(m) == (PyTypeObject*)bqm_.ptr();
        if (!is_bqm && Py_TYPE(m) != (PyTypeObject*)qm_.ptr()) throw NeedArithmetic{};
        if (!compare(attr(m, "dtype").ptr(), f64_.ptr(), Py_EQ)) throw NeedArithmetic{};
        Obj n = attr(m, "num_variables"), q = attr(m, "num_interactions");
        if (PyLong_AsLong(n.ptr()) != 1 || PyLong_AsLong(q.ptr()) != 0) throw NeedArithmetic{};
        if (as_double(attr(m, "offset").ptr()) != 0.0) throw NeedArithmetic{};
        Var v;
        v.bqm = is_bqm;
        v.label = own(PySequence_GetItem(attr(m, "variables").ptr(), 0));
        if (as_double(method(m, "get_linear", {v.label.ptr()}).ptr()) != 1.0) throw NeedArithmetic{};
        Obj vartype = is_bqm ? attr(m, "vartype") : method(m, "vartype", {v.label.ptr()});
        if (vartype.ptr() == integer_vartype().ptr()) {
            v.integer = true;
            v.lower = method(m, "lower_bound", {v.label.ptr()});
            v.upper = method(m, "upper_bound", {v.label.ptr()});
        } else if (vartype.ptr() != binary_vartype().ptr()) {
            throw NeedArithmetic{};
        }
        return v;
    }

    PyObject* var_map_;
    Obj labels_ = own(PyDict_New());  // label -> variable id
    Obj bqm_ = dimod_attr("BinaryQuadraticModel"), qm_ = dimod_attr("QuadraticModel");
    Obj f64_ = call(numpy_attr("dtype").ptr(), {str("float64").ptr()});
};

// ---------------------------------------------------------------------------------------------
// Folding terms

/// An interaction's bias, keyed by its two local variable indices (u <= v) as u << 32 | v.
struct Term {
    uint64_t key;
    double bias;
};

inline uint64_t pair_key(uint32_t u, uint32_t v) { return ((uint64_t)std::min(u, v) << 32) | std::max(u, v); }

/// Stable sort by key, both indices below k: LSD radix sort over u * k + v, so that equal
/// pairs keep their order and their biases are summed in the order the terms came.
void sort_terms(std::vector<Term>& a, std::vector<Term>& tmp, uint64_t k) {
    if (a.size() < 256) {
        std::stable_sort(a.begin(), a.end(), [](const Term& x, const Term& y) { return x.key < y.key; });
        return;
    }
    auto compact = [k](uint64_t key) { return (key >> 32) * k + (key & 0xffffffffu); };
    int bits = 1;
    while (bits < 64 && ((k * k) >> bits) != 0) ++bits;
    const int width = 11;
    std::vector<size_t> pos((size_t)1 << width);
    tmp.resize(a.size());
    for (int shift = 0; shift < bits; shift += width) {
        const uint64_t mask = ((uint64_t)1 << width) - 1;
        std::fill(pos.begin(), pos.end(), 0);
        for (const Term& t : a) ++pos[(size_t)((compact(t.key) >> shift) & mask)];
        size_t sum = 0;
        for (size_t& p : pos) {
            size_t c = p;
            p = sum;
            sum += c;
        }
        for (const Term& t : a) tmp[pos[(size_t)((compact(t.key) >> shift) & mask)]++] = t;
        a.swap(tmp);
    }
}

/// Sorts and merges equal pairs, summing their biases in order.
void sum_terms(std::vector<Term>& a, std::vector<Term>& tmp, uint64_t k) {
    sort_terms(a, tmp, k);
    size_t out = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (out > 0 && a[out - 1].key == a[i].key)
            a[out - 1].bias += a[i].bias;
        else
            a[out++] = a[i];
    }
    a.resize(out);
}

/// Interaction sums by pair, for models that add up several polynomials.
class PairSums {
public:
    double& at(uint64_t key) {
        if ((terms.size() + 1) * 2 > slots_.size()) grow();
        size_t mask = slots_.size() - 1;
        for (size_t h = hash(key) & mask;; h = (h + 1) & mask) {
            int32_t s = slots_[h];
            if (s < 0) {
                slots_[h] = (int32_t)terms.size();
                terms.push_back(Term{key, 0.0});
                return terms.back().bias;
            }
            if (terms[(size_t)s].key == key) return terms[(size_t)s].bias;
        }
    }
    std::vector<Term> terms;

private:
    static size_t hash(uint64_t k) { return (size_t)((k * 0x9E3779B97F4A7C15ull) >> 20); }
    void grow() {
        slots_.assign(std::max<size_t>(64, slots_.size() * 2), -1);
        size_t mask = slots_.size() - 1;
        for (size_t s = 0; s < terms.size(); ++s) {
            size_t h = hash(terms[s].key) & mask;
            while (slots_[h] >= 0) h = (h + 1) & mask;
            slots_[h] = (int32_t)s;
        }
    }
    std::vector<int32_t> slots_;
};

/// A native coefficient as dimod takes it: ints and floats, or a real number object.
double native_bias(const Num& v) {
    if (v.tag() == Num::Float) return v.as_float();
    if (v.tag() == Num::Int) return (double)v.as_int();  // rounds to nearest, as float(int) does
    Obj o = v.py();
    if (!real_number(o.ptr())) throw NeedArithmetic{};
    return as_double(o.ptr());
}

/// One dimod model being assembled: its variables in dimod's order with their linear biases,
/// its interactions and offset. A polynomial's terms are summed on their own first (they form
/// one model) and then added to the model, as `running += _expr_conversion(poly)` adds them.
class ModelSum {
public:
    explicit ModelSum(VarTable& t) : t_(t) {}
    ~ModelSum() {
        for (int id : vars) t_.local[(size_t)id] = -1;
    }

    /// Folds one polynomial: a SubstitutedExpression, or a polynomial kept in C++ by the
    /// native compile (read without a Python object per term). With `item` (the routes), a
    /// term of degree above two and a number that is not finite are refused, naming the item.
    void add(PyObject* expr, const Item* item = nullptr) {
        item_ = item;
        poly_.clear();
        touched_.clear();
        double offset = 0.0;
        if (PolyCapsule* np = poly_capsule(expr)) {
            np->merge();
            for (const auto& e : np->poly.terms) {
                const int32_t* key = e.key.data();
                term((Py_ssize_t)e.key.size(), [&](Py_ssize_t i) { return t_.find((int64_t)key[i]); },
                     [&] { return native_bias(e.val); }, offset);
            }
            offset += bias([&] { return native_bias(np->poly.constant); }, [] { return std::string("the constant"); });
        } else {
            const Names& N = names();
            Obj coeff = getattr(expr, N.coeff.ptr());
            if (!PyDict_Check(coeff.ptr())) throw NeedArithmetic{};
            Py_ssize_t pos = 0;
            PyObject *key, *c;
            while (PyDict_Next(coeff.ptr(), &pos, &key, &c)) {
                if (!PyTuple_CheckExact(key)) throw NeedArithmetic{};
                term(
                    PyTuple_GET_SIZE(key), [&](Py_ssize_t i) { return t_.find(PyTuple_GET_ITEM(key, i)); },
                    [&] {
                        if (!real_number(c)) throw NeedArithmetic{};
                        return as_double(c);
                    },
                    offset);
            }
            Obj constant = getattr(expr, N.constant.ptr());
            if (!real_number(constant.ptr())) throw NeedArithmetic{};
            offset += bias([&] { return as_double(constant.ptr()); }, [] { return std::string("the constant"); });
        }

        // the polynomial's model added to the running one
        for (uint32_t l : touched_) {
            lin[l] += poly_lin_[l];
            poly_lin_[l] = 0.0;
            seen_[l] = 0;
        }
        sum_terms(poly_, tmp_, vars.size());
        if (polys_++ == 0) {
            sorted_.swap(poly_);  // 0 + x is x: the first polynomial's sums stand
        } else {
            if (!sorted_.empty()) {
                for (const Term& t : sorted_) summed_.at(t.key) += t.bias;
                sorted_.clear();
            }
            for (const Term& t : poly_) summed_.at(t.key) += t.bias;
        }
        this->offset += offset;
    }

    /// One term: the product of its factors (factor(i) gives factor i's variable), as dimod
    /// multiplies them -- a constant, one variable (bias 1) or one interaction (bias 1)
    /// between `a` and `b` in dimod's order -- times the coefficient that coefficient() gives.
    template <class Factor, class Coefficient>
    void term(Py_ssize_t len, Factor&& factor, Coefficient&& coefficient, double& offset) {
        int n = 0, a = -1, b = -1;
        for (Py_ssize_t i = 0; i < len; ++i) {
            int f = factor(i);
            if (n == 2) {
                if (!item_) raise(PyExc_TypeError, "cannot multiply QMs with interactions");
                raise(PyExc_TypeError, item_->text() + ": the term " + term_text(len, factor) + kNotQuadratic);
            }
            if (n == 0) {
                a = f;
                n = 1;
            } else if (f == a) {
                if (t_.vars[(size_t)f].integer) b = f, n = 2;  // a self-loop; binary x*x is x
            } else if (t_.vars[(size_t)f].bqm) {
                b = a, a = f, n = 2;  // BQM * state: dimod multiplies a BQM factor from the left
            } else {
                b = f, n = 2;  // state * QM: the state's variable first
            }
        }
        double cv = bias(coefficient, [&] { return "the coefficient of " + term_text(len, factor); });
        // the product times the coefficient, every bias scaled (0 * inf is NaN in dimod too)
        if (n == 0) {
            offset += 1.0 * cv;
            return;
        }
        offset += 0.0 * cv;
        uint32_t la = local(a);
        if (n == 1) {
            linear(la) += 1.0 * cv;
            return;
        }
        uint32_t lb = b == a ? la : local(b);
        linear(la) += 0.0 * cv;
        if (lb != la) linear(lb) += 0.0 * cv;
        poly_.push_back(Term{pair_key(la, lb), 1.0 * cv});
    }

    /// The interactions sorted by pair.
    std::vector<Term>& interactions() {
        if (polys_ > 1) {
            sorted_.swap(summed_.terms);
            sort_terms(sorted_, tmp_, vars.size());
        }
        return sorted_;
    }

    std::vector<int> vars;    // variable ids in dimod's order
    std::vector<double> lin;  // linear biases by local index
    double offset = 0.0;

private:
    /// A coefficient or constant as `read` gives it; with an item, one that is not a finite
    /// float (an int past the float range too) is refused, `what()` naming it.
    template <class Read, class What>
    double bias(Read&& read, What&& what) {
        double v;
        try {
            v = read();
        } catch (PyErrSet&) {
            if (!item_ || !PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
            Obj caught = caught_error(PyExc_OverflowError);
            Obj exc = call(PyExc_ValueError, {str(item_->text() + ": " + what() +
                                                  " is too large for a float, but a CQM takes finite numbers "
                                                  "only; check the instance data and the model's coefficients")
                                                  .ptr()});
            raise_from(exc, caught.ptr());
        }
        if (item_ && !std::isfinite(v)) not_finite(*item_, what(), v);
        return v;
    }

    /// A term as users read it: x[0]*y[1].
    template <class Factor>
    std::string term_text(Py_ssize_t len, Factor&& factor) const {
        if (len == 0) return "()";
        std::string s;
        for (Py_ssize_t i = 0; i < len; ++i) s += (i ? "*" : "") + t_.name(factor(i));
        return s;
    }

    uint32_t local(int id) {
        if ((size_t)id >= t_.local.size()) t_.local.resize(t_.vars.size(), -1);
        int32_t& l = t_.local[(size_t)id];
        if (l < 0) {
            l = (int32_t)vars.size();
            vars.push_back(id);
            lin.push_back(0.0);
            poly_lin_.push_back(0.0);
            seen_.push_back(0);
        }
        return (uint32_t)l;
    }
    double& linear(uint32_t l) {
        if (!seen_[l]) {
            seen_[l] = 1;
            touched_.push_back(l);
        }
        return poly_lin_[l];
    }

    VarTable& t_;
    const Item* item_ = nullptr;
    std::vector<Term> poly_, sorted_, tmp_;
    PairSums summed_;
    int polys_ = 0;
    std::vector<double> poly_lin_;
    std::vector<char> seen_;
    std::vector<uint32_t> touched_;
};

/// A new NumPy array of `n` items of `dtype` and a pointer to its data.
Obj np_empty(Py_ssize_t n, const char* dtype, void** data) {
    Obj arr = call(numpy_attr("empty").ptr(), {ssize(n).ptr(), str(dtype).ptr()});
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) fail();
    *data = view.buf;  // the array owns its memory; the pointer outlives the view
    PyBuffer_Release(&view);
    return arr;
}

/// With an item, finite coefficients whose sums overflowed are refused: the model would no
/// longer be the polynomial's.
void check_sums(const ModelSum& m, const std::vector<Term>& terms, const VarTable& t, const Item* item) {
    if (!item) return;
    auto fail_at = [&](const std::string& where, double v) {
        not_finite(*item, "the sum of the coefficients of " + where, v);
    };
    for (size_t l = 0; l < m.lin.size(); ++l)
        if (!std::isfinite(m.lin[l])) fail_at(t.name(m.vars[l]), m.lin[l]);
    for (const Term& term : terms)
        if (!std::isfinite(term.bias))
            fail_at(t.name(m.vars[term.key >> 32]) + "*" + t.name(m.vars[(uint32_t)term.key]), term.bias);
    if (!std::isfinite(m.offset)) not_finite(*item, "the sum of the constants", m.offset);
}

/// The dimod QuadraticModel of an assembled sum: variables labelled 0..k-1 (so that dimod
/// takes the biases as arrays), then relabelled.
Obj build_model(ModelSum& m, const VarTable& t, const Item* item = nullptr) {
    Obj qm = call(dimod_attr("QuadraticModel").ptr(), {});
    Py_ssize_t k = (Py_ssize_t)m.vars.size();
    if (k == 0) check_sums(m, {}, t, item);
    if (k > 0) {
        Obj data = attr(qm.ptr(), "data");
        Obj kw = kwnames({"lower_bound", "upper_bound"});
        Obj add_variable = attr(data.ptr(), "add_variable");
        Obj add_from = attr(qm.ptr(), "add_variables_from");
        Obj bin = binary_vartype(), intv = integer_vartype();
        for (Py_ssize_t i = 0; i < k;) {
            const Var& v = t.vars[(size_t)m.vars[(size_t)i]];
            if (v.integer) {
                Obj label = ssize(i);
                call(add_variable.ptr(), {intv.ptr(), label.ptr(), v.lower.ptr(), v.upper.ptr()}, kw.ptr());
                ++i;
                continue;
            }
            Py_ssize_t j = i;
            while (j < k && !t.vars[(size_t)m.vars[(size_t)j]].integer) ++j;
            Obj r = own(PyObject_CallFunction((PyObject*)&PyRange_Type, "nn", i, j));
            call(add_from.ptr(), {bin.ptr(), r.ptr()});
            i = j;
        }
        void* p;
        Obj linear = np_empty(k, "float64", &p);
        std::memcpy(p, m.lin.data(), (size_t)k * sizeof(double));
        method(data.ptr(), "add_linear_from_array", {linear.ptr()});

        // interactions sorted by (u, v): each lands at the end of both neighbourhoods
        const std::vector<Term>& terms = m.interactions();
        check_sums(m, terms, t, item);
        size_t n = terms.size();
        if (n > 0) {
            void *pu, *pv, *pb;
            Obj rows = np_empty((Py_ssize_t)n, "int32", &pu);
            Obj cols = np_empty((Py_ssize_t)n, "int32", &pv);
            Obj biases = np_empty((Py_ssize_t)n, "float64", &pb);
            for (size_t s = 0; s < n; ++s) {
                ((int32_t*)pu)[s] = (int32_t)(terms[s].key >> 32);
                ((int32_t*)pv)[s] = (int32_t)(uint32_t)terms[s].key;
                ((double*)pb)[s] = terms[s].bias;
            }
            // dimod refuses more interactions per call than the model has variables
            Obj add_quadratic = attr(data.ptr(), "add_quadratic_from_arrays");
            for (size_t s = 0; s < n; s += (size_t)k) {
                Py_ssize_t lo = (Py_ssize_t)s, hi = (Py_ssize_t)std::min(n, s + (size_t)k);
                Obj r = own(PySequence_GetSlice(rows.ptr(), lo, hi));
                Obj c = own(PySequence_GetSlice(cols.ptr(), lo, hi));
                Obj b = own(PySequence_GetSlice(biases.ptr(), lo, hi));
                call(add_quadratic.ptr(), {r.ptr(), c.ptr(), b.ptr()});
            }
        }
    }
    Obj off = own(PyFloat_FromDouble(m.offset));
    if (PyObject_SetAttrString(qm.ptr(), "offset", off.ptr()) < 0) fail();
    if (k > 0) {
        Obj mapping = own(PyDict_New());
        for (Py_ssize_t i = 0; i < k; ++i) {
            Obj key = ssize(i);
            dict_set(mapping.ptr(), key.ptr(), t.vars[(size_t)m.vars[(size_t)i]].label.ptr());
        }
        method(qm.ptr(), "relabel_variables", {mapping.ptr()});
    }
    return qm;
}

/// A term's variables as users read them: x[0]*y[1].
std::string term_text(PyObject* key, VarTable& t) {
    std::string s;
    for_each(key, [&](PyObject* index) { s += (s.empty() ? "" : "*") + t.name(t.find(index)); });
    return s.empty() ? "()" : s;
}

/// With an item, a coefficient or constant of the arithmetic path that converts to a float
/// which is not finite is refused; what does not convert is left to dimod.
template <class What>
void check_number(const Item* item, PyObject* number, What&& what) {
    if (!item) return;
    double v = PyFloat_AsDouble(number);
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return;
        }
        PyErr_Clear();
        v = compare(number, integer(0).ptr(), Py_LT) ? -HUGE_VAL : HUGE_VAL;
    }
    if (!std::isfinite(v)) not_finite(*item, what(), v);
}

/// The model of one polynomial by dimod's arithmetic, term by term.
Obj arithmetic(PyObject* poly, VarTable& t, const Item* item = nullptr) {
    const Names& N = names();
    PolyCapsule* np = poly_capsule(poly);
    Obj held = np ? native_expression(*np) : ref(poly);
    PyObject* expr = held.ptr();
    Obj qm_class = dimod_attr("QuadraticModel");
    Obj kw = kwnames({"offset"});
    Obj one = integer(1);
    Obj model = call(qm_class.ptr(), {});
    Obj terms = items_of(getattr(expr, N.coeff.ptr()).ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(terms.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(terms.ptr(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        check_number(item, PyTuple_GET_ITEM(pair, 1), [&] { return "the coefficient of " + term_text(key, t); });
        Obj term = call(qm_class.ptr(), {one.ptr()}, kw.ptr());
        try {
            for_each(key, [&](PyObject* index) {
                Obj factor = t.model(index);
                term = own(PyNumber_InPlaceMultiply(term.ptr(), factor.ptr()));
            });
        } catch (PyErrSet&) {
            // dimod refuses a product past degree two with a TypeError
            if (!item || !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
            Obj caught = caught_error(PyExc_TypeError);
            Obj exc =
                call(PyExc_TypeError, {str(item->text() + ": the term " + term_text(key, t) + kNotQuadratic).ptr()});
            raise_from(exc, caught.ptr());
        }
        Obj scaled = own(PyNumber_Multiply(term.ptr(), PyTuple_GET_ITEM(pair, 1)));
        model = own(PyNumber_InPlaceAdd(model.ptr(), scaled.ptr()));
    }
    Obj constant = getattr(expr, N.constant.ptr());
    check_number(item, constant.ptr(), [] { return std::string("the constant"); });
    return own(PyNumber_InPlaceAdd(model.ptr(), constant.ptr()));
}

/// The model of one polynomial; `item` names it in errors (null for a caller's expression).
Obj convert(PyObject* expr, VarTable& t, const Item* item = nullptr) {
    try {
        ModelSum m(t);
        m.add(expr, item);
        return build_model(m, t, item);
    } catch (NeedArithmetic&) {
        return arithmetic(expr, t, item);
    }
}

/// One model summing the polynomials of every forall key of custom penalty `label`:
/// QuadraticModel(offset=0.0) plus each polynomial's model, in order.
Obj convert_sum(PyObject* label, PyObject* by_forall, VarTable& t) {
    Obj polys = items_of(by_forall);
    Py_ssize_t n = PyList_GET_SIZE(polys.ptr());
    Item whole{"penalty", label};
    std::vector<Item> items((size_t)n, whole);
    for (Py_ssize_t i = 0; i < n; ++i) items[(size_t)i].key = PyTuple_GET_ITEM(PyList_GET_ITEM(polys.ptr(), i), 0);
    try {
        ModelSum m(t);
        for (Py_ssize_t i = 0; i < n; ++i)
            m.add(PyTuple_GET_ITEM(PyList_GET_ITEM(polys.ptr(), i), 1), &items[(size_t)i]);
        return build_model(m, t, &whole);
    } catch (NeedArithmetic&) {
        Obj kw = kwnames({"offset"});
        Obj zero = own(PyFloat_FromDouble(0.0));
        Obj model = call(dimod_attr("QuadraticModel").ptr(), {zero.ptr()}, kw.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Obj one = arithmetic(PyTuple_GET_ITEM(PyList_GET_ITEM(polys.ptr(), i), 1), t, &items[(size_t)i]);
            model = own(PyNumber_InPlaceAdd(model.ptr(), one.ptr()));
        }
        return model;
    }
}

// ---------------------------------------------------------------------------------------------
// Entry points

Obj expr_conversion(PyObject* const* a) {
    check_arg(a[1], &PyDict_Type, "var_map");
    ModelTable t(a[1]);
    return convert(a[0], t);
}

bool is_minimize(PyObject* compiled) {
    Obj problem = attr(compiled, "problem");
    Obj sense = getattr(problem.ptr(), names().sense.ptr());
    Obj senses = QTX_IMPORT("quillon_transpiler.core.compile.convert_to_substitutable", "ProblemSense");
    Obj minimize = attr(senses.ptr(), "MINIMIZE");
    return compare(sense.ptr(), minimize.ptr(), Py_EQ);
}

/// The comparison operator of a constraint label's condition kind; an unknown kind raises,
/// or counts as <= when `strict` is off.
int constraint_op(PyObject* compiled, PyObject* label, bool strict = true) {
    Obj kinds = tree_class(QTX_NAME("ConstraintKind"));
    Obj constraints = getattr(attr(compiled, "problem").ptr(), names().constraints.ptr());
    Obj condition = getattr(item(constraints.ptr(), label).ptr(), names().condition.ptr());
    Obj kind = getattr(condition.ptr(), names().kind.ptr());
    if (compare(kind.ptr(), attr(kinds.ptr(), "EQUAL").ptr(), Py_EQ)) return Py_EQ;
    if (compare(kind.ptr(), attr(kinds.ptr(), "LESSTHANEQUAL").ptr(), Py_EQ)) return Py_LE;
    if (compare(kind.ptr(), attr(kinds.ptr(), "GREATERTHANEQUAL").ptr(), Py_EQ)) return Py_GE;
    if (!strict) return Py_LE;
    raise(PyExc_ValueError, "unknown condition");
}

/// (cqm, objective, penalties) of a compiled instance.
Obj transpile(PyObject* const* a) {
    PyObject* compiled = a[0];
    RegistryTable t(getattr(compiled, names().var_map.ptr()).ptr());

    Obj cqm = call(dimod_attr("ConstrainedQuadraticModel").ptr(), {});
    Obj add_constraint = attr(cqm.ptr(), "add_constraint");
    Obj label_kw = kwnames({"label"});
    Obj zero = integer(0);
    Obj constraints = items_of(attr(compiled, "constraint").ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(constraints.ptr()); ++i) {
        PyObject* label = PyTuple_GET_ITEM(PyList_GET_ITEM(constraints.ptr(), i), 0);
        Obj by_forall = items_of(PyTuple_GET_ITEM(PyList_GET_ITEM(constraints.ptr(), i), 1));
        int op = -1;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(by_forall.ptr()); ++j) {
            PyObject* entry = PyList_GET_ITEM(by_forall.ptr(), j);
            Item what{"constraint", label, PyTuple_GET_ITEM(entry, 0)};
            Obj qm = convert(PyTuple_GET_ITEM(entry, 1), t, &what);
            Obj cqm_label = own(PyUnicode_FromFormat("%S_%S", label, PyTuple_GET_ITEM(entry, 0)));
            if (op < 0) op = constraint_op(compiled, label);
            Obj comparison = own(PyObject_RichCompare(qm.ptr(), zero.ptr(), op));
            call(add_constraint.ptr(), {comparison.ptr(), cqm_label.ptr()}, label_kw.ptr());
        }
    }

    Obj penalties = own(PyDict_New());
    Obj by_label = items_of(attr(compiled, "penalty").ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(by_label.ptr()); ++i) {
        PyObject* entry = PyList_GET_ITEM(by_label.ptr(), i);
        Obj qm = convert_sum(PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), t);
        dict_set(penalties.ptr(), PyTuple_GET_ITEM(entry, 0), qm.ptr());
    }

    Item whole{"objective"};
    Obj objective = convert(getattr(compiled, names().objective.ptr()).ptr(), t, &whole);
    if (!is_minimize(compiled)) {
        Obj minus = integer(-1);
        objective = own(PyNumber_InPlaceMultiply(objective.ptr(), minus.ptr()));
    }
    return own(PyTuple_Pack(3, cqm.ptr(), objective.ptr(), penalties.ptr()));
}

// Every call returns a new CQM: a copy of the constraints-only CQM that transpile built (kept
// by the builder, never changed) with the objective set. Replacing the objective of one shared
// CQM, as before, freed the storage behind views of models already handed out (dimod does not
// guard them): iterating cqm.objective.quadratic across a second get_model crashed the
// interpreter. dimod's __deepcopy__ copies the C++ model in one step (constraints, labels,
// vartypes and bounds exactly, checked on dimod 0.12.13 to 0.12.23), but deep-copies every
// variable label in Python, which cost 70 ms at 10^4 variables: the memo hands the labels
// over as they are (they are hashable and immutable, so sharing them is what a copy needs),
// and the copy then costs about a tenth of set_objective's copy of the objective.
Obj get_model(PyObject* const* a) {
    PyObject* self = a[0];
    Obj weights = a[1] == Py_None ? own(PyDict_New()) : ref(a[1]);
    check_arg(weights.ptr(), &PyDict_Type, "penalty_weight");
    Obj objective = attr(self, "_objective");
    Obj penalties = attr(self, "custome_penalties");
    Py_ssize_t count = PyObject_Length(penalties.ptr());
    if (count < 0) fail();
    if (count > 0) {
        Obj check_weight = QTX_IMPORT("quillon_transpiler.core.route_inputs", "check_weight");
        Obj weighted = method(objective.ptr(), "copy");
        Obj pairs = items_of(weights.ptr());  // owned: the loop runs Python code
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
            PyObject* label = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 0);
            PyObject* weight = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 1);
            Obj penalty = item(penalties.ptr(), label);
            Obj what = str("the weight of custom penalty `" + to_string(label) + "`");
            call(check_weight.ptr(), {weight, what.ptr()});
            Obj term = own(PyNumber_Multiply(weight, penalty.ptr()));
            weighted = own(PyNumber_InPlaceAdd(weighted.ptr(), term.ptr()));
        }
        objective = weighted;
    }
    Obj template_ = attr(self, "_cqm_template");
    Obj memo = own(PyDict_New());
    for_each(attr(template_.ptr(), "variables").ptr(), [&](PyObject* label) {
        Obj id = own(PyLong_FromVoidPtr(label));
        dict_set(memo.ptr(), id.ptr(), label);
    });
    Obj deepcopy = QTX_IMPORT("copy", "deepcopy");
    Obj model = call(deepcopy.ptr(), {template_.ptr(), memo.ptr()});
    method(model.ptr(), "set_objective", {objective.ptr()});
    if (PyObject_SetAttrString(self, "_model", model.ptr()) < 0) fail();
    return model;
}

// ---------------------------------------------------------------------------------------------
// Decoding

/// A read-only view of a sample array's numbers, whatever its integer, bool or float type.
class SampleArray {
public:
    explicit SampleArray(PyObject* samples) {
        arr_ = call(numpy_attr("ascontiguousarray").ptr(), {samples});
        if (PyObject_GetBuffer(arr_.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) fail();
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        while (*f == '@' || *f == '=' || *f == '<') ++f;
        code_ = f[1] == '\0' ? f[0] : '\0';
        if (!std::strchr("bBhHiIlLqQfd?", code_) || code_ == '\0')
            raise(PyExc_TypeError, "sample values must be integers, booleans or floats");
        if (view_.ndim != 2) raise(PyExc_ValueError, "sample array must be two-dimensional");
        rows = view_.shape[0];
        cols = view_.shape[1];
    }
    ~SampleArray() {
        if (held_) PyBuffer_Release(&view_);
    }
    SampleArray(const SampleArray&) = delete;
    SampleArray& operator=(const SampleArray&) = delete;

    /// Whether entry (r, c) is not equal to 0 (NaN counts as non-zero).
    bool nonzero(Py_ssize_t r, Py_ssize_t c) const {
        const char* p = (const char*)view_.buf + (r * cols + c) * view_.itemsize;
        switch (code_) {
            case 'f': return load<float>(p) != 0.0f;
            case 'd': return load<double>(p) != 0.0;
            default: return std::memcmp(p, zero_, (size_t)view_.itemsize) != 0;
        }
    }
    /// Entry (r, c) as a Python int, bool or float.
    Obj value(Py_ssize_t r, Py_ssize_t c) const {
        const char* p = (const char*)view_.buf + (r * cols + c) * view_.itemsize;
        switch (code_) {
            case 'b': return integer(load<int8_t>(p));
            case 'B': return integer(load<uint8_t>(p));
            case 'h': return integer(load<int16_t>(p));
            case 'H': return integer(load<uint16_t>(p));
            case 'i': return integer(load<int32_t>(p));
            case 'I': return integer(load<uint32_t>(p));
            case 'l':
            case 'q': return view_.itemsize == 8 ? integer(load<int64_t>(p)) : integer(load<int32_t>(p));
            case 'L':
            case 'Q':
                return view_.itemsize == 8 ? own(PyLong_FromUnsignedLongLong(load<uint64_t>(p)))
                                           : integer(load<uint32_t>(p));
            case '?': return ref(*p ? Py_True : Py_False);
            case 'f': return own(PyFloat_FromDouble(load<float>(p)));
            default: return own(PyFloat_FromDouble(load<double>(p)));
        }
    }
    Py_ssize_t rows = 0, cols = 0;

private:
    template <class T>
    static T load(const char* p) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        return v;
    }
    Obj arr_;
    Py_buffer view_{};
    bool held_ = false;
    char code_ = '\0';
    const char zero_[16] = {};
};

/// A sample-set column that belongs to a decision variable: its label's position among the
/// labels of the solution, its subscripts, and (once needed) its registry index.
struct Column {
    Py_ssize_t column;
    Py_ssize_t slot;
    Obj label, subscripts;
    Obj index;
};

Obj decode(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* sampleset = a[1];
    const Names& N = names();
    Obj compiled = attr(self, "compiled_model");
    Obj shapes = attr(compiled.ptr(), "deci_var_shape");

    // one solution list per decision variable, in the order of the shapes
    Obj shape_items = items_of(shapes.ptr());
    Py_ssize_t nlabels = PyList_GET_SIZE(shape_items.ptr());
    std::vector<PyObject*> shape_of((size_t)nlabels);
    std::vector<Py_ssize_t> axes((size_t)nlabels);
    Obj slots = own(PyDict_New());  // label -> position
    Obj lists = own(PyList_New(nlabels));
    for (Py_ssize_t s = 0; s < nlabels; ++s) {
        PyObject* pair = PyList_GET_ITEM(shape_items.ptr(), s);
        shape_of[(size_t)s] = PyTuple_GET_ITEM(pair, 1);
        axes[(size_t)s] = PyObject_Length(shape_of[(size_t)s]);
        if (axes[(size_t)s] < 0) fail();
        Obj pos = ssize(s);
        dict_set(slots.ptr(), PyTuple_GET_ITEM(pair, 0), pos.ptr());
        PyList_SET_ITEM(lists.ptr(), s, PyList_New(0));
        if (!PyList_GET_ITEM(lists.ptr(), s)) fail();
    }

    // the columns of decision variables; any other label is not ours and is ignored
    Obj record = attr(sampleset, "record");
    Obj variables = own(PySequence_List(attr(sampleset, "variables").ptr()));
    std::vector<Column> columns;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(variables.ptr()); ++j) {
        PyObject* v = PyList_GET_ITEM(variables.ptr(), j);
        if (!PyTuple_Check(v) || PyTuple_GET_SIZE(v) != 2) continue;
        PyObject* slot = dict_get(slots.ptr(), PyTuple_GET_ITEM(v, 0));
        if (!slot) continue;
        Column c{j, PyLong_AsSsize_t(slot), ref(PyTuple_GET_ITEM(v, 0)), ref(PyTuple_GET_ITEM(v, 1)), Obj()};
        Py_ssize_t n = PyObject_Length(c.subscripts.ptr());
        if (n < 0) fail();
        if (n != axes[(size_t)c.slot])
            raisef(PyExc_ValueError,
                   "sample variable %R has %zd subscripts, but decision variable %R has %zd axes; decode "
                   "sample sets of this builder's CQM",
                   v, n, c.label.ptr(), axes[(size_t)c.slot]);
        columns.push_back(std::move(c));
    }

    // The non-zero fixed values (the caller's and the pinned ones) never reach the CQM, yet its
    // energies count them: every sample lists them after its own entries, in the order of the
    // fixed map, as dict_to_record does. Read from the builder's copy of the map, taken when it
    // was built, so that a caller reusing the dict for another instance changes nothing here.
    std::vector<std::vector<std::pair<Obj, Obj>>> fixed((size_t)nlabels);
    Obj fixed_map = items_of(attr(self, "_fixed_values").ptr());
    Obj fzero = float_zero();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fixed_map.ptr()); ++i) {
        PyObject* label = PyTuple_GET_ITEM(PyList_GET_ITEM(fixed_map.ptr(), i), 0);
        PyObject* slot = dict_get(slots.ptr(), label);
        if (!slot) continue;  // not a decision variable of this model
        Py_ssize_t s = PyLong_AsSsize_t(slot);
        Obj entries = items_of(PyTuple_GET_ITEM(PyList_GET_ITEM(fixed_map.ptr(), i), 1));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(entries.ptr()); ++k) {
            PyObject* subs = PyTuple_GET_ITEM(PyList_GET_ITEM(entries.ptr(), k), 0);
            PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(entries.ptr(), k), 1);
            if (!compare(value, fzero.ptr(), Py_NE)) continue;
            if (!PyTuple_Check(subs) || PyTuple_GET_SIZE(subs) != axes[(size_t)s])
                raisef(PyExc_ValueError,
                       "the fixed value of decision variable %R at %R does not have one subscript per axis of its "
                       "shape %R; key fixed values by a tuple of %zd subscripts",
                       label, subs, shape_of[(size_t)s], axes[(size_t)s]);
            fixed[(size_t)s].emplace_back(ref(subs), ref(value));
        }
    }

    SampleArray samples(attr(record.ptr(), "sample").ptr());
    // per sample and label: (one list per axis, values, shape); read in record order
    std::vector<PyObject*> index_lists, value_lists((size_t)nlabels);
    std::vector<Py_ssize_t> first_axis((size_t)nlabels);
    for (Py_ssize_t r = 0; r < samples.rows; ++r) {
        index_lists.clear();
        std::vector<Obj> sparse((size_t)nlabels);
        for (Py_ssize_t s = 0; s < nlabels; ++s) {
            Obj idx = own(PyTuple_New(axes[(size_t)s]));
            first_axis[(size_t)s] = (Py_ssize_t)index_lists.size();
            for (Py_ssize_t ax = 0; ax < axes[(size_t)s]; ++ax) {
                PyObject* l = PyList_New(0);
                if (!l) fail();
                PyTuple_SET_ITEM(idx.ptr(), ax, l);
                index_lists.push_back(l);
            }
            Obj vals = own(PyList_New(0));
            value_lists[(size_t)s] = vals.ptr();
            sparse[(size_t)s] = own(PyTuple_Pack(3, idx.ptr(), vals.ptr(), shape_of[(size_t)s]));
        }
        for (const Column& c : columns) {
            if (!samples.nonzero(r, c.column)) continue;
            Py_ssize_t base = first_axis[(size_t)c.slot];
            for (Py_ssize_t ax = 0; ax < axes[(size_t)c.slot]; ++ax) {
                Obj sub = own(PySequence_GetItem(c.subscripts.ptr(), ax));
                if (PyList_Append(index_lists[(size_t)(base + ax)], sub.ptr()) < 0) fail();
            }
            Obj value = samples.value(r, c.column);
            if (PyList_Append(value_lists[(size_t)c.slot], value.ptr()) < 0) fail();
        }
        for (Py_ssize_t s = 0; s < nlabels; ++s) {
            Py_ssize_t base = first_axis[(size_t)s];
            for (const auto& f : fixed[(size_t)s]) {
                for (Py_ssize_t ax = 0; ax < axes[(size_t)s]; ++ax) {
                    PyObject* sub = PyTuple_GET_ITEM(f.first.ptr(), ax);
                    if (PyList_Append(index_lists[(size_t)(base + ax)], sub) < 0) fail();
                }
                if (PyList_Append(value_lists[(size_t)s], f.second.ptr()) < 0) fail();
            }
            if (PyList_Append(PyList_GET_ITEM(lists.ptr(), s), sparse[(size_t)s].ptr()) < 0) fail();
        }
    }
    Obj solution = own(PyDict_New());
    for (Py_ssize_t s = 0; s < nlabels; ++s)
        dict_set(solution.ptr(), PyTuple_GET_ITEM(PyList_GET_ITEM(shape_items.ptr(), s), 0),
                 PyList_GET_ITEM(lists.ptr(), s));

    Obj record_kw = kwnames({"solution", "num_occurrences"});
    Obj occurrences = method(item(record.ptr(), "num_occurrences").ptr(), "tolist");
    Obj ql_record = call(ql_attr("Record").ptr(), {solution.ptr(), occurrences.ptr()}, record_kw.ptr());

    // violations: recomputed from the compiled constraints for infeasible samples
    Obj violations = own(PyDict_New());
    Obj constraint_labels = own(PySequence_List(attr(compiled.ptr(), "constraint").ptr()));
    Py_ssize_t nconstraints = PyList_GET_SIZE(constraint_labels.ptr());
    for (Py_ssize_t i = 0; i < nconstraints; ++i) {
        Obj l = own(PyList_New(0));
        dict_set(violations.ptr(), PyList_GET_ITEM(constraint_labels.ptr(), i), l.ptr());
    }
    Obj feasible = method(item(record.ptr(), "is_feasible").ptr(), "tolist");
    Obj zero = own(PyFloat_FromDouble(0.0));
    Obj eval_constraint, registry, kinds = own(PyDict_New());
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(feasible.ptr()); ++r) {
        if (truth(PyList_GET_ITEM(feasible.ptr(), r))) {
            for (Py_ssize_t i = 0; i < nconstraints; ++i) {
                PyObject* l = dict_item(violations.ptr(), PyList_GET_ITEM(constraint_labels.ptr(), i));
                if (PyList_Append(l, zero.ptr()) < 0) fail();
            }
            continue;
        }
        if (!eval_constraint) {
            eval_constraint = QTX_IMPORT("quillon_transpiler.core.decode.evaluate", "eval_constraint");
            registry = getattr(getattr(compiled.ptr(), N.var_map.ptr()).ptr(), N.var_map.ptr());
        }
        // the sample's values by variable index, a scalar variable's at subscript (); fixed values
        // are constants of the compiled polynomials, not variables, and stay out
        Obj values = own(PyDict_New());
        for (Column& c : columns) {
            if (!samples.nonzero(r, c.column)) continue;
            if (!c.index) {
                Obj by_subs = item(registry.ptr(), c.label.ptr());
                Obj subs = own(PySequence_Tuple(c.subscripts.ptr()));
                c.index = item(by_subs.ptr(), subs.ptr());
            }
            Obj value = samples.value(r, c.column);
            dict_set(values.ptr(), c.index.ptr(), value.ptr());
        }
        Obj result = call(eval_constraint.ptr(), {values.ptr(), compiled.ptr()});
        Obj by_label = items_of(result.ptr());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(by_label.ptr()); ++i) {
            PyObject* label = PyTuple_GET_ITEM(PyList_GET_ITEM(by_label.ptr(), i), 0);
            PyObject* op_obj = dict_get(kinds.ptr(), label);
            int op;
            if (op_obj) {
                op = (int)PyLong_AsLong(op_obj);
            } else {
                op = constraint_op(compiled.ptr(), label, false);
                Obj o = integer(op);
                dict_set(kinds.ptr(), label, o.ptr());
            }
            Obj vals = items_of(PyTuple_GET_ITEM(PyList_GET_ITEM(by_label.ptr(), i), 1));
            double sum = 0.0;
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(vals.ptr()); ++k) {
                double x = as_double(PyTuple_GET_ITEM(PyList_GET_ITEM(vals.ptr(), k), 1));
                // == counts any deviation, <= the excess above 0, >= the shortfall below 0
                if (op == Py_EQ)
                    sum += std::fabs(x);
                else if (op == Py_LE)
                    sum += x > 0.0 ? x : 0.0;
                else
                    sum += x < 0.0 ? -x : 0.0;
            }
            Obj v = own(PyFloat_FromDouble(sum));
            if (PyList_Append(dict_item(violations.ptr(), label), v.ptr()) < 0) fail();
        }
    }

    Obj energy = method(item(record.ptr(), "energy").ptr(), "tolist");
    Obj objective;
    if (is_minimize(compiled.ptr())) {
        objective = own(PySequence_List(energy.ptr()));
    } else {
        Py_ssize_t n = PyList_GET_SIZE(energy.ptr());
        objective = own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Obj minus = integer(-1);
            PyList_SET_ITEM(objective.ptr(), i, PyNumber_Multiply(minus.ptr(), PyList_GET_ITEM(energy.ptr(), i)));
            if (!PyList_GET_ITEM(objective.ptr(), i)) fail();
        }
    }
    Obj eval_kw = kwnames({"energy", "objective", "constraint_violations"});
    Obj evaluation =
        call(ql_attr("Evaluation").ptr(), {energy.ptr(), objective.ptr(), violations.ptr()}, eval_kw.ptr());
    Obj timing = call(ql_attr("MeasuringTime").ptr(), {});
    Obj set_kw = kwnames({"record", "evaluation", "measuring_time"});
    return call(ql_attr("SampleSet").ptr(), {ql_record.ptr(), evaluation.ptr(), timing.ptr()}, set_kw.ptr());
}

PyMethodDef functions[] = {
    QTX_FN("_convert", 2, expr_conversion),
    QTX_FN("_transpile", 1, transpile),
    QTX_FN("_get_model", 2, get_model),
    QTX_FN("_decode", 2, decode),
    QTX_END,
};

}  // namespace

NB_MODULE(dimod_bridge, m) { QTX_MODULE_INIT(m, functions) }
