// Binary lowering: the reduction of monomials by x*x = x, and the expansion of polynomials over
// integer variables through an encoding table (each variable = offset + sum of coefficient *
// binary), for one polynomial or for a whole compiled instance at once.
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

// ---- encoding tables ----

const char* kCapsule = kEncodingCapsule;

Encoding& table(PyObject* capsule) { return encoding_of(capsule); }

/// _encoding_table(nvar, specs): specs maps a variable index to (offset, coefficients, lower,
/// upper, onehot); every other variable is a binary of its own.
Obj encoding_table(PyObject* const* a) {
    long long nvar = PyLong_AsLongLong(a[0]);
    if (nvar == -1 && PyErr_Occurred()) fail();
    if (nvar < 0 || nvar > INT32_MAX) raise(PyExc_ValueError, "variable count out of range");
    if (!PyDict_Check(a[1])) raise(PyExc_TypeError, "specs must be a dict");
    std::unique_ptr<Encoding> e(new Encoding());
    e->nvar = (int32_t)nvar;
    size_t n = (size_t)nvar;
    e->offset.assign(n, Num::of_int(0));
    e->lo.assign(n, Num::of_int(0));
    e->hi.assign(n, Num::of_int(1));
    e->onehot.assign(n, 0);
    e->identity.assign(n, 1);
    std::vector<std::vector<Num>> coefs(n, std::vector<Num>{Num::of_int(1)});
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(a[1], &pos, &k, &v)) {
        long long i = PyLong_AsLongLong(k);
        if (i == -1 && PyErr_Occurred()) fail();
        if (i < 0 || i >= nvar) raise(PyExc_ValueError, "variable index out of range");
        if (!PyTuple_CheckExact(v) || PyTuple_GET_SIZE(v) != 5) raise(PyExc_TypeError, "spec must be a 5-tuple");
        size_t u = (size_t)i;
        e->offset[u] = number(PyTuple_GET_ITEM(v, 0));
        Obj seq = own(PySequence_Fast(PyTuple_GET_ITEM(v, 1), "coefficients must be a sequence"));
        coefs[u].clear();
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.ptr()); ++j)
            coefs[u].push_back(number(PySequence_Fast_GET_ITEM(seq.ptr(), j)));
        e->lo[u] = number(PyTuple_GET_ITEM(v, 2));
        e->hi[u] = number(PyTuple_GET_ITEM(v, 3));
        e->onehot[u] = truth(PyTuple_GET_ITEM(v, 4));
        e->identity[u] = 0;
        e->all_identity = false;
    }
    e->start.reserve(n + 1);
    e->start.push_back(0);
    for (size_t u = 0; u < n; ++u) {
        if ((size_t)e->start.back() + coefs[u].size() > (size_t)INT32_MAX)
            raise(PyExc_OverflowError, "too many binaries");
        for (auto& c : coefs[u]) e->coef.push_back(std::move(c));
        e->start.push_back((int32_t)e->coef.size());
    }
    Encoding* raw = e.release();
    PyObject* cap = PyCapsule_New(
        raw, kCapsule, [](PyObject* c) { delete static_cast<Encoding*>(PyCapsule_GetPointer(c, kCapsule)); });
    if (!cap) {
        delete raw;
        fail();
    }
    return own(cap);
}

Obj table_size(PyObject* const* a) { return integer(table(a[0]).nbin()); }

// ---- keys and expansion ----

/// Whether the polynomial over an all-identity table is its own binary form: every key a
/// strictly increasing tuple of encoded indices and every coefficient a plain int or float.
bool already_binary(const Encoding& e, PyObject* coeff) {
    if (!e.all_identity || !PyDict_CheckExact(coeff)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(coeff, &pos, &k, &v)) {
        if (!PyTuple_CheckExact(k) || !(PyFloat_CheckExact(v) || PyLong_CheckExact(v))) return false;
        Py_ssize_t n = PyTuple_GET_SIZE(k);
        if (n == 0) return false;
        long long prev = -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* o = PyTuple_GET_ITEM(k, i);
            if (!PyLong_CheckExact(o)) return false;
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow || x <= prev || x >= e.nvar) return false;
            prev = x;
        }
    }
    return true;
}

/// _expand(table, coeff, constant) -> (binary coeff, constant): the encoder callable's work.
Obj expand(PyObject* const* a) {
    const Encoding& e = table(a[0]);
    if (already_binary(e, a[1])) {
        Obj d = own(PyDict_Copy(a[1]));
        return own(PyTuple_Pack(2, d.ptr(), number(a[2]).py().ptr()));
    }
    Sum out;
    expand_terms(e, read_terms(a[1]), number(a[2]), nullptr, out);
    IndexCache ints;
    Obj d = to_dict(out.terms, ints);
    return own(PyTuple_Pack(2, d.ptr(), out.constant.py().ptr()));
}

// ---- decoding ----

std::string repr(PyObject* o) { return to_string(own(PyObject_Repr(o)).ptr()); }

/// A solver's value of a binary: 0 or 1 (ints, floats, bools, NumPy numbers); anything else
/// (2, -1, 0.5, NaN, None) is an error naming the sample key it came under.
uint8_t bit_value(PyObject* v, PyObject* key) {
    Obj p = plain(v);
    double d;
    if (PyLong_Check(p.ptr())) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(p.ptr(), &overflow);
        if (x == -1 && PyErr_Occurred()) fail();
        if (!overflow && (x == 0 || x == 1)) return (uint8_t)x;
    } else if (PyFloat_Check(p.ptr()) && ((d = PyFloat_AS_DOUBLE(p.ptr())) == 0.0 || d == 1.0)) {
        return d == 1.0;
    }
    raise(PyExc_ValueError,
          "the sample gives the binary " + repr(key) + " the value " + repr(v) + "; binaries take 0 or 1");
}

/// The binary index a sample key names: an int or NumPy integer (bool is no index), or a label
/// of `labels` (label -> index; None when the caller has none). -1 for anything else.
long long binary_index(PyObject* key, PyObject* labels) {
    if (PyBool_Check(key)) return -1;
    if (PyLong_Check(key) || (!PyTuple_Check(key) && PyIndex_Check(key))) {
        Obj i = own(PyNumber_Index(key));
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
        if (x == -1 && PyErr_Occurred()) fail();
        return overflow || x < 0 ? -2 : x;
    }
    if (labels != Py_None && PyDict_Check(labels)) {
        PyObject* i = dict_get(labels, key);  // an unhashable key fails here, as a dict would
        if (i) return PyLong_AsLongLong(i);
    }
    return -1;
}

/// One sample's binaries as 0/1 bytes: a mapping keyed by binary index or by `labels`, or a
/// sequence of one value per binary. `nbin` is the model's count of binaries (slacks included);
/// -1 accepts any index, those past the table's binaries unread (an encoder on its own does
/// not know the slacks). A key that names no binary, a value other than 0 or 1, or one binary
/// given twice with two values is an error: a sample read wrongly decodes to a wrong answer.
std::vector<uint8_t> sample_bits(const Encoding& e, PyObject* sample, long long nbin, PyObject* labels) {
    size_t size = (size_t)(nbin < 0 ? e.nbin() : nbin);
    std::vector<uint8_t> bits(size, 2);  // 2: not given, read as 0
    auto set = [&](long long b, PyObject* key, PyObject* value) {
        if (b < 0 || (nbin >= 0 && b >= nbin)) {
            std::string count = nbin >= 0 ? std::to_string(nbin) : std::to_string(e.nbin()) + " or more";
            if (b == -1)
                raise(PyExc_ValueError, "the sample key " + repr(key) +
                                            " names no binary of this model: key samples by binary index (0 to " +
                                            std::to_string(size ? (long long)size - 1 : 0) +
                                            ") or by the entries of the model's labels()");
            raise(PyExc_ValueError, "the sample key " + repr(key) + " is no binary of this model, which has " + count +
                                        " binaries (0 to " + std::to_string(size ? (long long)size - 1 : 0) +
                                        "); was the sample made for another model?");
        }
        uint8_t bit = bit_value(value, key);
        if ((size_t)b >= size) return;
        if (bits[(size_t)b] != 2 && bits[(size_t)b] != bit)
            raise(PyExc_ValueError, "the sample gives binary " + std::to_string(b) +
                                        " two values (0 and 1), the "
                                        "second under the key " +
                                        repr(key));
        bits[(size_t)b] = bit;
    };
    if (PyDict_Check(sample)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(sample, &pos, &k, &v)) {
            Obj key = ref(k), value = ref(v);  // an index conversion may run Python code
            set(binary_index(key.ptr(), labels), key.ptr(), value.ptr());
        }
    } else if (PyList_Check(sample) || PyTuple_Check(sample)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(sample);
        if (nbin >= 0 && n != nbin)
            raise(PyExc_ValueError, "a sample given as a sequence needs one value per binary (" + std::to_string(nbin) +
                                        "), got " + std::to_string(n) +
                                        "; give a shorter sample as a dict {binary index: 0 or 1}");
        for (Py_ssize_t b = 0; b < n; ++b) {
            Obj key = integer(b), value = ref(PySequence_Fast_GET_ITEM(sample, b));
            set(b, key.ptr(), value.ptr());
        }
    } else {
        Obj items = own(PyMapping_Items(sample));
        for_each(items.ptr(), [&](PyObject* pair) {
            Obj key = own(PySequence_GetItem(pair, 0)), value = own(PySequence_GetItem(pair, 1));
            set(binary_index(key.ptr(), labels), key.ptr(), value.ptr());
        });
    }
    return bits;
}

/// _decode(table, sample, nbin, labels) -> {variable index: offset + sum of coef * binary}.
Obj decode(PyObject* const* a) {
    const Encoding& e = table(a[0]);
    long long nbin = PyLong_AsLongLong(a[2]);
    if (nbin == -1 && PyErr_Occurred()) fail();
    std::vector<uint8_t> bits = sample_bits(e, a[1], nbin, a[3]);
    IndexCache ints;
    Obj out = own(_PyDict_NewPresized(e.nvar));
    for (int32_t v = 0; v < e.nvar; ++v) {
        Num value = e.offset[(size_t)v];
        for (int32_t b = e.start[(size_t)v]; b < e.start[(size_t)v + 1]; ++b)
            if (bits[(size_t)b] == 1) value = num_add(value, e.coef[(size_t)b]);
        dict_set(out.ptr(), ints.get(v), value.py().ptr());
    }
    return out;
}

/// _sample_bits(table, sample, nbin, labels) -> bytes of 0 and 1, one per binary.
Obj sample_bits_of(PyObject* const* a) {
    long long nbin = PyLong_AsLongLong(a[2]);
    if (nbin == -1 && PyErr_Occurred()) fail();
    std::vector<uint8_t> bits = sample_bits(table(a[0]), a[1], nbin, a[3]);
    for (auto& b : bits) b = b == 1;
    return own(PyBytes_FromStringAndSize((const char*)bits.data(), (Py_ssize_t)bits.size()));
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
    const Encoding& encoding = table(a[0]);
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
    const Encoding& e = table(a[0]);
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
    const Encoding& e = table(a[0]);
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
    QTX_FN("_encoding_table", 2, encoding_table),
    QTX_FN("_table_size", 1, table_size),
    QTX_FN("_expand", 3, expand),
    QTX_FN("_decode", 4, decode),
    QTX_FN("_sample_bits", 4, sample_bits_of),
    QTX_FN("_lower", 9, lower),
    QTX_FN("_lower_arrays", 11, lower_arrays),
    QTX_END,
};

}  // namespace

NB_MODULE(binarize, m) { QTX_MODULE_INIT(m, functions) }
