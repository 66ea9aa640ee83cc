"""Shapes in a live camera or stream: the newest frame is searched as soon as it arrives.

    import quorvane_tools as qt
    w = qt.Window(hue=(0.15, 0.7), chroma=(0.3, 1.0), intensity=(0.15, 0.95))
    with qt.live("rtsp://10.0.0.7/cam", w, ["circle"], radius=(10, 60)) as stream:
        for record in stream:
            print(record["frame"], record["latency_ms"], record["shapes"])

A capture thread reads the source (PyAV: a V4L2 camera, an RTSP, HTTP MJPEG, MPEG-TS over UDP
or SRT stream, a file; or OpenCV's capture for a camera) and keeps only the newest decoded
frame. The search takes that one whenever it is free, so however slow the machine, a frame
never waits behind another and latency does not grow with running time; the frames it had
no time for are counted as dropped. A stream that drops is opened again with backoff. A file
is read frame by frame with none dropped, or, with ``realtime=True``, played at its own frame
rate like a camera.

Each searched frame gives one record (a dict, one JSON line in ``quorvane live``): the frame's
number, when it was decoded, the latency from decoded to record, the stage times, the frames
dropped so far and the shape records of ``find --json``; with ``track=True`` also the
tracks and events of ``Tracker`` (as in ``track_video``), followed at the frames' capture times.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import re
import socket
import sys
import threading
import time
import uuid
from dataclasses import dataclass, field
from urllib.parse import parse_qs, urlsplit

import numpy as np

__all__ = ["LiveError", "Live", "Frame", "live", "search_frame", "parse_source", "open_publisher",
           "view_server"]

STREAM_SCHEMES = ("rtsp", "rtsps", "rtmp", "rtmps", "http", "https", "udp", "tcp", "srt", "rtp")
BACKOFF = (0.25, 0.5, 1.0, 2.0, 4.0, 8.0)  # seconds between attempts to reopen a lost stream
STAGES = ("wait", "convert", "bounds", "mask", "edges", "denoise", "fit", "remove")


class LiveError(ValueError):
    """A source or a publishing target that cannot be used, with a one-line reason."""


def _why(e: BaseException) -> str:
    text = getattr(e, "strerror", None) or str(e) or type(e).__name__
    return " ".join(str(text).split())


# --------------------------------------------------------------------------
# Sources


@dataclass(frozen=True)
class Source:
    """Where frames come from: ``kind`` is "camera", "stream" or "file"; ``target`` is what the
    demuxer opens; ``format`` and ``options`` go to it; ``backend`` is "pyav" or "opencv"."""

    text: str
    kind: str
    target: str
    format: str | None = None
    options: tuple = ()
    backend: str = "pyav"


def parse_source(text, format=None, options=None, backend=None) -> Source:  # noqa: A002
    """Tell a camera (``/dev/video0``, or an index such as ``0``), a network stream (a URL with
    one of STREAM_SCHEMES) and a file apart; raises LiveError for one that cannot be there."""
    text = str(text)
    opts = tuple(sorted((options or {}).items()))
    if backend not in (None, "pyav", "opencv"):
        raise LiveError(f"unknown camera backend {backend!r}: expected pyav or opencv")
    if re.fullmatch(r"\d{1,3}", text):
        text_dev = f"/dev/video{int(text)}"
    else:
        text_dev = text
    if text_dev.startswith("/dev/video") or (text_dev.startswith("/dev/") and format == "video4linux2"):
        if not os.path.exists(text_dev):
            here = sorted(n for n in os.listdir("/dev") if n.startswith("video")) if os.path.isdir("/dev") else []
            also = f" (cameras here: {', '.join('/dev/' + n for n in here)})" if here else " (no camera is connected)"
            raise LiveError(f"{text}: no such camera{also}")
        return Source(text, "camera", text_dev, format or "video4linux2", opts, backend or "pyav")
    scheme = urlsplit(text).scheme.lower()
    if "://" in text:
        if scheme not in STREAM_SCHEMES:
            raise LiveError(
                f"{text}: unknown kind of stream {scheme + '://'!r}; expected one of "
                + ", ".join(s + "://" for s in STREAM_SCHEMES)
            )
        if backend == "opencv":
            raise LiveError("--backend opencv is for cameras; streams are read with PyAV")
        return Source(text, "stream", text, format, opts, "pyav")
    if not os.path.exists(text):
        raise LiveError(f"{text}: no such file, camera or stream")
    if os.path.isdir(text):
        raise LiveError(f"{text}: is a folder, not a video")
    if backend == "opencv":
        raise LiveError("--backend opencv is for cameras; files are read with PyAV")
    return Source(text, "file", text, format, opts, "pyav")


def _av():
    try:
        import av
    except ImportError:
        raise LiveError("reading cameras and streams needs PyAV: python3 -m pip install 'quorvane[live]'") from None
    return av


class _PyAVReader:
    """One opening of a source through PyAV; ``frames()`` yields decoded VideoFrames."""

    def __init__(self, source: Source, open_timeout: float, read_timeout: float):
        av = _av()
        options = dict(source.options)
        if source.kind != "file":
            # Hand frames on as soon as they are whole: no demuxer buffering, no decoder delay.
            options.setdefault("fflags", "nobuffer")
            options.setdefault("flags", "low_delay")
        if source.target.startswith("udp://"):
            options.setdefault("overrun_nonfatal", "1")
            options.setdefault("fifo_size", "50000")
        try:
            self.container = av.open(
                source.target, format=source.format, options=options,
                timeout=(open_timeout, read_timeout),
            )
        except av.ExitError:
            raise LiveError(f"{source.text}: nothing answered within {open_timeout:g} s") from None
        except (av.FFmpegError, OSError, ValueError) as e:
            raise LiveError(f"{source.text}: cannot open it ({_why(e)})") from None
        if not self.container.streams.video:
            self.container.close()
            raise LiveError(f"{source.text}: has no video stream")
        self.stream = self.container.streams.video[0]
        # Frame threads would hold frames back (one per thread); slices cost no latency.
        self.stream.thread_type = "SLICE"
        self.time_base = self.stream.time_base
        rate = self.stream.average_rate or self.stream.guessed_rate or self.stream.base_rate
        self.rate = float(rate) if rate else None

    def frames(self):
        av = _av()
        demux = self.container.demux(self.stream)
        while True:
            try:
                packet = next(demux)
            except StopIteration:
                return
            try:
                decoded = packet.decode()
            except (av.InvalidDataError, av.PatchWelcomeError, av.UndefinedError):
                continue  # one damaged packet of a stream: skip it, keep the stream
            for frame in decoded:
                yield frame
            if packet.size == 0 and packet.pts is None and packet.dts is None:
                pass  # the flushing packet at the end

    def close(self):
        try:
            self.container.close()
        except Exception:
            pass


class _OpenCVReader:
    """A camera through OpenCV's VideoCapture (V4L2); frames are BGR arrays."""

    def __init__(self, source: Source, open_timeout: float, read_timeout: float):
        try:
            import cv2
        except ImportError:
            raise LiveError("--backend opencv needs OpenCV: python3 -m pip install opencv-python-headless") from None
        self.cv2 = cv2
        index = int(source.target[len("/dev/video"):]) if source.target[len("/dev/video"):].isdigit() else source.target
        self.cap = cv2.VideoCapture(index, cv2.CAP_V4L2)
        if not self.cap.isOpened():
            raise LiveError(f"{source.text}: OpenCV cannot open this camera")
        for key, value in source.options:
            prop = {"width": cv2.CAP_PROP_FRAME_WIDTH, "height": cv2.CAP_PROP_FRAME_HEIGHT,
                    "fps": cv2.CAP_PROP_FPS, "framerate": cv2.CAP_PROP_FPS}.get(key)
            if prop is None:
                raise LiveError(f"--option {key}: OpenCV's capture takes width, height and fps")
            self.cap.set(prop, float(value))
        self.cap.set(cv2.CAP_PROP_BUFFERSIZE, 1)
        self.time_base = None
        fps = self.cap.get(cv2.CAP_PROP_FPS)
        self.rate = fps if fps and fps > 0 else None

    def frames(self):
        while True:
            ok, bgr = self.cap.read()
            if not ok:
                return
            yield bgr

    def close(self):
        self.cap.release()


def _open(source: Source, open_timeout: float, read_timeout: float):
    if source.backend == "opencv":
        return _OpenCVReader(source, open_timeout, read_timeout)
    return _PyAVReader(source, open_timeout, read_timeout)


# --------------------------------------------------------------------------
# Capture: a thread that keeps the newest frame


@dataclass
class Frame:
    """A decoded frame: its number (from 0, counting every frame decoded, across reconnections),
    the wall-clock time and the ``time.perf_counter()`` at which it was decoded, its time by
    the stream's own timestamps (seconds, or None) and the decoder's picture (``rgb()``)."""

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


# --------------------------------------------------------------------------
# The per-frame step


def search_frame(frame: Frame, window, fits, fit: dict, seed: int | None, dropped: int):
    """Search one frame: returns (record, Found). ``fit`` holds find_shapes' keywords; the C
    generator is seeded with ``frame_seed(seed, frame.number)`` (None: not seeded), so a file
    gives the same records on every run. ``record["latency_ms"]`` is filled by the caller right
    before the record leaves."""
    import quorvane_tools as qt
    from .video import frame_seed

    clock = time.perf_counter
    t0 = clock()
    rgb = frame.rgb()
    t1 = clock()
    found = qt.find_shapes(rgb, window, fits,
                           seed=None if seed is None else frame_seed(seed, frame.number), **fit)
    stages = {"wait": t0 - frame.decoded, "convert": t1 - t0, **found.times}
    record = {
        "frame": frame.number,
        "time": round(frame.wall, 6),
        "stream_time": None if frame.stream_time is None else round(frame.stream_time, 6),
        "latency_ms": None,
        "dropped": dropped,
        "stages_ms": {k: round(stages[k] * 1e3, 3) for k in STAGES if k in stages},
        "shapes": _finite(found.to_dict()["shapes"]),
    }
    return record, found


def _finite(value):
    """Records with NaN or infinities (a degenerate fit) as None, which JSON can carry."""
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


@dataclass
class Result:
    """One searched frame: the record, the frame and what ``find_shapes`` found on it."""

    record: dict
    frame: Frame
    found: object
    trails: dict | None = None  # with tracking: {id: ((x, y), ...)}, the last centres of each track


class Live:
    """An iterator of the records of a live source; see ``live()``. ``close()`` (or leaving a
    ``with`` block) stops the capture. ``results()`` yields Result objects instead of records.
    ``summary()`` gives the counts and latency percentiles so far. The window may be changed
    between frames with ``set_window``. With ``track``, ``tracker`` is the ``Tracker`` that
    follows the records (None without)."""

    def __init__(self, source, window=None, fits=("circle",), *, box=None, outside=None,
                 format=None, options=None, backend=None, realtime=False, every: int = 1,  # noqa: A002
                 max_fps=None, seed: int | None = 1, open_timeout: float = 10.0,
                 read_timeout: float = 5.0, retry_for=None, log=None, prepare=None, track=False,
                 **fit):
        import quorvane_tools as qt
        from .tracks import VideoTracking

        if int(every) < 1:
            raise LiveError(f"every must be at least 1, got {every}")
        if max_fps is not None and not (max_fps > 0 and math.isfinite(max_fps)):
            raise LiveError(f"max_fps must be a positive number, got {max_fps}")
        for name, v in (("open_timeout", open_timeout), ("read_timeout", read_timeout)):
            if not (v > 0 and math.isfinite(v)):
                raise LiveError(f"{name} must be a positive number of seconds, got {v}")
        if retry_for is not None and not retry_for >= 0:
            raise LiveError(f"retry_for must be 0 or more seconds, got {retry_for}")
        tracking = None
        if track is not None and track is not False:
            try:  # the options checked before the source is opened
                tracking = VideoTracking(track, None)
            except (TypeError, ValueError) as e:
                raise LiveError(f"track: {e}") from None
        self.tracker = None  # with track: the Tracker (``tracker.tracks``: the live tracks)
        self._overlay = None  # and the TrackOverlay that feeds it and keeps the trails
        self._track_time = None
        self.source = source if isinstance(source, Source) else parse_source(source, format, options, backend)
        self.every, self.max_fps, self.seed = int(every), max_fps, seed
        self.log = log
        self.fits = tuple([fits] if isinstance(fits, str) else fits)
        self._capture = _Capture(self.source, open_timeout=open_timeout, read_timeout=read_timeout,
                                 retry_for=retry_for, realtime=realtime, log=log)
        self.searched = 0
        self.latencies: list[float] = []  # seconds, decoded to record, of every record
        self._last = -1
        self._next_time = 0.0
        self._closed = False
        self._started = time.monotonic()
        self.first = None
        self.fit_lock = None  # set by the view: the page's fits and the search take turns
        self.fit = dict(fit)
        try:
            self.first = self._capture.take()
            rgb = self.first.rgb()
            self.first_rgb = rgb
            self.height, self.width = rgb.shape[:2]
            if prepare is not None:  # the command line: options checked against the first frame
                window, extra = prepare(rgb)
                extra = dict(extra)
                extra.pop("seed", None)  # frames are seeded one by one
                self.fit.update(extra)
            elif window is None:
                if box is None:
                    raise LiveError("give a colour window, or a box to suggest one from")
                try:
                    window = qt.suggest_window(rgb, box, outside)
                except ValueError as e:
                    raise LiveError(f"first frame: {e}") from None
            self.set_window(window)
            if tracking is not None:  # tracks predicted outside the picture end there
                tracking.frame = (self.width, self.height)
                self._overlay = tracking.overlay()
                self.tracker = self._overlay.tracker
        except BaseException:
            self._capture.close()
            raise

    # -- control

    def set_window(self, window) -> None:
        """Use this colour window from the next frame on."""
        import quorvane_tools as qt

        w = qt.Window(*(tuple(map(float, pair)) for pair in window))
        try:
            w.check()
        except ValueError as e:
            raise LiveError(str(e)) from None
        self.window = w

    @property
    def decoded(self) -> int:
        return self._capture.decoded

    @property
    def rate(self):
        return self._capture.rate

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            self._capture.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    # -- frames

    def _next_frame(self) -> Frame | None:
        if self._closed:
            return None
        if self.first is not None:
            f, self.first = self.first, None
            return f
        if self.max_fps is not None:
            delay = self._next_time - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
        return self._capture.take(self._last + self.every - 1)

    def results(self):
        """Yields a Result for every searched frame until the source ends or ``close()``."""
        while True:
            frame = self._next_frame()
            if frame is None:
                return
            if self.max_fps is not None:
                self._next_time = time.perf_counter() + 1.0 / self.max_fps
            dropped = frame.number - self.searched  # frames up to this one that were not searched
            if self.fit_lock is None:
                record, found = search_frame(frame, self.window, self.fits, self.fit, self.seed, dropped)
            else:
                with self.fit_lock:
                    record, found = search_frame(frame, self.window, self.fits, self.fit, self.seed, dropped)
            self.searched += 1
            self._last = frame.number
            trails = None
            if self._overlay is not None:
                t = time.perf_counter()
                trails = self._overlay.follow(record, self._time_of(frame, record))
                record["stages_ms"]["track"] = round((time.perf_counter() - t) * 1e3, 3)
            latency = time.perf_counter() - frame.decoded
            record["latency_ms"] = round(latency * 1e3, 3)
            self.latencies.append(latency)
            if len(self.latencies) > 100_000:  # bounded memory on a long run
                del self.latencies[:50_000]
            yield Result(record, frame, found, trails)

    def _time_of(self, frame, record) -> float:
        """The frame's time for the tracker, in seconds: a file's own timestamps (its frame
        number over its rate without them), so that its velocities do not depend on how fast
        it was read; for cameras and streams the time it was decoded (``perf_counter``, which
        no clock change moves). Always later than the previous frame's."""
        t = None
        if self.source.kind == "file":
            t = record["stream_time"]
            if t is None and self.rate:
                t = frame.number / self.rate
        if t is None:
            t = frame.decoded
        last = self._track_time
        if last is not None and not t > last:  # a repeated or backward timestamp
            t = last + (1 / self.rate if self.rate else 1 / 30)
        self._track_time = t
        return t

    def __iter__(self):
        return (r.record for r in self.results())

    def summary(self) -> dict:
        """Frames decoded, searched and dropped, seconds running, latency percentiles in ms."""
        lat = np.asarray(self.latencies) * 1e3
        pct = {f"p{p}": (round(float(np.percentile(lat, p)), 3) if len(lat) else None) for p in (50, 95, 99)}
        decoded = self._capture.decoded
        # Frames still to come in the slot are not dropped yet; once closed, every frame is counted.
        seen = decoded if self._closed or self._capture._ended else self._last + 1
        out = {"decoded": decoded, "searched": self.searched, "dropped": max(seen - self.searched, 0),
               "seconds": round(time.monotonic() - self._started, 3),
               "reconnects": self._capture.reconnects, "latency_ms": pct}
        if self.tracker is not None:
            out["tracks"] = self.tracker._next_id - 1  # ids given so far
        return out


def live(source, window=None, fits=("circle",), **kw) -> Live:
    """Search the frames of a camera, a stream or a file as they come; returns a ``Live``, an
    iterator of records that can be closed (use it in a ``with`` block).

    ``source``: ``"/dev/video0"`` or ``0`` (a V4L2 camera; ``backend="opencv"`` for OpenCV's
    capture), a URL (``rtsp://``, ``http://`` MJPEG or MPEG-TS, ``udp://``, ``srt://``, ...;
    ``format=`` and ``options=`` go to the demuxer), or a file (``realtime=True`` plays it at its
    own frame rate; otherwise every frame is searched in turn). ``window`` is a ``Window``, or give
    ``box=`` (and ``outside=``) to suggest one on the first frame. ``fits`` and the other keywords
    are those of ``find_shapes``; frame n is fitted after seeding with ``frame_seed(seed, n)``.
    ``every=N`` searches at most one frame in N, ``max_fps=F`` at most F frames a second.
    ``open_timeout`` and ``read_timeout`` (seconds) bound the wait for a stream; a stream that
    drops is reopened with backoff for ``retry_for`` seconds (None: for ever), its messages
    going to ``log(text)``.

    Each record: ``{"frame": n, "time": wall-clock seconds when decoded, "stream_time": seconds
    by the stream's timestamps or None, "latency_ms": decoded to record, "dropped": frames not
    searched so far, "stages_ms": {...}, "shapes": [records of find --json]}``. Raises LiveError
    for a source that cannot be opened or read (or for bad ``track`` keywords).

    ``track``: True (or a dict of ``Tracker`` keywords) follows the circles and ellipses from
    frame to frame, as ``track_video`` does: every record gains ``"tracks"`` and ``"events"``
    (see ``Tracker.update``; stage ``"track"`` in ``"stages_ms"``). Velocities are in pixels per
    second of the frames' real times: when a camera's or a stream's frame was decoded, a file's
    own timestamps. Frames dropped or skipped (``every``, ``max_fps``) are not seen by the
    tracker, so ``max_lost`` counts searched frames."""
    return Live(source, window, fits, **kw)


# --------------------------------------------------------------------------
# Publishing


class _UdpPublisher:
    def __init__(self, url: str, host: str, port: int):
        self.url = url
        try:
            family, kind, proto, _, addr = socket.getaddrinfo(host, port, type=socket.SOCK_DGRAM)[0]
        except socket.gaierror as e:
            raise LiveError(f"--publish {url}: cannot resolve {host} ({_why(e)})") from None
        self.sock = socket.socket(family, kind, proto)
        self.addr = addr
        self.too_big = False

    def send(self, data: bytes) -> None:
        try:
            self.sock.sendto(data, self.addr)
        except OSError as e:
            if getattr(e, "errno", None) == 90 and not self.too_big:  # EMSGSIZE
                self.too_big = True
                print(f"quorvane live: warning: --publish {self.url}: a record of {len(data)} bytes "
                      "is too large for one datagram; such records are not sent", file=sys.stderr)
            # Nobody listening, a full buffer: datagrams are fire and forget.

    def close(self) -> None:
        self.sock.close()


class _MqttPublisher:
    def __init__(self, url: str, host: str, port: int, topic: str, qos: int, retain: bool,
                 timeout: float = 5.0):
        try:
            import paho.mqtt.client as mqtt
        except ImportError:
            raise LiveError("--publish mqtt:// needs paho-mqtt: python3 -m pip install 'quorvane[live]'") from None
        self.url, self.topic, self.qos, self.retain = url, topic, qos, retain
        self.lost_said = False
        connected = threading.Event()
        self.refused = None

        def on_connect(client, userdata, flags, reason, properties=None):
            if getattr(reason, "is_failure", False):
                self.refused = str(reason)
            elif self.lost_said:
                print(f"quorvane live: --publish {url}: connected again", file=sys.stderr)
                self.lost_said = False
            connected.set()

        def on_disconnect(client, userdata, flags, reason, properties=None):
            if not self.closing and not self.lost_said:
                self.lost_said = True
                print(f"quorvane live: --publish {url}: broker connection lost ({reason}); "
                      "reconnecting, records are not published meanwhile", file=sys.stderr)

        self.closing = False
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"quorvane-live-{os.getpid()}")
        self.client.on_connect = on_connect
        self.client.on_disconnect = on_disconnect
        self.client.max_queued_messages_set(256)  # bounded memory while the broker is slow
        self.client.reconnect_delay_set(1, 10)
        try:
            self.client.connect(host, port, keepalive=30)
        except (OSError, ValueError) as e:
            raise LiveError(f"--publish {url}: cannot reach the MQTT broker at {host}:{port} ({_why(e)})") from None
        self.client.loop_start()
        if not connected.wait(timeout) or self.refused:
            self.close()
            raise LiveError(f"--publish {url}: the broker at {host}:{port} did not accept the connection"
                            + (f" ({self.refused})" if self.refused else f" within {timeout:g} s"))

    def send(self, data: bytes) -> None:
        self.client.publish(self.topic, data, qos=self.qos, retain=self.retain)

    def close(self) -> None:
        self.closing = True
        try:
            self.client.disconnect()
        finally:
            self.client.loop_stop()


def open_publisher(url: str):
    """A publisher for ``udp://HOST:PORT`` (one datagram per record) or
    ``mqtt://HOST[:PORT]/TOPIC[?qos=0|1|2&retain=0|1]`` (paho-mqtt, default port 1883)."""
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    try:
        port = parts.port
    except ValueError:
        raise LiveError(f"--publish {url}: the port must be a number from 1 to 65535") from None
    host = parts.hostname
    if scheme == "udp":
        if not host or not port:
            raise LiveError(f"--publish {url}: give udp://HOST:PORT")
        return _UdpPublisher(url, host, port)
    if scheme == "mqtt":
        topic = parts.path.lstrip("/")
        if not host or not topic:
            raise LiveError(f"--publish {url}: give mqtt://HOST[:PORT]/TOPIC")
        if "+" in topic or "#" in topic:
            raise LiveError(f"--publish {url}: a topic to publish on may not hold + or #")
        query = parse_qs(parts.query)
        qos = query.get("qos", ["0"])[-1]
        retain = query.get("retain", ["0"])[-1]
        if qos not in ("0", "1", "2") or retain not in ("0", "1") or set(query) - {"qos", "retain"}:
            raise LiveError(f"--publish {url}: the query may set qos=0|1|2 and retain=0|1 only")
        return _MqttPublisher(url, host, port or 1883, topic, int(qos), retain == "1")
    raise LiveError(f"--publish {url}: expected udp://HOST:PORT or mqtt://HOST[:PORT]/TOPIC")


# --------------------------------------------------------------------------
# Command line: quorvane live


DESCRIPTION = """\
Find shapes of one colour in a camera or a stream, frame by frame, as the frames arrive.

A capture thread keeps only the newest decoded frame; the search always takes that one, so a
frame never waits behind another and the latency stays bounded however slow this machine is.
Frames it had no time for are dropped and counted. One JSON line per searched frame goes to
standard output at once (and to --publish targets); a summary line goes to standard error at
the end (Ctrl+C, the end of a file, or --stop-after)."""

EPILOG = """\
sources:
  /dev/video0, 0          a V4L2 camera (PyAV; --backend opencv for OpenCV's capture);
                          --option video_size=640x480 --option framerate=30 --option input_format=mjpeg
  rtsp://HOST/PATH        RTSP (--option rtsp_transport=tcp over lossy links)
  http://HOST/stream.mjpg an MJPEG camera over HTTP, or MPEG-TS over HTTP
  udp://127.0.0.1:5000    MPEG-TS sent to this port (also srt://, tcp://, rtp://)
  clip.mp4                a file: every frame in turn; --realtime plays it at its frame rate
  --format NAME and --option KEY=VALUE go to FFmpeg's demuxer and protocol.

the record, one JSON line per searched frame:
  {"frame": 1234, "time": 1765300000.123456, "stream_time": 41.133, "latency_ms": 2.41,
   "dropped": 12, "stages_ms": {"wait": 0.02, "convert": 0.41, "bounds": 0.01, "mask": 0.35,
   "edges": 0.2, "denoise": 0.06, "fit": 0.3, "remove": 0.0},
   "shapes": [{"shape": "circle", "x": 331, "y": 208, "r": 17, "inliers": 96, "warning": null}]}
  "frame" counts every decoded frame from 0 (across reconnections); "time" is when it was
  decoded (seconds since 1970); "latency_ms" runs from decoded to written; "dropped" counts the
  frames up to this one that were not searched; "shapes" lists the shapes found, as in
  `quorvane find --json`.

tracks (--track; --track-option KEY=VALUE sets a tracker parameter, e.g. max_lost=30):
  each record also has "tracks" and "events" as in `quorvane video --track` (ids, smoothed
  centres, "vx" and "vy" in pixels per second, "appeared", "lost", "found", "ended"), and
  "stages_ms" a "track" stage; --view draws ids and trails on the frame. Velocities come from
  the frames' real times: when a camera's or a stream's frame was decoded, a file's own
  timestamps. Dropped frames are not seen by the tracker: max_lost counts searched frames.

publishing (each record as it is written):
  --publish udp://HOST:PORT             one datagram per record
  --publish mqtt://HOST[:PORT]/TOPIC    MQTT (needs quorvane[live]); ?qos=1 and ?retain=1 allowed

streams that fail: the source must answer within --open-timeout and keep sending within
  --read-timeout; when it stops, it is opened again after 0.25, 0.5, 1, 2, 4, then every 8 s
  (said on standard error) until it is back, or for --retry-for seconds.

exit status: 0 the source ended, or Ctrl+C or SIGTERM (a summary line on standard error); 1 the
stream was lost for good; 2 bad input (one line on standard error); 141 standard output was
closed early (e.g. by | head)."""


def _positive_float(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
    if not (v > 0 and math.isfinite(v)):
        raise argparse.ArgumentTypeError(f"{text!r}: give a positive number")
    return v


def _seconds_or_more(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
    if not (v >= 0 and math.isfinite(v)):
        raise argparse.ArgumentTypeError(f"{text!r}: give 0 or more seconds")
    return v


def _count(text):
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
    if not 1 <= v <= 2**31 - 1:
        raise argparse.ArgumentTypeError(f"{text!r}: give a whole number from 1 to {2**31 - 1}")
    return v


def _option(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"{text!r}: give KEY=VALUE")
    return key, value


# --------------------------------------------------------------------------
# --view: the tune page on the live stream

# Runs after tune.js: keeps the picture on the newest searched frame, shows the live window in
# the page's fields once, and sends the window on to the stream when the user changes it.
LIVE_JS = r"""// quorvane live --view: the tune page on the newest frame of the stream.
"use strict";
(() => {
  const me = document.currentScript;
  const token = me.dataset.token;
  const live = JSON.parse(me.dataset.window);
  const $ = (id) => document.getElementById(id);
  const LIMITS = ["hue", "chroma", "intensity"];
  let adopted = false;
  let touched = false;
  let frame = 0;
  const set = (w) => {
    for (const k of LIMITS)
      for (const i of [0, 1]) {
        const f = $(`${k}-${i}`);
        f.value = String(w[k][i]);
        f.dispatchEvent(new Event("change"));
      }
  };
  const value = (k, i) => Number($(`${k}-${i}`).value).toFixed(4);
  const send = () => {
    if (!touched) return;
    const path = LIMITS.map((k) => `${value(k, 0)},${value(k, 1)}`).join("/");
    fetch(`live/${token}/window/${path}`, { cache: "no-store" }).catch(() => {});
  };
  for (const el of document.querySelectorAll("#limits input"))
    for (const kind of ["input", "change"])
      el.addEventListener(kind, (ev) => {
        if (!ev.isTrusted) return;
        touched = true;
        setTimeout(send, 0);
      });
  // A box drawn on the picture suggests a window: send it on once the page has it.
  $("stage").addEventListener("pointerup", (ev) => {
    if (ev.isTrusted) {
      touched = true;
      setTimeout(send, 400);
    }
  });
  const picture = $("picture");
  const next = () => {
    if (!adopted && Number(document.body.dataset.updates || 0) >= 1) {
      adopted = true;
      set(live);
    }
    if (document.body.dataset.busy !== "1") {
      frame += 1;
      picture.src = `live/${token}/frame/${frame}.png`;
    }
    setTimeout(next, 200);
  };
  // A new picture: redraw the mask and the shapes on it.
  picture.addEventListener("load", () => {
    if (adopted) $("hue-0").dispatchEvent(new Event("change"));
  });
  setTimeout(next, 200);
})();
"""


def view_server(stream, host: str = "127.0.0.1", port: int = 0):
    """The tune server (its host checks, headers and limits) on the live ``stream``: the page's
    picture is the newest searched frame (pinned when the page asks for it, so that the page's
    mask and shapes are computed on the frame it shows), and a window changed on the page is
    used by the stream from the next frame on. Start it with ``serve_forever`` on a thread. The
    search then takes the page's fitting lock (they share the C library's generator)."""
    from .tune.server import BadRequest, TuneApp, TuneServer, parse_window

    class LiveApp(TuneApp):
        def __init__(self, stream, name):
            super().__init__(stream.first_rgb, name)
            self.stream = stream
            self.token = uuid.uuid4().hex  # in the page only: other sites cannot send windows
            self.latest = (self.image, None, None)  # the newest frame, its tracks and trails
            self._frame_lock = threading.Lock()

        def show(self, result) -> None:
            """A searched frame, from the search loop."""
            rgb = result.frame.rgb()
            if rgb.shape == self.image.shape:
                self.latest = (rgb, result.record.get("tracks"), result.trails)

        def pin(self) -> bytes:
            """The newest frame becomes the page's picture; returns it as PNG (with the tracks'
            ids and trails drawn when the stream is tracked: the page's mask and shapes are
            still computed on the frame itself)."""
            from .tracks import draw_tracks

            with self._frame_lock:
                image, tracks, trails = self.latest
                if not (image.flags.c_contiguous and image.flags.writeable):
                    image = np.array(image, order="C")
                self.image = image
                self._png = None
                with self._masks_lock:
                    self._masks.clear()
                if tracks:
                    from PIL import Image

                    out = io.BytesIO()
                    Image.fromarray(draw_tracks(image.copy(), tracks, trails)).save(
                        out, format="PNG", compress_level=1)
                    self._png = out.getvalue()
                return self.picture()

        def static(self, path: str):
            if path in ("/", "/index.html"):
                html, ctype = super().static(path)
                window = json.dumps(self.stream.window.to_dict()).replace('"', "&quot;")
                tag = (f'<script src="live/{self.token}/live.js" data-token="{self.token}" '
                       f'data-window="{window}"></script>\n</body>').encode()
                return html.replace(b"</body>", tag, 1), ctype
            prefix = f"/live/{self.token}/"
            if not path.startswith(prefix):
                return super().static(path)
            rest = path[len(prefix):]
            if rest == "live.js":
                return LIVE_JS.encode(), "text/javascript; charset=utf-8"
            if re.fullmatch(r"frame/\d{1,12}\.png", rest):
                return self.pin(), "image/png"
            m = re.fullmatch(r"window/([^/]{1,40})/([^/]{1,40})/([^/]{1,40})", rest)
            if m:
                try:
                    w = parse_window(dict(zip(("hue", "chroma", "intensity"), m.groups())))
                    if w != self.stream.window:
                        self.stream.set_window(w)
                        if self.stream.log is not None:
                            self.stream.log(f"window from the view, from frame {self.stream.decoded} on: {w.flags()}")
                except (BadRequest, ValueError) as e:
                    return f"refused: {e}\n".encode(), "text/plain; charset=utf-8"
                return b"ok\n", "text/plain; charset=utf-8"
            return None

        def info(self) -> dict:
            return {**super().info(), "live": True}

    app = LiveApp(stream, f"{stream.source.text} (live)")
    server = TuneServer(app, host, port)
    stream.fit_lock = app._fit_lock
    return server
