// decode: solver samples by variable index to quillon records by label and subscripts.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/plain.hpp"
#include "qtx/maps.hpp"
#include "qtx/sparse_record.hpp"

#include <vector>

namespace qtx::decode {

/// What one label contributes to every sample: its registered elements (subscripts, variable
/// index), its non-zero fixed elements (subscripts, value) and its number of axes. The
/// registry and the fixed values are read once, not once per sample.
struct LabelPlan {
    nb::object label;
    bool registered;
    std::vector<std::pair<nb::tuple, nb::object>> elements, fixed;
    Py_ssize_t ndim = -1;  // -1 while the label has no element at all
    nb::list inferred;     // shape of an unregistered label: one past the largest subscript per axis
};

std::string repr_of(nb::handle o) { return to_string(nb::repr(o).ptr()); }

/// The subscripts as a tuple of the same entries, checked against the label's axes.
nb::tuple subscripts_of(LabelPlan& plan, nb::handle subscripts, bool fixed) {
    if (!nb::isinstance<nb::tuple>(subscripts) && !nb::isinstance<nb::list>(subscripts)) {
        std::string what = fixed ? "a fixed value of" : "an element of";
        raise(PyExc_TypeError, what + " decision variable `" + to_string(plan.label.ptr()) + "` is keyed by " +
                                   repr_of(subscripts) +
                                   ", not by a tuple of subscripts; key it by one subscript per axis, "
                                   "e.g. (0,)");
    }
    nb::tuple t = PyTuple_CheckExact(subscripts.ptr()) ? nb::borrow<nb::tuple>(subscripts) : nb::tuple(subscripts);
    Py_ssize_t n = (Py_ssize_t)t.size();
    if (plan.ndim < 0) {
        plan.ndim = n;
    } else if (n != plan.ndim) {
        std::string what = fixed ? "the fixed value at " : "the element at ";
        raise(PyExc_ValueError, "decision variable `" + to_string(plan.label.ptr()) + "`: " + what + repr_of(t) +
                                    " has " + std::to_string(n) + " subscript(s) where its other elements have " +
                                    std::to_string(plan.ndim) + "; give every element one subscript per axis");
    }
    return t;
}

/// Widens an unregistered label's inferred shape to one past each of the subscripts.
void widen(LabelPlan& plan, const nb::tuple& subscripts) {
    for (size_t d = 0; d < subscripts.size(); ++d) {
        nb::object next = plain(subscripts[d].ptr()) + nb::int_(1);
        if (d >= plan.inferred.size())
            plan.inferred.append(next);
        else if (next > plan.inferred[d])
            plan.inferred[d] = next;
    }
}

/// `deci_var_shape[label]` with None as 0; an unregistered label without an entry gets the
/// shape its fixed subscripts span.
nb::tuple shape_of(const LabelPlan& plan, nb::handle shapes) {
    nb::object declared = map_find(shapes.ptr(), plan.label.ptr());
    if (!declared) {
        if (!plan.registered) return nb::tuple(plan.inferred);
        raise_key_error("decision variable `" + to_string(plan.label.ptr()) +
                        "` has no entry in the compiled instance's deci_var_shape; decode with the "
                        "compiled instance whose registry holds it");
    }
    nb::list shape;
    for (nb::handle size : nb::tuple(declared)) shape.append(size.is_none() ? nb::int_(0) : nb::borrow(size));
    return nb::tuple(shape);
}

/// `sample.get(index, 0.0)`, null for an index a dict lacks. Runs per sample and element.
Obj sample_value(PyObject* sample, PyObject* index) {
    if (PyDict_CheckExact(sample)) {
        PyObject* v = dict_get(sample, index);
        return v ? ref(v) : Obj();
    }
    Obj zero = float_zero();
    return own(PyObject_CallMethodObjArgs(sample, QTX_NAME("get"), index, zero.ptr(), nullptr));
}

/// The record of `results` (samples by variable index) over the registry's labels
/// (label -> subscripts -> index), the fixed values (label -> subscripts -> value) and the
/// shapes (label -> shape), which `shapes_of()` gives once a sample has come.
template <class Shapes>
nb::object record_of(nb::handle results, nb::handle registry, nb::handle fixed_variables, Shapes&& shapes_of) {
    std::vector<LabelPlan> plans;
    nb::dict position;  // label -> its plan's position
    map_each(registry.ptr(), [&](PyObject* label, PyObject* by_subscripts) {
        position[label] = plans.size();
        LabelPlan& plan = plans.emplace_back();
        plan.label = nb::borrow(label);
        plan.registered = true;
        map_each(by_subscripts, [&](PyObject* subscripts, PyObject* index) {
            plan.elements.emplace_back(subscripts_of(plan, subscripts, false), nb::borrow(index));
        });
    });
    map_each(fixed_variables.ptr(), [&](PyObject* label, PyObject* fixed) {
        size_t k;
        if (PyObject* at = dict_get(position.ptr(), label)) {
            k = (size_t)PyLong_AsSsize_t(at);
        } else {
            // every element of this label is fixed: it is reported after the registry's labels
            if (map_size(fixed) == 0) return;
            k = plans.size();
            position[label] = k;
            LabelPlan& plan = plans.emplace_back();
            plan.label = nb::borrow(label);
            plan.registered = false;
        }
        map_each(fixed, [&](PyObject* subscripts, PyObject* value) {
            LabelPlan& plan = plans[k];
            nb::tuple t = subscripts_of(plan, subscripts, true);
            if (!plan.registered) widen(plan, t);
            if (nonzero(value)) plan.fixed.emplace_back(t, nb::borrow(value));
        });
    });

    SparseRecord record;
    for (const LabelPlan& plan : plans) record.add_label(plan.label);
    for (nb::handle sample : results) {
        if (record.samples() == 0) {
            nb::object shapes = shapes_of();
            for (size_t k = 0; k < plans.size(); ++k) {
                nb::tuple shape = shape_of(plans[k], shapes);
                // a label without any element takes its axes from its shape
                if (plans[k].ndim < 0) plans[k].ndim = (Py_ssize_t)shape.size();
                record.set_shape(k, plans[k].ndim, shape);
                for (const auto& f : plans[k].fixed) record.add_fixed(k, f.first, f.second);
            }
        }
        record.begin_sample();
        for (size_t k = 0; k < plans.size(); ++k) {
            for (const auto& e : plans[k].elements) {
                Obj v = sample_value(sample.ptr(), e.second.ptr());
                if (v && nonzero(v.ptr())) record.add(k, e.first.ptr(), v.ptr());
            }
        }
        record.end_sample();
    }

    nb::list occurrences;
    for (Py_ssize_t s = 0; s < record.samples(); ++s) occurrences.append(1);
    return record.record(occurrences);
}

Obj dict_to_record(PyObject* const* args) {
    nb::handle results = args[0], compiled = args[1];
    const Names& names = qtx::names();
    nb::object registry = compiled.attr(names.var_map).attr(names.var_map);
    nb::object fixed = compiled.attr("data").attr(names.fixed_variables);
    return record_of(results, registry, fixed, [&] { return compiled.attr("deci_var_shape"); });
}

/// _record(results, registry, fixed_variables, shapes): dict_to_record with its three maps
/// given, for decoders that keep their own copy of the fixed values.
Obj record(PyObject* const* args) {
    nb::handle shapes = args[3];
    return record_of(args[0], args[1], args[2], [&] { return nb::borrow(shapes); });
}

}  // namespace qtx::decode

namespace {

PyMethodDef functions[] = {
    QTX_FN("_dict_to_record", 2, qtx::decode::dict_to_record),
    QTX_FN("_record", 4, qtx::decode::record),
    QTX_END,
};

}  // namespace

NB_MODULE(decode, m) { QTX_MODULE_INIT(m, functions) }
