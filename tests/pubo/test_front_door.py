"""The package's front door: compile_model at the top, and every route taking a problem with its
instance data or a compiled instance, with the same options and the same result either way."""

import numpy as np
import pytest

import quillon_transpiler
from quillon_transpiler import compile_model, to_bqm, to_cqm, to_pubo, to_qubo_arrays
from quillon_transpiler import testing as models
from quillon_transpiler.core.compile import compile as driver
from quillon_transpiler.core.pubo.int_encoder import make_encoder

ROUTES = {"to_pubo": to_pubo, "to_qubo_arrays": to_qubo_arrays, "to_bqm": to_bqm, "to_cqm": to_cqm}
# integers, both inequality senses and a fixed value; binaries with a penalty and a fixed value
CASES = {
    "cover": (models.cover, {"z": {(1,): 1}}),
    "knapsack": (models.knapsack, {"b": {(3,): 1}}),
}
OPTIONS = [
    {},
    {"constraint_weight": 3, "encoder": "unary"},
    {"constraint_weight": 0.5, "penalty_weight": 2.5, "encoder": "one-hot", "encoding_weight": 4.0},
]


def test_every_name_of_the_front_door_resolves():
    for name in quillon_transpiler.__all__:
        assert getattr(quillon_transpiler, name) is not None
    assert quillon_transpiler.compile_model is driver.compile_model
    with pytest.raises(AttributeError, match="has no attribute 'compile'"):
        quillon_transpiler.compile  # noqa: B018


@pytest.mark.parametrize("options", OPTIONS, ids=["defaults", "unary", "one-hot"])
@pytest.mark.parametrize("case", CASES)
def test_a_problem_gives_what_its_compiled_instance_gives(case, options):
    build, fixed = CASES[case]
    problem, instance = build()
    compiled = compile_model(problem, instance, dict(fixed))
    want = to_pubo(compiled, **options)
    got = to_pubo(problem, instance, dict(fixed), progress=False, **options)
    assert list(got.coeff.items()) == list(want.coeff.items())
    assert (got.constant, got.num_binaries, got.slack) == (want.constant, want.num_binaries, want.slack)
    assert got.fixed_variables == want.fixed_variables and got.compiled.var_map.var_map == compiled.var_map.var_map
    # the first argument keeps its name
    assert to_pubo(compiled=compiled, **options).coeff == want.coeff
    pytest.importorskip("dimod")
    bqm = to_bqm(want)
    assert to_bqm(problem, instance, dict(fixed), progress=False, **options) == bqm
    assert to_bqm(compiled, progress=False, **options) == bqm


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(
    "given, message",
    [
        ("compiled, instance", "{route} was given a compiled instance together with instance data or fixed variables"),
        ("compiled, None, fixed", "but a compiled instance carries its data"),
        ("problem", "{route} takes a compiled instance from compile_model, got a quillon Problem without its"),
        ("str, instance", "{route} takes .*got str 'knapsack'"),
        ("problem, instance, encoder", "an encoder object belongs to a compiled registry"),
    ],
)
def test_wrong_combinations_say_what_to_pass(route, given, message):
    problem, instance = models.knapsack()
    compiled = compile_model(problem, instance)
    values = {"compiled": compiled, "instance": instance, "problem": problem, "fixed": {"b": {(0,): 1}}, "None": None}
    values["str"] = "knapsack"
    args = [values[name] for name in given.split(", ") if name != "encoder"]
    options = {}
    if given.endswith("encoder"):
        if route == "to_cqm":
            pytest.skip("to_cqm encodes nothing")
        options["encoder"] = make_encoder("log", compiled.var_map)
    if route == "to_cqm":
        pytest.importorskip("dimod")
    if route == "to_bqm" and given.startswith("str"):
        message = "to_bqm takes the QuboArrays of to_qubo_arrays or the PuboModel of to_pubo, or a quillon Problem"
    with pytest.raises(ValueError if options else TypeError, match=message.format(route=route)):
        ROUTES[route](*args, progress=False, **options)


@pytest.mark.parametrize(
    "args, options, named",
    [
        (["instance"], {}, "instance data or fixed variables"),
        ([], {"constraint_weight": 1.0}, "constraint_weight"),
        ([], {"encoder": "unary", "encoding_weight": 2}, "encoder, encoding_weight"),
    ],
)
@pytest.mark.parametrize("kind", ["arrays", "pubo"])
def test_a_finished_model_takes_no_options(kind, args, options, named):
    problem, instance = models.knapsack()
    model = to_qubo_arrays(problem, instance, progress=False) if kind == "arrays" else to_pubo(problem, instance)
    args = [instance if arg == "instance" else arg for arg in args]
    with pytest.raises(TypeError, match=f"with {named}, but its weights, encoder and data are fixed"):
        to_bqm(model, *args, **options)


def test_progress_hears_each_stage_of_the_route(capsys):
    problem, instance = models.knapsack()
    seen = []

    def hear(stage, item, seconds):
        seen.append((stage, item))

    to_pubo(problem, instance, progress=hear)
    to_pubo(compile_model(problem, instance), progress=hear)  # nothing compiled: nothing heard
    assert seen == [("compile", "the model")]
    pytest.importorskip("dimod")
    seen.clear()
    to_bqm(problem, instance, constraint_weight=2.0, progress=hear)
    items = ["weight", "pair"]
    assert seen == [("compile", item) for item in ["objective", *items, "first two"]] + [
        ("lower", item) for item in [*items, "first two"]
    ] + [("export", "the model")]
    capsys.readouterr()
    to_bqm(problem, instance, progress=False)
    assert capsys.readouterr().err == ""
    to_bqm(to_qubo_arrays(problem, instance, progress=False), progress=True)
    assert capsys.readouterr().err.startswith("quillon_transpiler: exported the model (")


def test_a_bqm_keeps_the_arrays_numbering():
    pytest.importorskip("dimod")
    problem, instance = models.cover()
    arrays = to_qubo_arrays(problem, instance, progress=False)
    bqm = to_bqm(problem, instance, progress=False)
    samples = np.random.default_rng(0).integers(0, 2, (8, arrays.num_binaries))
    np.testing.assert_allclose(bqm.energies((samples, range(arrays.num_binaries))), arrays.energies(samples))
