"""The web server behind `quorvane tune`: one picture, a fixed set of page files and
four small endpoints that run the library on the picture.

    GET /               the page (index.html); tune.js and tune.css beside it
    GET /image.png      the picture, encoded once at start
    GET /api/info       {"name", "width", "height", "radius": [min, max]}
    GET /api/suggest    ?box=X,Y,W,H[&outside=X,Y,W,H]  -> a window suggested from the box
    GET /api/update     ?hue=A,B&chroma=C,D&intensity=E,F[&fit=...&radius=MIN,MAX&seed=N]
                        -> count of selected pixels, flags, fitted shapes, edge points
    GET /api/mask       ?hue=A,B&chroma=C,D&intensity=E,F -> the mask as a PNG overlay: a
                        1-bit palette picture, selected pixels tinted and translucent, the
                        others transparent

Nothing in a request reaches the file system: page files are read from the package
once, into memory, and looked up in a fixed table. Requests must carry the Host the
server was bound to (a page on another site that points its own name at 127.0.0.1
cannot talk to the server), may not have a body, and every query value is checked;
a bad one gets 400 with the reason as plain text.
"""

from __future__ import annotations

import collections
import io
import ipaddress
import json
import math
import socket
import socketserver
import struct
import sys
import threading
import time
import traceback
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from urllib.parse import parse_qsl, urlsplit

import numpy as np

import quorvane as qv
import quorvane_tools as qt

# Page files: URL path -> (file in static/, content type). Nothing else is served from disk.
STATIC = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/tune.js": ("tune.js", "text/javascript; charset=utf-8"),
    "/tune.css": ("tune.css", "text/css; charset=utf-8"),
}
FITS = ("none", "line", "line2", "circle", "ellipse")
MAX_TARGET = 2048  # longest request path with query
MAX_VALUE = 64  # longest query value
MAX_FIELDS = 12
DECIMALS = 4  # the page's step, and the precision of Window.flags()
HUE_RANGE = (-7.0, 7.0)  # radians; a wedge may run past +-pi
BAND_RANGE = (-1.0, 2.0)  # chroma and intensity limits, fractions of the channel range
MIN_WIDTH = 1e-3  # hue wedge width kept away from 0 and pi, where the bounds overflow
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
    # Other sites' pages may not even embed the picture or the mask (they could show them
    # to their visitor, though not read them).
    "Cross-Origin-Resource-Policy": "same-origin",
    "Cross-Origin-Opener-Policy": "same-origin",
}


class BadRequest(ValueError):
    """A query the server refuses; the message is sent back with status 400."""


# --------------------------------------------------------------------------
# Query values


def parse_query(query: str, allowed: tuple[str, ...]) -> dict[str, str]:
    """The query's fields as a dict; unknown, repeated or overlong fields are refused."""
    try:
        pairs = parse_qsl(query, keep_blank_values=True, max_num_fields=MAX_FIELDS)
    except ValueError:
        raise BadRequest(f"too many query fields (at most {MAX_FIELDS})") from None
    fields: dict[str, str] = {}
    for key, value in pairs:
        if key not in allowed:
            raise BadRequest(f"unknown query field {key[:MAX_VALUE]!r}; expected {', '.join(allowed)}")
        if key in fields:
            raise BadRequest(f"{key} is given twice")
        if len(value) > MAX_VALUE:
            raise BadRequest(f"{key} is longer than {MAX_VALUE} characters")
        fields[key] = value
    return fields


def _numbers(fields, key, n, kind, lo, hi):
    text = fields.get(key)
    if text is None:
        raise BadRequest(f"{key} is missing")
    parts = text.split(",")
    if len(parts) != n:
        raise BadRequest(f"{key} needs {n} comma-separated numbers, got {text!r}")
    try:
        values = [kind(p) for p in parts]
    except ValueError:
        raise BadRequest(f"{key} needs {n} comma-separated numbers, got {text!r}") from None
    for v in values:
        if not (math.isfinite(v) and lo <= v <= hi):
            raise BadRequest(f"{key} values must lie in [{lo:g}, {hi:g}], got {text!r}")
    return values


def parse_window(fields) -> qt.Window:
    """The colour window of a query, each limit rounded to the page's step of 0.0001 so
    that the flags shown describe exactly the window that was computed."""
    hue = [round(v, DECIMALS) for v in _numbers(fields, "hue", 2, float, *HUE_RANGE)]
    chroma = [round(v, DECIMALS) for v in _numbers(fields, "chroma", 2, float, *BAND_RANGE)]
    intensity = [round(v, DECIMALS) for v in _numbers(fields, "intensity", 2, float, *BAND_RANGE)]
    width = hue[1] - hue[0]
    if not MIN_WIDTH <= width <= math.pi - MIN_WIDTH:
        raise BadRequest(
            f"hue needs A < B with B - A between {MIN_WIDTH:g} and pi - {MIN_WIDTH:g}, "
            f"got {fields['hue']!r}; write a wedge around red as -0.5,0.5"
        )
    for key, (a, b) in (("chroma", chroma), ("intensity", intensity)):
        if a >= b:
            raise BadRequest(f"{key} needs its lower limit below its upper limit, got {fields[key]!r}")
    return qt.Window(tuple(hue), tuple(chroma), tuple(intensity))


def parse_box(fields, key, width, height):
    """A box X,Y,W,H in pixels, clipped to the picture; refused if nothing of it is left."""
    x, y, w, h = _numbers(fields, key, 4, int, -(1 << 20), 1 << 20)
    if w <= 0 or h <= 0:
        raise BadRequest(f"{key} needs a positive width and height, got {fields[key]!r}")
    x0, y0 = max(x, 0), max(y, 0)
    x1, y1 = min(x + w, width), min(y + h, height)
    if x1 <= x0 or y1 <= y0:
        raise BadRequest(f"{key} {fields[key]!r} lies outside the {width} x {height} picture")
    return (x0, y0, x1 - x0, y1 - y0)


TINT = (255, 40, 200, 150)  # RGBA of selected pixels in the overlay


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def mask_png(mask: np.ndarray, tint=TINT) -> bytes:
    """A mask as a 1-bit palette PNG: 0 transparent, non-zero the tint. Written directly
    (rows of packed bits, zlib level 1): a few milliseconds for 1080p, where a general
    encoder takes several times as long."""
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


# --------------------------------------------------------------------------
# The application: the picture and what the endpoints compute on it


class TuneApp:
    """State of one `quorvane tune` session: the picture and small caches."""

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
        s = qt.suggest_window(self.image, box, outside)
        (h1, h2), (c1, c2), (i1, i2) = ((round(float(a), DECIMALS), round(float(b), DECIMALS)) for a, b in s)
        window = qt.Window((h1, h2), (c1, c2), (i1, i2))
        return {
            "window": window.to_dict(),
            "flags": window.flags(),
            "box": list(box),
            "outside": list(outside) if outside else None,
            "inside_fraction": s.inside_fraction,
            "outside_fraction": s.outside_fraction,
            "image_fraction": s.image_fraction,
        }

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
        return fit, radius, seed

    @staticmethod
    def fit_flags(fit, radius, seed) -> str:
        """The `quorvane find` options that repeat the page's fit."""
        if fit == "none":
            return ""
        flags = f"--fit {fit}"
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
        fit, radius, seed = self._fit_options(fields)
        points = fields.get("points", "1")
        if points not in ("0", "1"):
            raise BadRequest(f"points must be 0 or 1, got {points!r}")
        with self._fit_lock:
            found = qt.find_shapes(self.image, window, (fit,) if fit != "none" else (), radius=radius, seed=seed)
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
            "fit_flags": self.fit_flags(fit, radius, seed),
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
            png = self._remember_mask(window, qv.mask_image(self.image, window.bounds()))
        return png


# --------------------------------------------------------------------------
# HTTP


def allowed_hosts(host: str, port: int) -> frozenset[str] | None:
    """Host header values the server answers to, or None for a wildcard address, which
    answers to any IP literal with the right port (names are what DNS rebinding needs)."""
    ip = ipaddress.ip_address(host)
    if ip.is_unspecified:
        return None
    literal = f"[{ip.compressed}]" if ip.version == 6 else ip.compressed
    hosts = {f"{literal}:{port}"}
    if ip.is_loopback:
        hosts.add(f"localhost:{port}")  # browsers resolve it to this machine, never via DNS
    if port == 80:
        hosts |= {h.rsplit(":", 1)[0] for h in hosts}
    return frozenset(hosts)


def _is_ip_literal_host(value: str, port: int) -> bool:
    name, sep, p = value.rpartition(":")
    if not sep or p != str(port):
        return False
    name = name[1:-1] if name.startswith("[") and name.endswith("]") else name
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


class TuneHandler(BaseHTTPRequestHandler):
    server: TuneServer
    server_version = "quorvane-tune"
    sys_version = ""
    protocol_version = "HTTP/1.1"
    timeout = 30  # seconds a connection may idle or dribble before it is closed

    def setup(self):
        super().setup()
        # Headers and body leave in separate writes; without this, Nagle's algorithm holds
        # the body back until the client's delayed ACK, some 40 ms per response.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        if self.server.verbose:
            super().log_message(format, *args)

    def _send(self, status: int, body: bytes, ctype: str = "text/plain; charset=utf-8", head_only=False):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for k, v in SECURITY_HEADERS.items():
            self.send_header(k, v)
        if status >= 400:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if not head_only:
            self.wfile.write(body)

    def _refuse(self, status: int, reason: str):
        self._send(status, (reason + "\n").encode())

    def _check_host(self) -> bool:
        values = self.headers.get_all("Host") or []
        if len(values) != 1:
            return False
        value = values[0].strip().lower()
        allowed = self.server.allowed_hosts
        if allowed is None:
            return _is_ip_literal_host(value, self.server.server_port)
        return value in allowed

    def do_GET(self):
        if not self._check_host():
            return self._refuse(421, "this server answers only to the address it was started on")
        if self.headers.get("Transfer-Encoding") or self.headers.get("Content-Length", "0").strip() != "0":
            return self._refuse(413, "requests may not have a body")
        if len(self.path) > MAX_TARGET:
            return self._refuse(414, f"request target longer than {MAX_TARGET} characters")
        if not self.path.startswith("/"):
            return self._refuse(400, "request target must be a path")
        parts = urlsplit(self.path)
        path, query = parts.path, parts.query
        app = self.server.app
        static = app.static(path)
        if static is not None:
            return self._send(200, *static)
        if path == "/favicon.ico":
            return self._send(204, b"")
        try:
            if path == "/image.png":
                parse_query(query, ())
                return self._send(200, app.picture(), "image/png")
            if path == "/api/info":
                parse_query(query, ())
                return self._send(200, _json(app.info()), "application/json")
            if path == "/api/suggest":
                result = app.suggest(parse_query(query, ("box", "outside")))
                return self._send(200, _json(result), "application/json")
            if path == "/api/update":
                fields = parse_query(query, ("hue", "chroma", "intensity", "fit", "radius", "seed", "points"))
                return self._send(200, _json(app.update(fields)), "application/json")
            if path == "/api/mask":
                png = app.mask(parse_query(query, ("hue", "chroma", "intensity")))
                return self._send(200, png, "image/png")
        except ValueError as e:  # BadRequest, or the library's refusal of the values
            return self._refuse(400, str(e).splitlines()[0] if str(e) else "bad request")
        except Exception as e:  # a fault here: answer, and tell whoever runs the server
            traceback.print_exc(file=sys.stderr)
            return self._refuse(500, f"internal error: {type(e).__name__}")
        return self._refuse(404, "not found")

    def _method_not_allowed(self):
        self.send_response(405)
        self.send_header("Allow", "GET")
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()

    do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _method_not_allowed


class TuneServer(ThreadingHTTPServer):
    """A threading HTTP server for one TuneApp; `port` 0 picks a free port."""

    def handle_error(self, request, client_address):
        # A page that reloads or closes drops its open requests: not worth a traceback.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)

    daemon_threads = True
    request_queue_size = 16

    def __init__(self, app: TuneApp, host: str = "127.0.0.1", port: int = 0, *, verbose: bool = False):
        ip = ipaddress.ip_address(host)
        self.address_family = socket.AF_INET6 if ip.version == 6 else socket.AF_INET
        self.app = app
        self.verbose = verbose
        super().__init__((ip.compressed, port), TuneHandler)
        self.allowed_hosts = allowed_hosts(ip.compressed, self.server_port)

    def server_bind(self):
        # HTTPServer.server_bind looks up the host's fully qualified name, which can
        # wait on DNS; nothing here needs it.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def url(self) -> str:
        ip = ipaddress.ip_address(str(self.server_address[0]))
        literal = f"[{ip.compressed}]" if ip.version == 6 else ip.compressed
        return f"http://{literal}:{self.server_port}/"
