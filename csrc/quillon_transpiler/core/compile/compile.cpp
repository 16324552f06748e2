// compile: the compile_model driver and its pipeline steps.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/names.hpp"
#include "qtx/plain.hpp"
#include "qtx/registry.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

using namespace qtx;

namespace {

const Names& N = names();

QTX_LAZY_MODULE(subs_expr, "quillon_transpiler.core.substitute.substitutable_expr")
QTX_LAZY_MODULE(core_module, "quillon_transpiler.core")
QTX_LAZY_MODULE(converter_module, "quillon_transpiler.core.compile.convert_to_substitutable")
QTX_LAZY_MODULE(compiled_model_module, "quillon_transpiler.core.compile.compiled_model")
QTX_LAZY_MODULE(pinning_module, "quillon_transpiler.core.compile.pinning_constraint")
QTX_LAZY_MODULE(unroll_module, "quillon_transpiler.core.compile.unroll_forall")

bool is_instance(PyObject* o, PyObject* cls) {
    int r = PyObject_IsInstance(o, cls);
    if (r < 0) fail();
    return r != 0;
}

PyObject* is_decision_variable(PyObject*, PyObject* node) noexcept {
    return guarded([&] {
        Obj cls = getattr(subs_expr(), QTX_NAME("DecisionVariable"));
        return ref(is_instance(node, cls.ptr()) ? Py_True : Py_False);
    });
}
PyObject* is_placeholder(PyObject*, PyObject* node) noexcept {
    return guarded([&] {
        Obj cls = getattr(subs_expr(), QTX_NAME("Placeholder"));
        return ref(is_instance(node, cls.ptr()) ? Py_True : Py_False);
    });
}
/// `extract` predicates as C functions: the scans visit every node of every tree.
PyObject* decision_variable_check() {
    static PyMethodDef def = {"is_decision_variable", (PyCFunction)is_decision_variable, METH_O, nullptr};
    static PyObject* fn = own(PyCFunction_New(&def, nullptr)).release().ptr();
    return fn;
}
PyObject* placeholder_check() {
    static PyMethodDef def = {"is_placeholder", (PyCFunction)is_placeholder, METH_O, nullptr};
    static PyObject* fn = own(PyCFunction_New(&def, nullptr)).release().ptr();
    return fn;
}

Obj method(PyObject* o, PyObject* name, std::initializer_list<PyObject*> args) {
    return call(getattr(o, name).ptr(), args);
}

/// Calls f(key, value) for every item of a mapping, in its order.
template <class F>
void each_item(PyObject* m, F&& f) {
    if (PyDict_CheckExact(m)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(m, &pos, &k, &v)) {
            Obj kk = ref(k), vv = ref(v);
            f(kk.ptr(), vv.ptr());
        }
        return;
    }
    Obj items = own(PyMapping_Items(m));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* p = PyList_GET_ITEM(items.ptr(), i);
        Obj k = own(PySequence_GetItem(p, 0)), v = own(PySequence_GetItem(p, 1));
        f(k.ptr(), v.ptr());
    }
}

/// Calls f(item) for every item of an iterable.
template <class F>
void each(PyObject* iterable, F&& f) {
    Obj it = own(PyObject_GetIter(iterable));
    for (;;) {
        PyObject* v = PyIter_Next(it.ptr());
        if (!v) break;
        Obj vv = nb::steal(v);
        f(vv.ptr());
    }
    if (PyErr_Occurred()) fail();
}

/// `acc.extend(more)`, with Python's errors for whatever `acc` and `more` turn out to be.
void extend(PyObject* acc, PyObject* more) { method(acc, QTX_NAME("extend"), {more}); }


/// Raises SubstituteError(msg) as a `raise` inside the `except` that caught `caught` would:
/// `caught` becomes the context, and the cause too when `chained` (`raise ... from`).
[[noreturn]] void raise_in_except(const std::string& msg, PyObject* caught, bool chained) {
    Obj err = call(substitute_error(), {str(msg).ptr()});
    Py_INCREF(caught);
    PyException_SetContext(err.ptr(), caught);
    if (chained) {
        Py_INCREF(caught);
        PyException_SetCause(err.ptr(), caught);
    }
    PyObject* type = (PyObject*)Py_TYPE(err.ptr());
    Py_INCREF(type);
    PyErr_Restore(type, err.release().ptr(), nullptr);
    fail();
}

/// The pending SubstituteError, or rethrows when another error is pending.
Obj caught_substitute_error() {
    // the class may be imported on first use, which must not run with an error pending
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* cls = substitute_error();
    PyErr_Restore(type, value, tb);
    Obj e = catch_error(cls);
    if (!e) throw PyErrSet{};
    return e;
}

Obj element_name(PyObject* forall_entry) {
    Obj element = own(PySequence_GetItem(forall_entry, 0));
    return getattr(element.ptr(), N.name.ptr());
}

/// {element name: value} over the forall entries zipped with an assignment.
Obj forall_values(PyObject* forall, PyObject* assignment) {
    Obj values = own(PyDict_New());
    Obj entries = own(PyObject_GetIter(forall)), its = own(PyObject_GetIter(assignment));
    for (;;) {
        PyObject* e = PyIter_Next(entries.ptr());
        if (!e) break;
        Obj entry = nb::steal(e);
        PyObject* v = PyIter_Next(its.ptr());
        if (!v) break;
        Obj value = nb::steal(v);
        dict_set(values.ptr(), element_name(entry.ptr()).ptr(), value.ptr());
    }
    if (PyErr_Occurred()) fail();
    return values;
}

/// "forall={'i': 1, 'j': 0}", or "" for no values.
std::string forall_text(PyObject* values) {
    return PyDict_GET_SIZE(values) ? "forall=" + to_string(values) : std::string();
}

void check_shapes(PyObject* var_map);

/// Instantiates a node once per assignment of `forall`; `kind` names the item in errors
/// ("constraint" or "penalty"). `make` builds the node, on the first assignment. Errors of
/// the forall itself get the item's name only when `name_forall_errors` is set.
template <class Make>
Obj substitute_each(const char* kind, PyObject* label, PyObject* forall, PyObject* data, PyObject* var_map,
                    Make&& make, bool name_forall_errors = false) {
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
    each(forall, [&](PyObject* entry) {
        if (PyList_Append(names_list.ptr(), element_name(entry).ptr()) < 0) fail();
    });
    Py_ssize_t levels = PyList_GET_SIZE(names_list.ptr());
    // One node, read once into a plan, serves every assignment: substituting reads a node and
    // never changes it, and building it per assignment would cost more than many
    // substitutions do. The plan asks nodes it does not know through their `substitute`.
    Obj node;
    engine::Planner planner;
    engine::Node* root = nullptr;
    each(assignments.ptr(), [&](PyObject* assignment) {
        Obj values = own(PySequence_Fast(assignment, "assignment must be a sequence"));
        Py_ssize_t n = std::min(levels, PySequence_Fast_GET_SIZE(values.ptr()));
        if (n) {
            Obj indices = getattr(data, N.indices.ptr());
            for (Py_ssize_t k = 0; k < n; ++k)
                bind_index(indices.ptr(), PyList_GET_ITEM(names_list.ptr(), k), PySequence_Fast_GET_ITEM(values.ptr(), k));
        }
        if (!root) {
            node = make();
            root = planner.plan(node.ptr());
        }
        PyObject* poly = nullptr;
        try {
            engine::GcPause pause;
            engine::Engine e(var_map, data);
            poly = e.result(e.eval(root)).release().ptr();
        } catch (PyErrSet&) {
        }
        if (!poly) {
            Obj e = caught_substitute_error();
            raise_in_except(std::string("In ") + kind + " `" + to_string(label) + "` " +
                                forall_text(forall_values(forall, assignment).ptr()) + ": " + to_string(e.ptr()),
                            e.ptr(), true);
        }
        Obj result = nb::steal(poly);
        try {
            check_shapes(var_map);
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

Obj constraint_substitute(PyObject* constraint, PyObject* data, PyObject* var_map) {
    Obj label = getattr(constraint, N.name.ptr());
    try {
        Obj forall = getattr(constraint, N.forall.ptr());
        Obj condition = getattr(constraint, N.condition.ptr());
        return substitute_each("constraint", label.ptr(), forall.ptr(), data, var_map, [&] {
            Obj left = getattr(condition.ptr(), N.left.ptr());
            Obj right = getattr(condition.ptr(), N.right.ptr());
            return own(PyNumber_Subtract(left.ptr(), right.ptr()));
        });
    } catch (PyErrSet&) {
        Obj e = caught_substitute_error();
        raise_in_except("In constraint `" + to_string(label.ptr()) + "`: " + to_string(e.ptr()), e.ptr(), false);
    }
}

/// `name_forall_errors`: set by compile_model, where every error names its item; the step
/// function on its own lets the errors of the forall through unchanged.
Obj penalty_substitute(PyObject* penalty, PyObject* data, PyObject* var_map, bool name_forall_errors = false) {
    Obj label = getattr(penalty, N.name.ptr());
    Obj forall = getattr(penalty, N.forall.ptr());
    Obj expression = getattr(penalty, N.expression.ptr());
    return substitute_each(
        "penalty", label.ptr(), forall.ptr(), data, var_map, [&] { return expression; }, name_forall_errors);
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
        each(forall, [&](PyObject* entry) {
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
    each(assignments.ptr(), [&](PyObject* assignment) {
        if (found) return;
        Obj values = forall_values(forall.ptr(), assignment);
        Obj indices = getattr(data, N.indices.ptr());
        each_item(values.ptr(), [&](PyObject* name, PyObject* value) { bind_index(indices.ptr(), name, value); });
        Obj at = own(PyList_New(0));
        each(subscripts.ptr(), [&](PyObject* s) {
            Obj constant = getattr(method(s, N.substitute.ptr(), {registry.ptr(), data}).ptr(), N.constant.ptr());
            Obj index = PyLong_Check(constant.ptr()) ? constant : own(PyNumber_Long(constant.ptr()));
            if (PyList_Append(at.ptr(), index.ptr()) < 0) fail();
        });
        if (compare(own(PyList_AsTuple(at.ptr())).ptr(), key, Py_EQ)) found = values;
    });
    return found ? found : own(PyDict_New());
}

void check_pinned(PyObject* fixed_vars, Obj& key);

/// The fixed values of the caller and of the pinning constraints, merged (entries already
/// present win), and the constraints that pin nothing.
Obj fixed_vars_from_pinning(PyObject* problem, PyObject* data) {
    Obj inputed = getattr(data, N.fixed_variables.ptr());
    Obj non_pinning = own(PyDict_New());
    Obj convert = getattr(pinning_module(), QTX_NAME("convert_to_fixed_vars"));
    Obj constraints = getattr(problem, N.constraints.ptr());
    each_item(constraints.ptr(), [&](PyObject* label, PyObject* constraint) {
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
            check_pinned(fixed_vars.ptr(), key);
        } catch (PyErrSet&) {
            Obj e = caught_substitute_error();
            raise_pinning_error(label, e.ptr(), pinned_at(constraint, data, key.ptr()).ptr());
        }
        each_item(fixed_vars.ptr(), [&](PyObject* var_label, PyObject* values) {
            int has = PySequence_Contains(inputed.ptr(), var_label);
            if (has < 0) fail();
            if (has) method(values, QTX_NAME("update"), {item(inputed.ptr(), var_label).ptr()});
            if (PyObject_SetItem(inputed.ptr(), var_label, values) < 0) fail();
        });
    });
    return own(PyTuple_Pack(2, inputed.ptr(), non_pinning.ptr()));
}

Obj extract_deci_var(PyObject* expr) {
    Obj found = method(expr, N.extract.ptr(), {decision_variable_check()});
    check_result(found.ptr(), &PyList_Type);
    return found;
}

/// The decision variables of the problem by name; `extract` lists those of one tree.
template <class Extract>
Obj decision_variables(PyObject* problem, Extract&& extract) {
    Obj objective = getattr(problem, N.objective.ptr());
    Obj found = extract(objective.ptr());
    Obj constraints = getattr(problem, N.constraints.ptr());
    each_item(constraints.ptr(), [&](PyObject*, PyObject* constraint) {
        Obj condition = getattr(constraint, N.condition.ptr());
        Obj diff = own(PyNumber_Subtract(getattr(condition.ptr(), N.left.ptr()).ptr(),
                                         getattr(condition.ptr(), N.right.ptr()).ptr()));
        extend(found.ptr(), extract(diff.ptr()).ptr());
    });
    Obj penalties = getattr(problem, N.penalties.ptr());
    each_item(penalties.ptr(), [&](PyObject*, PyObject* penalty) {
        extend(found.ptr(), extract(getattr(penalty, N.expression.ptr()).ptr()).ptr());
    });
    Obj out = own(PyDict_New());
    each(found.ptr(), [&](PyObject* node) { dict_set(out.ptr(), getattr(node, N.name.ptr()).ptr(), node); });
    return out;
}

Obj get_ph_vars(PyObject* problem) {
    Obj cls = getattr(subs_expr(), QTX_NAME("Placeholder"));
    PyObject* extract_type = QTX_NAME("extract_type");
    Obj objective = getattr(problem, N.objective.ptr());
    Obj found = method(objective.ptr(), extract_type, {cls.ptr()});
    Obj constraints = getattr(problem, N.constraints.ptr());
    each_item(constraints.ptr(), [&](PyObject*, PyObject* constraint) {
        Obj condition = getattr(constraint, N.condition.ptr());
        Obj diff = own(PyNumber_Subtract(getattr(condition.ptr(), N.left.ptr()).ptr(),
                                         getattr(condition.ptr(), N.right.ptr()).ptr()));
        extend(found.ptr(), method(diff.ptr(), extract_type, {cls.ptr()}).ptr());
    });
    Obj penalties = getattr(problem, N.penalties.ptr());
    each_item(penalties.ptr(), [&](PyObject*, PyObject* penalty) {
        Obj expression = getattr(penalty, N.expression.ptr());
        extend(found.ptr(), method(expression.ptr(), extract_type, {cls.ptr()}).ptr());
    });
    check_result(found.ptr(), &PyList_Type);
    return found;
}

Obj eval_deci_var_shape(PyObject* problem, PyObject* data) {
    Obj deci_vars = decision_variables(problem, extract_deci_var);
    Obj out = own(PyDict_New());
    Obj registry = empty_registry();
    each_item(deci_vars.ptr(), [&](PyObject* label, PyObject* variable) {
        Obj dims = own(PyList_New(0));
        each(getattr(variable, N.shape.ptr()).ptr(), [&](PyObject* s) {
            Obj dim = ref(Py_None);
            if (s != Py_None) {
                Obj poly = method(s, N.substitute.ptr(), {registry.ptr(), data});
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
        each(getattr(item, N.forall.ptr()).ptr(), [&](PyObject* entry) {
            Obj element = own(PySequence_GetItem(entry, 0));
            Obj condition = own(PySequence_GetItem(entry, 1));
            extend(found.ptr(), method(element.ptr(), extract_type, {cls.ptr()}).ptr());
            extend(found.ptr(), method(condition.ptr(), N.extract_expr.ptr(), {placeholder_check()}).ptr());
        });
    };
    each_item(getattr(problem, N.constraints.ptr()).ptr(), scan_forall);
    each_item(getattr(problem, N.penalties.ptr()).ptr(), scan_forall);
    Obj deci_vars = decision_variables(problem, extract_deci_var);
    each_item(deci_vars.ptr(), [&](PyObject*, PyObject* variable) {
        each(getattr(variable, N.shape.ptr()).ptr(), [&](PyObject* s) {
            if (s != Py_None) extend(found.ptr(), method(s, extract_type, {cls.ptr()}).ptr());
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
    each(nodes.ptr(), [&](PyObject* node) {
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


/// Checks the decision variables that substitution registers against their declared shapes,
/// so that x[t + 1] past the last column is an error instead of a silent extra variable.
/// Active only inside compile_model; only newly registered variables are looked at.
class ShapeGuard {
public:
    ShapeGuard(PyObject* problem, PyObject* data) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        try {
            shapes_ = eval_deci_var_shape(problem, data);
        } catch (PyErrSet&) {
            // the shapes are evaluated again at the end, where their errors belong
            PyErr_Clear();
        }
        PyErr_Restore(t, v, tb);
        if (shapes_) active() = this;
    }
    ~ShapeGuard() {
        if (active() == this) active() = nullptr;
    }
    ShapeGuard(const ShapeGuard&) = delete;
    ShapeGuard& operator=(const ShapeGuard&) = delete;

    static ShapeGuard*& active() {
        static ShapeGuard* guard = nullptr;
        return guard;
    }

    /// Raises SubstituteError for a variable registered outside its shape.
    void check(PyObject* var_map) {
        Obj num = getattr(var_map, N.var_num.ptr());
        if (num_ && compare(num.ptr(), num_.ptr(), Py_EQ)) return;
        num_ = num;
        Obj vm = getattr(var_map, N.var_map.ptr());
        each_item(vm.ptr(), [&](PyObject* label, PyObject* inner) {
            PyObject* shape = PyDict_CheckExact(shapes_.ptr()) ? dict_get(shapes_.ptr(), label) : nullptr;
            if (!shape || !PyTuple_Check(shape) || !PyDict_CheckExact(inner)) return;
            Py_ssize_t& done = checked_[label];
            Py_ssize_t size = PyDict_GET_SIZE(inner);
            if (size <= done) return;
            // registrations only append: the new ones are the last entries, read from the end
            static PyObject* reversed = import_attr("builtins", "reversed").release().ptr();
            Obj keys = own(PyObject_CallFunctionObjArgs(reversed, inner, nullptr));
            for (Py_ssize_t k = done; k < size; ++k) {
                Obj subs = own(PyIter_Next(keys.ptr()));
                check_one(label, subs.ptr(), shape);
            }
            done = size;
        });
    }

    /// Raises SubstituteError for fixed values outside the shape; `key` receives the
    /// subscripts checked last.
    void check_fixed(PyObject* fixed_vars, Obj& key) {
        each_item(fixed_vars, [&](PyObject* label, PyObject* values) {
            PyObject* shape = PyDict_CheckExact(shapes_.ptr()) ? dict_get(shapes_.ptr(), label) : nullptr;
            if (!shape || !PyTuple_Check(shape)) return;
            each_item(values, [&](PyObject* subs, PyObject*) {
                key = ref(subs);
                check_one(label, subs, shape);
            });
        });
    }

private:
    static void check_one(PyObject* label, PyObject* subs, PyObject* shape) {
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
                inside = !compare(at, zero.ptr(), Py_LT) && !compare(at, dim, Py_GE);
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

/// Checks new variables when compile_model is running.
void check_shapes(PyObject* var_map) {
    if (ShapeGuard* g = ShapeGuard::active()) g->check(var_map);
}

/// Checks pinned subscripts when compile_model is running.
void check_pinned(PyObject* fixed_vars, Obj& key) {
    if (ShapeGuard* g = ShapeGuard::active()) g->check_fixed(fixed_vars, key);
}

Obj compile_model(PyObject* problem, PyObject* instance, PyObject* fixed_variables) {
    check_arg(instance, &PyDict_Type, "instance");
    if (fixed_variables != Py_None) check_arg(fixed_variables, &PyDict_Type, "fixed_variables");
    Obj fixed = fixed_variables == Py_None ? own(PyDict_New()) : ref(fixed_variables);

    Obj convert = getattr(converter_module(), QTX_NAME("convert_problem_to_substutitable"));
    Obj problem_s = call(convert.ptr(), {problem});
    Obj ph_vars = get_ph_vars(problem_s.ptr());
    Obj ph_names = own(PyList_New(0));
    each(ph_vars.ptr(), [&](PyObject* ph) {
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

    ShapeGuard guard(problem_s.ptr(), data.ptr());
    Obj pinned = fixed_vars_from_pinning(problem_s.ptr(), data.ptr());
    setattr(data.ptr(), N.fixed_variables.ptr(), PyTuple_GET_ITEM(pinned.ptr(), 0));
    PyObject* non_pinning = PyTuple_GET_ITEM(pinned.ptr(), 1);

    Obj objective_tree = getattr(problem_s.ptr(), N.objective.ptr());
    PyObject* objective_poly =
        PyObject_CallMethodObjArgs(objective_tree.ptr(), N.substitute.ptr(), var_map.ptr(), data.ptr(), nullptr);
    if (objective_poly) {
        try {
            check_shapes(var_map.ptr());
        } catch (PyErrSet&) {
            Py_CLEAR(objective_poly);
        }
    }
    if (!objective_poly) {
        Obj e = caught_substitute_error();
        raise_in_except("In objective: " + to_string(e.ptr()), e.ptr(), false);
    }
    Obj objective = nb::steal(objective_poly);

    Obj constraint_expr = own(PyDict_New());
    each_item(non_pinning, [&](PyObject* label, PyObject* constraint) {
        dict_set(constraint_expr.ptr(), label, constraint_substitute(constraint, data.ptr(), var_map.ptr()).ptr());
    });

    // the substitutable penalties, in the order the model declares them
    Obj penalty_expr = own(PyDict_New());
    Obj penalties = getattr(problem_s.ptr(), N.penalties.ptr());
    each(getattr(problem, QTX_NAME("custom_penalty_terms")).ptr(), [&](PyObject* label) {
        Obj penalty = item(penalties.ptr(), label);
        dict_set(penalty_expr.ptr(), label, penalty_substitute(penalty.ptr(), data.ptr(), var_map.ptr(), true).ptr());
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
