"""RGB to YUV 4:2:0 for the encoder (quorvane_tools._native.rgb_to_yuv420) against the BT.601
limited-range formula in floating point, and the annotated video it makes."""

import numpy as np
import pytest

from quorvane_tools import _native


def reference(rgb):
    """Y, Cb, Cr (before rounding) by BT.601, limited range; chroma from each 2 x 2 block's mean."""
    f = rgb[..., :3].astype(np.float64)
    y = 16 + 219 / 255 * (0.299 * f[..., 0] + 0.587 * f[..., 1] + 0.114 * f[..., 2])
    h, w = f.shape[0] // 2 * 2, f.shape[1] // 2 * 2
    m = f[:h, :w].reshape(h // 2, 2, w // 2, 2, 3).mean(axis=(1, 3))
    luma = 0.299 * m[..., 0] + 0.587 * m[..., 1] + 0.114 * m[..., 2]
    cb = 128 + 224 / 255 * (m[..., 2] - luma) / 1.772
    cr = 128 + 224 / 255 * (m[..., 0] - luma) / 1.402
    return y, cb, cr


def convert(rgb, width, height, pad=0):
    planes = [np.full((height, width + pad), 7, np.uint8),
              np.full((height // 2, width // 2 + pad), 7, np.uint8),
              np.full((height // 2, width // 2 + pad), 7, np.uint8)]
    _native.rgb_to_yuv420(rgb, width, height, planes[0], width + pad, planes[1], width // 2 + pad,
                          planes[2], width // 2 + pad)
    for p in planes:  # the padding at the end of each row is left alone
        assert (p[:, p.shape[1] - pad:] == 7).all()
    return [p[:, : p.shape[1] - pad] for p in planes]


def agrees(got, exact):
    """Rounded to nearest everywhere except within 0.005 of a tie, and never more than 1 off."""
    nearest = np.floor(exact + 0.5)
    clear = np.abs(exact - np.floor(exact) - 0.5) > 0.005
    return bool((got[clear] == nearest[clear]).all() and (np.abs(got - nearest) <= 1).all())


@pytest.mark.parametrize("rows, cols, channels, width, height, pad", [
    (2, 2, 3, 2, 2, 0), (64, 96, 3, 96, 64, 0), (37, 55, 3, 54, 36, 0), (40, 30, 4, 30, 40, 5),
    (1080, 1920, 3, 1920, 1080, 32),  # longer rows than the kernel's stretch
])
def test_matches_the_formula(rows, cols, channels, width, height, pad):
    rng = np.random.default_rng(rows * cols)
    rgb = rng.integers(0, 256, (rows, cols, channels), dtype=np.uint8)
    y, u, v = convert(rgb, width, height, pad)
    ry, ru, rv = reference(rgb[:height, :width])
    assert agrees(y, ry) and agrees(u, ru) and agrees(v, rv)


def test_known_colours_and_padded_rows():
    # The published BT.601 limited-range values of black, white, the primaries and a grey.
    colours = [(0, 0, 0), (255, 255, 255), (255, 0, 0), (0, 255, 0), (0, 0, 255), (128, 128, 128)]
    want = [(16, 128, 128), (235, 128, 128), (81, 90, 240), (145, 54, 34), (41, 240, 110), (126, 128, 128)]
    wide = np.zeros((2, 2 * len(colours) + 3, 3), np.uint8)
    rgb = wide[:, : 2 * len(colours)]  # rows padded: the stride is the wide array's
    for k, c in enumerate(colours):
        rgb[:, 2 * k: 2 * k + 2] = c
    y, u, v = convert(rgb, rgb.shape[1], 2)
    assert [(y[0, 2 * k], u[0, k], v[0, k]) for k in range(len(colours))] == want
    assert (y[0] == y[1]).all()


@pytest.mark.parametrize("case, message", [
    ("odd width", "must be even"), ("too wide", "within the picture"), ("steps", "packed pixels"),
    ("short plane", "too few"), ("grey", "packed pixels"),
])
def test_refusals(case, message):
    rgb = np.zeros((8, 10, 3), np.uint8)
    w, h = 10, 8
    planes = [np.zeros(80, np.uint8), np.zeros(20, np.uint8), np.zeros(20, np.uint8)]
    if case == "odd width":
        w = 9
    elif case == "too wide":
        w = 12
    elif case == "steps":
        rgb = np.zeros((8, 20, 3), np.uint8)[:, ::2]
    elif case == "short plane":
        planes[2] = np.zeros(19, np.uint8)
    else:
        rgb = np.zeros((8, 10), np.uint8)
    with pytest.raises(ValueError, match=message):
        _native.rgb_to_yuv420(rgb, w, h, planes[0], w, planes[1], w // 2, planes[2], w // 2)


def blocks():
    """Four flat colours, a quarter of the frame each (odd sizes: the encoder drops a row and a column)."""
    rgb = np.empty((97, 131, 3), np.uint8)
    rgb[:48, :64], rgb[:48, 64:] = (200, 40, 30), (30, 160, 60)
    rgb[48:, :64], rgb[48:, 64:] = (40, 60, 210), (128, 128, 128)
    return rgb


def decoded(path):
    import av

    with av.open(str(path)) as c:
        return [f.to_ndarray(format="rgb24") for f in c.decode(video=0)]


@pytest.mark.parametrize("threaded", [True, False])
def test_encoded_frames_keep_their_colours(tmp_path, threaded):
    pytest.importorskip("av")
    from quorvane_tools import video

    rgb = blocks()
    enc = video._Encoder(str(tmp_path / "b.mkv"), video.pick_codec(), 25, (131, 97), threaded=threaded)
    for k in range(5):
        enc.add(rgb, k / 25)
    enc.close()
    frames = decoded(tmp_path / "b.mkv")
    assert len(frames) == 5 and frames[0].shape == (96, 130, 3)
    for y0, y1, x0, x1 in [(4, 44, 4, 60), (4, 44, 68, 126), (52, 92, 4, 60), (52, 92, 68, 126)]:
        got = frames[-1][y0:y1, x0:x1].reshape(-1, 3).mean(axis=0)
        assert np.abs(got - rgb[y0, x0]).max() <= 4, (got, rgb[y0, x0])


def test_a_failure_on_the_encoding_thread_is_raised(tmp_path):
    pytest.importorskip("av")
    from quorvane_tools import video

    enc = video._Encoder(str(tmp_path / "f.mkv"), video.pick_codec(), 25, (131, 97))

    class Full(OSError):
        pass

    def fail(rgb, pts):
        raise Full("no room")

    enc._encode = fail
    enc.add(blocks(), 0.0)
    with pytest.raises(Full):
        for k in range(1, 50):  # the next add or close raises it, never more frames than queued
            enc.add(blocks(), k / 25)
        enc.close()
    enc.abort()
    assert enc._thread is None
