// A finished polynomial kept in C++: the native compile hands these to the binary lowering
// instead of SubstitutedExpression objects, so no Python object is made per term. The capsule
// owns its NPoly; a consumer may empty it once read, to give the memory back early.
#pragma once
#include "npoly.hpp"

namespace qtx {

constexpr const char* kNativePolyCapsule = "quillon_transpiler.npoly";

inline Obj native_poly_capsule(NPoly&& p) {
    NPoly* held = new NPoly(std::move(p));
    held->origin = Obj();  // the capsule stands for the polynomial: no Python object behind it
    PyObject* cap = PyCapsule_New(held, kNativePolyCapsule, [](PyObject* c) {
        delete static_cast<NPoly*>(PyCapsule_GetPointer(c, kNativePolyCapsule));
    });
    if (!cap) {
        delete held;
        fail();
    }
    return own(cap);
}

/// The polynomial of a native capsule, or null for any other object.
inline NPoly* native_poly(PyObject* o) {
    if (!PyCapsule_CheckExact(o) || !PyCapsule_IsValid(o, kNativePolyCapsule)) return nullptr;
    return static_cast<NPoly*>(PyCapsule_GetPointer(o, kNativePolyCapsule));
}

}  // namespace qtx
