"""Knapsack: pack the most valuable items without exceeding the weight limit.

b[i] = 1 when item i is packed. Items are seeded random parcels: whole-kg weights of 1 to 30 kg
and values that grow with the weight, with noise; the limit is 40 % of the total weight. Items
come in pairs of alternatives (the same product from two suppliers), of which at most one is
packed, and a custom penalty, weighted when the CQM is made, discourages packing many of the
heaviest tenth of the items.

`solve` compiles the model, exports it and samples it: by default as a binary quadratic model
(constraints weighted "auto", the inequalities given slack binaries) with dwave-samplers'
simulated annealing; `--sampler cqm` gives the constrained model to dimod's exact CQM solver
(up to about 16 items). Then the best feasible packing is printed in the model's own terms and,
with matplotlib installed, drawn to knapsack_packing.png (with the samples' energies in
knapsack_energies.png) in the folder `--pictures` names.

usage: python examples/knapsack.py [items] [--sampler auto|exact|cqm|sa|tabu] [--reads N] [--pictures DIR]
(default 14 items)
"""

import argparse

import common
import numpy as np

import quillon as ql
from quillon_transpiler import solve

HEAVY_WEIGHT = 5.0  # weight of the heavy-items penalty in the objective


def knapsack_model() -> ql.Problem:
    n = ql.Placeholder("n")
    v = ql.Placeholder("v", ndim=1)
    w = ql.Placeholder("w", ndim=1)
    limit = ql.Placeholder("limit")
    heavy = ql.Placeholder("heavy", ndim=1)
    b = ql.BinaryVar("b", shape=(n,))
    i = ql.Element("i", n)
    p = ql.Element("p", n / 2)
    h = ql.Element("h", heavy)

    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("weight limit", ql.sum(i, w[i] * b[i]) <= limit)
    problem += ql.Constraint("one of two suppliers", b[2 * p] + b[2 * p + 1] <= 1, forall=p)
    problem += ql.CustomPenaltyTerm("heavy items", ql.sum(h, b[h]) ** 2)
    return problem


def parcel_instance(n: int, seed: int = 11) -> dict:
    rng = np.random.default_rng(seed)
    weights = np.ceil(rng.uniform(0.5, 30.0, size=n))  # whole kg: the slack of the limit is exact
    values = (weights * rng.uniform(2.0, 6.0, size=n) + rng.normal(0.0, 5.0, size=n)).clip(1.0).round(0)
    heaviest = np.argsort(weights)[-max(n // 10, 1) :]
    return {
        "n": n,
        "v": values,
        "w": weights,
        "limit": float(np.floor(0.4 * weights.sum())),
        "heavy": np.sort(heaviest),
    }


def main(n: int, sampler: str, reads: int, pictures: str) -> None:
    problem = knapsack_model()
    instance = parcel_instance(n)
    v, w, limit = instance["v"], instance["w"], instance["limit"]
    print(f"Knapsack: {n} items, weight limit {limit:g} kg, heavy items {instance['heavy'].tolist()}")

    options = {"num_reads": reads, "seed": 1} if sampler in ("auto", "sa", "tabu") else {}
    weight = {"heavy items": HEAVY_WEIGHT}
    decoded = solve(problem, instance, common.sampler(sampler), penalty_weight=weight, **options)
    print(f"{len(decoded)} samples, {len(decoded.feasible())} feasible, in {decoded.measuring_time.total:.2f} s")
    best = common.best(decoded)
    packed = np.flatnonzero(best.dense("b"))
    print()
    print(f"{'item':>5s} {'weight kg':>10s} {'value':>7s}")
    for i in packed:
        print(f"{i:5d} {w[i]:10g} {v[i]:7g}{'  (heavy)' if i in instance['heavy'] else ''}")
    heavy = len(set(packed) & set(instance["heavy"].tolist()))
    print(f"packed {len(packed)} items: {w[packed].sum():g} kg of {limit:g} kg, value {v[packed].sum():g}")
    penalty = HEAVY_WEIGHT * heavy**2
    print(f"heavy items packed {heavy}: penalty {HEAVY_WEIGHT:g} * {heavy}^2 = {penalty:g}")
    # the decoded objective is the value alone: the penalty is weighed in beside it
    print(f"value - penalty: {best.evaluation.objective[0] - penalty:g}")
    common.report_violations(best)
    draw(instance, packed, decoded, pictures)


def draw(instance: dict, packed: np.ndarray, decoded: ql.SampleSet, folder: str) -> None:
    """Items as bars (weight, value above), packed ones filled, and the packed weight against the limit."""
    plt = common.pyplot()
    if plt is None:
        return
    from quillon_transpiler import plot

    v, w, limit, n = instance["v"], instance["w"], instance["limit"], instance["n"]
    chosen = np.isin(np.arange(n), packed)
    figure, (items, load) = plt.subplots(1, 2, figsize=(9, 4), gridspec_kw={"width_ratios": [4, 1]})
    colours = np.where(chosen, "tab:blue", "white")
    bars = items.bar(np.arange(n), w, color=colours, edgecolor="tab:blue")
    for bar, value in zip(bars, v):
        items.annotate(f"{value:g}", (bar.get_x() + bar.get_width() / 2, bar.get_height()), ha="center", va="bottom")
    for pair in range(1, n // 2):
        items.axvline(2 * pair - 0.5, color="lightgrey", linewidth=0.8)  # pairs of alternative suppliers
    for i in instance["heavy"]:
        items.annotate("heavy", (i, 0), ha="center", va="bottom", color="tab:red", fontsize=8)
    items.set_xticks(np.arange(n))
    items.set_xlabel("item (pairs of alternatives between grey lines)")
    items.set_ylabel("weight kg (value on top)")
    items.set_title(f"packed {chosen.sum()} of {n} items: value {v[chosen].sum():g}")
    bottom = 0.0
    for i in packed:
        load.bar(0, w[i], bottom=bottom, color="tab:blue", edgecolor="white")
        bottom += w[i]
    load.axhline(limit, color="tab:red", label=f"limit {limit:g} kg")
    load.set_xticks([])
    load.set_ylim(0, max(limit, bottom) * 1.1)
    load.set_title(f"{bottom:g} kg")
    load.legend(loc="upper center", bbox_to_anchor=(0.5, -0.02), frameon=False)
    common.save(figure, folder, "knapsack_packing.png")
    common.save(plot.energies(decoded).figure, folder, "knapsack_energies.png")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("items", type=int, nargs="?", default=14)
    parser.add_argument("--sampler", choices=["auto", "exact", "cqm", "sa", "tabu"], default="auto")
    parser.add_argument("--reads", type=int, default=64)
    parser.add_argument("--pictures", default=".", help="folder the PNG files are written to (default: here)")
    args = parser.parse_args()
    if args.items < 1:
        parser.error("items must be at least 1")
    main(args.items, args.sampler, args.reads, args.pictures)
