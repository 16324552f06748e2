// The one number layer of the package. Num is a coefficient or constant as Python computes
// with it: exact ints (within int64) and floats are held natively; anything else (big ints,
// bools, NumPy scalars, arrays) stays a Python object and goes through Python's number
// protocol, so results and types match Python. Code that holds Python objects uses the same
// rules through the PyObject* overloads at the end.
#pragma once
#include "py.hpp"

#include <cstdint>
#include <utility>

namespace qtx {

class Num {
public:
    enum Tag : uint8_t { None, Int, Float, Object };

    Num() : tag_(None), i_(0) {}
    static Num of_int(int64_t v) {
        Num n;
        n.tag_ = Int;
        n.i_ = v;
        return n;
    }
    static Num of_float(double v) {
        Num n;
        n.tag_ = Float;
        n.f_ = v;
        return n;
    }
    /// Takes a borrowed Python number.
    static Num of(nb::handle number) {
        PyObject* o = number.ptr();
        if (PyFloat_CheckExact(o)) return of_float(PyFloat_AS_DOUBLE(o));
        if (PyLong_CheckExact(o)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (!overflow && !(v == -1 && PyErr_Occurred())) return of_int(v);
            PyErr_Clear();
        }
        Num n;
        n.tag_ = Object;
        Py_INCREF(o);
        n.o_ = o;
        return n;
    }
    static Num steal(Obj o) { return of(o); }

    Num(const Num& other) : tag_(other.tag_), i_(other.i_) {
        if (tag_ == Object) Py_INCREF(o_);
    }
    Num(Num&& other) noexcept : tag_(other.tag_), i_(other.i_) { other.tag_ = None; }
    Num& operator=(const Num& other) {
        Num tmp(other);
        swap(tmp);
        return *this;
    }
    Num& operator=(Num&& other) noexcept {
        swap(other);
        return *this;
    }
    ~Num() {
        if (tag_ == Object) release();
    }
    void swap(Num& other) noexcept {
        std::swap(tag_, other.tag_);
        std::swap(i_, other.i_);
    }

    /// Becomes a copy of `v`, a number that is no Python object, over one that is none either
    /// (an empty value, as open_room() makes them): nothing to count or release.
    void set_native(const Num& v) {
        tag_ = v.tag_;
        i_ = v.i_;
    }

    Tag tag() const { return tag_; }
    bool empty() const { return tag_ == None; }
    int64_t as_int() const { return i_; }
    double as_float() const { return f_; }

    /// A new reference to the equal Python object.
    Obj py() const {
        switch (tag_) {
            case Int: return own(PyLong_FromLongLong(i_));
            case Float: return own(PyFloat_FromDouble(f_));
            case Object: return ref(o_);
            default: return ref(Py_None);
        }
    }

    /// The value as a double when Python would promote it to one exactly like C does.
    bool promotes(double& out) const {
        if (tag_ == Float) {
            out = f_;
            return true;
        }
        if (tag_ == Int) {
            out = (double)i_;  // Python's int-to-float conversion rounds to nearest too
            return true;
        }
        return false;
    }

private:
    [[gnu::noinline]] void release() { Py_DECREF(o_); }  // kept out of the inlined destructor

    Tag tag_;
    union {
        int64_t i_;
        double f_;
        PyObject* o_;
    };
};

// Each operation has an inline path for the common kinds (two ints without overflow, floats
// and ints) and an out-of-line one for the rest, so the hot loops that call them stay small.

[[gnu::noinline]] inline Num num_add_slow(const Num& a, const Num& b) {
    if (a.tag() == Num::Int && b.tag() == Num::Int) {
        int64_t r;
        if (!__builtin_add_overflow(a.as_int(), b.as_int(), &r)) return Num::of_int(r);
    } else if (a.tag() == Num::Float || b.tag() == Num::Float) {
        double x, y;
        if (a.promotes(x) && b.promotes(y)) return Num::of_float(x + y);
    }
    return Num::steal(own(PyNumber_Add(a.py().ptr(), b.py().ptr())));
}

inline Num num_add(const Num& a, const Num& b) {
    int64_t r;
    if (a.tag() == Num::Int && b.tag() == Num::Int && !__builtin_add_overflow(a.as_int(), b.as_int(), &r))
        return Num::of_int(r);
    double x, y;
    if ((a.tag() == Num::Float || b.tag() == Num::Float) && a.promotes(x) && b.promotes(y)) return Num::of_float(x + y);
    return num_add_slow(a, b);
}

[[gnu::noinline]] inline Num num_mul_slow(const Num& a, const Num& b) {
    if (a.tag() == Num::Int && b.tag() == Num::Int) {
        int64_t r;
        if (!__builtin_mul_overflow(a.as_int(), b.as_int(), &r)) return Num::of_int(r);
    } else if (a.tag() == Num::Float || b.tag() == Num::Float) {
        double x, y;
        if (a.promotes(x) && b.promotes(y)) return Num::of_float(x * y);
    }
    return Num::steal(own(PyNumber_Multiply(a.py().ptr(), b.py().ptr())));
}

inline Num num_mul(const Num& a, const Num& b) {
    int64_t r;
    if (a.tag() == Num::Int && b.tag() == Num::Int && !__builtin_mul_overflow(a.as_int(), b.as_int(), &r))
        return Num::of_int(r);
    double x, y;
    if ((a.tag() == Num::Float || b.tag() == Num::Float) && a.promotes(x) && b.promotes(y)) return Num::of_float(x * y);
    return num_mul_slow(a, b);
}

/// Whether the int v lies below 2**53 in magnitude, where doubles hold every int.
inline bool below_2_53(int64_t v) { return v < (int64_t(1) << 53) && v > -(int64_t(1) << 53); }

/// v + 0.0, as a product adds a term to the float 0.0 its map holds for a key not met yet: a
/// float, as Python's `+` makes it, except for an int of 2**53 or more in magnitude, which stays
/// that int. Doubles do not hold every int there: 2**53 + 1 would become 2**53, and sums of such
/// terms, which cancel in models of large integer data, would be wrong.
[[gnu::noinline]] inline Num plus_zero_slow(const Num& v) {
    if (v.tag() == Num::Object && PyLong_CheckExact(v.py().ptr())) return v;  // past int64
    return num_add(v, Num::of_float(0.0));
}

inline Num plus_zero(const Num& v) {
    if (v.tag() == Num::Float) return Num::of_float(v.as_float() + 0.0);
    if (v.tag() == Num::Int) return below_2_53(v.as_int()) ? Num::of_float((double)v.as_int()) : v;
    return plus_zero_slow(v);
}

/// num_compare for anything but two ints.
[[gnu::noinline]] inline bool num_compare_slow(const Num& a, const Num& b, int op) {
    double x, y;
    bool exact = (a.tag() == Num::Float || a.tag() == Num::Int) && (b.tag() == Num::Float || b.tag() == Num::Int);
    // ints beyond 2**53 compare exactly in Python, not through a double
    auto small = [](const Num& n) {
        return n.tag() != Num::Int || (n.as_int() <= (1LL << 53) && n.as_int() >= -(1LL << 53));
    };
    if (exact && (a.tag() == b.tag() || (small(a) && small(b)))) {
        // two ints never get here: num_compare compares them exactly
        a.promotes(x);
        b.promotes(y);
        switch (op) {
            case Py_EQ: return x == y;
            case Py_NE: return x != y;
            case Py_LT: return x < y;
            case Py_LE: return x <= y;
            case Py_GT: return x > y;
            default: return x >= y;
        }
    }
    return compare(a.py(), b.py(), op);
}

/// Python's `a <op> b` (rich comparison) as a C bool.
inline bool num_compare(const Num& a, const Num& b, int op) {
    if (a.tag() == Num::Int && b.tag() == Num::Int) {
        int64_t p = a.as_int(), q = b.as_int();
        switch (op) {
            case Py_EQ: return p == q;
            case Py_NE: return p != q;
            case Py_LT: return p < q;
            case Py_LE: return p <= q;
            case Py_GT: return p > q;
            default: return p >= q;
        }
    }
    return num_compare_slow(a, b, op);
}

/// Python's `v != 0.0` (NaN counts as different).
inline bool num_nonzero(const Num& v) {
    if (v.tag() == Num::Int) return v.as_int() != 0;
    if (v.tag() == Num::Float) return v.as_float() != 0.0;
    return num_compare(v, Num::of_float(0.0), Py_NE);
}

// ---- the same rules for values held as Python objects ----

inline Obj num_add(nb::handle a, nb::handle b) { return num_add(Num::of(a), Num::of(b)).py(); }
inline Obj num_mul(nb::handle a, nb::handle b) { return num_mul(Num::of(a), Num::of(b)).py(); }
inline bool nonzero(nb::handle v) { return num_nonzero(Num::of(v)); }
inline Obj num_pow(nb::handle a, nb::handle b) { return own(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }

}  // namespace qtx
