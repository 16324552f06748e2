from __future__ import annotations

import copy
import typing as typ
from dataclasses import dataclass

import numpy as np

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
from quillon_transpiler.core.compile.compiled_model import broken_pins, fixed_values
from quillon_transpiler.core.compile.convert_to_substitutable import ProblemSense  # noqa: F401
from quillon_transpiler.core.decode.evaluate import eval_constraint  # noqa: F401 - decoding calls it
from quillon_transpiler.core.route_inputs import compiled_instance, describe
from quillon_transpiler.core.substitute import SubstitutedExpression
from quillon_transpiler.core.substitute import substitutable_expr as subs_expr  # noqa: F401

if typ.TYPE_CHECKING:
    # Native functions: the extension module defines them before this surface runs. Declared
    # for linters and type checkers only; this branch never executes.
    def _transpile(compiled_model: CompiledInstance) -> _CqmModels: ...
    def _models(kept: typ.Any) -> tuple[dimod.QuadraticModel, dict[str, dimod.QuadraticModel]]: ...
    def _convert(expr: SubstitutedExpression, var_map: dict[int, dimod.QuadraticModel]) -> dimod.QuadraticModel: ...
    def _get_model(
        builder: DimodBuilder, penalty_weight: typ.Optional[dict[str, float]]
    ) -> dimod.ConstrainedQuadraticModel: ...
    def _decode(builder: DimodBuilder, sampleset: dimod.SampleSet) -> ql.SampleSet: ...


@dataclass(frozen=True)
class _CqmModels:
    """What ``_transpile`` builds of a compiled instance: the CQM holding every constraint (its
    objective not set), and ``kept``, from which ``_models`` makes the objective as a
    minimisation and one model per custom-penalty label with all its forall instances summed."""

    cqm: dimod.ConstrainedQuadraticModel
    kept: typ.Any


# Variables are labelled (label, subscripts) as in the variable registry, constraints
# label_forallkey (onehot_(3,), weight_()) and compared with 0 as their condition says. The
# objective is negated for a maximisation, so the CQM always minimises; get_model sets it.
#
# Integer bounds are rounded inward (a lower bound up, an upper one down); a variable left
# without an integer value, a bound that is not a finite number and a bound dimod refuses raise
# ValueError naming the variable. A coefficient or constant that is not finite, or an int that
# a float64 cannot hold exactly (the CQM would be a rounded model), raises ValueError and a term
# of degree above two TypeError, both naming the objective, constraint or penalty (label and
# forall key) and the term.
def transpile_dimod_bridge_cqm(compiled_model: CompiledInstance) -> DimodBuilder:
    """Transpile compiled model to dimod CQM."""
    compiled_instance(compiled_model, "transpile_dimod_bridge_cqm")
    return _builder(compiled_model, _transpile(compiled_model))


def _builder(compiled_model: CompiledInstance, models: _CqmModels) -> DimodBuilder:
    """The builder of the models ``_transpile`` made of ``compiled_model`` (or of what it keeps of
    it). Its objective and penalty models are made when first read: ``get_model`` adds them up
    without them."""
    builder = DimodBuilder(compiled_model, models.cqm, typ.cast(typ.Any, _UNMADE), typ.cast(typ.Any, _UNMADE))
    builder.__dict__["_kept"] = models.kept  # an instance's own, beside the class's None
    return builder


_UNMADE = object()  # a model _models has not made yet


def _expr_conversion(expr: SubstitutedExpression, var_map: dict[int, dimod.QuadraticModel]) -> dimod.QuadraticModel:
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
        # Not fields: equality and the constructor stay the four fields'. The CQM as built is the
        # template every get_model copies; it is never changed. The fixed values are those the
        # instance was compiled with (compile_model keeps the caller's dict itself, which callers
        # reuse for the next instance).
        self._cqm_template = self._model
        self._fixed_values = fixed_values(self.compiled_model)

    _kept: typ.ClassVar[typ.Any] = None  # what _transpile kept (see _builder); an instance's own

    def _made(self, name: str) -> typ.Any:
        value = self.__dict__[name]
        if value is _UNMADE:
            objective, penalties = _models(self._kept)
            self.__dict__["_objective"], self.__dict__["custome_penalties"] = objective, penalties
            value = self.__dict__[name]
        return value

    def __getstate__(self) -> dict[str, typ.Any]:
        # dimod's models do not pickle: they travel in dimod's file format, in their order and
        # with the template and the last model still one object when they were one
        from quillon_transpiler.core.dimod.pickling import packed_state

        # the models made from what _transpile kept (a native capsule, which stays behind)
        self._made("_objective")
        return packed_state({name: value for name, value in self.__dict__.items() if name != "_kept"})

    def __setstate__(self, state: dict[str, typ.Any]) -> None:
        from quillon_transpiler.core.dimod.pickling import unpacked_state

        self.__dict__.update(unpacked_state(state))

    def get_model(self, penalty_weight: typ.Optional[dict[str, float]] = None) -> dimod.BinaryQuadraticModel:
        """The CQM, its objective set to the objective plus each weighted custom penalty.

        Penalties missing from ``penalty_weight`` are left out (weight 0); a label that names
        no custom penalty raises KeyError; a weight that is not a number TypeError, and a NaN,
        infinite or negative one ValueError. A model without custom penalties has nothing to
        weight: it ignores ``penalty_weight`` altogether. Each call returns a new CQM (also
        kept as ``_model``); models returned before are not changed.
        """
        # a ConstrainedQuadraticModel; the return annotation is the interface's
        return typ.cast("dimod.BinaryQuadraticModel", _get_model(self, penalty_weight))

    # Samples are read in the sample set's record order; each label's non-zero fixed values
    # follow the sample's own entries. Violations are recomputed from the compiled constraints
    # for the samples the sample set marks infeasible (0.0 otherwise): the sum of magnitudes of
    # left - right for ==, of its positive values for <= and of its negative ones for >=.
    # Objective values are the energies, negated for a maximisation. A sample set without
    # feasibility (a BQM sampler's) is first scored with the CQM, see _scored_by_cqm.
    def decode_from_cqm_result(self, sampleset: dimod.SampleSet) -> ql.SampleSet:
        """Decode sampleset from dimod model."""
        record = getattr(sampleset, "record", None)
        names = getattr(getattr(record, "dtype", None), "names", None)
        if names is None or not hasattr(sampleset, "variables"):
            raise TypeError(
                "decode_from_cqm_result takes the dimod.SampleSet a sampler returned for this builder's CQM "
                f"(get_model()), got {describe(sampleset)}"
            )
        if "is_feasible" not in names:
            sampleset = self._scored_by_cqm(sampleset)
        else:
            self._check_assigned(sampleset)
        decoded = _decode(self, sampleset)
        # pinning constraints no assignment satisfies are out of the CQM: violated in every sample
        for label, gap in broken_pins(self.compiled_model).items():
            decoded.evaluation.constraint_violations[label] = [gap] * len(decoded)
        return decoded

    def _check_assigned(self, sampleset: dimod.SampleSet) -> None:
        """A CQM sampler's sample set assigns every variable of the CQM: one that lacks some
        (relabelled, or cut down) would decode them as 0, a value an integer may not take, and
        with the sampler's feasibility flags pass for feasible."""
        given = sampleset.variables
        missing = [v for v in self._model.variables if v not in given]
        if missing:
            shown = ", ".join(map(repr, missing[:3])) + (", ..." if len(missing) > 3 else "")
            raise ValueError(
                f"the sample set lacks variables of the CQM ({shown}; it has {len(given)} variables): decode "
                "the sample set a CQM sampler returned for builder.get_model(), with the CQM's labels"
            )

    def _scored_by_cqm(self, sampleset: dimod.SampleSet) -> dimod.SampleSet:
        """A sample set without feasibility flags (from a BQM sampler) scored with the CQM.

        Sound only when its samples assign every variable of the CQM under the CQM's labels, as
        a BQM sampler does on ``dimod.cqm_to_bqm`` of a CQM of binaries only: the result takes
        the CQM's variables (slack variables dropped), feasibility by the CQM's constraints and
        energies by its objective, as a CQM sampler reports them. The CQM is the one get_model
        returned last, or the plain objective's when get_model never ran.
        """
        cqm = self._model
        if cqm is self._cqm_template:
            cqm = copy.deepcopy(cqm)
            cqm.set_objective(self._objective)
        labels = list(cqm.variables)
        given = sampleset.variables
        missing = [v for v in labels if v not in given]
        if missing:
            shown = ", ".join(map(repr, missing[:3])) + (", ..." if len(missing) > 3 else "")
            raise ValueError(
                "the sample set has no is_feasible field, so it does not come from a CQM sampler, and it lacks "
                f"variables of the CQM ({shown}): a BQM from dimod.cqm_to_bqm encodes integer variables in "
                "binaries. Map every sample back with the inverter cqm_to_bqm returned and decode "
                "dimod.SampleSet.from_samples_cqm([invert(s) for s in sampleset.samples()], cqm), or decode "
                "the sample set of a CQM sampler on builder.get_model()"
            )
        samples = sampleset.record.sample[:, [given.index(v) for v in labels]]
        for column, v in enumerate(labels):
            values = samples[:, column]
            if cqm.vartype(v) is dimod.BINARY:
                if not np.isin(values, (0, 1)).all():
                    raise ValueError(
                        f"the sample set gives binary variable {v!r} values other than 0 and 1 (a SPIN sample "
                        "set?); decode samples of the builder's CQM, with binaries 0 or 1"
                    )
            elif cqm.vartype(v) is dimod.INTEGER:
                low, high = cqm.lower_bound(v), cqm.upper_bound(v)
                if not ((values == np.round(values)) & (values >= low) & (values <= high)).all():
                    raise ValueError(
                        f"the sample set gives integer variable {v!r} values that are not integers in "
                        f"[{low:g}, {high:g}]; decode samples of the builder's CQM"
                    )
        scored: dimod.SampleSet = dimod.SampleSet.from_samples_cqm(
            (samples, labels), cqm, num_occurrences=sampleset.record.num_occurrences
        )
        return scored


def _made_on_read(name: str) -> property:
    """A field of DimodBuilder whose model is made when first read (see ``_builder``)."""

    def get(self: DimodBuilder) -> typ.Any:
        return self._made(name)

    def put(self: DimodBuilder, value: typ.Any) -> None:
        self.__dict__[name] = value

    return property(get, put)


# after the dataclass is made: its __init__, __eq__ and __repr__ go through these properties
DimodBuilder._objective = _made_on_read("_objective")  # type: ignore[assignment]
DimodBuilder.custome_penalties = _made_on_read("custome_penalties")  # type: ignore[assignment]
