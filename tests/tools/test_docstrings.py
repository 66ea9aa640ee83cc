"""The Examples of the public docstrings run as they are written."""

import ctypes
import doctest
import importlib

import pytest

import quorvane_tools as qt

# The public names of the library (the video and live packages document their own) and the
# modules that define them.
NAMES = [name for name in qt.__all__ if qt._WHERE[name] not in (".video", ".live")]
MODULES = sorted({getattr(qt, name).__module__ for name in NAMES if hasattr(getattr(qt, name), "__module__")})
OPTIONS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def _examples(module):
    finder = doctest.DocTestFinder(exclude_empty=True)
    return [t for t in finder.find(module) if t.examples]


@pytest.mark.parametrize("name", MODULES)
def test_examples_run(name):
    module = importlib.import_module(name)
    runner = doctest.DocTestRunner(optionflags=OPTIONS)
    for test in _examples(module):
        ctypes.CDLL(None).srand(1)   # the fitters draw from the C library's generator
        runner.run(test)
    assert runner.failures == 0, f"{runner.failures} of {runner.tries} examples in {name} failed"


def test_every_public_name_has_examples():
    objects = {name: getattr(qt, name) for name in NAMES}
    missing = [name for name, obj in objects.items() if callable(obj) and ">>>" not in (obj.__doc__ or "")]
    assert missing == []
