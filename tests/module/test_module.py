"""Module import: one module per process, one interpreter, no re-seeding; the
module's state, its garbage-collected functions and its exported symbols."""

import ctypes
import importlib
import subprocess
import sys
import textwrap

import pytest

import quorvane as q

libc = ctypes.CDLL(None)


def run(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def test_reimport_does_not_reseed():
    libc.srand(1234)
    first = libc.rand()
    libc.srand(1234)
    sys.modules.pop("quorvane")
    again = importlib.import_module("quorvane")
    importlib.reload(again)
    assert again is q
    assert libc.rand() == first


def test_import_seeds_once_and_warns_nothing():
    out = run("""
        import warnings
        warnings.simplefilter("error")
        import ctypes
        libc = ctypes.CDLL(None)
        libc.srand(99)
        import quorvane
        a = libc.rand()
        libc.srand(99)
        print(a != libc.rand())
    """)
    assert out == "True"


def test_failed_import_leaves_nothing_behind():
    out = run("""
        import sys
        sys.modules["numpy"] = None
        try:
            import quorvane
        except ImportError as e:
            print("refused")
        del sys.modules["numpy"]
        sys.modules.pop("quorvane", None)
        import quorvane
        print(quorvane.np.__name__, callable(quorvane.ransac_line))
    """)
    assert out.splitlines() == ["refused", "numpy True"]


def test_second_interpreter_is_refused():
    out = run("""
        import sys
        import quorvane
        try:
            import _xxsubinterpreters as si
        except ImportError:
            import _interpreters as si
        try:
            interp = si.create(isolated=False)
        except TypeError:
            interp = si.create("legacy")
        code = "try:\\n import quorvane\\nexcept ImportError as e:\\n raise SystemExit(str(e))\\n"
        try:
            si.run_string(interp, code)
        except Exception as e:
            print(e)
        else:
            r = si.run_string(interp, code)
            print(r)
    """)
    assert ("Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.") in out


def test_functions_work_after_a_second_import():
    # The loader gives the re-created module a fresh state block; the
    # functions must still find their state (NumPy-level and C++ bodies).
    out = run("""
        import importlib, sys
        import numpy as np
        import quorvane
        sys.modules.pop("quorvane")
        again = importlib.import_module("quorvane")
        importlib.reload(again)
        b = again.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))
        m = again.mask_image(np.full((2, 2, 3), (200, 100, 100), np.uint8), b)
        print(again is quorvane, b.i, m.tolist(), again.ransac_circle(None, 1, 1, 1, 1))
    """)
    assert out == "True (6554, 58982) [[1, 1], [1, 1]] {'x': 0, 'y': 0, 'r': 0}"


def test_functions_are_garbage_collected():
    import gc

    assert gc.is_tracked(q.mask_image)
    # A cycle through a function's annotations dict is collected.
    out = run("""
        import gc, quorvane
        f = quorvane.ransac_line
        del quorvane.ransac_line
        f.__annotations__["self"] = f
        del f
        before = sum(1 for o in gc.get_objects() if type(o) is type(quorvane.mask_image))
        gc.collect()
        after = sum(1 for o in gc.get_objects() if type(o) is type(quorvane.mask_image))
        print(before - after)
    """)
    assert out == "1"


def test_only_the_init_function_is_exported():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    proc = subprocess.run([nm, "-D", "--defined-only", q.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in proc.stdout.splitlines()] == ["PyInit_quorvane"]
