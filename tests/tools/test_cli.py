"""The quorvane command: probe, find, their outputs, bad input, and real photographs."""

import errno
import importlib.util
import io
import json
import math
import os
import shlex
import stat
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

from quorvane_tools.cli import main
from quorvane_tools.shapes import ellipse_axes, line_angle

import photos

YY, XX = np.mgrid[0:200, 0:240]


@pytest.fixture(scope="module")
def disc_png(tmp_path_factory):
    """A red disc (centre (100, 90), radius 50) on a dark blue-grey picture of 240 x 200."""
    img = np.empty((200, 240, 3), np.uint8)
    img[:] = (30, 40, 60)
    img[(XX - 100) ** 2 + (YY - 90) ** 2 < 50 ** 2] = (220, 40, 40)
    return photos.save(img, tmp_path_factory.mktemp("pics") / "disc.png")


@pytest.fixture(scope="module")
def skimage_data():
    pytest.importorskip("cv2")
    return pytest.importorskip("skimage.data")


def run(capsys, *argv):
    rc = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return rc, out, err


def find_json(capsys, tmp_path, *argv):
    path = tmp_path / "found.json"
    rc, out, err = run(capsys, "find", *argv, "--json", path)
    assert rc == 0 and err == ""
    return json.loads(path.read_text()), out


# ----------------------------------------------------------------------------
# probe, find and their outputs


def test_probe_then_find(capsys, tmp_path, disc_png):
    rc, out, err = run(capsys, "probe", disc_png, "--box", 90, 80, 20, 20)
    assert rc == 0 and err == "" and "100.0% of the box" in out
    flags = out.splitlines()[-1]
    assert flags.startswith("--hue ") and " --chroma " in flags and " --intensity " in flags
    _, out, _ = run(capsys, "probe", disc_png, "--box", 90, 80, 20, 20, "--outside", 0, 0, 240, 30)
    assert "0.0% of the outside box" in out and out.splitlines()[-1] == flags
    fits = ("--fit", "circle", "--fit", "ellipse")
    # The flags with the box name the same object as the box alone; the flags alone search the
    # whole picture, where the disc is the only thing of its colour.
    pasted, _ = find_json(capsys, tmp_path, disc_png, "--box", 90, 80, 20, 20, *shlex.split(flags), *fits)
    boxed, out = find_json(capsys, tmp_path, disc_png, "--box", 90, 80, 20, 20, *fits)
    alone, _ = find_json(capsys, tmp_path, disc_png, *shlex.split(flags), *fits)
    assert pasted["shapes"] == boxed["shapes"] and f"wrote {tmp_path / 'found.json'}" in out
    assert alone["shapes"][0]["model"] == boxed["shapes"][0]["model"]   # the same fitter's circle
    assert set(boxed) == {"image", "window", "count", "shapes"} and boxed["image"] == disc_png
    assert set(boxed["window"]) == {"hue", "chroma", "intensity"} and boxed["count"] == 1
    assert all(len(v) == 2 and v[0] < v[1] for v in boxed["window"].values())
    (circle,) = boxed["shapes"]   # no second shape inside the first
    assert set(circle) == {"shape", "x", "y", "r", "inliers", "warning", "model", "refined"}
    assert circle["warning"] is None and isinstance(circle["inliers"], int) and circle["inliers"] > 100
    assert abs(circle["x"] - 100) <= 0.5 and abs(circle["y"] - 90) <= 0.5 and abs(circle["r"] - 50) <= 1


def test_table_columns_line_up(capsys, disc_png):
    rc, out, _ = run(capsys, "find", disc_png, "--box", 90, 80, 20, 20, "--radius", 10, 49,
                     "--fit", "circle", "--fit", "line2", "--fit", "ellipse", "--fit", "line")
    assert rc == 0
    lines = out.splitlines()
    head = next(k for k, line in enumerate(lines) if line.startswith("#"))
    header, rows = lines[head], lines[head + 1:head + 5]
    start = {name: header.index(name) for name in ("shape", "where", "note")}
    end = header.index("inliers") + len("inliers")   # a right-aligned column
    for k, (row, kind) in enumerate(zip(rows, ("circle", "line2", "ellipse", "line")), 1):
        assert row.startswith(str(k)) and row[start["shape"]:].startswith(kind + " "), row
        assert row[start["where"] - 1] == " " != row[start["where"]], row
        assert row[end - 1] != " " and row[end:end + 1] in ("", " "), row
    assert rows[0][start["note"]:].startswith("at the radius limit")
    assert rows[1][start["where"]:].startswith("not found")
    assert lines[-1].startswith("times (ms):")


def test_out_writes_a_picture_of_the_same_size(capsys, tmp_path, disc_png):
    from PIL import Image

    out = tmp_path / "found.png"
    rc, text, _ = run(capsys, "find", disc_png, "--box", 90, 80, 20, 20, "--fit", "circle", "--out", out)
    assert rc == 0 and f"wrote {out}" in text
    with Image.open(out) as pic:
        assert pic.format == "PNG" and pic.size == (240, 200) and pic.mode == "RGB"
        drawn = np.asarray(pic)
    with Image.open(disc_png) as src:
        assert not np.array_equal(drawn, np.asarray(src))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["found.png"]   # no temporary left


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
# real photographs


def _angle_apart(a, b):
    return abs((a - b + 90) % 180 - 90)


@pytest.fixture(scope="module")
def coffee(skimage_data, tmp_path_factory):
    img = skimage_data.coffee()
    return img, photos.save(img, tmp_path_factory.mktemp("pics") / "coffee.png")


def _check_crema(ellipse, reference):
    (rx, ry), axes, _ = reference
    x, y, major, minor, _ = ellipse_axes(ellipse)
    assert math.hypot(x - rx, y - ry) <= 6, (x, y, reference)
    assert abs(minor - axes[0]) <= 8 and abs(major - axes[1]) <= 8, (minor, major, reference)


def test_crema_from_a_box(capsys, tmp_path, coffee):
    img, path = coffee
    record, _ = find_json(capsys, tmp_path, path, "--box", 250, 120, 70, 40,
                          "--fit", "ellipse", "--radius", 20, 150)
    (shape,) = record["shapes"]
    assert shape["warning"] is None
    _check_crema(shape, photos.crema_ellipse(img))


def test_crema_from_the_probes_flags(capsys, tmp_path, coffee):
    img, path = coffee
    _, out, _ = run(capsys, "probe", path, "--box", 250, 120, 70, 40)
    flags = shlex.split(out.splitlines()[-1])
    boxed, _ = find_json(capsys, tmp_path, path, "--box", 250, 120, 70, 40, "--fit", "ellipse", "--radius", 20, 150)
    record, _ = find_json(capsys, tmp_path, path, "--box", 250, 120, 70, 40, *flags,
                          "--fit", "ellipse", "--radius", 20, 150)
    assert record["shapes"] == boxed["shapes"]   # the flags give the box's window: the same shape
    _check_crema(record["shapes"][0], photos.crema_ellipse(img))
    alone, _ = find_json(capsys, tmp_path, path, *flags, "--fit", "ellipse", "--radius", 20, 150)
    _check_crema(alone["shapes"][0], photos.crema_ellipse(img))   # the crema stands out of its colour


@pytest.mark.parametrize("fits", [["line", "line"], ["line2"]])
def test_rocket_sides_from_a_box(capsys, tmp_path, skimage_data, fits):
    img = skimage_data.rocket()
    path = photos.save(img, tmp_path / "rocket.png")
    record, _ = find_json(capsys, tmp_path, path, "--box", 315, 200, 12, 150,
                          *(a for f in fits for a in ("--fit", f)))
    lines = [li for s in record["shapes"] for li in (s["lines"] if s["shape"] == "line2" else [s])]
    assert len(lines) == 2 and all(m["nx"] for m in lines)
    at_280 = sorted((m["px"] - m["ny"] * (280 - m["py"]) / m["nx"], line_angle(m)) for m in lines)
    for (x, angle), (ref_angle, ref_x) in zip(at_280, photos.rocket_sides(img)):   # left, right
        assert _angle_apart(angle, ref_angle) <= 3 and abs(x - ref_x) <= 3, (x, angle, ref_x, ref_angle)


# ----------------------------------------------------------------------------
# outputs: what may be replaced, and standard output


def _kind(path):
    st = os.lstat(path)
    return stat.S_IFMT(st.st_mode), st.st_size if stat.S_ISREG(st.st_mode) else None


def _make_target(tmp_path, kind):
    """The --json target of each kind; returns (path, the file that should get the JSON or None)."""
    t = tmp_path / "out.json"
    if kind == "regular":
        t.write_text("old\n")
        return t, t
    if kind == "missing":
        return t, t
    if kind == "symlink to a file":
        (tmp_path / "real.json").write_text("old\n")
        t.symlink_to("real.json")
        return t, tmp_path / "real.json"
    if kind == "dangling symlink":
        (tmp_path / "sub").mkdir()
        t.symlink_to("sub/new.json")
        return t, tmp_path / "sub" / "new.json"
    if kind == "symlink loop":
        t.symlink_to("loop.json")
        (tmp_path / "loop.json").symlink_to("out.json")
    elif kind == "fifo":
        os.mkfifo(t)
    elif kind == "device":
        if os.geteuid() != 0:
            return "/dev/null", None
        os.mknod(t, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    elif kind == "folder":
        t.mkdir()
    return t, None


KINDS = {  # kind: words of the refusal, or None when it is written
    "regular": None, "missing": None, "symlink to a file": None, "dangling symlink": None,
    "symlink loop": "loop of symbolic links", "fifo": "pipe (FIFO)", "device": "is a device",
    "folder": "is a folder",
}


@pytest.mark.parametrize("kind", KINDS)
def test_json_output_by_kind_of_target(capsys, tmp_path, disc_png, kind):
    target, written = _make_target(tmp_path, kind)
    before = {p.name: _kind(p) for p in tmp_path.iterdir()}
    rc, out, err = run(capsys, "find", disc_png, "--box", 90, 80, 20, 20, "--fit", "circle", "--json", target)
    after = {p.name: _kind(p) for p in tmp_path.iterdir()}
    if KINDS[kind] is not None:
        assert rc == 2 and err.count("\n") == 1 and KINDS[kind] in err and out == "", err
        assert after == before   # nothing replaced, nothing left
        return
    assert rc == 0 and err == ""
    assert json.loads(written.read_text())["shapes"][0]["shape"] == "circle"
    if kind.endswith("symlink") or kind.startswith("symlink"):
        assert target.is_symlink() and f"the file it links to: {written}" in out
    assert {n for n in after if n.endswith(".part")} == set()


def test_json_to_standard_output_moves_the_report_to_stderr(capsys, disc_png):
    rc, out, err = run(capsys, "find", disc_png, "--box", 90, 80, 20, 20, "--fit", "circle", "--json", "-")
    assert rc == 0 and json.loads(out)["shapes"][0]["shape"] == "circle"
    assert "1  circle" in err and "wrote" not in err


def _cli(*argv, **kw):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "quorvane_tools", *map(str, argv)], env=env, timeout=120, **kw)


def test_picture_to_standard_output_only_when_it_is_not_a_terminal(tmp_path, disc_png):
    import pty

    from PIL import Image

    args = ("find", disc_png, "--box", 90, 80, 20, 20, "--fit", "circle", "--out", "-")
    done = _cli(*args, capture_output=True)
    assert done.returncode == 0 and b"1  circle" in done.stderr
    with Image.open(io.BytesIO(done.stdout)) as pic:
        assert pic.format == "PNG" and pic.size == (240, 200)
    leader, follower = pty.openpty()
    try:
        done = _cli(*args, stdout=follower, stderr=subprocess.PIPE, text=True)
    finally:
        os.close(follower)
        os.close(leader)
    assert done.returncode == 2 and "standard output is a terminal" in done.stderr
    assert done.stderr.count("\n") == 1


def test_a_failed_write_keeps_the_old_file_and_its_mode(tmp_path):
    from quorvane_tools import atomic_output

    target = tmp_path / "keep.json"
    target.write_text("old\n")
    target.chmod(0o600)
    with pytest.raises(RuntimeError):
        with atomic_output(target, "w") as f:
            f.write("half")
            raise RuntimeError("disk full")
    assert target.read_text() == "old\n" and sorted(p.name for p in tmp_path.iterdir()) == ["keep.json"]
    with atomic_output(target, "w") as f:
        f.write("new\n")
    assert target.read_text() == "new\n" and stat.S_IMODE(target.stat().st_mode) == 0o600


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
    import quorvane_tools.cli as cli

    def fail(*a, **k):
        raise fault

    monkeypatch.setattr(cli, "find_shapes", fail)
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


# ----------------------------------------------------------------------------
# reading pictures: the pixel limit and the conversion in bands


def test_pillow_guard_is_replaced_by_the_pixel_limit(monkeypatch, disc_png):
    from PIL import Image

    from quorvane_tools import ImageError, load_image

    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)   # Pillow alone would refuse 240 x 200
    assert load_image(disc_png).shape == (200, 240, 3)
    assert Image.MAX_IMAGE_PIXELS == 1000
    with pytest.raises(ImageError, match=r": 240 x 200 is 48,000 pixels, more than the limit of 47,999 \("):
        load_image(disc_png, max_pixels=47_999)


def _modes():
    rng = np.random.default_rng(3)
    rgb = rng.integers(0, 256, (2000, 300, 3), dtype=np.uint8)   # several bands of rows
    from PIL import Image

    base = Image.fromarray(rgb)
    pictures = {m: base.convert(m) for m in ("RGBA", "P", "L", "1", "CMYK")}
    pictures["RGB"] = base
    grey16 = rng.integers(0, 65536, (2000, 300), dtype=np.uint16)
    deep = {
        "I;16": (Image.fromarray(grey16), grey16 / 257.0),
        "I": (Image.fromarray(grey16.astype(np.int32)), grey16 / 257.0),
        "F": (Image.fromarray(grey16.astype(np.float32) / 65535), grey16.astype(np.float32) / 65535 * 255.0),
    }
    return pictures, deep


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "P", "L", "1", "CMYK", "I;16", "I", "F"])
def test_pictures_of_every_mode_convert_as_a_whole(tmp_path, mode):
    from quorvane_tools import load_image

    pictures, deep = _modes()
    path = tmp_path / ("pic.tif" if mode in ("I", "F", "CMYK") else "pic.png")
    if mode in deep:
        picture, grey = deep[mode]
        expect = np.repeat(np.clip(np.rint(grey), 0, 255).astype(np.uint8)[..., None], 3, axis=2)
    else:
        picture = pictures[mode]
        expect = np.array(picture.convert("RGB"))
    picture.save(path)
    got = load_image(path)
    assert got.flags.writeable and got.flags.c_contiguous
    assert np.abs(got.astype(int) - expect).max() <= (1 if mode in deep else 0)
