"""The CQM decoder and dict_to_record write their records with one sparse-record writer: for the
same samples they must report the same entries per label and sample, each label's non-zero
fixed values last, in the order of the fixed map."""

import numpy as np
import pytest

dimod = pytest.importorskip("dimod")

from quillon_transpiler import testing as models  # noqa: E402
from quillon_transpiler.core.compile.compile import compile_model  # noqa: E402
from quillon_transpiler.core.decode.decode import dict_to_record  # noqa: E402
from quillon_transpiler.core.dimod.dimod_bridge import transpile_dimod_bridge_cqm  # noqa: E402


def random_samples(cqm, count, seed):
    """`count` samples of the CQM's variables within their bounds, zeros included."""
    rng = np.random.default_rng(seed)
    labels = list(cqm.variables)
    columns = [rng.integers(int(cqm.lower_bound(v)), int(cqm.upper_bound(v)) + 1, count) for v in labels]
    return np.array(columns, dtype=np.int64).T, labels


def split(entry, fixed):
    """A sparse entry as (its own (subscripts, value) pairs, sorted; its last `fixed` ones)."""
    axes, values, shape = entry
    n = len(values)
    pairs = [(tuple(axis[k] for axis in axes), values[k]) for k in range(n)]
    return sorted(pairs[: n - fixed]), pairs[n - fixed :], tuple(shape)


@pytest.mark.parametrize(
    "model, fixed",
    [
        (models.assignment, {"x": {(0, 0): 1, (1, 1): 0, (2, 1): 1}}),
        (models.cover, {"z": {(1,): 1}}),
        (models.knapsack, {}),
    ],
)
def test_cqm_decoder_and_dict_to_record_write_the_same_record(model, fixed):
    compiled = compile_model(*model(), fixed)
    builder = transpile_dimod_bridge_cqm(compiled)
    samples, labels = random_samples(builder.get_model(), 6, seed=len(fixed))
    decoded = builder.decode_from_cqm_result(dimod.SampleSet.from_samples_cqm((samples, labels), builder.get_model()))

    registry = compiled.var_map.var_map
    by_index = [{registry[label][subs]: int(v) for (label, subs), v in zip(labels, row)} for row in samples]
    written = dict_to_record(by_index, compiled)

    assert decoded.record.num_occurrences == written.num_occurrences == [1] * len(samples)
    assert list(decoded.record.solution) == list(compiled.deci_var_shape)
    assert compiled.data.fixed_variables or not fixed
    for label, entries in decoded.record.solution.items():
        # the caller's fixed values and the pinned ones
        expected_tail = [(s, v) for s, v in (compiled.data.fixed_variables or {}).get(label, {}).items() if v != 0]
        tail = len(expected_tail)
        assert len(entries) == len(written.solution[label]) == len(samples)
        for got, want in zip(entries, written.solution[label]):
            assert split(got, tail) == split(want, tail)
            assert split(got, tail)[1] == expected_tail
