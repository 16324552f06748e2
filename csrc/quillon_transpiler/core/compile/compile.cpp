// compile: the compile_model driver and its pipeline steps.
//
// Cold code, written as the Python it stands for (`attr(o, "name")` is getattr, its name interned
// once); the substitution itself runs in the engine.
// Steps that catch an error to name its item catch both kinds of failure (`catch (...)`):
// nanobind's calls throw nb::python_error, the package's helpers PyErrSet.
#include "qtx/engine.hpp"
#include "qtx/kept.hpp"
#include "qtx/poly_capsule.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/plain.hpp"
#include "qtx/registry.hpp"
#include "qtx/shape_guard.hpp"
#include "qtx/tree_snapshot.hpp"
#include "qtx/warnings.hpp"

#include <cstring>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>

using namespace qtx;
using namespace nb::literals;

namespace {

// The modules the steps call into, imported on first use; their attributes are read at every
// call, as Python code reads them.
Obj substitutable_expr() { return imported(QTX_NAME("quillon_transpiler.core.substitute.substitutable_expr")); }
Obj core_module() { return imported(QTX_NAME("quillon_transpiler.core")); }
Obj converter_module() { return imported(QTX_NAME("quillon_transpiler.core.compile.convert_to_substitutable")); }
Obj compiled_model_module() { return imported(QTX_NAME("quillon_transpiler.core.compile.compiled_model")); }
Obj pinning_module() { return imported(QTX_NAME("quillon_transpiler.core.compile.pinning_constraint")); }
Obj unroll_module() { return imported(QTX_NAME("quillon_transpiler.core.compile.unroll_forall")); }

/// `extract` predicates as C functions: the scans visit every node of every tree.
Obj decision_variable_check() { return instance_check(tree_class(QTX_NAME("DecisionVariable"))); }
Obj placeholder_check() { return instance_check(tree_class(QTX_NAME("Placeholder"))); }

/// One compile's shared state, handed to every step it runs. A step called on its own (one
/// of the module's functions) runs in a session of its own: no shapes to check, nothing shared
/// between substitutions, polynomials as Python objects.
struct Session {
    /// `shapes`: the declared shape of every decision variable (label -> tuple), or null.
    Session(nb::handle data, nb::handle var_map, Obj shapes = Obj())
        : data(data), var_map(var_map), guard(std::move(shapes)) {}

    nb::handle data, var_map;
    ShapeGuard guard;                              // checks what substitution registers
    std::optional<engine::KnownVariables> shared;  // variables met by the items before, when kept
    bool native = false;                           // polynomials stay in C++ (capsules)
    bool name_items = false;                       // every error names its item, as compile_model's do
    nb::handle lowered;                            // the model's kept entry (lowered_problem), if any
    nb::handle unbound;                            // the items reading elements unbound (unbound_elements)

    engine::KnownVariables* known() { return shared ? &*shared : nullptr; }
};

/// Raises SubstituteError(msg) as a `raise` inside the `except` that caught `caught` would:
/// `caught` becomes the context, and the cause too when `chained` (`raise ... from`).
[[noreturn]] void raise_in_except(const std::string& msg, nb::handle caught, bool chained) {
    raise_from(call(substitute_error(), {str(msg)}), caught, chained);
}

Obj element_name(nb::handle forall_entry) { return attr(forall_entry[0], "name"); }

/// `condition.left - condition.right`: the polynomial a constraint compiles to.
Obj difference(nb::handle condition) {
    Obj left = attr(condition, "left"), right = attr(condition, "right");
    return left - right;
}

/// {element name: value} over the forall entries zipped with an assignment.
nb::dict forall_values(nb::handle forall, nb::handle assignment) {
    nb::dict values;
    zip(forall, assignment, [&](nb::handle entry, nb::handle value) { values[element_name(entry)] = value; });
    return values;
}

/// "forall={'i': 1, 'j': 0}", or "" for no values.
std::string forall_text(nb::handle values) { return nb::len(values) ? "forall=" + to_string(values) : std::string(); }

/// `unroll_forall(forall, data)`: the native function its surface calls, without that frame.
Obj unroll(nb::handle forall, nb::handle data) { return attr(unroll_module(), "_unroll")(forall, data); }

/// The same within a compile, the levels kept in the model's kept entry (when it has one).
Obj unroll(nb::handle forall, Session& session, const char* kind, nb::handle label) {
    if (!session.lowered) return unroll(forall, session.data);
    return attr(unroll_module(), "_unroll_kept")(forall, session.data, session.lowered,
                                                 nb::make_tuple("forall", kind, label));
}

/// The plan of one tree of a model, kept in the model's lowered entry between its compiles:
/// planning reads every node through Python, which costs a small compile more than the
/// substitution does. `node` keeps the tree planned (a constraint's difference is made once).
struct KeptPlan {
    std::unique_ptr<engine::Planner> planner;
    Obj node;
    engine::Node* root = nullptr;
    bool busy = false;  // in use: a compile of the same model nested in this one plans its own
};

/// Lends the kept plan of `key` in `lowered` (made empty when there is none) for one use,
/// its nodes' data forgotten; null when there is no entry or the plan is in use.
class LentPlan {
public:
    LentPlan(nb::handle lowered, nb::handle key) {
        if (!lowered) return;
        lent_.emplace(lowered, key, "qtx.kept_plan");
        plan_ = lent_->get();
        if (plan_ && plan_->planner) plan_->planner->forget_data();
    }
    LentPlan(const LentPlan&) = delete;
    LentPlan& operator=(const LentPlan&) = delete;

    /// The root of the tree `make()` gives, planned on first use (a planning that raised keeps
    /// nothing); without a kept plan, planned in `local`.
    template <class Make>
    engine::Node* root(engine::Planner& local, Make&& make) {
        if (!plan_) return local.plan(make());
        if (!plan_->root) {
            auto planner = std::make_unique<engine::Planner>();
            Obj node = make();
            engine::Node* root = planner->plan(node);
            plan_->planner = std::move(planner);
            plan_->node = std::move(node);
            plan_->root = root;
        }
        return plan_->root;
    }

    /// The planner root() planned in: the kept plan's, or `local`.
    const engine::Planner& planner(const engine::Planner& local) const {
        return plan_ && plan_->planner ? *plan_->planner : local;
    }

private:
    std::optional<Lent<KeptPlan>> lent_;
    KeptPlan* plan_ = nullptr;
};

// ---- index elements read where nothing binds them ----

// A fold binds its element's name while it runs, and a forall while its item is substituted;
// the binding stays in the instance data after either ends. So a tree that reads an element
// outside every fold over it would read whatever a fold or forall met before left behind, and
// whether it fails would depend on the order of its terms. Each tree is read once per model for
// the elements it reads unbound, and the compile refuses it as if the element had no value.

/// Names of the elements `n` reads where nothing in it binds them, in the order first met.
class FreeElements {
public:
    const std::vector<PyObject*>& of(engine::Node* n) {
        using engine::NodeType;
        auto found = memo_.find(n);
        if (found != memo_.end()) return found->second;
        check_stack("while reading an expression tree");
        memo_[n];  // met again inside itself (a cyclic tree): nothing more from there
        std::vector<PyObject*> out;
        auto take = [&](engine::Node* kid, PyObject* bound = nullptr) {
            if (!kid) return;
            for (PyObject* name : of(kid))
                if (!(bound && same(name, bound))) add(out, name);
        };
        switch (n->type) {
            case NodeType::Element: add(out, n->name.ptr()); break;
            case NodeType::Fold:
                if (n->var && n->var->type == NodeType::Element) {
                    // the range is read where the fold stands; condition and operand inside it
                    for (engine::Node* bound : n->var->kids) take(bound);
                    for (engine::Node* kid : n->kids) take(kid, n->var->name.ptr());
                } else {
                    for (engine::Node* kid : n->kids) take(kid);
                }
                break;
            case NodeType::Subscript:
            case NodeType::ArrayLength:
                take(n->var);
                for (engine::Node* kid : n->kids) take(kid);
                break;
            case NodeType::DecVar:  // an integer variable's bounds are read where it is
            case NodeType::Pair:
            case NodeType::Multi:
            case NodeType::Unary:
            case NodeType::CCompare:
            case NodeType::COp:
                for (engine::Node* kid : n->kids) take(kid);
                break;
            default: break;  // constants, foreign nodes
        }
        return memo_[n] = std::move(out);
    }

    static bool same(PyObject* a, PyObject* b) { return a == b || compare(a, b, Py_EQ); }

private:
    static void add(std::vector<PyObject*>& out, PyObject* name) {
        for (PyObject* known : out)
            if (same(known, name)) return;
        out.push_back(name);
    }
    std::unordered_map<engine::Node*, std::vector<PyObject*>> memo_;
};

/// `read()`, or None when it raises reading a tree: a tree the planner cannot read is left to
/// the substitution, whose error names it. Ctrl-C and memory errors pass.
template <class Read>
Obj unless_unreadable(Read&& read) {
    try {
        return read();
    } catch (PyErrSet&) {
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
        return nb::none();
    }
}

/// The first element read unbound by `forall` (each level's range where the levels before it
/// bind, its condition where it binds too) or by the tree `make()` gives (where every level
/// binds), or None. The tree is planned as the model's kept plan of `key` in `lowered`, which
/// its substitution then finds made.
template <class Make>
Obj unbound_element(Make&& make, nb::handle forall, nb::handle lowered, nb::handle key) {
    engine::Planner planner;
    FreeElements free;
    std::vector<PyObject*> bound;
    auto first_unbound = [&](engine::Node* n) -> PyObject* {
        for (PyObject* name : free.of(n)) {
            bool listed = false;
            for (PyObject* b : bound) listed = listed || FreeElements::same(b, name);
            if (!listed) return name;
        }
        return nullptr;
    };
    return unless_unreadable([&]() -> Obj {
        for (nb::handle entry : forall) {
            engine::Node* element = planner.plan(nb::handle(entry[0]));
            if (element->type != engine::NodeType::Element) return nb::none();  // not the tree's own
            for (engine::Node* range : element->kids)
                if (PyObject* name = first_unbound(range)) return ref(name);
            bound.push_back(element->name.ptr());
            if (PyObject* name = first_unbound(planner.plan_condition(nb::handle(entry[1])))) return ref(name);
        }
        LentPlan kept(lowered, lowered ? key : nb::handle());
        engine::Node* root = kept.root(planner, make);
        if (!kept.planner(planner).has_elements()) return nb::none();  // no element to read unbound
        PyObject* name = first_unbound(root);
        return name ? ref(name) : nb::none();
    });
}

/// The first index element a decision variable's shape reads, or None: nothing binds one there.
Obj element_in_shape(nb::handle variable) {
    engine::Planner planner;
    FreeElements free;
    return unless_unreadable([&]() -> Obj {
        for (nb::handle size : attr(variable, "shape")) {
            if (size.is_none()) continue;
            const std::vector<PyObject*>& names = free.of(planner.plan(size));
            if (!names.empty()) return ref(names.front());
        }
        return nb::none();
    });
}

/// Refuses a decision variable whose shape reads an index element: the compile would size it
/// by whatever value a loop left behind.
void check_shapes_bound(nb::handle deci_vars) {
    map_each(deci_vars, [&](nb::handle label, nb::handle variable) {
        Obj name = element_in_shape(variable);
        if (!name.is_none())
            raise_substitute("The shape of decision variable `" + to_string(label) + "` reads the index element `" +
                             to_string(name) +
                             "`, which nothing binds there: a shape is fixed by the instance data alone.");
    });
}

/// {None: name} for the objective and {label: name} for the constraints and penalties (one
/// namespace) that read an element unbound.
nb::dict unbound_elements(nb::handle problem, nb::handle lowered) {
    nb::dict out;
    Obj objective = unbound_element([&] { return attr(problem, "objective"); }, nb::list(), lowered, str("objective"));
    if (!objective.is_none()) out[nb::none()] = objective;
    map_each(attr(problem, "constraints"), [&](nb::handle label, nb::handle constraint) {
        Obj name = unbound_element([&] { return difference(attr(constraint, "condition")); },
                                   attr(constraint, "forall"), lowered, nb::make_tuple("constraint", label));
        if (!name.is_none()) out[label] = name;
    });
    map_each(attr(problem, "penalties"), [&](nb::handle label, nb::handle penalty) {
        Obj name = unbound_element([&] { return attr(penalty, "expression"); }, attr(penalty, "forall"), lowered,
                                   nb::make_tuple("penalty", label));
        if (!name.is_none()) out[label] = name;
    });
    return out;
}

/// Raises the error of an element read unbound in item `key` (None: the objective), when
/// `unbound` lists one.
void check_bound(nb::handle unbound, nb::handle key) {
    if (!unbound) return;
    if (PyObject* name = dict_get(unbound, key))
        raise_instance(call(exception_class(QTX_NAME("UnboundElementError")), {nb::handle(name)}));
}

/// The same, named "In <kind> `label`: ", as the compile names an item's errors.
void check_bound(nb::handle unbound, const char* kind, nb::handle label) {
    try {
        check_bound(unbound, label);
    } catch (...) {
        Obj error = caught_substitute_error();
        raise_in_except(std::string("In ") + kind + " `" + to_string(label) + "`: " + to_string(error), error, false);
    }
}

/// The polynomial of one assignment: a SubstitutedExpression, or a capsule in a native session;
/// a penalty's (`weighted`) may be a square scaled by a weight written in the model.
Obj substitute_once(engine::Node* root, Session& session, bool weighted, engine::Engine& engine) {
    engine::GcPause pause;
    if (!session.native) return engine.result(engine.eval(root));
    // the native compile keeps the polynomial in C++: no Python object per term
    bool squared = false;
    Num scale;
    Poly p = engine.eval_square(root, squared, weighted ? &scale : nullptr);
    return make_poly_capsule(std::move(p), Parts(), squared, std::move(scale));
}

/// Instantiates a node once per assignment of `forall` (`assignments`, unrolled), by forall
/// key; `kind` names the item in errors ("constraint" or "penalty"). `make` builds the node,
/// on the first assignment.
template <class Make>
nb::dict substitute_each(Session& session, const char* kind, nb::handle label, nb::handle forall,
                         nb::handle assignments, Make&& make) {
    // element names once: they do not change between assignments
    nb::list element_names;
    for (nb::handle entry : forall) element_names.append(element_name(entry));
    Py_ssize_t levels = nb::len(element_names);
    // One node, read once into a plan, serves every assignment: substituting reads a node and
    // never changes it, and building it per assignment would cost more than many
    // substitutions do. The plan asks nodes it does not know through their `substitute`.
    engine::Planner planner;
    engine::Node* root = nullptr;
    LentPlan kept(session.lowered, session.lowered ? Obj(nb::make_tuple(kind, label)) : Obj());
    SignalPoll poll;
    nb::dict out;
    // one engine for every assignment (the data's views are read once), told of each new binding
    std::optional<engine::Engine> engine;
    for (nb::handle assignment : assignments) {
        poll.tick(64);  // one whole substitution per assignment
        FastSequence values(assignment, "assignment must be a sequence");
        Py_ssize_t bound = std::min(levels, values.size());
        if (bound) {
            Obj indices = attr(session.data, "indices");
            for (Py_ssize_t level = 0; level < bound; ++level) bind_index(indices, element_names[level], values[level]);
        }
        if (!root) root = kept.root(planner, make);
        Obj result;
        try {
            if (engine)
                engine->rebind();
            else
                engine.emplace(session.var_map, session.data, session.known());
            result = substitute_once(root, session, std::strcmp(kind, "penalty") == 0, *engine);
            session.guard.check(session.var_map);
        } catch (...) {
            // the item's own prefix keeps its space before an empty forall text: "In penalty `p` : "
            auto where = [&] {
                return std::string("In ") + kind + " `" + to_string(label) + "` " +
                       forall_text(forall_values(forall, assignment));
            };
            Obj error = caught_substitute_error([&] {
                std::string text = where();
                return text.back() == ' ' ? text.substr(0, text.size() - 1) : text;
            });
            raise_in_except(where() + ": " + to_string(error), error, true);
        }
        out[nb::tuple(assignment)] = result;
    }
    return out;
}

/// Warns of the instances of a constraint that hold no free decision variable while their
/// constant breaks the comparison: no assignment satisfies them (a variable left out, as in
/// `w[i] <= c` written for `w[i] * x[i] <= c`, or fixed to the wrong value), and a solver would
/// find nothing feasible without a word.
void warn_unsatisfiable(nb::handle label, nb::handle forall, nb::handle condition, nb::handle by_key) {
    std::string kind = to_string(attr(attr(condition, "kind"), "name"));
    int breaks = kind == "EQUAL" ? Py_NE : kind == "LESSTHANEQUAL" ? Py_GT : kind == "GREATERTHANEQUAL" ? Py_LT : -1;
    if (breaks < 0) return;
    size_t count = 0;
    Obj first;
    Num difference;
    map_each(by_key, [&](nb::handle key, nb::handle poly) {
        Num c;
        if (PolyCapsule* held = poly_capsule(poly.ptr())) {
            if (held->squared || held->poly.terms.size() + held->parts.total() != 0) return;
            c = held->poly.constant;
        } else {
            if (map_size(attr(poly, "coeff")) != 0) return;
            c = Num::of(attr(poly, "constant"));
        }
        if (!num_compare(c, Num::of_int(0), breaks)) return;
        if (count++ == 0) first = nb::borrow(key), difference = c;
    });
    if (!count) return;
    std::string at = forall_text(forall_values(forall, first));
    if (!at.empty()) at = " at " + at;
    if (count > 1) at += " and " + std::to_string(count - 1) + " more assignments";
    const char* op = kind == "EQUAL" ? "==" : kind == "LESSTHANEQUAL" ? "<=" : ">=";
    warn("constraint `" + to_string(label) + "` holds no free decision variable" + at + ", and its sides differ by " +
         to_repr(difference.py()) + " (left minus right): `" + op +
         "` never holds, whatever a solver assigns. Check it for a missing variable or a wrong fixed value; it is "
         "compiled as given.");
}

nb::dict constraint_substitute(Session& session, nb::handle constraint) {
    Obj label = attr(constraint, "name");
    try {
        Obj forall = attr(constraint, "forall");
        Obj condition = attr(constraint, "condition");
        Obj assignments = unroll(forall, session, "constraint", label);
        nb::dict by_key =
            substitute_each(session, "constraint", label, forall, assignments, [&] { return difference(condition); });
        warn_unsatisfiable(label, forall, condition, by_key);
        return by_key;
    } catch (...) {
        Obj error = caught_substitute_error([&] { return "In constraint `" + to_string(label) + "`"; });
        raise_in_except("In constraint `" + to_string(label) + "`: " + to_string(error), error, false);
    }
}

/// Errors of the forall list name the penalty in compile_model only: the step function on its
/// own lets them through unchanged.
nb::dict penalty_substitute(Session& session, nb::handle penalty) {
    Obj label = attr(penalty, "name");
    Obj forall = attr(penalty, "forall");
    Obj expression = attr(penalty, "expression");
    check_bound(session.unbound, "penalty", label);
    Obj assignments;
    try {
        assignments = unroll(forall, session, "penalty", label);
    } catch (...) {
        if (!session.name_items) throw;
        Obj error = caught_substitute_error([&] { return "In penalty `" + to_string(label) + "`"; });
        raise_in_except("In penalty `" + to_string(label) + "`: " + to_string(error), error, false);
    }
    return substitute_each(session, "penalty", label, forall, assignments, [&] { return expression; });
}

/// Raises the error `caught` of pinning constraint `label` the way constraint_substitute
/// names the errors of any constraint: "In constraint `c`: " over "In constraint `c` forall=...: "
/// (caused by `caught`) when `bound` holds the assignment's values, else over `caught` itself.
[[noreturn]] void raise_pinning_error(nb::handle label, nb::handle caught, nb::handle bound) {
    std::string constraint = "In constraint `" + to_string(label) + "`";
    if (bound) {
        try {
            raise_in_except(constraint + " " + forall_text(bound) + ": " + to_string(caught), caught, true);
        } catch (PyErrSet&) {
            Obj inner = caught_substitute_error();
            raise_in_except(constraint + ": " + to_string(inner), inner, false);
        }
    }
    raise_in_except(constraint + ": " + to_string(caught), caught, false);
}

/// {element name: value} of the forall elements as `data.indices` holds them now.
nb::dict bound_values(nb::handle forall, nb::handle data) {
    Obj indices = attr(data, "indices");
    nb::dict bound;
    if (nb::isinstance<nb::dict>(indices)) {
        for (nb::handle entry : forall) {
            Obj name = element_name(entry);
            if (PyObject* value = dict_get(indices, name)) bound[name] = nb::handle(value);
        }
    }
    return bound;
}

/// `int(x)` unless x is an int already.
Obj as_int(Obj x) { return nb::isinstance<nb::int_>(x) ? x : to_int(x); }

/// The forall values of the first assignment at which a pinning constraint pins `key`.
nb::dict pinned_at(nb::handle constraint, nb::handle data, nb::handle key) {
    Obj forall = attr(constraint, "forall");
    Obj pinned = attr(pinning_module(), "check_pinning_constraint")(attr(constraint, "condition"));
    Obj subscripts = pinned[1];
    Obj registry = empty_registry();
    Obj assignments = unroll(forall, data);
    SignalPoll poll;
    for (nb::handle assignment : assignments) {
        poll.tick();
        nb::dict values = forall_values(forall, assignment);
        Obj indices = attr(data, "indices");
        map_each(values, [&](nb::handle name, nb::handle value) { bind_index(indices, name, value); });
        nb::list at;
        for (nb::handle subscript : subscripts)
            at.append(as_int(attr(attr(subscript, "substitute")(registry, data), "constant")));
        if (compare(nb::tuple(at), key, Py_EQ)) return values;
    }
    return nb::dict();
}

/// What the pinning constraints of a problem give: the fixed values (the caller's merged with
/// the pinned ones) and the constraints that pin nothing.
struct Pinning {
    Obj fixed_variables;
    nb::dict non_pinning;
    // label -> how far the constraint's pins are from any assignment, for the pinning
    // constraints none satisfies (see fixed_vars_from_pinning)
    nb::dict broken;

    void broke(nb::handle label, double by) {
        PyObject* before = dict_get(broken, label);
        if (!before || PyFloat_AsDouble(before) < by || by != by) broken[label] = nb::float_(by);
    }
};

/// |a - b| as a float, for a violation: 1.0 when the values do not subtract.
double value_gap(nb::handle a, nb::handle b) {
    PyObject* diff = PyNumber_Subtract(a.ptr(), b.ptr());
    PyObject* size = diff ? PyNumber_Absolute(diff) : nullptr;
    Py_XDECREF(diff);
    double d = size ? PyFloat_AsDouble(size) : -1.0;
    Py_XDECREF(size);
    if (d == -1.0 && PyErr_Occurred()) {
        // an int past float64's range is that far at least
        d = PyErr_ExceptionMatches(PyExc_OverflowError) ? HUGE_VAL : 1.0;
        PyErr_Clear();
    }
    return d;
}

/// The values a decision variable takes, read off its node once: a binary 0 or 1, an integer
/// integral values, within its bounds when they are numbers (bounds read from data, element by
/// element, are not checked here).
struct Domain {
    bool binary = false, integer = false;
    Obj lo, hi;  // an integer's bounds, when both are numbers

    explicit Domain(nb::handle variable) {
        Obj kinds = attr(substitutable_expr(), "DecisionVarKind");
        Obj kind = attr(variable, "kind");
        binary = kind.equal(attr(kinds, "BINARY"));
        integer = kind.equal(attr(kinds, "INTEGER"));
        if (!integer) return;
        Obj number = attr(substitutable_expr(), "Number");
        Obj lower = attr(variable, "lower"), upper = attr(variable, "upper");
        if (is_instance(lower, number) && is_instance(upper, number))
            lo = attr(lower, "value"), hi = attr(upper, "value");
    }

    /// Why the variable cannot be fixed to `value`, or "" when it can.
    std::string refused(nb::handle value) const {
        // a plain int, the common value, read natively (a caller may fix thousands)
        int overflow = 0;
        long long v = PyLong_CheckExact(value.ptr()) ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) : 0;
        if (PyLong_CheckExact(value.ptr()) && !overflow && (binary ? v == 0 || v == 1 : integer && !lo)) return "";
        if (binary)
            return compare(value, small_int(0), Py_EQ) || compare(value, small_int(1), Py_EQ)
                       ? ""
                       : "a binary variable takes 0 or 1";
        if (!integer) return "";
        if (!PyIndex_Check(value.ptr())) {
            double v = PyFloat_AsDouble(value.ptr());
            if (v == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();  // a number float() cannot read: left to the arithmetic
                return "";
            }
            if (!(std::isfinite(v) && v == std::trunc(v))) return "an integer variable takes integral values";
        }
        if (lo && (compare(value, lo, Py_LT) || compare(value, hi, Py_GT)))
            return "the integer variable takes values in [" + to_string(lo) + ", " + to_string(hi) + "]";
        return "";
    }

    /// How far `value`, which refused() refuses, lies from the nearest value the variable takes.
    double distance_to(nb::handle value) const {
        double v = PyFloat_AsDouble(value.ptr());
        if (v == -1.0 && PyErr_Occurred())
            PyErr_Clear();  // an int past float64's range: measured exactly below
        else if (!std::isfinite(v))
            return std::isnan(v) ? v : HUGE_VAL;  // NaN stays NaN: no tolerance passes it
        if (binary) return std::min(value_gap(value, small_int(0)), value_gap(value, small_int(1)));
        if (lo && compare(value, lo, Py_LT)) return value_gap(lo, value);
        if (lo && compare(value, hi, Py_GT)) return value_gap(value, hi);
        Obj nearest = own(PyObject_CallFunctionObjArgs(QTX_IMPORT("builtins", "round").ptr(), value.ptr(), nullptr));
        return value_gap(value, nearest);
    }
};

/// The caller's fixed values against the model, before anything is compiled: a label that
/// names no decision variable of the model (decoded as a variable of its own), a value the
/// variable cannot take (scored as given) or subscripts outside its declared shape are
/// compiled as given, with a warning that says so.
void check_fixed_against_model(nb::handle fixed, nb::handle deci_vars, ShapeGuard& guard) {
    map_each(fixed, [&](nb::handle label, nb::handle values) {
        PyObject* variable = dict_get(deci_vars, label);
        if (!variable) {
            std::string known;
            for (nb::handle name : deci_vars) known += (known.empty() ? "`" : ", `") + to_string(name) + "`";
            warn("fixed_variables fixes `" + to_string(label) +
                 "`, which is no decision variable of the model (its decision variables: " +
                 (known.empty() ? "none" : known) + "): its values are kept as given, and decoded as a variable's.");
            return;
        }
        Domain domain(variable);
        map_each(values, [&](nb::handle subscripts, nb::handle value) {
            std::string why = domain.refused(value);
            if (!why.empty())
                warn("fixed_variables fixes " + variable_text(label, subscripts) + " to " + to_repr(value) + ", but " +
                     why + ": the value is used as given.");
        });
    });
    Obj key;
    try {
        guard.check_fixed(fixed, key);
    } catch (...) {
        Obj error = caught_substitute_error();
        warn("fixed_variables: " + to_string(error) + " The value is kept as given.");
    }
}

/// Merges the caller's fixed values with those of the pinning constraints (entries already
/// present win). `guard` checks the pinned subscripts against the declared shapes.
Pinning fixed_vars_from_pinning(nb::handle problem, nb::handle data, ShapeGuard& guard,
                                nb::handle deci_vars = nb::handle(), nb::handle unbound = nb::handle()) {
    Pinning out{attr(data, "fixed_variables"), nb::dict(), nb::dict()};
    Obj convert = attr(pinning_module(), "convert_to_fixed_vars");
    map_each(attr(problem, "constraints"), [&](nb::handle label, nb::handle constraint) {
        check_bound(unbound, "constraint", label);
        Obj fixed;
        try {
            fixed = convert(constraint, data);
        } catch (...) {
            // A pinning constraint fails like any other: name it, and the assignment it
            // failed at, which is the one bound last. Errors of the forall itself already
            // say "in forall: " and come before any assignment is complete: label only.
            Obj error = caught_substitute_error([&] { return "In constraint `" + to_string(label) + "`"; });
            bool in_forall = to_string(error).rfind("in forall: ", 0) == 0;
            Obj bound = in_forall ? Obj() : bound_values(attr(constraint, "forall"), data);
            raise_pinning_error(label, error, bound);
        }
        if (fixed.is_none()) {
            out.non_pinning[label] = constraint;
            return;
        }
        // a pinned subscript outside the variable's shape would fix a variable the model
        // never declared
        Obj key;
        try {
            guard.check_fixed(fixed, key);
        } catch (...) {
            Obj error = caught_substitute_error();
            raise_pinning_error(label, error, pinned_at(constraint, data, key));
        }
        nb::handle merged = out.fixed_variables;
        map_each(fixed, [&](nb::handle variable, nb::handle values) {
            // a value the variable cannot take: no assignment satisfies the constraint
            if (PyObject* node = deci_vars ? dict_get(deci_vars, variable) : nullptr) {
                Domain domain(node);
                map_each(values, [&](nb::handle subscripts, nb::handle value) {
                    std::string why = domain.refused(value);
                    if (why.empty()) return;
                    warn("constraint `" + to_string(label) + "` pins " + variable_text(variable, subscripts) + " to " +
                         to_repr(value) + ", but " + why +
                         ": no assignment satisfies the constraint; the value is used as pinned, and every sample "
                         "reports the constraint violated.");
                    out.broke(label, domain.distance_to(value));
                });
            }
            int has = PySequence_Contains(merged.ptr(), variable.ptr());  // any mapping, as `in`
            if (has < 0) fail();
            if (has) {
                // the value fixed before wins: a different pinned value makes the constraint
                // one no assignment satisfies, and it leaves the model all the same
                Obj before = item(merged, variable);
                map_each(values, [&](nb::handle subscripts, nb::handle value) {
                    PyObject* kept = dict_get(before, subscripts);
                    if (!kept || compare(nb::handle(kept), value, Py_EQ)) return;
                    std::string text = "constraint `" + to_string(label) + "` pins " +
                                       variable_text(variable, subscripts) + " to " + to_repr(value) +
                                       ", but it is fixed to " + to_repr(nb::handle(kept)) +
                                       " already (by fixed_variables or an earlier constraint), which wins: no "
                                       "assignment satisfies the constraint, which every sample reports violated.";
                    warn(text);
                    out.broke(label, value_gap(nb::handle(kept), value));
                });
                attr(values, "update")(before);
            }
            merged[variable] = values;
        });
    });
    return out;
}

Obj extract_deci_var(nb::handle expr) {
    Obj found = attr(expr, "extract")(decision_variable_check());
    check_result(found, &PyList_Type);
    return found;
}

/// Refuses two decision variables of one name that differ in shape, kind or bounds: the first
/// met would silently stand for both.
void check_one_declaration(nb::handle name, nb::handle first, nb::handle second) {
    // one shape: otherwise whichever is met first sizes both, and a subscript one allows the
    // other refuses (numbers compared by value: a model written out term by term meets its
    // variables once per term, each with a shape of its own)
    Obj a_shape = attr(first, "shape"), b_shape = attr(second, "shape");
    bool same_shape = nb::len(a_shape) == nb::len(b_shape);
    for (size_t k = 0; same_shape && k < nb::len(a_shape); ++k) {
        nb::handle a = a_shape[k], b = b_shape[k];
        if (a.is(b)) continue;
        const engine::Types& tree = engine::types();
        if (Py_TYPE(a.ptr()) == (PyTypeObject*)tree.number && Py_TYPE(b.ptr()) == (PyTypeObject*)tree.number)
            same_shape = compare(attr(a, "value"), attr(b, "value"), Py_EQ);
        else
            same_shape = to_string(a) == to_string(b);
    }
    auto shape_text = [](nb::handle shape) {
        std::string text;
        for (nb::handle size : shape) text += (text.empty() ? "" : ", ") + to_string(size);
        return "(" + text + (nb::len(shape) == 1 ? ",)" : ")");
    };
    if (!same_shape)
        raise_substitute("Decision variable `" + to_string(name) + "` is declared twice, with the shapes " +
                         shape_text(a_shape) + " and " + shape_text(b_shape) +
                         ": give each decision variable its own name.");
    // binaries have no bounds to tell apart
    Obj kind = attr(first, "kind");
    if (kind.is(attr(second, "kind")) && kind.is(engine::types().binary)) return;
    auto declared = [](nb::handle v) {
        return to_string(attr(attr(v, "kind"), "name")) + " with bounds [" + to_string(attr(v, "lower")) + ", " +
               to_string(attr(v, "upper")) + "]";
    };
    std::string a = declared(first), b = declared(second);
    if (a != b)
        raise_substitute("Decision variable `" + to_string(name) + "` is declared twice, as " + a + " and as " + b +
                         ": give each decision variable its own name.");
}

/// The decision variables of the problem by name; `extract` lists those of one tree.
/// The decision variables found in a problem's trees by name, each name checked to stand for
/// one declaration.
nb::dict declarations(nb::handle found) {
    nb::dict out;
    for (nb::handle node : found) {
        Obj name = attr(node, "name");
        if (PyObject* seen = dict_get(out, name)) {
            if (seen == node.ptr()) continue;  // the same node met again (a written-out model's)
            check_one_declaration(name, seen, node);
        }
        out[name] = node;
    }
    return out;
}

template <class Extract>
nb::dict decision_variables(nb::handle problem, Extract&& extract) {
    Obj found = extract(attr(problem, "objective"));
    map_each(attr(problem, "constraints"), [&](nb::handle, nb::handle constraint) {
        attr(found, "extend")(extract(difference(attr(constraint, "condition"))));
    });
    map_each(attr(problem, "penalties"),
             [&](nb::handle, nb::handle penalty) { attr(found, "extend")(extract(attr(penalty, "expression"))); });
    return declarations(found);
}

/// The decision variables and placeholders of a problem's trees (the objective, each
/// constraint's left minus right side, each penalty), listed as `extract` with an instance check
/// lists them (pre-order, a node met twice listed twice), in one walk of each tree. A node of
/// the tree's own classes whose `extract` is the class's own is walked here, without a Python
/// frame per node (a model written out term by term has tens of thousands); any other node is
/// asked through its `extract`.
class TreeScan {
public:
    TreeScan()
        : variable_(tree_class(QTX_NAME("DecisionVariable"))),
          placeholder_(tree_class(QTX_NAME("Placeholder"))),
          variable_check_(instance_check(variable_)),
          placeholder_check_(instance_check(placeholder_)) {}

    void problem(nb::handle problem) {
        walk(attr(problem, "objective"));
        map_each(attr(problem, "constraints"),
                 [&](nb::handle, nb::handle constraint) { walk(difference(attr(constraint, "condition"))); });
        map_each(attr(problem, "penalties"),
                 [&](nb::handle, nb::handle penalty) { walk(attr(penalty, "expression")); });
    }

    nb::list variables, placeholders;

private:
    enum class Kind { Asked, Number, Placeholder, Variable, Multiple, Pair, Fold, Unary, Subscript, Element, Length };

    void walk(nb::handle node) {
        check_stack("while listing the nodes of an expression tree");
        Kind kind = kind_of(Py_TYPE(node.ptr()));
        if (kind == Kind::Subscript) return access(node);
        switch (kind) {
            case Kind::Asked:
                extend(variables, call_method(node, names().extract, {variable_check_}));
                extend(placeholders, call_method(node, names().extract, {placeholder_check_}));
                return;
            case Kind::Number: return;
            case Kind::Placeholder: placeholders.append(node); return;
            case Kind::Variable:
                variables.append(node);
                walk(attr(node, "lower"));
                walk(attr(node, "upper"));
                return;
            case Kind::Multiple:
                for (nb::handle operand : FastSequence(attr(node, "operands"), "operands must be a list"))
                    walk(operand);
                return;
            case Kind::Pair:
                walk(attr(node, "left"));
                walk(attr(node, "right"));
                return;
            case Kind::Fold: {
                walk(attr(node, "index"));
                Obj condition = attr(node, "condition");
                extend(variables, call_method(condition, names().extract_expr, {variable_check_}));
                extend(placeholders, call_method(condition, names().extract_expr, {placeholder_check_}));
                walk(attr(node, "operand"));
                return;
            }
            case Kind::Unary: walk(attr(node, "operand")); return;
            case Kind::Subscript: return;  // see access()
            case Kind::Element:
                walk(attr(node, "start"));
                walk(attr(node, "end"));
                return;
            case Kind::Length: walk(attr(node, "array")); return;
        }
    }

    /// walk() of a subscript. An access met again (a written-out model shares x[0, 3] between
    /// its terms) lists again what it listed the first time, without a walk; the trees keep
    /// it alive.
    void access(nb::handle node) {
        auto known = accesses_.find(node.ptr());
        if (known != accesses_.end()) {
            for (PyObject* v : known->second.first) variables.append(nb::handle(v));
            for (PyObject* p : known->second.second) placeholders.append(nb::handle(p));
            return;
        }
        Py_ssize_t v0 = PyList_GET_SIZE(variables.ptr()), p0 = PyList_GET_SIZE(placeholders.ptr());
        walk(attr(node, "variable"));
        for (nb::handle subscript : FastSequence(attr(node, "subscripts"), "subscripts must be a list"))
            walk(subscript);
        auto& listed = accesses_[node.ptr()];
        for (Py_ssize_t k = v0; k < PyList_GET_SIZE(variables.ptr()); ++k)
            listed.first.push_back(PyList_GET_ITEM(variables.ptr(), k));
        for (Py_ssize_t k = p0; k < PyList_GET_SIZE(placeholders.ptr()); ++k)
            listed.second.push_back(PyList_GET_ITEM(placeholders.ptr(), k));
    }

    std::unordered_map<PyObject*, std::pair<std::vector<PyObject*>, std::vector<PyObject*>>> accesses_;

    static void extend(nb::list& list, const Obj& found) {
        check_result(found, &PyList_Type);
        Py_ssize_t n = PyList_GET_SIZE(list.ptr());
        if (PyList_SetSlice(list.ptr(), n, n, found.ptr()) < 0) fail();
    }

    /// How a node of this exact class is walked: by its class, when the `extract` it has is the
    /// one the class was written with (named for it in its module); else Asked.
    Kind kind_of(PyTypeObject* type) {
        auto known = kinds_.find(type);
        if (known != kinds_.end()) return known->second;
        static const std::pair<const char*, Kind> classes[] = {
            {"Number", Kind::Number},
            {"Placeholder", Kind::Placeholder},
            {"DecisionVariable", Kind::Variable},
            {"MultipleOperator", Kind::Multiple},
            {"PairOperator", Kind::Pair},
            {"FoldOperator", Kind::Fold},
            {"UnaryOperator", Kind::Unary},
            {"Subscript", Kind::Subscript},
            {"Element", Kind::Element},
            {"ArrayLength", Kind::Length},
        };
        // the class that wrote the `extract` each class has: a leaf's is inherited
        static const std::pair<const char*, const char*> writers[] = {
            {"Number", "SubstitutableExpr.extract"},
            {"Placeholder", "Variable.extract"},
        };
        Kind kind = Kind::Asked;
        for (const auto& [name, k] : classes) {
            if ((PyObject*)type != tree_class(name_of(name)).ptr()) continue;
            std::string expected = std::string(name) + ".extract";
            for (const auto& [leaf, writer] : writers)
                if (std::strcmp(leaf, name) == 0) expected = writer;
            PyObject* method = _PyType_Lookup(type, names().extract.ptr());  // borrowed
            Obj qualname = method ? nb::steal(PyObject_GetAttrString(method, "__qualname__")) : Obj();
            if (!qualname) PyErr_Clear();
            if (qualname && PyUnicode_Check(qualname.ptr()) && to_string(qualname) == expected) kind = k;
            break;
        }
        kinds_.emplace(type, kind);
        return kind;
    }

    Obj variable_, placeholder_, variable_check_, placeholder_check_;
    std::unordered_map<PyTypeObject*, Kind> kinds_;
};

Obj get_ph_vars(nb::handle problem) {
    // extract_type(Placeholder) is extract() with this predicate, without a Python frame per node
    Obj check = placeholder_check();
    Obj found = attr(attr(problem, "objective"), "extract")(check);
    map_each(attr(problem, "constraints"), [&](nb::handle, nb::handle constraint) {
        attr(found, "extend")(attr(difference(attr(constraint, "condition")), "extract")(check));
    });
    map_each(attr(problem, "penalties"), [&](nb::handle, nb::handle penalty) {
        attr(found, "extend")(attr(attr(penalty, "expression"), "extract")(check));
    });
    check_result(found, &PyList_Type);
    return found;
}

/// The shapes of the decision variables `deci_vars` (those of `problem` when null). Within a
/// compile (`lowered`, the model's kept entry, and the compile's still empty `var_map`), a size
/// that is a machine int of constants and placeholders (`n`, `n + 1`) is read by its kept plan's
/// int program; any other, and any such size that is no int here (a float, a value past int64,
/// an error), is substituted as before, which gives its value or its error.
nb::dict eval_deci_var_shape(nb::handle problem, nb::handle data, nb::handle known = nb::handle(),
                             nb::handle lowered = nb::handle(), nb::handle var_map = nb::handle()) {
    Obj deci_vars = known ? nb::borrow(known) : Obj(decision_variables(problem, extract_deci_var));
    nb::dict out;
    Obj registry;
    engine::Planner local;
    std::optional<engine::Engine> native;
    map_each(deci_vars, [&](nb::handle label, nb::handle variable) {
        nb::list dims;
        long axis = 0;
        for (nb::handle size : attr(variable, "shape")) {
            Obj dim = nb::none();
            if (!size.is_none()) {
                int64_t v = 0;
                bool read = false;
                if (lowered && var_map) {
                    LentPlan kept(lowered, nb::make_tuple("shape", label, axis));
                    engine::Node* root = kept.root(local, [&] { return nb::borrow(size); });
                    if (!native) native.emplace(var_map, data);
                    read = native->constant_int(root, v);
                }
                if (read) {
                    dim = integer(v);
                } else {
                    try {
                        if (!registry) registry = empty_registry();
                        Obj poly = attr(size, "substitute")(registry, data);
                        if (map_size(attr(poly, "coeff")))
                            raise_substitute("Shapes must not contain decision variables.");
                        dim = to_int(attr(poly, "constant"));
                    } catch (...) {
                        // a NaN or a zero divisor in the data: Python's error, with a note naming the variable
                        raise_instance(caught_substitute_error(
                            [&] { return "In the shape of decision variable `" + to_string(label) + "`"; }));
                    }
                }
            }
            // a negative size would give a variable no subscript reaches: every term of it lost
            if (!dim.is_none() && PyLong_Check(dim.ptr()) && compare(dim, nb::int_(0), Py_LT))
                raise_substitute("Decision variable `" + to_string(label) + "` has the size " + to_string(dim) +
                                 " on axis " + std::to_string(axis) +
                                 " of its shape: sizes are 0 or more; check the instance data.");
            dims.append(dim);
            ++axis;
        }
        out[label] = nb::tuple(dims);
    });
    return out;
}

/// Number of axes of a placeholder value as the instance data holds it: an array's ndim, one
/// per nesting level of (jagged) lists, 0 for a number.
long value_axes(nb::handle value) {
    check_stack("while reading nested lists of data");
    PyTypeObject* ndarray = numpy_type("ndarray");
    if (ndarray && PyObject_TypeCheck(value.ptr(), ndarray)) {
        long n = PyLong_AsLong(attr(value, "ndim").ptr());
        if (n == -1 && PyErr_Occurred()) fail();
        return n;
    }
    if (nb::isinstance<nb::list>(value)) {
        long deepest = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i)
            deepest = std::max(deepest, value_axes(PyList_GET_ITEM(value.ptr(), i)));
        return deepest + 1;
    }
    return 0;
}

/// Every placeholder the problem reads, wherever it stands: its expressions, the ranges and
/// conditions of the forall lists, and the shapes of the decision variables.
Obj mentioned_placeholders(nb::handle problem, nb::handle ph_vars, nb::handle deci_vars) {
    Obj check = placeholder_check();
    nb::list found = nb::steal<nb::list>(PySequence_List(ph_vars.ptr()));
    if (!found) fail();
    auto scan_forall = [&](nb::handle, nb::handle item) {
        for (nb::handle entry : attr(item, "forall")) {
            Obj element = entry[0], condition = entry[1];
            attr(found, "extend")(attr(element, "extract")(check));
            attr(found, "extend")(attr(condition, "extract_expr")(check));
        }
    };
    map_each(attr(problem, "constraints"), scan_forall);
    map_each(attr(problem, "penalties"), scan_forall);
    map_each(deci_vars, [&](nb::handle, nb::handle variable) {
        for (nb::handle size : attr(variable, "shape"))
            if (!size.is_none()) attr(found, "extend")(attr(size, "extract")(check));
    });
    // one node per (name, ndim), the first met: the check reads nothing else of them
    nb::list unique;
    nb::set seen;
    for (nb::handle node : found) {
        Obj key = nb::make_tuple(attr(node, "name"), attr(node, "ndim"));
        int has = PySet_Contains(seen.ptr(), key.ptr());
        if (has < 0) fail();
        if (has) continue;
        seen.add(key);
        unique.append(node);
    }
    return std::move(unique);
}

/// Checks up front that the data of every placeholder has as many axes as the model gives
/// it, so that mismatches are reported once and by name. Data that cannot be read at all (a
/// missing placeholder, a value of the wrong type) is left to the item that reads it, whose
/// error names the item.
void check_placeholders(nb::handle mentioned, nb::handle data) {
    nb::dict axes_of;  // placeholder name -> axes of its data, or None when unreadable
    for (nb::handle node : mentioned) {
        Obj name = attr(node, "name");
        Obj axes;
        if (PyObject* known = dict_get(axes_of, name)) {
            axes = ref(known);
        } else {
            Obj value;
            try {
                value = attr(data, "get_value")(name, nb::tuple());
            } catch (...) {
                caught_substitute_error();
            }
            axes = value ? Obj(nb::int_(value_axes(value))) : Obj(nb::none());
            axes_of[name] = axes;
        }
        if (axes.is_none()) continue;
        Obj ndim = attr(node, "ndim");
        if (!compare(ndim, axes, Py_EQ)) {
            std::string placeholder = to_string(name), model = to_string(ndim), given = to_string(axes);
            auto axes_word = [](const std::string& k) { return k == "1" ? " axis" : " axes"; };
            raise_substitute("Placeholder `" + placeholder + "` has ndim " + model + " in the model but its data has " +
                             given + axes_word(given) + ": its value in the instance must have " + model +
                             axes_word(model) + ".");
        }
    }
}

/// The declared shapes to check registrations against while compiling, or null when they
/// cannot be evaluated yet: they are evaluated again at the end, where their errors belong.
Obj shapes_to_check(nb::handle problem, nb::handle data, nb::handle deci_vars, nb::handle lowered, nb::handle var_map) {
    try {
        return eval_deci_var_shape(problem, data, deci_vars, lowered, var_map);
    } catch (nb::python_error& error) {
        // model and data errors only: Ctrl-C and the like end the compilation
        if (!error.matches(PyExc_Exception)) throw;
        return Obj();
    } catch (PyErrSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Obj();
    }
}

/// Refuses anything but a modeling problem before the converter fails on a missing attribute.
void check_problem(nb::handle problem) {
    if (!is_instance(problem, QTX_IMPORT("quillon", "Problem")))
        raisef(PyExc_TypeError,
               "compile_model needs a quillon.Problem as `problem`, got %.200s: build the model with "
               "ql.Problem(...) and pass that problem.",
               qtx::type_name(problem));
}

bool is_number(nb::handle value) {
    if (nb::isinstance<nb::int_>(value) || nb::isinstance<nb::float_>(value)) return true;
    if (is_instance(value, QTX_IMPORT("numbers", "Number"))) return true;
    PyTypeObject* generic = numpy_type("generic");  // numpy.bool_ is no numbers.Number
    if (!generic || !PyObject_TypeCheck(value.ptr(), generic)) return false;
    return compare(attr(attr(value, "dtype"), "kind"), str("b"), Py_EQ);
}

/// Whether a fixed value's subscript can match a variable's: an int, or a number equal to one
/// (1.0 is the key (1,) in a dict).
bool integral_subscript(nb::handle s) {
    if (PyLong_Check(s.ptr())) return true;
    if (!is_number(s)) return false;
    PyObject* f = PyNumber_Float(s.ptr());
    if (!f) {
        PyErr_Clear();
        return false;
    }
    double v = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return std::isfinite(v) && v == std::floor(v);
}

/// Checks the caller's fixed values: label -> {subscript tuple: number}. A wrong key would
/// never match a variable and leave it silently unfixed.
void check_fixed_variables(nb::handle fixed) {
    map_each(fixed, [&](nb::handle label, nb::handle values) {
        std::string at = "fixed_variables[" + to_repr(label) + "]";
        if (!nb::isinstance<nb::str>(label))
            raise(PyExc_TypeError, "fixed_variables has the label " + to_repr(label) + " (" + qtx::type_name(label) +
                                       "): its keys are decision-variable labels (str).");
        if (!nb::isinstance<nb::dict>(values))
            raise(PyExc_TypeError, at + " is " + to_repr(values) + " (" + qtx::type_name(values) +
                                       "): give a dict from subscript tuples to values, such as {(0,): 1}, or "
                                       "{(): 1} for a variable without subscripts.");
        map_each(values, [&](nb::handle subscripts, nb::handle value) {
            std::string key = to_repr(subscripts);
            if (!nb::isinstance<nb::tuple>(subscripts))
                raise(PyExc_TypeError, at + " has the key " + key + " (" + qtx::type_name(subscripts) +
                                           "): subscripts are tuples of ints, such as (0,), or () for a variable "
                                           "without subscripts.");
            for (nb::handle s : subscripts)
                if (!integral_subscript(s))
                    raise(PyExc_TypeError, at + " has the key " + key + ": subscripts are ints, such as (0,), and " +
                                               to_repr(s) + " (" + qtx::type_name(s) +
                                               ") matches no variable, which would be left unfixed.");
            if (!is_number(value))
                raise(PyExc_TypeError, at + "[" + key + "] is " + to_repr(value) + " (" + qtx::type_name(value) +
                                           "): a fixed value must be a number.");
        });
    });
}

/// The caller's fixed values (checked) with NumPy scalars made the equal Python numbers: a
/// value read off a sampler's int8 array would otherwise be computed in its own width, and
/// wrap. The caller's dict itself when it holds none.
Obj plain_fixed(nb::handle fixed) {
    bool any = false;
    map_each(fixed, [&](nb::handle, nb::handle values) {
        map_each(values, [&](nb::handle, nb::handle value) {
            any = any || !(PyLong_CheckExact(value.ptr()) || PyFloat_CheckExact(value.ptr()));
        });
    });
    if (!any) return nb::borrow(fixed);
    nb::dict out;
    map_each(fixed, [&](nb::handle label, nb::handle values) {
        nb::dict plain_values;
        map_each(values, [&](nb::handle subscripts, nb::handle value) { plain_values[subscripts] = plain(value); });
        out[label] = plain_values;
    });
    return std::move(out);
}

/// Tells `report` (None, or a callable taking (stage, item)) that an item is compiled: the
/// caller's code, run with the collector as the caller keeps it (see GcPause::around).
void report_done(nb::handle report, nb::handle item, engine::GcPause& pause) {
    if (!report.is_none()) pause.around([&] { report("compile", item); });
}

/// The objective's polynomial in C++, substituted by the engine as its `substitute` would. A
/// square at the root is left unexpanded, as a penalty's is: the lowering makes its terms.
Obj native_objective(nb::handle tree, Session& session) {
    engine::Planner planner;
    LentPlan kept(session.lowered, session.lowered ? Obj(str("objective")) : Obj());
    engine::Node* root = kept.root(planner, [&] { return nb::borrow(tree); });
    engine::GcPause pause;
    engine::Engine engine(session.var_map, session.data, session.known());
    if (root->type == engine::NodeType::Pair && root->kind.ptr() == engine::types().pow) {
        bool squared = false;
        Poly p = engine.eval_square(root, squared);
        return make_poly_capsule(std::move(p), Parts(), squared);
    }
    Parts parts = parts_with_stats();  // the lowering reads what they gather
    Poly p = engine.eval_parts(root, parts);
    return make_poly_capsule(std::move(p), std::move(parts));
}

// ---- the model's kept entry ----

// Each model's trees, while the model stays the same, are kept on the model itself (the quillon
// Problem's private "_derived" dict, which it neither pickles nor copies): its objective, its
// constraints and penalties (their names, expressions and forall lists), its name and sense, all
// the same objects, lowered by the same function (tests replace it). The compile keeps in the
// entry what it derives from the trees alone (plans, forall levels, placeholders). This module
// keeps nothing: an entry lives and dies with its model (a compile already running on the
// model's kept plan, in another thread or nested, plans its own).

/// Visits the objects a compile reads off `problem`, flat: `same(o)` for the objects (compared
/// by identity), `count(n)` for the sizes of the tables and forall lists (which keep the layout
/// apart). Stops early, with false, when a visit returns false.
template <class Same, class Count>
bool read_off(nb::handle problem, nb::handle convert, Same&& same, Count&& count) {
    if (!same(convert) || !same(attr(problem, "name")) || !same(attr(problem, "sense")) ||
        !same(attr(problem, "objective")))
        return false;
    for (const char* table_name : {"constraints", "custom_penalty_terms"}) {
        Obj table = attr(problem, table_name);
        if (!count((size_t)map_size(table))) return false;
        bool alike = true;
        map_each(table, [&](nb::handle label, nb::handle item) {
            if (!alike) return;
            Obj forall = attr(item, "forall");
            alike = same(label) && same(item) && same(attr(item, "name")) && same(attr(item, "expression")) &&
                    count((size_t)nb::len(forall));
            for (nb::handle pair : forall)
                for (nb::handle part : pair)
                    if (alike) alike = same(part);
        });
        if (!alike) return false;
    }
    return true;
}

constexpr const char* kSnapshot = "qtx.tree_snapshot";

/// `{"problem": the converter's substitutable form of problem}`, the same dict again while the
/// model is unchanged (the same objects throughout: an equal string that is another object only
/// costs a lowering), from its second compile on. A model changed in any way, inside its
/// expressions too (an attribute set, a term appended), is lowered again.
Obj lowered_problem(nb::handle problem) {
    Obj convert = attr(converter_module(), "convert_problem_to_substutitable");
    PyObject* found = PyObject_GetAttrString(problem.ptr(), "_derived");
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
    }
    Obj derived = nb::steal(found);
    if (!derived || !PyDict_Check(derived.ptr())) {
        derived = nb::dict();
        if (PyObject_SetAttrString(problem.ptr(), "_derived", derived.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
            PyErr_Clear();  // a Problem subclass with slots: lowered every time
        }
    }
    PyObject* kept = dict_get(derived, str("lowered"));
    if (!kept) {
        // The model's first compile keeps nothing but a mark: recording what its trees hold
        // costs about a third of a first compile of a model written out term by term, and
        // pays only when the model is compiled again. The second compile lowers it again and
        // keeps that.
        dict_set(derived, str("lowered"), nb::none());
        nb::dict lowered;
        lowered["problem"] = convert(problem);
        return std::move(lowered);
    }
    if (PyTuple_Check(kept) && PyTuple_GET_SIZE(kept) == 3 && PyList_Check(PyTuple_GET_ITEM(kept, 0))) {
        PyObject* key = PyTuple_GET_ITEM(kept, 0);
        Py_ssize_t at = 0, n = PyList_GET_SIZE(key);
        auto same = [&](nb::handle o) { return at < n && PyList_GET_ITEM(key, at++) == o.ptr(); };
        auto count = [&](size_t c) {
            if (at >= n) return false;
            PyObject* v = PyList_GET_ITEM(key, at++);
            return PyLong_CheckExact(v) && PyLong_AsSize_t(v) == c;
        };
        auto* trees = static_cast<TreeSnapshot*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(kept, 2), kSnapshot));
        if (!trees) PyErr_Clear();
        if (read_off(problem, convert, same, count) && at == n && trees && trees->same())
            return ref(PyTuple_GET_ITEM(kept, 1));
    }
    nb::list key;
    read_off(
        problem, convert,
        [&](nb::handle o) {
            key.append(o);
            return true;
        },
        [&](size_t c) {
            key.append(integer((long long)c));
            return true;
        });
    // what the trees hold, recorded before they are lowered: a change made while they are (by
    // another thread) leaves this lowering unkept
    auto trees = std::make_unique<TreeSnapshot>();
    trees->take(attr(problem, "objective"));
    for (const char* table_name : {"constraints", "custom_penalty_terms"})
        map_each(attr(problem, table_name), [&](nb::handle, nb::handle item) { trees->take(item); });
    nb::dict lowered;
    lowered["problem"] = convert(problem);
    if (!trees->same()) return std::move(lowered);
    Obj snapshot = nb::steal(PyCapsule_New(trees.get(), kSnapshot, [](PyObject* c) {
        delete static_cast<TreeSnapshot*>(PyCapsule_GetPointer(c, kSnapshot));
    }));
    if (!snapshot) fail();
    trees.release();  // the capsule owns it now
    derived[str("lowered")] = nb::make_tuple(key, lowered, snapshot);
    return std::move(lowered);
}

/// compile_model, or with `native` the same compile whose polynomials stay in C++ (native
/// capsules in place of SubstitutedExpressions); `report` hears of every item compiled.
Obj compile_model(nb::handle problem, nb::handle instance, nb::handle fixed_variables, bool native = false,
                  nb::handle report = Py_None) {
    check_problem(problem);
    check_arg(instance, &PyDict_Type, "instance");
    if (!fixed_variables.is_none()) check_arg(fixed_variables, &PyDict_Type, "fixed_variables");
    Obj fixed = fixed_variables.is_none() ? nb::dict() : nb::borrow(fixed_variables);
    check_fixed_variables(fixed);
    fixed = plain_fixed(fixed);

    // A compile makes a Python object per node of every tree it lowers and none that refer to
    // each other in cycles; the collector, run as they come, would walk the whole heap over and
    // over (a model written out term by term spent about half its first compile there).
    engine::GcPause pause;
    // the model's trees and what the compile reads off them alone: made once while the model
    // stays the same, so a small compile repeats none of it
    Obj lowered = lowered_problem(problem);
    Obj substitutable = item(lowered, "problem");
    auto kept = [&](const char* key, auto&& make) {
        if (PyObject* known = dict_get(lowered, str(key))) return ref(known);
        Obj made = make();
        if (PyDict_SetItemString(lowered.ptr(), key, made.ptr()) < 0) fail();
        return made;
    };
    // the placeholders and the decision variables, found in one walk of the trees
    std::optional<TreeScan> scan;
    auto scanned = [&]() -> TreeScan& {
        if (!scan) scan.emplace().problem(substitutable);
        return *scan;
    };
    Obj ph_vars = kept("placeholders", [&] { return Obj(scanned().placeholders); });
    Obj ph_names = kept("placeholder names", [&] {
        nb::list names;
        for (nb::handle placeholder : ph_vars) names.append(attr(placeholder, "name"));
        return Obj(std::move(names));
    });
    ph_names = own(PySequence_List(ph_names.ptr()));  // the data's own list: callers may change it

    Obj data = attr(core_module(), "InstanceData")(instance, fixed, ph_names, "indices"_a = nb::dict());
    Obj var_map = empty_registry();

    Obj deci_vars = kept("variables", [&] { return Obj(declarations(scanned().variables)); });
    Obj mentioned = kept("mentioned", [&] { return mentioned_placeholders(substitutable, ph_vars, deci_vars); });
    check_placeholders(mentioned, data);

    kept("shapes bound", [&] {
        check_shapes_bound(deci_vars);
        return Obj(nb::none());
    });
    Obj shapes = shapes_to_check(substitutable, data, deci_vars, lowered, var_map);
    Session session(data, var_map, shapes);
    session.shared.emplace();  // every item's engine finds the variables met before
    session.native = native;
    session.name_items = true;
    session.lowered = lowered;
    check_fixed_against_model(fixed, deci_vars, session.guard);
    Obj unbound = kept("unbound elements", [&] { return Obj(unbound_elements(substitutable, lowered)); });
    session.unbound = unbound;
    Pinning pinning = fixed_vars_from_pinning(substitutable, data, session.guard, deci_vars, unbound);
    set_attr(data, "fixed_variables", pinning.fixed_variables);

    Obj tree = attr(substitutable, "objective"), objective;
    try {
        check_bound(unbound, nb::none());
        objective = native ? native_objective(tree, session) : attr(tree, "substitute")(var_map, data);
        session.guard.check(var_map);
    } catch (...) {
        Obj error = caught_substitute_error([] { return std::string("In objective"); });
        raise_in_except("In objective: " + to_string(error), error, false);
    }
    report_done(report, str("objective"), pause);

    nb::dict constraint;
    map_each(pinning.non_pinning, [&](nb::handle label, nb::handle item) {
        constraint[label] = constraint_substitute(session, item);
        report_done(report, label, pause);
    });

    // the substitutable penalties, in the order the model declares them (as lowered: another
    // thread may have added to the model since)
    nb::dict penalty;
    Obj penalties = attr(substitutable, "penalties");
    Obj labels = own(PySequence_List(penalties.ptr()));
    for (nb::handle label : labels) {
        penalty[label] = penalty_substitute(session, item(penalties, label));
        report_done(report, label, pause);
    }

    Obj sense = attr(substitutable, "sense");
    // evaluated again only when they failed above: here their error belongs
    if (!shapes) shapes = eval_deci_var_shape(substitutable, data, deci_vars);
    Obj compiled = record(attr(compiled_model_module(), "CompiledInstance"), {{QTX_NAME("sense"), sense},
                                                                              {QTX_NAME("objective"), objective},
                                                                              {QTX_NAME("constraint"), constraint},
                                                                              {QTX_NAME("penalty"), penalty},
                                                                              {QTX_NAME("var_map"), var_map},
                                                                              {QTX_NAME("data"), data},
                                                                              {QTX_NAME("problem"), substitutable},
                                                                              {QTX_NAME("deci_var_shape"), shapes}});
    // not a field: equality and the constructor stay the fields' (see compiled_model.broken_pins)
    if (PyDict_GET_SIZE(pinning.broken.ptr())) set_attr(compiled, "_broken_pins", pinning.broken);
    return compiled;
}

// ---- the module's native functions ----

Obj compile_model_fn(nb::handle problem, nb::handle instance, nb::handle fixed_variables) {
    return compile_model(problem, instance, fixed_variables);
}

Obj compile_native_fn(nb::handle problem, nb::handle instance, nb::handle fixed_variables, nb::handle report) {
    return compile_model(problem, instance, fixed_variables, true, report);
}

Obj native_expression_fn(nb::handle poly) {
    PolyCapsule* held = poly_capsule(poly.ptr());
    if (!held) raisef(PyExc_TypeError, "expected a polynomial of the native compile, not %.200s", qtx::type_name(poly));
    return native_expression(*held);
}

/// The base of a penalty held as its square, unexpanded (a route keeps it to evaluate the
/// penalty later at a fraction of the expanded size); None for any other polynomial.
Obj native_square_base_fn(nb::handle poly) {
    PolyCapsule* held = poly_capsule(poly.ptr());
    if (!held) raisef(PyExc_TypeError, "expected a polynomial of the native compile, not %.200s", qtx::type_name(poly));
    if (!held->squared || !held->scale.empty()) return nb::none();  // a scaled square is read expanded
    Obj cls = QTX_IMPORT("quillon_transpiler.core.substitute", "SubstitutedExpression");
    return cls(terms_dict(held->poly.terms), held->poly.constant.py(), held->poly.order.py());
}

/// The terms a polynomial holds as it is (its parts' too, a square's base's), merged or not.
Obj native_terms_fn(nb::handle poly) {
    PolyCapsule* held = poly_capsule(poly.ptr());
    if (!held) raisef(PyExc_TypeError, "expected a polynomial of the native compile, not %.200s", qtx::type_name(poly));
    return nb::int_(held->poly.terms.size() + held->parts.total());
}

PolyCapsule& held_poly(nb::handle poly) {
    PolyCapsule* held = poly_capsule(poly.ptr());
    if (!held) raisef(PyExc_TypeError, "expected a polynomial of the native compile, not %.200s", qtx::type_name(poly));
    return *held;
}

/// The terms of every polynomial of a label -> key -> polynomial map, as _native_terms counts them.
Obj native_terms_total_fn(nb::handle by_label) {
    size_t total = 0;
    map_each(by_label, [&](nb::handle, nb::handle by_key) {
        map_each(by_key, [&](nb::handle, nb::handle poly) {
            PolyCapsule& held = held_poly(poly);
            total += held.poly.terms.size() + held.parts.total();
        });
    });
    return integer(total);
}

/// _native_expression of every polynomial of a label -> key -> polynomial map, in its order.
Obj native_expressions_fn(nb::handle by_label) {
    nb::dict out;
    map_each(by_label, [&](nb::handle label, nb::handle by_key) {
        nb::dict made;
        map_each(by_key, [&](nb::handle key, nb::handle poly) { made[key] = native_expression(held_poly(poly)); });
        out[label] = made;
    });
    return std::move(out);
}

/// What an automatic constraint weight reads of a constraint's polynomials (key -> polynomial):
/// per polynomial, merged, the distinct magnitudes of its non-zero coefficients as floats
/// (ascending) and its constant as a float, each distinct pair once: the keys of a family mostly
/// share theirs. A polynomial with a coefficient or constant that is not finite gives no
/// magnitudes (no step either way). None when some polynomial is not native or holds a number
/// that is no machine int or float: the caller reads them as Python numbers.
Obj native_coefficient_sets_fn(nb::handle by_key) {
    check_arg(by_key, &PyDict_Type, "polys");
    // float(n) of a machine int, as Python rounds it (to nearest, ties to even, as the CPU does)
    auto as_float = [](const Num& v, double& out) {
        if (v.tag() == Num::Int) {
            out = (double)v.as_int();
            return true;
        }
        if (v.tag() != Num::Float) return false;
        out = v.as_float();
        return true;
    };
    // a pair by the bits of its numbers: equal pairs give equal steps, -0.0 and 0.0 kept apart
    std::set<std::vector<uint64_t>> seen;
    nb::list out;
    std::vector<double> magnitudes;
    PyObject *key, *poly;
    Py_ssize_t pos = 0;
    while (PyDict_Next(by_key.ptr(), &pos, &key, &poly)) {
        PolyCapsule* held = poly_capsule(poly);
        if (!held) return nb::none();
        held->merge();  // as _native_expression reads it
        double constant = 0;
        if (!as_float(held->poly.constant, constant)) return nb::none();
        magnitudes.clear();
        bool finite = std::isfinite(constant);
        for (const auto& entry : held->poly.terms) {
            double c = 0;
            if (!as_float(entry.val, c)) return nb::none();
            if (c == 0) continue;
            finite = finite && std::isfinite(c);
            magnitudes.push_back(std::fabs(c));
        }
        if (!finite) magnitudes.clear();
        std::sort(magnitudes.begin(), magnitudes.end());
        magnitudes.erase(std::unique(magnitudes.begin(), magnitudes.end()), magnitudes.end());
        std::vector<uint64_t> bits(magnitudes.size() + 1);
        std::memcpy(bits.data(), &constant, sizeof constant);
        if (!magnitudes.empty()) std::memcpy(bits.data() + 1, magnitudes.data(), magnitudes.size() * sizeof(double));
        if (!seen.insert(std::move(bits)).second) continue;
        nb::list values;
        for (double m : magnitudes) values.append(nb::float_(m));
        out.append(nb::make_tuple(nb::tuple(values), nb::float_(constant)));
    }
    return std::move(out);
}

Obj fixed_vars_fn(nb::handle problem, nb::handle instance_data) {
    ShapeGuard unchecked{Obj()};
    Pinning pinning = fixed_vars_from_pinning(problem, instance_data, unchecked);
    return nb::make_tuple(pinning.fixed_variables, pinning.non_pinning);
}

Obj constraint_fn(nb::handle constraint, nb::handle data, nb::handle var_map) {
    Session session(data, var_map);
    return constraint_substitute(session, constraint);
}

Obj penalty_fn(nb::handle penalty, nb::handle data, nb::handle var_map) {
    Session session(data, var_map);
    return penalty_substitute(session, penalty);
}

Obj shape_fn(nb::handle problem, nb::handle data) { return eval_deci_var_shape(problem, data); }

Obj extract_deci_var_fn(nb::handle expr) { return extract_deci_var(expr); }

Obj decision_variables_fn(nb::handle problem, nb::handle extract) {
    return decision_variables(problem, [&](nb::handle expr) {
        Obj found = extract(expr);
        check_result(found, &PyList_Type);
        return found;
    });
}

Obj ph_vars_fn(nb::handle problem) { return get_ph_vars(problem); }

PyMethodDef functions[] = {
    QTX_DEF("_compile_model", compile_model_fn),
    QTX_DEF("_compile_native", compile_native_fn),
    QTX_DEF("_native_expression", native_expression_fn),
    QTX_DEF("_native_square_base", native_square_base_fn),
    QTX_DEF("_native_terms", native_terms_fn),
    QTX_DEF("_native_terms_total", native_terms_total_fn),
    QTX_DEF("_native_expressions", native_expressions_fn),
    QTX_DEF("_native_coefficient_sets", native_coefficient_sets_fn),
    QTX_DEF("_fixed_vars_from_pinning_constraint", fixed_vars_fn),
    QTX_DEF("_constraint_substitute", constraint_fn),
    QTX_DEF("_penalty_substitute", penalty_fn),
    QTX_DEF("_eval_deci_var_shape", shape_fn),
    QTX_DEF("_extract_deci_var", extract_deci_var_fn),
    QTX_DEF("_collect_decision_variables", decision_variables_fn),
    QTX_DEF("_placeholders", ph_vars_fn),
    QTX_END,
};

}  // namespace

NB_MODULE(compile, m) { QTX_MODULE_INIT(m, functions) }
