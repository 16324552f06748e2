"""A penalty-weight and sampler scan of the travelling salesman over several instances, on Dask.

Every instance (random cities, seeded) runs under every setting: the one-hot constraints'
weight (1, 100 and "auto", chosen from the model's numbers) times simulated annealing with
two sweep counts. Each run (solve's loop: the compiled instance exported to a BQM with the
setting's weight, sampled, decoded) is one Dask task on a LocalCluster of one single-threaded
worker process per core. Printed per setting: the share of feasible reads, and the best feasible tour per instance
against the shortest one (found by trying every permutation).

The same runs are then made one after another in this process (``client=False``) to measure
the speed-up; with the same seeds both give the same samples. The runs share nothing, so on a
cluster the time falls with the number of worker cores until there are as many cores as runs
(then the longest run sets it): pass ``client=Client("tcp://scheduler:8786")`` to use one.

usage: python examples/sweep_tsp.py [--cities N] [--instances N] [--workers N]
"""

import argparse
import importlib
import itertools
import os
import time

import numpy as np
from distributed import Client, LocalCluster
from dwave.samplers import SimulatedAnnealingSampler

from quillon_transpiler import sweep, testing

WEIGHTS = [1.0, 100.0, "auto"]
SWEEPS = [200, 2000]
READS = 100


def shortest_tour(d: np.ndarray) -> float:
    n = len(d)
    tours = np.array([(0, *p) for p in itertools.permutations(range(1, n))])
    return float(d[tours, np.roll(tours, -1, axis=1)].sum(axis=1).min())


def main(cities: int, count: int, workers: int) -> None:
    problem, _ = testing.tsp(cities)
    instances = {f"cities {k}": testing.tsp(cities, seed=k)[1] for k in range(count)}
    options = [{"num_reads": READS, "num_sweeps": sweeps} for sweeps in SWEEPS]
    scan = {"weights": WEIGHTS, "sampler": SimulatedAnnealingSampler(), "sample_options": options, "seeds": [1]}

    start = time.perf_counter()
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster) as client:
            # what a run imports, imported once per worker before the clock starts, as this process has
            for module in ("dwave.samplers", "quillon_transpiler.core.solve", "quillon_transpiler.core.pubo.arrays"):
                client.run(importlib.import_module, module)
            started = time.perf_counter() - start
            print(f"LocalCluster of {workers} workers started in {started:.1f} s; dashboard {client.dashboard_link}")
            start = time.perf_counter()
            results = sweep(problem, instances, **scan, client=client)
            on_dask = time.perf_counter() - start
    results.raise_failures()

    optimum = [shortest_tour(data["d"]) for data in instances.values()]
    print(f"\nTSP of {cities} cities, {count} instances x {len(results.settings)} settings = {len(results)} runs")
    print(f"{'weight':>8} {'sweeps':>6}  feasible  best tour per instance")
    print(f"{'':>8} {'':>6}  {'':>8}  " + " ".join(f"{length:7.1f}" for length in optimum) + "  (shortest)")
    for k, setting in enumerate(results.settings):
        runs = results.of_setting(k)
        rate = np.mean([run.feasible_rate for run in runs])
        best = " ".join("      -" if run.objective is None else f"{run.objective:7.1f}" for run in runs)
        print(f"{setting.constraint_weight!s:>8} {setting.options['num_sweeps']:>6}  {rate:8.0%}  {best}")

    start = time.perf_counter()
    here = sweep(problem, instances, **scan, client=False, progress=False)
    one_by_one = time.perf_counter() - start
    same = all(a.sampleset.record == b.sampleset.record for a, b in zip(results, here))
    print(f"\none by one in this process: {one_by_one:.1f} s; on {workers} Dask workers: {on_dask:.1f} s ", end="")
    print(f"(speed-up {one_by_one / on_dask:.2f}x, plus {started:.1f} s to start the cluster once)")
    print("the same samples both ways" if same else "the samples differ between the two ways!")
    # the speed-up is the runs kept going at once, divided by how much slower each one ran: on
    # cores that other processes share, a run on a worker takes longer than here
    busy = sum(run.seconds for run in results) / on_dask
    slower = sum(run.seconds for run in results) / sum(run.seconds for run in here)
    print(f"runs in flight on average: {busy:.1f} of {workers} workers; a run took {slower:.2f}x its time here")
    if hasattr(os, "getloadavg"):
        print(f"load average of this machine's {os.cpu_count()} cores: {os.getloadavg()[0]:.1f}")
    longest = max(run.seconds for run in here)
    grows = f"about {one_by_one:.0f} s / C, down to the longest run ({longest:.1f} s) at C = {len(here)}"
    print(f"on a cluster of C worker cores: {grows}, plus the transfer of each model to each worker once")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cities", type=int, default=8)
    parser.add_argument("--instances", type=int, default=6)
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    args = parser.parse_args()
    main(args.cities, args.instances, args.workers)
