"""Solving a compiled quillon model as a dimod CQM, shared by the examples.

Small models are solved exactly by enumerating every assignment (dimod.ExactCQMSolver). Larger
ones become a binary quadratic model (dimod.cqm_to_bqm: constraints turned into penalties
weighted by a Lagrange multiplier, inequalities given slack variables) sampled by simulated
annealing or tabu search from dwave-samplers, in batches that report progress; each sample is
mapped back to the CQM's variables and scored against the CQM itself. Either way the result is
decoded into a quillon SampleSet: solutions by label and subscripts, objective values and the
violation of every constraint.
"""

import sys
import time

import dimod

import quillon as ql
from quillon_transpiler.core.dimod.dimod_bridge import DimodBuilder

EXACT_LIMIT = 16  # variables; ExactCQMSolver enumerates 2**n assignments (and integer ranges)
TABU_MS = 1000  # per read


def solve(
    builder: DimodBuilder,
    *,
    penalty_weight=None,
    sampler: str = "auto",
    reads: int = 64,
    sweeps: int = 2000,
    lagrange: float = None,
    seed: int = 1,
) -> ql.SampleSet:
    """The decoded samples of the builder's CQM; `sampler` is "exact", "sa", "tabu" or "auto"
    (exact up to EXACT_LIMIT binary variables, simulated annealing beyond)."""
    cqm = builder.get_model(penalty_weight)
    if sampler == "auto":
        sampler = "exact" if cqm.num_variables() <= EXACT_LIMIT else "sa"
    start = time.perf_counter()
    if sampler == "exact":
        print(f"solving exactly: every assignment of {cqm.num_variables()} variables ...", flush=True)
        sampleset = dimod.ExactCQMSolver().sample_cqm(cqm)
    else:
        sampleset = _sample_bqm(cqm, sampler, reads, sweeps, lagrange, seed)
    decoded = builder.decode_from_cqm_result(sampleset)
    print(f"{len(decoded)} samples in {time.perf_counter() - start:.1f} s", flush=True)
    return decoded


def _sample_bqm(cqm, sampler, reads, sweeps, lagrange, seed):
    from dwave.samplers import SimulatedAnnealingSampler, TabuSampler

    bqm, invert = dimod.cqm_to_bqm(cqm, lagrange_multiplier=lagrange)
    print(
        f"{'simulated annealing' if sampler == 'sa' else 'tabu search'} on a BQM of {bqm.num_variables} "
        f"variables ({bqm.num_variables - cqm.num_variables()} slack), Lagrange multiplier {lagrange}",
        flush=True,
    )
    batch = max(1, min(reads, 16))
    samples, best = [], None
    for done in range(0, reads, batch):
        n = min(batch, reads - done)
        if sampler == "sa":
            result = SimulatedAnnealingSampler().sample(bqm, num_reads=n, num_sweeps=sweeps, seed=seed + done)
        else:
            result = TabuSampler().sample(bqm, num_reads=n, timeout=TABU_MS, seed=seed + done)
        found = [invert(s) for s in result.samples()]
        scored = dimod.SampleSet.from_samples_cqm(found, cqm)
        feasible = scored.record.energy[scored.record.is_feasible]
        if len(feasible):
            best = feasible.min() if best is None else min(best, feasible.min())
        samples.extend(found)
        status = "none feasible yet" if best is None else f"best feasible energy {best:g}"
        print(f"  reads {done + n}/{reads}: {status}", flush=True)
    return dimod.SampleSet.from_samples_cqm(samples, cqm)


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
