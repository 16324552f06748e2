// What the bridge refuses and how its errors name it: the model element a polynomial comes from,
// variables as users write them, and the fast path's hand-over to dimod's arithmetic.
#pragma once
#include "qtx/plumbing.hpp"

#include <string>

namespace qtx::bridge {

/// The end of the message for a term a CQM cannot hold. dimod multiplies no further once a
/// product has an interaction, so x*y*y is refused as x*y*z is.
constexpr const char* kNotQuadratic =
    " has more than two variable factors, but a CQM holds quadratic terms only; reformulate it with an "
    "auxiliary variable, or use the binary route (to_pubo, to_qubo_arrays), which keeps terms of any degree";

/// Raised inside the fast path when only dimod's arithmetic can tell the outcome.
struct NeedArithmetic {};

inline std::string repr(PyObject* o) { return to_string(own(PyObject_Repr(o)).ptr()); }

/// A variable as users write it: y[0, 1], or y for a scalar.
inline std::string var_name(PyObject* label, PyObject* subscripts) {
    std::string s = to_string(label);
    if (PyObject_Length(subscripts) > 0) {
        Obj list = own(PySequence_List(subscripts));
        s += to_string(list.ptr());
    }
    return s;
}

/// The model element a polynomial comes from, named in the errors of the routes: the objective,
/// or a constraint or custom penalty by label and forall key. A caller's own expression
/// (`_expr_conversion`) has none and gets dimod's behaviour unchanged.
struct Item {
    const char* kind;  // "objective", "constraint" or "penalty"
    PyObject* label = nullptr;
    PyObject* key = nullptr;  // the forall key; null for a penalty's summed model

    std::string text() const {
        if (!label) return std::string("In ") + kind;
        std::string s = std::string("In ") + kind + " `" + to_string(label) + "`";
        if (key && PyObject_Length(key) > 0) s += " forall key " + repr(key);
        return s;
    }
};

/// The message for a term or constant that is not a finite number.
[[noreturn]] inline void not_finite(const Item& item, const std::string& what, double value) {
    Obj v = own(PyFloat_FromDouble(value));
    raise(PyExc_ValueError, item.text() + ": " + what + " is " + repr(v.ptr()) +
                                ", but a CQM takes finite numbers only; check the instance data and the model's "
                                "coefficients");
}

}  // namespace qtx::bridge
