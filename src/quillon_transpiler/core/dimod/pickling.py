"""Pickling of the dimod models a ``DimodBuilder`` holds.

dimod's quadratic and constrained quadratic models do not pickle; their own file format
(``to_file``/``from_file``) keeps variables in order with their labels, vartypes and bounds, and
every bias exactly. Two things it does not keep in a constrained model: the order of the
constraints (they are read back in the order of a set of strings, which changes with the
process's hash seed, and ``dimod.cqm_to_bqm`` and samplers see them in that order), and labels
that are not strings or hold a path separator (a label's JSON text names a folder of the
archive: "a/b" cannot be read back). So a model travels as its file with its constraint labels
in order beside it, and one whose labels would not survive the file is labelled by position in
a copy first.
"""

from __future__ import annotations

import copy
import typing as typ

import dimod

#: the classes whose models travel as files (BinaryQuadraticModel pickles by itself, but a
#: builder's models share one form)
_MODELS = (dimod.ConstrainedQuadraticModel, dimod.QuadraticModel, dimod.BinaryQuadraticModel)


def packed_state(state: dict[str, typ.Any]) -> dict[str, typ.Any]:
    """``state`` (an object's attributes) with every dimod model, also as a value of a dict
    attribute, replaced by a stand-in that pickles as the model's file. A model held twice
    gets one stand-in, so that it is loaded once and its attributes stay the same object."""
    stand_ins: dict[int, _ModelFile] = {}

    def pack(value: typ.Any) -> typ.Any:
        if isinstance(value, _MODELS):
            if id(value) not in stand_ins:
                stand_ins[id(value)] = _ModelFile(value)
            return stand_ins[id(value)]
        if type(value) is dict and any(isinstance(v, _MODELS) for v in value.values()):
            return {key: pack(v) for key, v in value.items()}
        return value

    return {name: pack(value) for name, value in state.items()}


def unpacked_state(state: dict[str, typ.Any]) -> dict[str, typ.Any]:
    """``state`` with its stand-ins replaced by their models: ``copy.copy`` hands the state of
    ``packed_state`` over as it is (unpickling and ``copy.deepcopy`` give models already)."""

    def unpack(value: typ.Any) -> typ.Any:
        if isinstance(value, _ModelFile):
            return value.model
        if type(value) is dict and any(isinstance(v, _ModelFile) for v in value.values()):
            return {key: unpack(v) for key, v in value.items()}
        return value

    return {name: unpack(value) for name, value in state.items()}


class _ModelFile:
    """A dimod model on its way into a pickle; unpickling gives the model itself."""

    __slots__ = ("model",)

    def __init__(self, model: typ.Any) -> None:
        self.model = model

    def __deepcopy__(self, memo: dict[int, typ.Any]) -> typ.Any:
        # dimod copies its models itself, without the file
        return copy.deepcopy(self.model, memo)

    def __reduce__(self) -> tuple[typ.Any, tuple[typ.Any, ...]]:
        model = self.model
        if isinstance(model, dimod.ConstrainedQuadraticModel):
            labels = list(model.constraints)
            if not _file_safe(labels):
                model = _relabelled_copy(model, labels)
            return _load_cqm, (_file_bytes(model), labels)
        return _load_model, (type(model), _file_bytes(model))


def _file_bytes(model: typ.Any) -> bytes:
    # dimod's file is a spooled temporary file: closed here, it leaves nothing open behind
    with model.to_file() as file:
        file.seek(0)
        data: bytes = file.read()
    return data


def _file_safe(labels: list[typ.Any]) -> bool:
    """Whether constraint labels survive dimod's file as they are (Windows' zipfile also turns
    "\\" into "/")."""
    return all(isinstance(label, str) and "/" not in label and "\\" not in label for label in labels)


def _relabelled_copy(cqm: dimod.ConstrainedQuadraticModel, labels: list[typ.Any]) -> dimod.ConstrainedQuadraticModel:
    """A copy of ``cqm`` with its constraints labelled 0, 1, ... in order (the model is not changed:
    it may be in use elsewhere)."""
    memo = {id(v): v for v in cqm.variables}  # labels are immutable: share them, as get_model does
    twin: dimod.ConstrainedQuadraticModel = copy.deepcopy(cqm, memo)
    twin.relabel_constraints({label: position for position, label in enumerate(labels)})
    return twin


def _load_model(cls: typ.Any, data: bytes) -> typ.Any:
    return cls.from_file(data)


def _load_cqm(data: bytes, labels: list[typ.Any]) -> dimod.ConstrainedQuadraticModel:
    """The model of a file, its constraints in the order and with the labels of ``labels``."""
    cqm = dimod.ConstrainedQuadraticModel.from_file(data)
    safe = _file_safe(labels)
    read = labels if safe else list(range(len(labels)))
    if list(cqm.constraints) == read:
        if not safe:
            cqm.relabel_constraints(dict(zip(read, labels)))
        return cqm
    # Constraints are taken out and added again in order, each with the same terms in the same
    # order: the variables, their order and the objective are not touched.
    taken = [_constraint_terms(cqm, label) for label in read]
    for label in reversed(list(cqm.constraints)):
        cqm.remove_constraint(label)
    for label, (terms, sense, rhs, weight, penalty, discrete) in zip(labels, taken):
        cqm.add_constraint_from_iterable(terms, sense, rhs, label=label, weight=weight, penalty=penalty)
        if discrete:
            cqm.constraints[label].lhs.mark_discrete(True)
    return cqm


def _constraint_terms(cqm: dimod.ConstrainedQuadraticModel, label: typ.Any) -> tuple[typ.Any, ...]:
    """(terms, sense, rhs, weight, penalty, discrete) of a constraint: the linear terms in the
    order of its variables (zero biases too: they hold a variable's place), then the quadratic
    ones and the offset."""
    comparison = cqm.constraints[label]
    lhs = comparison.lhs
    terms: list[tuple[typ.Any, ...]] = list(lhs.iter_linear())
    terms.extend(lhs.iter_quadratic())
    terms.append((lhs.offset,))
    soft = lhs.is_soft()
    weight = lhs.weight() if soft else None
    penalty = lhs.penalty() if soft else "linear"
    return terms, comparison.sense, comparison.rhs, weight, penalty, lhs.is_discrete()
