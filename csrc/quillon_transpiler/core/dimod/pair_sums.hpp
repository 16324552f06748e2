// Interactions keyed by their pair of local variables: sorting and summing them in the order
// the terms came, as dimod sums repeated biases.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qtx::bridge {

/// An interaction's bias, keyed by its two local variable indices (u <= v) as u << 32 | v.
struct Term {
    uint64_t key;
    double bias;
};

inline uint64_t pair_key(uint32_t u, uint32_t v) { return ((uint64_t)std::min(u, v) << 32) | std::max(u, v); }

/// Stable sort by key, both indices below k: LSD radix sort over u * k + v, so that equal
/// pairs keep their order and their biases are summed in the order the terms came.
inline void sort_terms(std::vector<Term>& a, std::vector<Term>& tmp, uint64_t k) {
    if (a.size() < 256) {
        std::stable_sort(a.begin(), a.end(), [](const Term& x, const Term& y) { return x.key < y.key; });
        return;
    }
    auto compact = [k](uint64_t key) { return (key >> 32) * k + (key & 0xffffffffu); };
    int bits = 1;
    while (bits < 64 && ((k * k) >> bits) != 0) ++bits;
    const int width = 11;
    std::vector<size_t> pos((size_t)1 << width);
    tmp.resize(a.size());
    for (int shift = 0; shift < bits; shift += width) {
        const uint64_t mask = ((uint64_t)1 << width) - 1;
        std::fill(pos.begin(), pos.end(), 0);
        for (const Term& t : a) ++pos[(size_t)((compact(t.key) >> shift) & mask)];
        size_t sum = 0;
        for (size_t& p : pos) {
            size_t c = p;
            p = sum;
            sum += c;
        }
        for (const Term& t : a) tmp[pos[(size_t)((compact(t.key) >> shift) & mask)]++] = t;
        a.swap(tmp);
    }
}

/// Sorts and merges equal pairs, summing their biases in order.
inline void sum_terms(std::vector<Term>& a, std::vector<Term>& tmp, uint64_t k) {
    sort_terms(a, tmp, k);
    size_t out = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (out > 0 && a[out - 1].key == a[i].key)
            a[out - 1].bias += a[i].bias;
        else
            a[out++] = a[i];
    }
    a.resize(out);
}

/// Interaction sums by pair, for models that add up several polynomials.
class PairSums {
public:
    double& at(uint64_t key) {
        if ((terms.size() + 1) * 2 > slots_.size()) grow();
        size_t mask = slots_.size() - 1;
        for (size_t h = hash(key) & mask;; h = (h + 1) & mask) {
            int32_t s = slots_[h];
            if (s < 0) {
                slots_[h] = (int32_t)terms.size();
                terms.push_back(Term{key, 0.0});
                return terms.back().bias;
            }
            if (terms[(size_t)s].key == key) return terms[(size_t)s].bias;
        }
    }
    std::vector<Term> terms;

private:
    static size_t hash(uint64_t k) { return (size_t)((k * 0x9E3779B97F4A7C15ull) >> 20); }
    void grow() {
        slots_.assign(std::max<size_t>(64, slots_.size() * 2), -1);
        size_t mask = slots_.size() - 1;
        for (size_t s = 0; s < terms.size(); ++s) {
            size_t h = hash(terms[s].key) & mask;
            while (slots_[h] >= 0) h = (h + 1) & mask;
            slots_[h] = (int32_t)s;
        }
    }
    std::vector<int32_t> slots_;
};

}  // namespace qtx::bridge
