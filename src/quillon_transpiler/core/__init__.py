"""The compiled core: instance data, the variable registry, substitution and compilation."""

import typing as _typ

from quillon_transpiler.core.instance_data import InstanceData
from quillon_transpiler.core.var_registry import VarRegistry

if _typ.TYPE_CHECKING:
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance

__all__ = ["CompiledInstance", "InstanceData", "VarRegistry"]


def __getattr__(name: str) -> _typ.Any:
    # the compiled-instance record pulls in the expression tree: loaded on first use, so that
    # the registry and the instance data import on their own
    if name == "CompiledInstance":
        from quillon_transpiler.core.compile.compiled_model import CompiledInstance

        return CompiledInstance
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
