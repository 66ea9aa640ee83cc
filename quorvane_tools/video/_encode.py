"""Writing the annotated video: the encoder (one packet per frame, YUV 4:2:0 on a thread of its
own), the stretches of several tasks joined without re-encoding, and the container format."""

from __future__ import annotations

import os
import queue
import tempfile
import threading
from fractions import Fraction
from pathlib import Path

import numpy as np

from .._arrays import atomic_output
from ._index import VideoError, _av, _why


def pick_codec() -> str:
    """libx264 (H.264) when this FFmpeg has it, else mpeg4 (MPEG-4 part 2)."""
    av = _av()
    for name in ("libx264", "mpeg4"):
        try:
            av.codec.Codec(name, "w")
            return name
        except Exception:
            continue
    raise VideoError("this FFmpeg build has neither an H.264 nor an MPEG-4 encoder")



class _Encoder:
    """Annotated RGB frames into a video file, one packet per frame (no B-frames), so that
    stretches written by different tasks can be joined packet by packet. Each frame keeps its
    time (variable frame rates stay as they were).

    Frames are handed to the encoder in its own pixel format, YUV 4:2:0, converted by the
    tools' native helper (BT.601, limited range: see src/tools/yuv.h), and encoded on a thread
    of their own (``threaded``), which overlaps the conversion and the encoder with the search
    of the next frame; at most ``QUEUE`` frames wait for it. A failure there is raised by the
    next ``add`` or by ``close``."""

    QUEUE = 3
    THREADED = True  # the default of ``threaded``

    def __init__(self, path: str, codec: str, rate: Fraction, size: tuple, tb: Fraction | None = None,
                 threaded: bool | None = None):
        av = _av()
        self.path = path
        w, h = size
        self.w, self.h = w - w % 2, h - h % 2  # 4:2:0 chroma wants even sizes
        self.container = av.open(path, "w")
        self.stream = self.container.add_stream(codec, rate=rate)
        self.stream.width, self.stream.height = self.w, self.h
        self.stream.pix_fmt = "yuv420p"
        self.tb = Fraction(tb) if tb is not None else 1 / Fraction(rate)
        self.stream.codec_context.time_base = self.tb
        if codec == "libx264":
            self.stream.options = {"preset": "veryfast", "crf": "20", "bf": "0"}
        else:
            self.stream.options = {"bf": "0"}
            self.stream.bit_rate = max(int(self.w * self.h * float(rate) * 0.2), 1_000_000)
        self.n = 0
        self.last = None
        self.pending = None  # a pipe's frames wait for their times (retime)
        self.threaded = self.THREADED if threaded is None else threaded
        self._queue = None
        self._thread = None
        self._error = None
        self._stop = False

    def _ticks(self, seconds) -> int:
        t = self.n if seconds is None else int(round(Fraction(seconds).limit_denominator(10**6) / self.tb))
        if self.last is not None and t <= self.last:
            t = self.last + 1  # repeated timestamps: keep the order, one tick apart
        self.last = t
        return t

    def add(self, rgb, seconds=None) -> None:
        """Queue an RGB frame (not changed afterwards by the caller) at ``seconds``."""
        self._raise()
        pts = self._ticks(seconds)
        self.n += 1
        if not self.threaded:
            self._encode(rgb, pts)
            return
        if self._thread is None:
            self._queue = queue.Queue(self.QUEUE)
            self._thread = threading.Thread(target=self._work, name="quorvane-encode", daemon=True)
            self._thread.start()
        self._queue.put((rgb, pts))

    def _frame(self, rgb):
        """The encoder's frame (YUV 4:2:0) of an RGB picture."""
        from .. import _native  # the tools' native helper, found on the package's path

        av = _av()
        if rgb.dtype == np.uint8 and rgb.ndim == 3 and rgb.shape[2] in (3, 4) \
                and rgb.shape[0] >= self.h and rgb.shape[1] >= self.w:
            frame = av.VideoFrame(self.w, self.h, "yuv420p")
            y, u, v = frame.planes
            try:
                _native.rgb_to_yuv420(rgb, self.w, self.h, y, y.line_size, u, u.line_size, v, v.line_size)
                return frame
            except ValueError:  # pixels not packed (a view with steps): FFmpeg's scaler below
                pass
        picture = np.ascontiguousarray(rgb[: self.h, : self.w, :3], np.uint8)
        return av.VideoFrame.from_ndarray(picture, format="rgb24")

    def _encode(self, rgb, pts) -> None:
        frame = self._frame(rgb)
        frame.pts, frame.time_base = pts, self.tb
        self.container.mux(self.stream.encode(frame))

    def _work(self) -> None:
        while True:
            item = self._queue.get()
            if item is None:
                return
            if self._error is not None or self._stop:
                continue  # failed or stopped: let the frames still queued go
            try:
                self._encode(*item)
            except BaseException as e:  # noqa: BLE001 - raised again on the caller's thread
                self._error = e

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            self._stop = True
            raise error

    def _join(self) -> None:
        if self._thread is not None:
            self._queue.put(None)
            self._thread.join()
            self._thread = None

    def retime(self, seconds: list) -> None:
        """A pipe's frames were given no times (they are known only at its end): the file is
        remuxed with them."""
        self.times = seconds

    def close(self) -> None:
        self._join()
        self._raise()
        self.container.mux(self.stream.encode(None))
        self.container.close()
        times = getattr(self, "times", None)
        if times is not None:
            _retime_file(self.path, times)

    def abort(self) -> None:
        self._stop = True
        try:
            self._join()
        except BaseException:
            pass
        try:
            self.container.close()
        except Exception:
            pass


def _retime_file(path: str, seconds: list) -> None:
    """Rewrite a Matroska file of one-packet-per-frame video (a segment) with frame k at
    ``seconds[k]``."""
    av = _av()
    with atomic_output(path, "wb") as f, av.open(path) as src, av.open(f, "w", format="matroska") as out:
        istream = src.streams.video[0]
        ostream = out.add_stream_from_template(istream)
        tb = Fraction(1, 1000)
        ostream.time_base = tb
        last = None
        k = 0
        for packet in src.demux(istream):
            if packet.size == 0:
                continue
            t = int(round(Fraction(seconds[min(k, len(seconds) - 1)]).limit_denominator(10**6) / tb))
            t = t if last is None or t > last else last + 1
            last = t
            packet.stream = ostream
            packet.pts = packet.dts = t
            packet.time_base = tb
            out.mux(packet)
            k += 1


def _join(segments: list, dest, fmt: str | None = None) -> None:
    """Join video files written by _Encoder with the same settings, without re-encoding; the
    packets keep their times. ``dest`` is a path or a binary file object (then ``fmt`` names
    the container format)."""
    av = _av()
    with av.open(segments[0]) as first, av.open(dest, "w", format=fmt) as out:
        istream = first.streams.video[0]
        ostream = out.add_stream_from_template(istream)
        ostream.time_base = istream.time_base
        last = None
        for seg in segments:
            with av.open(seg) as src:
                for packet in src.demux(src.streams.video[0]):
                    if packet.size == 0 or packet.pts is None:
                        continue
                    t = packet.pts * packet.time_base
                    if last is not None and t <= last:
                        continue  # never happens with ranges that do not overlap
                    last = t
                    packet.stream = ostream
                    packet.dts = packet.pts
                    out.mux(packet)



def _write_output(segments, out_path: Path, fmt: str) -> None:
    with atomic_output(out_path, "wb") as f:
        _join(segments, f, fmt)



def _check_format(path: Path) -> str:
    """The container format FFmpeg writes for this file name (refused: one it cannot write)."""
    av = _av()
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.check.", suffix=path.suffix, dir=path.parent)
    os.close(fd)
    try:
        with av.open(tmp, "w") as c:
            name = c.format.name
    except (ValueError, av.FFmpegError) as e:
        raise VideoError(
            f"{path}: cannot write a video of this kind ({_why(e)}); try .mp4 or .mkv"
        ) from None
    finally:
        os.unlink(tmp)
    return name.split(",")[0]


