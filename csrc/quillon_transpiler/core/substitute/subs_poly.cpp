// SubstitutedExpression: the polynomial every instantiated expression becomes.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/plain.hpp"
#include "qtx/poly.hpp"

using namespace qtx;

namespace {

/// `order == 0` is evaluated first and its own result returned when false (a NumPy order gives
/// NumPy's boolean); otherwise whether `coeff` is empty.
Obj is_constant(nb::handle self) {
    Obj order = attr(self, "order");
    Obj is_zero = own(PyObject_RichCompare(order.ptr(), small_int(0).ptr(), Py_EQ));
    if (!truth(is_zero)) return is_zero;
    return nb::bool_(map_size(attr(self, "coeff")) == 0);
}

Obj add(nb::handle self, nb::handle other) {
    Obj other_terms = attr(other, "coeff");
    Obj terms = attr(self, "coeff");
    map_each(other_terms, [&](nb::handle key, nb::handle value) { map_accumulate(terms, key, value); });
    set_attr(self, "constant", num_add(attr(self, "constant"), attr(other, "constant")));
    Obj order = attr(self, "order"), other_order = attr(other, "order");
    set_attr(self, "order", py_max(order, other_order));
    return nb::none();
}

// mul and power read both operands into the shared arithmetic and write the result back; a
// product touches every term anyway, so the conversion costs no more than the product itself.
// add stays an in-place merge of the dicts, so repeated adds remain linear in what is added.

Obj mul(nb::handle self, nb::handle other) {
    Poly product = poly_read(self);
    Poly factor = other.is(self) ? product : poly_read(other);
    poly_mul(product, std::move(factor));
    poly_write(self, product, terms_dict(product.terms));
    return nb::none();
}

Obj power(nb::handle self, nb::handle exponent) {
    double e = PyFloat_AsDouble(exponent.ptr());
    if (e == -1.0 && PyErr_Occurred()) fail();
    Poly p = poly_read(self);
    poly_power(p, e, substitute_error());
    poly_write(self, p, terms_dict(p.terms));
    return nb::none();
}

/// A monomial key as a list of plain ints (NumPy integers converted).
nb::list key_list(nb::handle key) {
    nb::list list(key);
    for (size_t i = 0; i < list.size(); ++i)
        if (!PyLong_CheckExact(list[i].ptr())) list[i] = plain(list[i]);
    return list;
}

Obj to_serializable(nb::handle self) {
    Obj coeff = attr(self, "coeff"), constant = attr(self, "constant"), order = attr(self, "order");
    nb::list keys, values;
    map_each(coeff, [&](nb::handle key, nb::handle value) {
        keys.append(key_list(key));
        values.append(plain(value));
    });
    nb::dict out;
    out["class"] = "SubstitutedExpression";
    out["coeff_key"] = keys;
    out["coeff_value"] = values;
    out["constant"] = plain(constant);
    out["order"] = plain(order);
    return std::move(out);
}

Obj from_serializable(nb::handle cls, nb::handle data) {
    using namespace nb::literals;
    check_arg(data, &PyDict_Type, "data");
    Obj keys = item(data, "coeff_key"), values = item(data, "coeff_value");
    nb::dict coeff;
    zip(keys, values, [&](nb::handle key, nb::handle value) { coeff[nb::tuple(key)] = value; });
    Obj constant = item(data, "constant"), order = item(data, "order");
    return cls("coeff"_a = coeff, "constant"_a = constant, "order"_a = order);
}

PyMethodDef functions[] = {
    QTX_DEF("_is_constant", is_constant),
    QTX_DEF("_add", add),
    QTX_DEF("_mul", mul),
    QTX_DEF("_power", power),
    QTX_DEF("_to_serializable", to_serializable),
    QTX_DEF("_from_serializable", from_serializable),
    QTX_END,
};

}  // namespace

NB_MODULE(subs_poly, m) { QTX_MODULE_INIT(m, functions) }
