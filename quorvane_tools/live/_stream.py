"""The Live object: the search loop over the newest frames of a source, and ``live()``."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass

import numpy as np

from ._capture import Frame, _Capture
from ._errors import LiveError
from ._search import search_frame
from ._sources import Source, parse_source


@dataclass
class Result:
    """One searched frame: the record, the frame and what ``find_shapes`` found on it."""

    record: dict
    frame: Frame
    found: object
    trails: dict | None = None  # with tracking: {id: ((x, y), ...)}, the last centres of each track


class Live:
    """The records of a live source, searched as the frames come; made by `live`.

    Parameters
    ----------
    source, window, fits, **kw
        As for `live`. ``prepare(rgb) -> (window, fit keywords)``, for the command line, builds
        and checks the options against the first frame instead of ``window``.

    Attributes
    ----------
    source : Source
        What is read, as `parse_source` told it.
    window : Window
        The colour window used for the next frame (see `set_window`).
    width, height : int
        The size of the first frame.
    rate : float or None
        Frames a second by the source's own word.
    decoded, searched : int
        Frames decoded and searched so far.
    latencies : list of float
        Seconds from decoded to record, of every record (the newest 50,000 at least).
    tracker : Tracker or None
        With ``track``, the tracker that follows the records (``tracker.tracks``: the live
        tracks).

    Notes
    -----
    Iterating yields the records (dicts); `results` yields `Result` objects, which also hold
    the frame and what ``find_shapes`` found. `close` (or leaving a ``with`` block) stops the
    capture; `summary` gives the counts and latency percentiles so far.

    Examples
    --------
    >>> import quorvane_tools as qt
    >>> w = qt.Window(hue=(0.15, 0.7), chroma=(0.3, 1.0), intensity=(0.15, 0.95))
    >>> with qt.live("rtsp://10.0.0.7/cam", w, ["circle"], radius=(10, 60)) as stream:  # doctest: +SKIP
    ...     for record in stream:
    ...         if record["latency_ms"] > 50:
    ...             stream.set_window(w)
    ...     print(stream.summary()["latency_ms"]["p99"])
    """

    def __init__(self, source, window=None, fits=("circle",), *, box=None, outside=None,
                 format=None, options=None, backend=None, realtime=False, every: int = 1,  # noqa: A002
                 max_fps=None, seed: int | None = 1, open_timeout: float = 10.0,
                 read_timeout: float = 5.0, retry_for=None, log=None, prepare=None, track=False,
                 **fit):
        import quorvane_tools as qt
        from ..tracks import VideoTracking

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
    """Search the frames of a camera, a stream or a file as they come.

    Parameters
    ----------
    source : str or int
        ``"/dev/video0"`` or ``0`` (a V4L2 camera), a URL (``rtsp://``, ``http://`` MJPEG or
        MPEG-TS, ``udp://``, ``srt://``, ...), or a video file; see `parse_source`.
    window : Window, optional
        The colour window. Without it, give ``box=`` (and ``outside=``) to suggest one on the
        first frame.
    fits : sequence of str or str, default ("circle",)
        The fits of ``find_shapes``.
    box, outside : (x, y, w, h), optional
        The boxes ``suggest_window`` takes on the first frame when ``window`` is None.
    format : str, optional
        The demuxer (e.g. ``"mpegts"``, ``"mjpeg"``); ``options`` (dict) go to it and to the
        protocol.
    backend : {"pyav", "opencv"}, optional
        How to read a camera; streams and files are read with PyAV.
    realtime : bool, default False
        Play a file at its own frame rate, dropping frames like a camera; otherwise every
        frame of a file is searched in turn.
    every : int, default 1
        Search at most one frame in ``every``.
    max_fps : float, optional
        Search at most ``max_fps`` frames a second.
    seed : int or None, default 1
        Frame n is fitted after seeding the C library's generator with
        ``frame_seed(seed, n)``; None: not seeded.
    open_timeout, read_timeout : float, default 10.0 and 5.0
        Seconds to wait for the source to answer, and without data before a stream counts as
        lost.
    retry_for : float, optional
        A lost stream is reopened with backoff for ``retry_for`` seconds (None: for ever).
    log : callable, optional
        ``log(text)`` receives the messages on lost and recovered streams.
    track : bool or dict, default False
        True (or a dict of ``Tracker`` keywords) follows the circles and ellipses from frame to
        frame, as ``track_video`` does: every record gains ``"tracks"`` and ``"events"`` (see
        ``Tracker.update``) and ``"stages_ms"`` a ``"track"`` stage. Velocities are in pixels
        per second of the frames' real times: when a camera's or a stream's frame was decoded,
        a file's own timestamps. Frames dropped or skipped (``every``, ``max_fps``) are not seen
        by the tracker, so ``max_lost`` counts searched frames.
    **fit
        The other keywords of ``find_shapes`` (``radius``, ``count``, ...).

    Returns
    -------
    Live
        An iterator of records that can be closed (use it in a ``with`` block). Each record is
        ``{"frame": n, "time": wall-clock seconds when decoded, "stream_time": seconds by the
        stream's timestamps or None, "latency_ms": decoded to record, "dropped": frames not
        searched so far, "stages_ms": {...}, "shapes": [records of find --json]}``.

    Raises
    ------
    LiveError
        For a source that cannot be opened or read, bad numbers, or bad ``track`` keywords.

    Examples
    --------
    >>> import quorvane_tools as qt
    >>> w = qt.Window(hue=(0.15, 0.7), chroma=(0.3, 1.0), intensity=(0.15, 0.95))
    >>> with qt.live("/dev/video0", w, ["circle"], radius=(10, 60), every=2) as stream:  # doctest: +SKIP
    ...     for record in stream:
    ...         print(record["frame"], record["latency_ms"], record["shapes"])
    >>> qt.live("no-such-clip.mp4", w)
    Traceback (most recent call last):
    ...
    quorvane_tools.live.LiveError: no-such-clip.mp4: no such file, camera or stream
    """
    return Live(source, window, fits, **kw)

