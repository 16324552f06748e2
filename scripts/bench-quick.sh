#!/usr/bin/env bash
# Every benchmark in its quick mode (small sizes, no peers, nothing written), so that none of them
# rots: they run against the package installed in scripts/test.sh's environment.
# usage: scripts/bench-quick.sh      (VENV=.venv-test by default)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv-test}
for bench in benchmarks/bench_*.py; do
  echo "== $bench --quick"
  "$VENV/bin/python" "$bench" --quick
done
