import ctypes

import numpy as np
import pytest

_libc = ctypes.CDLL(None)


@pytest.fixture
def srand():
    """Seeds the C library generator that the RANSAC fitters draw from."""
    return _libc.srand


@pytest.fixture
def libc_rand():
    return _libc.rand


def points(rows):
    return np.array(rows, dtype=np.int32).reshape(-1, 2)
