// Native: Num without its Python objects, for the engine's hot loops. An int64 or a double
// with Num's arithmetic for them (so results and kinds are Num's), and Lost where Num would go
// to Python (an int that overflows): a computation that meets Lost is done again with Num.
// Trivially copyable, so a loop keeps its numbers in registers.
#pragma once
#include "num.hpp"

namespace qtx {

class Native {
public:
    enum Tag : uint8_t { None, Int, Float, Lost };

    Native() : tag_(None), i_(0) {}
    static Native of_int(int64_t v) {
        Native n;
        n.tag_ = Int;
        n.i_ = v;
        return n;
    }
    static Native of_float(double v) {
        Native n;
        n.tag_ = Float;
        n.f_ = v;
        return n;
    }
    /// An int or float Num as it is; anything else Lost.
    static Native of(const Num& v) {
        if (v.tag() == Num::Int) return of_int(v.as_int());
        if (v.tag() == Num::Float) return of_float(v.as_float());
        Native n;
        n.tag_ = Lost;
        return n;
    }
    static Native lost() {
        Native n;
        n.tag_ = Lost;
        return n;
    }

    Tag tag() const { return tag_; }
    bool empty() const { return tag_ == None; }
    bool lost_value() const { return tag_ == Lost; }
    int64_t as_int() const { return i_; }
    double as_float() const { return f_; }
    Num num() const { return tag_ == Int ? Num::of_int(i_) : Num::of_float(f_); }

    bool promotes(double& out) const {
        if (tag_ == Float) {
            out = f_;
            return true;
        }
        if (tag_ == Int) {
            out = (double)i_;
            return true;
        }
        return false;
    }

private:
    Tag tag_;
    union {
        int64_t i_;
        double f_;
    };
};

// num_add, num_mul and num_nonzero of num.hpp for two ints or an int and a float, or a float
// and a float: the same results; Lost for what Num computes in Python.

inline Native num_add(const Native& a, const Native& b) {
    if (a.tag() == Native::Int && b.tag() == Native::Int) {
        int64_t r;
        if (__builtin_add_overflow(a.as_int(), b.as_int(), &r)) return Native::lost();
        return Native::of_int(r);
    }
    double x, y;
    if ((a.tag() == Native::Float || b.tag() == Native::Float) && a.promotes(x) && b.promotes(y))
        return Native::of_float(x + y);
    return Native::lost();
}

inline Native num_mul(const Native& a, const Native& b) {
    if (a.tag() == Native::Int && b.tag() == Native::Int) {
        int64_t r;
        if (__builtin_mul_overflow(a.as_int(), b.as_int(), &r)) return Native::lost();
        return Native::of_int(r);
    }
    double x, y;
    if ((a.tag() == Native::Float || b.tag() == Native::Float) && a.promotes(x) && b.promotes(y))
        return Native::of_float(x * y);
    return Native::lost();
}

/// plus_zero of num.hpp: v + 0.0, an int of 2**53 or more in magnitude left as it is.
inline Native plus_zero(const Native& v) {
    if (v.tag() == Native::Float) return Native::of_float(v.as_float() + 0.0);
    if (v.tag() == Native::Int) return below_2_53(v.as_int()) ? Native::of_float((double)v.as_int()) : v;
    return v;
}

/// v != 0.0; a Lost value counts as nonzero (whatever depends on it is Lost too, or given up).
inline bool num_nonzero(const Native& v) {
    if (v.tag() == Native::Int) return v.as_int() != 0;
    if (v.tag() == Native::Float) return v.as_float() != 0.0;
    return true;
}

}  // namespace qtx
