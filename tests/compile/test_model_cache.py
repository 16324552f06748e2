"""A model's trees are lowered once and kept while the model stays the same: a model changed
after a compile, in any way the modeling library allows, compiles as a fresh copy of it does."""

import copy

import numpy as np
import pytest

import quillon as ql
from quillon_transpiler import testing
from quillon_transpiler.core.compile.compile import compile_model

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


CHANGES = [
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
    before = snapshot(compile_model(problem, {"N": 4}))
    change(problem)
    after = snapshot(compile_model(problem, {"N": 4}))
    assert after == snapshot(compile_model(copy.deepcopy(problem), {"N": 4}))
    assert after != before


def test_the_data_is_read_again_on_every_compile():
    problem, instance = testing.tsp(4, onehot="penalty")
    first = compile_model(problem, instance).objective.coeff
    again = compile_model(problem, dict(instance, d=2 * np.asarray(instance["d"]))).objective.coeff
    assert again == {k: 2 * v for k, v in first.items()}
