#!/usr/bin/env bash
# Developer build: compiles the named extension modules (all when none are named) with CMake
# and copies them next to their Python packages under src/, so `PYTHONPATH=src` runs the tree.
# usage: scripts/dev-build.sh [target ...]     (BUILD_DIR=build/dev, PYTHON=python3, DEST=src by default)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
dir=${BUILD_DIR:-build/dev}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQTX_WERROR=ON -DQTX_NOSTRIP=ON \
    -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
fi
if [ $# -eq 0 ]; then cmake --build "$dir"; else cmake --build "$dir" --target "$@"; fi
# DEST (default src/) receives the modules; another DEST gets a copy of the Python sources too,
# so parallel developers can each test their own build.
dest=${DEST:-src}
if [ "$dest" != src ]; then mkdir -p "$dest" && cp -r src/. "$dest/"; fi
dest=$(cd "$dest" && pwd)
# a fresh inode per copy: running processes keep the module they loaded
(cd "$dir/pkg" && find quillon_transpiler \( -name "*.so" -o -name "*.pyi" \) -exec cp --remove-destination --parents {} "$dest/" \;)
