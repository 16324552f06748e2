"""The examples run end to end: model -> CQM -> solver -> decoded solution, feasible."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("dimod")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run(*args):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / args[0]), *args[1:]], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quickstart_finds_the_optimal_assignment():
    out = run("quickstart.py")
    assert "every constraint holds" in out
    cost = re.search(r"total cost (\S+)", out).group(1)
    assert re.search(r"optimum by trying every permutation: (\S+)", out).group(1) == cost
    assert len(re.findall(r"worker \d -> task \d", out)) == 4


def test_tsp_exact_route_is_the_shortest():
    out = run("tsp.py")
    length = re.search(r"objective \(tour length\): (\S+)", out).group(1)
    assert re.search(r"shortest tour by trying every permutation: (\S+)", out).group(1) == length
    assert re.search(r"route: (\d) -> \d -> \d -> \d -> \1", out)


@pytest.mark.parametrize(
    "args, feasible",
    [
        (["10"], True),
        (["24", "--sampler", "sa", "--reads", "16"], True),  # seeded
        (["12", "--sampler", "tabu", "--reads", "2"], False),  # time-limited, so not reproducible
    ],
)
def test_knapsack(args, feasible):
    out = run("knapsack.py", *args)
    packed, limit = map(float, re.search(r"items: (\S+) kg of (\S+) kg", out).groups())
    if feasible:
        assert packed <= limit and "every constraint holds" in out
