"""Annotated pictures drawn a band of rows at a time are the picture drawn whole, pixel for pixel;
annotate_into draws on the frame itself."""

import math
from types import SimpleNamespace

import numpy as np
import pytest

pytest.importorskip("PIL")
from quorvane_tools import draw  # noqa: E402
from quorvane_tools._records import Shape  # noqa: E402

W, H = 640, 360


def line(px, py, angle):
    return {"px": px, "py": py, "nx": math.cos(angle), "ny": math.sin(angle)}


SHAPES = {
    "small circle": Shape("circle", {"x": 300, "y": 200, "r": 20}, 60, 90, 2),
    "circle off the left": Shape("circle", {"x": -40.5, "y": 180.25, "r": 120.7}, 60, 90, 2),
    "circle round the frame": Shape("circle", {"x": 310.3, "y": 170.6, "r": 900.2}, 60, 90, 2, "weak: few inliers"),
    "steep line": Shape("line", line(320.4, 100.2, 0.05), 60, 90, 5),
    "diagonal line": Shape("line", line(10, 10, math.pi / 4 + 0.01), 60, 90, 5),
    "flat line": Shape("line", line(200.7, 359.2, math.pi / 2), 60, 90, 5),
    "line pair": Shape("line2", (line(100.5, 50.5, 1.0), line(500.2, 300.9, -0.7)), 60, 90, 5),
    "ellipse": Shape("ellipse", {"x": 500.3, "y": 60.8, "a": 140.2, "b": 40.7, "theta": 0.6}, 60, 90, 2),
    "ellipse at the bottom": Shape("ellipse", {"x": 90.1, "y": 350.2, "a": 30.5, "b": 60.2, "theta": -1.2},
                                   60, 90, 2, "weak: covers little of its outline"),
}


def found(shapes, boxes=((250, 150, 120, 90),)):
    mask = np.zeros((H, W), bool)
    for x, y, w, h in boxes:
        mask[y:y + h, x:x + w] = True
    return SimpleNamespace(mask=mask, shapes=list(shapes))


def picture(seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 256, (H, W, 3), dtype=np.uint8)


def whole(monkeypatch, image, result, **kw):
    """The same annotation with every band the whole picture."""
    with monkeypatch.context() as m:
        m.setattr(draw, "MARGIN", 1 << 30)
        return draw.annotate(image, result, **kw)


@pytest.mark.parametrize("names", [
    ["small circle"], ["circle off the left"], ["circle round the frame"], ["steep line"],
    ["diagonal line"], ["flat line"], ["line pair"], ["ellipse"], ["ellipse at the bottom"],
    list(SHAPES),  # labels pushed aside, the legend cut to a count, bands overlapping
], ids=lambda names: names[0] if len(names) == 1 else "all")
def test_bands_draw_the_whole_picture(monkeypatch, names):
    image = picture()
    result = found([SHAPES[n] for n in names])
    drawn = draw.annotate(image, result)
    assert np.array_equal(drawn, whole(monkeypatch, image, result))
    assert not np.array_equal(drawn, image)


@pytest.mark.parametrize("legend", [True, False])
def test_two_windows_and_no_legend(monkeypatch, legend):
    image = picture(1)
    results = [found([SHAPES["small circle"], SHAPES["steep line"]], ((250, 150, 120, 90),)),
               found([SHAPES["ellipse"]], ((300, 20, 300, 100), (0, 300, 50, 60)))]
    drawn = draw.annotate(image, results, legend=legend)
    assert np.array_equal(drawn, whole(monkeypatch, image, results, legend=legend))


def test_nothing_found_still_has_a_legend(monkeypatch):
    image = picture(2)
    result = found([Shape("circle", {"x": 0, "y": 0, "r": 0}, 0, 90, 2)], ())
    drawn = draw.annotate(image, result)
    assert np.array_equal(drawn, whole(monkeypatch, image, result))
    assert not np.array_equal(drawn, image)  # "no shape found"


def test_a_photograph(monkeypatch):
    data = pytest.importorskip("skimage.data")
    import quorvane_tools as qt

    image = data.coffee()
    s = qt.suggest_window(image, (250, 120, 70, 40))
    result = qt.find_shapes(image, s.window, ["ellipse", "circle"], radius=(20, 150), seed=1)
    assert np.array_equal(draw.annotate(image, result), whole(monkeypatch, image, result))


def test_annotate_into_draws_on_the_frame():
    image = picture(3)
    results = [found([SHAPES["small circle"]], ((250, 150, 120, 90),)),
               found([SHAPES["ellipse"]], ((280, 160, 200, 100),))]  # the second tint from the frame as it was
    kept = image.copy()
    expected = draw.annotate(image, results)
    assert np.array_equal(image, kept)  # annotate leaves its picture alone
    frame = image.copy()
    assert draw.annotate_into(frame, results) is frame
    assert np.array_equal(frame, expected)
