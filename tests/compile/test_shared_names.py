"""Names a model gives twice, and fixed values of other number types: the model compiled must be
the one written, or refused by name, never another one silently."""

import numpy as np
import pytest

import quillon as ql
from quillon_transpiler import SubstituteError, compile_model, to_cqm, to_qubo_arrays

N = ql.Placeholder("n")
V, W = ql.Placeholder("v", ndim=1), ql.Placeholder("w", ndim=1)
J, K = ql.Placeholder("J", ndim=2), ql.Placeholder("K", ndim=2)
X = ql.BinaryVar("x", shape=(6,))
Y = ql.BinaryVar("y", shape=(6, 6))
EI = ql.Element("i", N)
DATA = {
    "n": 4,
    "v": [3, 0, 1, 1, 2],
    "w": [5, 4, 3, 2, 1, 0],
    "J": [[0, 3], [1], [], [2, 2, 0]],
    "K": [[1, 1, 1], [0], [3, 2], []],
}
DOMAINS = {"range": lambda name: ql.Element(name, N), "v": lambda name: ql.Element(name, V)}
DOMAINS["w"] = lambda name: ql.Element(name, W)


def two_sums(first, second):
    def build(name):
        a, b = DOMAINS[first]("t"), DOMAINS[second](name)
        return ql.sum(a, X[a]) + ql.sum(b, 10 * X[b])

    return build


def jagged_rows(name):
    a, b = ql.Element("t", J[EI]), ql.Element(name, K[EI])
    return ql.sum(EI, ql.sum(a, Y[EI, a])) + ql.sum(EI, ql.sum(b, 10 * Y[EI, b]))


def neighbours_twice(name):  # one helper's neighbour sum, used for two outer elements
    j = ql.Element("j", N)
    a, b = ql.Element("t", J[EI]), ql.Element(name, J[j])
    return ql.sum(EI, X[EI] * ql.sum(a, X[a])) + ql.sum(j, 3 * ql.sum(b, Y[j, b]))


CASES = {
    "range then data": two_sums("range", "v"),
    "data then range": two_sums("v", "range"),
    "data then other data": two_sums("v", "w"),
    "two jagged rows": jagged_rows,
    "rows of one array, two outer elements": neighbours_twice,
}


def labelled(poly, var_map):
    names = {index: (label, s) for label, by in var_map.items() for s, index in by.items()}
    return {tuple(sorted(names[k] for k in key)): c for key, c in poly.coeff.items() if c}, poly.constant


@pytest.mark.parametrize("where", ["objective", "penalty", "constraint"])
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_elements_sharing_a_name_run_over_their_own_domains(case, where):
    """A second element named like an earlier one (a helper that makes its own Element("t", ...))
    compiles as it would under a name of its own."""

    def problem(name):
        p = ql.Problem("names")
        if where == "objective":
            p += case(name)
        elif where == "penalty":
            p += X[0]
            p += ql.CustomPenaltyTerm("pen", case(name))
        else:
            p += X[0]
            p += ql.Constraint("c", case(name) == 3)
        return p

    shared, own = compile_model(problem("t"), DATA), compile_model(problem("u"), DATA)
    pick = {
        "objective": lambda c: c.objective,
        "penalty": lambda c: c.penalty["pen"][()],
        "constraint": lambda c: c.constraint["c"][()],
    }[where]
    assert labelled(pick(shared), shared.var_map.var_map) == labelled(pick(own), own.var_map.var_map)
    a = to_qubo_arrays(problem("t"), DATA, constraint_weight=1, progress=False)
    b = to_qubo_arrays(problem("u"), DATA, constraint_weight=1, progress=False)
    assert a.labels() == b.labels() and a.to_dict() == b.to_dict() and a.offset == b.offset


@pytest.mark.parametrize(
    "other",
    [
        ql.IntegerVar("x", shape=(6,), lower_bound=0, upper_bound=5),
        ql.IntegerVar("x", shape=(6,), lower_bound=0, upper_bound=1),  # a binary's range, another kind
    ],
    ids=["integer", "integer of a binary's range"],
)
@pytest.mark.parametrize("first", [True, False], ids=["binary first", "binary second"])
def test_one_name_for_two_declarations_is_refused(other, first):
    p = ql.Problem("p")
    p += X[0] + 2 * other[0] if first else 2 * other[0] + X[0]
    with pytest.raises(SubstituteError, match=r"`x` is declared twice, as BINARY .* INTEGER|as INTEGER .* BINARY"):
        compile_model(p, {})


@pytest.mark.parametrize("first", [True, False], ids=["smaller first", "larger first"])
def test_one_name_for_two_shapes_is_refused_in_either_order(first):
    small, large = ql.BinaryVar("w", shape=(3,)), ql.BinaryVar("w", shape=(5,))
    p = ql.Problem("p")
    p += small[0] - large[4] if first else -large[4] + small[0]
    with pytest.raises(SubstituteError, match=r"`w` is declared twice, with the shapes \((3|5),\) and \((5|3),\)"):
        compile_model(p, {})


def test_integer_variables_of_one_name_and_other_bounds_are_refused():
    a = ql.IntegerVar("z", lower_bound=0, upper_bound=5)
    b = ql.IntegerVar("z", lower_bound=-3, upper_bound=1)
    p = ql.Problem("p")
    p += a + b
    with pytest.raises(SubstituteError, match=r"`z` is declared twice, as INTEGER with bounds \[0, 5\]"):
        to_qubo_arrays(p, {}, progress=False)


Z = ql.IntegerVar("z", shape=(2,), lower_bound=-200, upper_bound=200)


def fixed_model():
    p = ql.Problem("fixed")
    p += 7 * (X[0] + X[1] + X[2] + 10) ** 2 + (Z[0] + Z[1] + 3) ** 2
    p += ql.Constraint("c", X[1] + X[2] + Z[1] <= 5)
    return p


@pytest.mark.filterwarnings("ignore:fixed_variables fixes z")  # past its bounds: used as given
@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int64, np.float32], ids=lambda t: t.__name__)
@pytest.mark.parametrize(
    "values", [{"x": 1, "z": 100}, {"x": 0, "z": 4_000_000_000}], ids=["small", "square past int64"]
)
@pytest.mark.parametrize("route", ["compile", "arrays", "cqm"])
def test_fixed_values_as_numpy_scalars_are_their_python_numbers(dtype, values, route):
    """A sample read off a sampler's int8 array fixes variables with NumPy scalars: they are
    computed with as the equal Python numbers, not in their own width."""
    if np.issubdtype(dtype, np.integer) and np.iinfo(dtype).max < values["z"]:
        pytest.skip("the value does not fit the dtype")
    numpy = {"x": {(0,): dtype(values["x"])}, "z": {(0,): dtype(values["z"])}}
    python = {label: {s: v.item() for s, v in by.items()} for label, by in numpy.items()}
    if route == "compile":
        a, b = compile_model(fixed_model(), {}, numpy), compile_model(fixed_model(), {}, python)
        assert labelled(a.objective, a.var_map.var_map) == labelled(b.objective, b.var_map.var_map)
        assert a.data.fixed_variables == b.data.fixed_variables
    elif route == "arrays":
        a = to_qubo_arrays(fixed_model(), {}, numpy, constraint_weight=2, progress=False)
        b = to_qubo_arrays(fixed_model(), {}, python, constraint_weight=2, progress=False)
        assert a.to_dict() == b.to_dict() and a.offset == b.offset
    else:
        pytest.importorskip("dimod")
        if values["z"] > 2**26 and np.issubdtype(dtype, np.integer):  # an int constant a float64 rounds
            for fixed in (numpy, python):
                with pytest.raises(ValueError, match="In objective: the constant is an integer that a float64"):
                    to_cqm(fixed_model(), {}, fixed, progress=False).get_model()
            return
        a = to_cqm(fixed_model(), {}, numpy, progress=False).get_model()
        b = to_cqm(fixed_model(), {}, python, progress=False).get_model()
        assert a.objective.is_equal(b.objective)
