// The merge of a binary polynomial's contributions into its terms. Expansions add into a Sum:
// into a map (the dict route), or as flat records, in order, that are bucketed by first binary,
// sorted by second and added up once at the end (the arrays route); objectives and penalties
// whose terms are already binary are taken over whole and read where they came. Every sum is
// formed in the order the map would form it, so both routes give the same numbers. Large
// merges compact as they go, to hold memory to the distinct terms, and run on two threads.
//
// Words: a record is one contribution of degree 1 or 2 (its second binary and value, bucketed
// by its first, its row); a part is a range of an objective's terms left unmerged by the
// engine, its group the outer sum it belongs to; a source is a penalty taken over whole.
#pragma once
#include "binary_encoding.hpp"
#include "poly_capsule.hpp"

#include <algorithm>
#include <atomic>
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

// ---- finished coefficients ----

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

/// Refuses a finished coefficient (or, for no key, the constant) that came out inf or NaN from
/// finite ones: the weighted sums left float64's range.
[[noreturn]] inline void overflowed(const Num& v, const int32_t* key, uint32_t size) {
    std::string what =
        key ? "the coefficient " + num_repr(v) + " of the term " + key_text(key, size) : "the constant " + num_repr(v);
    raise(PyExc_ValueError, what +
                                " of the binary polynomial is not finite, though the model's coefficients are: their "
                                "weighted sums overflow float64. Scale the weights or the instance data down.");
}

// ---- sorting and threads ----

/// A stable sort for ranges made of a few ascending or descending runs (a bucket of the merge
/// holds one run per source of terms, descending where a source meets its variables in
/// decreasing order): descending runs are reversed, then the runs are merged pairwise through
/// one scratch buffer, kept between calls.
template <class T>
class RunSort {
public:
    template <class Less>
    void sort(T* a, size_t n, Less&& less) {
        bounds_.clear();
        bounds_.push_back(0);
        for (size_t s = 0; s < n;) {
            size_t e = s + 1;
            if (e < n && less(a[e], a[s])) {
                // strictly descending: no two equal, so reversed it stays stable
                while (e < n && less(a[e], a[e - 1])) ++e;
                std::reverse(a + s, a + e);
            } else {
                while (e < n && !less(a[e], a[e - 1])) ++e;
            }
            if (s > 0) bounds_.push_back(s);
            s = e;
        }
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

/// A second thread running `work`, joined at the latest when the helper goes (so no
/// exception of this thread leaves it running); join() passes on what it threw. When no
/// thread can be started (memory is short, say), join() runs the work on this thread.
class HelperThread {
public:
    template <class F>
    explicit HelperThread(F&& work) : work_(std::forward<F>(work)) {
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
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    ~HelperThread() {
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

// ---- records ----

/// A record of the merge: a term of degree 1 or 2 by its second binary (`col`, -1: linear), the
/// objective's part group it came from (or TermMerge::kOther) and its value; its first binary
/// is its bucket. Floats, the common case, are held as doubles: records half as large, copied
/// without touching a reference count. Once merged, a record holds one term and `group` its row.
struct FloatRecord {
    int32_t col;
    uint32_t group;
    double val;
    void set(Num&& v) { val = v.tag() == Num::Int ? (double)v.as_int() : v.as_float(); }
    double take() const { return val; }
    static double add(double a, double b) { return a + b; }  // as num_add on two floats
    static Num num(double v) { return Num::of_float(v); }
};
struct NumRecord {
    int32_t col;
    uint32_t group;
    Num val;
    void set(Num&& v) { val = std::move(v); }
    Num take() { return std::move(val); }  // the record is left empty
    static Num add(const Num& a, const Num& b) { return num_add(a, b); }
    static Num num(Num&& v) { return std::move(v); }
};

/// The quadratic terms a flat merge wrote over its own records, when every value is a float:
/// size() terms by row, then column, whose rows, columns and values are columns of one block,
/// kStride bytes from one term to the next. The block is the holder's until release() hands it
/// on with the function that frees it. Empty (false) when the terms were emitted instead.
class QuadraticColumns {
public:
    static constexpr size_t kStride = sizeof(FloatRecord);

    QuadraticColumns() = default;
    QuadraticColumns(std::unique_ptr<BigArray<FloatRecord>> block, size_t size)
        : block_(std::move(block)), size_(size) {}

    explicit operator bool() const { return block_ != nullptr; }
    size_t size() const { return size_; }
    int32_t* rows() { return reinterpret_cast<int32_t*>(&block_->get()->group); }
    int32_t* cols() { return &block_->get()->col; }
    double* values() { return &block_->get()->val; }

    /// The block, for an owner that frees it with release_block(); this holds nothing after.
    void* release() { return block_.release(); }
    static void release_block(void* block) noexcept { delete static_cast<BigArray<FloatRecord>*>(block); }

private:
    std::unique_ptr<BigArray<FloatRecord>> block_;
    size_t size_ = 0;
};

/// The largest change one flipped binary can make to a polynomial whose merged terms are added
/// in order (quadratic ones by row, then column): per binary b, |linear_b + the sum of the
/// positive (or the negative) coefficients of the terms holding b|, each sum formed as
/// weights.flip_bound's bincounts form it, those of b's quadratic terms as the row, then as
/// the column, then those of its higher terms, added in that order.
class FlipBound {
public:
    explicit FlipBound(size_t binaries) : linear_(binaries, 0.0) {
        for (int s = 0; s < 3; ++s) up_[s].assign(binaries, 0.0), down_[s].assign(binaries, 0.0);
    }
    void linear(int32_t b, double v) { linear_[(size_t)b] = v; }
    void quadratic(int32_t row, int32_t col, double v) {
        add(0, row, v);
        add(1, col, v);
    }
    void higher(int32_t b, double v) {
        add(2, b, v);
        any_higher_ = true;
    }
    double bound() const {
        double top = 0.0;
        for (size_t b = 0; b < linear_.size(); ++b) {
            double u = up_[0][b] + up_[1][b], d = down_[0][b] + down_[1][b];
            if (any_higher_) u += up_[2][b], d += down_[2][b];
            top = std::max(top, std::max(std::fabs(linear_[b] + u), std::fabs(linear_[b] + d)));
        }
        return top;
    }

private:
    std::vector<double> linear_, up_[3], down_[3];
    bool any_higher_ = false;
    void add(int s, int32_t b, double v) {
        double positive = v > 0 ? v : 0.0;  // finite values: the lowering refuses the rest
        up_[s][(size_t)b] += positive;
        down_[s][(size_t)b] += v - positive;
    }
};

/// One binary polynomial's terms, gathered as the items come and merged at the end: by
/// merged_terms() (the dict route), or by merge_flat() when made `flat` (the arrays route).
/// Expansions add into sum(); terms that need no expansion are handed over with the take_*
/// calls. Every value is the objective's value plus the sum of the other contributions, added
/// in the order they came.
class TermMerge {
public:
    TermMerge(const Encoding& encoding, bool flat) : nvar_(encoding.nvar), binaries_(encoding.nbin()), flat_(flat) {
        sum_.is_flat = flat;
        if (flat) {
            sum_.limit = kFirstRecords;
            sum_.full = [](void* self) { static_cast<TermMerge*>(self)->compact(); };
            sum_.owner = this;
        }
    }
    TermMerge(const TermMerge&) = delete;  // the Sum calls back into this object
    TermMerge& operator=(const TermMerge&) = delete;

    /// Where the items' expansions add their terms and constant.
    Sum& sum() { return sum_; }
    const Num& constant() const { return sum_.constant; }
    /// Whether merge_flat() reads the terms: only then are parts and penalties taken over whole.
    bool flat() const { return flat_; }
    /// The count of binaries so far (the encoding's, then the slacks'): the buckets of records.
    void set_binaries(int32_t n) { binaries_ = n; }

    /// The objective's own binary terms: every other term is added to them.
    void take_objective(Terms&& terms) {
        base_ = std::move(terms);
        has_base_ = true;
    }
    /// The same left in parts (flat only) with their PartStats: merged as merge_parts would.
    void take_objective_parts(Parts&& parts) {
        base_parts_ = std::move(parts);
        has_base_ = true;
    }
    /// The same parts read where they are, copied into the records (flat only): they must
    /// outlive the merge and stay as they are until it is done.
    void lend_objective_parts(const Parts& parts) {
        lent_ = &parts;
        has_base_ = true;
    }
    /// The objective's parts taken by take_objective_parts, given back (nothing is merged then).
    Parts give_back_objective_parts() {
        has_base_ = false;
        return std::move(base_parts_);
    }

    /// Weights that wait for the objective: from now on the squares taken are held for the
    /// final merge, which, when weights_can_wait(), makes their terms, counts the flip bound
    /// of the objective alone and calls weigh(bound); weigh sets the weights of squares taken
    /// at the float weight 1 (set_square_weight), whose terms, made as w * x with w = 1, are
    /// then multiplied by them: each is what the weight would have made.
    template <class Weigh>
    void weigh_at_merge(Weigh&& weigh) {
        hold_ = true;
        weigh_ = std::forward<Weigh>(weigh);
    }
    /// Whether the merge holds the objective in parts (no Python objects, no key of three
    /// variables or more, ints exact in a double) and, besides it, only constraints' squares
    /// taken whole, none of them read yet: then the flip bound of the objective alone comes
    /// out of the final merge as a lowering of the objective alone gives it.
    bool weights_can_wait() const {
        if (!flat_ || !has_base_ || !base_.empty() || compacted_ || kept_ || !sum_.flat.empty() || !sum_.terms.empty())
            return false;
        const PartStats* stats = part_stats(base_parts());
        if (!stats || stats->higher || stats->objects || (stats->ints && stats->int_mass >= 0x1p52)) return false;
        double mass = 0;
        for (const auto& s : sources_)
            if (s.squares.empty() || !s.folded || !native_square(s, mass)) return false;
        return sources_.size() < kOther;
    }
    /// The squares taken so far.
    size_t squares() const { return sources_.size(); }
    /// The weight and the base's constant of square i.
    void set_square_weight(size_t i, const Num& w) {
        sources_[i].w = w;
        reweighed_.resize(sources_.size(), 0);
        reweighed_[i] = 1;
    }
    const Num& square_weight(size_t i) const { return sources_[i].w; }
    /// A bound of the magnitudes of square i's int terms summed, were its weight the int 1;
    /// infinite when its terms are not made natively.
    double square_int_mass(size_t i) const {
        double mass = 0;
        return native_square(sources_[i], Num::of_int(1), mass) ? mass : HUGE_VAL;
    }
    const Num& square_constant(size_t i) const { return sources_[i].c; }

    /// A penalty's terms times w, read where they came (flat only): every variable its own
    /// binary, keys within the encoding, w and the values plain numbers.
    void take_penalty(Terms&& terms, const Num& w) {
        size_t n = terms.size();
        sources_.push_back(Source{std::move(terms), w, sum_.flat.size(), {}, Num(), false, Num()});
        deferred(n);
    }
    /// A square w * (c + sum of `base`)^2 over terms of one distinct binary each (flat only),
    /// its terms made where it came. A penalty's or the objective's (`folded` false) is made
    /// as poly_power(base, 2) lists its terms, each weighted: x_i by 2 v_i c, x_i x_j (i < j)
    /// by 2 v_i v_j, x_i again by `squares[i]` (v_i squared). A constraint's (`folded`) as
    /// add_square makes them: x_i once, by `squares[i]` (v_i^2 + 2c v_i, or v_i^2 for no c),
    /// then x_i x_j. The constant is the caller's. A base whose numbers are made natively is
    /// put in increasing binary order first: every product 2 v_i v_j is the same both ways.
    void take_square(Terms&& base, const Num& w, std::vector<Num>&& squares, const Num& c, bool folded = false,
                     const Num& scale = Num()) {
        size_t n = base.size();
        sources_.push_back(Source{std::move(base), w, sum_.flat.size(), std::move(squares), c, folded, scale});
        double mass;
        if (native_square(sources_.back(), mass)) increasing_square(sources_.back());
        deferred(n * (n - 1) / 2 + (folded ? n : 2 * n));
    }

    /// Room for count() more records at once, up to those that make the merge compact; count
    /// is asked only while records are gathered.
    template <class Count>
    void expect(Count&& count) {
        if (!sum_.is_flat) return;
        size_t terms = sum_.flat.size() + count();
        sum_.flat.reserve(std::min(terms, sum_.limit));
    }

    /// The finished terms of a merge that is not flat: a copied objective's keys first, each
    /// value objective + the rest.
    Terms merged_terms() {
        if (!has_base_) return std::move(sum_.terms);
        base_.reserve(base_.size() + sum_.terms.size());
        SignalPoll poll;
        for (auto& entry : sum_.terms) {
            poll.tick();
            base_.accumulate(std::move(entry));
        }
        sum_.terms = Terms();
        return std::move(base_);
    }

    /// The finished terms of a flat merge, merged as merged_terms() would (a copied
    /// objective's value plus the sum of the other contributions, those added in order). When
    /// every value of degree 1 and 2 is a float (or an int that every sum keeps exact in a
    /// double), the quadratic terms are written over the records and returned; otherwise
    /// reserve(n) is told how many terms of degree 1 and 2 there are at most. emit(key, size,
    /// value) gets the other terms of degree 1 and 2 by ascending (first, second) index, then
    /// those of degree 3 and more in merged_terms()'s order. Empties the merge.
    template <class Reserve, class Emit>
    QuadraticColumns merge_flat(Reserve&& reserve, Emit&& emit) {
        if (!lone_square_in_place(emit)) merge(true, reserve, emit);
        return std::move(quadratic_);
    }

private:
    const int32_t nvar_;
    int32_t binaries_;
    const bool flat_;
    Sum sum_;
    Terms base_;                   // the objective of an all-binary model, copied: every other term is added to it
    Parts base_parts_;             // or that objective unmerged (flat merges only), read as merge_parts would
    const Parts* lent_ = nullptr;  // or those parts lent, read without being taken
    bool hold_ = false;            // squares wait for their weights (weigh_at_merge)
    std::function<void(double)> weigh_;  // called with the objective's flip bound
    std::vector<char> reweighed_;        // by square: its weight set by weigh_
    uint32_t each_source_ = 0;           // the square each_other() is at
    bool has_base_ = false;
    QuadraticColumns quadratic_;                          // merge_flat's quadratic terms, when written in place
    static constexpr uint32_t kOther = UINT32_MAX;        // the group of a record not from the objective
    static constexpr size_t kParallel = size_t(1) << 16;  // records worth a second thread

    /// The objective's parts: lent, or taken.
    const Parts& base_parts() const { return lent_ ? *lent_ : base_parts_; }

    /// The objective's value of every binary when it has terms of one binary only (x, or x * x,
    /// which is x), each a finite plain number: its records added up as merge_buckets adds
    /// them (each group's parts in order, then the groups), in doubles. `seen[b]`: the
    /// objective has a term of b. False when it has other terms, or ints too large to sum
    /// exactly in a double beside `mass` (the square's).
    bool linear_objective(std::vector<double>& value, std::vector<char>& seen, double mass) const {
        size_t nb = (size_t)binaries_;
        value.assign(nb, 0.0);
        seen.assign(nb, 0);
        std::vector<double> group(nb, 0.0);
        std::vector<uint32_t> current(nb, kOther);
        std::vector<char> open(nb, 0);
        double int_mass = mass;
        auto add = [&](const Key& k, const Num& v, uint32_t g) {
            if (k.size() == 0 || k.size() > 2 || (k.size() == 2 && k.data()[1] != k.data()[0])) return false;
            if (v.tag() != Num::Int && v.tag() != Num::Float) return false;
            size_t b = (size_t)k.data()[0];
            if (b >= nb) return false;
            double x = v.tag() == Num::Int ? (double)v.as_int() : v.as_float();
            if (!std::isfinite(x)) return false;
            if (v.tag() == Num::Int) int_mass += std::fabs(x);
            if (g != current[b] && open[b]) {  // a group closes: its sum goes to the total
                value[b] = seen[b] ? value[b] + group[b] : group[b];
                seen[b] = 1;
                open[b] = 0;
            }
            current[b] = g;
            group[b] = open[b] ? group[b] + x : x;
            open[b] = 1;
            return true;
        };
        for (const auto& entry : base_)
            if (!add(entry.key, entry.val, 0)) return false;
        for (const Parts* parts : {lent_, &base_parts_}) {
            if (!parts) continue;
            for (size_t p = 0; p < parts->size(); ++p)
                for (auto* entry = parts->begin(p); entry != parts->end(p); ++entry)
                    if (!add(entry->key, entry->val, parts->group(p))) return false;
        }
        for (size_t b = 0; b < nb; ++b)
            if (open[b]) value[b] = seen[b] ? value[b] + group[b] : group[b], seen[b] = 1;
        return int_mass < 0x1p52;
    }

    /// merge_flat() of a model that is one square, its constant and an objective with terms of
    /// one binary only (or none): the quadratic terms are written once, straight into the block
    /// handed out, in row and column order (on two threads when many), and the linear ones
    /// emitted; each value as merge_buckets makes it (the objective's value, then the
    /// square's, added). Weights that wait are chosen first, from the objective's flip bound.
    /// False, and nothing done, unless the numbers are native and their ints sum exactly in a
    /// double; a term past float64's range is refused as merge_buckets refuses it.
    template <class Emit>
    bool lone_square_in_place(Emit&& emit) {
        if (!lone_square()) return false;
        const Source& s = sources_[0];
        double mass = 0;
        if (!native_square(s, mass) || mass >= 0x1p52) return false;
        size_t n = s.terms.size();
        const Terms::Entry* es = s.terms.begin();
        std::vector<int32_t> vars(n);
        std::vector<double> v(n);
        double top = 0, top_square = 0;
        for (size_t i = 0; i < n; ++i) {
            vars[i] = es[i].key.data()[0];
            if (i > 0 && vars[i] <= vars[i - 1]) return false;
            v[i] = promoted(es[i].val);
            top = std::max(top, std::fabs(v[i]));
            top_square = std::max(top_square, std::fabs(promoted(s.squares[i])));
        }
        if (n && (vars[0] < 0 || vars[n - 1] >= binaries_)) return false;
        std::vector<double> objective;
        std::vector<char> in_objective;
        if (has_base_ && !linear_objective(objective, in_objective, mass)) return false;
        auto finite_bound = [&] {
            double w = promoted(s.w), c = promoted(s.c);
            return std::isfinite(std::fabs(w) * (2 * top * top + 2 * top * std::fabs(c) + top_square));
        };
        if (!weigh_ && !finite_bound()) return false;
        if (weigh_) {
            FlipBound bound((size_t)binaries_);
            for (size_t b = 0; b < in_objective.size(); ++b)
                if (in_objective[b]) bound.linear((int32_t)b, objective[b]);
            weigh_(bound.bound());
        }
        // chosen late, a weight may take a term past float64's range: each is checked then
        bool check = !finite_bound();
        double w = promoted(s.w), c = promoted(s.c);

        size_t count = n * (n - 1) / 2;
        auto block = std::make_unique<BigArray<FloatRecord>>(count);
        FloatRecord* out = block->get();
        auto first = [n](size_t i) { return i * (n - 1) - i * (i - 1) / 2; };  // row i's first term
        std::atomic<bool> stop{false};
        struct Unfinite {  // the first term, in row and column order, that is not finite
            bool seen = false;
            int32_t key[2];
            double val;
        } unfinite[2];
        // rows [from, to): x_i x_j by w * (2 v_i * v_j), as weighted() makes it; each value
        // checked only when the bound above could not vouch for them all
        auto write_rows = [&](size_t from, size_t to, bool poll_signals, Unfinite& bad, auto checked) {
            SignalPoll poll;
            for (size_t i = from; i < to && !stop.load(std::memory_order_relaxed); ++i) {
                if (poll_signals) poll.tick(n - i);
                FloatRecord* r = out + first(i);
                double twice = 2 * v[i];
                uint32_t row = (uint32_t)vars[i];
                for (size_t j = i + 1; j < n; ++j, ++r) {
                    r->col = vars[j];
                    r->group = row;
                    r->val = w * (twice * v[j]);
                    if constexpr (decltype(checked)::value)
                        if (!bad.seen && !std::isfinite(r->val)) bad = Unfinite{true, {vars[i], vars[j]}, r->val};
                }
            }
        };
        auto write = [&](size_t from, size_t to, bool poll_signals, Unfinite& bad) {
            if (check)
                write_rows(from, to, poll_signals, bad, std::true_type());
            else
                write_rows(from, to, poll_signals, bad, std::false_type());
        };
        if (count >= kParallel) {
            size_t mid = 0;
            while (mid < n && first(mid) < count / 2) ++mid;
            HelperThread helper([&] { write(mid, n, false, unfinite[1]); });
            try {
                write(0, mid, true, unfinite[0]);
            } catch (...) {
                stop = true;  // the helper ends with its row; it is joined as it goes
                throw;
            }
            helper.join();
        } else {
            write(0, n, true, unfinite[0]);
        }
        // the linear terms by binary: the objective's value, plus the square's
        int32_t key[2] = {0, -1};
        size_t i = 0;
        for (int32_t b = 0; b < binaries_; ++b) {
            bool from_objective = b < (int32_t)in_objective.size() && in_objective[(size_t)b];
            bool from_square = i < n && vars[i] == b;
            if (!from_objective && !from_square) continue;
            key[0] = b;
            double value = from_objective ? objective[(size_t)b] : 0.0;
            if (from_square) {
                double q = w * promoted(s.squares[i]);
                double rest = s.folded ? q : w * (2 * v[i] * c) + q;
                value = from_objective ? value + rest : rest;
                ++i;
            }
            emit(key, 1u, Num::of_float(value));
        }
        for (const Unfinite& u : unfinite)
            if (u.seen) overflowed(Num::of_float(u.val), u.key, 2);
        block->emptied();
        quadratic_ = QuadraticColumns(std::move(block), count);
        sources_.clear();
        source_terms_ = 0;
        BigVector<Sum::Part>().swap(sum_.flat);
        base_ = Terms();
        base_parts_.clear();
        lent_ = nullptr;
        return true;
    }

    /// merge_flat(), or, when not `final`, the same merge of the contributions besides the
    /// objective (which is left as it is), every term emitted as a Num.
    template <class Reserve, class Emit>
    void merge(bool final, Reserve&& reserve, Emit&& emit) {
        bool objective = final && has_base_;
        bool in_place = final;  // a final merge may write its quadratic floats over the records
        SignalPoll poll;
        // Terms of degree 1 and 2 are counted by first index (see below); those of degree 3 and
        // more, rare, are merged through a map in merged_terms()'s order, in the same passes.
        size_t nb = (size_t)binaries_;
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
            for (auto& entry : base_)
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
            const Parts& parts = base_parts();
            for (size_t p = 0; p < parts.size(); ++p) {
                if (p > 0 && parts.group(p) != parts.group(p - 1)) close_group();
                poll.tick(parts.terms(p));
                for (auto* entry = parts.begin(p); entry != parts.end(p); ++entry)
                    if (entry->key.size() > 2)
                        group.accumulate(Key(entry->key), Num(entry->val));
                    else
                        count_base(entry->key, entry->val);
            }
            close_group();
        };
        // an objective in parts without keys of three variables or more was counted as it came
        const PartStats* stats = part_stats(base_parts());
        if (objective && base_.empty() && stats && !stats->higher) {
            for (size_t r = 0; r < nb && r < stats->rows.size(); ++r) {
                from_base[r] = stats->rows[r];
                start[r + 2] += stats->rows[r];
            }
            objects = stats->objects;
            ints = stats->ints;
            int_mass = stats->int_mass;
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
                size_t linear = s.folded ? 1 : 2;  // the contributions to x_i
                for (size_t i = 0; i < n; ++i) start[(size_t)es[i].key.data()[0] + 2] += linear + (n - 1 - i);
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
            merge_buckets<FloatRecord>(start, from_base, emit, final, in_place);
        else
            merge_buckets<NumRecord>(start, from_base, emit, final, in_place);
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
        if (!sum_.is_flat) {
            each_other([&](const Key& k, Num& v) { sum_.terms.accumulate(Key(k), std::move(v)); },
                       [](const Source&) { return false; }, false);
            sources_.clear();
            sum_.added += n;
            if (sum_.added >= sum_.limit) compact();
            return;
        }
        source_terms_ += n;
        if (hold_) return;  // their weights are not known yet
        if (sum_.flat.size() + source_terms_ >= threshold_) {
            if (lone_square()) {
                // a compaction would only make its terms, all distinct: it waits for more to come
                sum_.limit = 1;
                return;
            }
            compact();
        } else {
            sum_.limit = compacted_ ? threshold_ - source_terms_ : std::min(threshold_ - source_terms_, kFirstRecords);
        }
    }

    /// Whether all that the merge holds besides the objective is one square taken whole.
    bool lone_square() const {
        return sources_.size() == 1 && !sources_[0].squares.empty() && sum_.flat.empty() && sum_.terms.empty() &&
               kept_ == 0;
    }

    /// Merges the pending contributions into one term per key holding the sum of its
    /// contributions so far (in order, as merge_flat and merged_terms() add them: later ones add to
    /// it, so every result stays the same), the objective left apart. Memory then follows the
    /// distinct terms: the next compaction waits for twice as many contributions as there are
    /// terms, which also keeps the time linear. When the contributions came at least twice per
    /// term, the rest are added into sum_.terms as they come (merged_terms()'s way), until they bring
    /// new terms again.
    void compact() {
        compacted_ = true;
        size_t before = sum_.terms.size() + kept_;
        if (!sum_.is_flat) {
            if ((before - terms_seen_) * kRepeats > sum_.added) flat_again();
            terms_seen_ = before;
            sum_.added = 0;
            return;
        }
        // sorted by key and merged as merge_flat does, no lookup per contribution: the terms of
        // degree 1 and 2 kept as records, the others in sum_.terms
        size_t pending = sum_.flat.size() + source_terms_;
        Terms merged;
        merge(
            false, [](size_t) {},
            [&](const int32_t* k, uint32_t n, const Num& v) { merged.push_distinct(Key(k, n), Num(v)); });
        sum_.terms = std::move(merged);
        source_terms_ = 0;
        if ((sum_.terms.size() + kept_) * kRepeats > before + pending) {
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
                NumRecord& r = (*kept_nums_)[i];
                sum_.terms.push_distinct(key(r.group, r.col), std::move(r.val));
            } else {
                const FloatRecord& r = (*kept_floats_)[i];
                sum_.terms.push_distinct(key(r.group, r.col), Num::of_float(r.val));
            }
        }
        kept_floats_.reset();
        kept_nums_.reset();
        kept_ = 0;
        sum_.is_flat = false;
        BigVector<Sum::Part>().swap(sum_.flat);
        terms_seen_ = sum_.terms.size();
        sum_.added = 0;
        sum_.limit = std::max(kCompactAt, 2 * sum_.terms.size());
    }

    static constexpr size_t kRepeats = 2;  // contributions per term that make adding into the map pay
    size_t terms_seen_ = 0;                // terms in the map when the last contributions began to come
    // The last compaction's terms of degree 1 and 2, by row then column (row in `group`,
    // column -1 for a linear term): the first kept_ records of one of the two.
    std::unique_ptr<BigArray<FloatRecord>> kept_floats_;
    std::unique_ptr<BigArray<NumRecord>> kept_nums_;
    size_t kept_ = 0;

    void flat_again() {
        sum_.is_flat = true;
        threshold_ = std::max(kCompactAt, 2 * (sum_.terms.size() + kept_));
        sum_.limit = threshold_;
    }

    /// A penalty taken over whole: its terms, weight, and the flat parts that came before it;
    /// for a square, its base's terms, their squares and the base's constant.
    struct Source {
        Terms terms;
        Num w;
        size_t flat_at;
        std::vector<Num> squares;  // empty: not a square
        Num c;
        bool folded = false;  // a constraint's square: one term for x_i (see take_square)
        Num scale;            // a weight written in the model, c * square: each term times c; or none
    };
    std::vector<Source> sources_;

    /// Whether a square's terms are made without a Python object: a float or int weight, and
    /// base values, squares and constant that are floats or ints, the ints below 2^20 in
    /// magnitude (the squares below 2^42: every product then stays within int64), and no
    /// product 2 v_i v_j or 2 v_i c that leaves float64's range. `mass` gets a bound of the int
    /// terms' magnitudes summed.
    static bool native_square(const Source& s, double& mass) { return native_square(s, s.w, mass); }
    /// native_square() of the square at weight w.
    static bool native_square(const Source& s, const Num& w, double& mass) {
        constexpr double kBound = double(1 << 20);
        auto plain = [](const Num& v) { return v.tag() == Num::Float || v.tag() == Num::Int; };
        auto small = [&](const Num& v, double bound) {
            return plain(v) && (v.tag() == Num::Float || std::fabs((double)v.as_int()) < bound);
        };
        if (s.squares.empty() || !s.scale.empty() || !small(w, kBound) || !small(s.c, kBound)) return false;
        double sum = 0, squares = 0;  // of the int values' magnitudes, of their squares
        double top = 0;               // the largest magnitude of a value
        for (const auto& entry : s.terms) {
            if (!small(entry.val, kBound)) return false;
            double x = std::fabs(promoted(entry.val));
            top = std::max(top, x);
            if (entry.val.tag() == Num::Int) sum += x, squares += x * x;
        }
        for (const Num& q : s.squares)
            if (!small(q, kBound * kBound * 4)) return false;
        double c = std::fabs(promoted(s.c));
        if (!std::isfinite(2 * top * top) || !std::isfinite(2 * top * c)) return false;
        // the terms w * 2 v_i c, w * 2 v_i v_j (i < j) and w * v_i^2 (or w * (v_i^2 + 2 c v_i))
        // are ints when all their factors are
        double ci = s.c.tag() == Num::Int ? c : 0.0;
        mass = w.tag() == Num::Int ? std::fabs(promoted(w)) * (2 * sum * ci + sum * sum + squares) : 0.0;
        return true;
    }

    /// A native_square()'s number as num_mul promotes it.
    static double promoted(const Num& v) {
        double x = 0;
        v.promotes(x);
        return x;
    }

    /// w * (a * b) as num_mul computes it, for a native_square()'s numbers: ints while every
    /// factor is one (exact: the bounds keep them within int64), else floats.
    static Num weighted(const Num& w, const Num& a, const Num& b) {
        if (a.tag() == Num::Int && b.tag() == Num::Int) {
            int64_t p = a.as_int() * b.as_int();
            if (w.tag() == Num::Int) return Num::of_int(w.as_int() * p);
            return Num::of_float(w.as_float() * (double)p);
        }
        return Num::of_float(promoted(w) * (promoted(a) * promoted(b)));
    }
    /// w * q as num_mul computes it, for a native_square()'s numbers.
    static Num weighted(const Num& w, const Num& q) {
        if (w.tag() == Num::Int && q.tag() == Num::Int) return Num::of_int(w.as_int() * q.as_int());
        return Num::of_float(promoted(w) * promoted(q));
    }

    /// Puts a native square's base (and its squares) in increasing binary order.
    static void increasing_square(Source& s) {
        const Terms::Entry* es = s.terms.begin();
        size_t n = s.terms.size();
        bool sorted = true;
        for (size_t i = 1; i < n && sorted; ++i) sorted = es[i - 1].key.data()[0] < es[i].key.data()[0];
        if (sorted) return;
        std::vector<uint32_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = (uint32_t)i;
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return es[a].key.data()[0] < es[b].key.data()[0]; });
        Terms terms;
        terms.reserve_entries(n);
        std::vector<Num> squares;
        squares.reserve(n);
        for (uint32_t i : order) {
            terms.push_distinct(Key(es[i].key), Num(es[i].val));
            squares.push_back(std::move(s.squares[i]));
        }
        s.terms = std::move(terms);
        s.squares = std::move(squares);
    }

    /// Calls f(key, value) for every term of a square source, in the order its expansion
    /// lists them (see take_square), each weighted. `native`: numbers made as native_square()
    /// allows.
    template <class F>
    static void square_terms(const Source& s, bool native, F&& f) {
        SignalPoll poll;
        const Num two = Num::of_int(2);
        // a term of the square, times the scale written in the model (as poly_mul scales it), if any
        auto scaled = [&](Num&& v) { return s.scale.empty() ? std::move(v) : num_mul(v, s.scale); };
        auto weigh = [&](const Num& twice, const Num& b) {
            return native ? weighted(s.w, twice, b) : num_mul(s.w, scaled(num_mul(twice, b)));
        };
        const Terms::Entry* es = s.terms.begin();
        size_t n = s.terms.size();
        for (size_t i = 0; i < n; ++i) {
            poll.tick(n - i);
            int32_t a = es[i].key.data()[0];
            Num twice = num_mul(two, es[i].val);
            Key single(1);
            single.data()[0] = a;
            Num q = native ? weighted(s.w, s.squares[i]) : num_mul(s.w, scaled(Num(s.squares[i])));
            if (s.folded) {
                f(single, q);
            } else {
                Num v = weigh(twice, s.c);
                f(single, v);
            }
            for (size_t j = i + 1; j < n; ++j) {
                int32_t b = es[j].key.data()[0];
                Key k(2);
                k.data()[0] = std::min(a, b);
                k.data()[1] = std::max(a, b);
                Num u = weigh(twice, es[j].val);
                f(k, u);
            }
            if (!s.folded) f(single, q);
        }
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
                f(sum_.flat[at].key, sum_.flat[at].val);
            }
        };
        if (compacted)
            for (auto& entry : sum_.terms) {  // every contribution in them came first
                poll.tick();
                f(entry.key, entry.val);
            }
        int32_t bits[Key::kInline];
        for (auto& s : sources_) {
            flat_to(s.flat_at);
            poll.tick(s.terms.size());
            if (!s.squares.empty() && skip(static_cast<const Source&>(s))) continue;
            if (!s.squares.empty()) {
                double mass = 0;
                each_source_ = (uint32_t)(&s - sources_.data());
                square_terms(s, native_square(s, mass), f);
                continue;
            }
            for (auto& entry : s.terms) {
                Num v = num_mul(s.w, entry.val);
                const Key& k = entry.key;
                if (increasing(k, nvar_)) {
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
        flat_to(sum_.flat.size());
    }

    /// Sorts every bucket's objective records by column (stably: the bucket sorts the same
    /// afterwards) and calls weigh_ with the flip bound of the objective alone, each term's
    /// value formed as merge_buckets forms it (each group's parts in order, then the groups).
    /// Many float records are sorted on two threads, the later buckets' terms kept by the
    /// helper and counted after this thread's, in bucket order.
    template <class Rec>
    void weigh_base(BigArray<Rec>& recs, const std::vector<size_t>& first, const std::vector<size_t>& from_base) {
        using V = decltype(std::declval<Rec&>().take());
        size_t nb = first.size() - 1;
        FlipBound bound(nb);
        // buckets [from, to): each term's (row, column, value) to sink
        auto scan = [&](size_t from, size_t to, bool poll_signals, auto&& sink) {
            RunSort<Rec> sorter;
            SignalPoll poll;
            for (size_t r = from; r < to; ++r) {
                size_t lo = first[r], hi = lo + from_base[r];
                if (poll_signals) poll.tick(hi - lo);
                sorter.sort(recs.get() + lo, hi - lo, [](const Rec& a, const Rec& b) { return a.col < b.col; });
                for (size_t i = lo; i < hi;) {
                    int32_t col = recs[i].col;
                    V total{}, group{};
                    bool has_total = false, has_group = false;
                    uint32_t current = kOther;
                    auto close = [&] {
                        total = has_total ? Rec::add(total, group) : std::move(group);
                        has_total = true;
                    };
                    for (; i < hi && recs[i].col == col; ++i) {
                        const Rec& rec = recs[i];
                        if (rec.group != current && has_group) close();
                        if (rec.group != current) has_group = false;
                        current = rec.group;
                        V v = rec.val;
                        group = has_group ? Rec::add(group, v) : std::move(v);
                        has_group = true;
                    }
                    if (has_group) close();
                    sink((int32_t)r, col, value_of(total));
                }
            }
        };
        auto count = [&](int32_t row, int32_t col, double v) {
            if (col < 0)
                bound.linear(row, v);
            else
                bound.quadratic(row, col, v);
        };
        size_t total = 0;
        for (size_t r = 0; r < nb; ++r) total += from_base[r];
        if (std::is_same<Rec, FloatRecord>::value && total >= kParallel) {
            size_t mid = 0, seen = 0;  // the buckets before mid hold `seen` records, about half
            while (mid < nb && seen < total / 2) seen += from_base[mid++];
            struct Term {
                int32_t row, col;
                double val;
            };
            std::vector<Term> later;
            later.reserve(total - seen);  // at most one term per record
            HelperThread helper(
                [&] { scan(mid, nb, false, [&](int32_t r, int32_t c, double v) { later.push_back({r, c, v}); }); });
            scan(0, mid, true, count);
            helper.join();
            for (const Term& t : later) count(t.row, t.col, t.val);
        } else {
            scan(0, nb, true, count);
        }
        weigh_(bound.bound());
    }
    static double value_of(double v) { return v; }
    static double value_of(const Num& v) { return promoted(v); }

    /// Sorts every bucket's records by column, stably (equal columns keep their order), as
    /// merge_buckets' run sort does bucket by bucket, in two counting passes over all of them: by
    /// column into a copy, then back by bucket. A bucket's records meet in several sorted runs
    /// (the objective's rows, then each square's), which the run sort merges pass after pass.
    /// Only for merges small enough to take the copy, with few buckets for their records; false
    /// (nothing done) otherwise.
    template <class Rec>
    static bool sort_by_column(BigArray<Rec>& recs, const std::vector<size_t>& first) {
        size_t nb = first.size() - 1, lo = first[0], total = first[nb] - lo;
        if (total < 64 || total > kCountingSort || nb > 4 * total) return false;
        // records by column + 1 (a linear term's column is -1), then where each column begins
        std::vector<uint32_t> start(nb + 2, 0);
        for (size_t i = lo; i < lo + total; ++i) ++start[(size_t)(recs[i].col + 1) + 1];
        for (size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
        std::vector<Rec> by_col(total);
        std::vector<uint32_t> bucket(total);
        for (size_t r = 0; r < nb; ++r)
            for (size_t i = first[r]; i < first[r + 1]; ++i) {
                uint32_t at = start[(size_t)(recs[i].col + 1)]++;
                by_col[at] = std::move(recs[i]);
                bucket[at] = (uint32_t)r;
            }
        std::vector<size_t> next(first.begin(), first.end() - 1);
        for (size_t i = 0; i < total; ++i) recs[next[bucket[i]]++] = std::move(by_col[i]);
        return true;
    }
    static constexpr size_t kCountingSort = size_t(1) << 20;  // records sort_by_column copies at most

    /// merge_flat's records bucketed by first index (the objective's entries first, then the
    /// contributions in order), each bucket sorted stably by second index and its equal keys
    /// merged. `start` holds the buckets' beginnings, from index 1; `from_base` the objective's
    /// records in each. Large float merges written in place run on two threads: the
    /// objective's records are placed by a helper while this thread places the others, then
    /// each sorts and merges half the buckets. The helper touches no Python object: in place,
    /// every value is a float and every term it emits is a linear one, stored by index.
    /// Not `final` (a compaction), the objective is left out and kept.
    template <class Rec, class Emit>
    void merge_buckets(std::vector<size_t>& start, const std::vector<size_t>& from_base, Emit&& emit, bool final,
                       bool floats_in_place) {
        using V = decltype(std::declval<Rec&>().take());
        constexpr bool floats = std::is_same<Rec, FloatRecord>::value;
        size_t nb = start.size() - 2;
        size_t total = start[nb + 1];
        auto owner = std::make_unique<BigArray<Rec>>(total);  // filled below, one record per slot
        BigArray<Rec>& recs = *owner;
        bool in_place = floats && floats_in_place;
        bool two = in_place && total >= kParallel;
        // bucket r is [first[r], first[r + 1])
        std::vector<size_t> first(nb + 1);
        for (size_t r = 0; r <= nb; ++r) first[r] = start[r + 1];
        std::vector<size_t> at_base(first.begin(), first.end() - 1), at_other(nb);
        for (size_t r = 0; r < nb; ++r) at_other[r] = first[r] + from_base[r];
        auto put = [&](std::vector<size_t>& at, const Key& k, Num&& v, uint32_t group) {
            if (k.size() > 2) return;
            Rec& rec = recs[at[(size_t)k.data()[0]]++];
            // a square x*x of the objective is x: its variable has no key of its own (takes_parts)
            rec.col = k.size() == 2 && k.data()[1] != k.data()[0] ? k.data()[1] : -1;
            rec.group = group;
            rec.set(std::move(v));
        };
        auto put_base = [&](bool poll_signals) {
            SignalPoll poll;
            for (auto& entry : base_) put(at_base, entry.key, std::move(entry.val), 0);
            if (lent_) {
                // copied: a value that is no Python object (all of them, on the helper thread)
                // copies without a reference count
                for (size_t p = 0; p < lent_->size(); ++p) {
                    if (poll_signals) poll.tick(lent_->terms(p));
                    uint32_t g = lent_->group(p);
                    for (auto* entry = lent_->begin(p); entry != lent_->end(p); ++entry)
                        put(at_base, entry->key, Num(entry->val), g);
                }
            }
            std::vector<size_t> last = base_parts_.last_parts();
            for (size_t p = 0; p < base_parts_.size(); ++p) {
                if (poll_signals) poll.tick(base_parts_.terms(p));
                uint32_t g = base_parts_.group(p);
                for (auto* entry = base_parts_.begin(p); entry != base_parts_.end(p); ++entry)
                    put(at_base, entry->key, std::move(entry->val), g);
                // read through: memory goes back early
                if (last[base_parts_.block(p)] == p) base_parts_.free_block(base_parts_.block(p));
            }
        };
        auto put_others = [&] {
            for (size_t i = 0; i < kept_; ++i) {  // before anything that came after them
                if (kept_nums_) {
                    NumRecord& from = (*kept_nums_)[i];
                    Rec& rec = recs[at_other[from.group]++];
                    rec.col = from.col;
                    rec.group = kOther;
                    rec.set(std::move(from.val));
                } else {
                    const FloatRecord& from = (*kept_floats_)[i];
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
            // while weights wait, a square's terms carry its index (see weigh_at_merge)
            bool waiting = final && weigh_;
            each_other([&](const Key& k, Num& v) { put(at_other, k, std::move(v), waiting ? each_source_ : kOther); },
                       [](const Source&) { return false; });
        };
        if (two) {
            HelperThread helper([&] { put_base(false); });
            put_others();
            helper.join();
        } else {
            if (final) put_base(true);
            put_others();
        }
        if (final && weigh_) {
            weigh_base(recs, first, from_base);
            // the squares' terms were made at weight 1 (w * x is x then): now at their weight
            reweighed_.resize(sources_.size(), 0);
            std::vector<double> weight(sources_.size());
            for (size_t i = 0; i < sources_.size(); ++i) weight[i] = promoted(sources_[i].w);
            auto reweigh = [&](size_t from, size_t to) {
                for (size_t r = from; r < to; ++r)
                    for (size_t i = first[r] + from_base[r]; i < first[r + 1]; ++i) {
                        Rec& rec = recs[i];
                        if (reweighed_[rec.group]) {
                            if constexpr (floats)
                                rec.val = weight[rec.group] * rec.val;
                            else
                                rec.val = Num::of_float(weight[rec.group] * promoted(rec.val));
                        }
                        rec.group = kOther;
                    }
            };
            if (two) {  // floats only: no Python object is touched
                size_t mid = (size_t)(std::lower_bound(first.begin(), first.end(), total / 2) - first.begin());
                mid = std::min(mid, nb);
                HelperThread helper([&] { reweigh(mid, nb); });
                reweigh(0, mid);
                helper.join();
            } else {
                reweigh(0, nb);
            }
        }
        if (final) {
            base_ = Terms();
            base_parts_.clear();
            lent_ = nullptr;
            BigVector<Sum::Part>().swap(sum_.flat);
        } else {
            sum_.flat.clear();  // its room is taken again up to the next compaction
        }
        sum_.terms = Terms();
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
        bool by_column = false;  // every bucket sorted already (sort_by_column)
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
                        FloatRecord& o = recs[written++];  // never past the records read: each term took one
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
                if (!by_column)
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
            HelperThread helper([&] { merge_range(mid, nb, later, false, unfinite[1]); });
            merge_range(0, mid, written, true, unfinite[0]);
            helper.join();
            if (written < first[mid])
                std::memmove(static_cast<void*>(recs.get() + written), recs.get() + first[mid],
                             (later - first[mid]) * sizeof(Rec));
            written += later - first[mid];
        } else {
            by_column = sort_by_column(recs, first);
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
                quadratic_ = QuadraticColumns(std::move(owner), written);
            }
        }
    }
};

}  // namespace qtx::pubo
