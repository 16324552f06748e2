// Poly: the polynomial arithmetic of the package, written once. The substitution engine
// keeps its polynomials in this form until a result is handed to Python, and the in-place
// methods of SubstitutedExpression read their operands into it, compute, and write back.
// Key orders follow the methods' rules; numbers follow Python through Num.
// The core's words (key, term map, parts, capsule, plan, kernel, rows): GLOSSARY.md here.
#pragma once
#include "big_array.hpp"
#include "maps.hpp"
#include "names.hpp"
#include "num.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace qtx {

/// A monomial key: the variable index of every factor. Keys of up to three factors (nearly
/// all) are held inline; longer ones keep a heap array whose pointer takes the inline room.
/// A key is 16 bytes, so maps of many terms stay compact.
class Key {
public:
    static constexpr uint32_t kInline = 3;

    Key() = default;
    explicit Key(uint32_t n) : n_(n) {
        if (n > kInline) set_big(new int32_t[n]);
    }
    /// The factors d[0..n).
    Key(const int32_t* d, uint32_t n) : Key(n) { copy_ints(d, n, data()); }
    Key(const Key& o) : Key(o.n_) { copy_ints(o.data(), n_, data()); }
    Key(Key&& o) noexcept : n_(o.n_) {
        in_[0] = o.in_[0], in_[1] = o.in_[1], in_[2] = o.in_[2];  // the factors or the pointer
        o.n_ = 0;                                                 // a moved-from key is empty and owns nothing
    }
    Key& operator=(const Key& o) {
        if (this != &o) *this = Key(o);
        return *this;
    }
    Key& operator=(Key&& o) noexcept {
        if (this != &o) {
            release();
            n_ = o.n_;
            in_[0] = o.in_[0], in_[1] = o.in_[1], in_[2] = o.in_[2];
            o.n_ = 0;
        }
        return *this;
    }
    ~Key() { release(); }

    /// Becomes the factors d[0..n), written where the key lies: a key built elsewhere and
    /// moved here right away would be read back as wider words than it was written in, which
    /// stalls on the partial stores.
    [[gnu::always_inline]] void assign(const int32_t* d, uint32_t n) {
        release();
        n_ = n;
        if (n > kInline) set_big(new int32_t[n]);
        copy_ints(d, n, data());
    }

    /// assign() over a key that owns no heap array (an empty one, as open_room() makes them),
    /// of up to kInline factors: nothing to release or allocate.
    [[gnu::always_inline]] void assign_short(const int32_t* d, uint32_t n) {
        n_ = n;
        copy_ints(d, n, in_);
    }

    uint32_t size() const { return n_; }
    const int32_t* data() const { return n_ > kInline ? big() : in_; }
    int32_t* data() { return n_ > kInline ? big() : in_; }
    bool operator==(const Key& o) const { return n_ == o.n_ && std::equal(data(), data() + n_, o.data()); }

    uint64_t hash() const {
        // short keys read their factors where they are: loading the pointer room of a key just
        // written as factors would stall on the partial stores
        if (n_ <= kInline) return hash_of(in_, n_);
        return hash_of(big(), n_);
    }

    static uint64_t hash_of(const int32_t* d, uint32_t n) {
        uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
        for (uint32_t i = 0; i < n; ++i) {
            h ^= (uint32_t)d[i];
            h *= 0xff51afd7ed558ccdULL;
            h ^= h >> 32;
        }
        return h;
    }

    /// key1 + key2, sorted ascending when `sort`.
    static Key concat(const Key& a, const Key& b, bool sort) {
        Key k(a.n_ + b.n_);
        int32_t* d = k.data();
        copy_ints(a.data(), a.n_, d);
        copy_ints(b.data(), b.n_, d + a.n_);
        if (sort)
            for (uint32_t i = 1; i < k.n_; ++i)
                for (uint32_t j = i; j > 0 && d[j] < d[j - 1]; --j) std::swap(d[j], d[j - 1]);
        return k;
    }

private:
    // short keys are copied without a library call: most keys are copied once per term
    [[gnu::always_inline]] static void copy_ints(const int32_t* from, uint32_t n, int32_t* to) {
        if (n > kInline) {
            std::copy(from, from + n, to);
            return;
        }
        if (n > 0) to[0] = from[0];
        if (n > 1) to[1] = from[1];
        if (n > 2) to[2] = from[2];
    }

    int32_t* big() const {
        int32_t* p;
        std::memcpy(&p, in_, sizeof p);
        return p;
    }
    void set_big(int32_t* p) { std::memcpy(in_, &p, sizeof p); }
    void release() {
        if (n_ > kInline) delete[] big();
        n_ = 0;
    }

    int32_t in_[kInline] = {};  // the factors, or a pointer to them
    uint32_t n_ = 0;
    static_assert(sizeof(int32_t*) <= sizeof(int32_t) * kInline, "a pointer fits the inline room");
};
static_assert(sizeof(Key) == 16, "a key is 16 bytes");

/// Monomial key -> coefficient, iterated in insertion order; keys are never removed. A single
/// term is held without a heap allocation: most polynomials inside a product have one.
class Terms {
public:
    struct Entry {  // 32 bytes: the table keeps enough of each hash to skip other keys
        Key key;
        Num val;
    };

    Terms() = default;
    Terms(const Terms& o) = default;
    // a moved-from Terms is empty; its spare entry is never read again
    Terms(Terms&& o) noexcept
        : one_(std::move(o.one_)), has_one_(o.has_one_), many_(std::move(o.many_)), slots_(std::move(o.slots_)) {
        o.has_one_ = false;
    }
    Terms& operator=(const Terms& o) {
        if (this != &o) *this = Terms(o);
        return *this;
    }
    Terms& operator=(Terms&& o) noexcept {
        if (this != &o) {
            one_ = std::move(o.one_);
            has_one_ = o.has_one_;
            many_ = std::move(o.many_);
            slots_ = std::move(o.slots_);
            o.has_one_ = false;
            o.many_.clear();
            o.slots_.clear();
        }
        return *this;
    }

    size_t size() const { return has_one_ ? 1 : many_.size(); }
    bool empty() const { return !has_one_ && many_.empty(); }
    Entry* begin() { return has_one_ ? &one_ : many_.data(); }
    Entry* end() { return has_one_ ? &one_ + 1 : many_.data() + many_.size(); }
    const Entry* begin() const { return has_one_ ? &one_ : many_.data(); }
    const Entry* end() const { return has_one_ ? &one_ + 1 : many_.data() + many_.size(); }

    Num* find(const Key& k) { return find(k, k.hash()); }

    /// The only term, when there is exactly one.
    Entry* single() { return has_one_ ? &one_ : nullptr; }

    /// Replaces the only term by (k, v).
    void replace_single(Key&& k, Num&& v) {
        one_.key = std::move(k);
        one_.val = std::move(v);
    }

    /// self[k] = v.
    void store(Key&& k, Num&& v) {
        uint64_t h = k.hash();
        if (Num* old = find(k, h))
            *old = std::move(v);
        else
            append(std::move(k), std::move(v));
    }

    /// self[k] = self[k] + v, or v when absent.
    void accumulate(Key&& k, Num&& v) { accumulate(std::move(k), std::move(v), k.hash()); }

    /// The same for an entry taken from another map.
    void accumulate(Entry&& e) { accumulate(std::move(e.key), std::move(e.val)); }

    /// Appends a term whose key the map does not hold, as the caller knows: no lookup, and no
    /// table until a lookup needs one (a polynomial that is only read in order never builds it).
    void push_distinct(Key&& k, Num&& v) {
        if (empty() && slots_.empty()) {
            append(std::move(k), std::move(v));
            return;
        }
        spill_single();
        if (!slots_.empty()) BigVector<uint64_t>().swap(slots_);
        many_.push_back(Entry{std::move(k), std::move(v)});
    }

    /// Hands over the entries (in insertion order) and leaves the map empty, when they are in
    /// a vector of their own no more than twice as large as they need; false otherwise.
    bool take_entries(BigVector<Entry>& out) {
        if (has_one_ || many_.empty() || many_.capacity() > 2 * many_.size()) return false;
        out = std::move(many_);
        many_ = BigVector<Entry>();
        BigVector<uint64_t>().swap(slots_);
        return true;
    }

    /// Adds a term whose key the map does not hold, as the caller knows: no lookup; a table
    /// that exists is kept up to date, none is built.
    void push_new(Key&& k, Num&& v) {
        if (empty() && slots_.empty()) {
            append(std::move(k), std::move(v));
            return;
        }
        spill_single();
        many_.push_back(Entry{std::move(k), std::move(v)});
        if (!slots_.empty()) index_last();
    }

    /// Opens a run of appends of keys the map does not hold (as the caller knows): false when
    /// the map keeps a table (push_new() then keeps it up to date).
    bool open_run() {
        if (!slots_.empty()) return false;
        spill_single();
        return true;
    }

    /// Appends the term (k[0..n), v) within a run opened by open_run().
    [[gnu::always_inline]] void run_append(const int32_t* k, uint32_t n, const Num& v) {
        Entry& e = many_.emplace_back();
        e.key.assign(k, n);
        e.val = v;
    }

    /// Within a run opened by open_run(): room for up to n more entries, written in order from
    /// the pointer returned (each an empty key and value until then), then close_room() with
    /// the end of those written. Nothing else may touch the map in between.
    Entry* open_room(size_t n) {
        size_t at = many_.size();
        many_.resize(at + n);
        return many_.data() + at;
    }
    void close_room(Entry* end) { many_.resize((size_t)(end - many_.data())); }

    /// Room for n entries, without a table (for push_distinct).
    void reserve_entries(size_t n) {
        if (n <= 1 || n <= many_.capacity()) return;
        spill_single();
        many_.reserve(n);
    }

    /// Room for n terms without moving entries again.
    void reserve(size_t n) {
        if (n <= kLinear || n <= many_.capacity()) return;
        spill_single();
        many_.reserve(std::max(n, many_.capacity() * 2));  // geometric, as push_back would
        size_t want = std::max<size_t>(32, slots_.size());
        while (want < n * 2) want *= 2;
        if (want > slots_.size()) rehash(want);
    }

private:
    static constexpr size_t kLinear = 8;  // small maps are searched without a table

    void accumulate(Key&& k, Num&& v, uint64_t h) {
        if (!slots_.empty() && !has_one_ && (many_.size() + 1) * 2 <= slots_.size()) {
            // one probe finds the key or the free slot that a new key takes (no growth needed)
            size_t mask = slots_.size() - 1;
            uint64_t tag = h & kTagMask;
            size_t s = h & mask;
            for (;; s = (s + 1) & mask) {
                uint64_t slot = slots_[s];
                if (!slot) break;
                if ((slot & kTagMask) != tag) continue;
                Entry& e = many_[(size_t)(slot & ~kTagMask) - 1];
                if (e.key == k) {
                    e.val = num_add(e.val, v);
                    return;
                }
            }
            many_.push_back(Entry{std::move(k), std::move(v)});
            slots_[s] = tag | (uint64_t)many_.size();
            return;
        }
        if (Num* old = find(k, h))
            *old = num_add(*old, v);
        else
            append(std::move(k), std::move(v));
    }

    Num* find(const Key& k, uint64_t h) {
        if (slots_.empty() && many_.size() > kLinear) reindex();  // entries pushed unindexed
        if (slots_.empty()) {
            for (Entry* e = begin(); e != end(); ++e)
                if (e->key == k) return &e->val;
            return nullptr;
        }
        size_t mask = slots_.size() - 1;
        uint64_t tag = h & kTagMask;
        for (size_t s = h & mask;; s = (s + 1) & mask) {
            uint64_t slot = slots_[s];
            if (!slot) return nullptr;
            if ((slot & kTagMask) != tag) continue;  // another hash: the entry need not be read
            Entry& e = many_[(size_t)(slot & ~kTagMask) - 1];
            if (e.key == k) return &e.val;
        }
    }

    // Invariant: either slots_ indexes every entry of many_ (and the single-entry slot is
    // unused), or slots_ is empty and lookups scan the entries; more than kLinear of them only
    // after push_distinct(), and then the first lookup or insertion builds the table.
    void append(Key&& k, Num&& v) {
        if (empty() && slots_.empty()) {
            one_ = Entry{std::move(k), std::move(v)};
            has_one_ = true;
            return;
        }
        spill_single();
        many_.push_back(Entry{std::move(k), std::move(v)});
        index_last();
    }

    /// Moves the single inline entry into the vector, indexed when a table exists.
    void spill_single() {
        if (!has_one_) return;
        if (many_.capacity() < 4) many_.reserve(4);
        many_.push_back(std::move(one_));
        has_one_ = false;
        if (!slots_.empty()) index_last();
    }

    /// Enters the newest entry into the table, building or growing it as needed.
    void index_last() {
        if (slots_.empty()) {
            if (many_.size() > kLinear) reindex();
        } else if (many_.size() * 2 > slots_.size()) {
            rehash(slots_.size() * 2);
        } else {
            place(many_.size() - 1);
        }
    }

    void reindex() {
        size_t n = 32;
        while (n < many_.size() * 2) n *= 2;
        rehash(n);
    }

    void rehash(size_t n) {
        slots_.assign(n, 0);
        for (size_t i = 0; i < many_.size(); ++i) place(i);
    }

    // a slot holds entry index + 1 (0: empty) in its low bits and the hash's high bits above
    void place(size_t i) {
        size_t mask = slots_.size() - 1;
        uint64_t h = many_[i].key.hash();
        size_t s = h & mask;
        while (slots_[s]) s = (s + 1) & mask;
        slots_[s] = (h & kTagMask) | (uint64_t)(i + 1);
    }

    Entry one_;  // the only term while has_one_
    bool has_one_ = false;
    BigVector<Entry> many_;
    BigVector<uint64_t> slots_;
    static constexpr uint64_t kTagMask = 0xFFFFFFFF00000000ULL;
};

/// Polynomials' terms kept apart, in order, each part tagged with a group number. The entries
/// of all parts lie in a few large blocks (no allocation per part; a block past 2 MiB is on
/// huge pages), a part being a range of one block.
class Parts {
public:
    using Entry = Terms::Entry;

    size_t size() const { return parts_.size(); }
    bool empty() const { return parts_.empty(); }
    uint32_t group(size_t p) const { return parts_[p].group; }
    size_t terms(size_t p) const { return parts_[p].end - parts_[p].begin; }
    uint32_t block(size_t p) const { return parts_[p].block; }
    Entry* begin(size_t p) { return blocks_[parts_[p].block].data() + parts_[p].begin; }
    Entry* end(size_t p) { return blocks_[parts_[p].block].data() + parts_[p].end; }
    const Entry* begin(size_t p) const { return blocks_[parts_[p].block].data() + parts_[p].begin; }
    const Entry* end(size_t p) const { return blocks_[parts_[p].block].data() + parts_[p].end; }
    /// Terms in all parts.
    size_t total() const { return total_; }

    /// Told of every part's entries as they are appended, while they are still in cache: what a
    /// reader of the parts gathers about them on the way (PartStats, poly_capsule.hpp). The
    /// entries' keys are not changed afterwards.
    class Watcher {
    public:
        virtual ~Watcher() = default;
        virtual void appended(const Entry* from, const Entry* to) = 0;
    };
    void watch(std::unique_ptr<Watcher> watcher) { watcher_ = std::move(watcher); }
    const Watcher* watcher() const { return watcher_.get(); }

    /// Appends the terms of `t` as one part of `group` (nothing for no terms); empties `t`.
    void push(Terms&& t, uint32_t group) {
        if (t.empty()) return;
        size_t n = t.size();
        BigVector<Entry> taken;
        if (n >= kOwn && t.take_entries(taken)) {
            // a large part keeps its own vector: no copy
            if (watcher_) watcher_->appended(taken.data(), taken.data() + n);
            blocks_.push_back(std::move(taken));
            parts_.push_back(Part{(uint32_t)(blocks_.size() - 1), group, 0, n});
            total_ += n;
            return;
        }
        if (shared_ == kNone || blocks_[shared_].capacity() - blocks_[shared_].size() < n) {
            // shared blocks grow with the model, so small compiles stay small
            size_t room = shared_ == kNone ? 256 : std::min(blocks_[shared_].capacity() * 2, kBlock);
            blocks_.emplace_back();
            blocks_.back().reserve(std::max(n, room));
            shared_ = blocks_.size() - 1;
        }
        auto& b = blocks_[shared_];
        size_t at = b.size();
        for (auto& e : t) b.push_back(std::move(e));
        if (watcher_) watcher_->appended(b.data() + at, b.data() + b.size());
        parts_.push_back(Part{(uint32_t)shared_, group, at, b.size()});
        total_ += n;
        t = Terms();
    }

    /// Frees a block whose parts have all been read.
    void free_block(uint32_t b) { BigVector<Entry>().swap(blocks_[b]); }

    /// The last part of each block, by block: a block may be freed once that part is read.
    /// Small parts share a block that large parts, each in a block of its own, come between,
    /// so the parts of one block need not follow each other.
    std::vector<size_t> last_parts() const {
        std::vector<size_t> last(blocks_.size(), 0);
        for (size_t p = 0; p < parts_.size(); ++p) last[parts_[p].block] = p;
        return last;
    }

    /// A copy of the parts, watched by `watcher` (what this one's watcher gathered, copied by
    /// the caller, who knows its kind): a reader that must leave these parts as they are reads
    /// the copy instead of merging them.
    Parts copy(std::unique_ptr<Watcher> watcher) const {
        Parts out;
        out.blocks_ = blocks_;
        out.parts_ = parts_;
        out.total_ = total_;
        out.shared_ = shared_;
        out.watcher_ = std::move(watcher);
        return out;
    }

    void clear() {
        blocks_.clear();
        parts_.clear();
        total_ = 0;
        shared_ = kNone;
        watcher_.reset();  // what it gathered is about parts that are gone
    }

private:
    static constexpr size_t kBlock = size_t(1) << 16;  // entries: 2.5 MiB
    static constexpr size_t kOwn = 32;                 // terms of a part that keeps its vector
    static constexpr size_t kNone = ~size_t(0);
    struct Part {
        uint32_t block, group;
        size_t begin, end;
    };
    std::vector<BigVector<Entry>> blocks_;
    std::vector<Part> parts_;
    size_t total_ = 0;
    size_t shared_ = kNone;  // the block small parts are copied into
    std::unique_ptr<Watcher> watcher_;
};

/// Parts [from, to) accumulated in order into one map. Moves their entries out.
inline Terms merge_in_order(Parts& parts, size_t from, size_t to) {
    Terms out;
    SignalPoll poll;
    for (size_t i = from; i < to; ++i) {
        poll.tick(parts.terms(i));
        out.reserve(out.size() + parts.terms(i));
        for (auto* e = parts.begin(i); e != parts.end(i); ++e) out.accumulate(std::move(*e));
    }
    return out;
}

struct Poly {
    Terms terms;
    Num constant, order;
    Obj origin;  // the SubstitutedExpression this polynomial was read from, if any
};

/// self += other.
inline void poly_add(Poly& self, Poly&& other) {
    if (self.terms.empty()) {
        self.terms = std::move(other.terms);
    } else {
        self.terms.reserve(self.terms.size() + other.terms.size());
        for (auto& e : other.terms) self.terms.accumulate(std::move(e));
    }
    self.constant = num_add(self.constant, other.constant);
    if (num_compare(other.order, self.order, Py_GT)) self.order = other.order;
}

/// Every value v of `t` becomes v * c, or plus_zero(v * c) when `add_zero`, as num_mul and
/// plus_zero compute them; a float c is applied to native numbers without a call per term.
inline void scale_values(Terms& t, const Num& c, bool add_zero) {
    bool fast = c.tag() == Num::Float;
    double y = fast ? c.as_float() : 0.0;
    for (auto& e : t) {
        double x;
        if (fast && e.val.tag() != Num::Object && e.val.promotes(x)) {
            e.val = Num::of_float(add_zero ? x * y + 0.0 : x * y);
            continue;
        }
        e.val = add_zero ? plus_zero(num_mul(e.val, c)) : num_mul(e.val, c);
    }
}

/// self *= other; `other` is consumed. `poll`: the caller's, when it multiplies in a loop (a
/// product of many factors runs long though each step is short).
inline void poly_mul(Poly& self, Poly&& other, SignalPoll* poll = nullptr) {
    SignalPoll own_poll;
    SignalPoll& signals = poll ? *poll : own_poll;
    signals.tick(self.terms.size() + other.terms.size());
    bool scale_other = num_nonzero(self.constant);
    bool scale_self = num_nonzero(other.constant);
    Terms::Entry* a = self.terms.single();
    Terms::Entry* b = other.terms.single();
    if (a && b && !scale_other && !scale_self) {
        // one term times one term, no constants: the product term alone
        Num v = num_mul(a->val, b->val);
        self.terms.replace_single(Key::concat(a->key, b->key, true), std::move(v));
        self.constant = num_mul(self.constant, other.constant);
        self.order = num_add(self.order, other.order);
        return;
    }
    Terms out;
    if (scale_other && self.terms.empty()) {
        // a constant times a polynomial: other's map, scaled in place
        scale_values(other.terms, self.constant, false);
        out = std::move(other.terms);
        other.terms = Terms();
    } else {
        if (scale_other)
            for (auto& e : other.terms) out.store(Key(e.key), num_mul(e.val, self.constant));
        if (scale_self) {
            for (auto& e : self.terms) {
                Num scaled = num_mul(e.val, other.constant);
                Num* old = out.find(e.key);
                out.store(Key(e.key), old ? num_add(scaled, *old) : plus_zero(scaled));
            }
        }
        if (!other.terms.empty()) {
            for (auto& e1 : self.terms) {
                signals.tick(other.terms.size());
                for (auto& e2 : other.terms) out.accumulate(Key::concat(e1.key, e2.key, true), num_mul(e1.val, e2.val));
            }
        }
    }
    self.terms = std::move(out);
    self.constant = num_mul(self.constant, other.constant);
    self.order = num_add(self.order, other.order);
}

/// self *= c for a constant c: poly_mul by a polynomial with no terms and order 0.
inline void poly_scale(Poly& self, const Num& c) {
    num_nonzero(self.constant);  // mul tests it (and fails for an array) though no term uses it
    if (num_nonzero(c)) {
        // each term becomes value * c + 0.0 (see plus_zero), as the product map starts empty
        scale_values(self.terms, c, true);
    } else {
        self.terms = Terms();
    }
    self.constant = num_mul(self.constant, c);
    self.order = num_add(self.order, Num::of_int(0));
}

/// self *= x_index: poly_mul by the polynomial {(index,): 1}, constant 0, order 1.
inline void poly_mul_variable(Poly& self, int32_t index) {
    Key var(1);
    var.data()[0] = index;
    Num one = Num::of_int(1);
    Terms::Entry* a = self.terms.single();
    if (a && !num_nonzero(self.constant)) {
        // one term times the variable
        Num v = num_mul(a->val, one);
        self.terms.replace_single(Key::concat(a->key, var, true), std::move(v));
    } else {
        Terms out;
        if (num_nonzero(self.constant)) out.store(Key(var), num_mul(one, self.constant));
        for (auto& e : self.terms) out.accumulate(Key::concat(e.key, var, true), num_mul(e.val, one));
        self.terms = std::move(out);
    }
    self.constant = num_mul(self.constant, Num::of_int(0));
    self.order = num_add(self.order, one);
}

/// Raises `error` (SubstituteError) for exponents that cannot expand a polynomial with terms:
/// truncating them, as plain arithmetic would, silently changes the model.
inline void check_exponent(double e, nb::handle error) {
    if (std::isfinite(e) && e >= 0 && std::floor(e) == e) return;
    Obj r = own(PyFloat_FromDouble(e));
    raise(error, "Cannot raise a polynomial with variables to the power " + to_repr(r) +
                     ": only non-negative integer exponents are supported.");
}

/// self **= exponent: Python's power for a constant, otherwise the square expanded directly and
/// then e - 2 multiplications by the base, for non-negative integral exponents only.
/// v ** 2, as Python computes it (an int's square is exact, as int * int), except that a float
/// square past float64's range is inf, as v * v gives, where Python's power raises an
/// OverflowError that names nothing: the routes then refuse the coefficient by its item.
inline Num num_squared(const Num& v) {
    int64_t r;
    if (v.tag() == Num::Int && !__builtin_mul_overflow(v.as_int(), v.as_int(), &r)) return Num::of_int(r);
    PyObject* square = PyNumber_Power(v.py().ptr(), small_int(2).ptr(), Py_None);
    if (!square && v.tag() == Num::Float && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        return Num::of_float(HUGE_VAL);
    }
    return Num::steal(own(square));
}

/// The memory this machine has, in bytes (0 when it cannot be told).
inline double physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && size > 0) return double(pages) * double(size);
#endif
    return 0;
}

/// Raises `error` before a power of `k` terms, each a distinct variable of its own (and a
/// constant when `constant`), is expanded past this machine's memory: its terms are then
/// exactly the products of e factors among the k (with the constant, of at most e), C(k + e, e)
/// or C(k + e - 1, e) of them, each an entry and, past three factors, a key of its own. Such a
/// power (a sum of many binaries to the 12th) would grow for minutes before running out.
inline void check_power_room(size_t k, double e, bool constant, nb::handle error) {
    double memory = physical_memory();
    if (memory <= 0 || e < 2) return;
    double n = double(k) + (constant ? e : e - 1), terms = 1;  // C(n, e), in doubles
    for (double i = 1; i <= e && terms < 1e30; ++i) terms = terms * (n - e + i) / i;
    double bytes = terms * (sizeof(Terms::Entry) + (e > Key::kInline ? 4 * e : 0));
    if (bytes <= memory) return;
    char text[160];
    std::snprintf(text, sizeof text, "%.3g terms (about %.3g GB), more than this machine's %.3g GB", terms, bytes / 1e9,
                  memory / 1e9);
    Obj r = own(PyFloat_FromDouble(e));
    raise(error, "Raising a sum of " + std::to_string(k) + " variables to the power " + to_repr(r) + " would make " +
                     text + ": write the model with a lower power, or fewer variables in the sum.");
}

/// Raises `error` before a power makes terms of more than 4096 variable factors: each product
/// of the power copies keys one base longer, so such a power (x ** 100000) ran for minutes.
inline void check_power_degree(const Poly& self, double exponent, nb::handle error) {
    size_t longest = 0;
    for (const auto& e : self.terms) longest = std::max<size_t>(longest, e.key.size());
    if (double(longest) * exponent <= 4096) return;
    Obj r = own(PyFloat_FromDouble(exponent));
    raise(error, "Raising a polynomial with variables to the power " + to_repr(r) + " would make terms of " +
                     std::to_string((unsigned long long)(double(longest) * exponent)) +
                     " variable factors, more than 4096: write the model with a lower power (a binary's power is "
                     "the binary itself).");
}

inline void poly_power(Poly& self, double exponent, nb::handle error) {
    if (self.terms.empty()) {
        Obj e = own(PyFloat_FromDouble(exponent));
        self.constant = Num::steal(num_pow(self.constant.py(), e));
        return;
    }
    check_exponent(exponent, error);
    if (exponent == 0) {
        self.terms = Terms();
        self.constant = Num::of_int(1);
        self.order = Num::of_int(0);
        return;
    }
    if (exponent == 1) return;
    check_power_degree(self, exponent, error);
    Num two = Num::of_int(2);
    auto squared = num_squared;
    Poly sq;
    sq.constant = squared(self.constant);
    std::vector<const Terms::Entry*> es;
    for (const auto& e : self.terms) es.push_back(&e);
    // room for every product up front (capped: a huge square grows as it goes, and can be stopped)
    size_t room = std::min<size_t>(es.size() * (es.size() + 3) / 2, size_t(1) << 20);
    SignalPoll poll;
    bool linear = true;
    for (const auto* e : es) linear = linear && e->key.size() == 1;
    if (linear) check_power_room(es.size(), exponent, num_nonzero(self.constant), error);
    if (linear) {
        // distinct variables: every product has a key of its own, so the terms are appended in
        // the order accumulate would insert them, without lookups
        sq.terms.reserve_entries(room);
        for (size_t i = 0; i < es.size(); ++i) {
            poll.tick(es.size() - i);
            int32_t a = es[i]->key.data()[0];
            Num twice = num_mul(two, es[i]->val);
            sq.terms.push_distinct(Key(es[i]->key), num_mul(twice, self.constant));
            for (size_t j = i + 1; j < es.size(); ++j) {
                int32_t b = es[j]->key.data()[0];
                Key k(2);
                k.data()[0] = std::min(a, b);
                k.data()[1] = std::max(a, b);
                sq.terms.push_distinct(std::move(k), num_mul(twice, es[j]->val));
            }
            Key k(2);
            k.data()[0] = k.data()[1] = a;
            sq.terms.push_distinct(std::move(k), squared(es[i]->val));
        }
    } else {
        sq.terms.reserve(room);
    }
    for (size_t i = 0; !linear && i < es.size(); ++i) {
        poll.tick(es.size() - i);
        Num twice = num_mul(two, es[i]->val);
        sq.terms.accumulate(Key(es[i]->key), num_mul(twice, self.constant));
        for (size_t j = i + 1; j < es.size(); ++j)
            sq.terms.accumulate(Key::concat(es[i]->key, es[j]->key, true), num_mul(twice, es[j]->val));
        sq.terms.accumulate(Key::concat(es[i]->key, es[i]->key, false), squared(es[i]->val));
    }
    sq.order = num_mul(self.order, two);
    for (double k = 2; k < exponent; ++k) {
        poll.tick((size_t)k * self.terms.size());  // each product's keys grow by the base's
        Poly base{self.terms, self.constant, self.order, Obj()};
        poly_mul(sq, std::move(base), &poll);
    }
    sq.origin = self.origin;  // the power is taken in place
    self = std::move(sq);
}

// ---- conversion from and to SubstitutedExpression objects ----

/// A variable index read from Python (a registry's answer or a monomial key's factor): an int,
/// or an object with __index__ such as a NumPy integer, within the 32-bit indices keys hold.
inline int32_t py_index(nb::handle index) {
    PyObject* o = index.ptr();
    Obj i = PyLong_Check(o) ? ref(o) : nb::steal(PyNumber_Index(o));
    if (!i) {
        PyErr_Clear();
        raisef(PyExc_TypeError, "variable indices must be ints, not %.200s", type_name(o));
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) fail();
    if (overflow || v < INT32_MIN || v > INT32_MAX)
        raisef(PyExc_OverflowError, "variable index %S does not fit the 32-bit indices of polynomial keys", o);
    return (int32_t)v;
}

inline Key py_key(nb::handle key) {
    PyObject* t = key.ptr();
    if (!PyTuple_Check(t))
        raisef(PyExc_TypeError, "monomial keys must be tuples of variable indices, not %.200s", type_name(t));
    Key k((uint32_t)PyTuple_GET_SIZE(t));
    for (uint32_t i = 0; i < k.size(); ++i) k.data()[i] = py_index(PyTuple_GET_ITEM(t, i));
    return k;
}

/// The fields of a SubstitutedExpression (or any object with coeff, constant and order).
inline Poly poly_read(nb::handle poly) {
    const Names& attr = names();
    Poly p;
    Obj coeff = qtx::getattr(poly, attr.coeff);
    map_each(coeff, [&](PyObject* k, PyObject* v) { p.terms.store(py_key(k), Num::of(v)); });
    p.constant = Num::steal(qtx::getattr(poly, attr.constant));
    p.order = Num::steal(qtx::getattr(poly, attr.order));
    return p;
}

/// The tuple of a key; `index(i)` gives the Python int of variable index i.
template <class IndexObject>
inline Obj key_tuple(const Key& k, IndexObject&& index) {
    Obj key = own(PyTuple_New((Py_ssize_t)k.size()));
    for (uint32_t i = 0; i < k.size(); ++i)
        PyTuple_SET_ITEM(key.ptr(), (Py_ssize_t)i, index(k.data()[i]).release().ptr());
    PyObject_GC_UnTrack(key.ptr());  // ints only: never part of a cycle
    return key;
}

/// A coefficient dict of the terms; `index(i)` gives the Python int of variable index i.
template <class IndexObject>
inline Obj terms_dict(const Terms& terms, IndexObject&& index) {
#if PY_VERSION_HEX < 0x030D0000
    Obj coeff = own(_PyDict_NewPresized((Py_ssize_t)terms.size()));
#else
    Obj coeff = own(PyDict_New());
#endif
    SignalPoll poll;  // millions of terms take a while
    for (const auto& e : terms) {
        poll.tick();
        dict_set(coeff, key_tuple(e.key, index), e.val.py());
    }
    return coeff;
}

inline Obj terms_dict(const Terms& terms) {
    return terms_dict(terms, [](int32_t i) { return own(PyLong_FromLong(i)); });
}

/// Stores the polynomial into the fields of `poly`, in place.
inline void poly_write(nb::handle poly, const Poly& p, Obj coeff) {
    const Names& attr = names();
    qtx::setattr(poly, attr.coeff, coeff);
    qtx::setattr(poly, attr.constant, p.constant.py());
    qtx::setattr(poly, attr.order, p.order.py());
}

}  // namespace qtx
