// Variables met before in one substitution: subscripts -> variable index, looked up once per
// access. Short subscripts of small non-negative ints (nearly every model's) are packed into
// one 64-bit key of an open-addressing table; any others go through a general term map.
#pragma once
#include "npoly.hpp"

#include <cstdint>
#include <vector>

namespace qtx::engine {

class SeenIndex {
public:
    /// The index of the subscripts v[0..n), or -1 when not seen.
    int32_t find(const int64_t* v, size_t n) {
        uint64_t packed;
        if (pack(v, n, packed)) {
            if (keys_.empty()) return -1;
            size_t mask = keys_.size() - 1;
            for (size_t s = mix(packed) & mask;; s = (s + 1) & mask) {
                if (keys_[s] == packed) return vals_[s];
                if (keys_[s] == kEmpty) return -1;
            }
        }
        Key k;
        if (!general_key(v, n, k)) return -1;
        Num* known = other_.find(k);
        return known ? (int32_t)known->as_int() : -1;
    }

    void store(const int64_t* v, size_t n, int32_t index) {
        uint64_t packed;
        if (pack(v, n, packed)) {
            if ((used_ + 1) * 2 > keys_.size()) grow();
            size_t mask = keys_.size() - 1;
            size_t s = mix(packed) & mask;
            while (keys_[s] != kEmpty && keys_[s] != packed) s = (s + 1) & mask;
            if (keys_[s] == kEmpty) ++used_;
            keys_[s] = packed;
            vals_[s] = index;
            return;
        }
        Key k;
        if (general_key(v, n, k)) other_.store(std::move(k), Num::of_int(index));
    }

private:
    static constexpr uint64_t kEmpty = ~0ULL;
    static constexpr int kBits = 20;  // per subscript; up to three subscripts, count on top

    static bool pack(const int64_t* v, size_t n, uint64_t& out) {
        if (n > 3) return false;
        uint64_t p = (uint64_t)n << 62;
        for (size_t i = 0; i < n; ++i) {
            if (v[i] < 0 || v[i] >= (int64_t(1) << kBits)) return false;
            p |= (uint64_t)v[i] << (kBits * i);
        }
        out = p;
        return true;
    }

    static bool general_key(const int64_t* v, size_t n, Key& k) {
        k = Key((uint32_t)n);
        for (size_t i = 0; i < n; ++i) {
            if (v[i] < INT32_MIN || v[i] > INT32_MAX) return false;
            k.data()[i] = (int32_t)v[i];
        }
        return true;
    }

    // The last subscript moves fastest in most loops: it steps through adjacent slots, so
    // consecutive lookups share cache lines; the others spread by odd multipliers.
    static size_t mix(uint64_t k) {
        const uint64_t mask = (uint64_t(1) << kBits) - 1;
        size_t n = (size_t)(k >> 62);
        uint64_t h = 0;
        for (size_t i = 0; i < n; ++i) h = h * 0x9E3779B1ULL + ((k >> (kBits * i)) & mask);
        return (size_t)(h ^ (h >> 29));
    }

    void grow() {
        std::vector<uint64_t> keys(std::max<size_t>(64, keys_.size() * 2), kEmpty);
        std::vector<int32_t> vals(keys.size());
        size_t mask = keys.size() - 1;
        for (size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] == kEmpty) continue;
            size_t s = mix(keys_[i]) & mask;
            while (keys[s] != kEmpty) s = (s + 1) & mask;
            keys[s] = keys_[i];
            vals[s] = vals_[i];
        }
        keys_.swap(keys);
        vals_.swap(vals);
    }

    std::vector<uint64_t> keys_;
    std::vector<int32_t> vals_;
    size_t used_ = 0;
    Terms other_;
};

}  // namespace qtx::engine
