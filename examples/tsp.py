"""Travelling salesman: visit every city once, in the order that minimises the tour length.

x[i, t] = 1 when city i is visited at step t. The tour length sums d[i, j] over consecutive
steps; two one-hot constraints make x a permutation. Cities are random points on a 100 km
square (seeded), distances Euclidean. The model is the package's shared TSP,
quillon_transpiler.testing.tsp, written there with quillon as
``sum_i sum_j d[i, j] * sum_t x[i, t] * x[j, (t + 1) % n]``.

`solve` compiles it, exports it and samples it: by default as a binary quadratic model (the
constraints weighted "auto") with dwave-samplers' simulated annealing; `--sampler cqm` gives
the constrained model to dimod's exact CQM solver instead (4 cities at most). The best feasible
tour is printed as a route and, with matplotlib installed, drawn to tsp_tour.png (with the
samples' energies in tsp_energies.png) in the folder `--pictures` names.

usage: python examples/tsp.py [cities] [--sampler auto|exact|cqm|sa|tabu] [--reads N] [--pictures DIR]
(default 4 cities)
"""

import argparse
import itertools

import common
import numpy as np

from quillon_transpiler import solve, testing


def main(n: int, sampler: str, reads: int, pictures: str) -> None:
    points = testing.city_points(n)
    problem, instance = testing.tsp(n, factor_distance=True)  # distances rounded to 0.1 km
    d = instance["d"]
    print(f"TSP with {n} cities: {n * n} binary variables")

    options = {"num_reads": reads, "seed": 1} if sampler in ("auto", "sa", "tabu") else {}
    decoded = solve(problem, instance, common.sampler(sampler), **options)
    seconds = decoded.measuring_time
    print(f"{len(decoded)} samples, {len(decoded.feasible())} feasible, in {seconds.total:.2f} s")
    best = common.best(decoded)
    x = best.dense("x")
    route = [int(np.argmax(x[:, t])) if x[:, t].any() else None for t in range(n)]
    print("route:", " -> ".join("?" if c is None else str(c) for c in route + route[:1]))
    if None not in route:
        legs = [d[route[t], route[(t + 1) % n]] for t in range(n)]
        print("legs (km):", " + ".join(f"{leg:g}" for leg in legs), f"= {sum(legs):g}")
    print(f"objective (tour length): {best.evaluation.objective[0]:g}")
    common.report_violations(best)
    if n <= 9:
        shortest = min(
            sum(d[p[t], p[(t + 1) % n]] for t in range(n)) for p in itertools.permutations(range(n)) if p[0] == 0
        )
        print(f"shortest tour by trying every permutation: {shortest:g}")
    if None not in route:
        draw(points, route, best.evaluation.objective[0], decoded, pictures)


def draw(points, route, length, decoded, folder: str) -> None:
    plt = common.pyplot()
    if plt is None:
        return
    from quillon_transpiler import plot

    figure, ax = plt.subplots(figsize=(5, 5))
    closed = points[route + route[:1]]
    ax.plot(closed[:, 0], closed[:, 1], "-", color="tab:blue", zorder=1)
    ax.scatter(points[:, 0], points[:, 1], s=80, color="tab:orange", zorder=2)
    for city, (px, py) in enumerate(points):
        ax.annotate(str(city), (px, py), textcoords="offset points", xytext=(6, 6))
    ax.scatter(*points[route[0]], s=160, facecolors="none", edgecolors="black", zorder=3, label="start")
    ax.set_title(f"tour of {len(points)} cities: {length:g} km")
    ax.set_xlabel("km")
    ax.set_ylabel("km")
    ax.set_aspect("equal")
    ax.legend(loc="best")
    common.save(figure, folder, "tsp_tour.png")
    common.save(plot.energies(decoded).figure, folder, "tsp_energies.png")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cities", type=int, nargs="?", default=4)
    parser.add_argument("--sampler", choices=["auto", "exact", "cqm", "sa", "tabu"], default="auto")
    parser.add_argument("--reads", type=int, default=64)
    parser.add_argument("--pictures", default=".", help="folder the PNG files are written to (default: here)")
    args = parser.parse_args()
    if args.cities < 1:
        parser.error("cities must be at least 1")
    main(args.cities, args.sampler, args.reads, args.pictures)
