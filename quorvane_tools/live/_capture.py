"""Capture: a thread that reads a source and keeps the newest decoded frame."""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass, field

import numpy as np

from ._errors import LiveError, _why
from ._sources import Source, _open

BACKOFF = (0.25, 0.5, 1.0, 2.0, 4.0, 8.0)  # seconds between attempts to reopen a lost stream


@dataclass
class Frame:
    """A decoded frame.

    Attributes
    ----------
    number : int
        From 0, counting every frame decoded, across reconnections.
    wall, decoded : float
        The wall-clock time and the ``time.perf_counter()`` at which it was decoded.
    stream_time : float or None
        Its time by the stream's own timestamps, in seconds.
    picture
        The decoder's picture (a PyAV VideoFrame, or OpenCV's BGR array) until `rgb`
        converts it.
    """

    number: int
    wall: float
    decoded: float
    stream_time: float | None
    picture: object = field(repr=False)
    _rgb: np.ndarray | None = field(default=None, repr=False)

    def rgb(self) -> np.ndarray:
        """The frame as a (rows, columns, 3) uint8 RGB array (converted on first use)."""
        if self._rgb is None:
            p = self.picture
            if isinstance(p, np.ndarray):  # OpenCV's BGR
                import cv2

                self._rgb = cv2.cvtColor(p, cv2.COLOR_BGR2RGB)
            else:
                self._rgb = p.to_ndarray(format="rgb24")
            self.picture = None
        return self._rgb


class _Capture:
    """Reads a source on its own thread and keeps the newest frame in one slot.

    The first opening and the first frame happen in the constructor, so a bad source fails
    at once. ``lossless`` (a file not played in real time) makes the reader wait for the
    slot to be taken instead of replacing what is there."""

    def __init__(self, source: Source, *, open_timeout=10.0, read_timeout=5.0, retry_for=None,
                 realtime=False, log=None):
        self.source = source
        self.open_timeout, self.read_timeout = float(open_timeout), float(read_timeout)
        self.retry_for = retry_for
        self.realtime = realtime
        self.lossless = source.kind == "file" and not realtime
        self.log = log or (lambda text: None)
        self._cond = threading.Condition()
        self._slot: Frame | None = None
        self._stop = False
        self._ended: str | None = None  # why no more frames will come
        self._failed: str | None = None  # set when the end is a failure
        self.decoded = 0
        self.reconnects = 0
        self._reader = _open(source, self.open_timeout, self.read_timeout)
        self.rate = self._reader.rate
        self._frames = self._reader.frames()
        self._t0 = None  # (wall, stream time) of the first frame, for real-time playback
        try:
            first = next(self._frames)
        except StopIteration:
            self._reader.close()
            raise LiveError(f"{source.text}: no frame could be decoded") from None
        except Exception as e:
            self._reader.close()
            raise LiveError(f"{source.text}: cannot read a frame ({_why(e)})") from None
        self._put(first)
        self._thread = threading.Thread(target=self._run, name="quorvane-capture", daemon=True)
        self._thread.start()

    # The reading thread -------------------------------------------------

    def _stream_time(self, picture):
        tb = self._reader.time_base
        pts = getattr(picture, "pts", None)
        return float(pts * tb) if pts is not None and tb is not None else None

    def _put(self, picture) -> bool:
        now = time.perf_counter()
        st = self._stream_time(picture)
        if self.realtime:
            if self._t0 is None:
                self._t0 = (now, st)
            elif st is not None and self._t0[1] is not None:
                due = self._t0[0] + (st - self._t0[1])
                while not self._stop and due - time.perf_counter() > 0:
                    time.sleep(min(due - time.perf_counter(), 0.05))
                now = time.perf_counter()
        frame = Frame(self.decoded, time.time(), now, st, picture)
        with self._cond:
            if self.lossless:
                while self._slot is not None and not self._stop:
                    self._cond.wait(0.1)
            if self._stop:
                return False
            self._slot = frame
            self.decoded += 1
            self._cond.notify_all()
        return True

    def _run(self):
        lost_at = None
        try:
            while not self._stop:
                why = "the stream ended"
                try:
                    for picture in self._frames:
                        if not self._put(picture):
                            return
                        if lost_at is not None:
                            self.log(f"{self.source.text}: reconnected after {time.monotonic() - lost_at:.1f} s")
                            lost_at = None
                except Exception as e:  # a read timeout, a reset connection, ...
                    why = _why(e)
                self._reader.close()
                if self._stop:
                    return
                if self.source.kind == "file":
                    self._end("end of file")
                    return
                if lost_at is None:
                    lost_at = time.monotonic()
                    self.log(f"{self.source.text}: stream lost ({why}); reconnecting")
                if not self._reopen(lost_at):
                    return
        except BaseException as e:  # never leave the consumer waiting
            self._end(f"capture failed: {type(e).__name__}: {_why(e)}", failed=True)
        finally:
            self._reader.close()  # only this thread touches the reader once it runs
            self._end(self._ended or "closed")

    def _reopen(self, lost_at) -> bool:
        attempt = 0
        while not self._stop:
            waited = time.monotonic() - lost_at
            if self.retry_for is not None and waited >= self.retry_for:
                self._end(f"{self.source.text}: the stream did not come back within {self.retry_for:g} s",
                          failed=True)
                return False
            delay = BACKOFF[min(attempt, len(BACKOFF) - 1)]
            if self.retry_for is not None:
                delay = min(delay, max(self.retry_for - waited, 0.0))
            with self._cond:
                self._cond.wait_for(lambda: self._stop, delay)
            if self._stop:
                return False
            attempt += 1
            try:
                self._reader = _open(self.source, self.open_timeout, self.read_timeout)
                self._frames = self._reader.frames()
                self.reconnects += 1
                return True
            except LiveError:
                continue
        return False

    def _end(self, why: str, failed: bool = False):
        with self._cond:
            if self._ended is not None:
                return
            self._ended = why
            if failed:
                self._failed = why
            self._cond.notify_all()

    # The consumer -------------------------------------------------------

    def take(self, after: int = -1, timeout: float | None = None) -> Frame | None:
        """The newest frame numbered above ``after`` (waiting for one); None when the source
        has ended (or ``timeout`` passed). Raises LiveError if it ended in failure."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while True:
                f = self._slot
                if f is not None and f.number > after:
                    self._slot = None
                    self._cond.notify_all()
                    return f
                if f is not None:  # too early for --every: let the reader replace it
                    self._slot = None
                    self._cond.notify_all()
                if self._ended is not None:
                    if self._failed is not None:
                        raise LiveError(self._failed)
                    return None
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                self._cond.wait(0.25 if left is None else min(left, 0.25))

    def close(self):
        with self._cond:
            self._stop = True
            self._cond.notify_all()
        # A read in progress ends within the read timeout; the thread then closes the reader.
        if threading.current_thread() is not self._thread:
            self._thread.join(self.read_timeout + 1.0)


