#!/usr/bin/env bash
# Developer build: compiles the named extension modules (all when none are named) with CMake
# and copies them next to their Python packages under src/, so `PYTHONPATH=src` runs the tree.
# usage: scripts/dev-build.sh [target ...]     (BUILD_DIR=build/dev, PYTHON=python3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
dir=${BUILD_DIR:-build/dev}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQTX_WERROR=ON -DQTX_NOSTRIP=ON \
    -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
fi
if [ $# -eq 0 ]; then cmake --build "$dir"; else cmake --build "$dir" --target "$@"; fi
# a fresh inode per copy: running processes keep the module they loaded
(cd "$dir/pkg" && find quillon_transpiler -name "*.so" -exec cp --remove-destination --parents {} "$OLDPWD/src/" \;)
