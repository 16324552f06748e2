// Module set-up: native functions under private names, then the module's Python surface
// (classes, enums, signatures) executed from source inside the module's own namespace.
#pragma once
#include "py.hpp"

namespace qtx {

using NativeImpl = Obj (*)(PyObject* const* args);

/// METH_FASTCALL trampoline with an exact positional argument count.
template <int N, NativeImpl F>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != N) {
        PyErr_Format(PyExc_TypeError, "expected %d arguments, got %zd", N, nargs);
        return nullptr;
    }
    return guarded([&] { return F(args); });
}

/// Declares a private native function `name` taking exactly N positional arguments.
#define QTX_FN(name, N, impl) \
    PyMethodDef { name, (PyCFunction)(void (*)(void))&::qtx::fastcall<N, impl>, METH_FASTCALL, nullptr }
#define QTX_END \
    PyMethodDef { nullptr, nullptr, 0, nullptr }

/// Adds the native functions, then runs the module's Python source in its namespace.
/// `fns` is a static array closed by QTX_END; the interpreter keeps pointers into it.
inline void build_module(PyObject* module, PyMethodDef* fns, const char* source) {
    if (PyModule_AddFunctions(module, fns) < 0) fail();
    PyObject* globals = PyModule_GetDict(module);
    if (!PyDict_GetItemString(globals, "__builtins__") &&
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
        fail();
    std::string filename = "<" + to_string(own(PyModule_GetNameObject(module)).ptr()) + ">";
    Obj code = own(Py_CompileString(source, filename.c_str(), Py_file_input));
    own(PyEval_EvalCode(code.ptr(), globals, globals));
}

/// The NB_MODULE body shared by every module: build, or leave the error set.
#define QTX_MODULE_INIT(m, fns, source)            \
    try {                                          \
        ::qtx::build_module(m.ptr(), fns, source); \
    } catch (::qtx::PyErrSet&) {                   \
        throw ::nanobind::python_error();          \
    }

}  // namespace qtx
