"""Array arguments: accepted layouts, refusals with their messages, None,
and arrays whose rows or pixels are not adjacent in memory."""

import ctypes

import numpy as np
import pytest

import quorvane as q

BOUNDS = {"i": (0, 1 << 30), "c": (0, 1 << 30), "M": [256, 0, 0, 0, 256, 0, 0, 0, 256]}
# C type names as this platform's NumPy and ctypes spell the sized types: int64 is 'long'
# where that has 64 bits, else 'long long'; uint32 may be 'unsigned long' on 32-bit CPUs.
C_NAMES = {"i": "int", "I": "unsigned int", "l": "long", "L": "unsigned long", "q": "long long"}
INT64 = C_NAMES[np.dtype(np.int64).char]
UINT32 = C_NAMES[np.dtype(np.uint32).char]


def ransac_circle_ps(ps):
    return q.ransac_circle(ps, 0, 0, 0, 0)


@pytest.mark.parametrize(
    "arr, message",
    [
        (np.zeros((3, 2), np.int64), f"Buffer dtype mismatch, expected 'int' but got '{INT64}'"),
        (np.zeros((3, 2), np.uint32), f"Buffer dtype mismatch, expected 'int' but got '{UINT32}'"),
        (np.zeros((3, 2), np.float32), "Buffer dtype mismatch, expected 'int' but got 'float'"),
        (np.zeros((3, 2), np.complex128), "Buffer dtype mismatch, expected 'int' but got 'complex double'"),
        (np.zeros((3, 2), np.int16), "Buffer dtype mismatch, expected 'int' but got 'short'"),
        (np.zeros((3, 2), np.bool_), "Buffer dtype mismatch, expected 'int' but got 'bool'"),
        (np.zeros((3, 2), object), "Buffer dtype mismatch, expected 'int' but got Python object"),
        (np.zeros((3, 2), np.float16), "Unexpected format string character: 'e'"),
        (np.zeros((3, 2), ">i4"), "Big-endian buffer not supported on little-endian compiler"),
        (np.zeros((3, 2, 1), np.int32), "Buffer has wrong number of dimensions (expected 2, got 3)"),
        (np.zeros(6, np.int32), "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (np.zeros((2, 3), np.int32).T, "Buffer and memoryview are not contiguous in the same dimension."),
    ],
)
def test_point_list_refusals(arr, message):
    with pytest.raises(ValueError) as e:
        ransac_circle_ps(arr)
    assert str(e.value) == message


def test_standard_size_formats():
    # ctypes exports explicit little-endian formats ('<i', '<q', ...).
    ok = (ctypes.c_int32 * 2 * 3)()
    assert memoryview(ok).format == "<" + ctypes.c_int32._type_  # '<i', or '<l' where long has 32 bits
    assert ransac_circle_ps(ok) == {"x": 0, "y": 0, "r": 0}
    wide = (ctypes.c_int64 * 2 * 3)()
    with pytest.raises(ValueError) as e:
        ransac_circle_ps(wide)
    assert str(e.value) == "Buffer dtype mismatch, expected 'int' but got 'long long'"
    with pytest.raises(ValueError) as e:
        q.ransac_line(ok, (ctypes.c_uint16 * 3)(), 1, 1, 0.5)
    assert str(e.value) == "Buffer dtype mismatch, expected 'uint8_t' but got 'unsigned short'"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: q.simple_edge_hsv(a, None, BOUNDS, 1, 1),
         "Buffer dtype mismatch, expected 'uchar' but got 'double'"),
        (lambda a: q.mask_image_cy_impl(a, None, BOUNDS),
         "Buffer dtype mismatch, expected 'unsigned char' but got 'double'"),
        (lambda a: q.selective_grayscale_impl(a, None, BOUNDS),
         "Buffer dtype mismatch, expected 'unsigned char' but got 'double'"),
    ],
)
def test_image_dtype_names(call, message):
    with pytest.raises(ValueError) as e:
        call(np.zeros((2, 2, 3)))
    assert str(e.value) == message


def test_point_mask_names_and_kinds():
    ps = np.zeros((3, 2), np.int32)
    with pytest.raises(ValueError) as e:
        q.ransac_line(ps, np.zeros(3, np.int8), 1, 1, 0.5)
    assert str(e.value) == "Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'"
    for ok in (np.zeros(3, np.uint8), np.zeros(3, np.bool_), memoryview(bytearray(3)).cast("c")):
        q.ransac_line(ps, ok, 0, 1, 0.5)
    with pytest.raises(ValueError) as e:
        q.ransac_line(ps, np.zeros(6, np.uint8)[::2], 1, 1, 0.5)
    assert "contiguous" in str(e.value)  # NumPy's own refusal


@pytest.mark.parametrize(
    "obj, exc",
    [
        (np.zeros((3, 2), np.int32).copy(), None),
        (b"abc", BufferError),
        (5, TypeError),
        ([[1, 2]], TypeError),
    ],
)
def test_exporter_refusals_propagate(obj, exc):
    if exc is None:
        obj.setflags(write=False)
        with pytest.raises(ValueError, match="read-only"):
            ransac_circle_ps(obj)
    else:
        with pytest.raises(exc):
            ransac_circle_ps(obj)


def test_empty_point_list_any_strides():
    arr = np.zeros((0, 2), np.int32)
    assert ransac_circle_ps(arr) == {"x": 0, "y": 0, "r": 0}
    assert ransac_circle_ps(np.zeros((2, 0), np.int32).T) == {"x": 0, "y": 0, "r": 0}


def test_none_is_an_empty_array_everywhere():
    assert q.simple_edge(None, None, 4, 4) == 0
    assert q.simple_edge_hsv(None, None, BOUNDS, 4, 4) == 0
    assert q.simple_denoise(None, None, 3) == 0
    assert q.mask_image_cy_impl(None, None, BOUNDS) == 0
    assert q.selective_grayscale_impl(None, None, BOUNDS) == 0
    assert q.ransac_line(None, None, 10, 1, 0.5) == {"px": 0, "py": 0, "nx": 0, "ny": 0}
    assert q.ransac_line2(None, None, 10, 0.5, 1) == ({"px": 0, "py": 0, "nx": 0, "ny": 0},) * 2
    assert q.ransac_circle(None, 10, 1, 5, 1) == {"x": 0, "y": 0, "r": 0}
    assert q.ransac_ellipse(None, 10, 1, 5, 1.0, 1) == dict.fromkeys("x y a b theta".split(), 0.0)


def test_buffer_released_after_failure():
    buf = bytearray(24)
    mv = memoryview(buf).cast("i", (3, 2))
    with pytest.raises(TypeError):
        q.ransac_circle(mv, "bad", 0, 0, 0)
    mv.release()
    buf.extend(b"1234")  # would raise BufferError if a view were still held
    raw = bytearray(b"\x01" * 12)
    with pytest.raises(ValueError):
        q.mask_image_cy_impl(np.zeros((2, 2, 3), np.uint8), memoryview(raw).cast("B", (3, 4)), {})
    raw.extend(b"x")


# -- arrays that pass the checks but are not packed --------------------------


def test_cropped_image_behaves_as_packed_copy():
    rng = np.random.default_rng(1)
    big = rng.integers(0, 256, (40, 60, 3), dtype=np.uint8)
    crop = big[5:30, 10:50]
    out_big = np.full((40, 60), 7, np.uint8)
    out_view = out_big[3:28, 12:52]
    expected = np.zeros((25, 40), np.uint8)
    assert q.mask_image_cy_impl(np.ascontiguousarray(crop), expected, BOUNDS) == 1000
    assert q.mask_image_cy_impl(crop, out_view, BOUNDS) == 1000
    assert np.array_equal(out_view, expected)
    untouched = np.ones((40, 60), bool)
    untouched[3:28, 12:52] = False
    assert (out_big[untouched] == 7).all()
    assert np.array_equal(q.mask_image(crop, q.LCHBounds(np.array(BOUNDS["M"]), BOUNDS["i"], BOUNDS["c"])),
                          expected)


def test_reversed_and_strided_point_lists():
    ps = np.arange(40, dtype=np.int32).reshape(20, 2)
    ms = (np.arange(20) % 3 == 0).astype(np.uint8)
    out = np.zeros((20, 2), np.int32)
    n = q.remove_inliers(ps[::-1], out, ms)
    keep = ps[::-1][ms == 0]
    assert n == len(keep) and np.array_equal(out[:n], keep)
    out2 = np.full((40, 2), -1, np.int32)
    assert q.remove_inliers(ps[::2], out2[::2], ms[:10].copy()) == int((ms[:10] == 0).sum())
    assert np.array_equal(out2[::2][: (ms[:10] == 0).sum()], ps[::2][ms[:10] == 0])
    assert (out2[1::2] == -1).all()


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.ransac_circle(np.zeros((3, 3), np.int32), 1, 1, 1, 1),
        lambda: q.simple_edge(np.zeros((4, 4), np.uint8), np.zeros((3, 1), np.int32), 1, 1),
        lambda: q.mask_image_cy_impl(np.zeros((2, 2, 4), np.uint8), np.zeros((2, 2), np.uint8), BOUNDS),
        lambda: q.mask_image(np.zeros((2, 2, 4), np.uint8), BOUNDS),
        lambda: q.simple_edge_hsv(np.zeros((2, 2, 1), np.uint8), None, BOUNDS, 1, 1),
    ],
)
def test_wrong_width_or_channel_count_is_refused(call):
    with pytest.raises(ValueError):
        call()


def test_misaligned_point_list_behaves_as_aligned_copy(srand):
    buf = np.zeros(8 * 6 + 1, np.uint8)
    ps = np.ndarray((6, 2), np.int32, buffer=buf, offset=1)
    ps[:] = [[0, 0], [1, 1], [2, 2], [3, 3], [4, 4], [9, 0]]
    aligned = ps.copy()
    srand(5)
    want = q.ransac_line(aligned, np.zeros(6, np.uint8), 10, 1, 0.1)
    srand(5)
    assert q.ransac_line(ps, np.zeros(6, np.uint8), 10, 1, 0.1) == want
    assert q.simple_edge(np.ones((4, 4), np.uint8), ps, 2, 2) == 6
    assert ps.tolist() == [[0, 0], [3, 0], [0, 2], [3, 2], [0, 0], [0, 3]]
