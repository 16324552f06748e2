"""Inputs that once crashed, hung or confused compile_model: each must end in a clear error or a
correct result."""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from core_helpers import in_thread  # the core tests' thread runner

import quillon as ql
import quillon_transpiler.core.compile.convert_to_substitutable as converter
import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler import to_qubo_arrays
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.core.compile.compile import compile_model, constraint_substitute
from quillon_transpiler.core.compile.unroll_forall import unroll_forall
from quillon_transpiler.core.substitute import SubstitutedExpression
from quillon_transpiler.exceptions import SubstituteError

N = ql.Placeholder("N")
x = ql.BinaryVar("x", shape=(N,))
i = ql.Element("i", N)


@pytest.fixture
def raised_limit():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    yield
    sys.setrecursionlimit(old)


def test_deep_models_and_long_forall_lists(raised_limit):
    nested = ql.BinaryVar("y")
    for _ in range(30_000):
        nested = ql.abs(nested)
    deep = ql.Problem("deep")
    deep += nested
    error = in_thread(lambda: compile_model(deep, {}))
    assert isinstance(error, RecursionError) and "while lowering an expression" in str(error)

    # the forall unrolling iterates: as many levels as elements, without recursion
    elements = [ql.Element(f"e{k}", 1) for k in range(20_000)]
    wide = ql.Problem("wide")
    wide += ql.Constraint("c", x[0] <= 1, forall=elements)
    compiled = in_thread(lambda: compile_model(wide, {"N": 1}), stack_size=512 << 10)
    assert list(compiled.constraint["c"]) == [(0,) * 20_000]
    levels = [(se.Element(f"e{k}", se.Number(0), se.Number(1)), se.TrueCondition()) for k in range(100_000)]
    assert in_thread(lambda: unroll_forall(levels, InstanceData({}, {}, [], indices={}))) == [[0] * 100_000]


@pytest.mark.parametrize("item", ["objective", "penalty"])
def test_a_sum_nested_past_pythons_recursion_limit_says_how_to_write_it(item):
    nested = x[0]
    for _ in range(sys.getrecursionlimit()):
        nested = x[0] + nested
    problem = ql.Problem("right to left")
    problem += nested if item == "objective" else ql.CustomPenaltyTerm("q", nested)
    with pytest.raises(RecursionError, match=rf"^In {item}.*recursion limit.*a \+ b \+ c"):
        compile_model(problem, {"N": 1})


# ---- Ctrl-C ----

INTERRUPTED = textwrap.dedent(
    """
    import sys
    import quillon as ql
    from quillon_transpiler.core import InstanceData, VarRegistry
    from quillon_transpiler.core.compile.compile import compile_model, constraint_substitute
    from quillon_transpiler.core.compile.convert_to_substitutable import convert_problem_to_substutitable

    N = ql.Placeholder("N")
    i, x = ql.Element("i", N), ql.BinaryVar("x", shape=(N,))
    p = ql.Problem("p")
    p += {item}
    instance = {{"N": 10**12}}
    registry = VarRegistry({{}}, 0, {{}})
    print("ready", flush=True)
    try:
        if {alone}:  # a step on its own, into the caller's registry
            (c,) = convert_problem_to_substutitable(p).constraints.values()
            constraint_substitute(c, InstanceData(instance, {{}}, ["N"], indices={{}}), registry)
        else:
            compile_model(p, instance)
    except KeyboardInterrupt:
        indices = sorted(k for inner in registry.var_map.values() for k in inner.values())
        print("interrupted", indices == list(range(registry.var_num)), flush=True)
    """
)


@pytest.mark.parametrize(
    "item, alone",
    [
        ("ql.sum(i, x[i % 3])", False),  # the engine's fold
        ("ql.sum(i, i % 7) * x[0]", False),  # a fold of data only
        # conditions that reject everything, tested value by value (i % 2 < 0 lets no run through)
        ("ql.sum(i, x[0], i % 2 < 0)", False),  # a fold
        ('ql.Constraint("c", x[0] <= 1, forall=[(i, i % 2 < 0)])', False),  # the forall unrolling
        ('ql.Constraint("c", x[0] == 1, forall=[(i, i % 2 < 0)])', False),  # pinning detection
        ('ql.CustomPenaltyTerm("c", x[i % 5], forall=[i])', False),  # assignments kept in a list
        ('ql.Constraint("c", ql.sum(i, x[i]) <= 1)', True),  # registering new variables all along
        # many products, each of fewer terms than a poll's budget (keys grow: each takes longer)
        ('ql.prod(ql.Element("j", 3000), x[0] + 1)', False),
        ("(x[0] + 1) ** 3000", False),
    ],
)
def test_ctrl_c_interrupts_long_loops(item, alone):
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED.format(item=item, alone=alone)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
        waited = time.monotonic() - sent
    finally:
        child.kill()
        child.communicate()
    assert out == "interrupted True\n", err
    assert waited < 2.0


# ---- compilations at the same time ----

n = ql.Placeholder("n")
y = ql.BinaryVar("y", shape=(n,))
past_the_end = ql.Problem("past the end")  # y has n entries; y[n] is one too many
past_the_end += y[0] + y[n]
valid = ql.Problem("valid")  # y again, with a longer shape
valid += y[0] + y[4]


def other_work(kind):
    """Work done while a compilation is in progress: a whole compilation, or a step on its own."""
    if kind == "compile_model":
        return sorted(compile_model(valid, {"n": 5}).objective.coeff)
    problem = ql.Problem("c")
    problem += ql.Constraint("c", y[0] + y[4] <= 1)
    (constraint,) = converter.convert_problem_to_substutitable(problem).constraints.values()
    result = constraint_substitute(constraint, InstanceData({"n": 5}, {}, ["n"], indices={}), VarRegistry({}, 0, {}))
    return sorted(result[()].coeff)


class Callback(se.SubstitutableExpr):
    """A node outside the package that runs `work` when substituted."""

    def __init__(self, work):
        super().__init__()
        self.work = work

    def _substitute(self, var_map, instance_data):
        self.work()
        return SubstitutedExpression({}, 0, 0)


@pytest.mark.parametrize("kind", ["compile_model", "constraint_substitute"])
@pytest.mark.parametrize("where", ["nested in a callback", "in another thread"])
def test_each_compilation_checks_only_its_own_model(monkeypatch, kind, where):
    seen = []
    if where == "nested in a callback":
        work = lambda: seen.append(other_work(kind))  # noqa: E731
    else:
        started, done = threading.Event(), threading.Event()

        def elsewhere():
            started.wait(10)
            seen.append(other_work(kind))
            done.set()

        thread = threading.Thread(target=elsewhere)
        thread.start()
        work = lambda: (started.set(), done.wait(10))  # noqa: E731
    convert = converter.convert_problem_to_substutitable

    def with_callback(problem):
        converted = convert(problem)
        if problem is not past_the_end:
            return converted
        converted.objective = se.MultipleOperator([Callback(work), converted.objective], se.MultipleOpeKind.ADD)
        return converted

    monkeypatch.setattr(converter, "convert_problem_to_substutitable", with_callback)
    with pytest.raises(SubstituteError, match=r"Subscript 2 on axis 0 of y\[2\] is out of range"):
        compile_model(past_the_end, {"n": 2})
    monkeypatch.undo()
    if where == "in another thread":
        thread.join(10)
    assert seen == [[(0,), (1,)]]  # y[4] is inside the other model's shape


# ---- clear errors ----


@pytest.mark.parametrize("problem", [None, "p", {}, converter.convert_problem_to_substutitable(past_the_end)])
def test_compile_model_needs_a_problem(problem):
    with pytest.raises(TypeError, match=r"^compile_model needs a quillon\.Problem as `problem`, got \w+"):
        compile_model(problem, {})


@pytest.mark.parametrize(
    "fixed, message",
    [
        ({"x": 1}, r"fixed_variables\['x'\] is 1 \(int\): give a dict from subscript tuples to values"),
        ({"x": [1]}, r"fixed_variables\['x'\] is \[1\] \(list\): give a dict"),
        ({"x": {(0,): "a"}}, r"fixed_variables\['x'\]\[\(0,\)\] is 'a' \(str\): a fixed value must be a number"),
        ({"x": {(0,): None}}, r"fixed_variables\['x'\]\[\(0,\)\] is None \(NoneType\)"),
        ({"x": {0: 1}}, r"fixed_variables\['x'\] has the key 0 \(int\): subscripts are tuples of ints"),
        ({1: {}}, r"fixed_variables has the label 1 \(int\): its keys are decision-variable labels"),
    ],
)
def test_fixed_variables_are_checked(fixed, message):
    problem = ql.Problem("p")
    problem += ql.sum(i, x[i])
    with pytest.raises(TypeError, match="^" + message):
        compile_model(problem, {"N": 2}, fixed)
    fine = {"x": {(0,): np.float32(1), (1,): np.bool_(False)}}
    assert compile_model(problem, {"N": 3}, fine).objective.coeff == {(0,): 1}


@pytest.mark.parametrize(
    "instance, error, message",
    [
        (
            {"N": 2**70},
            SubstituteError,
            r"The end of the range of element `i` is 1180591620717411303424, beyond 64-bit",
        ),
        ({"N": -(2**70)}, SubstituteError, r"The end of the range of element `i` is -1180591620717411303424"),
        # a forall over such a range filled the memory before it ended
        ({"N": 2**63, "forall": True}, SubstituteError, r"in forall: The end of the range of element `i` is 9223"),
        (
            {"N": 2, "a": np.array([1 + 2j, 3])},
            ValueError,
            r"In objective: the term \(0,\) has the coefficient \(1\+2j\), a complex number",
        ),
        ({"N": 2, "c": 1 + 2j}, ValueError, r"In objective: the constant is \(1\+2j\), a complex number"),
    ],
)
def test_data_the_arrays_route_cannot_hold_is_named(instance, error, message):
    problem = ql.Problem("p")
    problem += ql.sum(i, ql.Placeholder("a", 1)[i] * x[i]) if "a" in instance else ql.sum(i, x[i])
    if "c" in instance:
        problem += ql.Placeholder("c")
    if instance.pop("forall", False):
        y = ql.BinaryVar("y")
        problem = ql.Problem("p")
        problem += y
        problem += ql.Constraint("c", y <= 1, forall=i)
    with pytest.raises(error, match=message):
        to_qubo_arrays(problem, instance, progress=False)


@pytest.mark.parametrize("route", [compile_model, to_qubo_arrays])
def test_a_power_past_memory_is_refused_before_it_grows(route):
    # (sum of 40 binaries - 1)**12 has C(52, 12) ~ 2e11 terms: refused at once, not after minutes
    # of growth; of 5 binaries, C(17, 12) - 1 terms and a constant, it expands
    problem = ql.Problem("p")
    problem += ql.CustomPenaltyTerm("wide", (ql.sum(i, x[i]) - 1) ** 12)
    start = time.perf_counter()
    with pytest.raises(
        SubstituteError, match=r"In penalty `wide` : Raising a sum of 40 variables to the power 12\.0 would make"
    ):
        route(problem, {"N": 40})
    assert time.perf_counter() - start < 5
    assert len(compile_model(problem, {"N": 5}).penalty["wide"][()].coeff) == 6187


@pytest.mark.parametrize("route", [compile_model, to_qubo_arrays])
@pytest.mark.parametrize("base", ["x[0]", "x[0] * x[1]"])
def test_a_power_of_terms_past_4096_factors_is_refused(route, base):
    # each product of the power copied keys one factor longer: x ** 100000 ran for minutes
    p = ql.Placeholder("P")
    problem = ql.Problem("p")
    problem += (x[0] if base == "x[0]" else x[0] * x[1]) ** p
    start = time.perf_counter()
    with pytest.raises(SubstituteError, match=r"In objective: Raising a polynomial with variables to the power 100000"):
        route(problem, {"N": 2, "P": 10**5})
    assert time.perf_counter() - start < 5
    assert compile_model(problem, {"N": 2, "P": 2048 if base == "x[0]" else 1024}).objective.coeff
