"""Prints the requirements that pyproject.toml lists under the given names, one per line, for
`pip install -r /dev/stdin` in scripts that need them without installing the package itself.

usage: python scripts/requirements.py [build] [runtime] [EXTRA ...]
  build: the build-system requirements; runtime: the package's dependencies; else an extra.
"""

import os
import sys

try:
    import tomllib
except ImportError:  # before 3.11: the TOML reader pip carries
    from pip._vendor import tomli as tomllib

with open(os.path.join(os.path.dirname(__file__), "..", "pyproject.toml"), "rb") as f:
    config = tomllib.load(f)
for name in sys.argv[1:]:
    if name == "build":
        lines = config["build-system"]["requires"]
    elif name == "runtime":
        lines = config["project"]["dependencies"]
    else:
        lines = config["project"]["optional-dependencies"][name]
    print("\n".join(lines))
