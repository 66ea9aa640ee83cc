"""Sources of frames: telling cameras, streams and files apart, and opening them (PyAV, or
OpenCV's capture for a camera)."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from urllib.parse import urlsplit

from ._errors import LiveError, _why

STREAM_SCHEMES = ("rtsp", "rtsps", "rtmp", "rtmps", "http", "https", "udp", "tcp", "srt", "rtp")


@dataclass(frozen=True)
class Source:
    """Where frames come from, as `parse_source` tells it.

    Attributes
    ----------
    text : str
        The source as the user wrote it (used in messages).
    kind : {"camera", "stream", "file"}
    target : str
        What the demuxer opens (a camera index becomes ``/dev/videoN``).
    format : str or None
        The demuxer to use; ``options``, sorted (key, value) pairs, go to it.
    backend : {"pyav", "opencv"}
    """

    text: str
    kind: str
    target: str
    format: str | None = None
    options: tuple = ()
    backend: str = "pyav"


def parse_source(text, format=None, options=None, backend=None) -> Source:  # noqa: A002
    """Tell a camera, a network stream and a file apart.

    Parameters
    ----------
    text : str or int
        ``/dev/video0``, or an index such as ``0`` (a camera); a URL with one of
        ``STREAM_SCHEMES`` (a stream); or the path of a video file.
    format : str, optional
        The demuxer; ``"video4linux2"`` also makes another ``/dev/`` path a camera.
    options : dict, optional
        Options for the demuxer and the protocol (for OpenCV's capture: width, height, fps).
    backend : {"pyav", "opencv"}, optional
        How to read a camera (default pyav); streams and files are read with PyAV.

    Returns
    -------
    Source

    Raises
    ------
    LiveError
        For a camera, a file or a kind of stream that cannot be there, or a backend that
        cannot read it.

    Examples
    --------
    >>> from quorvane_tools.live import parse_source
    >>> s = parse_source("rtsp://10.0.0.7/cam", options={"rtsp_transport": "tcp"})
    >>> s.kind, s.options
    ('stream', (('rtsp_transport', 'tcp'),))
    >>> parse_source("ftp://10.0.0.7/cam")
    Traceback (most recent call last):
    ...
    quorvane_tools.live.LiveError: ftp://10.0.0.7/cam: unknown kind of stream 'ftp://'; ...
    """
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

