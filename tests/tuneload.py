"""Load on a `quorvane tune` server over loopback: many clients at once, a client that sends
its request a byte at a time, and connections that stay idle. Used by test_tune_load.py and
bench/bench_tune_load.py.

Every client is a coroutine on one asyncio loop (one thread), so the clients do not compete
with the server's threads for the interpreter more than their sockets need."""

from __future__ import annotations

import asyncio
import socket
import time
from dataclasses import dataclass, field

WINDOW = "hue=0.1,0.9&chroma=0.3,1&intensity=0.1,0.95"
LIGHT = ("/api/info", f"/api/mask?{WINDOW}", "/tune.js", "/", "/image.png")
HEAVY = (f"/api/update?{WINDOW}&fit=circle&radius=10,60&seed=1", "/api/suggest?box=55,45,30,30")


@dataclass
class Answer:
    target: str
    status: int
    seconds: float
    retry_after: str | None = None

    @property
    def heavy(self) -> bool:
        return self.target.startswith(("/api/update", "/api/suggest"))


@dataclass
class Load:
    answers: list = field(default_factory=list)
    errors: list = field(default_factory=list)
    seconds: float = 0.0

    def light(self):
        return [a for a in self.answers if not a.heavy]

    def heavy(self):
        return [a for a in self.answers if a.heavy]


def targets(n: int, heavy_every: int = 20):
    """n request targets: mostly light ones, every heavy_every-th a heavy one."""
    out = []
    for k in range(n):
        if heavy_every and k % heavy_every == heavy_every - 1:
            out.append(HEAVY[(k // heavy_every) % len(HEAVY)])
        else:
            out.append(LIGHT[k % len(LIGHT)])
    return out


async def _exchange(reader, writer, port, target) -> tuple[Answer, bool]:
    t0 = time.perf_counter()
    writer.write(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
    await writer.drain()
    status_line = await reader.readline()
    status = int(status_line.split()[1])
    length, retry, close = 0, None, False
    while True:
        line = await reader.readline()
        if line in (b"\r\n", b"\n", b""):
            break
        name, _, value = line.decode("latin-1").partition(":")
        name, value = name.strip().lower(), value.strip()
        if name == "content-length":
            length = int(value)
        elif name == "retry-after":
            retry = value
        elif name == "connection" and value.lower() == "close":
            close = True
    await reader.readexactly(length)
    return Answer(target, status, time.perf_counter() - t0, retry), close


async def _client(port, queue: asyncio.Queue, load: Load, timeout: float, fresh: bool):
    reader = writer = None
    try:
        while True:
            try:
                target = queue.get_nowait()
            except asyncio.QueueEmpty:
                return
            for attempt in (0, 1):  # a kept-alive connection the server closed: once more, anew
                if writer is None:
                    reader, writer = await asyncio.open_connection("127.0.0.1", port)
                try:
                    answer, close = await asyncio.wait_for(_exchange(reader, writer, port, target), timeout)
                    break
                except (ConnectionError, asyncio.IncompleteReadError, IndexError, ValueError) as e:
                    writer.close()
                    writer = None
                    if attempt:
                        load.errors.append(f"{target}: {type(e).__name__}: {e}")
                        answer = None
            if answer is not None:
                load.answers.append(answer)
                if close or fresh:
                    writer.close()
                    writer = None
    except (asyncio.TimeoutError, OSError) as e:
        load.errors.append(f"{type(e).__name__}: {e}")
    finally:
        if writer is not None:
            writer.close()


async def _run(port, requests, concurrency, timeout):
    queue: asyncio.Queue = asyncio.Queue()
    for t in requests:
        queue.put_nowait(t)
    load = Load()
    t0 = time.perf_counter()
    # One client in five opens a new connection for every request, the others keep theirs.
    await asyncio.gather(*(_client(port, queue, load, timeout, k % 5 == 0) for k in range(concurrency)))
    load.seconds = time.perf_counter() - t0
    return load


def run(port: int, requests, concurrency: int = 50, timeout: float = 30.0) -> Load:
    """Send the requests from `concurrency` clients at once (four in five keep their connection
    alive, the fifth opens one per request); every request gets at most `timeout` seconds."""
    return asyncio.run(_run(port, list(requests), concurrency, timeout))


def idle_connections(port: int, n: int) -> list:
    """n connections that connect and then send nothing."""
    return [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(n)]


class SlowClient:
    """Sends a request's head one byte every `pause` seconds, in a thread of its own, until
    the server closes the connection (or `limit` seconds pass). `closed_after` is how long
    the server let it go on, None if it did not close it."""

    def __init__(self, port: int, pause: float = 0.2, limit: float = 30.0):
        import threading

        self.port, self.pause, self.limit = port, pause, limit
        self.closed_after: float | None = None
        self.sent = 0
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def join(self):
        self.thread.join(self.limit + 5)
        return self

    def _run(self):
        head = f"GET /api/info HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\nX-Slow: ".encode()
        t0 = time.monotonic()
        with socket.create_connection(("127.0.0.1", self.port), timeout=self.pause) as s:
            while time.monotonic() - t0 < self.limit:
                try:
                    s.send(head[self.sent % len(head):][:1] if self.sent < len(head) else b"x")
                    self.sent += 1
                    if s.recv(1) == b"":
                        break  # the server closed it
                except socket.timeout:
                    continue  # nothing from the server: go on dribbling
                except OSError:
                    break  # reset by the server
            else:
                return
        self.closed_after = time.monotonic() - t0
