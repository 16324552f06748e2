"""Instance data of one compilation: placeholder values, fixed variables and element bindings."""

from __future__ import annotations

import decimal
import difflib
import fractions
import numbers
import typing as typ
import warnings

import numpy as np

from quillon_transpiler.exceptions import SubstituteError

_NUMERIC_KINDS = "biufc"
_MISSING = object()


def _misspelt(name: str, instance: typ.Any) -> str:
    """A note naming the instance's key closest to a missing placeholder's name, if one is close
    (`Cost` for `cost`): nothing otherwise."""
    keys = [key for key in instance if isinstance(key, str)]
    close = difflib.get_close_matches(name, keys, n=1) or [k for k in keys if k.lower() == name.lower()]
    return f" (it holds `{close[0]}`: a misspelt name?)" if close else ""


class InstanceData:
    """The data a model is instantiated against.

    ``instance`` maps placeholder names to arrays, nested (possibly jagged) lists or numbers and
    is never modified; ``fixed_variables`` maps a decision-variable label to the values of its
    fixed subscripts; ``indices`` holds the current value of every bound index element.
    """

    def __init__(self, instance: typ.Any, fixed_variables: typ.Any, ph_names: typ.Any, indices: typ.Any = None) -> None:
        self.instance = instance
        self.fixed_variables = fixed_variables
        self.ph_names = ph_names
        self.indices = {} if indices is None else indices
        # name -> the value in a read-only normal form: a number, an ndarray or a list of those
        self._data: dict[str, typ.Any] = {}

    def __repr__(self) -> str:
        return (
            f"InstanceData(instance={self.instance!r}, fixed_variables={self.fixed_variables!r}, "
            f"ph_names={self.ph_names!r}, indices={self.indices!r})"
        )

    def _lookup(self, name: str) -> typ.Any:
        # every compile misses once per name: a lookup that raises KeyError costs more
        value = self._data.get(name, _MISSING)
        if value is not _MISSING:
            return value
        if name not in self.instance:
            raise SubstituteError(
                f"Placeholder `{name}` is missing from the instance data: "
                f"add a value for `{name}` to the instance dict{_misspelt(name, self.instance)}."
            )
        value = _normalise(name, self.instance[name])
        self._data[name] = value
        return value

    def get_value(self, name: str, subscripts: tuple) -> typ.Any:
        """The value of placeholder ``name`` at ``subscripts`` (the whole value for ())."""
        value = self._lookup(name)
        for pos, index in enumerate(subscripts):
            if isinstance(value, np.ndarray):
                rest = tuple(subscripts[pos:])
                if len(rest) > value.ndim:
                    _too_many(name, subscripts, pos + value.ndim)
                for k, i in enumerate(rest):
                    _check_index(name, pos + k, i, value.shape[k])
                value = value[rest]
                return value.item() if isinstance(value, np.generic) else value
            if isinstance(value, list):
                _check_index(name, pos, index, len(value))
                value = value[index]
            else:
                _too_many(name, subscripts, pos)
        return value

    def get_length(self, name: str, subscripts: tuple, axis: int) -> int:
        """The length along ``axis`` of placeholder ``name`` or of its sub-array at ``subscripts``."""
        value = self.get_value(name, subscripts)
        where = f"placeholder `{name}`" + (f" at {tuple(subscripts)}" if subscripts else "")
        if isinstance(value, np.ndarray):
            if not 0 <= axis < value.ndim:
                raise SubstituteError(f"Cannot take the length of axis {axis} of {where}: it has {value.ndim} axes.")
            return int(value.shape[axis])
        if isinstance(value, list):
            lengths = {_length(name, child, axis - 1, where) for child in value} if axis else {len(value)}
            if len(lengths) > 1:
                raise SubstituteError(
                    f"Cannot take the length of axis {axis} of {where}: "
                    f"its rows have different lengths {sorted(lengths)}."
                )
            return lengths.pop() if lengths else 0
        raise SubstituteError(f"Cannot take the length of axis {axis} of {where}: it is a single number.")


def _length(name: str, value: typ.Any, axis: int, where: str) -> int:
    if isinstance(value, np.ndarray) and 0 <= axis < value.ndim:
        return int(value.shape[axis])
    if isinstance(value, list):
        if axis == 0:
            return len(value)
        lengths = {_length(name, child, axis - 1, where) for child in value}
        if len(lengths) == 1:
            return lengths.pop()
    raise SubstituteError(f"Cannot take the length of this axis of {where}: its rows differ in shape.")


def _check_index(name: str, axis: int, index: typ.Any, length: int) -> None:
    # a negative index would silently read from the end of the axis
    if not 0 <= index < length:
        raise SubstituteError(
            f"Index {index} is out of range for axis {axis} of placeholder `{name}` (length {length}): "
            "check the subscripts against the data."
        )


def _too_many(name: str, subscripts: tuple, axes: int) -> typ.NoReturn:
    raise SubstituteError(
        f"Placeholder `{name}` is indexed with {len(subscripts)} subscripts {tuple(subscripts)}, "
        f"but its data has only {axes} axes there."
    )


def _normalise(name: str, value: typ.Any) -> typ.Any:
    """A read-only normal form of one placeholder's value, checked to hold numbers only.

    Numbers keep their type: NumPy arrays their dtype, and a list becomes an array only when
    the array holds exactly the numbers given (a list mixing ints and floats keeps them as
    they are, one list level at a time).
    """
    if type(value) in (int, float):  # the commonest numbers, before the checks against classes
        return value
    if isinstance(value, np.ma.MaskedArray):
        # a masked entry has no value: read as one, it would drop terms (and the constant of a
        # sum that meets it) without a word
        if np.ma.getmaskarray(value).any():
            raise SubstituteError(
                f"Placeholder `{name}` is a masked array with masked entries, which have no value: "
                f"give an ordinary array, e.g. `{name}.filled(0)` with the value masked entries should take."
            )
        value = value.data
    if isinstance(value, np.ndarray):
        if value.dtype.kind in _NUMERIC_KINDS:
            if value.ndim == 0:
                return value.item()
            view = value.view()
            view.flags.writeable = False
            return view
        if value.dtype.kind == "O":
            return _normalise(name, value.tolist())
        raise SubstituteError(
            f"Placeholder `{name}` is a NumPy array of dtype {value.dtype}, which is not numeric: "
            "give numbers (an int, float or complex dtype)."
        )
    elif isinstance(value, np.generic):
        if value.dtype.kind in _NUMERIC_KINDS:
            return value.item()
    elif isinstance(value, decimal.Decimal) and value.is_finite():
        # the same value as a Fraction: a Decimal takes no part in arithmetic with a float (a
        # float literal of the model, a float weight), where a Fraction does
        return fractions.Fraction(value)
    elif isinstance(value, numbers.Number):
        return value
    elif isinstance(value, (list, tuple)):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                array = np.asarray(value)
            except (ValueError, OverflowError, Warning):
                array = None
        if array is not None and array.dtype.kind in _NUMERIC_KINDS and _holds_exactly(value, array):
            array.flags.writeable = False
            return array
        # mixed, jagged or beyond NumPy's number types (e.g. big ints): keep one list level
        return [_normalise(name, item) for item in value]
    raise SubstituteError(
        f"Placeholder `{name}` has a value of type {type(value).__name__}: "
        "give a number, a list of numbers or a NumPy array."
    )


# The numbers an array of a float or complex dtype may have been made from without changing
# their value or type; ints (and bools) become floats there, and big ints lose digits.
_SAME_KIND = {"f": (float, np.floating), "c": (complex, np.complexfloating)}


def _holds_exactly(value: typ.Any, array: np.ndarray) -> bool:
    """Whether ``array`` (NumPy's reading of the list ``value``) holds the numbers as given.

    Integer and bool arrays only arise from ints and bools, which they hold exactly; a float
    or complex array must have been made from numbers of that kind alone.
    """
    allowed = _SAME_KIND.get(array.dtype.kind)
    if allowed is None:
        return True
    leaves = value if array.ndim == 1 else np.array(value, dtype=object).ravel()
    return all(issubclass(kind, allowed) for kind in set(map(type, leaves)))
