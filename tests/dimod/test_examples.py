"""The examples run end to end: model -> solve -> decoded solution, feasible, and their pictures."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("dimod")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run(*args, prelude=None):
    script = [str(EXAMPLES / args[0])]
    if prelude is not None:  # run in an interpreter set up first by `prelude`
        script = [
            "-c",
            f"{prelude}; import runpy, sys; sys.path.insert(0, {str(EXAMPLES)!r}); "
            f"sys.argv = {[args[0], *args[1:]]!r}; runpy.run_path({script[0]!r}, run_name='__main__')",
        ]
    done = subprocess.run(
        [sys.executable, *script, *([] if prelude else args[1:])], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quickstart_finds_the_optimal_assignment():
    out = run("quickstart.py")
    assert "every constraint holds" in out
    cost = re.search(r"total cost (\S+)", out).group(1)
    assert re.search(r"optimum by trying every permutation: (\S+)", out).group(1) == cost
    assert len(re.findall(r"worker \d -> task \d", out)) == 4


@pytest.mark.parametrize("sampler", ["auto", "cqm"])
def test_tsp_route_is_the_shortest(sampler, tmp_path):
    out = run("tsp.py", "--sampler", sampler, "--pictures", str(tmp_path))
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
def test_knapsack(args, feasible, tmp_path):
    out = run("knapsack.py", *args, "--pictures", str(tmp_path))
    packed, limit = map(float, re.search(r"items: (\S+) kg of (\S+) kg", out).groups())
    if feasible:
        assert packed <= limit and "every constraint holds" in out


@pytest.mark.parametrize(
    "example, pictures",
    [("tsp.py", ["tsp_tour", "tsp_energies"]), ("knapsack.py", ["knapsack_packing", "knapsack_energies"])],
)
def test_pictures_are_written_and_said_where(example, pictures, tmp_path):
    pytest.importorskip("matplotlib")
    out = run(example, "--pictures", str(tmp_path))
    for name in pictures:
        path = tmp_path / f"{name}.png"
        assert f"wrote {path}" in out
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_pictures_are_skipped_without_matplotlib(tmp_path):
    out = run("knapsack.py", "10", "--pictures", str(tmp_path), prelude="import sys; sys.modules['matplotlib'] = None")
    assert "pictures skipped: matplotlib is not installed (pip install 'quillon_transpiler[plot]')" in out
    assert "every constraint holds" in out and not list(tmp_path.iterdir())
