"""Lines from a box: which of the picture's edges near the box a line is laid along."""

import numpy as np
import pytest

import quorvane_tools as qt
from quorvane_tools._judge import box_line_score
from quorvane_tools._regions import thin_edges


@pytest.mark.parametrize("period", [6, 12, 24])
def test_an_edge_whose_sides_swap_colours_is_no_straight_edge(period):
    """Two vertical edges of the same strength and length through their boxes: at x = 60 dark
    lies left of light all along; at x = 160 the two sides swap every ``period`` rows (texture,
    or a line laid across a narrow object from one side to the other). Only the first is one
    object's edge, and it must outscore the other by far (before, both scored alike)."""
    img = np.full((200, 260), 128, np.uint8)
    img[:, 40:60], img[:, 60:80] = 40, 216
    flip = ((np.arange(200) // period) % 2 == 1)[:, None]
    img[:, 140:160] = np.where(flip, 216, 40)
    img[:, 160:180] = np.where(flip, 40, 216)
    img = np.repeat(img[..., None], 3, axis=2)
    edges = thin_edges(img)
    one, swapped = (box_line_score(qt.shapes.Shape("line", {"px": x, "py": 100, "nx": 1, "ny": 0}, 100, 100, 5),
                                   edges, img, (x - 5, 20, x + 5, 180)) for x in (60, 160))
    assert one > 5 * swapped > 0
