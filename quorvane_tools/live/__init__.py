"""Shapes in a live camera or stream: the newest frame is searched as soon as it arrives.

    import quorvane_tools as qt
    w = qt.Window(hue=(0.15, 0.7), chroma=(0.3, 1.0), intensity=(0.15, 0.95))
    with qt.live("rtsp://10.0.0.7/cam", w, ["circle"], radius=(10, 60)) as stream:
        for record in stream:
            print(record["frame"], record["latency_ms"], record["shapes"])

A capture thread reads the source (PyAV: a V4L2 camera, an RTSP, HTTP MJPEG, MPEG-TS over UDP
or SRT stream, a file; or OpenCV's capture for a camera) and keeps only the newest decoded
frame. The search takes that one whenever it is free, so however slow the machine, a frame
never waits behind another and latency does not grow with running time; the frames it had
no time for are counted as dropped. A stream that drops is opened again with backoff. A file
is read frame by frame with none dropped, or, with ``realtime=True``, played at its own frame
rate like a camera.

Each searched frame gives one record (a dict, one JSON line in ``quorvane live``): the frame's
number, when it was decoded, the latency from decoded to record, the stage times, the frames
dropped so far and the shape records of ``find --json``; with ``track=True`` also the
tracks and events of ``Tracker`` (as in ``track_video``), followed at the frames' capture times.

Modules: ``_sources`` (telling sources apart, opening them), ``_capture`` (the thread that keeps
the newest frame), ``_search`` (the per-frame step), ``_stream`` (``Live``, ``live``), ``_publish``
(UDP, MQTT), ``_view`` (``--view``; the command itself is ``quorvane_tools.cli.live``). Each name below is defined
in one of them and looked up there by the others: to replace one in a test, patch it in the
module that defines it (``quorvane_tools.live._capture._open``, not ``quorvane_tools.live._open``).
"""

from __future__ import annotations

from ._capture import BACKOFF, Frame, _Capture
from ._errors import LiveError, _why
from ._publish import _MqttPublisher, _UdpPublisher, open_publisher
from ._search import STAGES, _finite, search_frame
from ._sources import STREAM_SCHEMES, Source, _av, _OpenCVReader, _open, _PyAVReader, parse_source
from ._stream import Live, Result, live
from ._view import LIVE_JS, view_server

# The public classes are shown, and pickled, under the package's name.
for _cls in (LiveError, Source, Frame, Result, Live):
    _cls.__module__ = __name__
del _cls

__all__ = ["LiveError", "Live", "Frame", "live", "search_frame", "parse_source", "open_publisher",
           "view_server"]
