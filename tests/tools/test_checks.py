"""One check, one message: a window, a box, a radius range and a frame range are refused with
the same words by the library and by every command (only the name of the value differs)."""

import numpy as np
import pytest

from quorvane_tools import _checks
from quorvane_tools.cli import CliError

SHAPE = (120, 160, 3)


@pytest.mark.parametrize("xywh, words", [
    ((10, 10, 0, 5), "box 10 10 0 5 has no area (W and H must be positive)"),
    ((10, 10, 5, -1), "box 10 10 5 -1 has no area (W and H must be positive)"),
    ((160, 0, 10, 10), "box 160 0 10 10 lies outside the 160 x 120 image"),
    ((-10, -10, 10, 10), "box -10 -10 10 10 lies outside the 160 x 120 image"),
])
def test_box_refusals(xywh, words):
    with pytest.raises(ValueError) as e:
        _checks.box(SHAPE, xywh)
    assert str(e.value) == words


@pytest.mark.parametrize("xywh, clipped", [
    ((-5, -5, 10, 10), (0, 0, 5, 5)), ((150, 110, 30, 30), (150, 110, 160, 120)),
    ((0, 0, 160, 120), (0, 0, 160, 120))])
def test_box_is_clipped_to_the_picture(xywh, clipped):
    assert _checks.box(SHAPE, xywh) == clipped


@pytest.mark.parametrize("lo_hi, shape, words", [
    ((20, 10), None, "give 0 <= MIN <= MAX, MAX above 0"),
    ((0, 0), None, "give 0 <= MIN <= MAX, MAX above 0"),
    ((-1, 10), None, "give 0 <= MIN <= MAX, MAX above 0"),
    ((81, 90), SHAPE,
     "a shape with radius 81 does not fit in the 160 x 120 picture (its largest radius is 80)"),
])
def test_radius_refusals(lo_hi, shape, words):
    for name in ("--radius", "radius range"):
        with pytest.raises(CliError) as e:
            _checks.radius(lo_hi, name, shape, error=CliError)
        assert str(e.value) == f"{name} {lo_hi[0]} {lo_hi[1]}: {words}"
    assert _checks.radius((80, 90), shape=SHAPE) == (80, 90)


@pytest.mark.parametrize("start_stop, frames, words", [
    ((5, 5), None, "{name} 5 5 needs 0 <= START < STOP"),
    ((-1, 5), 30, "{name} -1 5 needs 0 <= START < STOP"),
    ((5, 31), 30, "clip.mp4: {name} 5 31 is beyond its end (30 frames)"),
])
def test_frame_range_refusals(start_stop, frames, words):
    for name in ("--frames", "frame range"):
        with pytest.raises(ValueError) as e:
            _checks.frame_range(start_stop, frames, name, "clip.mp4")
        assert str(e.value) == words.format(name=name)
    assert _checks.frame_range((0, 30), 30) == (0, 30)


def test_window_is_plain_and_checked():
    import quorvane_tools as qt

    img = np.zeros(SHAPE, np.uint8)
    img[40:80, 60:100] = (220, 40, 40)
    s = qt.suggest_window(img, (60, 40, 40, 40))
    w = _checks.window(s)
    assert type(w) is qt.Window and tuple(w) == tuple(qt.Window(*s))
    assert _checks.window((None, None, (0.1, 0.9))).intensity_only
    with pytest.raises(CliError, match=r"^hue wedge \(1, 0\) needs H1 < H2"):
        _checks.window(((1, 0), (0, 1), (0, 1)), CliError)


def test_the_library_and_the_command_say_the_same(tmp_path, capsys):
    """find_shapes and `quorvane find` refuse a radius and a box in the same words."""
    import photos
    import quorvane_tools as qt
    from quorvane_tools.cli import main

    img = np.zeros(SHAPE, np.uint8)
    img[40:80, 60:100] = (220, 40, 40)
    path = photos.save(img, tmp_path / "square.png")
    flags = ["--hue", "-0.5", "0.5", "--chroma", "0.3", "1", "--intensity", "0.1", "0.9", "--fit", "circle"]
    w = qt.Window((-0.5, 0.5), (0.3, 1), (0.1, 0.9))
    for extra, call, said, raised in [
        (["--radius", "20", "10"], dict(radius=(20, 10)), "--radius 20 10: give 0 <= MIN <= MAX, MAX above 0",
         "radius range 20 10: give 0 <= MIN <= MAX, MAX above 0"),
        (["--box", "500", "0", "5", "5"], dict(box=(500, 0, 5, 5)),
         "box 500 0 5 5 lies outside the 160 x 120 image", "box 500 0 5 5 lies outside the 160 x 120 image"),
    ]:
        assert main(["find", str(path), *flags, *extra]) == 2
        assert capsys.readouterr().err == f"quorvane: error: {said}\n"
        with pytest.raises(ValueError) as e:
            qt.find_shapes(img, w, ["circle"], **call)
        assert str(e.value) == raised
