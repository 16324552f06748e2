// A finished polynomial kept in C++: the native compile hands these to the binary lowering
// instead of SubstitutedExpression objects, so no Python object is made per term. The capsule
// owns its NPoly; a consumer may empty it once read, to give the memory back early.
#pragma once
#include "npoly.hpp"

#include <vector>

namespace qtx {

constexpr const char* kNativePolyCapsule = "quillon_transpiler.npoly";

/// A polynomial whose terms are `poly.terms`, or, when `parts` is not empty (and poly.terms
/// is), the parts accumulated in order into an empty map.
struct NativePoly {
    NPoly poly;
    std::vector<Terms> parts;

    /// The terms merged into poly.terms, as accumulating the parts in order gives them.
    void merge() {
        if (parts.empty()) return;
        Terms t = std::move(parts.front());
        for (size_t i = 1; i < parts.size(); ++i) {
            t.reserve(t.size() + parts[i].size());
            for (auto& e : parts[i]) t.accumulate(std::move(e));
        }
        parts.clear();
        poly.terms = std::move(t);
    }
};

inline Obj native_poly_capsule(NPoly&& p, std::vector<Terms>&& parts = {}) {
    NativePoly* held = new NativePoly{std::move(p), std::move(parts)};
    held->poly.origin = Obj();  // the capsule stands for the polynomial: no Python object behind it
    PyObject* cap = PyCapsule_New(held, kNativePolyCapsule, [](PyObject* c) {
        delete static_cast<NativePoly*>(PyCapsule_GetPointer(c, kNativePolyCapsule));
    });
    if (!cap) {
        delete held;
        fail();
    }
    return own(cap);
}

/// The polynomial of a native capsule, or null for any other object.
inline NativePoly* native_poly(PyObject* o) {
    if (!PyCapsule_CheckExact(o) || !PyCapsule_IsValid(o, kNativePolyCapsule)) return nullptr;
    return static_cast<NativePoly*>(PyCapsule_GetPointer(o, kNativePolyCapsule));
}

}  // namespace qtx
