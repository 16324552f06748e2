import numpy as np
import pytest
from core_helpers import EVERYTHING, Given, N, binary, snapshot

import quillon_transpiler.core.substitute.substitutable_expr as se
from quillon_transpiler.core import InstanceData, VarRegistry
from quillon_transpiler.core.var_registry import IntegerBound
from quillon_transpiler.exceptions import SubstituteError

DV = se.DecisionVariable


def el(name, start=0, end=3):
    return se.Element(name, N(start), N(end))


def test_leaf_attributes_and_strings():
    i, p = el("i", 1, 4), se.Placeholder("cost", 2)
    x = DV.create_intvar("x", (N(2), N(3)), N(-1), N(5))
    assert (i.name, i.ndim, i.start.value, i.end.value) == ("i", 1, 1, 4) and (p.name, p.ndim) == ("cost", 2)
    assert (x.ndim, x.kind, x.lower.value, x.upper.value) == (2, se.DecisionVarKind.INTEGER, -1, 5)
    assert [str(v) for v in (i, p, x, se.Variable("v", 0))] == ["i", "cost", "x", "v"]
    assert [str(se.Subscript(p, [i, el("j")])), str(se.Subscript(p, [N(2)]))] == ["cost[i, j]", "cost[2]"]
    assert list(p) == [p]
    p.name = 5
    with pytest.raises(TypeError):
        str(p)


def test_class_methods_build_through_cls():
    class MyVar(DV):
        pass

    b = MyVar.create_binaryvar("b", ())
    assert type(b) is MyVar and b.kind is se.DecisionVarKind.BINARY and b.ndim == 0
    assert type(b.lower) is N and [b.lower.value, b.upper.value] == [0, 1] and type(b.lower.value) is int
    assert b.extract(EVERYTHING) == [b, b.lower, b.upper]
    c = DV.create_contvar("c", (N(2),), N(0.5), N(1.5))
    assert c.kind is se.DecisionVarKind.CONTINUOUS and c.ndim == 1


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda: se.Variable(1, 0), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: se.Placeholder("p", True), "Argument 'ndim' has incorrect type (expected int, got bool)"),
        (
            lambda: se.Placeholder("p", np.int64(1)),
            "Argument 'ndim' has incorrect type (expected int, got numpy.int64)",
        ),
        (
            lambda: DV(None, (), se.DecisionVarKind.BINARY, N(0), N(1)),
            "Argument 'name' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda: DV("x", [N(1)], se.DecisionVarKind.BINARY, N(0), N(1)),
            "Argument 'shape' has incorrect type (expected tuple, got list)",
        ),
        (
            lambda: DV.create_intvar("x", None, N(0), N(1)),
            "Argument 'shape' has incorrect type (expected tuple, got NoneType)",
        ),
        (
            lambda: se.Subscript(se.Placeholder("p", 1), (N(0),)),
            "Argument 'subscripts' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: se.ArrayLength(se.Placeholder("p", 1), False),
            "Argument 'axis' has incorrect type (expected int, got bool)",
        ),
    ],
)
def test_constructor_argument_types(build, message):
    with pytest.raises(TypeError) as info:
        build()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "start, end, expected", [(0, 3, [0, 1, 2]), (2.9, 5.1, [2, 3, 4]), (-1.5, 1, [-1, 0]), (3, 3, []), (5, 2, [])]
)
def test_index_values(reg, make_data, start, end, expected):
    values = el("i", start, end).get_index_values(reg, make_data())
    assert isinstance(values, range) and list(values) == expected


def test_index_values_from_data_and_elements(reg, make_data):
    i = se.Element("i", se.Placeholder("lo", 0), se.ArrayLength(se.Placeholder("a", 1), 0))
    assert list(i.get_index_values(reg, make_data({"lo": np.int64(1), "a": np.zeros(4)}))) == [1, 2, 3]
    assert list(se.Element("j", i, N(3)).get_index_values(reg, make_data(indices={"i": 1}))) == [1, 2]


@pytest.mark.parametrize("bound", ["start", "end"])
def test_range_bounds_without_decision_variables(reg, make_data, bound):
    bounds = {"start": N(0), "end": N(3), bound: binary("x")}
    with pytest.raises(SubstituteError) as info:
        se.Element("i", bounds["start"], bounds["end"]).get_index_values(reg, make_data())
    assert str(info.value) == "Range bounds must not contain decision variables."


def test_element_and_placeholder_substitute(reg, make_data):
    arr = np.array([1, 2])
    data = make_data({"p": arr, "n": 4}, indices={"i": 2})
    assert snapshot(el("i").substitute(reg, data)) == ([], 2, 0)
    assert snapshot(se.Placeholder("n", 0).substitute(reg, data)) == ([], 4, 0)
    np.testing.assert_array_equal(se.Placeholder("p", 1).substitute(reg, data).constant, arr)
    with pytest.raises(KeyError, match="j"):
        el("j").substitute(reg, data)
    assert reg == VarRegistry({}, 0, {})


def test_instance_data_methods_are_asked(reg):
    class Data(InstanceData):
        def get_value(self, name, subscripts):
            return (name, subscripts)

    data = Data({"p": np.zeros((2, 2))}, {}, ["p"], indices={"i": 1})
    p = se.Placeholder("p", 2)
    assert p.substitute(reg, data).constant == ("p", ())
    assert se.Subscript(p, [el("i"), N(0)]).substitute(reg, data).constant == ("p", (1, 0))


def test_scalar_variables(reg, make_data):
    reg.add_variable("other", ())
    x = binary("x")
    first, second = x.substitute(reg, make_data()), x.substitute(reg, make_data())
    assert snapshot(first) == snapshot(second) == ([((1,), 1)], 0, 1)
    assert type(first.coeff[(1,)]) is int and type(first.constant) is int
    n = DV.create_intvar("n", (), se.Placeholder("lo", 0), se.Placeholder("hi", 0))
    assert snapshot(n.substitute(reg, make_data({"lo": 1, "hi": 4}))) == ([((2,), 1)], 0, 1)
    n.lower, n.upper = N(np.int64(-2)), N(9.5)
    n.substitute(reg, make_data())  # bounds evaluated and replaced each time, stored as they come
    assert reg.integer_bound["n"][()] == IntegerBound(-2, 9.5) and type(reg.integer_bound["n"][()].lower) is np.int64
    assert reg.var_map == {"other": {(): 0}, "x": {(): 1}, "n": {(): 2}} and reg.var_num == 3


@pytest.mark.parametrize(
    "var_map, var_num", [({}, 1.5), ({}, np.int64(3)), ({"x": {(): True}}, 1), ({"x": {(): 2.0}}, 3)]
)
def test_registration_refuses_non_int_indices_like_add_variable(make_data, var_map, var_num):
    for register in (lambda reg: reg.add_variable("x", ()), lambda reg: binary("x").substitute(reg, make_data())):
        with pytest.raises(TypeError):
            register(VarRegistry({k: dict(v) for k, v in var_map.items()}, var_num, {}))


@pytest.mark.parametrize("kind", list(se.DecisionVarKind))
def test_fixed_scalar_is_a_constant(reg, make_data, kind):
    x = DV("x", (), kind, N(0), N(3))
    assert snapshot(x.substitute(reg, make_data(fixed={"x": {(): 2}}))) == ([], 2, 0)
    assert reg == VarRegistry({}, 0, {})


@pytest.mark.parametrize(
    "node, message",
    [
        (DV.create_contvar("c", (), N(0), N(1)), "Continuous variables are not supported yet."),
        (DV("u", (), "BINARY", N(0), N(1)), "Unknown decision variable kind."),
    ],
)
def test_scalar_variable_errors(reg, make_data, node, message):
    with pytest.raises(SubstituteError) as info:
        node.substitute(reg, make_data())
    assert str(info.value) == message and reg.var_num == 0


def test_scalar_use_of_variable_fixed_nowhere_is_free(reg, make_data):
    # as a pinning constraint whose forall passes no value leaves it
    assert snapshot(binary("x", (N(2),)).substitute(reg, make_data(fixed={"x": {}}))) == ([((0,), 1)], 0, 1)
    assert reg.var_map == {"x": {(): 0}}


def test_scalar_use_of_variable_fixed_only_at_subscripts_is_refused(reg, make_data):
    # the caller's values are never ignored: still the KeyError of (), with a message
    with pytest.raises(KeyError) as info:
        binary("x", (N(2),)).substitute(reg, make_data(fixed={"x": {(0,): 1}}))
    assert info.value.args[0] == () and "under the key ()" in str(info.value) and reg.var_num == 0


def test_extract_order():
    start, end = se.Placeholder("s", 0), se.ArrayLength(se.Placeholder("a", 1), 0)
    i = se.Element("i", start, end)
    assert i.extract(EVERYTHING) == [i, start, end, end.array] and i.extract(lambda node: False) == []
    assert i.extract_type(se.Placeholder) == [start, end.array]
    x = DV.create_intvar("x", (se.Placeholder("n", 0),), start, i)  # the shape is not visited
    assert x.extract(EVERYTHING) == [x, start, i, start, end, end.array]
    p, j = se.Placeholder("p", 2), el("j")
    sub = se.Subscript(p, [i, j])
    assert sub.extract(EVERYTHING) == [sub, p, i, start, end, end.array, j, j.start, j.end]
    length = se.ArrayLength(sub, 1)
    assert (length.array, length.axis) == (sub, 1) and length.extract_type(se.Element) == [i, j]


def test_getitem_builds_new_subscripts():
    p, i, j = se.Placeholder("p", 2), el("i"), el("j")
    first = p[i]
    assert type(first) is se.Subscript and first.variable is p and first.subscripts == [i]
    second = first[j]
    assert second.subscripts == [i, j] and first.subscripts == [i] and second.variable is p
    assert p[(i, j)].subscripts == [i, j]


@pytest.mark.parametrize("index, entry", [([N(1), N(2)], 5), ([N(2.7), N(0.2)], 6), ([N(np.int64(0)), N(1)], 1)])
def test_subscripted_placeholder(reg, make_data, index, entry):
    data = make_data({"p": np.arange(9).reshape(3, 3)})
    assert snapshot(se.Subscript(se.Placeholder("p", 2), index).substitute(reg, data)) == ([], entry, 0)
    data = make_data({"p": [[1, 2, 3], [4, 5, 6]]}, indices={"i": 1, "j": 2})
    assert se.Subscript(se.Placeholder("p", 2), [el("i"), el("j")]).substitute(reg, data).constant == 6


def test_subscripted_binary_registers_plain_int_keys(reg, make_data):
    x = binary("x", (N(2), N(2)))
    a = se.Subscript(x, [N(np.int64(0)), N(1.9)]).substitute(reg, make_data())
    b = se.Subscript(x, [N(0), N(1)]).substitute(reg, make_data())
    assert snapshot(a) == snapshot(b) == ([((0,), 1)], 0, 1)
    assert reg.var_map == {"x": {(0, 1): 0}} and reg.var_num == 1
    assert [type(k) for k in next(iter(reg.var_map["x"]))] == [int, int]


def test_subscripted_integer_takes_bound_entries_once(reg, make_data):
    lower, upper = Given(np.arange(6).reshape(2, 3)), Given(np.arange(6).reshape(2, 3) + 10)
    x = DV.create_intvar("x", (N(2), N(3)), lower, upper)
    assert snapshot(se.Subscript(x, [N(1), N(2)]).substitute(reg, make_data())) == ([((0,), 1)], 0, 1)
    assert reg.integer_bound["x"][(1, 2)] == IntegerBound(5, 15)
    assert se.Subscript(x, [N(1), N(2)]).substitute(reg, make_data()).coeff == {(0,): 1}
    assert (lower.calls, upper.calls, reg.var_num) == (1, 1, 1)
    se.Subscript(x, [N(0), N(0)]).substitute(reg, make_data())
    assert reg.integer_bound["x"][(0, 0)] == IntegerBound(0, 10) and reg.var_num == 2
    y = DV.create_intvar("y", (N(3),), N(-1), N(4.5))
    se.Subscript(y, [N(2)]).substitute(reg, make_data())
    bound = reg.integer_bound["y"][(2,)]
    assert [type(bound.lower), bound.lower.ndim, bound.lower, type(bound.upper), bound.upper.ndim, bound.upper] == [
        np.ndarray,
        0,
        -1,
        np.ndarray,
        0,
        4.5,
    ]
    z = DV.create_intvar("z", (N(2), N(2)), N(np.zeros(2)), N(1))
    with pytest.raises(IndexError):  # a bound array with too few axes
        se.Subscript(z, [N(0), N(1)]).substitute(reg, make_data())
    assert "z" not in reg.var_map


def test_fixed_subscripts(reg, make_data):
    x = binary("x", (N(3),))
    data = make_data(fixed={"x": {(0,): 1}, "c": {(2,): 0.5}})
    assert snapshot(se.Subscript(x, [N(0)]).substitute(reg, data)) == ([], 1, 0) and reg.var_num == 0
    assert snapshot(se.Subscript(x, [N(1)]).substitute(reg, data)) == ([((0,), 1)], 0, 1)
    c = DV.create_contvar("c", (N(3),), N(0), N(1))
    assert se.Subscript(c, [N(2)]).substitute(reg, data).constant == 0.5


@pytest.mark.parametrize(
    "node, message",
    [
        (se.Subscript(DV.create_contvar("c", (N(3),), N(0), N(1)), [N(0)]), "Unknown decision variable kind."),
        (se.Subscript(DV("u", (N(3),), None, N(0), N(1)), [N(0)]), "Unknown decision variable kind."),
        (se.Subscript(N(1), [N(0)]), "Unknown variable type."),
        (se.Subscript(se.Placeholder("p", 1), [binary("y")]), "Subscripts must not contain decision variables."),
        (
            se.Subscript(binary("x", (N(3),)), [se.MultipleOperator([N(1), binary("y")], se.MultipleOpeKind.ADD)]),
            "Subscripts must not contain decision variables.",
        ),
        (se.ArrayLength(binary("x", (N(3),)), 0), "Unknown variable type."),
        # a row of a decision variable is no data either, though data of its name is there
        (se.ArrayLength(se.Subscript(binary("p", (N(3), N(3))), [N(0)]), 0), "Unknown variable type."),
        (
            se.ArrayLength(se.Subscript(se.Placeholder("p", 1), [binary("y")]), 0),
            "Subscripts must not contain decision variables.",
        ),
    ],
)
def test_subscript_and_length_errors(reg, make_data, node, message):
    with pytest.raises(SubstituteError) as info:
        node.substitute(reg, make_data({"p": np.zeros((3, 3))}))
    assert str(info.value) == message
    assert "x" not in reg.var_map and "c" not in reg.var_map


class RecordingData:
    indices, fixed_variables = {"i": 1}, {}

    def __init__(self):
        self.calls = []

    def get_length(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return 7


def test_array_length(reg, make_data):
    data = RecordingData()
    p = se.Placeholder("p", 3)
    assert snapshot(se.ArrayLength(p, 2).substitute(reg, data)) == ([], 7, 0)
    se.ArrayLength(se.Subscript(p, [el("i"), N(2.5)]), 0).substitute(reg, data)
    assert data.calls[0] == (("p", ()), {"axis": 2})
    assert data.calls[1][0][:2] == ("p", (1, 2)) and [*data.calls[1][0][2:], *data.calls[1][1].values()] == [0]
    data = make_data({"p": np.zeros((2, 3))})
    q = se.Placeholder("p", 2)
    assert [
        se.ArrayLength(q, 1).substitute(reg, data).constant,
        se.ArrayLength(se.Subscript(q, [N(1)]), 0).substitute(reg, data).constant,
    ] == [3, 3]


class ReadThroughPython(InstanceData):
    """Instance data the engine does not read directly: every length through get_length."""


@pytest.mark.parametrize(
    "subscripts, axis",
    [((), 0), ((), 2), ((1,), 1), ((1, 2), 0), ((), 3), ((1,), 2), ((2,), 0), ((-1,), 0), ((1, 2, 3), 0)],
)
@pytest.mark.parametrize("dtype", [np.int64, np.float32])
def test_array_lengths_read_from_buffers_are_get_lengths(reg, subscripts, axis, dtype):
    # sums over a.len_at(k) read the length at every pass: from a NumPy array's shape, or
    # through get_length, which must give the same length or the same error
    values = np.zeros((2, 3, 4), dtype=dtype)
    p = se.Placeholder("p", 3)
    node = se.ArrayLength(se.Subscript(p, [N(s) for s in subscripts]) if subscripts else p, axis)

    def length(cls):
        try:
            return node.substitute(reg, cls({"p": values}, {}, ["p"], indices={})).constant
        except SubstituteError as error:
            return str(error)

    assert length(InstanceData) == length(ReadThroughPython)
