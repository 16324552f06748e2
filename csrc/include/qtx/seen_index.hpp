// Variables met before in one substitution: subscripts -> variable index, looked up once per
// access. Subscripts of small non-negative ints (nearly every model's) are found in a dense box:
// a row-major table over the subscripts met so far, so that a line of it along any axis is a
// pointer and a stride, and a loop over any subscript reads slots at a fixed distance. Those the
// box cannot hold within its memory budget go to rows (the leading subscripts pick a row through
// a small hash table, the last one indexes it), and any others to a general term map.
#pragma once
#include "poly.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace qtx::engine {

class SeenIndex {
public:
    SeenIndex() = default;
    SeenIndex(SeenIndex&&) = default;  // the box's table moves with its buffer
    SeenIndex(const SeenIndex&) = delete;
    SeenIndex& operator=(const SeenIndex&) = delete;
    static constexpr size_t kBoxAxes = 4;

    /// The dense box: subscripts of `n` axes with 0 <= v[a] < ext[a] at at[sum v[a] * stride[a]],
    /// -1 where none. Valid while generation() stays the same; `at` is null while no box exists.
    struct Box {
        const int32_t* at = nullptr;
        size_t n = 0;
        int64_t ext[kBoxAxes] = {}, stride[kBoxAxes] = {};
    };

    const Box& box() const { return box_; }

    /// The index of the subscripts v[0..n), or -1 when not seen.
    int32_t find(const int64_t* v, size_t n) {
        size_t at;
        if (in_box(v, n, at) && (table_[at] >= 0 || spilled_ == 0)) return table_[at];
        if (spilled_ == 0) return -1;
        uint64_t prefix;
        if (pack(v, n, prefix)) {
            Row* r = row(prefix, false);
            size_t last = n ? (size_t)v[n - 1] : 0;
            if (r && last < r->at.size() && r->at[last] >= 0) return r->at[last];
            // a row keeps to the subscripts it holds densely; the others are in the map
            return other_.empty() ? -1 : general_find(v, n);
        }
        return general_find(v, n);
    }

    /// Changes whenever an index is stored.
    uint64_t generation() const { return generation_; }

    void store(const int64_t* v, size_t n, int32_t index) {
        ++generation_;
        ++count_;
        size_t at;
        if (in_box(v, n, at) || grow_box(v, n, at)) {
            table_[at] = index;
            return;
        }
        ++spilled_;
        uint64_t prefix;
        if (pack(v, n, prefix)) {
            Row& r = *row(prefix, true);
            size_t last = n ? (size_t)v[n - 1] : 0;
            // a row stays within a few times what it holds (memory grows with the variables
            // only): subscripts far past its filled part go to the map
            size_t room = 4 * r.count + 16;
            if (last < r.at.size() || last < room) {
                if (last >= r.at.size()) r.at.resize(std::max(last + 1, std::min(r.at.size() * 2, room)), -1);
                if (r.at[last] < 0) ++r.count;
                r.at[last] = index;
                return;
            }
        }
        general_store(v, n, index);
    }

private:
    static constexpr uint64_t kEmpty = ~0ULL;

    /// Whether v[0..n) lies in the box, and where.
    bool in_box(const int64_t* v, size_t n, size_t& at) const {
        if (n != box_.n || !box_.at) return false;
        size_t off = 0;
        for (size_t a = 0; a < n; ++a) {
            if ((uint64_t)v[a] >= (uint64_t)box_.ext[a]) return false;
            off += (size_t)(v[a] * box_.stride[a]);
        }
        at = off;
        return true;
    }

    /// Widens the box to hold v[0..n) when its table then stays within a few times the variables
    /// met (the first subscripts met fix its number of axes); false when it cannot.
    bool grow_box(const int64_t* v, size_t n, size_t& at) {
        if (box_.at ? n != box_.n : n > kBoxAxes) return false;
        for (size_t a = 0; a < n; ++a)
            if (v[a] < 0 || v[a] >= (int64_t(1) << 30)) return false;
        size_t budget = 4 * count_ + 1024;
        int64_t ext[kBoxAxes];
        // doubling the axes that overflow keeps growth amortised; exact growth when that is too much
        for (int exact = 0; exact < 2; ++exact) {
            uint64_t volume = 1;
            for (size_t a = 0; a < n; ++a) {
                int64_t old = box_.at ? box_.ext[a] : 0;
                ext[a] = v[a] < old ? old : exact ? v[a] + 1 : std::max(v[a] + 1, 2 * old);
                if (__builtin_mul_overflow(volume, (uint64_t)ext[a], &volume)) volume = ~0ULL;
            }
            if (volume <= budget) {
                relayout(n, ext, (size_t)volume);
                return in_box(v, n, at);
            }
        }
        return false;
    }

    void relayout(size_t n, const int64_t* ext, size_t volume) {
        std::vector<int32_t> table(volume, -1);
        Box fresh;
        fresh.n = n;
        int64_t stride = 1;
        for (size_t a = n; a-- > 0;) {
            fresh.ext[a] = ext[a];
            fresh.stride[a] = stride;
            stride *= ext[a];
        }
        if (box_.at) {
            // every old slot keeps its subscripts: walk them in order
            int64_t idx[kBoxAxes] = {};
            for (size_t old = 0; old < table_.size(); ++old) {
                size_t to = 0;
                for (size_t a = 0; a < n; ++a) to += (size_t)(idx[a] * fresh.stride[a]);
                table[to] = table_[old];
                for (size_t a = n; a-- > 0;) {
                    if (++idx[a] < box_.ext[a]) break;
                    idx[a] = 0;
                }
            }
        }
        table_.swap(table);
        fresh.at = table_.data();
        box_ = fresh;
    }

    static constexpr int kBits = 20;  // per leading subscript; up to three subscripts

    /// The row key: the count of subscripts and all but the last one.
    static bool pack(const int64_t* v, size_t n, uint64_t& out) {
        if (n > 3) return false;
        uint64_t p = (uint64_t)n << 62;
        for (size_t i = 0; i < n; ++i) {
            if (v[i] < 0 || v[i] >= (int64_t(1) << kBits)) return false;
            if (i + 1 < n) p |= (uint64_t)v[i] << (kBits * i);
        }
        out = p;
        return true;
    }

    struct Row {
        std::vector<int32_t> at;  // last subscript -> index, -1 where none
        size_t count = 0;
    };

    Row* row(uint64_t prefix, bool add) {
        // products alternate between a few rows (x[i, t] * x[j, t + 1]): the last two are kept
        if (prefix == recent_[0].prefix) return &rows_[recent_[0].row];
        if (prefix == recent_[1].prefix) {
            std::swap(recent_[0], recent_[1]);
            return &rows_[recent_[0].row];
        }
        if (!keys_.empty()) {
            size_t mask = keys_.size() - 1;
            for (size_t s = mix(prefix) & mask; keys_[s] != kEmpty; s = (s + 1) & mask)
                if (keys_[s] == prefix) return remember(prefix, slots_[s]);
        }
        if (!add) return nullptr;
        if ((rows_.size() + 1) * 2 > keys_.size()) grow();
        size_t mask = keys_.size() - 1;
        size_t s = mix(prefix) & mask;
        while (keys_[s] != kEmpty) s = (s + 1) & mask;
        keys_[s] = prefix;
        slots_[s] = rows_.size();
        rows_.emplace_back();
        return remember(prefix, rows_.size() - 1);
    }

    Row* remember(uint64_t prefix, size_t r) {
        recent_[1] = recent_[0];
        recent_[0] = Recent{prefix, r};
        return &rows_[r];
    }

    static size_t mix(uint64_t k) {
        k ^= k >> 31;
        k *= 0x9E3779B97F4A7C15ULL;
        return (size_t)(k ^ (k >> 29));
    }

    void grow() {
        std::vector<uint64_t> keys(std::max<size_t>(16, keys_.size() * 2), kEmpty);
        std::vector<size_t> slots(keys.size());
        size_t mask = keys.size() - 1;
        for (size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] == kEmpty) continue;
            size_t s = mix(keys_[i]) & mask;
            while (keys[s] != kEmpty) s = (s + 1) & mask;
            keys[s] = keys_[i];
            slots[s] = slots_[i];
        }
        keys_.swap(keys);
        slots_.swap(slots);
    }

    int32_t general_find(const int64_t* v, size_t n) {
        Key k;
        if (!general_key(v, n, k)) return -1;
        Num* known = other_.find(k);
        return known ? (int32_t)known->as_int() : -1;
    }

    void general_store(const int64_t* v, size_t n, int32_t index) {
        Key k;
        if (general_key(v, n, k)) other_.store(std::move(k), Num::of_int(index));
    }

    static bool general_key(const int64_t* v, size_t n, Key& k) {
        k = Key((uint32_t)n);
        for (size_t i = 0; i < n; ++i) {
            if (v[i] < INT32_MIN || v[i] > INT32_MAX) return false;
            k.data()[i] = (int32_t)v[i];
        }
        return true;
    }

    std::vector<uint64_t> keys_;  // row keys, open addressing
    std::vector<size_t> slots_;   // their rows
    std::vector<Row> rows_;
    struct Recent {
        uint64_t prefix = kEmpty;  // never a packed prefix, whose bits 40 to 61 are clear
        size_t row = 0;
    } recent_[2];
    Terms other_;
    Box box_;
    std::vector<int32_t> table_;  // the box's slots
    size_t count_ = 0;            // indices stored
    size_t spilled_ = 0;          // of which outside the box
    uint64_t generation_ = 0;
};

/// Variables met before, by label object: one substitution's, or a whole compile's (every item
/// of a model goes to the same registry). Each label is held while it is cached, so its address
/// keeps naming it.
class KnownVariables {
public:
    SeenIndex& of(nb::handle label) {
        auto it = by_label_.find(label.ptr());
        if (it == by_label_.end()) {
            held_.push_back(ref(label));
            it = by_label_.emplace(label.ptr(), SeenIndex()).first;
        }
        return it->second;
    }

private:
    std::unordered_map<PyObject*, SeenIndex> by_label_;
    std::vector<Obj> held_;
};

}  // namespace qtx::engine
