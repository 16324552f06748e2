#!/usr/bin/env bash
# Lint: ruff over every Python file (the extension modules' surfaces included), the formatting of
# Python (ruff format) and C++ (clang-format, .clang-format), then mypy (pyproject.toml's
# [tool.mypy]) on the typed example and on both packages as installed, whose stubs and py.typed
# it must find.
# Runs in scripts/test.sh's environment, adding the lint tools; makes it when it is not there.
# usage: scripts/lint.sh      (VENV=.venv-test, PYTHON=python3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
VENV=${VENV:-.venv-test}
if ! "$VENV/bin/python" -c "import quillon_transpiler.core.compile.compile" 2>/dev/null; then
  [ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
    "$VENV/bin/python" -m pip install -q . --config-settings=cmake.define.QTX_WERROR=ON
fi
# dimod too: the bridge's stub imports it
"$VENV/bin/python" scripts/requirements.py lint dimod | "$VENV/bin/python" -m pip install -q -r /dev/stdin
echo "ruff:"
"$VENV/bin/python" -m ruff check .
echo "formatting (ruff format, clang-format; run them without --check / --dry-run to apply):"
"$VENV/bin/python" -m ruff format --check .
find csrc \( -name '*.hpp' -o -name '*.cpp' \) -print0 | xargs -0 "$VENV/bin/clang-format" --dry-run -Werror
echo "mypy (examples/typed_usage.py, then the packages quillon and quillon_transpiler, as installed):"
# from a directory without the sources, so only the installed packages can be found
(
  cd "$VENV"
  bin/python -m mypy --config-file "$OLDPWD/pyproject.toml" "$OLDPWD/examples/typed_usage.py"
  bin/python -m mypy --config-file "$OLDPWD/pyproject.toml" -p quillon -p quillon_transpiler
)
