"""A run over a video's frames: in this process, in one pass over a pipe, or as tasks on a Dask
cluster, and the result as JSON text."""

from __future__ import annotations

import bisect
import json
import math
import os
import shutil
import tempfile
import time
import uuid
from dataclasses import replace
from fractions import Fraction
from pathlib import Path

from .. import _checks
from .._arrays import OutputError, output_target
from ..color import suggest_window
from ._decode import _Job, _track_range, read_frame
from ._encode import _check_format, _write_output, pick_codec
from ._index import VideoError, VideoTaskError, _is_pipe, _open_input, _rate_of, _seek_point, output_time_base
from ._index import plan_ranges, probe_video


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
    (default 1, as ``quorvane video``); ``seed=None`` means what it means to ``find_shapes``:
    the C library's generator is not seeded, so the shapes of a frame depend on what drew from
    it before (they may differ from run to run, and with the split). ``out`` writes an annotated video
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
    def prepare(rgb):
        w = window
        if w is None:
            if box is None:
                raise VideoError("give a colour window, or a box to suggest one from")
            try:
                w = suggest_window(rgb, box, outside)
            except ValueError as e:
                raise VideoError(f"frame {frames[0] if frames else 0}: {e}") from None
        return w, fit

    return _track(path, prepare, fits, frames=frames, seed=seed, out=out, client=client,
                  chunk=chunk, retries=retries, progress=progress, track=track)


def _plain_window(window):
    """A plain ``Window`` (not a Suggestion), checked."""
    return _checks.window(window, VideoError)


def _track(path, prepare, fits, *, frames=None, seed=1, out=None, client=None, chunk=None,
           retries=2, progress=None, info=None, track=False) -> dict:
    """track_video's work; ``prepare(first RGB frame)`` gives (window, find_shapes keywords)."""
    fits = tuple([fits] if isinstance(fits, str) else fits)
    seed = None if seed is None else int(seed)
    pipe = _is_pipe(path)
    if pipe and client is not None:
        raise VideoError(f"{path}: is a pipe or a device, which can be read only once; a cluster "
                         "needs a file that every worker can open and seek in (leave out --workers "
                         "and --scheduler to read it here, in one pass)")

    codec = out_path = fmt = None
    if out is not None:
        try:
            target = output_target(out)
        except OutputError as e:
            raise VideoError(str(e)) from None
        if target is None:
            raise VideoError(f"{out}: a video is written to a file, not to standard output "
                             "(its container needs to go back to the start)")
        out_path = Path(out).absolute()  # output_target saw that its folder exists
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
    from ..tracks import VideoTracking  # loaded by the runs that track

    try:
        return VideoTracking(track, size)
    except (TypeError, ValueError) as e:
        raise VideoError(f"track: {e}") from None


def _track_file(path, prepare, fits, frames, seed, parts, codec, client, chunk, retries, progress,
                info=None, track=False):
    info = probe_video(path) if info is None else info
    start, stop = _checks.frame_range((0, info.frames) if frames is None else frames, info.frames,
                                      path=path, error=VideoError)

    def first(rgb):  # the window and the keywords, from frame START
        window, fit = prepare(rgb)
        return _plain_window(window), dict(fit, fits=fits)

    # In this process the first range takes them from the frame it decodes first; the tasks
    # of a cluster need them before they start.
    window, fit = (None, {}) if client is None else first(read_frame(info, start))
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
        results = [_track_range(jobs[0], progress, prepare=first)]
        window = jobs[0].window
        if window is None:
            raise VideoError(f"{info.path}: frame {start} cannot be decoded")
        results += [_track_range(replace(job, window=window, fit=jobs[0].fit), progress) for job in jobs[1:]]
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
    start, stop = (0, 1 << 62) if frames is None else _checks.frame_range(frames, error=VideoError)
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
    if frames is not None:
        _checks.frame_range((start, stop), records[-1]["index"] + 1, path=path, error=VideoError)
    if frames is None:
        short = None  # a pipe read to its end: nothing promised more
    return ({"video": str(path), "fps": float(rate), "window": job.window.to_dict(),
             "frames": records, "segments": [job.segment] if job.segment else []}, short)



def _remove_folder(folder: str) -> None:
    """Remove the segments' folder; a task still running when a run fails may add a file to it
    while it goes, so try a few times (a task that starts later cannot create its file)."""
    for _ in range(20):
        shutil.rmtree(folder, ignore_errors=True)
        if not os.path.exists(folder):
            return
        time.sleep(0.05)



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


