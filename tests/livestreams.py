"""Streams for the live tests and the live benchmark, made here with PyAV and served on loopback.

Every frame carries its own number in its pixels: an orange ball whose place on a grid of
20 x 10 cells spells the number modulo 200 (``ball_at(n)``), so that whoever finds the ball
knows which frame it saw, and latency and drops are measured from the frames themselves.
"""

from __future__ import annotations

import socket
import threading
import time
from fractions import Fraction

import numpy as np

BALL = (235, 115, 25)
GROUND = (60, 90, 70)
WINDOW = ["--hue", "0.2", "0.75", "--chroma", "0.35", "1", "--intensity", "0.15", "0.95"]
CELLS = (20, 10)


def ball_at(n: int, size=(320, 240)):
    """Centre and radius of the ball in frame ``n`` of a picture ``size`` = (width, height)."""
    w, h = size
    r = max(8, h // 24)
    k = n % (CELLS[0] * CELLS[1])
    cx = 2 * r + (k % CELLS[0]) * (w - 4 * r) / (CELLS[0] - 1)
    cy = 2 * r + (k // CELLS[0]) * (h - 4 * r) / (CELLS[1] - 1)
    return cx, cy, r


def number_of(x: float, y: float, size=(320, 240)) -> int:
    """The frame number (modulo 200) that a ball centred at (x, y) spells."""
    w, h = size
    r = max(8, h // 24)
    i = round((x - 2 * r) * (CELLS[0] - 1) / (w - 4 * r))
    j = round((y - 2 * r) * (CELLS[1] - 1) / (h - 4 * r))
    return min(max(j, 0), CELLS[1] - 1) * CELLS[0] + min(max(i, 0), CELLS[0] - 1)


def picture(n: int, size=(320, 240)) -> np.ndarray:
    w, h = size
    img = np.empty((h, w, 3), np.uint8)
    img[:] = GROUND
    img[:, :, 0] += (np.arange(w) * 40 // w).astype(np.uint8)[None, :]  # a gentle gradient
    cx, cy, r = ball_at(n, size)
    y, x = np.ogrid[:h, :w]
    img[(x - cx) ** 2 + (y - cy) ** 2 <= r * r] = BALL
    return img


def jpegs(count: int = 200, size=(320, 240)) -> list:
    """``count`` frames encoded as JPEG by PyAV's MJPEG encoder."""
    import av

    cc = av.CodecContext.create("mjpeg", "w")
    cc.width, cc.height = size
    cc.pix_fmt = "yuvj420p"
    cc.time_base = Fraction(1, 30)
    cc.options = {"q:v": "4"}
    cc.bit_rate = 8_000_000
    out = []
    for n in range(count):
        frame = av.VideoFrame.from_ndarray(picture(n, size), format="rgb24").reformat(format="yuvj420p")
        frame.pts = n
        data = b"".join(bytes(p) for p in cc.encode(frame))
        out.append(data)
    return out


class MjpegServer:
    """An HTTP server on 127.0.0.1 that sends a multipart MJPEG stream at ``fps`` frames a
    second to each client. ``sent[n]`` is the monotonic time at which frame n went out
    (frame numbers count on across clients). ``pause(seconds)`` drops every client and
    refuses new ones for that long: a stream that stops and comes back."""

    BOUNDARY = b"quorvaneframe"

    def __init__(self, fps: float = 30, size=(320, 240), limit: float = 60.0, frames=None):
        self.fps, self.size, self.limit = fps, size, limit
        self.frames = frames if frames is not None else jpegs(200, size)
        self.sent: dict[int, float] = {}
        self.n = 0
        self.clients = 0
        self._down_until = 0.0
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}/stream.mjpg"
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._started = time.monotonic()
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()

    def pause(self, seconds: float):
        self._down_until = time.monotonic() + seconds

    def _accept(self):
        while not self._stop.is_set() and time.monotonic() - self._started < self.limit:
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            if time.monotonic() < self._down_until:
                conn.close()
                continue
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            conn.settimeout(5)
            request = b""
            while b"\r\n\r\n" not in request and len(request) < 8192:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                request += chunk
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary="
                         + self.BOUNDARY + b"\r\nCache-Control: no-cache\r\n\r\n")
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.clients += 1
            period = 1.0 / self.fps
            nxt = time.monotonic()
            while not self._stop.is_set() and time.monotonic() - self._started < self.limit:
                if time.monotonic() < self._down_until:
                    return
                with self._lock:
                    n = self.n
                    self.n += 1
                data = self.frames[n % len(self.frames)]
                part = (b"--" + self.BOUNDARY + b"\r\nContent-Type: image/jpeg\r\nContent-Length: "
                        + str(len(data)).encode() + b"\r\n\r\n" + data + b"\r\n")
                self.sent[n] = time.monotonic()
                conn.sendall(part)
                nxt += period
                delay = nxt - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                else:
                    nxt = time.monotonic()
        except OSError:
            pass
        finally:
            conn.close()


def free_udp_port() -> int:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class MpegTsSender:
    """Sends MPEG-TS (MPEG-2 video, a keyframe every ``gop`` frames) over UDP to 127.0.0.1:``port``
    at ``fps`` frames a second, for at most ``limit`` seconds, on a thread; ``sent[n]`` as for
    MjpegServer."""

    def __init__(self, port: int, fps: float = 30, size=(320, 240), limit: float = 20.0, gop: int = 10):
        self.port, self.fps, self.size, self.limit, self.gop = port, fps, size, limit, gop
        self.sent: dict[int, float] = {}
        self.pictures = [picture(n, size) for n in range(200)]
        self._stop = threading.Event()
        self.error = None
        self._thread = threading.Thread(target=self._send, daemon=True)
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._stop.set()
        self._thread.join(5)

    def _send(self):
        import av

        try:
            url = f"udp://127.0.0.1:{self.port}?pkt_size=1316"
            with av.open(url, "w", format="mpegts") as c:
                s = c.add_stream("mpeg2video", rate=int(self.fps))
                s.width, s.height, s.pix_fmt = *self.size, "yuv420p"
                s.bit_rate = 3_000_000
                s.options = {"g": str(self.gop), "bf": "0"}
                start = time.monotonic()
                n = 0
                while not self._stop.is_set() and time.monotonic() - start < self.limit:
                    frame = av.VideoFrame.from_ndarray(self.pictures[n % 200], format="rgb24")
                    frame.pts = n
                    self.sent[n] = time.monotonic()
                    for p in s.encode(frame):
                        c.mux(p)
                    n += 1
                    delay = start + n / self.fps - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
        except Exception as e:  # seen by the test
            self.error = e
