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

The package's modules: ``_index`` (the frames' index from the packets, the plan of ranges),
``_decode`` (a range decoded and searched), ``_encode`` (the annotated video) and ``_runner``
(a run, here or on a cluster). The command, ``quorvane video``, is ``quorvane_tools.cli.video``.
"""

from __future__ import annotations

# Every name the module had before it was a package (the tests and the benchmarks use some).
from ._decode import (  # noqa: F401
    _decode_range, _frames, _Job, _pipe_times, _time_of, _track_range, _track_range_here, read_frame,
)
from ._encode import _check_format, _Encoder, _join, _retime_file, _write_output, pick_codec  # noqa: F401
from ._index import (  # noqa: F401
    _ESTIMATED_DURATION, VideoError, VideoInfo, VideoTaskError, _av, _is_pipe, _open_input, _rate_of, _ranks,
    _seek_point, _why, frame_seed, output_time_base, plan_ranges, probe_video,
)
from ._runner import (  # noqa: F401
    _halves, _plain_window, _remove_folder, _run_on, _task, _track, _track_file, _track_pipe, _tracking, dumps,
    track_video,
)

__all__ = ["VideoError", "VideoTaskError", "track_video", "frame_seed", "probe_video", "read_frame"]

# The command's names, which lived here before the command had a module of its own.
_COMMAND = ("DESCRIPTION", "EPILOG", "MAX_FRAME", "MAX_WORKERS", "MAX_RETRIES", "EXIT_INCOMPLETE",
            "register", "run", "_run", "_local_cluster", "_needs_dask", "_quiet_logs", "_print_summary",
            "_phrase")


def __getattr__(name: str):
    if name in _COMMAND:
        from ..cli import video as command  # the command imports this package: loaded when asked

        return getattr(command, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
