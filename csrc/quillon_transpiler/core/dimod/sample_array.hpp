// A dimod sample set's sample array, read in place: the decoder's per-sample loops read every
// entry, so this view stays on the buffer protocol.
#pragma once
#include "libraries.hpp"

#include <cstdint>
#include <cstring>

namespace qtx::bridge {

/// A read-only view of a sample array's numbers, whatever its integer, bool or float type.
class SampleArray {
public:
    explicit SampleArray(nb::handle samples) {
        arr_ = numpy().attr("ascontiguousarray")(samples);
        if (PyObject_GetBuffer(arr_.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) fail();
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        while (*f == '@' || *f == '=' || *f == '<') ++f;
        code_ = f[1] == '\0' ? f[0] : '\0';
        if (!std::strchr("bBhHiIlLqQfd?", code_) || code_ == '\0')
            raise(PyExc_TypeError, "sample values must be integers, booleans or floats");
        if (view_.ndim != 2) raise(PyExc_ValueError, "sample array must be two-dimensional");
        rows = view_.shape[0];
        cols = view_.shape[1];
    }
    ~SampleArray() {
        if (held_) PyBuffer_Release(&view_);
    }
    SampleArray(const SampleArray&) = delete;
    SampleArray& operator=(const SampleArray&) = delete;

    /// Whether entry (r, c) is not equal to 0 (NaN counts as non-zero).
    bool nonzero(Py_ssize_t r, Py_ssize_t c) const {
        const char* p = (const char*)view_.buf + (r * cols + c) * view_.itemsize;
        switch (code_) {
            case 'f': return load<float>(p) != 0.0f;
            case 'd': return load<double>(p) != 0.0;
            default: return std::memcmp(p, zero_, (size_t)view_.itemsize) != 0;
        }
    }
    /// Entry (r, c) as a Python int, bool or float.
    Obj value(Py_ssize_t r, Py_ssize_t c) const {
        const char* p = (const char*)view_.buf + (r * cols + c) * view_.itemsize;
        switch (code_) {
            case 'b': return integer(load<int8_t>(p));
            case 'B': return integer(load<uint8_t>(p));
            case 'h': return integer(load<int16_t>(p));
            case 'H': return integer(load<uint16_t>(p));
            case 'i': return integer(load<int32_t>(p));
            case 'I': return integer(load<uint32_t>(p));
            case 'l':
            case 'q': return view_.itemsize == 8 ? integer(load<int64_t>(p)) : integer(load<int32_t>(p));
            case 'L':
            case 'Q':
                return view_.itemsize == 8 ? own(PyLong_FromUnsignedLongLong(load<uint64_t>(p)))
                                           : integer(load<uint32_t>(p));
            case '?': return ref(*p ? Py_True : Py_False);
            case 'f': return own(PyFloat_FromDouble(load<float>(p)));
            default: return own(PyFloat_FromDouble(load<double>(p)));
        }
    }
    Py_ssize_t rows = 0, cols = 0;

private:
    template <class T>
    static T load(const char* p) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        return v;
    }
    Obj arr_;
    Py_buffer view_{};
    bool held_ = false;
    char code_ = '\0';
    const char zero_[16] = {};
};

}  // namespace qtx::bridge
