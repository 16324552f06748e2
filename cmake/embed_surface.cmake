# Turns a module's Python surface (IN, a .py file) into a C++ header (OUT) holding its bytes and
# its path, and copies it beside the built module as the module's stub (STUB, a .pyi file).
# usage: cmake -DIN=... -DOUT=... -DSTUB=... -P embed_surface.cmake
file(READ "${IN}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
# wrap the byte list every 32 bytes so compilers and editors stay happy
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){32})" "\\1\n" bytes "${bytes}")
get_filename_component(stub_name "${STUB}" NAME)
file(WRITE "${OUT}.tmp" "// Generated from ${IN}: the module's Python surface.\n#pragma once\nnamespace qtx_surface {\n"
     "static const char source[] = {\n${bytes}'\\0'};\n"
     "static const char source_path[] = R\"QTXPATH(${IN})QTXPATH\";\n"
     "static const char stub_name[] = \"${stub_name}\";\n}\n")
file(RENAME "${OUT}.tmp" "${OUT}")
configure_file("${IN}" "${STUB}" COPYONLY)
