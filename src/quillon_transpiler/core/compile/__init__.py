"""Compilation of quillon problems against instance data into polynomials."""

from typing import TYPE_CHECKING, Any

__all__ = ["CompiledInstance", "compile_model"]

if TYPE_CHECKING:  # type checkers see the names that __getattr__ resolves at run time
    from quillon_transpiler.core.compile.compile import compile_model
    from quillon_transpiler.core.compile.compiled_model import CompiledInstance


def __getattr__(name: str) -> Any:
    # Resolved on first use: the driver pulls in the lowering and the modeling library, which
    # importing just one step of the pipeline (unroll_forall, say) should not require.
    if name == "compile_model":
        from quillon_transpiler.core.compile.compile import compile_model

        return compile_model
    if name == "CompiledInstance":
        from quillon_transpiler.core.compile.compiled_model import CompiledInstance

        return CompiledInstance
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
