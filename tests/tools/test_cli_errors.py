"""quorvane probe and find on bad input and failures: one line, the right status, nothing written."""

import errno
import importlib.util
import os
import stat
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

from quorvane_tools.cli import main

from cliutil import cli as _cli, disc_png, kind as _kind, run  # noqa: F401 (fixtures)

# ----------------------------------------------------------------------------
# bad input: one line, status 2, nothing written


BAD = {  # command line (DIR: an empty folder, DISC: the disc picture), words of the message
    "missing file": ("find DIR/nope.png --box 1 1 5 5", "no such file"),
    "not a picture": ("find DIR/notes.png --box 1 1 5 5", "not a picture"),
    "a folder": ("find DIR --box 1 1 5 5", "folder"),
    "box outside": ("find DISC --box 300 10 20 20", "outside"),
    "box without area": ("probe DISC --box 10 10 0 20", "no area"),
    "selects nothing": ("find DISC --hue 2 2.2 --chroma 0.8 0.9 --intensity 0.1 0.2", "selects no"),
    "radius too big": ("find DISC --box 90 80 20 20 --radius 300 400", "radius"),
    "chroma without hue": ("find DISC --chroma 0.1 0.9 --intensity 0 1", "--intensity I1 I2 alone"),
    "outside alone": ("find DISC --outside 1 1 5 5", "--outside goes with --box"),
    "reversed hue": ("find DISC --hue 0.5 -0.5 --chroma 0.1 0.9 --intensity 0.1 0.9", "H1 < H2"),
    "missing folder": ("find DISC --box 90 80 20 20 --json DIR/no/x.json", "does not exist"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_input_is_one_line_and_status_2(capsys, tmp_path, disc_png, case):
    (tmp_path / "notes.png").write_text("not a picture\n")
    line, words = BAD[case]
    argv = line.replace("DISC", disc_png).replace("DIR", str(tmp_path)).split()
    if argv[0] == "find":
        argv += ["--fit", "circle", "--out", tmp_path / "out.png"]
        argv += ["--json", tmp_path / "out.json"] * ("--json" not in argv)
    before = set(tmp_path.iterdir())
    rc, out, err = run(capsys, *argv)
    assert rc == 2 and err.startswith("quorvane: error: ") and err.count("\n") == 1 and words in err, err
    assert "Traceback" not in err + out and set(tmp_path.iterdir()) == before
    assert case != "selects nothing" or "quorvane probe" in err


def test_probe_on_grey_says_grey_cannot_be_selected(capsys, tmp_path):
    img = np.full((100, 120, 3), 128, np.uint8)
    img[30:60, 40:80] = 200
    path = tmp_path / "grey.npy"
    np.save(path, img)
    rc, out, _ = run(capsys, "probe", path, "--box", 45, 35, 10, 10)
    assert rc == 0 and "0.0% of the box" in out
    assert "several colours" not in out and "grey" in out


@pytest.mark.parametrize("argv", [
    [], ["find"], ["find", "x.png", "--box", 1, 2, 3, 4],               # nothing to fit
    ["find", "x.png", "--box", 1, 2, 3, "--fit", "circle"],              # short box
    ["find", "x.png", "--box", 1, 2, 3, 4, "--fit", "triangle"],
    ["probe", "x.png"], ["find", "x.png", "--fit", "circle", "--seed", "one"],
])
def test_usage_errors_exit_2(capsys, argv):
    with pytest.raises(SystemExit) as e:
        main([str(a) for a in argv])
    assert e.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("quorvane: error: ") and err.count("\n") == 1 and "--help" in err, err


def test_module_entry_point_help():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-m", "quorvane_tools", "--help"], capture_output=True,
                          text=True, env=env, timeout=120)
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout.startswith("usage: quorvane") and "probe" in done.stdout and "find" in done.stdout


# ----------------------------------------------------------------------------
# every failure: one line, the right status, nothing written


def _png_header(path, w, h):
    """A PNG that declares w x h pixels and holds none (a decompression bomb's header)."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(b"")) + chunk(b"IEND", b""))
    return path


FIND = "find DISC --box 90 80 20 20 --fit circle"
CATALOGUE = {  # command line (DISC, BOMB, STRIP, LOOP, FIFO, DEVICE, DIR: made in the test), words
    "count of 2^31": (FIND + " --count 2147483648", "--count"),
    "delta of 2^31": (FIND + " --delta 2147483648", "--delta"),
    "radius of 2^31": (FIND + " --radius 10 2147483648", "--radius"),
    "seed of 2^32": (FIND + " --seed 4294967296", "--seed"),
    "box of 2^31": ("probe DISC --box 0 0 2147483648 10", "--box"),
    "nan hue": ("find DISC --hue nan 1 --chroma 0 1 --intensity 0 1 --fit line", "finite"),
    "bomb to find": (FIND.replace("DISC", "BOMB"), "more than the limit"),
    "bomb to probe": ("probe BOMB --box 1 1 5 5", "more than the limit"),
    "bomb to tune": ("tune BOMB --no-browser", "more than the limit"),
    "thin strip past --max-pixels": ("probe STRIP --box 0 0 100 1 --max-pixels 5000", "more than the limit"),
    "tune past --max-pixels": ("tune DISC --no-browser --max-pixels 100", "more than the limit"),
    "symlink loop as --out": (FIND + " --out LOOP", "loop"),
    "fifo as --json": (FIND + " --json FIFO", "pipe"),
    "device as --out": (FIND + " --out DEVICE", "device"),
    "folder as --json": (FIND + " --json DIR", "folder"),
    "no command": ("", "required"),
    "video count of 2^31": ("video DIR/v.mp4 --box 1 1 5 5 --fit circle --count 2147483648", "--count"),
}


@pytest.fixture(scope="module")
def catalogue_dir(tmp_path_factory, disc_png):
    d = tmp_path_factory.mktemp("catalogue")
    _png_header(d / "bomb.png", 20000, 20000)
    np.save(d / "strip.npy", np.zeros((1, 10000, 3), np.uint8))
    (d / "loop").symlink_to("loop2")
    (d / "loop2").symlink_to("loop")
    os.mkfifo(d / "fifo")
    (d / "dir").mkdir()
    device = "/dev/null"
    if os.geteuid() == 0:
        device = d / "null"
        os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    names = dict(DISC=disc_png, BOMB=d / "bomb.png", STRIP=d / "strip.npy", LOOP=d / "loop",
                 FIFO=d / "fifo", DEVICE=device, DIR=d / "dir")
    return d, names


def _argv(line, names):
    return [str(names.get(w, w)) for w in line.split()]


def test_catalogue_of_bad_input(catalogue_dir):
    """Each case as a command run by a user: status 2, one line, no traceback, nothing new."""
    d, names = catalogue_dir
    cases = {k: v for k, v in CATALOGUE.items() if not k.startswith("video") or importlib.util.find_spec("av")}
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    before = {p.name: _kind(p) for p in d.iterdir()}
    procs = {}
    for case, (line, _) in cases.items():  # all at once: the interpreters start in parallel
        procs[case] = subprocess.Popen([sys.executable, "-m", "quorvane_tools", *_argv(line, names)],
                                       cwd=d, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    failed = []
    for case, proc in procs.items():
        try:
            out, err = proc.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        ok = (proc.returncode == 2 and err.startswith("quorvane: error: ") and err.count("\n") == 1
              and cases[case][1] in err and "Traceback" not in err + out)
        if not ok:
            failed.append((case, proc.returncode, err[-300:]))
    assert failed == []
    assert {p.name: _kind(p) for p in d.iterdir()} == before


def test_closed_standard_output_ends_quietly(disc_png):
    read, write = os.pipe()
    os.close(read)   # the reader is gone before the first byte
    try:
        done = _cli("find", disc_png, "--box", 90, 80, 20, 20, "--fit", "circle",
                    stdout=write, stderr=subprocess.PIPE, text=True)
    finally:
        os.close(write)
    assert done.returncode == 141 and done.stderr == ""


@pytest.mark.parametrize("fault, status, words", [
    (MemoryError(), 1, "out of memory"),
    (KeyboardInterrupt(), 130, "interrupted"),
    (OSError(errno.EIO, "Input/output error"), 1, "Input/output error"),
    (ZeroDivisionError("oops"), 1, "internal error: ZeroDivisionError: oops"),
])
def test_failures_after_the_input_are_one_line(capsys, monkeypatch, tmp_path, disc_png, fault, status, words):
    import quorvane_tools.cli.find as command

    def fail(*a, **k):
        raise fault

    monkeypatch.setattr(command, "find_shapes", fail)
    rc, out, err = run(capsys, "find", disc_png, "--box", 90, 80, 20, 20, "--fit", "circle",
                       "--json", tmp_path / "x.json")
    assert rc == status and err.startswith(f"quorvane: error: {words}") and err.count("\n") == 1
    assert list(tmp_path.iterdir()) == []


def test_disk_full_while_writing_is_status_1_and_leaves_nothing(capsys, monkeypatch, tmp_path, disc_png):
    def full(*a, **k):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(os, "replace", full)
    rc, out, err = run(capsys, "find", disc_png, "--box", 90, 80, 20, 20, "--fit", "circle",
                       "--json", tmp_path / "x.json", "--out", tmp_path / "x.png")
    assert rc == 1 and err.startswith("quorvane: error: cannot write ") and "No space left" in err
    assert err.count("\n") == 1 and list(tmp_path.iterdir()) == []


