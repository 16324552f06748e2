// A finished polynomial kept in C++: the native compile hands these to the binary lowering
// instead of SubstitutedExpression objects, so no Python object is made per term. The capsule
// owns its Poly; a consumer may empty it once read, to give the memory back early.
#pragma once
#include "poly.hpp"

#include <vector>

namespace qtx {

constexpr const char* kPolyCapsule = "quillon_transpiler.poly";

/// Terms given in parts, as nested sums add them: each group's parts accumulated in order (a
/// group's parts are adjacent), then the groups in order. Empties `parts`.
inline Terms merge_parts(Parts& parts) {
    Terms total;
    for (size_t i = 0; i < parts.size();) {
        size_t end = i + 1;
        while (end < parts.size() && parts.group(end) == parts.group(i)) ++end;
        Terms group = merge_in_order(parts, i, end);
        if (i == 0) {
            total = std::move(group);
        } else {
            total.reserve(total.size() + group.size());
            for (auto& e : group) total.accumulate(std::move(e));
        }
        i = end;
    }
    parts.clear();
    return total;
}

/// A polynomial whose terms are `poly.terms`, or, when `parts` is not empty (and poly.terms
/// is), the parts merged by merge_parts; or, when `squared`, the square of `poly`.
struct PolyCapsule {
    Poly poly;
    Parts parts;
    bool squared = false;  // a penalty's square over distinct variables, expanded when read

    /// The terms merged into poly.terms (and a square expanded).
    void merge() {
        if (squared) {
            poly_power(poly, 2.0, PyExc_ValueError);  // 2 is a valid exponent: nothing is raised
            squared = false;
        }
        if (parts.empty()) return;
        poly.terms = merge_parts(parts);
    }
};

inline Obj make_poly_capsule(Poly&& p, Parts&& parts = Parts(), bool squared = false) {
    PolyCapsule* held = new PolyCapsule{std::move(p), std::move(parts), squared};
    held->poly.origin = Obj();  // the capsule stands for the polynomial: no Python object behind it
    PyObject* cap = PyCapsule_New(held, kPolyCapsule, [](PyObject* c) {
        delete static_cast<PolyCapsule*>(PyCapsule_GetPointer(c, kPolyCapsule));
    });
    if (!cap) {
        delete held;
        fail();
    }
    return own(cap);
}

/// A SubstitutedExpression of the same polynomial (merging its parts first).
inline Obj native_expression(PolyCapsule& np) {
    np.merge();
    Obj coeff = terms_dict(np.poly.terms);
    Obj cls = QTX_IMPORT("quillon_transpiler.core.substitute", "SubstitutedExpression");
    return call(cls.ptr(), {coeff.ptr(), np.poly.constant.py().ptr(), np.poly.order.py().ptr()});
}

/// The polynomial of a native capsule, or null for any other object.
inline PolyCapsule* poly_capsule(PyObject* o) {
    if (!PyCapsule_CheckExact(o) || !PyCapsule_IsValid(o, kPolyCapsule)) return nullptr;
    return static_cast<PolyCapsule*>(PyCapsule_GetPointer(o, kPolyCapsule));
}

}  // namespace qtx
