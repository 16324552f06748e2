// MultipleOperator: sums, products, maxima and minima over any number of operands.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

using namespace qtx;

namespace {

const Names& N = names();

Obj kind_member(PyObject* name) {
    Obj kinds =
        QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.variadic_operator", "MultipleOpeKind");
    return getattr(kinds.ptr(), name);
}

Obj init(PyObject* const* a) {
    check_arg(a[1], &PyList_Type, "operands");
    setattr(a[0], N.operands.ptr(), a[1]);
    setattr(a[0], N.kind.ptr(), a[2]);
    return ref(Py_None);
}

Obj operation(PyObject* const* a) {
    PyObject* values = a[1];
    check_arg(values, &PyList_Type, "values");
    Obj kind = getattr(a[0], N.kind.ptr());
    if (kind.ptr() == kind_member(QTX_NAME("ADD")).ptr()) return call(QTX_IMPORT("builtins", "sum").ptr(), {values});
    if (kind.ptr() == kind_member(QTX_NAME("MUL")).ptr()) {
        Obj acc = small_int(1);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i)
            acc = own(PyNumber_Multiply(acc.ptr(), PyList_GET_ITEM(values, i)));
        return acc;
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    fail();
}

Obj extract(PyObject* const* a) {
    Obj out = extract_self(a[0], a[1]);
    Obj ops = own(PySequence_Fast(getattr(a[0], N.operands.ptr()).ptr(), "operands must be a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(ops.ptr()); ++i)
        extract_into(out.ptr(), PySequence_Fast_GET_ITEM(ops.ptr(), i), a[1]);
    return out;
}

Obj to_str(PyObject* const* a) {
    Obj kind = getattr(a[0], N.kind.ptr());
    Obj ops = getattr(a[0], N.operands.ptr());
    bool add = kind.ptr() == kind_member(QTX_NAME("ADD")).ptr();
    if (add || kind.ptr() == kind_member(QTX_NAME("MUL")).ptr())
        return str("(" + join_str(ops.ptr(), add ? "+" : "*") + ")");
    return str(to_string(getattr(kind.ptr(), N.name.ptr()).ptr()) + "(" + join_str(ops.ptr(), ", ") + ")");
}

PyMethodDef functions[] = {
    QTX_FN("_init", 3, init),
    QTX_FN("_operation", 2, operation),
    QTX_FN("_substitute", 3, engine::entry<engine::K::Multi>),
    QTX_FN("_extract", 2, extract),
    QTX_FN("_str", 1, to_str),
    QTX_END,
};

}  // namespace

NB_MODULE(variadic_operator, m) { QTX_MODULE_INIT(m, functions) }
