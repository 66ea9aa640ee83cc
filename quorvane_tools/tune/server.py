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
import contextlib
import http
import io
import ipaddress
import json
import math
import queue
import re
import selectors
import socket
import socketserver
import struct
import sys
import threading
import time
import traceback
import zlib
from http.server import BaseHTTPRequestHandler
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


# Limits of the server. Every request is answered by one of a fixed pool of threads; a
# connection between requests (or while its request's head is still arriving) costs no thread:
# one loop watches them all.
POOL_SIZE = 8  # worker threads
BACKLOG = 128  # connections the kernel queues before the loop accepts them
MAX_CONNECTIONS = 512  # open connections; past it, the one idle longest is closed
MAX_HEAD = 1 << 16  # bytes of a request's line and headers
HEADER_TIMEOUT = 10.0  # seconds from a request's first byte to the end of its headers
IDLE_TIMEOUT = 30.0  # seconds a kept-alive connection may wait for its next request
WRITE_TIMEOUT = 20.0  # seconds to send one response to a client that reads slowly
HEAVY = ("/api/suggest", "/api/update")  # requests that compute on the whole picture
HEAVY_SLOTS = 2  # heavy computations at once, over all clients
HEAVY_WAITING = 4  # heavy requests that may wait for their turn; more are refused at once
HEAVY_WAIT = 5.0  # seconds a heavy request waits for its turn before it is refused
RETRY_AFTER = 1  # seconds, in the Retry-After of a 503

_HEAD_END = re.compile(rb"\r?\n\r?\n")


class Busy(Exception):
    """No turn for a heavy computation: answered with 503 and Retry-After."""


class HeavyGate:
    """Turns for heavy computations: one at a time per client (its IP address; a page's
    requests all come from one), at most ``slots`` over all clients. A request waits up to
    ``wait`` seconds for its turn, behind at most ``waiting`` others; past that, Busy."""

    def __init__(self, slots: int = HEAVY_SLOTS, waiting: int = HEAVY_WAITING, wait: float = HEAVY_WAIT):
        self.slots, self.waiting, self.wait = slots, waiting, wait
        self._cond = threading.Condition()
        self._clients: set = set()  # clients with a computation running
        self._queued = 0

    def _free(self, client) -> bool:
        return len(self._clients) < self.slots and client not in self._clients

    @contextlib.contextmanager
    def turn(self, client):
        with self._cond:
            if not self._free(client):
                if self._queued >= self.waiting:
                    raise Busy
                self._queued += 1
                try:
                    if not self._cond.wait_for(lambda: self._free(client), self.wait):
                        raise Busy
                finally:
                    self._queued -= 1
            self._clients.add(client)
        try:
            yield
        finally:
            with self._cond:
                self._clients.discard(client)
                self._cond.notify_all()

    @property
    def running(self) -> int:
        with self._cond:
            return len(self._clients)


class _Connection:
    """One client connection: its socket, the bytes read and not yet used, and, once a whole
    request head has arrived, that head (or the error status it earned)."""

    __slots__ = ("sock", "address", "buffer", "head", "error", "deadline")

    def __init__(self, sock, address):
        self.sock, self.address = sock, address
        self.buffer = bytearray()
        self.head: bytes | None = None
        self.error: tuple[int, str] | None = None
        self.deadline = 0.0

    def take_head(self, max_head: int) -> bool:
        """Cut a whole request head off the buffer into ``head`` (or mark a head too long
        in ``error``); False while more bytes are needed."""
        end = _HEAD_END.search(self.buffer)
        if end is None or end.end() > max_head:
            if len(self.buffer) <= max_head:
                return False
            first = self.buffer.find(b"\n")
            self.error = (414, "request line too long") if first < 0 or first > max_head else \
                (431, "request headers too long")
            return True
        self.head = bytes(self.buffer[: end.end()])
        del self.buffer[: end.end()]
        return True

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass


class _Reply:
    """The handler's wfile: collects the response, sent in one write by ``send``."""

    def __init__(self, sock):
        self.sock, self.parts = sock, []

    def write(self, data) -> int:
        self.parts.append(data)
        return len(data)

    def flush(self) -> None:
        pass

    def send(self) -> None:
        if self.parts:
            data, self.parts = b"".join(self.parts), []
            self.sock.sendall(data)


class TuneHandler(BaseHTTPRequestHandler):
    """One request. Made by a worker for a connection whose request head has arrived whole,
    so reading it never waits on the client."""

    server: TuneServer
    server_version = "quorvane-tune"
    sys_version = ""
    protocol_version = "HTTP/1.1"

    def setup(self):
        conn = self.request
        self.connection = conn.sock
        self.rfile = io.BytesIO(conn.head)
        self.wfile = _Reply(conn.sock)

    def handle(self):
        self.close_connection = True
        self.handle_one_request()
        self.wfile.send()

    def finish(self):
        pass

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        if self.server.verbose:
            super().log_message(format, *args)

    def _send(self, status: int, body: bytes, ctype: str = "text/plain; charset=utf-8", head_only=False,
              headers=()):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for k, v in SECURITY_HEADERS.items():
            self.send_header(k, v)
        for k, v in headers:
            self.send_header(k, v)
        if status >= 400:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if not head_only:
            self.wfile.write(body)

    def _refuse(self, status: int, reason: str, headers=()):
        self._send(status, (reason + "\n").encode(), headers=headers)

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
            if path in HEAVY:
                with self.server.heavy.turn(self.client_address[0]):
                    if path == "/api/suggest":
                        result = app.suggest(parse_query(query, ("box", "outside")))
                    else:
                        fields = parse_query(query, ("hue", "chroma", "intensity", "fit", "radius", "seed", "points"))
                        result = app.update(fields)
                return self._send(200, _json(result), "application/json")
            if path == "/image.png":
                parse_query(query, ())
                return self._send(200, app.picture(), "image/png")
            if path == "/api/info":
                parse_query(query, ())
                return self._send(200, _json(app.info()), "application/json")
            if path == "/api/mask":
                png = app.mask(parse_query(query, ("hue", "chroma", "intensity")))
                return self._send(200, png, "image/png")
        except Busy:
            return self._refuse(503, "busy: other computations are running; try again in a moment",
                                headers=[("Retry-After", str(RETRY_AFTER))])
        except ValueError as e:  # BadRequest, or the library's refusal of the values
            return self._refuse(400, str(e).splitlines()[0] if str(e) else "bad request")
        except MemoryError:
            return self._refuse(503, "out of memory; try a smaller box", headers=[("Retry-After", str(RETRY_AFTER))])
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


class TuneServer(socketserver.TCPServer):
    """The HTTP server of one TuneApp; `port` 0 picks a free port.

    ``serve_forever`` runs one loop that accepts connections and watches every connection that
    waits for a request (idle keep-alive connections, heads still arriving) without a thread of
    its own; a request whose head has arrived whole goes to a pool of ``pool_size`` worker
    threads, which answer it and hand the connection back. Deadlines: ``header_timeout`` from a
    request's first byte to the end of its head, ``idle_timeout`` between requests,
    ``write_timeout`` to send a response; heavy requests take turns (HeavyGate)."""

    allow_reuse_address = True
    request_queue_size = BACKLOG
    pool_size = POOL_SIZE
    max_connections = MAX_CONNECTIONS
    max_head = MAX_HEAD
    header_timeout = HEADER_TIMEOUT
    idle_timeout = IDLE_TIMEOUT
    write_timeout = WRITE_TIMEOUT

    def __init__(self, app: TuneApp, host: str = "127.0.0.1", port: int = 0, *, verbose: bool = False):
        ip = ipaddress.ip_address(host)
        self.address_family = socket.AF_INET6 if ip.version == 6 else socket.AF_INET
        self.app = app
        self.verbose = verbose
        self.heavy = HeavyGate()
        self._ready: queue.SimpleQueue = queue.SimpleQueue()  # connections with a whole head
        self._back: collections.deque = collections.deque()  # connections the workers hand back
        self._parked: dict = {}  # socket -> _Connection, watched by the loop (oldest first)
        self._open = 0  # connections accepted and not closed
        self._lock = threading.Lock()
        self._workers: list[threading.Thread] = []
        self._stop = False
        self._serving = threading.Event()
        self._done = threading.Event()
        self._done.set()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        try:
            super().__init__((ip.compressed, port), TuneHandler)
        except BaseException:
            self._wake_r.close()
            self._wake_w.close()
            raise
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

    @property
    def connections(self) -> int:
        """Connections open now."""
        with self._lock:
            return self._open

    # ---------------------------------------------------------------- the loop

    def serve_forever(self, poll_interval: float = 0.5) -> None:
        self._stop = False
        self._done.clear()
        self._start_workers()
        sel = selectors.DefaultSelector()
        self.socket.setblocking(False)
        sel.register(self.socket, selectors.EVENT_READ, "accept")
        sel.register(self._wake_r, selectors.EVENT_READ, "wake")
        for conn in self._parked.values():
            sel.register(conn.sock, selectors.EVENT_READ, conn)
        self._serving.set()
        try:
            next_sweep = 0.0
            while not self._stop:
                for key, _ in sel.select(min(poll_interval, 0.25)):
                    if key.data == "accept":
                        self._accept(sel)
                    elif key.data == "wake":
                        try:
                            while self._wake_r.recv(4096):
                                pass
                        except BlockingIOError:
                            pass
                    else:
                        self._read(sel, key.data)
                self._take_back(sel)
                now = time.monotonic()
                if now >= next_sweep:
                    self._sweep(sel, now)
                    next_sweep = now + 0.25
        finally:
            sel.close()
            self._serving.clear()
            self._done.set()

    def shutdown(self) -> None:
        """Stop serve_forever (running in another thread) and wait until it has."""
        self._stop = True
        self._wake()
        if self._serving.is_set():
            self._done.wait()

    def server_close(self) -> None:
        """Close the listening socket and every connection, and let the workers go."""
        self._stop = True
        super().server_close()
        for _ in self._workers:
            self._ready.put(None)
        end = time.monotonic() + 1.0  # a worker still computing is a daemon: it does not hold the exit
        for t in self._workers:
            t.join(timeout=max(0.0, end - time.monotonic()))
        self._workers = []
        for conn in list(self._parked.values()):
            self._close(conn)
        self._parked.clear()
        while self._back:
            self._close(self._back.popleft())
        for s in (self._wake_r, self._wake_w):
            s.close()

    def _wake(self) -> None:
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass  # full (the loop will wake anyway) or closed

    def _accept(self, sel) -> None:
        for _ in range(64):
            try:
                sock, address = self.socket.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError:  # out of file descriptors, ...: make room, try on the next turn
                if not self._evict(sel):
                    time.sleep(0.01)
                return
            with self._lock:
                full = self._open >= self.max_connections
            if full and not self._evict(sel):
                sock.close()
                continue
            try:
                sock.setblocking(False)
                if sock.family in (socket.AF_INET, socket.AF_INET6):
                    # Headers and body leave in one write, but a response bigger than a
                    # segment still must not wait for the client's delayed ACK.
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except OSError:
                sock.close()
                continue
            conn = _Connection(sock, address)
            with self._lock:
                self._open += 1
            self._park(sel, conn, time.monotonic() + self.idle_timeout)

    def _park(self, sel, conn, deadline) -> None:
        conn.deadline = deadline
        self._parked[conn.sock] = conn
        sel.register(conn.sock, selectors.EVENT_READ, conn)

    def _unpark(self, sel, conn) -> None:
        del self._parked[conn.sock]
        sel.unregister(conn.sock)

    def _evict(self, sel) -> bool:
        """Close the connection that has waited longest for a request; False if none waits."""
        for conn in self._parked.values():
            self._unpark(sel, conn)
            self._close(conn)
            return True
        return False

    def _read(self, sel, conn) -> None:
        try:
            data = conn.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:  # the client closed, or reset
            self._unpark(sel, conn)
            self._close(conn)
            return
        if not conn.buffer:  # the first byte of a request: its head must follow in time
            conn.deadline = time.monotonic() + self.header_timeout
        conn.buffer += data
        if conn.take_head(self.max_head):
            self._unpark(sel, conn)
            self._ready.put(conn)

    def _take_back(self, sel) -> None:
        while self._back:
            conn = self._back.popleft()
            if self._stop:
                self._close(conn)
            elif conn.take_head(self.max_head):  # the next request was already there
                self._ready.put(conn)
            else:
                wait = self.header_timeout if conn.buffer else self.idle_timeout
                self._park(sel, conn, time.monotonic() + wait)

    def _sweep(self, sel, now) -> None:
        for conn in [c for c in self._parked.values() if c.deadline <= now]:
            self._unpark(sel, conn)
            self._close(conn)

    def _close(self, conn) -> None:
        conn.close()
        with self._lock:
            self._open -= 1

    # ---------------------------------------------------------------- the workers

    def _start_workers(self) -> None:
        self._workers = [t for t in self._workers if t.is_alive()]
        while len(self._workers) < self.pool_size:
            t = threading.Thread(target=self._work, name=f"quorvane-tune-worker-{len(self._workers)}", daemon=True)
            t.start()
            self._workers.append(t)

    def _work(self) -> None:
        while True:
            conn = self._ready.get()
            if conn is None:
                return
            keep = False
            try:
                keep = self._answer(conn)
            except OSError:
                pass  # reset, closed or too slow a reader: nothing to tell anyone
            except Exception:  # a fault of this server: tell whoever runs it
                traceback.print_exc(file=sys.stderr)
            if keep and not self._stop:
                conn.head = None
                self._back.append(conn)
                self._wake()
            else:
                self._close(conn)

    def _answer(self, conn) -> bool:
        """Answer the request in conn.head; True when the connection stays open for the next."""
        conn.sock.settimeout(self.write_timeout)
        try:
            if conn.error is not None:
                status, reason = conn.error
                body = (reason + "\n").encode()
                conn.sock.sendall(
                    f"HTTP/1.1 {status} {http.HTTPStatus(status).phrase}\r\nContent-Type: text/plain; "
                    f"charset=utf-8\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n".encode() + body
                )
                return False
            handler = TuneHandler(conn, conn.address, self)
            return not handler.close_connection
        finally:
            conn.sock.setblocking(False)
