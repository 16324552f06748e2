// Warnings a compile gives about a model it compiles as written.
#pragma once
#include "names.hpp"

#include <string>

namespace qtx {

/// `x[0, 1]` for label x and subscripts (0, 1); the label alone for a scalar.
inline std::string variable_text(nb::handle label, nb::handle subscripts) {
    std::string text = to_string(label);
    if (!nb::isinstance<nb::tuple>(subscripts) || nb::len(subscripts) == 0) return text;
    std::string inner;
    for (nb::handle s : subscripts) inner += (inner.empty() ? "" : ", ") + to_string(s);
    return text + "[" + inner + "]";
}

/// A UserWarning (a model compiled as written, which no assignment can make what the caller
/// meant) at the caller's line: the first frame outside this package.
inline void warn(const std::string& text) {
    using namespace nb::literals;
    std::string package = to_string(nb::borrow(QTX_IMPORT("quillon_transpiler", "__path__"))[0]);
    long level = 1;
    PyFrameObject* current = PyEval_GetFrame();  // borrowed
    Obj frame = current ? ref((PyObject*)current) : Obj();
    while (frame) {
        Obj code = own((PyObject*)PyFrame_GetCode((PyFrameObject*)frame.ptr()));
        std::string file = to_string(attr(code, "co_filename"));
        bool inside = file.rfind(package, 0) == 0 && file.size() > package.size() &&
                      (file[package.size()] == '/' || file[package.size()] == '\\');
        if (!inside) break;
        ++level;
        PyFrameObject* back = PyFrame_GetBack((PyFrameObject*)frame.ptr());  // a new reference, or null
        frame = back ? own((PyObject*)back) : Obj();
    }
    QTX_IMPORT("warnings", "warn")(str(text), nb::handle(PyExc_UserWarning), "stacklevel"_a = level);
}

}  // namespace qtx
