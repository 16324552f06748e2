"""Helpers the examples share: choosing a sampler by name, reading the answer of a decoded sample
set, and writing pictures when matplotlib is installed."""

import pathlib
import sys

import quillon as ql


def sampler(name: str):
    """The dimod sampler called `name`: "auto" (None: solve's choice, exact for tiny models and
    simulated annealing beyond), "exact" (dimod.ExactSolver on the BQM), "cqm" (dimod's
    ExactCQMSolver on the CQM), "sa" or "tabu" (dwave-samplers)."""
    if name == "auto":
        return None
    import dimod

    if name == "exact":
        return dimod.ExactSolver()
    if name == "cqm":
        return dimod.ExactCQMSolver()
    from dwave.samplers import SimulatedAnnealingSampler, TabuSampler

    return SimulatedAnnealingSampler() if name == "sa" else TabuSampler()


def best(decoded: ql.SampleSet) -> ql.SampleSet:
    """The best feasible sample, or when none is feasible the one violating least."""
    feasible = decoded.feasible()
    if len(feasible):
        return feasible.lowest().take([0])
    violations = decoded.evaluation.constraint_violations.values()
    least = min(range(len(decoded)), key=lambda k: sum(v[k] for v in violations))
    return decoded.take([least])


def report_violations(sample: ql.SampleSet) -> None:
    violated = {label: v[0] for label, v in sample.evaluation.constraint_violations.items() if v[0] > 1e-9}
    if not violated:
        print("every constraint holds")
        return
    print("NOT FEASIBLE; constraint violations:", file=sys.stderr)
    for label, amount in violated.items():
        print(f"  {label}: {amount:g}", file=sys.stderr)


def pyplot():
    """matplotlib.pyplot, or None (with a one-line note) when matplotlib is not installed."""
    from quillon_transpiler import plot

    try:
        return plot.pyplot()
    except ImportError:
        print("pictures skipped: matplotlib is not installed (pip install 'quillon_transpiler[plot]')")
        return None


def save(figure, folder: str, name: str) -> None:
    path = pathlib.Path(folder) / name
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100, bbox_inches="tight")
    print(f"wrote {path}")
