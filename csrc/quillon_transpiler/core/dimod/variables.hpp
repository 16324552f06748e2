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

inline Obj binary_vartype() { return attr(dimod_attr("Vartype").ptr(), "BINARY"); }
inline Obj integer_vartype() { return attr(dimod_attr("Vartype").ptr(), "INTEGER"); }

/// `dimod.Integer(label, lower_bound=..., upper_bound=...)` or `dimod.Binary(label)`.
inline Obj variable_model(const Var& v) {
    if (!v.integer) return call(dimod_attr("Binary").ptr(), {v.label.ptr()});
    Obj kw = kwnames({"lower_bound", "upper_bound"});
    return call(dimod_attr("Integer").ptr(), {v.label.ptr(), v.lower.ptr(), v.upper.ptr()}, kw.ptr());
}

/// An integer variable's bound rounded inward (a lower bound up, an upper one down), as the QUBO
/// route's encoders round it: dimod would keep 3.5 as the upper bound, and a CQM solver may
/// then return 3.5's floor or, with a real-valued relaxation, a value the model never allows.
inline Obj integer_bound(PyObject* value, bool upper, const std::string& name) {
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

}  // namespace qtx::bridge
