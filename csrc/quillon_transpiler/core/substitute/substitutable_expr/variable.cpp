// Leaves of the expression tree (placeholders, index elements, decision variables) and the
// subscript and array-length nodes that index them.
#include "qtx/engine.hpp"
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/tree_nodes.hpp"

using namespace qtx;
using engine::K;

namespace {

const Names& N = names();

Obj subscript_class() {
    return QTX_IMPORT("quillon_transpiler.core.substitute.substitutable_expr.variable", "Subscript");
}

void variable_init_impl(PyObject* self, PyObject* name, PyObject* ndim) {
    check_arg(name, &PyUnicode_Type, "name");
    check_arg(ndim, &PyLong_Type, "ndim");
    setattr(self, N.name.ptr(), name);
    setattr(self, N.ndim.ptr(), ndim);
    init_base(self);
}

Obj variable_init(PyObject* const* a) {
    variable_init_impl(a[0], a[1], a[2]);
    return ref(Py_None);
}

Obj element_init(PyObject* const* a) {
    check_arg(a[1], &PyUnicode_Type, "name");
    setattr(a[0], N.start.ptr(), a[2]);
    setattr(a[0], N.end.ptr(), a[3]);
    Obj one = small_int(1);
    variable_init_impl(a[0], a[1], one.ptr());
    return ref(Py_None);
}

void check_var_args(PyObject* name, PyObject* shape) {
    check_arg(name, &PyUnicode_Type, "name");
    check_arg(shape, &PyTuple_Type, "shape");
}

Obj decvar_init(PyObject* const* a) {
    PyObject* self = a[0];
    check_var_args(a[1], a[2]);
    setattr(self, N.shape.ptr(), a[2]);
    setattr(self, N.kind.ptr(), a[3]);
    setattr(self, N.lower.ptr(), a[4]);
    setattr(self, N.upper.ptr(), a[5]);
    Obj ndim = ssize(PyTuple_GET_SIZE(a[2]));
    variable_init_impl(self, a[1], ndim.ptr());
    return ref(Py_None);
}

/// cls(name, shape, kind, lower=lower, upper=upper) after the class methods' argument checks.
Obj create_var(PyObject* const* a) {
    check_var_args(a[1], a[2]);
    return call(a[0], {a[1], a[2], a[3], a[4], a[5]}, kwnames({"lower", "upper"}).ptr());
}

Obj variable_extract(PyObject* const* a) { return extract_self(a[0], a[1]); }

Obj extract_with(PyObject* self, PyObject* check, PyObject* first, PyObject* second) {
    Obj out = extract_self(self, check);
    extract_into(out.ptr(), getattr(self, first).ptr(), check);
    extract_into(out.ptr(), getattr(self, second).ptr(), check);
    return out;
}
Obj element_extract(PyObject* const* a) { return extract_with(a[0], a[1], N.start.ptr(), N.end.ptr()); }
Obj decvar_extract(PyObject* const* a) { return extract_with(a[0], a[1], N.lower.ptr(), N.upper.ptr()); }

Obj variable_str(PyObject* const* a) { return getattr(a[0], N.name.ptr()); }

Obj index_values(PyObject* const* a) { return engine::range_entry(a); }

Obj placeholder_getitem(PyObject* const* a) {
    Obj subs = own(PySequence_List(a[1]));
    return call(subscript_class().ptr(), {a[0], subs.ptr()});
}

Obj subscript_init(PyObject* const* a) {
    check_arg(a[2], &PyList_Type, "subscripts");
    setattr(a[0], N.variable.ptr(), a[1]);
    setattr(a[0], N.subscripts.ptr(), a[2]);
    init_base(a[0]);
    return ref(Py_None);
}

Obj subscript_getitem(PyObject* const* a) {
    Obj more = own(PySequence_List(a[1]));
    Obj subs = own(PyNumber_Add(getattr(a[0], N.subscripts.ptr()).ptr(), more.ptr()));
    return call(subscript_class().ptr(), {getattr(a[0], N.variable.ptr()).ptr(), subs.ptr()});
}

Obj subscript_extract(PyObject* const* a) {
    Obj out = extract_self(a[0], a[1]);
    extract_into(out.ptr(), getattr(a[0], N.variable.ptr()).ptr(), a[1]);
    Obj subs = own(PySequence_Fast(getattr(a[0], N.subscripts.ptr()).ptr(), "subscripts must be a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(subs.ptr()); ++i)
        extract_into(out.ptr(), PySequence_Fast_GET_ITEM(subs.ptr(), i), a[1]);
    return out;
}

Obj subscript_str(PyObject* const* a) {
    std::string s = child_str(getattr(a[0], N.variable.ptr()).ptr()) + "[" +
                    join_str(getattr(a[0], N.subscripts.ptr()).ptr(), ", ") + "]";
    return str(s);
}

Obj arraylength_init(PyObject* const* a) {
    check_arg(a[2], &PyLong_Type, "axis");
    setattr(a[0], N.array.ptr(), a[1]);
    setattr(a[0], N.axis.ptr(), a[2]);
    init_base(a[0]);
    return ref(Py_None);
}

Obj arraylength_extract(PyObject* const* a) {
    Obj out = extract_self(a[0], a[1]);
    extract_into(out.ptr(), getattr(a[0], N.array.ptr()).ptr(), a[1]);
    return out;
}

PyMethodDef functions[] = {
    QTX_FN("_variable_init", 3, variable_init),
    QTX_FN("_variable_extract", 2, variable_extract),
    QTX_FN("_variable_str", 1, variable_str),
    QTX_FN("_element_init", 4, element_init),
    QTX_FN("_element_substitute", 3, engine::entry<K::Element>),
    QTX_FN("_element_index_values", 3, index_values),
    QTX_FN("_element_extract", 2, element_extract),
    QTX_FN("_decvar_init", 6, decvar_init),
    QTX_FN("_create_var", 6, create_var),
    QTX_FN("_decvar_substitute", 3, engine::entry<K::DecVar>),
    QTX_FN("_decvar_extract", 2, decvar_extract),
    QTX_FN("_placeholder_substitute", 3, engine::entry<K::Placeholder>),
    QTX_FN("_placeholder_getitem", 2, placeholder_getitem),
    QTX_FN("_subscript_init", 3, subscript_init),
    QTX_FN("_subscript_getitem", 2, subscript_getitem),
    QTX_FN("_subscript_substitute", 3, engine::entry<K::Subscript>),
    QTX_FN("_subscript_extract", 2, subscript_extract),
    QTX_FN("_subscript_str", 1, subscript_str),
    QTX_FN("_arraylength_init", 3, arraylength_init),
    QTX_FN("_arraylength_substitute", 3, engine::entry<K::ArrayLength>),
    QTX_FN("_arraylength_extract", 2, arraylength_extract),
    QTX_END,
};

}  // namespace

NB_MODULE(variable, m) { QTX_MODULE_INIT(m, functions) }
