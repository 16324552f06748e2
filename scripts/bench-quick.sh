#!/usr/bin/env bash
# Every benchmark in its quick mode (small sizes, no peers, nothing written), so that none of them
# rots: they run against the package installed in scripts/test.sh's environment.
# usage: scripts/bench-quick.sh      (VENV=.venv-test by default)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv-test}
for bench in benchmarks/bench_*.py benchmarks/weights_quality.py; do
  echo "== $bench --quick"
  start=$SECONDS
  "$VENV/bin/python" "$bench" --quick
  echo "   ($((SECONDS - start)) s)"
done
