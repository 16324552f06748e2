// What a model's trees held when they were lowered, so that a model changed in place, inside
// its expressions, is lowered again rather than compiled from its old trees.
#pragma once
#include "library_terms.hpp"
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
                if (!dict_has(state, "terms") && dict_has(state, "_shared")) {
                    if (!chained_terms(Py_TYPE(o)) || !library_first_read(state)) {
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

    /// library_terms_class(), asked once per class in one take().
    bool chained_terms(PyTypeObject* type) {
        auto found = chained_.find(type);
        if (found != chained_.end()) return found->second;
        bool is = library_terms_class(type);
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
