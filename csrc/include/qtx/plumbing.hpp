// Plumbing between C++ and Python objects, written once for every module: iteration, zip,
// pair unpacking, isinstance, exception chaining, setting a pending error aside, and imports.
#pragma once
#include "py.hpp"

#include <initializer_list>
#include <type_traits>

namespace qtx {

/// An interned name made once; never freed (interned strings live as long as the interpreter).
#define QTX_NAME(s)                                              \
    ([]() -> PyObject* {                                         \
        static PyObject* o = ::qtx::interned(s).release().ptr(); \
        return o;                                                \
    }())

// ---- imports ----

/// The module `path`, imported on first use. sys.modules is the cache: nothing here outlives
/// the interpreter, and attributes are read at every use, as Python code reads them.
inline Obj imported(nb::handle path) {
    if (PyObject* m = dict_get(PyImport_GetModuleDict(), path)) return ref(m);
    return own(PyImport_Import(path.ptr()));
}
/// `path.attr`, the module imported on first use.
inline Obj imported(nb::handle path, nb::handle attr) { return qtx::getattr(imported(path), attr); }

/// `path.attr` by literal names, interned once.
#define QTX_IMPORT(path, attr) ::qtx::imported(QTX_NAME(path), QTX_NAME(attr))

// ---- iteration ----

/// Calls f(item) for every item of `iterable`, as a `for` loop does; each item is held for the
/// call and passed as a PyObject* (f may take an nb::handle). A long loop polls for Ctrl-C in f
/// (SignalPoll). An f that returns bool stops the loop by returning false.
template <class F>
inline void for_each(nb::handle iterable, F&& f) {
    Obj it = own(PyObject_GetIter(iterable.ptr()));
    while (PyObject* v = PyIter_Next(it.ptr())) {
        Obj item = nb::steal(v);
        if constexpr (std::is_same_v<decltype(f(item.ptr())), bool>) {
            if (!f(item.ptr())) return;
        } else {
            f(item.ptr());
        }
    }
    if (PyErr_Occurred()) fail();
}

/// Calls f(a, b) for every pair of `zip(first, second)`: it stops at the shorter, and asks
/// `first` for its next item before `second`, as zip does.
template <class F>
inline void zip(nb::handle first, nb::handle second, F&& f) {
    Obj ia = own(PyObject_GetIter(first.ptr())), ib = own(PyObject_GetIter(second.ptr()));
    for (;;) {
        PyObject* a = PyIter_Next(ia.ptr());
        if (!a) break;
        Obj ha = nb::steal(a);
        PyObject* b = PyIter_Next(ib.ptr());
        if (!b) break;
        Obj hb = nb::steal(b);
        f(ha.ptr(), hb.ptr());
    }
    if (PyErr_Occurred()) fail();
}

/// A list or tuple as PySequence_Fast gives it (anything else is copied into a list, or refused
/// with `message`): items read by index, no call per item. Loops read the size at every step,
/// so code run for an item may shorten a list without reading past its end.
class FastSequence {
public:
    FastSequence(nb::handle sequence, const char* message) : items_(own(PySequence_Fast(sequence.ptr(), message))) {}

    Py_ssize_t size() const { return PySequence_Fast_GET_SIZE(items_.ptr()); }
    /// Borrowed from the sequence.
    nb::handle operator[](Py_ssize_t i) const { return PySequence_Fast_GET_ITEM(items_.ptr(), i); }

    class iterator {
    public:
        iterator(const FastSequence* s, Py_ssize_t i) : s_(s), i_(i) {}
        nb::handle operator*() const { return (*s_)[i_]; }
        iterator& operator++() {
            ++i_;
            return *this;
        }
        // the end is wherever the size is when it is reached
        bool operator!=(const iterator&) const { return i_ < s_->size(); }

    private:
        const FastSequence* s_;
        Py_ssize_t i_;
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, 0); }

private:
    Obj items_;
};

/// How `a, b = value` words too few values: as Python does, or "need more than N value(s) to
/// unpack", the words forall entries have always had.
enum class TooFew { python, need_more };

[[noreturn]] inline void unpack_error(Py_ssize_t n, TooFew words) {
    if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (words == TooFew::need_more)
        raisef(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
    raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
}

/// `a, b = value`, with Python's errors: lists and tuples by size, anything else iterated for at
/// most three items.
inline void unpack2(nb::handle pair, Obj& a, Obj& b, TooFew words = TooFew::python) {
    PyObject* value = pair.ptr();
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n != 2) unpack_error(n, words);
        a = ref(PySequence_Fast_GET_ITEM(value, 0));
        b = ref(PySequence_Fast_GET_ITEM(value, 1));
        return;
    }
    PyObject* it = PyObject_GetIter(value);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value))
            raisef(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(value));
        fail();
    }
    Obj iter = nb::steal(it);
    Obj got[3];
    Py_ssize_t n = 0;
    while (n < 3) {
        PyObject* v = PyIter_Next(it);
        if (!v) break;
        got[n++] = nb::steal(v);
    }
    if (PyErr_Occurred()) fail();
    if (n != 2) unpack_error(n, words);
    a = got[0];
    b = got[1];
}

// ---- classes ----

/// `isinstance(o, cls)`.
inline bool is_instance(nb::handle o, nb::handle cls) {
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0) fail();
    return r != 0;
}

inline PyObject* is_instance_of(PyObject* cls, PyObject* node) noexcept {
    return guarded([&] { return ref(is_instance(node, cls) ? Py_True : Py_False); });
}
/// `lambda node: isinstance(node, cls)` as a C function, for predicates called per tree node.
inline Obj instance_check(nb::handle cls) {
    static PyMethodDef def = {"is_instance_of", (PyCFunction)is_instance_of, METH_O, nullptr};
    return own(PyCFunction_New(&def, cls.ptr()));
}

// ---- errors ----

/// Sets the pending Python error aside for a scope (an import or a call must not run with one
/// pending) and puts it back at the end. An error raised in the scope and still pending then
/// replaces it, as an exception raised while handling another does.
class ErrorAside {
public:
#if PY_VERSION_HEX >= 0x030C0000
    ErrorAside() : exc_(PyErr_GetRaisedException()) {}
    ~ErrorAside() {
        if (PyErr_Occurred())
            Py_XDECREF(exc_);
        else
            PyErr_SetRaisedException(exc_);
    }
#else
    ErrorAside() { PyErr_Fetch(&type_, &exc_, &tb_); }
    ~ErrorAside() {
        if (PyErr_Occurred()) {
            Py_XDECREF(type_);
            Py_XDECREF(exc_);
            Py_XDECREF(tb_);
        } else {
            PyErr_Restore(type_, exc_, tb_);
        }
    }
#endif
    ErrorAside(const ErrorAside&) = delete;
    ErrorAside& operator=(const ErrorAside&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr, *tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

/// `raise exc` for an exception instance `exc`.
[[noreturn]] inline void raise_instance(nb::handle exc) {
    PyErr_SetObject((PyObject*)Py_TYPE(exc.ptr()), exc.ptr());
    fail();
}

/// Takes the pending error when it is an instance of `type`, with its traceback; null (and the
/// error left pending) otherwise.
inline Obj catch_error(nb::handle type) {
    if (!PyErr_ExceptionMatches(type.ptr())) return Obj();
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return nb::steal(v);
#endif
}

/// Inside a `catch`: the Python error being handled when it is an instance of `type` (taken,
/// no longer pending); any other error is rethrown. nanobind's errors count as Python errors.
inline Obj caught_error(nb::handle type) {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (PyErrSet&) {}
    Obj err = catch_error(type);
    if (!err) fail();
    return err;
}

/// Raises the exception instance `exc` as `raise exc from caught` does inside the `except`
/// that caught `caught`: `caught` is its cause and its context.
[[noreturn]] inline void raise_from(Obj exc, nb::handle caught, bool cause = true) {
    PyException_SetContext(exc.ptr(), ref(caught).release().ptr());
    if (cause) PyException_SetCause(exc.ptr(), ref(caught).release().ptr());
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release().ptr());
#else
    PyObject* type = (PyObject*)Py_TYPE(exc.ptr());
    PyErr_Restore(ref(type).release().ptr(), exc.release().ptr(), nullptr);
#endif
    fail();
}
/// Raises `exc` as a plain `raise exc` does inside that `except`: `caught` is its context only.
[[noreturn]] inline void raise_during(Obj exc, nb::handle caught) { raise_from(std::move(exc), caught, false); }

// ---- calls ----

/// A keyword-name tuple for `call`.
inline Obj kwnames(std::initializer_list<const char*> keys) {
    Obj t = own(PyTuple_New((Py_ssize_t)keys.size()));
    Py_ssize_t i = 0;
    for (const char* k : keys) PyTuple_SET_ITEM(t.ptr(), i++, interned(k).release().ptr());
    return t;
}

/// `o.name(*args)`, without a bound method object in between.
inline Obj call_method(nb::handle o, nb::handle name, std::initializer_list<nb::handle> args = {}) {
    constexpr size_t kMost = 12;
    PyObject* vector[kMost + 1];
    if (args.size() > kMost) raise(PyExc_SystemError, "qtx::call_method takes at most 12 arguments");
    vector[0] = o.ptr();
    size_t n = 1;
    for (nb::handle h : args) vector[n++] = h.ptr();
    return own(PyObject_VectorcallMethod(name.ptr(), vector, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace qtx
