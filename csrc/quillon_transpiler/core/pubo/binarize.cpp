// Binary polynomials: the reduction of monomials by x*x = x, and the binary polynomial of a
// whole compiled instance at once (a QUBO/HUBO, as a dict or as NumPy arrays). The encoding
// table and its natives live in the private module _binary.
#include "qtx/module.hpp"
#include "qtx/binary_keys.hpp"
#include "qtx/qubo_builder.hpp"
#include <nanobind/ndarray.h>
#include "surface.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace qtx;
using namespace qtx::pubo;
using namespace nb::literals;

namespace {

/// A name this module's surface binds (BinaryModel, the result records), read at every use as
/// the surface's own code reads its globals.
Obj surface_name(PyObject* name) { return imported(QTX_NAME("quillon_transpiler.core.pubo.binarize"), name); }

// ---- one polynomial ----

/// Whether every key is a strictly increasing tuple of ints: then no two keys merge.
bool keys_reduced(PyObject* coeff) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(coeff, &pos, &k, &v)) {
        if (!PyTuple_CheckExact(k)) return false;
        long long prev = 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(k); ++i) {
            PyObject* o = PyTuple_GET_ITEM(k, i);
            if (!PyLong_CheckExact(o)) return false;
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow || (i && x <= prev)) return false;
            prev = x;
        }
    }
    return true;
}

Obj multiply_reduction(PyObject* coeff) {
    check_arg(coeff, &PyDict_Type, "coeff");
    if (keys_reduced(coeff)) {
        // the same keys in the same order: copy, then make every value value + 0.0 (a float
        // other than -0.0 already is)
        Obj out = own(PyDict_Copy(coeff));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(out.ptr(), &pos, &k, &v)) {
            if (PyFloat_CheckExact(v) && !(PyFloat_AS_DOUBLE(v) == 0.0 && std::signbit(PyFloat_AS_DOUBLE(v)))) continue;
            Obj key = ref(k);
            Obj sum = plus_zero(Num::of(v)).py();
            dict_set(out.ptr(), key.ptr(), sum.ptr());  // an existing key: no resize
        }
        return out;
    }
    Obj out = own(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(coeff, &pos, &k, &v)) {
        Obj key = ref(k), value = ref(v);  // an addition may run Python code
        Obj reduced = reduced_key(key.ptr());
        Num n = Num::of(value.ptr());
        if (n.tag() == Num::Int || n.tag() == Num::Float) {
            // one lookup for a new key: store value + 0.0 unless the key is already there
            Obj first = plus_zero(n).py();
            Py_ssize_t size = PyDict_GET_SIZE(out.ptr());
            PyObject* old = PyDict_SetDefault(out.ptr(), reduced.ptr(), first.ptr());
            if (!old) fail();
            if (PyDict_GET_SIZE(out.ptr()) == size)
                dict_set(out.ptr(), reduced.ptr(), num_add(n, Num::of(old)).py().ptr());
        } else {
            PyObject* old = dict_get(out.ptr(), reduced.ptr());
            Obj sum = old ? num_add(n, Num::of(ref(old).ptr())).py() : plus_zero(n).py();
            dict_set(out.ptr(), reduced.ptr(), sum.ptr());
        }
    }
    return out;
}

/// _binary_multiply_reduction(coeff)
Obj binary_multiply_reduction(PyObject* const* args) { return multiply_reduction(args[0]); }

/// _subs_ir_to_binary(subs_ir, encoder)
Obj subs_ir_to_binary(PyObject* const* args) {
    nb::handle subs_ir = args[0], encoder = args[1];
    nb::object coeff = subs_ir.attr("coeff");
    nb::object constant = subs_ir.attr("constant");
    nb::object encoded = encoder(coeff, constant);
    Obj binary_coeff, binary_constant;
    unpack2(encoded.ptr(), binary_coeff, binary_constant);
    Obj reduced = multiply_reduction(binary_coeff.ptr());
    return surface_name(QTX_NAME("BinaryModel"))(reduced, binary_constant);
}

// ---- the binary polynomial of a whole compiled instance ----
//
// Python objects made while the model is lowered, where memory may run out, come from the plain
// API (own, integer, str): nanobind's casts turn a failed allocation into a bad_cast, where the
// routes promise a MemoryError that says what was being built.

/// A PuboRequest (see the surface) read once.
struct Request {
    explicit Request(nb::handle request)
        : table(request.attr("table")),
          objective(request.attr("objective")),
          sign(request.attr("sign")),
          constraints(request.attr("constraints")),
          kinds(request.attr("kinds")),
          constraint_weights(request.attr("constraint_weights")),
          penalties(request.attr("penalties")),
          penalty_weights(request.attr("penalty_weights")),
          onehot_weight(request.attr("onehot_weight")),
          encoding(encoding_of(table)) {}

    nb::object table, objective, sign, constraints, kinds, constraint_weights, penalties, penalty_weights,
        onehot_weight;
    const Encoding& encoding;  // held by `table`
};

/// The weight of a label, from the dict of weights by label.
Num weight_of(PyObject* weights, PyObject* label) { return number(dict_item(weights, label)); }

/// Calls f(terms, owned, constant) with a polynomial: a native capsule's own terms (owned, and
/// emptied afterwards, when `consume`), or the coefficient map of a SubstitutedExpression read
/// once (owned).
template <class F>
void with_terms(PyObject* poly, bool consume, F&& f) {
    if (PolyCapsule* capsule = poly_capsule(poly)) {
        capsule->merge();
        Poly& p = capsule->poly;
        f(p.terms, consume, p.constant);
        if (consume) p.terms = Terms();
        return;
    }
    nb::handle expression = poly;
    Terms t = read_terms(expression.attr("coeff"));
    f(t, true, number(expression.attr("constant")));
}

/// Checks for Ctrl-C between items of the model.
void check_signals() {
    if (PyErr_CheckSignals() < 0) fail();
}

/// Runs one step of the lowering; memory running out in it (a C++ allocation, or Python's
/// MemoryError, which says nothing) raises a MemoryError saying what was being built.
template <class What, class Step>
void building(What&& what, Step&& step) {
    auto out_of_memory = [&](Obj cause) {
        std::string message = "out of memory while " + what() +
                              ": the binary polynomial needs more memory than is available. Free memory, or lower a "
                              "smaller model (fewer forall keys, shorter sums, or a lower degree).";
        // made without nanobind's casts, which turn a failed allocation into a bad_cast
        Obj exc = call(PyExc_MemoryError, {str(message).ptr()});
        if (cause) raise_from(exc, cause.ptr());
        PyErr_SetObject(PyExc_MemoryError, exc.ptr());
        fail();
    };
    try {
        step();
    } catch (std::bad_alloc&) {
        out_of_memory(Obj());
    } catch (PyErrSet&) {
        out_of_memory(caught_error(PyExc_MemoryError));  // any other error goes on as it is
    } catch (nb::python_error&) {
        out_of_memory(caught_error(PyExc_MemoryError));
    }
}

/// Builds the request's polynomial into `builder`: the objective, the constraints and the
/// penalties in order, then the one-hot rules. `progress(label)` is told of every constraint
/// and penalty label done. With `lend`, an objective in parts that is kept is read where it is,
/// not copied: no Python code may run before the merge is done (so no `progress`).
/// With `keep_constraints`, the constraints are read and kept even when `consume`.
template <class Progress>
void lower_into(QuboBuilder& builder, TermMerge& merge, const Request& request, bool consume, Progress&& progress,
                bool lend = false, bool keep_constraints = false) {
    const Encoding& encoding = request.encoding;
    Num sign = number(request.sign);
    // an objective left in parts by the native compile goes to the builder unmerged when it can;
    // a lowering that keeps the polynomials hands it a copy (merging them in place would cost
    // more, and would keep a later lowering from taking them unmerged)
    PolyCapsule* objective = poly_capsule(request.objective.ptr());
    building(
        [] { return std::string("lowering the objective"); },
        [&] {
            // the parts' and the square's ways check their terms as they merge them, and their
            // constant here (a complex one would reach the arrays otherwise), after the terms
            auto check = [](const Terms& t, const Num& c) {
                check_finite(t, c, [] { return std::string("In objective"); });
            };
            if (objective && !objective->parts.empty() &&
                builder.takes_parts(objective->parts, objective->poly.constant, sign)) {
                check(Terms(), objective->poly.constant);  // parts taken hold plain numbers only
                if (lend && !consume && builder.lend_objective_parts(objective->parts, objective->poly.constant, sign))
                    return;
                Parts copy = consume ? Parts() : copy_with_stats(objective->parts);
                builder.objective_parts(consume ? objective->parts : copy, objective->poly.constant, sign);
                return;
            }
            if (consume && objective && objective->squared) check(objective->poly.terms, objective->poly.constant);
            if (consume && objective && objective->squared && builder.square_objective(objective->poly, sign)) {
                objective->poly = Poly();
                objective->squared = false;
                return;
            }
            with_terms(request.objective.ptr(), consume,
                       [&](Terms& t, bool owned, const Num& c) { builder.objective(t, owned, c, sign); });
        });
    map_each(request.constraints.ptr(), [&](PyObject* label, PyObject* polys) {
        Num w = weight_of(request.constraint_weights.ptr(), label);
        if (num_nonzero(w)) {
            long kind = PyLong_AsLong(dict_item(request.kinds.ptr(), label));
            if (kind == -1 && PyErr_Occurred()) fail();
            map_each(polys, [&](PyObject* key, PyObject* poly) {
                check_signals();
                building([&] { return "lowering " + item_name("constraint", label, key); },
                         [&] {
                             with_terms(poly, consume && !keep_constraints, [&](Terms& t, bool, const Num& c) {
                                 builder.constraint(label, key, (int)kind, t, c, w);
                             });
                         });
            });
        }
        progress(label);
    });
    if (!encoding.all_identity) {
        // the penalties' terms, expanded here, are known up front: room for them at once
        merge.expect([&] {
            size_t terms = 0;
            map_each(request.penalties.ptr(), [&](PyObject*, PyObject* polys) {
                map_each(polys, [&](PyObject*, PyObject* poly) {
                    if (PolyCapsule* capsule = poly_capsule(poly))
                        terms += capsule->poly.terms.size() + capsule->parts.total();
                });
            });
            return terms;
        });
    }
    map_each(request.penalties.ptr(), [&](PyObject* label, PyObject* polys) {
        Num w = weight_of(request.penalty_weights.ptr(), label);
        if (num_nonzero(w)) {
            map_each(polys, [&](PyObject* key, PyObject* poly) {
                check_signals();
                // a lowering that consumes takes copies of the penalties' terms and leaves the
                // penalties as they are: decoding keeps them (they are small beside their squares)
                building([&] { return "lowering " + item_name("penalty", label, key); },
                         [&] {
                             PolyCapsule* capsule = poly_capsule(poly);
                             if (capsule && capsule->squared && consume) {
                                 Poly base(capsule->poly);
                                 if (builder.square_penalty(base, w, capsule->scale)) return;
                             }
                             with_terms(poly, false, [&](Terms& t, bool owned, const Num& c) {
                                 if (!consume || owned) return builder.penalty(label, key, t, owned, c, w);
                                 Terms copy(t);
                                 builder.penalty(label, key, copy, true, c, w);
                             });
                         });
            });
        }
        progress(label);
    });
    Num onehot_weight = number(request.onehot_weight);
    if (num_nonzero(onehot_weight))
        building([] { return std::string("lowering the one-hot rules"); }, [&] { builder.onehot(onehot_weight); });
    if (!finite(merge.constant())) overflowed(merge.constant(), nullptr, 0);
}

/// _lower(request) -> PuboTerms
Obj lower(PyObject* const* args) {
    Request request(args[0]);
    TermMerge merge(request.encoding, false);
    QuboBuilder builder(request.encoding, merge);
    lower_into(builder, merge, request, false, [](PyObject*) {});
    Obj coeff;
    building([] { return std::string("building the coefficient dict"); },
             [&] {
                 Terms done = merge.merged_terms();
                 IndexCache ints;
                 coeff = to_dict(done, ints, [](const Terms::Entry& entry) {
                     if (!finite(entry.val)) overflowed(entry.val, entry.key.data(), entry.key.size());
                 });
             });
    return surface_name(QTX_NAME("PuboTerms"))("coeff"_a = coeff, "constant"_a = merge.constant().py(),
                                               "num_binaries"_a = integer(builder.binaries()),
                                               "slacks"_a = builder.slacks());
}

// ---- the same polynomial as NumPy arrays ----

/// A vector handed to NumPy without a copy: the array owns it.
template <class V>
Obj numpy_array(V&& v) {
    using T = typename V::value_type;
    auto* held = new V(std::move(v));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<V*>(p); });
    size_t shape[1] = {held->size()};
    nb::ndarray<nb::numpy, T, nb::ndim<1>> array(held->data(), 1, shape, owner);
    return array.cast();
}

/// A view of n values of type T, `stride` bytes apart from `data` on, kept alive by `owner`.
template <class T>
Obj strided_array(T* data, size_t n, size_t stride, nb::handle owner) {
    size_t shape[1] = {n};
    int64_t strides[1] = {(int64_t)(stride / sizeof(T))};
    nb::ndarray<nb::numpy, T, nb::ndim<1>> array(data, 1, shape, owner, strides);
    return array.cast();
}

/// A finished coefficient as a float64, refusing any value a float64 cannot hold exactly and
/// any that is not finite.
double exact_double(const Num& v, const int32_t* key, uint32_t size) {
    double d;
    if (v.tag() == Num::Float) {
        if (!std::isfinite(v.as_float())) overflowed(v, key, size);
        return v.as_float();
    }
    if (v.tag() == Num::Int) {
        d = (double)v.as_int();
        if (d < 9223372036854775808.0 && (int64_t)d == v.as_int()) return d;
    } else {
        Obj o = v.py();
        d = PyFloat_AsDouble(o.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            // an int past float64's range, or a number that is no real one (a complex): no
            // float64 value, said below
            if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_TypeError)) fail();
            PyErr_Clear();
        } else {
            if (!std::isfinite(d)) overflowed(v, key, size);
            Obj f = own(PyFloat_FromDouble(d));
            if (compare(o.ptr(), f.ptr(), Py_EQ)) return d;
        }
    }
    raise(PyExc_ValueError, "the coefficient " + num_repr(v) + " of the term " + key_text(key, size) +
                                " has no exact float64 value; use to_pubo, whose dict keeps Python numbers");
}

/// The terms of a finished merge: linear biases, quadratic rows, columns and biases (written
/// over the merge's records when `in_place` holds them, else in the vectors), and the terms of
/// degree 3 and more (offsets, indices, biases). Quadratic terms come sorted by row, then
/// column (dimod builds its adjacency fastest that way); higher ones in to_pubo's order.
struct MergedTerms {
    BigVector<double> linear, qb, hb;
    BigVector<int32_t> rows, cols, hidx;
    std::vector<int64_t> hoff{0};
    QuadraticColumns in_place;
};

MergedTerms merge_terms(TermMerge& merge, int32_t binaries) {
    MergedTerms m;
    m.linear.assign((size_t)binaries, 0.0);
    auto reserve = [&](size_t bound) {  // room for every quadratic term: no regrowth of large arrays
        m.rows.reserve(bound);
        m.cols.reserve(bound);
        m.qb.reserve(bound);
    };
    m.in_place = merge.merge_flat(reserve, [&](const int32_t* k, uint32_t n, const Num& v) {
        double d = exact_double(v, k, n);
        if (n == 1) {
            m.linear[(size_t)k[0]] = d;
        } else if (n == 2) {
            m.rows.push_back(k[0]);
            m.cols.push_back(k[1]);
            m.qb.push_back(d);
        } else {
            m.hidx.insert(m.hidx.end(), k, k + n);
            m.hoff.push_back((int64_t)m.hidx.size());
            m.hb.push_back(d);
        }
    });
    return m;
}

/// The merged terms as the NumPy arrays of PuboTermArrays.
struct TermArrays {
    Obj linear, quadratic_rows, quadratic_cols, quadratic_biases, higher_offsets, higher_indices, higher_biases;
};

TermArrays merged_arrays(TermMerge& merge, int32_t binaries) {
    MergedTerms m = merge_terms(merge, binaries);
    TermArrays arrays;
    if (m.in_place) {
        // the merge wrote the terms over its records: rows, columns and biases are views of them
        size_t n = m.in_place.size();
        int32_t* at_rows = m.in_place.rows();
        int32_t* at_cols = m.in_place.cols();
        double* at_values = m.in_place.values();
        nb::capsule owner(m.in_place.release(), &QuadraticColumns::release_block);
        arrays.quadratic_rows = strided_array(at_rows, n, QuadraticColumns::kStride, owner);
        arrays.quadratic_cols = strided_array(at_cols, n, QuadraticColumns::kStride, owner);
        arrays.quadratic_biases = strided_array(at_values, n, QuadraticColumns::kStride, owner);
    } else {
        arrays.quadratic_rows = numpy_array(std::move(m.rows));
        arrays.quadratic_cols = numpy_array(std::move(m.cols));
        arrays.quadratic_biases = numpy_array(std::move(m.qb));
    }
    arrays.linear = numpy_array(std::move(m.linear));
    arrays.higher_offsets = numpy_array(std::move(m.hoff));
    arrays.higher_indices = numpy_array(std::move(m.hidx));
    arrays.higher_biases = numpy_array(std::move(m.hb));
    return arrays;
}

/// weights.flip_bound of merged terms (see FlipBound).
double flip_bound(MergedTerms& m) {
    FlipBound bound(m.linear.size());
    for (size_t b = 0; b < m.linear.size(); ++b) bound.linear((int32_t)b, m.linear[b]);
    if (m.in_place) {
        const char* rows = reinterpret_cast<const char*>(m.in_place.rows());
        const char* cols = reinterpret_cast<const char*>(m.in_place.cols());
        const char* values = reinterpret_cast<const char*>(m.in_place.values());
        for (size_t at = 0; at < m.in_place.size() * QuadraticColumns::kStride; at += QuadraticColumns::kStride)
            bound.quadratic(*reinterpret_cast<const int32_t*>(rows + at), *reinterpret_cast<const int32_t*>(cols + at),
                            *reinterpret_cast<const double*>(values + at));
    } else {
        for (size_t i = 0; i < m.qb.size(); ++i) bound.quadratic(m.rows[i], m.cols[i], m.qb[i]);
    }
    for (size_t t = 0; t < m.hb.size(); ++t)
        for (int64_t i = m.hoff[t]; i < m.hoff[t + 1]; ++i) bound.higher(m.hidx[(size_t)i], m.hb[t]);
    return bound.bound();
}

/// The PuboTermArrays of a finished lowering: its merged terms as arrays, its constant,
/// binaries, slacks and the encoding's binary starts.
Obj term_arrays(TermMerge& merge, const QuboBuilder& builder, const Request& request) {
    TermArrays arrays;
    building([] { return std::string("merging the lowered terms into arrays"); },
             [&] { arrays = merged_arrays(merge, builder.binaries()); });
    std::vector<int32_t> starts(request.encoding.start);
    return record(surface_name(QTX_NAME("PuboTermArrays")),
                  {{QTX_NAME("linear"), arrays.linear},
                   {QTX_NAME("quadratic_rows"), arrays.quadratic_rows},
                   {QTX_NAME("quadratic_cols"), arrays.quadratic_cols},
                   {QTX_NAME("quadratic_biases"), arrays.quadratic_biases},
                   {QTX_NAME("higher_offsets"), arrays.higher_offsets},
                   {QTX_NAME("higher_indices"), arrays.higher_indices},
                   {QTX_NAME("higher_biases"), arrays.higher_biases},
                   {QTX_NAME("offset"), merge.constant().py()},
                   {QTX_NAME("num_binaries"), integer(builder.binaries())},
                   {QTX_NAME("slacks"), builder.slacks()},
                   {QTX_NAME("binary_starts"), numpy_array(std::move(starts))}});
}

/// _lower_arrays(request, consume, progress) -> PuboTermArrays. Polynomials may be native
/// capsules (emptied as they are read when `consume`, but for the constraints', which decoding
/// reads afterwards) or SubstitutedExpressions; `progress` (None or a callable) gets every
/// item's label when done.
Obj lower_arrays(PyObject* const* args) {
    Request request(args[0]);
    // PyObject_IsTrue, not nb::bool_(args[1]): a PyObject* converts to bool (non-null: true)
    // before it converts to a handle, which made every lowering consume its capsules
    int truth = PyObject_IsTrue(args[1]);
    if (truth < 0) fail();
    bool consume = truth != 0;
    nb::handle progress = args[2];
    TermMerge merge(request.encoding, true);
    QuboBuilder builder(request.encoding, merge);
    lower_into(
        builder, merge, request, consume,
        [&](PyObject* label) {
            if (!progress.is_none()) progress(nb::handle(label));
        },
        false, true);
    return term_arrays(merge, builder, request);
}

/// _lower_swing(request) -> float: weights.flip_bound of the request's polynomial, lowered as
/// _lower_arrays(request, False, None) lowers it, without making its arrays.
Obj lower_swing(PyObject* const* args) {
    Request request(args[0]);
    TermMerge merge(request.encoding, true);
    QuboBuilder builder(request.encoding, merge);
    lower_into(builder, merge, request, false, [](PyObject*) {}, true);
    double bound = 0.0;
    building([] { return std::string("merging the lowered terms into arrays"); },
             [&] {
                 MergedTerms m = merge_terms(merge, builder.binaries());
                 bound = flip_bound(m);
             });
    return own(PyFloat_FromDouble(bound));
}

/// Thrown by the late weights when ints would be multiplied past what doubles hold exactly.
struct IntsPastDoubles {};

/// _lower_arrays_late(request, consume, progress, weigh) -> PuboTermArrays or None: the
/// lowering of _lower_arrays, the weights of some constraints chosen once the objective is
/// merged. weigh(swing) gets the flip bound of the objective alone (what _lower_swing gives
/// of a request without constraints) and returns a dict of weights by label, which replace
/// the request's stand-ins (the float 1.0). Taken when the objective is in parts, no penalty
/// weighs and every constraint's square is taken whole by the merge; otherwise None, the
/// objective left as it came and the constraints kept (their labels not told to `progress`).
Obj lower_arrays_late(PyObject* const* args) {
    Request request(args[0]);
    int truth = PyObject_IsTrue(args[1]);
    if (truth < 0) fail();
    bool consume = truth != 0;
    nb::handle progress = args[2], weigh = args[3];
    Num sign = number(request.sign);
    PolyCapsule* objective = poly_capsule(request.objective.ptr());
    TermMerge merge(request.encoding, true);
    QuboBuilder builder(request.encoding, merge);
    if (!objective || objective->parts.empty() ||
        !builder.takes_parts(objective->parts, objective->poly.constant, sign))
        return ref(Py_None);
    // what weights_can_wait() asks of the objective, asked before anything is lowered
    const PartStats* stats = part_stats(objective->parts);
    if (!stats || stats->higher || stats->objects || (stats->ints && stats->int_mass >= 0x1p52)) return ref(Py_None);
    bool weighted = false;
    map_each(request.penalties.ptr(), [&](PyObject* label, PyObject*) {
        weighted = weighted || num_nonzero(weight_of(request.penalty_weights.ptr(), label));
    });
    if (weighted) return ref(Py_None);
    // the objective's ints, read while its parts are still the caller's
    double objective_ints = stats->ints ? stats->int_mass : 0.0;
    merge.weigh_at_merge([](double) {});  // squares wait from the first one on
    // the squares of each label, [first, end), and the labels, told to progress once taken
    std::vector<std::pair<Obj, std::pair<size_t, size_t>>> labels;
    lower_into(
        builder, merge, request, consume,
        [&](PyObject* label) {
            size_t first = labels.empty() ? 0 : labels.back().second.second;
            labels.push_back({ref(label), {first, merge.squares()}});
        },
        progress.is_none(), true);
    if (!merge.weights_can_wait() || builder.expanded_squares()) {
        if (consume) {  // the objective's parts back where they came from, as they came
            objective->parts = merge.give_back_objective_parts();
            if (sign.tag() == Num::Int && sign.as_int() == -1)
                for (size_t p = 0; p < objective->parts.size(); ++p)
                    for (auto* entry = objective->parts.begin(p); entry != objective->parts.end(p); ++entry)
                        entry->val = num_mul(sign, entry->val);
        }
        return ref(Py_None);
    }
    if (!progress.is_none())
        for (auto& item : labels) progress(item.first);
    Num start = num_mul(sign, number(objective->poly.constant));  // the objective's constant, as taken
    merge.weigh_at_merge([&](double swing) {
        nb::object chosen = weigh(swing);
        if (!PyDict_Check(chosen.ptr())) raise(PyExc_TypeError, "weigh must return a dict");
        for (auto& item : labels) {
            PyObject* w = PyDict_GetItemWithError(chosen.ptr(), item.first.ptr());
            if (!w) {
                if (PyErr_Occurred()) fail();
                continue;
            }
            // the merge made the squares' terms at this stand-in, and multiplies them by the weight
            Num stand_in = weight_of(request.constraint_weights.ptr(), item.first.ptr());
            if (!(stand_in.tag() == Num::Float && stand_in.as_float() == 1.0))
                raise(PyExc_ValueError, "a weight chosen late must stand at 1.0 in the request");
            Num weight = number(w);
            for (size_t i = item.second.first; i < item.second.second; ++i) merge.set_square_weight(i, weight);
        }
        // The squares' terms were made at the float 1 and are multiplied by their weights in
        // doubles: an int weight's products, and their sums, are those of ints only while the
        // ints' magnitudes summed stay below 2^52. Past that the lowering is done again at the
        // weights chosen, as ints (the caller lowers them, or refuses what float64 cannot hold).
        double mass = objective_ints;
        for (size_t i = 0; i < merge.squares(); ++i) {
            const Num& weight = merge.square_weight(i);
            double w = HUGE_VAL;  // a Python int past int64 is taken as past every bound
            if (weight.tag() != Num::Float && !(weight.promotes(w) && merge.square_int_mass(i) == 0))
                mass += std::fabs(w) * merge.square_int_mass(i);
        }
        if (!(mass < 0x1p52)) throw IntsPastDoubles{};
        // the constant as the squares would have added it, each w * c^2 in turn
        Num constant = start;
        for (size_t i = 0; i < merge.squares(); ++i) {
            const Num& c = merge.square_constant(i);
            constant = num_add(constant, num_mul(merge.square_weight(i), num_mul(c, c)));
        }
        if (!finite(constant)) overflowed(constant, nullptr, 0);
        merge.sum().constant = constant;
    });
    try {
        return term_arrays(merge, builder, request);
    } catch (IntsPastDoubles&) {
        return ref(Py_None);
    }
}

PyMethodDef functions[] = {
    QTX_FN("_binary_multiply_reduction", 1, binary_multiply_reduction),
    QTX_FN("_subs_ir_to_binary", 2, subs_ir_to_binary),
    QTX_FN("_lower", 1, lower),
    QTX_FN("_lower_arrays", 3, lower_arrays),
    QTX_FN("_lower_swing", 1, lower_swing),
    QTX_FN("_lower_arrays_late", 4, lower_arrays_late),
    QTX_END,
};

}  // namespace

NB_MODULE(binarize, m) { QTX_MODULE_INIT(m, functions) }
