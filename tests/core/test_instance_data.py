import decimal
import fractions

import numpy as np
import pytest
from core_helpers import N

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.exceptions import SubstituteError

GRID = np.arange(6).reshape(2, 3)
INSTANCE = {
    "grid": GRID,
    "rows": [[1, 2, 3], [4.5], []],
    "nested": [[[1, 2], [3, 4]], [[5, 6], [7, 8]]],
    "n": 3,
    "zero_d": np.array(7),
    "tup": (1, 2),
    "big": [2**70, 1],
}


@pytest.fixture
def data():
    return InstanceData(INSTANCE, {}, list(INSTANCE), indices={})


@pytest.mark.parametrize(
    "name, subscripts, expected",
    [
        ("grid", (1, 2), 5),
        ("rows", (0, 2), 3),
        ("rows", (1, 0), 4.5),
        ("nested", (1, 0, 1), 6),
        ("n", (), 3),
        ("zero_d", (), 7),
        ("tup", (1,), 2),
        ("big", (0,), 2**70),
    ],
)
def test_get_value_reads_entries(data, name, subscripts, expected):
    value = data.get_value(name, subscripts)
    assert value == expected and np.ndim(value) == 0


@pytest.mark.parametrize(
    "name, subscripts, expected",
    [("grid", (), GRID), ("grid", (1,), [3, 4, 5]), ("nested", (1,), [[5, 6], [7, 8]]), ("rows", (0,), [1, 2, 3])],
)
def test_get_value_reads_sub_arrays(data, name, subscripts, expected):
    np.testing.assert_array_equal(data.get_value(name, subscripts), expected)


@pytest.mark.parametrize(
    "name, subscripts, words",
    [
        ("missing", (), ["missing"]),
        ("grid", (2, 0), ["grid", "2", "length 2"]),
        ("grid", (0, 3), ["grid", "3", "length 3"]),
        ("grid", (-1, 0), ["grid", "-1", "length 2"]),
        ("rows", (1, 1), ["rows", "1", "length 1"]),
        ("rows", (2, 0), ["rows", "0", "length 0"]),
        ("rows", (-1, 0), ["rows", "-1", "length 3"]),
        ("grid", (0, 1, 2), ["grid", "3 subscripts"]),
        ("rows", (0, 0, 0), ["rows", "3 subscripts"]),
        ("n", (0,), ["n", "1 subscripts"]),
    ],
)
def test_get_value_rejects_bad_access(data, name, subscripts, words):
    with pytest.raises(SubstituteError) as info:
        data.get_value(name, subscripts)
    assert all(word in str(info.value) for word in words), str(info.value)


@pytest.mark.parametrize("value", ["abc", [1, "a"], {"a": 1}, None, np.array(["a", "b"])])
def test_non_numeric_data_is_rejected(value):
    data = InstanceData({"p": value}, {}, ["p"], indices={})
    with pytest.raises(SubstituteError, match="p"):
        data.get_value("p", ())


@pytest.mark.parametrize(
    "name, subscripts, axis, expected",
    [
        ("grid", (), 0, 2),
        ("grid", (), 1, 3),
        ("nested", (), 2, 2),
        ("nested", (0,), 1, 2),
        ("rows", (), 0, 3),
        ("rows", (2,), 0, 0),
        ("tup", (), 0, 2),
    ],
)
def test_get_length(data, name, subscripts, axis, expected):
    assert data.get_length(name, subscripts, axis) == expected
    assert data.get_length(name, subscripts, axis=axis) == expected


@pytest.mark.parametrize(
    "name, subscripts, axis",
    [("grid", (), 2), ("n", (), 0), ("rows", (), 1), ("grid", (0, 0), 0), ("grid", (5,), 0), ("missing", (), 0)],
)
def test_get_length_errors(data, name, subscripts, axis):
    with pytest.raises(SubstituteError, match=name):
        data.get_length(name, subscripts, axis)


def test_caller_arrays_are_never_changed():
    arr = np.array([1.0, 2.0, 3.0])
    rows = [[1, 2], [3]]
    data = InstanceData({"a": arr, "r": rows}, {}, ["a", "r"], indices={"i": 1})
    a = se.Placeholder("a", 1)
    tree = se.MultipleOperator(
        [a, N(1), a, se.PairOperator(a, N(2), se.BinaryOpeKind.POW), se.UnaryOperator(a, se.UnaryOpeKind.ABS)],
        se.MultipleOpeKind.ADD,
    )
    result = tree.substitute(VarRegistry({}, 0, {}), data)
    np.testing.assert_array_equal(result.constant, [5.0, 11.0, 19.0])
    np.testing.assert_array_equal(arr, [1.0, 2.0, 3.0])
    assert arr.flags.writeable
    assert data.get_value("r", (1, 0)) == 3 and rows == [[1, 2], [3]]


def test_shifted_index_below_zero_does_not_wrap():
    cost = se.Placeholder("cost", 1)
    i = se.Element("i", N(0), N(3))
    shifted = se.Subscript(cost, [se.MultipleOperator([i, N(-1)], se.MultipleOpeKind.ADD)])
    data = InstanceData({"cost": np.array([10, 20, 30])}, {}, ["cost"], indices={"i": 1})
    assert shifted.substitute(VarRegistry({}, 0, {}), data).constant == 10
    data.indices["i"] = 0
    with pytest.raises(SubstituteError) as info:
        shifted.substitute(VarRegistry({}, 0, {}), data)
    assert "-1" in str(info.value) and "3" in str(info.value) and "cost" in str(info.value)


@pytest.mark.parametrize(
    "value, entries",
    [
        ([2**53 + 1, 0.5], [2**53 + 1, 0.5]),  # a float array would round the int
        ([4, 0.5], [4, 0.5]),
        ([[1, 2.5], [3, 4]], [[1, 2.5], [3, 4]]),
        ([2**63, 1], [2**63, 1]),
        ([1j, 2], [1j, 2]),
        ([np.int64(3), 0.5], [3, 0.5]),
        ([0.5, np.float32(1.5)], [0.5, 1.5]),
        ([1, 2], [1, 2]),
        (np.array([1.0, 2.0], dtype=np.float32), [1.0, 2.0]),
        (np.array([7, 8], dtype=np.uint8), [7, 8]),
        # a Decimal, which arithmetic with a float refuses, as the Fraction of its value
        ([decimal.Decimal("0.1"), 2], [fractions.Fraction(1, 10), 2]),
    ],
)
def test_lists_keep_their_numbers(value, entries):
    data = InstanceData({"p": value}, {}, ["p"], indices={})
    flat = np.array(entries, dtype=object).ravel().tolist()
    got = [data.get_value("p", index) for index in np.ndindex(np.shape(entries))]
    assert got == flat and [type(v) for v in got] == [type(v) for v in flat]
    x = se.Subscript(se.DecisionVariable.create_binaryvar("x", (N(2),)), [N(0)])
    first = se.Subscript(se.Placeholder("p", np.ndim(entries)), [N(0)] * np.ndim(entries))
    poly = se.MultipleOperator([first, x], se.MultipleOpeKind.MUL).substitute(VarRegistry({}, 0, {}), data)
    assert poly.coeff == {(0,): flat[0]} and type(poly.coeff[(0,)]) is type(flat[0])


def test_homogeneous_lists_and_arrays_stay_arrays():
    data = InstanceData({"f": [[0.5, 1.5]], "i": [1, 2], "a": np.arange(3, dtype=np.int16)}, {}, [], indices={})
    for name, dtype in [("f", np.float64), ("i", np.int64), ("a", np.int16)]:
        data.get_value(name, ())
        assert isinstance(data._data[name], np.ndarray) and data._data[name].dtype == dtype


def test_string_array_names_its_dtype():
    data = InstanceData({"p": np.array(["a", "b"])}, {}, ["p"], indices={})
    with pytest.raises(SubstituteError, match=r"^Placeholder `p` is a NumPy array of dtype <U1, which is not numeric"):
        data.get_value("p", ())


@pytest.mark.parametrize("mask", [[True, False], [False, False]])
def test_masked_entries_are_refused_not_dropped(mask):
    # read as a value, a masked entry dropped the terms (and the constant) of a sum meeting it
    data = InstanceData({"c": np.ma.array([5, 2], mask=mask)}, {}, ["c"], indices={})
    if any(mask):
        with pytest.raises(SubstituteError, match=r"^Placeholder `c` is a masked array with masked entries"):
            data.get_value("c", (0,))
    else:
        assert [data.get_value("c", (k,)) for k in range(2)] == [5, 2]
        assert type(data._data["c"]) is np.ndarray
