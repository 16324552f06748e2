// Binary lowering of whole models on native polynomials: integer variables expanded through an
// encoding table, constraints squared (inequalities with integer slacks), penalties weighted,
// one-hot rules added. Both the dict route (a compiled instance's dicts, read once into Terms)
// and the native route (polynomials that never left C++) run this code, so they produce the
// same terms in the same order with the same coefficients.
#pragma once
#include "plain.hpp"
#include "poly_capsule.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace qtx::pubo {

/// Every variable of a registry as offset + sum of coef * binary, its bounds, and whether its
/// binaries must be one-hot. Binaries are numbered variable by variable.
struct Encoding {
    std::vector<Num> offset, lo, hi;
    std::vector<int32_t> start;  // binaries of variable v: [start[v], start[v + 1])
    std::vector<Num> coef;
    std::vector<uint8_t> onehot, identity;  // identity: offset 0, one binary with coefficient 1
    int32_t nvar = 0;
    bool all_identity = true;  // every variable is its own binary, binary index = variable index
    int32_t nbin() const { return start.back(); }
};

constexpr const char* kEncodingCapsule = "quillon_transpiler.pubo.encoding";

inline Encoding& encoding_of(PyObject* capsule) {
    void* p = PyCapsule_GetPointer(capsule, kEncodingCapsule);
    if (!p) fail();
    return *static_cast<Encoding*>(p);
}

/// A coefficient as Python computes with it; NumPy scalars become the equal Python number.
inline Num number(PyObject* v) { return Num::steal(plain(v)); }
inline Num number(const Num& v) { return v.tag() == Num::Object ? number(v.py().ptr()) : v; }

/// A coefficient map read once: keys as variable indices, values as plain numbers.
inline Terms read_terms(PyObject* coeff) {
    Terms t;
    t.reserve((size_t)map_size(coeff));
    map_each(coeff, [&](PyObject* k, PyObject* v) { t.store(py_key(k), number(v)); });
    return t;
}

inline Key make_key(int32_t* bits, uint32_t n) {
    std::sort(bits, bits + n);
    n = (uint32_t)(std::unique(bits, bits + n) - bits);
    Key k(n);
    std::copy(bits, bits + n, k.data());
    return k;
}

/// The sorted union of two reduced keys.
inline Key key_union(const Key& a, const Key& b) {
    if (a.size() == 1 && b.size() == 1) {  // the common case: two distinct binaries
        int32_t x = a.data()[0], y = b.data()[0];
        if (x != y) {
            Key k(2);
            k.data()[0] = std::min(x, y);
            k.data()[1] = std::max(x, y);
            return k;
        }
    }
    Key k(a.size() + b.size());
    int32_t* end = std::set_union(a.data(), a.data() + a.size(), b.data(), b.data() + b.size(), k.data());
    uint32_t n = (uint32_t)(end - k.data());
    if (n == k.size()) return k;
    Key out(n);
    std::copy(k.data(), end, out.data());
    return out;
}

/// The variable indices of a monomial key, checked against the table.
inline void key_vars(const Key& key, const Encoding& e, std::vector<int32_t>& vars) {
    vars.assign(key.data(), key.data() + key.size());
    for (int32_t v : vars)
        if (v < 0 || v >= e.nvar)
            raisef(PyExc_ValueError, "variable index %lld is not encoded (the encoding covers 0 to %d)", (long long)v,
                   (int)e.nvar - 1);
}

/// A stable sort for ranges made of a few ascending runs (a bucket of the lowering holds one
/// run per source of terms): the runs are found and merged pairwise through one scratch
/// buffer, kept between calls.
template <class T>
class RunSort {
public:
    template <class Less>
    void sort(T* a, size_t n, Less&& less) {
        bounds_.clear();
        bounds_.push_back(0);
        for (size_t i = 1; i < n; ++i)
            if (less(a[i], a[i - 1])) bounds_.push_back(i);
        if (bounds_.size() == 1) return;  // sorted already
        bounds_.push_back(n);
        if (scratch_.size() < n) scratch_.resize(n);
        T* from = a;
        T* to = scratch_.data();
        while (bounds_.size() > 2) {
            // merge runs 0+1, 2+3, ... from `from` into `to`; a left element goes first on ties
            size_t out = 0, kept = 0;
            for (size_t r = 0; r + 1 < bounds_.size(); r += 2) {
                size_t i = bounds_[r], mid = bounds_[r + 1], end = r + 2 < bounds_.size() ? bounds_[r + 2] : mid;
                size_t j = mid;
                bounds_[kept++] = out;
                while (i < mid && j < end) to[out++] = std::move(less(from[j], from[i]) ? from[j++] : from[i++]);
                while (i < mid) to[out++] = std::move(from[i++]);
                while (j < end) to[out++] = std::move(from[j++]);
            }
            bounds_[kept++] = n;
            bounds_.resize(kept);
            std::swap(from, to);
        }
        if (from != a) std::move(from, from + n, a);
    }

private:
    std::vector<size_t> bounds_;  // starts of the runs, then n
    std::vector<T> scratch_;
};

/// Output of an expansion: binary monomials and a constant. A flat Sum only records the
/// contributions in order and leaves merging equal keys to its reader (see merge_flat), which
/// must add them in the same order as accumulate would. Once `limit` records are pending, or
/// (not flat) `limit` terms have been added since, it calls full(owner), which may merge the
/// records away or change the way (see Lowering::compact).
struct Sum {
    using Part = Terms::Entry;
    Terms terms;
    BigVector<Part> flat;
    bool is_flat = false;
    Num constant = Num::of_int(0);
    size_t limit = SIZE_MAX, added = 0;
    void (*full)(void*) = nullptr;
    void* owner = nullptr;
    void add(Key&& k, Num&& v) {
        if (k.size() == 0) {
            constant = num_add(constant, v);
        } else if (is_flat) {
            flat.push_back(Part{std::move(k), std::move(v)});
            if (flat.size() >= limit) full(owner);
        } else {
            terms.accumulate(std::move(k), std::move(v));
            if (++added >= limit) full(owner);
        }
    }
};

/// Adds a * prod(factor encodings) to `out`, every binary product reduced by b*b = b. Products
/// of the encodings' coefficients are formed first (exact for integer encodings), then times a.
class Expander {
public:
    explicit Expander(const Encoding& e) : e_(e) {}

    void monomial(const std::vector<int32_t>& vars, const Num& a, Sum& out) {
        bool ident = true;
        for (int32_t v : vars) ident = ident && e_.identity[(size_t)v];
        if (ident) {
            bits_.resize(vars.size());
            for (size_t i = 0; i < vars.size(); ++i) bits_[i] = e_.start[(size_t)vars[i]];
            out.add(make_key(bits_.data(), (uint32_t)bits_.size()), Num(a));
            return;
        }
        bits_.clear();
        walk(vars, 0, Num(), a, out);
    }

private:
    // `prod` empty means the int 1 (nothing multiplied in yet)
    void walk(const std::vector<int32_t>& vars, size_t f, const Num& prod, const Num& a, Sum& out) {
        if (f == vars.size()) {
            std::vector<int32_t> k(bits_);
            Num v = prod.empty() ? a : num_mul(a, prod);
            out.add(make_key(k.data(), (uint32_t)k.size()), std::move(v));
            return;
        }
        size_t var = (size_t)vars[f];
        const Num& off = e_.offset[var];
        if (num_nonzero(off)) walk(vars, f + 1, prod.empty() ? off : num_mul(prod, off), a, out);
        for (int32_t b = e_.start[var]; b < e_.start[var + 1]; ++b) {
            const Num& c = e_.coef[(size_t)b];
            if (!num_nonzero(c)) continue;
            bits_.push_back(b);
            bool one = c.tag() == Num::Int && c.as_int() == 1;
            walk(vars, f + 1, one ? prod : (prod.empty() ? c : num_mul(prod, c)), a, out);
            bits_.pop_back();
        }
    }

    const Encoding& e_;
    std::vector<int32_t> bits_;
};

/// Whether a key is a strictly increasing run of indices below `n`.
inline bool increasing(const Key& key, int32_t n) {
    uint32_t size = key.size();
    const int32_t* k = key.data();
    if (size == 0 || k[0] < 0 || k[size - 1] >= n) return false;
    for (uint32_t i = 1; i < size; ++i)
        if (k[i] <= k[i - 1]) return false;
    return true;
}

/// Expands a polynomial (terms, constant), each coefficient times `w` (none: unscaled), into `out`.
inline void expand_terms(const Encoding& e, const Terms& t, const Num& constant, const Num* w, Sum& out) {
    if (out.is_flat && out.flat.capacity() < out.flat.size() + t.size()) {
        // at least a term each, up to the records that make the Sum full
        size_t room = std::min(std::max(out.flat.size() + t.size(), out.flat.capacity() * 2), out.limit);
        if (room > out.flat.capacity()) out.flat.reserve(room);
    }
    Expander ex(e);
    std::vector<int32_t> vars;
    Num c = number(constant);
    out.constant = num_add(out.constant, w ? num_mul(*w, c) : c);
    SignalPoll poll;
    for (const auto& entry : t) {
        poll.tick();
        Num a = number(entry.val);
        if (w) a = num_mul(*w, a);
        if (e.all_identity && increasing(entry.key, e.nvar)) {
            out.add(Key(entry.key), std::move(a));  // already a product of distinct binaries
            continue;
        }
        key_vars(entry.key, e, vars);
        ex.monomial(vars, a, out);
    }
}

/// Whether the terms over an all-identity table are their own binary form: every key a strictly
/// increasing run of encoded indices and every coefficient a plain int or float.
inline bool already_binary(const Encoding& e, const Terms::Entry* from, const Terms::Entry* to) {
    if (!e.all_identity) return false;
    for (const auto* entry = from; entry != to; ++entry) {
        if (entry->val.tag() == Num::Object && !PyLong_CheckExact(entry->val.py().ptr())) return false;
        if (!increasing(entry->key, e.nvar)) return false;
    }
    return true;
}
inline bool already_binary(const Encoding& e, const Terms& t) { return already_binary(e, t.begin(), t.end()); }

/// out += w * (c + sum a_i m_i)^2 over binary monomials m_i (m*m = m).
inline void add_square(const Terms& t, const Num& c, const Num& w, Sum& out) {
    std::vector<const Terms::Entry*> es;
    es.reserve(t.size());
    for (const auto& e : t) es.push_back(&e);
    Num two = Num::of_int(2);
    Num two_c = num_mul(two, c);
    bool has_c = num_nonzero(c);
    SignalPoll poll;  // a long sum squares into many terms
    for (size_t i = 0; i < es.size(); ++i) {
        poll.tick(es.size() - i);
        const Num& ai = es[i]->val;
        Num v = num_mul(ai, ai);
        if (has_c) v = num_add(v, num_mul(two_c, ai));
        out.add(Key(es[i]->key), num_mul(w, v));
        Num twice = num_mul(two, ai);
        for (size_t j = i + 1; j < es.size(); ++j)
            out.add(key_union(es[i]->key, es[j]->key), num_mul(w, num_mul(twice, es[j]->val)));
    }
    out.constant = num_add(out.constant, num_mul(w, num_mul(c, c)));
}

/// b_first + ... + b_(last - 1).
// GCC follows the constant 1 into Num's union and warns about a decref of address 1 on a path
// where the tag says Int and no decref happens.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
inline Terms unit_terms(int32_t first, int32_t last) {
    Terms t;
    for (int32_t b = first; b < last; ++b) {
        Key k(1);
        k.data()[0] = b;
        t.accumulate(std::move(k), Num::of_int(1));
    }
    return t;
}
#pragma GCC diagnostic pop

/// The value as an exact integer, when it is integral.
inline bool integral(const Num& v, Num& out) {
    if (v.tag() == Num::Int) {
        out = v;
        return true;
    }
    if (v.tag() == Num::Float) {
        double d = v.as_float();
        if (!std::isfinite(d) || std::floor(d) != d) return false;
        out = Num::steal(own(PyLong_FromDouble(d)));
        return true;
    }
    if (v.tag() == Num::Object) {
        Obj o = v.py();
        if (PyLong_Check(o.ptr())) {
            out = Num::steal(own(PyNumber_Index(o.ptr())));
            return true;
        }
    }
    return false;
}

inline Num num_min(const Num& a, const Num& b) { return num_compare(b, a, Py_LT) ? b : a; }
inline Num num_max(const Num& a, const Num& b) { return num_compare(b, a, Py_GT) ? b : a; }

/// Range of c * prod(x_v ** k_v) over the variables' bounds (integers).
inline void monomial_range(const Encoding& e, std::vector<int32_t> vars, const Num& c, Num& lo, Num& hi) {
    std::sort(vars.begin(), vars.end());
    Num l = Num::of_int(1), h = Num::of_int(1);
    for (size_t i = 0; i < vars.size();) {
        size_t j = i;
        while (j < vars.size() && vars[j] == vars[i]) ++j;
        size_t k = j - i;
        const Num &vl = e.lo[(size_t)vars[i]], &vh = e.hi[(size_t)vars[i]];
        Num pl = Num::of_int(1), ph = Num::of_int(1);
        for (size_t r = 0; r < k; ++r) pl = num_mul(pl, vl), ph = num_mul(ph, vh);
        Num fl, fh;  // range of x ** k
        Num zero = Num::of_int(0);
        if (k % 2 == 1 || num_compare(vl, zero, Py_GE)) {
            fl = pl, fh = ph;
        } else if (num_compare(vh, zero, Py_LE)) {
            fl = ph, fh = pl;
        } else {
            fl = zero, fh = num_max(pl, ph);
        }
        Num p[4] = {num_mul(l, fl), num_mul(l, fh), num_mul(h, fl), num_mul(h, fh)};
        l = num_min(num_min(p[0], p[1]), num_min(p[2], p[3]));
        h = num_max(num_max(p[0], p[1]), num_max(p[2], p[3]));
        i = j;
    }
    Num x = num_mul(c, l), y = num_mul(c, h);
    lo = num_min(x, y);
    hi = num_max(x, y);
}

/// "<kind> `label` at forall key (..)" for messages.
inline std::string item_name(const char* kind, PyObject* label, PyObject* key) {
    std::string s = std::string(kind) + " `" + to_string(label) + "`";
    if (PyTuple_Check(key) && PyTuple_GET_SIZE(key) > 0) s += " at forall key " + to_string(key);
    return s;
}
inline std::string constraint_name(PyObject* label, PyObject* key) { return item_name("Constraint", label, key); }
inline std::string penalty_name(PyObject* label, PyObject* key) { return item_name("Penalty", label, key); }

/// A key as Python shows the tuple: "(3,)", "(3, 7)".
inline std::string key_text(const int32_t* k, uint32_t n) {
    std::string s = "(";
    for (uint32_t i = 0; i < n; ++i) s += (i ? ", " : "") + std::to_string(k[i]);
    return s + (n == 1 ? ",)" : ")");
}

inline std::string num_repr(const Num& v) { return to_string(own(PyObject_Repr(v.py().ptr())).ptr()); }

/// Whether a number is neither infinite nor NaN (ints always are; a value that converts to no
/// float is taken as finite, as nothing here can say otherwise).
inline bool finite(const Num& v) {
    if (v.tag() == Num::Float) return std::isfinite(v.as_float());
    if (v.tag() != Num::Object) return true;
    Obj o = plain(v.py().ptr());
    PyObject* p = o.ptr();
    if (PyLong_Check(p)) return true;
    if (PyFloat_Check(p)) return std::isfinite(PyFloat_AS_DOUBLE(p));
    if (PyComplex_Check(p)) return std::isfinite(PyComplex_RealAsDouble(p)) && std::isfinite(PyComplex_ImagAsDouble(p));
    PyObject* f = PyNumber_Float(p);
    if (!f) {
        PyErr_Clear();
        return true;
    }
    bool ok = std::isfinite(PyFloat_AS_DOUBLE(f));
    Py_DECREF(f);
    return ok;
}

/// Refuses a model item (named by name()) with an inf or NaN coefficient or constant: one of
/// them makes every energy of the binary polynomial NaN.
template <class Name>
void check_finite(const Terms& t, const Num& constant, Name&& name) {
    auto refuse = [&](const std::string& what) {
        raise(PyExc_ValueError,
              name() + ": " + what +
                  ". A binary polynomial needs finite numbers: check the instance data for inf or NaN entries "
                  "(leave a missing entry, such as a road that does not exist, out of the model, or give it a "
                  "large finite value).");
    };
    for (const auto& entry : t)
        if (!finite(entry.val))
            refuse("the term " + key_text(entry.key.data(), entry.key.size()) + " has the coefficient " +
                   num_repr(entry.val));
    if (!finite(constant)) refuse("the constant is " + num_repr(constant));
}

/// Refuses a finished coefficient (or, for no key, the constant) that came out inf or NaN from
/// finite ones: the weighted sums left float64's range.
[[noreturn]] inline void overflowed(const Num& v, const int32_t* key, uint32_t size) {
    std::string what =
        key ? "the coefficient " + num_repr(v) + " of the term " + key_text(key, size) : "the constant " + num_repr(v);
    raise(PyExc_ValueError, what +
                                " of the binary polynomial is not finite, though the model's coefficients are: their "
                                "weighted sums overflow float64. Scale the weights or the instance data down.");
}

/// Comparison kinds of constraints, as the route passes them.
enum Kind : int { kEqual = 1, kLessEqual = 2, kGreaterEqual = 3 };

/// One binary polynomial built item by item: objective(), then constraint() and penalty() in the
/// model's order, then onehot(); finish() merges and hands back the terms.
class Lowering {
public:
    /// `flat`: the terms are read once by merge_flat() instead of finish().
    explicit Lowering(const Encoding& enc, bool flat = false) : e(enc), next_bin(enc.nbin()) {
        out.is_flat = flat_ = flat;
        if (flat) {
            out.limit = kFirstRecords;
            out.full = [](void* self) { static_cast<Lowering*>(self)->compact(); };
            out.owner = this;
        }
    }
    Lowering(const Lowering&) = delete;  // `out` calls back into this object
    Lowering& operator=(const Lowering&) = delete;

    const Encoding& e;
    Sum out;
    Terms base;        // the objective of an all-binary model, copied: every other term is added to it
    Parts base_parts;  // or that objective unmerged (flat lowerings only), as merge_parts reads it
    bool has_base = false;
    int32_t next_bin;
    Obj slacks = own(PyList_New(0));  // (label, forall key, tuple of slack binaries)

    /// The objective, times `sign` (-1 when maximising); its terms are taken over when `owned`.
    void objective(Terms& t, bool owned, const Num& constant, const Num& sign) {
        check_finite(t, constant, [] { return std::string("In objective"); });
        if (already_binary(e, t)) {
            bool unit = sign.tag() == Num::Int && sign.as_int() == 1;
            if (owned)
                base = std::move(t);
            else
                base = t;
            if (!unit)
                for (auto& entry : base) entry.val = num_mul(sign, entry.val);
            has_base = true;
            out.constant = num_mul(sign, number(constant));
        } else {
            expand_terms(e, t, constant, &sign, out);
        }
    }

    /// The objective given as grouped parts (merge_parts makes its terms), times `sign`:
    /// taken over unmerged when every part is already binary and the lowering is flat, and
    /// then true; otherwise false and nothing is done.
    bool objective_parts(Parts& parts, const Num& constant, const Num& sign) {
        bool unit = sign.tag() == Num::Int && sign.as_int() == 1;
        bool minus = sign.tag() == Num::Int && sign.as_int() == -1;  // negation is exact
        if (!out.is_flat || !(unit || minus) || !e.all_identity) return false;
        const PartStats* st = part_stats(parts);
        if (!st || !st->increasing || st->top >= e.nvar) return false;
        // an inf or NaN (or floats summing past float64) goes the merged way, which names it
        if (!std::isfinite(st->float_mass) || !finite(constant)) return false;
        if (st->objects)  // only ints may be Python objects
            for (size_t p = 0; p < parts.size(); ++p)
                if (!already_binary(e, parts.begin(p), parts.end(p))) return false;
        if (minus)
            for (size_t p = 0; p < parts.size(); ++p)
                for (auto* entry = parts.begin(p); entry != parts.end(p); ++entry)
                    entry->val = num_mul(sign, entry->val);
        base_parts = std::move(parts);
        has_base = true;
        out.constant = num_mul(sign, number(constant));
        return true;
    }

    /// One instance of a constraint (lhs - rhs) of the given kind, weighted by w (non-zero).
    void constraint(PyObject* label, PyObject* key, int kind, const Terms& t, const Num& constant, const Num& w) {
        check_finite(t, constant, [&] { return constraint_name(label, key); });
        if (kind == kEqual)
            equality(t, constant, w);
        else if (kind == kLessEqual || kind == kGreaterEqual)
            inequality(label, key, t, constant, Num::of_int(kind == kLessEqual ? 1 : -1), w);
        else
            raise(PyExc_NotImplementedError, "Constraint `" + to_string(label) + "`: unsupported comparison");
    }

    /// One instance of a custom penalty, weighted by w. A flat lowering takes `t` over when it
    /// is `owned` and its own binary form needs no more than reducing repeated variables (every
    /// variable its own binary, plain numbers): merge_flat reads it where it came, in order.
    void penalty(PyObject* label, PyObject* key, Terms& t, bool owned, const Num& constant, const Num& w) {
        check_finite(t, constant, [&] { return penalty_name(label, key); });
        if (!(flat_ && owned && deferrable(t, w))) {
            expand_terms(e, t, constant, &w, out);
            return;
        }
        Num c = number(constant);
        out.constant = num_add(out.constant, num_mul(w, c));
        size_t n = t.size();
        sources_.push_back(Source{std::move(t), w, out.flat.size(), {}, Num()});
        deferred(n);
    }

    /// One instance of a custom penalty given as the square of `base` (terms of one variable
    /// each), weighted by w: taken over, as penalty() takes an owned one, when the square's
    /// terms are their own binary form; false (and nothing done) otherwise. Its terms are made
    /// by merge_flat as poly_power(base, 2) would list them. A square with an inf or NaN is
    /// left to penalty(), which names the expanded term as the dict route does.
    bool square_penalty(Poly& base, const Num& w) {
        if (!flat_ || !e.all_identity || !plain_number(w) || !plain_number(base.constant)) return false;
        if (!finite(base.constant)) return false;
        std::vector<Num> squares;
        squares.reserve(base.terms.size());
        for (const auto& entry : base.terms) {
            int32_t v = entry.key.data()[0];
            if (entry.key.size() != 1 || v < 0 || v >= e.nvar || !plain_number(entry.val) || !finite(entry.val))
                return false;
            squares.push_back(num_squared(entry.val));
            if (!plain_number(squares.back()) || !finite(squares.back())) return false;
        }
        out.constant = num_add(out.constant, num_mul(w, number(num_squared(base.constant))));
        size_t n = base.terms.size();
        sources_.push_back(Source{std::move(base.terms), w, out.flat.size(), std::move(squares), base.constant});
        deferred(n * (n + 3) / 2);  // x_i, x_i x_j (i < j), x_i x_i
        return true;
    }

    /// w * (sum of the group - 1)^2 for every one-hot encoded variable.
    void onehot(const Num& w) {
        const Num minus_one = Num::of_int(-1);
        for (int32_t v = 0; v < e.nvar; ++v)
            if (e.onehot[(size_t)v])
                add_square(unit_terms(e.start[(size_t)v], e.start[(size_t)v + 1]), minus_one, w, out);
    }

    /// The finished terms: a copied objective's keys first, each value objective + the rest.
    Terms finish() {
        if (!has_base) return std::move(out.terms);
        base.reserve(base.size() + out.terms.size());
        SignalPoll poll;
        for (auto& entry : out.terms) {
            poll.tick();
            base.accumulate(std::move(entry));
        }
        out.terms = Terms();
        return std::move(base);
    }

    // A record of merge_flat: a term of degree 1 or 2 by its second index (-1: linear), the
    // objective's part group it came from (or kOther) and its value. Floats, the common case,
    // are held as doubles: records half as large, copied without touching a reference count.
    static constexpr uint32_t kOther = UINT32_MAX;
    // In place, a bucket's merged quadratic terms overwrite its records from the front: `group`
    // then holds the row (see quadratic_in_place).
    struct FloatRec {
        int32_t col;
        uint32_t group;
        double val;
        void set(Num&& v) { val = v.tag() == Num::Int ? (double)v.as_int() : v.as_float(); }
        double take() const { return val; }
        static double add(double a, double b) { return a + b; }  // as num_add on two floats
        static Num num(double v) { return Num::of_float(v); }
    };
    struct NumRec {
        int32_t col;
        uint32_t group;
        Num val;
        void set(Num&& v) { val = std::move(v); }
        Num take() { return std::move(val); }  // the record is left empty
        static Num add(const Num& a, const Num& b) { return num_add(a, b); }
        static Num num(Num&& v) { return std::move(v); }
    };

    /// Set by a reader of merge_flat that takes the quadratic terms as records: when every
    /// value is a float they are written over the records themselves (in `quadratic`, the
    /// first `quadratic_count`, row in `group`) rather than emitted, and reserve() is not called.
    bool quadratic_in_place = false;
    std::unique_ptr<BigArray<FloatRec>> quadratic;
    size_t quadratic_count = 0;

    /// The finished terms of a flat lowering, merged as finish() would (a copied objective's
    /// value plus the sum of the other contributions, those added in order): tells
    /// reserve(n) how many terms of degree 1 and 2 there are at most, then calls
    /// emit(key, size, value) for those by ascending (first, second) index, then for the
    /// higher ones in finish()'s order. Empties the lowering.
    template <class Reserve, class Emit>
    void merge_flat(Reserve&& reserve, Emit&& emit) {
        merge(true, reserve, emit);
    }

private:
    /// merge_flat(), or, when not `final`, the same merge of the contributions besides the
    /// objective (which is left as it is), every term emitted as a Num.
    template <class Reserve, class Emit>
    void merge(bool final, Reserve&& reserve, Emit&& emit) {
        bool objective = final && has_base;
        bool in_place = final && quadratic_in_place;
        SignalPoll poll;
        // Terms of degree 1 and 2 are counted by first index (see below); those of degree 3 and
        // more, rare, are merged through a map in finish()'s order, in the same passes.
        size_t nb = (size_t)next_bin;
        std::vector<size_t> start(nb + 2, 0);
        std::vector<size_t> from_base(nb, 0);  // the objective's records of each bucket
        // Records hold doubles when every value of degree 1 and 2 is a float, or, for a reader
        // that takes floats, an int so small that every sum of ints is exact in a double:
        // each addition then gives what num_add gives, up to the int's kind.
        bool objects = false, ints = false;
        double int_mass = 0;  // the ints' magnitudes summed
        auto note = [&](const Num& v) {
            if (v.tag() == Num::Int) {
                ints = true;
                int_mass += std::fabs((double)v.as_int());
            } else if (v.tag() != Num::Float) {
                objects = true;
            }
        };
        auto count = [&](const Key& k, const Num& v) {
            ++start[(size_t)k.data()[0] + 2];
            note(v);
        };
        auto count_base = [&](const Key& k, const Num& v) {
            count(k, v);
            ++from_base[(size_t)k.data()[0]];
        };
        Terms higher, rest;
        auto count_objective = [&] {
            for (auto& entry : base)
                if (entry.key.size() > 2)
                    higher.store(Key(entry.key), Num(entry.val));
                else
                    count_base(entry.key, entry.val);
            // the parts' terms by group, each group's sum added to the objective's
            Terms group;
            auto close_group = [&] {
                for (auto& entry : group) higher.accumulate(std::move(entry));
                group = Terms();
            };
            for (size_t p = 0; p < base_parts.size(); ++p) {
                if (p > 0 && base_parts.group(p) != base_parts.group(p - 1)) close_group();
                poll.tick(base_parts.terms(p));
                for (auto* entry = base_parts.begin(p); entry != base_parts.end(p); ++entry)
                    if (entry->key.size() > 2)
                        group.accumulate(Key(entry->key), Num(entry->val));
                    else
                        count_base(entry->key, entry->val);
            }
            close_group();
        };
        // an objective in parts without keys of three variables or more was counted as it came
        const PartStats* st = part_stats(base_parts);
        if (objective && base.empty() && st && !st->higher) {
            for (size_t r = 0; r < nb && r < st->rows.size(); ++r) {
                from_base[r] = st->rows[r];
                start[r + 2] += st->rows[r];
            }
            objects = st->objects;
            ints = st->ints;
            int_mass = st->int_mass;
        } else if (objective) {
            count_objective();
        }
        // the terms kept by the last compaction, then every contribution since
        for (size_t i = 0; i < kept_; ++i) {
            if (kept_nums_) {
                ++start[(*kept_nums_)[i].group + 2];
                note((*kept_nums_)[i].val);
            } else {
                ++start[(*kept_floats_)[i].group + 2];
            }
        }
        each_other(
            [&](const Key& k, Num& v) {
                if (k.size() > 2)
                    rest.accumulate(Key(k), std::move(v));  // the key stays: put() skips it by size
                else
                    count(k, v);
            },
            [&](const Source& s) {
                // a square of increasing variables made natively: counted without its terms,
                // its ints' magnitudes bounded from above
                double mass = 0;
                if (!native_square(s, mass)) return false;
                const Terms::Entry* es = s.terms.begin();
                size_t n = s.terms.size();
                for (size_t i = 0; i < n; ++i)
                    if (i > 0 && es[i].key.data()[0] <= es[i - 1].key.data()[0]) return false;
                for (size_t i = 0; i < n; ++i) start[(size_t)es[i].key.data()[0] + 2] += 2 + (n - 1 - i);
                ints = ints || s.w.tag() == Num::Int;  // a float weight makes every term a float
                int_mass += mass;
                return true;
            });
        if (objective)
            for (auto& entry : rest) higher.accumulate(std::move(entry));
        else
            higher = std::move(rest);
        for (size_t r = 2; r < nb + 2; ++r) start[r] += start[r - 1];
        bool floats = !objects && (!ints || (in_place && int_mass < 0x1p52));
        if (!(floats && in_place)) reserve(start[nb + 1]);
        if (floats)
            merge_buckets<FloatRec>(start, from_base, emit, final, in_place);
        else
            merge_buckets<NumRec>(start, from_base, emit, final, in_place);
        for (const auto& entry : higher) emit(entry.key.data(), entry.key.size(), entry.val);
    }

    /// Pending contributions (flat records and what the sources expand to) wait for a
    /// compaction until there are this many, at least. The first comes once there are
    /// kFirstRecords flat records, to tell soon whether they repeat their keys (the sources,
    /// made natively, wait for the rule).
    static constexpr size_t kCompactAt = size_t(1) << 20, kFirstRecords = size_t(1) << 16;
    size_t threshold_ = kCompactAt;
    bool compacted_ = false;
    size_t source_terms_ = 0;  // contributions the pending sources make

    /// A source of n contributions was put aside; while the Sum adds into the map, it is added
    /// there at once.
    void deferred(size_t n) {
        if (!out.is_flat) {
            each_other([&](const Key& k, Num& v) { out.terms.accumulate(Key(k), std::move(v)); },
                       [](const Source&) { return false; }, false);
            sources_.clear();
            out.added += n;
            if (out.added >= out.limit) compact();
            return;
        }
        source_terms_ += n;
        if (out.flat.size() + source_terms_ >= threshold_)
            compact();
        else
            out.limit = compacted_ ? threshold_ - source_terms_ : std::min(threshold_ - source_terms_, kFirstRecords);
    }

    /// Merges the pending contributions into one term per key holding the sum of its
    /// contributions so far (in order, as merge_flat and finish() add them: later ones add to
    /// it, so every result stays the same), the objective left apart. Memory then follows the
    /// distinct terms: the next compaction waits for twice as many contributions as there are
    /// terms, which also keeps the time linear. When the contributions came at least twice per
    /// term, the rest are added into out.terms as they come (finish()'s way), until they bring
    /// new terms again.
    void compact() {
        compacted_ = true;
        size_t before = out.terms.size() + kept_;
        if (!out.is_flat) {
            if ((before - terms_seen_) * kRepeats > out.added) flat_again();
            terms_seen_ = before;
            out.added = 0;
            return;
        }
        // sorted by key and merged as merge_flat does, no lookup per contribution: the terms of
        // degree 1 and 2 kept as records, the others in out.terms
        size_t pending = out.flat.size() + source_terms_;
        Terms merged;
        merge(
            false, [](size_t) {},
            [&](const int32_t* k, uint32_t n, const Num& v) { merged.push_distinct(Key(k, n), Num(v)); });
        out.terms = std::move(merged);
        source_terms_ = 0;
        if ((out.terms.size() + kept_) * kRepeats > before + pending) {
            flat_again();
            return;
        }
        // into the map, where the contributions will be added
        auto key = [](uint32_t row, int32_t col) {
            Key k(col < 0 ? 1 : 2);
            k.data()[0] = (int32_t)row;
            if (col >= 0) k.data()[1] = col;
            return k;
        };
        for (size_t i = 0; i < kept_; ++i) {
            if (kept_nums_) {
                NumRec& r = (*kept_nums_)[i];
                out.terms.push_distinct(key(r.group, r.col), std::move(r.val));
            } else {
                const FloatRec& r = (*kept_floats_)[i];
                out.terms.push_distinct(key(r.group, r.col), Num::of_float(r.val));
            }
        }
        kept_floats_.reset();
        kept_nums_.reset();
        kept_ = 0;
        out.is_flat = false;
        BigVector<Sum::Part>().swap(out.flat);
        terms_seen_ = out.terms.size();
        out.added = 0;
        out.limit = std::max(kCompactAt, 2 * out.terms.size());
    }

    static constexpr size_t kRepeats = 2;  // contributions per term that make adding into the map pay
    size_t terms_seen_ = 0;                // terms in the map when the last contributions began to come
    bool flat_ = false;
    // The last compaction's terms of degree 1 and 2, by row then column (row in `group`,
    // column -1 for a linear term): the first kept_ records of one of the two.
    std::unique_ptr<BigArray<FloatRec>> kept_floats_;
    std::unique_ptr<BigArray<NumRec>> kept_nums_;
    size_t kept_ = 0;

    void flat_again() {
        out.is_flat = true;
        threshold_ = std::max(kCompactAt, 2 * (out.terms.size() + kept_));
        out.limit = threshold_;
    }

    /// An int or float held natively: no Python object behind it.
    static bool plain_number(const Num& v) { return v.tag() == Num::Int || v.tag() == Num::Float; }

    /// A penalty taken over whole: its terms, weight, and the flat parts that came before it;
    /// for a square, its base's terms, their squares and the base's constant.
    struct Source {
        Terms terms;
        Num w;
        size_t flat_at;
        std::vector<Num> squares;  // empty: not a square
        Num c;
    };
    std::vector<Source> sources_;

    bool deferrable(const Terms& t, const Num& w) const {
        if (!e.all_identity || !plain_number(w)) return false;
        for (const auto& entry : t) {
            uint32_t n = entry.key.size();
            const int32_t* k = entry.key.data();
            // keys are sorted: the ends bound every variable
            if (n == 0 || k[0] < 0 || k[n - 1] >= e.nvar || !plain_number(entry.val)) return false;
        }
        return true;
    }

    /// Whether a square's terms are made without a Python object: a float or int weight, and
    /// base values and constant that are floats or ints, all below 2^20 in magnitude (every
    /// product then stays within int64). `mass` gets a bound of the ints' magnitudes summed.
    static bool native_square(const Source& s, double& mass) {
        constexpr double kBound = double(1 << 20);
        auto small = [&](const Num& v) {
            double x = 0;
            return (v.tag() == Num::Float || v.tag() == Num::Int) && v.promotes(x) &&
                   (v.tag() == Num::Float || std::fabs(x) < kBound);
        };
        if (s.squares.empty() || !small(s.w) || !small(s.c)) return false;
        double sum = 0, squares = 0;  // of the int values' magnitudes, of their squares
        for (const auto& entry : s.terms) {
            if (!small(entry.val)) return false;
            double x = entry.val.tag() == Num::Int ? std::fabs(promoted(entry.val)) : 0.0;
            sum += x, squares += x * x;
        }
        // the terms w * 2 v_i c, w * 2 v_i v_j (i < j) and w * v_i^2 are ints when all their
        // factors are
        double c = s.c.tag() == Num::Int ? std::fabs(promoted(s.c)) : 0.0;
        mass = s.w.tag() == Num::Int ? std::fabs(promoted(s.w)) * (2 * sum * c + sum * sum + squares) : 0.0;
        return true;
    }

    /// A native_square()'s number as num_mul promotes it.
    static double promoted(const Num& v) {
        double x = 0;
        v.promotes(x);
        return x;
    }

    /// w * (a * b) as num_mul computes it, for a native_square()'s numbers and a float w.
    static double weighted(double w, const Num& a, const Num& b) {
        if (a.tag() == Num::Int && b.tag() == Num::Int) return w * (double)(a.as_int() * b.as_int());
        return w * (promoted(a) * promoted(b));
    }

    /// Calls f(key, value) for every contribution besides the objective, in order: the terms
    /// compacted so far (unless not `compacted`), the flat parts, and the penalties taken over
    /// where they came (weighted here, a key with a repeated variable reduced, as the expansion
    /// does). f may take the value. A square for which skip(source) is true is passed over.
    template <class F, class Skip>
    void each_other(F&& f, Skip&& skip, bool compacted = true) {
        SignalPoll poll;
        size_t at = 0;
        auto flat_to = [&](size_t end) {
            for (; at < end; ++at) {
                poll.tick();
                f(out.flat[at].key, out.flat[at].val);
            }
        };
        if (compacted)
            for (auto& entry : out.terms) {  // every contribution in them came first
                poll.tick();
                f(entry.key, entry.val);
            }
        int32_t bits[Key::kInline];
        const Num two = Num::of_int(2);
        for (auto& s : sources_) {
            flat_to(s.flat_at);
            poll.tick(s.terms.size());
            if (!s.squares.empty() && skip(static_cast<const Source&>(s))) continue;
            if (!s.squares.empty()) {
                // poly_power's terms of the square, in its order: x_i, x_i x_j (j > i), x_i x_i
                // (reduced to x_i), each weighted as a penalty's term; computed natively when
                // they are floats that num_mul would make from C numbers
                auto square = [&](auto native) {
                    constexpr bool kNative = decltype(native)::value;
                    double w = kNative ? s.w.as_float() : 0.0;
                    auto weigh = [&](const Num& twice, const Num& b) {
                        if constexpr (kNative) return Num::of_float(weighted(w, twice, b));
                        return num_mul(s.w, num_mul(twice, b));
                    };
                    const Terms::Entry* es = s.terms.begin();
                    size_t n = s.terms.size();
                    for (size_t i = 0; i < n; ++i) {
                        poll.tick(n - i);
                        int32_t a = es[i].key.data()[0];
                        Num twice = num_mul(two, es[i].val);
                        Key single(1);
                        single.data()[0] = a;
                        Num v = weigh(twice, s.c);
                        f(single, v);
                        for (size_t j = i + 1; j < n; ++j) {
                            int32_t b = es[j].key.data()[0];
                            Key k(2);
                            k.data()[0] = std::min(a, b);
                            k.data()[1] = std::max(a, b);
                            Num u = weigh(twice, es[j].val);
                            f(k, u);
                        }
                        Num q = kNative ? Num::of_float(w * promoted(s.squares[i])) : num_mul(s.w, s.squares[i]);
                        f(single, q);
                    }
                };
                double mass = 0;
                if (native_square(s, mass) && s.w.tag() == Num::Float)
                    square(std::true_type());
                else
                    square(std::false_type());
                continue;
            }
            for (auto& entry : s.terms) {
                Num v = num_mul(s.w, entry.val);
                const Key& k = entry.key;
                if (increasing(k, e.nvar)) {
                    f(k, v);
                    continue;
                }
                uint32_t n = k.size();
                Key reduced;
                if (n <= Key::kInline) {
                    std::copy(k.data(), k.data() + n, bits);
                    reduced = make_key(bits, n);
                } else {
                    std::vector<int32_t> many(k.data(), k.data() + n);
                    reduced = make_key(many.data(), n);
                }
                f(reduced, v);
            }
        }
        flat_to(out.flat.size());
    }

    /// merge_flat's records bucketed by first index (the objective's entries first, then the
    /// contributions in order), each bucket sorted stably by second index and its equal keys
    /// merged. `start` holds the buckets' beginnings, from index 1; `from_base` the objective's
    /// records in each. Large float lowerings written in place run on two threads: the
    /// objective's records are placed by a helper while this thread places the others, then
    /// each sorts and merges half the buckets. The helper touches no Python object: in place,
    /// every value is a float and every term it emits is a linear one, stored by index.
    /// Not `final` (a compaction), the objective is left out and kept.
    template <class Rec, class Emit>
    void merge_buckets(std::vector<size_t>& start, const std::vector<size_t>& from_base, Emit&& emit, bool final,
                       bool quadratic_in_place) {
        using V = decltype(std::declval<Rec&>().take());
        constexpr bool floats = std::is_same<Rec, FloatRec>::value;
        size_t nb = start.size() - 2;
        size_t total = start[nb + 1];
        auto owner = std::make_unique<BigArray<Rec>>(total);  // filled below, one record per slot
        BigArray<Rec>& recs = *owner;
        bool in_place = floats && quadratic_in_place;
        bool two = in_place && total >= kParallel;
        // bucket r is [first[r], first[r + 1])
        std::vector<size_t> first(nb + 1);
        for (size_t r = 0; r <= nb; ++r) first[r] = start[r + 1];
        std::vector<size_t> at_base(first.begin(), first.end() - 1), at_other(nb);
        for (size_t r = 0; r < nb; ++r) at_other[r] = first[r] + from_base[r];
        auto put = [&](std::vector<size_t>& at, const Key& k, Num&& v, uint32_t group) {
            if (k.size() > 2) return;
            Rec& rec = recs[at[(size_t)k.data()[0]]++];
            rec.col = k.size() == 2 ? k.data()[1] : -1;
            rec.group = group;
            rec.set(std::move(v));
        };
        auto put_base = [&](bool poll_signals) {
            SignalPoll poll;
            for (auto& entry : base) put(at_base, entry.key, std::move(entry.val), 0);
            for (size_t p = 0; p < base_parts.size(); ++p) {
                if (poll_signals) poll.tick(base_parts.terms(p));
                uint32_t g = base_parts.group(p);
                for (auto* entry = base_parts.begin(p); entry != base_parts.end(p); ++entry)
                    put(at_base, entry->key, std::move(entry->val), g);
                if (p + 1 == base_parts.size() || base_parts.block(p + 1) != base_parts.block(p))
                    base_parts.free_block(base_parts.block(p));  // read through: memory goes back early
            }
        };
        auto put_others = [&] {
            for (size_t i = 0; i < kept_; ++i) {  // before anything that came after them
                if (kept_nums_) {
                    NumRec& from = (*kept_nums_)[i];
                    Rec& rec = recs[at_other[from.group]++];
                    rec.col = from.col;
                    rec.group = kOther;
                    rec.set(std::move(from.val));
                } else {
                    const FloatRec& from = (*kept_floats_)[i];
                    Rec& rec = recs[at_other[from.group]++];
                    rec.col = from.col;
                    rec.group = kOther;
                    if constexpr (floats)
                        rec.val = from.val;
                    else
                        rec.set(Num::of_float(from.val));
                }
            }
            kept_floats_.reset();
            kept_nums_.reset();
            kept_ = 0;
            each_other([&](const Key& k, Num& v) { put(at_other, k, std::move(v), kOther); },
                       [](const Source&) { return false; });
        };
        if (two) {
            Helper helper([&] { put_base(false); });
            put_others();
            helper.join();
        } else {
            if (final) put_base(true);
            put_others();
        }
        if (final) {
            base = Terms();
            base_parts.clear();
            BigVector<Sum::Part>().swap(out.flat);
        } else {
            out.flat.clear();  // its room is taken again up to the next compaction
        }
        out.terms = Terms();
        sources_.clear();

        struct Acc {  // a running sum; empty until the first value
            V v{};
            bool has = false;
            void add(V&& x) {
                if (has) {
                    v = Rec::add(v, x);
                } else {
                    v = std::move(x);
                    has = true;
                }
            }
        };
        // the first term written in place that is not finite, refused once the threads are done
        struct Unfinite {
            bool seen = false;
            int32_t key[2];
            double val;
        };
        // Buckets [from, to), their quadratic terms written in place from `written` on.
        auto merge_range = [&](size_t from, size_t to, size_t& written, bool poll_signals, Unfinite& unfinite) {
            SignalPoll poll;
            RunSort<Rec> sorter;
            int32_t key[2];
            auto done = [&](V&& v) {
                if (!final) {  // a compaction keeps the terms as records, over those read
                    Rec& o = recs[written++];
                    o.col = key[1];
                    o.group = (uint32_t)key[0];
                    o.val = std::move(v);
                    return;
                }
                if constexpr (floats) {
                    if (in_place && key[1] >= 0) {
                        if (!std::isfinite(v) && !unfinite.seen) unfinite = Unfinite{true, {key[0], key[1]}, v};
                        FloatRec& o = recs[written++];  // never past the records read: each term took one
                        o.col = key[1];
                        o.group = (uint32_t)key[0];
                        o.val = v;
                        return;
                    }
                }
                emit(key, key[1] < 0 ? 1u : 2u, Rec::num(std::move(v)));
            };
            for (size_t r = from; r < to; ++r) {
                size_t lo = first[r], hi = first[r + 1];
                if (poll_signals) poll.tick(hi - lo);
                sorter.sort(recs.get() + lo, hi - lo, [](const Rec& a, const Rec& b) { return a.col < b.col; });
                key[0] = (int32_t)r;
                for (size_t i = lo; i < hi;) {
                    int32_t col = recs[i].col;
                    key[1] = col;
                    if (i + 1 == hi || recs[i + 1].col != col) {  // a key met once, nearly all of them
                        done(recs[i++].take());
                        continue;
                    }
                    // the objective's value (each group's parts added in order, then the groups),
                    // plus the others' sum; the objective's records come first, in part order
                    Acc base_sum, group, sum;
                    uint32_t current = kOther;
                    for (; i < hi && recs[i].col == col; ++i) {
                        Rec& rec = recs[i];
                        if (rec.group == kOther) {
                            sum.add(rec.take());
                            continue;
                        }
                        if (rec.group != current && group.has) base_sum.add(std::move(group.v));
                        if (rec.group != current) group = Acc();
                        current = rec.group;
                        group.add(rec.take());
                    }
                    if (group.has) base_sum.add(std::move(group.v));
                    if (base_sum.has && sum.has)
                        done(Rec::add(base_sum.v, sum.v));
                    else
                        done(base_sum.has ? std::move(base_sum.v) : std::move(sum.v));
                }
            }
        };
        size_t written = 0;
        Unfinite unfinite[2];
        if (two) {
            // the second half of the records, from the bucket where it begins, to the helper;
            // its terms are moved down behind the first half's afterwards
            size_t mid = (size_t)(std::lower_bound(first.begin(), first.end(), total / 2) - first.begin());
            size_t later = first[mid];
            Helper helper([&] { merge_range(mid, nb, later, false, unfinite[1]); });
            merge_range(0, mid, written, true, unfinite[0]);
            helper.join();
            if (written < first[mid])
                std::memmove(static_cast<void*>(recs.get() + written), recs.get() + first[mid],
                             (later - first[mid]) * sizeof(Rec));
            written += later - first[mid];
        } else {
            merge_range(0, nb, written, true, unfinite[0]);
        }
        for (const Unfinite& u : unfinite)
            if (u.seen) overflowed(Num::of_float(u.val), u.key, 2);
        if (!final) {
            if constexpr (floats)
                kept_floats_ = std::move(owner);
            else
                kept_nums_ = std::move(owner);
            kept_ = written;
            return;
        }
        recs.emptied();
        if constexpr (floats) {
            if (in_place) {
                quadratic = std::move(owner);
                quadratic_count = written;
            }
        }
    }

    static constexpr size_t kParallel = size_t(1) << 16;  // records worth a second thread

    /// A second thread running `work`, joined at the latest when the helper goes (so no
    /// exception of this thread leaves it running); join() passes on what it threw. When no
    /// thread can be started (memory is short, say), join() runs the work on this thread.
    class Helper {
    public:
        template <class F>
        explicit Helper(F&& work) : work_(std::forward<F>(work)) {
            try {
                thread_ = std::thread([this] {
                    try {
                        work_();
                    } catch (...) {
                        error_ = std::current_exception();
                    }
                });
            } catch (const std::exception&) {
                here_ = true;
            }
        }
        Helper(const Helper&) = delete;
        Helper& operator=(const Helper&) = delete;
        ~Helper() {
            if (thread_.joinable()) thread_.join();
        }
        void join() {
            if (here_) {
                here_ = false;
                work_();
                return;
            }
            thread_.join();
            if (error_) std::rethrow_exception(error_);
        }

    private:
        std::function<void()> work_;
        std::exception_ptr error_;
        bool here_ = false;
        std::thread thread_;  // last: started once the rest exists
    };

    /// lhs <= 0 (sign -1 turns lhs >= 0 into -lhs <= 0) as w * (lhs + s)^2, s an integer slack
    /// in [0, -min lhs]; dropped when lhs <= 0 holds on the whole box of the bounds.
    void inequality(PyObject* label, PyObject* key, const Terms& t, const Num& constant, const Num& sign,
                    const Num& w) {
        Num c0 = num_mul(sign, number(constant)), ic;
        auto non_integral = [&](const Num& v) {
            std::string shown = to_string(own(PyObject_Repr(v.py().ptr())).ptr());
            raise(PyExc_ValueError, constraint_name(label, key) +
                                        ": the inequality has the non-integral coefficient or constant " + shown +
                                        "; its slack variable takes integer values only, so feasible assignments "
                                        "would be penalised. Scale the constraint to integer coefficients or write "
                                        "it as a custom penalty.");
        };
        if (!integral(c0, ic)) non_integral(c0);
        Num lo = ic, hi = ic;
        for (const auto& entry : t) {
            Num a = num_mul(sign, number(entry.val)), ia, ml, mh;
            if (!integral(a, ia)) non_integral(a);
            key_vars(entry.key, e, vars_);
            monomial_range(e, vars_, ia, ml, mh);
            lo = num_add(lo, ml);
            hi = num_add(hi, mh);
        }
        Num zero = Num::of_int(0);
        if (num_compare(hi, zero, Py_LE)) return;  // holds everywhere
        Sum lhs;
        expand_terms(e, t, constant, &sign, lhs);
        Num slack = num_mul(Num::of_int(-1), lo);
        if (num_compare(slack, zero, Py_GT)) {
            if (slack.tag() != Num::Int || slack.as_int() > (1LL << 52))
                raise(PyExc_ValueError, constraint_name(label, key) + ": the slack range " +
                                            to_string(slack.py().ptr()) + " is too large to encode");
            int64_t range = slack.as_int();
            int bits = 64 - __builtin_clzll((unsigned long long)range);
            Obj list = own(PyTuple_New(bits));
            for (int i = 0; i < bits; ++i) {
                int64_t c = i + 1 < bits ? (int64_t)1 << i : range - (((int64_t)1 << (bits - 1)) - 1);
                Key k(1);
                k.data()[0] = next_bin;
                lhs.terms.accumulate(std::move(k), Num::of_int(c));
                PyTuple_SET_ITEM(list.ptr(), i, integer(next_bin).release().ptr());
                if (next_bin == INT32_MAX) raise(PyExc_OverflowError, "too many binaries");
                ++next_bin;
            }
            Obj rec = own(PyTuple_Pack(3, label, key, list.ptr()));
            if (PyList_Append(slacks.ptr(), rec.ptr()) < 0) fail();
        }
        add_square(lhs.terms, lhs.constant, w, out);
    }

    void equality(const Terms& t, const Num& constant, const Num& w) {
        Sum lhs;
        expand_terms(e, t, constant, nullptr, lhs);
        add_square(lhs.terms, lhs.constant, w, out);
    }

    std::vector<int32_t> vars_;
};

}  // namespace qtx::pubo
