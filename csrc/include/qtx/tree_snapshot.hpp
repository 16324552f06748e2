// What a model's trees held when they were lowered, so that a model changed in place, inside
// its expressions, is lowered again rather than compiled from its old trees.
#pragma once
#include "names.hpp"

#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qtx {

/// Every object of the modeling library met from some roots (its class and its attributes)
/// and every list (its items), by identity, with references that keep them alive: an object
/// is never taken for another that came to live at its address.
class TreeSnapshot {
public:
    /// Records `root` and everything reachable from it through quillon objects, lists and tuples.
    void take(nb::handle root) {
        std::vector<PyObject*> todo{root.ptr()};
        while (!todo.empty()) {
            PyObject* o = todo.back();
            todo.pop_back();
            if (!seen_.insert(o).second) continue;
            if (PyList_Check(o)) {
                lists_.push_back({ref(o), items_.size(), (size_t)PyList_GET_SIZE(o)});
                for (Py_ssize_t k = 0; k < PyList_GET_SIZE(o); ++k) {
                    items_.push_back(ref(PyList_GET_ITEM(o, k)));
                    todo.push_back(PyList_GET_ITEM(o, k));
                }
            } else if (PyTuple_Check(o)) {
                for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(o); ++k) todo.push_back(PyTuple_GET_ITEM(o, k));
            } else if (modeling_type(Py_TYPE(o))) {
                Obj state = nb::steal(PyObject_GenericGetDict(o, nullptr));
                if (!state || !PyDict_Check(state.ptr())) {
                    PyErr_Clear();  // no attributes to read: taken as it is
                    continue;
                }
                // a sum made term by term makes its list when first read: read now, so that the
                // attributes recorded are those every later reading finds
                if (!dict_has(state, "terms") && (dict_has(state, "_own") || dict_has(state, "_link"))) {
                    if (!library_terms(Py_TYPE(o)) || !first_read(state)) {
                        Obj terms = nb::steal(PyObject_GetAttr(o, name_of("terms").ptr()));
                        if (!terms) PyErr_Clear();
                    }
                }
                objects_.push_back(
                    {ref(o), ref((PyObject*)Py_TYPE(o)), state, PyDict_GET_SIZE(state.ptr()), attrs_.size()});
                Py_ssize_t at = 0;
                PyObject *key, *value;
                while (PyDict_Next(state.ptr(), &at, &key, &value)) {
                    attrs_.emplace_back(ref(key), ref(value));
                    todo.push_back(value);
                }
            }
        }
        // emptied by swapping: clear() would zero a large model's bucket array on every call
        std::unordered_set<PyObject*>().swap(seen_);
        std::unordered_map<PyTypeObject*, bool>().swap(kinds_);  // a class met may be gone later
        std::unordered_map<PyTypeObject*, bool>().swap(chained_);
    }

    /// Whether every object recorded still has its class and attributes and every list its items.
    bool same() const {
        for (size_t k = 0; k < objects_.size(); ++k) {
            const Entry& e = objects_[k];
            PyObject* o = e.self.ptr();
            if ((PyObject*)Py_TYPE(o) != e.type.ptr() || PyDict_GET_SIZE(e.state.ptr()) != e.size) return false;
            Obj state = nb::steal(PyObject_GenericGetDict(o, nullptr));  // not replaced whole
            if (state.ptr() != e.state.ptr()) {
                PyErr_Clear();
                return false;
            }
            size_t end = k + 1 < objects_.size() ? objects_[k + 1].first : attrs_.size();
            for (size_t a = e.first; a < end; ++a) {
                PyObject* now = PyDict_GetItemWithError(e.state.ptr(), attrs_[a].first.ptr());
                if (now != attrs_[a].second.ptr()) {
                    PyErr_Clear();
                    return false;
                }
            }
        }
        for (const List& l : lists_) {
            PyObject* o = l.self.ptr();
            if ((size_t)PyList_GET_SIZE(o) != l.count) return false;
            for (size_t k = 0; k < l.count; ++k)
                if (PyList_GET_ITEM(o, (Py_ssize_t)k) != items_[l.first + k].ptr()) return false;
        }
        return true;
    }

private:
    static bool dict_has(const Obj& d, const char* key) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), name_of(key).ptr());
        if (!v) PyErr_Clear();
        return v != nullptr;
    }

    /// What the library's `terms` does on the first read of a node made by its sums and products
    /// (quillon.expressions._ChainedTerms and _own_terms), without their Python frames: the
    /// node's own list, made from the steps its link goes through when it has none (kept as
    /// `_own`, the link dropped), and a copy of it kept as `terms`. False, with nothing changed,
    /// when a step is not as the library makes it: the caller reads `terms` through Python.
    static bool first_read(const Obj& state) {
        PyObject* own = PyDict_GetItemWithError(state.ptr(), name_of("_own").ptr());  // borrowed
        std::vector<PyObject*> added;
        PyObject* step = state.ptr();
        Obj held;  // the step's dict, while it is read
        while (!own) {
            if (PyErr_Occurred()) return clear_false();
            PyObject* link = PyDict_GetItemWithError(step, name_of("_link").ptr());
            if (!link || !PyTuple_CheckExact(link) || PyTuple_GET_SIZE(link) != 2) return clear_false();
            added.push_back(PyTuple_GET_ITEM(link, 1));
            held = nb::steal(PyObject_GenericGetDict(PyTuple_GET_ITEM(link, 0), nullptr));
            if (!held || !PyDict_Check(held.ptr())) return clear_false();
            step = held.ptr();
            own = PyDict_GetItemWithError(step, name_of("_own").ptr());
        }
        if (!PyList_CheckExact(own)) return false;
        Obj made = nb::steal(PyList_GetSlice(own, 0, PyList_GET_SIZE(own)));
        if (!made) fail();
        for (auto term = added.rbegin(); term != added.rend(); ++term)
            if (PyList_Append(made.ptr(), *term) < 0) fail();
        if (!added.empty()) {
            PyObject* kept = PyDict_SetDefault(state.ptr(), name_of("_own").ptr(), made.ptr());  // borrowed
            if (!kept) fail();
            made = ref(kept);
            if (PyDict_DelItem(state.ptr(), name_of("_link").ptr()) < 0) PyErr_Clear();
        }
        Obj terms = nb::steal(PyList_GetSlice(made.ptr(), 0, PyList_GET_SIZE(made.ptr())));
        if (!terms || !PyDict_SetDefault(state.ptr(), name_of("terms").ptr(), terms.ptr())) fail();
        return true;
    }

    static bool clear_false() {
        PyErr_Clear();
        return false;
    }

    /// Whether a class's `terms` is the modeling library's own reader of a sum made term by
    /// term (quillon.expressions._ChainedTerms), asked once per class in one take().
    bool library_terms(PyTypeObject* type) {
        auto found = chained_.find(type);
        if (found != chained_.end()) return found->second;
        bool is = false;
        if (PyObject* reader = _PyType_Lookup(type, name_of("terms").ptr())) {  // borrowed
            PyTypeObject* kind = Py_TYPE(reader);
            PyObject* module = (kind->tp_flags & Py_TPFLAGS_HEAPTYPE)
                                   ? PyDict_GetItemString(kind->tp_dict, "__module__")
                                   : nullptr;  // borrowed
            const char* name = module && PyUnicode_Check(module) ? PyUnicode_AsUTF8(module) : nullptr;
            if (!name) PyErr_Clear();
            is = name && std::strcmp(name, "quillon.expressions") == 0 &&
                 std::strcmp(kind->tp_name, "_ChainedTerms") == 0;
        }
        chained_.emplace(type, is);
        return is;
    }

    /// modeling_class() of a class, asked once per class in one take(): a model holds
    /// thousands of nodes of a handful of classes.
    bool modeling_type(PyTypeObject* type) {
        auto found = kinds_.find(type);
        if (found != kinds_.end()) return found->second;
        bool is = modeling_class(type);
        kinds_.emplace(type, is);
        return is;
    }

    /// A class of the modeling library (`quillon` and its modules), or a class derived from one;
    /// never a metaclass (its instances are classes).
    static bool modeling_class(PyTypeObject* type) {
        if (PyType_IsSubtype(type, &PyType_Type) || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
        PyObject* mro = type->tp_mro;
        for (Py_ssize_t k = 0; mro && k < PyTuple_GET_SIZE(mro); ++k) {
            auto* base = (PyTypeObject*)PyTuple_GET_ITEM(mro, k);
            if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
            PyObject* module = PyDict_GetItemString(base->tp_dict, "__module__");  // borrowed
            const char* name = module && PyUnicode_Check(module) ? PyUnicode_AsUTF8(module) : nullptr;
            if (!name) {
                PyErr_Clear();
                continue;
            }
            if (std::strncmp(name, "quillon", 7) == 0 && (name[7] == '\0' || name[7] == '.')) return true;
        }
        return false;
    }

    struct Entry {
        Obj self, type, state;
        Py_ssize_t size;
        size_t first;  // its attributes start here in attrs_
    };
    struct List {
        Obj self;
        size_t first, count;  // its items in items_
    };
    std::vector<Entry> objects_;
    std::vector<std::pair<Obj, Obj>> attrs_;
    std::vector<List> lists_;
    std::vector<Obj> items_;
    std::unordered_set<PyObject*> seen_;
    std::unordered_map<PyTypeObject*, bool> kinds_;
    std::unordered_map<PyTypeObject*, bool> chained_;
};

}  // namespace qtx
