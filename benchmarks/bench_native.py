"""The native route (model -> QUBO arrays, no Python object per term) against the dict route.

TSP with n cities (n * n binaries): objective sum d[i,j] x[i,t] x[j,(t+1)%n] and both one-hot
families as squared custom penalties (weight 100). For each n prints, every figure from this run:

- native: ``to_qubo_arrays`` seconds (median), terms per second, peak memory (maxrss of a
  fresh interpreter that runs only this route, less the interpreter's own after imports);
- ``to_bqm`` seconds (dimod's vectorised constructor);
- dict route: ``compile_model`` + ``to_pubo`` seconds and peak memory;
- the objective alone with ``compile_model`` against the dict-fill floor: the time C takes to
  build the very dict of the objective (benchmarks/dictfill.c, compiled here for this
  interpreter), the two timed in turns in this process;
- with the dimod extra, the CQM export (penalties weighted 100 in ``get_model``): ``to_cqm``
  (native) against ``transpile_dimod_bridge_cqm(compile_model(...))`` (dict route, n <= 100),
  seconds and peak memory.

With ``--amplify PYTHON`` it also times the Amplify SDK's einsum + one_hot +
to_unconstrained_poly route in that interpreter (a scratch environment with amplify
installed; it is a peer library, used here for comparison only).

usage: python benchmarks/bench_native.py [--sizes 20,50,100,200] [--floor PATH/dictfill.c] [--amplify PYTHON]
       python benchmarks/bench_native.py --quick     (n = 20 only, no peer)
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import json
import os
import resource
import subprocess
import sys
import sysconfig
import tempfile

from timing import median_time

# NumPy's BLAS threads spin after the instances' distance matrices: keep them off the cores
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

# the floor: the dict of the TSP objective built straight from C (our own small extension)
DICTFILL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dictfill.c")


def maxrss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def tsp(n: int, onehot: str = "constraint"):
    """The compile benchmark's TSP: n cities placed by the seed n, distances unrounded."""
    from quillon_transpiler import testing

    return testing.tsp(n, onehot=onehot, factor_distance=True, seed=n, decimals=None)


def child(route: str, n: int, repeat: int) -> dict:
    """One route at one size, in a fresh interpreter: time, terms and peak memory."""
    import numpy as np  # noqa: F401

    from quillon_transpiler import compile_model, to_bqm, to_pubo, to_qubo_arrays

    problem, instance = tsp(n, onehot="penalty")
    base = maxrss_mib()
    out: dict = {}
    if route == "native":
        seconds, arrays = median_time(
            lambda: to_qubo_arrays(problem, instance, penalty_weight=100.0, progress=False), repeat
        )
        out["terms"] = arrays.num_terms
        out["peak"] = maxrss_mib() - base
        out["bqm"], _ = median_time(lambda: to_bqm(arrays), repeat)
    elif route in ("cqm", "cqm-dict"):
        from quillon_transpiler import to_cqm
        from quillon_transpiler.core.dimod import transpile_dimod_bridge_cqm

        weights = dict.fromkeys(problem.custom_penalty_terms, 100.0)

        def export():
            if route == "cqm":
                builder = to_cqm(problem, instance, progress=False)
            else:
                builder = transpile_dimod_bridge_cqm(compile_model(problem, instance))
            return builder.get_model(weights)

        seconds, cqm = median_time(export, repeat)
        out["terms"] = cqm.objective.num_interactions + cqm.objective.num_variables
        out["peak"] = maxrss_mib() - base
    elif route == "dict":
        seconds, result = median_time(lambda: to_pubo(compile_model(problem, instance), penalty_weight=100.0), repeat)
        out["terms"] = len(result.coeff)
        out["peak"] = maxrss_mib() - base
    out["seconds"] = seconds
    return out


def run_child(route: str, n: int, repeat: int) -> dict:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run(
        [sys.executable, __file__, "--child", route, str(n), str(repeat)],
        check=True,
        capture_output=True,
        text=True,
        env=env,
    )
    return json.loads(proc.stdout.strip().splitlines()[-1])


def floor_module(source: str, scratch: str):
    """dictfill.c compiled for this interpreter and loaded from the scratch folder."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(scratch, "dictfill" + suffix)
    subprocess.run(
        ["cc", "-O2", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"], source, "-o", target], check=True
    )
    loader = importlib.machinery.ExtensionFileLoader("dictfill", target)
    spec = importlib.util.spec_from_file_location("dictfill", target, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


AMPLIFY_TSP = """
import json, sys, time
import numpy as np
from amplify import VariableGenerator, einsum, one_hot, Poly
n = int(sys.argv[1])
points = np.random.default_rng(n).uniform(0, 100, (n, 2))
d = np.linalg.norm(points[:, None] - points[None], axis=-1)
times = []
for _ in range(3):
    start = time.perf_counter()
    q = VariableGenerator().array("Binary", shape=(n, n))
    q_next = q.roll(-1, axis=0)
    objective = einsum("ij,ti,tj->", d, q, q_next)
    model = objective + 100.0 * (one_hot(q, axis=1) + one_hot(q, axis=0))
    poly = model.to_unconstrained_poly()
    times.append(time.perf_counter() - start)
print(json.dumps({"seconds": sorted(times)[1], "terms": len(poly.as_dict()) if n <= 50 else None}))
"""


def amplify(python: str, n: int) -> dict:
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run([python, "-c", AMPLIFY_TSP, str(n)], check=True, capture_output=True, text=True, env=env)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def objective_against_floor(dictfill, n: int, rounds: int = 5) -> tuple[float, float]:
    """Medians of the floor and of compile_model on the objective, taken in turns so that both
    see the same machine (its speed drifts on a shared host)."""
    from quillon_transpiler import compile_model

    problem, instance = tsp(n)
    problem.constraints.clear()
    floors, compiles = [], []
    for _ in range(rounds):
        floors.append(median_time(lambda: dictfill.tsp_objective(n), 1)[0])
        compiles.append(median_time(lambda: compile_model(problem, instance), 1)[0])
    return sorted(floors)[rounds // 2], sorted(compiles)[rounds // 2]


def main(sizes, floor_source, amplify_python) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        dictfill = floor_module(floor_source, scratch) if os.path.exists(floor_source) else None
        for n in sizes:
            repeat = 3 if n <= 100 else 1
            native = run_child("native", n, repeat)
            rate = native["terms"] / native["seconds"] / 1e6
            line = (
                f"tsp n={n:<4d} {native['terms']:9d} terms | native {native['seconds']:7.3f} s {rate:5.1f} M terms/s "
                f"peak {native['peak']:6.0f} MiB | to_bqm {native['bqm']:6.3f} s"
            )
            if amplify_python:
                theirs = amplify(amplify_python, n)
                line += f" | amplify {theirs['seconds']:6.3f} s"
            d = run_child("dict", n, repeat)
            rate = d["terms"] / d["seconds"] / 1e6
            line += f" | dict route {d['seconds']:7.3f} s {rate:5.1f} M terms/s peak {d['peak']:6.0f} MiB"
            if dictfill is not None and n <= 100:
                floor, compiled = objective_against_floor(dictfill, n)
                ratio = compiled / floor
                line += f" | objective: compile_model {compiled:6.3f} s, floor {floor:6.3f} s ({ratio:4.2f}x)"
            try:
                import dimod  # noqa: F401
            except ImportError:
                print(line, flush=True)
                continue
            cqm = run_child("cqm", n, repeat)
            line += f" | to_cqm {cqm['seconds']:6.3f} s peak {cqm['peak']:6.0f} MiB"
            if n <= 100:
                cqm_dict = run_child("cqm-dict", n, repeat)
                line += f" (dict route {cqm_dict['seconds']:6.3f} s peak {cqm_dict['peak']:6.0f} MiB)"
            print(line, flush=True)


if __name__ == "__main__":
    args = sys.argv[1:]
    if args[:1] == ["--child"]:
        print(json.dumps(child(args[1], int(args[2]), int(args[3]))))
        sys.exit(0)

    def option(name, default):
        return args[args.index(name) + 1] if name in args else default

    quick = "--quick" in args
    sizes = [int(s) for s in option("--sizes", "20" if quick else "20,50,100,200").split(",")]
    main(sizes, option("--floor", DICTFILL), None if quick else option("--amplify", None))
