"""Decoding a range of frames (seeking to the keyframe before it) and the task that finds the
shapes in them, drawing and encoding the annotated frames when asked."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from fractions import Fraction

from ..draw import annotate_into
from ..shapes import find_shapes
from ._encode import _Encoder
from ._index import VideoError, VideoInfo, _av, _rate_of, _ranks, _seek_point, _why, frame_seed


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
    av = _av()
    try:
        return _track_range_here(job, progress, container, prepare)
    except av.FFmpegError as e:
        raise VideoError(f"{job.path}: frames {job.start}..{job.stop - 1}: {_why(e)}") from None


def _track_range_here(job: _Job, progress, container=None, prepare=None):
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
            seed = None if job.seed is None else frame_seed(job.seed, index)
            found = find_shapes(rgb, job.window, seed=seed, **job.fit)
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


