// What the binary polynomial of a model is: the objective (negated when maximising), every
// equality constraint as w * (lhs)^2, every inequality lhs <= 0 as w * (lhs + s)^2 with an
// integer slack s made of new binaries, every custom penalty times its weight, and every
// one-hot group as w * (sum - 1)^2. QuboBuilder expands each item through the encoding
// (binary_encoding.hpp) and hands its terms to a TermMerge (term_merge.hpp), which adds them up.
// The dict route (a compiled instance's dicts, read once into Terms) and the native route
// (polynomials that never left C++) both build through it, so they give the same terms.
#pragma once
#include "term_merge.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace qtx::pubo {

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
        // another kind of real number (np.longdouble, Fraction, Decimal): integral when it
        // equals its int; a number that has none (complex, nan, inf) is not
        if (PyComplex_Check(o.ptr()) || !PyNumber_Check(o.ptr())) return false;
        PyObject* i = PyNumber_Long(o.ptr());
        int same = i ? PyObject_RichCompareBool(o.ptr(), i, Py_EQ) : -1;
        Obj as_int = nb::steal(i);
        if (same < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
                !PyErr_ExceptionMatches(PyExc_OverflowError))
                fail();
            PyErr_Clear();
            return false;
        }
        if (same) out = Num::steal(std::move(as_int));
        return same;
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

/// Refuses a model item (named by name()) with an inf or NaN coefficient or constant: one of
/// them makes every energy of the binary polynomial NaN. A complex one (from complex data, or a
/// negative number to a fractional power) leaves it with no least energy at all.
template <class Name>
void check_finite(const Terms& t, const Num& constant, Name&& name) {
    auto complex_number = [](const Num& v) { return v.tag() == Num::Object && PyComplex_Check(v.py().ptr()); };
    auto refuse = [&](const std::string& what, const Num& v) {
        if (complex_number(v))
            raise(PyExc_ValueError,
                  name() + ": " + what +
                      ", a complex number. A binary polynomial needs real numbers: check the instance data for "
                      "complex entries, and powers of negative numbers with fractional exponents.");
        raise(PyExc_ValueError,
              name() + ": " + what +
                  ". A binary polynomial needs finite numbers: check the instance data and the fixed values for "
                  "inf or NaN entries (leave a missing entry, such as a road that does not exist, out of the model, or "
                  "give it a large finite value).");
    };
    for (const auto& entry : t)
        if (!finite(entry.val) || complex_number(entry.val))
            refuse("the term " + key_text(entry.key.data(), entry.key.size()) + " has the coefficient " +
                       num_repr(entry.val),
                   entry.val);
    if (!finite(constant) || complex_number(constant)) refuse("the constant is " + num_repr(constant), constant);
}

/// Comparison kinds of constraints, as the route passes them.
enum Kind : int { kEqual = 1, kLessEqual = 2, kGreaterEqual = 3 };

/// One binary polynomial built item by item into `merge`: objective(), then constraint() and
/// penalty() in the model's order, then onehot(). The merge then gives the terms; binaries()
/// and slacks() say which binaries the inequalities added.
class QuboBuilder {
public:
    QuboBuilder(const Encoding& encoding, TermMerge& merge)
        : encoding_(encoding), merge_(merge), next_bin_(encoding.nbin()) {}

    /// The objective, times `sign` (-1 when maximising); its terms are taken over when `owned`.
    void objective(Terms& t, bool owned, const Num& constant, const Num& sign) {
        check_finite(t, constant, [] { return std::string("In objective"); });
        bool squares = false;
        if (!binary_but_squares(encoding_, t, squares)) {
            expand_terms(encoding_, t, constant, &sign, merge_.sum());
            return;
        }
        bool unit = sign.tag() == Num::Int && sign.as_int() == 1;
        Terms base = owned ? std::move(t) : Terms(t);
        if (squares) base = squares_read_as_binaries(std::move(base));
        if (!unit)
            for (auto& entry : base) entry.val = num_mul(sign, entry.val);
        merge_.take_objective(std::move(base));
        merge_.sum().constant = num_mul(sign, number(constant));
    }

    /// The objective given as grouped parts (merge_parts makes its terms), times `sign`:
    /// taken over unmerged when every part is already binary and the merge is flat, and then
    /// true; otherwise false and nothing is done.
    bool objective_parts(Parts& parts, const Num& constant, const Num& sign) {
        if (!takes_parts(parts, constant, sign)) return false;
        bool minus = sign.tag() == Num::Int && sign.as_int() == -1;  // negation is exact
        if (minus)
            for (size_t p = 0; p < parts.size(); ++p)
                for (auto* entry = parts.begin(p); entry != parts.end(p); ++entry)
                    entry->val = num_mul(sign, entry->val);
        merge_.take_objective_parts(std::move(parts));
        merge_.sum().constant = num_mul(sign, number(constant));
        return true;
    }

    /// The same parts read where they are (see TermMerge::lend_objective_parts), when
    /// objective_parts() would take them and `sign` is 1; otherwise false and nothing is done.
    bool lend_objective_parts(const Parts& parts, const Num& constant, const Num& sign) {
        if (!(sign.tag() == Num::Int && sign.as_int() == 1) || !takes_parts(parts, constant, sign)) return false;
        merge_.lend_objective_parts(parts);
        merge_.sum().constant = num_mul(sign, number(constant));
        return true;
    }

    /// Whether objective_parts() takes these parts over.
    bool takes_parts(const Parts& parts, const Num& constant, const Num& sign) const {
        bool unit = sign.tag() == Num::Int && sign.as_int() == 1;
        bool minus = sign.tag() == Num::Int && sign.as_int() == -1;
        if (!merge_.flat() || !(unit || minus) || !encoding_.all_identity) return false;
        const PartStats* stats = part_stats(parts);
        // a square x*x is read as x (every variable its own binary), unless x has a key of its
        // own too: the map adds the two keys' sums, each formed first, in the order they came
        if (!stats || !stats->increasing_but_squares || stats->squared_and_linear || stats->top >= encoding_.nvar)
            return false;
        // an inf or NaN (or floats summing past float64) goes the merged way, which names it
        if (!std::isfinite(stats->float_mass) || !finite(constant)) return false;
        if (stats->objects)  // only ints may be Python objects
            for (size_t p = 0; p < parts.size(); ++p)
                if (!already_binary(encoding_, parts.begin(p), parts.end(p))) return false;
        return true;
    }

    /// One instance of a custom penalty, weighted by w. A flat merge takes `t` over when it
    /// is `owned` and its own binary form needs no more than reducing repeated variables (every
    /// variable its own binary, plain numbers): the merge reads it where it came, in order.
    void penalty(PyObject* label, PyObject* key, Terms& t, bool owned, const Num& constant, const Num& w) {
        check_finite(t, constant, [&] { return penalty_name(label, key); });
        if (!(merge_.flat() && owned && deferrable(t, w))) {
            expand_terms(encoding_, t, constant, &w, merge_.sum());
            return;
        }
        Sum& sum = merge_.sum();
        sum.constant = num_add(sum.constant, num_mul(w, number(constant)));
        merge_.take_penalty(std::move(t), w);
    }

    /// One instance of a custom penalty given as the square of `base` (terms of one variable
    /// each), weighted by w: taken over, as penalty() takes an owned one, when the square's
    /// terms are their own binary form; false (and nothing done) otherwise. Its terms are made
    /// by the merge as poly_power(base, 2) would list them. A square with an inf or NaN is
    /// left to penalty(), which names the expanded term as the dict route does.
    bool square_penalty(Poly& base, const Num& w, const Num& scale = Num()) {
        if (!plain_number(w)) return false;
        if (!encoding_.all_identity) return encoded_square(base, w, scale);
        return take_square(base.terms, base.constant, w, false, encoding_.nvar, scale);
    }

    /// The objective given as the square of `base` (terms of one variable each), times `sign`:
    /// taken over as a penalty's square weighted by `sign` is, which gives the terms and
    /// constant that objective() gives of the expanded square; false (nothing done) otherwise.
    bool square_objective(Poly& base, const Num& sign) {
        if (!plain_number(sign)) return false;
        if (!encoding_.all_identity) return encoded_square(base, sign);
        return take_square(base.terms, base.constant, sign, false, encoding_.nvar);
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

    /// w * (sum of the group - 1)^2 for every one-hot encoded variable.
    void onehot(const Num& w) {
        const Num minus_one = Num::of_int(-1);
        for (int32_t v = 0; v < encoding_.nvar; ++v)
            if (encoding_.onehot[(size_t)v])
                add_square(unit_terms(encoding_.start[(size_t)v], encoding_.start[(size_t)v + 1]), minus_one, w,
                           merge_.sum());
    }

    /// Constraints whose square was expanded here, not taken whole by the merge.
    size_t expanded_squares() const { return expanded_squares_; }

    /// The binaries used: the encoding's, then the slacks'.
    int32_t binaries() const { return next_bin_; }
    /// (constraint label, forall key, tuple of slack binaries) of every inequality with a slack.
    const Obj& slacks() const { return slacks_; }

private:
    const Encoding& encoding_;
    TermMerge& merge_;
    int32_t next_bin_;
    Obj slacks_ = own(PyList_New(0));
    std::vector<int32_t> vars_;
    size_t expanded_squares_ = 0;

    /// An int or float held natively: no Python object behind it.
    static bool plain_number(const Num& v) { return v.tag() == Num::Int || v.tag() == Num::Float; }

    /// w * (c + sum of `t`)^2 handed to the merge, made there (see TermMerge::take_square),
    /// when every key of `t` is one index below `binaries` and w, c and the values are finite
    /// plain numbers whose products (the squares, or for a constraint `folded`, v^2 + 2 c v)
    /// are too; the constant is added here, as the expansion adds it. Takes the terms over and
    /// returns true; false (nothing done) otherwise.
    bool take_square(Terms& t, const Num& c, const Num& w, bool folded, int32_t binaries, const Num& scale = Num()) {
        if (!merge_.flat() || !plain_number(c) || !finite(c)) return false;
        // a square scaled by a weight in the model (c * square): each term is its term times that
        // weight, as poly_mul scales one (refused where a product could leave float64's range)
        double s = 1.0;
        if (!scale.empty() && (folded || !plain_number(scale) || !finite(scale) || !scale.promotes(s))) return false;
        s = std::fabs(s);
        std::vector<Num> squares;
        squares.reserve(t.size());
        Num two_c = num_mul(Num::of_int(2), c);
        bool has_c = num_nonzero(c);
        double top = 0, x = 0;
        for (const auto& entry : t) {
            int32_t v = entry.key.data()[0];
            if (entry.key.size() != 1 || v < 0 || v >= binaries || !plain_number(entry.val) || !finite(entry.val))
                return false;
            // add_square's x_i term for a constraint, poly_power's x_i x_i for a square
            Num q = folded ? num_mul(entry.val, entry.val) : num_squared(entry.val);
            if (folded && has_c) q = num_add(q, num_mul(two_c, entry.val));
            if (!plain_number(q) || !finite(q)) return false;
            squares.push_back(std::move(q));
            entry.val.promotes(x);
            top = std::max(top, std::fabs(x));
        }
        // a product 2 v_i v_j or 2 v_i c past float64's range is left to the expansion, which
        // names its term as the dict route does
        c.promotes(x);
        double reach = std::max(2 * top * top, std::max(2 * top * std::fabs(x), x * x)) * std::max(s, 1.0);
        if (!std::isfinite(2 * top * top) || !std::isfinite(2 * top * std::fabs(x)) || !std::isfinite(reach))
            return false;
        Sum& sum = merge_.sum();
        Num square_constant = number(num_squared(c));
        if (!scale.empty()) square_constant = num_mul(scale, square_constant);  // poly_mul's constant
        Num constant = folded ? num_mul(w, num_mul(c, c)) : num_mul(w, square_constant);
        sum.constant = num_add(sum.constant, constant);
        merge_.take_square(std::move(t), w, std::move(squares), c, folded, scale);
        t = Terms();
        return true;
    }

    /// w * (c + sum of a_v y_v)^2 over encoded variables y_v = offset_v + sum of coef_b x_b (times
    /// `scale`, a weight written in the model, when given), as the square of its binary form
    /// (c + sum of a_v offset_v) + sum of (a_v coef_b) x_b (binaries of coefficient 0 left out,
    /// as the expansion leaves them), made by take_square(): the same keys, and values that are
    /// the same integers. Only where every number is an int, w and the scale ints or integral
    /// floats, and their product times the square of the sum of all magnitudes stays below
    /// 2^52: the expansion's products and sums, in whatever order, are then exact (in int64, or
    /// in doubles where a float comes in), so both give every value exactly. `base` is left as
    /// it is; false (nothing done) otherwise.
    bool encoded_square(const Poly& base, const Num& w, const Num& scale = Num()) {
        auto integral = [](const Num& v, double& out) {
            return v.promotes(out) && (v.tag() == Num::Int || (std::isfinite(out) && out == std::trunc(out)));
        };
        double wf = 0, sf = 1;
        if (!merge_.flat() || base.constant.tag() != Num::Int || !integral(w, wf) ||
            !(scale.empty() || integral(scale, sf)))
            return false;
        wf = std::fabs(wf) * std::fabs(sf);
        std::vector<std::pair<int32_t, int64_t>> vars;  // (variable, a_v), by variable
        vars.reserve(base.terms.size());
        double reach = std::fabs((double)base.constant.as_int());
        for (const auto& entry : base.terms) {
            int32_t v = entry.key.size() == 1 ? entry.key.data()[0] : -1;
            if (v < 0 || v >= encoding_.nvar || entry.val.tag() != Num::Int) return false;
            const Num& off = encoding_.offset[(size_t)v];
            if (off.tag() != Num::Int) return false;
            double spread = std::fabs((double)off.as_int());
            for (int32_t b = encoding_.start[(size_t)v]; b < encoding_.start[(size_t)v + 1]; ++b) {
                const Num& coef = encoding_.coef[(size_t)b];
                if (coef.tag() != Num::Int) return false;
                spread += std::fabs((double)coef.as_int());
            }
            reach += std::fabs((double)entry.val.as_int()) * spread;
            vars.emplace_back(v, entry.val.as_int());
        }
        if (!(std::fabs(wf) * reach * reach < 4503599627370496.0)) return false;  // 2^52
        std::sort(vars.begin(), vars.end());
        Terms binary;
        binary.reserve_entries((size_t)encoding_.nbin());
        int64_t c = base.constant.as_int();
        for (const auto& [v, a] : vars) {
            c += a * encoding_.offset[(size_t)v].as_int();
            for (int32_t b = encoding_.start[(size_t)v]; b < encoding_.start[(size_t)v + 1]; ++b) {
                int64_t coef = encoding_.coef[(size_t)b].as_int();
                if (coef == 0) continue;
                Key k(1);
                k.data()[0] = b;
                binary.push_distinct(std::move(k), Num::of_int(a * coef));
            }
        }
        return take_square(binary, Num::of_int(c), w, false, encoding_.nbin(), scale);
    }

    /// A constraint's w * lhs^2 (lhs its expansion, slack included), as add_square makes it.
    void square_lhs(Sum& lhs, const Num& w) {
        if (plain_number(w) && take_square(lhs.terms, lhs.constant, w, true, next_bin_)) return;
        ++expanded_squares_;
        add_square(lhs.terms, lhs.constant, w, merge_.sum());
    }

    /// Whether a penalty's terms times w are their own binary form up to repeated variables.
    bool deferrable(const Terms& t, const Num& w) const {
        if (!encoding_.all_identity || !plain_number(w)) return false;
        for (const auto& entry : t) {
            uint32_t n = entry.key.size();
            const int32_t* k = entry.key.data();
            // keys are sorted: the ends bound every variable
            if (n == 0 || k[0] < 0 || k[n - 1] >= encoding_.nvar || !plain_number(entry.val)) return false;
        }
        return true;
    }

    /// lhs <= 0 (sign -1 turns lhs >= 0 into -lhs <= 0) as w * (lhs + s)^2, s an integer slack
    /// in [0, -min lhs]; dropped when lhs <= 0 holds on the whole box of the bounds.
    void inequality(PyObject* label, PyObject* key, const Terms& t, const Num& constant, const Num& sign,
                    const Num& w) {
        Num c0 = num_mul(sign, number(constant)), ic;
        auto non_integral = [&](const Num& v) {
            raise(PyExc_ValueError, constraint_name(label, key) +
                                        ": the inequality has the non-integral coefficient or constant " + num_repr(v) +
                                        "; its slack variable takes integer values only, so feasible assignments "
                                        "would be penalised. Scale the constraint to integer coefficients or write "
                                        "it as a custom penalty.");
        };
        if (!integral(c0, ic)) non_integral(c0);
        Num lo = ic, hi = ic;
        for (const auto& entry : t) {
            Num coef = num_mul(sign, number(entry.val)), ia, ml, mh;
            if (!integral(coef, ia)) non_integral(coef);
            key_vars(entry.key, encoding_, vars_);
            monomial_range(encoding_, vars_, ia, ml, mh);
            lo = num_add(lo, ml);
            hi = num_add(hi, mh);
        }
        Num zero = Num::of_int(0);
        if (num_compare(hi, zero, Py_LE)) return;  // holds everywhere
        Sum lhs;
        expand_terms(encoding_, t, constant, &sign, lhs);
        Num slack = num_mul(Num::of_int(-1), lo);
        if (num_compare(slack, zero, Py_GT)) {
            if (slack.tag() != Num::Int || slack.as_int() > (1LL << 52))
                raise(PyExc_ValueError, constraint_name(label, key) + ": the slack range " +
                                            to_string(slack.py().ptr()) + " is too large to encode");
            int64_t range = slack.as_int();
            int bits = 64 - __builtin_clzll((unsigned long long)range);
            // made with the plain API: memory running out here must stay a MemoryError
            Obj binaries = own(PyTuple_New(bits));
            for (int i = 0; i < bits; ++i) {
                int64_t c = i + 1 < bits ? (int64_t)1 << i : range - (((int64_t)1 << (bits - 1)) - 1);
                Key k(1);
                k.data()[0] = next_bin_;
                lhs.terms.accumulate(std::move(k), Num::of_int(c));
                PyTuple_SET_ITEM(binaries.ptr(), i, integer(next_bin_).release().ptr());
                if (next_bin_ == INT32_MAX) raise(PyExc_OverflowError, "too many binaries");
                ++next_bin_;
            }
            merge_.set_binaries(next_bin_);
            Obj slack = own(PyTuple_Pack(3, label, key, binaries.ptr()));
            if (PyList_Append(slacks_.ptr(), slack.ptr()) < 0) fail();
        }
        square_lhs(lhs, w);
    }

    void equality(const Terms& t, const Num& constant, const Num& w) {
        Sum lhs;
        expand_terms(encoding_, t, constant, nullptr, lhs);
        square_lhs(lhs, w);
    }
};

}  // namespace qtx::pubo
