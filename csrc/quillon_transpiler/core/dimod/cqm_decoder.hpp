// Sample sets of the bridge's CQM back into quillon sample sets.
#pragma once
#include "compiled_instance.hpp"
#include "sample_array.hpp"
#include "qtx/names.hpp"

#include <cmath>
#include <vector>

namespace qtx::bridge {

/// A sample-set column that belongs to a decision variable: its label's position among the
/// labels of the solution, its subscripts, and (once needed) its registry index.
struct Column {
    Py_ssize_t column;
    Py_ssize_t slot;
    Obj label, subscripts;
    Obj index;
};

inline Obj decode(PyObject* const* a) {
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

}  // namespace qtx::bridge
