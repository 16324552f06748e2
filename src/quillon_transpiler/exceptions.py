"""Exceptions raised for problems in a model or its instance data."""


class SubstituteError(Exception):
    """A model and its instance data do not fit; the message says where and why."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message
