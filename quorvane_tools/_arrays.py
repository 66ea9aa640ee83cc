"""Turning what users have (Pillow pictures, OpenCV frames, boxes) into what the library takes."""

from __future__ import annotations

import os
import tempfile
from contextlib import contextmanager
from pathlib import Path

import numpy as np

__all__ = ["ImageError", "as_rgb", "region_mask", "load_image", "atomic_output"]


class ImageError(ValueError):
    """A picture that cannot be read or used, with a one-line reason."""


def as_rgb(image) -> np.ndarray:
    """A writable, C-contiguous (rows, columns, 3) uint8 array for the image passes.

    Arrays that already are one are returned as they are; read-only arrays (``np.asarray`` of a
    Pillow image), views such as ``frame[..., ::-1]`` and crops are copied. Grey (rows, columns)
    images are repeated into three channels and RGBA drops its alpha."""
    img = np.asarray(image)
    if img.ndim == 2:
        img = np.repeat(img[..., None], 3, axis=2)
    elif img.ndim == 3 and img.shape[2] == 4:
        img = img[..., :3]
    if img.ndim != 3 or img.shape[2] != 3:
        raise ImageError(f"expected an RGB image (rows, columns, 3), got shape {img.shape}")
    if img.dtype != np.uint8:
        if img.dtype.kind == "b" or not np.issubdtype(img.dtype, np.number):
            raise ImageError(f"expected an RGB image of uint8, got {img.dtype}")
        if np.issubdtype(img.dtype, np.floating) and img.size and float(np.nanmax(img)) <= 1.0:
            img = img * 255.0  # float pictures in [0, 1]
        img = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    if not (img.flags.c_contiguous and img.flags.writeable):
        img = np.array(img, dtype=np.uint8, order="C")
    return img


def region_mask(shape, region, name: str = "region") -> np.ndarray:
    """A boolean (rows, columns) mask from a box ``(x, y, w, h)`` or a boolean mask.

    A box is clipped to the image; one that lies wholly outside it, or has no area, is an error."""
    rows, cols = shape[:2]
    arr = np.asarray(region)
    if arr.ndim == 2:
        if arr.shape != (rows, cols):
            raise ValueError(f"{name} mask has shape {arr.shape}, the image is {(rows, cols)}")
        mask = arr.astype(bool)
        if not mask.any():
            raise ValueError(f"{name} mask selects no pixel")
        return mask
    if arr.shape != (4,):
        raise ValueError(f"{name} must be a box (x, y, w, h) or a boolean mask of the image's shape")
    x, y, w, h = (int(v) for v in arr.tolist())
    if w <= 0 or h <= 0:
        raise ValueError(f"{name} box {x} {y} {w} {h} has no area (W and H must be positive)")
    x0, y0, x1, y1 = max(x, 0), max(y, 0), min(x + w, cols), min(y + h, rows)
    if x0 >= x1 or y0 >= y1:
        raise ValueError(f"{name} box {x} {y} {w} {h} lies outside the {cols} x {rows} image")
    mask = np.zeros((rows, cols), bool)
    mask[y0:y1, x0:x1] = True
    return mask


def load_image(path) -> np.ndarray:
    """An RGB picture file as a writable (rows, columns, 3) uint8 array.

    ``.npy`` files are read with NumPy, everything else with Pillow (the ``demo`` extra)."""
    path = Path(path)
    if not path.exists():
        raise ImageError(f"{path}: no such file")
    if path.is_dir():
        raise ImageError(f"{path}: is a folder, not a picture")
    try:
        if path.suffix.lower() == ".npy":
            img = np.load(path, allow_pickle=False)
        else:
            try:
                from PIL import Image, UnidentifiedImageError
            except ImportError:
                raise ImageError(
                    "reading pictures needs Pillow: python3 -m pip install 'quorvane[demo]'"
                ) from None
            try:
                with Image.open(path) as f:
                    img = _pillow_rgb(f)
            except UnidentifiedImageError:
                raise ImageError(f"{path}: not a picture Pillow can read") from None
    except ImageError:
        raise
    except (OSError, ValueError, SyntaxError) as e:
        raise ImageError(f"{path}: cannot read it ({e})") from None
    if img.size == 0:
        raise ImageError(f"{path}: the picture is empty")
    try:
        return as_rgb(img)
    except ImageError as e:
        raise ImageError(f"{path}: {e}") from None


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _pillow_rgb(picture):
    """A Pillow picture as 8-bit RGB. Deep grey modes (16-bit, 32-bit integer, float) are scaled
    to 0..255 by their type's range; ``convert("RGB")`` would clip them to white."""
    mode = picture.mode
    if mode.startswith("I;16") or mode in ("I", "F"):
        grey = np.asarray(picture)
        if mode.startswith("I;16"):
            grey = grey.astype(np.float64) / 257.0
        elif mode == "F":
            top = float(np.nanmax(grey)) if grey.size else 0.0
            grey = grey * 255.0 if top <= 1.0 else grey
        else:  # 32-bit integers: 16-bit data is the usual content
            top = int(grey.max()) if grey.size else 0
            grey = grey / 257.0 if top > 255 else grey
        grey = np.clip(np.rint(np.nan_to_num(grey)), 0, 255).astype(np.uint8)
        return np.repeat(grey[..., None], 3, axis=2)
    return np.array(picture.convert("RGB"))


@contextmanager
def atomic_output(path, mode: str = "wb"):
    """Write a file all at once: yields a file object on a temporary file in the same folder,
    renamed to ``path`` when the block ends without an exception and removed otherwise."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent or ".")
    try:
        with os.fdopen(fd, mode) as f:
            yield f
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
