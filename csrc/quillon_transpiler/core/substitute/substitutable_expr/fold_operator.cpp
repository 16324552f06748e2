// FoldOperator: the sum or product of an operand over the values of an index element.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

using namespace qtx;

namespace {

const Names& N = names();

Obj init(PyObject* const* a) {
    setattr(a[0], N.index.ptr(), a[1]);
    setattr(a[0], N.condition.ptr(), a[2]);
    setattr(a[0], N.operand.ptr(), a[3]);
    setattr(a[0], N.kind.ptr(), a[4]);
    return ref(Py_None);
}

Obj extract(PyObject* const* a) {
    Obj out = extract_self(a[0], a[1]);
    extract_into(out.ptr(), getattr(a[0], N.index.ptr()).ptr(), a[1]);
    extract_into(out.ptr(), getattr(a[0], N.condition.ptr()).ptr(), a[1], N.extract_expr.ptr());
    extract_into(out.ptr(), getattr(a[0], N.operand.ptr()).ptr(), a[1]);
    return out;
}

Obj to_str(PyObject* const* a) {
    Obj kind_name = getattr(getattr(a[0], N.kind.ptr()).ptr(), N.name.ptr());
    Obj lower = own(PyObject_CallMethod(kind_name.ptr(), "lower", nullptr));
    return str(to_string(lower.ptr()) + "_{" + child_str(getattr(a[0], N.index.ptr()).ptr()) + "}(" +
               child_str(getattr(a[0], N.operand.ptr()).ptr()) + ")");
}

PyMethodDef functions[] = {
    QTX_FN("_init", 5, init),
    QTX_FN("_substitute", 3, engine::entry<engine::K::Fold>),
    QTX_FN("_extract", 2, extract),
    QTX_FN("_str", 1, to_str),
    QTX_END,
};

}  // namespace

NB_MODULE(fold_operator, m) { QTX_MODULE_INIT(m, functions) }
