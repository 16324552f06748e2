// Folding polynomials' terms into one dimod model's biases, as dimod's arithmetic would.
#pragma once
#include "pair_sums.hpp"
#include "variables.hpp"
#include "qtx/poly_capsule.hpp"

#include <cmath>
#include <utility>
#include <vector>

namespace qtx::bridge {

/// An int that a double does not hold exactly, read as dimod reads it (rounded to nearest, as
/// float(int) does): the routes refuse it, a CQM answer would be that of another model.
struct InexactInt {
    double rounded;
};

/// A Python number as dimod takes it; InexactInt for an int a double rounds.
inline double bias_of(nb::handle number) {
    double v = as_double(number);
    if (rounded_int(number, v)) throw InexactInt{v};
    return v;
}

/// A native coefficient as dimod takes it: ints and floats, or a real number object.
inline double native_bias(const Num& v) {
    if (v.tag() == Num::Float) return v.as_float();
    if (v.tag() == Num::Int) {
        long long n = v.as_int();
        double d = (double)n;  // rounds to nearest, as float(int) does
        // 2**63 as a double is past every int64: no cast back
        if (d >= 0x1p63 || (long long)d != n) throw InexactInt{d};
        return d;
    }
    nb::object number = v.py();
    if (!real_number(number)) throw NeedArithmetic{};
    return bias_of(number);
}

/// One dimod model being assembled: its variables in dimod's order with their linear biases,
/// its interactions and offset. A polynomial's terms are summed on their own first (they form
/// one model) and then added to the model, as `running += _expr_conversion(poly)` adds them.
class ModelSum {
public:
    explicit ModelSum(VarTable& table) : table_(table) {}
    ~ModelSum() {
        for (int id : vars) table_.local[(size_t)id] = -1;
    }

    /// Folds one polynomial: a SubstitutedExpression, or a polynomial kept in C++ by the
    /// native compile (read without a Python object per term). With `element` (the routes), a
    /// term of degree above two and a number that is not finite are refused, naming the element.
    void add(nb::handle expr, const ModelElement* element = nullptr) {
        element_ = element;
        poly_.clear();
        touched_.clear();
        double offset = 0.0;
        if (PolyCapsule* np = poly_capsule(expr.ptr())) {
            if (np->squared ? add_square(*np) : add_parts(*np)) return;
            np->merge();
            for (const auto& e : np->poly.terms) {
                const int32_t* key = e.key.data();
                term((Py_ssize_t)e.key.size(), [&](Py_ssize_t i) { return table_.find((int64_t)key[i]); },
                     [&] { return native_bias(e.val); }, offset);
            }
            offset += bias([&] { return native_bias(np->poly.constant); }, [] { return std::string("the constant"); });
        } else {
            // per term: the raw API
            nb::object coeff = expr.attr(names().coeff);
            if (!PyDict_Check(coeff.ptr())) throw NeedArithmetic{};
            Py_ssize_t pos = 0;
            PyObject *key, *c;
            while (PyDict_Next(coeff.ptr(), &pos, &key, &c)) {
                if (!PyTuple_CheckExact(key)) throw NeedArithmetic{};
                term(
                    PyTuple_GET_SIZE(key), [&](Py_ssize_t i) { return table_.find(PyTuple_GET_ITEM(key, i)); },
                    [&] {
                        if (!real_number(c)) throw NeedArithmetic{};
                        return bias_of(c);
                    },
                    offset);
            }
            nb::object constant = expr.attr(names().constant);
            if (!real_number(constant)) throw NeedArithmetic{};
            offset += bias([&] { return bias_of(constant); }, [] { return std::string("the constant"); });
        }

        // the polynomial's model added to the running one
        for (uint32_t l : touched_) {
            lin[l] += poly_lin_[l];
            poly_lin_[l] = 0.0;
            seen_[l] = 0;
        }
        sum_terms(poly_, tmp_, vars.size());
        added(poly_, offset);
    }

    /// One term: the product of its factors (factor(i) gives factor i's variable), as dimod
    /// multiplies them -- a constant, one variable (bias 1) or one interaction (bias 1)
    /// between `first` and `second` in dimod's order -- times the coefficient that
    /// coefficient() gives.
    template <class Factor, class Coefficient>
    void term(Py_ssize_t len, Factor&& factor, Coefficient&& coefficient, double& offset) {
        int degree = 0, first = -1, second = -1;
        for (Py_ssize_t i = 0; i < len; ++i) {
            int f = factor(i);
            if (degree == 2) {
                if (!element_) raise(PyExc_TypeError, "cannot multiply QMs with interactions");
                // a binary met again in the product (x*y*y) leaves it as it is: b * b = b
                if ((f == first || f == second) && !table_.vars[(size_t)f].integer) continue;
                // a term that cancelled to 0 (x*y*z - z*y*x) holds nothing a CQM must take
                bool zero = false;
                try {
                    zero = coefficient() == 0.0;
                } catch (InexactInt&) {}
                if (zero) return;
                raise(PyExc_TypeError, element_->text() + ": the term " + term_text(len, factor) + kNotQuadratic);
            }
            if (degree == 0) {
                first = f;
                degree = 1;
            } else if (f == first) {
                if (table_.vars[(size_t)f].integer) second = f, degree = 2;  // a self-loop; binary x*x is x
            } else if (table_.vars[(size_t)f].bqm) {
                second = first, first = f, degree = 2;  // BQM * state: dimod multiplies a BQM factor from the left
            } else {
                second = f, degree = 2;  // state * QM: the state's variable first
            }
        }
        double cv = bias(coefficient, [&] { return "the coefficient of " + term_text(len, factor); });
        // the product times the coefficient, every bias scaled (0 * inf is NaN in dimod too)
        if (degree == 0) {
            offset += 1.0 * cv;
            return;
        }
        offset += 0.0 * cv;
        uint32_t la = local(first);
        if (degree == 1) {
            linear(la) += 1.0 * cv;
            return;
        }
        uint32_t lb = second == first ? la : local(second);
        linear(la) += 0.0 * cv;
        if (lb != la) linear(lb) += 0.0 * cv;
        poly_.push_back(Term{pair_key(la, lb), 1.0 * cv});
    }

    /// The interactions sorted by pair: one polynomial's sums stand (0 + x is x); those of
    /// several are added to a zero, polynomial by polynomial.
    std::vector<Term>& interactions() {
        sort_terms(pending_, tmp_, vars.size());
        if (polys_ > 1) {
            size_t out = 0;
            for (size_t i = 0; i < pending_.size();) {
                uint64_t key = pending_[i].key;
                double sum = 0.0;
                for (; i < pending_.size() && pending_[i].key == key; ++i) sum += pending_[i].bias;
                pending_[out++] = Term{key, sum};
            }
            pending_.resize(out);
        }
        return pending_;
    }

    std::vector<int> vars;    // variable ids in dimod's order
    std::vector<double> lin;  // linear biases by local index
    double offset = 0.0;

private:
    /// One polynomial's interactions (one per pair, in any order) and constant added.
    void added(std::vector<Term>& terms, double offset) {
        if (polys_++ == 0)
            pending_.swap(terms);
        else
            pending_.insert(pending_.end(), terms.begin(), terms.end());
        this->offset += offset;
    }

    /// A native number that a double holds exactly, as native_bias reads it; false for others.
    static bool exact(const Num& v, double& out) {
        if (v.tag() == Num::Float) {
            out = v.as_float();
            return true;
        }
        if (v.tag() != Num::Int || v.as_int() > (1LL << 53) || v.as_int() < -(1LL << 53)) return false;
        out = (double)v.as_int();
        return true;
    }

    /// The variable a native key's factor names, as term() finds it.
    int factor(int32_t index) { return table_.find((int64_t)index); }

    /// The first and second variable of the product a * b (a != b), as term() orders them.
    std::pair<int, int> product(int a, int b) const {
        return table_.vars[(size_t)b].bqm ? std::make_pair(b, a) : std::make_pair(a, b);
    }

    /// A native polynomial left in parts, folded without merging it into a map first: the
    /// parts' terms as records keyed by their pair, sorted stably, each pair's values summed
    /// as merge_parts sums them (a group's in order, then the groups' sums in order). The same
    /// sums and variable order as merging and then adding the terms one by one, when every key
    /// is strictly increasing and of one or two variables, and every sum of the values is
    /// formed exactly in doubles without leaving their range (no Python number, ints summing
    /// below 2^53, floats summing finite): then no term is refused either. False otherwise,
    /// when the variables met so far may have their places: the map's way gives them the same.
    bool add_parts(PolyCapsule& np) {
        const PartStats* stats = part_stats(np.parts);
        if (np.parts.empty() || !np.poly.terms.empty() || !stats || !stats->increasing || stats->higher ||
            stats->objects || !(stats->int_mass < 0x1p53) || !(stats->float_mass < 0x1p1000))
            return false;
        // records half as large when every pair's index fits 32 bits
        uint64_t k = std::max<size_t>(table_.vars.size(), 1);
        return k < ((uint64_t)1 << 16) ? fold_parts<uint32_t>(np, k) : fold_parts<uint64_t>(np, k);
    }

    /// add_parts() with records whose pair (u <= v, both below k; a linear term's as its variable
    /// with itself, no key of the parts being x*x) is indexed u * k + v in a `Index`.
    template <class Index>
    bool fold_parts(PolyCapsule& np, uint64_t k) {
        struct Rec {
            Index pair;
            uint32_t group;
            double val;
        };
        auto index = [k](uint32_t a, uint32_t b) { return (Index)(std::min(a, b) * k + std::max(a, b)); };
        std::vector<Rec> recs;
        recs.reserve(np.parts.total());
        // variables in the order the merged terms would meet them: a key's merged place is where
        // it came first
        uint32_t group = 0;
        for (size_t p = 0; p < np.parts.size(); ++p) {
            if (p > 0 && np.parts.group(p) != np.parts.group(p - 1)) ++group;
            for (const Parts::Entry* e = np.parts.begin(p); e != np.parts.end(p); ++e) {
                const int32_t* key = e->key.data();
                double v = 0.0;
                if (!exact(e->val, v)) return false;  // not met by the stats' ints: the map's way
                if (e->key.size() == 1) {
                    uint32_t l = local(factor(key[0]));
                    recs.push_back(Rec{index(l, l), group, v});
                    continue;
                }
                auto [first, second] = product(factor(key[0]), factor(key[1]));
                uint32_t la = local(first);
                recs.push_back(Rec{index(la, local(second)), group, v});
            }
        }
        if (vars.size() > k) return false;  // a caller's table grew: the indices no longer tell the pairs
        std::vector<Rec> tmp;
        radix_sort(recs, tmp, k * k, [](const Rec& r) { return (uint64_t)r.pair; });
        std::vector<Rec>().swap(tmp);
        poly_.clear();
        poly_.reserve(recs.size());
        for (size_t i = 0; i < recs.size();) {
            Index pair = recs[i].pair;
            double total = 0.0, sum = recs[i].val;
            bool whole = false;  // a group's sum is in total
            uint32_t g = recs[i].group;
            for (++i; i < recs.size() && recs[i].pair == pair; ++i) {
                if (recs[i].group == g) {
                    sum += recs[i].val;
                    continue;
                }
                total = whole ? total + sum : sum;
                whole = true;
                g = recs[i].group, sum = recs[i].val;
            }
            double cv = whole ? total + sum : sum;
            uint32_t u = (uint32_t)(pair / k), v = (uint32_t)(pair % k);
            if (u == v)
                lin[u] += 0.0 + 1.0 * cv;
            else
                poly_.push_back(Term{pair_key(u, v), 1.0 * cv});
        }
        double constant =
            bias([&] { return native_bias(np.poly.constant); }, [] { return std::string("the constant"); });
        added(poly_, 0.0 + constant);
        return true;
    }

    /// A native square over distinct variables, (c + sum of v_i x_i)^2, folded without expanding
    /// it into a map first: its terms as poly_power lists them -- x_i by 2 v_i c, x_i x_j (i < j)
    /// by 2 v_i v_j, x_i x_i by v_i^2 -- added as term() adds them, the numbers of one base
    /// term made by the same arithmetic and the products with doubles. Only when every number
    /// is a native one whose products a double holds exactly and within its range (no term is
    /// refused then); false, and nothing done, otherwise.
    bool add_square(PolyCapsule& np) {
        if (!np.scale.empty()) return false;  // a square scaled in the model: merged, scaled there
        const Terms& base = np.poly.terms;
        const Num& c = np.poly.constant;
        double largest = 0.0, largest_int = 0.0, v = 0.0;
        if (base.empty() || !exact(c, v) || !std::isfinite(v)) return false;
        largest = std::fabs(v);
        for (const Terms::Entry& e : base) {
            if (e.key.size() != 1 || !exact(e.val, v) || !std::isfinite(v)) return false;
            largest = std::max(largest, std::fabs(v));
            if (e.val.tag() == Num::Int) largest_int = std::max(largest_int, std::fabs(v));
        }
        if (!(2.0 * largest * largest < 0x1p1000) || !(2.0 * largest_int * largest_int < 0x1p53) ||
            (c.tag() == Num::Int && !(2.0 * largest_int * std::fabs(c.as_int() + 0.0) < 0x1p53)))
            return false;
        Num two = Num::of_int(2);
        size_t m = base.size();
        std::vector<uint32_t> at(m);
        std::vector<double> value(m);
        for (size_t i = 0; i < m; ++i) {
            at[i] = local(factor(base.begin()[i].key.data()[0]));  // x_0 first, then each at x_0 x_j
            exact(base.begin()[i].val, value[i]);
        }
        poly_.clear();
        poly_.reserve(m * (m - 1) / 2 + m);
        for (size_t i = 0; i < m; ++i) {
            const Num& vi = base.begin()[i].val;
            int id = vars[at[i]];
            Num twice = num_mul(two, vi);
            double t = 0.0, line = native_bias(num_mul(twice, c)), square = native_bias(num_squared(vi));
            exact(twice, t);
            for (size_t j = i + 1; j < m; ++j) poly_.push_back(Term{pair_key(at[i], at[j]), 1.0 * (t * value[j])});
            if (table_.vars[(size_t)id].integer) {
                lin[at[i]] += 0.0 + 1.0 * line;
                poly_.push_back(Term{pair_key(at[i], at[i]), 1.0 * square});  // a self-loop
            } else {
                lin[at[i]] += (0.0 + 1.0 * line) + 1.0 * square;  // binary x*x is x
            }
        }
        double constant = bias([&] { return native_bias(num_squared(c)); }, [] { return std::string("the constant"); });
        added(poly_, 0.0 + constant);
        return true;
    }

    /// A coefficient or constant as `read` gives it; with an element, one that is not a finite
    /// float (an int past the float range too) is refused, `what()` naming it.
    template <class Read, class What>
    double bias(Read&& read, What&& what) {
        double v;
        try {
            v = read();
        } catch (InexactInt& inexact) {
            if (!element_) return inexact.rounded;  // a caller's own expression: dimod's reading
            not_exact(*element_, what());
        } catch (PyErrSet&) {
            if (!element_ || !PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
            nb::object caught = caught_error(PyExc_OverflowError);
            nb::object error = nb::handle(PyExc_ValueError)(
                str(element_->text() + ": " + what() +
                    " is too large for a float, but a CQM takes finite numbers only; check the instance data and "
                    "the model's coefficients"));
            raise_from(error, caught.ptr());
        }
        if (element_ && !std::isfinite(v)) not_finite(*element_, what(), v);
        return v;
    }

    /// A term as users read it: x[0]*y[1].
    template <class Factor>
    std::string term_text(Py_ssize_t len, Factor&& factor) const {
        if (len == 0) return "()";
        std::string s;
        for (Py_ssize_t i = 0; i < len; ++i) s += (i ? "*" : "") + table_.name(factor(i));
        return s;
    }

    uint32_t local(int id) {
        if ((size_t)id >= table_.local.size()) table_.local.resize(table_.vars.size(), -1);
        int32_t& l = table_.local[(size_t)id];
        if (l < 0) {
            l = (int32_t)vars.size();
            vars.push_back(id);
            lin.push_back(0.0);
            poly_lin_.push_back(0.0);
            seen_.push_back(0);
        }
        return (uint32_t)l;
    }
    double& linear(uint32_t l) {
        if (!seen_[l]) {
            seen_[l] = 1;
            touched_.push_back(l);
        }
        return poly_lin_[l];
    }

    VarTable& table_;
    const ModelElement* element_ = nullptr;
    std::vector<Term> poly_, pending_, tmp_;  // pending_: each polynomial's sums, in order
    int polys_ = 0;
    std::vector<double> poly_lin_;
    std::vector<char> seen_;
    std::vector<uint32_t> touched_;
};

}  // namespace qtx::bridge
