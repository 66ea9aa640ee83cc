"""What the command-line tests share: a picture of a red disc, scikit-image's photographs,
and running the command in this process."""

import json

import numpy as np
import pytest

from quorvane_tools.cli import main

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

