"""The binary routes refuse what they cannot do right: wrongly keyed or valued samples, encoders of
another instance, bad weights and wrong objects; and a model keeps the fixed values it was built with."""

import math

import numpy as np
import pytest

import quillon as ql
from quillon_transpiler import decode, decode_pubo, to_bqm, to_pubo, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.decode.eval_energy import eval_energy
from quillon_transpiler.core.pubo.int_encoder import make_encoder
from quillon_transpiler.core.substitute.higher_subsititute import SubsExprAdd, SubsExprMul, SubsExprNode, SubsExprPower

N, U = ql.Placeholder("N"), ql.Placeholder("U")
x = ql.BinaryVar("x", shape=(N,))
y = ql.IntegerVar("y", lower_bound=0, upper_bound=U)
i = ql.Element("i", N)


def capped():
    """maximise y + sum(x) subject to y <= 7: y's bounds come from the data."""
    problem = ql.Problem("capped", sense=ql.ProblemSense.MAXIMIZE)
    problem += y + ql.sum(i, x[i])
    problem += ql.Constraint("cap", y <= 7)
    problem += ql.CustomPenaltyTerm("pair", x[0] * x[1])
    return problem


@pytest.fixture(scope="module")
def routes():
    compiled = compile_model(capped(), {"N": 3, "U": 10})
    return {"pubo": to_pubo(compiled), "arrays": to_qubo_arrays(capped(), {"N": 3, "U": 10}, progress=False)}


@pytest.mark.parametrize("route", ["pubo", "arrays"])
def test_every_key_the_package_hands_out_decodes_alike(routes, route):
    model = routes[route]
    labels = model.labels()
    bits = [1, 0, 1, 1, 0, 1] + [0] * (model.num_binaries - 6)  # y = 1 + 4 + 3, x = (0, 1, 0)
    by_index = dict(enumerate(bits))
    expected = decode_pubo(by_index, model).solution
    assert decode_pubo({labels[b]: v for b, v in by_index.items()}, model).solution == expected
    assert decode_pubo({np.int64(b): v for b, v in by_index.items()}, model).solution == expected
    assert decode_pubo(bits, model).solution == expected  # one dense sample
    assert decode_pubo(np.array([bits, bits]), model).solution == {k: v * 2 for k, v in expected.items()}
    # a BQM relabelled with labels(), solved, read back through its first sample
    dimod = pytest.importorskip("dimod")
    bqm = to_bqm(model).relabel_variables(dict(enumerate(labels)), inplace=False)
    best = dimod.ExactSolver().sample(bqm).first.sample
    assert (
        decode_pubo(best, model).solution
        == decode_pubo({b: best[label] for b, label in enumerate(labels)}, model).solution
    )
    y_values = decode_pubo(by_index, model).solution["y"][0][1]
    assert y_values == [model.encoder.decode(by_index)[0]]


@pytest.mark.parametrize(
    "sample, message",
    [
        ({"x": 1}, "the sample key 'x' names no binary"),
        ({("x", (0,), 1): 1}, r"the sample key \('x', \(0,\), 1\) names no binary"),
        ({0.0: 1}, "the sample key 0.0 names no binary"),
        ({True: 1}, "the sample key True names no binary"),
        ({99: 1}, "the sample key 99 is no binary of this model, which has"),
        ({-1: 0}, "the sample key -1 is no binary"),
        ({0: 2}, "the binary 0 the value 2"),
        ({0: -1}, "the binary 0 the value -1"),
        ({0: 0.5}, "the binary 0 the value 0.5"),
        ({0: math.nan}, "the binary 0 the value nan"),
        ({0: None}, "the binary 0 the value None"),
        ({0: 1, ("y", (), 0): 0}, "gives binary 0 two values"),
        ([1, 0], r"one value per binary \(\d+\), got 2"),
        (np.zeros(3), r"one value per binary \(\d+\), got 3"),
        (np.zeros((2, 3)), r"one value per binary \(\d+\), got 3"),
    ],
)
@pytest.mark.parametrize("route", ["pubo", "arrays"])
def test_samples_that_would_decode_wrongly_are_refused(routes, route, sample, message):
    # before, every unknown key read as "every variable at its lower bound"
    with pytest.raises(ValueError, match=message):
        decode_pubo(sample, routes[route])


@pytest.mark.parametrize("samples", [3, "01", [{0: 1}, 5]])
def test_samples_of_the_wrong_kind_name_what_came(routes, samples):
    with pytest.raises(TypeError, match="sample"):
        decode_pubo(samples, routes["pubo"])


def test_an_encoder_of_another_instance_is_refused():
    small = compile_model(capped(), {"N": 3, "U": 3})
    large = compile_model(capped(), {"N": 3, "U": 100})
    with pytest.raises(ValueError, match=r"variable y takes \[0, 3\] in the encoder but \[0, 100\]"):
        to_pubo(large, encoder=make_encoder("log", small))
    with pytest.raises(ValueError, match="encodes 4 variables, this compiled instance has 5"):
        to_pubo(compile_model(capped(), {"N": 4, "U": 3}), encoder=make_encoder("log", small))
    # the encoder of the same bounds is welcome, from any instance
    same = to_pubo(compile_model(capped(), {"N": 3, "U": 3}), encoder=make_encoder("unary", small))
    assert same.num_binaries == 3 + 3  # y in unary, x; y <= 7 holds on [0, 3]: no slack


def test_a_model_keeps_the_fixed_values_it_was_built_with():
    fixed = {"x": {(0,): 1}}
    pubo = to_pubo(compile_model(capped(), {"N": 3, "U": 3}, fixed))
    arrays = to_qubo_arrays(capped(), {"N": 3, "U": 3}, fixed, progress=False)
    before = [decode_pubo({}, m).solution["x"] for m in (pubo, arrays)]
    fixed["x"][(0,)] = 0  # the caller reuses the dict for the next instance
    fixed["x"][(2,)] = 1
    assert [decode_pubo({}, m).solution["x"] for m in (pubo, arrays)] == before == [[(([0],), [1], (3,))]] * 2


@pytest.mark.parametrize(
    "kw, error, message",
    [
        ({"constraint_weight": -1}, ValueError, "constraint_weight is -1: a negative weight rewards violations"),
        ({"constraint_weight": math.nan}, ValueError, "constraint_weight is nan: a weight must be finite"),
        ({"constraint_weight": {"cap": math.inf}}, ValueError, r"constraint_weight\['cap'\] is inf"),
        ({"penalty_weight": {"pair": -0.5}}, ValueError, r"penalty_weight\['pair'\] is -0.5"),
        ({"penalty_weight": "2"}, TypeError, "penalty_weight must be a number, got str"),
        ({"encoding_weight": math.inf}, ValueError, "encoding_weight is inf"),
        ({"constraint_weight": 10**400}, ValueError, "constraint_weight has 401 digits, past float64's range"),
        ({"encoding_weight": None}, TypeError, "encoding_weight must be a number"),
        ({"constraint_weight": {"cap": True}}, TypeError, "must be a number, got bool"),
    ],
)
def test_weights_must_be_finite_and_non_negative(kw, error, message):
    compiled = compile_model(capped(), {"N": 3, "U": 3})
    with pytest.raises(error, match=message):
        to_pubo(compiled, **kw)
    with pytest.raises(error, match=message):
        to_qubo_arrays(capped(), {"N": 3, "U": 3}, progress=False, **kw)


@pytest.mark.parametrize("route", [to_pubo, to_qubo_arrays])
def test_a_weight_passed_where_fixed_values_go_says_weights_are_keywords(route):
    with pytest.raises(TypeError, match="got float 10.0: weights are keyword arguments"):
        route(capped(), {"N": 3, "U": 3}, 10.0)


def test_wrong_objects_are_named():
    compiled = compile_model(capped(), {"N": 3, "U": 3})
    arrays = to_qubo_arrays(capped(), {"N": 3, "U": 3}, progress=False)
    with pytest.raises(TypeError, match="to_pubo takes a compiled instance from compile_model, got a quillon Problem"):
        to_pubo(capped())
    with pytest.raises(ValueError, match="to_pubo needs the polynomials of the compiled instance"):
        to_pubo(arrays.compiled)  # emptied by the native route
    with pytest.raises(ValueError, match="to_qubo_arrays needs the polynomials"):
        to_qubo_arrays(arrays.compiled)
    with pytest.raises(TypeError, match="decode_pubo takes the PuboModel or QuboArrays .* got a CompiledInstance"):
        decode_pubo({}, compiled)
    with pytest.raises(TypeError, match="to_bqm takes the QuboArrays of to_qubo_arrays or the PuboModel of to_pubo"):
        to_bqm(compiled.var_map)
    # a PuboModel is a quadratic model too, and a compiled instance is lowered on the way
    pytest.importorskip("dimod")
    assert to_bqm(to_pubo(compiled)) == to_bqm(arrays) == to_bqm(compiled, progress=False)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (math.nan, ValueError, r"variable y cannot take the value nan: it takes the integers of \[0, 3\]"),
        (math.inf, ValueError, "variable y cannot take the value inf"),
        (4, ValueError, "variable y cannot take the value 4"),
        (1.5, ValueError, "variable y cannot take the value 1.5"),
        (None, TypeError, "variable y needs an integer value, got None"),
    ],
)
def test_encode_names_the_variable(value, error, message):
    encoder = to_pubo(compile_model(capped(), {"N": 3, "U": 3})).encoder
    with pytest.raises(error, match=message):
        encoder.encode({0: value})


def test_trees_and_energies_refuse_malformed_input():
    with pytest.raises(ValueError, match="SubsExprAdd needs at least one operand"):
        SubsExprAdd([])
    with pytest.raises(ValueError, match="SubsExprMul needs at least one operand"):
        SubsExprMul([])
    leaf = SubsExprNode(compile_model(capped(), {"N": 3, "U": 3}).objective)
    for power in (1.5, 2.0, True):
        with pytest.raises(TypeError, match="SubsExprPower takes an integer power"):
            SubsExprPower(leaf, power)
    compiled = compile_model(capped(), {"N": 3, "U": 3})
    with pytest.raises(TypeError, match="the values of `x` are 1, not a dict keyed by tuples of subscripts"):
        eval_energy({"x": 1}, compiled)
    with pytest.raises(KeyError, match=r"`x` is keyed by 0, not by a tuple of subscripts: use \(0,\)"):
        eval_energy({"x": {0: 1}}, compiled)


@pytest.mark.parametrize("value", [2, -1, 0.5, float("nan")])
def test_energies_of_samples_that_are_no_binaries_are_refused(routes, value):
    model = routes["arrays"]
    rows = np.zeros((2, model.num_binaries))
    assert model.energies(rows).shape == (2,)
    rows[1, 0] = value
    with pytest.raises(ValueError, match=r"samples hold binaries of 0 and 1, got .*; map SPIN samples"):
        model.energies(rows)


@pytest.mark.parametrize("samples", [None, "1", {0: 1}, [[0, None]]])
def test_energies_of_samples_that_are_no_numbers_are_refused(routes, samples):
    with pytest.raises(TypeError, match="samples are 0s and 1s in an array or nested lists, got"):
        routes["arrays"].energies(samples)


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda a: a.quadratic_rows.__setitem__(0, -1), r"quadratic_rows holds \[-1\]"),
        (lambda a: a.quadratic_cols.__setitem__(0, a.num_binaries), r"quadratic_cols holds \[\d+\]"),
        (lambda a: setattr(a, "quadratic_biases", a.quadratic_biases[1:]), "do not fit together"),
    ],
    ids=["negative", "past the last binary", "short biases"],
)
@pytest.mark.parametrize("use", ["to_bqm", "decode"])
def test_arrays_changed_out_of_shape_are_refused(edit, message, use):
    # a negative index was read from the end by NumPy, and out of bounds by dimod (a crash)
    arrays = to_qubo_arrays(capped(), {"N": 3, "U": 9}, constraint_weight=2.0, progress=False)
    arrays.quadratic_rows = arrays.quadratic_rows.copy()
    arrays.quadratic_cols = arrays.quadratic_cols.copy()
    edit(arrays)
    with pytest.raises(ValueError, match=message):
        if use == "to_bqm":
            pytest.importorskip("dimod")
            to_bqm(arrays)
        else:
            decode(np.zeros((1, arrays.num_binaries), dtype=int), arrays)
