#!/usr/bin/env bash
# Sanitizer leg: builds every extension module with AddressSanitizer and UBSan into its own build
# directory, copies them into a temporary copy of src/ and runs the test suite against that copy.
# CPython itself is not instrumented, so ASan's runtime is preloaded into it and leak checking is
# off (the interpreter keeps objects alive at exit by design); any UB report stops the run.
# usage: scripts/sanitize.sh [pytest args]
#        (BUILD_DIR=build/sanitize, VENV=.venv-sanitize, PYTHON=python3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
VENV=${VENV:-.venv-sanitize}
dir=${BUILD_DIR:-build/sanitize}

# the build and test requirements only: the package runs from the temporary copy
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
VENV=$(cd "$VENV" && pwd)
"$PY" scripts/requirements.py build runtime test | "$VENV/bin/python" -m pip install -q -r /dev/stdin
export PATH="$VENV/bin:$PATH"
command -v cmake >/dev/null && command -v ninja >/dev/null || "$VENV/bin/python" -m pip install -q cmake ninja

if [ ! -f "$dir/CMakeCache.txt" ]; then
  # -O1 -g1: ASan's advice for useful reports (line tables, little inlining) at a fraction of
  # -O2 -g's compile time; asserts stay on
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
    -DQTX_WERROR=ON -DQTX_NOSTRIP=ON -DQTX_SANITIZE=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
fi
tree=$(mktemp -d "${TMPDIR:-/tmp}/qtx-sanitize.XXXXXX")
trap 'rm -rf "$tree"' EXIT
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} PYTHON="$VENV/bin/python" BUILD_DIR="$dir" DEST="$tree" \
  bash scripts/dev-build.sh
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt")
asan=$("$compiler" -print-file-name=libasan.so)
[ -f "$asan" ] || { echo "no libasan.so for $compiler" >&2; exit 1; }
# libstdc++ too: ASan's exception interceptor must find the real __cxa_throw when it starts,
# and the interpreter does not link the C++ runtime.
preload="$asan $("$compiler" -print-file-name=libstdc++.so)"
# PYTHONMALLOC=malloc: Python objects get ASan's red zones too, so overruns into them are caught.
# --capture=sys: a report written by the runtime goes straight to the terminal, not into a
# capture file lost when the process stops.
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$tree" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$VENV/bin/python" -m pytest -q -p no:cacheprovider --capture=sys -m "not no_sanitizer" "$@"
