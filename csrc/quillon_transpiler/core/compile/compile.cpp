// compile: the compile_model driver and its pipeline steps.
#include "qtx/engine.hpp"
#include "qtx/poly_capsule.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/plain.hpp"
#include "qtx/registry.hpp"
#include "qtx/shape_guard.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

using namespace qtx;

namespace {

const Names& N = names();

PyObject* subs_expr() { return imported(QTX_NAME("quillon_transpiler.core.substitute.substitutable_expr")).ptr(); }
PyObject* core_module() { return imported(QTX_NAME("quillon_transpiler.core")).ptr(); }
PyObject* converter_module() {
    return imported(QTX_NAME("quillon_transpiler.core.compile.convert_to_substitutable")).ptr();
}
PyObject* compiled_model_module() { return imported(QTX_NAME("quillon_transpiler.core.compile.compiled_model")).ptr(); }
PyObject* pinning_module() { return imported(QTX_NAME("quillon_transpiler.core.compile.pinning_constraint")).ptr(); }
PyObject* unroll_module() { return imported(QTX_NAME("quillon_transpiler.core.compile.unroll_forall")).ptr(); }
PyObject* quillon_module() { return imported(QTX_NAME("quillon")).ptr(); }
PyObject* numbers_module() { return imported(QTX_NAME("numbers")).ptr(); }

/// `extract` predicates as C functions: the scans visit every node of every tree.
Obj decision_variable_check() { return instance_check(tree_class(QTX_NAME("DecisionVariable")).ptr()); }
Obj placeholder_check() { return instance_check(tree_class(QTX_NAME("Placeholder")).ptr()); }

/// `acc.extend(more)`, with Python's errors for whatever `acc` and `more` turn out to be.
void extend(PyObject* acc, PyObject* more) { call_method(acc, QTX_NAME("extend"), {more}); }

/// Raises SubstituteError(msg) as a `raise` inside the `except` that caught `caught` would:
/// `caught` becomes the context, and the cause too when `chained` (`raise ... from`).
[[noreturn]] void raise_in_except(const std::string& msg, PyObject* caught, bool chained) {
    raise_from(call(substitute_error(), {str(msg).ptr()}), caught, chained);
}

Obj element_name(PyObject* forall_entry) {
    Obj element = own(PySequence_GetItem(forall_entry, 0));
    return getattr(element.ptr(), N.name.ptr());
}

/// {element name: value} over the forall entries zipped with an assignment.
Obj forall_values(PyObject* forall, PyObject* assignment) {
    Obj values = own(PyDict_New());
    zip(forall, assignment,
        [&](PyObject* entry, PyObject* value) { dict_set(values.ptr(), element_name(entry).ptr(), value); });
    return values;
}

/// "forall={'i': 1, 'j': 0}", or "" for no values.
std::string forall_text(PyObject* values) {
    return PyDict_GET_SIZE(values) ? "forall=" + to_string(values) : std::string();
}

/// Instantiates a node once per assignment of `forall`; `kind` names the item in errors
/// ("constraint" or "penalty"). `make` builds the node, on the first assignment. Errors of
/// the forall itself get the item's name only when `name_forall_errors` is set. `guard`, when
/// given, checks every registered variable against its shape.
template <class Make>
Obj substitute_each(const char* kind, PyObject* label, PyObject* forall, PyObject* data, PyObject* var_map,
                    ShapeGuard* guard, Make&& make, bool name_forall_errors = false, bool native = false,
                    engine::KnownVariables* known = nullptr) {
    Obj out = own(PyDict_New());
    Obj unroll = getattr(unroll_module(), QTX_NAME("unroll_forall"));
    Obj assignments;
    try {
        assignments = call(unroll.ptr(), {forall, data});
    } catch (PyErrSet&) {
        if (!name_forall_errors) throw;
        Obj e = caught_substitute_error();
        raise_in_except(std::string("In ") + kind + " `" + to_string(label) + "`: " + to_string(e.ptr()), e.ptr(),
                        false);
    }
    // element names once: they do not change between assignments
    Obj names_list = own(PyList_New(0));
    for_each(forall, [&](PyObject* entry) {
        if (PyList_Append(names_list.ptr(), element_name(entry).ptr()) < 0) fail();
    });
    Py_ssize_t levels = PyList_GET_SIZE(names_list.ptr());
    // One node, read once into a plan, serves every assignment: substituting reads a node and
    // never changes it, and building it per assignment would cost more than many
    // substitutions do. The plan asks nodes it does not know through their `substitute`.
    Obj node;
    engine::Planner planner;
    engine::Node* root = nullptr;
    SignalPoll poll;
    for_each(assignments.ptr(), [&](PyObject* assignment) {
        poll.tick(64);  // one whole substitution per assignment
        Obj values = own(PySequence_Fast(assignment, "assignment must be a sequence"));
        Py_ssize_t n = std::min(levels, PySequence_Fast_GET_SIZE(values.ptr()));
        if (n) {
            Obj indices = getattr(data, N.indices.ptr());
            for (Py_ssize_t k = 0; k < n; ++k)
                bind_index(indices.ptr(), PyList_GET_ITEM(names_list.ptr(), k),
                           PySequence_Fast_GET_ITEM(values.ptr(), k));
        }
        if (!root) {
            node = make();
            root = planner.plan(node.ptr());
        }
        PyObject* poly = nullptr;
        try {
            engine::GcPause pause;
            engine::Engine e(var_map, data, known);
            // the native compile keeps the polynomial in C++: no Python object per term
            if (native) {
                bool squared = false;
                Poly p = e.eval_square(root, squared);
                poly = make_poly_capsule(std::move(p), Parts(), squared).release().ptr();
            } else {
                poly = e.result(e.eval(root)).release().ptr();
            }
        } catch (PyErrSet&) {}
        if (!poly) {
            Obj e = caught_substitute_error();
            raise_in_except(std::string("In ") + kind + " `" + to_string(label) + "` " +
                                forall_text(forall_values(forall, assignment).ptr()) + ": " + to_string(e.ptr()),
                            e.ptr(), true);
        }
        Obj result = nb::steal(poly);
        try {
            if (guard) guard->check(var_map);
        } catch (PyErrSet&) {
            Obj e = caught_substitute_error();
            raise_in_except(std::string("In ") + kind + " `" + to_string(label) + "` " +
                                forall_text(forall_values(forall, assignment).ptr()) + ": " + to_string(e.ptr()),
                            e.ptr(), true);
        }
        Obj key = own(PySequence_Tuple(assignment));
        dict_set(out.ptr(), key.ptr(), result.ptr());
    });
    return out;
}

Obj constraint_substitute(PyObject* constraint, PyObject* data, PyObject* var_map, ShapeGuard* guard = nullptr,
                          bool native = false, engine::KnownVariables* known = nullptr) {
    Obj label = getattr(constraint, N.name.ptr());
    try {
        Obj forall = getattr(constraint, N.forall.ptr());
        Obj condition = getattr(constraint, N.condition.ptr());
        return substitute_each(
            "constraint", label.ptr(), forall.ptr(), data, var_map, guard,
            [&] {
                Obj left = getattr(condition.ptr(), N.left.ptr());
                Obj right = getattr(condition.ptr(), N.right.ptr());
                return own(PyNumber_Subtract(left.ptr(), right.ptr()));
            },
            false, native, known);
    } catch (PyErrSet&) {
        Obj e = caught_substitute_error();
        raise_in_except("In constraint `" + to_string(label.ptr()) + "`: " + to_string(e.ptr()), e.ptr(), false);
    }
}

/// `name_forall_errors`: set by compile_model, where every error names its item; the step
/// function on its own lets the errors of the forall through unchanged.
Obj penalty_substitute(PyObject* penalty, PyObject* data, PyObject* var_map, ShapeGuard* guard = nullptr,
                       bool name_forall_errors = false, bool native = false, engine::KnownVariables* known = nullptr) {
    Obj label = getattr(penalty, N.name.ptr());
    Obj forall = getattr(penalty, N.forall.ptr());
    Obj expression = getattr(penalty, N.expression.ptr());
    return substitute_each(
        "penalty", label.ptr(), forall.ptr(), data, var_map, guard, [&] { return expression; }, name_forall_errors,
        native, known);
}

/// Raises the error `caught` of pinning constraint `label` the way constraint_substitute
/// names the errors of any constraint: "In constraint `c`: " over "In constraint `c` forall=...: "
/// (caused by `caught`) when `bound` holds the assignment's values, else over `caught` itself.
[[noreturn]] void raise_pinning_error(PyObject* label, PyObject* caught, PyObject* bound) {
    std::string c = to_string(label);
    if (bound) {
        try {
            raise_in_except("In constraint `" + c + "` " + forall_text(bound) + ": " + to_string(caught), caught, true);
        } catch (PyErrSet&) {
            Obj inner = caught_substitute_error();
            raise_in_except("In constraint `" + c + "`: " + to_string(inner.ptr()), inner.ptr(), false);
        }
    }
    raise_in_except("In constraint `" + c + "`: " + to_string(caught), caught, false);
}

/// {element name: value} of the forall elements as `data.indices` holds them now.
Obj bound_values(PyObject* forall, PyObject* data) {
    Obj indices = getattr(data, N.indices.ptr());
    Obj bound = own(PyDict_New());
    if (PyDict_Check(indices.ptr())) {
        for_each(forall, [&](PyObject* entry) {
            Obj name = element_name(entry);
            if (PyObject* v = dict_get(indices.ptr(), name.ptr())) dict_set(bound.ptr(), name.ptr(), v);
        });
    }
    return bound;
}

/// The forall values of the first assignment at which a pinning constraint pins `key`.
Obj pinned_at(PyObject* constraint, PyObject* data, PyObject* key) {
    Obj forall = getattr(constraint, N.forall.ptr());
    Obj check = getattr(pinning_module(), QTX_NAME("check_pinning_constraint"));
    Obj triple = call(check.ptr(), {getattr(constraint, N.condition.ptr()).ptr()});
    Obj subscripts = own(PySequence_GetItem(triple.ptr(), 1));
    Obj registry = empty_registry();
    Obj unroll = getattr(unroll_module(), QTX_NAME("unroll_forall"));
    Obj assignments = call(unroll.ptr(), {forall.ptr(), data});
    Obj found;
    SignalPoll poll;
    for_each(assignments.ptr(), [&](PyObject* assignment) {
        if (found) return;
        poll.tick();
        Obj values = forall_values(forall.ptr(), assignment);
        Obj indices = getattr(data, N.indices.ptr());
        map_each(values.ptr(), [&](PyObject* name, PyObject* value) { bind_index(indices.ptr(), name, value); });
        Obj at = own(PyList_New(0));
        for_each(subscripts.ptr(), [&](PyObject* s) {
            Obj constant = getattr(call_method(s, N.substitute.ptr(), {registry.ptr(), data}).ptr(), N.constant.ptr());
            Obj index = PyLong_Check(constant.ptr()) ? constant : own(PyNumber_Long(constant.ptr()));
            if (PyList_Append(at.ptr(), index.ptr()) < 0) fail();
        });
        if (compare(own(PyList_AsTuple(at.ptr())).ptr(), key, Py_EQ)) found = values;
    });
    return found ? found : own(PyDict_New());
}

/// The fixed values of the caller and of the pinning constraints, merged (entries already
/// present win), and the constraints that pin nothing. `guard`, when given, checks the pinned
/// subscripts against the shapes.
Obj fixed_vars_from_pinning(PyObject* problem, PyObject* data, ShapeGuard* guard = nullptr) {
    Obj inputed = getattr(data, N.fixed_variables.ptr());
    Obj non_pinning = own(PyDict_New());
    Obj convert = getattr(pinning_module(), QTX_NAME("convert_to_fixed_vars"));
    Obj constraints = getattr(problem, N.constraints.ptr());
    map_each(constraints.ptr(), [&](PyObject* label, PyObject* constraint) {
        PyObject* fixed = PyObject_CallFunctionObjArgs(convert.ptr(), constraint, data, nullptr);
        if (!fixed) {
            // A pinning constraint fails like any other: name it, and the assignment it
            // failed at, which is the one bound last. Errors of the forall itself already
            // say "in forall: " and come before any assignment is complete: label only.
            Obj e = caught_substitute_error();
            bool in_forall = to_string(e.ptr()).rfind("in forall: ", 0) == 0;
            Obj bound = in_forall ? Obj() : bound_values(getattr(constraint, N.forall.ptr()).ptr(), data);
            raise_pinning_error(label, e.ptr(), bound.ptr());
        }
        Obj fixed_vars = nb::steal(fixed);
        if (fixed_vars.ptr() == Py_None) {
            dict_set(non_pinning.ptr(), label, constraint);
            return;
        }
        // a pinned subscript outside the variable's shape would fix a variable the model
        // never declared
        Obj key;
        try {
            if (guard) guard->check_fixed(fixed_vars.ptr(), key);
        } catch (PyErrSet&) {
            Obj e = caught_substitute_error();
            raise_pinning_error(label, e.ptr(), pinned_at(constraint, data, key.ptr()).ptr());
        }
        map_each(fixed_vars.ptr(), [&](PyObject* var_label, PyObject* values) {
            int has = PySequence_Contains(inputed.ptr(), var_label);
            if (has < 0) fail();
            if (has) call_method(values, QTX_NAME("update"), {item(inputed.ptr(), var_label).ptr()});
            if (PyObject_SetItem(inputed.ptr(), var_label, values) < 0) fail();
        });
    });
    return own(PyTuple_Pack(2, inputed.ptr(), non_pinning.ptr()));
}

Obj extract_deci_var(PyObject* expr) {
    Obj found = call_method(expr, N.extract.ptr(), {decision_variable_check().ptr()});
    check_result(found.ptr(), &PyList_Type);
    return found;
}

/// The decision variables of the problem by name; `extract` lists those of one tree.
template <class Extract>
Obj decision_variables(PyObject* problem, Extract&& extract) {
    Obj objective = getattr(problem, N.objective.ptr());
    Obj found = extract(objective.ptr());
    Obj constraints = getattr(problem, N.constraints.ptr());
    map_each(constraints.ptr(), [&](PyObject*, PyObject* constraint) {
        Obj condition = getattr(constraint, N.condition.ptr());
        Obj diff = own(PyNumber_Subtract(getattr(condition.ptr(), N.left.ptr()).ptr(),
                                         getattr(condition.ptr(), N.right.ptr()).ptr()));
        extend(found.ptr(), extract(diff.ptr()).ptr());
    });
    Obj penalties = getattr(problem, N.penalties.ptr());
    map_each(penalties.ptr(), [&](PyObject*, PyObject* penalty) {
        extend(found.ptr(), extract(getattr(penalty, N.expression.ptr()).ptr()).ptr());
    });
    Obj out = own(PyDict_New());
    for_each(found.ptr(), [&](PyObject* node) { dict_set(out.ptr(), getattr(node, N.name.ptr()).ptr(), node); });
    return out;
}

Obj get_ph_vars(PyObject* problem) {
    Obj cls = getattr(subs_expr(), QTX_NAME("Placeholder"));
    PyObject* extract_type = QTX_NAME("extract_type");
    Obj objective = getattr(problem, N.objective.ptr());
    Obj found = call_method(objective.ptr(), extract_type, {cls.ptr()});
    Obj constraints = getattr(problem, N.constraints.ptr());
    map_each(constraints.ptr(), [&](PyObject*, PyObject* constraint) {
        Obj condition = getattr(constraint, N.condition.ptr());
        Obj diff = own(PyNumber_Subtract(getattr(condition.ptr(), N.left.ptr()).ptr(),
                                         getattr(condition.ptr(), N.right.ptr()).ptr()));
        extend(found.ptr(), call_method(diff.ptr(), extract_type, {cls.ptr()}).ptr());
    });
    Obj penalties = getattr(problem, N.penalties.ptr());
    map_each(penalties.ptr(), [&](PyObject*, PyObject* penalty) {
        Obj expression = getattr(penalty, N.expression.ptr());
        extend(found.ptr(), call_method(expression.ptr(), extract_type, {cls.ptr()}).ptr());
    });
    check_result(found.ptr(), &PyList_Type);
    return found;
}

Obj eval_deci_var_shape(PyObject* problem, PyObject* data) {
    Obj deci_vars = decision_variables(problem, extract_deci_var);
    Obj out = own(PyDict_New());
    Obj registry = empty_registry();
    map_each(deci_vars.ptr(), [&](PyObject* label, PyObject* variable) {
        Obj dims = own(PyList_New(0));
        for_each(getattr(variable, N.shape.ptr()).ptr(), [&](PyObject* s) {
            Obj dim = ref(Py_None);
            if (s != Py_None) {
                Obj poly = call_method(s, N.substitute.ptr(), {registry.ptr(), data});
                if (map_size(getattr(poly.ptr(), N.coeff.ptr()).ptr()))
                    raise_substitute("Shapes must not contain decision variables.");
                dim = own(PyNumber_Long(getattr(poly.ptr(), N.constant.ptr()).ptr()));
            }
            if (PyList_Append(dims.ptr(), dim.ptr()) < 0) fail();
        });
        dict_set(out.ptr(), label, own(PyList_AsTuple(dims.ptr())).ptr());
    });
    return out;
}

/// Number of axes of a placeholder value as the instance data holds it: an array's ndim, one
/// per nesting level of (jagged) lists, 0 for a number.
long value_axes(PyObject* value) {
    check_stack("while reading nested lists of data");
    PyTypeObject* ndarray = numpy_type("ndarray");
    if (ndarray && PyObject_TypeCheck(value, ndarray)) {
        Obj nd = getattr(value, N.ndim.ptr());
        long n = PyLong_AsLong(nd.ptr());
        if (n == -1 && PyErr_Occurred()) fail();
        return n;
    }
    if (PyList_Check(value)) {
        long deepest = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i)
            deepest = std::max(deepest, value_axes(PyList_GET_ITEM(value, i)));
        return deepest + 1;
    }
    return 0;
}

/// Every placeholder the problem reads, wherever it stands: its expressions, the ranges and
/// conditions of the forall lists, and the shapes of the decision variables.
Obj mentioned_placeholders(PyObject* problem, PyObject* ph_vars) {
    Obj cls = getattr(subs_expr(), QTX_NAME("Placeholder"));
    PyObject* extract_type = QTX_NAME("extract_type");
    Obj found = own(PySequence_List(ph_vars));
    auto scan_forall = [&](PyObject*, PyObject* item) {
        for_each(getattr(item, N.forall.ptr()).ptr(), [&](PyObject* entry) {
            Obj element = own(PySequence_GetItem(entry, 0));
            Obj condition = own(PySequence_GetItem(entry, 1));
            extend(found.ptr(), call_method(element.ptr(), extract_type, {cls.ptr()}).ptr());
            extend(found.ptr(), call_method(condition.ptr(), N.extract_expr.ptr(), {placeholder_check().ptr()}).ptr());
        });
    };
    map_each(getattr(problem, N.constraints.ptr()).ptr(), scan_forall);
    map_each(getattr(problem, N.penalties.ptr()).ptr(), scan_forall);
    Obj deci_vars = decision_variables(problem, extract_deci_var);
    map_each(deci_vars.ptr(), [&](PyObject*, PyObject* variable) {
        for_each(getattr(variable, N.shape.ptr()).ptr(), [&](PyObject* s) {
            if (s != Py_None) extend(found.ptr(), call_method(s, extract_type, {cls.ptr()}).ptr());
        });
    });
    return found;
}

/// Checks up front that the data of every placeholder has as many axes as the model gives
/// it, so that mismatches are reported once and by name. Data that cannot be read at all (a
/// missing placeholder, a value of the wrong type) is left to the item that reads it, whose
/// error names the item.
void check_placeholders(PyObject* problem, PyObject* ph_vars, PyObject* data) {
    Obj nodes = mentioned_placeholders(problem, ph_vars);
    Obj empty = own(PyTuple_New(0));
    Obj axes_of = own(PyDict_New());
    for_each(nodes.ptr(), [&](PyObject* node) {
        Obj name = getattr(node, N.name.ptr());
        PyObject* known = dict_get(axes_of.ptr(), name.ptr());
        Obj axes;
        if (known) {
            axes = ref(known);
        } else {
            PyObject* value = PyObject_CallMethodObjArgs(data, N.get_value.ptr(), name.ptr(), empty.ptr(), nullptr);
            if (value) {
                Obj v = nb::steal(value);
                axes = own(PyLong_FromLong(value_axes(v.ptr())));
            } else {
                caught_substitute_error();
                axes = ref(Py_None);
            }
            dict_set(axes_of.ptr(), name.ptr(), axes.ptr());
        }
        if (axes.ptr() == Py_None) return;
        Obj ndim = getattr(node, N.ndim.ptr());
        if (!compare(ndim.ptr(), axes.ptr(), Py_EQ)) {
            std::string n = to_string(name.ptr()), d = to_string(ndim.ptr()), a = to_string(axes.ptr());
            auto axes_word = [](const std::string& k) { return k == "1" ? " axis" : " axes"; };
            raise_substitute("Placeholder `" + n + "` has ndim " + d + " in the model but its data has " + a +
                             axes_word(a) + ": its value in the instance must have " + d + axes_word(d) + ".");
        }
    });
}

/// The declared shapes to check registrations against while compiling, or null when they
/// cannot be evaluated yet: they are evaluated again at the end, where their errors belong.
Obj shapes_to_check(PyObject* problem, PyObject* data) {
    try {
        return eval_deci_var_shape(problem, data);
    } catch (PyErrSet&) {
        // model and data errors only: Ctrl-C and the like end the compilation
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Obj();
    }
}

/// Refuses anything but a modeling problem before the converter fails on a missing attribute.
void check_problem(PyObject* problem) {
    Obj cls = getattr(quillon_module(), QTX_NAME("Problem"));
    if (!is_instance(problem, cls.ptr()))
        raisef(PyExc_TypeError,
               "compile_model needs a quillon.Problem as `problem`, got %.200s: build the model with "
               "ql.Problem(...) and pass that problem.",
               type_name(problem));
}

bool is_number(PyObject* v) {
    if (PyLong_Check(v) || PyFloat_Check(v)) return true;
    Obj number = getattr(numbers_module(), QTX_NAME("Number"));
    if (is_instance(v, number.ptr())) return true;
    PyTypeObject* generic = numpy_type("generic");  // numpy.bool_ is no numbers.Number
    if (!generic || !PyObject_TypeCheck(v, generic)) return false;
    Obj kind = getattr(getattr(v, QTX_NAME("dtype")).ptr(), N.kind.ptr());
    return compare(kind.ptr(), str("b").ptr(), Py_EQ);
}

/// Checks the caller's fixed values: label -> {subscript tuple: number}. A wrong key would
/// never match a variable and leave it silently unfixed.
void check_fixed_variables(PyObject* fixed) {
    map_each(fixed, [&](PyObject* label, PyObject* values) {
        std::string at = "fixed_variables[" + to_string(own(PyObject_Repr(label)).ptr()) + "]";
        if (!PyUnicode_Check(label))
            raise(PyExc_TypeError, "fixed_variables has the label " + to_string(own(PyObject_Repr(label)).ptr()) +
                                       " (" + type_name(label) + "): its keys are decision-variable labels (str).");
        if (!PyDict_Check(values))
            raise(PyExc_TypeError, at + " is " + to_string(own(PyObject_Repr(values)).ptr()) + " (" +
                                       type_name(values) +
                                       "): give a dict from subscript tuples to values, such as {(0,): 1}, or "
                                       "{(): 1} for a variable without subscripts.");
        map_each(values, [&](PyObject* subs, PyObject* value) {
            std::string key = to_string(own(PyObject_Repr(subs)).ptr());
            if (!PyTuple_Check(subs))
                raise(PyExc_TypeError, at + " has the key " + key + " (" + type_name(subs) +
                                           "): subscripts are tuples of ints, such as (0,), or () for a variable "
                                           "without subscripts.");
            if (!is_number(value))
                raise(PyExc_TypeError, at + "[" + key + "] is " + to_string(own(PyObject_Repr(value)).ptr()) + " (" +
                                           type_name(value) + "): a fixed value must be a number.");
        });
    });
}

/// Tells `report` (None, or a callable taking (stage, item)) that an item is compiled.
void report_done(PyObject* report, PyObject* item) {
    if (report == Py_None) return;
    Obj stage = str("compile");
    call(report, {stage.ptr(), item});
}

/// The objective's polynomial in C++, substituted by the engine as its `substitute` would.
Obj native_objective(PyObject* tree, PyObject* var_map, PyObject* data, engine::KnownVariables* known) {
    engine::Planner planner;
    engine::Node* root = planner.plan(tree);
    engine::GcPause pause;
    engine::Engine e(var_map, data, known);
    Parts parts = parts_with_stats();  // the lowering reads what they gather
    Poly p = e.eval_parts(root, parts);
    return make_poly_capsule(std::move(p), std::move(parts));
}

/// compile_model, or with `native` the same compile whose polynomials stay in C++ (native
/// capsules in place of SubstitutedExpressions); `report` hears of every item compiled.
Obj compile_model(PyObject* problem, PyObject* instance, PyObject* fixed_variables, bool native = false,
                  PyObject* report = Py_None) {
    check_problem(problem);
    check_arg(instance, &PyDict_Type, "instance");
    if (fixed_variables != Py_None) check_arg(fixed_variables, &PyDict_Type, "fixed_variables");
    Obj fixed = fixed_variables == Py_None ? own(PyDict_New()) : ref(fixed_variables);
    check_fixed_variables(fixed.ptr());

    Obj convert = getattr(converter_module(), QTX_NAME("convert_problem_to_substutitable"));
    Obj problem_s = call(convert.ptr(), {problem});
    Obj ph_vars = get_ph_vars(problem_s.ptr());
    Obj ph_names = own(PyList_New(0));
    for_each(ph_vars.ptr(), [&](PyObject* ph) {
        if (PyList_Append(ph_names.ptr(), getattr(ph, N.name.ptr()).ptr()) < 0) fail();
    });

    Obj instance_data_cls = getattr(core_module(), QTX_NAME("InstanceData"));
    Obj indices = own(PyDict_New());
    Obj kw_indices = own(Py_BuildValue("(s)", "indices"));
    Obj data = call(instance_data_cls.ptr(), {instance, fixed.ptr(), ph_names.ptr(), indices.ptr()}, kw_indices.ptr());
    Obj vm = own(PyDict_New()), zero = small_int(0), ib = own(PyDict_New());
    Obj kw_registry = own(Py_BuildValue("(ss)", "var_num", "integer_bound"));
    Obj var_map = call(registry_class(), {vm.ptr(), zero.ptr(), ib.ptr()}, kw_registry.ptr());

    check_placeholders(problem_s.ptr(), ph_vars.ptr(), data.ptr());

    ShapeGuard guard(shapes_to_check(problem_s.ptr(), data.ptr()));
    engine::KnownVariables known;  // every item's engine finds the variables met before
    Obj pinned = fixed_vars_from_pinning(problem_s.ptr(), data.ptr(), &guard);
    setattr(data.ptr(), N.fixed_variables.ptr(), PyTuple_GET_ITEM(pinned.ptr(), 0));
    PyObject* non_pinning = PyTuple_GET_ITEM(pinned.ptr(), 1);

    Obj objective_tree = getattr(problem_s.ptr(), N.objective.ptr());
    PyObject* objective_poly = nullptr;
    if (native) {
        try {
            objective_poly = native_objective(objective_tree.ptr(), var_map.ptr(), data.ptr(), &known).release().ptr();
        } catch (PyErrSet&) {}
    } else {
        objective_poly =
            PyObject_CallMethodObjArgs(objective_tree.ptr(), N.substitute.ptr(), var_map.ptr(), data.ptr(), nullptr);
    }
    if (objective_poly) {
        try {
            guard.check(var_map.ptr());
        } catch (PyErrSet&) {
            Py_CLEAR(objective_poly);
        }
    }
    if (!objective_poly) {
        Obj e = caught_substitute_error();
        raise_in_except("In objective: " + to_string(e.ptr()), e.ptr(), false);
    }
    Obj objective = nb::steal(objective_poly);
    report_done(report, QTX_NAME("objective"));

    Obj constraint_expr = own(PyDict_New());
    map_each(non_pinning, [&](PyObject* label, PyObject* constraint) {
        dict_set(constraint_expr.ptr(), label,
                 constraint_substitute(constraint, data.ptr(), var_map.ptr(), &guard, native, &known).ptr());
        report_done(report, label);
    });

    // the substitutable penalties, in the order the model declares them
    Obj penalty_expr = own(PyDict_New());
    Obj penalties = getattr(problem_s.ptr(), N.penalties.ptr());
    for_each(getattr(problem, QTX_NAME("custom_penalty_terms")).ptr(), [&](PyObject* label) {
        Obj penalty = item(penalties.ptr(), label);
        dict_set(penalty_expr.ptr(), label,
                 penalty_substitute(penalty.ptr(), data.ptr(), var_map.ptr(), &guard, true, native, &known).ptr());
        report_done(report, label);
    });

    Obj sense = getattr(problem_s.ptr(), N.sense.ptr());
    Obj shapes = eval_deci_var_shape(problem_s.ptr(), data.ptr());
    Obj compiled_cls = getattr(compiled_model_module(), QTX_NAME("CompiledInstance"));
    Obj kw = own(Py_BuildValue("(ssssssss)", "sense", "objective", "constraint", "penalty", "var_map", "data",
                               "problem", "deci_var_shape"));
    return call(compiled_cls.ptr(),
                {sense.ptr(), objective.ptr(), constraint_expr.ptr(), penalty_expr.ptr(), var_map.ptr(), data.ptr(),
                 problem_s.ptr(), shapes.ptr()},
                kw.ptr());
}

Obj compile_model_fn(PyObject* const* a) { return compile_model(a[0], a[1], a[2]); }
Obj compile_native_fn(PyObject* const* a) { return compile_model(a[0], a[1], a[2], true, a[3]); }
Obj native_expression_fn(PyObject* const* a) {
    PolyCapsule* np = poly_capsule(a[0]);
    if (!np) raisef(PyExc_TypeError, "expected a polynomial of the native compile, not %.200s", type_name(a[0]));
    return native_expression(*np);
}
PolyCapsule* capsule_arg(PyObject* o) {
    PolyCapsule* np = poly_capsule(o);
    if (!np) raisef(PyExc_TypeError, "expected a polynomial of the native compile, not %.200s", type_name(o));
    return np;
}
/// The base of a penalty held as its square, unexpanded (a route keeps it to evaluate the
/// penalty later at a fraction of the expanded size); None for any other polynomial.
Obj native_square_base_fn(PyObject* const* a) {
    PolyCapsule* np = capsule_arg(a[0]);
    if (!np->squared) return ref(Py_None);
    Obj coeff = terms_dict(np->poly.terms);
    Obj cls = QTX_IMPORT("quillon_transpiler.core.substitute", "SubstitutedExpression");
    return call(cls.ptr(), {coeff.ptr(), np->poly.constant.py().ptr(), np->poly.order.py().ptr()});
}
/// The terms a polynomial holds as it is (its parts' too, a square's base's), merged or not.
Obj native_terms_fn(PyObject* const* a) {
    PolyCapsule* np = capsule_arg(a[0]);
    return integer((long long)(np->poly.terms.size() + np->parts.total()));
}
Obj fixed_vars_fn(PyObject* const* a) { return fixed_vars_from_pinning(a[0], a[1]); }
Obj constraint_fn(PyObject* const* a) { return constraint_substitute(a[0], a[1], a[2]); }
Obj penalty_fn(PyObject* const* a) { return penalty_substitute(a[0], a[1], a[2]); }
Obj shape_fn(PyObject* const* a) { return eval_deci_var_shape(a[0], a[1]); }
Obj extract_deci_var_fn(PyObject* const* a) { return extract_deci_var(a[0]); }
Obj decision_variables_fn(PyObject* const* a) {
    PyObject* extract = a[1];
    return decision_variables(a[0], [&](PyObject* expr) {
        Obj found = call(extract, {expr});
        check_result(found.ptr(), &PyList_Type);
        return found;
    });
}
Obj ph_vars_fn(PyObject* const* a) { return get_ph_vars(a[0]); }

PyMethodDef functions[] = {
    QTX_FN("_compile_model", 3, compile_model_fn),
    QTX_FN("_compile_native", 4, compile_native_fn),
    QTX_FN("_native_expression", 1, native_expression_fn),
    QTX_FN("_native_square_base", 1, native_square_base_fn),
    QTX_FN("_native_terms", 1, native_terms_fn),
    QTX_FN("_fixed_vars_from_pinning_constraint", 2, fixed_vars_fn),
    QTX_FN("_constraint_substitute", 3, constraint_fn),
    QTX_FN("_penalty_substitute", 3, penalty_fn),
    QTX_FN("_eval_deci_var_shape", 2, shape_fn),
    QTX_FN("_extract_deci_var", 1, extract_deci_var_fn),
    QTX_FN("_collect_decision_variables", 2, decision_variables_fn),
    QTX_FN("_placeholders", 1, ph_vars_fn),
    QTX_END,
};

}  // namespace

NB_MODULE(compile, m) { QTX_MODULE_INIT(m, functions) }
