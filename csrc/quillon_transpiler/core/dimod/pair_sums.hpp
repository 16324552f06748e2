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

/// Stable sort of records by `index(record)`, below `range`: LSD radix sort in as few passes
/// of at most 16 bits as the range needs, so that records of one index keep their order (the
/// biases of a pair are then summed in the order they came).
template <class T, class Index>
void radix_sort(std::vector<T>& a, std::vector<T>& tmp, uint64_t range, Index&& index) {
    auto less = [&](const T& x, const T& y) { return index(x) < index(y); };
    if (a.size() < 256 || a.size() >= ((size_t)1 << 32)) {
        std::stable_sort(a.begin(), a.end(), less);
        return;
    }
    if (std::is_sorted(a.begin(), a.end(), less)) return;
    int bits = 1;
    while (bits < 64 && ((range - 1) >> bits) != 0) ++bits;
    const int passes = (bits + 15) / 16, width = (bits + passes - 1) / passes;
    const uint64_t mask = ((uint64_t)1 << width) - 1;
    std::vector<uint32_t> pos((size_t)1 << width);
    tmp.resize(a.size());
    for (int shift = 0; shift < bits; shift += width) {
        std::fill(pos.begin(), pos.end(), 0);
        for (const T& t : a) ++pos[(size_t)((index(t) >> shift) & mask)];
        uint32_t sum = 0;
        for (uint32_t& p : pos) {
            uint32_t c = p;
            p = sum;
            sum += c;
        }
        for (const T& t : a) tmp[pos[(size_t)((index(t) >> shift) & mask)]++] = t;
        a.swap(tmp);
    }
}

/// Stable sort by key, both indices below k.
inline void sort_terms(std::vector<Term>& a, std::vector<Term>& tmp, uint64_t k) {
    radix_sort(a, tmp, k * k, [k](const Term& t) { return (t.key >> 32) * k + (t.key & 0xffffffffu); });
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

}  // namespace qtx::bridge
