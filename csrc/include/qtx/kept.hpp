// What a compile keeps in a model's kept entry (a dict that lives and dies with the model)
// between compiles: one C++ object per key, in a capsule, lent for one use at a time.
#pragma once
#include "py.hpp"

#include <memory>

namespace qtx {

/// Lends the T kept in `store` under `key` (made there, empty, on first use) for the lifetime
/// of this object; get() is null when the entry holds no T or its T is in use (by a compile of
/// the same model nested in this one, or in another thread), and the caller then makes its own.
/// T has a `bool busy`.
template <class T>
class Lent {
public:
    Lent(nb::handle store, nb::handle key, const char* name) {
        PyObject* found = dict_get(store, key);
        if (!found) {
            std::unique_ptr<T> fresh(new T);
            Obj made = nb::steal(PyCapsule_New(fresh.get(), name, [](PyObject* c) {
                delete static_cast<T*>(PyCapsule_GetPointer(c, PyCapsule_GetName(c)));
            }));
            if (!made) fail();
            fresh.release();  // the capsule owns it now
            if (PyDict_SetItem(store.ptr(), key.ptr(), made.ptr()) < 0) fail();
            found = made.ptr();
        }
        auto* kept = static_cast<T*>(PyCapsule_GetPointer(found, name));
        if (!kept || kept->busy) {
            PyErr_Clear();
            return;
        }
        hold_ = ref(found);  // the entry may be dropped while in use
        kept_ = kept;
        kept_->busy = true;
    }
    ~Lent() {
        if (kept_) kept_->busy = false;
    }
    Lent(const Lent&) = delete;
    Lent& operator=(const Lent&) = delete;

    T* get() const { return kept_; }

private:
    Obj hold_;
    T* kept_ = nullptr;
};

}  // namespace qtx
