from __future__ import annotations

import typing as typ
from dataclasses import dataclass

import numpy as np  # noqa: F401 - part of the module namespace

try:
    import dimod
except ImportError as error:  # an optional extra: only this module needs it
    raise ModuleNotFoundError(
        "quillon_transpiler.core.dimod needs the optional dependency dimod; "
        "install it with: pip install 'quillon_transpiler[dimod]'",
        name="dimod",
    ) from error

import quillon as ql
from quillon_transpiler.core import CompiledInstance
from quillon_transpiler.core.compile.convert_to_substitutable import ProblemSense  # noqa: F401
from quillon_transpiler.core.decode.evaluate import eval_constraint  # noqa: F401 - decoding calls it
from quillon_transpiler.core.substitute import SubstitutedExpression
from quillon_transpiler.core.substitute import substitutable_expr as subs_expr  # noqa: F401

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    _transpile: typ.Any = ...
    _convert: typ.Any = ...
    _get_model: typ.Any = ...
    _decode: typ.Any = ...


# Variables are labelled (label, subscripts) as in the variable registry, constraints
# label_forallkey (onehot_(3,), weight_()) and compared with 0 as their condition says. The
# objective is negated for a maximisation, so the CQM always minimises; get_model sets it.
#
# Integer bounds are rounded inward (a lower bound up, an upper one down); a variable left
# without an integer value, a bound that is not a finite number and a bound dimod refuses raise
# ValueError naming the variable. A coefficient or constant that is not finite raises ValueError
# and a term of degree above two TypeError, both naming the objective, constraint or penalty
# (label and forall key) and the term.
def transpile_dimod_bridge_cqm(compiled_model: CompiledInstance) -> DimodBuilder:
    """Transpile compiled model to dimod CQM."""
    cqm, objective, penalties = _transpile(compiled_model)
    return DimodBuilder(compiled_model, cqm, objective, penalties)


def _expr_conversion(
    expr: SubstitutedExpression, var_map: dict[int, dimod.QuadraticModel]
) -> dimod.QuadraticModel:
    """The quadratic model of a polynomial, ``var_map`` giving the model of each variable index.

    The result equals the sum over the terms of the product of the variables' models times
    the coefficient, plus the constant, built with dimod's own arithmetic: the same variable
    order, biases, offset, vartypes and bounds, and the same TypeError for a term that stays
    of degree above two (a binary variable times itself reduces to itself).
    """
    return _convert(expr, var_map)


@dataclass
class DimodBuilder:
    """Dimod model builder.

    Attributes:
        compiled_model (CompiledInstance): the compiled instance the model was built from.
        _model (dimod.ConstrainedQuadraticModel): the CQM holding every constraint; its
            objective is set by ``get_model``.
        _objective (dimod.QuadraticModel): the objective, already turned into a minimisation.
        custome_penalties (dict[str, dimod.BinaryQuadraticModel]): one quadratic model per
            custom-penalty label, all its forall instances summed.
    """

    compiled_model: CompiledInstance
    _model: dimod.ConstrainedQuadraticModel
    _objective: dimod.QuadraticModel
    custome_penalties: dict[str, dimod.BinaryQuadraticModel]

    def __post_init__(self) -> None:
        # Not a field: equality and the constructor stay the four fields'. The CQM as built is
        # the template every get_model copies; it is never changed.
        self._cqm_template = self._model

    def get_model(self, penalty_weight: typ.Optional[dict[str, float]] = None) -> dimod.BinaryQuadraticModel:
        """The CQM, its objective set to the objective plus each weighted custom penalty.

        Penalties missing from ``penalty_weight`` are left out (weight 0); a label that names
        no custom penalty raises KeyError; a weight that is not a number TypeError, and a NaN,
        infinite or negative one ValueError. Each call returns a new CQM (also kept as
        ``_model``); models returned before are not changed.
        """
        return _get_model(self, penalty_weight)

    # Samples are read in the sample set's record order. Violations are recomputed from the
    # compiled constraints for the samples the sample set marks infeasible (0.0 otherwise): the
    # sum of magnitudes of left - right for ==, of its positive values for <= and of its
    # negative ones for >=. Objective values are the energies, negated for a maximisation.
    def decode_from_cqm_result(self, sampleset: dimod.SampleSet) -> ql.SampleSet:
        """Decode sampleset from dimod model."""
        return _decode(self, sampleset)
