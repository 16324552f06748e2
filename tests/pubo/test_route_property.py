"""The binary and CQM routes of random models against a plain-Python reading of the model.

Models come from the compile tests' generator (tests/compile/model_generator.py), smaller, with
maximisations and fractional or single-value bounds drawn too; the reading is tests/compile/model_oracle.py,
which shares nothing with the compiler. For every encoder and kind of weight, at a random integer
point within the variables' bounds (fixed variables, the caller's and the pinned, at their values):

- ``to_pubo`` at the encoded point and its best slack is the objective (negated for a
  maximisation) plus, for each constraint, weight * lhs^2 (==), weight * max(0, lhs)^2 (<=) or
  weight * max(0, -lhs)^2 (>=), lhs = left - right, plus each weighted penalty; a one-hot code
  adds nothing. Exactly when the polynomial holds ints only, else within rounding;
- ``decode_pubo`` gives the point back, fixed values placed;
- ``to_qubo_arrays`` and ``to_bqm`` hold the same polynomial and energy;
- both CQM routes give the weighted objective and every constraint's left side at the point.

QTX_ROUTE_EXAMPLES sets the number of models (80 by default; raise it for a longer search).
"""

import copy
import itertools
import math
import os
import random
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from model_generator import k, models, w, x, y, z
from model_oracle import Oracle, exact

import quillon as ql
from quillon.results import to_dense
from quillon_transpiler import decode_pubo, to_bqm, to_pubo, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.pubo.route import PuboModel, pubo_request

# random fixed values and pins include some a variable cannot take: warned of, and meant
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

try:
    import dimod

    from quillon_transpiler.core.dimod import to_cqm, transpile_dimod_bridge_cqm
except ImportError:  # the CQM checks need the optional dependency
    dimod = None

VARIABLES = {v.name: v for v in (x, y, z, w, k)}
BRUTE_FORCE_BITS = 12  # slack groups up to this many binaries are searched whole

# --- weights ---

WEIGHT_KINDS = ["int", "float", "labels", "zero", "default"]


def draw_weights(data, kind, constraints, penalties):
    """Keyword arguments of to_pubo: one weight for all, ints, a weight per label (one label
    left to its default 1.0), zero, or the defaults; positive (or zero) only."""
    if kind == "default":
        return {}
    if kind == "zero":
        zero = data.draw(st.sampled_from([0, 0.0]))
        return {"constraint_weight": zero, "penalty_weight": zero, "encoding_weight": zero}
    if kind == "float":
        value = st.sampled_from([0.5, 1.0, 2.5, 0.1])
        return {
            "constraint_weight": data.draw(value),
            "penalty_weight": data.draw(value),
            "encoding_weight": data.draw(value),
        }
    if kind == "int":
        value = st.integers(1, 5)
        return {
            "constraint_weight": data.draw(value),
            "penalty_weight": data.draw(value),
            "encoding_weight": data.draw(value),
        }
    value = st.sampled_from([1, 3, 0.5, 2.25, 0])

    def by_label(labels):
        chosen = {label: data.draw(value) for label in labels}
        if chosen and data.draw(st.booleans()):
            chosen.pop(data.draw(st.sampled_from(sorted(chosen))))
        return chosen

    return {"constraint_weight": by_label(constraints), "penalty_weight": by_label(penalties), "encoding_weight": 2}


def weight_of(weight, label, default=1.0):
    if weight is None:
        return exact(default)
    return exact(weight.get(label, default) if isinstance(weight, dict) else weight)


# --- the model's reading at a point ---


def declared_bounds(oracle, label, subscripts):
    """A variable's bounds as declared (a data array gives each element its own)."""
    var = VARIABLES[label]
    if isinstance(var, ql.BinaryVar):
        return 0, 1

    def read(bound):
        value = oracle.value(bound)
        for s in subscripts if isinstance(value, list) else ():
            value = value[s]
        return value

    return read(var.lower_bound), read(var.upper_bound)


def bounds(oracle, label, subscripts):
    """The integers a variable takes: [ceil(lower), floor(upper)]."""
    lower, upper = declared_bounds(oracle, label, subscripts)
    return math.ceil(lower), math.floor(upper)


def shape(oracle, label):
    return tuple(int(oracle.value(d)) for d in VARIABLES[label].shape)


class Reading:
    """The model at one point: every part's value, and a bound on the terms that make it up
    (the bound of each variable's encoding in place of its value) for the rounding of floats."""

    def __init__(self, model, compiled, rng):
        problem, self.oracle = model.problem, Oracle(model.instance)
        oracle = self.oracle
        self.fixed = oracle.fixed_values(problem, model.fixed)
        self.registered = compiled.var_map.var_map
        self.box = {(label, s): bounds(oracle, label, s) for label, by in self.registered.items() for s in by}
        self.free = {key: rng.randint(lo, hi) for key, (lo, hi) in self.box.items()}
        self.sign = -1 if problem.sense is ql.ProblemSense.MAXIMIZE else 1
        self.constraints = {label: c for label, c in problem.constraints.items() if oracle.pinned_variable(c) is None}
        self.penalties = problem.custom_penalty_terms

        def value(label, subscripts):
            if subscripts in self.fixed.get(label, {}):
                return self.fixed[label][subscripts]
            assert (label, subscripts) in self.free, f"{label}{list(subscripts)} is used but not registered"
            return self.free[label, subscripts]

        def size(label, subscripts):
            if (label, subscripts) in self.box:
                lo, hi = self.box[label, subscripts]
                return 2 * abs(lo) + abs(hi) + 1  # every term of its encoding is within it
            return value(label, subscripts)

        self.objective = self.measure(problem.objective, value, size)
        self.lhs = {}  # constraint label -> forall key -> (left - right, magnitude); >= as right - left <= 0
        for label, c in self.constraints.items():
            e = c.expression
            lhs = e.right - e.left if type(e) is ql.GreaterThanEqualOp else e.left - e.right
            self.lhs[label] = {
                key: self.measure(lhs, value, size, c.forall, key) for key in list(oracle.assignments(c.forall))
            }
        self.penalty = {
            label: {
                key: self.measure(p.expression, value, size, p.forall, key)
                for key in list(oracle.assignments(p.forall))
            }
            for label, p in self.penalties.items()
        }

    def measure(self, e, value, size, forall=(), key=()):
        self.oracle.bind(forall, key)
        self.oracle.variable_value = value
        result = self.oracle.value(e)
        self.oracle.variable_value = size
        return result, self.oracle.magnitude(e)

    def kind(self, label):
        """== or <= (a >= reads as <= with its sides swapped, as the compiled constraint)."""
        return "==" if type(self.constraints[label].expression) is ql.EqualOp else "<="

    def energy(self, kw, onehot_size):
        """The route's energy at the point: (value, magnitude)."""
        cw, pw = kw.get("constraint_weight", 1.0), kw.get("penalty_weight")
        total, magnitude = self.sign * self.objective[0], self.objective[1]
        for label, by_key in self.lhs.items():
            weight = weight_of(cw, label)
            for lhs, mag in by_key.values():
                violation = lhs if self.kind(label) == "==" else max(0, lhs)
                total += weight * violation**2
                magnitude += weight * (2 * mag) ** 2  # the slack stays within the left side's range
        for label, by_key in self.penalty.items():
            weight = weight_of(pw, label)
            for value, mag in by_key.values():
                total += weight * value
                magnitude += weight * mag
        magnitude += abs(exact(kw.get("encoding_weight", 1.0))) * onehot_size
        return total, magnitude

    def cqm_objective(self, penalty_weights):
        total, magnitude = self.sign * self.objective[0], self.objective[1]
        for label, by_key in self.penalty.items():
            for value, mag in by_key.values():
                total += exact(penalty_weights[label]) * value
                magnitude += abs(exact(penalty_weights[label])) * mag
        return total, magnitude

    def dense(self, label, only=None):
        """The label's values at the point, fixed ones placed, as {subscripts: value}; `only`
        limits the variables to those of a CQM."""
        out = {s: v for (name, s), v in self.free.items() if name == label and (only is None or (name, s) in only)}
        out.update(self.fixed.get(label, {}))
        return out

    def labels(self):
        """The labels a record reports: the registered ones, then those fixed whole."""
        fixed = [label for label, f in self.fixed.items() if f and label not in self.registered]
        return [*self.registered, *fixed]


def close(got, expected, magnitude, what, exact_ints=False):
    if exact_ints:
        assert got == expected, f"{what}: route {got!r}, model {expected!r}"
    else:
        assert abs(got - expected) <= 1e-9 * max(magnitude, 1), f"{what}: route {got!r}, model {float(expected)!r}"


def check_record(record, reading, shapes, what, cqm=None):
    """The record's first sample is the point. decode_pubo reports the registry's labels, then
    those fixed whole; a CQM's decoding the labels of the model's variables (its variables
    only: a registered variable in no polynomial is not in the CQM, and decodes to 0). A label
    the model never names (fixed by the caller only) has no known shape: its fixed subscripts
    must lie within the one reported."""
    solution = record.solution
    if cqm is None:
        labels = reading.labels()
        assert sorted(solution) == sorted(labels), f"{what}: labels {list(solution)}, expected {labels}"
    else:
        # exactly the model's labels; a label fixed by the caller that the model never names has
        # no shape and is left out
        required = set(shapes)
        labels = list(solution)
        assert required <= set(labels) <= required | set(reading.fixed), f"{what}: labels {labels}, expected {required}"
    for label in labels:
        values, dense = reading.dense(label, cqm), to_dense(solution[label][0])
        if label in shapes:
            dims = shape(reading.oracle, label)
            assert tuple(shapes[label]) == dims, (
                f"{what}: {label} has the compiled shape {shapes[label]}, declared {dims}"
            )
            assert dense.shape == dims, f"{what}: {label} has shape {dense.shape}, declared {dims}"
        else:
            dims = dense.shape
            assert all(len(s) == len(dims) and all(0 <= i < n for i, n in zip(s, dims)) for s in values), (
                f"{what}: {label}'s fixed subscripts {sorted(values)} lie outside its shape {dims}"
            )
        wrong = {s: (dense[s], values.get(s, 0)) for s in np.ndindex(dims) if dense[s] != values.get(s, 0)}
        assert not wrong, f"{what}: {label} at subscripts (decoded, expected): {wrong}"


# --- slack ---


def slack_groups(pubo):
    """The terms of each inequality's slack binaries, by (label, forall key)."""
    owner = {b: (label, key) for label, by_key in pubo.slack.items() for key, bits in by_key.items() for b in bits}
    groups = {group: [] for group in set(owner.values())}
    for term, c in pubo.coeff.items():
        touched = {owner[b] for b in term if b in owner}
        assert len(touched) <= 1, f"the term {term} holds the slack binaries of {touched}"
        if touched:
            groups[touched.pop()].append((term, c))
    return groups


def set_slack(pubo, sample, reading, weights):
    """Each slack at the value that closes its inequality (s = max(0, -lhs) for lhs + s); with
    few binaries, a search over all of them confirms that none gives a lower energy."""
    cw = weights.get("constraint_weight", 1.0)
    groups = slack_groups(pubo)
    for (label, key), terms in groups.items():
        bits = pubo.slack[label][key]
        weight = weight_of(cw, label)
        assert weight != 0, f"constraint {label} weighs 0 but has slack binaries"
        assert reading.kind(label) != "==", f"equality {label} has slack binaries"
        target = max(0, -reading.lhs[label][key][0])
        # the slack binaries' pair terms are 2 w c_i c_j (rounded, for a float weight); the first
        # binary counts 1
        pair = {t: c for t, c in terms if len(t) == 2 and t[0] == bits[0] and t[1] in bits}
        coefs = [1] + [round(exact(pair.get((bits[0], b), 0)) / (2 * weight)) for b in bits[1:]]
        rest = target
        for position in reversed(range(len(bits))):
            take = coefs[position] <= rest
            sample[bits[position]] = int(take)
            rest -= coefs[position] if take else 0
        assert rest == 0, f"the slack of {label} at {key} cannot reach {target} (coefficients {coefs})"
        if len(bits) <= BRUTE_FORCE_BITS:
            check_best_slack(terms, bits, sample, f"{label} at {key}")
        else:
            event("a slack too wide to search")
    return sample


def check_best_slack(terms, bits, sample, what):
    """No assignment of the slack binaries lowers the energy (float search, rounding allowed)."""
    where = {b: i for i, b in enumerate(bits)}
    local = {}
    for term, c in terms:
        if all(sample.get(b, 0) for b in term if b not in where):
            key = tuple(where[b] for b in term if b in where)
            local[key] = local.get(key, 0) + float(c)
    rows = np.array(list(itertools.product([0, 1], repeat=len(bits))), dtype=bool)
    energy = np.zeros(len(rows))
    for key, c in local.items():
        energy += c * rows[:, list(key)].all(axis=1)
    chosen = energy[np.flatnonzero((rows == np.array([sample[b] for b in bits], dtype=bool)).all(axis=1))[0]]
    scale = sum(abs(c) for c in local.values())
    assert energy.min() >= chosen - 1e-9 * max(scale, 1), f"slack of {what}: a lower energy than at max(0, -lhs)"


# --- refusals ---


def non_integral(v):
    v = exact(v)
    return isinstance(v, Fraction) and v.denominator != 1


def refused_inequalities(compiled, reading, weights):
    """Inequalities with a weight and a non-integral coefficient: to_pubo refuses them."""
    cw = weights.get("constraint_weight", 1.0)
    return [
        (label, key)
        for label, by_key in compiled.constraint.items()
        if reading.kind(label) != "==" and weight_of(cw, label) != 0
        for key, poly in by_key.items()
        if non_integral(poly.constant) or any(non_integral(c) for c in poly.coeff.values())
    ]


def cqm_degree(compiled):
    """(the highest degree of a compiled term once a binary times itself is itself, the most
    factors of a term): a CQM holds no term of degree 3 or more, and dimod, multiplying factors
    in order, refuses some of 3 or more factors that reduce to two (x0 * x1 * x1). Terms that
    cancelled to 0 are left out, as the CQM leaves them out."""
    integer = {
        index
        for label, by in compiled.var_map.var_map.items()
        for index in by.values()
        if isinstance(VARIABLES[label], ql.IntegerVar)
    }
    by_key = [*compiled.constraint.values(), *compiled.penalty.values()]
    polys = [compiled.objective, *(p for by in by_key for p in by.values())]
    keys = [key for p in polys for key, value in p.coeff.items() if value != 0]
    degree = max((len(set(t)) + sum(t.count(i) - 1 for i in set(t) if i in integer) for t in keys), default=0)
    return degree, max(map(len, keys), default=0)


# --- the routes ---


def qm_value(qm, sample):
    """A dimod model's value at a sample (dimod's own energy is 0 for a model without variables)."""
    linear = sum(bias * sample[v] for v, bias in qm.linear.items())
    return qm.offset + linear + sum(bias * sample[u] * sample[v] for (u, v), bias in qm.quadratic.items())


def check_cqm(builder, reading, weights, what):
    pw = weights.get("penalty_weight")
    penalty_weights = {label: float(weight_of(pw, label)) for label in reading.penalties}
    builder.get_model({label: 2.0 for label in reading.penalties})  # replaced by the next call
    cqm = builder.get_model(penalty_weights)
    variables = set(cqm.variables)
    assert variables <= set(reading.free), f"{what}: unregistered variables {variables - set(reading.free)}"
    sample = {v: reading.free[v] for v in cqm.variables}
    for v in cqm.variables:
        if cqm.vartype(v) is dimod.INTEGER:
            got = (cqm.lower_bound(v), cqm.upper_bound(v))
            assert got == reading.box[v], f"{what}: {v} has bounds {got}, expected {reading.box[v]}"
        else:
            assert reading.box[v] == (0, 1), f"{what}: {v} is binary in the CQM"
    value, magnitude = reading.cqm_objective(penalty_weights)
    close(qm_value(cqm.objective, sample), value, magnitude, f"{what}: objective")
    expected = [f"{label}_{key}" for label, by_key in reading.lhs.items() for key in by_key]
    assert list(cqm.constraints) == expected, f"{what}: constraint labels"
    senses = {"==": dimod.sym.Sense.Eq, "<=": dimod.sym.Sense.Le}
    for label, by_key in reading.lhs.items():
        for key, (lhs, mag) in by_key.items():
            c = cqm.constraints[f"{label}_{key}"]
            assert c.sense is senses[reading.kind(label)], f"{what}: constraint {label}_{key} has sense {c.sense}"
            close(qm_value(c.lhs, sample) - c.rhs, lhs, mag, f"{what}: constraint {label}_{key}")
    samples = dimod.SampleSet.from_samples_cqm(
        (np.array([[sample[v] for v in cqm.variables]]), list(cqm.variables)), cqm
    )
    record = builder.decode_from_cqm_result(samples).record
    shapes = builder.compiled_model.deci_var_shape
    check_record(record, reading, shapes, f"{what}: decoded", variables)


def check_arrays(model, kw, pubo, sample, expected, magnitude):
    """The arrays of the same model, and the caller's fixed-variables map they were made with."""
    fixed = copy.deepcopy(model.fixed)
    try:
        arrays = to_qubo_arrays(model.problem, model.instance, fixed, progress=False, **kw)
    except ValueError as error:
        assert "no exact float64 value" in str(error), error  # ints past float64's: refused, not rounded
        event("arrays refused: beyond float64")
        return None, fixed
    assert arrays.to_dict() == {key: c for key, c in pubo.coeff.items() if not (len(key) == 1 and c == 0)}
    assert arrays.offset == pubo.constant and arrays.num_binaries == pubo.num_binaries and arrays.slack == pubo.slack
    row = np.array([[sample.get(b, 0) for b in range(arrays.num_binaries)]])
    close(arrays.energies(row)[0], expected, magnitude, "to_qubo_arrays energy")
    assert decode_pubo(sample, arrays).solution == decode_pubo(sample, pubo).solution
    if dimod is not None and np.count_nonzero(arrays.higher_biases):  # terms that cancelled to 0 are no refusal
        with pytest.raises(ValueError, match="degree 3 or more"):
            to_bqm(arrays)
    elif dimod is not None and isinstance(arrays.offset, int) and float(arrays.offset) != arrays.offset:
        with pytest.raises(ValueError, match="no exact float64 value"):  # refused, not rounded
            to_bqm(arrays)
    elif dimod is not None:
        close(to_bqm(arrays).energy(dict(enumerate(row[0].tolist()))), expected, magnitude, "to_bqm energy")
    return arrays, fixed


def check_own_fixed_values(sample, routes):
    """A route decodes with the fixed values it was made with, whatever the caller does to its
    map afterwards. `routes` holds (name, decoded record, route, caller's map)."""
    for what, record, route, fixed in routes:
        for values in fixed.values():
            values.update({s: v + 1 for s, v in values.items()})
        fixed.setdefault("x", {})[(0,)] = 7
        again = decode_pubo(sample, route).solution
        assert again == record.solution, f"{what}: the record changed with the caller's fixed map: {again}"


def inexact_ints(compiled):
    """Whether a polynomial of the compile holds an int a float64 rounds."""
    polys = [compiled.objective, *(p for by_key in compiled.constraint.values() for p in by_key.values())]
    polys += [p for by_key in compiled.penalty.values() for p in by_key.values()]
    numbers = [n for p in polys for n in (p.constant, *p.coeff.values())]
    return any(isinstance(n, int) and float(n) != n for n in numbers)


def check_cqms(model, compiled, reading, kw):
    degree, factors = cqm_degree(compiled)
    for what, build in [
        ("CQM of compile_model", lambda: transpile_dimod_bridge_cqm(compiled)),
        ("to_cqm", lambda: to_cqm(model.problem, model.instance, copy.deepcopy(model.fixed), progress=False)),
    ]:
        try:
            builder = build()
        except TypeError as error:
            assert factors > 2 and "has more than two variable factors" in str(error), f"{what}: {error}"
            event("CQM refused: degree > 2" if degree > 2 else "CQM refused: a term of 3+ factors that reduces to 2")
            continue
        except ValueError as error:
            # ints past float64's: refused, not rounded (a rounded CQM is another model)
            assert "an integer that a float64 cannot hold exactly" in str(error), f"{what}: {error}"
            assert inexact_ints(compiled), f"{what} refused a model whose numbers a float64 holds: {error}"
            event("CQM refused: beyond float64")
            continue
        assert degree <= 2, f"{what} took a term of degree {degree}"
        check_cqm(builder, reading, kw, what)
        event("CQM checked")


@settings(
    max_examples=int(os.environ.get("QTX_ROUTE_EXAMPLES", "80")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(
    models(n=(2, 10), m=(1, 5), objective=1000, constraint=100, side=20, penalty=400, constraints=(1, 3), routes=True),
    st.sampled_from(["log", "unary", "one-hot"]),
    st.sampled_from(WEIGHT_KINDS),
    st.data(),
)
def test_routes_at_a_point_equal_the_model(model, encoder, weight_kind, data):
    fixed = copy.deepcopy(model.fixed)
    compiled = compile_model(model.problem, model.instance, fixed)
    reading = Reading(model, compiled, random.Random(model.seed))
    kw = draw_weights(data, weight_kind, list(compiled.constraint), list(compiled.penalty))
    kw["encoder"] = encoder
    refused = refused_inequalities(compiled, reading, kw)
    try:
        pubo = to_pubo(compiled, **kw)
    except ValueError as error:
        if "too large to encode" in str(error):
            with pytest.raises(ValueError, match="too large to encode"):
                to_qubo_arrays(model.problem, model.instance, copy.deepcopy(model.fixed), progress=False, **kw)
            event("refused: slack range past 2**52")
            return
        assert refused and "non-integral" in str(error), error
        with pytest.raises(ValueError, match="non-integral"):
            to_qubo_arrays(model.problem, model.instance, copy.deepcopy(model.fixed), progress=False, **kw)
        event("refused: an inequality with a non-integral coefficient")
        return
    assert not refused, f"to_pubo took the non-integral inequalities {refused}"
    assert isinstance(pubo, PuboModel)

    values = {index: reading.free[label, s] for label, by in reading.registered.items() for s, index in by.items()}
    sample = pubo.encoder.encode(values)
    assert sorted(sample) == list(range(pubo.encoder.num_binaries))
    slack_bits = sorted(b for by_key in pubo.slack.values() for bits in by_key.values() for b in bits)
    assert slack_bits == list(range(pubo.encoder.num_binaries, pubo.num_binaries))
    weighed = kw
    if "constraint_weight" not in kw:  # the default: "auto", the weights the route chose
        chosen = pubo_request(compiled, "auto", kw.get("penalty_weight"), encoder, kw.get("encoding_weight", 1.0))
        weighed = {**kw, "constraint_weight": chosen[1].constraint_weights}
    set_slack(pubo, sample, reading, weighed)
    onehot = sum((hi - lo + 1) ** 2 for lo, hi in reading.box.values()) if encoder == "one-hot" else 0
    expected, magnitude = reading.energy(weighed, onehot)
    ints = type(pubo.constant) is int and all(type(c) is int for c in pubo.coeff.values())
    close(pubo.energy(sample), expected, magnitude, "to_pubo energy", exact_ints=ints)
    event(f"{encoder}, {'exact ints' if ints else 'floats'}, degree {min(pubo.degree, 3)}")
    event(
        f"terms {'<=8' if len(pubo.coeff) <= 8 else '<=64' if len(pubo.coeff) <= 64 else '<=512' if len(pubo.coeff) <= 512 else '>512'}"
    )
    event(f"slack groups {sum(map(len, pubo.slack.values()))}")

    record = decode_pubo(sample, pubo)
    check_record(record, reading, compiled.deci_var_shape, "decode_pubo")
    arrays, arrays_fixed = check_arrays(model, kw, pubo, sample, expected, magnitude)

    if dimod is not None:
        check_cqms(model, compiled, reading, kw)
    routes = [("to_pubo", record, pubo, fixed)] + ([("to_qubo_arrays", record, arrays, arrays_fixed)] if arrays else [])
    check_own_fixed_values(sample, routes)
