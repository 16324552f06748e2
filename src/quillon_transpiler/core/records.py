"""Copies of the package's own records with some fields replaced, for the per-call paths."""

from __future__ import annotations

import typing as typ

R = typ.TypeVar("R")


def replaced(record: R, **changes: typ.Any) -> R:
    """``dataclasses.replace(record, **changes)`` for a plain record, whose ``__init__`` only
    stores its fields: the fields copied and the changed ones stored, as ``object.__setattr__``
    stores them (a frozen record's too). ``dataclasses.replace`` reads every field's definition
    and calls the constructor, which a small model's call pays for several times."""
    fields = record.__dict__
    unknown = changes.keys() - fields.keys()
    if unknown:
        raise TypeError(f"{type(record).__name__} has no fields {sorted(unknown)}")
    out: R = object.__new__(type(record))
    made = out.__dict__
    made.update(fields)
    made.update(changes)
    return out
