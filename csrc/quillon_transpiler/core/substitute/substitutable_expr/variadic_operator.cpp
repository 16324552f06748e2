// MultipleOperator: sums, products, maxima and minima over any number of operands.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "qtx/node.hpp"

using namespace qtx;

namespace {

const Names& N = names();

PyObject* kind_member(const char* name) {
    Obj en = import_attr("quillon_transpiler.core.substitute.substitutable_expr.variadic_operator", "MultipleOpeKind");
    return getattr(en.ptr(), str(name).ptr()).release().ptr();
}

Obj init(PyObject* const* a) {
    check_arg(a[1], &PyList_Type, "operands");
    setattr(a[0], N.operands.ptr(), a[1]);
    setattr(a[0], N.kind.ptr(), a[2]);
    return ref(Py_None);
}

Obj operation(PyObject* const* a) {
    static PyObject* add_kind = kind_member("ADD");
    static PyObject* mul_kind = kind_member("MUL");
    static PyObject* builtin_sum = import_attr("builtins", "sum").release().ptr();
    PyObject* values = a[1];
    check_arg(values, &PyList_Type, "values");
    Obj kind = getattr(a[0], N.kind.ptr());
    if (kind.ptr() == add_kind) return call(builtin_sum, {values});
    if (kind.ptr() == mul_kind) {
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
    static PyObject* add_kind = kind_member("ADD");
    static PyObject* mul_kind = kind_member("MUL");
    Obj kind = getattr(a[0], N.kind.ptr());
    Obj ops = getattr(a[0], N.operands.ptr());
    if (kind.ptr() == add_kind || kind.ptr() == mul_kind)
        return str("(" + join_str(ops.ptr(), kind.ptr() == add_kind ? "+" : "*") + ")");
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

const char* source = R"PY(
from __future__ import annotations

import enum
import typing as typ

from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression
from quillon_transpiler.core.substitute.substitutable_expr.expression import SubstitutableExpr
from quillon_transpiler.core.var_registry import VarRegistry
from quillon_transpiler.exceptions import SubstituteError


class MultipleOpeKind(enum.Enum):
    ADD = enum.auto()
    MUL = enum.auto()
    MAX = enum.auto()
    MIN = enum.auto()


class MultipleOperator(SubstitutableExpr):
    """Sum, product, maximum or minimum of its operands, in list order."""

    def __init__(self, operands: list[SubstitutableExpr], kind: MultipleOpeKind) -> None:
        _init(self, operands, kind)

    def operation(self, values: list[float]) -> float:
        """The sum or product of plain numbers."""
        return _operation(self, values)

    def _substitute(self, var_map: VarRegistry, instance_data: InstanceData) -> SubstitutedExpression:
        return _substitute(self, var_map, instance_data)

    def extract(self, check: typ.Callable[[SubstitutableExpr], bool]) -> list[SubstitutableExpr]:
        return _extract(self, check)

    def __str__(self) -> str:
        return _str(self)
)PY";

}  // namespace

NB_MODULE(variadic_operator, m) { QTX_MODULE_INIT(m, functions, source) }
