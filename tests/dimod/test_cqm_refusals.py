"""What the CQM routes refuse or repair: models handed out and then changed under a caller,
and weights."""

import math
import re
import subprocess
import sys
import textwrap

import pytest

dimod = pytest.importorskip("dimod")

import models  # noqa: E402
from dimod_helpers import assert_same_model, reference_cqm  # noqa: E402

from quillon_transpiler.core.compile.compile import compile_model  # noqa: E402
from quillon_transpiler.core.dimod.dimod_bridge import transpile_dimod_bridge_cqm  # noqa: E402

# ---------------------------------------------------------------------------------------------
# models handed out are never changed

PREAMBLE = """
import threading
import quillon as ql
from quillon_transpiler import to_cqm
n = ql.Placeholder("n"); x = ql.BinaryVar("x", shape=(n,)); i = ql.Element("i", n); j = ql.Element("j", n)
p = ql.Problem("p"); p += ql.sum(i, ql.sum(j, x[i] * x[j]))
p += ql.Constraint("c", ql.sum(i, x[i]) == 2)
p += ql.CustomPenaltyTerm("pen", ql.sum(i, x[i]))
b = to_cqm(p, {"n": 30}, progress=False)
"""

SEQUENCE = """
it = iter(b.get_model({"pen": 1.0}).objective.quadratic.items())
next(it)
b.get_model({"pen": 2.0})
assert sum(v for _, v in it) == 868.0
"""

THREADS = """
model = b.get_model({"pen": 1.0})
want = sum(model.objective.quadratic.values())
def build():
    for k in range(40):
        b.get_model({"pen": float(k)})
def read():
    for _ in range(40):
        assert sum(v for _, v in model.objective.quadratic.items()) == want
        assert len(model.constraints) == 1
workers = [threading.Thread(target=build), threading.Thread(target=build), threading.Thread(target=read)]
for w in workers: w.start()
for w in workers: w.join()
"""


@pytest.mark.parametrize("script", [SEQUENCE, THREADS], ids=["sequence", "threads"])
def test_get_model_never_frees_a_model_in_use(script):
    # a crash would take the test run with it: run in a child interpreter
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(PREAMBLE + script)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_each_get_model_is_a_new_model_and_earlier_ones_keep_their_objective():
    compiled = compile_model(*models.knapsack())
    builder = transpile_dimod_bridge_cqm(compiled)
    weighted = builder.get_model({"first two": 2.0})
    plain = builder.get_model()
    assert plain is not weighted and builder._model is plain
    assert_same_model(weighted.objective, reference_cqm(compiled, {"first two": 2.0}).objective)
    assert_same_model(plain.objective, reference_cqm(compiled).objective)
    assert list(weighted.constraints) == list(plain.constraints) == ["weight_()", "pair_(0,)", "pair_(1,)", "pair_(2,)"]


# ---------------------------------------------------------------------------------------------
# weights


@pytest.mark.parametrize(
    "weight, error, message",
    [
        ("2", TypeError, "must be a number, got str"),
        (None, TypeError, "must be a number, got NoneType"),
        (math.nan, ValueError, "is nan: a weight must be finite"),
        (math.inf, ValueError, "is inf: a weight must be finite"),
        (-0.5, ValueError, "is -0.5: a negative weight rewards violations"),
    ],
)
def test_penalty_weights_must_be_finite_non_negative_numbers(weight, error, message):
    builder = transpile_dimod_bridge_cqm(compile_model(*models.knapsack()))
    kept = builder.get_model({"first two": 1.0})
    with pytest.raises(error, match="the weight of custom penalty `first two` " + re.escape(message)):
        builder.get_model({"first two": weight})
    assert builder._model is kept  # a refused call leaves the builder as it was
    with pytest.raises(KeyError):
        builder.get_model({"no such penalty": weight})
