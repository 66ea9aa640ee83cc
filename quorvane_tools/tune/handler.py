"""One HTTP request of the tune page: the host check, the headers every answer carries, and
the endpoints mapped onto the application."""

from __future__ import annotations

import io
import ipaddress
import sys
import traceback
from http.server import BaseHTTPRequestHandler
from typing import TYPE_CHECKING
from urllib.parse import urlsplit

from .app import _json
from .limits import HEAVY, MAX_TARGET, RETRY_AFTER, Busy
from .query import parse_query

if TYPE_CHECKING:
    from .serving import TuneServer

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

    def _send(self, status: int, body: bytes, ctype: str = "text/plain; charset=utf-8", headers=()):
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
                        fields = parse_query(query, ("hue", "chroma", "intensity", "fit", "radius", "seed", "points",
                                                     "box"))
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
