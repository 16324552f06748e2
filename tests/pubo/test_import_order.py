"""The binary-lowering modules import in any order: no import circle, so none hides inside a
function."""

import os
import subprocess
import sys

import pytest

PUBO = "quillon_transpiler.core.pubo."
MODULES = [PUBO + "binarize", PUBO + "_binary", PUBO + "tree_flatten"]


@pytest.mark.parametrize(
    "first, not_loaded",
    [
        (PUBO + "int_encoder", [PUBO + "binarize", PUBO + "tree_flatten"]),
        ("quillon_transpiler.core.substitute.higher_subsititute", [PUBO + "binarize", PUBO + "tree_flatten"]),
        (PUBO + "binarize", [PUBO + "tree_flatten"]),
        (PUBO + "tree_flatten", [PUBO + "binarize"]),
        (PUBO + "route", [PUBO + "tree_flatten"]),
    ],
)
def test_modules_import_first_without_the_modules_above_them(first, not_loaded):
    # a circle would fail here for one of the orders, or pull in a module that imports this one
    code = f"import sys, {first}; print([m for m in {not_loaded!r} if m in sys.modules])"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"
