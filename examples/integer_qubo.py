"""Integer production plan solved as a binary polynomial (QUBO) by exhaustive search.

Three products, made in whole batches: y[i] batches of product i (0 to limit[i]) earn profit[i]
each and use usage[i] hours of a shared machine, which runs at most `hours` hours; making any
batch of a product costs its set-up once (the binary on[i], with y[i] <= limit[i] * on[i]).
`to_pubo` encodes the integer variables with binaries (log encoding by default) and turns the
inequalities into squared penalties with slack binaries; every assignment of the binaries is
then evaluated, the best one decoded back into integers and checked against a brute force over
the integer values themselves.

usage: python examples/integer_qubo.py [log|unary|one-hot]
"""

import argparse
import itertools
import time

import numpy as np

import quillon as ql
from quillon_transpiler import compile_model, decode_pubo, to_pubo


def production_model() -> ql.Problem:
    n = ql.Placeholder("n")
    profit, usage, setup, limit = (ql.Placeholder(name, ndim=1) for name in ("profit", "usage", "setup", "limit"))
    hours = ql.Placeholder("hours")
    y = ql.IntegerVar("y", shape=(n,), lower_bound=0, upper_bound=limit)
    on = ql.BinaryVar("on", shape=(n,))
    i = ql.Element("i", n)
    problem = ql.Problem("production", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, profit[i] * y[i] - setup[i] * on[i])
    problem += ql.Constraint("machine hours", ql.sum(i, usage[i] * y[i]) <= hours)
    problem += ql.Constraint("set-up first", y[i] <= limit[i] * on[i], forall=i)
    return problem


INSTANCE = {
    "n": 3,
    "profit": np.array([5, 4, 7]),
    "usage": np.array([3, 2, 4]),
    "setup": np.array([4, 1, 6]),
    "limit": np.array([3, 3, 2]),
    "hours": 10,
}


def brute_force(instance: dict) -> tuple:
    """The best profit over every integer plan, and one plan reaching it."""
    best = None
    for y in itertools.product(*(range(int(u) + 1) for u in instance["limit"])):
        y = np.array(y)
        if instance["usage"] @ y > instance["hours"]:
            continue
        value = int(instance["profit"] @ y - instance["setup"] @ (y > 0))
        if best is None or value > best[0]:
            best = (value, tuple(y.tolist()))
    return best


def lowest_assignment(coeff: dict, constant: float, num_binaries: int) -> dict:
    """The assignment of the binaries with the lowest energy, by evaluating all 2**n of them
    (in blocks of 2**16, to keep memory small)."""
    best_energy, best_row = np.inf, None
    bits = np.arange(num_binaries)
    for first in range(0, 2**num_binaries, 2**16):
        numbers = np.arange(first, min(first + 2**16, 2**num_binaries))
        rows = ((numbers[:, None] >> bits[None, :]) & 1).astype(bool)
        energy = np.full(len(rows), float(constant))
        for key, value in coeff.items():
            energy += value * rows[:, list(key)].all(axis=1)
        at = int(np.argmin(energy))
        if energy[at] < best_energy:
            best_energy, best_row = energy[at], rows[at]
    return dict(enumerate(best_row.astype(int).tolist()))


def main(encoder: str) -> None:
    compiled = compile_model(production_model(), INSTANCE)
    start = time.perf_counter()
    # penalties must outweigh the largest profit a violation could buy
    pubo = to_pubo(compiled, constraint_weight=30.0, encoder=encoder)
    seconds = time.perf_counter() - start
    print(f"{pubo!r} built in {seconds * 1e3:.1f} ms")
    print(f"  slack binaries: {pubo.slack}")

    sample = lowest_assignment(pubo.coeff, pubo.constant, pubo.num_binaries)
    record = decode_pubo(sample, pubo)
    (subscripts,), values, _ = record.solution["y"][0]
    plan = [0] * INSTANCE["n"]
    for i, v in zip(subscripts, values):
        plan[i] = v
    profit = int(INSTANCE["profit"] @ plan - INSTANCE["setup"] @ (np.array(plan) > 0))
    print(f"  exhaustive search over the binaries: y = {plan}, profit {profit}, energy {pubo.energy(sample)}")

    best, best_plan = brute_force(INSTANCE)
    print(f"  brute force over the integers:        y = {list(best_plan)}, profit {best}")
    assert profit == best and -pubo.energy(sample) == best, "the binary optimum must be the integer optimum"
    print("  the optimum matches.")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("encoder", nargs="?", default="log", choices=["log", "binary", "unary", "one-hot"])
    # taken as the other examples take it, though this one draws nothing
    parser.add_argument("--pictures", metavar="FOLDER", help="unused: this example draws nothing")
    main(parser.parse_args().encoder)
