// The encoding table's natives, shared by the encoders (int_encoder) and the routes: the table
// built from the encoders' records, a polynomial expanded through it, binary samples read back
// into variable values; and the sum and product of two binary coefficient maps, which the
// higher-order trees (higher_subsititute) combine with. A module of its own, so that those
// import it at the top without importing the modules that import them.
#include "qtx/module.hpp"
#include "qtx/binary_encoding.hpp"
#include "qtx/binary_keys.hpp"
#include "surface.hpp"

#include <memory>
#include <string>
#include <vector>

using namespace qtx;
using namespace qtx::pubo;

namespace {

// ---- encoding tables ----

/// _encoding_table(num_variables, encodings): `encodings` maps a variable index to its
/// VariableEncoding (offset, coefficients, lower, upper, onehot); every other variable is a
/// binary of its own.
Obj encoding_table(PyObject* const* args) {
    long long nvar = PyLong_AsLongLong(args[0]);
    if (nvar == -1 && PyErr_Occurred()) fail();
    if (nvar < 0 || nvar > INT32_MAX) raise(PyExc_ValueError, "variable count out of range");
    if (!nb::isinstance<nb::dict>(args[1])) raise(PyExc_TypeError, "encodings must be a dict");
    auto encodings = nb::borrow<nb::dict>(args[1]);
    auto e = std::make_unique<Encoding>();
    e->nvar = (int32_t)nvar;
    size_t n = (size_t)nvar;
    e->offset.assign(n, Num::of_int(0));
    e->lo.assign(n, Num::of_int(0));
    e->hi.assign(n, Num::of_int(1));
    e->onehot.assign(n, 0);
    e->identity.assign(n, 1);
    // the coefficients of the encoded variables only: a model of many binaries and few integers
    // allocates nothing per binary
    std::vector<int32_t> slot(n, -1);
    std::vector<std::vector<Num>> encoded;
    for (auto [index, encoding] : encodings) {
        long long i = PyLong_AsLongLong(index.ptr());
        if (i == -1 && PyErr_Occurred()) fail();
        if (i < 0 || i >= nvar) raise(PyExc_ValueError, "variable index out of range");
        size_t u = (size_t)i;
        e->offset[u] = number(encoding.attr("offset"));
        if (slot[u] < 0) {
            slot[u] = (int32_t)encoded.size();
            encoded.emplace_back();
        }
        std::vector<Num>& coefs = encoded[(size_t)slot[u]];
        coefs.clear();
        for (nb::handle c : encoding.attr("coefficients")) coefs.push_back(number(c));
        e->lo[u] = number(encoding.attr("lower"));
        e->hi[u] = number(encoding.attr("upper"));
        e->onehot[u] = nb::cast<bool>(nb::bool_(encoding.attr("onehot")));
        e->identity[u] = 0;
        e->all_identity = false;
    }
    e->start.reserve(n + 1);
    e->start.push_back(0);
    e->coef.reserve(n);
    for (size_t u = 0; u < n; ++u) {
        if (slot[u] < 0) {  // a binary of its own
            e->coef.push_back(Num::of_int(1));
        } else {
            std::vector<Num>& coefs = encoded[(size_t)slot[u]];
            if (e->coef.size() + coefs.size() > (size_t)INT32_MAX) raise(PyExc_OverflowError, "too many binaries");
            for (auto& c : coefs) e->coef.push_back(std::move(c));
        }
        if (e->coef.size() > (size_t)INT32_MAX) raise(PyExc_OverflowError, "too many binaries");
        e->start.push_back((int32_t)e->coef.size());
    }
    return nb::capsule(e.release(), kEncodingCapsule,
                       [](void* table) noexcept { delete static_cast<Encoding*>(table); });
}

/// _table_size(table) -> the count of binaries
Obj table_size(PyObject* const* args) { return nb::int_(encoding_of(args[0]).nbin()); }

// ---- expansion ----

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
Obj expand(PyObject* const* args) {
    const Encoding& e = encoding_of(args[0]);
    nb::handle coeff = args[1], constant = args[2];
    if (already_binary(e, coeff.ptr())) return nb::make_tuple(own(PyDict_Copy(coeff.ptr())), number(constant).py());
    Sum out;
    expand_terms(e, read_terms(coeff.ptr()), number(constant), nullptr, out);
    IndexCache ints;
    Obj binary = to_dict(out.terms, ints);
    return nb::make_tuple(binary, out.constant.py());
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
            // "(0 to n - 1)", or nothing for a model without binaries
            std::string range = size ? " (0 to " + std::to_string((long long)size - 1) + ")" : "";
            if (b == -1)
                raise(PyExc_ValueError, "the sample key " + repr(key) +
                                            " names no binary of this model: key samples by binary index" + range +
                                            " or by the entries of the model's labels()");
            raise(PyExc_ValueError, "the sample key " + repr(key) + " is no binary of this model, which has " + count +
                                        " binaries" + range + "; was the sample made for another model?");
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
Obj decode(PyObject* const* args) {
    const Encoding& e = encoding_of(args[0]);
    long long nbin = PyLong_AsLongLong(args[2]);
    if (nbin == -1 && PyErr_Occurred()) fail();
    std::vector<uint8_t> bits = sample_bits(e, args[1], nbin, args[3]);
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
Obj sample_bits_of(PyObject* const* args) {
    long long nbin = PyLong_AsLongLong(args[2]);
    if (nbin == -1 && PyErr_Occurred()) fail();
    std::vector<uint8_t> bits = sample_bits(encoding_of(args[0]), args[1], nbin, args[3]);
    for (auto& b : bits) b = b == 1;
    return own(PyBytes_FromStringAndSize((const char*)bits.data(), (Py_ssize_t)bits.size()));
}

// ---- combining two binary polynomials; keys come back reduced (sorted, distinct) ----

void accumulate_reduced(PyObject* out, PyObject* key, const Num& v) {
    Obj k = reduced_key(key);
    dict_accumulate(out, k.ptr(), v);
}

/// _add_coeff(coeff, constant, other_coeff, other_constant)
Obj add_coeff(PyObject* const* args) {
    PyObject *coeff = args[0], *constant = args[1], *other_coeff = args[2], *other_constant = args[3];
    nb::dict out;
    for (PyObject* m : {coeff, other_coeff})
        map_each(m, [&](PyObject* k, PyObject* v) { accumulate_reduced(out.ptr(), k, Num::of(v)); });
    Num sum = num_add(Num::of(constant), Num::of(other_constant));
    return nb::make_tuple(out, sum.py());
}

/// _mul_coeff(coeff, constant, other_coeff, other_constant)
Obj mul_coeff(PyObject* const* args) {
    PyObject *coeff = args[0], *other_coeff = args[2];
    Num c1 = Num::of(args[1]), c2 = Num::of(args[3]);
    nb::dict out;
    if (num_nonzero(c2))
        map_each(coeff, [&](PyObject* k, PyObject* v) { accumulate_reduced(out.ptr(), k, num_mul(Num::of(v), c2)); });
    if (num_nonzero(c1))
        map_each(other_coeff,
                 [&](PyObject* k, PyObject* v) { accumulate_reduced(out.ptr(), k, num_mul(c1, Num::of(v))); });
    std::vector<std::pair<Obj, Num>> other;
    map_each(other_coeff, [&](PyObject* k, PyObject* v) { other.emplace_back(ref(k), Num::of(v)); });
    map_each(coeff, [&](PyObject* k1, PyObject* v1) {
        Num n1 = Num::of(v1);
        for (auto& t : other) {
            Obj key = concat_key(k1, t.first.ptr());
            accumulate_reduced(out.ptr(), key.ptr(), num_mul(n1, t.second));
        }
    });
    Num product = num_mul(c1, c2);
    return nb::make_tuple(out, product.py());
}

PyMethodDef functions[] = {
    QTX_FN("_encoding_table", 2, encoding_table),
    QTX_FN("_table_size", 1, table_size),
    QTX_FN("_expand", 3, expand),
    QTX_FN("_decode", 4, decode),
    QTX_FN("_sample_bits", 4, sample_bits_of),
    QTX_FN("_add_coeff", 4, add_coeff),
    QTX_FN("_mul_coeff", 4, mul_coeff),
    QTX_END,
};

}  // namespace

NB_MODULE(_binary, m) { QTX_MODULE_INIT(m, functions) }
