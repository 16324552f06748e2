"""Turns a module's Python surface (a .py file) into a C++ header holding its source, its
bytecode as this interpreter compiles it, and its path; and copies it beside the built module
as the module's stub (a .pyi file).

The module runs the bytecode when the interpreter importing it has the same bytecode magic
number, and compiles the source otherwise: compiling every surface at import would cost a
fresh process tens of milliseconds.

usage: python embed_surface.py SURFACE.py OUT.hpp STUB.pyi
"""

import importlib.util
import marshal
import os
import shutil
import sys


def c_bytes(data: bytes) -> str:
    """A C initializer list of the bytes, 24 to a line."""
    rows = (",".join(str(b) for b in data[k : k + 24]) for k in range(0, len(data), 24))
    return ",\n".join(rows)


def main(surface: str, out: str, stub: str) -> None:
    with open(surface, "rb") as f:
        source = f.read()
    code = compile(source, surface, "exec", dont_inherit=True, optimize=0)
    text = c_bytes(source + b"\0")
    bytecode = c_bytes(marshal.dumps(code))
    magic = int.from_bytes(importlib.util.MAGIC_NUMBER, "little")
    header = (
        f"// Generated from {surface}: the module's Python surface.\n"
        "#pragma once\n"
        "namespace qtx_surface {\n"
        f"static const char source[] = {{\n{text}}};\n"
        f"static const unsigned char bytecode[] = {{\n{bytecode}}};\n"
        f"static const long bytecode_magic = {magic}L;\n"
        f'static const char source_path[] = R"QTXPATH({surface})QTXPATH";\n'
        f'static const char stub_name[] = "{os.path.basename(stub)}";\n'
        "}\n"
    )
    with open(out + ".tmp", "w") as f:
        f.write(header)
    os.replace(out + ".tmp", out)
    os.makedirs(os.path.dirname(stub), exist_ok=True)
    shutil.copyfile(surface, stub)


if __name__ == "__main__":
    main(*sys.argv[1:])
