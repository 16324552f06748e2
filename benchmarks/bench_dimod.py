"""CQM export speed: a compiled TSP turned into a dimod ConstrainedQuadraticModel.

For each size prints the compile_model time, the time of transpile_dimod_bridge_cqm (every
constraint and the objective as dimod models), of get_model (dimod copying the objective into
the CQM) and their ratio to the compile time (medians of a few runs). With --reference it also
times the same CQM built by dimod's model arithmetic, term by term, at a small size.

usage: python benchmarks/bench_dimod.py [--quick] [--reference]     (needs the dimod extra)
"""

import sys

import dimod
from timing import median_time

from quillon_transpiler import compile_model, testing
from quillon_transpiler.core.dimod.dimod_bridge import transpile_dimod_bridge_cqm


def tsp(n: int):
    """The compile benchmark's TSP: n cities placed by the seed n, distances unrounded."""
    return testing.tsp(n, factor_distance=True, seed=n, decimals=None)


def term_by_term(compiled):
    """The CQM by dimod's model arithmetic: one QuadraticModel per term."""
    table = {
        index: dimod.Binary((label, subs))
        for label, by_subs in compiled.var_map.var_map.items()
        for subs, index in by_subs.items()
    }

    def convert(poly):
        model = dimod.QuadraticModel()
        for key, coefficient in poly.coeff.items():
            product = dimod.QuadraticModel(offset=1)
            for index in key:
                product *= table[index]
            model += product * coefficient
        model += poly.constant
        return model

    cqm = dimod.ConstrainedQuadraticModel()
    for label, by_key in compiled.constraint.items():
        for key, poly in by_key.items():
            cqm.add_constraint(convert(poly) == 0, label=f"{label}_{key}")
    cqm.set_objective(convert(compiled.objective))
    return cqm


def main(quick: bool, reference: bool) -> None:
    sizes = (20, 50) if quick else (20, 50, 100)
    print(f"{'case':12s} {'terms':>9s} {'compile':>9s} {'transpile':>10s} {'get_model':>10s} {'export/compile':>15s}")
    for n in sizes:
        problem, instance = tsp(n)
        compile_s, compiled = median_time(lambda: compile_model(problem, instance), 3)
        transpile_s, builder = median_time(lambda: transpile_dimod_bridge_cqm(compiled), 3)
        model_s, cqm = median_time(builder.get_model, 3)
        terms = len(compiled.objective.coeff)
        terms += sum(len(p.coeff) for c in compiled.constraint.values() for p in c.values())
        print(
            f"{'tsp n=' + str(n):12s} {terms:9d} {compile_s:8.3f}s {transpile_s:9.3f}s {model_s:9.3f}s "
            f"{(transpile_s + model_s) / compile_s:14.2f}x"
        )
    if reference:
        n = 15
        problem, instance = tsp(n)
        compiled = compile_model(problem, instance)
        fast_s, fast_cqm = median_time(lambda: transpile_dimod_bridge_cqm(compiled).get_model(), 3)
        slow_s, cqm = median_time(lambda: term_by_term(compiled), 1)
        assert cqm.is_equal(fast_cqm)
        print(f"tsp n={n}: term-by-term arithmetic {slow_s:.3f}s, bridge {fast_s:.4f}s ({slow_s / fast_s:.0f}x)")


if __name__ == "__main__":
    main("--quick" in sys.argv[1:], "--reference" in sys.argv[1:])
