"""Exceptions raised for problems in a model or its instance data."""


class SubstituteError(Exception):
    """A model and its instance data do not fit; the message says where and why."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message


class UnboundElementError(SubstituteError, KeyError):
    """An index element read where no sum, product or forall binds it.

    Still a KeyError carrying the element's name, for code that catches those.
    """

    def __init__(self, name: str):
        super().__init__(
            f"Index element `{name}` has no value here: sum or multiply over it, "
            "or add it to the forall list of the constraint or penalty."
        )
        self.args = (name,)


class DataIndexError(SubstituteError, IndexError):
    """An index outside a data array (such as an integer variable's bound array).

    Still an IndexError carrying NumPy's message, for code that catches those.
    """

    def __init__(self, message: str, detail: str):
        super().__init__(message)
        self.args = (detail,)


class FixedValueKeyError(KeyError):
    """A scalar decision variable whose fixed values are keyed by subscripts but lack ``()``.

    Still the KeyError of the missing key ``()`` (``args[0] == ()``), with a message that says
    how to fix the variable.
    """

    def __init__(self, message: str):
        super().__init__((), message)

    def __str__(self) -> str:
        return str(self.args[1])
