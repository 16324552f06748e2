"""The compiled core: instance data, the variable registry, substitution and compilation."""

from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.var_registry import VarRegistry

__all__ = ["InstanceData", "VarRegistry"]
