#!/usr/bin/env bash
# Runs the main job on a fresh machine: a new virtual environment, the package installed with
# its dimod extra (dimod and dwave-samplers), then an example model solved in one call (compiled,
# exported as a dimod BQM, annealed) and decoded; `--cqm` solves it as a dimod CQM instead.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
VENV=${VENV:-.venv}
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} "$VENV/bin/python" -m pip install -q ".[dimod]"
"$VENV/bin/python" examples/quickstart.py "$@"
