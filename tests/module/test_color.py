"""Colour selection: bounds, masks, selective greyscale and the NumPy variants."""

import math
from fractions import Fraction
import threading

import numpy as np
import pytest

import quorvane as q

EX1 = q.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))
IDENTITY = {"i": (0, 65536), "c": (0, 1000), "M": [256, 0, 0, 0, 256, 0, 0, 0, 256]}


def img(*pixels):
    return np.array([pixels], dtype=np.uint8)


# ------------------------------------------------------------- bounds


@pytest.mark.parametrize(
    "args, M, i, c",
    [
        (((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9)),
         [146, -304, 158, 146, 158, -304, 85, 85, 85], (6554, 58982), (7468, 44807)),
        (((0.0, math.pi / 2), (0.05, 0.5), (0.2, 0.8)),
         [256, -128, -128, 0, 222, -222, 85, 85, 85], (13107, 52429), (4634, 46341)),
    ],
)
def test_worked_bounds(args, M, i, c):
    b = q.calculate_lch_bounds(*args)
    assert type(b) is q.LCHBounds
    assert b.M.dtype == np.int32 and b.M.tolist() == M
    assert b.i == i and b.c == c
    assert all(type(v) is int for v in b.i + b.c)


def test_unscaled_and_zero_bits():
    lim = (0.2, 0.8)
    b = q.calculate_lch_bounds((0.0, 1.0), (0.1, 0.5), lim, rgb_bits=None)
    assert b.M.dtype == np.float64 and b.M.shape == (9,)
    assert b.i[0] is lim[0] and b.i[1] is lim[1]
    assert isinstance(b.c[0], np.float64)
    assert b.c[0] == 0.1 / np.cos(0.5)
    z = q.calculate_lch_bounds((0.0, 1.0), (0.1, 0.5), (0.2, 0.8), 0)
    assert z.M.dtype == np.int32 and z.M.tolist() == np.round(b.M).astype(np.int32).tolist()
    assert z.i == (0, 1) and z.c == (0, 1)


def test_extended_precision_limits():
    b = q.calculate_lch_bounds(np.array([-0.5, 0.5], np.longdouble), (0.1, 0.6), (0.1, 0.9))
    assert b.M.tolist() == EX1.M.tolist() and b.i == EX1.i and b.c == EX1.c


def test_bounds_follow_replaced_module_attributes(monkeypatch):
    class Other(tuple):
        def __new__(cls, *a):
            return tuple.__new__(cls, a)

    monkeypatch.setattr(q, "LCHBounds", Other)
    assert type(q.calculate_lch_bounds((0, 1), (0, 1), (0, 1))) is Other


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (((0.5, 0.5), (0.1, 0.6), (0.1, 0.9)), ValueError, None),
        (((0.0, float("nan")), (0.1, 0.6), (0.1, 0.9)), ValueError, None),
        (((0.0, math.pi), (0.1, 0.6), (0.1, 0.9)), ValueError, None),
        (((0.0, 1.0), (0.1, 0.6), (0.1, 0.9), -1), ValueError, "negative shift count"),
        (((0.0, 1.0), (0.1, 0.6), (0.1, 0.9), 2.0), TypeError, None),
        (((0.0,), (0.1, 0.6), (0.1, 0.9)), IndexError, None),
    ],
)
def test_bad_limits(args, exc, message):
    with pytest.raises(exc) as e:
        q.calculate_lch_bounds(*args)
    if message:
        assert str(e.value) == message


@pytest.mark.parametrize(
    "args, message",
    [
        # Bytes used to be multiplied by 2**32 before anything refused them.
        (((0.0, 0.5), (0.0, 1.0), [b"a", b"b"], 16), "intensity_limit[0] must be a real number, not bytes"),
        (((0.0, 0.5), (0.0, 1.0), (0.1, "0.9")), "intensity_limit[1] must be a real number, not str"),
        (((0.0, 0.5), ([0.1], [0.5]), (0.1, 0.9)), "chroma_limit[0] must be a real number, not list"),
        ((("a", "b"), (0.0, 1.0), (0.1, 0.9), None), "hue_limit[0] must be a real number, not str"),
        (((0.0, 1j), (0.0, 1.0), (0.1, 0.9)), "hue_limit[1] must be a real number, not complex"),
        (((0.0, 0.5), (0.0, 1.0), (None, 0.9), None), "intensity_limit[0] must be a real number, not NoneType"),
    ],
)
def test_limits_that_are_not_real_numbers_are_refused(args, message):
    with pytest.raises(TypeError) as e:
        q.calculate_lch_bounds(*args)
    assert str(e.value) == message


def test_real_number_limits_of_any_type():
    b = q.calculate_lch_bounds((0, np.float32(1.0)), (np.int64(0), Fraction(1, 2)), (True, np.array(0.9)))
    assert b.i == (65536, 58982) and b.c == (0, 37339) and b.M.dtype == np.int32


def test_wedge_written_backwards_selects_nothing():
    b = q.calculate_lch_bounds((2 * math.pi - 0.5, 0.5), (0.1, 0.6), (0.1, 0.9))
    assert b.c[0] < 0 and b.c[1] < 0
    rng = np.random.default_rng(0)
    image = rng.integers(0, 256, (64, 64, 3), dtype=np.uint8)
    assert not q.mask_image(image, b).any()


# ------------------------------------------------------------- bounds mapping


@pytest.mark.parametrize(
    "bounds, exc, message",
    [
        (None, TypeError, "Expected a mapping, got NoneType"),
        (5, TypeError, "Expected a mapping, got int"),
        ({"i": (1, 2), "c": (3, 4)}, ValueError, "No value specified for struct attribute 'M'"),
        ({"c": (3, 4), "M": range(9)}, ValueError, "No value specified for struct attribute 'i'"),
        ({"i": (1, 2, 3), "c": (3, 4), "M": range(9)}, IndexError,
         "too many values found during array assignment, expected 2"),
        ({"i": (1, 2), "c": [3], "M": range(9)}, IndexError,
         "not enough values found during array assignment, expected 2, got 1"),
        ({"i": (1, 2), "c": (3, 4), "M": iter(range(10))}, IndexError,
         "too many values found during array assignment, expected 9"),
        ({"i": (1, 2), "c": (3, 4), "M": iter(range(5))}, IndexError,
         "not enough values found during array assignment, expected 9, got 5"),
        ({"i": (1, 2**31), "c": (3, 4), "M": range(9)}, OverflowError, "value too large to convert to int"),
        ({"i": (1, "2"), "c": (3, 4), "M": range(9)}, TypeError, "an integer is required"),
        ((1, 2, 3), TypeError, "tuple indices must be integers or slices, not str"),
    ],
)
def test_bounds_mapping_refusals(bounds, exc, message):
    out = np.full((1, 1), 9, np.uint8)
    with pytest.raises(exc) as e:
        q.mask_image_cy_impl(img((1, 1, 1)), out, bounds)
    assert str(e.value) == message
    assert out[0, 0] == 9


def test_missing_key_is_raised_while_handling_keyerror():
    class Mapping(dict):
        pass

    for bounds in ({"i": (1, 2), "c": (3, 4)}, Mapping(i=(1, 2), c=(3, 4))):
        with pytest.raises(ValueError) as e:
            q.mask_image_cy_impl(img((1, 1, 1)), np.zeros((1, 1), np.uint8), bounds)
        assert isinstance(e.value.__context__, KeyError)


def test_bounds_mapping_conversions():
    # Items are truncated like int(); any iterable of the right length works;
    # a lying __len__ is caught by the iteration itself.
    class Lying:
        def __len__(self):
            return 2

        def __iter__(self):
            return iter([1, 2, 3])

    def classify(bounds):
        out = np.zeros((1, 2), np.uint8)
        q.mask_image_cy_impl(img((1, 1, 128), (3, 2, 9)), out, bounds)
        return out.tolist()

    assert classify({"i": (0.9, 65536.7), "c": (np.int64(0), 1000), "M": IDENTITY["M"]}) == [[1, 0]]
    assert classify({"i": (1.9, -1.9), "c": (0, 1000), "M": IDENTITY["M"]}) == [[0, 0]]
    with pytest.raises(IndexError) as e:
        classify({"i": Lying(), "c": (0, 1), "M": IDENTITY["M"]})
    assert str(e.value) == "too many values found during array assignment, expected 2"


def test_lchbounds_itself_is_refused_by_bare_passes():
    with pytest.raises(TypeError):
        q.mask_image_cy_impl(img((1, 1, 1)), np.zeros((1, 1), np.uint8), EX1)
    with pytest.raises(TypeError):
        q.simple_edge_hsv(img((1, 1, 1)), np.zeros((2, 2), np.int32), EX1, 1, 1)


# ------------------------------------------------------------- kernels


@pytest.mark.parametrize(
    "bounds, pixel, inside, grey",
    [
        (IDENTITY, (1, 1, 128), 1, 128),
        (IDENTITY, (0, 5, 5), 0, 0),
        (IDENTITY, (1, 1, 0), 0, 0),
        (IDENTITY, (3, 2, 9), 0, 0),
        (EX1._asdict(), (200, 100, 100), 1, 132),
        (EX1._asdict(), (255, 0, 0), 0, 0),
        (EX1._asdict(), (128, 128, 128), 0, 0),
        (EX1._asdict(), (100, 200, 100), 0, 0),
        (EX1._asdict(), (10, 5, 5), 0, 0),
        # products wrap in 32 bits: 16777216 * 255 is negative
        ({"i": (-(2**31), 2**31 - 1), "c": (-(2**31), 2**31 - 1),
          "M": [16777216, 0, 0, 0, 1, 0, 0, 0, 1]}, (255, 1, 1), 0, 0),
        ({"i": (-(2**31), 2**31 - 1), "c": (-(2**31), 2**31 - 1),
          "M": [16777216, 0, 0, 0, 1, 0, 0, 0, 1]}, (127, 1, 1), 1, 0),
        # grey levels keep bits 8..15 of v[2]; negative values shift arithmetically
        ({"i": (0, 2**31 - 1), "c": (0, 2**31 - 1), "M": [1, 0, 0, 0, 1, 0, 0, 0, 70000]},
         (1, 1, 1), 1, 17),
        ({"i": (-(2**31), 0), "c": (0, 100), "M": [1, 0, 0, 0, 1, 0, 0, 0, -1]}, (1, 1, 1), 1, 255),
        ({"i": (-(2**31), 0), "c": (0, 100), "M": [1, 0, 0, 0, 1, 0, 0, 0, -256]}, (1, 1, 1), 1, 255),
        ({"i": (-(2**31), 0), "c": (0, 100), "M": [1, 0, 0, 0, 1, 0, 0, 0, -512]}, (1, 1, 1), 1, 254),
        # bounds are exclusive
        ({"i": (256, 2**20), "c": (0, 100), "M": [1, 0, 0, 0, 1, 0, 0, 0, 256]}, (1, 1, 1), 0, 0),
        ({"i": (0, 256), "c": (0, 100), "M": [1, 0, 0, 0, 1, 0, 0, 0, 256]}, (1, 1, 1), 0, 0),
        ({"i": (0, 300), "c": (2, 100), "M": [1, 0, 0, 0, 1, 0, 0, 0, 256]}, (1, 1, 1), 0, 0),
        ({"i": (0, 300), "c": (0, 2), "M": [1, 0, 0, 0, 1, 0, 0, 0, 256]}, (1, 1, 1), 0, 0),
        ({"i": (0, 300), "c": (1, 3), "M": [1, 0, 0, 0, 1, 0, 0, 0, 255]}, (1, 1, 1), 1, 0),
        ({"i": (5, 6), "c": (10, 3), "M": [1] * 9}, (1, 1, 1), 0, 0),
        ({"i": (-5, 6), "c": (-10, 30), "M": [0] * 9}, (0, 0, 0), 0, 0),
    ],
)
def test_pixel_classification(bounds, pixel, inside, grey):
    mask = np.full((1, 1), 7, np.uint8)
    sel = np.full((1, 1), 7, np.uint8)
    assert q.mask_image_cy_impl(img(pixel), mask, bounds) == 1
    assert q.selective_grayscale_impl(img(pixel), sel, bounds) == 1
    assert (mask[0, 0], sel[0, 0]) == (inside, grey)
    M = np.array(bounds["M"], np.int32)
    b = (M, bounds["i"], bounds["c"])
    assert bool(q.mask_color(pixel, b)) == bool(inside)
    assert q.mask_image_py(img(pixel), b)[0, 0] == 255 * inside


def test_white_grey_levels():
    b = q.calculate_lch_bounds((-3.0, 3.0), (-1.0, 1.0), (-1.0, 2.0))
    b = b._replace(M=np.array([1, 0, 0, 0, 1, 0, 85, 85, 85], np.int32), c=(-(2**31), 2**31 - 1))
    out = q.selective_grayscale(img((255, 255, 255), (3, 3, 3), (1, 1, 1)), b)
    assert out.tolist() == [[254, 2, 0]]


# ------------------------------------------------------------- image functions


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(7)
    return rng.integers(0, 256, (48, 64, 3), dtype=np.uint8)


def test_mask_image_allocates_and_reuses(frame):
    m = q.mask_image(frame, EX1)
    assert m.shape == (48, 64) and m.dtype == np.uint8 and set(np.unique(m)) <= {0, 1}
    assert m.any()
    buf = np.full((48, 64), 9, np.uint8)
    assert q.mask_image(frame, EX1, buf) is buf
    assert np.array_equal(buf, m)
    assert np.array_equal(q.mask_image(frame, EX1._asdict()), m)
    out = np.zeros((48, 64), np.uint8)
    assert q.mask_image_cy_impl(frame, out, EX1._asdict()) == 48 * 64
    assert np.array_equal(out, m)
    assert np.array_equal(q.mask_image_py(frame, EX1), 255 * m)
    assert np.array_equal(q.mask_image_py(frame, tuple(EX1)), 255 * m)
    assert np.array_equal(q.mask_image_py(frame.reshape(-1, 3), EX1), 255 * m.ravel())


def test_selective_grayscale_is_zero_outside_the_mask(frame):
    g = q.selective_grayscale(frame, EX1)
    m = q.mask_image(frame, EX1)
    assert g.shape == m.shape and g.dtype == np.uint8
    assert not g[m == 0].any()
    expected = ((85 * frame.astype(np.int64).sum(axis=2)) >> 8) & 255
    assert np.array_equal(g[m == 1], expected[m == 1])
    out = np.zeros(48 * 64 + 5, np.uint8).reshape(-1, 1)[: 48 * 64].reshape(48, 64)
    assert q.selective_grayscale(frame, EX1, out) is out


def test_output_with_other_shape_and_spare_bytes(frame):
    m = q.mask_image(frame, EX1)
    out = np.full((100, 40), 3, np.uint8)
    assert q.mask_image_cy_impl(frame, out, EX1._asdict()) == 3072
    assert np.array_equal(out.ravel()[:3072], m.ravel())
    assert (out.ravel()[3072:] == 3).all()


@pytest.mark.parametrize("shape", [(0, 5, 3), (4, 0, 3)])
def test_empty_images(shape):
    e = np.zeros(shape, np.uint8)
    assert q.mask_image(e, EX1).shape == shape[:2]
    assert q.selective_grayscale(e, EX1).shape == shape[:2]
    assert q.mask_image_cy_impl(e, None, EX1._asdict()) == 0
    assert q.selective_grayscale_impl(e, None, EX1._asdict()) == 0
    assert q.mask_image_py(e, EX1).shape == shape[:2]


@pytest.mark.parametrize("fn", [q.mask_image_cy_impl, q.selective_grayscale_impl])
@pytest.mark.parametrize("out_shape", [None, (4, 5), (0, 0)])
def test_short_output_is_refused_before_writing(fn, out_shape, frame):
    out = None if out_shape is None else np.full(out_shape, 6, np.uint8)
    with pytest.raises(ValueError):
        fn(frame, out, EX1._asdict())
    if out is not None:
        assert (out == 6).all()


def test_short_buffer_refused_by_entry_points(frame):
    buf = np.full((10, 10), 6, np.uint8)
    for fn in (q.mask_image, q.selective_grayscale):
        with pytest.raises(ValueError):
            fn(frame, EX1, buf)
    assert (buf == 6).all()


def test_entry_point_conversion_order():
    # No shape: the allocation fails before bounds are looked at.
    with pytest.raises(AttributeError):
        q.mask_image([[[1, 2, 3]]], None)
    # The image is converted before the buffer, the buffer before the bounds.
    with pytest.raises(ValueError, match="expected 'unsigned char' but got 'double'"):
        q.mask_image(np.zeros((2, 2, 3)), None, np.zeros((2, 2)))
    with pytest.raises(ValueError, match="expected 'unsigned char' but got 'double'"):
        q.selective_grayscale(np.zeros((2, 2, 3), np.uint8), None, np.zeros((2, 2)))
    with pytest.raises(TypeError, match="Expected a mapping, got NoneType"):
        q.selective_grayscale(np.zeros((2, 2, 3), np.uint8), None, np.zeros((2, 2), np.uint8))


def test_in_place_pass_over_its_own_image():
    rng = np.random.default_rng(3)
    image = rng.integers(0, 256, (16, 16, 3), dtype=np.uint8)
    expected = q.mask_image(image, EX1)
    flat = image.reshape(-1)
    alias = flat[: 16 * 16].reshape(16, 16)
    q.mask_image_cy_impl(image, alias, EX1._asdict())
    assert np.array_equal(alias, expected)


def test_array_expression_errors():
    image = np.zeros((2, 2, 3), np.uint8)
    cases = [
        ((1, 2), ValueError, "need more than 2 values to unpack"),
        ([1], ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        ((lambda: iter([1, 2])), ValueError, "need more than 2 values to unpack"),
        ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
        ((lambda: iter(range(4))), ValueError, "too many values to unpack (expected 3)"),
        (5, TypeError, "'int' object is not iterable"),
        (EX1._asdict(), AttributeError, "'str' object has no attribute 'reshape'"),
    ]
    for bounds, exc, message in cases:
        for fn, arg in ((q.mask_image_py, image), (q.mask_color, (1, 2, 3))):
            with pytest.raises(exc) as e:
                fn(arg, bounds() if callable(bounds) else bounds)
            assert str(e.value) == message
    with pytest.raises(AttributeError):
        q.mask_image_py([[[1, 2, 3]]], EX1)


def test_array_expression_truncates_float_channels():
    f = np.array([[[127.9, 0.0, 0.0]]])
    b = (np.array([1, 0, 0, 0, 1, 0, 0, 0, 1], np.int32), (126, 128), (-1000, 1000))
    assert q.mask_image_py(f, b)[0, 0] == 0  # v[0] > 0 but v[1] == 0
    b2 = (np.array([1, 0, 0, 1, 0, 0, 1, 0, 0], np.int32), (126, 128), (-1000, 1000))
    assert q.mask_image_py(f, b2)[0, 0] == 255
    assert not q.mask_image_py(np.array([[[128.0, 0, 0]]]), b2)[0, 0]


def test_another_thread_runs_during_a_large_pass():
    image = np.full((3000, 3000, 3), 200, np.uint8)
    out = np.zeros((3000, 3000), np.uint8)

    def spins_during_one_pass():
        state = {"started": False, "done": False}

        def work():
            state["started"] = True
            q.mask_image_cy_impl(image, out, EX1._asdict())
            state["done"] = True

        t = threading.Thread(target=work)
        t.start()
        while not state["started"]:
            pass
        spins = 0
        while not state["done"]:
            spins += 1
        t.join()
        return spins

    # On a busy machine this thread may not be given a core during one pass: a few tries.
    assert any(spins_during_one_pass() > 1000 for _ in range(5))
