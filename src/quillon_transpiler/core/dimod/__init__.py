"""The dimod bridge: compiled instances as dimod constrained quadratic models, and dimod sample
sets decoded back into quillon sample sets. Needs the optional dependency ``dimod``
(``pip install 'quillon_transpiler[dimod]'``); nothing else in the package imports it.

Imports inside this package are absolute: ``dimod`` always means the dimod library, never
this subpackage.
"""

import typing as typ

__all__ = ["DimodBuilder", "to_cqm", "transpile_dimod_bridge_cqm"]


def __getattr__(name: str) -> typ.Any:
    # Resolved on first use, so that importing the package does not require dimod yet.
    if name == "to_cqm":
        from quillon_transpiler.core.dimod import cqm_route

        return cqm_route.to_cqm
    if name in __all__:
        from quillon_transpiler.core.dimod import dimod_bridge

        return getattr(dimod_bridge, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
