"""Models with instance data for tests, examples and benchmarks: each builder returns
``(problem, instance)``, seeded, so that every caller builds the same model the same way.

The travelling salesman can be written in every way users write it (the order of its nested sums,
the order of a variable's subscripts, its one-hot rules as constraints or as squared penalties),
so that code meant to be fast for one way is measured on all of them.
"""

from __future__ import annotations

import typing as typ

import numpy as np

import quillon as ql

Model = typ.Tuple[ql.Problem, typ.Dict[str, typ.Any]]


def city_points(n: int, seed: int = 7) -> np.ndarray:
    """n cities placed at random in a 100 x 100 square: an (n, 2) array of coordinates."""
    return np.random.default_rng(seed).uniform(0.0, 100.0, size=(n, 2))


def city_distances(n: int, seed: int = 7, decimals: int | None = 1) -> np.ndarray:
    """Distances between the n cities of ``city_points(n, seed)``."""
    points = city_points(n, seed)
    distances = np.linalg.norm(points[:, None, :] - points[None, :, :], axis=-1)
    return distances if decimals is None else distances.round(decimals)


def tsp(
    n: int,
    *,
    order: str = "ijt",
    onehot: str = "constraint",
    layout: str = "it",
    size: str = "placeholder",
    factor_distance: bool = False,
    weight: float | None = None,
    seed: int = 7,
    decimals: int | None = 1,
    d: np.ndarray | None = None,
) -> Model:
    """A travelling salesman over n cities: x[i, t] = 1 when city i is visited at step t.

    Objective: sum over i, j, t of d[i, j] x[i, t] x[j, (t + 1) % n], its sums nested in
    ``order`` (any permutation of "ijt", outermost first); with ``factor_distance`` (``order``
    ending in "t") d[i, j] multiplies the inner sum over t instead of standing inside it.
    ``layout`` "ti" subscripts the variable as x[t, i] instead; ``size`` "length" counts the
    cities as ``d.len_at(0)`` instead of the placeholder N (the instance holds N either way).
    The one-hot rules "one city per step" and "one step per city": ``onehot`` "constraint"
    (``Constraint(... == 1)``), "penalty" (a squared custom penalty, weighted by ``weight`` in
    the model when given) or "mixed" (the first a constraint, the second a penalty).
    Distances: ``d`` when given, else ``city_distances(n, seed, decimals)``.
    """
    if sorted(order) != ["i", "j", "t"]:
        raise ValueError(f"order must be a permutation of 'ijt', got {order!r}")
    if factor_distance and order[-1] != "t":
        raise ValueError(
            f"factor_distance takes d[i, j] out of the inner sum over t: order must end in 't', got {order!r}"
        )
    if onehot not in ("constraint", "penalty", "mixed"):
        raise ValueError(f"onehot must be 'constraint', 'penalty' or 'mixed', got {onehot!r}")
    if size not in ("placeholder", "length"):
        raise ValueError(f"size must be 'placeholder' or 'length', got {size!r}")
    dist = ql.Placeholder("d", ndim=2)
    N = ql.Placeholder("N") if size == "placeholder" else dist.len_at(0)
    x = ql.BinaryVar("x", shape=(N, N))
    el = {name: ql.Element(name, N) for name in "ijt"}
    i, j, t = el["i"], el["j"], el["t"]

    def var(city: typ.Any, step: typ.Any) -> typ.Any:
        return x[city, step] if layout == "it" else x[step, city]

    outer = order
    term: ql.Expression
    if factor_distance:
        term = dist[i, j] * ql.sum(t, var(i, t) * var(j, (t + 1) % N))
        outer = order[:-1]
    else:
        term = dist[i, j] * var(i, t) * var(j, (t + 1) % N)
    for name in reversed(outer):
        term = ql.sum(el[name], term)
    problem = ql.Problem("tsp")
    problem += term
    rules = {"one city per step": (ql.sum(i, var(i, t)), t), "one step per city": (ql.sum(t, var(i, t)), i)}
    for k, (label, (total, index)) in enumerate(rules.items()):
        if onehot == "constraint" or (onehot == "mixed" and k == 0):
            problem += ql.Constraint(label, total == 1, forall=index)
        else:
            square = (total - 1) ** 2
            problem += ql.CustomPenaltyTerm(label, square if weight is None else weight * square, forall=index)
    if d is None:
        d = city_distances(n, seed, decimals)
    elif np.shape(d) != (n, n):
        raise ValueError(f"d must hold the {n} x {n} distances, got shape {np.shape(d)}")
    return problem, {"N": n, "d": d}


def written_tsp(n: int, *, seed: int = 7, decimals: int | None = 1) -> Model:
    """``tsp(n, onehot="penalty")`` written out term by term, as PyQUBO's users write it: Python's
    sum over plain loops, the distances as Python numbers, one squared penalty per step
    ("step{t}") and per city ("city{i}"); no instance data."""
    d = city_distances(n, seed, decimals).tolist()
    x = ql.BinaryVar("x", shape=(n, n))
    problem = ql.Problem("tsp")
    problem += sum(d[i][j] * x[i, t] * x[j, (t + 1) % n] for i in range(n) for j in range(n) for t in range(n))
    for t in range(n):
        problem += ql.CustomPenaltyTerm(f"step{t}", (sum(x[i, t] for i in range(n)) - 1) ** 2)
    for i in range(n):
        problem += ql.CustomPenaltyTerm(f"city{i}", (sum(x[i, t] for t in range(n)) - 1) ** 2)
    return problem, {}


def knapsack(n: int = 6, seed: int = 3) -> Model:
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


def single_knapsack(n: int, seed: int | None = None) -> Model:
    """n items of real-valued weights and values under one capacity constraint (40 % of the
    total weight); ``seed`` defaults to n."""
    N, W = ql.Placeholder("N"), ql.Placeholder("W")
    v, w = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
    b = ql.BinaryVar("b", shape=(N,))
    i = ql.Element("i", N)
    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("capacity", ql.sum(i, w[i] * b[i]) <= W)
    rng = np.random.default_rng(n if seed is None else seed)
    weights = rng.uniform(1, 30, n)
    return problem, {"N": n, "v": rng.uniform(1, 100, n), "w": weights, "W": 0.4 * weights.sum()}


def assignment(n: int = 3, seed: int = 5) -> Model:
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


def cover() -> Model:
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
    return problem, {"N": 3, "D": 4, "u": np.array([2, 1, 2]), "c": np.array([3.0, 1.0, 2.5])}


def smoothing(n: int = 24, seed: int = 9) -> Model:
    """Custom penalties with a forall whose polynomials share interactions, large enough for
    every summing path; integer and binary variables mixed, maximised."""
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


def colouring(nodes: int, colours: int, degree: float, seed: int | None = None) -> Model:
    """A random graph; one colour per node, a penalty per edge whose ends share a colour."""
    V, K, M = ql.Placeholder("V"), ql.Placeholder("K"), ql.Placeholder("M")
    E = ql.Placeholder("E", ndim=2)
    x = ql.BinaryVar("x", shape=(V, K))
    v, k, e = ql.Element("v", V), ql.Element("k", K), ql.Element("e", M)
    problem = ql.Problem("colouring")
    problem += ql.sum(v, ql.sum(k, k * x[v, k]))  # prefer low colours
    problem += ql.Constraint("one colour", ql.sum(k, x[v, k]) == 1, forall=v)
    problem += ql.CustomPenaltyTerm("conflict", ql.sum(e, ql.sum(k, x[E[e, 0], k] * x[E[e, 1], k])))
    rng = np.random.default_rng(nodes if seed is None else seed)
    pairs = rng.integers(0, nodes, (int(nodes * degree), 2))
    pairs = np.unique(np.sort(pairs[pairs[:, 0] != pairs[:, 1]], axis=1), axis=0)
    return problem, {"V": nodes, "K": colours, "M": len(pairs), "E": pairs}


def dense_square(n: int, *, integer: bool = False, seed: int = 11) -> Model:
    """The square of one long weighted sum of n binaries, (sum_i a[i] x[i] - b)^2: a dense quadratic."""
    N, B = ql.Placeholder("N"), ql.Placeholder("B")
    a = ql.Placeholder("a", ndim=1)
    x = ql.BinaryVar("x", shape=(N,))
    i = ql.Element("i", N)
    problem = ql.Problem("dense square")
    problem += (ql.sum(i, a[i] * x[i]) - B) ** 2
    rng = np.random.default_rng(seed)
    weights = rng.integers(1, 100, n) if integer else rng.uniform(1.0, 100.0, n)
    return problem, {"N": n, "a": weights, "B": float(weights.sum() / 2) if not integer else int(weights.sum() // 2)}
