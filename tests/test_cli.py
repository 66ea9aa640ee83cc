"""The quorvane command: probe, find, their outputs, bad input, and real photographs."""

import json
import math
import os
import shlex
import subprocess
import sys

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
    pasted, _ = find_json(capsys, tmp_path, disc_png, *shlex.split(flags), *fits)
    boxed, out = find_json(capsys, tmp_path, disc_png, "--box", 90, 80, 20, 20, *fits)
    assert pasted["shapes"] == boxed["shapes"] and f"wrote {tmp_path / 'found.json'}" in out
    assert set(boxed) == {"image", "window", "shapes"} and boxed["image"] == disc_png
    assert set(boxed["window"]) == {"hue", "chroma", "intensity"}
    assert all(len(v) == 2 and v[0] < v[1] for v in boxed["window"].values())
    (circle,) = boxed["shapes"]   # the ellipse had no points left
    assert set(circle) == {"shape", "x", "y", "r", "inliers", "warning"} and circle["warning"] is None
    assert isinstance(circle["inliers"], int) and circle["inliers"] > 100
    assert abs(circle["x"] - 100) <= 1 and abs(circle["y"] - 90) <= 1 and abs(circle["r"] - 50) <= 2


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
    "box and hue": ("find DISC --box 90 80 20 20 --hue -0.5 0.5", "not both"),
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
    assert err.startswith("usage: quorvane") and "Traceback" not in err


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
    record, _ = find_json(capsys, tmp_path, path, *shlex.split(out.splitlines()[-1]),
                          "--fit", "ellipse", "--radius", 20, 150)
    _check_crema(record["shapes"][0], photos.crema_ellipse(img))


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
