"""A plain-Python reading of quillon models, written for the tests and sharing nothing with the
compiler: the value of an expression at given data, element bindings and variable values, the
assignments of a forall list, the values that pinning constraints fix, and the value of a
compiled polynomial at a point. Numbers are kept exact (ints and Fractions)."""

import math
import numbers
from fractions import Fraction

import numpy as np

import quillon as ql

VARIABLES = (ql.BinaryVar, ql.IntegerVar)
COMPARE = {
    ql.EqualOp: lambda a, b: a == b,
    ql.NotEqualOp: lambda a, b: a != b,
    ql.LessThanOp: lambda a, b: a < b,
    ql.LessThanEqualOp: lambda a, b: a <= b,
    ql.GreaterThanOp: lambda a, b: a > b,
    ql.GreaterThanEqualOp: lambda a, b: a >= b,
}


def exact(value):
    """A number as an int or an exact Fraction; arrays and lists element by element."""
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, (list, tuple)):
        return [exact(item) for item in value]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"not a number: {value!r}")
    return value if isinstance(value, int) else Fraction(value)


def subscript_chain(expr):
    """(indexed node, subscripts) of a possibly nested Subscript; (expr, []) otherwise."""
    subscripts = []
    while type(expr) is ql.Subscript:
        subscripts[:0] = expr.subscripts
        expr = expr.variable
    return expr, subscripts


def children(node):
    if isinstance(node, ql.Range):
        return [node.start, node.end]
    if type(node) is ql.Element:
        return [node.belong_to]
    if type(node) is ql.Subscript:
        return [node.variable, *node.subscripts]
    if type(node) is ql.PowOp:
        return [node.base, node.exponent]
    if type(node) is ql.ModOp or type(node) in COMPARE:
        return [node.left, node.right]
    if type(node) in (ql.SumOp, ql.ProdOp):
        return [node.index, node.operand] + ([node.condition] if node.condition is not None else [])
    return list(getattr(node, "terms", []))


def has_variable(node):
    return type(node) in VARIABLES or any(has_variable(kid) for kid in children(node))


class Oracle:
    """Reads a model against one instance; `variable_value` gives each decision variable's value."""

    def __init__(self, instance, variable_value=None):
        self.data = {name: exact(value) for name, value in instance.items()}
        self.variable_value = variable_value  # (label, subscripts) -> value
        self.bound = {}  # element name -> current index

    # --- expressions ---

    def value(self, e):
        kind = type(e)
        if kind is ql.NumberLit:
            return exact(e.value)
        if kind is ql.Placeholder:
            return self.data[e.name]
        if kind is ql.Element:
            index = self.bound[e.name]
            return index if self._is_range(e) else self.value(e.belong_to)[index]
        if kind in VARIABLES:
            return self.variable_value(e.name, ())
        if kind is ql.Subscript:
            root, subscripts = subscript_chain(e)
            at = tuple(int(self.value(s)) for s in subscripts)  # int() truncates, as indices do
            if type(root) in VARIABLES:
                return self.variable_value(root.name, at)
            value = self.value(root)
            for i in at:
                assert 0 <= i < len(value), f"{e} reads index {i} of {len(value)}"
                value = value[i]
            return value
        if kind is ql.AddOp:
            return sum((self.value(t) for t in e.terms), 0)
        if kind is ql.MulOp:
            return math.prod([self.value(t) for t in e.terms])
        if kind is ql.PowOp:
            base, exponent = self.value(e.base), self.value(e.exponent)
            assert exponent == int(exponent), "the models raise to integral powers only"
            return Fraction(base) ** int(exponent) if exponent < 0 else base ** int(exponent)
        if kind is ql.ModOp:
            return self.value(e.left) % self.value(e.right)
        if kind in (ql.MaxOp, ql.MinOp):
            values = [self.value(t) for t in e.terms]
            return (max if kind is ql.MaxOp else min)(values) if values else 0
        if kind in (ql.SumOp, ql.ProdOp):
            total = 0 if kind is ql.SumOp else 1
            for index in self.domain(e.index):
                self.bound[e.index.name] = index
                if self.holds(e.condition):
                    total = total + self.value(e.operand) if kind is ql.SumOp else total * self.value(e.operand)
            return total
        raise NotImplementedError(f"the oracle does not read {kind.__name__}")

    def magnitude(self, e):
        """The value with every number and variable taken positive and every subtraction as an
        addition: a bound on each term of the expansion, hence on the rounding of a float one."""
        kind = type(e)
        if kind in (ql.AddOp, ql.MulOp):
            parts = [self.magnitude(t) for t in e.terms]
            return sum(parts, 0) if kind is ql.AddOp else math.prod(parts)
        if kind is ql.PowOp:
            return self.magnitude(e.base) ** abs(int(self.value(e.exponent)))
        if kind in (ql.SumOp, ql.ProdOp):
            total = 0 if kind is ql.SumOp else 1
            for index in self.domain(e.index):
                self.bound[e.index.name] = index
                if self.holds(e.condition):
                    total = total + self.magnitude(e.operand) if kind is ql.SumOp else total * self.magnitude(e.operand)
            return total
        return abs(self.value(e))

    def measure(self, e):
        return self.value(e), self.magnitude(e)

    def holds(self, c):
        if c is None:
            return True
        if type(c) in COMPARE:
            return COMPARE[type(c)](self.value(c.left), self.value(c.right))
        truths = [self.holds(t) for t in c.terms]
        if type(c) is ql.AndOp:
            return all(truths)
        if type(c) is ql.OrOp:
            return any(truths)
        return sum(truths) % 2 == 1  # XorOp: an odd number hold

    @staticmethod
    def _is_range(element):
        return isinstance(element.belong_to, ql.Range) or element.belong_to.ndim == 0

    def domain(self, element):
        over = element.belong_to
        if isinstance(over, ql.Range):
            return range(int(self.value(over.start)), int(self.value(over.end)))
        if over.ndim == 0:
            return range(int(self.value(over)))
        return range(len(self.value(over)))

    # --- problems ---

    def assignments(self, forall, level=0, chosen=()):
        """Every forall key, outer level first, each level's values in order; binds as it goes."""
        if level == len(forall):
            yield chosen
            return
        element, condition = forall[level]
        for index in self.domain(element):
            self.bound[element.name] = index
            if self.holds(condition):
                yield from self.assignments(forall, level + 1, chosen + (index,))

    def bind(self, forall, key):
        for (element, _), index in zip(forall, key):
            self.bound[element.name] = index

    @staticmethod
    def pinned_variable(constraint):
        """The variable an equality `variable[subscripts] == data` pins, else None."""
        e = constraint.expression
        if type(e) is not ql.EqualOp or has_variable(e.right):
            return None
        root, _ = subscript_chain(e.left)
        return root if type(root) in VARIABLES else None

    def fixed_values(self, problem, caller_fixed, measured=False):
        """The caller's fixed values merged with those the pinning constraints fix: an earlier
        value (the caller's, or an earlier constraint's) wins, within a constraint the last.
        With `measured`, each value comes as (value, magnitude) (see `magnitude`)."""
        fixed = {
            label: {at: (v, abs(v)) if measured else v for at, v in values.items()}
            for label, values in caller_fixed.items()
        }
        for constraint in problem.constraints.values():
            variable = self.pinned_variable(constraint)
            if variable is None:
                continue
            pins = {}
            for key in list(self.assignments(constraint.forall)):
                self.bind(constraint.forall, key)
                _, subscripts = subscript_chain(constraint.expression.left)
                at = tuple(int(self.value(s)) for s in subscripts)
                right = constraint.expression.right
                pins[at] = (self.value(right), self.magnitude(right)) if measured else self.value(right)
            pins.update(fixed.get(variable.name, {}))
            fixed[variable.name] = pins
        return fixed

    def instance_value(self, item, key):
        """The value and magnitude of a constraint (as left minus right, >= read as <= with the
        sides swapped) or of a custom penalty at one forall key."""
        self.bind(item.forall, key)
        if isinstance(item, ql.CustomPenaltyTerm):
            return self.measure(item.expression)
        e = item.expression
        left, right = (e.right, e.left) if type(e) is ql.GreaterThanEqualOp else (e.left, e.right)
        return self.value(left) - self.value(right), self.magnitude(left) + self.magnitude(right)


def polynomial_value(poly, point):
    """sum of coefficient * product of the key's variable values, plus the constant."""
    total = exact(poly.constant)
    for key, coefficient in poly.coeff.items():
        term = exact(coefficient)
        for index in key:
            term *= point[index]
        total += term
    return total
