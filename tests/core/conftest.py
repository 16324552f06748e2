import pytest

from quillon_transpiler.core import InstanceData, VarRegistry


@pytest.fixture
def reg():
    return VarRegistry({}, 0, {})


@pytest.fixture
def make_data():
    def make(instance=None, fixed=None, indices=None):
        instance = {} if instance is None else instance
        return InstanceData(instance, fixed or {}, list(instance), indices={} if indices is None else indices)

    return make
