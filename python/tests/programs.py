"""Where the tests find the build under test: the package tsrecon as
PYTHONPATH gives it, the programs beside its extension (a build tree holds
build/python/tsrecon/_tsrecon*.so and build/tsrecon), else on PATH, and the
launchers of this source tree."""

import os
import shutil

import tsrecon._tsrecon

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(tsrecon._tsrecon.__file__))))


def program(name):
    """The path of the program `name` (tsrecon, tsrecon-gen, ...) of the build under test."""
    beside = os.path.join(BUILD, name)
    if os.access(beside, os.X_OK):
        return beside
    found = shutil.which(name)
    if found is None:
        raise FileNotFoundError(f'{name} is neither in {BUILD} (beside {tsrecon._tsrecon.__file__}) nor on PATH')
    return found


def launcher(name):
    """The path of a launcher of scripts/ (tsrecon-import, tsrecon-export)."""
    return os.path.join(ROOT, 'scripts', name)
