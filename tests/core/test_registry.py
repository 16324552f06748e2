import copy
import dataclasses
import json

import numpy as np
import pytest

from quillon_transpiler.core import VarRegistry
from quillon_transpiler.core.var_registry import IntegerBound


def full_form():
    return {
        "class": "VarRegistry",
        "var_map": {"x": {"subscripts": [[0]], "index": [0]}},
        "var_num": 1,
        "integer_bound": {"x": {"subscripts": [[0]], "bound": [{"lower": 0, "upper": 1}]}},
    }


def test_records():
    assert [(f.name, f.type) for f in dataclasses.fields(VarRegistry)] == [
        ("var_map", "dict[str, dict[tuple[int, ...], int]]"),
        ("var_num", "int"),
        ("integer_bound", "dict[str, dict[tuple[int, ...], IntegerBound]]"),
    ]
    assert [(f.name, f.type) for f in dataclasses.fields(IntegerBound)] == [
        ("lower", "int | float"),
        ("upper", "int | float"),
    ]
    maps = {}, {}
    reg = VarRegistry(var_map=maps[0], var_num=0, integer_bound=maps[1])
    assert reg.var_map is maps[0] and reg.integer_bound is maps[1] and reg == VarRegistry({}, 0, {})


def test_indices_are_dense_across_labels(reg):
    assert [
        reg.add_variable(label="a", subscripts=()),
        reg.add_variable(label="b", subscripts=(0,)),
        reg.add_variable("a", ()),
        reg.add_variable("b", (1,)),
    ] == [0, 1, 0, 2]
    assert reg.var_map == {"a": {(): 0}, "b": {(0,): 1, (1,): 2}} and reg.var_num == 3 and reg.integer_bound == {}


def test_int_variable_replaces_bound_and_keeps_index(reg):
    reg.add_variable("x", ())
    assert reg.add_int_variable(label="y", subscripts=(2,), lower=0, upper=5) == 1
    assert reg.add_int_variable(label="y", subscripts=(2,), lower=-1, upper=9.5) == 1
    assert reg.add_int_variable("x", (), 1, 2) == 0
    assert reg.var_num == 2
    assert reg.integer_bound == {"y": {(2,): IntegerBound(-1, 9.5)}, "x": {(): IntegerBound(1, 2)}}


class Label(str):
    pass


@pytest.mark.parametrize("method", ["add_variable", "add_int_variable"])
@pytest.mark.parametrize(
    "label, subscripts, message",
    [
        (1, (), "Argument 'label' has incorrect type (expected str, got int)"),
        (None, (), "Argument 'label' has incorrect type (expected str, got NoneType)"),
        (Label("x"), (), "Argument 'label' has incorrect type (expected str, got Label)"),
        ("x", [0], "Argument 'subscripts' has incorrect type (expected tuple, got list)"),
        ("x", type("Subs", (tuple,), {})(), "Argument 'subscripts' has incorrect type (expected tuple, got Subs)"),
    ],
)
def test_argument_types_checked_before_anything_is_stored(method, label, subscripts, message):
    reg = VarRegistry({"z": {(): 0}}, 1, {})
    extra = {"lower": 0, "upper": 1} if method == "add_int_variable" else {}
    with pytest.raises(TypeError) as info:
        getattr(reg, method)(label=label, subscripts=subscripts, **extra)
    assert str(info.value) == message
    assert reg == VarRegistry({"z": {(): 0}}, 1, {})


def test_unhashable_subscripts_and_non_int_index(reg):
    with pytest.raises(TypeError):
        reg.add_variable("x", ([0],))
    assert reg.var_num == 0 and reg.var_map in ({}, {"x": {}})
    with pytest.raises(TypeError):
        VarRegistry({}, 1.5, {}).add_variable("x", ())


def test_serialized_form(reg):
    assert reg.to_serializable() == {"class": "VarRegistry", "var_map": {}, "var_num": 0, "integer_bound": {}}
    reg.add_variable("x", (0, 0))
    reg.add_variable("x", (0, 1))
    data = reg.to_serializable()
    assert list(data) == ["class", "var_map", "var_num", "integer_bound"]
    assert data == {
        "class": "VarRegistry",
        "var_map": {"x": {"subscripts": [(0, 0), (0, 1)], "index": [0, 1]}},
        "var_num": 2,
        "integer_bound": {},
    }
    assert data["var_map"]["x"]["subscripts"][0] is next(iter(reg.var_map["x"]))
    reg.add_int_variable("n", (), lower=-2, upper=3)
    reg.add_variable("b", ())
    data = reg.to_serializable()
    assert list(data["var_map"]) == ["x", "n", "b"] and data["var_num"] == 4
    assert data["integer_bound"] == {"n": {"subscripts": [()], "bound": [{"lower": -2, "upper": 3}]}}


def test_round_trip_through_json_with_numpy_bounds(reg):
    reg.add_variable("x", (1, 2))
    reg.add_int_variable("n", (0,), lower=np.array(1), upper=np.int64(7))
    reg.add_int_variable("n", (1,), lower=np.array(0.5), upper=np.float32(2.5))
    reg.add_int_variable("m", (), lower=-1.5, upper=2)
    data = reg.to_serializable()
    bounds = data["integer_bound"]["n"]["bound"]
    assert bounds == [{"lower": 1, "upper": 7}, {"lower": 0.5, "upper": 2.5}]
    assert [type(v) for b in bounds for v in b.values()] == [int, int, float, float]
    assert type(reg.integer_bound["n"][(0,)].lower) is np.ndarray  # the registry is kept
    back = VarRegistry.from_serializable(json.loads(json.dumps(data)))
    assert back.var_map == {"x": {(1, 2): 0}, "n": {(0,): 1, (1,): 2}, "m": {(): 3}} and back.var_num == 4
    assert back.integer_bound == {
        "n": {(0,): IntegerBound(1, 7), (1,): IntegerBound(0.5, 2.5)},
        "m": {(): IntegerBound(-1.5, 2)},
    }
    assert all(type(k) is tuple for inner in back.var_map.values() for k in inner)
    arr = np.array([1, 2])
    reg.add_int_variable("m", (), lower=arr, upper="u")
    assert reg.to_serializable()["integer_bound"]["m"]["bound"][0]["lower"] is arr


def test_from_serializable_pairs_to_shorter_and_builds_the_base_class():
    class Sub(VarRegistry):
        pass

    data = full_form()
    data["var_map"]["x"] = {"subscripts": [[0], [1], [2]], "index": [4, 5]}
    data["var_num"] = 17
    data["integer_bound"]["x"]["subscripts"].append([1])
    back = Sub.from_serializable(data)
    assert type(back) is VarRegistry and back.var_num == 17
    assert back.var_map == {"x": {(0,): 4, (1,): 5}} and back.integer_bound == {"x": {(0,): IntegerBound(0, 1)}}


@pytest.mark.parametrize(
    "path",
    [
        ("class",),
        ("var_map",),
        ("var_num",),
        ("integer_bound",),
        ("var_map", "x", "subscripts"),
        ("var_map", "x", "index"),
        ("integer_bound", "x", "bound"),
        ("integer_bound", "x", "subscripts"),
        ("integer_bound", "x", "bound", 0, "lower"),
        ("integer_bound", "x", "bound", 0, "upper"),
    ],
)
def test_from_serializable_missing_key(path):
    data = full_form()
    inner = data
    for key in path[:-1]:
        inner = inner[key]
    del inner[path[-1]]
    with pytest.raises(KeyError, match=path[-1]):
        VarRegistry.from_serializable(data)


def test_from_serializable_rejects_wrong_class_and_non_dict():
    with pytest.raises(ValueError) as info:
        VarRegistry.from_serializable({**full_form(), "class": "Other"})
    assert str(info.value) == "Invalid class: Other"
    with pytest.raises(TypeError) as info:
        VarRegistry.from_serializable([("class", "VarRegistry")])
    assert str(info.value) == "Argument 'data' has incorrect type (expected dict, got list)"


LAST = 2**31 - 1  # polynomial keys hold 32-bit indices


def _through_engine(reg, label, integer=False, subscripted=True):
    import quillon_transpiler.core.substitute.substitutable_expr as se
    from quillon_transpiler.core import InstanceData

    make = se.DecisionVariable.create_intvar if integer else se.DecisionVariable.create_binaryvar
    var = make(label, (se.Number(3),) if subscripted else (), *((se.Number(0), se.Number(5)) if integer else ()))
    node = se.Subscript(var, [se.Number(1)]) if subscripted else var
    (key,) = node.substitute(reg, InstanceData({}, {}, [], indices={})).coeff
    return key[0]


class Subclassed(VarRegistry):
    pass  # not the engine's own class: the engine registers through its add_variable


@pytest.mark.parametrize("cls", [VarRegistry, Subclassed])
@pytest.mark.parametrize(
    "register",
    [
        lambda reg, label: reg.add_variable(label, (1,)),
        lambda reg, label: reg.add_int_variable(label, (1,), 0, 5),
        lambda reg, label: _through_engine(reg, label, subscripted=False),
        lambda reg, label: _through_engine(reg, label),
        lambda reg, label: _through_engine(reg, label, integer=True),
    ],
)
def test_full_registry_refuses_before_it_changes(cls, register):
    reg = cls({"y": {(): 0}}, LAST, {})
    assert register(reg, "x") == LAST and reg.var_num == LAST + 1  # the last index still fits
    before = copy.deepcopy(reg)
    with pytest.raises(OverflowError, match=r"^Cannot register decision variable `z` at .*2\*\*31 - 1"):
        register(reg, "z")
    assert reg == before


@pytest.mark.parametrize("num", [-1, 5, LAST - 1, LAST, LAST + 1])
@pytest.mark.parametrize(
    "register",
    [
        lambda reg, subs: reg.add_variable("x", subs),
        lambda reg, subs: _through_engine(reg, "x") if subs == (1,) else reg.add_variable("x", subs),
    ],
)
def test_label_met_before_registers_once(num, register):
    # a label with variables already: a known variable keeps its index and var_num stays, on
    # both sides of the last index that still fits
    reg = VarRegistry({"x": {(0,): 0}}, num, {})
    assert register(reg, (0,)) == 0 and reg.var_num == num
    if num > LAST:
        with pytest.raises(OverflowError, match="2\\*\\*31 - 1"):
            register(reg, (1,))
        assert reg.var_map == {"x": {(0,): 0}} and reg.var_num == num
        return
    assert register(reg, (1,)) == num and reg.var_num == num + 1
    assert register(reg, (1,)) == num and reg.var_num == num + 1
    assert reg.var_map == {"x": {(0,): 0, (1,): num}}


def test_var_num_past_int64_below_moves_on_by_one():
    # a registry loaded as stored: its count is whatever int it holds
    reg = VarRegistry({}, -(2**70), {})
    assert reg.add_variable("x", (0,)) == -(2**70) and reg.var_num == -(2**70) + 1
