"""Shapes in every frame of a video, in this process or spread over a Dask cluster.

    import quorvane_tools as qt
    w = qt.Window(hue=(0.15, 0.7), chroma=(0.3, 1.0), intensity=(0.15, 0.95))
    result = qt.track_video("match.mp4", w, ["circle"], radius=(10, 60), seed=1)
    for f in result["frames"]:
        print(f["index"], f["time"], f["shapes"])

Frames are decoded with PyAV (the ``video`` extra) and converted to RGB. Frame ``i`` is fitted
right after the C library's generator is seeded with ``frame_seed(seed, i)``, so every frame's
shapes depend only on the seed and the frame, never on how the video was cut into tasks or
which process ran them. With a Dask ``client`` (the ``dask`` extra) the frames are cut into
ranges that start at keyframes where possible; every task opens the file itself, seeks to its
range and sends back only the records (and, with ``out``, writes its stretch of the annotated
video next to the output; the stretches are joined without re-encoding).
"""

from __future__ import annotations

import argparse
import bisect
import hashlib
import json
import math
import os
import shutil
import stat
import tempfile
import time
import uuid
from dataclasses import dataclass, field, replace
from fractions import Fraction
from pathlib import Path

__all__ = ["VideoError", "VideoTaskError", "track_video", "frame_seed", "probe_video", "read_frame"]


class VideoError(ValueError):
    """A video that cannot be used as asked (missing, unreadable, frame range beyond its end...),
    with a one-line reason."""


class VideoTaskError(RuntimeError):
    """A range of frames whose task failed (after the cluster's retries); names the range and
    the cause in one line."""

    def __init__(self, start: int, stop: int, cause: BaseException):
        self.start, self.stop, self.cause = start, stop, cause
        why = " ".join(str(cause).split()) or "(no message)"
        super().__init__(f"frames {start}..{stop - 1} failed: {type(cause).__name__}: {why}")


def frame_seed(seed: int, index: int) -> int:
    """The C generator's seed for frame ``index`` of a run seeded with ``seed`` (32 bits)."""
    digest = hashlib.blake2b(f"quorvane-video:{int(seed)}:{int(index)}".encode(), digest_size=4).digest()
    return int.from_bytes(digest, "little")


def _av():
    try:
        import av
    except ImportError:
        raise VideoError("reading video needs PyAV: python3 -m pip install 'quorvane[video]'") from None
    return av


# --------------------------------------------------------------------------
# Index of the frames: presentation timestamps and keyframes, from the packets alone
#
# Frame i is the i-th frame the decoder hands out, counting from the start of the file: the
# decoder puts frames in presentation order whatever order the packets come in. Its time is the
# i-th smallest packet timestamp (so files whose frames come out of the decoder carrying the
# wrong timestamps, as B-frames in AVI do, still get the right times). After a seek, the first
# frame out is placed by its timestamp; the frames after it are counted.


@dataclass(frozen=True)
class VideoInfo:
    """What a run needs to know about a video: its frames' presentation timestamps in order
    (``pts[i]`` is frame ``i``; repeated timestamps are kept), the indices of its keyframes, the
    stream's time base and frame rate, the frame size, and whether it can be seeked (a regular
    file) and read more than once. ``declared`` is the frame count the container's header
    promises when the packets fall short of it (a truncated file), else None."""

    path: str
    pts: tuple
    keys: tuple
    time_base: Fraction
    start: int
    rate: Fraction
    width: int
    height: int
    seekable: bool = True
    declared: int | None = None

    def time(self, index: int) -> float:
        """Seconds from the first frame to frame ``index``."""
        if index < len(self.pts):
            return round(float((self.pts[index] - self.start) * self.time_base), 6)
        last = len(self.pts) - 1  # past the packets (a frame the probe did not see)
        return round(float((self.pts[last] - self.start) * self.time_base) + (index - last) / float(self.rate), 6)

    @property
    def frames(self) -> int:
        return len(self.pts)


def _is_pipe(path) -> bool:
    """True for a FIFO, a character device or a socket: something that can be read once."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


def _open_input(path):
    av = _av()
    p = Path(path)
    if not p.exists():
        raise VideoError(f"{path}: no such file")
    if p.is_dir():
        raise VideoError(f"{path}: is a folder, not a video")
    try:
        container = av.open(str(p))
    except (av.FFmpegError, OSError, ValueError) as e:
        raise VideoError(f"{path}: not a video FFmpeg can read ({_why(e)})") from None
    if not container.streams.video:
        container.close()
        raise VideoError(f"{path}: has no video stream")
    return container


def _rate_of(stream) -> Fraction | None:
    rate = stream.average_rate or stream.guessed_rate or stream.base_rate
    return Fraction(rate) if rate and rate > 0 else None


# Formats whose duration FFmpeg only estimates (from the bit rate): no promise to hold them to.
_ESTIMATED_DURATION = ("mpegts", "mpeg", "h264", "hevc", "m4v", "mjpeg", "rawvideo", "yuv4mpegpipe")


def probe_video(path) -> VideoInfo:
    """Read the packets of the first video stream (no decoding) and index its frames.

    Raises VideoError for a missing file, a file that is not a video, or a video whose packets
    carry no timestamps. A pipe or a device cannot be read twice: see ``track_video``."""
    if _is_pipe(path):
        raise VideoError(f"{path}: is a pipe or a device, which can be read only once; "
                         "it is read in one pass by track_video without frames= ranges or a cluster")
    av = _av()
    container = _open_input(path)
    with container:
        stream = container.streams.video[0]
        stamps, keyflags = [], []
        step = None
        try:
            for packet in container.demux(stream):
                if packet.size == 0:
                    continue
                t = packet.pts if packet.pts is not None else packet.dts
                if t is None:
                    if not stamps:
                        raise VideoError(
                            f"{path}: its packets carry no timestamps; put the stream into a container "
                            "first (for example: ffmpeg -i IN -c copy OUT.mp4)"
                        )
                    if step is None:
                        rate = _rate_of(stream) or Fraction(25)
                        step = max(int(round(1 / (rate * stream.time_base))), 1)
                    t = stamps[-1] + step
                stamps.append(int(t))
                keyflags.append(bool(packet.is_keyframe))
        except av.FFmpegError:
            pass  # a damaged or cut tail: the frames before it are indexed, decoding says the rest
        if not stamps:
            raise VideoError(f"{path}: the video has no frames")
        order = sorted(range(len(stamps)), key=lambda k: (stamps[k], k))
        pts = tuple(stamps[k] for k in order)
        rank = {}
        for i, t in enumerate(pts):
            rank.setdefault(t, i)
        keys = tuple(sorted({rank[stamps[k]] for k in range(len(stamps)) if keyflags[k]}))
        rate = _rate_of(stream)
        if rate is None:
            span = (pts[-1] - pts[0]) * stream.time_base
            rate = Fraction(len(pts) - 1) / span if len(pts) > 1 and span > 0 else Fraction(25)
        declared = None
        stated = None  # seconds the header says the stream lasts
        if container.format.name == "avi" and stream.frames:
            stated = float(stream.frames * stream.time_base)  # the header's frame slots
        elif not any(n in container.format.name for n in _ESTIMATED_DURATION):
            if stream.duration:
                stated = float(stream.duration * stream.time_base)
            elif container.duration:
                stated = container.duration / 1e6
        if stated is not None:
            seen = float((pts[-1] - pts[0]) * stream.time_base) + 1 / float(rate)
            if stated - seen > 2.5 / float(rate):
                declared = len(pts) + int(round((stated - seen) * float(rate)))
        return VideoInfo(
            str(path), pts, keys, Fraction(stream.time_base), pts[0], Fraction(rate),
            int(stream.codec_context.width), int(stream.codec_context.height), True, declared,
        )


def _why(e: BaseException) -> str:
    return " ".join(str(getattr(e, "strerror", None) or e).split())


def _frames(container, rank: dict | None, first: int, stop: int, seek_pts=None, threads: bool = True,
            ended=None):
    """Yields (index, VideoFrame) for frames first..stop-1 of ``container``'s first video stream.

    ``rank`` maps timestamps to frame indices (None: count from the start of the stream). With
    ``seek_pts``, seeks to that keyframe first; where the decoder's first frame cannot be placed,
    or lands after ``first``, yields the (index, None) marker "start again from the beginning".
    ``ended`` (a list) gets the reason if the stream ends or fails before ``stop``."""
    av = _av()
    stream = container.streams.video[0]
    if threads:
        stream.thread_type = "AUTO"
    if seek_pts is not None:
        container.seek(seek_pts, stream=stream, backward=True, any_frame=False)
    index = None
    try:
        for frame in container.decode(stream):
            if index is None:
                if rank is not None and frame.pts is not None and frame.pts in rank:
                    index = rank[frame.pts]
                elif seek_pts is not None:
                    yield None, None  # cannot tell where the seek landed
                    return
                else:
                    index = 0
                if seek_pts is not None and index > first:
                    yield None, None  # landed after the first wanted frame
                    return
            else:
                index += 1
            if index >= stop:
                return
            if index >= first:
                yield index, frame
    except av.FFmpegError as e:
        if ended is not None:
            ended.append(_why(e))
        return
    if ended is not None:
        ended.append("the stream ends")


def _decode_range(path: str, rank, first: int, stop: int, seek_pts, threads=True, ended=None):
    """Frames first..stop-1 of the file at ``path``: (index, VideoFrame); seeks to ``seek_pts``
    and, where that goes wrong, decodes from the start of the file instead."""
    av = _av()
    for from_start in ((False, True) if seek_pts is not None else (True,)):
        try:
            container = av.open(path)
        except (av.FFmpegError, OSError) as e:
            raise VideoError(f"{path}: cannot open it ({_why(e)})") from None
        with container:
            again = False
            why: list = []
            for index, frame in _frames(container, rank, first, stop, None if from_start else seek_pts,
                                        threads, why):
                if index is None:
                    again = True
                    break
                yield index, frame
            if not again:
                if ended is not None:
                    ended.extend(why)
                return


def read_frame(info: VideoInfo, index: int):
    """Frame ``index`` of the video as an RGB (rows, columns, 3) uint8 array."""
    if not 0 <= index < info.frames:
        raise VideoError(f"{info.path}: frame {index} is beyond its end ({info.frames} frames)")
    for _, frame in _decode_range(info.path, _ranks(info.pts), index, index + 1, _seek_point(info, index)):
        return frame.to_ndarray(format="rgb24")
    raise VideoError(f"{info.path}: frame {index} cannot be decoded")


def _ranks(pts) -> dict:
    rank = {}
    for i, t in enumerate(pts):
        rank.setdefault(t, i)
    return rank


def _seek_point(info: VideoInfo, index: int):
    """The timestamp of the last keyframe at or before frame ``index``; None at the start."""
    if index == 0 or not info.seekable:
        return None
    k = bisect.bisect_right(info.keys, index) - 1
    return info.pts[info.keys[k]] if k >= 0 and info.keys[k] > 0 else None


def plan_ranges(info: VideoInfo, start: int, stop: int, chunk: int) -> list:
    """Cut frames start..stop-1 into ranges of at least ``chunk`` frames that begin at keyframes
    (except the first), so that no task decodes frames it does not keep."""
    chunk = max(int(chunk), 1)
    key_index = list(info.keys)
    ranges, a = [], start
    while a < stop:
        k = bisect.bisect_left(key_index, a + chunk)
        b = key_index[k] if k < len(key_index) and key_index[k] < stop else stop
        ranges.append((a, b))
        a = b
    return ranges


# --------------------------------------------------------------------------
# One task: a range of frames


@dataclass
class _Job:
    path: str
    start: int
    stop: int
    pts: tuple  # timestamps of frames k0..stop-1, k0 = the keyframe the range seeks to
    k0: int
    seek_pts: int | None
    time_base: Fraction
    t0: int
    window: object
    fit: dict
    seed: int
    segment: str | None = None
    codec: str | None = None
    rate: Fraction = Fraction(25)
    size: tuple = (0, 0)
    threads: bool = True
    out_tb: Fraction | None = None
    times: dict = field(default_factory=dict)
    overlay: object = None  # with --track and --out: draws ids and trails (tracks.TrackOverlay)


def _track_range(job: _Job, progress=None, container=None, prepare=None):
    """Find the shapes in frames job.start..job.stop-1; returns (records, stage seconds, why the
    range ended early or None). With ``job.segment`` the annotated frames are encoded into that
    file as well. ``container`` (a pipe, read once) is read instead of opening ``job.path``."""
    import quorvane_tools as qt

    av = _av()
    try:
        return _track_range_here(job, progress, qt, container, prepare)
    except av.FFmpegError as e:
        raise VideoError(f"{job.path}: frames {job.start}..{job.stop - 1}: {_why(e)}") from None


def _track_range_here(job: _Job, progress, qt, container=None, prepare=None):
    from .draw import annotate_into

    clock = time.perf_counter
    times = {"decode": 0.0, "find": 0.0, "annotate": 0.0, "encode": 0.0}
    records = []
    stamps = []  # for a pipe: the decoder's timestamps, sorted into times at the end
    ended: list = []
    encoder = None
    if container is not None:
        frames = _frames(container, None, job.start, job.stop, None, job.threads, ended)
    else:
        rank = {}
        for i, t in enumerate(job.pts):
            rank.setdefault(t, job.k0 + i)
        frames = _decode_range(job.path, rank, job.start, job.stop, job.seek_pts, job.threads, ended)
    try:
        t = clock()
        last = None
        for index, frame in frames:
            rgb = frame.to_ndarray(format="rgb24")
            t1 = clock()
            times["decode"] += t1 - t
            if prepare is not None:  # a pipe: the window and the options come from its first frame
                job.window, job.fit = prepare(rgb)
                prepare = None
            found = qt.find_shapes(rgb, job.window, seed=frame_seed(job.seed, index), **job.fit)
            if container is not None:  # times for now; sorted into place at the end
                stamps.append(frame.pts)
                seconds = (round(float((frame.pts - stamps[0]) * job.time_base), 6)
                           if frame.pts is not None and stamps[0] is not None else len(stamps) / float(job.rate))
            else:
                seconds = _time_of(job, index)
            records.append({"index": index, "time": seconds, "shapes": found.to_dict()["shapes"]})
            t2 = clock()
            times["find"] += t2 - t1
            if job.segment is not None:
                if encoder is None:
                    encoder = _Encoder(job.segment, job.codec, job.rate, (rgb.shape[1], rgb.shape[0]), job.out_tb)
                # The frame converted to RGB for the search is this run's own: drawn on as it is.
                # A decoder that gives RGB itself may keep the picture for the frames after it.
                own = frame.format.name != "rgb24" and rgb.flags.writeable
                picture = annotate_into(rgb if own else rgb.copy(), found)
                if job.overlay is not None:
                    picture = job.overlay(picture, records[-1])
                t3 = clock()
                times["annotate"] += t3 - t2
                encoder.add(picture, None if container is not None else seconds)
                times["encode"] += clock() - t3
            last = index
            if progress is not None:
                progress(1)
            t = clock()
        if container is not None:
            _pipe_times(records, stamps, container.streams.video[0], encoder)
        if encoder is not None:
            t = clock()
            encoder.close()
            encoder = None
            times["encode"] += clock() - t
    finally:
        if encoder is not None:
            encoder.abort()
    short = None
    if (last is None or last < job.stop - 1) and ended and job.stop < (1 << 62):
        lost = job.start if last is None else last + 1
        short = f"frames {lost}..{job.stop - 1} did not decode ({ended[0]})"
    return records, times, short


def _time_of(job: _Job, index: int) -> float:
    k = index - job.k0
    if 0 <= k < len(job.pts):
        return round(float((job.pts[k] - job.t0) * job.time_base), 6)
    base = job.pts[-1] if job.pts else job.t0
    return round(float((base - job.t0) * job.time_base) + (k - len(job.pts) + 1) / float(job.rate), 6)


def _pipe_times(records, stamps, stream, encoder) -> None:
    """Times of a pipe's frames: the decoder's timestamps in order (filled in where missing),
    sorted, from the first one."""
    rate = _rate_of(stream) or Fraction(25)
    tb = stream.time_base or 1 / rate
    step = 1 / (rate * tb)
    filled, prev = [], None
    for t in stamps:
        t = t if t is not None else (prev + step if prev is not None else 0)
        filled.append(t)
        prev = t
    filled.sort()
    t0 = filled[0] if filled else 0
    for rec, t in zip(records, filled):
        rec["time"] = round(float((t - t0) * tb), 6)
    if encoder is not None:
        encoder.retime([rec["time"] for rec in records])


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


def output_time_base(info: VideoInfo) -> Fraction:
    """A time base in which every frame's time is a whole number, as coarse as possible (the
    MPEG-4 encoder takes denominators up to 65535): the source's, times the largest step
    that divides every gap between frames; 1/1000 s when that is finer than the encoder takes."""
    gaps = {b - a for a, b in zip(info.pts, info.pts[1:]) if b > a}
    g = 0
    for d in gaps:
        g = math.gcd(g, d)
    tb = info.time_base * (g or 1)
    return tb if tb.denominator <= 65535 else Fraction(1, 1000)


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
            import queue
            import threading

            self._queue = queue.Queue(self.QUEUE)
            self._thread = threading.Thread(target=self._work, name="quorvane-encode", daemon=True)
            self._thread.start()
        self._queue.put((rgb, pts))

    def _frame(self, rgb):
        """The encoder's frame (YUV 4:2:0) of an RGB picture."""
        import numpy as np

        from . import _native

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
    """Rewrite a file of one-packet-per-frame video with frame k at ``seconds[k]``."""
    av = _av()
    tmp = path + ".retime" + Path(path).suffix
    with av.open(path) as src, av.open(tmp, "w") as out:
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
    os.replace(tmp, path)


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


# --------------------------------------------------------------------------
# The run


def track_video(
    path,
    window=None,
    fits=("circle",),
    *,
    box=None,
    outside=None,
    frames=None,
    seed: int | None = 1,
    out=None,
    client=None,
    chunk: int | None = None,
    retries: int = 2,
    progress=None,
    track=False,
    **fit,
) -> dict:
    """Find shapes in every frame of a video; returns the per-frame records.

    ``window`` is a ``Window``; or give ``box`` = (x, y, w, h) (and optionally ``outside``) to
    have the window suggested from that box on the first frame of the range. ``fits`` and the
    other keywords (``radius``, ``delta``, ``count``, ``rows``, ``columns``, ``min_distance``,
    ...) are those of ``find_shapes``. ``frames`` = (start, stop) limits the run to frames
    start..stop-1 (default: all). Frame ``i`` is fitted with seed ``frame_seed(seed, i)``
    (default 1, as ``quorvane video``; None counts as 1). ``out`` writes an annotated video
    (H.264, else MPEG-4 part 2) with the frames' own times (variable frame rates are kept).

    ``client``: a ``dask.distributed.Client``; the frames are cut into ranges of about ``chunk``
    frames (default: enough for four tasks per worker) that start at keyframes, each range is a
    task that opens the file itself, and a task that still fails after ``retries`` retries raises
    VideoTaskError. Without a client everything runs here, in one pass. ``progress(n)`` is
    called as frames get done.

    ``track``: True (or a dict of ``Tracker`` keywords) follows the circles and ellipses from
    frame to frame: every frame record gains ``"tracks"`` and ``"events"`` (see
    ``Tracker.update``), computed over the records in frame order, so they too are the same
    however the work is split; ``out`` then also draws each track's id and trail.

    ``path`` may be a pipe (a FIFO, standard input's device): it is read once, in one pass;
    ``client`` and ``frames`` beyond the first ones then cannot be used.

    Returns ``{"video": str(path), "fps": float, "window": {...}, "frames": [{"index": i,
    "time": seconds from the first frame, "shapes": [records]}, ...]}`` in frame order, the shape
    records being those of ``Found.to_dict()``. A video that ends before the frames its packets
    or its header promise (a cut file) gives the frames that decoded and the key
    ``"incomplete"``: a one-line reason. Raises VideoError for bad input."""
    import quorvane_tools as qt

    def prepare(rgb):
        w = window
        if w is None:
            if box is None:
                raise VideoError("give a colour window, or a box to suggest one from")
            try:
                w = qt.suggest_window(rgb, box, outside)
            except ValueError as e:
                raise VideoError(f"frame {frames[0] if frames else 0}: {e}") from None
        return w, fit

    return _track(path, prepare, fits, frames=frames, seed=seed, out=out, client=client,
                  chunk=chunk, retries=retries, progress=progress, track=track)


def _plain_window(window):
    import quorvane_tools as qt

    w = qt.Window(*(tuple(map(float, p)) for p in window))  # a plain Window (not a Suggestion)
    try:
        w.check()
    except ValueError as e:
        raise VideoError(str(e)) from None
    return w


def _track(path, prepare, fits, *, frames=None, seed=1, out=None, client=None, chunk=None,
           retries=2, progress=None, info=None, track=False) -> dict:
    """track_video's work; ``prepare(first RGB frame)`` gives (window, find_shapes keywords)."""
    fits = tuple([fits] if isinstance(fits, str) else fits)
    seed = 1 if seed is None else int(seed)
    pipe = _is_pipe(path)
    if pipe and client is not None:
        raise VideoError(f"{path}: is a pipe or a device, which can be read only once; a cluster "
                         "needs a file that every worker can open and seek in (leave out --workers "
                         "and --scheduler to read it here, in one pass)")

    codec = out_path = fmt = None
    if out is not None:
        from ._arrays import OutputError, output_target

        try:
            target = output_target(out)
        except OutputError as e:
            raise VideoError(str(e)) from None
        if target is None:
            raise VideoError(f"{out}: a video is written to a file, not to standard output "
                             "(its container needs to go back to the start)")
        out_path = Path(out).absolute()
        if not out_path.parent.is_dir():
            raise VideoError(f"{out}: folder {out_path.parent} does not exist")
        codec = pick_codec()
        fmt = _check_format(out_path)

    parts = None
    try:
        if out_path is not None:
            parts = tempfile.mkdtemp(prefix=f".{out_path.name}.parts.", dir=out_path.parent)
        if pipe:
            result, short = _track_pipe(path, prepare, fits, frames, seed, parts, codec, progress, track)
        else:
            result, short = _track_file(path, prepare, fits, frames, seed, parts, codec, client,
                                        chunk, retries, progress, info, track)
        segments = result.pop("segments")
        if out_path is not None:
            if not segments:
                raise VideoError(f"{path}: no frame could be decoded")
            _write_output(segments, out_path, fmt)
    finally:
        if parts is not None:
            _remove_folder(parts)
    if short:
        result["incomplete"] = short
    return result


def _tracking(track, size):
    if track is None or track is False:  # {} is the default tracker, as in live
        return None
    from .tracks import VideoTracking

    try:
        return VideoTracking(track, size)
    except (TypeError, ValueError) as e:
        raise VideoError(f"track: {e}") from None


def _track_file(path, prepare, fits, frames, seed, parts, codec, client, chunk, retries, progress,
                info=None, track=False):
    info = probe_video(path) if info is None else info
    start, stop = (0, info.frames) if frames is None else (int(frames[0]), int(frames[1]))
    if not 0 <= start < stop:
        raise VideoError(f"frame range {start} {stop} needs 0 <= START < STOP")
    if stop > info.frames:
        raise VideoError(f"{path}: frame range {start} {stop} is beyond its end ({info.frames} frames)")
    window, fit = prepare(read_frame(info, start))
    window = _plain_window(window)
    fit = dict(fit, fits=fits)
    tracking = _tracking(track, (info.width, info.height))

    if client is None:
        ranges = [(start, stop)] if chunk is None else plan_ranges(info, start, stop, chunk)
    else:
        if chunk is None:
            workers = max(len(client.scheduler_info().get("workers", {})), 1)
            chunk = max(math.ceil((stop - start) / (4 * workers)), 1)
        ranges = plan_ranges(info, start, stop, chunk)
    where = os.path.abspath(info.path)  # the tasks may run in another working folder
    out_tb = output_time_base(info) if parts else None
    jobs = []
    for k, (a, b) in enumerate(ranges):
        seek = _seek_point(info, a)
        k0 = bisect.bisect_right(info.keys, a) - 1
        k0 = info.keys[k0] if seek is not None and k0 >= 0 else 0
        seg = os.path.join(parts, f"{k:06d}.mkv") if parts else None
        jobs.append(
            _Job(where, a, b, info.pts[k0:b], k0, seek, info.time_base, info.start, window, fit, seed,
                 seg, codec, info.rate, (info.width, info.height),
                 # FFmpeg's decoding threads help one process; a cluster's workers
                 # already fill the cores.
                 threads=client is None, out_tb=out_tb)
        )
    tracked = False
    if tracking is not None and parts:
        # The annotated frames show the tracks, which depend on every frame before them.
        tracked = True
        if client is None:  # one process, frames in order: track as they come
            overlay = tracking.overlay()
            jobs = [replace(job, overlay=overlay) for job in jobs]
        else:  # the records first, tracked here in order; then the tasks draw
            half = _halves(progress)
            results = _run_on(client, [replace(job, segment=None) for job in jobs], retries, half)
            done = tracking.run([rec for records, _, _ in results for rec in records])
            jobs = [replace(job, overlay=tracking.replay(done, job.start, job.stop)) for job in jobs]
            _run_on(client, jobs, retries, half)
    if client is None:
        results = [_track_range(job, progress) for job in jobs]
    elif not tracked:
        results = _run_on(client, jobs, retries, progress)
    if tracking is not None and not tracked:
        tracking.run([rec for records, _, _ in results for rec in records])
    shorts = [s for _, _, s in results if s]
    if info.declared:
        shorts.append(f"its header promises {info.declared} frames, {info.frames} are in the file")
    segments = [job.segment for job, (recs, _, _) in zip(jobs, results) if job.segment and recs]
    return ({"video": str(path), "fps": float(info.rate), "window": window.to_dict(),
             "frames": [rec for records, _, _ in results for rec in records], "segments": segments},
            "; ".join(shorts) or None)


def _halves(progress):
    """A progress callback for two passes over the frames: each pass counts half a frame."""
    if progress is None:
        return None
    carry = [0]

    def half(n):
        whole, carry[0] = divmod(carry[0] + n, 2)
        if whole:
            progress(whole)

    return half


def _track_pipe(path, prepare, fits, frames, seed, parts, codec, progress, track=False):
    start, stop = (0, 1 << 62) if frames is None else (int(frames[0]), int(frames[1]))
    if not 0 <= start < stop:
        raise VideoError(f"frame range {start} {stop} needs 0 <= START < STOP")
    container = _open_input(path)
    with container:
        stream = container.streams.video[0]
        rate = _rate_of(stream) or Fraction(25)

        tracking = []

        def first(rgb):
            window, fit = prepare(rgb)
            t = _tracking(track, (rgb.shape[1], rgb.shape[0]))
            if t is not None:
                tracking.append(t)
                if parts:  # one pass, frames in order: track as they come
                    job.overlay = t.overlay()
            return _plain_window(window), dict(fit, fits=fits)

        job = _Job(str(path), start, stop, (), 0, None, Fraction(stream.time_base or 1 / rate), 0,
                   None, {}, seed, os.path.join(parts, "000000.mkv") if parts else None,
                   codec, rate, (0, 0))
        records, _, short = _track_range(job, progress, container=container, prepare=first)
    if tracking and not parts:
        tracking[0].run(records)
    if not records:
        raise VideoError(f"{path}: no frame could be decoded" if start == 0 else
                         f"{path}: frame range {start} {stop} is beyond its end")
    if frames is not None and records[-1]["index"] < stop - 1:
        raise VideoError(f"{path}: frame range {start} {stop} is beyond its end "
                         f"({records[-1]['index'] + 1} frames)")
    if frames is None:
        short = None  # a pipe read to its end: nothing promised more
    return ({"video": str(path), "fps": float(rate), "window": job.window.to_dict(),
             "frames": records, "segments": [job.segment] if job.segment else []}, short)


def _write_output(segments, out_path: Path, fmt: str) -> None:
    import quorvane_tools as qt

    with qt.atomic_output(out_path, "wb") as f:
        _join(segments, f, fmt)


def _remove_folder(folder: str) -> None:
    """Remove the segments' folder; a task still running when a run fails may add a file to it
    while it goes, so try a few times (a task that starts later cannot create its file)."""
    for _ in range(20):
        shutil.rmtree(folder, ignore_errors=True)
        if not os.path.exists(folder):
            return
        time.sleep(0.05)


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


def _task(job: _Job):
    """A cluster's task: bad input comes back as a value (Dask does not always keep an
    exception's type), so that it ends the run as it would in one process."""
    try:
        return "done", _track_range(job)
    except VideoError as e:
        return "bad input", str(e)


def _run_on(client, jobs, retries, progress):
    """Submit one task per job; results in job order. The first task that fails for good
    cancels the others and raises VideoTaskError (VideoError for bad input, as in one process)."""
    from distributed import as_completed

    token = uuid.uuid4().hex[:12]
    futures = [
        client.submit(
            _task, job, key=f"quorvane-video-{token}-{job.start}", retries=retries, pure=False
        )
        for job in jobs
    ]
    by_key = {f.key: (k, job) for k, (f, job) in enumerate(zip(futures, jobs))}
    results = [None] * len(jobs)
    try:
        for future in as_completed(futures):
            k, job = by_key[future.key]
            try:
                kind, value = future.result()
            except Exception as e:
                raise VideoTaskError(job.start, job.stop, e) from None
            if kind == "bad input":
                raise VideoError(value)
            results[k] = value
            if progress is not None:
                progress(job.stop - job.start)
    except BaseException:
        client.cancel(futures)
        raise
    return results


def dumps(result: dict) -> str:
    """The result as JSON text, one frame a line; the same result gives the same bytes."""
    head = ", ".join(f"{json.dumps(k)}: {json.dumps(result[k])}" for k in result if k != "frames")
    body = ",\n".join("  " + json.dumps(f) for f in result["frames"])
    return "{" + head + ', "frames": [\n' + body + "\n]}\n"


# --------------------------------------------------------------------------
# Command line: quorvane video


DESCRIPTION = """\
Find shapes of one colour in every frame of a video, on this machine or on a Dask cluster.

Each frame is decoded (PyAV), converted to RGB and searched exactly as `quorvane find` searches a
picture: colour mask, edge points, then the fits asked for. Frame i's fits are seeded from
(--seed, i), so the result is the same byte for byte however the work is split: one process,
--workers 1 or 8, any --chunk."""

EPILOG = """\
examples:
  quorvane video match.mp4 --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95 \\
      --fit circle --radius 10 60 --json ball.json
  quorvane video match.mp4 --box 610 300 40 40 --fit circle --out tracked.mp4
      (the window is suggested from the box on the first frame of the range: here frame 0;
       with --frames 500 900, on frame 500)
  quorvane video match.mp4 --box 610 300 40 40 --fit circle --workers 2 --json ball.json
  quorvane video match.mp4 --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95 \\
      --scheduler tcp://127.0.0.1:8786 --json ball.json

the JSON (--json FILE, or --json - for standard output), one frame a line, in frame order:
  {"video": "match.mp4", "fps": 25.0, "window": {"hue": [..], "chroma": [..], "intensity": [..]},
   "frames": [
    {"index": 0, "time": 0.0, "shapes": [{"shape": "circle", "x": 633, "y": 318, "r": 17,
                                          "inliers": 96, "warning": null}]},
    ...]}
  Only shapes that were found are listed; "time" is in seconds from the first frame, by the
  frames' own timestamps (a variable frame rate shows, and --out keeps it). Without --json a
  line per frame is printed instead. A file that ends before the frames it promises (a cut or
  damaged file) gives the frames that decoded, the key "incomplete" with the reason, a
  warning on standard error and exit status 3.

tracks (--track): each frame record also has
    "tracks": [{"id": 1, "state": "confirmed", "shape": "circle", "x": 633.2, "y": 318.1,
                "r": 17.0, "vx": 152.4, "vy": -3.1, "match": 0}, ...],
    "events": [{"event": "appeared", "id": 1}, ...]
  A new object gets the next id once it has been seen in 3 frames in a row; "x", "y", "r" are
  smoothed, "vx", "vy" in pixels per second, "match" the index of its shape in "shapes" (null
  while "lost": not seen in this frame, "x" and "y" are then where it is predicted). A lost
  track that is not seen again within 15 frames, or whose predicted centre leaves the frame,
  ends. Events: "appeared", "lost", "found", "ended". The tracks are computed over the records
  in frame order, so they too are the same for any split; --out also draws ids and trails.

files and pipes: frames are numbered in the order the decoder hands them out (presentation
  order, whatever order the packets and their timestamps come in). A FIFO or a device
  (e.g. VIDEO of /dev/stdin with a pipe) is read once, in one pass; --workers and --scheduler
  need a regular file.

clusters:
  --workers N starts N worker processes on this machine (a Dask LocalCluster, on 127.0.0.1)
  for this run. --scheduler ADDRESS joins a running cluster, for example one started with
      dask scheduler                      (prints tcp://HOST:8786)
      dask worker tcp://HOST:8786         (on every machine, in an environment with quorvane[video,dask])
  Every worker opens VIDEO itself at the same path (so the path must reach the same file on
  every machine, e.g. on a shared disk) and seeks to its range; only the records travel back.
  With --out, each task writes its stretch of the annotated video beside the output, and the
  stretches are joined without re-encoding. Ranges start at keyframes: a video with keyframes
  far apart cuts into few ranges. A task that fails is retried (--retries); if it still fails,
  the run stops with the frame range and the cause, and writes nothing. The workers' logs
  stay out of the terminal unless --verbose.

exit status: 0 done, 1 a task failed, 2 bad input (one line on standard error), 3 the video
ended before the frames it promised (the frames that decoded are written), 141 standard output
was closed early (e.g. by | head)."""


MAX_FRAME = (1 << 62) - 1  # frame indices of --frames and --chunk
MAX_WORKERS = 256  # --workers: processes started on this machine
MAX_RETRIES = 100


def register(subparsers) -> None:
    from . import cli

    p = subparsers.add_parser(
        "video",
        help="find shapes in every frame of a video (one process or a Dask cluster)",
        description=DESCRIPTION,
        epilog=cli.MODEL_HELP + "\n\n" + EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("video", metavar="VIDEO", help="a video file FFmpeg can read (needs quorvane[video])")
    cli.add_window_options(p)
    cli.add_fit_options(p)
    g = p.add_argument_group("video")
    g.add_argument(
        "--frames", nargs=2, type=cli.whole(0, MAX_FRAME), metavar=("START", "STOP"),
        help="only frames START..STOP-1 (counting from 0); --box is read on frame START",
    )
    g.add_argument("--json", metavar="FILE",
                   help="write the records as JSON to FILE ('-': standard output)")
    g.add_argument("--out", metavar="VIDEO",
                   help="write the annotated video (H.264, else MPEG-4 part 2; .mp4 or .mkv)")
    g.add_argument("--track", action="store_true",
                   help="follow the circles and ellipses from frame to frame: ids, smoothed "
                   "centres, velocities and events in the records, ids and trails in --out")
    d = p.add_argument_group("cluster (needs quorvane[dask])")
    m = d.add_mutually_exclusive_group()
    m.add_argument("--workers", type=cli.whole(1, MAX_WORKERS), metavar="N",
                   help=f"start a local cluster of N worker processes (1 to {MAX_WORKERS})")
    m.add_argument("--scheduler", metavar="ADDRESS",
                   help="use a running cluster, e.g. tcp://10.0.0.5:8786")
    d.add_argument(
        "--chunk", type=cli.whole(1, MAX_FRAME), metavar="FRAMES",
        help="frames per task, rounded up to the next keyframe (default: four tasks per worker)",
    )
    d.add_argument("--retries", type=cli.whole(0, MAX_RETRIES), default=2, metavar="N",
                   help=f"retries of a failed task (default 2, at most {MAX_RETRIES})")
    d.add_argument("--verbose", action="store_true", help="let the workers' logs through to standard error")
    p.set_defaults(run=run)


def _local_cluster(n: int, verbose: bool = False):
    import logging

    from distributed import Client, LocalCluster

    level = logging.WARNING if verbose else logging.CRITICAL
    cluster = LocalCluster(
        n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=level,
    )
    return cluster, Client(cluster)


def _needs_dask():
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise VideoError(
            "--workers and --scheduler need Dask: python3 -m pip install 'quorvane[dask]'"
        ) from None


EXIT_INCOMPLETE = 3


def run(args) -> int:
    import sys

    from . import cli
    from ._progress import Progress

    try:
        return _run(args, cli, Progress)
    except VideoError as e:
        raise cli.CliError(str(e)) from None
    except VideoTaskError as e:
        print(f"quorvane: error: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # the reader went away (| head): end quietly
        _quiet_stdout()
        return cli.EXIT_PIPE
    except OSError as e:  # writing the outputs: disk full, no permission, ...
        where = f"{e.filename}: " if e.filename else ""
        raise cli.CliError(f"{where}{e.strerror or _why(e)}") from None


def _quiet_stdout() -> None:
    from .live import _quiet_stdout as quiet

    quiet()


def _quiet_logs(verbose: bool):
    """Keep Dask's client-side logging (a failed task's traceback) off the terminal."""
    import contextlib
    import logging

    if verbose:
        return contextlib.nullcontext()

    @contextlib.contextmanager
    def quiet():
        loggers = [logging.getLogger(n) for n in ("distributed", "distributed.client", "distributed.worker",
                                                     "distributed.scheduler", "distributed.nanny")]
        levels = [lg.level for lg in loggers]
        for lg in loggers:
            lg.setLevel(logging.CRITICAL)
        try:
            yield
        finally:
            for lg, lv in zip(loggers, levels):
                lg.setLevel(lv)

    return quiet()


def _run(args, cli, Progress) -> int:
    import sys

    _av()
    for option in ("json", "out"):
        value = getattr(args, option)
        if value is not None and not (option == "json" and value == "-"):
            cli.check_output(value, f"--{option}")
    clustered = args.workers is not None or args.scheduler is not None
    pipe = _is_pipe(args.video)
    if pipe and clustered:
        raise VideoError(f"{args.video}: is a pipe or a device, which can be read only once; "
                         "--workers and --scheduler need a regular file (leave them out to read it "
                         "here, in one pass)")
    info = None
    if pipe:
        if args.frames and not 0 <= args.frames[0] < args.frames[1]:
            raise VideoError(f"--frames {args.frames[0]} {args.frames[1]} needs 0 <= START < STOP")
        total = None
    else:
        info = probe_video(args.video)
        start, stop = args.frames if args.frames else (0, info.frames)
        if not 0 <= start < stop:
            raise VideoError(f"--frames {start} {stop} needs 0 <= START < STOP")
        if stop > info.frames:
            raise VideoError(
                f"{args.video}: --frames {start} {stop} is beyond its end ({info.frames} frames)"
            )
        total = stop - start
    settings = {}

    def prepare(rgb):  # the options of `find`, built and checked as `find` does, on the first frame
        window = cli.window_from_args(args, rgb)
        fit = cli.fit_kwargs(args, rgb)
        settings["seed"] = fit.pop("seed", None)
        settings["window"] = window
        return window, fit

    if clustered:
        _needs_dask()

    cluster = client = None
    try:
        with _quiet_logs(args.verbose):
            if args.workers is not None:
                try:
                    cluster, client = _local_cluster(args.workers, args.verbose)
                except Exception as e:
                    raise VideoError(
                        f"cannot start a local cluster of {args.workers} workers: {_why(e)}"
                    ) from None
            elif args.scheduler is not None:
                from distributed import Client

                try:
                    client = Client(args.scheduler, timeout="10s")
                except (OSError, TimeoutError, ValueError) as e:
                    raise VideoError(f"cannot reach the scheduler at {args.scheduler}: {_why(e)}") from None
            with Progress(total or 0, "frames", enabled=False if total is None else None) as bar:
                result = _track(
                    args.video, prepare, args.fit, frames=args.frames, seed=args.seed, out=args.out,
                    client=client, chunk=args.chunk, retries=args.retries, progress=bar.update,
                    info=info, track=args.track,
                )
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            with _quiet_logs(args.verbose):
                cluster.close()

    text = dumps(result)
    if args.json == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
    elif args.json is not None:
        import quorvane_tools as qt

        try:
            with qt.atomic_output(args.json, "w") as f:
                f.write(text)
        except (OSError, ValueError) as e:
            raise VideoError(f"cannot write {args.json}: {getattr(e, 'strerror', None) or e}") from None
    else:
        _print_summary(result, settings.get("window"), args.seed)
        sys.stdout.flush()
    if result.get("incomplete"):
        got = len(result["frames"])
        print(f"quorvane: warning: {args.video}: ended early: {result['incomplete']}; "
              f"the output holds the {got} frames that decoded", file=sys.stderr)
        return EXIT_INCOMPLETE
    return 0


def _print_summary(result: dict, window, seed) -> None:
    import quorvane_tools as qt

    print(f"{result['video']}: {len(result['frames'])} frames at {result['fps']:g} fps; "
          f"window {qt.Window(*window).flags()}; seed {seed}")
    for f in result["frames"]:
        shapes = "; ".join(_phrase(s) for s in f["shapes"]) or "nothing found"
        if "tracks" in f:  # --track
            from .tracks import phrase

            shapes += phrase(f)
        print(f"frame {f['index']:6d}  {f['time']:10.3f} s  {shapes}")


def _phrase(rec: dict) -> str:
    kind = rec["shape"]
    if kind == "circle":
        where = f"circle ({rec['x']}, {rec['y']}) r {rec['r']}"
    elif kind == "ellipse":
        where = f"ellipse ({rec['x']:.1f}, {rec['y']:.1f}) {rec['a']:.1f} x {rec['b']:.1f}"
    elif kind == "line":
        where = f"line through ({rec['px']}, {rec['py']})"
    else:
        where = "line pair " + " / ".join(f"({l['px']}, {l['py']})" for l in rec["lines"])
    tail = f", {rec['inliers']} inliers"
    if rec.get("warning"):
        tail += f" ({rec['warning']})"
    return where + tail
