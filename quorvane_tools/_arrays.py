"""Turning what users have (Pillow pictures, OpenCV frames, boxes) into what the library takes."""

from __future__ import annotations

import threading
from pathlib import Path

import numpy as np

from . import _checks
from ._outputs import OutputError, atomic_output, output_target

# The outputs' parts, importable from here as they always were.
from ._outputs import _KINDS, _is_stdout, _kind, _umask, _why  # noqa: F401

__all__ = [
    "ImageError", "OutputError", "MAX_PIXELS", "as_rgb", "region_mask", "load_image", "atomic_output",
    "output_target",
]


class ImageError(ValueError):
    """A picture that cannot be read or used, with a one-line reason.

    A ``ValueError``: the functions that take pictures raise it for a file that is missing or
    unreadable, a picture too large, or an array that is no picture.

    Examples
    --------
    >>> import numpy as np
    >>> try:
    ...     as_rgb(np.zeros((4, 4, 2), np.uint8))
    ... except ImageError as e:
    ...     print(e)
    expected an RGB image (rows, columns, 3), got shape (4, 4, 2)
    """


def as_rgb(image) -> np.ndarray:
    """A writable, C-contiguous (rows, columns, 3) uint8 array for the image passes.

    Parameters
    ----------
    image : array_like
        An RGB (rows, columns, 3) or RGBA (rows, columns, 4) picture, or a grey (rows, columns)
        one; uint8, or any numbers (floats in [0, 1] are scaled to 255; values are rounded and
        clipped to 0..255).

    Returns
    -------
    numpy.ndarray
        The picture itself when it already is such an array; otherwise a copy (read-only arrays
        such as ``np.asarray`` of a Pillow image, views such as ``frame[..., ::-1]``, crops).
        Grey pictures are repeated into three channels and RGBA drops its alpha.

    Raises
    ------
    ImageError
        When ``image`` is no picture (another shape, booleans, objects).

    Examples
    --------
    >>> import numpy as np
    >>> grey = np.array([[0, 128], [255, 64]], np.uint8)
    >>> rgb = as_rgb(grey)
    >>> rgb.shape, rgb[0, 1].tolist()
    ((2, 2, 3), [128, 128, 128])
    >>> as_rgb(rgb) is rgb
    True
    """
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
    """A boolean (rows, columns) mask from a box or a boolean mask.

    Parameters
    ----------
    shape : tuple
        The picture's shape; its first two values are (rows, columns).
    region : tuple or array_like
        A box ``(x, y, w, h)`` in pixels from the top-left corner, or a boolean mask of the
        picture's (rows, columns).
    name : str, optional
        The region's name in error messages.

    Returns
    -------
    numpy.ndarray
        A (rows, columns) boolean mask. A box is clipped to the picture.

    Raises
    ------
    ValueError
        For a box without area, one wholly outside the picture, or a mask of another shape.

    Examples
    --------
    >>> m = region_mask((120, 160), (150, 100, 40, 40))   # clipped to 10 x 20 pixels
    >>> m.shape, int(m.sum())
    ((120, 160), 200)
    """
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
    x0, y0, x1, y1 = _checks.box(shape, arr.tolist(), name if name.endswith("box") else f"{name} box")
    mask = np.zeros((rows, cols), bool)
    mask[y0:y1, x0:x1] = True
    return mask


MAX_PIXELS = 100_000_000
"""Default limit on the pixels of one picture: 100 megapixels (an 8K video frame is 33)."""

_pillow_lock = threading.Lock()


def _too_large(path, w: int, h: int, max_pixels: int) -> ImageError:
    return ImageError(
        f"{path}: {w} x {h} is {w * h:,} pixels, more than the limit of {max_pixels:,} "
        "(--max-pixels N raises it)"
    )


def load_image(path, *, max_pixels: int | None = MAX_PIXELS) -> np.ndarray:
    """An RGB picture file as a writable (rows, columns, 3) uint8 array.

    Parameters
    ----------
    path : str or os.PathLike
        The file: ``.npy`` files are read with NumPy, everything else with Pillow (the ``demo``
        extra).
    max_pixels : int or None, optional
        A picture of more pixels than this (rows x columns) is refused from its header, before
        anything is decoded; None for no limit. Pillow's own guard against decompression bombs
        is replaced by this limit.

    Returns
    -------
    numpy.ndarray
        The picture as RGB (grey and palette pictures converted, alpha dropped).

    Raises
    ------
    ImageError
        For a file that is missing, unreadable or too large, with a one-line reason.

    Examples
    --------
    >>> import numpy as np, os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "grey.npy")
    >>> np.save(path, np.zeros((3, 4), np.uint8))
    >>> load_image(path).shape
    (3, 4, 3)
    >>> load_image(path, max_pixels=10)
    Traceback (most recent call last):
    ...
    quorvane_tools._arrays.ImageError: ...
    """
    path = Path(path)
    if not path.exists():
        raise ImageError(f"{path}: no such file")
    if path.is_dir():
        raise ImageError(f"{path}: is a folder, not a picture")
    try:
        if path.suffix.lower() == ".npy":
            _check_npy_size(path, max_pixels)
            img = np.load(path, allow_pickle=False)
        else:
            img = _load_pillow(path, max_pixels)
    except ImageError:
        raise
    except MemoryError:
        raise
    except (OSError, ValueError, SyntaxError) as e:
        raise ImageError(f"{path}: cannot read it ({e})") from None
    if img.size == 0:
        raise ImageError(f"{path}: the picture is empty")
    try:
        return as_rgb(img)
    except ImageError as e:
        raise ImageError(f"{path}: {e}") from None


def _check_npy_size(path, max_pixels) -> None:
    """Refuse a .npy array of more pixels than the limit, from its header."""
    if max_pixels is None:
        return
    fmt = np.lib.format
    with open(path, "rb") as f:
        version = fmt.read_magic(f)
        read = fmt.read_array_header_1_0 if version == (1, 0) else fmt.read_array_header_2_0
        shape, _, _ = read(f)
    if len(shape) >= 2 and shape[0] * shape[1] > max_pixels:
        raise _too_large(path, shape[1], shape[0], max_pixels)


def _load_pillow(path, max_pixels):
    try:
        from PIL import Image, UnidentifiedImageError
    except ImportError:
        raise ImageError("reading pictures needs Pillow: python3 -m pip install 'quorvane[demo]'") from None
    # Pillow's guard (a warning past Image.MAX_IMAGE_PIXELS, an error past twice that) is
    # switched off while the file is opened: the size is checked here, against max_pixels,
    # before the picture is decoded. Only the opening reads the setting.
    with _pillow_lock:
        saved = Image.MAX_IMAGE_PIXELS
        Image.MAX_IMAGE_PIXELS = None
        try:
            f = Image.open(path)
        except UnidentifiedImageError:
            raise ImageError(f"{path}: not a picture Pillow can read") from None
        except Image.DecompressionBombError as e:  # only if another thread set the guard again
            raise ImageError(f"{path}: more than the limit of {max_pixels:,} pixels ({e})") from None
        finally:
            Image.MAX_IMAGE_PIXELS = saved
    with f:
        w, h = f.size
        if max_pixels is not None and w * h > max_pixels:
            raise _too_large(path, w, h, max_pixels)
        return _pillow_rgb(f)



def _pillow_rgb(picture):
    """A Pillow picture as 8-bit RGB, converted a band of rows at a time (the whole picture is
    held once by Pillow and once as the result, never as a third copy). Deep grey modes
    (16-bit, 32-bit integer, float) are scaled to 0..255 by their type's range;
    ``convert("RGB")`` would clip them to white."""
    picture.load()
    w, h = picture.size
    mode = picture.mode
    out = np.empty((h, w, 3), np.uint8)
    step = max(1, (1 << 18) // max(w, 1))  # rows per band: about a quarter of a megapixel
    bands = [(y, min(y + step, h)) for y in range(0, h, step)]
    deep = mode.startswith("I;16") or mode in ("I", "F")
    top = 0.0
    if mode in ("I", "F"):  # the scale depends on the largest value of the whole picture
        for y0, y1 in bands:
            grey = np.asarray(picture.crop((0, y0, w, y1)))
            if grey.size:
                top = max(top, float(np.nanmax(grey)) if mode == "F" else float(grey.max()))
    for y0, y1 in bands:
        part = picture.crop((0, y0, w, y1))
        if not deep:
            out[y0:y1] = np.asarray(part.convert("RGB"))
            continue
        grey = np.asarray(part)
        if mode.startswith("I;16"):
            grey = grey.astype(np.float64) / 257.0
        elif mode == "F":
            grey = grey * 255.0 if top <= 1.0 else grey
        else:  # 32-bit integers: 16-bit data is the usual content
            grey = grey / 257.0 if top > 255 else grey
        out[y0:y1] = np.clip(np.rint(np.nan_to_num(grey)), 0, 255).astype(np.uint8)[..., None]
    return out
