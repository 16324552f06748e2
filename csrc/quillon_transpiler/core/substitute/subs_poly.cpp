// SubstitutedExpression: the polynomial every instantiated expression becomes.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/plain.hpp"
#include "qtx/poly.hpp"

using namespace qtx;

namespace {

const Names& N = names();

/// `order == 0` is evaluated first and its own result returned when false (a NumPy order gives
/// NumPy's boolean); otherwise whether `coeff` is empty.
Obj is_constant(PyObject* const* a) {
    Obj order = getattr(a[0], N.order.ptr());
    Obj zero = small_int(0);
    Obj is_zero = own(PyObject_RichCompare(order.ptr(), zero.ptr(), Py_EQ));
    if (!truth(is_zero.ptr())) return is_zero;
    Obj coeff = getattr(a[0], N.coeff.ptr());
    return ref(map_size(coeff.ptr()) == 0 ? Py_True : Py_False);
}

Obj add(PyObject* const* a) {
    PyObject *self = a[0], *other = a[1];
    Obj oc = getattr(other, N.coeff.ptr());
    Obj sc = getattr(self, N.coeff.ptr());
    map_each(oc.ptr(), [&](PyObject* k, PyObject* v) { map_accumulate(sc.ptr(), k, v); });
    Obj c = num_add(getattr(self, N.constant.ptr()).ptr(), getattr(other, N.constant.ptr()).ptr());
    setattr(self, N.constant.ptr(), c.ptr());
    Obj so = getattr(self, N.order.ptr()), oo = getattr(other, N.order.ptr());
    setattr(self, N.order.ptr(), py_max(so.ptr(), oo.ptr()));
    return ref(Py_None);
}

// mul and power read both operands into the shared arithmetic and write the result back; a
// product touches every term anyway, so the conversion costs no more than the product itself.
// add stays an in-place merge of the dicts, so repeated adds remain linear in what is added.

Obj mul(PyObject* const* a) {
    Poly s = poly_read(a[0]);
    Poly o = a[1] == a[0] ? s : poly_read(a[1]);
    poly_mul(s, std::move(o));
    poly_write(a[0], s, terms_dict(s.terms));
    return ref(Py_None);
}

Obj power(PyObject* const* a) {
    double e = PyFloat_AsDouble(a[1]);
    if (e == -1.0 && PyErr_Occurred()) fail();
    Poly s = poly_read(a[0]);
    poly_power(s, e, substitute_error());
    poly_write(a[0], s, terms_dict(s.terms));
    return ref(Py_None);
}

Obj key_list(PyObject* key) {
    Obj list = own(PySequence_List(key));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(list.ptr(), i);
        if (!PyLong_CheckExact(item)) {
            Obj p = plain(item);
            if (PyList_SetItem(list.ptr(), i, p.release().ptr()) < 0) fail();
        }
    }
    return list;
}

Obj to_serializable(PyObject* const* a) {
    struct {
        Obj coeff, constant, order;
    } s{getattr(a[0], N.coeff.ptr()), getattr(a[0], N.constant.ptr()), getattr(a[0], N.order.ptr())};
    Obj keys = own(PyList_New(0)), values = own(PyList_New(0));
    map_each(s.coeff.ptr(), [&](PyObject* k, PyObject* v) {
        if (PyList_Append(keys.ptr(), key_list(k).ptr()) < 0 || PyList_Append(values.ptr(), plain(v).ptr()) < 0) fail();
    });
    nb::dict d;
    d["class"] = "SubstitutedExpression";
    d["coeff_key"] = keys;
    d["coeff_value"] = values;
    d["constant"] = plain(s.constant.ptr());
    d["order"] = plain(s.order.ptr());
    return std::move(d);
}

Obj from_serializable(PyObject* const* a) {
    PyObject *cls = a[0], *data = a[1];
    check_arg(data, &PyDict_Type, "data");
    Obj keys = item(data, "coeff_key"), values = item(data, "coeff_value");
    Obj coeff = own(PyDict_New());
    zip(keys.ptr(), values.ptr(),
        [&](PyObject* k, PyObject* v) { dict_set(coeff.ptr(), own(PySequence_Tuple(k)).ptr(), v); });
    Obj constant = item(data, "constant"), order = item(data, "order");
    return call(cls, {coeff.ptr(), constant.ptr(), order.ptr()}, kwnames({"coeff", "constant", "order"}).ptr());
}

PyMethodDef functions[] = {
    QTX_FN("_is_constant", 1, is_constant),
    QTX_FN("_add", 2, add),
    QTX_FN("_mul", 2, mul),
    QTX_FN("_power", 2, power),
    QTX_FN("_to_serializable", 1, to_serializable),
    QTX_FN("_from_serializable", 2, from_serializable),
    QTX_END,
};

}  // namespace

NB_MODULE(subs_poly, m) { QTX_MODULE_INIT(m, functions) }
