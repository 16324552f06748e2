"""dimod is an optional extra: only the bridge module needs it, and says how to get it."""

import subprocess
import sys

SCRIPT = """
import sys
sys.modules["dimod"] = None  # as if dimod were not installed
import quillon_transpiler.core.dimod
from quillon_transpiler.core.compile.compile import compile_model
from quillon_transpiler.core.decode.evaluate import eval_constraint
try:
    import quillon_transpiler.core.dimod.dimod_bridge
except ImportError as error:  # the module's own error, as the cause of the import's
    print(error, error.__cause__)
"""


def test_package_imports_without_dimod():
    done = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "pip install 'quillon_transpiler[dimod]'" in done.stdout


MISSING = """
import sys
sys.modules[{module!r}] = None  # as if it were not installed
import quillon_transpiler as qt
from quillon_transpiler import testing
try:
    {call}
except ImportError as error:
    print(error)
"""


def test_solve_and_plot_name_the_extra_to_install():
    calls = [
        ("dimod", "qt.solve(*testing.assignment(3))", "pip install 'quillon_transpiler[dimod]'"),
        ("dwave", "qt.solve(*testing.tsp(4))", "pip install 'quillon_transpiler[dimod]'"),  # past the exact solver
        ("matplotlib", "qt.plot.energies(None)", "pip install 'quillon_transpiler[plot]'"),
    ]
    for module, call, hint in calls:
        script = MISSING.format(module=module, call=call)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert hint in done.stdout, done.stdout
