"""Small quillon models shared by the dimod tests, with instance data."""

import numpy as np

import quillon as ql


def knapsack(n=6, seed=3):
    """Maximise the packed value under a weight limit; items come in pairs of which at most one
    is packed; a custom penalty on packing the two first items."""
    N, W = ql.Placeholder("N"), ql.Placeholder("W")
    v, w = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
    b = ql.BinaryVar("b", shape=(N,))
    i, p = ql.Element("i", N), ql.Element("p", N / 2)
    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("weight", ql.sum(i, w[i] * b[i]) <= W)
    problem += ql.Constraint("pair", b[2 * p] + b[2 * p + 1] <= 1, forall=p)
    problem += ql.CustomPenaltyTerm("first two", b[0] * b[1])
    rng = np.random.default_rng(seed)
    weights = rng.integers(1, 10, n).astype(float)
    return problem, {"N": n, "W": float(weights.sum() // 2), "v": rng.integers(1, 20, n).astype(float), "w": weights}


def assignment(n=3, seed=5):
    """Each worker one task, each task one worker, at least cost."""
    N = ql.Placeholder("N")
    c = ql.Placeholder("c", ndim=2)
    x = ql.BinaryVar("x", shape=(N, N))
    i, j = ql.Element("i", N), ql.Element("j", N)
    problem = ql.Problem("assignment")
    problem += ql.sum(i, ql.sum(j, c[i, j] * x[i, j]))
    problem += ql.Constraint("task", ql.sum(j, x[i, j]) == 1, forall=i)
    problem += ql.Constraint("worker", ql.sum(i, x[i, j]) == 1, forall=j)
    return problem, {"N": n, "c": np.random.default_rng(seed).integers(1, 10, (n, n)).astype(float)}


def cover(n=3):
    """Integers: a scalar y in [0, 3] and z[i] in [0, u[i]]; cover a demand (>=) at least cost,
    with a quadratic cost on y."""
    N, D = ql.Placeholder("N"), ql.Placeholder("D")
    u, c = ql.Placeholder("u", ndim=1), ql.Placeholder("c", ndim=1)
    y = ql.IntegerVar("y", lower_bound=0, upper_bound=3)
    z = ql.IntegerVar("z", shape=(N,), lower_bound=0, upper_bound=u)
    i = ql.Element("i", N)
    problem = ql.Problem("cover")
    problem += 2 * y * y + ql.sum(i, c[i] * z[i])
    problem += ql.Constraint("demand", y + ql.sum(i, z[i]) >= D)
    problem += ql.Constraint("few z", ql.sum(i, z[i]) <= 3)
    return problem, {"N": n, "D": 4, "u": np.array([2, 1, 2]), "c": np.array([3.0, 1.0, 2.5])}


def smoothing(n=24, seed=9):
    """Custom penalties with a forall whose polynomials share interactions, large enough for
    every summing path; integer and binary variables mixed."""
    N = ql.Placeholder("N")
    a = ql.Placeholder("a", ndim=2)
    x = ql.BinaryVar("x", shape=(N,))
    k = ql.IntegerVar("k", shape=(N,), lower_bound=-2, upper_bound=2)
    i, j = ql.Element("i", N), ql.Element("j", N)
    problem = ql.Problem("smoothing", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, k[i] * x[i]) - 0.5
    problem += ql.Constraint("bound", ql.sum(j, a[i, j] * k[j]) <= 3, forall=i)
    problem += ql.CustomPenaltyTerm("rows", (ql.sum(j, a[i, j] * x[j]) - k[i]) ** 2, forall=i)
    problem += ql.CustomPenaltyTerm("pairs", x[i] * x[(i + 1) % N] + k[i] * k[i], forall=i)
    rng = np.random.default_rng(seed)
    return problem, {"N": n, "a": rng.normal(size=(n, n)).round(3)}
