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


@dataclass(frozen=True)
class VideoInfo:
    """What a run needs to know about a video: its frames' presentation timestamps in order
    (``pts[i]`` is frame ``i``), the timestamps of its keyframes, the stream's time base, start
    and frame rate, and the frame size."""

    path: str
    pts: tuple
    keys: tuple
    time_base: Fraction
    start: int
    rate: Fraction
    width: int
    height: int

    def time(self, index: int) -> float:
        """Seconds from the start of the stream to frame ``index``."""
        return round(float((self.pts[index] - self.start) * self.time_base), 6)

    @property
    def frames(self) -> int:
        return len(self.pts)


def probe_video(path) -> VideoInfo:
    """Read the packets of the first video stream (no decoding) and index its frames.

    Raises VideoError for a missing file, a file that is not a video, or a video whose packets
    carry no timestamps."""
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
    with container:
        if not container.streams.video:
            raise VideoError(f"{path}: has no video stream")
        stream = container.streams.video[0]
        pts, keys = [], []
        try:
            for packet in container.demux(stream):
                if packet.size == 0:
                    continue
                t = packet.pts if packet.pts is not None else packet.dts
                if t is None:
                    raise VideoError(
                        f"{path}: its packets carry no timestamps; put the stream into a container "
                        "first (for example: ffmpeg -i IN -c copy OUT.mp4)"
                    )
                pts.append(t)
                if packet.is_keyframe:
                    keys.append(t)
        except av.FFmpegError as e:
            raise VideoError(f"{path}: cannot read its packets ({_why(e)})") from None
        if not pts:
            raise VideoError(f"{path}: the video has no frames")
        pts = sorted(set(pts))
        rate = stream.average_rate or stream.guessed_rate or stream.base_rate
        if not rate or rate <= 0:
            span = (pts[-1] - pts[0]) * stream.time_base
            rate = Fraction(len(pts) - 1) / span if len(pts) > 1 and span > 0 else Fraction(25)
        start = stream.start_time if stream.start_time is not None else pts[0]
        return VideoInfo(
            str(path),
            tuple(pts),
            tuple(sorted(set(keys))),
            Fraction(stream.time_base),
            int(start),
            Fraction(rate),
            int(stream.codec_context.width),
            int(stream.codec_context.height),
        )


def _why(e: BaseException) -> str:
    return " ".join(str(getattr(e, "strerror", None) or e).split())


def _decode(info_path: str, pts: tuple, seek_pts, threads: bool = True):
    """Yields (k, RGB array) for the frames whose timestamps are ``pts`` (sorted), k counting
    from 0. Seeks to the keyframe ``seek_pts`` (None: decode from the start); if the demuxer
    lands past the first wanted frame, starts again from the beginning of the file."""
    av = _av()
    wanted = {t: k for k, t in enumerate(pts)}
    first, last = pts[0], pts[-1]
    for from_start in ((False, True) if seek_pts is not None else (True,)):
        with av.open(info_path) as container:
            stream = container.streams.video[0]
            if threads:
                stream.thread_type = "AUTO"
            if not from_start:
                container.seek(seek_pts, stream=stream, backward=True, any_frame=False)
            got = 0
            restart = False
            for frame in container.decode(stream):
                t = frame.pts
                if t is None:
                    continue
                if got == 0 and t > first and not from_start:
                    restart = True  # landed after the first wanted frame
                    break
                k = wanted.get(t)
                if k is not None:
                    yield k, frame.to_ndarray(format="rgb24")
                    got += 1
                    if got == len(pts):
                        return
                if t >= last:
                    return
            if not restart:
                return


def read_frame(info: VideoInfo, index: int):
    """Frame ``index`` of the video as an RGB (rows, columns, 3) uint8 array."""
    if not 0 <= index < info.frames:
        raise VideoError(f"{info.path}: frame {index} is beyond its end ({info.frames} frames)")
    for _, rgb in _decode(info.path, (info.pts[index],), _seek_point(info, index)):
        return rgb
    raise VideoError(f"{info.path}: frame {index} cannot be decoded")


def _seek_point(info: VideoInfo, index: int):
    """The timestamp of the last keyframe at or before frame ``index``; None at the start."""
    if index == 0:
        return None
    k = bisect.bisect_right(info.keys, info.pts[index]) - 1
    return info.keys[k] if k >= 0 else None


def plan_ranges(info: VideoInfo, start: int, stop: int, chunk: int) -> list:
    """Cut frames start..stop-1 into ranges of at least ``chunk`` frames that begin at keyframes
    (except the first), so that no task decodes frames it does not keep."""
    chunk = max(int(chunk), 1)
    key_index = _key_indices(info)
    ranges, a = [], start
    while a < stop:
        k = bisect.bisect_left(key_index, a + chunk)
        b = key_index[k] if k < len(key_index) and key_index[k] < stop else stop
        ranges.append((a, b))
        a = b
    return ranges


def _key_indices(info: VideoInfo) -> list:
    where = {t: i for i, t in enumerate(info.pts)}
    return [where[t] for t in info.keys if t in where]


# --------------------------------------------------------------------------
# One task: a range of frames


@dataclass
class _Job:
    path: str
    start: int
    stop: int
    pts: tuple
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
    times: dict = field(default_factory=dict)
    overlay: object = None  # with --track and --out: draws ids and trails (tracks.TrackOverlay)


def _track_range(job: _Job, progress=None):
    """Find the shapes in frames job.start..job.stop-1; returns (records, stage seconds).

    With ``job.segment`` the annotated frames are encoded into that file as well."""
    import quorvane_tools as qt

    av = _av()
    try:
        return _track_range_here(job, progress, qt)
    except av.FFmpegError as e:
        raise VideoError(f"{job.path}: frames {job.start}..{job.stop - 1}: {_why(e)}") from None


def _track_range_here(job: _Job, progress, qt):
    clock = time.perf_counter
    times = {"decode": 0.0, "find": 0.0, "annotate": 0.0, "encode": 0.0}
    records = []
    encoder = _Encoder(job.segment, job.codec, job.rate, job.size) if job.segment else None
    try:
        t = clock()
        for k, rgb in _decode(job.path, job.pts, job.seek_pts, job.threads):
            t1 = clock()
            times["decode"] += t1 - t
            index = job.start + k
            found = qt.find_shapes(rgb, job.window, seed=frame_seed(job.seed, index), **job.fit)
            seconds = round(float((job.pts[k] - job.t0) * job.time_base), 6)
            records.append({"index": index, "time": seconds, "shapes": found.to_dict()["shapes"]})
            t2 = clock()
            times["find"] += t2 - t1
            if encoder is not None:
                picture = qt.annotate(rgb, found)
                if job.overlay is not None:
                    picture = job.overlay(picture, records[-1])
                t3 = clock()
                times["annotate"] += t3 - t2
                encoder.add(picture)
                times["encode"] += clock() - t3
            if progress is not None:
                progress(1)
            t = clock()
        if encoder is not None:
            t = clock()
            encoder.close()
            encoder = None
            times["encode"] += clock() - t
    finally:
        if encoder is not None:
            encoder.abort()
    if len(records) != job.stop - job.start:
        raise VideoError(
            f"{job.path}: decoded {len(records)} of frames {job.start}..{job.stop - 1}; "
            "the file may be damaged"
        )
    return records, times


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
    stretches written by different tasks can be joined packet by packet."""

    def __init__(self, path: str, codec: str, rate: Fraction, size: tuple):
        av = _av()
        self.path = path
        w, h = size
        self.w, self.h = w - w % 2, h - h % 2  # 4:2:0 chroma wants even sizes
        self.container = av.open(path, "w")
        self.stream = self.container.add_stream(codec, rate=rate)
        self.stream.width, self.stream.height = self.w, self.h
        self.stream.pix_fmt = "yuv420p"
        if codec == "libx264":
            self.stream.options = {"preset": "veryfast", "crf": "20", "bf": "0"}
        else:
            self.stream.options = {"bf": "0"}
            self.stream.bit_rate = max(int(self.w * self.h * float(rate) * 0.2), 1_000_000)
        self.tb = 1 / Fraction(rate)
        self.n = 0

    def add(self, rgb) -> None:
        import numpy as np

        av = _av()
        if rgb.shape[0] != self.h or rgb.shape[1] != self.w:
            rgb = np.ascontiguousarray(rgb[: self.h, : self.w])
        frame = av.VideoFrame.from_ndarray(rgb, format="rgb24")
        frame.pts, frame.time_base = self.n, self.tb
        self.n += 1
        self.container.mux(self.stream.encode(frame))

    def close(self) -> None:
        self.container.mux(self.stream.encode(None))
        self.container.close()

    def abort(self) -> None:
        try:
            self.container.close()
        except Exception:
            pass


def _join(segments: list, dest: str, rate: Fraction) -> None:
    """Join video files written by _Encoder with the same settings, without re-encoding."""
    av = _av()
    tb = 1 / Fraction(rate)
    with av.open(segments[0]) as first, av.open(dest, "w") as out:
        ostream = out.add_stream_from_template(first.streams.video[0])
        n = 0
        for seg in segments:
            with av.open(seg) as src:
                for packet in src.demux(src.streams.video[0]):
                    if packet.size == 0:
                        continue
                    packet.stream = ostream
                    packet.pts = packet.dts = n
                    packet.duration = 1
                    packet.time_base = tb
                    out.mux(packet)
                    n += 1


# --------------------------------------------------------------------------
# The run


def _temp_beside(path: Path, tag: str) -> str:
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.{tag}.", suffix=path.suffix, dir=path.parent)
    os.close(fd)
    return tmp


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
    (H.264, else MPEG-4 part 2).

    ``client``: a ``dask.distributed.Client``; the frames are cut into ranges of about ``chunk``
    frames (default: enough for four tasks per worker) that start at keyframes, each range is a
    task that opens the file itself, and a task that still fails after ``retries`` retries raises
    VideoTaskError. Without a client everything runs here, in one pass. ``progress(n)`` is
    called as frames get done.

    ``track``: True (or a dict of ``Tracker`` keywords) follows the circles and ellipses from
    frame to frame: every frame record gains ``"tracks"`` and ``"events"`` (see
    ``Tracker.update``), computed over the records in frame order, so they too are the same
    however the work is split; ``out`` then also draws each track's id and trail.

    Returns ``{"video": str(path), "fps": float, "window": {...}, "frames": [{"index": i,
    "time": seconds, "shapes": [records]}, ...]}`` in frame order, the shape records being
    those of ``Found.to_dict()``. Raises VideoError for bad input."""
    import quorvane_tools as qt

    info = probe_video(path)
    start, stop = (0, info.frames) if frames is None else (int(frames[0]), int(frames[1]))
    if not 0 <= start < stop:
        raise VideoError(f"frame range {start} {stop} needs 0 <= START < STOP")
    if stop > info.frames:
        raise VideoError(f"{path}: frame range {start} {stop} is beyond its end ({info.frames} frames)")
    if window is None:
        if box is None:
            raise VideoError("give a colour window, or a box to suggest one from")
        first = read_frame(info, start)
        try:
            window = qt.suggest_window(first, box, outside)
        except ValueError as e:
            raise VideoError(f"frame {start}: {e}") from None
    window = qt.Window(*(tuple(map(float, w)) for w in window))  # a plain Window (not a Suggestion)
    try:
        window.check()
    except ValueError as e:
        raise VideoError(str(e)) from None
    fit = dict(fit, fits=tuple([fits] if isinstance(fits, str) else fits))
    seed = 1 if seed is None else int(seed)
    tracking = None
    if track:
        from .tracks import VideoTracking

        try:
            tracking = VideoTracking(track, (info.width, info.height))
        except (TypeError, ValueError) as e:
            raise VideoError(f"track: {e}") from None

    codec = out_path = None
    if out is not None:
        out_path = Path(out).absolute()
        if not out_path.parent.is_dir():
            raise VideoError(f"{out}: folder {out_path.parent} does not exist")
        codec = pick_codec()
        _check_format(out_path)

    if client is None:
        ranges = [(start, stop)] if chunk is None else plan_ranges(info, start, stop, chunk)
    else:
        if chunk is None:
            workers = max(len(client.scheduler_info().get("workers", {})), 1)
            chunk = max(math.ceil((stop - start) / (4 * workers)), 1)
        ranges = plan_ranges(info, start, stop, chunk)

    segments = []
    final_tmp = None
    try:
        jobs = []
        where = os.path.abspath(info.path)  # the tasks may run in another working folder
        for a, b in ranges:
            seg = None
            if out_path is not None:
                seg = _temp_beside(out_path, "part" if len(ranges) > 1 else "tmp")
                segments.append(seg)
            jobs.append(
                _Job(where, a, b, info.pts[a:b], _seek_point(info, a), info.time_base, info.start,
                     window, fit, seed, seg, codec, info.rate, (info.width, info.height),
                     # FFmpeg's decoding threads help one process; a cluster's workers
                     # already fill the cores.
                     threads=client is None)
            )
        tracked = False
        if tracking is not None and out_path is not None:
            # The annotated frames show the tracks, which depend on every frame before them.
            tracked = True
            if client is None:  # one process, frames in order: track as they come
                overlay = tracking.overlay()
                jobs = [replace(job, overlay=overlay) for job in jobs]
            else:  # the records first, tracked here in order; then the tasks draw
                half = _halves(progress)
                results = _run_on(client, [replace(job, segment=None) for job in jobs], retries, half)
                done = tracking.run([rec for records, _ in results for rec in records])
                jobs = [replace(job, overlay=tracking.replay(done, job.start, job.stop)) for job in jobs]
                _run_on(client, jobs, retries, half)
        if client is None:
            results = [_track_range(job, progress) for job in jobs]
        elif not tracked:
            results = _run_on(client, jobs, retries, progress)
        if tracking is not None and not tracked:
            tracking.run([rec for records, _ in results for rec in records])
        if out_path is not None:
            if len(segments) == 1:
                final_tmp = segments.pop()
            else:
                final_tmp = _temp_beside(out_path, "tmp")
                _join(segments, final_tmp, info.rate)
            os.chmod(final_tmp, 0o666 & ~_umask())
            os.replace(final_tmp, out_path)
            final_tmp = None
    finally:
        for f in segments + ([final_tmp] if final_tmp else []):
            try:
                os.unlink(f)
            except OSError:
                pass
    return {
        "video": str(path),
        "fps": float(info.rate),
        "window": window.to_dict(),
        "frames": [rec for records, _ in results for rec in records],
    }


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


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _check_format(path: Path) -> None:
    av = _av()
    tmp = _temp_beside(path, "check")
    try:
        av.open(tmp, "w").close()
    except (ValueError, av.FFmpegError) as e:
        raise VideoError(
            f"{path}: cannot write a video of this kind ({_why(e)}); try .mp4 or .mkv"
        ) from None
    finally:
        os.unlink(tmp)


def _run_on(client, jobs, retries, progress):
    """Submit one task per job; results in job order. The first task that fails for good
    cancels the others and raises VideoTaskError."""
    from distributed import as_completed

    token = uuid.uuid4().hex[:12]
    futures = [
        client.submit(
            _track_range, job, key=f"quorvane-video-{token}-{job.start}", retries=retries, pure=False
        )
        for job in jobs
    ]
    by_key = {f.key: (k, job) for k, (f, job) in enumerate(zip(futures, jobs))}
    results = [None] * len(jobs)
    try:
        for future in as_completed(futures):
            k, job = by_key[future.key]
            try:
                results[k] = future.result()
            except Exception as e:
                raise VideoTaskError(job.start, job.stop, e) from e
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
  Only shapes that were found are listed; "time" is in seconds from the start of the stream.
  Without --json a line per frame is printed instead.

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
  the run stops with the frame range and the cause, and writes nothing.

exit status: 0 done, 1 a task failed, 2 bad input (one line on standard error)."""


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
        "--frames", nargs=2, type=int, metavar=("START", "STOP"),
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
    m.add_argument("--workers", type=int, metavar="N",
                   help="start a local cluster of N worker processes")
    m.add_argument("--scheduler", metavar="ADDRESS",
                   help="use a running cluster, e.g. tcp://10.0.0.5:8786")
    d.add_argument(
        "--chunk", type=int, metavar="FRAMES",
        help="frames per task, rounded up to the next keyframe (default: four tasks per worker)",
    )
    d.add_argument("--retries", type=int, default=2, metavar="N",
                   help="retries of a failed task (default 2)")
    p.set_defaults(run=run)


def _local_cluster(n: int):
    import logging

    from distributed import Client, LocalCluster

    cluster = LocalCluster(
        n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR,
    )
    return cluster, Client(cluster)


def _needs_dask():
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise VideoError(
            "--workers and --scheduler need Dask: python3 -m pip install 'quorvane[dask]'"
        ) from None


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
    except OSError as e:  # writing the outputs: disk full, no permission, ...
        where = f"{e.filename}: " if e.filename else ""
        raise cli.CliError(f"{where}{e.strerror or _why(e)}") from None


def _run(args, cli, Progress) -> int:
    import sys

    _av()
    for name in ("workers", "chunk"):
        v = getattr(args, name)
        if v is not None and v < 1:
            raise VideoError(f"--{name} must be at least 1")
    if args.retries < 0:
        raise VideoError("--retries must be 0 or more")
    if args.json not in (None, "-") and not Path(args.json).parent.is_dir():
        raise VideoError(f"{args.json}: folder {Path(args.json).parent} does not exist")
    info = probe_video(args.video)
    start, stop = args.frames if args.frames else (0, info.frames)
    if not 0 <= start < stop:
        raise VideoError(f"--frames {start} {stop} needs 0 <= START < STOP")
    if stop > info.frames:
        raise VideoError(
            f"{args.video}: --frames {start} {stop} is beyond its end ({info.frames} frames)"
        )
    first = read_frame(info, start)
    window = cli.window_from_args(args, first)
    fit = cli.fit_kwargs(args, first)
    seed = fit.pop("seed", None)
    fits = args.fit
    if args.workers is not None or args.scheduler is not None:
        _needs_dask()

    cluster = client = None
    try:
        if args.workers is not None:
            try:
                cluster, client = _local_cluster(args.workers)
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
        with Progress(stop - start, "frames") as bar:
            result = track_video(
                args.video, window, fits, frames=(start, stop), seed=seed, out=args.out,
                client=client, chunk=args.chunk, retries=args.retries, progress=bar.update,
                track=args.track, **fit,
            )
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()

    text = dumps(result)
    if args.json == "-":
        sys.stdout.write(text)
    elif args.json is not None:
        import quorvane_tools as qt

        with qt.atomic_output(args.json, "w") as f:
            f.write(text)
    else:
        _print_summary(result, window, seed)
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
