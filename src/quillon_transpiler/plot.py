"""Pictures of decoded sample sets, drawn with matplotlib (the package's optional `plot` extra).

``energies(sampleset)`` draws the histogram of a quillon SampleSet's energies, its feasible and
infeasible samples stacked in two colours, each sample counted as often as it occurred.
matplotlib is imported on the first drawing, so that this module imports without it.
"""

from __future__ import annotations

import importlib
import os
import typing as typ

import numpy as np

if typ.TYPE_CHECKING:
    import quillon as ql

__all__ = ["energies", "pyplot"]

#: the colours of feasible and infeasible samples
FEASIBLE, INFEASIBLE = "tab:green", "tab:red"


def pyplot() -> typ.Any:
    """``matplotlib.pyplot``, or an ImportError that names the extra to install.

    Without a display (no ``DISPLAY`` on Linux, or a script run headless), matplotlib picks a
    non-interactive backend by itself; pictures are written with ``path=`` either way.
    """
    try:
        # imported by name: type checkers need no matplotlib where it is not installed
        plt = importlib.import_module("matplotlib.pyplot")
    except ImportError:
        raise ImportError(
            "quillon_transpiler.plot draws with matplotlib, which is not installed: install the package's `plot` "
            "extra, pip install 'quillon_transpiler[plot]'"
        ) from None
    return plt


def energies(
    sampleset: ql.SampleSet,
    ax: typ.Any = None,
    path: str | os.PathLike[str] | None = None,
    *,
    bins: int | None = None,
    tolerance: float = 1e-9,
) -> typ.Any:
    """A histogram of the samples' energies, feasible and infeasible samples stacked.

    Args:
        sampleset: a decoded quillon SampleSet (``decode``, ``solve``, ``decode_from_cqm_result``).
            A sample is feasible as ``sampleset.feasible(tolerance)`` counts it: no constraint
            violated by more than ``tolerance``, no invalid encoding.
        ax: the matplotlib Axes to draw on; None: a new figure's.
        path: where to write the figure as a PNG (None: not written).
        bins: the number of bins; None: one per distinct energy up to 40.

    Returns:
        the Axes drawn on.
    """
    plt = pyplot()
    energy = np.asarray(sampleset.evaluation.energy, dtype=np.float64)
    weight = np.asarray(sampleset.record.num_occurrences, dtype=np.float64)
    feasible = _feasible(sampleset, tolerance)
    if ax is None:
        _, ax = plt.subplots(figsize=(6.4, 4.0))
    if bins is None:
        # energies a rounding apart are one value: a bin narrower than float64 can split is refused
        spread = float(np.ptp(energy)) if len(energy) else 0.0
        distinct = len(np.unique(energy)) if spread > 1e-9 * max(1.0, float(np.abs(energy).max())) else 1
        bins = max(1, min(distinct, 40))
    groups = [(feasible, FEASIBLE, "feasible"), (~feasible, INFEASIBLE, "infeasible")]
    ax.hist(
        [energy[mask] for mask, _, _ in groups],
        bins=bins,
        weights=[weight[mask] for mask, _, _ in groups],
        stacked=True,
        color=[colour for _, colour, _ in groups],
        label=[f"{name} ({int(weight[mask].sum())})" for mask, _, name in groups],
    )
    ax.set_xlabel("energy")
    ax.set_ylabel("samples")
    ax.set_title(f"{int(weight.sum())} samples, {int(weight[feasible].sum())} feasible")
    ax.legend()
    if path is not None:
        ax.figure.savefig(os.fspath(path), dpi=100, bbox_inches="tight")
    return ax


def _feasible(sampleset: ql.SampleSet, tolerance: float) -> np.ndarray:
    """Per sample, whether ``sampleset.feasible(tolerance)`` keeps it."""
    n = len(sampleset)
    keep = np.ones(n, dtype=bool)
    for violation in sampleset.evaluation.constraint_violations.values():
        keep &= np.asarray(violation, dtype=np.float64).reshape(n) <= tolerance
    for broken in (sampleset.evaluation.encoding_violations or {}).values():
        keep &= np.asarray(broken).reshape(n) == 0
    return keep
