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
#include <vector>

using namespace qtx;
using namespace qtx::pubo;

namespace {

const Names& N = names();

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
    Obj zero = float_zero();
    if (keys_reduced(coeff)) {
        // the same keys in the same order: copy, then make every value value + 0.0 (a float
        // other than -0.0 already is)
        Obj out = own(PyDict_Copy(coeff));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(out.ptr(), &pos, &k, &v)) {
            if (PyFloat_CheckExact(v) && !(PyFloat_AS_DOUBLE(v) == 0.0 && std::signbit(PyFloat_AS_DOUBLE(v)))) continue;
            Obj key = ref(k);
            Obj sum = num_add(Num::of(v), Num::of(zero.ptr())).py();
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
            Obj first = num_add(n, Num::of(zero.ptr())).py();
            Py_ssize_t size = PyDict_GET_SIZE(out.ptr());
            PyObject* old = PyDict_SetDefault(out.ptr(), reduced.ptr(), first.ptr());
            if (!old) fail();
            if (PyDict_GET_SIZE(out.ptr()) == size)
                dict_set(out.ptr(), reduced.ptr(), num_add(n, Num::of(old)).py().ptr());
        } else {
            PyObject* old = dict_get(out.ptr(), reduced.ptr());
            Obj base = old ? ref(old) : zero;
            dict_set(out.ptr(), reduced.ptr(), num_add(n, Num::of(base.ptr())).py().ptr());
        }
    }
    return out;
}

Obj binary_multiply_reduction(PyObject* const* a) { return multiply_reduction(a[0]); }

Obj subs_ir_to_binary(PyObject* const* a) {
    Obj coeff = getattr(a[0], N.coeff.ptr());
    Obj constant = getattr(a[0], N.constant.ptr());
    Obj result = call(a[1], {coeff.ptr(), constant.ptr()});
    Obj binary_coeff, binary_constant;
    unpack2(result.ptr(), binary_coeff, binary_constant);
    Obj reduced = multiply_reduction(binary_coeff.ptr());
    Obj model = QTX_IMPORT("quillon_transpiler.core.pubo.int_encoder", "BinaryModel");
    return call(model.ptr(), {reduced.ptr(), binary_constant.ptr()});
}

// ---- one binary polynomial of a whole compiled instance ----

/// The weight of a label, from the dict of weights by label.
Num weight_of(PyObject* weights, PyObject* label) { return number(dict_item(weights, label)); }

/// Calls f(terms, owned, constant) with a polynomial: a native capsule's own terms (owned, and
/// emptied afterwards, when `consume`), or the coefficient map of a SubstitutedExpression read
/// once (owned).
template <class F>
void with_terms(PyObject* poly, bool consume, F&& f) {
    if (PolyCapsule* np = poly_capsule(poly)) {
        np->merge();
        Poly* p = &np->poly;
        f(p->terms, consume, p->constant);
        if (consume) p->terms = Terms();
        return;
    }
    Obj coeff = getattr(poly, N.coeff.ptr());
    Terms t = read_terms(coeff.ptr());
    f(t, true, number(getattr(poly, N.constant.ptr()).ptr()));
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
        Obj exc = call(PyExc_MemoryError,
                       {str("out of memory while " + what() +
                            ": the binary polynomial needs more memory than is available. Free memory, or lower a "
                            "smaller model (fewer forall keys, shorter sums, or a lower degree).")
                            .ptr()});
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

/// Lowers a whole instance. a: (table, objective, sign, constraints, kinds, constraint_weights,
/// penalties, penalty_weights, onehot_weight); kinds: label -> 1 (==), 2 (<=), 3 (>=); weights:
/// label -> number. `progress(label)` is told of every constraint and penalty label done.
template <class P>
void lower_into(QuboBuilder& builder, TermMerge& merge, PyObject* const* a, bool consume, P&& progress) {
    const Encoding& encoding = encoding_of(a[0]);
    Num sign = number(a[2]);
    // an objective left in parts by the native compile goes to the builder unmerged when it can
    PolyCapsule* np = poly_capsule(a[1]);
    building(
        [] { return std::string("lowering the objective"); },
        [&] {
            if (!(consume && np && !np->parts.empty() && builder.objective_parts(np->parts, np->poly.constant, sign)))
                with_terms(a[1], consume,
                           [&](Terms& t, bool owned, const Num& c) { builder.objective(t, owned, c, sign); });
        });
    map_each(a[3], [&](PyObject* label, PyObject* polys) {
        Num w = weight_of(a[5], label);
        if (num_nonzero(w)) {
            long kind = PyLong_AsLong(dict_item(a[4], label));
            if (kind == -1 && PyErr_Occurred()) fail();
            map_each(polys, [&](PyObject* key, PyObject* poly) {
                check_signals();
                building([&] { return "lowering " + item_name("constraint", label, key); },
                         [&] {
                             with_terms(poly, consume, [&](Terms& t, bool, const Num& c) {
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
            map_each(a[6], [&](PyObject*, PyObject* polys) {
                map_each(polys, [&](PyObject*, PyObject* poly) {
                    if (PolyCapsule* np = poly_capsule(poly)) terms += np->poly.terms.size() + np->parts.total();
                });
            });
            return terms;
        });
    }
    map_each(a[6], [&](PyObject* label, PyObject* polys) {
        Num w = weight_of(a[7], label);
        if (num_nonzero(w)) {
            map_each(polys, [&](PyObject* key, PyObject* poly) {
                check_signals();
                building([&] { return "lowering " + item_name("penalty", label, key); },
                         [&] {
                             PolyCapsule* np = poly_capsule(poly);
                             if (np && np->squared && consume && builder.square_penalty(np->poly, w)) {
                                 np->poly = Poly();
                                 np->squared = false;
                                 return;
                             }
                             with_terms(poly, consume, [&](Terms& t, bool owned, const Num& c) {
                                 builder.penalty(label, key, t, owned, c, w);
                             });
                         });
            });
        }
        progress(label);
    });
    Num ow = number(a[8]);
    if (num_nonzero(ow))
        building([] { return std::string("lowering the one-hot rules"); }, [&] { builder.onehot(ow); });
    if (!finite(merge.constant())) overflowed(merge.constant(), nullptr, 0);
}

/// _lower(table, objective, sign, constraints, kinds, constraint_weights, penalties,
///        penalty_weights, onehot_weight) -> (coeff, constant, binaries, slacks)
Obj lower(PyObject* const* a) {
    const Encoding& e = encoding_of(a[0]);
    TermMerge merge(e, false);
    QuboBuilder builder(e, merge);
    lower_into(builder, merge, a, false, [](PyObject*) {});
    Obj d;
    building([] { return std::string("building the coefficient dict"); },
             [&] {
                 Terms done = merge.merged_terms();
                 IndexCache ints;
                 d = to_dict(done, ints, [](const Terms::Entry& entry) {
                     if (!finite(entry.val)) overflowed(entry.val, entry.key.data(), entry.key.size());
                 });
             });
    Obj c = merge.constant().py();
    Obj nbin = integer(builder.binaries());
    return own(PyTuple_Pack(4, d.ptr(), c.ptr(), nbin.ptr(), builder.slacks().ptr()));
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
    return nb::steal(array.cast().release());
}

/// A view of n values of type T, `stride` bytes apart from `data` on, kept alive by `owner`.
template <class T>
Obj strided_array(T* data, size_t n, size_t stride, nb::handle owner) {
    size_t shape[1] = {n};
    int64_t strides[1] = {(int64_t)(stride / sizeof(T))};
    nb::ndarray<nb::numpy, T, nb::ndim<1>> array(data, 1, shape, owner, strides);
    return nb::steal(array.cast().release());
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
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) fail();
            PyErr_Clear();  // an int past float64's range: no exact value, said below
        } else {
            if (!std::isfinite(d)) overflowed(v, key, size);
            Obj f = own(PyFloat_FromDouble(d));
            if (compare(o.ptr(), f.ptr(), Py_EQ)) return d;
        }
    }
    raise(PyExc_ValueError, "the coefficient " + num_repr(v) + " of the term " + key_text(key, size) +
                                " has no exact float64 value; use to_pubo, whose dict keeps Python numbers");
}

/// The finished merge as arrays: (linear, rows, cols, biases, offsets, indices, biases of
/// the terms of degree 3 and more). Quadratic terms come sorted by row, then column (dimod
/// builds its adjacency fastest that way); higher ones in to_pubo's order.
Obj arrays_of(TermMerge& merge, int32_t binaries) {
    BigVector<double> linear((size_t)binaries, 0.0), qb, hb;
    BigVector<int32_t> rows, cols, hidx;
    std::vector<int64_t> hoff{0};
    auto reserve = [&](size_t bound) {  // room for every quadratic term: no regrowth of large arrays
        rows.reserve(bound);
        cols.reserve(bound);
        qb.reserve(bound);
    };
    QuadraticColumns in_place = merge.merge_flat(reserve, [&](const int32_t* k, uint32_t n, const Num& v) {
        double d = exact_double(v, k, n);
        if (n == 1) {
            linear[(size_t)k[0]] = d;
        } else if (n == 2) {
            rows.push_back(k[0]);
            cols.push_back(k[1]);
            qb.push_back(d);
        } else {
            hidx.insert(hidx.end(), k, k + n);
            hoff.push_back((int64_t)hidx.size());
            hb.push_back(d);
        }
    });
    Obj quadratic[3];
    if (in_place) {
        // the merge wrote the terms over its records: rows, columns and biases are views of them
        size_t n = in_place.size();
        int32_t* at_rows = in_place.rows();
        int32_t* at_cols = in_place.cols();
        double* at_values = in_place.values();
        nb::capsule owner(in_place.release(), &QuadraticColumns::release_block);
        quadratic[0] = strided_array<int32_t>(at_rows, n, QuadraticColumns::kStride, owner);
        quadratic[1] = strided_array<int32_t>(at_cols, n, QuadraticColumns::kStride, owner);
        quadratic[2] = strided_array<double>(at_values, n, QuadraticColumns::kStride, owner);
    } else {
        quadratic[0] = numpy_array(std::move(rows));
        quadratic[1] = numpy_array(std::move(cols));
        quadratic[2] = numpy_array(std::move(qb));
    }
    Obj out[7] = {numpy_array(std::move(linear)),
                  quadratic[0],
                  quadratic[1],
                  quadratic[2],
                  numpy_array(std::move(hoff)),
                  numpy_array(std::move(hidx)),
                  numpy_array(std::move(hb))};
    Obj tuple = own(PyTuple_New(7));
    for (int i = 0; i < 7; ++i) PyTuple_SET_ITEM(tuple.ptr(), i, out[i].release().ptr());
    return tuple;
}

/// _lower_arrays(table, objective, sign, constraints, kinds, constraint_weights, penalties,
///               penalty_weights, onehot_weight, consume, progress)
///   -> (arrays, constant, binaries, slacks, starts)
/// Polynomials may be native capsules (emptied as they are read when `consume`) or
/// SubstitutedExpressions; `progress` (None or a callable) gets every item's label when done.
Obj lower_arrays(PyObject* const* a) {
    const Encoding& e = encoding_of(a[0]);
    TermMerge merge(e, true);
    QuboBuilder builder(e, merge);
    bool consume = truth(a[9]);
    PyObject* progress = a[10];
    lower_into(builder, merge, a, consume, [&](PyObject* label) {
        if (progress != Py_None) call(progress, {label});
    });
    Obj arrays;
    building([] { return std::string("merging the lowered terms into arrays"); },
             [&] { arrays = arrays_of(merge, builder.binaries()); });
    Obj c = merge.constant().py();
    Obj nbin = integer(builder.binaries());
    std::vector<int32_t> starts(e.start);
    Obj st = numpy_array(std::move(starts));
    return own(PyTuple_Pack(5, arrays.ptr(), c.ptr(), nbin.ptr(), builder.slacks().ptr(), st.ptr()));
}

PyMethodDef functions[] = {
    QTX_FN("_binary_multiply_reduction", 1, binary_multiply_reduction),
    QTX_FN("_subs_ir_to_binary", 2, subs_ir_to_binary),
    QTX_FN("_lower", 9, lower),
    QTX_FN("_lower_arrays", 11, lower_arrays),
    QTX_END,
};

}  // namespace

NB_MODULE(binarize, m) { QTX_MODULE_INIT(m, functions) }
