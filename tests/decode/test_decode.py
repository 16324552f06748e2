import math
import types

import numpy as np
import pytest

import quillon as ql
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.decode.decode import dict_to_record
from quillon_transpiler.core.var_registry import VarRegistry


def instance(var_map, shapes, fixed=None):
    """The three attributes decoding reads, without compiling a model."""
    registry = VarRegistry({}, 0, {})
    for label, subscripts in var_map:
        registry.add_variable(label=label, subscripts=subscripts)
    return types.SimpleNamespace(
        var_map=registry, data=types.SimpleNamespace(fixed_variables=fixed or {}), deci_var_shape=shapes
    )


X3 = [("x", (0,)), ("x", (1,)), ("x", (2,))]


@pytest.mark.parametrize(
    "samples, expected",
    [
        ([{1: 1, 0: 0, 2: 0}], [(([1],), [1], (3,))]),
        ([{}], [(([],), [], (3,))]),
        ([{2: 0.5, 0: -1}], [(([0, 2],), [-1, 0.5], (3,))]),  # registration order, values as found
        ([{0: 1}, {}, {1: 2}], [(([0],), [1], (3,)), (([],), [], (3,)), (([1],), [2], (3,))]),
        ([], []),
    ],
)
def test_samples_to_sparse_solutions(samples, expected):
    record = dict_to_record(iter(samples), instance(X3, {"x": (3,)}))  # iterated once
    assert record.solution == {"x": expected}
    assert record.num_occurrences == [1] * len(samples)
    for got, want in zip(record.solution["x"], expected):
        assert [type(v) for v in got[1]] == [type(v) for v in want[1]]


def test_nan_is_recorded_and_fixed_values_follow_the_solver():
    compiled = instance(X3[1:], {"x": (3,)}, {"x": {(0,): 1}})
    (sparse,) = dict_to_record([{0: math.nan, 1: 0.0}], compiled).solution["x"]
    assert sparse[0] == ([1, 0],) and math.isnan(sparse[1][0]) and sparse[1][1:] == [1]


def test_two_axes_and_jagged_shape():
    compiled = instance([("y", (0, 0)), ("y", (1, 2)), ("s", ())], {"y": (2, None), "s": ()})
    record = dict_to_record([{1: 0.5, 2: 3}], compiled)
    assert record.solution == {"y": [(([1], [2]), [0.5], (2, 0))], "s": [((), [3], ())]}


@pytest.mark.parametrize(
    "fixed, shapes, expected",
    [
        # every element of z fixed: reported after the registry's labels with its non-zero values
        ({"z": {(0, 1): 2, (1, 0): 0}}, {"x": (3,), "z": (2, None)}, {"z": (([0], [1]), [2], (2, 0))}),
        # without a shape entry the fixed subscripts span the shape
        ({"z": {(0, 1): 2, (3, 0): 0}}, {"x": (3,)}, {"z": (([0], [1]), [2], (4, 2))}),
        # in the order of the fixed-variables map; scalar and all-zero labels too
        (
            {"u": {(): 1.5}, "x": {(0,): 1}, "t": {(0,): 0}},
            {"x": (3,)},
            {"u": ((), [1.5], ()), "t": (([],), [], (1,))},
        ),
        ({"z": {}}, {"x": (3,)}, {}),  # a label without fixed values carries nothing to report
    ],
)
def test_fully_fixed_labels_are_reported(fixed, shapes, expected):
    record = dict_to_record([{1: 1}, {}], instance(X3[1:], shapes, fixed))
    assert list(record.solution) == ["x"] + list(expected)
    for label, sparse in expected.items():
        assert record.solution[label] == [sparse, sparse]
    assert dict_to_record([], instance(X3[1:], shapes, fixed)).solution == {"x": [], **{k: [] for k in expected}}


def test_registry_label_without_elements_takes_its_axes_from_its_shape():
    compiled = instance(X3[:1], {"x": (3,), "e": (2, None)})
    compiled.var_map.var_map["e"] = {}
    assert dict_to_record([{}], compiled).solution["e"] == [(([], []), [], (2, 0))]


@pytest.mark.parametrize(
    "compiled, error, match",
    [
        (instance(X3, {}), KeyError, "`x` has no entry in the compiled instance's deci_var_shape"),
        (instance(X3, {"x": (3,)}, {"x": {(0, 1): 1}}), ValueError, r"`x`: the fixed value at \(0, 1\) has 2"),
        (instance(X3, {"x": (3,)}, {"x": {0: 1}}), TypeError, "`x` is keyed by 0, not by a tuple"),
    ],
)
def test_malformed_instances_raise_naming_the_variable(compiled, error, match):
    with pytest.raises(error, match=match):
        dict_to_record([{}], compiled)


def test_compiled_model_with_a_fully_fixed_variable():
    N = ql.Placeholder("N")
    x = ql.BinaryVar("x", shape=(N,))
    y = ql.BinaryVar("y", shape=(N, N))
    i = ql.Element("i", N)
    problem = ql.Problem("p")
    problem += ql.sum(i, x[i] + y[i, i])
    compiled = compile_model(problem, {"N": 2}, {"y": {(0, 0): 1, (1, 1): 0}})
    index = compiled.var_map.var_map["x"]
    record = dict_to_record([{index[(1,)]: 1}], compiled)
    assert record.solution == {"x": [(([1],), [1], (2,))], "y": [(([0], [0]), [1], (2, 2))]}
    dense = {label: ql.to_dense(sparse[0]) for label, sparse in record.solution.items()}
    assert np.array_equal(dense["y"], [[1, 0], [0, 0]])


@pytest.mark.parametrize(
    "module, name, signature",
    [
        (
            "decode",
            "dict_to_record",
            "(results: 'typ.Iterable[dict[int, int | float]]', compiled_model: 'CompiledInstance') -> 'ql.Record'",
        ),
        (
            "eval_value",
            "eval_value",
            "(deci_var: 'dict[int, int | float]', subs_expr: 'SubstitutedExpression') -> 'float'",
        ),
        (
            "eval_value",
            "_eval_value",
            "(deci_var: 'dict[int, int | float]', subs_expr: 'SubstitutedExpression') -> 'float'",
        ),
        (
            "eval_energy",
            "eval_energy",
            "(var_value: 'dict[str, dict[tuple[int, ...], float]]', compiled_instance: 'CompiledInstance') -> 'float'",
        ),
    ],
)
def test_signatures(module, name, signature):
    import importlib
    import inspect

    f = getattr(importlib.import_module("quillon_transpiler.core.decode." + module), name)
    assert str(inspect.signature(f)) == signature
