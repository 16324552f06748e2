"""Limits of the binary lowering: numbers a QUBO cannot hold, and memory that must follow the
distinct terms of the result rather than every contribution the model makes.

The native lowering merges the contributions it has collected once there are many of them
(after 2**16 records first, then 2**20 or twice the distinct terms), and adds into a map while
they repeat their keys; every coefficient must stay exactly the dict route's.
"""

import itertools
import math
import os
import re
import subprocess
import sys

import numpy as np
import pytest
from test_native_route import assert_same

import quillon as ql
from quillon_transpiler import to_pubo, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.pubo.int_encoder import make_encoder

ROUTES = {
    "dict": lambda problem, instance, **kw: to_pubo(compile_model(problem, instance), **kw),
    "native": lambda problem, instance, **kw: to_qubo_arrays(problem, instance, progress=False, **kw),
    "compiled": lambda problem, instance, **kw: to_qubo_arrays(compile_model(problem, instance), **kw),
}


def item_model(item):
    """One item of each kind reading d (coefficients) and e (constants), made bad at index 1."""
    N, d, e = ql.Placeholder("N"), ql.Placeholder("d", ndim=1), ql.Placeholder("e", ndim=1)
    x = ql.BinaryVar("x", shape=(N,))
    i, k = ql.Element("i", N), ql.Element("k", N)
    problem = ql.Problem(item)
    if item == "objective":  # a sum at the root: the native compile hands its terms over in parts
        problem += ql.sum(i, d[i] * x[i] * x[(i + 2) % N] + e[i])
        return problem
    problem += x[0] * x[2]
    if item == "constraint":
        problem += ql.Constraint("c", d[k] * x[k] + x[(k + 1) % N] == e[k], forall=k)
    elif item == "penalty":
        problem += ql.CustomPenaltyTerm("p", d[k] * x[k] * x[(k + 1) % N] + e[k], forall=k)
    else:
        problem += ql.CustomPenaltyTerm("p", (d[k] * x[k] + x[(k + 1) % N] + e[k]) ** 2, forall=k)
    return problem


NAMES = {
    "objective": "In objective: ",
    "constraint": "Constraint `c` at forall key (1,): ",
    "penalty": "Penalty `p` at forall key (1,): ",
    "square": "Penalty `p` at forall key (1,): ",
}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", ["coefficient", "constant"])
@pytest.mark.parametrize("item", NAMES)
def test_non_finite_data_is_refused_naming_the_item(item, where, bad, route):
    d, e = np.array([1.0, 2.0, 3.0]), np.array([0.5, 0.5, 0.5])
    (d if where == "coefficient" else e)[1] = bad
    with pytest.raises(ValueError) as error:
        ROUTES[route](item_model(item), {"N": 3, "d": d, "e": e})
    # the compile keeps IEEE arithmetic: an inf may turn other terms NaN too (inf * 0)
    named = r"(the term \(\d+(, \d+)*,?\) has the coefficient|the constant is) (nan|-?inf)\. "
    assert re.match(re.escape(NAMES[item]) + named, str(error.value)), str(error.value)
    assert "check the instance data and the fixed values for inf or NaN" in str(error.value)


@pytest.mark.parametrize("weights", [{}, {"constraint_weight": 1.0}])
@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("item", NAMES)
def test_complex_data_is_refused_naming_the_item(item, route, weights):
    # complex arrays compile (their numbers keep their type), but no energy of a complex
    # polynomial is least: every route refuses it, automatic weights included
    d = np.array([1.0, 2.0 + 1j, 3.0])
    with pytest.raises(ValueError) as error:
        ROUTES[route](item_model(item), {"N": 3, "d": d, "e": np.full(3, 0.5)}, **weights)
    said = str(error.value)  # every entry of a complex array is complex: the first item is named
    assert said.startswith(NAMES[item].replace("(1,)", "(0,)")) and "a complex number" in said, said


@pytest.mark.parametrize("route", ["dict", "native"])
@pytest.mark.parametrize("item", ["constraint", "penalty", "square"])
def test_an_item_of_weight_zero_is_not_checked(item, route):
    instance = {"N": 3, "d": np.array([1.0, np.inf, 3.0]), "e": np.zeros(3)}
    weight = {"constraint_weight" if item == "constraint" else "penalty_weight": 0}
    result = ROUTES[route](item_model(item), instance, **weight)
    coeff = result.coeff if route == "dict" else result.to_dict()
    assert coeff == {(0, 1): 1}  # x[0] * x[2] alone


OVERFLOWS = {
    # finite data whose weighted sums leave float64: which term, and how it is made
    "quadratic": (lambda x: 1e308 * x[0] * x[1], lambda x: 1e308 * x[0] * x[1], {}, "inf of the term (0, 1)"),
    "linear": (lambda x: -1e308 * x[2], lambda x: -1e308 * x[2], {}, "the coefficient -inf of the term (0,)"),
    "cubic": (lambda x: 1e308 * x[0] * x[1] * x[2], lambda x: 1e308 * x[0] * x[1] * x[2], {}, "the term (0, 1, 2)"),
    "weight": (lambda x: x[0], lambda x: 1e200 * x[1] * x[2], {"penalty_weight": 1e200}, "inf of the term (1, 2)"),
    "constant": (lambda x: x[0] + 1e308, lambda x: x[1] + 1e308, {}, "the constant inf"),
}


@pytest.mark.parametrize("route", ["dict", "native"])
@pytest.mark.parametrize("case", OVERFLOWS)
def test_coefficients_overflowing_from_finite_data_are_refused(case, route):
    objective, penalty, weights, named = OVERFLOWS[case]
    x = ql.BinaryVar("x", shape=(3,))
    problem = ql.Problem(case)
    problem += objective(x)
    problem += ql.CustomPenaltyTerm("p", penalty(x))
    with pytest.raises(ValueError, match="overflow float64") as error:
        ROUTES[route](problem, {}, **weights)
    assert named in str(error.value)


@pytest.mark.parametrize("route", ["dict", "native"])
@pytest.mark.parametrize("square", [lambda s: s**2, lambda s: s * s], ids=["power", "product"])
def test_a_square_past_float64_is_refused_as_a_product_past_it(square, route):
    # Python's float power raises an OverflowError naming nothing where a product is inf
    x = ql.BinaryVar("x", shape=(2,))
    problem = ql.Problem("square")
    problem += x[0]
    problem += ql.CustomPenaltyTerm("p", square(1e200 * x[1] - 1))
    assert compile_model(problem, {}).penalty["p"][()].coeff[(1, 1)] == math.inf
    with pytest.raises(ValueError, match=r"Penalty `p`: the term \(1, 1\) has the coefficient inf"):
        ROUTES[route](problem, {})


def compaction_model(kind, items, seed=0):
    """Models whose contributions cross the native lowering's compactions; float weights from
    a uniform draw, so that adding a term's contributions in another order changes last bits."""
    rng = np.random.default_rng(seed)
    K, S, M = ql.Placeholder("K"), ql.Placeholder("S"), ql.Placeholder("M")
    w, G = ql.Placeholder("w", ndim=2), ql.Placeholder("G", ndim=1)
    x = ql.BinaryVar("x", shape=(S,))
    i, k = ql.Element("i", S), ql.Element("k", K)
    size = 50 if kind.startswith("kept") else 200
    weights = rng.uniform(-1, 1, (items, size)) / 3
    if kind.endswith("int"):
        weights = rng.integers(-5, 6, (items, size))
    instance = {"K": items, "S": size, "w": weights}
    problem = ql.Problem(kind)
    if kind.startswith("repeats"):
        problem += ql.Constraint("c", ql.sum(i, w[k, i] * x[i]) == 1, forall=k)
    elif kind == "squares":
        problem += ql.CustomPenaltyTerm("s", (ql.sum(i, w[k, i] * x[i]) - 1) ** 2, forall=k)
    elif kind.startswith("kept"):
        # 52 items over groups of their own (few repeats: the records are kept), then items
        # over five groups, whose terms then take several contributions after the kept ones
        y = ql.BinaryVar("y", shape=(M, S))
        problem += ql.Constraint("c", ql.sum(i, w[k, i] * y[G[k], i]) == 1, forall=k)
        instance.update(M=52, G=np.concatenate([np.arange(52), np.arange(items - 52) % 5]))
    elif kind == "mixed":
        # repeats (added into the map), then squares of mostly new variables (records again)
        y = ql.BinaryVar("y", shape=(K, S))
        problem += ql.Constraint("c", ql.sum(i, w[k, i] * x[i]) == 1, forall=k)
        problem += ql.CustomPenaltyTerm("s", (ql.sum(i, w[k, i] * y[k, i]) + w[k, 0] * x[k % 5] - 1) ** 2, forall=k)
    else:  # an objective kept apart, maximised, and terms of degree 3 in first-seen order
        j = ql.Element("j", S)
        problem = ql.Problem(kind, sense=ql.ProblemSense.MAXIMIZE)
        pairs = ql.sum(i, ql.sum(j, w[i % K, j] * x[i] * x[j]))
        problem += pairs + ql.sum(i, w[0, i] * x[i] * x[(i + 1) % S] * x[(i + 2) % S])
        problem += ql.Constraint("c", ql.sum(i, w[k, i] * x[i]) == 1, forall=k)
        problem += ql.CustomPenaltyTerm("t", ql.sum(i, w[k, i] * x[i] * x[(i + k) % S] * x[(i + 3) % S]), forall=k)
    weight = 3 if kind.endswith("int") else 0.7
    return problem, instance, {"constraint_weight": weight, "penalty_weight": weight}


@pytest.mark.parametrize(
    "kind, items",
    [
        ("repeats", 3),  # 60300 records: below the first compaction
        ("repeats", 4),  # above it: added into the map from then on
        ("repeats", 60),
        ("repeats int", 4),
        ("repeats int", 60),
        ("kept", 72),
        ("kept int", 72),
        ("squares", 51),  # squares made natively: 1035300 contributions, below 2**20
        ("squares", 52),
        ("mixed", 60),
        ("objective", 60),
    ],
)
def test_compaction_keeps_the_dict_routes_coefficients(kind, items):
    problem, instance, weights = compaction_model(kind, items)
    pubo = to_pubo(compile_model(problem, instance), **weights)
    assert_same(to_qubo_arrays(problem, instance, progress=False, **weights), pubo)


CAPPED = """
import resource, sys
import quillon as ql
from quillon_transpiler import to_pubo, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model
K, N = ql.Placeholder("K"), ql.Placeholder("N")
i, k = ql.Element("i", N), ql.Element("k", K)
problem = ql.Problem("capped")
if sys.argv[1] == "repeats":
    x = ql.BinaryVar("x", shape=(N,))
    problem += ql.Constraint("c", ql.sum(i, x[i]) == 1, forall=k)
    instance = {"K": 2000, "N": 200}
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    arrays = to_qubo_arrays(problem, instance, progress=False)
    pubo = to_pubo(compile_model(problem, instance))
    print(arrays.to_dict() == pubo.coeff and arrays.offset == pubo.constant)
else:
    x = ql.BinaryVar("x", shape=(K, N))
    problem += ql.Constraint("big", ql.sum(i, x[k, i]) == 1, forall=k)
    instance = {"K": 3, "N": 2500}
    compiled = compile_model(problem, instance) if sys.argv[1] != "compile" else None
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20),) * 2)
    try:
        if sys.argv[1] == "compile":  # an objective of 2500 x 2500 products
            y, j = ql.BinaryVar("y", shape=(N, N)), ql.Element("j", N)
            problem += ql.sum(i, ql.sum(j, y[i, j] * y[j, i]))
            to_qubo_arrays(problem, instance, progress=False)
        else:
            (to_pubo if sys.argv[1] == "dict" else to_qubo_arrays)(compiled)
    except MemoryError as error:
        print(error)
"""


def capped(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), OPENBLAS_NUM_THREADS="1")
    run = subprocess.run([sys.executable, "-c", CAPPED, *args], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


@pytest.mark.no_sanitizer  # AddressSanitizer's shadow memory alone passes a 2 GiB address-space cap
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limits as Linux applies them")
def test_repeated_constraints_lower_in_memory_of_the_distinct_terms():
    # 2000 copies of a 200-term equality: 40 million contributions to 20100 terms, which took
    # more than 2 GiB when every contribution was kept until the end
    assert capped("repeats") == "True"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limits as Linux applies them")
@pytest.mark.parametrize(
    "stage, said",
    [
        ("dict", "out of memory while lowering constraint `big` at forall key ("),
        ("arrays", "out of memory while lowering constraint `big` at forall key ("),
        # AddressSanitizer's own bookkeeping maps memory too: under the cap, it may fail (and
        # stop the process) before the compile's allocation does
        pytest.param("compile", "out of memory: ", marks=pytest.mark.no_sanitizer),  # CPython's says nothing
    ],
)
def test_running_out_of_memory_says_what_was_being_built(stage, said):
    message = capped(stage)
    assert message.startswith(said), message
    assert "ree memory" in message


def walked(offset, coefs, k, c):
    """c * y**k expanded as a walk over every sequence of k choices (the offset or one binary)
    would: keys in the order first met, each the exact sum of its sequences' products."""
    choices = ([(None, offset)] if offset else []) + [(b, a) for b, a in enumerate(coefs) if a]
    sums = {}
    for sequence in itertools.product(choices, repeat=k):
        key = tuple(sorted({b for b, _ in sequence if b is not None}))
        sums[key] = sums.get(key, 0) + math.prod(a for _, a in sequence)
    return {key: c * total for key, total in sums.items()}


# (encoder, bounds, powers): the sequences a power of y chooses from, 2**12 and 3**7 and 4**6
# at most (each walked), past that merged by the binaries chosen
@pytest.mark.parametrize(
    "encoder, bounds, powers",
    [("log", (0, 3), (12, 13)), ("log", (-1, 2), (7, 8)), ("unary", (-1, 2), (6, 7))],
)
@pytest.mark.parametrize("c", [3, -0.1])
def test_powers_of_an_integer_variable_expand_as_the_walk_would(encoder, bounds, powers, c):
    for k in powers:
        y = ql.IntegerVar("y", lower_bound=bounds[0], upper_bound=bounds[1])
        problem = ql.Problem("power")
        problem += c * y**k
        compiled = compile_model(problem, {})
        offset, coefs = make_encoder(encoder, compiled).coefficients(0)
        want = walked(offset, coefs, k, c)
        model = to_pubo(compiled, encoder=encoder)
        assert list(model.coeff) == [key for key in want if key in model.coeff]
        got = {**model.coeff, (): model.constant}
        for key, value in want.items():
            assert got.get(key, 0) == (value if isinstance(c, int) else pytest.approx(value, rel=1e-12))


def test_a_high_power_of_an_integer_variable_lowers_at_once():
    # 2**64 sequences of choices give three keys: b0 + 2**64 b1 + (3**64 - 1 - 2**64) b0 b1
    script = (
        "import quillon as ql; from quillon_transpiler import to_pubo\n"
        "y = ql.IntegerVar('y', lower_bound=0, upper_bound=3); p = ql.Problem('p'); p += y**64\n"
        "print(to_pubo(p, {}, progress=False).coeff)"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert run.stdout.strip() == str({(0,): 1, (0, 1): 3**64 - 1 - 2**64, (1,): 2**64}), run.stderr
