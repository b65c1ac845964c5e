"""Prints the requirements that pyproject.toml lists for the named groups, for
pip install: "build" (the build system), "run" (the run-time dependencies) and
the names of optional extras.

    python tools/requirements.py build test examples
"""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())
groups = {"build": project["build-system"]["requires"], "run": project["project"]["dependencies"]}
groups.update(project["project"]["optional-dependencies"])
print(" ".join(requirement for name in sys.argv[1:] for requirement in groups[name]))
