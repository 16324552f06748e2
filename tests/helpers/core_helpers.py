"""Small builders shared by the core tests."""

import threading

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


def in_thread(work, stack_size=4 << 20):
    """work() in a thread with a known C stack: its result, or the exception it raised."""
    outcome = []

    def run():
        try:
            outcome.append(work())
        except Exception as error:
            outcome.append(error)

    old = threading.stack_size(stack_size)
    try:
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    return outcome[0]
