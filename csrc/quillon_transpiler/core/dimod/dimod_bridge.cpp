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

/// What _transpile keeps of the objective and the penalties: each folded natively, or (when
/// only dimod's arithmetic could tell it) its model already made. Their models are made from
/// it on first request (_models), and get_model weighs and adds up the folded ones itself.
struct Kept {
    struct Item {
        nb::object label;  // none for the objective
        Folded folded;
        nb::object model;      // when not folded
        bool negated = false;  // the objective of a maximisation: its model is the folded one times -1
    };
    explicit Kept(nb::handle registry) : table(registry) {}
    RegistryTable table;
    std::vector<Item> items;  // the objective, then the penalties in order
    bool all_folded() const {
        for (const Item& item : items)
            if (item.model) return false;
        return true;
    }
    /// The dimod model of an item, made once.
    nb::object model(Item& item) {
        if (!item.model) {
            item.model = build_model(item.folded, table);
            if (item.negated) item.model *= nb::int_(-1);
        }
        return item.model;
    }
};

constexpr const char* kKeptCapsule = "quillon_transpiler.dimod.kept";

Kept* kept_of(nb::handle capsule) {
    if (capsule.is_none() || !PyCapsule_IsValid(capsule.ptr(), kKeptCapsule)) return nullptr;
    return static_cast<Kept*>(PyCapsule_GetPointer(capsule.ptr(), kKeptCapsule));
}

/// _transpile(compiled): the _CqmModels of a compiled instance, the CQM's objective not set;
/// the objective and penalty models are left to _models.
Obj transpile(PyObject* const* args) {
    nb::handle compiled = args[0];
    auto kept = std::make_unique<Kept>(compiled.attr(names().var_map));
    RegistryTable& table = kept->table;

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
            // as add_constraint(comparison) adds it, but without a copy of the model, made here
            // for the constraint alone
            cqm.attr("add_constraint_from_model")(comparison.attr("lhs"), comparison.attr("sense"),
                                                  "rhs"_a = comparison.attr("rhs"), "label"_a = cqm_label,
                                                  "copy"_a = false);
        }
    }

    std::vector<Kept::Item> penalties;
    for (nb::handle penalty : items_of(compiled.attr("penalty"))) {
        auto [label, by_forall] = pair_of(penalty);
        PenaltyItems items(label, by_forall);
        Kept::Item item{nb::borrow(label), Folded(), nb::object()};
        try {
            item.folded = fold_sum(items, table);
        } catch (NeedArithmetic&) {
            item.model = arithmetic_sum(items, table);
        }
        penalties.push_back(std::move(item));
    }

    ModelElement whole{"objective"};
    nb::handle objective = compiled.attr(names().objective);
    Kept::Item item{nb::object(), Folded(), nb::object()};
    item.negated = !is_minimize(compiled);
    try {
        item.folded = fold(objective, table, &whole);
    } catch (NeedArithmetic&) {
        item.model = arithmetic(objective, table, &whole);
        if (item.negated) item.model *= nb::int_(-1);
    }
    kept->items.push_back(std::move(item));
    for (auto& p : penalties) kept->items.push_back(std::move(p));

    nb::capsule held(kept.release(), kKeptCapsule, [](void* p) noexcept { delete static_cast<Kept*>(p); });
    nb::object models = QTX_IMPORT("quillon_transpiler.core.dimod.dimod_bridge", "_CqmModels");
    return models("cqm"_a = cqm, "kept"_a = held);
}

/// _models(kept) -> (objective, {label: penalty model}): the models _transpile kept, made once.
Obj models(PyObject* const* args) {
    Kept* kept = kept_of(args[0]);
    if (!kept) raise(PyExc_TypeError, "_models takes what _transpile kept");
    nb::dict penalties;
    for (size_t i = 1; i < kept->items.size(); ++i) penalties[kept->items[i].label] = kept->model(kept->items[i]);
    return nb::make_tuple(kept->model(kept->items[0]), penalties);
}

/// The objective's biases are finite (transpile refuses others): one the weights took past
/// float64's range would make every energy inf or NaN.
[[noreturn]] void weighted_past_range(nb::handle weights) {
    raise(PyExc_ValueError,
          "the objective plus the custom penalties weighted by penalty_weight=" + to_string(weights.ptr()) +
              " has a bias past float64's range: give the penalties smaller weights");
}

/// The objective plus each weighted penalty, as `objective.copy()`, then `+= weight * penalty`
/// for each (label, weight) of `weights` in order, would make it with dimod's arithmetic: the
/// objective's variables, then each penalty's new ones in its order; every bias the running
/// one plus weight * the penalty's. `check(label, weight)` checks a weight before it is used.
/// The weighted penalties' interactions are gathered in order, sorted stably by pair and
/// merged with the objective's (sorted already), so each pair's sum is formed in that order.
template <class Check>
Folded weighted_sum(Kept& kept, nb::handle weights, Check&& check) {
    // every bias as the built model holds it: dimod adds each to a zero, then scales the
    // objective of a maximisation by -1
    const Kept::Item& first = kept.items[0];
    const Folded& objective = first.folded;
    double sign = first.negated ? -1.0 : 1.0;
    Folded out;
    out.vars = objective.vars;
    out.lin = objective.lin;
    for (double& v : out.lin) v = (0.0 + v) * sign;
    out.offset = objective.offset * sign;
    std::vector<int32_t>& local = kept.table.local;  // variable id -> index in `out`, or -1
    local.assign(kept.table.vars.size(), -1);
    for (size_t l = 0; l < out.vars.size(); ++l) local[(size_t)out.vars[l]] = (int32_t)l;
    std::vector<Term> added;   // the weighted penalties' interactions, in order
    std::vector<uint32_t> to;  // a penalty's local index -> index in `out`
    for (nb::handle entry : kept.items.size() > 1 ? items_of(weights) : nb::list()) {
        auto [label, weight] = pair_of(entry);
        const Kept::Item* penalty = nullptr;
        for (size_t i = 1; i < kept.items.size() && !penalty; ++i)
            if (kept.items[i].label.equal(label)) penalty = &kept.items[i];
        if (!penalty) dict_item(nb::dict().ptr(), label.ptr());  // KeyError(label), as penalties[label] raises
        check(label, weight);
        double w = as_double(weight);  // as dimod takes a scalar
        const Folded& f = penalty->folded;
        to.resize(f.vars.size());
        for (size_t l = 0; l < f.vars.size(); ++l) {
            int32_t& at = local[(size_t)f.vars[l]];
            if (at < 0) {
                at = (int32_t)out.vars.size();
                out.vars.push_back(f.vars[l]);
                out.lin.push_back(0.0);
            }
            to[l] = (uint32_t)at;
            out.lin[(size_t)at] += w * (0.0 + f.lin[l]);
        }
        added.reserve(added.size() + f.terms.size());
        for (const Term& t : f.terms)
            added.push_back(Term{pair_key(to[t.key >> 32], to[(uint32_t)t.key]), w * (0.0 + t.bias)});
        out.offset += w * f.offset;
    }
    for (int id : out.vars) local[(size_t)id] = -1;
    // the interactions go straight into dimod's arrays
    ArrayWriter arrays(objective.terms.size() + added.size());
    auto a = objective.terms.begin(), a_end = objective.terms.end();
    if (!added.empty()) {
        std::vector<Term> tmp;
        sort_terms(added, tmp, out.vars.size());
        // each pair: the objective's bias (or a zero), plus each weighted penalty's in order
        for (size_t i = 0; i < added.size();) {
            uint64_t key = added[i].key;
            for (; a != a_end && a->key < key; ++a) arrays.put(a->key, (0.0 + a->bias) * sign);
            double sum = 0.0;
            if (a != a_end && a->key == key) sum = (0.0 + (a++)->bias) * sign;
            for (; i < added.size() && added[i].key == key; ++i) sum += added[i].bias;
            if (!std::isfinite(sum)) weighted_past_range(weights);
            arrays.put(key, sum);
        }
    }
    for (; a != a_end; ++a) arrays.put(a->key, (0.0 + a->bias) * sign);
    if (!std::isfinite(out.offset)) weighted_past_range(weights);
    for (double v : out.lin)
        if (!std::isfinite(v)) weighted_past_range(weights);
    arrays.done(out);
    return out;
}

/// Adds to `model` the integer variables it does not hold whose bounds leave out 0: their
/// terms all went with a penalty left out (weight 0) or with a factor fixed to 0. A sampler
/// never assigns a variable the CQM lacks, and decoding reads it as 0, a value such a variable
/// cannot take; added with its bounds (and no bias), every sample gives it one it can take.
void add_unassigned_integers(nb::handle model, const VarTable& table) {
    nb::object variables = model.attr("variables");
    nb::int_ zero(0);
    for (const Var& v : table.vars) {
        if (!v.integer || !(v.lower > zero || v.upper < zero)) continue;
        int held = PySequence_Contains(variables.ptr(), v.label.ptr());
        if (held < 0) fail();
        if (!held)
            model.attr("add_variable")(integer_vartype(), v.label, "lower_bound"_a = v.lower,
                                       "upper_bound"_a = v.upper);
    }
}

// Every call returns a new CQM: a copy of the constraints-only CQM that transpile built (kept
// by the builder, never changed) with the objective set. Replacing the objective of one shared
// CQM, as before, freed the storage behind views of models already handed out (dimod does not
// guard them): iterating cqm.objective.quadratic across a second get_model crashed the
// interpreter. dimod's __deepcopy__ copies the C++ model in one step (constraints, labels,
// vartypes and bounds exactly, checked on dimod 0.12.13 to 0.12.23), but deep-copies every
// variable label in Python, which cost 70 ms at 10^4 variables. The memo hands over copies of
// its two label lists (Variables.copy(), which shares the labels: they are hashable and
// immutable, so sharing them is what a copy needs), about 3 ms at 10^4 variables; a dimod
// without them as attributes gets the labels themselves through the memo (25 ms).
/// _get_model(builder, penalty_weight): the CQM with the objective plus each weighted penalty.
/// The weighted objective is made natively from the folded models when the builder kept them
/// all, else with dimod's arithmetic on the models.
Obj get_model(PyObject* const* args) {
    nb::handle builder = args[0];
    nb::object weights = args[1] == Py_None ? nb::dict() : nb::borrow(args[1]);
    check_arg(weights.ptr(), &PyDict_Type, "penalty_weight");
    nb::object check_weight = QTX_IMPORT("quillon_transpiler.core.route_inputs", "check_weight");
    auto check = [&](nb::handle label, nb::handle weight) {
        check_weight(weight, str("the weight of custom penalty `" + to_string(label.ptr()) + "`"));
    };
    nb::object objective;
    Kept* kept = kept_of(nb::getattr(builder, "_kept", nb::none()));
    if (kept && kept->all_folded()) {
        objective = objective_model(weighted_sum(*kept, weights, check), kept->table);
    } else {
        objective = builder.attr("_objective");
        nb::object penalties = builder.attr("custome_penalties");
        if (nb::len(penalties) > 0) {
            nb::object weighted = objective.attr("copy")();
            for (nb::handle entry : items_of(weights)) {  // a list: the loop runs Python code
                auto [label, weight] = pair_of(entry);
                nb::object penalty = penalties[label];
                check(label, weight);
                weighted += weight * penalty;
            }
            objective = weighted;
            bool finite = std::isfinite(nb::cast<double>(objective.attr("offset")));
            for (nb::handle part : {objective.attr("linear"), objective.attr("quadratic")})
                for (nb::handle bias : part.attr("values")()) finite = finite && std::isfinite(nb::cast<double>(bias));
            if (!finite) weighted_past_range(weights);
        }
    }
    nb::object cqm_template = builder.attr("_cqm_template");
    nb::dict memo;  // id(object) -> its copy
    nb::object variables = nb::getattr(cqm_template, "variables", nb::none());
    nb::object constraint_labels = nb::getattr(cqm_template, "constraint_labels", nb::none());
    if (nb::hasattr(variables, "copy") && nb::hasattr(constraint_labels, "copy")) {
        memo[own(PyLong_FromVoidPtr(variables.ptr()))] = variables.attr("copy")();
        memo[own(PyLong_FromVoidPtr(constraint_labels.ptr()))] = constraint_labels.attr("copy")();
    } else {
        for (nb::handle label : cqm_template.attr("variables")) memo[own(PyLong_FromVoidPtr(label.ptr()))] = label;
    }
    nb::object model = QTX_IMPORT("copy", "deepcopy")(cqm_template, memo);
    model.attr("set_objective")(objective);
    if (kept) {
        add_unassigned_integers(model, kept->table);
    } else {
        add_unassigned_integers(model, RegistryTable(builder.attr("compiled_model").attr(names().var_map)));
    }
    builder.attr("_model") = model;
    return model;
}

/// _decode(builder, sampleset): the quillon SampleSet of a sample set of the builder's CQM.
Obj decode(PyObject* const* args) { return decode_sampleset(args[0], args[1]); }

}  // namespace qtx::bridge

namespace {

// clang-format off: one function a line
PyMethodDef functions[] = {
    QTX_FN("_convert", 2, qtx::bridge::expr_conversion),
    QTX_FN("_transpile", 1, qtx::bridge::transpile),
    QTX_FN("_models", 1, qtx::bridge::models),
    QTX_FN("_get_model", 2, qtx::bridge::get_model),
    QTX_FN("_decode", 2, qtx::bridge::decode),
    QTX_END,
};
// clang-format on

}  // namespace

NB_MODULE(dimod_bridge, m) { QTX_MODULE_INIT(m, functions) }
