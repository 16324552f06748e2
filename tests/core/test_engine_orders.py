"""Sums of monomials run through a kernel that finds variables and data entries by strides along
whichever axes follow the index, with machine numbers (doubles alone where every value is a
float64). Each case lowers the same model with numeric arrays (the kernel's fast loops) and with
object arrays, whose entries the engine reads one by one the general way: the arrays must agree
bit for bit, and hold the dict route's polynomial."""

import itertools

import numpy as np
import pytest

import quillon as ql
from quillon_transpiler import decode, testing, to_pubo, to_qubo_arrays
from quillon_transpiler.core.compile.compile import compile_model


def outcome(lower, problem, instance):
    try:
        return lower(problem, instance)
    except Exception as error:  # the same error either way (an inexact float64, say)
        return type(error).__name__


def arrays(problem, instance, fixed=None):
    return to_qubo_arrays(problem, instance, fixed, penalty_weight=1.0, progress=False)


def bits(a):
    names = ["linear", "quadratic_rows", "quadratic_cols", "quadratic_biases", "higher_offsets", "higher_indices"]
    return [getattr(a, name).tobytes() for name in names] + [repr(a.offset), type(a.offset)]


def general(instance):
    return {k: np.array(v, dtype=object) if isinstance(v, np.ndarray) else v for k, v in instance.items()}


def assert_paths_agree(problem, instance, fixed=None):
    """The native route with numeric arrays (the kernel's loops) gives, bit for bit, what it
    gives with object arrays (entries read one by one), and the dict route's polynomial."""

    def fixing(lower):
        return lambda problem, instance: lower(problem, instance, None if fixed is None else dict(fixed))

    fast = outcome(fixing(arrays), problem, instance)
    slow = outcome(fixing(arrays), problem, general(instance))
    if isinstance(fast, str):
        assert fast == slow
        return
    assert bits(fast) == bits(slow)
    pubo = to_pubo(problem, general(instance), None if fixed is None else dict(fixed), penalty_weight=1.0)
    assert fast.to_dict() == {k: v for k, v in pubo.coeff.items() if not (len(k) == 1 and v == 0)}
    assert fast.offset == pubo.constant


def values(kind, shape, seed=0):
    rng = np.random.default_rng(seed)
    if kind == "float":  # exact products; zeros of both signs and underflowing pairs among them
        pool = np.array([0.5, -1.25, 3.0, 0.0, -0.0, 1e-200, -1e-200, 2.0**60])
        return rng.choice(pool, shape)
    if kind == "float53":  # sums whose grouping shows: 2**53 + 1 + 1 is not 2**53 + (1 + 1)
        return np.diag(np.full(shape[0], 2.0**53 - 1)) + 1 if len(shape) == 2 else np.ones(shape)
    if kind == "extreme":  # products that overflow, underflow to subnormals or zero, or meet inf and nan
        pool = np.array([1e200, -1e-170, 1e-160, 5e-324, -1.5, 3.0, -0.0, np.inf, np.nan])
        return rng.choice(pool, shape, p=[0.16, 0.16, 0.16, 0.12, 0.16, 0.16, 0.04, 0.02, 0.02])
    if kind == "float32":
        return rng.choice(np.array([0.5, -1.25, 3.0, 0.0], dtype=np.float32), shape)
    if kind == "int":
        return rng.integers(-3, 4, shape)
    # big ints: a product of two overflows 64 bits and is computed again with Python ints
    return rng.choice(np.array([2**40, -(2**40) + 1, 0, 7], dtype=np.int64), shape)


KINDS = ["float", "extreme", "float32", "int", "bigint"]


@pytest.mark.parametrize("size", ["placeholder", "length"])
@pytest.mark.parametrize("layout", ["it", "ti"])
@pytest.mark.parametrize("order", ["".join(p) for p in itertools.permutations("ijt")])
@pytest.mark.parametrize("kind", KINDS)
def test_every_order_of_the_tsp_gives_the_general_paths_polynomial(order, layout, kind, size):
    d = values(kind, (5, 5))
    problem, instance = testing.tsp(5, order=order, layout=layout, onehot="penalty", size=size, d=d)
    assert_paths_agree(problem, instance)


def test_the_orders_of_the_tsp_give_one_polynomial():
    def terms(order, layout):
        compiled = compile_model(*testing.tsp(6, order=order, layout=layout, onehot="penalty"))
        names = {index: key for key, index in compiled.var_map.var_map["x"].items()}
        return {tuple(sorted(names[v] for v in k)): c for k, c in compiled.objective.coeff.items()}

    writings = [("".join(p), layout) for p in itertools.permutations("ijt") for layout in ("it", "ti")]
    reference = terms("ijt", "it")
    for order, layout in writings:
        got = terms(order, layout)
        if layout == "ti":
            got = {tuple(sorted(tuple(reversed(s)) for s in k)): c for k, c in got.items()}
        assert got == pytest.approx(reference), (order, layout)


N = ql.Placeholder("N")
A = ql.Placeholder("a", ndim=2)
B = ql.Placeholder("b", ndim=1)
X = ql.BinaryVar("x", shape=(N, N))
Y = ql.BinaryVar("y", shape=(N, 4 * 997))  # sparse subscripts: beyond the seen index's box
EI, EJ = ql.Element("i", N), ql.Element("j", N)

SUBSCRIPTS = {  # x's two subscripts: plain, swapped, shifted or cyclic on either axis
    "ij": lambda: X[EI, EJ],
    "ji": lambda: X[EJ, EI],
    "i+1,j": lambda: X[(EI + 1) % N, EJ],
    "j,i+2": lambda: X[EJ, (EI + 2) % N],
    "i,j+1": lambda: X[EI, (EJ + 1) % N],
    "const,j": lambda: X[1, EJ],
    "sparse": lambda: Y[EI, 997 * EJ],
}

PRODUCTS = {  # data first or a variable first, one or two data entries, float or int constants
    "a x x": lambda u, v: A[EI, EJ] * u * v,
    "x a x b": lambda u, v: u * A[EI, EJ] * v * B[EJ],
    "0.5 x b x": lambda u, v: 0.5 * u * B[EJ] * v,
    "3 a b x": lambda u, v: 3 * A[EJ, EI] * B[EI] * u,
    "x x": lambda u, v: u * v,
}


@pytest.mark.parametrize("inner", ["j", "i"])
@pytest.mark.parametrize("product", list(PRODUCTS))
@pytest.mark.parametrize("first,second", [("ij", "i+1,j"), ("ji", "j,i+2"), ("i,j+1", "const,j"), ("sparse", "ij")])
@pytest.mark.parametrize("kind", KINDS)
def test_shifted_and_cyclic_subscripts_on_any_axis(first, second, product, inner, kind):
    term = PRODUCTS[product](SUBSCRIPTS[first](), SUBSCRIPTS[second]())
    outer, inside = (EI, EJ) if inner == "j" else (EJ, EI)
    problem = ql.Problem("p")
    problem += ql.sum(outer, ql.sum(inside, term))
    n = 4
    assert_paths_agree(problem, {"N": n, "a": values(kind, (n, n), 1), "b": values(kind, (n,), 2)})


AT = {  # the subscripts of SUBSCRIPTS at index values i, j (n of them)
    "ij": lambda i, j, n: ("x", (i, j)),
    "ji": lambda i, j, n: ("x", (j, i)),
    "i+1,j": lambda i, j, n: ("x", ((i + 1) % n, j)),
    "j,i+2": lambda i, j, n: ("x", (j, (i + 2) % n)),
    "i,j+1": lambda i, j, n: ("x", (i, (j + 1) % n)),
    "const,j": lambda i, j, n: ("x", (1, j)),
    "sparse": lambda i, j, n: ("y", (i, 997 * j)),
}


@pytest.mark.parametrize("inner", ["j", "i"])
@pytest.mark.parametrize(
    "first,second", [("ij", "i+1,j"), ("ji", "ij"), ("const,j", "i,j+1"), ("ij", "ij"), ("sparse", "ij")]
)
def test_products_of_variables_alone_match_their_sum(first, second, inner):
    """A sum of products of variables alone runs through the kernel's simplest loop on every
    route (no data to read the general way): its energy is checked against the sum itself."""
    problem = ql.Problem("p")
    outer, inside = (EI, EJ) if inner == "j" else (EJ, EI)
    problem += ql.sum(outer, ql.sum(inside, SUBSCRIPTS[first]() * SUBSCRIPTS[second]()))
    problem += ql.sum(outer, ql.sum(inside, SUBSCRIPTS[first]() * 0.5))  # one variable per term too
    n = 4
    model = to_qubo_arrays(problem, {"N": n}, progress=False)
    rng = np.random.default_rng(11)
    samples = rng.integers(0, 2, (16, model.num_binaries))
    index = model.compiled.var_map.var_map
    for sample, energy in zip(samples, model.energies(samples)):

        def value(key):
            return sample[index[key[0]][key[1]]]

        pairs = [(i, j) for i in range(n) for j in range(n)]
        want = sum(value(AT[first](i, j, n)) * value(AT[second](i, j, n)) for i, j in pairs)
        want += sum(0.5 * value(AT[first](i, j, n)) for i, j in pairs)
        assert energy == want


INT_ROWS = {  # int data before the variables (the int loop), or a variable first (it is not)
    "a x x": lambda: A[EI, EJ] * X[EI, EJ] * X[EJ, (EI + 1) % N],
    "3 a b x": lambda: 3 * A[EJ, EI] * B[EI] * X[EI, EJ],
    "a b x x": lambda: A[EI, EJ] * B[EJ] * X[(EI + 1) % N, EJ] * X[EJ, EI],
    "x 2 a": lambda: X[EI, EJ] * 2 * A[EI, EJ],
    # b[i] stands still along the row (the inner sum runs over j): a factor after the entry
    "a b(i) x x": lambda: A[EI, EJ] * B[EI] * X[EI, EJ] * X[EJ, (EI + 1) % N],
}


@pytest.mark.parametrize("dtype", ["int8", "uint8", "int32", "uint32", "int64", "uint64", "bigint"])
@pytest.mark.parametrize("row", list(INT_ROWS))
def test_int_entries_along_a_row_of_variables_met_before(row, dtype):
    """Rows of int data over variables met before run the kernel's int loop: the products in
    int64, a product that overflows it (or data it cannot read) the careful way, zeros without
    a term."""
    problem = ql.Problem("p")
    problem += ql.sum(EI, ql.sum(EJ, X[EI, EJ]))  # every variable met before the rows
    problem += ql.sum(EI, ql.sum(EJ, INT_ROWS[row]()))
    n, rng = 6, np.random.default_rng(5)
    if dtype == "bigint":  # 2**32 * 2**32 overflows int64 on some entries of a row, not all
        a, b = (rng.choice(np.array([2**32, -(2**31), 0, 3]), shape) for shape in ((n, n), (n,)))
    else:
        info = np.iinfo(dtype)
        pool = np.array([info.min, info.max, 0, 1, 2], dtype=dtype)
        a, b = rng.choice(pool, (n, n)), rng.choice(pool, n)
    assert_paths_agree(problem, {"N": n, "a": a, "b": b})


@pytest.mark.parametrize("n", [1, 2, 63, 64, 65])
@pytest.mark.parametrize("kind", ["float", "int"])
def test_sizes_around_the_kernels_reservations(n, kind):
    problem = ql.Problem("p")
    problem += ql.sum(EJ, ql.sum(EI, A[EI, EJ] * X[EI, EJ] * X[(EI + 1) % N, EJ]))
    problem += ql.CustomPenaltyTerm("rows", (ql.sum(EJ, B[EJ] * X[EI, EJ]) - 1) ** 2, forall=EI)
    assert_paths_agree(problem, {"N": n, "a": values(kind, (n, n), 3), "b": values(kind, (n,), 4)})


Z = ql.BinaryVar("z", shape=(1,))  # fixed to 0 in the reference: a fixed value turns every kernel off
W = ql.IntegerVar("w", shape=(N,), lower_bound=0, upper_bound=3)
ET = ql.Element("t", N)

FIRST_MET = {  # variables a kernel meets for the first time, with integers its general way registers
    "tsp": lambda: testing.tsp(4, order="tji", layout="ti", onehot="penalty")[0],
    "binary, integer": lambda: nested(A[EI, EJ] * X[EI, (ET + 1) % N] * W[ET]),
    "integer, binary": lambda: nested(W[(ET + 2) % N] * B[ET] * X[EJ, ET]),
    "two new, one zero entry": lambda: nested(A[EJ, ET] * X[ET, EJ] * Y[EJ, 997 * ET]),
}


def nested(term):  # the innermost of three sums runs through a kernel
    return ql.sum(EI, ql.sum(EJ, ql.sum(ET, term)))


@pytest.mark.parametrize("model", list(FIRST_MET))
def test_variables_first_met_in_a_loop_are_registered_as_the_general_way_registers_them(model):
    made = FIRST_MET[model]()
    problem = made if isinstance(made, ql.Problem) else ql.Problem("p")
    if problem is not made:
        problem += made
    problem += ql.CustomPenaltyTerm("z", Z[0])
    a = values("int", (4, 4), 5)
    a[1, 2] = 0
    instance = {"N": 4, "a": a, "b": values("int", (4,), 6), "d": values("int", (4, 4), 7)}
    looped, general_way = compile_model(problem, instance), compile_model(problem, instance, {"z": {(0,): 0}})

    def named(compiled):
        index = [(label, subs) for label, by in compiled.var_map.var_map.items() for subs in by]
        order = sorted(index, key=lambda key: compiled.var_map.var_map[key[0]][key[1]])
        terms = {tuple(order[v] for v in k): c for k, c in compiled.objective.coeff.items()}
        return [key for key in order if key[0] != "z"], terms, compiled.var_map.integer_bound

    assert named(looped) == named(general_way)


V = ql.BinaryVar("v", shape=(N,))

TWO_SUMS = {  # the objective's second sum: through its kernel (one part per outer value) or split
    "dense": lambda: A[EI, EJ] * V[EI] * V[EJ],
    "repeated key in a row": lambda: A[EI, EJ] * V[EI],
    "shifted": lambda: B[EJ] * X[EJ, (EI + 1) % N] * V[EI],
    "not a monomial": lambda: A[EI, EJ] * (V[EI] + V[EJ]),
}


@pytest.mark.parametrize("fixed", [False, True])  # v[3] = 1 makes keys of one variable beside x*x
@pytest.mark.parametrize("condition", [False, True])
@pytest.mark.parametrize("operand", list(TWO_SUMS))
@pytest.mark.parametrize("kind", KINDS + ["float53"])
def test_two_nested_sums_in_the_objective(operand, condition, fixed, kind):
    problem = ql.Problem("p")
    problem += ql.sum(EI, ql.sum(EJ, TWO_SUMS[operand](), EJ != 2 if condition else None))
    if not fixed:
        problem += ql.CustomPenaltyTerm("rows", (ql.sum(EJ, X[EI, EJ]) - 1) ** 2, forall=EI)
    n = 5
    instance = {"N": n, "a": values(kind, (n, n), 8), "b": values(kind, (n,), 9)}
    assert_paths_agree(problem, instance, {"v": {(3,): 1}} if fixed else None)


@pytest.mark.parametrize("special", [np.inf, -np.inf, np.nan, 1e300, 5e-324, -0.0, 0.0])
@pytest.mark.parametrize("product", ["a x x", "x a x b"])
def test_one_entry_whose_product_is_zero_or_not_finite(special, product):
    """An entry that makes one product zero, subnormal, infinite or nan, amid ordinary ones."""
    n = 4
    a = np.full((n, n), 1.5)
    a[1, 2] = a[3, 0] = special
    problem = ql.Problem("p")
    problem += ql.sum(EJ, ql.sum(EI, PRODUCTS[product](SUBSCRIPTS["ij"](), SUBSCRIPTS["i+1,j"]())))
    assert_paths_agree(problem, {"N": n, "a": a, "b": np.array([1e10, -2.0, 1e-300, 3.0])})


# the row loop takes room for 64 terms, then twice as much at each refill up to 4096
@pytest.mark.parametrize("n", [63, 64, 65, 193, 4095, 4096, 4097, 8193])
@pytest.mark.parametrize("kind", ["float", "int"])
def test_long_sums_around_the_kernels_room(n, kind):
    z = ql.BinaryVar("z", shape=(N,))
    k = ql.Element("k", 2)
    problem = ql.Problem("p")
    problem += ql.sum(k, ql.sum(EI, B[EI] * z[EI] * z[(EI + k + 1) % N]))
    problem += ql.CustomPenaltyTerm("shifted", ql.sum(EI, 2.5 * z[EI] * z[(EI + 3) % N]))
    assert_paths_agree(problem, {"N": n, "b": values(kind, (n,), 5)})


@pytest.mark.parametrize("inner", ["ascending", "descending", "alternating"])
@pytest.mark.parametrize("kind", ["float", "int"])
def test_a_bucket_met_in_any_order_sums_in_the_dict_routes_order(inner, kind):
    """The merge sorts each first variable's terms by the second: met descending, or in short
    runs, equal keys from the objective and the penalty still add up in order."""
    z = ql.BinaryVar("z", shape=(N,))
    other = {"ascending": EJ, "descending": N - 1 - EJ, "alternating": (EJ * 7) % N}[inner]
    problem = ql.Problem("p")
    problem += ql.sum(EI, z[EI])  # registers z ascending
    problem += ql.sum(EI, ql.sum(EJ, A[EI, EJ] * z[EI] * z[other]))
    problem += ql.CustomPenaltyTerm("pairs", (ql.sum(EJ, B[EJ] * z[other]) - 1) ** 2)
    n = 16
    a = values(kind, (n, n), 6) if kind == "int" else np.random.default_rng(6).choice([0.1, 0.2, 1e16, -0.3], (n, n))
    assert_paths_agree(problem, {"N": n, "a": a, "b": values(kind, (n,), 7)})


STATEMENTS = {  # an objective written in several `problem +=`, each kept whole as the sum of them
    "sums, then pairs and keys met before": lambda: [
        nested(A[EI, EJ] * X[EI, ET] * X[EJ, (ET + 1) % N]),
        ql.sum(EI, ql.sum(ET, B[EI] * X[EI, ET] * X[(EI + 1) % N, (ET + 1) % N])),
        ql.sum(EI, B[EI] * X[EI, 0]) + 2.5,
    ],
    "a product first, then a sum": lambda: [
        3 * ql.sum(EI, B[EI] * X[EI, 1]),
        ql.sum(EI, ql.sum(EJ, A[EI, EJ] * X[EI, 1] * X[EJ, 2])),
    ],
    "constants among them": lambda: [ql.sum(EI, ql.sum(EJ, A[EI, EJ] * V[EI] * V[EJ])), 1.5, ql.sum(EI, V[EI]), -1],
    "keys of every group met again": lambda: [ql.sum(EI, ql.sum(EJ, A[EI, EJ] * V[EJ])), ql.sum(EJ, V[EJ])],
}


@pytest.mark.parametrize("statements", list(STATEMENTS))
@pytest.mark.parametrize("kind", ["float", "float53", "int", "bigint"])
def test_an_objective_written_in_several_statements(statements, kind):
    problem = ql.Problem("p")
    for term in STATEMENTS[statements]():
        problem += term
    problem += ql.CustomPenaltyTerm("rows", (ql.sum(EJ, X[EI, EJ]) - 1) ** 2, forall=EI)
    n = 5
    a = values(kind, (n, n), 10)
    if kind == "float53":  # 2**53 + 1 + 1 + 1 + 1 in the first term, + 1 in the second, for every v[j]
        a = np.ones((n, n))
        a[0] = 2.0**53
    assert_paths_agree(problem, {"N": n, "a": a, "b": values(kind, (n,), 11) * 2**52})


WEIGHTED_SQUARES = {  # a penalty's weight written in the model: c * square is kept a square, scaled
    "float first": lambda rows: 100.0 * rows**2,
    "int first": lambda rows: 3 * rows**2,
    "negative": lambda rows: -0.5 * rows**2,
    "data first": lambda rows: B[EI] * rows**2,
    "zero": lambda rows: 0 * rows**2,  # no terms: expanded, as c * square is
    "after": lambda rows: rows**2 * 100.0,  # the square first: expanded as before
    "huge": lambda rows: 1e300 * rows**2,  # products past float64: refused, naming the term
}


@pytest.mark.parametrize("penalty_weight", [1.0, 2.5])
@pytest.mark.parametrize("written", list(WEIGHTED_SQUARES))
@pytest.mark.parametrize("kind", ["float", "float53", "int"])
def test_a_weight_written_in_a_squared_penalty(written, kind, penalty_weight):
    problem = ql.Problem("p")
    problem += ql.sum(EI, ql.sum(EJ, A[EI, EJ] * V[EI] * V[EJ]))
    rows = ql.sum(EJ, A[EI, EJ] * X[EI, EJ]) - B[EI]
    problem += ql.CustomPenaltyTerm("rows", WEIGHTED_SQUARES[written](rows), forall=EI)
    n = 5
    instance = {"N": n, "a": values(kind, (n, n), 12), "b": values(kind, (n,), 13)}
    fast = outcome(lambda p, i: to_qubo_arrays(p, i, penalty_weight=penalty_weight, progress=False), problem, instance)
    pubo = outcome(lambda p, i: to_pubo(p, i, penalty_weight=penalty_weight), problem, general(instance))
    if isinstance(fast, str):
        assert fast == pubo
        return
    assert fast.to_dict() == {k: v for k, v in pubo.coeff.items() if not (len(k) == 1 and v == 0)}
    assert fast.offset == pubo.constant and type(fast.offset) is type(pubo.constant)


def test_a_weighted_square_kept_for_decoding_decodes_as_the_dict_route():
    """The objective, larger than the penalty, is derived from the energy when decoding: the
    penalty kept for it must be the scaled square, not its base squared."""
    problem = ql.Problem("p")
    problem += ql.sum(EI, ql.sum(EJ, A[EI, EJ] * V[EI] * V[EJ]))
    problem += ql.CustomPenaltyTerm("row", 7.5 * (ql.sum(EJ, X[0, EJ]) - 1) ** 2)
    n = 5
    instance = {"N": n, "a": values("int", (n, n), 14), "b": values("int", (n,), 15)}  # derived exactly
    native = to_qubo_arrays(problem, instance, progress=False)
    assert native.lowered is not None  # the penalty was kept, not the objective
    reference = to_pubo(problem, general(instance))
    rows = np.random.default_rng(16).integers(0, 2, (40, native.num_binaries))
    got, want = decode(rows, native), decode(rows, reference)
    assert np.array_equal(got.evaluation.objective, want.evaluation.objective)
    assert np.array_equal(got.evaluation.energy, want.evaluation.energy)


@pytest.mark.parametrize("first", [[0.5, 0.25], [3, 4]], ids=["floats first", "ints first"])
def test_ints_of_a_later_statement_are_summed_exactly(first):
    """Whichever statement brings the objective's ints, the merge learns of them and adds them
    exactly: two ints whose sum is past 2**53 have no float64 sum, refused rather than rounded."""
    x = ql.BinaryVar("x", shape=(3,))
    a, c = ql.Placeholder("a", ndim=1), ql.Placeholder("c", ndim=1)
    i = ql.Element("i", 2)
    problem = ql.Problem("p")
    problem += ql.sum(i, c[i] * x[1] * x[2])
    problem += ql.sum(i, a[i] * x[0] * x[1])
    instance = {"a": [2**53 - 1, 2], "c": first}
    assert to_pubo(problem, instance).coeff[(0, 2)] == 2**53 + 1
    with pytest.raises(ValueError, match="9007199254740993 of the term .* has no exact float64 value"):
        arrays(problem, instance)


@pytest.mark.parametrize(
    "pairs, spare",
    [(20, 0), (21, 0), (22, 0), (40, 600)],
    ids=["60 records", "63 records", "66 records", "120 records, 641 binaries"],
)
@pytest.mark.parametrize("big", [2.0**53, 2**53], ids=["float", "int"])
def test_buckets_sorted_at_once_or_one_by_one_merge_alike(pairs, spare, big):
    """A merge of enough records for its binaries sorts its buckets by column all at once (two
    counting passes), others one bucket at a time: either way each key adds up its statements in
    order, (2**53 + 1) + 1 in floats, though its records meet in the bucket in three runs."""
    v = ql.BinaryVar("v", shape=(N,))
    k = ql.Element("k", pairs)
    problem = ql.Problem("p")
    problem += ql.sum(k, big * v[k] * v[k + 1])
    problem += ql.sum(k, v[pairs - k] * v[pairs - 1 - k])  # the same keys, descending
    problem += ql.sum(k, v[k + 1] * v[k])
    # binaries without a term: registered by a constraint left out at weight 0
    problem += ql.Constraint("spare", ql.sum(EI, v[EI]) == 1)
    instance = {"N": pairs + 1 + spare}
    made = to_qubo_arrays(problem, instance, constraint_weight=0.0, progress=False)
    assert made.num_binaries == pairs + 1 + spare
    assert made.to_dict() == {(i, i + 1): (big + 1) + 1 for i in range(pairs)}
    assert made.to_dict() == to_pubo(problem, instance, constraint_weight=0.0).coeff
