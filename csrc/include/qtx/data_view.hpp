// Reading placeholder data: straight from the buffers of the instance data's NumPy arrays
// when possible, through InstanceData.get_value (which also reports bad data) otherwise.
#pragma once
#include "num.hpp"
#include "plain.hpp"
#include "plan.hpp"

#include <unordered_map>

namespace qtx::engine {

/// A numeric array's buffer, or `ok == false` for anything read through Python.
struct View {
    Obj array;
    Py_buffer buf{};
    char fmt = 0;
    bool ok = false;
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (ok) PyBuffer_Release(&buf);
    }

    /// The element at int indices as a Num, or an empty Num when out of range or unreadable.
    Num number(const int64_t* idx, Py_ssize_t n) const {
        if (n != buf.ndim || !fmt) return Num();
        const char* p = (const char*)buf.buf;
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (idx[k] < 0 || idx[k] >= buf.shape[k]) return Num();
            p += idx[k] * buf.strides[k];
        }
        return read(p);
    }

    /// Whether read() gives ints (a signed integer of up to 64 bits, or an unsigned of up to 32).
    bool reads_int() const {
        switch (fmt) {
            case 'b':
            case 'h':
            case 'i':
            case 'l':
            case 'q':
            case 'B':
            case 'H':
            case 'I': return true;
            default: return false;
        }
    }

    /// The element at `p` within the buffer as a Num (or a Native), empty when unreadable.
    template <class N = Num>
    N read(const char* p) const {
        switch (fmt) {
            case 'd': return N::of_float(*(const double*)p);
            case 'f': return N::of_float((double)*(const float*)p);
            case 'b': return N::of_int(*(const signed char*)p);
            case 'h': return N::of_int(*(const short*)p);
            case 'i': return N::of_int(*(const int*)p);
            case 'l': return N::of_int(*(const long*)p);
            case 'q': return N::of_int(*(const long long*)p);
            case 'B': return N::of_int(*(const unsigned char*)p);
            case 'H': return N::of_int(*(const unsigned short*)p);
            case 'I': return N::of_int(*(const unsigned int*)p);
            default: return N();  // unsigned 64-bit and bools keep their Python types
        }
    }
};

inline Py_ssize_t item_size(char f) {
    switch (f) {
        case 'd': return sizeof(double);
        case 'f': return sizeof(float);
        case 'b':
        case 'B':
        case '?': return 1;
        case 'h':
        case 'H': return sizeof(short);
        case 'i':
        case 'I': return sizeof(int);
        case 'l':
        case 'L': return sizeof(long);
        case 'q':
        case 'Q': return sizeof(long long);
        default: return -1;
    }
}

class DataViews {
public:
    explicit DataViews(nb::handle data) : data_(data.ptr()) {
        fast_ = Py_TYPE(data_) == (PyTypeObject*)types().data_cls;
    }

    /// get_value(name, ()).
    Obj whole(nb::handle name) {
        if (fast_) {
            if (PyObject* v = normalised(name)) return ref(v);
        }
        return get_value(name, types().empty_tuple);
    }

    /// The entry at the given ints straight from the buffer, or an empty Num.
    Num number(nb::handle name, const int64_t* idx, size_t n) {
        if (!fast_) return Num();
        const View& v = view(name);
        return v.ok ? v.number(idx, (Py_ssize_t)n) : Num();
    }

    /// The numeric buffer of `name` when one was read before, or null: never reads the data.
    const View* buffer(nb::handle name) const {
        if (!fast_) return nullptr;
        auto it = views_.find(name.ptr());
        return it != views_.end() && it->second.ok && it->second.fmt ? &it->second : nullptr;
    }

    /// get_length(name, subs, axis) of a NumPy array read from its buffer's shape, the `n`
    /// subscripts at `idx` inside it (the sub-array they pick has at least one axis): false
    /// for anything else, which get_length reads (and reports when bad).
    bool length(nb::handle name, const int64_t* idx, size_t n, nb::handle axis, int64_t& out) {
        if (!fast_ || !PyLong_CheckExact(axis.ptr())) return false;
        const View& v = view(name);
        if (!v.ok) return false;
        long a = PyLong_AsLong(axis.ptr());
        if (a == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        Py_ssize_t at = (Py_ssize_t)n + a;
        if (a < 0 || at >= v.buf.ndim) return false;
        for (size_t k = 0; k < n; ++k)
            if (idx[k] < 0 || idx[k] >= v.buf.shape[k]) return false;
        out = v.buf.shape[at];
        return true;
    }

    /// get_value(name, subs): what `number` cannot read, and the errors of bad subscripts.
    Obj at(nb::handle name, nb::handle subs) { return get_value(name, subs); }

private:
    Obj get_value(nb::handle name, nb::handle subs) { return call_method(data_, names().get_value, {name, subs}); }

    /// The instance data's cached normal form of `name`, or null when not made yet.
    PyObject* normalised(nb::handle name) {
        if (!cache_) {
            cache_ = qtx::getattr(data_, names()._data);
            if (!PyDict_CheckExact(cache_.ptr())) {
                fast_ = false;
                return nullptr;
            }
        }
        return dict_get(cache_, name);
    }

    const View& view(nb::handle name) {
        auto it = views_.find(name.ptr());
        if (it != views_.end()) return it->second;
        View& v = views_[name.ptr()];
        PyObject* a = normalised(name);
        if (!a) {
            // let InstanceData normalise (and check) the value, then look again
            Obj whole = get_value(name, types().empty_tuple);
            a = normalised(name);
        }
        PyTypeObject* nd = numpy_type("ndarray");
        if (a && nd && Py_TYPE(a) == nd && PyObject_GetBuffer(a, &v.buf, PyBUF_RECORDS_RO) == 0) {
            v.ok = true;
            v.array = ref(a);
            const char* f = v.buf.format ? v.buf.format : "B";
            if (*f == '@') ++f;  // other prefixes mean standard sizes or a foreign byte order
            v.fmt = (f[0] && !f[1] && v.buf.itemsize == item_size(f[0])) ? f[0] : 0;
        }
        PyErr_Clear();
        return v;
    }

    PyObject* data_;
    bool fast_ = false;
    Obj cache_;
    std::unordered_map<PyObject*, View> views_;
};

}  // namespace qtx::engine
