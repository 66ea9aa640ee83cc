"""The per-frame step: one frame searched as `quorvane find` searches a picture."""

from __future__ import annotations

import math
import time

from ._capture import Frame

STAGES = ("wait", "convert", "bounds", "mask", "edges", "denoise", "fit", "remove")


def search_frame(frame: Frame, window, fits, fit: dict, seed: int | None, dropped: int):
    """Search one frame as ``find_shapes`` searches a picture.

    Parameters
    ----------
    frame : Frame
    window : Window
    fits : sequence of str
        The fits of ``find_shapes``; ``fit`` (a dict) holds its other keywords.
    seed : int or None
        The C generator is seeded with ``frame_seed(seed, frame.number)`` (None: not seeded),
        so a file gives the same records on every run.
    dropped : int
        Frames not searched so far, written into the record.

    Returns
    -------
    record : dict
        The record of `live`, with ``"latency_ms"`` None: the caller fills it right before
        the record leaves.
    found : Found
        What ``find_shapes`` returned.
    """
    import quorvane_tools as qt
    from ..video import frame_seed

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

