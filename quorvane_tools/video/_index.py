"""The index of a video's frames (from its packets alone), the errors of a run, each frame's
seed, and the plan that cuts the frames into ranges starting at keyframes."""

from __future__ import annotations

import bisect
import hashlib
import math
import os
import stat
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path


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


