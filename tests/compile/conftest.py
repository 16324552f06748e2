import numpy as np
import pytest

from quillon_transpiler.core import InstanceData, VarRegistry


@pytest.fixture
def reg():
    return VarRegistry({}, 0, {})


@pytest.fixture
def make_data():
    def make(instance=None, fixed=None, indices=None):
        instance = {} if instance is None else instance
        return InstanceData(
            instance, {} if fixed is None else fixed, list(instance), indices={} if indices is None else indices
        )

    return make


def _evaluate(poly, values):
    """sum of coefficient * product of the variables of each key, plus the constant."""
    total = poly.constant
    for key, coefficient in poly.coeff.items():
        total += coefficient * np.prod([values[index] for index in key])
    return total


@pytest.fixture
def evaluate():
    return _evaluate


@pytest.fixture
def assign():
    """Values by variable index from dense arrays by label, through the compiled registry."""

    def make(compiled, arrays):
        values = {}
        for label, by_subscripts in compiled.var_map.var_map.items():
            for subscripts, index in by_subscripts.items():
                values[index] = np.asarray(arrays[label])[subscripts]
        return values

    return make
