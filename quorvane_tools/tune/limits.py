"""Limits of the tune server, and the turns that heavy computations take."""

from __future__ import annotations

import contextlib
import threading

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
MAX_TARGET = 2048  # longest request path with query


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
