// decode: solver samples by variable index to quillon records by label and subscripts.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/plain.hpp"
#include "qtx/maps.hpp"

#include <vector>

using namespace qtx;

namespace {

const Names& N = names();

using Pair = std::pair<Obj, Obj>;

/// What one label contributes to every sample: its registered elements (subscripts, variable
/// index), its non-zero fixed elements (subscripts, value) and its number of axes. The
/// registry and the fixed values are read once, not once per sample.
struct LabelPlan {
    Obj label;
    bool registered;
    std::vector<Pair> elements;
    std::vector<Pair> fixed;
    Py_ssize_t ndim = -1;  // -1 while the label has no element at all
    Obj inferred;          // shape of an unregistered label: one past the largest subscript per axis
    Obj shape;
    Obj solutions = own(PyList_New(0));
};

std::string repr(PyObject* o) { return to_string(own(PyObject_Repr(o)).ptr()); }

/// The subscripts as a tuple of the same entries, checked against the label's axes.
Obj subscripts_of(LabelPlan& plan, PyObject* subs, bool fixed) {
    if (!PyTuple_Check(subs) && !PyList_Check(subs)) {
        std::string what = fixed ? "a fixed value of" : "an element of";
        raise(PyExc_TypeError, what + " decision variable `" + to_string(plan.label.ptr()) + "` is keyed by " +
                                   repr(subs) +
                                   ", not by a tuple of subscripts; key it by one subscript per axis, "
                                   "e.g. (0,)");
    }
    Obj t = PyTuple_CheckExact(subs) ? ref(subs) : own(PySequence_Tuple(subs));
    Py_ssize_t n = PyTuple_GET_SIZE(t.ptr());
    if (plan.ndim < 0) {
        plan.ndim = n;
    } else if (n != plan.ndim) {
        std::string what = fixed ? "the fixed value at " : "the element at ";
        raise(PyExc_ValueError, "decision variable `" + to_string(plan.label.ptr()) + "`: " + what + repr(t.ptr()) +
                                    " has " + std::to_string(n) + " subscript(s) where its other elements have " +
                                    std::to_string(plan.ndim) + "; give every element one subscript per axis");
    }
    return t;
}

/// Widens `inferred` to one past each subscript of `subs`.
void widen(LabelPlan& plan, PyObject* subs) {
    Py_ssize_t n = PyTuple_GET_SIZE(subs);
    if (!plan.inferred) plan.inferred = own(PyList_New(0));
    PyObject* dims = plan.inferred.ptr();
    for (Py_ssize_t d = 0; d < n; ++d) {
        Obj next = own(PyNumber_Add(plain(PyTuple_GET_ITEM(subs, d)).ptr(), small_int(1).ptr()));
        if (d >= PyList_GET_SIZE(dims)) {
            if (PyList_Append(dims, next.ptr()) < 0) fail();
        } else if (compare(next.ptr(), PyList_GET_ITEM(dims, d), Py_GT)) {
            if (PyList_SetItem(dims, d, next.release().ptr()) < 0) fail();
        }
    }
}

/// `deci_var_shape[label]` with None as 0; an unregistered label without an entry gets the
/// shape its fixed subscripts span.
Obj shape_of(const LabelPlan& plan, PyObject* shapes) {
    Obj declared = map_find(shapes, plan.label.ptr());
    if (!declared) {
        if (!plan.registered) return own(PyList_AsTuple(plan.inferred.ptr()));
        raise_key_error("decision variable `" + to_string(plan.label.ptr()) +
                        "` has no entry in the compiled instance's deci_var_shape; decode with the "
                        "compiled instance whose registry holds it");
    }
    Obj entries = own(PySequence_Tuple(declared.ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(entries.ptr());
    Obj shape = own(PyTuple_New(n));
    for (Py_ssize_t d = 0; d < n; ++d) {
        PyObject* s = PyTuple_GET_ITEM(entries.ptr(), d);
        Obj v = s == Py_None ? small_int(0) : ref(s);
        PyTuple_SET_ITEM(shape.ptr(), d, v.release().ptr());
    }
    return shape;
}

/// `sample.get(index, 0.0)`.
Obj sample_value(PyObject* sample, PyObject* index) {
    if (PyDict_CheckExact(sample)) {
        PyObject* v = dict_get(sample, index);
        return v ? ref(v) : Obj();
    }
    Obj zero = float_zero();
    return own(PyObject_CallMethodObjArgs(sample, QTX_NAME("get"), index, zero.ptr(), nullptr));
}

void append(PyObject* list, PyObject* v) {
    if (PyList_Append(list, v) < 0) fail();
}

void record_element(PyObject* axes, PyObject* values, PyObject* subs, PyObject* value) {
    for (Py_ssize_t d = 0, n = PyTuple_GET_SIZE(subs); d < n; ++d)
        append(PyTuple_GET_ITEM(axes, d), PyTuple_GET_ITEM(subs, d));
    append(values, value);
}

/// The record of `results` (samples by variable index) over the registry's labels
/// (label -> subscripts -> index), the fixed values (label -> subscripts -> value) and the
/// shapes (label -> shape), which `shapes()` gives once a sample has come.
template <class Shapes>
Obj record_of(PyObject* results, PyObject* registry, PyObject* fixed_variables, Shapes&& shapes_of) {
    std::vector<LabelPlan> plans;
    Obj position = own(PyDict_New());  // label -> its plan's position
    map_each(registry, [&](PyObject* label, PyObject* by_subscripts) {
        dict_set(position.ptr(), label, ssize((Py_ssize_t)plans.size()).ptr());
        plans.emplace_back();
        LabelPlan& plan = plans.back();
        plan.label = ref(label);
        plan.registered = true;
        map_each(by_subscripts, [&](PyObject* subs, PyObject* index) {
            plan.elements.emplace_back(subscripts_of(plan, subs, false), ref(index));
        });
    });
    map_each(fixed_variables, [&](PyObject* label, PyObject* fixed) {
        PyObject* at = dict_get(position.ptr(), label);
        size_t k;
        if (at) {
            k = (size_t)PyLong_AsSsize_t(at);
        } else {
            // every element of this label is fixed: it is reported after the registry's labels
            if (map_size(fixed) == 0) return;
            k = plans.size();
            dict_set(position.ptr(), label, ssize((Py_ssize_t)k).ptr());
            plans.emplace_back();
            plans.back().label = ref(label);
            plans.back().registered = false;
        }
        map_each(fixed, [&](PyObject* subs, PyObject* value) {
            LabelPlan& plan = plans[k];
            Obj t = subscripts_of(plan, subs, true);
            if (!plan.registered) widen(plan, t.ptr());
            if (nonzero(value)) plan.fixed.emplace_back(t, ref(value));
        });
    });

    Obj shapes;
    Py_ssize_t samples = 0;
    for_each(results, [&](PyObject* sample) {
        if (samples++ == 0) {
            shapes = shapes_of();
            for (LabelPlan& plan : plans) {
                plan.shape = shape_of(plan, shapes.ptr());
                // a label without any element takes its axes from its shape
                if (plan.ndim < 0) plan.ndim = PyTuple_GET_SIZE(plan.shape.ptr());
            }
        }
        for (LabelPlan& plan : plans) {
            Obj axes = own(PyTuple_New(plan.ndim));
            for (Py_ssize_t d = 0; d < plan.ndim; ++d)
                PyTuple_SET_ITEM(axes.ptr(), d, own(PyList_New(0)).release().ptr());
            Obj values = own(PyList_New(0));
            for (const Pair& e : plan.elements) {
                Obj v = sample_value(sample, e.second.ptr());
                if (v && nonzero(v.ptr())) record_element(axes.ptr(), values.ptr(), e.first.ptr(), v.ptr());
            }
            for (const Pair& f : plan.fixed) record_element(axes.ptr(), values.ptr(), f.first.ptr(), f.second.ptr());
            Obj sparse = own(PyTuple_Pack(3, axes.ptr(), values.ptr(), plan.shape.ptr()));
            append(plan.solutions.ptr(), sparse.ptr());
        }
    });

    Obj solution = own(PyDict_New());
    for (const LabelPlan& plan : plans) dict_set(solution.ptr(), plan.label.ptr(), plan.solutions.ptr());
    Obj occurrences = own(PyList_New(samples));
    for (Py_ssize_t s = 0; s < samples; ++s) PyList_SET_ITEM(occurrences.ptr(), s, small_int(1).release().ptr());
    Obj record = QTX_IMPORT("quillon", "Record");
    return call(record.ptr(), {solution.ptr(), occurrences.ptr()}, kwnames({"solution", "num_occurrences"}).ptr());
}

Obj dict_to_record(PyObject* const* a) {
    PyObject* compiled = a[1];
    Obj registry = getattr(getattr(compiled, N.var_map.ptr()).ptr(), N.var_map.ptr());
    Obj fixed = getattr(getattr(compiled, QTX_NAME("data")).ptr(), N.fixed_variables.ptr());
    return record_of(a[0], registry.ptr(), fixed.ptr(), [&] { return getattr(compiled, QTX_NAME("deci_var_shape")); });
}

/// _record(results, registry, fixed_variables, shapes): dict_to_record with its three maps
/// given, for decoders that keep their own copy of the fixed values.
Obj record(PyObject* const* a) {
    return record_of(a[0], a[1], a[2], [&] { return ref(a[3]); });
}

PyMethodDef functions[] = {
    QTX_FN("_dict_to_record", 2, dict_to_record),
    QTX_FN("_record", 4, record),
    QTX_END,
};

}  // namespace

NB_MODULE(decode, m) { QTX_MODULE_INIT(m, functions) }
