// Checking registered decision variables against the shapes their model declares.
#pragma once
#include "names.hpp"
#include "maps.hpp"

#include <string>
#include <unordered_map>

namespace qtx {

/// Checks the decision variables that substitution registers against their declared shapes,
/// so that x[t + 1] past the last column is an error instead of a silent extra variable.
/// One guard belongs to one compilation and is handed explicitly to the steps it runs: the
/// steps called on their own, and other compilations running at the same time (nested in a
/// callback, or in another thread), never see it. Only newly registered variables are looked at.
class ShapeGuard {
public:
    /// `shapes`: label -> tuple of int or None per axis; a null object checks nothing.
    explicit ShapeGuard(Obj shapes) : shapes_(std::move(shapes)) {}
    ShapeGuard(const ShapeGuard&) = delete;
    ShapeGuard& operator=(const ShapeGuard&) = delete;

    /// Raises SubstituteError for a variable registered outside its shape.
    void check(nb::handle var_map) {
        if (!shapes_) return;
        Obj num = qtx::getattr(var_map, names().var_num);
        if (num_ && compare(num, num_, Py_EQ)) return;
        num_ = num;
        Obj vm = qtx::getattr(var_map, names().var_map);
        map_each(vm, [&](PyObject* label, PyObject* inner) {
            PyObject* shape = shape_of(label);
            if (!shape || !PyDict_CheckExact(inner)) return;
            Py_ssize_t& done = checked_[label];
            Py_ssize_t size = PyDict_GET_SIZE(inner);
            if (size <= done) return;
            // registrations only append: the new ones are the last entries, read from the end
            Obj keys = call(&PyReversed_Type, {inner});
            for (Py_ssize_t k = done; k < size; ++k) {
                Obj subs = own(PyIter_Next(keys.ptr()));
                check_one(label, subs, shape);
            }
            done = size;
        });
    }

    /// Raises SubstituteError for fixed values outside the shape; `key` receives the
    /// subscripts checked last.
    void check_fixed(nb::handle fixed_vars, Obj& key) {
        if (!shapes_) return;
        map_each(fixed_vars, [&](PyObject* label, PyObject* values) {
            PyObject* shape = shape_of(label);
            if (!shape) return;
            map_each(values, [&](PyObject* subs, PyObject*) {
                key = ref(subs);
                check_one(label, subs, shape);
            });
        });
    }

private:
    PyObject* shape_of(PyObject* label) {
        PyObject* shape = PyDict_CheckExact(shapes_.ptr()) ? dict_get(shapes_, label) : nullptr;
        return shape && PyTuple_Check(shape) ? shape : nullptr;
    }

    static void check_one(PyObject* label, nb::handle subscripts, PyObject* shape) {
        PyObject* subs = subscripts.ptr();
        if (!PyTuple_Check(subs)) return;
        Py_ssize_t n = PyTuple_GET_SIZE(subs), axes = PyTuple_GET_SIZE(shape);
        // the messages are made only when one is raised: this runs for every new variable
        auto var = [&] {
            std::string v = to_string(label) + "[";
            for (Py_ssize_t k = 0; k < n; ++k) v += (k ? ", " : "") + to_string(PyTuple_GET_ITEM(subs, k));
            return v + "]";
        };
        auto where = [&] { return "decision variable `" + to_string(label) + "` of shape " + to_string(shape); };
        if (n != axes)
            raise_substitute(var() + " has " + std::to_string(n) + " subscripts, but " + where() + " has " +
                             std::to_string(axes) + " axes.");
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* dim = PyTuple_GET_ITEM(shape, k);
            PyObject* at = PyTuple_GET_ITEM(subs, k);
            if (dim == Py_None || !PyLong_Check(at)) continue;
            bool inside;
            long long a = PyLong_AsLongLong(at), d = PyLong_Check(dim) ? PyLong_AsLongLong(dim) : -1;
            if (PyErr_Occurred() || !PyLong_Check(dim)) {
                PyErr_Clear();
                Obj zero = small_int(0);
                inside = !compare(at, zero, Py_LT) && !compare(at, dim, Py_GE);
            } else {
                inside = 0 <= a && a < d;
            }
            if (!inside)
                raise_substitute("Subscript " + to_string(at) + " on axis " + std::to_string(k) + " of " + var() +
                                 " is out of range for " + where() + ": check the subscripts against the shape.");
        }
    }

    Obj shapes_, num_;
    std::unordered_map<PyObject*, Py_ssize_t> checked_;  // label -> entries already checked
};

}  // namespace qtx
