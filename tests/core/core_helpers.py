"""Small builders shared by the core tests."""

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core.substitute import SubstitutedExpression as S

N = se.Number
EVERYTHING = lambda node: True  # noqa: E731


def snapshot(poly):
    return (list(poly.coeff.items()), poly.constant, poly.order)


def binary(name, shape=()):
    return se.DecisionVariable.create_binaryvar(name, shape)


def lin(name, constant):
    """The scalar binary variable ``name`` plus ``constant``."""
    return se.MultipleOperator([binary(name), N(constant)], se.MultipleOpeKind.ADD)


class Given(se.SubstitutableExpr):
    """A node outside the package that substitutes to one given polynomial (counting calls)."""

    def __init__(self, poly):
        super().__init__()
        self.poly, self.calls = poly, 0

    def _substitute(self, var_map, instance_data):
        self.calls += 1
        return self.poly if isinstance(self.poly, S) else S({}, self.poly, 0)
