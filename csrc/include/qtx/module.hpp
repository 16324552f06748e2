// Module set-up: native functions under private names, then the module's Python surface
// (classes, enums, signatures) executed inside the module's own namespace.
#pragma once
#include "plumbing.hpp"

#include <marshal.h>

#include <cstdio>
#include <string>
#include <utility>
#ifndef _WIN32
#include <dlfcn.h>
#endif

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

/// Declares a private native function `name` taking exactly N positional arguments, read by
/// `impl` as args[0] .. args[N - 1]. New natives use QTX_DEF, whose parameters have names.
// clang-format off: a cast clang-format reads as a product
#define QTX_FN(name, N, impl) \
    PyMethodDef { name, (PyCFunction)(void (*)(void))&::qtx::fastcall<N, impl>, METH_FASTCALL, nullptr }
// clang-format on

/// The number of parameters of a native declared with QTX_DEF.
template <class... Params>
constexpr int arity(Obj (*)(Params...)) {
    return (int)sizeof...(Params);
}

template <auto F, size_t... I>
Obj call_native(PyObject* const* args, std::index_sequence<I...>) {
    return F(nb::handle(args[I])...);
}

/// METH_FASTCALL trampoline of a function whose parameters are the positional arguments, each
/// an nb::handle: `Obj unroll(nb::handle forall, nb::handle data)` takes exactly two.
template <auto F>
PyObject* native(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    constexpr int n = arity(F);
    if (nargs != n) {
        PyErr_Format(PyExc_TypeError, "expected %d arguments, got %zd", n, nargs);
        return nullptr;
    }
    return guarded([&] { return call_native<F>(args, std::make_index_sequence<n>()); });
}

/// Declares a private native function `name` calling `impl` with its arguments as handles.
// clang-format off: a cast clang-format reads as a product
#define QTX_DEF(name, impl) \
    PyMethodDef { name, (PyCFunction)(void (*)(void))&::qtx::native<impl>, METH_FASTCALL, nullptr }
// clang-format on
#define QTX_END \
    PyMethodDef { nullptr, nullptr, 0, nullptr }

/// A module's Python surface as embedded at build time (see cmake/embed_surface.py).
struct Surface {
    const char* source;  // NUL-terminated
    const unsigned char* bytecode;
    Py_ssize_t size;
    long magic;  // the bytecode's magic number, as PyImport_GetMagicNumber() gives it
    const char* source_path;
    const char* stub_name;
};

/// Where the surface's source is read from for tracebacks and `inspect`: the stub installed
/// beside this shared library when it is there, else the source file the module was built from.
inline std::string surface_file(const char* stub_name, const char* source_path) {
#ifndef _WIN32
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&surface_file), &info) && info.dli_fname) {
        std::string lib = info.dli_fname;
        std::string stub = lib.substr(0, lib.find_last_of('/') + 1) + stub_name;
        if (FILE* f = std::fopen(stub.c_str(), "r")) {
            std::fclose(f);
            return stub;
        }
    }
#else
    (void)stub_name;
#endif
    return source_path;
}

/// The surface's code object under `filename`: its bytecode, compiled when the module was built,
/// when this interpreter reads that bytecode (same magic number), else compiled from its source.
inline Obj surface_code(const Surface& s, const std::string& filename) {
    if (s.magic == PyImport_GetMagicNumber()) {
        Obj code = own(PyMarshal_ReadObjectFromString(reinterpret_cast<const char*>(s.bytecode), s.size));
        if (!PyCode_Check(code.ptr())) raise(PyExc_ImportError, "a module's embedded bytecode holds no code");
        // tracebacks and inspect name the file the module is read from, as for a .pyc
        if (filename != s.source_path) QTX_IMPORT("_imp", "_fix_co_filename")(code, nb::str(filename.c_str()));
        return code;
    }
    return own(Py_CompileString(s.source, filename.c_str(), Py_file_input));
}

/// Adds the native functions, then runs the module's Python surface in its namespace under the
/// surface's real file name. `fns` is a static array closed by QTX_END; the interpreter keeps
/// pointers into it.
inline void build_module(nb::handle module, PyMethodDef* fns, const Surface& surface) {
    if (PyModule_AddFunctions(module.ptr(), fns) < 0) fail();
    PyObject* globals = PyModule_GetDict(module.ptr());
    if (!PyDict_GetItemString(globals, "__builtins__") &&
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
        fail();
    Obj code = surface_code(surface, surface_file(surface.stub_name, surface.source_path));
    own(PyEval_EvalCode(code.ptr(), globals, globals));
}

/// The NB_MODULE body shared by every module: build from the embedded surface (the generated
/// "surface.hpp" each module includes), or leave the error set.
#define QTX_MODULE_INIT(m, fns)                                                                               \
    try {                                                                                                     \
        ::qtx::build_module(m, fns,                                                                           \
                            {qtx_surface::source, qtx_surface::bytecode, sizeof qtx_surface::bytecode,        \
                             qtx_surface::bytecode_magic, qtx_surface::source_path, qtx_surface::stub_name}); \
    } catch (::qtx::PyErrSet&) {                                                                              \
        throw ::nanobind::python_error();                                                                     \
    }

}  // namespace qtx
