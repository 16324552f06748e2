"""Typed use of the package: a knapsack model compiled and read back with every value annotated.

The extension modules ship their Python surface as stubs and the packages are marked typed, so
a type checker follows the calls below into the installed package (CI runs mypy on this file).
"""

from __future__ import annotations

from typing import Any, Dict, List, Tuple, Union

import numpy as np

import quillon as ql
from quillon_transpiler.core.compile import CompiledInstance
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression
from quillon_transpiler.core.var_registry import VarRegistry


def knapsack() -> ql.Problem:
    values = ql.Placeholder("values", ndim=1)
    weights = ql.Placeholder("weights", ndim=1)
    capacity = ql.Placeholder("capacity")
    n = values.len_at(0)
    x = ql.BinaryVar("x", shape=(n,))
    i = ql.Element("i", n)
    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, values[i] * x[i])
    problem += ql.Constraint("capacity", ql.sum(i, weights[i] * x[i]) <= capacity)
    return problem


def labels(registry: VarRegistry) -> Dict[int, Tuple[str, Tuple[int, ...]]]:
    """Variable index -> (label, subscripts)."""
    return {index: (label, subs) for label, by_subs in registry.var_map.items() for subs, index in by_subs.items()}


def evaluate(poly: SubstitutedExpression, sample: Dict[int, int]) -> float:
    total = float(poly.constant)
    for key, coefficient in poly.coeff.items():
        term = float(coefficient)
        for index in key:
            term *= sample[index]
        total += term
    return total


def main() -> None:
    # compile_model takes a dict, which is invariant: give the data the value type it names
    data: Dict[str, Union[np.ndarray[Any, Any], List[Any], int, float]] = {
        "values": np.array([6.0, 10.0, 12.0]),
        "weights": [1, 2, 3],
        "capacity": 5,
    }
    compiled: CompiledInstance = compile_model(knapsack(), data)
    names = labels(compiled.var_map)
    residual: SubstitutedExpression = compiled.constraint["capacity"][()]
    take = {index: int(names[index][1] != (0,)) for index in names}  # items 1 and 2
    print(
        f"{compiled.var_map.var_num} variables, objective {evaluate(compiled.objective, take):g}, "
        f"capacity residual {evaluate(residual, take):g}"
    )
    square = SubstitutedExpression(dict(residual.coeff), residual.constant, residual.order)
    square.power(2)
    print(f"squared residual has {len(square.coeff)} terms, order {square.order}; constant: {square.is_constant()}")


if __name__ == "__main__":
    main()
