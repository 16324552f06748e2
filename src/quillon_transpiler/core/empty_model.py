"""The answer to a model without variables, which some samplers leave without one.

Every variable fixed (or every range empty) leaves a BQM, CQM or polynomial without variables:
it has exactly one assignment, the empty one, whose energy is the model's offset. dimod's exact
solvers return no sample for it, so a caller would find no answer where there is one.
"""

from __future__ import annotations

import typing as typ


def with_the_empty_sample(sampleset: typ.Any, model: typ.Any) -> typ.Any:
    """``sampleset`` itself, unless ``model`` has no variables and the sampler gave no sample:
    then the one sample of the model (the empty assignment, at the model's energy, with the
    feasibility of a CQM's constant constraints)."""
    import dimod

    if len(sampleset) or len(model.variables):
        return sampleset
    if isinstance(model, dimod.ConstrainedQuadraticModel):
        return dimod.SampleSet.from_samples_cqm([{}], model)
    if isinstance(model, dimod.BinaryQuadraticModel):
        return dimod.SampleSet.from_samples_bqm([{}], model)
    return dimod.SampleSet.from_samples([{}], model.vartype, energy=[model.energy({})])
