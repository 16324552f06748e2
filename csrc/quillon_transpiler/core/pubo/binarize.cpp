// Binary lowering: the reduction of monomials by x*x = x, and the expansion of polynomials over
// integer variables through an encoding table (each variable = offset + sum of coefficient *
// binary), for one polynomial or for a whole compiled instance at once.
#include "qtx/module.hpp"
#include "qtx/binary.hpp"
#include "qtx/npoly.hpp"
#include "qtx/plain.hpp"
#include "qtx/maps.hpp"
#include "surface.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

using namespace qtx;

namespace {

const Names& N = names();

/// Whether every key is a strictly increasing tuple of ints: then no two keys merge.
bool keys_reduced(PyObject* coeff) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(coeff, &pos, &k, &v)) {
        if (!PyTuple_CheckExact(k)) return false;
        long long prev = 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(k); ++i) {
            PyObject* o = PyTuple_GET_ITEM(k, i);
            if (!PyLong_CheckExact(o)) return false;
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow || (i && x <= prev)) return false;
            prev = x;
        }
    }
    return true;
}

Obj multiply_reduction(PyObject* coeff) {
    check_arg(coeff, &PyDict_Type, "coeff");
    Obj zero = float_zero();
    if (keys_reduced(coeff)) {
        // the same keys in the same order: copy, then make every value value + 0.0 (a float
        // other than -0.0 already is)
        Obj out = own(PyDict_Copy(coeff));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(out.ptr(), &pos, &k, &v)) {
            if (PyFloat_CheckExact(v) && !(PyFloat_AS_DOUBLE(v) == 0.0 && std::signbit(PyFloat_AS_DOUBLE(v)))) continue;
            Obj key = ref(k);
            Obj sum = num_add(Num::of(v), Num::of(zero.ptr())).py();
            dict_set(out.ptr(), key.ptr(), sum.ptr());  // an existing key: no resize
        }
        return out;
    }
    Obj out = own(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(coeff, &pos, &k, &v)) {
        Obj key = ref(k), value = ref(v);  // an addition may run Python code
        Obj reduced = reduced_key(key.ptr());
        Num n = Num::of(value.ptr());
        if (n.tag() == Num::Int || n.tag() == Num::Float) {
            // one lookup for a new key: store value + 0.0 unless the key is already there
            Obj first = num_add(n, Num::of(zero.ptr())).py();
            Py_ssize_t size = PyDict_GET_SIZE(out.ptr());
            PyObject* old = PyDict_SetDefault(out.ptr(), reduced.ptr(), first.ptr());
            if (!old) fail();
            if (PyDict_GET_SIZE(out.ptr()) == size)
                dict_set(out.ptr(), reduced.ptr(), num_add(n, Num::of(old)).py().ptr());
        } else {
            PyObject* old = dict_get(out.ptr(), reduced.ptr());
            Obj base = old ? ref(old) : zero;
            dict_set(out.ptr(), reduced.ptr(), num_add(n, Num::of(base.ptr())).py().ptr());
        }
    }
    return out;
}

Obj binary_multiply_reduction(PyObject* const* a) { return multiply_reduction(a[0]); }

Obj subs_ir_to_binary(PyObject* const* a) {
    Obj coeff = getattr(a[0], N.coeff.ptr());
    Obj constant = getattr(a[0], N.constant.ptr());
    Obj result = call(a[1], {coeff.ptr(), constant.ptr()});
    Obj binary_coeff, binary_constant;
    unpack2(result.ptr(), binary_coeff, binary_constant);
    Obj reduced = multiply_reduction(binary_coeff.ptr());
    Obj model = import_attr("quillon_transpiler.core.pubo.int_encoder", "BinaryModel");
    return call(model.ptr(), {reduced.ptr(), binary_constant.ptr()});
}

// ---- encoding tables ----

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

const char* kCapsule = "quillon_transpiler.pubo.encoding";

Encoding& table(PyObject* capsule) {
    void* p = PyCapsule_GetPointer(capsule, kCapsule);
    if (!p) fail();
    return *static_cast<Encoding*>(p);
}

/// A coefficient as Python computes with it; NumPy scalars become the equal Python number.
Num number(PyObject* v) { return Num::steal(plain(v)); }

/// _encoding_table(nvar, specs): specs maps a variable index to (offset, coefficients, lower,
/// upper, onehot); every other variable is a binary of its own.
Obj encoding_table(PyObject* const* a) {
    long long nvar = PyLong_AsLongLong(a[0]);
    if (nvar == -1 && PyErr_Occurred()) fail();
    if (nvar < 0 || nvar > INT32_MAX) raise(PyExc_ValueError, "variable count out of range");
    if (!PyDict_Check(a[1])) raise(PyExc_TypeError, "specs must be a dict");
    std::unique_ptr<Encoding> e(new Encoding());
    e->nvar = (int32_t)nvar;
    size_t n = (size_t)nvar;
    e->offset.assign(n, Num::of_int(0));
    e->lo.assign(n, Num::of_int(0));
    e->hi.assign(n, Num::of_int(1));
    e->onehot.assign(n, 0);
    e->identity.assign(n, 1);
    std::vector<std::vector<Num>> coefs(n, std::vector<Num>{Num::of_int(1)});
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(a[1], &pos, &k, &v)) {
        long long i = PyLong_AsLongLong(k);
        if (i == -1 && PyErr_Occurred()) fail();
        if (i < 0 || i >= nvar) raise(PyExc_ValueError, "variable index out of range");
        if (!PyTuple_CheckExact(v) || PyTuple_GET_SIZE(v) != 5) raise(PyExc_TypeError, "spec must be a 5-tuple");
        size_t u = (size_t)i;
        e->offset[u] = number(PyTuple_GET_ITEM(v, 0));
        Obj seq = own(PySequence_Fast(PyTuple_GET_ITEM(v, 1), "coefficients must be a sequence"));
        coefs[u].clear();
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.ptr()); ++j)
            coefs[u].push_back(number(PySequence_Fast_GET_ITEM(seq.ptr(), j)));
        e->lo[u] = number(PyTuple_GET_ITEM(v, 2));
        e->hi[u] = number(PyTuple_GET_ITEM(v, 3));
        e->onehot[u] = truth(PyTuple_GET_ITEM(v, 4));
        e->identity[u] = 0;
        e->all_identity = false;
    }
    e->start.reserve(n + 1);
    e->start.push_back(0);
    for (size_t u = 0; u < n; ++u) {
        if ((size_t)e->start.back() + coefs[u].size() > (size_t)INT32_MAX) raise(PyExc_OverflowError, "too many binaries");
        for (auto& c : coefs[u]) e->coef.push_back(std::move(c));
        e->start.push_back((int32_t)e->coef.size());
    }
    Encoding* raw = e.release();
    PyObject* cap = PyCapsule_New(raw, kCapsule, [](PyObject* c) {
        delete static_cast<Encoding*>(PyCapsule_GetPointer(c, kCapsule));
    });
    if (!cap) {
        delete raw;
        fail();
    }
    return own(cap);
}

Obj table_size(PyObject* const* a) { return integer(table(a[0]).nbin()); }

// ---- keys and expansion ----

/// Python ints 0..n-1, made once per output.
struct IndexCache {
    std::vector<Obj> ints;
    PyObject* get(int32_t i) {
        if ((size_t)i >= ints.size()) {
            size_t old = ints.size();
            ints.resize(std::max((size_t)i + 1, old * 2));
            for (size_t j = old; j < ints.size(); ++j) ints[j] = integer((long long)j);
        }
        return ints[(size_t)i].ptr();
    }
};

Key make_key(int32_t* bits, uint32_t n) {
    std::sort(bits, bits + n);
    n = (uint32_t)(std::unique(bits, bits + n) - bits);
    Key k(n);
    std::copy(bits, bits + n, k.data());
    return k;
}

/// The sorted union of two reduced keys.
Key key_union(const Key& a, const Key& b) {
    Key k(a.size() + b.size());
    int32_t* end = std::set_union(a.data(), a.data() + a.size(), b.data(), b.data() + b.size(), k.data());
    uint32_t n = (uint32_t)(end - k.data());
    if (n == k.size()) return k;
    Key out(n);
    std::copy(k.data(), end, out.data());
    return out;
}

/// Reads a monomial key of variable indices into `vars`.
void key_vars(PyObject* key, const Encoding& e, std::vector<int32_t>& vars) {
    vars.clear();
    Obj seq = PyTuple_CheckExact(key) ? ref(key) : own(PySequence_Tuple(key));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* o = PyTuple_GET_ITEM(seq.ptr(), i);
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) fail();
        if (v < 0 || v >= e.nvar)
            raisef(PyExc_ValueError, "variable index %lld is not encoded (the encoding covers 0 to %d)", v,
                   (int)e.nvar - 1);
        vars.push_back((int32_t)v);
    }
}

/// Output of an expansion: binary monomials and a constant.
struct Sum {
    Terms terms;
    Num constant = Num::of_int(0);
    void add(Key&& k, Num&& v) {
        if (k.size() == 0)
            constant = num_add(constant, v);
        else
            terms.accumulate(std::move(k), std::move(v));
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

/// Expands a polynomial's (coeff, constant), each coefficient times `w` (none: unscaled), into `out`.
void expand_poly(const Encoding& e, PyObject* coeff, PyObject* constant, const Num* w, Sum& out) {
    Expander ex(e);
    std::vector<int32_t> vars;
    Num c = number(constant);
    out.constant = num_add(out.constant, w ? num_mul(*w, c) : c);
    map_each(coeff, [&](PyObject* k, PyObject* v) {
        key_vars(k, e, vars);
        Num a = number(v);
        ex.monomial(vars, w ? num_mul(*w, a) : a, out);
    });
}

/// Adds the terms into dict `d` (d[key] = d[key] + value, or value for a new key).
void flush(Terms& t, PyObject* d, IndexCache& ints) {
    for (auto& entry : t) {
        uint32_t n = entry.key.size();
        PyObject* tup = PyTuple_New(n);
        if (!tup) fail();
        for (uint32_t i = 0; i < n; ++i) {
            PyObject* o = ints.get(entry.key.data()[i]);
            Py_INCREF(o);
            PyTuple_SET_ITEM(tup, i, o);
        }
        PyObject_GC_UnTrack(tup);  // ints only: never part of a cycle
        Obj key = own(tup);
        Obj value = entry.val.py();
        // one lookup for a new key; inserted when the dict grew (small ints are shared objects,
        // so the returned value cannot tell)
        Py_ssize_t size = PyDict_GET_SIZE(d);
        PyObject* old = PyDict_SetDefault(d, key.ptr(), value.ptr());
        if (!old) fail();
        if (PyDict_GET_SIZE(d) == size) dict_set(d, key.ptr(), num_add(Num::of(old), entry.val).py().ptr());
    }
}

Obj to_dict(Terms& t, IndexCache& ints) {
    Obj d = own(_PyDict_NewPresized((Py_ssize_t)t.size()));
    flush(t, d.ptr(), ints);
    return d;
}

/// Whether the polynomial over an all-identity table is its own binary form: every key a
/// strictly increasing tuple of encoded indices and every coefficient a plain int or float.
bool already_binary(const Encoding& e, PyObject* coeff) {
    if (!e.all_identity || !PyDict_CheckExact(coeff)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(coeff, &pos, &k, &v)) {
        if (!PyTuple_CheckExact(k) || !(PyFloat_CheckExact(v) || PyLong_CheckExact(v))) return false;
        Py_ssize_t n = PyTuple_GET_SIZE(k);
        if (n == 0) return false;
        long long prev = -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* o = PyTuple_GET_ITEM(k, i);
            if (!PyLong_CheckExact(o)) return false;
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow || x <= prev || x >= e.nvar) return false;
            prev = x;
        }
    }
    return true;
}

/// _expand(table, coeff, constant) -> (binary coeff, constant): the encoder callable's work.
Obj expand(PyObject* const* a) {
    const Encoding& e = table(a[0]);
    if (already_binary(e, a[1])) {
        Obj d = own(PyDict_Copy(a[1]));
        return own(PyTuple_Pack(2, d.ptr(), number(a[2]).py().ptr()));
    }
    Sum out;
    expand_poly(e, a[1], a[2], nullptr, out);
    IndexCache ints;
    Obj d = to_dict(out.terms, ints);
    return own(PyTuple_Pack(2, d.ptr(), out.constant.py().ptr()));
}

// ---- decoding ----

/// A solver's value of a binary: 0 or 1 (ints, floats, bools, NumPy numbers); missing is 0.
int bit_value(PyObject* sample, PyObject* index, int32_t b) {
    PyObject* v;
    Obj hold;
    if (PyDict_CheckExact(sample)) {
        v = dict_get(sample, index);
    } else {
        v = PyObject_GetItem(sample, index);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) fail();
            PyErr_Clear();
        }
        hold = nb::steal(v);
    }
    if (!v) return 0;
    Obj p = plain(v);
    double d;
    if (PyLong_Check(p.ptr())) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(p.ptr(), &overflow);
        if (!overflow && (x == 0 || x == 1)) return (int)x;
    } else if (PyFloat_Check(p.ptr()) && ((d = PyFloat_AS_DOUBLE(p.ptr())) == 0.0 || d == 1.0)) {
        return d == 1.0;
    }
    std::string shown = to_string(own(PyObject_Repr(v)).ptr());
    raisef(PyExc_ValueError, "binary variable %d has the value %s in a sample; binaries take 0 or 1", (int)b,
           shown.c_str());
}

/// _decode(table, sample) -> {variable index: offset + sum of coef * binary}.
Obj decode(PyObject* const* a) {
    const Encoding& e = table(a[0]);
    IndexCache ints;
    Obj out = own(_PyDict_NewPresized(e.nvar));
    for (int32_t v = 0; v < e.nvar; ++v) {
        Num value = e.offset[(size_t)v];
        for (int32_t b = e.start[(size_t)v]; b < e.start[(size_t)v + 1]; ++b)
            if (bit_value(a[1], ints.get(b), b)) value = num_add(value, e.coef[(size_t)b]);
        dict_set(out.ptr(), ints.get(v), value.py().ptr());
    }
    return out;
}

// ---- one binary polynomial of a whole compiled instance ----

/// out += w * (c + sum a_i m_i)^2 over binary monomials m_i (m*m = m).
void add_square(const Terms& t, const Num& c, const Num& w, Sum& out) {
    std::vector<const Terms::Entry*> es;
    es.reserve(t.size());
    for (const auto& e : t) es.push_back(&e);
    Num two = Num::of_int(2);
    Num two_c = num_mul(two, c);
    bool has_c = num_nonzero(c);
    for (size_t i = 0; i < es.size(); ++i) {
        const Num& ai = es[i]->val;
        Num v = num_mul(ai, ai);
        if (has_c) v = num_add(v, num_mul(two_c, ai));
        out.terms.accumulate(Key(es[i]->key), num_mul(w, v));
        Num twice = num_mul(two, ai);
        for (size_t j = i + 1; j < es.size(); ++j)
            out.terms.accumulate(key_union(es[i]->key, es[j]->key), num_mul(w, num_mul(twice, es[j]->val)));
    }
    out.constant = num_add(out.constant, num_mul(w, num_mul(c, c)));
}

/// b_first + ... + b_(last - 1).
// GCC follows the constant 1 into Num's union and warns about a decref of address 1 on a path
// where the tag says Int and no decref happens.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
Terms unit_terms(int32_t first, int32_t last) {
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
bool integral(const Num& v, Num& out) {
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

Num num_min(const Num& a, const Num& b) { return num_compare(b, a, Py_LT) ? b : a; }
Num num_max(const Num& a, const Num& b) { return num_compare(b, a, Py_GT) ? b : a; }

/// Range of c * prod(x_v ** k_v) over the variables' bounds (integers).
void monomial_range(const Encoding& e, std::vector<int32_t> vars, const Num& c, Num& lo, Num& hi) {
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

/// Builds "Constraint `label` forall key (..)" for messages.
std::string constraint_name(PyObject* label, PyObject* key) {
    std::string s = "Constraint `" + to_string(label) + "`";
    if (PyTuple_Check(key) && PyTuple_GET_SIZE(key) > 0) s += " at forall key " + to_string(key);
    return s;
}

/// The weight of a label, from the dict of weights by label.
Num weight_of(PyObject* weights, PyObject* label) { return number(dict_item(weights, label)); }

struct Lowering {
    const Encoding& e;
    Sum out;
    int32_t next_bin;
    Obj slacks = own(PyList_New(0));
    std::vector<int32_t> vars;

    explicit Lowering(const Encoding& enc) : e(enc), next_bin(enc.nbin()) {}

    /// lhs <= 0 (sign -1 turns lhs >= 0 into -lhs <= 0) as w * (lhs + s)^2, s an integer slack
    /// in [0, -min lhs]; dropped when lhs <= 0 holds on the whole box of the bounds.
    void inequality(PyObject* label, PyObject* key, PyObject* poly, const Num& sign, const Num& w) {
        Obj coeff = getattr(poly, N.coeff.ptr()), constant = getattr(poly, N.constant.ptr());
        Num c0 = num_mul(sign, number(constant.ptr())), ic;
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
        map_each(coeff.ptr(), [&](PyObject* k, PyObject* v) {
            Num a = num_mul(sign, number(v)), ia, ml, mh;
            if (!integral(a, ia)) non_integral(a);
            key_vars(k, e, vars);
            monomial_range(e, vars, ia, ml, mh);
            lo = num_add(lo, ml);
            hi = num_add(hi, mh);
        });
        Num zero = Num::of_int(0);
        if (num_compare(hi, zero, Py_LE)) return;  // holds everywhere
        Sum lhs;
        expand_poly(e, coeff.ptr(), constant.ptr(), &sign, lhs);
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

    void equality(PyObject* poly, const Num& w) {
        Sum lhs;
        Obj coeff = getattr(poly, N.coeff.ptr()), constant = getattr(poly, N.constant.ptr());
        expand_poly(e, coeff.ptr(), constant.ptr(), nullptr, lhs);
        add_square(lhs.terms, lhs.constant, w, out);
    }

    void linear(PyObject* poly, const Num& w) {
        Obj coeff = getattr(poly, N.coeff.ptr()), constant = getattr(poly, N.constant.ptr());
        expand_poly(e, coeff.ptr(), constant.ptr(), &w, out);
    }

    void onehot(const Num& w) {
        const Num minus_one = Num::of_int(-1);
        for (int32_t v = 0; v < e.nvar; ++v)
            if (e.onehot[(size_t)v]) add_square(unit_terms(e.start[(size_t)v], e.start[(size_t)v + 1]), minus_one, w, out);
    }
};

/// d[key] = w * d[key] for every entry.
void scale_values(PyObject* d, const Num& w) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        Obj key = ref(k);
        dict_set(d, key.ptr(), num_mul(w, Num::of(v)).py().ptr());  // replaces in place: no resize
    }
}

/// _lower(table, objective, sign, constraints, kinds, constraint_weights, penalties,
///        penalty_weights, onehot_weight) -> (coeff, constant, binaries, slacks)
/// kinds: label -> 1 (==), 2 (<=), 3 (>=); weights: label -> number.
Obj lower(PyObject* const* a) {
    const Encoding& e = table(a[0]);
    Lowering L(e);
    Num sign = number(a[2]);
    // the objective of an all-binary model starts the result as a copy of its map
    Obj objective_coeff = getattr(a[1], N.coeff.ptr());
    Obj d;
    if (already_binary(e, objective_coeff.ptr())) {
        d = own(PyDict_Copy(objective_coeff.ptr()));
        if (!(sign.tag() == Num::Int && sign.as_int() == 1)) scale_values(d.ptr(), sign);
        L.out.constant = num_mul(sign, number(getattr(a[1], N.constant.ptr()).ptr()));
    } else {
        L.linear(a[1], sign);
    }
    Num minus = Num::of_int(-1), plus = Num::of_int(1);
    map_each(a[3], [&](PyObject* label, PyObject* polys) {
        Num w = weight_of(a[5], label);
        if (!num_nonzero(w)) return;
        long kind = PyLong_AsLong(dict_item(a[4], label));
        if (kind == -1 && PyErr_Occurred()) fail();
        map_each(polys, [&](PyObject* key, PyObject* poly) {
            if (kind == 1)
                L.equality(poly, w);
            else if (kind == 2 || kind == 3)
                L.inequality(label, key, poly, kind == 2 ? plus : minus, w);
            else
                raise(PyExc_NotImplementedError, "Constraint `" + to_string(label) + "`: unsupported comparison");
        });
    });
    map_each(a[6], [&](PyObject* label, PyObject* polys) {
        Num w = weight_of(a[7], label);
        if (!num_nonzero(w)) return;
        map_each(polys, [&](PyObject*, PyObject* poly) { L.linear(poly, w); });
    });
    Num ow = number(a[8]);
    if (num_nonzero(ow)) L.onehot(ow);
    IndexCache ints;
    if (d)
        flush(L.out.terms, d.ptr(), ints);
    else
        d = to_dict(L.out.terms, ints);
    Obj constant = L.out.constant.py();
    Obj nbin = integer(L.next_bin);
    return own(PyTuple_Pack(4, d.ptr(), constant.ptr(), nbin.ptr(), L.slacks.ptr()));
}

PyMethodDef functions[] = {
    QTX_FN("_binary_multiply_reduction", 1, binary_multiply_reduction),
    QTX_FN("_subs_ir_to_binary", 2, subs_ir_to_binary),
    QTX_FN("_encoding_table", 2, encoding_table),
    QTX_FN("_table_size", 1, table_size),
    QTX_FN("_expand", 3, expand),
    QTX_FN("_decode", 2, decode),
    QTX_FN("_lower", 9, lower),
    QTX_END,
};

}  // namespace

NB_MODULE(binarize, m) { QTX_MODULE_INIT(m, functions) }
