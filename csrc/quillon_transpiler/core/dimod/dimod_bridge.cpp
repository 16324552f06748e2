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
//
// Beside this file: variables.hpp (the dimod variables), pair_sums.hpp and model_sum.hpp
// (folding terms), quadratic_model.hpp (polynomials to dimod models), cqm_decoder.hpp and
// sample_array.hpp (sample sets back to quillon), compiled_instance.hpp, libraries.hpp and
// refusals.hpp (what they share).
#include "qtx/module.hpp"
#include "compiled_instance.hpp"
#include "cqm_decoder.hpp"
#include "quadratic_model.hpp"
#include "surface.hpp"

namespace qtx::bridge {

/// _convert(expr, var_map): the model of a caller's polynomial, `var_map` giving each index's model.
Obj expr_conversion(PyObject* const* args) {
    check_arg(args[1], &PyDict_Type, "var_map");
    ModelTable table(nb::borrow<nb::dict>(args[1]));
    return convert(args[0], table);
}

/// _transpile(compiled): the _CqmModels of a compiled instance, the CQM's objective not set.
Obj transpile(PyObject* const* args) {
    nb::handle compiled = args[0];
    RegistryTable table(compiled.attr(names().var_map));

    nb::object cqm = dimod().attr("ConstrainedQuadraticModel")();
    nb::int_ zero(0);
    for (nb::handle constraint : items_of(compiled.attr("constraint"))) {
        auto [label, by_forall] = pair_of(constraint);
        int op = -1;
        for (nb::handle instance : items_of(by_forall)) {
            auto [key, poly] = pair_of(instance);
            ModelElement element{"constraint", label, key};
            nb::object qm = convert(poly, table, &element);
            nb::object cqm_label = own(PyUnicode_FromFormat("%S_%S", label.ptr(), key.ptr()));  // f"{label}_{key}"
            if (op < 0) op = constraint_op(compiled, label);
            nb::object comparison = own(PyObject_RichCompare(qm.ptr(), zero.ptr(), op));  // qm == 0, <= 0 or >= 0
            cqm.attr("add_constraint")(comparison, "label"_a = cqm_label);
        }
    }

    nb::dict penalties;
    for (nb::handle penalty : items_of(compiled.attr("penalty"))) {
        auto [label, by_forall] = pair_of(penalty);
        penalties[label] = convert_sum(label, by_forall, table);
    }

    ModelElement whole{"objective"};
    nb::object objective = convert(compiled.attr(names().objective), table, &whole);
    if (!is_minimize(compiled)) objective *= nb::int_(-1);
    nb::object models = QTX_IMPORT("quillon_transpiler.core.dimod.dimod_bridge", "_CqmModels");
    return models("cqm"_a = cqm, "objective"_a = objective, "penalties"_a = penalties);
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
/// _get_model(builder, penalty_weight): the CQM with the objective plus each weighted penalty.
Obj get_model(PyObject* const* args) {
    nb::handle builder = args[0];
    nb::object weights = args[1] == Py_None ? nb::dict() : nb::borrow(args[1]);
    check_arg(weights.ptr(), &PyDict_Type, "penalty_weight");
    nb::object objective = builder.attr("_objective");
    nb::object penalties = builder.attr("custome_penalties");
    if (nb::len(penalties) > 0) {
        nb::object check_weight = QTX_IMPORT("quillon_transpiler.core.route_inputs", "check_weight");
        nb::object weighted = objective.attr("copy")();
        for (nb::handle entry : items_of(weights)) {  // a list: the loop runs Python code
            auto [label, weight] = pair_of(entry);
            nb::object penalty = penalties[label];
            check_weight(weight, str("the weight of custom penalty `" + to_string(label.ptr()) + "`"));
            weighted += weight * penalty;
        }
        objective = weighted;
    }
    nb::object cqm_template = builder.attr("_cqm_template");
    nb::dict memo;  // id(label) -> label
    for (nb::handle label : cqm_template.attr("variables")) memo[own(PyLong_FromVoidPtr(label.ptr()))] = label;
    nb::object model = QTX_IMPORT("copy", "deepcopy")(cqm_template, memo);
    model.attr("set_objective")(objective);
    builder.attr("_model") = model;
    return model;
}

/// _decode(builder, sampleset): the quillon SampleSet of a sample set of the builder's CQM.
Obj decode(PyObject* const* args) { return decode_sampleset(args[0], args[1]); }

}  // namespace qtx::bridge

namespace {

PyMethodDef functions[] = {
    QTX_FN("_convert", 2, qtx::bridge::expr_conversion),
    QTX_FN("_transpile", 1, qtx::bridge::transpile),
    QTX_FN("_get_model", 2, qtx::bridge::get_model),
    QTX_FN("_decode", 2, qtx::bridge::decode),
    QTX_END,
};

}  // namespace

NB_MODULE(dimod_bridge, m) { QTX_MODULE_INIT(m, functions) }
