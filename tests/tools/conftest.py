"""Fixtures shared by the tools' tests."""

import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"


@pytest.fixture(scope="module")
def bench_photos():
    """The photo benchmark's module (its cases, pictures and tolerances), where it is beside the tests."""
    pytest.importorskip("cv2")
    pytest.importorskip("skimage.data")
    if not (BENCH / "bench_photos.py").exists():
        pytest.skip("the photo benchmark is not beside these tests")
    sys.path.insert(0, str(BENCH))
    try:
        import bench_photos
    finally:
        sys.path.remove(str(BENCH))
    return bench_photos
