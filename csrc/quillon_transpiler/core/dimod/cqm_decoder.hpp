// Sample sets of the bridge's CQM back into quillon sample sets.
#pragma once
#include "compiled_instance.hpp"
#include "sample_array.hpp"
#include "qtx/names.hpp"
#include "qtx/sparse_record.hpp"

#include <cmath>
#include <vector>

namespace qtx::bridge {

/// A sample-set column that belongs to a decision variable: its label's slot in the record,
/// its subscripts, and (once an infeasible sample needs it) its registry index.
class Column {
public:
    Column(Py_ssize_t column, size_t slot, nb::handle label, nb::handle subscripts)
        : column(column), slot(slot), label(nb::borrow(label)), subscripts(nb::borrow(subscripts)) {}

    /// The subscripts as a tuple, made on first use.
    PyObject* subscript_tuple() {
        if (!tuple_) tuple_ = nb::tuple(subscripts);
        return tuple_.ptr();
    }

    Py_ssize_t column;
    size_t slot;
    nb::object label, subscripts;
    nb::object index;

private:
    nb::object tuple_;
};

/// The quillon SampleSet of a sample set of the builder's CQM: sparse solutions per decision
/// variable (each label's non-zero fixed values after the sample's own entries), occurrences,
/// energies, objective values and constraint violations, recomputed for infeasible samples.
/// Whether `objective` (a dimod model) scores every sample of `sampleset` 0; false when the
/// samples do not assign its variables.
inline bool last_scores_zero(nb::handle objective, nb::handle sampleset) {
    nb::object scores;
    try {
        scores = objective.attr("energies")(sampleset);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_KeyError)) throw;
        return false;
    }
    for (nb::handle s : nb::borrow<nb::list>(scores.attr("tolist")()))
        if (as_double(s) != 0.0) return false;
    return true;
}

inline nb::object decode_sampleset(nb::handle builder, nb::handle sampleset) {
    nb::object compiled = builder.attr("compiled_model");

    // one solution list per decision variable, in the order of the shapes
    SparseRecord record;
    std::vector<Py_ssize_t> axes;
    std::vector<nb::object> shapes;
    nb::dict slots;  // label -> slot
    for (nb::handle entry : items_of(compiled.attr("deci_var_shape"))) {
        auto [label, shape] = pair_of(entry);
        Py_ssize_t ndim = (Py_ssize_t)nb::len(shape);
        size_t slot = record.add_label(label);
        record.set_shape(slot, ndim, shape);
        axes.push_back(ndim);
        shapes.push_back(nb::borrow(shape));
        slots[label] = slot;
    }
    auto slot_of = [&](nb::handle label) -> Py_ssize_t {
        PyObject* slot = dict_get(slots.ptr(), label.ptr());
        return slot ? PyLong_AsSsize_t(slot) : -1;
    };

    // the columns of decision variables; any other label is not ours and is ignored
    nb::object sample_record = sampleset.attr("record");
    nb::list variables = list_of(sampleset.attr("variables"));
    std::vector<Column> columns;
    for (size_t j = 0; j < variables.size(); ++j) {
        nb::handle variable = variables[j];
        if (!nb::isinstance<nb::tuple>(variable) || nb::len(variable) != 2) continue;
        auto [label, subscripts] = pair_of(variable);
        Py_ssize_t slot = slot_of(label);
        if (slot < 0) continue;
        Py_ssize_t n = (Py_ssize_t)nb::len(subscripts);
        if (n != axes[(size_t)slot])
            raisef(PyExc_ValueError,
                   "sample variable %R has %zd subscripts, but decision variable %R has %zd axes; decode "
                   "sample sets of this builder's CQM",
                   variable.ptr(), n, label.ptr(), axes[(size_t)slot]);
        columns.emplace_back((Py_ssize_t)j, (size_t)slot, label, subscripts);
    }

    // The non-zero fixed values (the caller's and the pinned ones) never reach the CQM, yet its
    // energies count them: every sample lists them after its own entries, in the order of the
    // fixed map, as dict_to_record does. Read from the builder's copy of the map, taken when it
    // was built, so that a caller reusing the dict for another instance changes nothing here.
    nb::float_ zero(0.0);
    for (nb::handle entry : items_of(builder.attr("_fixed_values"))) {
        auto [label, by_subscripts] = pair_of(entry);
        Py_ssize_t slot = slot_of(label);
        if (slot < 0) continue;  // not a decision variable of this model
        for (nb::handle fixed : items_of(by_subscripts)) {
            auto [subscripts, value] = pair_of(fixed);
            if (!value.not_equal(zero)) continue;
            if (!nb::isinstance<nb::tuple>(subscripts) || (Py_ssize_t)nb::len(subscripts) != axes[(size_t)slot])
                raisef(PyExc_ValueError,
                       "the fixed value of decision variable %R at %R does not have one subscript per axis of its "
                       "shape %R; key fixed values by a tuple of %zd subscripts",
                       label.ptr(), subscripts.ptr(), shapes[(size_t)slot].ptr(), axes[(size_t)slot]);
            record.add_fixed((size_t)slot, subscripts, value);
        }
    }

    // per sample, on the raw API: the record in the sample set's order
    SampleArray samples(sample_record.attr("sample"));
    for (Py_ssize_t r = 0; r < samples.rows; ++r) {
        record.begin_sample();
        for (Column& c : columns) {
            if (!samples.nonzero(r, c.column)) continue;
            Obj value = samples.value(r, c.column);
            record.add(c.slot, c.subscript_tuple(), value.ptr());
        }
        record.end_sample();
    }
    nb::object ql_record = record.record(sample_record["num_occurrences"].attr("tolist")());

    // violations: recomputed from the compiled constraints for infeasible samples
    nb::dict violations;
    std::vector<nb::list> by_constraint;  // the violation lists in label order
    for (nb::handle label : list_of(compiled.attr("constraint"))) {
        by_constraint.emplace_back();
        violations[label] = by_constraint.back();
    }
    auto feasible = nb::borrow<nb::list>(sample_record["is_feasible"].attr("tolist")());
    nb::object eval_constraint, registry;
    nb::dict kinds;  // constraint label -> comparison operator
    // dimod counts a constraint without variables (all of them fixed) as satisfied whatever its
    // constant: when one is violated, no sample is feasible and every sample is recomputed
    bool recompute_all = false;
    for (nb::handle entry : items_of(compiled.attr("constraint"))) {
        auto [label, by_key] = pair_of(entry);
        for (nb::handle instance : items_of(by_key)) {
            nb::handle poly = pair_of(instance).second;
            if (nb::len(nb::object(poly.attr("coeff"))) != 0) continue;
            double c = as_double(poly.attr("constant"));
            int op = constraint_op(compiled, label, false);
            recompute_all = recompute_all || (op == Py_EQ ? c != 0.0 : op == Py_LE ? c > 0.0 : c < 0.0);
        }
    }
    for (size_t r = 0; r < feasible.size(); ++r) {
        if (!recompute_all && truth(feasible[r].ptr())) {
            for (nb::list& list : by_constraint) list.append(zero);
            continue;
        }
        if (!eval_constraint) {
            eval_constraint = QTX_IMPORT("quillon_transpiler.core.decode.evaluate", "eval_constraint");
            registry = compiled.attr(names().var_map).attr(names().var_map);
        }
        // the sample's values by variable index, a scalar variable's at subscript (); fixed values
        // are constants of the compiled polynomials, not variables, and stay out
        nb::dict values;
        for (Column& c : columns) {
            if (!samples.nonzero((Py_ssize_t)r, c.column)) continue;
            if (!c.index) c.index = registry[c.label][c.subscript_tuple()];
            values[c.index] = samples.value((Py_ssize_t)r, c.column);
        }
        nb::object result = eval_constraint(values, compiled);
        for (nb::handle entry : items_of(result)) {
            auto [label, by_key] = pair_of(entry);
            int op;
            if (PyObject* known = dict_get(kinds.ptr(), label.ptr())) {
                op = (int)PyLong_AsLong(known);
            } else {
                op = constraint_op(compiled, label, false);
                kinds[label] = op;
            }
            double sum = 0.0;
            for (nb::handle instance : items_of(by_key)) {
                double x = as_double(pair_of(instance).second);
                // == counts any deviation, <= the excess above 0, >= the shortfall below 0
                if (op == Py_EQ)
                    sum += std::fabs(x);
                else if (op == Py_LE)
                    sum += x > 0.0 ? x : 0.0;
                else
                    sum += x < 0.0 ? -x : 0.0;
            }
            nb::borrow<nb::list>(violations[label]).append(sum);
        }
    }

    auto energy = nb::borrow<nb::list>(sample_record["energy"].attr("tolist")());
    // dimod scores an objective without variables as 0, leaving out its offset. Without variables
    // in the plain objective, the CQM sampled had none either unless a weighted penalty brought
    // some; which weights it had, the sample set does not say. Energies that are not all 0 are
    // such a CQM's own. All 0 are read as an objective without variables, whose offset is every
    // sample's energy: the last CQM's when it has no variables, else the plain objective's;
    // unless the last CQM's objective scores every sample 0 as well (its own zeros).
    nb::object plain = builder.attr("_objective");
    bool all_zero = true;
    for (nb::handle e : energy) all_zero = all_zero && as_double(e) == 0.0;
    if (nb::len(nb::object(plain.attr("variables"))) == 0 && all_zero && energy.size()) {
        nb::object cqm = builder.attr("_model");
        nb::object last = cqm.is(builder.attr("_cqm_template")) ? plain : cqm.attr("objective");
        nb::object offset = nb::float_(as_double(plain.attr("offset")));
        bool dropped = true;
        if (nb::len(nb::object(last.attr("variables"))) == 0) {
            offset = nb::float_(as_double(last.attr("offset")));
        } else if (last_scores_zero(last, sampleset)) {
            dropped = false;
        }
        if (dropped)
            for (size_t r = 0; r < energy.size(); ++r) energy[r] = offset;
    }
    nb::list objective;
    if (is_minimize(compiled)) {
        objective = list_of(energy);  // a copy
    } else {
        for (nb::handle e : energy) objective.append(nb::int_(-1) * e);
    }
    nb::object ql = quillon();
    nb::object evaluation =
        ql.attr("Evaluation")("energy"_a = energy, "objective"_a = objective, "constraint_violations"_a = violations);
    nb::object timing = ql.attr("MeasuringTime")();
    return ql.attr("SampleSet")("record"_a = ql_record, "evaluation"_a = evaluation, "measuring_time"_a = timing);
}

}  // namespace qtx::bridge
