// Integer variables as binaries: the encoding table (every variable = offset + sum of
// coefficient * binary), and the expansion of polynomials through it into binary monomials,
// every product reduced by b * b = b. The encoder's natives (_binary) and the QUBO's items
// (qubo_builder.hpp) expand through this code, so both give the same terms in the same order.
#pragma once
#include "plain.hpp"
#include "poly.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
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

/// The table travels between the encoder and the binary-lowering modules in a capsule of this name.
constexpr const char* kEncodingCapsule = "quillon_transpiler.pubo.encoding";

inline Encoding& encoding_of(nb::handle capsule) {
    void* table = PyCapsule_GetPointer(capsule.ptr(), kEncodingCapsule);
    if (!table) fail();
    return *static_cast<Encoding*>(table);
}

// ---- coefficients as the expansion reads them ----

/// A coefficient as Python computes with it; NumPy scalars become the equal Python number.
inline Num number(nb::handle v) { return Num::steal(plain(v.ptr())); }
inline Num number(const Num& v) { return v.tag() == Num::Object ? number(v.py().ptr()) : v; }

/// A coefficient map read once: keys as variable indices, values as plain numbers.
inline Terms read_terms(nb::handle coeff) {
    Terms t;
    t.reserve((size_t)map_size(coeff.ptr()));
    map_each(coeff.ptr(), [&](PyObject* k, PyObject* v) { t.store(py_key(k), number(v)); });
    return t;
}

// ---- keys ----

/// The sorted distinct indices of bits[0..n) as a key (sorts bits in place).
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
inline void key_vars(const Key& key, const Encoding& encoding, std::vector<int32_t>& vars) {
    vars.assign(key.data(), key.data() + key.size());
    for (int32_t v : vars)
        if (v < 0 || v >= encoding.nvar)
            raisef(PyExc_ValueError, "variable index %lld is not encoded (the encoding covers 0 to %d)", (long long)v,
                   (int)encoding.nvar - 1);
}

/// Whether a key is a strictly increasing run of indices below `n`.
inline bool increasing(const Key& key, int32_t n) {
    uint32_t size = key.size();
    const int32_t* k = key.data();
    if (size == 0 || k[0] < 0 || k[size - 1] >= n) return false;
    for (uint32_t i = 1; i < size; ++i)
        if (k[i] <= k[i - 1]) return false;
    return true;
}

// ---- expansion ----

/// Output of an expansion: binary monomials and a constant. A flat Sum only records the
/// contributions in order and leaves merging equal keys to its reader (see TermMerge), which
/// must add them in the same order as accumulate would. Once `limit` records are pending, or
/// (not flat) `limit` terms have been added since, it calls full(owner), which may merge the
/// records away or change the way (see TermMerge::compact).
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

/// Adds c * prod(factor encodings) to `out`, every binary product reduced by b*b = b. Products
/// of the encodings' coefficients are formed first (exact for integer encodings), then times c.
class Expander {
public:
    explicit Expander(const Encoding& encoding) : encoding_(encoding) {}

    void monomial(const std::vector<int32_t>& vars, const Num& c, Sum& out) {
        bool ident = true;
        for (int32_t v : vars) ident = ident && encoding_.identity[(size_t)v];
        if (ident) {
            bits_.resize(vars.size());
            for (size_t i = 0; i < vars.size(); ++i) bits_[i] = encoding_.start[(size_t)vars[i]];
            out.add(make_key(bits_.data(), (uint32_t)bits_.size()), Num(c));
            return;
        }
        if (merging(vars)) return merged(vars, c, out);
        bits_.clear();
        walk(vars, 0, Num(), c, out);
    }

private:
    /// Sequences of choices the walk would visit at most before the choices are merged instead.
    static constexpr double kWalk = 4096;

    /// The binaries and offset a factor of `var` chooses from (those with a nonzero coefficient).
    size_t choices(size_t var) const {
        size_t n = num_nonzero(encoding_.offset[var]) ? 1 : 0;
        for (int32_t b = encoding_.start[var]; b < encoding_.start[var + 1]; ++b)
            n += num_nonzero(encoding_.coef[(size_t)b]) ? 1 : 0;
        return n;
    }

    /// Whether the walk would visit more than kWalk sequences for a product that repeats a
    /// variable (y ** 40 of a two-binary y: 2 ** 40 sequences, giving three keys).
    bool merging(const std::vector<int32_t>& vars) const {
        bool repeats = false;
        double sequences = 1;
        for (size_t f = 0; f < vars.size(); ++f) {
            repeats = repeats || std::find(vars.begin(), vars.begin() + f, vars[f]) != vars.begin() + f;
            sequences *= (double)choices((size_t)vars[f]);
        }
        return repeats && sequences > kWalk;
    }

    /// walk(), factor by factor, with the sequences that have chosen the same binaries so far
    /// merged into one (b*b = b: what comes after cannot tell them apart), their products of
    /// the encodings' coefficients added up. The keys come out in the order the walk first
    /// meets them: the merged sequences are kept in the order of the first sequence of each,
    /// and each is followed choice by choice, as the walk goes. Every product and sum of the
    /// encodings' (integer) coefficients is exact, so each key gets c times the same integer
    /// as the walk's contributions add up to; only a float c rounds once instead of per sequence.
    void merged(const std::vector<int32_t>& vars, const Num& c, Sum& out) {
        struct Chosen {
            std::vector<int32_t> bits;  // sorted, each once
            Num product;
        };
        std::vector<Chosen> now{Chosen{{}, Num::of_int(1)}}, next;
        std::map<std::vector<int32_t>, size_t> at;
        SignalPoll poll;
        for (int32_t v : vars) {
            size_t var = (size_t)v;
            next.clear();
            at.clear();
            auto put = [&](std::vector<int32_t>&& bits, Num&& product) {
                auto found = at.find(bits);
                if (found != at.end()) {
                    Num& sum = next[found->second].product;
                    sum = num_add(sum, product);
                    return;
                }
                at.emplace(bits, next.size());
                next.push_back(Chosen{std::move(bits), std::move(product)});
            };
            const Num& off = encoding_.offset[var];
            for (const Chosen& from : now) {
                poll.tick();
                if (num_nonzero(off)) put(std::vector<int32_t>(from.bits), num_mul(from.product, off));
                for (int32_t b = encoding_.start[var]; b < encoding_.start[var + 1]; ++b) {
                    const Num& coef = encoding_.coef[(size_t)b];
                    if (!num_nonzero(coef)) continue;
                    std::vector<int32_t> bits(from.bits);
                    auto where = std::lower_bound(bits.begin(), bits.end(), b);
                    if (where == bits.end() || *where != b) bits.insert(where, b);
                    put(std::move(bits), num_mul(from.product, coef));
                }
            }
            std::swap(now, next);
        }
        for (Chosen& chosen : now) {
            poll.tick();
            out.add(make_key(chosen.bits.data(), (uint32_t)chosen.bits.size()), num_mul(c, chosen.product));
        }
    }

    // `prod` empty means the int 1 (nothing multiplied in yet)
    void walk(const std::vector<int32_t>& vars, size_t f, const Num& prod, const Num& c, Sum& out) {
        if (f == vars.size()) {
            poll_.tick();  // a product of many encoded variables has many terms
            std::vector<int32_t> k(bits_);
            Num v = prod.empty() ? c : num_mul(c, prod);
            out.add(make_key(k.data(), (uint32_t)k.size()), std::move(v));
            return;
        }
        size_t var = (size_t)vars[f];
        const Num& off = encoding_.offset[var];
        if (num_nonzero(off)) walk(vars, f + 1, prod.empty() ? off : num_mul(prod, off), c, out);
        for (int32_t b = encoding_.start[var]; b < encoding_.start[var + 1]; ++b) {
            const Num& coef = encoding_.coef[(size_t)b];
            if (!num_nonzero(coef)) continue;
            bits_.push_back(b);
            bool one = coef.tag() == Num::Int && coef.as_int() == 1;
            walk(vars, f + 1, one ? prod : (prod.empty() ? coef : num_mul(prod, coef)), c, out);
            bits_.pop_back();
        }
    }

    const Encoding& encoding_;
    std::vector<int32_t> bits_;
    SignalPoll poll_;
};

/// Expands a polynomial (terms, constant), each coefficient times `w` (none: unscaled), into `out`.
inline void expand_terms(const Encoding& encoding, const Terms& t, const Num& constant, const Num* w, Sum& out) {
    if (out.is_flat && out.flat.capacity() < out.flat.size() + t.size()) {
        // at least a term each, up to the records that make the Sum full
        size_t room = std::min(std::max(out.flat.size() + t.size(), out.flat.capacity() * 2), out.limit);
        if (room > out.flat.capacity()) out.flat.reserve(room);
    }
    Expander expander(encoding);
    std::vector<int32_t> vars;
    Num c = number(constant);
    out.constant = num_add(out.constant, w ? num_mul(*w, c) : c);
    SignalPoll poll;
    for (const auto& entry : t) {
        poll.tick();
        Num coef = number(entry.val);
        if (w) coef = num_mul(*w, coef);
        if (encoding.all_identity && increasing(entry.key, encoding.nvar)) {
            out.add(Key(entry.key), std::move(coef));  // already a product of distinct binaries
            continue;
        }
        key_vars(entry.key, encoding, vars);
        expander.monomial(vars, coef, out);
    }
}

/// Whether the terms over an all-identity table are their own binary form: every key a strictly
/// increasing run of encoded indices and every coefficient a plain int or float.
inline bool already_binary(const Encoding& encoding, const Terms::Entry* from, const Terms::Entry* to) {
    if (!encoding.all_identity) return false;
    for (const auto* entry = from; entry != to; ++entry) {
        if (entry->val.tag() == Num::Object && !PyLong_CheckExact(entry->val.py().ptr())) return false;
        if (!increasing(entry->key, encoding.nvar)) return false;
    }
    return true;
}
inline bool already_binary(const Encoding& encoding, const Terms& t) {
    return already_binary(encoding, t.begin(), t.end());
}

/// Whether a key is a square: one variable twice (x*x, which is x for a binary).
inline bool square_key(const Key& key) { return key.size() == 2 && key.data()[0] == key.data()[1]; }

/// already_binary(), every square x*x read as x, unless x has a key of its own among the terms
/// too (the map would add up the two keys' sums, each formed first). `squares`: whether some
/// key is a square.
inline bool binary_but_squares(const Encoding& encoding, const Terms& t, bool& squares) {
    squares = false;
    if (!encoding.all_identity) return false;
    std::vector<uint8_t> seen;  // by variable: 1 a key of its own, 2 a square
    for (const auto& entry : t) {
        if (entry.val.tag() == Num::Object && !PyLong_CheckExact(entry.val.py().ptr())) return false;
        const Key& k = entry.key;
        bool square = square_key(k) && k.data()[0] >= 0 && k.data()[0] < encoding.nvar;
        if (!square && !increasing(k, encoding.nvar)) return false;
        if (!square && k.size() != 1) continue;
        if (seen.empty()) seen.assign((size_t)encoding.nvar, 0);
        uint8_t& bits = seen[(size_t)k.data()[0]];
        bits |= square ? 2 : 1;
        if (bits == 3) return false;
        squares = squares || square;
    }
    return true;
}

/// The terms with every square x*x keyed x, in the same order (binary_but_squares() said that
/// no two keys meet).
inline Terms squares_read_as_binaries(Terms&& t) {
    Terms out;
    out.reserve(t.size());
    for (auto& entry : t) {
        if (square_key(entry.key))
            out.push_distinct(Key(entry.key.data(), 1), std::move(entry.val));
        else
            out.push_distinct(std::move(entry.key), std::move(entry.val));
    }
    return out;
}

}  // namespace qtx::pubo
