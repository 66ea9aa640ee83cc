"""What the command-line tests share: a picture of a red disc, scikit-image's photographs,
and running the command in this process."""

import json
import os
import stat
import subprocess
import sys

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


def kind(path):
    """The file type of ``path`` (not followed) and, for a regular file, its size."""
    st = os.lstat(path)
    return stat.S_IFMT(st.st_mode), st.st_size if stat.S_ISREG(st.st_mode) else None


def cli(*argv, **kw):
    """The command run by a user, in a process of its own."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "quorvane_tools", *map(str, argv)], env=env, timeout=120, **kw)
