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
#include "qtx/module.hpp"
#include "compiled_instance.hpp"
#include "cqm_decoder.hpp"
#include "quadratic_model.hpp"
#include "surface.hpp"

namespace qtx::bridge {

// ---------------------------------------------------------------------------------------------
// Entry points

Obj expr_conversion(PyObject* const* a) {
    check_arg(a[1], &PyDict_Type, "var_map");
    ModelTable t(a[1]);
    return convert(a[0], t);
}

/// (cqm, objective, penalties) of a compiled instance.
Obj transpile(PyObject* const* a) {
    PyObject* compiled = a[0];
    RegistryTable t(getattr(compiled, names().var_map.ptr()).ptr());

    Obj cqm = call(dimod_attr("ConstrainedQuadraticModel").ptr(), {});
    Obj add_constraint = attr(cqm.ptr(), "add_constraint");
    Obj label_kw = kwnames({"label"});
    Obj zero = integer(0);
    Obj constraints = items_of(attr(compiled, "constraint").ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(constraints.ptr()); ++i) {
        PyObject* label = PyTuple_GET_ITEM(PyList_GET_ITEM(constraints.ptr(), i), 0);
        Obj by_forall = items_of(PyTuple_GET_ITEM(PyList_GET_ITEM(constraints.ptr(), i), 1));
        int op = -1;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(by_forall.ptr()); ++j) {
            PyObject* entry = PyList_GET_ITEM(by_forall.ptr(), j);
            Item what{"constraint", label, PyTuple_GET_ITEM(entry, 0)};
            Obj qm = convert(PyTuple_GET_ITEM(entry, 1), t, &what);
            Obj cqm_label = own(PyUnicode_FromFormat("%S_%S", label, PyTuple_GET_ITEM(entry, 0)));
            if (op < 0) op = constraint_op(compiled, label);
            Obj comparison = own(PyObject_RichCompare(qm.ptr(), zero.ptr(), op));
            call(add_constraint.ptr(), {comparison.ptr(), cqm_label.ptr()}, label_kw.ptr());
        }
    }

    Obj penalties = own(PyDict_New());
    Obj by_label = items_of(attr(compiled, "penalty").ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(by_label.ptr()); ++i) {
        PyObject* entry = PyList_GET_ITEM(by_label.ptr(), i);
        Obj qm = convert_sum(PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), t);
        dict_set(penalties.ptr(), PyTuple_GET_ITEM(entry, 0), qm.ptr());
    }

    Item whole{"objective"};
    Obj objective = convert(getattr(compiled, names().objective.ptr()).ptr(), t, &whole);
    if (!is_minimize(compiled)) {
        Obj minus = integer(-1);
        objective = own(PyNumber_InPlaceMultiply(objective.ptr(), minus.ptr()));
    }
    return own(PyTuple_Pack(3, cqm.ptr(), objective.ptr(), penalties.ptr()));
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
Obj get_model(PyObject* const* a) {
    PyObject* self = a[0];
    Obj weights = a[1] == Py_None ? own(PyDict_New()) : ref(a[1]);
    check_arg(weights.ptr(), &PyDict_Type, "penalty_weight");
    Obj objective = attr(self, "_objective");
    Obj penalties = attr(self, "custome_penalties");
    Py_ssize_t count = PyObject_Length(penalties.ptr());
    if (count < 0) fail();
    if (count > 0) {
        Obj check_weight = QTX_IMPORT("quillon_transpiler.core.route_inputs", "check_weight");
        Obj weighted = method(objective.ptr(), "copy");
        Obj pairs = items_of(weights.ptr());  // owned: the loop runs Python code
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
            PyObject* label = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 0);
            PyObject* weight = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 1);
            Obj penalty = item(penalties.ptr(), label);
            Obj what = str("the weight of custom penalty `" + to_string(label) + "`");
            call(check_weight.ptr(), {weight, what.ptr()});
            Obj term = own(PyNumber_Multiply(weight, penalty.ptr()));
            weighted = own(PyNumber_InPlaceAdd(weighted.ptr(), term.ptr()));
        }
        objective = weighted;
    }
    Obj template_ = attr(self, "_cqm_template");
    Obj memo = own(PyDict_New());
    for_each(attr(template_.ptr(), "variables").ptr(), [&](PyObject* label) {
        Obj id = own(PyLong_FromVoidPtr(label));
        dict_set(memo.ptr(), id.ptr(), label);
    });
    Obj deepcopy = QTX_IMPORT("copy", "deepcopy");
    Obj model = call(deepcopy.ptr(), {template_.ptr(), memo.ptr()});
    method(model.ptr(), "set_objective", {objective.ptr()});
    if (PyObject_SetAttrString(self, "_model", model.ptr()) < 0) fail();
    return model;
}

}  // namespace qtx::bridge

namespace {

using namespace qtx::bridge;

PyMethodDef functions[] = {
    QTX_FN("_convert", 2, expr_conversion),
    QTX_FN("_transpile", 1, transpile),
    QTX_FN("_get_model", 2, get_model),
    QTX_FN("_decode", 2, decode),
    QTX_END,
};

}  // namespace

NB_MODULE(dimod_bridge, m) { QTX_MODULE_INIT(m, functions) }