"""Module import: one module per process, one interpreter, no re-seeding."""

import ctypes
import importlib
import subprocess
import sys
import textwrap

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
