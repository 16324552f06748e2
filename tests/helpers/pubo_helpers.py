import numpy as np

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model


def evaluate(coeff, constant, values):
    """constant + sum of coefficient * product of the values of each key's factors."""
    return constant + sum(c * np.prod([values.get(i, 0) for i in key]) for key, c in coeff.items())


def all_assignments(n):
    """Every assignment of n binaries, one per row."""
    return (np.arange(2**n)[:, None] >> np.arange(n)[None, :]) & 1


def energies(coeff, constant, rows):
    """The binary polynomial at every row of assignments."""
    out = np.full(len(rows), float(constant))
    for key, c in coeff.items():
        out += c * rows[:, list(key)].all(axis=1)
    return out


def decode_rows(encoder, rows):
    """Values of the variables (columns) at every row; the rows whose one-hot groups hold."""
    values = np.zeros((len(rows), encoder.num_variables), dtype=np.int64)
    ok = np.ones(len(rows), dtype=bool)
    for index in range(encoder.num_variables):
        offset, coefs = encoder.coefficients(index)
        bits = rows[:, list(encoder.binaries(index))]
        values[:, index] = offset + bits @ np.array(coefs, dtype=np.int64).reshape(-1)
        if encoder.onehot and len(coefs) > 1:
            ok &= bits.sum(axis=1) == 1
    return values, ok


def mixed_model():
    """Integer variables with negative, float and array bounds, a binary, products and a square."""
    n = ql.Placeholder("n")
    top = ql.Placeholder("top", ndim=1)
    x = ql.IntegerVar("x", shape=(n,), lower_bound=-1, upper_bound=top)
    z = ql.IntegerVar("z", lower_bound=0.5, upper_bound=2.7)
    b = ql.BinaryVar("b")
    i = ql.Element("i", n)
    problem = ql.Problem("mixed")
    problem += ql.sum(i, x[i] * z) + 3 * b * x[0] - 2 * x[1] ** 2 + 0.5
    problem += ql.Constraint("cap", ql.sum(i, x[i]) + b <= 3)
    problem += ql.Constraint("floor", x[0] + z >= 1)
    problem += ql.Constraint("tie", x[1] - z + b == 0)
    problem += ql.CustomPenaltyTerm("small", (x[0] - 1) ** 2)
    return compile_model(problem, {"n": 2, "top": np.array([2, 3])})


def binary_model():
    """Binaries only (the objective is copied, not re-encoded), maximised, with shared keys."""
    x = ql.BinaryVar("x", shape=(4,))
    i = ql.Element("i", 4)
    problem = ql.Problem("binary", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, (i + 1) * x[i]) + 2 * x[0] * x[1] - 3 * x[2] * x[3]
    problem += ql.Constraint("at most two", ql.sum(i, x[i]) <= 2)
    problem += ql.Constraint("pair", x[0] + x[3] == 1)
    problem += ql.CustomPenaltyTerm("avoid", x[1] * x[2] + x[0])
    return compile_model(problem, {})
