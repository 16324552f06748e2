// Element bindings: the current value of every index element, kept in instance_data.indices.
#pragma once
#include "names.hpp"
#include "num.hpp"

#include <exception>
#include <vector>

namespace qtx::engine {

/// The engine's view of instance_data.indices. Values a fold binds are read back from here;
/// the dict is written when a fold ends or before Python code runs (`flush`), which is all
/// anyone else can observe. Anything but a plain dict, or `lazy` off, is written at once.
class Bindings {
public:
    Bindings(nb::handle data, bool lazy) : data_(data.ptr()), lazy_(lazy) {}

    /// The value bound to `element`: a KeyError (that says what to do) when nothing binds it.
    Num value(nb::handle element) {
        PyObject* name = element.ptr();
        for (auto& b : bound_)
            if (same_name(b.name, name)) return b.value;
        PyObject* ix = indices();
        if (PyDict_CheckExact(ix)) {
            PyObject* v = dict_get(ix, name);
            if (!v) unbound(name);
            return Num::of(v);
        }
        PyObject* v = PyObject_GetItem(ix, name);
        if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            unbound(name);
        }
        return Num::steal(own(v));
    }

    /// The value a fold bound to this very name object, or null: the fast path of value().
    const Num* peek(nb::handle element) const {
        PyObject* name = element.ptr();
        // innermost folds bind last and are read most
        for (auto b = bound_.rbegin(); b != bound_.rend(); ++b)
            if (b->name == name) return &b->value;
        return nullptr;
    }

    /// Binds an element to a loop value.
    void bind(nb::handle element, int64_t v) {
        PyObject* name = element.ptr();
        if (!lazy_ || !PyDict_CheckExact(indices())) {
            bind_object(name, own(PyLong_FromLongLong(v)));
            remember(name, Num::of_int(v), false);
            return;
        }
        remember(name, Num::of_int(v), true);
    }

    /// Binds an element to a value from a Python iterable, straight into the dict.
    void bind_object(nb::handle element, nb::handle value) {
        PyObject* name = element.ptr();
        forget(name);
        bind_index(indices(), name, value);
    }

    /// Writes the bindings the dict does not hold yet.
    void flush() {
        for (auto& b : bound_)
            if (b.dirty) {
                dict_set(indices(), b.name, b.value.py());
                b.dirty = false;
            }
    }

    /// After Python code ran: it may have rebound anything, or replaced the dict.
    void reload() {
        indices_ = Obj();
        bound_.clear();
    }

    /// Flushes the bindings of a fold left by an exception, keeping that exception.
    struct FlushOnUnwind {
        Bindings& b;
        int pending = std::uncaught_exceptions();
        ~FlushOnUnwind() {
            if (std::uncaught_exceptions() == pending) return;
            ErrorAside keep;
            try {
                b.flush();
            } catch (...) {
                PyErr_Clear();
            }
        }
    };

private:
    struct Binding {
        PyObject* name;
        Num value;
        bool dirty;  // not written to the dict yet
    };

    PyObject* indices() {
        if (!indices_) indices_ = qtx::getattr(data_, names().indices);
        return indices_.ptr();
    }

    /// Whether two element names are the same text (interned names compare by identity).
    static bool same_name(PyObject* a, PyObject* b) {
        if (a == b) return true;
        if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_CHECK_INTERNED(a) &&
            PyUnicode_CHECK_INTERNED(b))
            return false;
        return compare(a, b, Py_EQ);
    }

    void remember(PyObject* name, Num v, bool dirty) {
        for (auto b = bound_.rbegin(); b != bound_.rend(); ++b)
            if (same_name(b->name, name)) {
                b->value = std::move(v);
                b->dirty = dirty;
                return;
            }
        bound_.push_back(Binding{name, std::move(v), dirty});
    }

    void forget(PyObject* name) {
        for (size_t i = 0; i < bound_.size(); ++i)
            if (same_name(bound_[i].name, name)) {
                bound_.erase(bound_.begin() + (long)i);
                return;
            }
    }

    /// An element read where nothing binds it.
    [[noreturn]] static void unbound(PyObject* name) {
        raise_instance(call(exception_class(QTX_NAME("UnboundElementError")), {name}));
    }

    PyObject* data_;
    bool lazy_;
    Obj indices_;
    std::vector<Binding> bound_;  // element name -> the value bound last
};

}  // namespace qtx::engine
