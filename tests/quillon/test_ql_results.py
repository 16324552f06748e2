import numpy as np
import pytest

import quillon as ql


@pytest.mark.parametrize(
    "sparse, expected",
    [
        ((([0, 1], [2, 0]), [1, 1], (2, 3)), [[0, 0, 1], [1, 0, 0]]),
        ((([1],), [2.5], (3,)), [0.0, 2.5, 0.0]),
        (((), [7], ()), 7),
        (((), [], ()), 0),
    ],
)
def test_to_dense(sparse, expected):
    dense = ql.to_dense(sparse)
    np.testing.assert_array_equal(dense, np.array(expected))
    assert dense.shape == np.shape(expected)


@pytest.mark.parametrize(
    "sparse",
    [
        (([0],), [1], (2, 2)),
        (([0, 1],), [1], (2,)),
        ((), [1, 2], ()),
        (([-1],), [1], (3,)),  # not x[2]: a value fixed outside the shape
        (([0, 1], [1, 3]), [1, 1], (2, 3)),
    ],
)
def test_to_dense_refuses_inconsistent_triples(sparse):
    with pytest.raises(ValueError):
        ql.to_dense(sparse)


def make_sample_set():
    sol = [(([k],), [1], (4,)) for k in range(4)]
    return ql.SampleSet(
        ql.Record({"x": sol}, [1, 2, 3, 4]),
        ql.Evaluation(
            [1.5, 1.0, 1.0, 0.0], [1.5, 1.0, 1.0, 0.0], {"a": [0.0, 0.0, 0.0, 2.0], "b": [0.0, 1e-12, 0.0, 0.0]}
        ),
    )


def test_filters_keep_every_field_aligned():
    samples = make_sample_set()
    assert samples.measuring_time == ql.MeasuringTime(None, None, None)
    feasible = samples.feasible()
    assert feasible.record.num_occurrences == [1, 2, 3]
    assert feasible.evaluation.constraint_violations["a"] == [0.0] * 3
    lowest = feasible.lowest()
    assert lowest.evaluation.energy == [1.0, 1.0] and len(lowest) == 2
    assert lowest.dense("x", 1).tolist() == [0, 0, 1, 0]
    assert len(samples.feasible().take([]).lowest()) == 0
    assert len(samples.feasible(tolerance=0.0)) == 2


def test_a_sample_with_a_broken_encoding_is_infeasible():
    samples = make_sample_set()
    samples.evaluation.encoding_violations = {"x": [0, 2, 0, 0]}
    feasible = samples.feasible()
    assert feasible.record.num_occurrences == [1, 3]
    assert feasible.evaluation.encoding_violations == {"x": [0, 0]}
    assert feasible.lowest().evaluation.encoding_violations == {"x": [0]}


@pytest.mark.parametrize("at", [0, 1, 2])
def test_a_nan_energy_is_never_the_lowest(at):
    energy = [1.0, 0.5, 0.75]
    energy.insert(at, float("nan"))
    samples = ql.SampleSet(ql.Record({}, [1] * 4), ql.Evaluation(energy, list(energy)))
    assert samples.lowest().evaluation.energy == [0.5]
