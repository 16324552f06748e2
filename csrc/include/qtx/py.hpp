// Thin helpers over the CPython API shared by every extension module of the package.
//
// Helpers take nb::handle: a PyObject*, an nb::object or an nb::handle passes as it is. They
// raise by setting the Python error and throwing PyErrSet; nanobind's own calls throw
// nb::python_error instead. `guarded` and `caught_error` (plumbing.hpp) accept both.
//
// nanobind defines getattr, setattr and type_name for handles too: with nanobind arguments an
// unqualified call finds both, so write `o.attr(name)` or qualify `qtx::`.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <type_traits>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__) || defined(__FreeBSD__)
#include <pthread.h>
#endif
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif

namespace qtx {

namespace nb = nanobind;
using Obj = nb::object;

/// Thrown when a Python exception is already set; the boundary returns NULL.
struct PyErrSet {};

[[noreturn]] inline void fail() { throw PyErrSet{}; }

/// Own a new reference, failing when the API call returned NULL.
inline Obj own(PyObject* p) {
    if (!p) fail();
    return nb::steal(p);
}
inline Obj ref(nb::handle p) { return nb::borrow(p); }

[[noreturn]] inline void raise(nb::handle type, const char* msg) {
    PyErr_SetString(type.ptr(), msg);
    fail();
}
[[noreturn]] inline void raise(nb::handle type, const std::string& msg) { raise(type, msg.c_str()); }

/// PyErr_Format: the arguments go through C varargs, so objects for %S, %R and %U are passed
/// as PyObject*.
template <class... A>
[[noreturn]] inline void raisef(nb::handle type, const char* fmt, A... args) {
    PyErr_Format(type.ptr(), fmt, args...);
    fail();
}

constexpr const char* kOutOfMemory =
    "out of memory: a native buffer or Python object could not be allocated; free memory or work on a smaller model";

/// Gives the pending MemoryError a message when it has none (CPython's own, raised where an
/// allocation failed, says nothing).
inline void explain_memory_error() {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* args = PyException_GetArgs(exc);
    bool silent = !args || PyTuple_GET_SIZE(args) == 0;
    Py_XDECREF(args);
    if (!silent) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Py_DECREF(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    bool silent = !value || value == Py_None ||
                  (PyExceptionInstance_Check(value) && PyTuple_GET_SIZE(((PyBaseExceptionObject*)value)->args) == 0);
    if (!silent) {
        PyErr_Restore(type, value, tb);
        return;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
#endif
    PyErr_SetString(PyExc_MemoryError, kOutOfMemory);
}

/// Runs `body` and turns C++ exceptions into a set Python error (NULL result).
template <class F>
inline PyObject* guarded(F&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (PyErrSet&) {
        explain_memory_error();
    } catch (nb::python_error& e) {
        e.restore();
        explain_memory_error();
    } catch (std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, kOutOfMemory);
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

inline const char* type_name(nb::handle o) { return Py_TYPE(o.ptr())->tp_name; }

/// The exact-type check of typed arguments: subclasses, bool for int and None are refused.
inline void check_arg(nb::handle o, PyTypeObject* t, const char* name) {
    if (Py_TYPE(o.ptr()) != t)
        raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, t->tp_name,
               qtx::type_name(o));
}

/// The result check of functions declared to return a list, tuple or int.
inline void check_result(nb::handle o, PyTypeObject* t, bool none_ok = true) {
    if (Py_TYPE(o.ptr()) != t && !(none_ok && o.is_none()))
        raisef(PyExc_TypeError, "Expected %s, got %.200s", t->tp_name, qtx::type_name(o));
}

inline Obj str(const char* s) { return own(PyUnicode_FromString(s)); }
inline Obj str(const std::string& s) { return own(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }
inline Obj interned(const char* s) { return own(PyUnicode_InternFromString(s)); }
inline Obj integer(long long v) { return own(PyLong_FromLongLong(v)); }
inline Obj ssize(Py_ssize_t v) { return own(PyLong_FromSsize_t(v)); }

/// `int(v)`.
inline Obj to_int(nb::handle v) { return own(PyNumber_Long(v.ptr())); }

inline Obj getattr(nb::handle o, nb::handle name) { return own(PyObject_GetAttr(o.ptr(), name.ptr())); }
inline void setattr(nb::handle o, nb::handle name, nb::handle v) {
    if (PyObject_SetAttr(o.ptr(), name.ptr(), v.ptr()) < 0) fail();
}

/// `str(o)` as a std::string.
inline std::string to_string(nb::handle o) {
    Obj s = own(PyObject_Str(o.ptr()));
    Py_ssize_t n;
    const char* c = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!c) fail();
    return std::string(c, (size_t)n);
}

/// `repr(o)` as a std::string.
inline std::string to_repr(nb::handle o) { return to_string(own(PyObject_Repr(o.ptr()))); }

/// Python `a == b` (and friends) as a C bool.
inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) fail();
    return r != 0;
}
inline bool truth(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) fail();
    return r != 0;
}

/// Dict lookup returning a borrowed reference or NULL, failing on lookup errors.
inline PyObject* dict_get(nb::handle d, nb::handle key) {
    PyObject* v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) fail();
    return v;
}
inline void dict_set(nb::handle d, nb::handle key, nb::handle v) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), v.ptr()) < 0) fail();
}
/// `raise KeyError(key)`.
[[noreturn]] inline void raise_key_error(nb::handle key) {
    // wrapped, so that a tuple key is the exception's one argument
    PyObject* args = PyTuple_Pack(1, key.ptr());
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
    fail();
}
[[noreturn]] inline void raise_key_error(const std::string& msg) { raise_key_error(str(msg)); }

/// `d[key]` raising KeyError(key) like Python does.
inline PyObject* dict_item(nb::handle d, nb::handle key) {
    PyObject* v = dict_get(d, key);
    if (!v) raise_key_error(key);
    return v;
}
/// `m[key]` for any mapping, dicts on the fast path; new reference.
inline Obj item(nb::handle m, nb::handle key) {
    if (PyDict_CheckExact(m.ptr())) return ref(dict_item(m, key));
    return own(PyObject_GetItem(m.ptr(), key.ptr()));
}
inline Obj item(nb::handle m, const char* key) { return item(m, str(key)); }

/// `f(*args)`, the last len(kwnames) of the arguments passed by keyword: the vectorcall
/// protocol, for calls in loops (cold code reads better as nanobind's `f(a, "key"_a = b)`).
inline Obj call(nb::handle f, std::initializer_list<nb::handle> args, nb::handle kwnames = nb::handle()) {
    constexpr size_t kMost = 12;  // more than any call here makes
    PyObject* vector[kMost];
    if (args.size() > kMost) raise(PyExc_SystemError, "qtx::call takes at most 12 arguments");
    size_t n = 0;
    for (nb::handle h : args) vector[n++] = h.ptr();
    size_t positional = n - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames.ptr()) : 0);
    return own(PyObject_Vectorcall(f.ptr(), vector, positional, kwnames.ptr()));
}
/// The same for a list of PyObject* (a template, so that `{}` means the list of handles).
template <class Arg, std::enable_if_t<std::is_same_v<Arg, PyObject*>, int> = 0>
inline Obj call(nb::handle f, std::initializer_list<Arg> args, nb::handle kwnames = nb::handle()) {
    size_t positional = args.size() - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames.ptr()) : 0);
    return own(PyObject_Vectorcall(f.ptr(), args.begin(), positional, kwnames.ptr()));
}

/// A new instance of the plain dataclass `cls` (its __init__ only stores its fields: no
/// __post_init__, no checks) with `fields` stored as object.__setattr__ stores them: a keyword
/// call of the constructor costs a small compile several times what the record holds. Every
/// field must be given; the tests compare such records with their constructor's.
inline Obj record(nb::handle cls, std::initializer_list<std::pair<PyObject*, nb::handle>> fields) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    Obj none = own(PyTuple_New(0));
    Obj out = own(type->tp_new(type, none.ptr(), nullptr));
    for (const auto& [name, value] : fields)
        if (PyObject_GenericSetAttr(out.ptr(), name, value.ptr()) < 0) fail();
    return out;
}

/// Builtin `max(a, b)`: the second wins only when strictly greater.
inline PyObject* py_max(nb::handle a, nb::handle b) { return compare(b, a, Py_GT) ? b.ptr() : a.ptr(); }

inline Obj small_int(long v) { return own(PyLong_FromLong(v)); }
inline Obj float_zero() { return own(PyFloat_FromDouble(0.0)); }

// ---- the C stack ----

/// The lowest address the current thread's stack may reach before recursion must stop: the
/// stack's end plus a margin for whatever runs between two checks (Python frames, error
/// handling). Deep trees recurse in C; Python's recursion limit alone does not protect the C
/// stack once a caller raises it, and a thread's stack may be smaller than the main one.
inline uintptr_t compute_stack_floor() {
    char probe;
    uintptr_t here = (uintptr_t)&probe, low = 0, size = 0;
#if defined(_WIN32)
    // the stack is one reserved region: its base is the lowest address it can grow to
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(&probe, &info, sizeof info)) low = (uintptr_t)info.AllocationBase, size = here - low;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    size = (uintptr_t)pthread_get_stacksize_np(self);
    low = (uintptr_t)pthread_get_stackaddr_np(self) - size;
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attr;
#if defined(__FreeBSD__)
    pthread_attr_init(&attr);
    if (pthread_attr_get_np(pthread_self(), &attr) == 0) {
#else
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
#endif
        void* addr = nullptr;
        size_t n = 0;
        if (pthread_attr_getstack(&attr, &addr, &n) == 0) low = (uintptr_t)addr, size = n;
        pthread_attr_destroy(&attr);
    }
#endif
    if (!size || here <= low || here - low > size) {
        // unknown bounds: assume a modest stack below the first frame that asks
        size = 512 * 1024;
        low = here > size ? here - size : 0;
    }
    uintptr_t margin = size / 8;
    if (margin < 64 * 1024) margin = 64 * 1024;
    if (margin > 1024 * 1024) margin = 1024 * 1024;
    return low + margin;
}

/// The stack floor of the calling thread, found once per thread.
inline uintptr_t stack_floor() {
    thread_local uintptr_t floor = compute_stack_floor();
    return floor;
}

/// Whether the calling frame lies below `floor` (stacks grow downwards on every platform built for).
inline bool stack_exhausted(uintptr_t floor) {
    char probe;
    return (uintptr_t)&probe < floor;
}

/// RecursionError for recursion stopped by the stack check; `what` says where ("while ...").
[[noreturn]] inline void stack_overflow(const char* what) {
    raisef(PyExc_RecursionError,
           "maximum nesting depth exceeded %s: the C stack is nearly used up. Nest less deeply (a tree "
           "that contains itself never ends), or run in a thread with a larger stack.",
           what);
}

/// Stops recursion before the C stack runs out; for code that is not in a hot loop.
inline void check_stack(const char* what) {
    if (stack_exhausted(stack_floor())) stack_overflow(what);
}

// ---- Ctrl-C ----

/// Polls for signals every few thousand steps of a long loop, so that Ctrl-C (run by the
/// Python signal handler, which raises KeyboardInterrupt) ends the loop promptly. Steps are
/// counted locally; only every kEvery-th step pays for the poll.
class SignalPoll {
public:
    void tick(size_t steps = 1) {
        if (steps < budget_) {
            budget_ -= steps;
            return;
        }
        budget_ = kEvery;
        if (PyErr_CheckSignals() < 0) fail();
    }

private:
    static constexpr size_t kEvery = 4096;
    size_t budget_ = kEvery;
};

}  // namespace qtx
