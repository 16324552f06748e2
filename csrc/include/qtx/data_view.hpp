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

    /// The element at the index tuple as the Python number `.item()` gives, or null.
    Obj read(PyObject* subs) const { return read(&PyTuple_GET_ITEM(subs, 0), PyTuple_GET_SIZE(subs)); }

    /// The element at int indices as a Num, or an empty Num when out of range or unreadable.
    Num number(const int64_t* idx, Py_ssize_t n) const {
        if (n != buf.ndim || !fmt) return Num();
        const char* p = (const char*)buf.buf;
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (idx[k] < 0 || idx[k] >= buf.shape[k]) return Num();
            p += idx[k] * buf.strides[k];
        }
        switch (fmt) {
            case 'd': return Num::of_float(*(const double*)p);
            case 'f': return Num::of_float((double)*(const float*)p);
            case 'b': return Num::of_int(*(const signed char*)p);
            case 'h': return Num::of_int(*(const short*)p);
            case 'i': return Num::of_int(*(const int*)p);
            case 'l': return Num::of_int(*(const long*)p);
            case 'q': return Num::of_int(*(const long long*)p);
            case 'B': return Num::of_int(*(const unsigned char*)p);
            case 'H': return Num::of_int(*(const unsigned short*)p);
            case 'I': return Num::of_int(*(const unsigned int*)p);
            default: return Num();  // unsigned 64-bit and bools keep their Python types
        }
    }

    Obj read(PyObject* const* idx, Py_ssize_t n) const {
        if (n != buf.ndim) return Obj();
        const char* p = (const char*)buf.buf;
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* o = idx[k];
            if (!PyLong_CheckExact(o)) return Obj();
            Py_ssize_t i = PyLong_AsSsize_t(o);
            if (i == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return Obj();
            }
            if (i < 0 || i >= buf.shape[k]) return Obj();
            p += i * buf.strides[k];
        }
        switch (fmt) {
            case 'd': return own(PyFloat_FromDouble(*(const double*)p));
            case 'f': return own(PyFloat_FromDouble((double)*(const float*)p));
            case 'b': return own(PyLong_FromLong(*(const signed char*)p));
            case 'h': return own(PyLong_FromLong(*(const short*)p));
            case 'i': return own(PyLong_FromLong(*(const int*)p));
            case 'l': return own(PyLong_FromLong(*(const long*)p));
            case 'q': return own(PyLong_FromLongLong(*(const long long*)p));
            case 'B': return own(PyLong_FromUnsignedLong(*(const unsigned char*)p));
            case 'H': return own(PyLong_FromUnsignedLong(*(const unsigned short*)p));
            case 'I': return own(PyLong_FromUnsignedLong(*(const unsigned int*)p));
            case 'L': return own(PyLong_FromUnsignedLong(*(const unsigned long*)p));
            case 'Q': return own(PyLong_FromUnsignedLongLong(*(const unsigned long long*)p));
            case '?': return ref(*(const bool*)p ? Py_True : Py_False);
            default: return Obj();
        }
    }
};

inline Py_ssize_t item_size(char f) {
    switch (f) {
        case 'd': return sizeof(double);
        case 'f': return sizeof(float);
        case 'b': case 'B': case '?': return 1;
        case 'h': case 'H': return sizeof(short);
        case 'i': case 'I': return sizeof(int);
        case 'l': case 'L': return sizeof(long);
        case 'q': case 'Q': return sizeof(long long);
        default: return -1;
    }
}

class DataViews {
public:
    explicit DataViews(PyObject* data) : data_(data) {
        fast_ = Py_TYPE(data) == (PyTypeObject*)types().data_cls;
    }

    /// get_value(name, ()).
    Obj whole(PyObject* name) {
        if (fast_) {
            if (PyObject* v = normalised(name)) return ref(v);
        }
        return get_value(name, types().empty_tuple);
    }

    /// The entry at the given ints straight from the buffer, or an empty Num.
    Num number(PyObject* name, const int64_t* idx, size_t n) {
        if (!fast_) return Num();
        const View& v = view(name);
        return v.ok ? v.number(idx, (Py_ssize_t)n) : Num();
    }

    /// The entry at the given ints straight from the buffer, or null.
    Obj read(PyObject* name, PyObject* const* idx, size_t n) {
        if (!fast_) return Obj();
        const View& v = view(name);
        return v.ok ? v.read(idx, (Py_ssize_t)n) : Obj();
    }

    /// get_value(name, subs).
    Obj at(PyObject* name, PyObject* subs) {
        if (fast_) {
            const View& v = view(name);
            if (v.ok) {
                if (Obj r = v.read(subs)) return r;
            }
        }
        return get_value(name, subs);
    }

private:
    Obj get_value(PyObject* name, PyObject* subs) {
        Obj m = getattr(data_, names().get_value.ptr());
        return call(m.ptr(), {name, subs});
    }

    /// The instance data's cached normal form of `name`, or null when not made yet.
    PyObject* normalised(PyObject* name) {
        if (!cache_) {
            cache_ = getattr(data_, names()._data.ptr());
            if (!PyDict_CheckExact(cache_.ptr())) {
                fast_ = false;
                return nullptr;
            }
        }
        return dict_get(cache_.ptr(), name);
    }

    const View& view(PyObject* name) {
        auto it = views_.find(name);
        if (it != views_.end()) return it->second;
        View& v = views_[name];
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
