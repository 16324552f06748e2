// Lowering of quillon expressions and conditions into substitutable expression trees.
//
// Dispatch itself is a functools.singledispatch built by the module source; the handlers it
// calls live here. Children are always lowered through the module's public entries (looked up
// in the module namespace at call time), so every enclosing node adds its " -> " prefix to a
// SubstituteError raised below it. Cold code: written as the Python it stands for.
#include "qtx/module.hpp"
#include "surface.hpp"
#include "qtx/library_terms.hpp"
#include "qtx/names.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

using namespace qtx;
using namespace nb::literals;

namespace {

// Names are interned once (qtx::attr, name_of): the handlers run once per model node.

/// This module's namespace.
PyObject* namespace_dict() {
    return PyModule_GetDict(imported(QTX_NAME("quillon_transpiler.core.substitute.subs_lowering")).ptr());
}

/// A global of this module, looked up at call time like Python code does.
Obj global(const char* name) {
    nb::handle key = name_of(name);
    PyObject* value = dict_get(namespace_dict(), key);
    if (!value) raisef(PyExc_NameError, "name '%U' is not defined", key.ptr());
    return ref(value);
}

// A model written out term by term repeats its leaves: the same decision variable in every
// subscript, the same few numbers as subscripts and coefficients. Within one lowering (the
// outermost handler running on this thread, see Shared::Scope), a leaf whose lowering depends
// on nothing else is lowered once and its node shared: the trees are never changed once made,
// and reading them (planning, scans, substitution) takes a node met twice as the same node.
// A number's node depends on its value alone; a decision variable's on its declaration when
// no element is in scope (an empty map, left empty by lowering its shape and bounds).
using QuickKey = std::pair<PyObject*, std::vector<long long>>;

struct Shared {
    std::unordered_map<long long, Obj> ints;
    std::unordered_map<uint64_t, Obj> floats;      // by bit pattern: -0.0 is not 0.0
    std::unordered_map<PyObject*, Obj> variables;  // quillon variable -> node
    // an access whose variable and subscripts are all shared nodes: by their addresses
    std::map<std::vector<PyObject*>, Obj> accesses;
    std::unordered_set<PyObject*> leaves;  // the shared numbers' and variables' nodes
    // the same accesses by their quillon variable and int subscripts (see quick_key)
    std::map<QuickKey, Obj> quick;
    // what a lowering looks up by name or class once, not once per node: the native a class's
    // handler calls (nullptr: the public entries), the classes of the tree and of quillon
    std::unordered_map<PyTypeObject*, PyObject*> natives;
    std::unordered_map<const char*, Obj> trees, qls;
    std::unordered_map<PyTypeObject*, bool> chained;  // library_terms_class()
    std::vector<Obj> held;                            // the variables, classes and natives keyed: no address reused

    /// Makes a memo for the lowering it opens when none is open on this thread.
    struct Scope {
        Shared* made = nullptr;
        Scope() {
            if (!current) current = made = new Shared();
        }
        ~Scope() {
            if (made) {
                current = nullptr;
                delete made;
            }
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
    };
    static thread_local Shared* current;
};
thread_local Shared* Shared::current = nullptr;

// A model written out term by term (Python's sum over a generator) has a node per number,
// variable and operator of every term; through the public entries, each node costs the Python
// frames of the entry, of singledispatch and of its handler, which made the lowering most of a
// first compile. While the entries and the registered handlers are those the module was imported
// with (the surface keeps them in _IMPORTED and _NATIVE_OF), a child is lowered by the native its
// handler calls, with the same checks and the same error prefixes, and no Python frame.

/// The native that the handler registered for exactly `type(expr)` calls, when the entries
/// `convert_to_substitutable`, `_convert_expr` and `_convert_to_substitutable`, that handler
/// and the native's own global are the objects bound at import; nullptr otherwise (the
/// caller goes through the entries). singledispatch picks the handler registered for a class
/// itself before any other, so the native is what dispatch would run.
PyObject* native_handler(PyObject* globals, nb::handle expr) {
    static const char* const entries[] = {"convert_to_substitutable", "_convert_expr", "_convert_to_substitutable"};
    PyObject* kept = dict_get(globals, name_of("_IMPORTED"));
    PyObject* natives = dict_get(globals, name_of("_NATIVE_OF"));
    if (!kept || !PyTuple_CheckExact(kept) || PyTuple_GET_SIZE(kept) != 3 || !natives || !PyDict_CheckExact(natives))
        return nullptr;
    for (Py_ssize_t k = 0; k < 3; ++k)
        if (dict_get(globals, name_of(entries[k])) != PyTuple_GET_ITEM(kept, k)) return nullptr;
    Obj registry = nb::steal(PyObject_GetAttr(PyTuple_GET_ITEM(kept, 2), name_of("registry").ptr()));
    Obj handler = registry ? nb::steal(PyObject_GetItem(registry.ptr(), (PyObject*)Py_TYPE(expr.ptr()))) : Obj();
    if (!handler) {
        PyErr_Clear();  // no registry, or no handler for the class itself: the dispatcher decides
        return nullptr;
    }
    // the handler calls the native by its module global: one replaced there is called instead
    PyObject* native = dict_get(natives, handler);  // the dict keeps it alive
    if (!native || !PyCFunction_Check(native)) return nullptr;
    const char* name = ((PyCFunctionObject*)native)->m_ml->ml_name;
    return dict_get(globals, name_of(name)) == native ? native : nullptr;
}

/// native_handler(), asked once per class within a lowering.
PyObject* native_of(nb::handle expr) {
    Shared* shared = Shared::current;
    if (!shared) return native_handler(namespace_dict(), expr);
    PyTypeObject* type = Py_TYPE(expr.ptr());
    auto known = shared->natives.find(type);
    if (known != shared->natives.end()) return known->second;
    PyObject* native = native_handler(namespace_dict(), expr);
    shared->held.push_back(nb::borrow((PyObject*)type));
    if (native) shared->held.push_back(nb::borrow(native));
    shared->natives.emplace(type, native);
    return native;
}

/// `<module>.<name>`, `module` a global of this module (its classes kept in `known` within a
/// lowering); looked up once within a lowering.
Obj class_in(const char* module, std::unordered_map<const char*, Obj> Shared::*known, const char* name) {
    Shared* shared = Shared::current;
    if (!shared) return attr(global(module), name);
    auto& classes = shared->*known;
    auto found = classes.find(name);
    if (found != classes.end()) return found->second;
    Obj cls = attr(global(module), name);
    classes.emplace(name, cls);
    return cls;
}

/// `subs_expr.<name>`: a class of the expression tree.
Obj tree(const char* name) { return class_in("subs_expr", &Shared::trees, name); }
/// `ql.<name>`: a class of the modeling library.
Obj ql(const char* name) { return class_in("ql", &Shared::qls, name); }
/// `subs_expr.<enumeration>.<member>`.
Obj tree_kind(const char* enumeration, const char* member) { return attr(tree(enumeration), member); }

bool is_tree(nb::handle o, const char* cls) { return is_instance(o, tree(cls)); }
bool is_ql(nb::handle o, const char* cls) { return is_instance(o, ql(cls)); }

/// `str(type(o))`: the class's full string form, e.g. "<class 'quillon.expressions.Range'>".
std::string class_str(nb::handle o) { return to_string(o.type()); }
/// `o.__class__.__name__`
std::string class_name(nb::handle o) { return to_string(attr(attr(o, "__class__"), "__name__")); }

void check_el_map(nb::handle el_map) { check_arg(el_map, &PyDict_Type, "el_map"); }

void check_str(nb::handle o) {
    if (!PyUnicode_CheckExact(o.ptr()))
        raisef(PyExc_TypeError, "Expected %s, got %.200s", "unicode", qtx::type_name(o));
}
void check_int(nb::handle o) {
    if (!PyLong_CheckExact(o.ptr())) raisef(PyExc_TypeError, "Expected %s, got %.200s", "int", qtx::type_name(o));
}

/// The handlers' result: `(node, el_map)`.
Obj lowered(nb::handle node, nb::handle el_map) { return nb::make_tuple(node, el_map); }

/// A handler run with the memo of the lowering it belongs to (its own when it is outermost).
template <Obj (*F)(nb::handle, nb::handle)>
Obj shared_leaves(nb::handle expr, nb::handle el_map) {
    Shared::Scope scope;
    return F(expr, el_map);
}

Obj convert_expr(nb::handle expr, nb::handle el_map);

/// Moves `el_map` on to the map returned beside a child's node, unpacked as Python's
/// two-target assignment does; the node.
Obj take_lowered(const Obj& result, Obj& el_map) {
    Obj node, next;
    unpack2(result, node, next);
    check_result(next, &PyDict_Type, false);
    el_map = next;
    return node;
}

/// Lowers a child through the public entry `entry`.
Obj lower_with(const char* entry, nb::handle child, Obj& el_map) {
    return take_lowered(global(entry)(child, el_map), el_map);
}
Obj prefixed_native(nb::handle expr, nb::handle native, nb::handle el_map);

Obj lower(nb::handle child, Obj& el_map) {
    // what the entry would run: its body is `return _convert_expr(expr, el_map)`
    if (PyObject* native = native_of(child)) {
        check_el_map(el_map);
        return take_lowered(prefixed_native(child, native, el_map), el_map);
    }
    return lower_with("convert_to_substitutable", child, el_map);
}
Obj lower_condition(nb::handle child, Obj& el_map) { return lower_with("convert_to_subs_condition", child, el_map); }

/// `[lower(item) for item in items]`, threading el_map.
nb::list lower_all(nb::handle items, Obj& el_map, Obj (*lower_one)(nb::handle, Obj&)) {
    nb::list out;
    for (nb::handle item : items) out.append(lower_one(item, el_map));
    return out;
}

[[noreturn]] void not_supported(nb::handle expr) {
    raise_substitute(class_str(expr) + " is not supported. Please ask to Tavik team.");
}

/// A quillon class and the member of a tree enumeration it lowers to.
struct Pick {
    const char *ql_class, *member;
};

/// The member for the first quillon class `expr` is an instance of; "not supported" otherwise.
Obj pick_kind(nb::handle expr, const char* enumeration, std::initializer_list<Pick> picks) {
    for (const Pick& pick : picks)
        if (is_ql(expr, pick.ql_class)) return tree_kind(enumeration, pick.member);
    not_supported(expr);
}

/// Runs `run()`, re-raising a SubstituteError with the printed node as prefix.
template <class Run>
Obj prefixed_run(nb::handle expr, Run&& run) {
    // every level of the model passes here: its C frames need the C stack, whatever Python's
    // recursion limit allows
    check_stack("while lowering an expression");
    try {
        return run();
    } catch (...) {
        Obj error = caught_substitute_error();
        std::string message = to_string(expr) + " -> " + to_string(error);
        raise_during(call(substitute_error(), {str(message)}), error);
    }
}

/// Runs a dispatcher, re-raising a SubstituteError with the printed node as prefix.
Obj prefixed(nb::handle expr, const char* dispatcher, nb::handle el_map) {
    return prefixed_run(expr, [&] { return global(dispatcher)(expr, el_map); });
}

/// Runs the native a handler calls, re-raising as the dispatcher's run does.
Obj prefixed_native(nb::handle expr, nb::handle native, nb::handle el_map) {
    return prefixed_run(expr, [&] {
        PyObject* args[2] = {expr.ptr(), el_map.ptr()};
        PyObject* result = PyObject_Vectorcall(native.ptr(), args, 2, nullptr);
        if (!result) fail();
        return nb::steal(result);
    });
}

// ---- expressions ----

bool is_scalar(nb::handle expr) {
    if (!is_instance(expr, global("VariableTypes"))) return true;
    return compare(attr(expr, "ndim"), nb::int_(0), Py_EQ);
}

Obj is_scalar_fn(nb::handle expr) { return nb::bool_(is_scalar(expr)); }

Obj convert_expr(nb::handle expr, nb::handle el_map) {
    check_el_map(el_map);
    if (PyObject* native = native_of(expr)) return prefixed_native(expr, native, el_map);
    return prefixed(expr, "_convert_to_substitutable", el_map);
}

Obj cannot_convert_expr(nb::handle expr, nb::handle el_map) {
    check_el_map(el_map);
    raise_substitute("Cannot convert " + class_str(expr) + " to substitutable expression.");
}

/// A literal's value as quillon's constructor stores it: a NumPy int or float (a value set in
/// place, `lit.value = arr[k]`) as Python's, which the arithmetic keeps exact; np.int64(2**62)
/// squared would wrap in fixed width.
Obj plain_number(Obj value) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v)) return value;
    if (is_instance(value, QTX_IMPORT("numbers", "Integral"))) return own(PyNumber_Index(v));
    if (is_instance(value, QTX_IMPORT("numbers", "Real"))) return own(PyNumber_Float(v));
    return value;
}

Obj lower_number(nb::handle expr, nb::handle el_map) {
    check_el_map(el_map);
    Obj value = plain_number(attr(expr, "value"));
    Shared* shared = Shared::current;
    Obj* slot = nullptr;
    if (shared && PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred())) slot = &shared->ints[v];
        PyErr_Clear();
    } else if (shared && PyFloat_CheckExact(value.ptr())) {
        double v = PyFloat_AS_DOUBLE(value.ptr());
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        slot = &shared->floats[bits];
    }
    if (slot && *slot) return lowered(*slot, el_map);
    Obj node = tree("Number")(value);
    if (slot) {
        *slot = node;
        shared->leaves.insert(node.ptr());
    }
    return lowered(node, el_map);
}

Obj new_element(nb::handle name, nb::handle start, nb::handle end) {
    return tree("Element")(name, "start"_a = start, "end"_a = end);
}

/// Whether the entry `index` of an element's name stands for `array`'s index: an index element
/// made for it (one over its first axis; the same array when it reads the same, since elements
/// and placeholders are bound by name), or no element at all (a caller's entry, taken as given:
/// a fold over it says what it is).
bool indexes(nb::handle index, nb::handle array) {
    if (!is_tree(index, "Element")) return true;
    Obj end = attr(index, "end");
    if (!is_tree(end, "ArrayLength") || !compare(attr(end, "axis"), nb::int_(0), Py_EQ)) return false;
    Obj known = attr(end, "array");
    return is_tree(known, class_name(array).c_str()) && to_string(known) == to_string(array);
}

Obj lower_element(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    Obj name = attr(expr, "name");
    Obj belong_to = attr(expr, "belong_to");

    // A range or a scalar length: a new element every time, replacing the map entry.
    Obj start, end;
    if (is_ql(belong_to, "Range")) {
        start = lower(attr(belong_to, "start"), el_map);
        end = lower(attr(belong_to, "end"), el_map);
    } else if (is_scalar(belong_to)) {
        start = tree("Number")(0);
        end = lower(belong_to, el_map);
    }
    if (start) {
        Obj element = new_element(name, start, end);
        dict_set(el_map, name, element);
        return lowered(element, el_map);
    }

    // An array: the element stands for the array's entry at an index element over axis 0.
    // That index is built once per name and array, so every occurrence of the element shares
    // it. An entry of the same name made for another element (a range, another array) is not
    // taken: its values would not be this array's; a new index replaces it, as a range's does.
    Obj array = lower(belong_to, el_map);
    if (!is_tree(array, "Placeholder") && !is_tree(array, "Subscript"))
        raise_substitute("Error in Algebric expression conversion. Please check expression or ask to Tavik team.");
    Obj index;
    if (PyObject* known = dict_get(el_map, name); known && indexes(known, array)) {
        index = ref(known);
    } else {
        Obj size = tree("ArrayLength")(array, "axis"_a = 0);
        index = new_element(name, tree("Number")(0), size);
        dict_set(el_map, name, index);
    }
    return lowered(array[index], el_map);
}

/// `expr.terms`; read natively for the library's sums and products made term by term.
Obj terms_of(nb::handle expr) {
    if (Shared* shared = Shared::current) {
        PyTypeObject* type = Py_TYPE(expr.ptr());
        auto known = shared->chained.find(type);
        if (known == shared->chained.end()) {
            shared->held.push_back(nb::borrow((PyObject*)type));
            known = shared->chained.emplace(type, library_terms_class(type)).first;
        }
        if (known->second)
            if (Obj terms = library_terms(expr)) return terms;
    }
    return attr(expr, "terms");
}

Obj lower_multiple(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    nb::list operands = lower_all(terms_of(expr), el_map, lower);
    Obj kind =
        pick_kind(expr, "MultipleOpeKind", {{"AddOp", "ADD"}, {"MulOp", "MUL"}, {"MaxOp", "MAX"}, {"MinOp", "MIN"}});
    return lowered(tree("MultipleOperator")(operands, "kind"_a = kind), el_map);
}

Obj lower_unary(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    Obj operand = lower(attr(expr, "operand"), el_map);
    Obj kind = pick_kind(expr, "UnaryOpeKind",
                         {{"LnOp", "LN"},
                          {"Log2Op", "LOG2"},
                          {"Log10Op", "LOG10"},
                          {"CeilOp", "CEIL"},
                          {"FloorOp", "FLOOR"},
                          {"AbsOp", "ABS"}});
    return lowered(tree("UnaryOperator")(operand, kind), el_map);
}

Obj lower_pair(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    // The class decides which attributes hold the operands, so it is tested first.
    Obj left, right, kind;
    if (is_ql(expr, "ModOp")) {
        left = lower(attr(expr, "left"), el_map);
        right = lower(attr(expr, "right"), el_map);
        kind = tree_kind("BinaryOpeKind", "MOD");
    } else if (is_ql(expr, "PowOp")) {
        left = lower(attr(expr, "base"), el_map);
        right = lower(attr(expr, "exponent"), el_map);
        kind = tree_kind("BinaryOpeKind", "POW");
    } else {
        not_supported(expr);
    }
    return lowered(tree("PairOperator")(left, right, "kind"_a = kind), el_map);
}

Obj lower_fold(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    // Lowering the index only registers its element; the fold runs over the map's entry,
    // which for an element over an array is its index element, not the array entry.
    lower(attr(expr, "index"), el_map);
    Obj name = attr(attr(expr, "index"), "name");
    Obj index = ref(dict_item(el_map, name));
    if (!is_tree(index, "Element"))
        raise_substitute("Error: " + class_name(index) + " is not supported as index. Please ask to Tavik team.");
    Obj operand = lower(attr(expr, "operand"), el_map);
    Obj condition = lower_condition(attr(expr, "condition"), el_map);
    Obj kind = pick_kind(expr, "ReductionOpeKind", {{"SumOp", "SUM"}, {"ProdOp", "PROD"}});
    Obj node =
        tree("FoldOperator")("index"_a = index, "condition"_a = condition, "operand"_a = operand, "kind"_a = kind);
    return lowered(node, el_map);
}

/// Whether `native` (a native_of() result) is this module's native `name`.
bool is_native(PyObject* native, const char* name) {
    return native && std::strcmp(((PyCFunctionObject*)native)->m_ml->ml_name, name) == 0;
}

/// The key of x[0, 3] read off the quillon nodes, before anything is lowered: the variable,
/// lowered before with no element in scope, and int literals, all lowered by their natives
/// (what lowering them would make is then the shared nodes of an earlier access); false when
/// the access is not of that kind.
bool quick_key(Shared& shared, nb::handle el_map, nb::handle subscripts, nb::handle variable, QuickKey& key) {
    if (!PyDict_CheckExact(el_map.ptr()) || PyDict_GET_SIZE(el_map.ptr()) != 0 || !PyList_CheckExact(subscripts.ptr()))
        return false;
    if (!shared.variables.count(variable.ptr()) || !is_native(native_of(variable), "_lower_decision_var")) return false;
    key.first = variable.ptr();
    key.second.reserve((size_t)PyList_GET_SIZE(subscripts.ptr()));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(subscripts.ptr()); ++k) {
        nb::handle sub = PyList_GET_ITEM(subscripts.ptr(), k);
        if (!is_native(native_of(sub), "_lower_number")) return false;
        Obj value = attr(sub, "value");
        int overflow = 0;
        long long v = PyLong_CheckExact(value.ptr()) ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) : -1;
        if (!PyLong_CheckExact(value.ptr()) || overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        key.second.push_back(v);
    }
    return true;
}

Obj lower_subscript(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    Obj quillon_subscripts = attr(expr, "subscripts");
    QuickKey quick;
    bool quickly = false;
    if (Shared* shared = Shared::current) {
        Obj quillon_variable = attr(expr, "variable");
        quickly = quick_key(*shared, el_map, quillon_subscripts, quillon_variable, quick);
        if (quickly) {
            auto known = shared->quick.find(quick);
            if (known != shared->quick.end()) return lowered(known->second, el_map);
        }
    }
    nb::list subscripts = lower_all(quillon_subscripts, el_map, lower);
    Obj variable = lower(attr(expr, "variable"), el_map);
    // x[0, 3] met again (a model written out term by term reads each variable in many terms):
    // the node made the first time, when the variable and every subscript are shared nodes
    Shared* shared = Shared::current;
    std::vector<PyObject*> key;
    if (shared && shared->leaves.count(variable.ptr())) {
        key.push_back(variable.ptr());
        for (nb::handle sub : subscripts) {
            if (!shared->leaves.count(sub.ptr())) {
                key.clear();
                break;
            }
            key.push_back(sub.ptr());
        }
        if (!key.empty()) {
            auto known = shared->accesses.find(key);
            if (known != shared->accesses.end()) return lowered(known->second, el_map);
        }
    }
    Obj subscript = tree("Subscript");
    Obj node;
    if (is_instance(variable, subscript)) {
        // x[i][j] is one access x[i, j]: the tree never nests subscripts.
        Obj all = attr(variable, "subscripts") + subscripts;
        node = subscript(attr(variable, "variable"), all);
    } else if (is_tree(variable, "Placeholder") || is_tree(variable, "DecisionVariable")) {
        node = subscript(variable, subscripts);
    } else {
        raise_substitute("Error: `" + class_name(variable) +
                         "` is not supported as variable of `Subscript`. Please ask to Tavik team.");
    }
    if (!key.empty()) shared->accesses.emplace(std::move(key), node);
    if (quickly) shared->quick.emplace(std::move(quick), node);
    return lowered(node, el_map);
}

Obj lower_placeholder(nb::handle expr, nb::handle el_map) {
    check_el_map(el_map);
    Obj name = attr(expr, "name");
    check_str(name);
    Obj ndim = attr(expr, "ndim");
    check_int(ndim);
    return lowered(tree("Placeholder")(name, ndim), el_map);
}

Obj lower_array_length(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    Obj array = lower(attr(expr, "array"), el_map);
    if (!is_tree(array, "Placeholder") && !is_tree(array, "DecisionVariable") && !is_tree(array, "Subscript"))
        raise_substitute("Error: " + class_str(array) + " is not supported as array. Please ask to Tavik team.");
    Obj axis = attr(expr, "axis");
    check_int(axis);
    return lowered(tree("ArrayLength")(array, "axis"_a = axis), el_map);
}

Obj lower_decision_var(nb::handle expr, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Shared* shared = Shared::current;
    bool alone = shared && PyDict_CheckExact(el_map_in.ptr()) && PyDict_GET_SIZE(el_map_in.ptr()) == 0;
    if (alone) {
        auto known = shared->variables.find(expr.ptr());
        if (known != shared->variables.end()) return lowered(known->second, el_map_in);
    }
    Obj el_map = nb::borrow(el_map_in);
    Obj name = attr(expr, "name");
    check_str(name);
    nb::tuple shape(lower_all(attr(expr, "shape"), el_map, lower));
    Obj variable = tree("DecisionVariable");
    Obj node;
    if (is_ql(expr, "BinaryVar")) {
        node = attr(variable, "create_binaryvar")(name, shape);
    } else if (is_ql(expr, "IntegerVar")) {
        Obj lower_bound = lower(attr(expr, "lower_bound"), el_map);
        Obj upper_bound = lower(attr(expr, "upper_bound"), el_map);
        node = attr(variable, "create_intvar")(name, shape, "lower"_a = lower_bound, "upper"_a = upper_bound);
    } else {
        raise_substitute(class_str(expr) + " is not supported yet. Please ask to Tavik team.");
    }
    // kept when lowering it read no element and made none: the map is as it came
    if (alone && el_map.ptr() == el_map_in.ptr() && PyDict_GET_SIZE(el_map.ptr()) == 0) {
        shared->held.push_back(nb::borrow(expr));
        shared->variables.emplace(expr.ptr(), node);
        shared->leaves.insert(node.ptr());
    }
    return lowered(node, el_map);
}

// ---- conditions ----

Obj convert_condition(nb::handle condition, nb::handle el_map) {
    check_el_map(el_map);
    return prefixed(condition, "_convert_to_subs_condition", el_map);
}

Obj cannot_convert_condition(nb::handle condition, nb::handle el_map) {
    check_el_map(el_map);
    raise_substitute("Cannot convert " + class_str(condition) + " to substitutable condition.");
}

Obj lower_true(nb::handle, nb::handle el_map) {
    check_el_map(el_map);
    return lowered(tree("TrueCondition")(), el_map);
}

/// One row of a comparison handler: the quillon class, the kind, and whether the sides swap.
struct Comparison {
    const char *ql_class, *member;
    bool swap;
};

// Greater-than comparisons become less-than ones with the sides swapped, so no greater kind
// ever reaches the tree.
Obj lower_comparison(nb::handle condition, nb::handle el_map_in, const char* node_class, const char* enumeration,
                     std::initializer_list<Comparison> rows) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    Obj left = lower(attr(condition, "left"), el_map);
    Obj right = lower(attr(condition, "right"), el_map);
    for (const Comparison& row : rows) {
        if (!is_ql(condition, row.ql_class)) continue;
        Obj kind = tree_kind(enumeration, row.member);
        Obj first = row.swap ? right : left, second = row.swap ? left : right;
        return lowered(tree(node_class)(first, second, "kind"_a = kind), el_map);
    }
    not_supported(condition);
}

Obj lower_constraint(nb::handle condition, nb::handle el_map) {
    return lower_comparison(condition, el_map, "ConstraintCondition", "ConstraintKind",
                            {{"EqualOp", "EQUAL", false},
                             {"LessThanEqualOp", "LESSTHANEQUAL", false},
                             {"GreaterThanEqualOp", "LESSTHANEQUAL", true}});
}

Obj lower_other_constraint(nb::handle condition, nb::handle el_map) {
    return lower_comparison(
        condition, el_map, "OtherConstraintCondition", "OtherConstraintKind",
        {{"NotEqualOp", "NOTEQUAL", false}, {"LessThanOp", "LESSTHAN", false}, {"GreaterThanOp", "LESSTHAN", true}});
}

Obj lower_logical(nb::handle condition, nb::handle el_map_in) {
    check_el_map(el_map_in);
    Obj el_map = nb::borrow(el_map_in);
    nb::list terms = lower_all(attr(condition, "terms"), el_map, lower_condition);
    Obj kind = pick_kind(condition, "ConditionOperatorKind", {{"AndOp", "AND"}, {"OrOp", "OR"}, {"XorOp", "XOR"}});
    return lowered(tree("ConditionOperator")(terms, "kind"_a = kind), el_map);
}

PyMethodDef functions[] = {
    QTX_DEF("_is_scalar", is_scalar_fn),
    QTX_DEF("_convert_expr", shared_leaves<convert_expr>),
    QTX_DEF("_cannot_convert_expr", cannot_convert_expr),
    QTX_DEF("_lower_number", shared_leaves<lower_number>),
    QTX_DEF("_lower_element", shared_leaves<lower_element>),
    QTX_DEF("_lower_multiple", shared_leaves<lower_multiple>),
    QTX_DEF("_lower_unary", shared_leaves<lower_unary>),
    QTX_DEF("_lower_pair", shared_leaves<lower_pair>),
    QTX_DEF("_lower_fold", shared_leaves<lower_fold>),
    QTX_DEF("_lower_subscript", shared_leaves<lower_subscript>),
    QTX_DEF("_lower_placeholder", shared_leaves<lower_placeholder>),
    QTX_DEF("_lower_array_length", shared_leaves<lower_array_length>),
    QTX_DEF("_lower_decision_var", shared_leaves<lower_decision_var>),
    QTX_DEF("_convert_condition", shared_leaves<convert_condition>),
    QTX_DEF("_cannot_convert_condition", cannot_convert_condition),
    QTX_DEF("_lower_true", shared_leaves<lower_true>),
    QTX_DEF("_lower_constraint", shared_leaves<lower_constraint>),
    QTX_DEF("_lower_other_constraint", shared_leaves<lower_other_constraint>),
    QTX_DEF("_lower_logical", shared_leaves<lower_logical>),
    QTX_END,
};

}  // namespace

NB_MODULE(subs_lowering, m) { QTX_MODULE_INIT(m, functions) }
