"""Start-up: the package and the command import only what they use (no SciPy, Dask, PyAV, OpenCV
or paho-mqtt; video, live and tune only for their own commands), and what is loaded late is the
same as what was loaded at once."""

import json
import subprocess
import sys

import numpy as np
import pytest

import photos

HEAVY = ("scipy", "dask", "distributed", "av", "cv2", "paho", "selenium", "skimage")
OURS = ("quorvane_tools.video", "quorvane_tools.live", "quorvane_tools.tracks", "quorvane_tools.tune",
        "quorvane_tools.tune.server")


def imported_after(code: str) -> set:
    """The modules a fresh interpreter holds after running ``code``."""
    script = (f"import contextlib, io, json, sys\n{code}\n"
              "sys.__stdout__.write('\\n' + json.dumps(sorted(sys.modules)))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return set(json.loads(done.stdout.splitlines()[-1]))


def heavy(modules: set) -> list:
    return sorted(m for m in modules if m.split(".")[0] in HEAVY or m in OURS)


@pytest.fixture(scope="module")
def picture(tmp_path_factory):
    img = np.full((120, 160, 3), (30, 40, 60), np.uint8)
    yy, xx = np.mgrid[0:120, 0:160]
    img[(xx - 80) ** 2 + (yy - 60) ** 2 < 30**2] = (220, 40, 40)
    return str(photos.save(img, tmp_path_factory.mktemp("pic") / "disc.png"))


RUN = ("from quorvane_tools.cli import main\n"
       "with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):\n"
       "    try:\n        code = main({argv!r})\n    except SystemExit as e:\n        code = e.code\n"
       "assert code == 0, code\n")


@pytest.mark.parametrize("argv", [
    None, ["--help"], ["find", "--help"], ["probe", "--help"],
    ["find", "PIC", "--hue", "-0.5", "0.5", "--chroma", "0.3", "1", "--intensity", "0.1", "0.9", "--fit", "circle"],
    ["find", "PIC", "--box", "70", "50", "20", "20", "--fit", "circle", "--json", "-"],
    ["probe", "PIC", "--box", "70", "50", "20", "20"],
], ids=["import", "help", "find help", "probe help", "find", "find box", "probe"])
def test_nothing_heavy_is_imported(argv, picture):
    code = "import quorvane_tools" if argv is None else RUN.format(
        argv=[picture if a == "PIC" else a for a in argv])
    assert heavy(imported_after(code)) == []


@pytest.mark.parametrize("command, module", [
    ("video", "quorvane_tools.video"), ("live", "quorvane_tools.live"), ("tune", "quorvane_tools.tune")])
def test_a_command_imports_its_own_module_only(command, module):
    modules = imported_after(RUN.format(argv=[command, "--help"]))
    assert module in modules
    assert [m for m in heavy(modules) if m != module and not m.startswith(module + ".")] == []


def test_help_is_the_same_with_every_parser_built():
    from quorvane_tools import cli

    full = cli.build_parser()
    for argv in (["--help"], ["find"], ["video"], ["tune", "x.png"]):
        assert cli.build_parser(argv).format_help() == full.format_help()
    # The line each extra command shows is the one its module registers.
    sub = next(a for a in full._actions if a.dest == "command")
    lines = {a.dest: a.help for a in sub._choices_actions}
    assert {name: lines[name] for name in cli.EXTRA_COMMANDS} == cli.EXTRA_COMMANDS


@pytest.mark.parametrize("argv, command", [
    ([], None), (["--help"], None), (["video", "x.mp4", "--json", "-"], "video"),
    (["--", "live", "0"], "live"), (["-h", "tune"], "tune")])
def test_command_named_by_the_arguments(argv, command):
    from quorvane_tools.cli import _command_of

    assert _command_of(argv) == command


def test_public_names_load_on_first_use():
    import importlib

    import quorvane_tools as qt

    for name in qt.__all__:
        module = importlib.import_module(qt._WHERE[name], "quorvane_tools")
        assert getattr(qt, name) is getattr(module, name)
    assert set(qt.__all__) <= set(dir(qt))
    assert qt.video is importlib.import_module("quorvane_tools.video")
    from quorvane_tools import track_video, Tracker  # noqa: F401  (from-imports go the same way)

    with pytest.raises(AttributeError, match="no attribute 'nothing_here'"):
        qt.nothing_here  # noqa: B018


def test_live_stays_the_function_once_its_module_is_imported():
    import importlib

    import quorvane_tools as qt

    module = importlib.import_module("quorvane_tools.live")  # binds the module to the package
    assert qt.live is module.live and callable(qt.live)
    from quorvane_tools import live

    assert live is module.live


def test_the_package_pickles_by_name():
    import pickle

    import quorvane_tools as qt

    assert pickle.loads(pickle.dumps(qt)) is qt
    cloudpickle = pytest.importorskip("cloudpickle")  # as Dask sends a function that uses it
    f = pickle.loads(cloudpickle.dumps(lambda: qt.frame_seed(1, 2)))
    assert f() == qt.frame_seed(1, 2)
