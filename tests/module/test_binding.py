"""Argument binding, scalar conversion and introspection of the functions."""

import inspect
import pickle
import sys
import warnings

import numpy as np
import pytest

import quorvane as q
from catalogue import FUNCTIONS



def test_module_attributes_in_order():
    names = [k for k in vars(q) if not k.startswith("__")]
    assert names == ["np", "NamedTuple", "LCHBounds", *(f.name for f in FUNCTIONS)]
    assert q.np is np
    assert q.__test__ == {}
    assert q.__doc__ is None


@pytest.mark.parametrize("entry", FUNCTIONS, ids=lambda e: e.name)
def test_introspection(entry):
    f, name = entry.fn, entry.name
    assert str(inspect.signature(f)) == entry.signature
    assert f.__defaults__ == entry.defaults
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "quorvane")
    assert f.__doc__ is None
    assert f.__kwdefaults__ is None
    params = list(inspect.signature(f).parameters)
    assert f.__code__.co_varnames[: len(params)] == tuple(params)
    assert f.__code__.co_argcount == len(params)
    assert pickle.loads(pickle.dumps(f)) is f


def test_lchbounds_class():
    B = q.LCHBounds
    assert B._fields == ("M", "i", "c")
    assert (B.__module__, B.__qualname__) == ("quorvane", "LCHBounds")
    assert B.__annotations__ == {"M": "np.ndarray", "i": "tuple", "c": "tuple"}
    b = q.calculate_lch_bounds((-0.5, 0.5), (0.1, 0.6), (0.1, 0.9))
    assert isinstance(b, B) and isinstance(b, tuple)
    c = pickle.loads(pickle.dumps(b))
    assert type(c) is B and c.i == b.i and c.c == b.c and np.array_equal(c.M, b.M)


P = np.zeros((4, 2), np.int32)
M = np.zeros(4, np.uint8)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: q.calculate_lch_bounds((0, 1), (0, 1)),
         "calculate_lch_bounds() takes at least 3 positional arguments (2 given)"),
        (lambda: q.calculate_lch_bounds(1, 2, 3, 4, 5),
         "calculate_lch_bounds() takes at most 4 positional arguments (5 given)"),
        (lambda: q.calculate_lch_bounds(1, 2, 3, 4, rgb_bits=5),
         "calculate_lch_bounds() got multiple values for keyword argument 'rgb_bits'"),
        (lambda: q.ransac_line(P, M, 100, 2),
         "ransac_line() takes exactly 5 positional arguments (4 given)"),
        (lambda: q.ransac_line(P, M, 1, 2, 1.0, 6),
         "ransac_line() takes exactly 5 positional arguments (6 given)"),
        (lambda: q.ransac_line(P, M, count=100, delta=2, slope=1.0),
         "ransac_line() takes exactly 5 positional arguments (4 given)"),
        (lambda: q.ransac_line(P, M, 100, 2, 1.0, slope=1.0),
         "ransac_line() got an unexpected keyword argument 'slope'"),
        (lambda: q.ransac_line(ps=P, _ms=M, count=100, delta=2, slope_limit=1.0),
         "ransac_line() takes exactly 5 positional arguments (0 given)"),
        (lambda: q.ransac_line(P, M, 100, 2, 1.0, _ps=P),
         "ransac_line() got multiple values for keyword argument '_ps'"),
        (lambda: q.mask_image(P), "mask_image() takes at least 2 positional arguments (1 given)"),
        (lambda: q.mask_image(bounds=1), "mask_image() takes at least 2 positional arguments (0 given)"),
        (lambda: q.mask_image(1, 2, 3, 4), "mask_image() takes at most 3 positional arguments (4 given)"),
        (lambda: q.mask_color(), "mask_color() takes exactly 2 positional arguments (0 given)"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keywords_bind_in_any_order():
    pts = np.array([[0, 0], [10, 10]], np.int32)
    r = q.ransac_circle(count=0, delta=1, max_r=5, min_r=1, _ps=pts)
    assert r == {"x": 0, "y": 0, "r": 0}
    assert list(r) == ["x", "y", "r"]


def test_non_string_keyword_reaches_no_function():
    with pytest.raises(TypeError, match="keywords must be strings"):
        q.ransac_circle(P, 1, 1, 1, 1, **{1: 2})


class Int:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class IntSub(int):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(7, 7), (True, 1), (2.9, 2), (-2.9, -2), (np.int64(-5), -5), (np.float32(3.7), 3),
     (Int(11), 11), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31))],
)
def test_int_conversion_accepts(value, expected):
    # One segment of length 9 is kept exactly when min_distance <= 9.
    pts = np.array([[0, 0], [9, 0]], np.int32)
    out = np.zeros((2, 2), np.int32)
    assert q.simple_denoise(pts, out, value) == (2 if expected <= 9 else 0)


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (1e10, OverflowError, "value too large to convert to int"),
        ("10", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (Int(2.5), TypeError, "__int__ returned non-int (type float)"),
    ],
)
def test_int_conversion_refuses(value, exc, message):
    with pytest.raises(exc) as e:
        q.ransac_circle(P, value, 1, 10, 2)
    assert str(e.value) == message


def test_int_subclass_from_int_warns_and_is_used():
    pts = np.array([[0, 0], [9, 0]], np.int32)
    out = np.zeros((2, 2), np.int32)
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        assert q.simple_denoise(pts, out, Int(IntSub(3))) == 2
    assert [str(x.message) for x in w] == [
        "__int__ returned non-int (type IntSub).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python."
    ]
    assert w[0].category is DeprecationWarning


def test_double_conversion():
    pts = np.array([[0, 0], [10, 1]], np.int32)
    ms = np.zeros(2, np.uint8)
    # slope_limit >= 1 discards every candidate, whatever numeric type gives it.
    for v in (1, 1.0, np.float32(1.0), np.int8(1)):
        assert q.ransac_line(pts, ms, 5, 1, v) == {"px": 0, "py": 0, "nx": 0, "ny": 0}
    with pytest.raises(TypeError) as e:
        q.ransac_line(pts, ms, 5, 1, "1.0")
    assert str(e.value) == "must be real number, not str"


def test_conversion_is_left_to_right():
    # count is bad and _ps is bad: the first parameter is reported.
    int64 = {"l": "long", "q": "long long"}[np.dtype(np.int64).char]
    with pytest.raises(ValueError, match=f"expected 'int' but got '{int64}'"):
        q.ransac_circle(np.zeros((3, 2), np.int64), "x", 1, 1, 1)
    with pytest.raises(TypeError, match="an integer is required"):
        q.ransac_circle(P, "x", 2**40, 1, 1)
    with pytest.raises(OverflowError):
        q.ransac_circle(P, 1, 2**40, "x", 1)


def test_second_import_is_the_same_module():
    import importlib

    before = q.ransac_line
    sys.modules.pop("quorvane")
    again = importlib.import_module("quorvane")
    assert again is q and again.ransac_line is before
    assert importlib.reload(q) is q
