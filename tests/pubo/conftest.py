import pytest
from pubo_helpers import mixed_model


@pytest.fixture(scope="module")
def mixed():
    return mixed_model()
