"""Quadratic models of higher-order binary polynomials, for samplers that take QUBOs only.

``substitute`` applies Rosenberg's substitution: a pair x_a x_b inside terms of degree 3 or more
becomes a new binary y, with the penalty M (x_a x_b - 2 x_a y - 2 x_b y + 3 y), which is 0 when
y = x_a x_b and at least M otherwise. Every round each such term trades the pair it shares with
the most terms (ties: the smallest pair) for the pair's new binary, so one round lowers every
term's degree by one; the terms that chose the same pair share one auxiliary.

Strength. An auxiliary y replaces its pair in terms whose coefficients sum to T in magnitude.
Setting y != x_a x_b changes those terms by at most T and costs at least M, so with M > T the
minimum over y of the new polynomial equals the old one at every assignment of the other
binaries; by induction over the auxiliaries, in the order they are made, the minimum over all
of them equals the original energy for every assignment of the original binaries. We use
M = 2 T (a wrong auxiliary costs at least T more than the right one), raised to the caller's
``strength`` when that is larger, and rounded up to 50 significant bits so that 2 M and 3 M are
exact in float64 and the penalty of a right auxiliary sums to exactly 0.

A substitution never merges two terms (every new key holds the round's new auxiliary, and a
pair determines its auxiliary), so the substituted polynomial keeps every original coefficient
as it was; only the penalties' x_a x_b terms merge with terms already there.
"""

from __future__ import annotations

import dataclasses
import numbers
import typing as typ

import numpy as np

from quillon_transpiler.core.route_inputs import check_weight

#: the names ``reduction=`` takes
METHODS = ("substitute",)

_SHIFT = np.int64(32)
_LOW = np.int64((1 << 32) - 1)
_NONE = np.iinfo(np.int64).max


@dataclasses.dataclass(frozen=True, repr=False)
class Reduction:
    """How a quadratic model stands for a higher-order one.

    Binaries ``0 .. num_original - 1`` are the original model's; auxiliary ``num_original + k``
    stands for the product of binaries ``pairs[k]`` (either may be an earlier auxiliary) with
    the penalty weight ``strength[k]``. The auxiliaries made in round r are
    ``rounds[r] .. rounds[r + 1] - 1``; their pairs name binaries made before that round.
    ``pair_bias[k]`` is the substituted polynomial's own coefficient of the term ``pairs[k]``
    (0 without one): the model's coefficient there also holds the penalties'.
    """

    method: str
    num_original: int
    pairs: np.ndarray
    strength: np.ndarray
    rounds: np.ndarray
    pair_bias: np.ndarray

    @property
    def num_auxiliaries(self) -> int:
        return len(self.pairs)

    def labels(self) -> list[tuple[str, tuple[int, int], int]]:
        """("aux", (a, b), 0) for every auxiliary, a and b the binaries of its pair."""
        return [("aux", (a, b), 0) for a, b in self.pairs.tolist()]

    def auxiliaries(self, bits: np.ndarray) -> np.ndarray:
        """The original binaries (one sample per row) extended by the right auxiliaries' values."""
        out = np.zeros((len(bits), self.num_original + self.num_auxiliaries), dtype=np.uint8)
        out[:, : self.num_original] = bits
        for r in range(len(self.rounds) - 1):
            lo, hi = int(self.rounds[r]), int(self.rounds[r + 1])
            a, b = self.pairs[lo:hi, 0], self.pairs[lo:hi, 1]
            out[:, self.num_original + lo : self.num_original + hi] = out[:, a] & out[:, b]
        return out

    def __repr__(self) -> str:
        return f"Reduction({self.method!r}, {self.num_auxiliaries} auxiliaries in {len(self.rounds) - 1} rounds)"


def check_method(reduction: typ.Any, strength: typ.Any) -> None:
    """``reduction`` names a method (or is None); ``strength`` a finite, non-negative number (or None)."""
    if reduction is not None and reduction not in METHODS:
        raise ValueError(
            f"unknown reduction {reduction!r}; reduction='substitute' replaces products of degree 3 or more by "
            "auxiliary binaries"
        )
    if strength is not None:
        if reduction is None:
            raise ValueError("reduction_strength is given without a reduction: pass reduction='substitute' too")
        if isinstance(strength, numbers.Real) and not isinstance(strength, bool) and strength < 0:
            raise ValueError(
                f"reduction_strength is {strength!r}, a negative floor for the auxiliaries' penalty weights: give 0 "
                "or more (None or 0 keeps the weights the reduction computes)"
            )
        check_weight(strength, "reduction_strength")


@dataclasses.dataclass
class Quadratic:
    """A reduced model's arrays: linear biases (auxiliaries' last), quadratic terms sorted by row
    then column."""

    linear: np.ndarray
    rows: np.ndarray
    cols: np.ndarray
    biases: np.ndarray
    reduction: Reduction


def substitute(
    linear: np.ndarray,
    rows: np.ndarray,
    cols: np.ndarray,
    biases: np.ndarray,
    offsets: np.ndarray,
    indices: np.ndarray,
    higher_biases: np.ndarray,
    strength: typ.Optional[float] = None,
) -> Quadratic:
    """The quadratic model of linear + quadratic + higher terms (laid out as ``QuboArrays``
    holds them) by Rosenberg's substitution; see the module's text for the strength."""
    num_original = len(linear)
    groups = _by_degree(offsets, indices, higher_biases)
    floor = 0.0 if strength is None else float(strength)
    made_quadratic: list[tuple[np.ndarray, np.ndarray]] = []
    pairs: list[np.ndarray] = []
    weights: list[np.ndarray] = []
    rounds = [0]
    total = num_original
    while groups:
        # every pair of every term, coded a << 32 | b (a < b: keys are sorted)
        in_terms = {d: _pair_codes(keys) for d, (keys, _) in groups.items()}
        shared, counts = np.unique(np.concatenate([c.ravel() for c in in_terms.values()]), return_counts=True)
        chosen: dict[int, np.ndarray] = {}  # degree -> the column pair each term trades
        for d, c in in_terms.items():
            count = counts[np.searchsorted(shared, c)]
            best = count == count.max(axis=1, keepdims=True)
            chosen[d] = np.where(best, c, _NONE).argmin(axis=1)
        picked = np.concatenate([c[np.arange(len(c)), chosen[d]] for d, c in in_terms.items()])
        magnitude = np.concatenate([np.abs(coefs) for _, coefs in groups.values()])
        made, which = np.unique(picked, return_inverse=True)
        weights.append(np.bincount(which.ravel(), weights=magnitude, minlength=len(made)))
        pairs.append(np.stack([made >> _SHIFT, made & _LOW], axis=1))
        aux = (total + np.arange(len(made), dtype=np.int64))[which.ravel()]
        total += len(made)
        rounds.append(total - num_original)
        following: dict[int, tuple[np.ndarray, np.ndarray]] = {}
        start = 0
        for d, (keys, coefs) in groups.items():
            n = len(keys)
            first, second = _pair_columns(d)
            keep = np.ones(keys.shape, dtype=bool)
            at = np.arange(n)
            keep[at, first[chosen[d]]] = False
            keep[at, second[chosen[d]]] = False
            # the auxiliary is the largest index yet: appended, the key stays sorted
            reduced = np.concatenate([keys[keep].reshape(n, d - 2), aux[start : start + n, None]], axis=1)
            start += n
            if d - 1 == 2:
                made_quadratic.append((reduced, coefs))
            elif d - 1 in following:
                old_keys, old_coefs = following[d - 1]
                following[d - 1] = (np.concatenate([old_keys, reduced]), np.concatenate([old_coefs, coefs]))
            else:
                following[d - 1] = (reduced, coefs)
        groups = following
    pair = np.concatenate(pairs) if pairs else np.zeros((0, 2), dtype=np.int64)
    bound = np.concatenate(weights) if weights else np.zeros(0)
    m = _penalty_weight(bound, floor)
    # the substituted polynomial's quadratic terms: the original ones and the reduced ones, disjoint
    g_rows = np.concatenate([rows.astype(np.int64)] + [k[:, 0] for k, _ in made_quadratic])
    g_cols = np.concatenate([cols.astype(np.int64)] + [k[:, 1] for k, _ in made_quadratic])
    g_biases = np.concatenate([biases.astype(np.float64)] + [c for _, c in made_quadratic])
    g_codes = g_rows << _SHIFT | g_cols
    order = np.argsort(g_codes)
    g_codes, g_biases = g_codes[order], g_biases[order]
    pair_codes = pair[:, 0] << _SHIFT | pair[:, 1]
    pair_bias = np.zeros(len(pair))
    if len(g_codes):
        where = np.minimum(np.searchsorted(g_codes, pair_codes), len(g_codes) - 1)
        found = g_codes[where] == pair_codes
        pair_bias[found] = g_biases[where[found]]
    aux = num_original + np.arange(len(pair), dtype=np.int64)
    with np.errstate(over="ignore"):  # an overflow is refused below, by name
        codes, summed = _merged(
            np.concatenate([g_codes, pair_codes, pair[:, 0] << _SHIFT | aux, pair[:, 1] << _SHIFT | aux]),
            np.concatenate([g_biases, m, -2 * m, -2 * m]),
        )
        new_linear = np.concatenate([np.asarray(linear, dtype=np.float64), 3 * m])
    # 3 M, 2 M and the sums with the pairs' own biases: finite only while M is a third of
    # float64's range (the inf of an overflow would decode as a NaN energy)
    if not (np.isfinite(new_linear).all() and np.isfinite(summed).all()):
        raise ValueError(
            "the reduction's penalty weights times 3 pass float64's range: the coefficients of the terms of "
            "degree 3 or more (or reduction_strength) are too large; scale the model down"
        )
    reduction = Reduction(
        "substitute",
        num_original,
        pair.astype(np.int64),
        m,
        np.asarray(rounds, dtype=np.int64),
        np.asarray(pair_bias, dtype=np.float64),
    )
    out = Quadratic(
        new_linear,
        (codes >> _SHIFT).astype(np.int32),
        (codes & _LOW).astype(np.int32),
        summed.astype(np.float64),
        reduction,
    )
    # not a field: what decoding checks the model against (see written_entries)
    object.__setattr__(reduction, "_written", written_entries(out.linear, out.rows, out.cols, out.biases, reduction))
    return out


def written_entries(
    linear: np.ndarray, rows: np.ndarray, cols: np.ndarray, biases: np.ndarray, reduction: Reduction
) -> np.ndarray:
    """The biases of a reduced model on the reduction's own terms: every auxiliary's linear one,
    then those of each pair, and of each pair's binaries with its auxiliary. Decoding takes the
    reduction's penalties off these terms as it wrote them, so it checks they still hold that."""
    codes = np.asarray(rows, dtype=np.int64) << _SHIFT | np.asarray(cols, dtype=np.int64)
    pairs = reduction.pairs
    aux = reduction.num_original + np.arange(len(pairs), dtype=np.int64)
    wanted = np.concatenate(
        [pairs[:, 0] << _SHIFT | pairs[:, 1], pairs[:, 0] << _SHIFT | aux, pairs[:, 1] << _SHIFT | aux]
    )
    own = np.asarray(linear, dtype=np.float64)[reduction.num_original :]
    if not len(codes):  # every term removed: none found (NaN equals nothing)
        return np.concatenate([own, np.full(len(wanted), np.nan)])
    at = np.minimum(np.searchsorted(codes, wanted), len(codes) - 1)
    found = np.where(codes[at] == wanted, np.asarray(biases, dtype=np.float64)[at], np.nan)
    return np.concatenate([own, found])


def _by_degree(
    offsets: np.ndarray, indices: np.ndarray, biases: np.ndarray
) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """Terms of degree 3 or more by degree: (keys one per row, coefficients); zero ones dropped."""
    degrees = np.diff(np.asarray(offsets, dtype=np.int64))
    starts = np.asarray(offsets, dtype=np.int64)[:-1]
    indices = np.asarray(indices, dtype=np.int64)
    biases = np.asarray(biases, dtype=np.float64)
    groups: dict[int, tuple[np.ndarray, np.ndarray]] = {}
    for d in np.unique(degrees[biases != 0]).tolist():
        chosen = np.flatnonzero((degrees == d) & (biases != 0))
        groups[d] = (indices[starts[chosen][:, None] + np.arange(d)], biases[chosen])
    return groups


def _pair_codes(keys: np.ndarray) -> np.ndarray:
    first, second = _pair_columns(keys.shape[1])
    codes: np.ndarray = keys[:, first] << _SHIFT | keys[:, second]
    return codes


def _merged(codes: np.ndarray, biases: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct codes, sorted, with the biases of equal ones summed."""
    order = np.argsort(codes, kind="stable")
    codes, biases = codes[order], biases[order]
    if not len(codes):
        return codes, biases
    first = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1]])
    return codes[first], np.add.reduceat(biases, first)


_COLUMNS: dict[int, tuple[np.ndarray, np.ndarray]] = {}


def _pair_columns(d: int) -> tuple[np.ndarray, np.ndarray]:
    """The column pairs (p < q) of a key of d entries, in order."""
    if d not in _COLUMNS:
        _COLUMNS[d] = np.triu_indices(d, 1)
    return _COLUMNS[d]


def _penalty_weight(bound: np.ndarray, floor: float) -> np.ndarray:
    """max(2 * bound, floor), rounded up to 50 significant bits (2 M and 3 M then exact)."""
    m = np.maximum(2 * bound, floor)
    if not np.isfinite(m).all():
        raise ValueError(
            "the reduction's penalty weight is not finite: the coefficients of the terms of degree 3 or more "
            "sum past float64's range; scale the model down"
        )
    mantissa, exponent = np.frexp(m)
    return np.ldexp(np.ceil(mantissa * 2.0**50) / 2.0**50, exponent)
