"""The examples: shapes found in the built-in scene, their command lines, and the
functions and bounds crossing process boundaries (batch.py's pools)."""

import ctypes
import functools
import math
import multiprocessing
import pickle
import re
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import quorvane as qv
from catalogue import FUNCTIONS

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
LIBC = ctypes.CDLL(None)
TOL = 4.0  # pixels


@pytest.fixture(scope="module")
def fs():
    with pytest.MonkeyPatch.context() as mp:
        mp.syspath_prepend(str(EXAMPLES))  # batch.py imports find_shapes; its workers too
        import find_shapes

        yield find_shapes


@functools.cache
def scene(fs, seed):
    return fs.make_scene(seed)


def line_distance(m, x, y):
    e = m["nx"] * (x - m["px"]) + m["ny"] * (y - m["py"])
    return abs(e) / math.hypot(m["nx"], m["ny"])


def vertices(x, y, a, b, theta):
    c, s = math.cos(theta), math.sin(theta)
    return [(x + a * c, y + a * s), (x - a * c, y - a * s), (x - b * s, y + b * c), (x + b * s, y - b * c)]


@pytest.mark.parametrize("scene_seed, c_seed", [(0, 1), (0, 2), (1, 3), (2, 4), (5, 6)])
def test_found_where_drawn(fs, scene_seed, c_seed):
    image, truth = scene(fs, scene_seed)
    found = fs.find_shapes(image, seed=c_seed)
    shapes = [(name, s) for name, result in found for s in result.shapes]
    assert [(s.kind, name) for name, s in shapes] == [
        ("line", "white"),
        ("line", "white"),
        ("circle", "orange"),
        ("ellipse", "yellow"),
    ]
    line1, line2, ball, marker = (s.model for _, s in shapes)
    # Each drawn line passes within TOL of one found line at both ends, one line each.
    errors = [[max(line_distance(m, *end) for end in t) for m in (line1, line2)] for t in truth.lines]
    assert min(max(errors[0][0], errors[1][1]), max(errors[0][1], errors[1][0])) <= TOL
    white = dict(found)["white"]
    assert white.shapes[0].inliers + white.shapes[1].inliers >= 0.93 * len(white.points)
    bx, by, br = truth.ball
    assert math.hypot(ball["x"] - bx, ball["y"] - by) <= TOL and abs(ball["r"] - br) <= TOL
    drawn = vertices(*truth.marker)
    fitted = vertices(*(marker[k] for k in ("x", "y", "a", "b", "theta")))
    assert max(min(math.dist(p, q) for q in fitted) for p in drawn) <= TOL
    # The same seed gives the same shapes, also when the caller seeds the generator itself.
    LIBC.srand(c_seed)
    assert [s.model for _, r in fs.find_shapes(image) for s in r.shapes] == [line1, line2, ball, marker]


def test_command_line_writes_the_picture(fs, tmp_path, capsys):
    image_module = pytest.importorskip("PIL.Image")
    out = tmp_path / "shapes.png"
    assert fs.main(["--out", str(out)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "built-in scene, 640 x 480; seed 1"
    assert [row.split()[:2] for row in lines[2:6]] == [
        ["line", "white"],
        ["line", "white"],
        ["circle", "orange"],
        ["ellipse", "yellow"],
    ]
    assert lines[6:] == [f"wrote {out}"]
    with image_module.open(out) as pic:
        assert (pic.format, pic.size, pic.mode) == ("PNG", (640, 480), "RGB")


def test_own_image_with_a_window(fs, tmp_path, capsys):
    pytest.importorskip("PIL")
    image, truth = scene(fs, 0)
    np.save(tmp_path / "frame.npy", image)
    argv = [
        "--image",
        str(tmp_path / "frame.npy"),
        "--hue",
        "0.15",
        "0.68",
        "--chroma",
        "0.3",
        "1",
        "--intensity",
        "0.12",
        "0.95",
        "--fit",
        "circle",
        "--seed",
        "3",
        "--out",
        str(tmp_path / "o.png"),
    ]
    assert fs.main(argv) == 0
    rows = capsys.readouterr().out.splitlines()
    assert rows[2].split()[:2] == ["circle", "window"] and len(rows) == 4
    x, y, r = map(float, re.search(r"centre \(([\d.]+), ([\d.]+)\), radius ([\d.]+)", rows[2]).groups())
    assert math.dist((x, y, r), truth.ball) <= TOL


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--hue", "0", "1"], "--hue, --chroma, --intensity and --fit describe the window for --image"),
        (
            ["--image", "x.png", "--hue", "0", "1"],
            "--image needs its colour window: --hue H1 H2 --chroma C1 C2 --intensity I1 I2",
        ),
        (
            ["--image", "x.png", "--hue", "-2", "2", "--chroma", "0", "1", "--intensity", "0", "1"],
            "--hue needs H1 < H2 and H2 - H1 below pi; write a wedge around red as -0.5 0.5",
        ),
    ],
)
def test_command_line_errors(fs, capsys, argv, message):
    with pytest.raises(SystemExit) as e:
        fs.main(argv)
    assert e.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"find_shapes.py: error: {message}"


def test_missing_pillow_is_explained(fs, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "PIL", None)
    assert fs.main([]) == 1
    assert capsys.readouterr().err == (
        "find_shapes.py: writing the annotated PNG needs Pillow; install it with\n"
        "    python3 -m pip install '.[demo]'    (or: python3 -m pip install Pillow)\n"
    )


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_functions_and_bounds_pickle(protocol):
    for f in (entry.fn for entry in FUNCTIONS):
        data = pickle.dumps(f, protocol)
        assert pickle.loads(data) is f and b"quorvane" in data and len(data) < 80  # by reference
    for bits in (8, None):
        b = qv.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9), bits)
        c = pickle.loads(pickle.dumps(b, protocol))
        assert type(c) is qv.LCHBounds and (c.i, c.c) == (b.i, b.c)
        assert c.M.dtype == b.M.dtype and np.array_equal(c.M, b.M)


def test_functions_and_bounds_cross_processes():
    ps = np.array([(15, 10), (10, 15), (5, 10)], np.int32)
    image = np.arange(4 * 5 * 3, dtype=np.uint8).reshape(4, 5, 3) * 4
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        bounds = pool.submit(qv.calculate_lch_bounds, (-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)).result()
        mask = pool.submit(qv.mask_image, image, bounds).result()
        circle = pool.submit(qv.ransac_circle, ps, 10, 1, 10, 0).result()
    assert type(bounds) is qv.LCHBounds and bounds.i == (6554, 58982)
    assert np.array_equal(mask, qv.mask_image(image, bounds))
    assert circle == {"x": 10, "y": 10, "r": 5}


def test_batch_gives_the_same_shapes_with_pools(fs, capsys):
    import batch

    assert batch.main(["--frames", "3", "--chunk", "2", "--count", "200"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "shapes found: 12 of 12; same shapes in every run: yes"
    assert out[1].split() == ["workers", "frames/s", "speed-up"] and out[2].split()[0] == "serial"
    assert out[3].split()[0] == "1" and len(out) in (5, 6)  # and a row for 2 cores when there are
