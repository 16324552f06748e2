// The engine on data: subscripts of placeholders, evaluated index values and array lengths.
#pragma once
#include "engine.hpp"

namespace qtx::engine {

/// A placeholder's entry: read straight from a numeric buffer when the subscripts are machine
/// ints, through the instance data otherwise.
inline Num Engine::data_value(Node* n) {
    Index ix;
    index_of(n->kids, ix);
    if (!ix.big) {
        Num v = views_.number(n->var->name.ptr(), ix.v, ix.n);
        if (!v.empty()) return v;
    }
    return Num::steal(views_.at(n->var->name.ptr(), tuple_of(ix).ptr()));
}

/// int(start) and int(end) of an index element's evaluated bounds.
inline void Engine::range_of(Node* el, long long& lo, long long& hi) {
    NPoly s = eval(el->kids[0]);
    NPoly e = eval(el->kids[1]);
    if (!s.terms.empty() || !e.terms.empty()) raise_substitute("Range bounds must not contain decision variables.");
    lo = PyLong_AsLongLong(own(PyNumber_Long(s.constant.py().ptr())).ptr());
    if (lo == -1 && PyErr_Occurred()) fail();
    hi = PyLong_AsLongLong(own(PyNumber_Long(e.constant.py().ptr())).ptr());
    if (hi == -1 && PyErr_Occurred()) fail();
}

/// The evaluated subscripts of an access: machine ints when they fit.
inline void Engine::index_of(const std::vector<Node*>& subs, Index& ix) {
    ix.n = subs.size();
    bool native = ix.n <= Index::kMax;
    std::vector<Obj> objs;
    for (size_t i = 0; i < subs.size(); ++i) {
        Num c;
        if (subs[i]->pure) {
            c = value(subs[i]);
        } else {
            NPoly p = eval(subs[i]);
            if (!p.terms.empty()) raise_substitute("Subscripts must not contain decision variables.");
            c = std::move(p.constant);
        }
        if (native && c.tag() == Num::Int) {
            ix.v[i] = c.as_int();
            continue;
        }
        if (native && c.tag() == Num::Float && std::isfinite(c.as_float()) && std::fabs(c.as_float()) < 9e18) {
            ix.v[i] = (int64_t)c.as_float();  // int() truncates toward zero
            continue;
        }
        // a value Python must convert: keep every subscript as a Python int from here on
        if (native) {
            native = false;
            for (size_t j = 0; j < i; ++j) objs.push_back(own(PyLong_FromLongLong(ix.v[j])));
        }
        objs.push_back(c.tag() == Num::Int ? c.py() : own(PyNumber_Long(c.py().ptr())));
    }
    if (!native) {
        ix.big = own(PyTuple_New((Py_ssize_t)objs.size()));
        for (size_t i = 0; i < objs.size(); ++i) PyTuple_SET_ITEM(ix.big.ptr(), (Py_ssize_t)i, objs[i].release().ptr());
    }
}

inline Obj Engine::tuple_of(const Index& ix) {
    if (ix.big) return ix.big;
    Obj t = own(PyTuple_New((Py_ssize_t)ix.n));
    for (size_t i = 0; i < ix.n; ++i) PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, PyLong_FromLongLong(ix.v[i]));
    for (size_t i = 0; i < ix.n; ++i)
        if (!PyTuple_GET_ITEM(t.ptr(), (Py_ssize_t)i)) fail();
    PyObject_GC_UnTrack(t.ptr());
    return t;
}

inline NPoly Engine::array_length(Node* n) {
    const Types& T = types();
    Node* arr = n->var;
    Obj m = getattr(data_, names().get_length.ptr());
    if (arr->k == K::Placeholder) {
        Obj kw = own(Py_BuildValue("(s)", "axis"));
        return constant(Num::steal(call(m.ptr(), {arr->name.ptr(), T.empty_tuple, n->value.ptr()}, kw.ptr())));
    }
    if (arr->k == K::Subscript && arr->var->k != K::Fallback) {
        Index ix;
        index_of(arr->kids, ix);
        Obj subs = tuple_of(ix);
        return constant(Num::steal(call(m.ptr(), {arr->var->name.ptr(), subs.ptr(), n->value.ptr()})));
    }
    raise_substitute("Unknown variable type.");
}

}  // namespace qtx::engine
