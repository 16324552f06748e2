"""Substitution speed: sum_i sum_j d[i, j] * x[i] * x[j] over a dense n-by-n matrix d.

Prints seconds, terms and terms per second for each n (median of a few runs).
usage: python benchmarks/bench_substitute.py [n ...]     (default: 100 300 1000; --quick: 100)
"""

import statistics
import sys
import time

import numpy as np

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry


def quadratic_form() -> se.SubstitutableExpr:
    n = se.Placeholder("n", 0)
    d = se.Placeholder("d", 2)
    x = se.DecisionVariable.create_binaryvar("x", (n,))
    i = se.Element("i", se.Number(0), n)
    j = se.Element("j", se.Number(0), n)
    term = se.MultipleOperator([d[i][j], se.Subscript(x, [i]), se.Subscript(x, [j])], se.MultipleOpeKind.MUL)
    always = se.TrueCondition()
    inner = se.FoldOperator(j, always, term, se.ReductionOpeKind.SUM)
    return se.FoldOperator(i, always, inner, se.ReductionOpeKind.SUM)


def run(n: int, repeat: int = 3) -> None:
    rng = np.random.default_rng(n)
    d = rng.random((n, n))
    tree = quadratic_form()
    times = []
    for _ in range(repeat):
        data = InstanceData({"n": n, "d": d}, {}, ["n", "d"])
        start = time.perf_counter()
        poly = tree.substitute(VarRegistry({}, 0, {}), data)
        times.append(time.perf_counter() - start)
    seconds = statistics.median(times)
    terms = len(poly.coeff)
    print(f"n={n:5d}: {seconds:8.3f} s  {terms:9d} terms  {terms / seconds:12,.0f} terms/s")


if __name__ == "__main__":
    args = sys.argv[1:]
    sizes = ["100"] if args == ["--quick"] else args or ["100", "300", "1000"]
    for n in map(int, sizes):
        run(n)
