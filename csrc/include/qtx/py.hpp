// Thin helpers over the CPython API shared by every extension module of the package.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>

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
inline Obj ref(PyObject* p) { return nb::borrow(p); }

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    fail();
}
[[noreturn]] inline void raise(PyObject* type, const std::string& msg) { raise(type, msg.c_str()); }

template <class... A>
[[noreturn]] inline void raisef(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    fail();
}

/// Runs `body` and turns C++ exceptions into a set Python error (NULL result).
template <class F>
inline PyObject* guarded(F&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (PyErrSet&) {
    } catch (nb::python_error& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

/// The exact-type check of typed arguments: subclasses, bool for int and None are refused.
inline void check_arg(PyObject* o, PyTypeObject* t, const char* name) {
    if (Py_TYPE(o) != t)
        raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, t->tp_name, type_name(o));
}

/// The result check of functions declared to return a list, tuple or int.
inline void check_result(PyObject* o, PyTypeObject* t, bool none_ok = true) {
    if (Py_TYPE(o) != t && !(none_ok && o == Py_None))
        raisef(PyExc_TypeError, "Expected %s, got %.200s", t->tp_name, type_name(o));
}

inline Obj str(const char* s) { return own(PyUnicode_FromString(s)); }
inline Obj str(const std::string& s) { return own(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }
inline Obj interned(const char* s) { return own(PyUnicode_InternFromString(s)); }
inline Obj integer(long long v) { return own(PyLong_FromLongLong(v)); }
inline Obj ssize(Py_ssize_t v) { return own(PyLong_FromSsize_t(v)); }

inline Obj getattr(PyObject* o, PyObject* name) { return own(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    if (PyObject_SetAttr(o, name, v) < 0) fail();
}

/// `str(o)` as a std::string.
inline std::string to_string(PyObject* o) {
    Obj s = own(PyObject_Str(o));
    Py_ssize_t n;
    const char* c = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!c) fail();
    return std::string(c, (size_t)n);
}

/// Python `a == b` (and friends) as a C bool.
inline bool compare(PyObject* a, PyObject* b, int op) {
    int r = PyObject_RichCompareBool(a, b, op);
    if (r < 0) fail();
    return r != 0;
}
inline bool truth(PyObject* o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) fail();
    return r != 0;
}

/// Dict lookup returning a borrowed reference or NULL, failing on lookup errors.
inline PyObject* dict_get(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) fail();
    return v;
}
inline void dict_set(PyObject* d, PyObject* key, PyObject* v) {
    if (PyDict_SetItem(d, key, v) < 0) fail();
}
/// `d[key]` raising KeyError(key) like Python does.
inline PyObject* dict_item(PyObject* d, PyObject* key) {
    PyObject* v = dict_get(d, key);
    if (!v) {
        // wrapped, so that a tuple key is the exception's one argument
        PyObject* args = PyTuple_Pack(1, key);
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args);
            Py_DECREF(args);
        }
        fail();
    }
    return v;
}
/// `m[key]` for any mapping, dicts on the fast path; new reference.
inline Obj item(PyObject* m, PyObject* key) {
    if (PyDict_CheckExact(m)) return ref(dict_item(m, key));
    return own(PyObject_GetItem(m, key));
}
inline Obj item(PyObject* m, const char* key) { return item(m, str(key).ptr()); }

inline Obj call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    return own(PyObject_Vectorcall(f, args.begin(), args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0),
                                   kwnames));
}

/// Fetches an attribute of an importable module (`module.attr`).
inline Obj import_attr(const char* module, const char* attr) {
    Obj m = own(PyImport_ImportModule(module));
    return own(PyObject_GetAttrString(m.ptr(), attr));
}

/// Catches a pending Python exception of class `type`; returns it (new reference) or NULL.
inline Obj catch_error(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) return Obj();
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return nb::steal(v);
}

/// Builtin `max(a, b)`: the second wins only when strictly greater.
inline PyObject* py_max(PyObject* a, PyObject* b) { return compare(b, a, Py_GT) ? b : a; }

inline Obj small_int(long v) { return own(PyLong_FromLong(v)); }
inline Obj float_zero() { return own(PyFloat_FromDouble(0.0)); }

}  // namespace qtx
