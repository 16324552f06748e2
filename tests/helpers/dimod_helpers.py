"""dimod's own arithmetic, term by term, as the reference the bridge must equal."""

import dimod

from quillon_transpiler.core.compile.convert_to_substitutable import ProblemSense
from quillon_transpiler.core.substitute.substitutable_expr import ConstraintKind


def term_by_term(expr, var_map):
    """Sum over the terms of QuadraticModel(offset=1) times each factor, times the coefficient."""
    model = dimod.QuadraticModel()
    for term, coefficient in expr.coeff.items():
        product = dimod.QuadraticModel(offset=1)
        for index in term:
            product *= var_map[index]
        model += product * coefficient
    model += expr.constant
    return model


def variable_models(compiled):
    """Index -> dimod.Binary or dimod.Integer, labelled (label, subscripts)."""
    registry = compiled.var_map
    table = {}
    for label, by_subs in registry.var_map.items():
        for subs, index in by_subs.items():
            if label in registry.integer_bound:
                bound = registry.integer_bound[label][subs]
                table[index] = dimod.Integer((label, subs), lower_bound=bound.lower, upper_bound=bound.upper)
            else:
                table[index] = dimod.Binary((label, subs))
    return table


def reference_cqm(compiled, penalty_weight=None):
    """The CQM built with model arithmetic, objective set as get_model(penalty_weight) sets it."""
    table = variable_models(compiled)
    cqm = dimod.ConstrainedQuadraticModel()
    for label, by_key in compiled.constraint.items():
        for key, poly in by_key.items():
            model = term_by_term(poly, table)
            kind = compiled.problem.constraints[label].condition.kind
            comparison = {
                ConstraintKind.EQUAL: model == 0,
                ConstraintKind.LESSTHANEQUAL: model <= 0,
                ConstraintKind.GREATERTHANEQUAL: model >= 0,
            }[kind]
            cqm.add_constraint(comparison, label=f"{label}_{key}")
    objective = term_by_term(compiled.objective, table)
    if compiled.problem.sense != ProblemSense.MINIMIZE:
        objective *= -1
    for label, weight in (penalty_weight or {}).items():
        penalty = dimod.QuadraticModel(offset=0.0)
        for poly in compiled.penalty[label].values():
            penalty += term_by_term(poly, table)
        objective += weight * penalty
    cqm.set_objective(objective)
    return cqm


def assert_same_model(got, want):
    """Same variables in the same order, vartypes, bounds, biases and offset, exactly."""
    assert list(got.variables) == list(want.variables)
    for v in want.variables:
        assert got.vartype(v) is want.vartype(v), v
        assert (got.lower_bound(v), got.upper_bound(v)) == (want.lower_bound(v), want.upper_bound(v)), v
    assert dict(got.linear) == dict(want.linear)
    assert dict(got.quadratic) == dict(want.quadratic)
    assert got.offset == want.offset


def assert_same_cqm(got, want):
    assert list(got.variables) == list(want.variables)
    for v in want.variables:
        assert got.vartype(v) is want.vartype(v), v
        assert (got.lower_bound(v), got.upper_bound(v)) == (want.lower_bound(v), want.upper_bound(v)), v
    assert list(got.constraints) == list(want.constraints)
    for label, c in want.constraints.items():
        assert got.constraints[label].sense is c.sense and got.constraints[label].rhs == c.rhs, label
        assert_same_model(got.constraints[label].lhs, c.lhs)
    assert_same_model(got.objective, want.objective)
