import pytest
from pubo_helpers import binary_model, mixed_model


@pytest.fixture(scope="module")
def mixed():
    return mixed_model()


@pytest.fixture(scope="module")
def models(mixed):
    return {"mixed": mixed, "binary": binary_model()}
