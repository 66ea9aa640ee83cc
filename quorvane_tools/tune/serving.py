"""The tune server's connections: one loop that accepts and watches them, a pool of workers
that answer the requests whose heads have arrived whole."""

from __future__ import annotations

import collections
import http
import ipaddress
import queue
import re
import selectors
import socket
import socketserver
import sys
import threading
import time
import traceback

from .app import TuneApp
from .handler import TuneHandler, allowed_hosts
from .limits import (
    BACKLOG,
    HEADER_TIMEOUT,
    IDLE_TIMEOUT,
    MAX_CONNECTIONS,
    MAX_HEAD,
    POOL_SIZE,
    WRITE_TIMEOUT,
    HeavyGate,
)

_HEAD_END = re.compile(rb"\r?\n\r?\n")


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


class TuneServer(socketserver.TCPServer):
    """The HTTP server of one TuneApp.

    Parameters
    ----------
    app : TuneApp
    host : str, default "127.0.0.1"
        An IP address (v4 or v6); requests must carry it, with the port, as their Host.
    port : int, default 0
        0 picks a free port (then in ``server_port``, and in ``url``).
    verbose : bool, default False
        Log each request on standard error.

    Notes
    -----
    ``serve_forever`` runs one loop that accepts connections and watches every connection that
    waits for a request (idle keep-alive connections, heads still arriving) without a thread of
    its own; a request whose head has arrived whole goes to a pool of ``pool_size`` worker
    threads, which answer it and hand the connection back. Deadlines: ``header_timeout`` from a
    request's first byte to the end of its head, ``idle_timeout`` between requests,
    ``write_timeout`` to send a response; heavy requests take turns (HeavyGate). ``shutdown``
    (from another thread) stops the loop, ``server_close`` closes every connection.

    Examples
    --------
    >>> import threading, urllib.request
    >>> import numpy as np
    >>> from quorvane_tools.tune.server import TuneApp, TuneServer
    >>> server = TuneServer(TuneApp(np.zeros((60, 80, 3), np.uint8), "black.png"))
    >>> threading.Thread(target=server.serve_forever, daemon=True).start()
    >>> urllib.request.urlopen(server.url + "api/info").read()
    b'{"name":"black.png","width":80,"height":60,"radius":[8,30]}'
    >>> server.shutdown(); server.server_close()
    """

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
