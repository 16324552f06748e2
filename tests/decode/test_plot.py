"""plot.energies: the histogram counts each sample as often as it occurred, on the side of
feasibility that SampleSet.feasible puts it, and is written as a PNG."""

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

import quillon as ql  # noqa: E402
from quillon_transpiler import plot  # noqa: E402


def sampleset(encoding):
    # samples: feasible, broken constraint, within tolerance, broken code (when encoding is given)
    record = ql.Record({"x": [(((0,),), [1], (2,))] * 4}, [3, 2, 5, 7])
    evaluation = ql.Evaluation(
        [-2.0, -2.0, 1.0, 4.0],
        [0.0] * 4,
        {"c": [0.0, 1.5, 1e-12, 0.0], "d": [0.0, 0.0, 0.0, 0.0]},
        None if encoding is None else {"y": encoding},
    )
    return ql.SampleSet(record, evaluation)


@pytest.mark.parametrize("encoding, feasible", [(None, 15), ([0, 0, 0, 1], 8)])
def test_energies_counts_occurrences_by_feasibility(encoding, feasible, tmp_path):
    samples = sampleset(encoding)
    assert sum(samples.feasible().record.num_occurrences) == feasible
    path = tmp_path / "energies.png"
    ax = plot.energies(samples, path=path, bins=3)
    assert isinstance(ax, matplotlib.axes.Axes)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    green, stacked = ax.containers  # the infeasible bars stand on the feasible ones
    heights = [p.get_height() for p in green], [p.get_height() for p in stacked]
    assert sum(heights[0]) == feasible and sum(heights[0]) + sum(heights[1]) == 17
    assert heights[1][0] == 2  # the broken sample at energy -2 sits in the lowest bin
    assert ax.get_title() == f"17 samples, {feasible} feasible"


def test_energies_draws_on_a_given_axes():
    figure, (left, right) = matplotlib.pyplot.subplots(1, 2)
    assert plot.energies(sampleset(None), ax=right) is right
    assert not left.patches and right.patches
    matplotlib.pyplot.close(figure)


def test_energies_a_rounding_apart_draw_as_one_bin():
    record = ql.Record({"x": [(((0,),), [1], (2,))] * 2}, [1, 1])
    samples = ql.SampleSet(record, ql.Evaluation([0.06, float(np.nextafter(0.06, 1))], [0.0, 0.0], {}))
    ax = plot.energies(samples)
    assert sum(p.get_height() for p in ax.containers[0]) == 2
    matplotlib.pyplot.close(ax.figure)
