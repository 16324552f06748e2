"""Constraint weights chosen from a model's own numbers.

``constraint_weight="auto"`` (the routes' default) gives constraint ``c`` the weight
``SAFETY * swing / step(c)``, rounded up to an integer when above 1:

- ``swing`` bounds the change of the objective (its minimised form, custom penalties included at
  their weights) when one binary flips. Over the lowered binary polynomial, flipping binary b
  changes it by ``g_b = linear_b + sum of c_T * prod(b_j, j in T - {b})`` over the terms T of
  degree 2 and more that hold b; every product is 0 or 1, so ``g_b`` lies between
  ``linear_b + (sum of the negative c_T)`` and ``linear_b + (sum of the positive c_T)``, and
  ``swing`` is the largest magnitude of those ends over all binaries.
- ``step(c)`` is the smallest non-zero value the constraint's squared term can take at a
  violation. Every left-hand side value is its constant plus a multiple of the grain ``G`` of
  its coefficients (their greatest common divisor, read exactly for numbers of up to six
  decimals): a violated equality is at least the smallest non-zero ``|constant + k G|`` away
  from 0, and a violated inequality's ``lhs + slack`` (slack >= 0) is at least the smallest
  positive ``constant + k G``. With integer data that is 1 or more.
  Coefficients with more decimals have no grain to read: the smallest non-zero coefficient
  magnitude stands in for it, an estimate rather than a bound.

So every assignment that violates a constraint pays more than ``SAFETY`` times the largest
objective difference one flipped binary can buy: no violating assignment beats a feasible one
a single flip away. That bounds single changes, not the whole range of the objective (which
would guarantee a feasible optimum, at weights that grow with the model's size and flatten the
landscape samplers walk): a violation that several flips reach together may still pay, and the
factor 2 is the margin against it. With it, the optimum of every model the tests search
exhaustively (knapsacks, assignments, TSPs, integer covers, random models) is feasible; with
factor 1, some random models' optima were not. The one-hot rules of ``encoding_weight="auto"``
take a step of 1. A model whose objective and penalties cannot change at all weighs its
constraints 1.
"""

from __future__ import annotations

import math
import typing as typ

import numpy as np

from quillon_transpiler.core.compile import compile as driver
from quillon_transpiler.core.pubo import binarize
from quillon_transpiler.core.records import replaced

if typ.TYPE_CHECKING:
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

AUTO = "auto"
#: how far an automatic weight stands above the bound it is derived from
SAFETY = 2.0
#: decimals up to which a coefficient's grain is read exactly
_DECIMALS = 6

_EMPTY: typ.Any = None


def is_auto(weight: typ.Any) -> bool:
    return isinstance(weight, str) and weight == AUTO


def empty_polynomial() -> typ.Any:
    """A polynomial with no terms: the objective of a lowering of constraints alone."""
    global _EMPTY
    if _EMPTY is None:
        from quillon_transpiler.core.substitute.subs_poly import SubstitutedExpression

        _EMPTY = SubstitutedExpression({}, 0.0, 0)
    return _EMPTY


def resolve(request: binarize.PuboRequest, compiled: CompiledInstance, onehot: bool = False) -> binarize.PuboRequest:
    """The request with every ``"auto"`` constraint weight (and with ``onehot`` the one-hot rules'
    weight, whose step is 1) replaced by its number; the objective is lowered once more, alone,
    for it."""
    auto = [label for label, weight in request.constraint_weights.items() if is_auto(weight)]
    if not (auto or onehot):
        return request
    steps = {label: smallest_step(compiled.constraint[label], request.kinds[label]) for label in auto}
    return chosen(request, objective_swing(request), steps, onehot)


def chosen(
    request: binarize.PuboRequest, swing: float, steps: dict[str, float], onehot: bool = False
) -> binarize.PuboRequest:
    """The request with the weight of every label of ``steps`` (and with ``onehot`` the one-hot
    rules') chosen from ``swing``."""
    out = dict(request.constraint_weights)
    for label, step in steps.items():
        out[label] = weight_for(swing, step, label)
    rules = weight_for(swing, 1.0) if onehot else request.onehot_weight
    return replaced(request, constraint_weights=out, onehot_weight=rules)


def waiting(
    request: binarize.PuboRequest, compiled: CompiledInstance, onehot: bool
) -> tuple[binarize.PuboRequest, dict[str, float]] | None:
    """For ``binarize._lower_arrays_late``, which chooses automatic weights as it merges: the
    request with every ``"auto"`` constraint weight standing at 1, and each such label's step;
    None when it has none, or when the one-hot rules' weight or a weighted penalty would change
    the swing (``resolve`` chooses them then)."""
    auto = [label for label, weight in request.constraint_weights.items() if is_auto(weight)]
    if not auto or onehot or any(request.penalty_weights[label] != 0 for label in request.penalties):
        return None
    steps = {label: smallest_step(compiled.constraint[label], request.kinds[label]) for label in auto}
    stand_in = replaced(request, constraint_weights={**request.constraint_weights, **dict.fromkeys(auto, 1.0)})
    return stand_in, steps


def weight_for(swing: float, step: float, label: str | None = None) -> float | int:
    """``SAFETY * swing / step``, rounded up to an integer when above 1 (a weight easy to read,
    whose products with integer data stay exact); 1 when nothing can be bought. A weight past
    float64's range (a step that underflowed to 0, a huge swing) is refused, naming constraint
    ``label`` (None: the one-hot rules)."""
    if not swing > 0:
        return 1
    weight = SAFETY * swing / step if step > 0 else math.inf
    if not math.isfinite(weight):
        what, name = (
            ("the one-hot rules", "encoding_weight")
            if label is None
            else (f"constraint `{label}`", "constraint_weight")
        )
        raise ValueError(
            f'{name}="auto" cannot weigh {what}: {SAFETY:g} times the largest change one flip makes to the '
            f"objective and weighted penalties ({swing!r}) over the smallest squared violation ({step!r}) is "
            f"past float64's range. Give {name} as a number, or scale the data."
        )
    # an int: a float weight would round the products of integer data past 2**53
    return math.ceil(weight) if weight > 1 else weight


def objective_swing(request: binarize.PuboRequest) -> float:
    """The largest change of the objective and weighted penalties one flipped binary can make."""
    alone = replaced(request, constraints={}, kinds={}, constraint_weights={}, onehot_weight=0)
    try:
        # flip_bound of _lower_arrays(alone, False, None), counted in C++ without the arrays
        return binarize._lower_swing(alone)
    except ValueError as error:
        if "exact float64" not in str(error):
            raise
        return _dict_swing(binarize._lower(alone))  # numbers beyond float64, as to_pubo keeps them


def _dict_swing(lowered: binarize.PuboTerms) -> float:
    """``flip_bound`` of a coefficient dict, its numbers rounded to float64."""
    try:
        items = [(key, float(value)) for key, value in lowered.coeff.items() if key]
    except OverflowError:
        raise ValueError(
            'constraint_weight="auto" reads the objective as float64 numbers, and one of its coefficients is beyond '
            "them: give the weights as numbers"
        ) from None
    linear = np.zeros(lowered.num_binaries)
    pairs = [(key, value) for key, value in items if len(key) == 2]
    higher = [(key, value) for key, value in items if len(key) > 2]
    for key, value in items:
        if len(key) == 1:
            linear[key[0]] += value
    return flip_bound(
        linear,
        (
            np.array([k[0] for k, _ in pairs], dtype=np.int64),
            np.array([k[1] for k, _ in pairs], dtype=np.int64),
            np.array([v for _, v in pairs]),
        ),
        (
            np.cumsum([0] + [len(k) for k, _ in higher]),
            np.array([i for k, _ in higher for i in k], dtype=np.int64),
            np.array([v for _, v in higher]),
        ),
    )


def flip_bound(
    linear: np.ndarray,
    quadratic: tuple[np.ndarray, np.ndarray, np.ndarray],
    higher: tuple[np.ndarray, np.ndarray, np.ndarray],
) -> float:
    """max over binaries b of the largest |change| of the polynomial when b flips (see above)."""
    n = len(linear)
    if n == 0:
        return 0.0
    rows, cols, biases = quadratic
    offsets, indices, hbiases = higher
    values = np.asarray(biases, dtype=np.float64)
    sources = [(rows, values), (cols, values)]
    if len(hbiases):
        sources.append((indices, np.repeat(np.asarray(hbiases, dtype=np.float64), np.diff(offsets))))
    up, down = np.zeros(n), np.zeros(n)
    for where, value in sources:
        positive = np.maximum(value, 0.0)
        where = np.ascontiguousarray(where)  # the lowering's may be strided views: counted faster packed
        up += np.bincount(where, weights=positive, minlength=n)
        down += np.bincount(where, weights=value - positive, minlength=n)
    lin = np.asarray(linear, dtype=np.float64)
    return float(np.maximum(np.abs(lin + up), np.abs(lin + down)).max())


def smallest_step(polys: typ.Mapping[tuple[int, ...], typ.Any], kind: int) -> float:
    """The smallest non-zero squared term a violation of the constraint (``lhs`` by forall key;
    ``kind`` 1 ``==``, 2 ``<=``, 3 ``>=``) costs at weight 1."""
    # native polynomials of machine numbers: each distinct (magnitudes, constant) read once, in C++
    sets = driver._native_coefficient_sets(polys) if type(polys) is dict and polys else None
    if sets is None:
        steps = [_key_step(poly, kind) for poly in polys.values()]
    else:
        steps = [_step(list(magnitudes), constant, kind) for magnitudes, constant in sets]
    found = [step for step in steps if step is not None]
    return min(found) if found else 1.0


def _key_step(poly: typ.Any, kind: int) -> float | None:
    coeff, constant = _coefficients(poly)
    try:
        # the distinct values only: a sum of many like coefficients reads as fast as one
        terms = list({abs(float(c)) for c in set(coeff) if c != 0})
        constant = float(constant)
    except (OverflowError, TypeError):  # an int beyond float64, a complex number: no step to read
        return None
    return _step(terms, constant, kind)


def _step(terms: list[float], constant: float, kind: int) -> float | None:
    """The step of one polynomial: the distinct magnitudes of its non-zero coefficients, its constant."""
    if not terms or not all(map(math.isfinite, [*terms, constant])):
        return None  # a constant changes with no assignment; an inf or NaN the lowering refuses by name
    if max(*terms, abs(constant)) >= _EXACT:
        # past float64's integers a magnitude is no longer the number given (2**53 + 1 reads as
        # 2**53), and a grain read from them can be far too coarse: the weight would not cover
        # a violation of 1. None leaves the constraint to the default step.
        return None
    constant = constant if kind != 3 else -constant
    grain = _grain(terms)
    if grain is None:
        return min(terms) ** 2
    if kind == 1:
        rest = math.fmod(abs(constant), grain)
        least = grain if _near(rest, 0.0, grain) or _near(rest, grain, grain) else min(rest, grain - rest)
    else:
        rest = math.fmod(constant, grain) % grain  # lhs > 0 takes rest, rest + grain, ...
        least = grain if _near(rest, 0.0, grain) or _near(rest, grain, grain) else rest
    return least * least


_EXACT = 2.0**53  # float64 holds every integer below this, and not every one above


def _near(a: float, b: float, scale: float) -> bool:
    return abs(a - b) <= 1e-9 * scale


def _coefficients(poly: typ.Any) -> tuple[typ.Iterable[typ.Any], typ.Any]:
    """(coefficients, constant) of a compiled polynomial: an expression, or a native capsule."""
    if not hasattr(poly, "coeff"):
        poly = driver._native_expression(poly)
    return poly.coeff.values(), poly.constant


def _grain(values: list[float]) -> float | None:
    """The greatest common divisor of non-negative numbers that all have at most ``_DECIMALS``
    decimals (read as such), else None."""
    for decimals in range(_DECIMALS + 1):
        scale = 10.0**decimals
        scaled = [v * scale for v in values]
        whole = [round(s) for s in scaled]
        if all(abs(s - w) <= 1e-9 * max(1.0, s) for s, w in zip(scaled, whole)):
            divisor = 0
            for w in whole:
                divisor = math.gcd(divisor, int(w))
            return divisor / scale if divisor else None
    return None
