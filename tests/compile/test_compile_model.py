import dataclasses
import inspect
import re
import warnings

import numpy as np
import pytest

import quillon as ql
import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler import testing, to_qubo_arrays
from quillon_transpiler.core.compile import CompiledInstance
from quillon_transpiler.core.compile.compile import (
    _decision_variables,
    _get_ph_vars,
    compile_model,
    eval_deci_var_shape,
)
from quillon_transpiler.core.compile.convert_to_substitutable import ProblemSense
from quillon_transpiler.exceptions import SubstituteError

N = ql.Placeholder("N")
d = ql.Placeholder("d", 2)
v = ql.Placeholder("v", 1)
w = ql.Placeholder("w", 1)
W = ql.Placeholder("W")
c = ql.Placeholder("c", 1)
x = ql.BinaryVar("x", shape=(N, N))
b = ql.BinaryVar("b", shape=(N,))
i = ql.Element("i", N)
j = ql.Element("j", N)
t = ql.Element("t", N)


def tsp():
    problem, _ = testing.tsp(3, factor_distance=True)
    return problem


def knapsack():
    problem = ql.Problem("knapsack", sense=ql.ProblemSense.MAXIMIZE)
    problem += ql.sum(i, v[i] * b[i])
    problem += ql.Constraint("weight", ql.sum(i, w[i] * b[i]) <= W)
    problem += ql.Constraint("pair", b[i] + b[i + 1] <= 1, forall=[(i, i < N - 1)])
    problem += ql.CustomPenaltyTerm("smooth", (b[i] - b[i + 1]) ** 2, forall=[(i, i < N - 1)])
    return problem


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_tsp_polynomials_match_numpy(seed, evaluate, assign):
    rng = np.random.default_rng(seed)
    n = 5
    dist = rng.random((n, n))
    compiled = compile_model(tsp(), {"d": dist, "N": n})
    assert compiled.var_map.var_num == n * n
    assert compiled.deci_var_shape == {"x": (n, n)}
    for _ in range(5):
        X = rng.integers(0, 2, (n, n))
        values = assign(compiled, {"x": X})
        expected = sum(dist[a, e] * X[a, s] * X[e, (s + 1) % n] for a in range(n) for e in range(n) for s in range(n))
        assert evaluate(compiled.objective, values) == pytest.approx(expected)
        assert {k: evaluate(p, values) for k, p in compiled.constraint["one step per city"].items()} == {
            (a,): X[a].sum() - 1 for a in range(n)
        }
        assert {k: evaluate(p, values) for k, p in compiled.constraint["one city per step"].items()} == {
            (s,): X[:, s].sum() - 1 for s in range(n)
        }


@pytest.mark.parametrize("seed", [0, 1])
def test_knapsack_polynomials_match_numpy(seed, evaluate, assign):
    rng = np.random.default_rng(seed)
    n = 6
    instance = {"v": rng.integers(1, 50, n), "w": rng.random(n), "W": 1.5, "N": n}
    compiled = compile_model(knapsack(), instance)
    assert compiled.sense is ProblemSense.MAXIMIZE
    for _ in range(5):
        B = rng.integers(0, 2, n)
        values = assign(compiled, {"b": B})
        assert evaluate(compiled.objective, values) == pytest.approx(instance["v"] @ B)
        assert list(compiled.constraint["weight"]) == [()]
        assert evaluate(compiled.constraint["weight"][()], values) == pytest.approx(instance["w"] @ B - 1.5)
        pair = compiled.constraint["pair"]
        smooth = compiled.penalty["smooth"]
        assert list(pair) == list(smooth) == [(a,) for a in range(n - 1)]
        assert [evaluate(p, values) for p in pair.values()] == list(B[:-1] + B[1:] - 1)
        assert [evaluate(p, values) for p in smooth.values()] == list((B[:-1] - B[1:]) ** 2)


@pytest.mark.parametrize("n", [2, 3, 5])
def test_a_written_out_tsp_compiles_as_its_placeholder_form(n):
    """Term by term (each access met in many terms, shared once lowered) and with sums over
    data, twice each (a model's second compile keeps its trees): the same polynomials."""
    written, _ = testing.written_tsp(n)
    placed, instance = testing.tsp(n, onehot="penalty")

    def labelled(compiled, poly):
        names = {index: subs for subs, index in compiled.var_map.var_map["x"].items()}
        return {tuple(sorted(names[k] for k in key)): value for key, value in poly.coeff.items()}, poly.constant

    for _ in range(2):
        got, expected = compile_model(written, {}), compile_model(placed, instance)
        assert labelled(got, got.objective) == labelled(expected, expected.objective)
        for k in range(n):
            for label, rule in (("step", "one city per step"), ("city", "one step per city")):
                assert labelled(got, got.penalty[f"{label}{k}"][()]) == labelled(expected, expected.penalty[rule][(k,)])


def test_indices_follow_instantiation_order():
    problem = ql.Problem("order")
    problem += ql.CustomPenaltyTerm("pen", b[3])
    problem += b[2]
    problem += ql.Constraint("late", b[1] + b[0] <= 1)
    problem += ql.Constraint("early", b[0] <= 1)
    compiled = compile_model(problem, {"N": 4})
    assert compiled.var_map.var_map == {"b": {(2,): 0, (1,): 1, (0,): 2, (3,): 3}}
    assert list(compiled.constraint) == ["late", "early"]


def test_forall_keys_and_empty_foralls():
    problem = ql.Problem("keys")
    problem += ql.Constraint("pairs", x[i, j] <= 1, forall=[i, (j, j < i)])
    problem += ql.Constraint("never", b[i] <= 1, forall=[(i, i > N)])
    problem += ql.CustomPenaltyTerm("plain", b[0])
    compiled = compile_model(problem, {"N": 3})
    assert list(compiled.constraint["pairs"]) == [(1, 0), (2, 0), (2, 1)]
    assert all(type(s) is int for key in compiled.constraint["pairs"] for s in key)
    assert compiled.constraint["never"] == {}
    assert list(compiled.penalty["plain"]) == [()]


def test_penalties_follow_the_models_order():
    problem = ql.Problem("p")
    for label in ("z", "a", "m"):
        problem += ql.CustomPenaltyTerm(label, b[0])
    compiled = compile_model(problem, {"N": 1})
    assert list(compiled.penalty) == list(compiled.problem.penalties) == ["z", "a", "m"]


@pytest.mark.filterwarnings("ignore::UserWarning")  # overruled pins, a label of no variable
@pytest.mark.parametrize(
    "fixed, pins, expected",
    [
        (None, [(b[0] == 1, ())], {"b": {(0,): 1}}),
        ({"b": {(0,): 0}}, [(b[0] == 1, ())], {"b": {(0,): 0}}),
        ({"b": {(1,): 0}}, [(b[0] == 1, ())], {"b": {(0,): 1, (1,): 0}}),
        (None, [(b[0] == 1, ()), (b[0] == 0, ())], {"b": {(0,): 1}}),
        ({"x": {(0, 0): 1}}, [(b[i] == c[i], i)], {"x": {(0, 0): 1}, "b": {(0,): 4, (1,): 5, (2,): 6}}),
    ],
)
def test_pinning_precedence(fixed, pins, expected, evaluate):
    problem = ql.Problem("pins")
    problem += ql.sum(i, b[i])
    for k, (pin, forall) in enumerate(pins):
        problem += ql.Constraint(f"pin{k}", pin, forall=forall)
    problem += ql.Constraint("kept", b[0] + b[1] <= 1)
    compiled = compile_model(problem, {"N": 3, "c": [4, 5, 6]}, fixed)
    assert compiled.data.fixed_variables == expected
    if fixed is not None:
        assert compiled.data.fixed_variables is fixed
    assert list(compiled.constraint) == ["kept"]
    # fixed entries are constants: only the free ones are variables
    pinned = expected.get("b", {})
    assert sorted(compiled.var_map.var_map.get("b", {})) == [(s,) for s in range(3) if (s,) not in pinned]
    assert evaluate(compiled.objective, {k: 0 for k in range(3)}) == sum(pinned.values())


Y = ql.IntegerVar("y", shape=(N,), lower_bound=0, upper_bound=3)


@pytest.mark.parametrize(
    "fixed, pin, warning",
    [
        ({"b": {(0,): 0}}, b[0] == 1, r"constraint `pin` pins b\[0\] to 1, but it is fixed to 0 already"),
        (None, b[1] == 2, r"constraint `pin` pins b\[1\] to 2, but a binary variable takes 0 or 1"),
        (None, Y[0] == 7, r"pins y\[0\] to 7, but the integer variable takes values in \[0, 3\]"),
        ({"b": {(0,): 0.5}}, None, r"fixes b\[0\] to 0.5, but a binary variable takes 0 or 1"),
        ({"y": {(1,): 1.5}}, None, r"fixes y\[1\] to 1.5, but an integer variable takes integral values"),
        ({"z": {(): 1}}, None, r"fixes `z`, which is no decision variable of the model"),
        ({"b": {(3,): 1}}, None, r"fixed_variables: Subscript 3 on axis 0 of b\[3\] is out of range"),
        (None, (b[i % 2] == c[i], i), r"constraint `pin` pins b\[0\] to 1 and to 0 for two assignments of its forall"),
    ],
)
def test_values_no_assignment_can_take_are_compiled_as_given_with_a_warning(fixed, pin, warning):
    """A pin that the value fixed before overrules, or a value the variable cannot take: the
    model compiles as it did, and a warning names the value, at the caller's line."""
    problem = ql.Problem("pins")
    problem += ql.sum(i, b[i] + Y[i])
    if pin is not None:
        problem += ql.Constraint("pin", *(pin if isinstance(pin, tuple) else (pin,)))
    instance = {"N": 3, "c": [1, 0, 0]}
    with pytest.warns(UserWarning, match=warning) as caught:
        compiled = compile_model(problem, instance, fixed)
    assert caught[0].filename == __file__
    assert "pin" not in compiled.constraint
    with pytest.warns(UserWarning, match=warning):
        assert to_qubo_arrays(problem, instance, fixed, progress=False).num_binaries > 0


@pytest.mark.parametrize("route", ["arrays", "cqm", "tune"])
@pytest.mark.parametrize(
    "fixed, pins, gap",
    [
        (None, [Y[0] == 7], 4.0),  # y takes [0, 3]
        (None, [Y[0] == 2.5], 0.5),
        (None, [b[1] == 2], 1.0),
        (None, [Y[0] == 1, Y[0] == 3], 2.0),  # the first pin wins; the second never holds
        ({"b": {(0,): 0}}, [b[0] == 1], 1.0),
    ],
)
def test_a_pin_no_assignment_satisfies_leaves_no_sample_feasible(route, fixed, pins, gap):
    """The variable is fixed as pinned and the constraint leaves the model, as for any pin: every
    sample must still report the constraint violated, not pass for a feasible answer."""
    dimod = pytest.importorskip("dimod")
    from quillon_transpiler import solve

    problem = ql.Problem("pins")
    problem += ql.sum(i, b[i] + Y[i])
    problem += ql.Constraint("free", b[2] + Y[2] >= 1)
    for k, pin in enumerate(pins):
        problem += ql.Constraint(f"pin{k}", pin)
    from quillon_transpiler import tune_weights

    sampler = dimod.ExactCQMSolver() if route == "cqm" else dimod.ExactSolver()
    with pytest.warns(UserWarning, match="no assignment satisfies the constraint"):
        if route == "tune":  # no weight can mend it: tuning ends at once, infeasible
            tuned = tune_weights(problem, {"N": 3}, sampler, fixed_variables=fixed)
            assert not tuned.feasible and len(tuned.history) == 1
            decoded = tuned.sampleset
        else:
            decoded = solve(problem, {"N": 3}, sampler, fixed_variables=fixed)
    broken = f"pin{len(pins) - 1}"
    assert set(decoded.evaluation.constraint_violations) == {"free", broken}
    assert decoded.evaluation.constraint_violations[broken] == [gap] * len(decoded)
    assert len(decoded) > 0 and len(decoded.feasible()) == 0


@pytest.mark.parametrize("route", [compile_model, to_qubo_arrays])
@pytest.mark.parametrize(
    "constraint, warning",
    [
        # the variable forgotten: w[i] <= 2 for w[i] * b[i] <= 2
        (
            (ql.sum(i, c[i]) <= 3,),
            r"`cap` holds no free decision variable, and its sides differ by 5 .*`<=` never holds",
        ),
        (
            (c[i] <= 2, i),
            r"`cap` holds no free decision variable at forall=\{'i': 1\} and 1 more assignments, .* by 2 ",
        ),
        ((N == 4,), r"`cap` holds no free decision variable, and its sides differ by -1 .*`==` never holds"),
        ((ql.sum(i, c[i]) <= 8,), None),  # it holds: nothing to say
        ((c[i] * b[i] <= 2, i), None),
    ],
)
def test_a_constraint_without_variables_that_never_holds_is_told(route, constraint, warning):
    problem = ql.Problem("p")
    problem += ql.sum(i, b[i])
    problem += ql.Constraint("cap", *constraint)
    instance = {"N": 3, "c": [1, 4, 3]}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        route(problem, instance)
    told = [str(w.message) for w in caught]
    assert (told == []) if warning is None else (len(told) == 1 and re.search(warning, told[0]))


def test_caller_inner_dicts_are_not_modified():
    inner = {(1,): 0}
    problem = ql.Problem("p")
    problem += ql.Constraint("pin", b[0] == 1)
    compiled = compile_model(problem, {"N": 2}, {"b": inner})
    assert inner == {(1,): 0}
    assert compiled.data.fixed_variables["b"] == {(0,): 1, (1,): 0}


def test_placeholder_names_and_shapes():
    problem = ql.Problem("p")
    y = ql.BinaryVar("y", shape=(N, W))
    problem += N * y[0, 0]
    problem += ql.Constraint("a", y[0, 1] <= N)
    problem += ql.Constraint("b", N >= y[1, 0])
    compiled = compile_model(problem, {"N": 3.0, "W": 2.7})
    assert compiled.data.ph_names == ["N", "N", "N"]
    compiled.data.ph_names.append("changed")  # each compile's data has its own list
    assert compile_model(problem, {"N": 3.0, "W": 2.7}).data.ph_names == ["N", "N", "N"]
    assert compiled.deci_var_shape == {"y": (3, 2)}
    assert all(type(s) is int for s in compiled.deci_var_shape["y"])
    substitutable = compiled.problem
    assert [p.name for p in _get_ph_vars(substitutable)] == ["N", "N", "N"]
    assert list(_decision_variables(substitutable)) == ["y"]
    assert eval_deci_var_shape(substitutable, compiled.data) == {"y": (3, 2)}


def test_shared_accesses_list_their_placeholders_as_extract_lists_them():
    # x[0] shared between terms: its variable's bound placeholders are listed once per access
    U = ql.Placeholder("U", ndim=1)
    z = ql.IntegerVar("z", shape=(2,), lower_bound=0, upper_bound=U)
    problem = ql.Problem("p")
    problem += z[0] * z[1] + 3 * z[0] + z[0] * N
    problem += ql.CustomPenaltyTerm("q", (z[1] + z[0] - 1) ** 2)
    compiled = compile_model(problem, {"U": [3, 4], "N": 2})
    listed = [p.name for p in _get_ph_vars(compiled.problem)]
    assert compiled.data.ph_names == listed and listed.count("U") == 6


def every_node_model():
    """Placeholders and variables under every kind of node: sums with conditions, powers,
    mod, ln, lengths of data, an integer variable with data bounds, each variable met in
    another order in each item."""
    A, B = ql.Placeholder("A", ndim=1), ql.Placeholder("B", ndim=2)
    u = ql.IntegerVar("u", shape=(N,), lower_bound=-1, upper_bound=A)
    y = ql.BinaryVar("y", shape=(N, W))
    i, j = ql.Element("i", N), ql.Element("j", (1, B.len_at(1)))
    problem = ql.Problem("p")
    problem += ql.sum(i, ql.sum(j, B[i, j] * y[i, j], j != i) + (A[i] % 3) * u[i]) + ql.ln(W) * y[0, 0] ** 2
    problem += ql.Constraint("c", ql.sum(j, y[i, j]) + u[i] <= A[i], forall=i)
    problem += ql.CustomPenaltyTerm("q", (u[0] - N) ** 2 + ql.prod(i, 1 + 0 * A[i]) * y[1, 1])
    return problem, {"N": 2, "W": 3, "A": [2, 3], "B": [[1, 2, 3], [4, 5, 6]]}


@pytest.mark.parametrize("patched", [False, True])
def test_trees_are_scanned_as_extract_lists_them(monkeypatch, patched):
    """The compile lists placeholders and variables in one native walk of the trees' own
    classes, as extract does; a class whose extract is replaced is asked through it."""
    asked = []
    if patched:
        own = se.Subscript.extract
        monkeypatch.setattr(se.Subscript, "extract", lambda self, check: asked.append(self) or own(self, check))
    problem, data = every_node_model()
    compiled = compile_model(problem, data)
    substitutable = compiled.problem
    assert compiled.data.ph_names == [p.name for p in _get_ph_vars(substitutable)]
    assert list(compiled.deci_var_shape) == list(_decision_variables(substitutable)) == ["y", "u"]
    assert bool(asked) == patched


SIZES = {  # a size read natively when it is a machine int of constants and placeholders
    "N": lambda n: n,
    "N + 1": lambda n: n + 1,
    "2 * N": lambda n: 2 * n,
    "N * N + 1": lambda n: n * n + 1,
    "N % 3 + 2": lambda n: n % 3 + 2,
    "4": lambda n: 4,
}


@pytest.mark.parametrize("value", [3, 3.7, True, np.int64(4), np.array(5), 2**70], ids=repr)
@pytest.mark.parametrize("size", list(SIZES))
def test_shapes_as_python_evaluates_them(size, value):
    # ints, and past int64, floats (truncated by int()) and bools on the other way, each compile
    # of the same model reading its own data
    problem = ql.Problem("p")
    y = ql.BinaryVar("y", shape=(SIZES[size](N), W))
    problem += y[0, 0]
    for n in (value, 6, value):
        compiled = compile_model(problem, {"N": n, "W": 2})
        want = int(SIZES[size](n.item() if isinstance(n, np.ndarray) else n))
        assert compiled.deci_var_shape == {"y": (want, 2)}
        assert all(type(s) is int for s in compiled.deci_var_shape["y"])


@pytest.mark.parametrize("route", [compile_model, to_qubo_arrays])
@pytest.mark.parametrize("n", [-1, -1.5, np.int64(-3)], ids=repr)
def test_a_negative_size_is_refused_by_its_variable(n, route):
    """A shape of (-1,) has no subscript: every term of the variable would be lost silently."""
    problem = ql.Problem("p")
    problem += 3 + ql.sum(ql.Element("i", N), ql.BinaryVar("y", shape=(N,))[ql.Element("i", N)])
    want = "Decision variable `y` has the size -1 on axis 0 of its shape: sizes are 0 or more"
    if n == -3:
        want = want.replace("-1", "-3")
    with pytest.raises(SubstituteError, match=want):
        route(problem, {"N": n})


def test_a_size_without_data_names_its_placeholder():
    problem = ql.Problem("p")
    problem += ql.BinaryVar("y", shape=(N + 1,))[0]
    for _ in range(2):
        with pytest.raises(SubstituteError, match="`N` is missing"):
            compile_model(problem, {})


def test_interface():
    compiled = compile_model(tsp(), {"d": np.ones((3, 3)), "N": 3})
    assert isinstance(compiled, CompiledInstance) and dataclasses.is_dataclass(compiled)
    # the compile makes its records without their constructors: every field set all the same
    assert compiled == dataclasses.replace(compiled)
    assert compiled.var_map == dataclasses.replace(compiled.var_map)
    assert list(CompiledInstance.__dataclass_fields__) == [
        "sense",
        "objective",
        "constraint",
        "penalty",
        "var_map",
        "data",
        "problem",
        "deci_var_shape",
    ]
    assert str(inspect.signature(compile_model)) == (
        "(problem: 'ql.Problem', instance: 'dict[str, np.ndarray | list | int | float]', "
        "fixed_variables: 'typ.Optional[dict[dict, dict[tuple[int, ...], float]]]' = None) -> 'CompiledInstance'"
    )
    assert compile_model.__doc__.startswith("Compile a problem and an instance into a compiled model.")


@pytest.mark.parametrize(
    "instance, fixed, message",
    [
        ([("N", 3)], None, "Argument 'instance' has incorrect type (expected dict, got list)"),
        ({"N": 3}, [], "Argument 'fixed_variables' has incorrect type (expected dict, got list)"),
    ],
)
def test_argument_types(instance, fixed, message):
    with pytest.raises(TypeError) as info:
        compile_model(tsp(), instance, fixed)
    assert str(info.value) == message


@pytest.mark.parametrize("subscript", [0.5, np.float64(0.7), float("nan"), "0", None])
def test_a_fixed_value_at_subscripts_no_variable_has_is_refused(subscript):
    """x[0.5] would match no variable and leave it free, while the record said it was fixed."""
    with pytest.raises(TypeError, match=r"fixed_variables\['x'\] has the key .*: subscripts are ints"):
        compile_model(tsp(), {"N": 3, "d": np.ones((3, 3))}, {"x": {(subscript, 0): 1}})


@pytest.mark.parametrize("ones", [1.0, 1])
@pytest.mark.parametrize("degree", [1, 2, 3])
@pytest.mark.parametrize("route", ["compile_model", "to_qubo_arrays"])
def test_nested_sums_add_each_inner_sum_first(route, degree, ones):
    # Sums over i of sums over j: the terms of an inner sum are added up before the outer sum
    # adds them, as Python's nested sums do. Here 1e16 + (1.0 + 1.0) is 1e16 + 2, whereas
    # adding the three in a row, (1e16 + 1.0) + 1.0, rounds back to 1e16. Int ones keep the
    # inner sum an int (the arrays' merge takes another path when a value is not a float).
    from quillon_transpiler import to_qubo_arrays

    C = ql.Placeholder("C", 2)
    y = ql.BinaryVar("y", shape=(3,))
    monomial = y[0] if degree == 1 else y[0] * y[1] if degree == 2 else y[0] * y[1] * y[2]
    problem = ql.Problem("nested")
    problem += ql.sum(i, ql.sum(j, C[i, j] * monomial))
    coefficients = [[1e16, 0.0], [ones, ones]]
    expected = sum(sum(row) for row in coefficients)
    assert expected == 1e16 + 2 != (1e16 + 1.0) + 1.0
    instance = {"N": 2, "C": coefficients if ones == 1 else np.array(coefficients)}
    key = tuple(range(degree))
    if route == "compile_model":
        got = compile_model(problem, instance).objective.coeff[key]
    else:
        got = to_qubo_arrays(problem, instance, progress=False).to_dict()[key]
    assert got == expected


@pytest.mark.parametrize(
    "walk",
    [
        [0, 1, 2, 1, 0, 2, 2],  # dense: a row per leading subscript
        [5, 2_000_000, 5, 3, 2_000_000, 3, 5],  # sparse: past what a row holds densely
        [40, 41, 3, 40, 17, 3, 41],  # a row first met far from its start
        [2**21, 7, 2**21 + 1, 7, 2**21, 0],  # beyond the packed width
        list(range(300)) + [1000, 299, 1000, 0],  # a row that grows, then a far subscript
    ],
)
@pytest.mark.parametrize("width", [1, 2, 4])
def test_variables_met_again_keep_their_index(walk, width):
    # x[s[k], ...] * x[s[k + 1], ...] along a walk that revisits subscripts: every variable is
    # registered once, in order of first use, and each product lands on the right pair
    M, L = ql.Placeholder("M"), ql.Placeholder("L")
    s = ql.Placeholder("s", 1)
    y = ql.BinaryVar("y", shape=(M,) * width)
    k = ql.Element("k", L)
    lead = (0,) * (width - 1)
    problem = ql.Problem("walk")
    problem += ql.sum(k, y[lead + (s[k],)] * y[lead + (s[k + 1],)])
    compiled = compile_model(problem, {"M": max(walk) + 1, "L": len(walk) - 1, "s": np.array(walk)})
    index = compiled.var_map.var_map["y"]
    assert list(index) == list(dict.fromkeys(lead + (v,) for v in walk))
    assert list(index.values()) == list(range(len(index)))
    expected = {}
    for a, b in zip(walk, walk[1:]):
        key = tuple(sorted((index[lead + (a,)], index[lead + (b,)])))
        expected[key] = expected.get(key, 0) + 1
    assert compiled.objective.coeff == expected


@pytest.mark.parametrize(
    "shift, scale",
    [
        (0, 1),  # machine ints all the way
        (3, 1),  # left side below N, then past it by less than N: wrapped without a division
        (4, 3),  # left side two or more times N
        (-3, 1),  # negative left side of %: Python's sign rule
        (0, 2**62),  # the product overflows int64: Python's big ints
        (0.0, 1),  # a float in the subscript: truncated as Python does
    ],
)
def test_subscript_arithmetic_follows_python(shift, scale):
    S, A = ql.Placeholder("S"), ql.Placeholder("A")
    y = ql.BinaryVar("y", shape=(N,))
    k = ql.Element("k", N)
    problem = ql.Problem("subscripts")
    problem += ql.sum(k, y[((k + S) * A) % N])
    n = 5
    compiled = compile_model(problem, {"N": n, "S": shift, "A": scale})
    expected = [int(((v + shift) * scale) % n) for v in range(n)]
    assert list(compiled.var_map.var_map["y"]) == [(s,) for s in dict.fromkeys(expected)]


@pytest.mark.parametrize("shift", [0, 1, 3, 12, -3, 2**63 - 2])
def test_shifted_subscripts_of_variables_met_again(shift):
    # an inner sum run twice: the second run finds every variable, its subscripts computed on
    # both sides of the wrap, past twice N, below 0 (Python's sign rule) and past int64; a
    # wrong remainder would meet a variable of the second factor's
    S = ql.Placeholder("S")
    y = ql.BinaryVar("y", shape=(2 * N,))
    j, k = ql.Element("j", 2), ql.Element("k", N)
    problem = ql.Problem("shifted")
    problem += ql.sum(j, 2 * ql.sum(k, y[(k + S) % N] * y[k + N]))
    n = 5
    compiled = compile_model(problem, {"N": n, "S": shift})
    index, expected = {}, {}
    for _ in range(2):
        for v in range(n):
            a = index.setdefault(((v + shift) % n,), len(index))
            b = index.setdefault((v + n,), len(index))
            key = tuple(sorted((a, b)))
            expected[key] = expected.get(key, 0) + 2
    assert list(compiled.var_map.var_map["y"].items()) == list(index.items())
    assert compiled.objective.coeff == expected


@pytest.mark.parametrize("nested", [True, False])
@pytest.mark.parametrize("rows, cols", [(1, 300), (16, 16), (17, 16), (40, 50)])
def test_objective_parts_across_storage_blocks(rows, cols, nested):
    # the root sum's parts are stored in blocks of growing size; totals on both sides of a
    # block's end, and a part larger than the first block, must come back whole on both routes
    from quillon_transpiler import to_qubo_arrays

    R, C = ql.Placeholder("R"), ql.Placeholder("C")
    a = ql.Placeholder("a", 2)
    y = ql.BinaryVar("y", shape=(R, C))
    r, q = ql.Element("r", R), ql.Element("q", C)
    problem = ql.Problem("blocks")
    # one part per term, or one part per row
    problem += ql.sum(r, ql.sum(q, a[r, q] * y[r, q])) if nested else ql.sum(r, ql.sum(q, a[r, q] * y[r, q]) * 1)
    values = np.random.default_rng(rows * cols).integers(1, 10**6, (rows, cols)) / 8
    instance = {"R": rows, "C": cols, "a": values}
    expected = {(k,): float(value) for k, value in enumerate(values.ravel())}
    assert compile_model(problem, instance).objective.coeff == expected
    linear = to_qubo_arrays(problem, instance, progress=False).linear
    assert dict(((k,), float(value)) for k, value in enumerate(linear)) == expected


CONDITIONS = {
    "i < 3": (lambda i: i < 3, lambda n: range(3)),
    "7 <= i != 9 < 12": (lambda i: (7 <= i) & (i != 9) & (i < 12), lambda n: [7, 8, 10, 11]),
    "N - 2 <= i": (lambda i: N - 2 <= i, lambda n: range(n - 2, n)),
    "i % 20 == 3": (lambda i: i % 20 == 3, lambda n: range(3, n, 20)),  # tested value by value
}


@pytest.mark.parametrize("where", ["sum", "forall"])
@pytest.mark.parametrize(
    "condition, n",
    # either side of the range length from which a condition's runs are told; a condition
    # without runs visits every value
    [(c, n) for c in CONDITIONS for n in (60, 70, 10**12) if n < 10**12 or not c.startswith("i %")],
)
def test_conditions_over_long_ranges_keep_what_they_let_through(condition, n, where):
    make, kept = CONDITIONS[condition]
    i, y = ql.Element("i", N), ql.BinaryVar("y", shape=(7,))
    problem = ql.Problem("p")
    if where == "sum":
        problem += ql.sum(i, (i + 1) * y[i % 7], condition=make(i))
    else:
        problem += ql.Constraint("c", y[i % 7] <= 1, forall=[(i, make(i))])
    compiled = compile_model(problem, {"N": n})
    if where == "forall":
        assert list(compiled.constraint["c"]) == [(v,) for v in kept(n)]
        return
    index = {k: v for k, v in compiled.var_map.var_map["y"].items()}
    want: dict = {}
    for v in kept(n):
        want[(index[(v % 7,)],)] = want.get((index[(v % 7,)],), 0) + v + 1
    assert compiled.objective.coeff == want
