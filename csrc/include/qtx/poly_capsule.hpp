// A finished polynomial kept in C++: the native compile hands these to the binary lowering
// instead of SubstitutedExpression objects, so no Python object is made per term. The capsule
// owns its Poly; a consumer may empty it once read, to give the memory back early.
#pragma once
#include "poly.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace qtx {

constexpr const char* kPolyCapsule = "quillon_transpiler.poly";

/// Terms given in parts, as nested sums add them: each group's parts accumulated in order (a
/// group's parts are adjacent), then the groups in order. Empties `parts`.
inline Terms merge_parts(Parts& parts) {
    Terms total;
    for (size_t i = 0; i < parts.size();) {
        size_t end = i + 1;
        while (end < parts.size() && parts.group(end) == parts.group(i)) ++end;
        Terms group = merge_in_order(parts, i, end);
        if (i == 0) {
            total = std::move(group);
        } else {
            total.reserve(total.size() + group.size());
            for (auto& e : group) total.accumulate(std::move(e));
        }
        i = end;
    }
    parts.clear();
    return total;
}

/// What the binary lowering asks of an objective left in parts, gathered as the engine appends
/// them: whether every key is strictly increasing from variable 0 on; whether every key is that
/// or a square (one variable twice: x*x, which is x for a binary), and whether some variable
/// has both a square and a key of its own; whether any key has more than two variables, whether any value
/// is a Python object or an int, the magnitudes of the ints summed, those of the floats summed
/// (inf or NaN when any float is), the greatest variable, and the number of keys of one or
/// two variables by first variable. The lowering takes the parts unmerged when these allow
/// it, and counts its buckets from `rows`.
class PartStats final : public Parts::Watcher {
public:
    bool increasing = true, increasing_but_squares = true, squared_and_linear = false;
    bool higher = false, objects = false, ints = false;
    double int_mass = 0, float_mass = 0;
    int32_t top = -1;
    std::vector<uint32_t> rows;
    std::vector<uint8_t> seen;  // by variable: 1 a key of its own, 2 a square

    void appended(const Parts::Entry* from, const Parts::Entry* to) override {
        bool all_increasing = true, all_but_squares = true, any_higher = false, any_objects = false, any_ints = false;
        double mass = 0, floats = 0;
        int32_t greatest = top;
        uint32_t* counts = rows.data();
        size_t nrows = rows.size();
        for (const Parts::Entry* e = from; e != to; ++e) {
            uint32_t n = e->key.size();
            const int32_t* k = e->key.data();
            // nearly every key: two increasing variables, counted in their row (below, the same)
            if (n == 2 && k[0] >= 0 && k[0] < k[1] && (size_t)k[0] < nrows && e->val.tag() != Num::Object) {
                if (e->val.tag() == Num::Float) {
                    floats += std::fabs(e->val.as_float());
                } else if (e->val.tag() == Num::Int) {
                    any_ints = true;
                    mass += std::fabs((double)e->val.as_int());
                }
                greatest = std::max(greatest, k[1]);
                ++counts[(size_t)k[0]];
                continue;
            }
            any_objects |= e->val.tag() == Num::Object;
            if (e->val.tag() == Num::Int) {
                any_ints = true;
                mass += std::fabs((double)e->val.as_int());
            } else if (e->val.tag() == Num::Float) {
                floats += std::fabs(e->val.as_float());
            }
            if (n == 0 || k[0] < 0) {
                all_increasing = all_but_squares = false;
                continue;
            }
            bool strictly = true;
            for (uint32_t i = 1; i < n; ++i) strictly &= k[i] > k[i - 1];
            all_increasing &= strictly;
            if (!strictly && n == 2 && k[0] == k[1])
                mark(k[0], 2);
            else
                all_but_squares &= strictly;
            if (n == 1) mark(k[0], 1);
            greatest = std::max(greatest, k[n - 1]);
            if (n > 2) {
                any_higher = true;
                continue;
            }
            if ((size_t)k[0] >= nrows) {
                rows.resize(std::max<size_t>((size_t)k[0] + 1, nrows * 2), 0);
                counts = rows.data(), nrows = rows.size();
            }
            ++counts[(size_t)k[0]];
        }
        increasing = increasing && all_increasing;
        increasing_but_squares = increasing_but_squares && all_but_squares;
        higher = higher || any_higher;
        objects = objects || any_objects;
        ints = ints || any_ints;
        int_mass += mass;
        float_mass += floats;
        top = greatest;
    }

private:
    void mark(int32_t v, uint8_t kind) {
        if ((size_t)v >= seen.size()) seen.resize(std::max<size_t>((size_t)v + 1, seen.size() * 2), 0);
        seen[(size_t)v] |= kind;
        squared_and_linear = squared_and_linear || seen[(size_t)v] == 3;
    }
};

/// Parts that gather PartStats as they come: an objective's, for the binary lowering.
inline Parts parts_with_stats() {
    Parts parts;
    parts.watch(std::make_unique<PartStats>());
    return parts;
}

/// The stats gathered for `parts`, or null when they were made without (or have been cleared).
inline const PartStats* part_stats(const Parts& parts) { return dynamic_cast<const PartStats*>(parts.watcher()); }

/// A copy of `parts` with a copy of their stats.
inline Parts copy_with_stats(const Parts& parts) {
    const PartStats* stats = part_stats(parts);
    return parts.copy(stats ? std::make_unique<PartStats>(*stats) : nullptr);
}

/// A polynomial whose terms are `poly.terms`, or, when `parts` is not empty (and poly.terms
/// is), the parts merged by merge_parts; or, when `squared`, the square of `poly`.
struct PolyCapsule {
    Poly poly;
    Parts parts;
    bool squared = false;  // a penalty's square over distinct variables, expanded when read
    Num scale;             // a squared penalty's weight written in the model (c * square), or none

    /// The terms merged into poly.terms (and a square expanded, then scaled as c * square is).
    void merge() {
        if (squared) {
            poly_power(poly, 2.0, PyExc_ValueError);  // 2 is a valid exponent: nothing is raised
            squared = false;
            if (!scale.empty()) {
                Poly scaled{Terms(), scale, Num::of_int(0), Obj()};
                poly_mul(scaled, std::move(poly));
                poly = std::move(scaled);
                scale = Num();
            }
        }
        if (parts.empty()) return;
        poly.terms = merge_parts(parts);
    }
};

inline Obj make_poly_capsule(Poly&& p, Parts&& parts = Parts(), bool squared = false, Num scale = Num()) {
    PolyCapsule* held = new PolyCapsule{std::move(p), std::move(parts), squared, std::move(scale)};
    held->poly.origin = Obj();  // the capsule stands for the polynomial: no Python object behind it
    PyObject* cap = PyCapsule_New(held, kPolyCapsule, [](PyObject* c) {
        delete static_cast<PolyCapsule*>(PyCapsule_GetPointer(c, kPolyCapsule));
    });
    if (!cap) {
        delete held;
        fail();
    }
    return own(cap);
}

/// A SubstitutedExpression of the same polynomial (merging its parts first).
inline Obj native_expression(PolyCapsule& np) {
    np.merge();
    Obj coeff = terms_dict(np.poly.terms);
    Obj cls = QTX_IMPORT("quillon_transpiler.core.substitute", "SubstitutedExpression");
    return call(cls.ptr(), {coeff.ptr(), np.poly.constant.py().ptr(), np.poly.order.py().ptr()});
}

/// The polynomial of a native capsule, or null for any other object.
inline PolyCapsule* poly_capsule(PyObject* o) {
    if (!PyCapsule_CheckExact(o) || !PyCapsule_IsValid(o, kPolyCapsule)) return nullptr;
    return static_cast<PolyCapsule*>(PyCapsule_GetPointer(o, kPolyCapsule));
}

}  // namespace qtx
