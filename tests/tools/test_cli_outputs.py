"""quorvane find's outputs (what may be replaced, standard output) and how pictures are read."""

import io
import json
import os
import stat
import subprocess

import numpy as np
import pytest


from cliutil import cli as _cli, disc_png, kind as _kind, run  # noqa: F401 (fixtures)

# ----------------------------------------------------------------------------
# outputs: what may be replaced, and standard output


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
