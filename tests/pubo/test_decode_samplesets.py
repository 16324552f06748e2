"""decode: a binary sampler's answer against a plain-Python reading of the model.

One small model (integer variables with a negative bound, binaries, ==, <= and >=, a constraint
that always holds, a squared and a plain penalty, caller-fixed and pinned variables), minimised
and maximised, with an objective that the native route keeps ("narrow") or derives ("wide").
Every route (dict, arrays of a compiled instance, arrays of the problem) decodes dimod's
ExactSolver sample set, every assignment of the binaries, one-hot codes that are not valid
included; energy, objective, violations and feasibility are recomputed from the model by the
Oracle (tests/helpers/model_oracle.py) at the decoded values, the record against decode_pubo.
"""

import copy
import dataclasses
import itertools
import pickle
from fractions import Fraction

import numpy as np
import pytest
from model_oracle import Oracle, exact
from pubo_helpers import decode_rows, energies

import quillon as ql
from quillon.results import to_dense
from quillon_transpiler import compile_model, decode, decode_pubo, solve, to_bqm, to_cqm, to_pubo, to_qubo_arrays

dimod = pytest.importorskip("dimod")
SimulatedAnnealingSampler = pytest.importorskip("dwave.samplers").SimulatedAnnealingSampler

ENCODERS = ["log", "unary", "one-hot"]
SENSES = [ql.ProblemSense.MINIMIZE, ql.ProblemSense.MAXIMIZE]
FIXED = {"b": {(2,): 1}}
INSTANCE = {"c": [[1, -2], [3, 0.5]], "e": [[2, -1, 1], [-3, 1, 2]]}
OPTIONS = {"constraint_weight": {"cap": 3, "tie": 2.5, "floor": 0}, "penalty_weight": {"sq": 1.5}, "encoding_weight": 4}


def problem(sense, wide):
    x = ql.IntegerVar("x", shape=(2,), lower_bound=-1, upper_bound=ql.Placeholder("top", ndim=1))
    b, z = ql.BinaryVar("b", shape=(3,)), ql.IntegerVar("z", lower_bound=0, upper_bound=3)
    c, e = ql.Placeholder("c", ndim=2), ql.Placeholder("e", ndim=2)
    i, j, k = ql.Element("i", 2), ql.Element("j", 2), ql.Element("k", 3)
    p = ql.Problem("decoded", sense=sense)
    if wide:  # more terms than the constraints and penalties: the native route derives it
        p += ql.sum(i, ql.sum(j, c[i, j] * x[i] * x[j])) + ql.sum(i, ql.sum(k, e[i, k] * x[i] * b[k])) + z * x[0]
        p += b[0] * b[1] - b[0] + 2 * b[1]
    else:
        p += 2 * x[0] - x[1] + 3 * b[0] + z
    p += ql.Constraint("cap", x[0] + x[1] + b[0] + b[1] + b[2] <= 3)
    p += ql.Constraint("floor", x[0] + b[1] >= 0)
    p += ql.Constraint("tie", x[1] - b[0] == 0)
    p += ql.Constraint("never", x[0] <= 5)
    p += ql.Constraint("pin", z == 2)
    p += ql.CustomPenaltyTerm("sq", (b[0] + b[1] + x[1] - 1) ** 2)
    p += ql.CustomPenaltyTerm("lin", 0.5 * x[0] * b[1])
    return p


def build(route, sense, wide, encoder):
    p, instance = problem(sense, wide), {**INSTANCE, "top": [2, 1]}
    if route == "pubo":
        return p, to_pubo(p, instance, FIXED, encoder=encoder, **OPTIONS)
    if route == "arrays":
        return p, to_qubo_arrays(compile_model(p, instance, FIXED), encoder=encoder, **OPTIONS)
    return p, to_qubo_arrays(p, instance, FIXED, encoder=encoder, **OPTIONS)


def reading(p, decoded, sample):
    """The Oracle at a decoded sample: objective, violation per label, penalty-weighted energy
    of the point (constraints left out), exact."""
    dense = {label: to_dense(decoded.record.solution[label][sample]) for label in decoded.record.solution}
    oracle = Oracle({**INSTANCE, "top": [2, 1]}, lambda label, at: exact(dense[label][at].item()))
    objective = oracle.value(p.objective)
    violations = {}
    for label, c in p.constraints.items():
        if oracle.pinned_variable(c) is None:
            values = [oracle.instance_value(c, key)[0] for key in list(oracle.assignments(c.forall))]
            equal = type(c.expression) is ql.EqualOp
            violations[label] = sum(abs(v) if equal else max(v, 0) for v in values)
    penalties = {
        label: sum(oracle.instance_value(t, key)[0] for key in list(oracle.assignments(t.forall)))
        for label, t in p.custom_penalty_terms.items()
    }
    return objective, violations, penalties


def close(got, want, what):
    assert abs(Fraction(got) - want) <= Fraction(1, 10**9) * max(1, abs(want)), f"{what}: {got} != {float(want)}"


@pytest.mark.parametrize("encoder", ENCODERS)
@pytest.mark.parametrize("sense", SENSES, ids=["min", "max"])
@pytest.mark.parametrize("wide", [False, True], ids=["narrow", "wide"])
@pytest.mark.parametrize("route", ["pubo", "arrays", "native"])
def test_every_binary_assignment_decodes_to_the_models_own_numbers(route, sense, wide, encoder):
    p, model = build(route, sense, wide, encoder)
    if route == "native":  # the native route keeps the narrow objective and derives the wide one
        assert (model.lowered is not None) == wide and (model.compiled.objective is None) == wide
        # the kept records are made without their constructors: every field set all the same
        assert model.compiled == dataclasses.replace(model.compiled)
        assert model.lowered is None or model.lowered == dataclasses.replace(model.lowered)
    bqm = to_bqm(model)
    sampleset = dimod.ExactSolver().sample(bqm)
    decoded = decode(sampleset, model)
    bits = sampleset.record.sample[:, np.argsort(list(sampleset.variables))]
    assert decoded.record == decode_pubo([dict(enumerate(row)) for row in bits.tolist()], model)
    reference = to_pubo(problem(sense, wide), {**INSTANCE, "top": [2, 1]}, FIXED, encoder=encoder, **OPTIONS)
    assert np.array_equal(decoded.evaluation.energy, energies(reference.coeff, reference.constant, bits))
    _, valid = decode_rows(model.encoder, bits)
    broken = decoded.evaluation.encoding_violations
    assert (broken is not None) == (encoder == "one-hot")
    if broken is not None:
        assert np.array_equal(np.sum(list(broken.values()), axis=0) == 0, valid)
    step = max(1, len(bits) // 150)  # the Oracle is slow: a spread of samples, invalid codes among them
    for s in range(0, len(bits), step):
        objective, violations, _ = reading(p, decoded, s)
        close(decoded.evaluation.objective[s], objective, f"objective of sample {s}")
        assert set(decoded.evaluation.constraint_violations) == set(violations)
        for label, v in violations.items():
            close(decoded.evaluation.constraint_violations[label][s], v, f"{label} of sample {s}")
    feasible = [
        s
        for s in range(len(bits))
        if valid[s] and all(v[s] == 0 for v in decoded.evaluation.constraint_violations.values())
    ]
    assert decoded.feasible().record == decoded.take(feasible).record and feasible


@pytest.mark.parametrize("encoder", ENCODERS)
@pytest.mark.parametrize("sense", SENSES, ids=["min", "max"])
def test_the_lowest_feasible_sample_is_the_models_optimum(sense, encoder):
    """With weights that make violating cost, the lowest feasible energy of every assignment is
    the best point of the box by the Oracle (objective in the energy's sign, plus penalties)."""
    p, model = build("native", sense, True, encoder)
    best = decode(dimod.ExactSolver().sample(to_bqm(model)), model).feasible().lowest()
    sign = 1 if sense is ql.ProblemSense.MINIMIZE else -1
    points = []
    for x0, x1, b0, b1 in itertools.product(range(-1, 3), range(-1, 2), (0, 1), (0, 1)):
        values = {"x": {(0,): x0, (1,): x1}, "b": {(0,): b0, (1,): b1, (2,): 1}, "z": {(): 2}}
        oracle = Oracle({**INSTANCE, "top": [2, 1]}, lambda label, at: values[label][at])
        if all(oracle.holds(c.expression) for c in p.constraints.values()):
            sq, lin = (oracle.value(t.expression) for t in p.custom_penalty_terms.values())
            points.append(sign * oracle.value(p.objective) + Fraction(3, 2) * sq + lin)
    close(best.evaluation.energy[0], min(points), "lowest feasible energy")
    assert len(set(best.evaluation.energy)) == 1 and len(decode([], model)) == 0


def test_sample_inputs_decode_alike():
    """A sample set by index, relabelled by labels(), SPIN, as dicts and as an array: one answer;
    the sample set's order and occurrences are kept, by decode_pubo's record too."""
    p, model = build("native", ql.ProblemSense.MAXIMIZE, True, "one-hot")
    bqm = to_bqm(model)
    sampleset = SimulatedAnnealingSampler().sample(bqm, num_reads=40, num_sweeps=50, seed=5).aggregate()
    want = decode(sampleset, model)
    assert want.record.num_occurrences == sampleset.record.num_occurrences.tolist()
    assert want.evaluation.energy == pytest.approx(sampleset.record.energy.tolist())
    labels = dict(enumerate(model.labels()))
    relabelled = dimod.SampleSet.from_samples_bqm(
        (sampleset.record.sample, [labels[v] for v in sampleset.variables]), bqm.relabel_variables(labels, False)
    )
    relabelled.record.num_occurrences[:] = sampleset.record.num_occurrences
    spin = sampleset.change_vartype("SPIN", inplace=False)
    bits = sampleset.record.sample[:, np.argsort(list(sampleset.variables))]
    dicts = [dict(zip(sampleset.variables, row)) for row in sampleset.record.sample.tolist()]
    for given in (relabelled, spin):
        assert decode(given, model) == want
    assert sampleset.record.energy.tolist() != sorted(sampleset.record.energy.tolist())  # not in energy order
    for given in (sampleset, relabelled, spin):
        assert decode_pubo(given, model) == want.record
    for given in (dicts, bits):
        got = decode(given, model)
        assert got.evaluation == want.evaluation and got.record.solution == want.record.solution


@pytest.mark.parametrize(
    "samples, message",
    [
        (dimod.SampleSet.from_samples([{0: 1, "ghost": 0}], "BINARY", 0), "'ghost' names no binary"),
        (dimod.SampleSet.from_samples([{0: 1, 999: 0}], "BINARY", 0), "999 names no binary"),
        (np.array([[2] + [0] * 8]), "binary 0 the value 2"),
        (np.zeros((1, 5)), "one value per binary"),
        ([{0: 1, ("x", (0,), 0): 0}], "two values"),
    ],
)
def test_samples_that_would_decode_wrongly_are_refused(samples, message):
    _, model = build("native", ql.ProblemSense.MINIMIZE, False, "log")
    assert model.num_binaries == 9
    with pytest.raises(ValueError, match=message):
        decode(samples, model)


def test_a_dimod_builder_decodes_as_the_cqm_route():
    p, instance = problem(ql.ProblemSense.MINIMIZE, False), {**INSTANCE, "top": [2, 1]}
    builder = to_cqm(p, instance, FIXED)
    sampleset = dimod.ExactCQMSolver().sample_cqm(builder.get_model())
    assert decode(sampleset, builder) == builder.decode_from_cqm_result(sampleset)


def test_arrays_changed_after_lowering_are_refused_not_misread():
    """A derived objective needs the weights the arrays were lowered with."""
    _, model = build("native", ql.ProblemSense.MINIMIZE, True, "log")
    decode(np.zeros((1, model.num_binaries)), model)
    changed = dataclasses.replace(model, linear=model.linear * 2)
    with pytest.raises(ValueError, match="re-weighted"):
        decode(np.zeros((1, model.num_binaries)), changed)


@pytest.mark.parametrize(
    "linear, offset",
    [
        (np.array([0.5, -2.0, 3.0]), 1.25),
        (np.arange(8, dtype=np.float64)[::2], -7.5),  # a strided view
        (np.array([1, 2, 3]), 4),  # ints, as arrays re-weighted by hand may hold
    ],
)
def test_the_fingerprint_stays_the_one_pickled_models_carry(linear, offset):
    # pickled parts carry it: it must stay the digest of the float64 bytes of both
    from hashlib import blake2b

    from quillon_transpiler.core.pubo.decoding import fingerprint

    old = blake2b(np.asarray(linear, dtype=np.float64).tobytes(), digest_size=16)
    old.update(np.float64(offset).tobytes())
    assert fingerprint(offset, linear) == old.hexdigest()


@pytest.mark.parametrize("read_first", [False, True])
def test_polynomials_kept_for_decoding_survive_pickling(read_first):
    """The constraints and penalties a wide native model keeps stay native through the lowering
    and are read when first decoded: pickled before or after that read, a model decodes to the
    same numbers."""
    _, model = build("native", ql.ProblemSense.MINIMIZE, True, "log")
    sampleset = dimod.ExactSolver().sample(to_bqm(model))
    if read_first:
        decode(sampleset, model)
    again = pickle.loads(pickle.dumps(model))
    assert dict(again.lowered.penalties) == dict(model.lowered.penalties)
    assert dict(again.compiled.constraint) == dict(model.compiled.constraint) != {}
    got, want = decode(sampleset, again), decode(sampleset, model)
    assert np.array_equal(got.evaluation.objective, want.evaluation.objective)
    for label, violations in want.evaluation.constraint_violations.items():
        assert np.array_equal(got.evaluation.constraint_violations[label], violations)
    assert got.record == want.record


@pytest.mark.parametrize("route", ["pubo", "arrays"])
@pytest.mark.parametrize("encoder", ["log", "unary"])
def test_as_many_binaries_as_variables_but_not_one_each_are_decoded_through_the_encoding(encoder, route):
    """z in [0, 2] has two binaries of coefficient 1 and y in [0, 0] none: as many binaries as
    variables, every offset 0 and every coefficient 1, yet a binary is no variable's value."""
    z, x = ql.IntegerVar("z", lower_bound=0, upper_bound=2), ql.BinaryVar("x")
    y = ql.IntegerVar("y", lower_bound=0, upper_bound=0)
    p = ql.Problem("p")
    p += z + 10 * x + y
    p += ql.Constraint("c", x + z >= 1)
    lower = to_pubo if route == "pubo" else to_qubo_arrays
    model = lower(p, {}, encoder=encoder, constraint_weight=1.0)
    row = np.zeros((1, model.num_binaries), dtype=int)
    row[0, model.labels().index(("x", (), 0))] = 1  # z = 0, x = 1, y = 0
    decoded = decode(row, model)
    assert decoded.record == decode_pubo(row, model)
    assert {label: to_dense(values[0]).item() for label, values in decoded.record.solution.items()} == {
        "z": 0,
        "x": 1,
        "y": 0,
    }
    assert decoded.evaluation.objective[0] == 10 and decoded.evaluation.constraint_violations["c"][0] == 0


def test_a_rebound_field_is_read_afresh():
    """decode keeps what it reads of a model; a caller may give the dataclass a new offset or array."""
    y = ql.BinaryVar("y", shape=(2,))
    p = ql.Problem("p")
    p += y[0] + 2 * y[1]
    model = to_qubo_arrays(compile_model(p, {}))
    rows = np.ones((1, 2))
    assert decode(rows, model).evaluation.energy == [3.0]
    model.offset, model.linear = 100.0, model.linear * 2
    assert decode(rows, model).evaluation.energy == [106.0] == model.energies(rows).tolist()


@pytest.mark.parametrize("field", ["linear", "quadratic_biases", "higher_biases"])
@pytest.mark.parametrize("decoded_before", [False, True])
def test_biases_scaled_in_place_are_read_as_they_are(field, decoded_before):
    """Scaling a bias array in place is no new object for decode to notice: the energies it
    reads must be those the arrays hold, whether or not it decoded them before."""
    y = ql.BinaryVar("y", shape=(3,))
    p = ql.Problem("p")
    p += y[0] + 2 * y[1] * y[2] - 3 * y[0] * y[1] * y[2]
    # a constraint of more terms than the objective: the objective is kept, not derived from
    # the energy (arrays whose linear biases moved would be refused then)
    p += ql.Constraint("c", y[0] + y[1] + y[2] + y[0] * y[2] <= 3)
    model = to_qubo_arrays(p, {}, constraint_weight=2.0)
    assert not model.quadratic_biases.flags.c_contiguous  # views of the lowering's buffer
    rows = np.array(list(itertools.product((0, 1), repeat=model.num_binaries)))
    if decoded_before:
        decode(rows, model)
    getattr(model, field)[...] *= 5
    assert list(decode(rows, model).evaluation.energy) == model.energies(rows).tolist()


def _cubic():
    y = ql.BinaryVar("y", shape=(3,))
    p = ql.Problem("p")
    p += y[0] * y[1] * y[2] + y[0] - 2 * y[2]
    return p


def _scale_dict(model):
    for key in model.coeff:
        model.coeff[key] *= 3


def _move_a_term(model):
    # the last term's value on other binaries, still last: the values alone do not tell the change
    key = list(model.coeff)[-1]
    model.coeff[next(k for k in [(0, 1), (1, 2), (0, 2)] if k not in model.coeff)] = model.coeff.pop(key)


def _past_2_53(model):
    model.linear[:3] = [1.0, 2.0**60, -(2.0**60)]  # exact only when summed exactly


@pytest.mark.parametrize(
    "lower, edit",
    [
        (lambda p: to_pubo(p, {}), _scale_dict),
        (lambda p: to_pubo(p, {}), _move_a_term),
        (lambda p: to_pubo(p, {}), lambda m: m.coeff.__setitem__((2,), -1)),  # -2 and -1 hash alike
        # arrays of a compiled instance keep their objective: it is not derived from the energy;
        # a reduced model's own binaries (not its auxiliaries' terms) may change
        (
            lambda p: to_qubo_arrays(compile_model(p, {}), reduction="substitute"),
            lambda m: m.linear[: m.reduction.num_original].__imul__(3),
        ),
        (lambda p: to_qubo_arrays(compile_model(p, {})), _past_2_53),
    ],
    ids=["pubo dict", "pubo term moved", "pubo -2 made -1", "reduced linear", "ints past 2**53"],
)
def test_terms_changed_in_place_after_a_decode_are_read_as_they_are(lower, edit):
    """What decode makes of a model to read it (arrays of a dict, a reduced model's substituted
    biases, whether to sum exactly) must follow the terms a caller changes in place."""
    model = lower(_cubic())
    rows = np.array(list(itertools.product((0, 1), repeat=3)))
    decode(rows, model)
    edit(model)
    fresh = copy.copy(model)
    fresh.__dict__.pop("_decoding", None)  # nothing kept: read afresh
    assert list(decode(rows, model).evaluation.energy) == list(decode(rows, fresh).evaluation.energy)
    if edit is _past_2_53:
        assert decode(rows, model).evaluation.energy[-1] == 2  # 1 + 2**60 - 2**60 + 1, summed exactly


def test_a_term_of_no_binaries_in_a_pubo_dict_is_part_of_the_constant():
    model = to_pubo(_cubic(), {})
    model.coeff[()] = 3  # energy() counts it: so do decode and the BQM
    rows = np.array(list(itertools.product((0, 1), repeat=3)))
    want = [model.energy(row) for row in rows.tolist()]
    assert decode(rows, model).evaluation.energy == want and want[0] == 3
    assert to_bqm(model, reduction="substitute").offset == 3


@pytest.mark.parametrize("field, moved", [("quadratic_cols", 2), ("higher_indices", 3)])
def test_a_term_moved_in_place_after_a_decode_is_read_where_it_is(field, moved):
    # decoding lays the terms out in copies of the index arrays: an index edited must reach them
    x = ql.BinaryVar("x", shape=(4,))
    problem = ql.Problem("p")
    problem += 5 * x[0] * x[3] + x[0] + 2 * x[0] * x[1] * x[2]
    model = to_qubo_arrays(problem, {})
    rows = np.array(list(itertools.product((0, 1), repeat=4)))
    decode(rows, model)
    getattr(model, field)[-1] = moved  # (0, 3) to (0, 2); (0, 1, 2) to (0, 1, 3)
    assert decode(rows, model).evaluation.energy == model.energies(rows).tolist()


@pytest.mark.parametrize(
    "edit",
    [
        lambda m: m.quadratic_biases.__imul__(2),  # every term scaled, the pair's and the auxiliary's too
        lambda m: m.linear.__setitem__(-1, m.linear[-1] + 1),  # the auxiliary's own bias
    ],
    ids=["all scaled", "auxiliary bias"],
)
def test_a_reduced_model_whose_auxiliary_terms_changed_is_refused(edit):
    # decoding takes the reduction's penalties off those terms as it wrote them: changed, the
    # energy would be neither the edited model's nor the original's
    model = to_qubo_arrays(compile_model(_cubic(), {}), reduction="substitute")
    rows = np.array(list(itertools.product((0, 1), repeat=3)))
    decode(rows, model)
    edit(model)
    with pytest.raises(ValueError, match="terms of its auxiliary binaries .* were changed after the reduction"):
        decode(rows, model)
    with pytest.raises(ValueError, match="changed after the reduction"):
        decode(rows, pickle.loads(pickle.dumps(model)))


def _slack_named(y):
    v = ql.BinaryVar("slack:c")
    p = ql.Problem("p")
    p += -v + y[0] + 2 * y[1]
    p += ql.Constraint("c", y[0] + y[1] <= 1)
    return p, ("slack:c", (), 0)


def _aux_named(y):
    v = ql.BinaryVar("aux", shape=(3, 3))
    p = ql.Problem("p")
    p += -v[0, 1] + v[0, 0] * v[0, 1] * v[0, 2]  # the auxiliary of the pair (0, 1) is named as v[0, 1]
    return p, ("aux", (0, 1), 0)


@pytest.mark.parametrize("build", [_slack_named, _aux_named])
def test_a_variable_named_as_a_slack_or_auxiliary_keeps_its_own_label(build):
    p, label = build(ql.BinaryVar("y", shape=(2,)))
    model = to_qubo_arrays(p, {}, constraint_weight=5, reduction="substitute")
    labels = model.labels()
    assert len(set(labels)) == len(labels)
    decoded = decode([{label: 1}], model)
    assert decoded.dense(label[0], 0)[label[1]] == 1 and decoded.evaluation.objective == [-1.0]


@pytest.mark.parametrize(
    "lower, upper, constraint",
    [
        # lhs = x (x - 2**31) - 2**31 is 1 at x = 2**31 + 1: float64 would round it to 0
        (2**31, 2**31 + 3, lambda x: x * x - 2**31 * x - 2**31 == 0),
        (-(2**63) - 5, -(2**63), None),  # values past int64, no constraint to evaluate
    ],
)
def test_integer_values_past_int64s_reach_are_evaluated_exactly(lower, upper, constraint):
    x = ql.IntegerVar("x", lower_bound=lower, upper_bound=upper)
    p = ql.Problem("p")
    p += x
    if constraint is not None:
        p += ql.Constraint("c", constraint(x))
    # the constraint's square (2**124 and more, an int weight) is held exactly by to_pubo alone
    model = to_qubo_arrays(p, {}) if constraint is None else to_pubo(p, {})
    rows = np.array(list(itertools.product((0, 1), repeat=model.num_binaries)))
    decoded = decode(rows, model)
    for k in range(len(decoded)):
        value = int(decoded.dense("x", k))
        assert decoded.evaluation.objective[k] == float(value)  # the objective is a float64
        if constraint is not None:
            assert decoded.evaluation.constraint_violations["c"][k] == abs(value * value - 2**31 * value - 2**31)


@pytest.mark.parametrize("route", [to_pubo, to_qubo_arrays])
@pytest.mark.parametrize("comparison", ["==", "<=", ">="])
def test_violations_summed_past_int64_stay_violations(route, comparison):
    """Each instance's lhs fits int64, the sum of a label's four instances (2**63) does not: a
    wrapped sum read as a negative violation, and the sample as feasible."""
    n, a = 4, 2**61
    x, i = ql.BinaryVar("x", shape=(n,)), ql.Element("i", n)
    lhs = ql.Placeholder("a", ndim=1)[i] * x[i] if comparison != ">=" else -ql.Placeholder("a", ndim=1)[i] * x[i]
    p = ql.Problem("p")
    p += ql.sum(i, x[i])
    p += ql.Constraint("c", {"==": lhs == 0, "<=": lhs <= 0, ">=": lhs >= 0}[comparison], forall=i)
    decoded = decode([[1] * n], route(p, {"a": np.array([a] * n)}, constraint_weight=1.0, progress=False))
    assert decoded.evaluation.constraint_violations["c"][0] == float(n * a) and not len(decoded.feasible())


def _offset_past_2_53():
    # K = 2**53 + 1 in the offset, which the arrays keep as an int
    c, k = ql.Placeholder("c", ndim=1), ql.Placeholder("K")
    x, i = ql.BinaryVar("x", shape=(2,)), ql.Element("i", 2)
    p = ql.Problem("p")
    p += ql.sum(i, c[i] * x[i]) + k
    return p, {"c": [1, 2], "K": 2**53 + 1}, [[1, 0], [0, 1]], [2.0**53 + 2, 2.0**53 + 4]


def _side_squared_past_2_53():
    # (2**27 x0 + 2**27 x1 - C)**2 with C = 2**27 + 1: the offset C**2 passes 2**53
    w, c = ql.Placeholder("w", ndim=1), ql.Placeholder("C")
    x, i = ql.BinaryVar("x", shape=(2,)), ql.Element("i", 2)
    p = ql.Problem("p")
    p += ql.Constraint("sum", ql.sum(i, w[i] * x[i]) == c)
    return p, {"w": [2**27, 2**27], "C": 2**27 + 1}, [[1, 0], [1, 1]], [1.0, float((2**27 - 1) ** 2)]


def _near_float64_max():
    # 1.7e308 + 1.7e308 - 1.7e308: a partial sum past float64's range, the total in it
    c = ql.Placeholder("c", ndim=1)
    x, i = ql.BinaryVar("x", shape=(3,)), ql.Element("i", 3)
    p = ql.Problem("p")
    p += ql.sum(i, c[i] * x[i])
    return p, {"c": np.array([1.7e308, 1.7e308, -1.7e308])}, [[1, 1, 1], [1, 0, 0]], [1.7e308, 1.7e308]


@pytest.mark.parametrize("route", [to_pubo, to_qubo_arrays])
@pytest.mark.parametrize("build", [_offset_past_2_53, _side_squared_past_2_53, _near_float64_max])
def test_energies_at_float64s_edges_are_the_exact_sums_rounded_once(route, build):
    p, data, rows, want = build()
    model = route(p, data, constraint_weight=1, progress=False)
    assert decode(np.array(rows), model).evaluation.energy == want
    if route is to_qubo_arrays and build is not _near_float64_max:
        assert list(model.energies(np.array(rows))) == want


@pytest.mark.parametrize("route", [to_pubo, to_qubo_arrays])
def test_a_value_past_int64_that_no_objective_term_reads_decodes(route):
    y, x = ql.IntegerVar("y", lower_bound=2**62, upper_bound=2**63 + 5), ql.BinaryVar("x")
    p = ql.Problem("p")
    p += 2 * x + 1  # int coefficients: evaluated in int64, which y's values would not fit
    p += ql.Constraint("le", y <= 2**62 + 1)
    model = route(p, {}, constraint_weight=0)
    decoded = decode(np.ones((1, model.num_binaries), dtype=int), model)
    assert decoded.dense("y", 0).item() == 2**63 + 5 and decoded.evaluation.objective == [3.0]


@pytest.mark.parametrize("top", [2**20, 2**30])  # the biases' magnitudes summed below 2**53, past it
def test_energies_of_cancelling_integer_biases_are_summed_exactly(top):
    # x + y == top squared at weight 1: terms near top**2 cancel down to the objective's value
    x, y = (ql.IntegerVar(name, lower_bound=0, upper_bound=top) for name in "xy")
    p = ql.Problem("p")
    p += x + 2 * y + 3 * ql.BinaryVar("z")
    p += ql.Constraint("c", x + y == top)
    arrays, pubo = to_qubo_arrays(p, {}, constraint_weight=1), to_pubo(p, {}, constraint_weight=1)
    for value in (0, 1, 2):
        bits = pubo.encoder.encode({0: value, 1: top - value, 2: 1})
        row = [bits.get(k, 0) for k in range(pubo.num_binaries)]
        expected = value + 2 * (top - value) + 3
        assert pubo.energy(row) == expected
        for model in (arrays, pubo):
            evaluation = decode([row], model).evaluation
            assert evaluation.energy[0] == expected and evaluation.objective[0] == expected


def test_ints_beside_a_float_zero_constant_are_summed_exactly():
    # "+ 0.0" makes the constant a float while every term stays an int past 2**53: summed in
    # steps from the float, the energy and objective round at each step
    big = 2**53 + 1
    b, z = ql.Placeholder("b"), ql.BinaryVar("z", shape=(3,))
    p = ql.Problem("q")
    p += z[0]
    p += ql.Constraint("bal", 2 * b * z[0] - b * z[1] - b * z[2] + 0.0 == 0)  # holds at z = (1, 1, 1)
    assert decode([[1, 1, 1]], to_pubo(p, {"b": big}, constraint_weight=1)).evaluation.energy == [1.0]
    y = ql.IntegerVar("y", lower_bound=-2, upper_bound=1)
    p = ql.Problem("p")
    p += 2 * b * z[0] * z[1] + b * y + 3 * z[1] + 0.0  # 3 at z0 = z1 = 1, y = -2
    pubo = to_pubo(p, {"b": big}, encoder="unary")
    row = [1 if label[0] == "z" else 0 for label in pubo.labels()]
    assert decode([row], pubo).evaluation.objective == [3.0]


@pytest.mark.parametrize("route", [to_pubo, to_qubo_arrays])
def test_a_samples_energy_takes_each_inequalitys_slack_at_its_best(route):
    # a sampler may leave a feasible sample's slack elsewhere: read as it was, the energy ranked
    # the better feasible answer below a worse one
    x = ql.BinaryVar("x", shape=(3,))
    p = ql.Problem("p", sense=ql.ProblemSense.MAXIMIZE)
    p += 5 * x[0] + 4 * x[1] + 3 * x[2]
    p += ql.Constraint("cap", x[0] + x[1] + x[2] <= 2)
    model = route(p, {}, constraint_weight=10.0, progress=False)
    first, second = model.slack["cap"][()]
    rows = np.zeros((3, model.num_binaries), dtype=int)
    rows[0, [0, 1, first]] = 1  # objective 9 with slack 1, where 0 closes it
    rows[1, [2, first]] = 1  # objective 3 with slack 1, its best
    rows[2, [0, 1, 2, second]] = 1  # 3 > 2: slack 0 is its best
    decoded = decode(rows, model, best_slack=True)
    assert decoded.evaluation.energy == [-9.0, -3.0, -12.0 + 10.0]
    assert decoded.evaluation.objective == [9.0, 3.0, 12.0]
    assert decoded.feasible().lowest().dense("x").tolist() == [1, 1, 0]
    assert decode(rows, model).evaluation.energy == [-9.0 + 10.0, -3.0, -12.0 + 40.0]  # the samples as given
    solved = solve(p, {}, dimod.IdentitySampler(), initial_states=rows, constraint_weight=10.0, progress=False)
    assert solved.feasible().lowest().dense("x").tolist() == [1, 1, 0]
