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

inline std::string repr_of(nb::handle o) { return to_string(nb::repr(o).ptr()); }

/// A variable as users write it: y[0, 1], or y for a scalar.
inline std::string var_name(nb::handle label, nb::handle subscripts) {
    std::string s = to_string(label.ptr());
    if (nb::len(subscripts) > 0) s += to_string(nb::list(subscripts).ptr());
    return s;
}

/// The model element a polynomial comes from, named in the errors of the routes: the objective,
/// or a constraint or custom penalty by label and forall key. A caller's own expression
/// (`_expr_conversion`) has none and gets dimod's behaviour unchanged.
struct ModelElement {
    const char* kind;            // "objective", "constraint" or "penalty"
    nb::handle label = nullptr;  // none for the objective
    nb::handle key = nullptr;    // the forall key; none for a penalty's summed model

    std::string text() const {
        if (!label) return std::string("In ") + kind;
        std::string s = std::string("In ") + kind + " `" + to_string(label.ptr()) + "`";
        if (key && nb::len(key) > 0) s += " forall key " + repr_of(key);
        return s;
    }
};

/// The message for a term or constant that is not a finite number.
[[noreturn]] inline void not_finite(const ModelElement& element, const std::string& what, double value) {
    raise(PyExc_ValueError, element.text() + ": " + what + " is " + repr_of(nb::float_(value)) +
                                ", but a CQM takes finite numbers only; check the instance data and the model's "
                                "coefficients");
}

/// The message for a term or constant that is no real number (a complex one); `said` is what
/// the conversion to float said.
[[noreturn]] inline void not_real(const ModelElement& element, const std::string& what, const std::string& said) {
    raise(PyExc_ValueError, element.text() + ": " + what + " is not a real number (" + said +
                                "), but a CQM takes real numbers only; check the instance data for complex entries, "
                                "and powers of negative numbers with fractional exponents");
}

/// The message for an int coefficient or constant that a float64 does not hold exactly.
[[noreturn]] inline void not_exact(const ModelElement& element, const std::string& what) {
    raise(PyExc_ValueError, element.text() + ": " + what +
                                " is an integer that a float64 cannot hold exactly, but a CQM holds float64 numbers "
                                "and would solve a rounded model; scale the instance data down, or use to_pubo, whose "
                                "dict keeps Python numbers");
}

}  // namespace qtx::bridge
