"""What a run needs crosses process boundaries: every model type pickles, loads in a fresh
interpreter equal to the original (field by field, arrays and dimod models exactly, shared
objects still shared) and decodes and scores the same samples the same way there."""

import copy
import enum
import os
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

import quillon as ql  # noqa: E402
from quillon_transpiler import compile_model, decode_pubo, testing, to_cqm, to_pubo, to_qubo_arrays  # noqa: E402
from quillon_transpiler.core.dimod import transpile_dimod_bridge_cqm  # noqa: E402
from quillon_transpiler.core.dimod.pickling import _ModelFile, packed_state  # noqa: E402
from quillon_transpiler.core.pubo.int_encoder import make_encoder  # noqa: E402

_MODELS = (dimod.ConstrainedQuadraticModel, dimod.QuadraticModel, dimod.BinaryQuadraticModel)


def snapshot(obj, seen=None):
    """Plain nested data of everything an object holds, in order and with its types: two objects
    hold the same when their snapshots are equal. An object met before is noted by the order it
    was first met, so sharing is part of the picture. Tuples are values: which tuple object a
    label holds (the empty tuple is one object, or not, depending on how it was made) changes
    nothing."""
    seen = {} if seen is None else seen
    if obj is None or isinstance(obj, (bool, int, float, complex, str, bytes, enum.Enum)):
        return (type(obj).__name__, obj)
    if type(obj) is tuple:
        return ("tuple", [snapshot(v, seen) for v in obj])
    if isinstance(obj, (type, type(snapshot), type(len))):
        return ("global", obj.__module__, obj.__qualname__)
    if id(obj) in seen:
        return ("seen", seen[id(obj)][0])
    seen[id(obj)] = (len(seen), obj)  # keeps obj alive: ids stay unique while we walk

    def snap(value):
        return snapshot(value, seen)

    if isinstance(obj, np.ndarray):
        return ("ndarray", obj.dtype.str, obj.shape, obj.tolist())
    if isinstance(obj, np.generic):
        return ("numpy", obj.dtype.str, obj.item())
    if isinstance(obj, _ModelFile):
        return snap(obj.model)
    if isinstance(obj, dimod.ConstrainedQuadraticModel):
        # labels alone: a loaded model's labels are its own objects, not shared with other models
        constraints = [
            (
                snapshot(label),
                c.sense.name,
                c.rhs,
                dimod_terms(c.lhs),
                c.lhs.is_discrete(),
                c.lhs.is_soft(),
                c.lhs.weight(),
            )
            for label, c in obj.constraints.items()
        ]
        variables = [(snapshot(v), obj.vartype(v).name, obj.lower_bound(v), obj.upper_bound(v)) for v in obj.variables]
        return ("cqm", variables, dimod_terms(obj.objective), constraints)
    if isinstance(obj, _MODELS):
        return (type(obj).__name__, dimod_terms(obj))
    if isinstance(obj, dict):
        return (type(obj).__name__, [(snap(k), snap(v)) for k, v in obj.items()])
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [snap(v) for v in obj])
    if isinstance(obj, (set, frozenset)):
        return (type(obj).__name__, sorted(map(repr, map(snap, obj))))
    reduced = obj.__reduce_ex__(4)
    return ("object", type(obj).__module__, type(obj).__qualname__, snap(reduced[1]), snap(reduced[2]))


def dimod_terms(model):
    """Variables in order with vartypes and bounds, biases in the model's order, offset."""
    vartype = model.vartype if callable(model.vartype) else (lambda v: model.vartype)
    bounds = (lambda v: (model.lower_bound(v), model.upper_bound(v))) if hasattr(model, "lower_bound") else None
    variables = [(snapshot(v), vartype(v).name, bounds and bounds(v)) for v in model.variables]
    return variables, list(model.linear.items()), list(model.iter_quadratic()), model.offset


# What a loaded object must do as the original does, given the same inputs.


def encoder_behaviour(encoder, rows):
    polynomial = {(0,): 1.5, (0, encoder.num_variables - 1): -2.0}
    samples = [dict(enumerate(row)) for row in rows]
    return encoder.num_binaries, [encoder.decode(s) for s in samples], encoder(polynomial, 0.5)


def binary_model_behaviour(model, rows):
    energies = [model.energy(list(row)) for row in rows] if hasattr(model, "energy") else model.energies(rows)
    return decode_pubo(rows, model), np.asarray(energies).tolist(), model.labels()


def arrays_behaviour(arrays, rows):
    bqm = dimod.BinaryQuadraticModel.from_numpy_vectors(
        arrays.linear, (arrays.quadratic_rows, arrays.quadratic_cols, arrays.quadratic_biases), arrays.offset, "BINARY"
    )
    return binary_model_behaviour(arrays, rows), arrays.to_dict(), snapshot(bqm)


def builder_behaviour(builder, samplesets):
    """Decoding first (the last model or the template scores a sample set without feasibility),
    then the model of every weight."""
    weights = dict.fromkeys(builder.custome_penalties, 2.5)
    decoded = [builder.decode_from_cqm_result(s) for s in samplesets]
    last = builder._model
    models = snapshot(builder.get_model(weights)), snapshot(builder.get_model())
    builder._model = last  # as it was: the builder is pickled after this
    return decoded, models


def compiled_behaviour(compiled, _):
    pubo = to_pubo(compiled, constraint_weight=3.0)
    return pubo.coeff, pubo.constant


def no_behaviour(obj, _):
    return None


@pytest.fixture(scope="module")
def child():
    """Another interpreter, which loads what it is sent, checks its behaviour against ours, and
    sends back its snapshot and the object pickled again (one process for the module's tests:
    each starting its own would spend more time importing than checking)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    yield process
    process.stdin.close()
    process.wait(timeout=60)


CHILD = """
import pickle, struct, sys, traceback
from test_pickling import snapshot
while True:
    size = sys.stdin.buffer.read(8)
    if not size:
        break
    try:
        obj, behaviour, inputs, expected = pickle.loads(sys.stdin.buffer.read(struct.unpack("<Q", size)[0]))
        got = snapshot(behaviour(obj, inputs))
        assert got == expected, f"another behaviour after loading:\\n{got}\\n!=\\n{expected}"
        reply = pickle.dumps((True, obj, snapshot(obj)))
    except BaseException:
        reply = pickle.dumps((False, traceback.format_exc(), None))
    sys.stdout.buffer.write(struct.pack("<Q", len(reply)) + reply)
    sys.stdout.buffer.flush()
"""


def roundtrip(child, obj, behaviour, inputs):
    """Pickles obj here and has the child load and check it; returns the object it sent back,
    checked to hold what obj holds."""
    expected = behaviour(obj, inputs)
    payload = pickle.dumps((obj, behaviour, inputs, snapshot(expected)))
    child.stdin.write(struct.pack("<Q", len(payload)) + payload)
    child.stdin.flush()
    header = child.stdout.read(8)
    assert header, f"the other interpreter ended with exit code {child.wait()}"
    (size,) = struct.unpack("<Q", header)
    ok, back, seen = pickle.loads(child.stdout.read(size))
    assert ok, back
    assert seen == snapshot(obj)
    assert snapshot(back) == snapshot(obj)
    return back


def binary_rows(n, count=6, seed=0):
    return np.random.default_rng(seed).integers(0, 2, (count, n))


def with_slash():
    n = ql.Placeholder("N")
    y = ql.IntegerVar("y", shape=(n,), lower_bound=-2, upper_bound=5)
    x = ql.BinaryVar("x", shape=(n,))
    i = ql.Element("i", n)
    problem = ql.Problem("slash")
    problem += ql.sum(i, y[i] * x[i]) + ql.sum(i, y[i])
    problem += ql.Constraint("cap w/ slack", ql.sum(i, y[i]) <= 6)
    problem += ql.Constraint("pair/step", y[i] - x[i] >= -1, forall=i)
    problem += ql.CustomPenaltyTerm("spread", (ql.sum(i, x[i]) - 2) ** 2)
    return problem, {"N": 4}


def cqm_samples(builder, feasibility=True, count=5):
    cqm = builder.get_model()
    rng = np.random.default_rng(1)
    rows = [[rng.integers(cqm.lower_bound(v), cqm.upper_bound(v) + 1) for v in cqm.variables] for _ in range(count)]
    samples = dimod.SampleSet.from_samples_cqm((rows, list(cqm.variables)), cqm)
    if feasibility:
        return samples
    return dimod.SampleSet.from_samples((rows, list(cqm.variables)), "INTEGER", samples.record.energy)


MODELS = {"knapsack": testing.knapsack, "cover": testing.cover, "smoothing": testing.smoothing, "slash": with_slash}


@pytest.mark.parametrize("kind, model", [("log", "smoothing"), ("unary", "smoothing"), ("one-hot", "cover")])
def test_encoders_rebuild_their_table(child, kind, model):
    problem, data = MODELS[model]()
    encoder = make_encoder(kind, compile_model(problem, data))
    back = roundtrip(child, encoder, encoder_behaviour, binary_rows(encoder.num_binaries).tolist())
    assert back == encoder and type(back) is type(encoder)


@pytest.mark.parametrize("route", ["pubo", "arrays"])
@pytest.mark.parametrize("model", ["knapsack", "cover", "slash"])
def test_binary_models(child, route, model):
    problem, data = MODELS[model]()
    if route == "pubo":
        obj, behaviour = to_pubo(problem, data, constraint_weight=2.0, encoder="unary"), binary_model_behaviour
    else:
        obj, behaviour = to_qubo_arrays(problem, data, constraint_weight=2.0, progress=False), arrays_behaviour
    obj.labels()  # a cache of labels is made again where the model is loaded
    back = roundtrip(child, obj, behaviour, binary_rows(obj.num_binaries))
    assert "_label_index" not in vars(back)


def test_strided_arrays_travel_out_of_band():
    problem, data = testing.tsp(12)
    arrays = to_qubo_arrays(problem, data, progress=False)
    assert not arrays.quadratic_rows.flags.c_contiguous  # views of the lowering's record buffer
    buffers = []
    stream = pickle.dumps(arrays, protocol=5, buffer_callback=buffers.append)
    # packed, the quadratic arrays are handed over as buffers (as Dask sends them), not copied into the stream
    assert len(stream) < arrays.quadratic_rows.nbytes
    assert snapshot(pickle.loads(stream, buffers=buffers)) == snapshot(arrays)


@pytest.mark.parametrize(
    "route, model, used",
    [("to_cqm", model, used) for model in ["knapsack", "cover", "smoothing", "slash"] for used in [False, True]]
    + [("transpile", "slash", False), ("transpile", "smoothing", True)],
)
def test_dimod_builders(child, route, model, used):
    problem, data = MODELS[model]()
    if route == "to_cqm":
        builder = to_cqm(problem, data, progress=False)
    else:
        builder = transpile_dimod_bridge_cqm(compile_model(problem, data))
    samplesets = [cqm_samples(builder), cqm_samples(builder, feasibility=False)]
    if used:  # the last model, not the template, scores sample sets without feasibility
        builder.get_model(dict.fromkeys(builder.custome_penalties, 1.5))
    else:
        builder._model = builder._cqm_template  # as built
    back = roundtrip(child, builder, builder_behaviour, samplesets)
    assert (back._model is back._cqm_template) is not used


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy])
def test_builder_copies_hold_models(how):
    # copies go through the pickled state too: they must come out with dimod models in place
    problem, data = with_slash()
    builder = to_cqm(problem, data, progress=False)
    builder.get_model({"spread": 2.0})
    twin = how(builder)
    assert snapshot(twin) == snapshot(builder)
    assert (twin._model is builder._model) is (how is copy.copy)


class Holder:
    """Holds dimod models as a builder does."""

    def __init__(self, **models):
        vars(self).update(models)

    def __getstate__(self):
        return packed_state(vars(self))


def hand_made_cqm():
    """Constraints in an order no set keeps, labels dimod's file cannot name, soft and discrete
    constraints, integer bounds and tuple labels."""
    x = [dimod.Binary(("x", (i,))) for i in range(6)]
    y = dimod.Integer(("y", ()), lower_bound=-3, upper_bound=7)
    cqm = dimod.ConstrainedQuadraticModel()
    cqm.set_objective(2 * x[1] * y - x[0] + 0.25)
    for k in range(40):
        cqm.add_constraint(x[k % 6] + 3 * x[(k + 1) % 6] * y - y <= k, label=f"c{k}")
    cqm.add_constraint(y * y >= 1, label=("tuple", 3))
    cqm.add_constraint(x[2] - x[3] == 0, label=7, weight=4.0, penalty="quadratic")
    cqm.add_discrete([("x", (i,)) for i in range(3)], label="one/of")
    return cqm


@pytest.mark.parametrize("unsafe", [False, True])
def test_constrained_models_keep_order_and_labels(child, unsafe):
    cqm = hand_made_cqm()
    if not unsafe:
        cqm.remove_constraint(7)
        cqm.remove_constraint(("tuple", 3))
        cqm.remove_constraint("one/of")
    labels = list(cqm.constraints)
    back = roundtrip(
        child,
        Holder(model=cqm, again=cqm, qm=3 * dimod.Integer(("z", (1, 2)), lower_bound=2, upper_bound=5) - 1),
        no_behaviour,
        None,
    )
    assert back.model is back.again and list(back.model.constraints) == labels
    assert labels == list(cqm.constraints)  # the original model is left as it was


def test_compiled_instances_and_results(child):
    problem, data = with_slash()
    compiled = compile_model(problem, data)
    roundtrip(child, compiled, compiled_behaviour, None)
    # the routes keep what decoding needs: no polynomials, or the constraints' as expressions
    roundtrip(child, to_qubo_arrays(problem, data, progress=False).compiled, no_behaviour, None)
    roundtrip(child, to_cqm(problem, data, progress=False).compiled_model, no_behaviour, None)
    builder = to_cqm(problem, data, progress=False)
    result = builder.decode_from_cqm_result(cqm_samples(builder))
    back = roundtrip(child, result, no_behaviour, None)
    assert back == result and back.lowest() == result.lowest()


def test_pickling_a_builder_leaves_no_file_open():
    import gc
    import warnings

    builder = to_cqm(*testing.knapsack(6), progress=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        pickle.dumps(builder)
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]
