"""A model's trees are lowered and planned once and kept while the model stays the same: a
model changed after a compile, in any way the modeling library allows (inside its expressions
too), compiles as a fresh copy of it does, and a kept plan forgets the data it last read."""

import copy
import gc
import pickle
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import quillon as ql
import quillon_transpiler.core.compile.convert_to_substitutable as converter
import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler import testing, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.substitute import SubstitutedExpression

N = ql.Placeholder("N")
X = ql.BinaryVar("x", shape=(N,))
I = ql.Element("i", N)  # noqa: E741


def model():
    problem = ql.Problem("p")
    problem += ql.sum(I, (I + 1) * X[I])
    problem += ql.Constraint("one", ql.sum(I, X[I]) == 1)
    problem += ql.CustomPenaltyTerm("pairs", X[I] * X[(I + 1) % N], forall=I)
    return problem


def add_term(p):
    p += 3 * X[0]


def add_constraint(p):
    p += ql.Constraint("few", ql.sum(I, X[I]) <= 2)


def add_penalty(p):
    p += ql.CustomPenaltyTerm("first", X[0])


def new_condition(p):
    p.constraints["one"].expression = ql.sum(I, X[I]) == 2


def new_forall(p):
    p.custom_penalty_terms["pairs"].forall = ql.CustomPenaltyTerm("x", X[I], forall=(I, I < 2)).forall


def new_sense(p):
    p.sense = ql.ProblemSense.MAXIMIZE


def drop_constraint(p):
    del p.constraints["one"]


def new_objective(p):
    p.objective = ql.sum(I, X[I])


def renamed_label(p):
    p.custom_penalty_terms["renamed"] = p.custom_penalty_terms.pop("pairs")


def new_literal(p):
    p.objective.operand.terms[0].terms[1].value = 5  # (i + 1) becomes (i + 5), in place


def appended_factor(p):
    p.objective.operand.terms.append(X[0])


def new_subscript(p):
    p.custom_penalty_terms["pairs"].expression.terms[1].subscripts[0] = I


def new_pair(p):
    p.custom_penalty_terms["pairs"].forall[0] = (I, I < 2)


def replaced_state(p):
    p.objective.operand.terms[0].terms[1].__dict__ = {"value": 5}


CHANGES = [
    new_literal,
    appended_factor,
    new_subscript,
    new_pair,
    replaced_state,
    add_term,
    add_constraint,
    add_penalty,
    new_condition,
    new_forall,
    new_sense,
    drop_constraint,
    new_objective,
    renamed_label,
]


def snapshot(compiled):
    def items(polys):
        return {label: {key: (p.coeff, p.constant) for key, p in by_key.items()} for label, by_key in polys.items()}

    return compiled.sense, compiled.objective.coeff, items(compiled.constraint), items(compiled.penalty)


@pytest.mark.parametrize("change", CHANGES, ids=lambda c: c.__name__)
def test_a_model_changed_after_a_compile_compiles_as_a_fresh_copy(change):
    problem = model()
    compile_model(problem, {"N": 4})  # a model's second compile keeps its trees
    before = snapshot(compile_model(problem, {"N": 4}))
    change(problem)
    after = snapshot(compile_model(problem, {"N": 4}))
    assert after == snapshot(compile_model(copy.deepcopy(problem), {"N": 4}))
    assert after != before


def test_a_model_changed_while_it_is_lowered_is_lowered_again(monkeypatch):
    # as another thread's write would land: after the objective is lowered, before the penalty
    problem = model()
    literal = problem.objective.operand.terms[0].terms[1]
    lower_penalty = converter._lower_penalty

    def changing(penalty):
        literal.value = 5
        return lower_penalty(penalty)

    compile_model(problem, {"N": 4})  # the next compile keeps what it lowers
    monkeypatch.setattr(converter, "_lower_penalty", changing)
    compile_model(problem, {"N": 4})
    monkeypatch.undo()
    assert snapshot(compile_model(problem, {"N": 4})) == snapshot(compile_model(copy.deepcopy(problem), {"N": 4}))


@pytest.mark.parametrize("labels", [3, 300])
def test_a_model_of_many_items_keeps_its_entry(labels):
    # tables longer than the ints Python keeps one object of (256) are told apart by their sizes
    problem = ql.Problem("p")
    for k in range(labels):
        problem += ql.CustomPenaltyTerm(f"c{k}", X[k % 3])
    compile_model(problem, {"N": 3})
    assert problem._derived["lowered"] is None  # a first compile keeps nothing but a mark
    compile_model(problem, {"N": 3})
    kept = problem._derived["lowered"][1]
    compile_model(problem, {"N": 3})
    assert problem._derived["lowered"][1] is kept
    del problem.custom_penalty_terms[f"c{labels - 1}"]
    assert len(compile_model(problem, {"N": 3}).penalty) == labels - 1
    assert problem._derived["lowered"][1] is not kept


def test_the_data_is_read_again_on_every_compile():
    problem, instance = testing.tsp(4, onehot="penalty")
    first = compile_model(problem, instance).objective.coeff
    again = compile_model(problem, dict(instance, d=2 * np.asarray(instance["d"]))).objective.coeff
    assert again == {k: 2 * v for k, v in first.items()}


def lowered(problem, instance):
    a = to_qubo_arrays(problem, instance, penalty_weight=1.0, progress=False)
    return a.to_dict(), a.offset, a.num_binaries


DATA = [  # sizes and number kinds in turn: each compile must read its own
    {"N": 4, "d": np.arange(16).reshape(4, 4)},
    {"N": 6, "d": np.linspace(-1, 1, 36).reshape(6, 6)},
    {"N": 3, "d": np.full((3, 3), 2**62, dtype=np.int64)},
    {"N": 5, "d": np.ones((5, 5), dtype=object)},
    {"N": 4, "d": np.arange(16).reshape(4, 4)},
]


@pytest.mark.parametrize("size", ["placeholder", "length"])
@pytest.mark.parametrize("onehot", ["penalty", "constraint"])
@pytest.mark.parametrize("order", ["ijt", "tji"])
def test_a_kept_plan_reads_each_compiles_data(order, onehot, size):
    # "length": the sums run up to d.len_at(0), which a compile reads once, as it reads N
    problem, _ = testing.tsp(3, order=order, onehot=onehot, weight=1.0, size=size)
    for instance in DATA:
        fresh = copy.deepcopy(problem)  # planned anew
        assert lowered(problem, instance) == lowered(fresh, instance)
        assert snapshot(compile_model(problem, instance)) == snapshot(compile_model(fresh, instance))


class Callback(se.SubstitutableExpr):
    """A node outside the package that runs `work` when substituted."""

    def __init__(self, work):
        super().__init__()
        self.work = work

    def _substitute(self, var_map, instance_data):
        self.work()
        return SubstitutedExpression({}, 0, 0)


def test_a_compile_of_the_same_model_nested_in_one_plans_its_own(monkeypatch):
    problem, instance = testing.tsp(4, onehot="constraint")
    expected = snapshot(compile_model(copy.deepcopy(problem), instance))
    nested: list = []
    convert = converter.convert_problem_to_substutitable

    def work():
        # the objective's plan is in use: the nested compile plans its own, and shares the rest
        if not nested:
            nested.append(None)
            nested[0] = snapshot(compile_model(problem, instance))

    def with_callback(p):
        converted = convert(p)
        converted.objective = se.MultipleOperator([Callback(work), converted.objective], se.MultipleOpeKind.ADD)
        return converted

    monkeypatch.setattr(converter, "convert_problem_to_substutitable", with_callback)
    compile_model(problem, instance)  # marked (its nested compile keeps the plans)
    nested.clear()
    assert snapshot(compile_model(problem, instance)) == expected
    assert nested == [expected]


M = ql.Placeholder("M")


@pytest.mark.parametrize("sizes", [[(4, 2), (6, 5), (3, 0), (4, 2)]])
def test_kept_forall_levels_read_each_compiles_ranges_and_conditions(sizes):
    problem = model()
    problem += ql.CustomPenaltyTerm("upto", X[I] * X[(I + 1) % N], forall=(I, I < M))
    for n, m in sizes:
        instance = {"N": n, "M": m}
        got = snapshot(compile_model(problem, instance))
        assert got == snapshot(compile_model(copy.deepcopy(problem), instance))
        assert sorted(got[3]["upto"]) == [(k,) for k in range(min(n, m))]


class Hook(se.SubstitutableCondition):
    """A condition outside the package that runs `work` whenever it is tested, and holds."""

    def __init__(self, work):
        self.work = work

    def _substitute(self, var_map, instance_data):
        self.work()
        return True


@pytest.mark.parametrize("where", ["nested", "in another thread"])
def test_a_forall_read_while_its_kept_levels_are_in_use_reads_its_own(monkeypatch, where):
    problem, instance = model(), {"N": 4}
    expected = snapshot(compile_model(copy.deepcopy(problem), instance))
    nested: list = []
    convert = converter.convert_problem_to_substutitable

    def other():
        nested[0] = snapshot(compile_model(problem, instance))

    def work():
        if not nested:
            nested.append(None)
            if where == "nested":
                other()
            else:  # the GIL goes to the other thread while this one waits in the condition
                thread = threading.Thread(target=other)
                thread.start()
                thread.join(10)

    def with_hook(p):
        converted = convert(p)
        pairs = converted.penalties["pairs"]
        pairs.forall = [(element, Hook(work)) for element, _ in pairs.forall]
        return converted

    monkeypatch.setattr(converter, "convert_problem_to_substutitable", with_hook)
    for _ in range(3):  # marked, planned and kept, then read from what is kept
        assert snapshot(compile_model(problem, instance)) == expected
    assert nested == [expected]


def test_what_is_kept_does_not_keep_the_model_alive():
    problem, instance = testing.tsp(3, onehot="constraint")
    to_qubo_arrays(problem, instance, progress=False)
    compile_model(problem, instance)
    gone = weakref.ref(problem)
    del problem
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("trip", [copy.copy, copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))])
def test_a_compiled_model_copies_and_pickles_without_what_is_kept(trip):
    problem = model()
    expected = compile_model(problem, {"N": 4})
    twin = trip(problem)
    assert "_derived" in vars(problem) and "_derived" not in vars(twin)
    assert compile_model(twin, {"N": 4}).objective.coeff == expected.objective.coeff


@pytest.mark.parametrize("value", [np.int64(2**62), np.int32(100000), np.uint8(200), np.float16(300), np.float32(0.5)])
def test_a_literal_set_in_place_to_a_numpy_number_compiles_as_one_made_with_it(value):
    # the constructor stores NumPy numbers as Python's; a value set in place is read the same way
    x = ql.BinaryVar("x", shape=(2,))
    literal = ql.NumberLit(1)
    problem = ql.Problem("p")
    problem += literal * literal * x[0] + literal * 3
    for _ in range(2):  # kept from the second compile on
        compile_model(problem, {})
    literal.value = value
    fresh = ql.NumberLit(value)
    expected = ql.Problem("p")
    expected += fresh * fresh * x[0] + fresh * 3
    assert snapshot(compile_model(problem, {})) == snapshot(compile_model(expected, {}))


def test_a_model_added_to_by_another_thread_compiles_as_it_was_at_some_moment():
    # its constraints and penalties were iterated while another thread added to them: "dictionary
    # changed size during iteration", or a penalty lowered after its list was read
    problem, instance = testing.tsp(6)
    x = ql.BinaryVar("x", shape=(ql.Placeholder("N"), ql.Placeholder("N")))
    stop = threading.Event()

    def add():
        k = 0
        while not stop.is_set():
            e = ql.Element(f"e{k}", 6)
            problem.__iadd__(ql.Constraint(f"c{k}", ql.sum(e, x[e, k % 6]) <= 1))
            problem.__iadd__(ql.CustomPenaltyTerm(f"p{k}", x[k % 6, 0]))
            k += 1
            time.sleep(0.001)

    adder = threading.Thread(target=add)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    adder.start()
    try:
        for _ in range(40):
            compiled = compile_model(problem, instance)
            assert set(compiled.penalty) <= set(problem.custom_penalty_terms)
    finally:
        stop.set()
        adder.join()
        sys.setswitchinterval(interval)
