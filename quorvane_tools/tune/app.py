"""The application of `quorvane tune`: the picture, what the endpoints compute on it, and
the answers' encodings (the mask as PNG, JSON)."""

from __future__ import annotations

import collections
import io
import json
import math
import struct
import threading
import time
import zlib
from importlib import resources

import numpy as np

import quorvane_tools as qt

from .query import DECIMALS, BadRequest, _numbers, parse_box, parse_window

# Page files: URL path -> (file in static/, content type). Nothing else is served from disk.
STATIC = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/tune.js": ("tune.js", "text/javascript; charset=utf-8"),
    "/tune.css": ("tune.css", "text/css; charset=utf-8"),
}
FITS = ("none", "line", "line2", "circle", "ellipse")


TINT = (255, 40, 200, 150)  # RGBA of selected pixels in the overlay


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def mask_png(mask: np.ndarray, tint=TINT) -> bytes:
    """A mask as a 1-bit palette PNG: 0 transparent, non-zero the tint.

    Written directly (rows of packed bits, zlib level 1): a few milliseconds for 1080p, where
    a general encoder takes several times as long.

    Parameters
    ----------
    mask : ndarray
        (rows, columns); non-zero pixels are tinted.
    tint : (r, g, b, a), default TINT

    Returns
    -------
    bytes
        The PNG file.
    """
    h, w = mask.shape
    rows = np.packbits(mask != 0, axis=1)
    raw = np.empty((h, rows.shape[1] + 1), np.uint8)
    raw[:, 0] = 0  # filter type None for every row
    raw[:, 1:] = rows
    return b"".join(
        (
            b"\x89PNG\r\n\x1a\n",
            _chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 1, 3, 0, 0, 0)),
            _chunk(b"PLTE", bytes((0, 0, 0, *tint[:3]))),
            _chunk(b"tRNS", bytes((0, tint[3]))),
            _chunk(b"IDAT", zlib.compress(raw.tobytes(), 1)),
            _chunk(b"IEND", b""),
        )
    )


def _plain(value):
    """JSON fallback for NumPy scalars and tuples inside records."""
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"{type(value).__name__} is not JSON serialisable")


def _finite(value):
    """A record with NaN and infinities (a degenerate fit) as None, which JSON can carry."""
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    if isinstance(value, (float, np.floating)) and not math.isfinite(value):
        return None
    return value


def _json(obj) -> bytes:
    return json.dumps(obj, default=_plain, allow_nan=False, separators=(",", ":")).encode()


class TuneApp:
    """State of one `quorvane tune` session: the picture and small caches.

    Parameters
    ----------
    image : ndarray
        The picture, (rows, columns, 3) uint8 RGB.
    name : str, default "image"
        The name the page shows.

    Notes
    -----
    Each endpoint is one method: `static` (page files), `picture` (``/image.png``), `info`,
    `suggest`, `update` and `mask`. They take the query's fields (a dict of str) and raise
    BadRequest (a ValueError) for one they refuse.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvane_tools.tune.server import TuneApp
    >>> app = TuneApp(np.zeros((60, 80, 3), np.uint8), "black.png")
    >>> app.info()
    {'name': 'black.png', 'width': 80, 'height': 60, 'radius': [8, 30]}
    >>> app.update({"intensity": "0.5,1"})["count"]
    0
    >>> app.update({"intensity": "1,0.5"})
    Traceback (most recent call last):
    ...
    quorvane_tools.tune.server.BadRequest: intensity needs its lower limit below its upper limit, got '1,0.5'
    """

    def __init__(self, image: np.ndarray, name: str = "image"):
        image = np.asarray(image)
        if image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3:
            raise ValueError(f"expected an RGB image of uint8 (rows, columns, 3), got {image.dtype} {image.shape}")
        if not (image.flags.c_contiguous and image.flags.writeable):
            image = image.copy()
        self.image = image
        self.height, self.width = image.shape[:2]
        self.name = name
        self.radius = (8, max(8, min(self.width, self.height) // 2))
        self._fit_lock = threading.Lock()  # the fitters share the C library's generator
        self._masks_lock = threading.Lock()
        self._masks: collections.OrderedDict[qt.Window, bytes] = collections.OrderedDict()
        self._suggestions: collections.OrderedDict = collections.OrderedDict()
        self._png: bytes | None = None
        self._static: dict[str, bytes] = {}
        folder = resources.files(__package__) / "static"
        for file, _ in STATIC.values():
            self._static[file] = (folder / file).read_bytes()

    def static(self, path: str) -> tuple[bytes, str] | None:
        entry = STATIC.get(path)
        if entry is None:
            return None
        return self._static[entry[0]], entry[1]

    def picture(self) -> bytes:
        """The picture as PNG (encoded on first use, fast compression)."""
        if self._png is None:
            from PIL import Image

            out = io.BytesIO()
            Image.fromarray(self.image).save(out, format="PNG", compress_level=1)
            self._png = out.getvalue()
        return self._png

    def info(self) -> dict:
        return {"name": self.name, "width": self.width, "height": self.height, "radius": list(self.radius)}

    def suggest(self, fields) -> dict:
        box = parse_box(fields, "box", self.width, self.height)
        outside = parse_box(fields, "outside", self.width, self.height) if "outside" in fields else None
        s = self._suggestion(box, outside)
        window = s.window.rounded(DECIMALS)
        return {
            "window": window.to_dict(),
            "flags": window.flags(),
            "box": list(box),
            "outside": list(outside) if outside else None,
            "inside_fraction": s.inside_fraction,
            "outside_fraction": s.outside_fraction,
            "image_fraction": s.image_fraction,
        }

    def _suggestion(self, box, outside):
        """suggest_window on the picture, remembered for the last few boxes (the page asks
        again for the same box when it is reloaded or opened from a link)."""
        key = (tuple(box), tuple(outside) if outside else None)
        with self._masks_lock:
            s = self._suggestions.get(key)
        if s is None:
            s = qt.suggest_window(self.image, box, outside)
            with self._masks_lock:
                self._suggestions[key] = s
                while len(self._suggestions) > 8:
                    self._suggestions.popitem(last=False)
        return s

    def _fit_options(self, fields):
        fit = fields.get("fit", "none")
        if fit not in FITS:
            raise BadRequest(f"fit must be one of {', '.join(FITS)}, got {fit!r}")
        limit = max(self.width, self.height)
        radius = None
        if fit in ("circle", "ellipse"):
            radius = tuple(_numbers(fields, "radius", 2, int, 1, limit)) if "radius" in fields else self.radius
            if radius[0] > radius[1]:
                raise BadRequest(f"radius needs MIN <= MAX, got {fields['radius']!r}")
        seed = _numbers(fields, "seed", 1, int, 0, 2**31 - 1)[0] if "seed" in fields else 1
        box = parse_box(fields, "box", self.width, self.height) if "box" in fields and fit != "none" else None
        return fit, radius, seed, box

    @staticmethod
    def fit_flags(fit, radius, seed, box=None) -> str:
        """The `quorvane find` options that repeat the page's fit (with the page's box, which
        names the object under the window)."""
        if fit == "none":
            return ""
        flags = f"--fit {fit}"
        if box is not None:
            flags = f"--box {box[0]} {box[1]} {box[2]} {box[3]} " + flags
        if radius is not None:
            flags += f" --radius {radius[0]} {radius[1]}"
        return flags + f" --seed {seed}"

    def _remember_mask(self, window, mask) -> bytes:
        png = mask_png(mask)
        with self._masks_lock:
            self._masks[window] = png
            self._masks.move_to_end(window)
            while len(self._masks) > 4:
                self._masks.popitem(last=False)
        return png

    def update(self, fields) -> dict:
        t0 = time.perf_counter()
        window = parse_window(fields)
        fit, radius, seed, box = self._fit_options(fields)
        points = fields.get("points", "1")
        if points not in ("0", "1"):
            raise BadRequest(f"points must be 0 or 1, got {points!r}")
        with self._fit_lock:
            found = qt.find_shapes(self.image, window, (fit,) if fit != "none" else (), radius=radius, seed=seed,
                                   box=box)
        count = int(np.count_nonzero(found.mask))
        self._remember_mask(window, found.mask)
        shapes = []
        for shape in found.shapes:
            record = _finite(shape.to_dict())
            record.update(found=bool(shape.found), text=shape.describe())
            shapes.append(record)
        return {
            "window": window.to_dict(),
            "flags": window.flags(),
            "fit_flags": self.fit_flags(fit, radius, seed, box),
            "count": count,
            "fraction": count / (self.width * self.height),
            "shapes": shapes,
            "points": np.asarray(found.points, dtype=np.int32).reshape(-1).tolist() if points == "1" else [],
            "times": {k: round(v * 1000, 3) for k, v in found.times.items()},
            "ms": round((time.perf_counter() - t0) * 1000, 3),
        }

    def mask(self, fields) -> bytes:
        window = parse_window(fields)
        with self._masks_lock:
            png = self._masks.get(window)
        if png is None:
            png = self._remember_mask(window, window.mask(self.image))
        return png
