// The dimod variables a conversion may meet: the registry's, or those of a caller's var_map.
#pragma once
#include "libraries.hpp"
#include "refusals.hpp"
#include "qtx/names.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

namespace qtx::bridge {

/// One dimod variable: its label, whether it is integer (else binary), for an integer its
/// bounds as given to dimod, and whether its model is a BinaryQuadraticModel (dimod then
/// multiplies it from the left, which decides the order of a product's variables).
struct Var {
    nb::object label;
    bool integer = false;
    bool bqm = true;
    nb::object lower, upper;
    nb::object model;  // its one-variable dimod model, made only for the arithmetic path
};

/// The variables a conversion may meet, found by the polynomial's index objects. Lookups run
/// per factor of every term, so they stay on the raw API.
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
        return find(nb::int_(index).ptr());
    }
    /// The one-variable model of index `key`, for the arithmetic path.
    virtual nb::object model(nb::handle key) = 0;
    /// Variable `id` as errors name it: y[0] for a registry label (label, subscripts).
    std::string name(int id) const {
        nb::handle label = vars[(size_t)id].label;
        if (nb::isinstance<nb::tuple>(label) && nb::len(label) == 2) {
            auto pair = nb::borrow<nb::tuple>(label);
            if (nb::isinstance<nb::str>(pair[0]) && nb::isinstance<nb::tuple>(pair[1]))
                return var_name(pair[0], pair[1]);
        }
        return repr_of(label);
    }

    std::vector<Var> vars;
    std::vector<int32_t> local;  // variable id -> index in the model being assembled, or -1

protected:
    virtual int lookup(PyObject* key) = 0;
    /// The dict finds any key equal to an index (a NumPy integer, 3.0), as a dict lookup
    /// would; the dense table is its shortcut for the registry's plain ints 0..n-1.
    void remember(nb::handle key, int id) {
        index_[key] = id;
        if (PyLong_CheckExact(key.ptr())) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
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
    nb::dict index_;

private:
    std::vector<int> dense_;
};

/// `dimod.Integer(label, lower_bound=..., upper_bound=...)` or `dimod.Binary(label)`.
inline nb::object variable_model(const Var& v) {
    if (!v.integer) return dimod().attr("Binary")(v.label);
    return dimod().attr("Integer")(v.label, "lower_bound"_a = v.lower, "upper_bound"_a = v.upper);
}

/// An integer variable's bound rounded inward (a lower bound up, an upper one down), as the QUBO
/// route's encoders round it: dimod would keep 3.5 as the upper bound, and a CQM solver may
/// then return 3.5's floor or, with a real-valued relaxation, a value the model never allows.
inline nb::object integer_bound(nb::handle bound, bool upper, const std::string& name) {
    nb::object number = nb::borrow(bound);
    if (!PyLong_Check(bound.ptr()) && !PyFloat_Check(bound.ptr())) {
        // NumPy scalars and zero-dimensional arrays as the Python number they hold
        nb::object np = numpy();
        bool scalar = nb::isinstance(bound, np.attr("generic"));
        if (!scalar && nb::isinstance(bound, np.attr("ndarray"))) scalar = bound.attr("ndim").equal(nb::int_(0));
        if (scalar) number = bound.attr("item")();
    }
    if (PyLong_Check(number.ptr())) return number;
    double d = PyFloat_AsDouble(number.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_ValueError, "Integer variable " + name + " has the non-numeric bound " + repr_of(bound) +
                                    "; give numbers as its bounds in the instance data");
    }
    if (!std::isfinite(d))
        raise(PyExc_ValueError, "Integer variable " + name + " has the bound " + to_string(bound.ptr()) +
                                    ", but a CQM needs finite integer bounds; give finite bounds in the instance data");
    return own(PyLong_FromDouble(upper ? std::floor(d) : std::ceil(d)));
}

/// The registry's variables, labelled (label, subscripts): binary, or integer when the label
/// has bounds. Integer bounds are rounded inward and checked by dimod as `dimod.Integer`
/// would, up front, so that a refusal names the variable.
class RegistryTable : public VarTable {
public:
    explicit RegistryTable(nb::handle registry) {
        const Names& names = qtx::names();
        nb::object bounds = registry.attr(names.integer_bound);
        nb::object scratch;  // takes every integer variable once, so that dimod validates its bounds
        for (nb::handle by_label : items_of(registry.attr(names.var_map))) {
            auto [label, by_subscripts] = pair_of(by_label);
            bool is_integer = contains(bounds, label);
            nb::object label_bounds = is_integer ? nb::object(bounds[label]) : nb::object();
            for (nb::handle entry : items_of(by_subscripts)) {
                auto [subscripts, index] = pair_of(entry);
                Var v;
                v.label = nb::make_tuple(label, subscripts);
                if (is_integer) {
                    nb::object bound = label_bounds[subscripts];
                    v.integer = true;
                    v.bqm = false;
                    std::string name = var_name(label, subscripts);
                    nb::object lower = bound.attr(names.lower), upper = bound.attr(names.upper);
                    v.lower = integer_bound(lower, false, name);
                    v.upper = integer_bound(upper, true, name);
                    std::string given = "[" + to_string(lower.ptr()) + ", " + to_string(upper.ptr()) + "]";
                    if (v.lower > v.upper)
                        raise(PyExc_ValueError, "Integer variable " + name +
                                                    " has no integer value within its bounds " + given +
                                                    "; check the bounds in the instance data");
                    if (!scratch) scratch = dimod().attr("QuadraticModel")();
                    try {
                        scratch.attr("add_variable")(integer_vartype(), v.label, "lower_bound"_a = v.lower,
                                                     "upper_bound"_a = v.upper);
                    } catch (nb::python_error& e) {
                        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OverflowError)) throw;
                        nb::object error = nb::handle(PyExc_ValueError)(
                            str("Integer variable " + name + " has the bounds " + given + ", which dimod refuses (" +
                                to_string(e.value().ptr()) + "); give bounds dimod takes"));
                        raise_from(error, e.value().ptr());
                    }
                }
                vars.push_back(std::move(v));
                remember(index, (int)vars.size() - 1);
            }
        }
    }

    nb::object model(nb::handle key) override {
        Var& v = vars[(size_t)find(key.ptr())];
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
    explicit ModelTable(nb::dict var_map) : var_map_(std::move(var_map)) {}

    nb::object model(nb::handle key) override { return nb::borrow(dict_item(var_map_.ptr(), key.ptr())); }

protected:
    int lookup(PyObject* key) override {
        int id = from_dict(key);
        if (id >= 0) return id;
        Var v = inspect(nb::borrow(dict_item(var_map_.ptr(), key)));
        if (PyObject* seen = dict_get(labels_.ptr(), v.label.ptr())) {
            id = (int)PyLong_AsLong(seen);
            const Var& w = vars[(size_t)id];
            if (w.integer != v.integer || w.bqm != v.bqm) throw NeedArithmetic{};
            if (v.integer && (!w.lower.equal(v.lower) || !w.upper.equal(v.upper))) throw NeedArithmetic{};
        } else {
            vars.push_back(std::move(v));
            id = (int)vars.size() - 1;
            labels_[vars.back().label] = id;
        }
        remember(key, id);
        return id;
    }

private:
    Var inspect(nb::handle model) {
        bool is_bqm = model.type().is(bqm_);
        if (!is_bqm && !model.type().is(qm_)) throw NeedArithmetic{};
        if (!model.attr("dtype").equal(f64_)) throw NeedArithmetic{};
        nb::object n = model.attr("num_variables"), q = model.attr("num_interactions");
        if (PyLong_AsLong(n.ptr()) != 1 || PyLong_AsLong(q.ptr()) != 0) throw NeedArithmetic{};
        if (as_double(model.attr("offset")) != 0.0) throw NeedArithmetic{};
        Var v;
        v.bqm = is_bqm;
        v.label = model.attr("variables")[0];
        if (as_double(model.attr("get_linear")(v.label)) != 1.0) throw NeedArithmetic{};
        nb::object vartype = is_bqm ? model.attr("vartype") : model.attr("vartype")(v.label);
        if (vartype.is(integer_vartype())) {
            v.integer = true;
            v.lower = model.attr("lower_bound")(v.label);
            v.upper = model.attr("upper_bound")(v.label);
        } else if (!vartype.is(binary_vartype())) {
            throw NeedArithmetic{};
        }
        return v;
    }

    nb::dict var_map_;
    nb::dict labels_;  // label -> variable id
    nb::object bqm_ = dimod().attr("BinaryQuadraticModel"), qm_ = dimod().attr("QuadraticModel");
    nb::object f64_ = numpy().attr("dtype")("float64");
};

}  // namespace qtx::bridge
