"""Random quillon models, as users write them, for the property tests of the compile and the
binary and CQM routes: nested sums and products with conditions, squares and cubes of sums,
products of sums, shifted, modular, summed and indirect subscripts, binary and integer
variables, 1-d, 2-d and jagged data, constraints and penalties over conditioned forall lists,
pinning constraints and caller-fixed variables. ``models()`` draws one; its arguments bound the
sizes (the compile test takes the defaults, the routes smaller models, whose binary forms grow
with the square of each constraint)."""

import math
import random

import numpy as np
from hypothesis import strategies as st
from model_oracle import children

import quillon as ql

N, M = ql.Placeholder("N"), ql.Placeholder("M")
V, A, U, C = (ql.Placeholder(name, 1) for name in "VAUC")  # coefficients, indices, bounds, pins
B, J = ql.Placeholder("B", 2), ql.Placeholder("J", 2)  # a 2-d array; jagged rows of indices
x, y = ql.BinaryVar("x", shape=(N,)), ql.BinaryVar("y", shape=(N, M))
z = ql.IntegerVar("z", shape=(N,), lower_bound=-2, upper_bound=U)
w, k = ql.BinaryVar("w"), ql.IntegerVar("k", lower_bound=0, upper_bound=M)
BIG = [2**40 + 1, -(3**27)]  # their cubes leave int64


class Index:
    """An element in scope: its expression, the range of its values when they are usable as
    indices (None for data values), and the most values it runs over."""

    def __init__(self, expr, lo, hi, size):
        self.expr, self.lo, self.hi, self.size = expr, lo, hi, size

    def fits(self, length, shift=0):
        return self.lo is not None and self.lo + shift >= 0 and self.hi + shift < length


class Models:
    """Draws the parts of one model; `room` bounds the number of terms an expression expands to."""

    def __init__(self, draw, n, m, floats):
        self.draw, self.n, self.m, self.floats = draw, n, m, floats
        self.count = 0
        self.big = True  # big ints stay out of powers, where constants become floats

    def pick(self, options):
        return options[self.draw(st.integers(0, len(options) - 1))]

    def name(self, prefix):
        self.count += 1
        return f"{prefix}{self.count}"

    def number(self, rng=None):
        """A small int, a quarter when the model has floats, now and then a big int; drawn from
        `rng` for data (hypothesis draws are slow in bulk), else by hypothesis."""
        integer = rng.randint if rng else lambda lo, hi: self.draw(st.integers(lo, hi))
        roll = integer(0, 15)
        if self.big and roll == 15:  # shrinks away from big
            return BIG[integer(0, 1)]
        if self.floats and roll >= 10:
            return integer(-12, 12) / 4
        return integer(-4, 4)

    # --- indices and data ---

    def element(self, scope):
        """A new element over one of the domains users write."""
        n, m, name = self.n, self.m, self.name("e")
        options = [
            lambda: Index(ql.Element(name, N), 0, n - 1, n),
            lambda: Index(ql.Element(name, M), 0, m - 1, m),
            lambda: Index(ql.Element(name, (1, N)), 1, n - 1, n - 1),
            lambda: Index(ql.Element(name, A), 0, n - 1, n),  # the entries of A, indices themselves
        ]
        for s in scope:
            if s.fits(n):
                options += [
                    lambda s=s: Index(ql.Element(name, (s.expr + 1, N)), s.lo + 1, n - 1, n - 1 - s.lo),
                    lambda s=s: Index(ql.Element(name, (0, s.expr)), 0, s.hi - 1, s.hi),
                    lambda s=s: Index(ql.Element(name, J[s.expr]), 0, n - 1, n),  # a jagged row
                    lambda s=s: Index(ql.Element(name, B[s.expr]), None, None, m),  # a row of data
                ]
        return self.pick(options)()

    def index(self, scope, length, deep=False):
        """A subscript whose values stay within an axis of `length` (N's or M's); mostly one
        that runs with the innermost element, so that sums meet many distinct variables."""
        size = N if length == self.n else M
        options = [lambda: self.draw(st.integers(0, length - 1))]
        for pos, s in enumerate(scope):
            mine = []
            if s.fits(length):
                mine.append(lambda s=s: s.expr)
            if s.fits(length, 1):
                mine.append(lambda s=s: s.expr + 1)
            if s.fits(length, -1):
                mine.append(lambda s=s: s.expr - 1)
            if s.lo is not None and s.lo >= 0:
                mine.append(lambda s=s: (s.expr + self.draw(st.integers(1, 3))) % size)
            for t in scope:
                if t is not s and s.fits(length) and t.fits(length) and s.hi + t.hi < length:
                    mine.append(lambda s=s, t=t: s.expr + t.expr)
            options += mine * (4 if pos == len(scope) - 1 else 1)
        if length == self.n and not deep:
            options.append(lambda: A[self.index(scope, self.n, deep=True)])  # indirect
        return self.pick(options)()

    def coefficient(self, scope):
        """A data-only expression (a number is wrapped, so that no sum of them is a plain int)."""
        options = [
            self.number,
            lambda: V[self.index(scope, self.n)],
            lambda: B[self.index(scope, self.n), self.index(scope, self.m)],
            lambda: N,
        ]
        for s in scope:
            options.append(lambda s=s: s.expr)
            if s.lo is not None:
                options.append(lambda s=s: (s.expr + self.draw(st.integers(0, 2))) % 3)
                options.append(lambda s=s: self.pick([ql.max, ql.min])(V[self.index(scope, self.n)], s.expr))
        if self.floats:
            options.append(lambda: self.coefficient(scope) / 2)
        value = self.pick(options)()
        return ql.NumberLit(value) if isinstance(value, (int, float)) else value

    def condition(self, e, scope):
        def one():
            options = [lambda: e.expr % 2 == 1, lambda: V[self.index(scope + [e], self.n)] > 0]
            for s in scope:
                options += [
                    lambda s=s: e.expr != s.expr,
                    lambda s=s: e.expr < s.expr,
                    lambda s=s: e.expr >= s.expr,
                    lambda s=s: (e.expr + s.expr) % 2 == 0,
                ]
            return self.pick(options)()

        first = one()
        combine = self.draw(st.integers(0, 5))
        return first if combine > 2 else [first & one(), first | one(), first ^ one()][combine]

    def forall(self, scope, levels):
        pairs = []
        for _ in range(levels):
            e = self.element(scope)
            pairs.append((e.expr, self.condition(e, scope) if self.draw(st.booleans()) else None))
            scope = scope + [e]
        return pairs, scope

    # --- expressions with decision variables ---

    def variable(self, scope):
        options = [
            lambda: x[self.index(scope, self.n)],
            lambda: y[self.index(scope, self.n), self.index(scope, self.m)],
            lambda: y[self.index(scope, self.n)][self.index(scope, self.m)],
            lambda: z[self.index(scope, self.n)],
        ] * 3 + [lambda: w, lambda: k]
        return self.pick(options)()

    def poly(self, scope, depth, room, kind=None):
        """An expression of at most `room` terms once expanded."""
        if depth == 0:
            kind = self.pick(["variable"] * 3 + ["coefficient"])
        elif kind is None:  # mostly sums and powers: they make the big polynomials
            kind = self.pick(["variable", "prod"] + ["add", "mul"] * 2 + ["pow"] * 3 + ["sum"] * 5)
        if kind == "coefficient":
            return self.coefficient(scope)
        if kind == "sum":
            e = self.element(scope)
            if room // max(e.size, 1) >= 1:
                cond = self.condition(e, scope) if self.draw(st.integers(0, 2)) == 0 else None
                # often several terms, whose keys the next values meet again
                body = self.poly(scope + [e], depth - 1, room // max(e.size, 1), self.pick(["add", "add", None]))
                return ql.sum(e.expr, body, cond)
        if kind == "prod":
            size = self.draw(st.integers(1, 3))
            part = int(room ** (1 / size)) - 1
            if part >= 1:
                e = Index(ql.Element(self.name("p"), (0, size)), 0, size - 1, size)
                cond = self.condition(e, scope) if self.draw(st.booleans()) else None
                return ql.prod(e.expr, self.poly(scope + [e], depth - 1, part), cond)
        if kind == "add":
            parts = self.draw(st.integers(2, 4))
            terms = [self.poly(scope, depth - 1, room // parts) for _ in range(parts)]
            signs = self.draw(st.lists(st.booleans(), min_size=parts, max_size=parts))
            total = terms[0]
            for term, minus in zip(terms[1:], signs):
                total = total - term if minus else total + term
            return total
        if kind == "mul":
            part = math.isqrt(room) - 1
            if part >= 1:
                first = self.poly(scope, depth - 1, part, self.pick(["sum", None]))  # often a product of sums
                return first * self.pick([lambda: self.poly(scope, depth - 1, part), lambda: self.coefficient(scope)])()
        if kind == "pow":
            exponent = self.pick([2, 3] * 4 + [0, 1])
            part = int(room ** (1 / max(exponent, 1))) - 2
            if part >= 1:
                big, self.big = self.big, False
                base = self.poly(scope, depth - 1, part, self.pick(["sum", "sum", None])) + self.coefficient(scope)
                self.big = big
                return base**exponent
        return self.variable(scope)


def array(draw, values):
    return np.array(values) if draw(st.booleans()) else values


@st.composite
def models(
    draw, n=(2, 12), m=(1, 6), objective=3000, constraint=800, side=20, penalty=800, constraints=(0, 2), routes=False
):
    """A Model. `n` and `m` bound the lengths N and M, the next four the terms an objective part,
    a constraint's left side, its right side and a penalty expand to; `constraints` bounds the
    number of constraints other than pinning ones. `routes` also draws maximisations, and
    fractional upper bounds of z (the bound reads as its floor) or ones that leave it a single
    value, which the binary and CQM routes treat apart; the compile test never draws them, so
    its examples stay."""
    n, m, floats = draw(st.integers(*n)), draw(st.integers(*m)), draw(st.booleans())
    g, rng = Models(draw, n, m, floats), random.Random(draw(st.integers(0, 2**32 - 1)))
    instance = {
        "N": n if draw(st.booleans()) else np.int64(n),
        "M": m,
        "V": array(draw, [g.number(rng) for _ in range(n)]),
        "A": array(draw, [rng.randrange(n) for _ in range(n)]),
        "U": array(draw, [rng.randint(0, 4) for _ in range(n)]),
        "C": array(draw, [g.number(rng) for _ in range(n)]),
        "B": array(draw, [[g.number(rng) for _ in range(m)] for _ in range(n)]),
        "J": [[rng.randrange(n) for _ in range(rng.randint(0, n))] for _ in range(n)],
    }
    problem = ql.Problem("random")
    for _ in range(draw(st.integers(1, 3))):
        problem += g.poly([], 4, objective)
    items = []
    for _ in range(draw(st.integers(*constraints))):
        forall, scope = g.forall([], draw(st.integers(0, 2)))
        left, right = g.poly(scope, 3, constraint), g.pick([g.poly, lambda s, d, r: g.coefficient(s)])(scope, 1, side)
        relation = g.pick([left == right, left <= right, left >= right])
        if forall and any(left is v for v in (w, k)):
            relation = left <= right  # pinning a scalar once per forall value is no model
        items.append(ql.Constraint(g.name("c"), relation, forall=forall))
    for _ in range(draw(st.integers(0, 2))):
        forall, scope = g.forall([], 1)
        target = g.pick(
            [
                lambda: x[g.index(scope, n)],
                lambda: y[g.index(scope, n), g.index(scope, m)],
                lambda: z[g.index(scope, n)],
                lambda: None,
            ]
        )()
        if target is None:  # a scalar, pinned once
            items.append(ql.Constraint(g.name("pin"), g.pick([w, k]) == g.coefficient([])))
        else:
            items.append(ql.Constraint(g.name("pin"), target == g.coefficient(scope), forall=forall))
    for _ in range(draw(st.integers(0, 2))):
        forall, scope = g.forall([], draw(st.integers(0, 2)))
        items.append(ql.CustomPenaltyTerm(g.name("p"), g.poly(scope, 3, penalty), forall=forall))
    for item in draw(st.permutations(items)):
        problem += item
    fixed = {}
    every = {"x": [(i,) for i in range(n)], "y": [(i, j) for i in range(n) for j in range(m)], "w": [()]}
    for label, subscripts in every.items():
        chosen = draw(st.lists(st.sampled_from(subscripts), max_size=3, unique=True))
        if chosen:
            fixed[label] = {s: g.number() for s in chosen}
    if routes and draw(st.booleans()):
        problem.sense = ql.ProblemSense.MAXIMIZE
    if routes and draw(st.booleans()):
        shift = draw(st.sampled_from([0.5, 0.25, 0.75, -2, -1.5]))  # fractional, or down to one value
        instance["U"] = [u + shift for u in instance["U"]]
    return Model(problem, instance, fixed, draw(st.integers(0, 2**32 - 1)))


class Model:
    """A drawn model; its repr, which a failing example shows, spells out every expression and
    the domain of every element."""

    def __init__(self, problem, instance, fixed, seed):
        self.problem, self.instance, self.fixed, self.seed = problem, instance, fixed, seed

    def __repr__(self):
        p = self.problem
        items = [*p.constraints.values(), *p.custom_penalty_terms.values()]
        domains = {}
        stack = [p.objective] + [i.expression for i in items]
        stack += [part for i in items for pair in i.forall for part in pair]
        while stack:
            node = stack.pop()
            if type(node) is ql.Element:
                domains[node.name] = node.belong_to
            stack += children(node) if node is not None else []
        sense = "maximise" if p.sense is ql.ProblemSense.MAXIMIZE else "objective"
        lines = [f"{sense}: {p.objective}", *map(repr, items)]
        lines.append("elements: " + ", ".join(f"{name} in {domains[name]}" for name in sorted(domains)))
        lines.append(f"instance={self.instance!r}, fixed={self.fixed!r}, seed={self.seed}")
        return "\n".join(lines)
