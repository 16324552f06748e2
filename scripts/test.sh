#!/usr/bin/env bash
# Runs the test suite on a fresh machine: a new virtual environment, the package built and
# installed with its test, dimod, dask and plot extras, then pytest against the installed package.
# usage: scripts/test.sh [pytest args]      (PYTHON=python3, VENV=.venv-test by default)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
VENV=${VENV:-.venv-test}
"$PY" -m venv --clear "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$VENV/bin/python" -m pip install -q ".[test,dimod,dask,plot]" --config-settings=cmake.define.QTX_WERROR=ON
"$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
