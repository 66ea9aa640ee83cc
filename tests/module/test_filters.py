"""Removal of the points that a point mask marks."""

import numpy as np
import pytest

import quorvane as q

PS = np.array([[1, 2], [3, 4], [-5, 6], [7, -8], [2**31 - 1, -(2**31)]], np.int32)


@pytest.mark.parametrize("ms", [
    [0, 0, 0, 0, 0],
    [1, 1, 1, 1, 1],
    [0, 1, 255, 0, 7],
    [255, 0, 0, 0, 1, 1, 1],
    [1, 0, 0, 0, 0, 0, 0, 0],
])
def test_marked_points_are_dropped_in_order(ms):
    ms = np.array(ms, np.uint8)
    keep = PS[ms[: len(PS)] == 0]
    out = np.full((len(PS), 2), -1, np.int32)
    n = q.remove_inliers(PS, out, ms)
    assert n == len(keep) and np.array_equal(out[:n], keep) and (out[n:] == -1).all()
    same = PS.copy()
    assert q.remove_inliers(same, same, ms) == n
    assert np.array_equal(same[:n], keep) and np.array_equal(same[n:], PS[n:])
    assert q.remove_inliers(PS, out[:n] if n else out[:1], ms) == n


@pytest.mark.parametrize("ps_in, ps_out, ms, axis", [
    ((0, 2), (0, 2), 1, None), ((0, 0), None, 1, None),
    ((0, 2), (4, 2), 0, 0), (None, None, 0, 0), ((3, 0), (3, 2), 0, 0),
    ((3, 0), (3, 2), 3, 1), ((3, 0), (0, 2), 3, 1),
    ((3, 2), (0, 2), 3, 0), ((3, 2), (0, 0), 3, 1), ((3, 2), None, 3, 1), ((3, 2), (3, 0), 3, 1),
])
def test_first_element_checks(ps_in, ps_out, ms, axis):
    ps_in = ps_in and np.ones(ps_in, np.int32)
    out = ps_out and np.full(ps_out, -1, np.int32)
    if axis is None:
        assert q.remove_inliers(ps_in, out, np.zeros(ms, np.uint8)) == 0
        return
    with pytest.raises(IndexError) as e:
        q.remove_inliers(ps_in, out, np.zeros(ms, np.uint8))
    assert str(e.value) == f"Out of bounds on buffer access (axis {axis})"
    assert out is None or (out == -1).all()


@pytest.mark.parametrize("out_rows, ms, message", [
    (5, [0, 0, 0, 0], "_ms has 4 entries but _ps_in has 5 points"),
    (2, [0, 1, 0, 1, 0], "_ps_out has room for 2 points but 3 are kept"),
    (1, [0, 1, 0], "_ms has 3 entries but _ps_in has 5 points"),
])
def test_short_mask_or_output_is_refused_before_writing(out_rows, ms, message):
    out = np.full((out_rows, 2), -1, np.int32)
    with pytest.raises(ValueError) as e:
        q.remove_inliers(PS, out, np.array(ms, np.uint8))
    assert str(e.value) == message
    assert (out == -1).all()
