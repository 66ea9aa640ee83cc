"""quorvane probe and find: their report, outputs, and real photographs."""

import math
import shlex

import numpy as np
import pytest

from quorvane_tools.shapes import ellipse_axes, line_angle

import photos
from cliutil import disc_png, find_json, run, skimage_data  # noqa: F401 (fixtures)

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


