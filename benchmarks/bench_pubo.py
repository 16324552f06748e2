"""Binary lowering speed on TSP: binarising, the whole to_pubo route, and decoding.

For each size of the compile benchmark (n cities, n * n binaries) prints the compile time, the
time to binarise every polynomial with ``subs_ir_to_binary`` and a log encoder, the time of
``to_pubo`` with the one-hot constraints as squared penalties, and of decoding 10 samples
(encoder and, when the decode module is there, ``decode_pubo``). For n = 100 it also runs the
route on the model written with custom penalties instead of constraints, and reports the
route's time against ``compile_model``'s (median of a few runs each).

With ``--pyqubo PYTHON`` it also builds the same QUBO with PyQUBO, run by that interpreter (a
scratch environment with pyqubo installed; PyQUBO is a peer library, used here for comparison
only), and checks that the two QUBOs agree term by term.

usage: python benchmarks/bench_pubo.py [--quick] [--pyqubo PYTHON]     (--quick: n = 20 and 50 only)
"""

import os
import pickle
import subprocess
import sys
import tempfile
import time

import numpy as np
from timing import median_time

from quillon_transpiler import compile_model, decode_pubo, testing, to_pubo
from quillon_transpiler.core.pubo.binarize import subs_ir_to_binary
from quillon_transpiler.core.pubo.int_encoder import LogEncoder


def tsp(n: int, onehot: str = "constraint"):
    """The compile benchmark's TSP: n cities placed by the seed n, distances unrounded."""
    return testing.tsp(n, onehot=onehot, factor_distance=True, seed=n, decimals=None)


def binarise_all(compiled):
    encoder = LogEncoder(compiled)
    polys = [compiled.objective]
    polys += [p for by in (compiled.constraint, compiled.penalty) for d in by.values() for p in d.values()]
    return [subs_ir_to_binary(p, encoder) for p in polys]


def decode_samples(result, samples):
    try:
        return decode_pubo(samples, result)
    except ImportError:  # the decode module is not built
        return [result.encoder.decode(s) for s in samples]


PYQUBO_TSP = """
import pickle, sys, time
import numpy as np
from pyqubo import Array, Constraint, Placeholder
n, out = int(sys.argv[1]), sys.argv[2]
points = np.random.default_rng(n).uniform(0, 100, (n, 2))
d = np.linalg.norm(points[:, None] - points[None], axis=-1)
start = time.perf_counter()
x = Array.create("x", shape=(n, n), vartype="BINARY")
H = sum(d[i, j] * x[i, t] * x[j, (t + 1) % n] for i in range(n) for j in range(n) for t in range(n))
H += Placeholder("A") * sum(Constraint((sum(x[i, t] for i in range(n)) - 1) ** 2, f"t{t}") for t in range(n))
H += Placeholder("A") * sum(Constraint((sum(x[i, t] for t in range(n)) - 1) ** 2, f"i{i}") for i in range(n))
qubo, offset = H.compile().to_qubo(feed_dict={"A": 100.0})
seconds = time.perf_counter() - start
pickle.dump((seconds, {(a, b): v for (a, b), v in qubo.items()}, offset), open(out, "wb"))
"""


def pyqubo(python: str, n: int) -> None:
    """PyQUBO's time for the TSP QUBO (model written and compiled), and the largest difference
    from to_pubo's coefficients."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "qubo.pkl")
        subprocess.run([python, "-c", PYQUBO_TSP, str(n), out], check=True)
        with open(out, "rb") as f:
            seconds, qubo, offset = pickle.load(f)
    start = time.perf_counter()
    compiled = compile_model(*tsp(n))
    result = to_pubo(compiled, constraint_weight=100.0)
    ours = time.perf_counter() - start
    index = compiled.var_map.var_map["x"]

    def binary(label):  # "x[i][t]"
        i, t = label[2:-1].split("][")
        return index[(int(i), int(t))]

    theirs = {}
    for (a, b), v in qubo.items():
        key = tuple(sorted({binary(a), binary(b)}))
        theirs[key] = theirs.get(key, 0.0) + v
    diff = max(abs(theirs.get(k, 0.0) - result.coeff.get(k, 0.0)) for k in set(theirs) | set(result.coeff))
    diff = max(diff, abs(offset - result.constant))
    print(
        f"tsp n={n} PyQUBO {seconds:.2f} s, compile_model + to_pubo {ours:.2f} s ({seconds / ours:.0f}x faster), "
        f"largest coefficient difference {diff:.3g}"
    )


def main(quick: bool) -> None:
    rng = np.random.default_rng(0)
    repeat = 3
    for n in (20, 50) if quick else (20, 50, 100):
        problem, instance = tsp(n)
        t_compile, compiled = median_time(lambda: compile_model(problem, instance), repeat)
        t_binarise, _ = median_time(lambda: binarise_all(compiled), repeat)
        t_route, result = median_time(lambda: to_pubo(compiled, constraint_weight=100.0), repeat)
        samples = [dict(enumerate(rng.integers(0, 2, result.num_binaries).tolist())) for _ in range(10)]
        t_decode, _ = median_time(lambda: decode_samples(result, samples), repeat)
        print(
            f"tsp n={n:<4d} {result.num_binaries:7d} binaries {len(result.coeff):9d} terms  "
            f"compile {t_compile:7.3f} s  "
            f"binarise {t_binarise:7.3f} s  to_pubo {t_route:7.3f} s ({t_route / t_compile:4.2f}x compile)  "
            f"decode 10 samples {t_decode:6.3f} s"
        )
    if not quick:
        problem, instance = tsp(100, onehot="penalty")
        t_compile, compiled = median_time(lambda: compile_model(problem, instance), repeat)
        t_route, result = median_time(lambda: to_pubo(compiled, penalty_weight=100.0), repeat)
        print(
            f"tsp n=100 penalties: compile {t_compile:.3f} s, to_pubo {t_route:.3f} s "
            f"({t_route / t_compile:.2f}x compile), compile + to_pubo {t_compile + t_route:.3f} s, "
            f"{len(result.coeff)} terms"
        )


if __name__ == "__main__":
    args = sys.argv[1:]
    main("--quick" in args)
    if "--pyqubo" in args:
        pyqubo(args[args.index("--pyqubo") + 1], 50 if "--quick" in args else 100)
